// Named object security for registry keys and files, and explicit access entries merged into ACLs.
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <cstring>
#include <fstream>
#include <string>

#include "machine_fixture.h"
#include "nt/win32.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/security/sd.h"

using namespace ntsim;

namespace {

std::string Describe(PACL acl) {
    std::vector<AceEntry> aces;
    if (!acl || !AclParse((const uint8_t*)acl, acl->AclSize, &aces)) return "<none>";
    std::string out;
    char buf[160];
    for (const AceEntry& a : aces) {
        snprintf(buf, sizeof buf, "%s%s:%x:%x:%s", out.empty() ? "" : " ", a.type == ACCESS_DENIED_ACE_TYPE ? "D" : "A",
                 a.flags, a.mask, SidToText(a.sid).c_str());
        out += buf;
    }
    return out;
}

class NamedSecurityTest : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        // HKEY_LOCAL_MACHINE\SOFTWARE with an open key and one only SYSTEM may use.
        Hive soft;
        soft.root = std::make_unique<HiveKey>();
        soft.root->name = "SOFTWARE";
        SidBytes admins = SidBuiltin(544), system = SidLocalSystem();
        std::vector<AceEntry> open = {Ace(0, CONTAINER_INHERIT_ACE, 0xF003F, admins), Ace(0, CONTAINER_INHERIT_ACE, 0xF003F, system)};
        std::vector<AceEntry> locked = {Ace(0, 0, 0xF003F, system)};
        auto openAcl = AclBuild(open), lockedAcl = AclBuild(locked);
        TestKey(soft.root.get(), "Open")->security =
            std::make_shared<const std::vector<uint8_t>>(SdBuild(SE_DACL_PRESENT, admins.data(), system.data(), nullptr, openAcl.data()));
        TestKey(soft.root.get(), "Locked")->security =
            std::make_shared<const std::vector<uint8_t>>(SdBuild(SE_DACL_PRESENT, system.data(), system.data(), nullptr, lockedAcl.data()));
        ASSERT_EQ(RegfSaveFile(soft, ConfigDir() + "SOFTWARE"), (uint32_t)ERROR_SUCCESS);
    }
    void MakeFile(const std::string& rel) { std::ofstream(Host(rel)) << "x"; }
};

