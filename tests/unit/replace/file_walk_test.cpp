// The file system security walk on a simulated machine with several drives: what is
// walked and in which order, the per-drive counts, the restore, and every reported failure.
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "engine/job_settings.h"
#include "engine/output.h"
#include "ntsim/faults.h"
#include "ntsim/security_sd.h"
#include "replace/file_walk.h"
#include "unit/engine/engine_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;
const std::string kOld = "S-1-5-21-11-22-33", kNew = "S-1-5-21-44-55-66";
const std::string kOldDomain = "S-1-5-21-4-5-6", kNewDomain = "S-1-5-21-7-8-9";
const std::string kAdmins = "S-1-5-32-544", kSystem = "S-1-5-18", kEveryone = "S-1-1-0";

Bytes SidOf(const std::string& text) {
    Bytes s;
    EXPECT_TRUE(ntsim::SidFromText(text, &s)) << text;
    return s;
}

// Owner, group System, and a DACL of the given SIDs, inherited by files and folders.
Bytes Descriptor(const std::string& owner, const std::vector<std::string>& dacl) {
    std::vector<ntsim::AceEntry> aces;
    for (const std::string& sid : dacl) {
        ntsim::AceEntry e;
        e.type = ACCESS_ALLOWED_ACE_TYPE;
        e.flags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
        e.mask = 0x1F01FF;
        e.sid = SidOf(sid);
        aces.push_back(e);
    }
    Bytes o = SidOf(owner), g = SidOf(kSystem), d = ntsim::AclBuild(aces);
    return ntsim::SdBuild(SE_DACL_PRESENT, o.data(), g.data(), nullptr, d.data());
}

// "O:owner D:sid sid", as stored with the file.
std::string Text(const Bytes& sd) {
    ntsim::SdView v;
    std::vector<ntsim::AceEntry> aces;
    if (ntsim::SdParseRelative(sd.data(), sd.size(), &v) != ERROR_SUCCESS || !v.dacl ||
        !ntsim::AclParse(v.dacl, ((const ACL*)v.dacl)->AclSize, &aces))
        return "unreadable";
    std::string out = "O:" + ntsim::SidToText(v.owner, v.ownerLen) + " D:";
    for (const ntsim::AceEntry& a : aces) out += " " + ntsim::SidToText(a.sid);
    return out;
}

const Bytes kOldOwner = Descriptor(kOld + "-500", {kAdmins});
const Bytes kOldInDacl = Descriptor(kAdmins, {kOld + "-1001", kEveryone});
const Bytes kOldDomainInDacl = Descriptor(kAdmins, {kOldDomain + "-1105"});
const Bytes kClean = Descriptor(kAdmins, {kAdmins, kEveryone});

class FileWalk : public EngineTest {
protected:
    FILE* log_ = nullptr;
    Sid old_, new_, oldDomain_, newDomain_;
    std::map<std::string, std::string> drives_;  // letter -> host folder
    std::map<std::string, Bytes> stored_;        // Windows path -> descriptor as first stored

