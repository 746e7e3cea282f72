// Files, directories and enumeration by Windows path, with attributes and access checks.
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <cstring>
#include <fstream>
#include <set>
#include <string>

#include "nt/win32.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/security/sd.h"
#include "unit/security/machine_fixture.h"

using namespace ntsim;

namespace {

class FilesTest : public MachineTest {
protected:
    void MakeFile(const std::string& rel, const std::string& text = "x") { std::ofstream(Host(rel), std::ios::binary) << text; }
    bool HostExists(const std::string& rel) { return std::filesystem::exists(Host(rel)); }
    std::set<std::string> List(const char* pattern, DWORD* error = nullptr) {
        std::set<std::string> names;
        WIN32_FIND_DATAA fd;
        memset(&fd, 0xCC, sizeof fd);
        SetLastError(0xdeadbeef);
        HANDLE h = FindFirstFileA(pattern, &fd);
        if (h == INVALID_HANDLE_VALUE) {
            if (error) *error = GetLastError();
            return names;
        }
        do names.insert(std::string(fd.cFileName) + ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? "/" : ""));
        while (FindNextFileA(h, &fd));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_FILES);
        EXPECT_TRUE(FindClose(h));
        return names;
    }
    // Gives a folder a DACL only Administrators and SYSTEM pass.
    void AdminsOnly(const std::string& rel) {
        const uint8_t inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
        auto acl = AclBuild({Ace(0, inherit, 0x1F01FF, SidBuiltin(544)), Ace(0, inherit, 0x1F01FF, SidLocalSystem())});
        SidBytes owner = SidBuiltin(544);
        auto sd = SdBuild(SE_DACL_PRESENT, owner.data(), owner.data(), nullptr, acl.data());
        ASSERT_EQ(setxattr(Host(rel).c_str(), "user.ntsim.sd", sd.data(), sd.size(), 0), 0);
    }
};

