// A dataset over a storage filled as a provider fills it: descriptors from a
// list of columns, rows from variants (handed over in blocks of BlockRows, all
// at open when 0). Shared by the dataset tests.
#pragma once

#include <memory>
#include <vector>

#include "Common/MemDS.h"

namespace vix::test {

struct Column {
  const char16_t* Name;
  TDataType Type;
  int Length = 0;
  bool Fixed = false;
};

// Storage that a provider would fill: descriptors from a list, rows from
// variants, handed over in blocks of `BlockRows` (all at open when 0).
class RowData : public TMemData {
 public:
  RowData(std::vector<Column> columns, std::vector<std::vector<Variant>> rows)
      : FColumns(std::move(columns)), FRows(std::move(rows)) {}

  int BlockRows = 0;
  int Opens = 0;
  bool FailOpen = false;
  size_t Delivered = 0;

  // The next block; false when every row was delivered.
  bool FetchBlock() {
    if (Delivered == FRows.size()) return false;
    const size_t end = BlockRows ? std::min(FRows.size(), Delivered + static_cast<size_t>(BlockRows)) : FRows.size();
    std::vector<uint8_t> buf = AllocRecBuf();
    for (; Delivered < end; ++Delivered) {
      InitRecord(buf.data());
      for (size_t c = 0; c < FColumns.size(); ++c)
        PutFieldAsVariant(static_cast<int>(c) + 1, buf.data(), FRows[Delivered][c]);
      const TItemHeader* current = CurrentItem;
      AppendRecord(buf.data());
      CurrentItem = const_cast<TItemHeader*>(current);
      FreeComplexFields(buf.data());
    }
    return true;
  }

 protected:
  void InternalInitFields() override {
    for (const Column& c : FColumns) {
      auto d = std::make_unique<TFieldDesc>();
      d->FName = c.Name;
      d->FActualName = c.Name;
      d->FDataType = c.Type;
      d->FLength = static_cast<uint16_t>(c.Length);
      d->FSize = DataTypeSize(c.Type, c.Length);
      d->FFixed = c.Fixed;
      FFields.Add(std::move(d));
    }
  }
  void InternalOpen() override {
    ++Opens;
    if (FailOpen) throw EDatabaseError(u"server went away");
    InitFields();
    Delivered = 0;
    FetchBlock();
  }

 private:
  std::vector<Column> FColumns;
  std::vector<std::vector<Variant>> FRows;
};

class MemQuery : public TMemDataSet {
 public:
  MemQuery(std::vector<Column> columns, std::vector<std::vector<Variant>> rows)
      : Storage(std::move(columns), std::move(rows)) {
    SetData(&Storage);
    SetName(u"Query");
  }
  ~MemQuery() override { Close(); }
  RowData Storage;

 protected:
  bool FetchMore() override { return Storage.FetchBlock(); }
};

}  // namespace vix::test
