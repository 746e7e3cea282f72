// A whole simulated machine for end-to-end jobs: made from a preset, compared before
// and after (every hive key by key, every file descriptor), counted with the census,
// and checked with hivex, a reader the program does not share.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "nt/win32.h"
#include "ntsim/files/security.h"
#include "ntsim/kernel/conf.h"
#include "ntsim/machine/boot.h"
#include "ntsim/machine/census.h"
#include "ntsim/machine/machine.h"
#include "ntsim/kernel/process.h"
#include "ntsim/registry/regf.h"
#include "ntsim/security/sd.h"
#include "unit/fresh_machine.h"

namespace e2e {

namespace fs = std::filesystem;

// The machine's state as text lines: one per key (name, class, security) and per value,
// one per file descriptor. Two snapshots compare equal when the machine is the same.
struct Snapshot {
    std::map<std::string, std::vector<std::string>> hives;  // host path below drives -> lines
    std::map<std::string, std::vector<uint8_t>> descriptors;
    std::map<std::string, size_t> keyCounts;
};

inline std::string Hex(const std::vector<uint8_t>& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (uint8_t b : bytes) s += {digits[b >> 4], digits[b & 15]};
    return s;
}

// A key's descriptor in one layout (owner, group, SACL, DACL), so that the same security
// written back in another order of its parts compares equal.
inline std::string KeySecurity(const ntsim::SharedDescriptor& sd) {
    if (!sd) return "";
    ntsim::SdView view;
    if (ntsim::SdParseRelative(sd->data(), sd->size(), &view) != 0) return "unparsable " + Hex(*sd);
    return Hex(ntsim::SdBuild(view));
}

inline void DumpKey(const ntsim::HiveKey& key, const std::string& path, std::vector<std::string>* lines) {
    lines->push_back("key " + path + " class=" + Hex(key.className) + " sd=" + KeySecurity(key.security));
    for (const ntsim::HiveValue& v : key.values)
        lines->push_back("value " + path + " : " + v.name + " type=" + std::to_string(v.type) + " " + Hex(v.data));
    for (const auto& child : key.subkeys) DumpKey(*child, path + "\\" + child->name, lines);
}

inline bool IsHiveFile(const fs::path& p) {
    FILE* f = fopen(p.c_str(), "rb");
    if (!f) return false;
    char magic[4] = {};
    bool hive = fread(magic, 1, 4, f) == 4 && memcmp(magic, "regf", 4) == 0;
    fclose(f);
    return hive;
}

// The hive files a job may touch: system32\config and the profiles (not the work directory).
inline std::vector<fs::path> HiveFiles(const std::string& dir) {
    std::vector<fs::path> out;
    std::string c = dir + "/drives/c/WINNT";
    for (auto it = fs::recursive_directory_iterator(c); it != fs::recursive_directory_iterator(); ++it)
        if (it->is_regular_file() && (!it->path().has_extension() || it->path().extension() == ".dat") &&
            IsHiveFile(it->path()))
            out.push_back(it->path());
    std::sort(out.begin(), out.end());
    return out;
}

inline size_t CountKeys(const ntsim::HiveKey& key) {
    size_t n = 1;
    for (const auto& child : key.subkeys) n += CountKeys(*child);
    return n;
}

inline Snapshot Take(const std::string& dir) {
    Snapshot s;
    for (const fs::path& file : HiveFiles(dir)) {
        ntsim::Hive hive;
        std::string name = file.string().substr(dir.size());
        EXPECT_EQ(ntsim::RegfLoadFile(file, &hive), 0u) << name;
        if (!hive.root) continue;
        DumpKey(*hive.root, "", &s.hives[name]);
        s.keyCounts[name] = CountKeys(*hive.root);
    }
    for (auto it = fs::recursive_directory_iterator(dir + "/drives/c"); it != fs::recursive_directory_iterator(); ++it) {
        std::vector<uint8_t> sd;
        if (ntsim::FileReadStored(it->path(), ntsim::FileStore::NtsimXattr, &sd))
            s.descriptors[it->path().string().substr(dir.size())] = sd;
    }
    return s;
}

// Equal hive by hive, line by line (the first differences are shown), and descriptor by descriptor.
inline void ExpectSame(const Snapshot& before, const Snapshot& after) {
    EXPECT_EQ(before.hives.size(), after.hives.size());
    for (const auto& [name, lines] : before.hives) {
        auto it = after.hives.find(name);
        if (it == after.hives.end()) {
            ADD_FAILURE() << name << " is gone";
            continue;
        }
        if (it->second == lines) continue;
        int shown = 0;
        for (size_t i = 0; i < std::max(lines.size(), it->second.size()) && shown < 5; ++i) {
            std::string a = i < lines.size() ? lines[i] : "", b = i < it->second.size() ? it->second[i] : "";
            if (a != b) ADD_FAILURE() << name << " line " << i << "\n  before: " << a << "\n  after:  " << b, ++shown;
        }
    }
    EXPECT_EQ(before.descriptors.size(), after.descriptors.size());
    for (const auto& [path, sd] : before.descriptors) {
        auto it = after.descriptors.find(path);
        EXPECT_TRUE(it != after.descriptors.end() && it->second == sd) << "descriptor of " << path;
    }
}

// Every hive file opens in hivexml.
inline void ExpectHivexOpens(const std::string& dir) {
    for (const fs::path& file : HiveFiles(dir)) {
        std::string cmd = "hivexml '" + file.string() + "' >/dev/null 2>&1";
        EXPECT_EQ(system(cmd.c_str()), 0) << "hivexml " << file;
    }
}

inline ntsim::CensusResult Count(const std::string& dir, const std::string& sid) {
    ntsim::CensusResult result;
    std::string error;
    EXPECT_TRUE(ntsim::Census(dir, sid, &result, &error)) << error;
    return result;
}

// The places a completed job leaves the old SID in on purpose: its log, the backups that a
// replaced hive leaves beside it, and (until the clean-up run) the work directory's copies.
inline int Unexpected(const ntsim::CensusResult& census, bool cleanedUp) {
    int n = census.Count(ntsim::CensusPlace::MachineHives) + census.Count(ntsim::CensusPlace::ProfileHives) +
            census.Count(ntsim::CensusPlace::FileSecurity);
    if (cleanedUp) n += census.Count(ntsim::CensusPlace::WorkDirectory);
    return n;
}

inline std::string ListHits(const ntsim::CensusResult& census) {
    std::string text;
    for (const ntsim::CensusHit& h : census.hits)
        text += std::string(ntsim::CensusPlaceName(h.place)) + " " + ntsim::CensusKindName(h.kind) + " " + h.file + " [" +
                h.where + "]\n";
    return text;
}

inline std::string MachineSidText(const std::string& dir) {
    ntsim::Hive hive;
    if (ntsim::RegfLoadFile(dir + "/drives/c/WINNT/system32/config/SECURITY", &hive) != 0) return "";
    ntsim::HiveKey* policy = hive.root->FindSubkey("Policy");
    ntsim::HiveKey* key = policy ? policy->FindSubkey("PolAcDmS") : nullptr;
    const ntsim::HiveValue* v = key ? key->FindValue("") : nullptr;
    if (!v || v->data.size() != 24) return "";
    const auto& d = v->data;
    std::string s = "S-" + std::to_string(d[0]) + "-" + std::to_string(d[7]);
    for (size_t i = 8; i < 24; i += 4) s += "-" + std::to_string(d[i] | d[i + 1] << 8 | d[i + 2] << 16 | (uint32_t)d[i + 3] << 24);
    return s;
}

inline std::string ReadHost(const std::string& path) {
    std::string text;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
        fclose(f);
    }
    std::erase(text, '\r');  // the program writes its log in text mode
    return text;
}

