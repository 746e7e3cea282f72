// The job record: defaults, stored settings read back by a new process, SidFile,
// and the process environment operations.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "ntsim/security/access.h"
#include "ntsim/kernel/clock.h"
#include "unit/engine/engine_fixture.h"

using JobSettingsTest = EngineTest;

TEST_F(JobSettingsTest, FreshRecordDefaultsAndPrivileges) {
    Start();
    JobSettings* job = jobSettings;
    EXPECT_EQ(job->removeTemp, 1u);
    EXPECT_EQ(job->processFileSystem, 1u);
    EXPECT_STREQ(job->logFileName, "c:\\tessiv.log");
    EXPECT_STREQ(job->programKeyName, "Quorvel\\Tessiv");
    for (DWORD flag : {job->changesMade, job->cleanOnly, job->removeExe, job->changeComputerName,
                       job->establishDomainTrust, job->writeSyncFile, job->useSyncFile, job->replaceDomainSid,
                       job->useLogFile, job->useSysPrep, job->systemShutDown})
        EXPECT_EQ(flag, 0u);
    EXPECT_EQ(job->stage, 0);
    EXPECT_EQ(job->originalSid, nullptr);
    EXPECT_EQ(verboseLog, 0u);
    EXPECT_STREQ(job->userName, "Administrator");
    EXPECT_STREQ(job->accountDomainName, "NTWKS01");
    for (const char* p : {"SeBackupPrivilege", "SeRestorePrivilege", "SeSecurityPrivilege", "SeTakeOwnershipPrivilege"})
        EXPECT_TRUE(ntsim::PrivilegeEnabled(p)) << p;
    DestroyJobSettings();
    EXPECT_FALSE(ntsim::PrivilegeEnabled("SeBackupPrivilege"));
    EXPECT_FALSE(EnablePrivilege("SeNoSuchPrivilege", TRUE));
    EXPECT_TRUE(EnablePrivilege("SeShutdownPrivilege", TRUE));
    EXPECT_TRUE(ntsim::PrivilegeEnabled("SeShutdownPrivilege"));
}

TEST_F(JobSettingsTest, SettingsCrossToANewProcess) {
    Start();
    JobSettings* job = jobSettings;
    job->changeComputerName = 1;
    job->useLogFile = 1;
    job->cleanOnly = 1;
    job->removeExe = 1;
    job->removeTemp = 0;
    job->establishDomainTrust = 1;
    job->useSyncFile = 1;
    job->useSysPrep = 1;
    job->processFileSystem = 0;
    job->systemShutDown = 1;
    verboseLog = 1;
    strcpy(job->logFileName, "d:\\logs\\run.log");
    strcpy(job->newComputerName, "NEWNAME15CHARSX");
    strcpy(job->dataFileName, "c:\\sync.dat");
    strcpy(job->workDirectory, "C:\\TEMP\\TESSIV");
    job->originalSid = NewSidBuffer();
    SidFromText("S-1-5-21-11-22-33", job->originalSid);
    ASSERT_EQ(job->SaveSettings(1), 1);
    EXPECT_EQ(job->programKey, nullptr);
    EXPECT_TRUE(Boxes().empty());
    FreeSidBuffer(job->originalSid);
    job->originalSid = nullptr;
    DestroyJobSettings();
    ntsim::ProcessDetach();

    // A new process: its own record, loaded from the registry and SidFile.
    Attach("SYSTEM", true);
    JobSettings* loaded = CreateJobSettings();
    loaded->systemShutDown = 0;
    ASSERT_EQ(loaded->LoadSettings(), 1);
    EXPECT_EQ(loaded->changeComputerName, 1u);
    EXPECT_EQ(loaded->useLogFile, 1u);
    EXPECT_EQ(loaded->cleanOnly, 1u);
    EXPECT_EQ(loaded->removeExe, 1u);
    EXPECT_EQ(loaded->removeTemp, 0u);
    EXPECT_EQ(loaded->establishDomainTrust, 1u);
    EXPECT_EQ(loaded->useSyncFile, 1u);
    EXPECT_EQ(loaded->useSysPrep, 1u);
    EXPECT_EQ(loaded->processFileSystem, 0u);
    EXPECT_EQ(verboseLog, 1u);
    EXPECT_STREQ(loaded->logFileName, "d:\\logs\\run.log");
    EXPECT_STREQ(loaded->newComputerName, "NEWNAME15CHARSX");
    EXPECT_STREQ(loaded->dataFileName, "c:\\sync.dat");
    EXPECT_STREQ(loaded->previousWorkDirectory, "C:\\TEMP\\TESSIV");  // TempDir comes back here
    EXPECT_STREQ(loaded->workDirectory, "");
    EXPECT_EQ(loaded->systemShutDown, 0u);  // stored, never read back
    ASSERT_NE(loaded->originalSid, nullptr);
    char text[kSidTextSize];
    SidToText(loaded->originalSid, text, sizeof text);
    EXPECT_STREQ(text, "S-1-5-21-11-22-33");
    // SidFile: 24 bytes at the root of the current drive.
    EXPECT_EQ(std::filesystem::file_size(Host("tessiv.sid")), 24u);
    FreeSidBuffer(loaded->originalSid);
    loaded->originalSid = nullptr;
}

