// The job record: defaults, the stored settings (registry values and SidFile),
// and the process environment operations.
#include "core/job_settings.h"

#include <cstring>
#include <ctime>
#include <new>

#include "core/output.h"

JobSettings* jobSettings = nullptr;
DWORD verboseLog = 0;
DWORD debugMode = 0;

const char* const kSidFileName = "\\tessiv.sid";
const char* const kProgramKeyPath = "Quorvel\\Tessiv";

static const char* const kPrivileges[4] = {"SeBackupPrivilege", "SeRestorePrivilege", "SeSecurityPrivilege",
                                           "SeTakeOwnershipPrivilege"};

void JobSettings::SetDefaults() {
    memset(this, 0, sizeof *this);
    programKeyName = kProgramKeyPath;
    removeTemp = 1;
    processFileSystem = 1;
    snprintf(logFileName, sizeof logFileName, "%s", kDefaultLogFileName);
}

Sid* NewSidBuffer() {
    Sid* buffer = new (std::nothrow) Sid;
    if (buffer) memset(buffer, 0, sizeof *buffer);
    return buffer;
}

void FreeSidBuffer(Sid* buffer) { delete buffer; }

JobSettings* CreateJobSettings() {
    if (jobSettings) return jobSettings;
    jobSettings = new JobSettings;
    jobSettings->SetDefaults();
    verboseLog = 0;
    debugMode = 0;
    for (const char* name : kPrivileges) EnablePrivilege(name, TRUE);
    GetRunningAccount(jobSettings);
    return jobSettings;
}

void DestroyJobSettings() {
    if (!jobSettings) return;
    CloseLogFile();
    for (const char* name : kPrivileges) EnablePrivilege(name, FALSE);
    delete jobSettings;
    jobSettings = nullptr;
}

namespace {

// The stored values in their order; TempDir is written from workDirectory but read
// into previousWorkDirectory, SystemShutDown is written and never read back.
struct StoredValue {
    const char* name;
    DWORD type;
    size_t field;     // offset in the record of the value written
    size_t readInto;  // offset of the field read back, or 0 = not read
    DWORD readSize;   // the largest value read back
};

#define FIELD(f) offsetof(JobSettings, f)
const StoredValue kValues[15] = {
    {"ChangeComputerName", REG_DWORD, FIELD(changeComputerName), FIELD(changeComputerName), 4},
    {"UseLogFile", REG_DWORD, FIELD(useLogFile), FIELD(useLogFile), 4},
    {"CleanOnly", REG_DWORD, FIELD(cleanOnly), FIELD(cleanOnly), 4},
    {"RemoveEXE", REG_DWORD, FIELD(removeExe), FIELD(removeExe), 4},
    {"RemoveTemp", REG_DWORD, FIELD(removeTemp), FIELD(removeTemp), 4},
    {"EstDomTrust", REG_DWORD, FIELD(establishDomainTrust), FIELD(establishDomainTrust), 4},
    {"LogFileName", REG_SZ, FIELD(logFileName), FIELD(logFileName), MAX_PATH},
    {"NewComputerName", REG_SZ, FIELD(newComputerName), FIELD(newComputerName), 16},
    {"DataFileName", REG_SZ, FIELD(dataFileName), FIELD(dataFileName), MAX_PATH},
    {"UseDataFile", REG_DWORD, FIELD(useSyncFile), FIELD(useSyncFile), 4},
    {"TempDir", REG_SZ, FIELD(workDirectory), FIELD(previousWorkDirectory), MAX_PATH},
    {"UseSysPrep", REG_DWORD, FIELD(useSysPrep), FIELD(useSysPrep), 4},
    {"ProcessFileSystem", REG_DWORD, FIELD(processFileSystem), FIELD(processFileSystem), 4},
    {"VerboseLog", REG_DWORD, 0, 0, 4},  // the process-wide flag, not a field
    {"SystemShutDown", REG_DWORD, FIELD(systemShutDown), 0, 0},
};
#undef FIELD

// The order in which LoadSettings reads them (TempDir comes before NewComputerName).
const int kLoadOrder[14] = {0, 1, 2, 3, 4, 5, 6, 10, 7, 8, 9, 11, 12, 13};

void CloseProgramKeys(JobSettings* job) {
    if (job->programKey) RegCloseKey(job->programKey);
    if (job->softwareKey) RegCloseKey(job->softwareKey);
    job->programKey = nullptr;
    job->softwareKey = nullptr;
}

int OpenProgramKeys(JobSettings* job) {
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_ALL_ACCESS, &job->softwareKey) != ERROR_SUCCESS) {
        job->softwareKey = nullptr;
        ReportError("Error: Unable to open SOFTWARE registry key", logStream);
        return 0;
    }
    DWORD disposition = 0;
    if (RegCreateKeyExA(job->softwareKey, job->programKeyName, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, &job->programKey, &disposition) != ERROR_SUCCESS) {
        job->programKey = nullptr;
        ReportError("Error: Unable to open program registry key", logStream);
        return 0;
    }
    return 1;
}

}  // namespace

