// Hive working copies: the registry quota check, the work directory, saving the
// five machine hives into a set of files, the byte scan of the saved copies, the
// replacement of the live hives at the next restart, and the clean-up of a job's
// directories and stored settings.
#include "engine/hive_copies.h"

#include <cstdio>
#include <cstring>

#include "core/job_settings.h"
#include "core/output.h"
#include "identity/role_checks.h"
#include "replace/byte_replace.h"
#include "replace/registry_replace.h"
#include "replace/user_profiles.h"

namespace {

// One hive of a set: where it is mounted and its file below the set's directory.
struct HiveFile {
    HKEY root;
    const char* subkey;
    const char* file;
};

// The order in which a set is saved and the original copies are put back.
const HiveFile kHiveSet[] = {
    {HKEY_LOCAL_MACHINE, "SAM", "SAM"},
    {HKEY_LOCAL_MACHINE, "SECURITY", "SECURITY"},
    {HKEY_LOCAL_MACHINE, "SOFTWARE", "SOFTWARE"},
    {HKEY_LOCAL_MACHINE, "SYSTEM", "SYSTEM"},
    {HKEY_USERS, ".DEFAULT", "USERS\\.DEFAULT"},
};

const char* const kRegistryFiles[] = {"SYSTEM", "SYSTEM.LOG", "SOFTWARE", "SOFTWARE.LOG", "SAM",
                                      "SAM.LOG", "SECURITY", "SECURITY.LOG", "DEFAULT", "DEFAULT.LOG"};
const char* const kProgramKey = "Software\\Quorvel\\Tessiv";
const char* const kProgramKeySecurityName = "MACHINE\\SOFTWARE\\Quorvel\\Tessiv";
const char* const kCompanyKey = "Software\\Quorvel";
const char* const kCompanyKeySecurityName = "MACHINE\\SOFTWARE\\Quorvel";
const int kNumberedNames = 98;        // TESSIV0 .. TESSIV97 after the plain name

void ReportNumber(const char* format, long number) {
    char message[1024];
    snprintf(message, sizeof message, format, (int)number);
    ReportError(message, logStream);
}

void ReportNumberText(const char* format, long number, const char* text) {
    char message[1024];
    snprintf(message, sizeof message, format, (int)number, text);
    ReportError(message, logStream);
}

// "%s\%s" into a MAX_PATH buffer; a path that does not fit is refused and reported.
bool JoinPath(char* buffer, const char* directory, const char* name) {
    int length = snprintf(buffer, MAX_PATH, "%s\\%s", directory, name);
    if (length >= 0 && length < MAX_PATH) return true;
    char message[1024];
    snprintf(message, sizeof message, "Error: Path too long: '%s\\%s'", directory, name);
    ReportError(message, logStream);
    return false;
}

void LogDebugPath(const char* path) {
    if (!debugMode) return;
    char line[MAX_PATH + 8];
    snprintf(line, sizeof line, "   %s", path);
    LogLine(line, logStream);
}

// The size of one registry file, added to *total: 1, or 0 after a report. A file
// that does not exist adds nothing.
int AddFileSize(const char* path, unsigned long long* total) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExA(path, GetFileExInfoStandard, &data)) {
        *total += ((unsigned long long)data.nFileSizeHigh << 32) | data.nFileSizeLow;
        return 1;
    }
    DWORD err = GetLastError();
    if (err == ERROR_FILE_NOT_FOUND) return 1;
    ReportNumberText("Error %d retrieving size of registry file %s", (long)err, path);
    return 0;
}

// The registry's size limit when RegistrySizeLimit is not set: a quarter of the page
// file on NT 4.0, else of the physical memory plus 12 bytes. Counted in 64 bits and
// held at the largest 32-bit number, so that a large machine never reads as a small one.
DWORD DefaultRegistryLimit() {
    unsigned long long base = 0;
    bool fromPageFile = false;
    if (GetOsVersionClass() == 6) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (GetFileAttributesExA("c:\\pagefile.sys", GetFileExInfoStandard, &data)) {
            base = ((unsigned long long)data.nFileSizeHigh << 32) | data.nFileSizeLow;
            fromPageFile = true;
        }
    }
    if (!fromPageFile) {
        MEMORYSTATUS memory;
        memset(&memory, 0, sizeof memory);
        memory.dwLength = sizeof memory;
        GlobalMemoryStatus(&memory);
        base = (unsigned long long)memory.dwTotalPhys + 12;
    }
    unsigned long long limit = base / 4;
    return limit > 0xFFFFFFFFULL ? 0xFFFFFFFFUL : (DWORD)limit;
}

