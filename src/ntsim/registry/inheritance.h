// Windows 2000's automatic inheritance for keys, which the security API (SetNamedSecurityInfoA)
// applies after it sets a key's lists; RegSetKeySecurity itself writes what it is given.
#pragma once
#include <cstdint>
#include <vector>

#include "nt/win32.h"

namespace ntsim {

// The key's lists named in lists (DACL_SECURITY_INFORMATION, SACL_SECURITY_INFORMATION), just
// set, are taken as its own entries and given what it inherits from its parent key; then every
// key below gets its inherited entries computed again, down to the keys whose lists are
// protected. was: the key's descriptor before its lists were set, which the keys below that
// predate automatic inheritance are compared with. ERROR_SUCCESS, or the handle's error.
uint32_t RegAutoInheritKey(HKEY key, uint32_t lists, const std::vector<uint8_t>& was);

// The descriptor stored with the key a handle names, as the configuration manager keeps it
// (no access check: the security API's own bookkeeping). False for a bad handle.
bool RegStoredDescriptor(HKEY key, std::vector<uint8_t>* sd);

}  // namespace ntsim
