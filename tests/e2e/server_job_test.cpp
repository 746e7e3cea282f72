// The program's whole job on a small terminal server of a file server's shape: a Windows Server
// 2003 member with local users' profiles, a SOFTWARE hive of real shape and a second NTFS
// volume, through the install, the boot that runs the job and the clean-up boot.
#include <gtest/gtest.h>

#include <cstdlib>

#include "e2e/e2e_machine.h"

namespace {

using ntsim::CensusPlace;

class ServerJob : public e2e::MachineTest {
protected:
    std::string Log() { return e2e::ReadHost(dir_ + "/drives/c/tessiv.log"); }
    // The profiles of ProfileList that belong to the server's users, by SID.
    std::vector<std::pair<std::string, std::string>> UserProfiles() {
        std::vector<std::pair<std::string, std::string>> out;
        ntsim::Hive software;
        EXPECT_EQ(ntsim::RegfLoadFile(dir_ + "/drives/c/WINNT/system32/config/SOFTWARE", &software), 0u);
        ntsim::HiveKey* key = software.root.get();
        for (const char* name : {"Microsoft", "Windows NT", "CurrentVersion", "ProfileList"}) key = key ? key->FindSubkey(name) : nullptr;
        if (!key) return out;
        for (const auto& entry : key->subkeys) {
            std::string path = e2e::HiveText(dir_ + "/drives/c/WINNT/system32/config/SOFTWARE",
                                             "Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + entry->name,
                                             "ProfileImagePath");
            if (path.find("tsuser") != std::string::npos) out.push_back({entry->name, path.substr(path.rfind('\\') + 1)});
        }
        return out;
    }
};

TEST_F(ServerJob, TerminalServerLeavesNoOldSidAndEveryProfileRewritten) {
    const std::string oldSid = "S-1-5-21-11-22-33";
    ASSERT_EQ(RunNtsim("create '" + dir_ + "' --size terminal-server --files 2000 --profiles 20 --sid " + oldSid), 0) << Commands();
    ASSERT_EQ(RunNtsim("install '" + dir_ + "' '" + TESSIV_BINARY_DIR + "/tessiv' 'C:\\TESSIV\\tessiv.exe'"), 0) << Commands();
    ASSERT_EQ(UserProfiles().size(), 20u);
    // Before: the second volume's descriptors and every user's hive name the old SID.
    ntsim::CensusResult before = e2e::Count(dir_, oldSid);
    int onE = 0;
    for (const ntsim::CensusHit& h : before.hits) onE += h.place == CensusPlace::FileSecurity && h.file.rfind("E:\\", 0) == 0;
    EXPECT_GT(onE, 50);
    EXPECT_GT(before.Count(CensusPlace::ProfileHives), 20 * 5);

    EXPECT_EQ(RunNtsim("run '" + dir_ + "' -- 'C:\\TESSIV\\tessiv.exe' -autoinstall -quiet '-log:C:\\tessiv.log'"), 1) << Commands();
    ASSERT_EQ(RunNtsim("boot '" + dir_ + "'"), 0) << Commands();
    EXPECT_NE(Log().find("\nStage 9: Updating Registry Information\n"), std::string::npos) << Log();
    ASSERT_EQ(RunNtsim("boot '" + dir_ + "'"), 0) << Commands();
    EXPECT_NE(Log().find("   Service Entry Removed Successfully.\n"), std::string::npos) << Log();

    const std::string newSid = e2e::MachineSidText(dir_);
    ASSERT_NE(newSid, oldSid);
    ntsim::CensusResult after = e2e::Count(dir_, oldSid);
    EXPECT_EQ(e2e::Unexpected(after, true), 0) << e2e::ListHits(after).substr(0, 4000);
    // The second volume was walked: its descriptors now name the new SID, as many as named the old.
    ntsim::CensusResult now = e2e::Count(dir_, newSid);
    int onENow = 0;
    for (const ntsim::CensusHit& h : now.hits) onENow += h.place == CensusPlace::FileSecurity && h.file.rfind("E:\\", 0) == 0;
    EXPECT_EQ(onENow, onE);
    // Every user's profile: its ProfileList entry under the new SID and its hive rewritten.
    std::vector<std::pair<std::string, std::string>> profiles = UserProfiles();
    EXPECT_EQ(profiles.size(), 20u);
    for (const auto& [sid, user] : profiles) {
        EXPECT_EQ(sid.rfind(newSid + "-", 0), 0u) << sid;
        ntsim::Hive hive;
        std::string file = dir_ + "/drives/c/WINNT/Profiles/" + user + "/ntuser.dat";
        ASSERT_EQ(ntsim::RegfLoadFile(file, &hive), 0u) << file;
        ntsim::HiveKey* key = hive.root.get();
        for (const char* name : {"Software", "Microsoft", "Windows NT", "CurrentVersion", "Winlogon"}) key = key ? key->FindSubkey(name) : nullptr;
        const ntsim::HiveValue* profileSid = key ? key->FindValue("ProfileSid") : nullptr;
        ASSERT_NE(profileSid, nullptr) << file;
        EXPECT_EQ(ntsim::SidToText(profileSid->data), sid);
    }
    EXPECT_GT(now.Count(CensusPlace::ProfileHives), 20 * 5);
    e2e::ExpectHivexOpens(dir_);
}

}  // namespace