    void SetUp() override {
        EngineTest::SetUp();
        FreeChangedFiles();
    }
    // The machine with the extra drives given as "[drive X]" sections without their paths.
    void StartWith(const std::map<std::string, std::string>& drives) {
        TestMachineSetup setup;
        for (const auto& [letter, section] : drives) {
            std::string host = root_ + "/" + letter;
            std::filesystem::create_directories(host);
            drives_[letter] = host;
            setup.confExtra += "[drive " + letter + "]\npath = " + host + "\n" + section + "\n";
        }
        Start(setup);
        log_ = tmpfile();
        logStream = log_;
        verboseLog = 1;
        ASSERT_TRUE(SidFromText(kOld.c_str(), &old_) && SidFromText(kNew.c_str(), &new_));
        ASSERT_TRUE(SidFromText(kOldDomain.c_str(), &oldDomain_) && SidFromText(kNewDomain.c_str(), &newDomain_));
        jobSettings->originalSid = &old_;
        jobSettings->newSid = &new_;
        jobSettings->oldDomainSid = &oldDomain_;
        jobSettings->newDomainSid = &newDomain_;
        jobSettings->replaceDomainSid = 1;
        for (const char* name : {SE_SECURITY_NAME, SE_RESTORE_NAME, SE_TAKE_OWNERSHIP_NAME}) ASSERT_TRUE(EnablePrivilege(name, TRUE));
    }
    void TearDown() override {
        ntsim::FaultClearAll();
        FreeChangedFiles();
        if (jobSettings) jobSettings->originalSid = jobSettings->newSid = jobSettings->oldDomainSid = jobSettings->newDomainSid = nullptr;
        logStream = nullptr;
        verboseLog = 0;
        if (log_) fclose(log_);
        EngineTest::TearDown();
    }
    std::string HostOf(const std::string& path) {
        std::string host = drives_[path.substr(0, 1)] + "/" + path.substr(3);
        for (char& c : host)
            if (c == '\\') c = '/';
        return host;
    }
    // A file (or, with a trailing backslash, a folder) with its descriptor.
    void Put(const std::string& path, const Bytes& sd) {
        bool folder = path.back() == '\\';
        std::string name = folder && path.size() > 3 ? path.substr(0, path.size() - 1) : path;
        if (folder)
            std::filesystem::create_directories(HostOf(name));
        else
            std::ofstream(HostOf(name)) << "x";
        ASSERT_EQ(setxattr(HostOf(name).c_str(), "user.ntsim.sd", sd.data(), sd.size(), 0), 0) << name;
        stored_[name] = sd;
    }
    Bytes Stored(const std::string& path) {
        Bytes sd(65536);
        ssize_t n = getxattr(HostOf(path).c_str(), "user.ntsim.sd", sd.data(), sd.size());
        sd.resize(n < 0 ? 0 : (size_t)n);
        return sd;
    }
    // The stored paths whose descriptor is no longer as first stored.
    std::vector<std::string> Rewritten() {
        std::vector<std::string> out;
        for (const auto& [path, sd] : stored_)
            if (Stored(path) != sd) out.push_back(path);
        return out;
    }
    std::vector<std::string> Recorded() {
        std::vector<std::string> out;
        for (DWORD i = 0; i < changedFileCount; ++i) out.push_back(changedFiles[i]->path);
        return out;
    }
    // Depth-first order of the stored paths as the file system lists them.
    void Order(const std::string& path, std::vector<std::string>* out) {
        if (stored_.count(path)) out->push_back(path);
        std::string base = path.back() == '\\' ? path : path + "\\";
        WIN32_FIND_DATAA found;
        HANDLE find = FindFirstFileA((base + "*.*").c_str(), &found);
        if (find == INVALID_HANDLE_VALUE) return;
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..") continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                Order(base + name, out);
            else if (stored_.count(base + name))
                out->push_back(base + name);
        } while (FindNextFileA(find, &found));
        FindClose(find);
    }
    std::vector<std::string> Changing(const std::string& root) {
        std::vector<std::string> all, out;
        Order(root, &all);
        for (const std::string& path : all)
            if (Text(stored_[path]).find(kOld) != std::string::npos || Text(stored_[path]).find(kOldDomain) != std::string::npos)
                out.push_back(path);
        return out;
    }
    std::string Log() {
        fflush(log_);
        rewind(log_);
        std::string text;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, log_)) > 0) text.append(buf, n);
        return text;
    }
    static std::vector<std::string> Errors() {
        std::vector<std::string> texts;
        for (const std::string& box : Boxes()) texts.push_back(box.substr(box.find("]: \"") + 4, box.size() - box.find("]: \"") - 5));
        return texts;
    }
    // Forgets the log, the boxes and the records of the previous case.
    void NextCase() {
        ntsim::FaultClearAll();
        ntsim::TranscriptClear();
        FreeChangedFiles();
        fclose(log_);
        log_ = tmpfile();
        logStream = log_;
    }
    void ExpectAllOriginal() {
        EXPECT_EQ(Rewritten(), std::vector<std::string>());
    }
};

