// The in-place flush of a mounted hive: only the cells of changed keys are written,
// as NT's flush writes the dirty cells of a hive rather than the whole file.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <unordered_set>

#include "nt/linux/base.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/host_sync.h"
#include "ntsim/registry/regf.h"
#include "ntsim/registry/regf_records.h"

namespace ntsim {
namespace regf {

// Where the update puts its cells and what it will write. Cells allocated by this update
// are built in memory (fresh), their bytes in the blocks of an arena rather than one
// buffer each; the file's old records are read through a page cache.
// The file's old records are read by 4 KiB page into 256 places, each page in the place its
// number gives: a key's cells and a freed subtree's lie near each other, and freeing a
// large subtree does not hold all of it in memory.
const size_t kPage = 4 * 1024;
const size_t kCachedPages = 256;
const size_t kReadAhead = 8;
const size_t kArenaBlock = 64 * 1024;  // below malloc's threshold for a mapping of its own

}  // namespace regf

// The cache lives with the hive's layout: flushes one after another touch the same keys'
// pages (a parent of several renamed keys, the shared descriptors, the next keys of a walk),
// and what a flush writes it writes into its cached pages too.
struct HivePageCache {
    struct Page {
        uint64_t index = UINT64_MAX;  // which page of the file it holds
        size_t length = 0;            // bytes the file had there
        std::unique_ptr<uint8_t[]> bytes;
    };
    uint32_t sequence = 0;  // the file's sequence number when its pages were last right
    Page pages[regf::kCachedPages];

    // Copies bytes of the file at a file offset when every page they lie in is here.
    bool Read(uint64_t at, uint8_t* out, size_t n) const {
        for (uint64_t index = at / regf::kPage; index * regf::kPage < at + n; ++index) {
            const Page& p = pages[index % regf::kCachedPages];
            if (p.index != index || p.length != regf::kPage) return false;
        }
        while (n) {
            const Page& p = pages[(at / regf::kPage) % regf::kCachedPages];
            size_t offset = (size_t)(at % regf::kPage), part = std::min(n, regf::kPage - offset);
            memcpy(out, p.bytes.get() + offset, part);
            at += part;
            out += part;
            n -= part;
        }
        return true;
    }
    // Bytes written to the file at a file offset go into the pages that hold that place. A
    // page the file ended in is forgotten: it may have grown past the bytes written.
    void Written(uint64_t at, const uint8_t* data, size_t n) {
        while (n) {
            uint64_t index = at / regf::kPage;
            size_t offset = (size_t)(at % regf::kPage), part = std::min(n, regf::kPage - offset);
            Page& p = pages[index % regf::kCachedPages];
            if (p.index == index) {
                if (p.length == regf::kPage)
                    memcpy(p.bytes.get() + offset, data, part);
                else
                    p.index = UINT64_MAX;
            }
            at += part;
            data += part;
            n -= part;
        }
    }
};

void HivePageCacheDelete::operator()(HivePageCache* cache) const { delete cache; }

namespace regf {

// The cells an update allocated, in the order they were made, found by offset through an
// open-addressed index: a restored tree brings hundreds of thousands of them, and a node
// of a hash map each cost more than building the cells.
struct FreshCells {
    struct Cell {
        uint32_t offset;
        uint32_t size;
        uint8_t* bytes;  // the whole cell
    };
    std::vector<Cell> cells;
    std::vector<uint32_t> slots;  // 1 + index into cells; 0 for an empty slot

    const Cell* Find(uint32_t offset) const {
        if (slots.empty()) return nullptr;
        size_t mask = slots.size() - 1;
        for (size_t i = Slot(offset) & mask;; i = (i + 1) & mask) {
            if (!slots[i]) return nullptr;
            if (cells[slots[i] - 1].offset == offset) return &cells[slots[i] - 1];
        }
    }
    bool Has(uint32_t offset) const { return Find(offset) != nullptr; }
    void Add(uint32_t offset, uint8_t* bytes, uint32_t size) {
        if ((cells.size() + 1) * 2 > slots.size()) {
            slots.assign(std::max<size_t>(64, slots.size() * 2), 0);
            for (size_t i = 0; i < cells.size(); ++i) Place((uint32_t)i);
        }
        cells.push_back({offset, size, bytes});
        Place((uint32_t)cells.size() - 1);
    }

private:
    static size_t Slot(uint32_t offset) { return (size_t)((offset >> 3) * 0x9E3779B1u); }
    void Place(uint32_t index) {
        size_t mask = slots.size() - 1;
        for (size_t i = Slot(cells[index].offset) & mask;; i = (i + 1) & mask) {
            if (slots[i] && cells[slots[i] - 1].offset != cells[index].offset) continue;
            slots[i] = index + 1;  // a cell made again at the same offset replaces the first
            return;
        }
    }
};

struct CellSpace {
    int fd = -1;
    HiveLayout* layout = nullptr;
    uint32_t oldBinsSize = 0;
    uint32_t binsSize = 0;  // grows with appended bins
    uint64_t stamp = 0;
    FreshCells fresh;
    std::vector<std::unique_ptr<uint8_t[]>> arena;
    uint8_t* arenaNext = nullptr;
    size_t arenaLeft = 0;
    std::vector<std::pair<uint32_t, BinHeader>> bins;                // headers of the appended bins
    std::vector<std::pair<uint32_t, int32_t>> freeHeaders;           // free cells made by splits: (offset, size)
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> inPlace;  // records of cells that stay where they are
    std::vector<std::pair<uint32_t, uint32_t>> freed;                // (offset, size) of cells no record points at any more
    using Page = HivePageCache::Page;
    HivePageCache* cache = nullptr;  // the layout's
    bool failed = false;  // a fresh cell could not be placed (the hive would pass 2 GiB)

