// The regf records as they lie in a hive file, and the writer that lays keys out in
// cells: shared by the whole-file writer (regf.cpp) and the in-place update of a
// mounted hive (regf_update.cpp).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ntsim/registry/hive.h"

namespace ntsim {
namespace regf {

// ---- On-disk records (little-endian; offsets are relative to the first hbin) ----

#pragma pack(push, 1)
struct BaseBlock {           // file offset 0, 4096 bytes of which these 512 are used
    char signature[4];       // 0   "regf"
    uint32_t primarySeq;     // 4   bumped before a write
    uint32_t secondarySeq;   // 8   set equal after it: equal = clean
    uint64_t lastWrite;      // 12  FILETIME
    uint32_t major;          // 20  1
    uint32_t minor;          // 24  3 (NT 4.0, 2000) or 5 (XP and later)
    uint32_t type;           // 28  0 = primary file
    uint32_t format;         // 32  1 = direct memory load
    uint32_t rootCell;       // 36  root nk
    uint32_t binsSize;       // 40  sum of the hbin sizes
    uint32_t clustering;     // 44  1
    uint16_t fileName[32];   // 48  tail of the hive's path, debugging only
    uint8_t reserved[396];   // 112 unused before Vista; 504 is our checksum dodge
    uint32_t checksum;       // 508 XOR of the dwords at 0..507
};
static_assert(sizeof(BaseBlock) == 512, "base block");
static_assert(offsetof(BaseBlock, rootCell) == 36 && offsetof(BaseBlock, checksum) == 508, "base block fields");

struct BinHeader {           // at each 4 KiB-aligned bin start
    char signature[4];       // 0  "hbin"
    uint32_t offset;         // 4  its own offset
    uint32_t size;           // 8  multiple of 4096
    uint32_t reserved[2];    // 12
    uint64_t timestamp;      // 20 the first bin mirrors the base block
    uint32_t spare;          // 28
};
static_assert(sizeof(BinHeader) == 32, "hbin header");

struct KeyNode {             // cell payload "nk", followed by the name
    char signature[2];       // 0
    uint16_t flags;          // 2  KEY_HIVE_ENTRY 0x04, NO_DELETE 0x08, SYM_LINK 0x10, COMP_NAME 0x20
    uint64_t lastWrite;      // 4
    uint32_t access;         // 12
    uint32_t parent;         // 16
    uint32_t subkeyCount;    // 20
    uint32_t volatileCount;  // 24 meaningless on disk
    uint32_t subkeyList;     // 28
    uint32_t volatileList;   // 32
    uint32_t valueCount;     // 36
    uint32_t valueList;      // 40
    uint32_t security;       // 44 sk cell
    uint32_t classCell;      // 48
    uint32_t maxNameLen;     // 52 longest subkey name, UTF-16 bytes
    uint32_t maxClassLen;    // 56 longest subkey class, bytes
    uint32_t maxValueNameLen;  // 60 UTF-16 bytes
    uint32_t maxValueDataLen;  // 64
    uint32_t workVar;        // 68
    uint16_t nameLen;        // 72 bytes
    uint16_t classLen;       // 74 bytes
};
static_assert(sizeof(KeyNode) == 76 && offsetof(KeyNode, security) == 44, "nk");

struct ValueNode {           // cell payload "vk", followed by the name
    char signature[2];       // 0
    uint16_t nameLen;        // 2  empty = the default value
    uint32_t dataSize;       // 4  bit 31: the data (<= 4 bytes) is the offset field itself
    uint32_t dataCell;       // 8
    uint32_t type;           // 12
    uint16_t flags;          // 16 VALUE_COMP_NAME 0x0001
    uint16_t spare;          // 18
};
static_assert(sizeof(ValueNode) == 20, "vk");

struct SecurityNode {        // cell payload "sk", followed by the descriptor
    char signature[2];       // 0
    uint16_t reserved;       // 2
    uint32_t flink;          // 4  all sk cells form one circular list
    uint32_t blink;          // 8
    uint32_t refCount;       // 12 keys pointing here
    uint32_t size;           // 16 self-relative descriptor bytes
};
static_assert(sizeof(SecurityNode) == 20, "sk");

struct BigData {             // cell payload "db" (1.4 and later): data in 16344-byte segments
    char signature[2];       // 0
    uint16_t segments;       // 2
    uint32_t segmentList;    // 4  cell of segment cell offsets
};
static_assert(sizeof(BigData) == 8, "db");
#pragma pack(pop)

constexpr uint32_t kNone = 0xFFFFFFFF;
constexpr uint32_t kBaseSize = 4096;
constexpr uint32_t kBinUnit = 4096;
constexpr uint32_t kSegment = 16344;      // db segment payload; also the largest plain value in 1.4+
constexpr uint32_t kLeafMax = 500;        // subkeys per leaf: a leaf cell stays inside one 4 KiB bin
constexpr uint32_t kMaxDepth = 512;       // NT's limit on key nesting
constexpr size_t kMaxImage = 0x7FFFF000;  // NT's 2 GiB hive limit; keeps offsets and cell sizes in range
constexpr uint16_t kFlagHiveEntry = 0x0004;
constexpr uint16_t kFlagCompName = 0x0020;
constexpr uint16_t kKeptFlags = kKeyNoDelete | kKeySymLink;

inline uint32_t Le32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

inline uint32_t HeaderXor(const uint8_t* header) {
    uint32_t x = 0;
    for (size_t i = 0; i < 508; i += 4) x ^= Le32(header + i);
    return x;
}

// The stored form of the checksum: 0 and 0xFFFFFFFF are reserved by NT.
inline uint32_t StoredChecksum(uint32_t x) {
    if (x == 0xFFFFFFFF) return 0xFFFFFFFE;
    if (x == 0) return 1;
    return x;
}

struct EncodedName {
    std::vector<uint8_t> bytes;
    std::vector<uint16_t> units;
    bool compressed = false;
    uint32_t utf16Bytes = 0;
};


// Sets the checksum of a base block (its first 512 bytes) after a change.
inline void SealBaseBlock(uint8_t* header) {
    memset(header + 504, 0, 4);
    uint32_t x = HeaderXor(header);
    if (x == 0 || x == 0xFFFFFFFF) {
        // NT would store 1 or 0xFFFFFFFE here, which hivex refuses: change a reserved
        // dword instead so the plain XOR is a valid checksum for both.
        uint32_t dodge = 1;
        memcpy(header + 504, &dodge, 4);
        x ^= dodge;
    }
    memcpy(header + 508, &x, 4);
}

// Latin-1 when every unit fits a byte (NT's compressed names), else UTF-16LE.
void EncodeName(const std::string& name, EncodedName* out);


// A child's nk cell with what its parent's leaf list records about its name.
struct ChildEntry {
    uint32_t cell;
    uint32_t hint;  // lf: the first four characters; lh: the name hash
};

struct SecurityCell {
    uint32_t offset;
    uint32_t refs;
};

// The free space of a mounted hive's file that an in-place update allocates from
// (regf_update.cpp); a writer without one lays out a whole new image.
struct CellSpace;
uint32_t CellSpaceAlloc(CellSpace* space, size_t payload);
uint8_t* CellSpaceAt(CellSpace* space, uint32_t cell);

struct Writer {
    std::vector<uint8_t>* out = nullptr;
    CellSpace* space = nullptr;
    FreeCells* freeCells = nullptr;  // where the free ends of bins are recorded
    uint32_t minor;
    uint64_t stamp;
    uint32_t binStart = 0, binEnd = 0;  // the open bin, as file offsets
    std::vector<SecurityCell> sks;
    std::unordered_map<const void*, uint32_t> skByPointer;
    std::unordered_map<std::string_view, uint32_t> skByContent;
    EncodedName nameScratch;

