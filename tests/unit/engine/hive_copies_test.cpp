// Hive working copies on a simulated machine: the registry quota, the work directory,
// hive sets, the byte scan, replacements at the restart, the clean-up, and every
// failure they report.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/hive_copies.h"
#include "identity/role_checks.h"
#include "ntsim/boot.h"
#include "ntsim/conf.h"
#include "unit/engine/engine_fixture.h"

namespace {

namespace fs = std::filesystem;

const std::vector<uint8_t> kOldPattern = {5, 21, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0};
const std::vector<uint8_t> kNewPattern = {5, 21, 0, 0, 0, 11, 0, 0, 0, 22, 0, 0, 0, 33, 0, 0, 0};
const std::string kConfig = "WINNT/system32/config/";

class HiveCopies : public EngineTest {
protected:
    FILE* log_ = nullptr;
    Sid oldSid_, newSid_;

    void Begin(const TestMachineSetup& setup = TestMachineSetup()) {
        Start(setup);
        ProcessMutex.Close();
        ProcessMutex.Create();  // the version class of this machine, not an earlier one's
        log_ = tmpfile();
        logStream = log_;
        SidFromText("S-1-5-21-1-2-3", &oldSid_);
        SidFromText("S-1-5-21-11-22-33", &newSid_);
    }
    void TearDown() override {
        ntsim::FaultClearAll();
        debugMode = 0;
        if (logStream == log_) logStream = nullptr;
        if (log_) fclose(log_);
        if (jobSettings) {
            FreeSidBuffer(jobSettings->originalSid);
            jobSettings->originalSid = nullptr;
        }
        ProcessMutex.Close();
        EngineTest::TearDown();
    }
    std::string Log() {
        fflush(log_);
        std::string text;
        rewind(log_);
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, log_)) > 0) text.append(buf, n);
        return text;
    }
    // Restarts the machine (pending replacements take effect) and attaches again.
    void Boot() {
        std::string error;
        ASSERT_EQ(ntsim::MachineBoot(dir_, &error), 0u) << error;
        Attach("Administrator");
        EnablePrivilege("SeBackupPrivilege", TRUE);
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
    // Makes the ten registry files add up to total bytes, the padding in SYSTEM.LOG.
    void SetHiveTotal(unsigned long long total) {
        std::string pad = Host(kConfig + "SYSTEM.LOG");
        fs::remove(pad);
        unsigned long long sum = 0;
        for (const char* name : {"SYSTEM", "SOFTWARE", "SOFTWARE.LOG", "SAM", "SAM.LOG", "SECURITY", "SECURITY.LOG",
                                 "DEFAULT", "DEFAULT.LOG"})
            if (fs::exists(Host(kConfig + name))) sum += fs::file_size(Host(kConfig + name));
        ASSERT_LE(sum, total);
        std::ofstream(pad).close();
        fs::resize_file(pad, total - sum);
    }
    static void SetSizeLimit(DWORD limit) {
        HKEY key;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control", 0, KEY_SET_VALUE, &key), 0);
        ASSERT_EQ(RegSetValueExA(key, "RegistrySizeLimit", 0, REG_DWORD, (const BYTE*)&limit, 4), 0);
        RegCloseKey(key);
    }
    static std::string QuotaBox(int megabytes) {
        return Box("error icon",
                   "You are running low on registry quota for this computer and may run out during this process. "
                   "\n\nPlease increase the size of the quota to a minimum of " +
                       std::to_string(megabytes) +
                       " MB before continuing.\n\nRefer to the online documentation for assistance.");
    }
    static LONG KeyState(HKEY root, const char* path) {
        HKEY key = nullptr;
        LONG err = RegOpenKeyExA(root, path, 0, KEY_READ, &key);
        if (key) RegCloseKey(key);
        return err;
    }
    static void SetText(HKEY root, const char* path, const char* name, const std::string& text) {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
        ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, (const BYTE*)text.c_str(), (DWORD)text.size() + 1), 0);
        RegCloseKey(key);
    }
    static std::string GetText(HKEY root, const char* path, const char* name) {
        HKEY key = nullptr;
        char data[256] = "";
        DWORD size = sizeof data;
        LONG err = RegOpenKeyExA(root, path, 0, KEY_READ, &key);
        if (!err) err = RegQueryValueExA(key, name, nullptr, nullptr, (BYTE*)data, &size);
        if (key) RegCloseKey(key);
        return err ? "<error " + std::to_string(err) + ">" : std::string(data);
    }
    // Occurrences of a pattern past the first 4096 bytes of a host file.
    static int Count(const std::string& host, const std::vector<uint8_t>& pattern) {
        std::string data = HostFile(host);
        std::string needle(pattern.begin(), pattern.end());
        int count = 0;
        for (size_t at = data.find(needle, 4096); at != std::string::npos; at = data.find(needle, at + needle.size()))
            ++count;
        return count;
    }
    int Pending() {
        std::ifstream in(dir_ + "/pending-hive-replacements");
        std::string line;
        int lines = 0;
        while (std::getline(in, line)) ++lines;
        return lines;
    }
    void SaveStoredSettings() {
        if (!jobSettings->originalSid) jobSettings->originalSid = NewSidBuffer();
        *jobSettings->originalSid = oldSid_;
        ASSERT_EQ(jobSettings->SaveSettings(1), 1);
        ASSERT_TRUE(fs::exists(Host("tessiv.sid")));
    }
};

