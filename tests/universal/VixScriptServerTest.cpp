// The script component on a universal connection with the MySQL provider,
// against the private MariaDB server of the test services: delimiters and
// routines, error actions, stopping a run, and a dump of the mariadb-dump
// tool restored through the script and through the mariadb client alike.
// Skipped locally when the server is not running.
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "MySql/MySQLVixProvider.h"
#include "MySql/MyScriptProcessor.h"
#include "MySql/MySqlApiDirect.h"
#include "TestSupport.h"
#include "universal/Vix.h"
#include "universal/VixScript.h"

namespace vix {
namespace {

using test::EnvOr;

struct VixScriptServerTest : ::testing::Test {
  TMySQLAPIDirect api;
  PMYSQL admin = nullptr;
  std::string host;
  int port = 0;
  const std::string database = "vixscript_" + test::ProcessTag();
  std::vector<std::string> databases;
  TVixConnection connection;
  TVixScript script;

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
    Fresh(database);
    Admin("USE " + database);
    OpenOn(database);
  }
  void TearDown() override {
    connection.Close();
    if (admin) {
      for (const auto& db : databases) Admin("DROP DATABASE IF EXISTS " + db);
      api.mysql_close(admin);
    }
  }

  void Fresh(const std::string& db) {
    Admin("DROP DATABASE IF EXISTS " + db);
    Admin("CREATE DATABASE " + db + " CHARACTER SET utf8mb4");
    databases.push_back(db);
  }
  void OpenOn(const std::string& db) {
    connection.Close();
    connection.SetProviderName(u"MySQL");
    connection.SpecificOptions().Add(u"MySQL.UseUnicode=True");
    connection.SetServer(Utf8ToUtf16(host));
    connection.SetPort(port);
    connection.SetDatabase(Utf8ToUtf16(db));
    connection.SetUsername(Utf8ToUtf16(EnvOr("VIX_MYSQL_USER", "vix")));
    connection.SetPassword(Utf8ToUtf16(EnvOr("VIX_MYSQL_PASSWORD")));
    script.SetConnection(&connection);
  }
  void Admin(const std::string& sql) {
    ASSERT_EQ(api.mysql_real_query(admin, sql.data(), sql.size()), 0) << sql << ": " << api.mysql_error(admin);
  }
  // Every row of a query on the admin session, the values joined by "|".
  std::vector<std::string> Rows(const std::string& sql) {
    std::vector<std::string> rows;
    if (api.mysql_real_query(admin, sql.data(), sql.size()) != 0) return {"<error " + api.mysql_error(admin) + ">"};
    if (PMYSQL_RES res = api.mysql_use_result(admin)) {
      int columns = api.mysql_num_fields(res);
      while (PMYSQL_ROW row = api.mysql_fetch_row(res)) {
        std::string line;
        for (int i = 0; i < columns; ++i) {
          if (i) line += "|";
          line += api._mysql_fetch_value_is_null(row, i) ? "<NULL>" : api._mysql_fetch_value_str(row, i);
        }
        rows.push_back(line);
      }
      api.mysql_free_result(res);
    }
    return rows;
  }
  std::string Scalar(const std::string& sql) {
    auto rows = Rows(sql);
    return rows.empty() ? "<none>" : rows[0];
  }
};

TEST_F(VixScriptServerTest, DelimitersAndRoutinesRunAsTheClientRunsThem) {
  script.SetSQL(
      U("CREATE TABLE t (id INT, delimiter VARCHAR(8));\n"
        "INSERT INTO t (id, delimiter) VALUES (1, ';'), (2, '$$');\n"
        "DELIMITER $$\n"
        "CREATE PROCEDURE p1() BEGIN INSERT INTO t VALUES (10, 'a;b'); INSERT INTO t VALUES (11, 'c'); END$$\n"
        "DELIMITER //\n"
        "CREATE FUNCTION f1() RETURNS INT DETERMINISTIC BEGIN DECLARE x INT; SET x = 41; RETURN x + 1; END//\n"
        "DELIMITER ;\n"
        "CREATE TRIGGER tr BEFORE INSERT ON t FOR EACH ROW SET NEW.delimiter = CASE WHEN NEW.id = 3 THEN 'x' "
        "ELSE NEW.delimiter END;\n"
        "CREATE PROCEDURE p2() BEGIN IF 1 THEN INSERT INTO t VALUES (20, 'if'); END IF; END;\n"
        "CALL p1(); CALL p2(); INSERT INTO t VALUES (3, 'y'), (f1(), '한글');\n"
        "INSERT INTO t VALUES (6 &3, ':p &q'), (7 + (@v:=1) - 1, CONCAT(@v, ' &v'));\n"
        "-- done\n"));
  std::vector<UString> sent;
  script.AfterExecute = [&](TDAScript&, const UString& sql) { sent.push_back(sql); };
  script.Execute();
  EXPECT_EQ(sent.size(), 10u);
  EXPECT_EQ(
      Rows("SELECT id, delimiter FROM t ORDER BY id"),
      (std::vector<std::string>{"1|;", "2|$$", "2|:p &q", "3|x", "7|1 &v", "10|a;b", "11|c", "20|if", "42|한글"}));
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM information_schema.ROUTINES WHERE ROUTINE_SCHEMA = '" + database + "'"), "3");
}

struct ErrorCase {
  const char* name;
  TErrorAction action;
  bool raises;
  std::string rows;  // ids in the table afterwards
  int shown;         // errors handed to ShowException
};

TEST_F(VixScriptServerTest, ErrorActionsDecideWhatFollows) {
  const std::string text =
      "CREATE TABLE e (id INT PRIMARY KEY);\nINSERT INTO e VALUES (1);\nINSERT INTO e VALUES (1);\n"
      "INSERT INTO e VALUES (2)";
  const int64_t failedAt = static_cast<int64_t>(U(text).find(u"INSERT INTO e VALUES (1);\nINSERT") + 26);
  const ErrorCase cases[] = {
      {"abort", TErrorAction::eaAbort, false, "1", 0},
      {"fail", TErrorAction::eaFail, true, "1", 0},
      {"exception", TErrorAction::eaException, false, "1,2", 1},
      {"continue", TErrorAction::eaContinue, false, "1,2", 0},
  };
  // One by one, and in batches: the failing statement is reported alike.
  for (const bool batched : {false, true})
    for (const auto& c : cases) {
      SCOPED_TRACE(batched ? "batched" : "one by one");
      Admin("DROP TABLE IF EXISTS e");
      script.SetUseOptimization(batched);
      script.SetSQL(U(text));
      UString failedSql;
      int shown = 0;
      int64_t failedLine = -1;
      script.OnError = [&](TDAScript& sender, const Exception&, const UString& sql, TErrorAction& action) {
        failedSql = sql;
        failedLine = sender.StartLine();
        action = c.action;
      };
      script.ShowException = [&](const Exception&) { ++shown; };
      bool raised = false;
      try {
        script.Execute();
      } catch (const Exception&) {
        raised = true;
      }
      EXPECT_EQ(raised, c.raises) << c.name;
      EXPECT_EQ(shown, c.shown) << c.name;
      EXPECT_EQ(failedSql, u"INSERT INTO e VALUES (1)") << c.name;
      EXPECT_EQ(script.ErrorOffset(), failedAt) << c.name;
      EXPECT_EQ(failedLine, 2) << c.name;
      EXPECT_EQ(Scalar("SELECT GROUP_CONCAT(id ORDER BY id) FROM e"), c.rows) << c.name;
    }
}

// Batches: statements go to the server as few texts joined by ";" (a
// statement ending in a line comment does not swallow the next one), the
// events see every statement, and a failure in the middle of a batch is the
// failing statement's, the rest of its batch running after it.
TEST_F(VixScriptServerTest, BatchesJoinStatementsAndReportTheFailingOne) {
  Admin("CREATE TABLE b (id INT PRIMARY KEY, note VARCHAR(20))");
  TVixQuery query;
  query.SetConnection(&connection);
  int texts = 0;
  query.BeforeExecute = [&](TDataSet&) { ++texts; };
  TDAScript batch;
  batch.SetProcessor(std::make_unique<TMyScriptProcessor>());
  batch.SetDataSet(&query);
  batch.SetUseOptimization(true);
  std::string text;
  for (int i = 1; i <= 300; ++i) text += "INSERT INTO b VALUES (" + std::to_string(i) + ", 'x;y') -- row\n;\n";
  text += "INSERT INTO b VALUES (7, 'again');\nINSERT INTO b VALUES (1000, '한글');\n# done\n";
  const UString script16 = U(text);
  std::vector<UString> after, failed;
  batch.AfterExecute = [&](TDAScript&, const UString& sql) { after.push_back(sql); };
  batch.OnError = [&](TDAScript&, const Exception&, const UString& sql, TErrorAction& action) {
    failed.push_back(sql);
    action = TErrorAction::eaContinue;
  };
  batch.SetSQL(script16);
  batch.Execute();
  EXPECT_EQ(texts, 2);  // the batch up to the failure, then the rest after it
  EXPECT_EQ(after.size(), 301u);
  EXPECT_EQ(after.back(), u"INSERT INTO b VALUES (1000, '한글')");
  EXPECT_EQ(failed, std::vector<UString>{u"INSERT INTO b VALUES (7, 'again')"});
  EXPECT_EQ(batch.ErrorOffset(), static_cast<int64_t>(script16.find(u"INSERT INTO b VALUES (7, 'again')")));
  EXPECT_EQ(Scalar("SELECT COUNT(*), SUM(note = 'x;y'), MAX(id) FROM b"), "301|300|1000");
}

TEST_F(VixScriptServerTest, ErrorThatEndsATransactionStopsTheScript) {
  Admin("CREATE TABLE tx (id INT PRIMARY KEY) ENGINE=InnoDB");
  // A session killed inside the transaction: the rest must not run outside it.
  script.SetSQL(
      u"START TRANSACTION; INSERT INTO tx VALUES (1); KILL CONNECTION CONNECTION_ID(); INSERT INTO tx VALUES (2); "
      u"COMMIT");
  script.OnError = [](TDAScript&, const Exception&, const UString&, TErrorAction& action) {
    action = TErrorAction::eaContinue;
  };
  EXPECT_ANY_THROW(script.Execute());
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM tx"), "0");
}

TEST_F(VixScriptServerTest, QueryExecuteReportsAFailureOfALaterStatementOfItsText) {
  Admin("CREATE TABLE m (id INT PRIMARY KEY)");
  TVixQuery query;
  query.SetConnection(&connection);
  query.SetSQL(u"INSERT INTO m VALUES (1); SELECT 1; INSERT INTO m VALUES (1); INSERT INTO m VALUES (2)");
  EXPECT_ANY_THROW(query.Execute());
  EXPECT_EQ(Scalar("SELECT GROUP_CONCAT(id) FROM m"), "1");
  // The session is free for the next statement.
  query.SetSQL(u"INSERT INTO m VALUES (3)");
  query.Execute();
  EXPECT_EQ(Scalar("SELECT GROUP_CONCAT(id ORDER BY id) FROM m"), "1,3");
}

// A session in NO_BACKSLASH_ESCAPES mode reads a backslash in a string as
// itself, and so are the statements cut: a value ending in a backslash ends
// its string, and the DELIMITER commands after it stay commands. The mode is
// the session's when the script starts, or set by the script itself.
TEST_F(VixScriptServerTest, StatementsAreCutAsTheSessionReadsBackslashes) {
  const std::string body =
      "INSERT INTO n VALUES ('C:\\');\n"
      "DELIMITER $$\n"
      "CREATE PROCEDURE np() BEGIN INSERT INTO n VALUES ('p\\'); END$$\n"
      "DELIMITER ;\n"
      "CALL np();\n";
  const std::string mode = "# no escapes\n/*!40101 SET sql_mode = CONCAT(@@sql_mode, ',NO_BACKSLASH_ESCAPES') */";
  for (const bool inScript : {false, true})
    for (const bool batched : {false, true}) {
      SCOPED_TRACE(std::string(inScript ? "set by the script" : "set before") + (batched ? ", batched" : ""));
      connection.Close();
      Admin("DROP TABLE IF EXISTS n");
      Admin("DROP PROCEDURE IF EXISTS np");
      Admin("CREATE TABLE n (v VARCHAR(10))");
      if (!inScript) {
        TVixQuery q;
        q.SetConnection(&connection);
        q.SetSQL(U(mode));
        q.Execute();
      }
      script.SetUseOptimization(batched);
      script.SetSQL(U((inScript ? mode + ";\n" : std::string()) + body));
      EXPECT_EQ(test::ErrorOf([&] { script.Execute(); }), "<none>");
      EXPECT_EQ(Rows("SELECT v FROM n ORDER BY v"), (std::vector<std::string>{"C:\\", "p\\"}));
    }
}

// A statement of the script may give the server's reply more results than
// one: several statements under another delimiter ("a; b$$", a trailing
// ";"), or a call of a procedure that returns rows. Batched or not, a failure
// after it is the failing statement's, at its own offset, and every
// statement after it runs.
TEST_F(VixScriptServerTest, StatementWithSeveralResultsDoesNotShiftTheFailureInABatch) {
  Admin("CREATE PROCEDURE two_rows() BEGIN SELECT 1; SELECT 2; END");
  struct Case {
    const char* what;
    const char16_t* delimiter;
    std::string text;
  };
  const Case cases[] = {
      {"two statements and a trailing \";\" under $$", u"$$",
       "CREATE TABLE e (id INT PRIMARY KEY)$$\n"
       "INSERT INTO e VALUES (1); INSERT INTO e VALUES (2)$$\n"
       "SELECT 1;$$\n"
       "INSERT INTO e VALUES (1)$$\n"
       "INSERT INTO e VALUES (3)$$\n"},
      {"a procedure returning rows", u";",
       "CREATE TABLE e (id INT PRIMARY KEY);\n"
       "INSERT INTO e VALUES (1), (2);\n"
       "-- the rows\n"
       "CALL two_rows();\n"
       "INSERT INTO e VALUES (1);\n"
       "INSERT INTO e VALUES (3);\n"},
  };
  for (const Case& c : cases)
    for (const bool batched : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (batched ? ", batched" : ""));
      Admin("DROP TABLE IF EXISTS e");
      script.SetUseOptimization(batched);
      script.SetDelimiter(c.delimiter);
      script.SetSQL(U(c.text));
      std::vector<UString> failed;
      script.OnError = [&](TDAScript&, const Exception&, const UString& sql, TErrorAction& action) {
        failed.push_back(sql);
        action = TErrorAction::eaContinue;
      };
      EXPECT_EQ(test::ErrorOf([&] { script.Execute(); }), "<none>");
      EXPECT_EQ(failed, std::vector<UString>{u"INSERT INTO e VALUES (1)"});
      EXPECT_EQ(script.ErrorOffset(), static_cast<int64_t>(U(c.text).rfind(u"INSERT INTO e VALUES (1)")));
      EXPECT_EQ(Scalar("SELECT GROUP_CONCAT(id ORDER BY id) FROM e"), "1,2,3");
    }
}

