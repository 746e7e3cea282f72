// A restart applies what the previous boot left pending, in NT's order: the new hives
// first, then the file operations recorded in the (new) SYSTEM hive.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "nt/win32.h"
#include "ntsim/machine/boot.h"
#include "ntsim/machine/machine.h"
#include "ntsim/kernel/process.h"
#include "ntsim/registry/regf.h"
#include "ntsim/security/sam_records.h"
#include "unit/fresh_machine.h"

namespace {

class BootTest : public FreshMachine {
protected:
    void SetUp() override {
        FreshMachine::SetUp();
        MakeMachine();
        Attach("Administrator");
    }
    static bool Exists(const std::string& p) {
        struct stat st;
        return stat(p.c_str(), &st) == 0;
    }
    void EnableBackupRestore() {
        Privilege(SE_BACKUP_NAME);
        Privilege(SE_RESTORE_NAME);
    }
};

TEST_F(BootTest, NewHivesThenPendingFileOperationsTakeEffect) {
    EnableBackupRestore();
    // A working copy of SOFTWARE with a mark, scheduled to replace the live hive.
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\BootMark", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
    RegCloseKey(key);
    HKEY software;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_ALL_ACCESS, &software), 0);
    ASSERT_EQ(RegSaveKeyA(software, "C:\\TEMP\\SOFTWARE.NEW", nullptr), 0);
    RegCloseKey(software);
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\BootMark"), 0);
    ASSERT_EQ(RegReplaceKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE", "C:\\TEMP\\SOFTWARE.NEW", "C:\\TEMP\\SOFTWARE.BAK"), 0);
    // A file to delete at the restart.
    FILE* f = fopen("C:\\TEMP\\gone.txt", "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    ASSERT_TRUE(MoveFileExA("C:\\TEMP\\gone.txt", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(Exists(dir_ + "/drives/c/TEMP/gone.txt"));  // nothing happens before the restart

    Boot();
    EXPECT_FALSE(ntsim::ProcessAttached());
    EXPECT_FALSE(Exists(dir_ + "/drives/c/TEMP/gone.txt"));
    EXPECT_TRUE(Exists(dir_ + "/drives/c/TEMP/SOFTWARE.BAK"));

    Attach("Administrator");
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\BootMark", 0, KEY_READ, &key), 0);  // the new hive is live
    RegCloseKey(key);
    // Nothing stays pending: a second boot changes nothing.
    Boot();
    Attach("Administrator");
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\BootMark", 0, KEY_READ, &key), 0);
    RegCloseKey(key);
}

TEST_F(BootTest, AFailedReplacementStopsTheBootAndSaysWhich) {
    EnableBackupRestore();
    HKEY software;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_ALL_ACCESS, &software), 0);
    ASSERT_EQ(RegSaveKeyA(software, "C:\\TEMP\\SOFTWARE.NEW", nullptr), 0);
    RegCloseKey(software);
    ASSERT_EQ(RegReplaceKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE", "C:\\TEMP\\SOFTWARE.NEW", "C:\\TEMP\\SOFTWARE.BAK"), 0);
    ntsim::ProcessDetach();
    // The new file vanished before the restart: the live hive must stay in place.
    ASSERT_EQ(remove((dir_ + "/drives/c/TEMP/SOFTWARE.NEW").c_str()), 0);
    std::string error;
    EXPECT_NE(ntsim::MachineBoot(dir_, &error), 0u);
    EXPECT_NE(error.find("hive replacements"), std::string::npos) << error;
    EXPECT_TRUE(Exists(dir_ + "/drives/c/WINNT/system32/config/SOFTWARE"));
}

// The key at path below a hive tree read from a file, or nullptr.
const ntsim::HiveKey* FileKey(const ntsim::Hive& hive, const std::string& path) {
    const ntsim::HiveKey* key = hive.root.get();
    for (size_t i = 0; key && i < path.size();) {
        size_t end = path.find('\\', i);
        if (end == std::string::npos) end = path.size();
        key = key->FindSubkey(path.substr(i, end - i));
        i = end + 1;
    }
    return key;
}

std::string Utf16Text(const std::vector<uint8_t>& data) {
    std::string out;
    for (size_t i = 0; i + 1 < data.size() && (data[i] || data[i + 1]); i += 2) out += (char)data[i];
    return out;
}

