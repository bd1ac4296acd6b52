// Prepared statements against the private MariaDB server of the test
// services: binary rows read the same values as text rows, parameters of
// every type arrive as they were sent, and statements outlive their session
// safely. Skipped locally when the server is not running.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "Common/MemData.h"
#include "MySql/MySqlApiDirect.h"
#include "TestSupport.h"

namespace vix {
namespace {

using test::EnvOr;

using Row = std::vector<std::string>;
const std::string kNull = "<NULL>";

// The text a text row carries for a binary value of `field`.
std::string AsText(const TMySqlFieldInfo& field, ByteSpan bytes) {
  char buf[64];
  auto fraction = [&](uint32_t microsecond) {
    if (field.Scale <= 0 || field.Scale > 6) return std::string();
    char digits[16];
    std::snprintf(digits, sizeof digits, ".%06u", microsecond);
    return std::string(digits, static_cast<size_t>(field.Scale) + 1);
  };
  switch (field._Type) {
    case MYSQL_TYPE_TINY:
    case MYSQL_TYPE_SHORT:
    case MYSQL_TYPE_INT24:
    case MYSQL_TYPE_LONG:
    case MYSQL_TYPE_LONGLONG: {
      const Variant v = BinaryValue(field, bytes);
      return field.Flags & UNSIGNED_FLAG ? std::to_string(v.AsUInt64()) : std::to_string(v.AsInt64());
    }
    case MYSQL_TYPE_YEAR:
      std::snprintf(buf, sizeof buf, "%04u", static_cast<unsigned>(BinaryValue(field, bytes).AsInteger()));
      return buf;
    case MYSQL_TYPE_DATE: {
      const TMySqlBinaryDateTime d = DecodeBinaryDateTime(bytes);
      std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", d.Year, d.Month, d.Day);
      return buf;
    }
    case MYSQL_TYPE_DATETIME:
    case MYSQL_TYPE_TIMESTAMP: {
      const TMySqlBinaryDateTime d = DecodeBinaryDateTime(bytes);
      std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", d.Year, d.Month, d.Day, d.Hour, d.Minute,
                    d.Second);
      return std::string(buf) + fraction(d.Microsecond);
    }
    case MYSQL_TYPE_TIME: {
      const TMySqlBinaryTime t = DecodeBinaryTime(bytes);
      std::snprintf(buf, sizeof buf, "%s%02u:%02d:%02d", t.Negative ? "-" : "", t.Days * 24 + t.Hour, t.Minute,
                    t.Second);
      return std::string(buf) + fraction(t.Microsecond);
    }
    default: return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
}

// Floats are compared as numbers: the text is the server's shortest form.
bool SameValue(const TMySqlFieldInfo& field, const std::string& text, ByteSpan bytes) {
  if (field._Type == MYSQL_TYPE_FLOAT)
    return std::strtof(text.c_str(), nullptr) == static_cast<float>(BinaryValue(field, bytes).AsFloat());
  if (field._Type == MYSQL_TYPE_DOUBLE)
    return std::strtod(text.c_str(), nullptr) == BinaryValue(field, bytes).AsFloat();
  return AsText(field, bytes) == text;
}

struct StmtServerTest : ::testing::Test {
  TMySQLAPIDirect api;
  std::string host = EnvOr("VIX_MYSQL_HOST");
  std::vector<PMYSQL> open;

