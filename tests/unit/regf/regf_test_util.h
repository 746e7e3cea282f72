// Shared pieces of the hive file tests: building trees, comparing them, looking
// inside written images, and asking hivex (an independent reader) what it sees.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "nt/linux/base.h"
#include "ntsim/registry/hive.h"
#include "ntsim/registry/regf.h"

namespace regftest {

using ntsim::Hive;
using ntsim::HiveKey;
using ntsim::HiveValue;

inline std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// UTF-16LE bytes of a UTF-8 text, with the terminating zero as REG_SZ stores it.
inline std::vector<uint8_t> Wide(const std::string& s, bool terminate = true) {
    std::vector<uint16_t> units = ntsim::Utf8ToUtf16(s);
    if (terminate) units.push_back(0);
    std::vector<uint8_t> out(units.size() * 2);
    if (!units.empty()) memcpy(out.data(), units.data(), out.size());
    return out;
}

inline std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> out(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = (uint8_t)(x >> 16);
    }
    return out;
}

inline ntsim::SharedDescriptor Descriptor(uint8_t tag, size_t size = 48) {
    std::vector<uint8_t> sd(size, tag);
    if (size >= 2) {
        sd[0] = 1;  // revision
        sd[1] = 0;
    }
    return std::make_shared<const std::vector<uint8_t>>(std::move(sd));
}

inline Hive NewHive(uint32_t minor, const std::string& rootName = "ROOT") {
    Hive hive;
    hive.minorVersion = minor;
    hive.rootName = rootName;
    hive.root = std::make_unique<HiveKey>();
    hive.root->name = rootName;
    hive.root->lastWrite = 0x01D0000000000000ULL;
    hive.root->flags = ntsim::kKeyNoDelete;
    hive.root->security = Descriptor(0x11);
    return hive;
}

inline HiveKey* Add(HiveKey* parent, const std::string& name, uint64_t time = 0x01D1000000000000ULL) {
    HiveKey* k = parent->AddSubkey(name);
    k->lastWrite = time;
    k->security = parent->security;
    return k;
}

inline void SetValue(HiveKey* key, const std::string& name, uint32_t type, std::vector<uint8_t> data) {
    key->values.push_back(HiveValue{name, type, std::move(data)});
}

// Describes the first difference between two trees, or returns "".
inline std::string TreeDiff(const HiveKey& a, const HiveKey& b, const std::string& path = "") {
    std::string here = path + "\\" + a.name;
    if (a.name != b.name) return here + ": name differs from " + b.name;
    if (a.className != b.className) return here + ": class differs";
    if (a.lastWrite != b.lastWrite) return here + ": last-write time differs";
    if (a.flags != b.flags) return here + ": flags " + std::to_string(a.flags) + " vs " + std::to_string(b.flags);
    if ((a.security == nullptr) != (b.security == nullptr) || (a.security && *a.security != *b.security))
        return here + ": security differs";
    if (a.values.size() != b.values.size())
        return here + ": " + std::to_string(a.values.size()) + " values vs " + std::to_string(b.values.size());
    for (size_t i = 0; i < a.values.size(); ++i) {
        const HiveValue &va = a.values[i], &vb = b.values[i];
        if (va.name != vb.name || va.type != vb.type || va.data != vb.data)
            return here + ": value '" + va.name + "' differs (size " + std::to_string(va.data.size()) + " vs " +
                   std::to_string(vb.data.size()) + ")";
    }
    std::vector<const HiveKey*> sa, sb;
    for (auto& s : a.subkeys)
        if (!s->isVolatile) sa.push_back(s.get());
    for (auto& s : b.subkeys)
        if (!s->isVolatile) sb.push_back(s.get());
    if (sa.size() != sb.size()) return here + ": " + std::to_string(sa.size()) + " subkeys vs " + std::to_string(sb.size());
    for (size_t i = 0; i < sa.size(); ++i) {
        if (sa[i]->parent != &a || sb[i]->parent != &b) return here + ": parent link broken";
        std::string d = TreeDiff(*sa[i], *sb[i], here);
        if (!d.empty()) return d;
    }
    return "";
}

inline Hive RoundTrip(const Hive& hive, std::vector<uint8_t>* image = nullptr) {
    std::vector<uint8_t> local;
    std::vector<uint8_t>& bytes = image ? *image : local;
    EXPECT_EQ(ntsim::RegfWrite(hive, &bytes), (uint32_t)ERROR_SUCCESS);
    Hive back;
    EXPECT_EQ(ntsim::RegfRead(bytes.data(), bytes.size(), &back), (uint32_t)ERROR_SUCCESS);
    return back;
}

inline uint32_t U32(const std::vector<uint8_t>& img, size_t off) {
    uint32_t v = 0;
    if (off + 4 <= img.size()) memcpy(&v, img.data() + off, 4);
    return v;
}
inline uint16_t U16(const std::vector<uint8_t>& img, size_t off) {
    uint16_t v = 0;
    if (off + 2 <= img.size()) memcpy(&v, img.data() + off, 2);
    return v;
}
inline void Put32(std::vector<uint8_t>& img, size_t off, uint32_t v) { memcpy(img.data() + off, &v, 4); }

// Recomputes the base block checksum after a test edits the header.
inline void FixChecksum(std::vector<uint8_t>& img) {
    uint32_t x = 0;
    for (size_t i = 0; i < 508; i += 4) x ^= U32(img, i);
    Put32(img, 508, x);
}

