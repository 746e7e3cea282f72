// Fuzz target for the hive reader: any input either fails with an error code or
// reads into a tree that the writer writes and the reader reads back unchanged.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ntsim/registry/hive.h"
#include "ntsim/registry/regf.h"

namespace {

void Fail(const char* what) {
    fprintf(stderr, "regf round trip: %s\n", what);
    abort();
}

bool SameKey(const ntsim::HiveKey& a, const ntsim::HiveKey& b) {
    if (a.name != b.name || a.className != b.className || a.lastWrite != b.lastWrite || a.flags != b.flags) return false;
    if ((a.security == nullptr) != (b.security == nullptr) || (a.security && *a.security != *b.security)) return false;
    if (a.values.size() != b.values.size() || a.subkeys.size() != b.subkeys.size()) return false;
    for (size_t i = 0; i < a.values.size(); ++i)
        if (a.values[i].name != b.values[i].name || a.values[i].type != b.values[i].type || a.values[i].data != b.values[i].data)
            return false;
    return true;
}

// Compares two trees without recursion (the reader allows 512 levels).
void CompareTrees(const ntsim::HiveKey& a, const ntsim::HiveKey& b) {
    std::vector<std::pair<const ntsim::HiveKey*, const ntsim::HiveKey*>> stack{{&a, &b}};
    while (!stack.empty()) {
        auto [x, y] = stack.back();
        stack.pop_back();
        if (!SameKey(*x, *y)) Fail("a key differs after writing and reading back");
        for (size_t i = 0; i < x->subkeys.size(); ++i) {
            if (x->subkeys[i]->parent != x || y->subkeys[i]->parent != y) Fail("broken parent link");
            if (i > 0 && ntsim::HiveNameCompare(x->subkeys[i - 1]->name, x->subkeys[i]->name) >= 0) Fail("subkeys out of order");
            stack.push_back({x->subkeys[i].get(), y->subkeys[i].get()});
        }
    }
}

// Reads one image; when it is a hive, writes it, reads that back and compares.
void CheckImage(const uint8_t* data, size_t size) {
    ntsim::Hive first;
    uint32_t err = ntsim::RegfRead(data, size, &first);
    if (err != 0) {
        if (err != 1009 && err != 1017) Fail("unexpected error code");
        return;
    }
    std::vector<uint8_t> image;
    if (ntsim::RegfWrite(first, &image) != 0) Fail("a hive that was read cannot be written");
    ntsim::Hive second;
    if (ntsim::RegfRead(image.data(), image.size(), &second) != 0) Fail("a written hive does not read back");
    if (first.rootName != second.rootName || first.minorVersion != second.minorVersion) Fail("header differs");
    CompareTrees(*first.root, *second.root);
    std::vector<uint8_t> again;
    if (ntsim::RegfWrite(second, &again) != 0 || again != image) Fail("writing the same tree twice differs");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CheckImage(data, size);
    // Again with the header checksum made valid, so that changes to the header fields
    // reach the rest of the reader instead of stopping at the checksum.
    if (size >= 512) {
        std::vector<uint8_t> copy(data, data + size);
        uint32_t x = 0;
        for (size_t i = 0; i < 508; i += 4) {
            uint32_t d;
            memcpy(&d, copy.data() + i, 4);
            x ^= d;
        }
        uint32_t stored;
        memcpy(&stored, copy.data() + 508, 4);
        if (stored != x) {
            memcpy(copy.data() + 508, &x, 4);
            CheckImage(copy.data(), copy.size());
        }
    }
    return 0;
}
