// Application start-up: the checks every start makes, in their order, and the ways of
// running that need no wizard page.
#include "wizard/app_startup.h"

#include <cstring>
#include <new>
#include <ctime>
#include <string>
#include <vector>

#include "core/job_settings.h"
#include "core/output.h"
#include "engine/hive_copies.h"
#include "identity/role_checks.h"
#include "replace/file_walk.h"
#include "service/prep_tool.h"
#include "service/service_entry.h"
#include "service/service_run.h"
#include "service/temporary_copy.h"
#include "wizard/small_dialogs.h"

AppState appState;

namespace {

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

// A start that needs the wizard: this build has none yet, so the start ends and the log says why.
int NoWizard() {
    if (OpenLogFile(jobSettings->logFileName, "a+t")) {
        LogLine("Nothing to do: the wizard is not part of this program yet. Start it with -autoinstall -quiet, -start or "
                "-clean, or let the installed service run at the next boot.",
                logStream);
        CloseLogFile();
    }
    return -1;
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
    // The service control manager waits only a short time for the dispatcher: it starts first.
    if (!IsOnInteractiveDesktop()) {
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

    std::vector<std::string> args = Arguments(arguments);
    for (size_t i = 0; i < args.size(); ++i) {
        const char* a = args[i].c_str();
        BOOL prefix = *a == '-' || *a == '/';
        appState.options.ParseOption(prefix ? a + 1 : a, prefix, i + 1 == args.size());
    }
    if (!appState.options.ValidateOptions()) return 0;

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
        jobSettings->LoadSettings();
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

namespace {

// The install step of a command-line request ("-autoinstall -quiet", "start" with
// "install"): the settings (with the SID file) stored and the service installed. 1 or 0.
int InstallFromCommandLine(int removeUtility, int cleanTemp) {
    JobSettings* job = jobSettings;
    job->removeExe = removeUtility;
    job->removeTemp = cleanTemp;
    CheckRegistryQuota();
    bool terminalServer = IsProductSuiteInstalled("Terminal Server");
    bool skipChecks = terminalServer && !appState.unattended;
    if (!skipChecks && !CheckAdministrator(job)) return 0;
    if (!job->SaveSettings(skipChecks ? 0 : 1)) return 0;
    return serviceControl.InstallService();
}

}  // namespace

void ApplyOptions() {
    CommandLineOptions& o = appState.options;
    JobSettings* job = jobSettings;
    if (o.quiet) serviceControl.quiet = 1;
    if (o.deleteNow) {
        DeleteProgramFile(o.deleteNowPath.c_str());
        return;
    }
    if (o.dataGiven) {
        job->writeSyncFile = appState.role == kPrimaryDomainController;
        job->useSyncFile = appState.role == kBackupDomainController;
        snprintf(job->dataFileName, sizeof job->dataFileName, "%s", o.dataFile.c_str());
    }
    if (o.logGiven) {
        job->useLogFile = 1;
        if (!o.logFile.empty()) snprintf(job->logFileName, sizeof job->logFileName, "%s", o.logFile.c_str());
    }
    if (o.nameGiven) {
        job->changeComputerName = 1;
        snprintf(job->newComputerName, sizeof job->newComputerName, "%s", o.name.c_str());
    }
    if (o.clean) job->cleanOnly = 1;
    if (o.deleteProgram) job->removeExe = 1;
    if (o.verbose) verboseLog = 1;
    if (o.sysprep) job->useSysPrep = 1;
    if (!o.fileSystem) job->processFileSystem = 0;
    if (o.debug) debugMode = 1;
    if (o.start && o.install) {
        serviceControl.quiet = 1;
        InstallFromCommandLine(o.deleteProgram, 1);
    }
    if (o.autoinstall) {
        appState.unattended = 1;
        if (o.quiet) InstallFromCommandLine(o.deleteProgram, 1);
    }
}

int RunStartedProgram() {
    CommandLineOptions& o = appState.options;
    if (!o.autoinstall && WaitForPrepTool() != 0) return -1;
    int switched = 0;
    if (!IsOnInteractiveDesktop()) switched = SwitchToInteractiveDesktop();
    SetLastError(0);
    ApplyOptions();
    int result;
    if ((o.autoinstall && o.quiet) || o.deleteNow) {
        result = 1;
    } else if (o.start || o.clean) {
        // What the options page does when Finish is pressed by itself: the job runs behind the status window.
        result = (int)RunJobBehindStatusWindow(nullptr);
    } else {
        result = NoWizard();
    }
    if (switched == 1) RestoreOriginalDesktop();
    return result;
}

int RunProgram(HINSTANCE, const char* arguments) {
    CreateJobSettings();
    ProcessMutex.Create();
    ConnectJobCallbacks();
    newNameDialog = ShowNewComputerName;
    int result = InitializeProgram(arguments) ? RunStartedProgram() : -1;
    if (serviceMode && serviceWindow) DestroyWindow(serviceWindow);
    if (appState.richEditLibrary) FreeLibrary(appState.richEditLibrary);
    appState.richEditLibrary = nullptr;
    FreeChangedFiles();
    ProcessMutex.Close();
    DestroyJobSettings();
    return result;
}
