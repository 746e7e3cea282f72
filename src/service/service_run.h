// The service run: the dispatcher thread, the service main function and its control
// handler with the status reports, the hidden service window, the desktop switch, the
// status window, the worker that runs the job, and the abort with its restore.
#pragma once
#include "nt/win32.h"

extern HWND serviceWindow;  // the hidden window of the service main thread, or none
// The New Computer Name dialog over the request under way (newNameRequest), given by the
// start-up since the dialogs live in the layer above: ends with IDOK or IDCANCEL.
extern INT_PTR (*newNameDialog)(HWND owner);

DWORD WINAPI ServiceDispatcherThread(LPVOID);
void WINAPI ServiceMainEntry(DWORD argc, LPSTR* argv);
void WINAPI ServiceControlHandler(DWORD control);
// Non-zero on success (also when nothing was sent), 0 when the system refused the report.
BOOL ReportServiceStatus(DWORD state, DWORD exitCode, DWORD waitHint);

// 1 on "WinSta0" and "Default", else 0; records the present station and desktop.
int IsOnInteractiveDesktop();
// 0 already there, 1 switched, -1 failed (written to the event log).
int SwitchToInteractiveDesktop();
BOOL RestoreOriginalDesktop();

// The status window's dialog procedure (dialog 146).
INT_PTR CALLBACK StatusWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// 1 when the run was ended and restored, 0 when the operator chose not to abort.
int AbortAndRestore(int userRequested);
// The worker thread: the stage driver, then the restart after a successful run.
DWORD WINAPI RunWorker(LPVOID);
// The service started without stored settings (a clean-up cut off after it removed them,
// or settings removed by hand): nobody asked for a job, so it runs none; it writes why to
// the event log and removes its entry.
void RemoveServiceWithoutJob();
// Hands the stage driver the calls it needs from this layer.
void ConnectJobCallbacks();