TEST_F(FilesTest, EnumerationWithWildcards) {
    Attach("Administrator");
    std::filesystem::create_directories(Host("Dir/Sub"));
    MakeFile("Dir/a.txt", "hello");
    MakeFile("Dir/b.log");
    MakeFile("Dir/noext");
    EXPECT_EQ(List("C:\\Dir\\*.*"), (std::set<std::string>{"./", "../", "Sub/", "a.txt", "b.log", "noext"}));
    EXPECT_EQ(List("c:\\dir\\*.TXT"), (std::set<std::string>{"a.txt"}));
    EXPECT_EQ(List("C:\\Dir\\?.log"), (std::set<std::string>{"b.log"}));
    EXPECT_EQ(List("C:\\Dir\\a.*"), (std::set<std::string>{"a.txt"}));
    EXPECT_EQ(List("C:\\Dir\\noext.*"), (std::set<std::string>{"noext"}));
    std::set<std::string> root = List("C:\\*");
    EXPECT_TRUE(root.count("Dir/") && !root.count("./")) << "a root lists no dot entries";
    DWORD error = 0;
    EXPECT_TRUE(List("C:\\Dir\\*.doc", &error).empty());
    EXPECT_EQ(error, (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(List("C:\\Nowhere\\*.*", &error).empty());
    EXPECT_EQ(error, (DWORD)ERROR_PATH_NOT_FOUND);
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA("C:\\Dir\\a.txt", &fd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(fd.nFileSizeLow, 5u);
    EXPECT_EQ(fd.dwFileAttributes, (DWORD)FILE_ATTRIBUTE_ARCHIVE);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(FindNextFileA(h, &fd));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_FILES);
    EXPECT_TRUE(FindClose(h));
    EXPECT_FALSE(FindClose(h));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(FilesTest, AttributesKeptAndObeyed) {
    Attach("Administrator");
    MakeFile("ro.txt", "12345678");
    EXPECT_EQ(GetFileAttributesA("C:\\ro.txt"), (DWORD)FILE_ATTRIBUTE_ARCHIVE);
    ASSERT_TRUE(SetFileAttributesA("C:\\ro.txt", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    EXPECT_EQ(GetFileAttributesA("C:\\RO.TXT"), (DWORD)(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(GetFileAttributesExA("C:\\ro.txt", GetFileExInfoStandard, &data));
    EXPECT_EQ(data.nFileSizeLow, 8u);
    EXPECT_EQ(data.dwFileAttributes, (DWORD)(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(DeleteFileA("C:\\ro.txt"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(HostExists("ro.txt"));
    EXPECT_EQ(fopen("C:\\ro.txt", "w"), nullptr);
    EXPECT_EQ(errno, EACCES);
    ASSERT_TRUE(SetFileAttributesA("C:\\ro.txt", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesA("C:\\ro.txt"), (DWORD)FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(DeleteFileA("C:\\ro.txt"));
    EXPECT_FALSE(HostExists("ro.txt"));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetFileAttributesA("C:\\ro.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetFileAttributesA("C:\\none\\ro.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(DeleteFileA("C:\\ro.txt"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetFileAttributesA("C:\\WINNT"), (DWORD)FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(FilesTest, Directories) {
    Attach("Administrator");
    ASSERT_TRUE(CreateDirectoryA("C:\\Work", nullptr));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CreateDirectoryA("c:\\work", nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CreateDirectoryA("C:\\Missing\\Child", nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    ASSERT_TRUE(CreateDirectoryA("C:\\Work\\Inner", nullptr));
    EXPECT_FALSE(RemoveDirectoryA("C:\\Work"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DIR_NOT_EMPTY);
    MakeFile("Work/f");
    EXPECT_FALSE(RemoveDirectoryA("C:\\Work\\f"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DIRECTORY);
    EXPECT_FALSE(DeleteFileA("C:\\Work\\Inner"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(RemoveDirectoryA("C:\\Work\\Inner"));
    EXPECT_FALSE(HostExists("Work/Inner"));
    // The new folder was given the descriptor it inherits, owned by its creator's Administrators.
    std::vector<uint8_t> sd(1024);
    ssize_t n = getxattr(Host("Work").c_str(), "user.ntsim.sd", sd.data(), sd.size());
    ASSERT_GT(n, 0);
    SdView v;
    ASSERT_EQ(SdParseRelative(sd.data(), (size_t)n, &v), (uint32_t)ERROR_SUCCESS);
    EXPECT_EQ(SidToText(v.owner, v.ownerLen), "S-1-5-32-544");
}

TEST_F(FilesTest, DirectoryWithTheCallersDescriptor) {
    Attach("Administrator");
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone;
    ASSERT_TRUE(AllocateAndInitializeSid(&world, 1, 0, 0, 0, 0, 0, 0, 0, 0, &everyone));
    DWORD aclBuf[16];
    ASSERT_TRUE(InitializeAcl((PACL)aclBuf, sizeof aclBuf, ACL_REVISION));
    ASSERT_TRUE(AddAccessAllowedAce((PACL)aclBuf, ACL_REVISION, 0x120089, everyone));
    SECURITY_DESCRIPTOR abs;
    InitializeSecurityDescriptor(&abs, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&abs, TRUE, (PACL)aclBuf, FALSE);
    SECURITY_ATTRIBUTES sa = {sizeof sa, &abs, FALSE};
    ASSERT_TRUE(CreateDirectoryA("C:\\Shared", &sa));
    PSID owner;
    PACL dacl;
    PSECURITY_DESCRIPTOR sd;
    ASSERT_EQ(GetNamedSecurityInfoA("C:\\Shared", SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                    nullptr, &dacl, nullptr, &sd),
              (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(SidToText((const uint8_t*)owner, 68), "S-1-5-32-544") << "the owner comes from the token";
    ASSERT_EQ(dacl->AceCount, 1);
    ACCESS_ALLOWED_ACE* ace;
    ASSERT_TRUE(GetAce(dacl, 0, (LPVOID*)&ace));
    EXPECT_EQ(ace->Mask, 0x120089u);
    EXPECT_TRUE(EqualSid(&ace->SidStart, everyone));
    LocalFree(sd);
    FreeSid(everyone);
    // Read-only for everyone, the administrator included: no new file inside.
    EXPECT_EQ(fopen("C:\\Shared\\x.txt", "w"), nullptr);
    EXPECT_EQ(errno, EACCES);
}

TEST_F(FilesTest, CopyAndMove) {
    Attach("Administrator");
    MakeFile("src.txt", "data");
    ASSERT_TRUE(CopyFileA("C:\\src.txt", "C:\\dst.txt", TRUE));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CopyFileA("C:\\src.txt", "C:\\dst.txt", TRUE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_EXISTS);
    MakeFile("src.txt", "newer");
    EXPECT_TRUE(CopyFileA("C:\\src.txt", "C:\\dst.txt", FALSE)) << "copying over an existing file";
    std::ifstream in(Host("dst.txt"));
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "newer");
    EXPECT_FALSE(CopyFileA("C:\\none.txt", "C:\\x.txt", FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(MoveFileExA("C:\\src.txt", "C:\\dst.txt", 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(MoveFileExA("C:\\src.txt", "C:\\dst.txt", MOVEFILE_REPLACE_EXISTING));
    EXPECT_FALSE(HostExists("src.txt"));
    ASSERT_TRUE(MoveFileExA("C:\\dst.txt", "C:\\moved.txt", 0));
    EXPECT_TRUE(HostExists("moved.txt"));
    EXPECT_FALSE(MoveFileExA("C:\\nothing", "C:\\x", 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST_F(FilesTest, TempNames) {
    Attach("Administrator");
    char name[MAX_PATH];
    UINT n = GetTempFileNameA("C:\\TEMP", "HIVE", 0, name);
    ASSERT_NE(n, 0u);
    char expect[MAX_PATH];
    snprintf(expect, sizeof expect, "C:\\TEMP\\HIV%X.TMP", n);
    EXPECT_STREQ(name, expect);
    EXPECT_NE(GetFileAttributesA(name), INVALID_FILE_ATTRIBUTES) << "the file was created";
    EXPECT_EQ(GetTempFileNameA("C:\\TEMP", "ab", 0x12, name), 0x12u);
    EXPECT_STREQ(name, "C:\\TEMP\\ab12.TMP");
    EXPECT_EQ(GetTempFileNameA("C:\\NoSuch", "x", 0, name), 0u);
}

TEST_F(FilesTest, AccessCheckedForAnOrdinaryUser) {
    std::filesystem::create_directories(Host("Private/Inner"));
    MakeFile("Private/secret.txt", "s");
    AdminsOnly("Private");
    Attach("User1");
    DWORD error = 0;
    EXPECT_TRUE(List("C:\\Private\\*.*", &error).empty());
    EXPECT_EQ(error, (DWORD)ERROR_ACCESS_DENIED);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(DeleteFileA("C:\\Private\\secret.txt"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(HostExists("Private/secret.txt"));
    EXPECT_FALSE(CreateDirectoryA("C:\\Private\\New", nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(fopen("C:\\Private\\secret.txt", "rb"), nullptr);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(fopen("C:\\Private\\Inner\\new.txt", "w"), nullptr) << "inherited by the folder below";
    // Elsewhere the user may work, and owns what it creates.
    ASSERT_TRUE(CreateDirectoryA("C:\\Mine", nullptr));
    FILE* f = fopen("C:\\Mine\\note.txt", "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    PSID owner;
    PSECURITY_DESCRIPTOR sd;
    ASSERT_EQ(GetNamedSecurityInfoA("C:\\Mine\\note.txt", SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                    nullptr, &sd),
              (DWORD)ERROR_SUCCESS);
    EXPECT_TRUE(EqualSid(owner, Account(1000).data()));
    LocalFree(sd);
    ProcessDetach();
    Attach("Administrator");
    EXPECT_EQ(List("C:\\Private\\*.txt"), (std::set<std::string>{"secret.txt"}));
    EXPECT_TRUE(DeleteFileA("C:\\Private\\secret.txt"));
}

TEST_F(FilesTest, InjectedFaultsLoseNothing) {
    Attach("Administrator");
    MakeFile("keep.txt", "k");
    FaultAdd({"DeleteFileA", ERROR_SHARING_VIOLATION, 0, "*keep.txt", false});
    EXPECT_FALSE(DeleteFileA("C:\\keep.txt"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(HostExists("keep.txt"));
    FaultAdd({"CopyFileA", ERROR_DISK_FULL, 1, "", false});
    EXPECT_FALSE(CopyFileA("C:\\keep.txt", "C:\\copy.txt", FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DISK_FULL);
    EXPECT_FALSE(HostExists("copy.txt"));
    FaultAdd({"MoveFileExA", ERROR_ACCESS_DENIED, 1, "", false});
    EXPECT_FALSE(MoveFileExA("C:\\keep.txt", "C:\\moved.txt", 0));
    EXPECT_TRUE(HostExists("keep.txt"));
    FaultAdd({"CreateDirectoryA", ERROR_DISK_FULL, 1, "", false});
    EXPECT_FALSE(CreateDirectoryA("C:\\NewDir", nullptr));
    EXPECT_FALSE(HostExists("NewDir"));
    FaultAdd({"FindFirstFileA", ERROR_NOT_READY, 1, "", false});
    WIN32_FIND_DATAA fd;
    EXPECT_EQ(FindFirstFileA("C:\\*", &fd), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_READY);
    FaultAdd({"fopen", ERROR_ACCESS_DENIED, 1, "C:\\keep.txt", false});
    EXPECT_EQ(fopen("C:\\keep.txt", "rb"), nullptr);
    FILE* f = fopen("C:\\keep.txt", "rb");
    ASSERT_NE(f, nullptr);
    fclose(f);
    FaultAdd({"SetFileAttributesA", ERROR_ACCESS_DENIED, 1, "", false});
    EXPECT_FALSE(SetFileAttributesA("C:\\keep.txt", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesA("C:\\keep.txt"), (DWORD)FILE_ATTRIBUTE_ARCHIVE);
}

}  // namespace
