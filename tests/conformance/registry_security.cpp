// Registry conformance: key security. DACL and owner round trips with the
// buffer-size protocol of RegGetKeySecurity, the SACL with SeSecurityPrivilege,
// DACLs enforced at open, and inheritance into new subkeys.
#include "conformance/registry_cases.h"

namespace {

struct Sids {
    PSID everyone = nullptr, admins = nullptr;
    Sids() {
        SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY, nt = SECURITY_NT_AUTHORITY;
        AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
        AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins);
    }
    ~Sids() {
        FreeSid(everyone);
        FreeSid(admins);
    }
};

// The key's security for info, read with the size protocol: a small buffer first.
std::string ReadSecurity(HKEY key, SECURITY_INFORMATION info, LONG* err) {
    unsigned char small[20];
    DWORD size = sizeof small;
    *err = RegGetKeySecurity(key, info, small, &size);
    if (*err != ERROR_INSUFFICIENT_BUFFER) {
        ok(*err == ERROR_SUCCESS, "first read: %ld", (long)*err);
        return *err ? std::string() : std::string((char*)small, size);
    }
    ok(size > sizeof small, "reported size %lu", (unsigned long)size);
    std::string sd(size + 16, '\xAA');
    DWORD got = size;
    *err = RegGetKeySecurity(key, info, &sd[0], &got);
    ok(*err == ERROR_SUCCESS && got == size, "second read: %ld, %lu of %lu", (long)*err, (unsigned long)got, (unsigned long)size);
    ok(Untouched((const unsigned char*)sd.data(), size, sd.size(), 0xAA), "nothing written past the descriptor");
    sd.resize(size);
    return sd;
}

}  // namespace

CONFORMANCE_TEST(registry_dacl_and_owner_round_trip) {
    Sids sids;
    HKEY key = CaseKey("security");
    unsigned char aclBuf[256];
    PACL acl = (PACL)aclBuf;
    InitializeAcl(acl, sizeof aclBuf, ACL_REVISION);
    AddAccessAllowedAceEx(acl, ACL_REVISION, CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS, sids.admins);
    AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, sids.everyone);
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE);
    LONG err = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &sd);
    ok(err == ERROR_SUCCESS, "set the DACL: %ld", (long)err);
    std::string back = ReadSecurity(key, DACL_SECURITY_INFORMATION, &err);
    if (!back.empty()) {
        BOOL present = FALSE, defaulted = FALSE;
        PACL got = nullptr;
        GetSecurityDescriptorDacl((PSECURITY_DESCRIPTOR)back.data(), &present, &got, &defaulted);
        ok(present && got && got->AclSize == acl->AclSize && got->AceCount == 2, "DACL back: present %d, %u ACEs",
           present, got ? got->AceCount : 0);
        if (got && got->AclSize == acl->AclSize) ok(memcmp(got, acl, acl->AclSize) == 0, "the same ACL bytes");
    }
    std::string owner = ReadSecurity(key, OWNER_SECURITY_INFORMATION, &err);
    if (!owner.empty()) {
        PSID sid = nullptr;
        BOOL defaulted = FALSE;
        GetSecurityDescriptorOwner((PSECURITY_DESCRIPTOR)owner.data(), &sid, &defaulted);
        ok(sid && IsValidSid(sid), "an owner");
    }
    // A new subkey inherits the container-inherit ACE.
    HKEY child;
    RegCreateKeyExA(key, "Child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr);
    std::string childSd = ReadSecurity(child, DACL_SECURITY_INFORMATION, &err);
    bool inherited = false;
    if (!childSd.empty()) {
        BOOL present = FALSE, defaulted = FALSE;
        PACL got = nullptr;
        GetSecurityDescriptorDacl((PSECURITY_DESCRIPTOR)childSd.data(), &present, &got, &defaulted);
        for (DWORD i = 0; got && i < got->AceCount; ++i) {
            ACCESS_ALLOWED_ACE* ace = nullptr;
            if (GetAce(got, i, (void**)&ace) && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
                EqualSid((PSID)&ace->SidStart, sids.admins) && ace->Mask == KEY_ALL_ACCESS)
                inherited = true;
        }
    }
    ok(inherited, "the child inherited the Administrators ACE");
    RegCloseKey(child);
    ok(RegSetKeySecurity(key, 0, &sd) == ERROR_INVALID_PARAMETER, "nothing to set");
    ok(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr) == ERROR_INVALID_PARAMETER, "no descriptor");
    EndCase(key, "security");
}

