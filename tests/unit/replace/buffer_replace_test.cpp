// The in-memory replacement primitives: every row of their failure table, the
// edge cases, and randomized runs against plain reference implementations with
// guard bytes around every buffer.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/output.h"
#include "replace/byte_replace.h"
#include "unit/engine/stream_text.h"

namespace {

// The log receives every report, so tests can read what was said.
class Replace : public ::testing::Test {
protected:
    FILE* log_ = nullptr;
    void SetUp() override {
        log_ = tmpfile();
        logStream = log_;
    }
    void TearDown() override {
        logStream = nullptr;
        if (log_) fclose(log_);
    }
    std::string Log() { return StreamText(log_); }
};

std::vector<BYTE> Bytes(std::initializer_list<int> list) {
    std::vector<BYTE> v;
    for (int b : list) v.push_back((BYTE)b);
    return v;
}

}  // namespace

TEST_F(Replace, BytesInBufferEdgeCases) {
    BYTE ab[] = {0x41, 0x42}, xy[] = {0x58, 0x59};
    std::vector<BYTE> buf = Bytes({0x41, 0x42, 0x41, 0x42, 0x41, 0x42});
    EXPECT_EQ(ReplaceBytesInBuffer(buf.data(), 6, ab, 2, xy, 2), 0);
    EXPECT_EQ(buf, Bytes({0x58, 0x59, 0x58, 0x59, 0x58, 0x59}));

    BYTE aa[] = {0x41, 0x41}, zz[] = {0x5A, 0x5A};
    buf = Bytes({0x41, 0x41, 0x41});
    EXPECT_EQ(ReplaceBytesInBuffer(buf.data(), 3, aa, 2, zz, 2), 0);
    EXPECT_EQ(buf, Bytes({0x5A, 0x5A, 0x41}));  // no overlap: the last byte stays

    buf = Bytes({0x00, 0x00, 0x41, 0x42});  // a match ending on the last byte
    EXPECT_EQ(ReplaceBytesInBuffer(buf.data(), 4, ab, 2, xy, 2), 0);
    EXPECT_EQ(buf, Bytes({0x00, 0x00, 0x58, 0x59}));

    buf = Bytes({0x41, 0x42});  // pattern exactly as long as the buffer
    EXPECT_EQ(ReplaceBytesInBuffer(buf.data(), 2, ab, 2, xy, 2), 0);
    BYTE abc[] = {0x41, 0x42, 0x43}, xyz[] = {1, 2, 3};
    buf = Bytes({0x41, 0x42});  // one byte longer: -1, no message
    EXPECT_EQ(ReplaceBytesInBuffer(buf.data(), 2, abc, 3, xyz, 3), -1);
    EXPECT_EQ(ReplaceBytesInBuffer(buf.data(), 2, xy, 2, ab, 2), -1);  // not present
    EXPECT_EQ(ReplaceBytesInBuffer(nullptr, 2, ab, 2, xy, 2), -1);
    EXPECT_EQ(ReplaceBytesInBuffer(buf.data(), 2, nullptr, 2, xy, 2), -1);
    EXPECT_EQ(ReplaceBytesInBuffer(buf.data(), 2, ab, 2, nullptr, 2), -1);
    EXPECT_EQ(ReplaceBytesInBuffer(buf.data(), 2, ab, 0, xy, 0), -1);   // empty pattern: nothing to find
    EXPECT_EQ(ReplaceBytesInBuffer(buf.data(), -5, ab, 2, xy, 2), -1);  // negative length
    EXPECT_EQ(Log(), "");

    EXPECT_EQ(ReplaceBytesInBuffer(buf.data(), 2, ab, 2, xyz, 3), -2);
    EXPECT_NE(Log().find("\nInternal Error: ReplaceBytesInBuffer() parameters must be the same length\n"),
              std::string::npos);
    EXPECT_EQ(buf, Bytes({0x41, 0x42}));
}

