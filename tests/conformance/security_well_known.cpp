// Conformance of what each Windows version knows by itself: the well-known accounts of
// NT AUTHORITY by SID and by name, and the token's default DACL.
#include <string.h>

#include "conformance/conformance.h"

namespace {

void Version(DWORD* major, DWORD* minor) {
    OSVERSIONINFOA version;
    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    *major = version.dwMajorVersion;
    *minor = version.dwMinorVersion;
}

struct WellKnown {
    DWORD rid;           // S-1-5-rid
    const char* name;    // in NT AUTHORITY
    DWORD since;         // the first version that knows it: 40, 50 or 51
};

const WellKnown kNtAuthority[] = {
    {1, "DIALUP", 40},          {2, "NETWORK", 40},
    {3, "BATCH", 40},           {4, "INTERACTIVE", 40},
    {6, "SERVICE", 40},         {7, "ANONYMOUS LOGON", 40},
    {11, "Authenticated Users", 40}, {18, "SYSTEM", 40},
    {8, "PROXY", 50},           {9, "ENTERPRISE DOMAIN CONTROLLERS", 50},
    {10, "SELF", 50},           {12, "RESTRICTED", 50},
    {13, "TERMINAL SERVER USER", 50}, {14, "REMOTE INTERACTIVE LOGON", 51},
    {19, "LOCAL SERVICE", 51},  {20, "NETWORK SERVICE", 51},
};

}  // namespace

CONFORMANCE_TEST(security_well_known_by_version) {
    DWORD major, minor;
    Version(&major, &minor);
    DWORD version = major * 10 + minor;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    for (const WellKnown& w : kNtAuthority) {
        PSID sid = NULL;
        AllocateAndInitializeSid(&nt, 1, w.rid, 0, 0, 0, 0, 0, 0, 0, &sid);
        char name[64], domain[64];
        DWORD cchName = sizeof name, cchDomain = sizeof domain;
        SID_NAME_USE use = SidTypeUnknown;
        SetLastError(0xdeadbeef);
        BOOL found = LookupAccountSidA(NULL, sid, name, &cchName, domain, &cchDomain, &use);
        DWORD error = GetLastError();
        if (version >= w.since) {
            ok(found && strcmp(name, w.name) == 0 && strcmp(domain, "NT AUTHORITY") == 0 && use == SidTypeWellKnownGroup,
               "S-1-5-%lu on %lu.%lu: %s\\%s, use %d, error %lu", (unsigned long)w.rid, (unsigned long)major,
               (unsigned long)minor, found ? domain : "?", found ? name : "?", (int)use, (unsigned long)error);
            BYTE back[SECURITY_MAX_SID_SIZE];
            DWORD cb = sizeof back;
            cchDomain = sizeof domain;
            char full[96];
            strcpy(full, "NT AUTHORITY\\");
            strcat(full, w.name);
            ok(LookupAccountNameA(NULL, full, back, &cb, domain, &cchDomain, &use) && EqualSid(back, sid),
               "%s by name on %lu.%lu", full, (unsigned long)major, (unsigned long)minor);
            cb = sizeof back;
            cchDomain = sizeof domain;
            ok(LookupAccountNameA(NULL, w.name, back, &cb, domain, &cchDomain, &use) && EqualSid(back, sid),
               "%s by its bare name", w.name);
        } else if (RunningUnderWine()) {
            todo_wine("Wine knows every well-known account whatever version it is set to")
                ok(!found, "S-1-5-%lu unknown on %lu.%lu", (unsigned long)w.rid, (unsigned long)major,
                   (unsigned long)minor);
        } else {
            ok(!found && error == ERROR_NONE_MAPPED, "S-1-5-%lu unknown on %lu.%lu: error %lu", (unsigned long)w.rid,
               (unsigned long)major, (unsigned long)minor, (unsigned long)error);
        }
        FreeSid(sid);
    }
}

CONFORMANCE_TEST(security_well_known_outside_nt_authority) {
    DWORD major, minor;
    Version(&major, &minor);
    static const struct {
        BYTE authority;
        const char* name;
        bool nt5;
    } kOthers[] = {{2, "LOCAL", false}, {3, "CREATOR OWNER SERVER", false}, {0, "NULL SID", true}};
    for (const auto& w : kOthers) {
        SID_IDENTIFIER_AUTHORITY authority = {{0, 0, 0, 0, 0, w.authority}};
        PSID sid = NULL;
        AllocateAndInitializeSid(&authority, 1, w.authority == 3 ? 2 : 0, 0, 0, 0, 0, 0, 0, 0, &sid);
        char name[64], domain[64];
        DWORD cchName = sizeof name, cchDomain = sizeof domain;
        SID_NAME_USE use = SidTypeUnknown;
        BOOL found = LookupAccountSidA(NULL, sid, name, &cchName, domain, &cchDomain, &use);
        if (!w.nt5 || major >= 5)
            ok(found && strcmp(name, w.name) == 0 && domain[0] == 0 && use == SidTypeWellKnownGroup, "%s: %s, use %d",
               w.name, found ? name : "none mapped", (int)use);
        FreeSid(sid);
    }
}

CONFORMANCE_TEST(security_token_default_dacl) {
    HANDLE token = NULL;
    ok(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token), "OpenProcessToken");
    DWORD need = 0;
    SetLastError(0xdeadbeef);
    ok(!GetTokenInformation(token, TokenDefaultDacl, NULL, 0, &need) && GetLastError() == ERROR_INSUFFICIENT_BUFFER,
       "size query: error %lu", (unsigned long)GetLastError());
    ok(need >= sizeof(TOKEN_DEFAULT_DACL) + sizeof(ACL), "%lu bytes", (unsigned long)need);
    BYTE buf[512];
    memset(buf, 0x5A, sizeof buf);
    DWORD got = 0;
    BOOL read = need <= sizeof buf && GetTokenInformation(token, TokenDefaultDacl, buf, need, &got);
    ok(read && got == need, "TokenDefaultDacl: error %lu", (unsigned long)GetLastError());
    if (!read) {
        CloseHandle(token);
        return;
    }
    PACL dacl = ((TOKEN_DEFAULT_DACL*)buf)->DefaultDacl;
    ok(dacl && (BYTE*)dacl >= buf && (BYTE*)dacl + dacl->AclSize <= buf + need && IsValidAcl(dacl),
       "the DACL lies in the buffer");
    ok(buf[need] == 0x5A, "nothing written past the size");
    // SYSTEM has every right in the DACL that new objects without inheritance receive.
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID system = NULL;
    AllocateAndInitializeSid(&nt, 1, 18, 0, 0, 0, 0, 0, 0, 0, &system);
    bool systemAll = false;
    for (WORD i = 0; dacl && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = NULL;
        if (GetAce(dacl, i, (LPVOID*)&ace) && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            EqualSid(&ace->SidStart, system) && ace->Mask == GENERIC_ALL)
            systemAll = true;
    }
    ok(systemAll, "SYSTEM has GENERIC_ALL");
    FreeSid(system);
    CloseHandle(token);
}
