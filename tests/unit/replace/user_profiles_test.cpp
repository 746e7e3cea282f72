// The user profile hives on a preset machine: which profiles are loaded, the copies in
// the work directory, the logged-on user's hive rewritten in place, and after a restart
// every profile's hive file holding the new SID (read from the files themselves).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/job_settings.h"
#include "core/output.h"
#include "core/sid_text.h"
#include "engine/hive_copies.h"
#include "ntsim/machine/boot.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/machine/machine.h"
#include "ntsim/kernel/process.h"
#include "ntsim/registry/regf.h"
#include "ntsim/security/sd.h"
#include "ntsim/user/operator.h"
#include "replace/registry_replace.h"
#include "replace/user_profiles.h"
#include "ntsim/security/sam_records.h"
#include "unit/engine/stream_text.h"
#include "unit/fresh_machine.h"

namespace {

const std::string kOld = "S-1-5-21-1004336348-1177238915-682003330";  // the presets' machine SID
const std::string kNew = "S-1-5-21-1111111111-2222222222-3333333333";
using Bytes = std::vector<uint8_t>;

Bytes FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
bool Contains(const Bytes& data, const Bytes& part) {
    return std::search(data.begin(), data.end(), part.begin(), part.end()) != data.end();
}
Bytes Ascii(const std::string& text) { return Bytes(text.begin(), text.end()); }
Bytes Utf16(const std::string& text) {
    Bytes out;
    for (char c : text) out.push_back((uint8_t)c), out.push_back(0);
    return out;
}
// Bytes 8..23 of a machine SID: its sub-authorities, as every account SID below it holds them.
Bytes Binary(const std::string& text) {
    Bytes sid;
    EXPECT_TRUE(ntsim::SidFromText(text, &sid));
    return Bytes(sid.begin() + 8, sid.end());
}

class UserProfiles : public FreshMachine {
protected:
    FILE* log_ = nullptr;
    Sid old_, new_;

