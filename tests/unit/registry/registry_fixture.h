// The registry tests' machine: a fresh machine directory with the five system
// hives and two profiles (written over those the machine was made with), SIDs and
// descriptors in NT's binary form, and attaching to the machine.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "nt/win32.h"
#include "ntsim/security/access.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/registry/hive.h"
#include "ntsim/machine/machine.h"
#include "ntsim/kernel/process.h"
#include "ntsim/registry/regf.h"
#include "ntsim/security/sam_records.h"

namespace regtest {

using Bytes = std::vector<uint8_t>;

inline Bytes Sid(uint8_t authority, std::vector<uint32_t> subs) {
    Bytes sid = {1, (uint8_t)subs.size(), 0, 0, 0, 0, 0, authority};
    for (uint32_t s : subs)
        for (int i = 0; i < 4; ++i) sid.push_back((uint8_t)(s >> (8 * i)));
    return sid;
}
inline Bytes MachineSid() { return Sid(5, {21, 1111, 2222, 3333}); }
inline Bytes AccountSid(uint32_t rid) { return Sid(5, {21, 1111, 2222, 3333, rid}); }
inline const char* kMachineSidText = "S-1-5-21-1111-2222-3333";
inline Bytes Administrators() { return Sid(5, {32, 544}); }
inline Bytes UsersAlias() { return Sid(5, {32, 545}); }
inline Bytes LocalSystem() { return Sid(5, {18}); }
inline Bytes Everyone() { return Sid(1, {0}); }
inline Bytes CreatorOwner() { return Sid(3, {0}); }

struct Ace {
    uint8_t type;
    uint8_t flags;
    uint32_t mask;
    Bytes sid;
};

inline void Put16(Bytes& b, size_t at, uint16_t v) {
    b[at] = (uint8_t)v;
    b[at + 1] = (uint8_t)(v >> 8);
}
inline void Put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = (uint8_t)(v >> (8 * i));
}

inline Bytes Acl(const std::vector<Ace>& aces) {
    Bytes acl(8, 0);
    acl[0] = ACL_REVISION;
    for (const Ace& a : aces) {
        size_t at = acl.size();
        acl.resize(at + 8 + a.sid.size());
        acl[at] = a.type;
        acl[at + 1] = a.flags;
        Put16(acl, at + 2, (uint16_t)(8 + a.sid.size()));
        Put32(acl, at + 4, a.mask);
        memcpy(&acl[at + 8], a.sid.data(), a.sid.size());
    }
    Put16(acl, 2, (uint16_t)acl.size());
    Put16(acl, 4, (uint16_t)aces.size());
    return acl;
}

// A self-relative descriptor; an empty dacl vector with daclPresent gives an empty DACL.
inline Bytes Descriptor(const Bytes& owner, const Bytes& group, const std::vector<Ace>& dacl, bool daclPresent = true,
                        const std::vector<Ace>* sacl = nullptr) {
    Bytes sd(20, 0);
    sd[0] = 1;
    uint16_t control = SE_SELF_RELATIVE;
    if (sacl) {
        control |= SE_SACL_PRESENT;
        Put32(sd, 12, (uint32_t)sd.size());
        Bytes a = Acl(*sacl);
        sd.insert(sd.end(), a.begin(), a.end());
    }
    if (daclPresent) {
        control |= SE_DACL_PRESENT;
        Put32(sd, 16, (uint32_t)sd.size());
        Bytes a = Acl(dacl);
        sd.insert(sd.end(), a.begin(), a.end());
    }
    if (!owner.empty()) {
        Put32(sd, 4, (uint32_t)sd.size());
        sd.insert(sd.end(), owner.begin(), owner.end());
    }
    if (!group.empty()) {
        Put32(sd, 8, (uint32_t)sd.size());
        sd.insert(sd.end(), group.begin(), group.end());
    }
    Put16(sd, 2, control);
    return sd;
}

// The machine's ordinary key security: owner Administrators; Administrators and SYSTEM
// full, Everyone read, CREATOR OWNER full on subkeys; all inherited by subkeys.
inline Bytes StandardKeySecurity() {
    return Descriptor(Administrators(), LocalSystem(),
                      {{ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS, Administrators()},
                       {ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS, LocalSystem()},
                       {ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, KEY_READ, Everyone()},
                       {ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE, KEY_ALL_ACCESS, CreatorOwner()}});
}

