// Key security: access checks at open and create (with backup/restore
// semantics), the descriptors of new keys (inherited or given), and
// RegGetKeySecurity / RegSetKeySecurity on shared, copy-on-write descriptors.
#include <cstring>

#include "ntsim/security/access.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/registry/inheritance.h"
#include "ntsim/registry/internal.h"
#include "ntsim/kernel/threads.h"

namespace ntsim {
namespace reg {

namespace {

// A descriptor taken apart: each part as its own bytes (SID or ACL).
struct SdParts {
    uint16_t control = 0;
    std::vector<uint8_t> owner, group, sacl, dacl;
    bool saclPresent = false, daclPresent = false;
};

uint32_t Le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | ((uint32_t)p[3] << 24); }
uint16_t Le16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }

size_t SidLength(const uint8_t* sid, size_t avail) {
    if (avail < 8 || sid[0] != SID_REVISION || sid[1] > SID_MAX_SUB_AUTHORITIES) return 0;
    size_t n = 8 + 4u * sid[1];
    return n <= avail ? n : 0;
}

// An ACL is valid when its size fits and every ACE lies inside it.
size_t AclLength(const uint8_t* acl, size_t avail) {
    if (avail < 8) return 0;
    size_t size = Le16(acl + 2), count = Le16(acl + 4);
    if (size < 8 || size > avail || (acl[0] != ACL_REVISION && acl[0] != ACL_REVISION_DS && acl[0] != 3)) return 0;
    size_t pos = 8;
    for (size_t i = 0; i < count; ++i) {
        if (pos + 4 > size) return 0;
        size_t aceSize = Le16(acl + pos + 2);
        if (aceSize < 4 || pos + aceSize > size) return 0;
        pos += aceSize;
    }
    return size;
}

bool ParseSelfRelative(const uint8_t* sd, size_t size, SdParts* out) {
    if (size < 20 || sd[0] != SECURITY_DESCRIPTOR_REVISION) return false;
    out->control = Le16(sd + 2);
    uint32_t offs[4] = {Le32(sd + 4), Le32(sd + 8), Le32(sd + 12), Le32(sd + 16)};
    for (int i = 0; i < 4; ++i) {
        if (!offs[i]) continue;
        if (offs[i] < 20 || offs[i] >= size) return false;
        const uint8_t* p = sd + offs[i];
        size_t avail = size - offs[i];
        size_t n = i < 2 ? SidLength(p, avail) : AclLength(p, avail);
        if (!n) return false;
        std::vector<uint8_t>& dst = i == 0 ? out->owner : i == 1 ? out->group : i == 2 ? out->sacl : out->dacl;
        dst.assign(p, p + n);
    }
    out->saclPresent = (out->control & SE_SACL_PRESENT) != 0;
    out->daclPresent = (out->control & SE_DACL_PRESENT) != 0;
    return true;
}

// A caller's descriptor, absolute or self-relative. Its memory is the caller's, as on
// Windows; the parts are still checked for sane sizes.
bool ParseCallerDescriptor(const void* descriptor, SdParts* out) {
    const uint8_t* sd = (const uint8_t*)descriptor;
    if (sd[0] != SECURITY_DESCRIPTOR_REVISION) return false;
    uint16_t control = Le16(sd + 2);
    if (control & SE_SELF_RELATIVE) return ParseSelfRelative(sd, 0x10000, out);
    const SECURITY_DESCRIPTOR* abs = (const SECURITY_DESCRIPTOR*)descriptor;
    out->control = control;
    if (abs->Owner) {
        size_t n = SidLength((const uint8_t*)abs->Owner, 68);
        if (!n) return false;
        out->owner.assign((const uint8_t*)abs->Owner, (const uint8_t*)abs->Owner + n);
    }
    if (abs->Group) {
        size_t n = SidLength((const uint8_t*)abs->Group, 68);
        if (!n) return false;
        out->group.assign((const uint8_t*)abs->Group, (const uint8_t*)abs->Group + n);
    }
    if ((control & SE_SACL_PRESENT) && abs->Sacl) {
        size_t n = AclLength((const uint8_t*)abs->Sacl, 0x10000);
        if (!n) return false;
        out->sacl.assign((const uint8_t*)abs->Sacl, (const uint8_t*)abs->Sacl + n);
    }
    if ((control & SE_DACL_PRESENT) && abs->Dacl) {
        size_t n = AclLength((const uint8_t*)abs->Dacl, 0x10000);
        if (!n) return false;
        out->dacl.assign((const uint8_t*)abs->Dacl, (const uint8_t*)abs->Dacl + n);
    }
    out->saclPresent = (control & SE_SACL_PRESENT) != 0;
    out->daclPresent = (control & SE_DACL_PRESENT) != 0;
    return true;
}

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = (uint8_t)(v >> (8 * i));
}

