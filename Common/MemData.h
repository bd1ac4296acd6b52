// In-memory record storage: field descriptors and the record layout (TData),
// the record list in blocks of items (TMemData, TBlockManager), the string
// heap for variable-length texts, and blobs.
//
// A record buffer is FRecordSize bytes: the data area (each top-level field
// at its FOffset), one null-flag byte per field (1 = null), and a pad byte
// that makes the size odd, since the item header in front of every stored
// record is odd-sized too. Offsets are not aligned: every slot is read and
// written with memcpy. Reference slots (blobs, memos, heap strings, variants,
// objects) hold a pointer and are kRefSize bytes wide.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Common/DBTypes.h"
#include "Common/MemDataSort.h"
#include "rtl/SharedObject.h"
#include "rtl/SysUtils.h"
#include "rtl/Variant.h"

namespace vix {

// The largest record (data, null flags and calculated fields) a layout may
// give, and the most fields a record holds (field numbers are 16-bit).
constexpr int64_t kMaxRecordSize = int64_t{64} << 20;
constexpr int kMaxRecordFields = 65535;

// --- internal data type codes ------------------------------------------------

using TDataType = uint16_t;

constexpr TDataType mtUnknown = 0;
constexpr TDataType mtString = 1;  // inline ANSI text, zero-terminated; FSize = FLength + 1
constexpr TDataType mtInt8 = 2;
constexpr TDataType mtInt16 = 3;
constexpr TDataType mtInt32 = 4;
constexpr TDataType mtFloat = 5;  // double
constexpr TDataType mtDate = 6;   // TDateTime
constexpr TDataType mtTime = 7;
constexpr TDataType mtDateTime = 8;
constexpr TDataType mtUInt16 = 9;
constexpr TDataType mtBoolean = 10;  // 16-bit, non-zero = true
constexpr TDataType mtInt64 = 11;
constexpr TDataType mtCurrency = 12;  // double
constexpr TDataType mtBlob = 13;      // TBlob reference (bytes)
constexpr TDataType mtMemo = 14;      // TBlob reference (ANSI text)
constexpr TDataType mtObject = 15;
constexpr TDataType mtReference = 16;
constexpr TDataType mtArray = 17;
constexpr TDataType mtTable = 18;
constexpr TDataType mtVariant = 19;      // TVariantObject reference
constexpr TDataType mtExtString = 20;    // heap reference to zero-terminated ANSI text, null = ""
constexpr TDataType mtBytes = 21;        // FLength bytes inline
constexpr TDataType mtVarBytes = 22;     // 16-bit length + up to FLength bytes; FSize = FLength + 2
constexpr TDataType mtExtVarBytes = 23;  // heap reference to a 16-bit length + bytes
constexpr TDataType mtUInt32 = 24;
constexpr TDataType mtWideString = 25;     // inline UTF-16, zero-terminated; FSize = 2 * FLength + 2, even offset
constexpr TDataType mtExtWideString = 26;  // heap reference to zero-terminated UTF-16
constexpr TDataType mtBCD = 27;            // Currency (int64 x 10^4)
constexpr TDataType mtFMTBCD = 28;         // TBcd, 34 bytes
constexpr TDataType mtGuid = 29;           // inline zero-terminated ANSI text
constexpr TDataType mtWideMemo = 30;       // TBlob reference (UTF-16 text)
constexpr TDataType mtSQLTimeStamp = 31;   // TSQLTimeStamp, 16 bytes
constexpr TDataType mtCursor = 32;
constexpr TDataType mtUInt64 = 33;  // unsigned 64-bit; a field of ftLargeint that reads it unsigned

// Width of every reference slot: one pointer.
constexpr int kRefSize = static_cast<int>(sizeof(void*));

bool IsBlobDataType(TDataType dataType);     // mtBlob, mtMemo, mtWideMemo
bool IsComplexDataType(TDataType dataType);  // blobs, mtVariant, mtExtString, mtExtVarBytes, mtExtWideString
// Types whose slot holds a pointer.
bool IsReferenceDataType(TDataType dataType);
// Texts held in the record or on the string heap: mtString, mtExtString,
// mtWideString, mtExtWideString.
bool IsStringDataType(TDataType dataType);
// Every kind of text: the string types, the memos and mtGuid.
bool IsTextDataType(TDataType dataType);
// Byte strings: mtBytes, mtVarBytes, mtExtVarBytes.
bool IsBytesDataType(TDataType dataType);
// Slots of the string heap: mtExtString, mtExtWideString, mtExtVarBytes.
bool IsHeapDataType(TDataType dataType);

// Internal code to field type; a code without one raises "Unknown data type".
TFieldType GetFieldType(TDataType dataType);
// Field type to internal code (parameters); ftUnknown and types without a
// storage give mtUnknown.
TDataType GetDataType(TFieldType fieldType);

// Slot size of a value of the type with `length` characters or bytes.
int DataTypeSize(TDataType dataType, int length);

// --- slot writers ------------------------------------------------------------------
// One value into a slot of `size` bytes, as TData and the providers' row
// decoders write it: never past the slot, texts always terminated. Each
// returns the bytes it wrote (the terminator and length word included); the
// rest of the slot is left as it was.

template <typename T>
T LoadSlot(const uint8_t* slot) {
  T v;
  std::memcpy(&v, slot, sizeof v);
  return v;
}
template <typename T>
void StoreSlot(uint8_t* slot, const T& v) {
  std::memcpy(slot, &v, sizeof v);
}
// mtString, mtGuid: at most size - 1 bytes and a zero (size >= 1).
size_t PutStringSlot(uint8_t* slot, size_t size, std::string_view text);
// mtBytes: at most size bytes.
size_t PutBytesSlot(uint8_t* slot, size_t size, std::string_view bytes);
// mtVarBytes: a 16-bit length and at most size - 2 bytes (size >= 2).
size_t PutVarBytesSlot(uint8_t* slot, size_t size, std::string_view bytes);
// mtWideString: at most size / 2 - 1 units and a zero unit (size >= 2).
size_t PutWideSlot(uint8_t* slot, size_t size, std::u16string_view text);
// mtWideString from UTF-8, decoded straight into the slot (malformed input
// raises), cut where the slot ends but never inside a character.
size_t PutWideSlotUtf8(uint8_t* slot, size_t size, std::string_view utf8);

// --- shared objects held by records --------------------------------------------

// The holder of an mtVariant value.
class TVariantObject : public TSharedObject {
 public:
  TVariantObject() = default;
  explicit TVariantObject(Variant value) : Value(std::move(value)) {}
  Variant Value;

