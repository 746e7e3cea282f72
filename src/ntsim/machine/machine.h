// Making a simulated NT machine: its directory, machine.conf, drives and the
// real regf hive files of a freshly installed system.
#pragma once
#include <string>

namespace ntsim {

struct MachineOptions {
    std::string preset = "nt4-workstation";  // nt4-workstation, nt4-member, nt4-pdc, nt4-bdc, w2k-member, xp-standalone, w2003-member
    std::string sid;                          // "S-1-5-21-a-b-c"; empty = a fixed default
    std::string name;                         // computer name; empty = preset default
    std::string size = "small";               // small | large | server | terminal-server (machine_server.h)
    long fileCount = -1;                      // the server's file tree: files on C and E; -1 = as the size has it
    long profileCount = -1;                   // the server's local users with a profile each; -1 = as the size has it
    bool files = false;                       // also the files of drives C and D (machine_files.h)
};

// Creates a host directory and its parents (mkdir -p).
bool MakeHostDirs(const std::string& path);

// Creates the machine in dir (which must not exist or be empty).
bool MachineCreate(const std::string& dir, const MachineOptions& options, std::string* error);

}  // namespace ntsim
