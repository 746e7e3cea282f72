// Dialogs from the resource templates: modal loops driven by the operator, control
// state, focus notifications, and messages sent across threads to a dialog.
#include <atomic>
#include <cstring>

#include "ui_machine.h"

using Dialogs = UiMachine;

namespace {

struct NameRequest {
    char name[64] = "";
    int okPressedEmpty = 0;
};

INT_PTR CALLBACK NewNameProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam) {
    NameRequest* req = (NameRequest*)GetWindowLongPtrA(dlg, DWLP_USER);
    switch (msg) {
    case WM_INITDIALOG:
        SetWindowLongPtrA(dlg, DWLP_USER, lParam);
        SetDlgItemTextA(dlg, IDC_ASKNAME, "ntwks01");
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL) EndDialog(dlg, 2);
        if (LOWORD(wParam) == IDOK) {
            GetDlgItemTextA(dlg, IDC_ASKNAME, req->name, sizeof req->name);
            if (!req->name[0]) {
                req->okPressedEmpty++;
                return TRUE;
            }
            EndDialog(dlg, 1);
        }
        return TRUE;
    }
    return FALSE;
}

}  // namespace

TEST_F(Dialogs, OperatorTypesIntoAnUpperCaseEditAndOkEndsTheDialog) {
    Script("wait for \"Quorvel Tessiv Utility\"\n"
           "type 1045 \"\"\n"
           "press OK\n"
           "type 1045 \"newbox\"\n"
           "press OK\n");
    NameRequest req;
    INT_PTR r = DialogBoxParamA(instance_, MAKEINTRESOURCE(IDD_NEWNAME), nullptr, NewNameProc, (LPARAM)&req);
    EXPECT_EQ(r, 1);
    EXPECT_STREQ(req.name, "NEWBOX");
    EXPECT_EQ(req.okPressedEmpty, 1) << "OK with an empty name keeps the dialog open";
    EXPECT_TRUE(ntsim::OperatorDone());
    EXPECT_TRUE(InOrder({"shown: dialog 154 \"Quorvel Tessiv Utility\"", "1045 Edit \"NTWKS01\"",
                         "operator: types \"\" into \"Quorvel Tessiv Utility\" control 1045",
                         "text \"Quorvel Tessiv Utility\" control 1045: \"\"", "operator: presses OK",
                         "text \"Quorvel Tessiv Utility\" control 1045: \"N\"",
                         "text \"Quorvel Tessiv Utility\" control 1045: \"NEWBOX\"",
                         "closed: dialog 154 \"Quorvel Tessiv Utility\" with 1"}));
}

TEST_F(Dialogs, CancelAndTheCloseCommandEndWithIdCancel) {
    Script("close\n");
    NameRequest req;
    EXPECT_EQ(DialogBoxParamA(instance_, MAKEINTRESOURCE(IDD_NEWNAME), nullptr, NewNameProc, (LPARAM)&req), 2);
    Script("press Cancel\n");
    EXPECT_EQ(DialogBoxParamA(instance_, MAKEINTRESOURCE(IDD_NEWNAME), nullptr, NewNameProc, (LPARAM)&req), 2);
}

TEST_F(Dialogs, MissingTemplatesAndFaultsFailWithMinusOne) {
    SetLastError(0);
    EXPECT_EQ(DialogBoxParamA(instance_, MAKEINTRESOURCE(4711), nullptr, NewNameProc, 0), -1);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_NAME_NOT_FOUND);
    ntsim::FaultAdd({"DialogBoxParamA", ERROR_NOT_ENOUGH_MEMORY, 0, "", false});
    EXPECT_EQ(DialogBoxParamA(instance_, MAKEINTRESOURCE(IDD_NEWNAME), nullptr, NewNameProc, 0), -1);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
}