// Nested folders on an NTFS data drive: the root first, each folder before its entries,
// old SIDs rewritten in owners and DACLs, exactly the changed files recorded in order,
// and the restore byte for byte.
TEST_F(FileWalk, RewritesNestedFoldersInWalkOrderAndRestoresThem) {
    StartWith({{"D", "type = fixed\nfs = NTFS"}});
    Put("D:\\", kOldOwner);
    Put("D:\\top.txt", kOldInDacl);
    Put("D:\\clean.txt", kClean);
    Put("D:\\Pagefile.sys", kOldInDacl);
    Put("D:\\a\\", kClean);
    Put("D:\\a\\owned.doc", kOldOwner);
    Put("D:\\a\\b\\", kOldInDacl);
    Put("D:\\a\\b\\deep.txt", kOldDomainInDacl);
    Put("D:\\a\\b\\HIBERFIL.SYS", kOldOwner);
    Put("D:\\a\\b\\pagefile.SYS\\", kOldOwner);
    Put("D:\\a\\b\\c\\", kClean);
    Put("D:\\a\\b\\c\\same.txt", kClean);
    std::vector<std::string> expected = Changing("D:\\");
    // Page and hibernation files, and a folder of either name, are never opened.
    expected.erase(std::remove_if(expected.begin(), expected.end(),
                                  [](std::string p) {
                                      for (char& c : p) c = (char)tolower((unsigned char)c);
                                      return p.find("pagefile.sys") != std::string::npos ||
                                             p.find("hiberfil.sys") != std::string::npos;
                                  }),
                   expected.end());
    ASSERT_EQ(expected.size(), 5u);
    ASSERT_EQ(expected[0], "D:\\");

    ASSERT_EQ(ScanFileSystemSecurity(), 1) << Log();
    EXPECT_EQ(Recorded(), expected);
    EXPECT_EQ(changedFileCount, 5u);
    EXPECT_EQ(Text(Stored("D:\\")), "O:" + kNew + "-500 D: " + kAdmins);
    EXPECT_EQ(Text(Stored("D:\\top.txt")), "O:" + kAdmins + " D: " + kNew + "-1001 " + kEveryone);
    EXPECT_EQ(Text(Stored("D:\\a\\b")), "O:" + kAdmins + " D: " + kNew + "-1001 " + kEveryone);
    EXPECT_EQ(Text(Stored("D:\\a\\b\\deep.txt")), "O:" + kAdmins + " D: " + kNewDomain + "-1105");
    std::vector<std::string> rewritten = Rewritten(), sorted = expected;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(rewritten, sorted) << "page and hibernation files are never opened, in any case";
    std::string log = "Information: 'C:\\' is NTFS partition\nSUCCESS: 0 security assignments replaced on drive C:\\\n"
                      "Information: 'D:\\' is NTFS partition\n";
    for (const std::string& path : expected) log += "Replaced: " + path + "\n";
    log += "SUCCESS: 5 security assignments replaced on drive D:\\\n";
    EXPECT_EQ(Log(), log) << "no Scanning lines in the log";
    EXPECT_TRUE(Boxes().empty());

    std::string before = Log();
    ASSERT_EQ(RestoreFileSystemSecurity(), 1);
    ExpectAllOriginal();
    std::string restoreLog = "\nRestoring File System Security:\n";
    for (const std::string& path : expected) restoreLog += "   " + path + "\n";
    EXPECT_EQ(Log(), before + restoreLog + "Complete: File system security restored successfully.\n");
    EXPECT_EQ(changedFileCount, 5u) << "a restore keeps the list";

    // Without verbose-log the per-file lines stay out of the log; without the domain
    // setting the domain SID stays.
    NextCase();
    verboseLog = 0;
    jobSettings->replaceDomainSid = 0;
    ASSERT_EQ(ScanFileSystemSecurity(), 1);
    EXPECT_EQ(changedFileCount, 4u);
    EXPECT_EQ(Stored("D:\\a\\b\\deep.txt"), kOldDomainInDacl);
    EXPECT_EQ(Log().find("Replaced:"), std::string::npos);
    ASSERT_EQ(RestoreFileSystemSecurity(), 1);
    EXPECT_EQ(Log().find("   D:\\"), std::string::npos);
    ExpectAllOriginal();
}

