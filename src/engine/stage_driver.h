// The stage driver (RunJob): the nine stages of a normal run that give the machine a
// new SID, and the clean-up run at the boot after it.
#pragma once
#include "nt/win32.h"

// What the stage driver calls in the layers above it: the restore after a failure, the
// service entry, the preparation tool's stored password and the temporary copy. The
// service run fills these in at start-up; one left empty is skipped.
struct JobCallbacks {
    int (*abortAndRestore)(int userRequested);  // 1 ended and restored, 0 not aborted
    BOOL (*isServiceInstalled)();
    BOOL (*removeService)();                    // FALSE with the system error as last error
    void (*removePrepToolPassword)();
    void (*launchSelfDelete)();                 // reports its own failure
    void (*writeEventLog)(const char* text);    // an error entry in the system's event log
};
extern JobCallbacks jobCallbacks;

// Set by the operator's abort while the worker is suspended in stage 1 or 2: the worker
// stops itself as stage 3 begins, once the original hives are saved and before it has
// changed anything, and the abort takes over from there.
extern volatile LONG stopAtStageThree;

// The log's first line ("Tessiv v1.2.22 - Windows NT SID Utility").
const int kVersionMajor = 1, kVersionMinor = 2, kVersionBuild = 22;

// Runs the job of jobSettings: 0 when the normal run ended without error (also when it
// ended early on purpose), 1 when the clean-up run ended, kJobRecovered when the clean-up
// run found a run that a power loss or crash cut off and scheduled the original machine
// back (the computer must restart; the clean-up follows at the boot after), -1 on any
// error (reported).
const int kJobRecovered = 2;
int RunJob();
