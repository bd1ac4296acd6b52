// The universal connection with the MySQL provider object: provider names
// and option tables offline; setters, errors, clients and the connect and
// disconnect sequence against the test server, through the fault proxy where
// the server must go away.
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackProxy.h"
#include "LoopbackServer.h"
#include "MySql/MyClasses.h"
#include "MySql/MySQLVixProvider.h"
#include "TestSupport.h"
#include "rtl/CodePage.h"
#include "rtl/SysUtils.h"
#include "universal/Vix.h"

namespace vix {
namespace {

using test::ErrorOf;
using test::UnusedLoopbackPort;
using Proxy = test::TLoopbackProxy;

UString U(const std::string& s) {
  return Utf8ToUtf16(s);
}

TMySQLConnection& My(TVixConnection& c) {
  return dynamic_cast<TMySQLConnection&>(*c.ProviderConnection());
}

// A client as a dataset will be one: it registers while attached and
// unregisters when it goes. It writes down what it hears.
struct TRecordingClient : TDAConnectionClient {
  TCustomDAConnection* Connection = nullptr;
  std::vector<std::string> Heard;
  std::function<void(bool connecting)> React;
  bool InTheWay = false;

  TRecordingClient() = default;
  explicit TRecordingClient(TCustomDAConnection& connection) { Attach(connection); }
  void Attach(TCustomDAConnection& connection) {
    Connection = &connection;
    connection.RegisterClient(*this);
  }
  ~TRecordingClient() override {
    if (Connection) Connection->UnRegisterClient(*this);
  }
  void ConnectChange(TCustomDAConnection&, bool connecting) override {
    Heard.push_back(connecting ? "open" : "closing");
    if (React) React(connecting);
  }
  void ProviderConnectionChanged(TCustomDAConnection&, TZelConnection* connection) override {
    Heard.push_back(connection ? "provider" : "no provider");
  }
  void ConnectionDestroying(TCustomDAConnection&) override {
    Connection = nullptr;
    Heard.push_back("destroyed");
  }
  bool PreventsReconnect() const override { return InTheWay; }
  int Count(const std::string& what) const { return static_cast<int>(std::count(Heard.begin(), Heard.end(), what)); }
};

// --- offline ---------------------------------------------------------------------------

TEST(VixConnection, ProviderNamesAndOptionTextAtConnect) {
  RegisterMySQLVixProvider();
  const UString closed = IntToStr(UnusedLoopbackPort());
  struct Case {
    const char16_t* provider;
    const char16_t* options;
    const char* error;  // the start of the message
  } const cases[] = {
      {u"", u"", "Provider is not defined"},
      {u"Oracle", u"",
       "Oracle provider is not registered. You should add the OracleVixProvider unit to the uses clause of any unit "
       "in your project or place the TOracleVixProvider component on the form."},
      {u"Nope", u"", "Nope is not a valid provider name"},
      {u"MySQL", u"MySQL.UseUnicode=yes", "Invalid value: yes for option UseUnicode"},
      {u"MySQL", u"MySQL.Protocol=TCP", "Invalid value: TCP for option Protocol"},
      // Past the provider and its options: the server is not there.
      {u" mysql ", u"MySQL.UseUnicode=True", "Can't connect to MySQL server on '127.0.0.1'"},
      {u"MySQL", u"MySQL.SSLCipherList=x\r\nOracle.UseUnicode=maybe", "Can't connect to MySQL server on '127.0.0.1'"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(ToUtf8(k.provider) + " / " + ToUtf8(k.options));
    TVixConnection c;
    c.SetProviderName(k.provider);
    c.SetServer(u"127.0.0.1");
    c.SetPort(StrToInt(closed));
    if (*k.options) c.SpecificOptions().SetText(k.options);
    const std::string error = ErrorOf([&] { c.Connect(); });
    EXPECT_EQ(error.substr(0, std::string(k.error).size()), k.error) << error;
    EXPECT_FALSE(c.GetConnected());
    EXPECT_EQ(c.GetUseCount(), 0);
  }
  TVixConnection c;
  EXPECT_EQ(ErrorOf([&] { c.SpecificOptions().Add(u"UseUnicode=True"); }), "Provider is not defined");
  EXPECT_EQ(ErrorOf([&] { (void)c.GetServerVersion(); }), "Connection is not connected");
}

TEST(VixConnection, TheDialogsSettingsReachTheMySQLConnection) {
  RegisterMySQLVixProvider();
  TVixConnection c;
  c.SetProviderName(u" MySQL ");
  EXPECT_EQ(c.GetProviderName(), u"MySQL");
  ASSERT_NE(c.GetProvider(), nullptr);
  EXPECT_EQ(c.GetProvider()->GetProviderName(), u"MySQL");
  c.SetServer(u"127.0.0.1");
  c.SetPort(UnusedLoopbackPort());
  c.SetDatabase(u"  kiv8 ");
  c.SpecificOptions().Add(u"UseUnicode=True");
  EXPECT_EQ(c.SpecificOptions().Get(0), u"MySQL.UseUnicode=True");
  EXPECT_EQ(c.GetDatabase(), u"kiv8");
  EXPECT_EQ(c.ProviderConnection(), nullptr);

  // A refused first connect: closed, the provider's error as EVixError, the
  // provider connection made and set up for the next attempt.
  try {
    c.Connect();
    FAIL() << "connected to a closed port";
  } catch (const EVixError& e) {
    EXPECT_EQ(e.ErrorCode(), 2003);
    EXPECT_TRUE(e.IsFatalError());
    EXPECT_EQ(e.Component(), &c);
    const UString lower = LowerCaseAscii(e.Message());
    EXPECT_GT(Pos(u"can't connect", lower), 0u) << e.what();
    EXPECT_GT(Pos(u"socket", lower), 0u) << e.what();
    try {
      std::rethrow_exception(e.InnerError());
    } catch (const EMyError& inner) {
      EXPECT_EQ(inner.ErrorCode(), 2003);
      EXPECT_EQ(inner.Message(), e.Message());
    }
  }
  EXPECT_FALSE(c.GetConnected());
  ASSERT_NE(c.ProviderConnection(), nullptr);
  TMySQLConnection& my = My(c);
  EXPECT_TRUE(my.GetUseUnicode());
  EXPECT_EQ(my.GetConnectionTimeout(), 15);
  EXPECT_TRUE(my.GetCheckPrecision());
  EXPECT_EQ(my.GetProtocol(), mpDefault);
  EXPECT_EQ(my.GetDatabase(), u"kiv8");
  EXPECT_EQ(my.GetComponent(), &c);
  EXPECT_FALSE(c.SpecificOptionsModified());

  // A change of the text is applied at the next connect, defaults included.
  c.SpecificOptions().SetText(u"MySQL.ConnectionTimeout=7");
  EXPECT_TRUE(c.SpecificOptionsModified());
  EXPECT_THROW(c.Connect(), EVixError);
  EXPECT_EQ(my.GetConnectionTimeout(), 7);
  EXPECT_FALSE(my.GetUseUnicode());
  EXPECT_EQ(&My(c), &my);  // the same provider connection

  // An error the OnError handler has dealt with ends in the silent abort,
  // which passes as it is.
  int errors = 0;
  c.OnError = [&errors, &c](TCustomDAConnection& sender, EDAError& E, bool& Fail) {
    ++errors;
    EXPECT_EQ(&sender, &c);
    EXPECT_EQ(E.ErrorCode(), 2003);
    Fail = false;
  };
  EXPECT_THROW(c.Connect(), EAbort);
  EXPECT_EQ(errors, 1);
  EXPECT_FALSE(c.GetConnected());

  // Another provider name frees the provider connection.
  c.SetProviderName(u"SQLite");
  EXPECT_EQ(c.ProviderConnection(), nullptr);
  EXPECT_EQ(c.GetProvider(), nullptr);
}

// A server that asks for the 3.23 password answer (a single 0xFE byte after
// the login) gets it by default; the SecureAuth option refuses it (2049).
TEST(VixConnection, SecureAuthOptionRefusesTheOldPasswordAnswer) {
  RegisterMySQLVixProvider();
  auto packet = [](const std::string& payload, int seq) {
    const size_t n = payload.size();
    return std::string{static_cast<char>(n & 0xFF), static_cast<char>((n >> 8) & 0xFF), static_cast<char>(n >> 16),
                       static_cast<char>(seq)} +
           payload;
  };
  auto readPacket = [](int fd, std::string& payload) {
    std::string head;
    if (!test::RecvExactly(fd, head, 4)) return false;
    const size_t n = static_cast<uint8_t>(head[0]) | (static_cast<uint8_t>(head[1]) << 8) |
                     (static_cast<size_t>(static_cast<uint8_t>(head[2])) << 16);
    return test::RecvExactly(fd, payload, n);
  };
  const std::string greeting = std::string("\x0A") + "5.5.5-10.11.6-MariaDB" + '\0' + std::string("\x07\0\0\0", 4) +
                               "abcdefgh" + '\0' + std::string("\xFE\xF7\x21\x02\x00", 5) + std::string(13, '\0') +
                               "ijklmnopqrst" + '\0';
  const std::string ok("\x00\x00\x00\x02\x00\x00\x00", 7);
  for (const bool secure : {false, true}) {
    SCOPED_TRACE(secure);
    int answers = 0;
    int error = 0;
    {
      test::TLoopbackServer server([&](int fd) {
        std::string p;
        test::SendAll(fd, packet(greeting, 0));
        if (!readPacket(fd, p)) return;
        test::SendAll(fd, packet("\xFE", 2));
        if (!readPacket(fd, p)) return;
        ++answers;  // the 3.23 answer
        test::SendAll(fd, packet(ok, 4));
        while (readPacket(fd, p) && !p.empty() && p[0] != 1) test::SendAll(fd, packet(ok, 1));
      });
      TVixConnection c;
      c.SetProviderName(u"MySQL");
      c.SetServer(u"127.0.0.1");
      c.SetPort(server.Port());
      c.SetUsername(u"user");
      c.SetPassword(u"old-pass");
      if (secure) c.SpecificOptions().Add(u"SecureAuth=True");
      try {
        c.Connect();
        EXPECT_TRUE(c.GetConnected());
      } catch (const EVixError& e) {
        error = e.ErrorCode();
      }
      c.Close();
    }  // the server has seen the client go
    EXPECT_EQ(error, secure ? 2049 : 0);
    EXPECT_EQ(answers, secure ? 0 : 1);
  }
}

TEST(MySQLVixProvider, OptionTables) {
  TMySQLVixProvider provider;
  EXPECT_EQ(provider.GetProviderName(), u"MySQL");
  EXPECT_TRUE(provider.IsDatabaseSupported());
  EXPECT_TRUE(provider.IsPortSupported());
  EXPECT_TRUE(provider.GetConnectionClass().Type == typeid(TMySQLConnection));
  EXPECT_TRUE(provider.GetSqlFormatterClass().Type == typeid(TMySqlFormatter));

  enum Kind { kText, kInteger, kBoolean, kEnumeration };
  struct Case {
    TOptionsList& list;
    const char16_t* name;
    Kind kind;
    const char16_t* defaultText;
    int32_t prop;
  };
  TOptionsList& conn = provider.GetConnectionOptions();
  TOptionsList& sql = provider.GetSQLOptions();
  TOptionsList& ds = provider.GetDataSetOptions();
  const Case cases[] = {
      {conn, u"ConnectionTimeout", kInteger, u"15", prConnectionTimeout},
      {conn, u"Charset", kText, u"", prCharset},
      {conn, u"UseUnicode", kBoolean, u"False", prUseUnicode},
      {conn, u"OptimizedBigint", kBoolean, u"False", prOptimizedBigInt},
      {conn, u"NullForZeroVanticDate", kBoolean, u"False", prNullForZeroVanticDate},
      {conn, u"Compress", kBoolean, u"False", prCompress},
      {conn, u"Protocol", kEnumeration, u"mpDefault", prProtocol},
      {conn, u"Embedded", kBoolean, u"False", prEmbedded},
      {conn, u"Direct", kBoolean, u"True", prDirect},
      {conn, u"EmbeddedParams", kText, u"", prEmbeddedParams},
      {conn, u"SSLChipherList", kText, u"", prSSLCipherList},
      {conn, u"SSLCACert", kText, u"", prSSLCACert},
      {conn, u"SSLCAPath", kText, u"", prSSLCAPath},
      {conn, u"SSLKey", kText, u"", prSSLKey},
      {conn, u"SSLCert", kText, u"", prSSLCert},
      {conn, u"SSLVerify", kEnumeration, u"None", prSSLVerify},
      {conn, u"SecureAuth", kBoolean, u"False", prSecureAuth},
      {conn, u"HttpUrl", kText, u"", prHttpUrl},
      {conn, u"HttpUsername", kText, u"", prHttpUsername},
      {conn, u"HttpPassword", kText, u"", prHttpPassword},
      {conn, u"ProxyHostname", kText, u"", prProxyHostname},
      {conn, u"ProxyPort", kInteger, u"8080", prProxyPort},
      {conn, u"ProxyUsername", kText, u"", prProxyUsername},
      {conn, u"ProxyPassword", kText, u"", prProxyPassword},
      {sql, u"CommandTimeout", kInteger, u"0", prCommandTimeout},
      {ds, u"FetchAll", kBoolean, u"True", prFetchAll},
      {ds, u"CommandTimeout", kInteger, u"0", prCommandTimeout},
      {ds, u"FieldsAsString", kBoolean, u"False", prFieldsAsString},
      {ds, u"NullForZeroDate", kBoolean, u"True", prNullForZeroDate},
      {ds, u"CheckRowVersion", kBoolean, u"False", prCheckRowVersion},
      {ds, u"EnableBoolean", kBoolean, u"True", prEnableBoolean},
      {ds, u"CreateConnection", kBoolean, u"True", prCreateConnection},
      {ds, u"BinaryAsString", kBoolean, u"True", prBinaryAsString},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(ToUtf8(k.name));
    const TOption* option = k.list.OptionByName(k.name);
    ASSERT_NE(option, nullptr);
    EXPECT_EQ(option->GetOptionName(), k.name);
    EXPECT_EQ(option->GetInternalIndex(), k.prop);
    EXPECT_EQ(option->GetAsString(option->GetDefaultValue()), k.defaultText);
    const Kind kind = dynamic_cast<const TEnumeratorOption*>(option) ? kEnumeration
                      : dynamic_cast<const TBooleanOption*>(option)  ? kBoolean
                      : dynamic_cast<const TIntegerOption*>(option)  ? kInteger
                                                                     : kText;
    EXPECT_EQ(kind, k.kind);
  }
  EXPECT_EQ(conn.Count(), 24);
  EXPECT_EQ(sql.Count(), 1);
  EXPECT_EQ(ds.Count(), 8);
  EXPECT_EQ(conn.GetPrefix(), u"MySQL");
  EXPECT_EQ(conn.OptionByName(u"SSLCipherList"), nullptr);
  std::vector<UString> protocols;
  conn.OptionByName(u"Protocol")->GetValuesList(protocols);
  EXPECT_EQ(protocols,
            (std::vector<UString>{u"mpDefault", u"mpTCP", u"mpSocket", u"mpPipe", u"mpMemory", u"mpSSL", u"mpHttp"}));
  EXPECT_EQ(&provider.GetConnectionOptions(), &conn);  // made once
  EXPECT_EQ(provider.GetScriptOptions().Count(), 0);
}

// --- against the test server ------------------------------------------------------------

struct ServerTest : ::testing::Test {
  const test::TMySqlTestServer server;
  const std::string& host = server.Host;
  const int port = server.Port;
  const std::string& user = server.User;
  const std::string& password = server.Password;
  const std::string& db = server.Database;
  std::unique_ptr<TVixConnection> admin;

  void SetUp() override {
    VIX_REQUIRE_COMPONENT(!host.empty(), "MariaDB test server (VIX_MYSQL_HOST)");
    RegisterMySQLVixProvider();
    admin = std::make_unique<TVixConnection>();
    Prepare(*admin);
    admin->Connect();
  }

  // Set up as the dialog sets up its connection.
  void Prepare(TVixConnection& c, int usePort = 0) {
    c.SetProviderName(u"MySQL");
    c.SetServer(U(host));
    c.SetPort(usePort ? usePort : port);
    c.SetUsername(U(user));
    c.SetPassword(U(password));
    c.SetDatabase(U(db));
    c.SpecificOptions().SetText(u"MySQL.UseUnicode=True");
  }

  // The first value of a query's first row, read without the error loop.
  static std::string Scalar(TVixConnection& c, const std::string& sql) {
    TMySQLAPI& api = *My(c).GetMySQLAPI();
    const PMYSQL m = My(c).GetMySQL();
    if (api.mysql_real_query(m, sql.data(), sql.size()) != 0) return "<error>";
    const PMYSQL_RES res = api.mysql_use_result(m);
    std::string first = "<no row>";
    for (PMYSQL_ROW row; res && (row = api.mysql_fetch_row(res));)
      if (first == "<no row>") first = api._mysql_fetch_value_str(row, 0);
    if (res) api.mysql_free_result(res);
    return first;
  }

  uint32_t Session(TVixConnection& c) { return My(c).GetThreadId(); }

  // Whether the server still has that session, once it has had the chance to
  // notice that its client went away.
  bool SessionAlive(uint32_t id) {
    const std::string probe = "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " + std::to_string(id);
    for (int i = 0; i < 400 && Scalar(*admin, probe) != "0"; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    return Scalar(*admin, probe) != "0";
  }
};

TEST_F(ServerTest, SettersOnAnOpenConnection) {
  struct Case {
    const char* what;
    std::function<void(ServerTest&, TVixConnection&)> set;
    bool staysOpen;
    const char* error;  // what the setter raises ("" for nothing)
    std::function<void(ServerTest&, TVixConnection&)> check;
  };
  const auto none = [](ServerTest&, TVixConnection&) {};
  const Case cases[] = {
      {"same server", [](ServerTest& t, TVixConnection& c) { c.SetServer(U(t.host)); }, true, "", none},
      {"other server", [](ServerTest&, TVixConnection& c) { c.SetServer(u"localhost"); }, false, "",
       [](ServerTest&, TVixConnection& c) { EXPECT_EQ(c.GetServer(), u"localhost"); }},
      {"same user", [](ServerTest& t, TVixConnection& c) { c.SetUsername(U(t.user)); }, true, "", none},
      {"other user", [](ServerTest&, TVixConnection& c) { c.SetUsername(u"root"); }, false, "", none},
      {"same password", [](ServerTest& t, TVixConnection& c) { c.SetPassword(U(t.password)); }, true, "", none},
      {"other password", [](ServerTest&, TVixConnection& c) { c.SetPassword(u"pwrq6082"); }, false, "", none},
      {"same port", [](ServerTest& t, TVixConnection& c) { c.SetPort(t.port); }, true, "", none},
      {"other port", [](ServerTest&, TVixConnection& c) { c.SetPort(3307); }, false, "",
       [](ServerTest&, TVixConnection& c) { EXPECT_EQ(My(c).GetPort(), 3307); }},
      {"database with blanks", [](ServerTest&, TVixConnection& c) { c.SetDatabase(u"  information_schema \t"); }, true,
       "",
       [](ServerTest& t, TVixConnection& c) {
         EXPECT_EQ(c.GetDatabase(), u"information_schema");
         EXPECT_EQ(t.Scalar(c, "SELECT DATABASE()"), "information_schema");
       }},
      {"same database with blanks", [](ServerTest& t, TVixConnection& c) { c.SetDatabase(u" " + U(t.db) + u" "); },
       true, "", none},
      // A switch the server refuses keeps the name, so that the next try switches again.
      {"database the server does not have", [](ServerTest&, TVixConnection& c) { c.SetDatabase(u"no_such_db"); }, true,
       "Unknown database 'no_such_db'",
       [](ServerTest& t, TVixConnection& c) {
         EXPECT_EQ(c.GetDatabase(), U(t.db));
         EXPECT_EQ(t.Scalar(c, "SELECT DATABASE()"), t.db);
         EXPECT_THROW(c.SetDatabase(u"no_such_db"), EMyError);
       }},
      {"provider name", [](ServerTest&, TVixConnection& c) { c.SetProviderName(u" MySQL "); }, true,
       "This operation is not allowed on active connection",
       [](ServerTest&, TVixConnection& c) { EXPECT_NE(c.GetProvider(), nullptr); }},
      {"option text", [](ServerTest&, TVixConnection& c) { c.SpecificOptions().Add(u"ConnectionTimeout=7"); }, false,
       "",
       [](ServerTest&, TVixConnection& c) {
         c.Connect();
         EXPECT_EQ(My(c).GetConnectionTimeout(), 7);
         // A line that goes: its option is back at its default at the next connect.
         c.SpecificOptions().SetText(u"MySQL.UseUnicode=True");
         EXPECT_FALSE(c.GetConnected());
         c.Connect();
         EXPECT_EQ(My(c).GetConnectionTimeout(), 15);
       }},
      {"disconnected mode", [](ServerTest&, TVixConnection& c) { c.Options().SetDisconnectedMode(true); }, false, "",
       [](ServerTest&, TVixConnection& c) { EXPECT_TRUE(My(c).GetDisconnectedMode()); }},
      {"BCD", [](ServerTest&, TVixConnection& c) { c.Options().SetEnableBCD(true); }, true, "",
       [](ServerTest&, TVixConnection& c) { EXPECT_TRUE(My(c).GetEnableBCD()); }},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    TVixConnection c;
    Prepare(c);
    c.Connect();
    const uint32_t session = Session(c);
    TRecordingClient client(c);
    const std::string error = ErrorOf([&] { k.set(*this, c); });
    if (*k.error) EXPECT_NE(error.find(k.error), std::string::npos) << error;
    else EXPECT_EQ(error, "<none>");
    EXPECT_EQ(c.GetConnected(), k.staysOpen);
    if (k.staysOpen) {
      EXPECT_EQ(Session(c), session);
      EXPECT_EQ(client.Count("closing"), 0);
    } else {
      EXPECT_EQ(client.Count("closing"), 1);
      EXPECT_FALSE(SessionAlive(session));
    }
    k.check(*this, c);
  }
}

TEST_F(ServerTest, LostAndRefusedConnections) {
  struct Case {
    const char* what;
    bool clientInTheWay;  // a client that a reconnect would lose (a dataset half read)
    bool serverRefuses;   // the reconnect finds no server
    bool reconnected;
  } const cases[] = {
      {"reset while idle: one silent reconnect", false, false, true},
      {"reset, the reconnect is refused", false, true, false},
      {"reset with a client in the way", true, false, false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    Proxy proxy(port);
    TVixConnection c;
    Prepare(c, proxy.Port());
    int errors = 0;
    c.OnError = [&errors](TCustomDAConnection&, EDAError&, bool&) { ++errors; };
    int afterConnect = 0;
    c.AfterConnect = [&afterConnect](TCustomDAConnection&) { ++afterConnect; };
    TRecordingClient client(c);
    client.InTheWay = k.clientInTheWay;
    c.Connect();
    const uint32_t session = Session(c);
    proxy.SetMode(Proxy::Mode::Reset);
    ASSERT_FALSE(SessionAlive(session));
    proxy.SetMode(k.serverRefuses ? Proxy::Mode::Refuse : Proxy::Mode::Pass);
    try {
      My(c).ExecuteStatement(u"SELECT 1");
      FAIL() << "a reset session answered";
    } catch (const EMyError& e) {
      // The error reaches the caller also after a silent reconnect.
      EXPECT_TRUE(e.IsFatalError()) << e.what();
    }
    EXPECT_EQ(c.GetConnected(), k.reconnected);
    EXPECT_EQ(afterConnect, k.reconnected ? 2 : 1);
    EXPECT_EQ(client.Count("closing"), k.reconnected ? 0 : 1);
    if (k.reconnected) {
      EXPECT_EQ(errors, 1);
      EXPECT_NE(Session(c), session);
      EXPECT_EQ(Scalar(c, "SELECT 2"), "2");
    }
  }

  // Refused at connect: EVixError with the provider's message, closed; the
  // next open tries again with the same settings.
  Proxy proxy(port);
  proxy.SetMode(Proxy::Mode::Refuse);
  TVixConnection c;
  Prepare(c, proxy.Port());
  try {
    c.Open();
    FAIL() << "connected through a refusing proxy";
  } catch (const EVixError& e) {
    EXPECT_TRUE(e.IsFatalError()) << e.what();
    try {
      std::rethrow_exception(e.InnerError());
    } catch (const EMyError& inner) {
      EXPECT_EQ(inner.Message(), e.Message());
      EXPECT_EQ(inner.ErrorCode(), e.ErrorCode());
    }
  }
  EXPECT_FALSE(c.GetConnected());
  proxy.SetMode(Proxy::Mode::Pass);
  c.Open();
  EXPECT_TRUE(c.GetConnected());
  EXPECT_EQ(Scalar(c, "SELECT DATABASE()"), db);
}

TEST_F(ServerTest, ClientsAreToldOverASnapshot) {
  TVixConnection c;
  Prepare(c);
  auto leaving = std::make_unique<TRecordingClient>(c);  // unregisters in its callback
  leaving->React = [&](bool) { c.UnRegisterClient(*leaving); };
  auto killer = std::make_unique<TRecordingClient>(c);  // destroys the next one
  auto victim = std::make_unique<TRecordingClient>(c);
  killer->React = [&](bool) { victim.reset(); };
  TRecordingClient witness(c);

  c.Connect();
  EXPECT_EQ(leaving->Heard, (std::vector<std::string>{"provider", "open"}));
  EXPECT_EQ(killer->Heard, (std::vector<std::string>{"provider", "open"}));
  EXPECT_EQ(victim, nullptr);
  EXPECT_EQ(witness.Heard, (std::vector<std::string>{"provider", "open"}));
  c.Disconnect();
  EXPECT_EQ(leaving->Count("closing"), 0);
  EXPECT_EQ(witness.Count("closing"), 1);
  EXPECT_EQ(c.ClientCount(), 2);

  // Another thread attaches and detaches clients while the connection opens
  // and closes.
  struct TCounting : TDAConnectionClient {
    std::atomic<int>& Calls;
    explicit TCounting(std::atomic<int>& calls) : Calls(calls) {}
    void ConnectChange(TCustomDAConnection&, bool) override { ++Calls; }
  };
  std::atomic<int> calls{0};
  std::atomic<bool> stop{false};
  std::thread other([&] {
    while (!stop) {
      std::vector<std::unique_ptr<TCounting>> clients;
      for (int i = 0; i < 20; ++i) {
        clients.push_back(std::make_unique<TCounting>(calls));
        c.RegisterClient(*clients.back());
      }
      for (auto& client : clients) c.UnRegisterClient(*client);
    }
  });
  for (int i = 0; i < 20; ++i) {
    c.Connect();
    c.Disconnect();
  }
  stop = true;
  other.join();
  EXPECT_EQ(witness.Count("closing"), 21);
  EXPECT_EQ(c.ClientCount(), 2);

  // A client that another thread detaches while it is being told waits for
  // the end of that call.
  std::atomic<bool> entered{false};
  std::atomic<bool> finished{false};
  struct TSlow : TDAConnectionClient {
    std::function<void()> Call;
    void ConnectChange(TCustomDAConnection&, bool) override { Call(); }
  } slowClient;
  std::thread detacher;
  slowClient.Call = [&] {
    entered = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    finished = true;
  };
  c.RegisterClient(slowClient);
  bool finishedWhenDetached = false;
  detacher = std::thread([&] {
    while (!entered) std::this_thread::yield();
    c.UnRegisterClient(slowClient);
    finishedWhenDetached = finished;
  });
  c.Connect();
  detacher.join();
  EXPECT_TRUE(finishedWhenDetached);
}

TEST_F(ServerTest, ANestedDisconnectDoesNothing) {
  TVixConnection c;
  Prepare(c);
  int before = 0, after = 0;
  c.BeforeDisconnect = [&](TCustomDAConnection& sender) {
    ++before;
    sender.Disconnect();
  };
  c.AfterDisconnect = [&](TCustomDAConnection&) { ++after; };
  TRecordingClient client(c);
  client.React = [&](bool connecting) {
    if (!connecting) c.Disconnect();
  };
  c.Connect();
  c.Disconnect();
  EXPECT_FALSE(c.GetConnected());
  EXPECT_EQ(before, 1);
  EXPECT_EQ(after, 1);
  EXPECT_EQ(client.Count("closing"), 1);
}

TEST_F(ServerTest, ClientErrorsWhileClosing) {
  struct Case {
    const char* what;
    int code;     // what the failing client raises on every closing notice
    bool closes;  // the connection ends closed
    int notices;  // closing notices each client hears
  } const cases[] = {
      // A lost connection: the notice starts again from the first client, once.
      {"fatal", 2013, true, 2},
      // Anything else leaves Disconnect.
      {"not fatal", 1064, false, 1},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    TVixConnection c;
    Prepare(c);
    TRecordingClient first(c);
    TRecordingClient failing(c);
    int failures = 0;  // bounded, so that a notice without end shows as a count
    failing.React = [&](bool connecting) {
      if (!connecting && ++failures <= 3) throw EMyError(k.code, u"client failed");
    };
    c.Connect();
    const std::string error = ErrorOf([&] { c.Disconnect(); });
    EXPECT_EQ(error, k.closes ? "<none>" : "client failed");
    EXPECT_EQ(c.GetConnected(), !k.closes);
    EXPECT_EQ(first.Count("closing"), k.notices);
    EXPECT_EQ(failing.Count("closing"), k.notices);
  }
}

TEST_F(ServerTest, BeginUseCountsItsConnectOnce) {
  TVixConnection c;
  Prepare(c);
  c.Options().SetDisconnectedMode(true);
  c.BeginUse();
  EXPECT_TRUE(c.GetConnected());
  EXPECT_EQ(c.GetUseCount(), 1);
  c.BeginUse();
  EXPECT_EQ(c.GetUseCount(), 2);
  c.EndUse();
  EXPECT_TRUE(c.GetConnected());
  c.EndUse();
  EXPECT_FALSE(c.GetConnected());  // the last use ended

  // An explicit open is a use of its own.
  c.Connect();
  c.BeginUse();
  c.EndUse();
  EXPECT_TRUE(c.GetConnected());
  c.Disconnect();

  // A connect that fails takes its use back.
  c.SetPassword(u"wrong password");
  EXPECT_THROW(c.BeginUse(), EVixError);
  EXPECT_EQ(c.GetUseCount(), 0);
  EXPECT_FALSE(c.GetConnected());
}

TEST_F(ServerTest, AConnectThatFailsPartWayEndsClosed) {
  struct Case {
    const char* what;
    bool afterConnectFails;
    bool clientFails;
  } const cases[] = {
      {"AfterConnect raises", true, false},
      {"a client raises on the news", false, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    TVixConnection c;
    Prepare(c);
    uint32_t session = 0;
    c.AfterConnect = [&](TCustomDAConnection&) {
      session = Session(c);
      if (k.afterConnectFails) throw Exception(u"step failed");
    };
    TRecordingClient told(c);
    TRecordingClient failing(c);
    failing.React = [&](bool connecting) {
      session = Session(c);
      if (connecting && k.clientFails) throw Exception(u"step failed");
    };
    EXPECT_EQ(ErrorOf([&] { c.Connect(); }), "step failed");
    EXPECT_FALSE(c.GetConnected());
    EXPECT_EQ(c.GetUseCount(), 0);
    EXPECT_EQ(told.Heard, (std::vector<std::string>{"provider", "open", "closing"}));
    ASSERT_NE(session, 0u);
    EXPECT_FALSE(SessionAlive(session));

    c.AfterConnect = nullptr;
    failing.React = nullptr;
    c.Connect();
    EXPECT_TRUE(c.GetConnected());
  }
}

TEST_F(ServerTest, DestructorsNeverThrow) {
  struct Case {
    const char* what;
    bool eventFails;   // BeforeDisconnect raises
    bool clientFails;  // a client raises on the closing notice
  } const cases[] = {
      {"BeforeDisconnect raises", true, false},
      {"a client raises", false, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    uint32_t session = 0;
    TRecordingClient client;  // outlives the connection
    {
      TVixConnection c;
      Prepare(c);
      client.Attach(c);
      client.React = [&](bool connecting) {
        if (!connecting && k.clientFails) throw EMyError(1064, u"client failed");
      };
      if (k.eventFails) c.BeforeDisconnect = [](TCustomDAConnection&) { throw Exception(u"event failed"); };
      c.Connect();
      session = Session(c);
    }
    EXPECT_EQ(client.Connection, nullptr);
    EXPECT_EQ(client.Heard.back(), "destroyed");
    EXPECT_FALSE(SessionAlive(session));
  }
}

}  // namespace
}  // namespace vix
