// Hive working copies on a simulated machine: the registry quota, the work directory,
// hive sets, the byte scan, replacements at the restart, the clean-up, and every
// failure they report.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "engine/hive_copies.h"
#include "replace/registry_replace.h"
#include "identity/role_checks.h"
#include "ntsim/machine/boot.h"
#include "ntsim/kernel/conf.h"
#include "unit/engine/engine_fixture.h"
#include "unit/engine/stream_text.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Texts = std::vector<std::string>;
const Bytes kOldSid = ntsim::SidMake(5, {21, 1, 2, 3}), kNewSid = ntsim::SidMake(5, {21, 11, 22, 33});
const std::string kConfig = "WINNT/system32/config/", kWork = "TEMP/TESSIV/";
const char* const kScanned[] = {"SECURITY", "SYSTEM", "SAM", "SOFTWARE"};

class HiveCopies : public EngineTest {
protected:
    FILE* log_ = nullptr;
    Sid old_, new_;

    void Begin(const std::string& version = "4.0") {
        TestMachineSetup setup;
        setup.version = version;
        Start(setup);
        ProcessMutex.Close();
        ProcessMutex.Create();  // this machine's version class, not an earlier test's
        logStream = log_ = tmpfile();
        SidFromText("S-1-5-21-1-2-3", &old_);
        SidFromText("S-1-5-21-11-22-33", &new_);
    }
    void TearDown() override {
        ntsim::FaultClearAll();
        debugMode = 0;
        if (logStream == log_) logStream = nullptr;
        if (log_) fclose(log_);
        if (jobSettings) FreeSidBuffer(jobSettings->originalSid), jobSettings->originalSid = nullptr;
        ProcessMutex.Close();
        EngineTest::TearDown();
    }
    std::string Log() { return StreamText(log_); }
    // The error boxes shown since the last check, then a fresh transcript.
    static void ExpectErrors(const Texts& texts) {
        Texts expected;
        for (const std::string& text : texts) expected.push_back(Box("error icon", text));
        EXPECT_EQ(Boxes(), expected);
        ntsim::TranscriptClear();
    }
    // Lines of the log in this order (other lines may come between them).
    void ExpectLogged(const Texts& lines) {
        std::string log = Log();
        size_t at = 0;
        for (const std::string& line : lines) {
            at = log.find(line + "\n", at);
            ASSERT_NE(at, std::string::npos) << line << " in\n" << log;
        }
    }
    void Boot() {
        FreshMachine::Boot();
        Attach("Administrator");
        EnablePrivilege("SeRestorePrivilege", TRUE);
    }
    void SetMemory(const std::string& bytes) {
        ntsim::ProcessDetach();
        ntsim::Conf conf;
        std::string err;
        ASSERT_TRUE(ntsim::ConfLoad(dir_ + "/machine.conf", &conf, &err)) << err;
        conf.Find("machine")->Set("memory", bytes);
        ASSERT_TRUE(ntsim::ConfSave(dir_ + "/machine.conf", conf));
        Attach("Administrator");
    }
    // The ten registry files add up to total bytes (the padding in SYSTEM.LOG), with
    // RegistrySizeLimit set first when limit is given.
    void SetHives(unsigned long long total, long long limit = -1) {
        if (limit >= 0) SetValue(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control", "RegistrySizeLimit",
                                 REG_DWORD, std::string((const char*)&limit, 4));
        std::string pad = Host(kConfig + "SYSTEM.LOG");
        std::ofstream(pad).close();
        unsigned long long sum = 0;
        for (const char* name : {"SYSTEM", "SOFTWARE", "SAM", "SECURITY", "DEFAULT"})
            sum += fs::file_size(Host(kConfig + name));
        fs::resize_file(pad, total - sum);
    }
    void SetFile(const std::string& path, unsigned long long size) {
        std::ofstream(Host(path)).close();
        fs::resize_file(Host(path), size);
    }
    // The refusal, with what the job needs and what the limit is in bytes.
    static std::string Quota(int megabytes, unsigned long long need, unsigned long long limit) {
        return "You are running low on registry quota for this computer and may run out during this process. \n\n"
               "Please increase the size of the quota to a minimum of " +
               std::to_string(megabytes) +
               " MB before continuing.\n\nRefer to the online documentation for assistance.\n\nRegistry quota needed: " +
               std::to_string(need) + " bytes; limit: " + std::to_string(limit) + " bytes.";
    }
    static void SetValue(HKEY root, const char* path, const char* name, DWORD type, const std::string& data) {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
        ASSERT_EQ(RegSetValueExA(key, name, 0, type, (const BYTE*)data.data(), (DWORD)data.size()), 0);
        RegCloseKey(key);
    }
    // A value's text, or "<error N>" when the key or value cannot be read.
    static std::string Get(HKEY root, const char* path, const char* name = "") {
        HKEY key = nullptr;
        char data[256] = "";
        DWORD size = sizeof data;
        LONG err = RegOpenKeyExA(root, path, 0, KEY_READ, &key);
        if (!err && *name) err = RegQueryValueExA(key, name, nullptr, nullptr, (BYTE*)data, &size);
        if (key) RegCloseKey(key);
        return err ? "<error " + std::to_string(err) + ">" : std::string(data);
    }
    // Occurrences of a SID's 17 scanned bytes past the first 4096 bytes of a file below C:.
    int Count(const std::string& path, const Bytes& sid) {
        std::string data = HostFile(Host(path)), needle(sid.begin() + 7, sid.end());
        int count = 0;
        for (size_t at = data.find(needle, 4096); at != std::string::npos; at = data.find(needle, at + 17)) ++count;
        return count;
    }
    int Pending() {
        std::string text = HostFile(dir_ + "/pending-hive-replacements");
        return (int)std::count(text.begin(), text.end(), '\n');
    }
    Bytes PolicySid() {
        ntsim::Hive hive;
        EXPECT_EQ(ntsim::RegfLoadFile(Host(kConfig + "SECURITY"), &hive), 0u);
        return TestKey(hive.root.get(), "Policy\\PolAcDmS")->values.at(0).data;
    }
    void StoreSettings() {
        if (!jobSettings->originalSid) jobSettings->originalSid = NewSidBuffer();
        *jobSettings->originalSid = old_;
        ASSERT_EQ(jobSettings->SaveSettings(1), 1);
    }
};

