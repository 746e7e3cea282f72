// SIDs, ACLs and descriptors through the Win32 calls: layouts, sizes, malformed input.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "nt/win32.h"

namespace {

std::vector<uint8_t> Sid(std::initializer_list<DWORD> subs, BYTE authority = 5) {
    std::vector<uint8_t> s(8 + 4 * subs.size());
    s[0] = 1;
    s[1] = (BYTE)subs.size();
    s[7] = authority;
    size_t i = 8;
    for (DWORD v : subs) memcpy(&s[i], &v, 4), i += 4;
    return s;
}

TEST(Sids, AllocateAndQuery) {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 4, 21, 1, 2, 3, 0, 0, 0, 0, &sid));
    EXPECT_TRUE(IsValidSid(sid));
    EXPECT_EQ(GetLengthSid(sid), 24u);
    EXPECT_EQ(*GetSidSubAuthorityCount(sid), 4);
    EXPECT_EQ(*GetSidSubAuthority(sid, 3), 3u);
    EXPECT_EQ(GetSidIdentifierAuthority(sid)->Value[5], 5);
    BYTE copy[SECURITY_MAX_SID_SIZE];
    memset(copy, 0xAB, sizeof copy);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CopySid(23, copy, sid));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(copy[0], 0xAB);
    ASSERT_TRUE(CopySid(sizeof copy, copy, sid));
    EXPECT_TRUE(EqualSid(copy, sid));
    EXPECT_EQ(copy[24], 0xAB) << "CopySid wrote past the SID";
    *GetSidSubAuthority(copy, 3) = 4;
    EXPECT_FALSE(EqualSid(copy, sid));
    EXPECT_EQ(FreeSid(sid), nullptr);
}

TEST(Sids, MalformedRefused) {
    auto s = Sid({1, 2});
    s[0] = 2;  // revision
    EXPECT_FALSE(IsValidSid(s.data()));
    std::vector<uint8_t> big(8 + 4 * 16, 0);
    big[0] = 1;
    big[1] = 16;  // more than 15 sub-authorities
    EXPECT_FALSE(IsValidSid(big.data()));
    big[1] = 15;
    EXPECT_TRUE(IsValidSid(big.data()));
    EXPECT_FALSE(IsValidSid(nullptr));
}

// An absolute descriptor with owner, group and a two-entry DACL.
struct Absolute {
    SECURITY_DESCRIPTOR sd;
    std::vector<uint8_t> owner = Sid({32, 544}), group = Sid({18});
    std::vector<uint8_t> everyone = Sid({0}, 1);
    alignas(4) BYTE acl[256];
    Absolute() {
        EXPECT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
        EXPECT_TRUE(InitializeAcl((PACL)acl, sizeof acl, ACL_REVISION));
        EXPECT_TRUE(AddAccessDeniedAce((PACL)acl, ACL_REVISION, WRITE_DAC, everyone.data()));
        EXPECT_TRUE(AddAccessAllowedAceEx((PACL)acl, ACL_REVISION, CONTAINER_INHERIT_ACE, GENERIC_READ, owner.data()));
        EXPECT_TRUE(SetSecurityDescriptorOwner(&sd, owner.data(), FALSE));
        EXPECT_TRUE(SetSecurityDescriptorGroup(&sd, group.data(), TRUE));
        EXPECT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, (PACL)acl, FALSE));
    }
};

