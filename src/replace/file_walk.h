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
// The write-ahead record of the walk ("FILESEC" in the job's work directory): before a
// batch of files is rewritten, each file's path, the parts about to be written and its
// descriptor as read are appended and flushed to the disk. A run cut off in the walk
// leaves it behind, and only the files it names were changed.
extern const char* const kFileSecurityRecordName;
// After a run that was cut off (its records in memory died with it): each file the record
// names gets the parts of its recorded descriptor back, exactly as they were before the
// run; a file whose security is already that is left alone, and so is one that is gone.
// Files that held a new SID before the run keep it. 1 = done (or no record),
// 0 = failed (reported; the record stays for another try).
int RevertRecordedFileSecurity(const char* directory);
// Process exit: destroys the records and empties the list.
void FreeChangedFiles();
