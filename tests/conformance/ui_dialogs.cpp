// Dialogs from the program's templates: control texts and styles, radio groups,
// focus notifications, and a worker thread that sends to a modal dialog.
#include <cstring>
#include <vector>

#include "conformance/ui_common.h"

namespace {

std::vector<int> g_focus;  // control id * 0x10000 + notification

INT_PTR CALLBACK RecordFocus(HWND, UINT msg, WPARAM wParam, LPARAM) {
    if (msg == WM_COMMAND) {
        WORD code = HIWORD(wParam);
        if (code == EN_SETFOCUS || code == EN_KILLFOCUS || code == BN_SETFOCUS || code == BN_KILLFOCUS)
            g_focus.push_back(LOWORD(wParam) * 0x10000 + code);
    }
    return msg == WM_INITDIALOG;
}

}  // namespace

CONFORMANCE_TEST(ui_template_controls) {
    HWND dlg = CreateDialogParamA(UiInstance(), MAKEINTRESOURCE(IDD_STATUS), nullptr, nullptr, 0);
    ok(dlg != nullptr, "status window created: error %lu", (unsigned long)GetLastError());
    if (!dlg) return;
    char text[256] = "";
    GetWindowTextA(dlg, text, sizeof text);
    ok(strcmp(text, "Quorvel SID Replacement Service") == 0, "caption \"%s\"", text);
    ok(IsWindowVisible(dlg), "visible from its template");
    GetDlgItemTextA(dlg, IDCANCEL, text, sizeof text);
    ok(strcmp(text, "&Abort") == 0, "abort text \"%s\"", text);
    UINT n = GetDlgItemTextA(dlg, IDC_STATUS_HEADING, text, 4);
    ok(n == 3 && strcmp(text, "Sta") == 0, "cut heading %u \"%s\"", n, text);
    LONG style = GetWindowLongA(GetDlgItem(dlg, IDC_STATUS_DETAIL), GWL_STYLE);
    ok((style & ES_READONLY) != 0, "detail read-only: %08lx", (unsigned long)style);
    ok(GetDlgCtrlID(GetDlgItem(dlg, IDC_STATUS_DETAIL)) == IDC_STATUS_DETAIL, "control id");
    SetLastError(0xdeadbeef);
    ok(GetDlgItem(dlg, 4711) == nullptr, "no control 4711");
    ok(DestroyWindow(dlg), "destroyed");
    ok(!IsWindow(dlg), "gone");
}

CONFORMANCE_TEST(ui_radio_check_and_focus) {
    HWND owner = CreateDialogParamA(UiInstance(), MAKEINTRESOURCE(IDD_ABOUTBOX), nullptr, nullptr, 0);
    ok(owner != nullptr, "owner created");
    if (!owner) return;
    ShowWindow(owner, SW_SHOW);
    HWND page = CreateDialogParamA(UiInstance(), MAKEINTRESOURCE(IDD_OPTIONS), owner, RecordFocus, 0);
    ok(page != nullptr, "page created: error %lu", (unsigned long)GetLastError());
    if (!page) {
        DestroyWindow(owner);
        return;
    }
    // The page templates are disabled until a property sheet takes them.
    EnableWindow(page, TRUE);
    ShowWindow(page, SW_SHOW);
    CheckRadioButton(page, IDC_RUN_NOW, IDC_RUN_NEXTBOOT, IDC_RUN_NOW);
    SendDlgItemMessageA(page, IDC_RUN_NEXTBOOT, BM_CLICK, 0, 0);
    ok(IsDlgButtonChecked(page, IDC_RUN_NOW) == BST_UNCHECKED, "a click clears the group's other radio button");
    ok(IsDlgButtonChecked(page, IDC_RUN_NEXTBOOT) == BST_CHECKED, "the clicked radio button is selected");
    SendDlgItemMessageA(page, IDC_USELOG, BM_CLICK, 0, 0);
    ok(IsDlgButtonChecked(page, IDC_USELOG) == BST_CHECKED, "check box toggled on");
    SendDlgItemMessageA(page, IDC_USELOG, BM_CLICK, 0, 0);
    ok(IsDlgButtonChecked(page, IDC_USELOG) == BST_UNCHECKED, "check box toggled off");

    SetFocus(GetDlgItem(page, IDC_LOGNAME));
    g_focus.clear();
    SetFocus(GetDlgItem(page, IDC_NEWNAME));
    SetFocus(GetDlgItem(page, IDC_USELOG));
    SetFocus(GetDlgItem(page, IDC_PROCESSFS));  // no BS_NOTIFY: no notification
    SetFocus(GetDlgItem(page, IDC_LOGNAME));
    std::vector<int> expected = {IDC_LOGNAME * 0x10000 + EN_KILLFOCUS, IDC_NEWNAME * 0x10000 + EN_SETFOCUS,
                                 IDC_NEWNAME * 0x10000 + EN_KILLFOCUS, IDC_USELOG * 0x10000 + BN_SETFOCUS,
                                 IDC_USELOG * 0x10000 + BN_KILLFOCUS, IDC_LOGNAME * 0x10000 + EN_SETFOCUS};
    ok(g_focus == expected, "focus notifications: %d recorded, %d expected", (int)g_focus.size(), (int)expected.size());
    for (size_t i = 0; i < g_focus.size() && i < expected.size(); ++i)
        ok(g_focus[i] == expected[i], "notification %d: %08x, expected %08x", (int)i, g_focus[i], expected[i]);
    ok(GetFocus() == GetDlgItem(page, IDC_LOGNAME), "focus on the log name");
    EnableWindow(GetDlgItem(page, IDC_NEWNAME), FALSE);
    SetFocus(GetDlgItem(page, IDC_NEWNAME));
    ok(GetFocus() == GetDlgItem(page, IDC_LOGNAME), "a disabled edit does not take the focus");
    DestroyWindow(owner);
    ok(!IsWindow(page), "the page went with its owner");
}

