// Local sorting, filters and record search over a dataset filled as a
// provider fills it; the records are read back through the fields.
#include <algorithm>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "Common/MemDS.h"
#include "MemQuery.h"
#include "TestSupport.h"

namespace vix {
namespace {

using test::Column;
using test::ErrorOf;
using test::MemQuery;

const std::vector<Column> kColumns = {{u"Id", mtInt32},
                                      {u"Name", mtWideString, 20},
                                      {u"Code", mtString, 6, true},
                                      {u"Price", mtFloat},
                                      {u"Qty", mtInt32}};

Variant N() {
  return Variant::Null();
}

// NULL one time in `nullOneIn`, else up to `below` - 1 units of `alphabet`.
Variant RandomText(std::mt19937& random, std::u16string_view alphabet, size_t below, unsigned nullOneIn) {
  if (random() % nullOneIn == 0) return N();
  std::u16string s;
  for (size_t n = random() % below; n > 0; --n) s.push_back(alphabet[random() % alphabet.size()]);
  return Variant(s);
}

// NULLs, an empty text, Korean text, trailing blanks, equal keys.
std::vector<std::vector<Variant>> Rows() {
  return {
      {1, u"Smith", u"ab", 12.5, 3}, {2, u"smythe", u"ab ", 10.0, 0}, {3, N(), u"cd", N(), 5},
      {4, u"", u"cd", 7.0, 0},       {5, u"김철수", u"ef", 20.0, 2},  {6, u"Abc", N(), 10.0, 5},
      {7, u"abc", u"ab", 30.0, 1},   {8, u"ABC", u"gh", 10.0, 5},     {9, u"Smith", u"zz", 15.0, N()},
      {10, u"Bob ", u"ab", 10.0, 2},
  };
}

// The Ids of the records shown, in order.
std::vector<int> Ids(TDataSet& q) {
  std::vector<int> ids;
  for (q.First(); !q.Eof(); q.Next()) ids.push_back(q.FieldByName(u"Id").AsInteger());
  return ids;
}

int CurrentId(TDataSet& q) {
  return q.FieldByName(u"Id").AsInteger();
}

struct SortCase {
  const char16_t* Text;
  std::vector<int> Ids;
  const char* Error = nullptr;
};

TEST(LocalSort, IndexFieldNamesOrdersOrRefuses) {
  const std::vector<SortCase> cases = {
      {u"Name", {3, 4, 7, 6, 8, 10, 1, 9, 2, 5}},
      {u"Name CIS", {3, 4, 6, 7, 8, 10, 1, 9, 2, 5}},
      {u"name bin", {3, 4, 8, 6, 10, 1, 9, 7, 2, 5}},
      {u"Name DESC", {5, 2, 1, 9, 10, 8, 6, 7, 4, 3}},
      {u"'Name' cis desc", {5, 2, 1, 9, 10, 6, 7, 8, 4, 3}},
      {u"Name desc cis", {5, 2, 1, 9, 10, 6, 7, 8, 4, 3}},
      {u"Qty DESC; Id", {3, 6, 8, 1, 5, 10, 7, 2, 4, 9}},
      {u"Code, Id", {6, 1, 2, 7, 10, 3, 4, 5, 8, 9}},
      {u"[Price] desc, Id", {7, 5, 9, 1, 2, 6, 8, 10, 4, 3}},
      {u"Id,,Name", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
      {u"  ", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
      {u"Name DESC ASC", {}, "Invalid IndexFieldNames format!"},
      {u"Name CS BIN", {}, "Invalid IndexFieldNames format!"},
      {u"Name UP", {}, "Invalid IndexFieldNames format!"},
      {u"Name = 1", {}, "Invalid IndexFieldNames format!"},
      {u"Null", {}, "Invalid IndexFieldNames format!"},
      {u"Name 'open", {}, "Invalid IndexFieldNames format!"},
      {u"Nope", {}, "Field Nope not found"},
  };
  for (const SortCase& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.Text));
    // Set before the open, and changed on the open dataset.
    MemQuery q(kColumns, Rows());
    q.SetIndexFieldNames(c.Text);
    if (c.Error) {
      EXPECT_EQ(ErrorOf([&] { q.Open(); }), c.Error);
      EXPECT_FALSE(q.Active());
    } else {
      q.Open();
      EXPECT_EQ(Ids(q), c.Ids);
    }
    MemQuery open(kColumns, Rows());
    open.SetIndexFieldNames(u"Id DESC");
    open.Open();
    if (c.Error) {
      EXPECT_EQ(ErrorOf([&] { open.SetIndexFieldNames(c.Text); }), c.Error);
      // Nothing changed: the text and the order are the previous ones.
      EXPECT_EQ(open.IndexFieldNames(), u"Id DESC");
      EXPECT_EQ(Ids(open), (std::vector<int>{10, 9, 8, 7, 6, 5, 4, 3, 2, 1}));
    } else if (!Trim(c.Text).empty()) {
      // Equal keys keep the order they had: back to the order of Id first.
      open.SetIndexFieldNames(u"Id");
      open.SetIndexFieldNames(c.Text);
      EXPECT_EQ(Ids(open), c.Ids);
    }
  }
}

TEST(LocalSort, KeepsTheCurrentRecordAndRereadsIt) {
  MemQuery q(kColumns, Rows());
  q.Open();
  q.Next();
  q.Next();  // Id 3
  q.SetIndexFieldNames(u"Id DESC");
  EXPECT_EQ(CurrentId(q), 3);
  EXPECT_EQ(q.RecNo(), 8);
  q.Next();
  EXPECT_EQ(CurrentId(q), 2);
}

// A storage of `count` records numbered from `count` down to 1, with a key
// that repeats every 7 records.
class CountDown : public TMemData {
 public:
  explicit CountDown(int count) : FCount(count) {}

 protected:
  void InternalInitFields() override {
    for (const char16_t* name : {u"Id", u"Key"}) {
      auto d = std::make_unique<TFieldDesc>();
      d->FName = name;
      d->FDataType = mtInt32;
      FFields.Add(std::move(d));
    }
  }
  void InternalOpen() override {
    InitFields();
    std::vector<uint8_t> buf = AllocRecBuf();
    for (int32_t i = FCount; i >= 1; --i) {
      const int32_t key = i % 7;
      PutField(1, buf.data(), &i, sizeof i);
      PutField(2, buf.data(), &key, sizeof key);
      AppendRecord(buf.data());
    }
  }

