// The generated INSERT, UPDATE, DELETE and lock statements of a dataset.
#include "Common/DASQLGenerator.h"

#include <algorithm>
#include <array>

#include "Common/DASQLText.h"
#include "Common/DBAccess.h"

namespace vix {

namespace {

// The statement is the concatenation of these, in this order.
enum TBuilder : size_t { bHeader, bFld, bMiddle, bFldParam, bCond, bFooter, bCount };

bool SameValue(const Variant& a, const Variant& b) {
  if (a.IsNull() != b.IsNull()) return false;
  return a.IsNull() || a == b;
}

}  // namespace

bool TFieldsStamp::Holds(const TCustomDADataSet& dataSet) const {
  const TZelRecordSet* recordSet = dataSet.GetIRecordSet();
  return FTaken && recordSet == FRecordSet && recordSet && recordSet->Fields().Generation() == FGeneration &&
         dataSet.GetUpdatingTable() == FUpdatingTable && dataSet.GetKeyFields() == FKeyFields;
}

void TFieldsStamp::Take(const TCustomDADataSet& dataSet) {
  FRecordSet = dataSet.GetIRecordSet();
  FGeneration = FRecordSet ? FRecordSet->Fields().Generation() : 0;
  FUpdatingTable = dataSet.GetUpdatingTable();
  FKeyFields = dataSet.GetKeyFields();
  FTaken = FRecordSet != nullptr;
}

TDASQLGenerator::TDASQLGenerator(TCustomDADataSet& dataSet) : FDataSet(dataSet) {}
TDASQLGenerator::~TDASQLGenerator() = default;

void TDASQLGenerator::ClearFieldDescRefs() {
  FFieldsStamp.Clear();
}

const TKeyAndDataFields& TDASQLGenerator::KeyAndDataFields() const {
  if (FFieldsStamp.Holds(FDataSet)) return FFields;
  FFieldsStamp.Clear();
  FQuotedColumns.clear();
  FTableName.clear();
  FQuotedTable.clear();
  GetKeyAndDataFields(FFields);
  FFieldsStamp.Take(FDataSet);
  return FFields;
}

const UString& TDASQLGenerator::QuotedColumn(const TFieldDesc& desc) const {
  KeyAndDataFields();
  for (const auto& [of, quoted] : FQuotedColumns)
    if (of == &desc) return quoted;
  FQuotedColumns.emplace_back(&desc, QuoteName(desc.FActualName.empty() ? desc.FName : desc.FActualName));
  return FQuotedColumns.back().second;
}

const UString& TDASQLGenerator::QuotedTable(const UString& tableName) const {
  KeyAndDataFields();
  if (FQuotedTable.empty() || FTableName != tableName) {
    FQuotedTable = QualifiedTableName(tableName);
    FTableName = tableName;
  }
  return FQuotedTable;
}

TSQLInfo& TDASQLGenerator::SQLInfo() const {
  if (!FSQLInfo) {
    TCustomDAConnection* connection = FDataSet.GetConnection();
    TZelConnection* provider = connection ? connection->ProviderConnection() : nullptr;
    FSQLInfo = provider ? provider->CreateSQLInfo() : std::make_unique<TSQLInfo>();
  }
  return *FSQLInfo;
}

UString TDASQLGenerator::QuoteName(UStringView name) const {
  // Names come from the server or the user as they are: always one quoted
  // part, whatever characters (".", quotes) they hold.
  return SQLInfo().QuoteAlways(name);
}

UString TDASQLGenerator::UpdatingTableName() const {
  return FDataSet.GetUpdatingTable();
}

bool TDASQLGenerator::IsUpdatingTableField(const TFieldDesc&) const {
  return true;
}

std::vector<const TFieldDesc*> TDASQLGenerator::DefaultKeyFields(const std::vector<const TFieldDesc*>&) const {
  return {};
}

void TDASQLGenerator::GetKeyAndDataFields(TKeyAndDataFields& fields, bool keys) const {
  fields = TKeyAndDataFields();
  TZelRecordSet* recordSet = FDataSet.GetIRecordSet();
  if (!recordSet) return;
  const TFieldDescs& descs = recordSet->Fields();
  std::vector<const TFieldDesc*> tableFields;
  for (int i = 0; i < descs.Count(); ++i) {
    const TFieldDesc& desc = descs[i];
    if (!desc.HasDataSlot() || desc.FFieldDescKind != fdkData || !IsUpdatingTableField(desc)) continue;
    tableFields.push_back(&desc);
    if (!desc.FReadOnly) fields.DataFieldDescs.push_back(&desc);
  }
  if (!keys) return;
  const UString& keyText = FDataSet.GetKeyFields();
  if (keyText.empty()) {
    fields.KeyFieldDescs = DefaultKeyFields(tableFields);
    return;
  }
  size_t start = 0;
  while (start <= keyText.size()) {
    size_t end = keyText.find(u';', start);
    if (end == UString::npos) end = keyText.size();
    const UString name = Trim(keyText.substr(start, end - start));
    start = end + 1;
    if (name.empty()) continue;
    const TFieldDesc* desc = descs.FindField(name);
    if (!desc) DatabaseError(FDataSet.GetName() + u": Key field '" + name + u"' not found");
    fields.KeyFieldDescs.push_back(desc);
  }
}

bool TDASQLGenerator::KeyIsUnique() const {
  return !KeyAndDataFields().KeyFieldDescs.empty();
}

UString TDASQLGenerator::RefreshCondition(const uint8_t* buf, TDAParams& params) const {
  const TKeyAndDataFields& fields = KeyAndDataFields();
  if (fields.KeyFieldDescs.empty()) DatabaseError(u"Key fields not found");
  TZelRecordSet& data = *FDataSet.GetIRecordSet();
  const UString prefix = RefreshColumnPrefix();
  UString condition;
  for (const TFieldDesc* desc : fields.KeyFieldDescs) {
    if (!condition.empty()) condition += u" AND ";
    condition += prefix + QuoteName(desc->FActualName.empty() ? desc->FName : desc->FActualName);
    if (data.GetNull(desc->FFieldNo, buf)) {
      condition += u" IS NULL";
      continue;
    }
    // Named by number: a field's name need not be a valid parameter name.
    const UString name = u"VIX_KEY_" + IntToStr(desc->FFieldNo);
    condition += u" = :" + name;
    TDAParam* param = params.Add(name);
    param->SetParamType(ptInput);
    param->SetValue(data.GetFieldAsVariant(desc->FFieldNo, buf));
  }
  return condition;
}

const TFieldDesc& TDASQLGenerator::QuickRefreshField() const {
  const TFieldDesc* desc = RowVersionField();
  if (!desc) DatabaseError(u"Timestamp field required");
  return *desc;
}

UString TDASQLGenerator::QuickRefreshCondition(TDateTime since, TDAParams& params) const {
  const TFieldDesc& desc = QuickRefreshField();
  TDAParam* param = params.Add(u"VIX_SINCE");
  param->SetParamType(ptInput);
  param->SetDataType(ftDateTime);
  param->SetValue(Variant::FromDate(since));
  return RefreshColumnPrefix() + QuoteName(desc.FActualName.empty() ? desc.FName : desc.FActualName) +
         u" >= :VIX_SINCE";
}

UString TDASQLGenerator::CheckDeletedSQL(const UString& finalSQL, TParserClass lexer) const {
  const TKeyAndDataFields& fields = KeyAndDataFields();
  if (fields.KeyFieldDescs.empty()) DatabaseError(u"Key fields not found");
  const UString prefix = RefreshColumnPrefix();
  UString sql = u"SELECT ";
  for (size_t i = 0; i < fields.KeyFieldDescs.size(); ++i) {
    const TFieldDesc& desc = *fields.KeyFieldDescs[i];
    if (i > 0) sql += u", ";
    sql += prefix + QuoteName(desc.FActualName.empty() ? desc.FName : desc.FActualName);
  }
  const UString from = GetClause(finalSQL, lxFROM, lexer);
  if (from.empty()) DatabaseError(u"The query has no FROM clause");
  sql += u"\nFROM " + from;
  const UString where = GetClause(finalSQL, lxWHERE, lexer);
  if (!where.empty()) sql += u"\nWHERE " + where;
  return sql;
}

UString TDASQLGenerator::GenerateTableSQL(const UString& tableName, const UString& orderFields) {
  UString sql = u"SELECT * FROM " + tableName;
  const UString order = Trim(orderFields);
  if (!order.empty()) sql += u"\nORDER BY " + order;
  return sql;
}

bool TDASQLGenerator::FieldChanged(const TFieldDesc& desc, const uint8_t* oldBuf, const uint8_t* newBuf) const {
  TZelRecordSet& data = *FDataSet.GetIRecordSet();
  if (IsBlobDataType(desc.FDataType) && data.GetBlob(desc.FFieldNo, oldBuf) != data.GetBlob(desc.FFieldNo, newBuf))
    return true;
  return !SameValue(data.GetFieldAsVariant(desc.FFieldNo, oldBuf), data.GetFieldAsVariant(desc.FFieldNo, newBuf));
}

void TDASQLGenerator::AddParam(UString& builder, const TFieldDesc& desc, bool old, const uint8_t* buf,
                               size_t builderNo) {
  UString name = (old ? u"Old_" : u"") + desc.FName;
  if (FIndex >= 0) name = u"P_" + IntToStr(FIndex) + u"_" + name;
  TDAParam* param = FParams->Add(std::move(name));
  param->SetParamType(ptInput);
  param->SetValue(FDataSet.GetIRecordSet()->GetFieldAsVariant(desc.FFieldNo, buf));
  TDAParamInfo info;
  info.FieldNo = desc.FFieldNo;
  info.Old = old;
  info.ParamIndex = FIndex;
  // The builder's number for now; made a position in the statement at the end.
  info.Position = builder.size() * bCount + builderNo;
  FParamsInfo.push_back(info);
  builder += u'?';
}

void TDASQLGenerator::AddCondition(UString& builder, const TFieldDesc& desc, const uint8_t* oldBuf, size_t builderNo) {
  if (!builder.empty()) builder += u" AND ";
  builder += QuotedColumn(desc);
  if (FDataSet.GetIRecordSet()->GetNull(desc.FFieldNo, oldBuf)) {
    builder += u" IS NULL";
    return;
  }
  builder += u" = ";
  AddParam(builder, desc, true, oldBuf, builderNo);
}

void TDASQLGenerator::AddRowVersionCondition(UString& builder, const TFieldDesc& desc, const uint8_t* oldBuf,
                                             size_t builderNo) {
  AddCondition(builder, desc, oldBuf, builderNo);
}

void TDASQLGenerator::AddConditions(UString& builder, TStatementType type, const TKeyAndDataFields& fields,
                                    const uint8_t* oldBuf, size_t builderNo) {
  if (!fields.KeyFieldDescs.empty()) {
    for (const TFieldDesc* desc : fields.KeyFieldDescs) AddCondition(builder, *desc, oldBuf, builderNo);
    if ((type == stUpdate || type == stDelete) && CheckRowVersion()) {
      const TFieldDesc* version = RowVersionField();
      if (version && !FDataSet.GetIRecordSet()->GetNull(version->FFieldNo, oldBuf)) {
        AddRowVersionCondition(builder, *version, oldBuf, builderNo);
      } else {
        const auto& keys = fields.KeyFieldDescs;
        for (const TFieldDesc* desc : fields.DataFieldDescs)
          if (!IsBlobDataType(desc->FDataType) && std::find(keys.begin(), keys.end(), desc) == keys.end())
            AddCondition(builder, *desc, oldBuf, builderNo);
      }
    }
  } else {
    for (const TFieldDesc* desc : fields.DataFieldDescs)
      if (!IsBlobDataType(desc->FDataType)) AddCondition(builder, *desc, oldBuf, builderNo);
  }
  if (builder.empty()) DatabaseError(u"Key fields not found");
}

UString TDASQLGenerator::GenerateSQL(TStatementType type, bool modifiedFieldsOnly, const uint8_t* oldBuf,
                                     const uint8_t* newBuf, TDAParams& params, int index) {
  if (type != stInsert && type != stUpdate && type != stDelete && type != stLock) DatabaseError(u"Bad statement type");
  FParams = &params;
  FIndex = index;
  FParamsInfo.clear();
  const UString tableName = UpdatingTableName();
  if (tableName.empty() || !FDataSet.GetIRecordSet()) return UString();
  const TKeyAndDataFields& fields = KeyAndDataFields();
  TZelRecordSet& data = *FDataSet.GetIRecordSet();
  const UString& table = QuotedTable(tableName);
  std::array<UString, bCount> sb;
  auto column = [this](const TFieldDesc& desc) -> const UString& { return QuotedColumn(desc); };
  switch (type) {
    case stInsert:
      if (fields.DataFieldDescs.empty()) DatabaseError(u"No fields to insert into table " + tableName);
      for (const TFieldDesc* desc : fields.DataFieldDescs) {
        if (modifiedFieldsOnly && data.GetNull(desc->FFieldNo, newBuf)) continue;
        if (!sb[bFld].empty()) {
          sb[bFld] += u", ";
          sb[bFldParam] += u", ";
        }
        sb[bFld] += column(*desc);
        AddParam(sb[bFldParam], *desc, false, newBuf, bFldParam);
      }
      sb[bHeader] = u"INSERT INTO " + table + u"\r\n  (";
      sb[bMiddle] = u")\r\nVALUES\r\n  (";
      sb[bFooter] = u")";
      break;
    case stUpdate:
      for (const TFieldDesc* desc : fields.DataFieldDescs) {
        if (modifiedFieldsOnly && !FieldChanged(*desc, oldBuf, newBuf)) continue;
        if (!sb[bFld].empty()) sb[bFld] += u", ";
        sb[bFld] += column(*desc);
        sb[bFld] += u" = ";
        AddParam(sb[bFld], *desc, false, newBuf, bFld);
      }
      if (sb[bFld].empty()) {
        FParamsInfo.clear();
        return UString();
      }
      sb[bHeader] = u"UPDATE " + table + u"\r\nSET\r\n  ";
      sb[bMiddle] = u"\r\nWHERE\r\n  ";
      AddConditions(sb[bCond], type, fields, oldBuf, bCond);
      break;
    case stDelete:
      sb[bHeader] = u"DELETE FROM " + table + u"\r\nWHERE\r\n  ";
      AddConditions(sb[bCond], type, fields, oldBuf, bCond);
      break;
    default: {
      const UString lock = LockClause();
      if (lock.empty()) return UString();
      sb[bHeader] = u"SELECT * FROM " + table + u"\r\nWHERE\r\n  ";
      AddConditions(sb[bCond], type, fields, oldBuf, bCond);
      sb[bFooter] = u"\r\n" + lock;
      break;
    }
  }
  std::array<size_t, bCount> start{};
  UString sql;
  for (size_t b = 0; b < bCount; ++b) {
    start[b] = sql.size();
    sql += sb[b];
  }
  for (TDAParamInfo& info : FParamsInfo) info.Position = start[info.Position % bCount] + info.Position / bCount;
  return sql;
}

}  // namespace vix
