// Prepared statements against the scripted fake server: what goes on the
// wire, and replies no real server sends (cut or lying binary rows).
#include <algorithm>

#include "MySql/MySqlApiDirect.h"
#include "ScriptedServer.h"
#include "TestSupport.h"

namespace vix {
namespace {

using test::B;
using test::ColumnDef;
using test::kEof;
using test::kGreeting;
using test::kLoginOk;
using test::Packet;
using test::Play;

// Prepare replies: statement 1 with one column "c" of `type`, or with one
// parameter and no columns.
std::string PrepareOneColumn(int type) {
  return Packet(B({0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0}), 1) + Packet(ColumnDef("c", type), 2) + Packet(kEof, 3);
}
const std::string kPrepareOneParam =
    Packet(B({0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}), 1) + Packet(ColumnDef("?"), 2) + Packet(kEof, 3);
const std::string kOk = Packet(B({0, 1, 0, 2, 0, 0, 0}), 1);

// The reply to an execute: one column of `type`, then `row` and the EOF.
std::string ResultOf(int type, const std::string& row) {
  return Packet(B({1}), 1) + Packet(ColumnDef("c", type), 2) + Packet(kEof, 3) + Packet(row, 4) + Packet(kEof, 5);
}

struct StmtFaultTest : ::testing::Test {
  TMySQLAPIDirect api;
  PMYSQL Connect(int port) {
    PMYSQL m = api.mysql_init(nullptr);
    api.mysql_options(m, MYSQL_OPT_CONNECT_TIMEOUT, 5);
    api.SetTimeout(m, 5);
    if (!api.mysql_real_connect(m, "127.0.0.1", "user", "pw", "db", port, "", 0)) {
      ADD_FAILURE() << api.mysql_error(m);
    }
    return m;
  }
  PMYSQL_STMT Prepare(PMYSQL m, const std::string& sql) {
    PMYSQL_STMT s = api.mysql_stmt_init(m);
    EXPECT_EQ(api.mysql_stmt_prepare(s, sql.data(), sql.size()), 0) << api.mysql_stmt_error(s);
    return s;
  }
};

TEST_F(StmtFaultTest, MalformedBinaryRowsEndIn2027AndBreakTheSession) {
  struct Case {
    const char* what;
    int type;
    std::string row;
    int error;
  } const cases[] = {
      {"a good row", 253, B({0, 0, 3}) + "abc", 0},
      {"value past the end", 253, B({0, 0, 200}) + "abc", 2027},
      {"3-byte length past the end", 253, B({0, 0, 0xFD, 0xFF, 0xFF, 0xFF}) + "abc", 2027},
      {"8-byte length of 2^63", 253, B({0, 0, 0xFE, 0, 0, 0, 0, 0, 0, 0, 0x80}), 2027},
      {"0xFF prefix", 253, B({0, 0, 0xFF, 1, 2}), 2027},
      {"LONG cut short", 3, B({0, 0, 1, 2}), 2027},
      {"DOUBLE cut short", 5, B({0, 0, 1, 2, 3, 4, 5, 6, 7}), 2027},
      {"value missing", 253, B({0, 0}), 2027},
      {"header byte not 0", 253, B({7, 0, 3}) + "abcdefgh", 2027},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TLoopbackServer server([&](int fd) {
      Play(fd, {kGreeting, kLoginOk, PrepareOneColumn(c.type), ResultOf(c.type, c.row)});
    });
    PMYSQL m = Connect(server.Port());
    PMYSQL_STMT s = Prepare(m, "SELECT c FROM t");
    ASSERT_EQ(api._mysql_stmt_bind_result(s), 0);
    TParamDescs none;
    ASSERT_EQ(api._mysql_stmt_execute(s, none, true), 0) << api.mysql_stmt_error(s);
    PMYSQL_ROW row = nullptr;
    int rc = api._mysql_stmt_fetch(s, row);
    if (c.error == 0) {
      ASSERT_EQ(rc, 0) << api.mysql_stmt_error(s);
      ASSERT_NE(api._mysql_stmt_fetch_value_ptr(s, 0), nullptr);
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(api._mysql_stmt_fetch_value_ptr(s, 0)), 3), "abc");
      EXPECT_EQ(api._mysql_stmt_fetch(s, row), MYSQL_NO_DATA);
      EXPECT_EQ(m->status, TMySqlStatus::msReady);
    } else {
      EXPECT_EQ(rc, c.error);
      EXPECT_EQ(api.mysql_stmt_error(s), "Malformed packet");
      EXPECT_EQ(row, nullptr);
      // The stream cannot be trusted any more.
      EXPECT_EQ(m->status, TMySqlStatus::msReady);
      EXPECT_EQ(api.mysql_ping(m), 2013);
      EXPECT_EQ(api._mysql_stmt_execute(s, none, true), 2013);
    }
    api.mysql_stmt_close(s);
    api.mysql_close(m);
  }
}

