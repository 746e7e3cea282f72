// The file system security walk: the drive list, the depth-first walk of each NTFS
// volume, the per-file rewrite; the write-ahead record of the files about to be rewritten,
// which is also the restore's list of the changed files (read back from the disk, so that
// memory does not grow with them), the restore and the revert.
#include "replace/file_walk.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "core/job_settings.h"
#include "core/output.h"

DWORD changedFileCount = 0;
const char* const kFileSecurityRecordName = "FILESEC";

namespace {

// Files whose rewrite is prepared but not yet written: they are written once their entries
// in the write-ahead record are durable, a batch at a time, so that the record costs one
// flush per batch rather than one per file.
const DWORD kBatchFiles = 256;
FileSecurity* pendingFiles[kBatchFiles];
DWORD pendingCount = 0;
// The write-ahead record of the walk under way, opened as the walk begins: in the job's work
// directory, or for a walk outside a job in a temporary file of the work folder, removed
// with the list.
FILE* recordStream = nullptr;
char recordPath[MAX_PATH];

// The restore's list of changed files is the record itself: each walk appends a run of
// entries, and since a walk stops at its first failed write and writes its files in the
// record's order, the files it changed are the first `written` entries of its run. Only
// this bookkeeping stays in memory, a few bytes a walk.
struct RecordRun {
    DWORD first;    // index of the run's first entry in the record
    DWORD written;  // its entries whose files were rewritten
};
RecordRun* runs = nullptr;
DWORD runCount = 0, runCapacity = 0;
char listRecord[MAX_PATH];    // the record the list reads; empty while the list is
bool temporaryRecord = false; // listRecord is a temporary file, removed with the list
DWORD recordEntries = 0;      // the whole entries listRecord holds

// One entry of the record: this header, the Windows path with its NUL, the descriptor as
// read (self-relative). A torn last entry (a power loss while appending) is cut off by its
// sizes; its files were not yet rewritten.
struct RecordEntry {
    DWORD marker;            // kRecordMarker
    DWORD parts;             // SECURITY_INFORMATION bits about to be written
    DWORD pathSize;          // bytes of the path, NUL included (2..MAX_PATH)
    DWORD descriptorSize;    // bytes of the descriptor (20..kMaxRecordedDescriptor)
};
static_assert(sizeof(RecordEntry) == 16, "the record's entry header is 16 bytes");
const DWORD kRecordMarker = 0x53465354;  // "TSFS"
const DWORD kMaxRecordedDescriptor = 0x10000;

DWORD ChangedSoFar() { return changedFileCount; }

// The next whole entry of a record: its header, path (name, MAX_PATH bytes) and descriptor
// (kMaxRecordedDescriptor bytes). False at the end, and at a torn or foreign entry, which
// ends the record: the torn end of a batch cut off while it was appended, none of whose
// files was rewritten.
bool ReadRecordEntry(FILE* record, RecordEntry* entry, char* name, BYTE* descriptor) {
    return fread(entry, sizeof *entry, 1, record) == 1 && entry->marker == kRecordMarker && entry->pathSize >= 2 &&
           entry->pathSize <= MAX_PATH && entry->descriptorSize >= sizeof(SECURITY_DESCRIPTOR_RELATIVE) &&
           entry->descriptorSize <= kMaxRecordedDescriptor && fread(name, entry->pathSize, 1, record) == 1 &&
           name[entry->pathSize - 1] == 0 && fread(descriptor, entry->descriptorSize, 1, record) == 1;
}

const DWORD kDriveListSize = 128;
const DWORD kFileSystemNameSize = 64;

FILE* VerboseLog() { return verboseLog ? logStream : nullptr; }

// A line about one entry of a walk or a restore: a progress line, a few a second on the
// status line, so that the window never slows the walk.
void Line(FILE* log, const char* format, const char* path) {
    char text[1024];
    snprintf(text, sizeof text, format, path);
    ProgressLine(text, log);
}

// A line about a drive: shown at once.
void DriveLine(const char* format, const char* root) {
    char text[1024];
    snprintf(text, sizeof text, format, root);
    LogLine(text, logStream);
}

void DropPendingFiles() {
    for (DWORD i = 0; i < pendingCount; ++i) delete pendingFiles[i];
    pendingCount = 0;
}

void RecordError(DWORD err) {
    char text[1024];
    snprintf(text, sizeof text, "Error %d recording file security to '%s'", (int)err, recordPath);
    ReportError(text, logStream);
}

// The whole entries of an existing record, which this process's walks append to.
// False when it cannot be read (reported).
bool CountRecordEntries(const char* path, DWORD* count) {
    *count = 0;
    FILE* record = fopen(path, "rb");
    if (!record) {
        DWORD err = GetLastError();
        if (err == ERROR_FILE_NOT_FOUND) return true;  // the usual case: a new work directory
        RecordError(err);
        return false;
    }
    char name[MAX_PATH];
    BYTE* descriptor = (BYTE*)LocalAlloc(LMEM_FIXED, kMaxRecordedDescriptor);
    RecordEntry entry;
    while (descriptor && ReadRecordEntry(record, &entry, name, descriptor)) ++*count;
    fclose(record);
    if (descriptor) LocalFree(descriptor);
    if (!descriptor) ReportError("Out of Memory", logStream);
    return descriptor != nullptr;
}

// A run for the walk that begins, the list's first run naming its record. The worker is
// not stopped half-way, so that the restore finds the list whole.
bool StartRun() {
    UnbrokenStep step;
    if (runCount == runCapacity) {
        DWORD capacity = runCapacity ? runCapacity * 2 : 4;
        RecordRun* grown = capacity > runCapacity && capacity < 0x10000000
                               ? (RecordRun*)LocalAlloc(LMEM_FIXED, capacity * sizeof(RecordRun))
                               : nullptr;
        if (!grown) {
            ReportError("Out of Memory", logStream);
            return false;
        }
        if (runCount) memcpy(grown, runs, runCount * sizeof(RecordRun));
        RecordRun* old = runs;
        runs = grown;
        runCapacity = capacity;
        if (old) LocalFree(old);
    }
    if (runCount == 0) {
        DWORD entries = 0;
        if (!temporaryRecord && !CountRecordEntries(recordPath, &entries)) return false;
        memcpy(listRecord, recordPath, sizeof listRecord);
        recordEntries = entries;
    } else if (lstrcmpiA(listRecord, recordPath) != 0) {
        RecordError(ERROR_INVALID_PARAMETER);  // one record a list: the work directory changed under it
        return false;
    }
    runs[runCount].first = recordEntries;
    runs[runCount].written = 0;
    ++runCount;
    return true;
}

// Opens the record, in the job's work directory or, for a walk outside a job, in a
// temporary file that the list keeps. It is opened before the walk begins, so that the
// walk finds it like the job's other files and rewrites its security too. 1 or 0 (reported).
bool OpenRecord() {
    if (recordStream) return true;
    JobSettings* job = jobSettings;
    if (job && job->workDirectory[0]) {
        int length = snprintf(recordPath, sizeof recordPath, "%s\\%s", job->workDirectory, kFileSecurityRecordName);
        if (length < 0 || length >= (int)sizeof recordPath) {
            RecordError(ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
    } else if (temporaryRecord) {
        memcpy(recordPath, listRecord, sizeof recordPath);
    } else {
        char folder[MAX_PATH];
        recordPath[0] = 0;
        if (!GetWorkFolder(folder) || !GetTempFileNameA(folder, "SEC", 0, recordPath)) {
            RecordError(GetLastError());
            return false;
        }
        memcpy(listRecord, recordPath, sizeof listRecord);
        temporaryRecord = true;  // empty, and removed with the list
    }
    if (!StartRun()) return false;
    {
        // The restore after an abort opens the record too: the worker is not stopped inside
        // the runtime's stream calls.
        UnbrokenStep step;
        recordStream = fopen(recordPath, "abc");
    }
    if (recordStream) return true;
    RecordError(GetLastError());
    return false;
}

// Appends the pending files' entries to the record and makes them durable (the stream is
// opened in commit mode, so that fflush reaches the disk). 1 or 0 (reported).
bool RecordPendingFiles() {
    if (!recordStream) return true;
    bool written = true;
    {
        // A worker stopped inside would leave the stream locked for the clean-up's close.
        UnbrokenStep step;
        for (DWORD i = 0; i < pendingCount && written; ++i) {
            FileSecurity* file = pendingFiles[i];
            RecordEntry entry = {kRecordMarker, file->preparedParts, (DWORD)strlen(file->path) + 1,
                                 file->descriptor ? GetSecurityDescriptorLength(file->descriptor) : 0};
            written = entry.descriptorSize >= sizeof(SECURITY_DESCRIPTOR_RELATIVE) &&
                      entry.descriptorSize <= kMaxRecordedDescriptor &&
                      fwrite(&entry, sizeof entry, 1, recordStream) == 1 &&
                      fwrite(file->path, entry.pathSize, 1, recordStream) == 1 &&
                      fwrite(file->descriptor, entry.descriptorSize, 1, recordStream) == 1;
        }
        written = written && fflush(recordStream) == 0;
        if (written) recordEntries += pendingCount;
    }
    if (written) return true;
    RecordError(GetLastError());
    return false;
}

// Writes the pending files, once the record holds them, in the order they were met.
// 1, or 0 at the first failure (reported; the pending files after it stay untouched).
bool CommitPendingFiles() {
    if (pendingCount == 0) return true;
    if (!RecordPendingFiles()) {
        DropPendingFiles();
        return false;
    }
    for (DWORD i = 0; i < pendingCount; ++i) {
        FileSecurity* file = pendingFiles[i];
        int written;
        {
            // A rewritten file is counted in the restore's list before the worker may be stopped.
            UnbrokenStep step;
            written = file->WritePreparedSecurity();
            if (written == 0) {
                ++runs[runCount - 1].written;
                ++changedFileCount;
            }
        }
        if (written != 0) {
            ReportError(FileSecurity::ErrorText(), logStream);
            DropPendingFiles();
            return false;
        }
        Line(VerboseLog(), "Replaced: %s", file->path);
        delete file;
        pendingFiles[i] = nullptr;
    }
    pendingCount = 0;
    return true;
}

void CloseRecord() {
    if (recordStream) fclose(recordStream);
    recordStream = nullptr;
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
        // its own security is rewritten, what it leads to is walked where it lies. What
        // is pending is written first, so that the junction is read as the walk left it.
        if (!CommitPendingFiles() || !ProcessFileSecurity(child)) return false;
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
    if (JobSettings* job = jobSettings) {
        pairs.oldPattern[0] = (const BYTE*)job->originalSid;
        pairs.newPattern[0] = (const BYTE*)job->newSid;
        pairs.count = 1;
        if (job->replaceDomainSid) {
            pairs.oldPattern[1] = (const BYTE*)job->oldDomainSid;
            pairs.newPattern[1] = (const BYTE*)job->newDomainSid;
            pairs.count = 2;
        }
    }
    if (file->PrepareSecuritySids(&pairs) != 0) {
        ReportError(FileSecurity::ErrorText(), logStream);
        delete file;
        return 0;
    }
    if (!file->preparedRewritten) {
        delete file;
        return 1;
    }
    pendingFiles[pendingCount++] = file;
    return pendingCount < kBatchFiles || CommitPendingFiles() ? 1 : 0;
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
    // A walk whose worker was stopped (an abort) may have left a batch and its record open:
    // a new walk starts with neither.
    CloseRecord();
    DropPendingFiles();
    if (!OpenRecord()) return 0;
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
                    CloseRecord();
                    return 0;
                }
            } else if (lstrcmpiA(fileSystem, "NTFS") != 0) {
                DriveLine("Information: '%s' is not NTFS partition", root);
            } else {
                DriveLine("Information: '%s' is NTFS partition", root);
                // The files prepared before a failure are still written, and kept for the restore.
                bool walked = WalkDirectorySecurity(root) != 0;
                if (!CommitPendingFiles() || !walked) {
                    CloseRecord();
                    return 0;
                }
                char text[1024];
                snprintf(text, sizeof text, "SUCCESS: %d security assignments replaced on drive %s",
                         (int)(ChangedSoFar() - before), root);
                LogLine(text, logStream);
            }
        }
        root += strnlen(root, (size_t)(drives + sizeof drives - root)) + 1;
        if (root >= drives + sizeof drives) {
            CloseRecord();
            ReportError("Buffer overflow reading logical drives", logStream);
            return 0;
        }
    }
    CloseRecord();
    return 1;
}

