// A TCP listener on 127.0.0.1 for tests: each accepted connection is handed
// to a function on the server's thread. Bounded: it serves at most
// `maxClients` connections and stops when destroyed.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace vix::test {

class TLoopbackServer {
 public:
  using Handler = std::function<void(int fd)>;
  explicit TLoopbackServer(Handler onClient, int maxClients = 1);
  ~TLoopbackServer();
  TLoopbackServer(const TLoopbackServer&) = delete;
  TLoopbackServer& operator=(const TLoopbackServer&) = delete;

  int Port() const { return FPort; }
  // Number of connections accepted so far.
  int Accepted() const { return FAccepted.load(); }

 private:
  void Run(Handler onClient, int maxClients);

  int FListen = -1;
  int FPort = 0;
  std::atomic<bool> FStop{false};
  std::atomic<int> FAccepted{0};
  std::thread FThread;
};

// Blocking helpers over a connected socket; false when the peer went away.
bool SendAll(int fd, const std::string& bytes);
bool RecvExactly(int fd, std::string& bytes, size_t count);
// Waits up to `waitMs` for data and reads what is there (empty when the
// peer closed or nothing came).
std::string RecvSome(int fd, int waitMs);
// Reads what arrives until the peer closes or `idleMs` pass without data.
std::string RecvUntilIdle(int fd, int idleMs);
// Makes the coming close of `fd` a reset (RST) instead of an orderly close.
void CloseWithReset(int fd);
// A port on 127.0.0.1 on which nothing listens (bound once, then released).
int UnusedLoopbackPort();

}  // namespace vix::test
