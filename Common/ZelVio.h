// The byte pipe under the MySQL wire client: the transport base with its
// read-ahead buffer, and the socket exception.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "Common/ZelVioErrors.h"
#include "rtl/SysUtils.h"
#include "rtl/UString.h"

namespace vix {

// A transport failure. ErrorCode is a client error number (CR_CONN_HOST_ERROR,
// CR_UNKNOWN_HOST, CR_SERVER_GONE_ERROR, CR_VERSION_ERROR) or, for a failed
// start-up, the platform's result.
class SocketException : public Exception {
 public:
  explicit SocketException(int errorCode) : Exception(UString()), FErrorCode(errorCode) {}
  SocketException(UStringView fmt, std::initializer_list<FormatArg> args, int errorCode)
      : Exception(Format(fmt, args)), FErrorCode(errorCode) {}
  int ErrorCode() const { return FErrorCode; }

 private:
  int FErrorCode;
};

// A broken internal invariant of the transports and the wire client: correct
// use never gets here. The message names the file and the line.
class EVioAssertion : public Exception {
 public:
  using Exception::Exception;
};
[[noreturn]] void VioAssertFailed(const char* file, int line);
#define VIX_VIO_ASSERT(cond)                                 \
  do {                                                       \
    if (!(cond)) ::vix::VioAssertFailed(__FILE__, __LINE__); \
  } while (0)

// The Windows socket error numbers that our error texts carry, from errno
// values (ECONNREFUSED -> 10061, time-outs -> 10060, ...) and from resolver
// results (EAI_NONAME -> 11001, ...). Values without a counterpart are kept.
int WinSockErrorFromErrno(int errnoValue);
int WinSockErrorFromResolver(int eaiValue, int errnoValue);

// Abstract transport. Read and Write are built on ReadNoWait / WriteNoWait.
class TZelVio {
 public:
  static constexpr int kBufferSize = 0x4000;    // read-ahead buffer
  static constexpr int kDirectReadSize = 2048;  // reads this large bypass it

  virtual ~TZelVio() = default;
  TZelVio() = default;
  TZelVio(const TZelVio&) = delete;
  TZelVio& operator=(const TZelVio&) = delete;

  virtual int GetTimeout() const = 0;
  virtual void SetTimeout(int seconds) = 0;
  // The base prepares an empty read-ahead buffer; transports open their channel.
  virtual void Connect();
  virtual void Close() = 0;
  // One receive / send; 0 on error (LastError set) or, for a read, at the end of the stream.
  virtual int ReadNoWait(uint8_t* buffer, int offset, int count) = 0;
  virtual int WriteNoWait(const uint8_t* buffer, int offset, int count) = 0;
  // Buffered read: may deliver fewer bytes than asked for when the stream
  // ends or fails; it stops at the first failed receive and keeps LastError.
  virtual int Read(uint8_t* buffer, int offset, int count);
  // Retrying write; gives up after the third send that moved nothing.
  virtual int Write(const uint8_t* buffer, int offset, int count);
  // True when data can be read within `timeout` seconds (negative: no limit).
  virtual bool WaitForData(int timeout);

  const UString& LastError() const { return FLastError; }

 protected:
  // Delivers what the read-ahead buffer holds; returns the byte count.
  int TakeBuffered(uint8_t* buffer, int offset, int count);

  UString FLastError;
  std::vector<uint8_t> FBuffer;
  int FBufferLen = 0;
  int FBufferPos = 0;
};

}  // namespace vix