TEST_F(Replace, BytesAllPairsStopsAtTheFirstFailure) {
    BYTE a[] = {1, 1}, b[] = {2, 2}, c[] = {3, 3};
    std::vector<BYTE> buf = Bytes({1, 1, 9, 2, 2});
    BytePairList pairs = {2, {a, b}, {b, c}};
    // Later pairs see what earlier pairs wrote.
    EXPECT_EQ(ReplaceBytesAllPairs(buf.data(), 5, &pairs, 2), 0);
    EXPECT_EQ(buf, Bytes({3, 3, 9, 3, 3}));
    BytePairList none = {1, {a}, {b}};
    EXPECT_EQ(ReplaceBytesAllPairs(buf.data(), 5, &none, 2), -1);
    BytePairList empty = {0, {}, {}};
    EXPECT_EQ(ReplaceBytesAllPairs(buf.data(), 5, &empty, 2), -1);
    BytePairList bad = {9, {c, c, c, c}, {a, a, a, a}};  // a count past 4 is taken as 4
    EXPECT_EQ(ReplaceBytesAllPairs(buf.data(), 5, &bad, 2), 0);
}

TEST_F(Replace, BufferTextFirstOccurrenceGrowAndShrink) {
    char text[64] = "S-1-5-21-1-2-3 and S-1-5-21-1-2-3";
    DWORD capacity = sizeof text;
    EXPECT_EQ(ReplaceBufferText(text, &capacity, "S-1-5-21-1-2-3", "S-1-5-21-44-55-66"), 0);
    EXPECT_STREQ(text, "S-1-5-21-44-55-66 and S-1-5-21-1-2-3");
    EXPECT_EQ(ReplaceBufferText(text, &capacity, "S-1-5-21-1-2-3", "S-1-5-21-44-55-66"), 0);
    EXPECT_STREQ(text, "S-1-5-21-44-55-66 and S-1-5-21-44-55-66");
    EXPECT_EQ(ReplaceBufferText(text, &capacity, "S-1-5-21-1-2-3", "x"), -1);
    EXPECT_EQ(capacity, 64u);

    // The old text ends the buffer, the new one is shorter.
    char end[32] = "prefix S-1-5-21-100";
    DWORD endCapacity = sizeof end;
    EXPECT_EQ(ReplaceBufferText(end, &endCapacity, "S-1-5-21-100", "S-1"), 0);
    EXPECT_STREQ(end, "prefix S-1");

    // Exact capacity succeeds, one byte less fails with the report.
    const char* base = "ab-OLD-cd";
    size_t exact = strlen(base) - 3 + strlen("LONGER") + 1;
    std::vector<char> buf(exact + 8, '#');
    strcpy(buf.data(), base);
    DWORD cap = (DWORD)exact;
    EXPECT_EQ(ReplaceBufferText(buf.data(), &cap, "OLD", "LONGER"), 0);
    EXPECT_STREQ(buf.data(), "ab-LONGER-cd");
    EXPECT_EQ(buf[exact], '#');
    strcpy(buf.data(), base);
    cap = (DWORD)exact - 1;
    EXPECT_EQ(ReplaceBufferText(buf.data(), &cap, "OLD", "LONGER"), -2);
    EXPECT_STREQ(buf.data(), base);
    char expected[96];
    snprintf(expected, sizeof expected, "\nError: RBT buffer too small (bufsize = %d; needed = %d)\n\n", (int)exact - 1,
             (int)exact);
    EXPECT_NE(Log().find(expected), std::string::npos) << Log();

    char shortText[8] = "ab";
    DWORD shortCap = sizeof shortText;
    EXPECT_EQ(ReplaceBufferText(shortText, &shortCap, "abc", "x"), -1);  // text shorter than the old text
    EXPECT_EQ(ReplaceBufferText(shortText, &shortCap, "", "x"), -1);     // an empty old text matches nothing
}