int ForEachChangedFile(ChangedFileVisit visit, void* context) {
    if (runCount == 0) return 1;
    FILE* record = fopen(listRecord, "rb");
    BYTE* descriptor = record ? (BYTE*)LocalAlloc(LMEM_FIXED, kMaxRecordedDescriptor) : nullptr;
    DWORD err = GetLastError();
    char name[MAX_PATH];
    RecordEntry entry;
    bool whole = descriptor != nullptr, going = true;
    // One pass through the record, a run at a time: the entries before a run and those of
    // its files that were not rewritten are passed over.
    DWORD at = 0;
    for (DWORD r = 0; r < runCount && whole && going; ++r) {
        for (; at < runs[r].first && whole; ++at) whole = ReadRecordEntry(record, &entry, name, descriptor);
        for (DWORD k = 0; k < runs[r].written && whole && going; ++k, ++at) {
            whole = ReadRecordEntry(record, &entry, name, descriptor);
            if (whole) going = visit(name, entry.parts, descriptor, entry.descriptorSize, context);
        }
        if (!whole && descriptor) err = ferror(record) ? GetLastError() : (DWORD)ERROR_HANDLE_EOF;
    }
    if (descriptor) LocalFree(descriptor);
    if (record) fclose(record);
    if (whole) return 1;
    char text[1024];
    if (record && !descriptor)
        snprintf(text, sizeof text, "Out of Memory");
    else
        snprintf(text, sizeof text, "Error %d reading the record of file security '%s'", (int)err, listRecord);
    ReportError(text, logStream);
    return 0;
}

