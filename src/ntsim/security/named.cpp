// Named object security (GetNamedSecurityInfoA, SetNamedSecurityInfoA) for registry
// keys through the public registry calls and for files through their stored descriptors;
// explicit access entries merged into ACLs (BuildExplicitAccessWithNameA, SetEntriesInAclA).
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <cstring>

#include "nt/win32.h"
#include "ntsim/security/access.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/files/security.h"
#include "ntsim/registry/inheritance.h"
#include "ntsim/security/sd.h"
#include "ntsim/security/token_internal.h"
#include "ntsim/kernel/threads.h"
#include "ntsim/kernel/version.h"

using namespace ntsim;

namespace {

const SECURITY_INFORMATION kParts =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;

// "MACHINE\SOFTWARE" -> HKEY_LOCAL_MACHINE and "SOFTWARE", as the security API names keys.
bool RegistryRoot(const char* name, HKEY* root, std::string* rest) {
    static const struct {
        const char* prefix;
        HKEY key;
    } kRoots[] = {{"MACHINE", HKEY_LOCAL_MACHINE},
                  {"USERS", HKEY_USERS},
                  {"CLASSES_ROOT", HKEY_CLASSES_ROOT},
                  {"CURRENT_USER", HKEY_CURRENT_USER}};
    std::string n = name;
    while (!n.empty() && n[0] == '\\') n.erase(0, 1);
    size_t slash = n.find('\\');
    std::string first = n.substr(0, slash);
    for (const auto& r : kRoots)
        if (strcasecmp(first.c_str(), r.prefix) == 0) {
            *root = r.key;
            *rest = slash == std::string::npos ? "" : n.substr(slash + 1);
            return true;
        }
    return false;
}

// The access that reading these parts of an object's security needs.
uint32_t ReadAccess(SECURITY_INFORMATION info) {
    uint32_t access = 0;
    if (info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION)) access |= READ_CONTROL;
    if (info & SACL_SECURITY_INFORMATION) access |= ACCESS_SYSTEM_SECURITY;
    return access;
}

// The access that writing these parts needs.
uint32_t WriteAccess(SECURITY_INFORMATION info) {
    uint32_t access = 0;
    if (info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION)) access |= WRITE_OWNER;
    if (info & DACL_SECURITY_INFORMATION) access |= WRITE_DAC;
    if (info & SACL_SECURITY_INFORMATION) access |= ACCESS_SYSTEM_SECURITY;
    return access;
}

// The lists that Windows 2000 and later inherit into and propagate below an object when
// SetNamedSecurityInfoA sets them; none on NT 4.0, whose security API writes what it is given.
uint32_t AutoInheritedLists(SECURITY_INFORMATION info) {
    if (!VersionAtLeast(5, 0)) return 0;
    return info & (DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION);
}

// Opens the key the security API names ("MACHINE\SOFTWARE\...") with this access.
uint32_t OpenNamedKey(const char* name, uint32_t access, HKEY* key) {
    HKEY root;
    std::string rest;
    if (!RegistryRoot(name, &root, &rest)) return ERROR_INVALID_PARAMETER;
    return (uint32_t)RegOpenKeyExA(root, rest.c_str(), 0, access, key);
}

uint32_t RegistryGet(const char* name, SECURITY_INFORMATION info, std::vector<uint8_t>* sd) {
    HKEY key;
    LONG err = (LONG)OpenNamedKey(name, ReadAccess(info), &key);
    if (err != ERROR_SUCCESS) return (uint32_t)err;
    DWORD size = 0;
    err = RegGetKeySecurity(key, info & kParts, nullptr, &size);
    if (err == ERROR_INSUFFICIENT_BUFFER) {
        sd->resize(size);
        err = RegGetKeySecurity(key, info & kParts, sd->data(), &size);
        sd->resize(size);
    }
    RegCloseKey(key);
    return (uint32_t)err;
}

uint32_t RegistrySet(const char* name, SECURITY_INFORMATION info, const std::vector<uint8_t>& sd) {
    HKEY key;
    LONG err = (LONG)OpenNamedKey(name, WriteAccess(info), &key);
    if (err != ERROR_SUCCESS) return (uint32_t)err;
    std::vector<uint8_t> was;
    RegStoredDescriptor(key, &was);
    err = RegSetKeySecurity(key, info, (PSECURITY_DESCRIPTOR)sd.data());
    if (err == ERROR_SUCCESS) err = (LONG)RegAutoInheritKey(key, AutoInheritedLists(info), was);
    RegCloseKey(key);
    return (uint32_t)err;
}

