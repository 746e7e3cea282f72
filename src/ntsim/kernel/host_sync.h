// Whether the simulation asks the host to put its writes on the host's own disk.
//
// A simulated machine's disk is a folder on the host. ntsim's power loss is the end of a
// process (a kill rule, the cut of the boot's hive swap): whatever ntsim wrote before it
// is in the host's page cache and the next simulated boot reads it from there, so what
// makes a flush of the simulated machine hold is the order and completeness of its
// writes, which ntsim keeps either way. A host sync (fsync) guards the machine's folder
// only against the host itself losing power; it costs a disk round trip on the host.
// Off by default (test and demo machines are made again at will); the host environment
// variable NTSIM_HOST_SYNC=1 turns it on for every process that inherits it.
#pragma once

namespace ntsim {

bool HostSyncOn();
// fsync / fdatasync when host syncs are on; else nothing. 0 or -1 with errno, as they.
int HostSync(int fd);
int HostDataSync(int fd);

}  // namespace ntsim
