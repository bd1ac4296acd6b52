// A small HTTP/1.0 client for the HTTP tunnel: one request (and the redirects
// it is allowed to follow) per object, the answer's body read in place. The
// readers of the server's answer are pure functions over byte spans.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Common/ZelVioTcp.h"
#include "rtl/SysUtils.h"

namespace vix {

// A failure of an HTTP request or of the tunnel script's answer.
class HttpException : public Exception {
 public:
  using Exception::Exception;
};

// A queue of bytes in chunks of a fixed size: written at the back, read from
// the front.
class TDataBuffer {
 public:
  static constexpr size_t kChunkSize = 32768;

  TDataBuffer() { Clear(); }
  void Write(const uint8_t* data, size_t count);
  // Removes `count` bytes from the front; fewer queued raises HttpException
  // "There is no enough data to read".
  void Read(uint8_t* data, size_t count);
  // Index (from the front) of the first byte `value` at or after `from`, or -1.
  int64_t Search(uint8_t value, size_t from = 0) const;
  size_t DataLength() const { return FLength; }
  void Clear();

 private:
  std::deque<std::vector<uint8_t>> FChunks;
  size_t FReadPos = 0;   // in the oldest chunk
  size_t FWritePos = 0;  // in the newest chunk
  size_t FLength = 0;
};

// The parts of a URL, each kept with its leading mark ("?query", ";params",
// "#fragment", ":port") as the request line puts them back together.
struct THttpUrl {
  std::string Scheme;  // with its colon; "http:" when the URL names none
  std::string User, Password;
  std::string NetworkLocation;  // host[:port], without the user information
  std::string Host;             // the network location without the port
  std::string Port;             // with its colon, or empty
  std::string Query, Parameters, Resource, Path, Fragment;
};

// Splits a URL as the request sends it (pure).
THttpUrl SplitHttpUrl(std::string_view url);
// The scheme's default port ("http:" 80, ...); 80 for a scheme without one.
int DefaultHttpPort(std::string_view scheme);
// Base64 (the standard alphabet, with padding).
std::string Base64Encode(std::string_view data);
// Every byte outside the unreserved set as %XX: values safe in a query.
std::string PercentEncode(std::string_view value);

// The head of an HTTP answer.
struct THttpResponseHead {
  int ReplyNumber = 0;
  std::string ReplyMessage;  // the status line without its line end
  std::string Location;
  std::string CookieIn;
  int64_t BytesTotal = -1;  // Content-Length; -1 when the answer names none
  std::vector<std::string> Header;
};

// Limits of an answer's head: longer lines, more lines or a larger head are
// refused rather than buffered without end.
constexpr size_t kHttpMaxLine = 8192;
constexpr size_t kHttpMaxHeadLines = 100;
constexpr size_t kHttpMaxHead = 65536;

// Reads an answer's head from the start of `data` (pure). Returns the bytes
// the head takes (status line to the empty line, inclusive) and fills `head`,
// or 0 when `data` does not hold the whole head yet. A head that is not
// HTTP, breaks a limit or carries a malformed or repeated Content-Length
// raises HttpException.
size_t ParseHttpResponseHead(std::span<const uint8_t> data, THttpResponseHead& head);

enum THttpMethod { hmGET, hmOPTIONS, hmHEAD, hmPOST, hmPUT, hmTRACE };

struct THeaderInfo {
  std::string LocalMailAddress, LocalProgram, Cookie, Referer, UserId, Password, ProxyUserId, ProxyPassword;
};

class TZelHttp {
 public:
  static constexpr int kMaxRedirects = 5;

  explicit TZelHttp(std::string url = std::string());
  ~TZelHttp();
  TZelHttp(const TZelHttp&) = delete;
  TZelHttp& operator=(const TZelHttp&) = delete;

  void Get();
  void Get(const std::string& url);
  // Sends `body`, or the queued WriteData when `body` is empty.
  void Post(const std::string& url, std::string body);
  void Post();
  void Head();
  void Options();
  void Put();
  void Trace();

  // Closes the connection from any thread: a read that waits on it returns.
  void Abort();
  void Disconnect();
  // True when body bytes can be read within `timeout` seconds.
  bool WaitForData(int timeout);
  // One line of the answer, with its line end; raises when the connection
  // ends before the line does.
  std::string ReadLine();
  // Up to `count` body bytes: waits (within the time-out) only when nothing
  // is buffered. A body that ends before its Content-Length raises.
  int Read(uint8_t* buffer, int offset, int count);
  // Reads exactly `count` bytes unless the body ends first; returns how many.
  int ReadFull(uint8_t* buffer, int count);
  // True when the whole body has been read (its Content-Length reached, or
  // the connection ended an answer without one).
  bool BodyEnded() const;

  int Timeout() const { return FTimeout; }
  void SetTimeout(int seconds);
  const std::string& Url() const { return FURL; }
  void SetUrl(std::string url) { FURL = std::move(url); }
  THeaderInfo& HeaderInfo() { return FHeaderInfo; }
  void SetProxy(std::string host, int port) {
    FProxy = std::move(host);
    FProxyPort = port;
  }
  bool KeepAlive() const { return FKeepAlive; }
  void SetKeepAlive(bool on) { FKeepAlive = on; }
  TDataBuffer& WriteData() { return FWriteDataBuffer; }
  int ReplyNumber() const { return FReplyNumber; }
  const std::string& ReplyMessage() const { return FReplyMessage; }
  const std::string& Location() const { return FLocation; }
  const std::string& CookieIn() const { return FCookieIn; }
  int64_t BytesTotal() const { return FBytesTotal; }
  const std::vector<std::string>& Header() const { return FHeader; }
  std::function<void()> OnAuthenticationNeeded;

 private:
  void Request(THttpMethod method);
  void SendOnce(THttpMethod method, const THttpUrl& url);
  std::string BuildHeader(THttpMethod method, const THttpUrl& url, size_t bodyLength) const;
  void ReadResponseHead();
  // Reads once from the socket into the read buffer; 0 at the end or on failure.
  int Fill(size_t most);
  [[noreturn]] void RaiseReadFailure();

  std::vector<std::string> FHeader;
  std::string FLocation, FCookieIn, FSendData, FURL;
  THttpMethod FRequestMethod = hmGET;
  THeaderInfo FHeaderInfo;
  int FReplyNumber = 0;
  std::string FReplyMessage;
  int64_t FBytesTotal = -1;
  int64_t FBodyRead = 0;  // body bytes taken from the socket so far
  bool FEnded = false;    // the connection ended after the head
  std::unique_ptr<TZelVioTcp> FVioTcp;
  int FTimeout = 15;
  int FPortNo = 0;
  std::string FProxy;
  int FProxyPort = 8080;
  std::mutex FLock;  // guards FVioTcp against Abort from another thread
  TDataBuffer FReadDataBuffer, FWriteDataBuffer;
  std::vector<uint8_t> FBuffer;
  bool FKeepAlive = true;
};

}  // namespace vix
