#include "Common/ZelVio.h"

#ifndef _WIN32
#include <netdb.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace vix {

void VioAssertFailed(const char* file, int line) {
  const char* base = std::strrchr(file, '/');
  throw EVioAssertion(Format(u"Assertion failure (%s, line %d)", {U(base ? base + 1 : file), line}));
}

namespace {

struct ErrnoEntry {
  int errnoValue;
  int winsock;
};

constexpr ErrnoEntry kErrnoTable[] = {
    {EINTR, 10004},        {EBADF, 10009},        {EACCES, 10013},          {EFAULT, 10014},
    {EINVAL, 10022},       {EMFILE, 10024},       {EWOULDBLOCK, 10060},     {EINPROGRESS, 10036},
    {EALREADY, 10037},     {ENOTSOCK, 10038},     {EDESTADDRREQ, 10039},    {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},   {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {EOPNOTSUPP, 10045},
    {EAFNOSUPPORT, 10047}, {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},
    {ENETUNREACH, 10051},  {ENETRESET, 10052},    {ECONNABORTED, 10053},    {ECONNRESET, 10054},
    {EPIPE, 10054},        {ENOBUFS, 10055},      {EISCONN, 10056},         {ENOTCONN, 10057},
    {ETIMEDOUT, 10060},    {ECONNREFUSED, 10061}, {EHOSTUNREACH, 10065},
#ifdef ESHUTDOWN  // not in the Windows C runtime
    {ESHUTDOWN, 10058},    {EHOSTDOWN, 10064},
#endif
};

}  // namespace

// A receive time-out (SO_RCVTIMEO) shows as EAGAIN / EWOULDBLOCK; Windows
// reports it as WSAETIMEDOUT, which is what the texts carry.
int WinSockErrorFromErrno(int errnoValue) {
  for (const ErrnoEntry& e : kErrnoTable)
    if (e.errnoValue == errnoValue) return e.winsock;
  return errnoValue;
}

int WinSockErrorFromResolver(int eaiValue, int errnoValue) {
#ifdef _WIN32
  // Winsock's resolver results are its error numbers already.
  (void)errnoValue;
  return eaiValue;
#else
  switch (eaiValue) {
    case EAI_NONAME: return 11001;
    case EAI_AGAIN: return 11002;
    case EAI_FAIL: return 11003;
#ifdef EAI_NODATA
    case EAI_NODATA: return 11004;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return 11004;
#endif
    case EAI_SYSTEM: return WinSockErrorFromErrno(errnoValue);
    default: return eaiValue;
  }
#endif
}

void TZelVio::Connect() {
  FBufferLen = 0;
  FBufferPos = 0;
  FBuffer.assign(kBufferSize, 0);
}

int TZelVio::TakeBuffered(uint8_t* buffer, int offset, int count) {
  const int n = std::min(FBufferLen - FBufferPos, count);
  if (n <= 0) return 0;
  std::memcpy(buffer + offset, FBuffer.data() + FBufferPos, static_cast<size_t>(n));
  FBufferPos += n;
  if (FBufferPos == FBufferLen) FBufferPos = FBufferLen = 0;
  return n;
}

int TZelVio::Read(uint8_t* buffer, int offset, int count) {
  VIX_VIO_ASSERT(count >= 0 && offset >= 0);
  int result = TakeBuffered(buffer, offset, count);
  offset += result;
  count -= result;
  if (count == 0) return result;
  VIX_VIO_ASSERT(FBufferPos == 0);
  if (count < kDirectReadSize && !FBuffer.empty()) {
    FBufferLen = ReadNoWait(FBuffer.data(), 0, static_cast<int>(FBuffer.size()));
    if (FBufferLen <= 0) {  // closed or failed: keep LastError of that receive
      FBufferLen = 0;
      return result;
    }
    const int n = TakeBuffered(buffer, offset, count);
    result += n;
    offset += n;
    count -= n;
  }
  while (count > 0) {
    const int n = ReadNoWait(buffer, offset, count);
    if (n <= 0) break;
    result += n;
    offset += n;
    count -= n;
  }
  return result;
}

int TZelVio::Write(const uint8_t* buffer, int offset, int count) {
  VIX_VIO_ASSERT(count >= 0 && offset >= 0);
  int result = 0;
  int zeros = 0;
  while (count > 0) {
    const int n = WriteNoWait(buffer, offset, count);
    if (n > 0) {
      offset += n;
      result += n;
      count -= n;
      continue;
    }
    if (++zeros == 3) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return result;
}

bool TZelVio::WaitForData(int) {
  VioAssertFailed(__FILE__, __LINE__);
}

}  // namespace vix
