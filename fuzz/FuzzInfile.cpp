// The files that a query reads with LOAD DATA LOCAL INFILE, as the session
// finds them in the query's text. The first byte's bit 0 switches backslash
// escapes on; the rest is the text. Every name comes from a literal of its
// own, so the names together are never longer than the text.
#include <string_view>

#include "FuzzSupport.h"
#include "MySql/MySqlSession.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string_view sql(reinterpret_cast<const char*>(data + 1), size - 1);
  size_t total = 0;
  for (const std::string& name : vix::LocalInfileNames(sql, (data[0] & 1) != 0)) total += name.size();
  if (total > sql.size()) __builtin_trap();
  return 0;
}
