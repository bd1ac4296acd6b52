#include "Common/ZelVioTcp.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#endif

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
constexpr int kErrInterrupted = 10004;
constexpr int kErrWouldBlock = 10035;
constexpr int kErrInProgress = 10036;

// The platform's socket calls, with their errors as Windows socket numbers:
// Winsock's own on Windows, the errno table's elsewhere.
#ifdef _WIN32
constexpr int kSendFlags = 0;

int SystemSocketError(int error) {
  return error;
}
int LastSocketError() {
  return WSAGetLastError();
}
void CloseSocket(int fd) {
  ::closesocket(static_cast<SOCKET>(fd));
}
bool SetNonBlocking(int fd, bool on) {
  u_long mode = on ? 1 : 0;
  return ::ioctlsocket(static_cast<SOCKET>(fd), FIONBIO, &mode) == 0;
}
// Sends of the bounded write: never blocking; a full socket "would block".
constexpr int kNoWaitFlags = 0;  // the socket is switched to non-blocking instead
bool WouldBlock() {
  return WSAGetLastError() == WSAEWOULDBLOCK;
}
bool ParseDotted(const std::string& host, uint32_t& address) {
  in_addr dotted{};
  if (inet_pton(AF_INET, host.c_str(), &dotted) != 1) return false;
  address = dotted.s_addr;
  return true;
}
#else
constexpr int kSendFlags = MSG_NOSIGNAL;  // a peer that went away gives EPIPE, not a signal

