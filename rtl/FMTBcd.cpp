#include "rtl/FMTBcd.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace vix {

namespace {

// A decimal as sign, integer digits (no leading zeros) and decimals.
struct Decimal {
  bool Negative = false;
  std::string Int;   // '0'-'9', empty for zero
  std::string Frac;  // '0'-'9'

  bool IsZero() const { return Int.empty() && Frac.find_first_not_of('0') == std::string::npos; }
};

[[noreturn]] void Overflow() {
  throw EBcdOverflowException(u"BCD overflow");
}

// Drops the last `count` decimals, rounding half away from zero.
void RoundAway(Decimal& d, size_t keep) {
  if (d.Frac.size() <= keep) return;
  const bool up = d.Frac[keep] >= '5';
  d.Frac.resize(keep);
  if (!up) return;
  std::string digits = d.Int + d.Frac;
  size_t i = digits.size();
  while (i > 0) {
    if (digits[i - 1] == '9') {
      digits[i - 1] = '0';
      --i;
    } else {
      ++digits[i - 1];
      break;
    }
  }
  if (i == 0) digits.insert(digits.begin(), '1');
  d.Int = digits.substr(0, digits.size() - keep);
  d.Frac = digits.substr(digits.size() - keep);
}

void StripInt(Decimal& d) {
  const size_t nz = d.Int.find_first_not_of('0');
  d.Int = nz == std::string::npos ? std::string() : d.Int.substr(nz);
}

Decimal Unpack(const TBcd& b) {
  Decimal d;
  d.Negative = b.IsNegative();
  const int precision = b.Precision > kMaxBcdDigits ? kMaxBcdDigits : b.Precision;
  int places = b.Places();
  if (places > precision) places = precision;
  std::string digits;
  for (int i = 0; i < precision; ++i) {
    const uint8_t byte = b.Fraction[i / 2];
    int digit = i % 2 == 0 ? byte >> 4 : byte & 0x0F;
    if (digit > 9) digit = 0;
    digits += static_cast<char>('0' + digit);
  }
  d.Int = digits.substr(0, static_cast<size_t>(precision - places));
  d.Frac = digits.substr(static_cast<size_t>(precision - places));
  StripInt(d);
  if (d.IsZero()) d.Negative = false;
  return d;
}

// Packs with exactly the given decimals; the integer digits must fit.
TBcd Pack(Decimal d, int precision, int places) {
  RoundAway(d, static_cast<size_t>(places));
  d.Frac.resize(static_cast<size_t>(places), '0');
  StripInt(d);
  if (precision < 1) precision = 1;
  if (precision > kMaxBcdDigits || static_cast<int>(d.Int.size()) > precision - places) Overflow();
  const std::string digits = std::string(static_cast<size_t>(precision - places) - d.Int.size(), '0') + d.Int + d.Frac;
  TBcd b;
  b.Precision = static_cast<uint8_t>(precision);
  b.SignSpecialPlaces = static_cast<uint8_t>(places | (d.Negative && !d.IsZero() ? 0x80 : 0));
  for (size_t i = 0; i < digits.size(); ++i) {
    const uint8_t digit = static_cast<uint8_t>(digits[i] - '0');
    b.Fraction[i / 2] |= i % 2 == 0 ? static_cast<uint8_t>(digit << 4) : digit;
  }
  return b;
}

// The smallest packing that holds the decimal (decimals cut to fit 64 digits).
TBcd PackShortest(Decimal d) {
  StripInt(d);
  while (!d.Frac.empty() && d.Frac.back() == '0') d.Frac.pop_back();
  if (d.Int.size() > static_cast<size_t>(kMaxBcdDigits)) Overflow();
  size_t places = d.Frac.size();
  if (d.Int.size() + places > static_cast<size_t>(kMaxBcdDigits)) places = kMaxBcdDigits - d.Int.size();
  if (places > 63) places = 63;
  RoundAway(d, places);
  StripInt(d);
  if (d.Int.size() > static_cast<size_t>(kMaxBcdDigits - static_cast<int>(places))) Overflow();
  const int precision = static_cast<int>(d.Int.size() + places);
  return Pack(d, precision < 1 ? 1 : precision, static_cast<int>(places));
}

// Sign, digits with one `separator`, optional exponent; ASCII only.
bool ParseDecimal(UStringView text, char16_t separator, Decimal& d) {
  size_t b = 0, e = text.size();
  while (b < e && text[b] <= u' ') ++b;
  while (e > b && text[e - 1] <= u' ') --e;
  size_t i = b;
  d = Decimal();
  if (i < e && (text[i] == u'+' || text[i] == u'-')) d.Negative = text[i++] == u'-';
  bool sep = false;
  size_t count = 0;
  for (; i < e; ++i) {
    const char16_t c = text[i];
    if (c >= u'0' && c <= u'9') {
      (sep ? d.Frac : d.Int) += static_cast<char>(c);
      ++count;
    } else if (c == separator && !sep) {
      sep = true;
    } else {
      break;
    }
  }
  if (count == 0) return false;
  if (i < e && (text[i] == u'e' || text[i] == u'E')) {
    ++i;
    bool negExp = false;
    if (i < e && (text[i] == u'+' || text[i] == u'-')) negExp = text[i++] == u'-';
    int exp = 0;
    size_t expDigits = 0;
    for (; i < e && text[i] >= u'0' && text[i] <= u'9'; ++i, ++expDigits) {
      exp = exp * 10 + (text[i] - u'0');
      if (exp > 1000) return false;
    }
    if (expDigits == 0) return false;
    std::string all = d.Int + d.Frac;
    long point = static_cast<long>(d.Int.size()) + (negExp ? -exp : exp);
    if (point < 0) {
      all.insert(0, static_cast<size_t>(-point), '0');
      point = 0;
    }
    if (static_cast<size_t>(point) > all.size()) all.append(static_cast<size_t>(point) - all.size(), '0');
    d.Int = all.substr(0, static_cast<size_t>(point));
    d.Frac = all.substr(static_cast<size_t>(point));
  }
  if (i != e) return false;
  StripInt(d);
  return true;
}

std::string DecimalToAscii(const Decimal& d) {
  std::string frac = d.Frac;
  while (!frac.empty() && frac.back() == '0') frac.pop_back();
  std::string s = d.Int.empty() ? "0" : d.Int;
  if (!frac.empty()) s += "." + frac;
  if (d.Negative && !d.IsZero()) s.insert(s.begin(), '-');
  return s;
}

}  // namespace

