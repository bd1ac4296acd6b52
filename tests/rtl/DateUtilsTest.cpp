#include "TestSupport.h"
#include "rtl/DateUtils.h"

namespace vix {
namespace {

TEST(DateTime, EncodeDecodeTable) {
  struct Case {
    TDateTimeParts parts;
    TDateTime value;
  } const cases[] = {
      {{1899, 12, 30, 0, 0, 0, 0}, 0.0},
      {{1899, 12, 31, 0, 0, 0, 0}, 1.0},
      {{1899, 12, 29, 12, 0, 0, 0}, -1.5},
      {{1899, 12, 30, 6, 0, 0, 0}, 0.25},
      {{1900, 3, 1, 0, 0, 0, 0}, 61.0},
      {{2000, 2, 29, 18, 0, 0, 0}, 36585.75},
      {{100, 1, 1, 0, 0, 0, 0}, kZeroDateStandIn},
      {{1, 1, 1, 0, 0, 0, 0}, -693593.0},
      {{9999, 12, 31, 0, 0, 0, 0}, 2958465.0},
      {{2024, 1, 1, 0, 0, 0, 0}, 45292.0},
  };
  for (const auto& c : cases) {
    const auto& p = c.parts;
    SCOPED_TRACE(c.value);
    EXPECT_EQ(EncodeDateTime(p.Year, p.Month, p.Day, p.Hour, p.Minute, p.Second, p.MSec), c.value);
    EXPECT_EQ(DecodeDateTime(c.value), p);
  }
  EXPECT_EQ(EncodeDate(100, 1, 1), -657434.0);
}

TEST(DateTime, EveryMillisecondPartRoundTrips) {
  // Times whose fractions are not exact in binary still decode to the parts
  // they were made of, on both sides of the epoch.
  for (int year : {1, 1899, 1900, 2024, 9999}) {
    for (int ms : {0, 1, 7, 499, 999}) {
      for (int sec : {0, 59}) {
        const TDateTimeParts p{year, 12, 31, 23, 59, sec, ms};
        const TDateTime v = EncodeDateTime(p.Year, p.Month, p.Day, p.Hour, p.Minute, p.Second, p.MSec);
        EXPECT_EQ(DecodeDateTime(v), p) << year << " " << sec << " " << ms;
      }
    }
  }
}

TEST(DateTime, InvalidPartsRaise) {
  struct Case {
    int y, m, d;
  } const bad[] = {{0, 1, 1}, {10000, 1, 1}, {2023, 2, 29}, {1900, 2, 29}, {2024, 13, 1}, {2024, 4, 31}, {2024, 1, 0}};
  for (const auto& c : bad) {
    TDateTime v;
    EXPECT_FALSE(TryEncodeDate(c.y, c.m, c.d, v)) << c.y << "-" << c.m << "-" << c.d;
    EXPECT_THROW(EncodeDate(c.y, c.m, c.d), EConvertError);
  }
  EXPECT_TRUE(IsLeapYear(2000));
  EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
  EXPECT_THROW(EncodeTime(0, 60, 0, 0), EConvertError);
  EXPECT_THROW(EncodeTime(0, 0, 0, 1000), EConvertError);
  EXPECT_THROW(DecodeDateTime(3000000.0), EConvertError);
  EXPECT_THROW(DecodeDateTime(-700000.0), EConvertError);
}

TEST(DateTime, TimeStampsAndMilliseconds) {
  const TDateTime v = EncodeDateTime(2024, 5, 6, 7, 8, 9, 10);
  const TTimeStamp s = DateTimeToTimeStamp(v);
  EXPECT_EQ(s.Date, kDateDelta + 45418);
  EXPECT_EQ(s.Time, 7 * 3600000 + 8 * 60000 + 9010);
  EXPECT_EQ(TimeStampToDateTime(s), v);
  EXPECT_EQ(MSecsToTimeStamp(TimeStampToMSecs(s)), s);
  EXPECT_EQ(DateTimeToTimeStamp(EncodeDate(1, 1, 1)).Date, 1);
  // Before the epoch the time is the magnitude of the fraction.
  EXPECT_EQ(DateTimeToTimeStamp(-1.25), (TTimeStamp{6 * 3600000, kDateDelta - 1}));
  EXPECT_EQ(DateOf(-1.25), -1.0);
  EXPECT_EQ(TimeOf(-1.25), 0.25);
}

TEST(DateTime, SQLTimeStamp) {
  const TDateTime v = EncodeDateTime(1999, 12, 31, 23, 59, 58, 123);
  const TSQLTimeStamp s = DateTimeToSQLTimeStamp(v);
  EXPECT_EQ(s, (TSQLTimeStamp{1999, 12, 31, 23, 59, 58, 123}));
  EXPECT_EQ(SQLTimeStampToDateTime(s), v);
  EXPECT_THROW(SQLTimeStampToDateTime(TSQLTimeStamp{2023, 2, 29, 0, 0, 0, 0}), EConvertError);
  EXPECT_THROW(SQLTimeStampToDateTime(TSQLTimeStamp{2023, 2, 28, 0, 0, 0, 1000}), EConvertError);
}

TEST(DateTime, TextTable) {
  TFormatSettings fs;  // yyyy/mm/dd with "-", hh:nn:ss
  const TDateTime v = EncodeDateTime(2024, 2, 9, 7, 5, 3, 40);
  EXPECT_EQ(FormatDateTime(u"yyyy-mm-dd hh:nn:ss", v, fs), u"2024-02-09 07:05:03");
  EXPECT_EQ(FormatDateTime(u"d/m/yy h:n:s.zzz 'at' \"x\"", v, fs), u"9-2-24 7:5:3.040 at x");
  EXPECT_EQ(DateToStr(v, fs), u"2024-02-09");
  EXPECT_EQ(DateTimeToStr(v, fs), u"2024-02-09 07:05:03");
  EXPECT_EQ(DateTimeToStr(DateOf(v), fs), u"2024-02-09");
  EXPECT_EQ(TimeToStr(v, fs), u"07:05:03");
  EXPECT_EQ(FormatDateTime(u"yyyy-mm-dd", kZeroDateStandIn, fs), u"0100-01-01");

  struct Case {
    const char16_t* text;
    bool valid;
    TDateTime value;
  } const cases[] = {
      {u"2024-02-09", true, EncodeDate(2024, 2, 9)},
      {u" 2024-02-09 07:05:03 ", true, EncodeDateTime(2024, 2, 9, 7, 5, 3, 0)},
      {u"2024/2/9 7:05", true, EncodeDateTime(2024, 2, 9, 7, 5, 0, 0)},
      {u"1899-12-29 12:00:00.5", true, -1.0 - EncodeTime(12, 0, 0, 500)},
      {u"2023-02-29", false, 0},
      {u"2024-02", false, 0},
      {u"2024-02-09 25:00", false, 0},
      {u"2024-02-09x", false, 0},
      {u"", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(ToUtf8(c.text));
    TDateTime v = -99;
    EXPECT_EQ(TryStrToDateTime(c.text, v, fs), c.valid);
    if (c.valid) {
      EXPECT_EQ(v, c.value);
    } else {
      EXPECT_THROW(StrToDateTime(c.text, fs), EConvertError);
    }
  }
  TFormatSettings dmy;
  dmy.ShortDateFormat = u"dd/mm/yyyy";
  dmy.DateSeparator = u'.';
  EXPECT_EQ(StrToDateTime(u"09.02.2024", dmy), EncodeDate(2024, 2, 9));
  EXPECT_EQ(DateToStr(EncodeDate(2024, 2, 9), dmy), u"09.02.2024");
}

}  // namespace
}  // namespace vix