// Deletes one work directory unless its name is empty or it is already gone. 1 or 0.
int RemoveWorkDirectory(const char* directory) {
    if (!directory[0]) return 1;
    if (GetFileAttributesA(directory) == INVALID_FILE_ATTRIBUTES) {
        DWORD err = GetLastError();
        // Nothing left to remove: an earlier clean-up or the operator removed it already.
        if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return 1;
    }
    return DeleteDirectoryTree(directory);
}

// The error that stopped DeleteKeyTree: the thread's last error when a call set one,
// otherwise the result, and "not found" when the key is missing altogether.
DWORD KeyTreeError(LONG result, const char* key) {
    DWORD err = GetLastError();
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_NONE_MAPPED) return err;
    HKEY probe = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE, &probe) == ERROR_FILE_NOT_FOUND)
        return ERROR_FILE_NOT_FOUND;
    if (probe) RegCloseKey(probe);
    return err ? err : (DWORD)result;
}

}  // namespace

int CheckRegistryQuota(char* refusal, size_t refusalSize) {
    if (refusal && refusalSize) refusal[0] = 0;
    HKEY control = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control", 0, KEY_READ, &control) !=
        ERROR_SUCCESS) {
        ReportError("Error reading registry size limits", logStream);
        return 0;
    }
    DWORD limit = 0, type = 0, size = sizeof limit;
    LONG err = RegQueryValueExA(control, "RegistrySizeLimit", nullptr, &type, (BYTE*)&limit, &size);
    RegCloseKey(control);
    if (err != ERROR_SUCCESS || size != sizeof limit) limit = DefaultRegistryLimit();

    char config[MAX_PATH];
    UINT length = GetSystemDirectoryA(config, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return 0;
    if (snprintf(config + length, MAX_PATH - length, "\\config") >= (int)(MAX_PATH - length)) return 0;

    unsigned long long total = 0;
    char path[MAX_PATH];
    for (const char* name : kRegistryFiles) {
        if (!JoinPath(path, config, name)) return 0;
        if (!AddFileSize(path, &total)) return 0;
    }
    // The hives may grow to twice their size while they are saved and rewritten.
    unsigned long long twice = total * 2;
    unsigned long long nearly = total * 9 / 5 + 2;
    unsigned long long need = twice < nearly ? twice : nearly;
    if ((unsigned long long)limit >= need) return 1;
    // The need and the limit in bytes too, so that a refusal at boot, read later in the log
    // or the event log, says what to change.
    char message[1024];
    snprintf(message, sizeof message,
             "You are running low on registry quota for this computer and may run out during this process. "
             "\n\nPlease increase the size of the quota to a minimum of %d MB before continuing.\n\nRefer to "
             "the online documentation for assistance.\n\nRegistry quota needed: %llu bytes; limit: %lu bytes.",
             (int)(total / 1048576 * 2 + 2), need, (unsigned long)limit);
    if (refusal && refusalSize) snprintf(refusal, refusalSize, "%s", message);
    ReportError(message, logStream);
    return 0;
}

int CreateWorkDirectory() {
    char base[MAX_PATH];
    char* directory = jobSettings->workDirectory;
    bool made = false;
    DWORD err = ERROR_FILENAME_EXCED_RANGE;
    if (GetWorkFolder(base)) {
        for (int n = -1; !made && n < kNumberedNames; ++n) {
            int length = n < 0 ? snprintf(directory, MAX_PATH, "%sTESSIV", base)
                               : snprintf(directory, MAX_PATH, "%sTESSIV%d", base, n);
            if (length < 0 || length >= MAX_PATH) {
                err = ERROR_FILENAME_EXCED_RANGE;
                break;
            }
            made = CreateDirectoryA(directory, nullptr) != FALSE;
            if (!made) err = GetLastError();
        }
    } else {
        err = GetLastError();
    }
    if (!made) {
        // A name that was not created here must never be taken for the job's directory:
        // the clean-up would remove another run's files.
        directory[0] = 0;
        ReportNumber("Error %d creating temporary directory", (long)err);
        return 0;
    }
    // Failures here show up as a failed save into the missing directory.
    char sub[MAX_PATH];
    const char* const subdirectories[] = {"USERS", "ORIGINAL", "ORIGINAL\\USERS"};
    for (const char* name : subdirectories) {
        int length = snprintf(sub, sizeof sub, "%s\\%s", directory, name);
        if (length >= 0 && length < MAX_PATH) CreateDirectoryA(sub, nullptr);
    }
    return 1;
}

