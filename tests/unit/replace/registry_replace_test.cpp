// The registry search-and-replace walk on a simulated machine: exclusions, value
// contents and names, key renames, user hive roots, access widening and its
// undoing, links, tree removal, and every failure the walk reports.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/job_settings.h"
#include "core/output.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/security/sd.h"
#include "replace/registry_replace.h"
#include "unit/engine/engine_fixture.h"
#include "unit/engine/stream_text.h"

namespace {

const char* kOld = "S-1-5-21-1-2-3";
const char* kNew = "S-1-5-21-1000-2000-3000";
const std::string kOldS = kOld, kNewS = kNew;
const std::string kRoot = "MACHINE\\SOFTWARE\\";

class RegistryWalk : public EngineTest {
protected:
    FILE* log_ = nullptr;
    SidPairList pairs_ = {1, {kOld}, {kNew}};

    void SetUp() override {
        EngineTest::SetUp();
        Start();
        log_ = tmpfile();
        logStream = log_;
        verboseLog = 0;
        Make("Walk");
    }
    void TearDown() override {
        ntsim::FaultClearAll();
        logStream = nullptr;
        verboseLog = 0;
        if (log_) fclose(log_);
        EngineTest::TearDown();
    }
    static HKEY Open(const std::string& path) {
        HKEY key = nullptr;
        return RegOpenKeyExA(HKEY_LOCAL_MACHINE, ("SOFTWARE\\" + path).c_str(), 0, KEY_ALL_ACCESS, &key) == 0 ? key
                                                                                                              : nullptr;
    }
    static void Make(const std::string& path, const char* cls = nullptr) {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, ("SOFTWARE\\" + path).c_str(), 0, const_cast<char*>(cls), 0,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  0);
        RegCloseKey(key);
    }
    static void Set(const std::string& path, const std::string& name, DWORD type, const std::string& data) {
        Make(path);
        HKEY key = Open(path);
        // A byte that is not a terminator just past the data: RegSetValueExA would take a
        // terminator there into a string, and the data is stored exactly as given.
        std::string buffer = data + "X";
        ASSERT_EQ(RegSetValueExA(key, name.c_str(), 0, type, (const BYTE*)buffer.data(), (DWORD)data.size()), 0);
        RegCloseKey(key);
    }
    static void Text(const std::string& path, const std::string& name, const std::string& text) {
        Set(path, name, REG_SZ, text + std::string(1, '\0'));
    }
    // A value's data, or "<error N>" when the key or value cannot be read.
    static std::string Read(HKEY root, const std::string& path, const std::string& name, DWORD* type = nullptr) {
        HKEY key = nullptr;
        char data[16384];
        DWORD size = sizeof data, t = 0;
        LONG err = RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key);
        if (!err) err = RegQueryValueExA(key, name.c_str(), nullptr, &t, (BYTE*)data, &size);
        if (key) RegCloseKey(key);
        if (type) *type = t;
        return err ? "<error " + std::to_string(err) + ">" : std::string(data, size);
    }
    static std::string Get(const std::string& path, const std::string& name, DWORD* type = nullptr) {
        return Read(HKEY_LOCAL_MACHINE, "SOFTWARE\\" + path, name, type);
    }
    static std::string Z(const std::string& text) { return text + std::string(1, '\0'); }
    static bool Exists(const std::string& path) {
        HKEY key = nullptr;
        bool found = RegOpenKeyExA(HKEY_LOCAL_MACHINE, ("SOFTWARE\\" + path).c_str(), 0, READ_CONTROL, &key) == 0;
        if (found) RegCloseKey(key);
        return found;
    }
    // Owner, group and DACL of a key in self-relative form.
    static std::vector<BYTE> Security(const std::string& path) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        PSID owner, group;
        PACL dacl;
        if (GetNamedSecurityInfoA((kRoot + path).c_str(), SE_REGISTRY_KEY, 7, &owner, &group, &dacl, nullptr, &sd))
            return {};
        std::vector<BYTE> bytes((BYTE*)sd, (BYTE*)sd + GetSecurityDescriptorLength(sd));
        LocalFree(sd);
        return bytes;
    }
    static void SetDacl(const std::string& path, const std::vector<ntsim::AceEntry>& aces, DWORD protect = 0) {
        std::vector<uint8_t> acl = ntsim::AclBuild(aces);
        ASSERT_EQ(
            SetNamedSecurityInfoA(const_cast<char*>((kRoot + path).c_str()), SE_REGISTRY_KEY,
                                  DACL_SECURITY_INFORMATION | protect, nullptr, nullptr, (PACL)acl.data(), nullptr),
            0u);
    }
    int Walk(const std::string& name = "Walk") {
        HKEY software;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_ALL_ACCESS, &software), 0);
        int result = SearchReplaceKey(software, name.c_str(), (kRoot + name).c_str(), &pairs_);
        RegCloseKey(software);
        return result;
    }
    std::string Log() { return StreamText(log_); }
    static std::vector<std::string> Errors() {
        std::vector<std::string> texts;
        for (const std::string& box : Boxes()) texts.push_back(box.substr(box.find("]: \"") + 4, std::string::npos));
        for (std::string& t : texts) t.pop_back();
        return texts;
    }
    static int TempHives() {
        char folder[MAX_PATH];
        GetWorkFolder(folder);
        WIN32_FIND_DATAA found;
        HANDLE find = FindFirstFileA((std::string(folder) + "HIV*.TMP").c_str(), &found);
        if (find == INVALID_HANDLE_VALUE) return 0;
        int count = 1;
        while (FindNextFileA(find, &found)) ++count;
        FindClose(find);
        return count;
    }
    static void Fault(const char* function, uint32_t error, long nth = 0, const char* pattern = "") {
        ntsim::FaultAdd({function, error, nth, pattern, false});
    }
};

