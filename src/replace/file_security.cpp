// The file security record: reading a file's security, rewriting old SIDs in
// copies of its parts, writing them back, restoring the originals; IsAccountSid.
#include "replace/file_security.h"

#include <cstdio>
#include <cstring>

#include "core/sid_text.h"

char securityErrorText[kSecurityErrorTextSize];

namespace {

const SECURITY_INFORMATION kAllParts =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;

// A working copy of one part of the descriptor, with how its failure is reported.
struct PartCopy {
    BYTE* bytes;
    DWORD size;
    SECURITY_INFORMATION part;
    bool isAcl;
    int failResult;
    const char* failText;
};

const char* PathText(const char* path) { return path ? path : ""; }

// Size of the part worth copying: an ACL the system accepts with a non-zero size, or an
// account SID; 0 for anything else, which then stays out of the rewrite.
DWORD PartSize(const void* part, bool isAcl) {
    if (!part) return 0;
    if (isAcl) return IsValidAcl((PACL)part) ? ((const ACL*)part)->AclSize : 0;
    return IsAccountSid((PSID)part) ? GetLengthSid((PSID)part) : 0;
}

// A rewritten part is only written if it is still well formed at its old size: a match
// that ran into an ACE header, an ACL's size field or a SID's count would change how the
// bytes are read, and the system would read past the copy or refuse it.
bool StillValid(const PartCopy& c) {
    if (c.isAcl) return ((const ACL*)c.bytes)->AclSize == c.size && IsValidAcl((PACL)c.bytes);
    return GetLengthSid((PSID)c.bytes) == c.size && IsValidSid((PSID)c.bytes);
}

// Writing a DACL or SACL without asking for its protection again would drop it, and the
// parent's inheritable entries would flow into a list that was closed to them.
SECURITY_INFORMATION Protection(PSECURITY_DESCRIPTOR descriptor, SECURITY_INFORMATION parts) {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!descriptor || !GetSecurityDescriptorControl(descriptor, &control, &revision)) return 0;
    SECURITY_INFORMATION protection = 0;
    if ((parts & DACL_SECURITY_INFORMATION) && (control & SE_DACL_PROTECTED))
        protection |= PROTECTED_DACL_SECURITY_INFORMATION;
    if ((parts & SACL_SECURITY_INFORMATION) && (control & SE_SACL_PROTECTED))
        protection |= PROTECTED_SACL_SECURITY_INFORMATION;
    return protection;
}

}  // namespace

FileSecurity::FileSecurity(const char* givenPath)
    : path(nullptr), dacl(nullptr), sacl(nullptr), owner(nullptr), group(nullptr), changedParts(0),
      descriptor(nullptr), errorFlag(false), prepared{nullptr, nullptr, nullptr, nullptr}, preparedParts(0),
      preparedRewritten(0) {
    const char* text = PathText(givenPath);
    size_t length = strlen(text) + 1;
    path = (char*)LocalAlloc(LMEM_FIXED, length);
    if (!path) {
        snprintf(securityErrorText, sizeof securityErrorText, "Error %d obtaining security for '%s'",
                 (int)GetLastError(), text);
        errorFlag = true;
        return;
    }
    memcpy(path, text, length);
    ReadSecurity();
}

FileSecurity::~FileSecurity() {
    DropPrepared();
    if (descriptor) LocalFree(descriptor);
    if (path) LocalFree(path);
}

bool FileSecurity::ReadSecurity() {
    // A second read replaces the first.
    if (descriptor) LocalFree(descriptor);
    descriptor = nullptr;
    owner = group = nullptr;
    dacl = sacl = nullptr;
    // The call returns its error rather than setting the thread's last error.
    DWORD err = path ? GetNamedSecurityInfoA(path, SE_FILE_OBJECT, kAllParts, &owner, &group, &dacl, &sacl, &descriptor)
                     : (DWORD)ERROR_INVALID_PARAMETER;
    // ERROR_NONE_MAPPED: the security was read, but an account in it is unknown here.
    if (err != ERROR_SUCCESS && err != ERROR_NONE_MAPPED) {
        if (descriptor) LocalFree(descriptor);
        descriptor = nullptr;
        owner = group = nullptr;
        dacl = sacl = nullptr;
        snprintf(securityErrorText, sizeof securityErrorText, "Error %d obtaining security for '%s'", (int)err,
                 PathText(path));
        errorFlag = true;
        SetLastError(err);  // for callers that tell one failure from another
        return false;
    }
    // The parts live in the descriptor; without one there are none.
    if (!descriptor || (owner && !IsValidSid(owner))) owner = nullptr;
    if (!descriptor || (group && !IsValidSid(group))) group = nullptr;
    if (!descriptor || (dacl && !IsValidAcl(dacl))) dacl = nullptr;
    if (!descriptor || (sacl && !IsValidAcl(sacl))) sacl = nullptr;
    return true;
}

