// The service run and the status window. The threads talk through window messages and
// the job's stage number only: the worker reports progress by messages to the status
// window, the abort suspends it, waits for stage 3 and terminates it.
#include "service/service_run.h"

#include <cstdio>
#include <cstring>

#include "core/job_settings.h"
#include "core/output.h"
#include "engine/hive_copies.h"
#include "engine/stage_driver.h"
#include "engine/sync_file.h"
#include "identity/computer_name.h"
#include "replace/file_walk.h"
#include "service/restart.h"
#include "service/prep_tool.h"
#include "service/service_entry.h"
#include "service/temporary_copy.h"
#include "wizard/resource.h"

INT_PTR (*newNameDialog)(HWND owner) = nullptr;
HWND serviceWindow = nullptr;

namespace {

DWORD checkpoint = 1;  // increases with every pending report, never reset
const char* const kFatalRestore =
    "FATAL ERROR\nAn error has occured restoring the original configuration\ninformation for this system. Your system "
    "may be in an\nunstable state.\n\nPlease report this problem to technical support.";

void WriteEventLog(const char* text) {
    serviceControl.lastError = GetLastError();
    HANDLE source = RegisterEventSourceA(nullptr, serviceControl.serviceName);
    if (!source) return;
    char first[512];
    snprintf(first, sizeof first, "\n\n%s error: %d", serviceControl.serviceName, (int)serviceControl.lastError);
    const char* strings[2] = {first, text};
    ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 2, 0, strings, nullptr);
    DeregisterEventSource(source);
}

bool WorkerEnded(HANDLE worker) { return !worker || WaitForSingleObject(worker, 0) == WAIT_OBJECT_0; }

// Suspends the worker where it has no step half done (UnbrokenStep): a line half written
// to the log would keep the stream locked, a file rewritten but not recorded would be
// missed by the restore.
void SuspendBetweenSteps(HANDLE worker) {
    SuspendThread(worker);
    while (unbrokenSteps > 0 && !WorkerEnded(worker)) {
        ResumeThread(worker);
        Sleep(1);
        SuspendThread(worker);
    }
}

// A job is running while a worker exists that has not ended.
bool JobRunning() { return jobSettings && !WorkerEnded(jobSettings->workerThread); }

// The clean-up run (and the recovery it may make) changes nothing that a restore could
// put back. Its stage number becomes -1 only once its opening steps are done; before
// that the stored settings that chose it say so.
bool IsCleanupRun(const JobSettings* job) { return job->stage == -1 || (job->cleanOnly && job->stage <= 0); }

LRESULT CALLBACK ServiceWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        serviceWindow = nullptr;
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

void EndCurrentDialog(INT_PTR result) {
    if (currentDialog) EndDialog(currentDialog, result);
}

// Names of the process's window station and the thread's desktop (1024-byte buffers).
bool ObjectName(HANDLE object, char* name) {
    DWORD needed = 0;
    name[0] = 0;
    return object && GetUserObjectInformationA(object, UOI_NAME, name, 1024, &needed);
}

}  // namespace

DWORD WINAPI ServiceDispatcherThread(LPVOID) {
    SERVICE_TABLE_ENTRYA table[2] = {{serviceControl.serviceName, ServiceMainEntry}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) {
        char text[64];
        snprintf(text, sizeof text, "Error %d dispatching service", (int)GetLastError());
        ShowAppMessage(nullptr, text, MB_ICONHAND);
    }
    return 0;
}

BOOL ReportServiceStatus(DWORD state, DWORD exitCode, DWORD waitHint) {
    // A service entry that is gone (or a manager that is closed to us) gets no reports.
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return 1;
    SC_HANDLE service = OpenServiceA(manager, serviceControl.serviceName, SERVICE_ALL_ACCESS);
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (!service) return 1;

    SERVICE_STATUS& s = serviceControl.status;
    s.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
    s.dwCurrentState = state;
    s.dwWin32ExitCode = exitCode;
    s.dwWaitHint = waitHint;
    s.dwCheckPoint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : checkpoint++;
    BOOL ok = SetServiceStatus(serviceControl.statusHandle, &s);
    if (!ok) WriteEventLog("SetServiceStatus");
    return ok;
}