TEST_F(HiveCopies, Windows2000LimitIsAQuarterOfMemoryPlus12WithOrWithoutPageFile) {
    Begin("5.0");
    SetFile("pagefile.sys", 400000000);
    SetHives(9320676);  // needs 16777218 of (67108864 + 12) / 4 = 16777219
    EXPECT_EQ(CheckRegistryQuota(), 1);
    SetHives(9320677);  // needs 16777220
    EXPECT_EQ(CheckRegistryQuota(), 0);
    ExpectErrors({Quota(18, 16777220, 16777219)});
    SetMemory("17179869184");  // a quarter of 16 GB does not fit 32 bits and must not wrap to 3
    SetHives(1000000000);
    EXPECT_EQ(CheckRegistryQuota(), 1);
    ExpectErrors({});
}

TEST_F(HiveCopies, Nt4LimitIsAQuarterOfThePageFileElseOfMemory) {
    Begin("4.0");
    SetFile("pagefile.sys", 40000000);
    SetHives(5555554);  // needs 9999999
    EXPECT_EQ(CheckRegistryQuota(), 1);
    SetHives(5555555);  // needs 10000001
    EXPECT_EQ(CheckRegistryQuota(), 0);
    fs::remove(Host("pagefile.sys"));
    EXPECT_EQ(CheckRegistryQuota(), 1);
    ExpectErrors({Quota(12, 10000001, 10000000)});
}