int SaveKeyToFile(HKEY root, const char* subkey, const char* file) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    // The backup-restore option opens any key through the backup privilege, whatever its security.
    LONG err = RegCreateKeyExA(root, subkey, 0, nullptr, REG_OPTION_BACKUP_RESTORE, KEY_QUERY_VALUE, nullptr, &key,
                               &disposition);
    if (err != ERROR_SUCCESS) {
        ReportNumberText("Error %d opening registry key '%s'", err, subkey);
        return 0;
    }
    RegFlushKey(key);
    err = RegSaveKeyA(key, file, nullptr);
    RegCloseKey(key);
    if (err != ERROR_SUCCESS) {
        ReportNumberText("Error %d saving registry key '%s'", err, subkey);
        return 0;
    }
    return 1;
}

int SaveHiveSet(const char* directory) {
    char path[MAX_PATH];
    for (const HiveFile& hive : kHiveSet) {
        if (!JoinPath(path, directory, hive.file)) return 0;
        LogDebugPath(path);
        if (!SaveKeyToFile(hive.root, hive.subkey, path)) return 0;
    }
    LogLine("Complete.", logStream);
    return 1;
}

int ReplaceHiveFromFile(HKEY root, const char* subkey, const char* file) {
    char backup[MAX_PATH];
    int length = snprintf(backup, sizeof backup, "%s.BAK", file);
    LONG err = ERROR_FILENAME_EXCED_RANGE;
    if (length >= 0 && length < MAX_PATH) err = RegReplaceKeyA(root, subkey, file, backup);
    if (err != ERROR_SUCCESS) {
        char message[1024];
        snprintf(message, sizeof message, "Error %d replacing hive '%s' from file '%s'", (int)err, subkey, file);
        ReportError(message, logStream);
        return 0;
    }
    return 1;
}

int ScanHiveFilesForSid(const Sid* oldSid, const Sid* newSid) {
    if (!oldSid || !newSid) {
        ReportError("Error: No SID given for the byte scan", logStream);
        return 0;
    }
    char oldHex[kSidTextSize];
    char newHex[kSidTextSize];
    SidToHexPattern(oldSid, oldHex, sizeof oldHex);
    SidToHexPattern(newSid, newHex, sizeof newHex);
    // The default user hive stays live: its changes were made in the registry itself.
    const char* const names[] = {"SECURITY", "SYSTEM", "SAM", "SOFTWARE"};
    char path[MAX_PATH];
    for (const char* name : names) {
        if (!JoinPath(path, jobSettings->workDirectory, name)) return 0;
        LogDebugPath(path);
        // A write that fails part-way is reported but still counts as "replaced": the copy is
        // then half converted and must not be put in place of the live hive.
        BOOL interrupted = FALSE;
        if (ReplaceHexInFileEx(path, oldHex, newHex, &interrupted) == kReplaceFailed || interrupted) return 0;
    }
    return 1;
}

int InstallWorkingHives() {
    LogLine("Updating Registry, Please Wait", nullptr);
    const char* const names[] = {"SECURITY", "SOFTWARE", "SAM", "SYSTEM"};
    char path[MAX_PATH];
    for (const char* name : names) {
        if (!JoinPath(path, jobSettings->workDirectory, name)) return 0;
        LogDebugPath(path);
        if (!ReplaceHiveFromFile(HKEY_LOCAL_MACHINE, name, path)) return 0;
    }
    LogLine("Complete: Registry Updated Successfully.", logStream);
    return 1;
}

