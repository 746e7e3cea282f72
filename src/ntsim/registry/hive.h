// The in-memory registry hive: a tree of keys with values, classes, last-write
// times and shared security descriptors. regf.h reads and writes it as a hive
// file; registry.cpp serves the Reg* calls from it.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ntsim {

// A self-relative security descriptor, shared between keys as regf shares sk cells.
typedef std::shared_ptr<const std::vector<uint8_t>> SharedDescriptor;

struct HiveValue {
    std::string name;           // UTF-8; empty = the default (unnamed) value
    uint32_t type = 0;          // REG_* type as stored
    std::vector<uint8_t> data;  // bytes as stored in the hive (strings are UTF-16LE)
};

// nk flags kept on the key (regf's own bookkeeping flags are not).
enum : uint16_t {
    kKeyNoDelete = 0x0008,  // KEY_NO_DELETE
    kKeySymLink = 0x0010,   // KEY_SYM_LINK: the target is the REG_LINK value "SymbolicLinkValue"
};

struct HiveKey {
    std::string name;                  // UTF-8
    std::vector<uint8_t> className;    // the class as stored (UTF-16LE bytes); empty = none
    uint64_t lastWrite = 0;            // FILETIME, 100 ns units since 1601
    uint16_t flags = 0;                // kKeyNoDelete, kKeySymLink
    bool isVolatile = false;           // never written to a hive file
    SharedDescriptor security;         // may be null: inherits nothing, treated as empty by callers
    std::vector<HiveValue> values;     // in the order they were created
    std::vector<std::unique_ptr<HiveKey>> subkeys;  // sorted by HiveNameCompare
    HiveKey* parent = nullptr;

    // Subkey by name (case-insensitive), or null.
    HiveKey* FindSubkey(const std::string& name) const;
    // Inserts a new empty subkey at its sorted place; the name must not exist yet.
    HiveKey* AddSubkey(const std::string& name);
    // Removes (and frees) a direct subkey; false if it is not a child of this key.
    bool RemoveSubkey(HiveKey* child);
    HiveValue* FindValue(const std::string& name);
    const HiveValue* FindValue(const std::string& name) const;
};

struct Hive {
    std::unique_ptr<HiveKey> root;
    uint32_t minorVersion = 3;   // regf 1.3 (NT 4.0, 2000) or 1.5 (XP and later); 4 and 6 read and write too
    std::string rootName;        // the root nk's own name as stored in the file; RegfRead puts it in
                                 // root->name too, RegfWrite uses root->name when this is empty
    std::array<uint16_t, 32> fileName{};  // the base block's UTF-16 tail of the hive's path, kept as read
};

// Compares two key names as NT orders subkey lists: by upper-cased UTF-16 units.
int HiveNameCompare(const std::string& a, const std::string& b);
// Upper-cases one UTF-16 unit as NT does for key names (lh hashes and list order).
uint16_t HiveUpcase(uint16_t unit);

// Makes a deep copy of a key's subtree (values, classes, descriptors shared).
std::unique_ptr<HiveKey> HiveCopyTree(const HiveKey& key, HiveKey* parent);

// Text conversions used between hive data (UTF-16LE) and UTF-8 names.
std::string Utf16ToUtf8(const uint16_t* units, size_t count);
std::vector<uint16_t> Utf8ToUtf16(const std::string& text);
// The number of UTF-16 units Utf8ToUtf16 makes of text, without making them.
size_t Utf16Length(const std::string& text);

// The current time as a FILETIME value.
uint64_t FileTimeNow();

}  // namespace ntsim