TEST_F(HiveCopies, Windows2000LimitIsAQuarterOfMemoryPlus12) {
    TestMachineSetup setup;
    setup.version = "5.0";
    setup.build = "2195";
    Begin(setup);
    ASSERT_EQ(GetOsVersionClass(), 7);
    // A page file is there but Windows 2000 goes by the memory: (67108864 + 12) / 4 = 16777219.
    std::ofstream(Host("pagefile.sys")).close();
    fs::resize_file(Host("pagefile.sys"), 400000000);
    SetHiveTotal(9320676);  // needs 16777218
    EXPECT_EQ(CheckRegistryQuota(), 1);
    SetHiveTotal(9320677);  // needs 16777220
    EXPECT_EQ(CheckRegistryQuota(), 0);
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0], QuotaBox(18));

    // 16 GB of memory: a quarter is more than 32 bits hold, which must not read as a few bytes.
    SetMemory("17179869184");
    ntsim::TranscriptClear();
    SetHiveTotal(1000000000);
    EXPECT_EQ(CheckRegistryQuota(), 1);
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(HiveCopies, Nt4LimitIsAQuarterOfThePageFileElseOfMemory) {
    Begin();
    ASSERT_EQ(GetOsVersionClass(), 6);
    std::ofstream(Host("pagefile.sys")).close();
    fs::resize_file(Host("pagefile.sys"), 40000000);  // limit 10000000
    SetHiveTotal(5555554);                             // needs 9999999
    EXPECT_EQ(CheckRegistryQuota(), 1);
    SetHiveTotal(5555555);  // needs 10000001
    EXPECT_EQ(CheckRegistryQuota(), 0);
    EXPECT_EQ(Boxes().back(), QuotaBox(12));
    fs::remove(Host("pagefile.sys"));
    EXPECT_EQ(CheckRegistryQuota(), 1);  // without a page file: 16777219 from the memory
}

TEST_F(HiveCopies, TenMegabytesOfHivesNeed18874370Bytes) {
    Begin();
    SetSizeLimit(18874369);
    SetHiveTotal(10485760);
    EXPECT_EQ(CheckRegistryQuota(), 0);
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0], QuotaBox(22));
    EXPECT_NE(Log().find("\nYou are running low on registry quota"), std::string::npos);
    SetSizeLimit(18874370);
    SetHiveTotal(10485760);
    EXPECT_EQ(CheckRegistryQuota(), 1);
    // Two gigabytes of hives: twice that does not fit 32 bits and must not wrap to nothing.
    SetSizeLimit(1000000000);
    SetHiveTotal(0x80000000ULL);
    EXPECT_EQ(CheckRegistryQuota(), 0);
    EXPECT_EQ(Boxes().back(), QuotaBox(4098));
}

