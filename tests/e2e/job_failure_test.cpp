// Jobs that fail in each stage, or that the operator aborts, in this process with the
// service run's own restore (AbortAndRestore): every hive and every file descriptor is
// put back, and after the restart and the clean-up run the machine is the one it was.
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <thread>

#include "core/job_settings.h"
#include "core/output.h"
#include "e2e/e2e_machine.h"
#include "engine/stage_driver.h"
#include "identity/role_checks.h"
#include "ntsim/files/security.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/machine/shutdown.h"
#include "ntsim/services/event_log.h"
#include "ntsim/services/services.h"
#include "ntsim/user/operator.h"
#include "replace/file_walk.h"
#include "service/service_entry.h"
#include "service/restart.h"
#include "service/service_run.h"
#include "wizard/resource.h"

namespace {

// A window of the test's own on the status window's thread: a message posted to it before
// the abort is delivered while the abort's question is up (a box's modal loop delivers
// what waits for its thread), so the probe sees the status window as the operator does.
std::function<void()> probeAction;
LRESULT CALLBACK ProbeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_APP && probeAction) probeAction();
    return DefWindowProcA(window, message, wParam, lParam);
}
HWND MakeProbe() {
    // Registered again for each attached process (one still registered is refused).
    WNDCLASSA wc = {};
    wc.lpfnWndProc = ProbeProc;
    wc.lpszClassName = "AbortProbe";
    RegisterClassA(&wc);
    return CreateWindowExA(0, "AbortProbe", "probe", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
}

struct Failure {
    const char* name;
    int stage;
    ntsim::FaultRule rule;
    const char* message;  // the error the run reports
    bool service = true;  // run as the service (SYSTEM) or, when false, as Administrator
};

class JobFailure : public e2e::MachineTest {
protected:
    // The machine as it was before the job: every hive key and file descriptor, the SID,
    // and no work directory left.
    void ExpectOriginalMachine(const e2e::Snapshot& original) {
        e2e::ExpectSame(original, e2e::Take(dir_));
        EXPECT_EQ(e2e::MachineSidText(dir_), "S-1-5-21-1-2-3");
        EXPECT_FALSE(e2e::fs::exists(C("TEMP/TESSIV")));
    }
    void SetUp() override {
        e2e::MachineTest::SetUp();
        // The restart's delayed end of the process: the test makes the restart itself.
        ntsim::SetShutdownProcessEnd([](unsigned) {});
    }
    void TearDown() override {
        serviceMode = FALSE;
        debugMode = 0;
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
    // Whether the SYSTEM hive file holds the service entry.
    bool ServiceEntry() {
        ntsim::Hive system;
        EXPECT_EQ(ntsim::RegfLoadFile(dir_ + "/drives/c/WINNT/system32/config/SYSTEM", &system), 0u);
        ntsim::HiveKey* set = system.root ? system.root->FindSubkey("ControlSet001") : nullptr;
        ntsim::HiveKey* services = set ? set->FindSubkey("Services") : nullptr;
        return services && services->FindSubkey(kServiceName);
    }
    // The status window and the worker, as the options page's Finish starts them.
    HWND StartWorker() {
        HWND status =
            CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_STATUS), nullptr, StatusWindow, 0);
        EXPECT_NE(status, nullptr);
        jobSettings->workerThread = CreateThread(nullptr, 0, RunWorker, nullptr, CREATE_SUSPENDED, nullptr);
        EXPECT_NE(jobSettings->workerThread, nullptr);
        ResumeThread(jobSettings->workerThread);
        return status;
    }
    // Lets the worker run until the stage number is `at` or more; false when it ended first.
    bool RunUntil(int at) {
        MSG msg;
        while (jobSettings->stage < at && WaitForSingleObject(jobSettings->workerThread, 0) == WAIT_TIMEOUT)
            if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
        return WaitForSingleObject(jobSettings->workerThread, 0) == WAIT_TIMEOUT;
    }
    // Waits for the worker, taking the lines it sends to the status window; its exit code.
    DWORD EndWorker(HWND status) {
        MSG msg;
        for (int i = 0; i < 2000 && WaitForSingleObject(jobSettings->workerThread, 10) == WAIT_TIMEOUT; ++i)
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
        EXPECT_EQ(WaitForSingleObject(jobSettings->workerThread, 0), (DWORD)WAIT_OBJECT_0) << "the worker has not ended";
        DWORD code = 0;
        GetExitCodeThread(jobSettings->workerThread, &code);
        CloseHandle(jobSettings->workerThread);
        jobSettings->workerThread = nullptr;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
        if (IsWindow(status)) DestroyWindow(status);
        return code;
    }
    // The message boxes shown whose text starts with `text`.
    static int BoxesShown(const std::string& text) {
        int n = 0;
        for (const std::string& line : ntsim::TranscriptLines())
            n += line.rfind("box ", 0) == 0 && line.find("]: \"" + text) != std::string::npos;
        return n;
    }
    static int Occurrences(const std::string& text, const std::string& what) {
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }
    // A run that stopped in stage 8 without its restore: what a power loss there leaves
    // (the record of SIDs, the originals, half of the descriptors rewritten). The machine
    // restarts; the service's next run is the recovery.
    void RunCutOffInStageEight() {
        Attach();
        jobCallbacks.abortAndRestore = nullptr;
        ntsim::FaultAdd({"SetNamedSecurityInfoA", ERROR_ACCESS_DENIED, 0, "C:\\WINNT\\Profiles\\User1", false});
        EXPECT_EQ(RunJob(), -1);
        ntsim::FaultClearAll();
        jobSettings->systemShutDown = 1;
        jobSettings->SaveSettings(0);
        EXPECT_TRUE(e2e::fs::exists(C("TEMP/TESSIV/SIDS")));
        FreeChangedFiles();
        DestroyJobSettings();
        ProcessMutex.Close();
        ntsim::ProcessDetach();
        Boot();
    }
    int restarts_ = 0;
};

