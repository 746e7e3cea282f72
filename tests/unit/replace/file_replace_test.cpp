// The hex-pattern file scan and the directory tree removal on files of a
// simulated machine: base block, chunk boundaries, counts, a write failure
// midway, and what each failure reports.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/job_settings.h"
#include "core/output.h"
#include "replace/byte_replace.h"
#include "ntsim/kernel/faults.h"
#include "unit/engine/stream_text.h"
#include "unit/identity/test_machine.h"

namespace {

const char* kOldHex = "0515000000010000000200000003000000";
const char* kNewHex = "05150000009A0000009B0000009C000000";

std::vector<uint8_t> Decode(const char* hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2) out.push_back((uint8_t)std::stoi(std::string(hex + i, 2), nullptr, 16));
    return out;
}

class FileReplace : public TestMachine {
protected:
    FILE* log_ = nullptr;
    JobSettings job_;
    void SetUp() override {
        TestMachine::SetUp();
        Create();
        log_ = tmpfile();
        logStream = log_;
        job_.SetDefaults();
        jobSettings = &job_;
        debugMode = 0;
    }
    void TearDown() override {
        jobSettings = nullptr;
        logStream = nullptr;
        debugMode = 0;
        if (log_) fclose(log_);
        TestMachine::TearDown();
    }
    std::string Log() { return StreamText(log_); }
    void Write(const std::string& relative, const std::vector<uint8_t>& bytes) {
        std::ofstream f(Host(relative), std::ios::binary);
        f.write(reinterpret_cast<const char*>(bytes.data()), (std::streamsize)bytes.size());
    }
    std::vector<uint8_t> Read(const std::string& relative) {
        std::ifstream f(Host(relative), std::ios::binary);
        return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    }
    static void Put(std::vector<uint8_t>& file, size_t offset, const std::vector<uint8_t>& bytes) {
        std::copy(bytes.begin(), bytes.end(), file.begin() + (long)offset);
    }
};

}  // namespace

TEST_F(FileReplace, ReplacesPastTheBaseBlockAndAcrossChunkBoundaries) {
    std::vector<uint8_t> oldP = Decode(kOldHex), newP = Decode(kNewHex);
    std::vector<uint8_t> file(3 * 1024 * 1024 + 77, 0x05);  // full of the pattern's first byte
    // Inside the base block: left alone. Straddling the first 4096-byte boundary past it,
    // straddling a 1 MiB read boundary, and ending on the file's last byte.
    std::vector<size_t> inside = {0, 100, 4096 - 17};
    std::vector<size_t> outside = {8192 - 5, 4096 + (1u << 20) - 9, 4096 + 2 * (1u << 20) - 1, 2 * 4096 + 100,
                                   file.size() - 17};
    for (size_t at : inside) Put(file, at, oldP);
    for (size_t at : outside) Put(file, at, oldP);
    Write("hive.dat", file);
    job_.replacedCount = 10;
    ASSERT_EQ(ReplaceHexInFile("C:\\hive.dat", kOldHex, kNewHex), 0) << Log();
    std::vector<uint8_t> expected = file;
    for (size_t at : outside) Put(expected, at, newP);
    EXPECT_TRUE(Read("hive.dat") == expected);
    EXPECT_EQ(job_.replacedCount, 10u + outside.size());
    EXPECT_EQ(job_.changesMade, 1u);
    EXPECT_EQ(Log(), "");
}

TEST_F(FileReplace, OnlyInsideTheBaseBlockIsNotFound) {
    std::vector<uint8_t> file(6000, 0);
    Put(file, 10, Decode(kOldHex));
    Put(file, 4096 - 16, Decode(kOldHex));  // ends one byte past the block: still starts inside it
    Write("a.dat", file);
    debugMode = 1;
    EXPECT_EQ(ReplaceHexInFile("C:\\a.dat", kOldHex, kNewHex), -1);
    EXPECT_TRUE(Read("a.dat") == file);
    EXPECT_EQ(job_.changesMade, 0u);
    EXPECT_EQ(job_.replacedCount, 0u);
    EXPECT_EQ(Log(), std::string("Searching for replacements in 'C:\\a.dat'...\nINFORMATION: Hex String '") + kOldHex +
                         "' Not Found in 'C:\\a.dat'\n");
    // A file no longer than the base block has nothing to scan.
    Write("small.dat", std::vector<uint8_t>(100, 0));
    debugMode = 0;
    EXPECT_EQ(ReplaceHexInFile("C:\\small.dat", kOldHex, kNewHex), -1);
}