  void SetUp() override { VIX_REQUIRE_COMPONENT(!host.empty(), "MariaDB test server (VIX_MYSQL_HOST)"); }
  void TearDown() override {
    for (PMYSQL m : open) api.mysql_close(m);
  }
  PMYSQL Connect() {
    PMYSQL m = api.mysql_init(nullptr);
    open.push_back(m);
    api.mysql_options(m, MYSQL_SET_CHARSET_NAME, std::string("utf8"));
    api.mysql_options(m, MYSQL_OPT_CONNECT_TIMEOUT, 10);
    api.SetTimeout(m, 60);
    EXPECT_EQ(api.mysql_real_connect(m, host, EnvOr("VIX_MYSQL_USER", "vix"), EnvOr("VIX_MYSQL_PASSWORD"),
                                     EnvOr("VIX_MYSQL_DATABASE", "vixtest"), std::atoi(EnvOr("VIX_MYSQL_PORT").c_str()),
                                     "", CLIENT_FOUND_ROWS),
              m)
        << api.mysql_error(m);
    Run(m, "SET NAMES utf8");
    return m;
  }
  // Drops a session from the list closed at the end (the test frees it).
  void Forget(PMYSQL m) { std::erase(open, m); }
  void Run(PMYSQL m, const std::string& sql) {
    ASSERT_EQ(api.mysql_real_query(m, sql.data(), sql.size()), 0) << sql << ": " << api.mysql_error(m);
  }
  std::vector<Row> TextRows(PMYSQL m, const std::string& sql) {
    std::vector<Row> rows;
    Run(m, sql);
    PMYSQL_RES res = api.mysql_use_result(m);
    EXPECT_NE(res, nullptr);
    if (!res) return rows;
    while (PMYSQL_ROW row = api.mysql_fetch_row(res)) {
      Row values;
      for (int i = 0; i < api.mysql_num_fields(res); ++i)
        values.push_back(api._mysql_fetch_value_is_null(row, i) ? kNull : api._mysql_fetch_value_str(row, i));
      rows.push_back(values);
    }
    api.mysql_free_result(res);
    return rows;
  }
  PMYSQL_STMT Prepare(PMYSQL m, const std::string& sql) {
    PMYSQL_STMT s = api.mysql_stmt_init(m);
    EXPECT_EQ(api.mysql_stmt_prepare(s, sql.data(), sql.size()), 0) << sql << ": " << api.mysql_stmt_error(s);
    return s;
  }
  // Executes `s` and reads its binary rows; each value checked against
  // `text` (the same rows read as text) when given, else returned as text.
  std::vector<Row> BinaryRows(PMYSQL_STMT s, const TParamDescs& params, const std::vector<Row>* text = nullptr) {
    std::vector<Row> rows;
    EXPECT_EQ(api._mysql_stmt_bind_result(s), 0) << api.mysql_stmt_error(s);
    EXPECT_EQ(api._mysql_stmt_execute(s, params, true), 0) << api.mysql_stmt_error(s);
    const std::vector<TMySqlFieldInfo>& fields = s->Fields();
    PMYSQL_ROW row = nullptr;
    int rc;
    while ((rc = api._mysql_stmt_fetch(s, row)) == 0) {
      std::vector<uint32_t> lengths;
      api._mysql_stmt_fetch_lengths(row, lengths);
      Row values;
      for (size_t i = 0; i < fields.size(); ++i) {
        const uint8_t* p = api._mysql_stmt_fetch_value_ptr(s, static_cast<int>(i));
        const ByteSpan bytes(p ? p : row->Buffer.data(), p ? lengths[i] : 0);
        std::string value = p ? AsText(fields[i], bytes) : kNull;
        if (text && rows.size() < text->size()) {
          const std::string& want = (*text)[rows.size()][i];
          SCOPED_TRACE(fields[i].Name + " of row " + std::to_string(rows.size()));
          EXPECT_EQ(p == nullptr, want == kNull);
          if (p && want != kNull) {
            EXPECT_TRUE(SameValue(fields[i], want, bytes)) << "text " << want << ", binary " << value;
            value = want;
          }
        }
        values.push_back(value);
      }
      rows.push_back(values);
    }
    EXPECT_EQ(rc, MYSQL_NO_DATA) << api.mysql_stmt_error(s);
    EXPECT_EQ(api._mysql_stmt_fetch(s, row), MYSQL_NO_DATA);  // and again
    return rows;
  }
};

TEST_F(StmtServerTest, EveryColumnTypeReadsTheSameAsBinaryAndAsText) {
  PMYSQL m = Connect();
  Run(m, "SET SESSION sql_mode = ''");
  Run(m,
      "CREATE OR REPLACE TABLE all_types (id INT NOT NULL PRIMARY KEY,"
      " c_tiny TINYINT, c_utiny TINYINT UNSIGNED, c_small SMALLINT, c_usmall SMALLINT UNSIGNED,"
      " c_medium MEDIUMINT, c_umedium MEDIUMINT UNSIGNED, c_int INT, c_uint INT UNSIGNED,"
      " c_big BIGINT, c_ubig BIGINT UNSIGNED, c_float FLOAT, c_double DOUBLE, c_decimal DECIMAL(30,9),"
      " c_bit BIT(10), c_bool BOOLEAN, c_date DATE, c_time TIME, c_time6 TIME(6), c_datetime DATETIME,"
      " c_datetime3 DATETIME(3), c_timestamp TIMESTAMP NULL DEFAULT NULL, c_year YEAR,"
      " c_char CHAR(10), c_varchar VARCHAR(100), c_binary BINARY(4), c_varbinary VARBINARY(20),"
      " c_tinytext TINYTEXT, c_text TEXT, c_mediumtext MEDIUMTEXT, c_longtext LONGTEXT,"
      " c_tinyblob TINYBLOB, c_blob BLOB, c_mediumblob MEDIUMBLOB, c_longblob LONGBLOB,"
      " c_enum ENUM('a', 'b', '한'), c_set SET('x', 'y', 'z'), c_json JSON, c_geometry GEOMETRY)"
      " CHARACTER SET utf8mb4");
  Run(m,
      "INSERT INTO all_types VALUES"
      " (1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 3.14159, 2.718281828459045, 12345.678901234, b'1010101010', TRUE,"
      "  '2021-03-04', '05:06:07', '12:34:56.789012', '2021-03-04 05:06:07', '2021-03-04 05:06:07.250',"
      "  '2021-03-04 05:06:07', 2021, 'abc', 'hello 한글', 'ab', x'00FF10', 'tiny', 'text', 'medium', 'long',"
      "  x'00', x'0102FF', 'mb', 'lb', '한', 'x,z', '{\"a\": [1, 2]}', ST_GeomFromText('POINT(1 2)')),"
      " (2, -128, 255, -32768, 65535, -8388608, 16777215, -2147483648, 4294967295,"
      "  -9223372036854775808, 18446744073709551615, -3.40282e38, -1.7976931348623157e308,"
      "  -99999999999999999999.999999999, b'1111111111', FALSE, '9999-12-31', '-838:59:59', '838:59:59.999999',"
      "  '9999-12-31 23:59:59', '1000-01-01 00:00:00.001', '2038-01-19 03:14:07', 2155, '', '', '', '',"
      "  '', '', REPEAT('m', 70000), REPEAT('한', 30000), '', '', REPEAT(x'FE', 70000), '', 'a', '', '[]',"
      "  ST_GeomFromText('LINESTRING(0 0, 1 1)')),"
      " (3, 0, 0, 0, 0, 0, 0, 0, 2147483648, 0, 9223372036854775808, 0, 0, 0, b'0', NULL, '0000-00-00',"
      "  '-00:00:01', '100:00:00', '0000-00-00 00:00:00', '0000-00-00 00:00:00', NULL, 0, NULL, NULL, NULL, NULL,"
      "  NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),"
      " (4, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,"
      "  NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,"
      "  NULL, NULL, NULL, NULL, NULL)");
  const std::string select = "SELECT * FROM all_types ORDER BY id";
  const std::vector<Row> text = TextRows(m, select);
  ASSERT_EQ(text.size(), 4u);
  PMYSQL_STMT s = Prepare(m, select);
  EXPECT_EQ(api.mysql_stmt_field_count(s), 39u);
  TParamDescs none;
  const std::vector<Row> binary = BinaryRows(s, none, &text);
  EXPECT_EQ(binary, text);
  // The column types did come in binary form.
  std::vector<uint8_t> types;
  for (const TMySqlFieldInfo& f : s->Fields()) types.push_back(f._Type);
  for (uint8_t t : {MYSQL_TYPE_TINY, MYSQL_TYPE_SHORT, MYSQL_TYPE_INT24, MYSQL_TYPE_LONG, MYSQL_TYPE_LONGLONG,
                    MYSQL_TYPE_FLOAT, MYSQL_TYPE_DOUBLE, MYSQL_TYPE_DATE, MYSQL_TYPE_TIME, MYSQL_TYPE_DATETIME,
                    MYSQL_TYPE_TIMESTAMP, MYSQL_TYPE_YEAR})
    EXPECT_NE(std::find(types.begin(), types.end(), t), types.end()) << int{t};
  // Executed again, with the statement's rows read to the end each time.
  EXPECT_EQ(BinaryRows(s, none, &text).size(), 4u);
  EXPECT_EQ(api.mysql_stmt_close(s), 0);
  EXPECT_EQ(TextRows(m, "SELECT COUNT(*) FROM all_types")[0][0], "4");
}

TParamDesc& Add(TParamDescs& params, uint16_t dataType, const Variant& value) {
  auto p = std::make_unique<TParamDesc>();
  p->SetDataType(dataType);
  p->SetParamType(pdInput);
  p->SetValue(value);
  return *params.Add(std::move(p));
}

TEST_F(StmtServerTest, ParametersOfEveryTypeRoundTrip) {
  TSharedRef<TBlob> wideMemo = TSharedRef<TBlob>::Adopt(new TBlob(true));
  wideMemo->SetAsString(u"넓은 메모 ü");
  TSharedRef<TBlob> bytes = TSharedRef<TBlob>::Adopt(new TBlob(false));
  bytes->SetAsBytes(std::string("\0\xFF\x10zz", 5));
  const UString longText(70000, u'긴');
  struct Case {
    const char* column;
    uint16_t dataType;
    Variant value;
    TBlob* blob;
    std::string text;  // as read back
  } const cases[] = {
      {"TINYINT", mtInt8, Variant(-128), nullptr, "-128"},
      {"TINYINT", mtBoolean, Variant(true), nullptr, "1"},
      {"SMALLINT", mtInt16, Variant(-32768), nullptr, "-32768"},
      {"INT", mtInt32, Variant(int32_t{-2147483647 - 1}), nullptr, "-2147483648"},
      {"SMALLINT UNSIGNED", mtUInt16, Variant(uint16_t{65535}), nullptr, "65535"},
      {"INT UNSIGNED", mtUInt32, Variant(uint32_t{4294967295u}), nullptr, "4294967295"},
      {"INT UNSIGNED", mtUInt32, Variant(uint32_t{2147483648u}), nullptr, "2147483648"},
      {"BIGINT", mtInt64, Variant(int64_t{-9223372036854775807LL - 1}), nullptr, "-9223372036854775808"},
      {"DOUBLE", mtFloat, Variant(1.5), nullptr, "1.5"},
      {"DECIMAL(10,4)", mtBCD, Variant(Currency::FromRaw(123400)), nullptr, "12.3400"},
      {"DECIMAL(30,9)", mtFMTBCD, Variant(StrToBcd(u"-123456789.123456789", InvariantFormatSettings())), nullptr,
       "-123456789.123456789"},
      {"DATE", mtDate, Variant::FromDate(EncodeDate(2021, 3, 4)), nullptr, "2021-03-04"},
      {"DATE", mtDate, Variant::FromDate(kZeroDateStandIn), nullptr, "0000-00-00"},
      {"DATETIME(3)", mtDateTime, Variant::FromDate(EncodeDateTime(2021, 3, 4, 5, 6, 7, 250)), nullptr,
       "2021-03-04 05:06:07.250"},
      {"DATETIME", mtDateTime, Variant::FromDate(kZeroDateStandIn), nullptr, "0000-00-00 00:00:00"},
      {"TIME", mtTime, Variant::FromDate(EncodeTime(5, 6, 7, 0)), nullptr, "05:06:07"},
      {"TIME", mtTime, Variant::FromDate(1.5), nullptr, "36:00:00"},
      {"TIME", mtTime, Variant::FromDate(-0.5), nullptr, "-12:00:00"},
      {"TIME(3)", mtTime, Variant::FromDate(-(34 + (22 * 3600 + 59 * 60 + 59.5) / 86400.0)), nullptr, "-838:59:59.500"},
      {"VARCHAR(20)", mtString, Variant(u"it's \\ \"q\""), nullptr, "it's \\ \"q\""},
      {"VARCHAR(20)", mtWideString, Variant(u"한글 ü €"), nullptr, "한글 ü €"},
      {"MEDIUMTEXT", mtWideString, Variant(longText), nullptr, ToUtf8(longText)},
      {"TEXT", mtWideMemo, Variant(), wideMemo.Get(), "넓은 메모 ü"},
      {"BLOB", mtBlob, Variant(), bytes.Get(), std::string("\0\xFF\x10zz", 5)},
      {"VARBINARY(10)", mtVarBytes, Variant::FromBytes(std::string("\0\1", 2)), nullptr, std::string("\0\1", 2)},
      {"INT", mtInt32, Variant::Null(), nullptr, kNull},
  };
  PMYSQL m = Connect();
  std::string ddl = "CREATE OR REPLACE TABLE param_t (", insert = "INSERT INTO param_t VALUES (", select = "SELECT ";
  TParamDescs params;
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    const std::string name = "c" + std::to_string(i), sep = i ? ", " : "";
    ddl += sep + name + " " + c.column;
    insert += sep + "?";
    select += sep + name;
    TParamDesc& p = Add(params, c.dataType, c.value);
    if (c.blob) {
      p.SetObject(c.blob);
      p.SetNull(false);
    }
  }
  Run(m, ddl + ") CHARACTER SET utf8mb4");
  PMYSQL_STMT ins = Prepare(m, insert + ")");
  EXPECT_EQ(api.mysql_stmt_param_count(ins), std::size(cases));
  ASSERT_EQ(api._mysql_stmt_execute(ins, params, true), 0) << api.mysql_stmt_error(ins);
  EXPECT_EQ(api.mysql_stmt_affected_rows(ins), 1);
  // The same types again: the values alone go to the server this time.
  ASSERT_EQ(api._mysql_stmt_execute(ins, params, true), 0) << api.mysql_stmt_error(ins);
  EXPECT_EQ(api.mysql_stmt_close(ins), 0);

