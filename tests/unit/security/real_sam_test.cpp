// The account database read from the SAM and SECURITY hives of a real Windows XP
// computer (tests/data/xp-hives): alias records and the membership index in NT's own
// layouts, and the logon tokens built from them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "nt/win32.h"
#include "ntsim/kernel/machine.h"
#include "ntsim/kernel/process.h"
#include "ntsim/registry/regf.h"
#include "ntsim/security/sam_records.h"
#include "ntsim/security/sd.h"
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

}  // namespace
