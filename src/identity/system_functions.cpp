// SystemFunctions: system libraries loaded once per procedure, functions bound by
// name on first use. RegistryKey: a key opened or created, its string values.
#include "identity/system_functions.h"

#include <cstring>

#include "identity/role_checks.h"

namespace {

const char* const kLibraries[SystemFunctions::kLibraryCount] = {
    "ADVAPI32.DLL", "NETAPI32.DLL", "KERNEL32.DLL", "IPHLPAPI.DLL", "NTDLL.DLL",
    "PSAPI.DLL",    "USERENV.DLL",  "SECUR32.DLL",  "ACTIVEDS.DLL", "ADSIID.DLL"};

// Which library each function comes from (an index above) and its exact name.
struct Binding {
    int library;
    const char* name;
};
const Binding kBindings[] = {{0, "LsaSetTrustedDomainInformation"},
                             {0, "LsaStorePrivateData"},
                             {1, "NetServerGetInfo"},
                             {1, "NetApiBufferFree"},
                             {1, "NetUserModalsGet"},
                             {1, "NetJoinDomain"},
                             {2, "SetComputerNameExA"},
                             {2, "IsWow64Process"}};

const NTSTATUS kProcedureNotFound = (NTSTATUS)0xC000007AL;  // STATUS_PROCEDURE_NOT_FOUND

typedef NTSTATUS(WINAPI* LsaSetTrustedDomainInformationFn)(LSA_HANDLE, PSID, TRUSTED_INFORMATION_CLASS, PVOID);
typedef NTSTATUS(WINAPI* LsaStorePrivateDataFn)(LSA_HANDLE, PLSA_UNICODE_STRING, PLSA_UNICODE_STRING);
typedef NET_API_STATUS(WINAPI* NetServerGetInfoFn)(LMSTR, DWORD, LPBYTE*);
typedef NET_API_STATUS(WINAPI* NetApiBufferFreeFn)(LPVOID);
typedef NET_API_STATUS(WINAPI* NetUserModalsGetFn)(LPCWSTR, DWORD, LPBYTE*);
typedef NET_API_STATUS(WINAPI* NetJoinDomainFn)(LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, DWORD);
typedef BOOL(WINAPI* SetComputerNameExAFn)(COMPUTER_NAME_FORMAT, LPCSTR);
typedef BOOL(WINAPI* IsWow64ProcessFn)(HANDLE, PBOOL);

// Through void(*)(), which converts to and from any function pointer without complaint.
template <class F>
F As(FARPROC entry) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(entry));
}

}  // namespace

SystemFunctions::SystemFunctions() {
    for (int i = 0; i < kLibraryCount; ++i) libraries[i] = nullptr;
    for (int i = 0; i < kFunctionCount; ++i) entries[i] = nullptr;
    GetOsVersionClass();  // records the platform id
    if (platformId != VER_PLATFORM_WIN32_NT) return;
    for (int i = 0; i < kLibraryCount; ++i) libraries[i] = LoadLibraryA(kLibraries[i]);
}

SystemFunctions::~SystemFunctions() {
    for (int i = 0; i < kLibraryCount; ++i)
        if (libraries[i]) FreeLibrary(libraries[i]);
}

FARPROC SystemFunctions::Bind(Function function) {
    HMODULE library = libraries[kBindings[function].library];
    if (!entries[function] && library) entries[function] = GetProcAddress(library, kBindings[function].name);
    return entries[function];
}

NTSTATUS SystemFunctions::LsaSetTrustedDomainInformation(LSA_HANDLE PolicyHandle, PSID TrustedDomainSid,
                                                         TRUSTED_INFORMATION_CLASS InformationClass, PVOID Buffer) {
    FARPROC entry = Bind(kLsaSetTrustedDomainInformation);
    if (!entry) return kProcedureNotFound;
    return As<LsaSetTrustedDomainInformationFn>(entry)(PolicyHandle, TrustedDomainSid, InformationClass, Buffer);
}

NTSTATUS SystemFunctions::LsaStorePrivateData(LSA_HANDLE PolicyHandle, PLSA_UNICODE_STRING KeyName,
                                              PLSA_UNICODE_STRING PrivateData) {
    FARPROC entry = Bind(kLsaStorePrivateData);
    if (!entry) return kProcedureNotFound;
    return As<LsaStorePrivateDataFn>(entry)(PolicyHandle, KeyName, PrivateData);
}

NET_API_STATUS SystemFunctions::NetServerGetInfo(LMSTR servername, DWORD level, LPBYTE* bufptr) {
    FARPROC entry = Bind(kNetServerGetInfo);
    if (!entry) return ERROR_PROC_NOT_FOUND;
    return As<NetServerGetInfoFn>(entry)(servername, level, bufptr);
}

NET_API_STATUS SystemFunctions::NetApiBufferFree(LPVOID Buffer) {
    FARPROC entry = Bind(kNetApiBufferFree);
    if (!entry) return ERROR_PROC_NOT_FOUND;
    return As<NetApiBufferFreeFn>(entry)(Buffer);
}

