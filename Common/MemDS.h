// The dataset over the record storage: field definitions built from the
// storage's descriptors, one field object per definition reading the current
// record, the open and closed states with their events, and navigation.
//
// `TDataSet` is the generic part (fields, states, events, positions, the
// data sources that follow it); `TMemDataSet` runs it over a `TMemData`, with
// the local sort, the filters and the record search of the storage.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Common/DBTypes.h"
#include "Common/MemData.h"
#include "Common/ZelAccess.h"
#include "rtl/UString.h"
#include "rtl/Variant.h"

namespace vix {

class TDataSet;

// Raises EDatabaseError with the message, preceded by the component's name
// and ": " when the component has a name.
[[noreturn]] void DatabaseError(const UString& message, const TComponent* component = nullptr);

// --- field definitions ---------------------------------------------------------

// What a field is made from: one result column as the dataset sees it.
struct TFieldDef {
  UString Name;
  TFieldType DataType = ftUnknown;
  int Size = 0;
  int Precision = 0;
  int FieldNo = 0;  // the descriptor's 1-based position in the storage
  bool Required = false;
  bool ReadOnly = false;
  bool Hidden = false;
  bool Fixed = false;
  bool Unsigned = false;  // ftLargeint: the whole unsigned 64-bit range
};

// --- fields --------------------------------------------------------------------

// One value of the current record. A field reads through its dataset, which
// hands it the storage's native form; a field of no dataset cannot be read
// ("Field '<name>' has no dataset").
class TField {
 public:
  TField(TDataSet* dataSet, const TFieldDef& def);
  virtual ~TField();
  TField(const TField&) = delete;
  TField& operator=(const TField&) = delete;

  const UString& FieldName() const { return FFieldName; }
  // The name that errors show.
  const UString& DisplayName() const { return FFieldName; }
  int FieldNo() const { return FFieldNo; }
  TFieldType DataType() const { return FDataType; }
  int Size() const { return FSize; }
  // Bytes of the native value (texts: the declared size and the terminator,
  // in bytes of their character width).
  virtual int DataSize() const;
  TDataSet* DataSet() const { return FDataSet; }
  bool ReadOnly() const { return FReadOnly; }
  bool Required() const { return FRequired; }

  // No value: null, or no current record.
  bool IsNull() const;
  // Null reads as "" and, for numbers, 0. A kind that has no such reading
  // raises EDatabaseError "Cannot access field '<name>' as type <type>".
  virtual UString AsString() const;
  virtual int32_t AsInteger() const;
  virtual int64_t AsLargeInt() const;
  virtual double AsFloat() const;
  virtual bool AsBoolean() const;
  // Null as Variant::Null().
  virtual Variant AsVariant() const;

  // Writing the value of the record in work: only while the dataset edits or
  // inserts ("Dataset not in edit or insert mode"), never into a read-only
  // field ("Field '<name>' cannot be modified"). The value is converted to
  // the field's storage; Clear makes it null.
  void SetAsString(const UString& value) { SetAsVariant(Variant(value)); }
  void SetAsInteger(int32_t value) { SetAsVariant(Variant(value)); }
  void SetAsLargeInt(int64_t value) { SetAsVariant(Variant(value)); }
  void SetAsFloat(double value) { SetAsVariant(Variant(value)); }
  void SetAsBoolean(bool value) { SetAsVariant(Variant(value)); }
  void SetAsVariant(const Variant& value);
  void Clear() { SetAsVariant(Variant::Null()); }
  void SetReadOnly(bool value) { FReadOnly = value; }

 protected:
  // The native value into `buffer`; false when there is none. Every value
  // read passes here: in line, below TDataSet.
  bool GetData(void* buffer, size_t size) const;
  [[noreturn]] void AccessError(const char16_t* typeName) const;
  // The dataset; raises "Field '<name>' has no dataset" without one.
  const TDataSet& CheckDataSet() const {
    if (!FDataSet) [[unlikely]]
      NoDataSetError();
    return *FDataSet;
  }
  [[noreturn]] void NoDataSetError() const;

