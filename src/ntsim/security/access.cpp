// NT's access check against a descriptor for the process token, the inheritance of
// ACEs by new objects, and the scope in which the simulation reads its own data.
#include "ntsim/security/access.h"

#include "ntsim/security/sd.h"
#include "ntsim/security/token_internal.h"
#include "ntsim/kernel/threads.h"

namespace ntsim {

namespace {
uint32_t MapGeneric(uint32_t mask, const GENERIC_MAPPING& m) {
    if (mask & GENERIC_READ) mask |= m.GenericRead;
    if (mask & GENERIC_WRITE) mask |= m.GenericWrite;
    if (mask & GENERIC_EXECUTE) mask |= m.GenericExecute;
    if (mask & GENERIC_ALL) mask |= m.GenericAll;
    return mask & ~(uint32_t)(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}
}  // namespace

void AclMapGeneric(uint8_t* acl, size_t len, const GENERIC_MAPPING& mapping) {
    if (!acl || len < sizeof(ACL)) return;
    size_t size = (size_t)(acl[2] | (acl[3] << 8)), count = (size_t)(acl[4] | (acl[5] << 8));
    if (size > len) size = len;
    size_t pos = sizeof(ACL);
    for (size_t i = 0; i < count && pos + 8 <= size; ++i) {
        uint8_t* ace = acl + pos;
        size_t aceSize = (size_t)(ace[2] | (ace[3] << 8));
        if (aceSize < 8 || pos + aceSize > size) return;
        pos += aceSize;
        // Allow, deny, audit and alarm entries and their object forms (types 0 to 8) carry
        // their mask right after the header.
        if (ace[0] > 8 || (ace[1] & INHERIT_ONLY_ACE)) continue;
        uint32_t mask = (uint32_t)ace[4] | ((uint32_t)ace[5] << 8) | ((uint32_t)ace[6] << 16) | ((uint32_t)ace[7] << 24);
        mask = MapGeneric(mask, mapping);
        for (int b = 0; b < 4; ++b) ace[4 + b] = (uint8_t)(mask >> (8 * b));
    }
}

uint32_t AccessCheck(const uint8_t* descriptor, size_t size, uint32_t desired, const GENERIC_MAPPING& mapping,
                     uint32_t* granted) {
    return AccessCheckEx(descriptor, size, desired, mapping, 0, granted);
}

uint32_t AccessCheckEx(const uint8_t* descriptor, size_t size, uint32_t desired, const GENERIC_MAPPING& mapping,
                       uint32_t flags, uint32_t* granted) {
    *granted = 0;
    const uint32_t all = MapGeneric(GENERIC_ALL, mapping) | STANDARD_RIGHTS_ALL;
    bool maximum = (desired & MAXIMUM_ALLOWED) != 0;
    uint32_t want = MapGeneric(desired & ~(uint32_t)MAXIMUM_ALLOWED, mapping);
    if (SystemAccessActive()) {
        *granted = maximum ? (all | (want & ACCESS_SYSTEM_SECURITY)) : want;
        return ERROR_SUCCESS;
    }
    SdView sd;
    if (SdParseRelative(descriptor, size, &sd) != ERROR_SUCCESS) return ERROR_INVALID_SECURITY_DESCR;
    std::lock_guard<ntsim::SimRecursiveMutex> lock(TokenMutex());
    const Token& token = CurrentToken();

    // Rights that come from privileges rather than from the DACL. (The names are made
    // once: the check runs at every open.)
    static const std::string kSecurity = SE_SECURITY_NAME, kTakeOwnership = SE_TAKE_OWNERSHIP_NAME,
                             kBackup = SE_BACKUP_NAME, kRestore = SE_RESTORE_NAME;
    uint32_t privileged = 0;
    if (want & ACCESS_SYSTEM_SECURITY) {
        if (!token.enabled.count(kSecurity)) return ERROR_PRIVILEGE_NOT_HELD;
        privileged |= ACCESS_SYSTEM_SECURITY;
        want &= ~(uint32_t)ACCESS_SYSTEM_SECURITY;
    }
    uint32_t allowed = 0, denied = 0;
    if (!(sd.control & SE_DACL_PRESENT) || !sd.dacl) {
        allowed = all;  // no DACL, or a null one: no protection at all
    } else {
        // ACEs in order: a right is decided by the first ACE that names it for this token.
        // The ACEs are read where they lie: SdParseRelative has checked the ACL whole.
        {
            unsigned count = (unsigned)(sd.dacl[4] | (sd.dacl[5] << 8));
            size_t off = sizeof(ACL);
            for (unsigned i = 0; i < count; ++i) {
                const uint8_t* ace = sd.dacl + off;
                off += (size_t)(ace[2] | (ace[3] << 8));
                uint8_t type = ace[0];
                if (ace[1] & INHERIT_ONLY_ACE) continue;
                if (type != ACCESS_ALLOWED_ACE_TYPE && type != ACCESS_DENIED_ACE_TYPE) continue;
                if (!TokenHasSid(token, ace + 8)) continue;
                uint32_t mask = (uint32_t)ace[4] | ((uint32_t)ace[5] << 8) | ((uint32_t)ace[6] << 16) | ((uint32_t)ace[7] << 24);
                uint32_t m = MapGeneric(mask, mapping);
                if (type == ACCESS_ALLOWED_ACE_TYPE)
                    allowed |= m & ~denied;
                else
                    denied |= m & ~allowed;
            }
        }
    }
    // A request the DACL grants in full needs nothing from the privileges or the ownership.
    if (!maximum && (allowed & want) == want && !(denied & want)) {
        *granted = want | (privileged & ACCESS_SYSTEM_SECURITY);
        return ERROR_SUCCESS;
    }
    if (token.enabled.count(kTakeOwnership)) privileged |= WRITE_OWNER;
    if (flags & kBackupIntent) {
        if (token.enabled.count(kBackup)) privileged |= MapGeneric(GENERIC_READ, mapping) | READ_CONTROL;
        if (token.enabled.count(kRestore))
            privileged |= MapGeneric(GENERIC_WRITE, mapping) | WRITE_DAC | WRITE_OWNER | DELETE;
    }
    // The owner may always read and change the DACL.
    if (sd.owner && TokenHasSid(token, sd.owner)) privileged |= READ_CONTROL | WRITE_DAC;

    uint32_t have = (allowed | privileged) & ~(denied & ~privileged);
    if (maximum) {
        if (!have && !want) return ERROR_ACCESS_DENIED;
        if ((want & have) != want) return ERROR_ACCESS_DENIED;
        *granted = have | (privileged & ACCESS_SYSTEM_SECURITY);
        return ERROR_SUCCESS;
    }
    if ((want & have) != want) return ERROR_ACCESS_DENIED;
    *granted = want | (privileged & ACCESS_SYSTEM_SECURITY);
    return ERROR_SUCCESS;
}

// Inherited ACEs of one ACL for a child object: NT's rules for object and container
// inheritance, NO_PROPAGATE, INHERIT_ONLY and the creator SIDs.
static std::vector<AceEntry> InheritAces(const std::vector<AceEntry>& parent, bool isContainer, const Token& token,
                                         const GENERIC_MAPPING* mapping) {
    const SidBytes creatorOwner = SidCreatorOwner(), creatorGroup = SidCreatorGroup();
    std::vector<AceEntry> out;
    for (const AceEntry& ace : parent) {
        if (!ace.raw.empty()) continue;
        uint8_t f = ace.flags;
        bool oi = f & OBJECT_INHERIT_ACE, ci = f & CONTAINER_INHERIT_ACE, np = f & NO_PROPAGATE_INHERIT_ACE;
        uint8_t audit = f & (SUCCESSFUL_ACCESS_ACE_FLAG | FAILED_ACCESS_ACE_FLAG);
        if (!isContainer) {
            if (!oi) continue;
            AceEntry e = ace;
            e.flags = INHERITED_ACE | audit;
            if (e.sid == creatorOwner) e.sid = token.owner;
            if (e.sid == creatorGroup) e.sid = token.primaryGroup;
            if (mapping) e.mask = MapGeneric(e.mask, *mapping);
            out.push_back(e);
            continue;
        }
        if (!oi && !ci) continue;
        if (ci) {
            bool creator = ace.sid == creatorOwner || ace.sid == creatorGroup;
            bool generic = (ace.mask & (GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL)) != 0;
            // The effective ACE on the container itself.
            AceEntry eff = ace;
            eff.flags = INHERITED_ACE | audit;
            if (eff.sid == creatorOwner) eff.sid = token.owner;
            if (eff.sid == creatorGroup) eff.sid = token.primaryGroup;
            if (mapping) eff.mask = MapGeneric(eff.mask, *mapping);
            if (np) {
                out.push_back(eff);
                continue;
            }
            if (creator || (generic && mapping)) {
                // Split: one effective ACE and one inherit-only ACE that passes the original on.
                out.push_back(eff);
                AceEntry pass = ace;
                pass.flags = (uint8_t)((f & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) | INHERIT_ONLY_ACE |
                                       INHERITED_ACE | audit);
                out.push_back(pass);
            } else {
                AceEntry both = ace;
                both.flags = (uint8_t)((f & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) | INHERITED_ACE | audit);
                out.push_back(both);
            }
        } else if (!np) {
            // Object inheritance only: passed on to the files below, not effective here.
            AceEntry pass = ace;
            pass.flags = (uint8_t)(OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE | INHERITED_ACE | audit);
            out.push_back(pass);
        }
    }
    return out;
}

static std::vector<AceEntry> DefaultDaclAces(const Token& token) {
    std::vector<AceEntry> aces;
    AceEntry sys;
    sys.mask = GENERIC_ALL;
    sys.sid = SidLocalSystem();
    aces.push_back(sys);
    if (token.owner != sys.sid) {
        AceEntry own = sys;
        own.sid = token.owner;
        aces.push_back(own);
    }
    return aces;
}

std::vector<uint8_t> TokenDefaultDaclBytes(const Token& token) { return AclBuild(DefaultDaclAces(token)); }

std::vector<uint8_t> InheritDescriptor(const uint8_t* parent, size_t size, bool isContainer, const Token& token,
                                       const GENERIC_MAPPING* mapping) {
    SdView sd;
    std::vector<AceEntry> daclAces, saclAces, childDacl, childSacl;
    bool parsed = parent && SdParseRelative(parent, size, &sd) == ERROR_SUCCESS;
    if (parsed && sd.dacl) AclParse(sd.dacl, sd.daclLen, &daclAces);
    if (parsed && sd.sacl) AclParse(sd.sacl, sd.saclLen, &saclAces);
    childDacl = InheritAces(daclAces, isContainer, token, mapping);
    childSacl = InheritAces(saclAces, isContainer, token, mapping);
    uint16_t control = SE_DACL_PRESENT;
    if (childDacl.empty()) {
        // Nothing to inherit: the token's default DACL.
        childDacl = DefaultDaclAces(token);
        if (mapping)
            for (AceEntry& a : childDacl) a.mask = MapGeneric(a.mask, *mapping);
    } else if (parsed && (sd.control & (SE_DACL_AUTO_INHERITED | SE_DACL_AUTO_INHERIT_REQ))) {
        control |= SE_DACL_AUTO_INHERITED;
    }
    std::vector<uint8_t> dacl = AclBuild(childDacl), sacl;
    if (!childSacl.empty()) {
        sacl = AclBuild(childSacl);
        control |= SE_SACL_PRESENT;
    }
    const SidBytes& owner = token.owner.empty() ? token.user : token.owner;
    const SidBytes& group = token.primaryGroup.empty() ? owner : token.primaryGroup;
    return SdBuild(control, owner.empty() ? nullptr : owner.data(), group.empty() ? nullptr : group.data(),
                   sacl.empty() ? nullptr : sacl.data(), dacl.data());
}

namespace {

bool SameEntry(const AceEntry& a, const AceEntry& b) {
    return a.raw.empty() && b.raw.empty() && a.type == b.type && a.mask == b.mask && a.sid == b.sid &&
           (a.flags & ~INHERITED_ACE) == (b.flags & ~INHERITED_ACE);
}

// One list of AutoInheritDescriptor. present/acl/len: the object's list; *protect set when
// an old-model list cannot be converted. Returns false when the list stays as it is.
bool AutoInheritList(const uint8_t* parentAcl, size_t parentLen, const uint8_t* oldAcl, size_t oldLen,
                     const uint8_t* acl, size_t len, bool present, bool autoInherited, bool isContainer,
                     const Token& who, const GENERIC_MAPPING& mapping, std::vector<uint8_t>* out, bool* protect) {
    std::vector<AceEntry> parentAces, oldAces, own, kept;
    if (parentAcl) AclParse(parentAcl, parentLen, &parentAces);
    if (oldAcl) AclParse(oldAcl, oldLen, &oldAces);
    if (acl && !AclParse(acl, len, &own)) return false;
    std::vector<AceEntry> inherited = InheritAces(parentAces, isContainer, who, &mapping);
    std::vector<AceEntry> before = InheritAces(oldAces, isContainer, who, &mapping);
    bool anyInherited = false;
    for (const AceEntry& a : own) anyInherited |= (a.flags & INHERITED_ACE) != 0;
    if (!autoInherited && !anyInherited && !own.empty()) {
        // The old model: the inherited copies are ordinary entries. They are recognised when
        // the list ends with exactly what it inherits now.
        size_t n = before.size();
        bool tail = n <= own.size();
        for (size_t i = 0; tail && i < n; ++i) tail = SameEntry(own[own.size() - n + i], before[i]);
        if (!tail || n == 0) {
            if (n == 0) {
                kept = own;  // nothing to inherit: its entries are all its own
            } else {
                *protect = true;
                return false;
            }
        } else {
            kept.assign(own.begin(), own.end() - (long)n);
        }
    } else {
        for (const AceEntry& a : own)
            if (!(a.flags & INHERITED_ACE)) kept.push_back(a);
    }
    // A missing list that inherits nothing stays missing.
    if (!present && inherited.empty()) return false;
    kept.insert(kept.end(), inherited.begin(), inherited.end());
    *out = AclBuild(kept, acl ? acl[0] : (uint8_t)ACL_REVISION);
    return true;
}

}  // namespace

std::vector<uint8_t> AutoInheritDescriptor(const uint8_t* parent, size_t parentSize, const uint8_t* object,
                                           size_t objectSize, bool isContainer, const GENERIC_MAPPING& mapping,
                                           uint32_t lists, const uint8_t* oldParent, size_t oldParentSize) {
    std::vector<uint8_t> same(object, object + objectSize);
    SdView p, o, q;
    if (SdParseRelative(object, objectSize, &o) != ERROR_SUCCESS) return same;
    bool parsedParent = parent && SdParseRelative(parent, parentSize, &p) == ERROR_SUCCESS;
    if (!oldParent) {
        oldParent = parent;
        oldParentSize = parentSize;
    }
    bool parsedOld = oldParent && SdParseRelative(oldParent, oldParentSize, &q) == ERROR_SUCCESS;
    Token who;
    if (o.owner) who.owner.assign(o.owner, o.owner + o.ownerLen);
    if (o.group) who.primaryGroup.assign(o.group, o.group + o.groupLen);
    if (who.primaryGroup.empty()) who.primaryGroup = who.owner;
    uint16_t control = o.control;
    std::vector<uint8_t> dacl, sacl;
    const uint8_t* newDacl = o.dacl;
    const uint8_t* newSacl = o.sacl;
    if ((lists & DACL_SECURITY_INFORMATION) && !(o.control & SE_DACL_PROTECTED)) {
        bool protect = false;
        if (AutoInheritList(parsedParent ? p.dacl : nullptr, p.daclLen, parsedOld ? q.dacl : nullptr, q.daclLen, o.dacl,
                            o.daclLen,
                            (o.control & SE_DACL_PRESENT) != 0, (o.control & SE_DACL_AUTO_INHERITED) != 0, isContainer,
                            who, mapping, &dacl, &protect)) {
            newDacl = dacl.data();
            control |= SE_DACL_PRESENT | SE_DACL_AUTO_INHERITED;
        } else if (protect) {
            control |= SE_DACL_PROTECTED;
        }
    }
    if ((lists & SACL_SECURITY_INFORMATION) && !(o.control & SE_SACL_PROTECTED)) {
        bool protect = false;
        if (AutoInheritList(parsedParent ? p.sacl : nullptr, p.saclLen, parsedOld ? q.sacl : nullptr, q.saclLen, o.sacl,
                            o.saclLen,
                            (o.control & SE_SACL_PRESENT) != 0, (o.control & SE_SACL_AUTO_INHERITED) != 0, isContainer,
                            who, mapping, &sacl, &protect)) {
            newSacl = sacl.data();
            control |= SE_SACL_PRESENT | SE_SACL_AUTO_INHERITED;
        } else if (protect) {
            control |= SE_SACL_PROTECTED;
        }
    }
    return SdBuild(control, o.owner, o.group, newSacl, newDacl);
}

}  // namespace ntsim
