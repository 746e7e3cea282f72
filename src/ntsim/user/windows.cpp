// Windows and message queues of the simulated user32: creation and destruction,
// window procedures and their replacement, posted and sent messages across
// threads, timers, text, visibility, enabled state and focus.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <strings.h>

#include "ntsim/kernel/clock.h"
#include "ntsim/kernel/fail.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/user/operator.h"
#include "ntsim/kernel/process.h"
#include "ntsim/kernel/threads.h"
#include "ntsim/user/state.h"

namespace ntsim {

namespace {

struct WindowClass {
    std::string name;
    WNDPROC proc = nullptr;
    HINSTANCE instance = nullptr;
    UINT style = 0;
    HICON icon = nullptr;
};

std::map<HWND, std::shared_ptr<Window>> g_windows;
std::map<DWORD, ThreadQueue> g_queues;
std::vector<WindowClass> g_classes;
uintptr_t g_nextHwnd = 0x10020;
bool g_started = false;

struct BuiltinClass {
    const char* name;
    WNDPROC proc;
};
const BuiltinClass kBuiltins[] = {
    {"Button", ButtonProc}, {"Edit", EditProc},       {"Static", StaticProc},
    {"RICHEDIT", EditProc}, {"RichEdit20A", EditProc}, {"#32770", DialogProc},
};

WindowClass* ClassFind(const std::string& name) {
    for (auto& c : g_classes)
        if (strcasecmp(c.name.c_str(), name.c_str()) == 0) return &c;
    return nullptr;
}

}  // namespace

std::mutex& UiMutex() {
    static std::mutex m;
    return m;
}

void UiWakeAll() {
    std::vector<std::shared_ptr<std::condition_variable>> waiting;
    {
        UiLock lock;
        for (auto& [id, q] : g_queues) waiting.push_back(q.wake);
    }
    for (auto& wake : waiting) wake->notify_all();
}

UiLock::UiLock() {
    ThreadEnterCritical();
    lock_ = std::unique_lock<std::mutex>(UiMutex());
}

UiLock::~UiLock() {
    if (lock_.owns_lock()) lock_.unlock();
    ThreadLeaveCritical();
}

Window* WindowFind(HWND hwnd) {
    auto it = g_windows.find(hwnd);
    if (it == g_windows.end() || it->second->destroyed) return nullptr;
    return it->second.get();
}

Window* WindowOrError(HWND hwnd) {
    Window* w = WindowFind(hwnd);
    if (!w) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return w;
}

ThreadQueue* QueueFind(DWORD threadId) {
    auto it = g_queues.find(threadId);
    return it == g_queues.end() ? nullptr : &it->second;
}

ThreadQueue& QueueCurrent() {
    DWORD id = ThreadCurrentId();
    auto it = g_queues.find(id);
    if (it != g_queues.end()) return it->second;
    ThreadQueue& q = g_queues[id];
    q.id = id;
    return q;
}

std::vector<HWND> TopLevelWindows() {
    std::vector<HWND> out;
    for (auto& [h, w] : g_windows)
        if (!w->destroyed && !(w->style & WS_CHILD)) out.push_back(h);
    return out;
}

bool DesktopHandleInUse(HDESK desktop) {
    for (auto& [id, q] : g_queues)
        if (q.desktopHandle == desktop && !ThreadEnded(id)) return true;
    return false;
}

HWND TopLevelOf(HWND hwnd) {
    Window* w = WindowFind(hwnd);
    while (w && (w->style & WS_CHILD) && w->parent) {
        Window* p = WindowFind(w->parent);
        if (!p) break;
        w = p;
    }
    return w ? w->handle : nullptr;
}

bool WindowVisibleLocked(const Window& w) {
    const Window* p = &w;
    while (p) {
        if (!(p->style & WS_VISIBLE)) return false;
        if (!(p->style & WS_CHILD) || !p->parent) return true;
        p = WindowFind(p->parent);
    }
    return false;
}

std::string WindowLabel(const Window& w) {
    const Window* top = &w;
    while ((top->style & WS_CHILD) && top->parent) {
        const Window* p = WindowFind(top->parent);
        if (!p) break;
        // A property sheet page is named by its own caption, not the sheet's.
        if (top->dialog) break;
        top = p;
    }
    std::string label = "\"" + top->text + "\"";
    if (top != &w) label += " control " + std::to_string(w.id);
    return label;
}

void UserEnsureStarted() {
    {
        UiLock lock;
        if (g_started) return;
        g_started = true;
        // Forget everything when the process leaves the machine.
        if (ProcessAttached()) AtProcessExit(50, [] { UserReset(); });
    }
    OperatorEnsureStarted();
}

void UserReset() {
    std::vector<std::shared_ptr<std::condition_variable>> waiting;
    {
        UiLock lock;
        for (auto& [id, q] : g_queues) waiting.push_back(q.wake);
        g_windows.clear();
        g_queues.clear();
        g_classes.clear();
        g_started = false;
        StationsReset();
    }
    OperatorReset();
    for (auto& wake : waiting) wake->notify_all();
}

HWND WindowCreate(const std::string& className, const std::string& text, DWORD style, DWORD exStyle, HWND parent,
                  int id, const RECT& rect, HINSTANCE instance, LPVOID createParam, DWORD threadId) {
    HWND hwnd;
    {
        UiLock lock;
        WNDPROC proc = nullptr;
        std::string name = className;
        for (const auto& b : kBuiltins)
            if (strcasecmp(b.name, className.c_str()) == 0) proc = b.proc, name = b.name;
        if (!proc)
            if (WindowClass* c = ClassFind(className)) proc = c->proc, name = c->name;
        if (!proc && className == "#foreign") proc = ForeignProc;
        if (!proc) return Fail(ERROR_CANNOT_FIND_WND_CLASS, nullptr);
        Window* p = parent ? WindowFind(parent) : nullptr;
        if (parent && !p) return Fail(ERROR_INVALID_WINDOW_HANDLE, nullptr);
        if ((style & WS_CHILD) && !p) {
            SetLastError(1406);  // ERROR_TLW_WITH_WSCHILD: a child window needs a parent
            return nullptr;
        }
        auto w = std::make_shared<Window>();
        hwnd = (HWND)g_nextHwnd;
        g_nextHwnd += 4;
        w->handle = hwnd;
        w->className = name;
        w->text = text;
        w->style = style;
        w->exStyle = exStyle;
        w->id = (style & WS_CHILD) ? id : 0;
        w->proc = proc;
        w->instance = instance;
        w->rect = rect;
        w->thread = className == "#foreign" ? threadId : ThreadCurrentId();
        if (style & WS_CHILD) {
            w->parent = parent;
            p->children.push_back(hwnd);
            w->desktop = p->desktop;
        } else {
            w->owner = parent ? TopLevelOf(parent) : nullptr;
            w->desktop = CurrentDesktopName();
        }
        if (name == "Edit" || name == "RICHEDIT" || name == "RichEdit20A") {
            if (style & ES_UPPERCASE)
                for (char& c : w->text) c = (char)toupper((unsigned char)c);
        }
        g_windows[hwnd] = w;
        if (className != "#foreign") QueueCurrent();
    }
    CREATESTRUCTA cs{};
    cs.lpCreateParams = createParam;
    cs.hInstance = instance;
    cs.hwndParent = parent;
    cs.x = rect.left;
    cs.y = rect.top;
    cs.cx = rect.right - rect.left;
    cs.cy = rect.bottom - rect.top;
    cs.style = (LONG)style;
    cs.lpszName = text.c_str();
    cs.lpszClass = className.c_str();
    cs.dwExStyle = exStyle;
    if (CallProc(hwnd, WM_NCCREATE, 0, (LPARAM)&cs) == 0 && className != "#foreign") {
        DestroyWindow(hwnd);
        return Fail(ERROR_CAN_NOT_COMPLETE, nullptr);
    }
    if (CallProc(hwnd, WM_CREATE, 0, (LPARAM)&cs) == -1) {
        DestroyWindow(hwnd);
        return Fail(ERROR_CAN_NOT_COMPLETE, nullptr);
    }
    return hwnd;
}

LRESULT CallProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    WNDPROC proc;
    {
        UiLock lock;
        Window* w = WindowFind(hwnd);
        if (!w) return 0;
        proc = w->proc;
    }
    return proc(hwnd, msg, wParam, lParam);
}

