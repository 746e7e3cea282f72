// The local security authority's policy object: LsaOpenPolicy, LsaQueryInformationPolicy
// and LsaSetInformationPolicy (primary and account domain), LsaSetTrustedDomainInformation,
// LsaStorePrivateData, LsaFreeMemory, LsaClose, LsaNtStatusToWinError. The policy lives
// where NT keeps it, in SECURITY\Policy (PolPrDmN, PolPrDmS, PolAcDmN, PolAcDmS, the names
// as NT's counted-string records, secrets
// under Secrets\<name>\CurrVal and OldVal), read and written through the registry as
// the security authority itself. Trusted-domain objects are kept under
// Policy\Domains\<domain SID text>, with the name in TrDmName and the SID in Sid.
#include <strings.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "nt/win32.h"
#include "ntsim/security/access.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/registry/computer_name.h"
#include "ntsim/kernel/handles.h"
#include "ntsim/registry/hive.h"
#include "ntsim/security/sam_records.h"
#include "ntsim/security/sd.h"
#include "ntsim/kernel/threads.h"

namespace ntsim {

namespace {

struct PolicyObject : KernelObject {
    ACCESS_MASK granted = 0;
    const char* Kind() const override { return "Policy"; }
};

ntsim::SimMutex g_mutex;
std::set<void*> g_memory;

// Everyone may view local information and look up names; the rest is for
// administrators and the system, as the policy object's own DACL has it on NT.
bool MayAccess(ACCESS_MASK desired) {
    const ACCESS_MASK open = POLICY_VIEW_LOCAL_INFORMATION | POLICY_LOOKUP_NAMES | READ_CONTROL;
    if ((desired & ~open) == 0) return true;
    const Token& token = CurrentToken();
    if (token.user == SidLocalSystem()) return true;
    SidBytes admins = SidBuiltin(544);
    for (const auto& group : token.groups)
        if (group == admins) return true;
    return false;
}

// The default value of SECURITY\Policy\<name>: ERROR_SUCCESS with the bytes,
// ERROR_FILE_NOT_FOUND when the key is absent, or the registry's error.
LONG ReadPolicyValue(const char* name, std::vector<uint8_t>* out) {
    SystemAccessScope system;
    DWORD saved = GetLastError();
    std::string path = std::string("SECURITY\\Policy\\") + name;
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key);
    if (rc == ERROR_SUCCESS) {
        DWORD size = 0, type = 0;
        rc = RegQueryValueExA(key, nullptr, nullptr, &type, nullptr, &size);
        if (rc == ERROR_SUCCESS) {
            out->assign(size, 0);
            rc = size ? RegQueryValueExA(key, nullptr, nullptr, &type, out->data(), &size) : ERROR_SUCCESS;
            out->resize(size);
        } else if (rc == ERROR_FILE_NOT_FOUND) {
            out->clear();  // the key without a value: nothing stored
            rc = ERROR_SUCCESS;
        }
        RegCloseKey(key);
    }
    SetLastError(saved);
    return rc;
}

// Sets the default value of SECURITY\Policy\<path> (created when missing) and writes
// the hive at once, as the security authority commits its database.
LONG WritePolicyValue(const std::string& path, const uint8_t* data, size_t size) {
    SystemAccessScope system;
    DWORD saved = GetLastError();
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, ("SECURITY\\Policy\\" + path).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr);
    if (rc == ERROR_SUCCESS) {
        rc = RegSetValueExA(key, nullptr, 0, REG_BINARY, data, (DWORD)size);
        if (rc == ERROR_SUCCESS) rc = RegFlushKey(key);
        RegCloseKey(key);
    }
    SetLastError(saved);
    return rc;
}

