// TIniFile against the Windows profile functions themselves (Windows build,
// under wine): for each case the same start file is changed once by
// TIniFile and once by WritePrivateProfileStringW, and the two files and what
// each reader reads back are compared. Where they differ on purpose the case
// names the difference and why.
#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "rtl/IniFiles.h"

namespace vix {
namespace {

struct TWrite {
  UString Section, Ident, Value;
};

struct TCase {
  const char* Name;
  const char* Start;  // nullptr: no file yet
  std::vector<TWrite> Writes;
  // Empty when both files must be byte-identical; otherwise the reason for
  // the difference, and the file our writer must produce.
  const char* Difference = "";
  const char* Ours = "";
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteAll(const std::string& path, const char* bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::wstring Wide(const UString& s) {
  return std::wstring(s.begin(), s.end());
}

UString SystemRead(const std::string& path, const UString& section, const UString& ident) {
  std::vector<wchar_t> buffer(1 << 16);
  const DWORD n = GetPrivateProfileStringW(Wide(section).c_str(), Wide(ident).c_str(), L"<none>", buffer.data(),
                                           static_cast<DWORD>(buffer.size()), Wide(U(path)).c_str());
  return UString(buffer.begin(), buffer.begin() + n);
}

class IniFilesOracleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const UString folder = UString(reinterpret_cast<const char16_t*>(temp));
    FOurs = Utf16ToUtf8(folder) + "vix_ini_ours_" + std::to_string(GetCurrentProcessId()) + ".ini";
    FSystem = Utf16ToUtf8(folder) + "vix_ini_system_" + std::to_string(GetCurrentProcessId()) + ".ini";
  }
  void TearDown() override {
    DeleteFileA(FOurs.c_str());
    DeleteFileA(FSystem.c_str());
  }
  std::string FOurs, FSystem;
};

const std::string kLong(4000, 'v');

TEST_F(IniFilesOracleTest, WritesAndReadsAsTheProfileFunctions) {
  const std::vector<TCase> cases = {
      {"new file", nullptr, {{u"Server Info", u"Server", u"db1"}, {u"Server Info", u"AspID", u"asp7"}}},
      {"new section", "[A]\r\nx=1\r\n", {{u"B", u"y", u"2"}}},
      {"existing key in another case",
       "[Server Info]\r\nSERVER=old\r\nSiteID=3\r\n",
       {{u"server info", u"Server", u"new"}}},
      {"keys outside sections", "x=1\r\n[A]\r\ny=2\r\n", {{u"A", u"z", u"3"}}},
      {"empty values", "[A]\r\nx=\r\n", {{u"A", u"x", u""}, {u"A", u"y", u""}}},
      // wine's profile writer writes the whole file anew from what it parsed:
      // blank lines go and every line ends in CR LF. Windows edits the file in
      // place; we keep every line we do not change byte for byte, and end the
      // lines we write in CR LF.
      {"CR LF file",
       "[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n",
       {{u"A", u"x", u"9"}, {u"A", u"z", u"3"}},
       "wine drops the blank line before [B]",
       "[A]\r\nx=9\r\nz=3\r\n\r\n[B]\r\ny=2\r\n"},
      {"LF file",
       "[A]\nx=1\n\n[B]\ny=2\n",
       {{u"A", u"x", u"9"}, {u"A", u"z", u"3"}},
       "wine rewrites every line with CR LF and drops the blank line; we keep the LF lines",
       "[A]\nx=9\nz=3\r\n\n[B]\ny=2\n"},
      {"key starting with [", "[A]\r\n[k=1\r\n", {{u"A", u"x", u"1"}}},
      {"very long lines", "[A]\r\n", {{u"A", u"long", U(kLong)}, {U(std::string(300, 's')), u"k", U(kLong)}}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    DeleteFileA(FOurs.c_str());
    DeleteFileA(FSystem.c_str());
    if (c.Start) {
      WriteAll(FOurs, c.Start);
      WriteAll(FSystem, c.Start);
    }
    TIniFile ini(U(FOurs));
    for (const TWrite& w : c.Writes) {
      ini.WriteString(w.Section, w.Ident, w.Value);
      ASSERT_TRUE(WritePrivateProfileStringW(Wide(w.Section).c_str(), Wide(w.Ident).c_str(), Wide(w.Value).c_str(),
                                             Wide(U(FSystem)).c_str()));
    }
    ini.UpdateFile();
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, Wide(U(FSystem)).c_str());  // flush the system's cache
    const std::string ours = ReadAll(FOurs), system = ReadAll(FSystem);
    if (*c.Difference == 0) {
      EXPECT_EQ(ours, system);
    } else {
      EXPECT_NE(ours, system) << "no longer differs: " << c.Difference;
      EXPECT_EQ(ours, c.Ours) << c.Difference;
    }
    // Every value written reads back the same through both readers, from both files.
    for (const TWrite& w : c.Writes) {
      TIniFile reread(U(FSystem));
      EXPECT_EQ(reread.ReadString(w.Section, w.Ident, u"<none>"), w.Value);
      EXPECT_EQ(SystemRead(FOurs, w.Section, w.Ident), w.Value);
      EXPECT_EQ(SystemRead(FSystem, w.Section, w.Ident), w.Value);
    }
  }
}

// A key that starts with "[" is refused by TIniFile: with a "]" in the
// value the line reads back as a section header, and the profile functions
// lose the value that way (and move the keys after it into that section).
TEST_F(IniFilesOracleTest, AKeyStartingWithABracketIsRefusedWhereTheSystemLosesIt) {
  WriteAll(FSystem, "[A]\r\nx=1\r\n");
  ASSERT_TRUE(WritePrivateProfileStringW(L"A", L"[k", L"v]", Wide(U(FSystem)).c_str()));
  WritePrivateProfileStringW(nullptr, nullptr, nullptr, Wide(U(FSystem)).c_str());
  EXPECT_EQ(SystemRead(FSystem, u"A", u"[k"), u"<none>");

  WriteAll(FOurs, "[A]\r\nx=1\r\n");
  TIniFile ini(U(FOurs));
  EXPECT_THROW(ini.WriteString(u"A", u"[k", u"v]"), EIniFileException);
  ini.UpdateFile();
  EXPECT_EQ(ReadAll(FOurs), "[A]\r\nx=1\r\n");
}

}  // namespace
}  // namespace vix