    uint8_t* ArenaAlloc(uint32_t n) {
        if (n > arenaLeft) {
            size_t size = std::max<size_t>(n, kArenaBlock);
            arena.emplace_back(new uint8_t[size]);
            arenaNext = arena.back().get();
            arenaLeft = size;
        }
        uint8_t* p = arenaNext;
        arenaNext += n;
        arenaLeft -= n;
        memset(p, 0, n);
        return p;
    }

    // Reads bytes of the bins area as the file holds them.
    bool ReadFile(uint32_t off, void* dst, size_t n) {
        if ((uint64_t)off + n > oldBinsSize) return false;
        uint8_t* out = (uint8_t*)dst;
        uint64_t pos = (uint64_t)kBaseSize + off;
        while (n) {
            const Page* page = PageOf(pos / kPage);
            size_t at = (size_t)(pos % kPage), part = std::min(n, kPage - at);
            if (!page || at + part > page->length) return false;
            memcpy(out, page->bytes.get() + at, part);
            out += part;
            pos += part;
            n -= part;
        }
        return true;
    }

    const Page* PageOf(uint64_t index) {
        Page& wanted = cache->pages[index % kCachedPages];
        if (wanted.index == index) return &wanted;
        // A miss reads the pages after it too, each into its own place, in one call: a
        // subtree's records lie in pages one after another. It stops at a page already here.
        struct iovec parts[kReadAhead];
        size_t count = 0;
        for (; count < kReadAhead; ++count) {
            Page& p = cache->pages[(index + count) % kCachedPages];
            if (count > 0 && p.index == index + count) break;
            if (!p.bytes) p.bytes.reset(new uint8_t[kPage]);
            p.index = UINT64_MAX;
            parts[count] = {p.bytes.get(), kPage};
        }
        ssize_t got;
        do {
            got = preadv(fd, parts, (int)count, (off_t)(index * kPage));
        } while (got < 0 && errno == EINTR);
        if (got < 0) return nullptr;
        for (size_t k = 0; k < count; ++k) {
            size_t have = (size_t)got > k * kPage ? std::min(kPage, (size_t)got - k * kPage) : 0;
            if (k > 0 && have == 0) break;
            Page& p = cache->pages[(index + k) % kCachedPages];
            p.index = index + k;
            p.length = have;  // short only at the end of the file
        }
        return &wanted;
    }

    // The payload of an allocated cell: a fresh one, or one of the file.
    bool ReadCell(uint32_t cell, std::vector<uint8_t>* payload) {
        if (const FreshCells::Cell* c = fresh.Find(cell)) {
            payload->assign(c->bytes + 4, c->bytes + c->size);
            return true;
        }
        int32_t size;
        if ((cell & 7) || !ReadFile(cell, &size, 4) || size > -8 || (uint32_t)(-(int64_t)size) % 8) return false;
        payload->resize((uint32_t)(-(int64_t)size) - 4);
        return ReadFile(cell + 4, payload->data(), payload->size());
    }

    void Free(uint32_t cell) {
        int32_t size;
        if (ReadFile(cell, &size, 4) && size < 0) freed.emplace_back(cell, (uint32_t)(-(int64_t)size));
    }
};

uint32_t CellSpaceAlloc(CellSpace* s, size_t payload) {
    uint32_t cellSize = (uint32_t)((payload + 4 + 7) & ~(size_t)7);
    uint32_t cell;
    uint32_t have = 0;
    if (s->layout->freeCells.TakeAtLeast(cellSize, &have, &cell)) {
        // The smallest free cell that holds it; the rest stays free.
        if (have > cellSize) {
            s->freeHeaders.emplace_back(cell + cellSize, (int32_t)(have - cellSize));
            s->layout->freeCells.emplace(have - cellSize, cell + cellSize);
        }
    } else {
        // A new bin at the end of the file; what the cell leaves of it is free.
        uint32_t binSize = (cellSize + (uint32_t)sizeof(BinHeader) + kBinUnit - 1) / kBinUnit * kBinUnit;
        if ((uint64_t)s->binsSize + binSize + kBaseSize > kMaxImage) {
            s->failed = true;
            binSize = 0;
        }
        BinHeader bin{};
        memcpy(bin.signature, "hbin", 4);
        bin.offset = s->binsSize;
        bin.size = binSize;
        bin.timestamp = s->stamp;
        if (!s->failed) s->bins.emplace_back(s->binsSize, bin);
        cell = s->binsSize + (uint32_t)sizeof(BinHeader);
        uint32_t rest = binSize - (uint32_t)sizeof(BinHeader) - cellSize;
        if (rest && !s->failed) {
            s->freeHeaders.emplace_back(cell + cellSize, (int32_t)rest);
            s->layout->freeCells.emplace(rest, cell + cellSize);
        }
        s->binsSize += binSize;
    }
    uint8_t* bytes = s->ArenaAlloc(cellSize);
    int32_t header = -(int32_t)cellSize;
    memcpy(bytes, &header, 4);
    s->fresh.Add(cell, bytes, cellSize);
    return cell;
}

uint8_t* CellSpaceAt(CellSpace* s, uint32_t cell) {
    const FreshCells::Cell* c = s->fresh.Find(cell);
    return c ? c->bytes : nullptr;  // only cells it allocated are asked for
}

namespace {

const uint32_t kDecline = 0xFFFFFFFF;  // the file is not as the layout says: write it whole

struct Update {
    CellSpace space;
    Writer w;
    HiveLayout* layout = nullptr;
    std::map<uint32_t, SecurityNode> sks;  // sk records touched by this update
    std::unordered_set<uint32_t> goneSks;

