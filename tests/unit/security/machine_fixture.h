// A fresh simulated machine attached for one test, removed afterwards; with the SAM and
// SECURITY hives of a stand-alone NT 4.0 workstation (machine SID S-1-5-21-1111-2222-3333).
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "ntsim/registry/hive.h"
#include "ntsim/kernel/machine.h"
#include "ntsim/kernel/process.h"
#include "ntsim/registry/regf.h"
#include "ntsim/security/sam_records.h"
#include "ntsim/security/sd.h"

inline const char* kMachineSidText = "S-1-5-21-1111-2222-3333";

inline ntsim::HiveKey* Path(ntsim::HiveKey* key, const std::string& path) {
    size_t i = 0;
    while (i < path.size()) {
        size_t next = path.find('\\', i);
        if (next == std::string::npos) next = path.size();
        std::string name = path.substr(i, next - i);
        ntsim::HiveKey* child = key->FindSubkey(name);
        key = child ? child : key->AddSubkey(name);
        i = next + 1;
    }
    return key;
}

inline void SetValue(ntsim::HiveKey* key, const std::string& name, uint32_t type, std::vector<uint8_t> data) {
    ntsim::HiveValue v;
    v.name = name;
    v.type = type;
    v.data = std::move(data);
    key->values.push_back(std::move(v));
}

class MachineTest : public ::testing::Test {
protected:
    std::string dir_;
    ntsim::SidBytes machineSid_;
    void SetUp() override {
        char tmpl[] = "/tmp/tessiv-sec-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = std::string(tmpl) + "/m";
        std::string err;
        ASSERT_TRUE(ntsim::MachineCreate(dir_, ntsim::MachineOptions(), &err)) << err;
        ASSERT_TRUE(ntsim::SidFromText(kMachineSidText, &machineSid_));
        WriteAccountHives();
    }
    std::string ConfigDir() const { return dir_ + "/drives/c/WINNT/system32/config/"; }
    ntsim::SidBytes Account(uint32_t rid) const { return ntsim::SidAppend(machineSid_, rid); }

    void WriteAccountHives() {
        using namespace ntsim;
        Hive sam;
        sam.root = std::make_unique<HiveKey>();
        sam.root->name = "SAM";
        HiveKey* account = Path(sam.root.get(), "SAM\\Domains\\Account");
        std::vector<uint8_t> v(40, 0);
        v.insert(v.end(), machineSid_.begin(), machineSid_.end());
        SetValue(account, "V", 3, v);
        for (auto [name, rid] : {std::pair<const char*, uint32_t>{"Administrator", 500}, {"Guest", 501}, {"User1", 1000}})
            SetValue(Path(account, std::string("Users\\Names\\") + name), "", rid, {});
        SetValue(Path(account, "Groups\\Names\\None"), "", 513, {});
        HiveKey* aliases = Path(sam.root.get(), "SAM\\Domains\\Builtin\\Aliases");
        for (auto [name, rid] : {std::pair<const char*, uint32_t>{"Administrators", 544}, {"Users", 545}, {"Guests", 546},
                                 {"Power Users", 547}, {"Backup Operators", 551}, {"Replicator", 552}})
            SetValue(Path(aliases, std::string("Names\\") + name), "", rid, {});
        // NT's alias records and the membership index that tokens are built from.
        auto members = [&](const char* key, uint32_t alias, uint32_t account) {
            SetValue(Path(aliases, key), "C", 3, SamAliasC(alias, "", "", {Account(account)}));
            SamIndexMembership(aliases, machineSid_, account, {alias});
        };
        members("00000220", 544, 500);
        members("00000221", 545, 1000);
        members("00000222", 546, 501);
        ASSERT_EQ(RegfSaveFile(sam, ConfigDir() + "SAM"), (uint32_t)ERROR_SUCCESS);
        Hive security;
        security.root = std::make_unique<HiveKey>();
        security.root->name = "SECURITY";
        SetValue(Path(security.root.get(), "Policy\\PolAcDmS"), "", 3, machineSid_);
        std::vector<uint8_t> name;
        for (char c : std::string("NTWKS01")) name.push_back((uint8_t)c), name.push_back(0);
        SetValue(Path(security.root.get(), "Policy\\PolAcDmN"), "", 3, name);
        ASSERT_EQ(RegfSaveFile(security, ConfigDir() + "SECURITY"), (uint32_t)ERROR_SUCCESS);
    }
    void Attach(const std::string& user, bool service = false) {
        std::string err;
        ASSERT_TRUE(ntsim::ProcessAttach(dir_, user, service, &err)) << err;
    }
    // Enables (or disables) a privilege of the process token through the Win32 calls.
    static void Privilege(const char* name, bool enable = true) {
        HANDLE token;
        ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
        TOKEN_PRIVILEGES tp = {1, {{{0, 0}, enable ? (DWORD)SE_PRIVILEGE_ENABLED : 0}}};
        ASSERT_TRUE(LookupPrivilegeValueA(nullptr, name, &tp.Privileges[0].Luid));
        ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr));
        ASSERT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS) << name;
        CloseHandle(token);
    }
    void TearDown() override {
        ntsim::ProcessDetach();
        std::error_code ec;
        std::filesystem::remove_all(std::filesystem::path(dir_).parent_path(), ec);
    }
};
