// The service entry "Tessiv": install, remove, probe, and the system error text of their messages.
#include "service/service_entry.h"

#include <cstdio>
#include <cstring>

#include "core/output.h"

const char* const kServiceName = "Tessiv";
const char* const kServiceDisplayName = "Quorvel Tessiv Service";

// Status reports carry SERVICE_WIN32, not the own-process type the entry is created with.
ServiceControl serviceControl = {
    0, nullptr, 0, {SERVICE_WIN32, 0, SERVICE_ACCEPT_STOP, 0, 0, 0, 0}, nullptr, "", "Tessiv", "Quorvel Tessiv Service",
    "", 0, nullptr, nullptr, nullptr, nullptr};

namespace {

void ShowError(const char* format, const char* first, const char* second = nullptr) {
    char text[1536];
    if (second)
        snprintf(text, sizeof text, format, first, second);
    else
        snprintf(text, sizeof text, format, first);
    ShowAppMessage(nullptr, text, MB_ICONERROR);
}

}  // namespace

void ServiceControl::FormatSystemError() {
    DWORD code = GetLastError();
    LPSTR message = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                  nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), (LPSTR)&message, 0, nullptr);
    if (length == 0 || !message) {
        ShowAppMessage(nullptr, "Internal Error: Error text buffer too small", MB_ICONERROR);
        ExitProcess(1);
    }
    // The system's text ends with a line end.
    size_t size = strlen(message);
    message[size >= 2 ? size - 2 : 0] = 0;
    snprintf(errorText, sizeof errorText, "Error %d - %s", (int)code, message);
    LocalFree(message);
}

int ServiceControl::IsServiceInstalled() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return 0;
    SC_HANDLE service = OpenServiceA(manager, serviceName, SERVICE_ALL_ACCESS);
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return service ? 1 : 0;
}

int ServiceControl::InstallService() {
    if (IsServiceInstalled()) RemoveService();  // its own messages tell what went wrong

    char program[512];
    if (GetModuleFileNameA(nullptr, program, sizeof program) == 0) {
        FormatSystemError();
        ShowError("Unable to install %s - %s\n", displayName, errorText);
        return 0;
    }
    // Quoted: an unquoted path with a space would let the manager start C:\Program.exe
    // (or C:\Program Files\Some.exe) as the local system in its place.
    char quoted[sizeof program + 2];
    snprintf(quoted, sizeof quoted, "\"%s\"", program);
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (!manager) {
        FormatSystemError();
        ShowError("OpenSCManager failed - %s\n", errorText);
        return 0;
    }
    SC_HANDLE service = CreateServiceA(manager, serviceName, displayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, quoted, nullptr, nullptr,
                                       dependencies, nullptr, nullptr);
    if (!service) {
        FormatSystemError();
        ShowError("CreateService failed - %s", errorText);
        CloseServiceHandle(manager);
        return 0;
    }
    if (!quiet) {
        char text[512];
        snprintf(text, sizeof text, "%s installed successfully and will run upon next boot.", displayName);
        ShowAppMessage(nullptr, text, MB_ICONINFORMATION);
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 1;
}

int ServiceControl::RemoveService() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        FormatSystemError();
        ShowError("OpenSCManager failed - %s\n", errorText);
        return 0;
    }
    SC_HANDLE service = OpenServiceA(manager, serviceName, SERVICE_ALL_ACCESS);
    if (!service) {
        FormatSystemError();
        ShowError("OpenService failed - %s\n", errorText);
        CloseServiceHandle(manager);
        return 0;
    }
    int result = 1;
    // An entry already marked for deletion goes when its service stops: that is success too.
    if (!DeleteService(service) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
        FormatSystemError();
        ShowError("DeleteService failed - %s\n", errorText);
        result = 0;
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return result;
}
