// Master-detail links between two queries on the private MariaDB server of the
// test services, in the remote mode (the detail runs again with the master's
// values) and the local mode (the detail hides the records of other masters).
#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "MySql/MySQLVixProvider.h"
#include "TestSupport.h"
#include "universal/Vix.h"

namespace vix {
namespace {

using test::EnvOr;

struct MasterDetailServerTest : ::testing::Test {
  // Tables of this process: test programs run side by side.
  const UString suffix = U(test::ProcessTag());
  const UString masterTable = u"md_master_" + suffix;
  const UString detailTable = u"md_detail_" + suffix;
  TVixConnection connection;
  TVixQuery master, detail;
  TDataSource masterSource{&master};
  int detailRuns = 0;

  void SetUp() override {
    const std::string host = EnvOr("VIX_MYSQL_HOST");
    VIX_REQUIRE_COMPONENT(!host.empty(), "MariaDB test server (VIX_MYSQL_HOST)");
    RegisterMySQLVixProvider();
    connection.SetProviderName(u"MySQL");
    connection.SetServer(Utf8ToUtf16(host));
    connection.SetPort(std::stoi(EnvOr("VIX_MYSQL_PORT", "0")));
    connection.SetDatabase(Utf8ToUtf16(EnvOr("VIX_MYSQL_DATABASE", "vixtest")));
    connection.SetUsername(Utf8ToUtf16(EnvOr("VIX_MYSQL_USER", "vix")));
    connection.SetPassword(Utf8ToUtf16(EnvOr("VIX_MYSQL_PASSWORD")));
    connection.SpecificOptions().Add(u"MySQL.UseUnicode=True");
    Run(u"DROP TABLE IF EXISTS " + masterTable + u", " + detailTable);
    Run(u"CREATE TABLE " + masterTable + u" (id INT PRIMARY KEY, name VARCHAR(20))");
    Run(u"CREATE TABLE " + detailTable + u" (id INT PRIMARY KEY, master_id INT NULL, item VARCHAR(20))");
    Run(u"INSERT INTO " + masterTable + u" VALUES (1, '가'), (2, 'b'), (3, 'c')");
    Run(u"INSERT INTO " + detailTable + u" VALUES (10, 1, 'x'), (11, 1, 'y'), (20, 2, 'z'), (30, NULL, 'n')");
    master.SetName(u"Master");
    master.SetConnection(&connection);
    detail.SetName(u"Detail");
    detail.SetConnection(&connection);
    detail.BeforeExecute = [this](TDataSet&) { ++detailRuns; };
  }
  void TearDown() override {
    detail.Close();
    master.Close();
    if (connection.GetConnected()) Run(u"DROP TABLE IF EXISTS " + masterTable + u", " + detailTable);
    connection.Close();
  }

  void Run(const UString& sql) {
    TVixQuery q;
    q.SetConnection(&connection);
    q.SetSQL(sql);
    q.Execute();
  }

  // The detail's ids, in order.
  std::vector<int> DetailIds() {
    std::vector<int> ids;
    for (detail.First(); !detail.Eof(); detail.Next()) ids.push_back(detail.FieldByName(u"id").AsInteger());
    return ids;
  }

  // The server's rows of `sql`, the fields of each joined by "|".
  std::vector<std::string> ServerRows(const UString& sql) {
    TVixQuery q;
    q.SetConnection(&connection);
    q.SetSQL(sql);
    q.Open();
    std::vector<std::string> rows;
    for (; !q.Eof(); q.Next()) {
      std::string row;
      for (int i = 0; i < q.FieldCount(); ++i)
        row += (i ? "|" : "") + (q.Fields(i).IsNull() ? std::string("<NULL>") : Utf16ToUtf8(q.Fields(i).AsString()));
      rows.push_back(row);
    }
    return rows;
  }