 private:
  int FCount;
};

class CountDownQuery : public TMemDataSet {
 public:
  explicit CountDownQuery(int count) : Storage(count) { SetData(&Storage); }
  ~CountDownQuery() override { Close(); }
  CountDown Storage;
};

TEST(LocalSort, ReverseSortedMillionAndStability) {
  constexpr int kCount = 1000000;
  CountDownQuery q(kCount);
  q.SetIndexFieldNames(u"Id");
  q.Open();
  ASSERT_EQ(q.RecordCount(), kCount);
  int expected = 1;
  bool inOrder = true;
  for (q.First(); !q.Eof(); q.Next()) inOrder = inOrder && q.FieldByName(u"Id").AsInteger() == expected++;
  EXPECT_TRUE(inOrder);
  EXPECT_EQ(expected, kCount + 1);

  // Sorting by the repeating key keeps the records of one key in their
  // previous order (ascending Id).
  q.SetIndexFieldNames(u"Key");
  int previousKey = -1, previousId = 0;
  bool stable = true;
  for (q.First(); !q.Eof(); q.Next()) {
    const int key = q.FieldByName(u"Key").AsInteger(), id = q.FieldByName(u"Id").AsInteger();
    if (key == previousKey) stable = stable && id > previousId;
    else stable = stable && key > previousKey;
    previousKey = key;
    previousId = id;
  }
  EXPECT_TRUE(stable);
}

// Opens the query sorted by Id, then by `text`.
void OpenSortedBy(MemQuery& q, const char16_t* text) {
  q.Open();
  q.SetIndexFieldNames(u"Id");
  q.SetIndexFieldNames(text);
}

// The records shown, in order, that the record comparison puts before the
// one preceding them, or that compare equal to it but have a lower Id (the
// first field); -1 when not `count` records are shown.
int MisplacedRecords(MemQuery& q, size_t count) {
  TMemData& data = q.Storage;
  std::vector<std::vector<uint8_t>> records;
  std::vector<uint8_t> buf = data.AllocRecBuf();
  for (data.SetToBegin(); data.GetNextRecord(buf.data());) records.push_back(buf);
  if (records.size() != count) return -1;
  int misplaced = 0;
  for (size_t i = 1; i < records.size(); ++i) {
    const int c = data.CompareRecords(records[i - 1].data(), records[i].data());
    const int a = data.GetFieldAsVariant(1, records[i - 1].data()).AsInteger();
    const int b = data.GetFieldAsVariant(1, records[i].data()).AsInteger();
    if (c > 0 || (c == 0 && a > b)) ++misplaced;
  }
  return misplaced;
}

// Many records with keys that share their first characters, differ only in
// case, are NULL, negative, -0 or NaN: every sort text orders them by the
// record comparison, and records that compare equal keep the order of Id.
TEST(LocalSort, ManyRecordsFollowTheRecordComparisonStably) {
  const std::vector<Column> columns = {{u"Id", mtInt32},     {u"Name", mtWideString, 12}, {u"Code", mtString, 6},
                                       {u"Price", mtFloat},  {u"Qty", mtInt32},           {u"Big", mtInt64},
                                       {u"Small", mtUInt16}, {u"Flag", mtBoolean}};
  const char16_t* names[] = {u"a", u"A", u"b", u"B", u"가", u"ab", u"Ab", u"aB"};
  const double prices[] = {-2.5, -0.0, 0.0, 1.5, 1e300, -1e300, std::numeric_limits<double>::quiet_NaN()};
  const int64_t bigs[] = {INT64_MIN, -1, 0, 1, INT64_MAX};
  std::mt19937 random(11);
  std::vector<std::vector<Variant>> rows;
  for (int id = 1; id <= 3000; ++id) {
    const auto maybeNull = [&](Variant v) { return random() % 10 == 0 ? N() : v; };
    UString name;
    for (size_t n = random() % 7; n > 0; --n) name += names[random() % std::size(names)];
    const std::string code(random() % 5, static_cast<char>("aAbB "[random() % 5]));
    rows.push_back({id, maybeNull(Variant(name)), maybeNull(Variant(Utf8ToUtf16(code))),
                    maybeNull(Variant(prices[random() % std::size(prices)])),
                    maybeNull(Variant(static_cast<int>(random() % 7) - 3)),
                    maybeNull(Variant(bigs[random() % std::size(bigs)])),
                    maybeNull(Variant(static_cast<int>(random() % 3) * 30000)), maybeNull(Variant(random() % 2 == 0))});
  }
  const char16_t* texts[] = {u"Qty",
                             u"Qty DESC",
                             u"Price",
                             u"Price DESC; Qty",
                             u"Name",
                             u"Name BIN",
                             u"Name CIS DESC; Qty",
                             u"Name DESC; Price",
                             u"Code",
                             u"Code BIN DESC",
                             u"Code CIS; Name DESC",
                             u"Big DESC",
                             u"Small; Big",
                             u"Flag DESC; Name CIS"};
  for (const char16_t* text : texts) {
    SCOPED_TRACE(Utf16ToUtf8(text));
    MemQuery q(columns, rows);
    OpenSortedBy(q, text);
    EXPECT_EQ(MisplacedRecords(q, rows.size()), 0);

    // A filter over the sorted records shows the same records in that order.
    std::vector<int> sorted = Ids(q), expected;
    MemQuery plain(columns, rows);
    plain.Open();
    plain.SetFilter(u"Qty > 0 AND Name LIKE '%b%' OR Price < 0");
    plain.SetFiltered(true);
    const std::vector<int> kept = Ids(plain);
    for (const int id : sorted)
      if (std::find(kept.begin(), kept.end(), id) != kept.end()) expected.push_back(id);
    q.SetFilter(u"Qty > 0 AND Name LIKE '%b%' OR Price < 0");
    q.SetFiltered(true);
    EXPECT_EQ(Ids(q), expected);
  }
}

// The column types whose sort keys are read otherwise (memos copied out of
// their blobs, small and unsigned numbers, dates, currency, 8-bit texts of a
// fixed width): every sort text orders the records by the record comparison,
// equal ones in the order of Id.
TEST(LocalSort, MemosNumbersAndFixedTextsFollowTheRecordComparison) {
  const std::vector<Column> columns = {{u"Id", mtInt32},    {u"Memo", mtMemo},     {u"Wide", mtWideMemo},
                                       {u"Small", mtInt16}, {u"U32", mtUInt32},    {u"U64", mtUInt64},
                                       {u"Day", mtDate},    {u"Cash", mtCurrency}, {u"Fix", mtString, 4, true}};
  std::mt19937 random(77);
  std::vector<std::vector<Variant>> rows;
  for (int id = 1; id <= 1500; ++id) {
    const auto maybeNull = [&](Variant v) { return random() % 9 == 0 ? N() : v; };
    rows.push_back(
        {id, maybeNull(RandomText(random, u"aAbB ", 7, 1000)), maybeNull(RandomText(random, u"aA가각", 6, 1000)),
         maybeNull(Variant(static_cast<int>(random() % 5) - 2)),
         maybeNull(Variant(static_cast<int64_t>(random() % 3) * 2000000000)),
         maybeNull(Variant(random() % 2 ? uint64_t{18000000000000000000u} : uint64_t{random() % 3})),
         maybeNull(Variant(TDateTime(45000 + random() % 4))),
         maybeNull(Variant(static_cast<double>(random() % 7) - 3.5)), maybeNull(RandomText(random, u"aAb", 5, 1000))});
  }
  const char16_t* texts[] = {u"Memo",      u"Memo CIS; U32 DESC", u"Memo BIN DESC",    u"Wide", u"Wide CIS DESC",
                             u"Wide BIN",  u"Small DESC; Memo",   u"U32; U64 DESC",    u"U64",  u"Day DESC; Cash",
                             u"Cash; Fix", u"Fix CIS; Wide",      u"Fix BIN DESC; Day"};
  for (const char16_t* text : texts) {
    SCOPED_TRACE(Utf16ToUtf8(text));
    MemQuery q(columns, rows);
    OpenSortedBy(q, text);
    EXPECT_EQ(MisplacedRecords(q, rows.size()), 0);
  }
}

TEST(LocalSort, ChangedRecordMovesToItsPlace) {
  // The storage's hook for edits and inserts: one record re-placed.
  test::RowData data(kColumns, Rows());
  data.Open();
  data.SetIndexFieldNames(u"Qty DESC; Id");
  data.SetFilterText(u"Qty IS NOT NULL");
  data.FilterUpdated();
  EXPECT_EQ(data.RecordCount(), 9);
  // Id 4 (Qty 0, near the end) gets Qty 9 and goes first; Id 1 gets NULL and
  // is hidden.
  data.SetToBegin();
  TItemHeader* id4 = nullptr;
  TItemHeader* id1 = nullptr;
  while (data.GetNextRecord()) {
    bool blank;
    int32_t id = 0;
    data.GetField(1, TBlockManager::GetRecordPtr(data.CurrentItem), blank, &id, sizeof id);
    if (id == 4) id4 = data.CurrentItem;
    if (id == 1) id1 = data.CurrentItem;
  }
  ASSERT_TRUE(id4 && id1);
  const int32_t nine = 9;
  data.PutField(5, TBlockManager::GetRecordPtr(id4), &nine, sizeof nine);
  data.ItemChanged(id4);
  data.SetNull(5, TBlockManager::GetRecordPtr(id1), true);
  data.ItemChanged(id1);
  EXPECT_EQ(data.FirstItem, id4);
  EXPECT_EQ(int32_t{id4->Order}, 1);
  EXPECT_EQ(int32_t{id1->Order}, 0);
  EXPECT_EQ(data.RecordCount(), 8);
  data.Close();
}

// --- edits find their place ---------------------------------------------------------

// One change through the fields of a sorted or filtered dataset.
struct PlaceCase {
  const char16_t* Index;
  const char16_t* Filter;
  int StartId;  // the record edited, or the current one of an insert
  enum { Edit, Insert, Append } Kind;
  const char16_t* Field;
  Variant Value;
  std::vector<int> Ids;  // shown afterwards
  int CurrentId;         // current after the post
};

TEST(EditPlacement, PostedRecordMovesToItsPlaceOrIsHidden) {
  const std::vector<PlaceCase> cases = {
      // Sorted: the changed key moves the record, also between equal keys.
      {u"Qty DESC; Id", u"", 4, PlaceCase::Edit, u"Qty", 9, {4, 3, 6, 8, 1, 5, 10, 7, 2, 9}, 4},
      {u"Qty DESC; Id", u"", 3, PlaceCase::Edit, u"Qty", N(), {6, 8, 1, 5, 10, 7, 2, 4, 3, 9}, 3},
      {u"Qty DESC; Id", u"", 8, PlaceCase::Edit, u"Id", 0, {0, 3, 6, 1, 5, 10, 7, 2, 4, 9}, 0},
      {u"Name", u"", 1, PlaceCase::Edit, u"Name", u"Aaa", {3, 4, 1, 7, 6, 8, 10, 9, 2, 5}, 1},
      {u"Name", u"", 1, PlaceCase::Edit, u"Price", 99.0, {3, 4, 7, 6, 8, 10, 1, 9, 2, 5}, 1},
      {u"Id DESC", u"", 5, PlaceCase::Insert, u"Id", 0, {10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0}, 0},
      {u"Id DESC", u"", 5, PlaceCase::Append, u"Id", 20, {20, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1}, 20},
      // Filtered: a record the filter no longer keeps is hidden; the cursor
      // goes on to the next record shown (the prior one at the end).
      {u"", u"Qty > 0", 1, PlaceCase::Edit, u"Qty", 0, {3, 5, 6, 7, 8, 10}, 3},
      {u"", u"Qty > 0", 10, PlaceCase::Edit, u"Qty", N(), {1, 3, 5, 6, 7, 8}, 8},
      {u"", u"Qty > 0", 5, PlaceCase::Insert, u"Qty", 0, {1, 3, 5, 6, 7, 8, 10}, 5},
      {u"", u"Qty > 0", 5, PlaceCase::Insert, u"Qty", 4, {1, 3, 0, 5, 6, 7, 8, 10}, 0},
      // Both: a new record lands at its place among the records shown.
      {u"Qty DESC; Id", u"Qty > 0", 7, PlaceCase::Append, u"Qty", 4, {3, 6, 8, 0, 1, 5, 10, 7}, 0},
      {u"Qty DESC; Id", u"Name LIKE 'S%'", 1, PlaceCase::Edit, u"Name", u"smith", {9}, 9},
  };
  for (const PlaceCase& c : cases) {
    SCOPED_TRACE("case " + std::to_string(&c - cases.data()));
    MemQuery q(kColumns, Rows());
    q.SetIndexFieldNames(c.Index);
    q.SetFilter(c.Filter);
    q.SetFiltered(true);
    q.Open();
    ASSERT_TRUE(q.Locate(u"Id", Variant(c.StartId)));
    switch (c.Kind) {
      case PlaceCase::Edit: q.Edit(); break;
      case PlaceCase::Insert: q.Insert(); break;
      case PlaceCase::Append: q.Append(); break;
    }
    if (c.Kind != PlaceCase::Edit) q.FieldByName(u"Id").SetAsInteger(0);
    q.FieldByName(c.Field).SetAsVariant(c.Value);
    q.Post();
    EXPECT_EQ(q.State(), dsBrowse);
    EXPECT_EQ(CurrentId(q), c.CurrentId);
    const std::vector<int> ids = Ids(q);
    EXPECT_EQ(ids, c.Ids);
    EXPECT_EQ(q.RecordCount(), static_cast<int>(c.Ids.size()));
    // The numbers follow the places; the search finds each record there.
    for (size_t i = 0; i < ids.size(); ++i) {
      ASSERT_TRUE(q.Locate(u"Id", Variant(ids[i])));
      EXPECT_EQ(q.RecNo(), static_cast<int>(i) + 1);
    }
  }
}

TEST(EditPlacement, CachedChangesRevertsAndCancelKeepTheOrder) {
  const std::vector<int> sorted = {3, 6, 8, 1, 5, 10, 7, 2, 4, 9};
  MemQuery q(kColumns, Rows());
  q.SetCachedUpdates(true);
  q.SetIndexFieldNames(u"Qty DESC; Id");
  q.Open();
  const auto edit = [&](int id, const char16_t* field, const Variant& value) {
    ASSERT_TRUE(q.Locate(u"Id", Variant(id)));
    q.Edit();
    q.FieldByName(field).SetAsVariant(value);
    q.Post();
  };
  edit(4, u"Qty", 9);
  EXPECT_EQ(Ids(q), (std::vector<int>{4, 3, 6, 8, 1, 5, 10, 7, 2, 9}));
  ASSERT_TRUE(q.Locate(u"Id", Variant(4)));
  q.RevertRecord();
  EXPECT_EQ(CurrentId(q), 4);
  EXPECT_EQ(q.RecNo(), 9);
  EXPECT_EQ(Ids(q), sorted);

  // Several changes, a deleted edit among them: all back in place.
  edit(1, u"Qty", 0);
  edit(3, u"Qty", -1);
  edit(9, u"Qty", 7);
  ASSERT_TRUE(q.Locate(u"Id", Variant(9)));
  q.Delete();
  EXPECT_EQ(Ids(q), (std::vector<int>{6, 8, 5, 10, 7, 1, 2, 4, 3}));
  // Only the modified records: each at its place.
  q.SetUpdateRecordTypes(rtModified);
  EXPECT_EQ(Ids(q), (std::vector<int>{1, 3}));
  q.SetUpdateRecordTypes(rtUnmodified | rtModified | rtInserted);
  q.CancelUpdates();
  EXPECT_EQ(Ids(q), sorted);
  for (size_t i = 0; i < sorted.size(); ++i) {
    ASSERT_TRUE(q.Locate(u"Id", Variant(sorted[i])));
    EXPECT_EQ(q.RecNo(), static_cast<int>(i) + 1);
  }

  // An inserted record that the revert removes takes nothing with it.
  q.Append();
  q.FieldByName(u"Id").SetAsInteger(11);
  q.FieldByName(u"Qty").SetAsInteger(4);
  q.Post();
  EXPECT_EQ(q.RecNo(), 4);
  q.RevertRecord();
  EXPECT_EQ(Ids(q), sorted);
  q.Close();
}

// A source that numbers new records as a server's auto-increment does.
class NumberingQuery : public MemQuery {
 public:
  using MemQuery::MemQuery;
  int NextId = 100;

