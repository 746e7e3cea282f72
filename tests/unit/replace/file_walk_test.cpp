// The file system security walk on a simulated machine with several drives: what is
// walked and in which order, the per-drive counts, the restore, and every reported failure.
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "replace/file_walk.h"
#include "unit/engine/engine_fixture.h"
#include "unit/engine/stream_text.h"

namespace {

using Bytes = std::vector<uint8_t>;
const std::string kOld = "S-1-5-21-11-22-33-", kOldDomain = "S-1-5-21-4-5-6-";

// Owner, group System and an inheritable DACL of the given SIDs.
Bytes Sd(const std::string& owner, std::vector<std::string> dacl) {
    std::vector<ntsim::AceEntry> aces(dacl.size());
    for (size_t i = 0; i < dacl.size(); ++i) aces[i].flags = 3, aces[i].mask = 0x1F01FF, aces[i].sid = SidOf(dacl[i]);
    Bytes o = SidOf(owner), g = SidOf("S-1-5-18"), d = ntsim::AclBuild(aces);
    return ntsim::SdBuild(SE_DACL_PRESENT, o.data(), g.data(), nullptr, d.data());
}
const Bytes kOldOwner = Sd(kOld + "500", {"S-1-5-32-544"}), kOldInDacl = Sd("S-1-5-32-544", {kOld + "1001", "S-1-1-0"});
const Bytes kDomainInDacl = Sd("S-1-5-32-544", {kOldDomain + "1105"}), kClean = Sd("S-1-5-32-544", {"S-1-1-0"});
bool Holds(const Bytes& sd, const std::string& sid) {
    Bytes s = SidOf(sid);
    return std::search(sd.begin(), sd.end(), s.begin(), s.end()) != sd.end();
}

class FileWalk : public EngineTest {
protected:
    FILE* log_ = nullptr;
    Sid sids_[4];
    std::map<std::string, Bytes> stored_;  // Windows path -> descriptor as first stored