TEST_F(HiveCopies, TenMegabytesOfHivesNeed18874370Bytes) {
    Begin();
    SetHives(10485760, 18874369);
    EXPECT_EQ(CheckRegistryQuota(), 0);
    EXPECT_NE(Log().find("\n" + Quota(22, 18874370, 18874369) + "\n"), std::string::npos);
    SetHives(10485760, 18874370);
    EXPECT_EQ(CheckRegistryQuota(), 1);
    SetHives(0x80000000ULL, 1000000000);  // twice 2 GB must not wrap to nothing
    EXPECT_EQ(CheckRegistryQuota(), 0);
    ExpectErrors({Quota(22, 18874370, 18874369), Quota(4098, 3865470568ULL, 1000000000)});

    ntsim::FaultAdd({"RegOpenKeyExA", ERROR_ACCESS_DENIED, 0, "*CurrentControlSet\\Control", false});
    EXPECT_EQ(CheckRegistryQuota(), 0);
    ntsim::FaultClearAll();
    ntsim::FaultAdd({"GetFileAttributesExA", ERROR_ACCESS_DENIED, 0, "*SAM.LOG", false});
    EXPECT_EQ(CheckRegistryQuota(), 0);
    ntsim::FaultClearAll();
    ntsim::FaultAdd({"GetSystemDirectoryA", ERROR_NOT_ENOUGH_MEMORY, 0, "", false});
    EXPECT_EQ(CheckRegistryQuota(), 0);  // no message of its own
    ExpectErrors({"Error reading registry size limits",
                  "Error 5 retrieving size of registry file C:\\WINNT\\system32\\config\\SAM.LOG"});
}

TEST_F(HiveCopies, WorkDirectoryTakesTheFirstFreeNameAndNeverAnotherRunsDirectory) {
    Begin();
    ASSERT_EQ(CreateWorkDirectory(), 1);
    EXPECT_STREQ(jobSettings->workDirectory, "C:\\TEMP\\TESSIV");
    for (const char* sub : {"USERS", "ORIGINAL", "ORIGINAL/USERS"}) EXPECT_TRUE(fs::is_directory(Host(kWork + sub)));
    ASSERT_EQ(CreateWorkDirectory(), 1);
    EXPECT_STREQ(jobSettings->workDirectory, "C:\\TEMP\\TESSIV0");
    for (int n = 1; n <= 97; ++n) fs::create_directory(Host("TEMP/TESSIV" + std::to_string(n)));
    std::ofstream(Host("TEMP/TESSIV97/keep")) << "another run";
    EXPECT_EQ(CreateWorkDirectory(), 0);
    EXPECT_STREQ(jobSettings->workDirectory, "");  // a clean-up now leaves every directory alone
    EXPECT_FALSE(fs::exists(Host("TEMP/TESSIV98")));
    std::string deep = "C:";  // a work folder with no room left for the name
    for (int i = 0; i < 4; ++i) deep += "\\" + std::string(62, 'd' + i);
    ntsim::ProcessSetEnv("TEMP", deep);
    ntsim::ProcessSetEnv("TMP", deep);
    EXPECT_EQ(CreateWorkDirectory(), 0);
    EXPECT_STREQ(jobSettings->workDirectory, "");
    ExpectErrors({"Error 183 creating temporary directory", "Error 206 creating temporary directory"});
    EXPECT_EQ(CleanPreviousRun(), -1);  // no stored settings
    EXPECT_EQ(HostFile(Host("TEMP/TESSIV97/keep")), "another run");
    ExpectErrors({"Error: Unable to remove program registry settings"});
}

