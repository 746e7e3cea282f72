// Every user call that takes an injected fault fails with the chosen error and leaves
// nothing behind (no window, no class, no answered step); the next call succeeds.
#include <functional>

#include "ui_machine.h"

using UiFaults = UiMachine;

namespace {

struct FaultCase {
    const char* function;
    std::function<bool()> call;  // true when the call succeeded
};

int CountTopWindows() {
    int n = 0;
    EnumWindows([](HWND, LPARAM p) -> BOOL {
        ++*(int*)p;
        return TRUE;
    }, (LPARAM)&n);
    return n;
}

LRESULT CALLBACK Proc(HWND h, UINT m, WPARAM w, LPARAM l) { return DefWindowProcA(h, m, w, l); }

INT_PTR CALLBACK EndAtOnce(HWND dlg, UINT msg, WPARAM, LPARAM) {
    if (msg == WM_INITDIALOG) EndDialog(dlg, 3);
    return FALSE;
}

}  // namespace

TEST_F(UiFaults, EachCallFailsWithTheInjectedErrorAndLeavesNothing) {
    char buf[64];
    std::vector<FaultCase> cases = {
        {"LoadStringA", [&] { return LoadStringA(instance_, IDS_ABOUTBOX, buf, sizeof buf) > 0; }},
        {"LoadIconA", [&] { return LoadIconA(instance_, MAKEINTRESOURCE(IDI_TESSIV)) != nullptr; }},
        {"LoadBitmapA", [&] { return LoadBitmapA(instance_, MAKEINTRESOURCE(IDB_BANNER)) != nullptr; }},
        {"RegisterClassA",
         [&] {
             WNDCLASSA wc{};
             wc.lpfnWndProc = Proc;
             wc.lpszClassName = "FaultClass";
             bool ok = RegisterClassA(&wc) != 0;
             if (ok) UnregisterClassA("FaultClass", nullptr);
             return ok;
         }},
        {"CreateWindowExA",
         [&] {
             HWND h = CreateWindowExA(0, "Static", "t", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
             if (h) DestroyWindow(h);
             return h != nullptr;
         }},
        {"CreateDialogParamA",
         [&] {
             HWND h = CreateDialogParamA(instance_, MAKEINTRESOURCE(IDD_ABOUTBOX), nullptr, nullptr, 0);
             if (h) DestroyWindow(h);
             return h != nullptr;
         }},
        {"DialogBoxParamA",
         [&] { return DialogBoxParamA(instance_, MAKEINTRESOURCE(IDD_ABOUTBOX), nullptr, EndAtOnce, 0) == 3; }},
        {"MessageBoxA", [&] { return MessageBoxA(nullptr, "text", "caption", MB_OK) == IDOK; }},
        {"OpenWindowStationA",
         [&] {
             HWINSTA h = OpenWindowStationA("WinSta0", FALSE, MAXIMUM_ALLOWED);
             if (h) CloseWindowStation(h);
             return h != nullptr;
         }},
        {"SetProcessWindowStation", [&] { return SetProcessWindowStation(GetProcessWindowStation()) != FALSE; }},
        {"OpenDesktopA",
         [&] {
             HDESK h = OpenDesktopA("Default", 0, FALSE, MAXIMUM_ALLOWED);
             if (h) CloseDesktop(h);
             return h != nullptr;
         }},
        {"OpenInputDesktop",
         [&] {
             HDESK h = OpenInputDesktop(0, FALSE, MAXIMUM_ALLOWED);
             if (h) CloseDesktop(h);
             return h != nullptr;
         }},
        {"SetThreadDesktop", [&] { return SetThreadDesktop(GetThreadDesktop(GetCurrentThreadId())) != FALSE; }},
        {"CreatePropertySheetPageA",
         [&] {
             PROPSHEETPAGEA p{};
             p.dwSize = sizeof p;
             p.pszTemplate = MAKEINTRESOURCE(IDD_WELCOME);
             HPROPSHEETPAGE h = CreatePropertySheetPageA(&p);
             if (h) DestroyPropertySheetPage(h);
             return h != nullptr;
         }},
    };
    int windowsBefore = CountTopWindows();
    for (const FaultCase& c : cases) {
        ntsim::FaultClearAll();
        ASSERT_TRUE(c.call()) << c.function << " works without a fault";
        ntsim::FaultAdd({c.function, ERROR_NOT_ENOUGH_MEMORY, 1, "", false});
        SetLastError(0);
        EXPECT_FALSE(c.call()) << c.function << " fails at the injected call";
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY) << c.function;
        EXPECT_TRUE(c.call()) << c.function << " works again at the next call";
        EXPECT_EQ(CountTopWindows(), windowsBefore) << c.function << " left a window behind";
    }
}

TEST_F(UiFaults, PropertySheetAndFileDialogFaults) {
    ntsim::FaultAdd({"PropertySheetA", ERROR_NOT_ENOUGH_MEMORY, 0, "", false});
    PROPSHEETHEADERA h{};
    h.dwSize = sizeof h;
    h.nPages = 1;
    SetLastError(0);
    EXPECT_EQ(PropertySheetA(&h), -1);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    ntsim::FaultClearAll();
    Script("file \"C:\\x.dat\"\n");
    ntsim::FaultAdd({"GetOpenFileNameA", 0x3002 /*FNERR_INVALIDFILENAME*/, 0, "", false});
    char buf[260] = "";
    OPENFILENAMEA o{};
    o.lStructSize = sizeof o;
    o.lpstrFile = buf;
    o.nMaxFile = sizeof buf;
    EXPECT_FALSE(GetOpenFileNameA(&o));
    EXPECT_EQ(CommDlgExtendedError(), 0x3002u);
    EXPECT_FALSE(ntsim::OperatorDone()) << "the failed dialog did not use the script's answer";
}
