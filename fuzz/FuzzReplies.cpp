// OK, ERR and EOF packets, and length-encoded values. The first byte picks
// the protocol variant.
#include "FuzzSupport.h"
#include "MySql/MySqlResultSet.h"
#include "MySql/MySqlSession.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  const vix::ByteSpan packet = vix::fuzz::Input(data + 1, size - 1);
  try {
    vix::ParseOkPacket(packet, mode & 1, mode & 2, mode & 4);
  } catch (const vix::EMySqlException&) {
  }
  try {
    vix::EMySqlException e = vix::ServerError(packet);
    (void)e.ErrorCode();
  } catch (const vix::EMySqlException&) {
  }
  try {
    uint16_t warnings = 0, status = 0;
    vix::ParseEofPacket(packet, warnings, status);
  } catch (const vix::EMySqlException&) {
  }
  try {
    vix::TMySqlReader r(packet);
    while (!r.AtEnd()) r.ReadLengthString();
  } catch (const vix::EMySqlException&) {
  }
  return 0;
}