TEST_F(HiveCopies, HiveSetHoldsFiveReadableHivesAndIsNeverOverwritten) {
    Begin();
    ASSERT_EQ(CreateWorkDirectory(), 1);
    debugMode = 1;
    ASSERT_EQ(SaveHiveSet("C:\\TEMP\\TESSIV\\ORIGINAL"), 1);
    EXPECT_EQ(Log(), "   C:\\TEMP\\TESSIV\\ORIGINAL\\SAM\n   C:\\TEMP\\TESSIV\\ORIGINAL\\SECURITY\n"
                     "   C:\\TEMP\\TESSIV\\ORIGINAL\\SOFTWARE\n   C:\\TEMP\\TESSIV\\ORIGINAL\\SYSTEM\n"
                     "   C:\\TEMP\\TESSIV\\ORIGINAL\\USERS\\.DEFAULT\nComplete.\n");
    for (auto [file, key] : {std::pair{"SAM", "SAM"}, {"SECURITY", "Policy"}, {"SOFTWARE", "Microsoft"},
                             {"SYSTEM", "ControlSet001"}, {"USERS/.DEFAULT", "Software"}}) {
        ntsim::Hive hive;
        ASSERT_EQ(ntsim::RegfLoadFile(Host(kWork + "ORIGINAL/" + file), &hive), 0u) << file;
        EXPECT_NE(hive.root->FindSubkey(key), nullptr) << file;
    }
    std::string sam = HostFile(Host(kWork + "ORIGINAL/SAM"));
    EXPECT_EQ(SaveHiveSet("C:\\TEMP\\TESSIV\\ORIGINAL"), 0);
    EXPECT_EQ(HostFile(Host(kWork + "ORIGINAL/SAM")), sam);
    ExpectErrors({"Error 183 saving registry key 'SAM'"});

    ntsim::FaultAdd({"RegCreateKeyExA", ERROR_ACCESS_DENIED, 0, "*SECURITY", false});
    EXPECT_EQ(SaveHiveSet("C:\\TEMP\\TESSIV"), 0);
    EXPECT_TRUE(fs::exists(Host(kWork + "SAM")));
    EXPECT_FALSE(fs::exists(Host(kWork + "SOFTWARE")));
    ntsim::FaultClearAll();
    fs::remove(Host(kWork + "SAM"));
    ntsim::FaultAdd({"RegSaveKeyA", ERROR_DISK_FULL, 0, "*SOFTWARE", false});
    EXPECT_EQ(SaveHiveSet("C:\\TEMP\\TESSIV"), 0);
    EXPECT_FALSE(fs::exists(Host(kWork + "SYSTEM")));
    std::string deep = "C:\\" + std::string(258, 'x');
    EXPECT_EQ(SaveHiveSet(deep.c_str()), 0);
    ExpectErrors({"Error 5 opening registry key 'SECURITY'", "Error 112 saving registry key 'SOFTWARE'",
                  "Error: Path too long: '" + deep + "\\SAM'"});
    EXPECT_EQ(Log().find("Complete.", Log().find("Complete.") + 1), std::string::npos);
}