// A statement that changes the session's character set ends its batch: the
// statements after it are checked and sent for the set the session reads
// then, as one by one (a text the new set would read otherwise is refused,
// never stored garbled).
TEST_F(VixScriptServerTest, ChangeOfCharacterSetEndsABatch) {
  for (const bool batched : {false, true}) {
    SCOPED_TRACE(batched ? "batched" : "one by one");
    Admin("DROP TABLE IF EXISTS k");
    Admin("CREATE TABLE k (v VARCHAR(10)) CHARACTER SET utf8mb4");
    script.SetUseOptimization(batched);
    std::vector<UString> failed;
    script.OnError = [&](TDAScript&, const Exception&, const UString& sql, TErrorAction& action) {
      failed.push_back(sql);
      action = TErrorAction::eaContinue;
    };
    script.SetSQL(
        u"SET NAMES latin1;\nINSERT INTO k VALUES ('\u00e9');\n/*!40101 SET NAMES utf8mb4 */;\n"
        u"INSERT INTO k VALUES ('\ud55c');\n");
    EXPECT_EQ(test::ErrorOf([&] { script.Execute(); }), "<none>");
    EXPECT_EQ(failed, std::vector<UString>{u"INSERT INTO k VALUES ('\u00e9')"});
    EXPECT_EQ(Rows("SELECT HEX(v) FROM k"), std::vector<std::string>{"ED959C"});
  }
}

