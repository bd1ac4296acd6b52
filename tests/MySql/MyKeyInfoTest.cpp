// Names quoted for generated statements, and the key, auto-increment and
// row-version columns of a table, read from the test server.
#include "CommandServer.h"
#include "MySql/MyKeyInfo.h"

namespace vix {
namespace {

// --- quoting ---------------------------------------------------------------------------

TEST(MyNamesTest, NormalizeName) {
  const TMySQLInfo info;
  const struct {
    UString name;
    UString plain;   // quoteNames off
    UString quoted;  // quoteNames on
  } cases[] = {
      {u"t", u"t", u"`t`"},
      {u"order", u"`order`", u"`order`"},
      {u"Select", u"`Select`", u"`Select`"},
      {u"my col", u"`my col`", u"`my col`"},
      {u"`a``b`", u"`a``b`", u"`a``b`"},
      {u"`a.b`", u"`a.b`", u"`a.b`"},
      {u"db.t", u"db.t", u"`db`.`t`"},
      {u"`my db`.order", u"`my db`.`order`", u"`my db`.`order`"},
      {u"이름", u"`이름`", u"`이름`"},
      {u"123", u"`123`", u"`123`"},
      {u"1e5", u"`1e5`", u"`1e5`"},
      {u"t$1", u"t$1", u"`t$1`"},
      {u"`unclosed.x", u"`unclosed.x`", u"`unclosed.x`"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(info.NormalizeName(c.name, false), c.plain) << ToUtf8(c.name);
    EXPECT_EQ(info.NormalizeName(c.name, true), c.quoted) << ToUtf8(c.name);
  }
}

TEST(MyNamesTest, RawNamesAreNeverSplit) {
  const TMySQLInfo info;
  EXPECT_EQ(info.QuoteName(u"a.b"), u"`a.b`");
  EXPECT_EQ(info.QuoteName(u"a`b"), u"`a``b`");
  EXPECT_EQ(info.QuoteName(u"`x`"), u"```x```");  // a name that looks quoted is still a name
  EXPECT_EQ(info.QuoteNames({u"my db", u"a.b", u"c`d"}), u"`my db`.`a.b`.`c``d`");
  EXPECT_EQ(info.QuoteNames({u"", u"t"}), u"`t`");
  const std::vector<UString> parts = info.SplitName(u"`a.b`.`c``d`");
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0], u"a.b");
  EXPECT_EQ(parts[1], u"c`d");
}

// --- key choice, offline ---------------------------------------------------------------

TEST(MyKeyInfoTest, ChoiceOverListedIndexes) {
  // Index columns listed out of order: the key keeps the index's order.
  const std::vector<TMyIndexColumn> index = {{u"uk", true, 2, u"a"}, {u"uk", true, 1, u"b"}, {u"ix", false, 1, u"c"}};
  const std::vector<TMyColumnInfo> columns = {
      {u"a", u"int", false, u""}, {u"b", u"int", false, u""}, {u"c", u"int", false, u""}};
  TMyTableKeyInfo info = ChooseTableKeyInfo(index, columns, nullptr);
  EXPECT_EQ(info.KeyFields, (std::vector<UString>{u"b", u"a"}));
  EXPECT_EQ(info.KeyIndexName, u"uk");
  // A key column missing from the result makes the index useless.
  const std::vector<UString> result = {u"A", u"c"};
  EXPECT_TRUE(ChooseTableKeyInfo(index, columns, &result).KeyFields.empty());
  // An expression part has no column: not a key.
  EXPECT_TRUE(ChooseTableKeyInfo({{u"PRIMARY", true, 1, u""}}, columns, nullptr).KeyFields.empty());
}

// --- against the server ----------------------------------------------------------------

struct MyKeyInfoServerTest : test::CommandServer {
  std::vector<UString> dropped;
  void TearDown() override {
    if (!conn) return;
    for (const UString& t : dropped) Exec(u"DROP TABLE IF EXISTS " + TMySQLInfo().QuoteName(t));
  }
  void Create(const UString& table, const UString& definition) {
    const UString name = TMySQLInfo().QuoteName(table);
    Exec(u"DROP TABLE IF EXISTS " + name);
    Exec(u"CREATE TABLE " + name + u" (" + definition + u")");
    dropped.push_back(table);
  }
};

TEST_F(MyKeyInfoServerTest, KeyChoice) {
  const struct {
    const char* what;
    UString definition;
    std::vector<UString> result;  // empty: every column
    std::vector<UString> key;
  } cases[] = {
      {"primary key", u"id INT PRIMARY KEY, code INT NOT NULL UNIQUE, name CHAR(5)", {}, {u"id"}},
      {"primary key not in the result",
       u"id INT PRIMARY KEY, code INT NOT NULL UNIQUE, name CHAR(5)",
       {u"code", u"name"},
       {u"code"}},
      {"composite primary key", u"a INT, b INT, c INT, PRIMARY KEY (c, a)", {}, {u"c", u"a"}},
      {"unique NOT NULL", u"code INT NOT NULL, name CHAR(5), UNIQUE KEY uk (code)", {}, {u"code"}},
      {"unique nullable", u"code INT NULL, name CHAR(5), UNIQUE KEY uk (code)", {}, {}},
      {"unique, one column nullable", u"a INT NOT NULL, b INT NULL, UNIQUE KEY uk (a, b)", {}, {}},
      {"only a non-unique index", u"grp INT NOT NULL, name CHAR(5), KEY ix (grp)", {}, {}},
      {"no index", u"a INT, b INT", {}, {}},
  };
  for (const auto& c : cases) {
    Create(u"meta_key", c.definition);
    const TMyTableKeyInfo info = GetTableKeyInfo(*conn, UString(), u"meta_key", c.result.empty() ? nullptr : &c.result);
    EXPECT_EQ(info.KeyFields, c.key) << c.what;
  }
}

TEST_F(MyKeyInfoServerTest, AutoIncrementAndRowVersion) {
  Create(u"meta_version",
         u"id INT AUTO_INCREMENT PRIMARY KEY, plain TIMESTAMP NULL DEFAULT NULL,"
         u" made DATETIME DEFAULT CURRENT_TIMESTAMP,"
         u" changed TIMESTAMP(3) NOT NULL DEFAULT CURRENT_TIMESTAMP(3) ON UPDATE CURRENT_TIMESTAMP(3)");
  TMyTableKeyInfo info = GetTableKeyInfo(*conn, UString(), u"meta_version");
  EXPECT_EQ(info.AutoIncrementField, u"id");
  EXPECT_EQ(info.RowVersionField, u"changed");
  // A TIMESTAMP the server does not update is no row version.
  Create(u"meta_version", u"id INT PRIMARY KEY, plain TIMESTAMP, d DATETIME");
  info = GetTableKeyInfo(*conn, UString(), u"meta_version");
  EXPECT_EQ(info.AutoIncrementField, u"");
  EXPECT_EQ(info.RowVersionField, u"");
  // Not in the result: not usable.
  Create(u"meta_version", u"id INT PRIMARY KEY, v DATETIME DEFAULT NOW() ON UPDATE NOW()");
  const std::vector<UString> result = {u"id"};
  EXPECT_EQ(GetTableKeyInfo(*conn, UString(), u"meta_version", &result).RowVersionField, u"");
  EXPECT_EQ(GetTableKeyInfo(*conn, UString(), u"meta_version").RowVersionField, u"v");
}

// Odd names reach the server as literals of the command: the table is found
// by its exact name, and the schema given explicitly works as the current one.
TEST_F(MyKeyInfoServerTest, OddTableNames) {
  for (const UString name : {u"a.b", u"o'rder", u"my col", u"a`b", u"이름"}) {
    Create(name, u"`이름` INT NOT NULL, `my col` INT, UNIQUE KEY (`이름`)");
    EXPECT_EQ(GetTableKeyInfo(*conn, U(db), name).KeyFields, (std::vector<UString>{u"이름"})) << ToUtf8(name);
  }
  EXPECT_TRUE(GetTableKeyInfo(*conn, UString(), u"a").KeyFields.empty());
  EXPECT_TRUE(GetTableKeyInfo(*conn, UString(), u"x' OR '1'='1").KeyFields.empty());
}

// Statements built with the quoting routine touch exactly their own row.
TEST_F(MyKeyInfoServerTest, GeneratedNamesRunOnTheServer) {
  const TMySQLInfo info;
  for (const UString name : {u"order", u"my col", u"a`b", u"a.b", u"이름"}) {
    Create(name, info.QuoteName(name) + u" INT PRIMARY KEY, v INT");
    const UString table = info.QuoteNames({U(db), name});
    const UString column = info.QuoteName(name);
    Exec(u"INSERT INTO " + table + u" (" + column + u", v) VALUES (1, 10), (2, 20)");
    EXPECT_EQ(Exec(u"UPDATE " + table + u" SET v = 11 WHERE " + column + u" = 1"), 1) << ToUtf8(name);
    EXPECT_EQ(Exec(u"DELETE FROM " + info.NormalizeName(table, false) + u" WHERE " + column + u" = 2"), 1)
        << ToUtf8(name);
    auto rs = Query(*conn, u"SELECT v FROM " + table);
    rs->SetProp(prFetchAll, true);
    rs->Open();
    ASSERT_EQ(rs->RecordCount(), 1) << ToUtf8(name);
    EXPECT_EQ(Value(*rs, 1, 1).AsInteger(), 11);
  }
}

}  // namespace
}  // namespace vix
