// The simulated machine's own plumbing: machine.conf, fault rules, path mapping,
// machine creation and the process environment.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <atomic>
#include <fstream>
#include <thread>
#include <string>

#include "nt/win32.h"
#include "ntsim/kernel/conf.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/registry/hive.h"
#include "ntsim/machine/machine.h"
#include "ntsim/kernel/paths.h"
#include "ntsim/kernel/process.h"
#include "ntsim/registry/boot.h"
#include "ntsim/registry/regf.h"
#include "unit/fresh_machine.h"

namespace {

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

TEST(Conf, ParsesSectionsRepeatedSectionsAndComments) {
    ntsim::Conf conf;
    std::string error;
    ASSERT_TRUE(ntsim::ConfParse("# a machine\n[machine]\nname = PC1\n\n[drive C]\npath = drives/c\n[drive D]\n"
                                 "path = /mnt/d ; not a comment\n[fault]\nfunction=RegOpenKeyExA\n[fault]\nfunction = DeleteFileA\n",
                                 &conf, &error))
        << error;
    ASSERT_NE(conf.Find("machine"), nullptr);
    EXPECT_EQ(conf.Find("machine")->Get("NAME"), "PC1");  // keys compare without case
    EXPECT_EQ(conf.Find("drive", "d")->Get("path"), "/mnt/d ; not a comment");
    EXPECT_EQ(conf.All("fault").size(), 2u);
    EXPECT_EQ(conf.Find("machine")->Get("missing", "fallback"), "fallback");
}

TEST(Conf, BadLinesNameTheirLineNumber) {
    ntsim::Conf conf;
    std::string error;
    EXPECT_FALSE(ntsim::ConfParse("[machine]\nname PC1\n", &conf, &error));
    EXPECT_NE(error.find("line 2"), std::string::npos) << error;
    EXPECT_FALSE(ntsim::ConfParse("name = x\n", &conf, &error));
    EXPECT_NE(error.find("line 1"), std::string::npos) << error;
    EXPECT_FALSE(ntsim::ConfParse("[machine\n", &conf, &error));
    EXPECT_NE(error.find("']'"), std::string::npos) << error;
}

TEST(Conf, FormatThenParseKeepsEverything) {
    ntsim::Conf conf, back;
    conf.Add("machine").Set("name", "PC1");
    conf.Add("drive", "C").Set("path", "drives/c");
    std::string error;
    ASSERT_TRUE(ntsim::ConfParse(ntsim::ConfFormat(conf), &back, &error)) << error;
    EXPECT_EQ(back.Find("drive", "C")->Get("path"), "drives/c");
    EXPECT_EQ(back.Find("machine")->Get("name"), "PC1");
}

TEST(Faults, GlobIsCaseInsensitiveAndAnchored) {
    EXPECT_TRUE(ntsim::GlobMatch("*\\sam\\*", "HKEY_LOCAL_MACHINE\\SAM\\SAM"));
    EXPECT_TRUE(ntsim::GlobMatch("c:\\?emp\\*.log", "C:\\TEMP\\x.LOG"));
    EXPECT_FALSE(ntsim::GlobMatch("*\\SAM", "HKEY_LOCAL_MACHINE\\SAM\\SAM\\Domains"));
    EXPECT_TRUE(ntsim::GlobMatch("*", ""));
    EXPECT_FALSE(ntsim::GlobMatch("a*b*c", "aXXbYY"));
}

TEST(Faults, NthCallAndPatternSelectTheFailingCall) {
    ntsim::FaultClearAll();
    ntsim::FaultAdd({"DeleteFileA", 5, 2, "*.sid", false});
    uint32_t err = 0;
    EXPECT_FALSE(ntsim::FaultHit("DeleteFileA", "C:\\tessiv.log", &err));  // pattern does not match: not counted
    EXPECT_FALSE(ntsim::FaultHit("DeleteFileA", "C:\\a.sid", &err));       // first matching call
    EXPECT_TRUE(ntsim::FaultHit("DeleteFileA", "C:\\b.SID", &err));        // second: fails
    EXPECT_EQ(err, 5u);
    EXPECT_FALSE(ntsim::FaultHit("DeleteFileA", "C:\\c.sid", &err));  // only the n-th
    EXPECT_FALSE(ntsim::FaultHit("CopyFileA", "C:\\b.sid", &err));
    ntsim::FaultClearAll();
    ntsim::FaultAdd({"*", 112, 0, "", false});
    EXPECT_TRUE(ntsim::FaultHit("CopyFileA", "x", &err));
    EXPECT_TRUE(ntsim::FaultHit("RegFlushKey", "y", &err));
    EXPECT_EQ(err, 112u);
    ntsim::FaultClearAll();
}

// A hold rule stops the matching call until it is released; a fail rule after it still
// fails that call, and clearing the rules lets a held call go.
TEST(Faults, AHeldCallWaitsForItsReleaseAndThenMeetsTheOtherRules) {
    ntsim::FaultClearAll();
    ntsim::FaultRule hold;
    hold.function = "MoveFileExA";
    hold.pattern = "*.sav";
    hold.hold = true;
    ntsim::FaultAdd(hold);
    ntsim::FaultAdd({"MoveFileExA", 32, 0, "*.sav", false});
    EXPECT_FALSE(ntsim::FaultWaitHeld(0));
    std::atomic<bool> done{false};
    uint32_t err = 0;
    bool failed = false;
    std::thread caller([&] {
        failed = ntsim::FaultHit("MoveFileExA", "C:\\a.sav", &err);
        done = true;
    });
    ASSERT_TRUE(ntsim::FaultWaitHeld(10000));
    usleep(20000);
    EXPECT_FALSE(done) << "the held call went on before its release";
    uint32_t other = 0;
    EXPECT_FALSE(ntsim::FaultHit("MoveFileExA", "C:\\a.log", &other)) << "a call the hold does not name";
    ntsim::FaultReleaseHeld();
    caller.join();
    EXPECT_TRUE(failed);
    EXPECT_EQ(err, 32u);
    ntsim::FaultClearAll();

    ntsim::FaultAdd(hold);
    std::thread cleared([&] { EXPECT_FALSE(ntsim::FaultHit("MoveFileExA", "C:\\b.sav", &other)); });
    ASSERT_TRUE(ntsim::FaultWaitHeld(10000));
    ntsim::FaultClearAll();
    cleared.join();
}

using MachineTest = FreshMachine;

TEST_F(MachineTest, CreateWritesConfAndEveryHiveAsRegf) {
    MakeMachine();
    std::string config = dir_ + "/drives/c/WINNT/system32/config/";
    for (const char* name : {"SAM", "SECURITY", "SOFTWARE", "SYSTEM", "DEFAULT"}) {
        ntsim::Hive hive;
        EXPECT_EQ(ntsim::RegfLoadFile(config + name, &hive), 0u) << name;
    }
    ntsim::Hive security;
    ASSERT_EQ(ntsim::RegfLoadFile(config + "SECURITY", &security), 0u);
    ntsim::HiveKey* pol = security.root->FindSubkey("Policy")->FindSubkey("PolAcDmS");
    ASSERT_NE(pol, nullptr);
    ASSERT_EQ(pol->values.size(), 1u);
    EXPECT_EQ(pol->values[0].data.size(), 24u);
    EXPECT_TRUE(Exists(dir_ + "/drives/c/WINNT/Profiles/Administrator/ntuser.dat"));
    // A second create into the same directory is refused, the machine kept.
    std::string error;
    EXPECT_FALSE(ntsim::MachineCreate(dir_, ntsim::MachineOptions(), &error));
    EXPECT_NE(error.find("already"), std::string::npos);
}

TEST_F(MachineTest, CreateHonoursSidAndRefusesBadOptions) {
    ntsim::MachineOptions options;
    options.sid = "S-1-5-21-1-2-3";
    MakeMachine(options);
    ntsim::Hive security;
    ASSERT_EQ(ntsim::RegfLoadFile(dir_ + "/drives/c/WINNT/system32/config/SECURITY", &security), 0u);
    const auto& sid = security.root->FindSubkey("Policy")->FindSubkey("PolAcDmS")->values[0].data;
    std::vector<uint8_t> expected = {1, 4, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0};
    EXPECT_EQ(sid, expected);

    std::string error;
    ntsim::MachineOptions bad;
    bad.sid = "S-1-5-21-1-2";
    EXPECT_FALSE(ntsim::MachineCreate(root_ + "/m2", bad, &error));
    EXPECT_NE(error.find("S-1-5-21-a-b-c"), std::string::npos) << error;
    bad = ntsim::MachineOptions();
    bad.preset = "nt5-toaster";
    EXPECT_FALSE(ntsim::MachineCreate(root_ + "/m3", bad, &error));
    bad = ntsim::MachineOptions();
    bad.name = "ABCDEFGHIJKLMNOP";  // 16 characters
    EXPECT_FALSE(ntsim::MachineCreate(root_ + "/m4", bad, &error));
}

TEST_F(MachineTest, PathsMapDrivesWithoutRegardToCase) {
    MakeMachine();
    Attach("");
    EXPECT_EQ(ntsim::CurrentProcess().user, "Administrator");
    std::string host;
    ASSERT_EQ(ntsim::MapWindowsPath("c:\\winnt\\SYSTEM32\\Config\\sam", &host), 0u);
    EXPECT_EQ(host, dir_ + "/drives/c/WINNT/system32/config/SAM");
    ASSERT_EQ(ntsim::MapWindowsPath("C:/WinNT/./Profiles/../Profiles/New Folder/x.txt", &host), 0u);
    EXPECT_EQ(host, dir_ + "/drives/c/WINNT/Profiles/New Folder/x.txt");
    // In a folder written as it is: a last name found in another case, and a new one.
    ASSERT_EQ(ntsim::MapWindowsPath("C:\\WINNT\\system32\\config\\sam", &host), 0u);
    EXPECT_EQ(host, dir_ + "/drives/c/WINNT/system32/config/SAM");
    ASSERT_EQ(ntsim::MapWindowsPath("C:\\WINNT\\system32\\config\\new.hiv", &host), 0u);
    EXPECT_EQ(host, dir_ + "/drives/c/WINNT/system32/config/new.hiv");
    EXPECT_EQ(ntsim::MapWindowsPath("Q:\\x", &host), 15u);        // ERROR_INVALID_DRIVE
    EXPECT_EQ(ntsim::MapWindowsPath("\\\\srv\\share\\x", &host), 53u);  // ERROR_BAD_NETPATH
    ntsim::SetCurrentDirectoryPath("C:\\WINNT");
    ASSERT_EQ(ntsim::MapWindowsPath("\\tessiv.sid", &host), 0u);  // root of the current drive
    EXPECT_EQ(host, dir_ + "/drives/c/tessiv.sid");
    ASSERT_EQ(ntsim::MapWindowsPath("system32", &host), 0u);
    EXPECT_EQ(host, dir_ + "/drives/c/WINNT/system32");
    ntsim::SetCurrentDirectoryPath("");
}

TEST_F(MachineTest, EnvironmentComesFromTheLogonAndMachineConf) {
    MakeMachine();
    {
        std::ofstream conf(dir_ + "/machine.conf", std::ios::app);
        conf << "\n[environment]\nTEMP = D:\\TEMP\nEXTRA = yes\n";
    }
    Attach("User1");
    EXPECT_EQ(ntsim::ProcessGetEnv("systemroot"), "C:\\WINNT");
    EXPECT_EQ(ntsim::ProcessGetEnv("TEMP"), "D:\\TEMP");
    EXPECT_EQ(ntsim::ProcessGetEnv("USERNAME"), "User1");
    EXPECT_EQ(ntsim::ProcessGetEnv("Extra"), "yes");
    bool found = true;
    EXPECT_EQ(ntsim::ProcessGetEnv("NOPE", &found), "");
    EXPECT_FALSE(found);
}

TEST_F(MachineTest, AttachRefusesAMissingOrBrokenMachine) {
    std::string error;
    EXPECT_FALSE(ntsim::ProcessAttach(root_ + "/none", "", false, &error));
    ASSERT_TRUE(ntsim::MachineCreate(dir_, ntsim::MachineOptions(), &error)) << error;
    {
        std::ofstream conf(dir_ + "/machine.conf", std::ios::app);
        conf << "\nthis line is wrong\n";
    }
    EXPECT_FALSE(ntsim::ProcessAttach(dir_, "", false, &error));
    EXPECT_NE(error.find("machine.conf"), std::string::npos) << error;
    EXPECT_FALSE(ntsim::ProcessAttached());
}

TEST_F(MachineTest, ServiceRunsAsSystemAndConfFaultsLoad) {
    MakeMachine();
    {
        std::ofstream conf(dir_ + "/machine.conf", std::ios::app);
        conf << "\n[fault]\nfunction = RegFlushKey\nerror = 1016\npath = *SYSTEM*\n";
    }
    Attach("", true);
    EXPECT_EQ(ntsim::CurrentProcess().user, "SYSTEM");
    uint32_t err = 0;
    EXPECT_TRUE(ntsim::FaultHit("RegFlushKey", "HKEY_LOCAL_MACHINE\\SYSTEM", &err));
    EXPECT_EQ(err, 1016u);
    ntsim::ProcessDetach();
    EXPECT_FALSE(ntsim::FaultHit("RegFlushKey", "HKEY_LOCAL_MACHINE\\SYSTEM", &err));  // rules end with the process
}

}  // namespace

