// The file system security walk: the drive list, the depth-first walk of each NTFS
// volume, the per-file rewrite with its record kept when something changed, the restore.
#include "replace/file_walk.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "core/job_settings.h"
#include "core/output.h"

FileSecurity** changedFiles = nullptr;
DWORD changedFileCount = 0;

namespace {

DWORD changedFileCapacity = 0;
// The pairs of a revert walk; null in the run's own walk, whose pairs come from the job.
const BytePairList* revertPairs = nullptr;
DWORD revertedFileCount = 0;

// The files changed so far by the walk under way.
DWORD ChangedSoFar() { return revertPairs ? revertedFileCount : changedFileCount; }

const DWORD kDriveListSize = 128;
const DWORD kFileSystemNameSize = 64;

FILE* VerboseLog() { return verboseLog ? logStream : nullptr; }

void Line(FILE* log, const char* format, const char* path) {
    char text[1024];
    snprintf(text, sizeof text, format, path);
    LogLine(text, log);
}

// Room for one more record before a file is rewritten, so that a rewritten file always
// has its record for the restore.
bool ReserveChangedFile() {
    if (changedFileCount < changedFileCapacity) return true;
    DWORD capacity = changedFileCapacity ? changedFileCapacity * 2 : 64;
    if (capacity <= changedFileCapacity || capacity > 0x7FFFFFFF / sizeof(FileSecurity*)) return false;
    FileSecurity** grown = (FileSecurity**)LocalAlloc(LMEM_FIXED, capacity * sizeof(FileSecurity*));
    if (!grown) return false;
    if (changedFileCount) memcpy(grown, changedFiles, changedFileCount * sizeof(FileSecurity*));
    if (changedFiles) LocalFree(changedFiles);
    changedFiles = grown;
    changedFileCapacity = capacity;
    return true;
}

bool SkippedName(const char* name) {
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || lstrcmpiA(name, "pagefile.sys") == 0 ||
           lstrcmpiA(name, "hiberfil.sys") == 0;
}

// path + name with a backslash between them unless path ends with one; false when the
// result would not fit in the MAX_PATH buffer (reported).
bool JoinPath(char* out, const char* path, const char* name) {
    size_t length = strlen(path);
    const char* separator = length && path[length - 1] == '\\' ? "" : "\\";
    int n = snprintf(out, MAX_PATH, "%s%s%s", path, separator, name);
    if (n >= 0 && n < MAX_PATH) return true;
    char text[1024];
    snprintf(text, sizeof text, "Error: path too long to examine its security: '%s%s%s'", path, separator, name);
    ReportError(text, logStream);
    return false;
}

bool WalkEntry(const char* path, const WIN32_FIND_DATAA& found) {
    char child[MAX_PATH];
    if (!JoinPath(child, path, found.cFileName)) return false;
    const DWORD junction = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    if ((found.dwFileAttributes & junction) == junction) {
        // A junction or mount point leads elsewhere, perhaps back up to its own parent:
        // its own security is rewritten, what it leads to is walked where it lies.
        if (!ProcessFileSecurity(child)) return false;
        Line(VerboseLog(), "Information: Not following reparse point: %s", child);
        return true;
    }
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return WalkDirectorySecurity(child) != 0;
    return ProcessFileSecurity(child) != 0;
}

}  // namespace

int ProcessFileSecurity(const char* path) {
    if (!path || !*path) return 1;
    Line(nullptr, "Scanning: %s", path);
    if (!ReserveChangedFile()) {
        ReportError("Out of Memory", logStream);
        return 0;
    }
    FileSecurity* file = new (std::nothrow) FileSecurity(path);
    if (!file) {
        ReportError("Out of Memory", logStream);
        return 0;
    }
    if (file->errorFlag) {
        bool systemControlled = GetLastError() == ERROR_NO_MORE_FILES;  // the read's own error
        if (systemControlled)
            Line(VerboseLog(), "Information: Skipping system controlled file: %s", path);
        else
            ReportError(FileSecurity::ErrorText(), logStream);
        delete file;
        return systemControlled ? 1 : 0;
    }
    BytePairList pairs;
    memset(&pairs, 0, sizeof pairs);
    if (revertPairs) {
        pairs = *revertPairs;
    } else if (JobSettings* job = jobSettings) {
        pairs.oldPattern[0] = (const BYTE*)job->originalSid;
        pairs.newPattern[0] = (const BYTE*)job->newSid;
        pairs.count = 1;
        if (job->replaceDomainSid) {
            pairs.oldPattern[1] = (const BYTE*)job->oldDomainSid;
            pairs.newPattern[1] = (const BYTE*)job->newDomainSid;
            pairs.count = 2;
        }
    }
    if (file->ReplaceSecuritySids(&pairs) != 0) {
        ReportError(FileSecurity::ErrorText(), logStream);
        delete file;
        return 0;
    }
    if (file->changedParts == 0 || revertPairs) {
        if (revertPairs && file->changedParts) {
            ++revertedFileCount;
            Line(VerboseLog(), "Restored: %s", path);
        }
        delete file;
        return 1;
    }
    changedFiles[changedFileCount++] = file;
    Line(VerboseLog(), "Replaced: %s", path);
    return 1;
}

