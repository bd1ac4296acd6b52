#include "TestSupport.h"
#include "rtl/SysUtils.h"

#include <clocale>

namespace vix {
namespace {

TEST(StrToInt, Table) {
  struct Case {
    std::u16string text;
    bool valid;
    int32_t value;
  } const cases[] = {
      {u"0", true, 0},
      {u"7", true, 7},
      {u"007", true, 7},
      {u"-5", true, -5},
      {u"+12", true, 12},
      {u"2147483647", true, 2147483647},
      {u"-2147483648", true, INT32_MIN},
      {u"$1F", true, 31},
      {u"$ff", true, 255},
      {u"-$10", true, -16},
      {u"$7FFFFFFF", true, INT32_MAX},
      {u"2147483648", false, 0},
      {u"-2147483649", false, 0},
      {u"99999999999999999999", false, 0},
      {u"$80000000", false, 0},
      {u"", false, 0},
      {u"-", false, 0},
      {u"+", false, 0},
      {u"$", false, 0},
      {u"abc", false, 0},
      {u"12a", false, 0},
      {u" 12", false, 0},
      {u"1 2", false, 0},
      {u"$G", false, 0},
      {u"0x10", false, 0},
      {u"\uFF11", false, 0},  // a full-width digit is no digit
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(ToUtf8(c.text));
    int32_t v = -99;
    EXPECT_EQ(TryStrToInt(c.text, v), c.valid);
    if (c.valid) {
      EXPECT_EQ(v, c.value);
      EXPECT_EQ(StrToInt(c.text), c.value);
    } else {
      EXPECT_THROW(StrToInt(c.text), EConvertError);
    }
  }
}

TEST(StrToInt, Message) {
  try {
    StrToInt(u"abc");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), u"'abc' is not a valid integer value");
  }
}

TEST(StrToInt, SixtyFourBits) {
  EXPECT_EQ(StrToInt64(u"-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(StrToInt64(u"9223372036854775807"), INT64_MAX);
  EXPECT_THROW(StrToInt64(u"9223372036854775808"), EConvertError);
  EXPECT_EQ(IntToStr(INT64_MIN), u"-9223372036854775808");
  EXPECT_EQ(IntToStr(0), u"0");
  EXPECT_EQ(UIntToStr(UINT64_MAX), u"18446744073709551615");
}

TEST(StrToInt, UnsignedSixtyFourBits) {
  const struct {
    std::u16string text;
    bool valid;
    uint64_t value;
  } cases[] = {
      {u"0", true, 0},
      {u"+42", true, 42},
      {u"18446744073709551615", true, UINT64_MAX},
      {u"$FFFFFFFFFFFFFFFF", true, UINT64_MAX},
      {u"18446744073709551616", false, 0},
      {u"-1", false, 0},
      {u"-0", false, 0},
      {u"", false, 0},
      {u" 1", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(ToUtf8(c.text));
    uint64_t v = 99;
    EXPECT_EQ(TryStrToUInt64(c.text, v), c.valid);
    if (c.valid) {
      EXPECT_EQ(v, c.value);
    }
  }
}

TEST(Format, Table) {
  struct Case {
    std::u16string got;
    std::u16string want;
  } const cases[] = {
      {Format(u"Can't connect to MySQL server on '%s' (%d)", {u"db1", 10061}),
       u"Can't connect to MySQL server on 'db1' (10061)"},
      {Format(u"Socket error on connect. WSAGetLastError return %d($%X)", {10061, 10061}),
       u"Socket error on connect. WSAGetLastError return 10061($274D)"},
      {Format(u"%x|%X|%.8X", {255, 255, 255}), u"ff|FF|000000FF"},
      {Format(u"%5d|%-5d|%.3d|%5.3d", {42, 42, 7, -7}), u"   42|42   |007| -007"},
      {Format(u"[%6s][%-6s][%.2s]", {u"ab", u"ab", u"abcdef"}), u"[    ab][ab    ][ab]"},
      {Format(u"100%% %s", {u"확인"}), u"100% 확인"},
      {Format(u"%d %u", {int64_t{-1}, uint64_t{18446744073709551615u}}), u"-1 18446744073709551615"},
      {Format(u"%x", {-1}), u"ffffffff"},
      {Format(u"no directives", {}), u"no directives"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(Format, BadDirectivesRaise) {
  EXPECT_THROW(Format(u"%d", {u"text"}), EConvertError);
  EXPECT_THROW(Format(u"%s", {5}), EConvertError);
  EXPECT_THROW(Format(u"%s %s", {u"one"}), EConvertError);
  EXPECT_THROW(Format(u"%q", {1}), EConvertError);
  EXPECT_THROW(Format(u"50%", {}), EConvertError);
}

TEST(Case, NamesMatchWithoutLocale) {
  // The C locale must not matter: Turkish-style rules would break "I"/"i".
  std::setlocale(LC_ALL, "C");
  EXPECT_TRUE(SameText(u"UserName", u"USERNAME"));
  EXPECT_TRUE(SameText(u"siteid", u"SiteID"));
  EXPECT_TRUE(SameText(u"\u00E9t\u00E9", u"\u00C9T\u00C9"));
  EXPECT_TRUE(SameText(u"\u0434\u0430", u"\u0414\u0410"));
  EXPECT_TRUE(SameText(u"\u00FF", u"\u0178"));
  EXPECT_FALSE(SameText(u"Site", u"SiteID"));
  EXPECT_FALSE(SameText(u"a", u"b"));
  EXPECT_LT(CompareText(u"abc", u"ABD"), 0);
  EXPECT_GT(CompareText(u"abcd", u"ABC"), 0);
  EXPECT_EQ(UpperCase(u"sch\u00F6n \u0105"), u"SCH\u00D6N \u0104");
  EXPECT_EQ(LowerCase(u"SCH\u00D6N \u0104 \u03A3"), u"sch\u00F6n \u0105 \u03C3");
}

TEST(Case, AsciiOnlyLowering) {
  EXPECT_EQ(LowerCaseAscii(u"Can't CONNECT \u00C9\u0414"), u"can't connect \u00C9\u0414");
  EXPECT_EQ(LowerCaseAscii(std::string_view("SOCKET Error")), "socket error");
  EXPECT_EQ(UpperCaseAscii(u"kiv8 \u00E9"), u"KIV8 \u00E9");
}

TEST(Text, TrimAndPos) {
  EXPECT_EQ(Trim(u" \t\r\n ab c \x01"), u"ab c");
  EXPECT_EQ(Trim(u"   "), u"");
  EXPECT_EQ(Pos(u"aspservice", u"x aspservice"), 3u);
  EXPECT_EQ(Pos(u"Aspservice", u"aspservice"), 0u);
  EXPECT_EQ(Pos(u"", u"abc"), 0u);
}

}  // namespace
}  // namespace vix
