#include "Common/MemDS.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "rtl/CodePage.h"
#include "rtl/Currency.h"
#include "rtl/DateUtils.h"
#include "rtl/FMTBcd.h"
#include "rtl/FormatSettings.h"

namespace vix {

void DatabaseError(const UString& message, const TComponent* component) {
  if (component && !component->GetName().empty()) throw EDatabaseError(component->GetName() + u": " + message);
  throw EDatabaseError(message);
}

namespace {

// Texts read into a buffer on the stack up to this size.
constexpr size_t kFixedTextBuffer = 8194;

// The text in the form StrToInt reads: blanks in front dropped, and "x",
// "X", "0x" or "0X" after the sign written as "$".
UString IntegerText(const UString& text) {
  size_t i = 0;
  while (i < text.size() && text[i] == u' ') ++i;
  UString normal;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) normal.push_back(text[i++]);
  if (text.compare(i, 2, u"0x") == 0 || text.compare(i, 2, u"0X") == 0) {
    normal.push_back(u'$');
    i += 2;
  } else if (i < text.size() && (text[i] == u'x' || text[i] == u'X')) {
    normal.push_back(u'$');
    ++i;
  }
  normal.append(text, i);
  return normal;
}

// A duration beyond one day, or negative, as MySQL writes a TIME: the sign,
// hours of two digits or more, minutes, seconds and any milliseconds.
UString DurationText(TDateTime days) {
  const double ms = std::nearbyint(std::fabs(days) * static_cast<double>(kMSecsPerDay));
  if (!std::isfinite(ms) || ms > 9e15) return FloatToStr(days);
  const auto total = static_cast<int64_t>(ms);
  const int64_t secs = total / 1000;
  char text[48];
  int n =
      std::snprintf(text, sizeof text, "%s%02lld:%02d:%02d", days < 0 && total != 0 ? "-" : "",
                    static_cast<long long>(secs / 3600), static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60));
  if (total % 1000 != 0)
    n += std::snprintf(text + n, sizeof text - static_cast<size_t>(n), ".%03d", static_cast<int>(total % 1000));
  return UString(text, text + n);
}

[[noreturn]] void InvalidInteger(const UString& text) {
  throw EConvertError(u"'" + text + u"' is not a valid integer value");
}

}  // namespace

// --- TField ---------------------------------------------------------------------

TField::TField(TDataSet* dataSet, const TFieldDef& def)
    : FDataSet(dataSet),
      FFieldName(def.Name),
      FFieldNo(def.FieldNo),
      FDataType(def.DataType),
      FSize(def.Size),
      FReadOnly(def.ReadOnly),
      FRequired(def.Required) {}

TField::~TField() = default;

int TField::DataSize() const {
  return FSize;
}

void TField::NoDataSetError() const {
  DatabaseError(u"Field '" + FFieldName + u"' has no dataset");
}

bool TField::IsNull() const {
  return !CheckDataSet().GetFieldData(*this, nullptr, 0);
}

void TField::AccessError(const char16_t* typeName) const {
  DatabaseError(u"Cannot access field '" + DisplayName() + u"' as type " + typeName);
}

UString TField::AsString() const {
  AccessError(u"String");
}
int32_t TField::AsInteger() const {
  AccessError(u"Integer");
}
int64_t TField::AsLargeInt() const {
  AccessError(u"LargeInt");
}
double TField::AsFloat() const {
  AccessError(u"Float");
}
bool TField::AsBoolean() const {
  AccessError(u"Boolean");
}
Variant TField::AsVariant() const {
  AccessError(u"Variant");
}

void TField::SetAsVariant(const Variant& value) {
  if (!FDataSet) DatabaseError(u"Field '" + FFieldName + u"' has no dataset");
  FDataSet->SetFieldValue(*this, value);
}

// --- texts ------------------------------------------------------------------------

UString TStringField::AsString() const {
  const auto size = static_cast<size_t>(DataSize());
  std::vector<char> heap;
  char fixed[kFixedTextBuffer];
  char* buffer = fixed;
  if (size > sizeof fixed) {
    heap.resize(size);
    buffer = heap.data();
  }
  if (!GetData(buffer, size)) return UString();
  return AnsiToUtf16(std::string_view(buffer, std::strlen(buffer)));
}

UString TWideStringField::AsString() const {
  UString text;
  CheckDataSet().GetFieldText(*this, static_cast<size_t>(Size()), text);
  return text;
}

int32_t TStringField::AsInteger() const {
  const UString text = AsString();
  int32_t value;
  if (!TryStrToInt(IntegerText(text), value)) InvalidInteger(text);
  return value;
}

int64_t TStringField::AsLargeInt() const {
  const UString text = AsString();
  int64_t value;
  if (!TryStrToInt64(IntegerText(text), value)) InvalidInteger(text);
  return value;
}

double TStringField::AsFloat() const {
  return StrToFloat(AsString());
}

Variant TStringField::AsVariant() const {
  if (IsNull()) return Variant::Null();
  return Variant(AsString());
}

// --- integers ---------------------------------------------------------------------