namespace {

const UINT kAskName = 0x8522;
HWND g_workerWindow = nullptr;
LONG g_pings = 0;

LRESULT CALLBACK WorkerWndProc(HWND h, UINT msg, WPARAM w, LPARAM l) {
    if (msg == WM_USER + 7) {
        ++g_pings;
        return 77;
    }
    return DefWindowProcA(h, msg, w, l);
}

struct Exchange {
    HWND dialog = nullptr;
    int flag = 0;
    char name[64] = "";
    LRESULT setText = 0, asked = 0, pingAnswer = 0;
    BOOL ended = FALSE;
    HANDLE thread = nullptr;
};

DWORD WINAPI Worker(LPVOID p) {
    Exchange* x = (Exchange*)p;
    WNDCLASSA wc{};
    wc.lpfnWndProc = WorkerWndProc;
    wc.hInstance = UiInstance();
    wc.lpszClassName = "ConformanceWorker";
    RegisterClassA(&wc);
    g_workerWindow = CreateWindowExA(0, "ConformanceWorker", "", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                                     UiInstance(), nullptr);
    x->setText = SendMessageA(GetDlgItem(x->dialog, IDC_STATUS_DETAIL), WM_SETTEXT, 0, (LPARAM) "Reading Current SID...");
    x->asked = SendMessageA(x->dialog, kAskName, (WPARAM)&x->flag, (LPARAM)x->name);
    x->ended = EndDialog(x->dialog, 0);
    DestroyWindow(g_workerWindow);
    return 0;
}

INT_PTR CALLBACK NameProc(HWND dlg, UINT msg, WPARAM, LPARAM lParam) {
    switch (msg) {
    case WM_INITDIALOG:
        SetWindowLongPtrA(dlg, DWLP_USER, lParam);
        SetTimer(dlg, 1, 30, nullptr);
        return TRUE;
    case WM_TIMER:
        KillTimer(dlg, 1);
        SetDlgItemTextA(dlg, IDC_ASKNAME, "renamed");
        GetDlgItemTextA(dlg, IDC_ASKNAME, (char*)GetWindowLongPtrA(dlg, DWLP_USER), 64);
        EndDialog(dlg, 1);
        return TRUE;
    }
    return FALSE;
}

INT_PTR CALLBACK StatusProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam) {
    Exchange* x = (Exchange*)GetWindowLongPtrA(dlg, DWLP_USER);
    switch (msg) {
    case WM_INITDIALOG:
        SetWindowLongPtrA(dlg, DWLP_USER, lParam);
        x = (Exchange*)lParam;
        x->dialog = dlg;
        x->thread = CreateThread(nullptr, 0, Worker, x, 0, nullptr);
        return TRUE;
    case kAskName:
        // The worker waits in SendMessageA; it still handles what this thread sends it.
        x->pingAnswer = SendMessageA(g_workerWindow, WM_USER + 7, 0, 0);
        if (DialogBoxParamA(UiInstance(), MAKEINTRESOURCE(IDD_NEWNAME), dlg, NameProc, lParam) == 1) *(int*)wParam = 1;
        SetWindowLongPtrA(dlg, DWLP_MSGRESULT, 1);
        return TRUE;
    }
    return FALSE;
}

}  // namespace

