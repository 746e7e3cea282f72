// A fresh simulated machine attached for one test, removed afterwards; with the SAM and
// SECURITY hives of a stand-alone NT 4.0 workstation (machine SID S-1-5-21-1111-2222-3333).
#pragma once
#include <string>
#include <vector>

#include "unit/identity/test_machine.h"

inline const char* kMachineSidText = "S-1-5-21-1111-2222-3333";

class MachineTest : public FreshMachine {
protected:
    ntsim::SidBytes machineSid_;
    void SetUp() override {
        FreshMachine::SetUp();
        MakeMachine();
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
        HiveKey* account = TestKey(sam.root.get(), "SAM\\Domains\\Account");
        std::vector<uint8_t> v(40, 0);
        v.insert(v.end(), machineSid_.begin(), machineSid_.end());
        TestValue(account, "V", 3, v);
        for (auto [name, rid] : {std::pair<const char*, uint32_t>{"Administrator", 500}, {"Guest", 501}, {"User1", 1000}})
            TestValue(TestKey(account, std::string("Users\\Names\\") + name), "", rid, {});
        TestValue(TestKey(account, "Groups\\Names\\None"), "", 513, {});
        HiveKey* aliases = TestKey(sam.root.get(), "SAM\\Domains\\Builtin\\Aliases");
        for (auto [name, rid] : {std::pair<const char*, uint32_t>{"Administrators", 544}, {"Users", 545}, {"Guests", 546},
                                 {"Power Users", 547}, {"Backup Operators", 551}, {"Replicator", 552}})
            TestValue(TestKey(aliases, std::string("Names\\") + name), "", rid, {});
        // NT's alias records and the membership index that tokens are built from.
        auto members = [&](const char* key, uint32_t alias, uint32_t account) {
            TestValue(TestKey(aliases, key), "C", 3, SamAliasC(alias, "", "", {Account(account)}));
            SamIndexMembership(aliases, machineSid_, account, {alias});
        };
        members("00000220", 544, 500);
        members("00000221", 545, 1000);
        members("00000222", 546, 501);
        ASSERT_EQ(RegfSaveFile(sam, ConfigDir() + "SAM"), (uint32_t)ERROR_SUCCESS);
        Hive security;
        security.root = std::make_unique<HiveKey>();
        security.root->name = "SECURITY";
        TestValue(TestKey(security.root.get(), "Policy\\PolAcDmS"), "", 3, machineSid_);
        TestValue(TestKey(security.root.get(), "Policy\\PolAcDmN"), "", 3, ntsim::PolicyNameRecord("NTWKS01"));
        ASSERT_EQ(RegfSaveFile(security, ConfigDir() + "SECURITY"), (uint32_t)ERROR_SUCCESS);
    }
};