TEST_F(StmtFaultTest, LyingPrepareRepliesEndIn2027) {
  struct Case {
    const char* what;
    std::string reply;
  } const cases[] = {
      {"cut reply", Packet(B({0, 1, 0, 0}), 1)},
      {"more columns than counted", Packet(B({0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0}), 1) + Packet(ColumnDef(), 2) +
                                        Packet(ColumnDef(), 3) + Packet(kEof, 4)},
      {"fewer parameters than counted",
       Packet(B({0, 1, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0}), 1) + Packet(ColumnDef(), 2) + Packet(kEof, 3)},
      {"lying column definition", PrepareOneColumn(253).substr(0, 20)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TLoopbackServer server([&](int fd) { Play(fd, {kGreeting, kLoginOk, c.reply + test::kFin}); });
    PMYSQL m = Connect(server.Port());
    PMYSQL_STMT s = api.mysql_stmt_init(m);
    const std::string sql = "SELECT ?";
    const int rc = api.mysql_stmt_prepare(s, sql.data(), sql.size());
    EXPECT_TRUE(rc == 2027 || rc == 2013) << rc;
    // No counts of a statement that was never read whole.
    EXPECT_EQ(api.mysql_stmt_field_count(s), 0u);
    EXPECT_EQ(api.mysql_stmt_param_count(s), 0u);
    EXPECT_EQ(api.mysql_ping(m), 2013);
    EXPECT_EQ(api.mysql_stmt_close(s), 0);
    api.mysql_close(m);
  }
}

TEST_F(StmtFaultTest, TypesGoOnTheWireOnlyWhenTheyChange) {
  const std::string error = Packet(B({0xFF, 0xBA, 0x04}) + "#HY000Incorrect arguments to EXECUTE", 1);
  std::vector<std::string> received;
  // The last (empty) reply stands for the close, which has no reply.
  auto server = std::make_unique<test::TLoopbackServer>([&](int fd) {
    Play(fd, {kGreeting, kLoginOk, kPrepareOneParam, error, kOk, kOk, kOk, ""}, &received);
  });
  PMYSQL m = Connect(server->Port());
  PMYSQL_STMT s = Prepare(m, "DO ?");
  EXPECT_EQ(api.mysql_stmt_param_count(s), 1u);
  EXPECT_EQ(api.mysql_stmt_field_count(s), 0u);
  EXPECT_EQ(api._mysql_stmt_bind_result(s), 2000);
  TParamDescs params;
  auto p = std::make_unique<TParamDesc>();
  p->SetDataType(4);  // 32-bit integer
  p->SetValue(Variant(7));
  TParamDesc& param = *params.Add(std::move(p));
  EXPECT_EQ(api._mysql_stmt_execute(s, params, true), 1210);
  for (int i = 0; i < 2; ++i) ASSERT_EQ(api._mysql_stmt_execute(s, params, true), 0) << api.mysql_stmt_error(s);
  param.SetDataType(1);  // string
  param.SetValue(Variant(u"7"));
  ASSERT_EQ(api._mysql_stmt_execute(s, params, true), 0);
  EXPECT_EQ(api.mysql_stmt_affected_rows(s), 1);
  EXPECT_EQ(api.mysql_stmt_close(s), 0);
  api.mysql_close(m);
  server.reset();  // all the client sent has been read
  const std::string head = B({23, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0});
  ASSERT_EQ(received.size(), 7u);
  EXPECT_EQ(received[1], Packet("\x16"
                                "DO ?",
                                0));
  EXPECT_EQ(received[2], Packet(head + B({1, 3, 0, 7, 0, 0, 0}), 0));
  // After a failed execution the types go again: the server may not have taken them.
  EXPECT_EQ(received[3], Packet(head + B({1, 3, 0, 7, 0, 0, 0}), 0));
  EXPECT_EQ(received[4], Packet(head + B({0, 7, 0, 0, 0}), 0));
  EXPECT_EQ(received[5], Packet(head + B({1, 253, 0, 1}) + "7", 0));
  // The close, and the session's quit when it arrived with it.
  const std::string close = Packet(B({25, 1, 0, 0, 0}), 0);
  EXPECT_EQ(received[6].substr(0, close.size()), close);
  const std::string rest = received[6].substr(std::min(close.size(), received[6].size()));
  EXPECT_TRUE(rest.empty() || rest == Packet(B({1}), 0)) << rest;
}

TEST_F(StmtFaultTest, AnExecutionAnsweredWithOkLeavesTheSessionReady) {
  test::TLoopbackServer server([&](int fd) { Play(fd, {kGreeting, kLoginOk, PrepareOneColumn(253), kOk, kOk}); });
  PMYSQL m = Connect(server.Port());
  PMYSQL_STMT s = Prepare(m, "CALL p()");
  ASSERT_EQ(api._mysql_stmt_bind_result(s), 0);
  TParamDescs none;
  ASSERT_EQ(api._mysql_stmt_execute(s, none, true), 0);
  EXPECT_EQ(m->status, TMySqlStatus::msReady);
  PMYSQL_ROW row = nullptr;
  EXPECT_EQ(api._mysql_stmt_fetch(s, row), MYSQL_NO_DATA);
  EXPECT_EQ(api.mysql_ping(m), 0);
  api.mysql_stmt_close(s);
  api.mysql_close(m);
}

TEST_F(StmtFaultTest, StatementsOfAFreedSessionFailWith2006AndCloseQuietly) {
  test::TLoopbackServer server([&](int fd) { Play(fd, {kGreeting, kLoginOk, PrepareOneColumn(253)}); });
  PMYSQL m = Connect(server.Port());
  PMYSQL_STMT s = Prepare(m, "SELECT c FROM t");
  PMYSQL_RES meta = api.mysql_stmt_result_metadata(s);
  ASSERT_NE(meta, nullptr);
  EXPECT_EQ(api._mysql_fetch_field_direct(meta, 0, true).Name, "c");
  api.mysql_close(m);  // frees the session under the statement
  TParamDescs none;
  PMYSQL_ROW row = nullptr;
  const std::string sql = "SELECT 1";
  EXPECT_EQ(api._mysql_stmt_execute(s, none, true), 2006);
  EXPECT_EQ(api.mysql_stmt_error(s), "MySQL server has gone away");
  EXPECT_EQ(api._mysql_stmt_fetch(s, row), 2006);
  EXPECT_EQ(api.mysql_stmt_prepare(s, sql.data(), sql.size()), 2006);
  EXPECT_EQ(api.mysql_stmt_free_result(s), 0);
  EXPECT_EQ(api.mysql_stmt_close(s), 0);
}

// --- MariaDB's metadata cache ----------------------------------------------------

// A greeting of a MariaDB server that offers its metadata cache (with two
// other extended capabilities we do not ask for).
const std::string kCacheGreeting = Packet(test::GreetingPayload(0xF7FE, 0x10 | 0x04 | 0x01), 0);

// The reply to an execute whose column definitions follow (flag 1) or were
// left out (flag 0): the column count, the flag, the definitions if any, the
// EOF, `row` and the closing EOF.
std::string CachedResult(int follows, const std::string& definitions, const std::string& row) {
  std::string reply = Packet(B({1, follows}), 1);
  uint8_t seq = 2;
  if (!definitions.empty()) reply += Packet(definitions, seq++);
  reply += Packet(kEof, seq++);
  reply += Packet(row, seq++);
  return reply + Packet(kEof, seq);
}

TEST_F(StmtFaultTest, MetadataCacheIsAskedForOnlyWhereMariaDbOffersIt) {
  struct Case {
    const char* what;
    uint16_t caps;
    uint32_t mariadbCaps;
    bool cache;
  } const cases[] = {
      {"MariaDB with the cache", 0xF7FE, 0x10 | 0x04 | 0x01, true},
      {"MariaDB without it", 0xF7FE, 0x04 | 0x01, false},
      // A MySQL server's reserved bytes mean nothing.
      {"MySQL, reserved bytes set", 0xF7FF, 0x10, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> received;
    auto server = std::make_unique<test::TLoopbackServer>([&](int fd) {
      Play(fd, {Packet(test::GreetingPayload(c.caps, c.mariadbCaps), 0), kLoginOk, kOk}, &received);
    });
    PMYSQL m = Connect(server->Port());
    EXPECT_EQ(m->CacheMetadata(), c.cache);
    EXPECT_EQ(api.mysql_ping(m), 0);
    api.mysql_close(m);
    server.reset();
    ASSERT_GE(received.size(), 1u);
    const std::string& login = received[0];
    ASSERT_GE(login.size(), 4u + 32u);
    // CLIENT_MYSQL is left out exactly when the extended capabilities are sent.
    EXPECT_EQ(login[4] & 1, c.cache ? 0 : 1);
    EXPECT_EQ(login.substr(4 + 28, 4), c.cache ? B({0x10, 0, 0, 0}) : B({0, 0, 0, 0}));
  }
}

TEST_F(StmtFaultTest, ExecutionsWithoutColumnDefinitionsUseTheKeptOnes) {
  test::TLoopbackServer server([&](int fd) {
    Play(fd, {kCacheGreeting, kLoginOk, PrepareOneColumn(MYSQL_TYPE_LONG),
              // Left out: the prepare's LONG column "c".
              CachedResult(0, "", B({0, 0, 42, 0, 0, 0})),
              // The table changed: a text column "d" now, kept for the next execution.
              CachedResult(1, ColumnDef("d", MYSQL_TYPE_VAR_STRING), B({0, 0, 3}) + "abc"),
              CachedResult(0, "", B({0, 0, 2}) + "xy")});
  });
  PMYSQL m = Connect(server.Port());
  ASSERT_TRUE(m->CacheMetadata());
  PMYSQL_STMT s = Prepare(m, "SELECT c FROM t");
  ASSERT_EQ(api._mysql_stmt_bind_result(s), 0);
  struct Step {
    bool reused;
    const char* name;
    uint8_t type;
    std::string value;
  } const steps[] = {
      {true, "c", MYSQL_TYPE_LONG, B({42, 0, 0, 0})},
      {false, "d", MYSQL_TYPE_VAR_STRING, "abc"},
      {true, "d", MYSQL_TYPE_VAR_STRING, "xy"},
  };
  TParamDescs none;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.value);
    ASSERT_EQ(api._mysql_stmt_execute(s, none, true), 0) << api.mysql_stmt_error(s);
    EXPECT_EQ(s->ColumnsReused(), step.reused);
    ASSERT_EQ(s->Fields().size(), 1u);
    EXPECT_EQ(s->Fields()[0].Name, step.name);
    PMYSQL_ROW row = nullptr;
    ASSERT_EQ(api._mysql_stmt_fetch(s, row), 0) << api.mysql_stmt_error(s);
    EXPECT_EQ(row->Binds[0]._Type, step.type);
    std::vector<uint32_t> lengths;
    api._mysql_stmt_fetch_lengths(row, lengths);
    const uint8_t* value = api._mysql_stmt_fetch_value_ptr(s, 0);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(value), lengths[0]), step.value);
    EXPECT_EQ(api._mysql_stmt_fetch(s, row), MYSQL_NO_DATA);
  }
  EXPECT_EQ(m->status, TMySqlStatus::msReady);
  api.mysql_stmt_close(s);
  api.mysql_close(m);
}