 private:
  friend class TDataSet;
  TDataSet* FDataSet;
  UString FFieldName;
  int FFieldNo;
  TFieldType FDataType;
  int FSize;
  bool FReadOnly;
  bool FRequired;
};

// Texts: TStringField holds ANSI text (read with the process's code page),
// TWideStringField UTF-16. As an integer the text is read whole: blanks in
// front, one sign, "$", "x" or "0x" for hexadecimal digits, nothing after the
// digits; anything else (an empty text too) raises EConvertError
// "'<text>' is not a valid integer value".
class TStringField : public TField {
 public:
  using TField::TField;
  int DataSize() const override { return Size() + 1; }
  UString AsString() const override;
  int32_t AsInteger() const override;
  int64_t AsLargeInt() const override;
  double AsFloat() const override;
  Variant AsVariant() const override;
};

class TWideStringField : public TStringField {
 public:
  using TStringField::TStringField;
  int DataSize() const override { return 2 * (Size() + 1); }
  UString AsString() const override;
};

class TGuidField : public TStringField {
 public:
  using TStringField::TStringField;
};

// Integers: TSmallintField (16-bit signed, also from 8-bit columns),
// TIntegerField (32-bit), TWordField (16-bit unsigned), TLargeintField (64-bit;
// as a 32-bit integer it gives the low 32 bits).
class TIntegerField : public TField {
 public:
  using TField::TField;
  UString AsString() const override;
  int32_t AsInteger() const override { return static_cast<int32_t>(AsLargeInt()); }
  int64_t AsLargeInt() const override;
  double AsFloat() const override { return static_cast<double>(AsLargeInt()); }
  Variant AsVariant() const override;
};

class TSmallintField : public TIntegerField {
 public:
  using TIntegerField::TIntegerField;
};

class TWordField : public TIntegerField {
 public:
  using TIntegerField::TIntegerField;
};

class TLargeintField : public TIntegerField {
 public:
  using TIntegerField::TIntegerField;
};

// Unsigned 64-bit values: exact as text, a UInt64 variant; as a signed
// integer a value beyond its range raises "<value> is not a valid value for
// field '<name>'. The allowed range is 0 to <max>".
class TLargeUIntField : public TLargeintField {
 public:
  using TLargeintField::TLargeintField;
  uint64_t AsUInt64() const;
  UString AsString() const override;
  int32_t AsInteger() const override;
  int64_t AsLargeInt() const override;
  double AsFloat() const override { return static_cast<double>(AsUInt64()); }
  Variant AsVariant() const override;
};

// Unsigned 32-bit values; as a 32-bit integer a value above 2147483647 raises
// "<value> is not a valid value for field '<name>'. The allowed range is 0 to 2147483647".
class TLongWordField : public TIntegerField {
 public:
  using TIntegerField::TIntegerField;
  int32_t AsInteger() const override;
  int64_t AsLargeInt() const override;
  Variant AsVariant() const override;
};

// Floating values (TCurrencyField: a double as well); as text the general
// format with 15 digits and the process's decimal separator; as an integer
// rounded to the nearest, ties to even.
class TFloatField : public TField {
 public:
  using TField::TField;
  UString AsString() const override;
  int32_t AsInteger() const override;
  int64_t AsLargeInt() const override;
  double AsFloat() const override;
  Variant AsVariant() const override;
};

class TCurrencyField : public TFloatField {
 public:
  using TFloatField::TFloatField;
};

// Decimals: TBCDField holds a Currency, TFMTBCDField a TBcd.
class TBCDField : public TField {
 public:
  using TField::TField;
  UString AsString() const override;
  int32_t AsInteger() const override;
  int64_t AsLargeInt() const override;
  double AsFloat() const override;
  Variant AsVariant() const override;
};

class TFMTBCDField : public TBCDField {
 public:
  using TBCDField::TBCDField;
};

// "True" / "False", or the field's display values: "yes;no" makes "yes" the
// text of true and "no" that of false.
class TBooleanField : public TField {
 public:
  TBooleanField(TDataSet* dataSet, const TFieldDef& def);
  void SetDisplayValues(const UString& value);
  const UString& DisplayValues() const { return FDisplayValues; }
  UString AsString() const override;
  bool AsBoolean() const override;
  Variant AsVariant() const override;

