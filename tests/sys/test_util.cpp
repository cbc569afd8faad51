// The program's own formatter and the bounded text helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sys/UTIL.h"

#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-extra-args"
#pragma GCC diagnostic ignored "-Wformat-overflow"

namespace {

template <typename... A> std::string Fmt(const char* sFormat, A... Args) {
  char ac[256];
  UTIL_sprintf(ac, sizeof(ac), sFormat, Args...);
  return ac;
}

TEST(UtilSprintf, Conversions) {
  EXPECT_EQ(Fmt("%8X", 0x1F), "      1F");
  EXPECT_EQ(Fmt("%.8X", 0x1F), "0000001F");
  EXPECT_EQ(Fmt("%08X", 0x1F), "      1F"); // a leading 0 is just a digit of the width
  EXPECT_EQ(Fmt("%d.%.3d sec", 0, 512), "0.512 sec");
  EXPECT_EQ(Fmt("%d", -42), "-42");
  EXPECT_EQ(Fmt("%i", (int)0x80000000), "-2147483648");
  EXPECT_EQ(Fmt("%u", 0xFFFFFFFFu), "4294967295");
  EXPECT_EQ(Fmt("%x/%X", 0xabcdu, 0xabcdu), "abcd/ABCD");
  EXPECT_EQ(Fmt("%llX", 0x123456789ABCull), "123456789ABC");
  EXPECT_EQ(Fmt("%lld", -5000000000ll), "-5000000000");
  EXPECT_EQ(Fmt("%c%c", 'o', 'k'), "ok");
  EXPECT_EQ(Fmt("100%%"), "100%");
  EXPECT_EQ(Fmt("[%5s]", "ab"), "[   ab]");
  EXPECT_EQ(Fmt("[%-5s]", "ab"), "[ab   ]");
  EXPECT_EQ(Fmt("[%p]", (void*)0x1f), "[      1f]");
  EXPECT_EQ(Fmt("a%qb", 1), "ab"); // an unknown conversion is dropped with its percent sign
  EXPECT_EQ(Fmt("%s", (const char*)nullptr), "(null)");
}

TEST(UtilSprintf, AppendsWhenTheBufferIsTheLeadingString) {
  char ac[64] = "Sectors: ";
  UTIL_sprintf(ac, sizeof(ac), "%s%d sector%s with %s\r\n", ac, 3, "s", "4 KB");
  EXPECT_STREQ(ac, "Sectors: 3 sectors with 4 KB\r\n");
  char ac2[32] = "0x10";
  UTIL_sprintf(ac2, sizeof(ac2), "%s, 0x%X", ac2, 0x20);
  EXPECT_STREQ(ac2, "0x10, 0x20");
}

TEST(UtilSprintf, TruncatesAndTerminates) {
  char ac[8];
  std::memset(ac, 'x', sizeof(ac));
  int n = UTIL_sprintf(ac, sizeof(ac), "%s-%d", "abcdef", 12345);
  EXPECT_EQ(n, 7);
  EXPECT_STREQ(ac, "abcdef-");
  char one[1] = {'x'};
  UTIL_sprintf(one, 1, "abc");
  EXPECT_EQ(one[0], 0);
}

TEST(UtilText, BoundedCopies) {
  char ac[5];
  UTIL_strcpy(ac, "abcdefgh", sizeof(ac));
  EXPECT_STREQ(ac, "abcd");
  UTIL_strcpy(ac, "xy", sizeof(ac));
  UTIL_strcat(ac, "1234", sizeof(ac));
  EXPECT_STREQ(ac, "xy12");
  UTIL_strcpy(ac, "a", sizeof(ac));
  UTIL_strncat(ac, "bcdef", 2, sizeof(ac));
  EXPECT_STREQ(ac, "abc");
  UTIL_strcpy(nullptr, "a", 4);      // nothing happens
  UTIL_strcpy(ac, "zz", 0);          // nothing happens
  EXPECT_STREQ(ac, "abc");
}

TEST(UtilText, CompareAndSearch) {
  EXPECT_EQ(UTIL_stricmp("Hello", "hELLO"), 0);
  EXPECT_LT(UTIL_stricmp("abc", "abd"), 0);
  EXPECT_EQ(UTIL_strnicmp("-OPENprj", "-openprjx", 8), 0);
  // The comparison stops early at the end of the first string: a prefix compares equal.
  EXPECT_EQ(UTIL_strnicmp("-o", "-open", 5), 0);
  EXPECT_NE(UTIL_strnicmp("-open", "-o", 5), 0);
  EXPECT_EQ(UTIL_strchr("a,b", ','), 1);
  EXPECT_EQ(UTIL_strchr("ab", ','), -1);
}

TEST(UtilParse, Numbers) {
  struct Case {
    const char* sText;
    bool Hex;
    int Result;
    int64_t Value;
    int Consumed;
  } aCase[] = {
      {"123", false, 0, 123, 3},         {"  0x1F,", false, 0, 0x1F, 6}, {"1F", true, 0, 0x1F, 2},
      {"-10", false, 0, -10, 3},         {"-0x10", false, 0, -16, 5},    {"8000000", true, 0, 0x8000000, 7},
      {"zz", false, -1, 0, 0},           {"", true, -1, 0, 0},            {"0x", true, 0, 0, 1},
  };
  for (const Case& c : aCase) {
    const char* s = c.sText;
    int64_t v = 0;
    EXPECT_EQ(UTIL_ParseInt(&s, &v, c.Hex), c.Result) << c.sText;
    if (c.Result == 0) {
      EXPECT_EQ(v, c.Value) << c.sText;
      EXPECT_EQ(s - c.sText, c.Consumed) << c.sText;
    }
  }
  EXPECT_EQ(UTIL_ParseU32("0xFFFFFFFF"), 0xFFFFFFFFll);
  EXPECT_EQ(UTIL_ParseU32("42"), 42);
  EXPECT_EQ(UTIL_ParseU32("x"), -1);
  EXPECT_EQ(UTIL_ParseU32("0x"), -1);
}

TEST(UtilBits, ByteOrderAndBitFields) {
  uint8_t ab[4];
  UTIL_Store32(ab, 0x11223344, true);
  EXPECT_EQ(ab[0], 0x11);
  EXPECT_EQ(UTIL_Load32(ab, false), 0x44332211u);
  UTIL_Store16(ab, 0xA1B2, false);
  EXPECT_EQ(ab[0], 0xB2);
  EXPECT_EQ(UTIL_Load16(ab, true), 0xB2A1);
  EXPECT_EQ(UTIL_Swap32(0x11223344), 0x44332211u);
  uint8_t f[3] = {0, 0, 0};
  UTIL_SetBits(f, 6, 5); // bits 6..10
  EXPECT_EQ(f[0], 0xC0);
  EXPECT_EQ(f[1], 0x07);
  EXPECT_EQ(UTIL_CountBits(f, 3), 5);
  UTIL_InvertBits(f, 7, 2);
  EXPECT_FALSE(UTIL_TestBit(f, 7));
  EXPECT_FALSE(UTIL_TestBit(f, 8));
  EXPECT_TRUE(UTIL_TestBit(f, 9));
  UTIL_ClrBits(f, 0, 24);
  EXPECT_EQ(UTIL_CountBits(f, 3), 0);
  EXPECT_EQ(UTIL_FindLowestBit(0), -1);
  EXPECT_EQ(UTIL_FindLowestBit(0x50), 4);
  EXPECT_EQ(UTIL_FindHighestBit(0x50), 6);
}

} // namespace
