// The file system security walk: every file and directory of the local NTFS volumes
// rewritten with FileSecurity, the changed ones named in order in the walk's write-ahead
// record on the disk, and their restore from it.
#pragma once
#include "nt/win32.h"
#include "replace/file_security.h"

// The files whose security the walks of this process changed (until FreeChangedFiles).
// The list itself is the walks' write-ahead record: memory does not grow with it.
extern DWORD changedFileCount;

// Every local fixed or removable NTFS volume, in drive-list order.
// 1 = all volumes done, 0 = failed (reported).
int ScanFileSystemSecurity();
// The directory itself, then its entries depth-first. 1 = done, 0 = stopped by a failure (reported).
int WalkDirectorySecurity(const char* path);
// One file or directory. 1 = done (changed, unchanged or skipped), 0 = failure (reported).
int ProcessFileSecurity(const char* path);
// Puts back the original security of every changed file, first to last, read back from the
// record. 1 = at least one restored, 0 = nothing to restore, -1 = a restore failed, or the
// record could not be read (reported).
int RestoreFileSystemSecurity();
// Each changed file in the order of the changes: its path, the parts that were written and
// its descriptor as read (self-relative, size bytes), read from the record a file at a time;
// the loop stops when visit returns false. 1 = done, 0 = the record could not be read (reported).
typedef bool (*ChangedFileVisit)(const char* path, DWORD parts, const BYTE* descriptor, DWORD size, void* context);
int ForEachChangedFile(ChangedFileVisit visit, void* context);
// The write-ahead record of the walk ("FILESEC" in the job's work directory; for a walk
// outside a job, a temporary file of the work folder): before a batch of files is
// rewritten, each file's path, the parts about to be written and its descriptor as read
// are appended and flushed to the disk. A run cut off in the walk leaves it behind, and
// only the files it names were changed.
extern const char* const kFileSecurityRecordName;
// After a run that was cut off (its records in memory died with it): each file the record
// names gets the parts of its recorded descriptor back, exactly as they were before the
// run; a file whose security is already that is left alone, and so is one that is gone.
// Files that held a new SID before the run keep it. 1 = done (or no record),
// 0 = failed (reported; the record stays for another try).
int RevertRecordedFileSecurity(const char* directory);
// Process exit: empties the list, closes the record and removes a temporary one (a job's
// record stays in its work directory until the clean-up removes it).
void FreeChangedFiles();
