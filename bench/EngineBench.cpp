// The in-memory engine (local sort, filters, Locate) on 1,000,000 records of
// (INT, VARCHAR(40) Korean text, DOUBLE, DATE), side by side in one run with
// SQLite in memory doing the same work on the same data: ORDER BY, WHERE and
// an indexed lookup. Our figures go through the dataset, as a program uses it.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Common/MemDS.h"
#include "rtl/UString.h"

namespace vix {
namespace {

constexpr int kRecords = 1000000;

struct Row {
  int32_t Qty;
  std::u16string Name;
  double Price;
  double Born;  // a date: days since 1899-12-30
};

// The same rows for both engines: Korean syllables with a Latin "abc" in one
// name of 50, quantities 0..999 (about one in ten 0), prices 0..20.
const std::vector<Row>& Rows() {
  static const std::vector<Row> rows = [] {
    std::mt19937 random(42);
    std::vector<Row> result(kRecords);
    for (Row& row : result) {
      row.Qty = random() % 10 == 0 ? 0 : static_cast<int32_t>(random() % 1000);
      const size_t length = 4 + random() % 12;
      for (size_t i = 0; i < length; ++i) row.Name.push_back(static_cast<char16_t>(0xAC00 + random() % 2000));
      if (random() % 50 == 0) row.Name.insert(random() % row.Name.size(), u"abc");
      if (random() % 3 == 0) row.Name[0] = static_cast<char16_t>(u'a' + random() % 26);
      row.Price = static_cast<double>(random() % 2000) / 100.0;
      row.Born = 40000 + static_cast<double>(random() % 10000);
    }
    return result;
  }();
  return rows;
}

class EngineData : public TMemData {
 protected:
  void InternalInitFields() override {
    const std::pair<const char16_t*, TDataType> columns[] = {
        {u"Qty", mtInt32}, {u"Name", mtWideString}, {u"Price", mtFloat}, {u"Born", mtDate}};
    for (const auto& [name, type] : columns) {
      auto d = std::make_unique<TFieldDesc>();
      d->FName = name;
      d->FDataType = type;
      d->FLength = type == mtWideString ? 40 : 0;
      d->FSize = DataTypeSize(type, d->FLength);
      FFields.Add(std::move(d));
    }
  }
  void InternalOpen() override {
    InitFields();
    std::vector<uint8_t> buf = AllocRecBuf();
    for (const Row& row : Rows()) {
      InitRecord(buf.data());
      PutField(1, buf.data(), &row.Qty, sizeof row.Qty);
      PutField(2, buf.data(), row.Name.data(), 2 * row.Name.size());
      PutField(3, buf.data(), &row.Price, sizeof row.Price);
      PutFieldAsVariant(4, buf.data(), Variant::FromDate(row.Born));
      AppendRecord(buf.data());
    }
  }
};

class EngineDataSet : public TMemDataSet {
 public:
  EngineDataSet() { SetData(&FStorage); }
  ~EngineDataSet() override { Close(); }

