// Window stations and desktops of interactive and service processes, other programs'
// windows made by the operator, foreground, keystrokes and broadcast messages.
#include <map>
#include <string>

#include "ui_machine.h"

namespace {

std::string Name(HANDLE h) {
    char buf[64] = "";
    DWORD needed = 0;
    if (!GetUserObjectInformationA(h, UOI_NAME, buf, sizeof buf, &needed)) return "?";
    return buf;
}

}  // namespace

using Interactive = UiMachine;

TEST_F(Interactive, TheLoggedOnUserIsOnWinSta0Default) {
    EXPECT_EQ(Name(GetProcessWindowStation()), "WinSta0");
    EXPECT_EQ(Name(GetThreadDesktop(GetCurrentThreadId())), "Default");
    char small[3];
    DWORD needed = 0;
    SetLastError(0);
    EXPECT_FALSE(GetUserObjectInformationA(GetProcessWindowStation(), UOI_NAME, small, sizeof small, &needed));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(needed, 16u) << "the Unicode name's size in bytes, as Windows tells it";
    // Only the system account opens the logon desktop.
    SetLastError(0);
    EXPECT_EQ(OpenDesktopA("Winlogon", 0, FALSE, MAXIMUM_ALLOWED), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    HDESK input = OpenInputDesktop(0, FALSE, MAXIMUM_ALLOWED);
    ASSERT_NE(input, nullptr);
    EXPECT_EQ(Name(input), "Default");
    EXPECT_TRUE(CloseDesktop(input));
}

class ServiceSession : public UiMachine {
    bool Service() override { return true; }
    std::string ExtraConf() override {
        return "[operator]\n"
               "step = window \"Screen Saver\" desktop Screen-saver\n"
               "step = window \"Novell Login\" desktop Winlogon on ctrl-alt-del\n"
               "step = window \"Later Window\" desktop Default after 150\n";
    }
};

TEST_F(ServiceSession, AServiceStartsOnItsOwnStationAndSwitchesToTheInteractiveDesktop) {
    HWINSTA original = GetProcessWindowStation();
    EXPECT_EQ(Name(original), "Service-0x0-3e7$");
    HDESK originalDesk = GetThreadDesktop(GetCurrentThreadId());
    EXPECT_EQ(Name(originalDesk), "Default");
    SetLastError(0);
    EXPECT_EQ(OpenInputDesktop(0, FALSE, MAXIMUM_ALLOWED), nullptr) << "no input desktop on a service station";

    HWINSTA winsta = OpenWindowStationA("WinSta0", TRUE, MAXIMUM_ALLOWED);
    ASSERT_NE(winsta, nullptr);
    ASSERT_TRUE(SetProcessWindowStation(winsta));
    EXPECT_EQ(Name(GetProcessWindowStation()), "WinSta0");
    HDESK desk = OpenDesktopA("Default", 0, TRUE, MAXIMUM_ALLOWED);
    ASSERT_NE(desk, nullptr);
    ASSERT_TRUE(SetThreadDesktop(desk));
    EXPECT_EQ(Name(GetThreadDesktop(GetCurrentThreadId())), "Default");
    HDESK input = OpenInputDesktop(0, FALSE, MAXIMUM_ALLOWED);
    ASSERT_NE(input, nullptr);
    EXPECT_EQ(Name(input), "Screen-saver") << "a screen saver runs";
    CloseDesktop(input);
    SetLastError(0);
    EXPECT_FALSE(CloseDesktop(desk)) << "the thread uses it";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BUSY);
    // A thread with a window keeps its desktop.
    HWND w = CreateWindowExA(0, "Static", "x", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    SetLastError(0);
    EXPECT_FALSE(SetThreadDesktop(originalDesk));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BUSY);
    DestroyWindow(w);
    EXPECT_TRUE(SetThreadDesktop(originalDesk));
    EXPECT_TRUE(SetProcessWindowStation(original));
    EXPECT_TRUE(CloseDesktop(desk));
    EXPECT_TRUE(CloseWindowStation(winsta));
    SetLastError(0);
    EXPECT_EQ(OpenWindowStationA("WinSta9", FALSE, MAXIMUM_ALLOWED), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST_F(ServiceSession, SwitchFailuresComeFromFaults) {
    ntsim::FaultAdd({"OpenWindowStationA", ERROR_ACCESS_DENIED, 0, "", false});
    SetLastError(0);
    EXPECT_EQ(OpenWindowStationA("WinSta0", TRUE, MAXIMUM_ALLOWED), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
}

namespace {

std::map<HWND, std::string> g_titles;

BOOL CALLBACK Record(HWND h, LPARAM) {
    char t[1024];
    GetWindowTextA(h, t, sizeof t);
    g_titles.emplace(h, t);
    return TRUE;
}

BOOL CALLBACK CloseVisible(HWND h, LPARAM) {
    if (IsWindowVisible(h)) PostMessageA(h, WM_CLOSE, 0, 0);
    return TRUE;
}

HWND FindTitle(const char* part) {
    g_titles.clear();
    EnumWindows(Record, 0);
    for (auto& [h, t] : g_titles)
        if (t.find(part) != std::string::npos) return h;
    return nullptr;
}

struct LogonResult {
    bool found = false;
    bool foundBeforeHotKey = false;
    bool screenSaverGone = false;
};

// The logon-screen handling's moves, on a thread of its own.
DWORD WINAPI LogonThread(LPVOID p) {
    LogonResult* r = (LogonResult*)p;
    HDESK winlogon = OpenDesktopA("winlogon", 0, TRUE, MAXIMUM_ALLOWED);
    if (!winlogon || !SetThreadDesktop(winlogon)) return 1;
    CloseDesktop(winlogon);
    r->foundBeforeHotKey = FindTitle("Novell Login") != nullptr;
    HDESK saver = OpenDesktopA("Screen-saver", 0, FALSE, 0x81);
    if (saver) {
        EnumDesktopWindows(saver, CloseVisible, 0);
        CloseDesktop(saver);
    }
    r->screenSaverGone = OpenDesktopA("Screen-saver", 0, FALSE, 0x81) == nullptr;
    keybd_event(VK_MENU, 1, 0, 0);
    keybd_event(VK_MENU, 1, KEYEVENTF_KEYUP, 0);
    PostMessageA(HWND_BROADCAST, WM_HOTKEY, 0, MAKELPARAM(MOD_CONTROL | MOD_ALT, VK_DELETE));
    HWND login = FindTitle("Novell Login");
    r->found = login != nullptr;
    if (login) {
        SetForegroundWindow(login);
        keybd_event(VK_MENU, 1, 0, 0);
        keybd_event('S', 1, 0, 0);
        keybd_event('S', 1, KEYEVENTF_KEYUP, 0);
        keybd_event(VK_MENU, 1, KEYEVENTF_KEYUP, 0);
    }
    return 0;
}

}  // namespace

TEST_F(ServiceSession, OtherProgramsWindowsAppearOnTheirDesktopsAndTakeKeys) {
    HWINSTA winsta = OpenWindowStationA("WinSta0", TRUE, MAXIMUM_ALLOWED);
    ASSERT_TRUE(SetProcessWindowStation(winsta));
    LogonResult r;
    HANDLE t = CreateThread(nullptr, 0, LogonThread, &r, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(t, 5000), (DWORD)WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeThread(t, &code);
    CloseHandle(t);
    EXPECT_EQ(code, 0u);
    EXPECT_FALSE(r.foundBeforeHotKey);
    EXPECT_TRUE(r.screenSaverGone);
    EXPECT_TRUE(r.found);
    EXPECT_TRUE(InOrder({"appears: window \"Screen Saver\" of another program on WinSta0\\Screen-saver",
                         "closes: window \"Screen Saver\" of another program (WM_CLOSE)", "key Alt down (scan 1)",
                         "key Alt up (scan 1)", "broadcast WM_HOTKEY id 0, 0x2E0003 (Ctrl+Alt+Del)",
                         "appears: window \"Novell Login\" of another program on WinSta0\\Winlogon",
                         "foreground: \"Novell Login\"", "key Alt down (scan 1) to \"Novell Login\"",
                         "key S down (scan 1) to \"Novell Login\"", "key S up", "key Alt up"}));
    // The window due after 150 ms appears on the Default desktop only then.
    HDESK desk = OpenDesktopA("Default", 0, FALSE, MAXIMUM_ALLOWED);
    ASSERT_TRUE(SetThreadDesktop(desk));
    Pause(200);
    EXPECT_NE(FindTitle("Later Window"), nullptr);
}
