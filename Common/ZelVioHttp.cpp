#ifdef _WIN32
#define _CRT_RAND_S  // rand_s: the system's random numbers
#include <stdlib.h>
#endif

#include "Common/ZelVioHttp.h"

#ifndef _WIN32
#include <sys/random.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace vix {

namespace {

using Clock = std::chrono::steady_clock;

// Request time-out when the transport's is 0 (no limit): the connect and
// close requests still end.
constexpr int kDefaultConnectSeconds = 30;
constexpr int kCloseSeconds = 5;
// The error text that follows "ER:" or an unknown prefix is read up to this size.
constexpr int kErrorTextSize = 0x8000;

bool SameAscii3(const uint8_t* p, const char* q) {
  for (int i = 0; i < 3; ++i) {
    const char c = static_cast<char>(p[i]);
    const char u = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    if (u != q[i]) return false;
  }
  return true;
}

bool ParseInt(std::string_view s, int& value) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty() || s.size() > 10) return false;
  int64_t n = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  if (negative) n = -n;
  if (n < INT32_MIN || n > INT32_MAX) return false;
  value = static_cast<int>(n);
  return true;
}

void CheckSetting(const UString& value, const char16_t* name) {
  for (char16_t c : value)
    if (c == u'\r' || c == u'\n' || c == 0)
      throw HttpException(Format(u"The HTTP tunnel setting %s must not contain a line break", {name}));
}

int SecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 1 : static_cast<int>((left + 999) / 1000);
}

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left, INT32_MAX));
}

}  // namespace

void CheckHttpOptions(const THttpOptions& options) {
  CheckSetting(options.Url, u"Url");
  CheckSetting(options.Username, u"Username");
  CheckSetting(options.Password, u"Password");
  CheckSetting(options.ProxyOptions.Hostname, u"ProxyHostname");
  CheckSetting(options.ProxyOptions.Username, u"ProxyUsername");
  CheckSetting(options.ProxyOptions.Password, u"ProxyPassword");
  if (options.Username.find(u':') != UString::npos || options.ProxyOptions.Username.find(u':') != UString::npos)
    throw HttpException(u"An HTTP user name must not contain ':'");
  const std::string url = Utf16ToUtf8Lenient(Trim(options.Url));
  if (url.empty()) throw HttpException(u"The HTTP tunnel URL is empty");
  const THttpUrl parts = SplitHttpUrl(url);
  const std::string& scheme = parts.Scheme;
  if (SameText(U(scheme), u"https:"))
    throw HttpException(
        u"https URLs are not supported: the HTTP tunnel speaks plain HTTP (use an http:// URL, or the SSL "
        u"protocol for an encrypted connection)");
  if (!SameText(U(scheme), u"http:"))
    throw HttpException(Format(u"The HTTP tunnel URL must start with http:// (%s)", {U(url)}));
  if (parts.Host.empty()) throw HttpException(Format(u"The HTTP tunnel URL names no host (%s)", {U(url)}));
  if (!options.ProxyOptions.Hostname.empty() && (options.ProxyOptions.Port < 1 || options.ProxyOptions.Port > 65535))
    throw HttpException(Format(u"Invalid HTTP proxy port %d", {options.ProxyOptions.Port}));
}

int KeepAliveInterval(int timeoutSeconds, int notificationSeconds) {
  const int64_t t = timeoutSeconds <= 0 ? 7 : timeoutSeconds;
  const int64_t n = std::clamp<int64_t>(notificationSeconds, 1, 86400);
  const int64_t ms = 2 * t < n ? (n - t) * 1000 : n * 500;
  return static_cast<int>(std::clamp<int64_t>(ms, 500, 3600000));
}

bool ParseTunnelTestAnswer(std::string_view body, int& tunnel, int& notificationSeconds) {
  const size_t end1 = body.find('\n');
  if (end1 == std::string_view::npos) return false;
  std::string_view second = body.substr(end1 + 1);
  second = second.substr(0, second.find('\n'));
  int a = 0, b = 0;
  if (!ParseInt(body.substr(0, end1), a) || !ParseInt(second, b) || a < 0) return false;
  tunnel = a;
  notificationSeconds = b;
  return true;
}