TEST_F(HiveCopies, QuotaFailuresAreReported) {
    Begin();
    ntsim::FaultAdd({"RegOpenKeyExA", ERROR_ACCESS_DENIED, 0, "*CurrentControlSet\\Control", false});
    EXPECT_EQ(CheckRegistryQuota(), 0);
    ntsim::FaultClearAll();
    ntsim::FaultAdd({"GetFileAttributesExA", ERROR_ACCESS_DENIED, 0, "*SAM.LOG", false});
    EXPECT_EQ(CheckRegistryQuota(), 0);
    ntsim::FaultClearAll();
    ntsim::FaultAdd({"GetSystemDirectoryA", ERROR_NOT_ENOUGH_MEMORY, 0, "", false});
    EXPECT_EQ(CheckRegistryQuota(), 0);  // no message of its own
    ntsim::FaultClearAll();
    EXPECT_EQ(CheckRegistryQuota(), 1);
    std::vector<std::string> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], Box("error icon", "Error reading registry size limits"));
    EXPECT_EQ(boxes[1], Box("error icon", "Error 5 retrieving size of registry file C:\\WINNT\\system32\\config\\SAM.LOG"));
}

TEST_F(HiveCopies, WorkDirectoryTakesTheFirstFreeName) {
    Begin();
    ASSERT_EQ(CreateWorkDirectory(), 1);
    EXPECT_STREQ(jobSettings->workDirectory, "C:\\TEMP\\TESSIV");
    for (const char* sub : {"TEMP/TESSIV/USERS", "TEMP/TESSIV/ORIGINAL", "TEMP/TESSIV/ORIGINAL/USERS"})
        EXPECT_TRUE(fs::is_directory(Host(sub))) << sub;
    ASSERT_EQ(CreateWorkDirectory(), 1);
    EXPECT_STREQ(jobSettings->workDirectory, "C:\\TEMP\\TESSIV0");
    for (int n = 1; n <= 97; ++n) fs::create_directory(Host("TEMP/TESSIV" + std::to_string(n)));
    std::ofstream(Host("TEMP/TESSIV97/keep")) << "another run";
    EXPECT_EQ(CreateWorkDirectory(), 0);
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0], Box("error icon", "Error 183 creating temporary directory"));
    // The failed name is not the job's: a clean-up now must leave every directory alone.
    EXPECT_STREQ(jobSettings->workDirectory, "");
    EXPECT_EQ(HostFile(Host("TEMP/TESSIV97/keep")), "another run");
    EXPECT_FALSE(fs::exists(Host("TEMP/TESSIV98")));

    // A work folder with no room left for the name is refused, not cut short.
    std::string deep = "C:";
    for (int i = 0; i < 4; ++i) deep += "\\" + std::string(62, 'd' + i);
    ntsim::ProcessSetEnv("TEMP", deep);
    ntsim::ProcessSetEnv("TMP", deep);
    EXPECT_EQ(CreateWorkDirectory(), 0);
    EXPECT_EQ(Boxes().back(), Box("error icon", "Error 206 creating temporary directory"));
    EXPECT_STREQ(jobSettings->workDirectory, "");
}

TEST_F(HiveCopies, HiveSetHoldsFiveReadableHivesAndIsNeverOverwritten) {
    Begin();
    ASSERT_EQ(CreateWorkDirectory(), 1);
    debugMode = 1;
    ASSERT_EQ(SaveHiveSet("C:\\TEMP\\TESSIV\\ORIGINAL"), 1);
    EXPECT_EQ(Log(),
              "   C:\\TEMP\\TESSIV\\ORIGINAL\\SAM\n   C:\\TEMP\\TESSIV\\ORIGINAL\\SECURITY\n"
              "   C:\\TEMP\\TESSIV\\ORIGINAL\\SOFTWARE\n   C:\\TEMP\\TESSIV\\ORIGINAL\\SYSTEM\n"
              "   C:\\TEMP\\TESSIV\\ORIGINAL\\USERS\\.DEFAULT\nComplete.\n");
    const std::pair<const char*, const char*> expected[] = {{"SAM", "SAM\\Domains\\Account"},
                                                            {"SECURITY", "Policy\\PolAcDmS"},
                                                            {"SOFTWARE", "Microsoft\\Windows NT\\CurrentVersion"},
                                                            {"SYSTEM", "ControlSet001\\Control\\ProductOptions"},
                                                            {"USERS/.DEFAULT", "Software"}};
    for (const auto& [file, key] : expected) {
        ntsim::Hive hive;
        ASSERT_EQ(ntsim::RegfLoadFile(Host(std::string("TEMP/TESSIV/ORIGINAL/") + file), &hive), 0u) << file;
        const ntsim::HiveKey* k = hive.root.get();
        for (size_t i = 0, next; k && i <= strlen(key); i = next + 1) {
            next = std::string(key).find('\\', i);
            if (next == std::string::npos) next = strlen(key);
            k = k->FindSubkey(std::string(key).substr(i, next - i));
        }
        EXPECT_NE(k, nullptr) << file << " " << key;
    }
    std::string sam = HostFile(Host("TEMP/TESSIV/ORIGINAL/SAM"));
    SetText(HKEY_LOCAL_MACHINE, "SOFTWARE\\Later", "v", "x");
    EXPECT_EQ(SaveHiveSet("C:\\TEMP\\TESSIV\\ORIGINAL"), 0);
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0], Box("error icon", "Error 183 saving registry key 'SAM'"));
    EXPECT_EQ(HostFile(Host("TEMP/TESSIV/ORIGINAL/SAM")), sam);
    ntsim::Hive software;
    ASSERT_EQ(ntsim::RegfLoadFile(Host("TEMP/TESSIV/ORIGINAL/SOFTWARE"), &software), 0u);
    EXPECT_EQ(software.root->FindSubkey("Later"), nullptr);
}

