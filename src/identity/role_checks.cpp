// Version class, machine role, product suite and administrator checks.
#include "identity/role_checks.h"

#include <cstring>
#include <ctime>

#include "core/output.h"
#include "identity/machine_sid.h"
#include "identity/system_functions.h"

int machineRole = kStandAlone;
DWORD platformId = 0;
ProcessMutexRecord ProcessMutex = {nullptr, 0};

namespace {
bool g_classComputed = false;
OsVersionClass g_class = 0;

OsVersionClass ClassOf(const OSVERSIONINFOA& v) {
    switch (v.dwPlatformId) {
        case VER_PLATFORM_WIN32s:
            return 1;
        case VER_PLATFORM_WIN32_WINDOWS:
            if (v.dwMajorVersion == 4 && v.dwMinorVersion == 0) return 2;
            if (v.dwMajorVersion == 4 && v.dwMinorVersion == 10) return 3;
            return 4;
        case VER_PLATFORM_WIN32_NT:
            if (v.dwMajorVersion == 3 && v.dwMinorVersion == 51) return 5;
            if (v.dwMajorVersion == 4 && v.dwMinorVersion == 0) return 6;
            if (v.dwMajorVersion == 5 && v.dwMinorVersion == 0) return 7;
            if (v.dwMajorVersion == 6 && v.dwMinorVersion == 0) return 9;
            return 8;
        default:
            return 0;
    }
}
}  // namespace

BOOL ProcessMutexRecord::Create() {
    g_classComputed = false;
    g_class = 0;
    platformId = 0;
    locks = 0;
    handle = CreateMutexA(nullptr, FALSE, nullptr);
    return handle != nullptr;
}

BOOL ProcessMutexRecord::Lock(DWORD timeoutMs) {
    if (!handle) return FALSE;
    DWORD r = WaitForSingleObject(handle, timeoutMs);
    if (r != WAIT_OBJECT_0 && r != WAIT_ABANDONED) return FALSE;
    ++locks;
    return TRUE;
}

void ProcessMutexRecord::Unlock() {
    if (!handle || locks <= 0) return;
    --locks;
    ReleaseMutex(handle);
}

void ProcessMutexRecord::Close() {
    if (handle) CloseHandle(handle);
    handle = nullptr;
    locks = 0;
}

OsVersionClass GetOsVersionClass() {
    BOOL locked = ProcessMutex.Lock(INFINITE);
    if (!g_classComputed) {
        // Marked first, so that a failure is remembered as class 0.
        g_classComputed = true;
        g_class = 0;
        OSVERSIONINFOA version;
        memset(&version, 0, sizeof version);
        version.dwOSVersionInfoSize = sizeof version;
        if (GetVersionExA(&version)) {
            platformId = version.dwPlatformId;
            g_class = ClassOf(version);
        }
    }
    OsVersionClass result = g_class;
    if (locked) ProcessMutex.Unlock();
    return result;
}

int DetectMachineRole(BOOL inService) {
    int role = kStandAlone;
    // The server service may still be starting at boot: the service waits longer.
    time_t deadline = time(nullptr) + (inService ? 30 : 5);
    // Bound by name, so that a system without it still starts (the role stays 0).
    SystemFunctions functions;
    LPBYTE buffer = nullptr;
    NET_API_STATUS status = functions.NetServerGetInfo(nullptr, 101, &buffer);
    while (status == NERR_ServerNotStarted) {
        if (time(nullptr) >= deadline) break;
        Sleep(500);
        status = functions.NetServerGetInfo(nullptr, 101, &buffer);
    }
    if (status == NERR_Success && buffer) {
        DWORD type = reinterpret_cast<const SERVER_INFO_101*>(buffer)->sv101_type;
        if (type & SV_TYPE_DOMAIN_CTRL)
            role = kPrimaryDomainController;
        else if (type & SV_TYPE_DOMAIN_BAKCTRL)
            role = kBackupDomainController;
        else
            role = IsDomainMember() ? kDomainMember : kStandAlone;
    }
    if (buffer) NetApiBufferFree(buffer);
    return role;
}

BOOL IsDomainMember() {
    char message[128];
    LSA_OBJECT_ATTRIBUTES attributes;
    memset(&attributes, 0, sizeof attributes);
    LSA_HANDLE policy = nullptr;
    NTSTATUS status = LsaOpenPolicy(nullptr, &attributes, POLICY_VIEW_LOCAL_INFORMATION, &policy);
    if (status != 0) {  // STATUS_SUCCESS
        SetLastError(LsaNtStatusToWinError(status));
        snprintf(message, sizeof message, "Error %d opening local system policy", (int)status);
        ReportError(message, logStream);
        return FALSE;
    }
    BOOL member = FALSE;
    PVOID buffer = nullptr;
    status = LsaQueryInformationPolicy(policy, PolicyPrimaryDomainInformation, &buffer);
    if (status != 0) {  // STATUS_SUCCESS
        SetLastError(LsaNtStatusToWinError(status));
        snprintf(message, sizeof message, "Error %d obtaining domain status", (int)status);
        ReportError(message, logStream);
    } else {
        member = static_cast<POLICY_PRIMARY_DOMAIN_INFO*>(buffer)->Sid != nullptr;
    }
    if (buffer) LsaFreeMemory(buffer);
    LsaClose(policy);
    return member;
}

BOOL IsProductSuiteInstalled(const char* suiteName) {
    if (!suiteName) return FALSE;
    HKEY key = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\ProductOptions", &key) != ERROR_SUCCESS)
        return FALSE;
    BOOL found = FALSE;
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, "ProductSuite", nullptr, &type, nullptr, &size) == ERROR_SUCCESS && size > 0) {
        char* list = static_cast<char*>(LocalAlloc(LPTR, size));
        if (list) {
            DWORD got = size;
            if (RegQueryValueExA(key, "ProductSuite", nullptr, &type, (LPBYTE)list, &got) == ERROR_SUCCESS &&
                type == REG_MULTI_SZ) {
                // Entry by entry, never past the bytes read: an unterminated last entry is not compared.
                const char* end = list + (got < size ? got : size);
                for (const char* p = list; p < end && *p;) {
                    size_t length = strnlen(p, (size_t)(end - p));
                    if (p + length == end) break;
                    if (strcmp(p, suiteName) == 0) {
                        found = TRUE;
                        break;
                    }
                    p += length + 1;
                }
            }
            LocalFree(list);
        }
    }
    RegCloseKey(key);
    return found;
}

BOOL CheckAdministrator(JobSettings* job) {
    char name[256];
    DWORD size = sizeof name;
    if (!GetUserNameA(name, &size)) {
        ReportError("Error: Unable to read current user name from registry", logStream);
        return FALSE;
    }
    if (!job->originalSid) job->originalSid = NewSidBuffer();
    DWORD sidSize = kSidSize;
    if (!job->originalSid || !ReadMachineSid(name, reinterpret_cast<BYTE*>(job->originalSid), &sidSize)) {
        ReportError(
            "Error: You do not have enough permissions to run this utility.\n\nPlease logon as the local system "
            "Administrator.",
            logStream);
        return FALSE;
    }
    return TRUE;
}

BOOL IsDirectoryDomainController(int role, OsVersionClass versionClass) {
    return role == kPrimaryDomainController && (versionClass == 7 || versionClass == 8 || versionClass == 9);
}

BOOL RefuseDirectoryDomainController(int role, OsVersionClass versionClass) {
    if (!IsDirectoryDomainController(role, versionClass)) return FALSE;
    ShowAppMessage(nullptr, "This utility cannot be used on Active Directory domain controllers!", MB_OK);
    return TRUE;
}
