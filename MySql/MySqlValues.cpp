// Values in the server's text form, parsed and written into record slots.
#include "MySql/MySqlValues.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>

#include "Common/ZelAccess.h"
#include "MySql/MySqlConsts.h"
#include "rtl/Currency.h"
#include "rtl/FMTBcd.h"
#include "rtl/FormatSettings.h"

namespace vix {

namespace {

[[noreturn]] void RaiseProviderError(UString message) {
  throw EDAError(0, std::move(message));
}

// Runs `parse` over the UTF-16 form of a number's text, on the stack when it
// is short (every decimal the server sends is), so a row allocates nothing.
template <typename Parse>
auto WithNumberText(std::string_view bytes, Parse&& parse) {
  char16_t buf[128];
  const bool ascii =
      std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii && bytes.size() <= std::size(buf)) {
    for (size_t i = 0; i < bytes.size(); ++i) buf[i] = static_cast<unsigned char>(bytes[i]);
    return parse(UStringView(buf, bytes.size()));
  }
  return parse(Utf8ToUtf16Lenient(bytes));
}

// A decimal as the server writes it, "[-]digits[.digits]" with at most four
// places and 18 digits once scaled, straight to ten-thousandths; false for
// anything else, which the general parser then takes.
bool TryPlainDecimalToCurrency(std::string_view t, int64_t& value) {
  size_t i = t.empty() || t[0] != '-' ? 0 : 1;
  const size_t start = i;
  int64_t v = 0;
  int digits = 0, places = 0;
  bool fraction = false;
  for (; i < t.size(); ++i) {
    const char c = t[i];
    if (c == '.' && !fraction && i > start) {
      fraction = true;
      if (i + 1 == t.size()) return false;
      continue;
    }
    if (c < '0' || c > '9' || ++digits > 18 || (fraction && ++places > 4)) return false;
    v = v * 10 + (c - '0');
  }
  if (digits == 0 || digits + (4 - places) > 18) return false;
  for (; places < 4; ++places) v *= 10;
  value = start == 1 ? -v : v;
  return true;
}

// `Count` digits at `p`, which the caller knows are inside the text; clears
// `ok` when they are not digits. Unrolled: a DATETIME value has fourteen.
template <int Count>
int DigitsAt(const char* p, bool& ok) {
  int v = 0;
  for (int i = 0; i < Count; ++i) {
    const unsigned d = static_cast<unsigned>(static_cast<unsigned char>(p[i])) - '0';
    ok &= d <= 9;
    v = v * 10 + static_cast<int>(d);
  }
  return v;
}

// `count` digits at `pos`; clears `ok` when they are not there.
int Digits(std::string_view t, size_t pos, size_t count, bool& ok) {
  int v = 0;
  if (pos > t.size() || count > t.size() - pos) {
    ok = false;
    return 0;
  }
  for (size_t i = pos; i < pos + count; ++i) {
    if (t[i] < '0' || t[i] > '9') {
      ok = false;
      return 0;
    }
    v = v * 10 + (t[i] - '0');
  }
  return v;
}

// Milliseconds of a fraction ".ffffff" at `pos` (truncated; absent: 0).
int FractionMSec(std::string_view t, size_t pos, bool& ok) {
  if (pos >= t.size()) return 0;
  if (t[pos] != '.') {
    ok = false;
    return 0;
  }
  int ms = 0, n = 0;
  for (size_t i = pos + 1; i < t.size(); ++i) {
    if (t[i] < '0' || t[i] > '9') {
      ok = false;
      return 0;
    }
    if (n < 3) ms = ms * 10 + (t[i] - '0');
    ++n;
  }
  for (; n < 3; ++n) ms *= 10;
  return ms;
}

// An integer value of an integer slot, range-checked for the slot's type.
void DecodeInteger(const TMySqlValueSlot& f, std::string_view v, uint8_t* slot) {
  uint64_t magnitude = 0;
  bool negative = false;
  if (f.MySqlType == MYSQL_TYPE_BIT) {
    if (v.size() > 8) RaiseProviderError(Format(u"Field %s: BIT value longer than 64 bits", {UString(f.FieldName)}));
    for (unsigned char c : v) magnitude = magnitude << 8 | c;
    if (f.DataType == mtBoolean) magnitude = !v.empty() && v.back() != 0;
  } else if (!ParseMySqlMagnitude(v, negative, magnitude)) {
    throw EConvertError(
        Format(u"'%s' is not a valid integer value for field %s", {MySqlValueForMessage(v), UString(f.FieldName)}));
  }
  const auto outOfRange = [&] {
    throw EConvertError(
        Format(u"Value %s of field %s is out of range", {MySqlValueForMessage(v), UString(f.FieldName)}));
  };
  switch (f.DataType) {
    case mtBoolean: StoreSlot<int16_t>(slot, magnitude != 0 ? -1 : 0); return;
    case mtUInt16:
      if (negative || magnitude > UINT16_MAX) outOfRange();
      StoreSlot<uint16_t>(slot, static_cast<uint16_t>(magnitude));
      return;
    case mtUInt32:
      if (negative || magnitude > UINT32_MAX) outOfRange();
      StoreSlot<uint32_t>(slot, static_cast<uint32_t>(magnitude));
      return;
    case mtUInt64:
      if (negative && magnitude != 0) outOfRange();
      StoreSlot<uint64_t>(slot, magnitude);
      return;
    default: break;
  }
  if (magnitude > (negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1)) outOfRange();
  const int64_t value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  int64_t lo, hi;
  switch (f.DataType) {
    case mtInt8: lo = INT8_MIN, hi = INT8_MAX; break;
    case mtInt16: lo = INT16_MIN, hi = INT16_MAX; break;
    case mtInt32: lo = INT32_MIN, hi = INT32_MAX; break;
    case mtInt64: lo = INT64_MIN, hi = INT64_MAX; break;
    default:
      RaiseProviderError(
          Format(u"Field %s: unsupported data type %d", {UString(f.FieldName), static_cast<int>(f.DataType)}));
  }
  if (value < lo || value > hi) outOfRange();
  switch (f.DataType) {
    case mtInt8: StoreSlot<int8_t>(slot, static_cast<int8_t>(value)); return;
    case mtInt16: StoreSlot<int16_t>(slot, static_cast<int16_t>(value)); return;
    case mtInt32: StoreSlot<int32_t>(slot, static_cast<int32_t>(value)); return;
    default: StoreSlot<int64_t>(slot, value); return;
  }
}

// A date or date-time; false when it reads as null.
bool DecodeDate(const TMySqlValueSlot& f, std::string_view v, uint8_t* slot) {
  TDateTime value = 0;
  bool ok;
  if (f.MySqlType == MYSQL_TYPE_TIMESTAMP) {
    // 19 characters, or 20 + n with a fraction of n digits; the old compact
    // layouts have an even number of digits up to 14.
    const int length = f.Length;
    if (length >= 19) ok = ParseMySqlDateTime(v, true, value);
    else if (length >= 2 && length <= 14 && length % 2 == 0) ok = ParseMySqlCompactTimestamp(v, length, value);
    else RaiseProviderError(Format(u"Invalid FIELD_TYPE_TIMESTAMP Field.Length (%d)", {length}));
  } else {
    ok = ParseMySqlDateTime(v, f.DataType == mtDateTime, value);
  }
  if (!ok) {
    if (f.NullForZeroDate) return false;
    StoreSlot<double>(slot, kZeroDateStandIn);
    return true;
  }
  if (value == 0 && f.NullForZeroVanticDate) return false;
  StoreSlot<double>(slot, value);
  return true;
}

}  // namespace

