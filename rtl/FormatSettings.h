// Number and date text settings, and the floating-point text conversions.
// Display code reads the process-wide settings (their decimal separator can
// be changed); everything that reads or writes SQL passes
// InvariantFormatSettings(), whose decimal separator is always ".".
#pragma once

#include "rtl/SysUtils.h"
#include "rtl/UString.h"

namespace vix {

struct TFormatSettings {
  char16_t DecimalSeparator = u'.';
  char16_t ThousandSeparator = u',';
  char16_t DateSeparator = u'-';
  char16_t TimeSeparator = u':';
  // Patterns of FormatDateTime (rtl/DateUtils.h): "/" and ":" stand for the
  // separators above.
  UString ShortDateFormat = u"yyyy/mm/dd";
  UString LongTimeFormat = u"hh:nn:ss";
};

// The process-wide settings; display code may change them.
TFormatSettings& FormatSettings();
// Fixed settings with "." as decimal separator, for SQL texts.
const TFormatSettings& InvariantFormatSettings();

// The general number format with 15 significant digits: fixed notation while
// the value has at most 15 integer digits and is at least 0.00001 in
// magnitude, otherwise scientific ("1.5E20", "1E-7"). "NAN", "INF", "-INF".
UString FloatToStr(double value, const TFormatSettings& settings = FormatSettings());
// The same with at most `digits` significant digits (1 to 17).
UString FloatToStrGeneral(double value, int digits, const TFormatSettings& settings = FormatSettings());

// Reads a whole text as a double: leading and trailing blanks, an optional
// sign, digits with at most one decimal separator (the settings'), an
// optional exponent "E"/"e" with sign and digits. Anything else raises
// EConvertError "'<text>' is not a valid floating point value".
double StrToFloat(UStringView text, const TFormatSettings& settings = FormatSettings());
bool TryStrToFloat(UStringView text, double& value, const TFormatSettings& settings = FormatSettings());

}  // namespace vix