 protected:
  void WriteInsert(uint8_t* newBuf) override { Storage.PutFieldAsVariant(1, newBuf, NextId++); }
};

TEST(EditPlacement, ValuesTheSourceMadeArePlacedToo) {
  for (const bool cached : {false, true}) {
    SCOPED_TRACE(cached ? "cached" : "at once");
    NumberingQuery q(kColumns, Rows());
    q.SetCachedUpdates(cached);
    q.SetIndexFieldNames(u"Id DESC");
    q.Open();
    q.Append();
    q.FieldByName(u"Id").SetAsInteger(0);
    q.Post();
    if (cached) {
      EXPECT_EQ(q.RecNo(), 11);
      q.ApplyUpdates();
    }
    EXPECT_EQ(CurrentId(q), 100);
    EXPECT_EQ(q.RecNo(), 1);
    EXPECT_EQ(Ids(q), (std::vector<int>{100, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1}));
  }
}

// Changing the order, the filter or searching while a record is in work:
// a written record is posted first and found at its place; an unwritten
// one is dropped.
TEST(EditPlacement, OrderFilterAndSearchPostTheRecordInWorkFirst) {
  struct Step {
    const char* Name;
    std::function<void(MemQuery&)> Run;
    std::vector<int> Ids;
  };
  const std::vector<Step> steps = {
      {"IndexFieldNames", [](MemQuery& q) { q.SetIndexFieldNames(u"Qty DESC; Id"); }, {1, 3, 6, 8, 5, 10}},
      {"Filter", [](MemQuery& q) { q.SetFilter(u"Qty >= 5"); }, {1, 3, 6, 8}},
      {"Filtered", [](MemQuery& q) { q.SetFiltered(false); }, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
      {"FilterOptions", [](MemQuery& q) { q.SetFilterOptions(foCaseInsensitive); }, {1, 3, 5, 6, 8, 10}},
      {"Locate", [](MemQuery& q) { EXPECT_TRUE(q.Locate(u"Qty", Variant(7))); }, {1, 3, 5, 6, 8, 10}},
      {"LocateEx",
       [](MemQuery& q) { EXPECT_TRUE(q.LocateEx(u"Qty", Variant(7), lxCaseInsensitive)); },
       {1, 3, 5, 6, 8, 10}},
      {"Lookup", [](MemQuery& q) { EXPECT_EQ(q.Lookup(u"Qty", {7}, u"Id")[0].AsInteger(), 1); }, {1, 3, 5, 6, 8, 10}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.Name);
    MemQuery q(kColumns, Rows());
    q.SetFilter(u"Qty > 1");
    q.SetFiltered(true);
    q.Open();
    ASSERT_TRUE(q.Locate(u"Id", Variant(1)));
    q.Edit();
    q.FieldByName(u"Qty").SetAsInteger(7);
    step.Run(q);
    EXPECT_EQ(q.State(), dsBrowse);
    EXPECT_EQ(q.Lookup(u"Id", {1}, u"Qty")[0].AsInteger(), 7);
    EXPECT_EQ(Ids(q), step.Ids);

    // Nothing written: the record in work is dropped, not posted.
    q.Insert();
    q.SetIndexFieldNames(u"Id");
    EXPECT_EQ(q.State(), dsBrowse);
    EXPECT_EQ(q.RecordCount(), static_cast<int>(step.Ids.size()));
  }
}

// --- filters --------------------------------------------------------------------

struct FilterCase {
  const char16_t* Text;
  std::vector<int> Ids;
  const char* Error = nullptr;
  TFilterOptions Options = 0;
};

TEST(Filter, ExpressionsKeepTheirRecordsOrFail) {
  const std::vector<int> all = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  std::string deep(300, '(');
  const std::vector<FilterCase> cases = {
      {u"Name = 'Sm*'", {1, 9}},
      {u"Name = 'Sm*'", {}, nullptr, foNoPartialCompare},
      {u"Name = 'sm*'", {1, 2, 9}, nullptr, foCaseInsensitive},
      // Ordered against a text with a wildcard: compared as text, never as a pattern.
      {u"Name < 'Sm*'", {4, 6, 7, 8, 10}},
      {u"'Sm*' >= Name", {4, 6, 7, 8, 10}},
      {u"Name LIKE '_b%'", {6, 7}},
      {u"Name NOT LIKE '%c'", {1, 2, 3, 4, 5, 8, 9, 10}},
      {u"Price > 10 AND NOT (Qty = 0)", {1, 5, 7, 9}},
      {u"Name IS NULL", {3}},
      {u"Name IS NOT NULL", {1, 2, 4, 5, 6, 7, 8, 9, 10}},
      {u"Name = ''", {4}},
      {u"Qty > NULL", {}},
      {u"Price = '10'", {2, 6, 8, 10}},
      {u"10 < Price", {1, 5, 7, 9}},
      {u"Name = 'abc'", {7}},
      {u"Name = 'abc'", {6, 7, 8}, nullptr, foCaseInsensitive},
      {u"Code = 'ab'", {1, 2, 7, 10}},
      {u"Name = '김철수'", {5}},
      {u"Id = 1 OR Id = 2 OR Id = 3", {1, 2, 3}},
      {u"[Name] = 'Bob '", {10}},
      {u"Id >= 9 or Id < 2", {1, 9, 10}},
      {u"-5 < Qty AND Qty < +2", {2, 4, 7}},
      {u"Price LIKE '1%'", {2, 6, 8, 9, 10, 1}},
      {u"Qty = Id - 1", {}, "Illegal filter expression"},
      {u"TRUE", all},
      {u"not FALSE and (Qty = 5 or Qty = 3)", {1, 3, 6, 8}},
      {u"Qty = 5 extra", {}, "Illegal filter expression"},
      {u"Nope = 1", {}, "Field Nope not found"},
      {u"Price = 'ten'", {}, "'ten' is not a valid value for field 'Price'"},
      {u"Name LIKE", {}, "Illegal filter expression"},
      {u"(Id = 1", {}, "Illegal filter expression"},
      {u"Id = 1 AND", {}, "Illegal filter expression"},
      {u"Name IS 5", {}, "Illegal filter expression"},
      {u"Name = 'open", {}, "Illegal filter expression"},
  };
  for (const FilterCase& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.Text));
    MemQuery q(kColumns, Rows());
    q.Open();
    q.SetFilterOptions(c.Options);
    q.SetFilter(c.Text);
    if (c.Error) {
      EXPECT_EQ(ErrorOf([&] { q.SetFiltered(true); }), c.Error);
      EXPECT_FALSE(q.Filtered());
      EXPECT_EQ(q.RecordCount(), 10);
      continue;
    }
    q.SetFiltered(true);
    std::vector<int> ids = Ids(q), expected = c.Ids;
    std::sort(ids.begin(), ids.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ids, expected);
    EXPECT_EQ(q.RecordCount(), static_cast<int>(c.Ids.size()));
  }
  MemQuery q(kColumns, Rows());
  q.SetFilter(UString(deep.begin(), deep.end()) + u"Id = 1");
  q.SetFiltered(true);
  EXPECT_EQ(ErrorOf([&] { q.Open(); }), "Illegal filter expression");
}

// Random expressions over random records, read through the fields, against
// a plain evaluation of the same expression: NULL compares to nothing (only
// "<>" and NOT LIKE hold for it), "=" with a wildcard is a pattern match,
// case is ignored with the option.
struct TReferenceRow {
  int Id;
  std::optional<std::u16string> Name;
  std::optional<double> Price;
  std::optional<int> Qty;
};

bool ReferenceLike(std::u16string_view text, std::u16string_view pattern) {
  if (pattern.empty()) return text.empty();
  if (pattern[0] == u'%' || pattern[0] == u'*')
    for (size_t skip = 0; skip <= text.size(); ++skip)
      if (ReferenceLike(text.substr(skip), pattern.substr(1))) return true;
  if (pattern[0] == u'%' || pattern[0] == u'*' || text.empty()) return false;
  return (pattern[0] == u'_' || pattern[0] == text[0]) && ReferenceLike(text.substr(1), pattern.substr(1));
}

std::u16string Folded(std::u16string text, bool fold) {
  if (fold)
    for (char16_t& c : text) c = UpCaseChar(c);
  return text;
}

TEST(Filter, RandomExpressionsKeepTheRecordsOfAPlainEvaluation) {
  std::mt19937 random(4242);
  std::vector<TReferenceRow> reference;
  std::vector<std::vector<Variant>> rows;
  for (int id = 1; id <= 200; ++id) {
    TReferenceRow r{id, {}, {}, {}};
    const Variant name = RandomText(random, u"aAbB가", 4, 6);
    if (!name.IsNull()) r.Name = name.AsString();
    if (random() % 6) r.Price = static_cast<double>(random() % 9) - 2.5;
    if (random() % 6) r.Qty = static_cast<int>(random() % 5) - 1;
    rows.push_back({id, name, u"x", r.Price ? Variant(*r.Price) : N(), r.Qty ? Variant(*r.Qty) : N()});
    reference.push_back(r);
  }
  const char16_t* ops[] = {u"=", u"<>", u"<", u">", u"<=", u">="};
  const auto ordered = [](int op, int c) {
    switch (op) {
      case 0: return c == 0;
      case 1: return c != 0;
      case 2: return c < 0;
      case 3: return c > 0;
      case 4: return c <= 0;
      default: return c >= 0;
    }
  };
  bool fold = false;
  using TPredicate = std::function<bool(const TReferenceRow&)>;
  // A random expression: its text and its plain evaluation.
  std::function<std::pair<UString, TPredicate>(int)> expression = [&](int depth) -> std::pair<UString, TPredicate> {
    const unsigned kind = depth > 2 ? random() % 4 : random() % 7;
    if (kind == 0) {  // a number field against a number
      const bool price = random() % 2;
      const int op = static_cast<int>(random() % 6);
      const double k = static_cast<double>(random() % 9) - 2.5;
      const int qk = static_cast<int>(random() % 5) - 1;
      UString text = price ? u"Price " + UString(ops[op]) + u" " + FloatToStr(k)
                           : u"Qty " + UString(ops[op]) + u" " + IntToStr(qk);
      return {text, [=](const TReferenceRow& r) {
                const std::optional<double> v =
                    price ? r.Price : (r.Qty ? std::optional<double>(*r.Qty) : std::nullopt);
                if (!v) return op == 1;
                const double c = price ? k : qk;
                return ordered(op, *v < c ? -1 : (*v > c ? 1 : 0));
              }};
    }
    if (kind == 1) {  // the text field against a text, with a wildcard or not
      const bool equal = random() % 2;
      std::u16string pattern = RandomText(random, u"aAb가%_", 4, 1000).AsString();
      const bool wild = pattern.find_first_of(u"%_") != std::u16string::npos;
      return {u"Name " + UString(equal ? u"= '" : u"<> '") + pattern + u"'", [=, &fold](const TReferenceRow& r) {
                if (!r.Name) return !equal;
                const std::u16string name = Folded(*r.Name, fold), k = Folded(pattern, fold);
                return (wild ? ReferenceLike(name, k) : name == k) == equal;
              }};
    }
    if (kind == 2) {  // LIKE
      const bool negate = random() % 2;
      const std::u16string pattern = RandomText(random, u"aAb가%_*", 5, 1000).AsString();
      return {u"Name " + UString(negate ? u"NOT LIKE '" : u"LIKE '") + pattern + u"'",
              [=, &fold](const TReferenceRow& r) {
                if (!r.Name) return negate;
                return ReferenceLike(Folded(*r.Name, fold), Folded(pattern, fold)) != negate;
              }};
    }
    if (kind == 3) {  // IS [NOT] NULL
      const bool negate = random() % 2;
      const unsigned field = random() % 3;
      const char16_t* names[] = {u"Name", u"Price", u"Qty"};
      return {UString(names[field]) + (negate ? u" IS NOT NULL" : u" IS NULL"), [=](const TReferenceRow& r) {
                const bool null = field == 0 ? !r.Name : (field == 1 ? !r.Price : !r.Qty);
                return null != negate;
              }};
    }
    if (kind == 4) {
      auto [text, inner] = expression(depth + 1);
      return {u"NOT (" + text + u")", [inner](const TReferenceRow& r) { return !inner(r); }};
    }
    auto [leftText, left] = expression(depth + 1);
    auto [rightText, right] = expression(depth + 1);
    const bool isAnd = kind == 5;
    return {u"(" + leftText + (isAnd ? u") AND (" : u") OR (") + rightText + u")",
            [=](const TReferenceRow& r) { return isAnd ? left(r) && right(r) : left(r) || right(r); }};
  };
  MemQuery q(kColumns, rows);
  q.Open();
  q.SetIndexFieldNames(u"Name CIS; Qty DESC");
  q.SetFiltered(true);
  for (int i = 0; i < 400; ++i) {
    fold = random() % 3 == 0;
    const auto [text, predicate] = expression(0);
    SCOPED_TRACE(Utf16ToUtf8(text) + (fold ? " (case ignored)" : ""));
    q.SetFilterOptions(fold ? foCaseInsensitive : 0);
    q.SetFilter(text);
    std::vector<int> ids = Ids(q), expected;
    for (const TReferenceRow& r : reference)
      if (predicate(r)) expected.push_back(r.Id);
    std::sort(ids.begin(), ids.end());
    ASSERT_EQ(ids, expected);
    ASSERT_EQ(q.RecordCount(), static_cast<int>(expected.size()));
  }
}

TEST(Filter, AFailedChangeKeepsTheShownRecords) {
  MemQuery q(kColumns, Rows());
  q.SetFilter(u"Qty = 0");
  q.SetFiltered(true);
  q.Open();
  EXPECT_EQ(Ids(q), (std::vector<int>{2, 4}));
  EXPECT_EQ(ErrorOf([&] { q.SetFilter(u"Qty = 'none'"); }), "'none' is not a valid value for field 'Qty'");
  EXPECT_EQ(q.Filter(), u"Qty = 0");
  EXPECT_EQ(Ids(q), (std::vector<int>{2, 4}));
  // Sorted and filtered together; the numbers follow the records shown.
  q.SetIndexFieldNames(u"Id DESC");
  EXPECT_EQ(Ids(q), (std::vector<int>{4, 2}));
  q.Last();
  EXPECT_EQ(q.RecNo(), 2);
  q.SetFiltered(false);
  EXPECT_EQ(q.RecordCount(), 10);
}

TEST(Filter, OnFilterRecordReadsEachRecordThroughTheFields) {
  MemQuery q(kColumns, Rows());
  q.SetOnFilterRecord([](TDataSet& d, bool& accept) { accept = d.FieldByName(u"Id").AsInteger() % 2 == 0; });
  q.Open();
  EXPECT_EQ(q.RecordCount(), 10);  // not filtered yet
  q.SetFiltered(true);
  EXPECT_EQ(Ids(q), (std::vector<int>{2, 4, 6, 8, 10}));
  q.SetFilter(u"Qty = 5");
  EXPECT_EQ(Ids(q), (std::vector<int>{6, 8}));
  q.SetOnFilterRecord(nullptr);
  EXPECT_EQ(Ids(q), (std::vector<int>{3, 6, 8}));
}

// --- search -------------------------------------------------------------------------

struct LocateCase {
  const char16_t* Index;  // IndexFieldNames
  const char16_t* Fields;
  std::vector<Variant> Keys;
  TLocateExOptions Options;
  int StartId;  // 0: the first record; -1: past the last
  int FoundId;  // 0: not found; -1: found at the end of data
};

TEST(Locate, OptionsFindTheirRecord) {
  const std::vector<LocateCase> cases = {
      {u"", u"Name", {u"Smith"}, 0, 0, 1},
      {u"Name", u"Name", {u"Smith"}, 0, 0, 1},
      {u"Name DESC", u"Name", {u"Smith"}, 0, 0, 1},
      {u"", u"Name", {u"smith"}, 0, 0, 0},
      {u"", u"Name", {u"smith"}, lxCaseInsensitive, 0, 1},
      {u"Name CIS", u"Name", {u"ABC"}, lxCaseInsensitive, 0, 6},
      {u"", u"Name", {u"Sm"}, lxPartialKey, 0, 1},
      {u"", u"Name", {u"mit"}, lxPartialCompare, 0, 1},
      {u"", u"Price", {u"12"}, lxPartialKey, 0, 1},
      {u"", u"Name", {N()}, 0, 0, 3},
      {u"Name", u"Name", {N()}, 0, 0, 3},
      {u"", u"Name;Qty", {u"Smith", N()}, 0, 0, 9},
      {u"Name", u"Qty;Name", {N(), u"Smith"}, 0, 0, 9},
      {u"", u"Code", {u"ab   "}, 0, 0, 1},
      {u"", u"Name", {u"김철수"}, 0, 0, 5},
      {u"", u"Name", {u""}, 0, 0, 4},
      {u"", u"Price", {u"10"}, 0, 0, 2},
      {u"Price", u"Price", {10}, 0, 0, 2},
      {u"", u"Name", {u"Smith"}, lxNext, 1, 9},
      {u"Name", u"Name", {u"Smith"}, lxNext, 1, 9},
      {u"", u"Name", {u"Smith"}, lxNext, 9, 0},
      {u"", u"Code", {u"ab"}, lxUp, -1, 7},
      {u"Code", u"Code", {u"ab"}, lxUp, -1, 10},
      {u"Price", u"Price", {11}, lxNearest, 0, 1},
      {u"Price", u"Price", {100}, lxNearest, 0, -1},
  };
  for (const LocateCase& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.Fields) + " case " + std::to_string(&c - cases.data()));
    for (const bool binary : {true, false}) {
      MemQuery q(kColumns, Rows());
      q.SetIndexFieldNames(c.Index);
      q.SetLocateBinarySearch(binary);
      q.Open();
      if (c.StartId > 0) {
        ASSERT_TRUE(q.Locate(u"Id", Variant(c.StartId)));
      }
      if (c.StartId < 0) q.Last();
      const int before = CurrentId(q);
      const bool found = q.LocateEx(c.Fields, c.Keys, c.Options);
      EXPECT_EQ(found, c.FoundId != 0);
      if (c.FoundId > 0) {
        EXPECT_EQ(CurrentId(q), c.FoundId);
      }
      if (c.FoundId < 0) {
        EXPECT_TRUE(q.Eof());
      }
      if (c.FoundId == 0) {
        EXPECT_EQ(CurrentId(q), before);
      }
    }
  }
}

