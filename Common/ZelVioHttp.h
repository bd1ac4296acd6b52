// The HTTP tunnel transport: the MySQL byte stream carried by requests to a
// tunnel server ("?a=c" connect, "t" test, "w" write, "r" read, "l" keep-alive,
// "x" close), each answer starting with "OK:" or "ER:".
#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "Common/ZelHttp.h"
#include "Common/ZelVio.h"

namespace vix {

struct TProxyOptions {
  UString Hostname;  // empty: no proxy
  int Port = 8080;
  UString Username, Password;
  bool operator==(const TProxyOptions&) const = default;
};

struct THttpOptions {
  UString Url;  // the tunnel server's URL (http:// only)
  UString Username, Password;
  TProxyOptions ProxyOptions;
  bool operator==(const THttpOptions&) const = default;
};

// Raises HttpException when a setting holds a line break or a NUL (it would
// end a header line early) or the URL is not an http:// one.
void CheckHttpOptions(const THttpOptions& options);

// The keep-alive interval in milliseconds for a request time-out and the
// server's notification time (both seconds): well inside the notification
// time, at least one second, at most one hour.
int KeepAliveInterval(int timeoutSeconds, int notificationSeconds);

// The test answer's body after "OK:": the tunnel number and the notification
// time, one per line. False when either is not a decimal integer in range.
bool ParseTunnelTestAnswer(std::string_view body, int& tunnel, int& notificationSeconds);

// Two numbers 0..999999 from the system's random source, joined by "_".
std::string NewTunnelId();

// Runs `execute` on a thread of its own; destroying it calls `abort`, then
// waits for the thread. Exceptions of either are swallowed (the first
// message of `execute` is kept).
class THttpConnectThread {
 public:
  THttpConnectThread(std::function<void()> execute, std::function<void()> abort);
  ~THttpConnectThread();
  // Waits at most `ms` milliseconds for `execute` to end; true when it has.
  bool WaitFor(int ms);
  UString Failure();

 private:
  std::function<void()> FAbort;
  std::mutex FLock;
  std::condition_variable FDone;
  bool FEnded = false;
  UString FFailure;
  std::thread FThread;
};

class TZelVioHttp : public TZelVio {
 public:
  static constexpr int kMaxWritePiece = 0x200000;
  static constexpr int kAttempts = 3;

  TZelVioHttp(const THttpOptions& options, int port, const std::string& hostname);
  ~TZelVioHttp() override;

  int GetTimeout() const override { return FTimeout; }
  void SetTimeout(int seconds) override { FTimeout = seconds; }
  void Connect() override;
  void Close() override;
  int ReadNoWait(uint8_t* buffer, int offset, int count) override;
  int WriteNoWait(const uint8_t* buffer, int offset, int count) override;
  // One attempt per piece: a write through the tunnel is never repeated.
  int Write(const uint8_t* buffer, int offset, int count) override;
  bool WaitForData(int timeout) override;

  bool Closed() const { return FClosed; }
  int PortID() const { return FPortID; }
  int ScriptNotificationTime() const { return FScriptNotificationTime; }
  const std::string& TunnelId() const { return FTunnelId; }
  const std::string& BaseUrl() const { return FUrl; }
  // The request URL of an action ("c" and "t" carry the tunnel's query).
  std::string RequestUrl(char action) const;

 private:
  std::unique_ptr<TZelHttp> NewRequest(char action, int timeout) const;
  // Sends a request and checks its "OK:" prefix; on any failure the tunnel
  // closes and the failure propagates.
  std::unique_ptr<TZelHttp> SendChecked(char action, bool raisePending, int timeout);
  // Reads the prefix and raises the script's error for anything but "OK:".
  static void CheckAnswer(TZelHttp& request);
  bool TestTunnel(int timeout, UString& cause);
  void StartKeepAlive();
  void StopKeepAlive();
  void Touch();
  void KeepAliveLoop();
  void RaisePending();
  int EffectiveTimeout() const;

  THttpOptions FHttpOptions;
  std::string FHost;
  int FPort;
  std::string FUrl, FConnectUrl, FTestUrl, FTunnelId;
  int FPortID = 0;
  std::atomic<bool> FClosed{true};
  std::unique_ptr<TZelHttp> FLastReadRequest;
  // Set by the session's thread, read by the keep-alive thread too.
  std::atomic<int> FTimeout{15};
  int FScriptNotificationTime = 0;
  std::mutex FSendingLock;
  std::exception_ptr FThreadException;  // guarded by FSendingLock

  // The keep-alive thread and when it next sends.
  std::thread FKeepAliveThread;
  std::mutex FTimerLock;
  std::condition_variable FTimerWake;
  bool FTimerStop = false;
  std::chrono::steady_clock::time_point FNextKeepAlive;
};

}  // namespace vix