TEST_F(Dialogs, TemplatesGiveControlsTheirTextsStylesAndIds) {
    HWND dlg = CreateDialogParamA(instance_, MAKEINTRESOURCE(IDD_STATUS), nullptr, nullptr, 0);
    ASSERT_NE(dlg, nullptr);
    char text[256];
    GetWindowTextA(dlg, text, sizeof text);
    EXPECT_STREQ(text, "Quorvel SID Replacement Service");
    EXPECT_TRUE(IsWindowVisible(dlg)) << "the status window's template is visible";
    GetDlgItemTextA(dlg, IDCANCEL, text, sizeof text);
    EXPECT_STREQ(text, "&Abort");
    GetDlgItemTextA(dlg, IDC_STATUS_HEADING, text, sizeof text);
    EXPECT_STREQ(text, "Status:");
    DWORD style = (DWORD)GetWindowLongA(dlg, GWL_STYLE);
    EXPECT_EQ(style & (WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX),
              (DWORD)(WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX));
    EXPECT_TRUE(GetWindowLongA(GetDlgItem(dlg, IDC_STATUS_DETAIL), GWL_STYLE) & ES_READONLY);
    EXPECT_EQ(GetDlgCtrlID(GetDlgItem(dlg, IDC_STATUS_DETAIL)), IDC_STATUS_DETAIL);
    // Short buffers are cut and terminated.
    char small[4];
    EXPECT_EQ(GetDlgItemTextA(dlg, IDC_STATUS_HEADING, small, sizeof small), 3u);
    EXPECT_STREQ(small, "Sta");
    EXPECT_TRUE(DestroyWindow(dlg));
    EXPECT_FALSE(IsWindow(dlg));
}

TEST_F(Dialogs, RadioButtonsAndCheckBoxesFollowTheirGroup) {
    HWND sheetless = CreateDialogParamA(instance_, MAKEINTRESOURCE(IDD_ABOUTBOX), nullptr, nullptr, 0);
    ASSERT_NE(sheetless, nullptr);
    // The options page is a child template: it needs a parent.
    SetLastError(0);
    EXPECT_EQ(CreateDialogParamA(instance_, MAKEINTRESOURCE(IDD_OPTIONS), nullptr, nullptr, 0), nullptr);
    HWND page = CreateDialogParamA(instance_, MAKEINTRESOURCE(IDD_OPTIONS), sheetless, nullptr, 0);
    ASSERT_NE(page, nullptr);
    CheckRadioButton(page, IDC_RUN_NOW, IDC_RUN_NEXTBOOT, IDC_RUN_NOW);
    EXPECT_EQ(IsDlgButtonChecked(page, IDC_RUN_NOW), (UINT)BST_CHECKED);
    SendDlgItemMessageA(page, IDC_RUN_NEXTBOOT, BM_CLICK, 0, 0);
    EXPECT_EQ(IsDlgButtonChecked(page, IDC_RUN_NOW), (UINT)BST_UNCHECKED) << "a click unchecks the group's others";
    EXPECT_EQ(IsDlgButtonChecked(page, IDC_RUN_NEXTBOOT), (UINT)BST_CHECKED);
    SendDlgItemMessageA(page, IDC_USELOG, BM_CLICK, 0, 0);
    EXPECT_EQ(IsDlgButtonChecked(page, IDC_USELOG), (UINT)BST_CHECKED);
    SendDlgItemMessageA(page, IDC_USELOG, BM_CLICK, 0, 0);
    EXPECT_EQ(IsDlgButtonChecked(page, IDC_USELOG), (UINT)BST_UNCHECKED);
    CheckDlgButton(page, IDC_PROCESSFS, BST_CHECKED);
    EXPECT_EQ(IsDlgButtonChecked(page, IDC_PROCESSFS), (UINT)BST_CHECKED);
    EXPECT_TRUE(IsDlgButtonChecked(page, IDC_USESYSPREP) == BST_UNCHECKED);
    // Enabled state.
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(page, IDC_LOGNAME)));
    EXPECT_FALSE(EnableWindow(GetDlgItem(page, IDC_LOGNAME), FALSE)) << "was enabled";
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(page, IDC_LOGNAME)));
    EXPECT_TRUE(EnableWindow(GetDlgItem(page, IDC_LOGNAME), TRUE)) << "was disabled";
    DestroyWindow(sheetless);
    EXPECT_FALSE(IsWindow(page)) << "children go with their parent";
}

