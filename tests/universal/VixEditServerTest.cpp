// Editing through the query on the private MariaDB server: Edit, Insert,
// Append, Delete, Post and Cancel write to the server at once, and every
// case ends with the server's rows read back through a second session.
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Common/DASQLGenerator.h"
#include "MySql/MyClasses.h"
#include "MySql/MyServices.h"
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
  // Opens `sql` with cached updates sent in batches of `batch`.
  void OpenCached(const UString& sql, int batch) {
    query.Close();
    query.SetCachedUpdates(true);
    query.Options().UpdateBatchSize = batch;
    Open(sql);
  }
  // Sets a field of the current record and posts it.
  void EditField(const UString& name, const UString& value) {
    query.Edit();
    query.FieldByName(name).SetAsString(value);
    query.Post();
  }
  // Edits the record whose name reads `from` to read `to`.
  void SetName(const UString& from, const UString& to) {
    Find(u"name", from);
    EditField(u"name", to);
  }
  // Posts new records with the ids `from`..`to` named "n", then renames the
  // record with id 1 to "A".
  void PostNewRowsAndRenameFirst(int from, int to) {
    for (int id = from; id <= to; ++id) {
      query.Append();
      query.FieldByName(u"id").SetAsInteger(id);
      query.FieldByName(u"name").SetAsString(u"n");
      query.Post();
    }
    Find(u"id", u"1");
    query.Edit();
    query.FieldByName(u"name").SetAsString(u"A");
    query.Post();
  }
  // An edit of the current record's qty whose statement touches two rows of
  // t: refused, and the server's rows stay as they were.
  void ExpectTwoRowChangeUndone() {
    const Rows before = db.Rows("SELECT * FROM t ORDER BY id");
    query.Edit();
    query.FieldByName(u"qty").SetAsInteger(query.FieldByName(u"qty").AsInteger() * 10);
    EXPECT_EQ(test::ErrorOf([&] { query.Post(); }), "Update failed. Found 2 records");
    query.Cancel();
    EXPECT_EQ(db.Rows("SELECT * FROM t ORDER BY id"), before);
  }
  // An edit with a pessimistic lock holds the row of t with that id: the
  // other session's update waits and gives up. The edit is cancelled.
  void ExpectEditHoldsRow(const std::string& id) {
    query.SetLockMode(TCustomDADataSet::lmPessimistic);
    query.Edit();
    db.Exec("SET SESSION innodb_lock_wait_timeout = 1");
    const Rows blocked = db.Rows("UPDATE t SET qty = 0 WHERE id = " + id);
    ASSERT_EQ(blocked.size(), 1u);
    EXPECT_NE(blocked[0].find("Lock wait timeout"), std::string::npos) << blocked[0];
    query.Cancel();
  }
  // A thread that kills the first other session seen running a statement
  // with `marker` in its text (for up to five seconds). The admin session
  // is the thread's until it is joined.
  std::thread KillSessionRunning(const std::string& marker) {
    return std::thread([this, marker] {
      for (int i = 0; i < 500; ++i) {
        const Rows found =
            db.Rows("SELECT ID FROM information_schema.PROCESSLIST WHERE ID <> CONNECTION_ID() AND INFO LIKE '%" +
                    marker + "%'");
        if (!found.empty()) {
          db.Exec("KILL " + found[0]);
          return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
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

// The session dies while a posted change is read back inside the transaction
// that holds the record's lock: the change went with the session, and Post
// reports the lost session.
TEST_F(VixEditServerTest, SessionLostWhileReadingBackALockedChangeFailsThePost) {
  db.Exec("CREATE TABLE t (id INT PRIMARY KEY, name VARCHAR(20))");
  db.Exec("INSERT INTO t VALUES (1, 'a'), (2, 'b')");
  query.SetLockMode(TCustomDADataSet::lmPessimistic);
  query.SetRefreshOptions(roAfterUpdate);
  query.SetSQLRefresh(u"SELECT id, name FROM t WHERE id = :id AND SLEEP(0.3) = 0");
  Open(u"SELECT * FROM t ORDER BY id");
  query.Edit();
  query.FieldByName(u"name").SetAsString(u"A");
  std::thread killer = KillSessionRunning("SLEEP(0.3)");
  const std::string error = test::ErrorOf([&] { query.Post(); });
  killer.join();
  EXPECT_NE(error.find("onnection"), std::string::npos) << error;
  EXPECT_NE(query.State(), dsBrowse);
  EXPECT_EQ(db.Rows("SELECT * FROM t ORDER BY id"), (Rows{"1|a", "2|b"}));
}

// --- reading records again ------------------------------------------------------

// What the server makes of a row (a default, a trigger, the auto-increment
// value) reaches the record only when the refresh options ask for it.
TEST_F(VixEditServerTest, RefreshOptionsReadWhatTheServerMade) {
  struct Case {
    TRefreshOptions options;
    const char* kindAfterInsert;  // the default the server filled in
    const char* upperAfterInsert;
    const char* upperAfterUpdate;
  } cases[] = {
      {0, "", "", ""},
      {roAfterInsert, "plain", "ABC", "ABC"},
      {roAfterUpdate, "", "", "XYZ"},
      {roAfterInsert | roAfterUpdate, "plain", "ABC", "XYZ"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.options));
    query.Close();
    db.Exec("DROP TABLE IF EXISTS t");
    db.Exec(
        "CREATE TABLE t (id INT AUTO_INCREMENT PRIMARY KEY, name VARCHAR(20), kind VARCHAR(10) DEFAULT 'plain', "
        "upper_name VARCHAR(20))");
    db.Exec("CREATE TRIGGER t_bi BEFORE INSERT ON t FOR EACH ROW SET NEW.upper_name = UPPER(NEW.name)");
    db.Exec("CREATE TRIGGER t_bu BEFORE UPDATE ON t FOR EACH ROW SET NEW.upper_name = UPPER(NEW.name)");
    db.Exec("INSERT INTO t (id, name) VALUES (7, 'first')");
    query.SetRefreshOptions(c.options);
    Open(u"SELECT id, name, kind, upper_name FROM t ORDER BY id");
    query.Append();
    query.FieldByName(u"name").SetAsString(u"abc");
    query.Post();
    EXPECT_EQ(query.FieldByName(u"id").AsInteger(), 8);
    EXPECT_EQ(Utf16ToUtf8(query.FieldByName(u"kind").AsString()), c.kindAfterInsert);
    EXPECT_EQ(Utf16ToUtf8(query.FieldByName(u"upper_name").AsString()), c.upperAfterInsert);
    // The record read back is the one posted: editing it finds its row.
    query.Edit();
    query.FieldByName(u"name").SetAsString(u"xyz");
    query.Post();
    EXPECT_EQ(Utf16ToUtf8(query.FieldByName(u"upper_name").AsString()), c.upperAfterUpdate);
    EXPECT_EQ(query.RecordCount(), 2);
    EXPECT_EQ(db.Rows("SELECT * FROM t ORDER BY id"), (Rows{"7|first|plain|FIRST", "8|xyz|plain|XYZ"}));
  }
}

// A row the query no longer shows after the write keeps the values written:
// the change is on the server, the post succeeds and is not sent twice.
TEST_F(VixEditServerTest, RefreshAfterWriteOfARowTheQueryDoesNotShow) {
  db.Exec("CREATE TABLE t (id INT PRIMARY KEY, qty INT)");
  db.Exec("INSERT INTO t VALUES (1, 1)");
  query.SetRefreshOptions(roAfterInsert | roAfterUpdate);
  Open(u"SELECT * FROM t WHERE qty < 10");
  query.Append();
  query.FieldByName(u"id").SetAsInteger(2);
  query.FieldByName(u"qty").SetAsInteger(50);
  query.Post();
  EXPECT_EQ(query.State(), dsBrowse);
  query.First();
  query.Edit();
  query.FieldByName(u"qty").SetAsInteger(99);
  query.Post();
  EXPECT_EQ(query.FieldByName(u"qty").AsInteger(), 99);
  EXPECT_EQ(db.Rows("SELECT * FROM t ORDER BY id"), (Rows{"1|99", "2|50"}));
}

// roBeforeEdit: Edit starts from the row as the server has it now; with a
// pessimistic lock it reads the row under the lock instead of failing on
// the other session's change.
TEST_F(VixEditServerTest, RefreshBeforeEditStartsFromTheServersRow) {
  struct Case {
    TCustomDADataSet::TLockMode lock;
    TRefreshOptions options;
    const char* error;  // of Edit; "<none>": it starts
  } cases[] = {
      {TCustomDADataSet::lmNone, roBeforeEdit, "<none>"},
      {TCustomDADataSet::lmPessimistic, roBeforeEdit, "<none>"},
      {TCustomDADataSet::lmPessimistic, 0, "Record was changed by another user"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.lock) + "/" + std::to_string(c.options));
    query.Close();
    db.Exec("DROP TABLE IF EXISTS t");
    db.Exec("CREATE TABLE t (id INT PRIMARY KEY, name VARCHAR(20), qty INT) ENGINE=InnoDB");
    db.Exec("INSERT INTO t VALUES (1, 'a', 1)");
    query.SetLockMode(c.lock);
    query.SetRefreshOptions(c.options);
    Open(u"SELECT * FROM t");
    db.Exec("UPDATE t SET qty = 5 WHERE id = 1");
    EXPECT_EQ(test::ErrorOf([&] { query.Edit(); }), c.error);
    if (std::string(c.error) != "<none>") {
      EXPECT_EQ(query.State(), dsBrowse);
      EXPECT_FALSE(connection.InTransaction());
      continue;
    }
    EXPECT_EQ(query.FieldByName(u"qty").AsInteger(), 5);
    EXPECT_EQ(connection.InTransaction(), c.lock == TCustomDADataSet::lmPessimistic);
    query.FieldByName(u"name").SetAsString(u"mine");
    query.Post();
    EXPECT_FALSE(connection.InTransaction());
    EXPECT_EQ(db.Rows("SELECT * FROM t"), (Rows{"1|mine|5"}));
  }
  query.SetLockMode(TCustomDADataSet::lmNone);
}

// The query's own statement texts write, read again and lock instead of the
// generated ones: fields by name, by "OLD_" name and by number; an update
// text that touches two rows is undone; a lock text "FOR UPDATE" follows the
// refresh text and holds the row until Cancel.
TEST_F(VixEditServerTest, OwnStatementTextsReplaceTheGeneratedOnes) {
  db.Exec("CREATE TABLE t (id INT PRIMARY KEY, name VARCHAR(20), qty INT) ENGINE=InnoDB");
  db.Exec("INSERT INTO t VALUES (1, 'a', 1), (2, 'b', 2), (3, 'b', 3)");
  query.SetSQLInsert(u"INSERT INTO t (id, name, qty) VALUES (:id, CONCAT(:name, '!'), :3)");
  query.SetSQLUpdate(u"UPDATE t SET id = :id, name = UPPER(:name), qty = :qty WHERE id = :OLD_id");
  query.SetSQLDelete(u"DELETE FROM t WHERE id = :OLD_id AND qty = :OLD_qty");
  query.SetSQLRefresh(u"  where id = :id");
  query.SetSQLLock(u"FOR UPDATE");
  query.SetRefreshOptions(roAfterInsert | roAfterUpdate);
  Open(u"SELECT * FROM t ORDER BY id");
  query.Append();
  query.FieldByName(u"id").SetAsInteger(4);
  query.FieldByName(u"name").SetAsString(u"d");
  query.FieldByName(u"qty").SetAsInteger(4);
  query.Post();
  EXPECT_EQ(query.FieldByName(u"name").AsString(), u"d!");
  Find(u"id", u"1");
  query.Edit();
  query.FieldByName(u"id").SetAsInteger(10);
  query.FieldByName(u"name").SetAsString(u"x");
  query.Post();
  EXPECT_EQ(query.FieldByName(u"name").AsString(), u"X");
  Find(u"id", u"4");
  query.Delete();
  EXPECT_EQ(db.Rows("SELECT * FROM t ORDER BY id"), (Rows{"2|b|2", "3|b|3", "10|X|1"}));

  query.SetSQLUpdate(u"UPDATE t SET qty = :qty WHERE name = :OLD_name");
  Find(u"id", u"2");
  ExpectTwoRowChangeUndone();
  ExpectEditHoldsRow("2");
  EXPECT_EQ(db.Rows("UPDATE t SET qty = 0 WHERE id = 2"), Rows{});
  EXPECT_EQ(db.Rows("SELECT * FROM t ORDER BY id"), (Rows{"2|b|0", "3|b|3", "10|X|1"}));
}

// --- the record count ------------------------------------------------------------------

// With QueryRecCount and rows fetched a few at a time, RecordCount is the
// server's count from the start, for every form of query; rows a local
// filter hides are taken off. A statement the server cannot count (a
// derived table with two columns of one name) leaves the count to the
// records read.
TEST_F(VixEditServerTest, RecordCountQueryCountsEveryFormOfQuery) {
  std::string values;
  for (int id = 1; id <= 30; ++id)
    values += (id > 1 ? ", (" : "(") + std::to_string(id) + ", " + std::to_string(id % 3) + ")";
  db.Exec("CREATE TABLE c (id INT PRIMARY KEY, grp INT)");
  db.Exec("INSERT INTO c VALUES " + values);
  query.SpecificOptions().Add(u"MySQL.FetchAll=False");
  query.SetFetchRows(4);
  query.Options().QueryRecCount = true;
  struct Case {
    const char16_t* sql;
    int count;
  } cases[] = {
      {u"SELECT * FROM c ORDER BY id", 30},
      {u"SELECT id FROM c WHERE grp = :g -- one group\nORDER BY id", 10},
      {u"SELECT a.id, b.id FROM c a JOIN c b ON b.id = a.id", 30},
      {u"SELECT grp, COUNT(*) AS n FROM c GROUP BY grp", 3},
      {u"SELECT DISTINCT grp FROM c", 3},
      {u"SELECT id FROM c WHERE id <= 5 UNION ALL SELECT id FROM c WHERE id > 25", 10},
      {u"SELECT id FROM c ORDER BY id LIMIT 7", 7},
      // Rows limited from a join whose columns share names, ordered by a
      // name of the select list.
      {u"SELECT * FROM c a JOIN c b ON b.id = a.id ORDER BY a.id LIMIT 9", 9},
      {u"SELECT id + 1 AS x, grp FROM c ORDER BY x DESC LIMIT 25, 10", 5},
      {u"WITH x AS (SELECT id FROM c WHERE grp = 0) SELECT * FROM x", 10},
      {u"SELECT COUNT(*) AS n FROM c", 1},
      {u"SELECT id, (SELECT MAX(id) FROM c) AS top FROM c WHERE grp = 1;", 10},
      {u"SELECT a.id, b.id, COUNT(*) FROM c a JOIN c b ON b.id = a.id GROUP BY a.id, b.id", 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.sql));
    query.Close();
    query.SetSQL(c.sql);
    if (query.FindParam(u"g")) query.ParamByName(u"g").SetAsInteger(1);
    query.Open();
    EXPECT_EQ(query.RecordCount(), c.count);
  }

  Open(u"SELECT * FROM c ORDER BY id");
  query.Next();
  query.SetFilter(u"id <> 2");
  query.SetFiltered(true);
  EXPECT_EQ(query.RecordCount(), 29);
  int seen = 0;
  for (query.First(); !query.Eof(); query.Next()) ++seen;
  EXPECT_EQ(seen, 29);
  EXPECT_EQ(query.RecordCount(), 29);
  query.SetFiltered(false);
  query.Options().QueryRecCount = false;
  Open(u"SELECT * FROM c ORDER BY id");
  EXPECT_EQ(query.RecordCount(), 4);
}

// --- the update object ----------------------------------------------------------------

// The update object's queries and texts come before the query's own texts:
// a query for insert (the auto-increment value taken back), a text for
// update, a query for delete, refresh and lock. A write that must touch one
// row is undone when it touched two; freeing either side leaves no
// reference behind.
TEST_F(VixEditServerTest, UpdateObjectWritesRefreshesAndLocks) {
  db.Exec("CREATE TABLE t (id INT AUTO_INCREMENT PRIMARY KEY, name VARCHAR(20), qty INT) ENGINE=InnoDB");
  db.Exec("INSERT INTO t (name, qty) VALUES ('a', 1), ('b', 2), ('b', 3)");
  auto update = std::make_unique<TVixUpdateSQL>();
  TVixQuery insertQuery, deleteQuery, refreshQuery, lockQuery;
  insertQuery.SetSQL(u"INSERT INTO t (name, qty) VALUES (CONCAT(:name, '+'), :qty)");
  deleteQuery.SetSQL(u"DELETE FROM t WHERE id = :OLD_id");
  refreshQuery.SetSQL(u"SELECT name, qty * 10 AS qty FROM t WHERE id = :id");
  lockQuery.SetSQL(u"SELECT id, name, qty FROM t WHERE id = :OLD_id FOR UPDATE");
  update->SetInsertObject(&insertQuery);
  update->SetModifySQL(u"UPDATE t SET name = UPPER(:name), qty = :qty WHERE id = :OLD_id");
  update->SetDeleteObject(&deleteQuery);
  update->SetRefreshObject(&refreshQuery);
  update->SetLockObject(&lockQuery);
  query.SetSQLUpdate(u"UPDATE t SET name = 'not this one'");
  query.SetUpdateObject(update.get());
  EXPECT_EQ(update->DataSet(), &query);
  query.SetRefreshOptions(roAfterInsert);
  Open(u"SELECT * FROM t ORDER BY id");

  query.Append();
  query.FieldByName(u"name").SetAsString(u"d");
  query.FieldByName(u"qty").SetAsInteger(4);
  query.Post();
  EXPECT_EQ(query.FieldByName(u"id").AsInteger(), 4);
  EXPECT_EQ(query.FieldByName(u"name").AsString(), u"d+");  // read again by the refresh query
  EXPECT_EQ(query.FieldByName(u"qty").AsInteger(), 40);
  EXPECT_EQ(insertQuery.GetConnection(), &connection);
  Find(u"id", u"1");
  query.Edit();
  query.FieldByName(u"name").SetAsString(u"x");
  query.Post();
  Find(u"id", u"2");
  query.Delete();
  EXPECT_EQ(db.Rows("SELECT * FROM t ORDER BY id"), (Rows{"1|X|1", "3|b|3", "4|d+|4"}));

  // The modify text finds two rows: undone.
  update->SetModifySQL(u"UPDATE t SET qty = :qty WHERE qty >= :OLD_qty");
  Find(u"id", u"3");
  ExpectTwoRowChangeUndone();

  // The lock query holds the row and checks it still holds the values read.
  ExpectEditHoldsRow("3");
  db.Exec("UPDATE t SET qty = 33 WHERE id = 3");
  EXPECT_EQ(test::ErrorOf([&] { query.Edit(); }), "Record was changed by another user");
  EXPECT_EQ(query.State(), dsBrowse);
  query.SetLockMode(TCustomDADataSet::lmNone);

  // A query without a text.
  update->SetRefreshObject(nullptr);
  refreshQuery.SetSQL(u"");
  update->SetRefreshObject(&refreshQuery);
  EXPECT_EQ(test::ErrorOf([&] { query.RefreshRecord(); }),
            "SQL property of InsertObject, ModifyObject, DeleteObject or RefreshObject cannot be empty");

  // Freed queries and a freed update object leave nothing dangling.
  {
    TVixQuery modifyQuery;
    update->SetModifyObject(&modifyQuery);
  }
  EXPECT_EQ(update->ModifyObject(), nullptr);
  update->SetRefreshObject(nullptr);
  update.reset();
  EXPECT_EQ(query.UpdateObject(), nullptr);
  query.SetSQLUpdate(u"");
  query.Edit();
  query.FieldByName(u"name").SetAsString(u"generated");
  query.Post();
  EXPECT_EQ(db.Rows("SELECT * FROM t ORDER BY id"), (Rows{"1|X|1", "3|generated|33", "4|d+|4"}));
}

// With cached updates the update object's statements apply each change once,
// between batches of generated ones.
TEST_F(VixEditServerTest, UpdateObjectInCachedUpdates) {
  db.Exec("CREATE TABLE t (id INT PRIMARY KEY, name VARCHAR(20))");
  db.Exec("INSERT INTO t VALUES (1, 'a'), (2, 'b')");
  TVixUpdateSQL update;
  TVixQuery modifyQuery;
  modifyQuery.SetSQL(u"UPDATE t SET name = CONCAT(:name, '!') WHERE id = :OLD_id");
  update.SetModifyObject(&modifyQuery);
  update.SetDataSet(&query);
  query.SetCachedUpdates(true);
  query.Options().UpdateBatchSize = 3;
  Open(u"SELECT * FROM t ORDER BY id");
  PostNewRowsAndRenameFirst(3, 6);
  query.ApplyUpdates();
  query.CommitUpdates();
  EXPECT_FALSE(query.UpdatesPending());
  EXPECT_EQ(db.Rows("SELECT * FROM t ORDER BY id"), (Rows{"1|A!", "2|b", "3|n", "4|n", "5|n", "6|n"}));
  update.SetDataSet(nullptr);
  EXPECT_EQ(query.UpdateObject(), nullptr);
}

// --- quick refresh ----------------------------------------------------------------

struct VixQuickRefreshServerTest : VixEditServerTest {
  void SetUp() override {
    VixEditServerTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    db.Exec(
        "CREATE TABLE t (id INT PRIMARY KEY, name VARCHAR(20), qty INT, note TEXT, "
        "ts TIMESTAMP(6) NOT NULL DEFAULT CURRENT_TIMESTAMP(6) ON UPDATE CURRENT_TIMESTAMP(6))");
    db.Exec(
        "INSERT INTO t (id, name, qty, ts) VALUES (1, 'a', 1, '2020-01-01 10:00:00'), "
        "(2, 'b', 2, '2020-01-01 10:00:01'), (3, 'c', 3, '2020-01-01 10:00:02'), (4, 'd', 4, '2020-01-01 10:00:03')");
  }
  // The records as "id|name|qty", in the dataset's order.
  Rows Records() {
    Rows rows;
    for (query.First(); !query.Eof(); query.Next())
      rows.push_back(Utf16ToUtf8(query.FieldByName(u"id").AsString() + u"|" + query.FieldByName(u"name").AsString() +
                                 u"|" + query.FieldByName(u"qty").AsString()));
    return rows;
  }
};

// Rows changed or added by another session since the open come into the
// dataset (a line comment and a parameter of the query kept, the local order
// kept); rows deleted, or no longer matching the query, leave it only with
// checkDeleted.
TEST_F(VixQuickRefreshServerTest, ChangedAndNewRowsComeDeletedOnesGo) {
  query.SetSQL(u"SELECT x.id, x.name, x.qty, x.note, x.ts FROM t x WHERE x.qty < :lim -- small ones\nORDER BY x.id");
  query.ParamByName(u"lim").SetAsInteger(10);
  query.Open();
  query.SetIndexFieldNames(u"id DESC");
  db.Exec("UPDATE t SET name = 'B', note = 'noted' WHERE id = 2");
  db.Exec("INSERT INTO t (id, name, qty, note) VALUES (5, 'e', 5, 'new')");
  db.Exec("DELETE FROM t WHERE id = 3");
  db.Exec("UPDATE t SET qty = 50 WHERE id = 4");  // leaves the query's rows
  // Changed without a new version: not read again.
  db.Exec("UPDATE t SET name = 'A', ts = ts WHERE id = 1");
  Find(u"id", u"1");

  query.RefreshQuick(false);
  EXPECT_EQ(query.GetRowsAffected(), 2);               // rows 2 and 5
  EXPECT_EQ(query.FieldByName(u"id").AsInteger(), 1);  // the current record stays
  EXPECT_EQ(Records(), (Rows{"5|e|5", "4|d|4", "3|c|3", "2|B|2", "1|a|1"}));
  Find(u"id", u"2");
  EXPECT_EQ(query.FieldByName(u"note").AsString(), u"noted");
  Find(u"id", u"5");
  EXPECT_EQ(query.FieldByName(u"note").AsString(), u"new");

  query.RefreshQuick(true);
  EXPECT_EQ(Records(), (Rows{"5|e|5", "2|B|2", "1|a|1"}));
  EXPECT_EQ(query.RecordCount(), 3);
  // The records read are the server's rows: they can be edited.
  Find(u"id", u"5");
  query.Edit();
  query.FieldByName(u"name").SetAsString(u"E");
  query.Post();
  EXPECT_EQ(db.Rows("SELECT id, name, qty FROM t ORDER BY id"), (Rows{"1|A|1", "2|B|2", "4|d|50", "5|E|5"}));
}

// FilterSQL narrows the query's rows (its parameter joins Params), a new
// value reopens the query, and the statements that read rows again keep to
// the filter and take its parameter's value.
TEST_F(VixQuickRefreshServerTest, FilterSQLNarrowsTheRowsAndTheirRefresh) {
  query.SetSQL(u"SELECT * FROM t -- every row\nORDER BY id");
  query.SetFilterSQL(u"qty >= :low");
  query.ParamByName(u"low").SetAsInteger(2);
  query.Open();
  EXPECT_EQ(Records(), (Rows{"2|b|2", "3|c|3", "4|d|4"}));
  query.SetFilterSQL(u"qty >= :low AND name <> 'c' # not c");
  EXPECT_TRUE(query.Active());
  EXPECT_EQ(Records(), (Rows{"2|b|2", "4|d|4"}));

  db.Exec("UPDATE t SET name = 'B' WHERE id = 2");
  db.Exec("UPDATE t SET qty = 10 WHERE id = 1");  // comes into the filter
  db.Exec("UPDATE t SET qty = 0 WHERE id = 4");   // leaves it
  query.RefreshQuick(true);
  EXPECT_EQ(Records(), (Rows{"2|B|2", "1|a|10"}));  // a row read anew comes last
  db.Exec("UPDATE t SET name = 'A' WHERE id = 1");
  Find(u"id", u"1");
  query.RefreshRecord();
  EXPECT_EQ(query.FieldByName(u"name").AsString(), u"A");
  query.Edit();
  query.FieldByName(u"name").SetAsString(u"A2");
  query.Post();
  EXPECT_EQ(db.Rows("SELECT id, name, qty FROM t ORDER BY id"), (Rows{"1|A2|10", "2|B|2", "3|c|3", "4|d|0"}));

  // A text that takes no condition refuses the filter and keeps the old one.
  query.SetFilterSQL(u"");
  EXPECT_EQ(Records().size(), 4u);
  query.Close();
  query.SetSQL(u"SHOW TABLES");
  EXPECT_EQ(test::ErrorOf([&] { query.SetFilterSQL(u"1 = 1"); }),
            "Cannot add a condition to a statement that is not a SELECT");
  EXPECT_EQ(query.GetFilterSQL(), u"");
  query.Open();
}

// A new FilterSQL that cannot be taken leaves the open query as it was: a
// text that takes no condition, and cached changes that reopening would
// drop. Once they are applied, the filter is taken.
TEST_F(VixQuickRefreshServerTest, RefusedFilterSQLLeavesTheOpenQueryAsItWas) {
  struct Case {
    const char16_t* sql;
    bool cachedChange;
    const char* error;
  } cases[] = {
      {u"SELECT * FROM t WHERE id < 3 UNION SELECT * FROM t WHERE id > 3", false,
       "Cannot add a condition to a query that combines results with UNION, INTERSECT or EXCEPT"},
      {u"SELECT * FROM t ORDER BY id", true, "Query: Cannot change FilterSQL while cached updates are pending"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    query.Close();
    query.SetFilterSQL(u"");
    query.SetCachedUpdates(c.cachedChange);
    Open(c.sql);
    const size_t count = Records().size();
    if (c.cachedChange) SetName(u"b", u"b2");
    EXPECT_EQ(test::ErrorOf([&] { query.SetFilterSQL(u"qty > 1"); }), c.error);
    EXPECT_EQ(query.GetFilterSQL(), u"");
    EXPECT_TRUE(query.Active());
    if (!query.Active()) continue;
    EXPECT_EQ(Records().size(), count);
    if (!c.cachedChange) continue;
    EXPECT_TRUE(query.UpdatesPending());
    query.ApplyUpdates();
    query.CommitUpdates();
    query.SetFilterSQL(u"qty > 1");
    EXPECT_EQ(Records().size(), count - 1);
    EXPECT_EQ(db.Rows("SELECT name FROM t WHERE id = 2"), (Rows{"b2"}));
  }
}

// Rows not fetched yet are fetched first, not added twice.
TEST_F(VixQuickRefreshServerTest, UnfetchedRowsAreNotAddedTwice) {
  query.SpecificOptions().Add(u"MySQL.FetchAll=False");
  query.SetFetchRows(1);
  Open(u"SELECT * FROM t ORDER BY id");
  db.Exec("UPDATE t SET name = 'D' WHERE id = 4");
  query.RefreshQuick(true);
  EXPECT_EQ(Records(), (Rows{"1|a|1", "2|b|2", "3|c|3", "4|D|4"}));
}

TEST_F(VixQuickRefreshServerTest, RefusedWithoutARowVersionOrWithPendingChanges) {
  db.Exec("CREATE TABLE plain (id INT PRIMARY KEY, ts TIMESTAMP NOT NULL DEFAULT '2020-01-01 00:00:00')");
  db.Exec("INSERT INTO plain (id) VALUES (1)");
  Open(u"SELECT * FROM plain");
  EXPECT_EQ(test::ErrorOf([&] { query.RefreshQuick(false); }), "Timestamp field required");
  query.Close();
  query.SetCachedUpdates(true);
  Open(u"SELECT * FROM t ORDER BY id");
  query.Edit();
  query.FieldByName(u"name").SetAsString(u"mine");
  query.Post();
  db.Exec("UPDATE t SET name = 'theirs' WHERE id = 1");
  EXPECT_EQ(test::ErrorOf([&] { query.RefreshQuick(true); }), "Query: Cannot refresh while cached updates are pending");
  EXPECT_EQ(query.FieldByName(u"name").AsString(), u"mine");
  query.CancelUpdates();
  query.RefreshQuick(true);
  EXPECT_EQ(Records(), (Rows{"1|theirs|1", "2|b|2", "3|c|3", "4|d|4"}));
}

// --- locks -------------------------------------------------------------------------

// A shared lock lets another session lock the row shared but not change or
// lock it exclusively; an exclusive one lets it do neither. Lock() in
// browse mode needs the caller's transaction; in an edit it lasts until Post.
TEST_F(VixEditServerTest, LockTypesAsAnotherSessionSeesThem) {
  db.Exec("CREATE TABLE t (id INT PRIMARY KEY, name VARCHAR(20)) ENGINE=InnoDB");
  db.Exec("INSERT INTO t VALUES (1, 'a'), (2, 'b')");
  TVixConnection other;
  db.Setup(other);
  TVixQuery exec;
  exec.SetConnection(&other);
  exec.SetSQL(u"SET SESSION innodb_lock_wait_timeout = 1");
  exec.Execute();
  TVixQuery b;
  b.SetName(u"B");
  b.SetConnection(&other);
  b.SetSQL(u"SELECT * FROM t ORDER BY id");
  b.Open();
  auto waits = [](const std::string& error) { return error.find("Lock wait timeout") != std::string::npos; };

  EXPECT_EQ(test::ErrorOf([&] { b.Lock(); }), "B: A record lock needs an open transaction");

  query.SetLockType(TCustomDADataSet::ltShared);
  query.SetLockMode(TCustomDADataSet::lmPessimistic);
  Open(u"SELECT * FROM t ORDER BY id");
  query.Edit();  // row 1, shared
  exec.SetSQL(u"START TRANSACTION");
  exec.Execute();
  b.SetLockType(TCustomDADataSet::ltShared);
  b.Lock();  // shared beside shared
  b.SetLockType(TCustomDADataSet::ltExclusive);
  EXPECT_PRED1(waits, test::ErrorOf([&] { b.Lock(); }));
  exec.SetSQL(u"UPDATE t SET name = 'other' WHERE id = 1");
  EXPECT_PRED1(waits, test::ErrorOf([&] { exec.Execute(); }));
  exec.SetSQL(u"COMMIT");
  exec.Execute();
  query.FieldByName(u"name").SetAsString(u"A");
  query.Post();
  EXPECT_FALSE(connection.InTransaction());

  // Exclusive, taken in an edit that did not lock: not even a shared lock
  // gets the row until Post.
  query.SetLockMode(TCustomDADataSet::lmNone);
  query.SetLockType(TCustomDADataSet::ltExclusive);
  query.Edit();
  query.Lock();
  EXPECT_TRUE(connection.InTransaction());
  b.SetLockType(TCustomDADataSet::ltShared);
  b.Close();
  b.Open();
  exec.SetSQL(u"START TRANSACTION");
  exec.Execute();
  EXPECT_PRED1(waits, test::ErrorOf([&] { b.Lock(); }));
  b.Next();
  b.Lock();  // another row is free
  exec.SetSQL(u"COMMIT");
  exec.Execute();
  query.FieldByName(u"name").SetAsString(u"A2");
  query.Post();
  EXPECT_FALSE(connection.InTransaction());
  // Read under the lock, the row's values are taken rather than compared.
  exec.SetSQL(u"START TRANSACTION");
  exec.Execute();
  b.First();
  b.SetRefreshOptions(roBeforeEdit);
  b.Lock();
  EXPECT_EQ(b.FieldByName(u"name").AsString(), u"A2");
  exec.SetSQL(u"COMMIT");
  exec.Execute();
  EXPECT_EQ(db.Rows("SELECT * FROM t ORDER BY id"), (Rows{"1|A2", "2|b"}));
  b.Close();
  other.Close();
}

// The lock check takes two date-times as equal when they agree to the
// minute and differ by less than a second.
TEST(MyLockCheck, DateTimesWithinOneSecondOfTheSameMinuteAreEqual) {
  const auto at = [](int day, int hour, int minute, int second, int msec) {
    return EncodeDateTime(2020, 1, day, hour, minute, second, msec);
  };
  struct Case {
    TDateTime a, b;
    bool same;
  } cases[] = {
      {at(1, 10, 0, 0, 700), at(1, 10, 0, 0, 0), true},  // a fraction cut
      {at(1, 10, 0, 0, 700), at(1, 10, 0, 1, 0), true},  // rounded up
      {at(1, 10, 0, 5, 0), at(1, 10, 0, 5, 999), true},
      {at(1, 10, 0, 5, 0), at(1, 10, 0, 6, 0), false},     // a whole second
      {at(1, 10, 0, 59, 700), at(1, 10, 1, 0, 0), false},  // another minute
      {at(1, 10, 0, 0, 0), at(1, 11, 0, 0, 0), false},     // another hour
      {at(1, 10, 0, 0, 0), at(2, 10, 0, 0, 0), false},     // another day
      {at(1, 10, 0, 0, 0), -700000.0, false},              // does not decode
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SameLockDateTime(c.a, c.b), c.same) << c.a << " " << c.b;
    EXPECT_EQ(SameLockDateTime(c.b, c.a), c.same) << c.a << " " << c.b;
  }
}

// A fraction the server's DATETIME column does not keep does not make the
// record's lock fail; a change by another session does.
TEST_F(VixEditServerTest, LockCheckAllowsAFractionTheServerDropped) {
  db.Exec("CREATE TABLE t (id INT PRIMARY KEY, at DATETIME, name VARCHAR(20)) ENGINE=InnoDB");
  query.SetLockMode(TCustomDADataSet::lmPessimistic);
  Open(u"SELECT * FROM t");
  query.Append();
  query.FieldByName(u"id").SetAsInteger(1);
  query.FieldByName(u"at").SetAsVariant(Variant::FromDate(EncodeDateTime(2020, 1, 1, 10, 0, 0, 700)));
  query.FieldByName(u"name").SetAsString(u"a");
  query.Post();
  const Rows stored = db.Rows("SELECT at FROM t");
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_TRUE(stored[0] == "2020-01-01 10:00:00" || stored[0] == "2020-01-01 10:00:01") << stored[0];
  query.Edit();
  query.FieldByName(u"name").SetAsString(u"b");
  query.Post();
  db.Exec("UPDATE t SET at = '2020-01-01 10:00:02'");
  EXPECT_EQ(test::ErrorOf([&] { query.Edit(); }), "Record was changed by another user");
  EXPECT_EQ(db.Rows("SELECT id, at, name FROM t"), (Rows{"1|2020-01-01 10:00:02|b"}));
}

// A column that keeps milliseconds holds exactly what the record read: a
// change of another session within the same second fails the lock, and the
// record's values are not written over it.
TEST_F(VixEditServerTest, LockCheckSeesAChangeWithinASecondOfAColumnWithFractions) {
  db.Exec("CREATE TABLE t (id INT PRIMARY KEY, at DATETIME(3), name VARCHAR(20)) ENGINE=InnoDB");
  db.Exec("INSERT INTO t VALUES (1, '2020-01-01 10:00:00.100', 'a')");
  query.SetLockMode(TCustomDADataSet::lmPessimistic);
  Open(u"SELECT * FROM t");
  query.Edit();  // the values read hold
  query.Cancel();
  db.Exec("UPDATE t SET at = '2020-01-01 10:00:00.600'");
  EXPECT_EQ(test::ErrorOf([&] { query.Edit(); }), "Record was changed by another user");
  EXPECT_EQ(query.State(), dsBrowse);
  EXPECT_EQ(db.Rows("SELECT at, name FROM t"), (Rows{"2020-01-01 10:00:00.600|a"}));
}

// --- table queries -----------------------------------------------------------------

// The generated table query, run by a query: every form reads the rows it
// names, whatever the table is called.
TEST_F(VixEditServerTest, TableQueriesReadTheirRows) {
  db.Exec("CREATE TABLE `a.b` (id INT PRIMARY KEY, v INT, w INT, KEY iv (v))");
  db.Exec("INSERT INTO `a.b` VALUES (1, 50, 0), (2, 40, 0), (3, 30, 0), (4, 20, 0), (5, 10, 0)");
  db.Exec("CREATE TABLE `order` (id INT PRIMARY KEY)");
  db.Exec("INSERT INTO `order` VALUES (1), (2)");
  struct Case {
    const char* table;
    const char* order;
    int limit, offset;
    bool handler;
    const char* index;
    const char* filter;
    const char* sql;  // empty: not compared
    Rows ids;
  } cases[] = {
      {"`a.b`", "", -1, 0, false, "", "", "SELECT * FROM `a.b`", {"1", "2", "3", "4", "5"}},
      {"`a.b`", "v", 2, 0, false, "", "", "SELECT * FROM `a.b` ORDER BY v LIMIT 0, 2", {"5", "4"}},
      {"`a.b`", "id", -1, 3, false, "", "", "SELECT * FROM `a.b` ORDER BY id LIMIT 3, 2147483647", {"4", "5"}},
      {"`a.b`", "id -- by id", 1, 1, false, "", "v < 45", "", {"3"}},
      {"order", "", -1, 0, false, "", "", "SELECT * FROM `order`", {"1", "2"}},
      {"`a.b`",
       "",
       2,
       1,
       true,
       "",
       "",
       "HANDLER `a.b` OPEN;\nHANDLER `a.b` READ FIRST LIMIT 1, 2;\nHANDLER `a.b` CLOSE",
       {"2", "3"}},
      {"`a.b`", "", -1, 0, true, " iv ", "", "", {"5", "4", "3", "2", "1"}},
      {"`a.b`", "", -1, 0, true, "iv = (30)", "", "", {"3"}},
      {"`a.b`", "", -1, 0, true, "iv > (30) # after 30", "id <> 1", "", {"2"}},
      {"`a.b`", "", 2, 0, true, "`PRIMARY` >= (2)", "", "", {"2", "3"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.table) + " " + c.order + " " + c.index + " " + c.filter);
    query.Close();
    auto& generator = dynamic_cast<TCustomMySQLGenerator&>(query.Updater().Generator());
    generator.Limit = c.limit;
    generator.Offset = c.offset;
    generator.UseHandler = c.handler;
    generator.SetHandlerIndex(Utf8ToUtf16(c.index));
    generator.FilterSQL = Utf8ToUtf16(c.filter);
    const UString sql = generator.GenerateTableSQL(Utf8ToUtf16(c.table), Utf8ToUtf16(c.order));
    if (*c.sql) {
      EXPECT_EQ(Utf16ToUtf8(sql), c.sql);
    }
    Open(sql);
    Rows ids;
    for (query.First(); !query.Eof(); query.Next()) ids.push_back(Utf16ToUtf8(query.FieldByName(u"id").AsString()));
    EXPECT_EQ(ids, c.ids) << Utf16ToUtf8(sql);
  }
  // The session is free for the next statement.
  Open(u"SELECT COUNT(*) AS n FROM `order`");
  EXPECT_EQ(query.FieldByName(u"n").AsInteger(), 2);
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

// The key fields are worked out once for many changes, and again when the
// dataset's KeyFields change: between two passes a second session renumbers
// a row, which only the new key still finds.
TEST_F(VixEditServerTest, ApplyFollowsKeyFieldsChangedBetweenPasses) {
  for (const int batch : {1, 3}) {
    SCOPED_TRACE(batch);
    db.Exec("DROP TABLE IF EXISTS k");
    db.Exec("CREATE TABLE k (id INT, code VARCHAR(5), name VARCHAR(20))");
    db.Exec("INSERT INTO k VALUES (1, 'A', 'a'), (2, 'B', 'b'), (3, 'C', 'c')");
    query.SetKeyFields(u"id");
    OpenCached(u"SELECT * FROM k ORDER BY id", batch);
    SetName(u"a", u"a1");
    query.ApplyUpdates();
    query.CommitUpdates();
    db.Exec("UPDATE k SET id = 12 WHERE code = 'B'");
    query.SetKeyFields(u"code");
    SetName(u"b", u"b1");
    SetName(u"c", u"c1");
    query.ApplyUpdates();
    query.CommitUpdates();
    EXPECT_EQ(db.Rows("SELECT * FROM k ORDER BY code"), (Rows{"1|A|a1", "12|B|b1", "3|C|c1"}));
  }
}

// Names that read like what changes a session (a SET, a server-run comment,
// the client's character set) are only names: batches of statements of
// several shapes go out with their values.
TEST_F(VixEditServerTest, BatchesWithNamesThatLookLikeSessionStatements) {
  db.Exec("CREATE TABLE `set` (id INT PRIMARY KEY, `character_set_client` VARCHAR(20), `/*!50000 c*/` INT)");
  db.Exec("INSERT INTO `set` VALUES (1, 'a', 1), (2, 'b', 2)");
  OpenCached(u"SELECT * FROM `set` ORDER BY id", 3);
  EditField(u"character_set_client", u"이름");
  query.Next();
  EditField(u"/*!50000 c*/", u"20");
  for (int id = 3; id <= 5; ++id) {
    query.Append();
    query.FieldByName(u"id").SetAsInteger(id);
    query.FieldByName(u"/*!50000 c*/").SetAsInteger(id * 10);
    query.Post();
  }
  query.ApplyUpdates();
  query.CommitUpdates();
  EXPECT_EQ(db.Rows("SELECT * FROM `set` ORDER BY id"),
            (Rows{"1|이름|1", "2|b|20", "3|<NULL>|30", "4|<NULL>|40", "5|<NULL>|50"}));
}

// A query opened again with other columns: the statements name the new
// fields, in their new places.
TEST_F(VixEditServerTest, ReopenedWithOtherColumnsWritesTheNewFields) {
  db.Exec("CREATE TABLE t (id INT PRIMARY KEY, name VARCHAR(20), qty INT)");
  db.Exec("INSERT INTO t VALUES (1, 'a', 10), (2, 'b', 20)");
  OpenCached(u"SELECT id, name FROM t ORDER BY id", 2);
  EditField(u"name", u"a1");
  query.ApplyUpdates();
  query.CommitUpdates();
  Open(u"SELECT qty, id FROM t ORDER BY id");
  query.Last();
  EditField(u"qty", u"21");
  query.Append();
  query.FieldByName(u"id").SetAsInteger(3);
  query.FieldByName(u"qty").SetAsInteger(30);
  query.Post();
  query.ApplyUpdates();
  query.CommitUpdates();
  EXPECT_EQ(db.Rows("SELECT * FROM t ORDER BY id"), (Rows{"1|a1|10", "2|b|21", "3|<NULL>|30"}));
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

// The session dies once in a pass that runs in its own transaction: the
// pass runs again on a new session, and every change is on the server once.
TEST_F(VixCachedUpdatesServerTest, SessionLostOnceInThePassIsRepeatedWhole) {
  query.Close();
  connection.Close();
  connection.Options().SetDisconnectedMode(true);
  Open(u"SELECT * FROM t ORDER BY id");
  query.Options().UpdateBatchSize = 2;
  for (int id = 4; id <= 8; ++id) AppendRow(id, u"n" + IntToStr(id));
  SetName(u"a", u"A");
  bool killed = false;
  int calls = 0;
  query.OnUpdateRecord = [&](TDataSet& ds, TMemDataSet::TUpdateRecKind, TUpdateRecAction& action) {
    ++calls;
    if (!killed && ds.FieldByName(u"id").AsInteger() == 7) {
      killed = true;
      auto* session = dynamic_cast<TMySQLConnection*>(connection.ProviderConnection());
      ASSERT_NE(session, nullptr);
      db.Exec("KILL " + std::to_string(session->GetThreadId()));
    }
    action = TMemDataSet::kUpdateRecActionDefault;
  };
  query.ApplyUpdates();
  EXPECT_TRUE(killed);
  EXPECT_GT(calls, 6);
  EXPECT_FALSE(query.UpdatesPending());
  query.CommitUpdates();
  EXPECT_EQ(Server(), (Rows{"1|A", "2|b", "3|c", "4|n4", "5|n5", "6|n6", "7|n7", "8|n8"}));
}

// The session dies while a change of the pass is read back from the server:
// what the pass wrote went with the session and its transaction, so the pass
// runs again whole on a new session, each change once.
TEST_F(VixCachedUpdatesServerTest, SessionLostWhileReadingBackAChangeRepeatsThePass) {
  query.Close();
  connection.Close();
  connection.Options().SetDisconnectedMode(true);
  query.SetRefreshOptions(roAfterInsert);
  query.SetSQLRefresh(u"SELECT id, name FROM t WHERE id = :id AND SLEEP(0.3) = 0");
  Open(u"SELECT * FROM t ORDER BY id");
  AppendRow(4, u"d");
  AppendRow(5, u"e");
  std::thread killer = KillSessionRunning("SLEEP(0.3)");
  const std::string error = test::ErrorOf([&] { query.ApplyUpdates(); });
  killer.join();
  EXPECT_EQ(error, "<none>");
  EXPECT_FALSE(query.UpdatesPending());
  query.CommitUpdates();
  EXPECT_EQ(Server(), (Rows{"1|a", "2|b", "3|c", "4|d", "5|e"}));
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

// Applied changes read back what the server made of them, also from a batch.
TEST_F(VixEditServerTest, CachedChangesReadBackWhatTheServerMade) {
  db.Exec("CREATE TABLE t (id INT PRIMARY KEY, name VARCHAR(20), kind VARCHAR(10) DEFAULT 'plain')");
  db.Exec("INSERT INTO t (id, name) VALUES (1, 'a')");
  query.SetCachedUpdates(true);
  query.SetRefreshOptions(roAfterInsert);
  query.Options().UpdateBatchSize = 3;
  Open(u"SELECT * FROM t ORDER BY id");
  PostNewRowsAndRenameFirst(2, 5);
  query.ApplyUpdates();
  query.CommitUpdates();
  Rows kinds;
  for (query.First(); !query.Eof(); query.Next()) kinds.push_back(Utf16ToUtf8(query.FieldByName(u"kind").AsString()));
  EXPECT_EQ(kinds, (Rows{"plain", "plain", "plain", "plain", "plain"}));
  EXPECT_EQ(db.Rows("SELECT * FROM t ORDER BY id"),
            (Rows{"1|A|plain", "2|n|plain", "3|n|plain", "4|n|plain", "5|n|plain"}));
}

}  // namespace
}  // namespace vix