  const std::vector<Row> text = TextRows(m, select + " FROM param_t");
  ASSERT_EQ(text.size(), 2u);
  PMYSQL_STMT sel = Prepare(m, select + " FROM param_t");
  TParamDescs none;
  const std::vector<Row> binary = BinaryRows(sel, none, &text);
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(std::to_string(i) + " " + cases[i].column);
    const std::string& got = text[0][i];
    EXPECT_EQ(got.size(), cases[i].text.size());
    if (got.size() < 100) EXPECT_EQ(got, cases[i].text);
    else EXPECT_TRUE(got == cases[i].text);
    EXPECT_EQ(text[1][i], got);
  }
  EXPECT_EQ(binary, text);
  EXPECT_EQ(api.mysql_stmt_close(sel), 0);
}

TEST_F(StmtServerTest, DatesAndTimesReadBackAsTheValuesSent) {
  PMYSQL m = Connect();
  const TDateTime maxTime = 34 + 82799 / 86400.0;  // 838:59:59
  const TDateTime values[] = {1.5, -0.5, EncodeTime(5, 6, 7, 8), maxTime, -maxTime};
  PMYSQL_STMT s = Prepare(m, "SELECT CAST(? AS TIME(3)), CAST(? AS DATETIME(3)), CAST(? AS DATE)");
  // Bound once: the binds stay with the statement from one execution to the next.
  ASSERT_EQ(api._mysql_stmt_bind_result(s), 0);
  for (TDateTime t : values) {
    SCOPED_TRACE(t);
    TParamDescs params;
    Add(params, mtTime, Variant::FromDate(t));
    Add(params, mtDateTime, Variant::FromDate(kZeroDateStandIn));
    Add(params, mtDate, Variant::FromDate(EncodeDate(1, 1, 1)));
    ASSERT_EQ(api._mysql_stmt_execute(s, params, true), 0) << api.mysql_stmt_error(s);
    PMYSQL_ROW row = nullptr;
    ASSERT_EQ(api._mysql_stmt_fetch(s, row), 0) << api.mysql_stmt_error(s);
    std::vector<Variant> got;
    for (int i = 0; i < 3; ++i) {
      const TMySqlBind& b = row->Binds[static_cast<size_t>(i)];
      ASSERT_FALSE(b.IsNull) << i;
      got.push_back(BinaryValue(s->Fields()[static_cast<size_t>(i)], row->Buffer.subspan(b.Offset, b.Length)));
    }
    EXPECT_NEAR(got[0].AsDateTime(), t, 0.5 / kMSecsPerDay);
    EXPECT_EQ(got[1].AsDateTime(), kZeroDateStandIn);
    EXPECT_EQ(got[2].AsDateTime(), EncodeDate(1, 1, 1));
    EXPECT_EQ(api._mysql_stmt_fetch(s, row), MYSQL_NO_DATA);
  }
  api.mysql_stmt_close(s);
}

