// The dataset's updater: runs the generated statements of its changes on a
// statement object of the dataset's connection.
#include <algorithm>
#include <utility>

#include "Common/DASQLGenerator.h"
#include "Common/DASQLText.h"
#include "Common/DBAccess.h"

namespace vix {

namespace {

// Whether `text` starts with the word `word` (ignoring case).
bool StartsWithWord(const UString& text, UStringView word) {
  if (text.size() < word.size() || !SameText(UStringView(text).substr(0, word.size()), word)) return false;
  if (text.size() == word.size()) return true;
  const char16_t next = text[word.size()];
  return !(next == u'_' || (next >= u'0' && next <= u'9') || (next >= u'A' && next <= u'Z') ||
           (next >= u'a' && next <= u'z'));
}

// The field a parameter of a dataset's own text names: its name, "OLD_" and
// a name (`old` set), or a field number.
const TFieldDesc* FieldOfParam(const TFieldDescs& descs, const UString& name, bool& old) {
  old = false;
  const TFieldDesc* desc = descs.FindField(name);
  if (!desc && name.size() > 4 && SameText(UStringView(name).substr(0, 4), u"OLD_")) {
    desc = descs.FindField(UStringView(name).substr(4));
    old = desc != nullptr;
  }
  if (!desc && !name.empty() && name.size() < 10 &&
      std::all_of(name.begin(), name.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; })) {
    const int fieldNo = static_cast<int>(StrToInt64(name));
    for (int i = 0; i < descs.Count() && !desc; ++i)
      if (descs[i].FFieldNo == fieldNo) desc = &descs[i];
  }
  if (desc && (!desc->HasDataSlot() || desc->FFieldDescKind != fdkData)) desc = nullptr;
  return desc;
}

// Closes `Rows` when it goes; an error of the close is dropped (the error
// that ends the read matters more).
template <class T>
struct TQuietClose {
  T& Rows;
  ~TQuietClose() {
    try {
      Rows.Close();
    } catch (...) {
    }
  }
};

}  // namespace

TDADataSetUpdater::TDADataSetUpdater(TCustomDADataSet& dataSet) : FDataSet(dataSet) {}

TDADataSetUpdater::~TDADataSetUpdater() {
  ReleaseStatement();
}

void TDADataSetUpdater::ReleaseStatement() {
  if (FStatement && FStatement->Active()) {
    try {
      FStatement->Close();
    } catch (...) {
    }
  }
  FStatement.reset();
}

std::unique_ptr<TDASQLGenerator> TDADataSetUpdater::CreateGenerator() {
  return std::make_unique<TDASQLGenerator>(FDataSet);
}

TDASQLGenerator& TDADataSetUpdater::Generator() {
  if (!FGenerator) FGenerator = CreateGenerator();
  return *FGenerator;
}

TZelRecordSet& TDADataSetUpdater::Statement() {
  TCustomDAConnection* connection = FDataSet.GetConnection();
  if (!connection) DatabaseError(u"Connection is not defined");
  if (!FStatement || FStatement->GetCommand()->GetConnection() != connection->ProviderConnection())
    FStatement = FDataSet.NewStatementRecordSet();
  return *FStatement;
}

int64_t TDADataSetUpdater::ExecuteStatement(const UString& sql, const TDAParams& params,
                                            const std::vector<size_t>& positions, bool keepRows,
                                            const std::vector<TTextSpan>* statements) {
  TCustomDAConnection* connection = FDataSet.GetConnection();
  const TConnectionUse use(connection);
  TZelRecordSet& statement = Statement();
  statement.SetSQL(sql);
  TZelCommand& command = *statement.GetCommand();
  command.Params().Clear();
  TParamWriteSettings settings;
  settings.ConvertEOL = connection->Options().GetConvertEOL();
  for (int i = 0; i < params.Count(); ++i) {
    const TDAParam& param = *params.Items(i);
    TParamDesc& desc = *command.AddParam();
    desc.SetName(param.GetName());
    param.WriteParamDesc(desc, GetDataType(param.GetDataType()), true, settings);
  }
  SetParamPositions(command, positions);
  if (statements) SetGeneratedStatements(command, sql, *statements);
  if (keepRows) {
    statement.Open();
    return statement.RecordCount();
  }
  statement.ExecCommand();
  // Rows a statement returned are not wanted here.
  if (statement.Active()) statement.Close();
  Variant rows;
  if (!command.GetProp(prRowsAffected, rows)) return 0;
  return rows.AsInt64();
}

