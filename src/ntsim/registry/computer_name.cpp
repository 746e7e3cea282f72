// GetComputerNameA, SetComputerNameA and SetComputerNameExA over the registry, and
// the boot step that makes a new name active.
#include "ntsim/registry/computer_name.h"

#include <strings.h>

#include <cctype>
#include <cstring>
#include <vector>

#include "nt/win32.h"
#include "ntsim/kernel/conf.h"
#include "ntsim/kernel/fail.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/process.h"
#include "ntsim/registry/hive.h"
#include "ntsim/security/access.h"
#include "ntsim/security/sam_records.h"

namespace ntsim {

namespace {

const char kComputerName[] = "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName";
const char kActiveName[] = "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName";
const char kTcpip[] = "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";

// Writes a REG_SZ value with the caller's own access, as the system's call does.
LONG WriteText(const char* path, const char* name, const std::string& text) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExA(key, name, 0, REG_SZ, (const BYTE*)text.c_str(), (DWORD)text.size() + 1);
    RegCloseKey(key);
    return rc;
}

// What NT refuses in a computer name: control characters, leading or trailing
// spaces, and " / \ [ ] : | < > + = ; , ? *.
bool NameIsValid(const char* name, size_t maxLength) {
    size_t length = strlen(name);
    if (length == 0 || length > maxLength) return false;
    if (name[0] == ' ' || name[length - 1] == ' ') return false;
    for (const char* p = name; *p; ++p)
        if ((unsigned char)*p < 0x20 || strchr("\"/\\[]:|<>+=;,?*", *p)) return false;
    return true;
}

// SetComputerNameA's documented character set: letters, digits and ! @ # $ % ^ & ' ) ( . - _ { } ~.
bool InNetbiosSet(const char* name) {
    for (const char* p = name; *p; ++p) {
        unsigned char c = (unsigned char)*p;
        bool letterOrDigit = c < 0x80 && isalnum(c);
        if (!letterOrDigit && !strchr("!@#$%^&')(.-_{}~", c)) return false;
    }
    return true;
}

// What DnsValidateName refuses in a host label (DnsNameHostnameLabel) beyond a dot and 63
// octets: a name of digits only, spaces and { | } ~ [ \ ] ^ ' : ; < = > ? & @ ! " # $ % ` ( ) + / , *.
// Underscores and characters past ASCII only make the name "non-RFC", which is accepted.
bool IsDnsHostLabel(const char* name) {
    bool digitsOnly = true;
    for (const char* p = name; *p; ++p) {
        if (*p < '0' || *p > '9') digitsOnly = false;
        if (*p == ' ' || strchr("{|}~[\\]^':;<=>?&@!\"#$%`()+/,*.", *p)) return false;
    }
    return !digitsOnly;
}

}  // namespace

std::string SystemText(const char* path, const char* name, bool* found) {
    SystemAccessScope system;
    bool present = false;
    std::string out;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        char data[512];
        DWORD size = sizeof data - 1, type = 0;
        if (RegQueryValueExA(key, name, nullptr, &type, (LPBYTE)data, &size) == ERROR_SUCCESS &&
            (type == REG_SZ || type == REG_EXPAND_SZ)) {
            data[size < sizeof data ? size : sizeof data - 1] = 0;
            out = data;
            present = true;
        }
        RegCloseKey(key);
    }
    if (found) *found = present;
    return out;
}

std::string ActiveComputerName() {
    bool found = false;
    std::string name = SystemText(kActiveName, "ComputerName", &found);
    if (!found) name = ProcessGetEnv("COMPUTERNAME");
    return name;
}

