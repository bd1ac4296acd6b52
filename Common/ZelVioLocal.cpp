#include "Common/ZelVioLocal.h"

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace vix {

std::string LocalSocketPath(const std::string& socketSetting) {
  return socketSetting.empty() ? std::string(kDefaultLocalSocket) : socketSetting;
}

bool IsLocalHostName(const std::string& host) {
  if (host.empty() || host == ".") return true;
  static constexpr char kLocal[] = "localhost";
  if (host.size() != sizeof kLocal - 1) return false;
  for (size_t i = 0; i < host.size(); ++i)
    if ((host[i] | 0x20) != kLocal[i]) return false;
  return true;
}

std::string NamedPipePath(const std::string& host, const std::string& pipeSetting) {
  return "\\\\" + (IsLocalHostName(host) ? std::string(".") : host) + "\\pipe\\" +
         (pipeSetting.empty() ? std::string(kDefaultPipeName) : pipeSetting);
}

// The named-pipe side (Windows) is in ZelVioLocalPipe_win.cpp.
#ifndef _WIN32

TZelVioLocal::TZelVioLocal(std::string hostname, std::string socketSetting, int port)
    : TZelVioTcp(std::move(hostname), port), FPath(LocalSocketPath(socketSetting)) {}

void TZelVioLocal::Fail(int code, const char16_t* what, int systemError) {
  const UString text = Utf8ToUtf16Lenient(systemError != 0 ? std::strerror(systemError) : "");
  FLastError = Format(u"%s to host: %s  socket: %s (%s)",
                      {what, Utf8ToUtf16Lenient(Fhostname), Utf8ToUtf16Lenient(FPath), text});
  if (FSd != -1) {
    ::close(FSd);
    FSd = -1;
  }
  throw SocketException(u"%s", {FLastError}, code);
}

// A listener whose queue is full answers EAGAIN: that is a busy server, tried
// again until the connection time-out has passed (no time-out: a busy server
// fails at once). Every other failure ends the connect.
void TZelVioLocal::Connect() {
  VIX_VIO_ASSERT(FSd == -1);
  TZelVio::Connect();
  if (!IsLocalHostName(Fhostname)) Fail(CR_NAMEDPIPEOPEN_ERROR, u"Cannot open local socket", EHOSTUNREACH);
  sockaddr_un to{};
  to.sun_family = AF_UNIX;
  if (FPath.empty() || FPath.size() >= sizeof to.sun_path || FPath.find('\0') != std::string::npos)
    Fail(CR_NAMEDPIPEOPEN_ERROR, u"Cannot open local socket", ENAMETOOLONG);
  std::memcpy(to.sun_path, FPath.data(), FPath.size());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(std::max(FConnectionTimeout, 0));
  for (;;) {
    FSd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (FSd == -1) Fail(CR_NAMEDPIPEOPEN_ERROR, u"Cannot open local socket", errno);
    int rc;
    do {
      rc = connect(FSd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) break;
    const int error = errno;
    if (error != EAGAIN) Fail(CR_NAMEDPIPEOPEN_ERROR, u"Cannot open local socket", error);
    ::close(FSd);
    FSd = -1;
    const auto now = std::chrono::steady_clock::now();
    if (FConnectionTimeout < 1 || now >= deadline)
      Fail(CR_NAMEDPIPEWAIT_ERROR, u"Local socket stayed busy", FConnectionTimeout < 1 ? EAGAIN : ETIMEDOUT);
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(std::chrono::milliseconds(20), deadline - now));
  }
  try {
    const int flags = fcntl(FSd, F_GETFL);
    if (flags == -1 || fcntl(FSd, F_SETFL, flags & ~O_NONBLOCK) == -1)
      Fail(CR_NAMEDPIPESETSTATE_ERROR, u"Cannot set the mode of local socket", errno);
    ApplyTimeout(SO_RCVTIMEO, FReceiveTimeout);
    if (FSendTimeout >= 1) ApplyTimeout(SO_SNDTIMEO, FSendTimeout);
  } catch (const SocketException& e) {
    if (e.ErrorCode() == CR_NAMEDPIPESETSTATE_ERROR) throw;
    Fail(CR_NAMEDPIPESETSTATE_ERROR, u"Cannot set the mode of local socket", errno);
  }
}

#endif  // !_WIN32

}  // namespace vix
