// Log and status output: LogLine, StatusLine, ReportError, the program's message
// boxes, CreatePathDirectories, and opening and closing the log.
#include "core/output.h"

#include <cstring>

FILE* logStream = nullptr;
HWND currentDialog = nullptr;
HWND detailControl = nullptr;
BOOL serviceMode = FALSE;
std::atomic<int> unbrokenSteps{0};

const char* const kMessageCaption = "Quorvel Tessiv Service";

namespace {

// The latest progress line, handed from the worker to the status window's thread. Either
// holds it only to copy a line; the worker inside an UnbrokenStep, so that an abort never
// suspends it there. The window's timer waits a little for a worker that writes lines
// back to back, and otherwise tries again at its next tick.
std::atomic<bool> progressHeld{false};
char progressText[1400];
bool progressFresh = false;  // a line came since the last one shown

void HoldProgress() {
    while (progressHeld.exchange(true, std::memory_order_acquire)) Sleep(0);
}

void ReleaseProgress() { progressHeld.store(false, std::memory_order_release); }

void WriteLine(const char* text, FILE* log) {
    UnbrokenStep step;
    fprintf(log, "%s\n", text);
    fflush(log);
}

}  // namespace

void LogLine(const char* text, FILE* log) {
    if (!text) text = "";
    if (log) WriteLine(text, log);
    if (detailControl) {
        {
            // A progress line from before this one must not replace it at the next tick.
            UnbrokenStep step;
            HoldProgress();
            progressFresh = false;
            ReleaseProgress();
        }
        SendMessageA(detailControl, WM_SETTEXT, 0, (LPARAM)text);
    }
}

void ProgressLine(const char* text, FILE* log) {
    if (!text) text = "";
    if (log) WriteLine(text, log);
    if (!detailControl) return;
    UnbrokenStep step;
    HoldProgress();
    size_t length = strnlen(text, sizeof progressText - 1);
    memcpy(progressText, text, length);
    progressText[length] = 0;
    progressFresh = true;
    ReleaseProgress();
}

void ShowLatestProgressLine() {
    for (int tries = 0; progressHeld.exchange(true, std::memory_order_acquire); ++tries) {
        if (tries == 1000) return;
        Sleep(0);
    }
    char text[sizeof progressText];
    bool fresh = progressFresh;
    if (fresh) memcpy(text, progressText, sizeof text);
    progressFresh = false;
    ReleaseProgress();
    if (fresh && detailControl) SendMessageA(detailControl, WM_SETTEXT, 0, (LPARAM)text);
}

void StatusLine(const char* text, FILE* log) {
    if (!text) text = "";
    if (log) {
        UnbrokenStep step;
        fprintf(log, "\n%s\n", text);
        fflush(log);
    }
    if (currentDialog) {
        SetDlgItemTextA(currentDialog, kStageHeadingControl, text);
        UpdateWindow(currentDialog);
    }
}

void ReportError(const char* text, FILE* log) {
    if (!text) text = "";
    // Not flushed: the next progress line or the close writes it out.
    if (log) {
        UnbrokenStep step;
        fprintf(log, "\n%s\n", text);
    }
    MessageBoxA(nullptr, text, kMessageCaption, MB_ICONHAND | (serviceMode ? MB_SERVICE_NOTIFICATION : 0));
}

int ShowAppMessage(HWND owner, const char* text, UINT style) {
    // From the service a box must reach the interactive desktop: no owner window there.
    if (serviceMode) {
        owner = nullptr;
        style |= MB_SERVICE_NOTIFICATION;
    }
    return MessageBoxA(owner, text ? text : "", kMessageCaption, style);
}

int ShowAppMessageId(HWND owner, UINT stringId, UINT style) {
    char text[1024];
    text[0] = 0;
    LoadStringA(GetModuleHandleA(nullptr), stringId, text, sizeof text);
    return ShowAppMessage(owner, text, style);
}

int CreatePathDirectories(const char* path) {
    if (!path) return 0;
    char copy[MAX_PATH];
    size_t length = strlen(path);
    size_t start = 0;
    if (length > 2 && path[0] == '"') {
        // Quoted: drop the first and the last character.
        start = 1;
        length -= 2;
    }
    if (length >= sizeof copy) return 0;  // longer than any path the program handles
    memcpy(copy, path + start, length);
    copy[length] = 0;

    size_t i = 1;  // a backslash at the very first position is not a directory
    if (copy[0] == '\\' && copy[1] == '\\') {
        // UNC: skip the server and the share; each must be followed by a backslash.
        const char* server = strchr(copy + 2, '\\');
        if (!server) return 0;
        const char* share = strchr(server + 1, '\\');
        if (!share) return 0;
        i = (size_t)(share - copy) + 1;
    }
    for (; i < length; ++i) {
        if (copy[i] != '\\') continue;
        char saved = copy[i + 1];
        copy[i + 1] = 0;  // the prefix up to and including this backslash
        size_t n = i + 1;
        bool driveRoot = n > 2 && copy[n - 2] == ':';
        if (!driveRoot && !CreateDirectoryA(copy, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            copy[i + 1] = saved;
            return 0;
        }
        copy[i + 1] = saved;
    }
    return 1;
}

int OpenLogFile(char* logFileName, const char* mode) {
    if (logStream) return 1;
    CreatePathDirectories(logFileName);
    logStream = fopen(logFileName, mode);
    if (logStream) return 1;
    snprintf(logFileName, MAX_PATH, "%s", kDefaultLogFileName);
    CreatePathDirectories(logFileName);
    logStream = fopen(logFileName, mode);
    ReportError("WARNING: Unable to open log file name specified\n\nUsing default log file name instead", logStream);
    return logStream != nullptr;
}

void CloseLogFile() {
    // A failed fclose has still released the stream: it is forgotten either way,
    // since touching it again would use freed memory.
    if (logStream) fclose(logStream);
    logStream = nullptr;
}