 private:
  UString FDisplayValues;
  UString FTrueText = u"True";
  UString FFalseText = u"False";
};

// Dates and times: as text the process's short date format (TDateField), its
// long time format (TTimeField) or both (TDateTimeField). A time is a signed
// duration of any number of days: AsDateTime gives the signed number of days
// (-838:59:59 is about -34.96), and outside 0..24 hours AsString writes it as
// MySQL does ("-838:59:59", "100:00:00", ".zzz" when there are milliseconds).
class TDateTimeField : public TField {
 public:
  using TField::TField;
  UString AsString() const override;
  double AsFloat() const override;
  Variant AsVariant() const override;
  // The value as a TDateTime (0 for null).
  TDateTime AsDateTime() const;
};

class TDateField : public TDateTimeField {
 public:
  using TDateTimeField::TDateTimeField;
};

class TTimeField : public TDateTimeField {
 public:
  using TDateTimeField::TDateTimeField;
};

// Large values: TBlobField (bytes, as text in the ANSI code page),
// TMemoField (ANSI text), TWideMemoField (UTF-16 text).
class TBlobField : public TField {
 public:
  using TField::TField;
  UString AsString() const override;
  Variant AsVariant() const override;
  std::string AsBytes() const;
};

class TMemoField : public TBlobField {
 public:
  using TBlobField::TBlobField;
};

class TWideMemoField : public TBlobField {
 public:
  using TBlobField::TBlobField;
};

// Fixed and variable byte strings; as text the bytes in the ANSI code page.
class TBytesField : public TField {
 public:
  using TField::TField;
  UString AsString() const override;
  Variant AsVariant() const override;
  std::string AsBytes() const;
};

class TVarBytesField : public TBytesField {
 public:
  using TBytesField::TBytesField;
};

// The field object of a field type (a plain TField, which reads as nothing,
// for the types without a kind of their own).
std::unique_ptr<TField> CreateField(TDataSet* dataSet, const TFieldDef& def);

// --- the dataset base ----------------------------------------------------------

enum TDataSetState : uint8_t { dsInactive, dsBrowse, dsEdit, dsInsert };

using TDataSetNotifyEvent = std::function<void(TDataSet& dataSet)>;

// --- data sources and their links -------------------------------------------

class TDataSource;

// A client of a data source (a detail dataset, a grid): told when the
// source's dataset opens or closes and when its current record changes.
class TDataLink {
 public:
  TDataLink() = default;
  virtual ~TDataLink();
  TDataLink(const TDataLink&) = delete;
  TDataLink& operator=(const TDataLink&) = delete;

  TDataSource* DataSource() const { return FDataSource; }
  void SetDataSource(TDataSource* value);
  // The source's dataset; none without one.
  TDataSet* DataSet() const;
  // The source's dataset is open.
  bool Active() const;

 protected:
  friend class TDataSource;
  virtual void ActiveChanged() {}
  virtual void RecordChanged() {}
  // A field of the source's record in work was written.
  virtual void FieldChanged(const TField& /*field*/) {}
  // The source's dataset is about to leave its current record (a move, an
  // insert); a link that cannot follow refuses by raising, before anything moves.
  virtual void RecordLeaving() {}
  // The source's dataset leaves its editing state or its record: a link
  // with a record in work of its own settles it now.
  virtual void CheckBrowseMode() {}

 private:
  TDataSource* FDataSource = nullptr;
};

// The joint between one dataset and its links.
class TDataSource {
 public:
  explicit TDataSource(TDataSet* dataSet = nullptr);
  ~TDataSource();
  TDataSource(const TDataSource&) = delete;
  TDataSource& operator=(const TDataSource&) = delete;