  // Edits of the detail follow the link: a new record takes the master's
  // values, a record moved to another master leaves, a change in work is
  // posted when the master moves on.
  void EditsFollowTheLink(bool local) {
    Link(local);
    master.Open();
    ASSERT_TRUE(master.Locate(u"id", Variant(1)));
    detail.Open();
    ASSERT_EQ(DetailIds(), (std::vector<int>{10, 11}));

    detail.Append();
    detail.FieldByName(u"id").SetAsInteger(12);
    detail.FieldByName(u"item").SetAsString(u"new");
    EXPECT_EQ(detail.FieldByName(u"master_id").AsInteger(), 1);
    detail.Post();
    // The values are copies: the master may close before the post.
    detail.Append();
    detail.FieldByName(u"id").SetAsInteger(13);
    master.Close();
    detail.Post();
    EXPECT_EQ(ServerRows(u"SELECT id, master_id, item FROM " + detailTable + u" WHERE id IN (12, 13) ORDER BY id"),
              (std::vector<std::string>{"12|1|new", "13|1|<NULL>"}));
    master.Open();
    ASSERT_TRUE(master.Locate(u"id", Variant(1)));
    EXPECT_EQ(DetailIds(), (std::vector<int>{10, 11, 12, 13}));

    // Moved to another master: the record leaves, the cursor goes on.
    ASSERT_TRUE(detail.Locate(u"id", Variant(10)));
    detail.Edit();
    detail.FieldByName(u"master_id").SetAsInteger(2);
    detail.Post();
    EXPECT_EQ(detail.FieldByName(u"id").AsInteger(), 11);
    EXPECT_EQ(detail.RecordCount(), 3);
    EXPECT_EQ(DetailIds(), (std::vector<int>{11, 12, 13}));

    // A change in work is posted before the master moves.
    ASSERT_TRUE(detail.Locate(u"id", Variant(11)));
    detail.Edit();
    detail.FieldByName(u"item").SetAsString(u"kept");
    master.Next();
    EXPECT_EQ(detail.State(), dsBrowse);
    EXPECT_EQ(DetailIds(), (std::vector<int>{10, 20}));
    EXPECT_EQ(ServerRows(u"SELECT id, master_id, item FROM " + detailTable + u" WHERE id < 20 ORDER BY id"),
              (std::vector<std::string>{"10|2|x", "11|1|kept", "12|1|new", "13|1|<NULL>"}));
  }

