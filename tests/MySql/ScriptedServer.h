// A scripted fake MySQL server for fault tests: a greeting, replies played
// one after each packet of the client, and the markers for a close, a reset
// or a stall.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "LoopbackServer.h"
#include "ServerScript.h"

namespace vix::test {

inline const std::string kFin = "<FIN>";
inline const std::string kRst = "<RST>";
inline const std::string kStall = "<STALL>";

// Waits for the client's next bytes and returns what arrived (empty when it closed).
inline std::string ReadClient(int fd) {
  return RecvSome(fd, 5000);
}

// Plays `replies`: the first at once, each later one after the client's next
// packet. kFin closes (after the bytes before it), kRst resets, kStall waits
// until the client goes. `fd` is a socket, or any channel with its own
// SendAll, ReadClient, RecvUntilIdle and CloseWithReset (a named pipe's end).
template <class Channel>
void Play(Channel fd, const std::vector<std::string>& replies, std::vector<std::string>* received = nullptr) {
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

}  // namespace vix::test
