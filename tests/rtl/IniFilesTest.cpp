#include "rtl/IniFiles.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "TestSupport.h"
#include "rtl/CodePage.h"

namespace vix {
namespace {

namespace fs = std::filesystem;

class IniFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "vix-ini.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    FDir = pattern;
  }
  void TearDown() override { fs::remove_all(FDir); }

  fs::path Path(const char* name = "Setup.ini") const { return FDir / name; }
  static UString Name(const fs::path& path) { return Utf8ToUtf16(path.string()); }
  static void Put(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }
  static std::string Get(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }
  // The names in the folder, so that a temporary file left behind shows.
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(FDir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  static void ExpectWriteError(const std::function<void()>& action, const fs::path& path) {
    try {
      action();
      ADD_FAILURE() << "no exception";
    } catch (const EIniFileException& e) {
      EXPECT_EQ(e.Message(), u"Unable to write to " + Name(path));
    }
  }

  fs::path FDir;
};

struct Write {
  const char16_t* section;
  const char16_t* ident;
  const char16_t* value;
};

TEST_F(IniFiles, WritesKeysTheWayTheProfileFunctionsDo) {
  struct Case {
    const char* what;
    const char* before;  // nullptr: no file
    std::vector<Write> writes;
    const char* after;
  };
  const Case cases[] = {
      {"missing file",
       nullptr,
       {{u"Server Info", u"Server", u"db.example.com"}, {u"Server Info", u"AspID", u"kiv8"}},
       "[Server Info]\r\nServer=db.example.com\r\nAspID=kiv8\r\n"},
      {"key in other letter case replaced in place, its name as the file spells it; other sections, keys, "
       "comments and blanks kept",
       "; written by the installer\r\n[Other]\r\nServer=keep\r\n\r\n[server info]\r\n; note\r\n"
       "SERVER = old\r\nExtra=1\r\n\r\n[Last]\r\nx=y",
       {{u"Server Info", u"Server", u"new"}, {u"Server Info", u"SiteID", u"007"}},
       "; written by the installer\r\n[Other]\r\nServer=keep\r\n\r\n[server info]\r\n; note\r\n"
       "SERVER=new\r\nExtra=1\r\nSiteID=007\r\n\r\n[Last]\r\nx=y"},
      {"missing section appended after a last line without a line end; LF lines kept",
       "[A]\nk=v",
       {{u"Server Info", u"Server", u"h"}},
       "[A]\nk=v\r\n[Server Info]\r\nServer=h\r\n"},
      {"only the first of two sections and keys of the same name changes",
       "[S]\r\nk=1\r\nk=2\r\n[s]\r\nk=3\r\n",
       {{u"S", u"K", u"9"}},
       "[S]\r\nk=9\r\nk=2\r\n[s]\r\nk=3\r\n"},
      {"a commented-out key is not the key", "[S]\r\n;k=1\r\n", {{u"S", u"k", u"2"}}, "[S]\r\n;k=1\r\nk=2\r\n"},
      {"a section header after a UTF-8 byte-order mark is found",
       "\xEF\xBB\xBF[S]\r\nk=1\r\n",
       {{u"S", u"k", u"2"}},
       "\xEF\xBB\xBF[S]\r\nk=2\r\n"},
      {"texts in the ANSI code page; other lines kept byte for byte",
       "[\xB8\xC5\xC0\xE5]\r\nx=\xFF\xFF\r\n",
       {{u"매장", u"이름", u"값 1"}},
       "[\xB8\xC5\xC0\xE5]\r\nx=\xFF\xFF\r\n\xC0\xCC\xB8\xA7=\xB0\xAA 1\r\n"},
      {"an empty value", "", {{u"S", u"k", u""}}, "[S]\r\nk=\r\n"},
      {"a line of \"[\" without \"]\" is a key, not a section",
       "[S]\r\n[k=1\r\n",
       {{u"S", u"x", u"2"}},
       "[S]\r\n[k=1\r\nx=2\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path path = Path();
    fs::remove(path);
    if (c.before != nullptr) Put(path, c.before);
    TIniFile ini(Name(path));
    for (const Write& w : c.writes) ini.WriteString(w.section, w.ident, w.value);
    ini.UpdateFile();
    EXPECT_EQ(Get(path), c.after);
    EXPECT_EQ(Files(), std::vector<std::string>{"Setup.ini"});
    // Another reader of the file finds what was written.
    TIniFile reader(Name(path));
    for (const Write& w : c.writes) EXPECT_EQ(reader.ReadString(w.section, w.ident, u"?"), w.value);
  }
}

TEST_F(IniFiles, NothingReachesTheFileBeforeUpdateFile) {
  const fs::path path = Path();
  Put(path, "[S]\r\nk=1\r\n");
  {
    TIniFile ini(Name(path));
    ini.WriteString(u"S", u"k", u"2");
    EXPECT_EQ(Get(path), "[S]\r\nk=1\r\n");
  }
  EXPECT_EQ(Get(path), "[S]\r\nk=1\r\n");
}

TEST_F(IniFiles, APlaceThatCannotBeWrittenRaisesTheWriteError) {
  Put(Path("plain"), "a file, not a folder");
  fs::create_directory(Path("folder.ini"));
  Put(Path("utf16.ini"), std::string("\xFF\xFE[\0S\0]\0", 8));
  const fs::path places[] = {Path("plain") / "Setup.ini", FDir / "missing" / "Setup.ini", Path("folder.ini"),
                             Path("utf16.ini")};
  for (const fs::path& place : places) {
    SCOPED_TRACE(place.string());
    TIniFile ini(Name(place));
    ExpectWriteError(
        [&] {
          ini.WriteString(u"Server Info", u"Server", u"h");
          ini.UpdateFile();
        },
        place);
  }
  EXPECT_EQ(Get(Path("utf16.ini")), std::string("\xFF\xFE[\0S\0]\0", 8));
}

TEST_F(IniFiles, TextsThatDoNotFitOneLineOrTheCodePageAreRefused) {
  const fs::path path = Path();
  Put(path, "[S]\r\nk=1\r\n");
  const Write refused[] = {
      {u"S", u"k", u"1\r\n[Injected]\r\nx=y"},
      {u"S", u"k", u"a\nb"},
      {u"S", u"a=b", u"1"},
      {u"S", u"[k", u"a]"},  // the line would read back as a section header
      {u"S]", u"k", u"1"},
      {u"S", u" k", u"1"},
      {u"", u"k", u"1"},
      {u"S", u"", u"1"},
      {u"S", u"k", u"\U0001F600"},
  };
  for (const Write& w : refused) {
    SCOPED_TRACE(ToUtf8(UString(w.section) + u"|" + w.ident + u"|" + w.value));
    TIniFile ini(Name(path));
    ExpectWriteError([&] { ini.WriteString(w.section, w.ident, w.value); }, path);
    ini.UpdateFile();
    EXPECT_EQ(Get(path), "[S]\r\nk=1\r\n");
  }
}

TEST_F(IniFiles, AFullDiskLeavesTheOldFileWholeAndNoTemporaryFile) {
  const fs::path path = Path();
  const std::string before = "[Other]\r\nkeep=1\r\n[Server Info]\r\nServer=old\r\n";
  Put(path, before);
  ::chmod(path.c_str(), 0640);
  TIniFile ini(Name(path));
  ini.WriteString(u"Server Info", u"Server", UString(200, u'x'));

  // The file-size limit makes the write fail part-way, as a full disk does.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  void (*savedSignal)(int) = ::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  ExpectWriteError([&] { ini.UpdateFile(); }, path);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, savedSignal);

  EXPECT_EQ(Get(path), before);
  EXPECT_EQ(Files(), std::vector<std::string>{"Setup.ini"});

  // Once there is room, the same object writes, and keeps the file's permissions.
  ini.UpdateFile();
  EXPECT_EQ(Get(path), "[Other]\r\nkeep=1\r\n[Server Info]\r\nServer=" + std::string(200, 'x') + "\r\n");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

}  // namespace
}  // namespace vix