void WINAPI ServiceMainEntry(DWORD argc, LPSTR* argv) {
    serviceControl.argCount = argc;
    serviceControl.argValues = argv;
    serviceControl.statusHandle = RegisterServiceCtrlHandlerA(serviceControl.serviceName, ServiceControlHandler);
    if (!serviceControl.statusHandle) {
        WriteEventLog("Error registering service control handler");
        return;
    }
    do {
        if (!ReportServiceStatus(SERVICE_START_PENDING, 0, 100)) break;
        ReportServiceStatus(SERVICE_START_PENDING, 0, 250);
        WNDCLASSA windowClass;
        memset(&windowClass, 0, sizeof windowClass);
        windowClass.lpfnWndProc = ServiceWindowProc;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.hIcon = LoadIconA(windowClass.hInstance, MAKEINTRESOURCEA(IDI_TESSIV));
        windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
        windowClass.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
        windowClass.lpszClassName = serviceControl.serviceName;
        if (!RegisterClassA(&windowClass)) {
            ShowAppMessage(nullptr, "Error: Unable to register Main Service Window", MB_ICONHAND);
            break;
        }
        serviceWindow = CreateWindowExA(0, serviceControl.serviceName, serviceControl.serviceName, WS_OVERLAPPEDWINDOW,
                                        CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                                        windowClass.hInstance, nullptr);
        if (!serviceWindow) {
            ShowAppMessage(nullptr, "Error: Unable to create Main Service Window", MB_ICONHAND);
            break;
        }
        ReportServiceStatus(SERVICE_START_PENDING, 0, 250);
        ReportServiceStatus(SERVICE_RUNNING, 0, 250);
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        ReportServiceStatus(SERVICE_STOP_PENDING, 0, 100);
        if (serviceWindow) DestroyWindow(serviceWindow);
        EndCurrentDialog(0);
        ReportServiceStatus(SERVICE_STOPPED, 0, 0);
    } while (false);
    if (serviceControl.statusHandle) ReportServiceStatus(SERVICE_STOPPED, 0, 0);
}

void WINAPI ServiceControlHandler(DWORD control) {
    // A stop while the job runs would cut it off half-way: it is refused until the job has
    // ended (the operator's Abort is the way to stop a running job).
    if (control == SERVICE_CONTROL_STOP && !JobRunning()) {
        serviceControl.status.dwCurrentState = SERVICE_STOP_PENDING;
        ReportServiceStatus(SERVICE_STOP_PENDING, 0, 0);
        ReportServiceStatus(SERVICE_STOP_PENDING, 0, 100);
        if (serviceWindow) SendNotifyMessageA(serviceWindow, WM_DESTROY, 0, 0);
        EndCurrentDialog(0);
        ReportServiceStatus(SERVICE_STOPPED, 0, 0);
        serviceControl.status.dwCurrentState = SERVICE_STOPPED;
    }
    ReportServiceStatus(serviceControl.status.dwCurrentState, 0, 0);
}

int IsOnInteractiveDesktop() {
    char station[1024], desktop[1024];
    serviceControl.originalStation = GetProcessWindowStation();
    serviceControl.originalDesktop = GetThreadDesktop(GetCurrentThreadId());
    if (!ObjectName(serviceControl.originalStation, station) || !ObjectName(serviceControl.originalDesktop, desktop))
        return 0;
    return lstrcmpiA(station, "WinSta0") == 0 && lstrcmpiA(desktop, "Default") == 0 ? 1 : 0;
}

int SwitchToInteractiveDesktop() {
    if (IsOnInteractiveDesktop()) return 0;
    const char* failure = nullptr;
    serviceControl.openedStation = OpenWindowStationA("WinSta0", TRUE, MAXIMUM_ALLOWED);
    if (!serviceControl.openedStation) {
        failure = "Error %d opening window station";
    } else if (!SetProcessWindowStation(serviceControl.openedStation)) {
        failure = "Error %d setting window station";
    } else {
        serviceControl.openedDesktop = OpenDesktopA("Default", 0, TRUE, MAXIMUM_ALLOWED);
        if (!serviceControl.openedDesktop)
            failure = "Error %d opening desktop";
        else if (!SetThreadDesktop(serviceControl.openedDesktop))
            failure = "Error %d setting desktop";
    }
    if (!failure) return 1;
    DWORD error = GetLastError();
    // Undo in reverse order what was done.
    SetProcessWindowStation(serviceControl.originalStation);
    if (serviceControl.openedDesktop) CloseDesktop(serviceControl.openedDesktop);
    if (serviceControl.openedStation) CloseWindowStation(serviceControl.openedStation);
    SetThreadDesktop(serviceControl.originalDesktop);
    serviceControl.openedDesktop = nullptr;
    serviceControl.openedStation = nullptr;
    char text[128];
    snprintf(text, sizeof text, failure, (int)error);
    SetLastError(error);
    WriteEventLog(text);
    return -1;
}

