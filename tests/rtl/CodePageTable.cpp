// Prints what the code-page layer of this build makes of every byte and
// lead/trail pair of the double-byte code pages, and of every character of
// the Basic Multilingual Plane, one line each:
//   D <code page> <bytes in hex> <UTF-16 units in hex, space separated>
//   E <code page> <UTF-16 unit in hex> <bytes in hex>
// The Linux build's table is what the Windows build compares with the
// system's conversions (CodePageOracleTest).
#include <cstdio>
#include <string>

#include "rtl/CodePage.h"

namespace {

std::string Hex(const std::string& bytes) {
  std::string out;
  char b[3];
  for (unsigned char c : bytes) {
    std::snprintf(b, sizeof b, "%02X", c);
    out += b;
  }
  return out;
}

std::string Hex(const vix::UString& text) {
  std::string out;
  char b[6];
  for (char16_t c : text) {
    std::snprintf(b, sizeof b, "%s%04X", out.empty() ? "" : " ", static_cast<unsigned>(c));
    out += b;
  }
  return out;
}

void Decode(int codePage, const std::string& bytes) {
  std::printf("D %d %s %s\n", codePage, Hex(bytes).c_str(), Hex(vix::AnsiToUtf16(bytes, codePage)).c_str());
}

}  // namespace

int main() {
  for (int codePage : {949, 936, 950, 932}) {
    for (int lead = 0x80; lead <= 0xFF; ++lead) {
      if (!vix::IsDBCSLeadByte(static_cast<unsigned char>(lead), codePage)) {
        Decode(codePage, std::string(1, static_cast<char>(lead)));
        continue;
      }
      for (int trail = 0; trail <= 0xFF; ++trail)
        Decode(codePage, std::string{static_cast<char>(lead), static_cast<char>(trail)});
    }
    for (int c = 0x80; c <= 0xFFFF; ++c) {
      if (c >= 0xD800 && c <= 0xDFFF) continue;
      const vix::UString one(1, static_cast<char16_t>(c));
      std::printf("E %d %04X %s\n", codePage, c, Hex(vix::Utf16ToAnsi(one, codePage)).c_str());
    }
  }
  return 0;
}