TEST(Locate, RefusesKeysThatCannotTakeTheirTypeBeforeMoving) {
  MemQuery q(kColumns, Rows());
  q.SetIndexFieldNames(u"Name");
  q.Open();
  q.Next();
  const int before = CurrentId(q);
  EXPECT_EQ(ErrorOf([&] {
              q.Locate(u"Name;Qty", std::vector<Variant>{u"Smith", u"many"});
            }),
            "'many' is not a valid value for field 'Qty'");
  EXPECT_EQ(CurrentId(q), before);
  EXPECT_EQ(ErrorOf([&] { q.Locate(u"Nope", Variant(1)); }), "Query: Field 'Nope' not found");
}

TEST(Locate, HiddenRecordsAreNeverFoundAndLookupDoesNotMove) {
  MemQuery q(kColumns, Rows());
  q.SetFilter(u"Id <> 1");
  q.SetFiltered(true);
  q.SetIndexFieldNames(u"Name");
  q.Open();
  EXPECT_TRUE(q.Locate(u"Name", Variant(u"Smith")));
  EXPECT_EQ(CurrentId(q), 9);
  q.First();
  const std::vector<Variant> values = q.Lookup(u"Name", {u"김철수"}, u"Price;Code");
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0].AsFloat(), 20.0);
  EXPECT_EQ(values[1].AsString(), u"ef");
  EXPECT_EQ(CurrentId(q), 3);  // the first by Name (NULL first), unmoved
  EXPECT_TRUE(q.Lookup(u"Id", {1}, u"Name")[0].IsNull());
}