 protected:
  ~TVariantObject() override = default;
};

class TBlob;
class TFilterExpression;

#pragma pack(push, 1)
struct TPieceHeader {
  TBlob* Blob;
  uint32_t Size;  // capacity
  uint32_t Used;
  TPieceHeader* Prev;
  TPieceHeader* Next;
  uint16_t Test;
};
#pragma pack(pop)

// A list of pieces: header followed by its bytes.
struct TZelBlobData {
  static constexpr uint32_t kDefaultPieceSize = 65514;
  TPieceHeader* FFirstPiece = nullptr;
  uint32_t FPieceSize = kDefaultPieceSize;

  size_t Size() const;
  void Clear();
  // Reads up to `count` bytes at `position`; returns the count read.
  size_t Read(size_t position, size_t count, void* dest) const;
  // Writes at `position` (which must not be beyond Size), extending the data.
  void Write(size_t position, const void* source, size_t count, TBlob* owner);
  void Truncate(size_t size);
  std::string ReadAll() const;
  // Copies the bytes of `other` into new pieces.
  void Assign(const TZelBlobData& other, TBlob* owner);
};

// A large value in pieces; shared by the records and buffers that reference it.
class TBlob : public TSharedObject {
 public:
  explicit TBlob(bool isUnicode = false);

  bool IsUnicode() const { return FIsUnicode; }
  // Raises "Cannot change IsUnicode if Size > 0" for a blob with data.
  void SetIsUnicode(bool value);
  uint32_t PieceSize() const { return FData.FPieceSize; }
  void SetPieceSize(uint32_t size);

  virtual size_t Size();
  bool IsEmpty() { return Size() == 0; }
  virtual size_t Read(size_t position, size_t count, void* dest);
  virtual void Write(size_t position, const void* source, size_t count);
  virtual void Truncate(size_t size);
  void Clear() { Truncate(0); }

  std::string AsBytes();
  void SetAsBytes(std::string_view bytes);
  // Text: UTF-16 for a Unicode blob, else the ANSI bytes converted.
  UString AsString();
  void SetAsString(UStringView text);
  std::string AsAnsiString();
  void SetAsAnsiString(std::string_view text);

  int PieceCount() const;

  // Cached updates: the first write after EnableRollback keeps the old data;
  // Commit drops it, Cancel restores it.
  void EnableRollback() { FNeedRollback = true; }
  bool HasRollback() const { return FRollback != nullptr; }
  void Commit();
  virtual void Cancel();

  uint8_t Test = 0;

 protected:
  ~TBlob() override;
  // Keeps the data before the first change after EnableRollback; true when
  // it did so now.
  virtual bool SaveRollback();