// A missing file whose folder exists is "file not found"; a missing folder is "path not found".
uint32_t MissingError(const FileRef& ref) {
    FileRef parent;
    std::vector<uint8_t> sd;
    bool secured;
    if (FileParent(ref, &parent) && FileDescriptor(parent, &sd, &secured) == ERROR_FILE_NOT_FOUND)
        return ERROR_PATH_NOT_FOUND;
    return ERROR_FILE_NOT_FOUND;
}

// The file's stored descriptor (secured false on a volume that keeps none), read as
// FileResolveReading found it or now.
uint32_t FileCurrent(const char* name, FileRef* ref, std::vector<uint8_t>* sd, bool* secured) {
    bool read = false;
    uint32_t err = FileResolveReading(name, ref, sd, &read);
    if (err != ERROR_SUCCESS) return err;
    if (read) {
        *secured = true;
        SdView v;
        err = SdParseRelative(sd->data(), sd->size(), &v);
    } else {
        err = FileDescriptor(*ref, sd, secured);
    }
    return err == ERROR_FILE_NOT_FOUND ? MissingError(*ref) : err;
}

uint32_t FileGet(const char* name, SECURITY_INFORMATION info, std::vector<uint8_t>* out) {
    FileRef ref;
    std::vector<uint8_t> sd;
    bool secured;
    uint32_t err = FileCurrent(name, &ref, &sd, &secured);
    if (err != ERROR_SUCCESS) return err;
    if (secured) {
        // Read as NT's security API opens the file: READ_CONTROL, and ACCESS_SYSTEM_SECURITY for
        // the SACL, with backup intent so that an enabled SeBackupPrivilege reads any file.
        uint32_t granted;
        err = AccessCheckEx(sd.data(), sd.size(), ReadAccess(info), FileGenericMapping(), kBackupIntent, &granted);
        if (err != ERROR_SUCCESS) return err;
    }
    SdView v;
    if (SdParseRelative(sd.data(), sd.size(), &v) != ERROR_SUCCESS) return ERROR_INVALID_SECURITY_DESCR;
    uint16_t control = v.control & ~(uint16_t)(SE_DACL_PRESENT | SE_SACL_PRESENT);
    if (info & DACL_SECURITY_INFORMATION) control |= v.control & SE_DACL_PRESENT;
    if (info & SACL_SECURITY_INFORMATION) control |= v.control & SE_SACL_PRESENT;
    *out = SdBuild(control, (info & OWNER_SECURITY_INFORMATION) ? v.owner : nullptr,
                   (info & GROUP_SECURITY_INFORMATION) ? v.group : nullptr, v.sacl, v.dacl);
    return ERROR_SUCCESS;
}