    uint8_t* At(uint32_t cell) { return space ? CellSpaceAt(space, cell) : out->data() + kBaseSize + cell; }

    void CloseBin() {
        uint32_t used = (uint32_t)out->size();
        if (binEnd > used) {
            int32_t freeSize = (int32_t)(binEnd - used);  // the rest of the bin is one free cell
            out->resize(binEnd);
            memcpy(out->data() + used, &freeSize, 4);
            if (freeCells) freeCells->emplace((uint32_t)freeSize, used - kBaseSize);
        }
    }

    // A cell of at least payload bytes, zeroed; returns its offset.
    uint32_t Alloc(size_t payload) {
        if (space) return CellSpaceAlloc(space, payload);
        uint32_t cellSize = (uint32_t)((payload + 4 + 7) & ~(size_t)7);
        if ((uint32_t)out->size() + cellSize > binEnd) {
            CloseBin();
            binStart = (uint32_t)out->size();
            uint32_t binSize = (cellSize + (uint32_t)sizeof(BinHeader) + kBinUnit - 1) / kBinUnit * kBinUnit;
            binEnd = binStart + binSize;
            BinHeader bin{};
            memcpy(bin.signature, "hbin", 4);
            bin.offset = binStart - kBaseSize;
            bin.size = binSize;
            bin.timestamp = stamp;
            if (out->capacity() < binEnd) out->reserve(std::max<size_t>(binEnd, out->capacity() * 3 / 2));
            out->resize(binStart + sizeof(BinHeader));
            memcpy(out->data() + binStart, &bin, sizeof bin);
        }
        uint32_t at = (uint32_t)out->size();
        out->resize(at + cellSize);
        int32_t header = -(int32_t)cellSize;
        memcpy(out->data() + at, &header, 4);
        return at - kBaseSize;
    }

    uint32_t AllocBytes(const uint8_t* p, size_t n) {
        uint32_t cell = Alloc(n);
        if (n) memcpy(At(cell) + 4, p, n);
        return cell;
    }

    uint32_t Security(const SharedDescriptor& sd);
    uint32_t WriteData(const std::vector<uint8_t>& data, uint32_t* sizeField, uint32_t* cellField);
    uint32_t WriteValues(const HiveKey& key, uint32_t* maxName, uint32_t* maxData, uint32_t* listCell);
    // One value's vk cell (and its data) in *vkCell; its name is in nameScratch afterwards.
    uint32_t WriteValue(const HiveValue& value, uint32_t* vkCell);
    uint32_t WriteSubkeyList(const std::vector<ChildEntry>& children);
    uint32_t AllocKey(const HiveKey& key, const std::string& name, uint32_t parent, uint16_t extraFlags, uint32_t* cell);
    uint32_t LeafHint() const;
    // LeafHint of an ASCII name without encoding it.
    uint32_t AsciiLeafHint(const std::string& name) const;
};

}  // namespace regf
}  // namespace ntsim
