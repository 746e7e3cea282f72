// The user profile hives: the profile list walked, each hive loaded, kept as it was
// for the restore, rewritten, saved, byte-scanned and scheduled for the next load.
#include "replace/user_profiles.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/job_settings.h"
#include "core/output.h"
#include "core/sid_text.h"
#include "replace/registry_replace.h"

namespace {

const char kProfileList[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\";
const DWORD kProfileBufferSize = 1024;
// KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY
const REGSAM kProfileAccess = 0x2001F;

void Report(const char* format, ...) {
    char text[1400];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    ReportError(text, logStream);
}

// An information line: on the status line, in the log file only with verbose-log.
void Inform(const char* format, const char* name) {
    char text[1400];
    snprintf(text, sizeof text, format, name);
    LogLine(text, verboseLog ? logStream : nullptr);
}

bool SameTextIgnoringCase(const char* a, const char* b) { return lstrcmpiA(a, b) == 0; }

// RegSaveKeyA refuses an existing file: a copy left by an earlier pass goes first.
LONG SaveHive(HKEY key, const char* file) {
    RegFlushKey(key);
    DeleteFileA(file);
    return RegSaveKeyA(key, file, nullptr);
}

// One profile, from its opened hive key to its scheduled replacement. 0 after a
// failure (reported unless the walk's own -1).
int ProcessHive(HKEY hive, const char* name, const SidPairList* pairs, const char* oldHex, const char* newHex) {
    JobSettings* job = jobSettings;
    char original[MAX_PATH], rewritten[MAX_PATH], backup[MAX_PATH];
    int a = snprintf(original, sizeof original, "%s\\ORIGINAL\\USERS\\%s", job->workDirectory, name);
    int b = snprintf(rewritten, sizeof rewritten, "%s\\USERS\\%s", job->workDirectory, name);
    int c = snprintf(backup, sizeof backup, "%s.bak", rewritten);
    if (a < 0 || a >= MAX_PATH || b < 0 || b >= MAX_PATH || c < 0 || c >= MAX_PATH) {
        Report("Error %d saving original user data subkey '%s' to a file", (int)ERROR_FILENAME_EXCED_RANGE, name);
        return 0;
    }
    LONG err = SaveHive(hive, original);
    if (err != ERROR_SUCCESS) {
        Report("Error %d saving original user data subkey '%s' to a file", (int)err, name);
        return 0;
    }
    char path[kRegistryPathSize];
    int d = snprintf(path, sizeof path, "USERS\\%s", name);
    if (d < 0 || d >= kRegistryPathSize) {
        Report("Error %d saving user data subkey '%s' to a file", (int)ERROR_FILENAME_EXCED_RANGE, name);
        return 0;
    }
    if (SearchReplaceKey(HKEY_USERS, name, path, pairs) == -1) return 0;
    err = SaveHive(hive, rewritten);
    if (err != ERROR_SUCCESS) {
        Report("Error %d saving user data subkey '%s' to a file", (int)err, name);
        return 0;
    }
    if (ReplaceHexInFile(rewritten, oldHex, newHex) == kReplaceFailed) {
        Report("Error searching user hive file '%s' for SID", rewritten);
        return 0;
    }
    // A domain user's hive grants that user by the domain SID: when the domain SID changes,
    // its bytes change too, or the user is locked out of the profile's own keys.
    if (job->replaceDomainSid && job->oldDomainSid && job->newDomainSid) {
        char oldDomainHex[kSidHexPatternLength + 1], newDomainHex[kSidHexPatternLength + 1];
        SidToHexPattern(job->oldDomainSid, oldDomainHex, sizeof oldDomainHex);
        SidToHexPattern(job->newDomainSid, newDomainHex, sizeof newDomainHex);
        if (ReplaceHexInFile(rewritten, oldDomainHex, newDomainHex) == kReplaceFailed) {
            Report("Error searching user hive file '%s' for SID", rewritten);
            return 0;
        }
    }
    // A backup left by an earlier pass would make the replacement refuse.
    DeleteFileA(backup);
    err = RegReplaceKeyA(HKEY_USERS, name, rewritten, backup);
    if (err != ERROR_SUCCESS) {
        Report("Error %d restoring user data subkey '%s' from a file", (int)err, name);
        return 0;
    }
    // The next load of the profile takes the rewritten file: a change to undo on failure.
    job->changesMade = TRUE;
    return 1;
}

}  // namespace

int LoadUserHive(const char* name, char* path, DWORD storedSize) {
    char stored[kProfileBufferSize];
    size_t length = strnlen(path, kProfileBufferSize - 1);
    memcpy(stored, path, length);
    stored[length] = 0;
    // The stored size is the expansion's capacity; an expansion that grows past it
    // (a short %SystemRoot%\name) still fits the path buffer, which is used instead.
    DWORD capacity = storedSize > length && storedSize <= kProfileBufferSize ? storedSize : kProfileBufferSize;
    memset(path, 0, capacity);
    DWORD expanded = ExpandEnvironmentStringsA(stored, path, capacity);
    if (expanded > capacity && capacity < kProfileBufferSize) {
        capacity = kProfileBufferSize;
        memset(path, 0, capacity);
        expanded = ExpandEnvironmentStringsA(stored, path, capacity);
    }
    if (expanded == 0 || expanded > capacity) return 0;

    DWORD attributes = GetFileAttributesA(path);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        size_t end = strlen(path);
        const char* file = end && path[end - 1] == '\\' ? "ntuser.dat" : "\\ntuser.dat";
        if (end + strlen(file) + 1 > kProfileBufferSize) return 0;
        memcpy(path + end, file, strlen(file) + 1);
    }

