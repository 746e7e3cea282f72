// The Windows 2000 and XP presets against the hives of a real Windows XP computer
// (tests/data/xp-hives): the top keys of SAM, SECURITY and SYSTEM and the descriptors of
// those hives' roots and their first two levels of keys, byte for byte (the real machine's
// own SID put in the preset's place); HKEY_CLASSES_ROOT with CLSID and the user's classes
// over the machine's, HKEY_CURRENT_CONFIG, and the SOFTWARE root's DACL.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "nt/win32.h"
#include "ntsim/machine/machine.h"
#include "ntsim/kernel/process.h"
#include "ntsim/registry/hive.h"
#include "ntsim/registry/regf.h"
#include "ntsim/security/sd.h"
#include "unit/fresh_machine.h"

namespace {

const std::string kRealHives = std::string(TESSIV_SOURCE_DIR) + "/tests/data/xp-hives/";
const std::string kRealSid = "S-1-5-21-1292428093-1645522239-1547161642";
const std::string kPresetSid = "S-1-5-21-1004336348-1177238915-682003330";

std::vector<uint8_t> SidBytesOf(const std::string& text) {
    std::vector<uint8_t> sid;
    EXPECT_TRUE(ntsim::SidFromText(text, &sid)) << text;
    return sid;
}

// The descriptor with the real machine's domain SID put for the preset's wherever it occurs:
// the three numbers after 21 are the machine's own.
std::vector<uint8_t> WithDomain(std::vector<uint8_t> sd, const std::vector<uint8_t>& from, const std::vector<uint8_t>& to) {
    for (size_t i = 0; i + 12 <= sd.size(); ++i)
        if (std::equal(from.begin() + 12, from.begin() + 24, sd.begin() + (long)i))
            std::copy(to.begin() + 12, to.begin() + 24, sd.begin() + (long)i);
    return sd;
}

uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | ((uint32_t)b[at + 3] << 24);
}

// The descriptor laid out again without room an ACL holds past its last entry (the real
// SECURITY root's DACL carries 16 bytes of stale memory there); the parts keep their order.
std::vector<uint8_t> Canonical(const std::vector<uint8_t>& sd) {
    if (sd.size() < 20) return sd;
    struct Part {
        size_t field, at, size;
    };
    std::vector<Part> parts;
    for (size_t field : {4u, 8u, 12u, 16u}) {
        size_t at = Get32(sd, field);
        if (!at || at >= sd.size()) continue;
        size_t size;
        if (field >= 12) {
            size = 8;
            for (int i = 0, at2 = (int)at + 8; i < (sd[at + 4] | (sd[at + 5] << 8)); ++i, at2 += sd[at2 + 2] | (sd[at2 + 3] << 8))
                size = (size_t)(at2 + (sd[at2 + 2] | (sd[at2 + 3] << 8))) - at;
        } else {
            size = 8 + 4 * (size_t)sd[at + 1];
        }
        parts.push_back({field, at, size});
    }
    std::sort(parts.begin(), parts.end(), [](const Part& a, const Part& b) { return a.at < b.at; });
    std::vector<uint8_t> out(sd.begin(), sd.begin() + 20);
    for (const Part& part : parts) {
        size_t at = out.size();
        for (int i = 0; i < 4; ++i) out[part.field + i] = (uint8_t)(at >> (8 * i));
        out.insert(out.end(), sd.begin() + (long)part.at, sd.begin() + (long)(part.at + part.size));
        if (part.field >= 12) {
            out[at + 2] = (uint8_t)part.size;
            out[at + 3] = (uint8_t)(part.size >> 8);
        }
    }
    return out;
}

std::string Hex(const std::vector<uint8_t>& b) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t c : b) out += std::string{digits[c >> 4], digits[c & 15]};
    return out;
}

std::set<std::string> Names(const ntsim::HiveKey* key) {
    std::set<std::string> out;
    for (const auto& sub : key->subkeys) out.insert(sub->name);
    return out;
}

