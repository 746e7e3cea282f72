// The process token: user, groups and privileges from the account database, and the
// Win32 token calls (OpenProcessToken, GetTokenInformation, AdjustTokenPrivileges, ...).
#include <strings.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>

#include "ntsim/security/access.h"
#include "ntsim/security/accounts.h"
#include "ntsim/kernel/fail.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/handles.h"
#include "ntsim/kernel/process.h"
#include "ntsim/security/token_internal.h"
#include "ntsim/kernel/threads.h"

namespace ntsim {

namespace {
ntsim::SimRecursiveMutex g_mutex;
Token* g_token = nullptr;

// NT's privileges with their LUIDs (LowPart), in LUID order.
const struct {
    uint32_t luid;
    const char* name;
} kPrivileges[] = {
    {2, SE_CREATE_TOKEN_NAME},        {3, SE_ASSIGNPRIMARYTOKEN_NAME},  {4, SE_LOCK_MEMORY_NAME},
    {5, SE_INCREASE_QUOTA_NAME},      {6, SE_MACHINE_ACCOUNT_NAME},     {7, SE_TCB_NAME},
    {8, SE_SECURITY_NAME},            {9, SE_TAKE_OWNERSHIP_NAME},      {10, SE_LOAD_DRIVER_NAME},
    {11, SE_SYSTEM_PROFILE_NAME},     {12, SE_SYSTEMTIME_NAME},         {13, SE_PROF_SINGLE_PROCESS_NAME},
    {14, SE_INC_BASE_PRIORITY_NAME},  {15, SE_CREATE_PAGEFILE_NAME},    {16, SE_CREATE_PERMANENT_NAME},
    {17, SE_BACKUP_NAME},             {18, SE_RESTORE_NAME},            {19, SE_SHUTDOWN_NAME},
    {20, SE_DEBUG_NAME},              {21, SE_AUDIT_NAME},              {22, SE_SYSTEM_ENVIRONMENT_NAME},
    {23, SE_CHANGE_NOTIFY_NAME},      {24, SE_REMOTE_SHUTDOWN_NAME},
};

// What the built-in aliases hold by default policy on NT 4.0.
const char* const kAdminPrivileges[] = {
    SE_INCREASE_QUOTA_NAME,     SE_SECURITY_NAME,          SE_TAKE_OWNERSHIP_NAME,      SE_LOAD_DRIVER_NAME,
    SE_SYSTEM_PROFILE_NAME,     SE_SYSTEMTIME_NAME,        SE_PROF_SINGLE_PROCESS_NAME, SE_INC_BASE_PRIORITY_NAME,
    SE_CREATE_PAGEFILE_NAME,    SE_BACKUP_NAME,            SE_RESTORE_NAME,             SE_SHUTDOWN_NAME,
    SE_DEBUG_NAME,              SE_SYSTEM_ENVIRONMENT_NAME, SE_CHANGE_NOTIFY_NAME,      SE_REMOTE_SHUTDOWN_NAME};
const char* const kSystemOnly[] = {SE_CREATE_TOKEN_NAME, SE_ASSIGNPRIMARYTOKEN_NAME, SE_LOCK_MEMORY_NAME,
                                   SE_TCB_NAME,          SE_CREATE_PERMANENT_NAME,   SE_AUDIT_NAME};
// LocalSystem runs with these enabled from the start, as NT's system token does.
const char* const kSystemEnabled[] = {SE_TCB_NAME,           SE_CREATE_PERMANENT_NAME, SE_AUDIT_NAME,
                                      SE_LOCK_MEMORY_NAME,   SE_CREATE_PAGEFILE_NAME,  SE_INC_BASE_PRIORITY_NAME,
                                      SE_PROF_SINGLE_PROCESS_NAME, SE_CHANGE_NOTIFY_NAME};

void BuildToken(Token* t) {
    const AccountDb& db = Accounts();
    const Process& p = CurrentProcess();
    bool system = strcasecmp(p.user.c_str(), "SYSTEM") == 0 || strcasecmp(p.user.c_str(), "LocalSystem") == 0;
    std::vector<SidBytes> groups;
    auto addGroup = [&](const SidBytes& s) {
        for (const SidBytes& g : groups)
            if (g == s) return;
        groups.push_back(s);
    };
    if (system) {
        t->user = SidLocalSystem();
        addGroup(SidBuiltin(DOMAIN_ALIAS_RID_ADMINS));
        addGroup(SidEveryone());
        addGroup(SidNt(SECURITY_AUTHENTICATED_USER_RID));
        t->primaryGroup = SidLocalSystem();
    } else {
        std::string name = p.user, domain;
        size_t slash = name.find('\\');
        if (slash != std::string::npos) domain = name.substr(0, slash), name = name.substr(slash + 1);
        const Account* a = db.FindName(name, domain);
        if (a && a->use == SidTypeUser) {
            t->user = a->sid;
            for (const SidBytes& g : a->memberOf) addGroup(g);
        } else {
            // An account the machine does not know logs on as nobody in particular.
            t->user = SidNt(SECURITY_ANONYMOUS_LOGON_RID);
        }
        t->primaryGroup = groups.empty() ? t->user : groups.front();
        addGroup(SidEveryone());
        addGroup(SidNt(p.service ? SECURITY_SERVICE_RID : SECURITY_INTERACTIVE_RID));
        if (!a || SidRid(a->sid) != DOMAIN_USER_RID_GUEST) addGroup(SidNt(SECURITY_AUTHENTICATED_USER_RID));
        // Well-known groups belong to aliases too (Interactive and Authenticated Users to Users).
        std::vector<SidBytes> held = groups;
        for (const SidBytes& g : held) {
            auto found = db.aliasesOf.find(g);
            if (found != db.aliasesOf.end())
                for (const SidBytes& alias : found->second) addGroup(alias);
        }
    }
    t->groups = groups;
    auto member = [&](uint32_t aliasRid) {
        SidBytes s = SidBuiltin(aliasRid);
        for (const SidBytes& g : groups)
            if (g == s) return true;
        return false;
    };
    t->held.clear();
    t->enabled.clear();
    t->held.insert(SE_CHANGE_NOTIFY_NAME);
    if (system || member(DOMAIN_ALIAS_RID_ADMINS))
        for (const char* n : kAdminPrivileges) t->held.insert(n);
    if (member(DOMAIN_ALIAS_RID_BACKUP_OPS))
        for (const char* n : {SE_BACKUP_NAME, SE_RESTORE_NAME, SE_SHUTDOWN_NAME}) t->held.insert(n);
    if (member(DOMAIN_ALIAS_RID_POWER_USERS))
        for (const char* n : {SE_SYSTEMTIME_NAME, SE_SYSTEM_PROFILE_NAME, SE_PROF_SINGLE_PROCESS_NAME}) t->held.insert(n);
    if (system) {
        for (const char* n : kSystemOnly) t->held.insert(n);
        for (const char* n : kSystemEnabled) t->enabled.insert(n);
    }
    t->enabled.insert(SE_CHANGE_NOTIFY_NAME);
    // Members of Administrators own what they create through the alias, as on NT.
    t->owner = (system || member(DOMAIN_ALIAS_RID_ADMINS)) ? SidBuiltin(DOMAIN_ALIAS_RID_ADMINS) : t->user;
}

struct TokenObject : KernelObject {
    DWORD access = 0;
    const char* Kind() const override { return "Token"; }
};
}  // namespace

ntsim::SimRecursiveMutex& TokenMutex() { return g_mutex; }

Token& CurrentToken() {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    // Outside a machine: an empty token that nothing is granted to, and nothing kept.
    static Token detached;
    if (!ProcessAttached()) return detached;
    if (!g_token) {
        g_token = new Token;
        BuildToken(g_token);
        AtProcessExit(1001, [] {
            std::lock_guard<ntsim::SimRecursiveMutex> l(g_mutex);
            delete g_token;
            g_token = nullptr;
        });
    }
    return *g_token;
}

bool PrivilegeEnabled(const char* name) {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    const Token& t = CurrentToken();
    return t.enabled.count(name) != 0;
}

bool TokenHasSid(const Token& t, const uint8_t* sid) {
    if (t.user.size() && SidEqual(t.user.data(), sid)) return true;
    for (const SidBytes& g : t.groups)
        if (SidEqual(g.data(), sid)) return true;
    return false;
}

const char* PrivilegeName(uint32_t luid) {
    for (const auto& p : kPrivileges)
        if (p.luid == luid) return p.name;
    return nullptr;
}

uint32_t PrivilegeLuid(const char* name) {
    for (const auto& p : kPrivileges)
        if (strcasecmp(p.name, name) == 0) return p.luid;
    return 0;
}

}  // namespace ntsim