  TZelBlobData FData;
  bool FIsUnicode;
  bool FNeedRollback = false;
  std::unique_ptr<TZelBlobData> FRollback;
};

// A blob that can hold its bytes zlib-compressed. Reads and writes see the
// uncompressed data; the stored form is a 4-byte signature "VXZ1", the
// uncompressed size (32-bit little-endian) and the zlib stream.
class TCompressedBlob : public TBlob {
 public:
  using TBlob::TBlob;
  static constexpr size_t kHeaderSize = 8;

  bool IsCompressed() const { return FCompressed; }
  // Compresses (kept only when smaller) or expands the stored bytes. A stored
  // form that does not expand to its recorded size raises Exception
  // "Invalid compressed blob data".
  void SetCompressed(bool value);
  size_t StoredSize() const { return FData.Size(); }
  std::string StoredBytes() const { return FData.ReadAll(); }
  // Takes a stored form as it is (compressed when it carries the signature).
  void SetStoredBytes(std::string_view bytes);

  size_t Size() override;
  size_t Read(size_t position, size_t count, void* dest) override;
  void Write(size_t position, const void* source, size_t count) override;
  void Truncate(size_t size) override;
  void Cancel() override;

 protected:
  ~TCompressedBlob() override = default;
  bool SaveRollback() override;

 private:
  bool FCompressed = false;
  bool FRollbackCompressed = false;
};

// --- string heap --------------------------------------------------------------

// Short buffers are carved from 16380-byte blocks in 8-byte size classes and
// recycled through per-class free lists; longer ones come from system memory.
// Every buffer carries a 32-bit size word and a 16-bit use word in front of
// its data: 101 = in use by one owner, +1 per further owner, 100 = free.
class TStringHeap {
 public:
  static constexpr int kSizeClasses = 250;
  static constexpr size_t kMaxSmallSize = 2000;
  static constexpr size_t kBlockSize = 16380;
  static constexpr size_t kWords = 6;  // size word + use word

  TStringHeap() = default;
  TStringHeap(const TStringHeap&) = delete;
  TStringHeap& operator=(const TStringHeap&) = delete;
  // Frees the blocks and every buffer from system memory still held.
  ~TStringHeap();

  // A buffer of at least `size` bytes (uninitialised). Raises on failure.
  char* NewBuf(size_t size);
  // Drops one owner; the last one frees the buffer. Raises "DisposeBuf failed"
  // for a buffer that is already free.
  void DisposeBuf(void* buf);
  // Adds one owner; raises "AddRefStr failed" for a free buffer.
  void AddRef(void* buf);
  int UseCount(const void* buf) const;  // owners, 0 when free

  // A copy of the text with its terminating zero; trailing blanks dropped
  // when `trim`.
  char* AllocStr(std::string_view text, bool trim = false);
  char16_t* AllocWideStr(UStringView text, bool trim = false);

  // Frees every block at once and empties the free lists. Buffers from system
  // memory stay (they are disposed of one by one).
  void Clear();

  bool Empty() const { return FEmpty; }
  bool SysGetMem() const { return FSysGetMem; }
  size_t SysBufCount() const { return FSysBufs.size(); }
  size_t BlockCount() const;
  void SetThreadSafety(bool value) { FThreadSafety = value; }
  bool ThreadSafety() const { return FThreadSafety; }

 private:
  char* NewBufLocked(size_t size);
  void DisposeBufLocked(void* buf);
  void PushFree(char* start, size_t cls);
  void StartBlock();

  char* FFreeLists[kSizeClasses + 1] = {};  // by size class; links kept in the data
  char* FBlocks = nullptr;                  // first block; each starts with a link
  char* FCurrent = nullptr;                 // next free byte of the current block
  size_t FFree = 0;                         // free bytes of the current block
  std::set<char*> FSysBufs;                 // raw allocations of the buffers from system memory
  bool FEmpty = true;
  bool FSysGetMem = false;
  bool FThreadSafety = false;
  std::mutex FLock;
};

// --- field descriptors --------------------------------------------------------

enum TFieldDescKind : uint8_t { fdkData = 0, fdkCached = 1, fdkCalculated = 2 };

class TFieldDesc {
 public:
  virtual ~TFieldDesc() = default;

  UString FName;
  UString FActualName;
  TDataType FDataType = mtUnknown;
  uint16_t FSubDataType = 0;
  uint16_t FLength = 0;
  uint16_t FScale = 0;
  uint16_t FFieldNo = 0;
  uint16_t FActualFieldNo = 0;
  int FSize = 0;
  int FOffset = 0;
  int FDataOffset = 0;
  bool FRequired = false;
  bool FReadOnly = false;
  bool FIsKey = false;
  bool FFixed = false;
  bool FHidden = false;
  TSharedRef<TSharedObject> FObjectType;
  TFieldDesc* FParentField = nullptr;
  bool FHiddenObject = false;
  void* FHandle = nullptr;
  bool FReserved = false;
  TFieldDescKind FFieldDescKind = fdkData;
  bool FIsAutoIncrement = false;

