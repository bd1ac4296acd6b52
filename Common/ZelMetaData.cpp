#include "Common/ZelMetaData.h"

#include <utility>

#include "Common/DBTypes.h"
#include "rtl/SysUtils.h"

namespace vix {

namespace {

struct TKindInfo {
  UStringView Name;
  std::vector<UStringView> Restrictions;
};

const std::vector<TKindInfo>& Kinds() {
  static const std::vector<TKindInfo> kinds = {
      {u"MetaDataKinds", {}},
      {u"Restrictions", {u"METADATA_NAME"}},
      {u"Tables", {u"TABLE_CATALOG", u"TABLE_SCHEMA", u"TABLE_NAME", u"TABLE_TYPE"}},
      {u"Columns", {u"TABLE_CATALOG", u"TABLE_SCHEMA", u"TABLE_NAME", u"COLUMN_NAME"}},
      {u"Procedures", {u"PROCEDURE_CATALOG", u"PROCEDURE_SCHEMA", u"PROCEDURE_NAME", u"PROCEDURE_TYPE"}},
      {u"ProcedureParameters", {u"PROCEDURE_CATALOG", u"PROCEDURE_SCHEMA", u"PROCEDURE_NAME", u"PARAMETER_NAME"}},
      {u"Indexes", {u"TABLE_CATALOG", u"TABLE_SCHEMA", u"TABLE_NAME", u"INDEX_NAME"}},
      {u"IndexColumns", {u"TABLE_CATALOG", u"TABLE_SCHEMA", u"TABLE_NAME", u"INDEX_NAME"}},
      {u"Constraints", {u"TABLE_CATALOG", u"TABLE_SCHEMA", u"TABLE_NAME", u"CONSTRAINT_NAME", u"CONSTRAINT_TYPE"}},
  };
  return kinds;
}

}  // namespace

// --- TMetaRestrictions --------------------------------------------------------------

TMetaRestrictions::TMetaRestrictions(const UString& text) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of(u"\r\n", start);
    if (end == UString::npos) end = text.size();
    const UStringView line = UStringView(text).substr(start, end - start);
    const size_t eq = line.find(u'=');
    if (eq != UStringView::npos) FLines.emplace_back(Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)));
    start = end + 1;
  }
}

UString TMetaRestrictions::Value(UStringView name) const {
  for (const auto& [n, v] : FLines)
    if (SameText(n, name)) return v;
  return UString();
}

// --- TMetaTable ---------------------------------------------------------------------

TMetaTable::TMetaTable(std::vector<TMetaColumn> columns) : FColumns(std::move(columns)) {
  FAutoInitFields = false;
  InitFields();
}

void TMetaTable::InternalInitFields() {
  for (const TMetaColumn& c : FColumns) {
    auto d = std::make_unique<TFieldDesc>();
    d->FName = UString(c.Name);
    d->FActualName = d->FName;
    d->FDataType = c.Type;
    d->FLength = static_cast<uint16_t>(c.Type == mtInt32 ? 0 : c.Length);
    d->FSize = DataTypeSize(c.Type, d->FLength);
    FFields.Add(std::move(d));
  }
}

void TMetaTable::AddRow(const std::vector<Variant>& values) {
  std::vector<uint8_t> rec = AllocRecBuf();
  InitRecord(rec.data());
  for (size_t i = 0; i < values.size() && i < FColumns.size(); ++i) {
    if (values[i].IsNull() || values[i].IsEmpty()) continue;
    PutFieldAsVariant(static_cast<int>(i) + 1, rec.data(), values[i]);
  }
  AppendRecord(rec.data());
  FreeComplexFields(rec.data());
}

// --- TZelMetaData -------------------------------------------------------------------

TZelMetaData::TZelMetaData() = default;
TZelMetaData::~TZelMetaData() = default;

TMemData& TZelMetaData::GetMetaData(TZelConnection* connection, TZelTransaction* transaction,
                                    const UString& restrictions, const UString& kind) {
  FConnection = connection;
  FTransaction = transaction;
  UString name = LowerCaseAscii(Trim(kind));
  if (name.empty()) name = u"metadatakinds";
  TMemData& data = InternalGetMetaData(name, TMetaRestrictions(restrictions));
  data.SetToBegin();
  return data;
}

void TZelMetaData::GetMetaDataKindsList(std::vector<UString>& list) const {
  list.clear();
  for (const TKindInfo& k : Kinds()) list.emplace_back(k.Name);
}

void TZelMetaData::GetRestrictionsList(std::vector<UString>& list, const UString& kind) const {
  list.clear();
  for (const TKindInfo& k : Kinds())
    if (SameText(k.Name, Trim(kind)))
      for (UStringView r : k.Restrictions) list.emplace_back(r);
}

TMemData& TZelMetaData::InternalGetMetaData(const UString& kind, const TMetaRestrictions& restrictions) {
  if (kind == u"metadatakinds") {
    TMetaTable& t = NewTable({{u"METADATA_NAME", mtWideString, 50}});
    for (const TKindInfo& k : Kinds()) t.AddRow({UString(k.Name)});
    return t;
  }
  if (kind == u"restrictions") {
    TMetaTable& t = NewTable({{u"METADATA_NAME", mtWideString, 50}, {u"RESTRICTION_NAME", mtWideString, 50}});
    const UString only = restrictions.Value(u"METADATA_NAME");
    for (const TKindInfo& k : Kinds()) {
      if (!only.empty() && !SameText(k.Name, only)) continue;
      for (UStringView r : k.Restrictions) t.AddRow({UString(k.Name), UString(r)});
    }
    return t;
  }
  throw EDatabaseError(u"Unsupported metadata kind");
}

TMetaTable& TZelMetaData::NewTable(std::vector<TMetaColumn> columns) {
  FTable.reset();
  FTable = std::make_unique<TMetaTable>(std::move(columns));
  FTable->Open();
  return *FTable;
}

void TZelMetaData::RequiredRestriction(UStringView name) {
  throw EDatabaseError(Format(u"%s restriction must be set", {UString(name)}));
}

}  // namespace vix

namespace vix {

std::unique_ptr<TZelMetaData> TZelConnection::CreateMetaData() {
  throw EDatabaseError(u"Operation is not supported by the database");
}

}  // namespace vix
