// The stage driver on whole machines, in this process as the service would run it: jobs
// run at once, the restart, and the clean-up run at the boot after.
#include <gtest/gtest.h>

#include <functional>

#include "core/job_settings.h"
#include "core/output.h"
#include "e2e/e2e_machine.h"
#include "engine/stage_driver.h"
#include "identity/role_checks.h"

namespace {

using ntsim::CensusPlace;

class StageDriver : public e2e::MachineTest {
protected:
    void Attach(const std::string& dir) {
        std::string error;
        // As the service runs it: the local system account.
        ASSERT_TRUE(ntsim::ProcessAttach(dir, "", true, &error)) << error;
        CreateJobSettings();
        ProcessMutex.Create();
        machineRole = DetectMachineRole(FALSE);
    }
    void Detach() {
        DestroyJobSettings();
        ProcessMutex.Close();
        ntsim::ProcessDetach();
    }
    // One normal run with a log, set up by prepare; then what the worker does before its
    // restart, and the restart. The run's result.
    int Run(const std::string& dir, const std::function<void()>& prepare = [] {}) {
        Attach(dir);
        jobSettings->useLogFile = 1;
        snprintf(jobSettings->logFileName, MAX_PATH, "C:\\LOGS\\tessiv.log");
        prepare();
        int result = RunJob();
        if (result == 0) {
            jobSettings->systemShutDown = 1;
            jobSettings->SaveSettings(0);
        }
        Detach();
        std::string error;
        EXPECT_EQ(ntsim::MachineBoot(dir, &error), 0u) << error;
        return result;
    }
    int CleanUp(const std::string& dir) {
        Attach(dir);
        jobSettings->LoadSettings();  // a job run at once has no SID file
        int result = jobSettings->cleanOnly ? RunJob() : 0;
        Detach();
        return result;
    }
    static std::string Log(const std::string& dir) { return e2e::ReadHost(dir + "/drives/c/LOGS/tessiv.log"); }
    // What a completed job may leave of the old SID: its log, the backups of the replaced
    // hives, and the work directory until the clean-up run (the SAM's alias membership
    // index included: the registry walk renames its keys).
    static void ExpectGone(const std::string& dir, const std::string& sid, bool cleanedUp) {
        ntsim::CensusResult census = e2e::Count(dir, sid);
        EXPECT_EQ(e2e::Unexpected(census, cleanedUp), 0) << sid << "\n" << e2e::ListHits(census);
    }
};

TEST_F(StageDriver, StandAloneJobThenCleanUp) {
    const std::string oldSid = "S-1-5-21-1-2-3";
    Make("nt4-workstation", oldSid);
    e2e::Snapshot before = e2e::Take(dir_);

    ASSERT_EQ(Run(dir_), 0);
    std::string newSid = e2e::MachineSidText(dir_);
    EXPECT_NE(newSid, oldSid);
    std::string log = Log(dir_);
    EXPECT_NE(log.find("       New Sid: " + newSid + "\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\nStage 8: Examining File System Security\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\nStage 9: Updating Registry Information\n"), std::string::npos) << log;
    ExpectGone(dir_, oldSid, false);
    EXPECT_GT(e2e::Count(dir_, oldSid).Count(CensusPlace::WorkDirectory), 0);  // the original copies
    EXPECT_GT(e2e::Count(dir_, newSid).total, 0);
    e2e::ExpectHivexOpens(dir_);
    EXPECT_TRUE(e2e::AdministratorInAdministrators(dir_));

    // The boot after: the clean-up run removes the work directory and the stored settings.
    EXPECT_EQ(CleanUp(dir_), 1);
    ExpectGone(dir_, oldSid, true);
    EXPECT_FALSE(e2e::fs::exists(C("TEMP/TESSIV")));
    EXPECT_FALSE(e2e::fs::exists(C("tessiv.sid")));
    EXPECT_EQ(e2e::Take(dir_).keyCounts, before.keyCounts);  // the program's settings are gone too
    log = Log(dir_);
    EXPECT_NE(log.find("   Service Entry Removed Successfully.\n"), std::string::npos) << log;
}

TEST_F(StageDriver, FileSystemSecuritySkipped) {
    Make("xp-standalone", "S-1-5-21-4-5-6");
    e2e::Snapshot before = e2e::Take(dir_);
    ASSERT_EQ(Run(dir_, [] { jobSettings->processFileSystem = 0; }), 0);
    EXPECT_NE(Log(dir_).find("\nStage 8: File System Security (skipped)\n\nStage 9:"), std::string::npos) << Log(dir_);
    e2e::Snapshot after = e2e::Take(dir_);
    for (const auto& [path, sd] : before.descriptors) EXPECT_TRUE(after.descriptors[path] == sd) << path;
    EXPECT_GT(e2e::Count(dir_, "S-1-5-21-4-5-6").Count(CensusPlace::FileSecurity), 0);
    e2e::ExpectHivexOpens(dir_);
}

TEST_F(StageDriver, SysprepWaitsForTheNewSidThenCarriesItThrough) {
    const std::string before = "S-1-5-21-7-7-7", after = "S-1-5-21-8-8-8";
    Make("nt4-workstation", before);
    auto sysprep = [] { jobSettings->useSysPrep = 1; };
    // The SID file written at install time holds the SID the tool has not changed yet.
    Sid stored;
    SidFromText(before.c_str(), &stored);
    FILE* f = fopen(C("tessiv.sid").c_str(), "wb");
    ASSERT_TRUE(f && fwrite(&stored, 1, 24, f) == 24);
    fclose(f);
    ASSERT_EQ(Run(dir_, sysprep), 0);
    EXPECT_NE(Log(dir_).find("SysPrep hasn't completed, aborting until next run...\n"), std::string::npos) << Log(dir_);
    EXPECT_EQ(e2e::MachineSidText(dir_), before);
    EXPECT_FALSE(e2e::fs::exists(C("TEMP/TESSIV/ORIGINAL/SAM")));

    // The tool gives the machine its new SID in the policy; the job carries it everywhere else.
    ntsim::Hive security;
    std::string file = C("WINNT/system32/config/SECURITY");
    ASSERT_EQ(ntsim::RegfLoadFile(file, &security), 0u);
    Sid next;
    SidFromText(after.c_str(), &next);
    security.root->FindSubkey("Policy")->FindSubkey("PolAcDmS")->FindValue("")->data.assign((uint8_t*)&next,
                                                                                          (uint8_t*)&next + 24);
    ASSERT_EQ(ntsim::RegfSaveFile(security, file), 0u);
    ASSERT_EQ(Run(dir_, sysprep), 0);
    EXPECT_NE(Log(dir_).find("   Running in conjuction with Microsoft SysPrep\n"), std::string::npos);
    EXPECT_EQ(e2e::MachineSidText(dir_), after);
    ExpectGone(dir_, before, false);
    EXPECT_EQ(CleanUp(dir_), 1);
    ExpectGone(dir_, before, true);
}

TEST_F(StageDriver, DomainSidCarriedByTheSynchronizationFile) {
    // The member's domain is the preset's; its controllers share the domain's SID.
    const std::string domain = "S-1-5-21-2000111222-333444555-1666777888";
    std::string pdc = root_ + "/pdc", bdc = root_ + "/bdc", member = root_ + "/member";
    Make("nt4-pdc", domain, pdc);
    Make("nt4-bdc", domain, bdc);
    Make("nt4-member", "S-1-5-21-31-32-33", member);

    ASSERT_EQ(Run(pdc, [] {
                  jobSettings->writeSyncFile = 1;
                  snprintf(jobSettings->dataFileName, MAX_PATH, "C:\\SYNC\\domain.sid");
              }),
              0);
    std::string newDomain = e2e::MachineSidText(pdc);
    EXPECT_NE(newDomain, domain);
    std::string sync = e2e::ReadHost(pdc + "/drives/c/SYNC/domain.sid");
    EXPECT_EQ(sync, "Old-Domain-SID: " + domain + "\nNew-Domain-SID: " + newDomain + "\n");
    ExpectGone(pdc, domain, false);

    // The one file, carried to the other two machines.
    for (const std::string& dir : {bdc, member}) {
        e2e::fs::create_directories(dir + "/drives/c/SYNC");
        e2e::fs::copy_file(pdc + "/drives/c/SYNC/domain.sid", dir + "/drives/c/SYNC/domain.sid");
    }
    auto reader = [] {
        jobSettings->useSyncFile = 1;
        snprintf(jobSettings->dataFileName, MAX_PATH, "C:\\SYNC\\domain.sid");
    };
    ASSERT_EQ(Run(bdc, reader), 0);
    EXPECT_EQ(e2e::MachineSidText(bdc), newDomain);  // the backup controller takes the new SID over
    ExpectGone(bdc, domain, false);

    ASSERT_EQ(Run(member, reader), 0);
    std::string memberSid = e2e::MachineSidText(member);
    EXPECT_NE(memberSid, "S-1-5-21-31-32-33");
    EXPECT_NE(memberSid, newDomain);
    ExpectGone(member, "S-1-5-21-31-32-33", false);
    ExpectGone(member, domain, false);  // the domain SID in its policy and in its accounts' places
    EXPECT_GT(e2e::Count(member, newDomain).Count(CensusPlace::MachineHives), 0);
    for (const std::string& dir : {pdc, bdc, member}) {
        EXPECT_EQ(CleanUp(dir), 1) << dir;
        e2e::ExpectHivexOpens(dir);
    }
}

TEST_F(StageDriver, DomainMemberRenamedAndTrustReestablished) {
    Make("nt4-member", "S-1-5-21-41-42-43");
    // The administrator has made the computer's new account in the domain beforehand.
    ntsim::Conf conf;
    std::string error;
    ASSERT_TRUE(ntsim::ConfLoad(dir_ + "/machine.conf", &conf, &error)) << error;
    ntsim::ConfSection* domain = conf.Find("domain", "QDOMAIN");
    ASSERT_NE(domain, nullptr);
    domain->Set("members", domain->Get("members") + ", NEWMEMBER");
    ASSERT_TRUE(ntsim::ConfSave(dir_ + "/machine.conf", conf));

    ASSERT_EQ(Run(dir_, [] {
                  jobSettings->changeComputerName = 1;
                  snprintf(jobSettings->newComputerName, sizeof jobSettings->newComputerName, "NEWMEMBER");
              }),
              0);
    EXPECT_NE(Log(dir_).find("New Computer Name: NEWMEMBER\n"), std::string::npos) << Log(dir_);
    EXPECT_EQ(e2e::HiveText(C("WINNT/system32/config/SYSTEM"), "ControlSet001\\Control\\ComputerName\\ComputerName",
                            "ComputerName"),
              "NEWMEMBER");
    ExpectGone(dir_, "S-1-5-21-41-42-43", false);
    EXPECT_EQ(CleanUp(dir_), 1);
    EXPECT_NE(Log(dir_).find("   Domain Trust Re-Established.\n"), std::string::npos) << Log(dir_);
    ExpectGone(dir_, "S-1-5-21-41-42-43", true);
    EXPECT_TRUE(e2e::AdministratorInAdministrators(dir_));
}

}  // namespace