TEST_F(FileReplace, LowerCaseHexAndOddDigitsAndNonOverlap) {
    std::vector<uint8_t> file(4096 + 64, 0);
    Put(file, 4096, {0xAB, 0xCD, 0xAB, 0xCD, 0xAB});
    Write("b.dat", file);
    debugMode = 1;
    // "abcdabc": the odd last digit carries no byte; lower case decodes as upper case.
    EXPECT_EQ(ReplaceHexInFile("C:\\b.dat", "abcdabc", "1234567"), 0);
    std::vector<uint8_t> expected = file;
    // AB CD AB at 4096 is replaced; the one at 4098 overlaps it and is not.
    Put(expected, 4096, {0x12, 0x34, 0x56, 0xCD, 0xAB});
    EXPECT_TRUE(Read("b.dat") == expected);
    EXPECT_EQ(job_.replacedCount, 1u);
    EXPECT_NE(Log().find("Success: 1 replacements made in 'C:\\b.dat'\n"), std::string::npos) << Log();
}

TEST_F(FileReplace, FailuresReportAndKeepTheFile) {
    EXPECT_EQ(ReplaceHexInFile("C:\\none.dat", kOldHex, kNewHex), -2);
    EXPECT_NE(Log().find("\nERROR: Unable to open 'C:\\none.dat'\n"), std::string::npos);
    Write("c.dat", std::vector<uint8_t>(5000, 1));
    EXPECT_EQ(ReplaceHexInFile("C:\\c.dat", "0515", "051"), -2);
    EXPECT_NE(Log().find("\nERROR: Strings must be the same length\n"), std::string::npos);
    ntsim::FaultAdd({"CreateFileA", ERROR_SHARING_VIOLATION, 0, "*c.dat", false});
    EXPECT_EQ(ReplaceHexInFile("C:\\c.dat", kOldHex, kNewHex), -2);
    EXPECT_NE(Log().find("\nERROR: Unable to open 'C:\\c.dat'\n"), std::string::npos);
    EXPECT_EQ(job_.changesMade, 0u);
}

