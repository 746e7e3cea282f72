// The account database: well-known SIDs, built-in aliases and local accounts read
// from the SAM hive, the machine SID and account domain name from the SECURITY hive.
#include "ntsim/security/accounts.h"

#include <strings.h>

#include <cstdio>
#include <mutex>

#include "ntsim/kernel/paths.h"
#include "ntsim/kernel/process.h"
#include "ntsim/registry/regf.h"
#include "ntsim/security/sam_records.h"
#include "ntsim/kernel/threads.h"
#include "ntsim/kernel/version.h"

namespace ntsim {

namespace {
ntsim::SimMutex g_mutex;
AccountDb* g_db = nullptr;

const HiveKey* KeyAt(const HiveKey* key, const char* path) {
    std::string p = path;
    size_t i = 0;
    while (key && i < p.size()) {
        size_t next = p.find('\\', i);
        if (next == std::string::npos) next = p.size();
        key = key->FindSubkey(p.substr(i, next - i));
        i = next + 1;
    }
    return key;
}

std::string Utf16Bytes(const std::vector<uint8_t>& data) {
    std::vector<uint16_t> units(data.size() / 2);
    for (size_t i = 0; i < units.size(); ++i) units[i] = (uint16_t)(data[2 * i] | (data[2 * i + 1] << 8));
    while (!units.empty() && units.back() == 0) units.pop_back();
    return Utf16ToUtf8(units.data(), units.size());
}

// A policy name as NT stores it: a UNICODE_STRING (length, maximum length, and the
// offset 8 of the text that follows); empty when the record is not one.
std::string PolicyName(const std::vector<uint8_t>& data) {
    std::vector<uint8_t> name;
    return PolicyNameOfRecord(data, &name) ? Utf16Bytes(name) : std::string();
}

// The accounts of NT AUTHORITY and the creator SIDs by the version (major * 10 + minor)
// that first knows them: Windows 2000 added the directory's and terminal server's
// groups, XP the service accounts and remote logons.
struct WellKnownName {
    const char* name;
    uint8_t authority;
    uint32_t rid;
    uint32_t since;
};
const WellKnownName kWellKnown[] = {
    {"NULL SID", 0, 0, 50},
    {"LOCAL", 2, 0, 40},
    {"CREATOR OWNER SERVER", 3, 2, 40},
    {"CREATOR GROUP SERVER", 3, 3, 40},
    {"PROXY", 5, 8, 50},
    {"ENTERPRISE DOMAIN CONTROLLERS", 5, 9, 50},
    {"SELF", 5, 10, 50},
    {"RESTRICTED", 5, 12, 50},
    {"TERMINAL SERVER USER", 5, 13, 50},
    {"REMOTE INTERACTIVE LOGON", 5, 14, 51},
    {"LOCAL SERVICE", 5, 19, 51},
    {"NETWORK SERVICE", 5, 20, 51},
};

void AddWellKnown(AccountDb* db, uint32_t version) {
    auto add = [&](const char* name, const char* domain, SidBytes sid, SID_NAME_USE use) {
        Account a;
        a.name = name;
        a.domain = domain;
        a.sid = std::move(sid);
        a.use = use;
        db->accounts.push_back(std::move(a));
    };
    add("Everyone", "", SidEveryone(), SidTypeWellKnownGroup);
    add("CREATOR OWNER", "", SidCreatorOwner(), SidTypeWellKnownGroup);
    add("CREATOR GROUP", "", SidCreatorGroup(), SidTypeWellKnownGroup);
    add("SYSTEM", "NT AUTHORITY", SidLocalSystem(), SidTypeWellKnownGroup);
    add("DIALUP", "NT AUTHORITY", SidNt(SECURITY_DIALUP_RID), SidTypeWellKnownGroup);
    add("NETWORK", "NT AUTHORITY", SidNt(SECURITY_NETWORK_RID), SidTypeWellKnownGroup);
    add("BATCH", "NT AUTHORITY", SidNt(SECURITY_BATCH_RID), SidTypeWellKnownGroup);
    add("INTERACTIVE", "NT AUTHORITY", SidNt(SECURITY_INTERACTIVE_RID), SidTypeWellKnownGroup);
    add("SERVICE", "NT AUTHORITY", SidNt(SECURITY_SERVICE_RID), SidTypeWellKnownGroup);
    add("ANONYMOUS LOGON", "NT AUTHORITY", SidNt(SECURITY_ANONYMOUS_LOGON_RID), SidTypeWellKnownGroup);
    add("Authenticated Users", "NT AUTHORITY", SidNt(SECURITY_AUTHENTICATED_USER_RID), SidTypeWellKnownGroup);
    for (const WellKnownName& w : kWellKnown)
        if (version >= w.since)
            add(w.name, w.authority == 5 ? "NT AUTHORITY" : "", SidMake(w.authority, {w.rid}), SidTypeWellKnownGroup);
    add("BUILTIN", "BUILTIN", SidMake(5, {32}), SidTypeDomain);
    // The built-in aliases exist on every NT machine; the SAM may add to them.
    static const struct {
        uint32_t rid;
        const char* name;
    } kAliases[] = {{544, "Administrators"}, {545, "Users"},          {546, "Guests"},
                    {547, "Power Users"},    {548, "Account Operators"}, {549, "Server Operators"},
                    {550, "Print Operators"}, {551, "Backup Operators"}, {552, "Replicator"}};
    for (const auto& a : kAliases) add(a.name, "BUILTIN", SidBuiltin(a.rid), SidTypeAlias);
}

Account* FindBySid(AccountDb* db, const SidBytes& sid) {
    for (Account& a : db->accounts)
        if (a.sid == sid) return &a;
    return nullptr;
}
}  // namespace

const Account* AccountDb::FindName(const std::string& name, const std::string& domain) const {
    for (const Account& a : accounts) {
        if (strcasecmp(a.name.c_str(), name.c_str()) != 0) continue;
        if (!domain.empty() && strcasecmp(a.domain.c_str(), domain.c_str()) != 0) continue;
        return &a;
    }
    return nullptr;
}

const Account* AccountDb::FindSid(const SidBytes& sid) const {
    for (const Account& a : accounts)
        if (a.sid == sid) return &a;
    return nullptr;
}

void AccountsBuild(const Hive* sam, const Hive* security, const std::string& computerName, AccountDb* db,
                   uint32_t version) {
    *db = AccountDb();
    db->accountDomain = computerName;
    AddWellKnown(db, version);
    // The machine SID: PolAcDmS in the policy, else the last 24 bytes of the SAM's "V".
    if (security && security->root) {
        if (const HiveKey* k = KeyAt(security->root.get(), "Policy\\PolAcDmS"))
            if (const HiveValue* v = k->FindValue(""))
                if (size_t n = SidCheck(v->data.data(), v->data.size())) db->machineSid.assign(v->data.begin(), v->data.begin() + n);
        if (const HiveKey* k = KeyAt(security->root.get(), "Policy\\PolAcDmN"))
            if (const HiveValue* v = k->FindValue(""))
                if (std::string name = PolicyName(v->data); !name.empty()) db->accountDomain = name;
    }
    const HiveKey* samRoot = sam && sam->root ? KeyAt(sam->root.get(), "SAM\\Domains") : nullptr;
    if (db->machineSid.empty() && samRoot)
        if (const HiveKey* k = KeyAt(samRoot, "Account"))
            if (const HiveValue* v = k->FindValue("V"))
                if (v->data.size() >= 24 && SidCheck(v->data.data() + v->data.size() - 24, 24) == 24)
                    db->machineSid.assign(v->data.end() - 24, v->data.end());
    if (!db->machineSid.empty()) {
        Account d;
        d.name = db->accountDomain;
        d.domain = db->accountDomain;
        d.sid = db->machineSid;
        d.use = SidTypeDomain;
        db->accounts.push_back(d);
    }
    if (!samRoot) return;
    // Built-in aliases by name ("Names\<alias>": the value's type is the RID).
    if (const HiveKey* names = KeyAt(samRoot, "Builtin\\Aliases\\Names"))
        for (const auto& k : names->subkeys) {
            const HiveValue* v = k->FindValue("");
            if (!v) continue;
            SidBytes sid = SidBuiltin(v->type);
            if (Account* a = FindBySid(db, sid)) {
                a->name = k->name;
            } else {
                Account a2;
                a2.name = k->name;
                a2.domain = "BUILTIN";
                a2.sid = sid;
                a2.use = SidTypeAlias;
                db->accounts.push_back(a2);
            }
        }
    if (db->machineSid.empty()) return;
    // Local users and global groups.
    auto readNames = [&](const char* path, SID_NAME_USE use) {
        const HiveKey* names = KeyAt(samRoot, path);
        if (!names) return;
        for (const auto& k : names->subkeys) {
            const HiveValue* v = k->FindValue("");
            if (!v) continue;
            Account a;
            a.name = k->name;
            a.domain = db->accountDomain;
            a.sid = SidAppend(db->machineSid, v->type);
            a.use = use;
            if (use == SidTypeUser) a.memberOf.push_back(SidAppend(db->machineSid, DOMAIN_GROUP_RID_USERS));
            db->accounts.push_back(a);
        }
    };
    readNames("Account\\Groups\\Names", SidTypeGroup);
    readNames("Account\\Users\\Names", SidTypeUser);
    // Alias membership: the index that NT builds logon tokens from, in both domains.
    SamReadMembership(KeyAt(samRoot, "Builtin\\Aliases\\Members"), SidMake(5, {32}), &db->aliasesOf);
    SamReadMembership(KeyAt(samRoot, "Account\\Aliases\\Members"), db->machineSid, &db->aliasesOf);
    for (Account& a : db->accounts) {
        if (a.use != SidTypeUser) continue;
        auto found = db->aliasesOf.find(a.sid);
        if (found != db->aliasesOf.end()) a.memberOf.insert(a.memberOf.end(), found->second.begin(), found->second.end());
    }
}

const AccountDb& Accounts() {
    std::unique_lock<ntsim::SimMutex> lock(g_mutex);
    if (g_db) return *g_db;
    // Outside a machine there are only the well-known names; nothing is kept for later.
    static const AccountDb* detached = [] {
        auto* db = new AccountDb;
        AccountsBuild(nullptr, nullptr, "", db);
        return db;
    }();
    if (!ProcessAttached()) return *detached;
    // The version is read from the registry, whose calls may want the accounts: not under the lock.
    lock.unlock();
    WindowsVersion v;
    uint32_t version = SimulatedVersion(&v) == ERROR_SUCCESS ? v.major * 10 + v.minor : 40;
    lock.lock();
    if (g_db) return *g_db;
    g_db = new AccountDb;
    std::string computer = ProcessGetEnv("COMPUTERNAME");
    Hive sam, security;
    bool haveSam = false, haveSecurity = false;
    std::string config = ProcessGetEnv("SystemRoot") + "\\system32\\config\\";
    std::string host;
    if (MapWindowsPath(config + "SAM", &host) == ERROR_SUCCESS)
        haveSam = RegfLoadFile(host, &sam) == ERROR_SUCCESS;
    if (MapWindowsPath(config + "SECURITY", &host) == ERROR_SUCCESS)
        haveSecurity = RegfLoadFile(host, &security) == ERROR_SUCCESS;
    AccountsBuild(haveSam ? &sam : nullptr, haveSecurity ? &security : nullptr, computer, g_db, version);
    AtProcessExit(1000, [] {
        std::lock_guard<ntsim::SimMutex> l(g_mutex);
        delete g_db;
        g_db = nullptr;
    });
    return *g_db;
}

}  // namespace ntsim
