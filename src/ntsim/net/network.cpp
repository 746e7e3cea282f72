// The simulated network (see network.h): NetGetDCName, NetUseAdd and NetUseDel,
// NetUserGetInfo and NetUserModalsGet on the local machine and on a domain
// controller, NetJoinDomain, and the buffers of every netapi32 answer with
// NetApiBufferFree.
#include "ntsim/net/network.h"

#include <strings.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "nt/win32.h"
#include "ntsim/kernel/clock.h"
#include "ntsim/registry/computer_name.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/process.h"
#include "ntsim/registry/hive.h"
#include "ntsim/security/accounts.h"
#include "ntsim/security/sd.h"
#include "ntsim/kernel/threads.h"

namespace ntsim {

namespace {

const DWORD kNoTrustSamAccount = 1787;  // ERROR_NO_TRUST_SAM_ACCOUNT
const DWORD kBadNetName = 67;           // ERROR_BAD_NET_NAME

struct Mapping {
    void* base;
    size_t length;
};

ntsim::SimMutex g_mutex;
std::map<void*, Mapping> g_buffers;
std::map<std::string, int> g_connections;  // upper-case remote name -> use count
std::string g_connectionsMachine;          // the machine they belong to

std::string Upper(std::string s) {
    for (char& c : s) c = (char)toupper((unsigned char)c);
    return s;
}

std::string Narrow(LPCWSTR text) {
    if (!text) return "";
    size_t n = 0;
    while (text[n] && n < 4096) ++n;
    return Utf16ToUtf8(reinterpret_cast<const uint16_t*>(text), n);
}

std::string StripBackslashes(std::string name) {
    while (!name.empty() && name[0] == '\\') name.erase(0, 1);
    return name;
}

std::vector<std::string> List(const std::string& text) {
    std::vector<std::string> out;
    std::string item;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == ',') {
            size_t b = item.find_first_not_of(" \t"), e = item.find_last_not_of(" \t");
            if (b != std::string::npos) out.push_back(Upper(item.substr(b, e - b + 1)));
            item.clear();
        } else {
            item += text[i];
        }
    }
    return out;
}

bool InList(const std::string& text, const std::string& name) {
    for (const std::string& item : List(text))
        if (item == Upper(name)) return true;
    return false;
}

// The [domain NAME] section of a domain, or of the domain a controller serves.
const ConfSection* Domain(const std::string& name) {
    if (!ProcessAttached()) return nullptr;
    for (const ConfSection* s : CurrentProcess().conf.All("domain"))
        if (strcasecmp(s->name.c_str(), name.c_str()) == 0) return s;
    return nullptr;
}

const ConfSection* DomainOfController(const std::string& server) {
    if (!ProcessAttached()) return nullptr;
    std::string name = StripBackslashes(server);
    for (const ConfSection* s : CurrentProcess().conf.All("domain"))
        if (strcasecmp(s->Get("pdc").c_str(), name.c_str()) == 0 || InList(s->Get("bdcs"), name)) return s;
    return nullptr;
}

// Whether the domain's controllers answer now; each call to them takes its delay first.
bool ControllerAnswers(const ConfSection* domain) {
    std::string delay = domain->Get("delay", "0");
    if (strtoul(delay.c_str(), nullptr, 10) > 0) Sleep((DWORD)strtoul(delay.c_str(), nullptr, 10));
    std::string state = domain->Get("controller", "answering");
    if (strcasecmp(state.c_str(), "answering") == 0) return true;
    if (strcasecmp(state.c_str(), "silent") == 0) return false;
    return ClockSinceStartMs() >= strtoull(state.c_str(), nullptr, 10) * 1000ULL;
}

bool BadAnswer(const ConfSection* domain, const char* which) {
    return strcasecmp(domain->Get("answer").c_str(), which) == 0;
}

bool IsLocal(LPCWSTR server) {
    if (!server || !server[0]) return true;
    return strcasecmp(StripBackslashes(Narrow(server)).c_str(), ActiveComputerName().c_str()) == 0;
}

// Whether the domain holds the computer account NAME$ (controllers have theirs).
bool HasComputerAccount(const ConfSection* domain, const std::string& account) {
    if (account.size() < 2 || account.back() != '$') return false;
    std::string name = account.substr(0, account.size() - 1);
    return InList(domain->Get("members"), name) || InList(domain->Get("bdcs"), name) ||
           strcasecmp(domain->Get("pdc").c_str(), name.c_str()) == 0;
}

