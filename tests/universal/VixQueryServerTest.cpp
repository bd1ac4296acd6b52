// The query on a universal connection with the MySQL provider, against the
// private MariaDB server of the test services: the dialog's user check, and
// the query's lifecycle around it. Skipped locally when the server is not
// running.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackProxy.h"
#include "MySql/MyClasses.h"
#include "MySql/MySQLVixProvider.h"
#include "MySql/MySqlApiDirect.h"
#include "TestSupport.h"
#include "rtl/CodePage.h"
#include "universal/Vix.h"

namespace vix {
namespace {

using test::EnvOr;

const UString kDialogSQL =
    u" SELECT Password, AccessSetupHead, AccessSetupCnt FROM UserMt WHERE SiteID = :SiteID AND UserName = :UserName ";

struct VixQueryServerTest : ::testing::Test {
  TMySQLAPIDirect api;
  PMYSQL admin = nullptr;
  std::string host;
  int port = 0;
  // The account database of this process: test cases run side by side.
  const std::string database = "vixquery_" + test::ProcessTag();
  TVixConnection connection;
  TVixQuery query;

  void SetUp() override {
    host = EnvOr("VIX_MYSQL_HOST");
    VIX_REQUIRE_COMPONENT(!host.empty(), "MariaDB test server (VIX_MYSQL_HOST)");
    port = std::atoi(EnvOr("VIX_MYSQL_PORT", "0").c_str());
    RegisterMySQLVixProvider();
    admin = api.mysql_init(nullptr);
    api.mysql_options(admin, MYSQL_SET_CHARSET_NAME, std::string("utf8"));
    ASSERT_EQ(api.mysql_real_connect(admin, host, EnvOr("VIX_MYSQL_USER", "vix"), EnvOr("VIX_MYSQL_PASSWORD"),
                                     EnvOr("VIX_MYSQL_DATABASE", "vixtest"), port, "", 0),
              admin)
        << api.mysql_error(admin);
    Admin("DROP DATABASE IF EXISTS " + database);
    Admin("CREATE DATABASE " + database);
    Admin("USE " + database);
    Admin(
        "CREATE TABLE UserMt (SiteID VARCHAR(10), UserName VARCHAR(20), Password VARCHAR(20), "
        "AccessSetupHead INT, AccessSetupCnt SMALLINT)");
    Admin(
        "INSERT INTO UserMt VALUES ('007', 'kim', 'Secret1', 1, 0), ('007', '홍길동', '비번 ', 0, 1), "
        "('1', 'kim', 'other', NULL, NULL)");

    connection.SetName(u"cnServer");
    connection.SetProviderName(u"MySQL");
    connection.SetPort(port);
    connection.SpecificOptions().Add(u"MySQL.UseUnicode=True");
    Login(connection, port);
    query.SetName(u"Query");
    query.SetConnection(&connection);
  }
  void TearDown() override {
    query.Close();
    connection.Close();
    if (admin) {
      Admin("DROP DATABASE IF EXISTS " + database);
      api.mysql_close(admin);
    }
  }

  void Login(TVixConnection& c, int toPort) {
    c.SetServer(Utf8ToUtf16(host));
    c.SetPort(toPort);
    c.SetDatabase(Utf8ToUtf16(database));
    c.SetUsername(Utf8ToUtf16(EnvOr("VIX_MYSQL_USER", "vix")));
    c.SetPassword(Utf8ToUtf16(EnvOr("VIX_MYSQL_PASSWORD")));
  }

  // The first value of the first row of a query on the admin session.
  std::string AdminScalar(const std::string& sql) {
    if (api.mysql_real_query(admin, sql.data(), sql.size()) != 0) return "<error " + api.mysql_error(admin) + ">";
    std::string value = "<none>";
    if (PMYSQL_RES res = api.mysql_use_result(admin)) {
      bool first = true;
      while (PMYSQL_ROW row = api.mysql_fetch_row(res)) {
        if (first) value = api._mysql_fetch_value_is_null(row, 0) ? "<NULL>" : api._mysql_fetch_value_str(row, 0);
        first = false;
      }
      api.mysql_free_result(res);
    }
    return value;
  }