TEST_F(JobFailure, EachStageFailsAndTheMachineIsAsBefore) {
    const Failure failures[] = {
        {"stage 2", 2, {"RegSaveKeyA", 5, 0, "*\\ORIGINAL\\SOFTWARE", false}, "Error saving original copies of registry"},
        {"stage 4", 4, {"RegReplaceKeyA", 5, 0, "*\\TESSIV\\USERS\\S-1-5-21-*-1000", false}, "Error during hive search."},
        // Run by Administrator, the walk must widen the SECURITY key to open it, and the DACL
        // it saved cannot be put back. The key's security is written four times by then: the
        // machine SID's read widens it and puts it back, then the walk does the same, each
        // through the key's handle.
        {"stage 5", 5, {"RegSetKeySecurity", 5, 4, "HKEY_LOCAL_MACHINE\\SECURITY", false}, "Error during registry search", false},
        {"stage 6", 6, {"RegSaveKeyA", 112, 0, "*\\TESSIV\\SYSTEM", false}, "Error saving working copy of registry"},
        {"stage 7", 7, {"CreateFileA", 32, 0, "*\\TESSIV\\SAM", false}, "Error during byte scan"},
        {"stage 7, a view's changes not written", 7, {"FlushViewOfFile", 5, 0, "*\\TESSIV\\SOFTWARE", false},
         "Error during byte scan"},
        // The byte scan of a profile's copy stops after changing it: the profile must not be
        // scheduled half converted.
        {"stage 4, a profile copy's byte scan", 4, {"FlushViewOfFile", 5, 0, "*\\TESSIV\\USERS\\S-1-5-21-*-1000", false},
         "Error during hive search."},
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
        ExpectOriginalMachine(original);
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
    ExpectOriginalMachine(original);
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
    ExpectOriginalMachine(original);
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

namespace {

// One abort at a time. A second Abort and a Close that reach the status window while the
// first abort's question is up are refused: one question, one restore, one restart. The
// Abort button is disabled while the question is up, and enabled again when the answer
// is No; the job then goes on until the next Abort.
TEST_F(JobFailure, ASecondAbortOrCloseDuringTheQuestionIsRefused) {
    Make("nt4-workstation", "S-1-5-21-1-2-3");
    const e2e::Snapshot original = e2e::Take(dir_);
    Attach("answer once \"Are you sure you want to abort*\" No\nanswer \"Are you sure you want to abort*\" Yes\n");
    serviceMode = TRUE;  // as the service: its boxes reach the interactive desktop
    HWND status = StartWorker();
    HWND probe = MakeProbe();
    ASSERT_NE(probe, nullptr);
    std::vector<int> enabledDuringQuestion;
    probeAction = [&] { enabledDuringQuestion.push_back(IsWindowEnabled(GetDlgItem(status, IDCANCEL)) ? 1 : 0); };
    ASSERT_TRUE(RunUntil(6));  // the registry is rewritten: the restore must restart

    // Answered No: the job goes on.
    PostMessageA(probe, WM_APP, 0, 0);
    EXPECT_EQ(AbortAndRestore(1), 0);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(status, IDCANCEL)));
    EXPECT_EQ(WaitForSingleObject(jobSettings->workerThread, 0), (DWORD)WAIT_TIMEOUT);

    // Answered Yes, with a second Abort and a Close waiting behind the first.
    PostMessageA(probe, WM_APP, 0, 0);
    PostMessageA(status, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    PostMessageA(status, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(AbortAndRestore(1), 1);
    probeAction = nullptr;
    EXPECT_EQ(EndWorker(status), 0xFFFFFFFFu) << "terminated";
    DestroyWindow(probe);
    EXPECT_EQ(enabledDuringQuestion, (std::vector<int>{0, 0}));
    EXPECT_EQ(BoxesShown("Are you sure you want to abort"), 2);
    EXPECT_EQ(Occurrences(Log(), "\nAborting process at user request...\n"), 1) << Log();
    EXPECT_EQ(Occurrences(Log(), "\nRestoring File System Security:\n"), 1) << Log();
    EXPECT_EQ(Restarts() - restarts_, 1);
    EndRestartAndCleanUp();
    ExpectOriginalMachine(original);
}

// The abort in stage 2 comes while the original hives are still being saved: the worker
// saves them all and stops as stage 3 begins, and the restore leaves the machine as it
// was. With the debug mode the worker sends each copy's path to the status window before
// it saves that copy, and waits there until this thread takes it, so that once the stage
// number is 2 the worker is at most a copy or two ahead. The probe sees, while the
// question is up, whether the last copy is saved yet; an abort that came after it is a
// valid run too, and the abort is tried again.
TEST_F(JobFailure, AnAbortBeforeTheOriginalsAreSavedCompletely) {
    Make("nt4-workstation", "S-1-5-21-1-2-3");
    const e2e::Snapshot original = e2e::Take(dir_);
    bool early = false;
    for (int attempt = 0; attempt < 20 && !early; ++attempt) {
        SCOPED_TRACE(attempt);
        Attach("answer \"Are you sure you want to abort*\" Yes\n");
        serviceMode = TRUE;  // as the service: its boxes reach the interactive desktop
        debugMode = 1;
        HWND status = StartWorker();
        HWND probe = MakeProbe();
        ASSERT_NE(probe, nullptr);
        bool lastSaved = true;
        probeAction = [&] { lastSaved = e2e::fs::exists(C("TEMP/TESSIV/ORIGINAL/USERS/.DEFAULT")); };
        bool inStageTwo = RunUntil(2) && jobSettings->stage == 2;
        PostMessageA(probe, WM_APP, 0, 0);
        EXPECT_EQ(AbortAndRestore(1), 1);
        probeAction = nullptr;
        DWORD code = EndWorker(status);
        DestroyWindow(probe);
        std::string log = Log();
        early = inStageTwo && !lastSaved;
        if (early) {
            EXPECT_EQ(code, 0xFFFFFFFFu) << "terminated";
            // Every original saved, then stopped as stage 3 began, before its heading.
            EXPECT_NE(log.find("ORIGINAL\\USERS\\.DEFAULT\nComplete.\n"), std::string::npos) << log;
            EXPECT_EQ(log.find("\nStage 3:"), std::string::npos) << log;
            EXPECT_NE(log.find("\nAborting process at user request...\n"), std::string::npos) << log;
        }
        EndRestartAndCleanUp();
        ExpectOriginalMachine(original);
    }
    EXPECT_TRUE(early) << "no abort came before the originals were saved";
}

// The abort comes while the worker rewrites a file's security in stage 8: the worker is
// stopped only once that file is recorded, and every descriptor is put back byte for byte.
TEST_F(JobFailure, AnAbortInsideAStageEightRewriteRestoresEveryFile) {
    Make("nt4-workstation", "S-1-5-21-1-2-3");
    const e2e::Snapshot original = e2e::Take(dir_);
    bool inside = false;
    for (int attempt = 0; attempt < 20 && !inside; ++attempt) {
        SCOPED_TRACE(attempt);
        Attach("answer \"Are you sure you want to abort*\" Yes\n");
        serviceMode = TRUE;  // as the service: its boxes reach the interactive desktop
        HWND status = StartWorker();
        bool running = RunUntil(8);
        MSG msg;
        while (running && jobSettings->stage == 8 && unbrokenSteps == 0) {
            if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
            running = WaitForSingleObject(jobSettings->workerThread, 0) == WAIT_TIMEOUT;
        }
        inside = running && jobSettings->stage == 8 && unbrokenSteps > 0;
        EXPECT_EQ(AbortAndRestore(1), 1);
        DWORD code = EndWorker(status);
        if (inside) {
            EXPECT_EQ(code, 0xFFFFFFFFu) << "terminated";
            EXPECT_EQ(Log().find("\nStage 9:"), std::string::npos) << Log();
        }
        EndRestartAndCleanUp();
        e2e::ExpectSame(original, e2e::Take(dir_));
        EXPECT_EQ(e2e::MachineSidText(dir_), "S-1-5-21-1-2-3");
    }
    EXPECT_TRUE(inside) << "no abort came inside a rewrite of stage 8";
}

// A failure after the walk (stage 9) on a machine with 10000 changed files, whose
// descriptors are as large as the attribute allows: the job runs under a limit of memory
// beyond what the process has mapped when it starts (24 MiB) that a list of the changed
// files kept in memory (some 3 KB a file, 30 MiB here) would exceed, and the restore puts
// every descriptor back byte for byte from the walk's record on the disk. (The limit stands
// for the 64 MiB the service may take on a server with a million changed files.) The job
// runs in a child process, which makes the checks and reports them.
TEST_F(JobFailure, AFailureAfterTheWalkPutsEveryFileBackFromTheRecordInBoundedMemory) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' own allocations fail under an address-space limit";
#endif
    Make("nt4-workstation", "S-1-5-21-1-2-3");
    std::vector<ntsim::AceEntry> aces(80);
    for (int i = 0; i < 80; ++i) {
        aces[i].flags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, aces[i].mask = 0x1F01FF;
        ntsim::SidFromText("S-1-5-21-1-2-3-" + std::to_string(1000 + i), &aces[i].sid);
    }
    ntsim::SidBytes owner, group;
    ntsim::SidFromText("S-1-5-21-1-2-3-500", &owner);
    ntsim::SidFromText("S-1-5-18", &group);
    std::vector<uint8_t> acl = ntsim::AclBuild(aces);
    const std::vector<uint8_t> large = ntsim::SdBuild(SE_DACL_PRESENT, owner.data(), group.data(), nullptr, acl.data());
    const int kFolders = 20, kFiles = 500;
    for (int d = 0; d < kFolders; ++d) {
        std::string folder = C("Big/d" + std::to_string(d));
        e2e::fs::create_directories(folder);
        for (int f = 0; f < kFiles; ++f) {
            std::string file = folder + "/f" + std::to_string(f) + ".dat";
            std::ofstream(file) << "x";
            ASSERT_EQ(ntsim::FileWriteStored(file, ntsim::FileStore::NtsimXattr, large), 0u) << file;
        }
    }
    const e2e::Snapshot original = e2e::Take(dir_);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        // A failed assertion returns from the body, never into the rest of the test.
        struct rlimit saved, limit;
        getrlimit(RLIMIT_AS, &saved);
        auto body = [&] {
            Attach();
            limit = saved;
            size_t pages = 0;
            if (FILE* f = ::NtsimFopen("/proc/self/statm", "r")) {
                if (fscanf(f, "%zu", &pages) != 1) pages = 0;
                fclose(f);
            }
            // 24 MiB: the registry's stages take a few, the restart's thread its stack (8 MiB);
            // threads share one heap, whose room is reserved already.
            mallopt(M_ARENA_MAX, 1);
            limit.rlim_cur = pages * (size_t)sysconf(_SC_PAGESIZE) + (24u << 20);
            ASSERT_GT(pages, 0u);
            ASSERT_LT(mallinfo2().fordblks, 4u << 20) << "the heap's free room counts as well";
            ASSERT_EQ(setrlimit(RLIMIT_AS, &limit), 0);
            ntsim::FaultAdd({"RegReplaceKeyA", 5, 0, "*\\TESSIV\\SAM", false});
            EXPECT_EQ(RunJob(), -1);
            ntsim::FaultClearAll();
            setrlimit(RLIMIT_AS, &saved);
            // The record held each changed file's descriptor as read until the clean-up.
            EXPECT_GE(e2e::fs::file_size(C("TEMP/TESSIV/FILESEC")), (uintmax_t)kFolders * kFiles * large.size());
            EndRestartAndCleanUp();
            std::string log = Log();
            EXPECT_NE(log.find("\nError during registry restoration\n"), std::string::npos) << log;
            EXPECT_NE(log.find("\nComplete: File system security restored successfully.\n"), std::string::npos) << log;
            ExpectOriginalMachine(original);
        };
        try {
            body();
        } catch (...) {
            setrlimit(RLIMIT_AS, &saved);
            ADD_FAILURE() << "the job ran out of memory\n" << Log();
        }
        fflush(nullptr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the job's failures are shown above";
}

// The clean-up run changes nothing a restore could put back: an Abort in its opening
// steps (before its stage number says so) is refused at once with its box, without the
// question, and the clean-up finishes.
TEST_F(JobFailure, AnAbortInTheCleanUpsOpeningStepsIsRefusedAtOnce) {
    Make("nt4-workstation", "S-1-5-21-1-2-3");
    Attach();
    ASSERT_EQ(RunJob(), 0);
    jobSettings->systemShutDown = 1;
    jobSettings->SaveSettings(0);
    FreeChangedFiles();
    DestroyJobSettings();
    ProcessMutex.Close();
    ntsim::ProcessDetach();
    Boot();
    const std::string newSid = e2e::MachineSidText(dir_);
    ASSERT_NE(newSid, "S-1-5-21-1-2-3");

    Attach("answer \"Are you sure you want to abort*\" Yes\n");
    serviceMode = TRUE;  // as the service: its boxes reach the interactive desktop
    jobSettings->LoadSettings();  // no SID file after the job: the stored values are read all the same
    ASSERT_EQ(jobSettings->cleanOnly, 1u);
    HWND status = StartWorker();
    EXPECT_EQ(AbortAndRestore(1), 0);
    EXPECT_EQ(BoxesShown("The clean-up of the previous run cannot be aborted."), 1);
    EXPECT_EQ(BoxesShown("Are you sure you want to abort"), 0);
    EXPECT_EQ(EndWorker(status), 0u) << "the clean-up ran to its end";
    EXPECT_EQ(Log().find("Aborting process at user request"), std::string::npos) << Log();
    EXPECT_NE(Log().find("   Service Entry Removed Successfully.\n"), std::string::npos) << Log();
    EXPECT_EQ(Restarts(), restarts_);
    FreeChangedFiles();
    DestroyJobSettings();
    ProcessMutex.Close();
    ntsim::ProcessDetach();
    EXPECT_FALSE(e2e::fs::exists(C("TEMP/TESSIV")));
    EXPECT_EQ(e2e::MachineSidText(dir_), newSid);
    ntsim::Hive software;
    ASSERT_EQ(ntsim::RegfLoadFile(dir_ + "/drives/c/WINNT/system32/config/SOFTWARE", &software), 0u);
    ntsim::HiveKey* quorvel = software.root->FindSubkey("Quorvel");
    EXPECT_TRUE(!quorvel || !quorvel->FindSubkey("Tessiv")) << "the stored settings are removed";
}

// The recovery after a cut gives the original machine back and is refused an abort, with
// its box, from its very start; the restart and the clean-up after it leave the machine
// as it was.
TEST_F(JobFailure, AnAbortDuringTheRecoveryIsRefused) {
    Make("nt4-workstation", "S-1-5-21-1-2-3");
    const e2e::Snapshot original = e2e::Take(dir_);
    RunCutOffInStageEight();
    Attach("answer \"Are you sure you want to abort*\" Yes\n");
    serviceMode = TRUE;  // as the service: its boxes reach the interactive desktop
    jobSettings->LoadSettings();  // no SID file after the job: the stored values are read all the same
    ASSERT_EQ(jobSettings->cleanOnly, 1u);
    HWND status = StartWorker();
    EXPECT_EQ(AbortAndRestore(1), 0);
    EXPECT_EQ(BoxesShown("The clean-up of the previous run cannot be aborted."), 1);
    EXPECT_EQ(BoxesShown("Are you sure you want to abort"), 0);
    EXPECT_EQ(EndWorker(status), 0u);
    EXPECT_NE(Log().find("\nRecovering Interrupted Run:\n"), std::string::npos) << Log();
    EXPECT_EQ(Log().find("Aborting process at user request"), std::string::npos) << Log();
    EXPECT_EQ(Restarts() - restarts_, 1);
    EndRestartAndCleanUp();
    ExpectOriginalMachine(original);
}

// The recovery does not need the machine SID, which a cut may have left unreadable (the
// SAM and SECURITY at odds): it gives the original machine back all the same.
TEST_F(JobFailure, TheRecoveryRunsWhenTheMachineSidCannotBeRead) {
    Make("nt4-workstation", "S-1-5-21-1-2-3");
    const e2e::Snapshot original = e2e::Take(dir_);
    RunCutOffInStageEight();
    Attach();
    jobSettings->LoadSettings();  // no SID file after the job: the stored values are read all the same
    ntsim::FaultAdd({"RegOpenKeyA", ERROR_ACCESS_DENIED, 0, "*\\Policy\\PolAcDmS", false});
    EXPECT_EQ(RunJob(), kJobRecovered);
    ntsim::FaultClearAll();
    EXPECT_NE(Log().find("\nRecovering Interrupted Run:\n"), std::string::npos) << Log();
    EXPECT_NE(Log().find("Complete: Original Registry Restored Successfully.\n"), std::string::npos) << Log();
    EXPECT_EQ(Log().find("Error: You do not have enough permissions"), std::string::npos) << Log();
    jobSettings->systemShutDown = 1;
    jobSettings->SaveSettings(0);
    RestartComputer("Original Configuration Restored\nby Quorvel Tessiv Utility", 5);
    EndRestartAndCleanUp();
    ExpectOriginalMachine(original);
}

// A stop request from the service control manager: while the job runs it is refused and
// the job finishes (the machine has its new SID after the restart and the clean-up); while
// the service idles it ends the status window and the service, and the process with them.
TEST_F(JobFailure, AStopRequestIsRefusedDuringTheJobAndEndsAnIdleService) {
    Make("nt4-workstation", "S-1-5-21-1-2-3");
    Attach();
    serviceMode = TRUE;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    SC_HANDLE entry = CreateServiceA(manager, kServiceName, kServiceDisplayName, SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                     "C:\\TESSIV\\tessiv.exe", nullptr, nullptr, "", nullptr, nullptr);
    ASSERT_NE(entry, nullptr);
    // The service thread as the start-up begins it; the state the manager shows.
    auto startService = [&] {
        UnregisterClassA(kServiceName, nullptr);
        ntsim::ServiceSetStartedAs(kServiceName);
        HANDLE dispatcher = CreateThread(nullptr, 0, ServiceDispatcherThread, nullptr, 0, nullptr);
        for (int i = 0; i < 500 && ntsim::ServiceRuntimeRead(dir_, kServiceName).status.dwCurrentState != SERVICE_RUNNING;
             ++i)
            Sleep(10);
        EXPECT_EQ(ntsim::ServiceRuntimeRead(dir_, kServiceName).status.dwCurrentState, (DWORD)SERVICE_RUNNING);
        return dispatcher;
    };

    // Idle: the status window is up with no job; the stop ends it and the service.
    HANDLE dispatcher = startService();
    std::thread idleStop([&] {
        while (!currentDialog) Sleep(1);
        SERVICE_STATUS status = {};
        EXPECT_TRUE(ControlService(entry, SERVICE_CONTROL_STOP, &status));
    });
    EXPECT_EQ(DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_STATUS), nullptr, StatusWindow, 0), 0);
    idleStop.join();
    EXPECT_EQ(WaitForSingleObject(dispatcher, 10000), (DWORD)WAIT_OBJECT_0) << "the service has not ended";
    CloseHandle(dispatcher);
    // The handler reports the stop as it sends the window its end: the window, and the service
    // main function's own last reports, may come a moment later.
    for (int i = 0; i < 500 && (serviceWindow ||
                                ntsim::ServiceRuntimeRead(dir_, kServiceName).status.dwCurrentState != SERVICE_STOPPED);
         ++i)
        Sleep(10);
    EXPECT_EQ(ntsim::ServiceRuntimeRead(dir_, kServiceName).status.dwCurrentState, (DWORD)SERVICE_STOPPED);
    EXPECT_EQ(serviceWindow, nullptr);
    // The service main function's last reports (a process that ends takes them with it):
    // a late one would otherwise reach the service started next.
    ASSERT_TRUE(ntsim::ServiceMainWaitEnd(10000)) << "the service main function has not returned";
    EXPECT_FALSE(e2e::fs::exists(C("TEMP/TESSIV")));
    EXPECT_EQ(e2e::MachineSidText(dir_), "S-1-5-21-1-2-3");
    EXPECT_EQ(Log(), "") << "no job ran";

    // During the job: refused; the job runs to its end and restarts the machine. The job is
    // held at its first hive replacement (stage 9) while the stop is sent, so a small machine's
    // job cannot end before the request comes.
    dispatcher = startService();
    ntsim::FaultRule hold;
    hold.function = "RegReplaceKeyA";
    hold.nth = 1;
    hold.hold = true;
    ntsim::FaultAdd(hold);
    HANDLE worker = CreateThread(nullptr, 0, RunWorker, nullptr, CREATE_SUSPENDED, nullptr);
    jobSettings->workerThread = worker;
    bool runningAfterStop = false;
    DWORD stateAfterStop = 0;
    std::thread jobStop([&] {
        EXPECT_TRUE(ntsim::FaultWaitHeld(20000)) << "the job never reached its hive replacement";
        SERVICE_STATUS status = {};
        EXPECT_TRUE(ControlService(entry, SERVICE_CONTROL_STOP, &status)) << GetLastError();
        stateAfterStop = status.dwCurrentState;
        runningAfterStop = WaitForSingleObject(worker, 0) == WAIT_TIMEOUT;
        ntsim::FaultReleaseHeld();
    });
    EXPECT_EQ(DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_STATUS), nullptr, StatusWindow,
                              (LPARAM)worker),
              0);
    jobStop.join();
    ntsim::FaultClearAll();
    EXPECT_TRUE(runningAfterStop);
    EXPECT_EQ(stateAfterStop, (DWORD)SERVICE_RUNNING) << "the stop was taken during the job";
    EXPECT_EQ(WaitForSingleObject(worker, 20000), (DWORD)WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeThread(worker, &code);
    EXPECT_EQ(code, 0u);
    CloseHandle(worker);
    jobSettings->workerThread = nullptr;
    EXPECT_EQ(WaitForSingleObject(dispatcher, 10000), (DWORD)WAIT_OBJECT_0);
    CloseHandle(dispatcher);
    CloseServiceHandle(entry);
    CloseServiceHandle(manager);
    std::string log = Log();
    EXPECT_NE(log.find("\nStage 9: Updating Registry Information\n"), std::string::npos) << log;
    EXPECT_EQ(Restarts() - restarts_, 1);
    ntsim::ServiceSetStartedAs("");
    EndRestartAndCleanUp();
    EXPECT_NE(e2e::MachineSidText(dir_), "S-1-5-21-1-2-3");
    EXPECT_FALSE(e2e::fs::exists(C("TEMP/TESSIV")));
    EXPECT_FALSE(ServiceEntry()) << "the clean-up removes the service entry";
}

