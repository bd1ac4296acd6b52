// A TCP proxy on 127.0.0.1 that a test steers, for fault tests: it passes
// bytes to a target port on loopback, or stalls, resets, refuses, or cuts the
// stream from the target after a number of bytes. Connections are served one
// after another; the proxy serves at most `maxClients` of them.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <thread>

namespace vix::test {

class TLoopbackProxy {
 public:
  enum class Mode {
    Pass,    // forward both ways
    Stall,   // forward nothing; keep the connections open
    Reset,   // reset the client's connection (RST)
    Refuse,  // reset new connections at once
    Cut,     // forward `cutAfter` more bytes to the client, then close it (FIN)
  };
  explicit TLoopbackProxy(int targetPort, int maxClients = 16);
  ~TLoopbackProxy();
  TLoopbackProxy(const TLoopbackProxy&) = delete;
  TLoopbackProxy& operator=(const TLoopbackProxy&) = delete;

  int Port() const { return FPort; }
  void SetMode(Mode mode, size_t cutAfter = 0);
  // Bytes passed from the target to clients so far.
  size_t BytesToClient() const { return FToClient.load(); }

 private:
  void Run(int maxClients);
  // Serves one client; returns when either side is gone or the proxy stops.
  void Serve(int client);

  int FListen = -1;
  int FPort = 0;
  int FTarget;
  std::mutex FLock;
  Mode FMode = Mode::Pass;
  size_t FCutLeft = 0;
  std::atomic<size_t> FToClient{0};
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

}  // namespace vix::test
