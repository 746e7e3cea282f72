// A machine made from a Windows NT system volume (`ntsim create --from-image`): what NT
// keeps in the volume's own hives (system root, version, name, role, domain, profiles,
// drive letters, memory) read without writing a byte of it, and machine.conf written
// beside it. The machine works on the volume in place, or on its own copy of the tree.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace ntsim {

// What the image says about itself.
struct ImageFacts {
    std::string systemRoot;     // Windows path, "C:\WINDOWS"
    std::string systemFolder;   // the system root's folder below ROOT as it is spelled there
    std::string version;        // "5.1" (CurrentVersion)
    std::string build;          // "2600" (CurrentBuildNumber)
    std::string csd;            // "Service Pack 3"
    std::string name;           // the computer name (ComputerName\ComputerName)
    std::string productType;    // WinNT, ServerNT, LanmanNT
    std::string role;           // standalone, member, pdc, bdc
    std::string domain;         // the primary domain or workgroup name (PolPrDmN)
    std::string machineSid;     // S-1-5-21-a-b-c (the SAM's Domains\Account\V)
    unsigned long long memory = 0;  // bytes, from the paging file's initial size; 0 = not known
    struct Drive {
        char letter;
        std::string type;  // fixed, removable, cdrom
    };
    std::vector<Drive> drives;  // from MountedDevices, the system drive first
    struct Profile {
        std::string sid;
        std::string imagePath;  // ProfileImagePath as stored
        std::string hive;       // host path of its ntuser.dat; empty when it has none
    };
    std::vector<Profile> profiles;
    std::vector<std::string> dirtyHives;  // hives whose log holds changes not yet in the file
};

// Reads the facts of the system volume at root (a directory). False with *error naming
// every piece that is missing.
bool ReadImageFacts(const std::string& root, ImageFacts* facts, std::string* error);

// Makes the machine in dir for the volume at root: in place (drive C: is root) or, with
// copy, on a copy of the tree in dir/drives/c with the descriptors and attributes kept.
// Refuses a volume whose hives are dirty. Writes nothing below root.
bool MachineCreateFromImage(const std::string& dir, const std::string& root, bool copy, std::string* error);

// A host path below base for a Windows-style relative path ("WINDOWS\system32"), each
// component matched without regard to case as NT would; empty when a component is missing.
std::string ImageHostPath(const std::string& base, const std::string& relative);

}  // namespace ntsim
