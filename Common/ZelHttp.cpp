#include "Common/ZelHttp.h"

#ifdef _WIN32
#include <winsock2.h>
#define SHUT_RDWR SD_BOTH
#else
#include <sys/socket.h>
#endif

#include <algorithm>
#include <cstring>

namespace vix {

namespace {

char Upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool SameAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

std::string_view TrimAscii(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

bool HasLineBreak(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

[[noreturn]] void Fail(const std::string& text) {
  throw HttpException(Utf8ToUtf16Lenient(text));
}

// Content-Length: decimal digits only, below a terabyte.
int64_t ParseLength(std::string_view value) {
  value = TrimAscii(value);
  if (value.empty() || value.size() > 12) Fail("Invalid Content-Length in the HTTP answer");
  int64_t n = 0;
  for (char c : value) {
    if (c < '0' || c > '9') Fail("Invalid Content-Length in the HTTP answer");
    n = n * 10 + (c - '0');
  }
  return n;
}

struct TSchemePort {
  const char* scheme;
  int port;
};
constexpr TSchemePort kDefaultPorts[] = {
    {"ftp:", 21},   {"telnet:", 23}, {"smtp:", 25},  {"whois:", 43},  {"whois++:", 63}, {"gopher:", 70},
    {"http:", 80},  {"pop3:", 110},  {"nntp:", 119}, {"news:", 119},  {"imap2:", 143},  {"irc:", 194},
    {"wais:", 210}, {"imap3:", 220}, {"ldap:", 389}, {"https:", 443},
};

}  // namespace

// ---------------------------------------------------------------------------
// TDataBuffer

void TDataBuffer::Clear() {
  FChunks.clear();
  FChunks.emplace_back(kChunkSize);
  FReadPos = FWritePos = FLength = 0;
}

void TDataBuffer::Write(const uint8_t* data, size_t count) {
  while (count > 0) {
    if (FWritePos == kChunkSize) {
      FChunks.emplace_back(kChunkSize);
      FWritePos = 0;
    }
    const size_t n = std::min(count, kChunkSize - FWritePos);
    std::memcpy(FChunks.back().data() + FWritePos, data, n);
    FWritePos += n;
    FLength += n;
    data += n;
    count -= n;
  }
}

void TDataBuffer::Read(uint8_t* data, size_t count) {
  if (count > FLength) throw HttpException(u"There is no enough data to read");
  while (count > 0) {
    const size_t end = FChunks.size() == 1 ? FWritePos : kChunkSize;
    const size_t n = std::min(count, end - FReadPos);
    std::memcpy(data, FChunks.front().data() + FReadPos, n);
    FReadPos += n;
    FLength -= n;
    data += n;
    count -= n;
    if (FReadPos == end) {
      if (FChunks.size() == 1) {
        FReadPos = FWritePos = 0;
      } else {
        FChunks.pop_front();
        FReadPos = 0;
      }
    }
  }
}

int64_t TDataBuffer::Search(uint8_t value, size_t from) const {
  size_t index = 0;
  for (size_t c = 0; c < FChunks.size(); ++c) {
    const size_t begin = c == 0 ? FReadPos : 0;
    const size_t end = c + 1 == FChunks.size() ? FWritePos : kChunkSize;
    const size_t size = end > begin ? end - begin : 0;
    if (from < index + size) {
      const uint8_t* base = FChunks[c].data() + begin;
      const size_t start = from > index ? from - index : 0;
      const void* hit = std::memchr(base + start, value, size - start);
      if (hit) return static_cast<int64_t>(index + (static_cast<const uint8_t*>(hit) - base));
    }
    index += size;
  }
  return -1;
}

// ---------------------------------------------------------------------------
// Pure helpers

int DefaultHttpPort(std::string_view scheme) {
  for (const TSchemePort& e : kDefaultPorts)
    if (SameAscii(scheme, e.scheme)) return e.port;
  return 80;
}

THttpUrl SplitHttpUrl(std::string_view url) {
  THttpUrl u;
  std::string_view rest = TrimAscii(url);
  if (size_t p = rest.find('#'); p != std::string_view::npos) {
    u.Fragment = rest.substr(p);
    rest = rest.substr(0, p);
  }
  size_t i = 0;
  auto schemeChar = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
           c == '.';
  };
  while (i < rest.size() && schemeChar(rest[i])) ++i;
  if (i > 0 && i + 1 < rest.size() && rest[i] == ':' && rest[i + 1] == '/') {
    u.Scheme = rest.substr(0, i + 1);
    rest = rest.substr(i + 1);
  } else {
    u.Scheme = "http:";
  }
  std::string_view location;
  if (rest.substr(0, 2) == "//") {
    rest = rest.substr(2);
    const size_t end = rest.find_first_of("/?;");
    location = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
  } else if (const size_t slash = rest.find('/'); slash == std::string_view::npos) {
    location = rest;
    rest = std::string_view();
  } else if (slash > 0) {
    location = rest.substr(0, slash);
    rest = rest.substr(slash);
  }
  if (size_t p = rest.find('?'); p != std::string_view::npos) {
    u.Query = rest.substr(p);
    rest = rest.substr(0, p);
  }
  if (size_t p = rest.find(';'); p != std::string_view::npos) {
    u.Parameters = rest.substr(p);
    rest = rest.substr(0, p);
  }
  if (rest.find('.') != std::string_view::npos) {
    const size_t slash = rest.rfind('/');
    const size_t start = slash == std::string_view::npos ? 0 : slash + 1;
    u.Resource = rest.substr(start);
    rest = rest.substr(0, start);
  }
  u.Path = rest.empty() ? std::string("/") : std::string(rest);
  if (size_t at = location.rfind('@'); at != std::string_view::npos) {
    const std::string_view info = location.substr(0, at);
    location = location.substr(at + 1);
    const size_t colon = info.find(':');
    u.User = info.substr(0, colon);
    if (colon != std::string_view::npos) u.Password = info.substr(colon + 1);
  }
  u.NetworkLocation = location;
  const size_t colon = location.find(':');
  u.Host = location.substr(0, colon);
  if (colon != std::string_view::npos) u.Port = location.substr(colon);
  return u;
}

std::string Base64Encode(std::string_view data) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < data.size(); i += 3) {
    const uint32_t v = (uint8_t(data[i]) << 16) | (uint8_t(data[i + 1]) << 8) | uint8_t(data[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i + 1 == data.size()) {
    const uint32_t v = uint8_t(data[i]) << 16;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == data.size()) {
    const uint32_t v = (uint8_t(data[i]) << 16) | (uint8_t(data[i + 1]) << 8);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::string PercentEncode(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : value) {
    const uint8_t c = static_cast<uint8_t>(ch);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
        c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

size_t ParseHttpResponseHead(std::span<const uint8_t> data, THttpResponseHead& head) {
  head = THttpResponseHead();
  const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  bool haveLength = false;
  size_t pos = 0;
  for (size_t line = 0;; ++line) {
    const size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) {
      if (text.size() - pos > kHttpMaxLine) Fail("A line of the HTTP answer's header is too long");
      if (text.size() > kHttpMaxHead) Fail("The HTTP answer's header is too long");
      return 0;
    }
    if (end + 1 - pos > kHttpMaxLine) Fail("A line of the HTTP answer's header is too long");
    if (end + 1 > kHttpMaxHead) Fail("The HTTP answer's header is too long");
    if (line > kHttpMaxHeadLines) Fail("The HTTP answer's header has too many lines");
    std::string_view raw = text.substr(pos, end - pos);
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    pos = end + 1;
    if (line == 0) {
      if (raw.size() < 4 || !SameAscii(raw.substr(0, 4), "HTTP")) Fail("Unknown protocol");
      head.ReplyMessage = raw;
      // The second word, when it is a number of at most three digits.
      const size_t blank = raw.find(' ');
      if (blank != std::string_view::npos) {
        std::string_view word = raw.substr(blank + 1);
        while (!word.empty() && word.front() == ' ') word.remove_prefix(1);
        word = word.substr(0, word.find(' '));
        int n = 0;
        bool ok = !word.empty() && word.size() <= 3;
        for (char c : word) {
          if (c < '0' || c > '9') ok = false;
          n = n * 10 + (c - '0');
        }
        head.ReplyNumber = ok ? n : 0;
      }
      head.Header.emplace_back(raw);
      continue;
    }
    if (raw.empty()) return pos;
    head.Header.emplace_back(raw);
    const size_t colon = raw.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = TrimAscii(raw.substr(0, colon));
    const std::string_view value = TrimAscii(raw.substr(colon + 1));
    if (SameAscii(name, "Set-Cookie")) {
      head.CookieIn = TrimAscii(value.substr(0, value.find(';')));
    } else if (SameAscii(name, "Location")) {
      head.Location = value;
    } else if (SameAscii(name, "Content-Length")) {
      const int64_t n = ParseLength(value);
      if (haveLength && n != head.BytesTotal) Fail("The HTTP answer names two different Content-Lengths");
      head.BytesTotal = n;
      haveLength = true;
    }
  }
}

// ---------------------------------------------------------------------------
// TZelHttp

TZelHttp::TZelHttp(std::string url) : FURL(std::move(url)), FBuffer(TDataBuffer::kChunkSize) {}

TZelHttp::~TZelHttp() {
  Disconnect();
}

void TZelHttp::SetTimeout(int seconds) {
  FTimeout = seconds;
  std::lock_guard<std::mutex> guard(FLock);
  if (FVioTcp) FVioTcp->SetTimeout(seconds);
}

void TZelHttp::Get() {
  Request(hmGET);
}
void TZelHttp::Get(const std::string& url) {
  FURL = url;
  Request(hmGET);
}
void TZelHttp::Post(const std::string& url, std::string body) {
  FURL = url;
  FSendData = std::move(body);
  Request(hmPOST);
}
void TZelHttp::Post() {
  Request(hmPOST);
}
void TZelHttp::Head() {
  Request(hmHEAD);
}
void TZelHttp::Options() {
  Request(hmOPTIONS);
}
void TZelHttp::Put() {
  Request(hmPUT);
}
void TZelHttp::Trace() {
  Request(hmTRACE);
}

void TZelHttp::Abort() {
  std::lock_guard<std::mutex> guard(FLock);
  // shutdown wakes a receive that waits on the socket; the owner closes it.
  if (FVioTcp && FVioTcp->IsActive()) shutdown(FVioTcp->GetSocket(), SHUT_RDWR);
}

void TZelHttp::Disconnect() {
  std::unique_ptr<TZelVioTcp> vio;
  {
    std::lock_guard<std::mutex> guard(FLock);
    vio = std::move(FVioTcp);
  }
  vio.reset();
  FReadDataBuffer.Clear();
  FWriteDataBuffer.Clear();
}

std::string TZelHttp::BuildHeader(THttpMethod method, const THttpUrl& url, size_t bodyLength) const {
  static constexpr const char* kMethods[] = {"GET ", "OPTIONS ", "HEAD ", "POST ", "PUT ", "TRACE "};
  std::string target;
  if (!FProxy.empty()) {
    target = url.Scheme + "//" + url.NetworkLocation + url.Path + url.Resource + url.Parameters + url.Query;
  } else {
    target = url.Path + url.Resource + url.Parameters + url.Query;
  }
  std::replace(target.begin(), target.end(), ' ', '+');
  std::vector<std::string> lines;
  lines.push_back(kMethods[method] + target + " HTTP/1.0");
  if (!FProxy.empty()) lines.emplace_back("Proxy-Connection: Keep-Alive");
  lines.push_back("Host:" + url.NetworkLocation);
  lines.emplace_back("Cache-Control: no-store,no-cache");
  lines.emplace_back("Pragma: no-cache");
  if (!FHeaderInfo.Cookie.empty()) lines.push_back("Cookie:" + FHeaderInfo.Cookie);
  if (!FHeaderInfo.Referer.empty()) lines.push_back("Referer:" + FHeaderInfo.Referer);
  if (!FHeaderInfo.LocalProgram.empty()) lines.push_back("User-Agent:" + FHeaderInfo.LocalProgram);
  if (!FHeaderInfo.LocalMailAddress.empty()) lines.push_back("From:" + FHeaderInfo.LocalMailAddress);
  if (!FHeaderInfo.UserId.empty() && !FHeaderInfo.Password.empty())
    lines.push_back("Authorization:Basic " + Base64Encode(FHeaderInfo.UserId + ":" + FHeaderInfo.Password));
  if (!FProxy.empty() && !FHeaderInfo.ProxyUserId.empty() && !FHeaderInfo.ProxyPassword.empty())
    lines.push_back("Proxy-Authorization:Basic " +
                    Base64Encode(FHeaderInfo.ProxyUserId + ":" + FHeaderInfo.ProxyPassword));
  if (method == hmPOST || method == hmPUT || method == hmTRACE) {
    lines.emplace_back("Content-Type: application/octet-stream");
    lines.push_back("Content-Length: " + std::to_string(bodyLength));
  }
  std::string out;
  for (const std::string& line : lines) {
    // A setting or a redirect's location that would end a header line early
    // never reaches the wire.
    if (HasLineBreak(line)) Fail("A line break in an HTTP request setting is not allowed");
    out += line;
    out += "\r\n";
  }
  out += "\r\n";
  return out;
}

int TZelHttp::Fill(size_t most) {
  if (!FVioTcp) return 0;
  size_t want = std::min(most, FBuffer.size());
  if (FBytesTotal >= 0) want = std::min<int64_t>(static_cast<int64_t>(want), FBytesTotal - FBodyRead);
  if (want == 0) return 0;
  const int n = FVioTcp->ReadNoWait(FBuffer.data(), 0, static_cast<int>(want));
  if (n > 0) {
    FReadDataBuffer.Write(FBuffer.data(), static_cast<size_t>(n));
    FBodyRead += n;
  }
  return n;
}

void TZelHttp::RaiseReadFailure() {
  std::string text = FVioTcp ? Utf16ToUtf8(FVioTcp->LastError()) : std::string();
  if (text.empty()) {
    text = FBytesTotal >= 0 ? "The HTTP answer ended after " + std::to_string(FBodyRead) + " of its " +
                                  std::to_string(FBytesTotal) + " bytes"
                            : "There is no enough data to read";
  }
  throw HttpException(Utf8ToUtf16Lenient(text));
}

void TZelHttp::ReadResponseHead() {
  std::vector<uint8_t> in;
  THttpResponseHead head;
  for (;;) {
    const int n = FVioTcp->ReadNoWait(FBuffer.data(), 0, static_cast<int>(FBuffer.size()));
    if (n <= 0) {
      const UString error = FVioTcp->LastError();
      throw HttpException(error.empty() ? UString(u"There is no enough data to read") : error);
    }
    in.insert(in.end(), FBuffer.begin(), FBuffer.begin() + n);
    const size_t used = ParseHttpResponseHead(in, head);
    if (used == 0) continue;
    FReplyNumber = head.ReplyNumber;
    FReplyMessage = std::move(head.ReplyMessage);
    FLocation = std::move(head.Location);
    if (!head.CookieIn.empty()) FCookieIn = std::move(head.CookieIn);
    FBytesTotal = head.BytesTotal;
    FHeader = std::move(head.Header);
    size_t extra = in.size() - used;
    if (FBytesTotal >= 0) extra = std::min<size_t>(extra, static_cast<size_t>(FBytesTotal));
    FReadDataBuffer.Write(in.data() + used, extra);
    FBodyRead = static_cast<int64_t>(extra);
    return;
  }
}

void TZelHttp::SendOnce(THttpMethod method, const THttpUrl& url) {
  Disconnect();
  FEnded = false;
  FBodyRead = 0;
  FBytesTotal = -1;
  std::string body;
  if (method == hmPOST || method == hmPUT || method == hmTRACE) {
    if (FWriteDataBuffer.DataLength() > 0) {
      body.resize(FWriteDataBuffer.DataLength());
      FWriteDataBuffer.Read(reinterpret_cast<uint8_t*>(body.data()), body.size());
      FSendData = body;
    } else {
      body = FSendData;
    }
  }
  const std::string header = BuildHeader(method, url, body.size());
  std::string host = url.Host;
  int port = DefaultHttpPort(url.Scheme);
  if (url.Port.size() > 1) {
    port = 0;
    for (char c : url.Port.substr(1)) {
      if (c < '0' || c > '9' || port > 65535) Fail("Invalid port in the URL \"" + FURL + "\"");
      port = port * 10 + (c - '0');
    }
  }
  if (!FProxy.empty()) {
    host = FProxy;
    port = FProxyPort;
  }
  if (port < 1 || port > 65535) Fail("Invalid port in the URL \"" + FURL + "\"");
  FPortNo = port;
  {
    auto vio = std::make_unique<TZelVioTcp>(host, port);
    vio->SetTimeout(FTimeout);
    vio->SetSendTimeout(FTimeout);
    std::lock_guard<std::mutex> guard(FLock);
    FVioTcp = std::move(vio);
  }
  try {
    FVioTcp->Connect();
  } catch (const Exception& e) {
    const UString cause = FVioTcp->LastError().empty() ? e.Message() : FVioTcp->LastError();
    throw HttpException(Format(u"Cannot connect to %s:%d: %s", {Utf8ToUtf16Lenient(host), port, cause}));
  }
  std::string out = header + body;
  const int n = FVioTcp->Write(reinterpret_cast<const uint8_t*>(out.data()), 0, static_cast<int>(out.size()));
  if (n != static_cast<int>(out.size())) {
    const UString error = FVioTcp->LastError();
    throw HttpException(error.empty() ? UString(u"The HTTP connection closed while the request was sent") : error);
  }
  ReadResponseHead();
}

void TZelHttp::Request(THttpMethod method) {
  FRequestMethod = method;
  std::string url = FURL;
  int redirects = 0;
  bool first = true;
  for (;;) {
    const THttpUrl u = SplitHttpUrl(url);
    if (SameAscii(u.Scheme, "https:"))
      Fail(
          "https URLs are not supported: the HTTP tunnel speaks plain HTTP (use an http:// URL, or the SSL "
          "protocol for an encrypted connection)");
    if (!SameAscii(u.Scheme, "http:")) Fail("Unsupported URL scheme \"" + u.Scheme + "\" in \"" + url + "\"");
    if (u.Host.empty()) Fail("The URL \"" + url + "\" names no host");
    if (first && (!u.User.empty() || !u.Password.empty())) {
      FHeaderInfo.UserId = u.User;
      FHeaderInfo.Password = u.Password;
    }
    first = false;
    SendOnce(method, u);
    if (FReplyNumber >= 300 && FReplyNumber <= 399) {
      const std::string status(TrimAscii(FReplyMessage));
      Disconnect();
      // A request that sends data is never repeated elsewhere: its data may
      // or may not have been taken, and a redirected write must not pass for
      // a written one.
      if (method != hmGET && method != hmHEAD && method != hmOPTIONS)
        Fail("The HTTP server redirected a request that sends data (" + status + ")");
      if (++redirects > kMaxRedirects) Fail("Too many HTTP redirects (" + status + ")");
      if (FLocation.empty()) Fail("HTTP redirect without a location (" + status + ")");
      std::string next = FLocation;
      if (next.find("//") == std::string::npos) {
        const std::string origin = u.Scheme + "//" + u.NetworkLocation;
        next = next.front() == '/' ? origin + next : origin + u.Path + next;
      }
      const THttpUrl n = SplitHttpUrl(next);
      if (!SameAscii(n.NetworkLocation, u.NetworkLocation)) {
        // Credentials and cookies stay with the host they were given for.
        FHeaderInfo.UserId.clear();
        FHeaderInfo.Password.clear();
        FHeaderInfo.Cookie.clear();
      } else if (!FCookieIn.empty()) {
        FHeaderInfo.Cookie = FCookieIn;
      }
      if (!n.User.empty() || !n.Password.empty()) {
        FHeaderInfo.UserId = n.User;
        FHeaderInfo.Password = n.Password;
      }
      url = next;
      FURL = url;
      continue;
    }
    if (FReplyNumber == 401 && OnAuthenticationNeeded) OnAuthenticationNeeded();
    if (FReplyNumber >= 400) {
      const std::string status(TrimAscii(FReplyMessage));
      Disconnect();
      Fail(status);
    }
    return;
  }
}

bool TZelHttp::BodyEnded() const {
  if (FReadDataBuffer.DataLength() > 0) return false;
  return !FVioTcp || FEnded || (FBytesTotal >= 0 && FBodyRead >= FBytesTotal);
}

bool TZelHttp::WaitForData(int timeout) {
  if (FReadDataBuffer.DataLength() > 0) return true;
  if (BodyEnded()) return false;
  return FVioTcp->WaitForData(timeout);
}

std::string TZelHttp::ReadLine() {
  if (!FVioTcp && FReadDataBuffer.DataLength() == 0) return std::string();
  int64_t end;
  while ((end = FReadDataBuffer.Search('\n')) < 0) {
    if (FReadDataBuffer.DataLength() > kHttpMaxLine) Fail("A line of the HTTP answer is too long");
    if (BodyEnded() || Fill(FBuffer.size()) <= 0) RaiseReadFailure();
  }
  std::string line(static_cast<size_t>(end) + 1, '\0');
  FReadDataBuffer.Read(reinterpret_cast<uint8_t*>(line.data()), line.size());
  return line;
}

int TZelHttp::Read(uint8_t* buffer, int offset, int count) {
  if (count <= 0 || BodyEnded()) return 0;
  if (FReadDataBuffer.DataLength() == 0) {
    // Nothing buffered: wait (within the time-out) for the next bytes, straight
    // into the caller's memory.
    int64_t want = count;
    if (FBytesTotal >= 0) want = std::min(want, FBytesTotal - FBodyRead);
    const int n = FVioTcp->ReadNoWait(buffer, offset, static_cast<int>(want));
    if (n > 0) {
      FBodyRead += n;
      return n;
    }
    if (FBytesTotal >= 0 || !FVioTcp->LastError().empty()) RaiseReadFailure();
    FEnded = true;  // an answer without a length ends with its connection
    return 0;
  }
  while (FReadDataBuffer.DataLength() < static_cast<size_t>(count) && !BodyEnded() && FVioTcp->WaitForData(0)) {
    if (Fill(FBuffer.size()) <= 0) break;
  }
  const size_t n = std::min(FReadDataBuffer.DataLength(), static_cast<size_t>(count));
  FReadDataBuffer.Read(buffer + offset, n);
  return static_cast<int>(n);
}

int TZelHttp::ReadFull(uint8_t* buffer, int count) {
  int done = 0;
  while (done < count) {
    const int n = Read(buffer, done, count - done);
    if (n <= 0) break;
    done += n;
  }
  return done;
}

}  // namespace vix
