// The wizard on simulated machines of every role: the operator walks the pages, and
// the transcript and the job record show what each page did.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <string>

#include "core/job_settings.h"
#include "core/output.h"
#include "identity/role_checks.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/machine/machine.h"
#include "ntsim/kernel/process.h"
#include "ntsim/user/operator.h"
#include "service/service_entry.h"
#include "wizard/resource.h"
#include "wizard/wizard_sheet.h"
#include "unit/fresh_machine.h"
#include "unit/ui/transcript_checks.h"

namespace {

// What the start-up would give the wizard, recorded for the tests.
int workerRuns = 0;

DWORD WINAPI TestWorker(LPVOID) {
    workerRuns++;
    return 0;
}
INT_PTR CALLBACK TestStatusWindow(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG && lParam) ResumeThread((HANDLE)lParam);  // the worker waits for the window
    if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) EndDialog(dialog, 0);
    return message == WM_INITDIALOG;
}

class Wizard : public FreshMachine {
protected:
    void Make(const std::string& preset, bool terminalServer = false) {
        MakeMachine(preset);
        Attach("");
        if (HasFatalFailure()) return;
        ntsim::CurrentProcess().imagePath = "C:\\tessiv.exe";  // the program the service will run
        if (terminalServer) {
            HKEY key;
            ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\ProductOptions", 0,
                                    KEY_SET_VALUE, &key),
                      0);
            static const char suite[] = "Terminal Server\0";
            RegSetValueExA(key, "ProductSuite", 0, REG_MULTI_SZ, (const BYTE*)suite, sizeof suite);
            RegCloseKey(key);
        }
        CreateJobSettings();
        ProcessMutex.Create();
        machineRole = DetectMachineRole(FALSE);
        workerRuns = 0;
    }
    void TearDown() override {
        DestroyWizardSheet();
        DestroyJobSettings();
        ProcessMutex.Close();
        FreshMachine::TearDown();
    }
    WizardSheet* Build() {
        WizardActions actions{TestWorker, TestStatusWindow};
        WizardSheet* sheet = CreateWizardSheet(GetModuleHandleA(nullptr), actions);
        EXPECT_NE(sheet, nullptr);
        return sheet;
    }
    // Runs the wizard under the script; the sheet's result.
    INT_PTR Run(const std::string& script) {
        std::string error;
        EXPECT_TRUE(ntsim::OperatorLoadScript("timeout 2\n" + script, "wizard script", &error)) << error;
        INT_PTR result = wizardSheet->Show();
        EXPECT_TRUE(ntsim::OperatorDone()) << ntsim::OperatorPendingSteps().front() << "\n" << Transcript();
        return result;
    }
    static std::string Transcript() { return transcript::Text(); }
    static ::testing::AssertionResult InOrder(std::initializer_list<std::string> parts) {
        return transcript::InOrder(parts);
    }
};

}  // namespace

