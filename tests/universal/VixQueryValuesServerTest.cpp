// The query reading what a column can legally hold, on the private MariaDB
// server of the test services: the full unsigned 64-bit range, results wider
// than a record may be, and repeated column names. Skipped locally when the
// server is not running.
#include <cstdlib>
#include <string>

#include "MySql/MySQLVixProvider.h"
#include "MySql/MySqlApiDirect.h"
#include "TestSupport.h"
#include "rtl/CodePage.h"
#include "universal/Vix.h"

namespace vix {
namespace {

using test::EnvOr;

struct VixQueryValuesServerTest : ::testing::Test {
  TMySQLAPIDirect api;
  PMYSQL admin = nullptr;
  std::string host;
  const std::string database = "vixvalues_" + test::ProcessTag();
  TVixConnection connection;
  TVixQuery query;

  void SetUp() override {
    host = EnvOr("VIX_MYSQL_HOST");
    VIX_REQUIRE_COMPONENT(!host.empty(), "MariaDB test server (VIX_MYSQL_HOST)");
    const int port = std::atoi(EnvOr("VIX_MYSQL_PORT", "0").c_str());
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
  void Open(const UString& sql) {
    query.Close();
    query.SetSQL(sql);
    query.Open();
  }
};

TEST_F(VixQueryValuesServerTest, UnsignedSixtyFourBitValuesReadExactly) {
  Admin("CREATE TABLE u (id INT, big BIGINT UNSIGNED, bits BIT(64))");
  Admin(
      "INSERT INTO u VALUES (1, 18446744073709551615, "
      "b'1111111111111111111111111111111111111111111111111111111111111111'),"
      " (2, 9223372036854775808, b'1000000000000000000000000000000000000000000000000000000000000000'),"
      " (3, 9223372036854775807, b'0111111111111111111111111111111111111111111111111111111111111111'), (4, 0, 0)");
  struct Row {
    const char16_t* text;
    uint64_t value;
    bool fitsInt64;
  };
  const Row rows[] = {
      {u"18446744073709551615", UINT64_MAX, false},
      {u"9223372036854775808", uint64_t{1} << 63, false},
      {u"9223372036854775807", INT64_MAX, true},
      {u"0", 0, true},
  };
  Open(u"SELECT big, bits FROM u ORDER BY id");
  ASSERT_EQ(query.RecordCount(), 4);
  for (const Row& r : rows) {
    SCOPED_TRACE(Utf16ToUtf8(r.text));
    for (const char16_t* name : {u"big", u"bits"}) {
      TField& f = query.FieldByName(name);
      EXPECT_EQ(f.AsString(), r.text);
      const Variant v = f.AsVariant();
      EXPECT_EQ(v.VarType(), varUInt64);
      EXPECT_EQ(v.AsUInt64(), r.value);
      if (r.fitsInt64) {
        EXPECT_EQ(f.AsLargeInt(), static_cast<int64_t>(r.value));
      } else {
        // Asked as a type that cannot hold the value: the error names the value and the field.
        try {
          f.AsLargeInt();
          ADD_FAILURE() << "no error";
        } catch (const EDatabaseError& e) {
          EXPECT_EQ(e.Message(), UString(r.text) + u" is not a valid value for field '" + name +
                                     u"'. The allowed range is 0 to 9223372036854775807");
        }
      }
    }
    query.Next();
  }
}

TEST_F(VixQueryValuesServerTest, AResultWiderThanARecordFailsTheOpenCleanly) {
  Admin("CREATE TABLE w (c VARCHAR(21844)) CHARACTER SET utf8");
  Admin("INSERT INTO w VALUES ('x')");
  // 50,000 columns of 21,844 characters held in the record: 2.2 GB of record.
  query.SetFlatBuffers(true);
  std::u16string sql = u"SELECT c";
  for (int i = 1; i < 50000; ++i) sql += u",c";
  sql += u" FROM w";
  try {
    Open(sql);
    ADD_FAILURE() << "the open succeeded";
  } catch (const EDatabaseError& e) {
    EXPECT_NE(e.Message().find(u"exceeds the limit of 67108864 bytes"), UString::npos) << Utf16ToUtf8(e.Message());
  }
  EXPECT_FALSE(query.Active());
  // The connection stays usable.
  Open(u"SELECT c FROM w");
  EXPECT_EQ(query.FieldByName(u"c").AsString(), u"x");
}

TEST_F(VixQueryValuesServerTest, RepeatedColumnNamesAreMadeUnique) {
  std::u16string sql = u"SELECT 1 AS a, 2 AS A, 3 AS a_1";
  for (int i = 4; i <= 3000; ++i) sql += u", " + IntToStr(i) + u" AS a";
  Open(sql);
  ASSERT_EQ(query.FieldCount(), 3000);
  EXPECT_EQ(query.FieldByName(u"a").AsInteger(), 1);
  EXPECT_EQ(query.FieldByName(u"A_1").AsInteger(), 2);
  EXPECT_EQ(query.FieldByName(u"a_1_1").AsInteger(), 3);
  EXPECT_EQ(query.FieldByName(u"a_2").AsInteger(), 4);
  EXPECT_EQ(query.FieldByName(u"a_2998").AsInteger(), 3000);
}

}  // namespace
}  // namespace vix