// Self-relative form in NT's order: header, SACL, DACL, owner, group.
std::vector<uint8_t> BuildSelfRelative(const SdParts& parts, bool owner, bool group, bool sacl, bool dacl) {
    std::vector<uint8_t> out(20, 0);
    out[0] = SECURITY_DESCRIPTOR_REVISION;
    uint16_t control = SE_SELF_RELATIVE | (parts.control & (SE_DACL_PROTECTED | SE_SACL_PROTECTED | SE_DACL_AUTO_INHERITED | SE_SACL_AUTO_INHERITED));
    auto append = [&](const std::vector<uint8_t>& part, size_t field) {
        if (part.empty()) return;
        Put32(out, field, (uint32_t)out.size());
        out.insert(out.end(), part.begin(), part.end());
    };
    if (sacl && parts.saclPresent) {
        control |= SE_SACL_PRESENT;
        append(parts.sacl, 12);
    }
    if (dacl && parts.daclPresent) {
        control |= SE_DACL_PRESENT;
        append(parts.dacl, 16);
    }
    if (owner) append(parts.owner, 4);
    if (group) append(parts.group, 8);
    out[2] = (uint8_t)(control & 0xFF);
    out[3] = (uint8_t)(control >> 8);
    return out;
}

const uint8_t kCreatorOwner[12] = {1, 1, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0};
const uint8_t kCreatorGroup[12] = {1, 1, 0, 0, 0, 0, 0, 3, 1, 0, 0, 0};
const uint8_t kLocalSystem[12] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
const uint8_t kAdministrators[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
const uint8_t kEveryone[12] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};