int JobSettings::SaveSettings(int writeSidFile) {
    int ok = OpenProgramKeys(this);
    for (int i = 0; ok && i < 15; ++i) {
        const StoredValue& v = kValues[i];
        const BYTE* data;
        DWORD size;
        if (v.type == REG_DWORD) {
            data = v.field ? reinterpret_cast<const BYTE*>(this) + v.field : reinterpret_cast<const BYTE*>(&verboseLog);
            size = 4;
        } else {
            const char* text = reinterpret_cast<const char*>(this) + v.field;
            data = reinterpret_cast<const BYTE*>(text);
            size = (DWORD)strlen(text) + 1;  // with its terminating zero
        }
        if (RegSetValueExA(programKey, v.name, 0, v.type, data, size) != ERROR_SUCCESS) ok = 0;
    }
    // Written through to the hive file: the next boot decides by them, even after a power loss.
    if (ok && RegFlushKey(programKey) != ERROR_SUCCESS) ok = 0;
    if (!ok) ShowAppMessage(nullptr, "Error storing program configuration to registry", MB_ICONHAND);

    if (writeSidFile) {
        // Written even after a registry failure: the service may still find it.
        // Committed to the disk: the run after the preparation tool's restart reads it.
        FILE* file = originalSid ? fopen(kSidFileName, "wbc") : nullptr;
        bool written = false;
        if (file) {
            written = fwrite(originalSid, 1, kSidSize, file) == kSidSize && fflush(file) == 0;
            if (fclose(file) != 0) written = false;
        }
        if (!written) {
            ShowAppMessage(nullptr, "Error storing SID information to file", MB_ICONHAND);
            ok = 0;
        }
    }
    CloseProgramKeys(this);
    return ok;
}

int JobSettings::LoadSettings() {
    if (!OpenProgramKeys(this)) {
        CloseProgramKeys(this);
        return 0;
    }
    int ok = 1;
    for (int k = 0; ok && k < 14; ++k) {
        const StoredValue& v = kValues[kLoadOrder[k]];
        BYTE data[MAX_PATH];
        memset(data, 0, sizeof data);
        DWORD size = v.readSize;
        if (RegQueryValueExA(programKey, v.name, nullptr, nullptr, data, &size) != ERROR_SUCCESS) {
            ok = 0;
            break;
        }
        if (v.type == REG_DWORD) {
            DWORD value;
            memcpy(&value, data, 4);
            if (v.readInto)
                memcpy(reinterpret_cast<BYTE*>(this) + v.readInto, &value, 4);
            else
                verboseLog = value;
        } else {
            // A text that fills its buffer without a terminator would overrun later reads.
            if (memchr(data, 0, size < v.readSize ? size + 1 : v.readSize) == nullptr) {
                ok = 0;
                break;
            }
            memcpy(reinterpret_cast<BYTE*>(this) + v.readInto, data, v.readSize);
        }
    }
    CloseProgramKeys(this);
    if (!ok) return 0;

    if (!originalSid) originalSid = NewSidBuffer();
    FILE* file = originalSid ? fopen(kSidFileName, "rb") : nullptr;
    if (!file) return 0;
    // A short SidFile is not a SID: the load fails rather than keep a partial value.
    size_t got = fread(originalSid, 1, kSidSize, file);
    fclose(file);
    return got == kSidSize ? 1 : 0;
}

