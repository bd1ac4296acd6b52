#include "LoopbackServer.h"

#include <stdexcept>

#include "LoopbackSocket.h"

namespace vix::test {

namespace {

int ListenOnLoopback(int& port) {
  const int fd = OpenTcpSocket();
  if (fd < 0) throw std::runtime_error("socket");
#ifndef _WIN32  // on Windows it would let another listener take the port
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#endif
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 8) != 0) {
    CloseFd(fd);
    throw std::runtime_error("bind/listen");
  }
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

}  // namespace

TLoopbackServer::TLoopbackServer(Handler onClient, int maxClients) {
  FListen = ListenOnLoopback(FPort);
  FThread = std::thread([this, onClient = std::move(onClient), maxClients] { Run(onClient, maxClients); });
}

TLoopbackServer::~TLoopbackServer() {
  FStop = true;
  if (FThread.joinable()) FThread.join();
  CloseFd(FListen);
}

void TLoopbackServer::Run(Handler onClient, int maxClients) {
  while (!FStop && FAccepted < maxClients) {
    if (!WaitReadable(FListen, 50)) continue;
    const int fd = AcceptFd(FListen);
    if (fd < 0) continue;
    ++FAccepted;
    onClient(fd);
    CloseFd(fd);
  }
}

bool SendAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const auto n = send(fd, bytes.data() + done, static_cast<int>(bytes.size() - done), kNoSignal);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool RecvExactly(int fd, std::string& bytes, size_t count) {
  bytes.resize(count);
  size_t done = 0;
  while (done < count) {
    const auto n = recv(fd, bytes.data() + done, static_cast<int>(count - done), 0);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string RecvSome(int fd, int waitMs) {
  if (!WaitReadable(fd, waitMs)) return std::string();
  char buf[65536];
  const auto n = recv(fd, buf, sizeof buf, 0);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string RecvUntilIdle(int fd, int idleMs) {
  std::string all;
  char buf[65536];
  for (;;) {
    if (!WaitReadable(fd, idleMs)) break;
    const auto n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    all.append(buf, static_cast<size_t>(n));
  }
  return all;
}

void CloseWithReset(int fd) {
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
}

int UnusedLoopbackPort() {
  int port = 0;
  CloseFd(ListenOnLoopback(port));
  return port;
}

}  // namespace vix::test
