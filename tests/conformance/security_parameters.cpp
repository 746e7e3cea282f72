// Conformance of the security calls' edges: the descriptor's minimum length, InitializeAcl's
// and EqualSid's errors, GetNamedSecurityInfoA's parameter checks and SetEntriesInAclA's
// output by Windows version.
#include <string.h>

#include "conformance/conformance.h"

static bool AtLeastNt5(void) {
    OSVERSIONINFOA version;
    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    return GetVersionExA(&version) && version.dwMajorVersion >= 5;
}

CONFORMANCE_TEST(security_descriptor_min_length) {
    ok(SECURITY_DESCRIPTOR_MIN_LENGTH == sizeof(SECURITY_DESCRIPTOR), "minimum length %lu, the absolute form %lu",
       (unsigned long)SECURITY_DESCRIPTOR_MIN_LENGTH, (unsigned long)sizeof(SECURITY_DESCRIPTOR));
    ok(sizeof(SECURITY_DESCRIPTOR) == (sizeof(void*) == 8 ? 40u : 20u), "absolute form of %lu bytes",
       (unsigned long)sizeof(SECURITY_DESCRIPTOR));
    // A buffer of the minimum length holds an absolute descriptor.
    DWORD buf[(SECURITY_DESCRIPTOR_MIN_LENGTH + 3) / 4];
    ok(InitializeSecurityDescriptor((PSECURITY_DESCRIPTOR)buf, SECURITY_DESCRIPTOR_REVISION), "initialised");
    ok(IsValidSecurityDescriptor((PSECURITY_DESCRIPTOR)buf), "valid");
}

CONFORMANCE_TEST(security_initialize_acl_errors) {
    DWORD buf[64];
    PACL acl = (PACL)buf;
    SetLastError(0xdeadbeef);
    ok(!InitializeAcl(acl, sizeof(ACL) - 1, ACL_REVISION) && GetLastError() == ERROR_INSUFFICIENT_BUFFER,
       "too small: error %lu", (unsigned long)GetLastError());
    SetLastError(0xdeadbeef);
    ok(!InitializeAcl(acl, 0xffffffff, ACL_REVISION) && GetLastError() == ERROR_INVALID_PARAMETER,
       "too large: error %lu", (unsigned long)GetLastError());
    SetLastError(0xdeadbeef);
    ok(!InitializeAcl(acl, 0x10000, ACL_REVISION) && GetLastError() == ERROR_INVALID_PARAMETER,
       "past 16 bits: error %lu", (unsigned long)GetLastError());
    SetLastError(0xdeadbeef);
    ok(!InitializeAcl(acl, sizeof buf, 1) && GetLastError() == ERROR_INVALID_PARAMETER, "revision 1: error %lu",
       (unsigned long)GetLastError());
    SetLastError(0xdeadbeef);
    ok(!InitializeAcl(acl, sizeof buf, (DWORD)-1) && GetLastError() == ERROR_INVALID_PARAMETER,
       "revision -1: error %lu", (unsigned long)GetLastError());
    for (DWORD revision = 2; revision <= 4; ++revision)
        ok(InitializeAcl(acl, sizeof buf, revision) && IsValidAcl(acl) && acl->AclRevision == revision,
           "revision %lu", (unsigned long)revision);
}

CONFORMANCE_TEST(security_equal_sid_errors) {
    BYTE a[SECURITY_MAX_SID_SIZE], b[SECURITY_MAX_SID_SIZE];
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = NULL;
    AllocateAndInitializeSid(&nt, 2, 32, 544, 0, 0, 0, 0, 0, 0, &admins);
    memcpy(a, admins, 16);
    memcpy(b, admins, 16);
    SetLastError(0xdeadbeef);
    ok(EqualSid(a, b) && GetLastError() == ERROR_SUCCESS, "equal: error %lu", (unsigned long)GetLastError());
    b[15] = 3;
    SetLastError(0xdeadbeef);
    ok(!EqualSid(a, b) && GetLastError() == ERROR_SUCCESS, "different: error %lu", (unsigned long)GetLastError());
    // An invalid SID is no error: the call clears the last error and compares.
    memcpy(b, admins, 16);
    b[0] = 2;
    SetLastError(0xdeadbeef);
    ok(!EqualSid(a, b) && GetLastError() == ERROR_SUCCESS, "an invalid SID: error %lu", (unsigned long)GetLastError());
    a[0] = 2;
    SetLastError(0xdeadbeef);
    BOOL same = EqualSid(a, b);
    ok(GetLastError() == ERROR_SUCCESS, "two invalid SIDs: error %lu", (unsigned long)GetLastError());
    todo_wine("Wine's RtlEqualSid validates both SIDs first") {
        ok(same, "two invalid SIDs of the same bytes compare equal");
    }
    FreeSid(admins);
}

