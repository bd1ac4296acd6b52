// Included by every test: UString values print as readable text in failure
// messages, and tests that need a real component know whether to skip.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>

#include "rtl/UString.h"

namespace vix::test {

// u"..." with the text in UTF-8 and control characters escaped.
void PrintUString(const std::u16string& s, std::ostream* os);

// True when this run must not skip tests for a missing component (CI=true).
bool MustHaveRealComponents();

// Value of an environment variable, or `fallback` when it is unset or empty.
std::string EnvOr(const char* name, const std::string& fallback = std::string());

// The message (UTF-8) of the vix::Exception that `run` raises; "<none>" when
// it raises nothing.
std::string ErrorOf(const std::function<void()>& run);

// Where the private MariaDB server of the test services is (the VIX_MYSQL_*
// variables); `Host` is empty when it is not running.
struct TMySqlTestServer {
  std::string Host = EnvOr("VIX_MYSQL_HOST");
  int Port = std::stoi(EnvOr("VIX_MYSQL_PORT", "0"));
  std::string User = EnvOr("VIX_MYSQL_USER", "vix");
  std::string Password = EnvOr("VIX_MYSQL_PASSWORD");
  std::string Database = EnvOr("VIX_MYSQL_DATABASE", "vixtest");
};

// A file of the machine that runs the test services (a path the MariaDB
// server or the Linux build wrote) as this program opens it: the Windows
// build, under wine, reaches the Unix root through the drive Z:.
std::string HostFilePath(const std::string& unixPath);

// True for the Windows build running under wine rather than on Windows:
// the few places where wine is known to differ from Windows ask it.
bool RunsUnderWine();

// Digits that differ between processes and stay the same within one: names
// of databases and files that must not meet those of another run.
std::string ProcessTag();

// A file in the system's folder for temporary files, named `stem` and a
// unique suffix, holding `contents`; removed when the object goes. Its path
// is written with '/' on every system, so that a SQL literal carries it as is.
class TTempFile {
 public:
  TTempFile(const std::string& stem, const std::string& contents);
  ~TTempFile();
  TTempFile(const TTempFile&) = delete;
  TTempFile& operator=(const TTempFile&) = delete;
  const std::string& Path() const { return path_; }
  // Removes the file now (a test of what happens when it is gone).
  void Remove();

 private:
  std::string path_;
};

}  // namespace vix::test

namespace testing::internal {
template <>
class UniversalPrinter<std::u16string> {
 public:
  static void Print(const std::u16string& s, std::ostream* os) { vix::test::PrintUString(s, os); }
};
}  // namespace testing::internal

// Skips the current test when a real component is missing, or fails it when
// the run is CI's. Use: VIX_REQUIRE_COMPONENT(!host.empty(), "MariaDB test server");
#define VIX_REQUIRE_COMPONENT(available, what)                                             \
  do {                                                                                     \
    if (!(available)) {                                                                    \
      if (::vix::test::MustHaveRealComponents()) FAIL() << (what) << " is required in CI"; \
      GTEST_SKIP() << (what) << " is not available";                                       \
    }                                                                                      \
  } while (0)