NET_API_STATUS SystemFunctions::NetUserModalsGet(LPCWSTR servername, DWORD level, LPBYTE* bufptr) {
    FARPROC entry = Bind(kNetUserModalsGet);
    if (!entry) return ERROR_PROC_NOT_FOUND;
    return As<NetUserModalsGetFn>(entry)(servername, level, bufptr);
}

NET_API_STATUS SystemFunctions::NetJoinDomain(LPCWSTR lpServer, LPCWSTR lpDomain, LPCWSTR lpAccountOU,
                                              LPCWSTR lpAccount, LPCWSTR lpPassword, DWORD fJoinOptions) {
    FARPROC entry = Bind(kNetJoinDomain);
    if (!entry) return 3;
    return As<NetJoinDomainFn>(entry)(lpServer, lpDomain, lpAccountOU, lpAccount, lpPassword, fJoinOptions);
}

BOOL SystemFunctions::SetComputerNameExA(COMPUTER_NAME_FORMAT NameType, LPCSTR lpBuffer) {
    FARPROC entry = Bind(kSetComputerNameExA);
    if (!entry) return FALSE;
    return As<SetComputerNameExAFn>(entry)(NameType, lpBuffer);
}

BOOL SystemFunctions::IsWow64Process(HANDLE hProcess, PBOOL Wow64Process) {
    FARPROC entry = Bind(kIsWow64Process);
    if (!entry) return FALSE;
    return As<IsWow64ProcessFn>(entry)(hProcess, Wow64Process);
}

RegistryKey::RegistryKey() : root(HKEY_LOCAL_MACHINE), open(FALSE), handle(nullptr), pathTooLong(FALSE) {
    path[0] = 0;
}

RegistryKey::RegistryKey(HKEY rootKey, const char* subkeyPath) : RegistryKey() {
    root = rootKey;
    SetPath(subkeyPath);
}

RegistryKey::~RegistryKey() {
    if (open) Close();
}

int RegistryKey::SetRoot(HKEY rootKey) {
    if (open) return kKeyAlreadyOpen;
    root = rootKey;
    return 0;
}

int RegistryKey::SetPath(const char* subkeyPath) {
    if (open) return kKeyAlreadyOpen;
    if (!subkeyPath) subkeyPath = "";
    size_t length = strnlen(subkeyPath, sizeof path);
    // A path that does not fit is kept out rather than cut: opening it then fails.
    pathTooLong = length == sizeof path;
    if (pathTooLong) length = 0;
    memcpy(path, subkeyPath, length);
    path[length] = 0;
    return 0;
}

int RegistryKey::Open(BOOL create, BOOL readOnly, int view) {
    if (open) return kKeyAlreadyOpen;
    if (pathTooLong) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return kKeyOpenFailed;
    }
    REGSAM access = (create || !readOnly) ? KEY_ALL_ACCESS : GENERIC_READ;
    if (view == 1) access |= KEY_WOW64_32KEY;
    if (view == 2) access |= KEY_WOW64_64KEY;
    HKEY key = nullptr;
    LONG rc;
    if (create)
        rc = RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &key, nullptr);
    else
        rc = RegOpenKeyExA(root, path, 0, access, &key);
    if (rc != ERROR_SUCCESS) {
        SetLastError((DWORD)rc);
        return kKeyOpenFailed;
    }
    handle = key;
    open = TRUE;
    return 0;
}

int RegistryKey::Close() {
    if (!open) return kKeyNotOpen;
    if (RegCloseKey(handle) != ERROR_SUCCESS) return kKeyCloseFailed;
    handle = nullptr;
    open = FALSE;
    return 0;
}

int RegistryKey::ReadString(const char* valueName, char* text, DWORD textSize) {
    if (!open) return kKeyNotOpen;
    if (!text || textSize == 0) return kValueReadFailed;
    text[0] = 0;
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(handle, valueName ? valueName : "", nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return kValueReadFailed;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return kValueNotString;
    // One byte more than asked for, so that an unterminated value still ends.
    char* buffer = static_cast<char*>(LocalAlloc(LPTR, size + 1));
    if (!buffer) return kValueReadFailed;
    DWORD got = size;
    int result = kValueReadFailed;
    if (RegQueryValueExA(handle, valueName ? valueName : "", nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &got) ==
        ERROR_SUCCESS) {
        buffer[got < size ? got : size] = 0;
        size_t length = strlen(buffer);
        if (type != REG_SZ && type != REG_EXPAND_SZ) {
            result = kValueNotString;
        } else if (length < textSize) {
            memcpy(text, buffer, length + 1);
            result = 0;
        }
    }
    LocalFree(buffer);
    return result;
}

int RegistryKey::WriteString(const char* valueName, const char* text) {
    if (!open) return kKeyNotOpen;
    if (!text) text = "";
    LONG rc = RegSetValueExA(handle, valueName ? valueName : "", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                             (DWORD)strlen(text) + 1);
    return rc == ERROR_SUCCESS ? 0 : kValueWriteFailed;
}