// A record filter that reads a value of the application: Lookup answers by
// what the filter shows now. The current record stays current, or, when the
// filter now hides it, the first record shown becomes current.
TEST(Locate, LookupAnswersByTheFilterAsItIsNow) {
  MemQuery q(kColumns, Rows());
  int low = 1, high = 4;
  q.SetOnFilterRecord([&](TDataSet& d, bool& accept) {
    const int id = d.FieldByName(u"Id").AsInteger();
    accept = id >= low && id <= high;
  });
  q.Open();
  q.SetFiltered(true);
  ASSERT_TRUE(q.Locate(u"Id", Variant(3)));
  EXPECT_TRUE(q.Lookup(u"Id", {6}, u"Name")[0].IsNull());
  low = 2;
  high = 6;
  EXPECT_EQ(q.Lookup(u"Id", {6}, u"Name")[0].AsString(), u"Abc");
  EXPECT_TRUE(q.Lookup(u"Id", {1}, u"Name")[0].IsNull());
  EXPECT_EQ(CurrentId(q), 3);
  EXPECT_EQ(q.RecNo(), 2);
  EXPECT_EQ(q.RecordCount(), 5);
  low = 4;
  EXPECT_EQ(q.Lookup(u"Id", {5}, u"Name")[0].AsString(), u"김철수");
  EXPECT_EQ(CurrentId(q), 4);
  EXPECT_TRUE(q.Bof());
  EXPECT_EQ(Ids(q), (std::vector<int>{4, 5, 6}));
}

