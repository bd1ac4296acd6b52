// Dates and times. A TDateTime is a double counting days since 1899-12-30;
// its fraction is the time of day. Before that day the value is the negative
// day number minus the time (1899-12-29 12:00 is -1.5), so the time of day is
// always the magnitude of the fraction.
#pragma once

#include <cstdint>

#include "rtl/FormatSettings.h"
#include "rtl/SysUtils.h"
#include "rtl/UString.h"

namespace vix {

using TDateTime = double;

constexpr int64_t kMSecsPerDay = 86400000;
// Days from 0001-01-01 (day 1) to 1899-12-30.
constexpr int32_t kDateDelta = 693594;
// 0100-01-01 00:00:00, the value that stands for a zero date ("0000-00-00").
constexpr TDateTime kZeroDateStandIn = -657434.0;

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

// Years 1 to 9999. Invalid parts raise EConvertError.
TDateTime EncodeDate(int year, int month, int day);
bool TryEncodeDate(int year, int month, int day, TDateTime& value);
// Hours 0-23, minutes and seconds 0-59, milliseconds 0-999.
TDateTime EncodeTime(int hour, int minute, int second, int msec);
bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& value);
TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec);
bool TryEncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec, TDateTime& value);

struct TDateTimeParts {
  int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0, MSec = 0;
  friend bool operator==(const TDateTimeParts&, const TDateTimeParts&) = default;
};

// Exact to the millisecond: the value is rounded to whole milliseconds
// first. Values outside 0001-01-01 .. 9999-12-31 raise EConvertError.
TDateTimeParts DecodeDateTime(TDateTime value);
void DecodeDate(TDateTime value, int& year, int& month, int& day);
void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& msec);

// Date part and time part (the time always non-negative).
TDateTime DateOf(TDateTime value);
TDateTime TimeOf(TDateTime value);

// Day number counted from 0001-01-01 as day 1, and milliseconds since midnight.
struct TTimeStamp {
  int32_t Time = 0;
  int32_t Date = 0;
  friend bool operator==(const TTimeStamp&, const TTimeStamp&) = default;
};
TTimeStamp DateTimeToTimeStamp(TDateTime value);
TDateTime TimeStampToDateTime(const TTimeStamp& stamp);
// Milliseconds since 0001-01-01 00:00 (day 1 starts at 86400000).
double TimeStampToMSecs(const TTimeStamp& stamp);
TTimeStamp MSecsToTimeStamp(double msecs);

// The 16-byte date-time record of mtSQLTimeStamp; Fractions are milliseconds.
#pragma pack(push, 1)
struct TSQLTimeStamp {
  int16_t Year = 0;
  uint16_t Month = 0;
  uint16_t Day = 0;
  uint16_t Hour = 0;
  uint16_t Minute = 0;
  uint16_t Second = 0;
  uint32_t Fractions = 0;
  friend bool operator==(const TSQLTimeStamp&, const TSQLTimeStamp&) = default;
};
#pragma pack(pop)
static_assert(sizeof(TSQLTimeStamp) == 16);

TSQLTimeStamp DateTimeToSQLTimeStamp(TDateTime value);
// Raises EConvertError for an invalid record.
TDateTime SQLTimeStampToDateTime(const TSQLTimeStamp& stamp);

// Patterns: yyyy, yy, m, mm, d, dd, h, hh, n, nn (minutes), s, ss, z, zzz
// (milliseconds), "/" the date separator, ":" the time separator, text in
// single or double quotes as it is; every other character as it is.
UString FormatDateTime(UStringView pattern, TDateTime value, const TFormatSettings& settings = FormatSettings());
// Short date; short date and long time (the time left out when it is 0);
// long time.
UString DateToStr(TDateTime value, const TFormatSettings& settings = FormatSettings());
UString DateTimeToStr(TDateTime value, const TFormatSettings& settings = FormatSettings());
UString TimeToStr(TDateTime value, const TFormatSettings& settings = FormatSettings());

// Reads a date in the order of the settings' short date pattern (year, month
// and day separated by the date separator, or "-" as in "2024-02-29"),
// optionally followed by a blank and a time "h:n[:s[.z]]" with the time
// separator or ":". Raises EConvertError
// "'<text>' is not a valid date and time" otherwise.
TDateTime StrToDateTime(UStringView text, const TFormatSettings& settings = FormatSettings());
bool TryStrToDateTime(UStringView text, TDateTime& value, const TFormatSettings& settings = FormatSettings());

}  // namespace vix