double ParseMySqlFloat(std::string_view text) {
  double v = 0;
  const char* b = text.data();
  const char* e = b + text.size();
  if (b != e && *b == '+') ++b;
  const auto r = std::from_chars(b, e, v);
  if (b == e || r.ptr != e || (r.ec != std::errc() && r.ec != std::errc::result_out_of_range))
    throw EConvertError(Format(u"'%s' is not a valid floating point value", {MySqlValueForMessage(text)}));
  // Beyond the range from_chars leaves the value alone: a negative exponent
  // underflowed to zero, anything else overflowed to infinity.
  if (r.ec == std::errc::result_out_of_range) {
    const size_t exponent = text.find_first_of("eE");
    const bool tiny = exponent != std::string_view::npos && exponent + 1 < text.size() && text[exponent + 1] == '-';
    v = tiny ? 0.0 : std::numeric_limits<double>::infinity();
    if (*b == '-') v = -v;
  }
  return v;
}

bool ParseMySqlMagnitude(std::string_view text, bool& negative, uint64_t& magnitude) {
  size_t i = 0;
  negative = !text.empty() && text[0] == '-';
  if (negative || (!text.empty() && text[0] == '+')) i = 1;
  if (i == text.size()) return false;
  magnitude = 0;
  // Nineteen digits never overflow 64 bits: only those after them are checked.
  for (const size_t unchecked = std::min(text.size(), i + 19); i < unchecked; ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    magnitude = magnitude * 10 + static_cast<uint64_t>(c - '0');
  }
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    const uint64_t d = static_cast<uint64_t>(c - '0');
    if (magnitude > (std::numeric_limits<uint64_t>::max() - d) / 10) return false;
    magnitude = magnitude * 10 + d;
  }
  return true;
}