// A buffer holding one wide text and nothing else, unterminated and filling the
// buffer to its unreadable end: the answer that tempts a reader past its end.
WCHAR* Unterminated(size_t characters) {
    size_t bytes = (characters * 2 + 7) & ~(size_t)7;
    WCHAR* text = static_cast<WCHAR*>(NetNewBuffer(bytes));
    if (text)
        for (size_t i = 0; i < bytes / 2; ++i) text[i] = (WCHAR)'X';
    return text;
}

NET_API_STATUS DomainModals(const std::string& name, const std::vector<uint8_t>& sid, size_t sidRoom, LPBYTE* bufptr) {
    std::vector<uint16_t> units = Utf8ToUtf16(name);
    units.push_back(0);
    size_t nameBytes = (units.size() * 2 + 7) & ~(size_t)7;
    size_t sidBytes = (sidRoom + 7) & ~(size_t)7;
    char* block = static_cast<char*>(NetNewBuffer(sizeof(USER_MODALS_INFO_2) + nameBytes + sidBytes));
    if (!block) return ERROR_NOT_ENOUGH_MEMORY;
    USER_MODALS_INFO_2* info = reinterpret_cast<USER_MODALS_INFO_2*>(block);
    char* text = block + sizeof(USER_MODALS_INFO_2);
    memcpy(text, units.data(), units.size() * 2);
    info->usrmod2_domain_name = reinterpret_cast<LPWSTR>(text);
    // The SID ends where the buffer ends.
    char* at = block + sizeof(USER_MODALS_INFO_2) + nameBytes + sidBytes - sidRoom;
    memcpy(at, sid.data(), sid.size() < sidRoom ? sid.size() : sidRoom);
    info->usrmod2_domain_id = at;
    *bufptr = reinterpret_cast<LPBYTE>(block);
    return NERR_Success;
}

}  // namespace

void* NetNewBuffer(size_t size) {
    static const size_t page = (size_t)sysconf(_SC_PAGESIZE);
    size = (size + 7) & ~(size_t)7;
    if (size == 0) size = 8;
    size_t pages = (size + page - 1) / page + 1;
    void* base = mmap(nullptr, pages * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return nullptr;
    char* guard = static_cast<char*>(base) + (pages - 1) * page;
    mprotect(guard, page, PROT_NONE);
    void* p = guard - size;
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    g_buffers[p] = Mapping{base, pages * page};
    return p;
}

bool NetOwnsBuffer(void* p) {
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    return g_buffers.count(p) != 0;
}

std::string NetConfValue(const char* kind, const char* key, const std::string& fallback) {
    std::string value = fallback;
    if (ProcessAttached())
        for (const ConfSection* s : CurrentProcess().conf.All(kind))
            if (s->Has(key)) value = s->Get(key);
    return value;
}

std::vector<std::string> NetConnections() {
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    std::vector<std::string> out;
    if (ProcessAttached() && g_connectionsMachine == CurrentProcess().machineDir)
        for (const auto& c : g_connections) out.push_back(c.first);
    return out;
}

}  // namespace ntsim

using namespace ntsim;

NET_API_STATUS NetApiBufferFree(LPVOID Buffer) {
    if (!Buffer) return NERR_Success;
    Mapping m;
    {
        std::lock_guard<ntsim::SimMutex> lock(g_mutex);
        auto it = g_buffers.find(Buffer);
        if (it == g_buffers.end()) return ERROR_INVALID_PARAMETER;
        m = it->second;
        g_buffers.erase(it);
    }
    munmap(m.base, m.length);
    return NERR_Success;
}

NET_API_STATUS NetGetDCName(LPCWSTR servername, LPCWSTR domainname, LPBYTE* bufptr) {
    if (!bufptr) return ERROR_INVALID_PARAMETER;
    *bufptr = nullptr;
    std::string domainName = Narrow(domainname);
    uint32_t err = 0;
    if (FaultHit("NetGetDCName", domainName, &err)) return err;
    if (!IsLocal(servername)) return ERROR_BAD_NETPATH;
    const ConfSection* domain = Domain(domainName);
    if (!domain || domain->Get("pdc").empty() || !ControllerAnswers(domain)) return NERR_DCNotFound;
    std::string answer = "\\\\" + Upper(domain->Get("pdc"));
    if (BadAnswer(domain, "name-oversized")) {
        WCHAR* text = Unterminated(answer.size() + 40);
        for (size_t i = 0; text && i < answer.size(); ++i) text[i] = (WCHAR)answer[i];
        *bufptr = reinterpret_cast<LPBYTE>(text);
        return text ? NERR_Success : ERROR_NOT_ENOUGH_MEMORY;
    }
    if (BadAnswer(domain, "name-malformed")) answer = Upper(domain->Get("pdc"));
    std::vector<uint16_t> units = Utf8ToUtf16(answer);
    units.push_back(0);
    void* block = NetNewBuffer(units.size() * 2);
    if (!block) return ERROR_NOT_ENOUGH_MEMORY;
    memcpy(block, units.data(), units.size() * 2);
    *bufptr = static_cast<LPBYTE>(block);
    return NERR_Success;
}

