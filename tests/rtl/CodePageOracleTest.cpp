// The code-page layer against Windows itself (Windows build, under wine):
// the Linux build's table (CodePageTable: iconv behind the layer) for every
// byte and lead/trail pair of 949, 936, 950 and 932 and every BMP character
// is compared with what this build's layer makes of them through
// MultiByteToWideChar / WideCharToMultiByte. The table comes from
// VIX_CODEPAGE_TABLE (scripts/test-windows writes it).
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "rtl/CodePage.h"

namespace vix {
namespace {

std::string Unhex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

std::string Hex(const std::string& bytes) {
  std::string out;
  char b[3];
  for (unsigned char c : bytes) {
    std::snprintf(b, sizeof b, "%02X", c);
    out += b;
  }
  return out;
}

std::string Hex(const UString& text) {
  std::string out;
  char b[6];
  for (char16_t c : text) {
    std::snprintf(b, sizeof b, "%s%04X", out.empty() ? "" : " ", static_cast<unsigned>(c));
    out += b;
  }
  return out;
}

// One kind of difference in one code page: how many, and the first few.
struct TDiffs {
  int Count = 0;
  std::vector<std::string> Examples;
  void Add(const std::string& example) {
    if (++Count <= 6) Examples.push_back(example);
  }
};

// Where iconv (the Linux build) and Windows disagree, by code page and kind,
// with the number of sequences or characters and why. Any other difference,
// or another count, fails.
struct TKnownDifference {
  const char* What;
  int Count;
  const char* Why;
};
const TKnownDifference kKnown[] = {
    {"936 decode: only Windows reads it", 2149,
     "the user-defined areas (AAA1-AFFE, F8A1-FEFE, A140-A7A0) are private-use characters U+E000-U+E765 on "
     "Windows; iconv has no user-defined characters"},
    {"936 encode: only Windows holds it", 2150, "the same private-use characters back, and U+0080 as byte 80"},
    {"949 decode: only Windows reads it", 189,
     "the user-defined area C9A1-C9FE, FEA1-FEFE (U+E000-U+E0BB), and byte 80 as U+0080"},
    {"949 encode: only Windows holds it", 190, "the same characters back"},
    {"949 decode: both refuse, differently", 127,
     "lead byte then 80 (126): both refuse the lead byte, then Windows reads 80 as U+0080 where iconv refuses "
     "it too; A2E8 (1): iconv refuses the pair as one, Windows each byte"},
    {"950 decode: only Windows reads it", 5809,
     "the user-defined areas (8140-A0FE, C6A1-C8FE, FA40-FEFE) are private-use characters on Windows"},
    {"950 encode: only Windows holds it", 5810, "the same private-use characters back, and U+0080"},
    {"950 encode: other bytes", 4,
     "four box-drawing characters have two Big5 codes; both decode both, Windows writes F9xx, iconv A2xx"},
    {"932 decode: only Windows reads it", 1, "byte 80 is U+0080 on Windows"},
    {"932 decode: both refuse, differently", 9, "lead byte then 80, as in 949"},
    {"932 encode: only Windows holds it", 5, "U+0080 and U+F8F0-U+F8F3, Windows' one-way codes for 80, A0, FD-FF"},
    {"932 encode: only iconv holds it", 9,
     "iconv writes look-alikes one way (U+00A2 as 8191, which reads back as U+FFE0, U+00A5 as 5C ...); "
     "Windows without best fit writes '?'"},
};

TEST(CodePageOracleTest, EveryPairAndCharacterAsTheSystemConverts) {
  const std::string path = test::HostFilePath(test::EnvOr("VIX_CODEPAGE_TABLE"));
  VIX_REQUIRE_COMPONENT(!path.empty(), "the Linux build's code-page table (VIX_CODEPAGE_TABLE)");
  std::ifstream in(path);
  ASSERT_TRUE(in) << path;

  std::map<std::string, TDiffs> diffs;  // "<code page> <kind>"
  std::map<int, int> decoded, encoded;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string kind, input;
    int codePage = 0;
    fields >> kind >> codePage >> input;
    std::string expected;
    std::getline(fields, expected);
    if (!expected.empty() && expected.front() == ' ') expected.erase(0, 1);
    if (kind == "D") {
      ++decoded[codePage];
      const std::string got = Hex(AnsiToUtf16(Unhex(input), codePage));
      if (got == expected) continue;
      const bool linuxReads = expected.find("FFFD") == std::string::npos;
      const bool windowsReads = got.find("FFFD") == std::string::npos;
      const char* what = linuxReads && windowsReads ? "decode: another character"
                         : linuxReads               ? "decode: only iconv reads it"
                         : windowsReads             ? "decode: only Windows reads it"
                                                    : "decode: both refuse, differently";
      diffs[std::to_string(codePage) + " " + what].Add(input + ": iconv " + expected + ", Windows " + got);
    } else if (kind == "E") {
      ++encoded[codePage];
      const UString one(1, static_cast<char16_t>(std::stoi(input, nullptr, 16)));
      const std::string got = Hex(Utf16ToAnsi(one, codePage));
      if (got == expected) continue;
      const char* what = expected != "3F" && got != "3F" ? "encode: other bytes"
                         : expected != "3F"              ? "encode: only iconv holds it"
                                                         : "encode: only Windows holds it";
      diffs[std::to_string(codePage) + " " + what].Add("U+" + input + ": iconv " + expected + ", Windows " + got);
    }
  }
  for (const auto& [cp, n] : decoded)
    std::printf("code page %d: %d byte sequences, %d characters compared\n", cp, n, encoded[cp]);
  for (const auto& [what, d] : diffs) {
    std::printf("%s: %d\n", what.c_str(), d.Count);
    for (const std::string& e : d.Examples) std::printf("    %s\n", e.c_str());
  }
  EXPECT_EQ(decoded.size(), 4u);
  for (const TKnownDifference& k : kKnown) {
    const auto it = diffs.find(k.What);
    EXPECT_EQ(it == diffs.end() ? 0 : it->second.Count, k.Count) << k.What << " (" << k.Why << ")";
    if (it != diffs.end()) diffs.erase(it);
  }
  for (const auto& [what, d] : diffs) ADD_FAILURE() << "not a known difference: " << what << ": " << d.Count;
}

}  // namespace
}  // namespace vix