bool PolicyKeyExists(const std::string& path) {
    SystemAccessScope system;
    DWORD saved = GetLastError();
    HKEY key = nullptr;
    bool exists = RegOpenKeyExA(HKEY_LOCAL_MACHINE, ("SECURITY\\Policy\\" + path).c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (exists) RegCloseKey(key);
    SetLastError(saved);
    return exists;
}

// A counted string as the caller gave it: the length must be even and within the
// maximum, and a non-empty one needs a buffer.
bool ValidCounted(const LSA_UNICODE_STRING* s) {
    return s && s->Length % 2 == 0 && s->Length <= s->MaximumLength && (s->Length == 0 || s->Buffer);
}

// The system name names this machine: empty, or its active computer name with or without "\\".
bool IsLocalSystemName(const LSA_UNICODE_STRING* name) {
    if (!name || name->Length == 0) return true;
    if (!ValidCounted(name)) return false;
    std::string text = Utf16ToUtf8(reinterpret_cast<const uint16_t*>(name->Buffer), name->Length / 2);
    while (!text.empty() && text[0] == '\\') text.erase(0, 1);
    return strcasecmp(text.c_str(), ActiveComputerName().c_str()) == 0;
}

bool ValidSidBytes(const std::vector<uint8_t>& b) {
    return b.size() >= 8 && b[0] == 1 && b[1] <= SID_MAX_SUB_AUTHORITIES && b.size() == 8u + 4u * b[1];
}

// A name (UTF-16LE bytes as stored) and a SID in one block the caller frees.
NTSTATUS BuildDomainInfo(const char* nameKey, const char* sidKey, PVOID* buffer) {
    std::vector<uint8_t> record, name, sid;
    LONG rc = ReadPolicyValue(nameKey, &record);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return STATUS_INTERNAL_DB_CORRUPTION;
    if (!PolicyNameOfRecord(record, &name)) return STATUS_INTERNAL_DB_CORRUPTION;
    rc = ReadPolicyValue(sidKey, &sid);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return STATUS_INTERNAL_DB_CORRUPTION;
    if (!sid.empty() && !ValidSidBytes(sid)) return STATUS_INTERNAL_DB_CORRUPTION;
    if (name.size() % 2 || name.size() > 0xFFFC) return STATUS_INTERNAL_DB_CORRUPTION;
    size_t size = sizeof(POLICY_PRIMARY_DOMAIN_INFO) + name.size() + 2 + sid.size() + 8;
    char* block = static_cast<char*>(calloc(1, size));
    if (!block) return STATUS_NO_MEMORY;
    // Both records have the same layout: a counted name, then a SID pointer.
    POLICY_PRIMARY_DOMAIN_INFO* info = reinterpret_cast<POLICY_PRIMARY_DOMAIN_INFO*>(block);
    char* cursor = block + sizeof(POLICY_PRIMARY_DOMAIN_INFO);
    info->Name.Buffer = reinterpret_cast<PWSTR>(cursor);
    info->Name.Length = (USHORT)name.size();
    info->Name.MaximumLength = (USHORT)(name.size() + 2);
    if (!name.empty()) memcpy(cursor, name.data(), name.size());
    cursor += name.size() + 2;
    cursor += (8 - ((uintptr_t)cursor & 7)) & 7;
    if (!sid.empty()) {
        memcpy(cursor, sid.data(), sid.size());
        info->Sid = cursor;
    }
    {
        std::lock_guard<ntsim::SimMutex> lock(g_mutex);
        g_memory.insert(block);
    }
    *buffer = block;
    return STATUS_SUCCESS;
}

}  // namespace

}  // namespace ntsim

using namespace ntsim;

NTSTATUS LsaOpenPolicy(PLSA_UNICODE_STRING SystemName, PLSA_OBJECT_ATTRIBUTES ObjectAttributes,
                       ACCESS_MASK DesiredAccess, PLSA_HANDLE PolicyHandle) {
    if (!PolicyHandle || !ObjectAttributes) return STATUS_INVALID_PARAMETER;
    *PolicyHandle = nullptr;
    uint32_t err = 0;
    // An injected fault names the status the call returns.
    if (FaultHit("LsaOpenPolicy", "", &err)) return (NTSTATUS)err;
    // Only the local machine's policy is served (the simulated network has no LSA of its own).
    if (!IsLocalSystemName(SystemName)) return STATUS_RPC_SERVER_UNAVAILABLE;
    if (!MayAccess(DesiredAccess)) return STATUS_ACCESS_DENIED;
    auto policy = std::make_shared<PolicyObject>();
    policy->granted = DesiredAccess;
    *PolicyHandle = HandleCreate(policy);
    return STATUS_SUCCESS;
}

