#include "rtl/FormatSettings.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

#include "rtl/SysUtils.h"

namespace vix {

TFormatSettings& FormatSettings() {
  static TFormatSettings settings;
  return settings;
}

const TFormatSettings& InvariantFormatSettings() {
  static const TFormatSettings settings;
  return settings;
}

UString FloatToStrGeneral(double value, int digits, const TFormatSettings& settings) {
  if (std::isnan(value)) return u"NAN";
  if (std::isinf(value)) return value < 0 ? u"-INF" : u"INF";
  if (digits < 1) digits = 1;
  if (digits > 17) digits = 17;
  if (value == 0) return u"0";
  // Rounded mantissa digits and decimal exponent, e.g. "-1.23450000000000e+05".
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.*e", digits - 1, value);
  std::string s(buf);
  const bool negative = s[0] == '-';
  if (negative) s.erase(0, 1);
  const size_t e = s.find('e');
  const int exponent = std::stoi(s.substr(e + 1));
  std::string mantissa;
  for (size_t i = 0; i < e; ++i)
    if (s[i] != '.') mantissa += s[i];
  while (mantissa.size() > 1 && mantissa.back() == '0') mantissa.pop_back();

  std::string out;
  if (negative) out += '-';
  const char sep = '\x01';  // replaced by the settings' separator below
  if (exponent + 1 > digits || exponent < -5) {
    out += mantissa[0];
    if (mantissa.size() > 1) {
      out += sep;
      out += mantissa.substr(1);
    }
    out += 'E';
    out += std::to_string(exponent);
  } else if (exponent < 0) {
    out += '0';
    out += sep;
    out += std::string(static_cast<size_t>(-exponent - 1), '0');
    out += mantissa;
  } else {
    const size_t intDigits = static_cast<size_t>(exponent) + 1;
    if (mantissa.size() <= intDigits) {
      out += mantissa + std::string(intDigits - mantissa.size(), '0');
    } else {
      out += mantissa.substr(0, intDigits);
      out += sep;
      out += mantissa.substr(intDigits);
    }
  }
  UString result;
  result.reserve(out.size());
  for (char c : out) result += c == sep ? settings.DecimalSeparator : static_cast<char16_t>(c);
  return result;
}

UString FloatToStr(double value, const TFormatSettings& settings) {
  return FloatToStrGeneral(value, 15, settings);
}

bool TryStrToFloat(UStringView text, double& value, const TFormatSettings& settings) {
  size_t b = 0, e = text.size();
  while (b < e && text[b] <= u' ') ++b;
  while (e > b && text[e - 1] <= u' ') --e;
  std::string ascii;
  size_t i = b;
  if (i < e && (text[i] == u'+' || text[i] == u'-')) ascii += static_cast<char>(text[i++]);
  size_t digits = 0;
  bool separator = false;
  for (; i < e; ++i) {
    const char16_t c = text[i];
    if (c >= u'0' && c <= u'9') {
      ascii += static_cast<char>(c);
      ++digits;
    } else if (c == settings.DecimalSeparator && !separator) {
      ascii += '.';
      separator = true;
    } else {
      break;
    }
  }
  if (digits == 0) return false;
  if (i < e && (text[i] == u'e' || text[i] == u'E')) {
    ascii += 'e';
    ++i;
    if (i < e && (text[i] == u'+' || text[i] == u'-')) ascii += static_cast<char>(text[i++]);
    size_t expDigits = 0;
    for (; i < e && text[i] >= u'0' && text[i] <= u'9'; ++i, ++expDigits) ascii += static_cast<char>(text[i]);
    if (expDigits == 0) return false;
  }
  if (i != e) return false;
  const char* first = ascii.data();
  if (*first == '+') ++first;
  double v = 0;
  const auto r = std::from_chars(first, ascii.data() + ascii.size(), v);
  if (r.ec != std::errc() || r.ptr != ascii.data() + ascii.size()) return false;
  value = v;
  return true;
}

double StrToFloat(UStringView text, const TFormatSettings& settings) {
  double v = 0;
  if (!TryStrToFloat(text, v, settings))
    throw EConvertError(u"'" + UString(text) + u"' is not a valid floating point value");
  return v;
}

}  // namespace vix
