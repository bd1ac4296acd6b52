// The universal SQL notation through the MySQL formatter and lexer, and the
// connection's user macros.
#include <string>
#include <vector>

#include "MySql/MySQLVixProvider.h"
#include "TestSupport.h"
#include "universal/Vix.h"

namespace vix {
namespace {

class TNotationProvider : public TVixProvider {
 public:
  UString GetProviderName() const override { return u"MySQL"; }
  TParserClass GetParserClass() const override { return NewParser<TMyVixParser>; }
  TVixSqlFormatterClass GetSqlFormatterClass() const override { return VixSqlFormatterClass<TMySqlFormatter>(); }

 protected:
  void CreateConnectionOptions(TOptionsList&) override {}
  void CreateSQLOptions(TOptionsList&) override {}
  void CreateDataSetOptions(TOptionsList&) override {}
};

// The expanded text, or "error: <message>" (the text must then be unchanged).
std::string Expand(TVixSqlNotation& notation, TVixProvider* provider, const UString& sql) {
  UString text = sql;
  try {
    notation.ExpandSqlNotation(provider, text);
  } catch (const Exception& e) {
    EXPECT_EQ(text, sql) << "a failed expansion changed the text";
    return std::string("error: ") + e.what();
  }
  return ToUtf8(text);
}

struct NotationTest : ::testing::Test {
  TNotationProvider provider;
  TVixSqlNotation notation;
  std::string Run(const UString& sql) { return Expand(notation, &provider, sql); }
};

TEST_F(NotationTest, Table) {
  struct Case {
    UString in;
    std::string out;
  } const cases[] = {
      // Plain SQL passes unchanged.
      {u" SELECT Password, AccessSetupHead, AccessSetupCnt FROM UserMt WHERE SiteID = :SiteID AND UserName = "
       u":UserName",
       " SELECT Password, AccessSetupHead, AccessSetupCnt FROM UserMt WHERE SiteID = :SiteID AND UserName = "
       ":UserName"},
      {u"", ""},
      {u"SELECT 1 }", "SELECT 1 }"},
      // Quoted names, strings, comments.
      {u"SELECT \"Password\" FROM \"User Mt\"", "SELECT `Password` FROM `User Mt`"},
      {u"SELECT `Password`, 'a\"b\"c' FROM t", "SELECT `Password`, 'a\"b\"c' FROM t"},
      {u"SELECT '{x}', `{y}` /* {z} */", "SELECT '{x}', `{y}` /* {z} */"},
      {u"SELECT 'Tom\\'s {x}'", "SELECT 'Tom\\'s {x}'"},
      {u"-- note\nSELECT 1", "/* note*/\nSELECT 1"},
      {u"SELECT 1 -- note", "SELECT 1 /* note*/"},
      {u"# note\nSELECT 1", "# note\nSELECT 1"},
      {u"-- a */ b\nSELECT 1", "-- a */ b\nSELECT 1"},
      // Functions.
      {u"{fn CONCAT(a, b)}", "CONCAT(a,  b)"},
      {u"{fn USER()}", "USER()"},
      {u"{fn CURRENT_DATE}", "CURRENT_DATE"},
      {u"{FN concat(a,b)}", "CONCAT(a, b)"},
      {u"{fn CONCAT({fn USER()}, 'x,)')}", "CONCAT(USER(),  'x,)')"},
      {u"{fn CONCAT(f(a, b), c)}", "CONCAT(f(a, b),  c)"},
      {u"{fn CONCAT(a, b))}", "CONCAT(a,  b)"},
      {u"{fn DATEADD(day, 3, d)}", "( d + INTERVAL ' 3' day)"},
      {u"{fn TOCHAR(x)}", "CAST(x AS CHAR)"},
      {u"{fn TODATE(x)} {fn TONUMBER(x)}", "CAST(x AS DATETIME) CAST(x AS DOUBLE)"},
      {u"{fn LOCATE(a,b,c,d)}", "error: Wrong argument count for function: LOCATE"},
      {u"{fn NOSUCH(x)}", "error: Unknown function: NOSUCH"},
      {u"{fn LEFT(a, 1)}", "error: Unknown function: LEFT"},
      {u"{fn SUBSTRING(a, 1)}", "error: No argument for format '%s'"},
      {u"{fn CONCAT(a) + 1}", "error: Invalid bracket count in function call"},
      {u"{fn CONCAT(a, (b)}", "error: Invalid bracket count in function call"},
      {u"{fn CONCAT((a, b)}", "error: Invalid bracket count in function call"},
      {u"{fn CONCAT(a, b}", "error: Invalid bracket count in function call"},
      {u"{fn CONCAT(}", "error: Invalid bracket count in function call"},
      {u"{fn CONCAT a}", "error: Unexpected character"},
      {u"{fn}", "error: Empty function name"},
      {u"{fn 'x'()}", "error: Empty function name"},
      {u"{ fn F()}", "error: Empty macro or function name"},
      {u"{}", "error: Empty macro or function name"},
      {u"{", "error: Empty macro or function name"},
      // DATEDIFF: each form one parenthesised term.
      {u"{fn DATEDIFF(day, a, b)}", "(TO_DAYS( b) -  TO_DAYS( a))"},
      {u"{fn DATEDIFF(DAY, a, b)}", "(TO_DAYS( b) -  TO_DAYS( a))"},
      {u"{fn DATEDIFF(millisecond, a, b)}",
       "((TO_DAYS( b) -  TO_DAYS( a))*86400000 + (TIME_TO_SEC( b) - TIME_TO_SEC( a))*1000)"},
      {u"{fn DATEDIFF(year, a, b)}",
       "(FLOOR((PERIOD_DIFF(EXTRACT(YEAR_MONTH FROM  b), EXTRACT(YEAR_MONTH FROM  a)))/12))"},
      {u"{fn DATEDIFF(day, a)}", "error: Wrong argument count for function: DATEDIFF"},
      {u"{fn DATEDIFF(week, a, b)}", "error: Unknown datepart: week"},
      // Literals.
      {u"{date '2024-01-31'}", "CAST('2024-01-31' AS DATE)"},
      {u"{time '10:11:12'}", "CAST('10:11:12' AS TIME)"},
      {u"{timestamp  '2024-01-31 10:11:12' }", "CAST('2024-01-31 10:11:12' AS DATETIME)"},
      {u"{date 2024-01-31}", "error: Invalid year-month-day string. The format is {date 'yyyy-mm-dd'}"},
      {u"{time x}", "error: Invalid hour-minute-second string. The format is {time 'hh:mm:ss'}"},
      {u"{timestamp}", "error: Invalid timestamp string. The format is {timestamp 'yyyy-mm-dd hh:mm:ss'}"},
      {u"{date'2024-01-31'}", "error: Unexpected character"},
      // Conditions.
      {u"{if MYSQL}A{else}B{endif}", "A"},
      {u"{if ORACLE}A{else}B{endif}", "B"},
      {u"{if}A{endif}", "A"},
      {u"{if  mysql }A{endif}", "A"},
      {u"{if ORACLE}{fn NOSUCH(x)}{endif}", ""},
      {u"{if ORACLE}{x {fn NOSUCH(x)}}{endif}", "error: Unknown function: NOSUCH"},
      {u"{if MYSQL}{if ORACLE}A{else}B{endif}{endif}C", "BC"},
      {u"{if ORACLE}{if MYSQL}A{else}B{endif}{endif}C", "C"},
      {u"{else}", "error: Unexpected {else}"},
      {u"{if X}{else}{else}{endif}", "error: Unexpected {else}"},
      {u"{if X}", "error: {if} statement not completed"},
      {u"{endif}", "error: Unexpected {endif}"},
      {u"{x {if MYSQL}}", "error: {if} statement not completed"},
      // Predefined macros.
      {u"{PROVIDER}", "MySQL"},
      {u"{VARCHAR}", "VARCHAR"},
      {u"{provider} {DATETIME} {DOUBLE} {MYSQL}", "MySQL DATETIME DOUBLE "},
      {u"{PROVIDER is {fn USER()}}", "MySQL is USER()"},
      {u"{NOSUCH abc}", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Run(c.in), c.out) << ToUtf8(c.in);
}

TEST_F(NotationTest, ALexerErrorLeavesTheTextAlone) {
  const std::string out = Run(u"SELECT {fn USER()} \f");
  EXPECT_EQ(out.substr(0, 34), "error: Parser: The unknown symbol ");
}

TEST_F(NotationTest, UserMacrosAndTheirConditions) {
  TVixMacros& macros = notation.Macros;
  macros.Add(u"T", u"A");
  macros.Add(u"t", u"B", u"MySQL");
  macros.Add(u"Name", u"{T}x");
  macros.Add(u"Off", u"off", u"ORACLE");
  macros.Add(u"On", u"on", u"Name");  // a condition may name another macro
  EXPECT_EQ(notation.ActiveMacroValueByName(&provider, u"t").AsString(), u"B");
  EXPECT_TRUE(notation.ActiveMacroValueByName(&provider, u"Off").IsEmpty());
  EXPECT_TRUE(notation.ActiveMacroValueByName(nullptr, u"T").IsEmpty());
  EXPECT_EQ(Run(u"{T} {name} {Off} {ON} {if OFF}1{else}2{endif} {t 1}"), "B Bx  on 2 B 1");

  // Changes are counted and picked up by the next expansion.
  const int32_t version = macros.GetVersion();
  macros.FindMacro(u"on")->SetValue(u"on");  // the same value: no change
  EXPECT_EQ(macros.GetVersion(), version);
  macros.FindMacro(u"on")->SetValue(u"ON!");
  EXPECT_EQ(macros.GetVersion(), version + 1);
  macros.BeginUpdate();
  macros.MacroByName(u"New")->SetValue(u"n");
  macros.FindMacro(u"Off")->SetCondition(u"");
  macros.EndUpdate();
  EXPECT_EQ(macros.GetVersion(), version + 2);
  EXPECT_EQ(Run(u"{On}{New}{Off}"), "ON!noff");

  // Without a provider nothing is rewritten.
  EXPECT_EQ(Expand(notation, nullptr, u"{T} \"x\""), "{T} \"x\"");
}

TEST_F(NotationTest, CyclesEndWithAnError) {
  struct Case {
    std::vector<std::vector<UString>> macros;  // name, value, condition
    UString sql;
    std::string out;
  } const cases[] = {
      {{{u"T", u"t", u"T"}}, u"{T}", "error: Cyclic macros conditions"},
      {{{u"A", u"a", u"B"}, {u"B", u"b", u"A"}}, u"{A}", "error: Cyclic macros conditions"},
      {{{u"X", u"{X}", u""}}, u"1 {X}", "error: Cyclic macro: X"},
      {{{u"X", u"{Y}", u""}, {u"Y", u"({X})", u""}}, u"{X}", "error: Cyclic macro: Y"},
      {{{u"X", u"{X {X}}", u""}}, u"{X}", "error: Cyclic macro: X"},
      {{{u"A", u"{B}", u""}, {u"B", u"{C}", u""}, {u"C", u"{PROVIDER}", u""}}, u"{A}", "MySQL"},
  };
  for (const Case& c : cases) {
    TVixSqlNotation fresh;
    for (const auto& m : c.macros) fresh.Macros.Add(m[0], m[1], m[2]);
    EXPECT_EQ(Expand(fresh, &provider, c.sql), c.out) << ToUtf8(c.sql);
  }
}

// Texts and macros that would nest without end or grow without end stop with
// an error; big texts and long chains within the limits expand as before.
TEST_F(NotationTest, RunawayExpansionsEndWithAnError) {
  auto repeat = [](const UString& part, size_t n) {
    UString text;
    for (size_t i = 0; i < n; ++i) text += part;
    return text;
  };
  // M0 = {M1}{M1}, M1 = {M2}{M2}, ...: the last one's value 2^(n-1) times.
  auto doubling = [](int n, const UString& last) {
    std::vector<std::vector<UString>> macros;
    for (int i = 0; i + 1 < n; ++i) {
      const UString next = u"{M" + IntToStr(i + 1) + u"}";
      macros.push_back({u"M" + IntToStr(i), next + next, u""});
    }
    macros.push_back({u"M" + IntToStr(n - 1), last, u""});
    return macros;
  };
  // M0 = {M1}, M1 = {M2}, ..., the last one "x".
  std::vector<std::vector<UString>> chain;
  for (int i = 0; i < 100; ++i) chain.push_back({u"M" + IntToStr(i), u"{M" + IntToStr(i + 1) + u"}", u""});
  chain.push_back({u"M100", u"x", u""});
  const UString big = u"SELECT '" + repeat(u"a", 3 << 20) + u"' AS \"A\"";

  struct Case {
    const char* what;
    std::vector<std::vector<UString>> macros;
    UString sql;
    std::string out;
  } const cases[] = {
      {"nested braces", {}, repeat(u"{a ", 100000) + repeat(u"}", 100000), "error: SQL notation is nested too deeply"},
      {"nested functions",
       {},
       repeat(u"{fn TRIM(", 5000) + u"1" + repeat(u")}", 5000),
       "error: SQL notation is nested too deeply"},
      {"macros doubling 22 times", doubling(23, u"x"), u"{M0}", "error: SQL notation expands to too long a text"},
      {"macros doubling to nothing", doubling(60, u" "), u"{M0}", "error: SQL notation expands to too long a text"},
      {"a chain of 100 macros", chain, u"{M0}", "x"},
      {"braces 100 deep", {}, repeat(u"{M0 ", 100) + repeat(u"}", 100), ""},
      {"macros doubling 10 times", doubling(11, u"x"), u"{M0}", ToUtf8(repeat(u"x", 1024))},
      {"a big text", {}, big, ToUtf8(u"SELECT '" + repeat(u"a", 3 << 20) + u"' AS `A`")},
  };
  for (const Case& c : cases) {
    TVixSqlNotation fresh;
    for (const auto& m : c.macros) fresh.Macros.Add(m[0], m[1], m[2]);
    EXPECT_EQ(Expand(fresh, &provider, c.sql), c.out) << c.what;
  }
}

TEST_F(NotationTest, ANewProviderClassGetsANewFormatter) {
  class TPlainProvider : public TNotationProvider {
   public:
    TParserClass GetParserClass() const override { return NewParser<TSQLParser>; }
    TVixSqlFormatterClass GetSqlFormatterClass() const override { return VixSqlFormatterClass<TVixSqlFormatter>(); }
  } plain;
  EXPECT_EQ(Run(u"\"a\""), "`a`");
  const TVixSqlFormatter* first = notation.Formatter.get();
  EXPECT_EQ(Run(u"\"b\""), "`b`");
  EXPECT_EQ(notation.Formatter.get(), first);  // kept while the class is the same
  // The base formatter has no tables: a literal needs one of its entries.
  EXPECT_EQ(Expand(notation, &plain, u"\"a\" {PROVIDER}"), "\"a\" ");
  EXPECT_EQ(Expand(notation, &plain, u"{date '2024-01-01'}").substr(0, 25), "error: Assertion failure ");
}

}  // namespace
}  // namespace vix