TEST_F(Wizard, StandAloneInstallsForTheNextBootWithItsChoices) {
    Make("nt4-workstation");
    Build();
    INT_PTR result = Run(
        "wait for \"*Welcome\"\n"
        "sysmenu Restore\n"  // grayed while the sheet is not minimised: given up
        "sysmenu Minimize\n"
        "sysmenu Restore\n"
        "sysmenu 16\n"
        "press OK\n"
        "press Next\n"
        "wait for \"*Computer Information\"\n"
        "press Next\n"
        "wait for \"*Program Options\"\n"
        "focus 1002\n"
        "type 1002 \"newbox\"\n"
        "check 1014\n"
        "type 1016 \"\"\n"
        "answer once \"You must specify a log file*\" OK\n"
        "press Finish\n"
        "type 1016 \"\\\\server\\logs\\run.log\"\n"
        "press Finish\n"
        "click 1024\n"
        "file \"C:\\run\"\n"
        "check 1015\n"
        "uncheck 1051\n"
        "check 1050\n"  // run with the preparation tool: at the next boot, under the old name
        "press Next\n"
        "wait for \"*Install Automatic Service\"\n"
        "focus 1033\n"
        "check 1033\n"
        "uncheck 1032\n"
        "press Back\n"
        "wait for \"*Program Options\"\n"
        "press Next\n"
        "press Finish\n");
    EXPECT_GT(result, 0);
    EXPECT_TRUE(InOrder({"system menu command 61728 is grayed",  // SC_RESTORE
                         "operator: system menu command 61472",  // SC_MINIMIZE
                         "operator: system menu command 61728", "operator: system menu command 16",
                         "shown: dialog 100 \"About Tessiv\"", "Version 1.2.22", "If you wish to change the computer name",
                         "[OK, no icon]: \"You must specify a log file or uncheck",
                         "Tessiv cannot write a log file to a UNC path.",
                         "Create Log File",
                         "Check this box to also remove this utility",
                         "presses Finish (\"&Install\")",
                         "Quorvel Tessiv Service installed successfully and will run upon next boot.",
                         "[OK, information icon]: \"You should now install the Microsoft System Preparation tool"}));
    EXPECT_TRUE(serviceControl.IsServiceInstalled());
    EXPECT_EQ(jobSettings->useSysPrep, 1u);
    EXPECT_EQ(jobSettings->changeComputerName, 1u);
    EXPECT_STREQ(jobSettings->newComputerName, "NEWBOX");
    EXPECT_EQ(jobSettings->useLogFile, 1u);
    EXPECT_STREQ(jobSettings->logFileName, "C:\\run.log") << "a new file, with the default extension";
    EXPECT_EQ(verboseLog, 1u);
    EXPECT_EQ(jobSettings->processFileSystem, 0u);
    EXPECT_EQ(jobSettings->removeExe, 1u);
    EXPECT_EQ(jobSettings->removeTemp, 0u);
    EXPECT_EQ(jobSettings->writeSyncFile + jobSettings->useSyncFile, 0u);
    // The settings were stored for the service to read at the next boot.
    jobSettings->SetDefaults();
    ASSERT_TRUE(jobSettings->LoadSettings());
    EXPECT_STREQ(jobSettings->newComputerName, "NEWBOX");
    EXPECT_EQ(jobSettings->removeExe, 1u);
}

TEST_F(Wizard, PrimaryControllerCreatesTheSynchronizationFile) {
    Make("nt4-pdc");
    Build();
    Run("press Next\n"
        "wait for \"*Computer Information\"\n"
        "uncheck 1022\n"
        "answer \"WARNING:*\" OK\n"
        "check 1022\n"
        "press Next\n"
        "answer once \"You must specify a synchronization file*\" OK\n"
        "type 1021 \"\\\\server\\share\\sync.dat\"\n"
        "press Next\n"
        "click 1019\n"
        "file \"C:\\sync\"\n"
        "press Next\n"
        "wait for \"*Program Options\"\n"
        "click 1031\n"
        "press Next\n"
        "wait for \"*Install Automatic Service\"\n"
        "press Cancel\n");
    EXPECT_TRUE(InOrder({"This computer is functioning as a Primary Domain Controller",
                         "1.\tRun this utility on the Primary Domain Controller (this computer) first",
                         "1022 Button [x] \"Create Synchronization &File:\"", "[OK, no icon]: \"WARNING:",
                         "You must specify a synchronization file or uncheck the option before proceeding",
                         "Tessiv cannot read or write a data file from a UNC path.", "Save Synchronization File As"}));
    EXPECT_EQ(jobSettings->writeSyncFile, 1u);
    EXPECT_EQ(jobSettings->useSyncFile, 0u);
    EXPECT_STREQ(jobSettings->dataFileName, "C:\\sync.dat");
    EXPECT_FALSE(serviceControl.IsServiceInstalled()) << "Cancel installs nothing";
}

TEST_F(Wizard, BackupControllerRunsNowBehindTheStatusWindow) {
    Make("nt4-bdc");
    Build();
    // The open dialog takes only a file that exists.
    FILE* file = fopen("C:\\sync.dat", "wb");
    ASSERT_NE(file, nullptr);
    fclose(file);
    Run("press Next\n"
        "wait for \"*Computer Information\"\n"
        "click 1022\n"  // cannot be cleared
        "click 1019\n"
        "file \"C:\\sync.dat\"\n"
        "press Next\n"
        "wait for \"*Program Options\"\n"
        "press Finish\n"
        "wait for \"Quorvel SID Replacement Service\"\n"
        "press Cancel\n");
    EXPECT_TRUE(InOrder({"This computer is functioning as a Backup Domain Controller",
                         "1022 Button [x] \"Use Synchronization &File:\"", "Use Synchronization File",
                         "1050 Button [ ] (disabled)", "1030 Button [x] (disabled)", "1031 Button [ ] (disabled)",
                         "presses Finish (\"&Start\")", "shown: dialog 146"}));
    EXPECT_EQ(jobSettings->workerThread, nullptr) << "the sheet waits for the worker and closes it";
    EXPECT_EQ(workerRuns, 1);
    EXPECT_EQ(jobSettings->useSyncFile, 1u);
    EXPECT_EQ(jobSettings->writeSyncFile, 0u);
    EXPECT_STREQ(jobSettings->dataFileName, "C:\\sync.dat");
}