std::string NewTunnelId() {
  uint32_t r[2];
#ifdef _WIN32
  for (uint32_t& v : r) {
    unsigned int x = 0;
    if (rand_s(&x) != 0) throw HttpException(u"No random numbers for the tunnel id");
    v = x;
  }
#else
  size_t got = 0;
  while (got < sizeof r) {
    const ssize_t n = getrandom(reinterpret_cast<uint8_t*>(r) + got, sizeof r - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw HttpException(u"No random numbers for the tunnel id");
    }
    got += static_cast<size_t>(n);
  }
#endif
  return std::to_string(r[0] % 1000000) + "_" + std::to_string(r[1] % 1000000);
}

// ---------------------------------------------------------------------------
// THttpConnectThread

THttpConnectThread::THttpConnectThread(std::function<void()> execute, std::function<void()> abort)
    : FAbort(std::move(abort)) {
  FThread = std::thread([this, execute = std::move(execute)] {
    UString failure;
    try {
      execute();
    } catch (const Exception& e) {
      failure = e.Message();
    } catch (const std::exception& e) {
      failure = Utf8ToUtf16Lenient(e.what());
    }
    std::lock_guard<std::mutex> guard(FLock);
    FFailure = std::move(failure);
    FEnded = true;
    FDone.notify_all();
  });
}

THttpConnectThread::~THttpConnectThread() {
  try {
    if (FAbort) FAbort();
  } catch (...) {
  }
  FThread.join();
}

bool THttpConnectThread::WaitFor(int ms) {
  std::unique_lock<std::mutex> guard(FLock);
  return FDone.wait_for(guard, std::chrono::milliseconds(ms), [this] { return FEnded; });
}

UString THttpConnectThread::Failure() {
  std::lock_guard<std::mutex> guard(FLock);
  return FFailure;
}

// ---------------------------------------------------------------------------
// TZelVioHttp

TZelVioHttp::TZelVioHttp(const THttpOptions& options, int port, const std::string& hostname)
    : FHttpOptions(options), FHost(hostname), FPort(port) {
  FUrl = Utf16ToUtf8Lenient(Trim(options.Url));
  if (FUrl.empty() || FUrl.back() != '/') FUrl += '/';
  FTunnelId = NewTunnelId();
  const std::string query = "&s=" + PercentEncode(hostname) + "&p=" + std::to_string(port) + "&id=" + FTunnelId;
  FConnectUrl = FUrl + "?a=c" + query;
  FTestUrl = FUrl + "?a=t" + query;
}

TZelVioHttp::~TZelVioHttp() {
  Close();
  StopKeepAlive();
}

std::string TZelVioHttp::RequestUrl(char action) const {
  std::string url;
  if (action == 'c') {
    url = FConnectUrl;
  } else if (action == 't') {
    url = FTestUrl;
  } else {
    url = FUrl + "?a=" + action;
  }
  return url + "&port=" + std::to_string(FPortID);
}

int TZelVioHttp::EffectiveTimeout() const {
  const int timeout = FTimeout;
  return timeout > 0 ? timeout : kDefaultConnectSeconds;
}

std::unique_ptr<TZelHttp> TZelVioHttp::NewRequest(char action, int timeout) const {
  auto request = std::make_unique<TZelHttp>(RequestUrl(action));
  request->SetKeepAlive(true);
  request->SetTimeout(timeout);
  THeaderInfo& info = request->HeaderInfo();
  info.UserId = Utf16ToUtf8Lenient(FHttpOptions.Username);
  info.Password = Utf16ToUtf8Lenient(FHttpOptions.Password);
  const TProxyOptions& proxy = FHttpOptions.ProxyOptions;
  if (!proxy.Hostname.empty()) {
    request->SetProxy(Utf16ToUtf8Lenient(proxy.Hostname), proxy.Port);
    info.ProxyUserId = Utf16ToUtf8Lenient(proxy.Username);
    info.ProxyPassword = Utf16ToUtf8Lenient(proxy.Password);
  }
  return request;
}