// Compares the root and the keys of the first two levels that both trees hold; returns how
// many keys were compared.
int CompareDescriptors(const ntsim::HiveKey* preset, const ntsim::HiveKey* real, const std::string& path, int depth) {
    std::vector<uint8_t> expected =
        WithDomain(real->security ? *real->security : std::vector<uint8_t>(), SidBytesOf(kRealSid), SidBytesOf(kPresetSid));
    std::vector<uint8_t> actual = preset->security ? *preset->security : std::vector<uint8_t>();
    EXPECT_EQ(Hex(actual), Hex(Canonical(expected))) << path;
    int compared = 1;
    if (depth == 2) return compared;
    for (const auto& sub : real->subkeys)
        if (const ntsim::HiveKey* mine = preset->FindSubkey(sub->name))
            compared += CompareDescriptors(mine, sub.get(), path + "\\" + sub->name, depth + 1);
    return compared;
}

class PresetShape : public FreshMachine {
protected:
    ntsim::Hive Load(const std::string& path) {
        ntsim::Hive hive;
        EXPECT_EQ(ntsim::RegfLoadFile(path, &hive), 0u) << path;
        return hive;
    }
    std::string Config(const char* hive) { return dir_ + "/drives/c/WINNT/system32/config/" + hive; }
};

TEST_F(PresetShape, TopKeysAndDescriptorsAreThoseOfARealXpMachine) {
    for (const char* preset : {"xp-standalone", "w2k-member"}) {
        SCOPED_TRACE(preset);
        std::filesystem::remove_all(dir_);
        MakeMachine(preset);
        bool xp = std::string(preset) == "xp-standalone";
        for (const char* name : {"SAM", "SECURITY", "SYSTEM"}) {
            SCOPED_TRACE(name);
            ntsim::Hive mine = Load(Config(name)), real = Load(kRealHives + name);
            ASSERT_TRUE(mine.root && real.root);
            std::set<std::string> expected = Names(real.root.get());
            // Windows 2000 knows neither product activation nor the last-known-good recovery.
            if (!xp) expected.erase("WPA"), expected.erase("LastKnownGoodRecovery");
            EXPECT_EQ(Names(mine.root.get()), expected);
            int compared = CompareDescriptors(mine.root.get(), real.root.get(), name, 0);
            EXPECT_GE(compared, (int)expected.size() + 1);
        }
        // The second level of SYSTEM's control sets as well.
        ntsim::Hive system = Load(Config("SYSTEM"));
        for (const char* path : {"Control", "Services", "Enum", "Hardware Profiles"})
            EXPECT_NE(system.root->FindSubkey("ControlSet001")->FindSubkey(path), nullptr) << path;
    }
}

TEST_F(PresetShape, ClassesRootMergesTheUsersClassesAndCurrentConfigResolves) {
    for (const char* preset : {"xp-standalone", "w2k-member", "nt4-workstation"}) {
        SCOPED_TRACE(preset);
        ntsim::ProcessDetach();
        std::filesystem::remove_all(dir_);
        MakeMachine(preset);
        Attach("Administrator");
        bool merged = std::string(preset) != "nt4-workstation";
        HKEY key = nullptr;
        if (merged) {
            // CLSID is there, below the machine's classes.
            ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_READ, &key), ERROR_SUCCESS);
            RegCloseKey(key);
            // HKEY_CURRENT_CONFIG is the current hardware profile.
            DWORD subkeys = 0;
            EXPECT_EQ(RegQueryInfoKeyA(HKEY_CURRENT_CONFIG, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                                       nullptr, nullptr, nullptr, nullptr),
                      ERROR_SUCCESS);
            EXPECT_EQ(subkeys, 2u);
            ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_CONFIG, "Software", 0, KEY_READ, &key), ERROR_SUCCESS);
            RegCloseKey(key);
        }
        // A class of the user's own, and the user's .txt over the machine's.
        HKEY classes = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Classes\\.tessiv", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &classes, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(classes, nullptr, 0, REG_SZ, (const BYTE*)"tessivfile", 11), ERROR_SUCCESS);
        RegCloseKey(classes);
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Classes\\.txt", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &classes, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(classes, nullptr, 0, REG_SZ, (const BYTE*)"usertext", 9), ERROR_SUCCESS);
        RegCloseKey(classes);
        char text[32];
        DWORD size = sizeof text;
        LONG err = RegOpenKeyExA(HKEY_CLASSES_ROOT, ".tessiv", 0, KEY_READ, &key);
        EXPECT_EQ(err, merged ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
        if (err == ERROR_SUCCESS) {
            EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, nullptr, (LPBYTE)text, &size), ERROR_SUCCESS);
            EXPECT_STREQ(text, "tessivfile");
            RegCloseKey(key);
        }
        ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, ".txt", 0, KEY_READ, &key), ERROR_SUCCESS);
        size = sizeof text;
        EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, nullptr, (LPBYTE)text, &size), ERROR_SUCCESS);
        EXPECT_STREQ(text, merged ? "usertext" : "txtfile");
        RegCloseKey(key);
        // An enumeration of the root lists both, in NT's order, a name of both once.
        std::vector<std::string> listed;
        char name[64];
        for (DWORD i = 0;; ++i) {
            DWORD length = sizeof name;
            if (RegEnumKeyExA(HKEY_CLASSES_ROOT, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            listed.push_back(name);
        }
        std::vector<std::string> expected = {".tessiv", ".txt", "CLSID", "txtfile"};
        if (!merged) expected = {".txt", "txtfile"};
        EXPECT_EQ(listed, expected);
        // The machine's own classes stay where they are.
        ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "txtfile\\shell\\open\\command", 0, KEY_READ, &key), ERROR_SUCCESS);
        RegCloseKey(key);
    }
}