int64_t TDADataSetUpdater::LastInsertId(TZelCommand& command) {
  Variant id;
  if (!command.GetProp(prLastInsertId, id) || id.IsEmptyOrNull()) return 0;
  return id.AsInt64();
}

int TDADataSetUpdater::AutoIncrementFieldNo() const {
  for (const TFieldDesc* desc : FGenerator->KeyAndDataFields().DataFieldDescs)
    if (desc->FIsAutoIncrement) return desc->FFieldNo;
  return 0;
}

int64_t TDADataSetUpdater::RunChecked(const std::function<int64_t()>& run) {
  TCustomDAConnection& connection = *FDataSet.GetConnection();
  TZelConnection* provider = connection.ProviderConnection();
  if (!provider) DatabaseError(u"Connection is not connected");
  TDAParams none;
  if (connection.InTransaction()) {
    // Inside the caller's transaction: a savepoint undoes only this change.
    const UString name = u"VIX_CHECKED_" + IntToStr(++FSavepointNo);
    ExecuteStatement(u"SAVEPOINT " + name, none, {});
    int64_t rows = 0;
    try {
      rows = run();
    } catch (...) {
      try {
        ExecuteStatement(u"ROLLBACK TO SAVEPOINT " + name, none, {});
      } catch (...) {
      }
      throw;
    }
    ExecuteStatement((rows == 1 ? u"RELEASE SAVEPOINT " : u"ROLLBACK TO SAVEPOINT ") + name, none, {});
    return rows;
  }
  std::unique_ptr<TZelTransaction> transaction = provider->CreateTransaction();
  transaction->AddConnection(provider);
  transaction->StartTransaction();
  int64_t rows = 0;
  try {
    rows = run();
  } catch (...) {
    try {
      transaction->Rollback();
    } catch (...) {
    }
    throw;
  }
  if (rows == 1) transaction->Commit();
  else transaction->Rollback();
  return rows;
}

bool TDADataSetUpdater::PerformSQL(TStatementType type, const uint8_t* oldBuf, uint8_t* newBuf) {
  if (TCustomDADataSet* object = UpdateObjectFor(type)) return PerformObjectSQL(type, *object, oldBuf, newBuf);
  const UString own = OwnSQL(type);
  if (!own.empty()) return PerformOwnSQL(type, own, oldBuf, newBuf);
  TDASQLGenerator& generator = Generator();
  TDAParams params;
  const bool modifiedOnly = !FDataSet.Options().UpdateAllFields;
  const UString sql = generator.GenerateSQL(type, modifiedOnly, oldBuf, newBuf, params);
  if (sql.empty()) {
    // An update in which nothing changed has nothing to send; anything else
    // without a statement would be a change the server never sees.
    if (type == stUpdate && !generator.UpdatingTableName().empty()) return false;
    DatabaseError(u"No statement for the change: the dataset has no updating table");
  }
  std::vector<size_t> positions;
  for (const TDAParamInfo& info : generator.ParamsInfo()) positions.push_back(info.Position);
  const std::vector<TTextSpan> statements{{0, sql.size()}};
  auto run = [&] { return ExecuteStatement(sql, params, positions, false, &statements); };
  const bool checked = (type == stUpdate || type == stDelete) && !generator.KeyIsUnique();
  FRowsAffected = checked ? RunChecked(run) : run();
  if ((checked || FDataSet.Options().StrictUpdate) && type != stInsert && FRowsAffected != 1)
    DatabaseError(u"Update failed. Found " + IntToStr(FRowsAffected) + u" records");
  if (type == stInsert) TakeAutoIncrement(newBuf);
  return true;
}

