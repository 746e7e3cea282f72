// Machine role and environment checks: the platform version class, the role in
// a domain, the refusal of directory domain controllers, the product suite, and
// whether the operator may run the job.
#pragma once
#include "core/job_settings.h"
#include "nt/win32.h"

// OsVersionClass: 0 unknown, 1 Win32s, 2-4 Windows 9x, 5 NT 3.51, 6 NT 4.0, 7 NT 5.0,
// 8 other NT versions (5.1, 5.2, ...), 9 NT 6.0.
typedef int OsVersionClass;

// MachineRole values.
enum MachineRole { kStandAlone = 0, kDomainMember = 1, kPrimaryDomainController = 2, kBackupDomainController = 3 };

extern int machineRole;    // the process-wide role, set once at start-up
extern DWORD platformId;   // dwPlatformId of the version record, kept beside the class

// ProcessMutex: an unnamed mutex created at process start and closed at its end,
// with the number of locks held through it. It guards the version class's first computation.
struct ProcessMutexRecord {
    HANDLE handle;
    LONG locks;
    BOOL Create();  // process start: also forgets any version class computed before
    BOOL Lock(DWORD timeoutMs);
    void Unlock();
    void Close();
};
extern ProcessMutexRecord ProcessMutex;

OsVersionClass GetOsVersionClass();
// The role from the server information (waiting up to 30 s in the service, 5 s otherwise
// while the server service starts) and the policy.
int DetectMachineRole(BOOL inService);
BOOL IsDomainMember();
BOOL IsProductSuiteInstalled(const char* suiteName);
BOOL CheckAdministrator(JobSettings* job);

// A primary domain controller on NT 5.0 or later runs a directory-based domain.
BOOL IsDirectoryDomainController(int role, OsVersionClass versionClass);
// Shows the refusal box when the machine must be refused; TRUE then.
BOOL RefuseDirectoryDomainController(int role, OsVersionClass versionClass);
