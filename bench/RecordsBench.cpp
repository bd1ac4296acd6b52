// Appending records of a mixed 10-column layout to the record storage.
#include <benchmark/benchmark.h>

#include <memory>

#include "AllocationCounter.h"
#include "Common/MemData.h"

namespace vix {
namespace {

struct Column {
  const char16_t* Name;
  TDataType Type;
  int Length;
};

// Ten columns of a typical result: numbers, a date, a flag and texts, inline
// (`heap` false) or in the string heap and a blob (`heap` true).
class BenchData : public TMemData {
 public:
  explicit BenchData(bool heap) : FHeap(heap) { InitFields(); }

 protected:
  void InternalInitFields() override {
    const Column columns[] = {
        {u"ID", mtInt32, 0},
        {u"SiteID", mtInt64, 0},
        {u"Amount", mtFloat, 0},
        {u"Created", mtDateTime, 0},
        {u"Active", mtBoolean, 0},
        {u"Code", mtString, 20},
        {u"UserName", FHeap ? mtExtWideString : mtWideString, 30},
        {u"Price", mtBCD, 0},
        {u"Flags", mtUInt16, 0},
        {u"Note", FHeap ? mtWideMemo : mtInt16, 0},
    };
    for (const Column& c : columns) {
      auto d = std::make_unique<TFieldDesc>();
      d->FName = c.Name;
      d->FDataType = c.Type;
      d->FLength = static_cast<uint16_t>(c.Length);
      d->FSize = DataTypeSize(c.Type, c.Length);
      FFields.Add(std::move(d));
    }
  }

 private:
  bool FHeap;
};

constexpr int kRecordsPerBatch = 10000;

// Fills the record buffer of row `i`: the values vary per row the way
// decoded rows do.
void FillRow(BenchData& data, uint8_t* rec, int i, bool heap) {
  data.PutFieldAsVariant(1, rec, Variant(i));
  data.PutFieldAsVariant(2, rec, Variant(int64_t{1000} + i));
  data.PutFieldAsVariant(3, rec, Variant(i * 0.25));
  data.PutFieldAsVariant(4, rec, Variant::FromDate(45000.5 + i));
  data.PutFieldAsVariant(5, rec, Variant(i % 2 == 0));
  data.PutField(6, rec, "ABC-123", 7);
  data.PutField(7, rec, u"user name", 18);
  data.PutFieldAsVariant(8, rec, Variant(Currency::FromRaw(12345)));
  data.PutFieldAsVariant(9, rec, Variant(uint16_t{7}));
  if (heap) data.PutField(10, rec, u"a short note", 24);
  else data.PutFieldAsVariant(10, rec, Variant(int16_t{3}));
}

void AppendRecords(benchmark::State& state) {
  const bool heap = state.range(0) != 0;
  BenchData data(heap);
  auto rec = data.AllocRecBuf();
  uint64_t allocations = 0;
  int64_t records = 0;
  for (auto _ : state) {
    // Each row is put into the buffer as a fetch would decode it, then appended.
    const uint64_t before = bench::AllocationCount();
    for (int i = 0; i < kRecordsPerBatch; ++i) {
      if (heap) {
        data.FreeComplexFields(rec.data());
        data.CreateComplexFields(rec.data());
      }
      FillRow(data, rec.data(), i, heap);
      data.AppendRecord(rec.data());
    }
    allocations += bench::AllocationCount() - before;
    records += kRecordsPerBatch;
    state.PauseTiming();
    data.ClearItems();
    state.ResumeTiming();
  }
  data.FreeComplexFields(rec.data());
  state.SetItemsProcessed(records);
  const double itemBytes = static_cast<double>(sizeof(TItemHeader)) + data.RecordSize();
  state.counters["bytes/record"] =
      itemBytes + static_cast<double>(sizeof(TBlockHeader)) / TBlockManager::kDefaultItemCount;
  state.counters["record size"] = data.RecordSize();
  state.counters["allocs/record"] = static_cast<double>(allocations) / static_cast<double>(records);
}
BENCHMARK(AppendRecords)->Arg(0)->Arg(1)->ArgName("heap_and_blob");

// The fetch path: rows decoded straight into the items of one block of 25.
void FetchBlocks(benchmark::State& state) {
  BenchData data(false);
  constexpr int kRows = 25;
  uint64_t allocations = 0;
  int64_t records = 0;
  for (auto _ : state) {
    const uint64_t before = bench::AllocationCount();
    for (int b = 0; b < kRecordsPerBatch / kRows; ++b) {
      TBlockHeader* block = data.BlockMan().AllocBlock(kRows);
      for (int i = 0; i < kRows; ++i) {
        uint8_t* rec = TBlockManager::GetRecordPtr(data.BlockMan().ItemOf(block, i));
        data.InitRecord(rec);
        FillRow(data, rec, b * kRows + i, false);
      }
      data.AddFetchedBlock(block, kRows);
    }
    allocations += bench::AllocationCount() - before;
    records += kRecordsPerBatch;
    state.PauseTiming();
    data.ClearItems();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(records);
  state.counters["bytes/record"] =
      static_cast<double>(sizeof(TItemHeader)) + data.RecordSize() + static_cast<double>(sizeof(TBlockHeader)) / kRows;
  state.counters["allocs/record"] = static_cast<double>(allocations) / static_cast<double>(records);
}
BENCHMARK(FetchBlocks);

}  // namespace
}  // namespace vix
