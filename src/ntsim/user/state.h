// The simulated user32 state: windows, per-thread message queues, the UI lock, and
// the helpers that the user/ files share.
#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "nt/win32.h"

namespace ntsim {

struct MenuItem {
    UINT id = 0;
    UINT flags = 0;  // MF_GRAYED, MF_DISABLED, MF_SEPARATOR
    std::string text;
};

struct Window {
    HWND handle = nullptr;
    std::string className;  // "#32770" for dialogs, "Button", "Edit", "Static", "RICHEDIT", or registered
    std::string text;
    DWORD style = 0;
    DWORD exStyle = 0;
    HWND parent = nullptr;  // child windows
    HWND owner = nullptr;   // top-level windows
    int id = 0;
    DWORD thread = 0;       // owner thread; 0 for another program's (the operator's) windows
    std::string desktop;    // "WinSta0\\Default" for top-level windows
    WNDPROC proc = nullptr;
    HINSTANCE instance = nullptr;
    RECT rect{0, 0, 0, 0};
    bool minimized = false;
    bool destroyed = false;
    std::vector<HWND> children;
    LONG_PTR userData = 0;
    HICON iconBig = nullptr, iconSmall = nullptr;

    // Dialogs.
    bool dialog = false;
    int templateId = 0;
    DLGPROC dlgProc = nullptr;
    LONG_PTR msgResult = 0;
    LONG_PTR dlgUser = 0;
    bool ended = false;
    INT_PTR endResult = 0;
    int defId = IDOK;

    // Controls.
    UINT check = BST_UNCHECKED;
    HANDLE image = nullptr;
    WPARAM imageType = 0;
    LONG selStart = 0, selEnd = 0;
    UINT limit = 0;  // 0: the default limit
    COLORREF background = 0;
    bool hasBackground = false;
    std::vector<std::pair<LONG, PARAFORMAT>> paragraphs;  // format set at a character position

    // System menu (created on first GetSystemMenu).
    HMENU systemMenu = nullptr;
    // Property sheet state when this window is a sheet (user/propsheet.cpp).
    std::shared_ptr<void> sheet;
};

struct SentMessage {
    HWND hwnd = nullptr;
    UINT msg = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    LRESULT result = 0;
    bool done = false;
    bool notify = false;  // SendNotifyMessageA: the sender does not wait
    std::shared_ptr<std::condition_variable> senderWake;  // the waiting sender's queue
};

struct Timer {
    HWND hwnd = nullptr;
    UINT_PTR id = 0;
    UINT elapse = 0;
    TIMERPROC proc = nullptr;
    uint64_t due = 0;  // monotonic ms
};

struct ThreadQueue {
    DWORD id = 0;
    // Notified when something arrives for this thread (a posted or sent message, a reply
    // to its own sent message, a quit): a thread waits on its own queue only, so a message
    // wakes its receiver and no other thread. Shared, so a waiter outlives UserReset.
    std::shared_ptr<std::condition_variable> wake = std::make_shared<std::condition_variable>();
    std::deque<MSG> posted;
    std::deque<std::shared_ptr<SentMessage>> sent;
    std::vector<Timer> timers;
    bool quit = false;
    int quitCode = 0;
    HWND focus = nullptr;
    HDESK desktopHandle = nullptr;  // the thread's desktop handle (SetThreadDesktop), or none: the process's
    std::string desktop;            // "WinSta0\\Default"
    int modalDepth = 0;
    std::vector<HWND> modalStack;   // top windows of the modal loops running on this thread
};

// The UI lock: one mutex for all user state, never held while a window procedure runs.
std::mutex& UiMutex();
// Wakes every thread waiting in its queue, for the rare changes that a thread other than
// the receiver of a message may wait for (a window destroyed, a dialog ended). Without the
// UI lock.
void UiWakeAll();
class UiLock {
public:
    UiLock();
    ~UiLock();
    std::unique_lock<std::mutex>& Lock() { return lock_; }
    UiLock(const UiLock&) = delete;
    UiLock& operator=(const UiLock&) = delete;

private:
    std::unique_lock<std::mutex> lock_;
};


// With the UI lock held.
Window* WindowFind(HWND hwnd);            // nullptr when no such (live) window
Window* WindowOrError(HWND hwnd);         // the same, setting ERROR_INVALID_WINDOW_HANDLE when there is none
ThreadQueue* QueueFind(DWORD threadId);   // nullptr when the thread has no queue
ThreadQueue& QueueCurrent();              // creates the calling thread's queue
std::vector<HWND> TopLevelWindows();      // creation order
bool DesktopHandleInUse(HDESK desktop);   // some thread's desktop (SetThreadDesktop)
std::string WindowLabel(const Window& w);  // "dialog 146 \"Caption\"" for the transcript
bool WindowVisibleLocked(const Window& w);
HWND TopLevelOf(HWND hwnd);

// Without the UI lock.
HWND WindowCreate(const std::string& className, const std::string& text, DWORD style, DWORD exStyle, HWND parent,
                  int id, const RECT& rect, HINSTANCE instance, LPVOID createParam, DWORD threadId = 0);
LRESULT CallProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Processes the sent messages waiting for the calling thread; true when it handled any.
bool ProcessSentMessages();
// Waits until something changes for the calling thread or timeoutMs passes.
void WaitForWork(uint32_t timeoutMs);
// Sets a window's text and records it in the transcript when the window is visible.
void WindowSetText(HWND hwnd, const std::string& text);
std::string WindowGetText(HWND hwnd);
// The built-in class procedures.
LRESULT CALLBACK ButtonProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK EditProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK StaticProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK DialogProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK ForeignProc(HWND, UINT, WPARAM, LPARAM);
// The operator's windows of other programs whose time has come appear now.
void ForeignWindowsMaterialize();
LRESULT CALLBACK SheetProc(HWND, UINT, WPARAM, LPARAM);
// Runs a modal loop on the calling thread until *ended (checked under the UI lock) becomes
// true or the window dies; the operator is consulted whenever the loop is idle.
void ModalLoop(HWND top, const std::function<bool()>& ended);
// Records the window and its controls' texts when it becomes visible.
void TranscriptShown(HWND hwnd);
// The desktop of the calling thread ("WinSta0\\Default"). With the UI lock held.
std::string CurrentDesktopName();
// True when windows of that desktop can be seen by the person at the console.
bool DesktopIsInteractive(const std::string& desktop);
// Builds a dialog (or property sheet page) from a DLGTEMPLATE(EX): creates it and its
// controls, sends WM_INITDIALOG, shows it when showNow or the template says visible.
HWND DialogCreateFromTemplate(const uint8_t* data, size_t size, int templateId, HWND parent, DLGPROC proc,
                              LPARAM param, HINSTANCE instance, bool showNow, bool asPage);
// Resets all user state (process detach).
void UserReset();
void StationsReset();
void UserEnsureStarted();

}  // namespace ntsim