// Only fixed and removable drives are examined; not-NTFS drives get an information line,
// empty or unrecognized drives nothing; counts are per drive.
TEST_F(FileWalk, ExaminesOnlyLocalNtfsDrivesAndCountsPerDrive) {
    StartWith({{"A", "type = removable\nfs = FAT\nready = no"},
               {"E", "type = cdrom\nfs = NTFS"},
               {"F", "type = remote\nfs = NTFS"},
               {"G", "type = removable\nfs = NTFS"},
               {"H", "type = fixed\nfs = FAT"},
               {"I", "type = fixed\nfs = NTFS"},
               {"J", "type = fixed\nfs = NTFS"},
               {"K", "type = fixed\nfs = NTFS"},
               {"L", "type = removable\nfs = NTFS"}});
    verboseLog = 0;
    for (const char* drive : {"E", "F", "J", "K", "L"}) Put(std::string(drive) + ":\\old.txt", kOldInDacl);
    for (const char* name : {"1", "2", "3"}) Put(std::string("G:\\") + name, kOldOwner);
    Put("G:\\clean", kClean);
    Put("I:\\d\\", kOldInDacl);
    for (const char* name : {"1", "2", "3", "4"}) Put(std::string("I:\\d\\") + name, kOldOwner);
    // Drives that must not be opened fail loudly if they are.
    ntsim::FaultAdd({"GetVolumeInformationA", ERROR_ACCESS_DENIED, 0, "E:\\", false});
    ntsim::FaultAdd({"GetVolumeInformationA", ERROR_ACCESS_DENIED, 0, "F:\\", false});
    ntsim::FaultAdd({"GetNamedSecurityInfoA", ERROR_ACCESS_DENIED, 0, "H:\\*", false});
    ntsim::FaultAdd({"GetVolumeInformationA", ERROR_WRONG_DISK, 0, "J:\\", false});
    ntsim::FaultAdd({"GetVolumeInformationA", ERROR_INVALID_PARAMETER, 0, "K:\\", false});
    ntsim::FaultAdd({"GetVolumeInformationA", ERROR_UNRECOGNIZED_VOLUME, 0, "L:\\", false});

    ASSERT_EQ(ScanFileSystemSecurity(), 1) << Log();
    EXPECT_EQ(Log(),
              "Information: 'C:\\' is NTFS partition\nSUCCESS: 0 security assignments replaced on drive C:\\\n"
              "Information: 'G:\\' is NTFS partition\nSUCCESS: 3 security assignments replaced on drive G:\\\n"
              "Information: 'H:\\' is not NTFS partition\n"
              "Information: 'I:\\' is NTFS partition\nSUCCESS: 5 security assignments replaced on drive I:\\\n");
    EXPECT_EQ(changedFileCount, 8u);
    EXPECT_EQ(Rewritten(), std::vector<std::string>({"G:\\1", "G:\\2", "G:\\3", "I:\\d", "I:\\d\\1", "I:\\d\\2",
                                                     "I:\\d\\3", "I:\\d\\4"}));
    EXPECT_TRUE(Boxes().empty());
    ASSERT_EQ(RestoreFileSystemSecurity(), 1);
    ExpectAllOriginal();
}

