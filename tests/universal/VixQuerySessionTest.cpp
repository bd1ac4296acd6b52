// The query's text as the session reads it, on the private MariaDB server of
// the test services: parameters and macros found with the MySQL lexer before
// and after the first open, the session's quoting mode, its character set
// changed by a statement, 4-byte characters and date-time literals.
#include <cstdlib>
#include <string>

#include "MySql/MySQLVixProvider.h"
#include "MySql/MySqlApiDirect.h"
#include "TestSupport.h"
#include "rtl/DateUtils.h"
#include "universal/Vix.h"

namespace vix {
namespace {

using test::EnvOr;

struct VixQuerySessionTest : ::testing::Test {
  TMySQLAPIDirect api;
  PMYSQL admin = nullptr;
  std::string host;
  int port = 0;
  const std::string database = "vixsession_" + test::ProcessTag();
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
    Admin("SET NAMES utf8mb4");
    Admin("DROP DATABASE IF EXISTS " + database);
    Admin("CREATE DATABASE " + database + " CHARACTER SET utf8mb4");
    Admin("USE " + database);
    Admin("CREATE TABLE UserMt (SiteID VARCHAR(10), UserName VARCHAR(20), Password VARCHAR(20))");
    Admin("INSERT INTO UserMt VALUES ('007', 'kim', 'Secret1')");
    Admin(
        "CREATE TABLE Notes (id INT AUTO_INCREMENT PRIMARY KEY, v VARCHAR(200), e VARCHAR(10)) CHARACTER SET utf8mb4");

    connection.SetName(u"cnServer");
    connection.SetProviderName(u"MySQL");
    connection.SpecificOptions().Add(u"MySQL.UseUnicode=True");
    connection.SetServer(Utf8ToUtf16(host));
    connection.SetPort(port);
    connection.SetDatabase(Utf8ToUtf16(database));
    connection.SetUsername(Utf8ToUtf16(EnvOr("VIX_MYSQL_USER", "vix")));
    connection.SetPassword(Utf8ToUtf16(EnvOr("VIX_MYSQL_PASSWORD")));
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

  void Admin(const std::string& sql) {
    ASSERT_EQ(api.mysql_real_query(admin, sql.data(), sql.size()), 0) << sql << ": " << api.mysql_error(admin);
  }
  std::string AdminScalar(const std::string& sql) {
    EXPECT_EQ(api.mysql_real_query(admin, sql.data(), sql.size()), 0) << sql << ": " << api.mysql_error(admin);
    PMYSQL_RES res = api.mysql_use_result(admin);
    if (!res) return "(no result)";
    std::string value = "(no row)";
    for (PMYSQL_ROW row; (row = api.mysql_fetch_row(res));)
      if (value == "(no row)") value = api._mysql_fetch_value_str(row, 0);
    api.mysql_free_result(res);
    return value;
  }