 private:
  EngineData FStorage;
};

EngineDataSet& DataSet() {
  static EngineDataSet* dataSet = [] {
    auto* d = new EngineDataSet;
    d->Open();
    return d;
  }();
  return *dataSet;
}

// --- ours ---------------------------------------------------------------------

void Sort(benchmark::State& state, const char16_t* index) {
  EngineDataSet& d = DataSet();
  for (auto _ : state) {
    state.PauseTiming();
    d.SetIndexFieldNames(u"Born");  // another order to start from
    state.ResumeTiming();
    d.SetIndexFieldNames(index);
    benchmark::DoNotOptimize(d.RecNo());
  }
}

void Filter(benchmark::State& state, const char16_t* filter) {
  EngineDataSet& d = DataSet();
  d.SetIndexFieldNames(u"");
  for (auto _ : state) {
    state.PauseTiming();
    d.SetFiltered(false);
    d.SetFilter(filter);
    state.ResumeTiming();
    d.SetFiltered(true);
    benchmark::DoNotOptimize(d.RecordCount());
  }
  state.counters["shown"] = d.RecordCount();
  d.SetFiltered(false);
}

void Ours_SortInt(benchmark::State& state) {
  Sort(state, u"Qty");
}
void Ours_SortTextBinary(benchmark::State& state) {
  Sort(state, u"Name BIN");
}
void Ours_SortTextCaseInsensitiveThenInt(benchmark::State& state) {
  Sort(state, u"Name CIS; Qty");
}
void Ours_FilterPriceQty(benchmark::State& state) {
  Filter(state, u"Price > 10 AND NOT (Qty = 0)");
}
void Ours_FilterLike(benchmark::State& state) {
  Filter(state, u"Name LIKE '%abc%'");
}
void Ours_LocateOnSortKey(benchmark::State& state) {
  EngineDataSet& d = DataSet();
  d.SetIndexFieldNames(u"Qty");
  std::mt19937 random(7);
  for (auto _ : state) benchmark::DoNotOptimize(d.Locate(u"Qty", Variant(static_cast<int>(random() % 1000))));
}

BENCHMARK(Ours_SortInt)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(Ours_SortTextBinary)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(Ours_SortTextCaseInsensitiveThenInt)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(Ours_FilterPriceQty)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(Ours_FilterLike)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(Ours_LocateOnSortKey)->Unit(benchmark::kMicrosecond);

// --- SQLite in memory ----------------------------------------------------------

sqlite3* Sqlite() {
  static sqlite3* db = [] {
    sqlite3* handle = nullptr;
    sqlite3_open(":memory:", &handle);
    sqlite3_exec(handle, "CREATE TABLE t (qty INTEGER, name TEXT, price REAL, born REAL)", nullptr, nullptr, nullptr);
    sqlite3_exec(handle, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(handle, "INSERT INTO t VALUES (?, ?, ?, ?)", -1, &insert, nullptr);
    for (const Row& row : Rows()) {
      const std::string name = Utf16ToUtf8(row.Name);
      sqlite3_bind_int(insert, 1, row.Qty);
      sqlite3_bind_text(insert, 2, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
      sqlite3_bind_double(insert, 3, row.Price);
      sqlite3_bind_double(insert, 4, row.Born);
      sqlite3_step(insert);
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(handle, "COMMIT", nullptr, nullptr, nullptr);
    return handle;
  }();
  return db;
}

// Steps through every row of the statement; returns the row count.
int64_t StepAll(const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(Sqlite(), sql, -1, &stmt, nullptr);
  int64_t rows = 0;
  while (sqlite3_step(stmt) == SQLITE_ROW) ++rows;
  sqlite3_finalize(stmt);
  return rows;
}

void SqliteQuery(benchmark::State& state, const char* sql) {
  int64_t rows = 0;
  for (auto _ : state) rows = StepAll(sql);
  state.counters["rows"] = static_cast<double>(rows);
}

void Sqlite_SortInt(benchmark::State& state) {
  SqliteQuery(state, "SELECT rowid FROM t ORDER BY qty");
}
void Sqlite_SortTextBinary(benchmark::State& state) {
  SqliteQuery(state, "SELECT rowid FROM t ORDER BY name");
}
void Sqlite_SortTextCaseInsensitiveThenInt(benchmark::State& state) {
  SqliteQuery(state, "SELECT rowid FROM t ORDER BY name COLLATE NOCASE, qty");
}
void Sqlite_FilterPriceQty(benchmark::State& state) {
  SqliteQuery(state, "SELECT rowid FROM t WHERE price > 10 AND NOT (qty = 0)");
}
void Sqlite_FilterLike(benchmark::State& state) {
  SqliteQuery(state, "SELECT rowid FROM t WHERE name LIKE '%abc%'");
}
void Sqlite_IndexedLookup(benchmark::State& state) {
  sqlite3_exec(Sqlite(), "CREATE INDEX IF NOT EXISTS t_qty ON t (qty)", nullptr, nullptr, nullptr);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(Sqlite(), "SELECT rowid FROM t WHERE qty = ? LIMIT 1", -1, &stmt, nullptr);
  std::mt19937 random(7);
  for (auto _ : state) {
    sqlite3_bind_int(stmt, 1, static_cast<int>(random() % 1000));
    benchmark::DoNotOptimize(sqlite3_step(stmt));
    sqlite3_reset(stmt);
  }
  sqlite3_finalize(stmt);
}

BENCHMARK(Sqlite_SortInt)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(Sqlite_SortTextBinary)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(Sqlite_SortTextCaseInsensitiveThenInt)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(Sqlite_FilterPriceQty)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(Sqlite_FilterLike)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(Sqlite_IndexedLookup)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vix
