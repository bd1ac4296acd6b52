// The universal SQL notation expanded for MySQL: brace constructs ({fn ...},
// {date ...}, {if ...}{else}{endif}), user macros that use each other, quoted
// names and dash comments. The input is NUL-separated: every part but the last
// is a user macro "name SOH value SOH condition", the last part is the text.
// An expansion either fails and leaves the text as it was, or ends with a
// text of bounded size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "MySql/MySQLVixProvider.h"
#include "universal/Vix.h"

namespace {

// Enough for chains, cycles and conditions on each other.
constexpr size_t kMaxMacros = 8;

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static vix::TMySQLVixProvider provider;
  const std::vector<std::string_view> parts = Split(std::string_view(reinterpret_cast<const char*>(data), size), '\0');
  vix::TVixSqlNotation notation;
  for (size_t i = 0; i + 1 < parts.size() && i < kMaxMacros; ++i) {
    const std::vector<std::string_view> macro = Split(parts[i], '\1');
    notation.Macros.Add(vix::U(macro[0]), macro.size() > 1 ? vix::U(macro[1]) : vix::UString(),
                        macro.size() > 2 ? vix::U(macro[2]) : vix::UString());
  }
  const vix::UString sql = vix::U(parts.back());
  vix::UString text = sql;
  try {
    notation.ExpandSqlNotation(&provider, text);
  } catch (const vix::Exception&) {
    if (text != sql) std::abort();  // a failed expansion changed the text
    return 0;
  }
  // Comments grow by their two extra characters, macros and templates by their limit.
  if (text.size() > 2 * sql.size() + 2 * vix::kMaxNotationGrowth) std::abort();
  return 0;
}
