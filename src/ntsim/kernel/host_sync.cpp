// Host syncs, on only when the host environment asks for them (see host_sync.h).
#include "ntsim/kernel/host_sync.h"

#include <unistd.h>

#include <cstdlib>

namespace ntsim {

// Read at each sync (a handful per flush), so that a test can switch it between runs.
bool HostSyncOn() {
    const char* value = getenv("NTSIM_HOST_SYNC");
    return value && value[0] == '1' && value[1] == 0;
}

int HostSync(int fd) { return HostSyncOn() ? fsync(fd) : 0; }

int HostDataSync(int fd) { return HostSyncOn() ? fdatasync(fd) : 0; }

}  // namespace ntsim