  void Link(bool local) {
    master.SetSQL(local ? u"SELECT id FROM " + masterTable + u" UNION ALL SELECT NULL ORDER BY id"
                        : u"SELECT id FROM " + masterTable + u" ORDER BY id");
    detail.SetSQL(local ? u"SELECT id, master_id, item FROM " + detailTable + u" ORDER BY id"
                        : u"SELECT id, master_id, item FROM " + detailTable + u" WHERE master_id = :id ORDER BY id");
    detail.SetLocalMasterDetail(local);
    detail.SetMasterSource(&masterSource);
    detail.SetMasterFields(u"id");
    detail.SetDetailFields(u"master_id");
  }
};

TEST_F(MasterDetailServerTest, RemoteDetailRunsAgainWithTheMastersValues) {
  Link(false);
  master.Open();
  detail.Open();
  EXPECT_EQ(DetailIds(), (std::vector<int>{10, 11}));
  EXPECT_EQ(detailRuns, 1);
  master.Next();
  EXPECT_EQ(DetailIds(), (std::vector<int>{20}));
  master.Next();
  EXPECT_EQ(DetailIds(), (std::vector<int>{}));
  EXPECT_EQ(detailRuns, 3);
  // The same values again: the query does not run.
  master.Last();
  EXPECT_EQ(detailRuns, 3);

  // The master closes while the detail is open: the detail keeps its records.
  master.First();
  master.Close();
  EXPECT_TRUE(detail.Active());
  EXPECT_EQ(DetailIds(), (std::vector<int>{10, 11}));
  EXPECT_EQ(detail.FieldByName(u"item").AsString(), u"y");
  master.Open();
  master.Next();
  EXPECT_EQ(DetailIds(), (std::vector<int>{20}));

  TDataSource detailSource(&detail);
  EXPECT_EQ(test::ErrorOf([&] { detail.SetMasterSource(&detailSource); }),
            "Detail: Circular datalinks are not allowed");
  TVixQuery third;
  third.SetName(u"Third");
  third.SetMasterSource(&detailSource);
  EXPECT_EQ(test::ErrorOf([&] {
              TDataSource thirdSource(&third);
              master.SetMasterSource(&thirdSource);
            }),
            "Master: Circular datalinks are not allowed");
}

TEST_F(MasterDetailServerTest, LocalDetailHidesTheOtherMastersRecords) {
  Link(true);
  master.Open();
  detail.Open();
  // The master's first record has a NULL id: only the detail with a NULL link.
  EXPECT_EQ(DetailIds(), (std::vector<int>{30}));
  master.Next();
  EXPECT_EQ(DetailIds(), (std::vector<int>{10, 11}));
  EXPECT_EQ(detail.RecordCount(), 2);
  master.Next();
  EXPECT_EQ(DetailIds(), (std::vector<int>{20}));
  master.Next();
  EXPECT_EQ(DetailIds(), (std::vector<int>{}));
  EXPECT_EQ(detailRuns, 1);

  // The master's values were copied: closing it leaves the detail usable.
  master.First();
  master.Next();
  master.Close();
  EXPECT_EQ(DetailIds(), (std::vector<int>{10, 11}));
  EXPECT_EQ(detail.FieldByName(u"item").AsString(), u"y");

  // A master that is open but empty shows no detail record.
  master.SetSQL(u"SELECT id FROM " + masterTable + u" WHERE id > 100");
  master.Open();
  EXPECT_EQ(DetailIds(), (std::vector<int>{}));
  EXPECT_EQ(detailRuns, 1);
}

TEST_F(MasterDetailServerTest, DelayedRefreshRunsOnceAndStopsWithTheDetail) {
  Link(false);
  detail.SetDetailDelay(300);
  master.Open();
  detail.Open();
  EXPECT_EQ(detailRuns, 1);
  const auto now = TDelayTimer::TClock::now();
  master.Next();
  master.Next();
  master.Prior();
  EXPECT_EQ(detailRuns, 1);
  EXPECT_TRUE(detail.DetailRefreshPending());
  EXPECT_EQ(TDelayTimer::ProcessDueTimers(now), 0);
  EXPECT_EQ(TDelayTimer::ProcessDueTimers(now + std::chrono::seconds(5)), 1);
  EXPECT_EQ(detailRuns, 2);
  EXPECT_EQ(DetailIds(), (std::vector<int>{20}));

  // A refresh waiting when the detail closes never comes.
  master.Next();
  EXPECT_TRUE(detail.DetailRefreshPending());
  detail.Close();
  EXPECT_FALSE(detail.DetailRefreshPending());
  EXPECT_EQ(TDelayTimer::ProcessDueTimers(now + std::chrono::seconds(10)), 0);
  EXPECT_EQ(detailRuns, 2);
}

TEST_F(MasterDetailServerTest, RemoteDetailEditsFollowTheLink) {
  EditsFollowTheLink(false);
}

TEST_F(MasterDetailServerTest, LocalDetailEditsFollowTheLink) {
  EditsFollowTheLink(true);
}

// Posted and refreshed records of a sorted, filtered query take their place.
TEST_F(MasterDetailServerTest, PostedRecordsFollowTheOrderAndTheFilter) {
  detail.SetSQL(u"SELECT id, master_id, item FROM " + detailTable);
  detail.SetIndexFieldNames(u"item DESC");
  detail.Open();
  EXPECT_EQ(DetailIds(), (std::vector<int>{20, 11, 10, 30}));
  ASSERT_TRUE(detail.Locate(u"id", Variant(30)));
  detail.Edit();
  detail.FieldByName(u"item").SetAsString(u"zz");
  detail.Post();
  EXPECT_EQ(detail.RecNo(), 1);
  EXPECT_EQ(DetailIds(), (std::vector<int>{30, 20, 11, 10}));
  // Read again from the server: the other session's value sorts it last.
  Run(u"UPDATE " + detailTable + u" SET item = 'a' WHERE id = 20");
  ASSERT_TRUE(detail.Locate(u"id", Variant(20)));
  detail.RefreshRecord();
  EXPECT_EQ(detail.FieldByName(u"item").AsString(), u"a");
  EXPECT_EQ(detail.RecNo(), 4);
  EXPECT_EQ(DetailIds(), (std::vector<int>{30, 11, 10, 20}));

  detail.SetFilter(u"master_id = 1");
  detail.SetFiltered(true);
  EXPECT_EQ(DetailIds(), (std::vector<int>{11, 10}));
  ASSERT_TRUE(detail.Locate(u"id", Variant(11)));
  detail.Edit();
  detail.FieldByName(u"master_id").SetAsInteger(2);
  detail.Post();
  EXPECT_EQ(DetailIds(), (std::vector<int>{10}));
  // A new record that the filter keeps lands at its place.
  detail.Append();
  detail.FieldByName(u"id").SetAsInteger(40);
  detail.FieldByName(u"master_id").SetAsInteger(1);
  detail.FieldByName(u"item").SetAsString(u"y");
  detail.Post();
  EXPECT_EQ(DetailIds(), (std::vector<int>{40, 10}));
  EXPECT_EQ(ServerRows(u"SELECT id, master_id, item FROM " + detailTable + u" ORDER BY id"),
            (std::vector<std::string>{"10|1|x", "11|2|y", "20|2|a", "30|<NULL>|zz", "40|1|y"}));
}

// The local engine on rows read a few at a time: sorting fetches the rest
// first; the filter and the search work on the server's values.
TEST_F(MasterDetailServerTest, QueryRowsSortFilterAndLocate) {
  detail.SetSQL(u"SELECT id, master_id, item FROM " + detailTable);
  detail.SetFetchRows(1);
  detail.SetIndexFieldNames(u"master_id DESC; item");
  detail.Open();
  EXPECT_EQ(DetailIds(), (std::vector<int>{20, 10, 11, 30}));
  EXPECT_TRUE(detail.Locate(u"item", Variant(u"Y"), loCaseInsensitive));
  EXPECT_EQ(detail.FieldByName(u"id").AsInteger(), 11);
  detail.SetFilter(u"master_id IS NULL OR item LIKE '%z'");
  detail.SetFiltered(true);
  EXPECT_EQ(DetailIds(), (std::vector<int>{20, 30}));
  EXPECT_FALSE(detail.Locate(u"id", Variant(11)));
}

// Cached updates of a remote detail are never dropped by a new run: the
// master refuses to move while they are pending, and a change of its link
// field is refused too. Applied, they reach the server, and the master moves on.
TEST_F(MasterDetailServerTest, RemoteDetailKeepsItsCachedUpdatesWhenTheMasterWouldMove) {
  Link(false);
  detail.SetCachedUpdates(true);
  master.Open();
  detail.Open();
  const TRecBookmark first = detail.GetBookmark();
  ASSERT_TRUE(detail.Locate(u"id", Variant(11)));
  detail.Edit();
  detail.FieldByName(u"item").SetAsString(u"kept");  // in work, not posted
  const std::string refused =
      "Detail: Cannot change the master record while the detail has cached updates that are not applied";
  const std::vector<std::pair<const char*, std::function<void()>>> moves = {
      {"Next", [&] { master.Next(); }},
      {"Last", [&] { master.Last(); }},
      {"First", [&] { master.First(); }},
      {"Locate", [&] { master.Locate(u"id", Variant(2)); }},
      {"GotoBookmark", [&] { master.GotoBookmark(master.GetBookmark()); }},
      {"Insert", [&] { master.Insert(); }},
      {"link field in work",
       [&] {
         master.Edit();
         struct TCancel {
           TVixQuery& q;
           ~TCancel() { q.Cancel(); }
         } cancel{master};
         master.FieldByName(u"id").SetAsInteger(2);
       }},
  };
  for (const auto& [name, move] : moves) {
    SCOPED_TRACE(name);
    EXPECT_EQ(test::ErrorOf(move), refused);
    EXPECT_EQ(master.State(), dsBrowse);
    EXPECT_EQ(master.FieldByName(u"id").AsInteger(), 1);
    EXPECT_TRUE(detail.UpdatesPending());
    EXPECT_EQ(detail.FieldByName(u"item").AsString(), u"kept");
    EXPECT_EQ(detailRuns, 1);
  }
  EXPECT_EQ(DetailIds(), (std::vector<int>{10, 11}));
  EXPECT_TRUE(detail.BookmarkValid(first));
  // With a delay as well.
  detail.SetDetailDelay(300);
  EXPECT_EQ(test::ErrorOf([&] { master.Next(); }), refused);
  EXPECT_FALSE(detail.DetailRefreshPending());

  detail.ApplyUpdates();
  detail.CommitUpdates();
  master.Next();
  EXPECT_TRUE(detail.DetailRefreshPending());
  // Changed while the delayed refresh waits: the refresh waits for the change.
  detail.Edit();
  detail.FieldByName(u"item").SetAsString(u"late");
  const auto now = TDelayTimer::TClock::now();
  EXPECT_EQ(TDelayTimer::ProcessDueTimers(now + std::chrono::seconds(5)), 1);
  EXPECT_EQ(detail.State(), dsEdit);
  detail.Post();
  EXPECT_EQ(TDelayTimer::ProcessDueTimers(now + std::chrono::seconds(10)), 1);
  EXPECT_EQ(detail.FieldByName(u"item").AsString(), u"late");
  EXPECT_EQ(detailRuns, 1);
  detail.ApplyUpdates();
  detail.CommitUpdates();
  EXPECT_EQ(TDelayTimer::ProcessDueTimers(now + std::chrono::seconds(15)), 1);
  EXPECT_EQ(detailRuns, 2);
  EXPECT_EQ(DetailIds(), (std::vector<int>{20}));
  // The records were read again: a bookmark of the earlier run is not valid.
  EXPECT_FALSE(detail.BookmarkValid(first));
  EXPECT_NE(test::ErrorOf([&] { detail.GotoBookmark(first); }), "");
  EXPECT_EQ(ServerRows(u"SELECT id, master_id, item FROM " + detailTable + u" ORDER BY id"),
            (std::vector<std::string>{"10|1|x", "11|1|late", "20|2|z", "30|<NULL>|n"}));
}

// With a remote detail holding cached updates, deleting the master's record
// is refused before anything is deleted (the master would move to another
// record), and so is a new filter text before the master changes. A Lookup on
// the master, which stays on its record, is answered.
TEST_F(MasterDetailServerTest, MasterWithAPendingDetailRefusesBeforeItChanges) {
  Link(false);
  master.SetSQL(u"SELECT id, name FROM " + masterTable + u" ORDER BY id");
  master.SetOnFilterRecord([](TDataSet&, bool& accept) { accept = true; });
  master.SetFiltered(true);
  detail.SetCachedUpdates(true);
  master.Open();
  detail.Open();
  ASSERT_TRUE(detail.Locate(u"id", Variant(11)));
  detail.Edit();
  detail.FieldByName(u"item").SetAsString(u"kept");
  detail.Post();
  ASSERT_TRUE(detail.UpdatesPending());
  const std::string refused =
      "Detail: Cannot change the master record while the detail has cached updates that are not applied";

  EXPECT_EQ(test::ErrorOf([&] { master.Delete(); }), refused);
  EXPECT_EQ(master.FieldByName(u"id").AsInteger(), 1);
  EXPECT_EQ(master.RecordCount(), 3);
  EXPECT_EQ(ServerRows(u"SELECT id FROM " + masterTable + u" ORDER BY id"), (std::vector<std::string>{"1", "2", "3"}));

  // A refused write of the link field leaves the field as it was: a post
  // then changes nothing.
  master.Edit();
  EXPECT_EQ(test::ErrorOf([&] { master.FieldByName(u"id").SetAsInteger(2); }), refused);
  EXPECT_EQ(master.FieldByName(u"id").AsInteger(), 1);
  EXPECT_FALSE(master.Modified());
  master.FieldByName(u"name").SetAsString(u"A");
  EXPECT_EQ(test::ErrorOf([&] { master.Post(); }), "<none>");
  EXPECT_EQ(ServerRows(u"SELECT id, name FROM " + masterTable + u" ORDER BY id"),
            (std::vector<std::string>{"1|A", "2|b", "3|c"}));

  EXPECT_EQ(test::ErrorOf([&] { master.SetFilter(u"id > 1"); }), refused);
  EXPECT_EQ(master.Filter(), u"");
  EXPECT_EQ(master.RecordCount(), 3);
  EXPECT_EQ(master.FieldByName(u"id").AsInteger(), 1);

  // Lookup asks the record filter handler again and leaves the master where it is.
  std::vector<Variant> found;
  EXPECT_EQ(test::ErrorOf([&] { found = master.Lookup(u"id", {Variant(2)}, u"name"); }), "<none>");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].AsString(), u"b");
  EXPECT_EQ(master.FieldByName(u"id").AsInteger(), 1);