int64_t TIntegerField::AsLargeInt() const {
  uint8_t buffer[8] = {};
  if (!GetData(buffer, sizeof buffer)) return 0;
  switch (DataType()) {
    case ftSmallint: {
      int16_t v;
      std::memcpy(&v, buffer, sizeof v);
      return v;
    }
    case ftWord: {
      uint16_t v;
      std::memcpy(&v, buffer, sizeof v);
      return v;
    }
    case ftLargeint: {
      int64_t v;
      std::memcpy(&v, buffer, sizeof v);
      return v;
    }
    default: {
      int32_t v;
      std::memcpy(&v, buffer, sizeof v);
      return v;
    }
  }
}

int64_t TLongWordField::AsLargeInt() const {
  uint8_t buffer[8] = {};
  if (!GetData(buffer, sizeof buffer)) return 0;
  uint32_t v;
  std::memcpy(&v, buffer, sizeof v);
  return v;
}

int32_t TLongWordField::AsInteger() const {
  const int64_t v = AsLargeInt();
  if (v > INT32_MAX)
    DatabaseError(FloatToStr(static_cast<double>(v)) + u" is not a valid value for field '" + DisplayName() +
                  u"'. The allowed range is 0 to 2147483647");
  return static_cast<int32_t>(v);
}

Variant TLongWordField::AsVariant() const {
  if (IsNull()) return Variant::Null();
  return Variant(static_cast<uint32_t>(AsLargeInt()));
}

uint64_t TLargeUIntField::AsUInt64() const {
  uint64_t v = 0;
  return GetData(&v, sizeof v) ? v : 0;
}

UString TLargeUIntField::AsString() const {
  return IsNull() ? UString() : UIntToStr(AsUInt64());
}

int64_t TLargeUIntField::AsLargeInt() const {
  const uint64_t v = AsUInt64();
  if (v > static_cast<uint64_t>(INT64_MAX))
    DatabaseError(UIntToStr(v) + u" is not a valid value for field '" + DisplayName() +
                  u"'. The allowed range is 0 to 9223372036854775807");
  return static_cast<int64_t>(v);
}

int32_t TLargeUIntField::AsInteger() const {
  const uint64_t v = AsUInt64();
  if (v > INT32_MAX)
    DatabaseError(UIntToStr(v) + u" is not a valid value for field '" + DisplayName() +
                  u"'. The allowed range is 0 to 2147483647");
  return static_cast<int32_t>(v);
}

Variant TLargeUIntField::AsVariant() const {
  if (IsNull()) return Variant::Null();
  return Variant(AsUInt64());
}

UString TIntegerField::AsString() const {
  return IsNull() ? UString() : IntToStr(AsLargeInt());
}

Variant TIntegerField::AsVariant() const {
  if (IsNull()) return Variant::Null();
  if (DataType() == ftLargeint) return Variant(AsLargeInt());
  return Variant(AsInteger());
}

// --- floats -------------------------------------------------------------------------

double TFloatField::AsFloat() const {
  double v = 0;
  return GetData(&v, sizeof v) ? v : 0;
}

UString TFloatField::AsString() const {
  return IsNull() ? UString() : FloatToStr(AsFloat());
}
int32_t TFloatField::AsInteger() const {
  return Variant(AsFloat()).AsInteger();
}
int64_t TFloatField::AsLargeInt() const {
  return Variant(AsFloat()).AsInt64();
}

Variant TFloatField::AsVariant() const {
  if (IsNull()) return Variant::Null();
  return Variant(AsFloat());
}

// --- decimals -------------------------------------------------------------------------

Variant TBCDField::AsVariant() const {
  if (DataType() == ftFMTBcd) {
    TBcd bcd{};
    if (!GetData(&bcd, sizeof bcd)) return Variant::Null();
    return Variant(bcd);
  }
  int64_t raw = 0;
  if (!GetData(&raw, sizeof raw)) return Variant::Null();
  return Variant(Currency::FromRaw(raw));
}

UString TBCDField::AsString() const {
  const Variant v = AsVariant();
  if (v.IsNull()) return UString();
  return DataType() == ftFMTBcd ? BcdToStr(v.AsBcd()) : CurrToStr(v.AsCurrency());
}

int32_t TBCDField::AsInteger() const {
  const Variant v = AsVariant();
  return v.IsNull() ? 0 : v.AsInteger();
}

int64_t TBCDField::AsLargeInt() const {
  const Variant v = AsVariant();
  return v.IsNull() ? 0 : v.AsInt64();
}

double TBCDField::AsFloat() const {
  const Variant v = AsVariant();
  return v.IsNull() ? 0 : v.AsFloat();
}

// --- booleans -----------------------------------------------------------------------

TBooleanField::TBooleanField(TDataSet* dataSet, const TFieldDef& def) : TField(dataSet, def) {}

void TBooleanField::SetDisplayValues(const UString& value) {
  FDisplayValues = value;
  if (value.empty()) {
    FTrueText = u"True";
    FFalseText = u"False";
    return;
  }
  const size_t semicolon = value.find(u';');
  FTrueText = value.substr(0, semicolon);
  FFalseText = semicolon == UString::npos ? UString() : value.substr(semicolon + 1);
}

bool TBooleanField::AsBoolean() const {
  int16_t v = 0;
  return GetData(&v, sizeof v) && v != 0;
}