// "&Name" stands for the macro's value in every statement; a "&" inside a
// string stays as it is; an inactive macro is left out.
TEST_F(VixScriptServerTest, MacrosAreReplacedOutsideStrings) {
  script.SetSQL(
      u"CREATE TABLE &tbl (id INT, note VARCHAR(20));\n"
      u"INSERT INTO &tbl VALUES (1, '&tbl') &tail;\n"
      u"INSERT INTO &tbl SELECT 2, 'x&y' FROM DUAL WHERE 1&&TRUE");
  ASSERT_NE(script.FindMacro(u"TBL"), nullptr);
  EXPECT_EQ(script.FindMacro(u"y"), nullptr);
  EXPECT_EQ(script.FindMacro(u"TRUE"), nullptr);  // "&&" is MySQL's AND
  script.MacroByName(u"tbl").SetValue(u"m_2");
  script.MacroByName(u"tail").SetValue(u"garbage");
  script.MacroByName(u"tail").SetActive(false);
  std::vector<UString> sent;
  script.AfterExecute = [&](TDAScript&, const UString& sql) { sent.push_back(sql); };
  script.Execute();
  EXPECT_EQ(Rows("SELECT id, note FROM m_2 ORDER BY id"), (std::vector<std::string>{"1|&tbl", "2|x&y"}));
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[1], u"INSERT INTO m_2 VALUES (1, '&tbl') ");
  EXPECT_EQ(test::ErrorOf([&] { script.MacroByName(u"nothing"); }), "Macro 'nothing' not found");
}