inline Bytes Wide(const std::string& s, bool terminate = true) {
    std::vector<uint16_t> units = ntsim::Utf8ToUtf16(s);
    if (terminate) units.push_back(0);
    Bytes out(units.size() * 2);
    for (size_t i = 0; i < units.size(); ++i) {
        out[2 * i] = (uint8_t)units[i];
        out[2 * i + 1] = (uint8_t)(units[i] >> 8);
    }
    return out;
}
inline Bytes Dword(uint32_t v) { return {(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16), (uint8_t)(v >> 24)}; }

inline ntsim::Hive NewHive(const std::string& rootName, const Bytes& sd) {
    ntsim::Hive hive;
    hive.minorVersion = 3;
    hive.rootName = rootName;
    hive.root = std::make_unique<ntsim::HiveKey>();
    hive.root->name = rootName;
    hive.root->flags = ntsim::kKeyNoDelete;
    hive.root->security = std::make_shared<const Bytes>(sd);
    return hive;
}

// Adds a path of keys below key (each sharing its parent's descriptor) and returns the last.
inline ntsim::HiveKey* Path(ntsim::HiveKey* key, const std::string& path) {
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t next = path.find('\\', pos);
        if (next == std::string::npos) next = path.size();
        std::string name = path.substr(pos, next - pos);
        ntsim::HiveKey* sub = key->FindSubkey(name);
        if (!sub) {
            sub = key->AddSubkey(name);
            sub->security = key->security;
        }
        key = sub;
        pos = next + 1;
    }
    return key;
}
inline void Set(ntsim::HiveKey* key, const std::string& name, uint32_t type, Bytes data) {
    key->values.push_back(ntsim::HiveValue{name, type, std::move(data)});
}

// Writes the hives of a small stand-alone NT 4.0 machine over those the machine was made
// with, so that the tests know every key, SID and descriptor they meet.
inline void WriteMachineHives(const std::string& dir) {
    std::string config = dir + "/drives/c/WINNT/system32/config/";
    Bytes standard = StandardKeySecurity();
    Bytes locked = Descriptor(Administrators(), LocalSystem(),
                              {{ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS, LocalSystem()},
                               {ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, WRITE_DAC | READ_CONTROL, Administrators()}});
    ntsim::Hive sam = NewHive("SAM", standard);
    ntsim::HiveKey* samInner = Path(sam.root.get(), "SAM");
    samInner->security = std::make_shared<const Bytes>(locked);
    ntsim::HiveKey* names = Path(samInner, "Domains\\Account\\Users\\Names");
    Set(Path(names, "Administrator"), "", 500, {});
    Set(Path(names, "User1"), "", 1000, {});
    // Alias members: Administrator in Administrators; both accounts in Users.
    ntsim::HiveKey* aliases = Path(samInner, "Domains\\Builtin\\Aliases");
    Set(Path(aliases, "Names\\Administrators"), "", 544, {});
    Set(Path(aliases, "Names\\Users"), "", 545, {});
    Set(Path(aliases, "00000220"), "C", REG_BINARY, ntsim::SamAliasC(544, "Administrators", "", {AccountSid(500)}));
    Set(Path(aliases, "00000221"), "C", REG_BINARY,
        ntsim::SamAliasC(545, "Users", "", {AccountSid(500), AccountSid(1000)}));
    ntsim::SamIndexMembership(aliases, ntsim::SidDomain(AccountSid(500)), 500, {544, 545});
    ntsim::SamIndexMembership(aliases, ntsim::SidDomain(AccountSid(500)), 1000, {545});
    ntsim::Hive security = NewHive("SECURITY", locked);
    Set(Path(security.root.get(), "Policy\\PolAcDmS"), "", REG_BINARY, MachineSid());
    ntsim::Hive software = NewHive("SOFTWARE", standard);
    ntsim::HiveKey* current = Path(software.root.get(), "Microsoft\\Windows NT\\CurrentVersion");
    Set(current, "CurrentVersion", REG_SZ, Wide("4.0"));
    ntsim::HiveKey* profiles = Path(current, "ProfileList");
    for (auto [rid, user] : {std::pair<uint32_t, const char*>{500, "Administrator"}, {1000, "User1"}}) {
        std::string sidText = std::string(kMachineSidText) + "-" + std::to_string(rid);
        ntsim::HiveKey* p = Path(profiles, sidText);
        Set(p, "ProfileImagePath", REG_EXPAND_SZ, Wide(std::string("%SystemRoot%\\Profiles\\") + user));
        Set(p, "Sid", REG_BINARY, AccountSid(rid));
        std::string profileDir = dir + "/drives/c/WINNT/Profiles/" + user;
        system(("mkdir -p '" + profileDir + "'").c_str());
        Bytes userSd = Descriptor(AccountSid(rid), LocalSystem(),
                                  {{ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS, AccountSid(rid)},
                                   {ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS, Administrators()},
                                   {ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS, LocalSystem()}});
        ntsim::Hive userHive = NewHive("$$$PROTO.HIV", userSd);
        Set(Path(userHive.root.get(), "Environment"), "TEMP", REG_EXPAND_SZ, Wide("%USERPROFILE%\\TEMP"));
        ASSERT_EQ(0u, ntsim::RegfSaveFile(userHive, profileDir + "/ntuser.dat"));
    }
    ntsim::Hive systemHive = NewHive("SYSTEM", standard);
    Set(Path(systemHive.root.get(), "Select"), "Current", REG_DWORD, Dword(1));
    Set(Path(systemHive.root.get(), "ControlSet001\\Control\\ComputerName\\ComputerName"), "ComputerName", REG_SZ, Wide("NTWKS01"));
    Path(systemHive.root.get(), "ControlSet001\\Services");
    ntsim::Hive defaultHive = NewHive(".DEFAULT", standard);
    Path(defaultHive.root.get(), "Control Panel\\Desktop");
    ASSERT_EQ(0u, ntsim::RegfSaveFile(sam, config + "SAM"));
    ASSERT_EQ(0u, ntsim::RegfSaveFile(security, config + "SECURITY"));
    ASSERT_EQ(0u, ntsim::RegfSaveFile(software, config + "SOFTWARE"));
    ASSERT_EQ(0u, ntsim::RegfSaveFile(systemHive, config + "SYSTEM"));
    ASSERT_EQ(0u, ntsim::RegfSaveFile(defaultHive, config + "DEFAULT"));
}