    SecurityNode* Sk(uint32_t cell) {
        auto it = sks.find(cell);
        if (it != sks.end()) return &it->second;
        std::vector<uint8_t> p;
        if (!space.ReadCell(cell, &p) || p.size() < sizeof(SecurityNode) || memcmp(p.data(), "sk", 2) != 0) return nullptr;
        SecurityNode sk;
        memcpy(&sk, p.data(), sizeof sk);
        return &sks.emplace(cell, sk).first->second;
    }

    // One more key points at the descriptor: its sk cell, made and linked in when new.
    uint32_t Ref(const std::vector<uint8_t>& sd) {
        std::string content((const char*)sd.data(), sd.size());
        auto found = layout->skCells.find(content);
        if (found != layout->skCells.end()) {
            SecurityNode* sk = Sk(found->second);
            if (!sk) return kDecline;
            ++sk->refCount;
            return found->second;
        }
        uint32_t cell = w.Alloc(sizeof(SecurityNode) + sd.size());
        if (!sd.empty()) memcpy(w.At(cell) + 4 + sizeof(SecurityNode), sd.data(), sd.size());
        SecurityNode sk{};
        memcpy(sk.signature, "sk", 2);
        sk.size = (uint32_t)sd.size();
        sk.refCount = 1;
        sk.flink = sk.blink = cell;
        if (!layout->skCells.empty()) {
            uint32_t anchor = layout->skCells.begin()->second;
            SecurityNode* a = Sk(anchor);
            if (!a) return kDecline;
            uint32_t next = a->flink;
            sk.flink = next;
            sk.blink = anchor;
            a->flink = cell;
            SecurityNode* n = Sk(next);
            if (!n) return kDecline;
            n->blink = cell;
        }
        sks.emplace(cell, sk);
        layout->skCells.emplace(std::move(content), cell);
        return cell;
    }

    // One key less points at an sk cell; the last one takes it out of the list.
    bool Unref(uint32_t cell) {
        if (cell == kNone) return true;
        SecurityNode* sk = Sk(cell);
        if (!sk) return false;
        if (sk->refCount != 1) {
            if (sk->refCount) --sk->refCount;  // a count already 0 is left alone rather than freed twice
            return true;
        }
        sk->refCount = 0;
        uint32_t prev = sk->blink, next = sk->flink;
        if (next != cell) {
            SecurityNode* p = Sk(prev);
            SecurityNode* n = Sk(next);
            if (!p || !n) return false;
            p->flink = next;
            n->blink = prev;
        }
        goneSks.insert(cell);
        space.Free(cell);
        for (auto it = layout->skCells.begin(); it != layout->skCells.end(); ++it)
            if (it->second == cell) {
                layout->skCells.erase(it);
                break;
            }
        return true;
    }

    bool FreeData(const ValueNode& vk) {
        uint32_t size = vk.dataSize & 0x7FFFFFFF;
        if ((vk.dataSize & 0x80000000) || size == 0) return true;
        std::vector<uint8_t> p;
        if (!space.ReadCell(vk.dataCell, &p)) return false;
        if (size > p.size()) {
            if (p.size() < sizeof(BigData) || memcmp(p.data(), "db", 2) != 0) return false;
            BigData db;
            memcpy(&db, p.data(), sizeof db);
            std::vector<uint8_t> list;
            if (!space.ReadCell(db.segmentList, &list) || (size_t)db.segments * 4 > list.size()) return false;
            for (uint32_t i = 0; i < db.segments; ++i) space.Free(Le32(list.data() + 4 * i));
            space.Free(db.segmentList);
        }
        space.Free(vk.dataCell);
        return true;
    }

    bool FreeValues(uint32_t listCell, uint32_t count) {
        if (count == 0) return true;
        std::vector<uint8_t> list, p;
        if (!space.ReadCell(listCell, &list) || (size_t)count * 4 > list.size()) return false;
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t vkCell = Le32(list.data() + 4 * i);
            if (!space.ReadCell(vkCell, &p) || p.size() < sizeof(ValueNode) || memcmp(p.data(), "vk", 2) != 0) return false;
            ValueNode vk;
            memcpy(&vk, p.data(), sizeof vk);
            if (!FreeData(vk)) return false;
            space.Free(vkCell);
        }
        space.Free(listCell);
        return true;
    }

