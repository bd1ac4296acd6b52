// Every function of the MySQL formatter, run on the private MariaDB server of
// the test services (scripts/mariadb-test-server). Skipped locally when it is
// not running.
#include <cstdlib>
#include <string>

#include "MySql/MySQLVixProvider.h"
#include "MySql/MySqlApiDirect.h"
#include "TestSupport.h"

namespace vix {
namespace {

using test::EnvOr;

struct FormatterServerTest : ::testing::Test {
  TMySQLAPIDirect api;
  PMYSQL mysql = nullptr;
  TMySqlFormatter formatter;

  void SetUp() override {
    const std::string host = EnvOr("VIX_MYSQL_HOST");
    VIX_REQUIRE_COMPONENT(!host.empty(), "MariaDB test server (VIX_MYSQL_HOST)");
    formatter.SetParserClass(NewParser<TMyVixParser>);
    mysql = api.mysql_init(nullptr);
    api.mysql_options(mysql, MYSQL_OPT_CONNECT_TIMEOUT, 10);
    api.mysql_options(mysql, MYSQL_SET_CHARSET_NAME, std::string("utf8"));
    const int port = std::atoi(EnvOr("VIX_MYSQL_PORT", "0").c_str());
    ASSERT_EQ(api.mysql_real_connect(mysql, host, EnvOr("VIX_MYSQL_USER", "vix"), EnvOr("VIX_MYSQL_PASSWORD"),
                                     EnvOr("VIX_MYSQL_DATABASE", "vixtest"), port, "", 0),
              mysql)
        << api.mysql_error(mysql);
  }
  void TearDown() override {
    if (mysql) api.mysql_close(mysql);
  }

  // The one value of "SELECT <expression>" after the notation is expanded;
  // "error <n>: <text>" when the server refuses the statement.
  std::string Value(const UString& expression) {
    UString sql = u"SELECT " + expression;
    formatter.Expand(sql);
    const std::string query = Utf16ToUtf8(sql);
    if (api.mysql_real_query(mysql, query.data(), query.size()) != 0)
      return "error " + std::to_string(api.mysql_errno(mysql)) + ": " + api.mysql_error(mysql);
    PMYSQL_RES res = api.mysql_use_result(mysql);
    if (!res) return "<no result>";
    std::string value = "<no row>";
    if (PMYSQL_ROW row = api.mysql_fetch_row(res))
      value = api._mysql_fetch_value_is_null(row, 0) ? "<NULL>" : api._mysql_fetch_value_str(row, 0);
    while (api.mysql_fetch_row(res)) {
    }
    api.mysql_free_result(res);
    return value;
  }
};

TEST_F(FormatterServerTest, EveryFunctionGivesItsValue) {
  struct Case {
    UString expression;
    std::string value;
  } const cases[] = {
      {u"{fn USER()} LIKE 'vix@%'", "1"},
      {u"{fn CHAR_LENGTH('abc')}", "3"},
      {u"{fn LOCATE('b', 'abc')}", "2"},
      {u"{fn SUBSTRING('abcdef', 2, 3)}", "bcd"},
      {u"{fn CONCAT('a', 'b')}", "ab"},
      {u"{fn CHAR(77)}", "M"},
      {u"{fn TRIM('  x  ')}", "x"},
      {u"{fn TRUNCATE(1.2345, 2)}", "1.23"},
      {u"{fn CEILING(1.2)}", "2"},
      {u"{fn CURRENT_DATE} = CURDATE()", "1"},
      {u"{fn YEAR({date '2024-03-15'})}", "2024"},
      {u"{fn MONTH({date '2024-03-15'})}", "3"},
      {u"{fn DAY({date '2024-03-15'})}", "15"},
      {u"{fn DATEADD(day, 3, {date '2024-03-15'})}", "2024-03-18"},
      {u"{fn DATEADD(month, 1, {date '2024-01-31'})}", "2024-02-29"},
      {u"{fn TODATE('2024-03-15 10:11:12')}", "2024-03-15 10:11:12"},
      {u"{date '2024-03-15'}", "2024-03-15"},
      {u"{time '10:11:12'}", "10:11:12"},
      {u"{timestamp '2024-03-15 10:11:12'}", "2024-03-15 10:11:12"},
      {u"{fn TONUMBER('1.5')} * 2", "3"},
      {u"{fn TOCHAR(42)}", "42"},
      {u"{fn CONCAT({fn TOCHAR(4)}, 'x')}", "4x"},
      // DATEDIFF, each datepart; the dates cross a day boundary.
      {u"{fn DATEDIFF(year, '2020-06-01', '2024-05-31')}", "3"},
      {u"{fn DATEDIFF(month, '2024-01-31', '2024-03-01')}", "2"},
      {u"{fn DATEDIFF(day, '2024-03-01 23:00:00', '2024-03-03 01:00:00')}", "2"},
      {u"{fn DATEDIFF(hour, '2024-03-01 23:00:00', '2024-03-03 01:00:00')}", "26"},
      {u"{fn DATEDIFF(minute, '2024-03-01 23:50:00', '2024-03-02 00:20:00')}", "30"},
      {u"{fn DATEDIFF(second, '2024-03-01 10:00:00', '2024-03-02 10:00:05')}", "86405"},
      {u"{fn DATEDIFF(millisecond, '2024-03-01 23:59:59', '2024-03-02 00:00:01')}", "2000"},
      // ... and keep their value inside a larger expression.
      {u"10 - {fn DATEDIFF(day, '2024-03-01', '2024-03-03')}", "8"},
      {u"2 * {fn DATEDIFF(hour, '2024-03-01 23:00:00', '2024-03-03 01:00:00')}", "52"},
      {u"100 - {fn DATEDIFF(second, '2024-03-01 10:00:00', '2024-03-01 10:00:05')}", "95"},
      {u"{fn DATEDIFF(year, '2020-06-01', '2024-05-31')} * 2", "6"},
      {u"{fn DATEDIFF(month, '2024-01-31', '2024-03-01')} * 2", "4"},
  };
  for (const Case& c : cases) EXPECT_EQ(Value(c.expression), c.value) << ToUtf8(c.expression);
}

TEST_F(FormatterServerTest, TheServerRefusesCastToVarchar) {
  // Why TOCHAR casts to CHAR.
  EXPECT_EQ(Value(u"CAST(42 AS {VARCHAR})").substr(0, 10), "error 1064");
}

}  // namespace
}  // namespace vix
