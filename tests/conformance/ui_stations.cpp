// Window station and desktop names of an interactive process, and the rules of
// SetThreadDesktop.
#include <cstring>

#include "conformance/ui_common.h"

namespace {

bool Name(HANDLE h, char* buf, DWORD size) {
    DWORD needed = 0;
    return GetUserObjectInformationA(h, UOI_NAME, buf, size, &needed) != FALSE;
}

DWORD WINAPI SwitchWithoutWindows(LPVOID p) {
    HDESK desk = OpenDesktopA("Default", 0, FALSE, MAXIMUM_ALLOWED);
    BOOL ok = desk && SetThreadDesktop(desk);
    *(BOOL*)p = ok;
    return 0;
}

}  // namespace

CONFORMANCE_TEST(ui_station_and_desktop_names) {
    char name[64];
    ok(Name(GetProcessWindowStation(), name, sizeof name), "station name read");
    ok(strcmp(name, "WinSta0") == 0, "station \"%s\"", name);
    ok(Name(GetThreadDesktop(GetCurrentThreadId()), name, sizeof name), "desktop name read");
    ok(strcmp(name, "Default") == 0, "desktop \"%s\"", name);
    char small[3];
    DWORD needed = 0;
    SetLastError(0xdeadbeef);
    BOOL r = GetUserObjectInformationA(GetProcessWindowStation(), UOI_NAME, small, sizeof small, &needed);
    ok(!r && GetLastError() == ERROR_INSUFFICIENT_BUFFER, "small buffer: %d, error %lu", r,
       (unsigned long)GetLastError());
    ok(needed == 16, "a short buffer is told the Unicode name's size in bytes: %lu", (unsigned long)needed);
    HWINSTA station = OpenWindowStationA("WinSta0", TRUE, MAXIMUM_ALLOWED);
    ok(station != nullptr, "WinSta0 opens");
    if (station) ok(CloseWindowStation(station), "closed");
}

CONFORMANCE_TEST(ui_set_thread_desktop_to_the_same_desktop) {
    HWND w = CreateWindowExA(0, "Static", "x", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, UiInstance(), nullptr);
    ok(w != nullptr, "window created");
    HDESK desk = OpenDesktopA("Default", 0, FALSE, MAXIMUM_ALLOWED);
    ok(desk != nullptr, "Default opens");
    // Windows refuses a thread with windows only a move to another desktop.
    ok(SetThreadDesktop(desk), "a thread with a window may set its own desktop again: %lu",
       (unsigned long)GetLastError());
    DestroyWindow(w);
    BOOL other = FALSE;
    HANDLE t = CreateThread(nullptr, 0, SwitchWithoutWindows, &other, 0, nullptr);
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
    ok(other, "a thread without windows can");
    if (desk) CloseDesktop(desk);
}
