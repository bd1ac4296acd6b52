#include "Common/ZelVioTcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>

namespace vix {

namespace {

constexpr int kErrTimedOut = 10060;

// What a resolver thread and the transport that waits for it share. The thread
// owns a reference, so a transport that gave up waiting leaves it behind safely.
struct LookupState {
  std::mutex lock;
  std::condition_variable finished;
  bool done = false;
  std::string host;
  uint32_t address = INADDR_NONE;
  int error = 0;
};

// getaddrinfo for IPv4; returns INADDR_NONE and the Windows error number on failure.
uint32_t SystemLookup(const std::string& host, int& error) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (rc != 0 || list == nullptr) {
    error = WinSockErrorFromResolver(rc != 0 ? rc : EAI_NONAME, errno);
    if (list) freeaddrinfo(list);
    return INADDR_NONE;
  }
  const uint32_t address = reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(list);
  return address;
}

int LastSocketError() {
  return WinSockErrorFromErrno(errno);
}

std::atomic<THostLookup> gLookup{&SystemLookup};

// poll on one descriptor, resumed after a signal with the time left.
int PollOne(int fd, short events, int timeoutMs, short& revents) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    pollfd p{fd, events, 0};
    const int rc = poll(&p, 1, timeoutMs);
    if (rc >= 0) {
      revents = p.revents;
      return rc;
    }
    if (errno != EINTR) return rc;
    if (timeoutMs >= 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      timeoutMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
  }
}

// Seconds as poll's milliseconds, capped rather than overflowed; negative: no limit.
int PollMilliseconds(int seconds) {
  if (seconds < 0) return -1;
  return static_cast<int>(std::min<int64_t>(int64_t{seconds} * 1000, std::numeric_limits<int>::max()));
}

}  // namespace

TZelVioTcp::~TZelVioTcp() {
  Close();
}

void TZelVioTcp::SetLastSocketError(const char16_t* fmt, int winsock) {
  FLastError = Format(fmt, {winsock, winsock});
}

void TZelVioTcp::SetHost(const std::string& host) {
  if (FSd != -1) throw SocketException(u"Cannot change Host for open socket.", {}, CR_VERSION_ERROR);
  Fhostname = host;
}

void TZelVioTcp::SetPort(int port) {
  if (FSd != -1) throw SocketException(u"Cannot change Port for open socket.", {}, CR_VERSION_ERROR);
  Fport = port;
}

void TZelVioTcp::SetTimeout(int seconds) {
  SetReceiveTimeout(seconds);
  FConnectionTimeout = seconds;
}

void TZelVioTcp::ApplyTimeout(int option, int seconds) {
  timeval tv{};
  tv.tv_sec = seconds > 0 ? seconds : 0;
  if (setsockopt(FSd, SOL_SOCKET, option, &tv, sizeof tv) != 0)
    throw SocketException(u"Socket error %d", {LastSocketError()}, CR_SERVER_GONE_ERROR);
}

void TZelVioTcp::SetReceiveTimeout(int seconds) {
  if (seconds == FReceiveTimeout) return;
  FReceiveTimeout = seconds;
  if (FSd != -1) ApplyTimeout(SO_RCVTIMEO, seconds);
}

void TZelVioTcp::SetSendTimeout(int seconds) {
  if (seconds == FSendTimeout) return;
  FSendTimeout = seconds;
  if (FSd != -1 && seconds >= 1) ApplyTimeout(SO_SNDTIMEO, seconds);
}

THostLookup TZelVioTcp::SetHostLookup(THostLookup lookup) {
  return gLookup.exchange(lookup ? lookup : &SystemLookup);
}

uint32_t TZelVioTcp::ResolveHost(int& error) {
  in_addr dotted{};
  if (inet_aton(Fhostname.c_str(), &dotted) != 0) return dotted.s_addr;
  const THostLookup lookup = gLookup.load();
  if (FConnectionTimeout < 1) {
    const uint32_t address = lookup(Fhostname, error);
    if (address == INADDR_NONE) SetLastSocketError(u"Socket error on connect. WSAGetLastError return %d($%X)", error);
    return address;
  }
  auto state = std::make_shared<LookupState>();
  state->host = Fhostname;
  std::thread([state, lookup] {
    int err = 0;
    const uint32_t address = lookup(state->host, err);
    std::lock_guard<std::mutex> guard(state->lock);
    state->address = address;
    state->error = err;
    state->done = true;
    state->finished.notify_all();
  }).detach();
  std::unique_lock<std::mutex> guard(state->lock);
  if (!state->finished.wait_for(guard, std::chrono::seconds(FConnectionTimeout), [&] { return state->done; })) {
    FLastError = u"Connection timed out";
    error = kErrTimedOut;
    return INADDR_NONE;
  }
  error = state->error;
  if (state->address == INADDR_NONE)
    SetLastSocketError(u"Socket error on connect. WSAGetLastError return %d($%X)", state->error);
  return state->address;
}

