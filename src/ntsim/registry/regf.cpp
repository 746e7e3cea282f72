// The regf hive file: reading an untrusted image into a Hive, writing a Hive back.
#include "ntsim/registry/regf.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "nt/linux/base.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/host_sync.h"
#include "ntsim/registry/regf_records.h"

namespace ntsim {

using namespace regf;

namespace {


std::string Latin1ToUtf8(const uint8_t* p, size_t n) {
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        uint8_t c = p[i];
        if (c < 0x80) {
            out += (char)c;
        } else {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string Utf16BytesToUtf8(const uint8_t* p, size_t bytes) {
    size_t n = bytes / 2;
    std::vector<uint16_t> units(n);
    if (n) memcpy(units.data(), p, n * 2);
    return Utf16ToUtf8(units.data(), n);
}

// ---- Reading ----

struct Reader {
    const uint8_t* bins = nullptr;  // first hbin
    uint32_t binsSize = 0;
    uint32_t minor = 0;
    std::vector<uint64_t> cellStart;  // one bit per 8 bytes: an allocated cell begins here
    std::vector<uint64_t> used;       // cells already taken by a key, list, value or data
    std::unordered_map<uint32_t, SharedDescriptor> descriptors;

    static bool Bit(const std::vector<uint64_t>& set, uint32_t off) { return (set[off >> 9] >> ((off >> 3) & 63)) & 1; }
    static void SetBit(std::vector<uint64_t>& set, uint32_t off) { set[off >> 9] |= 1ULL << ((off >> 3) & 63); }

    // The payload of the allocated cell at off, or null.
    const uint8_t* Cell(uint32_t off, uint32_t* len) const {
        if (off >= binsSize || (off & 7) || !Bit(cellStart, off)) return nullptr;
        int32_t size;
        memcpy(&size, bins + off, 4);
        *len = (uint32_t)(-(int64_t)size) - 4;
        return bins + off + 4;
    }
    // As Cell, for a cell that only one record may own (everything but sk cells): a
    // second reference means a cycle or a shared cell, which NT never writes.
    const uint8_t* Own(uint32_t off, uint32_t* len) {
        const uint8_t* p = Cell(off, len);
        if (!p || Bit(used, off)) return nullptr;
        SetBit(used, off);
        return p;
    }

    uint32_t ScanBins();
    uint32_t ReadKey(uint32_t off, HiveKey* key, uint32_t* subkeyList, uint32_t* subkeyCount);
    uint32_t ReadValues(uint32_t listOff, uint32_t count, HiveKey* key);
    uint32_t ReadData(const ValueNode& vk, std::vector<uint8_t>* data);
    uint32_t ReadSecurity(uint32_t off, SharedDescriptor* out);
    uint32_t ReadSubkeyList(uint32_t off, uint32_t count, std::vector<uint32_t>* out);
};

// Bins must tile the data area and cells must tile each bin.
uint32_t Reader::ScanBins() {
    cellStart.assign(binsSize / 512 + 1, 0);
    used.assign(binsSize / 512 + 1, 0);
    uint32_t pos = 0;
    while (pos < binsSize) {
        if (binsSize - pos < sizeof(BinHeader)) return ERROR_BADDB;
        BinHeader bin;
        memcpy(&bin, bins + pos, sizeof bin);
        if (memcmp(bin.signature, "hbin", 4) != 0 || bin.offset != pos) return ERROR_BADDB;
        if (bin.size < kBinUnit || bin.size % kBinUnit || bin.size > binsSize - pos) return ERROR_BADDB;
        uint32_t end = pos + bin.size;
        uint32_t cell = pos + sizeof(BinHeader);
        while (cell < end) {
            if (end - cell < 8) return ERROR_BADDB;
            int32_t size;
            memcpy(&size, bins + cell, 4);
            uint32_t magnitude = size < 0 ? (uint32_t)(-(int64_t)size) : (uint32_t)size;
            if (magnitude < 8 || magnitude % 8 || magnitude > end - cell) return ERROR_BADDB;
            if (size < 0) SetBit(cellStart, cell);
            cell += magnitude;  // advances by at least 8
        }
        pos = end;  // advances by at least 4096
    }
    return ERROR_SUCCESS;
}

uint32_t Reader::ReadSecurity(uint32_t off, SharedDescriptor* out) {
    if (off == kNone) {
        out->reset();
        return ERROR_SUCCESS;
    }
    auto found = descriptors.find(off);
    if (found != descriptors.end()) {
        *out = found->second;
        return ERROR_SUCCESS;
    }
    uint32_t len;
    const uint8_t* p = Cell(off, &len);
    if (!p || len < sizeof(SecurityNode) || memcmp(p, "sk", 2) != 0) return ERROR_BADDB;
    SecurityNode sk;
    memcpy(&sk, p, sizeof sk);
    if (sk.size > len - sizeof(SecurityNode)) return ERROR_BADDB;
    auto sd = std::make_shared<const std::vector<uint8_t>>(p + sizeof(SecurityNode), p + sizeof(SecurityNode) + sk.size);
    descriptors.emplace(off, sd);
    *out = std::move(sd);
    return ERROR_SUCCESS;
}

uint32_t Reader::ReadData(const ValueNode& vk, std::vector<uint8_t>* data) {
    uint32_t size = vk.dataSize & 0x7FFFFFFF;
    if (vk.dataSize & 0x80000000) {
        if (size > 4) return ERROR_BADDB;
        const uint8_t* inlineBytes = (const uint8_t*)&vk.dataCell;
        data->assign(inlineBytes, inlineBytes + size);
        return ERROR_SUCCESS;
    }
    data->clear();
    if (size == 0) return ERROR_SUCCESS;
    uint32_t len;
    const uint8_t* p = Own(vk.dataCell, &len);
    if (!p) return ERROR_BADDB;
    if (size <= len) {
        // One cell: always in 1.3, and what other writers make of big values in 1.5 too.
        data->assign(p, p + size);
        return ERROR_SUCCESS;
    }
    if (minor < 4 || size <= kSegment || len < sizeof(BigData) || memcmp(p, "db", 2) != 0) return ERROR_BADDB;
    BigData db;
    memcpy(&db, p, sizeof db);
    uint32_t listLen;
    const uint8_t* list = Own(db.segmentList, &listLen);
    if (!list || db.segments == 0 || (uint64_t)db.segments * 4 > listLen) return ERROR_BADDB;
    if ((uint64_t)db.segments * kSegment < size || (uint64_t)(db.segments - 1) * kSegment >= size) return ERROR_BADDB;
    data->resize(size);
    uint32_t done = 0;
    for (uint32_t i = 0; i < db.segments; ++i) {
        uint32_t segLen;
        const uint8_t* seg = Own(Le32(list + 4 * i), &segLen);
        uint32_t part = std::min(kSegment, size - done);
        if (!seg || segLen < part) return ERROR_BADDB;
        memcpy(data->data() + done, seg, part);
        done += part;
    }
    return ERROR_SUCCESS;
}

uint32_t Reader::ReadValues(uint32_t listOff, uint32_t count, HiveKey* key) {
    if (count == 0) return ERROR_SUCCESS;
    uint32_t listLen;
    const uint8_t* list = Own(listOff, &listLen);
    if (!list || count > listLen / 4) return ERROR_BADDB;  // caps the count by the cell
    key->values.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t len;
        const uint8_t* p = Own(Le32(list + 4 * i), &len);
        if (!p || len < sizeof(ValueNode) || memcmp(p, "vk", 2) != 0) return ERROR_BADDB;
        ValueNode vk;
        memcpy(&vk, p, sizeof vk);
        if (vk.nameLen > len - sizeof(ValueNode)) return ERROR_BADDB;
        HiveValue& value = key->values[i];
        const uint8_t* name = p + sizeof(ValueNode);
        value.name = (vk.flags & 1) ? Latin1ToUtf8(name, vk.nameLen) : Utf16BytesToUtf8(name, vk.nameLen);
        value.type = vk.type;
        if (uint32_t err = ReadData(vk, &value.data)) return err;
    }
    return ERROR_SUCCESS;
}

// Collects the nk offsets of an li/lf/lh list or of an ri list of such leaves.
uint32_t Reader::ReadSubkeyList(uint32_t off, uint32_t count, std::vector<uint32_t>* out) {
    out->clear();
    if (count == 0) return ERROR_SUCCESS;
    uint32_t len;
    const uint8_t* p = Own(off, &len);
    if (!p || len < 4) return ERROR_BADDB;
    uint32_t entries = p[2] | (p[3] << 8);
    bool isRi = memcmp(p, "ri", 2) == 0;
    uint32_t leafCount = isRi ? entries : 1;
    if (isRi && (uint64_t)entries * 4 + 4 > len) return ERROR_BADDB;
    for (uint32_t leaf = 0; leaf < leafCount; ++leaf) {
        const uint8_t* q = p;
        uint32_t qlen = len;
        if (isRi) {
            q = Own(Le32(p + 4 + 4 * leaf), &qlen);
            if (!q || qlen < 4) return ERROR_BADDB;  // also refuses an ri inside an ri: not li/lf/lh below
        }
        uint32_t n = q[2] | (q[3] << 8);
        uint32_t stride;
        if (memcmp(q, "li", 2) == 0)
            stride = 4;
        else if (memcmp(q, "lf", 2) == 0 || memcmp(q, "lh", 2) == 0)
            stride = 8;
        else
            return ERROR_BADDB;
        if ((uint64_t)n * stride + 4 > qlen || out->size() + n > count) return ERROR_BADDB;
        for (uint32_t i = 0; i < n; ++i) out->push_back(Le32(q + 4 + stride * i));
    }
    return out->size() == count ? ERROR_SUCCESS : ERROR_BADDB;
}

uint32_t Reader::ReadKey(uint32_t off, HiveKey* key, uint32_t* subkeyList, uint32_t* subkeyCount) {
    uint32_t len;
    const uint8_t* p = Own(off, &len);
    if (!p || len < sizeof(KeyNode) || memcmp(p, "nk", 2) != 0) return ERROR_BADDB;
    KeyNode nk;
    memcpy(&nk, p, sizeof nk);
    if (nk.nameLen > len - sizeof(KeyNode)) return ERROR_BADDB;
    const uint8_t* name = p + sizeof(KeyNode);
    key->name = (nk.flags & kFlagCompName) ? Latin1ToUtf8(name, nk.nameLen) : Utf16BytesToUtf8(name, nk.nameLen);
    key->flags = nk.flags & kKeptFlags;
    key->lastWrite = nk.lastWrite;
    key->cell = off;
    if (nk.classLen) {
        uint32_t classLen;
        const uint8_t* cls = Own(nk.classCell, &classLen);
        if (!cls || nk.classLen > classLen) return ERROR_BADDB;
        key->className.assign(cls, cls + nk.classLen);
    }
    if (uint32_t err = ReadSecurity(nk.security, &key->security)) return err;
    if (uint32_t err = ReadValues(nk.valueList, nk.valueCount, key)) return err;
    *subkeyList = nk.subkeyList;
    *subkeyCount = nk.subkeyCount;
    return ERROR_SUCCESS;
}

struct PendingKey {
    HiveKey* key;
    uint32_t list, count, depth;
};

}  // namespace

uint32_t RegfRead(const uint8_t* data, size_t size, Hive* hive) {
    if (!data || size < kBaseSize + kBinUnit) return ERROR_NOT_REGISTRY_FILE;
    BaseBlock base;
    memcpy(&base, data, sizeof base);
    if (memcmp(base.signature, "regf", 4) != 0 || base.major != 1 || base.minor < 3 || base.minor > 6 || base.type != 0 ||
        base.format != 1)
        return ERROR_NOT_REGISTRY_FILE;
    if (base.binsSize == 0 || base.binsSize % kBinUnit || base.binsSize > size - kBaseSize) return ERROR_NOT_REGISTRY_FILE;
    uint32_t x = HeaderXor(data);
    if (base.checksum != x && base.checksum != StoredChecksum(x)) return ERROR_BADDB;

    Reader r;
    r.bins = data + kBaseSize;
    r.binsSize = base.binsSize;
    r.minor = base.minor;
    if (uint32_t err = r.ScanBins()) return err;

    memcpy(hive->fileName.data(), base.fileName, sizeof base.fileName);
    auto root = std::make_unique<HiveKey>();
    std::vector<PendingKey> stack;
    std::vector<uint32_t> children;
    uint32_t list, count;
    if (uint32_t err = r.ReadKey(base.rootCell, root.get(), &list, &count)) return err;
    stack.push_back({root.get(), list, count, 0});
    // Every nk is owned once (Own), so the walk visits each cell at most once and a
    // list that points back at an ancestor is refused rather than followed.
    while (!stack.empty()) {
        PendingKey item = stack.back();
        stack.pop_back();
        if (uint32_t err = r.ReadSubkeyList(item.list, item.count, &children)) return err;
        if (!children.empty() && item.depth + 1 >= kMaxDepth) return ERROR_BADDB;
        HiveKey* parent = item.key;
        parent->subkeys.reserve(children.size());
        bool sorted = true;
        for (uint32_t off : children) {
            auto child = std::make_unique<HiveKey>();
            child->parent = parent;
            if (uint32_t err = r.ReadKey(off, child.get(), &list, &count)) return err;
            if (!parent->subkeys.empty() && HiveNameCompare(parent->subkeys.back()->name, child->name) >= 0) sorted = false;
            stack.push_back({child.get(), list, count, item.depth + 1});
            parent->subkeys.push_back(std::move(child));
        }
        if (!sorted) {
            // NT keeps lists sorted; other upcase tables may order a few names differently.
            std::stable_sort(parent->subkeys.begin(), parent->subkeys.end(),
                             [](const std::unique_ptr<HiveKey>& a, const std::unique_ptr<HiveKey>& b) {
                                 return HiveNameCompare(a->name, b->name) < 0;
                             });
            for (size_t i = 1; i < parent->subkeys.size(); ++i)
                if (HiveNameCompare(parent->subkeys[i - 1]->name, parent->subkeys[i]->name) == 0) return ERROR_BADDB;
        }
    }
    hive->rootName = root->name;
    hive->minorVersion = base.minor;
    // A file whose last write did not finish (the sequence numbers differ) is written whole next time.
    hive->layout.pages.reset();
    hive->layout.known = base.primarySeq == base.secondarySeq;
    hive->layout.sequence = std::max(base.primarySeq, base.secondarySeq);
    hive->layout.binsSize = base.binsSize;
    for (const auto& [off, sd] : r.descriptors)
        hive->layout.skCells.emplace(std::string((const char*)sd->data(), sd->size()), off);
    hive->root = std::move(root);
    return ERROR_SUCCESS;
}

uint32_t RegfLoadFile(const std::string& hostPath, Hive* hive) {
    uint32_t injected;
    if (FaultHit("RegfLoadFile", hostPath, &injected)) return injected;
    int fd = open(hostPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            // As NT tells them apart: the file is missing, or already its folder is.
            size_t slash = hostPath.find_last_of('/');
            struct stat dirStat;
            if (slash != std::string::npos && slash > 0 && stat(hostPath.substr(0, slash).c_str(), &dirStat) != 0)
                return ERROR_PATH_NOT_FOUND;
            return ERROR_FILE_NOT_FOUND;
        }
        if (errno == ENOTDIR) return ERROR_PATH_NOT_FOUND;
        if (errno == EACCES || errno == EPERM) return ERROR_ACCESS_DENIED;
        return ERROR_READ_FAULT;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return ERROR_ACCESS_DENIED;
    }
    // Only the base block and the bins it announces are read: stale data after them
    // (common in SAM and SECURITY files) never reaches memory.
    size_t want = (size_t)st.st_size;
    uint8_t header[kBaseSize];
    if (want >= kBaseSize && pread(fd, header, kBaseSize, 0) == (ssize_t)kBaseSize) {
        uint32_t binsSize = Le32(header + offsetof(BaseBlock, binsSize));
        want = std::min(want, (size_t)kBaseSize + binsSize);
    }
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[want ? want : 1]);  // not zero-filled: read over at once
    size_t done = 0;
    while (done < want) {
        ssize_t n = pread(fd, bytes.get() + done, want - done, (off_t)done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // a file that shrank reads as truncated
        done += (size_t)n;
    }
    close(fd);
    return RegfRead(bytes.get(), done, hive);
}

// ---- Writing ----

namespace regf {

// Latin-1 when every unit fits a byte (NT's compressed names), else UTF-16LE.
void EncodeName(const std::string& name, EncodedName* out) {
    out->units.clear();
    if (IsAsciiText(name)) {
        // Nearly every name: the UTF-8 bytes are the compressed form already.
        out->units.assign((const unsigned char*)name.data(), (const unsigned char*)name.data() + name.size());
        out->bytes.assign(name.begin(), name.end());
        out->compressed = true;
        out->utf16Bytes = (uint32_t)std::min<size_t>(name.size() * 2, 0xFFFFFFFF);
        return;
    }
    out->units = Utf8ToUtf16(name);
    out->utf16Bytes = (uint32_t)std::min<size_t>(out->units.size() * 2, 0xFFFFFFFF);
    out->compressed = std::all_of(out->units.begin(), out->units.end(), [](uint16_t u) { return u <= 0xFF; });
    if (out->compressed) {
        out->bytes.assign(out->units.begin(), out->units.end());
    } else {
        out->bytes.resize(out->units.size() * 2);
        if (!out->units.empty()) memcpy(out->bytes.data(), out->units.data(), out->units.size() * 2);
    }
}

uint32_t Writer::Security(const SharedDescriptor& sd) {
    if (!sd) return kNone;
    // Keys holding the same descriptor share one sk cell, as NT shares them.
    auto byPointer = skByPointer.find(sd.get());
    uint32_t index;
    if (byPointer != skByPointer.end()) {
        index = byPointer->second;
    } else {
        std::string_view content((const char*)sd->data(), sd->size());
        auto byContent = skByContent.find(content);
        if (byContent != skByContent.end()) {
            index = byContent->second;
        } else {
            uint32_t cell = Alloc(sizeof(SecurityNode) + sd->size());
            SecurityNode sk{};
            memcpy(sk.signature, "sk", 2);
            sk.size = (uint32_t)sd->size();
            memcpy(At(cell) + 4, &sk, sizeof sk);
            if (!sd->empty()) memcpy(At(cell) + 4 + sizeof sk, sd->data(), sd->size());
            index = (uint32_t)sks.size();
            sks.push_back({cell, 0});
            skByContent.emplace(content, index);  // the view stays valid: the hive owns the bytes
        }
        skByPointer.emplace(sd.get(), index);
    }
    ++sks[index].refs;
    return sks[index].offset;
}

uint32_t Writer::WriteData(const std::vector<uint8_t>& data, uint32_t* sizeField, uint32_t* cellField) {
    size_t n = data.size();
    if (n > 0x7FFFFFFF) return ERROR_INVALID_PARAMETER;
    if (n <= 4) {
        // Small data lives in the offset field; empty data too (hivex wants no cell there).
        *sizeField = 0x80000000 | (uint32_t)n;
        *cellField = 0;
        if (n) memcpy(cellField, data.data(), n);
        return ERROR_SUCCESS;
    }
    *sizeField = (uint32_t)n;
    if (minor < 4 || n <= kSegment) {
        *cellField = AllocBytes(data.data(), n);
        return ERROR_SUCCESS;
    }
    uint32_t segments = (uint32_t)((n + kSegment - 1) / kSegment);
    if (segments > 0xFFFF) return ERROR_INVALID_PARAMETER;
    uint32_t db = Alloc(sizeof(BigData));
    uint32_t list = Alloc(4 * (size_t)segments);
    for (uint32_t i = 0; i < segments; ++i) {
        size_t part = std::min<size_t>(kSegment, n - (size_t)i * kSegment);
        // Every segment cell holds 4 bytes more than its part: hivex reads a cell's
        // size less 8, and NT sizes full segments the same way (16352-byte cells).
        uint32_t seg = Alloc(part + 4);
        memcpy(At(seg) + 4, data.data() + (size_t)i * kSegment, part);
        memcpy(At(list) + 4 + 4 * i, &seg, 4);
    }
    BigData record{};
    memcpy(record.signature, "db", 2);
    record.segments = (uint16_t)segments;
    record.segmentList = list;
    memcpy(At(db) + 4, &record, sizeof record);
    *cellField = db;
    return ERROR_SUCCESS;
}

uint32_t Writer::WriteValues(const HiveKey& key, uint32_t* maxName, uint32_t* maxData, uint32_t* listCell) {
    *maxName = *maxData = 0;
    *listCell = kNone;
    if (key.values.empty()) return ERROR_SUCCESS;
    if (key.values.size() > 0x3FFFFFFF) return ERROR_INVALID_PARAMETER;
    uint32_t list = Alloc(4 * key.values.size());
    for (size_t i = 0; i < key.values.size(); ++i) {
        const HiveValue& value = key.values[i];
        uint32_t vkCell;
        if (uint32_t err = WriteValue(value, &vkCell)) return err;
        *maxName = std::max(*maxName, nameScratch.utf16Bytes);
        *maxData = std::max(*maxData, (uint32_t)std::min<size_t>(value.data.size(), 0xFFFFFFFF));
        memcpy(At(list) + 4 + 4 * i, &vkCell, 4);
    }
    *listCell = list;
    return ERROR_SUCCESS;
}

uint32_t Writer::WriteValue(const HiveValue& value, uint32_t* vkCell) {
    EncodeName(value.name, &nameScratch);
    if (nameScratch.bytes.size() > 0xFFFF) return ERROR_INVALID_PARAMETER;
    *vkCell = Alloc(sizeof(ValueNode) + nameScratch.bytes.size());
    ValueNode vk{};
    memcpy(vk.signature, "vk", 2);
    vk.nameLen = (uint16_t)nameScratch.bytes.size();
    vk.type = value.type;
    vk.flags = nameScratch.compressed ? 1 : 0;
    if (!nameScratch.bytes.empty()) memcpy(At(*vkCell) + 4 + sizeof vk, nameScratch.bytes.data(), nameScratch.bytes.size());
    if (uint32_t err = WriteData(value.data, &vk.dataSize, &vk.dataCell)) return err;
    memcpy(At(*vkCell) + 4, &vk, sizeof vk);
    return ERROR_SUCCESS;
}

// lf in 1.3 (NT 4.0 and 2000 cannot read lh), lh from 1.5; an ri over leaves when long.
uint32_t Writer::WriteSubkeyList(const std::vector<ChildEntry>& children) {
    size_t n = children.size();
    size_t leaves = (n + kLeafMax - 1) / kLeafMax;
    uint32_t ri = kNone;
    if (leaves > 1) {
        if (leaves > 0xFFFF) return kNone;
        ri = Alloc(4 + 4 * leaves);
        uint8_t* p = At(ri) + 4;
        memcpy(p, "ri", 2);
        uint16_t count = (uint16_t)leaves;
        memcpy(p + 2, &count, 2);
    }
    uint32_t first = kNone;
    for (size_t leaf = 0; leaf < leaves; ++leaf) {
        size_t begin = leaf * kLeafMax, end = std::min(n, begin + kLeafMax);
        uint32_t cell = Alloc(4 + 8 * (end - begin));
        uint8_t* p = At(cell) + 4;
        memcpy(p, minor >= 5 ? "lh" : "lf", 2);
        uint16_t count = (uint16_t)(end - begin);
        memcpy(p + 2, &count, 2);
        for (size_t i = begin; i < end; ++i) {
            uint8_t* entry = p + 4 + 8 * (i - begin);
            memcpy(entry, &children[i].cell, 4);
            memcpy(entry + 4, &children[i].hint, 4);
        }
        if (ri != kNone) memcpy(At(ri) + 8 + 4 * leaf, &cell, 4);
        if (leaf == 0) first = cell;
    }
    return ri != kNone ? ri : first;
}

uint32_t Writer::AllocKey(const HiveKey& key, const std::string& name, uint32_t parent, uint16_t extraFlags, uint32_t* cell) {
    EncodeName(name, &nameScratch);
    if (nameScratch.bytes.size() > 0xFFFF || key.className.size() > 0xFFFF) return ERROR_INVALID_PARAMETER;
    *cell = Alloc(sizeof(KeyNode) + nameScratch.bytes.size());
    KeyNode nk{};
    memcpy(nk.signature, "nk", 2);
    nk.flags = (uint16_t)((key.flags & kKeptFlags) | extraFlags | (nameScratch.compressed ? kFlagCompName : 0));
    nk.lastWrite = key.lastWrite;
    nk.parent = parent;
    nk.subkeyList = nk.volatileList = nk.valueList = nk.classCell = kNone;
    nk.nameLen = (uint16_t)nameScratch.bytes.size();
    memcpy(At(*cell) + 4, &nk, sizeof nk);
    if (!nameScratch.bytes.empty()) memcpy(At(*cell) + 4 + sizeof nk, nameScratch.bytes.data(), nameScratch.bytes.size());
    return ERROR_SUCCESS;
}

// What the parent's leaf records for the name just encoded by AllocKey.
uint32_t Writer::LeafHint() const {
    uint32_t hint = 0;
    if (minor >= 5) {
        for (uint16_t u : nameScratch.units)
            hint = hint * 37 + (u < 0x80 ? (u >= 'a' && u <= 'z' ? u - 32 : u) : HiveUpcase(u));
    } else {
        // The first four characters as stored, zero for one that does not fit a byte.
        for (size_t k = 0; k < 4 && k < nameScratch.units.size(); ++k)
            if (nameScratch.units[k] <= 0xFF) hint |= (uint32_t)nameScratch.units[k] << (8 * k);
    }
    return hint;
}

uint32_t Writer::AsciiLeafHint(const std::string& name) const {
    uint32_t hint = 0;
    if (minor >= 5) {
        for (unsigned char c : name) hint = hint * 37 + (c >= 'a' && c <= 'z' ? c - 32 : c);
    } else {
        for (size_t k = 0; k < 4 && k < name.size(); ++k) hint |= (uint32_t)(unsigned char)name[k] << (8 * k);
    }
    return hint;
}

// An upper bound of the bytes a key's own cells and its children's nk cells and lists
// take, so the writer can stop before an offset or a cell size would overflow.
static size_t KeyFootprint(const HiveKey& key) {
    size_t bytes = 2 * kBinUnit + key.className.size() + 8;
    if (key.security) bytes += key.security->size() + 32;
    bytes += 4 * key.values.size() + 8;
    for (const HiveValue& v : key.values) bytes += 40 + 2 * v.name.size() + v.data.size() + v.data.size() / kSegment * 16 + 48;
    for (const auto& sub : key.subkeys) bytes += 100 + 2 * sub->name.size() + 16;
    return bytes;
}

// Sizes the output once so the buffer is not copied while it grows.
static size_t EstimateSize(const HiveKey& root, uint64_t* newest) {
    size_t total = kBaseSize + kBinUnit;
    std::vector<const HiveKey*> stack{&root};
    while (!stack.empty()) {
        const HiveKey* key = stack.back();
        stack.pop_back();
        *newest = std::max(*newest, key->lastWrite);
        total += 96 + key->name.size() * 2 + key->className.size() + 8 * key->subkeys.size() + 4 * key->values.size();
        for (const HiveValue& v : key->values) total += 32 + v.name.size() * 2 + (v.data.size() > 4 ? v.data.size() + 16 : 0);
        for (const auto& sub : key->subkeys)
            if (!sub->isVolatile) stack.push_back(sub.get());
    }
    return total + total / 16;
}

}  // namespace regf

uint32_t RegfWrite(const Hive& hive, std::vector<uint8_t>* out) {
    if (!hive.root) return ERROR_INVALID_PARAMETER;
    return RegfWriteTree(*hive.root, hive.rootName.empty() ? hive.root->name : hive.rootName, hive.minorVersion, out,
                         hive.fileName.data());
}

uint32_t RegfWriteTree(const HiveKey& root, const std::string& rootName, uint32_t minorVersion, std::vector<uint8_t>* out,
                       const uint16_t* fileName, HiveLayout* layout) {
    if (minorVersion < 3 || minorVersion > 6) return ERROR_INVALID_PARAMETER;
    uint64_t newest = 0;
    out->clear();
    out->reserve(EstimateSize(root, &newest));
    out->resize(kBaseSize);

    Writer w;
    w.out = out;
    w.minor = minorVersion;
    w.stamp = newest;  // the time of the last change: a hive written twice is byte-identical
    if (layout) {
        layout->pages.reset();
        layout->freeCells.clear();
        layout->skCells.clear();
        w.freeCells = &layout->freeCells;
    }

    uint32_t rootCell;
    if (uint32_t err = w.AllocKey(root, rootName, kNone, kFlagHiveEntry, &rootCell)) return err;
    if (layout) root.cell = rootCell;

    // Each key's own cells, then its children's nk cells and the list naming them;
    // the children's contents follow as they come off the stack.
    std::vector<std::pair<uint32_t, const HiveKey*>> stack{{rootCell, &root}};
    std::vector<ChildEntry> children;
    std::vector<const HiveKey*> live;
    while (!stack.empty()) {
        auto [cell, key] = stack.back();
        stack.pop_back();
        if (layout) key->dirty = 0;
        if (out->size() + KeyFootprint(*key) > kMaxImage) return ERROR_NOT_ENOUGH_MEMORY;
        KeyNode nk;
        memcpy(&nk, w.At(cell) + 4, sizeof nk);
        nk.security = w.Security(key->security);
        if (!key->className.empty()) {
            nk.classCell = w.AllocBytes(key->className.data(), key->className.size());
            nk.classLen = (uint16_t)key->className.size();
        }
        nk.valueCount = (uint32_t)key->values.size();
        if (uint32_t err = w.WriteValues(*key, &nk.maxValueNameLen, &nk.maxValueDataLen, &nk.valueList)) return err;
        live.clear();
        bool sorted = true;
        for (const auto& sub : key->subkeys) {
            if (sub->isVolatile) continue;  // volatile keys (and all below them) live in memory only
            if (!live.empty() && HiveNameCompare(live.back()->name, sub->name) >= 0) sorted = false;
            live.push_back(sub.get());
        }
        if (!sorted) {
            // NT finds subkeys by binary search: the lists must be in its order, once each.
            std::stable_sort(live.begin(), live.end(),
                             [](const HiveKey* a, const HiveKey* b) { return HiveNameCompare(a->name, b->name) < 0; });
            for (size_t i = 1; i < live.size(); ++i)
                if (HiveNameCompare(live[i - 1]->name, live[i]->name) == 0) return ERROR_INVALID_PARAMETER;
        }
        children.clear();
        for (const HiveKey* sub : live) {
            uint32_t childCell;
            if (uint32_t err = w.AllocKey(*sub, sub->name, cell, 0, &childCell)) return err;
            if (layout) sub->cell = childCell;
            nk.maxNameLen = std::max(nk.maxNameLen, w.nameScratch.utf16Bytes);
            nk.maxClassLen = std::max(nk.maxClassLen, (uint32_t)sub->className.size());
            children.push_back({childCell, w.LeafHint()});
        }
        nk.subkeyCount = (uint32_t)children.size();
        if (!children.empty()) {
            nk.subkeyList = w.WriteSubkeyList(children);
            if (nk.subkeyList == kNone) return ERROR_INVALID_PARAMETER;
        }
        memcpy(w.At(cell) + 4, &nk, sizeof nk);
        for (size_t i = live.size(); i-- > 0;) stack.push_back({children[i].cell, live[i]});
    }
    w.CloseBin();

    // Reference counts and the circular list of sk cells, now that all are known.
    for (size_t i = 0; i < w.sks.size(); ++i) {
        SecurityNode sk;
        memcpy(&sk, w.At(w.sks[i].offset) + 4, sizeof sk);
        sk.flink = w.sks[(i + 1) % w.sks.size()].offset;
        sk.blink = w.sks[(i + w.sks.size() - 1) % w.sks.size()].offset;
        sk.refCount = w.sks[i].refs;
        memcpy(w.At(w.sks[i].offset) + 4, &sk, sizeof sk);
    }

    BaseBlock base{};
    memcpy(base.signature, "regf", 4);
    base.primarySeq = base.secondarySeq = layout ? layout->sequence : 1;
    base.lastWrite = newest;
    base.major = 1;
    base.minor = minorVersion;
    base.type = 0;
    base.format = 1;
    base.rootCell = rootCell;
    base.binsSize = (uint32_t)(out->size() - kBaseSize);
    base.clustering = 1;
    if (fileName) memcpy(base.fileName, fileName, sizeof base.fileName);
    memcpy(out->data(), &base, sizeof base);
    SealBaseBlock(out->data());
    if (layout) {
        layout->binsSize = base.binsSize;
        for (const auto& [content, index] : w.skByContent) layout->skCells.emplace(std::string(content), w.sks[index].offset);
        layout->known = true;
    }
    return ERROR_SUCCESS;
}

void RegfSetFileName(Hive* hive, const std::string& path) {
    hive->fileName.fill(0);
    std::vector<uint16_t> units = Utf8ToUtf16(path);
    size_t keep = units.size() < 31 ? units.size() : 31;
    for (size_t i = 0; i < keep; ++i) hive->fileName[i] = units[units.size() - keep + i];
}

uint32_t RegfSaveFile(const Hive& hive, const std::string& hostPath) {
    if (!hive.root) return ERROR_INVALID_PARAMETER;
    return RegfSaveTree(*hive.root, hive.rootName.empty() ? hive.root->name : hive.rootName, hive.minorVersion, hostPath,
                        hive.fileName.data());
}

uint32_t RegfFileSequence(const std::string& hostPath) {
    uint32_t seq[2] = {0, 0};
    int fd = open(hostPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    if (pread(fd, seq, sizeof seq, 4) != (ssize_t)sizeof seq) seq[0] = seq[1] = 0;
    close(fd);
    return std::max(seq[0], seq[1]);
}

namespace {

uint32_t CreateError() {
    if (errno == ENOENT) return ERROR_PATH_NOT_FOUND;
    if (errno == EEXIST) return ERROR_ALREADY_EXISTS;
    if (errno == EACCES || errno == EPERM || errno == EROFS) return ERROR_ACCESS_DENIED;
    if (errno == ENOSPC) return ERROR_DISK_FULL;
    return ERROR_WRITE_FAULT;
}

// Writes a whole image to a new file (synced on the host when host syncs are on).
// A hive is written in pieces of a few pages: the host's page cache then keeps its pages in
// small blocks, and the in-place flushes that follow, each a few small writes, cost no more
// than their own bytes. (Written in one call, ext4 keeps the file in blocks of up to 2 MiB
// and walks every block of one at each small write into it.)
const size_t kWriteChunk = 16 * 1024;

uint32_t WriteImage(int fd, const std::vector<uint8_t>& image, const std::string& hostPath) {
    uint32_t err = ERROR_SUCCESS, injected;
    size_t done = 0;
    if (FaultHit("RegfSaveFile:write", hostPath, &injected)) err = injected;
    while (!err && done < image.size()) {
        ssize_t n = write(fd, image.data() + done, std::min(image.size() - done, kWriteChunk));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) err = (n < 0 && errno == ENOSPC) ? ERROR_DISK_FULL : ERROR_WRITE_FAULT;
        else done += (size_t)n;
    }
    if (!err && FaultHit("RegfSaveFile:fsync", hostPath, &injected)) err = injected;
    if (!err && HostSync(fd) != 0) err = ERROR_WRITE_FAULT;
    return err;
}

}  // namespace

uint32_t RegfCreateFile(const HiveKey& root, const std::string& rootName, uint32_t minorVersion, const std::string& hostPath) {
    std::vector<uint8_t> image;
    if (uint32_t err = RegfWriteTree(root, rootName, minorVersion, &image)) return err;
    uint32_t injected;
    if (FaultHit("RegfSaveFile:create", hostPath, &injected)) return injected;
    // Nothing to replace, so no temporary copy: the file is made here or not at all (a
    // host sync of a new file commits its directory entry with it).
    int fd = open(hostPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return CreateError();
    uint32_t err = WriteImage(fd, image, hostPath);
    if (close(fd) != 0 && !err) err = ERROR_WRITE_FAULT;
    if (err) unlink(hostPath.c_str());
    return err;
}

uint32_t RegfSaveTree(const HiveKey& root, const std::string& rootName, uint32_t minorVersion, const std::string& hostPath,
                      const uint16_t* fileName, HiveLayout* layout) {
    std::vector<uint8_t> image;
    if (layout) {
        // The sequence numbers keep growing across whole writes too, so that a file written
        // by another process is never taken for the one this layout describes.
        layout->known = false;
        layout->sequence = std::max(layout->sequence, RegfFileSequence(hostPath)) + 1;
    }
    uint32_t err = RegfWriteTree(root, rootName, minorVersion, &image, fileName, layout);
    if (layout) layout->known = false;  // until the file is in place
    if (err) return err;
    uint32_t injected;
    std::string temp = hostPath + ".tmp";
    int fd = -1;
    if (FaultHit("RegfSaveFile:create", hostPath, &injected)) return injected;
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return CreateError();
    err = WriteImage(fd, image, hostPath);
    if (close(fd) != 0 && !err) err = ERROR_WRITE_FAULT;
    if (!err && FaultHit("RegfSaveFile:rename", hostPath, &injected)) err = injected;
    if (!err && rename(temp.c_str(), hostPath.c_str()) != 0) err = (errno == EACCES || errno == EPERM) ? ERROR_ACCESS_DENIED : ERROR_WRITE_FAULT;
    if (err) {
        // The old file stays as it was; only the partial copy goes.
        unlink(temp.c_str());
        return err;
    }
    // On the host's disk the rename itself holds only once the directory is synced.
    if (HostSyncOn()) {
        size_t slash = hostPath.find_last_of('/');
        std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : hostPath.substr(0, slash));
        int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd >= 0) {
            HostSync(dfd);
            close(dfd);
        }
    }
    if (layout) layout->known = true;
    return ERROR_SUCCESS;
}

}  // namespace ntsim