namespace {

const char* const kJobSidsName = "SIDS";

// Whether the original copy is still to be scheduled: 1 yes, 0 no (a restore cut off by a
// power loss has already put it in place: the registry took the file, and the hive it
// replaced lies beside it as "%s.BAK"), -1 it is missing (reported).
int OriginalPending(const char* original) {
    if (GetFileAttributesA(original) != INVALID_FILE_ATTRIBUTES) return 1;
    char backup[MAX_PATH];
    int length = snprintf(backup, sizeof backup, "%s.BAK", original);
    if (length >= 0 && length < MAX_PATH && GetFileAttributesA(backup) != INVALID_FILE_ATTRIBUTES) return 0;
    ReportNumberText("Error %d finding original hive '%s'", (long)ERROR_FILE_NOT_FOUND, original);
    return -1;
}

// Whether a name in a hive folder is a profile's hive: not a folder, not .DEFAULT, not a
// ".BAK" that a replacement left beside its file.
bool IsProfileHiveName(const WIN32_FIND_DATAA& found) {
    const char* name = found.cFileName;
    size_t length = strlen(name);
    return !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && strcmp(name, ".DEFAULT") != 0 &&
           !(length > 4 && !lstrcmpiA(name + length - 4, ".BAK"));
}

// Every profile with a working copy ("USERS") has its original beside the others: one that
// is missing would leave that profile rewritten while the rest come back. 1 or 0 (reported).
int EveryProfileHasItsOriginal() {
    const char* work = jobSettings->workDirectory;
    char pattern[MAX_PATH], original[MAX_PATH];
    if (!JoinPath(pattern, work, "USERS\\*")) return 0;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(pattern, &found);
    if (find == INVALID_HANDLE_VALUE) return 1;
    int ok = 1;
    do {
        if (!IsProfileHiveName(found)) continue;
        int a = snprintf(original, sizeof original, "%s\\ORIGINAL\\USERS\\%s", work, found.cFileName);
        ok = a >= 0 && a < MAX_PATH && OriginalPending(original) >= 0;
    } while (ok && FindNextFileA(find, &found));
    FindClose(find);
    return ok;
}

// The profile hives saved in stage 4 ("ORIGINAL\USERS", all but .DEFAULT). 1 or 0 (reported).
int ScheduleOriginalProfiles(const SidPairList* renames) {
    const char* work = jobSettings->workDirectory;
    char pattern[MAX_PATH], original[MAX_PATH];
    if (!EveryProfileHasItsOriginal()) return 0;
    if (!JoinPath(pattern, work, "ORIGINAL\\USERS\\*")) return 0;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(pattern, &found);
    if (find == INVALID_HANDLE_VALUE) return 1;
    int ok = 1;
    do {
        const char* name = found.cFileName;
        size_t length = strlen(name);
        // A ".BAK" file is a hive that an earlier restore replaced: its original is in place.
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !strcmp(name, ".DEFAULT") ||
            (length > 4 && !lstrcmpiA(name + length - 4, ".BAK")))
            continue;
        int a = snprintf(original, sizeof original, "%s\\ORIGINAL\\USERS\\%s", work, name);
        if (a < 0 || a >= MAX_PATH) continue;
        LogDebugPath(original);
        ok = ScheduleProfileHive(name, original, renames);
    } while (ok && FindNextFileA(find, &found));
    FindClose(find);
    return ok;
}

}  // namespace

