// Values written and read by the command and record set, checked against
// what MariaDB's C connector reads through the binary protocol: the
// connector is the reference here and is linked into this test only.
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>
#include <random>

#include "CommandServer.h"
#include "MariaDbOracle.h"
#include "MySql/MySQLVixProvider.h"
#include "rtl/CodePage.h"
#include "rtl/Currency.h"
#include "rtl/DateUtils.h"
#include "rtl/FMTBcd.h"
#include "rtl/FormatSettings.h"
#include "universal/Vix.h"

namespace vix {
namespace {

using test::CommandServer;
using test::Oracle;
using test::OracleValue;

struct OracleTest : CommandServer {
  Oracle oracle;
  void SetUp() override {
    CommandServer::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_TRUE(oracle.Connect(host, port, user, password, db)) << oracle.Error();
  }
};

// --- injection round trip ------------------------------------------------------------

// A text of the bytes as Latin-1 characters (any byte value is one character).
UString Latin1(const std::string& bytes) {
  UString s;
  for (unsigned char c : bytes) s += static_cast<char16_t>(c);
  return s;
}

TEST_F(OracleTest, InjectionRoundTrip) {
  std::string all256;
  for (int i = 0; i < 256; ++i) all256 += static_cast<char>(i);
  std::mt19937 rng(7);
  const std::string alphabet = std::string(
                                   "'\\\"\0\n\r\x1A"
                                   "a;-#/*",
                                   14) +
                               "\xED\x95\x9C";
  std::string bigText, bigBlob;
  for (int i = 0; i < 1 << 20; ++i) {
    bigText += alphabet[rng() % alphabet.size()];
    bigBlob += static_cast<char>(rng() & 0xFF);
  }
  struct Value {
    const char* what;
    std::string bytes;
    bool utf8;  // the bytes are UTF-8 text (else each byte is a Latin-1 character)
  };
  const Value values[] = {
      {"all 256 byte values", all256, false},
      {"quote", "'", true},
      {"backslash", "\\", true},
      {"backslash quote", "\\'", true},
      {"two quotes", "''", true},
      {"backslash at the end", "abc\\", true},
      {"double quotes", "\"\\\"", true},
      {"forged row", "' UNION SELECT CHAR(120),1,1 -- ", true},
      {"NUL", std::string("a\0b' OR 1=1 -- ", 15), true},
      {"Korean", "\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4 '\xED\x85\x8D\xEC\x8A\xA4\xED\x8A\xB8' \\", true},
      {"1 MB text", bigText, false},
      {"1 MB of bytes", bigBlob, false},
  };
  Exec(u"DROP TABLE IF EXISTS cmd_inj");
  Exec(
      u"CREATE TABLE cmd_inj (id INT PRIMARY KEY, t LONGTEXT CHARACTER SET utf8mb4, t8 LONGTEXT CHARACTER SET latin1,"
      u" b LONGBLOB)");
  Exec(u"DROP TABLE IF EXISTS cmd_canary");
  Exec(u"CREATE TABLE cmd_canary (x INT)");
  Exec(u"INSERT INTO cmd_canary VALUES (1)");
  const char16_t* modes[] = {u"DEFAULT", u"CONCAT(@@sql_mode, ',NO_BACKSLASH_ESCAPES')",
                             u"CONCAT(@@sql_mode, ',ANSI_QUOTES')"};
  int id = 0;
  for (bool unicode : {true, false}) {
    auto c = unicode ? Connect(true) : Connect(false, u"latin1");
    for (const char16_t* mode : modes) {
      Exec(*c, UString(u"SET SESSION sql_mode = ") + mode);
      for (const Value& v : values) {
        ++id;
        TMySQLCommand cmd;
        cmd.SetConnection(c.get());
        cmd.SetSQL(unicode ? u"INSERT INTO cmd_inj (id, t, b) VALUES (:id, :t, :b)"
                           : u"INSERT INTO cmd_inj (id, t8, b) VALUES (:id, :t, :b)");
        cmd.GetParam(0)->SetDataType(mtInt32);
        cmd.GetParam(0)->SetValue(id);
        UString text;
        if (unicode) {
          text = v.utf8 ? Utf8ToUtf16(v.bytes) : Latin1(v.bytes);
          cmd.GetParam(1)->SetDataType(mtWideString);
          cmd.GetParam(1)->SetValue(text);
        } else {
          cmd.GetParam(1)->SetDataType(mtString);
          cmd.GetParam(1)->SetValue(Variant::FromAnsi(v.bytes));
        }
        cmd.GetParam(2)->SetDataType(mtBlob);
        cmd.GetParam(2)->SetValue(Variant::FromBytes(v.bytes));
        const std::string where = std::string(unicode ? "UTF-8, " : "latin1, ") + ToUtf8(mode) + ", " + v.what;
        try {
          cmd.Execute();
        } catch (const Exception& e) {
          ADD_FAILURE() << where << ": " << e.what();
          continue;
        }
        EXPECT_EQ(cmd.GetRowsAffected(), 1) << where;
        const auto rows = oracle.Rows("SELECT CAST(t AS BINARY), CAST(t8 AS BINARY), b FROM cmd_inj WHERE id = " +
                                      std::to_string(id));
        ASSERT_EQ(rows.size(), 1u) << where;
        const OracleValue& stored = rows[0][unicode ? 0 : 1];
        EXPECT_TRUE(stored.bytes == (unicode ? Utf16ToUtf8(text) : v.bytes)) << where << ": text differs";
        EXPECT_TRUE(rows[0][2].bytes == v.bytes) << where << ": bytes differ";
      }
    }
  }
  const auto canary = oracle.Rows("SELECT COUNT(*), SUM(x) FROM cmd_canary");
  ASSERT_EQ(canary.size(), 1u);
  EXPECT_EQ(canary[0][0].i, 1);
  EXPECT_EQ(canary[0][1].bytes, "1");
  EXPECT_EQ(oracle.Rows("SELECT COUNT(*) FROM cmd_inj")[0][0].i, id);
}

// A multi-byte charset other than UTF-8: a lone lead byte cannot take the
// backslash of the escape after it, so the quote stays escaped.
TEST_F(OracleTest, MultiByteCharsetRoundTrip) {
  const int savedCodePage = GetAnsiCodePage();
  SetAnsiCodePage(936);
  auto c = Connect(false, u"gbk");
  Exec(*c, u"DROP TABLE IF EXISTS cmd_gbk");
  Exec(*c, u"CREATE TABLE cmd_gbk (id INT PRIMARY KEY, b LONGBLOB, v LONGBLOB)");
  const std::string values[] = {
      "\xBF'", "\xBF\\", "\xBF' OR 1=1 -- ", "\xD6\xD0\xCE\xC4'\\", "\x81\x5C'", std::string("\xBF\0'", 3)};
  int id = 0;
  for (const char16_t* mode : {u"DEFAULT", u"CONCAT(@@sql_mode, ',NO_BACKSLASH_ESCAPES')"}) {
    Exec(*c, UString(u"SET SESSION sql_mode = ") + mode);
    for (const std::string& v : values) {
      TMySQLCommand cmd;
      cmd.SetConnection(c.get());
      cmd.SetSQL(u"INSERT INTO cmd_gbk VALUES (:id, :b, :v)");
      cmd.GetParam(0)->SetDataType(mtInt32);
      cmd.GetParam(0)->SetValue(++id);
      cmd.GetParam(1)->SetDataType(mtString);
      cmd.GetParam(1)->SetValue(Variant::FromAnsi(v));
      cmd.GetParam(2)->SetDataType(mtVarBytes);
      cmd.GetParam(2)->SetValue(Variant::FromBytes(v));
      cmd.Execute();
      EXPECT_EQ(cmd.GetRowsAffected(), 1);
      const auto rows = oracle.Rows("SELECT b, v FROM cmd_gbk WHERE id = " + std::to_string(id));
      ASSERT_EQ(rows.size(), 1u);
      EXPECT_TRUE(rows[0][0].bytes == v) << id;
      EXPECT_TRUE(rows[0][1].bytes == v) << id;
    }
  }
  EXPECT_EQ(oracle.Rows("SELECT COUNT(*) FROM cmd_gbk")[0][0].i, id);
  // Texts are converted to the ANSI code page: a charset of another code
  // page is refused before anything is sent.
  SetAnsiCodePage(949);
  TMySQLCommand cmd;
  cmd.SetConnection(c.get());
  cmd.SetSQL(u"SELECT :a");
  cmd.GetParam(0)->SetDataType(mtWideString);
  cmd.GetParam(0)->SetValue(UString(u"x"));
  EXPECT_THROW(cmd.Execute(), EDatabaseError);
  SetAnsiCodePage(savedCodePage);
}

// --- all types -----------------------------------------------------------------------

// The value of a field in the form the connector gives for that column.
std::string TwoDigits(int v) {
  return std::string(1, static_cast<char>('0' + v / 10)) + static_cast<char>('0' + v % 10);
}

std::string DateTimeText(TDateTime v, bool withTime, bool withMSec) {
  const TDateTimeParts p = DecodeDateTime(v);
  std::string s = std::to_string(p.Year) + "-" + TwoDigits(p.Month) + "-" + TwoDigits(p.Day);
  while (s.size() < 10) s.insert(0, "0");
  if (withTime) s += " " + TwoDigits(p.Hour) + ":" + TwoDigits(p.Minute) + ":" + TwoDigits(p.Second);
  if (withMSec) s += "." + std::to_string(1000 + p.MSec).substr(1);
  return s;
}

// "[-]HH:NN:SS.zzz", hours of two digits or more.
std::string TimeText(TDateTime v) {
  const int64_t ms = std::llround(std::fabs(v) * 86400000.0);
  const int64_t s = ms / 1000;
  std::string hours = std::to_string(s / 3600);
  if (hours.size() < 2) hours.insert(0, "0");
  return std::string(v < 0 ? "-" : "") + hours + ":" + TwoDigits(static_cast<int>(s % 3600 / 60)) + ":" +
         TwoDigits(static_cast<int>(s % 60)) + "." + std::to_string(1000 + ms % 1000).substr(1);
}

struct Column {
  const char* name;
  const char* definition;
  TDataType type;
  int length;  // FLength (characters for texts)
  int size;    // FSize
};

// Columns, their expected mapping under UseUnicode with the default options.
const Column kColumns[] = {
    {"i8", "TINYINT", mtInt8, 4, 1},
    {"u8", "TINYINT UNSIGNED", mtUInt16, 3, 2},
    {"b1", "TINYINT(1)", mtBoolean, 1, 2},
    {"i16", "SMALLINT", mtInt16, 6, 2},
    {"u16", "SMALLINT UNSIGNED", mtUInt16, 5, 2},
    {"i24", "MEDIUMINT", mtInt32, 9, 4},
    {"u24", "MEDIUMINT UNSIGNED", mtInt32, 8, 4},
    {"i32", "INT", mtInt32, 11, 4},
    {"u32", "INT UNSIGNED", mtUInt32, 10, 4},
    {"i64", "BIGINT", mtInt64, 20, 8},
    {"u64", "BIGINT UNSIGNED", mtUInt64, 20, 8},
    {"bt", "BIT(12)", mtInt64, 12, 8},
    {"f", "FLOAT", mtFloat, 12, 8},
    {"d", "DOUBLE", mtFloat, 22, 8},
    {"dc", "DECIMAL(10,2)", mtFloat, 10, 8},
    {"dcbig", "DECIMAL(65,30)", mtFloat, 64, 8},
    {"dt", "DATE", mtDate, 10, 8},
    {"dtm", "DATETIME(6)", mtDateTime, 26, 8},
    {"tm", "TIME(3)", mtTime, 14, 8},
    {"ts", "TIMESTAMP(6) NULL", mtDateTime, 26, 8},
    {"yr", "YEAR", mtUInt16, 4, 2},
    // A utf8mb4 session: two UTF-16 units for each character, which may lie outside the BMP.
    {"c", "CHAR(10) CHARACTER SET utf8mb4", mtWideString, 20, 42},
    {"vc", "VARCHAR(50) CHARACTER SET utf8mb4", mtWideString, 100, 202},
    {"cl", "CHAR(10) CHARACTER SET latin1", mtWideString, 20, 42},
    {"vcl", "VARCHAR(50) CHARACTER SET latin1", mtWideString, 100, 202},
    {"vlong", "VARCHAR(30000) CHARACTER SET latin1", mtWideString, 60000, 120002},
    {"bn", "BINARY(4)", mtString, 4, 5},
    {"vb", "VARBINARY(20)", mtString, 20, 21},
    {"tt", "TINYTEXT", mtWideMemo, 0, kRefSize},
    {"tx", "TEXT", mtWideMemo, 0, kRefSize},
    {"mt", "MEDIUMTEXT", mtWideMemo, 0, kRefSize},
    {"lt", "LONGTEXT", mtWideMemo, 0, kRefSize},
    {"tb", "TINYBLOB", mtBlob, 0, kRefSize},
    {"bb", "BLOB", mtBlob, 0, kRefSize},
    {"mb", "MEDIUMBLOB", mtBlob, 0, kRefSize},
    {"lb", "LONGBLOB", mtBlob, 0, kRefSize},
    {"en", "ENUM('a','bc')", mtWideString, 4, 10},
    {"st", "SET('x','y')", mtWideString, 6, 14},
    {"js", "JSON", mtWideMemo, 0, kRefSize},
};

const char* const kRows[] = {
    // minimum
    "(1, -128, 0, 0, -32768, 0, -8388608, 0, -2147483648, 0, -9223372036854775808, 0, b'0', -3.40282e38,"
    " -1.7976931348623157e308, -99999999.99, -99999999999999999999999999999999999.999999999999999999999999999999,"
    " '1000-01-01', '1000-01-01 00:00:00.000000', '-838:59:59.000', '1970-01-01 00:00:01.000000', 1901,"
    " '', '', '', '', '', '', '', '', '', '', '', '', '', '', '', 'a', '', '[]')",
    // maximum
    "(2, 127, 255, 1, 32767, 65535, 8388607, 16777215, 2147483647, 4294967295, 9223372036854775807,"
    " 9223372036854775807, b'111111111111', 3.40282e38, 1.7976931348623157e308, 99999999.99,"
    " 99999999999999999999999999999999999.999999999999999999999999999999, '9999-12-31',"
    " '9999-12-31 23:59:59.999999', '838:59:59.999', '2038-01-19 03:14:07.999999', 2155,"
    " '한국어텍스트열자', REPEAT('가', 50), 'ÿ\\'\"\\\\', REPEAT('é', 50), REPEAT('é', 30000), x'00FF0001', "
    "x'DEADBEEF00',"
    " REPEAT('t', 255), REPEAT('텍', 1000), REPEAT('m', 70000), REPEAT('l', 100000), x'00', REPEAT(x'FF', 1000),"
    " REPEAT(x'00', 70000), REPEAT(x'AB', 100000), 'bc', 'x,y', '{\"k\": [1, \"한\"]}')",
    // zeros and fractions
    "(3, 0, 1, 2, 0, 1, 0, 1, 0, 1, 0, 1, b'101', 0.5, 0.1, 0.01, 0.000000000000000000000000000001, '0000-00-00',"
    " '0000-00-00 00:00:00.000000', '00:00:00.001', '0000-00-00 00:00:00', 0, 'x', 'y', 'z', 'w', 'v', x'01', x'',"
    " 'u', 's', 'r', 'q', x'02', x'03', x'04', x'05', 'a', '', 'null')",
    // NULLs
    "(4, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,"
    " NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,"
    " NULL, NULL)",
};

void ExpectSame(const TMySQLFieldDesc& f, const Variant& ours, const OracleValue& ref, const std::string& where) {
  if (ref.isNull) {
    EXPECT_TRUE(ours.IsNull()) << where << " should be NULL";
    return;
  }
  const bool zeroDate = ref.kind == OracleValue::kBytes && ref.bytes.rfind("0000-00-00", 0) == 0;
  if (zeroDate) {
    // A zero date reads as NULL.
    EXPECT_TRUE(ours.IsNull()) << where;
    return;
  }
  ASSERT_FALSE(ours.IsNull()) << where;
  switch (f.FDataType) {
    case mtInt8:
    case mtInt16:
    case mtInt32:
    case mtUInt16:
    case mtUInt32:
    case mtInt64:
      if (f.FMySQLType == 16) {
        uint64_t bits = 0;
        for (unsigned char c : ref.bytes) bits = bits << 8 | c;
        EXPECT_EQ(static_cast<uint64_t>(ours.AsInt64()), bits) << where;
      } else {
        EXPECT_EQ(ours.AsInt64(), ref.i) << where;
      }
      return;
    case mtUInt64:
      EXPECT_EQ(ours.VarType(), varUInt64) << where;
      EXPECT_EQ(ours.AsUInt64(), static_cast<uint64_t>(ref.i)) << where;
      return;
    case mtBoolean: EXPECT_EQ(ours.AsBoolean(), ref.i != 0) << where; return;
    case mtFloat:
      if (ref.kind == OracleValue::kDouble) {
        if (f.FMySQLType == MYSQL_TYPE_FLOAT) EXPECT_NEAR(ours.AsFloat(), ref.d, std::fabs(ref.d) * 1e-6) << where;
        else EXPECT_EQ(ours.AsFloat(), ref.d) << where;
      } else {
        // A decimal: the same text read over its whole length.
        double expected = 0;
        std::from_chars(ref.bytes.data(), ref.bytes.data() + ref.bytes.size(), expected);
        EXPECT_EQ(ours.AsFloat(), expected) << where << " " << ref.bytes;
      }
      return;
    case mtDate: EXPECT_EQ(DateTimeText(ours.AsDateTime(), false, false), ref.bytes) << where; return;
    case mtDateTime: EXPECT_EQ(DateTimeText(ours.AsDateTime(), true, true), ref.bytes.substr(0, 23)) << where; return;
    case mtTime: EXPECT_EQ(TimeText(ours.AsDateTime()), ref.bytes) << where; return;
    case mtString: {
      // Binary strings as strings: their bytes up to the first NUL.
      const std::string bytes = ours.AsAnsiString();
      EXPECT_TRUE(bytes == ref.bytes.substr(0, ref.bytes.find('\0')))
          << where << " [" << bytes << "] [" << ref.bytes << "]";
      return;
    }
    case mtBlob: EXPECT_TRUE(ours.AsBytes() == ref.bytes) << where; return;
    default: EXPECT_EQ(ToUtf8(ours.AsString()), ref.bytes) << where; return;
  }
}

// The table of every type with its rows; returns the statement that reads
// them all, ordered.
std::string CreateAllTypes(OracleTest& t) {
  t.Exec(u"DROP TABLE IF EXISTS cmd_types");
  std::string create = "CREATE TABLE cmd_types (id INT PRIMARY KEY";
  std::string names;
  for (const Column& c : kColumns) {
    create += std::string(", ") + c.name + " " + c.definition;
    names += std::string(", ") + c.name;
  }
  t.Exec(U(create + ") CHARACTER SET utf8mb4"));
  t.Exec(u"SET SESSION sql_mode = ''");
  for (const char* row : kRows) t.Exec(U(std::string("INSERT INTO cmd_types (id") + names + ") VALUES " + row));
  t.Exec(u"SET SESSION sql_mode = DEFAULT");
  return "SELECT id" + names + " FROM cmd_types ORDER BY id";
}

TEST_F(OracleTest, AllTypes) {
  const std::string select = CreateAllTypes(*this);
  auto rs = Query(*conn, U(select));
  rs->Open();
  ASSERT_EQ(rs->Fields().Count(), 1 + static_cast<int>(std::size(kColumns)));
  for (size_t i = 0; i < std::size(kColumns); ++i) {
    const Column& c = kColumns[i];
    const auto& f = static_cast<const TMySQLFieldDesc&>(rs->Fields()[static_cast<int>(i) + 1]);
    EXPECT_EQ(f.FDataType, c.type) << c.name;
    EXPECT_EQ(f.FLength, c.length) << c.name;
    EXPECT_EQ(f.FSize, c.size) << c.name;
  }
  const auto ref = oracle.Rows(select);
  ASSERT_EQ(ref.size(), std::size(kRows));
  ASSERT_EQ(rs->RecordCount(), static_cast<int>(ref.size()));
  for (int r = 0; r < rs->RecordCount(); ++r) {
    for (size_t i = 0; i < std::size(kColumns); ++i) {
      const auto& f = static_cast<const TMySQLFieldDesc&>(rs->Fields()[static_cast<int>(i) + 1]);
      ExpectSame(f, Value(*rs, r + 1, static_cast<int>(i) + 2), ref[static_cast<size_t>(r)][i + 1],
                 std::string(kColumns[i].name) + " row " + std::to_string(r + 1));
    }
  }
}

// Binary columns keep their bytes when they are not read as strings, and a
// value that is not UTF-8 never fails the open.
TEST_F(OracleTest, BinaryColumnsKeepTheirBytes) {
  Exec(u"DROP TABLE IF EXISTS cmd_bin");
  Exec(u"CREATE TABLE cmd_bin (h BINARY(16), v VARBINARY(40))");
  Exec(u"INSERT INTO cmd_bin VALUES (x'00FFFE8081C0C1F5F8FCFD00112233EE', x'C328A0A1E28228F0288C28')");
  const auto ref = oracle.Rows("SELECT h, v FROM cmd_bin");
  for (bool asString : {true, false}) {
    auto rs = Query(*conn, u"SELECT h, v FROM cmd_bin");
    rs->SetProp(prBinaryAsString, asString);
    rs->Open();
    ASSERT_EQ(rs->RecordCount(), 1);
    EXPECT_EQ(rs->Fields()[0].FDataType, asString ? mtString : mtBytes);
    EXPECT_EQ(rs->Fields()[1].FDataType, asString ? mtString : mtVarBytes);
    if (asString) {
      EXPECT_TRUE(Value(*rs, 1, 2).AsAnsiString() == ref[0][1].bytes);
    } else {
      for (int i = 0; i < 2; ++i) {
        bool blank = false;
        std::vector<uint8_t> rec = rs->AllocRecBuf();
        rs->SetRecordNo(1);
        rs->GetRecord(rec.data());
        std::string out(64, '\0');
        const size_t n = rs->GetField(i + 1, rec.data(), blank, out.data(), out.size());
        out.resize(n);
        if (i == 1) out.erase(0, 2);  // the length word
        EXPECT_TRUE(out == ref[0][static_cast<size_t>(i)].bytes) << i;
      }
    }
  }
}

// BIGINT UNSIGNED beyond the signed range: an error naming the field, or a
// decimal when decimals are enabled.
TEST_F(OracleTest, BigUnsignedBeyondTheSignedRange) {
  Exec(u"DROP TABLE IF EXISTS cmd_u64");
  Exec(u"CREATE TABLE cmd_u64 (big BIGINT UNSIGNED)");
  Exec(u"INSERT INTO cmd_u64 VALUES (18446744073709551615), (9223372036854775808)");
  // Every value the column holds reads exactly, as an unsigned 64-bit value.
  auto rs = Query(*conn, u"SELECT big FROM cmd_u64 ORDER BY big");
  rs->Open();
  ASSERT_EQ(rs->Fields()[0].FDataType, mtUInt64);
  const auto text = oracle.Rows("SELECT CAST(big AS CHAR) FROM cmd_u64 ORDER BY big");
  ASSERT_EQ(rs->RecordCount(), 2);
  for (int r = 0; r < 2; ++r) {
    const Variant v = Value(*rs, r + 1, 1);
    EXPECT_EQ(v.VarType(), varUInt64);
    EXPECT_EQ(ToUtf8(v.AsString()), text[static_cast<size_t>(r)][0].bytes);
  }
  auto dec = Query(*conn, u"SELECT big FROM cmd_u64 ORDER BY big");
  dec->GetCommand()->SetProp(prEnableFMTBCD, true);
  dec->Open();
  ASSERT_EQ(dec->Fields()[0].FDataType, mtFMTBCD);
  const auto ref = oracle.Rows("SELECT CAST(big AS CHAR) FROM cmd_u64 ORDER BY big");
  ASSERT_EQ(dec->RecordCount(), 2);
  for (int r = 0; r < 2; ++r)
    EXPECT_EQ(ToUtf8(BcdToStr(Value(*dec, r + 1, 1).AsBcd(), InvariantFormatSettings())),
              ref[static_cast<size_t>(r)][0].bytes);
}

// --- parameters on both paths ---------------------------------------------------------

// Every parameter value goes through the statement's text and through a
// prepared statement alike, and both store the same value.
TEST_F(OracleTest, ParametersAgreeOnBothPaths) {
  Exec(u"DROP TABLE IF EXISTS cmd_params");
  Exec(
      u"CREATE TABLE cmd_params (id INT PRIMARY KEY, s VARCHAR(40) CHARACTER SET utf8mb4, u BIGINT UNSIGNED,"
      u" dc DECIMAL(20,4), b VARBINARY(10), t TIME(3))");
  struct Case {
    const char* what;
    const char16_t* column;
    TDataType type;
    Variant value;
    const char* stored;  // CAST(column AS CHAR); nullptr for NULL
  };
  const Case cases[] = {
      {"unassigned", u"s", mtUnknown, Variant(), nullptr},
      {"NULL heap string", u"s", mtExtString, Variant::Null(), nullptr},
      {"NULL heap bytes", u"b", mtExtVarBytes, Variant::Null(), nullptr},
      {"NULL heap wide string", u"s", mtExtWideString, Variant::Null(), nullptr},
      {"heap wide string", u"s", mtExtWideString, Variant(u"한국어"), "\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4"},
      {"heap string", u"s", mtExtString, Variant(u"abc"), "abc"},
      {"heap bytes", u"b", mtExtVarBytes, Variant::FromBytes(std::string("\0'\\", 3)), "\0'\\"},
      {"currency", u"dc", mtCurrency, Variant(Currency::FromRaw(-12345678)), "-1234.5678"},
      {"NULL currency", u"dc", mtCurrency, Variant::Null(), nullptr},
      {"unsigned 64-bit maximum", u"u", mtInt64, Variant(uint64_t{18446744073709551615u}), "18446744073709551615"},
      {"unsigned 64-bit 2^63", u"u", mtInt64, Variant(uint64_t{9223372036854775808u}), "9223372036854775808"},
      {"TIME -838:59:59", u"t", mtTime, Variant::FromDate(-(838 * 3600 + 59 * 60 + 59) / 86400.0), "-838:59:59.000"},
  };
  int id = 0;
  for (const Case& c : cases) {
    for (bool prepared : {false, true}) {
      const std::string where = std::string(c.what) + (prepared ? ", prepared" : ", text");
      TMySQLCommand cmd;
      cmd.SetConnection(conn.get());
      cmd.SetSQL(UString(u"INSERT INTO cmd_params (id, ") + c.column + u") VALUES (:id, :v)");
      cmd.GetParam(0)->SetDataType(mtInt32);
      cmd.GetParam(0)->SetValue(++id);
      cmd.GetParam(1)->SetDataType(c.type);
      cmd.GetParam(1)->SetValue(c.value);
      cmd.GetParam(1)->SetNull(c.value.IsEmptyOrNull());
      try {
        if (prepared) cmd.Prepare();
        cmd.Execute();
      } catch (const Exception& e) {
        ADD_FAILURE() << where << ": " << e.what();
        continue;
      }
      cmd.Unprepare();
      const auto rows = oracle.Rows("SELECT CAST(" + ToUtf8(c.column) +
                                    " AS BINARY) FROM cmd_params WHERE id = " + std::to_string(id));
      ASSERT_EQ(rows.size(), 1u) << where;
      EXPECT_EQ(rows[0][0].isNull, c.stored == nullptr) << where;
      if (!c.stored) continue;
      // The stored bytes (the heap bytes hold a NUL).
      const std::string stored(c.stored, c.type == mtExtVarBytes ? 3 : std::strlen(c.stored));
      EXPECT_TRUE(rows[0][0].bytes == stored) << where << ": " << rows[0][0].bytes;
    }
  }
}

// --- every value through the query's fields --------------------------------------

// What a field gives for a value the connector reads as `ref`, through
// AsString and the accessor of the field's own kind. Known differences from
// the connector, each a property of the field kinds, not of the transfer:
// - a zero date or date-time reads as NULL (NullForZeroDate is on by default);
// - date-times and times carry milliseconds: microseconds beyond them are cut;
// - TINYINT(1) is a boolean field: "True" / "False";
// - FLOAT and DOUBLE as text have 15 significant digits; FLOAT's text path
//   reads the server's 6-digit text, so its value is compared to 6 digits;
// - DECIMAL is a float field (EnableBCD and EnableFMTBCD are off);
// - a date-time's text leaves out a time of 00:00:00, and a time within a
//   day is written in the long time format (without milliseconds);
// - binary strings read as strings stop at the first NUL and are ANSI text;
// - an empty blob or memo counts as NULL (IsNull), its text is "".
void ExpectField(TField& f, const Column& c, const OracleValue& ref, const std::string& where) {
  const std::string definition = c.definition;
  if (ref.isNull || (ref.kind == OracleValue::kBytes && ref.bytes.rfind("0000-00-00", 0) == 0)) {
    EXPECT_TRUE(f.IsNull()) << where << " should be NULL";
    EXPECT_EQ(f.AsString(), u"") << where;
    EXPECT_TRUE(f.AsVariant().IsNull()) << where;
    return;
  }
  const bool blobKind = f.DataType() == ftBlob || f.DataType() == ftMemo || f.DataType() == ftWideMemo;
  if (blobKind && ref.bytes.empty()) {
    EXPECT_EQ(f.AsString(), u"") << where;
    return;
  }
  ASSERT_FALSE(f.IsNull()) << where;
  switch (f.DataType()) {
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftLargeint: {
      int64_t expected = ref.i;
      if (definition.rfind("BIT", 0) == 0) {
        uint64_t bits = 0;
        for (unsigned char ch : ref.bytes) bits = bits << 8 | ch;
        expected = static_cast<int64_t>(bits);
      }
      EXPECT_EQ(f.AsLargeInt(), expected) << where;
      EXPECT_EQ(f.AsString(), IntToStr(expected)) << where;
      EXPECT_EQ(f.AsVariant().AsInt64(), expected) << where;
      return;
    }
    case ftBoolean:
      EXPECT_EQ(f.AsBoolean(), ref.i != 0) << where;
      EXPECT_EQ(f.AsString(), ref.i != 0 ? u"True" : u"False") << where;
      return;
    case ftFloat: {
      double expected = ref.d;
      if (ref.kind == OracleValue::kBytes)
        std::from_chars(ref.bytes.data(), ref.bytes.data() + ref.bytes.size(), expected);
      const bool single = definition == "FLOAT";
      if (single) {
        EXPECT_NEAR(f.AsFloat(), expected, std::fabs(expected) * 1e-6) << where;
        EXPECT_NEAR(StrToFloat(f.AsString()), expected, std::fabs(expected) * 1e-6) << where;
      } else {
        EXPECT_EQ(f.AsFloat(), expected) << where << " " << ref.bytes;
        EXPECT_EQ(f.AsString(), FloatToStr(expected)) << where;
      }
      return;
    }
    case ftDate: {
      const TDateTime value = static_cast<TDateTimeField&>(f).AsDateTime();
      EXPECT_EQ(DateTimeText(value, false, false), ref.bytes) << where;
      EXPECT_EQ(ToUtf8(f.AsString()), ref.bytes) << where;
      return;
    }
    case ftDateTime: {
      const TDateTime value = static_cast<TDateTimeField&>(f).AsDateTime();
      EXPECT_EQ(DateTimeText(value, true, true), ref.bytes.substr(0, 23)) << where;
      const bool midnight = ref.bytes.substr(11, 12) == "00:00:00.000";
      EXPECT_EQ(ToUtf8(f.AsString()), midnight ? ref.bytes.substr(0, 10) : ref.bytes.substr(0, 19)) << where;
      return;
    }
    case ftTime: {
      const TDateTime value = static_cast<TDateTimeField&>(f).AsDateTime();
      EXPECT_EQ(TimeText(value), ref.bytes) << where;
      EXPECT_EQ(TimeText(f.AsVariant().AsDateTime()), ref.bytes) << where;
      // "[-]HH:NN:SS.zzz": the fraction shows only when it is not zero,
      // and within a day only hours, minutes and seconds.
      std::string text = ref.bytes;
      const bool inDay = text[0] != '-' && text.find(':') == 2;
      if (inDay || text.substr(text.size() - 4) == ".000") text.resize(text.size() - 4);
      EXPECT_EQ(ToUtf8(f.AsString()), text) << where;
      return;
    }
    case ftString: {
      const std::string bytes = Utf16ToAnsi(f.AsString());
      EXPECT_TRUE(bytes == ref.bytes.substr(0, ref.bytes.find('\0')))
          << where << " [" << bytes << "] [" << ref.bytes << "]";
      return;
    }
    case ftBlob:
      EXPECT_TRUE(static_cast<TBlobField&>(f).AsBytes() == ref.bytes) << where;
      EXPECT_TRUE(f.AsVariant().AsBytes() == ref.bytes) << where;
      return;
    default:
      // Unicode texts and memos.
      EXPECT_EQ(ToUtf8(f.AsString()), ref.bytes) << where;
      EXPECT_EQ(ToUtf8(f.AsVariant().AsString()), ref.bytes) << where;
      return;
  }
}

TEST_F(OracleTest, AllTypesThroughTheQuerysFields) {
  const std::string select = CreateAllTypes(*this);
  const auto ref = oracle.Rows(select);
  ASSERT_EQ(ref.size(), std::size(kRows));
  RegisterMySQLVixProvider();
  TVixConnection connection;
  connection.SetProviderName(u"MySQL");
  connection.SpecificOptions().Add(u"MySQL.UseUnicode=True");
  connection.SetServer(U(host));
  connection.SetPort(port);
  connection.SetDatabase(U(db));
  connection.SetUsername(U(user));
  connection.SetPassword(U(password));
  for (bool prepared : {false, true}) {
    const std::string path = prepared ? "prepared" : "text";
    TVixQuery query;
    query.SetConnection(&connection);
    query.SetSQL(U(select));
    if (prepared) query.Prepare();
    query.Open();
    ASSERT_EQ(query.FieldCount(), 1 + static_cast<int>(std::size(kColumns))) << path;
    ASSERT_EQ(query.RecordCount(), static_cast<int>(ref.size())) << path;
    for (size_t r = 0; r < ref.size(); ++r, query.Next()) {
      for (size_t i = 0; i < std::size(kColumns); ++i) {
        ExpectField(query.Fields(static_cast<int>(i) + 1), kColumns[i], ref[r][i + 1],
                    path + " " + kColumns[i].name + " row " + std::to_string(r + 1));
      }
    }
    query.Close();
    query.UnPrepare();
  }
}

// FieldsAsString: every number, date and time as the text the server writes
// for it (as CAST(... AS CHAR) gives it), on both paths; the other columns as
// above. BIT columns are left out: as texts they are their raw bytes.
TEST_F(OracleTest, AllTypesAsTextsThroughTheQuerysFields) {
  const std::string select = CreateAllTypes(*this);
  std::string casts = "SELECT id";
  std::vector<bool> asText;
  for (const Column& c : kColumns) {
    const bool number = c.type == mtInt8 || c.type == mtInt16 || c.type == mtInt32 || c.type == mtInt64 ||
                        c.type == mtUInt64 || c.type == mtUInt16 || c.type == mtUInt32 || c.type == mtBoolean ||
                        c.type == mtFloat || c.type == mtDate || c.type == mtDateTime || c.type == mtTime;
    asText.push_back(number);
    casts += number ? std::string(", CAST(") + c.name + " AS CHAR(80))" : std::string(", ") + c.name;
  }
  const auto ref = oracle.Rows(casts + " FROM cmd_types ORDER BY id");
  ASSERT_EQ(ref.size(), std::size(kRows));
  RegisterMySQLVixProvider();
  TVixConnection connection;
  connection.SetProviderName(u"MySQL");
  connection.SpecificOptions().Add(u"MySQL.UseUnicode=True");
  connection.SetServer(U(host));
  connection.SetPort(port);
  connection.SetDatabase(U(db));
  connection.SetUsername(U(user));
  connection.SetPassword(U(password));
  for (bool prepared : {false, true}) {
    const std::string path = prepared ? "prepared" : "text";
    TVixQuery query;
    query.SetConnection(&connection);
    query.SpecificOptions().Add(u"FieldsAsString=True");
    query.SetSQL(U(select));
    if (prepared) query.Prepare();
    query.Open();
    ASSERT_EQ(query.RecordCount(), static_cast<int>(ref.size())) << path;
    for (size_t r = 0; r < ref.size(); ++r, query.Next()) {
      for (size_t i = 0; i < std::size(kColumns); ++i) {
        const Column& c = kColumns[i];
        if (std::string(c.definition).rfind("BIT", 0) == 0) continue;
        TField& f = query.Fields(static_cast<int>(i) + 1);
        const OracleValue& v = ref[r][i + 1];
        const std::string where = path + " " + c.name + " row " + std::to_string(r + 1);
        if (!asText[i]) {
          ExpectField(f, c, v, where);
          continue;
        }
        EXPECT_EQ(f.IsNull(), v.isNull) << where;
        EXPECT_EQ(ToUtf8(f.AsString()), v.bytes) << where;
      }
    }
    query.Close();
    query.UnPrepare();
  }
}

}  // namespace
}  // namespace vix