bool ParseMySqlDateTime(std::string_view t, bool withTime, TDateTime& value) {
  bool ok = true;
  if (withTime && t.size() >= 19) {
    // The whole "YYYY-MM-DD hh:mm:ss" is there: no bounds to check per part.
    const char* p = t.data();
    const int y = DigitsAt<4>(p, ok), m = DigitsAt<2>(p + 5, ok), d = DigitsAt<2>(p + 8, ok);
    const int h = DigitsAt<2>(p + 11, ok), n = DigitsAt<2>(p + 14, ok), s = DigitsAt<2>(p + 17, ok);
    const int ms = FractionMSec(t, 19, ok);
    if (!ok || p[4] != '-' || p[7] != '-') return false;
    return TryEncodeDateTime(y, m, d, h, n, s, ms, value);
  }
  const int y = Digits(t, 0, 4, ok), m = Digits(t, 5, 2, ok), d = Digits(t, 8, 2, ok);
  if (!ok || t.size() < 10 || t[4] != '-' || t[7] != '-') return false;
  int h = 0, n = 0, s = 0, ms = 0;
  if (withTime && t.size() > 10) {
    h = Digits(t, 11, 2, ok);
    n = Digits(t, 14, 2, ok);
    s = Digits(t, 17, 2, ok);
    ms = FractionMSec(t, 19, ok);
    if (!ok) return false;
  }
  return TryEncodeDateTime(y, m, d, h, n, s, ms, value);
}

bool ParseMySqlCompactTimestamp(std::string_view t, int length, TDateTime& value) {
  bool ok = true;
  int y, pos;
  if (length == 14 || length == 8) {
    y = Digits(t, 0, 4, ok);
    pos = 4;
  } else {
    y = Digits(t, 0, 2, ok);
    y += y < 70 ? 2000 : 1900;
    pos = 2;
  }
  const auto part = [&](int defaultValue) {
    if (pos >= length) return defaultValue;
    const int v = Digits(t, static_cast<size_t>(pos), 2, ok);
    pos += 2;
    return v;
  };
  const int m = part(1), d = part(1), h = part(0), n = part(0), s = part(0);
  return ok && TryEncodeDateTime(y, m, d, h, n, s, 0, value);
}

bool ParseMySqlTime(std::string_view t, TDateTime& value) {
  const size_t colon = t.find(':');
  bool ok = colon != std::string_view::npos && colon > 0 && colon <= 5;
  if (!ok) return false;
  const bool negative = t[0] == '-';
  const int hours = Digits(t, negative ? 1 : 0, colon - (negative ? 1 : 0), ok);
  const int minutes = Digits(t, colon + 1, 2, ok);
  const int seconds = Digits(t, colon + 4, 2, ok);
  const int ms = FractionMSec(t, colon + 6, ok);
  if (!ok || colon + 3 >= t.size() || t[colon + 3] != ':') return false;
  const double days = hours / 24.0 + ((minutes * 60 + seconds) * 1000.0 + ms) / 86400000.0;
  value = negative ? -days : days;
  return true;
}