// A record filter handler switched on before the open reads the fields of
// the records it judges; the open shows only the records it accepts.
TEST(Filter, HandlerSetBeforeTheOpenReadsTheRecordsFields) {
  MemQuery q(kColumns, Rows());
  q.SetOnFilterRecord([](TDataSet& d, bool& accept) { accept = d.FieldByName(u"Id").AsInteger() % 2 == 0; });
  q.SetFiltered(true);
  q.Open();
  EXPECT_EQ(CurrentId(q), 2);
  EXPECT_EQ(q.RecordCount(), 5);
  EXPECT_EQ(Ids(q), (std::vector<int>{2, 4, 6, 8, 10}));
}

// Random data: the binary search along the sort keys and the scan agree.
TEST(Locate, BinarySearchAgreesWithTheScan) {
  std::mt19937 random(20261210);
  const auto text = [&] { return RandomText(random, u"aAbB가 ", 4, 8); };
  const auto qty = [&]() -> Variant { return random() % 6 == 0 ? N() : Variant(static_cast<int>(random() % 5)); };
  std::vector<std::vector<Variant>> rows;
  for (int id = 1; id <= 600; ++id) rows.push_back({id, text(), u"x", 1.0, qty()});
  const std::vector<const char16_t*> indexes = {u"Name", u"Name DESC; Qty", u"Qty; Name CIS", u"Name BIN; Qty DESC",
                                                u"Qty DESC"};
  const std::vector<TLocateExOptions> options = {0, lxCaseInsensitive, lxNext, lxUp, lxNext | lxCaseInsensitive};
  int checks = 0;
  for (const char16_t* index : indexes) {
    MemQuery binary(kColumns, rows), scan(kColumns, rows);
    for (MemQuery* q : {&binary, &scan}) {
      q->SetIndexFieldNames(index);
      q->Open();
    }
    scan.SetLocateBinarySearch(false);
    for (int i = 0; i < 300; ++i) {
      const std::vector<Variant> keys = {text(), qty()};
      const TLocateExOptions option = options[random() % options.size()];
      const UString fields = random() % 2 ? u"Name;Qty" : u"Name";
      const int start = 1 + static_cast<int>(random() % 600);
      for (MemQuery* q : {&binary, &scan}) q->Locate(u"Id", Variant(start));
      const bool a = binary.LocateEx(fields, keys, option), b = scan.LocateEx(fields, keys, option);
      ASSERT_EQ(a, b) << i;
      ASSERT_EQ(CurrentId(binary), CurrentId(scan)) << i;
      ++checks;
    }
  }
  EXPECT_EQ(checks, 1500);
}