UString TBooleanField::AsString() const {
  if (IsNull()) return UString();
  return AsBoolean() ? FTrueText : FFalseText;
}

Variant TBooleanField::AsVariant() const {
  if (IsNull()) return Variant::Null();
  return Variant(AsBoolean());
}

// --- dates and times -----------------------------------------------------------------

TDateTime TDateTimeField::AsDateTime() const {
  TDateTime value = 0;
  return CheckDataSet().GetFieldDateTime(*this, value) ? value : 0;
}

bool TDataSet::GetFieldDateTime(const TField& field, TDateTime& value) const {
  uint8_t buffer[8] = {};
  if (!GetFieldData(field, buffer, sizeof buffer)) return false;
  switch (field.DataType()) {
    case ftDate: {
      TTimeStamp stamp;
      std::memcpy(&stamp.Date, buffer, sizeof stamp.Date);
      value = TimeStampToDateTime(stamp);
      break;
    }
    case ftTime: {
      // A duration: the signed number of days, whole days included.
      std::memcpy(&value, buffer, sizeof value);
      break;
    }
    default: {
      double msecs;
      std::memcpy(&msecs, buffer, sizeof msecs);
      value = TimeStampToDateTime(MSecsToTimeStamp(msecs));
      break;
    }
  }
  return true;
}

UString TDateTimeField::AsString() const {
  if (IsNull()) return UString();
  const TDateTime value = AsDateTime();
  switch (DataType()) {
    case ftDate: return DateToStr(value);
    case ftTime: return value >= 0 && value < 1 ? TimeToStr(value) : DurationText(value);
    default: return DateTimeToStr(value);
  }
}

double TDateTimeField::AsFloat() const {
  return AsDateTime();
}

Variant TDateTimeField::AsVariant() const {
  if (IsNull()) return Variant::Null();
  return Variant::FromDate(AsDateTime());
}

// --- blobs and bytes -----------------------------------------------------------------

std::string TBlobField::AsBytes() const {
  TBlob* blob = CheckDataSet().GetBlob(*this);
  return blob ? blob->AsBytes() : std::string();
}

UString TBlobField::AsString() const {
  TBlob* blob = CheckDataSet().GetBlob(*this);
  if (!blob) return UString();
  if (DataType() == ftBlob) return AnsiToUtf16(blob->AsBytes());
  return blob->AsString();
}

Variant TBlobField::AsVariant() const {
  if (IsNull()) return Variant::Null();
  if (DataType() == ftBlob) return Variant::FromBytes(AsBytes());
  return Variant(AsString());
}

std::string TBytesField::AsBytes() const {
  std::string bytes(static_cast<size_t>(DataType() == ftVarBytes ? Size() + 2 : Size()), '\0');
  if (bytes.empty() || !GetData(bytes.data(), bytes.size())) return std::string();
  if (DataType() != ftVarBytes) return bytes;
  uint16_t length;
  std::memcpy(&length, bytes.data(), sizeof length);
  return bytes.substr(2, std::min<size_t>(length, bytes.size() - 2));
}

UString TBytesField::AsString() const {
  return AnsiToUtf16(AsBytes());
}

Variant TBytesField::AsVariant() const {
  if (IsNull()) return Variant::Null();
  return Variant::FromBytes(AsBytes());
}

std::unique_ptr<TField> CreateField(TDataSet* dataSet, const TFieldDef& def) {
  switch (def.DataType) {
    case ftString:
    case ftFixedChar: return std::make_unique<TStringField>(dataSet, def);
    case ftWideString:
    case ftFixedWideChar: return std::make_unique<TWideStringField>(dataSet, def);
    case ftGuid: return std::make_unique<TGuidField>(dataSet, def);
    case ftSmallint: return std::make_unique<TSmallintField>(dataSet, def);
    case ftInteger: return std::make_unique<TIntegerField>(dataSet, def);
    case ftWord: return std::make_unique<TWordField>(dataSet, def);
    case ftLargeint:
      if (def.Unsigned) return std::make_unique<TLargeUIntField>(dataSet, def);
      return std::make_unique<TLargeintField>(dataSet, def);
    case ftLongWord: return std::make_unique<TLongWordField>(dataSet, def);
    case ftBoolean: return std::make_unique<TBooleanField>(dataSet, def);
    case ftFloat: return std::make_unique<TFloatField>(dataSet, def);
    case ftCurrency: return std::make_unique<TCurrencyField>(dataSet, def);
    case ftBCD: return std::make_unique<TBCDField>(dataSet, def);
    case ftFMTBcd: return std::make_unique<TFMTBCDField>(dataSet, def);
    case ftDate: return std::make_unique<TDateField>(dataSet, def);
    case ftTime: return std::make_unique<TTimeField>(dataSet, def);
    case ftDateTime: return std::make_unique<TDateTimeField>(dataSet, def);
    case ftBlob: return std::make_unique<TBlobField>(dataSet, def);
    case ftMemo: return std::make_unique<TMemoField>(dataSet, def);
    case ftWideMemo: return std::make_unique<TWideMemoField>(dataSet, def);
    case ftBytes: return std::make_unique<TBytesField>(dataSet, def);
    case ftVarBytes: return std::make_unique<TVarBytesField>(dataSet, def);
    default: return std::make_unique<TField>(dataSet, def);
  }
}