  // Kills a session and waits until the server has let it go.
  void Kill(int64_t threadId) {
    Admin("KILL " + std::to_string(threadId));
    WaitGone(threadId);
  }
  // Waits until the server has let a session go; true when it has.
  bool WaitGone(int64_t threadId) {
    const std::string probe =
        "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " + std::to_string(threadId);
    for (int i = 0; i < 200 && AdminScalar(probe) != "0"; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    return AdminScalar(probe) == "0";
  }

  // Opens `sql` on the query and returns the first field of its first row.
  UString First(const UString& sql) {
    query.Close();
    query.SetSQL(sql);
    query.Open();
    return query.Fields(0).AsString();
  }

  void Admin(const std::string& sql) {
    ASSERT_EQ(api.mysql_real_query(admin, sql.data(), sql.size()), 0) << sql << ": " << api.mysql_error(admin);
  }
  // UserMt holds 60 users of site 9, AccessSetupHead 1..60, and the query
  // reads them in that order without fetching all at the open.
  void SixtyUsersReadInBlocks() {
    Admin("DELETE FROM UserMt");
    std::string insert = "INSERT INTO UserMt VALUES ('9', 'u1', 'p', 1, 1)";
    for (int i = 2; i <= 60; ++i) insert += ", ('9', 'u" + std::to_string(i) + "', 'p', " + std::to_string(i) + ", 1)";
    Admin(insert);
    query.SpecificOptions().Add(u"FetchAll=False");
    query.SetSQL(u"SELECT UserName, AccessSetupHead FROM UserMt ORDER BY AccessSetupHead");
  }

  // The dialog's user check, up to the open.
  void CheckUser(const UString& siteId, const UString& userName) {
    query.Close();
    query.SetSQL(kDialogSQL);
    query.ParamByName(u"SiteID").SetAsString(siteId);
    query.ParamByName(u"UserName").SetAsString(userName);
    query.Open();
  }
};

TEST_F(VixQueryServerTest, TheDialogsUserCheck) {
  ASSERT_FALSE(connection.GetConnected());
  struct Case {
    UString site, user;
    int count;
    UString password;
    int head, cnt;
  };
  const Case cases[] = {
      {u"007", u"kim", 1, u"Secret1", 1, 0},
      {u"007", u"홍길동", 1, u"비번 ", 0, 1},
      {u"1", u"KIM", 1, u"other", 0, 0},  // NULL reads as 0; the server compares names without case
      {u"7", u"kim", 0, u"", 0, 0},
      {u"007", u"x' OR '1'='1", 0, u"", 0, 0},
      {u"007", u"kim\\' OR 1=1 -- ", 0, u"", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.site + u"/" + c.user));
    CheckUser(c.site, c.user);
    EXPECT_TRUE(connection.GetConnected());
    ASSERT_EQ(query.RecordCount(), c.count);
    if (c.count == 0) {
      EXPECT_TRUE(query.Bof() && query.Eof());
      continue;
    }
    EXPECT_EQ(query.FieldByName(u"Password").AsString(), c.password);
    EXPECT_EQ(query.FieldByName(u"AccessSetupHead").AsInteger(), c.head);
    EXPECT_EQ(query.FieldByName(u"accesssetupcnt").AsInteger(), c.cnt);
  }
  try {
    query.FieldByName(u"Passwd");
    ADD_FAILURE() << "no error";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), u"Query: Field 'Passwd' not found");
  }
  // Closing the query leaves the connection open.
  query.Close();
  EXPECT_EQ(query.RecordCount(), 0);
  EXPECT_TRUE(connection.GetConnected());
}