TEST_F(Replace, BufferTextRefusesMissingOrUnterminatedBuffers) {
    char text[8] = "abc";
    DWORD cap = sizeof text;
    EXPECT_EQ(ReplaceBufferText(nullptr, &cap, "a", "b"), -2);
    EXPECT_EQ(ReplaceBufferText(text, &cap, nullptr, "b"), -2);
    EXPECT_EQ(ReplaceBufferText(text, &cap, "a", nullptr), -2);
    EXPECT_EQ(ReplaceBufferText(text, nullptr, "a", "b"), -2);
    char full[4] = {'a', 'b', 'c', 'd'};  // no terminator within the capacity
    DWORD fullCap = sizeof full;
    EXPECT_EQ(ReplaceBufferText(full, &fullCap, "a", "b"), -2);
    EXPECT_EQ(memcmp(full, "abcd", 4), 0);
    std::string log = Log();
    size_t count = 0;
    for (size_t at = 0; (at = log.find("Error: Invalid buffer passed to ReplaceBufferText()", at)) != std::string::npos;
         ++at)
        ++count;
    EXPECT_EQ(count, 5u);
}

TEST_F(Replace, TextAllPairsAppliesPairsInOrder) {
    char text[64] = "S-1-5-21-1-2-3-500 in S-1-5-21-7-8-9";
    DWORD cap = sizeof text;
    SidPairList pairs = {2, {"S-1-5-21-1-2-3", "S-1-5-21-7-8-9"}, {"S-1-5-21-4-5-6", "S-1-5-21-10-11-12"}};
    EXPECT_EQ(ReplaceTextAllPairs(text, &cap, &pairs), 0);
    EXPECT_STREQ(text, "S-1-5-21-4-5-6-500 in S-1-5-21-10-11-12");
    std::string tooLong(80, 'y');
    SidPairList failing = {2, {"S-1", "S-1"}, {"x", tooLong.c_str()}};
    EXPECT_EQ(ReplaceTextAllPairs(text, &cap, &failing), -2);
}

static std::vector<char> Multi(std::initializer_list<std::string> strings, size_t capacity) {
    std::vector<char> v;
    for (const std::string& s : strings) {
        v.insert(v.end(), s.begin(), s.end());
        v.push_back(0);
    }
    v.push_back(0);
    if (capacity) v.resize(capacity, 0);
    return v;
}

TEST_F(Replace, MultiStringRewritesOnlyTheStringsThatHoldIt) {
    std::vector<char> buf = Multi({"first", "has S-1-5-21-1-2-3 here", "third"}, 128);
    DWORD size = 128;
    EXPECT_EQ(ReplaceMultiStringText(buf.data(), &size, "S-1-5-21-1-2-3", "S-1-5-21-1000-2000-3000"), 0);
    std::vector<char> expected = Multi({"first", "has S-1-5-21-1000-2000-3000 here", "third"}, 0);
    EXPECT_EQ(size, expected.size());
    EXPECT_EQ(std::vector<char>(buf.begin(), buf.begin() + size), expected);

    std::vector<char> untouched = Multi({"a", "b"}, 16);
    std::vector<char> copy = untouched;
    DWORD usize = 16;
    EXPECT_EQ(ReplaceMultiStringText(untouched.data(), &usize, "zzz", "y"), -1);
    EXPECT_EQ(untouched, copy);
    EXPECT_EQ(usize, 16u);

    std::vector<char> emptyFirst = Multi({"", "S-1"}, 16);
    DWORD esize = 16;
    EXPECT_EQ(ReplaceMultiStringText(emptyFirst.data(), &esize, "S-1", "x"), -1);

    // A result that would not fit the capacity is -2 without a message; the input stays.
    std::vector<char> tight = Multi({"AB"}, 4);
    std::vector<char> tightCopy = tight;
    DWORD tsize = 4;
    EXPECT_EQ(ReplaceMultiStringText(tight.data(), &tsize, "AB", "ABCD"), -2);
    EXPECT_EQ(tight, tightCopy);
    EXPECT_EQ(tsize, 4u);
    EXPECT_EQ(Log(), "");

    // The size one pair leaves is the capacity the next pair gets: here the first
    // pair leaves 9 bytes, too few for the second pair's growth, which fails.
    std::vector<char> two = Multi({"x1", "y2"}, 32);
    DWORD tw = 32;
    SidPairList pairs = {2, {"x1", "y2"}, {"xx11", "yy22"}};
    EXPECT_EQ(ReplaceMultiStringAllPairs(two.data(), &tw, &pairs), -2);
    EXPECT_EQ(tw, 9u);
    EXPECT_EQ(std::vector<char>(two.begin(), two.begin() + tw), Multi({"xx11", "y2"}, 0));
    SidPairList shrinking = {2, {"xx11", "y2"}, {"a", "b"}};
    EXPECT_EQ(ReplaceMultiStringAllPairs(two.data(), &tw, &shrinking), 0);
    EXPECT_EQ(std::vector<char>(two.begin(), two.begin() + tw), Multi({"a", "b"}, 0));
}