int StoredSettingsFound(const JobSettings* job) {
    char path[MAX_PATH];
    int length = snprintf(path, sizeof path, "Software\\%s", job->programKeyName);
    HKEY key = nullptr;
    if (length < 0 || length >= MAX_PATH || RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    DWORD value = 0, size = sizeof value;
    LONG err = RegQueryValueExA(key, "CleanOnly", nullptr, nullptr, (BYTE*)&value, &size);
    RegCloseKey(key);
    return err == ERROR_SUCCESS ? 1 : 0;
}

BOOL EnablePrivilege(const char* name, BOOL enable) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return FALSE;
    TOKEN_PRIVILEGES privileges;
    memset(&privileges, 0, sizeof privileges);
    BOOL ok = LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid);
    if (ok) {
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
        ok = AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    }
    CloseHandle(token);
    return ok ? TRUE : FALSE;
}

// A wide text into an 8-bit buffer, with its terminator; false when it does not fit.
static bool ToAnsi(const WCHAR* text, char* out, int size) {
    if (!text) return false;
    return WideCharToMultiByte(CP_ACP, 0, text, -1, out, size, nullptr, nullptr) > 0;
}

BOOL GetRunningAccount(JobSettings* job) {
    // The workstation service knows the logon domain; it may still be starting.
    time_t deadline = time(nullptr) + 30;
    LPBYTE buffer = nullptr;
    NET_API_STATUS status = NetWkstaUserGetInfo(nullptr, 1, &buffer);
    while (status == NERR_WkstaNotStarted) {
        if (time(nullptr) >= deadline) break;
        Sleep(500);
        status = NetWkstaUserGetInfo(nullptr, 1, &buffer);
    }
    if (status == NERR_Success && buffer) {
        const WKSTA_USER_INFO_1* info = reinterpret_cast<const WKSTA_USER_INFO_1*>(buffer);
        char user[sizeof job->userName];
        char domain[sizeof job->accountDomainName];
        bool converted = ToAnsi(info->wkui1_username, user, sizeof user) &&
                         ToAnsi(info->wkui1_logon_domain, domain, sizeof domain);
        NetApiBufferFree(buffer);
        if (converted) {
            memcpy(job->userName, user, sizeof user);
            memcpy(job->accountDomainName, domain, sizeof domain);
            return TRUE;
        }
    } else if (buffer) {
        NetApiBufferFree(buffer);
    }

    DWORD userSize = sizeof job->userName;
    if (!GetUserNameA(job->userName, &userSize)) {
        snprintf(job->message, sizeof job->message, "Error %d getting user name", (int)GetLastError());
        ReportError(job->message, logStream);
        return FALSE;
    }
    BYTE sid[64];
    DWORD sidSize = sizeof sid;
    DWORD domainSize = sizeof job->accountDomainName;
    SID_NAME_USE use;
    if (!LookupAccountNameA(nullptr, job->userName, sid, &sidSize, job->accountDomainName, &domainSize, &use)) {
        snprintf(job->message, sizeof job->message, "Error %d getting domain name (dwUDSize = %d; dwTempSidSize = %d)",
                 (int)GetLastError(), (int)domainSize, (int)sidSize);
        ReportError(job->message, logStream);
        return FALSE;
    }
    return TRUE;
}

// True when the text's last character (not the trail byte of a double-byte one) is a backslash.
static bool EndsWithBackslash(const char* text) {
    const char* last = nullptr;
    for (const char* p = text; *p; ++p) {
        last = p;
        if (IsDBCSLeadByte((BYTE)*p) && p[1]) ++p;
    }
    return last && *last == '\\';
}

static bool AppendText(char* buffer, const char* text) {
    size_t have = strlen(buffer), add = strlen(text);
    if (have + add >= MAX_PATH) return false;
    memcpy(buffer + have, text, add + 1);
    return true;
}

int GetWorkFolder(char* buffer) {
    char temp[MAX_PATH];
    char system[MAX_PATH];
    buffer[0] = 0;
    DWORD n = GetTempPathA(MAX_PATH, temp);
    if (n == 0 || n >= MAX_PATH) return 0;
    n = GetSystemDirectoryA(system, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 0;
    memcpy(buffer, temp, strlen(temp) + 1);
    // Only a temporary folder on the system drive will do; otherwise one below the system directory.
    if (CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, temp, 3, system, 3) != CSTR_EQUAL) {
        memcpy(buffer, system, strlen(system) + 1);
        if (!EndsWithBackslash(buffer) && !AppendText(buffer, "\\")) return 0;
        if (!AppendText(buffer, "qrvstmp")) return 0;
        CreateDirectoryA(buffer, nullptr);
    }
    if (!EndsWithBackslash(buffer) && !AppendText(buffer, "\\")) return 0;
    return 1;
}