bool ProcessSentMessages() {
    bool any = false;
    while (true) {
        std::shared_ptr<SentMessage> m;
        {
            UiLock lock;
            ThreadQueue& q = QueueCurrent();
            if (q.sent.empty()) return any;
            m = q.sent.front();
            q.sent.pop_front();
        }
        any = true;
        LRESULT r = CallProc(m->hwnd, m->msg, m->wParam, m->lParam);
        std::shared_ptr<std::condition_variable> sender;
        {
            UiLock lock;
            m->result = r;
            m->done = true;
            sender = m->senderWake;
        }
        if (sender) sender->notify_all();
    }
}

void WaitForWork(uint32_t timeoutMs) {
    UiLock lock;
    ThreadQueue& q = QueueCurrent();
    if (!q.sent.empty() || !q.posted.empty() || q.quit) return;
    std::shared_ptr<std::condition_variable> wake = q.wake;
    wake->wait_for(lock.Lock(), std::chrono::milliseconds(timeoutMs));
}

std::string WindowGetText(HWND hwnd) {
    UiLock lock;
    Window* w = WindowFind(hwnd);
    return w ? w->text : std::string();
}

void WindowSetText(HWND hwnd, const std::string& text) {
    std::string record;
    {
        UiLock lock;
        Window* w = WindowFind(hwnd);
        if (!w) return;
        w->text = text;
        if (w->thread != 0 && WindowVisibleLocked(*w)) {
            if (w->style & WS_CHILD)
                record = "text " + WindowLabel(*w) + ": \"" + text + "\"";
            else
                record = "title of window: \"" + text + "\"";
        }
    }
    if (!record.empty()) TranscriptAdd(record);
}

