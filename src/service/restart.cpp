// RestartComputer and the logon-screen thread.
#include "service/restart.h"

#include <atomic>
#include <cstring>
#include <ctime>

#include "core/job_settings.h"
#include "identity/role_checks.h"
#include "identity/system_functions.h"

std::map<UINT_PTR, std::string> WindowTitleMap;
DWORD logonScreenWaitMs = 30000;

namespace {

const char* const kWinlogonKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
const char* const kNovellLogin = "Novell Login";
const int kLogonWindowSeconds = 45;

// The completion event and the number of its holders: the restart and the thread each
// release it, so a thread that signals after the restart stopped waiting still holds a
// valid event.
struct CompletionEvent {
    HANDLE event;
    std::atomic<int> holders;
};

void Release(CompletionEvent* completion) {
    if (--completion->holders == 0) {
        if (completion->event) CloseHandle(completion->event);
        delete completion;
    }
}

void Key(BYTE key, DWORD flags) { keybd_event(key, 1, flags, 0); }

void Press(BYTE key) {
    Key(key, 0);
    Key(key, KEYEVENTF_KEYUP);
}

void PressWithAlt(BYTE key) {
    Key(VK_MENU, 0);
    Key(key, 0);
    Key(key, KEYEVENTF_KEYUP);
    Key(VK_MENU, KEYEVENTF_KEYUP);
}

// The first top-level window, in ascending handle order, whose title holds "Novell Login".
HWND FindLogonWindow() {
    WindowTitleMap.clear();
    EnumWindows(RecordWindowTitle, 0);
    for (const auto& entry : WindowTitleMap)
        if (entry.second.find(kNovellLogin) != std::string::npos) return (HWND)entry.first;
    return nullptr;
}

DWORD WINAPI LogonScreenThread(LPVOID parameter) {
    auto* completion = (CompletionEvent*)parameter;
    if (NeedsLogonScreenHandling()) {
        HDESK desktop = OpenDesktopA("winlogon", 0, TRUE, MAXIMUM_ALLOWED);
        if (desktop) {
            BOOL switched = SetThreadDesktop(desktop);
            CloseDesktop(desktop);
            if (switched) RestartThroughLogonWindow();
        }
    }
    SetEvent(completion->event);
    Release(completion);
    return 0;
}

}  // namespace

BOOL CALLBACK RecordWindowTitle(HWND window, LPARAM) {
    char title[1024];
    title[0] = 0;
    GetWindowTextA(window, title, sizeof title);
    WindowTitleMap.emplace((UINT_PTR)window, title);  // a handle already present keeps its first title
    return TRUE;
}

BOOL CALLBACK CloseVisibleWindow(HWND window, LPARAM) {
    if (IsWindowVisible(window)) PostMessageA(window, WM_CLOSE, 0, 0);
    return TRUE;
}

bool NeedsLogonScreenHandling() {
    RegistryKey key(HKEY_LOCAL_MACHINE, kWinlogonKey);
    if (key.Open(TRUE, FALSE, 0) != 0) return false;
    char gina[MAX_PATH];
    bool read = key.ReadString("ginadll", gina, sizeof gina) == 0;
    key.Close();
    if (!read || lstrcmpiA(gina, "nwgina.dll") != 0) return false;

    // Somebody logged on: the input desktop is the user's, or a user's hive is loaded.
    HDESK input = OpenInputDesktop(0, FALSE, MAXIMUM_ALLOWED);
    if (input) {
        char name[256];
        BOOL named = GetUserObjectInformationA(input, UOI_NAME, name, sizeof name, nullptr);
        CloseDesktop(input);
        if (named && lstrcmpiA(name, "default") == 0) return false;
    }
    DWORD subkeys = 0;
    if (RegQueryInfoKeyA(HKEY_USERS, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
        return true;
    return subkeys < 2;
}

bool RestartThroughLogonWindow() {
    RegistryKey key(HKEY_LOCAL_MACHINE, kWinlogonKey);
    key.Open(TRUE, FALSE, 0);
    char previous[MAX_PATH];
    if (key.ReadString("ShutdownWithoutLogon", previous, sizeof previous) != 0) previous[0] = 0;
    key.WriteString("ShutdownWithoutLogon", "1");  // a failed write leads on all the same

    Sleep(4000);
    HWND early = FindLogonWindow();
    if (early) SetForegroundWindow(early);
    Press(VK_MENU);
    Press(VK_ESCAPE);
    Press(VK_ESCAPE);

    HWND found = nullptr;
    time_t deadline = time(nullptr) + kLogonWindowSeconds;
    bool screenSaverTried = false;
    while (time(nullptr) < deadline) {
        Sleep(1000);
        if (!screenSaverTried) {
            screenSaverTried = true;
            HDESK saver = OpenDesktopA("Screen-saver", 0, FALSE, DESKTOP_READOBJECTS | DESKTOP_WRITEOBJECTS);
            if (saver) {
                BOOL enumerated = EnumDesktopWindows(saver, CloseVisibleWindow, 0);
                CloseDesktop(saver);
                if (enumerated) continue;
            }
        }
        // The secure-attention key: Ctrl+Alt+Del as a hot key to every top-level window.
        Press(VK_MENU);
        Sleep(500);
        PostMessageA(HWND_BROADCAST, WM_HOTKEY, 0, MAKELPARAM(MOD_CONTROL | MOD_ALT, VK_DELETE));
        Sleep(2000);
        found = FindLogonWindow();
        if (found) break;
    }
    if (found) {
        SetForegroundWindow(found);
        Sleep(2000);
        PressWithAlt('S');
        Sleep(2000);
        PressWithAlt('R');
        Sleep(2000);
        Press(VK_RETURN);
    }
    key.WriteString("ShutdownWithoutLogon", previous);
    key.Close();
    return true;
}

void RestartComputer(const char* message, DWORD timeoutSeconds) {
    EnablePrivilege(SE_SHUTDOWN_NAME, TRUE);

    auto* completion = new CompletionEvent{CreateEventA(nullptr, TRUE, FALSE, nullptr), {2}};
    HANDLE thread = CreateThread(nullptr, 0, LogonScreenThread, completion, 0, nullptr);
    if (!thread) --completion->holders;  // no thread will release it
    if (completion->event && thread) WaitForSingleObject(completion->event, logonScreenWaitMs);
    // A thread still working is neither stopped nor waited for any longer.
    if (thread) CloseHandle(thread);
    Release(completion);

    if (GetOsVersionClass() == 8) {
        typedef LONG(WINAPI * ShutdownFunction)(int action);
        HMODULE ntdll = LoadLibraryA("ntdll.dll");
        auto shutdown = ntdll ? (ShutdownFunction)(void (*)())GetProcAddress(ntdll, "NtShutdownSystem") : nullptr;
        if (shutdown) {
            shutdown(1);  // restart, at once and without a message
            EnablePrivilege(SE_SHUTDOWN_NAME, FALSE);
            return;
        }
    }
    char text[1024];
    snprintf(text, sizeof text, "%s", message ? message : "");
    InitiateSystemShutdownA(nullptr, text, timeoutSeconds, TRUE, TRUE);
    EnablePrivilege(SE_SHUTDOWN_NAME, FALSE);
}