bool TDADataSetUpdater::SameLockValue(const TFieldDesc&, const Variant& a, const Variant& b) const {
  if (a.IsNull() || b.IsNull()) return a.IsNull() == b.IsNull();
  return a == b || a.AsString() == b.AsString();
}

void TDADataSetUpdater::LockRecord(const uint8_t* oldBuf, uint8_t* refreshInto) {
  TDASQLGenerator& generator = Generator();
  TDAParams params;
  std::vector<size_t> positions;
  TCustomDADataSet* object = UpdateObjectFor(stLock);
  UString sql = object ? UString() : OwnSQL(stLock);
  if (!object && sql.empty()) {
    sql = generator.GenerateSQL(stLock, false, oldBuf, oldBuf, params);
    if (sql.empty()) DatabaseError(u"The provider cannot lock records");
    for (const TDAParamInfo& info : generator.ParamsInfo()) positions.push_back(info.Position);
  } else if (!object) {
    // "FOR UPDATE" and the like go after the refresh statement.
    TDAParams keys;
    if (StartsWithWord(sql, u"FOR")) {
      bool own = false;
      sql = AppendToQuery(RefreshSQL(oldBuf, keys, own), sql, FDataSet.CommandParserClass());
    }
    BindQueryParams(sql, keys, params, oldBuf, oldBuf);
  }
  const auto use = [&](TZelRecordSet& statement, const uint8_t* row) {
    if (refreshInto) {
      CopyRow(statement, row, refreshInto);
      return;
    }
    TZelRecordSet& data = *FDataSet.GetIRecordSet();
    for (const TFieldDesc* desc : generator.KeyAndDataFields().DataFieldDescs) {
      if (IsBlobDataType(desc->FDataType)) continue;
      const TFieldDesc* column =
          statement.Fields().FindField(desc->FActualName.empty() ? desc->FName : desc->FActualName);
      if (!column) continue;
      if (!SameLockValue(*desc, statement.GetFieldAsVariant(column->FFieldNo, row),
                         data.GetFieldAsVariant(desc->FFieldNo, oldBuf)))
        DatabaseError(u"Record was changed by another user");
    }
  };
  if (object) RunObjectQuery(*object, oldBuf, oldBuf, use);
  else ReadOneRow(sql, params, positions, use);
}

void TDADataSetUpdater::ReadOneRow(const UString& sql, const TDAParams& params, const std::vector<size_t>& positions,
                                   const std::function<void(TZelRecordSet&, const uint8_t*)>& use) {
  RunQuery(sql, params, positions, true, use);
}

int64_t TDADataSetUpdater::RunQuery(const UString& sql, const TDAParams& params, const std::vector<size_t>& positions,
                                    bool oneRow, const std::function<void(TZelRecordSet&, const uint8_t*)>& each) {
  TZelRecordSet& statement = Statement();
  ExecuteStatement(sql, params, positions, true);
  const TQuietClose<TZelRecordSet> close{statement};
  return EachRow(statement, oneRow, each);
}

int64_t TDADataSetUpdater::EachRow(TZelRecordSet& rows, bool oneRow,
                                   const std::function<void(TZelRecordSet&, const uint8_t*)>& each) {
  FRowsAffected = rows.RecordCount();
  if (oneRow && FRowsAffected != 1) DatabaseError(u"Refresh failed. Found " + IntToStr(FRowsAffected) + u" records");
  rows.SetToBegin();
  std::vector<uint8_t> row = rows.AllocRecBuf();
  while (rows.GetNextRecord(row.data())) each(rows, row.data());
  return FRowsAffected;
}