// --- TDataSet ---------------------------------------------------------------------------

TDataSet::TDataSet() = default;

TDataSet::~TDataSet() {
  for (TDataSource* source : std::vector<TDataSource*>(FDataSources)) source->SetDataSet(nullptr);
}

void TDataSet::NotifyDataSources(bool activeChanged) {
  for (TDataSource* source : std::vector<TDataSource*>(FDataSources)) {
    if (activeChanged) source->NotifyActiveChanged();
    else source->NotifyRecordChanged();
  }
}

void TDataSet::NotifyFieldChanged(const TField& field) {
  for (TDataSource* source : std::vector<TDataSource*>(FDataSources)) source->NotifyFieldChanged(field);
}

// --- TDataSource / TDataLink ---------------------------------------------------------------

TDataSource::TDataSource(TDataSet* dataSet) {
  SetDataSet(dataSet);
}

TDataSource::~TDataSource() {
  SetDataSet(nullptr);
  for (TDataLink* link : std::vector<TDataLink*>(FLinks)) link->SetDataSource(nullptr);
}

void TDataSource::SetDataSet(TDataSet* value) {
  if (value == FDataSet) return;
  if (FDataSet) std::erase(FDataSet->FDataSources, this);
  FDataSet = value;
  if (FDataSet) FDataSet->FDataSources.push_back(this);
  NotifyActiveChanged();
}

void TDataSource::NotifyActiveChanged() {
  ForEachLink([](TDataLink& link) { link.ActiveChanged(); });
}

void TDataSource::NotifyRecordChanged() {
  ForEachLink([](TDataLink& link) { link.RecordChanged(); });
}

void TDataSource::NotifyFieldChanged(const TField& field) {
  ForEachLink([&field](TDataLink& link) { link.FieldChanged(field); });
}

void TDataSource::NotifyRecordLeaving() {
  ForEachLink([](TDataLink& link) { link.RecordLeaving(); });
}

void TDataSource::NotifyCheckBrowseMode() {
  ForEachLink([](TDataLink& link) { link.CheckBrowseMode(); });
}

TDataLink::~TDataLink() {
  if (FDataSource) std::erase(FDataSource->FLinks, this);
}

void TDataLink::SetDataSource(TDataSource* value) {
  if (value == FDataSource) return;
  if (FDataSource) std::erase(FDataSource->FLinks, this);
  FDataSource = value;
  if (FDataSource) FDataSource->FLinks.push_back(this);
}

TDataSet* TDataLink::DataSet() const {
  return FDataSource ? FDataSource->DataSet() : nullptr;
}

bool TDataLink::Active() const {
  TDataSet* dataSet = DataSet();
  return dataSet && dataSet->Active();
}

void TDataSet::Open() {
  if (Active()) return;
  if (BeforeOpen) BeforeOpen(*this);
  try {
    OpenCursor();
  } catch (...) {
    DestroyFields();
    throw;
  }
  FState = dsBrowse;
  NotifyDataSources(true);
  if (AfterOpen) AfterOpen(*this);
}

void TDataSet::Close() {
  if (!Active()) return;
  if (BeforeClose) BeforeClose(*this);
  // A record in work is dropped with the records.
  if (FState == dsEdit || FState == dsInsert) InternalCancel();
  FModified = false;
  FState = dsInactive;
  FBof = FEof = true;
  CloseCursor();
  NotifyDataSources(true);
  if (AfterClose) AfterClose(*this);
}

void TDataSet::First() {
  CheckLeaveRecord();
  if (!Active()) return;
  const bool found = InternalFirst();
  FBof = true;
  FEof = !found;
  NotifyDataSources(false);
}

void TDataSet::Last() {
  CheckLeaveRecord();
  if (!Active()) return;
  const bool found = InternalLast();
  FEof = true;
  FBof = !found;
  NotifyDataSources(false);
}

void TDataSet::Next() {
  CheckLeaveRecord();
  if (!Active() || FEof) return;
  if (InternalNext()) {
    FBof = false;
    NotifyDataSources(false);
  } else {
    FEof = true;
  }
}

void TDataSet::Prior() {
  CheckLeaveRecord();
  if (!Active() || FBof) return;
  if (InternalPrior()) {
    FEof = false;
    NotifyDataSources(false);
  } else {
    FBof = true;
  }
}

bool TDataSet::GetFieldText(const TField& field, size_t maxChars, UString& text) const {
  const size_t size = 2 * (maxChars + 1);
  std::vector<char16_t> heap;
  char16_t fixed[kFixedTextBuffer / 2];
  char16_t* buffer = fixed;
  if (size > sizeof fixed) {
    heap.resize(maxChars + 1);
    buffer = heap.data();
  }
  if (!GetFieldData(field, buffer, size)) return false;
  text.assign(buffer);
  return true;
}

TField& TDataSet::Fields(int index) const {
  if (index < 0 || index >= FieldCount()) ListIndexError(index);
  return *FFields[static_cast<size_t>(index)];
}

TField* TDataSet::FindField(UStringView name) const {
  for (const auto& field : FFields)
    if (SameText(field->FieldName(), name)) return field.get();
  return nullptr;
}

