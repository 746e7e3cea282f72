// The rich edit control of the computer information page, edit selections and limits,
// and the operator's check, uncheck, wait and idle steps.
#include <cstring>

#include "ui_machine.h"

using Controls = UiMachine;

TEST_F(Controls, RichEditKeepsTextSelectionBackgroundAndParagraphFormat) {
    HWND owner = CreateDialogParamA(instance_, MAKEINTRESOURCE(IDD_ABOUTBOX), nullptr, nullptr, 0);
    HWND page = CreateDialogParamA(instance_, MAKEINTRESOURCE(IDD_COMPUTERINFO), owner, nullptr, 0);
    ASSERT_NE(page, nullptr);
    HWND rich = GetDlgItem(page, IDC_SYSINFO);
    char cls[32];
    GetClassNameA(rich, cls, sizeof cls);
    EXPECT_STREQ(cls, "RICHEDIT");
    EXPECT_EQ(SendMessageA(rich, EM_SETBKGNDCOLOR, 0, 0xC0C0C0), (LRESULT)0xFFFFFF) << "the previous colour";
    CHARRANGE all{0, -1};
    SendMessageA(rich, EM_EXSETSEL, 0, (LPARAM)&all);
    SendMessageA(rich, EM_REPLACESEL, 0, (LPARAM) "(Terminal Server detected)\n\n");
    SendMessageA(rich, EM_REPLACESEL, 0, (LPARAM) "First text. ");
    PARAFORMAT pf{};
    pf.cbSize = sizeof pf;
    pf.dwMask = PFM_NUMBERING | PFM_STARTINDENT | PFM_OFFSET | PFM_OFFSETINDENT;
    pf.wNumbering = 0;
    pf.dxStartIndent = 250;
    pf.dxOffset = 250;
    EXPECT_TRUE(SendMessageA(rich, EM_SETPARAFORMAT, 0, (LPARAM)&pf));
    SendMessageA(rich, EM_REPLACESEL, 0, (LPARAM) "Second text.");
    char text[256];
    GetWindowTextA(rich, text, sizeof text);
    EXPECT_STREQ(text, "(Terminal Server detected)\n\nFirst text. Second text.");
    CHARRANGE sel{};
    SendMessageA(rich, EM_EXGETSEL, 0, (LPARAM)&sel);
    EXPECT_EQ(sel.cpMin, (LONG)strlen(text));
    EXPECT_EQ(sel.cpMax, (LONG)strlen(text));
    PARAFORMAT got{};
    got.cbSize = sizeof got;
    SendMessageA(rich, EM_GETPARAFORMAT, 0, (LPARAM)&got);
    EXPECT_EQ(got.dxStartIndent, 250);
    EXPECT_EQ(got.dxOffset, 250);
    pf.cbSize = 3;
    EXPECT_FALSE(SendMessageA(rich, EM_SETPARAFORMAT, 0, (LPARAM)&pf)) << "a wrong structure size is refused";
    DestroyWindow(owner);
}

TEST_F(Controls, TypingRespectsTheLimitAndReadOnlyEdits) {
    HWND owner = CreateDialogParamA(instance_, MAKEINTRESOURCE(IDD_STATUS), nullptr, nullptr, 0);
    HWND page = CreateDialogParamA(instance_, MAKEINTRESOURCE(IDD_OPTIONS), owner, nullptr, 0);
    EnableWindow(page, TRUE);
    ShowWindow(page, SW_SHOW);
    SendDlgItemMessageA(page, IDC_NEWNAME, EM_LIMITTEXT, 15, 0);
    HWND name = GetDlgItem(page, IDC_NEWNAME);
    for (const char* c = "a-very-long-computer-name"; *c; ++c) SendMessageA(name, WM_CHAR, (WPARAM)*c, 0);
    char text[64];
    GetWindowTextA(name, text, sizeof text);
    EXPECT_STREQ(text, "A-VERY-LONG-COM") << "typing stops at the limit, in upper case";
    SetWindowTextA(name, "set-by-program-longer-than-limit");
    GetWindowTextA(name, text, sizeof text);
    EXPECT_STREQ(text, "SET-BY-PROGRAM-LONGER-THAN-LIMIT") << "the limit applies to typing only";
    HWND detail = GetDlgItem(owner, IDC_STATUS_DETAIL);
    SetWindowTextA(detail, "Initializing...");
    SendMessageA(detail, WM_CHAR, 'x', 0);
    GetWindowTextA(detail, text, sizeof text);
    EXPECT_STREQ(text, "Initializing...");
    DestroyWindow(owner);
}

namespace {

INT_PTR CALLBACK Plain(HWND dlg, UINT msg, WPARAM wParam, LPARAM) {
    if (msg == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        EndDialog(dlg, LOWORD(wParam) == IDOK ? 10 : 20);
        return TRUE;
    }
    return msg == WM_INITDIALOG;
}

}  // namespace

TEST_F(Controls, IdleSettingPressesEscapeOnADialogLeftWaiting) {
    Script("idle 1\n"
           "wait 100\n");
    INT_PTR r = DialogBoxParamA(instance_, MAKEINTRESOURCE(IDD_NEWNAME), nullptr, Plain, 0);
    EXPECT_EQ(r, 20);
    EXPECT_TRUE(InOrder({"operator: nothing left to do for \"Quorvel Tessiv Utility\" after 1 s: presses Escape"}));
}

TEST_F(Controls, CheckAndUncheckClickOnlyWhenNeeded) {
    HWND owner = CreateDialogParamA(instance_, MAKEINTRESOURCE(IDD_ABOUTBOX), nullptr, nullptr, 0);
    HWND page = CreateDialogParamA(instance_, MAKEINTRESOURCE(IDD_INSTALL), owner, nullptr, 0);
    EnableWindow(page, TRUE);
    ShowWindow(page, SW_SHOW);
    ShowWindow(owner, SW_SHOW);
    CheckDlgButton(page, IDC_CLEANTEMP, BST_CHECKED);
    Script("check 1032\n"
           "uncheck 1032\n"
           "check 1033\n");
    // Drive the steps as a modal loop would when idle.
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(ntsim::OperatorIdle(owner));
    EXPECT_EQ(IsDlgButtonChecked(page, IDC_CLEANTEMP), (UINT)BST_UNCHECKED);
    EXPECT_EQ(IsDlgButtonChecked(page, IDC_REMOVEUTILITY), (UINT)BST_CHECKED);
    EXPECT_TRUE(InOrder({"control 1032 is already checked", "operator: clicks", "control 1032",
                         "operator: clicks", "control 1033"}));
    DestroyWindow(owner);
}