    void Machine(const std::string& drives) {  // "letter type fs ready" for each extra drive
        TestMachineSetup setup;
        std::istringstream in(drives);
        for (std::string letter, type, fs, ready; in >> letter >> type >> fs >> ready;) {
            std::filesystem::create_directories(root_ + "/" + letter);
            setup.confExtra += "[drive " + letter + "]\npath = " + root_ + "/" + letter + "\ntype = " + type +
                               "\nfs = " + fs + "\nready = " + ready + "\n";
        }
        Start(setup);
        FreeChangedFiles();
        logStream = log_ = tmpfile();
        verboseLog = 1;
        const char* texts[] = {"S-1-5-21-11-22-33", "S-1-5-21-44-55-66", "S-1-5-21-4-5-6", "S-1-5-21-7-8-9"};
        for (int i = 0; i < 4; ++i) ASSERT_TRUE(SidFromText(texts[i], &sids_[i]));
        jobSettings->originalSid = &sids_[0], jobSettings->newSid = &sids_[1];
        jobSettings->oldDomainSid = &sids_[2], jobSettings->newDomainSid = &sids_[3], jobSettings->replaceDomainSid = 1;
        ASSERT_TRUE(EnablePrivilege(SE_RESTORE_NAME, TRUE));
    }
    void TearDown() override {
        ntsim::FaultClearAll();
        FreeChangedFiles();
        logStream = nullptr, verboseLog = 0;
        if (log_) fclose(log_);
        EngineTest::TearDown();
    }
    std::string HostOf(std::string path) {
        std::replace(path.begin(), path.end(), '\\', '/');
        return (path[0] == 'C' ? dir_ + "/drives/c" : root_ + "/" + path.substr(0, 1)) + "/" + path.substr(3);
    }
    void Put(const std::string& path, const Bytes& sd, bool folder = false) {
        folder ? (void)std::filesystem::create_directories(HostOf(path)) : (void)(std::ofstream(HostOf(path)) << "x");
        ASSERT_EQ(setxattr(HostOf(path).c_str(), "user.ntsim.sd", sd.data(), sd.size(), 0), 0) << path;
        stored_[path] = sd;
    }
    Bytes Stored(const std::string& path) {
        Bytes sd(4096);
        sd.resize(std::max<ssize_t>(0, getxattr(HostOf(path).c_str(), "user.ntsim.sd", sd.data(), sd.size())));
        return sd;
    }
    std::vector<std::string> Rewritten() {  // in path order
        std::vector<std::string> out;
        for (const auto& [path, sd] : stored_)
            if (Stored(path) != sd) out.push_back(path);
        return out;
    }
    std::vector<std::string> Recorded() {  // the restore's list, as it reads it back
        std::vector<std::string> out;
        auto visit = [](const char* path, DWORD, const BYTE*, DWORD, void* list) {
            ((std::vector<std::string>*)list)->push_back(path);
            return true;
        };
        EXPECT_EQ(ForEachChangedFile(visit, &out), 1);
        EXPECT_EQ(out.size(), (size_t)changedFileCount);
        return out;
    }
    std::string Log() { return StreamText(log_); }
    static std::string ReadAll(const std::string& host) {
        std::ifstream in(host, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::vector<std::string> Errors() {  // the texts of the boxes shown
        std::vector<std::string> out;
        for (const std::string& b : Boxes()) out.push_back(b.substr(b.find("]: \"") + 4, b.size() - b.find("]: \"") - 5));
        return out;
    }
    void NextCase() {
        ntsim::FaultClearAll(), ntsim::TranscriptClear(), FreeChangedFiles();
        fclose(log_), logStream = log_ = tmpfile();
    }
};

// A chain of folders with one changed entry each, so that the order is the walk's alone:
// root first, each folder before its entries; page and hibernation files never opened.
TEST_F(FileWalk, RewritesNestedFoldersInOrderAndRestoresThemByteForByte) {
    Machine("D fixed NTFS yes");
    Put("D:\\", kOldOwner, true), Put("D:\\clean.txt", kClean), Put("D:\\Pagefile.sys", kOldInDacl);
    Put("D:\\a", kOldInDacl, true), Put("D:\\a\\b", kClean, true), Put("D:\\a\\b\\HIBERFIL.SYS", kOldOwner);
    Put("D:\\a\\b\\pagefile.SYS", kOldOwner, true), Put("D:\\a\\b\\deep.txt", kDomainInDacl);
    ASSERT_EQ(ScanFileSystemSecurity(), 1) << Log();
    const std::vector<std::string> changed = {"D:\\", "D:\\a", "D:\\a\\b\\deep.txt"};
    EXPECT_EQ(Recorded(), changed);
    EXPECT_EQ(Rewritten(), changed);
    EXPECT_TRUE(Holds(Stored("D:\\"), "S-1-5-21-44-55-66-500") && !Holds(Stored("D:\\"), kOld + "500"));
    EXPECT_TRUE(Holds(Stored("D:\\a"), "S-1-5-21-44-55-66-1001") && !Holds(Stored("D:\\a"), kOld + "1001"));
    EXPECT_TRUE(Holds(Stored("D:\\a\\b\\deep.txt"), "S-1-5-21-7-8-9-1105"));
    EXPECT_EQ(Log(), "Information: 'C:\\' is NTFS partition\nSUCCESS: 0 security assignments replaced on drive C:\\\n"
                     "Information: 'D:\\' is NTFS partition\nReplaced: D:\\\nReplaced: D:\\a\nReplaced: D:\\a\\b\\deep.txt\n"
                     "SUCCESS: 3 security assignments replaced on drive D:\\\n");
    std::string scanLog = Log();
    ASSERT_EQ(RestoreFileSystemSecurity(), 1);
    EXPECT_EQ(Rewritten(), std::vector<std::string>());
    EXPECT_EQ(Log(), scanLog + "\nRestoring File System Security:\n   D:\\\n   D:\\a\n   D:\\a\\b\\deep.txt\n"
                               "Complete: File system security restored successfully.\n");
    EXPECT_TRUE(Boxes().empty());
    // Quiet log, no domain pair: no per-file lines, the domain SID stays.
    NextCase();
    verboseLog = 0, jobSettings->replaceDomainSid = 0;
    ASSERT_EQ(ScanFileSystemSecurity(), 1);
    EXPECT_EQ(Rewritten(), std::vector<std::string>({"D:\\", "D:\\a"}));
    ASSERT_EQ(RestoreFileSystemSecurity(), 1);
    EXPECT_EQ(Log().find("D:\\a"), std::string::npos);
}

// A junction that leads back to its own parent is not descended (the walk would never
// end); the junction itself is still examined, and a verbose log names it.
TEST_F(FileWalk, JunctionsAreNotFollowed) {
    Machine("D fixed NTFS yes");
    Put("D:\\a", kOldInDacl, true), Put("D:\\a\\b.txt", kOldOwner);
    std::filesystem::create_directory_symlink(".", HostOf("D:\\a\\loop"));
    ASSERT_EQ(ScanFileSystemSecurity(), 1) << Log();
    EXPECT_EQ(Recorded(), std::vector<std::string>({"D:\\a", "D:\\a\\b.txt"}));
    EXPECT_NE(Log().find("\nInformation: Not following reparse point: D:\\a\\loop\n"), std::string::npos) << Log();
    EXPECT_TRUE(Boxes().empty());
}

// Fixed and removable NTFS drives are walked, FAT ones named, the rest passed over in
// silence (any touch of them would fail); counts per drive.
TEST_F(FileWalk, WalksOnlyLocalNtfsDrivesAndCountsPerDrive) {
    Machine("A removable FAT no E cdrom NTFS yes F remote NTFS yes G removable NTFS yes H fixed FAT yes "
            "I fixed NTFS yes J fixed NTFS yes K fixed NTFS yes L fixed NTFS yes");
    for (const char* p : {"E:\\x", "F:\\x", "J:\\x", "K:\\x", "L:\\x", "G:\\1", "G:\\2", "G:\\3"}) Put(p, kOldOwner);
    Put("I:\\d", kOldInDacl, true);
    for (const char* p : {"I:\\d\\1", "I:\\d\\2", "I:\\d\\3", "I:\\d\\4"}) Put(p, kOldInDacl);
    for (const char* root : {"E:\\", "F:\\"}) ntsim::FaultAdd({"GetVolumeInformationA", ERROR_ACCESS_DENIED, 0, root, false});
    ntsim::FaultAdd({"GetNamedSecurityInfoA", ERROR_ACCESS_DENIED, 0, "H:*", false});
    for (auto [root, code] : {std::pair{"J:\\", ERROR_WRONG_DISK}, {"K:\\", ERROR_INVALID_PARAMETER}, {"L:\\", ERROR_UNRECOGNIZED_VOLUME}})
        ntsim::FaultAdd({"GetVolumeInformationA", (uint32_t)code, 0, root, false});  // a changed, odd or unknown volume
    verboseLog = 0;
    ASSERT_EQ(ScanFileSystemSecurity(), 1) << Log();
    EXPECT_EQ(Log(), "Information: 'C:\\' is NTFS partition\nSUCCESS: 0 security assignments replaced on drive C:\\\n"
                     "Information: 'G:\\' is NTFS partition\nSUCCESS: 3 security assignments replaced on drive G:\\\n"
                     "Information: 'H:\\' is not NTFS partition\n"
                     "Information: 'I:\\' is NTFS partition\nSUCCESS: 5 security assignments replaced on drive I:\\\n");
    EXPECT_EQ(changedFileCount, 8u);
    EXPECT_EQ(Rewritten(), std::vector<std::string>({"G:\\1", "G:\\2", "G:\\3", "I:\\d", "I:\\d\\1", "I:\\d\\2",
                                                     "I:\\d\\3", "I:\\d\\4"}));
    EXPECT_TRUE(Boxes().empty());
}

// Each failure: one box with its text, result 0, the files rewritten before it recorded
// (and restored), those after it untouched. Then restores that fail.
TEST_F(FileWalk, FailuresAreReportedAndNothingIsLost) {
    Machine("D fixed NTFS yes");
    const std::vector<std::string> chain = {"D:\\1", "D:\\1\\2", "D:\\1\\2\\3"};
    Put(chain[0], kOldOwner, true), Put(chain[1], kOldOwner, true), Put(chain[2], kOldOwner);
    const ntsim::FaultRule emptyC = {"FindFirstFileA", ERROR_FILE_NOT_FOUND, 0, "C:*"};  // C:\ lists nothing
    const struct { ntsim::FaultRule fault; std::string error; size_t kept; ntsim::FaultRule extra = {}; } cases[] = {
        {{"GetLogicalDriveStringsA", ERROR_NOT_ENOUGH_MEMORY, 1, ""}, "Error 8 getting logical drive information", 0},
        {{"GetVolumeInformationA", ERROR_ACCESS_DENIED, 1, "D:\\"}, "Error 5 getting volume information for D:\\", 0},
        {{"GetNamedSecurityInfoA", ERROR_ACCESS_DENIED, 1, chain[1]}, "Error 5 obtaining security for 'D:\\1\\2'", 1},
        {{"SetNamedSecurityInfoA", ERROR_WRITE_FAULT, 1, chain[2]}, "Error 29 replacing security information for 'D:\\1\\2\\3'", 2},
        {{"FindFirstFileA", ERROR_ACCESS_DENIED, 1, "D:\\1\\2*.*"}, "Error 5 listing the entries of 'D:\\1\\2'", 2},
        {{"FindNextFileA", ERROR_NOT_READY, 0, ""}, "Error 21 listing the entries of 'D:\\1'", 1, emptyC},
        {{"LocalAlloc", ERROR_NOT_ENOUGH_MEMORY, 1, ""}, "Out of Memory", 0},  // no room for a record: nothing rewritten
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        ntsim::FaultAdd(c.fault);
        if (!c.extra.function.empty()) ntsim::FaultAdd(c.extra);
        EXPECT_EQ(ScanFileSystemSecurity(), 0);
        EXPECT_EQ(Errors(), std::vector<std::string>({c.error}));
        EXPECT_NE(Log().find("\n" + c.error + "\n"), std::string::npos) << Log();
        EXPECT_EQ(Recorded(), std::vector<std::string>(chain.begin(), chain.begin() + (long)c.kept));
        EXPECT_EQ(Rewritten(), Recorded());
        ntsim::FaultClearAll();
        EXPECT_EQ(RestoreFileSystemSecurity(), c.kept ? 1 : 0);
        EXPECT_EQ(Rewritten(), std::vector<std::string>());
        NextCase();
    }
    // A file the system keeps to itself is passed over; a verbose log says so.
    ntsim::FaultAdd({"GetNamedSecurityInfoA", ERROR_NO_MORE_FILES, 0, chain[1]});
    EXPECT_EQ(ScanFileSystemSecurity(), 1);
    EXPECT_NE(Log().find("\nInformation: Skipping system controlled file: D:\\1\\2\n"), std::string::npos);
    EXPECT_EQ(Recorded(), std::vector<std::string>({chain[0], chain[2]}));
    EXPECT_TRUE(Boxes().empty());
    // A failed restore goes on with the others; one box, every failure logged; nothing
    // to restore says so.
    ntsim::FaultAdd({"SetNamedSecurityInfoA", ERROR_WRITE_FAULT, 1, chain[0]});
    ntsim::FaultAdd({"SetNamedSecurityInfoA", ERROR_WRITE_FAULT, 1, chain[2]});
    EXPECT_EQ(RestoreFileSystemSecurity(), -1);
    EXPECT_EQ(Errors(), std::vector<std::string>({"Error 29 restoring security of 'D:\\1'"}));
    EXPECT_NE(Log().find("\nError 29 restoring security of 'D:\\1\\2\\3'\n"), std::string::npos);
    EXPECT_EQ(Log().find("Complete:"), std::string::npos);
    EXPECT_EQ(Rewritten(), std::vector<std::string>({chain[0], chain[2]}));
    EXPECT_EQ(RestoreFileSystemSecurity(), 1);
    EXPECT_EQ(Rewritten(), std::vector<std::string>());
    NextCase();
    EXPECT_EQ(RestoreFileSystemSecurity(), 0);
    EXPECT_EQ(Log(), "\nRestoring File System Security:\n   No changes made to file system security\n");
    // A path longer than the path buffer is reported, neither cut nor overflowed.
    const std::string longFolder = "C:\\" + std::string(200, 'p'), longFile = longFolder + "\\" + std::string(60, 'q');
    Put(longFolder, kOldOwner, true), Put(longFile, kOldOwner);
    EXPECT_EQ(ScanFileSystemSecurity(), 0);
    EXPECT_EQ(Errors(), std::vector<std::string>({"Error: path too long to examine its security: '" + longFile + "'"}));
    EXPECT_EQ(Recorded(), std::vector<std::string>({longFolder}));
    EXPECT_EQ(Stored(longFile), kOldOwner);
}

// The write-ahead record: each file about to be rewritten is in it, with its descriptor as
// read, before the file is written; a run that died after the walk is undone from it alone,
// byte for byte, and a file that named the new SIDs before the walk keeps them. A torn last
// entry is passed over; a record that cannot be written stops the walk before any write.
TEST_F(FileWalk, TheWriteAheadRecordUndoesExactlyWhatTheWalkChanged) {
    Machine("D fixed NTFS yes");
    std::filesystem::create_directories(HostOf("C:\\WORK"));
    strcpy(jobSettings->workDirectory, "C:\\WORK");
    const std::string record = HostOf("C:\\WORK\\FILESEC");
    const Bytes newBefore = Sd("S-1-5-32-544", {"S-1-5-21-44-55-66-1001", "S-1-5-21-7-8-9-1105"});
    const Bytes both = Sd(kOld + "500", {"S-1-5-21-7-8-9-1106", kOldDomain + "1106"});
    Put("D:\\a", kOldInDacl, true), Put("D:\\a\\new.txt", newBefore), Put("D:\\a\\both.txt", both);
    Put("D:\\a\\deep.txt", kDomainInDacl), Put("D:\\clean.txt", kClean);
    ASSERT_EQ(ScanFileSystemSecurity(), 1) << Log();
    const std::vector<std::string> changed = {"D:\\a", "D:\\a\\both.txt", "D:\\a\\deep.txt"};
    EXPECT_EQ(Rewritten(), changed);
    const std::string bytes = ReadAll(record);
    for (const std::string& path : changed) EXPECT_NE(bytes.find(path + std::string(1, '\0')), std::string::npos) << path;
    EXPECT_EQ(bytes.find("D:\\a\\new.txt"), std::string::npos);
    EXPECT_EQ(bytes.find("D:\\clean.txt"), std::string::npos);
    const std::string kept(both.begin(), both.end());
    EXPECT_NE(bytes.find(kept), std::string::npos) << "the descriptor as read";
    // The process died: its records in memory are gone. A torn entry follows the last batch.
    FreeChangedFiles();
    const char torn[] = {'T', 'S', 'F', 'S', 4, 0, 0, 0, 9, 0, 0, 0, 20, 0, 0, 0, 'D', ':', '\\'};
    std::ofstream(record, std::ios::app | std::ios::binary).write(torn, sizeof torn);
    ASSERT_EQ(RevertRecordedFileSecurity("C:\\WORK"), 1) << Log();
    EXPECT_EQ(Rewritten(), std::vector<std::string>());
    EXPECT_EQ(Stored("D:\\a\\new.txt"), newBefore);
    EXPECT_NE(Log().find("\nSUCCESS: 3 security assignments restored\n"), std::string::npos) << Log();
    // Run again after a cut in the revert: what is back already is not written again.
    ntsim::FaultAdd({"SetNamedSecurityInfoA", ERROR_WRITE_FAULT, 0, "", false});
    ASSERT_EQ(RevertRecordedFileSecurity("C:\\WORK"), 1) << Log();
    EXPECT_NE(Log().find("\nSUCCESS: 0 security assignments restored\n"), std::string::npos) << Log();
    EXPECT_TRUE(Boxes().empty());
    // A file that cannot be given back is shown; the others still are, and the result says
    // that the record must stay.
    NextCase();
    std::filesystem::remove(record);
    ASSERT_EQ(ScanFileSystemSecurity(), 1);
    FreeChangedFiles();
    ntsim::FaultAdd({"SetNamedSecurityInfoA", ERROR_WRITE_FAULT, 1, "D:\\a", false});
    EXPECT_EQ(RevertRecordedFileSecurity("C:\\WORK"), 0);
    EXPECT_EQ(Errors(), std::vector<std::string>({"Error 29 restoring security of 'D:\\a'"}));
    EXPECT_EQ(Rewritten(), std::vector<std::string>({"D:\\a"}));
    ntsim::FaultClearAll();
    ASSERT_EQ(RevertRecordedFileSecurity("C:\\WORK"), 1);
    EXPECT_EQ(Rewritten(), std::vector<std::string>());
    // The record cannot be written: nothing is rewritten.
    NextCase();
    std::filesystem::remove(record);
    ntsim::FaultAdd({"fopen", ERROR_DISK_FULL, 0, "*\\FILESEC", false});
    EXPECT_EQ(ScanFileSystemSecurity(), 0);
    EXPECT_EQ(Errors(), std::vector<std::string>({"Error 112 recording file security to 'C:\\WORK\\FILESEC'"}));
    EXPECT_EQ(Rewritten(), std::vector<std::string>());
    EXPECT_EQ(changedFileCount, 0u);
}

// The restore's list is read back from the record: a walk outside a job keeps it in a
// temporary file of the work folder, gone with the list; a second walk adds its own files
// after those the first one recorded but never wrote (it stopped at a failure), and the
// restore puts back exactly the written ones. A record that vanished is reported.
TEST_F(FileWalk, TheRestoreListIsReadBackFromTheRecord) {
    Machine("D fixed NTFS yes");
    auto temporaryRecords = [&] {
        std::vector<std::string> out;
        for (const auto& e : std::filesystem::recursive_directory_iterator(HostOf("C:\\")))
            if (e.path().filename().string().rfind("SEC", 0) == 0 && e.path().extension() == ".TMP")
                out.push_back(e.path().string());
        return out;
    };
    const std::vector<std::string> chain = {"D:\\1", "D:\\1\\2", "D:\\1\\2\\3"};
    Put(chain[0], kOldOwner, true), Put(chain[1], kOldInDacl, true), Put(chain[2], kDomainInDacl);
    ntsim::FaultAdd({"SetNamedSecurityInfoA", ERROR_WRITE_FAULT, 1, chain[1], false});
    EXPECT_EQ(ScanFileSystemSecurity(), 0);
    EXPECT_EQ(Recorded(), std::vector<std::string>({chain[0]}));
    const std::vector<std::string> records = temporaryRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_NE(ReadAll(records[0]).find(chain[2] + std::string(1, '\0')), std::string::npos) << "recorded, not written";
    ntsim::FaultClearAll();
    ASSERT_EQ(ScanFileSystemSecurity(), 1) << Log();
    EXPECT_EQ(Recorded(), chain);
    EXPECT_EQ(Rewritten(), chain);
    EXPECT_EQ(temporaryRecords(), records) << "one record for the list";
    std::string before = Log();
    ASSERT_EQ(RestoreFileSystemSecurity(), 1);
    EXPECT_EQ(Rewritten(), std::vector<std::string>());
    EXPECT_EQ(Log(), before + "\nRestoring File System Security:\n   D:\\1\n   D:\\1\\2\n   D:\\1\\2\\3\n"
                              "Complete: File system security restored successfully.\n");
    FreeChangedFiles();
    EXPECT_EQ(temporaryRecords(), std::vector<std::string>());
    // The record is gone under the list: the restore says so and fails.
    NextCase();
    ASSERT_EQ(ScanFileSystemSecurity(), 1);
    ASSERT_EQ(temporaryRecords().size(), 1u);
    std::filesystem::remove(temporaryRecords()[0]);
    EXPECT_EQ(RestoreFileSystemSecurity(), -1);
    ASSERT_EQ(Errors().size(), 1u);
    EXPECT_EQ(Errors()[0].rfind("Error 2 reading the record of file security '", 0), 0u) << Errors()[0];
    EXPECT_EQ(Rewritten(), chain);
    // A changed file that is gone cannot be put back: shown as before, the others are.
    NextCase();
    for (const std::string& path : chain) Put(path, stored_[path], path != chain[2]);
    ASSERT_EQ(ScanFileSystemSecurity(), 1);
    std::filesystem::remove(HostOf(chain[2]));
    stored_.erase(chain[2]);
    EXPECT_EQ(RestoreFileSystemSecurity(), -1);
    EXPECT_EQ(Errors(), std::vector<std::string>({"Error 2 restoring security of 'D:\\1\\2\\3'"}));
    EXPECT_EQ(Rewritten(), std::vector<std::string>());
}

// The restore list is the write-ahead record on the disk: the memory the walk and the restore
// take does not grow with the changed files. Thousands of files whose descriptors are as
// large as the attribute allows stand for a file server's million: each kept in memory would
// take some 3 KB, 9 MiB in all, where the walk and the restore get 4 MiB beyond what the
// process has mapped (and the heap's free room). The walk and the restore run in a child
// process under that limit; every descriptor is then checked here, byte for byte.
TEST_F(FileWalk, TheRestoreListDoesNotGrowWithTheChangedFiles) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' own allocations fail under an address-space limit";
#endif
    Machine("D fixed NTFS yes");
    std::filesystem::create_directories(HostOf("C:\\WORK"));
    strcpy(jobSettings->workDirectory, "C:\\WORK");
    verboseLog = 0;
    std::vector<std::string> dacl;
    for (int i = 0; i < 80; ++i) dacl.push_back(kOld + std::to_string(1000 + i));
    const Bytes large = Sd(kOld + "500", dacl);
    ASSERT_GT(large.size(), 2800u);
    const int kFiles = 3000;
    for (int d = 0; d < 10; ++d) {
        const std::string folder = "D:\\f" + std::to_string(d);
        Put(folder, kClean, true);
        for (int i = 0; i < kFiles / 10; ++i) Put(folder + "\\file" + std::to_string(i) + ".dat", large);
    }
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        size_t pages = 0;
        if (FILE* f = ::NtsimFopen("/proc/self/statm", "r")) {
            if (fscanf(f, "%zu", &pages) != 1) pages = 0;
            fclose(f);
        }
        struct rlimit limit;
        getrlimit(RLIMIT_AS, &limit);
        limit.rlim_cur = pages * (size_t)sysconf(_SC_PAGESIZE) + (4u << 20);
        if (pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0) _exit(10);
        // The child ends here whatever happens: an allocation that fails inside the
        // simulated machine throws, and must not run the rest of the test a second time.
        int code = 15;
        try {
            size_t before = mallinfo2().uordblks;
            if (ScanFileSystemSecurity() != 1)
                code = 11;
            else if (changedFileCount != (DWORD)kFiles)
                code = 12;
            else if (mallinfo2().uordblks - before > (256u << 10))  // kept for the restore: not a record per file
                code = 13;
            else
                code = RestoreFileSystemSecurity() == 1 ? 0 : 14;
        } catch (...) {
        }
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
    // 11 or 15: the walk ran out of memory; 13: it kept memory for each changed file.
    EXPECT_EQ(WEXITSTATUS(status), 0) << Log();
    EXPECT_EQ(Rewritten(), std::vector<std::string>());
    EXPECT_TRUE(Boxes().empty()) << Log();
}

}  // namespace