uint32_t ActivateComputerName(const std::string& machineDir) {
    BootStepProcess process(machineDir);
    if (!process.Ready()) return ERROR_PATH_NOT_FOUND;
    uint32_t result = ERROR_SUCCESS;
    {
        SystemAccessScope system;
        // The DNS names given since the last boot take effect now; a value that is
        // already in effect is left alone, so that a boot with nothing new changes nothing.
        bool pending = false, present = false;
        std::string host = SystemText(kTcpip, "NV Hostname", &pending);
        if (pending && host != SystemText(kTcpip, "Hostname", &present))
            result = (uint32_t)WriteText(kTcpip, "Hostname", host);
        std::string domain = SystemText(kTcpip, "NV Domain", &pending);
        if (result == ERROR_SUCCESS && pending && domain != SystemText(kTcpip, "Domain", &present))
            result = (uint32_t)WriteText(kTcpip, "Domain", domain);
        bool found = false;
        std::string name = SystemText(kComputerName, "ComputerName", &found);
        if (result == ERROR_SUCCESS && found && !name.empty() && name != ActiveComputerName()) {
            result = (uint32_t)WriteText(kActiveName, "ComputerName", name);
            // A workstation's or server's account domain is the computer itself; a
            // controller's is its domain and keeps its name.
            std::string product = SystemText("SYSTEM\\CurrentControlSet\\Control\\ProductOptions", "ProductType");
            if (result == ERROR_SUCCESS && strcasecmp(product.c_str(), "LanmanNT") != 0) {
                HKEY key = nullptr;
                if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SECURITY\\Policy\\PolAcDmN", 0, KEY_ALL_ACCESS, &key) ==
                    ERROR_SUCCESS) {
                    DWORD type = REG_BINARY, size = 0;
                    RegQueryValueExA(key, nullptr, nullptr, &type, nullptr, &size);
                    std::vector<uint8_t> record = PolicyNameRecord(name);
                    result = (uint32_t)RegSetValueExA(key, nullptr, 0, type, record.data(), (DWORD)record.size());
                    RegCloseKey(key);
                }
            }
            if (result == ERROR_SUCCESS) {
                // The environment of the next processes (COMPUTERNAME) comes from machine.conf.
                Conf conf;
                std::string error;
                std::string confPath = machineDir + "/machine.conf";
                if (ConfLoad(confPath, &conf, &error)) {
                    ConfSection* m = conf.Find("machine");
                    if (!m) m = &conf.Add("machine");
                    m->Set("name", name);
                    if (!ConfSave(confPath, conf)) result = ERROR_WRITE_FAULT;
                }
                ConfSection* own = CurrentProcess().conf.Find("machine");
                (own ? *own : CurrentProcess().conf.Add("machine")).Set("name", name);
                ProcessSetEnv("COMPUTERNAME", name);
            }
        }
        for (const char* hive : {"SYSTEM", "SECURITY"}) {
            HKEY key = nullptr;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, hive, 0, KEY_READ, &key) == ERROR_SUCCESS) {
                RegFlushKey(key);
                RegCloseKey(key);
            }
        }
    }
    return result;
}

}  // namespace ntsim

using namespace ntsim;

BOOL GetComputerNameA(LPSTR lpBuffer, LPDWORD nSize) {
    if (!nSize) return Fail(ERROR_INVALID_PARAMETER);
    if (FaultFails("GetComputerNameA", "")) return FALSE;
    std::string name = ActiveComputerName();
    if (!lpBuffer || *nSize < name.size() + 1) {
        // The size needed, with the terminating zero.
        *nSize = (DWORD)name.size() + 1;
        return Fail(ERROR_BUFFER_OVERFLOW);
    }
    memcpy(lpBuffer, name.c_str(), name.size() + 1);
    *nSize = (DWORD)name.size();
    return TRUE;
}

BOOL SetComputerNameA(LPCSTR lpComputerName) {
    if (!lpComputerName) return Fail(ERROR_INVALID_PARAMETER);
    if (FaultFails("SetComputerNameA", lpComputerName)) return FALSE;
    if (!NameIsValid(lpComputerName, MAX_COMPUTERNAME_LENGTH) || !InNetbiosSet(lpComputerName))
        return Fail(ERROR_INVALID_PARAMETER);
    LONG rc = WriteText(kComputerName, "ComputerName", lpComputerName);
    if (rc != ERROR_SUCCESS) return Fail((DWORD)rc);
    return TRUE;
}

BOOL SetComputerNameExA(COMPUTER_NAME_FORMAT NameType, LPCSTR lpBuffer) {
    if (!lpBuffer) return Fail(ERROR_INVALID_PARAMETER);
    if (FaultFails("SetComputerNameExA", lpBuffer)) return FALSE;
    LONG rc = ERROR_SUCCESS;
    switch (NameType) {
        case ComputerNamePhysicalDnsHostname: {
            // A DNS label holds up to 63 characters; the NetBIOS name is its first 15, in upper case.
            if (!NameIsValid(lpBuffer, 63) || !IsDnsHostLabel(lpBuffer)) return Fail(ERROR_INVALID_PARAMETER);
            std::string netbios(lpBuffer, strnlen(lpBuffer, MAX_COMPUTERNAME_LENGTH));
            for (char& c : netbios) c = (char)toupper((unsigned char)c);
            rc = WriteText(kTcpip, "NV Hostname", lpBuffer);
            if (rc == ERROR_SUCCESS) rc = WriteText(kComputerName, "ComputerName", netbios);
            break;
        }
        case ComputerNamePhysicalNetBIOS:
            if (!NameIsValid(lpBuffer, MAX_COMPUTERNAME_LENGTH)) return Fail(ERROR_INVALID_PARAMETER);
            rc = WriteText(kComputerName, "ComputerName", lpBuffer);
            break;
        case ComputerNamePhysicalDnsDomain:
            // The primary DNS suffix; the empty text clears it.
            if (strlen(lpBuffer) > 255 || (*lpBuffer && !NameIsValid(lpBuffer, 255))) return Fail(ERROR_INVALID_PARAMETER);
            rc = WriteText(kTcpip, "NV Domain", lpBuffer);
            break;
        default:
            return Fail(ERROR_INVALID_PARAMETER);
    }
    if (rc != ERROR_SUCCESS) return Fail((DWORD)rc);
    return TRUE;
}