int StoreJobSids() {
    JobSettings* job = jobSettings;
    JobSids sids;
    memset(&sids, 0, sizeof sids);
    sids.count = job->replaceDomainSid && job->oldDomainSid && job->newDomainSid ? 2 : 1;
    memcpy(&sids.oldSid[0], job->originalSid, kSidSize);
    memcpy(&sids.newSid[0], job->newSid, kSidSize);
    if (sids.count == 2) {
        memcpy(&sids.oldSid[1], job->oldDomainSid, kSidSize);
        memcpy(&sids.newSid[1], job->newDomainSid, kSidSize);
    }
    char path[MAX_PATH], temp[MAX_PATH];
    if (!JoinPath(path, job->workDirectory, kJobSidsName) || !JoinPath(temp, job->workDirectory, "SIDS.NEW")) return 0;
    // Written aside, committed to the disk ("c": fflush reaches it) and moved into place
    // through: a record that exists after a power loss is always whole.
    FILE* file = fopen(temp, "wbc");
    bool written = file && fwrite(&sids, 1, sizeof sids, file) == sizeof sids && fflush(file) == 0;
    if (file && fclose(file) != 0) written = false;
    if (!written || !MoveFileExA(temp, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ReportNumberText("Error %d storing the SIDs of the job to '%s'", (long)GetLastError(), path);
        return 0;
    }
    return 1;
}

int ReadJobSids(const char* directory, JobSids* sids) {
    char path[MAX_PATH];
    int length = snprintf(path, sizeof path, "%s\\%s", directory, kJobSidsName);
    if (!directory[0] || length < 0 || length >= MAX_PATH) return 0;
    FILE* file = fopen(path, "rb");
    if (!file) return 0;
    size_t got = fread(sids, 1, sizeof *sids, file);
    fclose(file);
    return got == sizeof *sids && (sids->count == 1 || sids->count == 2);
}

int DiscardJobSids() {
    char path[MAX_PATH];
    if (!JoinPath(path, jobSettings->workDirectory, kJobSidsName)) return 0;
    if (DeleteFileA(path) || GetLastError() == ERROR_FILE_NOT_FOUND) return 1;
    ReportNumberText("Error %d removing '%s'", (long)GetLastError(), path);
    return 0;
}

int ScheduleOriginalHives(const SidPairList* renames) {
    char original[MAX_PATH];
    char path[MAX_PATH];
    if (!JoinPath(original, jobSettings->workDirectory, "ORIGINAL")) return 0;
    for (const HiveFile& hive : kHiveSet) {
        if (!JoinPath(path, original, hive.file)) return 0;
        LogDebugPath(path);
        int pending = OriginalPending(path);
        if (pending < 0 || (pending && !ReplaceHiveFromFile(hive.root, hive.subkey, path))) return 0;
    }
    return ScheduleOriginalProfiles(renames);
}

int RestoreOriginalHives() {
    JobSettings* job = jobSettings;
    if (!job->changesMade) {
        // Nothing in the registry or the hive files was touched: the job is simply cleaned up.
        CleanPreviousRun();
        return 0;
    }
    StatusLine("Restoring Original Registry Files...", logStream);
    SidPairList renames;
    memset(&renames, 0, sizeof renames);
    renames.oldText[renames.count] = job->originalSidText;
    renames.newText[renames.count++] = job->newSidText;
    if (job->replaceDomainSid) {
        renames.oldText[renames.count] = job->oldDomainSidText;
        renames.newText[renames.count++] = job->newDomainSidText;
    }
    if (!ScheduleOriginalHives(&renames)) return -1;
    // The restore is scheduled whole: the next boot need not undo anything more.
    DiscardJobSids();
    LogLine("Complete: Original Registry Restored Successfully.", logStream);
    return 1;
}

int CleanPreviousRun() { return RemoveJobDirectories() == 0 ? RemoveJobSettings() : -1; }

int RemoveJobDirectories() {
    jobSettings->stage = -1;
    if (jobSettings->useLogFile && !logStream) OpenLogFile(jobSettings->logFileName, "a+t");
    StatusLine("Cleaning Up:", logStream);
    if (jobSettings->removeTemp) {
        LogLine("   Removing temporary directory from previous run", logStream);
        if (!RemoveWorkDirectory(jobSettings->previousWorkDirectory) ||
            !RemoveWorkDirectory(jobSettings->workDirectory)) {
            ReportNumber("Error %d attempting to clean up temporary directory", (long)GetLastError());
            return -1;
        }
    }
    return 0;
}

int RemoveJobSettings() {
    LogLine("   Updating configuration...", logStream);
    if (!DeleteProgramKey()) {
        ReportError("Error: Unable to remove program registry settings", logStream);
        return -1;
    }
    LogLine("   Program Registry Settings Removed Successfully.", logStream);
    DeleteFileA(kSidFileName);
    LogLine("Complete.", logStream);
    return 0;
}

int DeleteProgramKey() {
    SetLastError(ERROR_SUCCESS);
    LONG result = DeleteKeyTree(HKEY_LOCAL_MACHINE, kProgramKey, kProgramKeySecurityName);
    if (result != ERROR_SUCCESS) {
        DWORD err = KeyTreeError(result, kProgramKey);
        if (err == ERROR_FILE_NOT_FOUND || err == ERROR_NONE_MAPPED) return 0;
        ReportNumber("Error %d deleting program registry key", (long)err);
        return 0;
    }
    HKEY company = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCompanyKey, 0, KEY_ALL_ACCESS, &company) != ERROR_SUCCESS) return 1;
    char name[256];
    DWORD size = sizeof name;
    LONG enumerated = RegEnumKeyExA(company, 0, name, &size, nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(company);
    // Another product of the company may still keep its settings there.
    if (enumerated != ERROR_NO_MORE_ITEMS) return 1;
    SetLastError(ERROR_SUCCESS);
    result = DeleteKeyTree(HKEY_LOCAL_MACHINE, kCompanyKey, kCompanyKeySecurityName);
    if (result != ERROR_SUCCESS) {
        DWORD err = GetLastError();
        ReportNumber("Error %d deleting company registry key", (long)(err ? err : (DWORD)result));
        return 0;
    }
    return 1;
}
