// Literal rendering: a value rendered for random session settings is read
// back with the server's rules for that mode and character set; the literal
// must be one string token whose value is the value's bytes.
//
// Input: byte 0 picks the settings (NO_BACKSLASH_ESCAPES, Unicode, hex
// literals, text or bytes), byte 1 the character set; the rest is the value
// (UTF-16 code units for a text, raw bytes otherwise).
#include <cstdlib>
#include <optional>
#include <string>

#include "FuzzSupport.h"
#include "MySql/MyClasses.h"
#include "rtl/CodePage.h"

namespace {

bool In(unsigned char c, unsigned char lo, unsigned char hi) {
  return c >= lo && c <= hi;
}

// The length of the multi-byte character at `p` as the server's charset
// tables define it (0: none).
size_t ServerCharLength(const std::string& charset, const std::string& s, size_t i) {
  if (i + 1 >= s.size()) return 0;
  const auto a = static_cast<unsigned char>(s[i]), b = static_cast<unsigned char>(s[i + 1]);
  if (charset == "gbk") return In(a, 0x81, 0xFE) && (In(b, 0x40, 0x7E) || In(b, 0x80, 0xFE)) ? 2 : 0;
  if (charset == "big5") return In(a, 0xA1, 0xF9) && (In(b, 0x40, 0x7E) || In(b, 0xA1, 0xFE)) ? 2 : 0;
  if (charset == "sjis")
    return (In(a, 0x81, 0x9F) || In(a, 0xE0, 0xFC)) && (In(b, 0x40, 0x7E) || In(b, 0x80, 0xFC)) ? 2 : 0;
  if (charset == "euckr")
    return In(a, 0x81, 0xFE) && (In(b, 0x41, 0x5A) || In(b, 0x61, 0x7A) || In(b, 0x81, 0xFE)) ? 2 : 0;
  return 0;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The value of `literal` read as the server reads one token: a quoted string
// (doubled quotes, backslash escapes unless `nbe`, multi-byte characters of
// `charset` whole), or a hexadecimal literal with an optional introducer.
// Nothing when it is no single string token.
std::optional<std::string> ServerValue(const std::string& literal, const std::string& charset, bool nbe) {
  std::string s = literal;
  if (s.rfind("_utf8mb4 ", 0) == 0) s.erase(0, 9);
  if (s.size() >= 3 && s[0] == 'X' && s[1] == '\'' && s.back() == '\'') {
    const std::string hex = s.substr(2, s.size() - 3);
    if (hex.size() % 2) return std::nullopt;
    std::string out;
    for (size_t i = 0; i < hex.size(); i += 2) {
      const int hi = HexDigit(hex[i]), lo = HexDigit(hex[i + 1]);
      if (hi < 0 || lo < 0) return std::nullopt;
      out += static_cast<char>(hi * 16 + lo);
    }
    return out;
  }
  if (s.size() < 2 || s[0] != '\'') return std::nullopt;
  std::string out;
  size_t i = 1;
  for (;;) {
    if (i >= s.size()) return std::nullopt;  // never closed
    if (const size_t n = ServerCharLength(charset, s, i)) {
      out.append(s, i, n);
      i += n;
      continue;
    }
    const char c = s[i];
    if (c == '\\' && !nbe) {
      if (i + 1 >= s.size()) return std::nullopt;
      const char e = s[i + 1];
      switch (e) {
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case 'b': out += '\b'; break;
        case '0': out += '\0'; break;
        case 'Z': out += '\x1A'; break;
        case '%':
        case '_':
          out += '\\';
          out += e;
          break;
        default: out += e;
      }
      i += 2;
      continue;
    }
    if (c == '\'') {
      if (i + 1 < s.size() && s[i + 1] == '\'') {
        out += '\'';
        i += 2;
        continue;
      }
      // The closing quote must end the token.
      return i + 1 == s.size() ? std::optional<std::string>(out) : std::nullopt;
    }
    out += c;
    ++i;
  }
}

const char* const kCharsets[] = {"", "latin1", "euckr", "gbk", "big5", "sjis"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t mode = data[0];
  vix::TMyLiteralOptions o;
  o.NoBackslashEscapes = mode & 1;
  o.UseUnicode = mode & 2;
  o.HexLiterals = mode & 4;
  const bool text = mode & 8;
  const std::string charset = kCharsets[data[1] % std::size(kCharsets)];
  o.Charset = vix::UString(charset.begin(), charset.end());
  const uint8_t* value = data + 2;
  const size_t length = size - 2;

  vix::TParamDesc p;
  std::string expected;
  try {
    if (text) {
      vix::UString u;
      for (size_t i = 0; i + 1 < length; i += 2) u += static_cast<char16_t>(value[i] | value[i + 1] << 8);
      p.SetDataType(vix::mtWideString);
      p.SetValue(vix::Variant(u));
      if (o.HexLiterals || o.UseUnicode) expected = vix::Utf16ToUtf8(u);
      else expected = vix::Utf16ToAnsi(u, vix::MultiByteCharsetCodePage(o.Charset));
    } else {
      expected.assign(reinterpret_cast<const char*>(value), length);
      p.SetDataType(vix::mtVarBytes);
      p.SetValue(vix::Variant::FromBytes(expected));
    }
  } catch (const vix::Exception&) {
    return 0;  // a text that is no valid UTF-16
  }
  std::string literal;
  try {
    literal = vix::MySqlLiteral(p, o);
  } catch (const vix::Exception&) {
    return 0;
  }
  // Hexadecimal and UTF-8 texts read byte by byte; the session's charset
  // decides otherwise.
  const std::string readAs = o.UseUnicode || o.HexLiterals ? std::string() : charset;
  const std::optional<std::string> got = ServerValue(literal, readAs, o.NoBackslashEscapes);
  if (!got || *got != expected) abort();
  return 0;
}
