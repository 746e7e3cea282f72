// Hive working copies: the registry quota check, the work directory, saving the
// five machine hives into a set of files, the byte scan of the saved copies, the
// replacement of the live hives at the next restart, and the clean-up of a job's
// directories and stored settings.
#pragma once
#include "core/sid_text.h"
#include "nt/win32.h"
#include "replace/byte_replace.h"

// 1 when the registry quota can hold the job, 0 otherwise (reported, except when the
// system directory cannot be read). A refusal for want of quota also leaves its text,
// with the need and the limit in bytes, in refusal (when given).
int CheckRegistryQuota(char* refusal = nullptr, size_t refusalSize = 0);

// Creates "TESSIV" (or "TESSIV0".."TESSIV97") below the work folder with its USERS,
// ORIGINAL and ORIGINAL\USERS subdirectories; the name is left in workDirectory. 1 or 0.
int CreateWorkDirectory();

// Saves the key to a file that must not exist yet. 1 or 0 (reported).
int SaveKeyToFile(HKEY root, const char* subkey, const char* file);

// Saves SAM, SECURITY, SOFTWARE, SYSTEM and the default user hive into directory
// ("%s\SAM" ... "%s\USERS\.DEFAULT"). 1, or 0 at the first failure (reported).
int SaveHiveSet(const char* directory);

// Asks the registry to load file as the hive at the next restart, keeping the present
// hive as the file's name with ".BAK" appended. 1 or 0 (reported).
int ReplaceHiveFromFile(HKEY root, const char* subkey, const char* file);

// Replaces the old SID's bytes by the new one's in the working copies of SECURITY,
// SYSTEM, SAM and SOFTWARE. 1, or 0 when a file could not be scanned (reported).
int ScanHiveFilesForSid(const Sid* oldSid, const Sid* newSid);

// Puts the working copies of SECURITY, SOFTWARE, SAM and SYSTEM in place of the
// live hives at the next restart. 1 or 0 (reported).
int InstallWorkingHives();

// Puts the original copies of the five hives back at the next restart: 1 restored,
// 0 nothing had been changed (the job is cleaned up instead), -1 failed (reported).
int RestoreOriginalHives();

// The SIDs of a run, kept in "%s\SIDS" of the work directory from the moment they are
// known (stage 3) until the run's changes are complete (stage 9) or undone (the restore).
// While the file exists the machine may be half rewritten: the boot after a power loss
// or crash finds it there and puts the original machine back.
struct JobSids {
    DWORD count;  // 1 or 2 pairs: the machine SID, then the domain SID
    Sid oldSid[2];
    Sid newSid[2];
};
// Writes the job's pairs (originalSid/newSid, and the domain pair when replaceDomainSid is
// set) to the work directory, whole or not at all. 1 or 0 (reported).
int StoreJobSids();
// Reads the pairs kept in directory. 1, or 0 when there is no (whole) record.
int ReadJobSids(const char* directory, JobSids* sids);
// Removes the record: the run's changes are complete or undone. 1 or 0 (reported).
int DiscardJobSids();

// Asks the registry to put the original copies ("%s\ORIGINAL" of the work directory) in
// place of the five machine hives and of every saved profile hive at the next restart. An
// original that a restore cut off by a power loss has already put in place is passed over.
// A profile is found in the profile list under its own name or the name the renames gave
// it. 1, or 0 (reported).
int ScheduleOriginalHives(const SidPairList* renames);

// Removes the work directories, the stored settings and SidFile: 0, or -1 (reported).
int CleanPreviousRun();
// Its two parts, for the clean-up run, which re-establishes the domain trust between them:
// the heading and the work directories (the log opened for appending), then the stored
// settings and SidFile. Each 0, or -1 (reported).
int RemoveJobDirectories();
int RemoveJobSettings();

// Deletes "Software\Quorvel\Tessiv", and "Software\Quorvel" when nothing else is
// left in it. 1, or 0 (reported, except when the key is missing or an account name
// cannot be mapped).
int DeleteProgramKey();
