#include "Common/MemData.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "Common/MemFilter.h"
#include "rtl/CodePage.h"

namespace vix {

// --- data types ---------------------------------------------------------------

bool IsBlobDataType(TDataType t) {
  return t == mtBlob || t == mtMemo || t == mtWideMemo;
}

bool IsComplexDataType(TDataType t) {
  return IsBlobDataType(t) || t == mtVariant || t == mtExtString || t == mtExtVarBytes || t == mtExtWideString;
}

bool IsReferenceDataType(TDataType t) {
  return (t >= mtBlob && t <= mtExtString) || t == mtExtVarBytes || t == mtExtWideString || t == mtWideMemo ||
         t == mtCursor;
}

TFieldType GetFieldType(TDataType t) {
  static constexpr TFieldType map[] = {
      ftUnknown, ftString,  ftSmallint, ftSmallint, ftInteger,  ftFloat,    ftDate,     ftTime,       ftDateTime,
      ftWord,    ftBoolean, ftLargeint, ftCurrency, ftBlob,     ftMemo,     ftADT,      ftReference,  ftArray,
      ftDataSet, ftVariant, ftString,   ftBytes,    ftVarBytes, ftVarBytes, ftLargeint, ftWideString, ftWideString,
      ftBCD,     ftFMTBcd,  ftGuid,     ftWideMemo, ftUnknown,  ftCursor,   ftLargeint};
  if (t == mtSQLTimeStamp || t >= std::size(map)) throw Exception(u"Unknown data type");
  return map[t];
}

TDataType GetDataType(TFieldType f) {
  switch (f) {
    case ftString:
    case ftFixedChar: return mtString;
    case ftSmallint: return mtInt16;
    case ftInteger:
    case ftAutoInc: return mtInt32;
    case ftWord: return mtUInt16;
    case ftBoolean: return mtBoolean;
    case ftFloat:
    case ftExtended:
    case ftSingle: return mtFloat;
    case ftCurrency: return mtCurrency;
    case ftBCD: return mtBCD;
    case ftDate: return mtDate;
    case ftTime: return mtTime;
    case ftDateTime: return mtDateTime;
    case ftBytes: return mtBytes;
    case ftVarBytes: return mtVarBytes;
    case ftBlob: return mtBlob;
    case ftMemo: return mtMemo;
    case ftCursor: return mtCursor;
    case ftWideString:
    case ftFixedWideChar: return mtWideString;
    case ftLargeint: return mtInt64;
    case ftADT: return mtObject;
    case ftArray: return mtArray;
    case ftReference: return mtReference;
    case ftDataSet: return mtTable;
    case ftVariant: return mtVariant;
    case ftGuid: return mtGuid;
    case ftFMTBcd: return mtFMTBCD;
    case ftWideMemo: return mtWideMemo;
    case ftLongWord: return mtUInt32;
    case ftShortint: return mtInt8;
    case ftByte: return mtInt16;
    default: return mtUnknown;
  }
}

int DataTypeSize(TDataType t, int length) {
  if (IsReferenceDataType(t)) return kRefSize;
  switch (t) {
    case mtString:
    case mtGuid: return length + 1;
    case mtInt8: return 1;
    case mtInt16:
    case mtUInt16:
    case mtBoolean: return 2;
    case mtInt32:
    case mtUInt32: return 4;
    case mtFloat:
    case mtDate:
    case mtTime:
    case mtDateTime:
    case mtInt64:
    case mtUInt64:
    case mtCurrency:
    case mtBCD: return 8;
    case mtBytes: return length;
    case mtVarBytes: return length + 2;
    case mtWideString: return 2 * length + 2;
    case mtFMTBCD: return static_cast<int>(sizeof(TBcd));
    case mtSQLTimeStamp: return static_cast<int>(sizeof(TSQLTimeStamp));
    default: return 0;
  }
}

bool IsStringDataType(TDataType t) {
  return t == mtString || t == mtExtString || t == mtWideString || t == mtExtWideString;
}

bool IsTextDataType(TDataType t) {
  return IsStringDataType(t) || t == mtMemo || t == mtWideMemo || t == mtGuid;
}

bool IsBytesDataType(TDataType t) {
  return t == mtBytes || t == mtVarBytes || t == mtExtVarBytes;
}

bool IsHeapDataType(TDataType t) {
  return t == mtExtString || t == mtExtWideString || t == mtExtVarBytes;
}

size_t PutStringSlot(uint8_t* slot, size_t size, std::string_view text) {
  if (size == 0) return 0;
  const size_t n = std::min(text.size(), size - 1);
  if (n) std::memcpy(slot, text.data(), n);
  slot[n] = 0;
  return n + 1;
}

size_t PutBytesSlot(uint8_t* slot, size_t size, std::string_view bytes) {
  const size_t n = std::min(bytes.size(), size);
  if (n) std::memcpy(slot, bytes.data(), n);
  return n;
}

size_t PutVarBytesSlot(uint8_t* slot, size_t size, std::string_view bytes) {
  if (size < 2) return 0;
  const auto n = static_cast<uint16_t>(std::min({bytes.size(), size - 2, size_t{UINT16_MAX}}));
  StoreSlot<uint16_t>(slot, n);
  if (n) std::memcpy(slot + 2, bytes.data(), n);
  return 2u + n;
}

size_t PutWideSlot(uint8_t* slot, size_t size, std::u16string_view text) {
  if (size < 2) return 0;
  const size_t n = std::min(text.size(), size / 2 - 1);
  if (n) std::memcpy(slot, text.data(), 2 * n);
  StoreSlot<char16_t>(slot + 2 * n, 0);
  return 2 * n + 2;
}

size_t PutWideSlotUtf8(uint8_t* slot, size_t size, std::string_view utf8) {
  if (size < 2) return 0;
  const size_t n = Utf8ToUtf16Into(utf8, slot, size / 2 - 1, true);
  StoreSlot<char16_t>(slot + 2 * n, 0);
  return 2 * n + 2;
}

namespace {

// Sizes that a type fixes; 0 where the descriptor's FSize decides.
int FixedSize(TDataType t) {
  switch (t) {
    case mtString:
    case mtGuid:
    case mtBytes:
    case mtVarBytes:
    case mtWideString:
    case mtUnknown: return 0;
    default: return DataTypeSize(t, 0);
  }
}

template <typename T>
T Load(const uint8_t* p) {
  return LoadSlot<T>(p);
}

template <typename T>
void Store(uint8_t* p, const T& v) {
  StoreSlot<T>(p, v);
}

std::atomic<uint32_t> gRefreshIteration{0};
std::atomic<uint32_t> gItemSerial{0};

// `count` consecutive item serial numbers, none of them 0; returns the first.
uint32_t NewItemSerials(uint32_t count) {
  for (;;) {
    const uint32_t first = gItemSerial.fetch_add(count) + 1;
    if (first != 0 && first - 1 <= UINT32_MAX - count) return first;
  }
}

std::atomic<uint64_t> gFieldDescsGeneration{0};

}  // namespace

// --- descriptors ----------------------------------------------------------------

TFieldDesc& TFieldDescs::Add(std::unique_ptr<TFieldDesc> desc) {
  desc->FFieldNo = static_cast<uint16_t>(FItems.size() + 1);
  FItems.push_back(std::move(desc));
  NewGeneration();
  return *FItems.back();
}

void TFieldDescs::Clear() {
  FItems.clear();
  NewGeneration();
}

void TFieldDescs::NewGeneration() {
  FGeneration = ++gFieldDescsGeneration;
}

TFieldDesc* TFieldDescs::FindField(UStringView name) const {
  for (const auto& d : FItems)
    if (d->IsTopLevel() && SameText(d->FName, name)) return d.get();
  const bool qualified = name.find(u'.') != UStringView::npos || name.find(u'[') != UStringView::npos;
  for (const auto& d : FItems) {
    if (qualified ? SameText(d->FActualName, name) : (!d->IsTopLevel() && SameText(d->FName, name))) return d.get();
  }
  return nullptr;
}

TFieldDesc& TFieldDescs::FieldByName(UStringView name) const {
  TFieldDesc* d = FindField(name);
  if (!d) throw EDatabaseError(Format(u"Field %s not found", {name}));
  return *d;
}

// --- TData ------------------------------------------------------------------------

TData::TData() : FStringHeap(std::make_unique<TStringHeap>()) {}

TData::~TData() = default;

void TData::ClearFields() {
  FFields.Clear();
  FRecordSize = FCalcRecordSize = FDataSize = FCalcDataSize = 0;
  FHasComplexFields = false;
  FComplexFieldNos.clear();
}

void TData::InitFields() {
  ClearFields();
  try {
    InternalInitFields();
    MakeNamesUnique();
    CalcRecordLayout();
  } catch (...) {
    ClearFields();  // no descriptors without a layout
    throw;
  }
}

void TData::Open() {
  InternalReset();
  try {
    InternalOpen();
  } catch (...) {
    InternalClose();
    InternalReset();
    throw;
  }
  FActive = true;
}

void TData::Close() {
  InternalClose();
  FActive = false;
  InternalReset();
  if (FAutoInitFields && !FPrepared) ClearFields();
}

void TData::Prepare() {
  InternalPrepare();
  FPrepared = true;
}

void TData::UnPrepare() {
  InternalUnPrepare();
  FPrepared = false;
  if (FAutoInitFields) ClearFields();
}

void TData::MakeNamesUnique() {
  std::vector<TFieldDesc*> sorted;
  for (int i = 0; i < FFields.Count(); ++i)
    if (FFields[i].IsTopLevel()) sorted.push_back(&FFields[i]);
  std::stable_sort(sorted.begin(), sorted.end(), [](const TFieldDesc* a, const TFieldDesc* b) {
    const int c = CompareText(a->FName, b->FName);
    return c != 0 ? c < 0 : a->FFieldNo < b->FFieldNo;
  });
  // Upper-case names given so far, and per upper-case base name the suffix
  // to try next: the names taken only grow, so every suffix below the last
  // one given stays taken, and the search goes on from there.
  std::unordered_set<UString> taken;
  std::unordered_map<UString, int> nextSuffix;
  taken.reserve(sorted.size() * 2);
  for (TFieldDesc* d : sorted) {
    UString name = d->FName;
    UString upper = UpperCase(name);
    if (name.empty() || taken.count(upper)) {
      const UString base = d->FName;
      int& next = nextSuffix.try_emplace(std::move(upper), base.empty() ? 0 : 1).first->second;
      for (;; ++next) {
        name = base + u"_" + IntToStr(next);
        upper = UpperCase(name);
        if (!taken.count(upper)) break;
      }
      ++next;
    }
    taken.insert(std::move(upper));
    d->FName = std::move(name);
  }
}

void TData::CalcRecordLayout() {
  // Counted in 64 bits and checked against the limit before anything is
  // stored: the sizes come from column definitions a server chose.
  if (FFields.Count() > kMaxRecordFields)
    throw EDatabaseError(
        Format(u"The record has %d fields; a record holds at most %d", {FFields.Count(), kMaxRecordFields}));
  const auto refuse = [] {
    throw EDatabaseError(
        Format(u"The record layout exceeds the limit of %d bytes per record", {static_cast<int>(kMaxRecordSize)}));
  };
  const auto place = [&](TFieldDesc& d, int64_t base, int64_t& size) {
    if (const int fixed = FixedSize(d.FDataType)) d.FSize = fixed;  // reference slots are pointer-sized
    if (d.FSize <= 0) d.FSize = DataTypeSize(d.FDataType, d.FLength);
    if (d.FDataType == mtWideString && d.FSize < 2) d.FSize = 2;
    if ((d.FDataType == mtString || d.FDataType == mtGuid) && d.FSize < 1) d.FSize = 1;
    if (d.FDataType == mtVarBytes && d.FSize < 2) d.FSize = 2;
    int64_t offset = size;
    if (d.FDataType == mtWideString && (base + offset) % 2 != 0) ++offset;
    if (d.FSize < 0 || d.FSize > kMaxRecordSize || base + offset + d.FSize > kMaxRecordSize) refuse();
    d.FOffset = static_cast<int>(base + offset);
    size = offset + d.FSize;
  };
  int64_t dataSize = 0;
  FComplexFieldNos.clear();
  for (int i = 0; i < FFields.Count(); ++i) {
    TFieldDesc& d = FFields[i];
    if (!d.HasDataSlot()) continue;
    place(d, 0, dataSize);
    if (IsComplexDataType(d.FDataType)) FComplexFieldNos.push_back(d.FFieldNo);
  }
  FHasComplexFields = !FComplexFieldNos.empty();
  int64_t recordSize = dataSize + FFields.Count();
  if (recordSize % 2 == 0) ++recordSize;
  if (recordSize > kMaxRecordSize) refuse();
  int64_t calcDataSize = 0;
  for (int i = 0; i < FFields.Count(); ++i) {
    TFieldDesc& d = FFields[i];
    if (d.IsTopLevel() && d.FFieldDescKind == fdkCalculated) place(d, recordSize, calcDataSize);
  }
  int64_t calcRecordSize = calcDataSize;
  if (calcRecordSize != 0 && calcRecordSize % 2 == 0) ++calcRecordSize;
  if (recordSize + calcRecordSize > kMaxRecordSize) refuse();
  FDataSize = static_cast<int>(dataSize);
  FRecordSize = static_cast<int>(recordSize);
  FCalcDataSize = static_cast<int>(calcDataSize);
  FCalcRecordSize = static_cast<int>(calcRecordSize);
}

const TFieldDesc& TData::Field(int fieldNo) const {
  if (fieldNo < 1 || fieldNo > FFields.Count()) throw Exception(u"Field number out of range");
  return FFields[fieldNo - 1];
}

std::vector<uint8_t> TData::AllocRecBuf() const {
  std::vector<uint8_t> buf(static_cast<size_t>(FRecordSize + FCalcRecordSize));
  InitRecord(buf.data());
  return buf;
}

void TData::InitRecord(uint8_t* recBuf) const {
  std::memset(recBuf, 0, static_cast<size_t>(FRecordSize + FCalcRecordSize));
  std::memset(recBuf + FDataSize, 1, static_cast<size_t>(FFields.Count()));
}

bool TData::GetNull(int fieldNo, const uint8_t* recBuf) const {
  Field(fieldNo);
  return recBuf[FDataSize + fieldNo - 1] == 1;
}

void TData::SetNull(int fieldNo, uint8_t* recBuf, bool value) {
  const TFieldDesc& f = Field(fieldNo);
  recBuf[FDataSize + fieldNo - 1] = value ? 1 : 0;
  if (value && IsBlobDataType(f.FDataType)) {
    if (TBlob* blob = GetBlob(fieldNo, recBuf)) blob->Clear();
  }
}

TBlob* TData::GetBlob(int fieldNo, const uint8_t* recBuf) const {
  const TFieldDesc& f = Field(fieldNo);
  if (!IsBlobDataType(f.FDataType)) throw Exception(u"Not a blob field");
  return Load<TBlob*>(recBuf + f.FOffset);
}

void TData::SetBlob(int fieldNo, uint8_t* recBuf, TBlob* blob) {
  TBlob* old = GetBlob(fieldNo, recBuf);
  if (blob) blob->AddRef();
  Store<TBlob*>(recBuf + Field(fieldNo).FOffset, blob);
  if (old) old->Release();
}

TBlob* TData::NewBlob(const TFieldDesc& field) const {
  const bool unicode = field.FDataType == mtWideMemo;
  return FCompressBlobs ? new TCompressedBlob(unicode) : new TBlob(unicode);
}

// --- complex values -------------------------------------------------------------------

void TData::ReleaseSlot(const TFieldDesc& field, uint8_t* slot, bool heapCleared) {
  void* p = Load<void*>(slot);
  if (!p) return;
  Store<void*>(slot, nullptr);
  if (IsBlobDataType(field.FDataType)) static_cast<TBlob*>(p)->Release();
  else if (field.FDataType == mtVariant) static_cast<TVariantObject*>(p)->Release();
  else if (IsHeapDataType(field.FDataType) && !heapCleared) FStringHeap->DisposeBuf(p);
}

void TData::CreateComplexFields(uint8_t* recBuf, bool withBlob) {
  for (int no : FComplexFieldNos) {
    const TFieldDesc& f = FFields[no - 1];
    Store<void*>(recBuf + f.FOffset, nullptr);
    if (withBlob && IsBlobDataType(f.FDataType)) Store<TBlob*>(recBuf + f.FOffset, NewBlob(f));
  }
}

void TData::FreeComplexFields(uint8_t* recBuf, bool withBlob, bool heapCleared) {
  for (int no : FComplexFieldNos) {
    const TFieldDesc& f = FFields[no - 1];
    if (!withBlob && IsBlobDataType(f.FDataType)) continue;
    ReleaseSlot(f, recBuf + f.FOffset, heapCleared);
  }
}

void TData::AddRefComplexFields(const uint8_t* recBuf) {
  size_t done = 0;
  try {
    for (; done < FComplexFieldNos.size(); ++done) {
      const TFieldDesc& f = FFields[FComplexFieldNos[done] - 1];
      void* p = Load<void*>(recBuf + f.FOffset);
      if (!p) continue;
      if (IsBlobDataType(f.FDataType)) static_cast<TBlob*>(p)->AddRef();
      else if (f.FDataType == mtVariant) static_cast<TVariantObject*>(p)->AddRef();
      else FStringHeap->AddRef(p);
    }
  } catch (...) {
    // All or nothing: the owners taken before the failure are given back.
    while (done > 0) {
      const TFieldDesc& f = FFields[FComplexFieldNos[--done] - 1];
      void* p = Load<void*>(recBuf + f.FOffset);
      if (!p) continue;
      if (IsBlobDataType(f.FDataType)) static_cast<TBlob*>(p)->Release();
      else if (f.FDataType == mtVariant) static_cast<TVariantObject*>(p)->Release();
      else FStringHeap->DisposeBuf(p);
    }
    throw;
  }
}

// --- TMemData ----------------------------------------------------------------------------

TMemData::TMemData() {
  FRefreshIteration = ++gRefreshIteration;
}

TMemData::~TMemData() {
  ClearItems();
}

void TMemData::InitFields() {
  ClearItems();
  TData::InitFields();
  FBlockMan.RecordSize = FRecordSize;
  ParseIndexAndFilter();
}

void TMemData::ClearFields() {
  ClearItems();
  FIndexFields.clear();
  FFilterExpression.reset();
  TData::ClearFields();
  FBlockMan.RecordSize = 0;
}

int32_t TMemData::Renumber(TItemHeader* from) {
  FRecordNoCacheValid = false;
  FItemOrderValid = false;
  // Hidden records are numbered 0 and skipped.
  int32_t order = 0;
  for (TItemHeader* p = from ? from->Prev : nullptr; p; p = p->Prev)
    if (p->Order != 0) {
      order = p->Order;
      break;
    }
  for (TItemHeader* i = from; i; i = i->Next) i->Order = IsVisible(i) ? ++order : 0;
  return order;
}

void TMemData::RenumberAll() {
  FRecordCount = Renumber(FirstItem);
}

void TMemData::AddRecord(const uint8_t* recBuf, bool atEnd) {
  TItemHeader* item = FBlockMan.AllocItem();
  FBlockMan.PutRecord(recBuf, item);
  try {
    AddRefComplexFields(recBuf);
  } catch (...) {
    std::memset(TBlockManager::GetRecordPtr(item), 0, static_cast<size_t>(FRecordSize));
    FBlockMan.FreeItem(item);
    throw;
  }
  item->Status = isUnmodified;
  item->Serial = NewItemSerials(1);
  TItemHeader* before = nullptr;  // the item that will follow the new one
  if (!atEnd) before = CurrentItem ? CurrentItem : (FBOF ? FirstItem : nullptr);
  if (before) {
    item->Next = before;
    item->Prev = before->Prev;
    if (before->Prev) before->Prev->Next = item;
    else FirstItem = item;
    before->Prev = item;
  } else {
    item->Prev = LastItem;
    item->Next = nullptr;
    if (LastItem) LastItem->Next = item;
    else FirstItem = item;
    LastItem = item;
  }
  CurrentItem = item;
  FBOF = FEOF = false;
  // Records added while the storage opens are sorted all at once afterwards.
  if (FActive && !FIndexFields.empty()) {
    MoveToSortedPlace(item);
    Renumber(FirstItem);
  } else {
    Renumber(item);
  }
  if (item->Order != 0) ++FRecordCount;
}

void TMemData::AppendRecord(const uint8_t* recBuf) {
  AddRecord(recBuf, true);
}

void TMemData::InsertRecord(const uint8_t* recBuf) {
  AddRecord(recBuf, false);
}

void TMemData::UpdateRecord(const uint8_t* recBuf) {
  if (!CurrentItem) throw Exception(u"No current record");
  AddRefComplexFields(recBuf);
  FreeComplexFields(TBlockManager::GetRecordPtr(CurrentItem));
  FBlockMan.PutRecord(recBuf, CurrentItem);
}

void TMemData::ReleaseRollback(TItemHeader* item) {
  TItemHeader* rollback = item->Rollback;
  if (!rollback) return;
  item->Rollback = nullptr;
  FreeComplexFields(TBlockManager::GetRecordPtr(rollback));
  FBlockMan.FreeItem(rollback);
}

void TMemData::SaveRollback() {
  if (!CurrentItem) throw Exception(u"No current record");
  if (CurrentItem->Rollback) return;
  TItemHeader* rollback = FBlockMan.AllocItem();
  FBlockMan.CopyRecord(CurrentItem, rollback);
  try {
    AddRefComplexFields(TBlockManager::GetRecordPtr(rollback));
  } catch (...) {
    FBlockMan.FreeItem(rollback);
    throw;
  }
  CurrentItem->Rollback = rollback;
}

void TMemData::ReleaseItemValues(TItemHeader* item, bool heapCleared) {
  if (TItemHeader* rollback = item->Rollback) {
    item->Rollback = nullptr;
    FreeComplexFields(TBlockManager::GetRecordPtr(rollback), true, heapCleared);
    if (!heapCleared) FBlockMan.FreeItem(rollback);
  }
  FreeComplexFields(TBlockManager::GetRecordPtr(item), true, heapCleared);
}

void TMemData::DeleteRecord() {
  TItemHeader* item = CurrentItem;
  if (!item) throw Exception(u"No current record");
  ReleaseItemValues(item, false);
  TItemHeader* next = item->Next;
  const bool shown = item->Order != 0;
  if (item->Prev) item->Prev->Next = item->Next;
  else FirstItem = item->Next;
  if (item->Next) item->Next->Prev = item->Prev;
  else LastItem = item->Prev;
  CurrentItem = next ? next : item->Prev;
  FBlockMan.FreeItem(item);
  if (shown) --FRecordCount;
  Renumber(next);
  FRecordNoCacheValid = false;
  if (!CurrentItem) FBOF = FEOF = true;
}

void TMemData::GetRecord(uint8_t* recBuf) const {
  if (!CurrentItem) throw Exception(u"No current record");
  FBlockMan.GetRecord(CurrentItem, recBuf);
}

void TMemData::SetToBegin() {
  CurrentItem = nullptr;
  FBOF = true;
  if (FirstItem) FEOF = false;
}

void TMemData::SetToEnd() {
  CurrentItem = nullptr;
  FEOF = true;
  if (LastItem) FBOF = false;
}

bool TMemData::GetNextRecord(uint8_t* recBuf) {
  TItemHeader* next = CurrentItem ? CurrentItem->Next : (FBOF ? FirstItem : nullptr);
  while (next && !IsVisible(next)) next = next->Next;
  if (!next) {
    CurrentItem = nullptr;
    FEOF = true;
    return false;
  }
  CurrentItem = next;
  FBOF = FEOF = false;
  if (recBuf) GetRecord(recBuf);
  return true;
}

bool TMemData::GetPriorRecord(uint8_t* recBuf) {
  TItemHeader* prior = CurrentItem ? CurrentItem->Prev : (FEOF ? LastItem : nullptr);
  while (prior && !IsVisible(prior)) prior = prior->Prev;
  if (!prior) {
    CurrentItem = nullptr;
    FBOF = true;
    return false;
  }
  CurrentItem = prior;
  FBOF = FEOF = false;
  if (recBuf) GetRecord(recBuf);
  return true;
}

int TMemData::RecordNo() const {
  return CurrentItem ? CurrentItem->Order + FRecordNoOffset : 0;
}

void TMemData::SetRecordNo(int recordNo) {
  const int32_t order = recordNo - FRecordNoOffset;
  // Walk from whichever known item is nearest.
  TItemHeader* item = FirstItem;
  if (LastItem && std::abs(LastItem->Order - order) < std::abs(order - 1)) item = LastItem;
  if (CurrentItem && std::abs(CurrentItem->Order - order) < std::abs(item ? item->Order - order : INT32_MAX))
    item = CurrentItem;
  while (item && item->Order < order) item = item->Next;
  while (item && item->Order > order) item = item->Prev;
  while (item && !IsVisible(item)) item = item->Prev;
  if (item && item->Order == order) {
    CurrentItem = item;
    FBOF = FEOF = false;
  }
}

bool TMemData::AddFetchedBlock(TBlockHeader* block, int count, bool forward) {
  if (count <= 0) {
    FBlockMan.FreeBlock(block);
    return true;
  }
  TItemHeader* first = FBlockMan.ItemOf(block, 0);
  TItemHeader* last = FBlockMan.ItemOf(block, count - 1);
  const uint32_t serial = NewItemSerials(static_cast<uint32_t>(count));
  for (int i = 0; i < count; ++i) {
    TItemHeader* item = FBlockMan.ItemOf(block, i);
    item->Serial = serial + static_cast<uint32_t>(i);
    item->Block = block;
    item->Flag = kItemInUse;
    item->Rollback = nullptr;
    item->Status = isUnmodified;
    item->UpdateResult = urNone;
    item->FilterResult = fsNotChecked;
    item->Prev = i > 0 ? FBlockMan.ItemOf(block, i - 1) : nullptr;
    item->Next = i + 1 < count ? FBlockMan.ItemOf(block, i + 1) : nullptr;
  }
  if (forward) {
    int32_t order = LastItem ? LastItem->Order : 0;
    for (TItemHeader* i = first; i; i = i->Next) i->Order = ++order;
    first->Prev = LastItem;
    if (LastItem) LastItem->Next = first;
    else FirstItem = first;
    LastItem = last;
  } else {
    int32_t order = FirstItem ? FirstItem->Order : count + 1;
    for (TItemHeader* i = last; i; i = i->Prev) i->Order = --order;
    last->Next = FirstItem;
    if (FirstItem) FirstItem->Prev = last;
    else LastItem = last;
    FirstItem = first;
  }
  FirstItem->Prev = nullptr;
  LastItem->Next = nullptr;
  FFetchedCount += count;
  FRecordNoCacheValid = false;
  FItemOrderValid = false;
  if (HasFilter()) {
    // The new records are numbered through the filter.
    Renumber(forward ? first : FirstItem);
    for (TItemHeader* i = first; i != last->Next; i = i->Next)
      if (i->Order != 0) ++FRecordCount;
  } else {
    FRecordCount += count;
  }
  const bool exhausted = block->ItemCount > count;
  for (int i = count; i < block->ItemCount; ++i) {
    TItemHeader* item = FBlockMan.ItemOf(block, i);
    FreeComplexFields(TBlockManager::GetRecordPtr(item));
    std::memset(TBlockManager::GetRecordPtr(item), 0, static_cast<size_t>(FRecordSize));
    FBlockMan.AddToFreeList(item);
  }
  block->UsedItems = static_cast<uint16_t>(count);
  return exhausted;
}

void TMemData::DiscardFetchBlock(TBlockHeader* block, int count) {
  for (int i = 0; i < count && i < block->ItemCount; ++i)
    FreeComplexFields(TBlockManager::GetRecordPtr(FBlockMan.ItemOf(block, i)));
  FBlockMan.FreeBlock(block);
}

void TMemData::ClearItems() {
  if (FHasComplexFields) {
    // With buffers from system memory every heap value is given back one by
    // one; otherwise the heap goes at once and only blobs and variants are
    // released.
    const bool heapCleared = !FStringHeap->SysGetMem();
    if (heapCleared) FStringHeap->Clear();
    for (TItemHeader* i = FirstItem; i; i = i->Next) ReleaseItemValues(i, heapCleared);
  }
  FStringHeap->Clear();
  FBlockMan.FreeAllBlock();
  FirstItem = LastItem = CurrentItem = nullptr;
  FCache.clear();
  FBOF = FEOF = true;
  FRecordCount = 0;
  FFetchedCount = 0;
  FRecordNoOffset = 0;
  FRecordNoCache.clear();
  FRecordNoCacheValid = false;
  FItemOrder.clear();
  FItemOrderValid = false;
  FRefreshIteration = ++gRefreshIteration;
}

}  // namespace vix
