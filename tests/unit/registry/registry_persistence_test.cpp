// Hives on disk: changes reach the files at RegFlushKey and process exit, a
// killed process loses what it did not flush, only changed hives are written,
// and two processes never leave a broken hive.
#include "registry_fixture.h"

namespace regtest {
namespace {

class RegistryPersistence : public RegistryTest {};

LONG SetString(const char* path, const char* name, const char* text, bool flush) {
    HKEY key;
    LONG err = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (err) return err;
    err = RegSetValueExA(key, name, 0, REG_SZ, (const BYTE*)text, (DWORD)strlen(text) + 1);
    if (!err && flush) err = RegFlushKey(key);
    RegCloseKey(key);
    return err;
}

std::string GetString(const char* path, const char* name) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key)) return "<no key>";
    char buf[256];
    DWORD size = sizeof buf, type = 0;
    LONG err = RegQueryValueExA(key, name, nullptr, &type, (BYTE*)buf, &size);
    RegCloseKey(key);
    if (err) return "<no value>";
    return std::string(buf);
}

ino_t Inode(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST_F(RegistryPersistence, FlushAndExitWriteAndTheNextProcessReadsThem) {
    ASSERT_EQ(0, SetString("SOFTWARE\\Persist\\Flushed", "v", "one", true));
    ASSERT_EQ(0, SetString("SOFTWARE\\Persist\\AtExit", "v", "two", false));
    // The flushed change is in the file already; the other one only in memory.
    ntsim::Hive onDisk;
    ASSERT_EQ(0u, ntsim::RegfLoadFile(HiveFile("SOFTWARE"), &onDisk));
    ntsim::HiveKey* persist = onDisk.root->FindSubkey("Persist");
    ASSERT_NE(nullptr, persist);
    EXPECT_NE(nullptr, persist->FindSubkey("Flushed"));
    EXPECT_EQ(nullptr, persist->FindSubkey("AtExit"));
    ntsim::ProcessDetach();
    Attach("Administrator");
    EXPECT_EQ("one", GetString("SOFTWARE\\Persist\\Flushed", "v"));
    EXPECT_EQ("two", GetString("SOFTWARE\\Persist\\AtExit", "v"));
}

TEST_F(RegistryPersistence, AKilledProcessLosesWhatItDidNotFlush) {
    int status = InChild([] {
        if (SetString("SOFTWARE\\Killed", "flushed", "yes", true)) return 1;
        if (SetString("SOFTWARE\\Killed", "unflushed", "no", false)) return 2;
        ntsim::FaultRule power;
        power.function = "RegQueryValueExA";
        power.kill = true;
        ntsim::FaultAdd(power);
        GetString("SOFTWARE\\Killed", "flushed");  // the power goes here
        return 3;
    });
    ASSERT_EQ(137, status);
    ntsim::ProcessDetach();
    Attach("Administrator");
    EXPECT_EQ("yes", GetString("SOFTWARE\\Killed", "flushed"));
    EXPECT_EQ("<no value>", GetString("SOFTWARE\\Killed", "unflushed"));
}

TEST_F(RegistryPersistence, OnlyChangedHivesAreWritten) {
    ino_t sam = Inode(HiveFile("SAM")), system = Inode(HiveFile("SYSTEM")), software = Inode(HiveFile("SOFTWARE"));
    EXPECT_EQ("<no value>", GetString("SYSTEM\\Select", "Nothing"));
    ASSERT_EQ(0, SetString("SOFTWARE\\Changed", "v", "x", false));
    ntsim::ProcessDetach();
    EXPECT_EQ(sam, Inode(HiveFile("SAM")));
    EXPECT_EQ(system, Inode(HiveFile("SYSTEM")));
    EXPECT_NE(software, Inode(HiveFile("SOFTWARE")));  // written by rename: a new file
    Attach("Administrator");
}

TEST_F(RegistryPersistence, TwoProcessesWritingHivesLeaveThemWhole) {
    ntsim::ProcessDetach();
    std::string machine = dir;
    auto worker = [machine](const char* path, const char* text) {
        return [machine, path, text] {
            std::string error;
            if (!ntsim::ProcessAttach(machine, "Administrator", false, &error)) return 10;
            for (int i = 0; i < 20; ++i)
                if (SetString(path, "v", text, true)) return 11;
            ntsim::ProcessDetach();
            return 0;
        };
    };
    fflush(nullptr);
    pid_t a = fork();
    if (a == 0) _exit(worker("SOFTWARE\\FromA", "a")());
    pid_t b = fork();
    if (b == 0) _exit(worker("SYSTEM\\FromB", "b")());
    int sa = 0, sb = 0;
    waitpid(a, &sa, 0);
    waitpid(b, &sb, 0);
    EXPECT_TRUE(WIFEXITED(sa) && WEXITSTATUS(sa) == 0);
    EXPECT_TRUE(WIFEXITED(sb) && WEXITSTATUS(sb) == 0);
    for (const char* name : {"SOFTWARE", "SYSTEM"}) {
        ntsim::Hive hive;
        EXPECT_EQ(0u, ntsim::RegfLoadFile(HiveFile(name), &hive)) << name;
    }
    Attach("Administrator");
    EXPECT_EQ("a", GetString("SOFTWARE\\FromA", "v"));
    EXPECT_EQ("b", GetString("SYSTEM\\FromB", "v"));
}

TEST_F(RegistryPersistence, AFailedFlushKeepsTheChangeForProcessExit) {
    ntsim::FaultRule rule;
    rule.function = "RegFlushKey";
    rule.error = ERROR_REGISTRY_IO_FAILED;
    ntsim::FaultAdd(rule);
    EXPECT_EQ(ERROR_REGISTRY_IO_FAILED, SetString("SOFTWARE\\NotLost", "v", "kept", true));
    ntsim::ProcessDetach();
    Attach("Administrator");
    EXPECT_EQ("kept", GetString("SOFTWARE\\NotLost", "v"));
}

TEST_F(RegistryPersistence, TheLoggedOnUsersHiveIsMountedForAnInteractiveSession) {
    HKEY key;
    std::string path = UserSidText(500) + "\\Environment";
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_USERS, path.c_str(), 0, KEY_READ, &key));
    RegCloseKey(key);
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_CURRENT_USER, "Environment", 0, KEY_READ, &key));
    RegCloseKey(key);
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_USERS, ".DEFAULT", 0, KEY_READ, &key));
    RegCloseKey(key);
    ntsim::ProcessDetach();
    Attach("", true);  // a service: LocalSystem has no profile hive loaded
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_USERS, path.c_str(), 0, KEY_READ, &key));
}

}  // namespace
}  // namespace regtest