NTSTATUS LsaQueryInformationPolicy(LSA_HANDLE PolicyHandle, POLICY_INFORMATION_CLASS InformationClass, PVOID* Buffer) {
    auto policy = HandleGetAs<PolicyObject>(PolicyHandle);
    if (!policy) return STATUS_INVALID_HANDLE;
    if (!Buffer) return STATUS_INVALID_PARAMETER;
    *Buffer = nullptr;
    uint32_t err = 0;
    if (FaultHit("LsaQueryInformationPolicy", "", &err)) return (NTSTATUS)err;
    if (InformationClass != PolicyPrimaryDomainInformation && InformationClass != PolicyAccountDomainInformation)
        return STATUS_INVALID_INFO_CLASS;
    if (!(policy->granted & POLICY_VIEW_LOCAL_INFORMATION)) return STATUS_ACCESS_DENIED;
    if (InformationClass == PolicyPrimaryDomainInformation) return BuildDomainInfo("PolPrDmN", "PolPrDmS", Buffer);
    return BuildDomainInfo("PolAcDmN", "PolAcDmS", Buffer);
}

NTSTATUS LsaSetInformationPolicy(LSA_HANDLE PolicyHandle, POLICY_INFORMATION_CLASS InformationClass, PVOID Buffer) {
    auto policy = HandleGetAs<PolicyObject>(PolicyHandle);
    if (!policy) return STATUS_INVALID_HANDLE;
    if (!Buffer) return STATUS_INVALID_PARAMETER;
    uint32_t err = 0;
    if (FaultHit("LsaSetInformationPolicy", "", &err)) return (NTSTATUS)err;
    if (InformationClass != PolicyPrimaryDomainInformation && InformationClass != PolicyAccountDomainInformation)
        return STATUS_INVALID_INFO_CLASS;
    if (!(policy->granted & POLICY_TRUST_ADMIN)) return STATUS_ACCESS_DENIED;
    // Both records have the same layout: a counted name, then a SID pointer.
    const POLICY_PRIMARY_DOMAIN_INFO* info = static_cast<const POLICY_PRIMARY_DOMAIN_INFO*>(Buffer);
    if (!ValidCounted(&info->Name)) return STATUS_INVALID_PARAMETER;
    std::vector<uint8_t> sid;
    if (info->Sid) {
        const uint8_t* b = static_cast<const uint8_t*>(info->Sid);
        if (b[0] != 1 || b[1] > SID_MAX_SUB_AUTHORITIES) return STATUS_INVALID_PARAMETER;
        sid.assign(b, b + 8 + 4 * b[1]);
    } else if (InformationClass == PolicyAccountDomainInformation) {
        return STATUS_INVALID_PARAMETER;  // an account domain always has a SID
    }
    bool primary = InformationClass == PolicyPrimaryDomainInformation;
    std::vector<uint8_t> record = PolicyNameRecord(reinterpret_cast<const uint8_t*>(info->Name.Buffer), info->Name.Length);
    LONG rc = WritePolicyValue(primary ? "PolPrDmN" : "PolAcDmN", record.data(), record.size());
    if (rc == ERROR_SUCCESS) rc = WritePolicyValue(primary ? "PolPrDmS" : "PolAcDmS", sid.data(), sid.size());
    return rc == ERROR_SUCCESS ? STATUS_SUCCESS : STATUS_INTERNAL_DB_CORRUPTION;
}

NTSTATUS LsaSetTrustedDomainInformation(LSA_HANDLE PolicyHandle, PSID TrustedDomainSid,
                                        TRUSTED_INFORMATION_CLASS InformationClass, PVOID Buffer) {
    auto policy = HandleGetAs<PolicyObject>(PolicyHandle);
    if (!policy) return STATUS_INVALID_HANDLE;
    if (!Buffer || !TrustedDomainSid) return STATUS_INVALID_PARAMETER;
    uint32_t err = 0;
    if (FaultHit("LsaSetTrustedDomainInformation", "", &err)) return (NTSTATUS)err;
    if (InformationClass != TrustedDomainNameInformation) return STATUS_INVALID_INFO_CLASS;
    if (!(policy->granted & POLICY_TRUST_ADMIN)) return STATUS_ACCESS_DENIED;
    const uint8_t* b = static_cast<const uint8_t*>(TrustedDomainSid);
    if (b[0] != 1 || b[1] > SID_MAX_SUB_AUTHORITIES) return STATUS_INVALID_PARAMETER;
    std::vector<uint8_t> sid(b, b + 8 + 4 * b[1]);
    const TRUSTED_DOMAIN_NAME_INFO* info = static_cast<const TRUSTED_DOMAIN_NAME_INFO*>(Buffer);
    if (!ValidCounted(&info->Name) || info->Name.Length == 0) return STATUS_INVALID_PARAMETER;
    std::string object = "Domains\\" + SidToText(sid);
    // Naming a domain whose object exists already is a collision: the object is made once.
    if (PolicyKeyExists(object)) return STATUS_OBJECT_NAME_COLLISION;
    LONG rc = WritePolicyValue(object + "\\TrDmName", reinterpret_cast<const uint8_t*>(info->Name.Buffer), info->Name.Length);
    if (rc == ERROR_SUCCESS) rc = WritePolicyValue(object + "\\Sid", sid.data(), sid.size());
    return rc == ERROR_SUCCESS ? STATUS_SUCCESS : STATUS_INTERNAL_DB_CORRUPTION;
}