TField& TDataSet::FieldByName(UStringView name) const {
  TField* field = FindField(name);
  if (!field) DatabaseError(u"Field '" + UString(name) + u"' not found", this);
  return *field;
}

void TDataSet::CreateFields() {
  FFields.clear();
  for (const TFieldDef& def : FFieldDefs)
    if (!def.Hidden) FFields.push_back(CreateField(this, def));
}

void TDataSet::DestroyFields() {
  FFields.clear();
}

void TDataSet::CheckBrowseMode() {
  if (!Active()) return;
  // The links first: a detail settles its own record in work.
  if (!FDataSources.empty())
    for (TDataSource* source : std::vector<TDataSource*>(FDataSources)) source->NotifyCheckBrowseMode();
  if (FState != dsEdit && FState != dsInsert) return;
  // A record in work that nobody wrote to is dropped, not posted.
  if (FModified) Post();
  else Cancel();
}

void TDataSet::CheckLeaveRecord() {
  CheckBrowseMode();
  CheckLinksLetLeave();
}

void TDataSet::CheckLinksLetLeave() {
  if (!Active()) return;
  for (TDataSource* source : std::vector<TDataSource*>(FDataSources)) source->NotifyRecordLeaving();
}

// --- editing ---------------------------------------------------------------------

void TDataSet::Edit() {
  if (FState == dsEdit || FState == dsInsert) return;
  if (!Active()) DatabaseError(u"Dataset not open", this);
  if (!CanModify()) DatabaseError(u"Cannot modify a read-only dataset", this);
  if (IsEmpty()) DatabaseError(u"Cannot perform this operation on an empty dataset", this);
  if (BeforeEdit) BeforeEdit(*this);
  InternalEdit();
  FState = dsEdit;
  FModified = false;
  if (AfterEdit) AfterEdit(*this);
}

void TDataSet::Insert() {
  DoInsert(false);
}

void TDataSet::Append() {
  DoInsert(true);
}

void TDataSet::DoInsert(bool append) {
  if (!Active()) DatabaseError(u"Dataset not open", this);
  CheckLeaveRecord();
  if (!CanModify()) DatabaseError(u"Cannot modify a read-only dataset", this);
  if (BeforeInsert) BeforeInsert(*this);
  InternalInsert(append);
  FState = dsInsert;
  FModified = false;
  try {
    DoOnNewRecord();
  } catch (...) {
    InternalCancel();
    FState = dsBrowse;
    throw;
  }
  FModified = false;
  if (AfterInsert) AfterInsert(*this);
}

void TDataSet::Post() {
  if (FState != dsEdit && FState != dsInsert) {
    if (!Active()) DatabaseError(u"Dataset not open", this);
    return;
  }
  if (BeforePost) BeforePost(*this);
  InternalPost();
  FState = dsBrowse;
  FModified = false;
  // The links see the record as it was stored (a detail follows its master's new values).
  NotifyDataSources(false);
  if (AfterPost) AfterPost(*this);
}

void TDataSet::DoOnNewRecord() {
  if (OnNewRecord) OnNewRecord(*this);
}

void TDataSet::Cancel() {
  if (FState != dsEdit && FState != dsInsert) return;
  if (BeforeCancel) BeforeCancel(*this);
  InternalCancel();
  FState = dsBrowse;
  FModified = false;
  if (AfterCancel) AfterCancel(*this);
}

void TDataSet::Delete() {
  if (!Active()) DatabaseError(u"Dataset not open", this);
  if (FState == dsInsert) {
    Cancel();
    return;
  }
  if (!CanModify()) DatabaseError(u"Cannot modify a read-only dataset", this);
  if (IsEmpty()) DatabaseError(u"Cannot perform this operation on an empty dataset", this);
  // The record goes and another becomes current: the links may refuse
  // before anything is deleted.
  CheckLinksLetLeave();
  if (BeforeDelete) BeforeDelete(*this);
  if (FState == dsEdit) {
    InternalCancel();
    FState = dsBrowse;
  }
  InternalDelete();
  if (AfterDelete) AfterDelete(*this);
}

void TDataSet::CheckInactive() const {
  if (Active()) DatabaseError(u"Cannot perform this operation on an open dataset", this);
}

// --- TMemDataSet --------------------------------------------------------------------------

TMemDataSet::TMemDataSet() = default;
TMemDataSet::~TMemDataSet() = default;

int TMemDataSet::RecordCount() const {
  return Active() && FData ? FData->RecordCount() : 0;
}

int TMemDataSet::RecNo() const {
  return Active() && FHasCurrent ? FData->RecordNo() : 0;
}

bool TMemDataSet::GetFieldData(const TField& field, void* buffer, size_t size) const {
  const uint8_t* const record = FieldRecord(field);
  if (!record) return false;
  bool blank = true;
  const int fieldNo = field.FieldNo();
  const TFieldDesc& desc = FData->Fields()[fieldNo - 1];
  if (desc.FDataType == mtTime) {
    // A TIME is a signed duration of up to 838 hours: its native form is the
    // double of days the record holds, not a time of day.
    const Variant value = FData->GetFieldAsVariant(field.FieldNo(), record);
    if (value.IsNull()) return false;
    const double days = value.AsDateTime();
    if (buffer && size > 0) std::memcpy(buffer, &days, std::min(size, sizeof days));
    return true;
  }
  if (desc.FDataType == mtInt8) {
    // An 8-bit column reads as the 16-bit value of its field.
    int8_t small = 0;
    FData->GetField(field.FieldNo(), record, blank, &small, sizeof small);
    if (!blank && buffer && size > 0) {
      const int16_t wide = small;
      std::memcpy(buffer, &wide, std::min(size, sizeof wide));
    }
    return !blank;
  }
  FData->ReadCheckedField(fieldNo, record, blank, buffer, buffer ? size : 0);
  return !blank;
}