// The propagation below a folder whose lists were just set (its new descriptor folderSd):
// every file and folder below gets its inherited entries computed again, as Windows 2000
// and later do, down to the folders whose lists are protected. A file that keeps no
// descriptor of its own inherits when it is read, so only what lies below it is visited.
// Links to folders (junctions) are not followed.
void PropagateFiles(const FileRef& folder, const std::vector<uint8_t>& folderSd, const std::vector<uint8_t>& folderWas,
                    uint32_t lists) {
    DIR* dir = opendir(folder.host.c_str());
    if (!dir) return;
    std::vector<std::string> names;
    while (struct dirent* e = readdir(dir))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(dir);
    for (const std::string& name : names) {
        FileRef child = folder;
        child.full += "\\" + name;
        child.host += "/" + name;
        struct stat st;
        if (lstat(child.host.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) continue;
        bool isFolder = S_ISDIR(st.st_mode);
        std::vector<uint8_t> sd;
        if (FileReadStored(child.host, child.store, &sd)) {
            std::vector<uint8_t> now =
                AutoInheritDescriptor(folderSd.data(), folderSd.size(), sd.data(), sd.size(), isFolder, FileGenericMapping(),
                                      lists, folderWas.data(), folderWas.size());
            if (now != sd) FileWriteStored(child.host, child.store, now);
            SdView v;
            if (!isFolder || SdParseRelative(now.data(), now.size(), &v) != ERROR_SUCCESS) continue;
            bool shut = (!(lists & DACL_SECURITY_INFORMATION) || (v.control & SE_DACL_PROTECTED)) &&
                        (!(lists & SACL_SECURITY_INFORMATION) || (v.control & SE_SACL_PROTECTED));
            if (!shut) PropagateFiles(child, now, sd, lists);
        } else if (isFolder) {
            // It inherits as it is read, from the folder's lists as they are now and as they were.
            bool secured;
            if (FileDescriptor(child, &sd, &secured, true) == ERROR_SUCCESS) {
                std::vector<uint8_t> was = InheritDescriptor(folderWas.data(), folderWas.size(), true, CurrentToken(),
                                                             &FileGenericMapping());
                PropagateFiles(child, sd, was, lists);
            }
        }
    }
}

// A copy of a caller's ACL with the file mapping applied (empty for none).
std::vector<uint8_t> MappedAcl(const uint8_t* acl) {
    if (!acl) return {};
    std::vector<uint8_t> copy(acl, acl + (acl[2] | (acl[3] << 8)));
    AclMapGeneric(copy.data(), copy.size(), FileGenericMapping());
    return copy;
}

uint32_t FileSet(const char* name, SECURITY_INFORMATION info, const SdView& given) {
    FileRef ref;
    std::vector<uint8_t> sd;
    bool secured;
    uint32_t err = FileCurrent(name, &ref, &sd, &secured);
    if (err != ERROR_SUCCESS) return err;
    if (!secured) return ERROR_NOT_SUPPORTED;  // FAT keeps no security
    uint32_t granted;
    err = AccessCheckEx(sd.data(), sd.size(), WriteAccess(info), FileGenericMapping(), kBackupIntent, &granted);
    if (err != ERROR_SUCCESS) return err;
    SdView cur;
    if (SdParseRelative(sd.data(), sd.size(), &cur) != ERROR_SUCCESS) return ERROR_INVALID_SECURITY_DESCR;
    if (info & OWNER_SECURITY_INFORMATION) {
        if (!given.owner) return ERROR_INVALID_OWNER;
        // Only a SID of the token may become owner, unless restore privilege is enabled.
        std::lock_guard<ntsim::SimRecursiveMutex> lock(TokenMutex());
        if (!TokenHasSid(CurrentToken(), given.owner) && !PrivilegeEnabled(SE_RESTORE_NAME)) return ERROR_INVALID_OWNER;
        cur.owner = given.owner;
    }
    if (info & GROUP_SECURITY_INFORMATION) cur.group = given.group;
    uint16_t control = cur.control;
    // The lists are stored with the generic rights of the entries that apply to the file
    // mapped, as NT sets them.
    std::vector<uint8_t> dacl = MappedAcl(given.dacl), sacl = MappedAcl(given.sacl);
    if (info & DACL_SECURITY_INFORMATION) {
        control |= SE_DACL_PRESENT;
        cur.dacl = given.dacl ? dacl.data() : nullptr;
        // As on Windows 2000 and later: a list written without its protection asked for
        // again is open to the parent's inheritable entries, for files as for keys.
        control &= ~(uint16_t)SE_DACL_PROTECTED;
        if (info & PROTECTED_DACL_SECURITY_INFORMATION) control |= SE_DACL_PROTECTED;
    }
    if (info & SACL_SECURITY_INFORMATION) {
        control |= SE_SACL_PRESENT;
        cur.sacl = given.sacl ? sacl.data() : nullptr;
        control &= ~(uint16_t)SE_SACL_PROTECTED;
        if (info & PROTECTED_SACL_SECURITY_INFORMATION) control |= SE_SACL_PROTECTED;
    }
    control &= ~(uint16_t)(SE_OWNER_DEFAULTED | SE_GROUP_DEFAULTED | SE_DACL_DEFAULTED | SE_SACL_DEFAULTED);
    uint32_t lists = AutoInheritedLists(info);
    // The lists given are the file's own entries: what it inherits is added to them.
    if (lists & DACL_SECURITY_INFORMATION) control |= SE_DACL_AUTO_INHERITED;
    if (lists & SACL_SECURITY_INFORMATION) control |= SE_SACL_AUTO_INHERITED;
    std::vector<uint8_t> result = SdBuild(control, cur.owner, cur.group, cur.sacl, cur.dacl);
    if (!lists) return FileWriteStored(ref.host, ref.store, result);
    struct stat st;
    bool folder = stat(ref.host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    FileRef parent;
    std::vector<uint8_t> up;
    bool upSecured = false;
    if (FileParent(ref, &parent) && FileDescriptor(parent, &up, &upSecured, true) == ERROR_SUCCESS)
        result = AutoInheritDescriptor(up.data(), up.size(), result.data(), result.size(), folder, FileGenericMapping(),
                                       lists);
    err = FileWriteStored(ref.host, ref.store, result);
    if (err == ERROR_SUCCESS && folder) PropagateFiles(ref, result, sd, lists);
    return err;
}

}  // namespace

DWORD GetNamedSecurityInfoA(LPCSTR pObjectName, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo,
                            PSID* ppsidOwner, PSID* ppsidGroup, PACL* ppDacl, PACL* ppSacl,
                            PSECURITY_DESCRIPTOR* ppSecurityDescriptor) {
    uint32_t err = 0;
    if (FaultHit("GetNamedSecurityInfoA", pObjectName ? pObjectName : "", &err)) return err;
    if (!pObjectName) return ERROR_INVALID_PARAMETER;
    // Without the descriptor, every part asked for needs its own pointer; the parts then
    // point into a block the caller cannot free, as on Windows.
    if (!ppSecurityDescriptor && ((SecurityInfo & OWNER_SECURITY_INFORMATION && !ppsidOwner) ||
                                  (SecurityInfo & GROUP_SECURITY_INFORMATION && !ppsidGroup) ||
                                  (SecurityInfo & DACL_SECURITY_INFORMATION && !ppDacl) ||
                                  (SecurityInfo & SACL_SECURITY_INFORMATION && !ppSacl)))
        return ERROR_INVALID_PARAMETER;
    std::vector<uint8_t> sd;
    if (ObjectType == SE_REGISTRY_KEY)
        err = RegistryGet(pObjectName, SecurityInfo, &sd);
    else if (ObjectType == SE_FILE_OBJECT)
        err = FileGet(pObjectName, SecurityInfo, &sd);
    else
        err = ERROR_INVALID_PARAMETER;
    if (err != ERROR_SUCCESS) return err;
    SdView v;
    if (SdParseRelative(sd.data(), sd.size(), &v) != ERROR_SUCCESS) return ERROR_INVALID_SECURITY_DESCR;
    uint8_t* block = (uint8_t*)LocalCopy(sd.data(), sd.size());
    if (!block) return ERROR_NOT_ENOUGH_MEMORY;
    auto inside = [&](const uint8_t* p) { return p ? block + (p - sd.data()) : nullptr; };
    if (ppsidOwner && (SecurityInfo & OWNER_SECURITY_INFORMATION)) *ppsidOwner = inside(v.owner);
    if (ppsidGroup && (SecurityInfo & GROUP_SECURITY_INFORMATION)) *ppsidGroup = inside(v.group);
    if (ppDacl && (SecurityInfo & DACL_SECURITY_INFORMATION)) *ppDacl = (PACL)inside(v.dacl);
    if (ppSacl && (SecurityInfo & SACL_SECURITY_INFORMATION)) *ppSacl = (PACL)inside(v.sacl);
    if (ppSecurityDescriptor)
        *ppSecurityDescriptor = block;
    else if (!(SecurityInfo & kParts))
        LocalFree(block);
    return ERROR_SUCCESS;
}

DWORD SetNamedSecurityInfoA(LPSTR pObjectName, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo,
                            PSID psidOwner, PSID psidGroup, PACL pDacl, PACL pSacl) {
    uint32_t err = 0;
    if (FaultHit("SetNamedSecurityInfoA", pObjectName ? pObjectName : "", &err)) return err;
    if (!pObjectName || !(SecurityInfo & kParts)) return ERROR_INVALID_PARAMETER;
    if ((SecurityInfo & OWNER_SECURITY_INFORMATION) && !SidCheck((const uint8_t*)psidOwner, SECURITY_MAX_SID_SIZE))
        return ERROR_INVALID_OWNER;
    if ((SecurityInfo & GROUP_SECURITY_INFORMATION) && !SidCheck((const uint8_t*)psidGroup, SECURITY_MAX_SID_SIZE))
        return ERROR_INVALID_PRIMARY_GROUP;
    if ((SecurityInfo & DACL_SECURITY_INFORMATION) && pDacl && !IsValidAcl(pDacl)) return ERROR_INVALID_ACL;
    if ((SecurityInfo & SACL_SECURITY_INFORMATION) && pSacl && !IsValidAcl(pSacl)) return ERROR_INVALID_ACL;
    // A SACL is the security privilege's business whatever the object grants.
    if ((SecurityInfo & SACL_SECURITY_INFORMATION) && !PrivilegeEnabled(SE_SECURITY_NAME) && !SystemAccessActive())
        return ERROR_PRIVILEGE_NOT_HELD;
    SdView given;
    given.owner = (SecurityInfo & OWNER_SECURITY_INFORMATION) ? (const uint8_t*)psidOwner : nullptr;
    given.group = (SecurityInfo & GROUP_SECURITY_INFORMATION) ? (const uint8_t*)psidGroup : nullptr;
    given.dacl = (SecurityInfo & DACL_SECURITY_INFORMATION) ? (const uint8_t*)pDacl : nullptr;
    given.sacl = (SecurityInfo & SACL_SECURITY_INFORMATION) ? (const uint8_t*)pSacl : nullptr;
    uint16_t control = 0;
    if (SecurityInfo & DACL_SECURITY_INFORMATION) control |= SE_DACL_PRESENT;
    if (SecurityInfo & SACL_SECURITY_INFORMATION) control |= SE_SACL_PRESENT;
    if (SecurityInfo & PROTECTED_DACL_SECURITY_INFORMATION) control |= SE_DACL_PROTECTED;
    if (SecurityInfo & PROTECTED_SACL_SECURITY_INFORMATION) control |= SE_SACL_PROTECTED;
    given.control = control;
    if (ObjectType == SE_REGISTRY_KEY)
        return RegistrySet(pObjectName, SecurityInfo & kParts, SdBuild(given));
    if (ObjectType == SE_FILE_OBJECT) return FileSet(pObjectName, SecurityInfo, given);
    return ERROR_INVALID_PARAMETER;
}

VOID BuildExplicitAccessWithNameA(PEXPLICIT_ACCESS_A pExplicitAccess, LPSTR pTrusteeName, DWORD AccessPermissions,
                                  ACCESS_MODE AccessMode, DWORD Inheritance) {
    pExplicitAccess->grfAccessPermissions = AccessPermissions;
    pExplicitAccess->grfAccessMode = AccessMode;
    pExplicitAccess->grfInheritance = Inheritance;
    pExplicitAccess->Trustee.pMultipleTrustee = nullptr;
    pExplicitAccess->Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    pExplicitAccess->Trustee.TrusteeForm = TRUSTEE_IS_NAME;
    pExplicitAccess->Trustee.TrusteeType = TRUSTEE_IS_UNKNOWN;
    pExplicitAccess->Trustee.ptstrName = pTrusteeName;
}

// The SID a trustee names: a SID as given, "CURRENT_USER", or an account name.
static uint32_t TrusteeSid(const TRUSTEE_A& t, SidBytes* sid) {
    // Windows looks at the multiple-trustee fields only for impersonation, which it refuses.
    if (t.MultipleTrusteeOperation == TRUSTEE_IS_IMPERSONATE) return ERROR_INVALID_PARAMETER;
    if (t.TrusteeForm == TRUSTEE_IS_SID) {
        size_t n = SidCheck((const uint8_t*)t.ptstrName, SECURITY_MAX_SID_SIZE);
        if (!n) return ERROR_INVALID_SID;
        sid->assign((const uint8_t*)t.ptstrName, (const uint8_t*)t.ptstrName + n);
        return ERROR_SUCCESS;
    }
    if (t.TrusteeForm != TRUSTEE_IS_NAME || !t.ptstrName) return ERROR_INVALID_PARAMETER;
    if (strcasecmp(t.ptstrName, "CURRENT_USER") == 0) {
        std::lock_guard<ntsim::SimRecursiveMutex> lock(TokenMutex());
        *sid = CurrentToken().user;
        return ERROR_SUCCESS;
    }
    BYTE buf[SECURITY_MAX_SID_SIZE];
    char domain[256];
    DWORD cb = sizeof buf, cch = sizeof domain;
    SID_NAME_USE use;
    if (!LookupAccountNameA(nullptr, t.ptstrName, buf, &cb, domain, &cch, &use)) return GetLastError();
    sid->assign(buf, buf + cb);
    return ERROR_SUCCESS;
}

DWORD SetEntriesInAclA(ULONG cCountOfExplicitEntries, PEXPLICIT_ACCESS_A pListOfExplicitEntries, PACL OldAcl,
                       PACL* NewAcl) {
    uint32_t err = 0;
    // Windows 2000 and later clear the output first, so a failure leaves no stale pointer,
    // and answer nothing to merge with no list at all; NT 4.0 leaves the output alone on a
    // failure and answers an empty list.
    bool nt5 = VersionAtLeast(5, 0);
    if (nt5 && NewAcl) *NewAcl = nullptr;
    if (FaultHit("SetEntriesInAclA", "", &err)) return err;
    if (!NewAcl || (cCountOfExplicitEntries && !pListOfExplicitEntries)) return ERROR_INVALID_PARAMETER;
    if (nt5 && !cCountOfExplicitEntries && !OldAcl) return ERROR_SUCCESS;
    std::vector<AceEntry> old;
    if (OldAcl && !AclParse((const uint8_t*)OldAcl, OldAcl->AclSize, &old)) return ERROR_INVALID_ACL;
    // The existing ACL split into NT's canonical groups; unknown ACE types stay with the allows.
    std::vector<AceEntry> deny, allow, audit, inherited;
    for (AceEntry& a : old) {  // moved: the parsed list is not used again
        if (a.flags & INHERITED_ACE)
            inherited.push_back(std::move(a));
        else if (a.raw.empty() && a.type == ACCESS_DENIED_ACE_TYPE)
            deny.push_back(std::move(a));
        else if (a.raw.empty() && a.type == SYSTEM_AUDIT_ACE_TYPE)
            audit.push_back(std::move(a));
        else
            allow.push_back(std::move(a));
    }
    std::vector<AceEntry> newDeny, newAllow, newAudit;
    // Every entry of the trustee goes from the allows and denies, old and new.
    auto dropTrustee = [&](const SidBytes& sid) {
        for (auto* list : {&allow, &deny, &newAllow, &newDeny}) {
            std::vector<AceEntry> kept;
            for (AceEntry& a : *list)
                if (a.sid != sid) kept.push_back(std::move(a));
            list->swap(kept);
        }
    };
    // An entry of the same type, trustee and inheritance, new or old, takes the new rights;
    // otherwise the entry is added to the new ones.
    auto merge = [](const AceEntry& ace, std::vector<AceEntry>& added, std::vector<AceEntry>& existing) {
        for (auto* list : {&added, &existing})
            for (AceEntry& a : *list)
                if (a.raw.empty() && a.type == ace.type && a.sid == ace.sid && a.flags == ace.flags) {
                    a.mask |= ace.mask;
                    return;
                }
        added.push_back(ace);
    };
    for (ULONG i = 0; i < cCountOfExplicitEntries; ++i) {
        const EXPLICIT_ACCESS_A& e = pListOfExplicitEntries[i];
        SidBytes sid;
        if ((err = TrusteeSid(e.Trustee, &sid)) != ERROR_SUCCESS) return err;
        AceEntry ace;
        ace.sid = sid;
        ace.mask = e.grfAccessPermissions;
        ace.flags = (uint8_t)(e.grfInheritance & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | NO_PROPAGATE_INHERIT_ACE |
                                                  INHERIT_ONLY_ACE));
        switch (e.grfAccessMode) {
        case NOT_USED_ACCESS:
            break;
        case GRANT_ACCESS:
            ace.type = ACCESS_ALLOWED_ACE_TYPE;
            merge(ace, newAllow, allow);
            break;
        case SET_ACCESS:
            dropTrustee(sid);
            newAllow.push_back(ace);
            break;
        case DENY_ACCESS:
            ace.type = ACCESS_DENIED_ACE_TYPE;
            merge(ace, newDeny, deny);
            break;
        case REVOKE_ACCESS:
            dropTrustee(sid);
            break;
        case SET_AUDIT_SUCCESS:
        case SET_AUDIT_FAILURE:
            ace.type = SYSTEM_AUDIT_ACE_TYPE;
            ace.flags |= e.grfAccessMode == SET_AUDIT_SUCCESS ? SUCCESSFUL_ACCESS_ACE_FLAG : FAILED_ACCESS_ACE_FLAG;
            newAudit.push_back(ace);
            break;
        default:
            return ERROR_INVALID_PARAMETER;
        }
    }
    // Canonical order: explicit denies, explicit allows (new entries first), audits, inherited.
    std::vector<AceEntry> result;
    for (auto* list : {&newDeny, &deny, &newAllow, &allow, &newAudit, &audit, &inherited})
        result.insert(result.end(), list->begin(), list->end());
    std::vector<uint8_t> acl = AclBuild(result, OldAcl ? OldAcl->AclRevision : (uint8_t)ACL_REVISION);
    if (acl.size() > 0xFFFC) return ERROR_INVALID_PARAMETER;
    PACL out = (PACL)LocalCopy(acl.data(), acl.size());
    if (!out) return ERROR_NOT_ENOUGH_MEMORY;
    *NewAcl = out;
    return ERROR_SUCCESS;
}