TEST_F(HiveCopies, ByteScanPatchesTheWorkingCopiesButNotTheDefaultUser) {
    Begin();
    std::string sid(kOldSid.begin(), kOldSid.end());
    SetValue(HKEY_USERS, ".DEFAULT\\Software\\Sid", "bin", REG_BINARY, sid);
    SetValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Sid", "bin", REG_BINARY, sid);
    ASSERT_EQ(CreateWorkDirectory(), 1);
    ASSERT_EQ(SaveHiveSet(jobSettings->workDirectory), 1);
    int before = 0, defaults = Count(kWork + "USERS/.DEFAULT", kOldSid);
    for (const char* name : kScanned) before += Count(kWork + name, kOldSid);
    ASSERT_GE(before, 3);
    ASSERT_GE(defaults, 1);
    debugMode = 1;
    ASSERT_EQ(ScanHiveFilesForSid(&old_, &new_), 1);
    EXPECT_EQ(jobSettings->replacedCount, (DWORD)before);
    EXPECT_EQ(jobSettings->changesMade, 1u);
    for (const char* name : kScanned) EXPECT_EQ(Count(kWork + name, kOldSid), 0) << name;
    EXPECT_EQ(Count(kWork + "USERS/.DEFAULT", kOldSid), defaults);
    ExpectLogged({"   C:\\TEMP\\TESSIV\\SECURITY", "   C:\\TEMP\\TESSIV\\SYSTEM", "   C:\\TEMP\\TESSIV\\SAM",
                  "   C:\\TEMP\\TESSIV\\SOFTWARE"});

    // A file that cannot be opened stops the scan there.
    ASSERT_EQ(SaveHiveSet("C:\\TEMP\\TESSIV\\ORIGINAL"), 1);
    for (const char* name : kScanned) fs::copy_file(Host(kWork + "ORIGINAL/" + name), Host(kWork + name),
                                                    fs::copy_options::overwrite_existing);
    fs::remove(Host(kWork + "SAM"));
    EXPECT_EQ(ScanHiveFilesForSid(&old_, &new_), 0);
    EXPECT_EQ(Count(kWork + "SECURITY", kOldSid), 0);
    EXPECT_EQ(Count(kWork + "SOFTWARE", kOldSid), Count(kWork + "ORIGINAL/SOFTWARE", kOldSid));
    EXPECT_EQ(ScanHiveFilesForSid(nullptr, &new_), 0);
    ExpectErrors({"ERROR: Unable to open 'C:\\TEMP\\TESSIV\\SAM'", "Error: No SID given for the byte scan"});

    // A failed write ends that file's scan with a report, yet counts as replaced: the copy
    // may be half converted and the scan must fail. SAM's matches are written in its view;
    // the flush of the view fails, and SOFTWARE, scanned after it, is not touched.
    fs::copy_file(Host(kWork + "ORIGINAL/SAM"), Host(kWork + "SAM"));
    ASSERT_GE(Count(kWork + "SAM", kOldSid), 2);
    ntsim::FaultAdd({"FlushViewOfFile", 29, 0, "*\\TESSIV\\SAM", false});
    EXPECT_EQ(ScanHiveFilesForSid(&old_, &new_), 0);
    ntsim::FaultClearAll();
    EXPECT_EQ(Count(kWork + "SAM", kOldSid), 0);
    EXPECT_EQ(Count(kWork + "SOFTWARE", kOldSid), Count(kWork + "ORIGINAL/SOFTWARE", kOldSid));
    ExpectErrors({"Error writing to file 'C:\\TEMP\\TESSIV\\SAM'"});
}

// Any file will do for the scan: SIDs planted across the reads' boundaries, side by side,
// at the end, and in the base block (never replaced) are all counted as replaced.
TEST_F(HiveCopies, ByteScanCountsEveryMatchOfLargeFiles) {
    Begin();
    strcpy(jobSettings->workDirectory, "C:\\TEMP\\BIG");
    std::string old(kOldSid.begin() + 7, kOldSid.end()), data(200000, '\x05');
    std::vector<size_t> at = {4102, 4102 + 17, 69632 - 8, 69632 + 30, 69632 + 47, 135168 - 1, 200000 - 17};
    for (size_t a : at) data.replace(a, 17, old);
    data.replace(4085, 17, old);  // reaching into the base block
    fs::create_directories(Host("TEMP/BIG"));
    for (const char* name : kScanned) std::ofstream(Host(std::string("TEMP/BIG/") + name), std::ios::binary) << data;
    ASSERT_EQ(ScanHiveFilesForSid(&old_, &new_), 1);
    EXPECT_EQ(jobSettings->replacedCount, 4 * at.size());
    EXPECT_EQ(Count("TEMP/BIG/SAM", kOldSid), 0);
    EXPECT_EQ(HostFile(Host("TEMP/BIG/SAM")).substr(4085, 17), old);
    ExpectErrors({});
}

