// The wizard-mode property sheet: notification order on Next, Back and Finish, page
// results, the buttons pages set, the Finish text, the creation callback and the
// replaced sheet window procedure.
#include <string>
#include <vector>

#include "conformance/psn_names.h"
#include "ui_machine.h"

using Wizard = UiMachine;

namespace {

struct Record {
    std::vector<std::string> events;
    int refuseNext = 0;       // PSN_WIZNEXT answers -1 this many times on the options page
    int refuseFinish = 0;     // PSN_WIZFINISH keeps the sheet open this many times
    bool backEnabledAtNext[4] = {};
    bool sheetProcSawInit = false;
    HWND sheet = nullptr;
    WNDPROC previous = nullptr;
    int sysCommand16 = 0;
};
Record* g_rec = nullptr;

INT_PTR CALLBACK PageProc(HWND page, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_INITDIALOG) {
        PROPSHEETPAGEA* psp = (PROPSHEETPAGEA*)lParam;
        SetWindowLongPtrA(page, DWLP_USER, psp->lParam);
        g_rec->events.push_back(std::to_string(psp->lParam) + " init");
        return TRUE;
    }
    int index = (int)GetWindowLongPtrA(page, DWLP_USER);
    HWND sheet = GetParent(page);
    if (msg == WM_COMMAND) {
        WORD code = HIWORD(wParam);
        if (code == EN_SETFOCUS || code == BN_SETFOCUS) g_rec->events.push_back(std::to_string(index) + " focus " + std::to_string(LOWORD(wParam)));
        if (index == 2 && code == BN_CLICKED && (LOWORD(wParam) == IDC_RUN_NOW || LOWORD(wParam) == IDC_RUN_NEXTBOOT)) {
            bool now = IsDlgButtonChecked(page, IDC_RUN_NOW) == BST_CHECKED;
            PropSheet_SetWizButtons(sheet, now ? PSWIZB_BACK | PSWIZB_FINISH : PSWIZB_BACK | PSWIZB_NEXT);
            if (now) SetDlgItemTextA(sheet, IDC_WIZARD_FINISH, "&Start");
        }
        return TRUE;
    }
    if (msg == WM_DESTROY) {
        g_rec->events.push_back(std::to_string(index) + " destroy");
        return TRUE;
    }
    if (msg != WM_NOTIFY) return FALSE;
    NMHDR* hdr = (NMHDR*)lParam;
    const char* name = PsnName(hdr->code);
    g_rec->events.push_back(std::to_string(index) + " " + (name ? name : "other"));
    LONG_PTR result = 0;
    switch (hdr->code) {
    case PSN_SETACTIVE: {
        static const DWORD buttons[] = {PSWIZB_NEXT, PSWIZB_BACK | PSWIZB_NEXT, PSWIZB_BACK | PSWIZB_NEXT,
                                        PSWIZB_BACK | PSWIZB_FINISH};
        PropSheet_SetWizButtons(sheet, buttons[index]);
        if (index == 2) CheckRadioButton(page, IDC_RUN_NOW, IDC_RUN_NEXTBOOT, IDC_RUN_NEXTBOOT);
        if (index == 3) SetDlgItemTextA(sheet, IDC_WIZARD_FINISH, "&Install");
        break;
    }
    case PSN_WIZNEXT:
        g_rec->backEnabledAtNext[index] = IsWindowEnabled(GetDlgItem(sheet, 12323));
        if (index == 2 && g_rec->refuseNext > 0) {
            g_rec->refuseNext--;
            result = -1;
        }
        break;
    case PSN_WIZFINISH:
        if (g_rec->refuseFinish > 0) {
            g_rec->refuseFinish--;
            result = TRUE;
        }
        break;
    }
    SetWindowLongPtrA(page, DWLP_MSGRESULT, result);
    return TRUE;
}