void TZelVioHttp::CheckAnswer(TZelHttp& request) {
  uint8_t prefix[3];
  // The prefix may come in pieces: read it whole, within the time-out.
  if (request.ReadFull(prefix, 3) < 3) throw HttpException(u"Invalid script response. Failed to read success flag");
  if (SameAscii3(prefix, "OK:")) return;
  std::string text(kErrorTextSize, '\0');
  text.resize(static_cast<size_t>(request.ReadFull(reinterpret_cast<uint8_t*>(text.data()), kErrorTextSize)));
  UString message;
  if (SameAscii3(prefix, "ER:")) {
    message = Utf8ToUtf16Lenient(text);
  } else {
    message = u"HTTP Script unknown error: " +
              Utf8ToUtf16Lenient(std::string(reinterpret_cast<const char*>(prefix), 3) + text);
  }
  if (message.empty()) message = u"HTTP Script reported error";
  throw HttpException(message);
}

void TZelVioHttp::RaisePending() {
  if (FThreadException) {
    std::exception_ptr e = FThreadException;
    FThreadException = nullptr;
    std::rethrow_exception(e);
  }
}

std::unique_ptr<TZelHttp> TZelVioHttp::SendChecked(char action, bool raisePending, int timeout) {
  std::unique_ptr<TZelHttp> request;
  try {
    {
      std::lock_guard<std::mutex> guard(FSendingLock);
      if (raisePending) RaisePending();
      request = NewRequest(action, timeout);
      request->Get();
    }
    CheckAnswer(*request);
    return request;
  } catch (...) {
    request.reset();
    if (action != 'l') Close();
    throw;
  }
}

bool TZelVioHttp::TestTunnel(int timeout, UString& cause) {
  try {
    auto request = SendChecked('t', true, timeout);
    char body[256];
    const int n = request->ReadFull(reinterpret_cast<uint8_t*>(body), sizeof body);
    int tunnel = 0, seconds = 0;
    if (!ParseTunnelTestAnswer(std::string_view(body, static_cast<size_t>(n)), tunnel, seconds))
      throw HttpException(u"HTTP Script invalid connect response");
    FPortID = tunnel;
    FScriptNotificationTime = KeepAliveInterval(FTimeout, seconds);
    return true;
  } catch (const Exception& e) {
    cause = e.Message();
    return false;
  }
}

void TZelVioHttp::Connect() {
  VIX_VIO_ASSERT(FClosed);
  TZelVio::Connect();
  FLastError.clear();
  FPortID = 0;
  try {
    CheckHttpOptions(FHttpOptions);
  } catch (const HttpException& e) {
    FLastError = e.Message();
    throw;
  }
  // One deadline for the whole connect, also when the time-out is 0.
  const auto deadline = Clock::now() + std::chrono::seconds(EffectiveTimeout());
  UString cause;
  bool connected = false;
  for (int attempt = 0; attempt < kAttempts && !connected && Clock::now() < deadline; ++attempt) {
    auto request = NewRequest('c', SecondsLeft(deadline));
    TZelHttp* r = request.get();
    THttpConnectThread thread(
        [r] {
          r->Get();
          CheckAnswer(*r);
          r->Disconnect();
        },
        [r] { r->Abort(); });
    int wait = 200;
    for (;;) {
      const bool ended = thread.WaitFor(std::min(wait, MillisecondsLeft(deadline)));
      if (ended && !thread.Failure().empty()) {
        cause = thread.Failure();  // the server refused the tunnel: no use testing it
        break;
      }
      if (Clock::now() >= deadline) break;
      if (TestTunnel(SecondsLeft(deadline), cause)) {
        connected = true;
        break;
      }
      if (ended) break;
      wait *= 2;
    }
  }
  if (!connected) {
    FLastError = u"Cannot establish HTTP connection";
    if (!cause.empty()) FLastError += u": " + cause;
    throw HttpException(FLastError);
  }
  FClosed = false;
  {
    std::lock_guard<std::mutex> guard(FSendingLock);
    FThreadException = nullptr;
  }
  StartKeepAlive();
}

