#include "rtl/Currency.h"

#include <cmath>

#include "rtl/SysUtils.h"

namespace vix {

bool Currency::TryFromDouble(double value, Currency& result) {
  const double scaled = std::nearbyint(value * kScale);  // default rounding: ties to even
  // 2^63 is exactly representable; everything below it fits an int64.
  if (!(scaled > -9223372036854775808.0 && scaled < 9223372036854775808.0)) return false;
  result.Value = static_cast<int64_t>(scaled);
  return true;
}

Currency Currency::FromDouble(double value) {
  Currency c;
  if (!TryFromDouble(value, c))
    throw EConvertError(u"'" + FloatToStr(value, InvariantFormatSettings()) + u"' is not a valid currency value");
  return c;
}

UString CurrToStr(Currency value, const TFormatSettings& settings) {
  const bool negative = value.Value < 0;
  const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value.Value) : static_cast<uint64_t>(value.Value);
  UString text = UIntToStr(magnitude / Currency::kScale);
  uint64_t fraction = magnitude % Currency::kScale;
  if (fraction != 0) {
    UString digits = UIntToStr(fraction);
    digits.insert(0, 4 - digits.size(), u'0');
    while (digits.back() == u'0') digits.pop_back();
    text += settings.DecimalSeparator;
    text += digits;
  }
  return negative ? u"-" + text : text;
}

bool TryStrToCurr(UStringView text, Currency& value, const TFormatSettings& settings) {
  size_t b = 0, e = text.size();
  while (b < e && text[b] <= u' ') ++b;
  while (e > b && text[e - 1] <= u' ') --e;
  const UStringView t = text.substr(b, e - b);
  for (char16_t c : t) {
    if (c == u'e' || c == u'E') {
      double d;
      return TryStrToFloat(t, d, settings) && Currency::TryFromDouble(d, value);
    }
  }
  size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == u'+' || t[i] == u'-')) negative = t[i++] == u'-';
  // Magnitude in ten-thousandths, accumulated exactly; `rest` tells how the
  // digits after the fourth decimal compare with one half.
  unsigned __int128 magnitude = 0;
  int decimals = -1;  // -1: no separator yet
  int firstDropped = -1;
  bool droppedNonZero = false;
  size_t digits = 0;
  for (; i < t.size(); ++i) {
    const char16_t c = t[i];
    if (c >= u'0' && c <= u'9') {
      ++digits;
      if (decimals < 4) {
        magnitude = magnitude * 10 + (c - u'0');
        if (magnitude > (static_cast<unsigned __int128>(1) << 64)) return false;
        if (decimals >= 0) ++decimals;
      } else if (firstDropped < 0) {
        firstDropped = c - u'0';
      } else if (c != u'0') {
        droppedNonZero = true;
      }
    } else if (c == settings.DecimalSeparator && decimals < 0) {
      decimals = 0;
    } else {
      return false;
    }
  }
  if (digits == 0) return false;
  for (int d = decimals < 0 ? 0 : decimals; d < 4; ++d) magnitude *= 10;
  if (firstDropped > 5 || (firstDropped == 5 && (droppedNonZero || (magnitude & 1) != 0))) ++magnitude;
  const unsigned __int128 limit = static_cast<unsigned __int128>(INT64_MAX) + (negative ? 1 : 0);
  if (magnitude > limit) return false;
  value.Value = negative ? static_cast<int64_t>(0 - static_cast<uint64_t>(magnitude)) : static_cast<int64_t>(magnitude);
  return true;
}

Currency StrToCurr(UStringView text, const TFormatSettings& settings) {
  Currency c;
  if (!TryStrToCurr(text, c, settings))
    throw EConvertError(u"'" + UString(text) + u"' is not a valid floating point value");
  return c;
}

}  // namespace vix