void TDADataSetUpdater::BindQueryParams(const UString& sql, const TDAParams& values, TDAParams& params,
                                        const uint8_t* oldBuf, const uint8_t* newBuf, bool queryParams) {
  // The values in the order the command finds the parameters.
  TZelRecordSet& statement = Statement();
  statement.SetSQL(sql);
  const TZelCommand& command = *statement.GetCommand();
  for (int i = 0; i < command.GetParamCount(); ++i) {
    const UString& name = command.GetParam(i)->GetName();
    TDAParam* param = params.Add(name);
    param->SetParamType(ptInput);
    SetParamValue(*param, values, oldBuf, newBuf, queryParams);
  }
}

void TDADataSetUpdater::SetParamValue(TDAParam& param, const TDAParams& values, const uint8_t* oldBuf,
                                      const uint8_t* newBuf, bool queryParams) {
  const UString& name = param.GetName();
  TZelRecordSet& data = *FDataSet.GetIRecordSet();
  const TDAParam* from = values.FindParam(name);
  if (!from && newBuf) {
    bool old = false;
    if (const TFieldDesc* desc = FieldOfParam(data.Fields(), name, old)) {
      param.SetValue(data.GetFieldAsVariant(desc->FFieldNo, old && oldBuf ? oldBuf : newBuf));
      return;
    }
  }
  if (!from && queryParams) from = FDataSet.Params().FindParam(name);
  if (!from) DatabaseError(u"Not found field corresponding parameter " + name);
  if (from->GetDataType() != ftUnknown) param.SetDataType(from->GetDataType());
  param.SetValue(from->GetValue());
}

namespace {

// The update object's kind of a statement type; kKinds: none.
TCustomDAUpdateSQL::TKind UpdateKindOf(TStatementType type) {
  switch (type) {
    case stInsert: return TCustomDAUpdateSQL::kInsert;
    case stUpdate: return TCustomDAUpdateSQL::kModify;
    case stDelete: return TCustomDAUpdateSQL::kDelete;
    case stRefresh: return TCustomDAUpdateSQL::kRefresh;
    case stLock: return TCustomDAUpdateSQL::kLock;
    default: return TCustomDAUpdateSQL::kKinds;
  }
}

}  // namespace

TCustomDADataSet* TDADataSetUpdater::UpdateObjectFor(TStatementType type) {
  const TCustomDAUpdateSQL* update = FDataSet.UpdateObject();
  const TCustomDAUpdateSQL::TKind kind = UpdateKindOf(type);
  if (!update || kind == TCustomDAUpdateSQL::kKinds) return nullptr;
  TCustomDADataSet* object = update->Object(kind);
  if (!object) return nullptr;
  if (Trim(object->GetSQL()).empty())
    DatabaseError(u"SQL property of InsertObject, ModifyObject, DeleteObject or RefreshObject cannot be empty");
  // Its statements belong to the dataset's session: a change that must be
  // undone is undone in the dataset's transaction.
  if (!object->GetConnection()) object->SetConnection(FDataSet.GetConnection());
  if (object->GetConnection() != FDataSet.GetConnection())
    DatabaseError(u"The update object's query must use the connection of its dataset");
  return object;
}

bool TDADataSetUpdater::HasOwnStatement(TStatementType type) {
  const TCustomDAUpdateSQL* update = FDataSet.UpdateObject();
  const TCustomDAUpdateSQL::TKind kind = UpdateKindOf(type);
  return (update && kind != TCustomDAUpdateSQL::kKinds && update->Object(kind)) || !OwnSQL(type).empty();
}

void TDADataSetUpdater::BindObjectParams(TCustomDADataSet& object, const uint8_t* oldBuf, const uint8_t* newBuf,
                                         bool queryParams) {
  TDAParams& params = object.Params();
  for (int i = 0; i < params.Count(); ++i) {
    TDAParam& param = *params.Items(i);
    if (param.GetParamType() == ptUnknown) param.SetParamType(ptInput);
    SetParamValue(param, TDAParams(), oldBuf, newBuf, queryParams);
  }
}