TEST(Descriptors, AbsoluteToSelfRelative) {
    Absolute a;
    EXPECT_TRUE(IsValidSecurityDescriptor(&a.sd));
    ACL_SIZE_INFORMATION info;
    ASSERT_TRUE(GetAclInformation((PACL)a.acl, &info, sizeof info, AclSizeInformation));
    EXPECT_EQ(info.AceCount, 2u);
    EXPECT_EQ(info.AclBytesInUse, 8u + 20 + 24);
    EXPECT_EQ(info.AclBytesFree, 256u - 52);
    // Self-relative: 20 header + the whole ACL as sized (256) + owner 16 + group 12.
    DWORD need = 0;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(MakeSelfRelativeSD(&a.sd, nullptr, &need));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(need, 20u + 256 + 16 + 12);
    EXPECT_EQ(GetSecurityDescriptorLength(&a.sd), need);
    std::vector<BYTE> rel(need + 8, 0xCD);
    DWORD len = need;
    ASSERT_TRUE(MakeSelfRelativeSD(&a.sd, rel.data(), &len));
    EXPECT_EQ(rel[need], 0xCD);
    EXPECT_TRUE(IsValidSecurityDescriptor(rel.data()));
    EXPECT_EQ(GetSecurityDescriptorLength(rel.data()), need);
    SECURITY_DESCRIPTOR_CONTROL control;
    DWORD revision;
    ASSERT_TRUE(GetSecurityDescriptorControl(rel.data(), &control, &revision));
    EXPECT_EQ(control, SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_GROUP_DEFAULTED);
    PSID owner;
    BOOL defaulted;
    ASSERT_TRUE(GetSecurityDescriptorOwner(rel.data(), &owner, &defaulted));
    EXPECT_TRUE((BYTE*)owner > rel.data() && (BYTE*)owner < rel.data() + need) << "owner points into the block";
    EXPECT_TRUE(EqualSid(owner, a.owner.data()));
    BOOL present;
    PACL dacl;
    ASSERT_TRUE(GetSecurityDescriptorDacl(rel.data(), &present, &dacl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_EQ((BYTE*)dacl, rel.data() + 20) << "DACL comes first, as Windows lays it out";
    ACCESS_ALLOWED_ACE* ace;
    ASSERT_TRUE(GetAce(dacl, 1, (LPVOID*)&ace));
    EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(ace->Header.AceFlags, CONTAINER_INHERIT_ACE);
    EXPECT_EQ(ace->Mask, (DWORD)GENERIC_READ);
    EXPECT_TRUE(EqualSid(&ace->SidStart, a.owner.data()));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetAce(dacl, 2, (LPVOID*)&ace));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    // Setters refuse the self-relative form.
    EXPECT_FALSE(SetSecurityDescriptorOwner(rel.data(), a.group.data(), FALSE));
}

TEST(Descriptors, AclFull) {
    alignas(4) BYTE acl[8 + 20];
    ASSERT_TRUE(InitializeAcl((PACL)acl, sizeof acl, ACL_REVISION));
    auto everyone = Sid({0}, 1);
    ASSERT_TRUE(AddAccessAllowedAce((PACL)acl, ACL_REVISION, 1, everyone.data()));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(AddAccessAllowedAce((PACL)acl, ACL_REVISION, 1, everyone.data()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALLOTTED_SPACE_EXCEEDED);
}

TEST(Descriptors, MalformedAclsRefused) {
    Absolute a;
    PACL acl = (PACL)a.acl;
    ASSERT_TRUE(IsValidAcl(acl));
    acl->AclRevision = 1;
    EXPECT_FALSE(IsValidAcl(acl)) << "bad revision";
    acl->AclRevision = ACL_REVISION;
    acl->AclSize = 30;  // the size lies: the second ACE runs past it
    EXPECT_FALSE(IsValidAcl(acl));
    acl->AclSize = 256;
    acl->AceCount = 40;  // ACEs running past the end
    EXPECT_FALSE(IsValidAcl(acl));
    acl->AceCount = 2;
    ((ACE_HEADER*)(a.acl + 8))->AceSize = 2;  // an ACE smaller than its header
    EXPECT_FALSE(IsValidAcl(acl));
    ((ACE_HEADER*)(a.acl + 8))->AceSize = 20;
    a.acl[8 + 8 + 1] = 16;  // the first ACE's SID claims 16 sub-authorities
    EXPECT_FALSE(IsValidAcl(acl));
    a.acl[8 + 8 + 1] = 1;
    EXPECT_TRUE(IsValidAcl(acl));
}

TEST(Descriptors, MalformedSelfRelativeRefused) {
    Absolute a;
    DWORD len = 1024;
    std::vector<BYTE> rel(len);
    ASSERT_TRUE(MakeSelfRelativeSD(&a.sd, rel.data(), &len));
    auto bad = rel;
    bad[0] = 2;
    EXPECT_FALSE(IsValidSecurityDescriptor(bad.data()));
    bad = rel;
    uint32_t far = 0x7FFFFFF0;
    memcpy(&bad[4], &far, 4);  // owner offset far outside
    EXPECT_FALSE(IsValidSecurityDescriptor(bad.data()));
    bad = rel;
    memcpy(&bad[16], &far, 4);  // DACL offset far outside
    EXPECT_FALSE(IsValidSecurityDescriptor(bad.data()));
}

TEST(LocalMemory, ZeroInitAndFree) {
    BYTE* p = (BYTE*)LocalAlloc(LPTR, 64);
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(p[i], 0);
    EXPECT_EQ(LocalFree(p), nullptr);
    EXPECT_EQ(LocalFree(nullptr), nullptr);
}

}  // namespace