  bool IsTopLevel() const { return FParentField == nullptr; }
  bool HasDataSlot() const { return IsTopLevel() && FFieldDescKind != fdkCalculated; }
};

// The ordered descriptors; owns them.
class TFieldDescs {
 public:
  int Count() const { return static_cast<int>(FItems.size()); }
  TFieldDesc& operator[](int index) const { return *FItems[static_cast<size_t>(index)]; }
  // Takes the descriptor; sets FFieldNo to its 1-based position.
  TFieldDesc& Add(std::unique_ptr<TFieldDesc> desc);
  void Clear();
  // Changes whenever a descriptor is added or the list cleared, and is never
  // the same for two lists: what was worked out from the descriptors holds
  // while it stays.
  uint64_t Generation() const { return FGeneration; }

  // The first top-level descriptor named `name` (any case); else, for a name
  // with "." or "[", the first whose actual name matches, otherwise the first
  // nested descriptor of that name; else null.
  TFieldDesc* FindField(UStringView name) const;
  // FindField, raising EDatabaseError "Field <name> not found".
  TFieldDesc& FieldByName(UStringView name) const;

 private:
  void NewGeneration();

  std::vector<std::unique_ptr<TFieldDesc>> FItems;
  uint64_t FGeneration = 0;
};

// --- items and blocks ---------------------------------------------------------

enum TItemStatus : uint8_t { isUnmodified, isUpdated, isAppended, isDeleted };
enum TUpdateRecAction : uint8_t { urFail, urAbort, urSkip, urRetry, urApplied, urNone, urSuspended };
enum TItemFilterState : uint8_t { fsNotChecked, fsNotOmitted, fsOmitted };

constexpr uint8_t kItemInUse = 0xEE;
constexpr uint8_t kItemFree = 0xDD;

struct TBlockHeader;

#pragma pack(push, 1)
struct TItemHeader {
  TBlockHeader* Block;
  TItemHeader* Prev;
  TItemHeader* Next;
  TItemHeader* Rollback;
  uint8_t Status;
  uint8_t UpdateResult;
  int32_t Order;
  uint8_t Flag;
  uint8_t FilterResult;
  uint8_t AlignByte;
  // The record's identity in its storage (never 0): a bookmark finds the
  // item again by it, never by a pointer that may point into freed memory.
  uint32_t Serial;
};

struct TBlockHeader {
  uint16_t ItemCount;
  uint16_t UsedItems;
  TBlockHeader* Prev;
  TBlockHeader* Next;
  uint8_t Test;
};
#pragma pack(pop)

static_assert(sizeof(TItemHeader) % 2 == 1, "the item header is odd-sized, so header plus record is even");

class TBlockManager {
 public:
  static constexpr int kDefaultItemCount = 10;

  TBlockManager() = default;
  TBlockManager(const TBlockManager&) = delete;
  TBlockManager& operator=(const TBlockManager&) = delete;
  ~TBlockManager() { FreeAllBlock(); }

  // One zero-filled allocation for the header and `itemCount` items, put at
  // the head of the block list; ItemCount and UsedItems = itemCount.
  TBlockHeader* AllocBlock(int itemCount);
  void FreeBlock(TBlockHeader* block);
  void FreeAllBlock();
  // A block of DefaultItemCount items, all on the free list.
  void AddFreeBlock();

  TItemHeader* AllocItem();
  // The last used item of a block frees the block.
  void FreeItem(TItemHeader* item);
  // Puts an item of a block taken with AllocBlock on the free list.
  void AddToFreeList(TItemHeader* item);
  static void InitItem(TItemHeader* item);

  TItemHeader* ItemOf(TBlockHeader* block, int index) const;
  static uint8_t* GetRecordPtr(TItemHeader* item) { return reinterpret_cast<uint8_t*>(item + 1); }
  void PutRecord(const uint8_t* recBuf, TItemHeader* item) const;
  void GetRecord(TItemHeader* item, uint8_t* recBuf) const;
  void CopyRecord(TItemHeader* source, TItemHeader* dest) const;

  int RecordSize = 0;
  int DefaultItemCount = kDefaultItemCount;
  TItemHeader* FirstFree = nullptr;
  TBlockHeader* FirstBlock = nullptr;

  size_t BlockCount() const;
  size_t BlockAllocations() const { return FBlockAllocations; }

 private:
  void Unfree(TItemHeader* item);
  size_t ItemSize() const { return sizeof(TItemHeader) + static_cast<size_t>(RecordSize); }
  size_t FBlockAllocations = 0;