// Closing the connection, or the connection of an open query, ends the
// server's session in order (with the quit command): the server does not
// count it as an aborted client. Other test programs may abort clients on
// the same server meanwhile, so a count that grew is measured again.
TEST_F(VixQueryServerTest, ClosingDoesNotAbortTheServersSession) {
  auto scalar = [&](const std::string& sql, int column) {
    std::string value;
    EXPECT_EQ(api.mysql_real_query(admin, sql.data(), sql.size()), 0) << api.mysql_error(admin);
    PMYSQL_RES res = api.mysql_use_result(admin);
    if (!res) return value;
    while (PMYSQL_ROW row = api.mysql_fetch_row(res)) value = api._mysql_fetch_value_str(row, column);
    api.mysql_free_result(res);
    return value;
  };
  auto aborted = [&] { return std::stoll(scalar("SHOW GLOBAL STATUS LIKE 'Aborted_clients'", 1)); };
  for (const bool closeQueryFirst : {true, false}) {
    SCOPED_TRACE(closeQueryFirst);
    long long grew = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
      const long long before = aborted();
      TVixConnection c;
      c.SetProviderName(u"MySQL");
      Login(c, port);
      TVixQuery q;
      q.SetConnection(&c);
      q.SetSQL(u"SELECT CONNECTION_ID() AS id");
      q.Open();
      const std::string id = std::to_string(q.FieldByName(u"id").AsInteger());
      if (closeQueryFirst) q.Close();
      c.Close();
      EXPECT_FALSE(q.Active());
      // The server counts the session when its thread ends.
      for (int i = 0;
           i < 250 && scalar("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " + id, 0) != "0"; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      grew = aborted() - before;
      if (grew == 0) break;
    }
    EXPECT_EQ(grew, 0);
  }
}

TEST_F(VixQueryServerTest, EventsOfOpenAndCloseInTheirOrder) {
  std::vector<std::string> events;
  auto note = [&](const char* what) { return [&events, what](TDataSet&) { events.push_back(what); }; };
  query.BeforeOpen = note("BeforeOpen");
  query.BeforeExecute = note("BeforeExecute");
  query.AfterExecute = [&](TCustomDADataSet&, bool ok) {
    events.push_back(ok ? "AfterExecute" : "AfterExecute failed");
  };
  query.AfterOpen = note("AfterOpen");
  query.BeforeClose = note("BeforeClose");
  query.AfterClose = note("AfterClose");
  CheckUser(u"007", u"kim");
  query.Close();
  query.SetSQL(u"SELECT * FROM NoSuchTable");
  EXPECT_THROW(query.Open(), EDAError);
  EXPECT_EQ(events, (std::vector<std::string>{"BeforeOpen", "BeforeExecute", "AfterExecute", "AfterOpen", "BeforeClose",
                                              "AfterClose", "BeforeOpen", "BeforeExecute", "AfterExecute failed"}));
  query.BeforeOpen = query.BeforeExecute = query.AfterOpen = query.BeforeClose = query.AfterClose = nullptr;
  query.AfterExecute = nullptr;
}

TEST_F(VixQueryServerTest, OpenRunsTheStatementOnceUntilClosed) {
  int executes = 0;
  query.BeforeExecute = [&](TDataSet&) { ++executes; };
  CheckUser(u"007", u"kim");
  Admin("INSERT INTO UserMt VALUES ('007', 'kim', 'Second', 0, 0)");
  query.Open();
  EXPECT_EQ(executes, 1);
  EXPECT_EQ(query.RecordCount(), 1);
  query.Close();
  query.Open();
  EXPECT_EQ(executes, 2);
  EXPECT_EQ(query.RecordCount(), 2);
  // A new text closes the open query; values survive by name.
  query.SetSQL(u"SELECT UserName FROM UserMt WHERE SiteID = :SiteID");
  EXPECT_FALSE(query.Active());
  ASSERT_EQ(query.Params().Count(), 1);
  EXPECT_EQ(query.ParamByName(u"siteid").GetAsString(), u"007");
  query.Open();
  EXPECT_EQ(query.RecordCount(), 3);
}

TEST_F(VixQueryServerTest, FailuresLeaveTheQueryClosed) {
  TVixQuery orphan;
  orphan.SetName(u"Orphan");
  orphan.SetSQL(u"SELECT 1");
  try {
    orphan.Open();
    ADD_FAILURE() << "no error";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), u"Connection is not defined");
  }
  EXPECT_FALSE(orphan.Active());

  query.SetSQL(u"SELECT Nothing FROM NoSuchTable");
  try {
    query.Open();
    ADD_FAILURE() << "no error";
  } catch (const EDAError& e) {
    EXPECT_EQ(e.ErrorCode(), 1146);
  }
  EXPECT_FALSE(query.Active());
  EXPECT_EQ(query.RecordCount(), 0);
  EXPECT_TRUE(connection.GetConnected());
  // The connection and the query work on.
  CheckUser(u"007", u"kim");
  EXPECT_EQ(query.RecordCount(), 1);
}

