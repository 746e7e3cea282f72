// The WoW64 refusal. There the 32-bit program sees the 32-bit registry view and the
// redirected system folder only: a job would rewrite part of the machine and call it done.
#include "wizard/wow64_check.h"

#include <cstdio>
#include <cstring>

#include "core/job_settings.h"
#include "core/output.h"
#include "identity/system_functions.h"

const char* const kWow64Refusal =
    "Error: This is the 32-bit Tessiv program, and this computer runs a 64-bit edition of Windows.\n\n"
    "The 32-bit program sees only part of the registry and of the system folder there, so it would leave "
    "part of the computer with its old SID. Nothing has been changed.\n\n"
    "Please run the 64-bit Tessiv program (tessiv.exe for x64) instead.";

namespace {

// The service's log as the stored settings name it, read without creating the program's
// key (LoadSettings would create it). 1 with the name when a log is asked for.
int StoredLogFile(char* name, DWORD size) {
    char path[MAX_PATH];
    snprintf(path, sizeof path, "Software\\%s", jobSettings ? jobSettings->programKeyName : kProgramKeyPath);
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    DWORD use = 0, type = 0, length = sizeof use;
    int found = RegQueryValueExA(key, "UseLogFile", nullptr, &type, reinterpret_cast<LPBYTE>(&use), &length) ==
                    ERROR_SUCCESS &&
                type == REG_DWORD && use != 0;
    length = size - 1;
    memset(name, 0, size);
    if (found && (RegQueryValueExA(key, "LogFileName", nullptr, &type, reinterpret_cast<LPBYTE>(name), &length) !=
                      ERROR_SUCCESS ||
                  type != REG_SZ || !name[0]))
        snprintf(name, size, "%s", kDefaultLogFileName);
    RegCloseKey(key);
    return found;
}

}  // namespace

int RefuseOnWow64(const CommandLineOptions& options) {
    BOOL wow64 = FALSE;
    {
        SystemFunctions functions;
        if (!functions.IsWow64Process(GetCurrentProcess(), &wow64)) wow64 = FALSE;
    }
    if (!wow64) return 0;
    char logName[MAX_PATH];
    int useLog = 0;
    if (options.logGiven) {
        useLog = 1;
        snprintf(logName, sizeof logName, "%s", options.logFile.empty() ? kDefaultLogFileName : options.logFile.c_str());
    } else if (serviceMode) {
        useLog = StoredLogFile(logName, sizeof logName);
    }
    bool opened = useLog && !logStream && OpenLogFile(logName, "a+t");
    ReportError(kWow64Refusal, logStream);
    if (opened) CloseLogFile();
    return 1;
}