    struct _stat status;
    if (_stat(path, &status) != 0 || status.st_size == 0) {
        Inform("Information: User Hive '%s' in use", name);
        return 0;
    }
    LONG err = RegLoadKeyA(HKEY_USERS, name, path);
    if (err == ERROR_SUCCESS) return 1;
    if (err == ERROR_SHARING_VIOLATION) {
        // Its user is logged on: the hive is loaded already and is rewritten where it is.
        Inform("Information: User Hive '%s' in use", name);
        return 1;
    }
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) {
        Inform("Information: User Hive '%s' missing", name);
        return 0;
    }
    Report("Error %d loading user hive '%s' from '%s'", (int)err, name, path);
    return 0;
}

int ProcessUserProfiles(const SidPairList* pairs) {
    JobSettings* job = jobSettings;
    char oldHex[kSidHexPatternLength + 1], newHex[kSidHexPatternLength + 1];
    SidToHexPattern(job->originalSid, oldHex, sizeof oldHex);
    SidToHexPattern(job->newSid, newHex, sizeof newHex);

    HKEY list = nullptr;
    LONG err = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProfileList, 0, KEY_READ, &list);
    if (err != ERROR_SUCCESS) {
        Report("Error %d opening profile list key", (int)err);
        return 0;
    }
    char name[kProfileBufferSize];
    char path[kProfileBufferSize];
    for (DWORD index = 0;; ++index) {
        DWORD nameSize = kProfileBufferSize;
        if (RegEnumKeyExA(list, index, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        if (debugMode) {
            char line[kProfileBufferSize + 64];
            snprintf(line, sizeof line, "Reading Entry: [%d] %s", (int)index + 1, name);
            LogLine(line, logStream);
        }
        // The local system's and local service's profiles belong to no account of the machine.
        if (SameTextIgnoringCase(name, "S-1-5-18") || SameTextIgnoringCase(name, "S-1-5-19")) continue;

        HKEY profile = nullptr;
        err = RegOpenKeyExA(list, name, 0, kProfileAccess, &profile);
        if (err == ERROR_FILE_NOT_FOUND) continue;
        if (err != ERROR_SUCCESS) {
            Report("Error %d opening profile subkey '%s'", (int)err, name);
            RegCloseKey(list);
            return 0;
        }
        DWORD pathSize = kProfileBufferSize;
        memset(path, 0, sizeof path);
        err = RegQueryValueExA(profile, "ProfileImagePath", nullptr, nullptr, (BYTE*)path, &pathSize);
        if (err != ERROR_SUCCESS) {
            RegCloseKey(profile);
            if (err == ERROR_FILE_NOT_FOUND) continue;
            Report("Error %d querying for profile path", (int)err);
            RegCloseKey(list);
            return 0;
        }
        path[kProfileBufferSize - 1] = 0;
        err = RegCloseKey(profile);
        if (err != ERROR_SUCCESS) {
            Report("Error %d closing profile subkey", (int)err);
            RegCloseKey(list);
            return 0;
        }
        if (!LoadUserHive(name, path, pathSize)) continue;

        HKEY hive = nullptr;
        err = RegOpenKeyExA(HKEY_USERS, name, 0, kProfileAccess, &hive);
        if (err == ERROR_FILE_NOT_FOUND || err == ERROR_ACCESS_DENIED) continue;
        if (err != ERROR_SUCCESS) {
            Report("Error %d opening HKEY_USERS\\%s", (int)err, name);
            RegCloseKey(list);
            return 0;
        }
        int done = ProcessHive(hive, name, pairs, oldHex, newHex);
        err = RegCloseKey(hive);
        if (done && err != ERROR_SUCCESS) {
            Report("Error %d closing user data subkey", (int)err);
            done = 0;
        }
        if (!done) {
            RegCloseKey(list);
            return 0;
        }
        // A logged-on user's hive stays loaded: its unload fails, and that is expected.
        RegUnLoadKeyA(HKEY_USERS, name);
    }
    err = RegCloseKey(list);
    if (err != ERROR_SUCCESS) {
        Report("Error %d closing profile list key", (int)err);
        return 0;
    }
    return 1;
}

int ScheduleProfileHive(const char* name, const char* file, const SidPairList* renames) {
    char candidate[kProfileBufferSize], key[kProfileBufferSize + sizeof kProfileList], path[kProfileBufferSize];
    DWORD pathSize = 0;
    bool found = false;
    for (int i = -1; !found && i < (renames ? renames->count : 0); ++i) {
        int length;
        if (i < 0) {
            length = snprintf(candidate, sizeof candidate, "%s", name);
        } else {
            size_t n = strlen(renames->oldText[i]);
            if (n == 0 || strlen(name) <= n || name[n] != '-' ||
                CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, name, (int)n, renames->oldText[i], (int)n) !=
                    CSTR_EQUAL)
                continue;
            length = snprintf(candidate, sizeof candidate, "%s%s", renames->newText[i], name + n);
        }
        if (length < 0 || length >= (int)sizeof candidate) continue;
        snprintf(key, sizeof key, "%s%s", kProfileList, candidate);
        HKEY profile = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &profile) != ERROR_SUCCESS) continue;
        memset(path, 0, sizeof path);
        pathSize = kProfileBufferSize;
        found = RegQueryValueExA(profile, "ProfileImagePath", nullptr, nullptr, (BYTE*)path, &pathSize) == ERROR_SUCCESS;
        RegCloseKey(profile);
    }
    path[kProfileBufferSize - 1] = 0;
    if (!found || !LoadUserHive(name, path, pathSize)) {
        Report("Error: the hive of profile '%s' cannot be loaded to restore it", name);
        return 0;
    }
    char backup[MAX_PATH];
    int length = snprintf(backup, sizeof backup, "%s.BAK", file);
    LONG err = ERROR_FILENAME_EXCED_RANGE;
    if (length >= 0 && length < MAX_PATH) {
        DeleteFileA(backup);
        err = RegReplaceKeyA(HKEY_USERS, name, file, backup);
    }
    // A logged-on user's hive stays loaded: its unload fails, and that is expected.
    RegUnLoadKeyA(HKEY_USERS, name);
    if (err != ERROR_SUCCESS) {
        Report("Error %d restoring user hive '%s'", (int)err, name);
        return 0;
    }
    return 1;
}