using namespace ntsim;

HANDLE GetCurrentProcess(void) { return (HANDLE)(LONG_PTR)-1; }

BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
    if (FaultFails("OpenProcessToken", "")) return FALSE;
    if (ProcessHandle != GetCurrentProcess() || !TokenHandle) return Fail(ERROR_INVALID_HANDLE);
    if (DesiredAccess & ~(DWORD)(TOKEN_ALL_ACCESS | MAXIMUM_ALLOWED)) return Fail(ERROR_ACCESS_DENIED);
    CurrentToken();
    auto obj = std::make_shared<TokenObject>();
    obj->access = (DesiredAccess & MAXIMUM_ALLOWED) ? TOKEN_ALL_ACCESS : DesiredAccess;
    *TokenHandle = HandleCreate(obj);
    return TRUE;
}

static bool TokenFor(HANDLE h, DWORD need) {
    auto obj = HandleGetAs<TokenObject>(h);
    if (!obj) return Fail(ERROR_INVALID_HANDLE, false);
    if ((obj->access & need) != need) return Fail(ERROR_ACCESS_DENIED, false);
    return true;
}

BOOL GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass, LPVOID TokenInformation,
                         DWORD TokenInformationLength, PDWORD ReturnLength) {
    if (FaultFails("GetTokenInformation", "")) return FALSE;
    if (!TokenFor(TokenHandle, TOKEN_QUERY)) return FALSE;
    if (!ReturnLength) return Fail(ERROR_NOACCESS);
    std::lock_guard<ntsim::SimRecursiveMutex> lock(TokenMutex());
    const Token& t = CurrentToken();
    // Each class is a fixed header, then arrays, then the SIDs the header points to.
    std::vector<uint8_t> out;
    std::vector<std::pair<size_t, SidBytes>> sids;  // where a PSID goes, and the SID
    switch (TokenInformationClass) {
    case TokenUser:
        out.resize(sizeof(TOKEN_USER), 0);
        sids.push_back({offsetof(TOKEN_USER, User.Sid), t.user});
        break;
    case TokenOwner:
        out.resize(sizeof(TOKEN_OWNER), 0);
        sids.push_back({0, t.owner});
        break;
    case TokenPrimaryGroup:
        out.resize(sizeof(TOKEN_PRIMARY_GROUP), 0);
        sids.push_back({0, t.primaryGroup});
        break;
    case TokenGroups: {
        size_t n = t.groups.size();
        out.resize(offsetof(TOKEN_GROUPS, Groups) + sizeof(SID_AND_ATTRIBUTES) * (n ? n : 1), 0);
        DWORD count = (DWORD)n;
        memcpy(out.data(), &count, 4);
        for (size_t i = 0; i < n; ++i) {
            size_t at = offsetof(TOKEN_GROUPS, Groups) + i * sizeof(SID_AND_ATTRIBUTES);
            DWORD attrs = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
            if (t.groups[i] == t.owner) attrs |= SE_GROUP_OWNER;
            memcpy(&out[at + offsetof(SID_AND_ATTRIBUTES, Attributes)], &attrs, 4);
            sids.push_back({at, t.groups[i]});
        }
        break;
    }
    case TokenPrivileges: {
        std::vector<LUID_AND_ATTRIBUTES> list;
        for (uint32_t luid = 2; luid <= 24; ++luid) {
            const char* name = PrivilegeName(luid);
            if (!name || !t.held.count(name)) continue;
            LUID_AND_ATTRIBUTES la = {{luid, 0}, 0};
            if (t.enabled.count(name)) la.Attributes |= SE_PRIVILEGE_ENABLED;
            if (strcmp(name, SE_CHANGE_NOTIFY_NAME) == 0) la.Attributes |= SE_PRIVILEGE_ENABLED_BY_DEFAULT;
            list.push_back(la);
        }
        out.resize(offsetof(TOKEN_PRIVILEGES, Privileges) + sizeof(LUID_AND_ATTRIBUTES) * list.size(), 0);
        DWORD count = (DWORD)list.size();
        memcpy(out.data(), &count, 4);
        if (!list.empty())
            memcpy(&out[offsetof(TOKEN_PRIVILEGES, Privileges)], list.data(), sizeof(LUID_AND_ATTRIBUTES) * list.size());
        break;
    }
    case TokenDefaultDacl:
        // The header's pointer, then the ACL it points to (placed as the SIDs are).
        out.resize(sizeof(TOKEN_DEFAULT_DACL), 0);
        sids.push_back({offsetof(TOKEN_DEFAULT_DACL, DefaultDacl), TokenDefaultDaclBytes(t)});
        break;
    default:
        return Fail(ERROR_INVALID_PARAMETER);
    }
    size_t total = out.size();
    for (const auto& s : sids) total += s.second.size();
    *ReturnLength = (DWORD)total;
    if (TokenInformationLength < total || !TokenInformation) return Fail(ERROR_INSUFFICIENT_BUFFER);
    uint8_t* base = (uint8_t*)TokenInformation;
    memcpy(base, out.data(), out.size());
    size_t at = out.size();
    for (const auto& s : sids) {
        memcpy(base + at, s.second.data(), s.second.size());
        PSID p = base + at;
        memcpy(base + s.first, &p, sizeof p);
        at += s.second.size();
    }
    return TRUE;
}

