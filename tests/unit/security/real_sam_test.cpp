// The account database read from the SAM and SECURITY hives of a real Windows XP
// computer (tests/data/xp-hives): alias records and the membership index in NT's own
// layouts, and the logon tokens built from them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "nt/win32.h"
#include "ntsim/machine/machine.h"
#include "ntsim/kernel/process.h"
#include "ntsim/registry/regf.h"
#include "ntsim/security/sam_records.h"
#include "ntsim/security/sd.h"
#include "identity/role_checks.h"
#include "ntsim/security/access.h"
#include "unit/fresh_machine.h"

namespace {

const std::string kXp = "S-1-5-21-1292428093-1645522239-1547161642";
const std::string kHives = std::string(TESSIV_SOURCE_DIR) + "/tests/data/xp-hives/";

class RealSam : public FreshMachine {
protected:
    void SetUp() override {
        FreshMachine::SetUp();
        MakeMachine();
        for (const char* hive : {"SAM", "SECURITY"})
            std::filesystem::copy_file(kHives + hive, Host("WINNT/system32/config/") + hive,
                                       std::filesystem::copy_options::overwrite_existing);
    }
    // The SIDs of the logged-on user's token groups.
    std::vector<std::string> Groups(const std::string& user) {
        ntsim::ProcessDetach();
        std::string error;
        EXPECT_TRUE(ntsim::ProcessAttach(dir_, user, false, &error)) << error;
        return TokenGroupSids();
    }
    static bool Has(const std::vector<std::string>& list, const std::string& item) {
        for (const std::string& s : list)
            if (s == item) return true;
        return false;
    }
};

TEST_F(RealSam, AliasRecordsAndTheMembershipIndexGiveTheTokensTheirAliases) {
    ntsim::Hive sam;
    ASSERT_EQ(ntsim::RegfLoadFile(kHives + "SAM", &sam), 0u);
    const ntsim::HiveKey* aliases =
        sam.root->FindSubkey("SAM")->FindSubkey("Domains")->FindSubkey("Builtin")->FindSubkey("Aliases");
    std::vector<ntsim::SidBytes> members;
    ASSERT_TRUE(ntsim::SamAliasMembers(aliases->FindSubkey("00000220")->FindValue("C")->data, &members));
    ASSERT_EQ(members.size(), 2u);
    EXPECT_EQ(ntsim::SidToText(members[0]), kXp + "-500");
    EXPECT_EQ(ntsim::SidToText(members[1]), kXp + "-1003");
    members.clear();
    EXPECT_TRUE(ntsim::SamAliasMembers(aliases->FindSubkey("00000223")->FindValue("C")->data, &members));
    EXPECT_TRUE(members.empty());  // Power Users: none
    std::vector<uint8_t> cut = aliases->FindSubkey("00000220")->FindValue("C")->data;
    cut.resize(cut.size() - 10);
    EXPECT_FALSE(ntsim::SamAliasMembers(cut, &members));

    // Administrator and Pat are Administrators; Pat and every interactive user are Users.
    std::vector<std::string> admin = Groups("Administrator");
    EXPECT_TRUE(Has(admin, "S-1-5-32-544"));
    HKEY key;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key), 0);
    RegCloseKey(key);
    std::vector<std::string> pat = Groups("Pat");
    EXPECT_TRUE(Has(pat, "S-1-5-32-544") && Has(pat, "S-1-5-32-545"));
    std::vector<std::string> guest = Groups("Guest");
    EXPECT_TRUE(Has(guest, "S-1-5-32-546"));
    EXPECT_FALSE(Has(guest, "S-1-5-32-544"));
    char name[64], domain[64];
    DWORD nameSize = sizeof name, domainSize = sizeof domain;
    SID_NAME_USE use;
    std::vector<uint8_t> sid;
    ASSERT_TRUE(ntsim::SidFromText(kXp + "-1003", &sid));
    ASSERT_TRUE(LookupAccountSidA(nullptr, sid.data(), name, &nameSize, domain, &domainSize, &use));
    EXPECT_STREQ(name, "Pat");
    EXPECT_STREQ(domain, "M57-PAT");  // the policy's name, read from its UNICODE_STRING
}

