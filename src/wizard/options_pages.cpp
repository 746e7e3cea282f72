// The wizard's last two pages: the program options (the job's choices, the rules that
// enable and disable them, run now or at the next boot) and the install page, with the
// two ways of ending the wizard: StartJob and InstallForNextBoot.
#include <cstdio>
#include <cstring>

#include "core/job_settings.h"
#include "core/output.h"
#include "engine/command_line.h"
#include "engine/hive_copies.h"
#include "identity/computer_name.h"
#include "identity/role_checks.h"
#include "service/service_entry.h"
#include "wizard/resource.h"
#include "wizard/wizard_pages.h"
#include "wizard/wizard_sheet.h"

namespace {

const char* const kTerminalServerSuite = "Terminal Server";
// Explorer style, path must exist, hide read-only. Not "file must exist": the log is a
// file to be created, which a person could not choose otherwise.
const DWORD kLogDialogFlags = 0x80804;

BOOL IsTerminalServer() { return IsProductSuiteInstalled(kTerminalServerSuite); }

// The help string shown when a control of the options page gets the focus.
UINT OptionsHelp(WORD controlId) {
    switch (controlId) {
    case IDC_NEWNAME:
        return IDS_HELP_NEWNAME;
    case IDC_USESYSPREP:
        return IDS_HELP_SYSPREP;
    case IDC_RUN_NOW:
        return IDS_HELP_RUNNOW;
    case IDC_RUN_NEXTBOOT:
        return IDS_HELP_NEXTBOOT;
    case IDC_USELOG:
        return IDS_HELP_USELOG;
    case IDC_LOGNAME:
        return IDS_HELP_LOGNAME;
    case IDC_BROWSE_LOG:
        return IDS_HELP_BROWSE;
    case IDC_VERBOSE:
        return IDS_HELP_VERBOSE;
    }
    return 0;
}

// The machine's own name stays as it is, whatever rules a new name must follow.
BOOL IsCurrentComputerName(const char* name) {
    char current[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = sizeof current;
    return GetComputerNameA(current, &size) && lstrcmpiA(current, name) == 0;
}

BOOL IsFocusNotification(WPARAM notificationAndId) {
    WORD code = HIWORD(notificationAndId);
    return code == EN_SETFOCUS || code == BN_SETFOCUS;
}

}  // namespace

OptionsPage::OptionsPage(WizardSheet* owner)
    : WizardPage(owner, IDD_OPTIONS), browseIcon(nullptr), useLog(jobSettings->useLogFile), verbose(verboseLog),
      runNow(1), autoFinish(0), useSysPrep(jobSettings->useSysPrep), processFs(jobSettings->processFileSystem) {
    newName[0] = 0;
    if (jobSettings->changeComputerName) {
        CopyField(newName, sizeof newName, jobSettings->newComputerName);
    } else {
        DWORD size = sizeof newName;
        if (!GetComputerNameA(newName, &size)) newName[0] = 0;
    }
    CopyField(logName, sizeof logName, jobSettings->logFileName);
}

void OptionsPage::ButtonsForRunChoice() {
    if (Checked(IDC_RUN_NOW)) {
        SetButtons(PSWIZB_BACK | PSWIZB_FINISH);
        SetFinishText("&Start");
    } else {
        SetButtons(PSWIZB_BACK | PSWIZB_NEXT);
    }
}

void OptionsPage::UpdateOptionsControls() {
    BOOL unattended = sheet->unattended != 0;
    Enable(IDC_USESYSPREP,
           machineRole != kPrimaryDomainController && machineRole != kBackupDomainController && !IsTerminalServer());
    BOOL sysprep = Checked(IDC_USESYSPREP);
    Enable(IDC_NEWNAME, !sysprep);
    BOOL radios = !unattended && !sysprep && machineRole != kBackupDomainController;
    Enable(IDC_RUN_NOW, radios);
    Enable(IDC_RUN_NEXTBOOT, radios);
    if (sysprep || unattended) {
        runNow = 0;
        CheckRadioButton(window, IDC_RUN_NOW, IDC_RUN_NEXTBOOT, IDC_RUN_NEXTBOOT);
    } else if (machineRole == kBackupDomainController) {
        runNow = 1;
        CheckRadioButton(window, IDC_RUN_NOW, IDC_RUN_NEXTBOOT, IDC_RUN_NOW);
    }
    ButtonsForRunChoice();
}

void OptionsPage::EnableLogControls() {
    BOOL on = Checked(IDC_USELOG);
    Enable(IDC_LOGNAME, on);
    Enable(IDC_BROWSE_LOG, on);
    Enable(IDC_VERBOSE, on);
}

int OptionsPage::OnInitDialog() {
    browseIcon = LoadIconA(sheet->instance, MAKEINTRESOURCEA(IDI_BROWSE));
    SendDlgItemMessageA(window, IDC_BROWSE_LOG, BM_SETIMAGE, IMAGE_ICON, (LPARAM)browseIcon);
    // Typing stops where the job record's fields end.
    SendDlgItemMessageA(window, IDC_NEWNAME, EM_LIMITTEXT, kMaxComputerName, 0);
    SendDlgItemMessageA(window, IDC_LOGNAME, EM_LIMITTEXT, MAX_PATH - 1, 0);
    UpdateOptionsControls();
    DataExchange(0);
    return 0;
}

int OptionsPage::OnSetActive() {
    SetButtons(PSWIZB_BACK | PSWIZB_NEXT);
    EnableLogControls();
    ButtonsForRunChoice();
    UpdateOptionsControls();
    if (autoFinish) PostMessageA(GetParent(window), PSM_PRESSBUTTON, PSBTN_FINISH, 0);
    return 1;
}

int OptionsPage::OnCommand(WORD controlId, WPARAM notificationAndId, HWND) {
    if (IsFocusNotification(notificationAndId)) {
        if (UINT help = OptionsHelp(controlId)) ShowString(IDC_OPTIONS_HELP, help);
        return 0;
    }
    if (HIWORD(notificationAndId) != BN_CLICKED) return 0;
    switch (controlId) {
    case IDC_USELOG:
        EnableLogControls();
        break;
    case IDC_BROWSE_LOG:
        BrowseLog();
        break;
    case IDC_RUN_NOW:
    case IDC_RUN_NEXTBOOT:
        ButtonsForRunChoice();
        break;
    case IDC_USESYSPREP:
        UpdateOptionsControls();
        break;
    }
    return 0;
}

void OptionsPage::BrowseLog() {
    BrowseFile(IDC_LOGNAME, true, "Create Log File",
               "Log File (*.log)\0*.log\0Text Files (*.txt)\0*.txt\0All Files (*.*)\0*.*\0", "log", kLogDialogFlags);
}

int OptionsPage::DataExchange(int save) {
    if (!save) {
        SetDlgItemTextA(window, IDC_NEWNAME, newName);
        SetDlgItemTextA(window, IDC_LOGNAME, logName);
        Check(IDC_USELOG, useLog);
        Check(IDC_VERBOSE, verbose);
        Check(IDC_USESYSPREP, useSysPrep);
        Check(IDC_PROCESSFS, processFs);
        CheckRadioButton(window, IDC_RUN_NOW, IDC_RUN_NEXTBOOT, runNow ? IDC_RUN_NOW : IDC_RUN_NEXTBOOT);
        return 1;
    }
    char name[64];
    size_t nameLength = ReadText(IDC_NEWNAME, name, sizeof name);
    size_t logLength = ReadText(IDC_LOGNAME, logName, sizeof logName);
    verbose = Checked(IDC_VERBOSE);
    useLog = Checked(IDC_USELOG);
    runNow = Checked(IDC_RUN_NOW);
    useSysPrep = Checked(IDC_USESYSPREP);
    processFs = Checked(IDC_PROCESSFS);
    // A name that is not a computer name (too long, characters a name cannot hold) is
    // refused here rather than by the job after it has begun.
    char why[256] = "";
    if (nameLength > kMaxComputerName ||
        (name[0] && !IsCurrentComputerName(name) && !CheckComputerName(name, why, sizeof why))) {
        if (nameLength > kMaxComputerName)
            snprintf(why, sizeof why, "The computer name may not be longer than %u characters.", (unsigned)kMaxComputerName);
        return Refuse(IDC_NEWNAME, why, MB_OK | MB_ICONERROR);
    }
    CopyField(newName, sizeof newName, name);
    if (!useLog) return 1;
    if (!FileNameFits(IDC_LOGNAME, logName, logLength, sizeof jobSettings->logFileName,
                      "You must specify a log file or uncheck the option before proceeding", IDS_UNC_LOGFILE))
        return 0;
    // A run that presses Finish by itself (the service at boot) has nobody to correct the
    // name: the log's writer makes its folder or falls back to the default log.
    if (autoFinish) return 1;
    std::string missing = MissingFolderText(logName);
    if (!missing.empty()) return Refuse(IDC_LOGNAME, missing.c_str(), MB_OK | MB_ICONERROR);
    return 1;
}

int OptionsPage::OnWizardNext() {
    if (!DataExchange(1)) return -1;
    verboseLog = verbose;
    jobSettings->processFileSystem = processFs;
    jobSettings->useLogFile = useLog;
    if (useLog && logName[0]) CopyField(jobSettings->logFileName, sizeof jobSettings->logFileName, logName);
    jobSettings->useSysPrep = useSysPrep;
    if (newName[0] == 0) {
        // Asked for while the job runs.
        jobSettings->changeComputerName = 1;
        jobSettings->newComputerName[0] = 0;
        return 0;
    }
    char current[257];
    DWORD size = sizeof current;
    if (!GetComputerNameA(current, &size)) {
        ShowAppMessage(nullptr, "Unable to obtain current computer name", MB_OK);
        return -1;
    }
    if (lstrcmpiA(newName, current) != 0) {
        jobSettings->changeComputerName = 1;
        CopyField(jobSettings->newComputerName, sizeof jobSettings->newComputerName, newName);
    } else {
        jobSettings->changeComputerName = 0;
    }
    return 0;
}

int OptionsPage::OnWizardFinish() { return StartJob(); }

int OptionsPage::StartJob() {
    if (OnWizardNext() == -1) return 0;
    // A job run now has the one-shot service too: at the next boot it cleans up, or, after a
    // power loss or crash, gives the original machine back. Without it nothing would.
    if (!serviceMode && !jobSettings->cleanOnly && !serviceControl.IsServiceInstalled()) {
        DWORD quiet = serviceControl.quiet;
        serviceControl.quiet = 1;
        int installed = serviceControl.InstallService();  // a failure has shown its box
        serviceControl.quiet = quiet;
        if (!installed) return 0;
    }
    const WizardActions& actions = sheet->actions;
    DWORD threadId = 0;
    HANDLE worker = actions.runWorker && actions.statusWindowProc
                        ? CreateThread(nullptr, 0, actions.runWorker, nullptr, CREATE_SUSPENDED, &threadId)
                        : nullptr;
    jobSettings->workerThread = worker;
    if (!worker) {
        Message("Error: Unable to create SID Replacement worker thread", MB_OK | MB_ICONERROR);
        return 0;
    }
    ShowWindow(GetParent(window), SW_HIDE);
    // The status window resumes the worker once it exists; without a window the job still runs.
    if (DialogBoxParamA(sheet->instance, MAKEINTRESOURCEA(IDD_STATUS), nullptr, actions.statusWindowProc,
                        (LPARAM)worker) == -1)
        ResumeThread(worker);
    // The window may close before the worker's last steps (the restart): the process
    // waits for them before the sheet closes and the program ends.
    if (WaitForSingleObject(worker, 0) != WAIT_OBJECT_0) WaitForSingleObject(worker, INFINITE);
    CloseHandle(worker);
    jobSettings->workerThread = nullptr;
    return 1;
}

InstallPage::InstallPage(WizardSheet* owner) : WizardPage(owner, IDD_INSTALL), cleanTemp(1), removeUtility(0) {}

int InstallPage::OnSetActive() {
    SetButtons(PSWIZB_BACK | PSWIZB_FINISH);
    SetFinishText("&Install");
    return 1;
}

int InstallPage::OnCommand(WORD controlId, WPARAM notificationAndId, HWND) {
    if (!IsFocusNotification(notificationAndId)) return 0;
    if (controlId == IDC_CLEANTEMP) ShowString(IDC_INSTALL_HELP, IDS_HELP_CLEANTEMP);
    if (controlId == IDC_REMOVEUTILITY) ShowString(IDC_INSTALL_HELP, IDS_HELP_REMOVE);
    return 0;
}

int InstallPage::DataExchange(int save) {
    if (!save) {
        Check(IDC_CLEANTEMP, cleanTemp);
        Check(IDC_REMOVEUTILITY, removeUtility);
    } else {
        cleanTemp = Checked(IDC_CLEANTEMP);
        removeUtility = Checked(IDC_REMOVEUTILITY);
    }
    return 1;
}

int InstallPage::OnWizardFinish() {
    DataExchange(1);
    InstallForNextBoot();
    if (jobSettings->useSysPrep && !sheet->unattended) MessageId(IDS_INSTALL_SYSPREP, MB_OK | MB_ICONINFORMATION);
    return 1;  // its failures have shown their own boxes
}

int InstallForNextBoot() {
    WizardSheet* sheet = wizardSheet;
    if (!sheet) return 0;
    jobSettings->removeExe = sheet->install.removeUtility;
    jobSettings->removeTemp = sheet->install.cleanTemp;
    CheckRegistryQuota();
    // On a Terminal Server an operator's run skips the administrator check and the SID file.
    BOOL relaxed = IsTerminalServer() && !sheet->unattended;
    if (!relaxed && !CheckAdministrator(jobSettings)) return 0;
    if (!jobSettings->SaveSettings(relaxed ? 0 : 1)) return 0;
    return serviceControl.InstallService();
}