// A backup controller renamed by its job marks the trust for the clean-up run, which
// finds that the computer is a domain controller and makes no trust step against
// itself: no controller looked for, no session, no primary domain or secret written.
// Its SECURITY hive is the same before and after the clean-up, key by key.
TEST_F(JobFailure, ARenamedBackupControllersCleanUpMakesNoTrustSteps) {
    const std::string domain = "S-1-5-21-2000111222-333444555-1666777888";
    Make("nt4-bdc", domain);
    Attach();
    jobSettings->changeComputerName = 1;
    snprintf(jobSettings->newComputerName, sizeof jobSettings->newComputerName, "NEWBDC");
    ASSERT_EQ(RunJob(), 0);
    EXPECT_EQ(jobSettings->establishDomainTrust, 1u);
    jobSettings->systemShutDown = 1;
    jobSettings->SaveSettings(0);
    FreeChangedFiles();
    DestroyJobSettings();
    ProcessMutex.Close();
    ntsim::ProcessDetach();
    Boot();
    const std::string security = "/drives/c/WINNT/system32/config/SECURITY";
    const std::vector<std::string> before = e2e::Take(dir_).hives[security];
    ASSERT_FALSE(before.empty());
    const std::string logBefore = Log();

    Attach();
    jobSettings->LoadSettings();  // no SID file after the job: the stored values are read all the same
    ASSERT_EQ(jobSettings->cleanOnly, 1u);
    ASSERT_EQ(jobSettings->establishDomainTrust, 1u);
    EXPECT_EQ(RunJob(), 1);
    FreeChangedFiles();
    DestroyJobSettings();
    ProcessMutex.Close();
    ntsim::ProcessDetach();
    const std::string cleanUp = Log().substr(logBefore.size());
    EXPECT_NE(cleanUp.find("   Service Entry Removed Successfully.\n"), std::string::npos) << cleanUp;
    for (const char* step : {"Domain Trust", "WARNING", "domain controller", "Error"})
        EXPECT_EQ(cleanUp.find(step), std::string::npos) << step << "\n" << cleanUp;
    EXPECT_EQ(e2e::Take(dir_).hives[security], before) << "the clean-up changed the SECURITY hive";
    EXPECT_EQ(e2e::HiveText(dir_ + "/drives/c/WINNT/system32/config/SYSTEM",
                            "ControlSet001\\Control\\ComputerName\\ComputerName", "ComputerName"),
              "NEWBDC");
    EXPECT_NE(e2e::MachineSidText(dir_), domain);
    EXPECT_FALSE(e2e::fs::exists(C("TEMP/TESSIV")));
}

