// Application start-up: the checks every start makes, in their order, and the four ways
// of running: the wizard, a command-line request, the service at boot, the temporary copy.
#include "wizard/app_startup.h"

#include <new>
#include <string>
#include <vector>

#include "core/job_settings.h"
#include "core/output.h"
#include "engine/hive_copies.h"
#include "engine/sync_file.h"
#include "identity/role_checks.h"
#include "replace/file_walk.h"
#include "service/prep_tool.h"
#include "service/service_entry.h"
#include "service/service_run.h"
#include "service/temporary_copy.h"
#include "wizard/small_dialogs.h"
#include "wizard/wizard_sheet.h"
#include "wizard/wow64_check.h"

AppState appState;

namespace {

HINSTANCE programInstance = nullptr;

const UINT kMessageNoMemory = 57349;
const UINT kMessageUncProgram = 57350;
const char* const kNoPermission =
    "Error: You do not have enough permissions to run this utility.\n\nPlease logon as the local system Administrator.";

std::vector<std::string> Arguments(const char* text) {
    std::vector<std::string> out;
    if (!text) return out;
    const char* p = text;
    while (*p) {
        while (*p == ' ' || *p == '\t') ++p;
        if (!*p) break;
        std::string arg;
        bool quoted = false;
        for (; *p && (quoted || (*p != ' ' && *p != '\t')); ++p) {
            if (*p == '\\') {
                // Backslashes are literal unless they stand before a double quote.
                size_t n = 0;
                while (p[n] == '\\') ++n;
                if (p[n] == '"') {
                    arg.append(n / 2, '\\');
                    p += n;
                    if (n % 2) {
                        arg += '"';
                        continue;
                    }
                    quoted = !quoted;
                    continue;
                }
                arg.append(n, '\\');
                p += n - 1;
            } else if (*p == '"') {
                quoted = !quoted;
            } else {
                arg += *p;
            }
        }
        out.push_back(arg);
    }
    return out;
}

}  // namespace

int InitializeProgram(const char* arguments) {
    char* path = new (std::nothrow) char[520];
    if (!path) {
        ShowAppMessageId(nullptr, kMessageNoMemory, MB_ICONHAND);
        return 0;
    }
    DWORD length = GetModuleFileNameA(nullptr, path, 520);
    bool unc = length > 2 && path[0] == '\\' && path[1] == '\\';
    delete[] path;
    if (unc) {
        ShowAppMessageId(nullptr, kMessageUncProgram, MB_ICONHAND);
        return 0;
    }
    // Read before anything else: the temporary copy, which the service starts on its own
    // station, must know itself from the service before the dispatcher is started.
    std::vector<std::string> args = Arguments(arguments);
    for (size_t i = 0; i < args.size(); ++i) {
        const char* a = args[i].c_str();
        BOOL prefix = *a == '-' || *a == '/';
        appState.options.ParseOption(prefix ? a + 1 : a, prefix, i + 1 == args.size());
    }
    // The service control manager waits only a short time for the dispatcher: it starts first.
    // The temporary copy was started by the service, not by the manager: no dispatcher.
    if (!appState.options.deleteNow && !IsOnInteractiveDesktop()) {
        appState.serviceThread = CreateThread(nullptr, 0, ServiceDispatcherThread, nullptr, 0, nullptr);
        if (!appState.serviceThread) {
            ShowAppMessage(nullptr, "Error: Unable to start Service Thread", MB_ICONHAND);
            return 0;
        }
        serviceMode = TRUE;
        appState.options.start = 1;
    }
    appState.richEditLibrary = LoadLibraryA("RICHED32.DLL");
    if (!appState.richEditLibrary) {
        ShowAppMessage(nullptr, "Error: Unable to initialize controls.", 0);
        return 0;
    }
    appState.role = machineRole = DetectMachineRole(serviceMode);
    if (RefuseDirectoryDomainController(appState.role, GetOsVersionClass())) return 0;

    if (!appState.options.ValidateOptions()) return 0;
    // The 32-bit program on a 64-bit Windows stops here, before the first change.
    if (RefuseOnWow64(appState.options)) return 0;

    if (appState.options.remove) {
        DeleteProgramKey();
        if (!serviceControl.IsServiceInstalled())
            ShowAppMessage(nullptr, "Service Not Installed.", 0);
        else if (serviceControl.RemoveService() && !appState.options.quiet)
            ShowAppMessage(nullptr, "Service Removed Successfully.", 0);
        return 0;
    }
    // The temporary copy, started by the service on its own station, only deletes the
    // program: reading the stored settings would create the program's key again after
    // the clean-up run removed it.
    if (serviceMode && !appState.options.deleteNow) {
        // Without stored settings a job with the default choices would start that nobody
        // asked for: a second SID change after a clean-up that a cut left half done.
        if (!StoredSettingsFound(jobSettings)) {
            RemoveServiceWithoutJob();
            return 0;
        }
        jobSettings->LoadSettings();
        // Whether this run writes the synchronization file is not stored: a primary
        // controller with a stored file name must write it, or its domain would lose the SID.
        jobSettings->writeSyncFile = appState.role == kPrimaryDomainController && jobSettings->dataFileName[0];
        if (jobSettings->cleanOnly) appState.options.clean = appState.options.start = 1;
        return 1;
    }
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager) {
        CloseServiceHandle(manager);
        return 1;
    }
    ShowAppMessage(nullptr, kNoPermission, MB_ICONHAND);
    return 0;
}

