// The provider connection: its error loop (offline, over a scripted
// connection), errors, versions and quoting, and the MySQL connection against
// the private MariaDB server of the test services, with the fault proxy in
// front of it where the server has to go away.
#include <chrono>
#include <functional>
#include <thread>

#include "LoopbackProxy.h"
#include "LoopbackServer.h"
#include "LoopbackSocket.h"
#include "MemoryVio.h"
#include "MySql/MyClasses.h"
#include "TestSupport.h"
#include "rtl/CodePage.h"

namespace vix {
namespace {

using test::EnvOr;

// --- errors, versions, quoting ------------------------------------------------------

TEST(MyErrorTest, FatalKeyViolationAndLineNumber) {
  struct Case {
    int code;
    const char16_t* message;
    bool broken;
    bool fatal;
    bool keyViolation;
    int line;
  } const cases[] = {
      {1053, u"Server shutdown in progress", false, true, false, 0},
      {1927, u"Connection was killed", false, true, false, 0},
      {2003, u"Can't connect to MySQL server on 'x' (10061)", false, true, false, 0},
      {2006, u"MySQL server has gone away", false, true, false, 0},
      {2013, u"Lost connection to MySQL server during query", false, true, false, 0},
      {2027, u"Malformed packet", true, true, false, 0},
      {2027, u"Malformed packet", false, false, false, 0},
      {1062, u"Duplicate entry '1' for key 'PRIMARY'", false, false, true, 0},
      {1064, u"You have an error in your SQL syntax; ... near 'FRM t' at line 12", false, false, false, 12},
      {1064, u"syntax error, no number", false, false, false, 0},
      {1146, u"Table 'x.y' doesn't exist at line 3", false, false, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    EMyError e(c.code, c.message);
    e.SetSessionBroken(c.broken);
    EXPECT_EQ(e.ErrorCode(), c.code);
    EXPECT_EQ(e.Message(), c.message);
    EXPECT_EQ(e.IsFatalError(), c.fatal);
    EXPECT_EQ(e.IsKeyViolation(), c.keyViolation);
    EXPECT_EQ(e.LineNumber(), c.line);
  }
}

TEST(MyVersionTest, ServerVersionTexts) {
  struct Case {
    const char* text;
    int primary, minor, release;
  } const cases[] = {
      {"5.5.62-log", 5, 5, 62},
      {"5.0.51a-community", 5, 0, 51},
      {"5.5.5-10.11.6-MariaDB-0+deb12u1", 10, 11, 6},
      {"10.11.6-MariaDB", 10, 11, 6},
      {"8.0", 8, 0, 0},
      {"4", 4, 0, 0},
      {"", 0, 0, 0},
      {"5.5.5", 5, 5, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    int32_t p = -1, m = -1, r = -1;
    TMySQLConnection::ParseServerVersion(c.text, p, m, r);
    EXPECT_EQ(p, c.primary);
    EXPECT_EQ(m, c.minor);
    EXPECT_EQ(r, c.release);
  }
}

TEST(MyQuotingTest, BackQuotedNames) {
  TMySQLInfo info;
  struct Case {
    const char16_t* name;
    bool quoted;
    const char16_t* quote;
    const char16_t* always;
    const char16_t* unquote;
  } const cases[] = {
      {u"plain", false, u"`plain`", u"`plain`", u"plain"},
      {u"`ok`", true, u"`ok`", u"```ok```", u"ok"},
      {u"`a``b`", true, u"`a``b`", u"```a````b```", u"a`b"},
      // An inner quote that is not doubled: not a quoted name.
      {u"`a`b`", false, u"```a``b```", u"```a``b```", u"`a`b`"},
      {u"x` ; DROP TABLE t; -- ", false, u"`x`` ; DROP TABLE t; -- `", u"`x`` ; DROP TABLE t; -- `",
       u"x` ; DROP TABLE t; -- "},
      {u"`", false, u"````", u"````", u"`"},
      {u"``", true, u"``", u"``````", u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ToUtf8(c.name));
    EXPECT_EQ(info.IsQuoted(c.name), c.quoted);
    EXPECT_EQ(info.Quote(c.name), c.quote);
    EXPECT_EQ(info.QuoteAlways(c.name), c.always);
    EXPECT_EQ(info.UnQuote(c.name), c.unquote);
  }
  EXPECT_EQ(info.QuoteIfNeed(u"Name_1"), u"Name_1");
  EXPECT_EQ(info.QuoteIfNeed(u"1abc"), u"`1abc`");
  EXPECT_EQ(info.QuoteIfNeed(u"a b"), u"`a b`");
  TMySQLConnection connection;
  EXPECT_EQ(connection.SQLInfo().Quote(u"t"), u"`t`");
}

TEST(MyPropsTest, StoredSettingsAndUnknownIdentifier) {
  TMySQLConnection c;
  EXPECT_TRUE(c.SetProp(prPort, 3307));
  EXPECT_TRUE(c.SetProp(prDatabase, u"db1"));
  EXPECT_TRUE(c.SetProp(prConvertEOL, true));
  EXPECT_TRUE(c.SetProp(prDefaultSortType, 2));
  Variant v;
  EXPECT_TRUE(c.GetProp(prPort, v));
  EXPECT_EQ(v.AsInteger(), 3307);
  EXPECT_TRUE(c.GetProp(prDatabase, v));
  EXPECT_EQ(v.AsString(), u"db1");
  EXPECT_TRUE(c.GetProp(prNeedBackslashes, v));
  EXPECT_TRUE(v.AsBoolean());
  EXPECT_TRUE(c.GetProp(prLastInsertId, v));
  EXPECT_EQ(v.AsInt64(), 0);
  EXPECT_TRUE(c.GetConvertEOL());
  EXPECT_EQ(c.GetDefaultSortType(), 2);
  try {
    c.SetProp(prFetchAll, true);
    FAIL() << "an identifier no level handles must raise";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"22");
  }
  EXPECT_THROW(c.GetProp(prAutoCommit, v), Exception);
}

// --- the error loop over a scripted connection ------------------------------------------

class TStubTransaction : public TZelTransaction {
 public:
  void StartTransaction() override { FActive = true; }
  void Commit() override { FActive = false; }
  void Rollback() override { FActive = false; }
  void Savepoint(const UString&) override {}
  void ReleaseSavepoint(const UString&) override {}
  void RollbackToSavepoint(const UString&) override {}
};

class TStubConnection : public TZelConnection {
 public:
  TStubConnection() { InitInternalTransaction(); }
  std::unique_ptr<TZelTransaction> CreateTransaction() const override { return std::make_unique<TStubTransaction>(); }
  void Connect(const UString& s) override {
    ++connects;
    if (failConnects > 0) {
      --failConnects;
      throw EDAError(2003, u"refused");
    }
    FConnected = true;
    TZelConnection::Connect(s);
  }
  void Disconnect() override {
    ++disconnects;
    FConnected = false;
  }
  void AssignConnect(TZelConnection*) override {}
  bool CheckIsValid() override { return FConnected; }
  UString GetServerVersion() override { return UString(); }
  UString GetServerVersionFull() override { return UString(); }
  UString GetClientVersion() override { return UString(); }

  int connects = 0, disconnects = 0, failConnects = 0;
};

class TFatalError : public EDAError {
 public:
  TFatalError() : EDAError(2013, u"Lost connection to MySQL server during query") {}
  bool IsFatalError() const override { return true; }
};

TEST(ErrorLoopTest, AttemptsCallbacksAndEnd) {
  struct Case {
    const char* what;
    bool ask;              // the handler asks for a reconnect at the first attempt
    int failConnects;      // connects that fail before one succeeds
    bool alwaysReconnect;  // the handler asks at every attempt (else while connected)
    bool reexecute;
    bool successThrows;
    bool inTransaction;
    int connects;
    int handlerCalls;
    int reconnectErrors;
    int reconnectSuccesses;
    bool connectedAfter;
    bool failOver;
  } const cases[] = {
      {"no reconnect asked", false, 0, false, false, false, false, 0, 1, 0, 0, true, false},
      {"reconnect once", true, 0, false, false, false, false, 1, 1, 0, 1, true, false},
      {"reconnect fails, handler stops", true, 5, false, false, false, false, 1, 2, 1, 0, false, false},
      {"handler never stops: hard cap", true, 1000, true, false, false, false, TZelConnection::kMaxReconnectAttempts,
       TZelConnection::kMaxReconnectAttempts + 1, 1, 0, false, false},
      {"success callback raises: the loop ends", true, 0, true, false, true, false, 1, 1, 0, 1, true, false},
      {"reexecute after a reconnect", true, 0, false, true, false, false, 1, 1, 0, 1, true, true},
      {"transaction open: closed, never reconnected", true, 0, true, false, false, true, 0, 1, 1, 0, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TStubConnection conn;
    conn.Connect(UString());
    conn.connects = 0;
    conn.failConnects = c.failConnects;
    if (c.inTransaction) conn.GetInternalTransaction()->StartTransaction();
    int handlerCalls = 0, reconnectErrors = 0, reconnectSuccesses = 0;
    bool connectedInFailureCallback = false;
    conn.SetOnError([&](EDAError& E, bool& Fail, bool& Reconnect, bool& Reexecute, int attempt, TConnLostCause& cause) {
      ++handlerCalls;
      EXPECT_TRUE(E.IsFatalError());
      EXPECT_TRUE(Fail);
      EXPECT_EQ(Reconnect, attempt > 0);
      if (!c.ask) return;
      if (c.alwaysReconnect || attempt == 0) Reconnect = true;
      else Reconnect = conn.GetConnected();
      Reexecute = c.reexecute;
      cause = clOpen;
    });
    conn.SetOnReconnectError([&] {
      ++reconnectErrors;
      connectedInFailureCallback = conn.GetConnected();
    });
    conn.SetOnReconnectSuccess([&] {
      ++reconnectSuccesses;
      if (c.successThrows) throw Exception(u"callback failed");
    });
    TFatalError e;
    bool fail = true;
    bool failOver = false;
    try {
      conn.ProcessError(e, fail);
    } catch (const EFailOver& f) {
      failOver = true;
      EXPECT_EQ(f.ConnLostCause(), clOpen);
    }
    EXPECT_EQ(failOver, c.failOver);
    EXPECT_EQ(conn.connects, c.connects);
    EXPECT_EQ(handlerCalls, c.handlerCalls);
    EXPECT_EQ(reconnectErrors, c.reconnectErrors);
    if (c.reconnectErrors) {
      EXPECT_TRUE(connectedInFailureCallback);
    }
    EXPECT_EQ(reconnectSuccesses, c.reconnectSuccesses);
    EXPECT_EQ(conn.GetConnected(), c.connectedAfter);
    EXPECT_FALSE(conn.GetInProcessError());
    EXPECT_FALSE(conn.GetInternalTransaction()->GetActive());
    EXPECT_TRUE(fail);
  }
}

TEST(ErrorLoopTest, HandlerExceptionClearsTheGuard) {
  TStubConnection conn;
  conn.SetOnError([](EDAError&, bool&, bool&, bool&, int, TConnLostCause&) { throw Exception(u"handler"); });
  TFatalError e;
  bool fail = true;
  EXPECT_THROW(conn.ProcessError(e, fail), Exception);
  EXPECT_FALSE(conn.GetInProcessError());
}

// --- against a scripted server ------------------------------------------------------------

// One packet from the client (false when it closed or stayed silent for 5 s).
bool ReadPacket(int fd, std::string& payload) {
  if (!test::WaitReadable(fd, 5000)) return false;
  std::string h;
  if (!test::RecvExactly(fd, h, 4)) return false;
  const size_t length = static_cast<uint8_t>(h[0]) | static_cast<uint8_t>(h[1]) << 8 |
                        static_cast<size_t>(static_cast<uint8_t>(h[2])) << 16;
  return test::RecvExactly(fd, payload, length);
}

TEST(ScriptedServerTest, CharsetStepByServerVersion) {
  struct Case {
    const char* version;
    uint16_t capabilities;
    bool unicodeAfter;
    std::vector<std::string> commands;  // the queries the client sent after the login
    const char16_t* parsed;
  } const cases[] = {
      // A 4.0 server: no SET NAMES, and UseUnicode is switched off.
      {"4.0.27-log", 0xF5FE, false, {}, u"4.0.27"},
      // Unicode sessions in utf8mb4 where the server has it; 3-byte utf8 before 5.5.3.
      {"5.5.5-10.11.6-MariaDB", 0xF7FE, true, {"\x03SET NAMES utf8mb4"}, u"10.11.6"},
      {"5.5.3-m3", 0xF7FE, true, {"\x03SET NAMES utf8mb4"}, u"5.5.3"},
      {"5.5.2-m2", 0xF7FE, true, {"\x03SET NAMES utf8"}, u"5.5.2"},
      {"5.1.73-log", 0xF7FE, true, {"\x03SET NAMES utf8"}, u"5.1.73"},
  };
  const std::string ok("\x00\x00\x00\x02\x00\x00\x00", 7);
  for (const Case& k : cases) {
    SCOPED_TRACE(k.version);
    std::vector<std::string> commands;
    TMySQLConnection c;
    {
      test::TLoopbackServer server([&](int fd) {
        const uint16_t caps = k.capabilities;
        const std::string greeting = std::string(1, '\x0A') + k.version + '\0' + std::string("\x07\0\0\0", 4) +
                                     "abcdefgh" + '\0' + static_cast<char>(caps & 0xFF) + static_cast<char>(caps >> 8) +
                                     std::string("\x21\x02\x00", 3) + std::string(13, '\0') + "ijklmnopqrst" + '\0';
        test::SendAll(fd, test::Packet(greeting, 0));
        std::string p;
        if (!ReadPacket(fd, p)) return;
        test::SendAll(fd, test::Packet(ok, 2));
        while (ReadPacket(fd, p)) {
          if (p.empty() || p[0] != 3) break;
          commands.push_back(p);
          test::SendAll(fd, test::Packet(ok, 1));
        }
      });
      c.SetServer(u"127.0.0.1");
      c.SetUsername(u"user");
      c.SetPassword(u"pw");
      c.SetProp(prPort, server.Port());
      c.SetProp(prUseUnicode, true);
      c.SetProp(prConnectionTimeout, 5);
      c.Connect(UString());
      EXPECT_EQ(c.GetUseUnicode(), k.unicodeAfter);
      EXPECT_EQ(c.GetServerVersion(), k.parsed);
      EXPECT_EQ(c.GetServerVersionFull(), U(k.version));
      c.Disconnect();
    }
    EXPECT_EQ(commands, k.commands);
  }
}

// --- against the test server ---------------------------------------------------------

// What the neutral connection's handler does with the default options: a
// fatal error on an open connection asks for one reconnect; when none is
// made, the connection is closed.
struct TLoopRecorder {
  int calls = 0, reconnectErrors = 0, reconnectSuccesses = 0;
  bool alwaysReconnect = false, successThrows = false;
  std::vector<int> codes;

  void Install(TMySQLConnection& c) {
    c.SetOnError([this, &c](EDAError& E, bool&, bool& Reconnect, bool&, int attempt, TConnLostCause&) {
      ++calls;
      codes.push_back(E.ErrorCode());
      if (alwaysReconnect) {
        Reconnect = true;
        return;
      }
      const bool fatal = E.IsFatalError();
      if (fatal) Reconnect = c.GetConnected();
      if (fatal && attempt == 0 && !Reconnect) c.Disconnect();
    });
    c.SetOnReconnectError([this, &c] {
      ++reconnectErrors;
      c.Disconnect();
    });
    c.SetOnReconnectSuccess([this] {
      ++reconnectSuccesses;
      if (successThrows) throw Exception(u"callback failed");
    });
  }
};

struct ConnectionTest : ::testing::Test {
  std::string host = EnvOr("VIX_MYSQL_HOST");
  int port = std::atoi(EnvOr("VIX_MYSQL_PORT", "0").c_str());
  std::string user = EnvOr("VIX_MYSQL_USER", "vix");
  std::string password = EnvOr("VIX_MYSQL_PASSWORD");
  std::string db = EnvOr("VIX_MYSQL_DATABASE", "vixtest");
  std::unique_ptr<TMySQLConnection> admin;

  void SetUp() override {
    VIX_REQUIRE_COMPONENT(!host.empty(), "MariaDB test server (VIX_MYSQL_HOST)");
    admin = New();
    admin->Connect(UString());
  }

  std::unique_ptr<TMySQLConnection> New(int usePort = 0, bool unicode = true) {
    auto c = std::make_unique<TMySQLConnection>();
    c->SetServer(U(host));
    c->SetUsername(U(user));
    c->SetPassword(U(password));
    c->SetProp(prPort, usePort ? usePort : port);
    c->SetProp(prDatabase, U(db));
    c->SetProp(prUseUnicode, unicode);
    c->SetProp(prConnectionTimeout, 10);
    return c;
  }

  // The first value of the first row of a query on the connection's session.
  static std::string Scalar(TMySQLConnection& c, const std::string& sql) {
    TMySQLAPI& api = *c.GetMySQLAPI();
    PMYSQL m = c.GetMySQL();
    if (api.mysql_real_query(m, sql.data(), sql.size()) != 0) return "<error " + api.mysql_error(m) + ">";
    std::string value = "<none>";
    if (PMYSQL_RES res = api.mysql_use_result(m)) {
      bool first = true;
      while (PMYSQL_ROW row = api.mysql_fetch_row(res)) {
        if (first) value = api._mysql_fetch_value_is_null(row, 0) ? "<NULL>" : api._mysql_fetch_value_str(row, 0);
        first = false;
      }
      api.mysql_free_result(res);
    }
    return value;
  }

  // Kills a session from the admin connection and waits until it is gone.
  void Kill(uint32_t threadId) {
    admin->ExecuteStatement(u"KILL " + UIntToStr(threadId));
    const std::string probe =
        "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " + std::to_string(threadId);
    for (int i = 0; i < 200 && Scalar(*admin, probe) != "0"; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }

  static int FreePort() { return test::UnusedLoopbackPort(); }
};

TEST_F(ConnectionTest, ConnectSendsSetNamesFirstAndDisconnects) {
  admin->ExecuteStatement(u"SET GLOBAL log_output = 'TABLE'");
  admin->ExecuteStatement(u"SET GLOBAL general_log = 1");
  auto c = New();
  c->Connect(UString());
  const uint32_t id = c->GetThreadId();
  admin->ExecuteStatement(u"SET GLOBAL general_log = 0");
  EXPECT_TRUE(c->GetConnected());
  EXPECT_EQ(Scalar(*admin, "SELECT argument FROM mysql.general_log WHERE thread_id = " + std::to_string(id) +
                               " AND command_type = 'Query' ORDER BY event_time LIMIT 1"),
            "SET NAMES utf8mb4");
  EXPECT_EQ(Scalar(*c, "SELECT @@character_set_client").substr(0, 4), "utf8");
  EXPECT_EQ(Scalar(*c, "SELECT DATABASE()"), db);
  EXPECT_GE(c->ServerPrimaryVer(), 10);  // MariaDB's real version, not its 5.5.5 prefix
  EXPECT_EQ(c->GetServerVersion(), IntToStr(c->ServerPrimaryVer()) + u"." + IntToStr(c->ServerMinorVer()) + u"." +
                                       IntToStr(c->ServerReleaseVer()));
  EXPECT_TRUE(c->IsServer41());
  EXPECT_TRUE(c->CheckIsValid());
  c->Disconnect();
  EXPECT_FALSE(c->GetConnected());
  EXPECT_EQ(c->GetMySQL(), nullptr);
  c->Disconnect();  // harmless when closed
  admin->ExecuteStatement(u"TRUNCATE mysql.general_log");
}

TEST_F(ConnectionTest, ConnectFailures) {
  {
    auto c = New();
    c->SetPassword(u"wrong password");
    TLoopRecorder rec;
    rec.Install(*c);
    try {
      c->Connect(UString());
      FAIL() << "connected with a wrong password";
    } catch (const EMyError& e) {
      EXPECT_EQ(e.ErrorCode(), 1045);
      EXPECT_FALSE(e.IsFatalError());
    }
    EXPECT_FALSE(c->GetConnected());
    EXPECT_EQ(rec.calls, 1);
  }
  {
    auto c = New(FreePort());
    TLoopRecorder rec;
    rec.Install(*c);
    try {
      c->Connect(UString());
      FAIL() << "connected to a closed port";
    } catch (const EMyError& e) {
      EXPECT_EQ(e.ErrorCode(), 2003);
      EXPECT_TRUE(e.IsFatalError());
      const UString lower = LowerCaseAscii(e.Message());
      EXPECT_GT(Pos(u"can't connect", lower), 0u) << e.what();
      EXPECT_GT(Pos(u"socket", lower), 0u) << e.what();
    }
    EXPECT_FALSE(c->GetConnected());
    EXPECT_EQ(rec.reconnectSuccesses, 0);
  }
}

TEST_F(ConnectionTest, ServerNamesAndLoginTexts) {
  const std::string korean = EnvOr("VIX_MYSQL_KOREAN_USER");
  VIX_REQUIRE_COMPONENT(!korean.empty(), "test account VIX_MYSQL_KOREAN_USER");
  struct Case {
    const char16_t* server;
    bool koreanAccount;
    bool unicode;
    const char16_t* charset;
    int error;  // 0: connects
  } const cases[] = {
      {u"", false, true, u"", 0},                  // empty: localhost
      {u"127.0.0.1,shared", false, true, u"", 0},  // the host is the part before the comma
      {u"127.0.0.1", true, true, u"", 0},          // login texts in UTF-8
      {u"127.0.0.1", true, false, u"UTF8", -1},    // utf8 without Unicode: refused before the login
      {u"127.0.0.1", true, false, u"", 1045},      // otherwise the ANSI code page
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(ToUtf8(k.server) + (k.koreanAccount ? " korean" : "") + (k.unicode ? " unicode" : ""));
    auto c = New(0, k.unicode);
    c->SetServer(k.server);
    c->SetProp(prCharset, k.charset);
    if (k.koreanAccount) {
      c->SetUsername(U(korean));
      c->SetPassword(U(EnvOr("VIX_MYSQL_KOREAN_PASSWORD")));
    }
    try {
      c->Connect(UString());
      EXPECT_EQ(k.error, 0);
      EXPECT_EQ(Scalar(*c, "SELECT 1"), "1");
    } catch (const EMyError& e) {
      EXPECT_EQ(e.ErrorCode(), k.error) << e.what();
    } catch (const EDatabaseError& e) {
      EXPECT_EQ(k.error, -1) << e.what();
      EXPECT_FALSE(c->GetConnected());
    }
  }
}

TEST_F(ConnectionTest, ReconnectAfterTheSessionWasKilled) {
  struct Case {
    const char* what;
    const char16_t* before;  // statement text run before the kill ("" for none)
    bool transactionObject;  // a transaction object is open
    bool serverDown;         // the server cannot be reached for the reconnect
    bool successThrows;
    bool alwaysReconnect;
    bool reconnected;
    int reconnectErrors;
  } const cases[] = {
      {"idle", u"", false, false, false, false, true, 0},
      {"transaction object", u"", true, false, false, false, false, 1},
      {"START TRANSACTION", u"START TRANSACTION", false, false, false, false, false, 1},
      {"BEGIN", u"BEGIN", false, false, false, false, false, 1},
      {"autocommit off", u"SET autocommit = 0", false, false, false, false, false, 1},
      {"server down", u"", false, true, false, false, false, 1},
      {"server down, handler never stops", u"", false, true, false, true, false, 1},
      {"success callback raises", u"", false, false, true, true, true, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    test::TLoopbackProxy proxy(port, 16);
    auto c = New(proxy.Port());
    TLoopRecorder rec;
    rec.alwaysReconnect = k.alwaysReconnect;
    rec.successThrows = k.successThrows;
    rec.Install(*c);
    c->Connect(UString());
    if (k.transactionObject) c->GetInternalTransaction()->StartTransaction();
    if (*k.before) c->ExecuteStatement(k.before);
    const uint32_t oldId = c->GetThreadId();
    Kill(oldId);
    if (k.serverDown) proxy.SetMode(test::TLoopbackProxy::Mode::Refuse);
    try {
      c->ExecuteStatement(u"SELECT 1");
      FAIL() << "a killed session answered";
    } catch (const EMyError& e) {
      // The error reaches the caller also after a silent reconnect.
      EXPECT_TRUE(e.IsFatalError()) << e.ErrorCode() << " " << e.what();
    }
    EXPECT_EQ(rec.calls >= 1, true);
    EXPECT_EQ(c->GetReconnected(), k.reconnected);
    EXPECT_EQ(c->GetConnected(), k.reconnected);
    EXPECT_EQ(rec.reconnectErrors, k.reconnectErrors);
    EXPECT_FALSE(c->GetInternalTransaction()->GetActive());
    if (k.reconnected) {
      EXPECT_EQ(rec.reconnectSuccesses, 1);
      EXPECT_NE(c->GetThreadId(), oldId);
      EXPECT_EQ(Scalar(*c, "SELECT 2"), "2");
    }
    if (k.serverDown && k.alwaysReconnect) {
      EXPECT_EQ(rec.calls, TZelConnection::kMaxReconnectAttempts + 1);
    }
  }
}

TEST_F(ConnectionTest, HandlesOfAReplacedSessionAreDead) {
  test::TLoopbackProxy proxy(port, 4);
  auto c = New(proxy.Port());
  TLoopRecorder rec;
  rec.Install(*c);
  c->Connect(UString());
  TMySQLAPI& api = *c->GetMySQLAPI();
  PMYSQL old = c->GetMySQL();
  const std::string sql = "SELECT seq, REPEAT('x', 100) FROM seq_1_to_100000";
  ASSERT_EQ(api.mysql_real_query(old, sql.data(), sql.size()), 0);
  PMYSQL_RES res = api.mysql_use_result(old);
  ASSERT_NE(res, nullptr);
  proxy.SetMode(test::TLoopbackProxy::Mode::Cut, 5000);
  while (api.mysql_fetch_row(res)) {
  }
  EXPECT_EQ(api.mysql_errno(old), 2013u);
  proxy.SetMode(test::TLoopbackProxy::Mode::Pass);
  EXPECT_THROW(c->Check(static_cast<TComponent*>(nullptr)), EMyError);
  ASSERT_TRUE(c->GetConnected());
  ASSERT_NE(c->GetMySQL(), old);
  // The old handles fail and close without harm.
  EXPECT_EQ(api.mysql_fetch_row(res), nullptr);
  api.mysql_free_result(res);
  EXPECT_EQ(api.mysql_real_query(old, "SELECT 1", 8), 2006);
  EXPECT_EQ(api.mysql_ping(old), 2006);
  EXPECT_EQ(Scalar(*c, "SELECT 3"), "3");

  // A result with rows still to come when the error loop replaces its session.
  PMYSQL second = c->GetMySQL();
  ASSERT_EQ(api.mysql_real_query(second, sql.data(), sql.size()), 0);
  res = api.mysql_use_result(second);
  ASSERT_NE(api.mysql_fetch_row(res), nullptr);
  c->SetOnError([](EDAError&, bool&, bool& Reconnect, bool&, int, TConnLostCause&) { Reconnect = true; });
  EXPECT_THROW(c->RaiseError(1105, "unknown error", nullptr), EMyError);
  ASSERT_NE(c->GetMySQL(), second);
  EXPECT_EQ(api.mysql_fetch_row(res), nullptr);
  EXPECT_EQ(api.mysql_errno(second), 2013u);
  api.mysql_free_result(res);
  EXPECT_EQ(Scalar(*c, "SELECT 4"), "4");
}

TEST_F(ConnectionTest, AuxiliaryConnectionNeverReconnects) {
  auto primary = New();
  primary->Connect(UString());
  auto aux = primary->CreateAdditionalConnection();
  EXPECT_TRUE(aux->GetAdditional());
  TLoopRecorder rec;
  rec.alwaysReconnect = true;
  rec.Install(*aux);
  aux->Connect(UString());
  const uint32_t id = aux->GetThreadId();
  EXPECT_TRUE(aux->CheckIsValid());
  Kill(id);
  EXPECT_FALSE(aux->CheckIsValid());
  EXPECT_FALSE(aux->GetIsValid());
  EXPECT_THROW(aux->ExecuteStatement(u"SELECT 1"), EMyError);
  EXPECT_EQ(rec.calls, 1);
  EXPECT_EQ(rec.reconnectSuccesses, 0);
  EXPECT_EQ(aux->GetThreadId(), id);
}

// The session made for a cancel or a fetch fails on its own: the main
// connection's handler (which would close the main session) never hears of it.
TEST_F(ConnectionTest, AuxiliaryConnectionFailsWithoutTheMainHandler) {
  auto primary = New();
  TLoopRecorder rec;
  rec.Install(*primary);
  primary->Connect(UString());
  primary->ExecuteStatement(u"BEGIN");
  ASSERT_TRUE(primary->InServerTransaction());
  auto aux = primary->CreateAdditionalConnection();
  aux->SetProp(prPort, FreePort());
  try {
    aux->Connect(UString());
    FAIL() << "connected to a closed port";
  } catch (const EMyError& e) {
    EXPECT_TRUE(e.IsFatalError()) << e.what();
  }
  EXPECT_EQ(rec.calls, 0);
  EXPECT_TRUE(primary->GetConnected());
  EXPECT_TRUE(primary->InServerTransaction());
  EXPECT_EQ(Scalar(*primary, "SELECT 7"), "7");
  primary->ExecuteStatement(u"ROLLBACK");
}

TEST_F(ConnectionTest, Transactions) {
  admin->ExecuteStatement(u"CREATE TABLE IF NOT EXISTS conn_trx (id INT PRIMARY KEY) ENGINE=InnoDB");
  admin->ExecuteStatement(u"DELETE FROM conn_trx");
  auto c = New();
  c->Connect(UString());
  TZelTransaction& t = *c->GetInternalTransaction();
  auto count = [&] { return Scalar(*admin, "SELECT GROUP_CONCAT(id ORDER BY id) FROM conn_trx"); };

  t.StartTransaction();
  EXPECT_TRUE(c->InServerTransaction());
  EXPECT_THROW(t.StartTransaction(), EDatabaseError);
  c->ExecuteStatement(u"INSERT INTO conn_trx VALUES (1)");
  EXPECT_EQ(count(), "<NULL>");
  t.Commit();
  EXPECT_EQ(count(), "1");
  EXPECT_THROW(t.Commit(), EDatabaseError);

  t.StartTransaction();
  c->ExecuteStatement(u"INSERT INTO conn_trx VALUES (2)");
  t.Savepoint(u"sp_1");
  c->ExecuteStatement(u"INSERT INTO conn_trx VALUES (3)");
  t.RollbackToSavepoint(u"sp_1");
  t.ReleaseSavepoint(u"sp_1");
  try {
    t.RollbackToSavepoint(u"sp_1");
    FAIL() << "a released savepoint was found";
  } catch (const EMyError& e) {
    EXPECT_EQ(e.ErrorCode(), 1305);
    EXPECT_FALSE(e.IsFatalError());
  }
  EXPECT_THROW(t.Savepoint(u"x; DROP TABLE conn_trx"), EDatabaseError);
  t.Commit();
  EXPECT_EQ(count(), "1,2");
  EXPECT_FALSE(c->InServerTransaction());

  t.StartTransaction();
  c->ExecuteStatement(u"INSERT INTO conn_trx VALUES (4)");
  t.Rollback();
  EXPECT_EQ(count(), "1,2");

  struct Level {
    TZelIsolationLevel level;
    const char* name;
  } const levels[] = {{ilReadCommitted, "READ COMMITTED"},
                      {ilReadUnCommitted, "READ UNCOMMITTED"},
                      {ilRepeatableRead, "REPEATABLE READ"},
                      {ilIsolated, "SERIALIZABLE"}};
  for (const Level& l : levels) {
    SCOPED_TRACE(l.name);
    t.SetIsolationLevel(l.level);
    t.StartTransaction();
    c->ExecuteStatement(u"INSERT INTO conn_trx VALUES (9)");
    // The server refreshes its transaction table only after 100 ms without
    // a read of it.
    const std::string probe =
        "SELECT trx_isolation_level FROM information_schema.innodb_trx WHERE "
        "trx_mysql_thread_id = " +
        std::to_string(c->GetThreadId());
    std::string seen = Scalar(*admin, probe);
    for (int i = 0; i < 20 && seen != l.name; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
      seen = Scalar(*admin, probe);
    }
    EXPECT_EQ(seen, l.name);
    t.Rollback();
  }
  t.SetIsolationLevel(ilSnapshot);
  EXPECT_THROW(t.StartTransaction(), EDatabaseError);
  t.SetIsolationLevel(ilReadCommitted);
  t.SetReadOnly(true);
  EXPECT_THROW(t.StartTransaction(), EDatabaseError);
  EXPECT_FALSE(t.GetActive());

  TMySQLTransaction lone;
  try {
    lone.StartTransaction();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), u"There are no connections in the transaction");
  }
}

TEST_F(ConnectionTest, DatabaseSwitch) {
  auto c = New();
  c->Connect(UString());
  try {
    c->SetProp(prDatabase, u"no_such_database_here");
    FAIL() << "switched to a missing database";
  } catch (const EMyError& e) {
    EXPECT_EQ(e.ErrorCode(), 1049);
  }
  Variant v;
  c->GetProp(prDatabase, v);
  EXPECT_EQ(v.AsString(), U(db));
  EXPECT_EQ(Scalar(*c, "SELECT DATABASE()"), db);
  // A handler that clears Fail turns the error into the silent abort.
  c->SetOnError([](EDAError&, bool& Fail, bool&, bool&, int, TConnLostCause&) { Fail = false; });
  EXPECT_THROW(c->SetProp(prDatabase, u"no_such_database_here"), EAbort);
  c->SetProp(prDatabase, u"mysql");
  EXPECT_EQ(Scalar(*c, "SELECT DATABASE()"), "mysql");
  c->SetProp(prDatabase, u"");  // only clears the name
  EXPECT_EQ(Scalar(*c, "SELECT DATABASE()"), "mysql");
}

TEST_F(ConnectionTest, CharsetAndBackslashSteps) {
  auto c = New(0, false);
  c->SetProp(prCharset, u"latin1");
  c->Connect(UString());
  EXPECT_EQ(Scalar(*c, "SELECT @@character_set_client"), "latin1");
  EXPECT_THROW(c->SetProp(prCharset, u"utf8; SET @x = 1"), EDatabaseError);
  EXPECT_EQ(Scalar(*c, "SELECT @@character_set_client"), "latin1");
  // Texts without Unicode are in the ANSI code page: a UTF-8 session would
  // read them as other characters.
  EXPECT_THROW(c->SetProp(prCharset, u"UTF8"), EDatabaseError);
  EXPECT_EQ(Scalar(*c, "SELECT @@character_set_client"), "latin1");
  c->SetProp(prUseUnicode, true);
  EXPECT_EQ(Scalar(*c, "SELECT @@character_set_client"), "utf8mb4");
  // Unicode switched off again: the session follows the texts back to latin1.
  c->SetProp(prUseUnicode, false);
  EXPECT_EQ(Scalar(*c, "SELECT @@character_set_client"), "latin1");

  c->ExecuteStatement(u"SET SESSION sql_mode = 'NO_BACKSLASH_ESCAPES'");
  EXPECT_TRUE(c->ServerNoBackslashEscapes());
  Variant v;
  c->SetProp(prCheckBackslashes, true);
  c->GetProp(prNeedBackslashes, v);
  EXPECT_FALSE(v.AsBoolean());
  c->ExecuteStatement(u"SET SESSION sql_mode = ''");
  c->SetProp(prCheckBackslashes, false);
  c->GetProp(prNeedBackslashes, v);
  EXPECT_TRUE(v.AsBoolean());
}

TEST_F(ConnectionTest, AssignConnectSharesTheSession) {
  auto a = New();
  a->Connect(UString());
  TMySQLConnection b;
  b.AssignConnect(a.get());
  EXPECT_TRUE(b.GetConnected());
  EXPECT_FALSE(b.GetNativeConnection());
  EXPECT_EQ(b.GetThreadId(), a->GetThreadId());
  b.Disconnect();  // never closes the shared session
  EXPECT_EQ(Scalar(*a, "SELECT 5"), "5");
  TMySQLConnection copy;
  copy.Assign(*a);
  EXPECT_EQ(copy.GetDatabase(), U(db));
  EXPECT_EQ(copy.GetPort(), port);
  EXPECT_TRUE(copy.GetUseUnicode());
  EXPECT_FALSE(copy.GetConnected());
}

}  // namespace
}  // namespace vix
