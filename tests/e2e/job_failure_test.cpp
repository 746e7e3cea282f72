// Jobs that fail in each stage, or that the operator aborts, in this process with the
// service run's own restore (AbortAndRestore): every hive and every file descriptor is
// put back, and after the restart and the clean-up run the machine is the one it was.
#include <gtest/gtest.h>

#include <fstream>

#include "core/job_settings.h"
#include "core/output.h"
#include "e2e/e2e_machine.h"
#include "engine/stage_driver.h"
#include "identity/role_checks.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/shutdown.h"
#include "ntsim/services/event_log.h"
#include "ntsim/user/operator.h"
#include "replace/file_walk.h"
#include "service/service_run.h"
#include "wizard/resource.h"

namespace {

struct Failure {
    const char* name;
    int stage;
    ntsim::FaultRule rule;
    const char* message;  // the error the run reports
    bool service = true;  // run as the service (SYSTEM) or, when false, as Administrator
};

class JobFailure : public e2e::MachineTest {
protected:
    void SetUp() override {
        e2e::MachineTest::SetUp();
        // The restart's delayed end of the process: the test makes the restart itself.
        ntsim::SetShutdownProcessEnd([](unsigned) {});
    }
    void TearDown() override {
        ntsim::FaultClearAll();
        ntsim::ShutdownReset();
        ntsim::SetShutdownProcessEnd(nullptr);
        e2e::MachineTest::TearDown();
    }
    void Attach(const std::string& script = "", bool service = true) {
        std::string error;
        ASSERT_TRUE(ntsim::ProcessAttach(dir_, "", service, &error)) << error;
        if (!script.empty()) {
            ASSERT_TRUE(ntsim::OperatorLoadScript(script, "test", &error)) << error;
        }
        CreateJobSettings();
        ProcessMutex.Create();
        machineRole = DetectMachineRole(FALSE);
        ConnectJobCallbacks();
        jobSettings->useLogFile = 1;
        snprintf(jobSettings->logFileName, MAX_PATH, "D:\\LOGS\\tessiv.log");
        restarts_ = Restarts();
    }
    // The restarts the machine was asked for, from its event log.
    int Restarts() {
        int n = 0;
        for (const ntsim::EventEntry& e : ntsim::EventLogRead(dir_))
            n += e.log == "System" && !e.strings.empty() && e.strings[0].find(": restart") != std::string::npos;
        return n;
    }
    // The process ends; when the restore asked for the restart, the machine restarts and the
    // clean-up runs at the boot after (when nothing had been changed, the restore has cleaned
    // up at once and asks for no restart).
    void EndRestartAndCleanUp() {
        bool restart = Restarts() > restarts_;
        ntsim::ShutdownReset();
        FreeChangedFiles();
        DestroyJobSettings();
        ProcessMutex.Close();
        ntsim::ProcessDetach();
        Boot();
        std::string error;
        ASSERT_TRUE(ntsim::ProcessAttach(dir_, "", true, &error)) << error;
        CreateJobSettings();
        ConnectJobCallbacks();
        HKEY stored = nullptr;
        bool settings = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Tessiv", 0, KEY_READ, &stored) == 0;
        if (stored) RegCloseKey(stored);
        EXPECT_EQ(settings, restart) << "settings are left only for the clean-up after a restart";
        if (settings) {
            jobSettings->LoadSettings();
            EXPECT_EQ(jobSettings->cleanOnly, 1u);
            EXPECT_EQ(RunJob(), 1);
        }
        DestroyJobSettings();
        ntsim::ProcessDetach();
    }
    std::string Log() { return e2e::ReadHost(dir_ + "/drives/d/LOGS/tessiv.log"); }
    int restarts_ = 0;
};

TEST_F(JobFailure, EachStageFailsAndTheMachineIsAsBefore) {
    const Failure failures[] = {
        {"stage 2", 2, {"RegSaveKeyA", 5, 0, "*\\ORIGINAL\\SOFTWARE", false}, "Error saving original copies of registry"},
        {"stage 4", 4, {"RegReplaceKeyA", 5, 0, "*\\TESSIV\\USERS\\S-1-5-21-*-1000", false}, "Error during hive search."},
        // Run by Administrator, the walk must widen the SECURITY key to open it, and the DACL
        // it saved cannot be put back. The key's security is written four times by then: the
        // machine SID's read widens it and puts it back, then the walk does the same.
        {"stage 5", 5, {"SetNamedSecurityInfoA", 5, 4, "MACHINE\\SECURITY", false}, "Error during registry search", false},
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
        Attach("", f.service);
        ntsim::FaultAdd(f.rule);
        EXPECT_EQ(RunJob(), -1);
        ntsim::FaultClearAll();
        EndRestartAndCleanUp();
        std::string log = Log();
        EXPECT_NE(log.find(std::string("\n") + f.message + "\n"), std::string::npos) << log;
        EXPECT_NE(log.find("\nStage " + std::to_string(f.stage) + ":"), std::string::npos) << log;
        EXPECT_EQ(log.find("\nStage " + std::to_string(f.stage + 1) + ":"), std::string::npos) << log;
        e2e::ExpectSame(original, e2e::Take(dir_));
        EXPECT_EQ(e2e::MachineSidText(dir_), "S-1-5-21-1-2-3");
        EXPECT_FALSE(e2e::fs::exists(C("TEMP/TESSIV")));
    }
}

// The name change writes the live registry in stage 3: a failure after it (here as stage 4
// saves its first profile, before any walk has changed a key) restores the original hives and restarts, so that the
// computer gets its old name back with its old SID, and the clean-up follows.
TEST_F(JobFailure, AFailureAfterTheNameChangeGivesTheOldNameBack) {
    Make("nt4-workstation", "S-1-5-21-1-2-3");
    const std::string system = C("WINNT/system32/config/SYSTEM");
    const std::string nameKey = "ControlSet001\\Control\\ComputerName\\ComputerName";
    const std::string oldName = e2e::HiveText(system, nameKey, "ComputerName");
    ASSERT_FALSE(oldName.empty());
    const e2e::Snapshot original = e2e::Take(dir_);
    Attach();
    jobSettings->changeComputerName = 1;
    snprintf(jobSettings->newComputerName, sizeof jobSettings->newComputerName, "RENAMED");
    // The first profile's original copy: nothing but the name has changed yet.
    ntsim::FaultAdd({"RegSaveKeyA", 5, 1, "*\\ORIGINAL\\USERS\\S-*", false});
    EXPECT_EQ(RunJob(), -1);
    ntsim::FaultClearAll();
    EXPECT_NE(Log().find("\nNew Computer Name: RENAMED\n"), std::string::npos) << Log();
    EXPECT_NE(Log().find("\nRestoring Original Registry Files...\n"), std::string::npos) << Log();
    EXPECT_EQ(Restarts(), restarts_ + 1) << "the old name comes back only with a restart";
    EndRestartAndCleanUp();
    EXPECT_EQ(e2e::HiveText(system, nameKey, "ComputerName"), oldName);
    e2e::ExpectSame(original, e2e::Take(dir_));
    EXPECT_EQ(e2e::MachineSidText(dir_), "S-1-5-21-1-2-3");
    EXPECT_FALSE(e2e::fs::exists(C("TEMP/TESSIV")));
}

// A record of SIDs left behind after stage 9 would make the next boot undo the completed
// job: a failure to remove it fails stage 9, which restores, and "Complete:" never shows.
TEST_F(JobFailure, ARecordOfSidsThatCannotBeRemovedFailsStageNine) {
    Make("nt4-workstation", "S-1-5-21-1-2-3");
    const e2e::Snapshot original = e2e::Take(dir_);
    Attach();
    ntsim::FaultAdd({"DeleteFileA", 5, 1, "*\\TESSIV\\SIDS", false});
    EXPECT_EQ(RunJob(), -1);
    ntsim::FaultClearAll();
    std::string log = Log();
    EXPECT_NE(log.find("\nError 5 removing '"), std::string::npos) << log;
    EXPECT_NE(log.find("\nError during registry restoration\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("\nComplete:\n"), std::string::npos) << log;
    EXPECT_EQ(Restarts(), restarts_ + 1);
    EndRestartAndCleanUp();
    e2e::ExpectSame(original, e2e::Take(dir_));
    EXPECT_EQ(e2e::MachineSidText(dir_), "S-1-5-21-1-2-3");
    EXPECT_FALSE(e2e::fs::exists(C("TEMP/TESSIV")));
}

// Without its record of SIDs the run must not change anything, not even the synchronization
// file of a primary controller or the computer name: the record is written before both.
TEST_F(JobFailure, ARecordOfSidsThatCannotBeWrittenStopsTheRunBeforeAnyChange) {
    for (ntsim::FaultRule rule : {ntsim::FaultRule{"fopen", 5, 0, "*\\TESSIV\\SIDS.NEW", false},
                                  ntsim::FaultRule{"MoveFileExA", 5, 0, "*\\TESSIV\\SIDS.NEW", false}}) {
        SCOPED_TRACE(rule.function);
        dir_ = root_ + "/" + rule.function;
        Make("nt4-pdc", "S-1-5-21-1-2-3");
        const e2e::Snapshot original = e2e::Take(dir_);
        Attach();
        jobSettings->writeSyncFile = 1;
        snprintf(jobSettings->dataFileName, MAX_PATH, "D:\\domain.sid");
        jobSettings->changeComputerName = 1;
        snprintf(jobSettings->newComputerName, sizeof jobSettings->newComputerName, "RENAMED");
        ntsim::FaultAdd(rule);
        // The synchronization file must not exist when the record fails.
        ntsim::FaultAdd({"fopen", 80, 0, "D:\\domain.sid", false});
        EXPECT_EQ(RunJob(), -1);
        ntsim::FaultClearAll();
        std::string log = Log();
        EXPECT_NE(log.find("\nError saving the SIDs of the job\n"), std::string::npos) << log;
        EXPECT_EQ(log.find("creating synchronization file"), std::string::npos) << log;
        EXPECT_EQ(log.find("Stage 3: Changing Computer Name"), std::string::npos) << log;
        EXPECT_FALSE(e2e::fs::exists(dir_ + "/drives/d/domain.sid"));
        EXPECT_EQ(Restarts(), restarts_) << "nothing changed: nothing to restart for";
        EndRestartAndCleanUp();
        e2e::ExpectSame(original, e2e::Take(dir_));
        EXPECT_FALSE(e2e::fs::exists(C("TEMP/TESSIV")));
    }
}

// What the restore of the next test finds broken: an original copy deleted before it runs.
std::string brokenOriginal;

// The first profile hive saved below ORIGINAL\\USERS, found through the machine's own calls.
std::string FirstOriginalProfile() {
    std::string pattern = std::string(jobSettings->workDirectory) + "\\ORIGINAL\\USERS\\S-*";
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(pattern.c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return "";
    FindClose(find);
    return std::string(jobSettings->workDirectory) + "\\ORIGINAL\\USERS\\" + found.cFileName;
}

int RestoreWithBrokenOriginal(int userRequested) {
    std::string path = brokenOriginal == "profile" ? FirstOriginalProfile()
                                                   : std::string(jobSettings->workDirectory) + "\\" + brokenOriginal;
    EXPECT_TRUE(DeleteFileA(path.c_str())) << path;
    return AbortAndRestore(userRequested);
}

// A restore with one piece missing or failing reports the fatal error, asks for no restart
// and keeps the record of SIDs for the recovery of the next boot: a missing original of a
// machine hive or of a profile hive, or a profile whose restore fails before another's
// succeeds.
TEST_F(JobFailure, ARestoreWithAFailedPieceFailsAndKeepsTheRecord) {
    const struct {
        const char* name;
        const char* missing;  // the original deleted before the restore, or none
        ntsim::FaultRule fault;
    } cases[] = {
        {"original SAM missing", "ORIGINAL\\SAM", {}},
        {"original profile missing", "profile", {}},
        {"first profile fails", nullptr, {"RegReplaceKeyA", 5, 1, "*\\ORIGINAL\\USERS\\S-*", false}},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dir_ = root_ + "/r" + std::to_string(n++);
        Make("nt4-workstation", "S-1-5-21-1-2-3");
        Attach();
        if (c.missing) {
            brokenOriginal = c.missing;
            jobCallbacks.abortAndRestore = RestoreWithBrokenOriginal;
        }
        ntsim::FaultAdd({"SetNamedSecurityInfoA", 5, 0, "C:\\Data\\Shared\\readme.txt", false});
        if (!c.fault.function.empty()) ntsim::FaultAdd(c.fault);
        EXPECT_EQ(RunJob(), -1);
        ntsim::FaultClearAll();
        std::string log = Log();
        EXPECT_NE(log.find("\nError during file system security scan\n"), std::string::npos) << log;
        EXPECT_NE(log.find("\nFATAL ERROR\n"), std::string::npos) << log;
        EXPECT_EQ(log.find("Complete: Original Registry Restored Successfully."), std::string::npos) << log;
        EXPECT_EQ(Restarts(), restarts_) << "no restart into a half restored machine";
        EXPECT_TRUE(e2e::fs::exists(C("TEMP/TESSIV/SIDS"))) << "the record stays for the next boot";
        FreeChangedFiles();
        DestroyJobSettings();
        ProcessMutex.Close();
        ntsim::ProcessDetach();
    }
}

// The file a failed primary controller wrote names a SID the domain does not have: it goes.
TEST_F(JobFailure, APrimaryControllerThatFailsWithdrawsItsSynchronizationFile) {
    Make("nt4-pdc", "S-1-5-21-1-2-3");
    const e2e::Snapshot original = e2e::Take(dir_);
    Attach();
    jobSettings->writeSyncFile = 1;
    snprintf(jobSettings->dataFileName, MAX_PATH, "D:\\domain.sid");
    ntsim::FaultAdd({"RegSaveKeyA", 112, 0, "*\\TESSIV\\SYSTEM", false});
    EXPECT_EQ(RunJob(), -1);
    ntsim::FaultClearAll();
    EXPECT_NE(Log().find("\nSynchronization file 'D:\\domain.sid' removed: the domain keeps its SID\n"), std::string::npos)
        << Log();
    EXPECT_FALSE(e2e::fs::exists(dir_ + "/drives/d/domain.sid"));
    EndRestartAndCleanUp();
    e2e::ExpectSame(original, e2e::Take(dir_));
}

TEST_F(JobFailure, BadSynchronizationFileFailsStageThree) {
    Make("nt4-member", "S-1-5-21-31-32-33");
    const e2e::Snapshot original = e2e::Take(dir_);
    std::ofstream(C("domain.sid")) << "Old-Domain-SID: nonsense\n";
    Attach();
    jobSettings->useSyncFile = 1;
    snprintf(jobSettings->dataFileName, MAX_PATH, "C:\\domain.sid");
    EXPECT_EQ(RunJob(), -1);
    EndRestartAndCleanUp();
    EXPECT_NE(Log().find("\nError: Invalid data file format\n"), std::string::npos) << Log();
    e2e::ExpectSame(original, e2e::Take(dir_));
}

// The operator presses Abort while the worker runs and answers Yes; the test's thread is the
// status window's. In stage 2 the abort lets the worker save the original hives and stops it
// as stage 3 begins; in stage 6 it stops the worker where it is and restores.
TEST_F(JobFailure, OperatorAbortsInStageTwoAndInStageSix) {
    Make("nt4-workstation", "S-1-5-21-1-2-3");
    const e2e::Snapshot original = e2e::Take(dir_);
    for (int at : {2, 6}) {
        SCOPED_TRACE(at);
        // The worker goes on while this thread reaches the abort, and it sends nothing to
        // the status window between a stage's heading and the next one's (which it logs
        // first): under load it can finish the stage and log the next heading before the
        // abort stops it. That run is an abort in the next stage, which must leave the
        // machine as it was too, and the abort in this stage is tried again. A worker that
        // ran on after an abort in this stage would show the next heading every time.
        bool inThisStage = false;
        for (int attempt = 0; attempt < 20 && !inThisStage; ++attempt) {
            Attach("answer \"Are you sure you want to abort*\" Yes\n");
            HWND status =
                CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_STATUS), nullptr, StatusWindow, 0);
            ASSERT_NE(status, nullptr);
            HANDLE worker = CreateThread(nullptr, 0, RunWorker, nullptr, CREATE_SUSPENDED, nullptr);
            ASSERT_NE(worker, nullptr);
            jobSettings->workerThread = worker;
            ResumeThread(worker);
            MSG msg;
            while (jobSettings->stage < at && WaitForSingleObject(worker, 0) == WAIT_TIMEOUT)
                if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
            bool reached = jobSettings->stage == at;
            EXPECT_EQ(AbortAndRestore(1), 1);
            EXPECT_EQ(WaitForSingleObject(worker, 5000), (DWORD)WAIT_OBJECT_0);
            DWORD code = 0;
            GetExitCodeThread(worker, &code);
            EXPECT_EQ(code, 0xFFFFFFFFu) << "terminated";
            CloseHandle(worker);
            DestroyWindow(status);
            std::string log = Log();
            EXPECT_NE(log.find("\nAborting process at user request...\n"), std::string::npos) << log;
            inThisStage =
                reached && log.find(at == 2 ? "\nStage 3: Examining SID" : "\nStage 7:") == std::string::npos;
            EndRestartAndCleanUp();
            e2e::ExpectSame(original, e2e::Take(dir_));
            EXPECT_EQ(e2e::MachineSidText(dir_), "S-1-5-21-1-2-3");
        }
        EXPECT_TRUE(inThisStage) << "every abort in stage " << at << " let the worker begin the next stage";
    }
}

}  // namespace