void TranscriptShown(HWND hwnd) {
    std::vector<std::string> lines;
    std::vector<HWND> innerDialogs;  // a page shown before its sheet appears with it
    {
        UiLock lock;
        Window* w = WindowFind(hwnd);
        if (!w || !WindowVisibleLocked(*w)) return;
        std::string kind = w->dialog ? (w->templateId ? "dialog " + std::to_string(w->templateId) : "dialog")
                                     : "window of class " + w->className;
        std::string where;
        if (!(w->style & WS_CHILD) && !DesktopIsInteractive(w->desktop)) where = " on " + w->desktop + " (not seen)";
        lines.push_back("shown: " + kind + " \"" + w->text + "\"" + where);
        for (HWND c : w->children) {
            Window* cw = WindowFind(c);
            if (!cw || !(cw->style & WS_VISIBLE)) continue;
            if (cw->dialog) {
                innerDialogs.push_back(c);
                continue;
            }
            std::string state;
            if (cw->className == "Button") {
                DWORD type = cw->style & BS_TYPEMASK;
                if (type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_RADIOBUTTON ||
                    type == BS_AUTORADIOBUTTON)
                    state = cw->check ? " [x]" : " [ ]";
            }
            if (!(cw->style & WS_DISABLED) && cw->text.empty() && state.empty()) continue;
            if (cw->style & WS_DISABLED) state += " (disabled)";
            lines.push_back("  " + std::to_string(cw->id) + " " + cw->className + state + " \"" + cw->text + "\"");
        }
    }
    for (auto& l : lines) TranscriptAdd(l);
    for (HWND inner : innerDialogs) TranscriptShown(inner);
}

}  // namespace ntsim

using namespace ntsim;

// ---- classes and windows ----

ATOM RegisterClassA(const WNDCLASSA* wc) {
    UserEnsureStarted();
    if (!wc || !wc->lpszClassName || !wc->lpfnWndProc) return Fail(ERROR_INVALID_PARAMETER, 0);
    if (FaultFails("RegisterClassA", wc->lpszClassName)) return 0;
    UiLock lock;
    if (ClassFind(wc->lpszClassName)) return Fail(ERROR_CLASS_ALREADY_EXISTS, 0);
    static ATOM next = 0xC000;
    g_classes.push_back({wc->lpszClassName, wc->lpfnWndProc, wc->hInstance, wc->style, wc->hIcon});
    return next++;
}

BOOL UnregisterClassA(LPCSTR name, HINSTANCE) {
    UiLock lock;
    for (auto it = g_classes.begin(); it != g_classes.end(); ++it)
        if (strcasecmp(it->name.c_str(), name) == 0) {
            g_classes.erase(it);
            return TRUE;
        }
    return Fail(ERROR_CANNOT_FIND_WND_CLASS);
}

HWND CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD dwStyle, int X, int Y,
                     int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance, LPVOID lpParam) {
    UserEnsureStarted();
    if (!lpClassName || IS_INTRESOURCE(lpClassName)) return Fail(ERROR_CANNOT_FIND_WND_CLASS, nullptr);
    if (FaultFails("CreateWindowExA", lpClassName)) return nullptr;
    if (X == CW_USEDEFAULT) X = 0;
    if (Y == CW_USEDEFAULT) Y = 0;
    if (nWidth == CW_USEDEFAULT) nWidth = 640;
    if (nHeight == CW_USEDEFAULT) nHeight = 480;
    RECT r{X, Y, X + nWidth, Y + nHeight};
    HWND h = WindowCreate(lpClassName, lpWindowName ? lpWindowName : "", dwStyle, dwExStyle, hWndParent,
                          (int)(intptr_t)hMenu, r, hInstance, lpParam);
    if (h && (dwStyle & WS_VISIBLE)) TranscriptShown(h);
    return h;
}

BOOL DestroyWindow(HWND hWnd) {
    std::vector<HWND> children;
    {
        UiLock lock;
        Window* w = WindowOrError(hWnd);
        if (!w) return FALSE;
        if (w->thread != 0 && w->thread != ThreadCurrentId()) return Fail(ERROR_ACCESS_DENIED);
        children = w->children;
    }
    CallProc(hWnd, WM_DESTROY, 0, 0);
    for (HWND c : children) DestroyWindow(c);
    CallProc(hWnd, WM_NCDESTROY, 0, 0);
    {
        UiLock lock;
        auto it = g_windows.find(hWnd);
        if (it != g_windows.end()) {
            Window& w = *it->second;
            w.destroyed = true;
            if (Window* p = w.parent ? WindowFind(w.parent) : nullptr)
                p->children.erase(std::remove(p->children.begin(), p->children.end(), hWnd), p->children.end());
            for (auto& [id, q] : g_queues) {
                if (q.focus == hWnd) q.focus = nullptr;
                q.timers.erase(std::remove_if(q.timers.begin(), q.timers.end(),
                                              [&](const Timer& t) { return t.hwnd == hWnd; }),
                               q.timers.end());
            }
            g_windows.erase(it);
        }
    }
    // A thread sending to the window, or running a modal loop for it, sees it gone.
    UiWakeAll();
    return TRUE;
}

BOOL IsWindow(HWND hWnd) {
    UiLock lock;
    return WindowFind(hWnd) != nullptr;
}

int GetClassNameA(HWND hWnd, LPSTR buf, int max) {
    UiLock lock;
    Window* w = WindowFind(hWnd);
    if (!w || !buf || max <= 0) return Fail(w ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE, 0);
    snprintf(buf, (size_t)max, "%s", w->className.c_str());
    return (int)strlen(buf);
}