TEST_F(VixQueryServerTest, RowsInBlocksWhenNotAllAreFetchedAtOpen) {
  SixtyUsersReadInBlocks();
  query.Open();
  EXPECT_EQ(query.RecordCount(), 25);
  EXPECT_FALSE(query.Fetched());
  for (auto change : {+[](TVixQuery& q) { q.SetFetchRows(10); }, +[](TVixQuery& q) { q.SetLongStrings(false); },
                      +[](TVixQuery& q) { q.SetFlatBuffers(true); }}) {
    try {
      change(query);
      ADD_FAILURE() << "no error";
    } catch (const EDatabaseError& e) {
      EXPECT_EQ(e.Message(), u"Query: Cannot perform this operation on an open dataset");
    }
  }
  int seen = 0;
  for (; !query.Eof(); query.Next()) EXPECT_EQ(query.FieldByName(u"AccessSetupHead").AsInteger(), ++seen);
  EXPECT_EQ(seen, 60);
  EXPECT_EQ(query.RecordCount(), 60);
  EXPECT_TRUE(query.Fetched());
  // Closed before the end: the rest is discarded and the session goes on.
  query.Close();
  query.Open();
  EXPECT_EQ(query.RecordCount(), 25);
  query.Close();
  CheckUser(u"9", u"u7");
  EXPECT_EQ(query.FieldByName(u"AccessSetupHead").AsInteger(), 7);
}

// A record filter handler switched on before the open judges the rows by
// their fields, in the first block and in the ones fetched later.
TEST_F(VixQueryServerTest, AFilterHandlerSetBeforeTheOpenJudgesEveryBlock) {
  SixtyUsersReadInBlocks();
  query.SetOnFilterRecord(
      [](TDataSet& d, bool& accept) { accept = d.FieldByName(u"AccessSetupHead").AsInteger() % 3 == 0; });
  query.SetFiltered(true);
  query.Open();
  std::vector<int> seen;
  for (; !query.Eof(); query.Next()) seen.push_back(query.FieldByName(u"AccessSetupHead").AsInteger());
  ASSERT_EQ(seen.size(), 20u);
  for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], 3 * static_cast<int>(i + 1));
  EXPECT_EQ(query.RecordCount(), 20);
}

TEST_F(VixQueryServerTest, AResetUnderAPartlyFetchedQueryClosesItAndTheConnection) {
  test::TLoopbackProxy proxy(port, 4);
  connection.SetPort(proxy.Port());
  // Far more than the socket buffers hold, so the rest is still on its way.
  Admin("SET SESSION max_recursive_iterations = 100000");
  Admin(
      "INSERT INTO UserMt SELECT '5', CONCAT('u', n), 'p', n, 0 FROM (WITH RECURSIVE s(n) AS "
      "(SELECT 1 UNION ALL SELECT n + 1 FROM s WHERE n < 20000) SELECT n FROM s) t");
  query.SpecificOptions().Add(u"FetchAll=False");
  query.SpecificOptions().Add(u"CreateConnection=False");
  query.SetSQL(u"SELECT AccessSetupHead, REPEAT('x', 2000) AS Pad FROM UserMt WHERE SiteID = '5'");
  query.Open();
  ASSERT_EQ(query.RecordCount(), 25);
  ASSERT_TRUE(connection.GetConnected());
  // Nothing may reconnect silently under an open query that has rows to come.
  EXPECT_TRUE(query.PreventsReconnect());

  proxy.SetMode(test::TLoopbackProxy::Mode::Reset);
  bool failed = false;
  try {
    while (!query.Eof()) query.Next();
  } catch (const EDAError& e) {
    failed = true;
    EXPECT_TRUE(e.IsFatalError()) << Utf16ToUtf8(e.Message());
  }
  EXPECT_TRUE(failed);
  EXPECT_FALSE(query.Active());
  EXPECT_EQ(query.RecordCount(), 0);
  EXPECT_FALSE(connection.GetConnected());

  // With the way clear again, the next open connects anew.
  proxy.SetMode(test::TLoopbackProxy::Mode::Pass);
  CheckUser(u"007", u"kim");
  EXPECT_EQ(query.FieldByName(u"Password").AsString(), u"Secret1");
}

