#include "rtl/SysUtils.h"

#include <algorithm>
#include <limits>

namespace vix {

Exception::Exception(UString message) : FMessage(std::move(message)), FWhat(Utf16ToUtf8Lenient(FMessage)) {}

void Exception::SetMessage(UString message) {
  FMessage = std::move(message);
  FWhat = Utf16ToUtf8Lenient(FMessage);
}

void Abort() {
  throw EAbort();
}

// --- integers -------------------------------------------------------------

UString UIntToStr(uint64_t value) {
  char16_t buf[24];
  char16_t* p = buf + sizeof buf / sizeof buf[0];
  do {
    *--p = static_cast<char16_t>(u'0' + value % 10);
    value /= 10;
  } while (value != 0);
  return UString(p, buf + sizeof buf / sizeof buf[0]);
}

UString IntToStr(int64_t value) {
  if (value >= 0) return UIntToStr(static_cast<uint64_t>(value));
  return u"-" + UIntToStr(0 - static_cast<uint64_t>(value));
}

namespace {

// Optional sign, then decimal digits or "$" and hex digits; the magnitude must
// fit `max_positive` (+1 for a negative value).
bool ParseInteger(UStringView s, uint64_t max_positive, int64_t& value) {
  size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) negative = s[i++] == u'-';
  unsigned base = 10;
  if (i < s.size() && s[i] == u'$') {
    base = 16;
    ++i;
  }
  if (i == s.size()) return false;
  const uint64_t limit = max_positive + (negative ? 1 : 0);
  uint64_t magnitude = 0;
  for (; i < s.size(); ++i) {
    const char16_t c = s[i];
    unsigned digit;
    if (c >= u'0' && c <= u'9') {
      digit = c - u'0';
    } else if (base == 16 && c >= u'a' && c <= u'f') {
      digit = c - u'a' + 10;
    } else if (base == 16 && c >= u'A' && c <= u'F') {
      digit = c - u'A' + 10;
    } else {
      return false;
    }
    if (magnitude > (limit - digit) / base) return false;
    magnitude = magnitude * base + digit;
  }
  value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

[[noreturn]] void InvalidInteger(UStringView text) {
  throw EConvertError(u"'" + UString(text) + u"' is not a valid integer value");
}

}  // namespace

bool TryStrToInt(UStringView text, int32_t& value) {
  int64_t v;
  if (!ParseInteger(text, std::numeric_limits<int32_t>::max(), v)) return false;
  value = static_cast<int32_t>(v);
  return true;
}

int32_t StrToInt(UStringView text) {
  int32_t v;
  if (!TryStrToInt(text, v)) InvalidInteger(text);
  return v;
}

bool TryStrToInt64(UStringView text, int64_t& value) {
  return ParseInteger(text, std::numeric_limits<int64_t>::max(), value);
}

bool TryStrToUInt64(UStringView text, uint64_t& value) {
  if (!text.empty() && text[0] == u'-') return false;
  int64_t v;
  if (!ParseInteger(text, std::numeric_limits<uint64_t>::max(), v)) return false;
  value = static_cast<uint64_t>(v);
  return true;
}

int64_t StrToInt64(UStringView text) {
  int64_t v;
  if (!TryStrToInt64(text, v)) InvalidInteger(text);
  return v;
}

// --- Format -----------------------------------------------------------------

namespace {

UString Digits(uint64_t v, unsigned base, bool upper) {
  const char16_t* digits = upper ? u"0123456789ABCDEF" : u"0123456789abcdef";
  UString out;
  do {
    out.push_back(digits[v % base]);
    v /= base;
  } while (v != 0);
  std::reverse(out.begin(), out.end());
  return out;
}

}  // namespace

UString Format(UStringView fmt, std::initializer_list<FormatArg> args) {
  auto invalid = [&]() -> EConvertError {
    return EConvertError(u"Format '" + UString(fmt) + u"' invalid or incompatible with argument");
  };
  UString out;
  out.reserve(fmt.size() + 16);
  auto next = args.begin();
  for (size_t i = 0; i < fmt.size(); ++i) {
    if (fmt[i] != u'%') {
      out.push_back(fmt[i]);
      continue;
    }
    if (++i == fmt.size()) throw invalid();
    if (fmt[i] == u'%') {
      out.push_back(u'%');
      continue;
    }
    bool left = false;
    if (fmt[i] == u'-') {
      left = true;
      if (++i == fmt.size()) throw invalid();
    }
    size_t width = 0;
    while (i < fmt.size() && fmt[i] >= u'0' && fmt[i] <= u'9')
      width = std::min<size_t>(width * 10 + (fmt[i++] - u'0'), 4096);
    bool has_precision = false;
    size_t precision = 0;
    if (i < fmt.size() && fmt[i] == u'.') {
      has_precision = true;
      ++i;
      while (i < fmt.size() && fmt[i] >= u'0' && fmt[i] <= u'9')
        precision = std::min<size_t>(precision * 10 + (fmt[i++] - u'0'), 4096);
    }
    if (i == fmt.size() || next == args.end()) throw invalid();
    const FormatArg& arg = *next++;
    UString piece;
    switch (fmt[i]) {
      case u's':
      case u'S':
        if (!arg.IsText()) throw invalid();
        piece = UString(arg.Text());
        if (has_precision && piece.size() > precision) piece.resize(precision);
        break;
      case u'd':
      case u'D':
      case u'u':
      case u'U': {
        if (arg.IsText()) throw invalid();
        const bool negative =
            arg.IsSigned() && static_cast<int64_t>(arg.Bits()) < 0 && fmt[i] != u'u' && fmt[i] != u'U';
        piece = Digits(negative ? 0 - arg.Bits() : arg.Bits(), 10, false);
        if (has_precision && piece.size() < precision) piece.insert(0, precision - piece.size(), u'0');
        if (negative) piece.insert(0, 1, u'-');
        break;
      }
      case u'x':
      case u'X': {
        if (arg.IsText()) throw invalid();
        uint64_t bits = arg.Bits();
        // A negative 32-bit value prints as its 32-bit pattern, as %x always did.
        if (arg.IsSigned() && static_cast<int64_t>(bits) < 0 && static_cast<int64_t>(bits) >= INT32_MIN)
          bits &= 0xFFFFFFFFu;
        piece = Digits(bits, 16, fmt[i] == u'X');
        if (has_precision && piece.size() < precision) piece.insert(0, precision - piece.size(), u'0');
        break;
      }
      default: throw invalid();
    }
    if (piece.size() < width) {
      if (left) piece.append(width - piece.size(), u' ');
      else piece.insert(0, width - piece.size(), u' ');
    }
    out += piece;
  }
  return out;
}

// --- case and blanks ----------------------------------------------------------

char16_t UpCaseChar(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) return static_cast<char16_t>(c & ~1u);
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1u) ? c : static_cast<char16_t>(c - 1);
  if (c >= 0x3B1 && c <= 0x3C9) return c == 0x3C2 ? char16_t(0x3A3) : static_cast<char16_t>(c - 0x20);
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  if (c >= 0xFF41 && c <= 0xFF5A) return static_cast<char16_t>(c - 0x20);
  return c;
}