  // Blocks up to kMaxCarvedBlock bytes are carved from larger pieces of
  // memory (growing up to pieces in huge pages where the system has them),
  // so that the records of a big result lie close together; a freed one is
  // kept for the next block of its size. The pieces go with FreeAllBlock.
  struct TPiece {
    uint8_t* Begin;
    size_t Size;
  };
  void* CarveBlock(size_t bytes);
  bool IsCarved(const TBlockHeader* block) const;
  std::vector<TPiece> FPieces;  // by address
  uint8_t* FCarve = nullptr;
  size_t FCarveLeft = 0;
  std::vector<std::pair<size_t, std::vector<void*>>> FSpareBlocks;  // by size
};

// --- TData / TMemData -----------------------------------------------------------

// A record's place that outlives moves, sorts and filters: the storage's
// refresh iteration, the record's serial number and its record number when
// the bookmark was taken. Empty: no record.
struct TRecBookmark {
  uint32_t RefreshIteration = 0;
  uint32_t Serial = 0;
  int32_t RecordNo = 0;
  bool Empty() const { return Serial == 0; }
  bool operator==(const TRecBookmark&) const = default;
};

class TData {
 public:
  TData();
  virtual ~TData();
  TData(const TData&) = delete;
  TData& operator=(const TData&) = delete;

  // Open resets the record list and runs the provider's open step (which
  // builds the descriptors with InitFields when FAutoInitFields is on, and
  // fetches); when that fails, the close step runs and the list is reset
  // again before the error goes on. Close runs the close step, releases the
  // records and, with FAutoInitFields and unless prepared, the descriptors.
  void Open();
  void Close();
  void Reopen() {
    Close();
    Open();
  }
  void Prepare();
  void UnPrepare();
  bool Active() const { return FActive; }
  bool Prepared() const { return FPrepared; }

  // Builds the descriptors (InternalInitFields), makes their names unique and
  // lays out the record.
  virtual void InitFields();
  void ExplicitInitFields() { InitFields(); }
  virtual void ClearFields();

  TFieldDescs& Fields() { return FFields; }
  const TFieldDescs& Fields() const { return FFields; }
  int RecordSize() const { return FRecordSize; }
  int CalcRecordSize() const { return FCalcRecordSize; }
  int DataSize() const { return FDataSize; }
  int CalcDataSize() const { return FCalcDataSize; }
  bool HasComplexFields() const { return FHasComplexFields; }
  TStringHeap& StringHeap() { return *FStringHeap; }

  // --- record buffers (FRecordSize + FCalcRecordSize bytes) ---
  std::vector<uint8_t> AllocRecBuf() const;
  // Zero-fills the buffer and marks every field null.
  void InitRecord(uint8_t* recBuf) const;

  bool GetNull(int fieldNo, const uint8_t* recBuf) const;
  // Setting null on a blob field also empties its blob.
  void SetNull(int fieldNo, uint8_t* recBuf, bool value);

  // Reads a field in its native form into `dest` (at most `destSize` bytes)
  // and returns the bytes written; 0 with isBlank for a null field (blob
  // fields: also for an empty blob). Texts are zero-terminated within
  // destSize, after the trimming options; mtUInt32 gives 64 bits; dates give
  // the native forms (mtDate: int32 day number from 0001-01-01 as day 1;
  // mtTime: int32 milliseconds; mtDateTime: double milliseconds since
  // 0001-01-01); mtVarBytes and mtExtVarBytes the length word and the bytes.
  size_t GetField(int fieldNo, const uint8_t* recBuf, bool& isBlank, void* dest, size_t destSize) const;
  // GetField for a caller that has checked `fieldNo`: the numbers (the
  // values read most) are copied here, in line; every other type goes to
  // GetField.
  size_t ReadCheckedField(int fieldNo, const uint8_t* recBuf, bool& isBlank, void* dest, size_t destSize) const {
    const TFieldDesc& f = FFields[fieldNo - 1];
    switch (f.FDataType) {
      case mtInt16:
      case mtUInt16:
      case mtBoolean:
      case mtInt32:
      case mtInt64:
      case mtUInt64:
      case mtFloat:
      case mtCurrency:
      case mtBCD: {
        isBlank = recBuf[FDataSize + fieldNo - 1] == 1;
        if (isBlank || dest == nullptr || destSize == 0) return 0;
        const size_t n = static_cast<size_t>(f.FSize) < destSize ? static_cast<size_t>(f.FSize) : destSize;
        const uint8_t* slot = recBuf + f.FOffset;
        if (n == 8) std::memcpy(dest, slot, 8);
        else if (n == 4) std::memcpy(dest, slot, 4);
        else std::memcpy(dest, slot, n);
        return n;
      }
      default: return GetField(fieldNo, recBuf, isBlank, dest, destSize);
    }
  }
  // For a caller that has checked `fieldNo`, as ReadCheckedField: the text
  // of an mtWideString or mtExtWideString field as GetField gives it
  // (trimmed as there, then cut to `maxChars` characters), scanned once and
  // copied straight into `text`; false, with `text` untouched, for null.
  bool ReadCheckedWideText(int fieldNo, const uint8_t* recBuf, size_t maxChars, UString& text) const;
  // For a caller that has checked `fieldNo`: the value of an mtDateTime
  // field as a TDateTime, to the millisecond, as its native form read back
  // gives it; false for null.
  bool ReadCheckedDateTime(int fieldNo, const uint8_t* recBuf, TDateTime& value) const;
  // Stores a field from its native form (`source` null: null). Every write is
  // clamped to the slot; texts keep their terminator. Heap values replace
  // (and release) the previous buffer.
  void PutField(int fieldNo, uint8_t* recBuf, const void* source, size_t sourceSize);

