// Stand-in for the machine's token and access check while the security
// subsystem is not part of this build: the test accounts' tokens and NT's DACL walk.
#include "registry_fixture.h"

namespace ntsim {

static thread_local int t_systemScope = 0;

Token& CurrentToken() {
    static Token token;
    static std::string builtFor;
    std::string who = ProcessAttached() ? CurrentProcess().machineDir + "|" + CurrentProcess().user : "";
    if (who != builtFor) {
        builtFor = who;
        token = Token();
        std::string user = ProcessAttached() ? CurrentProcess().user : "";
        token.groups = {regtest::Everyone()};
        if (user == "SYSTEM") {
            token.user = regtest::LocalSystem();
            token.groups.push_back(regtest::Administrators());
        } else if (user == "User1") {
            token.user = regtest::AccountSid(1000);
            token.groups.push_back(regtest::UsersAlias());
        } else {
            token.user = regtest::AccountSid(500);
            token.groups.push_back(regtest::Administrators());
            token.groups.push_back(regtest::UsersAlias());
        }
        if (user != "User1") token.held = {"SeBackupPrivilege", "SeRestorePrivilege", "SeSecurityPrivilege", "SeTakeOwnershipPrivilege"};
        if (user == "SYSTEM") token.enabled = token.held;
        token.owner = user == "User1" ? token.user : regtest::Administrators();
        token.primaryGroup = user == "SYSTEM" ? regtest::LocalSystem() : regtest::AccountSid(513);
    }
    return token;
}

bool PrivilegeEnabled(const char* name) { return CurrentToken().enabled.count(name) && CurrentToken().held.count(name); }

static uint32_t Le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | ((uint32_t)p[3] << 24); }

uint32_t AccessCheck(const uint8_t* sd, size_t size, uint32_t desired, const GENERIC_MAPPING& m, uint32_t* granted) {
    auto map = [&](uint32_t mask) {
        if (mask & GENERIC_READ) mask |= m.GenericRead;
        if (mask & GENERIC_WRITE) mask |= m.GenericWrite;
        if (mask & GENERIC_EXECUTE) mask |= m.GenericExecute;
        if (mask & GENERIC_ALL) mask |= m.GenericAll;
        return mask & 0x0FFFFFFF;
    };
    bool maximum = desired & MAXIMUM_ALLOWED;
    desired = map(desired) & ~(uint32_t)MAXIMUM_ALLOWED;
    if (t_systemScope) {
        *granted = maximum ? m.GenericAll | desired : desired;
        return 0;
    }
    uint32_t extra = 0;
    if (desired & ACCESS_SYSTEM_SECURITY) {
        if (!PrivilegeEnabled("SeSecurityPrivilege")) return ERROR_PRIVILEGE_NOT_HELD;
        extra = ACCESS_SYSTEM_SECURITY;
        desired &= ~(uint32_t)ACCESS_SYSTEM_SECURITY;
    }
    const Token& t = CurrentToken();
    auto holds = [&](const uint8_t* sid, size_t n) {
        std::vector<uint8_t> s(sid, sid + n);
        if (s == t.user) return true;
        for (auto& g : t.groups)
            if (g == s) return true;
        return false;
    };
    uint16_t control = sd[2] | (sd[3] << 8);
    uint32_t ownerOff = Le32(sd + 4), daclOff = Le32(sd + 16);
    uint32_t allowed = 0, denied = 0;
    if (ownerOff && ownerOff + 8 <= size && holds(sd + ownerOff, 8 + 4 * sd[ownerOff + 1])) allowed |= READ_CONTROL | WRITE_DAC;
    if (!(control & SE_DACL_PRESENT) || !daclOff) {
        allowed = m.GenericAll | DELETE | READ_CONTROL | WRITE_DAC | WRITE_OWNER;
    } else {
        const uint8_t* acl = sd + daclOff;
        size_t count = acl[4] | (acl[5] << 8), pos = 8;
        for (size_t i = 0; i < count; ++i) {
            const uint8_t* ace = acl + pos;
            size_t aceSize = ace[2] | (ace[3] << 8);
            pos += aceSize;
            if (ace[1] & INHERIT_ONLY_ACE) continue;
            if (!holds(ace + 8, aceSize - 8)) continue;
            uint32_t mask = map(Le32(ace + 4));
            if (ace[0] == ACCESS_ALLOWED_ACE_TYPE) allowed |= mask & ~denied;
            if (ace[0] == ACCESS_DENIED_ACE_TYPE) denied |= mask & ~allowed;
        }
    }
    if (maximum) {
        if (!allowed && !desired) return ERROR_ACCESS_DENIED;
        if ((allowed & desired) != desired) return ERROR_ACCESS_DENIED;
        *granted = allowed | extra;
        return 0;
    }
    if ((allowed & desired) != desired) return ERROR_ACCESS_DENIED;
    *granted = desired | extra;
    return 0;
}

SystemAccessScope::SystemAccessScope() { ++t_systemScope; }
SystemAccessScope::~SystemAccessScope() { --t_systemScope; }
bool SystemAccessActive() { return t_systemScope > 0; }

}  // namespace ntsim
