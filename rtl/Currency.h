// The fixed-point currency type: a 64-bit integer counting ten-thousandths.
#pragma once

#include <cstdint>

#include "rtl/FormatSettings.h"
#include "rtl/SysUtils.h"
#include "rtl/UString.h"

namespace vix {

struct Currency {
  static constexpr int64_t kScale = 10000;

  int64_t Value = 0;  // the amount times 10^4

  static constexpr Currency FromRaw(int64_t raw) { return Currency{raw}; }
  static constexpr Currency FromInt(int64_t units) { return Currency{units * kScale}; }
  // Rounds to four decimals, ties to even; NaN, infinities and amounts
  // outside the range raise EConvertError.
  static Currency FromDouble(double value);
  static bool TryFromDouble(double value, Currency& result);

  double ToDouble() const { return static_cast<double>(Value) / kScale; }

  friend constexpr bool operator==(Currency a, Currency b) { return a.Value == b.Value; }
  friend constexpr auto operator<=>(Currency a, Currency b) { return a.Value <=> b.Value; }
};

// Fixed-point text with up to four decimals, trailing zeros dropped
// ("12.5", "-0.0001", "3").
UString CurrToStr(Currency value, const TFormatSettings& settings = FormatSettings());
// Reads a decimal text exactly (digits beyond the fourth decimal round half
// to even; an exponent is read through StrToFloat). Raises EConvertError
// "'<text>' is not a valid floating point value" for a text that is no number
// or out of range.
Currency StrToCurr(UStringView text, const TFormatSettings& settings = FormatSettings());
bool TryStrToCurr(UStringView text, Currency& value, const TFormatSettings& settings = FormatSettings());

}  // namespace vix