// Every failure of the walk: its message shown once, the result 0, the files rewritten
// before it kept in the list (and restorable), the files after it untouched.
TEST_F(FileWalk, FailuresAreReportedAndRewrittenFilesStayRestorable) {
    StartWith({{"D", "type = fixed\nfs = NTFS"}});
    Put("D:\\a\\", kClean);
    for (const char* name : {"1", "2", "3"}) Put(std::string("D:\\a\\") + name, kOldInDacl);
    std::vector<std::string> order = Changing("D:\\");
    ASSERT_EQ(order.size(), 3u);
    auto expectStopped = [&](const std::string& error, size_t kept) {
        EXPECT_EQ(ScanFileSystemSecurity(), 0);
        EXPECT_EQ(Errors(), std::vector<std::string>({error}));
        EXPECT_NE(Log().find("\n" + error + "\n"), std::string::npos) << Log();
        std::vector<std::string> first(order.begin(), order.begin() + (long)kept);
        EXPECT_EQ(Recorded(), first);
        std::sort(first.begin(), first.end());
        EXPECT_EQ(Rewritten(), first);
        ntsim::FaultClearAll();
        EXPECT_EQ(RestoreFileSystemSecurity(), kept ? 1 : 0);
        ExpectAllOriginal();
        NextCase();
    };
    NextCase();
    ntsim::FaultAdd({"GetLogicalDriveStringsA", ERROR_NOT_ENOUGH_MEMORY, 1, "", false});
    expectStopped("Error 8 getting logical drive information", 0);
    ntsim::FaultAdd({"GetVolumeInformationA", ERROR_ACCESS_DENIED, 1, "D:\\", false});
    expectStopped("Error 5 getting volume information for D:\\", 0);
    ntsim::FaultAdd({"GetNamedSecurityInfoA", ERROR_ACCESS_DENIED, 1, order[1], false});
    expectStopped("Error 5 obtaining security for '" + order[1] + "'", 1);
    ntsim::FaultAdd({"SetNamedSecurityInfoA", ERROR_WRITE_FAULT, 1, order[2], false});
    expectStopped("Error 29 replacing security information for '" + order[2] + "'", 2);
    ntsim::FaultAdd({"FindFirstFileA", ERROR_ACCESS_DENIED, 1, "D:\\a\\*.*", false});
    expectStopped("Error 5 listing the entries of 'D:\\a'", 0);
    // A listing that breaks off part way has not visited everything (drive C listed as empty,
    // so that the first listing continued is that of D:\a).
    ntsim::FaultAdd({"FindNextFileA", ERROR_NOT_READY, 1, "", false});
    ntsim::FaultAdd({"FindFirstFileA", ERROR_FILE_NOT_FOUND, 0, "C:*", false});
    EXPECT_EQ(ScanFileSystemSecurity(), 0);
    EXPECT_EQ(Errors(), std::vector<std::string>({"Error 21 listing the entries of 'D:\\a'"}));
    EXPECT_LT(changedFileCount, 3u);
    ntsim::FaultClearAll();
    RestoreFileSystemSecurity();
    ExpectAllOriginal();
    NextCase();

    // A file the system keeps to itself is passed over, with a line only in a verbose log.
    ntsim::FaultAdd({"GetNamedSecurityInfoA", ERROR_NO_MORE_FILES, 0, order[1], false});
    EXPECT_EQ(ScanFileSystemSecurity(), 1);
    EXPECT_NE(Log().find("\nInformation: Skipping system controlled file: " + order[1] + "\n"), std::string::npos);
    EXPECT_EQ(Recorded(), std::vector<std::string>({order[0], order[2]}));
    EXPECT_EQ(Stored(order[1]), kOldInDacl);
    EXPECT_TRUE(Boxes().empty());
    ntsim::FaultClearAll();
    EXPECT_EQ(RestoreFileSystemSecurity(), 1);
    NextCase();
    verboseLog = 0;
    ntsim::FaultAdd({"GetNamedSecurityInfoA", ERROR_NO_MORE_FILES, 0, order[1], false});
    EXPECT_EQ(ScanFileSystemSecurity(), 1);
    EXPECT_EQ(Log().find("Skipping"), std::string::npos);
    ntsim::FaultClearAll();
    EXPECT_EQ(RestoreFileSystemSecurity(), 1);
    NextCase();
    verboseLog = 1;

    // No room for the record: nothing is rewritten that could not be restored.
    ntsim::FaultAdd({"LocalAlloc", ERROR_NOT_ENOUGH_MEMORY, 1, "", false});
    EXPECT_EQ(ProcessFileSecurity(order[0].c_str()), 0);
    EXPECT_EQ(Errors(), std::vector<std::string>({"Out of Memory"}));
    EXPECT_EQ(changedFileCount, 0u);
    ExpectAllOriginal();
    NextCase();

    // A path that does not fit the path buffer is reported, not cut or overflowed.
    std::string folder = "D:\\" + std::string(200, 'p'), file = folder + "\\" + std::string(100, 'q') + ".txt";
    Put(folder + "\\", kOldInDacl);
    Put(file, kOldInDacl);
    order = Changing("D:\\");
    size_t atFolder = (size_t)(std::find(order.begin(), order.end(), folder) - order.begin());
    EXPECT_EQ(ScanFileSystemSecurity(), 0);
    EXPECT_EQ(Errors(), std::vector<std::string>({"Error: path too long to examine its security: '" + file + "'"}));
    EXPECT_EQ(changedFileCount, atFolder + 1) << "the folder itself was examined";
    EXPECT_EQ(Stored(file), kOldInDacl);
    EXPECT_EQ(RestoreFileSystemSecurity(), 1);
    ExpectAllOriginal();
}

