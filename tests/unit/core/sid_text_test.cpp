// SID values: text form, parsing (and what it refuses), hex and byte patterns, comparison.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/sid_text.h"

static Sid Make(DWORD a, DWORD b, DWORD c) {
    Sid s;
    SidInitialize(&s);
    s.subAuthority[1] = a;
    s.subAuthority[2] = b;
    s.subAuthority[3] = c;
    return s;
}

TEST(SidText, TextFormAndBackAgain) {
    Sid s = Make(1, 2, 3);
    char text[kSidTextSize];
    SidToText(&s, text, sizeof text);
    EXPECT_STREQ(text, "S-1-5-21-1-2-3");
    Sid max = Make(4294967295u, 0, 4294967295u);
    SidToText(&max, text, sizeof text);
    EXPECT_STREQ(text, "S-1-5-21-4294967295-0-4294967295");
    Sid back;
    ASSERT_EQ(SidFromText(text, &back), 1);
    EXPECT_TRUE(SidEqual(&back, &max));

    // Only byte 7 of the authority is printed; the upper five bytes never appear.
    Sid odd = Make(1, 2, 3);
    odd.identifierAuthority[0] = 9;
    odd.identifierAuthority[5] = 255;
    SidToText(&odd, text, sizeof text);
    EXPECT_STREQ(text, "S-1-255-21-1-2-3");
    ASSERT_EQ(SidFromText(text, &back), 1);
    EXPECT_EQ(back.identifierAuthority[0], 0);
    EXPECT_EQ(back.identifierAuthority[5], 255);
    EXPECT_EQ(back.subAuthorityCount, 4);

    // A short buffer is never overrun.
    char small[8];
    memset(small, 'x', sizeof small);
    SidToText(&s, small, 6);
    EXPECT_STREQ(small, "S-1-5");
    EXPECT_EQ(small[6], 'x');
}

TEST(SidText, ParsingRefusesWhatIsNotASid) {
    Sid s;
    EXPECT_EQ(SidFromText("S-1-5-21-1-2", &s), 0);       // five numbers
    EXPECT_EQ(SidFromText("X-1-5-21-1-2-3", &s), 0);     // prefix
    EXPECT_EQ(SidFromText("s-1-5-21-1-2-3", &s), 0);     // prefix letter case
    EXPECT_EQ(SidFromText("", &s), 0);
    EXPECT_EQ(SidFromText(nullptr, &s), 0);
    EXPECT_EQ(SidFromText("S-1-5-21-1-2-", &s), 0);
    EXPECT_EQ(SidFromText("S-1-5-21-1-2-x", &s), 0);
    EXPECT_EQ(SidFromText("S-1-5-21--1-2-3", &s), 0);    // no signs
    EXPECT_EQ(SidFromText("S-1-5-21- 1-2-3", &s), 0);    // no blanks
    EXPECT_EQ(SidFromText("S-1-5-21-4294967296-2-3", &s), 0);  // past 32 bits
    EXPECT_EQ(SidFromText("S-256-5-21-1-2-3", &s), 0);   // revision is one byte
    EXPECT_EQ(SidFromText("S-1-256-21-1-2-3", &s), 0);   // so is the authority's last byte
    // Very long numbers and 300-character texts are refused without reading past them.
    std::string longNumber = "S-1-5-21-" + std::string(300, '9') + "-2-3";
    EXPECT_EQ(SidFromText(longNumber.c_str(), &s), 0);
    std::string zeros = "S-1-5-21-" + std::string(280, '0') + "1-2-3";
    ASSERT_EQ(SidFromText(zeros.c_str(), &s), 1);  // leading zeros are still the number 1
    EXPECT_EQ(s.subAuthority[1], 1u);
    // Text after the sixth number is not read.
    ASSERT_EQ(SidFromText("S-1-5-21-1-2-3-4 trailing", &s), 1);
    EXPECT_EQ(s.subAuthority[3], 3u);
    // A failed parse leaves the initial form.
    EXPECT_EQ(SidFromText("S-1-5-21-7-8", &s), 0);
    Sid initial;
    SidInitialize(&initial);
    EXPECT_TRUE(SidEqual(&s, &initial));
}

TEST(SidText, HexPatternAndBytePattern) {
    Sid s = Make(1, 2, 3);
    char hex[kSidTextSize];
    SidToHexPattern(&s, hex, sizeof hex);
    EXPECT_STREQ(hex, "0515000000010000000200000003000000");
    EXPECT_EQ(strlen(hex), kSidHexPatternLength);
    Sid big = Make(0xABCDEF12u, 0, 0xFFFFFFFFu);
    SidToHexPattern(&big, hex, sizeof hex);
    EXPECT_STREQ(hex, "051500000012EFCDAB00000000FFFFFFFF");  // upper case, little-endian order
    const BYTE* bytes = SidBytePattern(&s);
    EXPECT_EQ(bytes, reinterpret_cast<const BYTE*>(&s) + 2);
    EXPECT_EQ(bytes[5], 5);
    EXPECT_EQ(bytes[6], 21);
    char small[10];
    memset(small, 'x', sizeof small);
    SidToHexPattern(&s, small, 7);
    EXPECT_STREQ(small, "051500");
    EXPECT_EQ(small[7], 'x');
}

TEST(SidText, ComparisonCoversAllTwentyFourBytes) {
    Sid a = Make(1, 2, 3), b = Make(1, 2, 3);
    EXPECT_TRUE(SidEqual(&a, &b));
    b.subAuthorityCount = 5;  // texts are equal, values are not
    char ta[kSidTextSize], tb[kSidTextSize];
    SidToText(&a, ta, sizeof ta);
    SidToText(&b, tb, sizeof tb);
    EXPECT_STREQ(ta, tb);
    EXPECT_FALSE(SidEqual(&a, &b));
}