TEST_F(StmtServerTest, ValuesBeyondOnePacketGoBothWays) {
  PMYSQL m = Connect();
  PMYSQL_STMT s = Prepare(m, "SELECT ?, LENGTH(?)");
  std::string big(0xFFFFFF + 100, 'x');
  big[0] = '\0';
  big.back() = '\xFF';
  TParamDescs params;
  Add(params, mtBlob, Variant::FromBytes(big));
  Add(params, mtBlob, Variant::FromBytes(big));
  ASSERT_EQ(api._mysql_stmt_bind_result(s), 0);
  ASSERT_EQ(api._mysql_stmt_execute(s, params, true), 0) << api.mysql_stmt_error(s);
  PMYSQL_ROW row = nullptr;
  ASSERT_EQ(api._mysql_stmt_fetch(s, row), 0) << api.mysql_stmt_error(s);
  std::vector<uint32_t> lengths;
  api._mysql_stmt_fetch_lengths(row, lengths);
  ASSERT_EQ(lengths[0], big.size());
  EXPECT_EQ(std::memcmp(big.data(), api._mysql_stmt_fetch_value_ptr(s, 0), big.size()), 0);
  EXPECT_EQ(AsText(s->Fields()[1], row->Buffer.subspan(row->Binds[1].Offset, lengths[1])), std::to_string(big.size()));
  EXPECT_EQ(api._mysql_stmt_fetch(s, row), MYSQL_NO_DATA);
  api.mysql_stmt_close(s);
}

