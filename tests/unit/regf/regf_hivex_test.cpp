// Interoperation with hivex, an independent regf implementation, both ways: hivex
// reads every hive we write with the same content, and we read what hivex writes.
#include "regf_test_util.h"

using namespace regftest;

namespace {

class RegfHivex : public ::testing::TestWithParam<uint32_t> {
protected:
    void SetUp() override {
        if (!HivexAvailable()) GTEST_SKIP() << "hivex (python3 module and hivexml) is not installed";
        dir_ = TempDir();
    }
    void TearDown() override { RemoveDir(dir_); }
    std::string dir_;
};

// A hive with every shape the writer has to get right.
Hive RichHive(uint32_t minor) {
    Hive hive = NewHive(minor, "CMI-CreateHive{C4E7BA2B-68E8-499C-B1A1-371AC8D717C7}");
    HiveKey* root = hive.root.get();
    HiveKey* values = Add(root, "Values", 0x01D4000000000001ULL);
    SetValue(values, "", 1, Wide("default"));
    SetValue(values, "empty", 3, {});
    SetValue(values, "sz", 1, Wide("text value"));
    SetValue(values, "expand", 2, Wide("%SystemRoot%"));
    SetValue(values, "dword", 4, {0x10, 0, 0, 0});
    SetValue(values, "qword", 11, {1, 2, 3, 4, 5, 6, 7, 8});
    SetValue(values, "multi", 7, Wide(std::string("a\0bc\0", 5)));
    SetValue(values, "three", 3, {7, 8, 9});
    SetValue(values, "segment", 3, Pattern(16344, 1));
    SetValue(values, "over", 3, Pattern(16345, 2));
    SetValue(values, "big", 3, Pattern(300000, 3));
    SetValue(values, "odd type", 0x7FFF0001, {1, 2, 3, 4, 5});
    HiveKey* names = Add(root, "Names");
    SetValue(Add(names, "Größe"), "naïve", 1, Wide("é"));
    SetValue(Add(names, "Ключ"), "Значение", 4, {1, 0, 0, 0});
    Add(names, "日本語")->className = Wide("クラス", false);
    Add(names, "emoji \xF0\x9F\x98\x80");
    HiveKey* many = Add(root, "Many");
    for (int i = 0; i < 2500; ++i) {
        HiveKey* k = Add(many, "Key" + std::to_string(i), 0x01D4000000000000ULL + i);
        if (i % 100 == 0) SetValue(k, "n", 4, {(uint8_t)i, 0, 0, 0});
    }
    HiveKey* deep = root;
    for (int i = 0; i < 120; ++i) deep = Add(deep, "D" + std::to_string(i));
    HiveKey* sec = Add(root, "Security");
    Add(sec, "Own")->security = Descriptor(0x55, 60);
    Add(sec, "None")->security.reset();
    HiveKey* vol = Add(root, "Volatile");
    vol->isVolatile = true;
    SetValue(vol, "x", 4, {1, 0, 0, 0});
    return hive;
}

// Adds a key line's last-write time so both readers are compared on it too.
void DumpTimes(const HiveKey& key, const std::string& path, std::string* out) {
    *out += path + " " + std::to_string(key.lastWrite) + "\n";
    for (auto& s : key.subkeys)
        if (!s->isVolatile) DumpTimes(*s, path + "\\" + s->name, out);
}

TEST_P(RegfHivex, HivexReadsOurHivesWithTheSameContent) {
    Hive hive = RichHive(GetParam());
    std::string file = dir_ + "/ours";
    ASSERT_EQ(ntsim::RegfSaveFile(hive, file), (uint32_t)ERROR_SUCCESS);
    std::string error;
    std::string theirs = HivexDump(file, &error);
    ASSERT_EQ(error, "");
    EXPECT_EQ(theirs, Dump(hive));

    // Key times as hivex reports them.
    std::string script = dir_ + "/times.py";
    std::ofstream(script) << "import sys, hivex\n"
                             "h = hivex.Hivex(sys.argv[1])\n"
                             "def walk(n, p):\n"
                             "    print(p, h.node_timestamp(n))\n"
                             "    for k in h.node_children(n): walk(k, p + '\\\\' + h.node_name(k))\n"
                             "sys.setrecursionlimit(10000)\n"
                             "walk(h.root(), '')\n";
    ASSERT_EQ(system(("/usr/bin/python3 " + script + " " + file + " > " + dir_ + "/times.txt").c_str()), 0);
    std::string times;
    DumpTimes(*hive.root, "", &times);
    EXPECT_EQ(ReadText(dir_ + "/times.txt"), times);

    // hivexml walks everything, values included, and must not complain.
    std::string xml = dir_ + "/ours.xml";
    EXPECT_EQ(system(("hivexml " + file + " > " + xml + " 2>" + dir_ + "/xml.err").c_str()), 0) << ReadText(dir_ + "/xml.err");
    EXPECT_NE(ReadText(xml).find("Key2499"), std::string::npos);
}

TEST_P(RegfHivex, WeReadHivesHivexWrote) {
    Hive hive = NewHive(GetParam());
    HiveKey* software = Add(hive.root.get(), "Software");
    SetValue(Add(software, "Old"), "keep", 4, {5, 0, 0, 0});
    Add(software, "Gone");
    std::string file = dir_ + "/base", edited = dir_ + "/edited";
    ASSERT_EQ(ntsim::RegfSaveFile(hive, file), (uint32_t)ERROR_SUCCESS);

    // hivex adds keys (beyond a leaf's worth, and a non-ASCII name), sets values of
    // several kinds including one past 16344 bytes in a single cell, deletes a key.
    std::string script =
        "h = hivex.Hivex(sys.argv[1], write=True)\n"
        "sw = h.node_get_child(h.root(), 'Software')\n"
        "new = h.node_add_child(sw, 'Added')\n"
        "h.node_set_value(new, {'key': 'sz', 't': 1, 'value': 'hivex\\0'.encode('utf-16-le')})\n"
        "h.node_set_value(new, {'key': 'dw', 't': 4, 'value': b'\\x2a\\0\\0\\0'})\n"
        "h.node_set_value(new, {'key': 'bin', 't': 3, 'value': bytes(range(256)) * 100})\n"
        "h.node_set_value(new, {'key': '', 't': 3, 'value': b''})\n"
        "h.node_add_child(sw, 'Äpfel')\n"
        "many = h.node_add_child(sw, 'Many')\n"
        "for i in range(700): h.node_add_child(many, 'K%04d' % i)\n"
        "h.node_delete_child(h.node_get_child(sw, 'Gone'))\n"
        "old = h.node_get_child(sw, 'Old')\n"
        "h.node_set_values(old, [{'key': 'keep', 't': 4, 'value': b'\\x06\\0\\0\\0'}, {'key': 'more', 't': 1, 'value': b'x\\0\\0\\0'}])\n"
        "h.commit(sys.argv[2])\n";
    std::string error;
    ASSERT_TRUE(HivexRun(script, file, edited, &error)) << error;

    // The same edits made to our own tree.
    HiveKey* added = Add(software, "Added");
    SetValue(added, "sz", 1, Wide("hivex"));
    SetValue(added, "dw", 4, {0x2a, 0, 0, 0});
    std::vector<uint8_t> bin;
    for (int r = 0; r < 100; ++r)
        for (int i = 0; i < 256; ++i) bin.push_back((uint8_t)i);
    SetValue(added, "bin", 3, bin);
    SetValue(added, "", 3, {});
    Add(software, "Äpfel");
    HiveKey* many = Add(software, "Many");
    for (int i = 0; i < 700; ++i) {
        char name[16];
        snprintf(name, sizeof name, "K%04d", i);
        Add(many, name);
    }
    software->RemoveSubkey(software->FindSubkey("Gone"));
    HiveKey* old = software->FindSubkey("Old");
    old->values.clear();
    SetValue(old, "keep", 4, {6, 0, 0, 0});
    SetValue(old, "more", 1, Wide("x"));

    Hive back;
    ASSERT_EQ(ntsim::RegfLoadFile(edited, &back), (uint32_t)ERROR_SUCCESS);
    EXPECT_EQ(Dump(back), Dump(hive));
    EXPECT_EQ(back.rootName, hive.rootName);
    // New keys carry their parent's descriptor, shared as one object.
    EXPECT_EQ(back.root->FindSubkey("Software")->FindSubkey("Added")->security, back.root->security);

    // And what we write from hivex's output is again what hivex reads.
    std::string again = dir_ + "/again";
    ASSERT_EQ(ntsim::RegfSaveFile(back, again), (uint32_t)ERROR_SUCCESS);
    EXPECT_EQ(HivexDump(again, &error), Dump(hive));
    EXPECT_EQ(error, "");
}

TEST_P(RegfHivex, WeReadHivexregeditMerges) {
    if (access("/usr/bin/hivexregedit", X_OK) != 0) GTEST_SKIP() << "hivexregedit is not installed";
    Hive hive = NewHive(GetParam());
    Add(hive.root.get(), "Software");
    std::string file = dir_ + "/merge";
    ASSERT_EQ(ntsim::RegfSaveFile(hive, file), (uint32_t)ERROR_SUCCESS);
    std::ofstream(dir_ + "/in.reg") << "Windows Registry Editor Version 5.00\r\n\r\n"
                                       "[\\Software\\Vendor]\r\n\r\n"
                                       "[\\Software\\Vendor\\Product]\r\n"
                                       "\"Name\"=\"Value\"\r\n"
                                       "\"Count\"=dword:00000010\r\n"
                                       "\"Blob\"=hex:01,02,03,04,05\r\n"
                                       "@=\"default\"\r\n\r\n";
    std::string cmd = "hivexregedit --merge " + file + " " + dir_ + "/in.reg 2>" + dir_ + "/merge.err";
    ASSERT_EQ(system(cmd.c_str()), 0) << ReadText(dir_ + "/merge.err");
    Hive back;
    ASSERT_EQ(ntsim::RegfLoadFile(file, &back), (uint32_t)ERROR_SUCCESS);
    HiveKey* product = back.root->FindSubkey("Software");
    ASSERT_TRUE(product);
    product = product->FindSubkey("Vendor");
    ASSERT_TRUE(product);
    product = product->FindSubkey("Product");
    ASSERT_TRUE(product);
    ASSERT_TRUE(product->FindValue("Name"));
    EXPECT_EQ(product->FindValue("Name")->type, 1u);
    EXPECT_EQ(product->FindValue("Name")->data, Wide("Value"));
    ASSERT_TRUE(product->FindValue("Count"));
    EXPECT_EQ(product->FindValue("Count")->data, (std::vector<uint8_t>{0x10, 0, 0, 0}));
    ASSERT_TRUE(product->FindValue("Blob"));
    EXPECT_EQ(product->FindValue("Blob")->data, (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    ASSERT_TRUE(product->FindValue(""));
    EXPECT_EQ(product->FindValue("")->data, Wide("default"));
}

INSTANTIATE_TEST_SUITE_P(Versions, RegfHivex, ::testing::Values(3u, 5u), [](const auto& info) {
    return "v1_" + std::to_string(info.param);
});

}  // namespace

#include <ftw.h>

#include "ntsim/machine/machine.h"

namespace {

std::vector<std::string>* g_hiveFiles = nullptr;

int CollectHive(const char* path, const struct stat*, int type, struct FTW*) {
    std::string p = path;
    std::string base = p.substr(p.find_last_of('/') + 1);
    for (const char* name : {"SAM", "SECURITY", "SOFTWARE", "SYSTEM", "DEFAULT", "ntuser.dat"})
        if (type == FTW_F && strcasecmp(base.c_str(), name) == 0) g_hiveFiles->push_back(p);
    return 0;
}

// Every hive of freshly made machines (NT 4.0 and XP presets) reads the same in hivex.
TEST(RegfMachineHives, HivexSeesWhatWeWrote) {
    if (!HivexAvailable()) GTEST_SKIP() << "hivex (python3 module and hivexml) is not installed";
    for (const char* preset : {"nt4-workstation", "xp-standalone"}) {
        std::string top = TempDir(), dir = top + "/machine";
        ntsim::MachineOptions options;
        options.preset = preset;
        std::string error;
        ASSERT_TRUE(ntsim::MachineCreate(dir, options, &error)) << error;
        std::vector<std::string> files;
        g_hiveFiles = &files;
        nftw(dir.c_str(), CollectHive, 16, FTW_PHYS);
        g_hiveFiles = nullptr;
        EXPECT_GE(files.size(), 7u) << preset;
        for (const std::string& file : files) {
            Hive hive;
            ASSERT_EQ(ntsim::RegfLoadFile(file, &hive), (uint32_t)ERROR_SUCCESS) << file;
            EXPECT_EQ(HivexDump(file, &error), Dump(hive)) << file;
            EXPECT_EQ(error, "") << file;
        }
        RemoveDir(top);
    }
}

}  // namespace