TEST_F(VixScriptServerTest, BeforeExecuteMayChangeOrOmitAStatement) {
  Admin("CREATE TABLE ev (id INT)");
  script.SetSQL(u"INSERT INTO ev VALUES (1);\nINSERT INTO ev VALUES (2);\nINSERT INTO ev VALUES (3)");
  script.BeforeExecute = [](TDAScript&, UString& sql, bool& omit) {
    if (sql.find(u"(2)") != UString::npos) omit = true;
    if (sql.find(u"(3)") != UString::npos) sql = u"INSERT INTO ev VALUES (30)";
  };
  std::vector<UString> after;
  script.AfterExecute = [&](TDAScript&, const UString& sql) { after.push_back(sql); };
  script.Execute();
  EXPECT_EQ(after, (std::vector<UString>{u"INSERT INTO ev VALUES (1)", u"INSERT INTO ev VALUES (30)"}));
  EXPECT_EQ(Scalar("SELECT GROUP_CONCAT(id ORDER BY id) FROM ev"), "1,30");
}

TEST_F(VixScriptServerTest, BreakExecStopsBeforeTheNextStatementAndExecuteClearsIt) {
  Admin("CREATE TABLE b (id INT)");
  script.SetSQL(u"INSERT INTO b VALUES (1); DO SLEEP(1); INSERT INTO b VALUES (2)");
  std::thread breaker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    script.BreakExec();
  });
  script.Execute();
  breaker.join();
  EXPECT_EQ(Scalar("SELECT GROUP_CONCAT(id) FROM b"), "1");
  // A break left over from before is cleared by the next run.
  script.BreakExec();
  script.Execute();
  EXPECT_EQ(Scalar("SELECT GROUP_CONCAT(id ORDER BY id) FROM b"), "1,1,2");
}