TEST_F(JobSettingsTest, LoadFailsForALongNameOrAMissingSidFile) {
    Start();
    JobSettings* job = jobSettings;
    job->originalSid = NewSidBuffer();
    SidInitialize(job->originalSid);
    ASSERT_EQ(job->SaveSettings(1), 1);
    // A stored name of 16 characters does not fit the 16-byte read.
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Tessiv", 0, KEY_ALL_ACCESS, &key), 0);
    const char* longName = "SIXTEENCHARSNAME";
    ASSERT_EQ(RegSetValueExA(key, "NewComputerName", 0, REG_SZ, (const BYTE*)longName, 17), 0);
    RegCloseKey(key);
    JobSettings fresh;
    fresh.SetDefaults();
    EXPECT_EQ(fresh.LoadSettings(), 0);
    EXPECT_STREQ(fresh.newComputerName, "");
    EXPECT_EQ(fresh.removeTemp, 1u);  // values read before it keep their new contents

    ASSERT_EQ(job->SaveSettings(0), 1);
    std::filesystem::remove(Host("tessiv.sid"));
    JobSettings noFile;
    noFile.SetDefaults();
    EXPECT_EQ(noFile.LoadSettings(), 0);  // every value read, still a failure
    EXPECT_STREQ(noFile.logFileName, "c:\\tessiv.log");
    FreeSidBuffer(noFile.originalSid);
    FreeSidBuffer(job->originalSid);
    job->originalSid = nullptr;
}

TEST_F(JobSettingsTest, SaveFailuresShowTheirBoxes) {
    Start();
    JobSettings* job = jobSettings;
    ntsim::FaultAdd({"RegSetValueExA", ERROR_ACCESS_DENIED, 3, "", false});
    EXPECT_EQ(job->SaveSettings(1), 0);  // originalSid is absent too
    std::vector<std::string> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], Box("error icon", "Error storing program configuration to registry"));
    EXPECT_EQ(boxes[1], Box("error icon", "Error storing SID information to file"));
    // The values before the failure stay written.
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Tessiv", 0, KEY_READ, &key), 0);
    DWORD value = 0, size = 4;
    EXPECT_EQ(RegQueryValueExA(key, "UseLogFile", nullptr, nullptr, (BYTE*)&value, &size), 0);
    EXPECT_EQ(RegQueryValueExA(key, "CleanOnly", nullptr, nullptr, (BYTE*)&value, &size), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);

    // The registry written, only the SID file failing: a write or a close that fails.
    job->originalSid = NewSidBuffer();
    SidInitialize(job->originalSid);
    for (const char* function : {"fwrite", "fclose"}) {
        ntsim::FaultClearAll();
        ntsim::TranscriptClear();
        ntsim::FaultAdd({function, ERROR_DISK_FULL, 0, "*tessiv.sid", false});
        EXPECT_EQ(job->SaveSettings(1), 0) << function;
        EXPECT_EQ(Boxes(), std::vector<std::string>{Box("error icon", "Error storing SID information to file")});
    }
    FreeSidBuffer(job->originalSid);
    job->originalSid = nullptr;

    ntsim::FaultClearAll();
    ntsim::TranscriptClear();
    ntsim::FaultAdd({"RegOpenKeyExA", ERROR_ACCESS_DENIED, 0, "*Software", false});
    EXPECT_EQ(job->SaveSettings(0), 0);
    boxes = Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], Box("error icon", "Error: Unable to open SOFTWARE registry key"));
    EXPECT_EQ(boxes[1], Box("error icon", "Error storing program configuration to registry"));
    ntsim::TranscriptClear();
    EXPECT_EQ(job->LoadSettings(), 0);
    boxes = Boxes();
    ASSERT_EQ(boxes.size(), 1u);  // the load has no box of its own
    EXPECT_EQ(boxes[0], Box("error icon", "Error: Unable to open SOFTWARE registry key"));
}

TEST_F(JobSettingsTest, RunningAccountFromTheWorkstationService) {
    TestMachineSetup setup;
    setup.confExtra = "[session]\ndomain = DOMAIN1\n";
    Start(setup, "User1");
    EXPECT_STREQ(jobSettings->userName, "User1");
    EXPECT_STREQ(jobSettings->accountDomainName, "DOMAIN1");  // no lookup was made
}

