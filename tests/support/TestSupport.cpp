#include "TestSupport.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

#include "rtl/SysUtils.h"

namespace vix::test {

void PrintUString(const std::u16string& s, std::ostream* os) {
  std::u16string escaped;
  escaped.reserve(s.size() + 8);
  for (char16_t c : s) {
    switch (c) {
      case u'\r': escaped += u"\\r"; break;
      case u'\n': escaped += u"\\n"; break;
      case u'\t': escaped += u"\\t"; break;
      case u'"': escaped += u"\\\""; break;
      case u'\\': escaped += u"\\\\"; break;
      default:
        if (c < 0x20) {
          static const char16_t hex[] = u"0123456789ABCDEF";
          escaped += u"\\x";
          escaped += hex[c >> 4];
          escaped += hex[c & 15];
        } else {
          escaped += c;
        }
    }
  }
  *os << "u\"" << Utf16ToUtf8Lenient(escaped) << '"';
}

bool MustHaveRealComponents() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

std::string EnvOr(const char* name, const std::string& fallback) {
#ifdef _WIN32
  // Read in UTF-16: getenv would give the ANSI code page's bytes, and lose
  // what that code page lacks (a Korean password, say).
  const std::wstring wideName(name, name + std::strlen(name));
  std::wstring value(GetEnvironmentVariableW(wideName.c_str(), nullptr, 0), L'\0');
  value.resize(
      value.empty() ? 0 : GetEnvironmentVariableW(wideName.c_str(), value.data(), static_cast<DWORD>(value.size())));
  return value.empty() ? fallback : Utf16ToUtf8Lenient(UString(value.begin(), value.end()));
#else
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::string(v) : fallback;
#endif
}

std::string ErrorOf(const std::function<void()>& run) {
  try {
    run();
  } catch (const Exception& e) {
    return e.what();
  }
  return "<none>";
}

std::string HostFilePath(const std::string& unixPath) {
#ifdef _WIN32
  if (!unixPath.empty() && unixPath.front() == '/') return "Z:" + unixPath;
#endif
  return unixPath;
}

bool RunsUnderWine() {
#ifdef _WIN32
  static const bool wine = [] {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
#else
  return false;
#endif
}

std::string ProcessTag() {
  static const std::string tag = [] {
    std::random_device random;
    return std::to_string(random() % 1000000000u) + std::to_string(random() % 1000000000u);
  }();
  return tag;
}

TTempFile::TTempFile(const std::string& stem, const std::string& contents) {
  static std::atomic<unsigned> count{0};
  const std::string name = stem + ProcessTag() + "_" + std::to_string(++count);
  path_ = (std::filesystem::temp_directory_path() / name).generic_string();
  std::ofstream out(path_, std::ios::binary);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + path_);
}

TTempFile::~TTempFile() {
  Remove();
}

void TTempFile::Remove() {
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);
}

}  // namespace vix::test
