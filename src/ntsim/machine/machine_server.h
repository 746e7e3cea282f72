// Server-sized machines: a member server's file tree over its system drive and a second
// NTFS volume (E:), its local users with a profile each, and SOFTWARE and profile hives of
// a real server's shape and size; with the terminal server role, hundreds of profiles.
#pragma once
#include <cstdint>
#include <string>

#include "ntsim/kernel/conf.h"
#include "ntsim/machine/machine.h"

namespace ntsim {

// What the options make of a server: "server" and "terminal-server" sizes have their own
// counts, which --files and --profiles replace; with those two any size gets the parts asked for.
struct ServerShape {
    size_t files = 0;        // regular files of the tree, both volumes together (folders come on top)
    size_t profiles = 0;     // local users "tsuser0001"... with a profile and a home folder each
    bool terminalServer = false;
    size_t softwareKeys = 0; // keys of real shape added to SOFTWARE
};
ServerShape ServerShapeOf(const MachineOptions& options);

// The preset a size stands for when no preset is named ("" for the sizes that have none).
std::string ServerDefaultPreset(const std::string& size);

// The name of the i-th server user; its RID is kServerFirstRid + i.
std::string ServerUserName(size_t i);
const uint32_t kServerFirstRid = 1002;

// After MachineWriteHives (which made the users, their ProfileList entries and their hives)
// and MachineWriteFiles: the shaped keys of SOFTWARE and of each user's hive, and, with
// options.files, the file tree of drives C and E (E added to conf). ERROR_SUCCESS or an
// error code with *error saying why.
uint32_t MachineWriteServer(const std::string& dir, const MachineOptions& options, Conf* conf, std::string* error);

}  // namespace ntsim