HWND GetParent(HWND hWnd) {
    UiLock lock;
    Window* w = WindowOrError(hWnd);
    if (!w) return nullptr;
    return (w->style & WS_CHILD) ? w->parent : w->owner;
}

HWND GetDesktopWindow(VOID) { return (HWND)0x10010; }

DWORD GetWindowThreadProcessId(HWND hWnd, LPDWORD pid) {
    UiLock lock;
    Window* w = WindowOrError(hWnd);
    if (!w) return 0;
    if (pid) *pid = w->thread ? 0x100 : 0x200;
    return w->thread;
}

// ---- window procedures ----

LRESULT DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    switch (Msg) {
    case WM_NCCREATE:
        return TRUE;
    case WM_SETTEXT:
        WindowSetText(hWnd, lParam ? (const char*)lParam : "");
        return TRUE;
    case WM_GETTEXT: {
        if (!lParam || wParam == 0) return 0;
        std::string t = WindowGetText(hWnd);
        size_t n = std::min(t.size(), (size_t)wParam - 1);
        memcpy((char*)lParam, t.data(), n);
        ((char*)lParam)[n] = 0;
        return (LRESULT)n;
    }
    case WM_GETTEXTLENGTH:
        return (LRESULT)WindowGetText(hWnd).size();
    case WM_CLOSE:
        DestroyWindow(hWnd);
        return 0;
    case WM_SYSCOMMAND:
        switch (wParam & 0xFFF0) {
        case SC_CLOSE:
            SendMessageA(hWnd, WM_CLOSE, 0, 0);
            return 0;
        case SC_MINIMIZE:
            ShowWindow(hWnd, SW_MINIMIZE);
            return 0;
        case SC_RESTORE:
            ShowWindow(hWnd, SW_RESTORE);
            return 0;
        }
        return 0;
    case WM_SETICON: {
        UiLock lock;
        Window* w = WindowFind(hWnd);
        if (!w) return 0;
        HICON& slot = wParam == ICON_BIG ? w->iconBig : w->iconSmall;
        HICON old = slot;
        slot = (HICON)lParam;
        return (LRESULT)old;
    }
    }
    return 0;
}

LRESULT CallWindowProcA(WNDPROC lpPrevWndFunc, HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    if (!lpPrevWndFunc) return 0;
    return lpPrevWndFunc(hWnd, Msg, wParam, lParam);
}

namespace {

bool LongIndexValid(const Window& w, int index) {
    switch (index) {
    case GWLP_WNDPROC:
    case GWLP_HINSTANCE:
    case GWLP_HWNDPARENT:
    case GWLP_ID:
    case GWL_STYLE:
    case GWL_EXSTYLE:
    case GWLP_USERDATA:
        return true;
    case DWLP_MSGRESULT:
    case (int)DWLP_DLGPROC:
    case (int)DWLP_USER:
        return w.dialog;
    }
    return false;
}

// The slot's value as GetWindowLongPtr reports it; with value, the slot then holds that.
template <class T>
LONG_PTR Exchange(T& slot, LONG_PTR reported, const LONG_PTR* value) {
    if (value) slot = (T)*value;
    return reported;
}

// The value at a valid index of the window, replaced by *value unless value is null; the old one.
LONG_PTR ExchangeLong(Window& w, int index, const LONG_PTR* value) {
    switch (index) {
    case GWLP_WNDPROC:
        return Exchange(w.proc, (LONG_PTR)w.proc, value);
    case GWLP_HINSTANCE:
        return Exchange(w.instance, (LONG_PTR)w.instance, value);
    case GWLP_HWNDPARENT:
        return Exchange(w.owner, (LONG_PTR)w.owner, value);
    case GWLP_ID:
        return Exchange(w.id, w.id, value);
    case GWL_STYLE:
        return Exchange(w.style, (LONG)w.style, value);
    case GWL_EXSTYLE:
        return Exchange(w.exStyle, (LONG)w.exStyle, value);
    case GWLP_USERDATA:
        return Exchange(w.userData, w.userData, value);
    case DWLP_MSGRESULT:
        return Exchange(w.msgResult, w.msgResult, value);
    case (int)DWLP_DLGPROC:
        return Exchange(w.dlgProc, (LONG_PTR)w.dlgProc, value);
    case (int)DWLP_USER:
        return Exchange(w.dlgUser, w.dlgUser, value);
    }
    return 0;
}

LONG_PTR GetLong(HWND hWnd, int index) {
    UiLock lock;
    Window* w = WindowOrError(hWnd);
    if (!w) return 0;
    if (!LongIndexValid(*w, index)) {
        SetLastError(1413);  // ERROR_INVALID_INDEX
        return 0;
    }
    // A child's parent is read here; what is set is the owner.
    if (index == GWLP_HWNDPARENT && (w->style & WS_CHILD)) return (LONG_PTR)w->parent;
    return ExchangeLong(*w, index, nullptr);
}

LONG_PTR SetLong(HWND hWnd, int index, LONG_PTR value, bool narrow) {
    UiLock lock;
    Window* w = WindowOrError(hWnd);
    if (!w) return 0;
    // A 32-bit value cannot hold a pointer in a 64-bit process, as on 64-bit Windows.
    if (!LongIndexValid(*w, index) ||
        (narrow && sizeof(void*) == 8 &&
         (index == GWLP_WNDPROC || index == GWLP_HINSTANCE || index == GWLP_HWNDPARENT ||
          index == (int)DWLP_DLGPROC))) {
        SetLastError(1413);  // ERROR_INVALID_INDEX
        return 0;
    }
    SetLastError(0);
    return ExchangeLong(*w, index, &value);
}

}  // namespace

