// Query texts edited for generated statements: each output is checked as
// text and then run on the test server, where its row count shows that the
// condition (or the appended clause) took effect and nothing went into a
// comment.
#include "CommandServer.h"
#include "Common/DASQLText.h"
#include "Common/DBTypes.h"

namespace vix {
namespace {

const TParserClass kMy = &NewParser<TMyParser>;

// Five rows: id 1..5, grp 1,1,2,2,3.
constexpr const char16_t* kTable = u"meta_sqltext";

struct TextCase {
  const char* what;
  UString sql;
  UString condition;
  UString expected;
  int rows;  // -1: not run (the text needs a context the test has not)
};

const TextCase kAddWhere[] = {
    {"no WHERE", u"SELECT * FROM meta_sqltext", u"id > 2", u"SELECT * FROM meta_sqltext\nWHERE id > 2", 3},
    {"existing WHERE with OR, ORDER", u"SELECT * FROM meta_sqltext WHERE grp = 1 OR grp = 2 ORDER BY id", u"id > 2",
     u"SELECT * FROM meta_sqltext WHERE (grp = 1 OR grp = 2 ) AND (id > 2) ORDER BY id", 2},
    {"condition with OR", u"SELECT * FROM meta_sqltext WHERE grp = 1", u"id = 1 OR id = 5",
     u"SELECT * FROM meta_sqltext WHERE (grp = 1) AND (id = 1 OR id = 5)", 1},
    {"line comment at the end", u"SELECT * FROM meta_sqltext -- all rows", u"id > 2",
     u"SELECT * FROM meta_sqltext -- all rows\nWHERE id > 2", 3},
    {"hash comment after WHERE", u"SELECT * FROM meta_sqltext WHERE grp < 3 # first groups\n", u"id > 2",
     u"SELECT * FROM meta_sqltext WHERE (grp < 3 # first groups\n) AND (id > 2)", 2},
    {"comment with a carriage return", u"SELECT * FROM meta_sqltext -- c\r", u"id > 2",
     u"SELECT * FROM meta_sqltext -- c\nWHERE id > 2", 3},
    {"comment before ORDER", u"SELECT * FROM meta_sqltext -- c\nORDER BY id", u"id > 2",
     u"SELECT * FROM meta_sqltext -- c\n\nWHERE id > 2 ORDER BY id", 3},
    {"condition ending in a comment", u"SELECT * FROM meta_sqltext ORDER BY id", u"id > 2 -- mine",
     u"SELECT * FROM meta_sqltext \nWHERE id > 2 -- mine\nORDER BY id", 3},
    {"GROUP BY", u"SELECT grp, count(*) FROM meta_sqltext GROUP BY grp HAVING count(*) > 0", u"id > 2",
     u"SELECT grp, count(*) FROM meta_sqltext \nWHERE id > 2 GROUP BY grp HAVING count(*) > 0", 2},
    {"LIMIT", u"SELECT * FROM meta_sqltext LIMIT 10", u"id > 2", u"SELECT * FROM meta_sqltext \nWHERE id > 2 LIMIT 10",
     3},
    {"FOR UPDATE", u"SELECT * FROM meta_sqltext WHERE grp = 2 FOR UPDATE", u"id > 3",
     u"SELECT * FROM meta_sqltext WHERE (grp = 2 ) AND (id > 3) FOR UPDATE", 1},
    {"LOCK IN SHARE MODE", u"SELECT * FROM meta_sqltext LOCK IN SHARE MODE", u"id > 3",
     u"SELECT * FROM meta_sqltext \nWHERE id > 3 LOCK IN SHARE MODE", 2},
    {"WITH", u"WITH c AS (SELECT * FROM meta_sqltext WHERE grp > 1) SELECT * FROM c", u"id > 3",
     u"WITH c AS (SELECT * FROM meta_sqltext WHERE grp > 1) SELECT * FROM c\nWHERE id > 3", 2},
    {"WHERE of a derived table", u"SELECT * FROM (SELECT * FROM meta_sqltext WHERE grp = 1) s", u"id > 1",
     u"SELECT * FROM (SELECT * FROM meta_sqltext WHERE grp = 1) s\nWHERE id > 1", 1},
    {"final semicolon", u"SELECT * FROM meta_sqltext;", u"id > 2", u"SELECT * FROM meta_sqltext\nWHERE id > 2;", 3},
    {"function with FROM inside", u"SELECT TRIM(LEADING 'x' FROM 'xa') t, id FROM meta_sqltext", u"id = 4",
     u"SELECT TRIM(LEADING 'x' FROM 'xa') t, id FROM meta_sqltext\nWHERE id = 4", 1},
    {"keywords in strings and quoted names", u"SELECT 'WHERE' `order`, id FROM meta_sqltext", u"id < 3",
     u"SELECT 'WHERE' `order`, id FROM meta_sqltext\nWHERE id < 3", 2},
    {"INTO after FROM", u"SELECT id FROM meta_sqltext INTO @x", u"id = 5",
     u"SELECT id FROM meta_sqltext \nWHERE id = 5 INTO @x", -1},
    {"INTO before FROM", u"SELECT id INTO @x FROM meta_sqltext", u"id = 5",
     u"SELECT id INTO @x FROM meta_sqltext\nWHERE id = 5", -1},
    {"macro WHERE is no WHERE", u"SELECT * FROM meta_sqltext &WHERE", u"id = 5",
     u"SELECT * FROM meta_sqltext &WHERE\nWHERE id = 5", -1},
    {"FOR SYSTEM_TIME belongs to FROM", u"SELECT * FROM h FOR SYSTEM_TIME ALL ORDER BY id", u"id = 5",
     u"SELECT * FROM h FOR SYSTEM_TIME ALL \nWHERE id = 5 ORDER BY id", -1},
    {"empty condition", u"SELECT * FROM meta_sqltext", u"  ", u"SELECT * FROM meta_sqltext", 5},
};

const TextCase kDeleteWhere[] = {
    {"before ORDER", u"SELECT * FROM meta_sqltext WHERE grp = 1 ORDER BY id", u"",
     u"SELECT * FROM meta_sqltext ORDER BY id", 5},
    {"at the end, with a comment", u"SELECT * FROM meta_sqltext WHERE grp = 1 -- c", u"",
     u"SELECT * FROM meta_sqltext ", 5},
    {"with a subquery", u"SELECT * FROM meta_sqltext WHERE id IN (SELECT id FROM meta_sqltext WHERE grp = 1) LIMIT 3",
     u"", u"SELECT * FROM meta_sqltext LIMIT 3", 3},
    {"none", u"SELECT * FROM meta_sqltext", u"", u"SELECT * FROM meta_sqltext", 5},
};

TEST(DASQLTextTest, AddWhereTable) {
  for (const TextCase& c : kAddWhere) EXPECT_EQ(AddWhere(c.sql, c.condition, kMy), c.expected) << c.what;
}

TEST(DASQLTextTest, DeleteWhereTable) {
  for (const TextCase& c : kDeleteWhere) EXPECT_EQ(DeleteWhere(c.sql, kMy), c.expected) << c.what;
}

TEST(DASQLTextTest, CombinedResultsAndOtherStatementsAreRefused) {
  const UString combined[] = {
      u"SELECT id FROM a UNION SELECT id FROM b",
      u"SELECT id FROM a WHERE x = 1 UNION ALL SELECT id FROM b ORDER BY 1",
      u"SELECT id FROM a INTERSECT SELECT id FROM b",
      u"WITH c AS (SELECT 1 id) SELECT id FROM c EXCEPT SELECT id FROM b",
  };
  for (const UString& sql : combined) {
    EXPECT_EQ(test::ErrorOf([&] { AddWhere(sql, u"id = 1", kMy); }),
              "Cannot add a condition to a query that combines results with UNION, INTERSECT or EXCEPT")
        << ToUtf8(sql);
    EXPECT_THROW(GetClause(sql, lxFROM, kMy), EDatabaseError) << ToUtf8(sql);
  }
  // A UNION inside a derived table is part of the FROM clause.
  EXPECT_EQ(AddWhere(u"SELECT * FROM (SELECT 1 id UNION SELECT 2) u", u"id = 1", kMy),
            u"SELECT * FROM (SELECT 1 id UNION SELECT 2) u\nWHERE id = 1");
  for (const UString sql : {u"UPDATE t SET a = 1", u"SHOW TABLES", u"(SELECT 1) UNION (SELECT 2)"})
    EXPECT_EQ(test::ErrorOf([&] { AddWhere(sql, u"id = 1", kMy); }),
              "Cannot add a condition to a statement that is not a SELECT")
        << ToUtf8(sql);
}

TEST(DASQLTextTest, Clauses) {
  const UString sql = u"SELECT a FROM t x JOIN u ON (x.id = u.id) WHERE a = 1 -- c\nORDER BY a";
  EXPECT_EQ(GetClause(sql, lxFROM, kMy), u"t x JOIN u ON (x.id = u.id)");
  EXPECT_EQ(GetClause(sql, lxWHERE, kMy), u"a = 1 -- c\n");
  const TSQLClauseSpan where = FindClause(sql, lxWHERE, kMy);
  EXPECT_EQ(where.Keyword, static_cast<int64_t>(sql.find(u"WHERE")));
  EXPECT_EQ(sql.substr(static_cast<size_t>(where.Start), 5), u"a = 1");
  EXPECT_EQ(GetClause(u"SELECT 1", lxWHERE, kMy), u"");
  EXPECT_EQ(GetClause(u"SELECT * FROM t LIMIT 1", lxFROM, kMy), u"t");
  EXPECT_THROW(FindClause(sql, lxORDER, kMy), EDatabaseError);
}

// The count statement: a plain SELECT keeps its FROM and WHERE (a comment
// before ORDER BY ends at its line feed); a select list that may fold rows,
// a clause after WHERE other than ORDER BY, or a combined query is counted
// as a derived table; what is not a SELECT has none.
TEST(DASQLTextTest, RecordCountSQL) {
  const struct {
    const char16_t* sql;
    const char16_t* count;
  } cases[] = {
      {u"SELECT a, b FROM t WHERE a = 1 -- c\nORDER BY a;", u"SELECT COUNT(*)\nFROM t WHERE a = 1 -- c\n"},
      {u"SELECT `(` FROM t", u"SELECT COUNT(*)\nFROM t"},
      {u"SELECT MAX(a) FROM t", u"SELECT COUNT(*) FROM (\nSELECT MAX(a) FROM t\n) vix_count"},
      {u"SELECT DISTINCT a FROM t", u"SELECT COUNT(*) FROM (\nSELECT DISTINCT a FROM t\n) vix_count"},
      {u"SELECT a FROM t LIMIT 3 -- c", u"SELECT COUNT(*) FROM (\nSELECT 1 FROM t LIMIT 3 -- c\n) vix_count"},
      {u"SELECT a AS x, t.* FROM t WHERE a > 1 -- c\nORDER BY x LIMIT 3 OFFSET 2",
       u"SELECT COUNT(*) FROM (\nSELECT 1 FROM t WHERE a > 1 -- c\nLIMIT 3 OFFSET 2\n) vix_count"},
      {u"SELECT a FROM t ORDER BY a LIMIT 3 FOR UPDATE",
       u"SELECT COUNT(*) FROM (\nSELECT a FROM t ORDER BY a LIMIT 3 FOR UPDATE\n) vix_count"},
      {u"SELECT a FROM t UNION SELECT b FROM u",
       u"SELECT COUNT(*) FROM (\nSELECT a FROM t UNION SELECT b FROM u\n) vix_count"},
      {u"WITH x AS (SELECT 1 a) SELECT a FROM x",
       u"SELECT COUNT(*) FROM (\nWITH x AS (SELECT 1 a) SELECT a FROM x\n) vix_count"},
      {u"SELECT a FROM t /* open", u""},
      {u"SHOW TABLES", u""},
  };
  for (const auto& c : cases) EXPECT_EQ(RecordCountSQL(c.sql, kMy), c.count) << ToUtf8(c.sql);
}

// --- against the server --------------------------------------------------------------

struct DASQLTextServerTest : test::CommandServer {
  void SetUp() override {
    CommandServer::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    Exec(UString(u"DROP TABLE IF EXISTS ") + kTable);
    Exec(UString(u"CREATE TABLE ") + kTable + u" (id INT PRIMARY KEY, grp INT, name VARCHAR(20))");
    Exec(UString(u"INSERT INTO ") + kTable + u" VALUES (1,1,'a'),(2,1,'b'),(3,2,'c'),(4,2,'d'),(5,3,'e')");
  }
  void TearDown() override {
    if (conn) Exec(UString(u"DROP TABLE IF EXISTS ") + kTable);
  }
  int Rows(const UString& sql) {
    auto rs = Query(*conn, sql);
    rs->SetProp(prFetchAll, true);
    rs->Open();
    const int n = rs->RecordCount();
    rs->Close();
    return n;
  }
};

TEST_F(DASQLTextServerTest, EditedTextsSelectTheirRows) {
  // Lock clauses need a transaction to mean anything; the rows are the same.
  Exec(u"START TRANSACTION");
  for (const TextCase& c : kAddWhere) {
    if (c.rows >= 0) {
      EXPECT_EQ(Rows(AddWhere(c.sql, c.condition, kMy)), c.rows) << c.what;
    }
  }
  for (const TextCase& c : kDeleteWhere) EXPECT_EQ(Rows(DeleteWhere(c.sql, kMy)), c.rows) << c.what;
  Exec(u"ROLLBACK");
}

TEST_F(DASQLTextServerTest, ClausesJoinedIntoANewQuery) {
  // The key columns of a query rebuilt from its FROM and WHERE clauses: the
  // comment that ends the WHERE clause must not swallow the ORDER BY.
  const UString sql = u"SELECT name FROM meta_sqltext m WHERE grp = 2 -- second group\nORDER BY name";
  const UString keys = u"SELECT id FROM " + GetClause(sql, lxFROM, kMy) + u" WHERE " + GetClause(sql, lxWHERE, kMy) +
                       u" ORDER BY id DESC";
  auto rs = Query(*conn, keys);
  rs->SetProp(prFetchAll, true);
  rs->Open();
  ASSERT_EQ(rs->RecordCount(), 2);
  EXPECT_EQ(Value(*rs, 1, 1).AsInteger(), 4);  // ordered by the appended clause
}

TEST_F(DASQLTextServerTest, TextAppendedAfterTheQuery) {
  Exec(u"START TRANSACTION");
  for (const UString sql : {u"SELECT * FROM meta_sqltext -- every row", u"SELECT * FROM meta_sqltext # every row\r",
                            u"SELECT * FROM meta_sqltext;  "}) {
    const UString locked = AppendToQuery(sql, u"FOR UPDATE", kMy);
    EXPECT_EQ(locked.substr(locked.size() - 11), u"\nFOR UPDATE") << ToUtf8(sql);
    EXPECT_EQ(Rows(AppendToQuery(sql, u"LIMIT 2", kMy)), 2) << ToUtf8(sql);
    EXPECT_EQ(Rows(locked), 5) << ToUtf8(sql);
  }
  Exec(u"ROLLBACK");
}

}  // namespace
}  // namespace vix