uint32_t MapGeneric(uint32_t mask) {
    const GENERIC_MAPPING& m = KeyMapping();
    if (mask & GENERIC_READ) mask |= m.GenericRead;
    if (mask & GENERIC_WRITE) mask |= m.GenericWrite;
    if (mask & GENERIC_EXECUTE) mask |= m.GenericExecute;
    if (mask & GENERIC_ALL) mask |= m.GenericAll;
    return mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

void AppendAce(std::vector<uint8_t>& aces, uint8_t type, uint8_t flags, uint32_t mask, const uint8_t* sid, size_t sidLen) {
    size_t size = 8 + sidLen;
    size_t at = aces.size();
    aces.resize(at + size);
    aces[at] = type;
    aces[at + 1] = flags;
    aces[at + 2] = (uint8_t)(size & 0xFF);
    aces[at + 3] = (uint8_t)(size >> 8);
    Put32(aces, at + 4, mask);
    memcpy(&aces[at + 8], sid, sidLen);
}

std::vector<uint8_t> MakeAcl(uint8_t revision, const std::vector<uint8_t>& aces, size_t count) {
    std::vector<uint8_t> acl(8, 0);
    acl[0] = revision;
    size_t size = 8 + aces.size();
    acl[2] = (uint8_t)(size & 0xFF);
    acl[3] = (uint8_t)(size >> 8);
    acl[4] = (uint8_t)(count & 0xFF);
    acl[5] = (uint8_t)(count >> 8);
    acl.insert(acl.end(), aces.begin(), aces.end());
    return acl;
}

// NT's inheritance for a new container: ACEs marked container-inherit apply to
// it (CREATOR OWNER/GROUP replaced by the new owner and group, generic rights
// mapped) and stay inheritable unless no-propagate; object-inherit-only ACEs are
// carried as inherit-only. Returns false when nothing is inherited.
bool InheritAcl(const std::vector<uint8_t>& parent, const std::vector<uint8_t>& owner, const std::vector<uint8_t>& group,
                std::vector<uint8_t>* out) {
    if (parent.size() < 8) return false;
    std::vector<uint8_t> aces;
    size_t count = 0, pos = 8, total = Le16(&parent[4]);
    for (size_t i = 0; i < total && pos + 8 <= parent.size(); ++i) {
        const uint8_t* ace = &parent[pos];
        size_t aceSize = Le16(ace + 2);
        if (aceSize < 8 || pos + aceSize > parent.size()) break;
        pos += aceSize;
        uint8_t type = ace[0], flags = ace[1];
        uint32_t mask = Le32(ace + 4);
        const uint8_t* sid = ace + 8;
        size_t sidLen = aceSize >= 16 ? SidLength(sid, aceSize - 8) : 0;
        if (type > SYSTEM_AUDIT_ACE_TYPE || !sidLen) continue;  // only the plain ACE types are inherited
        bool propagate = !(flags & NO_PROPAGATE_INHERIT_ACE);
        uint8_t keep = flags & (SUCCESSFUL_ACCESS_ACE_FLAG | FAILED_ACCESS_ACE_FLAG);
        if (flags & CONTAINER_INHERIT_ACE) {
            bool creatorOwner = sidLen == 12 && memcmp(sid, kCreatorOwner, 12) == 0;
            bool creatorGroup = sidLen == 12 && memcmp(sid, kCreatorGroup, 12) == 0;
            bool generic = (mask & (GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL)) != 0;
            if (creatorOwner || creatorGroup || generic || !propagate) {
                const std::vector<uint8_t>& who = creatorOwner ? owner : group;
                if (creatorOwner || creatorGroup)
                    AppendAce(aces, type, keep, MapGeneric(mask), who.data(), who.size());
                else
                    AppendAce(aces, type, keep, MapGeneric(mask), sid, sidLen);
                ++count;
                if (propagate) {
                    AppendAce(aces, type, (uint8_t)((flags & (CONTAINER_INHERIT_ACE | OBJECT_INHERIT_ACE)) | INHERIT_ONLY_ACE | keep), mask, sid, sidLen);
                    ++count;
                }
            } else {
                AppendAce(aces, type, (uint8_t)((flags & (CONTAINER_INHERIT_ACE | OBJECT_INHERIT_ACE)) | keep), mask, sid, sidLen);
                ++count;
            }
        } else if ((flags & OBJECT_INHERIT_ACE) && propagate) {
            AppendAce(aces, type, (uint8_t)(OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE | keep), mask, sid, sidLen);
            ++count;
        }
    }
    if (!count) return false;
    *out = MakeAcl(parent[0], aces, count);
    return true;
}

// What a token gives a new object that inherits no DACL: full access to SYSTEM and the owner.
std::vector<uint8_t> DefaultDacl(const std::vector<uint8_t>& owner) {
    std::vector<uint8_t> aces;
    AppendAce(aces, ACCESS_ALLOWED_ACE_TYPE, 0, KEY_ALL_ACCESS, kLocalSystem, sizeof kLocalSystem);
    AppendAce(aces, ACCESS_ALLOWED_ACE_TYPE, 0, KEY_ALL_ACCESS, owner.data(), owner.size());
    return MakeAcl(ACL_REVISION, aces, 2);
}

// The root keys are not in any hive; they answer with a fixed descriptor.
const std::vector<uint8_t>& RootDescriptor() {
    static std::vector<uint8_t> sd;
    if (sd.empty()) {
        SdParts parts;
        parts.owner.assign(kAdministrators, kAdministrators + sizeof kAdministrators);
        parts.group.assign(kLocalSystem, kLocalSystem + sizeof kLocalSystem);
        std::vector<uint8_t> aces;
        AppendAce(aces, ACCESS_ALLOWED_ACE_TYPE, 0, KEY_READ, kEveryone, sizeof kEveryone);
        AppendAce(aces, ACCESS_ALLOWED_ACE_TYPE, 0, KEY_ALL_ACCESS, kAdministrators, sizeof kAdministrators);
        AppendAce(aces, ACCESS_ALLOWED_ACE_TYPE, 0, KEY_ALL_ACCESS, kLocalSystem, sizeof kLocalSystem);
        parts.dacl = MakeAcl(ACL_REVISION, aces, 3);
        parts.daclPresent = true;
        sd = BuildSelfRelative(parts, true, true, false, true);
    }
    return sd;
}

bool TokenHoldsSid(const std::vector<uint8_t>& sid) {
    const Token& token = CurrentToken();
    if (sid == token.user) return true;
    for (const auto& g : token.groups)
        if (g == sid) return true;
    return false;
}

}  // namespace

size_t DescriptorSize(const HiveKey* key) {
    if (IsRootKey(key)) return RootDescriptor().size();
    return key->security ? key->security->size() : 20;
}

bool HasPrivilege(const char* name) { return SystemAccessActive() || PrivilegeEnabled(name); }

