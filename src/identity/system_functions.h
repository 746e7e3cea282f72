// The optional platform functions, bound by name on first use so that the program
// starts on every NT version (SystemFunctions), and the registry key object through
// which the identity and restart steps read and write their string values (RegistryKey).
#pragma once
#include "nt/win32.h"

// Result codes of RegistryKey (0 is success).
enum RegistryKeyResult {
    kKeyNotOpen = 4096,       // the key is not open
    kKeyAlreadyOpen = 4097,   // the root or path cannot change while it is open
    kValueNotString = 4098,   // neither REG_SZ nor REG_EXPAND_SZ
    kKeyOpenFailed = 4099,    // the platform's error is the thread's last error
    kKeyCloseFailed = 4100,
    kValueReadFailed = 4101,
    kValueWriteFailed = 4102
};

// Loads the system libraries at construction (on Windows NT only) and releases them at
// destruction. Each member takes the arguments of the platform function of its name;
// a function the system lacks returns the failure value without calling anything, and
// is looked up again on the next call.
class SystemFunctions {
public:
    enum { kLibraryCount = 10 };
    SystemFunctions();
    ~SystemFunctions();
    SystemFunctions(const SystemFunctions&) = delete;
    SystemFunctions& operator=(const SystemFunctions&) = delete;

    // Unbound: STATUS_PROCEDURE_NOT_FOUND (0xC000007A).
    NTSTATUS LsaSetTrustedDomainInformation(LSA_HANDLE PolicyHandle, PSID TrustedDomainSid,
                                            TRUSTED_INFORMATION_CLASS InformationClass, PVOID Buffer);
    NTSTATUS LsaStorePrivateData(LSA_HANDLE PolicyHandle, PLSA_UNICODE_STRING KeyName, PLSA_UNICODE_STRING PrivateData);
    // Unbound: ERROR_PROC_NOT_FOUND (NetApiBufferFree then frees nothing).
    NET_API_STATUS NetServerGetInfo(LMSTR servername, DWORD level, LPBYTE* bufptr);
    NET_API_STATUS NetApiBufferFree(LPVOID Buffer);
    NET_API_STATUS NetUserModalsGet(LPCWSTR servername, DWORD level, LPBYTE* bufptr);
    // Unbound: 3 (ERROR_PATH_NOT_FOUND).
    NET_API_STATUS NetJoinDomain(LPCWSTR lpServer, LPCWSTR lpDomain, LPCWSTR lpAccountOU, LPCWSTR lpAccount,
                                 LPCWSTR lpPassword, DWORD fJoinOptions);
    // Unbound: FALSE.
    BOOL SetComputerNameExA(COMPUTER_NAME_FORMAT NameType, LPCSTR lpBuffer);
    // Unbound (NT 4.0, 2000, XP before SP2): FALSE, and *Wow64Process is left alone.
    BOOL IsWow64Process(HANDLE hProcess, PBOOL Wow64Process);

    // ADVAPI32, NETAPI32, KERNEL32, IPHLPAPI, NTDLL, PSAPI, USERENV, SECUR32, ACTIVEDS, ADSIID;
    // an empty handle where a library could not be loaded.
    HMODULE libraries[kLibraryCount];

private:
    enum Function {
        kLsaSetTrustedDomainInformation,
        kLsaStorePrivateData,
        kNetServerGetInfo,
        kNetApiBufferFree,
        kNetUserModalsGet,
        kNetJoinDomain,
        kSetComputerNameExA,
        kIsWow64Process,
        kFunctionCount
    };
    FARPROC Bind(Function function);
    FARPROC entries[kFunctionCount];
};

// A registry key: a root, a subkey path, and while open its handle. Destroying an open
// key closes it.
class RegistryKey {
public:
    RegistryKey();
    RegistryKey(HKEY rootKey, const char* subkeyPath);
    virtual ~RegistryKey();
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    int SetRoot(HKEY rootKey);
    int SetPath(const char* subkeyPath);
    // Full access when create is set or readOnly clear, GENERIC_READ otherwise; view 1
    // adds the 32-bit registry view, view 2 the 64-bit one. Create makes a missing key.
    int Open(BOOL create, BOOL readOnly, int view);
    int OpenForReading(int view) { return Open(FALSE, TRUE, view); }
    int Close();
    // The string ends at its first zero; text holds at most textSize - 1 characters
    // (a longer value is refused with 4101 rather than cut).
    int ReadString(const char* valueName, char* text, DWORD textSize);
    int WriteString(const char* valueName, const char* text);

    HKEY root;
    char path[1024];
    BOOL open;
    HKEY handle;

private:
    BOOL pathTooLong;
};
