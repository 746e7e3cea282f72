// Hive files named by the program: save, load and unload (with the sharing
// rules for files already loaded), restore over a key, and replacement at the
// next boot for a system hive and a profile hive.
#include <fstream>

#include "ntsim/registry/boot.h"
#include "registry_fixture.h"

namespace regtest {
namespace {

class RegistryHiveFiles : public RegistryTest {
protected:
    void SetUp() override {
        RegistryTest::SetUp();
        EnablePrivilegeForTest("SeBackupPrivilege");
        EnablePrivilegeForTest("SeRestorePrivilege");
    }
    HKEY Create(const char* path) {
        HKEY key = nullptr;
        EXPECT_EQ(0, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr)) << path;
        return key;
    }
    std::string Temp(const std::string& name) const { return dir + "/drives/c/TEMP/" + name; }
};

std::string Value(HKEY root, const std::string& path, const char* name) {
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key)) return "<no key>";
    char buf[128] = {0};
    DWORD size = sizeof buf - 1;
    LONG err = RegQueryValueExA(key, name, nullptr, nullptr, (BYTE*)buf, &size);
    RegCloseKey(key);
    return err ? "<no value>" : std::string(buf);
}

TEST_F(RegistryHiveFiles, SaveWritesASubtreeAndRefusesAnExistingFile) {
    HKEY key = Create("SOFTWARE\\Saved\\Inner");
    RegSetValueExA(key, "name", 0, REG_SZ, (const BYTE*)"inner", 6);
    RegCloseKey(key);
    key = Create("SOFTWARE\\Saved");
    EXPECT_EQ(0, RegSaveKeyA(key, "C:\\TEMP\\saved.hiv", nullptr));
    ntsim::Hive hive;
    ASSERT_EQ(0u, ntsim::RegfLoadFile(Temp("saved.hiv"), &hive));
    EXPECT_EQ(3u, hive.minorVersion);  // the version of the SOFTWARE hive
    ASSERT_NE(nullptr, hive.root->FindSubkey("Inner"));
    EXPECT_EQ(Wide("inner"), hive.root->FindSubkey("Inner")->FindValue("name")->data);
    EXPECT_EQ(ERROR_ALREADY_EXISTS, RegSaveKeyA(key, "C:\\TEMP\\saved.hiv", nullptr));
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, RegSaveKeyA(key, "C:\\NoSuchDir\\saved.hiv", nullptr));
    EnablePrivilegeForTest("SeBackupPrivilege", false);
    EXPECT_EQ(ERROR_PRIVILEGE_NOT_HELD, RegSaveKeyA(key, "C:\\TEMP\\other.hiv", nullptr));
    EXPECT_FALSE(Exists(Temp("other.hiv")));
    RegCloseKey(key);
}

TEST_F(RegistryHiveFiles, LoadAndUnloadWithTheSharingRules) {
    std::string user1 = "C:\\WINNT\\Profiles\\User1\\ntuser.dat";
    ASSERT_EQ(0, RegLoadKeyA(HKEY_USERS, "Loaded", user1.c_str()));
    EXPECT_EQ("%USERPROFILE%\\TEMP", Value(HKEY_USERS, "Loaded\\Environment", "TEMP"));
    // hivelist names every mounted hive by its device path, the loaded one too.
    const char* hivelist = "SYSTEM\\CurrentControlSet\\Control\\hivelist";
    EXPECT_EQ("\\Device\\Harddisk0\\Partition1\\WINNT\\Profiles\\User1\\ntuser.dat",
              Value(HKEY_LOCAL_MACHINE, hivelist, "\\REGISTRY\\USER\\Loaded"));
    EXPECT_EQ("\\Device\\Harddisk0\\Partition1\\WINNT\\system32\\config\\SAM",
              Value(HKEY_LOCAL_MACHINE, hivelist, "\\REGISTRY\\MACHINE\\SAM"));
    // A file that is loaded anywhere cannot be loaded again.
    EXPECT_EQ(ERROR_SHARING_VIOLATION, RegLoadKeyA(HKEY_USERS, "Again", user1.c_str()));
    EXPECT_EQ(ERROR_SHARING_VIOLATION, RegLoadKeyA(HKEY_LOCAL_MACHINE, "Soft2", "C:\\WINNT\\system32\\config\\SOFTWARE"));
    EXPECT_EQ(ERROR_SHARING_VIOLATION,
              RegLoadKeyA(HKEY_USERS, UserSidText(500).c_str(), "C:\\WINNT\\Profiles\\Administrator\\ntuser.dat"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegLoadKeyA(HKEY_USERS, "Missing", "C:\\TEMP\\none.dat"));
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, RegLoadKeyA(HKEY_USERS, "Missing", "C:\\NoDir\\none.dat"));
    std::ofstream(Temp("text.dat")) << "not a hive at all, just some text that is long enough to be read";
    LONG err = RegLoadKeyA(HKEY_USERS, "Text", "C:\\TEMP\\text.dat");
    EXPECT_TRUE(err == ERROR_NOT_REGISTRY_FILE || err == ERROR_BADDB) << err;
    HKEY nonRoot;
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &nonRoot));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegLoadKeyA(nonRoot, "Below", "C:\\TEMP\\text.dat"));
    // A change in the loaded hive reaches its file at unload.
    HKEY key;
    ASSERT_EQ(0, RegCreateKeyExA(HKEY_USERS, "Loaded\\Added", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegUnLoadKeyA(HKEY_USERS, "Loaded"));  // a key of it is open
    RegCloseKey(key);
    EnablePrivilegeForTest("SeRestorePrivilege", false);
    EXPECT_EQ(ERROR_PRIVILEGE_NOT_HELD, RegUnLoadKeyA(HKEY_USERS, "Loaded"));
    EnablePrivilegeForTest("SeRestorePrivilege");
    EXPECT_EQ(0, RegUnLoadKeyA(HKEY_USERS, "Loaded"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegUnLoadKeyA(HKEY_USERS, "Loaded"));
    EXPECT_EQ("<no value>", Value(HKEY_LOCAL_MACHINE, hivelist, "\\REGISTRY\\USER\\Loaded"));
    ntsim::Hive hive;
    ASSERT_EQ(0u, ntsim::RegfLoadFile(dir + "/drives/c/WINNT/Profiles/User1/ntuser.dat", &hive));
    EXPECT_NE(nullptr, hive.root->FindSubkey("Added"));
    // The system hives and the logged-on user's stay loaded.
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegUnLoadKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegUnLoadKeyA(HKEY_USERS, UserSidText(500).c_str()));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegUnLoadKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft"));
    EnablePrivilegeForTest("SeRestorePrivilege", false);
    EXPECT_EQ(ERROR_PRIVILEGE_NOT_HELD, RegLoadKeyA(HKEY_USERS, "Loaded", user1.c_str()));
    RegCloseKey(nonRoot);
}