// --- bookmarks ---------------------------------------------------------------------

struct BookmarkCase {
  const char* Name;
  std::function<void(MemQuery& q)> Change;  // after the bookmark of Id 4 was taken
  int RecNo;                                // of Id 4 when the bookmark is valid; 0: not valid
};

TEST(Bookmarks, StayWithTheirRecordOrBecomeInvalid) {
  const auto at = [](MemQuery& q, int id) { ASSERT_TRUE(q.Locate(u"Id", Variant(id))); };
  const auto hide = [](MemQuery& q, const char16_t* filter) {
    q.SetFilter(filter);
    q.SetFiltered(true);
  };
  const std::vector<BookmarkCase> cases = {
      {"moved away", [](MemQuery& q) { q.Last(); }, 4},
      {"sorted", [](MemQuery& q) { q.SetIndexFieldNames(u"Name DESC"); }, 9},
      {"its record edited and moved by the order",
       [&](MemQuery& q) {
         q.SetIndexFieldNames(u"Id");
         at(q, 4);
         q.Edit();
         q.FieldByName(u"Id").SetAsInteger(40);
         q.Post();
       },
       10},
      {"a record before it deleted",
       [&](MemQuery& q) {
         at(q, 2);
         q.Delete();
       },
       3},
      {"a record inserted before it",
       [&](MemQuery& q) {
         at(q, 1);
         q.Insert();
         q.FieldByName(u"Id").SetAsInteger(11);
         q.Post();
       },
       5},
      {"shown by a filter", [&](MemQuery& q) { hide(q, u"Qty = 0"); }, 2},
      {"its record deleted",
       [&](MemQuery& q) {
         at(q, 4);
         q.Delete();
       },
       0},
      {"hidden by a filter", [&](MemQuery& q) { hide(q, u"Qty > 0"); }, 0},
      {"hidden, then shown again",
       [&](MemQuery& q) {
         hide(q, u"Qty > 0");
         q.SetFiltered(false);
       },
       4},
      {"closed and opened",
       [](MemQuery& q) {
         q.Close();
         q.Open();
       },
       0},
  };
  for (const BookmarkCase& c : cases) {
    SCOPED_TRACE(c.Name);
    MemQuery q(kColumns, Rows());
    q.Open();
    at(q, 4);
    const TRecBookmark bookmark = q.GetBookmark();
    ASSERT_FALSE(bookmark.Empty());
    c.Change(q);
    q.First();
    const int first = CurrentId(q);
    EXPECT_EQ(q.BookmarkValid(bookmark), c.RecNo != 0);
    if (c.RecNo != 0) {
      q.GotoBookmark(bookmark);
      EXPECT_EQ(q.FieldByName(u"Qty").AsInteger(), 0);
      EXPECT_EQ(q.FieldByName(u"Name").AsString(), u"");
      EXPECT_EQ(q.RecNo(), c.RecNo);
    } else {
      EXPECT_EQ(ErrorOf([&] { q.GotoBookmark(bookmark); }),
                "Query: Bookmark not found: its record was deleted or is hidden, or the data was read again");
      EXPECT_EQ(CurrentId(q), first);  // nothing moved
    }
  }
}

// Opens the query and appends record 11, alone in a block of its own (the
// fixture's ten records fill one); its bookmark.
TRecBookmark OpenAndAppendAlone(MemQuery& q, bool cached) {
  q.SetCachedUpdates(cached);
  q.Open();
  q.Append();
  q.FieldByName(u"Id").SetAsInteger(11);
  q.FieldByName(u"Name").SetAsString(u"새 기록");
  q.Post();
  return q.GetBookmark();
}

