// The metadata dataset and the connection's name lists on a universal
// connection with the MySQL provider, each kind compared with what the
// server's own information_schema says, in a database of this process.
#include <algorithm>
#include <string>
#include <vector>

#include "Common/DAMetaData.h"
#include "MySql/MyKeyInfo.h"
#include "MySql/MySQLVixProvider.h"
#include "tests/MySql/CommandServer.h"
#include "universal/Vix.h"

namespace vix {
namespace {

struct VixMetaDataServerTest : test::CommandServer {
  const UString database = U("vixmeta_" + test::ProcessTag());
  TVixConnection connection;
  TDAMetaData meta;

  void SetUp() override {
    CommandServer::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    Exec(u"DROP DATABASE IF EXISTS " + database);
    Exec(u"CREATE DATABASE " + database);
    Exec(u"USE " + database);
    for (const char16_t* sql : {
             u"CREATE TABLE meta_t1 (id INT PRIMARY KEY, name VARCHAR(10) NOT NULL DEFAULT 'x', c DECIMAL(8,2))",
             u"CREATE TABLE `이름 표` (a INT NOT NULL, b INT NOT NULL, UNIQUE KEY ub (b, a), KEY ia (a DESC))",
             u"CREATE TABLE meta_three (x INT, y INT, z INT, PRIMARY KEY (z, x, y))",
             u"CREATE TABLE meta_child (id INT PRIMARY KEY, t1 INT,"
             u" CONSTRAINT fk_t1 FOREIGN KEY (t1) REFERENCES meta_t1 (id))",
             u"CREATE VIEW meta_v AS SELECT id FROM meta_t1",
             u"CREATE PROCEDURE meta_p(IN a INT, OUT b VARCHAR(5), INOUT c INT) SET b = 'x'",
             u"CREATE FUNCTION meta_f(x INT, y VARCHAR(7)) RETURNS VARCHAR(20) RETURN 'r'",
         })
      Exec(sql);
    RegisterMySQLVixProvider();
    connection.SetProviderName(u"MySQL");
    connection.SpecificOptions().Add(u"MySQL.UseUnicode=True");
    connection.SetServer(U(host));
    connection.SetPort(port);
    connection.SetDatabase(database);
    connection.SetUsername(U(user));
    connection.SetPassword(U(password));
    meta.SetConnection(&connection);
  }
  void TearDown() override {
    meta.Close();
    connection.Close();
    if (conn) Exec(u"DROP DATABASE IF EXISTS " + database);
  }

