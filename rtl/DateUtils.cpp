#include "rtl/DateUtils.h"

#include <cmath>
#include <vector>

#include "rtl/SysUtils.h"

namespace vix {

namespace {

constexpr int kMonthDays[2][12] = {{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
                                   {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}};
// The days of the year before each month.
constexpr int kDaysBeforeMonth[2][12] = {{0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334},
                                         {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335}};
constexpr int32_t kMaxDateNumber = 3652059;  // 9999-12-31, counted from 0001-01-01 as 1

// In line for the date encoders, which run for every date a row holds.
constexpr bool LeapYear(int year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

[[noreturn]] void InvalidDate() {
  throw EConvertError(u"Invalid argument to date encode");
}
[[noreturn]] void InvalidTime() {
  throw EConvertError(u"Invalid argument to time encode");
}

// Day number of a valid date, 0001-01-01 being day 1.
int32_t DayNumber(int year, int month, int day) {
  const int y = year - 1;
  return y * 365 + y / 4 - y / 100 + y / 400 + kDaysBeforeMonth[LeapYear(year) ? 1 : 0][month - 1] + day;
}

void DayNumberToDate(int32_t number, int& year, int& month, int& day) {
  constexpr int32_t D1 = 365, D4 = D1 * 4 + 1, D100 = D4 * 25 - 1, D400 = D100 * 4 + 1;
  int32_t t = number - 1;
  int y = 1 + 400 * (t / D400);
  t %= D400;
  int32_t i = t / D100, d = t % D100;
  if (i == 4) {
    i = 3;
    d += D100;
  }
  y += i * 100;
  y += 4 * (d / D4);
  d %= D4;
  i = d / D1;
  d %= D1;
  if (i == 4) {
    i = 3;
    d += D1;
  }
  y += i;
  const int* days = kMonthDays[IsLeapYear(y) ? 1 : 0];
  int m = 1;
  while (d >= days[m - 1]) d -= days[m++ - 1];
  year = y;
  month = m;
  day = d + 1;
}

}  // namespace

bool IsLeapYear(int year) {
  return LeapYear(year);
}

int DaysInMonth(int year, int month) {
  if (month < 1 || month > 12) return 0;
  return kMonthDays[LeapYear(year) ? 1 : 0][month - 1];
}

bool TryEncodeDate(int year, int month, int day, TDateTime& value) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > kMonthDays[LeapYear(year) ? 1 : 0][month - 1])
    return false;
  value = DayNumber(year, month, day) - kDateDelta;
  return true;
}

TDateTime EncodeDate(int year, int month, int day) {
  TDateTime v;
  if (!TryEncodeDate(year, month, day, v)) InvalidDate();
  return v;
}

bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& value) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || msec < 0 || msec > 999)
    return false;
  value = static_cast<double>(hour * 3600000 + minute * 60000 + second * 1000 + msec) / kMSecsPerDay;
  return true;
}

TDateTime EncodeTime(int hour, int minute, int second, int msec) {
  TDateTime v;
  if (!TryEncodeTime(hour, minute, second, msec, v)) InvalidTime();
  return v;
}

bool TryEncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec, TDateTime& value) {
  TDateTime date, time;
  if (!TryEncodeDate(year, month, day, date) || !TryEncodeTime(hour, minute, second, msec, time)) return false;
  value = date < 0 ? date - time : date + time;
  return true;
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec) {
  TDateTime date = EncodeDate(year, month, day);
  TDateTime time = EncodeTime(hour, minute, second, msec);
  return date < 0 ? date - time : date + time;
}

TTimeStamp DateTimeToTimeStamp(TDateTime value) {
  const double msecs = std::nearbyint(value * kMSecsPerDay);
  if (!(std::fabs(msecs) < static_cast<double>(kMaxDateNumber) * kMSecsPerDay))
    throw EConvertError(u"'" + FloatToStr(value, InvariantFormatSettings()) + u"' is not a valid date and time");
  const auto t = static_cast<int64_t>(msecs);
  TTimeStamp stamp;
  stamp.Date = static_cast<int32_t>(kDateDelta + t / kMSecsPerDay);
  stamp.Time = static_cast<int32_t>((t < 0 ? -t : t) % kMSecsPerDay);
  if (stamp.Date < 1 || stamp.Date > kMaxDateNumber)
    throw EConvertError(u"'" + FloatToStr(value, InvariantFormatSettings()) + u"' is not a valid date and time");
  return stamp;
}

