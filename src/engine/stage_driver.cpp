// The stage driver: the opening steps, the nine stages of the normal run with the
// restore after any failure, and the clean-up run of the following boot.
#include "engine/stage_driver.h"

#include <cstdio>
#include <cstring>

#include "core/job_settings.h"
#include "core/output.h"
#include "engine/hive_copies.h"
#include "engine/sync_file.h"
#include "identity/computer_name.h"
#include "identity/domain_trust.h"
#include "identity/machine_sid.h"
#include "identity/role_checks.h"
#include "replace/byte_replace.h"
#include "replace/file_walk.h"
#include "replace/registry_replace.h"
#include "replace/user_profiles.h"

JobCallbacks jobCallbacks = {};
volatile LONG stopAtStageThree = 0;

namespace {

const DWORD kNotEnoughQuota = 1816;  // ERROR_NOT_ENOUGH_QUOTA, the code the event log entry carries

const char* const kNoPermission =
    "Error: You do not have enough permissions to run this utility.\n\nPlease logon as the local system Administrator.";

// The new and domain SIDs come from the SID allocator (FreeSid); originalSid is the program's own buffer.
void FreeJobSids(JobSettings* job) {
    if (job->originalSid) FreeSidBuffer(job->originalSid);
    if (job->newSid) FreeSid(job->newSid);
    if (job->oldDomainSid) FreeSid(job->oldDomainSid);
    if (job->newDomainSid) FreeSid(job->newDomainSid);
    job->originalSid = job->newSid = job->oldDomainSid = job->newDomainSid = nullptr;
}

void CloseSyncFile(JobSettings* job) {
    if (job->syncFile) fclose(job->syncFile);
    job->syncFile = nullptr;
}

// A copy of value from the SID allocator, so that every SID but originalSid is released alike.
Sid* CopySid(const Sid* value) {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID copy = nullptr;
    if (!AllocateAndInitializeSid(&nt, 4, 21, 0, 0, 0, 0, 0, 0, 0, &copy)) return nullptr;
    memcpy(copy, value, kSidSize);
    return (Sid*)copy;
}

void Restore() {
    if (jobCallbacks.abortAndRestore) jobCallbacks.abortAndRestore(0);
}

// The PREBIN copies of the debug mode: the working copies as they were before the byte scan.
void SavePrebinCopies(JobSettings* job) {
    static const char* const kCopies[5][2] = {{"SECURITY", "SECURITY"}, {"SYSTEM", "SYSTEM"}, {"SOFTWARE", "SOFTWARE"},
                                             {"SAM", "SAM"},           {"USERS\\.DEFAULT", ".DEFAULT"}};
    StatusLine("Stage 6(debug): Saving PREBIN Copies of Extracted Registries", logStream);
    char folder[MAX_PATH], source[MAX_PATH], target[MAX_PATH];
    int length = snprintf(folder, sizeof folder, "%s\\PREBIN", job->workDirectory);
    if (length < 0 || length >= MAX_PATH) return;
    CreateDirectoryA(folder, nullptr);
    for (const auto& copy : kCopies) {
        int a = snprintf(source, sizeof source, "%s\\%s", job->workDirectory, copy[0]);
        int b = snprintf(target, sizeof target, "%s\\PREBIN\\%s", job->workDirectory, copy[1]);
        if (a < 0 || a >= MAX_PATH || b < 0 || b >= MAX_PATH) continue;
        LogLine(source, logStream);
        CopyFileA(source, target, TRUE);
    }
}

int NormalRun(JobSettings* job) {
    FILE*& log = logStream;
    char* message = job->message;
    const size_t messageSize = sizeof job->message;
    int result = 0;
    int generate = 1;
    SidPairList pairs;
    memset(&pairs, 0, sizeof pairs);

    // Every failure of a stage: one report, the restore, the closing step.
    auto fail = [&](const char* text) {
        ReportError(text, log);
        result = -1;
        Restore();
    };

    if (job->useLogFile && !log) OpenLogFile(job->logFileName, "wt");
    snprintf(message, messageSize, "Tessiv v%d.%d.%d - Windows NT SID Utility", kVersionMajor, kVersionMinor, kVersionBuild);
    LogLine(message, log);
    LogLine("Quorvel Tessiv: a new machine SID for imaged Windows NT computers, by Quorvel Software", log);
    job->stage = 1;
    StatusLine("Stage 1: Initializing", log);

    do {
        if (!CreateWorkDirectory()) {
            result = -1;
            Restore();
            break;
        }
        snprintf(message, messageSize, "   Temporary directory created: %s", job->workDirectory);
        LogLine(message, log);
        snprintf(message, messageSize, "   Running under Account: %s/%s", job->accountDomainName, job->userName);
        LogLine(message, log);

        if (job->useSysPrep) {
            // The preparation tool has already given the machine its new SID: the current SID
            // is the new one, and SidFile keeps the one from before the tool ran.
            LogLine("   Running in conjuction with Microsoft SysPrep", log);
            generate = 0;
            job->newSid = CopySid(job->originalSid);
            if (!job->newSid) {
                fail("Error: Out of Memory");
                break;
            }
            SidToText(job->newSid, job->newSidText, sizeof job->newSidText);
            bool storedRead = false;
            if (FILE* sidFile = fopen(kSidFileName, "rb")) {
                Sid stored;
                storedRead = fread(&stored, 1, kSidSize, sidFile) == kSidSize;
                if (storedRead) memcpy(job->originalSid, &stored, kSidSize);
                fclose(sidFile);
            }
            if (!storedRead) {
                // Without the SID from before the tool ran the run goes on with both values
                // equal: taking that for "not yet completed" would restart the machine at every
                // boot, for ever.
                snprintf(message, messageSize,
                         "   The SID file '%s' is missing or incomplete: the run goes on with the current SID",
                         kSidFileName);
                LogLine(message, log);
            } else if (SidEqual(job->originalSid, job->newSid)) {
                LogLine("SysPrep hasn't completed, aborting until next run...", log);
                // Nothing was stored about this run: its still empty work directory would
                // never be found by a clean-up.
                DeleteDirectoryTree(job->workDirectory);
                break;
            }
        }

        // From here on the next boot of the service performs the clean-up run.
        job->cleanOnly = 1;
        if (!job->SaveSettings(0)) break;

        job->stage = 2;
        StatusLine("Stage 2: Backing up Original Registry", log);
        char original[MAX_PATH];
        int length = snprintf(original, sizeof original, "%s\\ORIGINAL", job->workDirectory);
        if (length < 0 || length >= MAX_PATH || !SaveHiveSet(original)) {
            fail("Error saving original copies of registry");
            break;
        }

        job->stage = 3;
        if (stopAtStageThree) SuspendThread(GetCurrentThread());  // terminated there by the abort
        StatusLine("Stage 3: Examining SID", log);
        LogLine("Reading Current SID...", nullptr);
        SidToText(job->originalSid, job->originalSidText, sizeof job->originalSidText);
        snprintf(message, messageSize, "  Original Sid: %s", job->originalSidText);
        LogLine(message, log);

        if (job->useSyncFile) {
            LogLine("Reading Domain SID from synchronization file...", verboseLog ? log : nullptr);
            job->syncFile = fopen(job->dataFileName, "rt");
            if (!job->syncFile) {
                snprintf(message, messageSize, "Error %d opening synchronization file '%s'", (int)GetLastError(),
                         job->dataFileName);
                LogLine(message, log);
                result = -1;
                Restore();
                break;
            }
            int read;
            if (machineRole == kBackupDomainController) {
                // A backup controller takes over the primary's new SID, which is its own too.
                generate = 0;
                read = ReadSyncFile(job->syncFile, &job->oldDomainSid, job->oldDomainSidText, &job->newSid,
                                    job->newSidText);
            } else {
                job->replaceDomainSid = 1;
                read = ReadSyncFile(job->syncFile, &job->oldDomainSid, job->oldDomainSidText, &job->newDomainSid,
                                    job->newDomainSidText);
            }
            if (!read) {
                fail("Error: Invalid data file format");
                break;
            }
        }

        if (generate) {
            LogLine("Generating New SID...", nullptr);
            if (!GenerateMachineSid(&job->newSid)) {
                fail("Error: Unable to generate a new machine SID. Check your permissions.");
                break;
            }
            SidToText(job->newSid, job->newSidText, sizeof job->newSidText);
        }
        snprintf(message, messageSize, "       New Sid: %s", job->newSidText);
        LogLine(message, log);
        if (job->useSyncFile && debugMode) {
            snprintf(message, messageSize, "Old Domain Sid: %s", job->oldDomainSidText);
            LogLine(message, log);
            snprintf(message, messageSize, "New Domain Sid: %s", job->newDomainSidText);
            LogLine(message, log);
        }

        // From here on the run changes the machine: until its changes are complete or undone,
        // the record tells the next boot which SIDs to give back. It comes first: without it
        // nothing may change, and a synchronization file that a cut left behind is withdrawn
        // by the recovery that the record calls for.
        if (!StoreJobSids()) {
            fail("Error saving the SIDs of the job");
            break;
        }

        if (job->writeSyncFile) {
            LogLine("Storing new SID to output file...", verboseLog ? log : nullptr);
            // A primary controller whose domain cannot learn the new SID must not change it.
            if (!WriteSyncFile(job)) {
                CloseSyncFile(job);
                result = -1;
                Restore();
                break;
            }
        }
        CloseSyncFile(job);

        pairs.oldText[pairs.count] = job->originalSidText;
        pairs.newText[pairs.count++] = job->newSidText;
        if (job->replaceDomainSid && pairs.count < 4) {
            pairs.oldText[pairs.count] = job->oldDomainSidText;
            pairs.newText[pairs.count++] = job->newDomainSidText;
        }

        if (job->changeComputerName) {
            ComputerNameResult named = ApplyNewComputerName(job);
            if (named == kNameFailed) {
                result = -1;
                Restore();
                break;
            }
            if (named == kNameNotStored) break;
        }

        job->stage = 4;
        StatusLine("Stage 4: Examining Registry", log);
        if (!ProcessUserProfiles(&pairs)) {
            fail("Error during hive search.");
            break;
        }

        job->stage = 5;
        StatusLine("Stage 5: Examining Registry", log);
        static const struct {
            HKEY root;
            const char* name;
            const char* path;
        } kTrees[] = {{HKEY_LOCAL_MACHINE, "SAM", "MACHINE\\SAM"},
                      {HKEY_LOCAL_MACHINE, "SECURITY", "MACHINE\\SECURITY"},
                      {HKEY_LOCAL_MACHINE, "SOFTWARE", "MACHINE\\SOFTWARE"},
                      {HKEY_LOCAL_MACHINE, "SYSTEM", "MACHINE\\SYSTEM"},
                      {HKEY_USERS, ".DEFAULT", "USERS\\.DEFAULT"}};
        bool walked = true;
        for (const auto& tree : kTrees)
            if (SearchReplaceKey(tree.root, tree.name, tree.path, &pairs) == -1) {
                walked = false;
                break;
            }
        if (!walked) {
            fail("Error during registry search");
            break;
        }

        job->stage = 6;
        StatusLine("Stage 6: Updating Registry Information", log);
        if (!SaveHiveSet(job->workDirectory)) {
            fail("Error saving working copy of registry");
            break;
        }
        if (debugMode) SavePrebinCopies(job);

        job->stage = 7;
        StatusLine("Stage 7: Examining SID Entries", log);
        if (!ScanHiveFilesForSid(job->originalSid, job->newSid)) {
            fail("Error during byte scan");
            break;
        }
        if (job->replaceDomainSid && !ScanHiveFilesForSid(job->oldDomainSid, job->newDomainSid)) {
            fail("Error during domain SID byte scan");
            break;
        }
        snprintf(message, messageSize, "Complete: %d entries replaced.", (int)job->replacedCount);
        LogLine(message, log);

        job->stage = 8;
        if (job->processFileSystem) {
            StatusLine("Stage 8: Examining File System Security", log);
            if (!ScanFileSystemSecurity()) {
                fail("Error during file system security scan");
                break;
            }
        } else {
            StatusLine("Stage 8: File System Security (skipped)", log);
        }

        job->stage = 9;
        StatusLine("Stage 9: Updating Registry Information", log);
        if (!InstallWorkingHives()) {
            fail("Error during registry restoration");
            break;
        }
        // Every working hive is scheduled: the machine is whole at the next boot. A record left
        // behind would undo the completed job there, so a failure to remove it fails the stage.
        if (!DiscardJobSids()) {
            fail("Error during registry restoration");
            break;
        }
        StatusLine("Complete:", log);
        LogLine("You must reboot for these changes to take effect...", log);
        result = 0;
    } while (false);

    CloseSyncFile(job);
    FreeJobSids(job);
    CloseLogFile();
    return result;
}

// The run before this boot was cut off (power loss or crash) after it began to change the
// machine: its record of SIDs is still in the work directory, which holds the only copies of
// the original hives, so the clean-up must not remove it yet. The files the run recorded
// before it rewrote them get their security back, and the original hives are scheduled for
// the restart; the clean-up runs at the boot after it. Run again after another cut, it
// finds the same record and does the rest. kJobRecovered, or -1 (reported).
int RecoverInterruptedRun(JobSettings* job, const JobSids& sids) {
    FILE* log = logStream;
    char* message = job->message;
    const size_t messageSize = sizeof job->message;
    memcpy(job->workDirectory, job->previousWorkDirectory, sizeof job->workDirectory);
    StatusLine("Recovering Interrupted Run:", log);
    LogLine("   The previous run ended before it completed (power loss or crash) and may have left the", log);
    LogLine("   registry and the file system security half rewritten: the original configuration is restored.", log);
    char oldText[2][kSidTextSize], newText[2][kSidTextSize];
    SidPairList renames;
    memset(&renames, 0, sizeof renames);
    for (DWORD i = 0; i < sids.count; ++i) {
        SidToText(&sids.oldSid[i], oldText[i], kSidTextSize);
        SidToText(&sids.newSid[i], newText[i], kSidTextSize);
        snprintf(message, messageSize, "   %s is given back to %s", newText[i], oldText[i]);
        LogLine(message, log);
        renames.oldText[i] = oldText[i];
        renames.newText[i] = newText[i];
    }
    renames.count = (int)sids.count;
    if (job->processFileSystem) {
        StatusLine("Restoring File System Security:", log);
        // Only the files the run recorded before rewriting them: a descriptor that named a
        // new SID before the run (a member's new domain SID, the preparation tool's SID)
        // keeps it.
        if (!RevertRecordedFileSecurity(job->workDirectory)) {
            ReportError("Error: Unable to restore the file system security of the interrupted run", log);
            return -1;
        }
    }
    StatusLine("Restoring Original Registry Files...", log);
    if (!ScheduleOriginalHives(&renames) || !DiscardJobSids()) {
        ReportError("Error: Unable to restore the original registry of the interrupted run", log);
        return -1;
    }
    LogLine("Complete: Original Registry Restored Successfully.", log);
    WithdrawSyncFile(job, newText[0]);
    LogLine("   The clean-up follows at the next boot.", log);
    return kJobRecovered;
}

// The steps come in an order that a cut at any point leaves the clean-up still to do or
// done: the stored settings, which tell the next boot to clean up and to re-establish the
// trust, go after everything they ask for but the service entry; a service that starts
// without them runs no job and removes itself.
int CleanupRun(JobSettings* job) {
    job->stage = -1;
    if (RemoveJobDirectories() != 0) {
        ReportError("Error: Unable to clean previous run", logStream);
        return -1;
    }
    if (job->establishDomainTrust) {
        DWORD size = sizeof job->newComputerName;
        if (GetComputerNameA(job->newComputerName, &size))
            ReestablishDomainTrust();
        else
            LogLine("Error getting computer name before re-establishing domain trust.", logStream);
        job->establishDomainTrust = 0;
    }
    if (RemoveJobSettings() != 0) {
        ReportError("Error: Unable to clean previous run", logStream);
        return -1;
    }
    BOOL installed = jobCallbacks.isServiceInstalled ? jobCallbacks.isServiceInstalled() : FALSE;
    if (installed && !(jobCallbacks.removeService && jobCallbacks.removeService())) {
        snprintf(job->message, sizeof job->message, "Error %d removing this service", (int)GetLastError());
        ReportError(job->message, logStream);
        return -1;
    }
    LogLine("   Service Entry Removed Successfully.", logStream);
    if (jobCallbacks.removePrepToolPassword) jobCallbacks.removePrepToolPassword();
    if (job->removeExe && jobCallbacks.launchSelfDelete) jobCallbacks.launchSelfDelete();
    return 1;
}

}  // namespace

