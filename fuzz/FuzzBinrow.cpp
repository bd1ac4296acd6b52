// Binary rows of prepared statements, and the values in them. The first byte
// is the column count, the next that many bytes the column types; the rest
// is the row. Each value is read as a value and as the server's text.
#include <vector>

#include "FuzzSupport.h"
#include "MySql/MySqlStmt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size < 1 + size_t{data[0]}) return 0;
  const std::span<const uint8_t> types(data + 1, data[0]);
  const vix::ByteSpan row = vix::fuzz::Input(data + 1 + data[0], size - 1 - data[0]);
  std::vector<vix::TMySqlBind> binds;
  try {
    vix::DecodeBinaryRow(row, types, binds);
  } catch (const vix::EMySqlException&) {
    return 0;
  }
  for (size_t i = 0; i < binds.size(); ++i) {
    const vix::TMySqlBind& b = binds[i];
    if (b.IsNull) continue;
    if (b.Offset > row.size() || b.Length > row.size() - b.Offset) __builtin_trap();
    vix::TMySqlFieldInfo field;
    field._Type = types[i];
    field.Flags = (i % 2) ? vix::UNSIGNED_FLAG : 0;
    // Decimals and widths from the type byte, ZEROFILL on every third column.
    field.Scale = types[i] % 8;
    field.Length = types[i] % 70;
    if (i % 3 == 0) field.Flags |= 64;
    try {
      vix::BinaryValue(field, row.subspan(b.Offset, b.Length));
    } catch (const vix::EMySqlException&) {
    }
    try {
      vix::BinaryValueText(field, row.subspan(b.Offset, b.Length));
    } catch (const vix::EMySqlException&) {
    }
  }
  return 0;
}