TEST_F(StmtFaultTest, ServersThatLieAboutLeftOutDefinitionsEndIn2027) {
  const std::string prepareNoColumns = Packet(B({0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 1);
  const std::string row = B({0, 0, 42, 0, 0, 0});
  struct Case {
    const char* what;
    std::string prepare;  // empty: a text query
    std::string reply;
  } const cases[] = {
      {"left out, the statement has no columns", prepareNoColumns, CachedResult(0, "", row)},
      {"left out, another column count", PrepareOneColumn(MYSQL_TYPE_LONG),
       Packet(B({2, 0}), 1) + Packet(kEof, 2) + Packet(B({0, 0, 42, 0, 0, 0, 1, 0, 0, 0}), 3) + Packet(kEof, 4)},
      {"flag neither 0 nor 1", PrepareOneColumn(MYSQL_TYPE_LONG), CachedResult(2, "", row)},
      {"flag missing", PrepareOneColumn(MYSQL_TYPE_LONG),
       Packet(B({1}), 1) + Packet(ColumnDef("c", MYSQL_TYPE_LONG), 2) + Packet(kEof, 3) + Packet(row, 4)},
      {"left out, yet definitions follow", PrepareOneColumn(MYSQL_TYPE_LONG),
       CachedResult(0, ColumnDef("c", MYSQL_TYPE_LONG), row)},
      {"left out for a text query", "", CachedResult(0, "", B({2}) + "42")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> script = {kCacheGreeting, kLoginOk};
    if (!c.prepare.empty()) script.push_back(c.prepare);
    script.push_back(c.reply);
    test::TLoopbackServer server([&](int fd) { Play(fd, script); });
    PMYSQL m = Connect(server.Port());
    if (c.prepare.empty()) {
      const std::string sql = "SELECT c FROM t";
      EXPECT_EQ(api.mysql_real_query(m, sql.data(), sql.size()), 2027);
    } else {
      PMYSQL_STMT s = Prepare(m, "SELECT c FROM t");
      TParamDescs none;
      EXPECT_EQ(api._mysql_stmt_execute(s, none, true), 2027);
      EXPECT_EQ(api.mysql_stmt_error(s), "Malformed packet");
      PMYSQL_ROW fetched = nullptr;
      EXPECT_NE(api._mysql_stmt_fetch(s, fetched), 0);
      EXPECT_EQ(fetched, nullptr);
      api.mysql_stmt_close(s);
    }
    // The rows that follow cannot be told from anything else: the session is done.
    EXPECT_EQ(api.mysql_ping(m), 2013);
    api.mysql_close(m);
  }
}

}  // namespace
}  // namespace vix