TEST_F(StmtServerTest, StatementStatesAndServerErrors) {
  PMYSQL m = Connect();
  PMYSQL_STMT s = api.mysql_stmt_init(m);
  TParamDescs none;
  EXPECT_EQ(api._mysql_stmt_bind_result(s), 2029);
  EXPECT_EQ(api.mysql_stmt_error(s), "Statement not prepared");
  EXPECT_EQ(api._mysql_stmt_execute(s, none, true), 2029);
  const std::string bad = "SELECT * FROM no_such_table";
  EXPECT_EQ(api.mysql_stmt_prepare(s, bad.data(), bad.size()), 1146);
  EXPECT_EQ(api.mysql_stmt_error(s).rfind("\r\n#42S02", 0), 0u) << api.mysql_stmt_error(s);
  const std::string noResult = "DO ?";
  ASSERT_EQ(api.mysql_stmt_prepare(s, noResult.data(), noResult.size()), 0);
  EXPECT_EQ(api._mysql_stmt_bind_result(s), 2000);
  // Parameters missing: nothing but the header goes, and the server refuses.
  EXPECT_NE(api._mysql_stmt_execute(s, none, true), 0);
  EXPECT_EQ(api.mysql_stmt_errno(s) / 1000, 1u) << api.mysql_stmt_error(s);

  const std::string rows = "SELECT seq FROM seq_1_to_1000";
  ASSERT_EQ(api.mysql_stmt_prepare(s, rows.data(), rows.size()), 0);
  ASSERT_EQ(api._mysql_stmt_bind_result(s), 0);
  ASSERT_EQ(api._mysql_stmt_execute(s, none, true), 0);
  PMYSQL_ROW row = nullptr;
  ASSERT_EQ(api._mysql_stmt_fetch(s, row), 0);
  EXPECT_EQ(api.mysql_real_query(m, "SELECT 2", 8), 2014);
  // A second statement of the session leaves the first one's rows alone.
  PMYSQL_STMT other = api.mysql_stmt_init(m);
  EXPECT_EQ(api.mysql_stmt_free_result(other), 0);
  EXPECT_EQ(api.mysql_stmt_close(other), 0);
  ASSERT_EQ(api._mysql_stmt_fetch(s, row), 0);
  EXPECT_EQ(BinaryValue(s->Fields()[0], row->Buffer.subspan(row->Binds[0].Offset, row->Binds[0].Length)).AsInt64(), 2);
  EXPECT_EQ(api.mysql_stmt_free_result(s), 0);  // skips the other 998
  EXPECT_EQ(api._mysql_stmt_fetch(s, row), MYSQL_NO_DATA);
  EXPECT_EQ(TextRows(m, "SELECT 2")[0][0], "2");
  // Closing with rows unread leaves the session usable too.
  ASSERT_EQ(api._mysql_stmt_execute(s, none, true), 0);
  EXPECT_EQ(api.mysql_stmt_close(s), 0);
  EXPECT_EQ(TextRows(m, "SELECT 3")[0][0], "3");
  // Both server statements were released: the one prepared again and the last.
  EXPECT_EQ(TextRows(m, "SHOW SESSION STATUS LIKE 'Com_stmt_close'")[0][1], "2");
}