CONFORMANCE_TEST(ui_cross_thread_send_to_modal_dialog) {
    Exchange x;
    INT_PTR r = DialogBoxParamA(UiInstance(), MAKEINTRESOURCE(IDD_STATUS), nullptr, StatusProc, (LPARAM)&x);
    ok(r == 0, "ended by the worker with 0, got %ld", (long)r);
    if (x.thread) {
        ok(WaitForSingleObject(x.thread, 5000) == WAIT_OBJECT_0, "worker ended");
        CloseHandle(x.thread);
    }
    ok(x.setText == TRUE, "WM_SETTEXT from the worker returned %ld", (long)x.setText);
    ok(x.asked == 1, "the sent message returned the dialog's result: %ld", (long)x.asked);
    ok(x.flag == 1, "the nested dialog's OK came back");
    ok(strcmp(x.name, "RENAMED") == 0, "upper-case edit: \"%s\"", x.name);
    ok(x.pingAnswer == 77 && g_pings == 1, "the waiting sender handled a message sent to it: %ld", (long)x.pingAnswer);
    ok(x.ended, "EndDialog from the worker thread");
}

namespace {

LRESULT CALLBACK Subclassed(HWND h, UINT msg, WPARAM w, LPARAM l);
WNDPROC g_previous = nullptr;
int g_subclassSeen = 0;

LRESULT CALLBACK Subclassed(HWND h, UINT msg, WPARAM w, LPARAM l) {
    if (msg == WM_USER + 9) {
        ++g_subclassSeen;
        return 9;
    }
    return CallWindowProcA(g_previous, h, msg, w, l);
}

}  // namespace

CONFORMANCE_TEST(ui_replaced_window_procedure) {
    HWND dlg = CreateDialogParamA(UiInstance(), MAKEINTRESOURCE(IDD_ABOUTBOX), nullptr, nullptr, 0);
    ok(dlg != nullptr, "dialog created");
    if (!dlg) return;
    g_previous = (WNDPROC)SetWindowLongPtrA(dlg, GWLP_WNDPROC, (LONG_PTR)Subclassed);
    ok(g_previous != nullptr, "previous procedure returned");
    ok(SendMessageA(dlg, WM_USER + 9, 0, 0) == 9, "the new procedure answers");
    SetWindowTextA(dlg, "Renamed");
    char text[32] = "";
    GetWindowTextA(dlg, text, sizeof text);
    ok(strcmp(text, "Renamed") == 0, "other messages reach the previous procedure: \"%s\"", text);
    LONG ex = GetWindowLongA(dlg, GWL_EXSTYLE);
    SetWindowLongA(dlg, GWL_EXSTYLE, ex | WS_EX_CONTEXTHELP);
    ok((GetWindowLongA(dlg, GWL_EXSTYLE) & WS_EX_CONTEXTHELP) != 0, "extended style set");
    HMENU menu = GetSystemMenu(dlg, FALSE);
    ok(menu != nullptr, "system menu");
    ok(AppendMenuA(menu, MF_STRING, IDM_ABOUTBOX, "&About Tessiv..."), "command appended");
    ok(EnableMenuItem(menu, IDM_ABOUTBOX, MF_BYCOMMAND | MF_GRAYED) == MF_ENABLED, "was enabled");
    ok(EnableMenuItem(menu, IDM_ABOUTBOX, MF_BYCOMMAND | MF_ENABLED) == MF_GRAYED, "was grayed");
    ok(EnableMenuItem(menu, 4242, MF_BYCOMMAND | MF_GRAYED) == -1, "missing item gives -1");
    DestroyWindow(dlg);
}
