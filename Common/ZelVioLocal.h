// The local transport: a Unix-domain stream socket to a server on this machine.
#pragma once

#include <string>

#include "Common/ZelVioTcp.h"

namespace vix {

// The socket path a session uses: the socket setting as it is, or the
// server's usual path when the setting is empty.
std::string LocalSocketPath(const std::string& socketSetting);
constexpr const char* kDefaultLocalSocket = "/run/mysqld/mysqld.sock";

// True for the host names that mean this machine: empty, "." and "localhost"
// in any case.
bool IsLocalHostName(const std::string& host);

// Connects to the path (not to host and port) and then reads and writes like
// the TCP transport, with its receive and send time-outs. Connect raises
//  - 2017 (CR_NAMEDPIPEOPEN_ERROR) when the socket cannot be opened: no such
//    path, not a socket, nobody listening, a host that is not this machine;
//  - 2016 (CR_NAMEDPIPEWAIT_ERROR) when the listener stays busy until the
//    connection time-out (one deadline for all attempts);
//  - 2018 (CR_NAMEDPIPESETSTATE_ERROR) when the connected socket cannot be
//    given its blocking mode and time-outs.
// Each message names the host, the path and the system's text for the error.
class TZelVioLocal : public TZelVioTcp {
 public:
  TZelVioLocal(std::string hostname, std::string socketSetting, int port);

  void Connect() override;
  const std::string& SocketPath() const { return FPath; }

 private:
  [[noreturn]] void Fail(int code, const char16_t* what, int errnoValue);

  std::string FPath;
};

}  // namespace vix
