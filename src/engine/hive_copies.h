// Hive working copies: the registry quota check, the work directory, saving the
// five machine hives into a set of files, the byte scan of the saved copies, the
// replacement of the live hives at the next restart, and the clean-up of a job's
// directories and stored settings.
#pragma once
#include "core/sid_text.h"
#include "nt/win32.h"

// 1 when the registry quota can hold the job, 0 otherwise (reported, except when the
// system directory cannot be read).
int CheckRegistryQuota();

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

// Removes the work directories, the stored settings and SidFile: 0, or -1 (reported).
int CleanPreviousRun();

// Deletes "Software\Quorvel\Tessiv", and "Software\Quorvel" when nothing else is
// left in it. 1, or 0 (reported, except when the key is missing or an account name
// cannot be mapped).
int DeleteProgramKey();