LONG GetWindowLongA(HWND hWnd, int nIndex) { return (LONG)GetLong(hWnd, nIndex); }
LONG SetWindowLongA(HWND hWnd, int nIndex, LONG v) { return (LONG)SetLong(hWnd, nIndex, v, true); }
LONG_PTR GetWindowLongPtrA(HWND hWnd, int nIndex) { return GetLong(hWnd, nIndex); }
LONG_PTR SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR v) { return SetLong(hWnd, nIndex, v, false); }

// ---- messages ----

namespace {

bool MatchesFilter(const MSG& m, HWND hwnd, UINT minMsg, UINT maxMsg) {
    if (hwnd == (HWND)-1) {
        if (m.hwnd) return false;
    } else if (hwnd) {
        if (m.hwnd != hwnd) {
            // Messages to the window's children also pass a window filter.
            Window* w = WindowFind(m.hwnd);
            bool child = false;
            while (w && w->parent && (w->style & WS_CHILD)) {
                if (w->parent == hwnd) {
                    child = true;
                    break;
                }
                w = WindowFind(w->parent);
            }
            if (!child) return false;
        }
    }
    if (minMsg == 0 && maxMsg == 0) return true;
    return m.message >= minMsg && m.message <= maxMsg;
}

// Looks for a message without waiting; true with *out set when one was found.
bool PeekOnce(MSG* out, HWND hwnd, UINT minMsg, UINT maxMsg, bool remove, uint64_t* nextTimer) {
    ProcessSentMessages();
    UiLock lock;
    ThreadQueue& q = QueueCurrent();
    for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
        if (!MatchesFilter(*it, hwnd, minMsg, maxMsg)) continue;
        *out = *it;
        if (remove) q.posted.erase(it);
        return true;
    }
    if (q.quit && (minMsg == 0 && maxMsg == 0 ? true : (WM_QUIT >= minMsg && WM_QUIT <= maxMsg))) {
        *out = MSG{};
        out->message = WM_QUIT;
        out->wParam = (WPARAM)q.quitCode;
        if (remove) q.quit = false;
        return true;
    }
    uint64_t now = SteadyMs();
    for (Timer& t : q.timers) {
        MSG m{};
        m.hwnd = t.hwnd;
        m.message = WM_TIMER;
        m.wParam = t.id;
        m.lParam = (LPARAM)t.proc;
        m.time = (DWORD)now;
        if (t.due <= now && MatchesFilter(m, hwnd, minMsg, maxMsg)) {
            *out = m;
            if (remove) t.due = now + t.elapse;
            return true;
        }
        if (nextTimer) *nextTimer = std::min(*nextTimer, t.due);
    }
    return false;
}

// Queues the message for the window's thread; its queue's wake-up, or none.
std::shared_ptr<std::condition_variable> PostTo(Window* w, UINT msg, WPARAM wParam, LPARAM lParam) {
    ThreadQueue* q = QueueFind(w->thread);
    if (!q) return nullptr;
    MSG m{};
    m.hwnd = w->handle;
    m.message = msg;
    m.wParam = wParam;
    m.lParam = lParam;
    m.time = (DWORD)SteadyMs();
    q->posted.push_back(m);
    return q->wake;
}

}  // namespace

BOOL GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    UserEnsureStarted();
    while (true) {
        uint64_t nextTimer = UINT64_MAX;
        if (PeekOnce(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, true, &nextTimer))
            return lpMsg->message == WM_QUIT ? FALSE : TRUE;
        uint64_t now = SteadyMs();
        uint32_t wait = nextTimer == UINT64_MAX ? 1000 : (uint32_t)std::min<uint64_t>(nextTimer - std::min(nextTimer, now), 1000);
        WaitForWork(wait ? wait : 1);
    }
}

BOOL PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) {
    UserEnsureStarted();
    return PeekOnce(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0, nullptr) ? TRUE : FALSE;
}

BOOL TranslateMessage(const MSG*) { return FALSE; }

LRESULT DispatchMessageA(const MSG* m) {
    if (!m) return 0;
    if (m->message == WM_TIMER && m->lParam) {
        ((TIMERPROC)m->lParam)(m->hwnd, WM_TIMER, m->wParam, m->time);
        return 0;
    }
    if (!m->hwnd) return 0;
    return CallProc(m->hwnd, m->message, m->wParam, m->lParam);
}

