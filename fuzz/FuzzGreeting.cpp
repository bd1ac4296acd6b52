// The server greeting.
#include "FuzzSupport.h"
#include "MySql/MySqlSession.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    vix::ParseGreeting(vix::fuzz::Input(data, size));
  } catch (const vix::EMySqlException&) {
  }
  return 0;
}
