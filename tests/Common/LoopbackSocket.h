// The few socket calls of the loopback helpers, the same on Linux and on
// Windows (Winsock, started on first use). Sockets are ints on both.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
// windows.h names these as macros (SetPropA ...); the data-access classes have
// methods of the same names.
#undef GetProp
#undef SetProp
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace vix::test {

#ifdef _WIN32
constexpr int kNoSignal = 0;
constexpr int kShutWrite = SD_SEND;
inline int OpenTcpSocket() {
  static const bool started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started ? static_cast<int>(socket(AF_INET, SOCK_STREAM, 0)) : -1;
}
inline void CloseFd(int fd) {
  closesocket(static_cast<SOCKET>(fd));
}
inline int AcceptFd(int fd) {
  return static_cast<int>(accept(static_cast<SOCKET>(fd), nullptr, nullptr));
}
#else
constexpr int kNoSignal = MSG_NOSIGNAL;
constexpr int kShutWrite = SHUT_WR;
inline int OpenTcpSocket() {
  return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}
inline void CloseFd(int fd) {
  close(fd);
}
inline int AcceptFd(int fd) {
  return accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
}
#endif

// Waits up to `ms` for input on the `n` sockets; `ready[i]` tells which have
// some (or were closed). Returns how many are ready, 0 at the time limit.
inline int PollInput(const int* fds, bool* ready, int n, int ms) {
  pollfd p[2]{};
  if (n > 2) return -1;
  for (int i = 0; i < n; ++i) {
    p[i].fd = static_cast<decltype(p[i].fd)>(fds[i]);
    p[i].events = POLLIN;
  }
#ifdef _WIN32
  const int rc = WSAPoll(p, static_cast<ULONG>(n), ms);
#else
  const int rc = poll(p, static_cast<nfds_t>(n), ms);
#endif
  for (int i = 0; i < n; ++i) ready[i] = rc > 0 && p[i].revents != 0;
  return rc;
}
inline bool WaitReadable(int fd, int ms) {
  bool ready = false;
  return PollInput(&fd, &ready, 1, ms) > 0;
}

}  // namespace vix::test
