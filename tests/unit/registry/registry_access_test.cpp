// Key security for the machine's accounts: DACL checks at open and create,
// MAXIMUM_ALLOWED, backup/restore semantics, inherited descriptors of new keys,
// and reading and writing key security (copy on write).
#include "registry_fixture.h"

namespace regtest {
namespace {

class RegistryAccess : public RegistryTest {};

Bytes KeySecurity(HKEY key, SECURITY_INFORMATION info) {
    DWORD size = 0;
    LONG err = RegGetKeySecurity(key, info, nullptr, &size);
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, err);
    Bytes sd(size);
    EXPECT_EQ(0, RegGetKeySecurity(key, info, sd.data(), &size));
    EXPECT_EQ(sd.size(), size);
    return sd;
}

Bytes Part(const Bytes& sd, int field) {
    uint32_t off = sd[4 * field + 4] | (sd[4 * field + 5] << 8) | (sd[4 * field + 6] << 16) | ((uint32_t)sd[4 * field + 7] << 24);
    if (!off) return {};
    if (field < 2) return Bytes(sd.begin() + off, sd.begin() + off + 8 + 4 * sd[off + 1]);
    uint16_t size = sd[off + 2] | (sd[off + 3] << 8);
    return Bytes(sd.begin() + off, sd.begin() + off + size);
}

TEST_F(RegistryAccess, AnOrdinaryUserReadsButCannotWriteMachineKeys) {
    ntsim::ProcessDetach();
    Attach("User1");
    HKEY key;
    EXPECT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft", 0, KEY_READ, &key));
    RegCloseKey(key);
    key = (HKEY)(uintptr_t)0x1234;
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft", 0, KEY_SET_VALUE, &key));
    EXPECT_EQ(nullptr, key);
    DWORD disposition = 77;
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ByUser1", 0, nullptr, 0, KEY_ALL_ACCESS,
                                                   nullptr, &key, &disposition));
    EXPECT_EQ(77u, disposition);
    // A read-only handle refuses writes at the call.
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegSetValueExA(key, "x", 0, REG_DWORD, (const BYTE*)"\1\0\0\0", 4));
    RegCloseKey(key);
    // The user's own hive is the user's.
    ASSERT_EQ(0, RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Mine", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    RegCloseKey(key);
}

TEST_F(RegistryAccess, AdministratorsMustWidenTheSecurityHiveFirst) {
    HKEY key;
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SECURITY\\Policy\\PolAcDmS", 0, KEY_READ, &key));
    // WRITE_DAC is all they have: enough to widen the DACL, and then to read.
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SECURITY\\Policy\\PolAcDmS", 0, WRITE_DAC | READ_CONTROL, &key));
    Bytes wide = Descriptor({}, {}, {{ACCESS_ALLOWED_ACE_TYPE, 0, KEY_ALL_ACCESS, Administrators()}});
    ASSERT_EQ(0, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, wide.data()));
    RegCloseKey(key);
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SECURITY\\Policy\\PolAcDmS", 0, KEY_READ, &key));
    BYTE sid[24];
    DWORD size = sizeof sid;
    EXPECT_EQ(0, RegQueryValueExA(key, nullptr, nullptr, nullptr, sid, &size));
    EXPECT_EQ(MachineSid(), Bytes(sid, sid + size));
    RegCloseKey(key);
    // Copy on write: the parent, which shared the old descriptor, still refuses.
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SECURITY\\Policy", 0, KEY_READ, &key));
}

TEST_F(RegistryAccess, MaximumAllowedGivesWhatTheDaclAllows) {
    ntsim::ProcessDetach();
    Attach("User1");
    HKEY key;
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, MAXIMUM_ALLOWED, &key));
    DWORD subkeys = 0;
    EXPECT_EQ(0, RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, nullptr));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegSetValueExA(key, "x", 0, REG_SZ, (const BYTE*)"", 1));
    RegCloseKey(key);
    // RegOpenKeyA asks for MAXIMUM_ALLOWED too.
    ASSERT_EQ(0, RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE", &key));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteValueA(key, "x"));
    RegCloseKey(key);
}

TEST_F(RegistryAccess, BackupRestoreOptionNeedsTheEnabledPrivileges) {
    HKEY key;
    const char* inner = "SAM\\SAM\\Domains\\Account";
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExA(HKEY_LOCAL_MACHINE, inner, 0, nullptr, REG_OPTION_BACKUP_RESTORE,
                                                   KEY_QUERY_VALUE, nullptr, &key, nullptr));
    EnablePrivilegeForTest("SeBackupPrivilege");
    DWORD disposition = 0;
    ASSERT_EQ(0, RegCreateKeyExA(HKEY_LOCAL_MACHINE, inner, 0, nullptr, REG_OPTION_BACKUP_RESTORE, KEY_QUERY_VALUE, nullptr,
                                 &key, &disposition));
    EXPECT_EQ((DWORD)REG_OPENED_EXISTING_KEY, disposition);
    HKEY names;
    EXPECT_EQ(0, RegOpenKeyExA(key, "Users\\Names", REG_OPTION_BACKUP_RESTORE, 0, &names));
    char name[64];
    DWORD length = sizeof name;
    EXPECT_EQ(0, RegEnumKeyExA(names, 0, name, &length, nullptr, nullptr, nullptr, nullptr));
    EXPECT_STREQ("Administrator", name);
    // Backup gives read access only.
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegSetValueExA(names, "x", 0, REG_SZ, (const BYTE*)"", 1));
    RegCloseKey(names);
    RegCloseKey(key);
    EnablePrivilegeForTest("SeRestorePrivilege");
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, inner, REG_OPTION_BACKUP_RESTORE, 0, &key));
    EXPECT_EQ(0, RegSetValueExA(key, "x", 0, REG_SZ, (const BYTE*)"", 1));
    EXPECT_EQ(0, RegDeleteValueA(key, "x"));
    RegCloseKey(key);
    // An account that does not hold the privileges gets nothing from the option.
    ntsim::ProcessDetach();
    Attach("User1");
    EnablePrivilegeForTest("SeBackupPrivilege");
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(HKEY_LOCAL_MACHINE, inner, REG_OPTION_BACKUP_RESTORE, KEY_READ, &key));
}

