// The MySQL generator and updater.
#include "MySql/MyServices.h"

#include <cmath>
#include <cstring>

#include "Common/DASQLText.h"
#include "Common/DBAccess.h"
#include "MySql/MyClasses.h"
#include "MySql/MySqlConsts.h"

namespace vix {

const TMySQLFieldDesc* TCustomMySQLGenerator::MyDesc(const TFieldDesc& desc) const {
  return dynamic_cast<const TMySQLFieldDesc*>(&desc);
}

void TCustomMySQLGenerator::ClearFieldDescRefs() {
  TDASQLGenerator::ClearFieldDescRefs();
  FTableStamp.Clear();
  FKeyInfoStamp.Clear();
  FKeyInfoRead = false;
}

const TMySQLFieldDesc* TCustomMySQLGenerator::UpdatingTableDesc() const {
  if (FTableStamp.Holds(FDataSet)) return FTableDesc;
  TZelRecordSet* recordSet = FDataSet.GetIRecordSet();
  if (!recordSet) return nullptr;
  const TFieldDescs& descs = recordSet->Fields();
  const UString& wanted = FDataSet.GetUpdatingTable();
  const TMySQLFieldDesc* found = nullptr;
  for (int i = 0; i < descs.Count() && !found; ++i) {
    const TMySQLFieldDesc* desc = MyDesc(descs[i]);
    if (!desc || desc->FTableName.empty()) continue;
    if (wanted.empty() || SameText(desc->FTableAlias, wanted) || SameText(desc->FTableName, wanted)) found = desc;
  }
  if (!found && !wanted.empty()) DatabaseError(u"Wrong UpdatingTable value - table " + wanted + u" is unknown");
  FTableDesc = found;
  FTableStamp.Take(FDataSet);
  return found;
}

UString TCustomMySQLGenerator::UpdatingTableName() const {
  const TMySQLFieldDesc* desc = UpdatingTableDesc();
  return desc ? desc->FTableName : UString();
}

UString TCustomMySQLGenerator::QualifiedTableName(const UString& tableName) const {
  const TMySQLFieldDesc* desc = UpdatingTableDesc();
  if (!desc || desc->FDatabase.empty() || desc->FTableName != tableName) return QuoteName(tableName);
  return QuoteName(desc->FDatabase) + u"." + QuoteName(tableName);
}

UString TCustomMySQLGenerator::RefreshColumnPrefix() const {
  const TMySQLFieldDesc* desc = UpdatingTableDesc();
  if (!desc) return UString();
  return QuoteName(desc->FTableAlias.empty() ? desc->FTableName : desc->FTableAlias) + u".";
}

bool TCustomMySQLGenerator::IsUpdatingTableField(const TFieldDesc& desc) const {
  const TMySQLFieldDesc* my = MyDesc(desc);
  if (!my || my->FTableName.empty()) return false;
  // Compare with the alias as well, so that a table joined twice counts once.
  const TMySQLFieldDesc* first = UpdatingTableDesc();
  return first && my->FTableAlias == first->FTableAlias && my->FTableName == first->FTableName &&
         my->FDatabase == first->FDatabase;
}

const TFieldDesc* TCustomMySQLGenerator::UpdatingTableField(const UString& columnName) const {
  if (columnName.empty()) return nullptr;
  const TFieldDescs& descs = FDataSet.GetIRecordSet()->Fields();
  for (int i = 0; i < descs.Count(); ++i) {
    const TFieldDesc& desc = descs[i];
    if (desc.FFieldDescKind != fdkData || !desc.HasDataSlot() || !IsUpdatingTableField(desc)) continue;
    if (SameText(desc.FActualName.empty() ? desc.FName : desc.FActualName, columnName)) return &desc;
  }
  return nullptr;
}

TMyTableKeyInfo TCustomMySQLGenerator::KeyInfoFromFlags() const {
  // The column flags of the result: the primary key (the server reports a
  // unique index of NOT NULL columns as the primary key when the table has
  // none), else a NOT NULL column that alone is a unique key.
  TMyTableKeyInfo info;
  const TFieldDescs& descs = FDataSet.GetIRecordSet()->Fields();
  std::vector<UString> unique;
  for (int i = 0; i < descs.Count(); ++i) {
    const TMySQLFieldDesc* my = MyDesc(descs[i]);
    if (!my || !IsUpdatingTableField(*my)) continue;
    const UString& name = my->FActualName.empty() ? my->FName : my->FActualName;
    if (my->FIsPrimaryKey) info.KeyFields.push_back(name);
    if (unique.empty() && (my->FFlags & UNIQUE_KEY_FLAG) && (my->FFlags & NOT_NULL_FLAG)) unique.push_back(name);
    if (my->FIsAutoIncrement && info.AutoIncrementField.empty()) info.AutoIncrementField = name;
  }
  if (info.KeyFields.empty()) info.KeyFields = unique;
  return info;
}

const TMyTableKeyInfo& TCustomMySQLGenerator::KeyInfo() const {
  // Read for these descriptors already: the catalog is asked again only after
  // a new open (ClearFieldDescRefs) or for other columns.
  if (FKeyInfoRead && FKeyInfoStamp.Holds(FDataSet)) return FKeyInfo;
  const TMySQLFieldDesc* table = UpdatingTableDesc();
  std::vector<UString> columns;
  UString of;
  if (table) {
    of = table->FDatabase + u'\0' + table->FTableName;
    const TFieldDescs& descs = FDataSet.GetIRecordSet()->Fields();
    for (int i = 0; i < descs.Count(); ++i) {
      const TFieldDesc& desc = descs[i];
      if (desc.FFieldDescKind != fdkData || !IsUpdatingTableField(desc)) continue;
      columns.push_back(desc.FActualName.empty() ? desc.FName : desc.FActualName);
      of += u'\0' + columns.back();
    }
  }
  if (FKeyInfoRead && of == FKeyInfoOf) {
    FKeyInfoStamp.Take(FDataSet);
    return FKeyInfo;
  }
  FKeyInfoRead = false;
  FKeyInfo = TMyTableKeyInfo();
  if (table) {
    TCustomDAConnection* connection = FDataSet.GetConnection();
    auto* my = dynamic_cast<TMySQLConnection*>(connection ? connection->ProviderConnection() : nullptr);
    std::vector<TMyColumnInfo> tableColumns;
    std::vector<TMyIndexColumn> indexColumns;
    if (my) {
      tableColumns = ReadColumns(*my, table->FDatabase, table->FTableName);
      if (!tableColumns.empty()) indexColumns = ReadIndexColumns(*my, table->FDatabase, table->FTableName);
    }
    FKeyInfo = tableColumns.empty() ? KeyInfoFromFlags() : ChooseTableKeyInfo(indexColumns, tableColumns, &columns);
  }
  FKeyInfoOf = std::move(of);
  FKeyInfoRead = true;
  FKeyInfoStamp.Take(FDataSet);
  return FKeyInfo;
}

std::vector<const TFieldDesc*> TCustomMySQLGenerator::DefaultKeyFields(
    const std::vector<const TFieldDesc*>& candidates) const {
  std::vector<const TFieldDesc*> key;
  for (const UString& name : KeyInfo().KeyFields) {
    const TFieldDesc* found = nullptr;
    for (const TFieldDesc* desc : candidates)
      if (SameText(desc->FActualName.empty() ? desc->FName : desc->FActualName, name)) found = desc;
    // A key column that is not a field of the result finds no row: no key.
    if (!found) return {};
    key.push_back(found);
  }
  return key;
}

const TFieldDesc* TCustomMySQLGenerator::RowVersionField() const {
  return UpdatingTableField(KeyInfo().RowVersionField);
}

void TCustomMySQLGenerator::AddRowVersionCondition(UString& builder, const TFieldDesc& desc, const uint8_t* oldBuf,
                                                   size_t builderNo) {
  const TMySQLFieldDesc* my = MyDesc(desc);
  if (!my || my->FDecimals <= 3) {
    TDASQLGenerator::AddRowVersionCondition(builder, desc, oldBuf, builderNo);
    return;
  }
  // The record holds the value cut to milliseconds: the server's value lies
  // within the millisecond that starts there.
  const UString column = QuoteName(desc.FActualName.empty() ? desc.FName : desc.FActualName);
  if (!builder.empty()) builder += u" AND ";
  builder += column + u" >= ";
  AddParam(builder, desc, true, oldBuf, builderNo);
  builder += u" AND " + column + u" < ";
  AddParam(builder, desc, true, oldBuf, builderNo);
  builder += u" + INTERVAL 1000 MICROSECOND";
}

UString TCustomMySQLGenerator::LockClause() const {
  if (LockType == 0) return u"FOR UPDATE";
  if (LockType == 1) return u"LOCK IN SHARE MODE";
  return UString();
}

namespace {

// The separator after a caller's SQL fragment: a line feed when the
// fragment may hold a "--" or "#" comment, which would take in what follows.
UString After(const UString& fragment) {
  const bool comment = fragment.find(u"--") != UString::npos || fragment.find(u'#') != UString::npos;
  return comment ? u"\n" : u" ";
}

}  // namespace

void TCustomMySQLGenerator::SetHandlerIndex(const UString& value) {
  FHandlerIndex = Trim(value);
}

UString TCustomMySQLGenerator::LimitClause() const {
  return u"LIMIT " + IntToStr(Offset) + u", " + IntToStr(Limit == -1 ? 2147483647 : Limit);
}

UString TCustomMySQLGenerator::GenerateTableSQL(const UString& tableName, const UString& orderFields) {
  const UString table = TMySQLInfo().NormalizeName(tableName, true);
  if (Trim(tableName).empty() || table.empty()) DatabaseError(u"TableName must be provided");
  const UString filter = Trim(FilterSQL);
  const UString order = Trim(orderFields);
  if (!UseHandler) {
    UString sql = u"SELECT * FROM " + table;
    if (!filter.empty()) sql += u" WHERE " + filter + After(filter);
    else sql += u' ';
    if (!order.empty()) sql += u"ORDER BY " + order + After(order);
    if (Limit != -1 || Offset != 0) sql += LimitClause();
    while (!sql.empty() && (sql.back() == u' ' || sql.back() == u'\n')) sql.pop_back();
    return sql;
  }
  TCustomDAConnection* connection = FDataSet.GetConnection();
  auto* my = dynamic_cast<TMySQLConnection*>(connection ? connection->ProviderConnection() : nullptr);
  const bool protocol41 = !my || (my->IsClient41() && my->IsServer41());
  UString sql;
  if (protocol41) sql = u"HANDLER " + table + u" OPEN;\n";
  sql += u"HANDLER " + table + u" READ";
  UString tail;
  if (FHandlerIndex.empty()) {
    sql += u" FIRST ";
  } else {
    sql += u" " + FHandlerIndex;
    // The index name, then what follows it: a comparison reads from a
    // position, anything else from the first row.
    std::unique_ptr<TParser> parser = NewParser<TMyParser>(FHandlerIndex);
    parser->SetOmitBlank(true);
    parser->SetOmitComment(true);
    UString lexeme;
    parser->GetNext(lexeme);
    const int code = parser->GetNext(lexeme);
    const bool position =
        code != lkEnd && !lexeme.empty() && (lexeme[0] == u'=' || lexeme[0] == u'<' || lexeme[0] == u'>');
    if (!position) sql += u" FIRST";
    sql += After(FHandlerIndex);
  }
  if (!filter.empty()) sql += u"WHERE " + filter + After(filter);
  sql += LimitClause();
  if (protocol41) sql += u";\nHANDLER " + table + u" CLOSE";
  return sql;
}

std::unique_ptr<TDASQLGenerator> TCustomMyDataSetUpdater::CreateGenerator() {
  return std::make_unique<TCustomMySQLGenerator>(FDataSet);
}

TCustomMySQLGenerator& TCustomMyDataSetUpdater::MyGenerator() {
  return static_cast<TCustomMySQLGenerator&>(Generator());
}

void TCustomMyDataSetUpdater::SetProp(int32_t prop, const Variant& value) {
  if (prop == prCheckRowVersion) MyGenerator().RowVersionCheck = value.AsBoolean();
  else if (prop == prLockType) MyGenerator().LockType = static_cast<int>(value.AsInteger());
}

int TCustomMyDataSetUpdater::AutoIncrementFieldNo() const {
  auto& generator = const_cast<TCustomMyDataSetUpdater*>(this)->MyGenerator();
  const TFieldDesc* desc = generator.UpdatingTableField(generator.KeyInfo().AutoIncrementField);
  return desc ? desc->FFieldNo : 0;
}

bool SameLockDateTime(TDateTime a, TDateTime b) {
  TDateTimeParts x, y;
  try {
    x = DecodeDateTime(a);
    y = DecodeDateTime(b);
  } catch (const EConvertError&) {
    return false;
  }
  if (x.Year != y.Year || x.Month != y.Month || x.Day != y.Day || x.Hour != y.Hour || x.Minute != y.Minute)
    return false;
  const int difference = (x.Second * 1000 + x.MSec) - (y.Second * 1000 + y.MSec);
  return difference > -1000 && difference < 1000;
}

bool TCustomMyDataSetUpdater::SameLockValue(const TFieldDesc& desc, const Variant& a, const Variant& b) const {
  const auto isDateTime = [](const Variant& v) { return v.VarType() == varDate || v.VarType() == varSQLTimeStamp; };
  if (!isDateTime(a) || !isDateTime(b)) return TDADataSetUpdater::SameLockValue(desc, a, b);
  // A column that keeps milliseconds holds what the record holds: another
  // millisecond is another session's change.
  const TMySQLFieldDesc* my = dynamic_cast<const TMySQLFieldDesc*>(&desc);
  if (my && my->FDecimals >= 3)
    return std::llround(a.AsDateTime() * 86400000.0) == std::llround(b.AsDateTime() * 86400000.0);
  return TDADataSetUpdater::SameLockValue(desc, a, b) || SameLockDateTime(a.AsDateTime(), b.AsDateTime());
}

UString TCustomMyDataSetUpdater::RecordCountSQL(const UString& finalSQL) {
  return vix::RecordCountSQL(finalSQL, FDataSet.CommandParserClass());
}

int64_t TCustomMyDataSetUpdater::TotalRowsAffected() {
  auto* command = dynamic_cast<TMySQLCommand*>(Statement().GetCommand());
  return command ? command->RowsAffectedTotal() : TDADataSetUpdater::TotalRowsAffected();
}

bool TCustomMyDataSetUpdater::TShapeEqual::operator()(UStringView a, UStringView b) const {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0;
}

void TCustomMyDataSetUpdater::SetGeneratedStatements(TZelCommand& command, const UString& sql,
                                                     const std::vector<TTextSpan>& statements) {
  auto* my = dynamic_cast<TMySQLCommand*>(&command);
  if (!my || statements.empty()) return;
  const TParserClass lexer = my->GetParserClass();
  // The statements come in few shapes; a bound keeps a pass of many apart.
  if (FShapesLexer != lexer || FShapes.size() > 256) {
    FShapes.clear();
    FShapesLexer = lexer;
  }
  TMyCharsetEffect effect;
  for (const TTextSpan& span : statements) {
    if (span.Start > sql.size() || span.Length > sql.size() - span.Start) return;
    const UStringView statement = UStringView(sql).substr(span.Start, span.Length);
    auto found = FShapes.find(statement);
    if (found == FShapes.end()) {
      const UString text(statement);
      found = FShapes.emplace(text, CharsetEffectOf(text, lexer)).first;
    }
    effect.ChangesCharset = effect.ChangesCharset || found->second.ChangesCharset;
    effect.TouchesTracking = effect.TouchesTracking || found->second.TouchesTracking;
    effect.ExecutableComment = effect.ExecutableComment || found->second.ExecutableComment;
  }
  my->SetCharsetEffect(effect);
}

void TCustomMyDataSetUpdater::SetParamPositions(TZelCommand& command, const std::vector<size_t>& positions) {
  // Turning the filling on empties the list.
  command.SetProp(prFillParamPosition, true);
  if (positions.empty()) {
    command.SetProp(prFillParamPosition, false);
    return;
  }
  for (size_t position : positions) command.SetProp(prParamPosition, static_cast<int32_t>(position));
}

}  // namespace vix