UString MySqlValueForMessage(std::string_view value) {
  const bool printable = std::all_of(value.begin(), value.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
  UString out;
  if (printable) {
    for (size_t i = 0; i < std::min<size_t>(value.size(), 64); ++i) out += static_cast<char16_t>(value[i]);
    if (value.size() > 64) out += u"...";
    return out;
  }
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  out = u"0x";
  for (size_t i = 0; i < std::min<size_t>(value.size(), 32); ++i) {
    const auto b = static_cast<unsigned char>(value[i]);
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  if (value.size() > 32) out += u"...";
  return out;
}

bool IsInlineMySqlValue(TDataType t) {
  switch (t) {
    case mtString:
    case mtBytes:
    case mtVarBytes:
    case mtWideString:
    case mtFloat:
    case mtBCD:
    case mtFMTBCD:
    case mtDate:
    case mtDateTime:
    case mtTime:
    case mtBoolean:
    case mtInt8:
    case mtInt16:
    case mtInt32:
    case mtInt64:
    case mtUInt16:
    case mtUInt32:
    case mtUInt64: return true;
    default: return false;
  }
}

namespace {

// The least slot a value of the type needs: worked out once per type, not for
// every value decoded.
size_t MinimumSlotSize(TDataType type) {
  const auto compute = [](TDataType t) {
    return static_cast<size_t>(std::max(DataTypeSize(t, 0), t == mtBytes ? 0 : 1));
  };
  static const auto sizes = [&compute] {
    std::array<size_t, mtUInt64 + 1> table{};
    for (size_t t = 0; t < table.size(); ++t) table[t] = compute(static_cast<TDataType>(t));
    return table;
  }();
  return type < sizes.size() ? sizes[type] : compute(type);
}

}  // namespace

bool DecodeMySqlValue(const TMySqlValueSlot& f, std::string_view v, uint8_t* slot) {
  if (f.Size < MinimumSlotSize(f.DataType))
    RaiseProviderError(Format(u"Field %s: a slot of %d bytes is too small for its type",
                              {UString(f.FieldName), static_cast<int>(f.Size)}));
  switch (f.DataType) {
    case mtString: PutStringSlot(slot, f.Size, v); return true;
    case mtBytes: PutBytesSlot(slot, f.Size, v); return true;
    case mtVarBytes: PutVarBytesSlot(slot, f.Size, v); return true;
    // Decoded straight into the slot: no temporary text per value.
    case mtWideString: PutWideSlotUtf8(slot, f.Size, v); return true;
    case mtFloat: StoreSlot<double>(slot, ParseMySqlFloat(v)); return true;
    case mtBCD: {
      int64_t amount;
      if (!TryPlainDecimalToCurrency(v, amount))
        amount = WithNumberText(v, [](UStringView t) { return StrToCurr(t, InvariantFormatSettings()); }).Value;
      StoreSlot<int64_t>(slot, amount);
      return true;
    }
    case mtFMTBCD: {
      const TBcd b = NormalizeBcd(
          WithNumberText(v, [](UStringView t) { return StrToBcd(t, InvariantFormatSettings()); }), f.Length, f.Scale);
      std::memcpy(slot, &b, std::min(sizeof b, f.Size));
      return true;
    }
    case mtDate:
    case mtDateTime: return DecodeDate(f, v, slot);
    case mtTime: {
      TDateTime value = 0;
      if (!ParseMySqlTime(v, value))
        throw EDatabaseError(
            Format(u"Wrong time format. Field %s, value %s", {UString(f.FieldName), MySqlValueForMessage(v)}));
      StoreSlot<double>(slot, value);
      return true;
    }
    default: DecodeInteger(f, v, slot); return true;
  }
}

}  // namespace vix
