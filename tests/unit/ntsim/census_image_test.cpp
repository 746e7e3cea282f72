// The census of a Windows system volume laid out from a real XP computer's hives (M57-PAT),
// and the fleet report over several volumes: the machine SID found where Windows keeps it,
// counted in every hive by kind and in the names of files and folders, dirty hives named,
// and nothing below the volume's root changed.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "ntsim/machine/census_image.h"
#include "ntsim/registry/hive.h"
#include "ntsim/registry/regf.h"
#include "ntsim/registry/regf_log.h"
#include "unit/fresh_machine.h"

namespace {

namespace fs = std::filesystem;
using ntsim::ImageHive;
using ntsim::ImageHiveKind;
using ntsim::ImageHiveState;

const char kPatSid[] = "S-1-5-21-1292428093-1645522239-1547161642";
const std::string kData = std::string(TESSIV_SOURCE_DIR) + "/tests/data/xp-hives/";

std::vector<uint8_t> Utf16(const std::string& s) {
    std::vector<uint16_t> units = ntsim::Utf8ToUtf16(s);
    units.push_back(0);
    std::vector<uint8_t> out(units.size() * 2);
    memcpy(out.data(), units.data(), out.size());
    return out;
}

ntsim::HiveKey* Path(ntsim::HiveKey* key, const std::string& path) {
    size_t at = 0;
    while (at < path.size()) {
        size_t end = path.find('\\', at);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(at, end - at);
        ntsim::HiveKey* next = key->FindSubkey(part);
        key = next ? next : key->AddSubkey(part);
        at = end + 1;
    }
    return key;
}

// Every file below a folder with its bytes and modification time.
std::map<std::string, std::pair<std::string, int64_t>> Snapshot(const std::string& dir) {
    std::map<std::string, std::pair<std::string, int64_t>> out;
    for (auto& e : fs::recursive_directory_iterator(dir)) {
        struct stat st;
        lstat(e.path().c_str(), &st);
        std::string bytes;
        if (e.is_regular_file()) {
            std::ifstream in(e.path(), std::ios::binary);
            bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        out[e.path().string()] = {bytes, (int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec};
    }
    return out;
}

class CensusImageTest : public FreshMachine {
protected:
    // An XP system volume: the real SAM, SECURITY, SYSTEM and Pat's profile hive (with the
    // data set's attribution beside them), a SOFTWARE hive naming the profiles and the
    // system root, Pat's classes hive and a recycle bin folder of his.
    std::string MakeXpVolume(const std::string& name, const std::string& windows = "WINDOWS") {
        std::string root = root_ + "/" + name;
        std::string config = root + "/" + windows + "/system32/config/";
        std::string pat = root + "/Documents and Settings/Pat/";
        fs::create_directories(config);
        fs::create_directories(pat + "Local Settings/Application Data/Microsoft/Windows");
        for (const char* f : {"SAM", "SECURITY", "SYSTEM", "README.md"}) fs::copy_file(kData + f, config + f);
        fs::copy_file(kData + "NTUSER.DAT", pat + "NTUSER.DAT");
        fs::copy_file(kData + "README.md", pat + "README.md");
        fs::create_directories(root + "/RECYCLER/" + kPatSid + "-1003");
        std::ofstream(root + "/RECYCLER/" + kPatSid + "-1003/INFO2") << "x";

        ntsim::Hive software;
        software.minorVersion = 5;
        software.rootName = "$$$PROTO.HIV";
        software.root = std::make_unique<ntsim::HiveKey>();
        software.root->name = software.rootName;
        ntsim::HiveKey* current = Path(software.root.get(), "Microsoft\\Windows NT\\CurrentVersion");
        current->values.push_back({"SystemRoot", 1, Utf16("C:\\" + windows)});
        ntsim::HiveKey* list = Path(current, "ProfileList");
        Path(list, std::string(kPatSid) + "-1003")->values.push_back(
            {"ProfileImagePath", 2, Utf16("%SystemDrive%\\Documents and Settings\\Pat")});
        Path(list, "S-1-5-18")->values.push_back({"ProfileImagePath", 2, Utf16("%systemroot%\\system32\\config\\systemprofile")});
        EXPECT_EQ(ntsim::RegfSaveFile(software, config + "SOFTWARE"), 0u);

        ntsim::Hive classes;
        classes.minorVersion = 5;
        classes.rootName = std::string(kPatSid) + "-1003_Classes";
        classes.root = std::make_unique<ntsim::HiveKey>();
        classes.root->name = classes.rootName;
        Path(classes.root.get(), "CLSID");
        EXPECT_EQ(ntsim::RegfSaveFile(classes, pat + "Local Settings/Application Data/Microsoft/Windows/UsrClass.dat"), 0u);
        return root;
    }
    const ImageHive* Hive(const ntsim::ImageCensus& c, const std::string& file) {
        for (const ImageHive& h : c.hives)
            if (h.file == file) return &h;
        return nullptr;
    }
    // The command's exit status; its output in *out, or its standard output alone in the file json.
    int Tool(const std::string& args, std::string* out = nullptr, const std::string& json = "") {
        std::string file = root_ + "/tool.out";
        std::string cmd = std::string(TESSIV_BINARY_DIR) + "/tools/ntsim/ntsim census " + args +
                          (json.empty() ? " >" + file + " 2>&1" : " >" + json + " 2>" + file);
        int status = system(cmd.c_str());
        if (out) {
            std::ifstream in(file);
            out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        fs::remove(file);
        return WEXITSTATUS(status);
    }
    // Runs a python3 check of JSON output (json and sys imported) with the given arguments.
    int Python(const std::string& script, const std::vector<std::string>& args) {
        std::string file = root_ + "/check.py";
        std::ofstream(file) << "import json, sys\n" << script;
        std::string cmd = "python3 " + file;
        for (const std::string& a : args) cmd += " '" + a + "'";
        return WEXITSTATUS(system(cmd.c_str()));
    }
};

TEST_F(CensusImageTest, FindsTheMachineSidOfARealXpVolumeEverywhere) {
    std::string root = MakeXpVolume("pat");
    auto before = Snapshot(root);
    ntsim::ImageCensus c;
    std::string error;
    ASSERT_TRUE(ntsim::CensusImage(root, &c, &error)) << error;
    EXPECT_EQ(c.identity.systemRoot, "WINDOWS");
    EXPECT_EQ(c.identity.computerName, "M57-PAT");
    EXPECT_EQ(c.identity.samSid, kPatSid);
    EXPECT_EQ(c.identity.policySid, kPatSid);
    EXPECT_EQ(c.identity.machineSid, kPatSid);
    EXPECT_FALSE(c.identity.SidsDisagree());
    EXPECT_TRUE(c.identity.problems.empty()) << c.identity.problems[0];

    // The SAM holds it in Domains\Account\V and in users' records (binary), and as the
    // key names of its Aliases\Members index.
    const ImageHive* sam = Hive(c, "WINDOWS\\system32\\config\\SAM");
    ASSERT_NE(sam, nullptr);
    EXPECT_EQ(sam->kind, ImageHiveKind::Machine);
    EXPECT_EQ(sam->state, ImageHiveState::Read);
    EXPECT_GT(sam->binaryData, 0);
    EXPECT_GT(sam->keyNames, 0);
    EXPECT_GT(Hive(c, "WINDOWS\\system32\\config\\SECURITY")->binaryData, 0);  // PolAcDmS
    EXPECT_GT(Hive(c, "WINDOWS\\system32\\config\\SYSTEM")->keySecurity, 0);
    // Pat's hive, found through ProfileList, with his account; his classes hive by its root key's name.
    const ImageHive* ntuser = Hive(c, "Documents and Settings\\Pat\\NTUSER.DAT");
    ASSERT_NE(ntuser, nullptr);
    EXPECT_EQ(ntuser->kind, ImageHiveKind::Profile);
    EXPECT_EQ(ntuser->account, std::string(kPatSid) + "-1003");
    EXPECT_GT(ntuser->keySecurity, 100);
    const ImageHive* classes = Hive(c, "Documents and Settings\\Pat\\Local Settings\\Application Data\\Microsoft\\Windows\\UsrClass.dat");
    ASSERT_NE(classes, nullptr);
    EXPECT_EQ(classes->kind, ImageHiveKind::Classes);
    EXPECT_EQ(classes->keyNames, 1);
    EXPECT_EQ(Hive(c, "WINDOWS\\system32\\config\\SOFTWARE")->keyNames, 1);  // ProfileList\<Pat's SID>
    EXPECT_EQ(c.hives.size(), 6u);
    // The recycle bin folder named after Pat's account; a plain copy keeps no descriptors.
    ASSERT_EQ(c.names.size(), 1u);
    EXPECT_EQ(c.names[0], std::string("RECYCLER\\") + kPatSid + "-1003\\");
    EXPECT_FALSE(c.descriptorsFound);

    // The command: a table by default, JSON of the documented shape with --json; nothing written.
    std::string out;
    EXPECT_EQ(Tool("--image '" + root + "'", &out), 0) << out;
    EXPECT_NE(out.find(std::string("machine SID:   ") + kPatSid), std::string::npos) << out;
    EXPECT_NE(out.find("computer name: M57-PAT"), std::string::npos) << out;
    EXPECT_EQ(Tool("--image '" + root + "' --json", nullptr, root_ + "/c.json"), 0);
    EXPECT_EQ(Python(R"(d = json.load(open(sys.argv[1]))
sid = sys.argv[2]
assert d["machineSid"] == sid and d["samSid"] == sid and d["sidsAgree"] is True, d
h = [x for x in d["hives"] if x["file"] == "WINDOWS\\system32\\config\\SAM"][0]
assert h["kind"] == "machine" and h["state"] == "read" and h["binaryData"] > 0 and h["total"] > 0, h
assert d["names"] == ["RECYCLER\\" + sid + "-1003\\"], d["names"]
assert d["descriptors"] == {"found": False, "read": 0, "occurrences": 0, "files": []}, d["descriptors"]
assert d["problems"] == [] and d["total"] > 0
)", {root_ + "/c.json", kPatSid}), 0);
    EXPECT_EQ(Snapshot(root), before) << "the census changed the volume";
}

TEST_F(CensusImageTest, SystemRootFromSoftwareAndProblemsNamed) {
    // Two Windows folders: the one SOFTWARE names as SystemRoot is the system root.
    std::string root = MakeXpVolume("dual", "OS");
    fs::create_directories(root + "/WINDOWS/system32/config");
    fs::copy_file(kData + "SAM", root + "/WINDOWS/system32/config/SAM");
    ntsim::ImageIdentity id;
    std::string error;
    ASSERT_TRUE(ntsim::IdentifyImage(root, &id, &error)) << error;
    EXPECT_EQ(id.systemRoot, "OS");

    // A plain copy lower-cased by a tool: names are found without regard to case.
    std::string lower = MakeXpVolume("lower", "winnt");
    fs::rename(lower + "/winnt/system32/config/SAM", lower + "/winnt/system32/config/sam");
    fs::rename(lower + "/winnt/system32", lower + "/winnt/System32");
    ASSERT_TRUE(ntsim::IdentifyImage(lower, &id, &error)) << error;
    EXPECT_EQ(id.systemRoot, "winnt");
    EXPECT_EQ(id.samSid, kPatSid);

    // A profile hive cut off in a write, and a SAM from another machine: both named.
    std::string other = root_ + "/other";
    ntsim::MachineOptions options;
    options.sid = "S-1-5-21-7-8-9";
    ASSERT_TRUE(ntsim::MachineCreate(other, options, &error)) << error;
    std::string config = root + "/OS/system32/config/";
    fs::copy_file(other + "/drives/c/WINNT/system32/config/SAM", config + "SAM", fs::copy_options::overwrite_existing);
    std::string ntuser = root + "/Documents and Settings/Pat/NTUSER.DAT";
    {
        std::fstream f(ntuser, std::ios::in | std::ios::out | std::ios::binary);
        uint32_t seq = 9999;
        f.seekp(4);
        f.write((const char*)&seq, 4);  // primary sequence only: the checksum fails too
    }
    ntsim::ImageCensus c;
    ASSERT_TRUE(ntsim::CensusImage(root, &c, &error)) << error;
    EXPECT_TRUE(c.identity.SidsDisagree());
    EXPECT_EQ(c.identity.samSid, "S-1-5-21-7-8-9");
    EXPECT_EQ(c.identity.policySid, kPatSid);
    const ImageHive* dirty = Hive(c, "Documents and Settings\\Pat\\NTUSER.DAT");
    ASSERT_NE(dirty, nullptr);
    EXPECT_EQ(dirty->state, ImageHiveState::Dirty);
    EXPECT_EQ(dirty->Total(), 0);
    EXPECT_NE(dirty->problem.find("dirty: its base block's checksum is wrong"), std::string::npos) << dirty->problem;
    std::string out;
    EXPECT_EQ(Tool("--image '" + root + "'", &out), 1);
    EXPECT_NE(out.find("Documents and Settings\\Pat\\NTUSER.DAT: dirty: its base block's checksum is wrong"), std::string::npos) << out;
    EXPECT_NE(out.find("DISAGREES with the SAM"), std::string::npos) << out;

    // No Windows folder at all.
    fs::create_directories(root_ + "/empty/data");
    EXPECT_FALSE(ntsim::CensusImage(root_ + "/empty", &c, &error));
    EXPECT_NE(error.find("no system root"), std::string::npos) << error;
    EXPECT_EQ(Tool("--image '" + root_ + "/empty'"), 2);
}

// A log beside a hive, in either format, holding one 4 KiB page of changes newer than the hive.
void PendingLog(const std::string& hive, const std::string& log, bool newFormat) {
    std::ifstream in(hive, std::ios::binary);
    std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto put32 = [](std::vector<uint8_t>& v, size_t at, uint32_t x) { memcpy(v.data() + at, &x, 4); };
    uint32_t seq, bins;
    memcpy(&seq, image.data() + 8, 4);
    memcpy(&bins, image.data() + 40, 4);
    std::vector<uint8_t> out(image.begin(), image.begin() + 512);
    put32(out, 28, newFormat ? 6 : 1);
    put32(out, 4, newFormat ? seq : seq + 1);
    put32(out, 8, newFormat ? seq : seq + 1);
    uint32_t x = 0;
    for (size_t i = 0; i < 508; i += 4) x ^= *(const uint32_t*)(out.data() + i);
    put32(out, 508, x);
    std::vector<uint8_t> page(image.begin() + 4096, image.begin() + 8192);
    if (newFormat) {
        std::vector<uint8_t> e(48, 0);
        memcpy(e.data(), "HvLE", 4);
        put32(e, 12, seq);
        put32(e, 16, bins);
        put32(e, 20, 1);
        put32(e, 40, 0);
        put32(e, 44, 4096);
        e.insert(e.end(), page.begin(), page.end());
        e.resize((e.size() + 511) / 512 * 512);
        put32(e, 4, (uint32_t)e.size());
        uint64_t h1 = ntsim::Marvin32(e.data() + 40, e.size() - 40, ntsim::kHiveLogMarvinSeed);
        memcpy(e.data() + 24, &h1, 8);
        uint64_t h2 = ntsim::Marvin32(e.data(), 32, ntsim::kHiveLogMarvinSeed);
        memcpy(e.data() + 32, &h2, 8);
        out.insert(out.end(), e.begin(), e.end());
    } else {
        std::vector<uint8_t> vec(512, 0);
        memcpy(vec.data(), "DIRT", 4);
        vec[4] = 0xFF;  // the first 4 KiB of the bins
        out.insert(out.end(), vec.begin(), vec.end());
        out.insert(out.end(), page.begin(), page.end());
    }
    std::ofstream(log, std::ios::binary).write((const char*)out.data(), (std::streamsize)out.size());
}

TEST_F(CensusImageTest, HivesWithChangesInTheirLogsAreNamedAndLeftUnread) {
    std::string root = MakeXpVolume("logs");
    std::string config = root + "/WINDOWS/system32/config/";
    PendingLog(config + "SECURITY", config + "security.LOG", false);  // XP's old format
    PendingLog(config + "SYSTEM", config + "SYSTEM.LOG1", true);      // Windows 8.1's new one
    ntsim::ImageCensus c;
    std::string error;
    ASSERT_TRUE(ntsim::CensusImage(root, &c, &error)) << error;
    EXPECT_EQ(c.identity.machineSid, kPatSid);  // from the SAM
    EXPECT_EQ(c.identity.policySid, "");
    EXPECT_EQ(c.identity.computerName, "");
    const ImageHive* security = Hive(c, "WINDOWS\\system32\\config\\SECURITY");
    const ImageHive* system = Hive(c, "WINDOWS\\system32\\config\\SYSTEM");
    ASSERT_TRUE(security && system);
    EXPECT_EQ(security->state, ImageHiveState::Dirty);
    EXPECT_EQ(system->state, ImageHiveState::Dirty);
    EXPECT_EQ(security->Total() + system->Total(), 0);
    EXPECT_NE(security->problem.find("security.LOG holds changes not yet written to it (old-format log"), std::string::npos)
        << security->problem;
    EXPECT_NE(system->problem.find("SYSTEM.LOG1 holds changes not yet written to it (new-format log with 1 entry"), std::string::npos)
        << system->problem;
    EXPECT_EQ(c.identity.problems.size(), 2u) << "each dirty hive named once";
    std::string out;
    EXPECT_EQ(Tool("--image '" + root + "'", &out), 1);
    EXPECT_NE(out.find("WINDOWS\\system32\\config\\SYSTEM: dirty: SYSTEM.LOG1 holds changes"), std::string::npos) << out;
}

TEST_F(CensusImageTest, FleetFindsImagesThatShareAMachineSid) {
    // Two copies of one image, and a machine of its own (a preset with another SID).
    std::string a = MakeXpVolume("a");
    std::string b = root_ + "/b";
    fs::copy(a, b, fs::copy_options::recursive);
    ntsim::MachineOptions options;
    options.sid = "S-1-5-21-1-2-3";
    MakeMachine(options);
    std::string c = dir_ + "/drives/c";

    std::vector<ntsim::ImageIdentity> ids(3);
    std::string error;
    ASSERT_TRUE(ntsim::IdentifyImage(a, &ids[0], &error)) << error;
    ASSERT_TRUE(ntsim::IdentifyImage(b, &ids[1], &error)) << error;
    ASSERT_TRUE(ntsim::IdentifyImage(c, &ids[2], &error)) << error;
    EXPECT_EQ(ids[2].systemRoot, "WINNT");
    EXPECT_EQ(ids[2].machineSid, "S-1-5-21-1-2-3");
    auto groups = ntsim::SharedMachineSids(ids);
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups[0], (std::vector<size_t>{0, 1}));

    std::string out;
    EXPECT_EQ(Tool("--fleet '" + a + "' '" + c + "' '" + b + "'", &out), 1);
    EXPECT_NE(out.find(std::string("shared machine SID ") + kPatSid + " (2 images)"), std::string::npos) << out;
    EXPECT_EQ(Tool("--fleet '" + a + "' '" + c + "' '" + b + "' --json", nullptr, root_ + "/f.json"), 1);
    EXPECT_EQ(Python(R"(d = json.load(open(sys.argv[1]))
assert [i["computerName"] for i in d["images"]][0] == "M57-PAT", d
assert d["images"][1]["machineSid"] == "S-1-5-21-1-2-3" and d["images"][1]["error"] == "", d
assert d["shared"] == [{"machineSid": sys.argv[2], "images": [sys.argv[3], sys.argv[4]]}], d["shared"]
)", {root_ + "/f.json", kPatSid, a, b}), 0);
    EXPECT_EQ(Tool("--fleet '" + a + "' '" + c + "'", &out), 0) << out;
    EXPECT_NE(out.find("no two images share a machine SID"), std::string::npos) << out;
    // An image without a system root is reported, and the status says so when none share.
    fs::create_directories(root_ + "/blank");
    EXPECT_EQ(Tool("--fleet '" + a + "' '" + root_ + "/blank'", &out), 2);
    EXPECT_NE(out.find("no system root"), std::string::npos) << out;
    // A half-changed clone: its SAM from the other machine, its policy still the template's.
    // The SAM's SID groups it with that machine, and the table says the two disagree.
    std::string d = root_ + "/d";
    fs::copy(a, d, fs::copy_options::recursive);
    fs::copy_file(c + "/WINNT/system32/config/SAM", d + "/WINDOWS/system32/config/SAM", fs::copy_options::overwrite_existing);
    EXPECT_EQ(Tool("--fleet '" + a + "' '" + c + "' '" + d + "'", &out), 1);
    EXPECT_NE(out.find("shared machine SID S-1-5-21-1-2-3 (2 images):\n  " + c + "\n  " + d + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("the SAM's machine SID S-1-5-21-1-2-3 and the policy's (PolAcDmS) " + std::string(kPatSid) + " disagree"),
              std::string::npos)
        << out;
    // The old form still works beside the new ones.
    EXPECT_EQ(Tool("'" + dir_ + "' S-1-5-21-9-9-9"), 0);
}

}  // namespace
