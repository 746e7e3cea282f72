// A volume's state for the offline job's tests: every hive key by key, every descriptor
// byte for byte (system.ntfs_acl on an ntfs-3g mount, user.ntsim.sd on a plain folder),
// and the comparison of two states that shows the first differences.
#pragma once
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "ntsim/registry/hive.h"
#include "ntsim/registry/regf.h"
#include "ntsim/security/sd.h"

namespace e2e {

// A volume's state: every hive key by key (below the work directories' reach: hive files
// anywhere but TESSIV folders), every descriptor byte for byte, each hive's key count.
struct VolumeState {
    std::map<std::string, std::vector<std::string>> hives;
    std::map<std::string, std::vector<uint8_t>> descriptors;
    std::map<std::string, size_t> keyCounts;
    std::vector<std::string> paths;
};

inline void DumpVolumeKey(const ntsim::HiveKey& key, const std::string& path, std::vector<std::string>* lines) {
    std::string sd;
    if (key.security) {
        ntsim::SdView view;
        if (ntsim::SdParseRelative(key.security->data(), key.security->size(), &view) == 0)
            for (uint8_t b : ntsim::SdBuild(view)) sd += "0123456789ABCDEF"[b >> 4], sd += "0123456789ABCDEF"[b & 15];
    }
    std::string cls;
    for (uint8_t b : key.className) cls += "0123456789ABCDEF"[b >> 4], cls += "0123456789ABCDEF"[b & 15];
    lines->push_back("key " + path + " class=" + cls + " sd=" + sd);
    for (const ntsim::HiveValue& v : key.values) {
        std::string hex;
        for (uint8_t b : v.data) hex += "0123456789ABCDEF"[b >> 4], hex += "0123456789ABCDEF"[b & 15];
        lines->push_back("value " + path + " : " + v.name + " type=" + std::to_string(v.type) + " " + hex);
    }
    for (const auto& child : key.subkeys) DumpVolumeKey(*child, path + "\\" + child->name, lines);
}

inline size_t CountVolumeKeys(const ntsim::HiveKey& key) {
    size_t n = 1;
    for (const auto& child : key.subkeys) n += CountVolumeKeys(*child);
    return n;
}

inline VolumeState TakeVolume(const std::string& root, bool ntfs) {
    namespace fs = std::filesystem;
    VolumeState s;
    const char* attribute = ntfs ? "system.ntfs_acl" : "user.ntsim.sd";
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        std::string rel = it->path().string().substr(root.size());
        s.paths.push_back(rel);
        std::vector<uint8_t> sd(65536);
        ssize_t n = lgetxattr(it->path().c_str(), attribute, sd.data(), sd.size());
        if (n > 0) sd.resize((size_t)n), s.descriptors[rel] = sd;
        if (!it->is_regular_file()) continue;
        char magic[4] = {};
        FILE* f = fopen(it->path().c_str(), "rb");
        bool hive = f && fread(magic, 1, 4, f) == 4 && memcmp(magic, "regf", 4) == 0;
        if (f) fclose(f);
        if (!hive || rel.find("/TESSIV") != std::string::npos) continue;
        ntsim::Hive h;
        if (ntsim::RegfLoadFile(it->path(), &h) != 0 || !h.root) {
            s.hives[rel] = {"unreadable"};
            continue;
        }
        DumpVolumeKey(*h.root, "", &s.hives[rel]);
        s.keyCounts[rel] = CountVolumeKeys(*h.root);
    }
    std::sort(s.paths.begin(), s.paths.end());
    return s;
}

// Equal hive by hive, line by line (the first differences shown), descriptor by descriptor.
inline void ExpectSameVolume(const VolumeState& before, const VolumeState& after) {
    std::vector<std::string> gone, added;
    std::set_difference(before.paths.begin(), before.paths.end(), after.paths.begin(), after.paths.end(), std::back_inserter(gone));
    std::set_difference(after.paths.begin(), after.paths.end(), before.paths.begin(), before.paths.end(), std::back_inserter(added));
    for (size_t i = 0; i < gone.size() && i < 5; ++i) ADD_FAILURE() << "gone: " << gone[i];
    for (size_t i = 0; i < added.size() && i < 5; ++i) ADD_FAILURE() << "added: " << added[i];
    for (const auto& [name, lines] : before.hives) {
        auto it = after.hives.find(name);
        if (it == after.hives.end()) {
            ADD_FAILURE() << name << " is gone";
            continue;
        }
        int shown = 0;
        for (size_t i = 0; i < std::max(lines.size(), it->second.size()) && shown < 5; ++i) {
            std::string a = i < lines.size() ? lines[i] : "", b = i < it->second.size() ? it->second[i] : "";
            if (a != b) ADD_FAILURE() << name << " line " << i << "\n  before: " << a << "\n  after:  " << b, ++shown;
        }
    }
    EXPECT_EQ(before.descriptors.size(), after.descriptors.size());
    int shown = 0;
    for (const auto& [path, sd] : before.descriptors) {
        auto it = after.descriptors.find(path);
        if ((it == after.descriptors.end() || it->second != sd) && shown++ < 5) {
            std::string a, b;
            for (uint8_t x : sd) a += "0123456789ABCDEF"[x >> 4], a += "0123456789ABCDEF"[x & 15];
            if (it != after.descriptors.end())
                for (uint8_t x : it->second) b += "0123456789ABCDEF"[x >> 4], b += "0123456789ABCDEF"[x & 15];
            ADD_FAILURE() << "descriptor of " << path << "\n  before: " << a << "\n  after:  " << b;
        }
    }
}

}  // namespace e2e
