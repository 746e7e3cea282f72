// Drives and volumes, the process's paths, the C runtime by Windows path, and file
// operations carried out at the next boot.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "nt/win32.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/files/boot.h"
#include "unit/security/machine_fixture.h"

using namespace ntsim;

namespace {

class VolumesTest : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        for (const char* d : {"d", "e", "f"}) std::filesystem::create_directories(dir_ + "/drives/" + d);
        std::ofstream(dir_ + "/machine.conf", std::ios::app)
            << "\n[drive D]\npath = drives/d\ntype = cdrom\nfs = CDFS\nlabel = NT40WKS\n"
               "[drive A]\npath = drives/e\ntype = removable\nfs = FAT\nready = no\n"
               "[drive F]\npath = drives/f\ntype = remote\nfs = NTFS\n"
               "[drive G]\npath = drives/f\ntype = removable\nfs = FAT\nserial = 0x1234\n";
    }
    std::string Slurp(const std::string& host) {
        std::ifstream in(host, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
};

TEST_F(VolumesTest, DriveListAndTypes) {
    Attach("Administrator");
    char buf[128];
    memset(buf, 'Z', sizeof buf);
    const char expect[] = "A:\\\0C:\\\0D:\\\0F:\\\0G:\\\0";
    EXPECT_EQ(GetLogicalDriveStringsA(10, buf), sizeof expect) << "the size needed, with the final NUL";
    EXPECT_EQ(buf[0], 'Z');
    ASSERT_EQ(GetLogicalDriveStringsA(127, buf), sizeof expect - 1);
    EXPECT_EQ(memcmp(buf, expect, sizeof expect), 0);
    EXPECT_EQ(buf[sizeof expect], 'Z');
    EXPECT_EQ(GetLogicalDrives(), (DWORD)((1 << 0) | (1 << 2) | (1 << 3) | (1 << 5) | (1 << 6)));
    EXPECT_EQ(GetDriveTypeA("C:\\"), (UINT)DRIVE_FIXED);
    EXPECT_EQ(GetDriveTypeA("a:\\"), (UINT)DRIVE_REMOVABLE);
    EXPECT_EQ(GetDriveTypeA("D:\\"), (UINT)DRIVE_CDROM);
    EXPECT_EQ(GetDriveTypeA("F:\\"), (UINT)DRIVE_REMOTE);
    EXPECT_EQ(GetDriveTypeA("Q:\\"), (UINT)DRIVE_NO_ROOT_DIR);
    EXPECT_EQ(GetDriveTypeA(nullptr), (UINT)DRIVE_FIXED) << "the current drive";
}

TEST_F(VolumesTest, VolumeInformation) {
    Attach("Administrator");
    char fs[64], label[64];
    DWORD serial = 0, maxLen = 0, flags = 0;
    ASSERT_TRUE(GetVolumeInformationA("C:\\", label, sizeof label, &serial, &maxLen, &flags, fs, sizeof fs));
    EXPECT_STREQ(fs, "NTFS");
    EXPECT_EQ(maxLen, 255u);
    EXPECT_TRUE(flags & FILE_PERSISTENT_ACLS);
    ASSERT_TRUE(GetVolumeInformationA("D:\\", label, sizeof label, nullptr, nullptr, &flags, fs, sizeof fs));
    EXPECT_STREQ(fs, "CDFS");
    EXPECT_STREQ(label, "NT40WKS");
    ASSERT_TRUE(GetVolumeInformationA("G:\\", nullptr, 0, &serial, nullptr, &flags, fs, sizeof fs));
    EXPECT_STREQ(fs, "FAT");
    EXPECT_EQ(serial, 0x1234u);
    EXPECT_FALSE(flags & FILE_PERSISTENT_ACLS);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetVolumeInformationA("A:\\", nullptr, 0, nullptr, nullptr, nullptr, fs, sizeof fs));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_READY);
    EXPECT_FALSE(GetVolumeInformationA("Q:\\", nullptr, 0, nullptr, nullptr, nullptr, fs, sizeof fs));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(GetVolumeInformationA("C:\\", nullptr, 0, nullptr, nullptr, nullptr, fs, 4));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BAD_LENGTH);
    WIN32_FIND_DATAA fd;
    EXPECT_EQ(FindFirstFileA("A:\\*.*", &fd), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_READY);
    FaultAdd({"GetVolumeInformationA", ERROR_UNRECOGNIZED_VOLUME, 0, "F:\\", false});
    EXPECT_FALSE(GetVolumeInformationA("F:\\", nullptr, 0, nullptr, nullptr, nullptr, fs, sizeof fs));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_UNRECOGNIZED_VOLUME);
}

