// The in-memory hive tree: sorted subkeys, value lookup, copies and name order.
#include "ntsim/registry/hive.h"

#include <algorithm>
#include <chrono>

namespace ntsim {

uint16_t HiveUpcase(uint16_t c) {
    // NT upcases per UTF-16 unit with its own table; these are its letter ranges that
    // hive names use (Latin, Greek, Cyrillic, full-width). Sharp s and final sigma stay.
    if (c < 0x80) return (c >= 'a' && c <= 'z') ? (uint16_t)(c - 32) : c;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return (uint16_t)(c - 32);
    if (c == 0xFF) return 0x178;
    if (c >= 0x100 && c <= 0x17F) {
        // Latin Extended-A: upper/lower pairs, the lower one odd in 0x100-0x137 and
        // 0x14A-0x177, even in 0x139-0x148 and 0x179-0x17E.
        bool odd = (c & 1) != 0;
        if (c <= 0x137) return (odd && c != 0x131) ? (uint16_t)(c - 1) : c;
        if (c >= 0x139 && c <= 0x148) return (!odd) ? (uint16_t)(c - 1) : c;
        if (c >= 0x14A && c <= 0x177) return odd ? (uint16_t)(c - 1) : c;
        if (c >= 0x179 && c <= 0x17E) return (!odd) ? (uint16_t)(c - 1) : c;
        return c;
    }
    if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) return (uint16_t)(c - 32);
    if (c >= 0x430 && c <= 0x44F) return (uint16_t)(c - 32);
    if (c >= 0x450 && c <= 0x45F) return (uint16_t)(c - 80);
    if (c >= 0xFF41 && c <= 0xFF5A) return (uint16_t)(c - 32);
    return c;
}