TDateTime TimeStampToDateTime(const TTimeStamp& stamp) {
  const double date = stamp.Date - kDateDelta;
  const double time = static_cast<double>(stamp.Time) / kMSecsPerDay;
  return date < 0 ? date - time : date + time;
}

double TimeStampToMSecs(const TTimeStamp& stamp) {
  return static_cast<double>(stamp.Date) * kMSecsPerDay + stamp.Time;
}

TTimeStamp MSecsToTimeStamp(double msecs) {
  const auto total = static_cast<int64_t>(std::nearbyint(msecs));
  TTimeStamp stamp;
  stamp.Date = static_cast<int32_t>(total / kMSecsPerDay);
  stamp.Time = static_cast<int32_t>(total % kMSecsPerDay);
  return stamp;
}

TDateTimeParts DecodeDateTime(TDateTime value) {
  const TTimeStamp stamp = DateTimeToTimeStamp(value);
  TDateTimeParts p;
  DayNumberToDate(stamp.Date, p.Year, p.Month, p.Day);
  p.Hour = stamp.Time / 3600000;
  p.Minute = stamp.Time / 60000 % 60;
  p.Second = stamp.Time / 1000 % 60;
  p.MSec = stamp.Time % 1000;
  return p;
}

void DecodeDate(TDateTime value, int& year, int& month, int& day) {
  const TDateTimeParts p = DecodeDateTime(value);
  year = p.Year;
  month = p.Month;
  day = p.Day;
}

void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& msec) {
  const TDateTimeParts p = DecodeDateTime(value);
  hour = p.Hour;
  minute = p.Minute;
  second = p.Second;
  msec = p.MSec;
}

TDateTime DateOf(TDateTime value) {
  return DateTimeToTimeStamp(value).Date - kDateDelta;
}

TDateTime TimeOf(TDateTime value) {
  return static_cast<double>(DateTimeToTimeStamp(value).Time) / kMSecsPerDay;
}

TSQLTimeStamp DateTimeToSQLTimeStamp(TDateTime value) {
  const TDateTimeParts p = DecodeDateTime(value);
  TSQLTimeStamp s;
  s.Year = static_cast<int16_t>(p.Year);
  s.Month = static_cast<uint16_t>(p.Month);
  s.Day = static_cast<uint16_t>(p.Day);
  s.Hour = static_cast<uint16_t>(p.Hour);
  s.Minute = static_cast<uint16_t>(p.Minute);
  s.Second = static_cast<uint16_t>(p.Second);
  s.Fractions = static_cast<uint32_t>(p.MSec);
  return s;
}

TDateTime SQLTimeStampToDateTime(const TSQLTimeStamp& s) {
  TDateTime v;
  if (s.Fractions > 999 ||
      !TryEncodeDateTime(s.Year, s.Month, s.Day, s.Hour, s.Minute, s.Second, static_cast<int>(s.Fractions), v))
    throw EConvertError(u"Invalid SQL time stamp");
  return v;
}

// --- text ---------------------------------------------------------------------