NET_API_STATUS NetUseAdd(LMSTR UncServerName, DWORD Level, LPBYTE Buf, LPDWORD ParmError) {
    if (ParmError) *ParmError = 0;
    if (!Buf) return ERROR_INVALID_PARAMETER;
    if (Level != 1 && Level != 2) return ERROR_INVALID_LEVEL;
    if (!IsLocal(UncServerName)) return ERROR_BAD_NETPATH;
    const USE_INFO_2* use = reinterpret_cast<const USE_INFO_2*>(Buf);
    std::string remote = Narrow(use->ui2_remote);
    uint32_t err = 0;
    if (FaultHit("NetUseAdd", remote, &err)) return err;
    if (remote.size() < 3 || remote.compare(0, 2, "\\\\") != 0) {
        if (ParmError) *ParmError = 2;  // USE_REMOTE_PARMNUM
        return ERROR_INVALID_PARAMETER;
    }
    size_t slash = remote.find('\\', 2);
    if (slash == std::string::npos) return kBadNetName;
    std::string server = remote.substr(2, slash - 2), share = remote.substr(slash + 1);
    const ConfSection* domain = DomainOfController(server);
    if (!domain || !ControllerAnswers(domain)) return ERROR_BAD_NETPATH;
    // Only the IPC share is simulated; it takes the IPC assignment type.
    if (strcasecmp(share.c_str(), "IPC$") != 0) return kBadNetName;
    if (use->ui2_asg_type != USE_IPC && use->ui2_asg_type != USE_WILDCARD) return ERROR_INVALID_PARAMETER;
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    if (g_connectionsMachine != CurrentProcess().machineDir) {
        g_connections.clear();
        g_connectionsMachine = CurrentProcess().machineDir;
    }
    ++g_connections[Upper(remote)];
    return NERR_Success;
}

NET_API_STATUS NetUseDel(LMSTR UncServerName, LMSTR UseName, DWORD ForceCond) {
    if (!UseName) return ERROR_INVALID_PARAMETER;
    if (ForceCond > USE_LOTS_OF_FORCE) return ERROR_INVALID_PARAMETER;
    if (!IsLocal(UncServerName)) return ERROR_BAD_NETPATH;
    std::string remote = Upper(Narrow(UseName));
    uint32_t err = 0;
    if (FaultHit("NetUseDel", remote, &err)) return err;
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    auto it = g_connections.find(remote);
    if (!ProcessAttached() || g_connectionsMachine != CurrentProcess().machineDir || it == g_connections.end())
        return NERR_UseNotFound;
    if (--it->second <= 0) g_connections.erase(it);
    return NERR_Success;
}