TEST_F(RegistryAccess, NewKeysInheritFromTheirParentOrTakeTheGivenDescriptor) {
    HKEY key;
    ASSERT_EQ(0, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Inherit", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    Bytes sd = KeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION);
    EXPECT_EQ(Administrators(), Part(sd, 0));
    // The four container-inherit ACEs; CREATOR OWNER becomes the owner plus an inherit-only copy.
    Bytes expected = Acl({{ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS, Administrators()},
                          {ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS, LocalSystem()},
                          {ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, KEY_READ, Everyone()},
                          {ACCESS_ALLOWED_ACE_TYPE, 0, KEY_ALL_ACCESS, Administrators()},
                          {ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE, KEY_ALL_ACCESS, CreatorOwner()}});
    EXPECT_EQ(expected, Part(sd, 3));
    RegCloseKey(key);

    Bytes mine = Descriptor({}, {}, {{ACCESS_ALLOWED_ACE_TYPE, 0, KEY_READ, UsersAlias()}});
    SECURITY_ATTRIBUTES sa = {sizeof sa, mine.data(), FALSE};
    DWORD disposition = 0;
    ASSERT_EQ(0, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Given\\Deeper", 0, nullptr, 0, KEY_ALL_ACCESS, &sa, &key, &disposition));
    EXPECT_EQ((DWORD)REG_CREATED_NEW_KEY, disposition);
    // The creator got what it asked for, whatever the new DACL says.
    EXPECT_EQ(0, RegSetValueExA(key, "v", 0, REG_DWORD, (const BYTE*)"\1\0\0\0", 4));
    RegCloseKey(key);
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Given\\Deeper", 0, KEY_SET_VALUE, &key));
    ntsim::ProcessDetach();
    Attach("User1");
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Given\\Deeper", 0, KEY_READ, &key));
    RegCloseKey(key);
    // Inherited security went to disk with the key.
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Inherit", 0, KEY_READ, &key));
    RegCloseKey(key);
}

TEST_F(RegistryAccess, SecurityPartsNeedTheirRightsAndTheSaclItsPrivilege) {
    HKEY key;
    ASSERT_EQ(0, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Parts", 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr));
    DWORD size = 0;
    EXPECT_EQ(ERROR_PRIVILEGE_NOT_HELD, RegGetKeySecurity(key, SACL_SECURITY_INFORMATION, nullptr, &size));
    Bytes dacl = Descriptor({}, {}, {});
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, dacl.data()));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION, dacl.data()));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegSetKeySecurity(key, 0, dacl.data()));
    RegCloseKey(key);
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Parts", 0, KEY_ALL_ACCESS, &key));
    std::vector<Ace> audit = {{SYSTEM_AUDIT_ACE_TYPE, FAILED_ACCESS_ACE_FLAG, KEY_SET_VALUE, Everyone()}};
    Bytes withSacl = Descriptor({}, {}, {}, false, &audit);
    EXPECT_EQ(ERROR_PRIVILEGE_NOT_HELD, RegSetKeySecurity(key, SACL_SECURITY_INFORMATION, withSacl.data()));
    EnablePrivilegeForTest("SeSecurityPrivilege");
    ASSERT_EQ(0, RegSetKeySecurity(key, SACL_SECURITY_INFORMATION, withSacl.data()));
    Bytes back = KeySecurity(key, SACL_SECURITY_INFORMATION);
    EXPECT_EQ(Acl(audit), Part(back, 2));
    // An owner the token does not hold is refused without SeRestorePrivilege.
    Bytes foreign = Descriptor(AccountSid(1000), {}, {}, false);
    EXPECT_EQ(ERROR_INVALID_OWNER, RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION, foreign.data()));
    EnablePrivilegeForTest("SeRestorePrivilege");
    EXPECT_EQ(0, RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION, foreign.data()));
    EXPECT_EQ(AccountSid(1000), Part(KeySecurity(key, OWNER_SECURITY_INFORMATION), 0));
    DWORD sdSize = 0;
    EXPECT_EQ(0, RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &sdSize, nullptr));
    EXPECT_EQ(KeySecurity(key, 15).size(), sdSize);
    RegCloseKey(key);
}

}  // namespace
}  // namespace regtest