TEST_F(HiveCopies, WorkingAndOriginalHivesAreLiveAfterTheRestart) {
    Begin();
    SetValue(HKEY_USERS, ".DEFAULT\\Software\\Job", "state", REG_SZ, "before");
    ASSERT_EQ(CreateWorkDirectory(), 1);
    ASSERT_EQ(SaveHiveSet("C:\\TEMP\\TESSIV\\ORIGINAL"), 1);
    SetValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Job", "state", REG_SZ, "working");
    SetValue(HKEY_USERS, ".DEFAULT\\Software\\Job", "state", REG_SZ, "working");
    // As the job's registry walk does: the SAM's membership index follows the new SID, or
    // the Administrator would log on after the restart without his aliases.
    SidPairList pairs = {1, {"S-1-5-21-1-2-3"}, {"S-1-5-21-11-22-33"}};
    ASSERT_EQ(SearchReplaceKey(HKEY_LOCAL_MACHINE, "SAM", "MACHINE\\SAM", &pairs), 0);
    ASSERT_EQ(SaveHiveSet(jobSettings->workDirectory), 1);
    ASSERT_EQ(ScanHiveFilesForSid(&old_, &new_), 1);
    SetValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Job", "state", REG_SZ, "changed after the save");
    debugMode = 1;
    ASSERT_EQ(InstallWorkingHives(), 1);
    EXPECT_EQ(Pending(), 4);
    EXPECT_EQ(Log().find("Updating Registry, Please Wait"), std::string::npos);  // on the screen only
    ExpectLogged({"   C:\\TEMP\\TESSIV\\SECURITY", "   C:\\TEMP\\TESSIV\\SOFTWARE", "   C:\\TEMP\\TESSIV\\SAM",
                  "   C:\\TEMP\\TESSIV\\SYSTEM", "Complete: Registry Updated Successfully."});
    EXPECT_EQ(Get(HKEY_LOCAL_MACHINE, "SOFTWARE\\Job", "state"), "changed after the save");
    Boot();
    EXPECT_EQ(Get(HKEY_LOCAL_MACHINE, "SOFTWARE\\Job", "state"), "working");
    EXPECT_EQ(Get(HKEY_USERS, ".DEFAULT\\Software\\Job", "state"), "working");  // live since before
    EXPECT_EQ(PolicySid(), kNewSid);
    for (const char* name : kScanned) EXPECT_TRUE(fs::exists(Host(kWork + name + ".BAK"))) << name;

    ASSERT_EQ(RestoreOriginalHives(), 1);
    ExpectLogged({"", "Restoring Original Registry Files...", "   C:\\TEMP\\TESSIV\\ORIGINAL\\SAM",
                  "   C:\\TEMP\\TESSIV\\ORIGINAL\\SECURITY", "   C:\\TEMP\\TESSIV\\ORIGINAL\\SOFTWARE",
                  "   C:\\TEMP\\TESSIV\\ORIGINAL\\SYSTEM", "   C:\\TEMP\\TESSIV\\ORIGINAL\\USERS\\.DEFAULT",
                  "Complete: Original Registry Restored Successfully."});
    Boot();
    EXPECT_EQ(Get(HKEY_LOCAL_MACHINE, "SOFTWARE\\Job"), "<error 2>");
    EXPECT_EQ(Get(HKEY_USERS, ".DEFAULT\\Software\\Job", "state"), "before");
    EXPECT_EQ(PolicySid(), kOldSid);
    for (const char* name : {"SAM", "SECURITY", "SOFTWARE", "SYSTEM", "USERS/.DEFAULT"})
        EXPECT_TRUE(fs::exists(Host(kWork + "ORIGINAL/" + name + ".BAK"))) << name;
    ExpectErrors({});
}

