// The file security record on files of a simulated machine: which parts are rewritten
// and written, the restore byte for byte, every failure with its message, odd descriptors.
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/job_settings.h"
#include "core/sid_text.h"
#include "ntsim/files/security.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/security/access.h"
#include "replace/file_security.h"
#include "unit/identity/test_machine.h"

namespace {

using Bytes = std::vector<uint8_t>;
const std::string kOld = "S-1-5-21-1-2-3", kNew = "S-1-5-21-7-8-9";
const std::string kOldDomain = "S-1-5-21-4-5-6", kNewDomain = "S-1-5-21-10-11-12";

ntsim::AceEntry Ace(const std::string& sid, uint8_t flags = 0, uint8_t type = ACCESS_ALLOWED_ACE_TYPE) {
    ntsim::AceEntry e;
    e.type = type;
    e.flags = flags;
    e.mask = 0x1F01FF;
    e.sid = SidOf(sid);
    return e;
}

typedef std::vector<ntsim::AceEntry> Aces;

// A self-relative descriptor; no dacl = a null DACL, no sacl = none.
Bytes Descriptor(const std::string& owner, const std::string& group, const Aces* dacl, const Aces* sacl) {
    Bytes o = SidOf(owner), g = SidOf(group), d = dacl ? ntsim::AclBuild(*dacl) : Bytes(), s = sacl ? ntsim::AclBuild(*sacl) : Bytes();
    return ntsim::SdBuild(SE_DACL_PRESENT | (sacl ? SE_SACL_PRESENT : 0), o.data(), g.data(), sacl ? s.data() : nullptr,
                          dacl ? d.data() : nullptr);
}

// The same descriptor with its DACL and SACL protected from inheritance.
// The descriptor as NT stores it once these parts are written through the security API:
// the generic rights of their entries that apply to the file mapped to its specific rights.
Bytes WrittenBack(Bytes sd, DWORD parts) {
    ntsim::SdView v;
    if (ntsim::SdParseRelative(sd.data(), sd.size(), &v) != ERROR_SUCCESS) return sd;
    if ((parts & DACL_SECURITY_INFORMATION) && v.dacl)
        ntsim::AclMapGeneric(sd.data() + (v.dacl - sd.data()), v.daclLen, ntsim::FileGenericMapping());
    if ((parts & SACL_SECURITY_INFORMATION) && v.sacl)
        ntsim::AclMapGeneric(sd.data() + (v.sacl - sd.data()), v.saclLen, ntsim::FileGenericMapping());
    return sd;
}

Bytes Protected(Bytes sd) {
    sd[2] |= (uint8_t)(SE_DACL_PROTECTED & 0xFF);
    sd[3] |= (uint8_t)((SE_DACL_PROTECTED | SE_SACL_PROTECTED) >> 8);
    return sd;
}

std::string AclText(const uint8_t* acl) {
    Aces aces;
    if (!acl) return "null";
    if (!ntsim::AclParse(acl, ((const ACL*)acl)->AclSize, &aces)) return "bad";
    std::string out;
    for (const ntsim::AceEntry& a : aces) out += (out.empty() ? "" : " ") + std::to_string(a.flags) + ":" + ntsim::SidToText(a.sid);
    return out;
}

// "O:owner G:group D:flags:sid ... S:...", as stored with the file.
std::string Text(const Bytes& sd) {
    ntsim::SdView v;
    if (ntsim::SdParseRelative(sd.data(), sd.size(), &v) != ERROR_SUCCESS) return "unreadable";
    std::string out = "O:" + ntsim::SidToText(v.owner, v.ownerLen) + " G:" + ntsim::SidToText(v.group, v.groupLen);
    out += std::string(" D:") + (v.control & SE_DACL_PROTECTED ? "P:" : "") + AclText(v.dacl);
    if (v.control & SE_SACL_PRESENT) out += std::string(" S:") + (v.control & SE_SACL_PROTECTED ? "P:" : "") + AclText(v.sacl);
    return out;
}

class FileSecurityTest : public TestMachine {
protected:
    Sid old_, new_, oldDomain_, newDomain_;
    BytePairList machinePair_, bothPairs_;
    void SetUp() override {
        TestMachine::SetUp();
        Create();
        for (const char* name : {SE_SECURITY_NAME, SE_RESTORE_NAME, SE_TAKE_OWNERSHIP_NAME}) ASSERT_TRUE(EnablePrivilege(name, TRUE));
        ASSERT_TRUE(SidFromText(kOld.c_str(), &old_) && SidFromText(kNew.c_str(), &new_));
        ASSERT_TRUE(SidFromText(kOldDomain.c_str(), &oldDomain_) && SidFromText(kNewDomain.c_str(), &newDomain_));
        machinePair_ = {1, {(const BYTE*)&old_}, {(const BYTE*)&new_}};
        bothPairs_ = {2, {(const BYTE*)&old_, (const BYTE*)&oldDomain_}, {(const BYTE*)&new_, (const BYTE*)&newDomain_}};
        securityErrorText[0] = 0;
    }
    void TearDown() override {
        ntsim::FaultClearAll();
        TestMachine::TearDown();
    }
    void Store(const std::string& name, const Bytes& sd) {
        std::ofstream(Host(name)) << "x";
        ASSERT_EQ(setxattr(Host(name).c_str(), "user.ntsim.sd", sd.data(), sd.size(), 0), 0);
    }
    Bytes Stored(const std::string& name) {
        Bytes sd(65536);
        ssize_t n = getxattr(Host(name).c_str(), "user.ntsim.sd", sd.data(), sd.size());
        sd.resize(n < 0 ? 0 : (size_t)n);
        return sd;
    }
};

TEST(IsAccountSid, FiveSubAuthoritiesWithAnAccountRid) {
    const std::pair<std::string, bool> cases[] = {
        {kOld + "-500", true},  {kOld + "-501", true},  {kOld + "-502", true},   {kOld + "-1000", true},
        {"S-1-5-21-9-9-9-1105", true}, {kOld + "-4294967295", true}, {kOld + "-503", true}, {kOld + "-999", true},
        {kOld + "-513", true}, {kOld + "-499", false}, {kOld, false},          {kOld + "-4-500", false}, {"S-1-5-32-544", false},
        {"S-1-5-18", false},    {"S-1-1-0", false}};
    for (const auto& [text, account] : cases) EXPECT_EQ(IsAccountSid(SidOf(text).data()), account) << text;
    EXPECT_FALSE(IsAccountSid(nullptr));
}

TEST_F(FileSecurityTest, RewritesOnlyThePartsHoldingAnOldSidAndRestoresThemByteForByte) {
    const std::string admins = "S-1-5-32-544", system = "S-1-5-18", everyone = "S-1-1-0";
    Aces accountInDacl = {Ace(kOld + "-1001", 0x0B), Ace(everyone, 0x0A)}, clean = {Ace(admins, 0x0B)};
    Aces rid503 = {Ace(kOld + "-503")}, domains = {Ace(kOld + "-1001", 0x09, 1), Ace(kOldDomain + "-1105", 0x08), Ace(everyone, 0x08)};
    Aces audit = {Ace(kOldDomain + "-500", 0x80, SYSTEM_AUDIT_ACE_TYPE)}, none;
    const struct {
        const char* name;
        Bytes sd;
        bool domainPair;
        DWORD changed;
        std::string after;
    } cases[] = {
        {"admins own, None is the group, account in DACL", Descriptor(admins, kOld + "-513", &accountInDacl, nullptr), false, 6,
         "O:S-1-5-32-544 G:" + kNew + "-513 D:11:" + kNew + "-1001 10:S-1-1-0"},
        {"protected lists keep their protection", Protected(Descriptor(admins, system, &accountInDacl, &audit)), true, 12,
         "O:S-1-5-32-544 G:S-1-5-18 D:P:11:" + kNew + "-1001 10:S-1-1-0 S:P:128:" + kNewDomain + "-500"},
        {"old administrator owns, clean DACL", Descriptor(kOld + "-500", system, &clean, nullptr), false, 1,
         "O:" + kNew + "-500 G:S-1-5-18 D:11:S-1-5-32-544"},
        {"another domain's account owns", Descriptor("S-1-5-21-40-50-60-1105", system, &rid503, nullptr), false, 4,
         "O:S-1-5-21-40-50-60-1105 G:S-1-5-18 D:0:" + kNew + "-503"},
        {"RIDs 503 and 999 own", Descriptor(kOld + "-503", kOld + "-999", &rid503, nullptr), false, 7,
         "O:" + kNew + "-503 G:" + kNew + "-999 D:0:" + kNew + "-503"},
        {"RIDs 503 and 999 own, clean DACL", Descriptor(kOld + "-503", kOld + "-999", &clean, &none), false, 3,
         "O:" + kNew + "-503 G:" + kNew + "-999 D:11:S-1-5-32-544 S:"},
        {"both old SIDs in one pass", Descriptor(admins, system, &domains, &audit), true, 12,
         "O:S-1-5-32-544 G:S-1-5-18 D:9:" + kNew + "-1001 8:" + kNewDomain + "-1105 8:S-1-1-0 S:128:" + kNewDomain + "-500"},
        {"null DACL, empty SACL", Descriptor(admins, kOld + "-1000", nullptr, &none), false, 2,
         "O:S-1-5-32-544 G:" + kNew + "-1000 D:null S:"},
        {"null DACL, empty SACL, nothing old", Descriptor(admins, system, nullptr, &none), false, 0,
         "O:S-1-5-32-544 G:S-1-5-18 D:null S:"},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string name = "f" + std::to_string(n++) + ".txt";
        Store(name, c.sd);
        FileSecurity file(("C:\\" + name).c_str());
        ASSERT_FALSE(file.errorFlag) << FileSecurity::ErrorText();
        ASSERT_TRUE(file.ReadSecurity()) << "a second read releases the first";
        EXPECT_EQ(file.ReplaceSecuritySids(c.domainPair ? &bothPairs_ : &machinePair_), 0) << FileSecurity::ErrorText();
        EXPECT_EQ(file.changedParts, c.changed);
        EXPECT_EQ(Text(Stored(name)), c.after);
        if (c.changed == 0) {
            EXPECT_EQ(Stored(name), c.sd) << "nothing written";
        }
        EXPECT_EQ(file.RestoreSecurity(), c.changed ? 1 : 0);
        EXPECT_EQ(Stored(name), c.sd) << "as first read";
        EXPECT_FALSE(file.errorFlag);
    }
}

TEST_F(FileSecurityTest, EveryFailureIsDescribedAndLeavesTheSecurityAsItWas) {
    Aces dacl = {Ace(kOld + "-1000"), Ace("S-1-5-32-544")};
    Bytes sd = Descriptor("S-1-5-21-40-50-60-1105", "S-1-5-18", &dacl, nullptr);
    Store("f.txt", sd);
    auto expectFailure = [&](FileSecurity& file, int result, const std::string& text) {
        EXPECT_EQ(file.ReplaceSecuritySids(&machinePair_), result);
        EXPECT_EQ(std::string(file.ErrorText()), text);
        EXPECT_TRUE(file.errorFlag);
        EXPECT_EQ(file.changedParts, 0u);
        EXPECT_EQ(Stored("f.txt"), sd);
    };
    {   // Reading: an injected failure, a missing file, and ERROR_NONE_MAPPED, which counts as read.
        ntsim::FaultAdd({"GetNamedSecurityInfoA", ERROR_ACCESS_DENIED, 1, "C:\\f.txt", false});
        FileSecurity denied("C:\\f.txt");
        EXPECT_TRUE(denied.errorFlag && !denied.descriptor && !denied.dacl && !denied.owner);
        EXPECT_STREQ(FileSecurity::ErrorText(), "Error 5 obtaining security for 'C:\\f.txt'");
        EXPECT_EQ(denied.ReplaceSecuritySids(&machinePair_), 0);
        EXPECT_EQ(denied.RestoreSecurity(), 0);
        FileSecurity missing("C:\\nothing.txt");
        EXPECT_STREQ(FileSecurity::ErrorText(), "Error 2 obtaining security for 'C:\\nothing.txt'");
        ntsim::FaultAdd({"GetNamedSecurityInfoA", ERROR_NONE_MAPPED, 1, "C:\\f.txt", false});
        FileSecurity unmapped("C:\\f.txt");
        EXPECT_FALSE(unmapped.errorFlag);
        EXPECT_EQ(unmapped.ReplaceSecuritySids(&machinePair_), 0);
        EXPECT_EQ(Stored("f.txt"), sd);
        ntsim::FaultAdd({"LocalAlloc", ERROR_NOT_ENOUGH_MEMORY, 1, "", false});
        FileSecurity noMemory("C:\\f.txt");
        EXPECT_STREQ(FileSecurity::ErrorText(), "Error 8 obtaining security for 'C:\\f.txt'");
        EXPECT_FALSE(noMemory.ReadSecurity());
        EXPECT_STREQ(FileSecurity::ErrorText(), "Error 87 obtaining security for ''");
        ntsim::FaultClearAll();
    }
    {   // Writing: the owner of another domain goes back with the DACL and needs the restore privilege.
        FileSecurity file("C:\\f.txt");
        ASSERT_TRUE(EnablePrivilege(SE_RESTORE_NAME, FALSE));
        expectFailure(file, -1, "Error 1307 replacing security information for 'C:\\f.txt'");
        // The same owner with nothing old in the file: no write at all, so nothing to refuse.
        Aces clean = {Ace("S-1-5-32-544")};
        Store("clean.txt", Descriptor("S-1-5-21-40-50-60-1105", "S-1-5-18", &clean, nullptr));
        FileSecurity untouched("C:\\clean.txt");
        EXPECT_EQ(untouched.ReplaceSecuritySids(&machinePair_), 0) << FileSecurity::ErrorText();
        EXPECT_FALSE(untouched.errorFlag);
        ASSERT_TRUE(EnablePrivilege(SE_RESTORE_NAME, TRUE));
        ntsim::FaultAdd({"SetNamedSecurityInfoA", ERROR_WRITE_FAULT, 1, "C:\\f.txt", false});
        expectFailure(file, -1, "Error 29 replacing security information for 'C:\\f.txt'");
        ntsim::FaultAdd({"LocalAlloc", ERROR_NOT_ENOUGH_MEMORY, 2, "", false});
        expectFailure(file, -1, "Error 8 replacing security information for 'C:\\f.txt'");
        // Restoring: the rewritten security stays as written.
        ASSERT_EQ(file.ReplaceSecuritySids(&machinePair_), 0);
        Bytes rewritten = Stored("f.txt");
        ntsim::FaultAdd({"SetNamedSecurityInfoA", ERROR_WRITE_FAULT, 1, "C:\\f.txt", false});
        EXPECT_EQ(file.RestoreSecurity(), -1);
        EXPECT_STREQ(FileSecurity::ErrorText(), "Error 29 restoring security of 'C:\\f.txt'");
        EXPECT_EQ(Stored("f.txt"), rewritten);
        EXPECT_EQ(file.RestoreSecurity(), 1);
        EXPECT_EQ(Stored("f.txt"), sd);
    }
    {   // A rewrite that would break an ACL: an old SID whose bytes run into the next entry's
        // header, so that the new SID's bytes would make that entry's size 0.
        ASSERT_TRUE(SidFromText("S-1-5-21-786464-7-8", &old_));  // 20 00 0C 00: an entry of 12 bytes
        ASSERT_TRUE(SidFromText("S-1-5-21-1234-7-8", &new_));
        const BYTE* pattern = SidBytePattern(&old_);
        ntsim::AceEntry tail, next;
        tail.raw = {0x20, 0, 20, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        tail.raw.insert(tail.raw.end(), pattern, pattern + 10);
        next.raw.assign(pattern + 10, pattern + 22);
        Aces broken = {tail, next}, plain = {Ace(kOld + "-1000")};
        sd = Descriptor("S-1-5-18", "S-1-5-18", &broken, &plain);
        Store("f.txt", sd);
        FileSecurity inDacl("C:\\f.txt");
        expectFailure(inDacl, 1, "Error replacing DACL entries for 'C:\\f.txt'");
        sd = Descriptor("S-1-5-18", "S-1-5-18", &plain, &broken);
        Store("f.txt", sd);
        FileSecurity inSacl("C:\\f.txt");
        expectFailure(inSacl, 2, "Error replacing SACL entries for 'C:\\f.txt'");
    }
}

// Random ACL contents (unknown entry types with SID bytes at any offset, random flags,
// slack past the entries), random patterns, and descriptors with corrupted bytes: every
// outcome is a result code, and a successful rewrite restores to the bytes first stored.
TEST_F(FileSecurityTest, OddDescriptorsGiveResultCodesAndStayInBounds) {
    std::mt19937 rng(20261208);
    auto pick = [&](uint32_t n) { return (uint32_t)(rng() % n); };
    const std::string sids[] = {kOld + "-1000", kOld + "-500", kOldDomain + "-501", kOld, "S-1-1-0",
                                kOld + "-4-5-6-7-8-9-10-11-12-13-14", "S-1-5-32-544"};
    int rewritten = 0, refused = 0, unreadable = 0;
    for (int round = 0; round < 1000; ++round) {
        Sid pair[2] = {old_, new_};
        if (pick(3) == 0)
            for (Sid& s : pair) for (size_t i = 0; i < sizeof s; ++i) ((BYTE*)&s)[i] = (BYTE)rng();
        BytePairList pairs = {1, {(const BYTE*)&pair[0]}, {(const BYTE*)&pair[1]}};
        auto randomAcl = [&]() {
            Aces aces(pick(6));
            for (ntsim::AceEntry& a : aces) {
                if (pick(3)) {
                    a = Ace(sids[pick(7)], (uint8_t)rng(), (uint8_t)pick(4));
                    continue;
                }
                a.raw.resize(4 + 4 * (1 + pick(12)));
                for (uint8_t& b : a.raw) b = (uint8_t)rng();
                size_t at = pick((uint32_t)a.raw.size() - 4);
                memcpy(&a.raw[4], SidBytePattern(&pair[0]), std::min<size_t>(22, a.raw.size() - 4));
                if (at + 22 <= a.raw.size() && at >= 2) memcpy(&a.raw[at], SidBytePattern(&pair[0]), 22);
                a.raw[0] = (uint8_t)(4 + pick(250)), a.raw[2] = (uint8_t)a.raw.size(), a.raw[3] = 0;
            }
            Bytes acl = ntsim::AclBuild(aces);
            for (uint32_t slack = 4 * pick(8); slack; --slack) acl.push_back((uint8_t)rng());
            acl[2] = (uint8_t)acl.size(), acl[3] = (uint8_t)(acl.size() >> 8);
            // The old SID's bytes anywhere past the header, across entry boundaries too.
            if (acl.size() >= 30 && pick(2)) memcpy(&acl[8 + pick((uint32_t)acl.size() - 29)], SidBytePattern(&pair[0]), 22);
            return acl;
        };
        Bytes dacl = randomAcl(), sacl = randomAcl(), owner = SidOf(sids[pick(7)]), group = SidOf(sids[pick(7)]);
        Bytes sd = ntsim::SdBuild(SE_DACL_PRESENT | SE_SACL_PRESENT, owner.data(), group.data(), sacl.data(),
                                  pick(5) ? dacl.data() : nullptr);
        bool corrupted = pick(3) == 0;
        if (corrupted)
            for (uint32_t k = 1 + pick(4); k; --k) sd[pick((uint32_t)sd.size())] = (uint8_t)rng();
        Store("odd.txt", sd);
        FileSecurity file("C:\\odd.txt");
        unreadable += file.errorFlag;
        int result = file.ReplaceSecuritySids(&pairs);
        ASSERT_TRUE(result == 0 || result == 1 || result == 2 || result == -1) << round << ": " << result;
        if (result != 0) {
            ++refused;
            EXPECT_EQ(Stored("odd.txt"), sd) << round;
            continue;
        }
        rewritten += file.changedParts != 0;
        EXPECT_EQ(file.RestoreSecurity(), file.changedParts ? 1 : 0) << round << ": " << FileSecurity::ErrorText();
        if (!corrupted) {
            EXPECT_EQ(Stored("odd.txt"), WrittenBack(sd, file.changedParts)) << round;
        }
    }
    EXPECT_GT(rewritten, 30);
    EXPECT_GT(unreadable, 10);
    RecordProperty("rewritten", rewritten), RecordProperty("refused", refused), RecordProperty("unreadable", unreadable);
}

}  // namespace