TEST_F(RegistryHiveFiles, RestoreReplacesValuesAndSubkeysButKeepsTheKeysSecurity) {
    HKEY source = Create("SOFTWARE\\Source\\Child");
    RegSetValueExA(source, "c", 0, REG_DWORD, (const BYTE*)"\7\0\0\0", 4);
    RegCloseKey(source);
    source = Create("SOFTWARE\\Source");
    RegSetValueExA(source, "s", 0, REG_SZ, (const BYTE*)"src", 4);
    ASSERT_EQ(0, RegSaveKeyA(source, "C:\\TEMP\\source.hiv", nullptr));
    RegCloseKey(source);
    HKEY target = Create("SOFTWARE\\Target\\Old");
    RegCloseKey(target);
    Bytes own = Descriptor(Administrators(), LocalSystem(), {{ACCESS_ALLOWED_ACE_TYPE, 0, KEY_ALL_ACCESS, Administrators()}});
    target = Create("SOFTWARE\\Target");
    ASSERT_EQ(0, RegSetKeySecurity(target, DACL_SECURITY_INFORMATION, own.data()));
    RegSetValueExA(target, "t", 0, REG_SZ, (const BYTE*)"old", 4);
    HKEY old;
    ASSERT_EQ(0, RegOpenKeyExA(target, "Old", 0, KEY_READ, &old));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegRestoreKeyA(target, "C:\\TEMP\\source.hiv", 0));
    EXPECT_EQ(0, RegRestoreKeyA(target, "C:\\TEMP\\source.hiv", REG_FORCE_RESTORE));
    EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueExA(old, "x", nullptr, nullptr, nullptr, nullptr));
    RegCloseKey(old);
    EXPECT_EQ("src", Value(target, "", "s"));
    EXPECT_EQ("<no value>", Value(target, "", "t"));
    EXPECT_EQ("<no key>", Value(target, "Old", "x"));
    HKEY child;
    ASSERT_EQ(0, RegOpenKeyExA(target, "Child", 0, KEY_READ, &child));
    RegCloseKey(child);
    DWORD size = 0;
    RegGetKeySecurity(target, DACL_SECURITY_INFORMATION, nullptr, &size);
    Bytes sd(size);
    ASSERT_EQ(0, RegGetKeySecurity(target, DACL_SECURITY_INFORMATION, sd.data(), &size));
    EXPECT_NE(sd.end(), std::search(sd.begin(), sd.end(), own.begin() + 20, own.begin() + 20 + 8));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegRestoreKeyA(target, "C:\\TEMP\\none.hiv", 0));
    EnablePrivilegeForTest("SeRestorePrivilege", false);
    EXPECT_EQ(ERROR_PRIVILEGE_NOT_HELD, RegRestoreKeyA(target, "C:\\TEMP\\source.hiv", 0));
    RegCloseKey(target);
}