TEST_F(VolumesTest, ProcessPaths) {
    Attach("Administrator");
    char buf[MAX_PATH];
    EXPECT_EQ(GetTempPathA(3, buf), 9u);
    ASSERT_EQ(GetTempPathA(sizeof buf, buf), 8u);
    EXPECT_STREQ(buf, "C:\\TEMP\\");
    ProcessSetEnv("TMP", "C:\\Other");
    ASSERT_EQ(GetTempPathA(sizeof buf, buf), 9u);
    EXPECT_STREQ(buf, "C:\\Other\\");
    ASSERT_EQ(GetSystemDirectoryA(buf, sizeof buf), 17u);
    EXPECT_STREQ(buf, "C:\\WINNT\\system32");
    EXPECT_EQ(GetSystemDirectoryA(buf, 17), 18u);
    ASSERT_EQ(GetWindowsDirectoryA(buf, sizeof buf), 8u);
    EXPECT_STREQ(buf, "C:\\WINNT");
    CurrentProcess().imagePath = "C:\\Tools\\tessiv.exe";
    ASSERT_EQ(GetModuleFileNameA(nullptr, buf, sizeof buf), 19u);
    EXPECT_STREQ(buf, "C:\\Tools\\tessiv.exe");
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(nullptr, buf, 8), 8u) << "truncated";
    EXPECT_STREQ(buf, "C:\\Tool");
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    // The current directory: relative names and "\x" follow it.
    std::filesystem::create_directories(Host("Tools"));
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\tools"));
    ASSERT_EQ(GetCurrentDirectoryA(sizeof buf, buf), 8u);
    EXPECT_STREQ(buf, "C:\\tools");
    EXPECT_EQ(GetCurrentDirectoryA(3, buf), 9u);
    FILE* f = fopen("rel.txt", "wb");
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_TRUE(std::filesystem::exists(Host("Tools/rel.txt")));
    EXPECT_FALSE(SetCurrentDirectoryA("C:\\Tools\\rel.txt"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DIRECTORY);
    EXPECT_FALSE(SetCurrentDirectoryA("C:\\Missing"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    FaultAdd({"GetTempPathA", ERROR_NOT_ENOUGH_MEMORY, 1, "", false});
    EXPECT_EQ(GetTempPathA(sizeof buf, buf), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    FaultAdd({"GetLogicalDriveStringsA", ERROR_NOT_ENOUGH_MEMORY, 1, "", false});
    EXPECT_EQ(GetLogicalDriveStringsA(sizeof buf, buf), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
}

TEST_F(VolumesTest, StdioTextAndBinary) {
    Attach("Administrator");
    FILE* f = fopen("c:\\tessiv.log", "wt");
    ASSERT_NE(f, nullptr);
    fprintf(f, "Stage 1\nline two\n");
    fclose(f);
    EXPECT_EQ(Slurp(Host("tessiv.log")), "Stage 1\r\nline two\r\n");
    f = fopen("C:\\TESSIV.LOG", "a+t");
    ASSERT_NE(f, nullptr);
    fputs("more\n", f);
    fclose(f);
    EXPECT_EQ(Slurp(Host("tessiv.log")), "Stage 1\r\nline two\r\nmore\r\n");
    f = fopen("C:\\tessiv.log", "r");
    ASSERT_NE(f, nullptr);
    char line[64];
    ASSERT_NE(fgets(line, sizeof line, f), nullptr);
    EXPECT_STREQ(line, "Stage 1\n");
    fclose(f);
    // Binary: bytes as they are; "r+b" patches in place.
    f = fopen("\\tessiv.sid", "wb");
    ASSERT_NE(f, nullptr);
    const unsigned char bytes[] = {1, 4, 0, 0, 0, 0, 0, 5, '\n', '\r', 0};
    fwrite(bytes, 1, sizeof bytes, f);
    fclose(f);
    EXPECT_EQ(Slurp(Host("tessiv.sid")), std::string((const char*)bytes, sizeof bytes));
    f = fopen("C:\\tessiv.sid", "r+b");
    ASSERT_NE(f, nullptr);
    fseek(f, 8, SEEK_SET);
    fputc('X', f);
    fclose(f);
    EXPECT_EQ(Slurp(Host("tessiv.sid"))[8], 'X');
    struct _stat st;
    ASSERT_EQ(_stat("C:\\tessiv.sid", &st), 0);
    EXPECT_EQ(st.st_size, (long)sizeof bytes);
    EXPECT_TRUE(st.st_mode & _S_IFREG);
    EXPECT_EQ(_stat("C:\\none", &st), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(fopen("C:\\none\\x.txt", "w"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(fopen("C:\\none.txt", "r"), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(VolumesTest, DeletionAtTheNextBoot) {
    // The registry needs the SYSTEM hive with its control set.
    Hive sys;
    sys.root = std::make_unique<HiveKey>();
    sys.root->name = "SYSTEM";
    TestValue(TestKey(sys.root.get(), "Select"), "Current", 4, {1, 0, 0, 0});
    // As on NT: Administrators and SYSTEM full control, everyone else reads.
    auto acl = AclBuild({Ace(0, 0, 0xF003F, SidBuiltin(544)), Ace(0, 0, 0xF003F, SidLocalSystem()),
                         Ace(0, 0, 0x20019, SidEveryone())});
    SidBytes admins = SidBuiltin(544);
    TestKey(sys.root.get(), "ControlSet001\\Control\\Session Manager")->security =
        std::make_shared<const std::vector<uint8_t>>(SdBuild(SE_DACL_PRESENT, admins.data(), admins.data(), nullptr, acl.data()));
    ASSERT_EQ(RegfSaveFile(sys, ConfigDir() + "SYSTEM"), (uint32_t)ERROR_SUCCESS);
    std::ofstream(Host("tessiv.exe")) << "program";
    std::ofstream(Host("old.txt")) << "old";
    std::ofstream(Host("new.txt")) << "new";
    Attach("Administrator");
    ASSERT_TRUE(MoveFileExA("C:\\tessiv.exe", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(MoveFileExA("C:\\new.txt", "C:\\old.txt", MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING));
    EXPECT_TRUE(std::filesystem::exists(Host("tessiv.exe"))) << "nothing happens before the restart";
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_QUERY_VALUE, &key),
              ERROR_SUCCESS);
    char data[256];
    DWORD type = 0, size = sizeof data;
    ASSERT_EQ(RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, &type, (LPBYTE)data, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, (DWORD)REG_MULTI_SZ);
    const char expect[] = "\\??\\C:\\tessiv.exe\0\0\\??\\C:\\new.txt\0!\\??\\C:\\old.txt\0";
    ASSERT_EQ(size, sizeof expect);
    EXPECT_EQ(memcmp(data, expect, sizeof expect), 0);
    RegCloseKey(key);
    ProcessDetach();  // the hives are written at exit
    ASSERT_EQ(ApplyPendingFileOperations(dir_), (uint32_t)ERROR_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(Host("tessiv.exe")));
    EXPECT_FALSE(std::filesystem::exists(Host("new.txt")));
    EXPECT_EQ(Slurp(Host("old.txt")), "new");
    // The list is gone: a second boot does nothing.
    Attach("Administrator");
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_QUERY_VALUE, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
    // An ordinary user may not ask for it.
    ProcessDetach();
    Attach("User1");
    EXPECT_FALSE(MoveFileExA("C:\\old.txt", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
}

}  // namespace