namespace {

struct RestoreTally {
    bool restored;
    DWORD failures;
};

bool RestoreChangedFile(const char* path, DWORD parts, const BYTE* descriptor, DWORD size, void* context) {
    RestoreTally* tally = (RestoreTally*)context;
    Line(VerboseLog(), "   %s", path);
    int result = PutBackRecordedSecurity(path, parts, descriptor, size);
    if (result == -1) {
        if (tally->failures++ == 0)
            ReportError(FileSecurity::ErrorText(), logStream);
        else
            LogLine(FileSecurity::ErrorText(), logStream);
    } else if (result == 1) {
        tally->restored = true;
    }
    return true;
}

}  // namespace

int RestoreFileSystemSecurity() {
    StatusLine("Restoring File System Security:", logStream);
    if (changedFileCount == 0) {
        LogLine("   No changes made to file system security", logStream);
        return 0;
    }
    // A failed file does not stop the others: each one left rewritten would keep SIDs that
    // the restored registry no longer knows. The first failure is shown, the rest logged.
    // The files come back first to last, as the walk wrote them, from the descriptors it read.
    RestoreTally tally = {false, 0};
    if (!ForEachChangedFile(RestoreChangedFile, &tally) || tally.failures) return -1;
    if (!tally.restored) return 0;
    LogLine("Complete: File system security restored successfully.", logStream);
    return 1;
}