// Whether Administrator, logging on to the machine, is a member of Administrators: the
// logon token's groups come from the SAM, so a job that broke the SAM's membership
// records shows here.
inline bool AdministratorInAdministrators(const std::string& dir) {
    std::string error;
    if (!ntsim::ProcessAttach(dir, "Administrator", false, &error)) {
        ADD_FAILURE() << error;
        return false;
    }
    bool found = false;
    HANDLE token = nullptr;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
        AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins)) {
        DWORD size = 0;
        GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
        std::vector<BYTE> buffer(size);
        if (size && GetTokenInformation(token, TokenGroups, buffer.data(), size, &size)) {
            const TOKEN_GROUPS* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
            for (DWORD i = 0; i < groups->GroupCount; ++i) found = found || EqualSid(groups->Groups[i].Sid, admins);
        }
    }
    if (admins) FreeSid(admins);
    if (token) CloseHandle(token);
    ntsim::ProcessDetach();
    return found;
}

inline std::string HiveText(const std::string& file, const std::string& keyPath, const std::string& name) {
    ntsim::Hive hive;
    if (ntsim::RegfLoadFile(file, &hive) != 0) return "";
    ntsim::HiveKey* key = hive.root.get();
    size_t i = 0;
    while (key && i <= keyPath.size()) {
        size_t next = keyPath.find('\\', i);
        if (next == std::string::npos) next = keyPath.size();
        key = key->FindSubkey(keyPath.substr(i, next - i));
        i = next + 1;
    }
    const ntsim::HiveValue* v = key ? key->FindValue(name) : nullptr;
    if (!v) return "";
    std::string text;
    for (size_t k = 0; k + 1 < v->data.size() && (v->data[k] || v->data[k + 1]); k += 2) text += (char)v->data[k];
    return text;
}

// The shared machine fixture, whose machine a failed test leaves for a look.
class MachineTest : public FreshMachine {
protected:
    void TearDown() override {
        if (ntsim::ProcessAttached()) ntsim::ProcessDetach();
        std::error_code ec;
        if (!HasFailure()) fs::remove_all(root_, ec);
    }
    void Make(const std::string& preset, const std::string& sid, const std::string& dir = "") {
        ntsim::MachineOptions options;
        options.preset = preset;
        options.sid = sid;
        options.files = true;
        std::string error;
        ASSERT_TRUE(ntsim::MachineCreate(dir.empty() ? dir_ : dir, options, &error)) << error;
    }
    void Boot(const std::string& dir = "") {
        std::string error;
        ASSERT_EQ(ntsim::MachineBoot(dir.empty() ? dir_ : dir, &error), 0u) << error;
    }
    std::string C(const std::string& relative) { return Host(relative); }
    // The ntsim tool, run with args; what it prints is kept in commands.txt under root_.
    static std::string Ntsim() { return std::string(TESSIV_BINARY_DIR) + "/tools/ntsim/ntsim"; }
    int RunNtsim(const std::string& args) {
        std::string cmd = Ntsim() + " " + args + " >>'" + root_ + "/commands.txt' 2>&1";
        return WEXITSTATUS(system(cmd.c_str()));
    }
    std::string Commands() { return ReadHost(root_ + "/commands.txt"); }
};

}  // namespace e2e