bool TDADataSetUpdater::PerformObjectSQL(TStatementType type, TCustomDADataSet& object, const uint8_t* oldBuf,
                                         uint8_t* newBuf) {
  auto run = [&]() -> int64_t {
    BindObjectParams(object, type == stInsert ? newBuf : oldBuf, newBuf, false);
    object.Execute();
    return object.GetRowsAffected();
  };
  FinishWrite(type, run);
  if (type == stInsert) TakeAutoIncrement(newBuf, object.GetIRecordSet()->GetCommand());
  return true;
}

void TDADataSetUpdater::RunObjectQuery(TCustomDADataSet& object, const uint8_t* oldBuf, const uint8_t* newBuf,
                                       const std::function<void(TZelRecordSet&, const uint8_t*)>& use) {
  object.Close();
  BindObjectParams(object, oldBuf, newBuf, true);
  object.Open();
  const TQuietClose<TCustomDADataSet> close{object};
  TZelRecordSet& rows = *object.GetIRecordSet();
  rows.FetchAll();
  EachRow(rows, true, use);
}

UString TDADataSetUpdater::OwnSQL(TStatementType type) {
  const UString* text = nullptr;
  const TCustomDAUpdateSQL* update = FDataSet.UpdateObject();
  const TCustomDAUpdateSQL::TKind kind = UpdateKindOf(type);
  if (update && kind != TCustomDAUpdateSQL::kKinds && !Trim(update->SQL(kind)).empty()) text = &update->SQL(kind);
  else switch (type) {
      case stInsert: text = &FDataSet.SQLInsert(); break;
      case stUpdate: text = &FDataSet.SQLUpdate(); break;
      case stDelete: text = &FDataSet.SQLDelete(); break;
      case stRefresh: text = &FDataSet.SQLRefresh(); break;
      case stLock: text = &FDataSet.SQLLock(); break;
      default: return UString();
    }
  const UString sql = Trim(*text);
  if (sql.empty() || FDataSet.Macros().Count() == 0) return sql;
  return FDataSet.Macros().Expand(sql, FDataSet.CommandParserClass());
}

bool TDADataSetUpdater::PerformOwnSQL(TStatementType type, const UString& sql, const uint8_t* oldBuf, uint8_t* newBuf) {
  TDAParams params;
  BindQueryParams(sql, TDAParams(), params, type == stInsert ? newBuf : oldBuf, newBuf, false);
  FinishWrite(type, [&] { return ExecuteStatement(sql, params, {}); });
  if (type == stInsert) TakeAutoIncrement(newBuf);
  return true;
}

void TDADataSetUpdater::FinishWrite(TStatementType type, const std::function<int64_t()>& run) {
  // The text's condition is the caller's: with StrictUpdate a change that
  // touched another number of rows than one is undone before it commits.
  const bool checked = type != stInsert && FDataSet.Options().StrictUpdate;
  FRowsAffected = checked ? RunChecked(run) : run();
  if (checked && FRowsAffected != 1) DatabaseError(u"Update failed. Found " + IntToStr(FRowsAffected) + u" records");
}

UString TDADataSetUpdater::RefreshSQL(const uint8_t* buf, TDAParams& keys, bool& own) {
  const TParserClass lexer = FDataSet.CommandParserClass();
  const TCustomDADataSet* object = UpdateObjectFor(stRefresh);
  const UString text = object ? Trim(object->FinalSQL()) : OwnSQL(stRefresh);
  own = !text.empty();
  if (!own) return AddWhere(FDataSet.FinalSQL(), Generator().RefreshCondition(buf, keys), lexer);
  if (StartsWithWord(text, u"WHERE")) return AddWhere(FDataSet.FinalSQL(), Trim(text.substr(5)), lexer);
  return text;
}

