// Reading and generating the machine SID.
#include "identity/machine_sid.h"

#include <cstring>

#include "core/output.h"

namespace {

const char* const kPolicyObjects[3] = {"MACHINE\\SECURITY", "MACHINE\\SECURITY\\Policy",
                                       "MACHINE\\SECURITY\\Policy\\PolAcDmS"};

typedef NTSTATUS(WINAPI* NtQuerySystemTimeFunction)(PLARGE_INTEGER);
typedef NTSTATUS(WINAPI* NtQueryInformationThreadFunction)(HANDLE, int, PVOID, ULONG, PULONG);

template <class F>
F FunctionFrom(FARPROC p) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(p));
}

DWORD Draw(DWORD* state) {
    *state = *state * 214013u + 2531011u;
    return (*state >> 16) & 0x7FFF;
}

// Writes the DACL of descriptor to a policy key ("MACHINE\SECURITY...") through a handle and
// RegSetKeySecurity, so that the key gets exactly these bytes: the security API's write by
// name would, from Windows 2000 on, also recompute the inherited entries of every key below.
BOOL WritePolicyKeyDacl(const char* objectName, PSECURITY_DESCRIPTOR descriptor) {
    const char* prefix = "MACHINE\\";
    size_t n = strlen(prefix);
    if (strncmp(objectName, prefix, n) != 0) return FALSE;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, objectName + n, 0, WRITE_DAC, &key) != ERROR_SUCCESS) return FALSE;
    LONG err = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
    RegCloseKey(key);
    return err == ERROR_SUCCESS;
}

// The same for a DACL alone.
BOOL WritePolicyKeyAcl(const char* objectName, PACL dacl) {
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, dacl, FALSE))
        return FALSE;
    return WritePolicyKeyDacl(objectName, &descriptor);
}

}  // namespace

DWORD SidNumberFromSeed(DWORD seed) {
    DWORD state = seed;
    DWORD first = Draw(&state);
    DWORD second = Draw(&state);
    return first * 65536u + second;
}

BOOL GrantKeyFullAccess(const char* objectName, const char* accountName, PACL* previousDacl,
                        PSECURITY_DESCRIPTOR* descriptor) {
    *previousDacl = nullptr;
    *descriptor = nullptr;
    if (GetNamedSecurityInfoA(objectName, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, previousDacl,
                              nullptr, descriptor) != ERROR_SUCCESS) {
        *previousDacl = nullptr;
        *descriptor = nullptr;
        return FALSE;
    }
    EXPLICIT_ACCESS_A access;
    memset(&access, 0, sizeof access);
    BuildExplicitAccessWithNameA(&access, const_cast<LPSTR>(accountName), GENERIC_ALL, GRANT_ACCESS, NO_INHERITANCE);
    PACL merged = nullptr;
    if (SetEntriesInAclA(1, &access, *previousDacl, &merged) != ERROR_SUCCESS) return FALSE;
    BOOL ok = WritePolicyKeyAcl(objectName, merged);
    LocalFree(merged);
    return ok;
}

BOOL RestoreKeyDacl(const char* objectName, PACL previousDacl) {
    if (!previousDacl) return FALSE;
    return WritePolicyKeyAcl(objectName, previousDacl);
}

BOOL ReadMachineSid(const char* accountName, BYTE* buffer, DWORD* size) {
    PACL previous[3] = {nullptr, nullptr, nullptr};
    PSECURITY_DESCRIPTOR descriptors[3] = {nullptr, nullptr, nullptr};
    BOOL widened[3] = {FALSE, FALSE, FALSE};
    // A refused grant is no reason to stop: the read is tried under the keys' own DACLs.
    for (int i = 0; i < 3; ++i)
        widened[i] = GrantKeyFullAccess(kPolicyObjects[i], accountName, &previous[i], &descriptors[i]);

    BOOL ok = FALSE;
    HKEY key = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "SECURITY\\Policy\\PolAcDmS", &key) == ERROR_SUCCESS) {
        ok = RegQueryValueExA(key, nullptr, nullptr, nullptr, buffer, size) == ERROR_SUCCESS;
        RegCloseKey(key);
    }
    // Innermost first, so that each parent is narrowed only after its children.
    // A key left open to the account is a failure, not a successful read: the caller stops
    // the run before it changes anything, and the operator is told.
    for (int i = 2; i >= 0; --i) {
        // As read, with its control bits (a protected DACL stays protected).
        BOOL restored = previous[i] && WritePolicyKeyDacl(kPolicyObjects[i], descriptors[i]);
        if (!restored && widened[i]) ok = FALSE;
        if (descriptors[i]) LocalFree(descriptors[i]);
    }
    return ok;
}

BOOL GenerateMachineSid(Sid** newSid) {
    *newSid = nullptr;
    HMODULE ntdll = LoadLibraryA("NTDLL.DLL");
    if (!ntdll) {
        ReportError("ERROR: Unable to load NTDLL.DLL", logStream);
        return FALSE;
    }
    // Seed A: only the low 16 bits of the tick count survive the shift.
    SYSTEMTIME now;
    DWORD tick = GetTickCount();
    GetSystemTime(&now);
    DWORD seedA = tick * 65536u + now.wMilliseconds;

    auto querySystemTime = FunctionFrom<NtQuerySystemTimeFunction>(GetProcAddress(ntdll, "NtQuerySystemTime"));
    if (!querySystemTime) {
        ReportError("ERROR: Unable to get address of NtQuerySystemTime()", logStream);
        FreeLibrary(ntdll);
        return FALSE;
    }
    LARGE_INTEGER systemTime;
    systemTime.QuadPart = 0;
    querySystemTime(&systemTime);
    DWORD seedB = (DWORD)(systemTime.QuadPart & 0xFFFFFFFF);

    auto queryThread =
        FunctionFrom<NtQueryInformationThreadFunction>(GetProcAddress(ntdll, "NtQueryInformationThread"));
    if (!queryThread) {
        ReportError("ERROR: Unable to get address of NtQueryInformationThread()", logStream);
        FreeLibrary(ntdll);
        return FALSE;
    }
    // Cleared first: if the query fails, the third seed is 0 rather than stack noise.
    BYTE times[32];
    memset(times, 0, sizeof times);
    queryThread((HANDLE)(LONG_PTR)-2, 1, times, sizeof times, nullptr);
    DWORD seedC;
    memcpy(&seedC, times, sizeof seedC);

    SID_IDENTIFIER_AUTHORITY ntAuthority = {{0, 0, 0, 0, 0, 5}};
    PSID sid = nullptr;
    BOOL ok = AllocateAndInitializeSid(&ntAuthority, 4, 21, SidNumberFromSeed(seedA), SidNumberFromSeed(seedB),
                                       SidNumberFromSeed(seedC), 0, 0, 0, 0, &sid);
    FreeLibrary(ntdll);
    if (!ok) return FALSE;
    *newSid = static_cast<Sid*>(sid);
    return TRUE;
}
