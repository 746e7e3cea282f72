// Deleting files while their folder is being listed, as a tree deletion does: what the
// listing read must never let a deletion through that the file's present state refuses,
// whether this process or another one changed it after the listing.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "nt/win32.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/security/sd.h"
#include "unit/security/machine_fixture.h"

using namespace ntsim;

namespace {

class FindDeleteTest : public MachineTest {
protected:
    bool HostExists(const std::string& rel) { return std::filesystem::exists(Host(rel)); }
    void MakeFiles(const std::string& folder, int count) {
        std::filesystem::create_directories(Host(folder));
        for (int i = 0; i < count; ++i) std::ofstream(Host(folder + "/f" + std::to_string(i) + ".txt")) << std::string(i, 'x');
    }
    // Opens a listing of the folder and returns its handle (the first entry in *fd).
    HANDLE Open(const std::string& folder, WIN32_FIND_DATAA* fd) {
        return FindFirstFileA(("C:\\" + folder + "\\*.*").c_str(), fd);
    }
    // Runs fn in another process of the same machine; its exit status.
    template <class Fn>
    static int InChild(Fn fn) {
        fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            ProcessDetach();
            _exit(fn());
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    int ChildAttached(const std::function<bool()>& fn) {
        return InChild([&] {
            std::string err;
            if (!ProcessAttach(dir_, "Administrator", false, &err)) return 2;
            bool ok = fn();
            ProcessDetach();
            return ok ? 0 : 1;
        });
    }
    // A DACL that gives Administrators the given rights, inherited by what is below.
    static std::vector<uint8_t> AdminsDacl(uint32_t mask) {
        return AclBuild({Ace(0, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, mask, SidBuiltin(544))});
    }
    static DWORD SetDacl(const std::string& path, std::vector<uint8_t> dacl) {
        return SetNamedSecurityInfoA((LPSTR)path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                     (PACL)dacl.data(), nullptr);
    }
    static DWORD DeleteError(const std::string& path) {
        SetLastError(0xdeadbeef);
        return DeleteFileA(path.c_str()) ? ERROR_SUCCESS : GetLastError();
    }
};

TEST_F(FindDeleteTest, LargeFolderListedWhole) {
    Attach("Administrator");
    const int count = 700;  // enough for the folder to be read on in the background
    MakeFiles("Big", count);
    ASSERT_TRUE(SetFileAttributesA("C:\\Big\\f7.txt", FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesA("C:\\Big\\f8.txt", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    ASSERT_TRUE(SetFileAttributesA("C:\\Big\\f9.txt", FILE_ATTRIBUTE_NORMAL));

    // A second handle on the same folder, closed at once: its reader must stop, not hang.
    WIN32_FIND_DATAA fd;
    HANDLE early = Open("Big", &fd);
    ASSERT_NE(early, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(FindClose(early));

    std::map<std::string, WIN32_FIND_DATAA> seen;
    HANDLE h = Open("Big", &fd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    do {
        EXPECT_TRUE(seen.emplace(fd.cFileName, fd).second) << "listed twice: " << fd.cFileName;
        // Delete as a tree deletion does, while the listing is still open.
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(fd.dwFileAttributes & FILE_ATTRIBUTE_READONLY)) {
            EXPECT_TRUE(DeleteFileA(("C:\\Big\\" + std::string(fd.cFileName)).c_str())) << fd.cFileName;
        }
    } while (FindNextFileA(h, &fd));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_FILES);
    EXPECT_TRUE(FindClose(h));

    ASSERT_EQ(seen.size(), (size_t)count + 2);
    EXPECT_TRUE(seen.count(".") && seen.count(".."));
    for (int i = 0; i < count; ++i) {
        std::string name = "f" + std::to_string(i) + ".txt";
        ASSERT_TRUE(seen.count(name)) << name;
        EXPECT_EQ(seen[name].nFileSizeLow, (DWORD)i) << name;
    }
    EXPECT_EQ(seen["f7.txt"].dwFileAttributes, (DWORD)FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(seen["f8.txt"].dwFileAttributes, (DWORD)(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    EXPECT_EQ(seen["f9.txt"].dwFileAttributes, (DWORD)FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(seen["f10.txt"].dwFileAttributes, (DWORD)FILE_ATTRIBUTE_ARCHIVE);
    // Only the read-only file is left.
    std::vector<std::string> left;
    for (auto& e : std::filesystem::directory_iterator(Host("Big"))) left.push_back(e.path().filename());
    EXPECT_EQ(left, std::vector<std::string>{"f7.txt"});
}

TEST_F(FindDeleteTest, ThisProcessChangesAfterTheListingAreObeyed) {
    Attach("Administrator");
    MakeFiles("Work", 6);
    // The files do not grant Administrators DELETE: only the folder's FILE_DELETE_CHILD lets
    // them be deleted.
    for (int i = 0; i < 6; ++i)
        ASSERT_EQ(SetDacl("C:\\Work\\f" + std::to_string(i) + ".txt", AdminsDacl(FILE_ALL_ACCESS & ~(uint32_t)DELETE)), (DWORD)ERROR_SUCCESS);
    std::ofstream(Host("Work/r.txt")) << "r";
    ASSERT_TRUE(SetFileAttributesA("C:\\Work\\r.txt", FILE_ATTRIBUTE_READONLY));
    WIN32_FIND_DATAA fd;
    HANDLE h = Open("Work", &fd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);

    // A read-only file moved into the place of a listed one.
    ASSERT_TRUE(MoveFileExA("C:\\Work\\r.txt", "C:\\Work\\f5.txt", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(DeleteError("C:\\Work\\f5.txt"), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(HostExists("Work/f5.txt"));

    ASSERT_TRUE(SetFileAttributesA("C:\\Work\\f1.txt", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(DeleteError("C:\\Work\\f1.txt"), (DWORD)ERROR_ACCESS_DENIED) << "made read-only after the listing";
    EXPECT_TRUE(HostExists("Work/f1.txt"));

    std::filesystem::remove(Host("Work/f2.txt"));
    std::filesystem::create_directory(Host("Work/f2.txt"));
    EXPECT_EQ(DeleteError("C:\\Work\\f2.txt"), (DWORD)ERROR_ACCESS_DENIED) << "a directory now";
    EXPECT_TRUE(HostExists("Work/f2.txt"));

    std::filesystem::remove(Host("Work/f3.txt"));
    EXPECT_EQ(DeleteError("C:\\Work\\f3.txt"), (DWORD)ERROR_FILE_NOT_FOUND);

    EXPECT_EQ(DeleteError("C:\\Work\\f0.txt"), (DWORD)ERROR_SUCCESS) << "unchanged";
    EXPECT_FALSE(HostExists("Work/f0.txt"));

    // The folder no longer grants FILE_DELETE_CHILD, and the files never granted DELETE.
    ASSERT_EQ(SetDacl("C:\\Work", AdminsDacl(FILE_ALL_ACCESS & ~(uint32_t)FILE_DELETE_CHILD)), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(DeleteError("C:\\Work\\f4.txt"), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(HostExists("Work/f4.txt"));
    EXPECT_TRUE(FindClose(h));
}

TEST_F(FindDeleteTest, AnotherProcessesChangesAfterTheListingAreObeyed) {
    Attach("Administrator");
    MakeFiles("Work", 4);
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(SetDacl("C:\\Work\\f" + std::to_string(i) + ".txt", AdminsDacl(FILE_ALL_ACCESS & ~(uint32_t)DELETE)), (DWORD)ERROR_SUCCESS);
    WIN32_FIND_DATAA fd;
    HANDLE h = Open("Work", &fd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);

    ASSERT_EQ(ChildAttached([] { return SetFileAttributesA("C:\\Work\\f1.txt", FILE_ATTRIBUTE_READONLY) != FALSE; }), 0);
    EXPECT_EQ(DeleteError("C:\\Work\\f1.txt"), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(HostExists("Work/f1.txt"));
    EXPECT_EQ(DeleteError("C:\\Work\\f0.txt"), (DWORD)ERROR_SUCCESS);

    // Another process moves a read-only file into the place of a listed one.
    ASSERT_EQ(ChildAttached([] {
                  return SetFileAttributesA("C:\\Work\\f3.txt", FILE_ATTRIBUTE_READONLY) &&
                         MoveFileExA("C:\\Work\\f3.txt", "C:\\Work\\f2.txt", MOVEFILE_REPLACE_EXISTING);
              }),
              0);
    EXPECT_EQ(DeleteError("C:\\Work\\f2.txt"), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(HostExists("Work/f2.txt"));

    ASSERT_EQ(SetFileAttributesA("C:\\Work\\f2.txt", FILE_ATTRIBUTE_NORMAL), TRUE);
    ASSERT_EQ(ChildAttached([] {
                  return SetDacl("C:\\Work", AdminsDacl(FILE_ALL_ACCESS & ~(uint32_t)FILE_DELETE_CHILD)) == ERROR_SUCCESS;
              }),
              0);
    EXPECT_EQ(DeleteError("C:\\Work\\f2.txt"), (DWORD)ERROR_ACCESS_DENIED) << "the folder's descriptor changed";
    EXPECT_TRUE(HostExists("Work/f2.txt"));
    EXPECT_TRUE(FindClose(h));
}

TEST_F(FindDeleteTest, EachDeletionMeetsFaultInjection) {
    Attach("Administrator");
    MakeFiles("Work", 3);
    WIN32_FIND_DATAA fd;
    HANDLE h = Open("Work", &fd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FaultAdd({"DeleteFileA", ERROR_SHARING_VIOLATION, 2, "", false});
    EXPECT_EQ(DeleteError("C:\\Work\\f0.txt"), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(DeleteError("C:\\Work\\f1.txt"), (DWORD)ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(HostExists("Work/f1.txt"));
    EXPECT_EQ(DeleteError("C:\\Work\\f2.txt"), (DWORD)ERROR_SUCCESS);
    EXPECT_TRUE(FindClose(h));
}

}  // namespace