void TDADataSetUpdater::CopyRow(TZelRecordSet& result, const uint8_t* row, uint8_t* buf) {
  TZelRecordSet& data = *FDataSet.GetIRecordSet();
  const TFieldDescs& columns = result.Fields();
  for (int i = 0; i < columns.Count(); ++i) {
    const TFieldDesc& column = columns[i];
    const TFieldDesc* desc = data.Fields().FindField(column.FName);
    if (!desc || !desc->HasDataSlot() || desc->FFieldDescKind != fdkData ||
        IsBlobDataType(desc->FDataType) != IsBlobDataType(column.FDataType))
      continue;
    if (!IsBlobDataType(desc->FDataType)) {
      data.PutFieldAsVariant(desc->FFieldNo, buf, result.GetFieldAsVariant(column.FFieldNo, row));
      continue;
    }
    // A blob of its own for the record: the one there may be shared with
    // the stored record or its copy before the change.
    const bool unicode = desc->FDataType == mtWideMemo;
    TBlob* blob = new TBlob(unicode);
    data.SetBlob(desc->FFieldNo, buf, blob);
    blob->Release();
    TBlob* from = result.GetNull(column.FFieldNo, row) ? nullptr : result.GetBlob(column.FFieldNo, row);
    data.SetNull(desc->FFieldNo, buf, from == nullptr);
    if (!from) continue;
    if (from->IsUnicode() == unicode) blob->SetAsBytes(from->AsBytes());
    else blob->SetAsString(from->AsString());
  }
}

void TDADataSetUpdater::RefreshRecord(uint8_t* buf) {
  if (TCustomDADataSet* object = UpdateObjectFor(stRefresh)) {
    RunObjectQuery(*object, buf, buf, [&](TZelRecordSet& result, const uint8_t* row) { CopyRow(result, row, buf); });
    return;
  }
  TDAParams keys;
  bool own = false;
  const UString sql = RefreshSQL(buf, keys, own);
  TDAParams params;
  // The query's own parameters keep their values; a text of the dataset's
  // names fields.
  BindQueryParams(sql, keys, params, buf, own ? buf : nullptr);
  ReadOneRow(sql, params, {}, [&](TZelRecordSet& result, const uint8_t* row) { CopyRow(result, row, buf); });
}

int64_t TDADataSetUpdater::ReadRows(const UString& sql, const TDAParams& values,
                                    const std::function<void(TZelRecordSet&, const uint8_t*)>& each) {
  TDAParams params;
  BindQueryParams(sql, values, params);
  return RunQuery(sql, params, {}, false, each);
}

int64_t TDADataSetUpdater::ReadRecordCount() {
  const UString sql = RecordCountSQL(FDataSet.FinalSQL());
  if (sql.empty()) return 0;
  int64_t count = 0;
  try {
    ReadRows(sql, TDAParams(), [&](TZelRecordSet& result, const uint8_t* row) {
      if (result.Fields().Count() > 0) count = result.GetFieldAsVariant(result.Fields()[0].FFieldNo, row).AsInt64();
    });
  } catch (const EDAError& e) {
    if (e.IsFatalError()) throw;
    return 0;
  }
  return count;
}

bool TDADataSetUpdater::RefreshWanted(TStatementType type) {
  const TRefreshOptions options = FDataSet.GetRefreshOptions();
  if (type == stInsert) return (options & roAfterInsert) != 0;
  if (type == stUpdate) return (options & roAfterUpdate) != 0 || Generator().UsesRowVersion();
  return false;
}

void TDADataSetUpdater::RefreshAfterWrite(uint8_t* buf) {
  // Written inside a transaction, the change goes with a lost session: the
  // caller must hear of that loss, not carry on as if it were kept.
  const bool inTransaction = FDataSet.GetConnection()->InTransaction();
  try {
    RefreshRecord(buf);
  } catch (const EDAError& e) {
    if (inTransaction && e.IsFatalError()) throw;
  } catch (const EDatabaseError&) {
  }
}

void TDADataSetUpdater::TakeAutoIncrement(uint8_t* newBuf, TZelCommand* command) {
  const int fieldNo = AutoIncrementFieldNo();
  TZelRecordSet& data = *FDataSet.GetIRecordSet();
  if (fieldNo <= 0 || !data.GetNull(fieldNo, newBuf)) return;
  if (!command && FStatement) command = FStatement->GetCommand();
  const int64_t id = command ? LastInsertId(*command) : 0;
  if (id != 0) data.PutFieldAsVariant(fieldNo, newBuf, Variant(id));
}