char16_t LowCaseChar(char16_t c) {
  if (c < 0x80) return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 0x20) : c;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 0x20);
  if (c == 0x178) return 0xFF;
  if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) return static_cast<char16_t>(c | 1u);
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1u) ? static_cast<char16_t>(c + 1) : c;
  if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return static_cast<char16_t>(c + 0x20);
  if (c >= 0x410 && c <= 0x42F) return static_cast<char16_t>(c + 0x20);
  if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 0x50);
  if (c >= 0xFF21 && c <= 0xFF3A) return static_cast<char16_t>(c + 0x20);
  return c;
}

UString UpperCase(UStringView text) {
  UString out(text);
  for (auto& c : out) c = UpCaseChar(c);
  return out;
}

UString LowerCase(UStringView text) {
  UString out(text);
  for (auto& c : out) c = LowCaseChar(c);
  return out;
}

UString LowerCaseAscii(UStringView text) {
  UString out(text);
  for (auto& c : out)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 0x20);
  return out;
}

std::string LowerCaseAscii(std::string_view text) {
  std::string out(text);
  for (auto& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 0x20);
  return out;
}

UString UpperCaseAscii(UStringView text) {
  UString out(text);
  for (auto& c : out)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 0x20);
  return out;
}

int CompareText(UStringView a, UStringView b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    char16_t x = a[i];
    char16_t y = b[i];
    if (x == y) continue;  // names mostly agree character by character
    if ((x | y) < 0x80) {
      if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - 0x20);
      if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - 0x20);
    } else {
      x = UpCaseChar(x);
      y = UpCaseChar(y);
    }
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool SameText(UStringView a, UStringView b) {
  return a.size() == b.size() && CompareText(a, b) == 0;
}

UString Trim(UStringView text) {
  size_t first = 0;
  size_t last = text.size();
  while (first < last && text[first] <= u' ') ++first;
  while (last > first && text[last - 1] <= u' ') --last;
  return UString(text.substr(first, last - first));
}

size_t Pos(UStringView sub, UStringView text) {
  if (sub.empty()) return 0;
  const size_t p = text.find(sub);
  return p == UStringView::npos ? 0 : p + 1;
}

}  // namespace vix