// ---- randomized comparison with reference implementations ----

namespace {

const size_t kGuard = 32;
const BYTE kGuardByte = 0xA5;

struct Guarded {
    std::vector<BYTE> storage;
    size_t size;
    explicit Guarded(size_t n) : storage(n + 2 * kGuard, kGuardByte), size(n) {}
    BYTE* data() { return storage.data() + kGuard; }
    bool GuardsIntact() const {
        for (size_t i = 0; i < kGuard; ++i)
            if (storage[i] != kGuardByte || storage[kGuard + size + i] != kGuardByte) return false;
        return true;
    }
};

int ReferenceBytes(std::vector<BYTE>& buf, const std::vector<BYTE>& o, const std::vector<BYTE>& n) {
    if (o.empty() || o.size() > buf.size()) return -1;
    bool any = false;
    for (size_t p = 0; p + o.size() <= buf.size();) {
        if (std::equal(o.begin(), o.end(), buf.begin() + (long)p)) {
            std::copy(n.begin(), n.end(), buf.begin() + (long)p);
            p += o.size();
            any = true;
        } else {
            ++p;
        }
    }
    return any ? 0 : -1;
}

std::string RandomText(std::mt19937& rng, size_t maxLength, const char* alphabet) {
    size_t n = rng() % (maxLength + 1);
    std::string s;
    size_t k = strlen(alphabet);
    for (size_t i = 0; i < n; ++i) s += alphabet[rng() % k];
    return s;
}

}  // namespace

TEST_F(Replace, RandomizedBytesMatchTheReferenceAndStayInside) {
    std::mt19937 rng(12345);
    for (int iteration = 0; iteration < 20000; ++iteration) {
        size_t length = rng() % 64;
        size_t n = 1 + rng() % 5;
        Guarded g(length);
        std::vector<BYTE> ref(length);
        for (size_t i = 0; i < length; ++i) ref[i] = g.data()[i] = (BYTE)(rng() % 3);
        std::vector<BYTE> o(n), nw(n);
        for (auto& b : o) b = (BYTE)(rng() % 3);
        for (auto& b : nw) b = (BYTE)(rng() % 3);
        int expected = ReferenceBytes(ref, o, nw);
        int got = ReplaceBytesInBuffer(g.data(), (int)length, o.data(), (int)n, nw.data(), (int)n);
        ASSERT_EQ(got, expected) << "iteration " << iteration;
        if (length) {
            ASSERT_EQ(0, memcmp(g.data(), ref.data(), length)) << "iteration " << iteration;
        }
        ASSERT_TRUE(g.GuardsIntact()) << "iteration " << iteration;
    }
}

