// The restart at the end of a run, with the handling of a Novell logon screen: a thread
// on the logon desktop allows shutting down without logging on, closes a screen saver,
// calls up the "Novell Login" window and operates it with keystrokes, while the restart
// request follows after at most 30 seconds.
#pragma once
#include <map>
#include <string>

#include "nt/win32.h"

// Restarts the computer: the logon screen first (waited for at most logonScreenWaitMs),
// then NtShutdownSystem on version class 8, InitiateSystemShutdownA with the message and
// timeout otherwise.
void RestartComputer(const char* message, DWORD timeoutSeconds);

// How long the restart waits for the logon-screen thread (30 seconds).
extern DWORD logonScreenWaitMs;

// True when the Novell logon component shows the logon screen and nobody is logged on.
bool NeedsLogonScreenHandling();
// Operates the Novell logon window on the calling thread's (logon) desktop. True.
bool RestartThroughLogonWindow();

// Top-level windows by handle (as an unsigned number), with their titles; only the
// logon-screen thread uses it.
extern std::map<UINT_PTR, std::string> WindowTitleMap;
BOOL CALLBACK RecordWindowTitle(HWND window, LPARAM);
BOOL CALLBACK CloseVisibleWindow(HWND window, LPARAM);
