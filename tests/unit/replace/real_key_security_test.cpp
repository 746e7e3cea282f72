// The registry walk over the SAM hive of a real Windows XP computer (tests/data/xp-hives) on a
// simulated XP machine: the keys whose DACL denies the administrator are widened and put
// back, and every key of the hive must end with the descriptor it had, byte for byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "core/job_settings.h"
#include "core/output.h"
#include "identity/machine_sid.h"
#include "ntsim/registry/regf.h"
#include "ntsim/security/access.h"
#include "ntsim/security/sd.h"
#include "replace/registry_replace.h"
#include "unit/engine/engine_fixture.h"

namespace {

const std::string kHives = std::string(TESSIV_SOURCE_DIR) + "/tests/data/xp-hives/";

class RealKeySecurity : public EngineTest {
protected:
    FILE* log_ = nullptr;

    void SetUp() override { EngineTest::SetUp(); }
    // The machine of that version, with the real SAM and SECURITY hives, the administrator
    // attached and a job record.
    void Start(const char* version, const char* build) {
        TestMachineSetup setup;
        setup.version = version;
        setup.build = build;
        MakeMachine();
        ASSERT_TRUE(WriteTestHives(dir_, setup));
        for (const char* hive : {"SAM", "SECURITY"})
            std::filesystem::copy_file(kHives + hive, Config() + hive, std::filesystem::copy_options::overwrite_existing);
        Attach("Administrator");
        ntsim::TranscriptClear();
        CreateJobSettings();
        log_ = tmpfile();
        logStream = log_;
    }
    void TearDown() override {
        logStream = nullptr;
        if (log_) fclose(log_);
        EngineTest::TearDown();
    }
    std::string Config() const { return dir_ + "/drives/c/WINNT/system32/config/"; }

    // Counts the keys below before whose descriptor differs in after (or that after lacks),
    // naming the first few.
    static int Differences(const ntsim::HiveKey* before, const ntsim::HiveKey* after, const std::string& path,
                           std::string* names) {
        int count = 0;
        if (!after || !before->security != !after->security ||
            (before->security && *before->security != *after->security)) {
            ++count;
            if (names->size() < 600) *names += path + "; ";
        }
        if (!after) return count;
        for (const auto& sub : before->subkeys)
            count += Differences(sub.get(), after->FindSubkey(sub->name), path + "\\" + sub->name, names);
        return count;
    }
    static int Keys(const ntsim::HiveKey* key) {
        int n = 1;
        for (const auto& sub : key->subkeys) n += Keys(sub.get());
        return n;
    }