bool TMemDataSet::GetFieldText(const TField& field, size_t maxChars, UString& text) const {
  const uint8_t* const record = FieldRecord(field);
  if (!record) return false;
  const int fieldNo = field.FieldNo();
  const TDataType type = FData->Fields()[fieldNo - 1].FDataType;
  if (type != mtWideString && type != mtExtWideString) return TDataSet::GetFieldText(field, maxChars, text);
  return FData->ReadCheckedWideText(fieldNo, record, maxChars, text);
}

bool TMemDataSet::GetFieldDateTime(const TField& field, TDateTime& value) const {
  const uint8_t* const record = FieldRecord(field);
  if (!record) return false;
  const int fieldNo = field.FieldNo();
  if (FData->Fields()[fieldNo - 1].FDataType != mtDateTime || field.DataType() != ftDateTime)
    return TDataSet::GetFieldDateTime(field, value);
  return FData->ReadCheckedDateTime(fieldNo, record, value);
}

TBlob* TMemDataSet::GetBlob(const TField& field) const {
  if (!FReadBuffer && !(Active() && FHasCurrent)) return nullptr;
  const uint8_t* const record = FReadBuffer ? FReadBuffer : FActiveBuffer.data();
  if (FData->GetNull(field.FieldNo(), record)) return nullptr;
  return FData->GetBlob(field.FieldNo(), record);
}

// --- editing ---------------------------------------------------------------------------

void TMemDataSet::SetFieldValue(const TField& field, const Variant& value) {
  if (State() != dsEdit && State() != dsInsert) DatabaseError(u"Dataset not in edit or insert mode", this);
  if (field.ReadOnly()) DatabaseError(u"Field '" + field.DisplayName() + u"' cannot be modified", this);
  const int fieldNo = field.FieldNo();
  if (fieldNo < 1 || fieldNo > FData->Fields().Count()) throw Exception(u"Field number out of range");
  uint8_t* buf = FActiveBuffer.data();
  const auto write = [&](const Variant& v) {
    if (IsBlobDataType(FData->Fields()[fieldNo - 1].FDataType)) {
      // The stored record keeps its own blob: the record in work gets a new one.
      TBlob* blob = FData->GetBlob(fieldNo, buf);
      TBlob* own = new TBlob(blob ? blob->IsUnicode() : FData->Fields()[fieldNo - 1].FDataType == mtWideMemo);
      FData->SetBlob(fieldNo, buf, own);
      own->Release();
    }
    if (FData->Fields()[fieldNo - 1].FDataType == mtTime && !v.IsEmptyOrNull()) {
      FData->PutFieldAsVariant(fieldNo, buf, Variant::FromDate(v.AsDateTime()));
    } else {
      FData->PutFieldAsVariant(fieldNo, buf, v);
    }
  };
  // A link may refuse the change (a detail that cannot follow its master):
  // the field then keeps its value, and the record its modified state.
  const bool linked = !FDataSources.empty();
  const Variant previous = linked ? FData->GetFieldAsVariant(fieldNo, buf) : Variant();
  const bool wasModified = Modified();
  write(value);
  SetModified(true);
  try {
    NotifyFieldChanged(field);
  } catch (...) {
    write(previous);
    SetModified(wasModified);
    throw;
  }
}

void TMemDataSet::InternalEdit() {
  if (!FHasCurrent || !FData->CurrentItem) DatabaseError(u"Cannot perform this operation on an empty dataset", this);
  FData->GetRecord(FActiveBuffer.data());
  FOldBuffer = FActiveBuffer;
  // The record in work owns its values from now on.
  FData->AddRefComplexFields(FActiveBuffer.data());
}

void TMemDataSet::InternalInsert(bool append) {
  if (append) FetchRest();
  FAppending = append || !FHasCurrent;
  FData->InitRecord(FActiveBuffer.data());
  FOldBuffer.clear();
  FHasCurrent = true;
}

void TMemDataSet::ReleaseWorkBuffer() {
  FData->FreeComplexFields(FActiveBuffer.data());
}

