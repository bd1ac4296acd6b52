// Bytes a MySQL server sends, for scripted servers in tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include "MemoryVio.h"

namespace vix::test {

inline std::string B(std::initializer_list<int> b) {
  std::string s;
  for (int v : b) s += static_cast<char>(v);
  return s;
}

// A MariaDB-like greeting: protocol 10, 4.1 capabilities (compression
// included), a 20-byte scramble "abcdefghijklmnopqrst"; `mariadbCaps` in
// the last four of the ten reserved bytes (MariaDB's extended capabilities).
inline std::string GreetingPayload(uint16_t caps = 0xF7FE, uint32_t mariadbCaps = 0) {
  return B({10}) + "5.5.5-10.11.6-MariaDB" + '\0' + B({7, 0, 0, 0}) + "abcdefgh" + '\0' +
         B({caps & 0xFF, caps >> 8, 33, 2, 0}) + B({0xFF, 0x81, 21}) + std::string(6, '\0') +
         B({static_cast<int>(mariadbCaps & 0xFF), static_cast<int>((mariadbCaps >> 8) & 0xFF),
            static_cast<int>((mariadbCaps >> 16) & 0xFF), static_cast<int>(mariadbCaps >> 24)}) +
         "ijklmnopqrst" + '\0' + "mysql_native_password" + '\0';
}
inline const std::string kGreeting = Packet(GreetingPayload(), 0);
inline const std::string kLoginOk = Packet(B({0, 0, 0, 2, 0, 0, 0}), 2);

// Column definition of a 4.1 server for one column `name` of type `type`.
inline std::string ColumnDef(const std::string& name = "c", int type = 253, int flags = 0) {
  return B({3}) + "def" + B({2}) + "db" + B({1}) + "t" + B({1}) + "t" + B({static_cast<int>(name.size())}) + name +
         B({static_cast<int>(name.size())}) + name +
         B({12, 33, 0, 10, 0, 0, 0, type, flags & 0xFF, flags >> 8, 0, 0, 0});
}
inline const std::string kEof = B({0xFE, 0, 0, 2, 0});

}  // namespace vix::test