BOOL LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid) {
    if (FaultFails("LookupPrivilegeValueA", lpName ? lpName : "")) return FALSE;
    (void)lpSystemName;  // this machine answers for itself
    if (!lpName || !lpLuid) return Fail(ERROR_INVALID_PARAMETER);
    uint32_t luid = PrivilegeLuid(lpName);
    if (!luid) return Fail(ERROR_NO_SUCH_PRIVILEGE);
    lpLuid->LowPart = luid;
    lpLuid->HighPart = 0;
    return TRUE;
}

BOOL LookupPrivilegeNameA(LPCSTR lpSystemName, PLUID lpLuid, LPSTR lpName, LPDWORD cchName) {
    (void)lpSystemName;
    const char* name = lpLuid && lpLuid->HighPart == 0 ? PrivilegeName(lpLuid->LowPart) : nullptr;
    if (!name) return Fail(ERROR_NO_SUCH_PRIVILEGE);
    DWORD len = (DWORD)strlen(name);
    if (!lpName || *cchName <= len) {
        *cchName = len + 1;
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    memcpy(lpName, name, len + 1);
    *cchName = len;
    return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState,
                           DWORD BufferLength, PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
    if (FaultFails("AdjustTokenPrivileges", "")) return FALSE;
    if (!TokenFor(TokenHandle, TOKEN_ADJUST_PRIVILEGES)) return FALSE;
    if (!DisableAllPrivileges && !NewState) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<ntsim::SimRecursiveMutex> lock(TokenMutex());
    Token& t = CurrentToken();
    // Work out the changes first: with a too small PreviousState nothing changes.
    struct Change {
        std::string name;
        uint32_t luid;
        bool enable, remove, wasEnabled;
    };
    std::vector<Change> changes;
    bool notAll = false;
    if (DisableAllPrivileges) {
        for (const std::string& n : t.enabled) changes.push_back({n, PrivilegeLuid(n.c_str()), false, false, true});
    } else {
        for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
            const LUID_AND_ATTRIBUTES& la = NewState->Privileges[i];
            const char* name = la.Luid.HighPart == 0 ? PrivilegeName(la.Luid.LowPart) : nullptr;
            if (!name || !t.held.count(name)) {
                notAll = true;
                continue;
            }
            bool enable = (la.Attributes & SE_PRIVILEGE_ENABLED) != 0;
            bool remove = (la.Attributes & SE_PRIVILEGE_REMOVED) != 0;
            bool was = t.enabled.count(name) != 0;
            if (remove || enable != was) changes.push_back({name, la.Luid.LowPart, enable && !remove, remove, was});
        }
    }
    if (PreviousState) {
        DWORD need = (DWORD)(offsetof(TOKEN_PRIVILEGES, Privileges) + sizeof(LUID_AND_ATTRIBUTES) * changes.size());
        if (ReturnLength) *ReturnLength = need;
        if (BufferLength < need) return Fail(ERROR_INSUFFICIENT_BUFFER);
        PreviousState->PrivilegeCount = (DWORD)changes.size();
        for (size_t i = 0; i < changes.size(); ++i) {
            PreviousState->Privileges[i].Luid.LowPart = changes[i].luid;
            PreviousState->Privileges[i].Luid.HighPart = 0;
            PreviousState->Privileges[i].Attributes = changes[i].wasEnabled ? SE_PRIVILEGE_ENABLED : 0;
        }
    }
    for (const Change& c : changes) {
        if (c.remove) t.held.erase(c.name);
        if (c.enable)
            t.enabled.insert(c.name);
        else
            t.enabled.erase(c.name);
    }
    SetLastError(notAll ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS);
    return TRUE;
}