TEST_F(JobSettingsTest, RunningAccountWaitsThirtySecondsThenLooksTheAccountUp) {
    TestMachineSetup setup;
    setup.confExtra = "[netapi]\nworkstation = stopped\n[session]\ndomain = DOMAIN1\n[clock]\nmode = simulated\n";
    Create(setup, "User1");
    JobSettings job;
    job.SetDefaults();
    uint64_t before = ntsim::ClockSinceStartMs();
    ASSERT_TRUE(GetRunningAccount(&job));
    uint64_t waited = ntsim::ClockSinceStartMs() - before;
    EXPECT_GE(waited, 29500u);
    EXPECT_LE(waited, 31000u);
    EXPECT_STREQ(job.userName, "User1");
    EXPECT_STREQ(job.accountDomainName, "NTWKS01");  // from the account lookup

    // The service answers after 12 seconds: its answer is taken.
    ntsim::ProcessDetach();
    std::ofstream(dir_ + "/machine.conf", std::ios::app) << "[netapi]\nworkstation = 12\n";
    Attach("User1");
    before = ntsim::ClockSinceStartMs();
    ASSERT_TRUE(GetRunningAccount(&job));
    EXPECT_STREQ(job.accountDomainName, "DOMAIN1");
    EXPECT_LT(ntsim::ClockSinceStartMs() - before, 13000u);
}

TEST_F(JobSettingsTest, RunningAccountFailuresAreReported) {
    TestMachineSetup setup;
    setup.confExtra = "[netapi]\nworkstation = stopped\n[clock]\nmode = simulated\n";
    Create(setup);
    ntsim::TranscriptClear();
    JobSettings job;
    job.SetDefaults();
    ntsim::FaultAdd({"GetUserNameA", ERROR_NOT_ENOUGH_MEMORY, 1, "", false});
    EXPECT_FALSE(GetRunningAccount(&job));
    ntsim::FaultAdd({"LookupAccountNameA", ERROR_NONE_MAPPED, 0, "", false});
    EXPECT_FALSE(GetRunningAccount(&job));
    std::vector<std::string> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], Box("error icon", "Error 8 getting user name"));
    EXPECT_EQ(boxes[1].find(Box("error icon", "Error 1332 getting domain name (dwUDSize = ").substr(0, 60)), 0u)
        << boxes[1];
}

TEST_F(JobSettingsTest, WorkFolderOnTheSystemDriveOrBelowTheSystemDirectory) {
    TestMachineSetup setup;
    setup.confExtra = "[drive D]\npath = drives/d\ntype = fixed\nfs = NTFS\n[environment]\nTEMP = D:\\TEMP\\\nTMP = D:\\TEMP\\\n";
    std::filesystem::create_directories(dir_ + "/drives/d/TEMP");
    Start(setup);
    char folder[MAX_PATH];
    ASSERT_EQ(GetWorkFolder(folder), 1);
    EXPECT_STREQ(folder, "C:\\WINNT\\system32\\qrvstmp\\");
    EXPECT_TRUE(std::filesystem::is_directory(Host("WINNT/system32/qrvstmp")));

    ntsim::ProcessSetEnv("TEMP", "c:\\temp");
    ntsim::ProcessSetEnv("TMP", "c:\\temp");
    ASSERT_EQ(GetWorkFolder(folder), 1);
    EXPECT_EQ(lstrcmpiA(folder, "c:\\temp\\"), 0) << folder;  // the temporary folder, with its backslash
}

TEST_F(JobSettingsTest, ShortSidFileOrOverlongTemporaryFolderFail) {
    Start();
    JobSettings* job = jobSettings;
    job->originalSid = NewSidBuffer();
    SidInitialize(job->originalSid);
    ASSERT_EQ(job->SaveSettings(1), 1);
    std::filesystem::resize_file(Host("tessiv.sid"), 10);  // not a SID
    JobSettings fresh;
    fresh.SetDefaults();
    EXPECT_EQ(fresh.LoadSettings(), 0);
    FreeSidBuffer(fresh.originalSid);
    FreeSidBuffer(job->originalSid);
    job->originalSid = nullptr;

    // A temporary folder that leaves no room in the 260-character buffer is refused.
    std::string deep = "C:\\" + std::string(258, 't');
    ntsim::ProcessSetEnv("TEMP", deep);
    ntsim::ProcessSetEnv("TMP", deep);
    char folder[MAX_PATH];
    memset(folder, 'x', sizeof folder);
    EXPECT_EQ(GetWorkFolder(folder), 0);
    EXPECT_LT(strnlen(folder, sizeof folder), sizeof folder);

    // At the limit: a folder of MAX_PATH - 1 characters with its backslash fits exactly;
    // one of MAX_PATH characters is refused without writing past the buffer.
    for (size_t length : {(size_t)MAX_PATH - 1, (size_t)MAX_PATH}) {
        std::string exact = "C:\\" + std::string(length - 4, 't') + "\\";
        ASSERT_EQ(exact.size(), length);
        ntsim::ProcessSetEnv("TEMP", exact);
        ntsim::ProcessSetEnv("TMP", exact);
        char guarded[MAX_PATH + 16];
        memset(guarded, 'x', sizeof guarded);
        EXPECT_EQ(GetWorkFolder(guarded), length < MAX_PATH ? 1 : 0) << length;
        if (length < MAX_PATH) {
            EXPECT_EQ(lstrcmpiA(guarded, exact.c_str()), 0);
        }
        EXPECT_EQ(std::string(guarded + MAX_PATH, 16), std::string(16, 'x')) << "nothing past MAX_PATH";
    }
}
