// The scope in which the simulation reads its own data (the SAM, SECURITY and policy
// records, the version and name values): every subsystem's access check grants all on a
// thread that holds one.
#pragma once

namespace ntsim {

// While one is alive on a thread, AccessCheck grants everything on that thread.
class SystemAccessScope {
public:
    SystemAccessScope();
    ~SystemAccessScope();
    SystemAccessScope(const SystemAccessScope&) = delete;
    SystemAccessScope& operator=(const SystemAccessScope&) = delete;
};
bool SystemAccessActive();

}  // namespace ntsim
