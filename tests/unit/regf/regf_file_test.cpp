// Hive files on disk: loading errors, the atomic save, and what a failed save leaves.
#include <dirent.h>
#include <sys/stat.h>

#include "ntsim/kernel/faults.h"
#include "regf_test_util.h"

using namespace regftest;

namespace {

class RegfFile : public ::testing::Test {
protected:
    void SetUp() override { dir_ = TempDir(); }
    void TearDown() override {
        ntsim::FaultClearAll();
        RemoveDir(dir_);
    }
    std::vector<std::string> Entries() {
        std::vector<std::string> names;
        DIR* d = opendir(dir_.c_str());
        while (struct dirent* e = d ? readdir(d) : nullptr)
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        if (d) closedir(d);
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string dir_;
};

TEST_F(RegfFile, LoadErrors) {
    Hive hive;
    EXPECT_EQ(ntsim::RegfLoadFile(dir_ + "/missing", &hive), (uint32_t)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ntsim::RegfLoadFile(dir_ + "/no/such/dir/SYSTEM", &hive), (uint32_t)ERROR_PATH_NOT_FOUND);
    ASSERT_TRUE(WriteFile(dir_ + "/plain", Bytes("not a hive")));
    EXPECT_EQ(ntsim::RegfLoadFile(dir_ + "/plain/SYSTEM", &hive), (uint32_t)ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(ntsim::RegfLoadFile(dir_, &hive), (uint32_t)ERROR_ACCESS_DENIED) << "a directory";
    EXPECT_EQ(ntsim::RegfLoadFile(dir_ + "/plain", &hive), (uint32_t)ERROR_NOT_REGISTRY_FILE);
    ASSERT_TRUE(WriteFile(dir_ + "/empty", {}));
    EXPECT_EQ(ntsim::RegfLoadFile(dir_ + "/empty", &hive), (uint32_t)ERROR_NOT_REGISTRY_FILE);
    EXPECT_FALSE(hive.root) << "a failed load leaves the hive alone";

    Hive good = NewHive(5);
    ASSERT_EQ(ntsim::RegfSaveFile(good, dir_ + "/SYSTEM"), (uint32_t)ERROR_SUCCESS);
    ntsim::FaultAdd({"RegfLoadFile", ERROR_READ_FAULT, 0, "*SYSTEM", false});
    EXPECT_EQ(ntsim::RegfLoadFile(dir_ + "/SYSTEM", &hive), (uint32_t)ERROR_READ_FAULT);
    ntsim::FaultClearAll();
    EXPECT_EQ(ntsim::RegfLoadFile(dir_ + "/SYSTEM", &hive), (uint32_t)ERROR_SUCCESS);
    EXPECT_EQ(TreeDiff(*good.root, *hive.root), "");

    // Stale bytes after the bins (as 256 KiB SAM files carry) are not part of the hive.
    std::vector<uint8_t> img;
    ASSERT_EQ(ntsim::RegfWrite(good, &img), (uint32_t)ERROR_SUCCESS);
    size_t hiveSize = img.size();
    img.resize(hiveSize + 256 * 1024, 0xAB);
    ASSERT_TRUE(WriteFile(dir_ + "/SAM", img));
    Hive sam;
    EXPECT_EQ(ntsim::RegfLoadFile(dir_ + "/SAM", &sam), (uint32_t)ERROR_SUCCESS);
    // And a file cut inside its bins is not a hive.
    img.resize(hiveSize - 1);
    ASSERT_TRUE(WriteFile(dir_ + "/SAM", img));
    EXPECT_EQ(ntsim::RegfLoadFile(dir_ + "/SAM", &sam), (uint32_t)ERROR_NOT_REGISTRY_FILE);
}

TEST_F(RegfFile, SaveReplacesTheFileWholeAndLeavesNoTemporary) {
    Hive first = NewHive(3);
    SetValue(first.root.get(), "generation", 4, {1, 0, 0, 0});
    std::string path = dir_ + "/SAM";
    ASSERT_EQ(ntsim::RegfSaveFile(first, path), (uint32_t)ERROR_SUCCESS);
    struct stat before;
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    Hive second = NewHive(3);
    SetValue(second.root.get(), "generation", 4, {2, 0, 0, 0});
    for (int i = 0; i < 200; ++i) Add(second.root.get(), "k" + std::to_string(i));
    ASSERT_EQ(ntsim::RegfSaveFile(second, path), (uint32_t)ERROR_SUCCESS);
    struct stat after;
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino) << "a new file renamed over the old one";
    EXPECT_EQ(Entries(), std::vector<std::string>{"SAM"});
    Hive back;
    ASSERT_EQ(ntsim::RegfLoadFile(path, &back), (uint32_t)ERROR_SUCCESS);
    EXPECT_EQ(TreeDiff(*second.root, *back.root), "");
    EXPECT_EQ(ntsim::RegfSaveFile(second, dir_ + "/missing/SAM"), (uint32_t)ERROR_PATH_NOT_FOUND);
    Hive invalid;
    EXPECT_EQ(ntsim::RegfSaveFile(invalid, path), (uint32_t)ERROR_INVALID_PARAMETER);
    ASSERT_EQ(ntsim::RegfLoadFile(path, &back), (uint32_t)ERROR_SUCCESS) << "a refused save keeps the old file";
}

TEST_F(RegfFile, EveryFailedStepKeepsTheOldHive) {
    Hive old = NewHive(5);
    SetValue(old.root.get(), "state", 1, Wide("old"));
    std::string path = dir_ + "/SOFTWARE";
    ASSERT_EQ(ntsim::RegfSaveFile(old, path), (uint32_t)ERROR_SUCCESS);
    Hive next = NewHive(5);
    SetValue(next.root.get(), "state", 1, Wide("new"));
    for (const char* step : {"RegfSaveFile:create", "RegfSaveFile:write", "RegfSaveFile:fsync", "RegfSaveFile:rename"}) {
        ntsim::FaultClearAll();
        ntsim::FaultAdd({step, ERROR_DISK_FULL, 1, "*SOFTWARE", false});
        EXPECT_EQ(ntsim::RegfSaveFile(next, path), (uint32_t)ERROR_DISK_FULL) << step;
        EXPECT_EQ(Entries(), std::vector<std::string>{"SOFTWARE"}) << step << " left a temporary file";
        Hive back;
        ASSERT_EQ(ntsim::RegfLoadFile(path, &back), (uint32_t)ERROR_SUCCESS) << step;
        EXPECT_EQ(TreeDiff(*old.root, *back.root), "") << step << " damaged the old hive";
    }
    ntsim::FaultClearAll();
    ASSERT_EQ(ntsim::RegfSaveFile(next, path), (uint32_t)ERROR_SUCCESS);
    Hive back;
    ASSERT_EQ(ntsim::RegfLoadFile(path, &back), (uint32_t)ERROR_SUCCESS);
    EXPECT_EQ(TreeDiff(*next.root, *back.root), "");
}

// The seed corpus of the fuzz target holds hives from both writers; they must keep reading.
TEST(RegfSeeds, CorpusHivesRead) {
    std::string dir = std::string(TESSIV_SOURCE_DIR) + "/tests/fuzz/corpus/regf_fuzz";
    int seen = 0;
    for (const char* name : {"ours_v1_3_small", "ours_v1_5_db", "ours_v1_3_ri", "ours_v1_5_ri", "hivex_v1_3_edited"}) {
        Hive hive;
        EXPECT_EQ(ntsim::RegfLoadFile(dir + "/" + name, &hive), (uint32_t)ERROR_SUCCESS) << name;
        seen += hive.root != nullptr;
    }
    EXPECT_EQ(seen, 5);
}

// A flush takes the smallest free cell that holds a new one, from the lists of one size and
// from the sorted large cells alike, and each cell only once.
TEST(FreeCells, TheSmallestThatHoldsIsTakenOnce) {
    ntsim::FreeCells cells;
    for (auto [size, offset] : std::vector<std::pair<uint32_t, uint32_t>>{
             {24, 0x100}, {24, 0x200}, {4096, 0x300}, {16376, 0x400}, {16384, 0x500}, {40000, 0x600}, {12, 0x700}})
        cells.emplace(size, offset);
    uint32_t have = 0, offset = 0;
    std::vector<uint32_t> taken, offsets;
    for (uint32_t need : {16u, 24u, 24u, 64u, 8192u, 16376u}) {
        ASSERT_TRUE(cells.TakeAtLeast(need, &have, &offset)) << need;
        taken.push_back(have);
        offsets.push_back(offset);
    }
    EXPECT_EQ(taken, (std::vector<uint32_t>{24, 24, 4096, 16376, 16384, 40000}));
    EXPECT_NE(offsets[0], offsets[1]);
    EXPECT_FALSE(cells.TakeAtLeast(16, &have, &offset));  // only the 12 is left
    ASSERT_TRUE(cells.TakeAtLeast(8, &have, &offset));
    EXPECT_EQ(have, 12u);
    EXPECT_EQ(offset, 0x700u);
    EXPECT_EQ(cells.size(), 0u);
}

}  // namespace