bool TryStrToBcd(UStringView text, TBcd& value, const TFormatSettings& settings) {
  Decimal d;
  if (!ParseDecimal(text, settings.DecimalSeparator, d)) return false;
  value = PackShortest(d);
  return true;
}

TBcd StrToBcd(UStringView text, const TFormatSettings& settings) {
  TBcd b;
  if (!TryStrToBcd(text, b, settings)) throw EConvertError(u"'" + UString(text) + u"' is not a valid BCD value");
  return b;
}

UString BcdToStr(const TBcd& value, const TFormatSettings& settings) {
  const std::string s = DecimalToAscii(Unpack(value));
  UString out;
  for (char c : s) out += c == '.' ? settings.DecimalSeparator : static_cast<char16_t>(c);
  return out;
}

TBcd IntegerToBcd(int64_t value) {
  Decimal d;
  d.Negative = value < 0;
  d.Int = std::to_string(value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value));
  return PackShortest(d);
}

TBcd CurrToBcd(Currency value) {
  return StrToBcd(CurrToStr(value, InvariantFormatSettings()), InvariantFormatSettings());
}

TBcd DoubleToBcd(double value) {
  if (!std::isfinite(value)) throw EBcdException(u"Invalid BCD value");
  return StrToBcd(FloatToStr(value, InvariantFormatSettings()), InvariantFormatSettings());
}

double BcdToDouble(const TBcd& value) {
  const std::string s = DecimalToAscii(Unpack(value));
  double v = 0;
  std::from_chars(s.data(), s.data() + s.size(), v);
  return v;
}

Currency BcdToCurr(const TBcd& value) {
  Decimal d = Unpack(value);
  RoundAway(d, 4);
  Currency c;
  if (!TryStrToCurr(Utf8ToUtf16(DecimalToAscii(d)), c, InvariantFormatSettings())) Overflow();
  return c;
}

TBcd NormalizeBcd(const TBcd& value, int precision, int places) {
  if (places < 0 || places > 63 || precision < places) Overflow();
  return Pack(Unpack(value), precision, places);
}

int BcdCompare(const TBcd& a, const TBcd& b) {
  const Decimal x = Unpack(a), y = Unpack(b);
  const bool xn = x.Negative && !x.IsZero(), yn = y.Negative && !y.IsZero();
  if (xn != yn) return xn ? -1 : 1;
  int magnitude = 0;
  if (x.Int.size() != y.Int.size()) {
    magnitude = x.Int.size() < y.Int.size() ? -1 : 1;
  } else {
    const int c = x.Int.compare(y.Int);
    if (c != 0) {
      magnitude = c < 0 ? -1 : 1;
    } else {
      std::string fx = x.Frac, fy = y.Frac;
      const size_t n = std::max(fx.size(), fy.size());
      fx.resize(n, '0');
      fy.resize(n, '0');
      const int f = fx.compare(fy);
      magnitude = f < 0 ? -1 : (f > 0 ? 1 : 0);
    }
  }
  return xn ? -magnitude : magnitude;
}

}  // namespace vix
