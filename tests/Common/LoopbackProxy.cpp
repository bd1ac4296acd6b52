#include "LoopbackProxy.h"

#include <algorithm>
#include <stdexcept>

#include "LoopbackServer.h"
#include "LoopbackSocket.h"

namespace vix::test {

namespace {

int ConnectLoopback(int port) {
  const int fd = OpenTcpSocket();
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
  if (fd >= 0) CloseFd(fd);
  return -1;
}

}  // namespace

TLoopbackProxy::TLoopbackProxy(int targetPort, int maxClients) : FTarget(targetPort) {
  FListen = OpenTcpSocket();
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (FListen < 0 || bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(FListen, 8) != 0)
    throw std::runtime_error("proxy: bind/listen");
  socklen_t len = sizeof a;
  getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len);
  FPort = ntohs(a.sin_port);
  FThread = std::thread([this, maxClients] { Run(maxClients); });
}

TLoopbackProxy::~TLoopbackProxy() {
  FStop = true;
  FThread.join();
  CloseFd(FListen);
}

void TLoopbackProxy::SetMode(Mode mode, size_t cutAfter) {
  std::lock_guard<std::mutex> guard(FLock);
  FMode = mode;
  FCutLeft = cutAfter;
}

void TLoopbackProxy::Run(int maxClients) {
  for (int served = 0; !FStop && served < maxClients;) {
    if (!WaitReadable(FListen, 20)) continue;
    const int client = AcceptFd(FListen);
    if (client < 0) continue;
    ++served;
    Serve(client);
    CloseFd(client);
  }
}

void TLoopbackProxy::Serve(int client) {
  {
    std::lock_guard<std::mutex> guard(FLock);
    if (FMode == Mode::Refuse) {
      CloseWithReset(client);
      return;
    }
  }
  const int upstream = ConnectLoopback(FTarget);
  if (upstream < 0) return;
  char buf[65536];
  while (!FStop) {
    Mode mode;
    size_t cutLeft;
    {
      std::lock_guard<std::mutex> guard(FLock);
      mode = FMode;
      cutLeft = FCutLeft;
    }
    if (mode == Mode::Reset) {
      CloseWithReset(client);
      break;
    }
    if (mode == Mode::Cut && cutLeft == 0) {
      // An orderly end (FIN): closing with unread input would reset instead.
      shutdown(client, kShutWrite);
      RecvUntilIdle(client, 5000);
      break;
    }
    const int fds[2] = {client, upstream};
    bool ready[2] = {};
    if (PollInput(fds, ready, 2, 20) <= 0 || mode == Mode::Stall) continue;
    if (ready[0]) {
      const auto n = recv(client, buf, sizeof buf, 0);
      if (n <= 0 || !SendAll(upstream, std::string(buf, static_cast<size_t>(n)))) break;
    }
    if (ready[1]) {
      const size_t want = mode == Mode::Cut ? std::min(sizeof buf, cutLeft) : sizeof buf;
      const auto n = recv(upstream, buf, static_cast<int>(want), 0);
      if (n <= 0 || !SendAll(client, std::string(buf, static_cast<size_t>(n)))) break;
      FToClient += static_cast<size_t>(n);
      if (mode == Mode::Cut) {
        std::lock_guard<std::mutex> guard(FLock);
        FCutLeft -= std::min(FCutLeft, static_cast<size_t>(n));
      }
    }
  }
  CloseFd(upstream);
}

}  // namespace vix::test
