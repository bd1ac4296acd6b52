#include "rtl/UString.h"

#include "rtl/SysUtils.h"

#include <cstring>

namespace vix {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at s[i]. Returns the code point, or -1 for a
// malformed sequence; `len` receives the number of bytes consumed (at least 1).
// Inlined into the loops below: every character of every text passes here.
[[gnu::always_inline]] inline long DecodeUtf8(std::string_view s, size_t i, size_t& len) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  len = 1;
  if (b0 < 0x80) return b0;
  int need;
  long cp;
  long min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1F;
    min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    cp = b0 & 0x0F;
    min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    cp = b0 & 0x07;
    min = 0x10000;
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

// Walks the UTF-8 text and hands every code point to `emit` (U+FFFD for a
// malformed sequence when lenient); `emit` returns false to stop early.
template <typename Emit>
void DecodeUtf8Text(std::string_view s, bool strict, Emit&& emit, size_t from = 0) {
  for (size_t i = from; i < s.size();) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
      if (!emit(b0)) return;
      ++i;
      continue;
    }
    // A well-formed three-byte sequence (Hangul, most of the BMP) at once;
    // anything else takes the general path with its checks.
    if ((b0 & 0xF0) == 0xE0 && s.size() - i >= 3) {
      const auto b1 = static_cast<unsigned char>(s[i + 1]), b2 = static_cast<unsigned char>(s[i + 2]);
      const long cp = (long{b0 & 0x0F} << 12) | (long{b1 & 0x3F} << 6) | (b2 & 0x3F);
      if ((b1 & 0xC0) == 0x80 && (b2 & 0xC0) == 0x80 && cp >= 0x800 && (cp < 0xD800 || cp > 0xDFFF)) {
        if (!emit(cp)) return;
        i += 3;
        continue;
      }
    }
    size_t len;
    long cp = DecodeUtf8(s, i, len);
    if (cp < 0) {
      if (strict) throw EConvertError(u"Invalid UTF-8 text at byte " + IntToStr(static_cast<int64_t>(i)));
      cp = kReplacement;
    }
    if (!emit(cp)) return;
    i += len;
  }
}

void AppendUtf16(UString& out, long cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(cp));
  }
}

// Never more UTF-16 units than UTF-8 bytes: the text is written into room
// sized once, then cut to its length.
UString FromUtf8(std::string_view s, bool strict) {
  UString out(s.size(), u'\0');
  char16_t* p = out.data();
  DecodeUtf8Text(s, strict, [&](long cp) {
    if (cp >= 0x10000) {
      cp -= 0x10000;
      *p++ = static_cast<char16_t>(0xD800 + (cp >> 10));
      *p++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      *p++ = static_cast<char16_t>(cp);
    }
    return true;
  });
  out.resize(static_cast<size_t>(p - out.data()));
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

// A lone surrogate that stands for one raw byte (Utf8ToUtf16KeepBytes).
constexpr char16_t kRawByteBase = 0xDC00;
bool IsRawByteUnit(char16_t c) {
  return c >= kRawByteBase + 0x80 && c <= kRawByteBase + 0xFF;
}

void AppendUtf8Impl(std::string& out, UStringView s, bool strict, bool keepBytes) {
  out.reserve(out.size() + s.size() * 3);
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned long c = s[i];
    if (c < 0x80) {
      // A run of ASCII (most of any statement text) is copied in one go.
      size_t end = i + 1;
      while (end < s.size() && s[end] < 0x80) ++end;
      const size_t at = out.size();
      out.resize(at + (end - i));
      char* d = out.data() + at;
      for (; i < end; ++i) *d++ = static_cast<char>(s[i]);
      --i;
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (keepBytes && IsRawByteUnit(s[i])) {
      out.push_back(static_cast<char>(c - kRawByteBase));
      continue;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      if (strict) throw EConvertError(u"Unpaired surrogate in text at position " + IntToStr(static_cast<int64_t>(i)));
      c = kReplacement;
    }
    AppendUtf8(out, c);
  }
}

std::string ToUtf8Impl(UStringView s, bool strict, bool keepBytes = false) {
  std::string out;
  AppendUtf8Impl(out, s, strict, keepBytes);
  return out;
}

}  // namespace

UString Utf8ToUtf16(std::string_view utf8) {
  return FromUtf8(utf8, true);
}

size_t Utf8ToUtf16Into(std::string_view utf8, void* out, size_t capacity, bool strict) {
  auto* dst = static_cast<unsigned char*>(out);
  size_t n = 0;
  // ASCII and well-formed three-byte sequences (Hangul, most of the BMP) are
  // written in one tight loop; from the first other byte on, the general walk
  // below takes over with its checks.
  const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
  const size_t size = utf8.size();
  size_t i = 0;
  while (i < size && n < capacity) {
    const unsigned b0 = s[i];
    unsigned unit;
    if (b0 < 0x80) {
      unit = b0;
      ++i;
    } else if (size - i >= 3) {
      // The lead byte 1110xxxx and two continuation bytes 10xxxxxx in one test.
      const unsigned b1 = s[i + 1], b2 = s[i + 2];
      if (((b0 << 16 | b1 << 8 | b2) & 0xF0C0C0u) != 0xE08080u) break;
      unit = ((b0 & 0x0F) << 12) | ((b1 & 0x3Fu) << 6) | (b2 & 0x3Fu);
      // Overlong forms and surrogates: the general walk rejects or replaces them.
      if (unit < 0x800 || unit - 0xD800u < 0x800u) break;
      i += 3;
    } else {
      break;
    }
    const auto u16 = static_cast<char16_t>(unit);
    std::memcpy(dst + n * sizeof u16, &u16, sizeof u16);
    ++n;
  }
  if (i == size || n == capacity) return n;
  auto put = [&](char16_t unit) {
    std::memcpy(dst + n * sizeof unit, &unit, sizeof unit);
    ++n;
  };
  DecodeUtf8Text(
      utf8, strict,
      [&](long cp) {
        if (cp >= 0x10000) {
          if (capacity - n < 2) return false;
          cp -= 0x10000;
          put(static_cast<char16_t>(0xD800 + (cp >> 10)));
          put(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
          if (capacity == n) return false;
          put(static_cast<char16_t>(cp));
        }
        return true;
      },
      i);
  return n;
}
UString Utf8ToUtf16Lenient(std::string_view utf8) {
  return FromUtf8(utf8, false);
}
std::string Utf16ToUtf8(UStringView text) {
  return ToUtf8Impl(text, true);
}
std::string Utf16ToUtf8Lenient(UStringView text) {
  return ToUtf8Impl(text, false);
}

UString Utf8ToUtf16KeepBytes(std::string_view bytes) {
  UString out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    size_t len;
    long cp = DecodeUtf8(bytes, i, len);
    if (cp < 0) {
      // Only the one byte: what follows it may start a valid sequence.
      out.push_back(static_cast<char16_t>(kRawByteBase + static_cast<unsigned char>(bytes[i])));
      ++i;
      continue;
    }
    AppendUtf16(out, cp);
    i += len;
  }
  return out;
}

std::string Utf16ToUtf8KeepBytes(UStringView text) {
  return ToUtf8Impl(text, true, true);
}

void AppendUtf16AsUtf8KeepBytes(std::string& out, UStringView text) {
  AppendUtf8Impl(out, text, true, true);
}

}  // namespace vix