TEST_F(VixQueryServerTest, ADestroyedConnectionLeavesTheQueryClosedWithoutOne) {
  auto other = std::make_unique<TVixConnection>();
  other->SetProviderName(u"MySQL");
  other->SpecificOptions().Add(u"MySQL.UseUnicode=True");
  Login(*other, port);
  TVixQuery q;
  q.SetConnection(other.get());
  q.SetSQL(u"SELECT UserName FROM UserMt");
  q.Open();
  EXPECT_EQ(q.RecordCount(), 3);
  other.reset();
  EXPECT_FALSE(q.Active());
  EXPECT_EQ(q.GetConnection(), nullptr);
  EXPECT_THROW(q.Open(), EDatabaseError);
}

// A transaction begun by statement text dies with its session: the statement
// that finds the session gone fails, and nothing later runs on a new session
// as if the transaction went on, until the connection is opened again.
TEST_F(VixQueryServerTest, ATransactionLostWithItsSessionIsNeverContinued) {
  Admin("ALTER TABLE UserMt ENGINE=InnoDB");
  const UString id = First(u"BEGIN; INSERT INTO UserMt VALUES ('tx', 'a', 'p', 1, 1); SELECT CONNECTION_ID() AS id");
  EXPECT_TRUE(connection.InTransaction());
  Kill(StrToInt64(id));

  query.Close();
  query.SetSQL(u"INSERT INTO UserMt VALUES ('tx', 'b', 'p', 2, 2); SELECT 1 AS one");
  try {
    query.Open();
    ADD_FAILURE() << "the statement ran on another session";
  } catch (const EDAError& e) {
    EXPECT_TRUE(e.IsFatalError()) << Utf16ToUtf8(e.Message());
  }
  EXPECT_FALSE(query.Active());
  EXPECT_FALSE(connection.InTransaction());
  query.SetSQL(u"COMMIT; SELECT 1 AS one");
  EXPECT_THROW(query.Open(), EDatabaseError);
  EXPECT_EQ(AdminScalar("SELECT COUNT(*) FROM " + database + ".UserMt WHERE SiteID = 'tx'"), "0");

  // Opened again on purpose, the connection goes on in a session of its own.
  connection.Open();
  EXPECT_FALSE(connection.InTransaction());
  EXPECT_EQ(First(u"SELECT COUNT(*) FROM UserMt WHERE SiteID = 'tx'"), u"0");
  EXPECT_NE(First(u"SELECT CONNECTION_ID()"), id);
}