// What a database holds, for comparing two restores: the checksum of every
// table and the text of every routine, trigger and view.
std::vector<std::string> Contents(VixScriptServerTest& t, const std::string& db) {
  std::vector<std::string> out;
  for (const auto& table : t.Rows("SELECT TABLE_NAME FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" + db +
                                  "' AND TABLE_TYPE = 'BASE TABLE' ORDER BY TABLE_NAME")) {
    auto sum = t.Rows("CHECKSUM TABLE " + db + "." + table);
    out.push_back(table + ": " + (sum.empty() ? "?" : sum[0].substr(sum[0].find('|'))));
  }
  for (const auto& r : t.Rows("SELECT ROUTINE_TYPE, ROUTINE_NAME, ROUTINE_DEFINITION FROM information_schema.ROUTINES "
                              "WHERE ROUTINE_SCHEMA = '" +
                              db + "' ORDER BY ROUTINE_NAME"))
    out.push_back(r);
  for (const auto& r : t.Rows("SELECT TRIGGER_NAME, ACTION_STATEMENT FROM information_schema.TRIGGERS "
                              "WHERE TRIGGER_SCHEMA = '" +
                              db + "' ORDER BY TRIGGER_NAME"))
    out.push_back(r);
  for (auto r : t.Rows("SELECT TABLE_NAME, VIEW_DEFINITION FROM information_schema.VIEWS WHERE TABLE_SCHEMA = '" + db +
                       "' ORDER BY TABLE_NAME")) {
    for (size_t at; (at = r.find("`" + db + "`")) != std::string::npos;) r.replace(at, db.size() + 2, "`db`");
    out.push_back(r);
  }
  return out;
}

