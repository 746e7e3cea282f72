// The start-up in the program's own process: a program started from a UNC path is refused
// first, and ApplyOptions carries each option into the wizard and the job in its order.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "core/job_settings.h"
#include "core/output.h"
#include "identity/role_checks.h"
#include "ntsim/machine/machine.h"
#include "ntsim/kernel/process.h"
#include "ntsim/user/operator.h"
#include "service/service_entry.h"
#include "wizard/app_startup.h"
#include "unit/fresh_machine.h"
#include "wizard/wizard_sheet.h"

namespace {

class AppStartup : public FreshMachine {
protected:
    void Start(const std::string& preset) {
        MakeMachine(preset);
        Attach("");
        if (HasFatalFailure()) return;
        ntsim::CurrentProcess().imagePath = "C:\\tessiv.exe";
        ntsim::TranscriptClear();
        CreateJobSettings();
        ProcessMutex.Create();
    }
    void TearDown() override {
        DestroyWizardSheet();
        DestroyJobSettings();
        ProcessMutex.Close();
        if (appState.richEditLibrary) FreeLibrary(appState.richEditLibrary);
        appState = AppState();
        serviceControl.quiet = 0;
        verboseLog = debugMode = 0;
        FreshMachine::TearDown();
    }
    // The checks with these arguments, then the wizard built and the options applied.
    WizardSheet* Apply(const char* arguments) {
        EXPECT_EQ(InitializeProgram(arguments), 1);
        WizardSheet* sheet = CreateWizardSheet(GetModuleHandleA(nullptr), WizardActions{});
        ApplyOptions();
        return sheet;
    }
};

TEST_F(AppStartup, AProgramOnAUncPathIsRefusedFirst) {
    Start("nt4-workstation");
    ntsim::CurrentProcess().imagePath = "\\\\server\\share\\tessiv.exe";
    EXPECT_EQ(InitializeProgram("-bogus"), 0);
    std::vector<std::string> boxes;
    for (const std::string& line : ntsim::TranscriptLines())
        if (line.find("box ") == 0) boxes.push_back(line);
    ASSERT_EQ(boxes.size(), 1u) << "no box after it, not the option's";
    EXPECT_NE(boxes[0].find("[OK, error icon]: \"Tessiv cannot be run from a UNC path."), std::string::npos) << boxes[0];
}

TEST_F(AppStartup, EveryOptionReachesTheWizardAndTheJob) {
    Start("nt4-pdc");
    WizardSheet* sheet = Apply("-data:C:\\sync.dat -log:C:\\run.log -name:NEWPDC -delete -verbose -nofs -d!");
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(sheet->computerInfo.useFile, 1u);
    EXPECT_STREQ(sheet->computerInfo.fileName, "C:\\sync.dat");
    EXPECT_STREQ(jobSettings->dataFileName, "C:\\sync.dat");
    EXPECT_EQ(jobSettings->writeSyncFile, 1u) << "a primary controller writes the file";
    EXPECT_EQ(jobSettings->useSyncFile, 0u);
    EXPECT_EQ(sheet->options.useLog + jobSettings->useLogFile, 2u);
    EXPECT_STREQ(sheet->options.logName, "C:\\run.log");
    EXPECT_STREQ(jobSettings->logFileName, "C:\\run.log");
    EXPECT_STREQ(sheet->options.newName, "NEWPDC");
    EXPECT_EQ(jobSettings->changeComputerName, 1u);
    EXPECT_STREQ(jobSettings->newComputerName, "NEWPDC");
    EXPECT_EQ(sheet->install.removeUtility + jobSettings->removeExe, 2u);
    EXPECT_EQ(sheet->options.verbose + verboseLog, 2u);
    EXPECT_EQ(sheet->options.processFs + jobSettings->processFileSystem, 0u);
    EXPECT_EQ(debugMode, 1u);
    EXPECT_EQ(sheet->header.nStartPage, 0u) << "no option moves the wizard";
    EXPECT_EQ(sheet->options.autoFinish, 0u);
}

TEST_F(AppStartup, OptionsThatMoveTheWizardOrInstall) {
    Start("nt4-workstation");
    // "install": the install page, the job at the next boot; nothing installed yet.
    WizardSheet* sheet = Apply("-install -sysprep");
    EXPECT_EQ(sheet->header.nStartPage, (UINT)kInstallPageIndex);
    EXPECT_EQ(sheet->options.runNow, 0u);
    EXPECT_EQ(sheet->options.useSysPrep + jobSettings->useSysPrep, 2u);
    EXPECT_FALSE(serviceControl.IsServiceInstalled());
    DestroyWizardSheet();
    // "clean": the clean-up run, Finish pressed by itself on the options page.
    appState = AppState();
    sheet = Apply("-clean");
    EXPECT_EQ(jobSettings->cleanOnly, 1u);
    EXPECT_EQ(sheet->header.nStartPage, (UINT)kOptionsPageIndex);
    EXPECT_EQ(sheet->options.autoFinish, 1u);
    DestroyWizardSheet();
    jobSettings->cleanOnly = 0;
    // "start" with "install": installed at once, quietly, and the job run now as well.
    appState = AppState();
    sheet = Apply("-start -install");
    EXPECT_TRUE(serviceControl.IsServiceInstalled());
    EXPECT_EQ(serviceControl.quiet, 1u);
    EXPECT_EQ(sheet->options.runNow, 1u);
    EXPECT_EQ(sheet->header.nStartPage, (UINT)kOptionsPageIndex) << "start comes after install";
    EXPECT_EQ(sheet->options.autoFinish, 1u);
    for (const std::string& line : ntsim::TranscriptLines()) EXPECT_NE(line.find("box "), 0u) << "quiet: " << line;
    DestroyWizardSheet();
}

TEST_F(AppStartup, UnattendedInstallAndTheTemporaryCopyEndWithoutTheWizard) {
    Start("nt4-workstation");
    EXPECT_EQ(InitializeProgram("-autoinstall -quiet -log:C:\\run.log"), 1);
    EXPECT_EQ(RunStartedProgram(), 1);
    EXPECT_TRUE(serviceControl.IsServiceInstalled());
    EXPECT_EQ(wizardSheet, nullptr) << "discarded";
    EXPECT_TRUE(std::filesystem::exists(Host("tessiv.sid")));
    // The temporary copy deletes the file it is given and applies nothing else.
    std::ofstream(Host("victim.exe")) << "program";
    appState = AppState();
    jobSettings->changeComputerName = 0;
    EXPECT_EQ(InitializeProgram("-quiet -name:OTHER \"-deletenow:C:\\victim.exe\""), 1);
    EXPECT_EQ(RunStartedProgram(), 1);
    EXPECT_FALSE(std::filesystem::exists(Host("victim.exe")));
    EXPECT_EQ(jobSettings->changeComputerName, 0u);
    for (const std::string& line : ntsim::TranscriptLines()) EXPECT_EQ(line.find("shown: "), std::string::npos) << line;
}

}  // namespace
