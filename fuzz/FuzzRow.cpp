// Text rows. The first byte is the column count.
#include <vector>

#include "FuzzSupport.h"
#include "MySql/MySqlResultSet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  std::vector<vix::TMySqlBind> binds(data[0]);
  const vix::ByteSpan row = vix::fuzz::Input(data + 1, size - 1);
  try {
    vix::DecodeTextRow(row, binds);
    for (const vix::TMySqlBind& b : binds) {
      if (!b.IsNull && (b.Offset > row.size() || b.Length > row.size() - b.Offset)) __builtin_trap();
    }
  } catch (const vix::EMySqlException&) {
  }
  return 0;
}