inline std::string UserSidText(uint32_t rid) { return std::string(kMachineSidText) + "-" + std::to_string(rid); }

// Switches a privilege as the program does: AdjustTokenPrivileges, which enables only what the account holds.
inline void EnablePrivilegeForTest(const char* name, bool on = true) {
    HANDLE token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    TOKEN_PRIVILEGES tp = {};
    tp.PrivilegeCount = 1;
    ASSERT_TRUE(LookupPrivilegeValueA(nullptr, name, &tp.Privileges[0].Luid));
    tp.Privileges[0].Attributes = on ? SE_PRIVILEGE_ENABLED : 0;
    EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr));
    CloseHandle(token);
}

class RegistryTest : public ::testing::Test {
protected:
    std::string root, dir;
    void SetUp() override {
        CreateMachine();
        WriteMachineHives(dir);
        Attach("Administrator");
    }
    // A temporary folder with the machine in it as `ntsim create` makes it.
    void CreateMachine() {
        char tmpl[] = "/tmp/registry-test-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        root = tmpl;
        dir = root + "/m";
        std::string error;
        ASSERT_TRUE(ntsim::MachineCreate(dir, ntsim::MachineOptions(), &error)) << error;
    }
    void TearDown() override {
        ntsim::ProcessDetach();
        if (system(("rm -rf '" + root + "'").c_str()) != 0) ADD_FAILURE() << "cannot remove " << root;
    }
    void Attach(const std::string& user, bool service = false) {
        std::string error;
        ASSERT_TRUE(ntsim::ProcessAttach(dir, user, service, &error)) << error;
    }
    std::string HiveFile(const std::string& name) const { return dir + "/drives/c/WINNT/system32/config/" + name; }
    static bool Exists(const std::string& path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0;
    }
};

// Runs fn in a child process (attached like this one) and returns its exit status.
template <class Fn>
int InChild(Fn fn) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int code = fn();
        _exit(code);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace regtest