  Variant GetFieldAsVariant(int fieldNo, const uint8_t* recBuf) const;
  void PutFieldAsVariant(int fieldNo, uint8_t* recBuf, const Variant& value);

  // The blob of a blob field (null when the slot holds none).
  TBlob* GetBlob(int fieldNo, const uint8_t* recBuf) const;
  // Stores `blob` in the slot (a new reference), releasing the previous one.
  void SetBlob(int fieldNo, uint8_t* recBuf, TBlob* blob);

  // Complex values of a record buffer: create empty blobs; release every
  // blob, variant and heap buffer (slots zeroed); add one owner to each.
  void CreateComplexFields(uint8_t* recBuf, bool withBlob = true);
  // `heapCleared`: the string heap was cleared already; heap slots are only zeroed.
  void FreeComplexFields(uint8_t* recBuf, bool withBlob = true, bool heapCleared = false);
  void AddRefComplexFields(const uint8_t* recBuf);

  // --- comparison of field values (MemDataSort.cpp) ---
  // A field of a record in its comparable form (texts after the trimming
  // options of the field).
  void ReadFieldValue(const TFieldDesc& field, const uint8_t* recBuf, TFieldValue& value) const;
  // A constant in the field's type, trimmed as the field's values are; a
  // value that cannot take the type raises EConvertError "'<value>' is not
  // a valid value for field '<name>'".
  void MakeFieldValue(const TFieldDesc& field, const Variant& constant, TFieldValue& value) const;
  // The one order of two values of a field: NULL first; the flags of
  // MemDataSort.h. Types that are no sort key raise "Unknown ValueType = <type>".
  int CompareFieldValue(const TFieldDesc& field, const TFieldValue& a, const TFieldValue& b, int flags) const;

  bool FTrimFixedChar = true;
  bool FTrimVarChar = false;
  bool FSetEmptyStrToNull = false;
  bool FRequireEmptyStrToNull = false;
  bool FAutoInitFields = true;
  bool FCompressBlobs = false;  // new blobs are TCompressedBlob

 protected:
  // The provider's hook that fills FFields.
  virtual void InternalInitFields() {}
  // The provider's steps of the lifecycle.
  virtual void InternalPrepare() {}
  virtual void InternalUnPrepare() {}
  virtual void InternalOpen() {}
  virtual void InternalClose() {}
  // Empties the record list.
  virtual void InternalReset() {}
  void MakeNamesUnique();
  void CalcRecordLayout();
  const TFieldDesc& Field(int fieldNo) const;
  void ReleaseSlot(const TFieldDesc& field, uint8_t* slot, bool heapCleared);
  virtual TBlob* NewBlob(const TFieldDesc& field) const;

  TFieldDescs FFields;
  std::unique_ptr<TStringHeap> FStringHeap;
  int FRecordSize = 0;
  int FCalcRecordSize = 0;
  int FDataSize = 0;
  int FCalcDataSize = 0;
  bool FHasComplexFields = false;
  std::vector<int> FComplexFieldNos;  // fields with a complex slot
  bool FActive = false;
  bool FPrepared = false;
};

class TMemData : public TData {
 public:
  TMemData();
  ~TMemData() override;

  void InitFields() override;
  void ClearFields() override;

  // Adds a copy of the record (its complex values get one more owner): at the
  // end, or in front of the current record. The new record becomes current.
  void AppendRecord(const uint8_t* recBuf);
  void InsertRecord(const uint8_t* recBuf);
  // Replaces the current record (old complex values released, new ones shared).
  void UpdateRecord(const uint8_t* recBuf);
  // Removes the current record; the next one (or the prior one) becomes current.
  void DeleteRecord();
  // Copies the current record into `recBuf`; the buffer borrows its references.
  void GetRecord(uint8_t* recBuf) const;

