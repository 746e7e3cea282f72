// The files of a fresh machine: folders and documents on the NTFS system drive whose
// descriptors name the machine's own accounts, and a FAT data drive without any.
#pragma once
#include <cstdint>
#include <string>

#include "ntsim/kernel/conf.h"
#include "ntsim/machine/machine.h"

namespace ntsim {

// Writes the files below dir/drives (after MachineWriteHives, whose SECURITY hive names
// the machine SID) and adds the FAT drive to conf. A "large" machine also gets a tree of
// a few thousand files and a few thousand more keys in SOFTWARE and in a user's hive.
uint32_t MachineWriteFiles(const std::string& dir, const MachineOptions& options, Conf* conf, std::string* error);

// The key at path (backslashes) below root; each missing key on the way is made with its
// parent's security and the time now.
struct HiveKey;
HiveKey* MachineKeyPath(HiveKey* root, const std::string& path);

}  // namespace ntsim