  TDataSet* DataSet() const { return FDataSet; }
  void SetDataSet(TDataSet* value);

 private:
  friend class TDataSet;
  friend class TDataLink;
  // The dataset opened or closed; its current record changed.
  void NotifyActiveChanged();
  void NotifyRecordChanged();
  void NotifyFieldChanged(const TField& field);
  void NotifyRecordLeaving();
  void NotifyCheckBrowseMode();
  // Calls `notify` for each link, over a copy of the list: a link that an
  // earlier call removed is skipped.
  template <typename F>
  void ForEachLink(F notify) {
    for (TDataLink* link : std::vector<TDataLink*>(FLinks))
      if (std::find(FLinks.begin(), FLinks.end(), link) != FLinks.end()) notify(*link);
  }

  TDataSet* FDataSet = nullptr;
  std::vector<TDataLink*> FLinks;
};

class TDataSet : public TComponent {
 public:
  TDataSet();
  ~TDataSet() override;

  // Opening an open dataset and closing a closed one do nothing. A failed
  // open leaves the dataset closed; its error goes on.
  void Open();
  void Close();
  bool Active() const { return FState != dsInactive; }
  void SetActive(bool value) { value ? Open() : Close(); }
  TDataSetState State() const { return FState; }

  // Navigation; the first record is current after an open.
  void First();
  void Last();
  void Next();
  void Prior();
  bool Bof() const { return FBof; }
  bool Eof() const { return FEof; }
  bool IsEmpty() const { return !Active() || (FBof && FEof); }
  virtual int RecordCount() const { return 0; }
  // 1-based number of the current record, 0 without one.
  virtual int RecNo() const { return 0; }

  const std::vector<TFieldDef>& FieldDefs() const { return FFieldDefs; }
  int FieldCount() const { return static_cast<int>(FFields.size()); }
  TField& Fields(int index) const;
  // The field of that name, ignoring case; none when there is none.
  TField* FindField(UStringView name) const;
  // Raises EDatabaseError "Field '<name>' not found", the dataset's name in front.
  TField& FieldByName(UStringView name) const;

  // The native value of a field of the current record; false when there is
  // none (null, no current record, closed).
  virtual bool GetFieldData(const TField& field, void* buffer, size_t size) const = 0;
  // The text of a text field of the current record (at most `maxChars`
  // characters) as GetFieldData gives it; false, `text` untouched, when there
  // is none. This one reads it through GetFieldData; a storage may read it
  // in one step.
  virtual bool GetFieldText(const TField& field, size_t maxChars, UString& text) const;
  // A date or time field's value of the current record as a TDateTime (as
  // TDateTimeField::AsDateTime gives it); false when there is none.
  virtual bool GetFieldDateTime(const TField& field, TDateTime& value) const;
  // The blob of a blob field of the current record (none when null).
  virtual TBlob* GetBlob(const TField& field) const = 0;

  // --- editing ---
  // Edit starts changing the current record, Insert a new record in front of
  // it, Append a new record at the end; Post writes the record in work (the
  // dataset stays in its state with the values when that fails), Cancel
  // drops it; Delete removes the current record. Each needs an open dataset
  // that can be modified ("Cannot modify a read-only dataset"); Edit and
  // Delete need a current record ("Cannot perform this operation on an
  // empty dataset"). Moving or closing while a record is in work: moving
  // posts it when a field was written and drops it otherwise, closing drops
  // it. A posted record takes its place in the local order and is hidden
  // when the filter no longer keeps it; then the data sources are told.
  void Edit();
  void Insert();
  void Append();
  void Post();
  void Cancel();
  void Delete();
  // A field of the record in work was written since Edit or Insert.
  bool Modified() const { return FModified; }
  virtual bool CanModify() const { return true; }
  // Writes a field of the record in work (TField's setters come here).
  virtual void SetFieldValue(const TField& field, const Variant& value) = 0;

  TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose;
  TDataSetNotifyEvent BeforeEdit, AfterEdit, BeforeInsert, AfterInsert, OnNewRecord;
  TDataSetNotifyEvent BeforePost, AfterPost, BeforeCancel, AfterCancel, BeforeDelete, AfterDelete;

 protected:
  friend class TDataSource;
  // Tells the data sources: the dataset opened or closed (`active`), or
  // its current record changed.
  void NotifyDataSources(bool activeChanged);
  // Tells the data sources: a field of the record in work was written.
  void NotifyFieldChanged(const TField& field);
  std::vector<TDataSource*> FDataSources;

  // The cursor steps: open (run, fetch, build definitions and fields, go to
  // the first record) and close (release the records and fields).
  virtual void OpenCursor() = 0;
  virtual void CloseCursor() = 0;
  // Moves the storage's position; true when a record became current.
  virtual bool InternalFirst() = 0;
  virtual bool InternalLast() = 0;
  virtual bool InternalNext() = 0;
  virtual bool InternalPrior() = 0;

  // One field object per definition that is not hidden.
  void CreateFields();
  void DestroyFields();
  // Raises "Cannot perform this operation on an open dataset" when open.
  void CheckInactive() const;
  // Leaves the editing states: a record in work with a written field is
  // posted, one without is dropped (Cancel).
  void CheckBrowseMode();
  // Before a move or an insert: CheckBrowseMode, then the links may refuse.
  void CheckLeaveRecord();
  // The links may refuse that the current record is left (a detail with
  // changes it cannot keep); nothing is posted.
  void CheckLinksLetLeave();
  // Fills a new record after Insert or Append: OnNewRecord.
  virtual void DoOnNewRecord();
  void SetState(TDataSetState value) { FState = value; }
  void SetModified(bool value) { FModified = value; }

  // The editing steps of the storage.
  virtual void InternalEdit() = 0;
  virtual void InternalInsert(bool append) = 0;
  virtual void InternalPost() = 0;
  virtual void InternalCancel() = 0;
  virtual void InternalDelete() = 0;
  // Where the current record is after a change of the record list.
  virtual void Resync() = 0;

  std::vector<TFieldDef> FFieldDefs;
  bool FFieldDefsUpdated = false;
  bool FBof = true;
  bool FEof = true;

 private:
  void DoInsert(bool append);

  TDataSetState FState = dsInactive;
  bool FModified = false;
  std::vector<std::unique_ptr<TField>> FFields;
};

// --- the dataset over the record storage -------------------------------------

// Filter options (bits).
using TFilterOptions = uint8_t;
constexpr TFilterOptions foCaseInsensitive = 1;
constexpr TFilterOptions foNoPartialCompare = 2;

// Search options of Locate (bits)...
using TLocateOptions = uint8_t;
constexpr TLocateOptions loCaseInsensitive = 1;
constexpr TLocateOptions loPartialKey = 2;
// ...and of LocateEx.
using TLocateExOptions = uint8_t;
constexpr TLocateExOptions lxCaseInsensitive = 1;
constexpr TLocateExOptions lxPartialKey = 2;
constexpr TLocateExOptions lxNearest = 4;  // also stop on the first record whose keys are greater
constexpr TLocateExOptions lxNext = 8;     // search after the current record
constexpr TLocateExOptions lxUp = 16;      // search backwards, before the current record
constexpr TLocateExOptions lxPartialCompare = 32;

// The record kinds that cached updates show (bits).
using TUpdateRecordTypes = uint8_t;
constexpr TUpdateRecordTypes rtUnmodified = 1;
constexpr TUpdateRecordTypes rtModified = 2;
constexpr TUpdateRecordTypes rtInserted = 4;
constexpr TUpdateRecordTypes rtDeleted = 8;

class TMemDataSet : public TDataSet {
 public:
  TMemDataSet();
  ~TMemDataSet() override;

