// Hives on disk: changes reach the files at RegFlushKey and process exit, a
// killed process loses what it did not flush (and, when the power loss takes what was not
// durable, its files' unflushed data and renames), only changed hives are written,
// and two processes never leave a broken hive.
#include "registry_fixture.h"

#include <fstream>
#include <set>

#include "ntsim/registry/regf_records.h"

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

std::string HostText(const std::string& path) {
    std::string text;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        char buf[256];
        for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
        fclose(f);
    } else {
        return "<none>";
    }
    return text;
}

// The same program steps, cut by the two kinds of power loss. The program writes through
// the C runtime (a commit-mode stream, "c", reaches the disk at its fflush, not at its
// fclose) and
// renames with or without MOVEFILE_WRITE_THROUGH.
int WriteAndCut(bool loseUnflushed) {
    auto put = [](const char* path, const char* mode, const char* text, bool flush) {
        FILE* f = fopen(path, mode);
        if (!f) return false;
        bool ok = fwrite(text, 1, strlen(text), f) == strlen(text) && (!flush || fflush(f) == 0);
        return fclose(f) == 0 && ok;
    };
    ntsim::FaultRule power;
    power.function = "RegQueryValueExA";
    power.pattern = "*\\Cut";  // the read below, not one the machine makes for itself
    power.kill = true;
    power.loseUnflushed = loseUnflushed;
    ntsim::FaultAdd(power);  // in force from the start: the machine tracks what is durable
    if (!put("C:\\new.txt", "wb", "never flushed", false) || !put("C:\\old.txt", "wb", "rewritten", false) ||
        !put("C:\\committed.txt", "wbc", "flushed to the disk", true) ||
        !put("C:\\closed.txt", "wbc", "closed in commit mode", false) ||
        !put("C:\\aside.tmp", "wb", "written aside", false) ||
        !MoveFileExA("C:\\aside.tmp", "C:\\record", MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ||
        !put("C:\\aside2.tmp", "wbc", "renamed lazily", true) ||
        !MoveFileExA("C:\\aside2.tmp", "C:\\old2.txt", MOVEFILE_REPLACE_EXISTING) || SetString("SOFTWARE\\Cut", "v", "no", false))
        return 1;
    // Appended after a commit-mode flush: only the part before it is durable.
    FILE* log = fopen("C:\\log.txt", "abc");
    if (!log || fwrite("one\n", 1, 4, log) != 4 || fflush(log) != 0 || fwrite("two\n", 1, 4, log) != 4 || fflush(stdout))
        return 2;
    GetString("SOFTWARE\\Cut", "v");  // the power goes here
    return 3;
}

TEST_F(RegistryPersistence, APowerLossTakesWhatWasNotMadeDurable) {
    for (bool lossy : {false, true}) {
        SCOPED_TRACE(lossy ? "unflushed data lost" : "only the registry's unflushed changes lost");
        const std::string c = dir + "/drives/c/";
        for (const char* name : {"new.txt", "committed.txt", "closed.txt", "record", "aside2.tmp", "log.txt"})
            std::remove((c + name).c_str());
        std::ofstream(c + "old.txt") << "as it was";
        std::ofstream(c + "old2.txt") << "replaced lazily";
        std::ofstream(c + "log.txt") << "zero\n";
        ASSERT_EQ(137, InChild([&] { return WriteAndCut(lossy); }));
        EXPECT_EQ(HostText(c + "committed.txt"), "flushed to the disk");
        if (lossy) {
            EXPECT_EQ(HostText(c + "closed.txt"), "");
            EXPECT_EQ(HostText(c + "new.txt"), "");  // its name was logged, its data never written
            EXPECT_EQ(HostText(c + "old.txt"), "as it was");
            EXPECT_EQ(HostText(c + "record"), "");  // renamed through, but its data never flushed
            EXPECT_EQ(HostText(c + "aside2.tmp"), "renamed lazily");  // the rename is undone
            EXPECT_EQ(HostText(c + "old2.txt"), "replaced lazily");
        } else {
            EXPECT_EQ(HostText(c + "closed.txt"), "closed in commit mode");
            EXPECT_EQ(HostText(c + "new.txt"), "never flushed");
            EXPECT_EQ(HostText(c + "old.txt"), "rewritten");
            EXPECT_EQ(HostText(c + "record"), "written aside");
            EXPECT_EQ(HostText(c + "aside2.tmp"), "<none>");
            EXPECT_EQ(HostText(c + "old2.txt"), "renamed lazily");
        }
        // The append before the commit-mode flush stays; the one after it never left the stream.
        EXPECT_EQ(HostText(c + "log.txt"), "zero\none\n");
        ntsim::ProcessDetach();
        Attach("Administrator");
        EXPECT_EQ("<no key>", GetString("SOFTWARE\\Cut", "v"));
    }
}

TEST_F(RegistryPersistence, OnlyChangedHivesAreWritten) {
    ino_t sam = Inode(HiveFile("SAM")), system = Inode(HiveFile("SYSTEM"));
    uint32_t samSeq = ntsim::RegfFileSequence(HiveFile("SAM")), systemSeq = ntsim::RegfFileSequence(HiveFile("SYSTEM"));
    uint32_t softwareSeq = ntsim::RegfFileSequence(HiveFile("SOFTWARE"));
    EXPECT_EQ("<no value>", GetString("SYSTEM\\Select", "Nothing"));
    ASSERT_EQ(0, SetString("SOFTWARE\\Changed", "v", "x", false));
    ntsim::ProcessDetach();
    EXPECT_EQ(sam, Inode(HiveFile("SAM")));
    EXPECT_EQ(system, Inode(HiveFile("SYSTEM")));
    EXPECT_EQ(samSeq, ntsim::RegfFileSequence(HiveFile("SAM")));
    EXPECT_EQ(systemSeq, ntsim::RegfFileSequence(HiveFile("SYSTEM")));
    EXPECT_EQ(softwareSeq + 1, ntsim::RegfFileSequence(HiveFile("SOFTWARE")));  // written in place, once
    Attach("Administrator");
}

// A whole image of a hive file as read (its base block's file name left out), to compare two files' contents.
std::vector<uint8_t> Image(const std::string& path) {
    ntsim::Hive hive;
    std::vector<uint8_t> image;
    if (ntsim::RegfLoadFile(path, &hive) != 0) return image;
    hive.fileName.fill(0);
    ntsim::RegfWrite(hive, &image);
    return image;
}

// Allocated cells of a hive file that no record reaches from the root key: cells a flush
// did not free. SIZE_MAX when the bins cannot be read.
size_t UnreferencedCells(const std::string& path) {
    using namespace ntsim::regf;
    std::vector<uint8_t> f;
    if (FILE* in = fopen(path.c_str(), "rb")) {
        uint8_t buf[65536];
        for (size_t n; (n = fread(buf, 1, sizeof buf, in)) > 0;) f.insert(f.end(), buf, buf + n);
        fclose(in);
    }
    BaseBlock base;
    if (f.size() < kBaseSize) return SIZE_MAX;
    memcpy(&base, f.data(), sizeof base);
    if ((size_t)kBaseSize + base.binsSize > f.size()) return SIZE_MAX;
    std::set<uint32_t> allocated, reached;
    for (uint32_t bin = 0; bin < base.binsSize;) {
        BinHeader h;
        memcpy(&h, f.data() + kBaseSize + bin, sizeof h);
        if (memcmp(h.signature, "hbin", 4) != 0 || h.size == 0 || bin + h.size > base.binsSize) return SIZE_MAX;
        for (uint32_t at = bin + sizeof h; at < bin + h.size;) {
            int32_t size;
            memcpy(&size, f.data() + kBaseSize + at, 4);
            if (size == 0) return SIZE_MAX;
            if (size < 0) allocated.insert(at);
            at += (uint32_t)(size < 0 ? -(int64_t)size : size);
        }
        bin += h.size;
    }
    auto payload = [&](uint32_t cell) { return f.data() + kBaseSize + cell + 4; };
    auto le32 = [](const uint8_t* p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24; };
    std::vector<uint32_t> keys{base.rootCell};
    while (!keys.empty()) {
        KeyNode nk;
        uint32_t cell = keys.back();
        keys.pop_back();
        if (!allocated.count(cell)) return SIZE_MAX;
        reached.insert(cell);
        memcpy(&nk, payload(cell), sizeof nk);
        reached.insert(nk.security);
        if (nk.classLen) reached.insert(nk.classCell);
        if (nk.valueCount) reached.insert(nk.valueList);
        for (uint32_t i = 0; i < nk.valueCount; ++i) {
            ValueNode vk;
            uint32_t vkCell = le32(payload(nk.valueList) + 4 * i);
            reached.insert(vkCell);
            memcpy(&vk, payload(vkCell), sizeof vk);
            uint32_t size = vk.dataSize & 0x7FFFFFFF;
            if ((vk.dataSize & 0x80000000) || !size) continue;
            reached.insert(vk.dataCell);
            if (base.minor >= 4 && size > kSegment) {
                BigData db;
                memcpy(&db, payload(vk.dataCell), sizeof db);
                reached.insert(db.segmentList);
                for (uint32_t k = 0; k < db.segments; ++k) reached.insert(le32(payload(db.segmentList) + 4 * k));
            }
        }
        if (!nk.subkeyCount) continue;
        reached.insert(nk.subkeyList);
        auto leaf = [&](const uint8_t* q) {
            uint32_t stride = memcmp(q, "li", 2) == 0 ? 4 : 8;
            for (uint32_t i = 0, n = q[2] | q[3] << 8; i < n; ++i) keys.push_back(le32(q + 4 + stride * i));
        };
        const uint8_t* list = payload(nk.subkeyList);
        if (memcmp(list, "ri", 2) != 0) {
            leaf(list);
            continue;
        }
        for (uint32_t i = 0, n = list[2] | list[3] << 8; i < n; ++i) {
            reached.insert(le32(list + 4 + 4 * i));
            leaf(payload(le32(list + 4 + 4 * i)));
        }
    }
    size_t lost = 0;
    for (uint32_t cell : allocated) lost += reached.count(cell) ? 0 : 1;
    return lost;
}

void DeleteTree(HKEY parent, const std::string& name) {
    HKEY key;
    if (RegOpenKeyExA(parent, name.c_str(), 0, KEY_ALL_ACCESS, &key)) return;
    char child[256];
    DWORD size = sizeof child;
    while (RegEnumKeyExA(key, 0, child, &size, nullptr, nullptr, nullptr, nullptr) == 0) {
        DeleteTree(key, child);
        size = sizeof child;
    }
    RegCloseKey(key);
    RegDeleteKeyA(parent, name.c_str());
}

// Flushes write the changed keys into the hive file in place. Whatever mix of changes came
// before (keys made, deleted and copied as the walk renames them, values of every size,
// classes, descriptors), the file reads back as the registry holds it, hivex reads it, and
// freed cells are used again, so the file does not grow with every flush.
TEST_F(RegistryPersistence, InPlaceFlushesKeepTheFileAsTheRegistryHoldsIt) {
    EnablePrivilegeForTest("SeBackupPrivilege");
    EnablePrivilegeForTest("SeRestorePrivilege");
    ntsim::Hive v5 = NewHive("Churn5", StandardKeySecurity());
    v5.minorVersion = 5;  // big values are db records here, single cells in the 1.3 SOFTWARE
    std::string v5File = dir + "/drives/c/TEMP/churn5.hiv";
    ASSERT_EQ(0u, ntsim::RegfSaveFile(v5, v5File));
    ASSERT_EQ(0, RegLoadKeyA(HKEY_LOCAL_MACHINE, "Churn5", "C:\\TEMP\\churn5.hiv"));
    Bytes owners[] = {Administrators(), Everyone(), UsersAlias()};
    uint32_t seed = 7;
    auto next = [&](uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % n;
    };
    for (auto [rootName, file] : {std::pair<std::string, std::string>{"SOFTWARE", HiveFile("SOFTWARE")}, {"Churn5", v5File}}) {
        SCOPED_TRACE(rootName);
        ino_t inode = Inode(file);
        HKEY hiveRoot, root;
        ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, rootName.c_str(), 0, KEY_ALL_ACCESS, &hiveRoot));
        ASSERT_EQ(0, RegCreateKeyExA(hiveRoot, "Churn", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &root, nullptr));
        for (int round = 0; round < 30; ++round) {
            for (int op = 0; op < 6; ++op) {
                std::string name = "K" + std::to_string(next(5));
                HKEY key;
                switch (next(6)) {
                case 0: {
                    std::string sub = name + "\\S" + std::to_string(next(3));
                    ASSERT_EQ(0, RegCreateKeyExA(root, sub.c_str(), 0, (char*)"Cls", 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
                    Bytes data(next(3) == 0 ? 20000 + next(30000) : next(200), (uint8_t)round);
                    std::string value = "v" + std::to_string(next(4));
                    ASSERT_EQ(0, RegSetValueExA(key, value.c_str(), 0, REG_BINARY, data.data(), (DWORD)data.size()));
                    RegCloseKey(key);
                    break;
                }
                case 1:
                    if (RegOpenKeyExA(root, (name + "\\S0").c_str(), 0, KEY_ALL_ACCESS, &key) == 0) {
                        RegDeleteValueA(key, "v0");
                        RegDeleteValueA(key, "v1");
                        RegCloseKey(key);
                    }
                    break;
                case 2:
                    DeleteTree(root, name);
                    break;
                case 3:
                    if (RegOpenKeyExA(root, name.c_str(), 0, KEY_ALL_ACCESS, &key) == 0) {
                        Bytes sd = Descriptor(owners[next(3)], LocalSystem(), {{ACCESS_ALLOWED_ACE_TYPE, 0, KEY_ALL_ACCESS, Everyone()}});
                        EXPECT_EQ(0, RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, sd.data()));
                        RegCloseKey(key);
                    }
                    break;
                case 4:  // a copy by save and restore, the old tree deleted: how the walk renames a key
                    if (RegOpenKeyExA(root, name.c_str(), 0, KEY_ALL_ACCESS, &key) == 0) {
                        std::string copyName = "K" + std::to_string(5 + next(3));
                        DeleteFileA("C:\\TEMP\\copy.hiv");
                        ASSERT_EQ(0, RegSaveKeyA(key, "C:\\TEMP\\copy.hiv", nullptr));
                        RegCloseKey(key);
                        DeleteTree(root, copyName);
                        HKEY copy;
                        ASSERT_EQ(0, RegCreateKeyExA(root, copyName.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &copy, nullptr));
                        ASSERT_EQ(0, RegRestoreKeyA(copy, "C:\\TEMP\\copy.hiv", 0));
                        RegCloseKey(copy);
                        DeleteTree(root, name);
                    }
                    break;
                default:
                    ASSERT_EQ(0, RegSetValueExA(root, name.c_str(), 0, REG_DWORD, Dword(round).data(), 4));
                }
            }
            ASSERT_EQ(0, RegFlushKey(root));
            ASSERT_EQ(inode, Inode(file)) << "round " << round << ": not written in place";
            DeleteFileA("C:\\TEMP\\whole.hiv");
            ASSERT_EQ(0, RegSaveKeyA(hiveRoot, "C:\\TEMP\\whole.hiv", nullptr));
            std::string whole = dir + "/drives/c/TEMP/whole.hiv";
            std::vector<uint8_t> expected = Image(whole);
            ASSERT_FALSE(expected.empty());
            ASSERT_TRUE(Image(file) == expected) << "round " << round << ": the file differs from the registry";
            EXPECT_EQ(0u, UnreferencedCells(file)) << "round " << round << ": cells no record points at";
            if (round % 10 == 9) {
                struct stat inPlace, written;
                ASSERT_EQ(0, stat(file.c_str(), &inPlace));
                ASSERT_EQ(0, stat(whole.c_str(), &written));
                EXPECT_LE(inPlace.st_size, 2 * written.st_size + 256 * 1024) << "round " << round;
                if (access("/usr/bin/hivexml", X_OK) == 0) {
                    EXPECT_EQ(0, system(("hivexml " + file + " > /dev/null").c_str())) << "round " << round;
                }
            }
        }
        RegCloseKey(root);
        RegCloseKey(hiveRoot);
    }
}