TEST_F(RegistryHiveFiles, ReplacementTakesEffectAtTheNextBootForSystemAndUserHives) {
    HKEY key = Create("SOFTWARE\\Marker");
    RegSetValueExA(key, "which", 0, REG_SZ, (const BYTE*)"new", 4);
    RegCloseKey(key);
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key));
    ASSERT_EQ(0, RegSaveKeyA(key, "C:\\TEMP\\SOFTWARE", nullptr));
    RegCloseKey(key);
    // The running system keeps the live hive, which says "old" from here on.
    key = Create("SOFTWARE\\Marker");
    RegSetValueExA(key, "which", 0, REG_SZ, (const BYTE*)"old", 4);
    RegCloseKey(key);
    ASSERT_EQ(0, RegReplaceKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE", "C:\\TEMP\\SOFTWARE", "C:\\TEMP\\SOFTWARE.BAK"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegReplaceKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Marker", "C:\\TEMP\\SOFTWARE", "C:\\TEMP\\x.BAK"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegReplaceKeyA(HKEY_LOCAL_MACHINE, "SYSTEM", "C:\\TEMP\\none", "C:\\TEMP\\none.BAK"));
    // The profile hive of the logged-on user, from a saved copy.
    std::string sid = UserSidText(500);
    ASSERT_EQ(0, RegCreateKeyExA(HKEY_USERS, (sid + "\\Marker").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    RegSetValueExA(key, "which", 0, REG_SZ, (const BYTE*)"newuser", 8);
    RegCloseKey(key);
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_USERS, sid.c_str(), 0, KEY_READ, &key));
    ASSERT_EQ(0, RegSaveKeyA(key, "C:\\TEMP\\user.hiv", nullptr));
    RegCloseKey(key);
    ASSERT_EQ(0, RegReplaceKeyA(HKEY_USERS, sid.c_str(), "C:\\TEMP\\user.hiv", "C:\\TEMP\\user.hiv.bak"));
    EXPECT_EQ("old", Value(HKEY_LOCAL_MACHINE, "SOFTWARE\\Marker", "which"));
    EXPECT_FALSE(Exists(Temp("SOFTWARE.BAK")));
    ntsim::ProcessDetach();
    ASSERT_TRUE(Exists(dir + "/" + ntsim::kPendingHiveReplacements));
    EXPECT_EQ(0u, ntsim::ApplyPendingHiveReplacements(dir));
    EXPECT_FALSE(Exists(dir + "/" + ntsim::kPendingHiveReplacements));
    EXPECT_TRUE(Exists(Temp("SOFTWARE.BAK")));
    EXPECT_FALSE(Exists(Temp("SOFTWARE")));
    EXPECT_TRUE(Exists(Temp("user.hiv.bak")));
    Attach("Administrator");
    EXPECT_EQ("new", Value(HKEY_LOCAL_MACHINE, "SOFTWARE\\Marker", "which"));
    EXPECT_EQ("newuser", Value(HKEY_USERS, sid + "\\Marker", "which"));
    ntsim::ProcessDetach();
    ntsim::Hive backup;
    ASSERT_EQ(0u, ntsim::RegfLoadFile(Temp("SOFTWARE.BAK"), &backup));
    EXPECT_EQ(Wide("old"), backup.root->FindSubkey("Marker")->FindValue("which")->data);
    EXPECT_EQ(0u, ntsim::ApplyPendingHiveReplacements(dir));  // nothing left to do
    Attach("Administrator");
}

}  // namespace
}  // namespace regtest

namespace regtest {
namespace {

TEST_F(RegistryHiveFiles, AHiveLoadedByAnotherProcessIsInUseUntilThatProcessLetsGo) {
    int toChild[2], toParent[2];
    ASSERT_EQ(0, pipe(toChild));
    ASSERT_EQ(0, pipe(toParent));
    const char* file = "C:\\WINNT\\Profiles\\User1\\ntuser.dat";
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        char c = RegLoadKeyA(HKEY_USERS, "Other", file) == ERROR_SUCCESS ? 'y' : 'n';
        if (write(toParent[1], &c, 1) != 1 || read(toChild[0], &c, 1) != 1) _exit(2);
        _exit(c == 'u' && RegUnLoadKeyA(HKEY_USERS, "Other") == ERROR_SUCCESS ? 0 : 1);
    }
    char c = 0;
    ASSERT_EQ(1, read(toParent[0], &c, 1));
    ASSERT_EQ('y', c);
    EXPECT_EQ(ERROR_SHARING_VIOLATION, RegLoadKeyA(HKEY_USERS, "Mine", file));
    c = 'u';
    ASSERT_EQ(1, write(toChild[1], &c, 1));
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(0, RegLoadKeyA(HKEY_USERS, "Mine", file));
    EXPECT_EQ(0, RegUnLoadKeyA(HKEY_USERS, "Mine"));
    // A process killed while holding a hive does not hold it for ever.
    EXPECT_EQ(137, InChild([file] {
        if (RegLoadKeyA(HKEY_USERS, "Killed", file) != ERROR_SUCCESS) return 1;
        ntsim::FaultAdd({"RegCloseKey", 0, 0, "", true});
        RegCloseKey(HKEY_USERS);
        return 2;
    }));
    EXPECT_EQ(0, RegLoadKeyA(HKEY_USERS, "Mine", file));
    for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) close(fd);
}

}  // namespace
}  // namespace regtest