// The worker's own restore after a failure is the job's one restore: an Abort that comes
// while it runs is refused without the question. The worker is held inside its restore:
// it waits for this thread to take the heading it sends to the status window.
TEST_F(JobFailure, AnAbortDuringTheWorkersOwnRestoreIsRefused) {
    Make("nt4-workstation", "S-1-5-21-1-2-3");
    const e2e::Snapshot original = e2e::Take(dir_);
    Attach("answer \"Are you sure you want to abort*\" Yes\n");
    serviceMode = TRUE;  // as the service: its boxes reach the interactive desktop
    ntsim::FaultAdd({"RegReplaceKeyA", 5, 0, "*\\TESSIV\\SAM", false});
    HWND status = StartWorker();
    const std::string heading = "\nRestoring File System Security:\n";
    MSG msg;
    while (Log().find(heading) == std::string::npos &&
           WaitForSingleObject(jobSettings->workerThread, 1) == WAIT_TIMEOUT)
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    ASSERT_NE(Log().find(heading), std::string::npos) << Log();
    EXPECT_EQ(WaitForSingleObject(jobSettings->workerThread, 0), (DWORD)WAIT_TIMEOUT) << "held in its restore";
    EXPECT_EQ(AbortAndRestore(1), 0);
    EXPECT_EQ(EndWorker(status), 0u) << "the worker ends its own restore";
    ntsim::FaultClearAll();
    std::string log = Log();
    EXPECT_NE(log.find("\nError during registry restoration\n"), std::string::npos) << log;
    EXPECT_EQ(BoxesShown("Are you sure you want to abort"), 0);
    EXPECT_EQ(log.find("Aborting process at user request"), std::string::npos) << log;
    EXPECT_EQ(Occurrences(log, heading), 1) << log;
    EXPECT_EQ(Restarts() - restarts_, 1);
    EndRestartAndCleanUp();
    ExpectOriginalMachine(original);
}

}  // namespace
