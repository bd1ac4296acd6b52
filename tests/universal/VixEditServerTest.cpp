// Editing through the query on the private MariaDB server: Edit, Insert,
// Append, Delete, Post and Cancel write to the server at once, and every
// case ends with the server's rows read back through a second session.
#include <string>
#include <vector>

#include "Common/DASQLGenerator.h"
#include "MySql/MyClasses.h"
#include "ServerDatabase.h"
#include "TestSupport.h"
#include "rtl/UString.h"
#include "universal/Vix.h"

namespace vix {
namespace {

using Rows = std::vector<std::string>;

struct VixEditServerTest : ::testing::Test {
  test::TServerDatabase db;
  TVixConnection connection;
  TVixQuery query;

  void SetUp() override {
    VIX_REQUIRE_COMPONENT(!db.server.Host.empty(), "MariaDB test server (VIX_MYSQL_HOST)");
    ASSERT_TRUE(db.Create("vixedit"));
    db.Setup(connection);
    query.SetName(u"Query");
    query.SetConnection(&connection);
  }
  void TearDown() override {
    query.Close();
    connection.Close();
  }
  void Open(const UString& sql) {
    query.Close();
    query.SetSQL(sql);
    query.Open();
  }
  // Moves to the record whose field `name` reads `value`.
  void Find(const UString& name, const UString& value) {
    for (query.First(); !query.Eof(); query.Next())
      if (query.FieldByName(name).AsString() == value) return;
    FAIL() << "no record with " << Utf16ToUtf8(name) << " = " << Utf16ToUtf8(value);
  }
};

TEST_F(VixEditServerTest, EditInsertAppendDeleteReachTheServer) {
  db.Exec("CREATE TABLE t (id INT AUTO_INCREMENT PRIMARY KEY, name VARCHAR(20), qty INT)");
  db.Exec("INSERT INTO t (name, qty) VALUES ('a', 1), ('b', 2), ('c', 3)");
  Open(u"SELECT id, name, qty FROM t ORDER BY id");

  Find(u"name", u"b");
  query.Edit();
  EXPECT_EQ(query.State(), dsEdit);
  query.FieldByName(u"name").SetAsString(u"B2");
  query.FieldByName(u"qty").Clear();
  query.Post();
  EXPECT_EQ(query.State(), dsBrowse);
  EXPECT_EQ(query.FieldByName(u"name").AsString(), u"B2");
  EXPECT_EQ(db.Rows("SELECT id, name, qty FROM t ORDER BY id"), (Rows{"1|a|1", "2|B2|<NULL>", "3|c|3"}));

  // A new record without an id takes the one the server generated.
  query.Append();
  query.FieldByName(u"name").SetAsString(u"d");
  query.FieldByName(u"qty").SetAsInteger(4);
  query.Post();
  EXPECT_EQ(query.FieldByName(u"id").AsInteger(), 4);
  EXPECT_EQ(query.RecordCount(), 4);
  query.First();
  query.Insert();
  query.FieldByName(u"id").SetAsInteger(10);
  query.FieldByName(u"name").SetAsString(u"front");
  query.Post();
  EXPECT_EQ(query.RecNo(), 1);
  EXPECT_EQ(query.FieldByName(u"id").AsInteger(), 10);

  Find(u"name", u"a");
  query.Delete();
  EXPECT_EQ(query.RecordCount(), 4);
  EXPECT_EQ(db.Rows("SELECT id, name, qty FROM t ORDER BY id"),
            (Rows{"2|B2|<NULL>", "3|c|3", "4|d|4", "10|front|<NULL>"}));
}

TEST_F(VixEditServerTest, CancelAndUnchangedPostSendNothing) {
  db.Exec("CREATE TABLE t (id INT PRIMARY KEY, name VARCHAR(20))");
  db.Exec("INSERT INTO t VALUES (1, 'a')");
  Open(u"SELECT * FROM t");
  query.Edit();
  query.FieldByName(u"name").SetAsString(u"changed");
  query.Cancel();
  EXPECT_EQ(query.FieldByName(u"name").AsString(), u"a");
  query.Insert();
  query.FieldByName(u"id").SetAsInteger(2);
  query.Cancel();
  EXPECT_EQ(query.RecordCount(), 1);
  // The other session changes the row: a post without changes must not
  // write the old values back over it.
  db.Exec("UPDATE t SET name = 'other' WHERE id = 1");
  query.Edit();
  query.Post();
  EXPECT_EQ(db.Rows("SELECT * FROM t"), (Rows{"1|other"}));
}

TEST_F(VixEditServerTest, FailedPostKeepsTheRecordInWork) {
  db.Exec("CREATE TABLE t (id INT PRIMARY KEY, name VARCHAR(20))");
  db.Exec("INSERT INTO t VALUES (1, 'a')");
  Open(u"SELECT * FROM t");
  query.Append();
  query.FieldByName(u"id").SetAsInteger(1);
  query.FieldByName(u"name").SetAsString(u"dup");
  EXPECT_THROW(query.Post(), EDatabaseError);
  EXPECT_EQ(query.State(), dsInsert);
  EXPECT_EQ(query.FieldByName(u"name").AsString(), u"dup");
  query.FieldByName(u"id").SetAsInteger(2);
  query.Post();
  EXPECT_EQ(query.RecordCount(), 2);
  EXPECT_EQ(db.Rows("SELECT * FROM t ORDER BY id"), (Rows{"1|a", "2|dup"}));
}

TEST_F(VixEditServerTest, RowDeletedByAnotherSessionFailsThePost) {
  db.Exec("CREATE TABLE t (id INT PRIMARY KEY, name VARCHAR(20))");
  db.Exec("INSERT INTO t VALUES (1, 'a'), (2, 'b')");
  Open(u"SELECT * FROM t ORDER BY id");
  db.Exec("DELETE FROM t WHERE id = 1");
  query.Edit();
  query.FieldByName(u"name").SetAsString(u"x");
  EXPECT_EQ(test::ErrorOf([&] { query.Post(); }), "Update failed. Found 0 records");
  query.Cancel();
  EXPECT_EQ(db.Rows("SELECT * FROM t ORDER BY id"), (Rows{"2|b"}));
}

// Table and column names that need quoting: each statement touches exactly
// its own row.
TEST_F(VixEditServerTest, NamesThatNeedQuotingTouchOnlyTheirRow) {
  const char* names[] = {"order", "my col", "a`b", "a.b", "이름"};
  for (const char* raw : names) {
    SCOPED_TRACE(raw);
    std::string quoted = "`";
    for (const char* p = raw; *p; ++p) quoted += *p == '`' ? std::string("``") : std::string(1, *p);
    quoted += "`";
    db.Exec("CREATE TABLE " + quoted + " (id INT PRIMARY KEY, " + quoted + " VARCHAR(20))");
    db.Exec("INSERT INTO " + quoted + " VALUES (1, 'one'), (2, 'two'), (3, 'three')");
    const UString name = Utf8ToUtf16(raw);
    Open(u"SELECT * FROM " + Utf8ToUtf16(quoted));
    Find(name, u"two");
    query.Edit();
    query.FieldByName(name).SetAsString(u"TWO");
    query.Post();
    Find(name, u"three");
    query.Delete();
    query.Append();
    query.FieldByName(u"id").SetAsInteger(4);
    query.FieldByName(name).SetAsString(u"four");
    query.Post();
    EXPECT_EQ(db.Rows("SELECT * FROM " + quoted + " ORDER BY id"), (Rows{"1|one", "2|TWO", "4|four"}));
    query.Close();
  }
}

// How a record is found without KeyFields: by the primary key, by a unique
// index of NOT NULL columns, else by all fields inside a transaction that is
// undone unless exactly one row changed. Rows 1 and 2 share their category
// and, where the table allows it, everything else.
TEST_F(VixEditServerTest, KeyChoiceChangesExactlyOneRow) {
  struct Case {
    const char* table;
    const char* rows;
    bool posts;  // false: the edit must fail and change nothing
  } cases[] = {
      {"id INT PRIMARY KEY, cat INT, v VARCHAR(10), KEY (cat)", "(1, 7, 'x'), (2, 7, 'x'), (3, 8, 'y')", true},
      {"id INT NOT NULL, cat INT, v VARCHAR(10), UNIQUE KEY (id), KEY (cat)", "(1, 7, 'x'), (2, 7, 'x'), (3, 8, 'y')",
       true},
      {"id INT NULL, cat INT, v VARCHAR(10), UNIQUE KEY (id), KEY (cat)", "(1, 7, 'x'), (2, 7, 'x'), (3, 8, 'y')",
       true},
      {"id INT, cat INT, v VARCHAR(10), KEY (cat)", "(1, 7, 'x'), (1, 7, 'x'), (3, 8, 'y')", false},
      {"id INT, cat INT, v VARCHAR(10)", "(1, 7, 'x'), (1, 7, 'x'), (3, 8, 'y')", false},
      {"id INT, cat INT, v VARCHAR(10)", "(1, 7, 'x'), (2, 7, 'x'), (3, 8, 'y')", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.table);
    query.Close();
    db.Exec("DROP TABLE IF EXISTS k");
    db.Exec(std::string("CREATE TABLE k (") + c.table + ")");
    db.Exec(std::string("INSERT INTO k VALUES ") + c.rows);
    const Rows before = db.Rows("SELECT id, cat, v FROM k ORDER BY id, v");
    Open(u"SELECT id, cat, v FROM k ORDER BY id");
    query.First();
    query.Edit();
    query.FieldByName(u"v").SetAsString(u"new");
    if (!c.posts) {
      EXPECT_EQ(test::ErrorOf([&] { query.Post(); }), "Update failed. Found 2 records");
      query.Cancel();
      EXPECT_EQ(db.Rows("SELECT id, cat, v FROM k ORDER BY id, v"), before);
      EXPECT_EQ(test::ErrorOf([&] { query.Delete(); }), "Update failed. Found 2 records");
      EXPECT_EQ(db.Rows("SELECT id, cat, v FROM k ORDER BY id, v"), before);
      continue;
    }
    query.Post();
    Rows after = before;
    after[0] = after[0].substr(0, after[0].rfind('|')) + "|new";
    EXPECT_EQ(db.Rows("SELECT id, cat, v FROM k ORDER BY id, v"), after);
    query.Delete();
    after.erase(after.begin());
    EXPECT_EQ(db.Rows("SELECT id, cat, v FROM k ORDER BY id, v"), after);
  }
}

TEST_F(VixEditServerTest, ExplicitKeyFieldsFindTheRecord) {
  db.Exec("CREATE TABLE t (code VARCHAR(5), name VARCHAR(20))");
  db.Exec("INSERT INTO t VALUES ('A', 'same'), ('B', 'same')");
  query.SetKeyFields(u"code");
  Open(u"SELECT * FROM t ORDER BY code");
  query.Last();
  query.Edit();
  query.FieldByName(u"name").SetAsString(u"other");
  query.Post();
  EXPECT_EQ(db.Rows("SELECT * FROM t ORDER BY code"), (Rows{"A|same", "B|other"}));
  query.SetKeyFields(u"code;nosuch");
  query.Edit();
  query.FieldByName(u"name").SetAsString(u"x");
  EXPECT_EQ(test::ErrorOf([&] { query.Post(); }), "Query: Key field 'nosuch' not found");
}

TEST_F(VixEditServerTest, OnlyTheUpdatingTableIsWritable) {
  db.Exec("CREATE TABLE m (id INT PRIMARY KEY, name VARCHAR(20))");
  db.Exec("CREATE TABLE d (id INT PRIMARY KEY, m_id INT, note VARCHAR(20))");
  db.Exec("INSERT INTO m VALUES (1, 'master')");
  db.Exec("INSERT INTO d VALUES (5, 1, 'detail')");
  Open(u"SELECT d.id, d.note, m.name, d.id * 2 AS twice FROM d JOIN m ON m.id = d.m_id");
  query.Edit();
  EXPECT_EQ(test::ErrorOf([&] { query.FieldByName(u"name").SetAsString(u"x"); }),
            "Query: Field 'name' cannot be modified");
  EXPECT_EQ(test::ErrorOf([&] { query.FieldByName(u"twice").SetAsInteger(1); }),
            "Query: Field 'twice' cannot be modified");
  query.FieldByName(u"note").SetAsString(u"changed");
  query.Post();
  EXPECT_EQ(db.Rows("SELECT * FROM d"), (Rows{"5|1|changed"}));
  EXPECT_EQ(db.Rows("SELECT * FROM m"), (Rows{"1|master"}));

  query.Close();
  query.SetUpdatingTable(u"m");
  query.Open();
  query.Edit();
  query.FieldByName(u"name").SetAsString(u"boss");
  query.Post();
  EXPECT_EQ(db.Rows("SELECT * FROM m"), (Rows{"1|boss"}));
}

TEST_F(VixEditServerTest, ChangeWithoutUpdatingTableFails) {
  query.Options().SetFieldsReadOnly = false;
  Open(u"SELECT 1 AS one");
  query.Edit();
  query.FieldByName(u"one").SetAsInteger(2);
  EXPECT_EQ(test::ErrorOf([&] { query.Post(); }), "No statement for the change: the dataset has no updating table");
  EXPECT_EQ(query.State(), dsEdit);
  query.Cancel();
  EXPECT_EQ(query.FieldByName(u"one").AsInteger(), 1);
}

// A query on a table of another database writes to that table, and the
// key and auto-increment columns come from that table's catalog entries
// (the connection's own database has a table of the same name without them).
TEST_F(VixEditServerTest, TableOfAnotherDatabaseIsWrittenThere) {
  test::TServerDatabase other;
  ASSERT_TRUE(other.Create("vixother"));
  other.Exec(
      "CREATE TABLE t (id INT AUTO_INCREMENT, a INT NOT NULL, b INT NOT NULL, name VARCHAR(20),"
      " UNIQUE KEY ab (a, b), KEY (id), KEY (name))");
  other.Exec("INSERT INTO t VALUES (1, 1, 1, 'x'), (2, 1, 2, 'x'), (3, 2, 1, 'y')");
  db.Exec("CREATE TABLE t (id INT, a INT, b INT, name VARCHAR(20))");
  db.Exec("INSERT INTO t VALUES (1, 1, 1, 'mine')");
  Open(u"SELECT id, a, b, name FROM " + Utf8ToUtf16(other.database) + u".t ORDER BY a, b");
  query.Edit();
  query.FieldByName(u"name").SetAsString(u"x2");
  query.Post();
  query.Append();
  query.FieldByName(u"a").SetAsInteger(5);
  query.FieldByName(u"b").SetAsInteger(5);
  query.FieldByName(u"name").SetAsString(u"new");
  query.Post();
  EXPECT_EQ(query.FieldByName(u"id").AsInteger(), 4);
  Find(u"id", u"2");
  query.Delete();
  EXPECT_EQ(other.Rows("SELECT id, a, b, name FROM t ORDER BY id"), (Rows{"1|1|1|x2", "3|2|1|y", "4|5|5|new"}));
  EXPECT_EQ(db.Rows("SELECT * FROM t"), (Rows{"1|1|1|mine"}));
}

// With CheckRowVersion, an update or delete finds its row only as it was
// read: by the column the server sets on every update (fractions of a
// second included) or, without one, by every data field. A change by
// another session makes the post fail and leaves the row as the other
// session wrote it.
TEST_F(VixEditServerTest, RowVersionFindsChangesOfAnotherSession) {
  struct Case {
    const char* version;  // the version column
    const char* change;   // the other session's change of row 1
  } cases[] = {
      {"ts TIMESTAMP(6) NOT NULL DEFAULT '2020-01-01 00:00:00.123456' ON UPDATE CURRENT_TIMESTAMP(6)",
       "UPDATE t SET hidden = 'h' WHERE id = 1"},
      {"ts DATETIME NOT NULL DEFAULT '2020-01-01 00:00:00' ON UPDATE CURRENT_TIMESTAMP",
       "UPDATE t SET hidden = 'h' WHERE id = 1"},
      // A TIMESTAMP without ON UPDATE is no row version: the data fields decide.
      {"ts TIMESTAMP NOT NULL DEFAULT '2020-01-01 00:00:00'", "UPDATE t SET name = 'other' WHERE id = 1"},
  };
  query.SpecificOptions().Add(u"MySQL.CheckRowVersion=True");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    query.Close();
    db.Exec("DROP TABLE IF EXISTS t");
    db.Exec(std::string("CREATE TABLE t (id INT PRIMARY KEY, name VARCHAR(20), hidden VARCHAR(5), ") + c.version + ")");
    db.Exec("INSERT INTO t (id, name) VALUES (1, 'a'), (2, 'b')");
    Open(u"SELECT id, name, ts FROM t ORDER BY id");
    // Unchanged by others: the post finds its row.
    Find(u"id", u"2");
    query.Edit();
    query.FieldByName(u"name").SetAsString(u"b2");
    query.Post();
    EXPECT_EQ(db.Rows("SELECT id, name FROM t WHERE id = 2"), (Rows{"2|b2"}));
    // The record took the new version: it can be changed again.
    query.Edit();
    query.FieldByName(u"name").SetAsString(u"b3");
    query.Post();
    EXPECT_EQ(db.Rows("SELECT id, name FROM t WHERE id = 2"), (Rows{"2|b3"}));

    db.Exec(c.change);
    const Rows before = db.Rows("SELECT id, name, hidden, ts FROM t ORDER BY id");
    Find(u"id", u"1");
    query.Edit();
    query.FieldByName(u"name").SetAsString(u"mine");
    EXPECT_EQ(test::ErrorOf([&] { query.Post(); }), "Update failed. Found 0 records");
    query.Cancel();
    EXPECT_EQ(test::ErrorOf([&] { query.Delete(); }), "Update failed. Found 0 records");
    EXPECT_EQ(db.Rows("SELECT id, name, hidden, ts FROM t ORDER BY id"), before);
  }
}

// RefreshRecord reads the current record again through the query's own
// text (its alias, condition, parameter and line comment kept) and fails
// for a row that is gone.
TEST_F(VixEditServerTest, RefreshRecordReadsTheRowAgain) {
  db.Exec("CREATE TABLE t (id INT PRIMARY KEY, name VARCHAR(20), qty INT)");
  db.Exec("INSERT INTO t VALUES (1, 'a', 1), (2, 'b', 2), (3, 'c', 3)");
  query.SetSQL(u"SELECT x.id, x.name, x.qty FROM t x WHERE x.qty < :lim -- small ones\nORDER BY x.id");
  query.ParamByName(u"lim").SetAsInteger(10);
  query.Open();
  db.Exec("UPDATE t SET name = 'B', qty = 5 WHERE id = 2");
  db.Exec("UPDATE t SET name = 'C' WHERE id = 3");
  Find(u"id", u"2");
  query.RefreshRecord();
  EXPECT_EQ(query.FieldByName(u"id").AsInteger(), 2);
  EXPECT_EQ(query.FieldByName(u"name").AsString(), u"B");
  EXPECT_EQ(query.FieldByName(u"qty").AsInteger(), 5);
  Find(u"id", u"3");
  EXPECT_EQ(query.FieldByName(u"name").AsString(), u"c");  // only the current record
  db.Exec("DELETE FROM t WHERE id = 3");
  EXPECT_EQ(test::ErrorOf([&] { query.RefreshRecord(); }), "Refresh failed. Found 0 records");
  EXPECT_EQ(query.FieldByName(u"name").AsString(), u"c");
  EXPECT_EQ(query.RecordCount(), 3);
}

// The query with the record in work's buffers in reach.
struct TWorkQuery : TVixQuery {
  using TMemDataSet::NewRecBuf;
  using TMemDataSet::OldRecBuf;
};

TEST_F(VixEditServerTest, GeneratedUpdateNamesEveryMarkerPosition) {
  db.Exec("CREATE TABLE t (id INT PRIMARY KEY, name VARCHAR(20), qty INT, note VARCHAR(5))");
  db.Exec("INSERT INTO t VALUES (1, 'a', 2, 'n')");
  TWorkQuery work;
  work.SetConnection(&connection);
  work.SetSQL(u"SELECT * FROM t");
  work.Open();
  work.Edit();
  work.FieldByName(u"name").SetAsString(u"b");
  work.FieldByName(u"qty").SetAsInteger(3);
  TDAParams params;
  TDASQLGenerator& generator = work.Updater().Generator();
  const UString sql = generator.GenerateSQL(stUpdate, true, work.OldRecBuf(), work.NewRecBuf(), params);
  // The table goes with the database the server named for it.
  EXPECT_EQ(sql,
            u"UPDATE `" + Utf8ToUtf16(db.database) + u"`.`t`\r\nSET\r\n  `name` = ?, `qty` = ?\r\nWHERE\r\n  `id` = ?");
  ASSERT_EQ(params.Count(), 3);
  EXPECT_EQ(params.Items(0)->GetName(), u"name");
  EXPECT_EQ(params.Items(1)->GetName(), u"qty");
  EXPECT_EQ(params.Items(2)->GetName(), u"Old_id");
  EXPECT_EQ(params.Items(2)->GetAsInteger(), 1);
  ASSERT_EQ(generator.ParamsInfo().size(), 3u);
  for (const TDAParamInfo& info : generator.ParamsInfo()) EXPECT_EQ(sql[info.Position], u'?');
  // Nothing changed: no statement.
  work.Cancel();
  work.Edit();
  TDAParams none;
  EXPECT_EQ(generator.GenerateSQL(stUpdate, true, work.OldRecBuf(), work.NewRecBuf(), none), u"");
  work.Cancel();
  work.Close();
}

TEST_F(VixEditServerTest, ReadOnlyQueryRefusesChanges) {
  db.Exec("CREATE TABLE t (id INT PRIMARY KEY)");
  db.Exec("INSERT INTO t VALUES (1)");
  query.SetReadOnly(true);
  Open(u"SELECT * FROM t");
  EXPECT_EQ(test::ErrorOf([&] { query.Edit(); }), "Query: Cannot modify a read-only dataset");
  EXPECT_EQ(test::ErrorOf([&] { query.FieldByName(u"id").SetAsInteger(2); }),
            "Query: Dataset not in edit or insert mode");
}

// Two sessions lock the same record: B waits for A's lock and fails after
// innodb_lock_wait_timeout; once A has posted, B's values as read are out of
// date; read again, B locks and writes.
TEST_F(VixEditServerTest, PessimisticLockHoldsTheRecordUntilPost) {
  db.Exec("CREATE TABLE t (id INT PRIMARY KEY, name VARCHAR(20)) ENGINE=InnoDB");
  db.Exec("INSERT INTO t VALUES (1, 'a'), (2, 'b')");
  TVixConnection other;
  db.Setup(other);
  TVixQuery b;
  b.SetName(u"B");
  b.SetConnection(&other);
  b.SetSQL(u"SET SESSION innodb_lock_wait_timeout = 1");
  b.Execute();
  b.SetSQL(u"SELECT * FROM t ORDER BY id");
  b.SetLockMode(TCustomDADataSet::lmPessimistic);
  b.Open();
  query.SetLockMode(TCustomDADataSet::lmPessimistic);
  Open(u"SELECT * FROM t ORDER BY id");

  query.Edit();
  EXPECT_TRUE(connection.InTransaction());
  query.FieldByName(u"name").SetAsString(u"A");
  EXPECT_NE(test::ErrorOf([&] { b.Edit(); }).find("Lock wait timeout"), std::string::npos);
  EXPECT_EQ(b.State(), dsBrowse);
  b.Next();  // another record is free
  b.Edit();
  b.FieldByName(u"name").SetAsString(u"B");
  b.Post();
  EXPECT_EQ(db.Rows("SELECT * FROM t ORDER BY id"), (Rows{"1|a", "2|B"}));
  query.Post();
  EXPECT_FALSE(connection.InTransaction());
  EXPECT_EQ(db.Rows("SELECT * FROM t ORDER BY id"), (Rows{"1|A", "2|B"}));

  b.First();
  EXPECT_EQ(test::ErrorOf([&] { b.Edit(); }), "Record was changed by another user");
  EXPECT_FALSE(other.InTransaction());
  b.Close();
  b.Open();
  b.Edit();
  b.FieldByName(u"name").SetAsString(u"again");
  b.Cancel();
  EXPECT_FALSE(other.InTransaction());
  b.Close();
  other.Close();
}

// --- cached updates ---------------------------------------------------------------

struct VixCachedUpdatesServerTest : VixEditServerTest {
  void SetUp() override {
    VixEditServerTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    db.Exec("CREATE TABLE t (id INT PRIMARY KEY, name VARCHAR(20))");
    db.Exec("INSERT INTO t VALUES (1, 'a'), (2, 'b'), (3, 'c')");
    query.SetCachedUpdates(true);
    Open(u"SELECT * FROM t ORDER BY id");
  }
  Rows Server() { return db.Rows("SELECT * FROM t ORDER BY id"); }
  void SetName(const UString& from, const UString& to) {
    Find(u"name", from);
    query.Edit();
    query.FieldByName(u"name").SetAsString(to);
    query.Post();
  }
  void AppendRow(int id, const UString& name) {
    query.Append();
    query.FieldByName(u"id").SetAsInteger(id);
    query.FieldByName(u"name").SetAsString(name);
    query.Post();
  }
};

TEST_F(VixCachedUpdatesServerTest, ChangesWaitForApplyAndCommit) {
  SetName(u"b", u"B");
  AppendRow(4, u"d");
  Find(u"name", u"c");
  query.Delete();
  EXPECT_EQ(query.RecordCount(), 3);
  EXPECT_TRUE(query.UpdatesPending());
  EXPECT_EQ(Server(), (Rows{"1|a", "2|b", "3|c"}));
  query.ApplyUpdates();
  EXPECT_FALSE(query.UpdatesPending());
  EXPECT_EQ(Server(), (Rows{"1|a", "2|B", "4|d"}));
  query.CommitUpdates();
  EXPECT_EQ(query.RecordCount(), 3);
  query.First();
  EXPECT_EQ(query.UpdateStatus(), isUnmodified);
  EXPECT_EQ(Server(), (Rows{"1|a", "2|B", "4|d"}));
}

// A change applied but not committed is on the server: a later change of the
// same record starts from the applied values.
TEST_F(VixCachedUpdatesServerTest, ChangesAfterApplyBeforeCommitReachTheServer) {
  AppendRow(4, u"d");
  query.ApplyUpdates();
  query.Delete();  // the inserted row, applied
  Find(u"name", u"a");
  query.Edit();
  query.FieldByName(u"id").SetAsInteger(10);
  query.Post();
  query.ApplyUpdates();
  EXPECT_EQ(Server(), (Rows{"2|b", "3|c", "10|a"}));
  SetName(u"a", u"A");  // found by id 10, the applied value
  SetName(u"b", u"B");
  query.ApplyUpdates();
  Find(u"name", u"B");
  query.Delete();  // an applied edit: deleted by its applied values
  query.ApplyUpdates();
  EXPECT_EQ(Server(), (Rows{"3|c", "10|A"}));
  AppendRow(5, u"e");
  query.ApplyUpdates();
  SetName(u"e", u"E");  // an applied insert edited again
  query.CommitUpdates();
  EXPECT_FALSE(query.UpdatesPending());
  EXPECT_EQ(Server(), (Rows{"3|c", "5|E", "10|A"}));
}

TEST_F(VixCachedUpdatesServerTest, BatchesSendEveryChangeOnce) {
  query.Options().UpdateBatchSize = 3;
  for (int id = 4; id <= 8; ++id) AppendRow(id, u"n" + IntToStr(id));
  SetName(u"a", u"A");
  query.ApplyUpdates();
  EXPECT_FALSE(query.UpdatesPending());
  EXPECT_EQ(Server(), (Rows{"1|A", "2|b", "3|c", "4|n4", "5|n5", "6|n6", "7|n7", "8|n8"}));
  query.CommitUpdates();
  EXPECT_EQ(Server().size(), 8u);
}

// A duplicate key in the second batch: the pass runs in its own transaction
// and leaves nothing on the server; fixed and applied again, every row is
// there exactly once.
TEST_F(VixCachedUpdatesServerTest, FailedPassIsAllOrNothing) {
  query.Options().UpdateBatchSize = 3;
  for (int id = 4; id <= 6; ++id) AppendRow(id, u"n" + IntToStr(id));
  AppendRow(2, u"dup");
  AppendRow(7, u"n7");
  EXPECT_THROW(query.ApplyUpdates(), EDatabaseError);
  EXPECT_TRUE(query.UpdatesPending());
  EXPECT_EQ(Server(), (Rows{"1|a", "2|b", "3|c"}));
  // CommitUpdates must not drop changes the server never kept.
  Find(u"name", u"dup");
  query.Edit();
  query.FieldByName(u"id").SetAsInteger(9);
  query.Post();
  query.CommitUpdates();
  EXPECT_FALSE(query.UpdatesPending());
  EXPECT_EQ(Server(), (Rows{"1|a", "2|b", "3|c", "4|n4", "5|n5", "6|n6", "7|n7", "9|dup"}));
}

// The session dies in the middle of a pass: the server kept nothing of it,
// every change is still pending, and a second pass on a new session applies
// each change once.
TEST_F(VixCachedUpdatesServerTest, SessionLostInThePassLeavesEverythingPending) {
  query.Close();
  connection.Close();
  connection.Options().SetDisconnectedMode(true);
  Open(u"SELECT * FROM t ORDER BY id");
  for (int id = 4; id <= 8; ++id) AppendRow(id, u"n" + IntToStr(id));
  query.OnUpdateRecord = [&](TDataSet& ds, TMemDataSet::TUpdateRecKind, TUpdateRecAction& action) {
    if (ds.FieldByName(u"id").AsInteger() == 6) {
      auto* session = dynamic_cast<TMySQLConnection*>(connection.ProviderConnection());
      ASSERT_NE(session, nullptr);
      db.Exec("KILL " + std::to_string(session->GetThreadId()));
    }
    action = TMemDataSet::kUpdateRecActionDefault;
  };
  EXPECT_THROW(query.ApplyUpdates(), EDatabaseError);
  EXPECT_TRUE(query.Active());
  EXPECT_TRUE(query.UpdatesPending());
  EXPECT_EQ(Server(), (Rows{"1|a", "2|b", "3|c"}));
  query.OnUpdateRecord = nullptr;
  connection.Connect();
  query.ApplyUpdates();
  query.CommitUpdates();
  EXPECT_EQ(Server(), (Rows{"1|a", "2|b", "3|c", "4|n4", "5|n5", "6|n6", "7|n7", "8|n8"}));
}

TEST_F(VixCachedUpdatesServerTest, KindsNotRequestedStayPending) {
  SetName(u"a", u"A");
  AppendRow(4, u"d");
  query.ApplyUpdates(1u << TMemData::ukInsert);
  EXPECT_EQ(Server(), (Rows{"1|a", "2|b", "3|c", "4|d"}));
  EXPECT_TRUE(query.UpdatesPending());
  Find(u"name", u"A");
  EXPECT_EQ(query.UpdateResult(), urFail);
  query.CommitUpdates();
  EXPECT_EQ(Server(), (Rows{"1|A", "2|b", "3|c", "4|d"}));
}

TEST_F(VixCachedUpdatesServerTest, CancelRevertAndRestore) {
  SetName(u"a", u"x");
  SetName(u"x", u"y");
  Find(u"name", u"y");
  query.RevertRecord();
  EXPECT_EQ(query.FieldByName(u"name").AsString(), u"a");
  AppendRow(4, u"d");
  query.Delete();  // never sent
  SetName(u"b", u"B");
  Find(u"name", u"B");
  query.Delete();  // takes back its old values first
  query.CancelUpdates();
  EXPECT_EQ(query.RecordCount(), 3);
  Find(u"name", u"b");
  EXPECT_FALSE(query.UpdatesPending());
  EXPECT_EQ(Server(), (Rows{"1|a", "2|b", "3|c"}));

  SetName(u"c", u"C");
  query.ApplyUpdates();
  db.Exec("UPDATE t SET name = 'c' WHERE id = 3");
  query.RestoreUpdates();
  EXPECT_TRUE(query.UpdatesPending());
  query.ApplyUpdates();
  EXPECT_EQ(Server(), (Rows{"1|a", "2|b", "3|C"}));
}

TEST_F(VixCachedUpdatesServerTest, UpdateEventsDecide) {
  SetName(u"a", u"A");
  SetName(u"b", u"B");
  query.OnUpdateRecord = [](TDataSet& ds, TMemDataSet::TUpdateRecKind kind, TUpdateRecAction& action) {
    EXPECT_EQ(kind, TMemData::ukUpdate);
    action = ds.FieldByName(u"name").AsString() == u"A" ? urSkip : TMemDataSet::kUpdateRecActionDefault;
  };
  query.ApplyUpdates();
  EXPECT_EQ(Server(), (Rows{"1|a", "2|B", "3|c"}));
  query.CommitUpdates();
  EXPECT_TRUE(query.UpdatesPending());
  Find(u"name", u"A");
  EXPECT_EQ(query.UpdateResult(), urSkip);

  query.OnUpdateRecord = nullptr;
  db.Exec("DELETE FROM t WHERE id = 1");
  int errors = 0;
  query.OnUpdateError = [&](TDataSet&, const Exception& e, TMemDataSet::TUpdateRecKind, TUpdateRecAction& action) {
    EXPECT_EQ(Utf16ToUtf8(e.Message()), "Update failed. Found 0 records");
    ++errors;
    action = urSkip;
  };
  query.ApplyUpdates();
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(query.UpdateResult(), urSkip);
}

TEST_F(VixCachedUpdatesServerTest, NeedsCachedUpdates) {
  query.Close();
  query.SetCachedUpdates(false);
  query.Open();
  EXPECT_EQ(test::ErrorOf([&] { query.ApplyUpdates(); }), "Query: Not in cached update mode");
  EXPECT_EQ(test::ErrorOf([&] { query.SetCachedUpdates(true); }),
            "Query: Cannot perform this operation on an open dataset");
}

}  // namespace
}  // namespace vix
