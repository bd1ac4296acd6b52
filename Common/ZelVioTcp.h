// The plain TCP transport (IPv4), with a name lookup that can be bounded in time.
#pragma once

#include <cstdint>
#include <string>

#include "Common/ZelVio.h"

namespace vix {

// A host name lookup: the IPv4 address in network order, or INADDR_NONE and
// the Windows error number in `error`.
using THostLookup = uint32_t (*)(const std::string& host, int& error);

class TZelVioTcp : public TZelVio {
 public:
  TZelVioTcp() = default;
  TZelVioTcp(std::string hostname, int port) : Fhostname(std::move(hostname)), Fport(port) {}
  ~TZelVioTcp() override;

  int GetTimeout() const override { return FReceiveTimeout; }
  // Sets both the receive time-out and the connect time-out.
  void SetTimeout(int seconds) override;
  void Connect() override;
  void Close() override;
  int ReadNoWait(uint8_t* buffer, int offset, int count) override;
  int WriteNoWait(const uint8_t* buffer, int offset, int count) override;
  int Write(const uint8_t* buffer, int offset, int count) override;
  bool WaitForData(int timeout) override;
  virtual int GetSocket() const { return FSd; }
  bool IsActive() const { return FSd != -1; }

  const std::string& Host() const { return Fhostname; }
  void SetHost(const std::string& host);
  int Port() const { return Fport; }
  void SetPort(int port);
  int ReceiveTimeout() const { return FReceiveTimeout; }
  void SetReceiveTimeout(int seconds);
  // Bounds a write that makes no progress (seconds; below 1: no own bound).
  int SendTimeout() const { return FSendTimeout; }
  void SetSendTimeout(int seconds);
  // Bounds the name lookup and the TCP connect (seconds; below 1: no own bound).
  int ConnectionTimeout() const { return FConnectionTimeout; }
  void SetConnectionTimeout(int seconds) { FConnectionTimeout = seconds; }

  // Replaces the system's lookup (getaddrinfo) process-wide, for tests of
  // slow and failing name services; nullptr restores it. Returns the previous one.
  static THostLookup SetHostLookup(THostLookup lookup);

 protected:
  // Sets a socket time-out (SO_RCVTIMEO / SO_SNDTIMEO) of the open socket.
  void ApplyTimeout(int option, int seconds);
  void SetLastSocketError(const char16_t* fmt, int winsock);

  std::string Fhostname;
  int Fport = 0;
  int FConnectionTimeout = 0;
  int FSendTimeout = 0;
  int FReceiveTimeout = 30;
  int FSd = -1;

 private:
  // The IPv4 address of the host in network order, or INADDR_NONE with
  // LastError and `error` set.
  uint32_t ResolveHost(int& error);
  void ConnectSocket(uint32_t address);
};

}  // namespace vix