void TZelVioHttp::Close() {
  if (FClosed.exchange(true)) return;
  if (FKeepAliveThread.joinable() && FKeepAliveThread.get_id() != std::this_thread::get_id()) StopKeepAlive();
  FLastReadRequest.reset();
  try {
    const int timeout = FTimeout;
    SendChecked('x', false, timeout > 0 ? std::min(timeout, kCloseSeconds) : kCloseSeconds);
  } catch (...) {
  }
  std::lock_guard<std::mutex> guard(FSendingLock);
  FThreadException = nullptr;
}

int TZelVioHttp::ReadNoWait(uint8_t* buffer, int offset, int count) {
  if (FClosed || count <= 0) return 0;
  FLastError.clear();
  try {
    const int timeout = FTimeout;
    const auto deadline = timeout > 0 ? Clock::now() + std::chrono::seconds(timeout) : Clock::time_point::max();
    while (!FLastReadRequest) {
      auto request = SendChecked('r', true, FTimeout);
      Touch();
      if (!request->BodyEnded()) {
        FLastReadRequest = std::move(request);
        break;
      }
      // An empty answer: nothing has come from the server yet.
      if (Clock::now() >= deadline) {
        FLastError = u"No data from the HTTP tunnel within the time-out";
        return 0;
      }
    }
    // The request is kept until its body has ended: a body may arrive in
    // any number of pieces.
    const int n = FLastReadRequest->Read(buffer, offset, count);
    if (FLastReadRequest->BodyEnded()) FLastReadRequest.reset();
    return n;
  } catch (const Exception& e) {
    FLastError = e.Message();
    FLastReadRequest.reset();
    Close();
    return 0;
  }
}

int TZelVioHttp::WriteNoWait(const uint8_t* buffer, int offset, int count) {
  if (FClosed) return 0;
  int sent = 0;
  while (sent < count) {
    const int piece = std::min(count - sent, kMaxWritePiece);
    FLastError.clear();
    try {
      std::unique_ptr<TZelHttp> request;
      {
        std::lock_guard<std::mutex> guard(FSendingLock);
        RaisePending();
        request = NewRequest('w', FTimeout);
        request->Post(request->Url(),
                      std::string(reinterpret_cast<const char*>(buffer) + offset + sent, static_cast<size_t>(piece)));
      }
      CheckAnswer(*request);
      Touch();
    } catch (const Exception& e) {
      FLastError = e.Message();
      Close();
      break;
    }
    sent += piece;
  }
  return sent;
}

int TZelVioHttp::Write(const uint8_t* buffer, int offset, int count) {
  return WriteNoWait(buffer, offset, count);
}

bool TZelVioHttp::WaitForData(int timeout) {
  return FLastReadRequest ? FLastReadRequest->WaitForData(timeout) : false;
}

void TZelVioHttp::Touch() {
  std::lock_guard<std::mutex> guard(FTimerLock);
  FNextKeepAlive = Clock::now() + std::chrono::milliseconds(FScriptNotificationTime);
}

void TZelVioHttp::StartKeepAlive() {
  StopKeepAlive();
  {
    std::lock_guard<std::mutex> guard(FTimerLock);
    FTimerStop = false;
    FNextKeepAlive = Clock::now() + std::chrono::milliseconds(FScriptNotificationTime);
  }
  FKeepAliveThread = std::thread([this] { KeepAliveLoop(); });
}

void TZelVioHttp::StopKeepAlive() {
  if (!FKeepAliveThread.joinable()) return;
  {
    std::lock_guard<std::mutex> guard(FTimerLock);
    FTimerStop = true;
  }
  FTimerWake.notify_all();
  FKeepAliveThread.join();
}

// A failure is kept and raised by the next request of the session.
void TZelVioHttp::KeepAliveLoop() {
  std::unique_lock<std::mutex> guard(FTimerLock);
  while (!FTimerStop) {
    FTimerWake.wait_until(guard, FNextKeepAlive);
    if (FTimerStop) break;
    if (Clock::now() < FNextKeepAlive) continue;
    FNextKeepAlive = Clock::now() + std::chrono::milliseconds(FScriptNotificationTime);
    guard.unlock();
    try {
      SendChecked('l', false, EffectiveTimeout());
    } catch (...) {
      std::lock_guard<std::mutex> sending(FSendingLock);
      FThreadException = std::current_exception();
    }
    guard.lock();
  }
}

}  // namespace vix