// The file is read and written through views of a few MiB: a failure of any step ends the
// scan. The replacements made before it stay in the file and count (the result alone does
// not tell; the flag does), and the plain call fails outright: a file only partly
// rewritten must not be taken for a finished one.
TEST_F(FileReplace, AFailureMidwayEndsTheScanKeepingEarlierReplacements) {
    std::vector<uint8_t> oldP = Decode(kOldHex), newP = Decode(kNewHex);
    const size_t secondView = 4u << 20;
    std::vector<uint8_t> file(secondView + 40000, 0x11);
    for (size_t a : {(size_t)5000, (size_t)9000, secondView + 5000}) Put(file, a, oldP);
    struct Case {
        const char* function;
        long nth;
        int result;         // of ReplaceHexInFileEx
        unsigned written;   // matches in the file afterwards, in order
        const char* message;
    } cases[] = {
        {"GetFileSize", 0, -2, 0, "Error reading from file"},
        {"CreateFileMappingA", 0, -2, 0, "Error reading from file"},
        {"MapViewOfFile", 1, -2, 0, "Error reading from file"},
        {"MapViewOfFile", 2, 0, 2, "Error reading from file"},
        {"FlushViewOfFile", 1, 0, 2, "Error writing to file"},
        {"UnmapViewOfFile", 1, 0, 2, "Error writing to file"},
        {"FlushFileBuffers", 0, 0, 3, "Error writing to file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.function) + " " + std::to_string(c.nth));
        for (bool plain : {false, true}) {
            Write("s.dat", file);
            job_.replacedCount = 0;
            job_.changesMade = 0;
            size_t logBefore = Log().size();
            ntsim::FaultAdd({c.function, 29, c.nth, "*s.dat", false});
            BOOL interrupted = FALSE;
            int result = plain ? ReplaceHexInFile("C:\\s.dat", kOldHex, kNewHex)
                               : ReplaceHexInFileEx("C:\\s.dat", kOldHex, kNewHex, &interrupted);
            ntsim::FaultClearAll();
            EXPECT_EQ(result, plain ? -2 : c.result) << plain;
            if (!plain) {
                EXPECT_TRUE(interrupted);
            }
            std::vector<uint8_t> expected = file;
            size_t at[] = {5000, 9000, secondView + 5000};
            for (unsigned k = 0; k < c.written; ++k) Put(expected, at[k], newP);
            EXPECT_TRUE(Read("s.dat") == expected);
            EXPECT_EQ(job_.replacedCount, c.written);
            EXPECT_EQ(job_.changesMade, c.written ? 1u : 0u);
            EXPECT_NE(Log().find(std::string("\n") + c.message + " 'C:\\s.dat'\n", logBefore), std::string::npos)
                << Log();
        }
    }
    // Without a failure all three are found, across the views.
    Write("s.dat", file);
    job_.replacedCount = 0;
    BOOL interrupted = TRUE;
    EXPECT_EQ(ReplaceHexInFileEx("C:\\s.dat", kOldHex, kNewHex, &interrupted), 0);
    EXPECT_FALSE(interrupted);
    EXPECT_EQ(job_.replacedCount, 3u);
}

namespace {

// The scan as the plainest loop: from byte 4096 on, a match is replaced and the scan goes
// on past it; otherwise one byte further. The count of replacements, the bytes after.
size_t ReferenceScan(std::vector<uint8_t>* file, const std::vector<uint8_t>& oldP, const std::vector<uint8_t>& newP) {
    size_t count = 0, n = oldP.size();
    if (n == 0) return 0;
    for (size_t p = 4096; p + n <= file->size();) {
        if (std::equal(oldP.begin(), oldP.end(), file->begin() + (long)p)) {
            std::copy(newP.begin(), newP.end(), file->begin() + (long)p);
            ++count;
            p += n;
        } else {
            ++p;
        }
    }
    return count;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char two[3];
    for (uint8_t b : bytes) snprintf(two, sizeof two, "%02X", b), out += two;
    return out;
}

}  // namespace

// Every case against the reference: the bytes of the file, the result and the count. The
// read blocks of the scan are an implementation choice, so the edge cases straddle every
// 64 KiB boundary past the base block, which covers any block of 64 KiB or a multiple of it.
TEST_F(FileReplace, ScanMatchesThePlainestLoopAtEveryEdge) {
    const std::vector<uint8_t> sidOld = Decode(kOldHex), sidNew = Decode(kNewHex);
    // A machine SID as the job's pattern has it: 05 15 00 00 00 and three random numbers.
    const std::vector<uint8_t> realOld = Decode("05150000009C3E6A3B822752461320BEA1");
    const std::vector<uint8_t> realNew = Decode("0515000000112233440A0B0C0D01020304");
    std::mt19937 rng(7);
    auto noise = [&](size_t size, bool hiveLike) {
        std::vector<uint8_t> out(size);
        for (uint8_t& b : out) {
            uint32_t r = rng(), kind = r % 10;
            b = !hiveLike ? (uint8_t)(r >> 8) : kind < 5 ? 0 : kind < 7 ? (uint8_t)('a' + (r >> 8) % 26) : (uint8_t)(r >> 8);
        }
        return out;
    };
    // Places the pattern so that it straddles each 64 KiB boundary past the base block,
    // split after every one of its bytes in turn.
    auto straddle = [](std::vector<uint8_t>& file, const std::vector<uint8_t>& p) {
        size_t split = 1;
        for (size_t edge = 4096 + 65536; edge + p.size() < file.size(); edge += 65536, ++split)
            Put(file, edge - (split % p.size() == 0 ? 1 : split % p.size()), p);
    };
    struct Case {
        const char* name;
        std::vector<uint8_t> file;
        std::vector<uint8_t> oldP, newP;
        std::string oldHex = "", newHex = "";  // when not the patterns' own hex (odd digits, lower case)
    };
    std::vector<Case> cases;
    {
        Case c{"straddling every 64 KiB edge, hive-like noise", noise(4096 + 40 * 65536 + 333, true), sidOld, sidNew};
        straddle(c.file, sidOld);
        cases.push_back(c);
    }
    {
        Case c{"a real SID straddling every edge, random noise", noise(4096 + 36 * 65536 + 5, false), realOld, realNew};
        straddle(c.file, realOld);
        cases.push_back(c);
    }
    {
        // The same at every 64 KiB of the file itself, past two edges of the 4 MiB views the
        // file is read through; and matches that end on, or start at, each view's edge.
        Case c{"straddling the file's own 64 KiB edges", noise((8u << 20) + 4096 + 100, true), sidOld, sidNew};
        size_t split = 1;
        for (size_t edge = 2 * 65536; edge + 17 < c.file.size(); edge += 65536, ++split)
            Put(c.file, edge - (split % 17 == 0 ? 1 : split % 17), sidOld);
        cases.push_back(c);
        Case d{"ending on a view's edge, and starting on one", noise((8u << 20) + 4096, true), sidOld, sidNew};
        Put(d.file, (4u << 20) - 17, sidOld);
        Put(d.file, (8u << 20), sidOld);
        cases.push_back(d);
    }
    {
        // Each match ends exactly on an edge, or starts on one.
        Case c{"ending and starting on edges", noise(4096 + 20 * 65536, true), sidOld, sidNew};
        for (size_t edge = 4096 + 65536; edge + 65536 + 17 < c.file.size(); edge += 2 * 65536) {
            Put(c.file, edge - 17, sidOld);
            Put(c.file, edge + 65536, sidOld);
        }
        cases.push_back(c);
    }
    {
        Case c{"at the first byte past the base block and ending on the last", noise(4096 + 300000, true), sidOld,
               sidNew};
        Put(c.file, 4096, sidOld);
        Put(c.file, c.file.size() - 17, sidOld);
        cases.push_back(c);
    }
    {
        Case c{"starting one byte inside the base block", std::vector<uint8_t>(4096 + 200, 0), sidOld, sidNew};
        Put(c.file, 4095, sidOld);
        Put(c.file, 4096 + 100, sidOld);
        cases.push_back(c);
    }
    {
        // A scan that passes over blocks of positions at once must stop at the first position
        // of the next block. Matches 2 to 3 KiB apart in noise, thousands of them, meet every
        // position of a block of any size up to 1 KiB after blocks without one; past them,
        // gaps of every multiple of 64 up to 4 KiB and two bytes either side.
        Case c{"after blocks without a match, and gaps around multiples of 64", noise(4096 + 190 * 65536, true),
               sidOld, sidNew};
        size_t at = 4096;
        for (int i = 0; i < 4500; ++i, at += 2048 + rng() % 1024) Put(c.file, at, sidOld);
        for (size_t k = 1; k <= 64; ++k)
            for (size_t d = 0; d <= 4; ++d) {
                at += 17 + k * 64 + d - 2;
                if (at + 17 <= c.file.size()) Put(c.file, at, sidOld);
            }
        cases.push_back(c);
    }
    cases.push_back({"no match in random noise", noise(4096 + 3 * 65536 + 17, false), realOld, realNew});
    {
        // Near misses: the pattern with one byte changed, at every position of it.
        Case c{"near misses only", noise(4096 + 200000, true), sidOld, sidNew};
        for (size_t i = 0; i < 17; ++i) {
            std::vector<uint8_t> near = sidOld;
            near[i] ^= 0x40;
            Put(c.file, 5000 + i * 9000, near);
            Put(c.file, 4096 + 65536 - 8 + i * 65536 / 17, near);
        }
        cases.push_back(c);
    }
    {
        // Self-overlapping candidates: a run of one byte, the pattern two of them; and
        // "ABCDAB" in "ABCDABCDAB...": left to right, never overlapping a replacement.
        Case c{"overlapping candidates in a run", std::vector<uint8_t>(4096 + 3 * 65536 + 1, 0x05), {0x05, 0x05},
               {0x06, 0x07}};
        cases.push_back(c);
        Case d{"overlapping candidates of a repeating text", std::vector<uint8_t>(4096 + 2 * 65536 + 3),
               {0xAB, 0xCD, 0xAB}, {0x01, 0x02, 0x03}};
        for (size_t i = 0; i < d.file.size(); ++i) d.file[i] = i % 2 ? 0xCD : 0xAB;
        cases.push_back(d);
    }
    {
        // Back to back, tens of thousands: every SID of the file replaced.
        Case c{"many matches back to back", std::vector<uint8_t>(4096 + 17 * 40000 + 9, 0), sidOld, sidNew};
        for (size_t at = 4096; at + 17 <= c.file.size(); at += 17) Put(c.file, at, sidOld);
        cases.push_back(c);
        Case d{"an all-zero pattern in zeros", std::vector<uint8_t>(4096 + 2 * 65536 + 7, 0), {0, 0, 0, 0},
               {1, 2, 3, 4}};
        cases.push_back(d);
    }
    {
        // Odd digits: the last one carries no byte; lower case reads as upper case.
        Case c{"odd-length lower-case hex", noise(4096 + 2 * 65536, true), {0x05, 0x15, 0x00}, {0xAA, 0xBB, 0xCC}};
        c.oldHex = "0515007";
        c.newHex = "aabbcc9";
        c.file[4096 + 65536 - 1] = 0x05, c.file[4096 + 65536] = 0x15, c.file[4096 + 65536 + 1] = 0;
        cases.push_back(c);
    }
    {
        Case c{"one-byte pattern", noise(4096 + 65536 + 100, false), {0xE7}, {0x7E}};
        cases.push_back(c);
    }
    {
        Case c{"a file one byte shorter than the base block and the pattern", std::vector<uint8_t>(4096 + 16, 0),
               sidOld, sidNew};
        Put(c.file, 4095, sidOld);
        cases.push_back(c);
    }

    for (Case& c : cases) {
        std::vector<uint8_t> expected = c.file;
        size_t count = ReferenceScan(&expected, c.oldP, c.newP);
        Write("t.dat", c.file);
        job_.replacedCount = 5;
        job_.changesMade = 0;
        std::string oldHex = c.oldHex.empty() ? Hex(c.oldP) : c.oldHex;
        std::string newHex = c.newHex.empty() ? Hex(c.newP) : c.newHex;
        BOOL interrupted = TRUE;
        int result = ReplaceHexInFileEx("C:\\t.dat", oldHex.c_str(), newHex.c_str(), &interrupted);
        EXPECT_EQ(result, count ? kReplaced : kNotFound) << c.name;
        EXPECT_FALSE(interrupted) << c.name;
        EXPECT_EQ(job_.replacedCount, 5 + count) << c.name;
        EXPECT_EQ(job_.changesMade, count ? 1u : 0u) << c.name;
        std::vector<uint8_t> got = Read("t.dat");
        ASSERT_EQ(got.size(), expected.size()) << c.name;
        size_t first = std::mismatch(got.begin(), got.end(), expected.begin()).first - got.begin();
        EXPECT_EQ(first, got.size()) << c.name << ": first differing byte at " << first << " of " << count
                                     << " replacements";
    }
    EXPECT_EQ(Log(), "");
}

TEST_F(FileReplace, DeleteDirectoryTreeRemovesEverything) {
    std::filesystem::create_directories(Host("work/a/b/c"));
    std::filesystem::create_directories(Host("work/empty"));
    for (const char* f : {"work/x.txt", "work/a/ro.txt", "work/a/b/hidden.txt", "work/a/b/c/sys.txt"})
        std::ofstream(Host(f)) << "data";
    ASSERT_TRUE(SetFileAttributesA("C:\\work\\a\\ro.txt", FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesA("C:\\work\\a\\b\\hidden.txt", FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(SetFileAttributesA("C:\\work\\a\\b\\c\\sys.txt", FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesA("C:\\work\\a\\b", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(DeleteDirectoryTree("C:\\work"), 1) << Log();
    EXPECT_FALSE(std::filesystem::exists(Host("work")));

    std::filesystem::create_directories(Host("second/inner"));
    std::ofstream(Host("second/inner/f")) << "x";
    EXPECT_EQ(DeleteDirectoryTree("C:\\second\\"), 1) << Log();  // with a trailing backslash
    EXPECT_FALSE(std::filesystem::exists(Host("second")));
    EXPECT_EQ(Log(), "");
}

TEST_F(FileReplace, DeleteDirectoryTreeReportsWhatCannotBeDeleted) {
    std::filesystem::create_directories(Host("keep/sub"));
    std::ofstream(Host("keep/sub/locked.txt")) << "x";
    std::ofstream(Host("keep/other.txt")) << "x";
    ntsim::FaultAdd({"DeleteFileA", ERROR_SHARING_VIOLATION, 0, "*locked.txt", false});
    EXPECT_EQ(DeleteDirectoryTree("C:\\keep"), 0);
    EXPECT_NE(Log().find("\nError deleting file 'C:\\keep\\sub\\locked.txt'\n"), std::string::npos) << Log();
    EXPECT_TRUE(std::filesystem::exists(Host("keep/sub/locked.txt")));
    ntsim::FaultClearAll();
    ntsim::FaultAdd({"RemoveDirectoryA", ERROR_ACCESS_DENIED, 0, "*keep", false});
    EXPECT_EQ(DeleteDirectoryTree("C:\\keep"), 0);
    EXPECT_NE(Log().find("\nError deleting directory 'C:\\keep'\n"), std::string::npos) << Log();
    EXPECT_TRUE(std::filesystem::exists(Host("keep")));
    EXPECT_FALSE(std::filesystem::exists(Host("keep/sub")));
    // A directory that does not exist: nothing to enumerate, and the removal fails.
    EXPECT_EQ(DeleteDirectoryTree("C:\\missing"), 0);
}

namespace {
// Limits the address space to what the process uses now plus a little, so that the
// next large allocation fails as it would on a machine out of memory.
struct AddressSpaceLimit {
    struct rlimit saved;
    explicit AddressSpaceLimit(size_t headroom) {
        getrlimit(RLIMIT_AS, &saved);
        size_t pages = 0;
        if (FILE* f = ::NtsimFopen("/proc/self/statm", "r")) {
            if (fscanf(f, "%zu", &pages) != 1) pages = 0;
            fclose(f);
        }
        struct rlimit limit = saved;
        limit.rlim_cur = pages * (size_t)sysconf(_SC_PAGESIZE) + headroom;
        setrlimit(RLIMIT_AS, &limit);
    }
    ~AddressSpaceLimit() { setrlimit(RLIMIT_AS, &saved); }
};
}  // namespace

TEST_F(FileReplace, AllocationFailuresAreReportedAndChangeNothing) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' own allocations fail under an address-space limit";
#endif
    std::vector<uint8_t> file(8192, 0);
    Put(file, 5000, Decode(kOldHex));
    Write("e.dat", file);
    int result;
    // A pattern of 8 MiB: its window and pattern buffers are larger than anything the
    // allocator may still hold from earlier tests.
    std::string oldHex(16 << 20, 'A'), newHex(16 << 20, 'B');
    {
        AddressSpaceLimit limit(256 * 1024);
        result = ReplaceHexInFile("C:\\e.dat", oldHex.c_str(), newHex.c_str());
    }
    EXPECT_EQ(result, -2);
    EXPECT_NE(Log().find("\nERROR: Out Of Memory\n"), std::string::npos) << Log();
    EXPECT_TRUE(Read("e.dat") == file);
    EXPECT_EQ(job_.changesMade, 0u);

    // The multi-string output buffer has the capacity's size: a large capacity cannot be had.
    const size_t capacity = 64 * 1024 * 1024;
    std::vector<char> list(capacity, 0);
    memcpy(list.data(), "S-1-5-21-1-2-3\0", 15);
    DWORD size = (DWORD)capacity;
    {
        AddressSpaceLimit limit(1024 * 1024);
        result = ReplaceMultiStringText(list.data(), &size, "S-1-5-21-1-2-3", "S-1-5-21-4-5-6");
    }
    EXPECT_EQ(result, -2);
    EXPECT_EQ(size, (DWORD)capacity);
    EXPECT_STREQ(list.data(), "S-1-5-21-1-2-3");
}