TEST_F(HiveCopies, SaveFailuresStopAtTheirHive) {
    Begin();
    ASSERT_EQ(CreateWorkDirectory(), 1);
    ntsim::FaultAdd({"RegCreateKeyExA", ERROR_ACCESS_DENIED, 0, "*SECURITY", false});
    EXPECT_EQ(SaveHiveSet("C:\\TEMP\\TESSIV"), 0);
    EXPECT_TRUE(fs::exists(Host("TEMP/TESSIV/SAM")));
    EXPECT_FALSE(fs::exists(Host("TEMP/TESSIV/SECURITY")));
    EXPECT_FALSE(fs::exists(Host("TEMP/TESSIV/SOFTWARE")));
    ntsim::FaultClearAll();
    ntsim::FaultAdd({"RegSaveKeyA", ERROR_DISK_FULL, 0, "*SOFTWARE", false});
    EXPECT_EQ(SaveHiveSet("C:\\TEMP\\TESSIV\\ORIGINAL"), 0);
    EXPECT_TRUE(fs::exists(Host("TEMP/TESSIV/ORIGINAL/SECURITY")));
    EXPECT_FALSE(fs::exists(Host("TEMP/TESSIV/ORIGINAL/SYSTEM")));
    ntsim::FaultClearAll();
    std::string deep = "C:\\" + std::string(258, 'x');
    EXPECT_EQ(SaveHiveSet(deep.c_str()), 0);
    std::vector<std::string> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[0], Box("error icon", "Error 5 opening registry key 'SECURITY'"));
    EXPECT_EQ(boxes[1], Box("error icon", "Error 112 saving registry key 'SOFTWARE'"));
    EXPECT_EQ(boxes[2], Box("error icon", "Error: Path too long: '" + deep + "\\SAM'"));
    EXPECT_EQ(Log().find("Complete."), std::string::npos);
}

TEST_F(HiveCopies, ByteScanPatchesTheWorkingCopiesButNotTheDefaultUser) {
    Begin();
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_USERS, ".DEFAULT\\Software\\Sid", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              0);
    std::vector<uint8_t> sid = ntsim::SidMake(5, {21, 1, 2, 3});
    ASSERT_EQ(RegSetValueExA(key, "bin", 0, REG_BINARY, sid.data(), (DWORD)sid.size()), 0);
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Sid", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              0);
    ASSERT_EQ(RegSetValueExA(key, "bin", 0, REG_BINARY, sid.data(), (DWORD)sid.size()), 0);
    RegCloseKey(key);
    ASSERT_EQ(CreateWorkDirectory(), 1);
    ASSERT_EQ(SaveHiveSet(jobSettings->workDirectory), 1);
    int before = 0;
    for (const char* name : {"SECURITY", "SYSTEM", "SAM", "SOFTWARE"})
        before += Count(Host(std::string("TEMP/TESSIV/") + name), kOldPattern);
    ASSERT_GE(before, 3);
    int defaults = Count(Host("TEMP/TESSIV/USERS/.DEFAULT"), kOldPattern);
    ASSERT_GE(defaults, 1);

    debugMode = 1;
    ASSERT_EQ(ScanHiveFilesForSid(&oldSid_, &newSid_), 1);
    EXPECT_EQ(jobSettings->replacedCount, (DWORD)before);
    EXPECT_EQ(jobSettings->changesMade, 1u);
    int after = 0, patched = 0;
    for (const char* name : {"SECURITY", "SYSTEM", "SAM", "SOFTWARE"}) {
        after += Count(Host(std::string("TEMP/TESSIV/") + name), kOldPattern);
        patched += Count(Host(std::string("TEMP/TESSIV/") + name), kNewPattern);
    }
    EXPECT_EQ(after, 0);
    EXPECT_EQ(patched, before);
    EXPECT_EQ(Count(Host("TEMP/TESSIV/USERS/.DEFAULT"), kOldPattern), defaults);
    ntsim::Hive security;
    ASSERT_EQ(ntsim::RegfLoadFile(Host("TEMP/TESSIV/SECURITY"), &security), 0u);
    EXPECT_EQ(TestKey(security.root.get(), "Policy\\PolAcDmS")->values[0].data, ntsim::SidMake(5, {21, 11, 22, 33}));
    std::string log = Log();
    size_t at = 0;
    for (const char* name : {"SECURITY", "SYSTEM", "SAM", "SOFTWARE"}) {
        at = log.find(std::string("   C:\\TEMP\\TESSIV\\") + name + "\n", at);
        EXPECT_NE(at, std::string::npos) << name;
    }
    EXPECT_EQ(log.find(".DEFAULT"), std::string::npos);
}

