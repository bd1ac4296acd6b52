// The dataset's updater: runs the generated statements of its changes on a
// statement object of the dataset's connection.
#include <utility>

#include "Common/DASQLGenerator.h"
#include "Common/DASQLText.h"
#include "Common/DBAccess.h"

namespace vix {

TDADataSetUpdater::TDADataSetUpdater(TCustomDADataSet& dataSet) : FDataSet(dataSet) {}

TDADataSetUpdater::~TDADataSetUpdater() {
  if (FStatement && FStatement->Active()) {
    try {
      FStatement->Close();
    } catch (...) {
    }
  }
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
                                            const std::vector<size_t>& positions, bool keepRows) {
  TCustomDAConnection* connection = FDataSet.GetConnection();
  if (!connection) DatabaseError(u"Connection is not defined");
  connection->BeginUse();
  struct TUse {
    TCustomDAConnection* c;
    ~TUse() { c->EndUse(); }
  } use{connection};
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

int64_t TDADataSetUpdater::LastInsertId() {
  if (!FStatement) return 0;
  Variant id;
  if (!FStatement->GetCommand()->GetProp(prLastInsertId, id) || id.IsEmptyOrNull()) return 0;
  return id.AsInt64();
}

int TDADataSetUpdater::AutoIncrementFieldNo() const {
  TKeyAndDataFields fields;
  FGenerator->GetKeyAndDataFields(fields);
  for (const TFieldDesc* desc : fields.DataFieldDescs)
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
  auto run = [&] { return ExecuteStatement(sql, params, positions); };
  const bool checked = (type == stUpdate || type == stDelete) && !generator.KeyIsUnique();
  FRowsAffected = checked ? RunChecked(run) : run();
  if ((checked || FDataSet.Options().StrictUpdate) && type != stInsert && FRowsAffected != 1)
    DatabaseError(u"Update failed. Found " + IntToStr(FRowsAffected) + u" records");
  if (type == stInsert) TakeAutoIncrement(newBuf);
  return true;
}

bool TDADataSetUpdater::SameLockValue(const Variant& a, const Variant& b) const {
  if (a.IsNull() || b.IsNull()) return a.IsNull() == b.IsNull();
  return a == b || a.AsString() == b.AsString();
}

void TDADataSetUpdater::LockRecord(const uint8_t* oldBuf) {
  TDASQLGenerator& generator = Generator();
  TDAParams params;
  const UString sql = generator.GenerateSQL(stLock, false, oldBuf, oldBuf, params);
  if (sql.empty()) DatabaseError(u"The provider cannot lock records");
  std::vector<size_t> positions;
  for (const TDAParamInfo& info : generator.ParamsInfo()) positions.push_back(info.Position);
  ReadOneRow(sql, params, positions, [&](TZelRecordSet& statement, const uint8_t* row) {
    TZelRecordSet& data = *FDataSet.GetIRecordSet();
    TKeyAndDataFields fields;
    generator.GetKeyAndDataFields(fields);
    for (const TFieldDesc* desc : fields.DataFieldDescs) {
      if (IsBlobDataType(desc->FDataType)) continue;
      const TFieldDesc* column =
          statement.Fields().FindField(desc->FActualName.empty() ? desc->FName : desc->FActualName);
      if (!column) continue;
      if (!SameLockValue(statement.GetFieldAsVariant(column->FFieldNo, row),
                         data.GetFieldAsVariant(desc->FFieldNo, oldBuf)))
        DatabaseError(u"Record was changed by another user");
    }
  });
}

void TDADataSetUpdater::ReadOneRow(const UString& sql, const TDAParams& params, const std::vector<size_t>& positions,
                                   const std::function<void(TZelRecordSet&, const uint8_t*)>& use) {
  TZelRecordSet& statement = Statement();
  ExecuteStatement(sql, params, positions, true);
  struct TClose {
    TZelRecordSet& s;
    ~TClose() {
      try {
        s.Close();
      } catch (...) {
      }
    }
  } close{statement};
  FRowsAffected = statement.RecordCount();
  if (FRowsAffected != 1) DatabaseError(u"Refresh failed. Found " + IntToStr(FRowsAffected) + u" records");
  statement.SetToBegin();
  std::vector<uint8_t> row = statement.AllocRecBuf();
  statement.GetNextRecord(row.data());
  use(statement, row.data());
}

void TDADataSetUpdater::RefreshRecord(uint8_t* buf, TParserClass lexer) {
  TDAParams keys;
  const UString condition = Generator().RefreshCondition(buf, keys);
  const UString sql = AddWhere(FDataSet.FinalSQL(), condition, lexer);
  // The values in the order the command finds the parameters: the key's,
  // else the dataset's own.
  TZelRecordSet& statement = Statement();
  statement.SetSQL(sql);
  const TZelCommand& command = *statement.GetCommand();
  TDAParams params;
  for (int i = 0; i < command.GetParamCount(); ++i) {
    const UString& name = command.GetParam(i)->GetName();
    const TDAParam* from = keys.FindParam(name);
    if (!from) from = FDataSet.Params().FindParam(name);
    if (!from) DatabaseError(u"Not found field corresponding parameter " + name);
    TDAParam* param = params.Add(name);
    param->SetParamType(ptInput);
    if (from->GetDataType() != ftUnknown) param->SetDataType(from->GetDataType());
    param->SetValue(from->GetValue());
  }
  ReadOneRow(sql, params, {}, [&](TZelRecordSet& result, const uint8_t* row) {
    TZelRecordSet& data = *FDataSet.GetIRecordSet();
    const TFieldDescs& columns = result.Fields();
    for (int i = 0; i < columns.Count(); ++i) {
      const TFieldDesc& column = columns[i];
      const TFieldDesc* desc = data.Fields().FindField(column.FName);
      if (!desc || !desc->HasDataSlot() || desc->FFieldDescKind != fdkData || IsBlobDataType(desc->FDataType) ||
          IsBlobDataType(column.FDataType))
        continue;
      data.PutFieldAsVariant(desc->FFieldNo, buf, result.GetFieldAsVariant(column.FFieldNo, row));
    }
  });
}

void TDADataSetUpdater::TakeAutoIncrement(uint8_t* newBuf) {
  const int fieldNo = AutoIncrementFieldNo();
  TZelRecordSet& data = *FDataSet.GetIRecordSet();
  if (fieldNo <= 0 || !data.GetNull(fieldNo, newBuf)) return;
  const int64_t id = LastInsertId();
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
  FBatchCount = 0;
  FBatchAutoIncBuf = nullptr;
}

void TDADataSetUpdater::FlushBatch() {
  if (FBatchCount == 0) return;
  const int count = FBatchCount;
  uint8_t* autoIncBuf = FBatchAutoIncBuf;
  try {
    ExecuteStatement(FBatchSQL, *FBatchParams, FBatchPositions);
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
  if (!batches || (type != stInsert && !generator.KeyIsUnique())) {
    FlushBatch();
    PerformSQL(type, oldBuf, newBuf);
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
  FBatchSQL += sql;
  FBatchSQL += u';';
  ++FBatchCount;
  const int autoInc = type == stInsert ? AutoIncrementFieldNo() : 0;
  const bool serverMakesId = autoInc > 0 && FDataSet.GetIRecordSet()->GetNull(autoInc, newBuf);
  if (serverMakesId) FBatchAutoIncBuf = newBuf;
  if (last || serverMakesId || FBatchCount >= FDataSet.Options().UpdateBatchSize) {
    FlushBatch();
    return urApplied;
  }
  return urSuspended;
}

}  // namespace vix