namespace {
// Walks a UTF-8 text as UTF-16 units, without allocating (Utf8ToUtf16 collects them).
struct UnitReader {
    const unsigned char* s;
    size_t n, i = 0;
    uint16_t pendingLow = 0;
    bool Next(uint16_t* unit) {
        if (pendingLow) {
            *unit = pendingLow;
            pendingLow = 0;
            return true;
        }
        if (i >= n) return false;
        uint32_t c = s[i];
        if (c < 0x80) {
            ++i;
            *unit = (uint16_t)c;
            return true;
        }
        size_t len = 1;
        if (c >= 0xF0 && i + 3 <= n - 1) {
            c = ((c & 0x07) << 18) | ((s[i + 1] & 0x3F) << 12) | ((s[i + 2] & 0x3F) << 6) | (s[i + 3] & 0x3F);
            len = 4;
        } else if (c >= 0xE0 && i + 2 <= n - 1) {
            c = ((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F);
            len = 3;
        } else if (c >= 0xC0 && i + 1 <= n - 1) {
            c = ((c & 0x1F) << 6) | (s[i + 1] & 0x3F);
            len = 2;
        }
        i += len;
        if (c >= 0x10000) {
            c -= 0x10000;
            pendingLow = (uint16_t)(0xDC00 + (c & 0x3FF));
            *unit = (uint16_t)(0xD800 + (c >> 10));
        } else {
            *unit = (uint16_t)c;
        }
        return true;
    }
};
}  // namespace

int HiveNameCompare(std::string_view a, std::string_view b) {
    // Most names are ASCII: their common ASCII start is compared byte by byte, and the
    // rest (if any) unit by unit from the first byte that is not ASCII.
    const unsigned char* pa = (const unsigned char*)a.data();
    const unsigned char* pb = (const unsigned char*)b.data();
    size_t common = a.size() < b.size() ? a.size() : b.size(), i = 0;
    for (; i < common; ++i) {
        unsigned char x = pa[i], y = pb[i];
        if ((x | y) & 0x80) break;
        if (x == y) continue;
        if (x >= 'a' && x <= 'z') x = (unsigned char)(x - 32);
        if (y >= 'a' && y <= 'z') y = (unsigned char)(y - 32);
        if (x != y) return x < y ? -1 : 1;
    }
    if (i == common) return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
    UnitReader ra{pa + i, a.size() - i}, rb{pb + i, b.size() - i};
    for (;;) {
        uint16_t ua = 0, ub = 0;
        bool ha = ra.Next(&ua), hb = rb.Next(&ub);
        if (!ha || !hb) return ha == hb ? 0 : (ha ? 1 : -1);
        uint16_t ca = HiveUpcase(ua), cb = HiveUpcase(ub);
        if (ca != cb) return ca < cb ? -1 : 1;
    }
}

HiveKey* HiveKey::FindSubkey(std::string_view n) const {
    uint32_t hint = foundAt.load(std::memory_order_relaxed);
    for (size_t i = hint; i < subkeys.size() && i <= (size_t)hint + 1; ++i)
        if (HiveNameCompare(subkeys[i]->name, n) == 0) {
            foundAt.store((uint32_t)i, std::memory_order_relaxed);
            return subkeys[i].get();
        }
    auto it = std::lower_bound(subkeys.begin(), subkeys.end(), n,
                               [](const std::unique_ptr<HiveKey>& k, std::string_view s) { return HiveNameCompare(k->name, s) < 0; });
    if (it != subkeys.end() && HiveNameCompare((*it)->name, n) == 0) {
        foundAt.store((uint32_t)(it - subkeys.begin()), std::memory_order_relaxed);
        return it->get();
    }
    return nullptr;
}

HiveKey* HiveKey::AddSubkey(const std::string& n) {
    auto it = std::lower_bound(subkeys.begin(), subkeys.end(), n,
                               [](const std::unique_ptr<HiveKey>& k, const std::string& s) { return HiveNameCompare(k->name, s) < 0; });
    auto key = std::make_unique<HiveKey>();
    key->name = n;
    key->parent = this;
    key->lastWrite = FileTimeNow();
    HiveKey* raw = key.get();
    subkeys.insert(it, std::move(key));
    HiveMarkDirty(this, kDirtyRecord);
    return raw;
}

bool HiveKey::RemoveSubkey(HiveKey* child) {
    for (auto it = subkeys.begin(); it != subkeys.end(); ++it)
        if (it->get() == child) {
            subkeys.erase(it);
            HiveMarkDirty(this, kDirtyRecord);
            return true;
        }
    return false;
}

HiveValue* HiveKey::FindValue(const std::string& n) {
    // Names equal but for case are as long in UTF-8: each pair of cases lies in one length class.
    for (auto& v : values)
        if (v.name.size() == n.size() && HiveNameCompare(v.name, n) == 0) return &v;
    return nullptr;
}

const HiveValue* HiveKey::FindValue(const std::string& n) const { return const_cast<HiveKey*>(this)->FindValue(n); }

void HiveMarkDirty(HiveKey* key, uint8_t what) {
    key->dirty |= what;
    // Every key above a marked one carries kDirtyBelow, so the climb stops at the first that has it.
    for (HiveKey* up = key->parent; up && !(up->dirty & kDirtyBelow); up = up->parent) up->dirty |= kDirtyBelow;
}

void HiveForgetCells(HiveKey* key) {
    std::vector<HiveKey*> stack{key};
    while (!stack.empty()) {
        HiveKey* k = stack.back();
        stack.pop_back();
        k->cell = kNoCell;
        k->dirty = 0;
        for (auto& sub : k->subkeys) stack.push_back(sub.get());
    }
}

std::unique_ptr<HiveKey> HiveCopyTree(const HiveKey& key, HiveKey* parent) {
    auto copy = std::make_unique<HiveKey>();
    copy->name = key.name;
    copy->className = key.className;
    copy->lastWrite = key.lastWrite;
    copy->flags = key.flags;
    copy->isVolatile = key.isVolatile;
    copy->security = key.security;
    copy->values = key.values;
    copy->parent = parent;
    copy->subkeys.reserve(key.subkeys.size());
    for (const auto& sub : key.subkeys) copy->subkeys.push_back(HiveCopyTree(*sub, copy.get()));
    return copy;
}

std::string Utf16ToUtf8(const uint16_t* units, size_t count) {
    std::string out;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        uint32_t c = units[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += (char)(0xE0 | (c >> 12));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xF0 | (c >> 18));
            out += (char)(0x80 | ((c >> 12) & 0x3F));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::vector<uint16_t> Utf8ToUtf16(const std::string& text) {
    // The same decoding as name comparison: a stray or truncated sequence passes as one unit.
    std::vector<uint16_t> out;
    out.reserve(text.size());
    UnitReader reader{(const unsigned char*)text.data(), text.size()};
    uint16_t unit;
    while (reader.Next(&unit)) out.push_back(unit);
    return out;
}

void FreeCells::emplace(uint32_t size, uint32_t offset) {
    ++count_;
    if (size % 8 || size / 8 >= kLists) {
        large_.emplace(size, offset);
        return;
    }
    if (lists_.empty()) lists_.resize(kLists);
    lists_[size / 8].push_back(offset);
    nonEmpty_[size / 8 / 64] |= 1ull << (size / 8 % 64);
}

void FreeCells::clear() {
    lists_.clear();
    for (uint64_t& word : nonEmpty_) word = 0;
    large_.clear();
    count_ = 0;
}

bool FreeCells::TakeAtLeast(uint32_t need, uint32_t* have, uint32_t* offset) {
    uint32_t first = (need + 7) / 8;
    for (uint32_t word = first / 64; word < kLists / 64; ++word) {
        uint64_t bits = nonEmpty_[word];
        if (word == first / 64) bits &= ~0ull << (first % 64);
        if (!bits) continue;
        uint32_t list = word * 64 + (uint32_t)__builtin_ctzll(bits);
        std::vector<uint32_t>& cells = lists_[list];
        *have = list * 8;
        *offset = cells.back();
        cells.pop_back();
        if (cells.empty()) nonEmpty_[word] &= ~(1ull << (list % 64));
        --count_;
        return true;
    }
    auto it = large_.lower_bound(need);
    if (it == large_.end()) return false;
    *have = it->first;
    *offset = it->second;
    large_.erase(it);
    --count_;
    return true;
}

size_t Utf16Length(const std::string& text) {
    // Most names are ASCII: one unit a byte, nothing to decode.
    if (IsAsciiText(text)) return text.size();
    size_t n = 0;
    UnitReader reader{(const unsigned char*)text.data(), text.size()};
    uint16_t unit;
    while (reader.Next(&unit)) ++n;
    return n;
}

uint64_t FileTimeNow() {
    using namespace std::chrono;
    // 11644473600 seconds lie between 1601-01-01 and 1970-01-01.
    auto ns = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    return (uint64_t)(ns / 100) + 116444736000000000ULL;
}

}  // namespace ntsim