BOOL PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    UserEnsureStarted();
    if (!hWnd) return PostThreadMessageA(ThreadCurrentId(), Msg, wParam, lParam);
    std::vector<HWND> foreign;
    std::vector<std::shared_ptr<std::condition_variable>> receivers;
    bool broadcast = hWnd == HWND_BROADCAST;
    {
        UiLock lock;
        std::vector<HWND> targets = broadcast ? TopLevelWindows() : std::vector<HWND>{hWnd};
        if (!broadcast && !WindowOrError(hWnd)) return FALSE;
        std::string desktop = CurrentDesktopName();
        for (HWND h : targets) {
            Window* w = WindowFind(h);
            if (!w) continue;
            // A broadcast reaches the top-level windows of the caller's desktop.
            if (broadcast && w->desktop != desktop) continue;
            if (w->thread == 0)
                foreign.push_back(h);
            else if (auto wake = PostTo(w, Msg, wParam, lParam))
                receivers.push_back(wake);
        }
    }
    for (auto& wake : receivers) wake->notify_all();
    if (broadcast && Msg == WM_HOTKEY) {
        char line[128];
        snprintf(line, sizeof line, "broadcast WM_HOTKEY id %u, 0x%lX%s", (unsigned)wParam, (unsigned long)lParam,
                 lParam == MAKELPARAM(MOD_CONTROL | MOD_ALT, VK_DELETE) ? " (Ctrl+Alt+Del)" : "");
        TranscriptAdd(line);
        if (lParam == MAKELPARAM(MOD_CONTROL | MOD_ALT, VK_DELETE)) OperatorSecureAttention();
    }
    // Another program's windows handle their messages at once.
    for (HWND h : foreign) CallProc(h, Msg, wParam, lParam);
    return TRUE;
}

BOOL PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<std::condition_variable> receiver;
    {
        UiLock lock;
        ThreadQueue* q = QueueFind(idThread);
        if (!q || ThreadEnded(idThread)) {
            SetLastError(1444);  // ERROR_INVALID_THREAD_ID
            return FALSE;
        }
        MSG m{};
        m.message = Msg;
        m.wParam = wParam;
        m.lParam = lParam;
        m.time = (DWORD)SteadyMs();
        q->posted.push_back(m);
        receiver = q->wake;
    }
    receiver->notify_all();
    return TRUE;
}

VOID PostQuitMessage(int nExitCode) {
    // Only the calling thread reads its own quit: nobody else to wake.
    UiLock lock;
    ThreadQueue& q = QueueCurrent();
    q.quit = true;
    q.quitCode = nExitCode;
}

namespace {

LRESULT SendOne(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam, bool notify) {
    std::shared_ptr<SentMessage> m;
    std::shared_ptr<std::condition_variable> receiver;
    {
        UiLock lock;
        Window* w = WindowOrError(hWnd);
        if (!w) return 0;
        if (w->thread == 0 || w->thread == ThreadCurrentId()) {
            lock.Lock().unlock();
            return CallProc(hWnd, Msg, wParam, lParam);
        }
        ThreadQueue* q = QueueFind(w->thread);
        if (!q || ThreadEnded(w->thread)) return 0;
        m = std::make_shared<SentMessage>();
        m->hwnd = hWnd;
        m->msg = Msg;
        m->wParam = wParam;
        m->lParam = lParam;
        m->notify = notify;
        if (!notify) m->senderWake = QueueCurrent().wake;
        q->sent.push_back(m);
        receiver = q->wake;
    }
    receiver->notify_all();
    if (notify) return TRUE;
    // Wait for the owner thread, handling messages sent to this thread meanwhile,
    // as Windows does (so two threads sending to each other do not deadlock).
    while (true) {
        ProcessSentMessages();
        UiLock lock;
        if (m->done) return m->result;
        Window* w = WindowFind(hWnd);
        if (!w || ThreadEnded(w->thread)) return 0;
        ThreadQueue& self = QueueCurrent();
        if (!self.sent.empty()) continue;
        // Woken by the reply or by a message sent to this thread; the owner's end is
        // seen at the latest after the timeout.
        std::shared_ptr<std::condition_variable> wake = self.wake;
        wake->wait_for(lock.Lock(), std::chrono::milliseconds(200));
    }
}

}  // namespace

LRESULT SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    UserEnsureStarted();
    if (hWnd == HWND_BROADCAST) {
        std::vector<HWND> targets;
        {
            UiLock lock;
            targets = TopLevelWindows();
        }
        for (HWND h : targets) SendOne(h, Msg, wParam, lParam, false);
        return 0;
    }
    return SendOne(hWnd, Msg, wParam, lParam, false);
}

BOOL SendNotifyMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    UserEnsureStarted();
    {
        UiLock lock;
        if (hWnd != HWND_BROADCAST && !WindowOrError(hWnd)) return FALSE;
    }
    SendOne(hWnd, Msg, wParam, lParam, true);
    return TRUE;
}

UINT_PTR SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc) {
    UserEnsureStarted();
    UiLock lock;
    ThreadQueue& q = QueueCurrent();
    if (hWnd) {
        Window* w = WindowOrError(hWnd);
        if (!w) return 0;
    } else {
        static UINT_PTR nextId = 0x7000;
        nIDEvent = nextId++;
    }
    if (uElapse < 10) uElapse = 10;
    for (Timer& t : q.timers)
        if (t.hwnd == hWnd && t.id == nIDEvent) {
            t.elapse = uElapse;
            t.proc = lpTimerFunc;
            t.due = SteadyMs() + uElapse;
            return hWnd ? 1 : nIDEvent;
        }
    q.timers.push_back({hWnd, nIDEvent, uElapse, lpTimerFunc, SteadyMs() + uElapse});
    return hWnd ? 1 : nIDEvent;
}

