// What the token, the access check and the security calls share about the process token.
#pragma once
#include <cstdint>
#include <mutex>

#include "ntsim/security/access.h"
#include "ntsim/kernel/threads.h"

namespace ntsim {

// Guards the process token against concurrent adjustment (re-entrant).
ntsim::SimRecursiveMutex& TokenMutex();
// True when sid (a valid SID) is the token's user or one of its groups.
bool TokenHasSid(const Token& token, const uint8_t* sid);
// Privilege name of an LUID's low part, or null; and the reverse (0 = unknown).
const char* PrivilegeName(uint32_t luid);
uint32_t PrivilegeLuid(const char* name);

}  // namespace ntsim
