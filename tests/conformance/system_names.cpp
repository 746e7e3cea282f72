// Conformance of the computer name calls and the binding of optional functions: the
// buffer rules of GetComputerNameA, exports that follow the Windows version, and the
// status numbers the trust calls rely on.
#include <string.h>

#include "conformance/conformance.h"

CONFORMANCE_TEST(computer_name_buffer) {
    char name[64];
    memset(name, 'x', sizeof name);
    DWORD size = sizeof name;
    ok(GetComputerNameA(name, &size), "GetComputerNameA: error %lu", (unsigned long)GetLastError());
    size_t length = strlen(name);
    ok(size == length && length > 0 && length <= MAX_COMPUTERNAME_LENGTH, "size %lu for \"%s\"", (unsigned long)size,
       name);
    ok(name[length + 1] == 'x', "nothing written past the terminator");

    // Too small by one: the size needed, with the terminator, and nothing else.
    char small[64];
    memset(small, 'x', sizeof small);
    DWORD tight = (DWORD)length;
    SetLastError(0xdeadbeef);
    ok(!GetComputerNameA(small, &tight), "a buffer without room for the terminator fails");
    ok(GetLastError() == ERROR_BUFFER_OVERFLOW, "error %lu", (unsigned long)GetLastError());
    ok(tight == length + 1, "size needed %lu", (unsigned long)tight);
}

CONFORMANCE_TEST(optional_exports_follow_the_version) {
    OSVERSIONINFOA version;
    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    ok(GetVersionExA(&version), "version");
    int nt5 = version.dwMajorVersion >= 5;
    HMODULE kernel = LoadLibraryA("KERNEL32.DLL");
    HMODULE net = LoadLibraryA("NETAPI32.DLL");
    ok(kernel && net, "kernel32 and netapi32 load");
    if (!kernel || !net) return;
    if (RunningUnderWine() && !nt5) {
        todo_wine("Wine exports the same functions whatever Windows version it is set to")
            ok(GetProcAddress(kernel, "SetComputerNameExA") == NULL, "SetComputerNameExA on %lu.%lu",
               (unsigned long)version.dwMajorVersion, (unsigned long)version.dwMinorVersion);
    } else {
        ok((GetProcAddress(kernel, "SetComputerNameExA") != NULL) == nt5, "SetComputerNameExA on %lu.%lu",
           (unsigned long)version.dwMajorVersion, (unsigned long)version.dwMinorVersion);
    }
    if (RunningUnderWine()) {
        todo_wine("Wine's netapi32 does not export NetJoinDomain") ok(GetProcAddress(net, "NetJoinDomain") != NULL,
                                                                        "NetJoinDomain");
    } else {
        ok((GetProcAddress(net, "NetJoinDomain") != NULL) == nt5, "NetJoinDomain");
    }
    ok(GetProcAddress(net, "NetServerGetInfo") != NULL && GetProcAddress(net, "NetApiBufferFree") != NULL,
       "NetServerGetInfo and NetApiBufferFree on every version");
    SetLastError(0xdeadbeef);
    ok(GetProcAddress(net, "NetNoSuchFunction") == NULL && GetLastError() == ERROR_PROC_NOT_FOUND,
       "a missing export: error %lu", (unsigned long)GetLastError());
    FreeLibrary(net);
    FreeLibrary(kernel);
}

CONFORMANCE_TEST(trust_status_numbers) {
    ok(LsaNtStatusToWinError((NTSTATUS)0xC0000035L) == ERROR_ALREADY_EXISTS, "object name collision: %lu",
       (unsigned long)LsaNtStatusToWinError((NTSTATUS)0xC0000035L));
    ok(NetApiBufferFree(NULL) == 0, "freeing no buffer");
    LPBYTE buffer = NULL;
    ok(NetUserModalsGet(NULL, 2, &buffer) == 0 && buffer, "local user modals at level 2");
    if (!buffer) return;
    const USER_MODALS_INFO_2* info = (const USER_MODALS_INFO_2*)buffer;
    ok(info->usrmod2_domain_name && info->usrmod2_domain_name[0] && IsValidSid(info->usrmod2_domain_id),
       "the account domain's name and SID");
    ok(GetLengthSid(info->usrmod2_domain_id) == 24, "a machine SID of 24 bytes: %lu",
       (unsigned long)GetLengthSid(info->usrmod2_domain_id));
    NetApiBufferFree(buffer);
}