void TMemDataSet::InternalPost() {
  uint8_t* buf = FActiveBuffer.data();
  if (FCachedUpdates) {
    if (State() == dsEdit) FData->CachedUpdate(buf);
    else FData->CachedInsert(buf, FAppending);
  } else if (State() == dsEdit) {
    WriteUpdate(FOldBuffer.data(), buf);
    FData->UpdateRecord(buf);
  } else {
    WriteInsert(buf);
    if (FAppending) FData->AppendRecord(buf);
    else FData->InsertRecord(buf);
  }
  // The storage holds its own references now.
  ReleaseWorkBuffer();
  FOldBuffer.clear();
  try {
    TItemHeader* const item = FData->CurrentItem;
    if (!FCachedUpdates && !KeepsPostedRecord(TBlockManager::GetRecordPtr(item))) {
      // Out of the dataset's scope: the storage lets it go, the source keeps it.
      FData->DeleteRecord();
    } else {
      // The new values have their place in the order and their own answer
      // from the filter.
      FData->ItemChanged(item);
    }
    PlaceCursor();
  } catch (...) {
    // The record is stored whatever went wrong after: the record in work is gone.
    SetState(dsBrowse);
    SetModified(false);
    if (FData->CurrentItem) LoadCurrent();
    else FHasCurrent = false;
    throw;
  }
}

void TMemDataSet::InternalCancel() {
  ReleaseWorkBuffer();
  FOldBuffer.clear();
  Resync();
}

void TMemDataSet::InternalDelete() {
  if (FCachedUpdates) {
    FData->CachedDelete();
  } else {
    FData->GetRecord(FActiveBuffer.data());
    WriteDelete(FActiveBuffer.data());
    FData->DeleteRecord();
  }
  Resync();
}

// --- cached updates ------------------------------------------------------------------------

void TMemDataSet::SetCachedUpdates(bool value) {
  if (value == FCachedUpdates) return;
  CheckInactive();
  FCachedUpdates = value;
}

void TMemDataSet::CheckCachedUpdates() {
  if (!Active()) DatabaseError(u"Dataset not open", this);
  if (!FCachedUpdates) DatabaseError(u"Not in cached update mode", this);
}

void TMemDataSet::ApplyUpdates(uint8_t kinds) {
  if (!Active()) DatabaseError(u"Dataset not open", this);
  CheckBrowseMode();
  CheckCachedUpdates();
  try {
    DoApplyUpdates(kinds);
  } catch (...) {
    if (Active()) Resync();
    throw;
  }
  if (Active()) Resync();
}

void TMemDataSet::DoApplyUpdates(uint8_t kinds) {
  FData->ApplyUpdates(kinds);
}

void TMemDataSet::CommitUpdates() {
  if (!Active()) DatabaseError(u"Dataset not open", this);
  CheckBrowseMode();
  CheckCachedUpdates();
  if (FData->UpdatesPending()) ApplyUpdates();
  FData->CommitUpdates();
  Resync();
}

void TMemDataSet::CancelUpdates() {
  Cancel();
  CheckCachedUpdates();
  FData->CancelUpdates();
  Resync();
}

void TMemDataSet::RestoreUpdates() {
  Cancel();
  CheckCachedUpdates();
  FData->RestoreUpdates();
  Resync();
}

void TMemDataSet::RevertRecord() {
  Cancel();
  CheckCachedUpdates();
  if (FHasCurrent) FData->RevertRecord();
  Resync();
}

bool TMemDataSet::UpdatesPending() const {
  return Active() && FCachedUpdates && FData->UpdatesPending();
}

TItemStatus TMemDataSet::UpdateStatus() const {
  if (!Active() || !FCachedUpdates || !FHasCurrent || !FData->CurrentItem) return isUnmodified;
  return static_cast<TItemStatus>(FData->CurrentItem->Status);
}

TUpdateRecAction TMemDataSet::UpdateResult() const {
  if (!Active() || !FCachedUpdates || !FHasCurrent || !FData->CurrentItem) return urApplied;
  const auto result = static_cast<TUpdateRecAction>(FData->CurrentItem->UpdateResult);
  return result == urNone ? urApplied : result;
}

TUpdateRecAction TMemDataSet::ApplyChange(TUpdateRecKind kind, uint8_t* newBuf, const uint8_t* oldBuf, bool) {
  switch (kind) {
    case TMemData::ukInsert: WriteInsert(newBuf); break;
    case TMemData::ukUpdate: WriteUpdate(oldBuf, newBuf); break;
    case TMemData::ukDelete: WriteDelete(oldBuf); break;
  }
  return urApplied;
}

void TMemDataSet::ApplyRecord(TUpdateRecKind kind, TUpdateRecAction& action, uint8_t* newBuf, const uint8_t* oldBuf,
                              bool last) {
  const bool modified = Modified();
  struct TRestore {
    TMemDataSet& d;
    bool m;
    ~TRestore() { d.SetModified(m); }
  } restore{*this, modified};
  if (OnUpdateRecord) {
    action = urFail;
    // The handler reads the record through the fields.
    FData->GetRecord(FActiveBuffer.data());
    FHasCurrent = true;
    OnUpdateRecord(*this, kind, action);
    if (action == urFail) DatabaseError(u"Update failed");
    if (action == urAbort) throw EAbort();
    if (action != kUpdateRecActionDefault) return;
  }
  try {
    action = ApplyChange(kind, newBuf, oldBuf, last);
  } catch (const EDatabaseError& e) {
    if (!OnUpdateError) throw;
    TUpdateRecAction answer = urFail;
    OnUpdateError(*this, e, kind, answer);
    if (answer == urFail) throw;
    if (answer == urAbort) throw EAbort();
    action = answer;
  }
}

void TMemDataSet::Resync() {
  if (!Active()) return;
  PlaceCursor();
  NotifyDataSources(false);
}

