// Window stations and desktops (the interactive WinSta0 with Default and Winlogon,
// a service's own station), the windows of other programs, the foreground window
// and synthesized keystrokes.
#include <strings.h>

#include <cstring>

#include "ntsim/kernel/fail.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/handles.h"
#include "ntsim/user/operator.h"
#include "ntsim/kernel/process.h"
#include "ntsim/kernel/threads.h"
#include "ntsim/user/state.h"

namespace ntsim {

namespace {

const char* kServiceStation = "Service-0x0-3e7$";

struct StationObject : KernelObject {
    std::string name;
    const char* Kind() const override { return "WindowStation"; }
};

struct DesktopObject : KernelObject {
    std::string station, name;
    const char* Kind() const override { return "Desktop"; }
    std::string Full() const { return station + "\\" + name; }
};

HWINSTA g_processStation = nullptr;  // the process's station handle (GetProcessWindowStation)
HDESK g_startDesktop = nullptr;      // the desktop the process started on
HWND g_foreground = nullptr;

bool Same(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

bool IsService() { return ProcessAttached() && CurrentProcess().service; }

std::string StartStation() { return IsService() ? kServiceStation : "WinSta0"; }

HWINSTA ProcessStation() {
    if (!g_processStation) {
        auto s = std::make_shared<StationObject>();
        s->name = StartStation();
        g_processStation = (HWINSTA)HandleCreate(s);
    }
    return g_processStation;
}

std::string StationName(HWINSTA h) {
    auto s = HandleGetAs<StationObject>((HANDLE)h);
    return s ? s->name : StartStation();
}

HDESK StartDesktop() {
    if (!g_startDesktop) {
        auto d = std::make_shared<DesktopObject>();
        d->station = StartStation();
        d->name = "Default";
        g_startDesktop = (HDESK)HandleCreate(d);
    }
    return g_startDesktop;
}

// A desktop exists on WinSta0 (Default, Winlogon; Screen-saver while a screen saver runs)
// and on a service station (Default). With the UI lock held.
bool DesktopExistsLocked(const std::string& station, const std::string& name) {
    if (Same(name, "Default")) return true;
    if (!Same(station, "WinSta0")) return false;
    if (Same(name, "Winlogon")) return true;
    if (Same(name, "Screen-saver")) {
        for (HWND h : TopLevelWindows()) {
            Window* w = WindowFind(h);
            if (w && Same(w->desktop, "WinSta0\\Screen-saver")) return true;
        }
    }
    return false;
}

bool DesktopExists(const std::string& station, const std::string& name) {
    UiLock lock;
    return DesktopExistsLocked(station, name);
}

// With the UI lock held.
std::string InputDesktopName() {
    if (DesktopExistsLocked("WinSta0", "Screen-saver")) return "Screen-saver";
    std::string configured;
    if (ProcessAttached())
        if (const ConfSection* s = CurrentProcess().conf.Find("operator")) configured = s->Get("input desktop", "");
    if (!configured.empty()) return configured;
    // At boot, before anyone logs on, the logon desktop has the input.
    return IsService() ? "Winlogon" : "Default";
}

void EnumOn(const std::string& desktop, WNDENUMPROC proc, LPARAM lParam) {
    ForeignWindowsMaterialize();
    std::vector<HWND> list;
    {
        UiLock lock;
        for (HWND h : TopLevelWindows()) {
            Window* w = WindowFind(h);
            if (w && Same(w->desktop, desktop)) list.push_back(h);
        }
    }
    for (HWND h : list)
        if (IsWindow(h) && !proc(h, lParam)) break;
}

std::string KeyName(BYTE vk) {
    switch (vk) {
    case VK_MENU:
        return "Alt";
    case VK_CONTROL:
        return "Ctrl";
    case VK_SHIFT:
        return "Shift";
    case VK_ESCAPE:
        return "Escape";
    case VK_RETURN:
        return "Enter";
    case VK_TAB:
        return "Tab";
    case VK_DELETE:
        return "Delete";
    }
    if ((vk >= '0' && vk <= '9') || (vk >= 'A' && vk <= 'Z')) return std::string(1, (char)vk);
    char buf[16];
    snprintf(buf, sizeof buf, "0x%02X", vk);
    return buf;
}

}  // namespace

void StationsReset() {
    g_processStation = nullptr;
    g_startDesktop = nullptr;
    g_foreground = nullptr;
}

std::string CurrentDesktopName() {
    ThreadQueue* q = QueueFind(ThreadCurrentId());
    if (q && !q->desktop.empty()) return q->desktop;
    return StartStation() + "\\Default";
}

bool DesktopIsInteractive(const std::string& desktop) {
    return Same(desktop, "WinSta0\\Default") || Same(desktop, "WinSta0\\" + InputDesktopName());
}

}  // namespace ntsim

using namespace ntsim;

HWINSTA GetProcessWindowStation(VOID) {
    UserEnsureStarted();
    return ProcessStation();
}

HDESK GetThreadDesktop(DWORD dwThreadId) {
    UserEnsureStarted();
    {
        UiLock lock;
        ThreadQueue* q = QueueFind(dwThreadId);
        if (q && q->desktopHandle) return q->desktopHandle;
    }
    if (dwThreadId != ThreadCurrentId() && ThreadEnded(dwThreadId)) return Fail(ERROR_INVALID_PARAMETER, nullptr);
    return StartDesktop();
}

BOOL GetUserObjectInformationA(HANDLE hObj, int nIndex, PVOID pvInfo, DWORD nLength, LPDWORD lpnLengthNeeded) {
    std::string value;
    auto station = HandleGetAs<StationObject>(hObj);
    auto desktop = HandleGetAs<DesktopObject>(hObj);
    if (!station && !desktop) return Fail(ERROR_INVALID_HANDLE);
    if (nIndex == UOI_NAME)
        value = station ? station->name : desktop->name;
    else if (nIndex == UOI_TYPE)
        value = station ? "WindowStation" : "Desktop";
    else {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    DWORD needed = (DWORD)value.size() + 1;
    if (lpnLengthNeeded) *lpnLengthNeeded = needed;
    if (!pvInfo || nLength < needed) {
        // As Windows does, a short buffer is told the length of the Unicode name in bytes.
        if (lpnLengthNeeded) *lpnLengthNeeded = needed * 2;
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    memcpy(pvInfo, value.c_str(), needed);
    return TRUE;
}

HWINSTA OpenWindowStationA(LPCSTR lpszWinSta, BOOL, ACCESS_MASK) {
    UserEnsureStarted();
    if (FaultFails("OpenWindowStationA", lpszWinSta ? lpszWinSta : "")) return nullptr;
    if (!lpszWinSta || (!Same(lpszWinSta, "WinSta0") && !Same(lpszWinSta, kServiceStation)))
        return Fail(ERROR_FILE_NOT_FOUND, nullptr);
    auto s = std::make_shared<StationObject>();
    s->name = Same(lpszWinSta, "WinSta0") ? "WinSta0" : kServiceStation;
    return (HWINSTA)HandleCreate(s);
}

BOOL SetProcessWindowStation(HWINSTA hWinSta) {
    if (FaultFails("SetProcessWindowStation", "")) return FALSE;
    if (!HandleGetAs<StationObject>((HANDLE)hWinSta)) return Fail(ERROR_INVALID_HANDLE);
    ProcessStation();
    g_processStation = hWinSta;
    return TRUE;
}

HDESK OpenDesktopA(LPCSTR lpszDesktop, DWORD, BOOL, ACCESS_MASK) {
    UserEnsureStarted();
    if (FaultFails("OpenDesktopA", lpszDesktop ? lpszDesktop : "")) return nullptr;
    ForeignWindowsMaterialize();
    std::string station = StationName(ProcessStation());
    if (!lpszDesktop || !DesktopExists(station, lpszDesktop)) return Fail(ERROR_FILE_NOT_FOUND, nullptr);
    // Only the local system account may open the logon desktop.
    if (Same(lpszDesktop, "Winlogon") && !IsService()) return Fail(ERROR_ACCESS_DENIED, nullptr);
    auto d = std::make_shared<DesktopObject>();
    d->station = station;
    d->name = Same(lpszDesktop, "Default")    ? "Default"
              : Same(lpszDesktop, "Winlogon") ? "Winlogon"
                                              : "Screen-saver";
    return (HDESK)HandleCreate(d);
}

HDESK OpenInputDesktop(DWORD, BOOL, ACCESS_MASK) {
    UserEnsureStarted();
    if (FaultFails("OpenInputDesktop", "")) return nullptr;
    ForeignWindowsMaterialize();
    // The input desktop belongs to the interactive station; other stations have none.
    if (!Same(StationName(ProcessStation()), "WinSta0")) return Fail(ERROR_INVALID_FUNCTION, nullptr);
    auto d = std::make_shared<DesktopObject>();
    d->station = "WinSta0";
    {
        UiLock lock;
        d->name = InputDesktopName();
    }
    return (HDESK)HandleCreate(d);
}

BOOL SetThreadDesktop(HDESK hDesktop) {
    UserEnsureStarted();
    if (FaultFails("SetThreadDesktop", "")) return FALSE;
    auto d = HandleGetAs<DesktopObject>((HANDLE)hDesktop);
    if (!d) return Fail(ERROR_INVALID_HANDLE);
    UiLock lock;
    ThreadQueue& q = QueueCurrent();
    // A thread that owns windows cannot change to another desktop.
    if (!Same(d->Full(), CurrentDesktopName()))
        for (HWND h : TopLevelWindows()) {
        Window* w = WindowFind(h);
        if (w && w->thread == q.id) return Fail(ERROR_BUSY);
    }
    q.desktopHandle = hDesktop;
    q.desktop = d->Full();
    return TRUE;
}

BOOL CloseDesktop(HDESK hDesktop) {
    if (!HandleGetAs<DesktopObject>((HANDLE)hDesktop)) return Fail(ERROR_INVALID_HANDLE);
    {
        UiLock lock;
        // A desktop handle some thread of the process is using cannot be closed.
        if (hDesktop == g_startDesktop || DesktopHandleInUse(hDesktop)) return Fail(ERROR_BUSY);
    }
    HandleClose((HANDLE)hDesktop);
    return TRUE;
}

BOOL CloseWindowStation(HWINSTA hWinSta) {
    if (!HandleGetAs<StationObject>((HANDLE)hWinSta)) return Fail(ERROR_INVALID_HANDLE);
    if (hWinSta == g_processStation) return Fail(ERROR_BUSY);
    HandleClose((HANDLE)hWinSta);
    return TRUE;
}

BOOL EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam) {
    UserEnsureStarted();
    if (!lpEnumFunc) return Fail(ERROR_INVALID_PARAMETER);
    std::string desktop;
    {
        UiLock lock;
        desktop = CurrentDesktopName();
    }
    EnumOn(desktop, lpEnumFunc, lParam);
    return TRUE;
}

BOOL EnumDesktopWindows(HDESK hDesktop, WNDENUMPROC lpfn, LPARAM lParam) {
    UserEnsureStarted();
    std::string desktop;
    if (hDesktop) {
        auto d = HandleGetAs<DesktopObject>((HANDLE)hDesktop);
        if (!d) return Fail(ERROR_INVALID_HANDLE);
        desktop = d->Full();
    } else {
        UiLock lock;
        desktop = CurrentDesktopName();
    }
    if (!lpfn) return Fail(ERROR_INVALID_PARAMETER);
    EnumOn(desktop, lpfn, lParam);
    return TRUE;
}

BOOL SetForegroundWindow(HWND hWnd) {
    std::string title;
    {
        UiLock lock;
        Window* w = WindowOrError(hWnd);
        if (!w) return FALSE;
        title = w->text;
        g_foreground = hWnd;
    }
    TranscriptAdd("foreground: \"" + title + "\"");
    return TRUE;
}

HWND GetForegroundWindow(VOID) {
    UiLock lock;
    return WindowFind(g_foreground) ? g_foreground : nullptr;
}

VOID keybd_event(BYTE bVk, BYTE bScan, DWORD dwFlags, ULONG_PTR dwExtraInfo) {
    UserEnsureStarted();
    std::string target;
    {
        UiLock lock;
        if (Window* w = WindowFind(g_foreground)) target = " to \"" + w->text + "\"";
    }
    char line[160];
    snprintf(line, sizeof line, "key %s %s (scan %u%s)%s", KeyName(bVk).c_str(),
             (dwFlags & KEYEVENTF_KEYUP) ? "up" : "down", (unsigned)bScan,
             dwExtraInfo ? ", extra info" : "", target.c_str());
    TranscriptAdd(line);
}
