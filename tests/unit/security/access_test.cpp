// NT's access check and inheritance for the process token, and the token calls.
#include <gtest/gtest.h>

#include <vector>

#include "machine_fixture.h"
#include "nt/win32.h"
#include "ntsim/security/access.h"
#include "ntsim/security/sd.h"

using namespace ntsim;

namespace {

const GENERIC_MAPPING kKeyMapping = {0x20019, 0x20006, 0x20019, 0xF003F};

std::vector<uint8_t> Descriptor(const SidBytes& owner, const std::vector<AceEntry>* dacl) {
    std::vector<uint8_t> acl;
    if (dacl) acl = AclBuild(*dacl);
    return SdBuild(SE_DACL_PRESENT, owner.data(), owner.data(), nullptr, dacl ? acl.data() : nullptr);
}

uint32_t Check(const std::vector<uint8_t>& sd, uint32_t desired, uint32_t* granted) {
    return AccessCheck(sd.data(), sd.size(), desired, kKeyMapping, granted);
}

class AccessTest : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        Attach("SYSTEM", true);  // the SYSTEM token needs no local accounts
    }
    SidBytes other_ = SidOf("S-1-5-21-1-2-3-1000");
};

TEST_F(AccessTest, DenyBeforeAllowInOrder) {
    std::vector<AceEntry> dacl = {Ace(ACCESS_DENIED_ACE_TYPE, 0, 0x0002u, SidEveryone()),
                                  Ace(ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, SidLocalSystem())};
    auto sd = Descriptor(other_, &dacl);
    uint32_t granted = 0;
    EXPECT_EQ(Check(sd, 0x0001 /*KEY_QUERY_VALUE*/, &granted), (uint32_t)ERROR_SUCCESS);
    EXPECT_EQ(granted, 1u);
    EXPECT_EQ(Check(sd, 0x0002u, &granted), (uint32_t)ERROR_ACCESS_DENIED);
    // The same ACEs the other way round: the allow decides first.
    std::swap(dacl[0], dacl[1]);
    sd = Descriptor(other_, &dacl);
    EXPECT_EQ(Check(sd, 0x0002u, &granted), (uint32_t)ERROR_SUCCESS);
}

TEST_F(AccessTest, InheritOnlySkippedAndGenericMapped) {
    std::vector<AceEntry> dacl = {Ace(ACCESS_ALLOWED_ACE_TYPE, INHERIT_ONLY_ACE | CONTAINER_INHERIT_ACE, GENERIC_ALL, SidLocalSystem()),
                                  Ace(ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_READ, SidEveryone())};
    auto sd = Descriptor(other_, &dacl);
    uint32_t granted = 0;
    EXPECT_EQ(Check(sd, GENERIC_READ, &granted), (uint32_t)ERROR_SUCCESS);
    EXPECT_EQ(granted, 0x20019u);
    EXPECT_EQ(Check(sd, GENERIC_WRITE, &granted), (uint32_t)ERROR_ACCESS_DENIED);
    EXPECT_EQ(Check(sd, MAXIMUM_ALLOWED, &granted), (uint32_t)ERROR_SUCCESS);
    EXPECT_EQ(granted, 0x20019u);
}

TEST_F(AccessTest, NullAndEmptyDacl) {
    auto open = Descriptor(other_, nullptr);
    uint32_t granted = 0;
    EXPECT_EQ(Check(open, GENERIC_ALL, &granted), (uint32_t)ERROR_SUCCESS);
    EXPECT_EQ(granted, 0xF003Fu);
    std::vector<AceEntry> none;
    auto closed = Descriptor(other_, &none);
    EXPECT_EQ(Check(closed, 1, &granted), (uint32_t)ERROR_ACCESS_DENIED);
    EXPECT_EQ(Check(closed, MAXIMUM_ALLOWED, &granted), (uint32_t)ERROR_ACCESS_DENIED);
}

TEST_F(AccessTest, OwnerReadsAndChangesDacl) {
    std::vector<AceEntry> none;
    auto mine = Descriptor(SidLocalSystem(), &none);
    uint32_t granted = 0;
    EXPECT_EQ(Check(mine, READ_CONTROL | WRITE_DAC, &granted), (uint32_t)ERROR_SUCCESS);
    EXPECT_EQ(Check(mine, MAXIMUM_ALLOWED, &granted), (uint32_t)ERROR_SUCCESS);
    EXPECT_EQ(granted, (uint32_t)(READ_CONTROL | WRITE_DAC));
    EXPECT_EQ(Check(mine, WRITE_OWNER, &granted), (uint32_t)ERROR_ACCESS_DENIED);
}

TEST_F(AccessTest, SystemSecurityNeedsPrivilege) {
    auto open = Descriptor(other_, nullptr);
    uint32_t granted = 0;
    EXPECT_EQ(Check(open, ACCESS_SYSTEM_SECURITY, &granted), (uint32_t)ERROR_PRIVILEGE_NOT_HELD);
    Privilege(SE_SECURITY_NAME);  // checks the last error and that the token handle closes
    EXPECT_TRUE(PrivilegeEnabled(SE_SECURITY_NAME));
    EXPECT_EQ(Check(open, ACCESS_SYSTEM_SECURITY | READ_CONTROL, &granted), (uint32_t)ERROR_SUCCESS);
    EXPECT_EQ(granted, (uint32_t)(ACCESS_SYSTEM_SECURITY | READ_CONTROL));
}