  EXPECT_TRUE(detail.UpdatesPending());
  EXPECT_EQ(detailRuns, 1);
  EXPECT_EQ(DetailIds(), (std::vector<int>{10, 11}));
}

// The detail follows a change of the master's link field: while the master
// edits (the value in work) and after it posts the new key; not while the
// master inserts, and not for its other fields.
void FollowsTheLinkField(MasterDetailServerTest& t, bool local) {
  TVixQuery &master = t.master, &detail = t.detail;
  t.Run(u"INSERT INTO " + t.detailTable + u" VALUES (50, 5, 'f')");
  master.SetSQL(u"SELECT id, name FROM " + t.masterTable + u" ORDER BY id");
  detail.SetSQL(local ? u"SELECT id, master_id, item FROM " + t.detailTable + u" ORDER BY id"
                      : u"SELECT id, master_id, item FROM " + t.detailTable + u" WHERE master_id = :id ORDER BY id");
  detail.SetLocalMasterDetail(local);
  detail.SetMasterSource(&t.masterSource);
  detail.SetMasterFields(u"id");
  detail.SetDetailFields(u"master_id");
  master.Open();
  detail.Open();
  ASSERT_EQ(t.DetailIds(), (std::vector<int>{10, 11}));
  const int runs = t.detailRuns;
  const int perChange = local ? 0 : 1;

  master.Edit();
  master.FieldByName(u"name").SetAsString(u"other");
  EXPECT_EQ(t.detailRuns, runs);
  master.FieldByName(u"id").SetAsInteger(2);
  EXPECT_EQ(t.DetailIds(), (std::vector<int>{20}));
  EXPECT_EQ(t.detailRuns, runs + perChange);
  master.Cancel();
  EXPECT_EQ(t.DetailIds(), (std::vector<int>{10, 11}));
  EXPECT_EQ(t.detailRuns, runs + 2 * perChange);

  master.Edit();
  master.FieldByName(u"id").SetAsInteger(5);
  master.Post();
  EXPECT_EQ(master.FieldByName(u"id").AsInteger(), 5);
  EXPECT_EQ(t.DetailIds(), (std::vector<int>{50}));
  EXPECT_EQ(t.detailRuns, runs + 3 * perChange);
  EXPECT_EQ(t.ServerRows(u"SELECT id FROM " + t.masterTable + u" ORDER BY id"),
            (std::vector<std::string>{"2", "3", "5"}));

  // A new master record: the detail waits for its post.
  master.Insert();
  master.FieldByName(u"id").SetAsInteger(2);
  EXPECT_EQ(t.DetailIds(), (std::vector<int>{50}));
  master.Cancel();
  EXPECT_EQ(t.DetailIds(), (std::vector<int>{50}));
}