TEST_F(PresetShape, SoftwareRootDaclIsXps) {
    MakeMachine("xp-standalone");
    ntsim::Hive software = Load(Config("SOFTWARE"));
    ASSERT_TRUE(software.root && software.root->security);
    // Protected, as setup's template leaves it: Users read, Power Users modify, Administrators
    // and the system full control, each an entry of its own and an inherit-only generic one for
    // subkeys, and the creator owner's for subkeys.
    std::vector<uint8_t> sd = *software.root->security;
    ASSERT_GE(sd.size(), 20u);
    uint16_t control = (uint16_t)(sd[2] | (sd[3] << 8));
    EXPECT_EQ(control, 0x9404);
    uint32_t daclAt = sd[16] | (sd[17] << 8) | (sd[18] << 16) | ((uint32_t)sd[19] << 24);
    ASSERT_EQ(daclAt, 20u);
    struct Entry {
        uint8_t flags;
        uint32_t mask;
        std::string sid;
    };
    std::vector<Entry> entries;
    size_t at = daclAt + 8;
    for (int i = 0; i < (sd[daclAt + 4] | (sd[daclAt + 5] << 8)); ++i) {
        uint16_t aceSize = (uint16_t)(sd[at + 2] | (sd[at + 3] << 8));
        uint32_t mask = sd[at + 4] | (sd[at + 5] << 8) | (sd[at + 6] << 16) | ((uint32_t)sd[at + 7] << 24);
        entries.push_back({sd[at + 1], mask, ntsim::SidToText(&sd[at + 8], aceSize - 8)});
        at += aceSize;
    }
    const std::vector<std::string> expected = {
        "00 00020019 S-1-5-32-545", "0a 80000000 S-1-5-32-545", "00 0003001f S-1-5-32-547", "0a c0010000 S-1-5-32-547",
        "00 000f003f S-1-5-32-544", "0a 10000000 S-1-5-32-544", "00 000f003f S-1-5-18",     "0a 10000000 S-1-5-18",
        "00 000f003f S-1-5-32-544", "0a 10000000 S-1-3-0"};
    std::vector<std::string> actual;
    for (const Entry& e : entries) {
        char line[80];
        snprintf(line, sizeof line, "%02x %08x %s", e.flags, e.mask, e.sid.c_str());
        actual.push_back(line);
    }
    EXPECT_EQ(actual, expected);
    // A Users member reads SOFTWARE and cannot write it.
    Attach("User1");
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft", 0, KEY_SET_VALUE, &key), ERROR_ACCESS_DENIED);
}

}  // namespace