TEST_F(Wizard, MemberOnATerminalServerKeepsTheFileAndChecksTheName) {
    Make("nt4-member", true);
    Build();
    FILE* file = fopen("C:\\TEMP\\pdc.dat", "wb");  // a member reads the file: it must exist
    ASSERT_NE(file, nullptr);
    fclose(file);
    char current[64];
    DWORD size = sizeof current;
    ASSERT_TRUE(GetComputerNameA(current, &size));
    std::string lower = current;
    for (char& c : lower) c = (char)tolower((unsigned char)c);
    Run("press Next\n"
        "wait for \"*Computer Information\"\n"
        "check 1022\n"
        "type 1021 \"C:\\TEMP\\pdc.dat\"\n"
        "press Next\n"
        "wait for \"*Program Options\"\n"
        "type 1002 \"BAD*NAME\"\n"
        "press Finish\n"
        "type 1002 \"" + lower + "\"\n"
        "click 1031\n"
        "press Next\n"
        "wait for \"*Install Automatic Service\"\n"
        "press Cancel\n");
    EXPECT_TRUE(InOrder({"(Terminal Server detected)\n\nThis computer is currently configured as a domain member",
                         "1050 Button [ ] (disabled)", "1030 Button [x] \"N&ow\"",  // sysprep: not on a Terminal Server
                         "[OK, error icon]: \"A computer name cannot contain the character *.\""}));
    EXPECT_STREQ(jobSettings->dataFileName, "C:\\TEMP\\pdc.dat");
    EXPECT_EQ(jobSettings->useSyncFile, 1u) << "a member reads the file";
    EXPECT_EQ(jobSettings->writeSyncFile, 0u);
    EXPECT_EQ(jobSettings->changeComputerName, 0u) << "the same name in another case";
}

TEST_F(Wizard, AutoStartPressesFinishByItselfAndAnEmptyNameIsAskedForLater) {
    Make("nt4-workstation");
    Build()->AutoStart();
    wizardSheet->options.newName[0] = 0;
    Run("wait for \"Quorvel SID Replacement Service\"\n"
        "press Cancel\n");
    EXPECT_EQ(jobSettings->workerThread, nullptr) << "the sheet waits for the worker and closes it";
    EXPECT_EQ(workerRuns, 1);
    EXPECT_EQ(jobSettings->changeComputerName, 1u);
    EXPECT_STREQ(jobSettings->newComputerName, "");
}

// A job run now installs the one-shot service before it starts, quietly, so that the next
// boot cleans up or recovers a run cut off by a power loss; when the service cannot be
// installed the job does not start and the wizard stays on its page.
TEST_F(Wizard, RunNowInstallsTheServiceFirstAndStartsNoJobWithoutIt) {
    Make("nt4-workstation");
    Build()->AutoStart();
    ntsim::FaultAdd({"CreateServiceA", ERROR_ACCESS_DENIED, 0, "", false});
    Run("answer \"CreateService failed*\" OK\n"
        "wait for \"*Program Options\"\n"
        "press Cancel\n");
    ntsim::FaultClearAll();
    EXPECT_TRUE(InOrder({"shown: dialog 106", "[OK, error icon]: \"CreateService failed - Error 5"}))
        << Transcript();
    EXPECT_EQ(Transcript().find("shown: dialog 146"), std::string::npos) << Transcript();
    EXPECT_EQ(workerRuns, 0);
    EXPECT_EQ(serviceControl.IsServiceInstalled(), 0);

    DestroyWizardSheet();
    Build()->AutoStart();
    Run("wait for \"Quorvel SID Replacement Service\"\n"
        "press Cancel\n");
    EXPECT_EQ(workerRuns, 1);
    EXPECT_EQ(serviceControl.IsServiceInstalled(), 1);
    EXPECT_EQ(Transcript().find("installed successfully"), std::string::npos) << "installed quietly\n" << Transcript();
    EXPECT_EQ(serviceControl.quiet, 0u) << "the quiet choice is the operator's again";
}

