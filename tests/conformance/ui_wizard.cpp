// The wizard-mode property sheet as the program's wizard uses it: the order of the
// PSN_* notifications on Next, Back and Finish, page results, the buttons set with
// PSM_SETWIZBUTTONS, the Finish button's text, the creation callback. The sheet is
// driven by a thread timer that presses one button (PSM_PRESSBUTTON) per tick.
#include <cstring>
#include <string>
#include <vector>

#include "conformance/psn_names.h"
#include "conformance/ui_common.h"

namespace {

struct ButtonState {
    bool backEnabled, nextVisible, nextEnabled, finishVisible, finishEnabled;
    char finishText[32];
    char title[128];
};

struct Run {
    HWND sheet = nullptr;
    std::vector<std::string> events;
    std::vector<ButtonState> states;  // before each press
    int refuseNext = 1;
    size_t step = 0;
    bool callbackInitialized = false;
    UINT_PTR timer = 0;
    int released = 0;  // pages the sheet destroyed (PSPCB_RELEASE)
};
Run* g_run = nullptr;

UINT CALLBACK PageCallback(HWND, UINT msg, struct _PROPSHEETPAGEA*) {
    if (msg == PSPCB_RELEASE) g_run->released++;
    return 1;
}

INT_PTR CALLBACK Page(HWND page, UINT msg, WPARAM, LPARAM lParam) {
    if (msg == WM_INITDIALOG) {
        SetWindowLongPtrA(page, DWLP_USER, ((PROPSHEETPAGEA*)lParam)->lParam);
        return TRUE;
    }
    if (msg != WM_NOTIFY) return FALSE;
    int index = (int)GetWindowLongPtrA(page, DWLP_USER);
    NMHDR* hdr = (NMHDR*)lParam;
    const char* code = PsnName(hdr->code);
    if (!code) return FALSE;
    g_run->events.push_back(std::to_string(index) + " " + code);
    HWND sheet = GetParent(page);
    LONG_PTR result = 0;
    if (hdr->code == PSN_SETACTIVE) {
        static const DWORD buttons[] = {PSWIZB_NEXT, PSWIZB_BACK | PSWIZB_NEXT, PSWIZB_BACK | PSWIZB_NEXT,
                                        PSWIZB_BACK | PSWIZB_FINISH};
        PostMessageA(sheet, PSM_SETWIZBUTTONS, 0, buttons[index]);
        if (index == 3) SetDlgItemTextA(sheet, IDC_WIZARD_FINISH, "&Install");
    }
    if (hdr->code == PSN_WIZNEXT && index == 2 && g_run->refuseNext > 0) {
        g_run->refuseNext--;
        result = -1;
    }
    SetWindowLongPtrA(page, DWLP_MSGRESULT, result);
    return TRUE;
}

int CALLBACK Callback(HWND hwnd, UINT msg, LPARAM) {
    if (msg == PSCB_INITIALIZED) {
        g_run->sheet = hwnd;
        g_run->callbackInitialized = true;
        g_run->events.push_back("initialized");
    }
    return 0;
}

void CALLBACK Press(HWND, UINT, UINT_PTR, DWORD) {
    static const int presses[] = {PSBTN_NEXT, PSBTN_NEXT, PSBTN_NEXT, PSBTN_NEXT, PSBTN_BACK, PSBTN_NEXT, PSBTN_FINISH};
    Run* r = g_run;
    if (!r->sheet || r->step >= sizeof presses / sizeof presses[0]) return;
    ButtonState s{};
    HWND back = GetDlgItem(r->sheet, 12323), next = GetDlgItem(r->sheet, 12324), finish = GetDlgItem(r->sheet, 12325);
    s.backEnabled = IsWindowEnabled(back);
    s.nextVisible = IsWindowVisible(next);
    s.nextEnabled = IsWindowEnabled(next);
    s.finishVisible = IsWindowVisible(finish);
    s.finishEnabled = IsWindowEnabled(finish);
    GetWindowTextA(finish, s.finishText, sizeof s.finishText);
    GetWindowTextA(r->sheet, s.title, sizeof s.title);
    r->states.push_back(s);
    PostMessageA(r->sheet, PSM_PRESSBUTTON, presses[r->step++], 0);
}

INT_PTR RunSheet(Run& run) {
    g_run = &run;
    const int templates[] = {IDD_WELCOME, IDD_COMPUTERINFO, IDD_OPTIONS, IDD_INSTALL};
    HPROPSHEETPAGE pages[4];
    for (int i = 0; i < 4; ++i) {
        PROPSHEETPAGEA p{};
        p.dwSize = sizeof p;
        p.hInstance = UiInstance();
        p.pszTemplate = MAKEINTRESOURCE(templates[i]);
        p.pfnDlgProc = Page;
        p.lParam = i;
        p.dwFlags = PSP_USECALLBACK;
        p.pfnCallback = PageCallback;
        pages[i] = CreatePropertySheetPageA(&p);
    }
    PROPSHEETHEADERA h{};
    h.dwSize = sizeof h;
    h.dwFlags = 0x1A0;
    h.hInstance = UiInstance();
    h.nPages = 4;
    h.phpage = pages;
    h.pfnCallback = Callback;
    run.timer = SetTimer(nullptr, 0, 60, Press);
    INT_PTR result = PropertySheetA(&h);
    KillTimer(nullptr, run.timer);
    return result;
}

}  // namespace

