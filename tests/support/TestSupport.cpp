#include "TestSupport.h"

#include <cstdlib>

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
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::string(v) : fallback;
}

std::string ErrorOf(const std::function<void()>& run) {
  try {
    run();
  } catch (const Exception& e) {
    return e.what();
  }
  return "<none>";
}

}  // namespace vix::test
