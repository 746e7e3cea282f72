// HiveFileClean: a hive is clean only when its base block is whole and no log beside it
// holds changes not yet written to it. The logs are built here from the published
// layouts of both formats (old: base block, "DIRT" vector, dirty pages; new: base block,
// "HvLE" entries with Marvin32 hashes), beside a real XP hive and a hive ntsim writes.
#include <sys/stat.h>

#include "ntsim/registry/regf_log.h"
#include "regf_test_util.h"

namespace {

using namespace regftest;

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> FromHex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back((uint8_t)std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

void Put64(std::vector<uint8_t>& img, size_t off, uint64_t v) { memcpy(img.data() + off, &v, 8); }

// The published vectors of the Marvin32 hash (the .NET runtime's tests).
TEST(HiveLog, Marvin32MatchesPublishedVectors) {
    const uint64_t seed1 = 0x004FB61A001BDBCCULL, seed2 = 0x804FB61A001BDBCCULL;
    struct Case {
        uint64_t seed;
        const char* data;
        uint64_t hash;
    } cases[] = {
        {seed1, "", 0x30ED35C100CD3C7DULL},          {seed1, "af", 0x48E73FC77D75DDC1ULL},
        {seed1, "e70f", 0xB5F6E1FC485DBFF8ULL},      {seed1, "37f495", 0xF0B07C789B8CF7E8ULL},
        {seed1, "8642dc59", 0x7008F2E87E9CF556ULL},  {seed1, "153fb79826", 0xE6C08C6DA2AFA997ULL},
        {seed1, "0932e6246c47", 0x6F04BF1A5EA24060ULL}, {seed1, "ab427ea8d10fc7", 0xE11847E4F0678C41ULL},
        {seed2, "", 0x10A9D5D3996FD65DULL},          {seed2, "af", 0x68201F91960EBF91ULL},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> data = FromHex(c.data);
        EXPECT_EQ(ntsim::Marvin32(data.data(), data.size(), c.seed), c.hash) << c.data;
    }
}

class HiveLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = TempDir();
        hive_ = dir_ + "/SYSTEM";
        // The XP computer's SYSTEM hive as it was found, clean: sequence 4613 on both sides.
        image_ = ReadBytes(std::string(TESSIV_SOURCE_DIR) + "/tests/data/xp-hives/SYSTEM");
        ASSERT_GT(image_.size(), 8192u);
        ASSERT_TRUE(WriteFile(hive_, image_));
        seq_ = U32(image_, 8);
        ASSERT_EQ(seq_, 4613u);
    }
    void TearDown() override { RemoveDir(dir_); }

    uint32_t Check(std::string* why) { return ntsim::HiveFileClean(hive_, why); }

    // The first sector of a log: the hive's base block as the writer had it in memory,
    // with the log's file type, its sequence numbers and a checksum of its own.
    std::vector<uint8_t> LogBase(uint32_t type, uint32_t primary, uint32_t secondary) {
        std::vector<uint8_t> log(image_.begin(), image_.begin() + 512);
        Put32(log, 4, primary);
        Put32(log, 8, secondary);
        Put32(log, 28, type);
        FixChecksum(log);
        return log;
    }

    // An old-format log: base block, "DIRT" and a bitmap of 512-byte pages of the bins,
    // padded to the sector, then the dirty pages in bitmap order.
    std::vector<uint8_t> OldLog(uint32_t seq, const std::vector<size_t>& dirtyPages, uint32_t secondary = 0) {
        std::vector<uint8_t> log = LogBase(1, seq, secondary ? secondary : seq);
        uint32_t bits = U32(image_, 40) / 512;
        std::vector<uint8_t> vec(4 + (bits + 7) / 8, 0);
        memcpy(vec.data(), "DIRT", 4);
        for (size_t page : dirtyPages) vec[4 + page / 8] |= (uint8_t)(1u << (page % 8));
        vec.resize((vec.size() + 511) / 512 * 512, 0);
        log.insert(log.end(), vec.begin(), vec.end());
        for (size_t page : dirtyPages)
            log.insert(log.end(), image_.begin() + 4096 + page * 512, image_.begin() + 4096 + (page + 1) * 512);
        return log;
    }

    // A new-format log entry: the header, references to whole 4 KiB pages of the bins,
    // the pages, padding to a sector; hash 1 over all after the header, hash 2 over its
    // first 32 bytes.
    std::vector<uint8_t> Entry(uint32_t seq, const std::vector<uint32_t>& pageOffsets) {
        std::vector<uint8_t> e(40, 0);
        memcpy(e.data(), "HvLE", 4);
        Put32(e, 16, U32(image_, 40));
        Put32(e, 20, (uint32_t)pageOffsets.size());
        for (uint32_t off : pageOffsets) {
            e.resize(e.size() + 8);
            Put32(e, e.size() - 8, off);
            Put32(e, e.size() - 4, 4096);
        }
        for (uint32_t off : pageOffsets) e.insert(e.end(), image_.begin() + 4096 + off, image_.begin() + 4096 + off + 4096);
        e.resize((e.size() + 511) / 512 * 512, 0);
        Put32(e, 4, (uint32_t)e.size());
        Put32(e, 12, seq);
        Put64(e, 24, ntsim::Marvin32(e.data() + 40, e.size() - 40, ntsim::kHiveLogMarvinSeed));
        Put64(e, 32, ntsim::Marvin32(e.data(), 32, ntsim::kHiveLogMarvinSeed));
        return e;
    }
    std::vector<uint8_t> NewLog(const std::vector<std::vector<uint8_t>>& entries) {
        std::vector<uint8_t> log = LogBase(6, seq_, seq_);
        for (const auto& e : entries) log.insert(log.end(), e.begin(), e.end());
        return log;
    }