  // The storage's record count; 0 when closed.
  int RecordCount() const override;
  int RecNo() const override;

  bool GetFieldData(const TField& field, void* buffer, size_t size) const override;
  bool GetFieldText(const TField& field, size_t maxChars, UString& text) const override;
  bool GetFieldDateTime(const TField& field, TDateTime& value) const override;
  TBlob* GetBlob(const TField& field) const override;

  // Copied into the storage at every open.
  bool TrimFixedChar() const { return FTrimFixedChar; }
  void SetTrimFixedChar(bool value) { FTrimFixedChar = value; }
  bool TrimVarChar() const { return FTrimVarChar; }
  void SetTrimVarChar(bool value) { FTrimVarChar = value; }
  bool SetEmptyStrToNull() const { return FSetEmptyStrToNull; }
  void SetSetEmptyStrToNull(bool value) { FSetEmptyStrToNull = value; }

  // --- local order (MemDataSort.cpp) ---
  // The sort text of the storage (MemData.h). On an open dataset a record
  // in work is posted first (CheckBrowseMode), then the records are sorted
  // at once and the current record stays; a text that fails changes nothing
  // more.
  const UString& IndexFieldNames() const { return FIndexFieldNames; }
  void SetIndexFieldNames(const UString& value);

  // --- filters (MemFilter.cpp) ---
  // Each setter is atomic: an expression that fails to parse keeps the
  // previous text, options and records shown. On an open dataset a record in
  // work is posted first (CheckBrowseMode), and a change shows the first
  // record that passes.
  using TFilterRecordEvent = std::function<void(TDataSet& dataSet, bool& accept)>;
  const UString& Filter() const { return FFilter; }
  void SetFilter(const UString& value);
  bool Filtered() const { return FFiltered; }
  void SetFiltered(bool value);
  TFilterOptions FilterOptions() const { return FFilterOptions; }
  void SetFilterOptions(TFilterOptions value);
  // Called for each record while Filtered is on; its fields read that record.
  const TFilterRecordEvent& OnFilterRecord() const { return FOnFilterRecord; }
  void SetOnFilterRecord(TFilterRecordEvent value);
  // With cached updates: the kinds of records shown.
  TUpdateRecordTypes UpdateRecordTypes() const { return FUpdateRecordTypes; }
  void SetUpdateRecordTypes(TUpdateRecordTypes value);

  // --- search (MemDSLocate.cpp) ---
  // Each search posts a record in work first (CheckBrowseMode), so that it
  // is found at its place. Moves to the first record (in the dataset's order, hidden records never)
  // whose fields `keyFields` ("Name;Id") hold `keyValues` (one value per
  // field; NULL matches only NULL). Keys are converted to their fields' types
  // before anything moves: a key that cannot take its type raises. When the
  // leading keys are the leading sort columns the search is a binary search.
  bool Locate(const UString& keyFields, const std::vector<Variant>& keyValues, TLocateOptions options = 0);
  bool Locate(const UString& keyFields, const Variant& keyValue, TLocateOptions options = 0) {
    return Locate(keyFields, std::vector<Variant>{keyValue}, options);
  }
  bool LocateEx(const UString& keyFields, const std::vector<Variant>& keyValues, TLocateExOptions options = 0);
  bool LocateEx(const UString& keyFields, const Variant& keyValue, TLocateExOptions options = 0) {
    return LocateEx(keyFields, std::vector<Variant>{keyValue}, options);
  }
  // The values of `resultFields` ("A;B") of the first matching record,
  // without moving; NULLs when there is none.
  std::vector<Variant> Lookup(const UString& keyFields, const std::vector<Variant>& keyValues,
                              const UString& resultFields);
  // Off: every search scans the records (a check that both ways agree).
  void SetLocateBinarySearch(bool value) { FLocateBinarySearch = value; }