// The name a boot runs under lives in a volatile key (ActiveComputerName), as do
// CurrentControlSet, the hive list and the current hardware profile's link: a hive file never holds
// them, whether the registry writes it or RegSaveKeyA does. The account domain's name record
// follows a new name in NT's layout.
TEST_F(BootTest, VolatileKeysNeverReachAHiveFile) {
    EnableBackupRestore();
    const std::string config = dir_ + "/drives/c/WINNT/system32/config/";
    char name[32];
    DWORD size = sizeof name;
    ASSERT_TRUE(GetComputerNameA(name, &size));
    EXPECT_STREQ(name, "NTWKS01");
    ASSERT_TRUE(SetComputerNameA("PC-12"));
    Boot();

    ntsim::Hive system, security;
    ASSERT_EQ(ntsim::RegfLoadFile(config + "SYSTEM", &system), 0u);
    const char* const kVolatile[] = {"CurrentControlSet", "ControlSet001\\Control\\ComputerName\\ActiveComputerName",
                                     "ControlSet001\\Control\\hivelist", "ControlSet001\\Hardware Profiles\\Current"};
    for (const char* path : kVolatile) EXPECT_EQ(FileKey(system, path), nullptr) << path;
    const ntsim::HiveKey* stored = FileKey(system, "ControlSet001\\Control\\ComputerName\\ComputerName");
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(Utf16Text(stored->FindValue("ComputerName")->data), "PC-12");
    ASSERT_EQ(ntsim::RegfLoadFile(config + "SECURITY", &security), 0u);
    const ntsim::HiveKey* accountName = FileKey(security, "Policy\\PolAcDmN");
    ASSERT_NE(accountName, nullptr);
    const std::vector<uint8_t> record = {10, 0, 12, 0, 8, 0, 0, 0, 'P', 0, 'C', 0, '-', 0, '1', 0, '2', 0, 0, 0};
    EXPECT_EQ(accountName->FindValue("")->data, record);

    // The new boot runs under the new name, read from the volatile key.
    Attach("Administrator");
    EnableBackupRestore();
    size = sizeof name;
    ASSERT_TRUE(GetComputerNameA(name, &size));
    EXPECT_STREQ(name, "PC-12");
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName", 0,
                            KEY_READ, &key),
              0);
    size = sizeof name;
    EXPECT_EQ(RegQueryValueExA(key, "ComputerName", nullptr, nullptr, (LPBYTE)name, &size), 0);
    EXPECT_STREQ(name, "PC-12");
    RegCloseKey(key);
    // A volatile key takes only volatile children.
    HKEY child = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName", 0,
                            KEY_ALL_ACCESS, &key),
              0);
    EXPECT_EQ(RegCreateKeyExA(key, "Stable", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr),
              ERROR_CHILD_MUST_BE_VOLATILE);
    RegCloseKey(key);

    // RegSaveKeyA leaves them out as well.
    HKEY control;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM", 0, KEY_ALL_ACCESS, &control), 0);
    ASSERT_EQ(RegSaveKeyA(control, "C:\\TEMP\\SYSTEM.SAV", nullptr), 0);
    RegCloseKey(control);
    ntsim::Hive saved;
    ASSERT_EQ(ntsim::RegfLoadFile(dir_ + "/drives/c/TEMP/SYSTEM.SAV", &saved), 0u);
    for (const char* path : kVolatile) EXPECT_EQ(FileKey(saved, path), nullptr) << path;
    EXPECT_NE(FileKey(saved, "ControlSet001\\Control\\ComputerName\\ComputerName"), nullptr);
    // And a write of the hive by the registry, too.
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\Mark", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              0);
    RegFlushKey(key);
    RegCloseKey(key);
    ntsim::ProcessDetach();
    ntsim::Hive after;
    ASSERT_EQ(ntsim::RegfLoadFile(config + "SYSTEM", &after), 0u);
    EXPECT_NE(FileKey(after, "ControlSet001\\Control\\ComputerName\\Mark"), nullptr);
    for (const char* path : kVolatile) EXPECT_EQ(FileKey(after, path), nullptr) << path;
}

}  // namespace

namespace {

// A host script standing for a program: it notes its name in the machine's folder.
void Program(const std::string& hostPath, const std::string& name) {
    std::filesystem::create_directories(std::filesystem::path(hostPath).parent_path());
    FILE* f = fopen(hostPath.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fprintf(f, "#!/bin/sh\necho %s >> \"$NTSIM_MACHINE/started.txt\"\n", name.c_str());
    fclose(f);
    chmod(hostPath.c_str(), 0755);
}

}  // namespace

// The manager reads an unquoted program path as Windows does: each prefix ending at a
// space is tried in turn as a program (".exe" added), so C:\Program.exe, then
// C:\Program Files\Some.exe, stand before C:\Program Files\Some Tool\tool.exe. A quoted
// path names its program alone.
TEST_F(BootTest, AnUnquotedServicePathStartsTheFirstProgramItsPrefixesName) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    SC_HANDLE service = CreateServiceA(manager, "Tool", "Tool", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                       "C:\\Program Files\\Some Tool\\tool.exe", nullptr, nullptr, nullptr, nullptr,
                                       nullptr);
    ASSERT_NE(service, nullptr);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    Program(Host("Program Files/Some Tool/tool.exe"), "tool");
    const std::string started = dir_ + "/started.txt";
    auto bootAndSee = [&]() {
        std::remove(started.c_str());
        Boot();
        Attach("Administrator");
        std::string seen;
        if (FILE* f = fopen(started.c_str(), "r")) {
            char line[64];
            while (fgets(line, sizeof line, f)) seen += line;
            fclose(f);
        }
        return seen;
    };
    EXPECT_EQ(bootAndSee(), "tool\n");
    Program(Host("Program Files/Some.exe"), "some");
    EXPECT_EQ(bootAndSee(), "some\n");
    Program(Host("Program.exe"), "program");
    EXPECT_EQ(bootAndSee(), "program\n");

    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Tool", 0, KEY_SET_VALUE, &key), 0);
    const char quoted[] = "\"C:\\Program Files\\Some Tool\\tool.exe\"";
    ASSERT_EQ(RegSetValueExA(key, "ImagePath", 0, REG_EXPAND_SZ, (const BYTE*)quoted, sizeof quoted), 0);
    RegFlushKey(key);
    RegCloseKey(key);
    EXPECT_EQ(bootAndSee(), "tool\n");
}