BOOL RestoreOriginalDesktop() {
    BOOL ok = SetThreadDesktop(serviceControl.originalDesktop);
    ok = SetProcessWindowStation(serviceControl.originalStation) && ok;
    if (serviceControl.openedDesktop) CloseDesktop(serviceControl.openedDesktop);
    if (serviceControl.openedStation) CloseWindowStation(serviceControl.openedStation);
    serviceControl.openedDesktop = nullptr;
    serviceControl.openedStation = nullptr;
    return ok;
}

int AbortAndRestore(int userRequested) {
    JobSettings* job = jobSettings;
    // One abort at a time: the question and the restore's boxes let the status window's
    // messages through, and a second Abort or Close there must not start a second restore
    // and restart. The worker's own restore after a failure ends the job: it stays marked.
    LONG& abortUnderWay = job->abortUnderWay;
    if (!userRequested && !abortUnderWay) abortUnderWay = 2;
    if (userRequested) {
        HANDLE worker = job->workerThread;
        // A worker that has ended has already restored or restarted: nothing is left to abort.
        if (WorkerEnded(worker)) return 1;
        if (abortUnderWay) return 0;
        if (IsCleanupRun(job)) {
            abortUnderWay = 1;
            ShowAppMessage(currentDialog, "The clean-up of the previous run cannot be aborted.", MB_ICONINFORMATION);
            abortUnderWay = 0;
            return 0;
        }
        SuspendBetweenSteps(worker);
        // The worker's own restore began before it was stopped: it finishes the job.
        if (abortUnderWay) {
            ResumeThread(worker);
            return 0;
        }
        abortUnderWay = 1;
        HWND abortButton = currentDialog ? GetDlgItem(currentDialog, IDCANCEL) : nullptr;
        if (abortButton) EnableWindow(abortButton, FALSE);
        if (ShowAppMessage(currentDialog, "Are you sure you want to abort this procedure?", MB_YESNOCANCEL) != IDYES) {
            if (abortButton) EnableWindow(abortButton, TRUE);
            abortUnderWay = 0;
            ResumeThread(worker);
            return 0;
        }
        if (job->stage <= 2) {
            // The original hives must be saved before the job can be stopped: the worker
            // goes on and stops itself as stage 3 begins, before it changes anything.
            stopAtStageThree = 1;
            ResumeThread(worker);
            while (job->stage <= 2 && !WorkerEnded(worker)) {
                MSG msg;
                while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                    TranslateMessage(&msg);
                    DispatchMessageA(&msg);
                }
                Sleep(10);
            }
            // A worker that ended before stage 3 has restored or restarted by itself.
            if (WorkerEnded(worker)) {
                stopAtStageThree = 0;
                return 1;
            }
            SuspendBetweenSteps(worker);
        }
        TerminateThread(worker, 0xFFFFFFFF);
        stopAtStageThree = 0;
        StatusLine("Aborting process at user request...", logStream);
    }

    int hives;
    if (RestoreFileSystemSecurity() == -1) {
        ReportError(kFatalRestore, logStream);
        hives = 0;
    } else {
        hives = RestoreOriginalHives();
        if (hives == -1)
            ReportError(kFatalRestore, logStream);
        else
            WithdrawSyncFile(job, job->newSidText);
    }
    if (serviceControl.IsServiceInstalled() &&
        ShowAppMessage(nullptr, "Do you want to remove the service entry so it won't run again upon next boot?",
                       MB_YESNOCANCEL) == IDYES &&
        !serviceControl.RemoveService())
        ReportError("Error: Unable to remove service. You will need to remove it manually by typing \"tessiv -remove\" "
                    "at the command line.",
                    logStream);
    if (hives == 1) {
        job->systemShutDown = 1;
        job->SaveSettings(0);
        RestartComputer("Original Configuration Restored\nby Quorvel Tessiv Utility", 5);
    }
    EndCurrentDialog(0);
    return 1;
}

