// The stage driver on a whole machine, in this process: a job run now, the restart,
// and the clean-up run at the boot after it.
#include <gtest/gtest.h>

#include "core/job_settings.h"
#include "core/output.h"
#include "e2e/e2e_machine.h"
#include "engine/stage_driver.h"
#include "identity/role_checks.h"

namespace {

class StageDriver : public e2e::MachineTest {
protected:
    void Attach() {
        std::string error;
        // As the service runs it: the local system account.
        ASSERT_TRUE(ntsim::ProcessAttach(dir_, "", true, &error)) << error;
        CreateJobSettings();
        ProcessMutex.Create();
        machineRole = DetectMachineRole(FALSE);
    }
    void Detach() {
        DestroyJobSettings();
        ProcessMutex.Close();
        ntsim::ProcessDetach();
    }
};

TEST_F(StageDriver, StandAloneJobThenCleanUp) {
    const std::string oldSid = "S-1-5-21-1-2-3";
    Make("nt4-workstation", oldSid);
    e2e::Snapshot before = e2e::Take(dir_);

    Attach();
    jobSettings->useLogFile = 1;
    snprintf(jobSettings->logFileName, MAX_PATH, "C:\\LOGS\\tessiv.log");
    ASSERT_EQ(RunJob(), 0);
    // What the worker does before it restarts the machine.
    jobSettings->systemShutDown = 1;
    ASSERT_TRUE(jobSettings->SaveSettings(0));
    Detach();
    Boot();

    std::string newSid = e2e::MachineSidText(dir_);
    EXPECT_NE(newSid, oldSid);
    std::string log = e2e::ReadHost(C("LOGS/tessiv.log"));
    EXPECT_NE(log.find("       New Sid: " + newSid + "\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\nStage 9: Updating Registry Information\n"), std::string::npos) << log;
    ntsim::CensusResult census = e2e::Count(dir_, oldSid);
    // The registry walk still passes over the SAM's alias membership index (its mend is on the way).
    int members = 0;
    for (const ntsim::CensusHit& h : census.hits)
        if (h.place == ntsim::CensusPlace::MachineHives && h.where.find("\\Aliases\\Members\\") != std::string::npos)
            members += h.count;
    EXPECT_EQ(census.Count(ntsim::CensusPlace::MachineHives), members) << e2e::ListHits(census);
    EXPECT_EQ(census.Count(ntsim::CensusPlace::FileSecurity), 0) << e2e::ListHits(census);
    EXPECT_GT(census.Count(ntsim::CensusPlace::WorkDirectory), 0);  // the original copies, until the clean-up
    EXPECT_GT(e2e::Count(dir_, newSid).total, 0);
    e2e::ExpectHivexOpens(dir_);

    // The boot after: the clean-up run removes the work directory and the stored settings.
    Attach();
    jobSettings->LoadSettings();  // the job ran at once: there is no SID file
    ASSERT_EQ(jobSettings->cleanOnly, 1u);
    EXPECT_EQ(RunJob(), 1);
    Detach();
    census = e2e::Count(dir_, oldSid);
    EXPECT_EQ(census.Count(ntsim::CensusPlace::WorkDirectory), 0) << e2e::ListHits(census);
    EXPECT_FALSE(e2e::fs::exists(C("TEMP/TESSIV")));
    EXPECT_FALSE(e2e::fs::exists(C("tessiv.sid")));
    EXPECT_EQ(e2e::Take(dir_).keyCounts, before.keyCounts);  // the program's settings are gone too
    log = e2e::ReadHost(C("LOGS/tessiv.log"));
    EXPECT_NE(log.find("   Service Entry Removed Successfully.\n"), std::string::npos) << log;
}

}  // namespace
