// A simulated machine for one test, with the hive contents the identity and
// engine tests need written as real hive files: version, product options,
// computer name, policy (with NT's SECURITY key security) and a SAM with
// Administrator, Guest and User1.
#pragma once
#include <fstream>
#include <string>
#include <vector>

#include "ntsim/kernel/clock.h"
#include "ntsim/kernel/conf.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/registry/hive.h"
#include "ntsim/machine/machine.h"
#include "ntsim/kernel/process.h"
#include "ntsim/registry/regf.h"
#include "ntsim/security/sam_records.h"
#include "ntsim/security/sd.h"
#include "unit/fresh_machine.h"

struct TestMachineSetup {
    std::string version = "4.0";
    std::string build = "1381";
    std::string productType = "WinNT";          // WinNT, ServerNT, LanmanNT
    std::vector<std::string> productSuite;       // REG_MULTI_SZ entries
    bool suiteAsSingleString = false;            // store ProductSuite as REG_SZ
    bool withSuite = false;                      // write ProductSuite at all
    std::string computerName = "NTWKS01";
    std::vector<uint8_t> machineSid;             // empty: S-1-5-21-1-2-3
    std::string primaryDomainName = "WORKGROUP";
    std::vector<uint8_t> primaryDomainSid;       // empty: none (stand-alone)
    std::string confExtra;                       // appended to machine.conf
};

inline std::vector<uint8_t> TestSid(uint32_t a, uint32_t b, uint32_t c) { return ntsim::SidMake(5, {21, a, b, c}); }

// The SID a text names (the test fails when it names none).
inline std::vector<uint8_t> SidOf(const std::string& text) {
    std::vector<uint8_t> s;
    EXPECT_TRUE(ntsim::SidFromText(text, &s)) << text;
    return s;
}

inline std::vector<uint8_t> Utf16Bytes(const std::string& text, bool terminate) {
    std::vector<uint8_t> out;
    for (uint16_t u : ntsim::Utf8ToUtf16(text)) {
        out.push_back((uint8_t)u);
        out.push_back((uint8_t)(u >> 8));
    }
    if (terminate) out.insert(out.end(), {0, 0});
    return out;
}

inline ntsim::HiveKey* TestKey(ntsim::HiveKey* root, const std::string& path) {
    ntsim::HiveKey* k = root;
    size_t i = 0;
    while (i <= path.size()) {
        size_t next = path.find('\\', i);
        if (next == std::string::npos) next = path.size();
        std::string name = path.substr(i, next - i);
        if (!name.empty()) {
            ntsim::HiveKey* child = k->FindSubkey(name);
            k = child ? child : k->AddSubkey(name);
        }
        i = next + 1;
    }
    return k;
}

inline void TestValue(ntsim::HiveKey* key, const std::string& name, uint32_t type, std::vector<uint8_t> data) {
    ntsim::HiveValue* v = key->FindValue(name);
    if (!v) {
        key->values.push_back(ntsim::HiveValue());
        v = &key->values.back();
    }
    v->name = name;
    v->type = type;
    v->data = std::move(data);
}

inline void TestText(ntsim::HiveKey* key, const std::string& name, const std::string& text) {
    TestValue(key, name, 1 /*REG_SZ*/, Utf16Bytes(text, true));
}

// Owner Administrators; DACL: the given ACEs, inherited by subkeys.
inline ntsim::SharedDescriptor TestDescriptor(std::vector<ntsim::AceEntry> aces) {
    std::vector<uint8_t> acl = ntsim::AclBuild(aces);
    std::vector<uint8_t> admins = ntsim::SidBuiltin(544), system = ntsim::SidLocalSystem();
    return std::make_shared<const std::vector<uint8_t>>(
        ntsim::SdBuild(0x0004 /*SE_DACL_PRESENT*/, admins.data(), system.data(), nullptr, acl.data()));
}

inline ntsim::AceEntry Ace(uint8_t type, uint8_t flags, uint32_t mask, std::vector<uint8_t> sid) {
    ntsim::AceEntry e;
    e.type = type;
    e.flags = flags;
    e.mask = mask;
    e.sid = std::move(sid);
    return e;
}

// An allowing ACE, inherited by subkeys unless flags say otherwise.
inline ntsim::AceEntry TestAce(uint32_t mask, std::vector<uint8_t> sid, uint8_t flags = 0x2 /*CONTAINER_INHERIT*/) {
    return Ace(0, flags, mask, std::move(sid));
}

inline void SetTreeSecurity(ntsim::HiveKey* key, const ntsim::SharedDescriptor& sd) {
    key->security = sd;
    for (auto& child : key->subkeys) SetTreeSecurity(child.get(), sd);
}