TEST_F(HiveCopies, ReplacementFailuresStopAtTheirHive) {
    Begin();
    ASSERT_EQ(CreateWorkDirectory(), 1);
    ASSERT_EQ(SaveHiveSet("C:\\TEMP\\TESSIV\\ORIGINAL"), 1);
    ASSERT_EQ(SaveHiveSet(jobSettings->workDirectory), 1);
    ntsim::FaultAdd({"RegReplaceKeyA", ERROR_ACCESS_DENIED, 0, "*TESSIV\\SAM", false});
    EXPECT_EQ(InstallWorkingHives(), 0);
    EXPECT_EQ(Pending(), 2);  // SECURITY and SOFTWARE; SYSTEM never asked for
    ntsim::FaultClearAll();
    ntsim::FaultAdd({"RegReplaceKeyA", ERROR_DISK_FULL, 0, "*ORIGINAL\\SOFTWARE", false});
    jobSettings->changesMade = 1;
    EXPECT_EQ(RestoreOriginalHives(), -1);
    EXPECT_EQ(Pending(), 4);  // and the original SAM and SECURITY
    ntsim::FaultClearAll();
    std::string deep = "C:\\" + std::string(250, 'w');
    strcpy(jobSettings->workDirectory, deep.c_str());
    EXPECT_EQ(InstallWorkingHives(), 0);
    EXPECT_EQ(RestoreOriginalHives(), -1);
    EXPECT_EQ(ScanHiveFilesForSid(&old_, &new_), 0);
    EXPECT_EQ(Pending(), 4);
    ExpectErrors({"Error 5 replacing hive 'SAM' from file 'C:\\TEMP\\TESSIV\\SAM'",
                  "Error 112 replacing hive 'SOFTWARE' from file 'C:\\TEMP\\TESSIV\\ORIGINAL\\SOFTWARE'",
                  "Error: Path too long: '" + deep + "\\SECURITY'", "Error: Path too long: '" + deep + "\\ORIGINAL'",
                  "Error: Path too long: '" + deep + "\\SECURITY'"});
    EXPECT_EQ(Log().find("Successfully"), std::string::npos);
}

TEST_F(HiveCopies, RestoreWithNothingChangedCleansUpInstead) {
    Begin();
    StoreSettings();
    ASSERT_EQ(CreateWorkDirectory(), 1);
    ASSERT_EQ(SaveHiveSet("C:\\TEMP\\TESSIV\\ORIGINAL"), 1);
    EXPECT_EQ(RestoreOriginalHives(), 0);
    EXPECT_EQ(jobSettings->stage, -1);
    EXPECT_FALSE(fs::exists(Host(kWork)));
    EXPECT_FALSE(fs::exists(Host("tessiv.sid")));
    EXPECT_EQ(Get(HKEY_LOCAL_MACHINE, "Software\\Quorvel"), "<error 2>");
    EXPECT_EQ(Pending(), 0);
    EXPECT_EQ(Log(), "Complete.\n\nCleaning Up:\n   Removing temporary directory from previous run\n"
                     "   Updating configuration...\n   Program Registry Settings Removed Successfully.\nComplete.\n");
    ExpectErrors({});
}