LRESULT CALLBACK SheetSubclass(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_SYSCOMMAND && wParam == IDM_ABOUTBOX) {
        g_rec->sysCommand16++;
        return 0;
    }
    if (msg == WM_INITMENUPOPUP) {
        HMENU menu = GetSystemMenu(hwnd, FALSE);
        EnableMenuItem(menu, SC_SIZE, MF_BYCOMMAND | MF_GRAYED);
        EnableMenuItem(menu, SC_MAXIMIZE, MF_BYCOMMAND | MF_GRAYED);
        return 0;
    }
    return CallWindowProcA(g_rec->previous, hwnd, msg, wParam, lParam);
}

int CALLBACK SheetCallback(HWND hwnd, UINT msg, LPARAM) {
    if (msg != PSCB_INITIALIZED) return 0;
    g_rec->events.push_back("sheet ready");
    g_rec->sheet = hwnd;
    SetLastError(0);
    EXPECT_EQ(SetWindowLongA(hwnd, GWL_WNDPROC, 1), 0) << "a 32-bit long cannot hold a procedure in a 64-bit process";
    g_rec->previous = (WNDPROC)SetWindowLongPtrA(hwnd, GWLP_WNDPROC, (LONG_PTR)SheetSubclass);
    LONG style = GetWindowLongA(hwnd, GWL_STYLE);
    SetWindowLongA(hwnd, GWL_STYLE, style | 0xA0000);
    LONG ex = GetWindowLongA(hwnd, GWL_EXSTYLE);
    EXPECT_TRUE(ex & WS_EX_CONTEXTHELP);
    SetWindowLongA(hwnd, GWL_EXSTYLE, ex & ~0x400);
    HMENU menu = GetSystemMenu(hwnd, FALSE);
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu, MF_STRING, IDM_ABOUTBOX, "&About Tessiv...");
    DrawMenuBar(hwnd);
    return 0;
}

INT_PTR RunWizard(Record& rec, UINT startPage = 0) {
    g_rec = &rec;
    const int templates[] = {IDD_WELCOME, IDD_COMPUTERINFO, IDD_OPTIONS, IDD_INSTALL};
    HPROPSHEETPAGE pages[4];
    for (int i = 0; i < 4; ++i) {
        PROPSHEETPAGEA p{};
        p.dwSize = sizeof p;
        p.hInstance = (HINSTANCE)1;
        p.pszTemplate = MAKEINTRESOURCE(templates[i]);
        p.pfnDlgProc = PageProc;
        p.lParam = i;
        pages[i] = CreatePropertySheetPageA(&p);
        EXPECT_NE(pages[i], nullptr);
    }
    PROPSHEETHEADERA h{};
    h.dwSize = sizeof h;
    h.dwFlags = 0x1A0;  // wizard, no Apply button, creation callback
    h.hInstance = (HINSTANCE)1;
    h.nPages = 4;
    h.nStartPage = startPage;
    h.phpage = pages;
    h.pfnCallback = SheetCallback;
    return PropertySheetA(&h);
}

}  // namespace

TEST_F(Wizard, NotificationsFollowNextBackAndFinishInComctlOrder) {
    Script("wait for \"*Welcome\"\n"
           "press Next\n"
           "wait for \"*Computer Information\"\n"
           "press Next\n"
           "wait for \"*Program Options\"\n"
           "press Next\n"  // refused by the page
           "press Next\n"
           "wait for \"*Install Automatic Service\"\n"
           "press Back\n"
           "wait for \"*Program Options\"\n"
           "press Next\n"
           "press Finish\n");
    Record rec;
    rec.refuseNext = 1;
    EXPECT_EQ(RunWizard(rec), IDOK);
    EXPECT_TRUE(ntsim::OperatorDone()) << ntsim::OperatorPendingSteps().front();
    std::vector<std::string> notes;
    for (const std::string& e : rec.events)
        if (e.find("focus") == std::string::npos && e.find("destroy") == std::string::npos) notes.push_back(e);
    std::vector<std::string> expected = {
        "sheet ready", "0 init",       "0 setactive", "0 next",       "0 killactive", "1 init",
        "1 setactive",       "1 next",       "1 killactive", "2 init",      "2 setactive",  "2 next",
        "2 next",            "2 killactive", "3 init",      "3 setactive", "3 back",       "3 killactive",
        "2 setactive",       "2 next",       "2 killactive", "3 setactive", "3 finish"};
    EXPECT_EQ(notes, expected);
    EXPECT_FALSE(rec.backEnabledAtNext[0]) << "the welcome page offers Next only";
    EXPECT_TRUE(rec.backEnabledAtNext[1]);
    EXPECT_TRUE(InOrder({"operator: presses Finish (\"&Install\")", "closed: wizard"}));
    // Every page window is destroyed with the sheet.
    int destroyed = 0;
    for (const std::string& e : rec.events) destroyed += e.find("destroy") != std::string::npos;
    EXPECT_EQ(destroyed, 4);
}

