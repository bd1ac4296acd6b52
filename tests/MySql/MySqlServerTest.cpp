// The wire client against the private MariaDB server of the test services
// (scripts/mariadb-test-server). Skipped locally when it is not running.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "LoopbackServer.h"
#include "MySql/MySqlApiDirect.h"
#include "TestSupport.h"

namespace vix {
namespace {

using test::EnvOr;

constexpr uint32_t kProviderFlags = CLIENT_FOUND_ROWS | CLIENT_MULTI_STATEMENTS;

struct ServerTest : ::testing::Test {
  TMySQLAPIDirect api;
  std::string host = EnvOr("VIX_MYSQL_HOST");
  int port = std::atoi(EnvOr("VIX_MYSQL_PORT", "0").c_str());
  std::string db = EnvOr("VIX_MYSQL_DATABASE", "vixtest");
  std::vector<PMYSQL> open;

  void SetUp() override { VIX_REQUIRE_COMPONENT(!host.empty(), "MariaDB test server (VIX_MYSQL_HOST)"); }
  void TearDown() override {
    for (PMYSQL m : open) api.mysql_close(m);
  }

  // A new session handle; not yet connected.
  PMYSQL Handle() {
    PMYSQL m = api.mysql_init(nullptr);
    open.push_back(m);
    api.mysql_options(m, MYSQL_OPT_CONNECT_TIMEOUT, 10);
    api.mysql_options(m, MYSQL_SET_CHARSET_NAME, std::string("utf8"));
    api.SetTimeout(m, 60);
    return m;
  }
  PMYSQL Connect(uint32_t extraFlags = 0, std::string user = std::string(), std::string password = std::string()) {
    if (user.empty()) {
      user = EnvOr("VIX_MYSQL_USER", "vix");
      password = EnvOr("VIX_MYSQL_PASSWORD");
    }
    PMYSQL m = Handle();
    PMYSQL r = api.mysql_real_connect(m, host, user, password, db, port, "", kProviderFlags | extraFlags);
    EXPECT_EQ(r, m) << api.mysql_errno(m) << " " << api.mysql_error(m);
    return r;
  }
  int Run(PMYSQL m, const std::string& sql) { return api.mysql_real_query(m, sql.data(), sql.size()); }
  // The rows of one result, every value as text ("<NULL>" for NULL).
  std::vector<std::vector<std::string>> Rows(PMYSQL m) {
    std::vector<std::vector<std::string>> rows;
    PMYSQL_RES res = api.mysql_use_result(m);
    if (!res) return rows;
    while (PMYSQL_ROW row = api.mysql_fetch_row(res)) {
      std::vector<std::string> values;
      for (int i = 0; i < api.mysql_num_fields(res); ++i)
        values.push_back(api._mysql_fetch_value_is_null(row, i) ? "<NULL>" : api._mysql_fetch_value_str(row, i));
      rows.push_back(values);
    }
    api.mysql_free_result(res);
    return rows;
  }
  std::string Scalar(PMYSQL m, const std::string& sql) {
    EXPECT_EQ(Run(m, sql), 0) << api.mysql_error(m);
    auto rows = Rows(m);
    return rows.empty() || rows[0].empty() ? "<none>" : rows[0][0];
  }
};

TEST_F(ServerTest, LoginVariants) {
  struct Case {
    const char* userVar;
    const char* passwordVar;
  } const cases[] = {
      {"VIX_MYSQL_USER", "VIX_MYSQL_PASSWORD"},
      {"VIX_MYSQL_EMPTY_USER", ""},
      {"VIX_MYSQL_KOREAN_USER", "VIX_MYSQL_KOREAN_PASSWORD"},
      {"VIX_MYSQL_OLD_USER", "VIX_MYSQL_OLD_PASSWORD"},
  };
  for (const Case& c : cases) {
    const std::string user = EnvOr(c.userVar);
    const std::string password = *c.passwordVar ? EnvOr(c.passwordVar) : std::string();
    VIX_REQUIRE_COMPONENT(!user.empty(), std::string("test account ") + c.userVar);
    PMYSQL m = Connect(0, user, password);
    ASSERT_NE(m, nullptr) << user;
    EXPECT_EQ(Scalar(m, "SELECT CURRENT_USER()"), user + "@127.0.0.1");
    EXPECT_EQ(api.mysql_get_host_info(m), host + " via TCP/IP");
    EXPECT_NE(api.mysql_get_server_info(m).find("MariaDB"), std::string::npos);
    EXPECT_EQ(m->Statistics().rfind("Uptime: ", 0), 0u);
    EXPECT_TRUE(m->IsProtocol41());
    // MariaDB offers its metadata cache: CLIENT_MYSQL is left out for the
    // extended capabilities that ask for it.
    EXPECT_TRUE(m->CacheMetadata());
    EXPECT_EQ(m->clientFlag & ~static_cast<uint32_t>(CLIENT_COMPRESS),
              (kAlwaysSentFlags | CLIENT_FOUND_ROWS | CLIENT_CONNECT_WITH_DB | CLIENT_SESSION_TRACK) & ~CLIENT_MYSQL);
  }
}

TEST_F(ServerTest, WrongPasswordIs1045WithTheServerText) {
  PMYSQL m = Handle();
  EXPECT_EQ(api.mysql_real_connect(m, host, EnvOr("VIX_MYSQL_USER", "vix"), "wrong", db, port, "", 0), nullptr);
  EXPECT_EQ(api.mysql_errno(m), 1045u);
  EXPECT_EQ(api.mysql_error(m).rfind("\r\n#28000Access denied for user 'vix'@'127.0.0.1'", 0), 0u)
      << api.mysql_error(m);
}

TEST_F(ServerTest, RefusedPortIs2003WithSocketText) {
  PMYSQL m = Handle();
  EXPECT_EQ(api.mysql_real_connect(m, "127.0.0.1", "vix", "x", "", test::UnusedLoopbackPort(), "", 0), nullptr);
  EXPECT_EQ(api.mysql_errno(m), 2003u);
  EXPECT_EQ(api.mysql_error(m),
            "Can't connect to MySQL server on '127.0.0.1' (10061)\r\n"
            "Socket error on connect. WSAGetLastError return 10061($274D)");
  const UString lower = LowerCase(U(api.mysql_error(m)));
  EXPECT_NE(lower.find(u"can't connect"), UString::npos);
  EXPECT_NE(lower.find(u"socket"), UString::npos);
}

TEST_F(ServerTest, SelectDbAndServerErrors) {
  PMYSQL m = Connect();
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(api.mysql_select_db(m, "no_such_db"), 1049);
  EXPECT_EQ(api.mysql_select_db(m, db), 0);
  EXPECT_EQ(Run(m, "SELECT * FROM no_such_table"), 1146);
  EXPECT_EQ(api.mysql_error(m).rfind("\r\n#42S02", 0), 0u) << api.mysql_error(m);
  EXPECT_EQ(api.mysql_ping(m), 0);
  EXPECT_EQ(api.mysql_errno(m), 0u);
}

TEST_F(ServerTest, OkPacketFillsTheSessionAndStatusFlagsAreTracked) {
  PMYSQL m = Connect();
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(Run(m, "CREATE OR REPLACE TABLE ok_t (id INT AUTO_INCREMENT PRIMARY KEY, v INT)"), 0);
  ASSERT_EQ(Run(m, "INSERT INTO ok_t (v) VALUES (1), (2), (3)"), 0);
  EXPECT_EQ(api.mysql_affected_rows(m), 3);
  EXPECT_EQ(api.mysql_insert_id(m), 1);
  EXPECT_EQ(api.mysql_info(m), "Records: 3  Duplicates: 0  Warnings: 0");
  EXPECT_EQ(api.mysql_field_count(m), 0);
  EXPECT_EQ(api.mysql_use_result(m), nullptr);
  EXPECT_EQ(api.mysql_errno(m), 0u);

  EXPECT_FALSE(m->serverStatus & SERVER_STATUS_IN_TRANS);
  ASSERT_EQ(Run(m, "BEGIN"), 0);
  EXPECT_TRUE(m->serverStatus & SERVER_STATUS_IN_TRANS);
  EXPECT_EQ(Run(m, "SELECT * FROM no_such_table"), 1146);
  EXPECT_TRUE(m->serverStatus & SERVER_STATUS_IN_TRANS);  // an error reply keeps the flags
  ASSERT_EQ(Run(m, "ROLLBACK"), 0);
  EXPECT_FALSE(m->serverStatus & SERVER_STATUS_IN_TRANS);
  ASSERT_EQ(Run(m, "SET SESSION sql_mode = 'NO_BACKSLASH_ESCAPES'"), 0);
  EXPECT_TRUE(m->serverStatus & SERVER_STATUS_NO_BACKSLASH_ESCAPES);
}

TEST_F(ServerTest, ValuesOfEveryLengthPrefixWithAndWithoutCompression) {
  const size_t sizes[] = {0, 250, 251, 65535, 65536, 16777215, 16777216};
  for (uint32_t flags : {0u, static_cast<uint32_t>(CLIENT_COMPRESS)}) {
    PMYSQL m = Connect(flags);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->net.Compress(), flags != 0);
    ASSERT_EQ(Run(m, "SHOW SESSION STATUS LIKE 'Compression'"), 0);
    EXPECT_EQ(Rows(m).at(0).at(1), flags ? "ON" : "OFF");
    for (size_t n : sizes) {
      const std::string sql = "SELECT REPEAT('a', " + std::to_string(n) + "), NULL, '', 'z'";
      ASSERT_EQ(Run(m, sql), 0) << api.mysql_error(m);
      EXPECT_EQ(api.mysql_field_count(m), 4);
      PMYSQL_RES res = api.mysql_use_result(m);
      ASSERT_NE(res, nullptr);
      PMYSQL_ROW row = api.mysql_fetch_row(res);
      ASSERT_NE(row, nullptr) << n << " " << api.mysql_error(m);
      const std::string v = api._mysql_fetch_value_str(row, 0);
      EXPECT_EQ(v.size(), n);
      EXPECT_TRUE(std::all_of(v.begin(), v.end(), [](char c) { return c == 'a'; })) << n;
      EXPECT_TRUE(api._mysql_fetch_value_is_null(row, 1));
      EXPECT_EQ(api._mysql_fetch_value_ptr(res, row, 1), nullptr);
      EXPECT_FALSE(api._mysql_fetch_value_is_null(row, 2));
      EXPECT_EQ(api._mysql_fetch_value_str(row, 2), "");
      EXPECT_EQ(api._mysql_fetch_value_str(row, 3), "z");
      char copy[4] = {'-', '-', '-', '-'};
      api._mysql_fetch_value_to_str(row, 3, 1, 1, copy);
      EXPECT_EQ(std::string(copy, 3), std::string("-z\0", 3));
      api._mysql_fetch_value_to_str(row, 1, 0, 0, copy);  // NULL: only the terminator
      EXPECT_EQ(copy[0], '\0');
      size_t off = 0;
      EXPECT_EQ(api._mysql_fetch_value_arr(row, 3, off)[off], 'z');
      EXPECT_EQ(api.mysql_fetch_row(res), nullptr);
      EXPECT_EQ(api.mysql_errno(m), 0u);
      api.mysql_free_result(res);
    }
  }
}

TEST_F(ServerTest, FortyMegabyteValueCompressedAndNot) {
  for (uint32_t flags : {0u, static_cast<uint32_t>(CLIENT_COMPRESS)}) {
    PMYSQL m = Connect(flags);
    ASSERT_NE(m, nullptr);
    const std::string v = Scalar(m, "SELECT REPEAT('0123456789', 4194304)");
    ASSERT_EQ(v.size(), 41943040u);
    EXPECT_EQ(v.substr(v.size() - 10), "0123456789");
  }
}

TEST_F(ServerTest, QueriesAtThePacketLimit) {
  for (uint32_t flags : {0u, static_cast<uint32_t>(CLIENT_COMPRESS)}) {
    PMYSQL m = Connect(flags);
    ASSERT_NE(m, nullptr);
    // Payloads (command byte + text) of 0xFFFFFF and 0xFFFFFF + 1 bytes.
    for (size_t textBytes : {size_t{0xFFFFFE}, size_t{0xFFFFFF}}) {
      const std::string head = "SELECT LENGTH('", tail = "')";
      const std::string sql = head + std::string(textBytes - head.size() - tail.size(), 'q') + tail;
      ASSERT_EQ(sql.size(), textBytes);
      EXPECT_EQ(Scalar(m, sql), std::to_string(textBytes - head.size() - tail.size())) << textBytes;
    }
  }
}

TEST_F(ServerTest, MultiStatementsGiveSeveralResults) {
  PMYSQL m = Connect();
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(Run(m, "SELECT 1; SELECT 2, 3; DO 0; SELECT 'last'"), 0);
  std::vector<std::string> seen;
  int rc = 0;
  do {
    for (auto& row : Rows(m)) seen.push_back(row[0] + (row.size() > 1 ? "," + row[1] : ""));
    if (api.mysql_field_count(m) == 0) seen.push_back("ok");
  } while ((rc = api.mysql_next_result(m)) == 0);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(seen, (std::vector<std::string>{"1", "2,3", "ok", "last"}));
  EXPECT_FALSE(api.mysql_more_results(m));
  // An error in the middle ends the reply; the session stays usable.
  ASSERT_EQ(Run(m, "SELECT 1; SELECT * FROM no_such_table; SELECT 3"), 0);
  Rows(m);
  EXPECT_EQ(api.mysql_next_result(m), 1146);
  EXPECT_FALSE(api.mysql_more_results(m));
  EXPECT_EQ(Scalar(m, "SELECT 4"), "4");
}

TEST_F(ServerTest, CommandsOutOfSyncWhileRowsAreUnread) {
  PMYSQL m = Connect();
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(Run(m, "SELECT seq FROM seq_1_to_1000"), 0);
  PMYSQL_RES res = api.mysql_use_result(m);
  ASSERT_NE(res, nullptr);
  ASSERT_NE(api.mysql_fetch_row(res), nullptr);
  EXPECT_EQ(Run(m, "SELECT 2"), 2014);
  EXPECT_EQ(api.mysql_error(m), "Commands out of sync;  You can't run this command now");
  EXPECT_EQ(api.mysql_next_result(m), 2014);
  api.mysql_free_result(res);  // skips the other 999 rows
  EXPECT_EQ(Scalar(m, "SELECT 2"), "2");
}

TEST_F(ServerTest, ColumnDescriptions) {
  PMYSQL m = Connect();
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(Run(m, "CREATE OR REPLACE TABLE col_t (id INT NOT NULL PRIMARY KEY, name VARCHAR(10) CHARACTER SET utf8)"),
            0);
  ASSERT_EQ(Run(m, "SELECT id, name AS n FROM col_t"), 0);
  PMYSQL_RES res = api.mysql_use_result(m);
  ASSERT_NE(res, nullptr);
  const TMYSQL_FIELD id = api._mysql_fetch_field_direct(res, 0, true);
  const TMYSQL_FIELD name = api._mysql_fetch_field_direct(res, 1, true);
  EXPECT_EQ(id.Name, "id");
  EXPECT_EQ(id.Table, "col_t");
  EXPECT_EQ(id._type, 3);
  EXPECT_TRUE(id.Flags & NUM_FLAG);
  EXPECT_EQ(name.Name, "n");
  EXPECT_EQ(name.OrgName, "name");
  EXPECT_EQ(name._type, MYSQL_TYPE_VAR_STRING);
  EXPECT_EQ(name.LengthInBytes, 30u);
  EXPECT_EQ(name.CharsetNr, 33);
  EXPECT_FALSE(name.Flags & NUM_FLAG);
  EXPECT_EQ(api.mysql_fetch_row(res), nullptr);
  api.mysql_free_result(res);
}

TEST_F(ServerTest, KillQueryFromASecondSession) {
  PMYSQL a = Connect();
  PMYSQL b = Connect();
  ASSERT_TRUE(a && b);
  std::string result;
  uint32_t error = 0;
  std::thread worker([&] {
    result = Scalar(a, "SELECT SLEEP(20)");
    error = api.mysql_errno(a);
  });
  const std::string id = std::to_string(api.mysql_thread_id(a));
  bool killed = false;
  for (int i = 0; i < 200 && !killed; ++i) {
    if (Scalar(b, "SELECT COUNT(*) FROM information_schema.processlist WHERE id = " + id +
                      " AND info LIKE 'SELECT SLEEP%'") == "1")
      killed = Run(b, "KILL QUERY " + id) == 0;
    else std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  worker.join();
  EXPECT_TRUE(killed);
  // The server ends the result with 1317 "Query execution was interrupted".
  EXPECT_EQ(result, "<none>");
  EXPECT_EQ(error, 1317u);
  EXPECT_EQ(api.mysql_ping(a), 0);
}

TEST_F(ServerTest, KilledConnectionFailsWith2013) {
  PMYSQL a = Connect();
  PMYSQL b = Connect();
  ASSERT_TRUE(a && b);
  EXPECT_EQ(api.mysql_kill(b, api.mysql_thread_id(a)), 0) << api.mysql_error(b);
  // The server ends the connection right after the KILL; give it a moment.
  int first = 0;
  for (int i = 0; i < 100 && first == 0; ++i) {
    first = api.mysql_ping(a);
    if (first == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(first == 2013 || first == 1927) << first;  // gone, or told so by the server
  EXPECT_EQ(api.mysql_ping(a), 2013);
  EXPECT_EQ(api.mysql_error(a), "Lost connection to MySQL server during query");
}

TEST_F(ServerTest, ReadTimeOutIs2013AndBreaksTheSession) {
  PMYSQL m = Connect();
  ASSERT_NE(m, nullptr);
  api.SetTimeout(m, 1);
  EXPECT_EQ(Run(m, "SELECT SLEEP(3)"), 2013);
  EXPECT_EQ(
      api.mysql_error(m),
      "Lost connection to MySQL server during query\r\nSocket error on read. WSAGetLastError return 10060($274C)");
  EXPECT_EQ(Run(m, "SELECT 1"), 2013);
}

TEST_F(ServerTest, LocalInfileIsRefusedUnlessSwitchedOn) {
  PMYSQL m = Connect();
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(Run(m, "CREATE OR REPLACE TABLE infile_t (line TEXT)"), 0);
  EXPECT_EQ(Run(m, "LOAD DATA LOCAL INFILE '/etc/passwd' INTO TABLE infile_t"), 2000);
  EXPECT_NE(api.mysql_error(m).find("LOAD DATA LOCAL INFILE refused"), std::string::npos);
  EXPECT_EQ(Scalar(m, "SELECT COUNT(*) FROM infile_t"), "0");

  api.mysql_options(m, MYSQL_OPT_LOCAL_INFILE, 1);
  const std::string lines = "one\ntwo\n" + std::string(20000, 'x') + "\n";
  test::TTempFile infile("vix-infile-", lines);
  const std::string& path = infile.Path();
  EXPECT_EQ(Run(m, std::string("LOAD DATA LOCAL INFILE '") + path + "' INTO TABLE infile_t"), 0) << api.mysql_error(m);
  EXPECT_EQ(api.mysql_affected_rows(m), 3);
  EXPECT_EQ(Scalar(m, "SELECT SUM(LENGTH(line)) FROM infile_t"), "20006");
  infile.Remove();
  EXPECT_EQ(Run(m, std::string("LOAD DATA LOCAL INFILE '") + path + "' INTO TABLE infile_t"), 2000);
  EXPECT_EQ(api.mysql_ping(m), 0);
  // Refused in the middle of several statements: the results after it are still there.
  api.mysql_options(m, MYSQL_OPT_LOCAL_INFILE, 0);
  EXPECT_EQ(Run(m, "LOAD DATA LOCAL INFILE '/etc/passwd' INTO TABLE infile_t; SELECT 'after'"), 2000);
  EXPECT_TRUE(api.mysql_more_results(m));
  EXPECT_EQ(api.mysql_next_result(m), 0);
  EXPECT_EQ(Rows(m).at(0).at(0), "after");
}

// The file is sent when the statement names it, however the name is quoted.
TEST_F(ServerTest, LocalInfileWithAQuoteInItsName) {
  PMYSQL m = Connect();
  ASSERT_NE(m, nullptr);
  api.mysql_options(m, MYSQL_OPT_LOCAL_INFILE, 1);
  ASSERT_EQ(Run(m, "CREATE OR REPLACE TABLE infile_q (line TEXT)"), 0);
  const test::TTempFile infile("vix-in'file-", "a\nb\n");
  std::string doubled, escaped;
  for (const char c : infile.Path()) {
    doubled += c == '\'' ? std::string("''") : std::string(1, c);
    escaped += c == '\'' ? std::string("\\'") : std::string(1, c);
  }
  for (const std::string& literal : {doubled, escaped}) {
    EXPECT_EQ(Run(m, "LOAD DATA LOCAL INFILE '" + literal + "' INTO TABLE infile_q"), 0) << api.mysql_error(m);
    EXPECT_EQ(api.mysql_affected_rows(m), 2);
  }
  EXPECT_EQ(Scalar(m, "SELECT COUNT(*) FROM infile_q"), "4");
}

}  // namespace
}  // namespace vix
