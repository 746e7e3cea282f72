// NT's access check against a descriptor for the process token, the inheritance of
// ACEs by new objects, and the scope in which the simulation reads its own data.
#include "ntsim/security/access.h"

#include "ntsim/security/sd.h"
#include "ntsim/security/token_internal.h"
#include "ntsim/kernel/threads.h"

namespace ntsim {

namespace {
thread_local int t_systemScopes = 0;

uint32_t MapGeneric(uint32_t mask, const GENERIC_MAPPING& m) {
    if (mask & GENERIC_READ) mask |= m.GenericRead;
    if (mask & GENERIC_WRITE) mask |= m.GenericWrite;
    if (mask & GENERIC_EXECUTE) mask |= m.GenericExecute;
    if (mask & GENERIC_ALL) mask |= m.GenericAll;
    return mask & ~(uint32_t)(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}
}  // namespace

SystemAccessScope::SystemAccessScope() { ++t_systemScopes; }
SystemAccessScope::~SystemAccessScope() { --t_systemScopes; }
bool SystemAccessActive() { return t_systemScopes > 0; }

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
        AceEntry sys;
        sys.mask = mapping ? MapGeneric(GENERIC_ALL, *mapping) : GENERIC_ALL;
        sys.sid = SidLocalSystem();
        childDacl.push_back(sys);
        if (token.owner != sys.sid) {
            AceEntry own = sys;
            own.sid = token.owner;
            childDacl.push_back(own);
        }
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

}  // namespace ntsim