TEST_F(Wizard, FinishTakesThePlaceOfNextAndKeepsItsText) {
    Script("wait for \"*Program Options\"\n"
           "click 1030\n"
           "press Finish\n"
           "press Finish\n");
    Record rec;
    rec.refuseFinish = 1;
    EXPECT_EQ(RunWizard(rec, 2), IDOK);
    EXPECT_TRUE(ntsim::OperatorDone());
    EXPECT_TRUE(InOrder({"operator: clicks \"Quorvel SID Utility - Program Options\" control 1030 \"N&ow\"",
                         "operator: presses Finish (\"&Start\")", "operator: presses Finish (\"&Start\")",
                         "closed: wizard"}));
    int finishes = 0;
    for (const std::string& e : rec.events) finishes += e == "2 finish";
    EXPECT_EQ(finishes, 2) << "the first Finish was refused by the page";
}

TEST_F(Wizard, NextIsHiddenWhileFinishShowsAndABlockedStepGivesUp) {
    // On the install page Next is hidden: the operator cannot press it and says so.
    Script("timeout 1\n"
           "wait for \"*Install Automatic Service\"\n"
           "press Next\n"
           "press Cancel\n");
    Record rec;
    EXPECT_EQ(RunWizard(rec, 3), 0) << "Cancel ends the sheet with 0";
    EXPECT_TRUE(InOrder({"line 3 (press Next) not possible: the Next button of",
                         "is disabled or hidden; gave up after 1 s", "operator: presses Cancel"}));
    bool reset = false, query = false;
    for (const std::string& e : rec.events) reset |= e == "3 reset", query |= e == "3 querycancel";
    EXPECT_TRUE(query && reset) << "Cancel asks the page, then resets every created page";
}

TEST_F(Wizard, SystemMenuCommandsReachTheReplacedProcedure) {
    Script("timeout 1\n"
           "wait for \"*Welcome\"\n"
           "sysmenu 16\n"
           "sysmenu 61440\n"  // SC_SIZE, grayed by the sheet's own menu handling
           "press Cancel\n");
    Record rec;
    RunWizard(rec);
    EXPECT_EQ(rec.sysCommand16, 1);
    EXPECT_TRUE(InOrder({"operator: system menu command 16", "system menu command 61440 is grayed"}));
}

TEST_F(Wizard, SetCurSelMovesToAPageAfterAskingTheCurrentOne) {
    Record rec;
    g_rec = &rec;
    // A timer jumps to the options page: PSM_SETCURSEL from outside the page procedure.
    struct Timer {
        static void CALLBACK Fire(HWND, UINT, UINT_PTR id, DWORD) {
            KillTimer(nullptr, id);
            if (g_rec->sheet) SendMessageA(g_rec->sheet, PSM_SETCURSEL, 2, 0);
        }
    };
    SetTimer(nullptr, 0, 10, Timer::Fire);
    Script("wait for \"*Program Options\"\npress Cancel\n");
    EXPECT_EQ(RunWizard(rec), 0);
    std::vector<std::string> notes;
    for (const std::string& e : rec.events)
        if (e.find("focus") == std::string::npos && e.find("destroy") == std::string::npos && e.find(" init") == std::string::npos)
            notes.push_back(e);
    std::vector<std::string> expected = {"sheet ready", "0 setactive", "0 killactive", "2 setactive", "2 querycancel",
                                         "0 reset",           "2 reset"};
    EXPECT_EQ(notes, expected);
}