// The policy's name records: NT's counted string (length, maximum length, offset 8), the
// UTF-16 name and a terminator, read by the security authority and written back the same way.
std::string PolicyName(LSA_HANDLE policy, POLICY_INFORMATION_CLASS kind, std::string* sid) {
    PVOID buffer = nullptr;
    EXPECT_EQ(LsaQueryInformationPolicy(policy, kind, &buffer), 0);
    if (!buffer) return "?";
    const POLICY_PRIMARY_DOMAIN_INFO* info = static_cast<const POLICY_PRIMARY_DOMAIN_INFO*>(buffer);
    std::string name = ntsim::Utf16ToUtf8(reinterpret_cast<const uint16_t*>(info->Name.Buffer), info->Name.Length / 2);
    *sid = info->Sid ? ntsim::SidToText((const uint8_t*)info->Sid, GetLengthSid(info->Sid)) : "";
    LsaFreeMemory(buffer);
    return name;
}

std::vector<uint8_t> PolicyValue(const char* name) {
    ntsim::SystemAccessScope system;
    std::vector<uint8_t> data(256);
    HKEY key = nullptr;
    DWORD size = (DWORD)data.size();
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string("SECURITY\\Policy\\") + name).c_str(), 0, KEY_READ, &key), 0);
    EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, nullptr, data.data(), &size), 0);
    RegCloseKey(key);
    data.resize(size);
    return data;
}

TEST_F(RealSam, PolicyNamesAreNtsCountedRecords) {
    Attach("Administrator");
    LSA_OBJECT_ATTRIBUTES attributes = {};
    LSA_HANDLE policy = nullptr;
    ASSERT_EQ(LsaOpenPolicy(nullptr, &attributes, POLICY_VIEW_LOCAL_INFORMATION | POLICY_TRUST_ADMIN, &policy), 0);
    std::string sid;
    EXPECT_EQ(PolicyName(policy, PolicyAccountDomainInformation, &sid), "M57-PAT");
    EXPECT_EQ(sid, kXp);
    EXPECT_EQ(PolicyName(policy, PolicyPrimaryDomainInformation, &sid), "WORKGROUP");
    EXPECT_EQ(sid, "");
    // What the program reads there: a computer in a workgroup, not a member.
    EXPECT_FALSE(IsDomainMember());

    // A name set is stored in NT's layout: 7 characters are 14 bytes, 16 with the terminator.
    const uint16_t text[] = {'Q', 'D', 'O', 'M', 'A', 'I', 'N'};
    std::vector<uint8_t> domainSid;
    ASSERT_TRUE(ntsim::SidFromText("S-1-5-21-7-8-9", &domainSid));
    POLICY_PRIMARY_DOMAIN_INFO primary = {};
    primary.Name.Buffer = (PWSTR)text;
    primary.Name.Length = 14;
    primary.Name.MaximumLength = 14;
    primary.Sid = domainSid.data();
    ASSERT_EQ(LsaSetInformationPolicy(policy, PolicyPrimaryDomainInformation, &primary), 0);
    const std::vector<uint8_t> record = {14, 0, 16, 0, 8, 0, 0, 0, 'Q', 0, 'D', 0, 'O', 0, 'M', 0, 'A', 0, 'I', 0, 'N', 0, 0, 0};
    EXPECT_EQ(PolicyValue("PolPrDmN"), record);
    EXPECT_EQ(PolicyName(policy, PolicyPrimaryDomainInformation, &sid), "QDOMAIN");
    EXPECT_EQ(sid, "S-1-5-21-7-8-9");
    EXPECT_TRUE(IsDomainMember());
    // The account domain's record of the real hive is read as it is, header and all.
    const std::vector<uint8_t> real = {14, 0, 16, 0, 8, 0, 0, 0, 'M', 0, '5', 0, '7', 0, '-', 0, 'P', 0, 'A', 0, 'T', 0, 0, 0};
    EXPECT_EQ(PolicyValue("PolAcDmN"), real);
    // A record whose header points outside it is refused, not read as a name.
    {
        ntsim::SystemAccessScope system;
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SECURITY\\Policy\\PolAcDmN", 0, KEY_ALL_ACCESS, &key), 0);
        const BYTE broken[] = {40, 0, 42, 0, 8, 0, 0, 0, 'M', 0};
        ASSERT_EQ(RegSetValueExA(key, nullptr, 0, REG_NONE, broken, sizeof broken), 0);
        RegCloseKey(key);
    }
    PVOID buffer = nullptr;
    EXPECT_EQ(LsaQueryInformationPolicy(policy, PolicyAccountDomainInformation, &buffer), (NTSTATUS)0xC00000E4);
    EXPECT_EQ(buffer, nullptr);
    LsaClose(policy);
}

}  // namespace
