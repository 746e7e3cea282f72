// Jobs that fail in each stage, in this process: the restore puts every hive and every
// file descriptor back, and after the restart and the clean-up run the machine is the one
// it was before.
#include <gtest/gtest.h>

#include <fstream>

#include "core/job_settings.h"
#include "core/output.h"
#include "e2e/e2e_machine.h"
#include "engine/stage_driver.h"
#include "identity/role_checks.h"
#include "ntsim/kernel/faults.h"
#include "replace/file_walk.h"
#include "engine/hive_copies.h"

namespace {

// The restore after a failure, as the service run does it but without its question about the
// service entry and without the restart, which the test makes itself.
int RestoreAfterFailure(int) {
    int hives = RestoreFileSystemSecurity() == -1 ? 0 : RestoreOriginalHives();
    if (hives == 1) {
        jobSettings->systemShutDown = 1;
        jobSettings->SaveSettings(0);
    }
    return 1;
}

struct Failure {
    const char* name;
    int stage;
    ntsim::FaultRule rule;
    const char* message;  // the error the run reports
};

class JobFailure : public e2e::MachineTest {
protected:
    void TearDown() override {
        ntsim::FaultClearAll();
        jobCallbacks = JobCallbacks();
        e2e::MachineTest::TearDown();
    }
    void Attach() {
        std::string error;
        ASSERT_TRUE(ntsim::ProcessAttach(dir_, "", true, &error)) << error;
        CreateJobSettings();
        ProcessMutex.Create();
        machineRole = DetectMachineRole(FALSE);
        jobCallbacks.abortAndRestore = RestoreAfterFailure;
        jobSettings->useLogFile = 1;
        snprintf(jobSettings->logFileName, MAX_PATH, "D:\\LOGS\\tessiv.log");
    }
    void Detach() {
        FreeChangedFiles();
        DestroyJobSettings();
        ProcessMutex.Close();
        ntsim::ProcessDetach();
    }
    // The restart the restore asked for, then the clean-up run of the boot after it.
    // The restart, and the clean-up run at the boot after it (when nothing had been changed
    // yet, the restore has cleaned up at once and left no settings).
    void RestartAndCleanUp() {
        Boot();
        std::string error;
        ASSERT_TRUE(ntsim::ProcessAttach(dir_, "", true, &error)) << error;
        CreateJobSettings();
        ProcessMutex.Create();
        // Loading the settings would create their key: only when the run stored any.
        HKEY stored = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Tessiv", 0, KEY_READ, &stored) == ERROR_SUCCESS) {
            RegCloseKey(stored);
            jobSettings->LoadSettings();
        }
        if (jobSettings->cleanOnly) {
            EXPECT_EQ(RunJob(), 1);
        }
        Detach();
    }
    std::string Log() { return e2e::ReadHost(dir_ + "/drives/d/LOGS/tessiv.log"); }
};

TEST_F(JobFailure, EachStageFailsAndTheMachineIsAsBefore) {
    const Failure failures[] = {
        {"stage 2", 2, {"RegSaveKeyA", 5, 0, "*\\ORIGINAL\\SOFTWARE", false}, "Error saving original copies of registry"},
        {"stage 4", 4, {"RegSaveKeyA", 5, 0, "*\\ORIGINAL\\USERS\\S-1-5-21-1-2-3-500", false}, "Error during hive search."},
        {"stage 6", 6, {"RegSaveKeyA", 112, 0, "*\\TESSIV\\SYSTEM", false}, "Error saving working copy of registry"},
        {"stage 7", 7, {"fopen", 32, 0, "*\\TESSIV\\SAM", false}, "Error during byte scan"},
        {"stage 8", 8, {"SetNamedSecurityInfoA", 5, 0, "C:\\Data\\Shared\\readme.txt", false},
         "Error during file system security scan"},
        {"stage 9", 9, {"RegReplaceKeyA", 5, 0, "*\\TESSIV\\SAM", false}, "Error during registry restoration"},
    };
    int n = 0;
    for (const Failure& f : failures) {
        SCOPED_TRACE(f.name);
        dir_ = root_ + "/m" + std::to_string(n++);
        Make("nt4-workstation", "S-1-5-21-1-2-3");
        const e2e::Snapshot original = e2e::Take(dir_);
        Attach();
        ntsim::FaultAdd(f.rule);
        EXPECT_EQ(RunJob(), -1);
        ntsim::FaultClearAll();
        Detach();
        std::string log = Log();
        EXPECT_NE(log.find(std::string("\n") + f.message + "\n"), std::string::npos) << log;
        EXPECT_NE(log.find("\nStage " + std::to_string(f.stage) + ":"), std::string::npos) << log;
        EXPECT_EQ(log.find("\nStage " + std::to_string(f.stage + 1) + ":"), std::string::npos) << log;
        RestartAndCleanUp();
        e2e::ExpectSame(original, e2e::Take(dir_));
        EXPECT_EQ(e2e::MachineSidText(dir_), "S-1-5-21-1-2-3");
        EXPECT_FALSE(e2e::fs::exists(C("TEMP/TESSIV")));
    }
}

TEST_F(JobFailure, BadSynchronizationFileFailsStageThree) {
    Make("nt4-member", "S-1-5-21-31-32-33");
    const e2e::Snapshot original = e2e::Take(dir_);
    std::ofstream(C("domain.sid")) << "Old-Domain-SID: nonsense\n";
    Attach();
    jobSettings->useSyncFile = 1;
    snprintf(jobSettings->dataFileName, MAX_PATH, "C:\\domain.sid");
    EXPECT_EQ(RunJob(), -1);
    Detach();
    EXPECT_NE(Log().find("\nError: Invalid data file format\n"), std::string::npos) << Log();
    EXPECT_EQ(Log().find("\nStage 4:"), std::string::npos) << Log();
    RestartAndCleanUp();
    e2e::ExpectSame(original, e2e::Take(dir_));
}

}  // namespace