NET_API_STATUS NetUserGetInfo(LPCWSTR servername, LPCWSTR username, DWORD level, LPBYTE* bufptr) {
    if (!bufptr) return ERROR_INVALID_PARAMETER;
    *bufptr = nullptr;
    if (!username) return ERROR_INVALID_PARAMETER;
    std::string account = Narrow(username);
    uint32_t err = 0;
    if (FaultHit("NetUserGetInfo", account, &err)) return err;
    if (level != 0) return ERROR_INVALID_LEVEL;
    if (servername && servername[0] && servername[0] != '\\') return NERR_InvalidComputer;
    const ConfSection* domain = nullptr;
    if (IsLocal(servername)) {
        const Account* a = Accounts().FindName(account, "");
        if (!a || a->use != SidTypeUser) return NERR_UserNotFound;
        account = a->name;
    } else {
        domain = DomainOfController(Narrow(servername));
        if (!domain || !ControllerAnswers(domain)) return ERROR_BAD_NETPATH;
        if (strcasecmp(domain->Get("null_session").c_str(), "denied") == 0) return ERROR_ACCESS_DENIED;
        if (!HasComputerAccount(domain, Upper(account))) return NERR_UserNotFound;
        account = Upper(account);
        if (BadAnswer(domain, "user-oversized") || BadAnswer(domain, "user-malformed")) {
            // The record, then (oversized) the account's name run on to the buffer's end, unterminated.
            size_t characters = BadAnswer(domain, "user-oversized") ? account.size() + 300 : 0;
            size_t bytes = sizeof(USER_INFO_0) + ((characters * 2 + 7) & ~(size_t)7);
            char* block = static_cast<char*>(NetNewBuffer(bytes));
            if (!block) return ERROR_NOT_ENOUGH_MEMORY;
            if (characters) {
                WCHAR* name = reinterpret_cast<WCHAR*>(block + sizeof(USER_INFO_0));
                for (size_t i = 0; i < (bytes - sizeof(USER_INFO_0)) / 2; ++i)
                    name[i] = i < account.size() ? (WCHAR)account[i] : (WCHAR)'X';
                reinterpret_cast<USER_INFO_0*>(block)->usri0_name = name;
            }
            *bufptr = reinterpret_cast<LPBYTE>(block);
            return NERR_Success;
        }
    }
    std::vector<uint16_t> units = Utf8ToUtf16(account);
    units.push_back(0);
    char* block = static_cast<char*>(NetNewBuffer(sizeof(USER_INFO_0) + units.size() * 2));
    if (!block) return ERROR_NOT_ENOUGH_MEMORY;
    USER_INFO_0* info = reinterpret_cast<USER_INFO_0*>(block);
    memcpy(block + sizeof(USER_INFO_0), units.data(), units.size() * 2);
    info->usri0_name = reinterpret_cast<LPWSTR>(block + sizeof(USER_INFO_0));
    *bufptr = reinterpret_cast<LPBYTE>(block);
    return NERR_Success;
}

NET_API_STATUS NetUserModalsGet(LPCWSTR servername, DWORD level, LPBYTE* bufptr) {
    if (!bufptr) return ERROR_INVALID_PARAMETER;
    *bufptr = nullptr;
    uint32_t err = 0;
    if (FaultHit("NetUserModalsGet", Narrow(servername), &err)) return err;
    if (level != 2) return ERROR_INVALID_LEVEL;
    if (IsLocal(servername)) {
        // The account domain of the local account database.
        LSA_OBJECT_ATTRIBUTES attributes;
        memset(&attributes, 0, sizeof attributes);
        LSA_HANDLE policy = nullptr;
        NTSTATUS status = LsaOpenPolicy(nullptr, &attributes, POLICY_VIEW_LOCAL_INFORMATION, &policy);
        if (status != STATUS_SUCCESS) return LsaNtStatusToWinError(status);
        PVOID buffer = nullptr;
        status = LsaQueryInformationPolicy(policy, PolicyAccountDomainInformation, &buffer);
        LsaClose(policy);
        if (status != STATUS_SUCCESS) return LsaNtStatusToWinError(status);
        const POLICY_ACCOUNT_DOMAIN_INFO* info = static_cast<const POLICY_ACCOUNT_DOMAIN_INFO*>(buffer);
        std::string name = Utf16ToUtf8(reinterpret_cast<const uint16_t*>(info->DomainName.Buffer), info->DomainName.Length / 2);
        std::vector<uint8_t> sid;
        if (info->DomainSid) {
            const uint8_t* b = static_cast<const uint8_t*>(info->DomainSid);
            sid.assign(b, b + 8 + 4 * b[1]);
        }
        LsaFreeMemory(buffer);
        return DomainModals(name, sid, sid.size(), bufptr);
    }
    const ConfSection* domain = DomainOfController(Narrow(servername));
    if (!domain || !ControllerAnswers(domain)) return ERROR_BAD_NETPATH;
    SidBytes sid;
    if (!SidFromText(domain->Get("sid"), &sid)) return ERROR_INTERNAL_DB_CORRUPTION;
    std::string name = Upper(domain->name);
    if (BadAnswer(domain, "sid-malformed")) {
        // A SID that claims more sub-authorities than the answer holds.
        sid[1] = SID_MAX_SUB_AUTHORITIES;
        return DomainModals(name, sid, sid.size(), bufptr);
    }
    if (BadAnswer(domain, "sid-oversized")) {
        while (sid[1] < SID_MAX_SUB_AUTHORITIES) {
            sid.insert(sid.end(), {1, 0, 0, 0});
            ++sid[1];
        }
    }
    return DomainModals(name, sid, sid.size(), bufptr);
}