  // --- bookmarks (MemDataBookmark.cpp) ---
  // The current record's bookmark; empty on a closed or empty dataset and
  // while inserting. It stays valid across moves, sorts, edits and filter
  // changes that keep its record shown; it is not valid once its record is
  // deleted or hidden, nor after the dataset closed or ran again.
  TRecBookmark GetBookmark() const;
  // Posts a record in work and lets the links refuse (CheckLeaveRecord),
  // then makes the bookmark's record current. A bookmark that is not valid raises EDatabaseError
  // "Bookmark not found: its record was deleted or is hidden, or the data
  // was read again" and nothing moves.
  void GotoBookmark(const TRecBookmark& bookmark);
  bool BookmarkValid(const TRecBookmark& bookmark) const;
  // The order of the two records in the dataset: -1, 0 or 1 (MemData.h).
  int CompareBookmarks(const TRecBookmark& a, const TRecBookmark& b) const;

 protected:
  // The storage (owned by the derived class); none until it is made.
  TMemData* Data() const { return FData; }
  void SetData(TMemData* value) { FData = value; }

  // Opens the storage (DataOpen), builds the definitions when they are
  // outdated and the fields, then goes to the first record.
  void OpenCursor() override;
  // Releases fields and records; the definitions are kept only while the
  // storage is prepared.
  void CloseCursor() override;
  // The storage's own open and close (the provider runs its statement there).
  virtual void DataOpen();
  virtual void DataClose();
  // Field definitions from the storage's descriptors: fetched, top-level,
  // not hidden objects. A type without a field type raises
  // "Data type is not supported".
  virtual void CreateFieldDefs();
  // More rows from the source when the storage has not got them all; true
  // when some came.
  virtual bool FetchMore() { return false; }
  // Every remaining row.
  void FetchRest();
  // Hands the filter settings to the storage (its text parsed there);
  // `withHandler` false leaves OnFilterRecord out (the open, before the
  // handler has fields to read).
  void ApplyFilter(bool withHandler = true);
  // Searches (MemDSLocate.cpp); moves when `move` and a record is found.
  bool LocateRecord(const UString& keyFields, const std::vector<Variant>& keyValues, TLocateExOptions options,
                    bool move, TItemHeader** found = nullptr);
  // Fields read this record instead of the current one while set (the
  // filter event, Lookup).
  const uint8_t* FReadBuffer = nullptr;

  bool InternalFirst() override;
  bool InternalLast() override;
  bool InternalNext() override;
  bool InternalPrior() override;

  // --- editing ---
 public:
  void SetFieldValue(const TField& field, const Variant& value) override;

  // --- cached updates ---
  // With CachedUpdates (set while closed) posted changes stay in memory
  // until ApplyUpdates sends them; CommitUpdates then forgets the applied
  // ones, CancelUpdates reverts all, RevertRecord the current record's,
  // RestoreUpdates makes applied changes pending again. Each raises "Not in
  // cached update mode" without cached updates.
  using TUpdateRecKind = TMemData::TUpdateRecKind;
  using TUpdateRecordEvent = std::function<void(TDataSet& dataSet, TUpdateRecKind kind, TUpdateRecAction& action)>;
  using TUpdateErrorEvent =
      std::function<void(TDataSet& dataSet, const Exception& e, TUpdateRecKind kind, TUpdateRecAction& action)>;
  // The action of OnUpdateRecord that lets the dataset carry out the change itself.
  static constexpr TUpdateRecAction kUpdateRecActionDefault = static_cast<TUpdateRecAction>(10);
  bool CachedUpdates() const { return FCachedUpdates; }
  void SetCachedUpdates(bool value);
  void ApplyUpdates(uint8_t kinds = TMemData::kAllUpdateRecKinds);
  void CommitUpdates();
  void CancelUpdates();
  void RestoreUpdates();
  void RevertRecord();
  bool UpdatesPending() const;
  // The current record's change kind, isUnmodified without cached updates.
  TItemStatus UpdateStatus() const;
  // The current record's result; urNone reads as urApplied.
  TUpdateRecAction UpdateResult() const;
  TUpdateRecordEvent OnUpdateRecord;
  TUpdateErrorEvent OnUpdateError;