CONFORMANCE_TEST(security_named_info_parameters) {
    char name[] = "MACHINE\\SOFTWARE";
    PSECURITY_DESCRIPTOR sd = NULL;
    PACL dacl = NULL;
    PSID owner = NULL;
    ok(GetNamedSecurityInfoA(NULL, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, NULL, NULL, &dacl, NULL, &sd) ==
           ERROR_INVALID_PARAMETER,
       "no name");
    ok(GetNamedSecurityInfoA(name, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, NULL, NULL, NULL, NULL, NULL) ==
           ERROR_INVALID_PARAMETER,
       "nowhere to put the DACL");
    ok(GetNamedSecurityInfoA(name, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION, NULL, NULL, &dacl, NULL, NULL) ==
           ERROR_INVALID_PARAMETER,
       "the owner asked for, only a DACL pointer given");
    // A part's pointer is enough without the descriptor (whose block the caller then cannot free).
    dacl = NULL;
    DWORD err = GetNamedSecurityInfoA(name, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, NULL, NULL, &dacl, NULL, NULL);
    ok(err == ERROR_SUCCESS && dacl && IsValidAcl(dacl), "the DACL alone: %lu", (unsigned long)err);
    err = GetNamedSecurityInfoA(name, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                NULL, &dacl, NULL, NULL);
    ok(err == ERROR_SUCCESS && owner && IsValidSid(owner), "owner and DACL alone: %lu", (unsigned long)err);
    // With the descriptor, the parts' pointers may be left out.
    err = GetNamedSecurityInfoA(name, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, NULL, NULL, NULL, NULL, &sd);
    ok(err == ERROR_SUCCESS && sd && IsValidSecurityDescriptor(sd), "the descriptor alone: %lu", (unsigned long)err);
    if (sd) LocalFree(sd);
}

CONFORMANCE_TEST(security_entries_in_acl_output) {
    bool nt5 = AtLeastNt5();
    PSID everyone = NULL;
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    AllocateAndInitializeSid(&world, 1, 0, 0, 0, 0, 0, 0, 0, 0, &everyone);
    DWORD oldBuf[32];
    PACL old = (PACL)oldBuf;
    InitializeAcl(old, sizeof oldBuf, ACL_REVISION);
    // No entries and no list: nothing on Windows 2000 and later, an empty list on NT 4.0.
    PACL out = (PACL)0xdeadbeef;
    DWORD err = SetEntriesInAclA(0, NULL, NULL, &out);
    ok(err == ERROR_SUCCESS, "no entries: %lu", (unsigned long)err);
    if (nt5) {
        ok(out == NULL, "no entries, no list: NULL, got %p", (void*)out);
    } else if (RunningUnderWine()) {
        todo_wine("Wine answers as Windows 2000 whatever version it is set to") ok(out != NULL, "NT 4.0: an empty list");
    } else {
        ok(out != NULL && out != (PACL)0xdeadbeef && out->AceCount == 0, "NT 4.0: an empty list");
    }
    if (out && out != (PACL)0xdeadbeef) LocalFree(out);
    // An empty list given: an empty list back.
    out = NULL;
    err = SetEntriesInAclA(0, NULL, old, &out);
    ok(err == ERROR_SUCCESS && out && IsValidAcl(out) && out->AceCount == 0, "an empty list: %lu", (unsigned long)err);
    if (out) LocalFree(out);
    // The multiple-trustee fields mean nothing unless they ask for impersonation.
    EXPLICIT_ACCESS_A ea;
    memset(&ea, 0, sizeof ea);
    ea.grfAccessPermissions = KEY_WRITE;
    ea.grfAccessMode = GRANT_ACCESS;
    ea.grfInheritance = NO_INHERITANCE;
    ea.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    ea.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    ea.Trustee.ptstrName = (LPSTR)everyone;
    ea.Trustee.MultipleTrusteeOperation = (MULTIPLE_TRUSTEE_OPERATION)0xdeadbeef;
    ea.Trustee.pMultipleTrustee = (PTRUSTEE_A)0xdeadbeef;
    out = NULL;
    err = SetEntriesInAclA(1, &ea, old, &out);
    ok(err == ERROR_SUCCESS && out && out->AceCount == 1, "stray multiple-trustee fields: %lu", (unsigned long)err);
    if (out) LocalFree(out);
    // A failure: Windows 2000 and later clear the output, NT 4.0 leaves it.
    ea.Trustee.pMultipleTrustee = NULL;
    ea.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    ea.Trustee.TrusteeForm = TRUSTEE_BAD_FORM;
    out = (PACL)0xdeadbeef;
    err = SetEntriesInAclA(1, &ea, old, &out);
    ok(err != ERROR_SUCCESS, "a bad trustee form fails");
    if (nt5) {
        ok(err == ERROR_INVALID_PARAMETER && out == NULL, "bad form: %lu, output %p", (unsigned long)err, (void*)out);
    } else if (RunningUnderWine()) {
        todo_wine("Wine answers as Windows 2000 whatever version it is set to") ok(out == (PACL)0xdeadbeef, "NT 4.0");
    } else {
        ok(out == (PACL)0xdeadbeef, "NT 4.0 leaves the output: %p", (void*)out);
    }
    if (nt5) {
        char everyoneName[] = "Everyone";
        ea.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
        ea.Trustee.ptstrName = everyoneName;
        ea.Trustee.MultipleTrusteeOperation = TRUSTEE_IS_IMPERSONATE;
        out = (PACL)0xdeadbeef;
        err = SetEntriesInAclA(1, &ea, old, &out);
        ok(err == ERROR_INVALID_PARAMETER && out == NULL, "impersonation: %lu, output %p", (unsigned long)err,
           (void*)out);
    }
    FreeSid(everyone);
}
