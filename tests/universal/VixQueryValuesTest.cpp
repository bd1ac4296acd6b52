// Values read through the query's fields and written back through its
// parameters, on the text path and on the prepared path of the same query,
// against the private MariaDB server of the test services.
#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "MySql/MySQLVixProvider.h"
#include "MySql/MySqlApiDirect.h"
#include "TestSupport.h"
#include "rtl/CodePage.h"
#include "rtl/Currency.h"
#include "rtl/DateUtils.h"
#include "universal/Vix.h"

namespace vix {
namespace {

using test::EnvOr;

constexpr bool kBothPaths[] = {false, true};

const char* PathName(bool prepared) {
  return prepared ? "prepared" : "text";
}

struct VixQueryValuesTest : ::testing::Test {
  TMySQLAPIDirect api;
  PMYSQL admin = nullptr;
  std::string host;
  int port = 0;
  const std::string database = "vixvalues_" + test::ProcessTag();
  TVixConnection connection;
  TVixQuery query;

  void SetUp() override {
    host = EnvOr("VIX_MYSQL_HOST");
    VIX_REQUIRE_COMPONENT(!host.empty(), "MariaDB test server (VIX_MYSQL_HOST)");
    port = std::atoi(EnvOr("VIX_MYSQL_PORT", "0").c_str());
    RegisterMySQLVixProvider();
    admin = api.mysql_init(nullptr);
    api.mysql_options(admin, MYSQL_SET_CHARSET_NAME, std::string("utf8mb4"));
    ASSERT_EQ(api.mysql_real_connect(admin, host, EnvOr("VIX_MYSQL_USER", "vix"), EnvOr("VIX_MYSQL_PASSWORD"),
                                     EnvOr("VIX_MYSQL_DATABASE", "vixtest"), port, "", 0),
              admin)
        << api.mysql_error(admin);
    Admin("DROP DATABASE IF EXISTS " + database);
    Admin("CREATE DATABASE " + database + " CHARACTER SET utf8mb4");
    Admin("USE " + database);
    Admin("SET NAMES utf8mb4");
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
    query.UnPrepare();
    connection.Close();
    if (admin) {
      Admin("DROP DATABASE IF EXISTS " + database);
      api.mysql_close(admin);
    }
  }

  void Admin(const std::string& sql) {
    ASSERT_EQ(api.mysql_real_query(admin, sql.data(), sql.size()), 0) << sql << ": " << api.mysql_error(admin);
  }

