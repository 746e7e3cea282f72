// The per-thread count of system access scopes.
#include "ntsim/kernel/system_access.h"

namespace ntsim {

namespace {
thread_local int t_systemScopes = 0;
}  // namespace

SystemAccessScope::SystemAccessScope() { ++t_systemScopes; }
SystemAccessScope::~SystemAccessScope() { --t_systemScopes; }
bool SystemAccessActive() { return t_systemScopes > 0; }

}  // namespace ntsim
