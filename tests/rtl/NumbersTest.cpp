// Floating-point texts, currency and packed decimals.
#include "TestSupport.h"
#include "rtl/FMTBcd.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace vix {
namespace {

TEST(FloatText, GeneralFormatTable) {
  TFormatSettings comma;
  comma.DecimalSeparator = u',';
  struct Case {
    double value;
    const char16_t* dot;
  } const cases[] = {
      {0.0, u"0"},
      {1.0, u"1"},
      {-2.5, u"-2.5"},
      {0.1, u"0.1"},
      {1.0 / 3, u"0.333333333333333"},
      {123456789012345.0, u"123456789012345"},
      {1234567890123456.0, u"1.23456789012346E15"},
      {1e20, u"1E20"},
      {0.00001, u"0.00001"},
      {0.000001, u"1E-6"},
      {-1.5e-7, u"-1.5E-7"},
      {99999.99999999999, u"100000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(FloatToStr(c.value, InvariantFormatSettings()), c.dot);
    UString withComma = c.dot;
    for (auto& ch : withComma)
      if (ch == u'.') ch = u',';
    EXPECT_EQ(FloatToStr(c.value, comma), withComma);
  }
  EXPECT_EQ(FloatToStr(std::numeric_limits<double>::infinity()), u"INF");
}

TEST(FloatText, ParseTable) {
  TFormatSettings comma;
  comma.DecimalSeparator = u',';
  struct Case {
    const char16_t* text;
    bool validDot;
    bool validComma;
    double value;
  } const cases[] = {
      {u"1.5", true, false, 1.5},        {u"1,5", false, true, 1.5},
      {u" -2 ", true, true, -2},         {u"+3e2", true, true, 300},
      {u"1.25E-2", true, false, 0.0125}, {u".5", true, false, 0.5},
      {u"5.", true, false, 5},           {u"", false, false, 0},
      {u"1e", false, false, 0},          {u"1.2.3", false, false, 0},
      {u"abc", false, false, 0},         {u"1e999", false, false, 0},
      {u"0x10", false, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(ToUtf8(c.text));
    double v = -1;
    EXPECT_EQ(TryStrToFloat(c.text, v, InvariantFormatSettings()), c.validDot);
    if (c.validDot) {
      EXPECT_EQ(v, c.value);
    }
    EXPECT_EQ(TryStrToFloat(c.text, v, comma), c.validComma);
  }
  try {
    StrToFloat(u"4x");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), u"'4x' is not a valid floating point value");
  }
}

TEST(CurrencyValue, TextAndDoubleTable) {
  struct Case {
    const char16_t* text;
    int64_t raw;
    const char16_t* back;
  } const cases[] = {
      {u"0", 0, u"0"},
      {u"12.5", 125000, u"12.5"},
      {u"-0.0001", -1, u"-0.0001"},
      {u"1.00005", 10000, u"1"},  // a tie goes to the even neighbour
      {u"1.00015", 10002, u"1.0002"},
      {u"1.000051", 10001, u"1.0001"},
      {u"-922337203685477.5808", INT64_MIN, u"-922337203685477.5808"},
      {u"922337203685477.5807", INT64_MAX, u"922337203685477.5807"},
      {u"1.5e3", 15000000, u"1500"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(ToUtf8(c.text));
    const Currency v = StrToCurr(c.text, InvariantFormatSettings());
    EXPECT_EQ(v.Value, c.raw);
    EXPECT_EQ(CurrToStr(v, InvariantFormatSettings()), c.back);
  }
  for (const char16_t* bad : {u"", u"1,5", u"922337203685477.5808", u"x", u"1..2"}) {
    Currency c;
    EXPECT_FALSE(TryStrToCurr(bad, c, InvariantFormatSettings())) << ToUtf8(bad);
  }
  EXPECT_EQ(Currency::FromDouble(2.00005).Value, 20000);  // 20000.5 in binary is a bit below
  EXPECT_EQ(Currency::FromDouble(-1.23456).Value, -12346);
  EXPECT_THROW(Currency::FromDouble(1e15), EConvertError);
  EXPECT_THROW(Currency::FromDouble(std::nan("")), EConvertError);
  TFormatSettings comma;
  comma.DecimalSeparator = u',';
  EXPECT_EQ(CurrToStr(Currency::FromRaw(15000), comma), u"1,5");
}

TEST(PackedDecimal, TextTable) {
  struct Case {
    const char16_t* text;
    int precision;
    int places;
    const char16_t* back;
  } const cases[] = {
      {u"0", 1, 0, u"0"},
      {u"12.50", 3, 1, u"12.5"},
      {u"-0.001", 3, 3, u"-0.001"},
      {u"007", 1, 0, u"7"},
      {u"-0", 1, 0, u"0"},
      {u"1.5E3", 4, 0, u"1500"},
      {u"12345678901234567890123456789012.12345678901234567890123456789012", 64, 32,
       u"12345678901234567890123456789012.12345678901234567890123456789012"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(ToUtf8(c.text));
    const TBcd b = StrToBcd(c.text, InvariantFormatSettings());
    EXPECT_EQ(b.Precision, c.precision);
    EXPECT_EQ(b.Places(), c.places);
    EXPECT_EQ(BcdToStr(b, InvariantFormatSettings()), c.back);
  }
  const TBcd b = StrToBcd(u"-12.5", InvariantFormatSettings());
  EXPECT_EQ(b.Fraction[0], 0x12);
  EXPECT_EQ(b.Fraction[1], 0x50);
  EXPECT_TRUE(b.IsNegative());
  EXPECT_THROW(StrToBcd(u"1.2.3"), EConvertError);
  EXPECT_THROW(StrToBcd(UString(65, u'9')), EBcdOverflowException);
}

TEST(PackedDecimal, ConversionsAndNormalizing) {
  const auto bcd = [](const char16_t* t) { return StrToBcd(t, InvariantFormatSettings()); };
  const auto str = [](const TBcd& b) { return BcdToStr(b, InvariantFormatSettings()); };
  EXPECT_EQ(str(NormalizeBcd(bcd(u"3.14159"), 10, 2)), u"3.14");
  EXPECT_EQ(str(NormalizeBcd(bcd(u"-2.675"), 10, 2)), u"-2.68");
  EXPECT_EQ(str(NormalizeBcd(bcd(u"99.995"), 5, 2)), u"100");
  EXPECT_EQ(NormalizeBcd(bcd(u"1"), 10, 2).Precision, 10);
  EXPECT_EQ(NormalizeBcd(bcd(u"1"), 10, 2).Places(), 2);
  EXPECT_THROW(NormalizeBcd(bcd(u"99.995"), 4, 2), EBcdOverflowException);
  EXPECT_EQ(str(IntegerToBcd(INT64_MIN)), u"-9223372036854775808");
  EXPECT_EQ(str(CurrToBcd(Currency::FromRaw(-15))), u"-0.0015");
  EXPECT_EQ(BcdToCurr(bcd(u"1.23456")).Value, 12346);
  EXPECT_THROW(BcdToCurr(bcd(u"1e20")), EBcdOverflowException);
  EXPECT_EQ(str(DoubleToBcd(0.1)), u"0.1");
  EXPECT_EQ(BcdToDouble(bcd(u"-1.25")), -1.25);
  EXPECT_EQ(BcdCompare(bcd(u"1.50"), bcd(u"1.5")), 0);
  EXPECT_EQ(BcdCompare(bcd(u"-2"), bcd(u"1")), -1);
  EXPECT_EQ(BcdCompare(bcd(u"-2"), bcd(u"-10")), 1);
  EXPECT_EQ(BcdCompare(bcd(u"0.001"), bcd(u"0.0009")), 1);
}

}  // namespace
}  // namespace vix