TEST_F(StmtServerTest, StatementsOfAKilledOrClosedSessionFailInsteadOfTouchingIt) {
  PMYSQL a = Connect();
  PMYSQL admin = Connect();
  PMYSQL_STMT s = Prepare(a, "SELECT 1");
  ASSERT_EQ(api.mysql_kill(admin, api.mysql_thread_id(a)), 0) << api.mysql_error(admin);
  TParamDescs none;
  const int first = api._mysql_stmt_execute(s, none, true);
  EXPECT_TRUE(first == 2013 || first == 1927) << first;
  EXPECT_EQ(api._mysql_stmt_execute(s, none, true), 2013);
  EXPECT_EQ(api.mysql_stmt_error(s), "Lost connection to MySQL server during query");
  EXPECT_EQ(api.mysql_ping(a), 2013);
  // The provider replaces the session: the statement's handle stays, dead.
  Forget(a);
  api.mysql_close(a);
  EXPECT_EQ(api._mysql_stmt_execute(s, none, true), 2006);
  PMYSQL_ROW row = nullptr;
  EXPECT_EQ(api._mysql_stmt_fetch(s, row), 2006);
  EXPECT_EQ(api.mysql_stmt_close(s), 0);
}

// MariaDB leaves a prepared statement's column definitions out while they
// are unchanged; after the table changes it sends them again, and the
// statement reads its rows with the new ones.
TEST_F(StmtServerTest, RepeatedExecutionsReuseTheColumnsUntilTheTableChanges) {
  PMYSQL m = Connect();
  ASSERT_TRUE(m->CacheMetadata()) << "the test server offers MariaDB's metadata cache";
  Run(m, "CREATE OR REPLACE TABLE stmt_meta_cache (id INT NOT NULL PRIMARY KEY, name VARCHAR(20))");
  Run(m, "INSERT INTO stmt_meta_cache SELECT seq, CONCAT('n', seq) FROM seq_1_to_50");
  PMYSQL_STMT s = Prepare(m, "SELECT * FROM stmt_meta_cache WHERE id = ?");
  TParamDescs params;
  auto p = std::make_unique<TParamDesc>();
  p->SetDataType(mtInt32);
  TParamDesc& id = *params.Add(std::move(p));
  int reused = 0;
  for (int i = 1; i <= 200; ++i) {
    const int key = i % 50 + 1;
    id.SetValue(Variant(key));
    const std::string k = std::to_string(key);
    ASSERT_EQ(BinaryRows(s, params), (std::vector<Row>{{k, "n" + k}})) << "execution " << i;
    reused += s->ColumnsReused() ? 1 : 0;
  }
  // The prepare described the columns; at most the first execution repeats them.
  EXPECT_GE(reused, 199);

  struct Change {
    const char* alter;
    std::vector<uint8_t> types;
    Row row;  // of id 7
  } const changes[] = {
      {"ALTER TABLE stmt_meta_cache ADD COLUMN extra VARCHAR(5) NOT NULL DEFAULT 'x'",
       {MYSQL_TYPE_LONG, MYSQL_TYPE_VAR_STRING, MYSQL_TYPE_VAR_STRING},
       {"7", "n7", "x"}},
      {"ALTER TABLE stmt_meta_cache MODIFY id BIGINT NOT NULL, DROP COLUMN name",
       {MYSQL_TYPE_LONGLONG, MYSQL_TYPE_VAR_STRING},
       {"7", "x"}},
  };
  for (const Change& c : changes) {
    SCOPED_TRACE(c.alter);
    Run(m, c.alter);
    id.SetValue(Variant(7));
    EXPECT_EQ(BinaryRows(s, params), std::vector<Row>{c.row});
    EXPECT_FALSE(s->ColumnsReused());
    std::vector<uint8_t> types;
    for (const TMySqlFieldInfo& f : s->Fields()) types.push_back(f._Type);
    EXPECT_EQ(types, c.types);
    EXPECT_EQ(api.mysql_stmt_field_count(s), c.types.size());
    // And kept again from then on.
    EXPECT_EQ(BinaryRows(s, params).size(), 1u);
    EXPECT_TRUE(s->ColumnsReused());
    EXPECT_EQ(s->Fields().size(), c.types.size());
  }
  api.mysql_stmt_close(s);
  Run(m, "DROP TABLE stmt_meta_cache");
}

}  // namespace
}  // namespace vix