ntsim::AceEntry Allow(uint32_t mask, std::vector<uint8_t> sid, uint8_t type = ACCESS_ALLOWED_ACE_TYPE) {
    ntsim::AceEntry e;
    e.type = type;
    e.mask = mask;
    e.sid = std::move(sid);
    return e;
}

}  // namespace

TEST_F(RegistryWalk, ExcludedKeysAreLeftAlone) {
    for (const char* path : {"Walk\\PERFLIB", "Walk\\Deep\\pErFlIb", "Walk\\productoptions"}) Text(path, "v", kOldS);
    // The SAM's alias membership index is renamed like any key, but only a whole old SID:
    // S-1-5-21-1-2-33 is another domain that starts with the same text.
    Set("Walk\\Aliases\\Members\\S-1-5-21-1-2-3\\000001F4", "", 1, std::string("\x20\x02\0\0", 4));
    Set("Walk\\Aliases\\Members\\S-1-5-21-1-2-33\\000001F4", "", 1, std::string("\x20\x02\0\0", 4));
    EXPECT_EQ(Walk(), 0);
    for (const char* path : {"Walk\\PERFLIB", "Walk\\Deep\\pErFlIb", "Walk\\productoptions"})
        EXPECT_EQ(Get(path, "v"), Z(kOldS)) << path;
    EXPECT_EQ(Get("Walk\\Aliases\\Members\\" + kNewS + "\\000001F4", ""), std::string("\x20\x02\0\0", 4));
    EXPECT_FALSE(Exists("Walk\\Aliases\\Members\\S-1-5-21-1-2-3"));
    EXPECT_TRUE(Exists("Walk\\Aliases\\Members\\S-1-5-21-1-2-33\\000001F4"));

    // Whole paths, in any case; the name and path being missing is an error.
    HKEY system;
    ASSERT_EQ(
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Clone", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &system, nullptr),
        0);
    RegSetValueExA(system, "v", 0, REG_SZ, (const BYTE*)kOld, (DWORD)strlen(kOld) + 1);
    RegCloseKey(system);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM", 0, KEY_ALL_ACCESS, &system), 0);
    EXPECT_EQ(SearchReplaceKey(system, "Clone", "machine\\system\\clone", &pairs_), 0);
    EXPECT_EQ(SearchReplaceKey(system, nullptr, "MACHINE\\SYSTEM\\Clone", &pairs_), -1);
    EXPECT_EQ(SearchReplaceKey(system, "Clone", nullptr, &pairs_), -1);
    EXPECT_EQ(SearchReplaceKey(system, "Missing", "MACHINE\\SYSTEM\\Missing", &pairs_), 0);
    RegCloseKey(system);
    EXPECT_EQ(Read(HKEY_LOCAL_MACHINE, "SYSTEM\\Clone", "v"), Z(kOldS));
    // The control-set link and the messaging profiles, by their whole paths.
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Linked", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
    RegSetValueExA(key, "v", 0, REG_SZ, (const BYTE*)kOld, (DWORD)strlen(kOld) + 1);
    RegCloseKey(key);
    Text("Microsoft\\Windows Messaging Subsystem\\Profiles\\" + kOldS, "v", kOldS);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM", 0, KEY_ALL_ACCESS, &system), 0);
    EXPECT_EQ(SearchReplaceKey(system, "CurrentControlSet", "MACHINE\\SYSTEM\\CurrentControlSet", &pairs_), 0);
    RegCloseKey(system);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft", 0, KEY_ALL_ACCESS, &key), 0);
    EXPECT_EQ(SearchReplaceKey(key, "Windows Messaging Subsystem",
                               "MACHINE\\SOFTWARE\\Microsoft\\Windows Messaging Subsystem", &pairs_), 0);
    RegCloseKey(key);
    EXPECT_EQ(Read(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Linked", "v"), Z(kOldS));
    EXPECT_EQ(Get("Microsoft\\Windows Messaging Subsystem\\Profiles\\" + kOldS, "v"), Z(kOldS));
    EXPECT_TRUE(Errors().empty());
}

TEST_F(RegistryWalk, StringValuesAreRewrittenOncePerPairAndKeepTheirType) {
    SidPairList two = {2, {kOld, "S-1-5-21-7-8-9"}, {kNew, "S-1-5-21-70-80-90"}};
    pairs_ = two;
    Text("Walk", "twice", kOldS + ";" + kOldS + ";S-1-5-21-7-8-9");
    Set("Walk", "expand", REG_EXPAND_SZ, Z("%SystemRoot%\\" + kOldS));
    Set("Walk", "binary", REG_BINARY, kOldS);
    Set("Walk", "multi", REG_MULTI_SZ, Z("first") + Z("x" + kOldS) + Z("last") + Z(""));
    Set("Walk", "unterminated", REG_MULTI_SZ, Z("a") + Z(kOldS));
    EXPECT_EQ(Walk(), 0);
    DWORD type;
    EXPECT_EQ(Get("Walk", "twice"), Z(kNewS + ";" + kOldS + ";S-1-5-21-70-80-90"));
    EXPECT_EQ(Get("Walk", "expand", &type), Z("%SystemRoot%\\" + kNewS));
    EXPECT_EQ(type, (DWORD)REG_EXPAND_SZ);
    EXPECT_EQ(Get("Walk", "binary", &type), kOldS);
    EXPECT_EQ(type, (DWORD)REG_BINARY);
    EXPECT_EQ(Get("Walk", "multi"), Z("first") + Z("x" + kNewS) + Z("last") + Z(""));
    EXPECT_EQ(Get("Walk", "unterminated"), Z("a") + Z(kNewS));  // no closing empty string added
    EXPECT_NE(Log().find("Renaming value contents of: expand\n"), std::string::npos);
    EXPECT_TRUE(Errors().empty());
}

// Only the SID texts change: a NUL inside a string, an empty string inside a list, a
// missing terminator and every byte after them stay; and any change marks the job changed.
TEST_F(RegistryWalk, StringDataKeepsEveryOtherByteAndMarksTheJobChanged) {
    jobSettings->changesMade = FALSE;
    const std::string embedded = kOldS + std::string(1, '\0') + "tail " + kOldS + std::string(1, '\0');
    Set("Walk", "embedded", REG_SZ, embedded);
    Set("Walk", "gap", REG_MULTI_SZ, Z("a") + Z("") + Z(kOldS) + Z(""));
    Set("Walk", "bare", REG_SZ, "x" + kOldS);
    Set("Walk", "listEnd", REG_MULTI_SZ, Z("a") + "b" + kOldS);
    EXPECT_EQ(Walk(), 0);
    EXPECT_EQ(Get("Walk", "embedded"), kNewS + std::string(1, '\0') + "tail " + kNewS + std::string(1, '\0'));
    EXPECT_EQ(Get("Walk", "gap"), Z("a") + Z("") + Z(kNewS) + Z(""));
    EXPECT_EQ(Get("Walk", "bare"), "x" + kNewS);
    EXPECT_EQ(Get("Walk", "listEnd"), Z("a") + "b" + kNewS);
    EXPECT_EQ(jobSettings->changesMade, (DWORD)TRUE) << "a value-only change is a change";
    EXPECT_TRUE(Errors().empty());
}

// The output of a string value is made at its first replacement: without memory there,
// the value is reported and keeps its data, and the walk goes on.
TEST_F(RegistryWalk, NoMemoryForAReplacedStringLeavesItAsItWas) {
    Set("Walk", "a", REG_SZ, Z("plain"));
    Set("Walk", "v", REG_MULTI_SZ, Z("first") + Z(kOldS) + Z(""));
    Fault("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY, 5);  // the path, the buffers, two pieces, then the output
    EXPECT_EQ(Walk(), 0);
    ntsim::FaultClearAll();
    EXPECT_EQ(Errors(), (std::vector<std::string>{"Error: SR Out of memory",
                                                  "Error: SR failed trying to replace value contents of 'v'"}));
    EXPECT_EQ(Get("Walk", "v"), Z("first") + Z(kOldS) + Z(""));
    EXPECT_EQ(Get("Walk", "a"), Z("plain"));
}

// A value renamed onto an existing value of the new name is refused: both stay.
TEST_F(RegistryWalk, ValueRenameOntoAnExistingValueIsRefused) {
    Text("Walk", "v-" + kOldS, "old " + kOldS);
    Text("Walk", "v-" + kNewS, "already here");
    EXPECT_EQ(Walk(), 0);
    EXPECT_EQ(Get("Walk", "v-" + kNewS), Z("already here"));
    EXPECT_EQ(Get("Walk", "v-" + kOldS), Z("old " + kNewS));
    EXPECT_EQ(Errors(), std::vector<std::string>{"Error: SR cannot rename value 'v-" + kOldS +
                                                 "': a value named 'v-" + kNewS + "' exists"});
}

// A refused rename is reported once, however many renames after it in the same key send
// the walk back over the key's values (each report is a box that halts an unattended run).
// Two refusals in one key are two reports; the other values are renamed all the same.
TEST_F(RegistryWalk, ARefusedValueRenameIsReportedOnceInItsKey) {
    Text("Walk", "a-" + kOldS, "first");
    Text("Walk", "a-" + kNewS, "already here");
    Text("Walk", "b-" + kOldS, "second");
    Text("Walk", "c-" + kOldS, "third " + kOldS);
    Text("Walk", "d-" + kOldS, "fourth");
    Text("Walk", "d-" + kNewS, "also here");
    Text("Walk", "e-" + kOldS, "fifth");
    EXPECT_EQ(Walk(), 0);
    EXPECT_EQ(Errors(), (std::vector<std::string>{
                            "Error: SR cannot rename value 'a-" + kOldS + "': a value named 'a-" + kNewS + "' exists",
                            "Error: SR cannot rename value 'd-" + kOldS + "': a value named 'd-" + kNewS + "' exists"}));
    EXPECT_EQ(Get("Walk", "a-" + kOldS), Z("first"));
    EXPECT_EQ(Get("Walk", "a-" + kNewS), Z("already here"));
    EXPECT_EQ(Get("Walk", "d-" + kOldS), Z("fourth"));
    EXPECT_EQ(Get("Walk", "d-" + kNewS), Z("also here"));
    EXPECT_EQ(Get("Walk", "b-" + kNewS), Z("second"));
    EXPECT_EQ(Get("Walk", "c-" + kNewS), Z("third " + kNewS));
    EXPECT_EQ(Get("Walk", "e-" + kNewS), Z("fifth"));
    for (const char* renamed : {"b-", "c-", "e-"}) EXPECT_EQ(Get("Walk", renamed + kOldS), "<error 2>") << renamed;
    // Seven values before, seven after: nothing lost, nothing doubled.
    HKEY key = Open("Walk");
    DWORD values = 0;
    ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                               nullptr, nullptr),
              0);
    RegCloseKey(key);
    EXPECT_EQ(values, 7u);
}

TEST_F(RegistryWalk, ValueNamesAreRenamedUnlessTheirDataIsEmpty) {
    Set("Walk", "n-" + kOldS, REG_DWORD, std::string("\x01\x02\x03\x04", 4));
    Set("Walk", "empty-" + kOldS, REG_SZ, "");
    Text("Walk", "both-" + kOldS, kOldS);
    EXPECT_EQ(Walk(), 0);
    DWORD type;
    EXPECT_EQ(Get("Walk", "n-" + kNewS, &type), std::string("\x01\x02\x03\x04", 4));
    EXPECT_EQ(type, (DWORD)REG_DWORD);
    EXPECT_EQ(Get("Walk", "n-" + kOldS), "<error 2>");
    EXPECT_EQ(Get("Walk", "empty-" + kOldS), "");
    EXPECT_EQ(Get("Walk", "both-" + kNewS), Z(kNewS));
    EXPECT_EQ(Get("Walk", "both-" + kOldS), "<error 2>");
    EXPECT_NE(Log().find("Renaming value: n-" + kOldS + "\n"), std::string::npos);
}

TEST_F(RegistryWalk, RenamedKeyKeepsItsContentsClassAndSecurity) {
    const std::string old = "Walk\\" + kOldS + "-1000";
    Make(old, "OwnClass");
    Text(old, "plain", "unchanged");
    Set(old, "bin", REG_BINARY, std::string("\0\1\2", 3));
    Text(old + "\\Child\\Grandchild", "g", kOldS);
    Make(old + "\\" + kOldS);  // renamed inside the renamed copy
    for (const char* sibling : {"Walk\\A", "Walk\\S-1-5-21-1-2-3-1001", "Walk\\Zed"}) Text(sibling, "v", kOldS);
    SetDacl(old, {Allow(KEY_ALL_ACCESS, ntsim::SidBuiltin(544)), Allow(KEY_READ, ntsim::SidBuiltin(545))});
    std::vector<BYTE> security = Security(old);
    ASSERT_FALSE(security.empty());

    EXPECT_EQ(Walk(), 0);
    const std::string now = "Walk\\" + kNewS + "-1000";
    EXPECT_FALSE(Exists(old));
    EXPECT_EQ(Get(now, "plain"), Z("unchanged"));
    EXPECT_EQ(Get(now, "bin"), std::string("\0\1\2", 3));
    EXPECT_EQ(Get(now + "\\Child\\Grandchild", "g"), Z(kNewS));
    EXPECT_TRUE(Exists(now + "\\" + kNewS));
    EXPECT_EQ(Security(now), security);
    HKEY key = Open(now);
    char cls[64];
    DWORD clsSize = sizeof cls;
    ASSERT_EQ(RegQueryInfoKeyA(key, cls, &clsSize, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr),
              0);
    RegCloseKey(key);
    EXPECT_STREQ(cls, "OwnClass");
    for (const std::string& s : {std::string("Walk\\A"), "Walk\\" + kNewS + "-1001", std::string("Walk\\Zed")})
        EXPECT_EQ(Get(s, "v"), Z(kNewS)) << s;
    EXPECT_EQ(TempHives(), 0);
    EXPECT_EQ(jobSettings->changesMade, (DWORD)TRUE);

    // Without the right to read the SACL, owner, group and DACL are still copied.
    Make("Walk\\" + kOldS + "-2000");
    SetDacl("Walk\\" + kOldS + "-2000",
            {Allow(KEY_ALL_ACCESS, ntsim::SidBuiltin(544)), Allow(KEY_READ, ntsim::SidBuiltin(545))});
    security = Security("Walk\\" + kOldS + "-2000");
    Fault("RegGetKeySecurity", ERROR_PRIVILEGE_NOT_HELD, 1);
    EXPECT_EQ(Walk(), 0);
    EXPECT_EQ(Security("Walk\\" + kNewS + "-2000"), security);
    EXPECT_NE(Log().find("Renaming subkey: MACHINE\\SOFTWARE\\Walk\\" + kOldS + "-1000\n"), std::string::npos);
    EXPECT_TRUE(Errors().empty());
}

TEST_F(RegistryWalk, UserHiveRootIsOnlyAnnouncedAndItsContentsWalked) {
    Text("Src\\Software", "v", kOldS);
    Text("Src\\Software\\" + kOldS, "v", kOldS);
    HKEY src = Open("Src");
    ASSERT_EQ(RegSaveKeyA(src, "c:\\user.dat", nullptr), 0);
    RegCloseKey(src);
    ASSERT_EQ(RegLoadKeyA(HKEY_USERS, kOld, "c:\\user.dat"), 0);
    // A key below the root, renamed after a grant: its DACL goes back by its new path.
    const std::string user = "USERS\\" + kOldS + "\\Software\\";
    std::vector<uint8_t> acl = ntsim::AclBuild({Allow(KEY_ALL_ACCESS, ntsim::SidLocalSystem())});
    auto setDacl = [](const std::string& path, std::vector<uint8_t>& bytes) {
        return SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION,
                                     nullptr, nullptr, (PACL)bytes.data(), nullptr);
    };
    ASSERT_EQ(setDacl(user + kOldS, acl), 0u);
    verboseLog = 1;
    EXPECT_EQ(SearchReplaceKey(HKEY_USERS, kOld, ("USERS\\" + kOldS).c_str(), &pairs_), 0);
    EXPECT_NE(Log().find("Information: Key '" + kOldS + "' to be renamed upon next boot\n"), std::string::npos);
    EXPECT_EQ(Read(HKEY_USERS, kOldS + "\\Software", "v"), Z(kNewS));
    EXPECT_EQ(Read(HKEY_USERS, kOldS + "\\Software\\" + kOldS, "v"), "<error 2>");
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoA((user + kNewS).c_str(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr,
                                    nullptr, &dacl, nullptr, &sd),
              0u);
    EXPECT_EQ(std::vector<BYTE>((BYTE*)dacl, (BYTE*)dacl + dacl->AclSize), acl);
    LocalFree(sd);
    std::vector<uint8_t> open = ntsim::AclBuild({Allow(KEY_ALL_ACCESS, ntsim::SidBuiltin(544))});
    ASSERT_EQ(setDacl(user + kNewS, open), 0u);
    EXPECT_EQ(Read(HKEY_USERS, kOldS + "\\Software\\" + kNewS, "v"), Z(kNewS));
    EXPECT_TRUE(Errors().empty());
}

