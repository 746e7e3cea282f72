// A small program for tests that run inside a simulated machine: installs the service
// entry ("install"), runs as the service whose run is the end of a clean-up run (the entry
// removed, the temporary copy launched), and as the temporary copy ("-deletenow:").
#include <cstring>
#include <string>

#include "core/job_settings.h"
#include "core/output.h"
#include "nt/win32.h"
#include "service/service_entry.h"
#include "service/temporary_copy.h"

namespace {

SERVICE_STATUS_HANDLE g_status;

void Report(DWORD state) {
    SERVICE_STATUS s = {SERVICE_WIN32, state, state == SERVICE_RUNNING ? (DWORD)SERVICE_ACCEPT_STOP : 0, 0, 0, 0, 0};
    SetServiceStatus(g_status, &s);
}

VOID WINAPI Handler(DWORD) {}

VOID WINAPI ServiceMain(DWORD, LPSTR*) {
    g_status = RegisterServiceCtrlHandlerA(kServiceName, Handler);
    Report(SERVICE_RUNNING);
    serviceControl.quiet = 1;
    serviceControl.RemoveService();
    LaunchSelfDelete();
    Report(SERVICE_STOPPED);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR lpCmdLine, int) {
    std::string args = lpCmdLine ? lpCmdLine : "";
    CreateJobSettings();
    int rc = 0;
    if (args.rfind("-deletenow:", 0) == 0) {
        std::string path = args.substr(strlen("-deletenow:"));
        if (path.size() >= 2 && path.front() == '"' && path.back() == '"') path = path.substr(1, path.size() - 2);
        DeleteProgramFile(path.c_str());
    } else if (args == "install") {
        serviceControl.quiet = 1;
        rc = serviceControl.InstallService() ? 0 : 1;
    } else {
        serviceMode = TRUE;
        SERVICE_TABLE_ENTRYA table[] = {{(LPSTR)kServiceName, ServiceMain}, {nullptr, nullptr}};
        rc = StartServiceCtrlDispatcherA(table) ? 0 : 3;
    }
    DestroyJobSettings();
    return rc;
}