  // Opens `q` with `sql` on the text path or prepared; `setParams` fills the
  // parameters after the text is set.
  static void Open(TVixQuery& q, const UString& sql, bool prepared,
                   const std::function<void(TVixQuery&)>& setParams = nullptr) {
    q.Close();
    q.SetSQL(sql);
    if (setParams) setParams(q);
    if (prepared) q.Prepare();
    q.Open();
    EXPECT_EQ(q.Prepared(), prepared);
  }
  void Open(const UString& sql, bool prepared, const std::function<void(TVixQuery&)>& setParams = nullptr) {
    Open(query, sql, prepared, setParams);
  }
};

TDateTime Hms(int sign, int hours, int minutes, int seconds, int msec = 0) {
  return sign * ((hours * 3600.0 + minutes * 60.0 + seconds) * 1000.0 + msec) / 86400000.0;
}

// A TIME keeps its sign and its days through every accessor, and a
// parameter made from the field's value finds the same row again.
TEST_F(VixQueryValuesTest, TimeKeepsItsSignAndDays) {
  Admin("CREATE TABLE tms (id INT PRIMARY KEY, t TIME(3))");
  Admin(
      "INSERT INTO tms VALUES (1, '-838:59:59'), (2, '100:00:00'), (3, '-00:00:01'), (4, '12:34:56.500'),"
      " (5, '838:59:59'), (6, '-25:00:00.250'), (7, NULL)");
  struct Case {
    UString text;
    TDateTime days;
  };
  const Case cases[] = {
      {u"-838:59:59", Hms(-1, 838, 59, 59)}, {u"100:00:00", Hms(1, 100, 0, 0)},
      {u"-00:00:01", Hms(-1, 0, 0, 1)},      {u"12:34:56", Hms(1, 12, 34, 56, 500)},
      {u"838:59:59", Hms(1, 838, 59, 59)},   {u"-25:00:00.250", Hms(-1, 25, 0, 0, 250)},
  };
  for (bool prepared : kBothPaths) {
    SCOPED_TRACE(PathName(prepared));
    Open(u"SELECT id, t FROM tms ORDER BY id", prepared);
    ASSERT_EQ(query.RecordCount(), 7);
    TField& t = query.FieldByName(u"t");
    ASSERT_EQ(t.DataType(), ftTime);
    for (const Case& c : cases) {
      SCOPED_TRACE(ToUtf8(c.text));
      ASSERT_FALSE(t.IsNull());
      EXPECT_EQ(t.AsString(), c.text);
      auto& time = static_cast<TDateTimeField&>(t);
      EXPECT_NEAR(time.AsDateTime(), c.days, 1e-10);
      EXPECT_NEAR(t.AsFloat(), c.days, 1e-10);
      const Variant v = t.AsVariant();
      EXPECT_EQ(v.VarType(), varDate);
      EXPECT_NEAR(v.AsDateTime(), c.days, 1e-10);

      // Written back on both paths, as a TIME parameter with the field's
      // value or assigned from the field itself: the same value.
      for (bool back : kBothPaths) {
        for (bool assign : {false, true}) {
          TVixQuery find;
          find.SetConnection(&connection);
          Open(find, u"SELECT COUNT(*) AS n FROM tms WHERE t = :t", back, [&](TVixQuery& q) {
            if (assign) {
              q.ParamByName(u"t").AssignField(t);
              return;
            }
            q.ParamByName(u"t").SetDataType(ftTime);
            q.ParamByName(u"t").SetValue(v);
          });
          EXPECT_EQ(find.FieldByName(u"n").AsInteger(), 1) << PathName(back) << (assign ? ", assigned" : "");
        }
      }
      query.Next();
    }
    EXPECT_TRUE(t.IsNull());
    EXPECT_EQ(t.AsString(), u"");
    EXPECT_TRUE(t.AsVariant().IsNull());
  }
}

// A prepared query runs again with the parameters' new values and keeps its
// field definitions; a text change unprepares it.
TEST_F(VixQueryValuesTest, APreparedQueryRunsAgainWithNewValues) {
  query.SetSQL(u"SELECT :a + 1 AS v, :b AS w");
  query.ParamByName(u"a").SetAsInteger(1);
  query.ParamByName(u"b").SetAsString(u"가");
  query.Prepare();
  ASSERT_TRUE(query.Prepared());
  for (int a : {1, 41, -3}) {
    query.ParamByName(u"a").SetAsInteger(a);
    query.Open();
    EXPECT_EQ(query.FieldByName(u"v").AsInteger(), a + 1);
    EXPECT_EQ(query.FieldByName(u"w").AsString(), u"가");
    query.Close();
    EXPECT_TRUE(query.Prepared());
  }
  query.SetSQL(u"SELECT 7 AS v");
  EXPECT_FALSE(query.Prepared());
  query.Open();
  EXPECT_EQ(query.FieldByName(u"v").AsInteger(), 7);
  // The statement ends with its session: a closed connection unprepares,
  // and the query prepares and runs again on the next session.
  query.Close();
  query.Prepare();
  connection.Close();
  EXPECT_FALSE(query.Prepared());
  query.Prepare();
  query.Open();
  EXPECT_TRUE(query.Prepared());
  EXPECT_EQ(query.FieldByName(u"v").AsInteger(), 7);
}

// Every parameter value the text path sends, the prepared path sends too,
// and the server sees the same value.
TEST_F(VixQueryValuesTest, ParametersAgreeOnBothPaths) {
  struct Case {
    const char* what;
    UString expression;  // of :p
    std::function<void(TDAParam&)> set;
    UString expected;  // AsString of the result; "" for NULL
    bool null;
  };
  const Case cases[] = {
      {"unassigned", u"CAST(:p AS CHAR)", [](TDAParam&) {}, u"", true},
      {"null text", u"CAST(:p AS CHAR)", [](TDAParam& p) { p.SetDataType(ftWideString); }, u"", true},
      {"null blob", u"CAST(:p AS CHAR)", [](TDAParam& p) { p.SetDataType(ftBlob); }, u"", true},
      {"text", u"CAST(:p AS CHAR)", [](TDAParam& p) { p.SetAsString(u"한국어 'x'"); }, u"한국어 'x'", false},
      {"integer", u"CAST(:p AS SIGNED)", [](TDAParam& p) { p.SetAsInteger(-42); }, u"-42", false},
      {"int64", u"CAST(:p AS CHAR)", [](TDAParam& p) { p.SetAsLargeInt(INT64_MIN); }, u"-9223372036854775808", false},
      {"uint64 variant", u"CAST(:p AS CHAR)", [](TDAParam& p) { p.SetValue(Variant(uint64_t{18446744073709551615u})); },
       u"18446744073709551615", false},
      {"uint64 above the signed range, typed", u"CAST(:p AS CHAR)",
       [](TDAParam& p) {
         p.SetDataType(ftLargeint);
         p.SetValue(Variant(uint64_t{9223372036854775808u}));
       },
       u"9223372036854775808", false},
      {"currency", u"CAST(:p AS DECIMAL(20,4))",
       [](TDAParam& p) {
         p.SetDataType(ftCurrency);
         p.SetValue(Variant(StrToCurr(u"-1234.5678", InvariantFormatSettings())));
       },
       u"-1234.5678", false},
      {"null currency", u"CAST(:p AS CHAR)", [](TDAParam& p) { p.SetDataType(ftCurrency); }, u"", true},
      {"currency variant", u"CAST(:p AS DECIMAL(20,4))",
       [](TDAParam& p) { p.SetValue(Variant(StrToCurr(u"0.0001", InvariantFormatSettings()))); }, u"0.0001", false},
      {"float", u"CAST(:p AS CHAR)", [](TDAParam& p) { p.SetAsFloat(0.1); }, u"0.1", false},
      {"boolean", u"CAST(:p AS SIGNED)", [](TDAParam& p) { p.SetValue(Variant(true)); }, u"1", false},
      {"date-time", u"CAST(:p AS DATETIME(3))",
       [](TDAParam& p) { p.SetValue(Variant::FromDate(EncodeDateTime(2024, 1, 2, 3, 4, 5, 678))); },
       u"2024-01-02 03:04:05", false},
      {"time", u"TIME_TO_SEC(:p)",
       [](TDAParam& p) {
         p.SetDataType(ftTime);
         p.SetValue(Variant::FromDate(Hms(-1, 100, 0, 1)));
       },
       u"-360001", false},
      {"bytes", u"HEX(:p)", [](TDAParam& p) { p.SetAsBlob(std::string("\0\xFF'\\", 4)); }, u"00FF275C", false},
  };
  for (const Case& c : cases) {
    for (bool prepared : kBothPaths) {
      SCOPED_TRACE(std::string(c.what) + ", " + PathName(prepared));
      TVixQuery q;
      q.SetConnection(&connection);
      try {
        Open(q, UString(u"SELECT ") + c.expression + u" AS v", prepared,
             [&](TVixQuery& query) { c.set(query.ParamByName(u"p")); });
      } catch (const Exception& e) {
        ADD_FAILURE() << e.what();
        continue;
      }
      TField& v = q.FieldByName(u"v");
      EXPECT_EQ(v.IsNull(), c.null);
      EXPECT_EQ(v.AsString(), c.expected) << v.DataType();
    }
  }
}

// The prepared path tells a zero date from the real date 0100-01-01 and
// follows both zero-date options as the text path does.
TEST_F(VixQueryValuesTest, ZeroDatesAndRealDatesOnBothPaths) {
  Admin("SET SESSION sql_mode = ''");
  Admin("CREATE TABLE dts (id INT PRIMARY KEY, d DATE, dt DATETIME)");
  Admin(
      "INSERT INTO dts VALUES (1, '0100-01-01', '0100-01-01 00:00:00'), (2, '0000-00-00', '0000-00-00 00:00:00'),"
      " (3, '1899-12-30', '1899-12-30 00:00:00'), (4, '2024-02-29', '2024-02-29 12:00:00')");
  const TDateTime real100 = EncodeDate(100, 1, 1);
  for (bool nullForZero : {true, false}) {
    for (bool nullForVantic : {false, true}) {
      connection.Close();
      connection.SpecificOptions().Clear();
      connection.SpecificOptions().Add(u"MySQL.UseUnicode=True");
      connection.SpecificOptions().Add(nullForVantic ? u"MySQL.NullForZeroVanticDate=True"
                                                     : u"MySQL.NullForZeroVanticDate=False");
      query.SpecificOptions().Clear();
      query.SpecificOptions().Add(nullForZero ? u"NullForZeroDate=True" : u"NullForZeroDate=False");
      for (bool prepared : kBothPaths) {
        SCOPED_TRACE(std::string(PathName(prepared)) + (nullForZero ? ", NullForZeroDate" : "") +
                     (nullForVantic ? ", NullForZeroVanticDate" : ""));
        Open(u"SELECT d, dt FROM dts ORDER BY id", prepared);
        ASSERT_EQ(query.RecordCount(), 4);
        for (const char16_t* name : {u"d", u"dt"}) {
          auto& f = static_cast<TDateTimeField&>(query.FieldByName(name));
          query.First();
          EXPECT_FALSE(f.IsNull()) << "0100-01-01 is a date";
          EXPECT_EQ(f.AsDateTime(), real100);
          query.Next();
          EXPECT_EQ(f.IsNull(), nullForZero) << "the zero date";
          if (!nullForZero) {
            EXPECT_EQ(f.AsDateTime(), kZeroDateStandIn);
          }
          query.Next();
          EXPECT_EQ(f.IsNull(), nullForVantic) << "1899-12-30";
          if (!nullForVantic) {
            EXPECT_EQ(f.AsDateTime(), 0.0);
          }
          query.Next();
          EXPECT_EQ(f.AsDateTime(), name[1] ? EncodeDateTime(2024, 2, 29, 12, 0, 0, 0) : EncodeDate(2024, 2, 29));
        }
        query.Close();
        query.UnPrepare();
      }
    }
  }
}

// Decimals as FMTBCD: BIGINT UNSIGNED keeps its whole range and an unsigned
// DECIMAL(p,s) holds p digits, on both paths.
TEST_F(VixQueryValuesTest, UnsignedDecimalsWithFmtBcd) {
  Admin("CREATE TABLE decs (id INT PRIMARY KEY, u BIGINT UNSIGNED, du DECIMAL(10,2) UNSIGNED, ds DECIMAL(10,2))");
  Admin(
      "INSERT INTO decs VALUES (1, 0, 99999999.99, -99999999.99), (2, 18446744073709551615, 0.01, 99999999.99),"
      " (3, 9223372036854775808, 12345678.9, 0)");
  connection.Options().SetEnableFMTBCD(true);
  const UString expected[][3] = {
      {u"0", u"99999999.99", u"-99999999.99"},
      {u"18446744073709551615", u"0.01", u"99999999.99"},
      {u"9223372036854775808", u"12345678.9", u"0"},
  };
  for (bool prepared : kBothPaths) {
    SCOPED_TRACE(PathName(prepared));
    try {
      Open(u"SELECT u, du, ds FROM decs ORDER BY id", prepared);
    } catch (const Exception& e) {
      ADD_FAILURE() << e.what();
      query.UnPrepare();
      continue;
    }
    ASSERT_EQ(query.RecordCount(), 3);
    for (const auto& row : expected) {
      for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(query.Fields(i).DataType(), ftFMTBcd);
        EXPECT_EQ(query.Fields(i).AsString(), row[i]) << i;
      }
      query.Next();
    }
    query.Close();
    query.UnPrepare();
  }
}

// FieldsAsString: every value whole, Korean read as Unicode, and the same
// texts on the prepared path as the server writes on the text path.
TEST_F(VixQueryValuesTest, FieldsAsStringGivesTheServersTexts) {
  const char* columns[][2] = {
      {"b1", "TINYINT(1)"},   {"i8", "TINYINT"},    {"u8", "TINYINT UNSIGNED"}, {"i16", "SMALLINT(2)"},
      {"i32", "INT(1)"},      {"i64", "BIGINT(1)"}, {"u64", "BIGINT UNSIGNED"}, {"z", "INT(6) ZEROFILL"},
      {"f", "FLOAT"},         {"d", "DOUBLE"},      {"dc", "DECIMAL(10,2)"},    {"dt", "DATE"},
      {"dtm", "DATETIME(6)"}, {"dt0", "DATETIME"},  {"tm", "TIME(3)"},          {"yr", "YEAR"},
      {"vc", "VARCHAR(20)"},  {"ch", "CHAR(3)"},
  };
  std::string create = "CREATE TABLE fas (id INT PRIMARY KEY", cast = "SELECT id", names = "SELECT id";
  for (const auto& c : columns) {
    create += std::string(", ") + c[0] + " " + c[1];
    cast += std::string(", CAST(") + c[0] + " AS CHAR(40)) AS " + c[0];
    names += std::string(", ") + c[0];
  }
  Admin(create + ")");
  Admin(
      "INSERT INTO fas VALUES (1, -128, -128, 255, -32768, -2147483648, -9223372036854775808, 18446744073709551615,"
      " 42, -3.40282e38, -1.7976931348623157e308, -99999999.99, '1000-01-01', '9999-12-31 23:59:59.999999',"
      " '2024-01-02 03:04:05', '-838:59:59.999', 1901, '한국어 텍스트', '가나다')");
  Admin(
      "INSERT INTO fas VALUES (2, 1, 0, 0, 0, 0, 0, 0, 0, 0.5, 0.1, 0.01, '2024-02-29', '2024-02-29 00:00:00.000001',"
      " '2024-02-29 00:00:00', '00:00:00.001', 2000, '', 'a')");
  Admin(
      "INSERT INTO fas VALUES (3, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, 1e-5, 1e15, NULL, NULL, NULL,"
      " NULL, NULL, NULL, NULL, NULL)");
  Admin(
      "INSERT INTO fas (id, f, d) VALUES (4, 1.2345678, 1e-15), (5, 16777217, 1234567890123456.7), (6, 1e-20, 1e16),"
      " (7, 123456789, -0.000123456789012345)");
  // The texts the server writes, read as texts.
  TVixQuery ref;
  ref.SetConnection(&connection);
  ref.SetSQL(Utf8ToUtf16(cast + " FROM fas ORDER BY id"));
  ref.Open();
  ASSERT_EQ(ref.RecordCount(), 7);
  EXPECT_EQ(ref.FieldByName(u"vc").AsString(), u"한국어 텍스트");
  query.SpecificOptions().Add(u"FieldsAsString=True");
  for (bool prepared : kBothPaths) {
    SCOPED_TRACE(PathName(prepared));
    Open(Utf8ToUtf16(names + " FROM fas ORDER BY id"), prepared);
    ASSERT_EQ(query.RecordCount(), 7);
    ref.First();
    for (int r = 1; r <= 7; ++r) {
      for (const auto& c : columns) {
        const UString name = Utf8ToUtf16(c[0]);
        TField& f = query.FieldByName(name);
        EXPECT_TRUE(f.DataType() == ftString || f.DataType() == ftWideString) << c[0];
        EXPECT_EQ(f.AsString(), ref.FieldByName(name).AsString()) << c[0] << " row " << r;
        EXPECT_EQ(f.IsNull(), ref.FieldByName(name).IsNull()) << c[0] << " row " << r;
      }
      query.Next();
      ref.Next();
    }
    query.Close();
    query.UnPrepare();
  }
}

}  // namespace
}  // namespace vix