// A record alone in its block: deleting it gives the block's memory back,
// and its bookmark is refused without reading that memory (AddressSanitizer).
TEST(Bookmarks, OfARecordWhoseMemoryWasFreedAreRefused) {
  for (const bool cached : {false, true}) {
    SCOPED_TRACE(cached ? "cached updates" : "direct");
    MemQuery q(kColumns, Rows());
    const TRecBookmark bookmark = OpenAndAppendAlone(q, cached);
    q.Delete();
    if (cached) q.CommitUpdates();
    EXPECT_FALSE(q.BookmarkValid(bookmark));
    EXPECT_NE(ErrorOf([&] { q.GotoBookmark(bookmark); }), "");
    // The records that stay are reached as before.
    q.First();
    const TRecBookmark first = q.GetBookmark();
    q.Last();
    q.GotoBookmark(first);
    EXPECT_EQ(CurrentId(q), 1);
    EXPECT_EQ(q.RecordCount(), 10);
  }
  // A cached delete hides the record; its revert brings the bookmark back.
  MemQuery q(kColumns, Rows());
  q.SetCachedUpdates(true);
  q.Open();
  ASSERT_TRUE(q.Locate(u"Id", Variant(6)));
  const TRecBookmark bookmark = q.GetBookmark();
  q.Delete();
  EXPECT_FALSE(q.BookmarkValid(bookmark));
  q.CancelUpdates();
  q.GotoBookmark(bookmark);
  EXPECT_EQ(CurrentId(q), 6);
}

// An update handler that reverts the new record it is asked to apply: the
// record's memory goes (it was alone in its block), and the record that was
// current when the apply began is not made current again from that memory.
TEST(Bookmarks, ARecordRevertedWhileItIsAppliedIsNotCurrentAfterwards) {
  MemQuery q(kColumns, Rows());
  const TRecBookmark bookmark = OpenAndAppendAlone(q, true);
  q.OnUpdateRecord = [](TDataSet& d, TMemDataSet::TUpdateRecKind, TUpdateRecAction& action) {
    static_cast<TMemDataSet&>(d).RevertRecord();
    action = urApplied;
  };
  q.ApplyUpdates();
  EXPECT_FALSE(q.UpdatesPending());
  EXPECT_FALSE(q.BookmarkValid(bookmark));
  EXPECT_NE(CurrentId(q), 11);
  EXPECT_EQ(q.RecordCount(), 10);
  EXPECT_EQ(Ids(q), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  // New records take the freed memory and read as themselves.
  q.OnUpdateRecord = nullptr;
  for (int id = 12; id <= 14; ++id) {
    q.Append();
    q.FieldByName(u"Id").SetAsInteger(id);
    q.Post();
  }
  EXPECT_EQ(Ids(q), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 12, 13, 14}));
}

// Random sorts, filters, deletes, inserts and edits: every bookmark taken so
// far is valid exactly while its record is shown, leads to it, and two valid
// bookmarks compare as their records' places in the records shown.
TEST(Bookmarks, FollowTheirRecordsThroughRandomChanges) {
  std::mt19937 random(1211);
  std::vector<std::vector<Variant>> rows;
  const auto name = [&] { return RandomText(random, u"aAbB가", 3, 7); };
  for (int id = 1; id <= 40; ++id) rows.push_back({id, name(), u"x", 1.0, static_cast<int>(random() % 5)});
  const char16_t* sorts[] = {u"", u"Qty", u"Qty DESC; Id", u"Name CIS; Id DESC", u"Id DESC", u"Name; Qty"};
  const char16_t* filters[] = {u"", u"Qty > 1", u"Name LIKE '%a%'", u"Name IS NOT NULL AND Qty <> 3"};
  for (const bool cached : {false, true}) {
    SCOPED_TRACE(cached ? "cached updates" : "direct");
    MemQuery q(kColumns, rows);
    q.SetCachedUpdates(cached);
    q.Open();
    std::vector<std::pair<int, TRecBookmark>> marks;
    int nextId = 41;
    for (int step = 0; step < 300; ++step) {
      SCOPED_TRACE(step);
      std::vector<int> shown = Ids(q);
      const auto place = [&](int id) { return std::find(shown.begin(), shown.end(), id) - shown.begin(); };
      const auto visitRandom = [&] {
        if (shown.empty()) return false;
        const int id = shown[random() % shown.size()];
        EXPECT_TRUE(q.Locate(u"Id", Variant(id)));
        return true;
      };
      switch (random() % 7) {
        case 0: q.SetIndexFieldNames(sorts[random() % std::size(sorts)]); break;
        case 1:
          q.SetFilter(filters[random() % std::size(filters)]);
          q.SetFiltered(true);
          break;
        case 2:
          if (visitRandom()) q.Delete();
          break;
        case 3:
          if (!shown.empty()) visitRandom();
          q.Insert();
          q.FieldByName(u"Id").SetAsInteger(nextId++);
          q.FieldByName(u"Qty").SetAsInteger(static_cast<int>(random() % 5));
          q.FieldByName(u"Name").SetAsVariant(name());
          q.Post();
          break;
        case 4:
          if (visitRandom()) {
            q.Edit();
            q.FieldByName(u"Qty").SetAsInteger(static_cast<int>(random() % 5));
            q.Post();
          }
          break;
        case 5:
          if (cached && visitRandom()) q.RevertRecord();
          else if (cached && random() % 4 == 0) q.CancelUpdates();
          break;
        default:
          if (visitRandom()) marks.emplace_back(CurrentId(q), q.GetBookmark());
          break;
      }
      shown = Ids(q);
      for (const auto& [id, mark] : marks) {
        const bool isShown = place(id) < static_cast<ptrdiff_t>(shown.size());
        ASSERT_EQ(q.BookmarkValid(mark), isShown) << id;
        if (!isShown) continue;
        q.GotoBookmark(mark);
        ASSERT_EQ(CurrentId(q), id);
        const auto& [otherId, other] = marks[random() % marks.size()];
        if (place(otherId) >= static_cast<ptrdiff_t>(shown.size())) continue;
        const ptrdiff_t a = place(id), b = place(otherId);
        ASSERT_EQ(q.CompareBookmarks(mark, other), a < b ? -1 : (a > b ? 1 : 0)) << id << " " << otherId;
      }
    }
  }
}

TEST(Bookmarks, CompareByThePlaceOfTheirRecords) {
  MemQuery q(kColumns, Rows());
  EXPECT_TRUE(q.GetBookmark().Empty());  // closed
  q.Open();
  std::vector<TRecBookmark> marks;  // by Id
  for (q.First(); !q.Eof(); q.Next()) marks.push_back(q.GetBookmark());
  EXPECT_EQ(q.CompareBookmarks(marks[0], marks[1]), -1);
  EXPECT_EQ(q.CompareBookmarks(marks[9], marks[1]), 1);
  EXPECT_EQ(q.CompareBookmarks(marks[4], marks[4]), 0);
  EXPECT_EQ(q.CompareBookmarks(TRecBookmark{}, marks[0]), -1);
  EXPECT_EQ(q.CompareBookmarks(TRecBookmark{}, TRecBookmark{}), 0);
  // A new order: the same bookmarks follow their records.
  q.SetIndexFieldNames(u"Price DESC; Id");  // 7, 5, 9, 1, 2, 6, 8, 10, 4, 3
  EXPECT_EQ(q.CompareBookmarks(marks[6], marks[4]), -1);
  EXPECT_EQ(q.CompareBookmarks(marks[2], marks[3]), 1);
  ASSERT_TRUE(q.Locate(u"Id", Variant(7)));
  EXPECT_EQ(q.CompareBookmarks(q.GetBookmark(), marks[6]), 0);
  // Inserting: the record in work has no bookmark.
  q.Insert();
  EXPECT_TRUE(q.GetBookmark().Empty());
  q.Cancel();
  q.Close();
  EXPECT_FALSE(q.BookmarkValid(marks[0]));
}

}  // namespace
}  // namespace vix
