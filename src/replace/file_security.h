// The file security record (FileSecurity): the security of one file or directory,
// its rewrite from old to new SIDs, its restore; and IsAccountSid.
#pragma once
#include <cstddef>

#include "nt/win32.h"
#include "replace/byte_replace.h"

const size_t kSecurityErrorTextSize = 1024;

// The message of the most recent FileSecurity failure, shared by all records.
extern char securityErrorText[kSecurityErrorTextSize];

struct FileSecurity {
    char* path;                       // as given, in a block of its own
    PACL dacl;                        // the parts as read: pointers into descriptor, or null
    PACL sacl;
    PSID owner;
    PSID group;
    DWORD changedParts;               // SECURITY_INFORMATION bits of the parts rewritten
    PSECURITY_DESCRIPTOR descriptor;  // from GetNamedSecurityInfoA, released with LocalFree
    bool errorFlag;                   // set by a failure; the message is in securityErrorText
    BYTE* prepared[4];                // rewritten DACL, SACL, owner, group not yet written, or null
    DWORD preparedParts;              // the parts WritePreparedSecurity writes
    DWORD preparedRewritten;          // of those, the parts that hold a replaced SID

    // Copies the path and reads the security; a failed read leaves no parts and errorFlag set.
    explicit FileSecurity(const char* givenPath);
    ~FileSecurity();
    FileSecurity(const FileSecurity&) = delete;
    FileSecurity& operator=(const FileSecurity&) = delete;

    // Owner, group, DACL and SACL. ERROR_NONE_MAPPED counts as success. A failure leaves
    // its error as the thread's last error.
    bool ReadSecurity();
    // Replaces the SIDs of the pairs (each pointing at a 24-byte Sid) in copies of the
    // parts and writes the copies back in one call. 0 = done (changedParts says what
    // changed); 1 / 2 / 3 / 4 = the rewrite of the DACL / SACL / owner / group failed;
    // -1 = writing the security failed. Nothing is written unless the result is 0.
    int ReplaceSecuritySids(const BytePairList* pairs);
    // ReplaceSecuritySids in two steps, so that a record of the file can be made durable
    // between them: the rewrite into copies kept in the record (same results, nothing
    // written; preparedRewritten says whether anything is to be written), then the write
    // (0 = done or nothing prepared, -1 = failed; changedParts as ReplaceSecuritySids sets it).
    int PrepareSecuritySids(const BytePairList* pairs);
    int WritePreparedSecurity();
    void DropPrepared();
    // Writes the original parts named in changedParts. 0 = nothing to restore,
    // 1 = restored, -1 = failed.
    int RestoreSecurity();
    static const char* ErrorText();
};

// Puts back the parts of original (a self-relative descriptor of size bytes, as a record
// of the file kept it) named in parts. 1 = restored, 0 = nothing to do (the file's security
// is already that, or the file is gone), -1 = failed (the message in securityErrorText).
int RestoreRecordedSecurity(const char* path, DWORD parts, const void* original, DWORD size);
// The same parts written back whatever the file holds now, as the restore after a failure
// puts back each file the walk rewrote. 1 = restored, -1 = failed (a file that is gone too;
// the message in securityErrorText).
int PutBackRecordedSecurity(const char* path, DWORD parts, const void* original, DWORD size);

// True for a SID with five sub-authorities whose last (the RID) is 500 or above: an
// account or group of a machine or domain, whose owner or group entry is rewritten.
bool IsAccountSid(PSID sid);