TEST_F(FileWalk, RestoreGoesOnPastAFailedFile) {
    StartWith({{"D", "type = fixed\nfs = NTFS"}});
    for (const char* name : {"1", "2", "3"}) Put(std::string("D:\\") + name, kOldOwner);
    std::vector<std::string> order = Changing("D:\\");
    verboseLog = 0;

    EXPECT_EQ(RestoreFileSystemSecurity(), 0);
    EXPECT_EQ(Log(), "\nRestoring File System Security:\n   No changes made to file system security\n");
    NextCase();

    ASSERT_EQ(ScanFileSystemSecurity(), 1);
    ASSERT_EQ(Recorded(), order);
    ntsim::FaultAdd({"SetNamedSecurityInfoA", ERROR_WRITE_FAULT, 1, order[1], false});
    EXPECT_EQ(RestoreFileSystemSecurity(), -1);
    EXPECT_EQ(Errors(), std::vector<std::string>({"Error 29 restoring security of '" + order[1] + "'"}));
    EXPECT_EQ(Rewritten(), std::vector<std::string>({order[1]})) << "the first and the third are restored";
    EXPECT_EQ(Log().find("Complete:"), std::string::npos);
    EXPECT_EQ(changedFileCount, 3u);
    ntsim::FaultClearAll();
    ntsim::TranscriptClear();
    EXPECT_EQ(RestoreFileSystemSecurity(), 1);
    ExpectAllOriginal();
    EXPECT_NE(Log().find("\nComplete: File system security restored successfully.\n"), std::string::npos);

    // Every restore failing: one box, every failure in the log.
    ntsim::TranscriptClear();
    ntsim::FaultAdd({"SetNamedSecurityInfoA", ERROR_WRITE_FAULT, 0, "D:\\*", false});
    EXPECT_EQ(RestoreFileSystemSecurity(), -1);
    EXPECT_EQ(Errors().size(), 1u);
    for (const std::string& path : order)
        EXPECT_NE(Log().find("Error 29 restoring security of '" + path + "'\n"), std::string::npos) << path;
}

}  // namespace
