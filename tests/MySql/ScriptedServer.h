// A scripted fake MySQL server for fault tests: a greeting, replies played
// one after each packet of the client, and the markers for a close, a reset
// or a stall.
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "LoopbackServer.h"
#include "MemoryVio.h"

namespace vix::test {

inline const std::string kFin = "<FIN>";
inline const std::string kRst = "<RST>";
inline const std::string kStall = "<STALL>";

inline std::string B(std::initializer_list<int> b) {
  std::string s;
  for (int v : b) s += static_cast<char>(v);
  return s;
}

// A MariaDB-like greeting: protocol 10, 4.1 capabilities (compression
// included), a 20-byte scramble.
inline std::string GreetingPayload(uint16_t caps = 0xF7FE) {
  return B({10}) + "5.5.5-10.11.6-MariaDB" + '\0' + B({7, 0, 0, 0}) + "abcdefgh" + '\0' +
         B({caps & 0xFF, caps >> 8, 33, 2, 0}) + B({0xFF, 0x81, 21}) + std::string(10, '\0') + "ijklmnopqrst" +
         '\0' + "mysql_native_password" + '\0';
}
inline const std::string kGreeting = Packet(GreetingPayload(), 0);
inline const std::string kLoginOk = Packet(B({0, 0, 0, 2, 0, 0, 0}), 2);

// Waits for the client's next bytes and returns what arrived (empty when it closed).
inline std::string ReadClient(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 5000) <= 0) return std::string();
  char buf[65536];
  const ssize_t n = recv(fd, buf, sizeof buf, 0);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// Plays `replies`: the first at once, each later one after the client's next
// packet. kFin closes (after the bytes before it), kRst resets, kStall waits
// until the client goes.
inline void Play(int fd, const std::vector<std::string>& replies, std::vector<std::string>* received = nullptr) {
  for (size_t i = 0; i < replies.size(); ++i) {
    if (i > 0) {
      const std::string in = ReadClient(fd);
      if (in.empty()) return;
      if (received) received->push_back(in);
    }
    const size_t fin = replies[i].rfind(kFin);
    if (fin != std::string::npos && fin + kFin.size() == replies[i].size()) {
      SendAll(fd, replies[i].substr(0, fin));
      return;
    }
    if (replies[i] == kRst) return CloseWithReset(fd);
    if (replies[i] == kStall) return void(RecvUntilIdle(fd, 10000));
    SendAll(fd, replies[i]);
  }
  RecvUntilIdle(fd, 300);
}

// Column definition of a 4.1 server for one column `name` of type `type`.
inline std::string ColumnDef(const std::string& name = "c", int type = 253, int flags = 0) {
  return B({3}) + "def" + B({2}) + "db" + B({1}) + "t" + B({1}) + "t" + B({static_cast<int>(name.size())}) + name +
         B({static_cast<int>(name.size())}) + name + B({12, 33, 0, 10, 0, 0, 0, type, flags & 0xFF, flags >> 8, 0, 0, 0});
}
inline const std::string kEof = B({0xFE, 0, 0, 2, 0});

}  // namespace vix::test