// A blocking connect, bounded by ConnectionTimeout when that is set: a peer
// that never answers must not hold the caller for the system's minutes.
void TZelVioTcp::ConnectSocket(uint32_t address) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(Fport));
  to.sin_addr.s_addr = address;
  const int flags = fcntl(FSd, F_GETFL);
  const bool bounded = FConnectionTimeout >= 1;
  if (bounded) fcntl(FSd, F_SETFL, flags | O_NONBLOCK);
  int error = 0;
  if (connect(FSd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    error = errno;
    if (error == EINPROGRESS || error == EINTR) {
      short revents = 0;
      const int rc = PollOne(FSd, POLLOUT, bounded ? PollMilliseconds(FConnectionTimeout) : -1, revents);
      if (rc == 0) {
        error = ETIMEDOUT;
      } else if (rc < 0) {
        error = errno;
      } else {
        socklen_t len = sizeof error;
        if (getsockopt(FSd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
      }
    }
  }
  if (bounded) fcntl(FSd, F_SETFL, flags);
  if (error != 0) {
    const int winsock = WinSockErrorFromErrno(error);
    SetLastSocketError(u"Socket error on connect. WSAGetLastError return %d($%X)", winsock);
    throw SocketException(u"Socket error %d", {winsock}, CR_CONN_HOST_ERROR);
  }
}

void TZelVioTcp::Connect() {
  VIX_VIO_ASSERT(FSd == -1);
  TZelVio::Connect();
  if (Fhostname.empty()) Fhostname = "localhost";
  FSd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (FSd == -1) throw SocketException(u"Socket error %d", {LastSocketError()}, CR_UNKNOWN_HOST);
  try {
    int error = 0;
    const uint32_t address = ResolveHost(error);
    if (address == INADDR_NONE) throw SocketException(u"Socket error %d", {error}, CR_UNKNOWN_HOST);
    ConnectSocket(address);
    const int on = 1;
    setsockopt(FSd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(FSd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ApplyTimeout(SO_RCVTIMEO, FReceiveTimeout);
    if (FSendTimeout >= 1) ApplyTimeout(SO_SNDTIMEO, FSendTimeout);
  } catch (...) {
    ::close(FSd);
    FSd = -1;
    throw;
  }
}

void TZelVioTcp::Close() {
  if (FSd != -1) {
    shutdown(FSd, SHUT_RDWR);
    ::close(FSd);
    FSd = -1;
  }
}

int TZelVioTcp::ReadNoWait(uint8_t* buffer, int offset, int count) {
  FLastError.clear();
  if (FSd == -1 || count <= 0) return 0;
  for (;;) {
    const ssize_t n = recv(FSd, buffer + offset, static_cast<size_t>(count), 0);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    SetLastSocketError(u"Socket error on read. WSAGetLastError return %d($%X)", LastSocketError());
    return 0;
  }
}

int TZelVioTcp::WriteNoWait(const uint8_t* buffer, int offset, int count) {
  FLastError.clear();
  if (FSd == -1 || count <= 0) return 0;
  for (;;) {
    // MSG_NOSIGNAL: a peer that went away gives EPIPE, not a signal that ends the process.
    const ssize_t n = send(FSd, buffer + offset, static_cast<size_t>(count), MSG_NOSIGNAL);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    SetLastSocketError(u"Socket error on write. WSAGetLastError return %d($%X)", LastSocketError());
    return 0;
  }
}

// With a send time-out, a peer that stops reading holds a write for that long
// and no longer: every wait for room in the socket is bounded by the time-out,
// and a wait that ends without room ends the write (LastError: 10060). The
// retries of the base would repeat the wait.
int TZelVioTcp::Write(const uint8_t* buffer, int offset, int count) {
  if (FSd == -1) return 0;
  if (FSendTimeout < 1) return TZelVio::Write(buffer, offset, count);
  VIX_VIO_ASSERT(count >= 0 && offset >= 0);
  FLastError.clear();
  int result = 0;
  while (count > 0) {
    const ssize_t n = send(FSd, buffer + offset, static_cast<size_t>(count), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      offset += static_cast<int>(n);
      result += static_cast<int>(n);
      count -= static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      short revents = 0;
      const int rc = PollOne(FSd, POLLOUT, PollMilliseconds(FSendTimeout), revents);
      if (rc > 0) continue;  // room, or an error that the next send reports
      SetLastSocketError(u"Socket error on write. WSAGetLastError return %d($%X)",
                         rc == 0 ? kErrTimedOut : LastSocketError());
      break;
    }
    SetLastSocketError(u"Socket error on write. WSAGetLastError return %d($%X)", LastSocketError());
    break;
  }
  return result;
}

bool TZelVioTcp::WaitForData(int timeout) {
  FLastError.clear();
  short revents = 0;
  const int rc = PollOne(FSd, POLLIN, PollMilliseconds(timeout), revents);
  if (rc < 0) {
    SetLastSocketError(u"Socket error on select. WSAGetLastError return %d($%X)", LastSocketError());
    throw SocketException(CR_SERVER_GONE_ERROR);
  }
  return rc == 1;
}

}  // namespace vix