uint32_t CheckKeyAccess(const HiveKey* key, uint32_t desired, uint32_t options, uint32_t* granted) {
    desired &= ~(uint32_t)(KEY_WOW64_64KEY | KEY_WOW64_32KEY);
    uint32_t all = (desired & MAXIMUM_ALLOWED) ? (uint32_t)KEY_ALL_ACCESS : 0;
    if (options & REG_OPTION_BACKUP_RESTORE) {
        // The requested rights are ignored: the privileges decide what the handle gets.
        uint32_t g = 0;
        if (HasPrivilege("SeBackupPrivilege")) g |= KEY_READ | ACCESS_SYSTEM_SECURITY;
        if (HasPrivilege("SeRestorePrivilege")) g |= KEY_WRITE | DELETE | WRITE_DAC | WRITE_OWNER | ACCESS_SYSTEM_SECURITY;
        if (g) {
            *granted = g;
            return ERROR_SUCCESS;
        }
    }
    if ((desired & ACCESS_SYSTEM_SECURITY) && !HasPrivilege("SeSecurityPrivilege")) return ERROR_PRIVILEGE_NOT_HELD;
    if (IsRootKey(key) || !key->security || key->security->empty()) {
        *granted = all | MapGeneric(desired & ~(uint32_t)MAXIMUM_ALLOWED);
        return ERROR_SUCCESS;
    }
    return AccessCheck(key->security->data(), key->security->size(), desired, KeyMapping(), granted);
}

uint32_t NewKeyDescriptor(const HiveKey* parent, const void* given, SharedDescriptor* out) {
    const Token& token = CurrentToken();
    SdParts result, mine, parentParts;
    if (given && !ParseCallerDescriptor(given, &mine)) return ERROR_INVALID_SECURITY_DESCR;
    if (parent && parent->security) ParseSelfRelative(parent->security->data(), parent->security->size(), &parentParts);
    result.owner = !mine.owner.empty() ? mine.owner : (!token.owner.empty() ? token.owner : token.user);
    if (!mine.owner.empty() && !TokenHoldsSid(mine.owner) && !HasPrivilege("SeRestorePrivilege")) return ERROR_INVALID_OWNER;
    result.group = !mine.group.empty() ? mine.group : (!token.primaryGroup.empty() ? token.primaryGroup : token.user);
    // A given descriptor is stored with its generic rights mapped, as NT assigns it.
    if (!mine.dacl.empty()) AclMapGeneric(mine.dacl.data(), mine.dacl.size(), KeyMapping());
    if (!mine.sacl.empty()) AclMapGeneric(mine.sacl.data(), mine.sacl.size(), KeyMapping());
    if (mine.daclPresent) {
        result.dacl = mine.dacl;
        result.daclPresent = true;
    } else if (parentParts.daclPresent && InheritAcl(parentParts.dacl, result.owner, result.group, &result.dacl)) {
        result.daclPresent = true;
    } else {
        result.dacl = DefaultDacl(result.owner);
        result.daclPresent = true;
    }
    if (mine.saclPresent) {
        if (!HasPrivilege("SeSecurityPrivilege")) return ERROR_PRIVILEGE_NOT_HELD;
        result.sacl = mine.sacl;
        result.saclPresent = true;
    } else if (parentParts.saclPresent && InheritAcl(parentParts.sacl, result.owner, result.group, &result.sacl)) {
        result.saclPresent = true;
    }
    result.control = mine.control;
    *out = std::make_shared<const std::vector<uint8_t>>(BuildSelfRelative(result, true, true, true, true));
    return ERROR_SUCCESS;
}

