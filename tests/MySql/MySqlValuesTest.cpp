// Values in the server's text form: each parser over a table of texts, and
// the decoder writing into slots with guard bytes around them.
#include "MySql/MySqlValues.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "Common/ZelAccess.h"
#include "MySql/MySqlConsts.h"
#include "TestSupport.h"
#include "rtl/Currency.h"
#include "rtl/FMTBcd.h"
#include "rtl/FormatSettings.h"

namespace vix {
namespace {

TEST(MySqlValuesTest, Floats) {
  struct Case {
    const char* text;
    double value;
  };
  const Case good[] = {{"0", 0},
                       {"-1.5", -1.5},
                       {"+2", 2},
                       {"1e308", 1e308},
                       {"1e999", std::numeric_limits<double>::infinity()},
                       {"-1.7976931348623157e308", -1.7976931348623157e308},
                       {"0.1", 0.1},
                       {"5e-324", 5e-324},
                       {"-1e999", -std::numeric_limits<double>::infinity()},
                       {"1e-999", 0},
                       {"-1e-999", -0.0}};
  for (const Case& c : good) EXPECT_EQ(ParseMySqlFloat(c.text), c.value) << c.text;
  for (const char* bad : {"", "+", "1.5x", " 1", "1 ", "--1", "0x10", "nan?"})
    EXPECT_THROW(ParseMySqlFloat(bad), EConvertError) << bad;
}

TEST(MySqlValuesTest, Magnitudes) {
  struct Case {
    const char* text;
    bool ok;
    bool negative;
    uint64_t magnitude;
  };
  const Case cases[] = {
      {"0", true, false, 0},
      {"-9223372036854775808", true, true, uint64_t{1} << 63},
      {"18446744073709551615", true, false, UINT64_MAX},
      {"18446744073709551616", false, false, 0},
      {"9999999999999999999", true, false, 9999999999999999999ull},
      {"99999999999999999999", false, false, 0},
      {"000000000000000000018446744073709551615", true, false, UINT64_MAX},
      {"000000000000000000018446744073709551616", false, false, 0},
      {"1234567890123456789x", false, false, 0},
      {"+7", true, false, 7},
      {"-", false, false, 0},
      {"", false, false, 0},
      {"1a", false, false, 0},
      {"1 ", false, false, 0},
  };
  for (const Case& c : cases) {
    bool negative = false;
    uint64_t magnitude = 0;
    ASSERT_EQ(ParseMySqlMagnitude(c.text, negative, magnitude), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(negative, c.negative) << c.text;
    EXPECT_EQ(magnitude, c.magnitude) << c.text;
  }
}

TEST(MySqlValuesTest, DatesAndTimestamps) {
  struct Case {
    const char* text;
    bool withTime;
    bool ok;
    TDateTime value;
  };
  const Case cases[] = {
      {"2024-01-02", false, true, EncodeDate(2024, 1, 2)},
      {"2024-01-02 03:04:05", true, true, EncodeDateTime(2024, 1, 2, 3, 4, 5, 0)},
      {"2024-01-02 03:04:05.123999", true, true, EncodeDateTime(2024, 1, 2, 3, 4, 5, 123)},
      {"2024-01-02 03:04:05", false, true, EncodeDate(2024, 1, 2)},
      {"0000-00-00", false, false, 0},
      {"2024-02-30", false, false, 0},
      {"2024-01-02 03:04", true, false, 0},
      {"2024-01-02 03:04:05.", true, true, EncodeDateTime(2024, 1, 2, 3, 4, 5, 0)},
      {"2024-01-02 03:04:05x", true, false, 0},
      {"2024/01/02", false, false, 0},
      {"2024/01/02 03:04:05", true, false, 0},
      {"2024-01-02 03:x4:05", true, false, 0},
      {"2024-01-02 03:04:0x", true, false, 0},
      {"0000-00-00 00:00:00", true, false, 0},
      {"2024-02-29 23:59:59.999", true, true, EncodeDateTime(2024, 2, 29, 23, 59, 59, 999)},
      {"2000-02-29 00:00:00", true, true, EncodeDateTime(2000, 2, 29, 0, 0, 0, 0)},
      {"1900-02-29 00:00:00", true, false, 0},
      {"2023-02-29 00:00:00", true, false, 0},
      {"9999-12-31 23:59:59", true, true, EncodeDateTime(9999, 12, 31, 23, 59, 59, 0)},
      {"2024-13-01 00:00:00", true, false, 0},
      {"2024-01-02 24:00:00", true, false, 0},
      {"2024-01", false, false, 0},
      {"", true, false, 0},
  };
  for (const Case& c : cases) {
    TDateTime value = -1;
    ASSERT_EQ(ParseMySqlDateTime(c.text, c.withTime, value), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
  struct Compact {
    const char* text;
    int length;
    bool ok;
    TDateTime value;
  };
  const Compact compact[] = {
      {"20240102030405", 14, true, EncodeDateTime(2024, 1, 2, 3, 4, 5, 0)},
      {"690102030405", 12, true, EncodeDateTime(2069, 1, 2, 3, 4, 5, 0)},
      {"700102", 6, true, EncodeDate(1970, 1, 2)},
      {"20240102", 8, true, EncodeDate(2024, 1, 2)},
      {"24", 2, true, EncodeDate(2024, 1, 1)},
      {"2024010203", 14, false, 0},  // shorter than its layout
      {"2024013203", 10, false, 0},  // day 32
      {"20x4", 4, false, 0},
  };
  for (const Compact& c : compact) {
    TDateTime value = -1;
    ASSERT_EQ(ParseMySqlCompactTimestamp(c.text, c.length, value), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
}

TEST(MySqlValuesTest, Times) {
  struct Case {
    const char* text;
    bool ok;
    double seconds;
  };
  const Case cases[] = {
      {"00:00:00", true, 0},
      {"12:34:56", true, 12 * 3600 + 34 * 60 + 56},
      {"-838:59:59", true, -(838 * 3600 + 59 * 60 + 59)},
      {"100:00:00.5", true, 100 * 3600 + 0.5},
      {"-00:00:01", true, -1},
      {"12345678:00", false, 0},
      {"12:34", false, 0},
      {"12:34:5", false, 0},
      {":00:00", false, 0},
      {"12-34-56", false, 0},
      {"12:34:56.x", false, 0},
      {"", false, 0},
  };
  for (const Case& c : cases) {
    TDateTime value = 0;
    ASSERT_EQ(ParseMySqlTime(c.text, value), c.ok) << c.text;
    if (c.ok) {
      EXPECT_NEAR(value * 86400.0, c.seconds, 1e-6) << c.text;
    }
  }
}

TEST(MySqlValuesTest, ValuesInMessagesAreNeverRawBytes) {
  EXPECT_EQ(MySqlValueForMessage("12a"), u"12a");
  EXPECT_EQ(MySqlValueForMessage(std::string("\x80\0\x01", 3)), u"0x800001");
  EXPECT_EQ(MySqlValueForMessage(std::string(70, '7')), UString(64, u'7') + u"...");
  EXPECT_EQ(
      MySqlValueForMessage(std::string(40, '\xFF')), u"0x" + [] {
        UString s;
        for (int i = 0; i < 32; ++i) s += u"FF";
        return s;
      }() + u"...");
  try {
    ParseMySqlFloat(std::string("1\0x", 3));
    ADD_FAILURE();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), u"'0x310078' is not a valid floating point value");
  }
}

// A slot of `size` bytes between guard bytes; Check() tells whether a write went outside it.
struct GuardedSlot {
  std::vector<uint8_t> bytes;
  size_t size;
  explicit GuardedSlot(size_t n) : bytes(n + 32, 0xA5), size(n) {}
  uint8_t* Slot() { return bytes.data() + 16; }
  bool GuardsIntact() const {
    for (size_t i = 0; i < 16; ++i)
      if (bytes[i] != 0xA5 || bytes[16 + size + i] != 0xA5) return false;
    return true;
  }
};

TMySqlValueSlot Target(TDataType type, size_t size, uint8_t mysqlType = MYSQL_TYPE_LONGLONG, uint16_t length = 0) {
  TMySqlValueSlot t;
  t.DataType = type;
  t.MySqlType = mysqlType;
  t.Size = size;
  t.Length = length;
  t.FieldName = u"F";
  return t;
}

TEST(MySqlValuesTest, TextsAreCutToTheirSlotAndTerminated) {
  {
    GuardedSlot g(4);
    DecodeMySqlValue(Target(mtString, 4), "abcdef", g.Slot());
    EXPECT_EQ(std::memcmp(g.Slot(), "abc\0", 4), 0);
    EXPECT_TRUE(g.GuardsIntact());
  }
  {
    GuardedSlot g(6);
    DecodeMySqlValue(Target(mtVarBytes, 6), std::string("\0\1\2\3\4\5", 6), g.Slot());
    EXPECT_EQ(LoadSlot<uint16_t>(g.Slot()), 4);
    EXPECT_EQ(std::memcmp(g.Slot() + 2, "\0\1\2\3", 4), 0);
    EXPECT_TRUE(g.GuardsIntact());
  }
  {
    // Two characters of room: the third (a surrogate pair) is not split.
    GuardedSlot g(8);
    DecodeMySqlValue(Target(mtWideString, 8), "a\xED\x95\x9C\xF0\x9F\x98\x80", g.Slot());
    EXPECT_EQ(LoadSlot<char16_t>(g.Slot()), u'a');
    EXPECT_EQ(LoadSlot<char16_t>(g.Slot() + 2), u'한');
    EXPECT_EQ(LoadSlot<char16_t>(g.Slot() + 4), 0);
    EXPECT_TRUE(g.GuardsIntact());
  }
  GuardedSlot g(8);
  EXPECT_THROW(DecodeMySqlValue(Target(mtWideString, 8), "\xC3\x28", g.Slot()), Exception);
  EXPECT_THROW(DecodeMySqlValue(Target(mtInt64, 4), "1", g.Slot()), EDAError);  // slot too small for its type
  EXPECT_TRUE(g.GuardsIntact());
}

TEST(MySqlValuesTest, IntegersAreRangeCheckedForTheirSlot) {
  struct Case {
    TDataType type;
    uint8_t mysqlType;
    std::string text;
    bool ok;
    uint64_t bits;  // the slot's bytes, zero-extended
  };
  const Case cases[] = {
      {mtInt8, MYSQL_TYPE_TINY, "-128", true, 0x80},
      {mtInt8, MYSQL_TYPE_TINY, "128", false, 0},
      {mtUInt16, MYSQL_TYPE_TINY, "255", true, 255},
      {mtUInt16, MYSQL_TYPE_SHORT, "-1", false, 0},
      {mtInt16, MYSQL_TYPE_SHORT, "-32768", true, 0x8000},
      {mtInt32, MYSQL_TYPE_LONG, "2147483648", false, 0},
      {mtUInt32, MYSQL_TYPE_LONG, "4294967295", true, 0xFFFFFFFF},
      {mtInt64, MYSQL_TYPE_LONGLONG, "-9223372036854775808", true, uint64_t{1} << 63},
      {mtInt64, MYSQL_TYPE_LONGLONG, "9223372036854775808", false, 0},
      {mtUInt64, MYSQL_TYPE_LONGLONG, "18446744073709551615", true, UINT64_MAX},
      {mtUInt64, MYSQL_TYPE_LONGLONG, "9223372036854775808", true, uint64_t{1} << 63},
      {mtUInt64, MYSQL_TYPE_LONGLONG, "-1", false, 0},
      {mtUInt64, MYSQL_TYPE_BIT, std::string("\x80\0\0\0\0\0\0\x01", 8), true, (uint64_t{1} << 63) | 1},
      {mtInt64, MYSQL_TYPE_BIT, std::string("\x7F\xFF", 2), true, 0x7FFF},
      {mtUInt64, MYSQL_TYPE_BIT, std::string(9, '\1'), false, 0},
      {mtBoolean, MYSQL_TYPE_TINY, "2", true, 0xFFFF},
      {mtInt32, MYSQL_TYPE_LONG, "12a", false, 0},
  };
  for (const Case& c : cases) {
    const size_t size = static_cast<size_t>(DataTypeSize(c.type, 0));
    GuardedSlot g(size);
    std::memset(g.Slot(), 0, size);
    const TMySqlValueSlot t = Target(c.type, size, c.mysqlType);
    if (!c.ok) {
      EXPECT_THROW(DecodeMySqlValue(t, c.text, g.Slot()), Exception) << c.text;
    } else {
      EXPECT_TRUE(DecodeMySqlValue(t, c.text, g.Slot())) << c.text;
      uint64_t bits = 0;
      std::memcpy(&bits, g.Slot(), size);
      EXPECT_EQ(bits, c.bits) << c.text;
    }
    EXPECT_TRUE(g.GuardsIntact()) << c.text;
  }
}

TEST(MySqlValuesTest, ZeroDatesFollowTheOptions) {
  struct Case {
    const char* text;
    bool nullForZero;
    bool nullForVantic;
    bool stored;
    TDateTime value;
  };
  const Case cases[] = {
      {"0000-00-00", false, false, true, kZeroDateStandIn},
      {"0000-00-00", true, false, false, 0},
      {"1899-12-30", false, true, false, 0},
      {"1899-12-30", false, false, true, 0},
      {"2024-01-02", true, true, true, EncodeDate(2024, 1, 2)},
  };
  for (const Case& c : cases) {
    GuardedSlot g(8);
    TMySqlValueSlot t = Target(mtDate, 8, MYSQL_TYPE_DATE);
    t.NullForZeroDate = c.nullForZero;
    t.NullForZeroVanticDate = c.nullForVantic;
    ASSERT_EQ(DecodeMySqlValue(t, c.text, g.Slot()), c.stored) << c.text;
    if (c.stored) {
      EXPECT_EQ(LoadSlot<double>(g.Slot()), c.value) << c.text;
    }
    EXPECT_TRUE(g.GuardsIntact());
  }
  GuardedSlot g(8);
  EXPECT_THROW(DecodeMySqlValue(Target(mtDateTime, 8, MYSQL_TYPE_TIMESTAMP, 17), "2024", g.Slot()), EDAError);
  EXPECT_THROW(DecodeMySqlValue(Target(mtTime, 8, MYSQL_TYPE_TIME), "1:2:3", g.Slot()), EDatabaseError);
}

TEST(MySqlValuesTest, Decimals) {
  GuardedSlot g(8);
  DecodeMySqlValue(Target(mtBCD, 8, MYSQL_TYPE_NEWDECIMAL), "-12.3456", g.Slot());
  EXPECT_EQ(LoadSlot<int64_t>(g.Slot()), -123456);
  GuardedSlot b(sizeof(TBcd));
  TMySqlValueSlot t = Target(mtFMTBCD, sizeof(TBcd), MYSQL_TYPE_NEWDECIMAL, 22);
  t.Scale = 2;
  DecodeMySqlValue(t, "18446744073709551615.25", b.Slot());
  EXPECT_EQ(BcdToStr(LoadSlot<TBcd>(b.Slot())), u"18446744073709551615.25");
  EXPECT_TRUE(g.GuardsIntact() && b.GuardsIntact());
  EXPECT_THROW(DecodeMySqlValue(t, "1.2.3", b.Slot()), Exception);
}

// Currency slots read every decimal text as the general parser does, the
// short plain ones and the rest alike; what it refuses stays refused.
TEST(MySqlValuesTest, DecimalsAsCurrencyReadAsTheGeneralParserReadsThem) {
  const char* const texts[] = {
      "0",
      "-0",
      "0.00",
      "12.3",
      "-12.3456",
      "1234567890.12",
      "-99999999999999.9999",
      "99999999999999.9999",
      "5",
      "007.50",
      "0.00005",
      "1.23456",
      "-2.99995",
      "922337203685477.5807",
      "922337203685477.5808",
      "999999999999999999",
      "1e3",
      "1.",
      ".5",
      "-.5",
      "-",
      "",
      "1.2.3",
      "12a",
      "+3",
      " 4",
  };
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    GuardedSlot g(8);
    const std::string bytes = text;
    UString wide(bytes.begin(), bytes.end());
    Currency want;
    if (TryStrToCurr(wide, want, InvariantFormatSettings())) {
      DecodeMySqlValue(Target(mtBCD, 8, MYSQL_TYPE_NEWDECIMAL), bytes, g.Slot());
      EXPECT_EQ(LoadSlot<int64_t>(g.Slot()), want.Value);
    } else {
      EXPECT_THROW(DecodeMySqlValue(Target(mtBCD, 8, MYSQL_TYPE_NEWDECIMAL), bytes, g.Slot()), Exception);
    }
    EXPECT_TRUE(g.GuardsIntact());
  }
}

}  // namespace
}  // namespace vix
