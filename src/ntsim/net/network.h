// The simulated network of machine.conf, shared by the netapi32 calls:
//   [domain NAME]
//   sid = S-1-5-21-a-b-c          the domain SID
//   pdc = NAME                    the primary controller; bdcs = NAME, NAME (backups)
//   members = NAME, NAME          computer accounts NAME$ held by the domain
//   stale_accounts = NAME         accounts whose password is no longer the default one
//                                 (an unsecured join to them fails with 1326)
//   controller = answering | silent | N   (N: answers from N seconds after the process started)
//   delay = N                     milliseconds each call to a controller takes (machine clock)
//   null_session = denied         accounts cannot be read through a null session (5)
//   answer = ...                  a bad answer from the controller:
//            name-malformed (no leading backslashes), name-oversized (a long unterminated
//            name), sid-malformed (more sub-authorities than the answer holds),
//            sid-oversized (a SID of 15 sub-authorities), user-malformed (no name),
//            user-oversized (the account's name run on, unterminated)
// Buffers handed to the program end at a page the process may not read, so that a
// read past an answer faults at once instead of passing unnoticed.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace ntsim {

// A zeroed buffer of size bytes, freed by NetApiBufferFree; its last byte lies right
// before an unreadable page (size is rounded up to a multiple of 8 for alignment).
void* NetNewBuffer(size_t size);
bool NetOwnsBuffer(void* p);

// The value of key in the last [kind] section that has it.
std::string NetConfValue(const char* kind, const char* key, const std::string& fallback);

// The remote names of this process's connections ("\\NTPDC1\IPC$"), for tests.
std::vector<std::string> NetConnections();

}  // namespace ntsim