int RunJob() {
    JobSettings* job = jobSettings;
    char user[256];
    DWORD size = sizeof user;
    if (!GetUserNameA(user, &size)) {
        ReportError("Error: Unable to read current user name from registry", logStream);
        return -1;
    }
    if (!job->originalSid) job->originalSid = NewSidBuffer();
    DWORD sidSize = kSidSize;
    // A run cut off half-way may have left the SAM and SECURITY at odds, so that the machine
    // SID cannot be read; its recovery does not need it.
    JobSids sids;
    bool cutOff = job->cleanOnly && ReadJobSids(job->previousWorkDirectory, &sids);
    if (!job->originalSid || (!ReadMachineSid(user, (BYTE*)job->originalSid, &sidSize) && !cutOff)) {
        ReportError(kNoPermission, logStream);
        return -1;
    }
    // A refusal at boot is seen by nobody at the console: it goes to the log the job asked
    // for (opened as the run would open it) and to the event log as well.
    if (job->useLogFile && !logStream) OpenLogFile(job->logFileName, job->cleanOnly ? "a+t" : "wt");
    if (!CheckRegistryQuota(job->message, sizeof job->message)) {
        if (job->message[0] && jobCallbacks.writeEventLog) {
            SetLastError(kNotEnoughQuota);
            jobCallbacks.writeEventLog(job->message);
        }
        if (logStream) fflush(logStream);
        return -1;
    }
    if (cutOff) {
        job->stage = -1;
        if (job->useLogFile && !logStream) OpenLogFile(job->logFileName, "a+t");
        return RecoverInterruptedRun(job, sids);
    }
    return job->cleanOnly ? CleanupRun(job) : NormalRun(job);
}