void TMemDataSet::PlaceCursor() {
  FData->SkipHiddenCurrent();
  const TItemHeader* current = FData->CurrentItem;
  if (current && current->Order != 0) {
    LoadCurrent();
    FBof = FEof = false;
  } else {
    // Not First(): this runs inside Post and Delete, in the editing states.
    const bool found = InternalFirst();
    FBof = true;
    FEof = !found;
  }
}

void TMemDataSet::DataOpen() {
  FData->Open();
}

void TMemDataSet::DataClose() {
  FData->Close();
}

void TMemDataSet::OpenCursor() {
  if (!FData) DatabaseError(u"Dataset has no record storage", this);
  FData->FTrimFixedChar = FTrimFixedChar;
  FData->FTrimVarChar = FTrimVarChar;
  FData->FSetEmptyStrToNull = FSetEmptyStrToNull;
  FData->FCachedUpdates = FCachedUpdates;
  FData->OnApplyRecord = [this](TUpdateRecKind kind, TUpdateRecAction& action, uint8_t* newBuf, const uint8_t* oldBuf,
                                bool last) { ApplyRecord(kind, action, newBuf, oldBuf, last); };
  try {
    FData->SetIndexFieldNames(FIndexFieldNames);
    // A record filter handler reads fields, which exist only after the rows
    // came: it judges the records once the fields are made.
    const bool handler = FFiltered && FOnFilterRecord;
    ApplyFilter(!handler);
    DataOpen();
    if (!FData->IndexFields().empty()) FData->SortItems();
    if (!FFieldDefsUpdated) {
      CreateFieldDefs();
      FFieldDefsUpdated = true;
    }
    CreateFields();
    if (handler) {
      ApplyFilter();
      FData->FilterUpdated();
    }
    FActiveBuffer = FData->AllocRecBuf();
    FHasCurrent = false;
    const bool found = InternalFirst();
    FBof = true;
    FEof = !found;
  } catch (...) {
    FHasCurrent = false;
    DestroyFields();
    if (!FData->Prepared()) FFieldDefsUpdated = false;
    // The open's own error is the one that counts.
    if (FData->Active()) {
      try {
        FData->Close();
      } catch (...) {
      }
    }
    throw;
  }
}

void TMemDataSet::CloseCursor() {
  FHasCurrent = false;
  DestroyFields();
  FActiveBuffer.clear();
  if (!FData->Prepared()) FFieldDefsUpdated = false;
  DataClose();
}

void TMemDataSet::CreateFieldDefs() {
  FFieldDefs.clear();
  const TFieldDescs& descs = FData->Fields();
  for (int i = 0; i < descs.Count(); ++i) {
    const TFieldDesc& d = descs[i];
    if (!d.IsTopLevel() || d.FFieldDescKind != fdkData || d.FHiddenObject) continue;
    TFieldDef def;
    def.DataType = d.FDataType > mtUInt64 || d.FDataType == mtSQLTimeStamp ? ftUnknown : GetFieldType(d.FDataType);
    def.Unsigned = d.FDataType == mtUInt64;
    if (def.DataType == ftUnknown) DatabaseError(u"Data type is not supported", this);
    switch (def.DataType) {
      case ftString:
      case ftWideString:
      case ftGuid: def.Size = d.FLength ? d.FLength : 1; break;
      case ftBytes:
      case ftVarBytes: def.Size = d.FLength; break;
      case ftSmallint:
      case ftInteger:
      case ftFloat:
      case ftLargeint: def.Precision = d.FLength; break;
      case ftBCD:
      case ftFMTBcd:
        def.Precision = d.FLength;
        def.Size = d.FScale;
        break;
      default: break;
    }
    def.Name = d.FName;
    def.FieldNo = d.FFieldNo;
    def.Required = d.FRequired;
    def.ReadOnly = d.FReadOnly;
    def.Hidden = d.FHidden;
    def.Fixed = d.FFixed;
    FFieldDefs.push_back(std::move(def));
  }
}

void TMemDataSet::FetchRest() {
  while (FetchMore()) {
  }
}

void TMemDataSet::LoadCurrent() {
  FData->GetRecord(FActiveBuffer.data());
  FHasCurrent = true;
}

bool TMemDataSet::InternalFirst() {
  FData->SetToBegin();
  if (Step(true)) return true;
  FHasCurrent = false;
  return false;
}

bool TMemDataSet::InternalLast() {
  FetchRest();
  FData->SetToEnd();
  if (Step(false)) return true;
  FHasCurrent = false;
  return false;
}

bool TMemDataSet::InternalNext() {
  return Step(true);
}
bool TMemDataSet::InternalPrior() {
  return Step(false);
}

bool TMemDataSet::Step(bool forward) {
  TItemHeader* const from = FData->CurrentItem;
  const bool atStart = FData->Bof();
  for (;;) {
    if (forward ? FData->GetNextRecord() : FData->GetPriorRecord()) {
      LoadCurrent();
      return true;
    }
    // Back where we were: the storage forgets its place at either end.
    FData->CurrentItem = from;
    if (!from) atStart ? FData->SetToBegin() : FData->SetToEnd();
    if (!forward || !FetchMore()) return false;
  }
}

}  // namespace vix
