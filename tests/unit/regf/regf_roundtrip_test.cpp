// Hive files written and read back: every shape of tree survives both versions,
// and the written structures are the ones NT of that version expects.
#include "regf_test_util.h"

using namespace regftest;

namespace {

class RegfRoundTrip : public ::testing::TestWithParam<uint32_t> {};

TEST_P(RegfRoundTrip, EmptyHiveKeepsRootNameAndHeader) {
    Hive hive = NewHive(GetParam(), "CMI-CreateHive{2A7FB991-7BBE-4F9D-B91E-7CB51D4737F5}");
    hive.root->security.reset();
    std::vector<uint8_t> img;
    Hive back = RoundTrip(hive, &img);
    EXPECT_EQ(TreeDiff(*hive.root, *back.root), "");
    EXPECT_EQ(back.rootName, hive.rootName);
    EXPECT_EQ(back.minorVersion, GetParam());
    ASSERT_GE(img.size(), 8192u);
    EXPECT_EQ(memcmp(img.data(), "regf", 4), 0);
    EXPECT_EQ(U32(img, 4), U32(img, 8)) << "sequence numbers must be equal in a clean hive";
    EXPECT_EQ(U32(img, 20), 1u);
    EXPECT_EQ(U32(img, 24), GetParam());
    EXPECT_EQ(U32(img, 28), 0u);
    EXPECT_EQ(U32(img, 32), 1u);
    EXPECT_EQ(U32(img, 40), img.size() - 4096);
    EXPECT_EQ(U32(img, 40) % 4096, 0u);
    uint32_t x = 0;
    for (size_t i = 0; i < 508; i += 4) x ^= U32(img, i);
    EXPECT_EQ(U32(img, 508), x);
    // The root nk carries KEY_HIVE_ENTRY and the key's own NO_DELETE.
    uint32_t root = U32(img, 36);
    EXPECT_EQ(U16(img, 4096 + root + 4 + 2) & 0x0C, 0x0C);
    // The first bin's time mirrors the base block's.
    EXPECT_EQ(memcmp(img.data() + 4096 + 20, img.data() + 12, 8), 0);
}

TEST_P(RegfRoundTrip, DeepTreeAndManyShapes) {
    Hive hive = NewHive(GetParam());
    HiveKey* k = hive.root.get();
    for (int i = 0; i < 400; ++i) k = Add(k, "Level" + std::to_string(i), 0x01D2000000000000ULL + i);
    SetValue(k, "Bottom", 4, {1, 2, 3, 4});
    HiveKey* wide = Add(hive.root.get(), "Wide");
    for (int i = 0; i < 50; ++i) {
        HiveKey* c = Add(wide, "Child" + std::to_string(i));
        for (int j = 0; j < i % 5; ++j) Add(c, "Grand" + std::to_string(j));
    }
    Hive back = RoundTrip(hive);
    ASSERT_TRUE(back.root);
    EXPECT_EQ(TreeDiff(*hive.root, *back.root), "");
}

TEST_P(RegfRoundTrip, ThousandsOfSubkeysGoThroughRi) {
    Hive hive = NewHive(GetParam());
    HiveKey* big = Add(hive.root.get(), "Big");
    for (int i = 0; i < 3000; ++i) Add(big, "Sub" + std::to_string(i * 7919 % 100000));
    HiveKey* small = Add(hive.root.get(), "Small");
    Add(small, "abcdef");
    std::vector<uint8_t> img;
    Hive back = RoundTrip(hive, &img);
    EXPECT_EQ(TreeDiff(*hive.root, *back.root), "");
    auto counts = SignatureCounts(img);
    EXPECT_EQ(counts["ri"], 1);
    if (GetParam() < 5) {
        EXPECT_EQ(counts["lh"], 0) << "NT 4.0 and 2000 cannot read lh lists";
        EXPECT_GE(counts["lf"], 7);
    } else {
        EXPECT_EQ(counts["lf"], 0);
        EXPECT_GE(counts["lh"], 7);
    }
    // The leaf entry of "abcdef": the lf hint is its first four characters as stored,
    // the lh hash is h = h * 37 + upcase(c).
    uint32_t smallNk = FindKeyCell(img, "Small");
    ASSERT_NE(smallNk, 0u);
    uint32_t list = U32(img, smallNk + 28);
    uint32_t entry = 4096 + list + 4 + 4;
    if (GetParam() < 5) {
        EXPECT_EQ(memcmp(img.data() + entry + 4, "abcd", 4), 0);
    } else {
        uint32_t h = 0;
        for (char c : std::string("ABCDEF")) h = h * 37 + (uint8_t)c;
        EXPECT_EQ(U32(img, entry + 4), h);
    }
}

TEST_P(RegfRoundTrip, ValuesOfEveryTypeAndSize) {
    Hive hive = NewHive(GetParam());
    HiveKey* k = Add(hive.root.get(), "Values");
    SetValue(k, "", 1, Wide("default value"));
    SetValue(k, "none", 0, {});
    SetValue(k, "sz", 1, Wide("text"));
    SetValue(k, "expand", 2, Wide("%SystemRoot%\\system32"));
    SetValue(k, "binary", 3, {0, 1, 2, 3, 4, 5, 6});
    SetValue(k, "dword", 4, {0x78, 0x56, 0x34, 0x12});
    SetValue(k, "dwordbe", 5, {0x12, 0x34, 0x56, 0x78});
    SetValue(k, "link", 6, Wide("\\Registry\\Machine\\System\\ControlSet001", false));
    SetValue(k, "multi", 7, Wide(std::string("one\0two\0", 8)));
    SetValue(k, "resource list", 8, Pattern(40, 8));
    SetValue(k, "resource descriptor", 9, Pattern(12, 9));
    SetValue(k, "requirements", 10, Pattern(60, 10));
    SetValue(k, "qword", 11, {1, 2, 3, 4, 5, 6, 7, 8});
    SetValue(k, "odd type", 0x12345678, {9});
    SetValue(k, "empty sz", 1, {});
    for (int n = 0; n <= 9; ++n) SetValue(k, "size" + std::to_string(n), 3, Pattern(n, n));
    SetValue(k, "just under a segment", 3, Pattern(16344, 1));
    SetValue(k, "just over a segment", 3, Pattern(16345, 2));
    SetValue(k, "several segments", 3, Pattern(16344 * 3, 3));
    SetValue(k, "big", 3, Pattern(200000, 4));
    SetValue(k, "big odd", 1, Pattern(100001, 5));
    std::vector<uint8_t> img;
    Hive back = RoundTrip(hive, &img);
    EXPECT_EQ(TreeDiff(*hive.root, *back.root), "");
    auto counts = SignatureCounts(img);
    if (GetParam() == 3) {
        EXPECT_EQ(counts["db"], 0) << "1.3 stores a big value as one cell";
    } else {
        EXPECT_EQ(counts["db"], 4) << "values over 16344 bytes go through db records in 1.5";
    }
    // Data of four bytes or fewer lives in the vk itself (no cell).
    for (const Cell& c : Cells(img)) {
        if (!c.allocated || c.sig != "vk") continue;
        uint32_t size = U32(img, 4096 + c.offset + 4 + 4);
        if ((size & 0x7FFFFFFF) <= 4) {
            EXPECT_TRUE(size & 0x80000000) << "size " << (size & 0x7FFFFFFF);
        }
    }
}

TEST_P(RegfRoundTrip, NonAsciiNamesAndClasses) {
    Hive hive = NewHive(GetParam(), "Größe");
    HiveKey* latin = Add(hive.root.get(), "Größe ÿ");
    HiveKey* cyrillic = Add(hive.root.get(), "Ключ");
    HiveKey* cjk = Add(hive.root.get(), "日本語");
    HiveKey* astral = Add(hive.root.get(), "emoji \xF0\x9F\x98\x80");
    SetValue(latin, "naïve", 1, Wide("café"));
    SetValue(cyrillic, "Значение", 4, {1, 0, 0, 0});
    SetValue(cjk, "値", 3, {1, 2, 3, 4, 5});
    cyrillic->className = Wide("Класс", false);
    latin->className = Wide("GBG", false);
    astral->className = {1, 2, 3};  // odd-length class bytes are kept as stored
    std::vector<uint8_t> img;
    Hive back = RoundTrip(hive, &img);
    EXPECT_EQ(TreeDiff(*hive.root, *back.root), "");
    EXPECT_EQ(back.rootName, "Größe");
    ASSERT_TRUE(back.root->FindSubkey("КЛЮЧ")) << "lookups upcase Cyrillic as NT does";
    // Latin-1 names are stored compressed; others as UTF-16 without the flag.
    int compressed = 0, wide = 0;
    for (const Cell& c : Cells(img)) {
        if (!c.allocated || c.sig != "nk") continue;
        uint16_t flags = U16(img, 4096 + c.offset + 4 + 2);
        (flags & 0x20 ? compressed : wide)++;
    }
    EXPECT_EQ(compressed, 2);  // root, "Größe ÿ"
    EXPECT_EQ(wide, 3);
    // The root's max class length counts the longest child class in bytes; max name length in UTF-16 bytes.
    uint32_t root = 4096 + U32(img, 36) + 4;
    EXPECT_EQ(U32(img, root + 56), 10u);
    EXPECT_EQ(U32(img, root + 52), 16u);  // "emoji " and a surrogate pair: 8 units
}

TEST_P(RegfRoundTrip, DescriptorsAreSharedWithExactCounts) {
    Hive hive = NewHive(GetParam());
    ntsim::SharedDescriptor a = hive.root->security;  // root + 3 children
    HiveKey* k1 = Add(hive.root.get(), "A1");
    HiveKey* k2 = Add(hive.root.get(), "A2");
    HiveKey* k3 = Add(hive.root.get(), "A3");
    HiveKey* b1 = Add(hive.root.get(), "B1");
    HiveKey* b2 = Add(hive.root.get(), "B2");
    HiveKey* c1 = Add(hive.root.get(), "C1");
    HiveKey* none = Add(hive.root.get(), "None");
    k1->security = k2->security = k3->security = a;
    b1->security = Descriptor(0x22, 100);
    b2->security = Descriptor(0x22, 100);  // equal bytes, separate object: one sk cell
    c1->security = Descriptor(0x33, 20);
    none->security.reset();
    HiveKey* vol = Add(hive.root.get(), "Volatile");
    vol->isVolatile = true;
    vol->security = Descriptor(0x44);
    std::vector<uint8_t> img;
    Hive back = RoundTrip(hive, &img);
    EXPECT_EQ(TreeDiff(*hive.root, *back.root), "");
    EXPECT_EQ(back.root->FindSubkey("Volatile"), nullptr) << "volatile keys are not written";
    // Keys that shared a descriptor still share one object after reading.
    EXPECT_EQ(back.root->FindSubkey("A1")->security, back.root->security);
    EXPECT_EQ(back.root->FindSubkey("B1")->security, back.root->FindSubkey("B2")->security);
    EXPECT_EQ(back.root->FindSubkey("None")->security, nullptr);

    std::map<uint32_t, uint32_t> refs;  // sk offset -> nk count
    std::vector<Cell> sks;
    for (const Cell& c : Cells(img)) {
        if (!c.allocated) continue;
        if (c.sig == "nk") {
            uint32_t sk = U32(img, 4096 + c.offset + 4 + 44);
            if (sk != 0xFFFFFFFF) ++refs[sk];
        }
        if (c.sig == "sk") sks.push_back(c);
    }
    ASSERT_EQ(sks.size(), 3u);
    std::map<uint32_t, uint32_t> stored;
    for (const Cell& c : sks) stored[c.offset] = U32(img, 4096 + c.offset + 4 + 12);
    EXPECT_EQ(stored, refs);
    EXPECT_EQ(stored[U32(img, 4096 + U32(img, 36) + 4 + 44)], 4u);
    // flink/blink form one circle through all three.
    uint32_t at = sks[0].offset, steps = 0;
    do {
        uint32_t next = U32(img, 4096 + at + 4 + 4);
        EXPECT_EQ(U32(img, 4096 + next + 4 + 8), at) << "blink of the next cell points back";
        at = next;
        ++steps;
    } while (at != sks[0].offset && steps < 10);
    EXPECT_EQ(steps, 3u);
}

TEST_P(RegfRoundTrip, FlagsTimesAndVolatileSubtrees) {
    Hive hive = NewHive(GetParam());
    HiveKey* link = Add(hive.root.get(), "CurrentControlSet", 0x01D3AAAABBBBCCCCULL);
    link->flags = ntsim::kKeySymLink;
    SetValue(link, "SymbolicLinkValue", 6, Wide("\\Registry\\Machine\\SYSTEM\\ControlSet001", false));
    HiveKey* keep = Add(hive.root.get(), "Keep");
    keep->flags = ntsim::kKeyNoDelete;
    HiveKey* vol = Add(keep, "Volatile");
    vol->isVolatile = true;
    Add(vol, "Below");
    SetValue(vol, "v", 4, {1, 0, 0, 0});
    std::vector<uint8_t> img;
    Hive back = RoundTrip(hive, &img);
    EXPECT_EQ(TreeDiff(*hive.root, *back.root), "");
    EXPECT_EQ(back.root->FindSubkey("Keep")->subkeys.size(), 0u);
    EXPECT_EQ(SignatureCounts(img)["nk"], 3);
    // The base block time is the newest key time, so the same tree writes the same bytes.
    uint64_t stamp;
    memcpy(&stamp, img.data() + 12, 8);
    EXPECT_EQ(stamp, 0x01D3AAAABBBBCCCCULL);
    std::vector<uint8_t> again;
    ASSERT_EQ(ntsim::RegfWrite(back, &again), (uint32_t)ERROR_SUCCESS);
    EXPECT_EQ(again, img);
}

TEST_P(RegfRoundTrip, ManyValuesAndDataInOneKey) {
    Hive hive = NewHive(GetParam());
    HiveKey* k = Add(hive.root.get(), "Lots");
    for (int i = 0; i < 5000; ++i) SetValue(k, "v" + std::to_string(i), 3, Pattern(i % 40, i));
    Hive back = RoundTrip(hive);
    EXPECT_EQ(TreeDiff(*hive.root, *back.root), "");
}

// 1.4 (lf lists, db records) and 1.6 (as 1.5) are read and written too.
INSTANTIATE_TEST_SUITE_P(Versions, RegfRoundTrip, ::testing::Values(3u, 4u, 5u, 6u), [](const auto& info) {
    return "v1_" + std::to_string(info.param);
});

TEST(RegfChecksum, SpecialValuesAreDodgedOnWriting) {
    for (uint32_t target : {0u, 0xFFFFFFFFu}) {
        Hive hive = NewHive(5);
        std::vector<uint8_t> img;
        ASSERT_EQ(ntsim::RegfWrite(hive, &img), (uint32_t)ERROR_SUCCESS);
        // The base block time comes from the root's time: steer it so the plain XOR hits the case.
        uint32_t x = 0;
        for (size_t i = 0; i < 508; i += 4) x ^= (i == 504 ? 0 : U32(img, i));
        hive.root->lastWrite ^= (uint64_t)(x ^ target);
        ASSERT_EQ(ntsim::RegfWrite(hive, &img), (uint32_t)ERROR_SUCCESS);
        EXPECT_NE(U32(img, 504), 0u) << "a reserved dword is changed";
        uint32_t plain = 0;
        for (size_t i = 0; i < 508; i += 4) plain ^= U32(img, i);
        EXPECT_EQ(U32(img, 508), plain);
        EXPECT_NE(plain, 0u);
        EXPECT_NE(plain, 0xFFFFFFFFu);
        Hive back;
        EXPECT_EQ(ntsim::RegfRead(img.data(), img.size(), &back), (uint32_t)ERROR_SUCCESS);
        // NT's own form of the same header (1 or 0xFFFFFFFE stored) is accepted too.
        Put32(img, 504, 0);
        Put32(img, 508, target == 0 ? 1u : 0xFFFFFFFEu);
        EXPECT_EQ(ntsim::RegfRead(img.data(), img.size(), &back), (uint32_t)ERROR_SUCCESS);
        Put32(img, 508, target == 0 ? 0xFFFFFFFEu : 1u);
        EXPECT_EQ(ntsim::RegfRead(img.data(), img.size(), &back), (uint32_t)ERROR_BADDB);
    }
}

TEST(RegfWriteLimits, RefusesWhatTheFormatCannotHold) {
    std::vector<uint8_t> img;
    Hive noRoot;
    EXPECT_EQ(ntsim::RegfWrite(noRoot, &img), (uint32_t)ERROR_INVALID_PARAMETER);
    Hive old = NewHive(2);
    EXPECT_EQ(ntsim::RegfWrite(old, &img), (uint32_t)ERROR_INVALID_PARAMETER);
    Hive longName = NewHive(3);
    Add(longName.root.get(), std::string(70000, 'x'));
    EXPECT_EQ(ntsim::RegfWrite(longName, &img), (uint32_t)ERROR_INVALID_PARAMETER);
    Hive longClass = NewHive(3);
    Add(longClass.root.get(), "k")->className.assign(70000, 1);
    EXPECT_EQ(ntsim::RegfWrite(longClass, &img), (uint32_t)ERROR_INVALID_PARAMETER);
    Hive longValueName = NewHive(5);
    SetValue(longValueName.root.get(), std::string(70000, 'v'), 1, {});
    EXPECT_EQ(ntsim::RegfWrite(longValueName, &img), (uint32_t)ERROR_INVALID_PARAMETER);
}

}  // namespace