TEST_F(RegistryWalk, DeniedKeyIsWalkedAfterAGrantAndGetsItsDaclBack) {
    Text("Walk\\Locked", "v", kOldS);
    Text("Walk\\Stuck", "v", kOldS);
    SetDacl("Walk\\Locked", {Allow(KEY_ALL_ACCESS, ntsim::SidLocalSystem())}, PROTECTED_DACL_SECURITY_INFORMATION);
    SetDacl("Walk\\Stuck", {Allow(KEY_ALL_ACCESS, ntsim::SidBuiltin(544), ACCESS_DENIED_ACE_TYPE),
                            Allow(KEY_ALL_ACCESS, ntsim::SidLocalSystem())});
    std::vector<BYTE> locked = Security("Walk\\Locked"), stuck = Security("Walk\\Stuck");
    EXPECT_EQ(Walk(), 0);
    EXPECT_EQ(Security("Walk\\Locked"), locked);
    EXPECT_EQ(Security("Walk\\Stuck"), stuck);
    EXPECT_EQ(Get("Walk\\Locked", "v"), "<error 5>");  // closed again
    SetDacl("Walk\\Locked", {Allow(KEY_ALL_ACCESS, ntsim::SidBuiltin(544))});
    SetDacl("Walk\\Stuck", {Allow(KEY_ALL_ACCESS, ntsim::SidBuiltin(544))});
    EXPECT_EQ(Get("Walk\\Locked", "v"), Z(kNewS));
    EXPECT_EQ(Get("Walk\\Stuck", "v"), Z(kOldS));  // an explicit deny outlasts three grants
    EXPECT_NE(Log().find("SR Error 5 querying information for 'Stuck'\n"), std::string::npos);

    // The DACL that cannot be put back makes the key's walk fail, and the operator is told.
    SetDacl("Walk\\Locked", {Allow(KEY_ALL_ACCESS, ntsim::SidLocalSystem())});
    Fault("RegSetKeySecurity", ERROR_ACCESS_DENIED, 2);
    HKEY walk = Open("Walk");
    EXPECT_EQ(SearchReplaceKey(walk, "Locked", (kRoot + "Walk\\Locked").c_str(), &pairs_), -1);
    RegCloseKey(walk);
    EXPECT_EQ(Errors(), std::vector<std::string>{"Error 5: SR could not restore the security of key '" + kRoot +
                                                 "Walk\\Locked'"});
}