    std::string dir_, hive_;
    std::vector<uint8_t> image_;
    uint32_t seq_ = 0;
};

TEST_F(HiveLogTest, CleanHivesPass) {
    std::string why = "stale";
    EXPECT_EQ(Check(&why), (uint32_t)ERROR_SUCCESS);
    EXPECT_EQ(why, "");
    // A hive ntsim writes, with an empty log beside it (Vista and later keep one for the old name).
    Hive hive = NewHive(5);
    SetValue(Add(hive.root.get(), "Select"), "Current", 4, {1, 0, 0, 0});
    ASSERT_EQ(ntsim::RegfSaveFile(hive, dir_ + "/SOFTWARE"), (uint32_t)ERROR_SUCCESS);
    ASSERT_TRUE(WriteFile(dir_ + "/SOFTWARE.LOG", {}));
    EXPECT_EQ(ntsim::HiveFileClean(dir_ + "/SOFTWARE", &why), (uint32_t)ERROR_SUCCESS) << why;
}

TEST_F(HiveLogTest, BaseBlockOfACutWriteIsDirty) {
    std::string why;
    std::vector<uint8_t> cut = image_;
    Put32(cut, 4, seq_ + 1);  // the write began and never ended
    FixChecksum(cut);
    ASSERT_TRUE(WriteFile(hive_, cut));
    EXPECT_EQ(Check(&why), (uint32_t)ERROR_BADDB);
    EXPECT_NE(why.find("sequence numbers differ (4614 and 4613)"), std::string::npos) << why;

    std::vector<uint8_t> torn = image_;
    torn[48] ^= 0x55;  // the base block half written: its checksum no longer holds
    ASSERT_TRUE(WriteFile(hive_, torn));
    EXPECT_EQ(Check(&why), (uint32_t)ERROR_BADDB);
    EXPECT_NE(why.find("checksum"), std::string::npos) << why;
}

TEST_F(HiveLogTest, OldFormatLogWithNewerPagesIsDirty) {
    // The log was written, the hive not yet: the log's sequence is past the hive's.
    ASSERT_TRUE(WriteFile(dir_ + "/system.LOG", OldLog(seq_ + 1, {8, 9, 10, 11, 12, 13, 14, 15})));
    std::string why;
    EXPECT_EQ(Check(&why), (uint32_t)ERROR_BADDB);
    EXPECT_NE(why.find("system.LOG holds changes not yet written"), std::string::npos) << why;
    EXPECT_NE(why.find("old-format log of sequence 4614"), std::string::npos) << why;
    EXPECT_NE(why.find("8 dirty 512-byte pages"), std::string::npos) << why;
}

TEST_F(HiveLogTest, OldFormatLogsAlreadyWrittenOrTornAreClean) {
    std::string why;
    const std::string log = dir_ + "/SYSTEM.LOG";
    // XP SP2 leaves the log one behind the hive, Vista SP2 level with it.
    for (uint32_t seq : {seq_ - 1, seq_}) {
        ASSERT_TRUE(WriteFile(log, OldLog(seq, {0, 1, 2, 3, 4, 5, 6, 7})));
        EXPECT_EQ(Check(&why), (uint32_t)ERROR_SUCCESS) << seq << ": " << why;
    }
    // Newer but with no dirty page; a log whose own write was cut off; one with a bad checksum.
    ASSERT_TRUE(WriteFile(log, OldLog(seq_ + 1, {})));
    EXPECT_EQ(Check(&why), (uint32_t)ERROR_SUCCESS) << why;
    ASSERT_TRUE(WriteFile(log, OldLog(seq_ + 2, {0, 1, 2, 3, 4, 5, 6, 7}, seq_ + 1)));
    EXPECT_EQ(Check(&why), (uint32_t)ERROR_SUCCESS) << why;
    std::vector<uint8_t> bad = OldLog(seq_ + 1, {0, 1, 2, 3, 4, 5, 6, 7});
    bad[60] ^= 1;
    ASSERT_TRUE(WriteFile(log, bad));
    EXPECT_EQ(Check(&why), (uint32_t)ERROR_SUCCESS) << why;
}

