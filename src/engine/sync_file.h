// The synchronization file: two lines that carry a primary domain controller's
// old and new domain SID to its backup controllers and members.
#pragma once
#include <cstdio>

#include "core/job_settings.h"

// Whether a machine of this role reads the synchronization file: a backup controller takes the
// new domain SID over as its own, a domain member rewrites its references to the domain.
bool ReadsSyncFile(int machineRole);

// Creates dataFileName (and the directories on its way) and writes originalSidText
// as the old and newSidText as the new domain SID, then closes it (syncFile is left
// empty): a write, flush or close that fails is reported and gives 0, as does a file
// that cannot be created.
int WriteSyncFile(JobSettings* job);

// Reads the two lines from an open stream: the texts (buffers of kSidTextSize) and
// two new Sid values (from AllocateAndInitializeSid; the caller frees them, also
// after a failure). 1, or 0 when an argument is missing or the format is wrong.
int ReadSyncFile(FILE* stream, Sid** oldSid, char* oldText, Sid** newSid, char* newText);

// After a primary controller's run was undone (failure, abort or an interrupted run given
// back): removes dataFileName when it names newSidText as the new domain SID, so that no
// backup controller or member takes over a SID the domain does not have. A file that names
// another SID (an earlier run's, or one the run never wrote) is left alone. Logs what it did.
void WithdrawSyncFile(const JobSettings* job, const char* newSidText);
