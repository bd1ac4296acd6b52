// Connection pooling through the universal connection with Pooling on, and
// the MySQL pool manager itself, against the private MariaDB server of the
// test services: hand-out and return under 16 threads, the server's own count
// of sessions, failed connects, a connection returned inside a transaction,
// the trimming runs with an injected clock, and a server that stops and
// starts again (a private instance of the test server of its own).
#ifndef _WIN32
#include <unistd.h>  // getpid: the restarted server's port
#endif

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "MySql/MyConnectionPool.h"
#include "MySql/MySQLVixProvider.h"
#include "MySql/MySqlApiDirect.h"
#include "TestSupport.h"
#include "universal/Vix.h"

namespace vix {
namespace {

using test::EnvOr;
using test::ErrorOf;

UString U(const std::string& s) {
  return Utf8ToUtf16(s);
}

// A session of the test account outside the pool, for the server's view.
struct TAdminSession {
  TMySQLAPIDirect api;
  PMYSQL my = nullptr;

  bool Open(const std::string& host, int port) {
    my = api.mysql_init(nullptr);
    return api.mysql_real_connect(my, host, EnvOr("VIX_MYSQL_USER", "vix"), EnvOr("VIX_MYSQL_PASSWORD"),
                                  EnvOr("VIX_MYSQL_DATABASE", "vixtest"), port, "", 0) == my;
  }
  ~TAdminSession() {
    if (my) api.mysql_close(my);
  }
  std::string Error() { return api.mysql_error(my); }
  bool Run(const std::string& sql) { return api.mysql_real_query(my, sql.data(), sql.size()) == 0; }
  // The first value of the first row ("<none>" without one, "<error ...>" on failure).
  std::string Scalar(const std::string& sql) {
    if (!Run(sql)) return "<error " + Error() + ">";
    std::string value = "<none>";
    if (PMYSQL_RES res = api.mysql_use_result(my)) {
      while (PMYSQL_ROW row = api.mysql_fetch_row(res))
        if (value == "<none>")
          value = api._mysql_fetch_value_is_null(row, 0) ? "<NULL>" : api._mysql_fetch_value_str(row, 0);
      api.mysql_free_result(res);
    }
    return value;
  }
  // The server's sessions of `user` (-1 when the server cannot be asked).
  // SHOW PROCESSLIST sends the list as it is; the information_schema view
  // builds a temporary table for every read, and MariaDB 10.11 has been seen
  // to crash freeing one while the 16-thread test read it every 2 ms.
  int SessionsOf(const std::string& user) {
    if (!Run("SHOW PROCESSLIST")) return -1;
    int count = 0;
    if (PMYSQL_RES res = api.mysql_use_result(my)) {
      while (PMYSQL_ROW row = api.mysql_fetch_row(res))
        if (!api._mysql_fetch_value_is_null(row, 1) && api._mysql_fetch_value_str(row, 1) == user) ++count;
      api.mysql_free_result(res);
    }
    return count;
  }
  // The value once the server has seen closed sessions go: a session ends
  // on the server a little after its client closed it. Gives up after 10 s.
  std::string ScalarSettled(const std::string& sql, const std::string& expected) {
    std::string value = Scalar(sql);
    for (int i = 0; i < 200 && value != expected; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      value = Scalar(sql);
    }
    return value;
  }
  int SessionsOfSettled(const std::string& user, int expected) {
    int count = SessionsOf(user);
    for (int i = 0; i < 200 && count != expected; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      count = SessionsOf(user);
    }
    return count;
  }
};

struct VixPoolServerTest : ::testing::Test {
  test::TMySqlTestServer server;
  TAdminSession admin;
  // An account of this test alone, so that the server's count of its
  // sessions is the pool's.
  const std::string user = "vixpool" + test::ProcessTag();
  const std::string password = "pool-pass";

