// The in-memory registry hive: a tree of keys with values, classes, last-write
// times and shared security descriptors. regf.h reads and writes it as a hive
// file; registry.cpp serves the Reg* calls from it.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
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

// What changed in a key since its hive file was last written (HiveKey::dirty).
enum : uint8_t {
    kDirtyRecord = 0x01,  // the key's own record: times, class, security, flags, its list of subkeys
    kDirtyValues = 0x02,  // its values
    kDirtyBelow = 0x04,   // a key below it changed
};
const uint32_t kNoCell = 0xFFFFFFFF;

struct HiveKey {
    std::string name;                  // UTF-8
    std::vector<uint8_t> className;    // the class as stored (UTF-16LE bytes); empty = none
    uint64_t lastWrite = 0;            // FILETIME, 100 ns units since 1601
    uint16_t flags = 0;                // kKeyNoDelete, kKeySymLink
    bool isVolatile = false;           // never written to a hive file
    // Bookkeeping of the hive file, not part of the key: the writers keep it up to date.
    mutable uint8_t dirty = 0;         // kDirty* bits: what a flush of its hive must write
    mutable uint32_t cell = kNoCell;   // its nk cell in the mounted hive's file; kNoCell when not written yet
    SharedDescriptor security;         // may be null: inherits nothing, treated as empty by callers
    std::vector<HiveValue> values;     // in the order they were created
    std::vector<std::unique_ptr<HiveKey>> subkeys;  // sorted by HiveNameCompare
    HiveKey* parent = nullptr;
    // Where FindSubkey last found a child: callers look up the same child again (each step
    // of paths below it) or the next one (a walk over the children), which then costs one
    // comparison instead of a search. Only a hint: it is checked before it is trusted.
    mutable std::atomic<uint32_t> foundAt{0};

    // Subkey by name (case-insensitive), or null.
    HiveKey* FindSubkey(std::string_view name) const;
    // Inserts a new empty subkey at its sorted place; the name must not exist yet.
    HiveKey* AddSubkey(const std::string& name);
    // Removes (and frees) a direct subkey; false if it is not a child of this key.
    bool RemoveSubkey(HiveKey* child);
    HiveValue* FindValue(const std::string& name);
    const HiveValue* FindValue(const std::string& name) const;
};

// The free cells of a hive file by size, for a flush to take the smallest one that holds a
// new cell, as NT's allocator looks through its free lists by size. Sizes below 16 KiB lie in
// lists of one size each, with a bit per list that says it holds any: taking one is a bit
// scan and a pop, where a sorted tree of tens of thousands of cells cost a search and a
// node each. Larger (or odd) sizes are kept sorted.
class FreeCells {
public:
    void emplace(uint32_t size, uint32_t offset);
    void clear();
    size_t size() const { return count_; }
    // Takes out the smallest free cell of at least need bytes: its size and offset. False
    // when none is that large.
    bool TakeAtLeast(uint32_t need, uint32_t* have, uint32_t* offset);

private:
    static const uint32_t kLists = 2048;  // sizes 0, 8, ... 16376
    std::vector<std::vector<uint32_t>> lists_;  // by size / 8, made at the first small cell
    uint64_t nonEmpty_[kLists / 64] = {};
    std::multimap<uint32_t, uint32_t> large_;  // size -> offset
    size_t count_ = 0;
};

// The pages of a hive file that in-place flushes read, kept from one flush to the next
// (regf_update.cpp holds what it is).
struct HivePageCache;
struct HivePageCacheDelete {
    void operator()(HivePageCache* cache) const;
};

// Where a hive file keeps its records, known after reading or writing the whole file,
// so that a flush of the mounted hive rewrites only the cells of changed keys.
struct HiveLayout {
    bool known = false;         // the keys' cells and these fields describe the file
    uint32_t sequence = 0;      // the base block's sequence number, as last read or written
    uint32_t binsSize = 0;      // bytes of hbins
    FreeCells freeCells;                                  // cells freed by earlier updates and free ends of bins
    std::unordered_map<std::string, uint32_t> skCells;    // descriptor bytes -> its sk cell
    // Pages of the file as the last in-place flush read and wrote them: only while the
    // layout stays known, as every write since went through those flushes.
    std::unique_ptr<HivePageCache, HivePageCacheDelete> pages;
};

struct Hive {
    std::unique_ptr<HiveKey> root;
    uint32_t minorVersion = 3;   // regf 1.3 (NT 4.0, 2000) or 1.5 (XP and later); 4 and 6 read and write too
    std::string rootName;        // the root nk's own name as stored in the file; RegfRead puts it in
                                 // root->name too, RegfWrite uses root->name when this is empty
    std::array<uint16_t, 32> fileName{};  // the base block's UTF-16 tail of the hive's path, kept as read
    HiveLayout layout;           // the file's cells, as RegfRead found them
};

// Compares two key names as NT orders subkey lists: by upper-cased UTF-16 units.
int HiveNameCompare(std::string_view a, std::string_view b);
// Upper-cases one UTF-16 unit as NT does for key names (lh hashes and list order).
uint16_t HiveUpcase(uint16_t unit);

// Marks what changed in key, and every key above it as having a change below.
void HiveMarkDirty(HiveKey* key, uint8_t what);
// Forgets the file cells of a subtree that came from another file: it is new to this one.
void HiveForgetCells(HiveKey* key);

// Makes a deep copy of a key's subtree (values, classes, descriptors shared).
std::unique_ptr<HiveKey> HiveCopyTree(const HiveKey& key, HiveKey* parent);

// Text conversions used between hive data (UTF-16LE) and UTF-8 names.
std::string Utf16ToUtf8(const uint16_t* units, size_t count);
std::vector<uint16_t> Utf8ToUtf16(const std::string& text);
// The number of UTF-16 units Utf8ToUtf16 makes of text, without making them.
size_t Utf16Length(const std::string& text);

// True when every byte of the text is ASCII: then its UTF-8 bytes, its UTF-16 units and its
// ANSI characters are the same, one for one. Nearly every registry name is.
inline bool IsAsciiText(std::string_view text) {
    unsigned char high = 0;
    for (char c : text) high |= (unsigned char)c;
    return high < 0x80;
}

// The current time as a FILETIME value.
uint64_t FileTimeNow();

}  // namespace ntsim