NTSTATUS LsaStorePrivateData(LSA_HANDLE PolicyHandle, PLSA_UNICODE_STRING KeyName, PLSA_UNICODE_STRING PrivateData) {
    auto policy = HandleGetAs<PolicyObject>(PolicyHandle);
    if (!policy) return STATUS_INVALID_HANDLE;
    if (!ValidCounted(KeyName) || KeyName->Length == 0 || (PrivateData && !ValidCounted(PrivateData)))
        return STATUS_INVALID_PARAMETER;
    std::string name = Utf16ToUtf8(reinterpret_cast<const uint16_t*>(KeyName->Buffer), KeyName->Length / 2);
    uint32_t err = 0;
    if (FaultHit("LsaStorePrivateData", name, &err)) return (NTSTATUS)err;
    if (!(policy->granted & POLICY_CREATE_SECRET)) return STATUS_ACCESS_DENIED;
    if (name.find('\\') != std::string::npos) return STATUS_INVALID_PARAMETER;
    std::string secret = "Secrets\\" + name;
    // The value stored before becomes the old value, as NT keeps one previous password.
    std::vector<uint8_t> previous;
    ReadPolicyValue((secret + "\\CurrVal").c_str(), &previous);
    LONG rc = WritePolicyValue(secret + "\\OldVal", previous.data(), previous.size());
    if (rc == ERROR_SUCCESS)
        rc = WritePolicyValue(secret + "\\CurrVal", PrivateData ? reinterpret_cast<const uint8_t*>(PrivateData->Buffer) : nullptr,
                              PrivateData ? PrivateData->Length : 0);
    return rc == ERROR_SUCCESS ? STATUS_SUCCESS : STATUS_INTERNAL_DB_CORRUPTION;
}

NTSTATUS LsaFreeMemory(PVOID Buffer) {
    if (!Buffer) return STATUS_SUCCESS;
    {
        std::lock_guard<ntsim::SimMutex> lock(g_mutex);
        if (g_memory.erase(Buffer) == 0) return STATUS_INVALID_PARAMETER;
    }
    free(Buffer);
    return STATUS_SUCCESS;
}

NTSTATUS LsaClose(LSA_HANDLE ObjectHandle) {
    if (!HandleGetAs<PolicyObject>(ObjectHandle)) return STATUS_INVALID_HANDLE;
    HandleClose(ObjectHandle);
    return STATUS_SUCCESS;
}

ULONG LsaNtStatusToWinError(NTSTATUS Status) {
    switch ((uint32_t)Status) {
        case 0x00000000u: return ERROR_SUCCESS;
        case 0xC0000003u: return ERROR_INVALID_PARAMETER;     // invalid information class
        case 0xC0000008u: return ERROR_INVALID_HANDLE;
        case 0xC000000Du: return ERROR_INVALID_PARAMETER;
        case 0xC0000017u: return ERROR_NOT_ENOUGH_MEMORY;
        case 0xC0000022u: return ERROR_ACCESS_DENIED;
        case 0xC0000034u: return ERROR_FILE_NOT_FOUND;
        case 0xC0000035u: return ERROR_ALREADY_EXISTS;
        case 0xC00000DFu: return ERROR_NO_SUCH_DOMAIN;
        case 0xC00000E4u: return ERROR_INTERNAL_DB_CORRUPTION;
        case 0xC0020017u: return 1722;                        // RPC_S_SERVER_UNAVAILABLE
        default: return 317;                                  // ERROR_MR_MID_NOT_FOUND, as NT answers
    }
}
