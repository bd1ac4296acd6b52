// The HTTP client's readers and helpers offline: answer heads, URLs, the
// tunnel's request URLs, test answers, keep-alive intervals and the byte queue.
#include <set>
#include <string>

#include "Common/ZelHttp.h"
#include "Common/ZelVioHttp.h"
#include "LoopbackServer.h"
#include "TestSupport.h"

namespace vix {
namespace {

std::span<const uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(ZelHttpTest, ResponseHeads) {
  const std::string longLine = "X-Pad: " + std::string(kHttpMaxLine, 'p') + "\r\n";
  std::string manyLines = "HTTP/1.0 200 OK\r\n";
  for (size_t i = 0; i <= kHttpMaxHeadLines; ++i) manyLines += "X-A: 1\r\n";
  manyLines += "\r\n";
  const struct {
    const char* name;
    std::string data;
    size_t used;  // 0: incomplete (or an error)
    int reply;
    int64_t length;
    const char* location;
    const char* error;  // nullptr: none
  } cases[] = {
      {"plain", "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nOK:ab", 38, 200, 5, "", nullptr},
      {"bare LF", "HTTP/1.1 200 OK\nContent-length:3\n\nOK:", 34, 200, 3, "", nullptr},
      {"no length", "http/1.0 204 No Content\r\n\r\n", 27, 204, -1, "", nullptr},
      {"redirect", "HTTP/1.0 302 Found\r\nLocation: /t/x.php?a=1\r\nSet-Cookie: s=1; path=/\r\n\r\n", 71, 302, -1,
       "/t/x.php?a=1", nullptr},
      {"status without number", "HTTP/1.0 abc\r\n\r\n", 16, 0, -1, "", nullptr},
      {"incomplete", "HTTP/1.0 200 OK\r\nContent-Len", 0, 0, -1, "", nullptr},
      {"not http", "SSH-2.0-OpenSSH\r\n\r\n", 0, 0, -1, "", "Unknown protocol"},
      {"bad length", "HTTP/1.0 200 OK\r\nContent-Length: -1\r\n\r\n", 0, 0, -1, "", "Invalid Content-Length"},
      {"huge length", "HTTP/1.0 200 OK\r\nContent-Length: 99999999999999\r\n\r\n", 0, 0, -1, "",
       "Invalid Content-Length"},
      {"two lengths", "HTTP/1.0 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", 0, 0, -1, "",
       "two different Content-Lengths"},
      {"long line", "HTTP/1.0 200 OK\r\n" + longLine + "\r\n", 0, 0, -1, "", "too long"},
      {"endless line", "HTTP/1.0 200 OK\r\n" + std::string(kHttpMaxLine + 1, 'x'), 0, 0, -1, "", "too long"},
      {"many lines", manyLines, 0, 0, -1, "", "too many lines"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    THttpResponseHead head;
    if (c.error) {
      EXPECT_EQ(test::ErrorOf([&] { ParseHttpResponseHead(Bytes(c.data), head); }).find(c.error) != std::string::npos,
                true)
          << test::ErrorOf([&] { ParseHttpResponseHead(Bytes(c.data), head); });
      continue;
    }
    EXPECT_EQ(ParseHttpResponseHead(Bytes(c.data), head), c.used);
    if (c.used == 0) continue;
    EXPECT_EQ(head.ReplyNumber, c.reply);
    EXPECT_EQ(head.BytesTotal, c.length);
    EXPECT_EQ(head.Location, c.location);
  }
  THttpResponseHead head;
  ParseHttpResponseHead(Bytes(cases[3].data), head);
  EXPECT_EQ(head.CookieIn, "s=1");
}

TEST(ZelHttpTest, UrlParts) {
  const struct {
    const char* url;
    const char* scheme;
    const char* location;
    const char* host;
    const char* port;
    const char* path;
    const char* resource;
    const char* query;
    const char* user;
  } cases[] = {
      {"http://h:8080/t/tunnel.php?a=r&port=7", "http:", "h:8080", "h", ":8080", "/t/", "tunnel.php", "?a=r&port=7",
       ""},
      {"HTTP://u:p@db.example/", "HTTP:", "db.example", "db.example", "", "/", "", "", "u"},
      {"h/x/", "http:", "h", "h", "", "/x/", "", "", ""},
      {"http://h?a=c", "http:", "h", "h", "", "/", "", "?a=c", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    const THttpUrl u = SplitHttpUrl(c.url);
    EXPECT_EQ(u.Scheme, c.scheme);
    EXPECT_EQ(u.NetworkLocation, c.location);
    EXPECT_EQ(u.Host, c.host);
    EXPECT_EQ(u.Port, c.port);
    EXPECT_EQ(u.Path, c.path);
    EXPECT_EQ(u.Resource, c.resource);
    EXPECT_EQ(u.Query, c.query);
    EXPECT_EQ(u.User, c.user);
  }
  EXPECT_EQ(DefaultHttpPort("HTTPS:"), 443);
  EXPECT_EQ(DefaultHttpPort("gopher:"), 70);
  EXPECT_EQ(DefaultHttpPort("other:"), 80);
  EXPECT_EQ(Base64Encode("Aladdin:open sesame"), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
  EXPECT_EQ(Base64Encode("ab"), "YWI=");
}

TEST(ZelHttpTest, TunnelRequestUrls) {
  THttpOptions options;
  options.Url = u" http://web/t.php ";
  TZelVioHttp vio(options, 3306, "db&x=1");
  const std::string id = vio.TunnelId();
  EXPECT_EQ(vio.BaseUrl(), "http://web/t.php/");
  // The host is a query value: encoded, so it cannot add keys of its own.
  EXPECT_EQ(vio.RequestUrl('c'), "http://web/t.php/?a=c&s=db%26x%3D1&p=3306&id=" + id + "&port=0");
  EXPECT_EQ(vio.RequestUrl('r'), "http://web/t.php/?a=r&port=0");
  // Ids of transports created together differ.
  std::set<std::string> ids;
  for (int i = 0; i < 200; ++i) ids.insert(TZelVioHttp(options, 3306, "db").TunnelId());
  EXPECT_EQ(ids.size(), 200u);
}

TEST(ZelHttpTest, TestAnswersAndKeepAliveIntervals) {
  int tunnel = 0, seconds = 0;
  EXPECT_TRUE(ParseTunnelTestAnswer("7\r\n60\r\n", tunnel, seconds));
  EXPECT_EQ(tunnel, 7);
  EXPECT_EQ(seconds, 60);
  for (const char* bad : {"7\n", "x\n60\n", "7\n6a\n", "-1\n60\n", "99999999999\n60\n", ""})
    EXPECT_FALSE(ParseTunnelTestAnswer(bad, tunnel, seconds)) << bad;
  const struct {
    int timeout, notify, ms;
  } cases[] = {
      {15, 60, 45000}, {15, 20, 10000}, {0, 60, 53000},           {15, 1, 500},
      {15, 0, 500},    {15, -5, 500},   {1, 1000000000, 3600000},
  };
  for (const auto& c : cases) EXPECT_EQ(KeepAliveInterval(c.timeout, c.notify), c.ms) << c.timeout << " " << c.notify;
}

TEST(ZelHttpTest, SettingsWithLineBreaksOrHttpsAreRefused) {
  const struct {
    THttpOptions options;
    const char* error;
  } cases[] = {
      {{u"http://h/", u"u\r\nX: y", u"p", {}}, "line break"},
      {{u"http://h/", u"u", u"p", {u"proxy\n", 8080, u"", u""}}, "line break"},
      {{u"https://h/", u"", u"", {}}, "https URLs are not supported"},
      {{u"ftp://h/", u"", u"", {}}, "must start with http://"},
      {{u"http://h/", u"a:b", u"p", {}}, "must not contain ':'"},
      {{u"http://h/", u"", u"", {u"proxy", 0, u"", u""}}, "proxy port"},
  };
  for (const auto& c : cases) {
    const std::string error = test::ErrorOf([&] { CheckHttpOptions(c.options); });
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
  }
  EXPECT_EQ(test::ErrorOf([] { CheckHttpOptions({u"http://h:81/t", u"u", u"p", {}}); }), "<none>");
}

TEST(ZelHttpTest, DataBufferAcrossChunks) {
  TDataBuffer b;
  std::string data(3 * TDataBuffer::kChunkSize + 11, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
  data[2 * TDataBuffer::kChunkSize + 5] = '\n';
  b.Write(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  EXPECT_EQ(b.DataLength(), data.size());
  std::string head(TDataBuffer::kChunkSize + 3, '\0');
  b.Read(reinterpret_cast<uint8_t*>(head.data()), head.size());
  EXPECT_EQ(head, data.substr(0, head.size()));
  EXPECT_EQ(b.Search('\n'), static_cast<int64_t>(2 * TDataBuffer::kChunkSize + 5 - head.size()));
  EXPECT_EQ(b.Search(255), -1);
  std::string rest(b.DataLength(), '\0');
  EXPECT_NE(test::ErrorOf([&] {
              b.Read(reinterpret_cast<uint8_t*>(rest.data()), rest.size() + 1);
            }).find("There is no enough data to read"),
            std::string::npos);
  b.Read(reinterpret_cast<uint8_t*>(rest.data()), rest.size());
  EXPECT_EQ(head + rest, data);
  EXPECT_EQ(b.DataLength(), 0u);
}

// Credentials go with a redirect on the same host and never to another one;
// a request with a body is not redirected at all.
TEST(ZelHttpTest, RedirectsKeepCredentialsOnTheirHost) {
  std::string seenByOther, seenSecond;
  test::TLoopbackServer other([&](int fd) {
    seenByOther = test::RecvUntilIdle(fd, 300);
    test::SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nOK:");
  });
  int round = 0;
  test::TLoopbackServer first(
      [&](int fd) {
        const std::string head = test::RecvUntilIdle(fd, 300);
        if (round++ == 0) {
          test::SendAll(fd, "HTTP/1.0 302 Found\r\nLocation: /second\r\n\r\n");
        } else {
          seenSecond = head;
          test::SendAll(
              fd, "HTTP/1.0 307 Moved\r\nLocation: http://localhost:" + std::to_string(other.Port()) + "/away\r\n\r\n");
        }
      },
      3);
  TZelHttp http("http://127.0.0.1:" + std::to_string(first.Port()) + "/start");
  http.HeaderInfo().UserId = "user";
  http.HeaderInfo().Password = "secret";
  http.Get();
  EXPECT_EQ(http.ReplyNumber(), 200);
  EXPECT_NE(seenSecond.find("GET /second HTTP/1.0"), std::string::npos) << seenSecond;
  EXPECT_NE(seenSecond.find("Authorization:Basic dXNlcjpzZWNyZXQ="), std::string::npos) << seenSecond;
  EXPECT_NE(seenByOther.find("GET /away HTTP/1.0"), std::string::npos) << seenByOther;
  EXPECT_EQ(seenByOther.find("Authorization"), std::string::npos) << seenByOther;

  TZelHttp post("http://127.0.0.1:" + std::to_string(first.Port()) + "/write");
  const std::string error = test::ErrorOf([&] { post.Post(post.Url(), "data"); });
  EXPECT_NE(error.find("redirected a request that sends data"), std::string::npos) << error;
  EXPECT_EQ(other.Accepted(), 1);
}

}  // namespace
}  // namespace vix