bool IsAccountSid(PSID sid) {
    if (!sid || !IsValidSid(sid) || *GetSidSubAuthorityCount(sid) != 5) return false;
    DWORD rid = *GetSidSubAuthority(sid, 4);
    // Every account and group of the machine's own domain, the groups from 512 up ("None",
    // the group of every file an administrator creates) included: an old SID left there
    // names nobody once the machine SID has changed.
    return rid >= 500;
}

int FileSecurity::ReplaceSecuritySids(const BytePairList* pairs) {
    int result = PrepareSecuritySids(pairs);
    return result != 0 ? result : WritePreparedSecurity();
}

int FileSecurity::PrepareSecuritySids(const BytePairList* pairs) {
    DropPrepared();
    // Bytes 2..23 of each Sid: the authority and the sub-authorities without the count, so
    // that the machine SID also matches the start of every account SID below it.
    BytePairList patterns;
    memset(&patterns, 0, sizeof patterns);
    int pairCount = !pairs || pairs->count < 0 ? 0 : (pairs->count > 4 ? 4 : pairs->count);
    for (int i = 0; i < pairCount; ++i) {
        if (!pairs->oldPattern[i] || !pairs->newPattern[i]) continue;
        patterns.oldPattern[patterns.count] = pairs->oldPattern[i] + 2;
        patterns.newPattern[patterns.count] = pairs->newPattern[i] + 2;
        ++patterns.count;
    }

    PartCopy copies[4] = {
        {nullptr, 0, DACL_SECURITY_INFORMATION, true, 1, "Error replacing DACL entries for '%s'"},
        {nullptr, 0, SACL_SECURITY_INFORMATION, true, 2, "Error replacing SACL entries for '%s'"},
        {nullptr, 0, OWNER_SECURITY_INFORMATION, false, 3, "Error replacing Owner Information for '%s'"},
        {nullptr, 0, GROUP_SECURITY_INFORMATION, false, 4, "Error replacing Group Information for '%s'"},
    };
    const void* sources[4] = {dacl, sacl, owner, group};
    int result = 0;
    DWORD rewritten = 0;

    for (int i = 0; i < 4 && result == 0; ++i) {
        DWORD size = PartSize(sources[i], copies[i].isAcl);
        if (!size) continue;
        copies[i].bytes = (BYTE*)LocalAlloc(LMEM_FIXED, size);
        if (!copies[i].bytes) {
            snprintf(securityErrorText, sizeof securityErrorText, "Error %d replacing security information for '%s'",
                     (int)GetLastError(), PathText(path));
            result = -1;
            break;
        }
        memcpy(copies[i].bytes, sources[i], size);
        copies[i].size = size;
    }

    for (int i = 0; i < 4 && result == 0; ++i) {
        PartCopy& c = copies[i];
        if (!c.bytes) continue;
        int replaced = ReplaceBytesAllPairs(c.bytes, (int)c.size, &patterns, (int)kSidBytePatternLength);
        if (replaced == kReplaced && !StillValid(c)) replaced = kReplaceFailed;
        if (replaced == kReplaceFailed) {
            snprintf(securityErrorText, sizeof securityErrorText, c.failText, PathText(path));
            result = c.failResult;
        } else if (replaced == kReplaced) {
            rewritten |= c.part;  // every entry keeps its flags
        } else if (c.isAcl) {
            // An ACL without an old SID is not written; an owner or group that qualified goes
            // back unchanged along with whatever else is written.
            LocalFree(c.bytes);
            c.bytes = nullptr;
        }
    }

    // Nothing rewritten, nothing to write: an unchanged owner alone is no reason to write.
    if (result == 0 && rewritten) {
        for (int i = 0; i < 4; ++i) {
            prepared[i] = copies[i].bytes;
            copies[i].bytes = nullptr;
            if (prepared[i]) preparedParts |= copies[i].part;
        }
        preparedRewritten = rewritten;
    }
    for (PartCopy& c : copies)
        if (c.bytes) LocalFree(c.bytes);
    if (result != 0) errorFlag = true;
    return result;
}

int FileSecurity::WritePreparedSecurity() {
    if (!preparedRewritten) return 0;
    SECURITY_INFORMATION parts = preparedParts | Protection(descriptor, preparedParts);
    DWORD err = SetNamedSecurityInfoA(path, SE_FILE_OBJECT, parts, (PSID)prepared[2], (PSID)prepared[3],
                                      (PACL)prepared[0], (PACL)prepared[1]);
    DWORD rewritten = preparedRewritten;
    DropPrepared();
    if (err != ERROR_SUCCESS) {
        snprintf(securityErrorText, sizeof securityErrorText, "Error %d replacing security information for '%s'",
                 (int)err, PathText(path));
        errorFlag = true;
        return -1;
    }
    // changedParts names only what the file now holds rewritten: a failure wrote nothing.
    changedParts |= rewritten;
    return 0;
}

void FileSecurity::DropPrepared() {
    for (BYTE*& part : prepared) {
        if (part) LocalFree(part);
        part = nullptr;
    }
    preparedParts = preparedRewritten = 0;
}

