// The file system security walk: every file and directory of the local NTFS volumes
// rewritten with FileSecurity, the changed ones remembered in order, and their restore.
#pragma once
#include "nt/win32.h"
#include "replace/file_security.h"

// The records of the files whose security was changed, in the order of the changes.
// Records are appended and never removed; the list owns them.
extern FileSecurity** changedFiles;
extern DWORD changedFileCount;

// Every local fixed or removable NTFS volume, in drive-list order.
// 1 = all volumes done, 0 = failed (reported).
int ScanFileSystemSecurity();
// The directory itself, then its entries depth-first. 1 = done, 0 = stopped by a failure (reported).
int WalkDirectorySecurity(const char* path);
// One file or directory. 1 = done (changed, unchanged or skipped), 0 = failure (reported).
int ProcessFileSecurity(const char* path);
// Puts back the original security of every changed file, first to last.
// 1 = at least one restored, 0 = nothing to restore, -1 = a restore failed (reported).
int RestoreFileSystemSecurity();
// After a run that was cut off (its records died with it): the same walk over every volume,
// with pairs that turn the new SIDs back into the old ones. A new SID is unique to its run,
// so a descriptor that names one was rewritten by that run. No records are kept.
// 1 = all volumes done, 0 = failed (reported).
int RevertFileSystemSecurity(const BytePairList* pairs);
// Process exit: destroys the records and empties the list.
void FreeChangedFiles();
