#include "rtl/UString.h"

#include "rtl/SysUtils.h"

namespace vix {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at s[i]. Returns the code point, or -1 for a
// malformed sequence; `len` receives the number of bytes consumed (at least 1).
long DecodeUtf8(std::string_view s, size_t i, size_t& len) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  len = 1;
  if (b0 < 0x80) return b0;
  int need;
  long cp;
  long min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1; cp = b0 & 0x1F; min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2; cp = b0 & 0x0F; min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3; cp = b0 & 0x07; min = 0x10000;
  } else {
    return -1;
  }
  for (int k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return -1;
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return -1;  // the byte starts something new: consume only the lead
    cp = (cp << 6) | (b & 0x3F);
    len = k + 1;
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  return cp;
}

void AppendCodePoint(UString& out, long cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(cp));
  }
}

UString FromUtf8(std::string_view s, bool strict) {
  UString out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    size_t len;
    const long cp = DecodeUtf8(s, i, len);
    if (cp < 0) {
      if (strict) throw EConvertError(u"Invalid UTF-8 text at byte " + IntToStr(static_cast<int64_t>(i)));
      out.push_back(kReplacement);
    } else {
      AppendCodePoint(out, cp);
    }
    i += len;
  }
  return out;
}

void AppendUtf8(std::string& out, unsigned long cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string ToUtf8Impl(UStringView s, bool strict) {
  std::string out;
  out.reserve(s.size() * 3);
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned long c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      if (strict) throw EConvertError(u"Unpaired surrogate in text at position " + IntToStr(static_cast<int64_t>(i)));
      c = kReplacement;
    }
    AppendUtf8(out, c);
  }
  return out;
}

}  // namespace

UString Utf8ToUtf16(std::string_view utf8) { return FromUtf8(utf8, true); }
UString Utf8ToUtf16Lenient(std::string_view utf8) { return FromUtf8(utf8, false); }
std::string Utf16ToUtf8(UStringView text) { return ToUtf8Impl(text, true); }
std::string Utf16ToUtf8Lenient(UStringView text) { return ToUtf8Impl(text, false); }

}  // namespace vix