namespace {

void AppendNumber(UString& out, int value, size_t width) {
  UString digits = IntToStr(value);
  if (digits.size() < width) out.append(width - digits.size(), u'0');
  out += digits;
}

char16_t Lower(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

}  // namespace

UString FormatDateTime(UStringView pattern, TDateTime value, const TFormatSettings& settings) {
  const TDateTimeParts p = DecodeDateTime(value);
  UString out;
  for (size_t i = 0; i < pattern.size();) {
    const char16_t c = pattern[i];
    if (c == u'\'' || c == u'"') {
      size_t end = pattern.find(c, i + 1);
      if (end == UStringView::npos) end = pattern.size();
      out += pattern.substr(i + 1, end - i - 1);
      i = end + 1;
      continue;
    }
    const char16_t l = Lower(c);
    size_t run = 1;
    while (i + run < pattern.size() && Lower(pattern[i + run]) == l) ++run;
    switch (l) {
      case u'y':
        if (run >= 3) AppendNumber(out, p.Year, 4);
        else AppendNumber(out, p.Year % 100, 2);
        break;
      case u'm': AppendNumber(out, p.Month, run >= 2 ? 2 : 1); break;
      case u'd': AppendNumber(out, p.Day, run >= 2 ? 2 : 1); break;
      case u'h': AppendNumber(out, p.Hour, run >= 2 ? 2 : 1); break;
      case u'n': AppendNumber(out, p.Minute, run >= 2 ? 2 : 1); break;
      case u's': AppendNumber(out, p.Second, run >= 2 ? 2 : 1); break;
      case u'z': AppendNumber(out, p.MSec, run >= 2 ? 3 : 1); break;
      case u'/': out.append(run, settings.DateSeparator); break;
      case u':': out.append(run, settings.TimeSeparator); break;
      default: out.append(pattern.substr(i, run)); break;
    }
    i += run;
  }
  return out;
}

UString DateToStr(TDateTime value, const TFormatSettings& settings) {
  return FormatDateTime(settings.ShortDateFormat, value, settings);
}

UString TimeToStr(TDateTime value, const TFormatSettings& settings) {
  return FormatDateTime(settings.LongTimeFormat, value, settings);
}

UString DateTimeToStr(TDateTime value, const TFormatSettings& settings) {
  UString text = DateToStr(value, settings);
  if (DateTimeToTimeStamp(value).Time != 0) text += u' ' + TimeToStr(value, settings);
  return text;
}

namespace {

// Splits `text` into runs of digits separated by exactly one of `seps`.
bool ReadNumbers(UStringView text, UStringView seps, std::vector<int>& numbers) {
  numbers.clear();
  size_t i = 0;
  while (true) {
    const size_t start = i;
    int64_t v = 0;
    while (i < text.size() && text[i] >= u'0' && text[i] <= u'9') {
      v = v * 10 + (text[i] - u'0');
      if (v > 99999) return false;
      ++i;
    }
    if (i == start) return false;
    numbers.push_back(static_cast<int>(v));
    if (i == text.size()) return true;
    if (seps.find(text[i]) == UStringView::npos) return false;
    ++i;
  }
}

}  // namespace

bool TryStrToDateTime(UStringView text, TDateTime& value, const TFormatSettings& settings) {
  const UString trimmed = Trim(text);
  UStringView t = trimmed;
  const size_t blank = t.find(u' ');
  const UStringView datePart = t.substr(0, blank);
  std::vector<int> d;
  const char16_t dateSeps[] = {settings.DateSeparator, u'-', u'/', 0};
  if (!ReadNumbers(datePart, dateSeps, d) || d.size() != 3) return false;
  // The order of year, month and day in the short date pattern.
  int yi = 0, mi = 1, di = 2;
  {
    int pos = 0;
    char16_t last = 0;
    for (char16_t c : settings.ShortDateFormat) {
      const char16_t l = Lower(c);
      if ((l == u'y' || l == u'm' || l == u'd') && l != last) {
        if (l == u'y') yi = pos;
        if (l == u'm') mi = pos;
        if (l == u'd') di = pos;
        ++pos;
      }
      if (l == u'y' || l == u'm' || l == u'd') last = l;
    }
    if (yi == mi || yi == di || mi == di || pos != 3) yi = 0, mi = 1, di = 2;
  }
  TDateTime date;
  if (!TryEncodeDate(d[yi], d[mi], d[di], date)) return false;
  TDateTime time = 0;
  if (blank != UStringView::npos) {
    UStringView timePart = t.substr(blank + 1);
    while (!timePart.empty() && timePart.front() == u' ') timePart.remove_prefix(1);
    int msec = 0;
    const size_t dot = timePart.find(u'.');
    if (dot != UStringView::npos) {
      const UStringView ms = timePart.substr(dot + 1);
      if (ms.empty() || ms.size() > 3) return false;
      for (char16_t c : ms) {
        if (c < u'0' || c > u'9') return false;
        msec = msec * 10 + (c - u'0');
      }
      for (size_t k = ms.size(); k < 3; ++k) msec *= 10;
      timePart = timePart.substr(0, dot);
    }
    std::vector<int> h;
    const char16_t timeSeps[] = {settings.TimeSeparator, u':', 0};
    if (!ReadNumbers(timePart, timeSeps, h) || h.size() < 2 || h.size() > 3) return false;
    if (!TryEncodeTime(h[0], h[1], h.size() > 2 ? h[2] : 0, msec, time)) return false;
  }
  value = date < 0 ? date - time : date + time;
  return true;
}

TDateTime StrToDateTime(UStringView text, const TFormatSettings& settings) {
  TDateTime v;
  if (!TryStrToDateTime(text, v, settings))
    throw EConvertError(u"'" + UString(text) + u"' is not a valid date and time");
  return v;
}

}  // namespace vix
