// The local transport on Windows: a named pipe, opened by name, waited for
// while every instance is busy, read and written with time-outs.
#include <windows.h>

#include <algorithm>
#include <chrono>

#include "Common/ZelVioLocal.h"

namespace vix {

namespace {

constexpr int kOpenAttempts = 100;
constexpr int kErrTimedOut = 10060;

// The system's text for an error number, without the line end it comes with.
UString SystemText(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD n =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  UString result = n && text ? UString(reinterpret_cast<const char16_t*>(text), n) : UString();
  if (text) LocalFree(text);
  result = Trim(result);
  return result.empty() ? u"error " + IntToStr(static_cast<int>(error)) : result;
}

std::wstring WidePath(const std::string& path) {
  const UString text = Utf8ToUtf16Lenient(path);
  return std::wstring(text.begin(), text.end());
}

DWORD Milliseconds(int seconds) {
  return seconds < 1 ? INFINITE : static_cast<DWORD>(std::min<int64_t>(int64_t{seconds} * 1000, 0x7FFFFFFE));
}

}  // namespace

TZelVioLocal::TZelVioLocal(std::string hostname, std::string socketSetting, int port)
    : TZelVioTcp(hostname, port), FPath(NamedPipePath(hostname, socketSetting)) {}

TZelVioLocal::~TZelVioLocal() {
  Close();
}

void TZelVioLocal::Fail(int code, const char16_t* what, int systemError) {
  FLastError = Format(u"%s to host: %s  pipe: %s (%s)",
                      {what, Utf8ToUtf16Lenient(Fhostname), Utf8ToUtf16Lenient(FPath), SystemText(systemError)});
  Close();
  throw SocketException(u"%s", {FLastError}, code);
}

// Every instance busy (ERROR_PIPE_BUSY): wait for one within what is left of
// the connection time-out, then open again; at most 100 attempts, one deadline.
// Without a connection time-out a busy pipe fails at once.
void TZelVioLocal::Connect() {
  VIX_VIO_ASSERT(FPipe == nullptr);
  TZelVio::Connect();
  const std::wstring path = WidePath(FPath);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(std::max(FConnectionTimeout, 0));
  HANDLE pipe = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    pipe = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                       nullptr);
    if (pipe != INVALID_HANDLE_VALUE) break;
    const DWORD error = GetLastError();
    if (error != ERROR_PIPE_BUSY) Fail(CR_NAMEDPIPEOPEN_ERROR, u"Cannot open named pipe", static_cast<int>(error));
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (FConnectionTimeout < 1 || left <= 0)
      Fail(CR_NAMEDPIPEWAIT_ERROR, u"Named pipe stayed busy",
           FConnectionTimeout < 1 ? ERROR_PIPE_BUSY : ERROR_SEM_TIMEOUT);
    if (!WaitNamedPipeW(path.c_str(), static_cast<DWORD>(std::max<int64_t>(left, 1)))) {
      const DWORD error = GetLastError();
      Fail(CR_NAMEDPIPEWAIT_ERROR, u"Named pipe stayed busy", static_cast<int>(error));
    }
  }
  if (pipe == INVALID_HANDLE_VALUE) Fail(CR_NAMEDPIPEOPEN_ERROR, u"Cannot open named pipe", ERROR_PIPE_BUSY);
  FPipe = pipe;
  DWORD mode = PIPE_READMODE_BYTE | PIPE_WAIT;
  if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr))
    Fail(CR_NAMEDPIPESETSTATE_ERROR, u"Cannot set the mode of named pipe", static_cast<int>(GetLastError()));
  FEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!FEvent) Fail(CR_NAMEDPIPESETSTATE_ERROR, u"Cannot set the mode of named pipe", static_cast<int>(GetLastError()));
}

void TZelVioLocal::Close() {
  if (FPipe) {
    CancelIo(FPipe);
    CloseHandle(FPipe);
    FPipe = nullptr;
  }
  if (FEvent) {
    CloseHandle(FEvent);
    FEvent = nullptr;
  }
  TZelVioTcp::Close();
}

int TZelVioLocal::Transfer(bool reading, uint8_t* buffer, int count, int seconds) {
  FLastError.clear();
  if (!FPipe || count <= 0) return 0;
  const char16_t* what = reading ? u"Pipe error on read. GetLastError return %d($%X)"
                                 : u"Pipe error on write. GetLastError return %d($%X)";
  OVERLAPPED request{};
  request.hEvent = FEvent;
  ResetEvent(FEvent);
  const BOOL done = reading ? ReadFile(FPipe, buffer, static_cast<DWORD>(count), nullptr, &request)
                            : WriteFile(FPipe, buffer, static_cast<DWORD>(count), nullptr, &request);
  if (!done) {
    const DWORD error = GetLastError();
    if (error == ERROR_BROKEN_PIPE) return 0;  // the server closed its end: the end of the stream
    if (error != ERROR_IO_PENDING) {
      SetLastSocketError(what, static_cast<int>(error));
      return 0;
    }
    if (WaitForSingleObject(FEvent, Milliseconds(seconds)) != WAIT_OBJECT_0) {
      CancelIo(FPipe);
      DWORD moved = 0;
      // A transfer that completed while it was being cancelled still counts.
      if (GetOverlappedResult(FPipe, &request, &moved, TRUE) && moved > 0) return static_cast<int>(moved);
      SetLastSocketError(what, kErrTimedOut);
      return 0;
    }
  }
  DWORD moved = 0;
  if (!GetOverlappedResult(FPipe, &request, &moved, FALSE)) {
    const DWORD error = GetLastError();
    if (error != ERROR_BROKEN_PIPE) SetLastSocketError(what, static_cast<int>(error));
    return 0;
  }
  return static_cast<int>(moved);
}

int TZelVioLocal::ReadNoWait(uint8_t* buffer, int offset, int count) {
  return Transfer(true, buffer + offset, count, FReceiveTimeout);
}

int TZelVioLocal::WriteNoWait(const uint8_t* buffer, int offset, int count) {
  return Transfer(false, const_cast<uint8_t*>(buffer) + offset, std::min(count, kMaxPipeWrite), FSendTimeout);
}

int TZelVioLocal::Write(const uint8_t* buffer, int offset, int count) {
  if (!FPipe) return 0;
  return TZelVio::Write(buffer, offset, count);
}

// Pipes cannot be waited on for data: look into the pipe every few
// milliseconds until the time-out.
bool TZelVioLocal::WaitForData(int timeout) {
  FLastError.clear();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(std::max(timeout, 0));
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(FPipe, nullptr, 0, nullptr, &available, nullptr)) {
      const DWORD error = GetLastError();
      if (error == ERROR_BROKEN_PIPE) return true;  // the end of the stream is there to be read
      SetLastSocketError(u"Pipe error on select. GetLastError return %d($%X)", static_cast<int>(error));
      throw SocketException(CR_SERVER_GONE_ERROR);
    }
    if (available > 0) return true;
    if (timeout >= 0 && std::chrono::steady_clock::now() >= deadline) return false;
    Sleep(5);
  }
}

}  // namespace vix