  void SetUp() override {
    VIX_REQUIRE_COMPONENT(!server.Host.empty(), "MariaDB test server (VIX_MYSQL_HOST)");
    RegisterMySQLVixProvider();
    ASSERT_TRUE(admin.Open(server.Host, server.Port)) << admin.Error();
    ASSERT_TRUE(admin.Run("CREATE OR REPLACE USER '" + user + "'@'127.0.0.1' IDENTIFIED BY '" + password + "'"))
        << admin.Error();
  }
  void TearDown() override {
    TMyConnectionPoolManager::Instance().Clear();
    if (admin.my) admin.Run("DROP USER IF EXISTS '" + user + "'@'127.0.0.1'");
  }

  // A pooled universal connection of the test's account (or `who`).
  void Configure(TVixConnection& c, int maxPoolSize, const std::string& who = std::string(),
                 const std::string& pass = std::string()) {
    c.SetProviderName(u"MySQL");
    c.SpecificOptions().Add(u"MySQL.UseUnicode=True");
    c.SetServer(U(server.Host));
    c.SetPort(server.Port);
    c.SetUsername(U(who.empty() ? user : who));
    c.SetPassword(U(who.empty() ? password : pass));
    c.SetPooling(true);
    c.PoolingOptions().SetMaxPoolSize(maxPoolSize);
  }
  // The session id the connection's provider connection is on.
  static std::string SessionId(TVixConnection& c, TVixQuery& q) {
    q.SetConnection(&c);
    q.SetSQL(u"SELECT CONNECTION_ID()");
    q.Open();
    const std::string id = Utf16ToUtf8(q.Fields(0).AsString());
    q.Close();
    return id;
  }
  // Pool settings of the test's account on the test server.
  TMyConnectionParameters AccountParameters(int maxPoolSize) const {
    TMyConnectionParameters p;
    p.Username = U(user);
    p.Password = U(password);
    p.Server = U(server.Host);
    p.Port = server.Port;
    p.MaxPoolSize = maxPoolSize;
    return p;
  }
  std::shared_ptr<TZelConnectionPool> PoolOf(TVixConnection& c, int connectionTimeout = 15) {
    TMyConnectionParameters p;
    p.ConnectionTimeout = connectionTimeout;
    p.Username = c.GetUsername();
    p.Password = c.GetPassword();
    p.Server = c.GetServer();
    p.Port = c.GetPort();
    p.UseUnicode = true;
    p.MaxPoolSize = c.PoolingOptions().GetMaxPoolSize();
    return TMyConnectionPoolManager::Instance().FindPool(p);
  }
};

// 16 threads, each with its own pooled connection and query, share four
// sessions: no hand-out fails, no session serves two threads at once, the
// server never sees more than four sessions of the account, and nothing is
// left taken at the end.
TEST_F(VixPoolServerTest, SixteenThreadsShareFourSessions) {
  const int threads = 16;
  const int cycles = std::atoi(EnvOr("VIX_POOL_CYCLES", "5000").c_str());
  std::mutex lock;
  std::set<std::string> inUse;
  std::vector<std::string> failures;
  std::atomic<bool> done{false};
  std::atomic<int> maxSessions{0};
  std::thread monitor([&] {
    TAdminSession watch;
    if (!watch.Open(server.Host, server.Port)) return;
    while (!done) {
      const int n = watch.SessionsOf(user);
      if (n > maxSessions) maxSessions = n;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&] {
      TVixConnection c;
      TVixQuery q;
      Configure(c, 4);
      q.SetConnection(&c);
      q.SetSQL(u"SELECT CONNECTION_ID()");
      for (int i = 0; i < cycles; ++i) {
        try {
          c.Open();
          q.Open();
          const std::string id = Utf16ToUtf8(q.Fields(0).AsString());
          {
            std::lock_guard<std::mutex> guard(lock);
            if (!inUse.insert(id).second) failures.push_back("session " + id + " handed to two threads");
          }
          q.Close();
          {
            std::lock_guard<std::mutex> guard(lock);
            inUse.erase(id);
          }
          c.Close();
        } catch (const Exception& e) {
          std::lock_guard<std::mutex> guard(lock);
          failures.push_back(Utf16ToUtf8(e.Message()));
          return;
        }
      }
    });
  for (auto& w : workers) w.join();
  done = true;
  monitor.join();
  EXPECT_TRUE(failures.empty()) << failures.size() << " failures, first: " << failures.front();
  EXPECT_LE(maxSessions.load(), 4);
  EXPECT_GE(maxSessions.load(), 1);
  TVixConnection probe;
  Configure(probe, 4);
  const auto pool = PoolOf(probe);
  ASSERT_TRUE(pool);
  EXPECT_EQ(pool->TakenConnectionsCount(), 0);
  EXPECT_LE(pool->PooledConnectionsCount(), 4);
  EXPECT_EQ(admin.SessionsOfSettled(user, pool->PooledConnectionsCount()), pool->PooledConnectionsCount());
}

// A component that closes gives its session back; at its next connect it
// asks the pool again and never keeps using a session another has taken.
TEST_F(VixPoolServerTest, NextConnectAsksThePoolAgain) {
  TVixConnection a, b;
  TVixQuery qa, qb;
  Configure(a, 4);
  Configure(b, 4);
  const std::string first = SessionId(a, qa);
  a.Close();
  EXPECT_FALSE(a.GetConnected());
  EXPECT_EQ(a.ProviderConnection(), nullptr);
  EXPECT_EQ(SessionId(b, qb), first);  // the idle session, reused
  EXPECT_NE(SessionId(a, qa), first);  // b holds it: a gets another one
  EXPECT_EQ(admin.SessionsOf(user), 2);
}

// The error callback is the using component's: a failure on a session that
// another component opened reaches the one using it, and only it.
TEST_F(VixPoolServerTest, ErrorsReachTheComponentUsingTheSession) {
  TVixConnection a, b;
  TVixQuery qa, qb;
  Configure(a, 4);
  Configure(b, 4);
  int aErrors = 0, bErrors = 0;
  a.OnError = [&](TCustomDAConnection&, EDAError&, bool&) { ++aErrors; };
  b.OnError = [&](TCustomDAConnection&, EDAError&, bool&) { ++bErrors; };
  const std::string first = SessionId(a, qa);
  a.Close();
  ASSERT_EQ(SessionId(b, qb), first);
  qb.SetSQL(u"SELECT * FROM no_such_table_anywhere");
  EXPECT_NE(ErrorOf([&] { qb.Open(); }), "<none>");
  EXPECT_EQ(bErrors, 1);
  EXPECT_EQ(aErrors, 0);
}

// A failed connect gives its slot back: with MaxPoolSize 2, connects to a
// port where nothing listens fail with the connect error every time, never
// with "Maximum connections reached".
TEST_F(VixPoolServerTest, FailedConnectsDoNotUseUpThePool) {
  TVixConnection c;
  Configure(c, 2);
  c.SetPort(1);  // nothing listens on port 1
  c.SpecificOptions().Add(u"MySQL.ConnectionTimeout=2");
  for (int i = 0; i < 5; ++i) {
    const std::string error = ErrorOf([&] { c.Open(); });
    EXPECT_EQ(error.find("Maximum connections"), std::string::npos) << error;
    EXPECT_NE(error, "<none>");
    EXPECT_FALSE(c.GetConnected());
  }
  const auto pool = PoolOf(c, 2);
  ASSERT_TRUE(pool);
  EXPECT_EQ(pool->TotalConnectionsCount(), 0);
}

// With every session out, a hand-out waits for a return and takes it; with
// none coming back it fails after the wait, and the slots are all counted.
TEST_F(VixPoolServerTest, HandOutWaitsForAReturnUntilItsDeadline) {
  TMyConnectionPoolManager manager({}, false);
  manager.SetHandOutWait(std::chrono::milliseconds(400));
  TMyConnectionParameters p = AccountParameters(2);
  auto c1 = manager.GetConnection(p);
  auto c2 = manager.GetConnection(p);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(ErrorOf([&] { manager.GetConnection(p); }), "Maximum connections reached in pool");
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(400));
  std::thread giver([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    c1->GetPool()->PutConnection(std::move(c1));
  });
  auto c3 = manager.GetConnection(p);
  giver.join();
  EXPECT_TRUE(c3->GetConnected());
  EXPECT_EQ(manager.FindPool(p)->TakenConnectionsCount(), 2);
  c3.reset();  // freed without being given back: its slot is free all the same
  EXPECT_EQ(manager.FindPool(p)->TakenConnectionsCount(), 1);
}

// A connection given back with a transaction open is closed, not handed to
// the next user: its uncommitted row is gone and the next user gets a new
// session.
TEST_F(VixPoolServerTest, ConnectionReturnedInsideATransactionIsNotReused) {
  const std::string table = "vixtest.pooltx_" + test::ProcessTag();
  ASSERT_TRUE(admin.Run("CREATE OR REPLACE TABLE " + table + " (id INT) ENGINE=InnoDB")) << admin.Error();
  TVixConnection c;
  TVixQuery q;
  Configure(c, 4, EnvOr("VIX_MYSQL_USER", "vix"), EnvOr("VIX_MYSQL_PASSWORD"));
  const std::string first = SessionId(c, q);
  q.SetSQL(U("START TRANSACTION; INSERT INTO " + table + " VALUES (1)"));
  q.Execute();
  EXPECT_TRUE(c.InTransaction());
  c.Close();
  EXPECT_NE(SessionId(c, q), first);
  EXPECT_EQ(admin.Scalar("SELECT COUNT(*) FROM " + table), "0");
  EXPECT_EQ(admin.ScalarSettled("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " + first, "0"), "0");
  admin.Run("DROP TABLE IF EXISTS " + table);
}

// What one user leaves in a session does not reach the next user of the
// same session (MaxPoolSize 1: the session id shows it is the same one): the
// pool resets it on its way back and the connect step's settings (database,
// character set) are set again.
TEST_F(VixPoolServerTest, NextUserOfASessionFindsItClean) {
  struct Case {
    std::string what;
    std::string leave;  // run by the first user
    std::string probe;  // run by the next user
    std::string clean;  // the probe's answer in a clean session
  };
  const std::string database = EnvOr("VIX_MYSQL_DATABASE", "vixtest");
  // A table with one row, which an empty temporary table of the same name hides.
  const std::string table = "poolleak_" + test::ProcessTag();
  ASSERT_TRUE(admin.Run("CREATE OR REPLACE TABLE " + database + "." + table + " (id INT)")) << admin.Error();
  ASSERT_TRUE(admin.Run("INSERT INTO " + database + "." + table + " VALUES (1)")) << admin.Error();
  const Case cases[] = {
      {"user variable", "SET @pool_leak = 42", "SELECT COALESCE(@pool_leak, 'clean')", "clean"},
      {"temporary table", "CREATE TEMPORARY TABLE " + table + " (id INT)", "SELECT COUNT(*) FROM " + table, "1"},
      {"session variable", "SET SESSION sql_mode = 'ANSI_QUOTES,NO_BACKSLASH_ESCAPES'",
       "SELECT @@session.sql_mode = @@global.sql_mode", "1"},
      {"character set", "SET NAMES latin1", "SELECT @@character_set_client", "utf8mb4"},
      {"Korean text after a character set change", "SET NAMES latin1",
       "SELECT HEX(CONVERT('\xED\x95\x9C\xEA\xB8\x80' USING utf8mb4))", "ED959CEAB880"},
      {"database", "USE information_schema", "SELECT DATABASE()", database},
      {"LAST_INSERT_ID", "SELECT LAST_INSERT_ID(77)", "SELECT LAST_INSERT_ID()", "0"},
      {"named lock", "SELECT GET_LOCK('pool_leak_lock', 0)", "SELECT IS_USED_LOCK('pool_leak_lock') IS NULL", "1"},
  };
  // Compressed, the reset's commands go one at a time.
  for (const bool compress : {false, true})
    for (const Case& k : cases) {
      SCOPED_TRACE(k.what + (compress ? " (compressed)" : ""));
      TVixConnection c;
      TVixQuery q;
      Configure(c, 1, EnvOr("VIX_MYSQL_USER", "vix"), EnvOr("VIX_MYSQL_PASSWORD"));
      if (compress) c.SpecificOptions().Add(u"MySQL.Compress=True");
      c.SetDatabase(U(database));
      const std::string first = SessionId(c, q);
      q.SetSQL(U(k.leave));
      q.Execute();
      c.Close();
      EXPECT_EQ(SessionId(c, q), first);
      q.SetSQL(U(k.probe));
      q.Open();
      std::string answer = Utf16ToUtf8(q.Fields(0).AsString());
      q.Close();
      c.Close();
      EXPECT_EQ(answer, k.clean);
      TMyConnectionPoolManager::Instance().Clear();
    }
  admin.Run("DROP TABLE IF EXISTS " + database + "." + table);
}

// A session opened without a database stays without one for its next user:
// one that a USE switched to a database is closed at its return (no command
// selects no database again); one that stayed without is used again.
TEST_F(VixPoolServerTest, SessionOpenedWithoutDatabaseComesBackWithout) {
  TVixConnection c;
  TVixQuery q;
  Configure(c, 1, EnvOr("VIX_MYSQL_USER", "vix"), EnvOr("VIX_MYSQL_PASSWORD"));
  const auto database = [&] {
    q.SetSQL(u"SELECT COALESCE(DATABASE(), '<none>'), CONNECTION_ID()");
    q.Open();
    const std::string name = Utf16ToUtf8(q.Fields(0).AsString()) + " " + Utf16ToUtf8(q.Fields(1).AsString());
    q.Close();
    return name;
  };
  q.SetConnection(&c);
  const std::string first = SessionId(c, q);
  EXPECT_EQ(database(), "<none> " + first);
  c.Close();
  EXPECT_EQ(database(), "<none> " + first);  // used again: nothing switched it
  q.SetSQL(u"USE information_schema");
  q.Execute();
  c.Close();
  const std::string next = database();
  EXPECT_EQ(next.substr(0, 7), "<none> ");
  EXPECT_NE(next, "<none> " + first);
  c.Close();
  EXPECT_EQ(admin.ScalarSettled("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " + first, "0"), "0");
  const auto pool = PoolOf(c);
  ASSERT_TRUE(pool);
  EXPECT_EQ(pool->TotalConnectionsCount(), 1);
}

// A session whose reset fails is closed instead of being handed out: the
// database it was opened in is dropped while it is out, so selecting that
// database again after the reset fails. The return raises nothing; the next
// hand-out finds the failure, closes the session and tries a new one (which
// cannot log in to the missing database either).
TEST_F(VixPoolServerTest, SessionWhoseResetFailsIsClosed) {
  const std::string database = "vixpoolreset_" + test::ProcessTag();
  ASSERT_TRUE(admin.Run("CREATE OR REPLACE DATABASE " + database)) << admin.Error();
  TVixConnection c;
  TVixQuery q;
  Configure(c, 1, EnvOr("VIX_MYSQL_USER", "vix"), EnvOr("VIX_MYSQL_PASSWORD"));
  c.SetDatabase(U(database));
  const std::string first = SessionId(c, q);
  ASSERT_TRUE(admin.Run("DROP DATABASE " + database)) << admin.Error();
  EXPECT_EQ(ErrorOf([&] { c.Close(); }), "<none>");
  const std::string error = ErrorOf([&] { SessionId(c, q); });
  EXPECT_NE(error.find("Unknown database"), std::string::npos) << error;
  TMyConnectionParameters p;
  p.Username = c.GetUsername();
  p.Password = c.GetPassword();
  p.Server = c.GetServer();
  p.Port = c.GetPort();
  p.Database = U(database);
  p.UseUnicode = true;
  p.MaxPoolSize = 1;
  const auto pool = TMyConnectionPoolManager::Instance().FindPool(p);
  ASSERT_TRUE(pool);
  EXPECT_EQ(pool->TotalConnectionsCount(), 0);
  EXPECT_EQ(admin.ScalarSettled("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " + first, "0"), "0");
}

// A query that reads its rows lazily does so on a second session while its
// connection runs other statements: for a pooled connection that session
// comes from the pool and goes back to it, so the server never sees more
// than MaxPoolSize sessions of the account; with no free slot every row is
// read at the open on the connection's own session.
TEST_F(VixPoolServerTest, LazyFetchSessionComesFromThePool) {
  for (const int maxPoolSize : {1, 2}) {
    SCOPED_TRACE(maxPoolSize);
    TVixConnection c;
    TVixQuery rows, other;
    Configure(c, maxPoolSize);
    rows.SetConnection(&c);
    rows.SpecificOptions().Add(u"FetchAll=False");
    rows.SetSQL(u"WITH RECURSIVE s(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM s WHERE n < 100) SELECT n FROM s");
    rows.Open();
    // Without a free slot every row is read at once.
    EXPECT_EQ(rows.Fetched(), maxPoolSize == 1);
    EXPECT_NE(SessionId(c, other), "");
    EXPECT_EQ(admin.SessionsOf(user), maxPoolSize);
    int seen = 0;
    for (; !rows.Eof(); rows.Next()) EXPECT_EQ(rows.Fields(0).AsInteger(), ++seen);
    EXPECT_EQ(seen, 100);
    rows.Close();
    c.Close();
    const auto pool = PoolOf(c);
    ASSERT_TRUE(pool);
    EXPECT_EQ(pool->TakenConnectionsCount(), 0);
    // Both sessions are back in the pool, not closed.
    EXPECT_EQ(pool->PooledConnectionsCount(), maxPoolSize);
    EXPECT_EQ(admin.SessionsOfSettled(user, maxPoolSize), maxPoolSize);
    TMyConnectionPoolManager::Instance().Clear();
    admin.SessionsOfSettled(user, 0);
  }
}

// Disconnected mode on a pooled connection: a query that has read all its
// rows stays open when its session goes back to the pool at the end of the
// open; an edit then takes a session again, writes the row, and gives it back.
TEST_F(VixPoolServerTest, FetchedQueryOutlivesItsPooledSession) {
  const std::string database = EnvOr("VIX_MYSQL_DATABASE", "vixtest");
  const std::string table = database + ".pooldisc_" + test::ProcessTag();
  ASSERT_TRUE(admin.Run("CREATE OR REPLACE TABLE " + table + " (id INT PRIMARY KEY, name VARCHAR(20))"))
      << admin.Error();
  ASSERT_TRUE(admin.Run("INSERT INTO " + table + " VALUES (1, 'a'), (2, 'b')")) << admin.Error();
  TVixConnection c;
  TVixQuery q;
  Configure(c, 1, EnvOr("VIX_MYSQL_USER", "vix"), EnvOr("VIX_MYSQL_PASSWORD"));
  c.Options().SetDisconnectedMode(true);
  q.SetConnection(&c);
  q.SetSQL(U("SELECT id, name FROM " + table + " ORDER BY id"));
  q.Open();
  EXPECT_FALSE(c.GetConnected());
  const auto pool = PoolOf(c);
  ASSERT_TRUE(pool);
  EXPECT_EQ(pool->TakenConnectionsCount(), 0);
  ASSERT_TRUE(q.Active());
  EXPECT_EQ(q.RecordCount(), 2);
  q.Last();
  EXPECT_EQ(q.FieldByName(u"name").AsString(), u"b");

  q.Edit();
  q.FieldByName(u"name").SetAsString(u"b2");
  q.Post();
  EXPECT_EQ(admin.Scalar("SELECT name FROM " + table + " WHERE id = 2"), "b2");
  EXPECT_TRUE(q.Active());
  EXPECT_FALSE(c.GetConnected());
  EXPECT_EQ(pool->TakenConnectionsCount(), 0);

  ASSERT_TRUE(admin.Run("INSERT INTO " + table + " VALUES (3, 'c')")) << admin.Error();
  q.Close();
  q.Open();
  EXPECT_EQ(q.RecordCount(), 3);
  EXPECT_EQ(pool->TakenConnectionsCount(), 0);
  q.Close();
  admin.Run("DROP TABLE IF EXISTS " + table);
}

// Sizes are checked when they are set; user names are compared exactly,
// servers and databases ignoring case, passwords exactly.
TEST(VixPoolSettingsTest, SizesAreCheckedWhenSet) {
  TPoolingOptions o;
  EXPECT_EQ(ErrorOf([&] { o.SetMaxPoolSize(0); }), "MaxPoolSize must be 1 or more, not 0");
  EXPECT_EQ(ErrorOf([&] { o.SetMinPoolSize(-1); }), "MinPoolSize must be 0..100, not -1");
  o.SetMinPoolSize(10);
  EXPECT_EQ(ErrorOf([&] { o.SetMaxPoolSize(5); }), "MaxPoolSize must not be below MinPoolSize (10), not 5");
  o.SetMaxPoolSize(10);
  EXPECT_EQ(o.GetMaxPoolSize(), 10);
  EXPECT_EQ(o.GetMinPoolSize(), 10);
}

TEST(VixPoolSettingsTest, PoolsAreToldApartByTheirSettings) {
  struct Case {
    const char* what;
    void (*change)(TMyConnectionParameters&);
    bool samePool;
  };
  const Case cases[] = {
      {"nothing", [](TMyConnectionParameters&) {}, true},
      {"server case", [](TMyConnectionParameters& p) { p.Server = u"LOCALHOST"; }, true},
      {"database case", [](TMyConnectionParameters& p) { p.Database = u"VIXTEST"; }, true},
      {"error callback",
       [](TMyConnectionParameters& p) { p.OnError = [](EDAError&, bool&, bool&, bool&, int, TConnLostCause&) {}; },
       true},
      {"user case", [](TMyConnectionParameters& p) { p.Username = u"Vix"; }, false},
      {"password case", [](TMyConnectionParameters& p) { p.Password = u"Pass"; }, false},
      {"port", [](TMyConnectionParameters& p) { p.Port = 3307; }, false},
      {"unicode", [](TMyConnectionParameters& p) { p.UseUnicode = false; }, false},
      {"charset case", [](TMyConnectionParameters& p) { p.Charset = u"UTF8"; }, false},
      {"max size", [](TMyConnectionParameters& p) { p.MaxPoolSize = 4; }, false},
      {"TLS check", [](TMyConnectionParameters& p) { p.SSLVerify = svIdentity; }, false},
  };
  for (const Case& c : cases) {
    TMyConnectionParameters base;
    base.Username = u"vix";
    base.Password = u"pass";
    base.Server = u"localhost";
    base.Database = u"vixtest";
    base.Charset = u"utf8";
    base.UseUnicode = true;
    base.Protocol = mpSSL;
    auto copy = base.Clone();
    auto& changed = static_cast<TMyConnectionParameters&>(*copy);
    c.change(changed);
    EXPECT_EQ(base.Equals(changed), c.samePool) << c.what;
  }
}

// The trimming runs, with the pool's clock injected: 16 idle connections
// with MinPoolSize 0 shrink by about an eighth per run, the unused rest is
// closed at the ninth run and the empty pool is freed; the server's count
// of sessions follows. A connection past its lifetime is closed at its
// return, and at the next run when it was pooled in time.
TEST_F(VixPoolServerTest, TrimmingRunsShrinkAnIdlePool) {
  uint32_t now = 1000;
  TMyConnectionPoolManager manager([&] { return now; }, false);
  TMyConnectionParameters p = AccountParameters(16);
  std::vector<std::unique_ptr<TZelConnection>> out;
  for (int i = 0; i < 16; ++i) out.push_back(manager.GetConnection(p));
  const auto pool = manager.FindPool(p);
  for (auto& c : out) pool->PutConnection(std::move(c));
  std::vector<int> idle;
  for (int run = 0; run < 9; ++run) {
    manager.ValidatePass();
    idle.push_back(pool->PooledConnectionsCount());
  }
  EXPECT_EQ(idle, (std::vector<int>{16, 14, 12, 10, 8, 7, 6, 5, 0}));
  EXPECT_EQ(admin.SessionsOfSettled(user, 0), 0);
  EXPECT_EQ(manager.PoolCount(), 0);

  p.ConnectionLifeTime = 1000;
  auto young = manager.GetConnection(p);
  auto old = manager.GetConnection(p);
  const auto lifePool = manager.FindPool(p);
  now += 500;
  lifePool->PutConnection(std::move(young));
  EXPECT_EQ(lifePool->PooledConnectionsCount(), 1);
  now += 600;  // 1100 ms after connect
  lifePool->PutConnection(std::move(old));
  EXPECT_EQ(lifePool->PooledConnectionsCount(), 1);
  manager.ValidatePass();
  EXPECT_EQ(lifePool->PooledConnectionsCount(), 0);
  EXPECT_EQ(admin.SessionsOfSettled(user, 0), 0);
}

// The server stops and starts again while the program runs: the idle
// session is found dead and dropped, connects while the server is away fail
// without using up the pool, and once it is back the pool serves again. On
// a private instance of the test server, so other tests keep theirs.
TEST_F(VixPoolServerTest, PoolRecoversWhenTheServerComesBack) {
#ifdef _WIN32
  GTEST_SKIP() << "the private server instance is started and stopped by a Linux script";
#else
  const std::string script = VIX_SCRIPTS_DIR "/mariadb-test-server";
  const std::string dir = "/tmp/vix-pool-restart-" + std::to_string(getpid());
  const auto run = [](const std::string& command) { return std::system(command.c_str()); };
  // A port outside the range the test servers pick from (33306-33405), so
  // that no other server takes it while this one is down.
  const std::string port = std::to_string(34000 + getpid() % 1000);
  ASSERT_EQ(run("VIX_MYSQL_PORT=" + port + " " + script + " start " + dir + " >/dev/null 2>&1"), 0);
  struct TStop {
    std::string command;
    ~TStop() { std::system(command.c_str()); }
  } stop{script + " stop " + dir + " >/dev/null 2>&1; rm -rf " + dir};

  TVixConnection c;
  TVixQuery q;
  Configure(c, 2, EnvOr("VIX_MYSQL_USER", "vix"), EnvOr("VIX_MYSQL_PASSWORD"));
  c.SetPort(std::atoi(port.c_str()));
  c.SpecificOptions().Add(u"MySQL.ConnectionTimeout=3");
  const std::string before = SessionId(c, q);
  c.Close();  // idle in the pool

  ASSERT_EQ(run(script + " stop " + dir + " >/dev/null 2>&1"), 0);
  for (int i = 0; i < 4; ++i) {
    const std::string error = ErrorOf([&] { SessionId(c, q); });
    EXPECT_EQ(error.find("Maximum connections"), std::string::npos) << error;
    EXPECT_NE(error, "<none>");
    c.Close();
  }
  ASSERT_EQ(run("VIX_MYSQL_PORT=" + port + " " + script + " start " + dir + " >/dev/null 2>&1"), 0);
  std::string after;
  EXPECT_EQ(ErrorOf([&] { after = SessionId(c, q); }), "<none>");
  EXPECT_FALSE(after.empty());
  c.Close();
  const auto pool = PoolOf(c, 3);
  ASSERT_TRUE(pool);
  EXPECT_EQ(pool->TakenConnectionsCount(), 0);
  EXPECT_EQ(pool->PooledConnectionsCount(), 1);
#endif
}

}  // namespace
}  // namespace vix