  static std::string Joined(const std::vector<std::string>& values) {
    std::string row;
    for (size_t i = 0; i < values.size(); ++i) row += (i ? "|" : "") + values[i];
    return row;
  }
  // The rows of `kind`, each as the given columns joined with "|".
  std::vector<std::string> Rows(const UString& kind, const UString& restrictions,
                                std::initializer_list<const char16_t*> columns) {
    meta.Close();
    meta.SetMetaDataKind(kind);
    meta.SetRestrictions(restrictions);
    meta.Open();
    std::vector<std::string> rows;
    for (; !meta.Eof(); meta.Next()) {
      std::vector<std::string> values;
      for (const char16_t* c : columns) values.push_back(ToUtf8(meta.FieldByName(c).AsString()));
      rows.push_back(Joined(values));
    }
    return rows;
  }
  // The same question put to information_schema directly.
  std::vector<std::string> Server(const UString& sql) {
    std::vector<std::string> rows;
    for (const auto& r : QueryRows(*conn, sql, {{u"db", database}})) {
      std::vector<std::string> values;
      for (const Variant& v : r) values.push_back(v.IsNull() ? std::string() : ToUtf8(v.AsString()));
      rows.push_back(Joined(values));
    }
    return rows;
  }
  using Strings = std::vector<std::string>;
};

TEST_F(VixMetaDataServerTest, Tables) {
  const Strings local = Rows(u"Tables", u"SCOPE=LOCAL\nTABLE_SCHEMA=mysql", {u"TABLE_SCHEMA", u"TABLE_NAME"});
  EXPECT_EQ(local, Server(u"SELECT TABLE_SCHEMA, TABLE_NAME FROM information_schema.TABLES WHERE TABLE_SCHEMA = :db"
                          u" ORDER BY TABLE_SCHEMA, TABLE_NAME"));
  EXPECT_EQ(local.size(), 5u);
  EXPECT_EQ(Rows(u" TABLES ", u"TABLE_SCHEMA=" + database + u"\r\nTABLE_TYPE=view, base table,VIEW,",
                 {u"TABLE_NAME", u"TABLE_TYPE"}),
            Server(u"SELECT TABLE_NAME, TABLE_TYPE FROM information_schema.TABLES WHERE TABLE_SCHEMA = :db"
                   u" ORDER BY TABLE_NAME"));
  EXPECT_EQ(Rows(u"tables", u"TABLE_SCHEMA=`" + database + u"`\nTABLE_TYPE=VIEW", {u"TABLE_NAME"}), Strings{"meta_v"});
  EXPECT_EQ(Rows(u"tables", u"TABLE_SCHEMA=" + database + u"\nTABLE_NAME=`이름 표`", {u"TABLE_NAME"}),
            Strings{"이름 표"});
}

TEST_F(VixMetaDataServerTest, Columns) {
  const Strings columns = Rows(u"Columns", u"TABLE_SCHEMA=" + database + u"\nTABLE_NAME=meta_t1",
                               {u"COLUMN_NAME", u"POSITION", u"DATA_TYPE", u"DATA_LENGTH", u"DATA_PRECISION",
                                u"DATA_SCALE", u"NULLABLE", u"DEFAULT_VALUE"});
  EXPECT_EQ(columns, Server(u"SELECT COLUMN_NAME, ORDINAL_POSITION, DATA_TYPE, CHARACTER_MAXIMUM_LENGTH,"
                            u" NUMERIC_PRECISION, NUMERIC_SCALE, IF(IS_NULLABLE = 'YES', 1, 0), COLUMN_DEFAULT"
                            u" FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = :db AND TABLE_NAME = 'meta_t1'"
                            u" ORDER BY ORDINAL_POSITION"));
  ASSERT_EQ(columns.size(), 3u);
  EXPECT_EQ(columns[1], "name|2|varchar|10|||0|'x'");
  EXPECT_EQ(Rows(u"Columns", u"TABLE_SCHEMA=" + database + u"\nTABLE_NAME=meta_t1\nCOLUMN_NAME=name",
                 {u"COLUMN_NAME", u"NULLABLE"}),
            Strings{"name|0"});
}

TEST_F(VixMetaDataServerTest, ProceduresAndParameters) {
  EXPECT_EQ(Rows(u"Procedures", u"SCOPE=LOCAL", {u"PROCEDURE_NAME", u"PROCEDURE_TYPE"}),
            (Strings{"meta_f|FUNCTION", "meta_p|PROCEDURE"}));
  EXPECT_EQ(Rows(u"Procedures", u"PROCEDURE_SCHEMA=" + database + u"\nPROCEDURE_TYPE=procedure", {u"PROCEDURE_NAME"}),
            Strings{"meta_p"});
  const auto columns = {u"PARAMETER_NAME", u"POSITION", u"DIRECTION", u"DATA_TYPE", u"DATA_LENGTH"};
  EXPECT_EQ(Rows(u"ProcedureParameters", u"PROCEDURE_NAME=meta_p", columns),
            (Strings{"a|1|IN|int|", "b|2|OUT|varchar|5", "c|3|IN/OUT|int|"}));
  EXPECT_EQ(Rows(u"ProcedureParameters", u"PROCEDURE_SCHEMA=" + database + u"\nPROCEDURE_NAME=meta_f", columns),
            (Strings{"|0|OUT|varchar|20", "x|1|IN|int|", "y|2|IN|varchar|7"}));
  EXPECT_EQ(test::ErrorOf([&] { Rows(u"ProcedureParameters", u"", {}); }), "PROCEDURE_NAME restriction must be set");
}

TEST_F(VixMetaDataServerTest, IndexesAndConstraints) {
  EXPECT_EQ(Rows(u"Indexes", u"TABLE_NAME=`이름 표`", {u"TABLE_SCHEMA", u"TABLE_NAME", u"INDEX_NAME", u"UNIQUE"}),
            (Strings{ToUtf8(database) + "|이름 표|ub|1", ToUtf8(database) + "|이름 표|ia|0"}));
  EXPECT_EQ(
      Rows(u"IndexColumns", u"TABLE_NAME=이름 표", {u"INDEX_NAME", u"COLUMN_NAME", u"COLUMN_POSITION", u"SORT_ORDER"}),
      (Strings{"ub|b|1|ASC", "ub|a|2|ASC", "ia|a|1|DESC"}));
  EXPECT_EQ(Rows(u"Indexes", u"TABLE_NAME=meta_three", {u"INDEX_NAME", u"UNIQUE"}), Strings{"PRIMARY|1"});
  EXPECT_EQ(Rows(u"IndexColumns", u"TABLE_NAME=meta_three\nINDEX_NAME=PRIMARY", {u"COLUMN_NAME", u"COLUMN_POSITION"}),
            (Strings{"z|1", "x|2", "y|3"}));
  EXPECT_EQ(test::ErrorOf([&] { Rows(u"Indexes", u"TABLE_SCHEMA=x", {}); }), "TABLE_NAME restriction must be set");

  EXPECT_EQ(Rows(u"Constraints", u"TABLE_SCHEMA=" + database + u"\nCONSTRAINT_TYPE=foreign key, primary key",
                 {u"TABLE_NAME", u"CONSTRAINT_NAME", u"CONSTRAINT_TYPE"}),
            Server(u"SELECT TABLE_NAME, CONSTRAINT_NAME, CONSTRAINT_TYPE FROM information_schema.TABLE_CONSTRAINTS"
                   u" WHERE TABLE_SCHEMA = :db AND CONSTRAINT_TYPE IN ('PRIMARY KEY', 'FOREIGN KEY')"
                   u" ORDER BY TABLE_NAME, CONSTRAINT_NAME"));
}

TEST_F(VixMetaDataServerTest, KindsRestrictionsAndDatabases) {
  EXPECT_EQ(Rows(u"", u"", {u"METADATA_NAME"}).size(), 9u);
  EXPECT_EQ(Rows(u"Restrictions", u"METADATA_NAME=Tables", {u"RESTRICTION_NAME"}),
            (Strings{"TABLE_CATALOG", "TABLE_SCHEMA", "TABLE_NAME", "TABLE_TYPE"}));
  // Other test processes create and drop their own databases meanwhile: those are left out of both lists.
  const std::string own = ToUtf8(database);
  const auto stable = [&](Strings names) {
    std::erase_if(names, [&](const std::string& name) {
      const size_t cut = name.rfind('_');
      return name != own && name.starts_with("vix") && cut != std::string::npos && cut + 1 < name.size() &&
             name.find_first_not_of("0123456789", cut + 1) == std::string::npos;
    });
    return names;
  };
  const Strings databases = stable(Rows(u"Databases", u"", {u"DATABASE_NAME"}));
  EXPECT_NE(std::find(databases.begin(), databases.end(), own), databases.end());
  EXPECT_EQ(databases, stable(Server(u"SHOW DATABASES")));
  for (const char16_t* kind : {u"users", u"datatypes", u"roles", u"nonsense"})
    EXPECT_EQ(test::ErrorOf([&] { Rows(kind, u"", {}); }), "Unsupported metadata kind") << ToUtf8(kind);
}

// Restriction values are values: a payload finds nothing and changes nothing.
TEST_F(VixMetaDataServerTest, InjectionPayloadsFindNothing) {
  for (const UString payload :
       {u"x' OR '1'='1", u"x\\' OR 1=1 -- ", u"x\" OR \"1\"=\"1", u"x'; DROP TABLE meta_t1; --"}) {
    EXPECT_TRUE(Rows(u"Tables", u"TABLE_NAME=" + payload, {u"TABLE_NAME"}).empty()) << ToUtf8(payload);
    EXPECT_TRUE(Rows(u"Columns", u"TABLE_SCHEMA=" + payload, {u"COLUMN_NAME"}).empty()) << ToUtf8(payload);
    EXPECT_TRUE(Rows(u"Tables", u"TABLE_TYPE=" + payload, {u"TABLE_NAME"}).empty()) << ToUtf8(payload);
    EXPECT_TRUE(Rows(u"IndexColumns", u"TABLE_NAME=" + payload, {u"COLUMN_NAME"}).empty()) << ToUtf8(payload);
    EXPECT_TRUE(Rows(u"ProcedureParameters", u"PROCEDURE_NAME=" + payload, {u"POSITION"}).empty()) << ToUtf8(payload);
  }
  EXPECT_EQ(Rows(u"Tables", u"SCOPE=LOCAL\nTABLE_NAME=meta_t1", {u"TABLE_NAME"}), Strings{"meta_t1"});
}

TEST_F(VixMetaDataServerTest, ConnectionNameLists) {
  std::vector<UString> names;
  connection.GetTableNames(names);
  EXPECT_EQ(names, (std::vector<UString>{u"meta_child", u"meta_t1", u"meta_three", u"meta_v", u"`이름 표`"}));
  connection.GetTableNames(names, true);
  EXPECT_NE(std::find(names.begin(), names.end(), database + u".meta_t1"), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), database + u".`이름 표`"), names.end());
  connection.GetStoredProcNames(names);
  EXPECT_EQ(names, (std::vector<UString>{u"meta_f", u"meta_p"}));
  connection.GetDatabaseNames(names);
  EXPECT_NE(std::find(names.begin(), names.end(), database), names.end());
}

}  // namespace
}  // namespace vix