// A flush keeps the pages it read for the next one. After a failed flush the hive is written
// whole, with its records in new places: the next in-place flush must read the new file.
TEST_F(RegistryPersistence, AnInPlaceFlushAfterAWholeWriteReadsTheNewFile) {
    EnablePrivilegeForTest("SeBackupPrivilege");
    std::string file = HiveFile("SOFTWARE");
    HKEY root;
    ASSERT_EQ(0, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Cached", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &root, nullptr));
    auto setAll = [&](DWORD round) {
        for (int i = 0; i < 200; ++i) {
            HKEY key;
            std::string name = "K" + std::to_string(i);
            ASSERT_EQ(0, RegCreateKeyExA(root, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
            std::string value(i % 7 == 0 ? 3000 : 40, (char)('a' + round));
            ASSERT_EQ(0, RegSetValueExA(key, name.c_str(), 0, REG_SZ, (const BYTE*)value.c_str(), (DWORD)value.size() + 1));
            RegCloseKey(key);
        }
    };
    setAll(0);
    ASSERT_EQ(0, RegFlushKey(root));
    setAll(1);
    ASSERT_EQ(0, RegFlushKey(root));
    ntsim::FaultRule rule;
    rule.function = "RegfUpdateFile:write";
    rule.error = ERROR_WRITE_FAULT;
    ntsim::FaultAdd(rule);
    setAll(2);
    EXPECT_NE(0, RegFlushKey(root));
    ntsim::FaultClearAll();
    ASSERT_EQ(0, RegFlushKey(root));  // whole
    ino_t inode = Inode(file);
    setAll(3);
    ASSERT_EQ(0, RegFlushKey(root));
    EXPECT_EQ(inode, Inode(file)) << "the flush after the whole write was not made in place";
    DeleteFileA("C:\\TEMP\\whole.hiv");
    HKEY software;
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_ALL_ACCESS, &software));
    ASSERT_EQ(0, RegSaveKeyA(software, "C:\\TEMP\\whole.hiv", nullptr));
    RegCloseKey(software);
    RegCloseKey(root);
    EXPECT_TRUE(Image(file) == Image(dir + "/drives/c/TEMP/whole.hiv")) << "the file differs from the registry";
    EXPECT_EQ(0u, UnreferencedCells(file)) << "cells no record points at";
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
    // A hive this process changed keeps its own version until it writes it; then what the
    // other process flushed (a value, a deletion) stays beside this process's changes.
    ASSERT_EQ(0, SetString("SOFTWARE\\Shared\\Gone", "v", "x", false));
    ASSERT_EQ(0, SetString("SOFTWARE\\Shared\\TheyDelete", "v", "x", true));
    ASSERT_EQ(0, SetString("SOFTWARE\\Shared\\Mine", "v", "mine", false));
    ASSERT_EQ(0, InChild([] {
        if (SetString("SOFTWARE\\Shared\\Stays", "v", "theirs", true)) return 1;
        if (SetString("SOFTWARE\\Shared\\Theirs", "v", "t", true)) return 2;
        return RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Shared\\TheyDelete") || RegFlushKey(HKEY_LOCAL_MACHINE) ? 3 : 0;
    }));
    EXPECT_EQ("after", GetString("SOFTWARE\\Shared\\Stays", "v"));
    EXPECT_EQ("mine", GetString("SOFTWARE\\Shared\\Mine", "v"));
    ASSERT_EQ(0, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Shared\\Gone"));
    ASSERT_EQ(0, SetString("SOFTWARE\\Shared\\Mine", "w", "mine too", true));
    ntsim::ProcessDetach();
    Attach("Administrator");
    EXPECT_EQ("theirs", GetString("SOFTWARE\\Shared\\Stays", "v"));
    EXPECT_EQ("t", GetString("SOFTWARE\\Shared\\Theirs", "v"));
    EXPECT_EQ("mine too", GetString("SOFTWARE\\Shared\\Mine", "w"));
    EXPECT_EQ("<no key>", GetString("SOFTWARE\\Shared\\Gone", "v"));
    EXPECT_EQ("<no key>", GetString("SOFTWARE\\Shared\\TheyDelete", "v"));
}

}  // namespace
}  // namespace regtest
