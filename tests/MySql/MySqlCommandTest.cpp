// The MySQL command and record set: literals offline, then against the test
// server: the text that reaches the server, several results, a half-read
// result, a cancel, the prepared path and the describe-only run.
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fstream>
#include <limits>
#include <sstream>
#include <thread>

#include "CommandServer.h"
#include "LoopbackServer.h"
#include "ScriptedServer.h"
#include "rtl/CodePage.h"
#include "rtl/Currency.h"
#include "rtl/DateUtils.h"
#include "rtl/FMTBcd.h"
#include "rtl/FormatSettings.h"

namespace vix {
namespace {

using test::CommandServer;

TParamDesc Param(TDataType type, const Variant& value) {
  TParamDesc p;
  p.SetDataType(type);
  p.SetValue(value);
  return p;
}

TMyLiteralOptions Opts(bool noBackslash = false, bool unicode = true, UString charset = UString()) {
  TMyLiteralOptions o;
  o.NoBackslashEscapes = noBackslash;
  o.UseUnicode = unicode;
  o.Charset = std::move(charset);
  return o;
}

// --- literals ------------------------------------------------------------------------

TEST(MySqlLiteralTest, Table) {
  const UString special = UString(u"a\\b\"c\rd\ne") + char16_t(0) + u"f\x1Ag'h";
  struct Case {
    const char* what;
    TParamDesc param;
    TMyLiteralOptions options;
    std::string expected;
  };
  TParamDesc never;  // a parameter that was never given a value
  const Case cases[] = {
      {"quote, backslashes", Param(mtWideString, UString(u"it's")), Opts(), "'it\\'s'"},
      {"quote, doubled", Param(mtWideString, UString(u"it's")), Opts(true), "'it''s'"},
      {"every escape", Param(mtWideString, special), Opts(), std::string("'a\\\\b\\\"c\\rd\\ne\\0f\\Zg\\'h'")},
      {"no escapes but the quote", Param(mtWideString, special), Opts(true),
       std::string("'a\\b\"c\rd\ne") + '\0' + "f\x1Ag''h'"},
      {"Korean in UTF-8", Param(mtWideString, UString(u"한글")), Opts(), "'\xED\x95\x9C\xEA\xB8\x80'"},
      {"empty", Param(mtWideString, UString()), Opts(), "''"},
      {"null of any type", Param(mtInt32, Variant::Null()), Opts(), "NULL"},
      {"never assigned", never, Opts(), "NULL"},
      {"integer from text", Param(mtInt32, UString(u"12")), Opts(), "12"},
      {"int64 max", Param(mtInt64, INT64_MAX), Opts(), "9223372036854775807"},
      {"uint64 max", Param(mtInt64, UINT64_MAX), Opts(), "18446744073709551615"},
      {"boolean", Param(mtBoolean, true), Opts(), "1"},
      {"float shortest", Param(mtFloat, 0.1), Opts(), "0.1"},
      {"float 17 digits", Param(mtFloat, 1.0 / 3), Opts(), "0.3333333333333333"},
      {"float large", Param(mtFloat, 1.5e20), Opts(), "1.5E20"},
      {"float small", Param(mtFloat, 1e-7), Opts(), "1E-7"},
      {"float negative", Param(mtFloat, -2.5), Opts(), "-2.5"},
      {"currency", Param(mtCurrency, Currency::FromRaw(-15)), Opts(), "-0.0015"},
      {"bcd", Param(mtBCD, Currency::FromRaw(123456)), Opts(), "12.3456"},
      {"fmtbcd", Param(mtFMTBCD, StrToBcd(u"-123456789012345678901234567890.5", InvariantFormatSettings())), Opts(),
       "-123456789012345678901234567890.5"},
      {"guid quoted", Param(mtGuid, UString(u"{A-B}")), Opts(), "'{A-B}'"},
      {"date", Param(mtDate, Variant::FromDate(EncodeDate(2024, 2, 29))), Opts(), "'2024-02-29'"},
      {"date-time", Param(mtDateTime, Variant::FromDate(EncodeDateTime(2024, 2, 29, 13, 5, 9, 0))), Opts(),
       "'2024-02-29 13:05:09'"},
      {"date-time milliseconds", Param(mtDateTime, Variant::FromDate(EncodeDateTime(2024, 2, 29, 13, 5, 9, 120))),
       Opts(), "'2024-02-29 13:05:09.120'"},
      {"date-time before ten o'clock", Param(mtDateTime, Variant::FromDate(EncodeDateTime(2024, 1, 2, 3, 4, 5, 0))),
       Opts(), "'2024-01-02 03:04:05'"},
      {"midnight", Param(mtDateTime, Variant::FromDate(EncodeDateTime(2024, 1, 2, 0, 0, 0, 7))), Opts(),
       "'2024-01-02 00:00:00.007'"},
      {"time before ten o'clock", Param(mtTime, Variant::FromDate(EncodeTime(3, 4, 5, 0))), Opts(), "'03:04:05'"},
      {"negative short time", Param(mtTime, Variant::FromDate(-1.0 / 86400)), Opts(), "'-00:00:01'"},
      {"zero date", Param(mtDateTime, Variant::FromDate(kZeroDateStandIn)), Opts(), "'0000-00-00 00:00:00'"},
      {"negative time", Param(mtTime, Variant::FromDate(-0.5)), Opts(), "'-12:00:00'"},
      {"time over a day", Param(mtTime, Variant::FromDate(1.5)), Opts(), "'36:00:00'"},
      {"bytes", Param(mtBlob, Variant::FromBytes(std::string("\x00\xFF'", 3))), Opts(), std::string("'\\0\xFF\\''")},
      {"bytes under a multi-byte charset", Param(mtVarBytes, Variant::FromBytes(std::string("\x00\xBF'", 3))),
       Opts(false, false, u"euckr"), "X'00BF27'"},
  };
  for (const Case& c : cases) EXPECT_EQ(MySqlLiteral(c.param, c.options), c.expected) << c.what;
}

TEST(MySqlLiteralTest, NumbersComeFromTypedConversions) {
  const TParamDesc bad[] = {
      Param(mtInt32, UString(u"1 OR 1=1")),
      Param(mtFloat, UString(u"1) OR (1=1")),
      Param(mtFloat, std::numeric_limits<double>::quiet_NaN()),
      Param(mtFloat, std::numeric_limits<double>::infinity()),
      Param(mtBCD, UString(u"0x10")),
  };
  for (const TParamDesc& p : bad)
    EXPECT_THROW(MySqlLiteral(p, Opts()), EConvertError) << ToUtf8(p.GetValue().AsString());
}

TEST(MySqlLiteralTest, DecimalCommaLocaleStillWritesAPoint) {
  TFormatSettings saved = FormatSettings();
  FormatSettings().DecimalSeparator = u',';
  EXPECT_EQ(MySqlLiteral(Param(mtFloat, 1.5), Opts()), "1.5");
  EXPECT_EQ(MySqlLiteral(Param(mtCurrency, Currency::FromRaw(15000)), Opts()), "1.5");
  FormatSettings() = saved;
}

TEST(MySqlLiteralTest, FloatsReadBackExactly) {
  std::vector<double> values = {0.1,
                                0.2,
                                1.0 / 3,
                                2.0 / 3,
                                1e15,
                                123456789012345678.0,
                                1e300,
                                5e-324,
                                std::numeric_limits<double>::max(),
                                1e-5,
                                9.999999999999999e14,
                                1e16,
                                0.000012345};
  uint64_t x = 88172645463325252ull;
  for (int i = 0; i < 2000; ++i) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    double d;
    std::memcpy(&d, &x, sizeof d);
    if (std::isfinite(d)) values.push_back(d);
  }
  for (double v : values) {
    for (double s : {v, -v}) {
      const std::string text = MySqlFloatLiteral(s);
      double back = 0;
      const auto r = std::from_chars(text.data(), text.data() + text.size(), back);
      ASSERT_TRUE(r.ptr == text.data() + text.size()) << text;
      EXPECT_EQ(back, s) << text;
    }
  }
}

TEST(MySqlLiteralTest, MultiByteCharsetsKeepWholeCharactersOnly) {
  struct Case {
    const char16_t* charset;
    std::string in, out;
  };
  const Case cases[] = {
      // A lone lead byte before a quote: escaped, so it cannot swallow the
      // backslash that escapes the quote.
      {u"gbk", "\xBF'", "\\\xBF\\'"},
      {u"gbk", "\xBF\x5C", "\xBF\x5C"},  // a whole character whose second byte is a backslash
      {u"big5", "\xA4\x5C'", "\xA4\x5C\\'"},
      {u"sjis", "\x81\x5C\\", "\x81\x5C\\\\"},
      {u"euckr", "\xB0\xA1'\xFF", "\xB0\xA1\\'\\\xFF"},
      {u"latin1", "\xBF'", "\xBF\\'"},
  };
  for (const Case& c : cases) {
    std::string out;
    EscapeMySqlBytes(out, c.in, false, c.charset);
    EXPECT_EQ(out, c.out) << ToUtf8(c.charset);
  }
}

TEST(MySqlCommandTextTest, PlaceholdersOutsideStringsAndComments) {
  TMySQLCommand cmd;
  cmd.SetSQL(u"SELECT '?', \"?\", `?` /* ? */, :a -- ?\n, :b # ?\n");
  ASSERT_EQ(cmd.GetParamCount(), 2);
  cmd.GetParam(0)->SetDataType(mtWideString);
  cmd.GetParam(0)->SetValue(UString(u"x"));
  cmd.GetParam(1)->SetDataType(mtInt32);
  cmd.GetParam(1)->SetValue(7);
  EXPECT_EQ(cmd.BuildSQL(Opts()), "SELECT '?', \"?\", `?` /* ? */, 'x' -- ?\n, 7 # ?\n");

  TMySQLCommand plain;
  plain.SetSQL(u"SELECT '?' AS a, ? AS b");
  EXPECT_EQ(plain.GetParamCount(), 0);
  EXPECT_EQ(plain.BuildSQL(Opts()), "SELECT '?' AS a, ? AS b");
}

// Statements that change the session's client character set, found outside
// strings and comments; a column called "names" changes nothing.
TEST(MySqlCommandTextTest, StatementsThatChangeTheCharset) {
  struct Case {
    const char16_t* sql;
    bool changes, tracking, executable = false;
  } const cases[] = {
      {u"SELECT /*!50000 ':p' */ 1", false, false, true},
      {u"SELECT /*M!100100 1, */ 2", false, false, true},
      {u"SELECT /* ! */ 1 -- /*!", false, false, false},
      {u"SET NAMES gbk", true, false},
      {u"set names 'big5' COLLATE big5_bin", true, false},
      {u"SET CHARACTER SET sjis", true, false},
      {u"SET CHARSET gbk", true, false},
      {u"SELECT 1; /* c */ SET NAMES gbk", true, false},
      {u"SET @@session.character_set_client = gbk", true, false},
      {u"SET autocommit = 1, `character_set_client` = gbk", true, false},
      {u"SET STATEMENT character_set_client = gbk FOR SELECT 1", true, false},
      {u"BEGIN SET NAMES gbk; END", true, false},
      {u"SET SESSION session_track_system_variables = ''", false, true},
      {u"UPDATE t SET names = 1", false, false},
      {u"SELECT 'SET NAMES gbk' -- SET NAMES gbk", false, false},
      {u"SELECT @@character_set_client", false, false},
      {u"SET @x = 1", false, false},
  };
  for (const Case& c : cases) {
    const TMyCharsetEffect e = CharsetEffectOf(c.sql, &NewParser<TMyParser>);
    EXPECT_EQ(e.ChangesCharset, c.changes) << ToUtf8(c.sql);
    EXPECT_EQ(e.TouchesTracking, c.tracking) << ToUtf8(c.sql);
    EXPECT_EQ(e.ExecutableComment, c.executable) << ToUtf8(c.sql);
  }
}

// A session that reads another character set than the texts are written in
// gets hexadecimal literals: nothing in them can be read otherwise.
TEST(MySqlLiteralTest, HexadecimalWhenTheSessionReadsAnotherCharset) {
  TMyLiteralOptions o = Opts();
  o.HexLiterals = true;
  EXPECT_EQ(MySqlLiteral(Param(mtWideString, UString(u"中'\\")), o), "_utf8mb4 X'E4B8AD275C'");
  EXPECT_EQ(MySqlLiteral(Param(mtWideString, UString()), o), "''");
  EXPECT_EQ(MySqlLiteral(Param(mtVarBytes, Variant::FromBytes(std::string("\x81\x5C'", 3))), o), "X'815C27'");
  EXPECT_EQ(MySqlLiteral(Param(mtInt32, 7), o), "7");
  EXPECT_EQ(MySqlLiteral(Param(mtDateTime, Variant::FromDate(EncodeDateTime(2024, 1, 2, 3, 4, 5, 0))), o),
            "'2024-01-02 03:04:05'");
}

TEST(MySqlCommandTextTest, DescribeOnlyRewrite) {
  struct Case {
    const char16_t* sql;
    const char16_t* expected;  // nullptr: refused
  };
  const Case cases[] = {
      {u"SELECT a FROM t", u"SELECT a FROM t LIMIT 0"},
      {u"SELECT a FROM t LIMIT 5", u"SELECT a FROM t LIMIT 0"},
      {u"SELECT a FROM t LIMIT 5, 10", u"SELECT a FROM t LIMIT 5, 0"},
      {u"SELECT a FROM t LIMIT 5 OFFSET 2", u"SELECT a FROM t LIMIT 0 OFFSET 2"},
      {u"SELECT a FROM t WHERE b IN (SELECT c FROM u LIMIT 1)",
       u"SELECT a FROM t WHERE b IN (SELECT c FROM u LIMIT 1) LIMIT 0"},
      {u"SELECT a FROM t FOR UPDATE", u"SELECT a FROM t LIMIT 0 FOR UPDATE"},
      {u"SELECT a FROM t; DELETE FROM t", u"SELECT a FROM t LIMIT 0"},
      {u"WITH x AS (SELECT 1 AS a LIMIT 3) SELECT a FROM x",
       u"WITH x AS (SELECT 1 AS a LIMIT 3) SELECT a FROM x LIMIT 0"},
      {u"SHOW TABLES", u"SHOW TABLES"},
      {u"/* c */ EXPLAIN SELECT 1", u"/* c */ EXPLAIN SELECT 1"},
      {u"DELETE FROM t WHERE a IN (SELECT 1)", nullptr},
      {u"UPDATE t SET a = (SELECT 1)", nullptr},
      {u"SET @a = 1; SELECT @a", nullptr},
  };
  for (const Case& c : cases) {
    if (c.expected) EXPECT_EQ(TMySQLRecordset::DescribeOnlySQL(c.sql), c.expected);
    else EXPECT_THROW(TMySQLRecordset::DescribeOnlySQL(c.sql), EDatabaseError) << ToUtf8(c.sql);
  }
}

// --- the mapping options ---------------------------------------------------------------

TMYSQL_FIELD Field(uint8_t type, uint32_t length, uint32_t flags = 0, int32_t charset = 33, uint32_t decimals = 0,
                   const char* table = "t") {
  TMYSQL_FIELD f;
  f.Name = f.OrgName = "c";
  f.Table = f.OrgTable = table;
  f._type = type;
  f.LengthInBytes = length;
  f.Flags = flags;
  f.CharsetNr = charset;
  f.Decimals = decimals;
  return f;
}

TEST(MySqlMappingTest, OptionsChangeTheMapping) {
  const auto with = [](auto change) {
    TMyMappingOptions o;
    o.UseUnicode = true;
    change(o);
    return o;
  };
  const TMyMappingOptions unicode = with([](TMyMappingOptions&) {});
  struct Case {
    const char* what;
    TMYSQL_FIELD field;
    TMyMappingOptions options;
    TDataType type;
    int length;
  };
  const Case cases[] = {
      {"VARCHAR(50) in UTF-8", Field(253, 150), unicode, mtWideString, 50},
      {"VARCHAR(30000) latin1 read in UTF-8: the uncapped length", Field(253, 90000), unicode, mtWideString, 30000},
      {"no flat buffers", Field(253, 150), with([](auto& o) { o.FlatBuffers = false; }), mtExtWideString, 50},
      {"no long strings", Field(253, 900), with([](auto& o) { o.LongStrings = false; }), mtWideMemo, 0},
      {"fields as string", Field(3, 11), with([](auto& o) { o.FieldsAsString = true; }), mtString, 11},
      {"TINYINT(1) as string: room for -128", Field(1, 1, 0, 63), with([](auto& o) { o.FieldsAsString = true; }),
       mtString, 4},
      {"DOUBLE as string: room for the longest", Field(5, 22, 0, 63, 31),
       with([](auto& o) { o.FieldsAsString = true; }), mtString, 24},
      {"TIME as string: room for the sign and hours", Field(11, 10, 0, 63),
       with([](auto& o) { o.FieldsAsString = true; }), mtString, 17},
      {"VARCHAR(50) as string in UTF-8", Field(253, 150), with([](auto& o) { o.FieldsAsString = true; }), mtWideString,
       50},
      {"DECIMAL(10,2) UNSIGNED: no sign in the length", Field(246, 11, 32, 63, 2),
       with([](auto& o) { o.EnableFMTBCD = true; }), mtFMTBCD, 10},
      {"TINYINT(1)", Field(1, 1), unicode, mtBoolean, 1},
      {"TINYINT(1) without booleans", Field(1, 1), with([](auto& o) { o.EnableBoolean = false; }), mtInt8, 1},
      {"BIGINT(11) optimized", Field(8, 11), with([](auto& o) { o.OptimizedBigInt = true; }), mtInt32, 11},
      {"BIGINT UNSIGNED with decimals", Field(8, 20, 32), with([](auto& o) { o.EnableFMTBCD = true; }), mtFMTBCD, 20},
      {"DECIMAL(10,2) as BCD", Field(246, 12, 0, 63, 2), with([](auto& o) { o.CheckPrecision = o.EnableBCD = true; }),
       mtBCD, 10},
      {"DECIMAL(20,2) too wide for BCD", Field(246, 22, 0, 63, 2),
       with([](auto& o) { o.CheckPrecision = o.EnableBCD = o.EnableFMTBCD = true; }), mtFMTBCD, 20},
      {"DECIMAL(10,2) as float", Field(246, 12, 0, 63, 2), unicode, mtFloat, 10},
      {"DECIMAL claiming 2^31 bytes", Field(246, 0x80000000u, 0, 63, 2),
       with([](auto& o) { o.CheckPrecision = o.EnableBCD = true; }), mtFloat, 64},
      {"DECIMAL claiming 2^32 - 1 bytes", Field(246, 0xFFFFFFFFu, 0, 63, 0),
       with([](auto& o) { o.CheckPrecision = o.EnableBCD = true; }), mtFloat, 64},
      {"VARBINARY as string", Field(253, 20, 128, 63), unicode, mtString, 20},
      {"VARBINARY as bytes", Field(253, 20, 128, 63), with([](auto& o) { o.BinaryAsString = false; }), mtVarBytes, 20},
      {"BINARY as bytes", Field(254, 16, 128, 63), with([](auto& o) { o.BinaryAsString = false; }), mtBytes, 16},
      {"TEXT of a _bin collation", Field(252, 65535, 128, 46), unicode, mtWideMemo, 0},
      {"BLOB", Field(252, 65535, 128, 63), unicode, mtBlob, 0},
      {"expression of 65535 bytes", Field(253, 65535, 0, 33, 0, ""), unicode, mtWideMemo, 0},
      {"TIMESTAMP(6)", Field(7, 26), unicode, mtDateTime, 26},
  };
  for (const Case& c : cases) {
    TMySQLFieldDesc d;
    MapMySqlField(c.field, c.options, d);
    EXPECT_EQ(d.FDataType, c.type) << c.what;
    EXPECT_EQ(d.FLength, c.length) << c.what;
  }
  TMySQLFieldDesc d;
  EXPECT_THROW(MapMySqlField(Field(245, 10), unicode, d), EDAError);
}

// --- values a real server does not send: a scripted server --------------------------

// A column definition of `type` and `length` bytes (charset 33, UTF-8).
std::string ColumnOf(int type, uint32_t length, int flags = 0) {
  using test::B;
  return B({3}) + "def" + B({2}) + "db" + B({1}) + "t" + B({1}) + "t" + B({1}) + "c" + B({1}) + "c" +
         B({12, 33, 0, static_cast<int>(length & 0xFF), static_cast<int>(length >> 8 & 0xFF), 0, 0, type, flags, 0, 0,
            0, 0});
}

// One column, one row holding `text`, as the reply to the query.
std::string ResultOf(int type, uint32_t length, const std::string& text) {
  using test::B;
  using test::Packet;
  return Packet(B({1}), 1) + Packet(ColumnOf(type, length), 2) + Packet(test::kEof, 3) +
         Packet(B({static_cast<int>(text.size())}) + text, 4) + Packet(test::kEof, 5);
}

// Opens "SELECT c" against a scripted server that answers with `reply`;
// returns the first value, or raises what the open raised.
Variant OpenScripted(const std::string& reply) {
  const std::string setNamesOk = test::Packet(test::B({0, 0, 0, 2, 0, 0, 0}), 1);
  test::TLoopbackServer server([&](int fd) { test::Play(fd, {test::kGreeting, test::kLoginOk, setNamesOk, reply}); });
  TMySQLConnection c;
  c.SetServer(u"127.0.0.1");
  c.SetUsername(u"u");
  c.SetProp(prPort, server.Port());
  c.SetProp(prUseUnicode, true);
  c.SetProp(prConnectionTimeout, 5);
  c.Connect(UString());
  auto rs = CommandServer::Query(c, u"SELECT c");
  rs->Open();
  return CommandServer::Value(*rs, 1, 1);
}

TEST(MySqlScriptedValueTest, TimestampLayouts) {
  struct Case {
    uint32_t length;
    const char* text;
    TDateTime expected;
  };
  const Case cases[] = {
      {19, "2024-01-02 03:04:05", EncodeDateTime(2024, 1, 2, 3, 4, 5, 0)},
      {23, "2024-01-02 03:04:05.123", EncodeDateTime(2024, 1, 2, 3, 4, 5, 123)},
      {26, "2024-01-02 03:04:05.999999", EncodeDateTime(2024, 1, 2, 3, 4, 5, 999)},
      {14, "20240102030405", EncodeDateTime(2024, 1, 2, 3, 4, 5, 0)},
      {12, "690102030405", EncodeDateTime(2069, 1, 2, 3, 4, 5, 0)},
      {10, "7001020304", EncodeDateTime(1970, 1, 2, 3, 4, 0, 0)},
      {8, "20240102", EncodeDate(2024, 1, 2)},
      {6, "991231", EncodeDate(1999, 12, 31)},
      {4, "2402", EncodeDate(2024, 2, 1)},
      {2, "24", EncodeDate(2024, 1, 1)},
  };
  for (const Case& c : cases) EXPECT_EQ(OpenScripted(ResultOf(7, c.length, c.text)).AsDateTime(), c.expected) << c.text;
  // Any other length is the server's fault: a provider error, not a crash.
  EXPECT_THROW(OpenScripted(ResultOf(7, 17, "2024-01-02 03:04:")), EDAError);
}

TEST(MySqlScriptedValueTest, MalformedValuesRaise) {
  struct Case {
    int type;
    uint32_t length;
    std::string text;
  };
  const Case cases[] = {
      {3, 11, "12a"},           // INT
      {3, 11, "99999999999"},   // INT beyond 32 bits
      {1, 4, "300"},            // TINYINT beyond 8 bits
      {5, 22, "1.5x"},          // DOUBLE
      {253, 30, "\xC3\x28"},    // VARCHAR: not UTF-8
      {11, 10, "12345678:00"},  // TIME without its colon in the first five characters
  };
  for (const Case& c : cases) EXPECT_THROW(OpenScripted(ResultOf(c.type, c.length, c.text)), Exception) << c.text;
  EXPECT_THROW(OpenScripted(ResultOf(99, 4, "1")), EDAError);
}

// --- against the server --------------------------------------------------------------

struct CommandServerTest : CommandServer {
  std::string Scalar(const UString& sql) {
    auto rs = Query(*conn, sql);
    rs->Open();
    const Variant v = Value(*rs, 1, 1);
    return v.IsNull() ? "<NULL>" : ToUtf8(v.AsString());
  }
};

// The dialog's statement reaches the server as the text with both values as
// string literals, escaped for the session's mode, in UTF-8.
TEST_F(CommandServerTest, DialogStatementInTheGeneralLog) {
  Exec(u"CREATE DATABASE IF NOT EXISTS vixcmd");
  Exec(
      u"CREATE TABLE IF NOT EXISTS vixcmd.UserMt (SiteID VARCHAR(20), UserName VARCHAR(50), Password VARCHAR(50),"
      u" AccessSetupHead INT, AccessSetupCnt INT)");
  Exec(u"DELETE FROM vixcmd.UserMt");
  Exec(u"INSERT INTO vixcmd.UserMt VALUES ('12', 'it''s', 'pw', 1, 0)");
  Exec(u"USE vixcmd");
  // A new file each run: the server keeps the file of an earlier run open.
  const std::string logFile = Scalar(u"SELECT @@datadir") + "/cmd-general-" + std::to_string(std::time(nullptr)) + "-" +
                              test::ProcessTag() + ".log";
  Exec(u"SET GLOBAL general_log_file = '" + U(logFile) + u"'");
  const std::string output = Scalar(u"SELECT @@log_output");
  Exec(u"SET GLOBAL log_output = 'FILE,TABLE'");
  Exec(u"SET GLOBAL general_log = 1");
  const UString sql =
      u" SELECT Password, AccessSetupHead, AccessSetupCnt FROM UserMt WHERE SiteID = :SiteID AND UserName = :UserName";
  std::vector<std::string> expected;
  for (bool noBackslash : {false, true}) {
    Exec(noBackslash ? u"SET SESSION sql_mode = CONCAT(@@sql_mode, ',NO_BACKSLASH_ESCAPES')"
                     : u"SET SESSION sql_mode = DEFAULT");
    auto rs = Query(*conn, sql);
    rs->GetCommand()->GetParam(0)->SetDataType(mtWideString);
    rs->GetCommand()->GetParam(0)->SetValue(UString(u"12"));
    rs->GetCommand()->GetParam(1)->SetDataType(mtWideString);
    rs->GetCommand()->GetParam(1)->SetValue(UString(u"it's"));
    const std::string sent = rs->Command().BuildSQL(rs->Command().LiteralOptions());
    rs->Open();
    EXPECT_EQ(rs->RecordCount(), 1);
    EXPECT_EQ(Value(*rs, 1, 1).AsString(), u"pw");
    EXPECT_EQ(Value(*rs, 1, 2).AsInteger(), 1);
    const std::string e =
        std::string(
            " SELECT Password, AccessSetupHead, AccessSetupCnt FROM UserMt WHERE SiteID = '12' AND UserName = ") +
        (noBackslash ? "'it''s'" : "'it\\'s'");
    EXPECT_EQ(sent, e);
    // The server logs the statement without its leading blank.
    expected.push_back(e.substr(1));
  }
  Exec(u"SET GLOBAL general_log = 0");
  Exec(u"SET GLOBAL log_output = '" + U(output) + u"'");
  Exec(u"SET SESSION sql_mode = DEFAULT");
  std::ifstream in(test::HostFilePath(logFile), std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string log = ss.str();
  in.close();
  std::remove(test::HostFilePath(logFile).c_str());
  for (const std::string& e : expected)
    EXPECT_NE(log.find("Query\t" + e + "\n"), std::string::npos) << e << "\n--- log:\n" << log;
}

TEST_F(CommandServerTest, SeveralResultsOfOneText) {
  Exec(u"DROP TABLE IF EXISTS cmd_multi");
  Exec(u"CREATE TABLE cmd_multi (a INT)");
  // Statements without columns before the first result are skipped; the
  // count of the first statement stays.
  auto rs = Query(*conn,
                  u"INSERT INTO cmd_multi VALUES (1), (2); SELECT a FROM cmd_multi ORDER BY a; "
                  u"UPDATE cmd_multi SET a = a + 10; SELECT 'x' AS b, a FROM cmd_multi ORDER BY a; DO 1");
  rs->Open();
  EXPECT_EQ(rs->Command().GetRowsAffected(), 2);
  ASSERT_EQ(rs->Fields().Count(), 1);
  EXPECT_EQ(rs->RecordCount(), 2);
  EXPECT_EQ(Value(*rs, 2, 1).AsInteger(), 2);
  Variant more;
  rs->GetProp(prMoreResults, more);
  EXPECT_TRUE(more.AsBoolean());
  ASSERT_TRUE(rs->OpenNext());
  ASSERT_EQ(rs->Fields().Count(), 2);
  EXPECT_EQ(rs->RecordCount(), 2);
  EXPECT_EQ(Value(*rs, 1, 2).AsInteger(), 11);
  EXPECT_FALSE(rs->OpenNext());
  rs->Close();
  EXPECT_EQ(Scalar(u"SELECT SUM(a) FROM cmd_multi"), "23");

  // An error in a later statement is raised, and the session stays usable.
  EXPECT_THROW(Exec(u"DO 1; SELECT * FROM no_such_table_here"), EMyError);
  EXPECT_EQ(Scalar(u"SELECT 5"), "5");
}

TEST_F(CommandServerTest, ClosingAHalfReadResultLeavesTheSessionInStep) {
  for (bool moreResults : {false, true}) {
    auto rs = Query(
        *conn, moreResults ? u"SELECT seq FROM seq_1_to_1000; SELECT 1; SELECT 2" : u"SELECT seq FROM seq_1_to_1000");
    rs->SetProp(prFetchAll, false);
    rs->SetProp(prFetchRows, 10);
    rs->Open();
    EXPECT_EQ(rs->RecordCount(), 10);
    rs->Close();
    EXPECT_EQ(Scalar(u"SELECT 42"), "42") << moreResults;
  }
}

// Without fetch-all the rows of every result of the text come over a session
// of their own, which goes once the last result is done.
TEST_F(CommandServerTest, SeveralResultsOnTheFetchConnection) {
  auto rs = Query(*conn, u"SELECT seq FROM seq_1_to_100; DO 1; SELECT 'x' AS b, 2 AS a");
  rs->SetProp(prFetchAll, false);
  rs->SetProp(prFetchRows, 10);
  rs->Open();
  ASSERT_TRUE(rs->UsesFetchConnection());
  EXPECT_NE(rs->FetchConnection()->GetThreadId(), conn->GetThreadId());
  EXPECT_EQ(rs->RecordCount(), 10);
  EXPECT_EQ(Scalar(u"SELECT 42"), "42");
  rs->FetchAll();
  EXPECT_EQ(rs->RecordCount(), 100);
  EXPECT_TRUE(rs->UsesFetchConnection());  // the next result waits on it
  ASSERT_TRUE(rs->OpenNext());
  ASSERT_EQ(rs->Fields().Count(), 2);
  EXPECT_EQ(Value(*rs, 1, 2).AsInteger(), 2);
  EXPECT_FALSE(rs->UsesFetchConnection());
  EXPECT_FALSE(rs->OpenNext());
  rs->Close();
  EXPECT_EQ(rs->FetchConnection(), conn.get());
  EXPECT_EQ(Scalar(u"SELECT 43"), "43");
}

TEST_F(CommandServerTest, CancelFromAnotherThread) {
  TMySQLCommand cmd;
  cmd.SetConnection(conn.get());
  cmd.SetSQL(u"SELECT SLEEP(5)");
  std::thread canceller([&] {
    while (!cmd.GetExecuting()) std::this_thread::yield();
    cmd.BreakExec();
  });
  EXPECT_THROW(cmd.Execute(), EAbort);
  canceller.join();
  EXPECT_FALSE(cmd.GetExecuting());
  EXPECT_EQ(cmd.GetCursorState(), csInactive);
}

TEST_F(CommandServerTest, ExecuteKeepsAnOpenResult) {
  auto rs = Query(*conn, u"SELECT seq FROM seq_1_to_100");
  rs->SetProp(prFetchAll, false);
  rs->Open();
  // The command still has its result open: executing again does nothing.
  rs->Command().Execute();
  EXPECT_EQ(rs->Command().GetCursorState(), csFetching);
  rs->Close();
}

TEST_F(CommandServerTest, CommandTimeoutReachesTheSession) {
  for (int timeout : {0, 7}) {
    TMySQLCommand cmd;
    cmd.SetConnection(conn.get());
    cmd.SetProp(prCommandTimeout, timeout);
    cmd.SetSQL(u"DO 1");
    cmd.Execute();
    EXPECT_EQ(conn->GetMySQL()->commandTimeout, timeout == 0 ? 31536000 : timeout);
  }
}

TEST_F(CommandServerTest, OpenAgainAfterAllRowsWereRead) {
  auto rs = Query(*conn, u"SELECT seq FROM seq_1_to_30");
  rs->Open();
  rs->Open();
  EXPECT_EQ(rs->RecordCount(), 30);
  EXPECT_EQ(Value(*rs, 30, 1).AsInteger(), 30);
}

TEST_F(CommandServerTest, StatementWithoutResultAsQuery) {
  auto rs = Query(*conn, u"DO 1");
  EXPECT_THROW(rs->Open(), EDatabaseError);
  EXPECT_EQ(Scalar(u"SELECT 3"), "3");
}

TEST_F(CommandServerTest, DescribeOnlyNeverRunsAChange) {
  Exec(u"DROP TABLE IF EXISTS cmd_desc");
  Exec(u"CREATE TABLE cmd_desc (a INT, b VARCHAR(10))");
  Exec(u"INSERT INTO cmd_desc VALUES (1, 'x')");
  auto rs = Query(*conn, u"SELECT a, b FROM cmd_desc WHERE a = :a");
  rs->DescribeFields();
  ASSERT_EQ(rs->Fields().Count(), 2);
  EXPECT_EQ(rs->Fields()[1].FName, u"b");
  EXPECT_EQ(rs->Fields()[1].FDataType, mtWideString);
  auto del = Query(*conn, u"DELETE FROM cmd_desc");
  EXPECT_THROW(del->DescribeFields(), EDatabaseError);
  EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM cmd_desc"), "1");
}

TEST_F(CommandServerTest, PreparedStatementsWithParameters) {
  Exec(u"DROP TABLE IF EXISTS cmd_prep");
  Exec(u"CREATE TABLE cmd_prep (a INT, b VARCHAR(20), c DATETIME, d DOUBLE)");
  TMySQLCommand ins;
  ins.SetConnection(conn.get());
  ins.SetSQL(u"INSERT INTO cmd_prep VALUES (:a, :b, :c, :d)");
  ins.Prepare();
  for (int i = 1; i <= 3; ++i) {
    ins.GetParam(0)->SetDataType(mtInt32);
    ins.GetParam(0)->SetValue(i);
    ins.GetParam(1)->SetDataType(mtWideString);
    ins.GetParam(1)->SetValue(UString(u"it's ") + char16_t(u'0' + i));
    ins.GetParam(2)->SetDataType(mtDateTime);
    ins.GetParam(2)->SetValue(Variant::FromDate(EncodeDateTime(2024, 1, i, 10, 0, 0, 0)));
    ins.GetParam(3)->SetDataType(mtFloat);
    ins.GetParam(3)->SetValue(i / 3.0);
    ins.Execute();
    EXPECT_EQ(ins.GetRowsAffected(), 1);
  }
  ins.Unprepare();
  auto rs = Query(*conn, u"SELECT a, b, c, d FROM cmd_prep WHERE a >= :a ORDER BY a");
  rs->GetCommand()->GetParam(0)->SetDataType(mtInt32);
  rs->GetCommand()->GetParam(0)->SetValue(2);
  rs->GetCommand()->Prepare();
  rs->Open();
  ASSERT_EQ(rs->RecordCount(), 2);
  EXPECT_EQ(Value(*rs, 1, 1).AsInteger(), 2);
  EXPECT_EQ(Value(*rs, 1, 2).AsString(), u"it's 2");
  EXPECT_EQ(Value(*rs, 2, 3).AsDateTime(), EncodeDateTime(2024, 1, 3, 10, 0, 0, 0));
  EXPECT_EQ(Value(*rs, 2, 4).AsFloat(), 1.0);
  EXPECT_EQ(Value(*rs, 1, 4).AsFloat(), 2 / 3.0);
  rs->Close();
  rs->GetCommand()->Unprepare();
  EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM cmd_prep"), "3");
}

// A prepared query opened again and again: the server stops describing its
// columns, and after the table changes it describes them anew.
TEST_F(CommandServerTest, PreparedQueryReadsRightAcrossExecutionsAndATableChange) {
  Exec(u"CREATE OR REPLACE TABLE cmd_prep_meta (a INT, b VARCHAR(20))");
  Exec(u"INSERT INTO cmd_prep_meta VALUES (1, 'one'), (2, 'two'), (3, 'three')");
  auto rs = Query(*conn, u"SELECT * FROM cmd_prep_meta WHERE a = :a");
  rs->GetCommand()->GetParam(0)->SetDataType(mtInt32);
  rs->GetCommand()->Prepare();
  const char16_t* names[] = {u"one", u"two", u"three"};
  for (int round = 0; round < 2; ++round) {
    for (int a = 1; a <= 3; ++a) {
      SCOPED_TRACE(a);
      rs->GetCommand()->GetParam(0)->SetValue(a);
      rs->Open();
      ASSERT_EQ(rs->RecordCount(), 1);
      EXPECT_EQ(Value(*rs, 1, 1).AsInteger(), a);
      EXPECT_EQ(Value(*rs, 1, 2).AsString(), names[a - 1]);
      rs->Close();
    }
    // The same columns, in another type: the rows must be read with the new one.
    if (round == 0) Exec(u"ALTER TABLE cmd_prep_meta MODIFY a BIGINT");
  }
  rs->GetCommand()->Unprepare();
}

TEST_F(CommandServerTest, ServerErrorsAndAffectedRows) {
  Exec(u"DROP TABLE IF EXISTS cmd_rows");
  Exec(u"CREATE TABLE cmd_rows (a INT PRIMARY KEY AUTO_INCREMENT, b INT)");
  TMySQLCommand cmd;
  cmd.SetConnection(conn.get());
  cmd.SetSQL(u"INSERT INTO cmd_rows (b) VALUES (1), (2), (3)");
  cmd.Execute();
  Variant rows, id;
  cmd.GetProp(prRowsAffected, rows);
  cmd.GetProp(prLastInsertId, id);
  EXPECT_EQ(rows.AsInteger(), 3);
  EXPECT_EQ(id.AsInteger(), 1);
  cmd.SetSQL(u"INSERT INTO cmd_rows (a, b) VALUES (1, 1)");
  try {
    cmd.Execute();
    FAIL() << "no error";
  } catch (const EMyError& e) {
    EXPECT_EQ(e.ErrorCode(), 1062);
    EXPECT_TRUE(e.IsKeyViolation());
  }
  EXPECT_EQ(cmd.GetCursorState(), csInactive);
  EXPECT_FALSE(cmd.GetExecuting());
}

// A server message that is not UTF-8 still reaches the caller as the error,
// its bad bytes replaced.
TEST_F(CommandServerTest, ErrorMessageThatIsNotUtf8) {
  Exec(u"SET NAMES latin1");
  Exec(u"SET @m = CONVERT(0x63616665E92021 USING latin1)");
  try {
    Exec(u"SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = @m");
    FAIL() << "no error";
  } catch (const EMyError& e) {
    EXPECT_EQ(e.ErrorCode(), 1644);
    EXPECT_NE(e.Message().find(u"cafe\uFFFD !"), UString::npos) << e.what();
  }
  EXPECT_EQ(Scalar(u"SELECT 1"), "1");
}

}  // namespace
}  // namespace vix