namespace {

std::vector<std::pair<int, int>> g_focusEvents;  // (control id, notification)

INT_PTR CALLBACK FocusProc(HWND, UINT msg, WPARAM wParam, LPARAM) {
    if (msg == WM_COMMAND) {
        WORD code = HIWORD(wParam);
        if (code == EN_SETFOCUS || code == EN_KILLFOCUS || code == BN_SETFOCUS || code == BN_KILLFOCUS)
            g_focusEvents.emplace_back(LOWORD(wParam), code);
    }
    return msg == WM_INITDIALOG;
}

}  // namespace

TEST_F(Dialogs, FocusNotificationsComeFromEditsAndNotifyingButtonsOnly) {
    HWND owner = CreateDialogParamA(instance_, MAKEINTRESOURCE(IDD_ABOUTBOX), nullptr, nullptr, 0);
    HWND page = CreateDialogParamA(instance_, MAKEINTRESOURCE(IDD_OPTIONS), owner, FocusProc, 0);
    ASSERT_NE(page, nullptr);
    // The page template is disabled (a property sheet enables its pages): nothing took the focus.
    EXPECT_EQ(GetFocus(), nullptr);
    EXPECT_EQ(SetFocus(GetDlgItem(page, IDC_NEWNAME)), nullptr);
    EXPECT_TRUE(g_focusEvents.empty());
    EnableWindow(page, TRUE);
    SetFocus(GetDlgItem(page, IDC_NEWNAME));
    ASSERT_EQ(g_focusEvents.size(), 1u);
    EXPECT_EQ(g_focusEvents.back(), std::make_pair(IDC_NEWNAME, (int)EN_SETFOCUS));
    g_focusEvents.clear();
    SetFocus(GetDlgItem(page, IDC_NEWNAME));
    SetFocus(GetDlgItem(page, IDC_USELOG));
    SetFocus(GetDlgItem(page, IDC_PROCESSFS));  // no BS_NOTIFY: silent
    SetFocus(GetDlgItem(page, IDC_LOGNAME));
    std::vector<std::pair<int, int>> expected = {{IDC_NEWNAME, EN_KILLFOCUS},
                                                 {IDC_USELOG, BN_SETFOCUS},
                                                 {IDC_USELOG, BN_KILLFOCUS},
                                                 {IDC_LOGNAME, EN_SETFOCUS}};
    EXPECT_EQ(g_focusEvents, expected);
    EXPECT_EQ(GetFocus(), GetDlgItem(page, IDC_LOGNAME));
    // A click moves the focus first, as a mouse click does.
    g_focusEvents.clear();
    SendDlgItemMessageA(page, IDC_VERBOSE, BM_CLICK, 0, 0);
    ASSERT_GE(g_focusEvents.size(), 2u);
    EXPECT_EQ(g_focusEvents[0], std::make_pair(IDC_LOGNAME, (int)EN_KILLFOCUS));
    EXPECT_EQ(g_focusEvents[1], std::make_pair(IDC_VERBOSE, (int)BN_SETFOCUS));
    // A disabled control cannot take the focus.
    EnableWindow(GetDlgItem(page, IDC_NEWNAME), FALSE);
    EXPECT_EQ(SetFocus(GetDlgItem(page, IDC_NEWNAME)), nullptr);
    DestroyWindow(owner);
}

// ---- a dialog and a worker thread talking through messages ----