BOOL KillTimer(HWND hWnd, UINT_PTR uIDEvent) {
    UiLock lock;
    ThreadQueue& q = QueueCurrent();
    for (auto it = q.timers.begin(); it != q.timers.end(); ++it)
        if (it->hwnd == hWnd && it->id == uIDEvent) {
            q.timers.erase(it);
            return TRUE;
        }
    SetLastError(1402);  // ERROR_INVALID_TIMER_HANDLE... as Windows reports an unknown timer
    return FALSE;
}

// ---- text, visibility, state ----

BOOL SetWindowTextA(HWND hWnd, LPCSTR lpString) {
    {
        UiLock lock;
        if (!WindowOrError(hWnd)) return FALSE;
    }
    return SendMessageA(hWnd, WM_SETTEXT, 0, (LPARAM)(lpString ? lpString : "")) ? TRUE : FALSE;
}

int GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount) {
    if (!lpString || nMaxCount <= 0) return 0;
    lpString[0] = 0;
    {
        UiLock lock;
        Window* w = WindowOrError(hWnd);
        if (!w) return 0;
        // Another thread's (or program's) window: its text is read without a message, as Windows does.
        if (w->thread != ThreadCurrentId()) {
            size_t n = std::min(w->text.size(), (size_t)nMaxCount - 1);
            memcpy(lpString, w->text.data(), n);
            lpString[n] = 0;
            return (int)n;
        }
    }
    return (int)SendMessageA(hWnd, WM_GETTEXT, (WPARAM)nMaxCount, (LPARAM)lpString);
}

int GetWindowTextLengthA(HWND hWnd) {
    UiLock lock;
    Window* w = WindowOrError(hWnd);
    if (!w) return 0;
    return (int)w->text.size();
}

BOOL EnableWindow(HWND hWnd, BOOL bEnable) {
    bool wasDisabled;
    HWND lostFocus = nullptr;
    {
        UiLock lock;
        Window* w = WindowOrError(hWnd);
        if (!w) return FALSE;
        wasDisabled = (w->style & WS_DISABLED) != 0;
        if (bEnable)
            w->style &= ~WS_DISABLED;
        else
            w->style |= WS_DISABLED;
        ThreadQueue* q = QueueFind(w->thread);
        if (!bEnable && q && q->focus == hWnd) lostFocus = hWnd;
    }
    if (lostFocus) SetFocus(nullptr);
    if (wasDisabled != !bEnable) CallProc(hWnd, WM_ENABLE, bEnable ? TRUE : FALSE, 0);
    return wasDisabled ? TRUE : FALSE;
}

BOOL IsWindowEnabled(HWND hWnd) {
    UiLock lock;
    Window* w = WindowFind(hWnd);
    return w && !(w->style & WS_DISABLED);
}

BOOL ShowWindow(HWND hWnd, int nCmdShow) {
    bool wasVisible, nowVisible;
    {
        UiLock lock;
        Window* w = WindowOrError(hWnd);
        if (!w) return FALSE;
        wasVisible = (w->style & WS_VISIBLE) != 0;
        switch (nCmdShow) {
        case SW_HIDE:
            w->style &= ~WS_VISIBLE;
            break;
        case SW_MINIMIZE:
        case SW_SHOWMINIMIZED:
            w->minimized = true;
            w->style |= WS_VISIBLE;
            break;
        case SW_RESTORE:
        case SW_SHOWNORMAL:
            w->minimized = false;
            w->style |= WS_VISIBLE;
            break;
        default:
            w->style |= WS_VISIBLE;
            break;
        }
        nowVisible = (w->style & WS_VISIBLE) != 0;
    }
    if (wasVisible != nowVisible) {
        CallProc(hWnd, WM_SHOWWINDOW, nowVisible ? TRUE : FALSE, 0);
        if (nowVisible) TranscriptShown(hWnd);
    }
    return wasVisible ? TRUE : FALSE;
}

BOOL IsWindowVisible(HWND hWnd) {
    UiLock lock;
    Window* w = WindowFind(hWnd);
    return w && WindowVisibleLocked(*w);
}

BOOL IsIconic(HWND hWnd) {
    UiLock lock;
    Window* w = WindowFind(hWnd);
    return w && w->minimized;
}

HWND SetFocus(HWND hWnd) {
    HWND old;
    {
        UiLock lock;
        ThreadQueue& q = QueueCurrent();
        if (hWnd) {
            Window* w = WindowOrError(hWnd);
            if (!w) return nullptr;
            // Focus stays with the windows of the calling thread, as Windows keeps it per thread
            // queue, and never goes to a window that is (or whose parent is) disabled.
            if (w->thread != q.id) return nullptr;
            for (Window* a = w; a; a = (a->style & WS_CHILD) && a->parent ? WindowFind(a->parent) : nullptr)
                if (a->style & WS_DISABLED) return nullptr;
        }
        old = q.focus;
        if (old == hWnd) return old;
        q.focus = hWnd;
    }
    if (old) CallProc(old, WM_KILLFOCUS, (WPARAM)hWnd, 0);
    if (hWnd) CallProc(hWnd, WM_SETFOCUS, (WPARAM)old, 0);
    return old;
}

