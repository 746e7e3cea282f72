// The process token and NT's access check, used by the registry, the file system
// and every other securable object of the simulated machine.
#pragma once
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "nt/win32.h"

namespace ntsim {

struct Token {
    std::vector<uint8_t> user;                 // binary SID of the account
    std::vector<std::vector<uint8_t>> groups;  // binary SIDs of its groups and aliases
    std::set<std::string> held;                // privileges the account holds ("SeBackupPrivilege", ...)
    std::set<std::string> enabled;             // those currently enabled
    std::vector<uint8_t> owner;                // default owner of new objects
    std::vector<uint8_t> primaryGroup;
};

// The token of the current process (built on first use from the machine's accounts).
Token& CurrentToken();

// True when the process token holds the privilege and has it enabled.
bool PrivilegeEnabled(const char* name);

// NT's access check of the desired rights (generic rights mapped with mapping)
// against a self-relative descriptor, for the current token. ERROR_SUCCESS with
// *granted, or ERROR_ACCESS_DENIED. A null DACL grants everything; ACCESS_SYSTEM_SECURITY
// needs SeSecurityPrivilege; the owner always gets READ_CONTROL and WRITE_DAC.
uint32_t AccessCheck(const uint8_t* descriptor, size_t size, uint32_t desired, const GENERIC_MAPPING& mapping,
                     uint32_t* granted);

// AccessCheck with the open's intent: kBackupIntent lets an enabled SeBackupPrivilege grant
// the read rights and SeRestorePrivilege the write rights (REG_OPTION_BACKUP_RESTORE,
// FILE_FLAG_BACKUP_SEMANTICS). Also ERROR_PRIVILEGE_NOT_HELD for ACCESS_SYSTEM_SECURITY
// without SeSecurityPrivilege and ERROR_INVALID_SECURITY_DESCR for a corrupt descriptor.
enum : uint32_t { kBackupIntent = 1 };
uint32_t AccessCheckEx(const uint8_t* descriptor, size_t size, uint32_t desired, const GENERIC_MAPPING& mapping,
                       uint32_t flags, uint32_t* granted);

// The self-relative descriptor of a new object created below a parent with the given
// (self-relative) descriptor, as NT computes it: the parent's inheritable ACEs become the
// child's inherited ACEs (CREATOR OWNER / CREATOR GROUP replaced by the token's owner and
// primary group, generic rights mapped when mapping is given); without any, the token's
// default DACL (SYSTEM and the owner full access). Owner and group from the token.
std::vector<uint8_t> InheritDescriptor(const uint8_t* parent, size_t size, bool isContainer, const Token& token,
                                       const GENERIC_MAPPING* mapping = nullptr);

// While one is alive on a thread, AccessCheck grants everything on that thread:
// the simulation's own reads of the SAM, SECURITY and policy data go through it.
class SystemAccessScope {
public:
    SystemAccessScope();
    ~SystemAccessScope();
    SystemAccessScope(const SystemAccessScope&) = delete;
    SystemAccessScope& operator=(const SystemAccessScope&) = delete;
};
bool SystemAccessActive();

}  // namespace ntsim