  void SetToBegin();
  void SetToEnd();
  bool GetNextRecord(uint8_t* recBuf = nullptr);
  bool GetPriorRecord(uint8_t* recBuf = nullptr);
  bool Bof() const { return FBOF && CurrentItem == nullptr; }
  bool Eof() const { return FEOF && CurrentItem == nullptr; }
  int RecordCount() const { return FRecordCount; }
  // The rows fetched into the storage since it was last emptied (local
  // inserts and deletes aside, shown or not).
  int FetchedCount() const { return FFetchedCount; }
  int RecordNo() const;
  void SetRecordNo(int recordNo);

  // Cached updates: a copy of the current record kept before it is changed
  // (its complex values shared), and its release.
  void SaveRollback();
  void ReleaseRollback(TItemHeader* item);

  // Rows fetched into the first `count` items of a block from AllocBlock:
  // linked after the last record (forward) or before the first; items left
  // over go to the free list. Returns whether the block was not filled.
  bool AddFetchedBlock(TBlockHeader* block, int count, bool forward = true);
  // A fetch that failed part-way: releases the complex values of the `count`
  // rows already decoded into the block and frees it.
  void DiscardFetchBlock(TBlockHeader* block, int count);

  // Releases every record (complex values, rollback copies) and resets the
  // list: no records, BOF and EOF, a new refresh iteration.
  void ClearItems();

  // --- cached updates ---
  // With FCachedUpdates the changes of the Cached* operations stay in the
  // storage: each changed record keeps its kind (Status), the result of the
  // last attempt to apply it (UpdateResult) and, once edited, a copy of its
  // values before the first change (Rollback); the cache lists the changed
  // records in the order of their first change. A deleted record stays in
  // the list, hidden from navigation and the record count, until it is
  // committed or reverted.
  enum TUpdateRecKind : uint8_t { ukUpdate, ukInsert, ukDelete };
  static constexpr uint8_t kAllUpdateRecKinds = 7;  // bit per kind
  // Applies one change: `newBuf` the record's values (the callback may
  // write values the server generated into it), `oldBuf` its values before
  // the change. `last`: no later change of the pass follows.
  using TApplyRecordProc = std::function<void(TUpdateRecKind kind, TUpdateRecAction& action, uint8_t* newBuf,
                                              const uint8_t* oldBuf, bool last)>;
  bool FCachedUpdates = false;
  TApplyRecordProc OnApplyRecord;

  void CachedInsert(const uint8_t* recBuf, bool atEnd);
  void CachedUpdate(const uint8_t* recBuf);
  void CachedDelete();
  // The apply pass over the changes of the requested kinds (bits of
  // TUpdateRecKind) that are not applied yet. A kind that was not requested
  // gets urFail on its own item only. A callback error leaves the failing
  // record current, and changes that waited in an unsent batch pending.
  void ApplyUpdates(uint8_t kinds = kAllUpdateRecKinds);
  // Drops applied changes from the cache: deleted records go, the others
  // become unmodified. Changes not applied stay.
  void CommitUpdates();
  // Reverts every change and empties the cache.
  void CancelUpdates();
  // Every change counts as not applied again.
  void RestoreUpdates();
  // Reverts the current record's change.
  void RevertRecord();
  bool UpdatesPending() const;
  // The cached changes, in order.
  const std::vector<TItemHeader*>& Cache() const { return FCache; }
  // A deleted record of the cache, not shown.
  static bool IsHidden(const TItemHeader* item) { return item->Status == isDeleted; }

  // --- local order (MemDataSort.cpp) ---
  // The sort columns as text: "Name DESC CIS; [Order Date]; Id". With
  // descriptors the text is parsed (and, on an active storage, the records
  // sorted) before anything changes: a text that fails keeps the previous
  // text, columns and order. Without descriptors it is parsed by InitFields.
  const UString& IndexFieldNames() const { return FIndexFieldNames; }
  void SetIndexFieldNames(const UString& value);
  const TSortColumns& IndexFields() const { return FIndexFields; }
  // Sorts the records by the columns (stable, on a vector of the items) and
  // renumbers them; nothing without columns or records.
  virtual void SortItems();
  // The order of two records by the sort columns.
  int CompareRecords(const uint8_t* a, const uint8_t* b) const;
  // After the values of `item` changed (an insert, an edit, a revert): its
  // filter answer is dropped, it moves to its sorted place, and the records
  // are renumbered.
  void ItemChanged(TItemHeader* item);
  // The sort type of a new column.
  virtual TSortType DefaultSortType() const { return stCaseSensitive; }