TEST_F(NamedSecurityTest, KeySecurityIsOneBlockWithPartsInside) {
    Attach("Administrator");
    PSID owner = nullptr, group = nullptr;
    PACL dacl = nullptr, sacl = (PACL)1;
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD err = GetNamedSecurityInfoA("MACHINE\\SOFTWARE\\Open", SE_REGISTRY_KEY,
                                      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                      &owner, &group, &dacl, &sacl, &sd);
    ASSERT_EQ(err, (DWORD)ERROR_SUCCESS);
    DWORD len = GetSecurityDescriptorLength(sd);
    auto inside = [&](void* p) { return (BYTE*)p >= (BYTE*)sd && (BYTE*)p < (BYTE*)sd + len; };
    EXPECT_TRUE(inside(owner) && inside(group) && inside(dacl));
    EXPECT_EQ(sacl, (PACL)1) << "a part not asked for is left alone";
    EXPECT_EQ(SidToText((const uint8_t*)owner, 68), "S-1-5-32-544");
    EXPECT_EQ(Describe(dacl), "A:2:f003f:S-1-5-32-544 A:2:f003f:S-1-5-18");
    EXPECT_EQ(LocalFree(sd), nullptr);
    // Without READ_CONTROL on the key: access denied; a missing key: not found.
    EXPECT_EQ(GetNamedSecurityInfoA("MACHINE\\SOFTWARE\\Locked", SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr,
                                    nullptr, &dacl, nullptr, &sd),
              (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(GetNamedSecurityInfoA("MACHINE\\SOFTWARE\\Missing", SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr,
                                    nullptr, &dacl, nullptr, &sd),
              (DWORD)ERROR_FILE_NOT_FOUND);
    // As on Windows, a part's pointer is enough without the descriptor (whose block is then
    // the caller's to lose); a part asked for with nowhere to go is refused.
    dacl = nullptr;
    EXPECT_EQ(GetNamedSecurityInfoA("MACHINE\\SOFTWARE\\Open", SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr,
                                    nullptr, &dacl, nullptr, nullptr),
              (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(Describe(dacl), "A:2:f003f:S-1-5-32-544 A:2:f003f:S-1-5-18");
    EXPECT_EQ(GetNamedSecurityInfoA("MACHINE\\SOFTWARE\\Open", SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr,
                                    nullptr, nullptr, nullptr, nullptr),
              (DWORD)ERROR_INVALID_PARAMETER);
    // The SACL needs the security privilege.
    EXPECT_EQ(GetNamedSecurityInfoA("MACHINE\\SOFTWARE\\Open", SE_REGISTRY_KEY, SACL_SECURITY_INFORMATION, nullptr,
                                    nullptr, nullptr, &sacl, &sd),
              (DWORD)ERROR_PRIVILEGE_NOT_HELD);
    Privilege(SE_SECURITY_NAME);
    ASSERT_EQ(GetNamedSecurityInfoA("MACHINE\\SOFTWARE\\Open", SE_REGISTRY_KEY, SACL_SECURITY_INFORMATION, nullptr,
                                    nullptr, nullptr, &sacl, &sd),
              (DWORD)ERROR_SUCCESS);
    LocalFree(sd);
}

TEST_F(NamedSecurityTest, WideningAKeyDaclAsAnAdministratorMust) {
    // The walk's way into a locked key: take ownership, grant Administrators, read.
    Attach("Administrator");
    PACL dacl;
    PSECURITY_DESCRIPTOR sd;
    char name[] = "MACHINE\\SOFTWARE\\Locked";
    SidBytes admins = SidBuiltin(544);
    EXPECT_EQ(SetNamedSecurityInfoA(name, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION, admins.data(), nullptr, nullptr, nullptr),
              (DWORD)ERROR_ACCESS_DENIED);
    Privilege(SE_TAKE_OWNERSHIP_NAME);
    ASSERT_EQ(SetNamedSecurityInfoA(name, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION, admins.data(), nullptr, nullptr, nullptr),
              (DWORD)ERROR_SUCCESS);
    ASSERT_EQ(GetNamedSecurityInfoA(name, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd),
              (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(Describe(dacl), "A:0:f003f:S-1-5-18");
    EXPLICIT_ACCESS_A ea;
    char trustee[] = "Administrators";
    BuildExplicitAccessWithNameA(&ea, trustee, KEY_READ, GRANT_ACCESS, SUB_CONTAINERS_AND_OBJECTS_INHERIT);
    EXPECT_EQ(ea.Trustee.TrusteeForm, TRUSTEE_IS_NAME);
    EXPECT_EQ(ea.Trustee.ptstrName, trustee);
    PACL widened = nullptr;
    ASSERT_EQ(SetEntriesInAclA(1, &ea, dacl, &widened), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(Describe(widened), "A:3:20019:S-1-5-32-544 A:0:f003f:S-1-5-18");
    ASSERT_EQ(SetNamedSecurityInfoA(name, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, widened, nullptr),
              (DWORD)ERROR_SUCCESS);
    LocalFree(widened);
    LocalFree(sd);
    HKEY key;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Locked", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    // Another account as owner needs the restore privilege.
    SidBytes user = Account(1000);
    EXPECT_EQ(SetNamedSecurityInfoA(name, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION, user.data(), nullptr, nullptr, nullptr),
              (DWORD)ERROR_INVALID_OWNER);
    Privilege(SE_RESTORE_NAME);
    EXPECT_EQ(SetNamedSecurityInfoA(name, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION, user.data(), nullptr, nullptr, nullptr),
              (DWORD)ERROR_SUCCESS);
    // A SACL without the security privilege.
    alignas(4) BYTE empty[8];
    InitializeAcl((PACL)empty, sizeof empty, ACL_REVISION);
    EXPECT_EQ(SetNamedSecurityInfoA(name, SE_REGISTRY_KEY, SACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, (PACL)empty),
              (DWORD)ERROR_PRIVILEGE_NOT_HELD);
}

TEST_F(NamedSecurityTest, GrantMergesAndKeepsCanonicalOrder) {
    Attach("Administrator");
    SidBytes user = Account(1000), admins = SidBuiltin(544), everyone = SidEveryone();
    std::vector<AceEntry> start = {Ace(ACCESS_DENIED_ACE_TYPE, 0, 0x2, everyone), Ace(0, 0, 0x1, user),
                                   Ace(0, CONTAINER_INHERIT_ACE, 0x8, user), Ace(0, INHERITED_ACE, 0xF003F, admins)};
    auto old = AclBuild(start);
    EXPLICIT_ACCESS_A ea[3];
    char u[] = "User1", a[] = "BUILTIN\\Administrators", g[] = "Guest";
    BuildExplicitAccessWithNameA(&ea[0], u, 0x10, GRANT_ACCESS, NO_INHERITANCE);  // merges with the 0x1 entry
    BuildExplicitAccessWithNameA(&ea[1], a, 0x20019, GRANT_ACCESS, NO_INHERITANCE);  // inherited one is not merged
    BuildExplicitAccessWithNameA(&ea[2], g, 0x6, DENY_ACCESS, NO_INHERITANCE);
    PACL out = nullptr;
    ASSERT_EQ(SetEntriesInAclA(3, ea, (PACL)old.data(), &out), (DWORD)ERROR_SUCCESS);
    std::string m = kMachineSidText;
    EXPECT_EQ(Describe(out), "D:0:6:" + m + "-501 D:0:2:S-1-1-0 A:0:20019:S-1-5-32-544 A:0:11:" + m +
                                 "-1000 A:2:8:" + m + "-1000 A:10:f003f:S-1-5-32-544");
    EXPECT_TRUE(IsValidAcl(out));
    LocalFree(out);
    // SET replaces the trustee's entries, REVOKE removes them; an unknown name changes nothing.
    BuildExplicitAccessWithNameA(&ea[0], u, 0x3, SET_ACCESS, NO_INHERITANCE);
    ASSERT_EQ(SetEntriesInAclA(1, ea, (PACL)old.data(), &out), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(Describe(out), "D:0:2:S-1-1-0 A:0:3:" + m + "-1000 A:10:f003f:S-1-5-32-544");
    LocalFree(out);
    BuildExplicitAccessWithNameA(&ea[0], u, 0, REVOKE_ACCESS, NO_INHERITANCE);
    ASSERT_EQ(SetEntriesInAclA(1, ea, (PACL)old.data(), &out), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(Describe(out), "D:0:2:S-1-1-0 A:10:f003f:S-1-5-32-544");
    LocalFree(out);
    char nobody[] = "Nobody";
    BuildExplicitAccessWithNameA(&ea[0], nobody, 1, GRANT_ACCESS, NO_INHERITANCE);
    out = (PACL)0x1234;
    EXPECT_EQ(SetEntriesInAclA(1, ea, (PACL)old.data(), &out), (DWORD)ERROR_NONE_MAPPED);
    EXPECT_EQ(out, (PACL)0x1234);
    // No old ACL.
    BuildExplicitAccessWithNameA(&ea[0], u, 1, GRANT_ACCESS, NO_INHERITANCE);
    ASSERT_EQ(SetEntriesInAclA(1, ea, nullptr, &out), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(Describe(out), "A:0:1:" + m + "-1000");
    LocalFree(out);
}

TEST_F(NamedSecurityTest, FileWithoutDescriptorInheritsFromTheRoot) {
    Attach("Administrator");
    std::filesystem::create_directories(Host("Data/Sub"));
    MakeFile("Data/Sub/file.txt");
    PSID owner;
    PACL dacl;
    PSECURITY_DESCRIPTOR sd;
    ASSERT_EQ(GetNamedSecurityInfoA("C:\\data\\SUB\\File.txt", SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                    &owner, nullptr, &dacl, nullptr, &sd),
              (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(SidToText((const uint8_t*)owner, 68), "S-1-5-32-544");
    EXPECT_EQ(Describe(dacl), "A:10:1f01ff:S-1-5-32-544 A:10:1f01ff:S-1-5-18 A:10:1f01ff:S-1-5-32-544 A:10:1301bf:S-1-1-0");
    LocalFree(sd);
    ASSERT_EQ(GetNamedSecurityInfoA("C:\\", SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd),
              (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(Describe(dacl), "A:3:1f01ff:S-1-5-32-544 A:3:1f01ff:S-1-5-18 A:b:1f01ff:S-1-3-0 A:3:1301bf:S-1-1-0");
    LocalFree(sd);
    EXPECT_EQ(GetNamedSecurityInfoA("C:\\Data\\nofile", SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd),
              (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetNamedSecurityInfoA("C:\\NoDir\\nofile", SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd),
              (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(GetNamedSecurityInfoA("Q:\\x", SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd),
              (DWORD)ERROR_INVALID_DRIVE);
}

TEST_F(NamedSecurityTest, FileSecurityWrittenAndReadBack) {
    Attach("Administrator");
    MakeFile("owned.txt");
    SidBytes old = Account(1001), admins = SidBuiltin(544);
    std::vector<AceEntry> aces = {Ace(0, 0, 0x1F01FF, old), Ace(0, 0, 0x120089, SidEveryone())};
    auto acl = AclBuild(aces);
    char path[] = "C:\\owned.txt";
    ASSERT_EQ(SetNamedSecurityInfoA(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, (PACL)acl.data(), nullptr),
              (DWORD)ERROR_SUCCESS);
    // Stored as the self-relative descriptor in the file's extended attribute.
    std::vector<uint8_t> stored(4096);
    ssize_t n = getxattr(Host("owned.txt").c_str(), "user.ntsim.sd", stored.data(), stored.size());
    ASSERT_GT(n, 20);
    stored.resize((size_t)n);
    SdView v;
    ASSERT_EQ(SdParseRelative(stored.data(), stored.size(), &v), (uint32_t)ERROR_SUCCESS);
    EXPECT_EQ(Describe((PACL)v.dacl), "A:0:1f01ff:" + std::string(kMachineSidText) + "-1001 A:0:120089:S-1-1-0");
    EXPECT_EQ(SidToText(v.owner, v.ownerLen), "S-1-5-32-544") << "the owner it had is kept";
    // The old account as owner: the DACL gives no WRITE_OWNER, taking ownership allows
    // making oneself owner, and only the restore privilege makes another account owner.
    EXPECT_EQ(SetNamedSecurityInfoA(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, old.data(), nullptr, nullptr, nullptr),
              (DWORD)ERROR_ACCESS_DENIED);
    Privilege(SE_TAKE_OWNERSHIP_NAME);
    EXPECT_EQ(SetNamedSecurityInfoA(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, old.data(), nullptr, nullptr, nullptr),
              (DWORD)ERROR_INVALID_OWNER);
    Privilege(SE_RESTORE_NAME);
    ASSERT_EQ(SetNamedSecurityInfoA(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, old.data(), nullptr, nullptr, nullptr),
              (DWORD)ERROR_SUCCESS);
    PSID owner;
    PACL dacl;
    PSECURITY_DESCRIPTOR sd;
    ASSERT_EQ(GetNamedSecurityInfoA(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                                    &dacl, nullptr, &sd),
              (DWORD)ERROR_SUCCESS);
    EXPECT_TRUE(EqualSid(owner, old.data()));
    LocalFree(sd);
    // A DACL that shuts the administrator out: the owner still reads and changes it, others
    // may not read it without the backup privilege.
    std::vector<AceEntry> none;
    auto emptyAcl = AclBuild(none);
    ASSERT_EQ(SetNamedSecurityInfoA(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, (PACL)emptyAcl.data(), nullptr),
              (DWORD)ERROR_SUCCESS) << "restore privilege writes any DACL";
    Privilege(SE_RESTORE_NAME, false);
    EXPECT_EQ(GetNamedSecurityInfoA(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd),
              (DWORD)ERROR_ACCESS_DENIED);
    Privilege(SE_BACKUP_NAME);
    ASSERT_EQ(GetNamedSecurityInfoA(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd),
              (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(dacl->AceCount, 0);
    LocalFree(sd);
}

TEST_F(NamedSecurityTest, FileSaclNeedsTheSecurityPrivilege) {
    Attach("Administrator");
    MakeFile("audited.txt");
    auto sacl = AclBuild({Ace(SYSTEM_AUDIT_ACE_TYPE, FAILED_ACCESS_ACE_FLAG, 0x1F01FF, SidEveryone())});
    char path[] = "C:\\audited.txt";
    EXPECT_EQ(SetNamedSecurityInfoA(path, SE_FILE_OBJECT, SACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, (PACL)sacl.data()),
              (DWORD)ERROR_PRIVILEGE_NOT_HELD);
    PACL got = nullptr;
    PSECURITY_DESCRIPTOR sd;
    EXPECT_EQ(GetNamedSecurityInfoA(path, SE_FILE_OBJECT, SACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, &got, &sd),
              (DWORD)ERROR_PRIVILEGE_NOT_HELD);
    Privilege(SE_SECURITY_NAME);
    ASSERT_EQ(SetNamedSecurityInfoA(path, SE_FILE_OBJECT, SACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, (PACL)sacl.data()),
              (DWORD)ERROR_SUCCESS);
    ASSERT_EQ(GetNamedSecurityInfoA(path, SE_FILE_OBJECT, SACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, &got, &sd),
              (DWORD)ERROR_SUCCESS);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->AclSize, sacl.size());
    EXPECT_EQ(memcmp(got, sacl.data(), sacl.size()), 0);
    LocalFree(sd);
    // Only the SACL was asked for: no DACL in the block.
    BOOL present = TRUE, defaulted;
    PACL dacl;
    ASSERT_EQ(GetNamedSecurityInfoA(path, SE_FILE_OBJECT, SACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, &got, &sd),
              (DWORD)ERROR_SUCCESS);
    ASSERT_TRUE(GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted));
    EXPECT_FALSE(present);
    LocalFree(sd);
}

TEST_F(NamedSecurityTest, FatDriveKeepsNoSecurity) {
    std::filesystem::create_directories(dir_ + "/drives/e");
    std::ofstream(dir_ + "/machine.conf", std::ios::app) << "\n[drive E]\npath = drives/e\ntype = removable\nfs = FAT\n";
    std::ofstream(dir_ + "/drives/e/a.txt") << "x";
    Attach("Administrator");
    PACL dacl = (PACL)1;
    PSID owner = (PSID)1;
    PSECURITY_DESCRIPTOR sd;
    ASSERT_EQ(GetNamedSecurityInfoA("E:\\a.txt", SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                    nullptr, &dacl, nullptr, &sd),
              (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(dacl, nullptr) << "a null DACL";
    EXPECT_EQ(owner, nullptr);
    LocalFree(sd);
    std::vector<AceEntry> none;
    auto acl = AclBuild(none);
    char path[] = "E:\\a.txt";
    EXPECT_EQ(SetNamedSecurityInfoA(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, (PACL)acl.data(), nullptr),
              (DWORD)ERROR_NOT_SUPPORTED);
}

TEST_F(NamedSecurityTest, InjectedFaultsLeaveSecurityAsItWas) {
    Attach("Administrator");
    MakeFile("f.txt");
    ntsim::FaultAdd({"SetNamedSecurityInfoA", ERROR_WRITE_FAULT, 1, "C:\\f.txt", false});
    std::vector<AceEntry> none;
    auto acl = AclBuild(none);
    char path[] = "C:\\f.txt";
    EXPECT_EQ(SetNamedSecurityInfoA(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, (PACL)acl.data(), nullptr),
              (DWORD)ERROR_WRITE_FAULT);
    EXPECT_LT(getxattr(Host("f.txt").c_str(), "user.ntsim.sd", nullptr, 0), 0) << "nothing was written";
    ntsim::FaultAdd({"GetNamedSecurityInfoA", ERROR_NOT_ENOUGH_MEMORY, 0, "MACHINE\\*", false});
    PACL dacl;
    PSECURITY_DESCRIPTOR sd;
    EXPECT_EQ(GetNamedSecurityInfoA("MACHINE\\SOFTWARE\\Open", SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                    nullptr, &sd),
              (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    ASSERT_EQ(GetNamedSecurityInfoA(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd),
              (DWORD)ERROR_SUCCESS);
    LocalFree(sd);
    ntsim::FaultAdd({"SetEntriesInAclA", ERROR_NOT_ENOUGH_MEMORY, 1, "", false});
    EXPLICIT_ACCESS_A ea;
    char u[] = "User1";
    BuildExplicitAccessWithNameA(&ea, u, 1, GRANT_ACCESS, 0);
    PACL out = nullptr;
    EXPECT_EQ(SetEntriesInAclA(1, &ea, nullptr, &out), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(out, nullptr);
}

}  // namespace

namespace {

// The policy of a machine as created: an administrator widens the DACL of
// SECURITY\Policy\PolAcDmS to read the machine SID, and puts it back.
TEST(FreshMachineNamedSecurity, ReadingThePolicyAsTheProgramDoes) {
    char tmpl[] = "/tmp/tessiv-pol-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = std::string(tmpl) + "/m", err;
    ntsim::MachineOptions options;
    options.sid = "S-1-5-21-7-8-9";
    ASSERT_TRUE(ntsim::MachineCreate(dir, options, &err)) << err;
    ASSERT_TRUE(ntsim::ProcessAttach(dir, "Administrator", false, &err)) << err;
    HKEY key;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SECURITY\\Policy\\PolAcDmS", 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
    char name[] = "MACHINE\\SECURITY\\Policy\\PolAcDmS";
    PACL dacl = nullptr, widened = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoA(name, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd),
              (DWORD)ERROR_SUCCESS);
    EXPLICIT_ACCESS_A ea;
    char admins[] = "Administrators";
    BuildExplicitAccessWithNameA(&ea, admins, KEY_ALL_ACCESS, GRANT_ACCESS, NO_INHERITANCE);
    ASSERT_EQ(SetEntriesInAclA(1, &ea, dacl, &widened), (DWORD)ERROR_SUCCESS);
    ASSERT_EQ(SetNamedSecurityInfoA(name, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, widened, nullptr),
              (DWORD)ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SECURITY\\Policy\\PolAcDmS", 0, KEY_READ, &key), ERROR_SUCCESS);
    BYTE data[64];
    DWORD size = sizeof data, type = 0;
    ASSERT_EQ(RegQueryValueExA(key, nullptr, nullptr, &type, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(SidToText(data, size), "S-1-5-21-7-8-9");
    RegCloseKey(key);
    // The original DACL back: closed again.
    ASSERT_EQ(SetNamedSecurityInfoA(name, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr),
              (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SECURITY\\Policy\\PolAcDmS", 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
    LocalFree(widened);
    LocalFree(sd);
    // HKEY_USERS names work the same way.
    ASSERT_EQ(GetNamedSecurityInfoA("USERS\\.DEFAULT", SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                                    nullptr, &sd),
              (DWORD)ERROR_SUCCESS);
    LocalFree(sd);
    ntsim::ProcessDetach();
    std::filesystem::remove_all(tmpl);
}

}  // namespace

namespace {

TEST_F(NamedSecurityTest, MemoryExhaustedOnTheWay) {
    Attach("Administrator");
    MakeFile("m.txt");
    ntsim::FaultAdd({"LocalAlloc", ERROR_NOT_ENOUGH_MEMORY, 1, "", false});
    PACL dacl = (PACL)1;
    PSECURITY_DESCRIPTOR sd = (PSECURITY_DESCRIPTOR)1;
    EXPECT_EQ(GetNamedSecurityInfoA("C:\\m.txt", SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd),
              (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(sd, (PSECURITY_DESCRIPTOR)1) << "nothing handed out";
    ntsim::FaultAdd({"AllocateAndInitializeSid", ERROR_NOT_ENOUGH_MEMORY, 1, "", false});
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    EXPECT_FALSE(AllocateAndInitializeSid(&nt, 1, 18, 0, 0, 0, 0, 0, 0, 0, &sid));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(sid, nullptr);
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 1, 18, 0, 0, 0, 0, 0, 0, 0, &sid));
    ntsim::FaultAdd({"CopySid", ERROR_INVALID_SID, 1, "", false});
    BYTE copy[SECURITY_MAX_SID_SIZE] = {0};
    EXPECT_FALSE(CopySid(sizeof copy, copy, sid));
    EXPECT_EQ(copy[0], 0);
    EXPECT_TRUE(CopySid(sizeof copy, copy, sid));
    FreeSid(sid);
}

}  // namespace
