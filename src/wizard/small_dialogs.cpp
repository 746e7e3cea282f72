// The About box and the New Computer Name dialog.
#include "wizard/small_dialogs.h"

#include <cstdio>

#include "core/output.h"
#include "identity/computer_name.h"
#include "wizard/resource.h"

const char* const kAboutVersionFormat = "Quorvel Tessiv Utility\nVersion %u.%u.%u";

namespace {

const int kRequestNameSize = 64;

void SetProgramIcon(HWND dialog) {
    HICON icon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_TESSIV));
    SendMessageA(dialog, WM_SETICON, ICON_BIG, (LPARAM)icon);
    SendMessageA(dialog, WM_SETICON, ICON_SMALL, (LPARAM)icon);
}

}  // namespace

INT_PTR CALLBACK AboutBoxProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG: {
            char text[128];
            snprintf(text, sizeof text, kAboutVersionFormat, kVersionMajor, kVersionMinor, kVersionBuild);
            SetDlgItemTextA(dialog, IDC_ABOUT_VERSION, text);
            return TRUE;
        }
        case WM_COMMAND:
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0) == SC_CLOSE) {
                EndDialog(dialog, IDOK);
                return TRUE;
            }
            return FALSE;
    }
    return FALSE;
}

INT_PTR CALLBACK NewComputerNameProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    NewNameRequest* request = newNameRequest;
    if (!request) return FALSE;
    switch (message) {
        case WM_INITDIALOG: {
            request->dialog = dialog;
            SetProgramIcon(dialog);
            DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
            request->name[0] = 0;
            if (!GetComputerNameA(request->name, &size)) request->name[0] = 0;
            // The edit takes what the request holds; a name a computer cannot have is
            // refused at OK with the reason, rather than cut without a word.
            SendDlgItemMessageA(dialog, IDC_ASKNAME, EM_LIMITTEXT, kRequestNameSize - 1, 0);
            SetDlgItemTextA(dialog, IDC_ASKNAME, request->name);
            return TRUE;
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == IDCANCEL) {
                EndDialog(dialog, IDCANCEL);
                return TRUE;
            }
            if (LOWORD(wParam) == IDOK) {
                GetDlgItemTextA(dialog, IDC_ASKNAME, request->name, kRequestNameSize);
                if (!request->name[0]) return TRUE;  // an empty name keeps the dialog open
                char why[160];
                if (!CheckComputerName(request->name, why, sizeof why)) {
                    ShowAppMessage(dialog, why, MB_OK | MB_ICONEXCLAMATION);
                    SetFocus(GetDlgItem(dialog, IDC_ASKNAME));
                    return TRUE;
                }
                EndDialog(dialog, IDOK);
                return TRUE;
            }
            return FALSE;
        case WM_DESTROY:
            request->dialog = nullptr;
            return FALSE;
    }
    return FALSE;
}

INT_PTR ShowAboutBox(HWND owner) {
    return DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_ABOUTBOX), owner, AboutBoxProc, 0);
}

INT_PTR ShowNewComputerName(HWND owner) {
    return DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_NEWNAME), owner, NewComputerNameProc, 0);
}