namespace {

const UINT kAskName = 0x8522;
std::atomic<int> g_workerStep{0};
HWND g_workerWindow = nullptr;
std::atomic<int> g_pingedBack{0};

LRESULT CALLBACK WorkerWndProc(HWND h, UINT msg, WPARAM w, LPARAM l) {
    if (msg == WM_USER + 7) {
        g_pingedBack++;
        return 77;
    }
    return DefWindowProcA(h, msg, w, l);
}

struct WorkerArgs {
    HWND dialog;
    int flag = 0;
    NameRequest request;
    LRESULT setText = 0, ask = 0;
};

DWORD WINAPI Worker(LPVOID p) {
    WorkerArgs* a = (WorkerArgs*)p;
    WNDCLASSA wc{};
    wc.lpfnWndProc = WorkerWndProc;
    wc.lpszClassName = "WorkerWindow";
    RegisterClassA(&wc);
    g_workerWindow = CreateWindowExA(0, "WorkerWindow", "", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    a->setText = SendMessageA(GetDlgItem(a->dialog, IDC_STATUS_DETAIL), WM_SETTEXT, 0, (LPARAM) "Reading Current SID...");
    SetDlgItemTextA(a->dialog, IDC_STATUS_HEADING, "Stage 1: Initializing");
    g_workerStep = 1;
    a->ask = SendMessageA(a->dialog, kAskName, (WPARAM)&a->flag, (LPARAM)&a->request);
    g_workerStep = 2;
    EndDialog(a->dialog, 0);
    DestroyWindow(g_workerWindow);
    return 5;
}

INT_PTR CALLBACK StatusProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_INITDIALOG: {
        WorkerArgs* a = (WorkerArgs*)lParam;
        SetWindowLongPtrA(dlg, DWLP_USER, lParam);
        a->dialog = dlg;
        SetDlgItemTextA(dlg, IDC_STATUS_DETAIL, "Initializing...");
        HANDLE t = CreateThread(nullptr, 0, Worker, a, 0, nullptr);
        CloseHandle(t);
        return TRUE;
    }
    case kAskName: {
        // While the worker waits in SendMessageA, this thread sends to the worker's window:
        // the worker handles it inside its own wait.
        g_pingedBack += SendMessageA(g_workerWindow, WM_USER + 7, 0, 0) == 77 ? 10 : 0;
        INT_PTR r = DialogBoxParamA((HINSTANCE)1, MAKEINTRESOURCE(IDD_NEWNAME), dlg, NewNameProc, lParam);
        if (r == 1) *(int*)wParam = 1;
        SetWindowLongPtrA(dlg, DWLP_MSGRESULT, 1);
        return TRUE;
    }
    }
    return FALSE;
}

}  // namespace

TEST_F(Dialogs, WorkerThreadSendsToTheDialogAndWaitsForTheNestedDialog) {
    Script("wait for \"Quorvel Tessiv Utility\"\n"
           "type 1045 \"renamed\"\n"
           "press OK\n");
    WorkerArgs args;
    g_workerStep = 0;
    g_pingedBack = 0;
    INT_PTR r = DialogBoxParamA(instance_, MAKEINTRESOURCE(IDD_STATUS), nullptr, StatusProc, (LPARAM)&args);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(g_workerStep.load(), 2);
    EXPECT_EQ(args.setText, TRUE);
    EXPECT_EQ(args.ask, 1);
    EXPECT_EQ(args.flag, 1);
    EXPECT_STREQ(args.request.name, "RENAMED");
    EXPECT_EQ(g_pingedBack.load(), 11);
    EXPECT_TRUE(InOrder({"shown: dialog 146 \"Quorvel SID Replacement Service\"",
                         "text \"Quorvel SID Replacement Service\" control 1036: \"Reading Current SID...\"",
                         "text \"Quorvel SID Replacement Service\" control 1037: \"Stage 1: Initializing\"",
                         "shown: dialog 154", "closed: dialog 154 \"Quorvel Tessiv Utility\" with 1",
                         "closed: dialog 146 \"Quorvel SID Replacement Service\" with 0"}));
}

TEST_F(Dialogs, SendingToTheWindowOfAnEndedThreadReturnsAtOnce) {
    HWND* made = new HWND(nullptr);
    HANDLE t = CreateThread(nullptr, 0, [](LPVOID p) -> DWORD {
        *(HWND*)p = CreateWindowExA(0, "Static", "orphan", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
        return 0;
    }, made, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(t, 5000), (DWORD)WAIT_OBJECT_0);
    CloseHandle(t);
    ASSERT_NE(*made, nullptr);
    EXPECT_EQ(SendMessageA(*made, WM_USER, 0, 0), 0);
    delete made;
}