void ApplyOptions() {
    WizardSheet* sheet = wizardSheet;
    if (!sheet) return;
    CommandLineOptions& o = appState.options;
    JobSettings* job = jobSettings;
    OptionsPage& options = sheet->options;
    if (o.quiet) serviceControl.quiet = 1;
    if (o.deleteNow) {
        DeleteProgramFile(o.deleteNowPath.c_str());
        return;
    }
    if (o.dataGiven) {
        sheet->computerInfo.useFile = 1;
        CopyField(sheet->computerInfo.fileName, sizeof sheet->computerInfo.fileName, o.dataFile.c_str());
        job->writeSyncFile = appState.role == kPrimaryDomainController;
        job->useSyncFile = ReadsSyncFile(appState.role);
        CopyField(job->dataFileName, sizeof job->dataFileName, o.dataFile.c_str());
    }
    if (o.logGiven) {
        options.useLog = 1;
        job->useLogFile = 1;
        if (!o.logFile.empty()) {
            CopyField(options.logName, sizeof options.logName, o.logFile.c_str());
            CopyField(job->logFileName, sizeof job->logFileName, o.logFile.c_str());
        }
    }
    if (o.nameGiven) {
        job->changeComputerName = 1;
        CopyField(options.newName, sizeof options.newName, o.name.c_str());
        CopyField(job->newComputerName, sizeof job->newComputerName, o.name.c_str());
    }
    if (o.clean) {
        job->cleanOnly = 1;
        sheet->AutoStart();
    }
    if (o.deleteProgram) {
        job->removeExe = 1;
        sheet->install.removeUtility = 1;
    }
    if (o.install) {
        options.runNow = 0;
        sheet->StartOnInstallPage();
    }
    if (o.verbose) verboseLog = options.verbose = 1;
    if (o.sysprep) job->useSysPrep = options.useSysPrep = 1;
    if (!o.fileSystem) job->processFileSystem = options.processFs = 0;
    if (o.debug) debugMode = 1;
    if (o.start) {
        if (o.install) {
            options.runNow = 1;
            serviceControl.quiet = 1;
            InstallForNextBoot();
        }
        sheet->AutoStart();
    }
    if (o.autoinstall) {
        sheet->unattended = 1;
        if (o.quiet) {
            options.runNow = 0;
            InstallForNextBoot();
        }
    }
}

int RunStartedProgram() {
    CommandLineOptions& o = appState.options;
    if (!o.autoinstall && WaitForPrepTool() != 0) return -1;
    int switched = 0;
    // The temporary copy shows nothing: it stays on the station it was started on.
    if (!o.deleteNow && !IsOnInteractiveDesktop()) switched = SwitchToInteractiveDesktop();
    if (!CreateWizardSheet(programInstance, WizardActions{RunWorker, StatusWindow})) {
        ShowAppMessage(nullptr, "Program Error: Unable to create Property Sheet", 0);
        return -1;
    }
    SetLastError(0);
    ApplyOptions();
    if ((o.autoinstall && o.quiet) || o.deleteNow) {
        DestroyWizardSheet();
        return 1;
    }
    INT_PTR result = wizardSheet->Show();
    DestroyWizardSheet();
    if (switched == 1) RestoreOriginalDesktop();
    return (int)result;
}

int RunProgram(HINSTANCE instance, const char* arguments) {
    programInstance = instance;
    CreateJobSettings();
    ProcessMutex.Create();
    ConnectJobCallbacks();
    newNameDialog = ShowNewComputerName;
    int result = InitializeProgram(arguments) ? RunStartedProgram() : -1;
    if (serviceMode && serviceWindow) DestroyWindow(serviceWindow);
    // The dispatcher thread hands the service's stop to the service control manager (which
    // then drops an entry marked for deletion): the process ends after it, not before.
    if (appState.serviceThread) {
        WaitForSingleObject(appState.serviceThread, 5000);
        CloseHandle(appState.serviceThread);
        appState.serviceThread = nullptr;
    }
    if (appState.richEditLibrary) FreeLibrary(appState.richEditLibrary);
    appState.richEditLibrary = nullptr;
    FreeChangedFiles();
    ProcessMutex.Close();
    DestroyJobSettings();
    return result;
}
