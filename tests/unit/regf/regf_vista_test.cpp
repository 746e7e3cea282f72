// Hives as Windows Vista and later leave them: version 1.6, the base block fields of
// Windows 10 (transaction manager GUIDs, "rmtm", the reorganisation time), and key nodes
// with the virtualisation flags, the user and virtualisation-control bits packed above the
// longest subkey name's length, and the access and layered-key bytes. None changes the tree.
#include "ntsim/registry/regf_log.h"
#include "regf_test_util.h"

namespace {

using namespace regftest;

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

Hive Read(const std::vector<uint8_t>& img) {
    Hive hive;
    EXPECT_EQ(ntsim::RegfRead(img.data(), img.size(), &hive), (uint32_t)ERROR_SUCCESS);
    return hive;
}

// Fills the Windows 10 base block fields and marks every key node as Vista and later do.
void AddVistaFields(std::vector<uint8_t>& img) {
    for (size_t i = 112; i < 164; ++i) img[i] = (uint8_t)(i * 7);  // RmId, LogId, flags, TmId
    Put32(img, 144, 0);                                             // the transaction manager released the hive
    memcpy(img.data() + 164, "rmtm", 4);
    Put32(img, 168, 0x89ABCDEF);  // last reorganised
    Put32(img, 172, 0x01D9ABCD);
    FixChecksum(img);
    for (const Cell& c : Cells(img)) {
        if (!c.allocated || c.sig != "nk") continue;
        size_t p = 4096 + c.offset + 4;
        uint16_t flags = U16(img, p + 2) | 0x0080 | 0x0100 | 0x0200;  // VirtualSource, VirtualTarget, VirtualStore
        memcpy(img.data() + p + 2, &flags, 2);
        img[p + 12] = 0x02;  // accessed after the kernel's initialisation
        img[p + 13] = 0x81;  // layered-key bits: inherit class, a layer semantics
        uint32_t maxName = U32(img, p + 52) & 0xFFFF;
        Put32(img, p + 52, maxName | (0xE << 16) | (0x3 << 20) | (0x00u << 24));
    }
}

TEST(RegfVista, RealXpHiveAsVersion16ReadsTheSame) {
    std::vector<uint8_t> img = ReadBytes(std::string(TESSIV_SOURCE_DIR) + "/tests/data/xp-hives/SYSTEM");
    ASSERT_EQ(U32(img, 24), 5u);
    EXPECT_GT(SignatureCounts(img)["db"], 0) << "the XP SYSTEM hive holds big data records";
    Hive v15 = Read(img);
    ASSERT_TRUE(v15.root);
    Put32(img, 24, 6);
    FixChecksum(img);
    Hive v16 = Read(img);
    ASSERT_TRUE(v16.root);
    EXPECT_EQ(v16.minorVersion, 6u);
    EXPECT_EQ(TreeDiff(*v15.root, *v16.root), "");
    AddVistaFields(img);
    Hive marked = Read(img);
    ASSERT_TRUE(marked.root);
    EXPECT_EQ(TreeDiff(*v15.root, *marked.root), "");
}

TEST(RegfVista, Version16WithBigDataHashLeavesAndVistaFields) {
    for (uint32_t minor : {5u, 6u}) {
        Hive hive = NewHive(minor);
        HiveKey* big = Add(hive.root.get(), "Many");
        for (int i = 0; i < 1200; ++i) Add(big, "Sub" + std::to_string(i));
        Add(hive.root.get(), "Ünïcode\xE2\x82\xAC");
        HiveKey* values = Add(hive.root.get(), "Values");
        SetValue(values, "Large", 3, Pattern(70000, 3));
        SetValue(values, "Edge", 3, Pattern(16345, 4));
        SetValue(values, "Small", 3, Pattern(16344, 5));
        std::vector<uint8_t> img;
        ASSERT_EQ(ntsim::RegfWrite(hive, &img), (uint32_t)ERROR_SUCCESS);
        auto sigs = SignatureCounts(img);
        EXPECT_EQ(U32(img, 24), minor);
        EXPECT_EQ(sigs["db"], 2) << minor;
        EXPECT_GT(sigs["lh"], 2) << minor;
        EXPECT_EQ(sigs["ri"], 1) << minor;
        AddVistaFields(img);
        Hive back = Read(img);
        ASSERT_TRUE(back.root);
        EXPECT_EQ(TreeDiff(*hive.root, *back.root), "") << minor;

        // The same image as a file is clean, its Windows 10 base block included.
        std::string dir = TempDir();
        ASSERT_TRUE(WriteFile(dir + "/SOFTWARE", img));
        std::string why;
        EXPECT_EQ(ntsim::HiveFileClean(dir + "/SOFTWARE", &why), (uint32_t)ERROR_SUCCESS) << why;
        RemoveDir(dir);
    }
}

}  // namespace