 protected:
  void InternalEdit() override;
  void InternalInsert(bool append) override;
  void InternalPost() override;
  void InternalCancel() override;
  void InternalDelete() override;
  // The buffers re-read after the record list changed (an edit, the order or
  // the filter): the storage's current record when it is shown, else its
  // nearest shown neighbour (the next, else the prior one), else the first
  // record; the data sources are told.
  void Resync() override;
  // Resync without telling the data sources.
  void PlaceCursor();
  // Whether a posted record stays in the storage (without cached updates):
  // a record that left the dataset's scope is let go, its source keeps it.
  virtual bool KeepsPostedRecord(const uint8_t* /*recBuf*/) { return true; }
  // The record in work (new values) and the record as it was before (the
  // stored record while editing; the new record itself while inserting).
  uint8_t* NewRecBuf() { return FActiveBuffer.data(); }
  const uint8_t* OldRecBuf() const { return FOldBuffer.empty() ? FActiveBuffer.data() : FOldBuffer.data(); }
  // The record's change on its way to the source, before the storage takes
  // it: the provider writes it to the server. Insert and update may fill
  // values the server generated into `newBuf`.
  virtual void WriteInsert(uint8_t* /*newBuf*/) {}
  virtual void WriteUpdate(const uint8_t* /*oldBuf*/, uint8_t* /*newBuf*/) {}
  virtual void WriteDelete(const uint8_t* /*oldBuf*/) {}
  // The apply pass of the storage (the query runs it in a transaction).
  virtual void DoApplyUpdates(uint8_t kinds);
  // Carries out one cached change: urApplied, or urSuspended while it
  // waits in a batch that a later change sends.
  virtual TUpdateRecAction ApplyChange(TUpdateRecKind kind, uint8_t* newBuf, const uint8_t* oldBuf, bool last);
  void CheckCachedUpdates();

 private:
  // The record a read of `field` looks at, its number checked against the
  // storage's fields; none while there is no current record.
  const uint8_t* FieldRecord(const TField& field) const {
    if (!FReadBuffer && !(Active() && FHasCurrent)) return nullptr;
    const int fieldNo = field.FieldNo();
    if (fieldNo < 1 || fieldNo > FData->Fields().Count()) throw Exception(u"Field number out of range");
    return FReadBuffer ? FReadBuffer : FActiveBuffer.data();
  }
  // Drops the values the record in work owns.
  void ReleaseWorkBuffer();
  // The storage's callback of the apply pass: the events, then ApplyChange.
  void ApplyRecord(TUpdateRecKind kind, TUpdateRecAction& action, uint8_t* newBuf, const uint8_t* oldBuf, bool last);
  bool FCachedUpdates = false;

  // Moves one record forward or back, fetching at the end; the position stays
  // when there is none.
  bool Step(bool forward);
  void LoadCurrent();

  TMemData* FData = nullptr;
  std::vector<uint8_t> FActiveBuffer;
  // While editing: the stored record as it was (its values borrowed).
  std::vector<uint8_t> FOldBuffer;
  // While inserting: appended at the end rather than in front of the current record.
  bool FAppending = false;
  bool FHasCurrent = false;
  UString FIndexFieldNames;
  UString FFilter;
  bool FFiltered = false;
  TFilterOptions FFilterOptions = 0;
  TFilterRecordEvent FOnFilterRecord;
  TUpdateRecordTypes FUpdateRecordTypes = rtUnmodified | rtModified | rtInserted;
  bool FLocateBinarySearch = true;
  bool FTrimFixedChar = true;
  bool FTrimVarChar = false;
  bool FSetEmptyStrToNull = false;
};

inline bool TField::GetData(void* buffer, size_t size) const {
  return CheckDataSet().GetFieldData(*this, buffer, size);
}

}  // namespace vix