    // Walks the SAM with a SID it does not hold, so that nothing is renamed and only the keys
    // that deny the administrator are widened and put back; the hive as written afterwards.
    void WalkSam(ntsim::Hive* after) {
        SidPairList pairs = {1, {"S-1-5-21-1-2-3"}, {"S-1-5-21-1000-2000-3000"}};
        EXPECT_EQ(SearchReplaceKey(HKEY_LOCAL_MACHINE, "SAM", "MACHINE\\SAM", &pairs), 0);
        HKEY sam = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SAM", 0, KEY_READ, &sam), 0);
        ASSERT_EQ(RegFlushKey(sam), 0);
        RegCloseKey(sam);
        ASSERT_EQ(ntsim::RegfLoadFile(Config() + "SAM", after), 0u);
    }
    // The keys whose DACL has an entry for sid.
    static int Naming(const ntsim::HiveKey* key, const ntsim::SidBytes& sid) {
        uint16_t control = 0;
        int n = 0;
        for (const ntsim::AceEntry& a : Dacl(key, &control))
            if (a.sid == sid) ++n;
        for (const auto& sub : key->subkeys) n += Naming(sub.get(), sid);
        return n;
    }
    static const ntsim::HiveKey* At(const ntsim::Hive& hive, const std::string& path) {
        const ntsim::HiveKey* key = hive.root.get();
        size_t i = 0;
        while (key && i <= path.size()) {
            size_t next = path.find('\\', i);
            if (next == std::string::npos) next = path.size();
            key = key->FindSubkey(path.substr(i, next - i));
            i = next + 1;
        }
        return key;
    }
    static std::vector<ntsim::AceEntry> Dacl(const ntsim::HiveKey* key, uint16_t* control) {
        std::vector<ntsim::AceEntry> aces;
        ntsim::SdView v;
        if (!key || !key->security ||
            ntsim::SdParseRelative(key->security->data(), key->security->size(), &v) != ERROR_SUCCESS)
            return aces;
        *control = v.control;
        if (v.dacl) ntsim::AclParse(v.dacl, v.daclLen, &aces);
        return aces;
    }
};

// NT 4.0's security API writes a DACL as it is given: the grant (GENERIC_ALL, stored as the
// key's rights) goes and every key ends with its own bytes.
TEST_F(RealKeySecurity, OnNt4WidenedKeysOfAnXpSamGetTheirOwnDescriptorsBack) {
    Start("4.0", "1381");
    ntsim::Hive before, after;
    ASSERT_EQ(ntsim::RegfLoadFile(kHives + "SAM", &before), 0u);
    WalkSam(&after);
    std::string names;
    EXPECT_EQ(Differences(before.root.get(), after.root.get(), "SAM", &names), 0) << names;
    EXPECT_GT(Keys(before.root.get()), 20);
}

// From Windows 2000 on the walk widens and puts back through the key's handle, so the
// security API's propagation never runs: every key of the hive, the widened ones and all
// below them, ends with its own descriptor, byte for byte.
class RealKeySecurityByVersion : public RealKeySecurity {
protected:
    void WalkKeepsEveryDescriptor(const char* version, const char* build) {
        Start(version, build);
        ntsim::Hive before, after;
        ASSERT_EQ(ntsim::RegfLoadFile(kHives + "SAM", &before), 0u);
        // The walk has to widen: the SAM's own key denies the administrator.
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SAM\\SAM", 0, KEY_ALL_ACCESS, &key), ERROR_ACCESS_DENIED);
        WalkSam(&after);
        std::string names;
        EXPECT_EQ(Differences(before.root.get(), after.root.get(), "SAM", &names), 0) << names;
        ntsim::SidBytes administrator;
        ASSERT_TRUE(ntsim::SidFromText("S-1-5-21-1292428093-1645522239-1547161642-500", &administrator));
        EXPECT_EQ(Naming(after.root.get(), administrator), 0);
    }
    // Reading the machine SID widens the policy keys of the SECURITY hive for a moment: they
    // and every key below them keep their descriptors byte for byte.
    void MachineSidReadKeepsEveryDescriptor(const char* version, const char* build) {
        Start(version, build);
        ntsim::Hive before, after;
        ASSERT_EQ(ntsim::RegfLoadFile(kHives + "SECURITY", &before), 0u);
        BYTE buffer[64];
        DWORD size = sizeof buffer;
        ReadMachineSid("Administrator", buffer, &size);
        {
            ntsim::SystemAccessScope system;
            HKEY security = nullptr;
            ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SECURITY", 0, KEY_READ, &security), 0);
            ASSERT_EQ(RegFlushKey(security), 0);
            RegCloseKey(security);
        }
        ASSERT_EQ(ntsim::RegfLoadFile(Config() + "SECURITY", &after), 0u);
        std::string names;
        EXPECT_EQ(Differences(before.root.get(), after.root.get(), "SECURITY", &names), 0) << names;
    }
};

TEST_F(RealKeySecurityByVersion, OnXpWidenedKeysOfAnXpSamGetTheirOwnDescriptorsBack) {
    WalkKeepsEveryDescriptor("5.1", "2600");
}
TEST_F(RealKeySecurityByVersion, On2000WidenedKeysOfAnXpSamGetTheirOwnDescriptorsBack) {
    WalkKeepsEveryDescriptor("5.0", "2195");
}
TEST_F(RealKeySecurityByVersion, OnXpReadingTheMachineSidLeavesTheSecurityHiveAsItWas) {
    MachineSidReadKeepsEveryDescriptor("5.1", "2600");
}
TEST_F(RealKeySecurityByVersion, On2000ReadingTheMachineSidLeavesTheSecurityHiveAsItWas) {
    MachineSidReadKeepsEveryDescriptor("5.0", "2195");
}

// On XP the security API gives a key it writes without protection the entries its parent
// passes on, and converts the keys below to automatic inheritance. The SAM's own key ends
// with its two entries followed by what HKLM\SAM passes on (full control for SYSTEM and the
// administrators, read for Everyone and RESTRICTED): a widening through SetNamedSecurityInfoA
// cannot be undone by writing the saved DACL the same way, which is why the walk does not.
TEST_F(RealKeySecurity, OnXpAWidenedKeyKeepsWhatItsParentPassesOn) {
    Start("5.1", "2600");
    ntsim::Hive before, after;
    ASSERT_EQ(ntsim::RegfLoadFile(kHives + "SAM", &before), 0u);
    char path[] = "MACHINE\\SAM\\SAM";
    PACL saved = nullptr, merged = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoA(path, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, &saved, nullptr,
                                    &descriptor),
              0u);
    EXPLICIT_ACCESS_A access;
    memset(&access, 0, sizeof access);
    char administrator[] = "Administrator";
    BuildExplicitAccessWithNameA(&access, administrator, GENERIC_ALL, GRANT_ACCESS, NO_INHERITANCE);
    ASSERT_EQ(SetEntriesInAclA(1, &access, saved, &merged), 0u);
    ASSERT_EQ(SetNamedSecurityInfoA(path, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, merged, nullptr), 0u);
    ASSERT_EQ(SetNamedSecurityInfoA(path, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, saved, nullptr), 0u);
    LocalFree(merged);
    LocalFree(descriptor);
    HKEY sam = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SAM", 0, KEY_READ, &sam), 0);
    ASSERT_EQ(RegFlushKey(sam), 0);
    RegCloseKey(sam);
    ASSERT_EQ(ntsim::RegfLoadFile(Config() + "SAM", &after), 0u);
    uint16_t control = 0, beforeControl = 0;
    std::vector<ntsim::AceEntry> was = Dacl(At(before, "SAM"), &beforeControl), now = Dacl(At(after, "SAM"), &control);
    ASSERT_EQ(was.size(), 2u);
    EXPECT_EQ(beforeControl & (SE_DACL_AUTO_INHERITED | SE_DACL_PROTECTED), 0);
    EXPECT_EQ(control & (SE_DACL_AUTO_INHERITED | SE_DACL_PROTECTED), SE_DACL_AUTO_INHERITED);
    ASSERT_EQ(now.size(), 6u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(now[i].sid, was[i].sid);
        EXPECT_EQ(now[i].mask, was[i].mask);
        EXPECT_EQ(now[i].flags, was[i].flags);
    }
    const char* passed[] = {"S-1-5-18", "S-1-5-32-544", "S-1-1-0", "S-1-5-12"};
    for (size_t i = 2; i < 6; ++i) {
        EXPECT_EQ(ntsim::SidToText(now[i].sid), passed[i - 2]);
        EXPECT_EQ(now[i].flags, INHERITED_ACE | CONTAINER_INHERIT_ACE);
    }
    // The keys below changed too.
    std::string names;
    EXPECT_GT(Differences(At(before, "SAM"), At(after, "SAM"), "SAM\\SAM", &names), 1) << names;
}

}  // namespace
