// The packed decimal of mtFMTBCD values: 34 bytes, up to 64 digits.
#pragma once

#include <cstdint>
#include <string>

#include "rtl/Currency.h"
#include "rtl/FormatSettings.h"
#include "rtl/SysUtils.h"
#include "rtl/UString.h"

namespace vix {

// Precision digits packed two to a byte, the first in the high nibble of
// Fraction[0]; the last `places` digits are decimals. SignSpecialPlaces:
// bit 7 the sign (1 = negative), bits 0-5 the decimal places.
#pragma pack(push, 1)
struct TBcd {
  uint8_t Precision = 1;
  uint8_t SignSpecialPlaces = 0;
  uint8_t Fraction[32] = {};

  bool IsNegative() const { return (SignSpecialPlaces & 0x80) != 0; }
  int Places() const { return SignSpecialPlaces & 0x3F; }
};
#pragma pack(pop)
static_assert(sizeof(TBcd) == 34);

constexpr int kMaxBcdDigits = 64;

// A value that does not fit the digits asked for.
class EBcdException : public Exception {
 public:
  using Exception::Exception;
};
class EBcdOverflowException : public EBcdException {
 public:
  using EBcdException::EBcdException;
};

// Decimal text: blanks around, optional sign, digits with one decimal
// separator (the settings'), optional exponent. Raises EConvertError
// "'<text>' is not a valid BCD value"; more than 64 integer digits raise
// EBcdOverflowException "BCD overflow". Decimals beyond 64 digits round half away from zero.
TBcd StrToBcd(UStringView text, const TFormatSettings& settings = FormatSettings());
bool TryStrToBcd(UStringView text, TBcd& value, const TFormatSettings& settings = FormatSettings());
// Shortest text: no leading zeros, no trailing decimal zeros ("-12.5", "0").
UString BcdToStr(const TBcd& value, const TFormatSettings& settings = FormatSettings());

TBcd IntegerToBcd(int64_t value);
TBcd CurrToBcd(Currency value);
// 15 significant digits, as FloatToStr. NaN and infinities raise EBcdException.
TBcd DoubleToBcd(double value);
double BcdToDouble(const TBcd& value);
// Rounds to four decimals (half away from zero); out of range raises EBcdOverflowException.
Currency BcdToCurr(const TBcd& value);

// The value rescaled to `places` decimals (rounding half away from zero) and
// held in `precision` digits; raises EBcdOverflowException "BCD overflow" when the
// integer digits do not fit.
TBcd NormalizeBcd(const TBcd& value, int precision, int places);

// -1, 0 or 1 by numeric value.
int BcdCompare(const TBcd& a, const TBcd& b);

}  // namespace vix
