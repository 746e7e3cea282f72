// The census of a SID over a whole machine: every place counted, text matched only as a
// whole SID, and the ntsim command's exit status.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "ntsim/machine/census.h"
#include "ntsim/machine/machine.h"
#include "unit/fresh_machine.h"

namespace {

namespace fs = std::filesystem;
using ntsim::CensusKind;
using ntsim::CensusPlace;

class CensusTest : public FreshMachine {
protected:
    void SetUp() override {
        FreshMachine::SetUp();
        ntsim::MachineOptions options;
        options.sid = "S-1-5-21-1-2-3";
        options.files = true;
        MakeMachine(options);
    }
    int Count(CensusPlace place, CensusKind kind) { return result_.Count(place, &kind); }
    int Tool(const std::string& sid) {
        std::string cmd = std::string(TESSIV_BINARY_DIR) + "/tools/ntsim/ntsim census '" + dir_ + "' " + sid + " >/dev/null";
        return WEXITSTATUS(system(cmd.c_str()));
    }
    ntsim::CensusResult result_;
};

TEST_F(CensusTest, CountsEveryPlaceOfAFreshMachine) {
    std::string c = dir_ + "/drives/c/";
    // A log naming the SID once alone and once as the prefix of another SID's text, a hive
    // in a work directory, and the backup a replaced hive leaves.
    std::ofstream(c + "tessiv.log") << "Original Sid: S-1-5-21-1-2-3\nother: S-1-5-21-1-2-34\n";
    fs::create_directories(c + "TEMP/TESSIV3/ORIGINAL");
    fs::copy_file(c + "WINNT/system32/config/SAM", c + "TEMP/TESSIV3/ORIGINAL/SAM");
    fs::copy_file(c + "WINNT/system32/config/SAM", c + "WINNT/system32/config/SAM.BAK");

    std::string error;
    ASSERT_TRUE(ntsim::Census(dir_, "S-1-5-21-1-2-3", &result_, &error)) << error;
    EXPECT_TRUE(result_.unreadable.empty());
    EXPECT_GT(Count(CensusPlace::MachineHives, CensusKind::KeyName), 0);     // ProfileList\<SID>
    EXPECT_GT(Count(CensusPlace::MachineHives, CensusKind::ValueData), 0);   // PolAcDmS, SAM V
    EXPECT_GT(Count(CensusPlace::ProfileHives, CensusKind::KeySecurity), 0);
    EXPECT_GT(Count(CensusPlace::FileSecurity, CensusKind::Descriptor), 0);
    EXPECT_EQ(Count(CensusPlace::PlainFiles, CensusKind::FileText), 1);
    // The copies count as much as what they copy, each in its own place.
    int sam = 0;
    for (const ntsim::CensusHit& h : result_.hits)
        if (h.place == CensusPlace::MachineHives && h.file == "C:\\WINNT\\system32\\config\\SAM") sam += h.count;
    EXPECT_GT(sam, 0);
    EXPECT_EQ(result_.Count(CensusPlace::WorkDirectory), sam);
    EXPECT_EQ(result_.Count(CensusPlace::HiveBackups), sam);
    // The FAT drive is read, though it keeps no descriptors.
    bool sawD = false;
    ntsim::CensusResult other;
    ASSERT_TRUE(ntsim::Census(dir_, "S-1-5-21-1-2-4", &other, &error));
    EXPECT_EQ(other.total, 0);
    std::ofstream(dir_ + "/drives/d/Backup/list.txt") << "S-1-5-21-1-2-4\n";
    ASSERT_TRUE(ntsim::Census(dir_, "S-1-5-21-1-2-4", &other, &error));
    for (const ntsim::CensusHit& h : other.hits) sawD = sawD || h.file == "D:\\Backup\\list.txt";
    EXPECT_TRUE(sawD);

    EXPECT_EQ(Tool("S-1-5-21-1-2-3"), 1);
    EXPECT_EQ(Tool("S-1-5-21-9-9-9"), 0);
    EXPECT_EQ(Tool("S-1-5-x"), 2);
    EXPECT_FALSE(ntsim::Census(dir_, "S-1-5-21-1-2", &other, &error));
}

TEST_F(CensusTest, LargeMachineHoldsThousandsOfKeysAndFiles) {
    std::string big = root_ + "/big";
    ntsim::MachineOptions options;
    options.size = "large";
    options.files = true;
    options.sid = "S-1-5-21-7-8-9";
    std::string error;
    ASSERT_TRUE(ntsim::MachineCreate(big, options, &error)) << error;
    ASSERT_TRUE(ntsim::Census(big, "S-1-5-21-7-8-9", &result_, &error)) << error;
    EXPECT_GT(result_.filesRead, 3000);
    EXPECT_GT(result_.Count(CensusPlace::FileSecurity), 3000);
    EXPECT_GT(result_.Count(CensusPlace::MachineHives), 300);  // installer data below the user's SID
}

}  // namespace