int RevertRecordedFileSecurity(const char* directory) {
    char path[MAX_PATH];
    int length = snprintf(path, sizeof path, "%s\\%s", directory, kFileSecurityRecordName);
    if (length < 0 || length >= (int)sizeof path) return 0;
    FILE* record = fopen(path, "rb");
    if (!record) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND) {
            LogLine("   No changes made to file system security", logStream);
            return 1;
        }
        char text[1024];
        snprintf(text, sizeof text, "Error %d reading the record of file security '%s'", (int)GetLastError(), path);
        ReportError(text, logStream);
        return 0;
    }
    // A file that fails is logged and the others go on, as in the restore after a failure;
    // the first failure is shown. The record stays, so that the next boot tries again.
    DWORD restored = 0, failures = 0;
    char name[MAX_PATH];
    BYTE* descriptor = (BYTE*)LocalAlloc(LMEM_FIXED, kMaxRecordedDescriptor);
    RecordEntry entry;
    // The torn end of the last batch ends the loop: none of its files was rewritten.
    while (descriptor && ReadRecordEntry(record, &entry, name, descriptor)) {
        int result = RestoreRecordedSecurity(name, entry.parts, descriptor, entry.descriptorSize);
        if (result == 1) {
            ++restored;
            Line(VerboseLog(), "Restored: %s", name);
        } else if (result == -1) {
            if (failures++ == 0)
                ReportError(FileSecurity::ErrorText(), logStream);
            else
                LogLine(FileSecurity::ErrorText(), logStream);
        }
    }
    if (!descriptor) ReportError("Out of Memory", logStream);
    if (descriptor) LocalFree(descriptor);
    fclose(record);
    if (!descriptor || failures) return 0;
    char text[128];
    snprintf(text, sizeof text, "SUCCESS: %d security assignments restored", (int)restored);
    LogLine(text, logStream);
    return 1;
}

void FreeChangedFiles() {
    DropPendingFiles();
    CloseRecord();
    // A job's record stays in its work directory for the recovery; a walk's own goes.
    if (temporaryRecord) DeleteFileA(listRecord);
    temporaryRecord = false;
    listRecord[0] = 0;
    if (runs) LocalFree(runs);
    runs = nullptr;
    runCount = runCapacity = 0;
    recordEntries = 0;
    changedFileCount = 0;
}