CONFORMANCE_TEST(registry_dacl_enforced_at_open) {
    Sids sids;
    std::string path;
    HKEY key = CaseKey("enforced", &path);
    unsigned char aclBuf[128];
    PACL acl = (PACL)aclBuf;
    InitializeAcl(acl, sizeof aclBuf, ACL_REVISION);
    AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, sids.everyone);
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE);
    ok(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &sd) == ERROR_SUCCESS, "narrow the DACL");
    RegCloseKey(key);
    HKEY probe = nullptr;
    LONG err = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE, &probe);
    ok(err == ERROR_ACCESS_DENIED, "open for writing: %ld", (long)err);
    err = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &probe);
    ok(err == ERROR_SUCCESS, "open for reading: %ld", (long)err);
    if (!err) {
        err = RegSetValueExA(probe, "v", 0, REG_SZ, (const BYTE*)"", 1);
        ok(err == ERROR_ACCESS_DENIED, "write through a read handle: %ld", (long)err);
        RegCloseKey(probe);
    }
    // The owner (Administrators) may still change the DACL.
    err = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, WRITE_DAC, &probe);
    ok(err == ERROR_SUCCESS, "open for WRITE_DAC as owner: %ld", (long)err);
    if (!err) {
        SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
        ok(RegSetKeySecurity(probe, DACL_SECURITY_INFORMATION, &sd) == ERROR_SUCCESS, "a NULL DACL");
        RegCloseKey(probe);
    }
    err = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key);
    ok(err == ERROR_SUCCESS, "everything allowed again: %ld", (long)err);
    EndCase(key, "enforced");
}

CONFORMANCE_TEST(registry_sacl_round_trip) {
    Sids sids;
    HKEY plain = CaseKey("sacl");
    RegCloseKey(plain);
    ok(SetPrivilege(SE_SECURITY_NAME, TRUE), "enable SeSecurityPrivilege");
    HKEY key;
    LONG err = RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(kConformanceRoot) + "\\sacl").c_str(), 0,
                             KEY_ALL_ACCESS | ACCESS_SYSTEM_SECURITY, &key);
    ok(err == ERROR_SUCCESS, "open with ACCESS_SYSTEM_SECURITY: %ld", (long)err);
    unsigned char aclBuf[128];
    PACL acl = (PACL)aclBuf;
    InitializeAcl(acl, sizeof aclBuf, ACL_REVISION);
    AddAuditAccessAce(acl, ACL_REVISION, KEY_SET_VALUE, sids.everyone, FALSE, TRUE);
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorSacl(&sd, TRUE, acl, FALSE);
    err = RegSetKeySecurity(key, SACL_SECURITY_INFORMATION, &sd);
    ok(err == ERROR_SUCCESS, "set the SACL: %ld", (long)err);
    std::string back = ReadSecurity(key, SACL_SECURITY_INFORMATION, &err);
    BOOL present = FALSE, defaulted = FALSE;
    PACL got = nullptr;
    if (!back.empty()) GetSecurityDescriptorSacl((PSECURITY_DESCRIPTOR)back.data(), &present, &got, &defaulted);
    ok(present && got && got->AceCount == 1 && got->AclSize == acl->AclSize, "SACL back with its ACE");
    SetPrivilege(SE_SECURITY_NAME, FALSE);
    EndCase(key, "sacl");
}
