// Network management of the local machine: NetServerGetInfo (levels 100 and 101) and
// NetWkstaUserGetInfo (levels 0 and 1). The server type follows
// the product type and the machine's role; the server and workstation services may
// be stopped or still starting, as machine.conf's [netapi] section says:
//   server = running | stopped | N      (N: answers from N seconds after the process started)
//   workstation = running | stopped | N
//   server_type = 0x...                 (overrides the type word)
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "nt/win32.h"
#include "ntsim/security/access.h"
#include "ntsim/kernel/clock.h"
#include "ntsim/registry/computer_name.h"
#include "ntsim/net/network.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/registry/hive.h"
#include "ntsim/kernel/process.h"
#include "ntsim/kernel/version.h"

namespace ntsim {

namespace {

std::string ConfValue(const char* kind, const char* key, const std::string& fallback) {
    return NetConfValue(kind, key, fallback);
}

void* NewBuffer(size_t size) { return NetNewBuffer(size); }

// Whether the service named by key ("server", "workstation") answers now.
bool ServiceAnswers(const char* key) {
    std::string state = ConfValue("netapi", key, "running");
    if (strcasecmp(state.c_str(), "running") == 0) return true;
    if (strcasecmp(state.c_str(), "stopped") == 0) return false;
    return ClockSinceStartMs() >= strtoull(state.c_str(), nullptr, 10) * 1000ULL;
}

std::string ComputerName() { return ActiveComputerName(); }

std::vector<uint16_t> Wide(const std::string& text) {
    std::vector<uint16_t> units = Utf8ToUtf16(text);
    units.push_back(0);
    return units;
}

// Copies a wide text into the buffer's string area and returns where it went.
WCHAR* Put(char*& cursor, const std::string& text) {
    std::vector<uint16_t> units = Wide(text);
    WCHAR* at = reinterpret_cast<WCHAR*>(cursor);
    memcpy(cursor, units.data(), units.size() * 2);
    cursor += units.size() * 2;
    return at;
}

bool IsLocalServer(LMSTR name) {
    if (!name || !name[0]) return true;
    std::vector<uint16_t> units;
    for (const WCHAR* p = name; *p; ++p) units.push_back((uint16_t)*p);
    std::string text = Utf16ToUtf8(units.data(), units.size());
    while (!text.empty() && text[0] == '\\') text.erase(0, 1);
    return strcasecmp(text.c_str(), ComputerName().c_str()) == 0;
}

}  // namespace

// The server type word of the local machine.
uint32_t ServerTypeWord() {
    std::string fixed = ConfValue("netapi", "server_type", "");
    if (!fixed.empty()) return (uint32_t)strtoul(fixed.c_str(), nullptr, 0);
    uint32_t type = SV_TYPE_WORKSTATION | SV_TYPE_SERVER | SV_TYPE_NT | SV_TYPE_POTENTIAL_BROWSER;
    DWORD saved = GetLastError();  // the caller's error stays as it was
    std::string product = SystemText("SYSTEM\\CurrentControlSet\\Control\\ProductOptions", "ProductType");
    SetLastError(saved);
    std::string role = ConfValue("machine", "role", "");
    if (strcasecmp(product.c_str(), "ServerNT") == 0) type |= SV_TYPE_SERVER_NT;
    if (strcasecmp(product.c_str(), "LanmanNT") == 0)
        type |= SV_TYPE_SERVER_NT | (strcasecmp(role.c_str(), "bdc") == 0 ? SV_TYPE_DOMAIN_BAKCTRL : SV_TYPE_DOMAIN_CTRL);
    return type;
}

}  // namespace ntsim

using namespace ntsim;

NET_API_STATUS NetServerGetInfo(LMSTR servername, DWORD level, LPBYTE* bufptr) {
    if (!bufptr) return ERROR_INVALID_PARAMETER;
    *bufptr = nullptr;
    uint32_t err = 0;
    if (FaultHit("NetServerGetInfo", "", &err)) return err;
    if (!IsLocalServer(servername)) return ERROR_BAD_NETPATH;  // the simulated network has no other servers here
    if (level != 100 && level != 101) return ERROR_INVALID_LEVEL;
    if (!ServiceAnswers("server")) return NERR_ServerNotStarted;
    std::string name = ComputerName();
    WindowsVersion v;
    SimulatedVersion(&v);
    size_t size = sizeof(SERVER_INFO_101) + (name.size() + 1) * 2 * 2 + 16;
    char* block = static_cast<char*>(NewBuffer(size));
    if (!block) return ERROR_NOT_ENOUGH_MEMORY;
    SERVER_INFO_101* info = reinterpret_cast<SERVER_INFO_101*>(block);
    char* cursor = block + sizeof(SERVER_INFO_101);
    // Level 100 is the first two fields of level 101.
    info->sv101_platform_id = PLATFORM_ID_NT;
    info->sv101_name = Put(cursor, name);
    if (level == 101) {
        info->sv101_version_major = v.major;
        info->sv101_version_minor = v.minor;
        info->sv101_type = ServerTypeWord();
        info->sv101_comment = Put(cursor, "");
    }
    *bufptr = reinterpret_cast<LPBYTE>(block);
    return NERR_Success;
}

NET_API_STATUS NetWkstaUserGetInfo(LMSTR reserved, DWORD level, LPBYTE* bufptr) {
    if (!bufptr || reserved) return ERROR_INVALID_PARAMETER;
    *bufptr = nullptr;
    uint32_t err = 0;
    if (FaultHit("NetWkstaUserGetInfo", "", &err)) return err;
    if (level != 0 && level != 1) return ERROR_INVALID_LEVEL;
    if (!ServiceAnswers("workstation")) return NERR_WkstaNotStarted;
    if (!ProcessAttached()) return ERROR_INVALID_PARAMETER;
    const Process& p = CurrentProcess();
    std::string computer = ComputerName();
    // Local accounts log on to the computer's own domain; LocalSystem to NT AUTHORITY.
    std::string domain = ConfValue("session", "domain", "");
    if (domain.empty()) domain = strcasecmp(p.user.c_str(), "SYSTEM") == 0 ? "NT AUTHORITY" : computer;
    size_t size = sizeof(WKSTA_USER_INFO_1) + (p.user.size() + domain.size() + computer.size() + 4) * 2 * 2;
    char* block = static_cast<char*>(NewBuffer(size));
    if (!block) return ERROR_NOT_ENOUGH_MEMORY;
    WKSTA_USER_INFO_1* info = reinterpret_cast<WKSTA_USER_INFO_1*>(block);
    char* cursor = block + sizeof(WKSTA_USER_INFO_1);
    info->wkui1_username = Put(cursor, p.user);
    if (level == 1) {
        info->wkui1_logon_domain = Put(cursor, domain);
        info->wkui1_oth_domains = Put(cursor, "");
        info->wkui1_logon_server = Put(cursor, computer);
    }
    *bufptr = reinterpret_cast<LPBYTE>(block);
    return NERR_Success;
}

