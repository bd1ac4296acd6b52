#include "LoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace vix::test {

namespace {

int ListenOnLoopback(int& port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket");
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 8) != 0) {
    close(fd);
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
  close(FListen);
}

void TLoopbackServer::Run(Handler onClient, int maxClients) {
  while (!FStop && FAccepted < maxClients) {
    pollfd p{FListen, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    const int fd = accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++FAccepted;
    onClient(fd);
    close(fd);
  }
}

bool SendAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool RecvExactly(int fd, std::string& bytes, size_t count) {
  bytes.resize(count);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = recv(fd, bytes.data() + done, count - done, 0);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string RecvUntilIdle(int fd, int idleMs) {
  std::string all;
  char buf[65536];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, idleMs) <= 0) break;
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    all.append(buf, static_cast<size_t>(n));
  }
  return all;
}

void CloseWithReset(int fd) {
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

int UnusedLoopbackPort() {
  int port = 0;
  close(ListenOnLoopback(port));
  return port;
}

}  // namespace vix::test