// Rows not all fetched at open are read on a session of their own: the
// connection runs other statements meanwhile, and an early close ends the
// rest of a long result without reading it.
TEST_F(VixQueryServerTest, APartlyReadQueryLeavesTheConnectionFreeForOthers) {
  std::string insert = "INSERT INTO UserMt VALUES ('9', 'u1', 'p', 1, 1)";
  for (int i = 2; i <= 60; ++i) insert += ", ('9', 'u" + std::to_string(i) + "', 'p', " + std::to_string(i) + ", 1)";
  Admin(insert);
  TVixQuery a;
  a.SetConnection(&connection);
  a.SpecificOptions().Add(u"FetchAll=False");
  a.SetSQL(u"SELECT UserName, AccessSetupHead FROM UserMt WHERE SiteID = '9' ORDER BY AccessSetupHead");
  a.Open();
  ASSERT_EQ(a.RecordCount(), 25);
  EXPECT_FALSE(a.Fetched());

  // Another query on the same connection, while the first has rows to come.
  CheckUser(u"007", u"kim");
  ASSERT_EQ(query.RecordCount(), 1);
  EXPECT_EQ(query.FieldByName(u"Password").AsString(), u"Secret1");
  EXPECT_EQ(First(u"SELECT COUNT(*) FROM UserMt"), u"63");

  int seen = 0;
  for (; !a.Eof(); a.Next()) EXPECT_EQ(a.FieldByName(u"AccessSetupHead").AsInteger(), ++seen);
  EXPECT_EQ(seen, 60);
  EXPECT_TRUE(a.Fetched());
  a.Close();

  // A long result closed early: its session is killed, not read to the end.
  const std::string kills =
      "SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME = 'COM_KILL'";
  a.SetSQL(u"SELECT seq, REPEAT('x', 500) AS pad FROM seq_1_to_2000000");
  a.Open();
  auto* rs = dynamic_cast<TMySQLRecordset*>(a.GetIRecordSet());
  ASSERT_TRUE(rs && rs->UsesFetchConnection());
  const uint32_t fetchId = rs->FetchConnection()->GetThreadId();
  EXPECT_NE(UIntToStr(fetchId), First(u"SELECT CONNECTION_ID()"));
  const int64_t killsBefore = std::stoll(AdminScalar(kills));
  a.Close();
  EXPECT_FALSE(rs->UsesFetchConnection());
  EXPECT_EQ(std::stoll(AdminScalar(kills)), killsBefore + 1);
  EXPECT_TRUE(WaitGone(fetchId));
  EXPECT_EQ(First(u"SELECT COUNT(*) FROM UserMt"), u"63");
  // A short rest is read instead.
  a.SetSQL(u"SELECT seq FROM seq_1_to_40");
  a.Open();
  a.Close();
  EXPECT_EQ(std::stoll(AdminScalar(kills)), killsBefore + 1);

  // Inside a transaction the rows are read on its own session, which alone
  // sees what the transaction changed.
  Admin("ALTER TABLE UserMt ENGINE=InnoDB");
  First(u"BEGIN; INSERT INTO UserMt VALUES ('tx', 'a', 'p', 1, 1); SELECT 1");
  a.SetSQL(u"SELECT UserName FROM UserMt WHERE SiteID = 'tx'");
  a.Open();
  EXPECT_FALSE(rs->UsesFetchConnection());
  EXPECT_EQ(a.RecordCount(), 1);
  a.Close();
  First(u"ROLLBACK; SELECT 1");
}

// A cancel whose own connection cannot be made leaves the running statement,
// its session and its transaction alone.
TEST_F(VixQueryServerTest, ACancelThatCannotConnectLeavesTheSessionAlone) {
  Admin("ALTER TABLE UserMt ENGINE=InnoDB");
  // The proxy serves one connection: the cancel's own waits in vain.
  test::TLoopbackProxy proxy(port, 1);
  connection.SetPort(proxy.Port());
  connection.SpecificOptions().Add(u"MySQL.ConnectionTimeout=1");
  First(u"BEGIN; INSERT INTO UserMt VALUES ('tx', 'a', 'p', 1, 1); SELECT 1");
  ASSERT_TRUE(connection.InTransaction());

  query.Close();
  query.SetSQL(u"SELECT SLEEP(3) AS s");
  auto* cmd = dynamic_cast<TMySQLCommand*>(query.GetIRecordSet()->GetCommand());
  ASSERT_NE(cmd, nullptr);
  std::atomic<bool> cancelFailed{false};
  std::thread canceller([&] {
    while (!cmd->GetExecuting()) std::this_thread::yield();
    try {
      cmd->BreakExec();
    } catch (const EDAError& e) {
      cancelFailed = e.IsFatalError();
    }
  });
  query.Open();
  canceller.join();
  EXPECT_TRUE(cancelFailed);
  // The statement ran to its end (SLEEP answers 0 when not interrupted).
  EXPECT_EQ(query.FieldByName(u"s").AsInteger(), 0);
  EXPECT_TRUE(connection.GetConnected());
  EXPECT_TRUE(connection.InTransaction());
  EXPECT_EQ(First(u"SELECT COUNT(*) FROM UserMt WHERE SiteID = 'tx'"), u"1");
  EXPECT_EQ(AdminScalar("SELECT COUNT(*) FROM " + database + ".UserMt WHERE SiteID = 'tx'"), "0");
  First(u"COMMIT; SELECT 1");
  EXPECT_FALSE(connection.InTransaction());
  EXPECT_EQ(AdminScalar("SELECT COUNT(*) FROM " + database + ".UserMt WHERE SiteID = 'tx'"), "1");
}

}  // namespace
}  // namespace vix