int64_t TDADataSetUpdater::TotalRowsAffected() {
  Variant rows;
  if (!FStatement || !FStatement->GetCommand()->GetProp(prRowsAffected, rows)) return 0;
  return rows.AsInt64();
}

void TDADataSetUpdater::ResetBatch() {
  FBatchSQL.clear();
  FBatchParams.reset();
  FBatchPositions.clear();
  FBatchStatements.clear();
  FBatchCount = 0;
  FBatchAutoIncBuf = nullptr;
}

void TDADataSetUpdater::FlushBatch() {
  if (FBatchCount == 0) return;
  const int count = FBatchCount;
  uint8_t* autoIncBuf = FBatchAutoIncBuf;
  try {
    ExecuteStatement(FBatchSQL, *FBatchParams, FBatchPositions, false, &FBatchStatements);
  } catch (...) {
    ResetBatch();
    throw;
  }
  ResetBatch();
  // Every statement of a batch finds its row by a unique key or inserts one:
  // together they must have touched exactly one row each.
  FRowsAffected = TotalRowsAffected();
  if (FDataSet.Options().StrictUpdate && FRowsAffected != count)
    DatabaseError(u"Update failed. Found " + IntToStr(FRowsAffected) + u" records");
  if (autoIncBuf) TakeAutoIncrement(autoIncBuf);
}

TUpdateRecAction TDADataSetUpdater::ApplyCached(TMemData::TUpdateRecKind kind, uint8_t* newBuf, const uint8_t* oldBuf,
                                                bool last) {
  const TStatementType type = kind == TMemData::ukInsert ? stInsert : kind == TMemData::ukUpdate ? stUpdate : stDelete;
  TDASQLGenerator& generator = Generator();
  const bool batches = FDataSet.Options().UpdateBatchSize > 1 && SupportsBatches();
  const bool refresh = RefreshWanted(type);
  if (!batches || HasOwnStatement(type) || (type != stInsert && !generator.KeyIsUnique())) {
    FlushBatch();
    if (PerformSQL(type, oldBuf, newBuf) && refresh) RefreshAfterWrite(newBuf);
    return urApplied;
  }
  if (!FBatchParams) FBatchParams = std::make_unique<TDAParams>();
  const UString sql =
      generator.GenerateSQL(type, !FDataSet.Options().UpdateAllFields, oldBuf, newBuf, *FBatchParams, FBatchCount);
  if (sql.empty()) {
    if (type != stUpdate || generator.UpdatingTableName().empty())
      DatabaseError(u"No statement for the change: the dataset has no updating table");
    if (last) FlushBatch();
    return FBatchCount > 0 && !last ? urSuspended : urApplied;
  }
  if (!FBatchSQL.empty()) FBatchSQL += u"\r\n";
  const size_t offset = FBatchSQL.size();
  for (const TDAParamInfo& info : generator.ParamsInfo()) FBatchPositions.push_back(offset + info.Position);
  FBatchStatements.push_back({offset, sql.size()});
  FBatchSQL += sql;
  FBatchSQL += u';';
  ++FBatchCount;
  const int autoInc = type == stInsert ? AutoIncrementFieldNo() : 0;
  const bool serverMakesId = autoInc > 0 && FDataSet.GetIRecordSet()->GetNull(autoInc, newBuf);
  if (serverMakesId) FBatchAutoIncBuf = newBuf;
  // A change read back after its write ends its batch too.
  if (last || serverMakesId || refresh || FBatchCount >= FDataSet.Options().UpdateBatchSize) {
    FlushBatch();
    if (refresh) RefreshAfterWrite(newBuf);
    return urApplied;
  }
  return urSuspended;
}

}  // namespace vix