TEST_F(HiveLogTest, NewFormatEntriesFromTheHivesSequenceAreDirty) {
    std::string why;
    // .LOG1 holds three entries that continue the hive's sequence.
    ASSERT_TRUE(WriteFile(dir_ + "/SYSTEM.LOG1", NewLog({Entry(seq_, {0}), Entry(seq_ + 1, {4096}), Entry(seq_ + 2, {0, 8192})})));
    EXPECT_EQ(Check(&why), (uint32_t)ERROR_BADDB);
    EXPECT_NE(why.find("SYSTEM.LOG1 holds changes not yet written"), std::string::npos) << why;
    EXPECT_NE(why.find("3 entries of sequence 4613 to 4615"), std::string::npos) << why;

    // Old entries in .LOG1, the newer ones in .LOG2 after a switch of logs.
    ASSERT_TRUE(WriteFile(dir_ + "/SYSTEM.LOG1", NewLog({Entry(seq_ - 2, {0}), Entry(seq_ - 1, {0})})));
    ASSERT_TRUE(WriteFile(dir_ + "/SYSTEM.LOG2", NewLog({Entry(seq_ + 5, {4096})})));
    EXPECT_EQ(Check(&why), (uint32_t)ERROR_BADDB);
    EXPECT_NE(why.find("SYSTEM.LOG2 holds changes not yet written"), std::string::npos) << why;
    EXPECT_NE(why.find("1 entry of sequence 4618"), std::string::npos) << why;
}

TEST_F(HiveLogTest, NewFormatEntriesAlreadyReconciledOrBrokenAreClean) {
    std::string why;
    const std::string log = dir_ + "/SYSTEM.LOG1";
    ASSERT_TRUE(WriteFile(log, NewLog({Entry(seq_ - 3, {0}), Entry(seq_ - 2, {4096}), Entry(seq_ - 1, {0})})));
    EXPECT_EQ(Check(&why), (uint32_t)ERROR_SUCCESS) << why;

    // An entry whose hashes do not hold (a torn write) ends the log: nothing after it counts.
    std::vector<uint8_t> torn = Entry(seq_, {0});
    torn[600] ^= 1;  // inside its page: hash 1 fails
    ASSERT_TRUE(WriteFile(log, NewLog({Entry(seq_ - 1, {0}), torn, Entry(seq_ + 1, {0})})));
    EXPECT_EQ(Check(&why), (uint32_t)ERROR_SUCCESS) << why;
    std::vector<uint8_t> header = Entry(seq_, {0});
    Put32(header, 12, seq_ + 1);  // the sequence changed after hash 2 was taken
    ASSERT_TRUE(WriteFile(log, NewLog({header})));
    EXPECT_EQ(Check(&why), (uint32_t)ERROR_SUCCESS) << why;
    std::vector<uint8_t> odd = Entry(seq_, {0});
    Put32(odd, 16, U32(image_, 40) + 512);  // a bins size NT never writes
    Put64(odd, 32, ntsim::Marvin32(odd.data(), 32, ntsim::kHiveLogMarvinSeed));
    ASSERT_TRUE(WriteFile(log, NewLog({odd})));
    EXPECT_EQ(Check(&why), (uint32_t)ERROR_SUCCESS) << why;
}

TEST_F(HiveLogTest, FilesThatAreNoHiveAreRefused) {
    std::string why;
    EXPECT_EQ(ntsim::HiveFileClean(dir_ + "/MISSING", &why), (uint32_t)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ntsim::HiveFileClean(dir_ + "/none/SYSTEM", &why), (uint32_t)ERROR_PATH_NOT_FOUND);
    ASSERT_TRUE(WriteFile(dir_ + "/text", Bytes(std::string(600, 'x'))));
    EXPECT_EQ(ntsim::HiveFileClean(dir_ + "/text", &why), (uint32_t)ERROR_NOT_REGISTRY_FILE);
    EXPECT_EQ(why, "it is not a hive file");
    // A log file itself is no primary hive.
    ASSERT_TRUE(WriteFile(dir_ + "/X.LOG", OldLog(seq_, {0})));
    EXPECT_EQ(ntsim::HiveFileClean(dir_ + "/X.LOG", &why), (uint32_t)ERROR_NOT_REGISTRY_FILE);
}

TEST_F(HiveLogTest, TheCheckWritesNothing) {
    ASSERT_TRUE(WriteFile(dir_ + "/SYSTEM.LOG1", NewLog({Entry(seq_, {0})})));
    ASSERT_TRUE(WriteFile(dir_ + "/SYSTEM.LOG", OldLog(seq_ + 1, {0})));
    chmod(hive_.c_str(), 0444);
    struct stat before[3], after[3];
    const std::string files[3] = {hive_, dir_ + "/SYSTEM.LOG", dir_ + "/SYSTEM.LOG1"};
    std::vector<uint8_t> bytes[3];
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(stat(files[i].c_str(), &before[i]), 0);
        bytes[i] = ReadBytes(files[i]);
    }
    std::string why;
    EXPECT_EQ(Check(&why), (uint32_t)ERROR_BADDB);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(stat(files[i].c_str(), &after[i]), 0);
        EXPECT_EQ(after[i].st_mtim.tv_sec, before[i].st_mtim.tv_sec);
        EXPECT_EQ(after[i].st_mtim.tv_nsec, before[i].st_mtim.tv_nsec);
        EXPECT_EQ(ReadBytes(files[i]), bytes[i]) << files[i];
    }
}

}  // namespace
