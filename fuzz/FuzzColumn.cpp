// Column definitions. The first byte picks the protocol variant.
#include "FuzzSupport.h"
#include "MySql/MySqlResultSet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  try {
    vix::ParseColumnDefinition(vix::fuzz::Input(data + 1, size - 1), data[0] & 1, data[0] & 2);
  } catch (const vix::EMySqlException&) {
  }
  return 0;
}
