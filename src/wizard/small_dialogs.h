// The two small modal dialogs: the About box and the New Computer Name dialog that the
// running job opens through the status window.
#pragma once
#include "nt/win32.h"

// The About box's version text: "Quorvel Tessiv Utility\nVersion 1.2.22".
extern const char* const kAboutVersionFormat;
const unsigned kVersionMajor = 1, kVersionMinor = 2, kVersionBuild = 22;

// Dialog 100; any command ends it with the command's id, Close with 1.
INT_PTR CALLBACK AboutBoxProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// Dialog 154 over the request that newNameRequest points at (nothing without one): ends with
// 1 (OK with a name, kept in the request) or 2 (Cancel).
INT_PTR CALLBACK NewComputerNameProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Shows the About box owned by the wizard sheet.
INT_PTR ShowAboutBox(HWND owner);
// Shows the New Computer Name dialog owned by the top dialog.
INT_PTR ShowNewComputerName(HWND owner);
