// The census of a Windows system volume, NT 4.0 to Windows 11 and Server 2025: an
// ntfs-3g mount (whose system.ntfs_acl attributes carry the NTFS descriptors) or a plain
// copy of its tree. It finds the system root, reads the machine SID as the SAM and the
// security policy keep it, and says where the SID lives: in each hive by kind, in the
// descriptors of files and folders, and in their names. Nothing below the root is written:
// files are opened for reading only, and a dirty hive is named with the reason and left unread.
#pragma once
#include <string>
#include <vector>

namespace ntsim {

enum class ImageHiveKind { Machine, Backup, Profile, Classes };
enum class ImageHiveState { Read, Dirty, Unreadable };

struct ImageHive {
    std::string file;     // below the root, Windows style: "WINDOWS\system32\config\SAM"
    ImageHiveKind kind = ImageHiveKind::Machine;
    std::string account;  // a profile's account SID (ProfileList's key), empty when found by its folder only
    ImageHiveState state = ImageHiveState::Read;
    std::string problem;  // why it was not read
    int keyNames = 0, valueNames = 0, stringData = 0, binaryData = 0, keySecurity = 0, classNames = 0;
    int Total() const { return keyNames + valueNames + stringData + binaryData + keySecurity + classNames; }
};

struct ImageIdentity {
    std::string root;               // as given
    std::string systemRoot;         // the Windows folder below the root ("WINDOWS", "WINNT", ...)
    std::string computerName;       // SYSTEM's current control set, ComputerName\ComputerName
    std::string samSid;             // SAM\Domains\Account\V (its last 24 bytes)
    std::string policySid;          // SECURITY\Policy\PolAcDmS
    std::string machineAccountSid;  // SECURITY\Policy\PolMachineAccountS: a domain member's account in its domain
    std::string machineSid;         // the SAM's, else the policy's
    std::vector<std::string> problems;  // hives missing, dirty or unreadable; the two SIDs disagreeing
    bool SidsDisagree() const { return !samSid.empty() && !policySid.empty() && samSid != policySid; }
};

struct ImageCensus {
    ImageIdentity identity;
    std::vector<ImageHive> hives;
    bool descriptorsFound = false;              // some file or folder carries system.ntfs_acl
    int descriptorsRead = 0;                    // files and folders whose descriptor was read
    int descriptorOccurrences = 0;              // the SID in those descriptors
    std::vector<std::string> descriptorFiles;   // the files and folders whose descriptors name it
    std::vector<std::string> names;             // files and folders whose names hold it (folders end in '\')
    int entriesWalked = 0;
    int Total() const;
};

// Finds the system root (a top folder with system32\config whose SOFTWARE hive names it as
// SystemRoot; else WINDOWS, else WINNT, else the only such folder) and reads the machine SID
// and the computer name. False with *error when there is no system root or no machine SID.
bool IdentifyImage(const std::string& root, ImageIdentity* identity, std::string* error);

// The whole census. False with *error as IdentifyImage.
bool CensusImage(const std::string& root, ImageCensus* census, std::string* error);

// The images that share a machine SID: groups of indexes into identities, each of two or
// more, in the order of their first image.
std::vector<std::vector<size_t>> SharedMachineSids(const std::vector<ImageIdentity>& identities);

const char* ImageHiveKindName(ImageHiveKind kind);
const char* ImageHiveStateName(ImageHiveState state);

}  // namespace ntsim