  // --- filter (MemFilter.cpp) ---
  // The expression text; parsed at once when there are descriptors (a text
  // that fails keeps the previous text and expression), else by InitFields.
  const UString& FilterText() const { return FFilterText; }
  void SetFilterText(const UString& value);
  bool FFilterCaseInsensitive = false;
  bool FFilterNoPartialCompare = false;
  // Record callbacks: the dataset's OnFilterRecord and a local master-detail
  // link; true keeps the record.
  using TFilterFunc = std::function<bool(const uint8_t* recBuf)>;
  TFilterFunc FFilterFunc;
  TFilterFunc FFilterMDFunc;
  // With cached updates: the item statuses shown (a set of 1 << TItemStatus).
  uint8_t FilterItemTypes() const { return FFilterItemTypes; }
  void SetFilterItemTypes(uint8_t value);
  bool HasFilter() const;
  // Whether the record is hidden; the answer is kept in the item.
  bool OmitRecord(TItemHeader* item);
  // Every answer dropped; the records renumbered and counted again.
  void FilterUpdated();

  // The shown records in order (built on demand, dropped by every change of
  // order or filter).
  const std::vector<TItemHeader*>& RecordNoCache();
  // Moves the current record off a hidden one: to the next shown record,
  // else the prior one; none (and BOF and EOF) when no record is shown.
  void SkipHiddenCurrent();

  // --- bookmarks (MemDataBookmark.cpp) ---
  // The current record's bookmark (empty without one). A bookmark is valid
  // while its record is in the storage and shown: not after the record was
  // deleted, not while the filter hides it, never after a close or refresh.
  TRecBookmark GetBookmark() const;
  // The shown record of the bookmark; none when the bookmark is not valid.
  TItemHeader* BookmarkItem(const TRecBookmark& bookmark);
  bool BookmarkValid(const TRecBookmark& bookmark) { return BookmarkItem(bookmark) != nullptr; }
  // Makes the bookmark's record current; false (nothing moves) when it is not valid.
  bool SetToBookmark(const TRecBookmark& bookmark);
  // The order of two bookmarks' records in the records shown: -1, 0, 1. An
  // empty bookmark comes first; one that is not valid compares by the record
  // number it was taken at.
  int CompareBookmarks(const TRecBookmark& a, const TRecBookmark& b);

  TBlockManager& BlockMan() { return FBlockMan; }
  TItemHeader* FirstItem = nullptr;
  TItemHeader* LastItem = nullptr;
  TItemHeader* CurrentItem = nullptr;
  uint32_t RefreshIteration() const { return FRefreshIteration; }

 protected:
  void InternalReset() override { ClearItems(); }
  // Parses the sort text and the filter text over the descriptors.
  void ParseIndexAndFilter();
  void ParseIndexFieldNames(const UString& text, TSortColumns& columns) const;
  bool IsVisible(TItemHeader* item) { return !IsHidden(item) && (!HasFilter() || !OmitRecord(item)); }
  // Moves `item` by its neighbours until it is in order.
  void MoveToSortedPlace(TItemHeader* item);
  void AddRecord(const uint8_t* recBuf, bool atEnd);
  // Numbers the records from `from` on (hidden ones 0); returns the number
  // of the last shown record.
  int32_t Renumber(TItemHeader* from);
  // Renumbers every record and counts the shown ones.
  void RenumberAll();
  void ReleaseItemValues(TItemHeader* item, bool heapCleared);

  // Cached updates.
  void Revert(TItemHeader* item);
  void RestoreFromRollback(TItemHeader* item);
  void Unlink(TItemHeader* item);
  void RemoveFromCache(TItemHeader* item);
  std::vector<TItemHeader*> FCache;
  UString FIndexFieldNames;
  TSortColumns FIndexFields;
  UString FFilterText;
  std::unique_ptr<TFilterExpression> FFilterExpression;
  uint8_t FFilterItemTypes = 0x0F;
  std::vector<TItemHeader*> FRecordNoCache;
  bool FRecordNoCacheValid = false;
  // Every item in list order, kept from a sort until the list changes: the
  // walks over all records read it ahead instead of chasing the links.
  std::vector<TItemHeader*> FItemOrder;
  bool FItemOrderValid = false;
  // Calls `visit` for every item in list order.
  template <typename F>
  void ForEachItem(F visit) {
    if (FItemOrderValid) {
      const size_t n = FItemOrder.size();
      for (size_t i = 0; i < n; ++i) {
        if (i + 16 < n) __builtin_prefetch(FItemOrder[i + 16]);
        visit(FItemOrder[i]);
      }
    } else {
      for (TItemHeader* i = FirstItem; i; i = i->Next) visit(i);
    }
  }

  TBlockManager FBlockMan;
  int FRecordCount = 0;
  int FFetchedCount = 0;
  int FRecordNoOffset = 0;
  bool FBOF = true;
  bool FEOF = true;
  uint32_t FRefreshIteration = 0;
};

}  // namespace vix
