// Server-sized machines as `ntsim create` makes them: a Windows Server 2003 member with a file
// server's tree over C: and a second NTFS volume, local users with a profile each, and the
// terminal server's suite that the program's role checks find.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "identity/role_checks.h"
#include "ntsim/files/security.h"
#include "ntsim/kernel/conf.h"
#include "ntsim/machine/machine.h"
#include "ntsim/registry/regf.h"
#include "unit/fresh_machine.h"

namespace {

namespace fs = std::filesystem;

const char* const kMachineSid = "S-1-5-21-1004336348-1177238915-682003330";

class ServerMachine : public FreshMachine {
protected:
    int Create(const std::string& args) {
        std::string cmd = std::string(TESSIV_BINARY_DIR) + "/tools/ntsim/ntsim create '" + dir_ + "' " + args + " >'" + root_ +
                          "/create.txt' 2>&1";
        return WEXITSTATUS(system(cmd.c_str()));
    }
    static ntsim::HiveKey* Find(ntsim::HiveKey* key, const std::string& path) {
        for (size_t i = 0; key && i <= path.size();) {
            size_t next = path.find('\\', i);
            if (next == std::string::npos) next = path.size();
            key = key->FindSubkey(path.substr(i, next - i));
            i = next + 1;
        }
        return key;
    }
    static std::string Text(const ntsim::HiveValue* v) {
        std::string s;
        for (size_t i = 0; v && i + 1 < v->data.size() && (v->data[i] || v->data[i + 1]); i += 2) s += (char)v->data[i];
        return s;
    }
    static std::vector<std::string> MultiText(const ntsim::HiveValue* v) {
        std::vector<std::string> items(1);
        for (size_t i = 0; v && i + 1 < v->data.size(); i += 2) {
            if (v->data[i] || v->data[i + 1]) items.back() += (char)v->data[i];
            else if (!items.back().empty()) items.emplace_back();
        }
        if (items.back().empty()) items.pop_back();
        return items;
    }
    std::string Config(const std::string& hive) { return dir_ + "/drives/c/WINNT/system32/config/" + hive; }
};

// The tree of one volume as the job's walk meets it.
struct Tree {
    size_t files = 0, entries = 0, secured = 0, local = 0, biggestFolder = 0, longestPath = 0;
    int depth = 0;
};

Tree Walk(const std::string& hostRoot, const std::string& drive, const std::vector<uint8_t>& machineSid) {
    Tree t;
    std::map<std::string, size_t> perFolder;
    for (auto it = fs::recursive_directory_iterator(hostRoot); it != fs::recursive_directory_iterator(); ++it) {
        ++t.entries;
        if (it->is_regular_file()) ++t.files;
        t.depth = std::max(t.depth, it.depth() + 1);
        ++perFolder[it->path().parent_path().string()];
        std::string windows = drive + "\\" + it->path().string().substr(hostRoot.size() + 1);
        t.longestPath = std::max(t.longestPath, windows.size());
        std::vector<uint8_t> sd;
        if (!ntsim::FileReadStored(it->path().string(), ntsim::FileStore::NtsimXattr, &sd)) continue;
        ++t.secured;
        if (std::search(sd.begin(), sd.end(), machineSid.begin() + 8, machineSid.end()) != sd.end()) ++t.local;
    }
    for (const auto& [folder, count] : perFolder) t.biggestFolder = std::max(t.biggestFolder, count);
    return t;
}

TEST_F(ServerMachine, FileServerTreeOverTwoNtfsVolumesWithATenthNamingLocalAccounts) {
    ASSERT_EQ(Create("--size server --files 2000 --profiles 20"), 0);
    ntsim::Conf conf;
    std::string error;
    ASSERT_TRUE(ntsim::ConfLoad(dir_ + "/machine.conf", &conf, &error)) << error;
    EXPECT_EQ(conf.Find("machine")->Get("preset"), "w2003-member");
    EXPECT_EQ(conf.Find("machine")->Get("version"), "5.2.3790");
    EXPECT_EQ(conf.Find("machine")->Get("memory"), "1073741824");  // room for the registry quota of its hives
    const ntsim::ConfSection* e = conf.Find("drive", "E");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->Get("fs"), "NTFS");
    EXPECT_EQ(e->Get("type"), "fixed");

    ntsim::SidBytes sid;
    ASSERT_TRUE(ntsim::SidFromText(kMachineSid, &sid));
    Tree c = Walk(dir_ + "/drives/c", "C:", sid), d = Walk(dir_ + "/drives/e", "E:", sid);
    // The files asked for, on both volumes (C: also holds the fresh machine's own few).
    EXPECT_GE(c.files + d.files, 2000u);
    EXPECT_LE(c.files + d.files, 2000u + 100);
    EXPECT_GT(d.files, 1000u);
    EXPECT_GT(c.files, 200u);
    // Twelve names deep at most, and that deep somewhere; a folder of a tenth of the files; a
    // path just short of MAX_PATH.
    EXPECT_EQ(std::max(c.depth, d.depth), 12);
    EXPECT_GE(d.biggestFolder, 200u);
    EXPECT_GE(d.longestPath, 250u);
    EXPECT_LE(std::max(c.longestPath, d.longestPath), 259u);
    // Every new entry carries a descriptor; about a tenth of them name a local account.
    EXPECT_GE(d.secured, d.entries);
    double share = (double)(c.local + d.local) / (double)(c.secured + d.secured);
    EXPECT_GT(share, 0.07) << c.local << "+" << d.local << " of " << c.secured << "+" << d.secured;
    EXPECT_LT(share, 0.15) << c.local << "+" << d.local << " of " << c.secured << "+" << d.secured;
    EXPECT_GT(d.local, 0u);

