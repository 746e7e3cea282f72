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
#include "ntsim/registry/regf.h"
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

// On XP the security API gives a key it writes without protection the entries its parent
// passes on, and converts the keys below to automatic inheritance. The SAM's own key ends
// with its two entries followed by what HKLM\SAM passes on (full control for SYSTEM and the
// administrators, read for Everyone and RESTRICTED): the walk's widening through
// SetNamedSecurityInfoA cannot be undone by writing the saved DACL the same way.
TEST_F(RealKeySecurity, OnXpAWidenedKeyKeepsWhatItsParentPassesOn) {
    Start("5.1", "2600");
    ntsim::Hive before, after;
    ASSERT_EQ(ntsim::RegfLoadFile(kHives + "SAM", &before), 0u);
    WalkSam(&after);
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
    // The grants themselves are gone: no key names the administrator's account.
    ntsim::SidBytes administrator;
    ASSERT_TRUE(ntsim::SidFromText("S-1-5-21-1292428093-1645522239-1547161642-500", &administrator));
    EXPECT_EQ(Naming(after.root.get(), administrator), 0);
}

}  // namespace