NET_API_STATUS NetJoinDomain(LPCWSTR lpServer, LPCWSTR lpDomain, LPCWSTR lpAccountOU, LPCWSTR lpAccount,
                             LPCWSTR lpPassword, DWORD fJoinOptions) {
    (void)lpAccountOU;
    if (!lpDomain || !lpDomain[0]) return ERROR_INVALID_PARAMETER;
    std::string domainName = Narrow(lpDomain);
    uint32_t err = 0;
    if (FaultHit("NetJoinDomain", domainName, &err)) return err;
    if (!IsLocal(lpServer)) return ERROR_BAD_NETPATH;
    if (!(fJoinOptions & NETSETUP_JOIN_DOMAIN)) return ERROR_INVALID_PARAMETER;  // workgroup joins are not simulated
    // The workstation service starts late at boot ([netapi] workstation, as for NetWkstaUserGetInfo).
    std::string workstation = NetConfValue("netapi", "workstation", "running");
    if (strcasecmp(workstation.c_str(), "running") != 0 &&
        (strcasecmp(workstation.c_str(), "stopped") == 0 ||
         ClockSinceStartMs() < strtoull(workstation.c_str(), nullptr, 10) * 1000ULL))
        return NERR_WkstaNotStarted;
    const ConfSection* domain = Domain(domainName);
    if (!domain || !ControllerAnswers(domain)) return ERROR_NO_SUCH_DOMAIN;
    SidBytes domainSid;
    if (!SidFromText(domain->Get("sid"), &domainSid)) return ERROR_NO_SUCH_DOMAIN;

    LSA_OBJECT_ATTRIBUTES attributes;
    memset(&attributes, 0, sizeof attributes);
    LSA_HANDLE policy = nullptr;
    NTSTATUS status = LsaOpenPolicy(nullptr, &attributes, POLICY_ALL_ACCESS, &policy);
    if (status != STATUS_SUCCESS) return LsaNtStatusToWinError(status);
    PVOID buffer = nullptr;
    bool joined = false;
    if (LsaQueryInformationPolicy(policy, PolicyPrimaryDomainInformation, &buffer) == STATUS_SUCCESS) {
        const POLICY_PRIMARY_DOMAIN_INFO* info = static_cast<const POLICY_PRIMARY_DOMAIN_INFO*>(buffer);
        joined = info->Sid && GetLengthSid(info->Sid) == domainSid.size() &&
                 memcmp(info->Sid, domainSid.data(), domainSid.size()) == 0;
        LsaFreeMemory(buffer);
    }
    NET_API_STATUS result = NERR_Success;
    std::string computer = Upper(ActiveComputerName());
    if (joined && !(fJoinOptions & NETSETUP_DOMAIN_JOIN_IF_JOINED)) {
        result = NERR_SetupAlreadyJoined;
    } else if (!HasComputerAccount(domain, computer + "$")) {
        result = kNoTrustSamAccount;
    } else if ((fJoinOptions & NETSETUP_JOIN_UNSECURE) && !lpPassword && InList(domain->Get("stale_accounts"), computer)) {
        // An unsecured join logs on with the default password, which this account no longer has.
        result = ERROR_LOGON_FAILURE;
    } else if (!(fJoinOptions & NETSETUP_JOIN_UNSECURE) && !lpAccount) {
        result = ERROR_INVALID_PARAMETER;  // a secure join needs an account that may join
    } else {
        // The member's half of the trust: primary domain, domain SID and machine password.
        std::vector<uint16_t> name = Utf8ToUtf16(Upper(domain->name));
        POLICY_PRIMARY_DOMAIN_INFO primary;
        primary.Name.Buffer = reinterpret_cast<PWSTR>(name.data());
        primary.Name.Length = primary.Name.MaximumLength = (USHORT)(name.size() * 2);
        primary.Sid = domainSid.data();
        status = LsaSetInformationPolicy(policy, PolicyPrimaryDomainInformation, &primary);
        std::string password = computer.substr(0, 14);
        for (char& c : password) c = (char)tolower((unsigned char)c);
        std::vector<uint16_t> secretName = Utf8ToUtf16("$MACHINE.ACC"), secret = Utf8ToUtf16(password);
        LSA_UNICODE_STRING key = {(USHORT)(secretName.size() * 2), (USHORT)(secretName.size() * 2),
                                  reinterpret_cast<PWSTR>(secretName.data())};
        LSA_UNICODE_STRING data = {(USHORT)(secret.size() * 2), (USHORT)(secret.size() * 2),
                                   reinterpret_cast<PWSTR>(secret.data())};
        if (status == STATUS_SUCCESS) status = LsaStorePrivateData(policy, &key, &data);
        if (status != STATUS_SUCCESS) result = LsaNtStatusToWinError(status);
    }
    LsaClose(policy);
    return result;
}
