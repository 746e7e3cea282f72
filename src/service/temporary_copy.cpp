// The temporary copy that removes the program file at the end of the clean-up run.
#include "service/temporary_copy.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/job_settings.h"
#include "core/output.h"

namespace {

const char* const kCopyName = "tessiv.exe";
const int kDeleteRetrySeconds = 15;
const DWORD kDeleteRetryPauseMs = 100;

}  // namespace

void LaunchSelfDelete() {
    char program[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, program, sizeof program);
    if (length == 0 || length >= sizeof program) program[0] = 0;

    char copy[MAX_PATH];
    if (!GetWorkFolder(copy)) copy[0] = 0;
    size_t used = strlen(copy);
    if (used > 0 && copy[used - 1] != '\\' && used + 1 < sizeof copy) {
        copy[used++] = '\\';
        copy[used] = 0;
    }
    if (used + strlen(kCopyName) < sizeof copy) strcat(copy, kCopyName);
    CreatePathDirectories(copy);
    // A failed copy shows up as a failed start below.
    CopyFileA(program, copy, FALSE);

    // The whole command line: the first word stands where the program name would, so the
    // copy sees the one option "deletenow:" with the quoted path (spaces and all).
    char commandLine[MAX_PATH + 32];
    snprintf(commandLine, sizeof commandLine, "-quiet -deletenow:\"%s\"", program);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    if (!CreateProcessA(copy, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        char text[128];
        snprintf(text, sizeof text, "Error %d launching temp copy of tessiv", (int)GetLastError());
        ReportError(text, logStream);
        return;
    }
    // The copy is not waited for: this process must end to release the program file.
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

void DeleteProgramFile(const char* path) {
    if (path && *path) {
        SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
        time_t deadline = time(nullptr) + kDeleteRetrySeconds;
        BOOL deleted = DeleteFileA(path);
        while (!deleted && time(nullptr) < deadline) {
            Sleep(kDeleteRetryPauseMs);
            deleted = DeleteFileA(path);
        }
        if (!deleted) MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
    char self[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
    if (length > 0 && length < sizeof self) MoveFileExA(self, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}
