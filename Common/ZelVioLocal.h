// The local transport: a Unix-domain stream socket to a server on this
// machine; on Windows a named pipe to a server on this machine or another.
#pragma once

#include <string>

#include "Common/ZelVioTcp.h"

namespace vix {

// The socket path a session uses: the socket setting as it is, or the
// server's usual path when the setting is empty.
std::string LocalSocketPath(const std::string& socketSetting);
constexpr const char* kDefaultLocalSocket = "/run/mysqld/mysqld.sock";

// The named pipe a session opens on Windows: \\host\pipe\name, the host "."
// for this machine (see IsLocalHostName), the name "MySQL" when the setting
// is empty.
std::string NamedPipePath(const std::string& host, const std::string& pipeSetting);
constexpr const char* kDefaultPipeName = "MySQL";

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
//
// On Windows the path is NamedPipePath's and the errors are the same three:
// 2017 when the pipe cannot be opened (no such pipe, no such host), 2016 when
// every instance stays busy until the connection time-out, 2018 when the
// pipe's byte read mode cannot be set. Reads and writes keep the receive and
// send time-outs (a pipe without answer does not hold the caller forever);
// writes go out in pieces of at most 65535 bytes.
class TZelVioLocal : public TZelVioTcp {
 public:
  TZelVioLocal(std::string hostname, std::string socketSetting, int port);

  void Connect() override;
  const std::string& SocketPath() const { return FPath; }

#ifdef _WIN32
  ~TZelVioLocal() override;
  static constexpr int kMaxPipeWrite = 0xFFFF;

  void Close() override;
  int ReadNoWait(uint8_t* buffer, int offset, int count) override;
  int WriteNoWait(const uint8_t* buffer, int offset, int count) override;
  int Write(const uint8_t* buffer, int offset, int count) override;
  bool WaitForData(int timeout) override;
  bool IsPipeOpen() const {
    return FPipe != nullptr;
  }
#endif

 private:
  [[noreturn]] void Fail(int code, const char16_t* what, int systemError);

  std::string FPath;
#ifdef _WIN32
  // One overlapped transfer, bounded by `seconds` (below 1: no bound).
  int Transfer(bool reading, uint8_t* buffer, int count, int seconds);
  void* FPipe = nullptr;   // HANDLE; nullptr while closed
  void* FEvent = nullptr;  // the manual-reset event of the transfers
#endif
};

}  // namespace vix