namespace {

TEST(RegfWriteOrder, ListsAreWrittenInNtOrderWhateverTheTreeHolds) {
    for (uint32_t minor : {3u, 5u}) {
        Hive hive = NewHive(minor);
        // Appended out of order, bypassing AddSubkey's sorted insert.
        for (const char* name : {"zeta", "Alpha", "ключ", "beta", "Ämter"}) {
            auto k = std::make_unique<HiveKey>();
            k->name = name;
            k->parent = hive.root.get();
            hive.root->subkeys.push_back(std::move(k));
        }
        std::vector<uint8_t> img;
        Hive back = RoundTrip(hive, &img);
        std::vector<std::string> names;
        for (auto& k : back.root->subkeys) names.push_back(k->name);
        EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "beta", "zeta", "Ämter", "ключ"}));
        // The leaf itself is in that order: entry i names the i-th key.
        uint32_t list = 4096 + U32(img, 4096 + U32(img, 36) + 4 + 28) + 4;
        uint32_t third = 4096 + U32(img, list + 4 + 2 * 8) + 4;
        EXPECT_EQ(memcmp(img.data() + third + 76, "zeta", 4), 0);
        if (minor == 3) {
            uint32_t last = list + 4 + 4 * 8;
            EXPECT_EQ(U32(img, last + 4), 0u) << "no lf hint for characters beyond Latin-1";
        }
        // Two names equal to NT cannot both be written.
        auto dup = std::make_unique<HiveKey>();
        dup->name = "ALPHA";
        dup->parent = hive.root.get();
        hive.root->subkeys.push_back(std::move(dup));
        EXPECT_EQ(ntsim::RegfWrite(hive, &img), (uint32_t)ERROR_INVALID_PARAMETER);
    }
}

}  // namespace