namespace {

std::string HeaderName(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::string bytes(64, '\0');
    in.seekg(0x30);
    in.read(&bytes[0], 64);
    std::string name;
    for (size_t i = 0; i + 1 < bytes.size() && (bytes[i] || bytes[i + 1]); i += 2) name += bytes[i];
    return name;
}

// A hive file that cannot be read makes its keys "corrupt", not "not found", and is named;
// a hive written back keeps the file name of its base block.
TEST_F(MachineTest, DamagedHivesAreNamedAndWrittenHivesKeepTheirFileName) {
    MakeMachine();
    std::string config = dir_ + "/drives/c/WINNT/system32/config/";
    EXPECT_EQ(HeaderName(config + "SOFTWARE"), "emRoot\\System32\\Config\\SOFTWARE");
    EXPECT_EQ(HeaderName(config + "SAM"), "\\SystemRoot\\System32\\Config\\SAM");
    Attach("Administrator");
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Written", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr), 0);
    ASSERT_EQ(RegFlushKey(key), 0);
    RegCloseKey(key);
    ntsim::ProcessDetach();
    EXPECT_EQ(HeaderName(config + "SOFTWARE"), "emRoot\\System32\\Config\\SOFTWARE");
    ntsim::Hive software;
    ASSERT_EQ(ntsim::RegfLoadFile(config + "SOFTWARE", &software), 0u);
    EXPECT_NE(software.root->FindSubkey("Written"), nullptr);
    {
        std::fstream sam(config + "SAM", std::ios::in | std::ios::out | std::ios::binary);
        sam.seekp(4096);
        sam.write("XXXX", 4);  // the first bin's signature
    }
    Attach("Administrator");
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SAM", 0, KEY_READ, &key), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SAM\\SAM\\Domains", 0, KEY_READ, &key), ERROR_REGISTRY_CORRUPT);
    std::vector<std::string> damaged = ntsim::RegistryDamagedHives();
    ASSERT_EQ(damaged.size(), 1u);
    EXPECT_NE(damaged[0].find("\\system32\\config\\SAM (error "), std::string::npos) << damaged[0];

    ntsim::ProcessDetach();
}

}  // namespace