int FileSecurity::RestoreSecurity() {
    if (changedParts == 0) return 0;
    SECURITY_INFORMATION parts = changedParts & kAllParts;
    DWORD err = SetNamedSecurityInfoA(path, SE_FILE_OBJECT, parts | Protection(descriptor, parts), owner, group, dacl,
                                      sacl);
    if (err != ERROR_SUCCESS) {
        errorFlag = true;
        snprintf(securityErrorText, sizeof securityErrorText, "Error %d restoring security of '%s'", (int)err,
                 PathText(path));
        return -1;
    }
    return 1;
}

// A self-relative descriptor whose parts all begin inside its size: the calls that read
// it then stay inside the buffer. (IsValidSecurityDescriptor is not among the calls this
// program may import.)
static bool RecordedDescriptorFits(const BYTE* bytes, DWORD size) {
    if (size < sizeof(SECURITY_DESCRIPTOR_RELATIVE)) return false;
    const SECURITY_DESCRIPTOR_RELATIVE* sd = (const SECURITY_DESCRIPTOR_RELATIVE*)bytes;
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION || !(sd->Control & SE_SELF_RELATIVE)) return false;
    const DWORD offsets[4] = {sd->Owner, sd->Group, sd->Sacl, sd->Dacl};
    for (DWORD offset : offsets)
        if (offset != 0 && (offset < sizeof(SECURITY_DESCRIPTOR_RELATIVE) || offset > size - 8)) return false;
    return true;
}

// The parts of a recorded descriptor, checked to lie inside it. False = unusable (the
// message in securityErrorText).
static bool RecordedParts(const char* path, const void* original, DWORD size, PSID* owner, PSID* group, PACL* dacl,
                          PACL* sacl) {
    PSECURITY_DESCRIPTOR descriptor = (PSECURITY_DESCRIPTOR)original;
    BOOL present = FALSE, defaulted = FALSE;
    *owner = *group = nullptr;
    *dacl = *sacl = nullptr;
    if (RecordedDescriptorFits((const BYTE*)original, size) && GetSecurityDescriptorLength(descriptor) <= size &&
        GetSecurityDescriptorOwner(descriptor, owner, &defaulted) &&
        GetSecurityDescriptorGroup(descriptor, group, &defaulted) &&
        GetSecurityDescriptorDacl(descriptor, &present, dacl, &defaulted) &&
        GetSecurityDescriptorSacl(descriptor, &present, sacl, &defaulted))
        return true;
    snprintf(securityErrorText, sizeof securityErrorText, "Error %d restoring security of '%s'",
             (int)ERROR_INVALID_SECURITY_DESCR, PathText(path));
    return false;
}

// Writes the recorded parts named in parts, with the protection the descriptor had.
static int WriteRecordedParts(const char* path, DWORD parts, const void* original, PSID owner, PSID group, PACL dacl,
                              PACL sacl) {
    DWORD err = SetNamedSecurityInfoA((LPSTR)path, SE_FILE_OBJECT,
                                      parts | Protection((PSECURITY_DESCRIPTOR)original, parts), owner, group, dacl, sacl);
    if (err != ERROR_SUCCESS) {
        snprintf(securityErrorText, sizeof securityErrorText, "Error %d restoring security of '%s'", (int)err,
                 PathText(path));
        return -1;
    }
    return 1;
}

int RestoreRecordedSecurity(const char* path, DWORD parts, const void* original, DWORD size) {
    PSECURITY_DESCRIPTOR descriptor = (PSECURITY_DESCRIPTOR)original;
    PSID recordedOwner, recordedGroup;
    PACL recordedDacl, recordedSacl;
    parts &= kAllParts;
    if (!RecordedParts(path, original, size, &recordedOwner, &recordedGroup, &recordedDacl, &recordedSacl)) return -1;
    // The same read as the walk's: a file that already holds its recorded security (its
    // batch was recorded, then the power failed before it was written) is not touched.
    PSECURITY_DESCRIPTOR current = nullptr;
    PSID o = nullptr, g = nullptr;
    PACL d = nullptr, s = nullptr;
    DWORD err = GetNamedSecurityInfoA(path, SE_FILE_OBJECT, kAllParts, &o, &g, &d, &s, &current);
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return 0;
    bool same = (err == ERROR_SUCCESS || err == ERROR_NONE_MAPPED) && current &&
                GetSecurityDescriptorLength(current) == GetSecurityDescriptorLength(descriptor) &&
                memcmp(current, descriptor, GetSecurityDescriptorLength(descriptor)) == 0;
    if (current) LocalFree(current);
    if (same) return 0;
    return WriteRecordedParts(path, parts, original, recordedOwner, recordedGroup, recordedDacl, recordedSacl);
}

int PutBackRecordedSecurity(const char* path, DWORD parts, const void* original, DWORD size) {
    PSID owner, group;
    PACL dacl, sacl;
    if (!RecordedParts(path, original, size, &owner, &group, &dacl, &sacl)) return -1;
    return WriteRecordedParts(path, parts & kAllParts, original, owner, group, dacl, sacl);
}

const char* FileSecurity::ErrorText() { return securityErrorText; }