TEST_F(HiveCopies, ByteScanStopsAtAFileItCannotOpen) {
    Begin();
    ASSERT_EQ(CreateWorkDirectory(), 1);
    ASSERT_EQ(SaveHiveSet(jobSettings->workDirectory), 1);
    int software = Count(Host("TEMP/TESSIV/SOFTWARE"), kOldPattern);
    fs::remove(Host("TEMP/TESSIV/SAM"));
    EXPECT_EQ(ScanHiveFilesForSid(&oldSid_, &newSid_), 0);
    EXPECT_EQ(Count(Host("TEMP/TESSIV/SECURITY"), kOldPattern), 0);  // scanned before the failure
    EXPECT_EQ(Count(Host("TEMP/TESSIV/SOFTWARE"), kOldPattern), software);
    EXPECT_EQ(ScanHiveFilesForSid(nullptr, &newSid_), 0);
    std::vector<std::string> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], Box("error icon", "ERROR: Unable to open 'C:\\TEMP\\TESSIV\\SAM'"));
    EXPECT_EQ(boxes[1], Box("error icon", "Error: No SID given for the byte scan"));
}

// A failed write ends the file's scan with a report but still counts as a replacement;
// the set is then half converted and the scan must fail.
TEST_F(HiveCopies, ByteScanFailsWhenAWriteFailsPartWay) {
    Begin();
    ASSERT_EQ(CreateWorkDirectory(), 1);
    ASSERT_EQ(SaveHiveSet(jobSettings->workDirectory), 1);
    int security = Count(Host("TEMP/TESSIV/SECURITY"), kOldPattern);
    int system = Count(Host("TEMP/TESSIV/SYSTEM"), kOldPattern);
    int sam = Count(Host("TEMP/TESSIV/SAM"), kOldPattern);
    int software = Count(Host("TEMP/TESSIV/SOFTWARE"), kOldPattern);
    ASSERT_GE(sam, 2);
    // Each file's scan seeks past its base block, then to every match and back: fail the
    // seek to SAM's second match.
    long nth = (1 + 2 * security) + (1 + 2 * system) + 1 + 2 + 1;
    ntsim::FaultAdd({"fseek", 29, nth, "", false});
    EXPECT_EQ(ScanHiveFilesForSid(&oldSid_, &newSid_), 0);
    EXPECT_EQ(Count(Host("TEMP/TESSIV/SAM"), kOldPattern), sam - 1);  // the first match stays written
    EXPECT_EQ(Count(Host("TEMP/TESSIV/SOFTWARE"), kOldPattern), software);
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0], Box("error icon", "Error writing to file 'C:\\TEMP\\TESSIV\\SAM'"));
}