DWORD WINAPI RunWorker(LPVOID) {
    int result = RunJob();
    if (result == 0) {
        jobSettings->systemShutDown = 1;
        jobSettings->SaveSettings(0);
        RestartComputer("System Configuration Updated by Quorvel Tessiv Utility", 5);
    } else if (result == kJobRecovered) {
        // The original hives of a run cut off by a power loss come back at this restart.
        jobSettings->systemShutDown = 1;
        jobSettings->SaveSettings(0);
        RestartComputer("Original Configuration Restored\nby Quorvel Tessiv Utility", 5);
    }
    EndCurrentDialog(0);
    if (serviceWindow) SendNotifyMessageA(serviceWindow, WM_DESTROY, 0, 0);
    return 0;
}

INT_PTR CALLBACK StatusWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            currentDialog = window;
            HICON icon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_TESSIV));
            SendMessageA(window, WM_SETICON, ICON_BIG, (LPARAM)icon);
            SendMessageA(window, WM_SETICON, ICON_SMALL, (LPARAM)icon);
            SetDlgItemTextA(window, kDetailControl, "Initializing...");
            detailControl = GetDlgItem(window, kDetailControl);
            // The walks' progress lines reach the detail line only at this timer's ticks.
            SetTimer(window, kProgressTimer, kProgressInterval, nullptr);
            // The worker starts only now, so that its first stage headings and its name
            // prompt find this window instead of none.
            if (lParam) ResumeThread((HANDLE)lParam);
            return TRUE;
        }
        case WM_SHOWWINDOW:
            detailControl = GetDlgItem(window, kDetailControl);
            return FALSE;
        case WM_TIMER:
            if (wParam == kProgressTimer) ShowLatestProgressLine();
            return TRUE;
        case WM_DESTROY:
            KillTimer(window, kProgressTimer);
            if (currentDialog == window) currentDialog = nullptr;
            detailControl = nullptr;
            return FALSE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDCANCEL && AbortAndRestore(1)) EndDialog(window, IDCANCEL);
            return TRUE;
        case WM_SYSCOMMAND: {
            UINT command = (UINT)(wParam & 0xFFF0);
            if (command == SC_MINIMIZE || command == SC_RESTORE) {
                LRESULT r = DefWindowProcA(window, message, wParam, lParam);
                RedrawWindow(GetDesktopWindow(), nullptr, nullptr, 0x287);
                SetWindowLongPtrA(window, DWLP_MSGRESULT, r);
                return TRUE;
            }
            if (command == SC_CLOSE) {
                // Closing goes the way of the Abort button: the job is never cut off half-way.
                if (AbortAndRestore(1)) EndDialog(window, IDOK);
                return TRUE;
            }
            return FALSE;
        }
        case AskNewComputerName: {
            // From the worker, which waits for the answer: the prompt runs on this window's thread.
            DWORD* accepted = (DWORD*)wParam;
            NewNameRequest* request = (NewNameRequest*)lParam;
            if (accepted && request) {
                INT_PTR answer = newNameDialog ? newNameDialog(currentDialog) : IDCANCEL;
                request->dialog = nullptr;
                if (answer == IDOK) *accepted = 1;
            }
            SetWindowLongPtrA(window, DWLP_MSGRESULT, 1);
            return TRUE;
        }
    }
    return FALSE;
}

void RemoveServiceWithoutJob() {
    SetLastError(ERROR_FILE_NOT_FOUND);
    WriteEventLog("No stored settings of a job: the service runs no job and removes its entry");
    serviceControl.RemoveService();
}

void ConnectJobCallbacks() {
    jobCallbacks.abortAndRestore = AbortAndRestore;
    jobCallbacks.isServiceInstalled = [] { return (BOOL)serviceControl.IsServiceInstalled(); };
    jobCallbacks.removeService = [] { return (BOOL)serviceControl.RemoveService(); };
    jobCallbacks.removePrepToolPassword = RemovePrepToolPassword;
    jobCallbacks.launchSelfDelete = LaunchSelfDelete;
    jobCallbacks.writeEventLog = WriteEventLog;
}