    // The nk cells an li/lf/lh list (or an ri of them) names, and the list's own cells.
    bool ReadList(uint32_t cell, uint32_t count, std::vector<uint32_t>* children, std::vector<uint32_t>* cells) {
        children->clear();
        cells->clear();
        if (count == 0) return true;
        std::vector<uint8_t> p, q;
        if (!space.ReadCell(cell, &p) || p.size() < 4) return false;
        cells->push_back(cell);
        uint32_t entries = p[2] | (p[3] << 8);
        bool isRi = memcmp(p.data(), "ri", 2) == 0;
        if (isRi && (size_t)entries * 4 + 4 > p.size()) return false;
        for (uint32_t leaf = 0; leaf < (isRi ? entries : 1); ++leaf) {
            if (isRi) {
                uint32_t leafCell = Le32(p.data() + 4 + 4 * leaf);
                if (!space.ReadCell(leafCell, &q) || q.size() < 4) return false;
                cells->push_back(leafCell);
            } else {
                q = p;
            }
            uint32_t n = q[2] | (q[3] << 8);
            uint32_t stride = memcmp(q.data(), "li", 2) == 0 ? 4 : 8;
            if (stride == 8 && memcmp(q.data(), "lf", 2) != 0 && memcmp(q.data(), "lh", 2) != 0) return false;
            if ((size_t)n * stride + 4 > q.size()) return false;
            for (uint32_t i = 0; i < n; ++i) children->push_back(Le32(q.data() + 4 + stride * i));
        }
        return children->size() == count;
    }

    // Frees every cell of a subtree that is no longer in the hive.
    bool FreeTree(uint32_t top) {
        std::vector<uint32_t> stack{top}, children, cells;
        std::vector<uint8_t> p;
        while (!stack.empty()) {
            uint32_t cell = stack.back();
            stack.pop_back();
            if (!space.ReadCell(cell, &p) || p.size() < sizeof(KeyNode) || memcmp(p.data(), "nk", 2) != 0) return false;
            KeyNode nk;
            memcpy(&nk, p.data(), sizeof nk);
            if (!Unref(nk.security)) return false;
            if (nk.classLen && nk.classCell != kNone) space.Free(nk.classCell);
            if (!FreeValues(nk.valueList, nk.valueCount)) return false;
            if (!ReadList(nk.subkeyList, nk.subkeyCount, &children, &cells)) return false;
            stack.insert(stack.end(), children.begin(), children.end());
            for (uint32_t c : cells) space.Free(c);
            space.Free(cell);
        }
        return true;
    }

    // The data of an old vk is value's data, as the file holds it: small data in the vk
    // itself or one data cell (big data in db records is never taken for the same).
    bool SameData(const ValueNode& vk, const std::vector<uint8_t>& data) {
        size_t n = data.size();
        if (n <= 4) return vk.dataSize == (0x80000000u | (uint32_t)n) && (n == 0 || memcmp(&vk.dataCell, data.data(), n) == 0);
        if (vk.dataSize != n || (w.minor >= 4 && n > kSegment)) return false;
        std::vector<uint8_t> p;
        return space.ReadCell(vk.dataCell, &p) && p.size() >= n && memcmp(p.data(), data.data(), n) == 0;
    }

    // Writes the values of a key whose values changed: a value whose name, type and data
    // are those of one of the key's old vk records keeps that record, as NT's flush leaves
    // the cells of values that did not change; the rest are written anew, and the old
    // records no value kept are freed. kDecline when the old records cannot be read.
    uint32_t WriteChangedValues(const HiveKey& key, const KeyNode& old, KeyNode* nk) {
        struct OldValue {
            uint32_t cell;
            ValueNode vk;
            std::vector<uint8_t> name;  // as stored
            bool kept = false;
        };
        std::vector<OldValue> olds;
        if (old.valueCount) {
            std::vector<uint8_t> list, p;
            if (!space.ReadCell(old.valueList, &list) || (size_t)old.valueCount * 4 > list.size()) return kDecline;
            olds.resize(old.valueCount);
            for (uint32_t i = 0; i < old.valueCount; ++i) {
                OldValue& o = olds[i];
                o.cell = Le32(list.data() + 4 * i);
                if (!space.ReadCell(o.cell, &p) || p.size() < sizeof(ValueNode) || memcmp(p.data(), "vk", 2) != 0) return kDecline;
                memcpy(&o.vk, p.data(), sizeof o.vk);
                if (p.size() < sizeof(ValueNode) + o.vk.nameLen) return kDecline;
                o.name.assign(p.begin() + sizeof(ValueNode), p.begin() + sizeof(ValueNode) + o.vk.nameLen);
            }
            // A record listed twice could be kept for one value and freed for the other.
            std::vector<uint32_t> cells;
            for (const OldValue& o : olds) cells.push_back(o.cell);
            std::sort(cells.begin(), cells.end());
            if (std::adjacent_find(cells.begin(), cells.end()) != cells.end()) return kDecline;
        }
        nk->valueCount = (uint32_t)key.values.size();
        nk->maxValueNameLen = nk->maxValueDataLen = 0;
        std::vector<uint32_t> cells(key.values.size());
        size_t next = 0;  // the old record after the last one kept: where the next value most likely is
        for (size_t i = 0; i < key.values.size(); ++i) {
            const HiveValue& value = key.values[i];
            EncodeName(value.name, &w.nameScratch);
            if (w.nameScratch.bytes.size() > 0xFFFF) return ERROR_INVALID_PARAMETER;
            nk->maxValueNameLen = std::max(nk->maxValueNameLen, w.nameScratch.utf16Bytes);
            nk->maxValueDataLen = std::max(nk->maxValueDataLen, (uint32_t)std::min<size_t>(value.data.size(), 0xFFFFFFFF));
            auto same = [&](size_t j) {
                const OldValue& o = olds[j];
                return !o.kept && o.vk.type == value.type && ((o.vk.flags & 1) != 0) == w.nameScratch.compressed &&
                       o.name == w.nameScratch.bytes && SameData(o.vk, value.data);
            };
            size_t found = olds.size();
            if (next < olds.size() && same(next)) found = next;
            for (size_t j = 0; found == olds.size() && j < olds.size(); ++j)
                if (j != next && olds[j].name == w.nameScratch.bytes && same(j)) found = j;
            if (found < olds.size()) {
                olds[found].kept = true;
                cells[i] = olds[found].cell;
                next = found + 1;
            } else if (uint32_t err = w.WriteValue(value, &cells[i])) {
                return err;
            }
        }
        for (const OldValue& o : olds)
            if (!o.kept) {
                if (!FreeData(o.vk)) return kDecline;
                space.Free(o.cell);
            }
        std::vector<uint32_t> oldCells;
        for (const OldValue& o : olds) oldCells.push_back(o.cell);
        if (cells == oldCells && !cells.empty()) {
            nk->valueList = old.valueList;
            return ERROR_SUCCESS;
        }
        if (old.valueCount) space.Free(old.valueList);
        nk->valueList = kNone;
        if (cells.empty()) return ERROR_SUCCESS;
        if (cells.size() > 0x3FFFFFFF) return ERROR_INVALID_PARAMETER;
        nk->valueList = w.Alloc(4 * cells.size());
        memcpy(w.At(nk->valueList) + 4, cells.data(), 4 * cells.size());
        return ERROR_SUCCESS;
    }