    void SetUp() override {
        FreshMachine::SetUp();
        MakeMachine("xp-standalone");
        Attach("Administrator");
        CreateJobSettings();
        logStream = log_ = tmpfile();
        verboseLog = 1;
        debugMode = 1;
        ASSERT_TRUE(SidFromText(kOld.c_str(), &old_) && SidFromText(kNew.c_str(), &new_));
        jobSettings->originalSid = &old_;
        jobSettings->newSid = &new_;
        ASSERT_EQ(CreateWorkDirectory(), 1);
    }
    void TearDown() override {
        ntsim::FaultClearAll();
        if (jobSettings) jobSettings->originalSid = jobSettings->newSid = nullptr;
        logStream = nullptr;  // the test's own stream, closed below
        DestroyJobSettings();
        verboseLog = 0, debugMode = 0;
        if (log_) fclose(log_);
        FreshMachine::TearDown();
    }
    std::string Host(std::string windows) {  // a path on drive C
        std::replace(windows.begin(), windows.end(), '\\', '/');
        return dir_ + "/drives/c/" + windows.substr(3);
    }
    std::string Work(const std::string& rest) { return Host(std::string(jobSettings->workDirectory) + "\\" + rest); }
    static std::string Account(uint32_t rid) { return kOld + "-" + std::to_string(rid); }
    // Text and binary SIDs in a profile hive that the preset does not write itself.
    static void Plant(HKEY hive) {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(hive, "Software\\Planted", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
        std::string name = "Owner " + Account(1000), data = "C:\\Data\\" + Account(1000);
        ASSERT_EQ(RegSetValueExA(key, name.c_str(), 0, REG_SZ, (const BYTE*)data.c_str(), (DWORD)data.size() + 1), 0);
        RegCloseKey(key);
    }
};

TEST_F(UserProfiles, EveryUserHiveIsRewrittenAndTakesEffectAtTheNextBoot) {
    const std::string admin = Account(500), user = Account(1000), departed = Account(1001);
    // The ordinary user's hive is not loaded: it is planted through a load of its own.
    ASSERT_EQ(RegLoadKeyA(HKEY_USERS, "Plant", "C:\\WINNT\\Profiles\\User1\\ntuser.dat"), 0);
    HKEY planted;
    ASSERT_EQ(RegOpenKeyExA(HKEY_USERS, "Plant", 0, KEY_ALL_ACCESS, &planted), 0);
    Plant(planted);
    RegCloseKey(planted);
    ASSERT_EQ(RegUnLoadKeyA(HKEY_USERS, "Plant"), 0);
    HKEY live;
    ASSERT_EQ(RegOpenKeyExA(HKEY_USERS, admin.c_str(), 0, KEY_ALL_ACCESS, &live), 0);
    Plant(live);
    RegCloseKey(live);

    SidPairList pairs = {1, {kOld.c_str()}, {kNew.c_str()}};
    ASSERT_EQ(ProcessUserProfiles(&pairs), 1) << StreamText(log_);
    std::string log = StreamText(log_);
    for (const std::string& line : std::vector<std::string>{"Information: User Hive '" + admin + "' in use",         // logged on
                                    "Information: User Hive '" + departed + "' in use",      // no ntuser.dat
                                    "Reading Entry: [1] S-1-5-18", "Renaming value: Owner " + user})
        EXPECT_NE(log.find(line + "\n"), std::string::npos) << line << "\n" << log;
    for (const std::string never : {"User Hive 'S-1-5-18'", "User Hive 'S-1-5-19'", "Error"})
        EXPECT_EQ(log.find(never), std::string::npos) << never;
    EXPECT_GT(jobSettings->replacedCount, 0u);
    EXPECT_TRUE(jobSettings->changesMade);

    // The copies: as it was, and as rewritten and scanned; none for the skipped profiles.
    for (const std::string& sid : {admin, user}) {
        EXPECT_TRUE(Contains(FileBytes(Work("ORIGINAL\\USERS\\" + sid)), Binary(kOld))) << sid;
        Bytes rewritten = FileBytes(Work("USERS\\" + sid));
        EXPECT_TRUE(Contains(rewritten, Binary(kNew)) && !Contains(rewritten, Binary(kOld))) << sid;
    }
    for (const std::string& sid : {std::string("S-1-5-18"), std::string("S-1-5-19"), departed})
        EXPECT_FALSE(std::filesystem::exists(Work("USERS\\" + sid))) << sid;
    // The logged-on user's hive is rewritten where it is; the other one is unloaded again.
    std::string data(260, 0);
    DWORD size = (DWORD)data.size();
    ASSERT_EQ(RegOpenKeyExA(HKEY_USERS, (admin + "\\Software\\Planted").c_str(), 0, KEY_READ, &live), 0);
    EXPECT_EQ(RegQueryValueExA(live, ("Owner " + kNew + "-1000").c_str(), nullptr, nullptr, (BYTE*)&data[0], &size), 0);
    RegCloseKey(live);
    EXPECT_EQ(data.c_str(), "C:\\Data\\" + kNew + "-1000");
    EXPECT_EQ(RegOpenKeyExA(HKEY_USERS, user.c_str(), 0, KEY_READ, &live), ERROR_FILE_NOT_FOUND);

    // Before the restart the profiles' files are as they were; after it they are the new ones.
    std::string work = jobSettings->workDirectory;
    EXPECT_TRUE(Contains(FileBytes(Host("C:\\WINNT\\Profiles\\User1\\ntuser.dat")), Binary(kOld)));
    jobSettings->originalSid = jobSettings->newSid = nullptr;
    logStream = nullptr;
    DestroyJobSettings();
    ntsim::ProcessDetach();
    Boot();
    for (const std::string& folder : {std::string("Administrator"), std::string("User1")}) {
        SCOPED_TRACE(folder);
        std::string file = Host("C:\\WINNT\\Profiles\\" + folder + "\\ntuser.dat");
        Bytes bytes = FileBytes(file);
        for (const std::string& text : {kOld}) {
            EXPECT_FALSE(Contains(bytes, Ascii(text)) || Contains(bytes, Utf16(text)));
        }
        EXPECT_FALSE(Contains(bytes, Binary(kOld)));
        ntsim::Hive hive;
        ASSERT_EQ(ntsim::RegfLoadFile(file, &hive), 0u);
        const std::string sid = folder == "User1" ? kNew + "-1000" : kNew + "-500";
        const ntsim::HiveKey* planted = hive.root->FindSubkey("Software")->FindSubkey("Planted");
        ASSERT_NE(planted, nullptr);
        const ntsim::HiveValue* value = planted->FindValue("Owner " + kNew + "-1000");  // value name
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(value->data, Utf16("C:\\Data\\" + kNew + "-1000" + std::string(1, '\0')));  // string data
        const ntsim::HiveKey* storage =
            hive.root->FindSubkey("Software")->FindSubkey("Microsoft")->FindSubkey("Protected Storage System Provider");
        ASSERT_NE(storage, nullptr);
        EXPECT_NE(storage->FindSubkey(sid), nullptr);  // key name
        const ntsim::HiveKey* winlogon = hive.root->FindSubkey("Software")
                                             ->FindSubkey("Microsoft")
                                             ->FindSubkey("Windows NT")
                                             ->FindSubkey("CurrentVersion")
                                             ->FindSubkey("Winlogon");
        Bytes sidBytes;
        ASSERT_TRUE(ntsim::SidFromText(sid, &sidBytes));
        EXPECT_EQ(winlogon->FindValue("ProfileSid")->data, sidBytes);  // binary data
        ASSERT_TRUE(hive.root->security);
        EXPECT_TRUE(Contains(*hive.root->security, sidBytes));  // key security
    }
    EXPECT_TRUE(std::filesystem::exists(Host(work + "\\USERS\\" + admin + ".bak")));
    EXPECT_TRUE(Contains(FileBytes(Host(work + "\\USERS\\" + user + ".bak")), Binary(kOld)));
}

// The SAM after a job's registry walk, hive copies, byte scan and restart: its binary
// records and its membership index name the new SID, and the Administrator still logs on
// as a member of Administrators.
TEST_F(UserProfiles, TheSamHoldsTheNewSidAfterTheRestart) {
    SidPairList pairs = {1, {kOld.c_str()}, {kNew.c_str()}};
    Bytes newSid;
    ASSERT_TRUE(ntsim::SidFromText(kNew, &newSid));
    ASSERT_EQ(SearchReplaceKey(HKEY_LOCAL_MACHINE, "SAM", "MACHINE\\SAM", &pairs), 0);
    ASSERT_EQ(SaveHiveSet(jobSettings->workDirectory), 1);
    ASSERT_EQ(ScanHiveFilesForSid(&old_, &new_), 1);
    ASSERT_EQ(InstallWorkingHives(), 1);
    jobSettings->originalSid = jobSettings->newSid = nullptr;
    logStream = nullptr;
    DestroyJobSettings();
    ntsim::ProcessDetach();
    Boot();

    ntsim::Hive sam;
    ASSERT_EQ(ntsim::RegfLoadFile(Host("C:\\WINNT\\system32\\config\\SAM"), &sam), 0u);
    const ntsim::HiveKey* domains = sam.root->FindSubkey("SAM")->FindSubkey("Domains");
    const Bytes& v = domains->FindSubkey("Account")->FindValue("V")->data;
    EXPECT_EQ(Bytes(v.end() - 24, v.end()), newSid);  // the account domain's SID
    const ntsim::HiveKey* aliases = domains->FindSubkey("Builtin")->FindSubkey("Aliases");
    std::vector<ntsim::SidBytes> members;
    ASSERT_TRUE(ntsim::SamAliasMembers(aliases->FindSubkey("00000220")->FindValue("C")->data, &members));
    ASSERT_EQ(members.size(), 1u);
    EXPECT_EQ(ntsim::SidToText(members[0]), kNew + "-500");
    EXPECT_NE(aliases->FindSubkey("Members")->FindSubkey(kNew), nullptr);
    EXPECT_EQ(aliases->FindSubkey("Members")->FindSubkey(kOld), nullptr);
    EXPECT_FALSE(Contains(FileBytes(Host("C:\\WINNT\\system32\\config\\SAM")), Binary(kOld)));

    Attach("Administrator");
    CreateJobSettings();
    std::vector<std::string> groups = TokenGroupSids();
    EXPECT_NE(std::find(groups.begin(), groups.end(), "S-1-5-32-544"), groups.end())
        << "the Administrator is still in Administrators";
}

// A ProfileImagePath that names the hive file is used as it is; one whose folder has no
// hive is reported missing by the load; a profile without a path is passed over.
TEST_F(UserProfiles, PathsAsStoredAndProfilesWithoutAHive) {
    HKEY list, entry;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", 0,
                            KEY_ALL_ACCESS, &list), 0);
    const std::string file = "%SystemRoot%\\Profiles\\User1\\ntuser.dat";
    char path[1024];
    strcpy(path, file.c_str());
    EXPECT_EQ(LoadUserHive("S-1-5-21-9-9-9-1000", path, (DWORD)file.size() + 1), 1);
    EXPECT_STREQ(path, "C:\\WINNT\\Profiles\\User1\\ntuser.dat");
    EXPECT_EQ(RegUnLoadKeyA(HKEY_USERS, "S-1-5-21-9-9-9-1000"), 0);
    // The status query sees a file the load then cannot find.
    ntsim::FaultAdd({"RegLoadKeyA", ERROR_FILE_NOT_FOUND, 0, "*User1*", false});
    strcpy(path, "%SystemRoot%\\Profiles\\User1");
    EXPECT_EQ(LoadUserHive("S-1-5-21-9-9-9-1000", path, 28), 0);
    EXPECT_NE(StreamText(log_).find("Information: User Hive 'S-1-5-21-9-9-9-1000' missing\n"), std::string::npos);
    ntsim::FaultClearAll();
    // An expansion longer than the stored text still gets the whole path.
    strcpy(path, "%SystemRoot%\\x");
    EXPECT_EQ(LoadUserHive("S-1-5-21-9-9-9-1", path, 15), 0);
    EXPECT_STREQ(path, "C:\\WINNT\\x\\ntuser.dat");  // unreadable attributes count as a folder

    ASSERT_EQ(RegCreateKeyExA(list, "S-1-5-21-9-9-9-1002", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &entry, nullptr), 0);
    RegCloseKey(entry);  // no ProfileImagePath
    RegCloseKey(list);
    SidPairList pairs = {1, {kOld.c_str()}, {kNew.c_str()}};
    EXPECT_EQ(ProcessUserProfiles(&pairs), 1);
    // A failure that ends the pass: reported, 0.
    ntsim::TranscriptClear();
    ntsim::FaultAdd({"RegSaveKeyA", ERROR_DISK_FULL, 0, "*ORIGINAL*", false});
    EXPECT_EQ(ProcessUserProfiles(&pairs), 0);
    EXPECT_NE(StreamText(log_).find("Error 112 saving original user data subkey '" + Account(1000) + "' to a file"),
              std::string::npos) << StreamText(log_);
}

}  // namespace