CONFORMANCE_TEST(ui_wizard_notifications_and_buttons) {
#ifdef _WIN32
    // RICHED32 registers the computer information page's rich edit class (built in on Linux).
    LoadLibraryA("RICHED32.DLL");
#endif
    Run run;
    INT_PTR result = RunSheet(run);
    ok(result > 0, "Finish ends the sheet with a positive result, got %ld", (long)result);
    ok(run.callbackInitialized, "PSCB_INITIALIZED was called");
    ok(run.released == 4, "the sheet destroyed the pages it was given: %d releases", run.released);
    const char* expected[] = {"initialized", "0 setactive", "0 next", "0 killactive", "1 setactive", "1 next",
                              "1 killactive", "2 setactive", "2 next", "2 next", "2 killactive", "3 setactive",
                              "3 back", "3 killactive", "2 setactive", "2 next", "2 killactive", "3 setactive",
                              "3 finish"};
    size_t n = sizeof expected / sizeof expected[0];
    ok(run.events.size() == n, "%d notifications, expected %d", (int)run.events.size(), (int)n);
    for (size_t i = 0; i < run.events.size() && i < n; ++i)
        ok(run.events[i] == expected[i], "notification %d: \"%s\", expected \"%s\"", (int)i, run.events[i].c_str(),
           expected[i]);
    ok(run.states.size() == 7, "%d presses", (int)run.states.size());
    if (run.states.size() < 7) return;
    const ButtonState& welcome = run.states[0];
    ok(!welcome.backEnabled && welcome.nextVisible && welcome.nextEnabled && !welcome.finishVisible,
       "welcome: Next only (back %d next %d/%d finish %d)", welcome.backEnabled, welcome.nextVisible,
       welcome.nextEnabled, welcome.finishVisible);
    ok(strcmp(welcome.title, "Quorvel SID Utility - Welcome") == 0, "the sheet takes the page's title: \"%s\"",
       welcome.title);
    const ButtonState& info = run.states[1];
    ok(info.backEnabled && info.nextVisible && info.nextEnabled, "computer information: Back and Next");
    const ButtonState& install = run.states[4];
    ok(install.backEnabled && !install.nextVisible && install.finishVisible && install.finishEnabled,
       "install page: Back and Finish (next visible %d, finish %d/%d)", install.nextVisible, install.finishVisible,
       install.finishEnabled);
    ok(strcmp(install.finishText, "&Install") == 0, "Finish text \"%s\"", install.finishText);
    ok(strcmp(install.title, "Quorvel SID Utility - Install Automatic Service") == 0, "title \"%s\"", install.title);
    const ButtonState& back = run.states[5];
    ok(back.nextVisible && !back.finishVisible, "back on the options page: Next shows again");
}