TEST_F(HiveCopies, CleanUpWithoutDirectoriesStillRemovesTheSettings) {
    Begin();
    StoreSettings();
    fs::create_directories(Host("logs"));
    std::ofstream(Host("logs/run.log")) << "earlier run\n";
    logStream = nullptr;
    jobSettings->useLogFile = 1;
    strcpy(jobSettings->logFileName, "c:\\logs\\run.log");
    EXPECT_EQ(CleanPreviousRun(), 0);
    EXPECT_EQ(Get(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Tessiv"), "<error 2>");
    EXPECT_FALSE(fs::exists(Host("tessiv.sid")));
    CloseLogFile();
    std::string log = HostFile(Host("logs/run.log"));
    log.erase(std::remove(log.begin(), log.end(), '\r'), log.end());  // a text-mode file
    EXPECT_EQ(log, "earlier run\n\nCleaning Up:\n   Removing temporary directory from previous run\n"
                   "   Updating configuration...\n   Program Registry Settings Removed Successfully.\nComplete.\n");

    // Directories already gone, or named twice, leave nothing to remove.
    StoreSettings();
    fs::create_directories(Host("TEMP/TESSIV3/USERS"));
    strcpy(jobSettings->previousWorkDirectory, "C:\\TEMP\\TESSIV3");
    strcpy(jobSettings->workDirectory, "C:\\TEMP\\TESSIV3");
    EXPECT_EQ(CleanPreviousRun(), 0);
    EXPECT_FALSE(fs::exists(Host("TEMP/TESSIV3")));
    StoreSettings();
    strcpy(jobSettings->previousWorkDirectory, "C:\\TEMP\\GONE");
    EXPECT_EQ(CleanPreviousRun(), 0);
    EXPECT_FALSE(fs::exists(Host("tessiv.sid")));
    ExpectErrors({});
}

TEST_F(HiveCopies, CleanUpFailuresKeepWhatTheyCouldNotRemove) {
    Begin();
    StoreSettings();
    ASSERT_EQ(CreateWorkDirectory(), 1);
    std::ofstream(Host(kWork + "ORIGINAL/SAM")) << "hive";
    ntsim::FaultAdd({"DeleteFileA", ERROR_ACCESS_DENIED, 0, "*SAM", false});
    EXPECT_EQ(CleanPreviousRun(), -1);
    EXPECT_EQ(HostFile(Host(kWork + "ORIGINAL/SAM")), "hive");
    EXPECT_EQ(Get(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Tessiv"), "");
    ntsim::FaultClearAll();
    ntsim::FaultAdd({"RegDeleteKeyA", ERROR_ACCESS_DENIED, 0, "*Tessiv", false});
    EXPECT_EQ(CleanPreviousRun(), -1);
    EXPECT_FALSE(fs::exists(Host(kWork)));
    EXPECT_EQ(Get(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Tessiv", "LogFileName"), "c:\\tessiv.log");
    EXPECT_TRUE(fs::exists(Host("tessiv.sid")));
    ExpectErrors({"Error deleting file 'C:\\TEMP\\TESSIV\\ORIGINAL\\SAM'",
                  "Error 5 attempting to clean up temporary directory", "Error 5 deleting program registry key",
                  "Error: Unable to remove program registry settings"});
}

TEST_F(HiveCopies, ProgramKeyGoesAndTheCompanyKeyOnlyWhenEmpty) {
    Begin();
    StoreSettings();
    SetValue(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Other", "v", REG_SZ, std::string("kept", 5));
    EXPECT_EQ(DeleteProgramKey(), 1);
    EXPECT_EQ(Get(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Tessiv"), "<error 2>");
    EXPECT_EQ(Get(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Other", "v"), "kept");
    EXPECT_EQ(DeleteProgramKey(), 0);  // nothing there: no message of its own
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Other"), 0);
    StoreSettings();
    ntsim::FaultAdd({"RegDeleteKeyA", ERROR_ACCESS_DENIED, 0, "*Quorvel", false});
    EXPECT_EQ(DeleteProgramKey(), 0);
    EXPECT_EQ(Get(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Tessiv"), "<error 2>");
    EXPECT_EQ(Get(HKEY_LOCAL_MACHINE, "Software\\Quorvel"), "");
    ntsim::FaultClearAll();
    StoreSettings();  // an account name that cannot be mapped ends quietly, keeping the settings
    ntsim::FaultAdd({"LookupAccountNameA", ERROR_NONE_MAPPED, 0, "", false});
    EXPECT_EQ(DeleteProgramKey(), 0);
    EXPECT_EQ(Get(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Tessiv"), "");
    ntsim::FaultClearAll();
    EXPECT_EQ(DeleteProgramKey(), 1);
    EXPECT_EQ(Get(HKEY_LOCAL_MACHINE, "Software\\Quorvel"), "<error 2>");
    ExpectErrors({"Error 5 deleting company registry key"});
}

}  // namespace