TEST_F(VixScriptServerTest, DumpRestoredByTheScriptEqualsTheClientsRestore) {
#ifdef _WIN32
  GTEST_SKIP() << "mariadb-dump and the mariadb client are the Linux server's tools";
#endif
  Admin(
      "CREATE TABLE people (id INT PRIMARY KEY, name VARCHAR(40), note TEXT, photo BLOB, born DATE) "
      "DEFAULT CHARSET=utf8mb4");
  Admin(
      "INSERT INTO people VALUES (1, '홍길동', 'line1\\nline2; -- not a comment', X'00FF273B5C0D0A2F2A', "
      "'1990-01-02'), (2, 'O''Brien \\\\ \"q\"', 'DELIMITER $$', X'', NULL), (3, '비번;', '/*!50003 x */', "
      "X'24242F2F', '2024-02-29')");
  Admin("CREATE TABLE log (msg VARCHAR(100))");
  Admin("CREATE VIEW v_people AS SELECT id, name FROM people WHERE name <> ';'");
  Admin(
      "CREATE PROCEDURE add_person(IN n VARCHAR(40)) BEGIN DECLARE c INT; SELECT COUNT(*) INTO c FROM people; "
      "INSERT INTO people (id, name) VALUES (c + 100, n); IF c > 0 THEN INSERT INTO log VALUES ('added; ok'); END IF; "
      "END");
  Admin("CREATE FUNCTION greet(n VARCHAR(40)) RETURNS VARCHAR(60) DETERMINISTIC RETURN CONCAT('안녕 ', n, ';')");
  Admin(
      "CREATE TRIGGER people_ai AFTER INSERT ON people FOR EACH ROW BEGIN INSERT INTO log VALUES (CONCAT('new ', "
      "NEW.name)); END");
  Admin("CALL add_person('김철수')");

  const std::string dir = ::testing::TempDir();
  const std::string dump = dir + "vixscript_dump_" + test::ProcessTag() + ".sql";
  const std::string login = " --host=" + host + " --port=" + std::to_string(port) + " --protocol=TCP --user='" +
                            EnvOr("VIX_MYSQL_USER", "vix") + "'";
#ifndef _WIN32
  setenv("MYSQL_PWD", EnvOr("VIX_MYSQL_PASSWORD").c_str(), 1);
#endif
  // Binary values as hexadecimal literals, and as raw bytes inside quotes;
  // run one by one and in batches.
  for (const std::string blobs : {" --hex-blob", ""}) {
    ASSERT_EQ(std::system(
                  ("mariadb-dump" + login + " --routines --triggers" + blobs + " " + database + " > " + dump).c_str()),
              0);
    for (const bool batched : {false, true}) {
      SCOPED_TRACE(blobs + (batched ? " batched" : " one by one"));
      const std::string viaClient = database + "_c" + (blobs.empty() ? "r" : "h") + (batched ? "b" : "o");
      const std::string viaScript = database + "_s" + (blobs.empty() ? "r" : "h") + (batched ? "b" : "o");
      Fresh(viaClient);
      Fresh(viaScript);
      ASSERT_EQ(std::system(("mariadb" + login + " " + viaClient + " < " + dump).c_str()), 0);
      OpenOn(viaScript);
      script.SetUseOptimization(batched);
      script.OnError = [](TDAScript&, const Exception& e, const UString& sql, TErrorAction& action) {
        ADD_FAILURE() << ToUtf8(sql) << ": " << ToUtf8(e.Message());
        action = TErrorAction::eaFail;
      };
      script.ExecuteFile(Utf8ToUtf16(dump));

      auto expected = Contents(*this, viaClient);
      EXPECT_EQ(expected.size(), 2u + 2u + 1u + 1u);
      EXPECT_EQ(Contents(*this, viaScript), expected);
      EXPECT_EQ(Contents(*this, database), expected);
    }
  }
  std::remove(dump.c_str());
}

}  // namespace
}  // namespace vix