  // Opens `sql` (its last result has columns) and gives the first field of the first row.
  UString Open(const UString& sql) {
    query.Close();
    query.SetSQL(sql);
    query.Open();
    return query.FieldCount() > 0 && query.RecordCount() > 0 ? query.Fields(0).AsString() : u"(no row)";
  }
};

// Before the first open the parameters are those the MySQL command will find:
// a '#' comment with an apostrophe hides nothing, and a backslash-escaped
// quote keeps ":x" inside its string.
TEST_F(VixQuerySessionTest, ParametersBeforeTheFirstOpen) {
  ASSERT_FALSE(connection.GetConnected());
  query.SetSQL(u"# the user's row\nSELECT Password FROM UserMt WHERE SiteID = :SiteID AND UserName = :UserName");
  ASSERT_EQ(query.Params().Count(), 2);
  query.ParamByName(u"SiteID").SetAsString(u"007");
  query.ParamByName(u"UserName").SetAsString(u"kim");
  query.Open();
  ASSERT_EQ(query.RecordCount(), 1);
  EXPECT_EQ(query.Fields(0).AsString(), u"Secret1");

  TVixQuery other;
  other.SetSQL(u"SELECT 'it\\'s :x' AS t, :SiteID AS s");  // the text first, the connection after
  other.SetConnection(&connection);
  ASSERT_EQ(other.Params().Count(), 1);
  EXPECT_EQ(other.Params().Items(0)->GetName(), u"SiteID");
  other.ParamByName(u"SiteID").SetAsString(u"a:b");
  other.Open();
  EXPECT_EQ(other.FieldByName(u"t").AsString(), u"it's :x");
  EXPECT_EQ(other.FieldByName(u"s").AsString(), u"a:b");
}

// Macros are found with the MySQL lexer too.
TEST_F(VixQuerySessionTest, MacrosOfAMySqlText) {
  query.SetSQL(u"SELECT 'Tom\\'s &Jerry' AS t");
  EXPECT_EQ(query.Macros().Count(), 0);
  EXPECT_EQ(Open(u"SELECT 'Tom\\'s &Jerry' AS t"), u"Tom's &Jerry");

  query.Close();
  query.SetSQL(u"# the user's name\nSELECT &cols FROM UserMt");
  ASSERT_NE(query.Macros().FindMacro(u"cols"), nullptr);
  query.Macros().FindMacro(u"cols")->SetValue(u"UserName");
  query.Open();
  EXPECT_EQ(query.Fields(0).AsString(), u"kim");
}

// With NO_BACKSLASH_ESCAPES a backslash ends nothing: "x:v" stays a string,
// and a value bound to the name the old scan saw never reaches the text.
TEST_F(VixQuerySessionTest, TheScanFollowsTheSessionsQuotingMode) {
  EXPECT_EQ(Open(u"SET SESSION sql_mode = 'NO_BACKSLASH_ESCAPES'; SELECT @@session.sql_mode"), u"NO_BACKSLASH_ESCAPES");
  query.Close();
  query.SetSQL(u"SELECT 'C:\\' AS dir, 'x:v' AS label");
  if (query.Params().Count() > 0) query.Params().Items(0)->SetAsString(u"' AS dir, (SELECT 'injected') AS label -- ");
  query.Open();
  EXPECT_EQ(query.Params().Count(), 0);
  ASSERT_EQ(query.FieldCount(), 2);
  EXPECT_EQ(query.FieldByName(u"dir").AsString(), u"C:\\");
  EXPECT_EQ(query.FieldByName(u"label").AsString(), u"x:v");

  // Parameters outside strings still work, their literals with doubled quotes.
  query.Close();
  query.SetSQL(u"SELECT 'C:\\' AS dir, :v AS value");
  query.ParamByName(u"v").SetAsString(u"it's \\");
  query.Open();
  EXPECT_EQ(query.FieldByName(u"value").AsString(), u"it's \\");
}

// Where a comment that the server runs ends its strings depends on the
// server's version: no literal goes into such a text.
TEST_F(VixQuerySessionTest, ExecutableCommentsTakeNoParameters) {
  EXPECT_EQ(Open(u"SELECT /*!50000 1 + */ 1 AS t"), u"2");
  query.Close();
  query.SetSQL(u"SELECT /*! '*/ :v AS a, ' */ 1");
  ASSERT_EQ(query.Params().Count(), 1);
  query.ParamByName(u"v").SetAsString(u"x");
  EXPECT_THROW(query.Open(), EDatabaseError);
  EXPECT_FALSE(query.Active());
}

// A SET NAMES run as a statement: the server reports the change, and texts
// go out as literals that read the same in that set. The injection text is
// stored as the value it is, and nothing else runs.
TEST_F(VixQuerySessionTest, CharsetChangedByAStatement) {
  const UString attack = u"中' OR 1=1 -- ソ許乗\\'; CREATE TABLE pwned (a INT); -- ";
  for (const char16_t* charset : {u"gbk", u"big5", u"sjis"}) {
    SCOPED_TRACE(Utf16ToUtf8(charset));
    Admin("DELETE FROM Notes");
    EXPECT_EQ(Open(u"SET NAMES " + UString(charset) + u"; SELECT @@character_set_client"), charset);
    query.Close();
    query.SetSQL(u"INSERT INTO Notes (v) VALUES (:v); SELECT COUNT(*) FROM Notes WHERE v = :v");
    query.ParamByName(u"v").SetAsString(attack);
    query.Open();
    EXPECT_EQ(query.Fields(0).AsString(), u"1");
    EXPECT_EQ(AdminScalar("SELECT COUNT(*) FROM Notes"), "1");
    EXPECT_EQ(AdminScalar("SELECT COUNT(*) FROM information_schema.tables WHERE table_schema = '" + database +
                          "' AND table_name = 'pwned'"),
              "0");
    EXPECT_EQ(Utf8ToUtf16(AdminScalar("SELECT v FROM Notes")), attack);

    // Text outside the literals that the session would read otherwise is refused.
    query.Close();
    query.SetSQL(u"SELECT '中' AS x");
    EXPECT_THROW(query.Open(), EDatabaseError);
    // A statement that changes the character set takes no parameters.
    query.SetSQL(u"SET NAMES utf8mb4; SELECT :v AS x");
    query.ParamByName(u"v").SetAsString(attack);
    EXPECT_THROW(query.Open(), EDatabaseError);
    // Back in the connection's own set, the value reads back whole.
    EXPECT_EQ(Open(u"SET NAMES utf8mb4; SELECT v FROM Notes"), attack);
  }
}

// What a text does to the session is found once per text: a text run again
// is judged as before, and another text on the same query anew.
TEST_F(VixQuerySessionTest, EachTextIsJudgedByItsOwnStatements) {
  const UString plain = u"SELECT :v AS x";
  const UString changing = u"SET NAMES latin1; SELECT :v AS x";
  const UString comment = u"SELECT /*! '*/ :v AS a, ' */ 1";
  for (const UString& sql : {plain, changing, changing, plain, comment, plain, plain}) {
    SCOPED_TRACE(Utf16ToUtf8(sql));
    query.Close();
    query.SetSQL(sql);
    query.ParamByName(u"v").SetAsString(u"값");
    if (sql != plain) {
      EXPECT_THROW(query.Open(), EDatabaseError);
      continue;
    }
    query.Open();
    EXPECT_EQ(query.Fields(0).AsString(), u"값");
  }
  EXPECT_EQ(Open(u"SELECT @@character_set_client"), u"utf8mb4");
}

// 4-byte characters are written and read whole; a VARCHAR(10) holds ten.
TEST_F(VixQuerySessionTest, CharactersOutsideTheBasicPlane) {
  const UString emoji = u"😀😁😂🤣😃😄😅😆😉😊";
  query.SetSQL(u"INSERT INTO Notes (e) VALUES (:e); SELECT e FROM Notes");
  query.ParamByName(u"e").SetAsString(emoji);
  query.Open();
  ASSERT_EQ(query.RecordCount(), 1);
  EXPECT_EQ(query.Fields(0).AsString(), emoji);
  EXPECT_EQ(AdminScalar("SELECT CHAR_LENGTH(e) FROM Notes"), "10");
}

// Date-time literals keep the hour's two digits, so texts compare in order.
TEST_F(VixQuerySessionTest, DateTimeLiteralsAreZeroPadded) {
  query.SetSQL(u"INSERT INTO Notes (v) VALUES (:d), (:t); SELECT v FROM Notes ORDER BY v");
  query.ParamByName(u"d").SetValue(Variant::FromDate(EncodeDateTime(2024, 1, 2, 3, 4, 5, 0)));
  query.ParamByName(u"t").SetValue(Variant::FromDate(EncodeDateTime(2024, 1, 2, 12, 0, 0, 0)));
  query.Open();
  ASSERT_EQ(query.RecordCount(), 2);
  EXPECT_EQ(query.Fields(0).AsString(), u"2024-01-02 03:04:05");
  query.Next();
  EXPECT_EQ(query.Fields(0).AsString(), u"2024-01-02 12:00:00");
}

// A character set that the texts cannot travel in is refused at connect;
// a database whose name is not ASCII opens on a Unicode connection.
TEST_F(VixQuerySessionTest, CharsetSettingsThatCannotWork) {
  connection.SpecificOptions().Clear();
  connection.SpecificOptions().Add(u"MySQL.UseUnicode=False");
  connection.SpecificOptions().Add(u"MySQL.Charset=utf8");
  query.SetSQL(u"SELECT 1");
  EXPECT_THROW(query.Open(), EDatabaseError);
  EXPECT_FALSE(connection.GetConnected());

  const std::string korean = "vix_한글_" + test::ProcessTag();
  Admin("CREATE DATABASE `" + korean + "`");
  connection.SpecificOptions().Clear();
  connection.SpecificOptions().Add(u"MySQL.UseUnicode=True");
  connection.SetDatabase(Utf8ToUtf16(korean));
  try {
    EXPECT_EQ(Open(u"SELECT DATABASE()"), Utf8ToUtf16(korean));
  } catch (const Exception& e) {
    ADD_FAILURE() << e.what();
  }
  query.Close();
  connection.Close();
  Admin("DROP DATABASE `" + korean + "`");
}

}  // namespace
}  // namespace vix