TEST_F(AccessTest, TakeOwnershipAndBackupIntent) {
    std::vector<AceEntry> none;
    auto closed = Descriptor(other_, &none);
    uint32_t granted = 0;
    EXPECT_EQ(AccessCheckEx(closed.data(), closed.size(), GENERIC_READ, kKeyMapping, kBackupIntent, &granted),
              (uint32_t)ERROR_ACCESS_DENIED) << "backup privilege not yet enabled";
    Privilege(SE_BACKUP_NAME);
    Privilege(SE_TAKE_OWNERSHIP_NAME);
    EXPECT_EQ(AccessCheckEx(closed.data(), closed.size(), GENERIC_READ, kKeyMapping, kBackupIntent, &granted),
              (uint32_t)ERROR_SUCCESS);
    EXPECT_EQ(Check(closed, GENERIC_READ, &granted), (uint32_t)ERROR_ACCESS_DENIED) << "only with backup intent";
    EXPECT_EQ(Check(closed, WRITE_OWNER, &granted), (uint32_t)ERROR_SUCCESS);
}

TEST_F(AccessTest, CorruptDescriptorIsAnError) {
    std::vector<uint8_t> junk = {1, 0, 0x04, 0x80, 0xff, 0xff, 0, 0};
    uint32_t granted = 7;
    EXPECT_EQ(AccessCheck(junk.data(), junk.size(), 1, kKeyMapping, &granted), (uint32_t)ERROR_INVALID_SECURITY_DESCR);
    EXPECT_EQ(granted, 0u);
}

TEST_F(AccessTest, SystemScopeGrantsAll) {
    std::vector<AceEntry> none;
    auto closed = Descriptor(other_, &none);
    uint32_t granted = 0;
    {
        SystemAccessScope scope;
        EXPECT_EQ(Check(closed, GENERIC_READ, &granted), (uint32_t)ERROR_SUCCESS);
    }
    EXPECT_EQ(Check(closed, GENERIC_READ, &granted), (uint32_t)ERROR_ACCESS_DENIED);
}

TEST_F(AccessTest, InheritanceForNewKeysAndFiles) {
    std::vector<AceEntry> dacl = {
        Ace(ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, GENERIC_ALL, SidBuiltin(544)),
        Ace(ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE, GENERIC_ALL, SidCreatorOwner()),
        Ace(ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE, 0x20019, SidEveryone()),
        Ace(ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE | NO_PROPAGATE_INHERIT_ACE, 0x1, SidNt(4)),
        Ace(ACCESS_ALLOWED_ACE_TYPE, 0, 0x3, SidNt(6)),  // not inheritable
    };
    auto parent = Descriptor(other_, &dacl);
    const Token& token = CurrentToken();
    auto child = InheritDescriptor(parent.data(), parent.size(), true, token, &kKeyMapping);
    SdView v;
    ASSERT_EQ(SdParseRelative(child.data(), child.size(), &v), (uint32_t)ERROR_SUCCESS);
    EXPECT_EQ(SidToText(v.owner, v.ownerLen), "S-1-5-32-544") << "SYSTEM owns through Administrators";
    std::vector<AceEntry> aces;
    ASSERT_TRUE(AclParse(v.dacl, v.daclLen, &aces));
    ASSERT_EQ(aces.size(), 6u);
    // Administrators: generic split into an effective mapped ACE and an inherit-only original.
    EXPECT_EQ(aces[0].mask, 0xF003Fu);
    EXPECT_EQ(aces[0].flags, INHERITED_ACE);
    EXPECT_EQ(aces[1].mask, (uint32_t)GENERIC_ALL);
    EXPECT_EQ(aces[1].flags, CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE | INHERITED_ACE);
    // CREATOR OWNER becomes the owner, and passes on.
    EXPECT_EQ(SidToText(aces[2].sid), "S-1-5-32-544");
    EXPECT_EQ(SidToText(aces[3].sid), "S-1-3-0");
    EXPECT_EQ(aces[3].flags, CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE | INHERITED_ACE);
    // Object-only inheritance on a container: inherit-only for the objects below.
    EXPECT_EQ(aces[4].flags, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE | INHERITED_ACE);
    // NO_PROPAGATE: effective here, not passed on.
    EXPECT_EQ(aces[5].flags, INHERITED_ACE);
    // A file below gets only the object-inheritable entry.
    auto file = InheritDescriptor(parent.data(), parent.size(), false, token, nullptr);
    ASSERT_EQ(SdParseRelative(file.data(), file.size(), &v), (uint32_t)ERROR_SUCCESS);
    ASSERT_TRUE(AclParse(v.dacl, v.daclLen, &aces));
    ASSERT_EQ(aces.size(), 1u);
    EXPECT_EQ(SidToText(aces[0].sid), "S-1-1-0");
    EXPECT_EQ(aces[0].flags, INHERITED_ACE);
    // Nothing inheritable: the default DACL, SYSTEM and the owner.
    std::vector<AceEntry> plain = {dacl[4]};
    auto bare = Descriptor(other_, &plain);
    auto def = InheritDescriptor(bare.data(), bare.size(), true, token, &kKeyMapping);
    ASSERT_EQ(SdParseRelative(def.data(), def.size(), &v), (uint32_t)ERROR_SUCCESS);
    ASSERT_TRUE(AclParse(v.dacl, v.daclLen, &aces));
    ASSERT_EQ(aces.size(), 2u);
    EXPECT_EQ(SidToText(aces[0].sid), "S-1-5-18");
    EXPECT_EQ(aces[0].mask, 0xF003Fu);
}

}  // namespace