int SystemSocketError(int error) {
  return WinSockErrorFromErrno(error);
}
int LastSocketError() {
  return WinSockErrorFromErrno(errno);
}
void CloseSocket(int fd) {
  ::close(fd);
}
bool SetNonBlocking(int fd, bool on) {
  const int flags = fcntl(fd, F_GETFL);
  return flags != -1 && fcntl(fd, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0;
}
constexpr int kNoWaitFlags = MSG_DONTWAIT;
bool WouldBlock() {
  return errno == EAGAIN || errno == EWOULDBLOCK;
}
bool ParseDotted(const std::string& host, uint32_t& address) {
  in_addr dotted{};
  if (inet_aton(host.c_str(), &dotted) == 0) return false;
  address = dotted.s_addr;
  return true;
}
#endif

// Winsock is started once per process, before the first socket; a failed
// start is tried again by the next connect.
void StartSockets() {
#ifdef _WIN32
  static std::mutex lock;
  static bool started = false;
  std::lock_guard<std::mutex> guard(lock);
  if (started) return;
  WSADATA data{};
  const int rc = WSAStartup(MAKEWORD(2, 2), &data);
  if (rc != 0) throw SocketException(u"WSAStartup failed. Error code %d", {rc}, rc);
  started = true;
#endif
}

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

std::atomic<THostLookup> gLookup{&SystemLookup};

enum class TWait { Readable, Writable };

// Waits until the socket is readable or writable (a failed connect counts as
// writable); resumed after a signal with the time left. Returns 1 when ready,
// 0 at the time limit (negative: none), -1 on failure.
int WaitSocket(int fd, TWait what, int timeoutMs) {
#ifdef _WIN32
  fd_set ready, failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(static_cast<SOCKET>(fd), &ready);
  FD_SET(static_cast<SOCKET>(fd), &failed);
  timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  const int rc = ::select(0, what == TWait::Readable ? &ready : nullptr, what == TWait::Writable ? &ready : nullptr,
                          what == TWait::Writable ? &failed : nullptr, timeoutMs < 0 ? nullptr : &limit);
  return rc == SOCKET_ERROR ? -1 : (rc > 0 ? 1 : 0);
#else
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    pollfd p{fd, static_cast<short>(what == TWait::Readable ? POLLIN : POLLOUT), 0};
    const int rc = poll(&p, 1, timeoutMs);
    if (rc >= 0) return rc > 0 ? 1 : 0;
    if (errno != EINTR) return -1;
    if (timeoutMs >= 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      timeoutMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
  }
#endif
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
#ifdef _WIN32
  // Winsock takes milliseconds; 0 is no limit.
  const DWORD tv = static_cast<DWORD>(std::clamp<int64_t>(int64_t{seconds} * 1000, 0, 0x7FFFFFFF));
#else
  timeval tv{};
  tv.tv_sec = seconds > 0 ? seconds : 0;
#endif
  if (setsockopt(FSd, SOL_SOCKET, option, reinterpret_cast<const char*>(&tv), sizeof tv) != 0)
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
  uint32_t dotted = INADDR_NONE;
  if (ParseDotted(Fhostname, dotted)) return dotted;
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
  const bool bounded = FConnectionTimeout >= 1;
  if (bounded) SetNonBlocking(FSd, true);
  int error = 0;
  if (connect(FSd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    error = LastSocketError();
    if (error == kErrInProgress || error == kErrWouldBlock || error == kErrInterrupted) {
      const int rc = WaitSocket(FSd, TWait::Writable, bounded ? PollMilliseconds(FConnectionTimeout) : -1);
      if (rc == 0) {
        error = kErrTimedOut;
      } else if (rc < 0) {
        error = LastSocketError();
      } else {
        int pending = 0;
        socklen_t len = sizeof pending;
        error = getsockopt(FSd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &len) != 0
                    ? LastSocketError()
                    : SystemSocketError(pending);
      }
    }
  }
  if (bounded) SetNonBlocking(FSd, false);
  if (error != 0) {
    SetLastSocketError(u"Socket error on connect. WSAGetLastError return %d($%X)", error);
    throw SocketException(u"Socket error %d", {error}, CR_CONN_HOST_ERROR);
  }
}

void TZelVioTcp::Connect() {
  VIX_VIO_ASSERT(FSd == -1);
  TZelVio::Connect();
  StartSockets();
  if (Fhostname.empty()) Fhostname = "localhost";
#ifdef _WIN32
  FSd = static_cast<int>(socket(AF_INET, SOCK_STREAM, 0));  // INVALID_SOCKET becomes -1
#else
  FSd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
#endif
  if (FSd == -1) throw SocketException(u"Socket error %d", {LastSocketError()}, CR_UNKNOWN_HOST);
  try {
    int error = 0;
    const uint32_t address = ResolveHost(error);
    if (address == INADDR_NONE) throw SocketException(u"Socket error %d", {error}, CR_UNKNOWN_HOST);
    ConnectSocket(address);
    const int on = 1;
    setsockopt(FSd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    setsockopt(FSd, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
    ApplyTimeout(SO_RCVTIMEO, FReceiveTimeout);
    if (FSendTimeout >= 1) ApplyTimeout(SO_SNDTIMEO, FSendTimeout);
  } catch (...) {
    CloseSocket(FSd);
    FSd = -1;
    throw;
  }
}

void TZelVioTcp::Close() {
  if (FSd != -1) {
#ifdef _WIN32
    shutdown(FSd, SD_BOTH);
#else
    shutdown(FSd, SHUT_RDWR);
#endif
    CloseSocket(FSd);
    FSd = -1;
  }
}

int TZelVioTcp::ReadNoWait(uint8_t* buffer, int offset, int count) {
  FLastError.clear();
  if (FSd == -1 || count <= 0) return 0;
  for (;;) {
    const auto n = recv(FSd, reinterpret_cast<char*>(buffer + offset), count, 0);
    if (n >= 0) return static_cast<int>(n);
    const int error = LastSocketError();
    if (error == kErrInterrupted) continue;
    SetLastSocketError(u"Socket error on read. WSAGetLastError return %d($%X)", error);
    return 0;
  }
}

int TZelVioTcp::WriteNoWait(const uint8_t* buffer, int offset, int count) {
  FLastError.clear();
  if (FSd == -1 || count <= 0) return 0;
  for (;;) {
    const auto n = send(FSd, reinterpret_cast<const char*>(buffer + offset), count, kSendFlags);
    if (n >= 0) return static_cast<int>(n);
    const int error = LastSocketError();
    if (error == kErrInterrupted) continue;
    SetLastSocketError(u"Socket error on write. WSAGetLastError return %d($%X)", error);
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
  // Sends that never block: a full socket is waited for here, within the time-out.
#ifdef _WIN32
  SetNonBlocking(FSd, true);
#endif
  int result = 0;
  while (count > 0) {
    const auto n = send(FSd, reinterpret_cast<const char*>(buffer + offset), count, kSendFlags | kNoWaitFlags);
    if (n > 0) {
      offset += static_cast<int>(n);
      result += static_cast<int>(n);
      count -= static_cast<int>(n);
      continue;
    }
    const bool full = n < 0 && WouldBlock();
    const int error = n < 0 ? LastSocketError() : 0;
    if (error == kErrInterrupted) continue;
    if (full) {
      const int rc = WaitSocket(FSd, TWait::Writable, PollMilliseconds(FSendTimeout));
      if (rc > 0) continue;  // room, or an error that the next send reports
      SetLastSocketError(u"Socket error on write. WSAGetLastError return %d($%X)",
                         rc == 0 ? kErrTimedOut : LastSocketError());
      break;
    }
    SetLastSocketError(u"Socket error on write. WSAGetLastError return %d($%X)", error);
    break;
  }
#ifdef _WIN32
  SetNonBlocking(FSd, false);
#endif
  return result;
}

bool TZelVioTcp::WaitForData(int timeout) {
  FLastError.clear();
  const int rc = WaitSocket(FSd, TWait::Readable, PollMilliseconds(timeout));
  if (rc < 0) {
    SetLastSocketError(u"Socket error on select. WSAGetLastError return %d($%X)", LastSocketError());
    throw SocketException(CR_SERVER_GONE_ERROR);
  }
  return rc == 1;
}

}  // namespace vix