TEST_F(Wizard, UnattendedInstallStartsOnTheInstallPageAndRunsAtTheNextBoot) {
    Make("nt4-workstation");
    Build()->StartOnInstallPage();
    wizardSheet->unattended = 1;  // option "autoinstall"
    wizardSheet->options.useSysPrep = 1;
    Run("wait for \"*Install Automatic Service\"\n"
        "press Back\n"
        "wait for \"*Program Options\"\n"
        "press Next\n"
        "wait for \"*Install Automatic Service\"\n"
        "press Finish\n");
    EXPECT_TRUE(InOrder({"shown: dialog \"Quorvel SID Utility - Install Automatic Service\"", "shown: dialog 106",
                         "1030 Button [ ] (disabled)",
                         "1031 Button [x] (disabled)", "presses Finish (\"&Install\")", "installed successfully"}));
    EXPECT_EQ(Transcript().find("System Preparation tool to complete"), std::string::npos)
        << "no preparation tool box when unattended";
    EXPECT_TRUE(serviceControl.IsServiceInstalled());
}

// A primary controller's operator who clears "Create Synchronization File" is heard at the
// next boot as well as now: no file name is stored for the service to take as the choice
// to write one.
TEST_F(Wizard, PrimaryControllerThatClearsTheFileStoresNoneForTheNextBoot) {
    Make("nt4-pdc");
    Build();
    // As "-data:C:\sync.dat" leaves the wizard and the job.
    wizardSheet->computerInfo.useFile = 1;
    strcpy(wizardSheet->computerInfo.fileName, "C:\\sync.dat");
    strcpy(jobSettings->dataFileName, "C:\\sync.dat");
    jobSettings->writeSyncFile = 1;
    Run("press Next\n"
        "wait for \"*Computer Information\"\n"
        "answer \"WARNING:*\" OK\n"
        "uncheck 1022\n"
        "press Next\n"
        "wait for \"*Program Options\"\n"
        "click 1031\n"
        "press Next\n"
        "wait for \"*Install Automatic Service\"\n"
        "press Finish\n");
    EXPECT_TRUE(InOrder({"[OK, no icon]: \"WARNING:", "presses Finish (\"&Install\")", "installed successfully"}));
    EXPECT_TRUE(serviceControl.IsServiceInstalled());
    EXPECT_EQ(jobSettings->writeSyncFile, 0u);
    // What the service reads at the next boot, where a stored name on a primary controller
    // means "write the file".
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Tessiv", 0, KEY_READ, &key), 0);
    char stored[MAX_PATH] = "unread";
    DWORD size = sizeof stored;
    EXPECT_EQ(RegQueryValueExA(key, "DataFileName", nullptr, nullptr, (BYTE*)stored, &size), 0);
    RegCloseKey(key);
    EXPECT_STREQ(stored, "");
    jobSettings->SetDefaults();
    ASSERT_TRUE(jobSettings->LoadSettings());
    EXPECT_STREQ(jobSettings->dataFileName, "");
    EXPECT_EQ(jobSettings->useSyncFile, 0u);
}

// The service at boot presses Finish by itself: a stored log whose folder cannot be found
// must not hold it on the options page for ever. The log's writer makes the folder, or
// falls back to the default log.
TEST_F(Wizard, AutoStartRunsWhereverTheStoredLogLies) {
    Make("nt4-workstation");
    jobSettings->useLogFile = 1;
    strcpy(jobSettings->logFileName, "Q:\\Gone\\run.log");
    Build()->AutoStart();
    Run("wait for \"Quorvel SID Replacement Service\"\n"
        "press Cancel\n");
    EXPECT_EQ(workerRuns, 1);
    EXPECT_EQ(Transcript().find("does not exist"), std::string::npos) << Transcript();
    EXPECT_STREQ(jobSettings->logFileName, "Q:\\Gone\\run.log");
}