    uint32_t WriteKey(const HiveKey& key, const std::string& name, bool isRoot, bool isNew);
};

uint32_t Update::WriteKey(const HiveKey& key, const std::string& name, bool isRoot, bool isNew) {
    std::vector<uint8_t> p;
    if (!space.ReadCell(key.cell, &p) || p.size() < sizeof(KeyNode) || memcmp(p.data(), "nk", 2) != 0) return kDecline;
    KeyNode old;
    memcpy(&old, p.data(), sizeof old);
    if (isNew) old.security = kNone;  // the parent made only its name and links
    // The record stays in its cell, so its name must be the one stored there.
    EncodeName(name, &w.nameScratch);
    const std::vector<uint8_t>& nameBytes = w.nameScratch.bytes;
    if (old.nameLen != nameBytes.size() || p.size() < sizeof(KeyNode) + old.nameLen ||
        !std::equal(nameBytes.begin(), nameBytes.end(), p.begin() + sizeof(KeyNode)) ||
        ((old.flags & kFlagCompName) != 0) != w.nameScratch.compressed)
        return kDecline;
    KeyNode nk{};
    memcpy(nk.signature, "nk", 2);
    nk.flags = (uint16_t)((key.flags & kKeptFlags) | (isRoot ? kFlagHiveEntry : 0) | (w.nameScratch.compressed ? kFlagCompName : 0));
    nk.lastWrite = key.lastWrite;
    nk.parent = old.parent;
    nk.volatileList = kNone;
    nk.nameLen = old.nameLen;
    std::vector<uint8_t> record(p.begin(), p.begin() + sizeof(KeyNode) + old.nameLen);

    nk.security = old.security;
    if (!key.security) {
        if (!Unref(old.security)) return kDecline;
        nk.security = kNone;
    } else {
        auto found = layout->skCells.find(std::string((const char*)key.security->data(), key.security->size()));
        if (found == layout->skCells.end() || found->second != old.security) {
            // The new one first: a descriptor the key already held under another cell stays.
            nk.security = Ref(*key.security);
            if (nk.security == kNone || nk.security == kDecline || !Unref(old.security)) return kDecline;
        }
    }

    nk.classCell = kNone;
    if (!key.className.empty()) {
        std::vector<uint8_t> cls;
        bool same = old.classLen == key.className.size() && old.classCell != kNone && space.ReadCell(old.classCell, &cls) &&
                    cls.size() >= old.classLen && std::equal(key.className.begin(), key.className.end(), cls.begin());
        if (same) {
            nk.classCell = old.classCell;
        } else {
            if (old.classLen && old.classCell != kNone) space.Free(old.classCell);
            nk.classCell = w.AllocBytes(key.className.data(), key.className.size());
        }
        nk.classLen = (uint16_t)key.className.size();
    } else if (old.classLen && old.classCell != kNone) {
        space.Free(old.classCell);
    }

    if (isNew) {
        if (!FreeValues(old.valueList, old.valueCount)) return kDecline;
        nk.valueCount = (uint32_t)key.values.size();
        if (uint32_t err = w.WriteValues(key, &nk.maxValueNameLen, &nk.maxValueDataLen, &nk.valueList)) return err;
    } else if (key.dirty & kDirtyValues) {
        if (uint32_t err = WriteChangedValues(key, old, &nk)) return err;
    } else {
        nk.valueCount = old.valueCount;
        nk.valueList = old.valueList;
        nk.maxValueNameLen = old.maxValueNameLen;
        nk.maxValueDataLen = old.maxValueDataLen;
    }

    std::vector<const HiveKey*> live;
    bool sorted = true;
    for (const auto& sub : key.subkeys) {
        if (sub->isVolatile) continue;
        if (!live.empty() && HiveNameCompare(live.back()->name, sub->name) >= 0) sorted = false;
        live.push_back(sub.get());
    }
    if (!sorted) {
        std::stable_sort(live.begin(), live.end(), [](const HiveKey* a, const HiveKey* b) { return HiveNameCompare(a->name, b->name) < 0; });
        for (size_t i = 1; i < live.size(); ++i)
            if (HiveNameCompare(live[i - 1]->name, live[i]->name) == 0) return ERROR_INVALID_PARAMETER;
    }
    std::vector<ChildEntry> children;
    children.reserve(live.size());
    for (const HiveKey* sub : live) {
        if (sub->cell == kNoCell) {
            // A new key: its nk now, its contents when the walk reaches it.
            uint32_t childCell;
            if (uint32_t err = w.AllocKey(*sub, sub->name, key.cell, 0, &childCell)) return err;
            sub->cell = childCell;
        } else {
            // A child already in the file gives only its name's length and hint: an ASCII
            // name (nearly all) needs no encoding for them.
            if (IsAsciiText(sub->name)) {
                nk.maxNameLen = std::max(nk.maxNameLen, (uint32_t)std::min<size_t>(sub->name.size() * 2, 0xFFFFFFFF));
                nk.maxClassLen = std::max(nk.maxClassLen, (uint32_t)sub->className.size());
                children.push_back({sub->cell, w.AsciiLeafHint(sub->name)});
                continue;
            }
            EncodeName(sub->name, &w.nameScratch);
        }
        nk.maxNameLen = std::max(nk.maxNameLen, w.nameScratch.utf16Bytes);
        nk.maxClassLen = std::max(nk.maxClassLen, (uint32_t)sub->className.size());
        children.push_back({sub->cell, w.LeafHint()});
    }
    std::vector<uint32_t> oldChildren, oldListCells;
    if (!ReadList(old.subkeyList, old.subkeyCount, &oldChildren, &oldListCells)) return kDecline;
    bool sameList = oldChildren.size() == children.size();
    for (size_t i = 0; sameList && i < children.size(); ++i) sameList = oldChildren[i] == children[i].cell;
    nk.subkeyCount = (uint32_t)children.size();
    if (sameList) {
        nk.subkeyList = children.empty() ? kNone : old.subkeyList;
    } else {
        nk.subkeyList = kNone;
        if (!children.empty() && (nk.subkeyList = w.WriteSubkeyList(children)) == kNone) return ERROR_INVALID_PARAMETER;
        for (uint32_t c : oldListCells) space.Free(c);
        std::unordered_set<uint32_t> kept;
        for (const ChildEntry& c : children) kept.insert(c.cell);
        for (uint32_t c : oldChildren)
            if (!kept.count(c) && !FreeTree(c)) return kDecline;
    }

    memcpy(record.data(), &nk, sizeof nk);
    if (space.fresh.Has(key.cell))
        memcpy(CellSpaceAt(&space, key.cell) + 4, record.data(), record.size());
    else
        space.inPlace.emplace_back(key.cell + 4, std::move(record));
    return ERROR_SUCCESS;
}

bool WriteAt(int fd, const void* data, size_t n, uint64_t at) {
    const uint8_t* p = (const uint8_t*)data;
    while (n) {
        ssize_t done = pwrite(fd, p, n, (off_t)at);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        p += done;
        at += (uint64_t)done;
        n -= (size_t)done;
    }
    return true;
}

struct Piece {
    uint32_t at;  // offset in the bins
    uint32_t size;
    const uint8_t* data;
};

// Pieces this close are written as one, with the file's own bytes between them read
// first: a write call into the page cache costs more than copying a KiB or two twice.
// A run stops growing at kMaxRun bytes where pieces do not overlap, so that it never
// holds much of the file (the new cells of a large restored tree lie side by side).
const uint64_t kGapFill = 2048;
const uint64_t kMaxRun = 1 << 20;

// Writes pieces of the bins, later pieces over earlier ones where they overlap, with one
// write for each run of pieces that adjoin or lie close rather than one per cell.
bool WritePieces(int fd, const std::vector<Piece>& pieces, HivePageCache* cache) {
    // By offset, and pieces at one offset in the order they were made: each entry is the
    // offset above the piece's index, so that plain numbers are sorted.
    std::vector<uint64_t> keys(pieces.size());
    for (size_t i = 0; i < keys.size(); ++i) keys[i] = ((uint64_t)pieces[i].at << 32) | (uint32_t)i;
    std::sort(keys.begin(), keys.end());
    const std::vector<uint64_t>& order = keys;  // the piece's index is the lower half
    std::vector<uint8_t> run;
    size_t i = 0;
    while (i < order.size()) {
        uint64_t start = pieces[(uint32_t)order[i]].at, end = start;
        bool gaps = false, overlaps = false;
        size_t j = i;
        for (; j < order.size(); ++j) {
            const Piece& next = pieces[(uint32_t)order[j]];
            if (j > i && next.at >= end && (next.at - end > kGapFill || end - start >= kMaxRun)) break;
            gaps = gaps || next.at > end;
            overlaps = overlaps || (j > i && next.at < end);
            end = std::max<uint64_t>(end, (uint64_t)next.at + next.size);
        }
        if (j == i + 1) {
            // One piece alone: written from where it is.
            const Piece& alone = pieces[(uint32_t)order[i]];
            if (!WriteAt(fd, alone.data, alone.size, kBaseSize + start)) return false;
            cache->Written(kBaseSize + start, alone.data, alone.size);
            i = j;
            continue;
        }
        std::vector<uint32_t> members;
        for (size_t k = i; k < j; ++k) members.push_back((uint32_t)order[k]);
        // Where pieces overlap, the later one made lies over the earlier one.
        if (overlaps) std::sort(members.begin(), members.end());
        run.assign((size_t)(end - start), 0);
        if (gaps && !cache->Read(kBaseSize + start, run.data(), run.size())) {
            // What lies between the pieces, as the file holds it (nothing past its end).
            size_t got = 0;
            while (got < run.size()) {
                ssize_t n = pread(fd, run.data() + got, run.size() - got, (off_t)(kBaseSize + start + got));
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) return false;
                if (n == 0) break;
                got += (size_t)n;
            }
        }
        for (uint32_t m : members) memcpy(run.data() + (pieces[m].at - start), pieces[m].data, pieces[m].size);
        if (!WriteAt(fd, run.data(), run.size(), kBaseSize + start)) return false;
        cache->Written(kBaseSize + start, run.data(), run.size());
        i = j;
    }
    return true;
}

uint32_t WriteError() { return errno == ENOSPC ? ERROR_DISK_FULL : ERROR_WRITE_FAULT; }

}  // namespace
}  // namespace regf