inline bool WriteTestHives(const std::string& dir, const TestMachineSetup& setup) {
    using namespace ntsim;
    std::string config = dir + "/drives/c/WINNT/system32/config/";
    std::vector<uint8_t> machineSid = setup.machineSid.empty() ? TestSid(1, 2, 3) : setup.machineSid;
    const uint32_t kAll = 0xF003F, kRead = 0x20019;
    SharedDescriptor normal = TestDescriptor({TestAce(kAll, SidBuiltin(544)), TestAce(kAll, SidLocalSystem()),
                                              TestAce(kRead, SidEveryone())});
    SharedDescriptor secret = TestDescriptor({TestAce(kAll, SidLocalSystem()), TestAce(0x60000, SidBuiltin(544))});
    auto save = [&](Hive& hive, const char* name) {
        hive.root->name = name;
        return RegfSaveFile(hive, config + name) == 0;
    };

    Hive software;
    software.root = std::make_unique<HiveKey>();
    HiveKey* cv = TestKey(software.root.get(), "Microsoft\\Windows NT\\CurrentVersion");
    TestText(cv, "CurrentVersion", setup.version);
    TestText(cv, "CurrentBuildNumber", setup.build);
    TestText(cv, "CSDVersion", "Service Pack 6");
    TestKey(software.root.get(), "Microsoft\\Windows NT\\CurrentVersion\\ProfileList");
    SetTreeSecurity(software.root.get(), normal);

    Hive system;
    system.root = std::make_unique<HiveKey>();
    TestValue(TestKey(system.root.get(), "Select"), "Current", 4, {1, 0, 0, 0});
    HiveKey* options = TestKey(system.root.get(), "ControlSet001\\Control\\ProductOptions");
    TestText(options, "ProductType", setup.productType);
    if (setup.withSuite) {
        if (setup.suiteAsSingleString) {
            TestText(options, "ProductSuite", setup.productSuite.empty() ? "" : setup.productSuite[0]);
        } else {
            std::vector<uint8_t> multi;
            for (const std::string& s : setup.productSuite) {
                std::vector<uint8_t> b = Utf16Bytes(s, true);
                multi.insert(multi.end(), b.begin(), b.end());
            }
            multi.insert(multi.end(), {0, 0});
            TestValue(options, "ProductSuite", 7, multi);
        }
    }
    TestText(TestKey(system.root.get(), "ControlSet001\\Control\\ComputerName\\ComputerName"), "ComputerName",
             setup.computerName);
    SetTreeSecurity(system.root.get(), normal);

    Hive security;
    security.root = std::make_unique<HiveKey>();
    TestValue(TestKey(security.root.get(), "Policy\\PolAcDmS"), "", 3, machineSid);
    TestValue(TestKey(security.root.get(), "Policy\\PolAcDmN"), "", 3, PolicyNameRecord(setup.computerName));
    TestValue(TestKey(security.root.get(), "Policy\\PolPrDmN"), "", 3, PolicyNameRecord(setup.primaryDomainName));
    TestValue(TestKey(security.root.get(), "Policy\\PolPrDmS"), "", 3, setup.primaryDomainSid);
    SetTreeSecurity(security.root.get(), secret);

    Hive sam;
    sam.root = std::make_unique<HiveKey>();
    HiveKey* account = TestKey(sam.root.get(), "SAM\\Domains\\Account");
    std::vector<uint8_t> v(64, 0);
    v.insert(v.end(), machineSid.begin(), machineSid.end());
    TestValue(account, "V", 3, v);
    TestValue(TestKey(account, "Users\\Names\\Administrator"), "", 500, {});
    TestValue(TestKey(account, "Users\\Names\\Guest"), "", 501, {});
    TestValue(TestKey(account, "Users\\Names\\User1"), "", 1000, {});
    HiveKey* aliases = TestKey(sam.root.get(), "SAM\\Domains\\Builtin\\Aliases");
    TestValue(TestKey(aliases, "Names\\Administrators"), "", 544, {});
    TestValue(TestKey(aliases, "Names\\Users"), "", 545, {});
    TestValue(TestKey(aliases, "Names\\Guests"), "", 546, {});
    std::vector<uint8_t> admin = SidAppend(machineSid, 500), user = SidAppend(machineSid, 1000),
                         guest = SidAppend(machineSid, 501);
    TestValue(TestKey(aliases, "00000220"), "C", 3, SamAliasC(544, "Administrators", "", {admin}));
    TestValue(TestKey(aliases, "00000221"), "C", 3, SamAliasC(545, "Users", "", {admin, user}));
    TestValue(TestKey(aliases, "00000222"), "C", 3, SamAliasC(546, "Guests", "", {guest}));
    SamIndexMembership(aliases, machineSid, 500, {544, 545});
    SamIndexMembership(aliases, machineSid, 1000, {545});
    SamIndexMembership(aliases, machineSid, 501, {546});
    SetTreeSecurity(sam.root.get(), secret);

    Hive defaultUser;
    defaultUser.root = std::make_unique<HiveKey>();
    TestKey(defaultUser.root.get(), "Software");
    SetTreeSecurity(defaultUser.root.get(), normal);

    return save(software, "SOFTWARE") && save(system, "SYSTEM") && save(security, "SECURITY") && save(sam, "SAM") &&
           save(defaultUser, "DEFAULT");
}

class TestMachine : public FreshMachine {
protected:
    // Makes the machine (once per test) and attaches this process to it.
    void Create(const TestMachineSetup& setup = TestMachineSetup(), const std::string& user = "Administrator",
                bool service = false) {
        MakeMachine();
        ASSERT_TRUE(WriteTestHives(dir_, setup));
        // The name the machine runs under, which no hive file holds (ActiveComputerName is volatile).
        ntsim::Conf conf;
        std::string error;
        ASSERT_TRUE(ntsim::ConfLoad(dir_ + "/machine.conf", &conf, &error)) << error;
        conf.Find("machine")->Set("name", setup.computerName);
        ASSERT_TRUE(ntsim::ConfSave(dir_ + "/machine.conf", conf));
        if (!setup.confExtra.empty()) {
            std::ofstream conf(dir_ + "/machine.conf", std::ios::app);
            conf << "\n" << setup.confExtra << "\n";
        }
        Attach(user, service);
    }
};
