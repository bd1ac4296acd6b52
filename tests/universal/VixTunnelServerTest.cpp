// The universal connection and query through the HTTP tunnel: our client ->
// the tunnel server (tools/tunnel-server, started by the test services with
// its test faults on) -> the private MariaDB server. Also the one test that
// runs the same user path over each transport: tunnel, TLS and local socket.
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "Common/ZelVioHttp.h"
#include "MySql/MyClasses.h"
#include "MySql/MySQLVixProvider.h"
#include "TestSupport.h"
#include "rtl/CodePage.h"
#include "universal/Vix.h"

namespace vix {
namespace {

using test::EnvOr;
using Clock = std::chrono::steady_clock;

// A connection and a query set up for the tunnel at `url`.
struct TunnelClient {
  TVixConnection connection;
  TVixQuery query;

  explicit TunnelClient(const std::string& url, const std::string& host = EnvOr("VIX_MYSQL_HOST")) {
    RegisterMySQLVixProvider();
    connection.SetProviderName(u"MySQL");
    connection.SetServer(Utf8ToUtf16(host));
    connection.SetPort(std::stoi(EnvOr("VIX_MYSQL_PORT", "0")));
    connection.SetDatabase(Utf8ToUtf16(EnvOr("VIX_MYSQL_DATABASE", "vixtest")));
    connection.SetUsername(Utf8ToUtf16(EnvOr("VIX_MYSQL_USER", "vix")));
    connection.SetPassword(Utf8ToUtf16(EnvOr("VIX_MYSQL_PASSWORD")));
    auto& o = connection.SpecificOptions();
    o.Add(u"MySQL.UseUnicode=True");
    o.Add(u"MySQL.Protocol=mpHttp");
    o.Add(u"MySQL.HttpUrl=" + Utf8ToUtf16(url));
    o.Add(u"MySQL.HttpUsername=" + Utf8ToUtf16(EnvOr("VIX_TUNNEL_USER")));
    o.Add(u"MySQL.HttpPassword=" + Utf8ToUtf16(EnvOr("VIX_TUNNEL_PASSWORD")));
    query.SetConnection(&connection);
  }
  ~TunnelClient() {
    query.Close();
    connection.Close();
  }
  // 0, or the error number with its message.
  int ConnectError(UString& message) {
    try {
      connection.Connect();
    } catch (const EVixError& e) {
      message = e.Message();
      return e.ErrorCode();
    }
    return 0;
  }
  UString Value(const UString& sql) {
    query.SetSQL(sql);
    query.Open();
    const UString v = query.Fields(0).AsString();
    query.Close();
    return v;
  }
};

struct VixTunnelServerTest : ::testing::Test {
  std::string url;
  void SetUp() override {
    url = EnvOr("VIX_TUNNEL_URL");
    VIX_REQUIRE_COMPONENT(!url.empty() && !EnvOr("VIX_MYSQL_HOST").empty(),
                          "tunnel server in front of the MariaDB test server (VIX_TUNNEL_URL)");
  }
  std::string FaultUrl(const std::string& mode) const { return url + "fault/" + mode + "/"; }
};

TEST_F(VixTunnelServerTest, LogsInQueriesAndClosesTheTunnel) {
  std::string tunnelNumber;
  {
    TunnelClient c(url);
    UString message;
    ASSERT_EQ(c.ConnectError(message), 0) << Utf16ToUtf8(message);
    c.query.SetSQL(u"SELECT CONCAT('tunnel ', :Word) AS Said, CONNECTION_ID() AS Id");
    c.query.ParamByName(u"Word").SetAsString(u"터널");
    c.query.Open();
    EXPECT_EQ(c.query.FieldByName(u"Said").AsString(), u"tunnel 터널");
    c.query.Close();
  }
  // The server wrote one line for the tunnel when the client closed it.
  const std::string log = test::HostFilePath(EnvOr("VIX_TUNNEL_LOG"));
  if (log.empty()) return;
  std::string text;
  for (int i = 0; i < 50 && text.find("end=closed") == std::string::npos; ++i) {
    std::ifstream in(log);
    std::stringstream all;
    all << in.rdbuf();
    text = all.str();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_NE(text.find("user=vixtunnel"), std::string::npos) << text;
  EXPECT_NE(text.find("end=closed"), std::string::npos) << text;
}

TEST_F(VixTunnelServerTest, MillionRowsAndFortyMegabytes) {
  TunnelClient c(url);
  UString message;
  ASSERT_EQ(c.ConnectError(message), 0) << Utf16ToUtf8(message);
  c.query.SetSQL(u"SELECT seq, CONCAT('row ', seq) AS t FROM seq_1_to_1000000");
  c.query.Open();
  EXPECT_EQ(c.query.RecordCount(), 1000000);
  c.query.Last();
  EXPECT_EQ(c.query.FieldByName(u"t").AsString(), u"row 1000000");
  c.query.Close();

  UString big(40 * 1024 * 1024 + 5, u'x');
  for (size_t i = 0; i < big.size(); i += 7919) big[i] = static_cast<char16_t>(u'a' + (i / 7919) % 26);
  c.query.SetSQL(u"SELECT :V AS V, LENGTH(:V) AS L");
  c.query.ParamByName(u"V").SetAsString(big);
  c.query.Open();
  EXPECT_EQ(c.query.FieldByName(u"L").AsInteger(), static_cast<int64_t>(big.size()));
  EXPECT_TRUE(c.query.FieldByName(u"V").AsString() == big);
}

// The test services' tunnel server closes a tunnel after 6 seconds without a
// request: the client's keep-alives hold an idle session open, and a tunnel
// nobody keeps alive is gone.
TEST_F(VixTunnelServerTest, KeepAlivesHoldAnIdleTunnelAndSilentOnesAreReaped) {
  TunnelClient c(url);
  UString message;
  ASSERT_EQ(c.ConnectError(message), 0) << Utf16ToUtf8(message);
  std::this_thread::sleep_for(std::chrono::seconds(9));
  EXPECT_EQ(c.Value(u"SELECT 'still here'"), u"still here");

  // A tunnel opened by hand and then left alone.
  auto request = [&](const std::string& query) {
    TZelHttp http(url + "?" + query);
    http.HeaderInfo().UserId = EnvOr("VIX_TUNNEL_USER");
    http.HeaderInfo().Password = EnvOr("VIX_TUNNEL_PASSWORD");
    http.Get();
    std::string body(4096, '\0');
    body.resize(static_cast<size_t>(http.ReadFull(reinterpret_cast<uint8_t*>(body.data()), 4096)));
    return body;
  };
  const std::string target = "s=" + EnvOr("VIX_MYSQL_HOST") + "&p=" + EnvOr("VIX_MYSQL_PORT") + "&id=" + NewTunnelId();
  ASSERT_EQ(request("a=c&" + target + "&port=0"), "OK:");
  const std::string test = request("a=t&" + target + "&port=0");
  int tunnel = 0, seconds = 0;
  ASSERT_TRUE(ParseTunnelTestAnswer(test.substr(3), tunnel, seconds)) << test;
  EXPECT_EQ(seconds, 6);
  EXPECT_EQ(request("a=l&port=" + std::to_string(tunnel)), "OK:");
  std::this_thread::sleep_for(std::chrono::seconds(8));
  EXPECT_EQ(request("a=l&port=" + std::to_string(tunnel)).substr(0, 18), "ER:No such tunnel ");
}

// A connection time-out of 0 means no limit, not "give up at once".
TEST_F(VixTunnelServerTest, ConnectionTimeoutZeroStillConnects) {
  TunnelClient c(url);
  c.connection.SpecificOptions().SetValues(u"MySQL.ConnectionTimeout", u"0");
  UString message;
  ASSERT_EQ(c.ConnectError(message), 0) << Utf16ToUtf8(message);
  EXPECT_EQ(c.Value(u"SELECT 1 + 1"), u"2");
}

TEST_F(VixTunnelServerTest, PreparedStatements) {
  TunnelClient c(url);
  UString message;
  ASSERT_EQ(c.ConnectError(message), 0) << Utf16ToUtf8(message);
  c.query.SetSQL(u"SELECT :A * 2 AS D, CONCAT(:B, '!') AS S");
  c.query.Prepare();
  ASSERT_TRUE(c.query.Prepared());
  for (int i : {1, 21, 500}) {
    c.query.ParamByName(u"A").SetAsInteger(i);
    c.query.ParamByName(u"B").SetAsString(u"값" + Utf8ToUtf16(std::to_string(i)));
    c.query.Open();
    EXPECT_EQ(c.query.FieldByName(u"D").AsInteger(), 2 * i);
    EXPECT_EQ(c.query.FieldByName(u"S").AsString(), u"값" + Utf8ToUtf16(std::to_string(i)) + u"!");
    c.query.Close();
  }
}

// Two sessions created at the same moment each get their own tunnel: every
// row one reads is its own.
TEST_F(VixTunnelServerTest, TwoClientsNeverSeeEachOthersRows) {
  auto run = [&](int who, std::string& failure) {
    try {
      TunnelClient c(url);
      c.connection.Connect();
      const UString id = c.Value(u"SELECT CONNECTION_ID()");
      for (int round = 0; round < 20; ++round) {
        c.query.SetSQL(u"SELECT :Who AS W, seq, CONNECTION_ID() AS C FROM seq_1_to_2000");
        c.query.ParamByName(u"Who").SetAsInteger(who);
        c.query.Open();
        if (c.query.RecordCount() != 2000) failure = "row count";
        for (; !c.query.Eof(); c.query.Next()) {
          if (c.query.FieldByName(u"W").AsInteger() != who || c.query.FieldByName(u"C").AsString() != id) {
            failure = "a row of the other client";
            break;
          }
        }
        c.query.Close();
      }
    } catch (const std::exception& e) {
      failure = e.what();
    }
  };
  std::string f1, f2;
  std::thread a(run, 1, std::ref(f1)), b(run, 2, std::ref(f2));
  a.join();
  b.join();
  EXPECT_EQ(f1, "");
  EXPECT_EQ(f2, "");
}

TEST_F(VixTunnelServerTest, RefusesAServerOutsideTheAllowList) {
  TunnelClient c(url, "127.0.0.2");
  UString message;
  EXPECT_EQ(c.ConnectError(message), 2003);
  EXPECT_GT(Pos(u"Cannot establish HTTP connection", message), 0u) << Utf16ToUtf8(message);
  EXPECT_GT(Pos(u"does not relay to 127.0.0.2:", message), 0u) << Utf16ToUtf8(message);
}

TEST_F(VixTunnelServerTest, WrongCredentialsAreRefused) {
  TunnelClient c(url);
  c.connection.SpecificOptions().SetValues(u"MySQL.HttpPassword", u"wrong");
  UString message;
  EXPECT_EQ(c.ConnectError(message), 2003);
  EXPECT_GT(Pos(u"401", message), 0u) << Utf16ToUtf8(message);
}

// Settings the client refuses before anything is sent.
TEST_F(VixTunnelServerTest, SettingsThatCannotBeSentAreRefused) {
  const struct {
    const char16_t* option;
    UString value;
    const char16_t* expected;
  } cases[] = {
      {u"HttpUrl", u"https://127.0.0.1/tunnel/", u"https URLs are not supported"},
      {u"HttpUsername", u"vix\r\nX-Injected: 1", u"must not contain a line break"},
      {u"HttpUrl", u"", u"URL is empty"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(Utf16ToUtf8(k.option));
    TunnelClient c(url);
    c.connection.SpecificOptions().SetValues(UString(u"MySQL.") + k.option, k.value);
    UString message;
    EXPECT_EQ(c.ConnectError(message), 2003);
    EXPECT_GT(Pos(k.expected, message), 0u) << Utf16ToUtf8(message);
  }
}

// Bodies dribbled a few bytes at a time still carry the whole stream.
TEST_F(VixTunnelServerTest, DribbledAnswersAreReadWhole) {
  TunnelClient c(FaultUrl("dribble"));
  UString message;
  ASSERT_EQ(c.ConnectError(message), 0) << Utf16ToUtf8(message);
  UString expected;
  for (int i = 1; i <= 200; ++i) expected += (i > 1 ? u"," : u"") + Utf8ToUtf16(std::to_string(i));
  EXPECT_EQ(c.Value(u"SELECT GROUP_CONCAT(seq ORDER BY seq) FROM seq_1_to_200"), expected);
  EXPECT_EQ(c.Value(u"SELECT LENGTH(REPEAT('ab', 3000))"), u"6000");
}

// Every fault of the server ends in a clean error, in bounded time, and never
// in a login that passes for one.
TEST_F(VixTunnelServerTest, ServerFaultsGiveCleanErrors) {
  const struct {
    const char* mode;
    const char16_t* expected;
  } cases[] = {
      {"cut", u"Lost connection"},
      {"cutwrite", u"Lost connection"},
      {"302", u"Too many HTTP redirects"},
      {"307", u"redirected a request that sends data"},
      {"401", u"401"},
      {"late", u"Lost connection"},
      {"never", u"Lost connection"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.mode);
    TunnelClient c(FaultUrl(k.mode));
    c.connection.SpecificOptions().SetValues(u"MySQL.ConnectionTimeout", u"2");
    const auto start = Clock::now();
    UString message;
    const int error = c.ConnectError(message);
    EXPECT_NE(error, 0);
    EXPECT_GT(Pos(k.expected, message), 0u) << Utf16ToUtf8(message);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
    EXPECT_FALSE(c.connection.GetConnected());
  }
}

// The same user path through each transport, chosen by the option text alone.
struct TransportCase {
  const char* name;
  std::vector<std::string> options;  // "Name=Value", with ${VAR} taken from the environment
  const char* server;                // environment variable of the server, or empty for the host
  const char* needs;
};

void PrintTo(const TransportCase& c, std::ostream* os) {
  *os << c.name;
}

std::string Expand(const std::string& text) {
  std::string out = text;
  for (size_t at; (at = out.find("${")) != std::string::npos;) {
    const size_t end = out.find('}', at);
    out.replace(at, end - at + 1, EnvOr(out.substr(at + 2, end - at - 2).c_str()));
  }
  return out;
}

class VixTransportTest : public ::testing::TestWithParam<TransportCase> {};

TEST_P(VixTransportTest, UniversalConnectionQueriesThroughTheTransport) {
  const TransportCase& k = GetParam();
#ifdef _WIN32
  if (std::string(k.name) != "tunnel") GTEST_SKIP() << "the Windows build has no TLS and no Unix-domain sockets";
#endif
  VIX_REQUIRE_COMPONENT(!EnvOr(k.needs).empty(), k.needs);
  RegisterMySQLVixProvider();
  TVixConnection connection;
  TVixQuery query;
  connection.SetProviderName(u"MySQL");
  connection.SetServer(Utf8ToUtf16(EnvOr(k.server)));
  connection.SetPort(std::stoi(EnvOr("VIX_MYSQL_PORT", "0")));
  connection.SetDatabase(Utf8ToUtf16(EnvOr("VIX_MYSQL_DATABASE", "vixtest")));
  connection.SetUsername(Utf8ToUtf16(EnvOr("VIX_MYSQL_USER", "vix")));
  connection.SetPassword(Utf8ToUtf16(EnvOr("VIX_MYSQL_PASSWORD")));
  connection.SpecificOptions().Add(u"MySQL.UseUnicode=True");
  for (const std::string& o : k.options) connection.SpecificOptions().Add(u"MySQL." + Utf8ToUtf16(Expand(o)));
  query.SetConnection(&connection);
  query.SetSQL(u"SELECT :Name AS N, COUNT(*) AS C FROM seq_1_to_5000");
  query.ParamByName(u"Name").SetAsString(u"전송 " + Utf8ToUtf16(k.name));
  query.Open();
  EXPECT_EQ(query.FieldByName(u"N").AsString(), u"전송 " + Utf8ToUtf16(k.name));
  EXPECT_EQ(query.FieldByName(u"C").AsInteger(), 5000);
  query.Close();
  connection.Close();
}

INSTANTIATE_TEST_SUITE_P(
    Transports, VixTransportTest,
    ::testing::Values(TransportCase{"tunnel",
                                    {"Protocol=mpHttp", "HttpUrl=${VIX_TUNNEL_URL}", "HttpUsername=${VIX_TUNNEL_USER}",
                                     "HttpPassword=${VIX_TUNNEL_PASSWORD}"},
                                    "VIX_MYSQL_HOST",
                                    "VIX_TUNNEL_URL"},
                      TransportCase{"tls",
                                    {"Protocol=mpSSL", "SSLVerify=CA", "SSLCACert=${VIX_MYSQL_SSL_CA}"},
                                    "VIX_MYSQL_HOST",
                                    "VIX_MYSQL_SSL_CA"},
                      TransportCase{"socket", {"Protocol=mpSocket"}, "VIX_MYSQL_SOCKET", "VIX_MYSQL_SOCKET"}),
    [](const ::testing::TestParamInfo<TransportCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vix