int WalkDirectorySecurity(const char* path) {
    if (!path || !*path) return 1;
    if (!ProcessFileSecurity(path)) return 0;
    char pattern[MAX_PATH];
    if (!JoinPath(pattern, path, "*.*")) return 0;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(pattern, &found);
    if (find == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND || err == ERROR_NO_MORE_FILES) return 1;
        char text[1024];
        snprintf(text, sizeof text, "Error %d listing the entries of '%s'", (int)err, path);
        ReportError(text, logStream);
        return 0;
    }
    int result = 1;
    do {
        found.cFileName[MAX_PATH - 1] = 0;
        if (SkippedName(found.cFileName)) continue;
        if (!WalkEntry(path, found)) {
            result = 0;
            break;
        }
    } while (FindNextFileA(find, &found));
    // The enumeration ends with ERROR_NO_MORE_FILES; any other code left entries unvisited.
    DWORD err = result ? GetLastError() : (DWORD)ERROR_NO_MORE_FILES;
    FindClose(find);
    if (err != ERROR_NO_MORE_FILES) {
        char text[1024];
        snprintf(text, sizeof text, "Error %d listing the entries of '%s'", (int)err, path);
        ReportError(text, logStream);
        return 0;
    }
    return result;
}

int ScanFileSystemSecurity() {
    char drives[kDriveListSize];
    memset(drives, 0, sizeof drives);
    DWORD length = GetLogicalDriveStringsA(kDriveListSize - 1, drives);
    if (length == 0 || length > kDriveListSize - 1) {
        char text[128];
        snprintf(text, sizeof text, "Error %d getting logical drive information", (int)GetLastError());
        ReportError(text, logStream);
        return 0;
    }
    const char* root = drives;
    while (*root) {
        DWORD before = ChangedSoFar();
        UINT type = GetDriveTypeA(root);
        if (type == DRIVE_REMOVABLE || type == DRIVE_FIXED) {
            char fileSystem[kFileSystemNameSize];
            memset(fileSystem, 0, sizeof fileSystem);
            BOOL known = GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, nullptr, fileSystem, sizeof fileSystem);
            fileSystem[sizeof fileSystem - 1] = 0;
            if (!known) {
                DWORD err = GetLastError();
                // An empty drive, a changed medium or a volume no file system claims.
                if (err != ERROR_NOT_READY && err != ERROR_WRONG_DISK && err != ERROR_INVALID_PARAMETER &&
                    err != ERROR_UNRECOGNIZED_VOLUME) {
                    char text[1024];
                    snprintf(text, sizeof text, "Error %d getting volume information for %s", (int)err, root);
                    ReportError(text, logStream);
                    return 0;
                }
            } else if (lstrcmpiA(fileSystem, "NTFS") != 0) {
                Line(logStream, "Information: '%s' is not NTFS partition", root);
            } else {
                Line(logStream, "Information: '%s' is NTFS partition", root);
                if (!WalkDirectorySecurity(root)) return 0;
                char text[1024];
                snprintf(text, sizeof text, "SUCCESS: %d security assignments replaced on drive %s",
                         (int)(ChangedSoFar() - before), root);
                LogLine(text, logStream);
            }
        }
        root += strnlen(root, (size_t)(drives + sizeof drives - root)) + 1;
        if (root >= drives + sizeof drives) {
            ReportError("Buffer overflow reading logical drives", logStream);
            return 0;
        }
    }
    return 1;
}

int RestoreFileSystemSecurity() {
    StatusLine("Restoring File System Security:", logStream);
    if (changedFileCount == 0) {
        LogLine("   No changes made to file system security", logStream);
        return 0;
    }
    // A failed file does not stop the others: each one left rewritten would keep SIDs that
    // the restored registry no longer knows. The first failure is shown, the rest logged.
    bool restored = false;
    DWORD failures = 0;
    for (DWORD i = 0; i < changedFileCount; ++i) {
        FileSecurity* file = changedFiles[i];
        Line(VerboseLog(), "   %s", file->path);
        int result = file->RestoreSecurity();
        if (result == -1) {
            if (failures++ == 0)
                ReportError(FileSecurity::ErrorText(), logStream);
            else
                LogLine(FileSecurity::ErrorText(), logStream);
        } else if (result == 1) {
            restored = true;
        }
    }
    if (failures) return -1;
    if (!restored) return 0;
    LogLine("Complete: File system security restored successfully.", logStream);
    return 1;
}

int RevertFileSystemSecurity(const BytePairList* pairs) {
    revertPairs = pairs;
    int result = ScanFileSystemSecurity();
    revertPairs = nullptr;
    return result;
}

void FreeChangedFiles() {
    for (DWORD i = 0; i < changedFileCount; ++i) delete changedFiles[i];
    if (changedFiles) LocalFree(changedFiles);
    changedFiles = nullptr;
    changedFileCount = 0;
    changedFileCapacity = 0;
}