TEST_F(HiveCopies, WorkingAndOriginalHivesAreLiveAfterTheRestart) {
    Begin();
    SetText(HKEY_USERS, ".DEFAULT\\Software\\Job", "state", "before");
    ASSERT_EQ(CreateWorkDirectory(), 1);
    ASSERT_EQ(SaveHiveSet("C:\\TEMP\\TESSIV\\ORIGINAL"), 1);
    SetText(HKEY_LOCAL_MACHINE, "SOFTWARE\\Job", "state", "working");
    SetText(HKEY_USERS, ".DEFAULT\\Software\\Job", "state", "working");
    ASSERT_EQ(SaveHiveSet(jobSettings->workDirectory), 1);
    ASSERT_EQ(ScanHiveFilesForSid(&oldSid_, &newSid_), 1);
    SetText(HKEY_LOCAL_MACHINE, "SOFTWARE\\Job", "state", "changed after the save");
    debugMode = 1;
    ASSERT_EQ(InstallWorkingHives(), 1);
    EXPECT_EQ(Pending(), 4);
    std::string log = Log();
    EXPECT_EQ(log.find("Updating Registry, Please Wait"), std::string::npos);  // shown on the screen only
    size_t at = 0;
    for (const char* name : {"SECURITY", "SOFTWARE", "SAM", "SYSTEM"}) {
        at = log.find(std::string("   C:\\TEMP\\TESSIV\\") + name + "\n", at);
        EXPECT_NE(at, std::string::npos) << name;
    }
    EXPECT_NE(log.find("Complete: Registry Updated Successfully.\n", at), std::string::npos);
    EXPECT_EQ(GetText(HKEY_LOCAL_MACHINE, "SOFTWARE\\Job", "state"), "changed after the save");

    Boot();
    EXPECT_EQ(GetText(HKEY_LOCAL_MACHINE, "SOFTWARE\\Job", "state"), "working");
    EXPECT_EQ(GetText(HKEY_USERS, ".DEFAULT\\Software\\Job", "state"), "working");  // live since before
    ntsim::Hive security;
    ASSERT_EQ(ntsim::RegfLoadFile(Host(kConfig + "SECURITY"), &security), 0u);
    EXPECT_EQ(TestKey(security.root.get(), "Policy\\PolAcDmS")->values[0].data, ntsim::SidMake(5, {21, 11, 22, 33}));
    for (const char* name : {"SECURITY", "SOFTWARE", "SAM", "SYSTEM"})
        EXPECT_TRUE(fs::exists(Host(std::string("TEMP/TESSIV/") + name + ".BAK"))) << name;

    ASSERT_EQ(RestoreOriginalHives(), 1);
    log = Log();
    at = log.find("\nRestoring Original Registry Files...\n");
    ASSERT_NE(at, std::string::npos);
    for (const char* name : {"SAM", "SECURITY", "SOFTWARE", "SYSTEM", "USERS\\.DEFAULT"}) {
        at = log.find(std::string("   C:\\TEMP\\TESSIV\\ORIGINAL\\") + name + "\n", at);
        EXPECT_NE(at, std::string::npos) << name;
    }
    EXPECT_NE(log.find("Complete: Original Registry Restored Successfully.\n", at), std::string::npos);
    Boot();
    EXPECT_EQ(KeyState(HKEY_LOCAL_MACHINE, "SOFTWARE\\Job"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetText(HKEY_USERS, ".DEFAULT\\Software\\Job", "state"), "before");
    ASSERT_EQ(ntsim::RegfLoadFile(Host(kConfig + "SECURITY"), &security), 0u);
    EXPECT_EQ(TestKey(security.root.get(), "Policy\\PolAcDmS")->values[0].data, ntsim::SidMake(5, {21, 1, 2, 3}));
    for (const char* name : {"SAM", "SECURITY", "SOFTWARE", "SYSTEM", "USERS/.DEFAULT"})
        EXPECT_TRUE(fs::exists(Host(std::string("TEMP/TESSIV/ORIGINAL/") + name + ".BAK"))) << name;
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(HiveCopies, ReplacementFailuresStopAtTheirHive) {
    Begin();
    ASSERT_EQ(CreateWorkDirectory(), 1);
    ASSERT_EQ(SaveHiveSet("C:\\TEMP\\TESSIV\\ORIGINAL"), 1);
    ASSERT_EQ(SaveHiveSet(jobSettings->workDirectory), 1);
    ntsim::FaultAdd({"RegReplaceKeyA", ERROR_ACCESS_DENIED, 0, "*TESSIV\\SAM", false});
    EXPECT_EQ(InstallWorkingHives(), 0);
    EXPECT_EQ(Pending(), 2);  // SECURITY and SOFTWARE; SYSTEM never asked
    ntsim::FaultClearAll();
    ntsim::FaultAdd({"RegReplaceKeyA", ERROR_DISK_FULL, 0, "*ORIGINAL\\SOFTWARE", false});
    jobSettings->changesMade = 1;
    EXPECT_EQ(RestoreOriginalHives(), -1);
    EXPECT_EQ(Pending(), 4);  // and SAM and SECURITY of the originals
    ntsim::FaultClearAll();
    snprintf(jobSettings->workDirectory, MAX_PATH, "C:\\%s", std::string(250, 'w').c_str());
    EXPECT_EQ(InstallWorkingHives(), 0);
    EXPECT_EQ(RestoreOriginalHives(), -1);
    EXPECT_EQ(ScanHiveFilesForSid(&oldSid_, &newSid_), 0);
    EXPECT_EQ(Pending(), 4);
    std::vector<std::string> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 5u);
    EXPECT_EQ(boxes[0], Box("error icon", "Error 5 replacing hive 'SAM' from file 'C:\\TEMP\\TESSIV\\SAM'"));
    EXPECT_EQ(boxes[1], Box("error icon",
                            "Error 112 replacing hive 'SOFTWARE' from file 'C:\\TEMP\\TESSIV\\ORIGINAL\\SOFTWARE'"));
    std::string deep = "C:\\" + std::string(250, 'w');
    EXPECT_EQ(boxes[2], Box("error icon", "Error: Path too long: '" + deep + "\\SECURITY'"));
    EXPECT_EQ(boxes[3], Box("error icon", "Error: Path too long: '" + deep + "\\ORIGINAL'"));
    EXPECT_EQ(boxes[4], Box("error icon", "Error: Path too long: '" + deep + "\\SECURITY'"));
    std::string log = Log();
    EXPECT_EQ(log.find("Complete: Registry Updated Successfully."), std::string::npos);
    EXPECT_EQ(log.find("Complete: Original Registry Restored Successfully."), std::string::npos);
}

TEST_F(HiveCopies, RestoreWithNothingChangedCleansUpInstead) {
    Begin();
    SaveStoredSettings();
    ASSERT_EQ(CreateWorkDirectory(), 1);
    ASSERT_EQ(SaveHiveSet("C:\\TEMP\\TESSIV\\ORIGINAL"), 1);
    EXPECT_EQ(RestoreOriginalHives(), 0);
    EXPECT_EQ(jobSettings->stage, -1);
    EXPECT_FALSE(fs::exists(Host("TEMP/TESSIV")));
    EXPECT_FALSE(fs::exists(Host("tessiv.sid")));
    EXPECT_EQ(KeyState(HKEY_LOCAL_MACHINE, "Software\\Quorvel"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Pending(), 0);
    EXPECT_EQ(Log(), "Complete.\n\nCleaning Up:\n   Removing temporary directory from previous run\n"
                     "   Updating configuration...\n   Program Registry Settings Removed Successfully.\nComplete.\n");
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(HiveCopies, CleanUpWithoutDirectoriesStillRemovesTheSettings) {
    Begin();
    SaveStoredSettings();
    fs::create_directories(Host("logs"));
    std::ofstream(Host("logs/run.log")) << "earlier run\n";
    logStream = nullptr;
    jobSettings->useLogFile = 1;
    strcpy(jobSettings->logFileName, "c:\\logs\\run.log");
    EXPECT_EQ(CleanPreviousRun(), 0);
    EXPECT_EQ(KeyState(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Tessiv"), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(fs::exists(Host("tessiv.sid")));
    EXPECT_NE(logStream, nullptr);
    CloseLogFile();
    std::string appended = HostFile(Host("logs/run.log"));
    appended.erase(std::remove(appended.begin(), appended.end(), '\r'), appended.end());  // a text-mode file
    EXPECT_EQ(appended,
              "earlier run\n\nCleaning Up:\n   Removing temporary directory from previous run\n"
              "   Updating configuration...\n   Program Registry Settings Removed Successfully.\nComplete.\n");

    // Directories already gone, or named twice, are nothing left to remove.
    SaveStoredSettings();
    fs::create_directories(Host("TEMP/TESSIV3/USERS"));
    strcpy(jobSettings->previousWorkDirectory, "C:\\TEMP\\TESSIV3");
    strcpy(jobSettings->workDirectory, "C:\\TEMP\\TESSIV3");
    EXPECT_EQ(CleanPreviousRun(), 0);
    EXPECT_FALSE(fs::exists(Host("TEMP/TESSIV3")));
    SaveStoredSettings();
    strcpy(jobSettings->previousWorkDirectory, "C:\\TEMP\\GONE");
    EXPECT_EQ(CleanPreviousRun(), 0);
    EXPECT_FALSE(fs::exists(Host("tessiv.sid")));
    // With no stored settings left there is nothing the clean-up could remove.
    EXPECT_EQ(CleanPreviousRun(), -1);
    EXPECT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0], Box("error icon", "Error: Unable to remove program registry settings"));
}

TEST_F(HiveCopies, CleanUpFailuresKeepWhatTheyCouldNotRemove) {
    Begin();
    SaveStoredSettings();
    ASSERT_EQ(CreateWorkDirectory(), 1);
    std::ofstream(Host("TEMP/TESSIV/ORIGINAL/SAM")) << "hive";
    ntsim::FaultAdd({"DeleteFileA", ERROR_ACCESS_DENIED, 0, "*SAM", false});
    EXPECT_EQ(CleanPreviousRun(), -1);
    EXPECT_EQ(HostFile(Host("TEMP/TESSIV/ORIGINAL/SAM")), "hive");
    EXPECT_EQ(KeyState(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Tessiv"), ERROR_SUCCESS);
    EXPECT_TRUE(fs::exists(Host("tessiv.sid")));
    ntsim::FaultClearAll();
    ntsim::FaultAdd({"RegDeleteKeyA", ERROR_ACCESS_DENIED, 0, "*Tessiv", false});
    EXPECT_EQ(CleanPreviousRun(), -1);
    EXPECT_FALSE(fs::exists(Host("TEMP/TESSIV")));
    EXPECT_EQ(KeyState(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Tessiv"), ERROR_SUCCESS);
    EXPECT_EQ(GetText(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Tessiv", "TempDir"), "");
    EXPECT_TRUE(fs::exists(Host("tessiv.sid")));
    std::vector<std::string> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 4u);
    EXPECT_EQ(boxes[0], Box("error icon", "Error deleting file 'C:\\TEMP\\TESSIV\\ORIGINAL\\SAM'"));
    EXPECT_EQ(boxes[1], Box("error icon", "Error 5 attempting to clean up temporary directory"));
    EXPECT_EQ(boxes[2], Box("error icon", "Error 5 deleting program registry key"));
    EXPECT_EQ(boxes[3], Box("error icon", "Error: Unable to remove program registry settings"));
}

TEST_F(HiveCopies, ProgramKeyGoesAndTheCompanyKeyOnlyWhenEmpty) {
    Begin();
    SaveStoredSettings();
    SetText(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Other", "v", "kept");
    EXPECT_EQ(DeleteProgramKey(), 1);
    EXPECT_EQ(KeyState(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Tessiv"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetText(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Other", "v"), "kept");
    EXPECT_EQ(DeleteProgramKey(), 0);  // nothing there: no message of its own
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Other"), 0);

    SaveStoredSettings();
    ntsim::FaultAdd({"RegDeleteKeyA", ERROR_ACCESS_DENIED, 0, "*Quorvel", false});
    EXPECT_EQ(DeleteProgramKey(), 0);
    EXPECT_EQ(KeyState(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Tessiv"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(KeyState(HKEY_LOCAL_MACHINE, "Software\\Quorvel"), ERROR_SUCCESS);
    ntsim::FaultClearAll();

    // An account name that cannot be mapped ends quietly, leaving the settings.
    SaveStoredSettings();
    ntsim::FaultAdd({"LookupAccountNameA", ERROR_NONE_MAPPED, 0, "", false});
    EXPECT_EQ(DeleteProgramKey(), 0);
    EXPECT_EQ(KeyState(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Tessiv"), ERROR_SUCCESS);
    ntsim::FaultClearAll();
    EXPECT_EQ(DeleteProgramKey(), 1);
    EXPECT_EQ(KeyState(HKEY_LOCAL_MACHINE, "Software\\Quorvel"), ERROR_FILE_NOT_FOUND);
    std::vector<std::string> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], Box("error icon", "Error 5 deleting company registry key"));
}

}  // namespace
