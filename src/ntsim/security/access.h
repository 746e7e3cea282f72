// The process token and NT's access check, used by the registry, the file system
// and every other securable object of the simulated machine.
#pragma once
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "nt/win32.h"
#include "ntsim/kernel/system_access.h"

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

// An ACL as NT stores it when a descriptor is assigned or set: the generic rights of the
// entries that apply to the object itself mapped to the object type's specific rights;
// inherit-only entries keep theirs, which apply to children of other types. Works in place
// on a well-formed ACL of len bytes; entries of unknown types are left as they are.
void AclMapGeneric(uint8_t* acl, size_t len, const GENERIC_MAPPING& mapping);

// The token's default DACL, as GetTokenInformation gives it and as new objects that inherit
// nothing receive it (mapped): GENERIC_ALL for SYSTEM and for the token's default owner.
std::vector<uint8_t> TokenDefaultDaclBytes(const Token& token);

// The self-relative descriptor of a new object created below a parent with the given
// (self-relative) descriptor, as NT computes it: the parent's inheritable ACEs become the
// child's inherited ACEs (CREATOR OWNER / CREATOR GROUP replaced by the token's owner and
// primary group, generic rights mapped when mapping is given); without any, the token's
// default DACL (SYSTEM and the owner full access). Owner and group from the token.
std::vector<uint8_t> InheritDescriptor(const uint8_t* parent, size_t size, bool isContainer, const Token& token,
                                       const GENERIC_MAPPING* mapping = nullptr);

// Windows 2000's automatic inheritance for an existing object (SetNamedSecurityInfoA on it,
// or on a folder or key above it): each list that is not protected keeps its own entries,
// those without INHERITED_ACE, in their order, followed by what it inherits from the parent's
// list now (as a new object would, CREATOR OWNER and CREATOR GROUP standing for the object's
// own owner and group, generic rights mapped), and is marked auto-inherited. A list written
// before that model (not marked auto-inherited, no entry marked inherited) is converted as
// NT converts it: entries equal to what it inherited from the parent's list before the change
// are taken as inherited when they all come last; otherwise it is marked protected, so that
// its meaning does not change. A protected
// list is left as it is. Returns the object's new self-relative descriptor (its own bytes
// when they do not parse).
// lists: DACL_SECURITY_INFORMATION and/or SACL_SECURITY_INFORMATION, the lists to redo.
// oldParent: the parent's descriptor before its change, which an old-model list is compared
// with (the parent's present one when null).
std::vector<uint8_t> AutoInheritDescriptor(const uint8_t* parent, size_t parentSize, const uint8_t* object,
                                           size_t objectSize, bool isContainer, const GENERIC_MAPPING& mapping,
                                           uint32_t lists, const uint8_t* oldParent = nullptr,
                                           size_t oldParentSize = 0);


}  // namespace ntsim