HWND GetFocus(VOID) {
    UiLock lock;
    return QueueCurrent().focus;
}

BOOL UpdateWindow(HWND hWnd) { return IsWindow(hWnd); }

BOOL InvalidateRect(HWND hWnd, const RECT*, BOOL) { return hWnd == nullptr || IsWindow(hWnd); }

BOOL RedrawWindow(HWND hWnd, const RECT*, HANDLE, UINT) {
    return hWnd == nullptr || hWnd == GetDesktopWindow() || IsWindow(hWnd);
}

BOOL GetWindowRect(HWND hWnd, LPRECT r) {
    if (hWnd == GetDesktopWindow()) {
        *r = RECT{0, 0, 1024, 768};
        return TRUE;
    }
    UiLock lock;
    Window* w = WindowFind(hWnd);
    if (!w || !r) return Fail(ERROR_INVALID_WINDOW_HANDLE);
    *r = w->rect;
    return TRUE;
}

BOOL GetClientRect(HWND hWnd, LPRECT r) {
    if (!GetWindowRect(hWnd, r)) return FALSE;
    *r = RECT{0, 0, r->right - r->left, r->bottom - r->top};
    return TRUE;
}

BOOL MoveWindow(HWND hWnd, int X, int Y, int nWidth, int nHeight, BOOL) {
    UiLock lock;
    Window* w = WindowOrError(hWnd);
    if (!w) return FALSE;
    w->rect = RECT{X, Y, X + nWidth, Y + nHeight};
    return TRUE;
}

BOOL SetWindowPos(HWND hWnd, HWND, int X, int Y, int cx, int cy, UINT uFlags) {
    RECT r;
    if (!GetWindowRect(hWnd, &r)) return FALSE;
    if (!(uFlags & SWP_NOMOVE)) r = RECT{X, Y, X + (r.right - r.left), Y + (r.bottom - r.top)};
    if (!(uFlags & SWP_NOSIZE)) r.right = r.left + cx, r.bottom = r.top + cy;
    MoveWindow(hWnd, r.left, r.top, r.right - r.left, r.bottom - r.top, TRUE);
    if (uFlags & SWP_SHOWWINDOW) ShowWindow(hWnd, SW_SHOW);
    if (uFlags & SWP_HIDEWINDOW) ShowWindow(hWnd, SW_HIDE);
    return TRUE;
}

int GetSystemMetrics(int nIndex) {
    switch (nIndex) {
    case SM_CXSCREEN:
        return 1024;
    case SM_CYSCREEN:
        return 768;
    }
    return 0;
}

BOOL IsDialogMessageA(HWND hDlg, LPMSG m) {
    if (!m || !hDlg) return FALSE;
    {
        UiLock lock;
        if (m->hwnd != hDlg && TopLevelOf(m->hwnd) != TopLevelOf(hDlg)) return FALSE;
    }
    if (m->message == WM_KEYDOWN && (m->wParam == VK_RETURN || m->wParam == VK_ESCAPE)) {
        WPARAM id = m->wParam == VK_ESCAPE ? IDCANCEL : (WPARAM)LOWORD(SendMessageA(hDlg, DM_GETDEFID, 0, 0));
        if (id == 0) id = IDOK;
        SendMessageA(hDlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(hDlg, (int)id));
        return TRUE;
    }
    DispatchMessageA(m);
    return TRUE;
}

// Windows of other programs that the operator makes appear: created on their desktop,
// closed (and recorded) when asked to close.
void ntsim::ForeignWindowsMaterialize() {
    for (const auto& f : OperatorDueWindows()) {
        RECT r{300, 200, 700, 500};
        HWND h = WindowCreate("#foreign", f.title, WS_POPUP | WS_VISIBLE | WS_CAPTION, 0, nullptr, 0, r, nullptr, nullptr, 0);
        if (!h) continue;
        {
            UiLock lock;
            if (Window* w = WindowFind(h)) w->desktop = f.desktop;
        }
        TranscriptAdd("appears: window \"" + f.title + "\" of another program on " + f.desktop);
    }
}

LRESULT CALLBACK ntsim::ForeignProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_CLOSE) {
        TranscriptAdd("closes: window \"" + WindowGetText(hwnd) + "\" of another program (WM_CLOSE)");
        DestroyWindow(hwnd);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

// Every descendant of the window, each child before its own children, in creation
// order; the list is taken first, so windows created or destroyed by the callback
// do not disturb the walk.
BOOL EnumChildWindows(HWND hWndParent, WNDENUMPROC lpEnumFunc, LPARAM lParam) {
    if (!lpEnumFunc) return Fail(ERROR_INVALID_PARAMETER);
    std::vector<HWND> list;
    {
        UiLock lock;
        std::function<void(HWND)> add = [&](HWND h) {
            Window* w = WindowFind(h);
            if (!w) return;
            for (HWND c : w->children) {
                if (!WindowFind(c)) continue;
                list.push_back(c);
                add(c);
            }
        };
        add(hWndParent);
    }
    for (HWND h : list)
        if (IsWindow(h) && !lpEnumFunc(h, lParam)) break;
    return TRUE;
}