struct Cell {
    uint32_t offset;  // relative to the first bin
    uint32_t size;    // whole cell
    bool allocated;
    std::string sig;  // first two payload bytes
};

// Every cell of an image, in file order (assumes a well-formed image).
inline std::vector<Cell> Cells(const std::vector<uint8_t>& img) {
    std::vector<Cell> cells;
    uint32_t bins = U32(img, 40), pos = 0;
    while (pos < bins) {
        uint32_t size = U32(img, 4096 + pos + 8);
        if (size == 0) break;
        uint32_t c = pos + 32;
        while (c < pos + size) {
            int32_t s = (int32_t)U32(img, 4096 + c);
            uint32_t mag = s < 0 ? -s : s;
            if (mag == 0) return cells;
            cells.push_back({c, mag, s < 0, std::string((const char*)img.data() + 4096 + c + 4, 2)});
            c += mag;
        }
        pos += size;
    }
    return cells;
}

// The payload position (file offset) of the nk cell with this compressed name, or 0.
inline uint32_t FindKeyCell(const std::vector<uint8_t>& img, const std::string& name) {
    for (const Cell& c : Cells(img)) {
        if (!c.allocated || c.sig != "nk") continue;
        size_t p = 4096 + c.offset + 4;
        uint16_t len = U16(img, p + 72);
        if (len == name.size() && memcmp(img.data() + p + 76, name.data(), len) == 0) return (uint32_t)p;
    }
    return 0;
}

inline std::map<std::string, int> SignatureCounts(const std::vector<uint8_t>& img) {
    std::map<std::string, int> counts;
    for (const Cell& c : Cells(img))
        if (c.allocated) ++counts[c.sig];
    return counts;
}

// ---- hivex as an independent reader and writer ----

inline bool HivexAvailable() {
    return system("/usr/bin/python3 -c 'import hivex' >/dev/null 2>&1") == 0 && access("/usr/bin/hivexml", X_OK) == 0;
}

inline std::string TempDir() {
    char tmpl[] = "/tmp/regf_test_XXXXXX";
    const char* d = mkdtemp(tmpl);
    return d ? d : "/tmp";
}

inline bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write((const char*)bytes.data(), (std::streamsize)bytes.size());
    return (bool)f;
}

inline std::string ReadText(const std::string& path) {
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline std::string Hex(const std::vector<uint8_t>& data) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    out.reserve(data.size() * 2);
    for (uint8_t b : data) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// One line per key ("K path count-of-values") and per value ("V name type hex"),
// depth first in list order: the form both our tree and hivex's walk are put in.
inline void DumpKey(const HiveKey& key, const std::string& path, std::string* out) {
    size_t live = 0;
    for (auto& s : key.subkeys) live += !s->isVolatile;
    *out += "K " + path + " " + std::to_string(key.values.size()) + " " + std::to_string(live) + "\n";
    for (const HiveValue& v : key.values) *out += "V " + v.name + " " + std::to_string(v.type) + " " + Hex(v.data) + "\n";
    for (auto& s : key.subkeys)
        if (!s->isVolatile) DumpKey(*s, path + "\\" + s->name, out);
}

inline std::string Dump(const Hive& hive) {
    std::string out;
    DumpKey(*hive.root, "", &out);
    return out;
}

const char kHivexWalk[] = R"PY(
import sys, hivex
h = hivex.Hivex(sys.argv[1])
out = open(sys.argv[2], 'w', encoding='utf-8')
def walk(node, path):
    vals = h.node_values(node)
    kids = h.node_children(node)
    out.write('K %s %d %d\n' % (path, len(vals), len(kids)))
    for v in vals:
        t, data = h.value_value(v)
        out.write('V %s %d %s\n' % (h.value_key(v), t, data.hex()))
    for k in kids:
        walk(k, path + '\\' + h.node_name(k))
sys.setrecursionlimit(10000)
walk(h.root(), '')
)PY";

// hivex's view of a hive file in Dump's form; "" with *error set when hivex fails.
inline std::string HivexDump(const std::string& file, std::string* error) {
    std::string dir = TempDir();
    std::string script = dir + "/walk.py", out = dir + "/walk.txt", err = dir + "/walk.err";
    std::ofstream(script) << kHivexWalk;
    std::string cmd = "/usr/bin/python3 " + script + " '" + file + "' " + out + " 2>" + err;
    int rc = system(cmd.c_str());
    std::string text = rc == 0 ? ReadText(out) : "";
    if (rc != 0) *error = "hivex failed: " + ReadText(err);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return text;
}

// Runs a python3 hivex script with the hive path as argv[1] and the output path as argv[2].
inline bool HivexRun(const std::string& script, const std::string& in, const std::string& outPath, std::string* error) {
    std::string dir = TempDir();
    std::string file = dir + "/edit.py", err = dir + "/edit.err";
    std::ofstream(file) << "import sys, hivex\n" << script;
    std::string cmd = "/usr/bin/python3 " + file + " '" + in + "' '" + outPath + "' 2>" + err;
    bool ok = system(cmd.c_str()) == 0;
    if (!ok) *error = ReadText(err);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return ok;
}

// Removes a test's temporary folder.
inline void RemoveDir(const std::string& dir) {
    std::error_code ec;
    if (dir.rfind("/tmp/regf_test_", 0) == 0) std::filesystem::remove_all(dir, ec);
}

}  // namespace regftest
