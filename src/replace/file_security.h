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
    // Writes the original parts named in changedParts. 0 = nothing to restore,
    // 1 = restored, -1 = failed.
    int RestoreSecurity();
    static const char* ErrorText();
};

// True for a SID with five sub-authorities whose last (the RID) is 500 or above: an
// account or group of a machine or domain, whose owner or group entry is rewritten.
bool IsAccountSid(PSID sid);