    // SOFTWARE has a server's shape: far more than a fresh machine's keys.
    EXPECT_GT(fs::file_size(Config("SOFTWARE")), 400000u);
    // No terminal server: the suite names none.
    ntsim::Hive system;
    ASSERT_EQ(ntsim::RegfLoadFile(Config("SYSTEM"), &system), 0u);
    EXPECT_EQ(MultiText(Find(system.root.get(), "ControlSet001\\Control\\ProductOptions")->FindValue("ProductSuite")),
              std::vector<std::string>{});
    EXPECT_EQ(Text(Find(system.root.get(), "ControlSet001\\Control\\ProductOptions")->FindValue("ProductType")), "ServerNT");

    EXPECT_EQ(Create("--files many"), 2);
    EXPECT_EQ(Create("--size huge"), 2);
}

// The counts also give another size a server's tree and users: the preset stays as asked.
TEST_F(ServerMachine, CountsAddTheServerPartsToAnySize) {
    ASSERT_EQ(Create("--preset xp-standalone --size large --files 300 --profiles 3"), 0);
    ntsim::Conf conf;
    std::string error;
    ASSERT_TRUE(ntsim::ConfLoad(dir_ + "/machine.conf", &conf, &error)) << error;
    EXPECT_EQ(conf.Find("machine")->Get("preset"), "xp-standalone");
    ASSERT_NE(conf.Find("drive", "E"), nullptr);
    EXPECT_TRUE(fs::exists(dir_ + "/drives/e/Home/tsuser0003/todo.txt"));
    EXPECT_FALSE(fs::exists(dir_ + "/drives/e/Home/tsuser0004"));
    EXPECT_TRUE(fs::exists(dir_ + "/drives/c/WINNT/Profiles/tsuser0003/ntuser.dat"));
    EXPECT_TRUE(fs::exists(dir_ + "/drives/c/Data/Projects"));  // the large machine's own tree
}

TEST_F(ServerMachine, TerminalServerHasAProfileAndAnAccountForEachUser) {
    ASSERT_EQ(Create("--size terminal-server --files 500 --profiles 30"), 0);
    ntsim::Hive software, sam, system;
    ASSERT_EQ(ntsim::RegfLoadFile(Config("SOFTWARE"), &software), 0u);
    ASSERT_EQ(ntsim::RegfLoadFile(Config("SAM"), &sam), 0u);
    ASSERT_EQ(ntsim::RegfLoadFile(Config("SYSTEM"), &system), 0u);
    EXPECT_EQ(Text(Find(software.root.get(), "Microsoft\\Windows NT\\CurrentVersion")->FindValue("ProductName")),
              "Microsoft Windows Server 2003");
    ntsim::HiveKey* list = Find(software.root.get(), "Microsoft\\Windows NT\\CurrentVersion\\ProfileList");
    ASSERT_NE(list, nullptr);
    int users = 0;
    for (const auto& entry : list->subkeys) {
        std::string path = Text(entry->FindValue("ProfileImagePath"));
        if (path.find("tsuser") == std::string::npos) continue;
        ++users;
        // Named by the user's SID, with its hive on disk, whose ProfileSid is that SID.
        EXPECT_EQ(entry->name.rfind(std::string(kMachineSid) + "-", 0), 0u) << entry->name;
        std::string host = dir_ + "/drives/c/WINNT/Profiles/" + path.substr(path.rfind('\\') + 1) + "/ntuser.dat";
        ntsim::Hive profile;
        ASSERT_EQ(ntsim::RegfLoadFile(host, &profile), 0u) << host;
        const ntsim::HiveValue* profileSid =
            Find(profile.root.get(), "Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon")->FindValue("ProfileSid");
        ASSERT_NE(profileSid, nullptr);
        EXPECT_EQ(ntsim::SidToText(profileSid->data), entry->name);
        EXPECT_GT(fs::file_size(host), 60000u) << "a user's settings, not an empty hive";
        // The account itself, under the RID of the SID.
        char rid[16];
        snprintf(rid, sizeof rid, "%08X", (unsigned)std::stoul(entry->name.substr(entry->name.rfind('-') + 1)));
        EXPECT_NE(Find(sam.root.get(), std::string("SAM\\Domains\\Account\\Users\\") + rid), nullptr) << rid;
    }
    EXPECT_EQ(users, 30);
    EXPECT_NE(Find(sam.root.get(), "SAM\\Domains\\Account\\Users\\Names\\tsuser0030"), nullptr);
    EXPECT_EQ(MultiText(Find(system.root.get(), "ControlSet001\\Control\\ProductOptions")->FindValue("ProductSuite")),
              std::vector<std::string>{"Terminal Server"});

    // The program's own checks see a member server of version class 8 with a terminal server.
    Attach("Administrator");
    EXPECT_TRUE(IsProductSuiteInstalled("Terminal Server"));
    EXPECT_EQ(GetOsVersionClass(), 8);
    EXPECT_EQ(DetectMachineRole(FALSE), kDomainMember);
    ntsim::ProcessDetach();
}

}  // namespace