namespace regtest {
namespace {

TEST_F(RegistryPersistence, AProcessSeesWhatAnotherFlushedInHivesItDidNotChange) {
    ASSERT_EQ(0, SetString("SOFTWARE\\Shared\\Stays", "v", "before", true));
    ASSERT_EQ(0, SetString("SOFTWARE\\Shared\\Goes", "v", "x", true));
    HKEY stays, goes;
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Shared\\Stays", 0, KEY_READ, &stays));
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Shared\\Goes", 0, KEY_READ, &goes));
    ASSERT_EQ(0, InChild([] {
        if (SetString("SOFTWARE\\Shared\\Stays", "v", "after", false)) return 1;
        if (RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Shared\\Goes")) return 2;
        ntsim::ProcessDetach();  // exit writes the hive
        return 0;
    }));
    // The open handle follows its key into the hive as the other process wrote it.
    char buf[32] = "";
    DWORD size = sizeof buf;
    EXPECT_EQ(0, RegQueryValueExA(stays, "v", nullptr, nullptr, (BYTE*)buf, &size));
    EXPECT_STREQ("after", buf);
    EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueExA(goes, "v", nullptr, nullptr, nullptr, nullptr));
    RegCloseKey(stays);
    RegCloseKey(goes);
    EXPECT_EQ("after", GetString("SOFTWARE\\Shared\\Stays", "v"));
    // A hive this process changed keeps its own version (the last writer wins).
    ASSERT_EQ(0, SetString("SOFTWARE\\Shared\\Mine", "v", "mine", false));
    ASSERT_EQ(0, InChild([] { return SetString("SOFTWARE\\Shared\\Stays", "v", "theirs", true) ? 1 : 0; }));
    EXPECT_EQ("after", GetString("SOFTWARE\\Shared\\Stays", "v"));
    EXPECT_EQ("mine", GetString("SOFTWARE\\Shared\\Mine", "v"));
}

}  // namespace
}  // namespace regtest
