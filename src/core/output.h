// Log and status output: progress lines, stage headings, error reports, the
// program's message boxes, and the directories on the way to an output file.
#pragma once
#include <atomic>
#include <cstdio>

#include "nt/win32.h"

// Process-wide output state (one each per process).
extern FILE* logStream;       // the open log file, or none
extern HWND currentDialog;    // the top dialog: the wizard sheet, later the status window
extern HWND detailControl;    // the status window's edit control 1036, or none
extern BOOL serviceMode;      // the process runs as the service

extern const char* const kMessageCaption;  // "Quorvel Tessiv Service"
const int kStageHeadingControl = 1037;
const int kDetailControl = 1036;
const char* const kDefaultLogFileName = "c:\\tessiv.log";

// Steps the worker must not be stopped in the middle of: a line half written to the log
// (the stream would stay locked for every later writer) or a file rewritten but not yet
// recorded for the restore. The operator's abort stops the worker only between them.
extern std::atomic<int> unbrokenSteps;
struct UnbrokenStep {
    UnbrokenStep() { ++unbrokenSteps; }
    ~UnbrokenStep() { --unbrokenSteps; }
    UnbrokenStep(const UnbrokenStep&) = delete;
    UnbrokenStep& operator=(const UnbrokenStep&) = delete;
};

// "%s\n" to the log (flushed) when one is given; the text to the detail control in every case.
void LogLine(const char* text, FILE* log);
// "\n%s\n" to the log (flushed); the text as the status window's heading, repainted at once.
void StatusLine(const char* text, FILE* log);

// A line of a long walk (the folder or key it is at): "%s\n" to the log (flushed) when one
// is given, as LogLine; to the detail control only through the status window's timer, which
// shows the latest such line every kProgressInterval ms. The walk never waits for the
// window, and the window gets a few texts a second, however fast the lines come. A later
// LogLine replaces a line not yet shown.
void ProgressLine(const char* text, FILE* log);
// The status window's timer: the latest progress line, if one came since the last shown,
// into the detail control. Called on the window's thread.
void ShowLatestProgressLine();
const UINT kProgressInterval = 200;  // ms
const UINT_PTR kProgressTimer = 1;
// "\n%s\n" to the log (not flushed); then an error box. Returns when the box is closed.
void ReportError(const char* text, FILE* log);

// A message box with the program's caption; in the service it has no owner and the
// service-notification style. Returns the button pressed.
int ShowAppMessage(HWND owner, const char* text, UINT style);
// The same with a text from the string table (up to 1024 characters).
int ShowAppMessageId(HWND owner, UINT stringId, UINT style);

// Creates every directory on the way to the file named by path (not the file itself).
// A quoted path loses its quotes; a UNC path starts below its share. 1 or 0.
int CreatePathDirectories(const char* path);

// Opens the log named by *logFileName (a buffer of MAX_PATH) with mode "wt" or "a+t"
// unless one is open; falls back to "c:\tessiv.log" with a warning. 1 when a log is open.
int OpenLogFile(char* logFileName, const char* mode);
// Closes the log and forgets it (a failed close has released the stream too).
void CloseLogFile();