using namespace regf;

namespace {

// RegfUpdateFile on the file open for reading and writing as fd, which stays open.
uint32_t UpdateOpenFile(int fd, const HiveKey& root, const std::string& rootName, uint32_t minorVersion,
                        const std::string& hostPath, HiveLayout* layout, bool* declined) {
    uint8_t header[kBaseSize];
    BaseBlock base;
    if (pread(fd, header, kBaseSize, 0) != (ssize_t)kBaseSize) {
        return ERROR_SUCCESS;
    }
    memcpy(&base, header, sizeof base);
    if (memcmp(base.signature, "regf", 4) != 0 || base.primarySeq != layout->sequence || base.secondarySeq != layout->sequence ||
        base.binsSize != layout->binsSize || base.minor != minorVersion) {
        layout->known = false;
        layout->pages.reset();
        return ERROR_SUCCESS;
    }

    // The cached pages are the file's while every write since they were read was a flush
    // of this layout; a page the file ended in may have grown since.
    if (!layout->pages || layout->pages->sequence != layout->sequence) {
        layout->pages.reset(new HivePageCache);
        layout->pages->sequence = layout->sequence;
    }
    HivePageCache* cache = layout->pages.get();
    for (HivePageCache::Page& p : cache->pages)
        if (p.length != kPage) p.index = UINT64_MAX;

    Update u;
    u.layout = layout;
    u.space.cache = cache;
    u.space.fd = fd;
    u.space.layout = layout;
    u.space.oldBinsSize = u.space.binsSize = base.binsSize;
    u.space.stamp = FileTimeNow();
    u.w.space = &u.space;
    u.w.minor = minorVersion;
    u.w.stamp = u.space.stamp;

    // Parents before children: a parent gives its new children their nk cells.
    uint32_t err = ERROR_SUCCESS;
    std::vector<std::pair<const HiveKey*, bool>> stack{{&root, false}};
    while (!stack.empty() && !err) {
        auto [key, isNew] = stack.back();
        stack.pop_back();
        bool written = (key->dirty & (kDirtyRecord | kDirtyValues)) || isNew;
        if (written) err = u.WriteKey(*key, key == &root ? rootName : key->name, key == &root, isNew);
        // A written key may have given new children their cells: they are written next.
        bool below = (key->dirty & kDirtyBelow) || written;
        key->dirty = 0;
        if (!below) continue;
        for (const auto& sub : key->subkeys) {
            if (sub->isVolatile) continue;
            bool fresh = u.space.fresh.Has(sub->cell);
            if (sub->dirty || fresh) stack.push_back({sub.get(), fresh});
        }
    }
    if (u.space.failed && !err) err = ERROR_NOT_ENOUGH_MEMORY;
    if (err) {
        // Nothing is written yet; the keys' marks are gone, so the next flush writes it whole.
        layout->known = false;
        layout->pages.reset();
        if (err == kDecline) return ERROR_SUCCESS;
        *declined = false;
        return err;
    }
    *declined = false;
    for (const auto& [cell, sk] : u.sks) {
        if (u.goneSks.count(cell)) continue;
        if (u.space.fresh.Has(cell)) {
            memcpy(CellSpaceAt(&u.space, cell) + 4, &sk, sizeof sk);
        } else {
            std::vector<uint8_t> bytes(sizeof sk);
            memcpy(bytes.data(), &sk, sizeof sk);
            u.space.inPlace.emplace_back(cell + 4, std::move(bytes));
        }
    }

    // 1. The new cells, in free space and appended bins that no record points at yet; then
    //    the base block with the primary sequence number raised and the bins' new size.
    //    Each step is written before the next begins, so a process that ends anywhere (the
    //    simulation's power loss) leaves them on the machine's disk in this order; the host
    //    syncs between them hold the order on the host's own disk too, when they are on.
    uint32_t injected = 0;
    bool ok = !FaultHit("RegfUpdateFile:write", hostPath, &injected);
    std::vector<Piece> pieces;
    pieces.reserve(u.space.bins.size() + u.space.freeHeaders.size() + u.space.fresh.cells.size());
    for (const auto& [at, bin] : u.space.bins) pieces.push_back({at, (uint32_t)sizeof bin, (const uint8_t*)&bin});
    // A free cell this update made and then gave to a new cell has only that cell to write.
    for (const auto& [cell, size] : u.space.freeHeaders)
        if (!u.space.fresh.Has(cell)) pieces.push_back({cell, 4, (const uint8_t*)&size});
    for (const FreshCells::Cell& c : u.space.fresh.cells) pieces.push_back({c.offset, c.size, c.bytes});
    if (ok) ok = WritePieces(fd, pieces, cache);
    if (ok && u.space.binsSize > base.binsSize) {
        struct stat st;
        uint64_t want = (uint64_t)kBaseSize + u.space.binsSize;
        ok = fstat(fd, &st) == 0 && ((uint64_t)st.st_size >= want || ftruncate(fd, (off_t)want) == 0);
    }
    base.primarySeq = layout->sequence + 1;
    base.binsSize = u.space.binsSize;
    base.lastWrite = u.space.stamp;
    memcpy(header, &base, sizeof base);
    SealBaseBlock(header);
    if (ok) ok = WriteAt(fd, header, sizeof(BaseBlock), 0);  // what follows it never changes here
    if (ok) cache->Written(0, header, sizeof(BaseBlock));
    if (ok && FaultHit("RegfUpdateFile:fsync", hostPath, &injected)) ok = false;
    if (ok) ok = HostDataSync(fd) == 0;
    // 2. The records that stay in place (nk, sk) now point at them; the secondary
    //    sequence number says the file is whole again.
    pieces.clear();
    for (const auto& [at, bytes] : u.space.inPlace) pieces.push_back({at, (uint32_t)bytes.size(), bytes.data()});
    if (ok) ok = WritePieces(fd, pieces, cache);
    base.secondarySeq = base.primarySeq;
    memcpy(header, &base, sizeof base);
    SealBaseBlock(header);
    if (ok) ok = WriteAt(fd, header, sizeof(BaseBlock), 0);
    if (ok) cache->Written(0, header, sizeof(BaseBlock));
    if (ok) ok = HostDataSync(fd) == 0;
    if (!ok) {
        uint32_t failure = injected ? injected : WriteError();
        layout->known = false;
        layout->pages.reset();
        return failure;
    }
    // 3. The old cells are freed once nothing on disk points at them. Never synced: if they
    //    are lost, the file only keeps a few cells it no longer uses.
    //    Neighbours merge into one free cell, as NT merges them (they lie in one bin:
    //    a bin begins with its header, never right after a cell).
    std::vector<std::pair<uint32_t, uint32_t>>& freed = u.space.freed;
    std::sort(freed.begin(), freed.end());
    std::vector<std::pair<uint32_t, uint32_t>> merged;
    for (size_t i = 0; i < freed.size();) {
        uint32_t cell = freed[i].first, size = freed[i].second;
        size_t j = i + 1;
        for (; j < freed.size() && freed[j].first <= cell + size; ++j)
            if (freed[j].first == cell + size) size += freed[j].second;  // a cell listed twice counts once
        merged.emplace_back(cell, size);
        i = j;
    }
    std::vector<int32_t> headers(merged.size());  // a free cell's size is positive (little-endian, as the host)
    pieces.clear();
    for (size_t i = 0; i < merged.size(); ++i) {
        headers[i] = (int32_t)merged[i].second;
        pieces.push_back({merged[i].first, 4, (const uint8_t*)&headers[i]});
    }
    if (WritePieces(fd, pieces, cache)) {
        for (const auto& [cell, size] : merged) layout->freeCells.emplace(size, cell);
    } else {
        layout->known = false;  // the next flush writes the file whole
        layout->pages.reset();
    }
    layout->sequence = base.primarySeq;
    layout->binsSize = u.space.binsSize;
    if (layout->pages) layout->pages->sequence = layout->sequence;
    return ERROR_SUCCESS;
}

}  // namespace

uint32_t RegfUpdateFile(const HiveKey& root, const std::string& rootName, uint32_t minorVersion, const std::string& hostPath,
                        HiveLayout* layout, bool* declined, int fd) {
    *declined = true;
    if (!layout->known || root.cell == kNoCell || minorVersion < 3 || minorVersion > 6) return ERROR_SUCCESS;
    int own = fd < 0 ? open(hostPath.c_str(), O_RDWR | O_CLOEXEC) : -1;
    if (fd < 0 && own < 0) return ERROR_SUCCESS;  // the whole write reports why
    uint32_t err = UpdateOpenFile(fd < 0 ? own : fd, root, rootName, minorVersion, hostPath, layout, declined);
    if (own >= 0) close(own);
    return err;
}

}  // namespace ntsim