TEST_F(Replace, RandomizedTextsMatchTheReferenceAndStayInside) {
    std::mt19937 rng(777);
    const char* alphabet = "S-12";
    for (int iteration = 0; iteration < 20000; ++iteration) {
        std::string text = RandomText(rng, 40, alphabet);
        std::string o = RandomText(rng, 4, alphabet), n = RandomText(rng, 8, alphabet);
        size_t capacity = text.size() + 1 + rng() % 12;
        bool terminated = rng() % 8 != 0;
        if (!terminated) capacity = text.size();  // the text fills the buffer: no room for its terminator
        Guarded g(capacity);
        memcpy(g.data(), text.data(), std::min(text.size(), capacity));
        if (terminated) g.data()[text.size()] = 0;
        DWORD cap = (DWORD)capacity;
        int got = ReplaceBufferText(reinterpret_cast<char*>(g.data()), &cap, o.c_str(), n.c_str());
        ASSERT_TRUE(g.GuardsIntact()) << iteration;
        ASSERT_EQ(cap, (DWORD)capacity);
        int expected;
        std::string after = text;
        if (!terminated || capacity == 0) {
            expected = -2;
        } else if (o.empty() || text.size() < o.size() || text.find(o) == std::string::npos) {
            expected = -1;
        } else if (text.size() - o.size() + n.size() + 1 > capacity) {
            expected = -2;
        } else {
            expected = 0;
            after.replace(text.find(o), o.size(), n);
        }
        ASSERT_EQ(got, expected) << iteration << " '" << text << "' '" << o << "' '" << n << "'";
        if (expected == 0) {
            ASSERT_STREQ(reinterpret_cast<char*>(g.data()), after.c_str());
        }
        if (expected != 0 && terminated) {
            ASSERT_EQ(0, memcmp(g.data(), text.c_str(), text.size() + 1));
        }
    }
}

TEST_F(Replace, RandomizedMultiStringsMatchTheReferenceAndStayInside) {
    std::mt19937 rng(4242);
    const char* alphabet = "S-12";
    for (int iteration = 0; iteration < 20000; ++iteration) {
        std::vector<std::string> strings;
        size_t count = rng() % 5;
        for (size_t i = 0; i < count; ++i) strings.push_back(RandomText(rng, 10, alphabet));
        std::string o = RandomText(rng, 3, alphabet), n = RandomText(rng, 6, alphabet);
        std::vector<char> bytes;
        for (const std::string& s : strings) {
            bytes.insert(bytes.end(), s.begin(), s.end());
            bytes.push_back(0);
        }
        bytes.push_back(0);
        size_t capacity = rng() % 4 == 0 ? rng() % (bytes.size() + 1) : bytes.size() + rng() % 16;
        Guarded g(capacity);
        memcpy(g.data(), bytes.data(), std::min(bytes.size(), capacity));
        for (size_t i = bytes.size(); i < capacity; ++i) g.data()[i] = (BYTE)(rng() % 2 ? 0 : 'S');
        std::vector<BYTE> before(g.data(), g.data() + capacity);
        DWORD size = (DWORD)capacity;
        int got = ReplaceMultiStringText(reinterpret_cast<char*>(g.data()), &size, o.c_str(), n.c_str());
        ASSERT_TRUE(g.GuardsIntact()) << iteration;
        if (got != 0) {
            ASSERT_EQ(size, (DWORD)capacity) << iteration;
            if (capacity) {
                ASSERT_EQ(0, memcmp(g.data(), before.data(), capacity)) << iteration;
            }
            continue;
        }
        // A list cut by its capacity has no reference form; its guards were checked above.
        if (capacity < bytes.size()) continue;
        std::vector<char> expected;
        for (std::string s : strings) {
            if (s.empty()) break;
            size_t at = o.empty() ? std::string::npos : s.find(o);
            if (at != std::string::npos) s.replace(at, o.size(), n);
            expected.insert(expected.end(), s.begin(), s.end());
            expected.push_back(0);
        }
        expected.push_back(0);
        ASSERT_EQ(size, (DWORD)expected.size()) << iteration;
        ASSERT_EQ(0, memcmp(g.data(), expected.data(), expected.size())) << iteration;
    }
}