TEST_F(MasterDetailServerTest, RemoteDetailFollowsTheMastersLinkField) {
  FollowsTheLinkField(*this, false);
}

TEST_F(MasterDetailServerTest, LocalDetailFollowsTheMastersLinkField) {
  FollowsTheLinkField(*this, true);
}

// In the remote mode the detail's text needs no parameter of its own: the
// link's condition joins its final SQL, its parameter named after the master
// field.
TEST_F(MasterDetailServerTest, RemoteDetailGetsTheLinksCondition) {
  master.SetSQL(u"SELECT id FROM " + masterTable + u" ORDER BY id");
  detail.SetSQL(u"SELECT id, master_id, item FROM " + detailTable + u" -- every row\nORDER BY id");
  detail.SetMasterSource(&masterSource);
  detail.SetMasterFields(u"id");
  detail.SetDetailFields(u"master_id");
  master.Open();
  detail.Open();
  EXPECT_NE(detail.FinalSQL().find(u"master_id = :id"), UString::npos);
  EXPECT_EQ(DetailIds(), (std::vector<int>{10, 11}));
  master.Next();
  EXPECT_EQ(DetailIds(), (std::vector<int>{20}));
  master.Next();
  EXPECT_EQ(DetailIds(), (std::vector<int>{}));
  // A text with a parameter for the master field links itself.
  const UString own = u"SELECT id, master_id, item FROM " + detailTable + u" WHERE master_id = :id ORDER BY id";
  detail.SetSQL(own);
  EXPECT_EQ(detail.FinalSQL(), own);
}

// A detail read a few rows at a time counts its rows on the server from its
// first open, with the master's values: whether its text names the link's
// parameter or the link adds its condition.
TEST_F(MasterDetailServerTest, CountedDetailCountsTheFirstMastersRows) {
  const UString texts[] = {
      u"SELECT id, master_id, item FROM " + detailTable + u" WHERE master_id = :id ORDER BY id",
      u"SELECT id, master_id, item FROM " + detailTable + u" ORDER BY id",
  };
  Link(false);
  detail.SpecificOptions().Add(u"MySQL.FetchAll=False");
  detail.SetFetchRows(1);
  detail.Options().QueryRecCount = true;
  master.Open();
  for (const UString& text : texts) {
    SCOPED_TRACE(Utf16ToUtf8(text));
    master.First();
    detail.SetSQL(text);
    detail.Open();
    EXPECT_EQ(detail.RecordCount(), 2);
    master.Next();
    EXPECT_EQ(detail.RecordCount(), 1);
    master.Next();
    EXPECT_EQ(detail.RecordCount(), 0);
    detail.Close();
  }
}

}  // namespace
}  // namespace vix