TEST_F(RegistryWalk, SymbolicLinksAreSkipped) {
    Set("Walk\\Link", "", REG_LINK, "\\Registry\\Machine\\Elsewhere");
    Text("Walk\\Link", "v", kOldS);
    EXPECT_EQ(Walk(), 0);
    EXPECT_EQ(Get("Walk\\Link", "v"), Z(kOldS));
    EXPECT_EQ(Log().find("Skipping symbolic link"), std::string::npos);  // status line only
    EXPECT_EQ(Log().find("MACHINE\\SOFTWARE\\Walk\\Link\n"), std::string::npos);
    verboseLog = 1;
    EXPECT_EQ(Walk(), 0);
    EXPECT_NE(Log().find("Skipping symbolic link 'Link'\n"), std::string::npos);
    EXPECT_NE(Log().find("MACHINE\\SOFTWARE\\Walk\\Link\n"), std::string::npos);
}

TEST_F(RegistryWalk, DeleteKeyTreeResults) {
    HKEY software = Open("");
    EXPECT_EQ(DeleteKeyTree(software, "", nullptr), ERROR_BADKEY);
    EXPECT_EQ(DeleteKeyTree(software, nullptr, nullptr), ERROR_BADKEY);
    EXPECT_EQ(DeleteKeyTree(software, "Missing", nullptr), ERROR_BADKEY);
    std::string deep = "Tree";
    for (int i = 0; i < 12; ++i) {
        deep += "\\L" + std::to_string(i);
        Text(deep + "\\Side", "v", "x");
    }
    SetDacl("Tree\\L0\\L1", {Allow(KEY_READ, ntsim::SidLocalSystem())});  // needs a grant on the way
    Fault("GetNamedSecurityInfoA", ERROR_ACCESS_DENIED, 1);
    EXPECT_EQ(DeleteKeyTree(software, "Tree", (kRoot + "Tree").c_str()), ERROR_ACCESS_DENIED);
    Fault("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY, 1);
    EXPECT_EQ(DeleteKeyTree(software, "Tree", nullptr), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_TRUE(Exists(deep + "\\Side"));
    ntsim::FaultClearAll();
    EXPECT_EQ(DeleteKeyTree(software, "Tree", (kRoot + "Tree").c_str()), 0);
    EXPECT_FALSE(Exists("Tree"));
    RegCloseKey(software);
}

// One row per failure the walk reports: what it says, and that nothing was lost.
TEST_F(RegistryWalk, FailuresAreReportedAndLoseNothing) {
    const std::string oldKey = "Walk\\" + kOldS, newKey = "Walk\\" + kNewS;
    struct Row {
        const char* function;
        uint32_t error;
        long nth;
        std::string pattern;
        std::vector<std::string> errors;
        bool renamed;  // the key ends under its new name
    };
    const std::string other = "Error: SR failed renaming key '" + kOldS + "'";
    std::vector<Row> rows = {
        {"LocalAlloc", 8, 1, "", {"Error: SR Out of memory"}, false},
        {"LocalAlloc", 8, 2, "", {"Error: SR Out of memory"}, false},
        {"RegOpenKeyExA", 1009, 0, "*\\" + kOldS, {"SR Error 1009 opening key '" + kOldS + "'"}, false},
        {"RegQueryInfoKeyA", 1015, 0, "*\\" + kOldS, {}, false},
        {"GetTempFileNameA", 5, 0, "", {"Error 5 saving registry key '" + kOldS + "'", other}, false},
        {"RegSaveKeyA", 112, 0, "", {"Error 112 saving registry key '" + kOldS + "'", other}, false},
        {"RegCreateKeyExA",
         1009,
         0,
         "",
         {"Error 1009, disposition 0 creating new subkey '" + kNewS + "'", other},
         false},
        {"GetNamedSecurityInfoA", 5, 1, "", {other}, false},
        {"RegRestoreKeyA", 1009, 0, "", {"Error 1009 restoring hive to key '" + kNewS + "'", other}, false},
        // The first call is the grant on the old key, written through its handle.
        {"RegSetKeySecurity", 5, 2, "", {"Error 5 copying security to key '" + kNewS + "'"}, true},
        // The old tree stays; met again, it is not copied over its own copy.
        {"RegDeleteKeyA",
         5,
         0,
         "*\\Walk\\" + kOldS,
         {"Error 5 deleting hive '" + kOldS + "'", "Error 183, disposition 2 creating new subkey '" + kNewS + "'",
          other},
         true},
        // A value failure abandons the renamed copy, which the restarted walk meets again.
        {"RegSetValueExA",
         5,
         0,
         "",
         {"Error: SR failed in trying to replace value 'v'", "Error: SR failed in trying to replace value 'v'"},
         true},
        {"RegDeleteValueA",
         5,
         0,
         "",
         // Met again, the old value is not renamed onto the copy written the first time.
         {"Error: SR failed in trying to delete old value 'n-" + kOldS + "'",
          "Error: SR cannot rename value 'n-" + kOldS + "': a value named 'n-" + kNewS + "' exists"},
         true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.function);
        ntsim::TranscriptClear();
        Text(oldKey, "v", kOldS);
        Text(oldKey + "\\Child", "c", "keep");
        if (row.function == std::string("RegDeleteValueA")) Text(oldKey, "n-" + kOldS, "x");
        std::vector<BYTE> security = Security(oldKey);
        Fault(row.function, row.error, row.nth, row.pattern.c_str());
        int result = Walk();
        ntsim::FaultClearAll();
        EXPECT_EQ(Errors(), row.errors);
        EXPECT_EQ(result, row.function == std::string("LocalAlloc") && row.nth == 1 ? -1 : 0);
        const std::string& at = row.renamed ? newKey : oldKey;
        EXPECT_EQ(Get(at + "\\Child", "c"), Z("keep"));
        EXPECT_TRUE(Get(at, "v") == Z(kOldS) || Get(at, "v") == Z(kNewS));
        EXPECT_EQ(Exists(newKey), row.renamed);
        if (Exists(oldKey)) {
            EXPECT_EQ(Security(oldKey), security);  // no grant left behind
        }
        if (row.function == std::string("RegDeleteValueA")) {
            EXPECT_EQ(Get(newKey, "n-" + kOldS), Z("x"));
        }
        EXPECT_EQ(TempHives(), 0);
        HKEY walk = Open("Walk");
        DeleteKeyTree(walk, kOld, nullptr);
        DeleteKeyTree(walk, kNew, nullptr);
        RegCloseKey(walk);
    }
    EXPECT_NE(Log().find("SR Error 1015 querying information for '" + kOldS + "'\n"), std::string::npos);
}

TEST_F(RegistryWalk, OversizedTextsAndPathsAreReported) {
    // A new text far longer than the old one: the name buffers have 64 bytes of room.
    std::string huge(120, '9');
    pairs_ = {1, {kOld}, {huge.c_str()}};
    Text("Walk\\" + kOldS, "v", "keep");
    Text("Walk\\Values", "name-" + kOldS, "x");
    EXPECT_EQ(Walk(), 0);
    EXPECT_EQ(Get("Walk\\" + kOldS, "v"), Z("keep"));
    EXPECT_EQ(Get("Walk\\Values", "name-" + kOldS), Z("x"));
    std::vector<std::string> errors = Errors();
    ASSERT_EQ(errors.size(), 4u);
    EXPECT_EQ(errors[1], "SR Error during registry search replacing key name");
    EXPECT_EQ(errors[3], "Error: SR failed during replacement of value 'name-" + kOldS + "'");

    // Content that outgrows its 5120 bytes of room.
    std::string longer(6000, '7');
    pairs_ = {1, {kOld}, {longer.c_str()}};
    ntsim::TranscriptClear();
    Text("Content", "text", kOldS);
    Walk("Content");
    EXPECT_EQ(Get("Content", "text"), Z(kOldS));
    EXPECT_EQ(Errors().back(), "Error: SR failed trying to replace value contents of 'text'");

    // A key renamed beside a long-named child: the name fits, the path copy does not.
    pairs_ = {1, {kOld}, {huge.c_str()}};
    ntsim::TranscriptClear();
    Make("Grow\\" + kOldS + "\\" + std::string(200, 'c'));
    EXPECT_EQ(Walk("Grow"), 0);
    EXPECT_EQ(Errors(), std::vector<std::string>{"Error: SR failed renaming string"});
    EXPECT_TRUE(Exists("Grow\\" + huge + "\\" + std::string(200, 'c')));

    // Child paths past 1024 bytes: reported and passed over; the siblings still walked.
    pairs_ = {1, {kOld}, {kNew}};
    ntsim::TranscriptClear();
    std::string deep = "Long";
    for (int i = 0; i < 4; ++i) deep += "\\" + std::string(250, (char)('a' + i));
    Text(deep, "v", kOldS);
    Text("Long\\Next", "v", kOldS);
    EXPECT_EQ(Walk("Long"), 0);
    EXPECT_EQ(Errors(),
              std::vector<std::string>{"Error: SR registry path too long for subkey '" + std::string(250, 'd') + "'"});
    EXPECT_EQ(Get(deep, "v"), Z(kOldS));
    EXPECT_EQ(Get("Long\\Next", "v"), Z(kNewS));
}

TEST_F(RegistryWalk, ExistingKeyOfTheNewNameIsNotOverwritten) {
    Text("Walk\\" + kOldS, "v", "old");
    Text("Walk\\" + kNewS, "v", "new");
    EXPECT_EQ(Walk(), 0);
    EXPECT_EQ(Get("Walk\\" + kOldS, "v"), Z("old"));
    EXPECT_EQ(Get("Walk\\" + kNewS, "v"), Z("new"));
    EXPECT_EQ(Errors(), (std::vector<std::string>{"Error 183, disposition 2 creating new subkey '" + kNewS + "'",
                                                  "Error: SR failed renaming key '" + kOldS + "'"}));
}
