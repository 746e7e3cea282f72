// Jobs that fail in each stage, or that the operator aborts, in this process with the
// service run's own restore (AbortAndRestore): every hive and every file descriptor is
// put back, and after the restart and the clean-up run the machine is the one it was.
#include <gtest/gtest.h>

#include <algorithm>
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

// A registry quota too small for the job: the run is refused before it changes anything,
// and a run at boot, that nobody watched, leaves the refusal with what the job needs and
// what the limit is in the log it was asked to write and in the event log.
TEST_F(JobFailure, RegistryQuotaRefusalGoesToTheLogAndTheEventLog) {
    Make("nt4-workstation", "S-1-5-21-1-2-3");
    Attach();
    HKEY control = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control", 0, KEY_ALL_ACCESS, &control), 0);
    const DWORD limit = 65536;
    ASSERT_EQ(RegSetValueExA(control, "RegistrySizeLimit", 0, REG_DWORD, (const BYTE*)&limit, sizeof limit), 0);
    ASSERT_EQ(RegFlushKey(control), 0);
    RegCloseKey(control);
    unsigned long long total = 0;
    for (const char* name : {"SYSTEM", "SYSTEM.LOG", "SOFTWARE", "SOFTWARE.LOG", "SAM", "SAM.LOG", "SECURITY",
                             "SECURITY.LOG", "DEFAULT", "DEFAULT.LOG"}) {
        std::error_code ec;
        auto size = e2e::fs::file_size(C("WINNT/system32/config/") + name, ec);
        if (!ec) total += size;
    }
    const unsigned long long need = std::min(total * 2, total * 9 / 5 + 2);
    const e2e::Snapshot original = e2e::Take(dir_);
    const size_t events = ntsim::EventLogRead(dir_).size();

    EXPECT_EQ(RunJob(), -1);
    DestroyJobSettings();
    ntsim::ProcessDetach();
    const std::string needAndLimit =
        "Registry quota needed: " + std::to_string(need) + " bytes; limit: " + std::to_string(limit) + " bytes.";
    std::string log = Log();
    EXPECT_NE(log.find("You are running low on registry quota for this computer"), std::string::npos) << log;
    EXPECT_NE(log.find("\n\n" + needAndLimit + "\n"), std::string::npos) << log;
    std::vector<ntsim::EventEntry> entries = ntsim::EventLogRead(dir_);
    ASSERT_EQ(entries.size(), events + 1);
    const ntsim::EventEntry& e = entries.back();
    EXPECT_EQ(e.log, "Application");
    EXPECT_EQ(e.type, "Error");
    EXPECT_EQ(e.source, "Tessiv");
    ASSERT_EQ(e.strings.size(), 2u);
    EXPECT_EQ(e.strings[0], "\n\nTessiv error: 1816");
    EXPECT_NE(e.strings[1].find(needAndLimit), std::string::npos) << e.strings[1];
    e2e::ExpectSame(original, e2e::Take(dir_));
    EXPECT_FALSE(e2e::fs::exists(C("TEMP/TESSIV")));
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
