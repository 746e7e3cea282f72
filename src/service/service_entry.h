// The service's identity and record (ServiceControl), and the operations on its entry
// in the service control manager: IsServiceInstalled, InstallService, RemoveService,
// with FormatSystemError for the system's text of an error.
#pragma once
#include "nt/win32.h"

extern const char* const kServiceName;         // "Tessiv"
extern const char* const kServiceDisplayName;  // "Quorvel Tessiv Service"

struct ServiceControl {
    DWORD argCount;
    LPSTR* argValues;
    DWORD quiet;  // option "quiet": no success boxes for install and removal
    SERVICE_STATUS status;
    SERVICE_STATUS_HANDLE statusHandle;
    char errorText[1024];  // the last formatted system error, "Error %d - %s"
    char serviceName[256];
    char displayName[256];
    char dependencies[256];
    DWORD lastError;  // written to the event log
    HWINSTA originalStation;
    HDESK originalDesktop;
    HWINSTA openedStation;
    HDESK openedDesktop;

    // 1 when the entry can be opened with all access, else 0.
    int IsServiceInstalled();
    // Creates the entry for the running program (replacing an existing one). 1 or 0 (shown).
    int InstallService();
    // Deletes the entry (or finds it already marked for deletion). 1 or 0 (shown).
    int RemoveService();
    // errorText from the thread's last error; a text that cannot be had ends the process
    // with exit code 1 after one box.
    void FormatSystemError();
};

// The process's one record, initialised before the program's entry point runs.
extern ServiceControl serviceControl;
