// The census of a SID in a machine: every place that still names it, as text in
// the hives' key names, value names and string data, as bytes in value data, key
// security and file security, and in the plain files of the drives. An independent
// reader for tests and the demo: it reads the files, not the program's registry.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace ntsim {

struct HiveKey;

// Where a hive or file lies.
enum class CensusPlace {
    MachineHives,   // system32\config\{SAM,SECURITY,SOFTWARE,SYSTEM,DEFAULT}
    ProfileHives,   // every other hive file without an extension (ntuser.dat, ...)
    HiveBackups,    // hive files with an extension (".BAK" kept by a replaced hive, ".sav")
    WorkDirectory,  // anything below a "TESSIV" or "TESSIV<n>" folder
    FileSecurity,   // the descriptors of files on NTFS drives
    PlainFiles,     // the contents of the other files (the log, the synchronization file)
};
enum class CensusKind { KeyName, ValueName, StringData, ValueData, KeySecurity, ClassName, Descriptor, FileText, FileBytes };

struct CensusHit {
    CensusPlace place;
    CensusKind kind;
    std::string file;   // Windows path of the file
    std::string where;  // the key path (and value name) inside a hive; empty for files
    int count = 1;
};

struct CensusResult {
    std::vector<CensusHit> hits;
    int total = 0;
    int hivesRead = 0;
    int filesRead = 0;
    std::vector<std::string> unreadable;  // hive files that did not parse (counted as plain files)
    // The sum of the hits in one place (and of one kind, unless kind is null).
    int Count(CensusPlace place, const CensusKind* kind = nullptr) const;
};

const char* CensusPlaceName(CensusPlace place);
const char* CensusKindName(CensusKind kind);

// Counts every occurrence of sidText ("S-1-5-21-a-b-c") in the machine in dir. A text
// occurrence counts when no digit follows it (so S-1-5-21-1-2-34 does not hold S-1-5-21-1-2-3,
// while an account's S-1-5-21-1-2-3-500 does); a binary one is the SID's bytes from the
// authority's last byte on, wherever they lie. False with *error for a bad SID or machine.
bool Census(const std::string& dir, const std::string& sidText, CensusResult* result, std::string* error);

// The same matching for one piece of a machine read elsewhere (an image's hives, names and
// descriptors): the occurrences of sidText in a hive tree appended to result's hits under
// place and file, in a text (a file or folder name), and in bytes (a descriptor). The hive
// function is false for a bad SID.
bool CensusHiveTree(const HiveKey& root, const std::string& file, CensusPlace place, const std::string& sidText,
                    CensusResult* result);
int CensusCountText(const std::string& text, const std::string& sidText);
int CensusCountBytes(const uint8_t* data, size_t size, const std::string& sidText);

}  // namespace ntsim
