// Faults a real server will not produce on demand: a scripted fake server on
// loopback, and the fault proxy in front of the MariaDB test server. Every
// case must end in the right client error, never in a crash or a hang.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "LoopbackProxy.h"
#include "MySql/MySqlApiDirect.h"
#include "ScriptedServer.h"
#include "TestSupport.h"

namespace vix {
namespace {

using test::B;
using test::ColumnDef;
using test::GreetingPayload;
using test::kEof;
using test::kFin;
using test::kGreeting;
using test::kLoginOk;
using test::kRst;
using test::kStall;
using test::Packet;
using test::Play;

struct FaultTest : ::testing::Test {
  TMySQLAPIDirect api;
  std::vector<PMYSQL> open;
  void TearDown() override {
    for (PMYSQL m : open) api.mysql_close(m);
  }
  // Closes a handle before the fake server that it talks to goes away.
  void Close(PMYSQL m) {
    api.mysql_close(m);
    open.erase(std::find(open.begin(), open.end(), m));
  }
  PMYSQL Handle(int timeout = 5) {
    PMYSQL m = api.mysql_init(nullptr);
    open.push_back(m);
    api.mysql_options(m, MYSQL_OPT_CONNECT_TIMEOUT, timeout);
    api.SetTimeout(m, timeout);
    return m;
  }
  // Connects; returns the error number (0 on success).
  int Connect(PMYSQL m, int port, uint32_t flags = 0, const std::string& password = "pw") {
    return api.mysql_real_connect(m, "127.0.0.1", "user", password, "db", port, "", flags) ? 0 : api.mysql_errno(m);
  }
  int Query(PMYSQL m, const std::string& sql = "SELECT 1") { return api.mysql_real_query(m, sql.data(), sql.size()); }
  // Reads the pending result to its end; the error number of the read.
  int FetchAll(PMYSQL m) {
    PMYSQL_RES res = api.mysql_use_result(m);
    if (!res) return static_cast<int>(api.mysql_errno(m));
    while (api.mysql_fetch_row(res)) {
    }
    const int rc = static_cast<int>(api.mysql_errno(m));
    api.mysql_free_result(res);
    return rc;
  }
};

TEST_F(FaultTest, ScriptedRepliesEndInTheRightError) {
  struct Case {
    const char* what;
    std::vector<std::string> replies;
    bool query;  // run a query (and read its rows) after the login
    uint32_t flags;
    int error;
    const char16_t* message;  // exact text, when given
  } const cases[] = {
      {"1-byte ERR at login", {kGreeting, Packet(B({0xFF}), 2)}, false, 0, 2027, u"Malformed packet"},
      {"2-byte ERR at login", {kGreeting, Packet(B({0xFF, 0x15}), 2)}, false, 0, 2027, nullptr},
      {"auth switch at login",
       {kGreeting, Packet(B({0xFE}) + "mysql_clear_password" + '\0', 2)},
       false,
       0,
       2012,
       u"Error in server handshake"},
      {"garbage at login", {kGreeting, Packet("\x42garbage", 2)}, false, 0, 2012, nullptr},
      {"empty login reply", {kGreeting, Packet("", 2)}, false, 0, 2012, nullptr},
      {"4.1.0 two-stage request", {kGreeting, Packet("*" + std::string(23, 's'), 2)}, false, 0, 2012, nullptr},
      {"login reply out of order", {kGreeting, Packet(B({0, 0, 0, 2, 0, 0, 0}), 7)}, false, 0, 1156, nullptr},
      {"endless full-size header",
       {kGreeting, kLoginOk, B({0xFF, 0xFF, 0xFF, 1}) + std::string(1000, 'x') + kFin},
       true,
       0,
       2013,
       u"Lost connection to MySQL server during query"},
      {"field count 2^31",
       {kGreeting, kLoginOk, Packet(B({0xFE, 0, 0, 0, 0x80, 0, 0, 0, 0}), 1)},
       true,
       0,
       2027,
       nullptr},
      {"fewer columns than counted",
       {kGreeting, kLoginOk, Packet(B({3}), 1) + Packet(ColumnDef(), 2) + Packet(kEof, 3)},
       true,
       0,
       2027,
       nullptr},
      {"lying column definition",
       {kGreeting, kLoginOk, Packet(B({1}), 1) + Packet(B({3}) + "de", 2)},
       true,
       0,
       2027,
       nullptr},
      {"over-long value in a row",
       {kGreeting, kLoginOk,
        Packet(B({1}), 1) + Packet(ColumnDef(), 2) + Packet(kEof, 3) + Packet(B({0xFC, 0xE8, 0x03}) + "abc", 4)},
       true,
       0,
       2027,
       nullptr},
      {"8-byte length beyond the row",
       {kGreeting, kLoginOk,
        Packet(B({1}), 1) + Packet(ColumnDef(), 2) + Packet(kEof, 3) +
            Packet(B({0xFE, 1, 0, 0, 0, 1, 0, 0, 0}) + "abc", 4)},
       true,
       0,
       2027,
       nullptr},
      {"connection killed",
       {kGreeting, kLoginOk, Packet(B({0xFF, 0x87, 0x07}) + "#70100Connection was killed", 1)},
       true,
       0,
       1927,
       u"\r\n#70100Connection was killed"},
      {"reply out of order",
       {kGreeting, kLoginOk, Packet(B({0, 0, 0, 2, 0, 0, 0}), 5)},
       true,
       0,
       1156,
       u"\r\nReceiveHeader: Net packets out of order: received[5], expected[1]"},
      {"corrupt zlib",
       {kGreeting, kLoginOk, B({20, 0, 0, 1, 30, 0, 0}) + std::string(20, 'z')},
       true,
       CLIENT_COMPRESS,
       1157,
       u"\r\nCouldn't uncompress communication packet"},
      {"orderly close (FIN)",
       {kGreeting, kLoginOk, kFin},
       true,
       0,
       2013,
       u"Lost connection to MySQL server during query"},
      {"reset (RST)",
       {kGreeting, kLoginOk, kRst},
       true,
       0,
       2013,
       u"Lost connection to MySQL server during query\r\nSocket error on read. WSAGetLastError return 10054($2746)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TLoopbackServer server([&](int fd) { Play(fd, c.replies); });
    PMYSQL m = Handle();
    int rc = Connect(m, server.Port(), c.flags);
    if (c.query) {
      ASSERT_EQ(rc, 0) << api.mysql_error(m);
      rc = Query(m);
      if (rc == 0) rc = FetchAll(m);
    }
    EXPECT_EQ(rc, c.error);
    if (c.message) {
      EXPECT_EQ(U(api.mysql_error(m)), c.message);
    }
    if (c.query) {
      // The stream cannot be trusted any more: the next command says so at once.
      EXPECT_EQ(api.mysql_ping(m), 2013);
      EXPECT_EQ(api.mysql_error(m), "Lost connection to MySQL server during query");
    }
    Close(m);
  }
}

// A server error numbered 0 must not read as success, at the login, for a
// query and for the rows of a prepared statement.
TEST_F(FaultTest, AnErrorNumberedZeroIsStillAFailure) {
  const std::string err0 = B({0xFF, 0, 0}) + "#HY000no number";
  {
    test::TLoopbackServer server([&](int fd) { Play(fd, {kGreeting, Packet(err0, 2)}); });
    PMYSQL m = Handle();
    EXPECT_EQ(Connect(m, server.Port()), 2000);
    EXPECT_NE(api.mysql_error(m).find("no number"), std::string::npos) << api.mysql_error(m);
    Close(m);
  }
  {
    test::TLoopbackServer server([&](int fd) { Play(fd, {kGreeting, kLoginOk, Packet(err0, 1)}); });
    PMYSQL m = Handle();
    ASSERT_EQ(Connect(m, server.Port()), 0) << api.mysql_error(m);
    EXPECT_EQ(Query(m), 2000);
    Close(m);
  }
}

TEST_F(FaultTest, GreetingCutAtEveryOffset) {
  const std::string payload = GreetingPayload();
  const size_t minimal = 1 + std::string("5.5.5-10.11.6-MariaDB").size() + 1 + 4 + 8;
  for (size_t n = 0; n < payload.size(); ++n) {
    SCOPED_TRACE(n);
    struct Script {
      std::string bytes;
      int error;
    } const scripts[] = {
        // The connection ends inside the greeting.
        {kGreeting.substr(0, 4 + n), 2013},
        // A greeting packet that is just short: malformed until it holds the
        // scramble's first part; then the login goes out and the server is gone.
        {Packet(payload.substr(0, n), 0), n < minimal ? 2027 : 2013},
    };
    for (const Script& script : scripts) {
      test::TLoopbackServer server([&](int fd) { Play(fd, {script.bytes + kFin}); });
      PMYSQL m = Handle();
      EXPECT_EQ(Connect(m, server.Port()), script.error);
      Close(m);
    }
  }
}

TEST_F(FaultTest, OldServerGetsTheShortLoginAndThe323Answer) {
  // Capabilities: LONG_PASSWORD, LONG_FLAG, CONNECT_WITH_DB, COMPRESS off, no 4.1, no SECURE_CONNECTION.
  const std::string greeting = B({10}) + "3.23.58" + '\0' + B({7, 0, 0, 0}) + "ABCDEFGH" + '\0' + B({0x0D, 0x00});
  std::vector<std::string> received;
  test::TLoopbackServer server([&](int fd) { Play(fd, {Packet(greeting, 0), Packet(B({0, 0, 0}), 2)}, &received); });
  PMYSQL m = Handle();
  ASSERT_EQ(Connect(m, server.Port(), CLIENT_FOUND_ROWS, "old-pass"), 0) << api.mysql_error(m);
  EXPECT_FALSE(m->IsProtocol41());
  ASSERT_EQ(received.size(), 1u);
  const auto answer = Scramble323("old-pass", ByteSpan(reinterpret_cast<const uint8_t*>("ABCDEFGH"), 8));
  const uint32_t f = (kAlwaysSentFlags | CLIENT_FOUND_ROWS | CLIENT_CONNECT_WITH_DB) & ~CLIENT_PROTOCOL_41;
  const std::string login = B({static_cast<int>(f & 0xFF), static_cast<int>((f >> 8) & 0xFF), 0, 0, 0}) + "user" +
                            '\0' + std::string(answer.begin(), answer.end()) + '\0' + "db" + '\0';
  EXPECT_EQ(received[0], Packet(login, 1));
}

TEST_F(FaultTest, SingleFeByteSwitchesToThe323Answer) {
  std::vector<std::string> received;
  test::TLoopbackServer server([&](int fd) {
    Play(fd, {kGreeting, Packet(B({0xFE}), 2), Packet(B({0, 0, 0, 2, 0, 0, 0}), 4)}, &received);
  });
  PMYSQL m = Handle();
  ASSERT_EQ(Connect(m, server.Port(), 0, "old-pass"), 0) << api.mysql_error(m);
  ASSERT_EQ(received.size(), 2u);
  const auto answer = Scramble323("old-pass", ByteSpan(reinterpret_cast<const uint8_t*>("abcdefgh"), 8));
  EXPECT_EQ(received[1], Packet(std::string(answer.begin(), answer.end()) + '\0', 3));
}

TEST_F(FaultTest, LocalInfileOfEtcPasswdIsAnsweredWithAnEmptyFile) {
  std::vector<std::string> received;
  test::TLoopbackServer server([&](int fd) {
    Play(fd, {kGreeting, kLoginOk, Packet(B({0xFB}) + "/etc/passwd", 1), Packet(B({0, 0, 0, 2, 0, 0, 0}), 3)},
         &received);
  });
  PMYSQL m = Handle();
  ASSERT_EQ(Connect(m, server.Port()), 0);
  EXPECT_EQ(Query(m, "LOAD DATA LOCAL INFILE '/etc/passwd' INTO TABLE t"), 2000);
  ASSERT_EQ(received.size(), 3u);
  EXPECT_EQ(received[2], Packet("", 2));  // nothing of the file left the process
  EXPECT_EQ(m->status, TMySqlStatus::msReady);
}

// With local files switched on, the server still gets a file only when the
// query it answers reads that very file: a request to any other statement, or
// for another file, is answered with an empty file and refused.
TEST_F(FaultTest, LocalInfileIsHonouredOnlyForTheFileTheQueryNames) {
  const std::string secret = "secret line\n";
  const test::TTempFile infile("vix-infile-", secret);
  const std::string& file = infile.Path();
  struct Case {
    std::string sql;
    std::string requested;
    bool honoured;
  } const cases[] = {
      {"LOAD DATA LOCAL INFILE '" + file + "' INTO TABLE t", file, true},
      {"load data low_priority local infile \"" + file + "\" into table t", file, true},
      {"SELECT 1", file, false},
      {"SELECT 1", "/etc/passwd", false},
      {"LOAD DATA LOCAL INFILE '" + file + "' INTO TABLE t", "/etc/passwd", false},
      {"SELECT 'LOAD DATA LOCAL INFILE ''" + file + "'' INTO TABLE t'", file, false},
      {"/* LOAD DATA LOCAL INFILE '" + file + "' INTO TABLE t */ SELECT 1", file, false},
      {"SELECT 1 -- LOAD DATA LOCAL INFILE '" + file + "'", file, false},
      {"LOAD DATA INFILE '" + file + "' INTO TABLE t", file, false},  // a server-side file
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql + " / " + c.requested);
    std::vector<std::string> received;
    test::TLoopbackServer server([&](int sfd) {
      Play(sfd,
           {kGreeting, kLoginOk, Packet(B({0xFB}) + c.requested, 1),
            Packet(B({0, 1, 0, 2, 0, 0, 0}), c.honoured ? 4 : 3)},
           &received);
    });
    PMYSQL m = Handle();
    api.mysql_options(m, MYSQL_OPT_LOCAL_INFILE, 1);
    ASSERT_EQ(Connect(m, server.Port()), 0);
    const int rc = Query(m, c.sql);
    ASSERT_EQ(received.size(), 3u);
    if (c.honoured) {
      EXPECT_EQ(rc, 0) << api.mysql_error(m);
      EXPECT_EQ(received[2].substr(0, 4 + secret.size()), Packet(secret, 2));
    } else {
      EXPECT_EQ(rc, 2000);
      EXPECT_NE(api.mysql_error(m).find("LOAD DATA LOCAL INFILE refused"), std::string::npos);
      EXPECT_EQ(received[2], Packet("", 2));  // nothing of the file left the process
    }
    EXPECT_EQ(api.mysql_ping(m), 2013);  // the script has ended; the session itself is in step
    Close(m);
  }
}

TEST_F(FaultTest, SecureAuthRefusesThe323Answer) {
  for (const bool secure : {false, true}) {
    SCOPED_TRACE(secure);
    std::vector<std::string> received;
    test::TLoopbackServer server([&](int fd) {
      Play(fd, {kGreeting, Packet(B({0xFE}), 2), Packet(B({0, 0, 0, 2, 0, 0, 0}), 4)}, &received);
    });
    PMYSQL m = Handle();
    if (secure) api.mysql_options(m, MYSQL_SECURE_AUTH, 1);
    EXPECT_EQ(Connect(m, server.Port(), 0, "old-pass"), secure ? 2049 : 0) << api.mysql_error(m);
    if (secure) {
      EXPECT_EQ(api.mysql_error(m),
                "Connection using old (pre-4.1.1) authentication protocol refused (client option 'secure_auth' "
                "enabled)");
      EXPECT_EQ(received.size(), 1u);  // only the login: the 3.23 answer never left
    }
    Close(m);
  }
  // A 3.23 server gets that answer with the login: refused before it is sent.
  const std::string greeting = B({10}) + "3.23.58" + '\0' + B({7, 0, 0, 0}) + "ABCDEFGH" + '\0' + B({0x0D, 0x00});
  std::vector<std::string> received;
  test::TLoopbackServer server([&](int fd) { Play(fd, {Packet(greeting, 0), Packet(B({0, 0, 0}), 2)}, &received); });
  PMYSQL m = Handle();
  api.mysql_options(m, MYSQL_SECURE_AUTH, 1);
  EXPECT_EQ(Connect(m, server.Port(), 0, "old-pass"), 2049);
  Close(m);
  EXPECT_TRUE(received.empty());
}

TEST_F(FaultTest, FailedColumnReadLeavesNoFieldCount) {
  test::TLoopbackServer server([&](int fd) {
    Play(fd, {kGreeting, kLoginOk, Packet(B({0xFC, 0xFF, 0xFF}), 1) + Packet(B({3}) + "de", 2)});
  });
  PMYSQL m = Handle();
  ASSERT_EQ(Connect(m, server.Port()), 0);
  EXPECT_EQ(Query(m), 2027);
  EXPECT_EQ(api.mysql_field_count(m), 0);
  EXPECT_EQ(api.mysql_use_result(m), nullptr);
  Close(m);
}

// Every orderly close tells the server with the quit command.
TEST_F(FaultTest, CloseSendsTheQuitCommand) {
  std::string after;
  {
    test::TLoopbackServer server([&](int fd) {
      test::SendAll(fd, kGreeting);
      test::ReadClient(fd);
      test::SendAll(fd, kLoginOk);
      after = test::RecvUntilIdle(fd, 3000);
    });
    PMYSQL m = Handle();
    ASSERT_EQ(Connect(m, server.Port()), 0);
    Close(m);
  }  // the server has seen the client go
  EXPECT_EQ(after, Packet(B({1}), 0));
}

TEST_F(FaultTest, SilentServerTimesOut) {
  test::TLoopbackServer server([&](int fd) { Play(fd, {kStall}); });
  PMYSQL m = Handle(1);
  EXPECT_EQ(Connect(m, server.Port()), 2013);
  EXPECT_EQ(
      api.mysql_error(m),
      "Lost connection to MySQL server during query\r\nSocket error on read. WSAGetLastError return 10060($274C)");
  Close(m);
}

TEST_F(FaultTest, AnEarlierResultLetsGoOfTheSession) {
  const std::string more = B({0xFE, 0, 0, 0x0A, 0});  // EOF, more results follow
  const std::string reply = Packet(B({1}), 1) + Packet(ColumnDef(), 2) + Packet(kEof, 3) + Packet(B({1}) + "a", 4) +
                            Packet(more, 5) + Packet(B({1}), 6) + Packet(ColumnDef(), 7) + Packet(kEof, 8) +
                            Packet(B({1}) + "b", 9) + Packet(B({1}) + "c", 10) + Packet(kEof, 11);
  // The first result, read to its end, is freed before the second is read, or
  // after the session is gone.
  for (const bool freeFirstEarly : {true, false}) {
    SCOPED_TRACE(freeFirstEarly);
    test::TLoopbackServer server([&](int fd) { Play(fd, {kGreeting, kLoginOk, reply}); });
    PMYSQL m = Handle();
    ASSERT_EQ(Connect(m, server.Port()), 0) << api.mysql_error(m);
    ASSERT_EQ(Query(m), 0) << api.mysql_error(m);
    PMYSQL_RES first = api.mysql_use_result(m);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(api.mysql_fetch_row(first), nullptr);
    ASSERT_EQ(api.mysql_fetch_row(first), nullptr);
    ASSERT_EQ(api.mysql_next_result(m), 0) << api.mysql_error(m);
    PMYSQL_RES second = api.mysql_use_result(m);
    ASSERT_NE(second, nullptr);
    // Only the session's current result may drain it or hear of its end.
    EXPECT_EQ(first->Session(), nullptr);
    if (freeFirstEarly) api.mysql_free_result(first);
    std::vector<std::string> values;
    while (PMYSQL_ROW row = api.mysql_fetch_row(second)) values.push_back(api._mysql_fetch_value_str(row, 0));
    EXPECT_EQ(api.mysql_errno(m), 0u) << api.mysql_error(m);
    EXPECT_EQ(values, (std::vector<std::string>{"b", "c"}));
    api.mysql_free_result(second);
    EXPECT_EQ(m->status, TMySqlStatus::msReady);
    Close(m);
    if (!freeFirstEarly) api.mysql_free_result(first);
  }
}

TEST_F(FaultTest, AResultReadToItsEndIsFreedAfterTheNextQuery) {
  const auto result = [](const std::string& value) {
    return Packet(B({1}), 1) + Packet(ColumnDef(), 2) + Packet(kEof, 3) + Packet(B({1}) + value, 4) + Packet(kEof, 5);
  };
  test::TLoopbackServer server([&](int fd) { Play(fd, {kGreeting, kLoginOk, result("a"), result("b")}); });
  PMYSQL m = Handle();
  ASSERT_EQ(Connect(m, server.Port()), 0) << api.mysql_error(m);
  ASSERT_EQ(Query(m), 0) << api.mysql_error(m);
  PMYSQL_RES first = api.mysql_use_result(m);
  ASSERT_NE(first, nullptr);
  while (api.mysql_fetch_row(first)) {
  }
  ASSERT_EQ(Query(m), 0) << api.mysql_error(m);
  // Freeing the finished result must leave the pending one of the new query.
  api.mysql_free_result(first);
  PMYSQL_RES second = api.mysql_use_result(m);
  ASSERT_NE(second, nullptr) << api.mysql_error(m);
  PMYSQL_ROW row = api.mysql_fetch_row(second);
  ASSERT_NE(row, nullptr) << api.mysql_error(m);
  EXPECT_EQ(api._mysql_fetch_value_str(row, 0), "b");
  EXPECT_EQ(api.mysql_fetch_row(second), nullptr);
  EXPECT_EQ(api.mysql_errno(m), 0u) << api.mysql_error(m);
  api.mysql_free_result(second);
  Close(m);
}

TEST_F(FaultTest, ServerThatStopsReadingTimesOut) {
  // The server takes the login, then reads nothing more until the query has
  // failed (a flag, not the socket: the client's bytes wait unread on it).
  std::atomic<bool> queried{false};
  test::TLoopbackServer silent([&](int fd) {
    test::SendAll(fd, kGreeting);
    test::ReadClient(fd);
    test::SendAll(fd, kLoginOk);
    for (int i = 0; i < 1000 && !queried; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  });
  PMYSQL m = Handle(1);
  ASSERT_EQ(Connect(m, silent.Port()), 0) << api.mysql_error(m);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Query(m, "SELECT '" + std::string(32 << 20, 'x') + "'"), 2013);
  // One wait of the write time-out, not one per retry of the send.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  queried = true;
  EXPECT_EQ(
      api.mysql_error(m),
      "Lost connection to MySQL server during query\r\nSocket error on write. WSAGetLastError return 10060($274C)");
  Close(m);
}

// The fault proxy in front of the real server.
struct ProxyTest : FaultTest {
  std::string user = test::EnvOr("VIX_MYSQL_USER", "vix");
  std::string password = test::EnvOr("VIX_MYSQL_PASSWORD");
  std::string db = test::EnvOr("VIX_MYSQL_DATABASE", "vixtest");
  int port = std::atoi(test::EnvOr("VIX_MYSQL_PORT", "0").c_str());
  void SetUp() override {
    VIX_REQUIRE_COMPONENT(!test::EnvOr("VIX_MYSQL_HOST").empty(), "MariaDB test server (VIX_MYSQL_HOST)");
  }
  int Login(PMYSQL m, int proxyPort, uint32_t flags = 0) {
    return api.mysql_real_connect(m, "127.0.0.1", user, password, db, proxyPort, "", flags) ? 0 : api.mysql_errno(m);
  }
};

TEST_F(ProxyTest, FaultsOfTheStream) {
  struct Case {
    const char* what;
    test::TLoopbackProxy::Mode mode;
    size_t cutAfter;
    uint32_t flags;
    const char* message;
  } const cases[] = {
      {"stall", test::TLoopbackProxy::Mode::Stall, 0, 0,
       "Lost connection to MySQL server during query\r\nSocket error on read. WSAGetLastError return 10060($274C)"},
      {"reset", test::TLoopbackProxy::Mode::Reset, 0, 0,
       "Lost connection to MySQL server during query\r\nSocket error on read. WSAGetLastError return 10054($2746)"},
      {"cut at once", test::TLoopbackProxy::Mode::Cut, 0, 0, "Lost connection to MySQL server during query"},
      {"cut in a header", test::TLoopbackProxy::Mode::Cut, 2, 0, "Lost connection to MySQL server during query"},
      {"cut in the rows", test::TLoopbackProxy::Mode::Cut, 70000, 0, "Lost connection to MySQL server during query"},
      {"cut in the rows, compressed", test::TLoopbackProxy::Mode::Cut, 3000, CLIENT_COMPRESS,
       "Lost connection to MySQL server during query"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TLoopbackProxy proxy(port, 1);
    PMYSQL m = Handle(1);
    ASSERT_EQ(Login(m, proxy.Port(), c.flags), 0) << api.mysql_error(m);
    ASSERT_EQ(Query(m, "SELECT 1"), 0);
    EXPECT_EQ(FetchAll(m), 0);
    proxy.SetMode(c.mode, c.cutAfter);
    int rc = Query(m, "SELECT seq, REPEAT('x', 100) FROM seq_1_to_100000");
    if (rc == 0) rc = FetchAll(m);
    EXPECT_EQ(rc, 2013);
    EXPECT_EQ(api.mysql_error(m), c.message);
    EXPECT_EQ(api.mysql_ping(m), 2013);
    Close(m);
  }
}

TEST_F(ProxyTest, RefusedHandshakeAndCleanPass) {
  test::TLoopbackProxy proxy(port, 2);
  proxy.SetMode(test::TLoopbackProxy::Mode::Refuse);
  PMYSQL m = Handle();
  // Reset right after the accept: lost in the handshake, or, when the reset
  // overtakes the end of the connect, not connected at all.
  const int refused = Login(m, proxy.Port());
  EXPECT_TRUE(refused == 2013 || refused == 2003) << refused;
  proxy.SetMode(test::TLoopbackProxy::Mode::Pass);
  PMYSQL n = Handle();
  ASSERT_EQ(Login(n, proxy.Port(), CLIENT_COMPRESS), 0) << api.mysql_error(n);
  ASSERT_EQ(Query(n, "SELECT REPEAT('y', 100000)"), 0);
  EXPECT_EQ(FetchAll(n), 0);
  EXPECT_GT(proxy.BytesToClient(), 0u);
  EXPECT_LT(proxy.BytesToClient(), 10000u);  // the server compressed the result
}

}  // namespace
}  // namespace vix
