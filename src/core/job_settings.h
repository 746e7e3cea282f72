// The job record (JobSettings): the run's choices, paths, SID values and texts,
// stage and handles; its stored form in the registry and SidFile; and the
// process environment operations EnablePrivilege, GetRunningAccount, GetWorkFolder.
#pragma once
#include <cstdio>

#include "core/sid_text.h"
#include "nt/win32.h"

struct JobSettings {
    const char* programKeyName;  // below "Software" in HKEY_LOCAL_MACHINE
    char previousWorkDirectory[MAX_PATH];
    char dataFileName[MAX_PATH];
    char workDirectory[MAX_PATH];
    char scratchPath[MAX_PATH];
    char userName[257];
    char accountDomainName[MAX_PATH];
    Sid* newSid;
    Sid* originalSid;
    Sid* newDomainSid;
    Sid* oldDomainSid;
    char originalSidText[kSidTextSize];
    char newSidText[kSidTextSize];
    char newDomainSidText[kSidTextSize];
    char oldDomainSidText[kSidTextSize];
    LONG stage;
    DWORD changesMade;
    DWORD cleanOnly;
    DWORD removeExe;
    DWORD changeComputerName;
    DWORD establishDomainTrust;
    DWORD writeSyncFile;
    DWORD useSyncFile;
    DWORD replaceDomainSid;
    DWORD removeTemp;
    DWORD useLogFile;
    DWORD useSysPrep;
    DWORD processFileSystem;
    char logFileName[MAX_PATH];
    FILE* syncFile;
    HANDLE workerThread;
    DWORD replacedCount;
    HKEY programKey;
    HKEY softwareKey;
    char message[1024];
    char newComputerName[16];
    DWORD systemShutDown;
    // The abort under way, one at a time (service run): 0 none, 1 the operator's, 2 the
    // worker's own restore after a failure. Never stored.
    LONG abortUnderWay;

    // The defaults of a fresh record.
    void SetDefaults();
    // Stores the fifteen values (and SidFile when asked). 1 or 0 (reported).
    int SaveSettings(int writeSidFile);
    // Reads the stored values and SidFile back. 1 or 0.
    int LoadSettings();
};

// The process's one record and the two process-wide flags beside it.
extern JobSettings* jobSettings;
extern DWORD verboseLog;  // stored as "VerboseLog"; option "verbose"
extern DWORD debugMode;   // option "d!"; never stored

extern const char* const kSidFileName;      // "\tessiv.sid"
extern const char* const kProgramKeyPath;   // "Quorvel\Tessiv"

// 1 when the program key holds stored settings (its value "CleanOnly"), else 0. Unlike
// LoadSettings it creates nothing.
int StoredSettingsFound(const JobSettings* job);

// Process start-up: a fresh record with its defaults, the four backup and
// security privileges switched on, the running account filled in.
JobSettings* CreateJobSettings();
// Process exit: closes the log, switches the privileges off, releases the record.
void DestroyJobSettings();

// originalSid buffers (24 bytes) made by the program itself, not by the SID allocator.
Sid* NewSidBuffer();
void FreeSidBuffer(Sid* buffer);

BOOL EnablePrivilege(const char* name, BOOL enable);
BOOL GetRunningAccount(JobSettings* job);
// The base folder of temporary files, ending with a backslash (buffer of MAX_PATH). 1 or 0.
int GetWorkFolder(char* buffer);