namespace {

// The descriptor a key reports when it has none stored (see RegGetKeySecurity).
const std::vector<uint8_t>& EmptyDescriptor() {
    static const std::vector<uint8_t> kEmpty = {SECURITY_DESCRIPTOR_REVISION, 0, 0, 0x80, 0, 0, 0, 0, 0, 0,
                                                0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    return kEmpty;
}

const std::vector<uint8_t>& StoredDescriptor(const HiveKey* key) {
    if (IsRootKey(key)) return RootDescriptor();
    return key->security ? *key->security : EmptyDescriptor();
}

void StoreDescriptor(HiveKey* key, std::vector<uint8_t> sd) {
    if (key->security && *key->security == sd) return;
    // Copy on write: keys that shared the old descriptor keep it.
    key->security = std::make_shared<const std::vector<uint8_t>>(std::move(sd));
    if (!key->isVolatile) {
        HiveMarkDirty(key, kDirtyRecord);
        if (Mount* m = MountOf(key)) m->dirty = true;
    }
}

// Every key below key computed again from its parent's lists (keySd; keyWas before the change).
void PropagateKeys(HiveKey* key, const std::vector<uint8_t>& keySd, const std::vector<uint8_t>& keyWas, uint32_t lists) {
    for (auto& sub : key->subkeys) {
        HiveKey* child = sub.get();
        std::vector<uint8_t> old = StoredDescriptor(child);
        std::vector<uint8_t> now = AutoInheritDescriptor(keySd.data(), keySd.size(), old.data(), old.size(), true,
                                                         KeyMapping(), lists, keyWas.data(), keyWas.size());
        StoreDescriptor(child, now);
        SdParts parts;
        if (!ParseSelfRelative(now.data(), now.size(), &parts)) continue;
        bool shut = (!(lists & DACL_SECURITY_INFORMATION) || (parts.control & SE_DACL_PROTECTED)) &&
                    (!(lists & SACL_SECURITY_INFORMATION) || (parts.control & SE_SACL_PROTECTED));
        if (!shut) PropagateKeys(child, now, old, lists);
    }
}

}  // namespace

bool StoredDescriptorOf(HKEY hKey, std::vector<uint8_t>* sd) {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    Resolved r;
    if (ResolveHandle(hKey, &r) != ERROR_SUCCESS) return false;
    *sd = StoredDescriptor(r.key);
    return true;
}

uint32_t AutoInheritKey(HKEY hKey, uint32_t lists, const std::vector<uint8_t>& was) {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    Resolved r;
    uint32_t err = ResolveHandle(hKey, &r);
    if (err != ERROR_SUCCESS) return err;
    lists &= DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
    if (!lists || IsRootKey(r.key)) return ERROR_SUCCESS;
    SdParts parts;
    const std::vector<uint8_t>& mine = StoredDescriptor(r.key);
    if (!ParseSelfRelative(mine.data(), mine.size(), &parts)) return ERROR_SUCCESS;
    // The lists just set are the key's own entries: what it inherits is added to them.
    if (lists & DACL_SECURITY_INFORMATION) parts.control |= SE_DACL_AUTO_INHERITED;
    if (lists & SACL_SECURITY_INFORMATION) parts.control |= SE_SACL_AUTO_INHERITED;
    std::vector<uint8_t> own = BuildSelfRelative(parts, true, true, true, true);
    const std::vector<uint8_t>& up = r.key->parent ? StoredDescriptor(r.key->parent) : EmptyDescriptor();
    std::vector<uint8_t> now = AutoInheritDescriptor(up.data(), up.size(), own.data(), own.size(), true, KeyMapping(), lists);
    StoreDescriptor(r.key, now);
    PropagateKeys(r.key, now, was, lists);
    return ERROR_SUCCESS;
}

}  // namespace reg
}  // namespace ntsim

uint32_t ntsim::RegAutoInheritKey(HKEY key, uint32_t lists, const std::vector<uint8_t>& was) {
    return reg::AutoInheritKey(key, lists, was);
}
bool ntsim::RegStoredDescriptor(HKEY key, std::vector<uint8_t>* sd) { return reg::StoredDescriptorOf(key, sd); }

using namespace ntsim;
using namespace ntsim::reg;

