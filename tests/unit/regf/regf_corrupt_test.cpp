// Corrupt, truncated and hostile hive images: each one fails with the right error
// code (1017 not a hive, 1009 corrupt) and never crashes or reads out of bounds.
#include "regf_test_util.h"

using namespace regftest;

namespace {

const uint32_t kNotHive = ERROR_NOT_REGISTRY_FILE;
const uint32_t kBad = ERROR_BADDB;

// nk payload field offsets used to lie about a key.
const size_t kNkSubkeyCount = 20, kNkSubkeyList = 28, kNkValueCount = 36, kNkValueList = 40, kNkSecurity = 44,
             kNkClass = 48, kNkNameLen = 72, kNkClassLen = 74;

class RegfCorrupt : public ::testing::TestWithParam<uint32_t> {
protected:
    void SetUp() override {
        Hive hive = NewHive(GetParam());
        HiveKey* a = Add(hive.root.get(), "Alpha");
        a->className = Wide("Class", false);
        SetValue(a, "big", 3, Pattern(20000, 1));
        SetValue(a, "small", 3, Pattern(10, 2));
        SetValue(a, "dword", 4, {1, 0, 0, 0});
        Add(a, "Child");
        HiveKey* b = Add(hive.root.get(), "Beta");
        for (int i = 0; i < 600; ++i) Add(b, "K" + std::to_string(i));
        Add(hive.root.get(), "Gamma")->security = Descriptor(0x66);
        ASSERT_EQ(ntsim::RegfWrite(hive, &image_), (uint32_t)ERROR_SUCCESS);
        alpha_ = FindKeyCell(image_, "Alpha");
        beta_ = FindKeyCell(image_, "Beta");
        gamma_ = FindKeyCell(image_, "Gamma");
        root_ = 4096 + U32(image_, 36) + 4;
        ASSERT_TRUE(alpha_ && beta_ && gamma_);
    }
    uint32_t Read(const std::vector<uint8_t>& img) {
        Hive hive;
        uint32_t err = ntsim::RegfRead(img.data(), img.size(), &hive);
        if (err == ERROR_SUCCESS) {
            EXPECT_TRUE(hive.root);
        }
        return err;
    }
    // Changes a dword of the image, keeping the header checksum valid.
    uint32_t ReadWith(size_t at, uint32_t value) {
        std::vector<uint8_t> img = image_;
        Put32(img, at, value);
        FixChecksum(img);
        return Read(img);
    }
    uint32_t ReadWith16(size_t at, uint16_t value) {
        std::vector<uint8_t> img = image_;
        memcpy(img.data() + at, &value, 2);
        FixChecksum(img);
        return Read(img);
    }
    // The file position of the first allocated cell payload with this signature.
    uint32_t FirstCell(const std::string& sig) {
        for (const Cell& c : Cells(image_))
            if (c.allocated && c.sig == sig) return 4096 + c.offset + 4;
        return 0;
    }
    std::vector<uint8_t> image_;
    uint32_t alpha_ = 0, beta_ = 0, gamma_ = 0, root_ = 0;
};

TEST_P(RegfCorrupt, IntactImageReadsAndTrailingBytesAreIgnored) {
    EXPECT_EQ(Read(image_), (uint32_t)ERROR_SUCCESS);
    std::vector<uint8_t> img = image_;
    img.resize(img.size() + 20000, 0xEE);  // stale data after the bins, as real SAM files have
    EXPECT_EQ(Read(img), (uint32_t)ERROR_SUCCESS);
}

// li leaves (NT 3.x, and Windows 7 in 1.3 hives) and the other leaf kinds read alike.
TEST_P(RegfCorrupt, EveryLeafKindReads) {
    Hive expected;
    ASSERT_EQ(ntsim::RegfRead(image_.data(), image_.size(), &expected), (uint32_t)ERROR_SUCCESS);
    // Rewrite the root's list and every leaf under Beta's ri as li (entries shrink to 4 bytes).
    std::vector<uint32_t> leaves{4096 + U32(image_, root_ + kNkSubkeyList) + 4};
    uint32_t ri = 4096 + U32(image_, beta_ + kNkSubkeyList) + 4;
    for (uint16_t i = 0; i < U16(image_, ri + 2); ++i) leaves.push_back(4096 + U32(image_, ri + 4 + 4 * i) + 4);
    for (const char* kind : {"li", "lf", "lh"}) {
        std::vector<uint8_t> img = image_;
        for (uint32_t leaf : leaves) {
            uint16_t n = U16(img, leaf + 2);
            memcpy(img.data() + leaf, kind, 2);
            if (strcmp(kind, "li") == 0)
                for (uint16_t i = 0; i < n; ++i) Put32(img, leaf + 4 + 4 * i, U32(image_, leaf + 4 + 8 * i));
        }
        Hive hive;
        ASSERT_EQ(ntsim::RegfRead(img.data(), img.size(), &hive), (uint32_t)ERROR_SUCCESS) << kind;
        EXPECT_EQ(TreeDiff(*expected.root, *hive.root), "") << kind;
    }
}

TEST_P(RegfCorrupt, TruncationsAreNotHives) {
    for (size_t size : {(size_t)0, (size_t)3, (size_t)511, (size_t)4095, (size_t)4096, (size_t)8191}) {
        std::vector<uint8_t> img(image_.begin(), image_.begin() + std::min(size, image_.size()));
        EXPECT_EQ(Read(img), kNotHive) << "size " << size;
    }
    for (size_t size = 8192; size < image_.size(); size += 1531) {
        std::vector<uint8_t> img(image_.begin(), image_.begin() + size);
        EXPECT_EQ(Read(img), kNotHive) << "size " << size;
    }
    EXPECT_EQ(ntsim::RegfRead(nullptr, 0, nullptr), kNotHive);
}

TEST_P(RegfCorrupt, HeaderProblems) {
    std::vector<uint8_t> img = image_;
    img[0] = 'R';
    FixChecksum(img);
    EXPECT_EQ(Read(img), kNotHive) << "signature";
    EXPECT_EQ(ReadWith(20, 2), kNotHive) << "major 2";
    EXPECT_EQ(ReadWith(24, 2), kNotHive) << "minor 2 (NT 3.5)";
    EXPECT_EQ(ReadWith(24, 7), kNotHive) << "minor 7";
    EXPECT_EQ(ReadWith(28, 1), kNotHive) << "a log file";
    EXPECT_EQ(ReadWith(32, 2), kNotHive) << "format";
    EXPECT_EQ(ReadWith(40, 0), kNotHive) << "no bins";
    EXPECT_EQ(ReadWith(40, 4100), kNotHive) << "bins size not a multiple of 4096";
    EXPECT_EQ(ReadWith(40, U32(image_, 40) + 4096), kNotHive) << "bins past the end";
    EXPECT_EQ(ReadWith(40, 0xFFFFF000), kNotHive) << "huge bins size";
    // Any header byte changed without a matching checksum.
    for (size_t at : {4, 12, 36, 44, 100, 300, 508}) {
        img = image_;
        img[at] ^= 0x40;
        EXPECT_EQ(Read(img), kBad) << "byte " << at;
    }
    // Beyond the checksummed part the rest of the base block is not looked at.
    img = image_;
    img[2000] ^= 0x40;
    EXPECT_EQ(Read(img), (uint32_t)ERROR_SUCCESS);
    // Unequal sequence numbers (a hive NT did not finish writing) still read.
    EXPECT_EQ(ReadWith(4, U32(image_, 4) + 1), (uint32_t)ERROR_SUCCESS);
}

TEST_P(RegfCorrupt, RootThatIsNotAKey) {
    EXPECT_EQ(ReadWith(36, 0xFFFFFFFF), kBad);
    EXPECT_EQ(ReadWith(36, U32(image_, 36) + 8), kBad) << "inside a cell";
    EXPECT_EQ(ReadWith(36, U32(image_, 36) + 1), kBad) << "unaligned";
    EXPECT_EQ(ReadWith(36, U32(image_, 40)), kBad) << "past the bins";
    EXPECT_EQ(ReadWith(36, FirstCell("sk") - 4096 - 4), kBad) << "an sk cell";
    EXPECT_EQ(ReadWith(36, FirstCell("vk") - 4096 - 4), kBad) << "a vk cell";
}

TEST_P(RegfCorrupt, BinsAndCellsThatDoNotTile) {
    EXPECT_EQ(ReadWith(4096, 0x6E696248), kBad) << "bin signature (Hbin)";
    EXPECT_EQ(ReadWith(4096 + 4, 4096), kBad) << "bin offset field";
    EXPECT_EQ(ReadWith(4096 + 8, 0), kBad) << "bin size 0";
    EXPECT_EQ(ReadWith(4096 + 8, 4000), kBad) << "bin size not a multiple of 4096";
    EXPECT_EQ(ReadWith(4096 + 8, U32(image_, 40) + 4096), kBad) << "bin past the data";
    EXPECT_EQ(ReadWith(4096 + 8, 8192), kBad) << "bin swallowing the next bin's header as cells";
    EXPECT_EQ(ReadWith(4096 + 32, 0), kBad) << "cell size 0";
    EXPECT_EQ(ReadWith(4096 + 32, (uint32_t)-12), kBad) << "cell size not a multiple of 8";
    EXPECT_EQ(ReadWith(4096 + 32, (uint32_t)-(4096 * 4)), kBad) << "cell crossing its bin";
    EXPECT_EQ(ReadWith(4096 + 32, 0x80000000), kBad) << "the most negative size";
    // A bin whose free tail is missing its cell header.
    std::vector<uint8_t> img = image_;
    Put32(img, 4096 + 32, (uint32_t)-(4096 - 32 - 4));
    FixChecksum(img);
    EXPECT_EQ(Read(img), kBad);
}

TEST_P(RegfCorrupt, LyingLengthsAndCounts) {
    EXPECT_EQ(ReadWith16(alpha_ + kNkNameLen, 0xFFFF), kBad) << "name longer than its cell";
    EXPECT_EQ(ReadWith16(alpha_ + kNkClassLen, 0xFFFF), kBad) << "class longer than its cell";
    EXPECT_EQ(ReadWith(alpha_ + kNkClass, 0xFFFFFFFF), kBad) << "class length without a cell";
    EXPECT_EQ(ReadWith(alpha_ + kNkValueCount, 0x40000000), kBad) << "value count beyond its list";
    EXPECT_EQ(ReadWith(alpha_ + kNkValueCount, 0xFFFFFFFF), kBad);
    EXPECT_EQ(ReadWith(alpha_ + kNkSubkeyCount, 2), kBad) << "more subkeys than listed";
    EXPECT_EQ(ReadWith(alpha_ + kNkSubkeyCount, 0), (uint32_t)ERROR_SUCCESS) << "a count of 0 ignores the list";
    EXPECT_EQ(ReadWith(beta_ + kNkSubkeyCount, 599), kBad) << "fewer subkeys than an ri lists";
    EXPECT_EQ(ReadWith(beta_ + kNkSubkeyCount, 601), kBad);
    EXPECT_EQ(ReadWith(root_ + kNkSubkeyCount, 0xFFFFFFFF), kBad);
    uint32_t sk = FirstCell("sk");
    EXPECT_EQ(ReadWith(sk + 16, 0x7FFFFFFF), kBad) << "descriptor longer than its cell";
    EXPECT_EQ(ReadWith(alpha_ + kNkSecurity, U32(image_, alpha_ + kNkSecurity) + 8), kBad) << "security not at a cell";
    EXPECT_EQ(ReadWith(alpha_ + kNkSecurity, FirstCell("vk") - 4100), kBad) << "security pointing at a vk";

    // Values: the vk of "small" (10 bytes in a cell), "dword" (inline) and "big".
    uint32_t list = 4096 + U32(image_, alpha_ + kNkValueList) + 4;
    uint32_t big = 4096 + U32(image_, list) + 4, small = 4096 + U32(image_, list + 4) + 4;
    uint32_t dword = 4096 + U32(image_, list + 8) + 4;
    EXPECT_EQ(ReadWith16(small + 2, 0x7FFF), kBad) << "value name longer than its cell";
    EXPECT_EQ(ReadWith(small + 4, 5000), kBad) << "data longer than its cell";
    EXPECT_EQ(ReadWith(small + 8, 0xFFFFFFF8), kBad) << "data cell outside the hive";
    EXPECT_EQ(ReadWith(small + 8, U32(image_, small + 8) + 16), kBad) << "data not at a cell start";
    EXPECT_EQ(ReadWith(dword + 4, 0x80000005), kBad) << "inline data longer than 4 bytes";
    EXPECT_EQ(ReadWith(dword + 4, 0x80000000), (uint32_t)ERROR_SUCCESS) << "empty inline data";
    EXPECT_EQ(ReadWith(list, U32(image_, alpha_ - 4096 - 4) + 0), kBad) << "value list naming a key";
    EXPECT_EQ(ReadWith(list + 4, U32(image_, list)), kBad) << "one vk listed twice";
    if (GetParam() == 3) {
        EXPECT_EQ(ReadWith(big + 4, 30000), kBad) << "1.3 has no db records";
    } else {
        uint32_t db = 4096 + U32(image_, big + 8) + 4;
        ASSERT_EQ(memcmp(image_.data() + db, "db", 2), 0);
        EXPECT_EQ(ReadWith16(db + 2, 1), kBad) << "too few segments";
        EXPECT_EQ(ReadWith16(db + 2, 3), kBad) << "too many segments";
        EXPECT_EQ(ReadWith16(db + 2, 0), kBad);
        EXPECT_EQ(ReadWith(db + 4, 0xFFFFFFF0), kBad) << "segment list outside";
        uint32_t segs = 4096 + U32(image_, db + 4) + 4;
        EXPECT_EQ(ReadWith(segs + 4, U32(image_, segs)), kBad) << "a segment used twice";
        EXPECT_EQ(ReadWith(segs + 4, FirstCell("sk") - 4100), kBad) << "a segment too small for its part";
        EXPECT_EQ(ReadWith(big + 4, 40000), kBad) << "size beyond the segments";
    }
}

TEST_P(RegfCorrupt, ListsThatLoopOrShare) {
    uint32_t alphaList = 4096 + U32(image_, alpha_ + kNkSubkeyList) + 4;
    uint32_t rootCell = U32(image_, 36);
    EXPECT_EQ(ReadWith(alphaList + 4, rootCell), kBad) << "a subkey that is the root (a cycle)";
    EXPECT_EQ(ReadWith(alphaList + 4, (uint32_t)(alpha_ - 4096 - 4)), kBad) << "a key that is its own subkey";
    EXPECT_EQ(ReadWith(alphaList + 4, (uint32_t)(gamma_ - 4096 - 4)), kBad) << "a key listed under two parents";
    EXPECT_EQ(ReadWith(alphaList + 4, FirstCell("vk") - 4100), kBad) << "a subkey that is a vk";
    EXPECT_EQ(ReadWith(alphaList + 4, 0xFFFFFFFF), kBad);
    EXPECT_EQ(ReadWith16(alphaList, 0x7878), kBad) << "unknown list kind";
    EXPECT_EQ(ReadWith16(alphaList + 2, 0xFFFF), kBad) << "entry count beyond the list cell";
    EXPECT_EQ(ReadWith(alpha_ + kNkSubkeyList, U32(image_, root_ + kNkSubkeyList)), kBad) << "two keys sharing a list";
    // The ri under Beta: a leaf that is an ri (nesting), a leaf listed twice.
    uint32_t ri = 4096 + U32(image_, beta_ + kNkSubkeyList) + 4;
    ASSERT_EQ(memcmp(image_.data() + ri, "ri", 2), 0);
    EXPECT_EQ(ReadWith(ri + 4, (uint32_t)(ri - 4096 - 4)), kBad) << "an ri inside itself";
    EXPECT_EQ(ReadWith(ri + 8, U32(image_, ri + 4)), kBad) << "a leaf listed twice";
    EXPECT_EQ(ReadWith16(ri + 2, 0xFFFF), kBad) << "leaf count beyond the ri cell";
    // Root's list pointing back at the root itself.
    uint32_t rootList = 4096 + U32(image_, root_ + kNkSubkeyList) + 4;
    EXPECT_EQ(ReadWith(rootList + 4, rootCell), kBad);
}

TEST_P(RegfCorrupt, DuplicateAndUnsortedNames) {
    // Renaming "Gamma" to "ALPHA" makes two equal names in one list.
    std::vector<uint8_t> img = image_;
    memcpy(img.data() + gamma_ + 76, "ALPHA", 5);
    EXPECT_EQ(Read(img), kBad);
    // Renaming it to "Aaaaa" only breaks the order, which the reader repairs.
    memcpy(img.data() + gamma_ + 76, "Aaaaa", 5);
    Hive hive;
    ASSERT_EQ(ntsim::RegfRead(img.data(), img.size(), &hive), (uint32_t)ERROR_SUCCESS);
    ASSERT_EQ(hive.root->subkeys.size(), 3u);
    EXPECT_EQ(hive.root->subkeys[0]->name, "Aaaaa");
    EXPECT_EQ(hive.root->subkeys[1]->name, "Alpha");
    EXPECT_TRUE(hive.root->FindSubkey("aaaaa"));
}

TEST_P(RegfCorrupt, NestingDeeperThanNtAllows) {
    for (int levels : {511, 512}) {
        Hive hive = NewHive(GetParam());
        HiveKey* k = hive.root.get();
        for (int i = 0; i < levels; ++i) k = Add(k, "L");
        std::vector<uint8_t> img;
        ASSERT_EQ(ntsim::RegfWrite(hive, &img), (uint32_t)ERROR_SUCCESS);
        EXPECT_EQ(Read(img), levels == 511 ? (uint32_t)ERROR_SUCCESS : kBad) << levels << " levels below the root";
    }
}

TEST_P(RegfCorrupt, RandomDamageNeverCrashes) {
    uint32_t x = 12345 + GetParam();
    int ok = 0, bad = 0;
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> img = image_;
        int flips = 1 + round % 8;
        for (int f = 0; f < flips; ++f) {
            x = x * 1103515245u + 12345u;
            size_t at = 4096 + (x >> 8) % (img.size() - 4096);
            x = x * 1103515245u + 12345u;
            img[at] = (round & 1) ? (uint8_t)(x >> 16) : (uint8_t)(img[at] ^ (1u << ((x >> 16) & 7)));
        }
        uint32_t err = Read(img);
        ASSERT_TRUE(err == ERROR_SUCCESS || err == kBad || err == kNotHive) << "error " << err;
        (err == ERROR_SUCCESS ? ok : bad)++;
    }
    EXPECT_GT(bad, 0);
    EXPECT_GT(ok, 0);
}

INSTANTIATE_TEST_SUITE_P(Versions, RegfCorrupt, ::testing::Values(3u, 5u), [](const auto& info) {
    return "v1_" + std::to_string(info.param);
});

}  // namespace