LONG WINAPI RegGetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation, PSECURITY_DESCRIPTOR pSecurityDescriptor,
                              LPDWORD lpcbSecurityDescriptor) {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    uint32_t err = 0;
    if (KeyFault("RegGetKeySecurity", hKey, nullptr, &err)) return (LONG)err;
    Resolved r;
    if ((err = ResolveHandle(hKey, &r)) != ERROR_SUCCESS) return (LONG)err;
    if (!lpcbSecurityDescriptor) return ERROR_INVALID_PARAMETER;
    SECURITY_INFORMATION info = SecurityInformation;
    if ((info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION)) &&
        !(r.granted & READ_CONTROL))
        return ERROR_ACCESS_DENIED;
    if ((info & SACL_SECURITY_INFORMATION) && !(r.granted & ACCESS_SYSTEM_SECURITY) && !HasPrivilege("SeSecurityPrivilege"))
        return ERROR_PRIVILEGE_NOT_HELD;
    SdParts parts;
    // A key without a descriptor answers with an empty one (no owner, no DACL: open to all).
    static const std::vector<uint8_t> kEmpty = {SECURITY_DESCRIPTOR_REVISION, 0, 0, 0x80, 0, 0, 0, 0, 0, 0,
                                                0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const std::vector<uint8_t>& stored = IsRootKey(r.key) ? RootDescriptor() : (r.key->security ? *r.key->security : kEmpty);
    if (!ParseSelfRelative(stored.data(), stored.size(), &parts)) return ERROR_INVALID_SECURITY_DESCR;
    std::vector<uint8_t> sd = BuildSelfRelative(parts, info & OWNER_SECURITY_INFORMATION, info & GROUP_SECURITY_INFORMATION,
                                                info & SACL_SECURITY_INFORMATION, info & DACL_SECURITY_INFORMATION);
    DWORD capacity = *lpcbSecurityDescriptor;
    *lpcbSecurityDescriptor = (DWORD)sd.size();
    if (!pSecurityDescriptor || capacity < sd.size()) return ERROR_INSUFFICIENT_BUFFER;
    memcpy(pSecurityDescriptor, sd.data(), sd.size());
    return ERROR_SUCCESS;
}

LONG WINAPI RegSetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation, PSECURITY_DESCRIPTOR pSecurityDescriptor) {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(Mutex());
    uint32_t err = 0;
    if (KeyFault("RegSetKeySecurity", hKey, nullptr, &err)) return (LONG)err;
    SECURITY_INFORMATION info = SecurityInformation;
    const SECURITY_INFORMATION parts4 =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
    if (!(info & parts4) || !pSecurityDescriptor) return ERROR_INVALID_PARAMETER;
    Resolved r;
    if ((err = ResolveHandle(hKey, &r)) != ERROR_SUCCESS) return (LONG)err;
    if ((info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION)) && !(r.granted & WRITE_OWNER))
        return ERROR_ACCESS_DENIED;
    if ((info & DACL_SECURITY_INFORMATION) && !(r.granted & WRITE_DAC)) return ERROR_ACCESS_DENIED;
    if ((info & SACL_SECURITY_INFORMATION) && !(r.granted & ACCESS_SYSTEM_SECURITY) && !HasPrivilege("SeSecurityPrivilege"))
        return ERROR_PRIVILEGE_NOT_HELD;
    if (IsRootKey(r.key)) return ERROR_ACCESS_DENIED;
    SdParts given, current;
    if (!ParseCallerDescriptor(pSecurityDescriptor, &given)) return ERROR_INVALID_SECURITY_DESCR;
    // Stored with the generic rights of the entries that apply to the key mapped, as NT sets it.
    if (!given.dacl.empty()) AclMapGeneric(given.dacl.data(), given.dacl.size(), KeyMapping());
    if (!given.sacl.empty()) AclMapGeneric(given.sacl.data(), given.sacl.size(), KeyMapping());
    if (r.key->security && !ParseSelfRelative(r.key->security->data(), r.key->security->size(), &current))
        current = SdParts();
    if (info & OWNER_SECURITY_INFORMATION) {
        if (given.owner.empty()) return ERROR_INVALID_OWNER;
        if (!TokenHoldsSid(given.owner) && !HasPrivilege("SeRestorePrivilege")) return ERROR_INVALID_OWNER;
        current.owner = given.owner;
    }
    if (info & GROUP_SECURITY_INFORMATION) {
        if (given.group.empty()) return ERROR_INVALID_PRIMARY_GROUP;
        current.group = given.group;
    }
    if (info & DACL_SECURITY_INFORMATION) {
        current.daclPresent = given.daclPresent;
        current.dacl = given.dacl;
        current.control = (uint16_t)((current.control & ~SE_DACL_PROTECTED) | (given.control & SE_DACL_PROTECTED));
    }
    if (info & SACL_SECURITY_INFORMATION) {
        current.saclPresent = given.saclPresent;
        current.sacl = given.sacl;
        current.control = (uint16_t)((current.control & ~SE_SACL_PROTECTED) | (given.control & SE_SACL_PROTECTED));
    }
    // Copy on write: keys that shared the old descriptor keep it.
    r.key->security = std::make_shared<const std::vector<uint8_t>>(BuildSelfRelative(current, true, true, true, true));
    if (!r.key->isVolatile) {
        HiveMarkDirty(r.key, kDirtyRecord);
        if (Mount* m = MountOf(r.key)) m->dirty = true;
    }
    return ERROR_SUCCESS;
}
