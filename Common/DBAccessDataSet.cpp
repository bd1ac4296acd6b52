// The query dataset: SQL text and parameters, the connection's use, and the
// provider record set that runs the text and holds the rows.
#include "Common/DBAccess.h"

#include <algorithm>
#include <utility>

#include "Common/DASQLGenerator.h"
#include "Common/DASQLText.h"

namespace vix {

namespace {

// Scans a text for ":Name" parameters when no provider command is at hand:
// the generic SQL lexer, double-quoted names.
class TLocalScanCommand : public TZelCommand {
 public:
  bool GetPrepared() const override { return false; }
  void Execute(int) override {}
  TCursorState GetCursorState() const override { return csInactive; }
  void SetCursorState(TCursorState) override {}
};

}  // namespace

TCustomDADataSet::TCustomDADataSet() = default;

TCustomDADataSet::~TCustomDADataSet() {
  try {
    Close();
  } catch (...) {
  }
  if (FConnection) FConnection->UnRegisterClient(*this);
  DetachUpdateObjects();
}

void TCustomDADataSet::SetConnection(TCustomDAConnection* value) {
  if (value == FConnection) return;
  Close();
  if (FConnection) FConnection->UnRegisterClient(*this);
  FUpdater.reset();
  FConnection = value;
  if (FConnection) FConnection->RegisterClient(*this);
  // The text is read again with the lexer of the connection's provider.
  if (!FSQL.empty() && !FIRecordSet) {
    FMacros.SetParserClass(CommandParserClass());
    FMacros.Scan(FSQL);
    AssembleSQL();
  }
}

// --- SQL text and parameters -------------------------------------------------------

void TCustomDADataSet::SetSQL(const UString& value) {
  if (value == FSQL) return;
  Close();
  UnPrepare();
  FFieldDefsUpdated = false;
  if (FIRecordSet) FIRecordSet->GetCommand()->SetCursorState(csInactive);
  FSQL = value;
  FMacros.SetParserClass(CommandParserClass());
  FMacros.Scan(FSQL);
  AssembleSQL();
}

TParserClass TCustomDADataSet::CommandParserClass() const {
  if (FIRecordSet) return FIRecordSet->GetCommand()->GetParserClass();
  if (const std::unique_ptr<TZelRecordSet> scanner = CreateScanRecordSet())
    return scanner->GetCommand()->GetParserClass();
  return &NewParser<TSQLParser>;
}

UString TCustomDADataSet::FinalSQL() const {
  UString sql = FSQL;
  while (!sql.empty() && sql.back() < u'!') sql.pop_back();
  if (FMacros.Count() > 0) sql = FMacros.Expand(sql, CommandParserClass());
  sql = ProcessFinalSQL(std::move(sql));
  if (!Trim(FFilterSQL).empty()) sql = AddWhere(sql, FFilterSQL, CommandParserClass());
  if (IsLinked() && !FLocalMasterDetail) {
    const UString condition = MasterDetailCondition(sql);
    if (!condition.empty()) sql = AddWhere(sql, condition, CommandParserClass());
  }
  return sql;
}

bool TCustomDADataSet::NamesParams(const UString& sql, const std::vector<UString>& names) const {
  TLocalScanCommand local;
  const std::unique_ptr<TZelRecordSet> scanner = CreateScanRecordSet();
  TZelCommand* command = scanner ? scanner->GetCommand() : &local;
  command->SetSQL(sql);
  for (const UString& name : names) {
    bool found = false;
    for (int i = 0; i < command->GetParamCount() && !found; ++i)
      found = SameText(command->GetParam(i)->GetName(), name);
    if (!found) return false;
  }
  return true;
}

void TCustomDADataSet::SetFilterSQL(const UString& value) {
  if (value == FFilterSQL) return;
  const bool wasActive = Active();
  // The query opens again: changes the server has not got would go with its
  // records.
  if (wasActive && HoldsUnappliedChanges())
    DatabaseError(u"Cannot change FilterSQL while cached updates are pending", this);
  const UString old = FFilterSQL;
  FFilterSQL = value;
  try {
    // A condition that cannot be added leaves the text as it was, and an
    // open query open.
    FinalSQL();
  } catch (...) {
    FFilterSQL = old;
    throw;
  }
  UnPrepare();
  Close();
  try {
    AssembleSQL();
  } catch (...) {
    FFilterSQL = old;
    AssembleSQL();
    throw;
  }
  if (wasActive) Open();
}

void TCustomDADataSet::AssembleSQL() {
  const UString sql = FinalSQL();
  TZelCommand* command = FIRecordSet ? FIRecordSet->GetCommand() : nullptr;
  TLocalScanCommand local;
  std::unique_ptr<TZelRecordSet> scanner;
  if (command) {
    FIRecordSet->SetSQL(sql);
  } else {
    if (!FParamCheck) return;
    // Before the first open the provider's command scans, when it is known.
    scanner = CreateScanRecordSet();
    command = scanner ? scanner->GetCommand() : &local;
    command->SetSQL(sql);
  }
  if (FParamCheck) FParams.RebuildFromParamDescs(command->Params(), GetFieldType);
}

bool TCustomDADataSet::Prepared() const {
  return FIRecordSet && FIRecordSet->Prepared();
}

void TCustomDADataSet::Prepare() {
  if (Prepared()) return;
  CheckInactive();
  BeginConnection();
  try {
    FIRecordSet->SetSQL(FinalSQL());
    TParamWriteSettings settings;
    settings.ConvertEOL = FConnection->Options().GetConvertEOL();
    FParams.WriteParamDescs(FIRecordSet->GetCommand()->Params(), ParamDataTypeMap(), false, settings);
    FIRecordSet->GetCommand()->Prepare();
    FIRecordSet->Prepare();
    FFieldDefsUpdated = false;
  } catch (...) {
    if (FIRecordSet) FIRecordSet->GetCommand()->Unprepare();
    EndConnection();
    throw;
  }
  EndConnection();
}

void TCustomDADataSet::UnPrepare() {
  if (!FIRecordSet) return;
  Close();
  const bool was = FIRecordSet->Prepared() || FIRecordSet->GetCommand()->GetPrepared();
  if (FIRecordSet->Prepared()) FIRecordSet->UnPrepare();
  FIRecordSet->GetCommand()->Unprepare();
  if (was) FFieldDefsUpdated = false;
}

namespace {

// Whether `params` are, in order, the distinct names of `descs`.
bool ParamsMatchDescs(const TDAParams& params, const TParamDescs& descs) {
  std::vector<const UString*> names;
  for (int i = 0; i < descs.Count(); ++i) {
    const UString& name = descs.Items(i)->GetName();
    bool seen = false;
    for (const UString* n : names) seen = seen || SameText(*n, name);
    if (!seen) names.push_back(&name);
  }
  if (names.size() != static_cast<size_t>(params.Count())) return false;
  for (size_t i = 0; i < names.size(); ++i)
    if (!SameText(params.Items(static_cast<int>(i))->GetName(), *names[i])) return false;
  return true;
}

}  // namespace

TDAParam& TCustomDADataSet::ParamByName(UStringView name) const {
  TDAParam* param = FParams.FindParam(name);
  if (!param) DatabaseError(u"Parameter '" + UString(name) + u"' not found", this);
  return *param;
}

TParamDataTypeMap TCustomDADataSet::ParamDataTypeMap() const {
  return GetDataType;
}

// --- options -----------------------------------------------------------------------------

void TCustomDADataSet::SetFetchRows(int value) {
  if (value == FFetchRows) return;
  CheckInactive();
  if (value < 1 || value > 65535) DatabaseError(u"FetchRows must be 1..65535", this);
  FFetchRows = value;
  SetRecordSetProp(prFetchRows, value);
}

void TCustomDADataSet::SetUniDirectional(bool value) {
  if (value == FUniDirectional) return;
  CheckInactive();
  FUniDirectional = value;
  SetRecordSetProp(prUniDirectional, value);
}

void TCustomDADataSet::SetLongStrings(bool value) {
  if (value == FLongStrings) return;
  CheckInactive();
  FLongStrings = value;
  FFieldDefsUpdated = false;
  SetRecordSetProp(prLongStrings, value);
}

void TCustomDADataSet::SetFlatBuffers(bool value) {
  if (value == FFlatBuffers) return;
  CheckInactive();
  FFlatBuffers = value;
  SetRecordSetProp(prFlatBuffers, value);
}

void TCustomDADataSet::SetRecordSetProp(TPropId prop, const Variant& value) {
  if (FIRecordSet) FIRecordSet->SetProp(prop, value);
}

int TCustomDADataSet::RecordCount() const {
  const int shown = TMemDataSet::RecordCount();
  if (!Active() || !FOptions.QueryRecCount || FRecordCount == 0 || !FIRecordSet || Fetched()) return shown;
  return static_cast<int>(FRecordCount - FIRecordSet->FetchedCount() + shown);
}

bool TCustomDADataSet::Fetched() const {
  if (!FIRecordSet) return Active();
  const TCursorState state = FIRecordSet->GetCommand()->GetCursorState();
  return state == csFetched || (Active() && state == csInactive);
}

// --- the connection ------------------------------------------------------------------------

void TCustomDADataSet::CheckIRecordSet() {
  TZelConnection* connection = FConnection ? FConnection->ProviderConnection() : nullptr;
  if (FIRecordSet && !IsIRecordSetOfProvider(*FIRecordSet)) {
    SetData(nullptr);
    FIRecordSet.reset();
    FFieldDefsUpdated = false;
  }
  if (!FIRecordSet) {
    FIRecordSet = CreateIRecordSet();
    SetData(FIRecordSet.get());
    FIRecordSet->GetCommand()->SetComponent(this);
    FIRecordSet->SetProp(prUniDirectional, FUniDirectional);
    FIRecordSet->SetProp(prFetchRows, FFetchRows);
    FIRecordSet->SetProp(prLongStrings, FLongStrings);
    FIRecordSet->SetProp(prFlatBuffers, FFlatBuffers);
    FIRecordSet->SetOnBeforeFetch([this](bool& cancel) {
      if (BeforeFetch) BeforeFetch(*this, cancel);
    });
    FIRecordSet->SetOnAfterFetch([this] {
      if (AfterFetch) AfterFetch(*this);
    });
    FIRecordSet->SetConnection(connection);
    ApplySpecificOptions(*FIRecordSet);
    AssembleSQL();
  } else if (FIRecordSet->GetCommand()->GetConnection() != connection) {
    FIRecordSet->SetConnection(connection);
  }
}

void TCustomDADataSet::BeginConnection() {
  if (!FConnection) DatabaseError(u"Connection is not defined");
  FConnection->BeginUse();
  FInUse = true;
  try {
    CheckIRecordSet();
  } catch (...) {
    EndConnection();
    throw;
  }
}

void TCustomDADataSet::EndConnection() {
  if (!FInUse) return;
  FInUse = false;
  if (FConnection) FConnection->EndUse();
}

// --- open and close ------------------------------------------------------------------------

void TCustomDADataSet::OpenCursor() {
  // The result may be another one, or its table made anew: what the updater
  // learnt about the old one goes.
  if (FUpdater) FUpdater->Generator().ClearFieldDescRefs();
  for (int attempt = 0;; ++attempt) {
    BeginConnection();
    try {
      FRecordCount = 0;
      if (FOptions.QueryRecCount && !FIRecordSet->GetFetchAll()) {
        // The count sees the parameter values of the rows' query, a
        // detail's link values among them.
        PrepareCommandParams();
        FRecordCount = Updater().ReadRecordCount();
      }
      if (BeforeExecute) BeforeExecute(*this);
      TMemDataSet::OpenCursor();
    } catch (const EFailOver&) {
      // The connection was lost and restored: run the statement again, as
      // often as the connection itself would reconnect.
      EndConnection();
      if (attempt < TZelConnection::kMaxReconnectAttempts) continue;
      throw;
    } catch (...) {
      EndConnection();
      throw;
    }
    break;
  }
  FRowsAffected = -1;
  if (FOptions.SetFieldsReadOnly) MarkReadOnlyFields();
  // Every row is in memory: the query holds the connection no longer.
  if (FIRecordSet->CanDisconnect()) EndConnection();
}

void TCustomDADataSet::Execute() {
  Close();
  BeginConnection();
  try {
    if (BeforeExecute) BeforeExecute(*this);
    FIRecordSet->SetSQL(FinalSQL());
    if (FParamCheck && !ParamsMatchDescs(FParams, FIRecordSet->GetCommand()->Params()))
      FParams.RebuildFromParamDescs(FIRecordSet->GetCommand()->Params(), GetFieldType);
    TParamWriteSettings settings;
    settings.ConvertEOL = FConnection->Options().GetConvertEOL();
    FParams.WriteParamDescs(FIRecordSet->GetCommand()->Params(), ParamDataTypeMap(), true, settings);
    try {
      FIRecordSet->ExecCommand();
      Variant rows;
      FRowsAffected = FIRecordSet->GetCommand()->GetProp(prRowsAffected, rows) ? rows.AsInteger() : -1;
      // Rows the statement returned are dropped: the session is free again.
      FIRecordSet->Close();
    } catch (...) {
      if (AfterExecute) AfterExecute(*this, false);
      throw;
    }
    if (AfterExecute) AfterExecute(*this, true);
  } catch (...) {
    EndConnection();
    throw;
  }
  EndConnection();
}

void TCustomDADataSet::PrepareCommandParams() {
  FIRecordSet->SetSQL(FinalSQL());
  // The session may read the text otherwise than it was scanned before
  // (its quoting mode), and the master-detail condition may be new: the
  // parameters follow the command's scan, and then take the master's values.
  if (FParamCheck && !ParamsMatchDescs(FParams, FIRecordSet->GetCommand()->Params()))
    FParams.RebuildFromParamDescs(FIRecordSet->GetCommand()->Params(), GetFieldType);
  InstallMasterDetailFilter();
}

void TCustomDADataSet::DataOpen() {
  PrepareCommandParams();
  TParamWriteSettings settings;
  settings.ConvertEOL = FConnection->Options().GetConvertEOL();
  FParams.WriteParamDescs(FIRecordSet->GetCommand()->Params(), ParamDataTypeMap(), true, settings);
  try {
    TMemDataSet::DataOpen();
  } catch (...) {
    if (AfterExecute) AfterExecute(*this, false);
    throw;
  }
  if (AfterExecute) AfterExecute(*this, true);
}

void TCustomDADataSet::DataClose() {
  try {
    TMemDataSet::DataClose();
  } catch (const EDAError& e) {
    // A lost connection has nothing left to close.
    if (!e.IsFatalError()) throw;
  }
}

void TCustomDADataSet::CloseCursor() {
  if (FDetailRefreshTimer) FDetailRefreshTimer->Stop();
  try {
    TMemDataSet::CloseCursor();
  } catch (...) {
    EndConnection();
    throw;
  }
  EndConnection();
}

bool TCustomDADataSet::FetchMore() {
  if (!FIRecordSet || Fetched()) return false;
  const int before = FIRecordSet->RecordCount();
  FInFetch = true;
  try {
    FIRecordSet->Fetch();
  } catch (...) {
    FInFetch = false;
    CloseIfAsked();
    throw;
  }
  FInFetch = false;
  if (CloseIfAsked()) return false;
  if (FInUse && FIRecordSet->CanDisconnect()) EndConnection();
  return FIRecordSet->RecordCount() > before;
}

bool TCustomDADataSet::CloseIfAsked() {
  if (!FCloseAfterFetch) return false;
  FCloseAfterFetch = false;
  try {
    Close();
  } catch (const EDAError&) {
    // The connection that asked for the close is gone already.
  }
  return true;
}

// --- editing -----------------------------------------------------------------------------------

std::unique_ptr<TDADataSetUpdater> TCustomDADataSet::CreateUpdater() {
  return std::make_unique<TDADataSetUpdater>(*this);
}

TDADataSetUpdater& TCustomDADataSet::Updater() {
  if (!FUpdater) {
    FUpdater = CreateUpdater();
    FUpdater->SetProp(prLockType, static_cast<int32_t>(FLockType));
  }
  return *FUpdater;
}

void TCustomDADataSet::RefreshRecord() {
  CheckBrowseMode();
  if (IsEmpty() || !FIRecordSet) return;
  const TConnectionUse use(FConnection);
  RefreshStored(false);
  // The values read have their place in the order and their answer from the filter.
  FIRecordSet->ItemChanged(FIRecordSet->CurrentItem);
  Resync();
}

void TCustomDADataSet::RefreshStored(bool underLock) {
  std::vector<uint8_t> buf = FIRecordSet->AllocRecBuf();
  FIRecordSet->GetRecord(buf.data());
  // The copy owns its values while the row's replace them, as an edit's.
  FIRecordSet->AddRefComplexFields(buf.data());
  try {
    if (underLock) Updater().LockRecord(buf.data(), buf.data());
    else Updater().RefreshRecord(buf.data());
    FIRecordSet->UpdateRecord(buf.data());
  } catch (...) {
    FIRecordSet->FreeComplexFields(buf.data());
    throw;
  }
  FIRecordSet->FreeComplexFields(buf.data());
}

void TCustomDADataSet::SetLockType(TLockType value) {
  FLockType = value;
  if (FUpdater) FUpdater->SetProp(prLockType, static_cast<int32_t>(value));
}

void TCustomDADataSet::Lock() {
  if (!Active()) DatabaseError(u"Dataset not open", this);
  // A new record has no row to lock yet.
  if (State() == dsInsert) return;
  if (IsEmpty() || !FIRecordSet) DatabaseError(u"Cannot perform this operation on an empty dataset", this);
  const TConnectionUse use(FConnection);
  if (State() == dsEdit) {
    if (FEditLocked) return;
    BeginLockTransaction();
    try {
      Updater().LockRecord(OldRecBuf());
    } catch (...) {
      EndLockTransaction(false);
      throw;
    }
    FEditLocked = true;
    return;
  }
  // In browse mode nothing would end a transaction of its own.
  if (!FConnection->InTransaction()) DatabaseError(u"A record lock needs an open transaction", this);
  if (FRefreshOptions & roBeforeEdit) {
    RefreshStored(true);
    FIRecordSet->ItemChanged(FIRecordSet->CurrentItem);
    Resync();
    return;
  }
  std::vector<uint8_t> buf = FIRecordSet->AllocRecBuf();
  FIRecordSet->GetRecord(buf.data());
  Updater().LockRecord(buf.data());
}

std::unique_ptr<TZelRecordSet> TCustomDADataSet::NewStatementRecordSet() {
  if (!FConnection) DatabaseError(u"Connection is not defined");
  std::unique_ptr<TZelRecordSet> recordSet = CreateIRecordSet();
  recordSet->GetCommand()->SetComponent(this);
  // Read at once and on the connection itself: the statements belong to its transaction.
  recordSet->SetProp(prFetchAll, true);
  recordSet->SetConnection(FConnection->ProviderConnection());
  return recordSet;
}

void TCustomDADataSet::MarkReadOnlyFields() {
  TDASQLGenerator& generator = Updater().Generator();
  TKeyAndDataFields fields;
  generator.GetKeyAndDataFields(fields, false);
  for (int i = 0; i < FieldCount(); ++i) {
    TField& field = Fields(i);
    bool writable = false;
    for (const TFieldDesc* desc : fields.DataFieldDescs) writable = writable || desc->FFieldNo == field.FieldNo();
    if (!writable) field.SetReadOnly(true);
  }
}

void TCustomDADataSet::DoApplyUpdates(uint8_t kinds) {
  for (int attempt = 0;; ++attempt) {
    bool ownPassLost = false;
    try {
      ApplyUpdatesOnce(kinds, ownPassLost);
      return;
    } catch (const EDAError& e) {
      // The session died while the pass ran in a transaction of its own,
      // before its commit was sent: the server kept nothing of it, and every
      // change is pending again. The whole pass runs once more on a new
      // session, so that each change is applied once.
      if (!ownPassLost || !e.IsFatalError() || !Active() || attempt >= TZelConnection::kMaxReconnectAttempts) throw;
    }
    FConnection->Connect();
  }
}

void TCustomDADataSet::ApplyUpdatesOnce(uint8_t kinds, bool& ownPassLost) {
  const TConnectionUse use(FConnection);
  TZelConnection* provider = FConnection->ProviderConnection();
  std::unique_ptr<TZelTransaction> own;
  if (!FConnection->InTransaction()) {
    own = provider->CreateTransaction();
    own->AddConnection(provider);
    own->StartTransaction();
  }
  // The results before the pass, to put back when the server forgets it.
  std::vector<std::pair<TItemHeader*, uint8_t>> before;
  for (TItemHeader* item : GetIRecordSet()->Cache()) before.emplace_back(item, item->UpdateResult);
  bool committing = false;
  try {
    TMemDataSet::DoApplyUpdates(kinds);
    committing = true;
    if (own) own->Commit();
  } catch (...) {
    ownPassLost = own && !committing;
    Updater().ResetBatch();
    if (own) {
      try {
        if (own->GetActive()) own->Rollback();
      } catch (...) {
      }
      // Nothing of the pass is on the server: no change counts as applied.
      const std::vector<TItemHeader*>& cache = GetIRecordSet()->Cache();
      for (const auto& [item, result] : before)
        if (std::find(cache.begin(), cache.end(), item) != cache.end()) item->UpdateResult = result;
    }
    throw;
  }
}

TUpdateRecAction TCustomDADataSet::ApplyChange(TUpdateRecKind kind, uint8_t* newBuf, const uint8_t* oldBuf, bool last) {
  return Updater().ApplyCached(kind, newBuf, oldBuf, last);
}

void TCustomDADataSet::InternalEdit() {
  const bool lock = FLockMode == lmPessimistic && !CachedUpdates();
  // With cached updates a record whose change is pending keeps it.
  const bool refresh = (FRefreshOptions & roBeforeEdit) && (!CachedUpdates() || UpdateStatus() == isUnmodified);
  if ((lock || refresh) && FIRecordSet) {
    const TConnectionUse use(FConnection);
    try {
      // The stored record is locked (and read again) before the edit takes
      // its values.
      if (lock) BeginLockTransaction();
      if (refresh) {
        RefreshStored(lock);
      } else {
        std::vector<uint8_t> buf = FIRecordSet->AllocRecBuf();
        FIRecordSet->GetRecord(buf.data());
        Updater().LockRecord(buf.data());
      }
    } catch (...) {
      EndLockTransaction(false);
      throw;
    }
  }
  try {
    TMemDataSet::InternalEdit();
  } catch (...) {
    EndLockTransaction(false);
    throw;
  }
  FEditLocked = lock;
}

void TCustomDADataSet::InternalPost() {
  try {
    TMemDataSet::InternalPost();
  } catch (...) {
    // Stored, and only placing it failed: the change is made, the lock ends.
    if (State() == dsBrowse) EndLockTransaction(true);
    throw;
  }
  EndLockTransaction(true);
}

void TCustomDADataSet::InternalCancel() {
  TMemDataSet::InternalCancel();
  EndLockTransaction(false);
}

void TCustomDADataSet::BeginLockTransaction() {
  // A lock outside a transaction would end with its statement.
  if (FConnection->InTransaction()) return;
  TZelConnection* provider = FConnection->ProviderConnection();
  if (!provider) DatabaseError(u"Connection is not connected");
  FLockTransaction = provider->CreateTransaction();
  FLockTransaction->AddConnection(provider);
  FLockTransaction->StartTransaction();
}

void TCustomDADataSet::EndLockTransaction(bool commit) {
  FEditLocked = false;
  std::unique_ptr<TZelTransaction> transaction = std::move(FLockTransaction);
  if (!transaction || !transaction->GetActive()) return;
  if (commit) {
    transaction->Commit();
    return;
  }
  try {
    transaction->Rollback();
  } catch (const EDAError& e) {
    if (!e.IsFatalError()) throw;
  }
}

void TCustomDADataSet::WriteInsert(uint8_t* newBuf) {
  // Connected before the statement is made: a dataset that outlived its
  // session in disconnected mode writes in the dialect of the provider.
  const TConnectionUse use(FConnection);
  TDADataSetUpdater& updater = Updater();
  updater.PerformSQL(stInsert, newBuf, newBuf);
  if (updater.RefreshWanted(stInsert)) updater.RefreshAfterWrite(newBuf);
}

void TCustomDADataSet::WriteUpdate(const uint8_t* oldBuf, uint8_t* newBuf) {
  const TConnectionUse use(FConnection);
  TDADataSetUpdater& updater = Updater();
  // The server may have given the row a new version or other values: read
  // them, or the next change of the record would not find its row.
  if (updater.PerformSQL(stUpdate, oldBuf, newBuf) && updater.RefreshWanted(stUpdate))
    updater.RefreshAfterWrite(newBuf);
}

void TCustomDADataSet::WriteDelete(const uint8_t* oldBuf) {
  const TConnectionUse use(FConnection);
  Updater().PerformSQL(stDelete, oldBuf, const_cast<uint8_t*>(oldBuf));
}

// --- the connection's notices ----------------------------------------------------------------

void TCustomDADataSet::ConnectChange(TCustomDAConnection&, bool connecting) {
  if (connecting) return;
  // A prepared statement ends with its session.
  if (Prepared() && !FInFetch) {
    try {
      UnPrepare();
    } catch (...) {
    }
    return;
  }
  if (FConnection->Options().GetDisconnectedMode()) return;
  // A fetch that failed on a lost connection gets here from inside the
  // record set: its storage is closed once the fetch has unwound.
  if (FInFetch) FCloseAfterFetch = true;
  else Close();
}

void TCustomDADataSet::ProviderConnectionChanged(TCustomDAConnection& sender, TZelConnection* connection) {
  // In disconnected mode a dataset that holds all its rows outlives its
  // session (a pooled one goes back to its pool when the connection closes):
  // the next operation that needs the server connects again, perhaps from
  // inside the updater, which then stays.
  const bool keepsRows = FIRecordSet && sender.Options().GetDisconnectedMode() && Active() && !FInFetch && Fetched() &&
                         !FIRecordSet->Prepared() && IsIRecordSetOfProvider(*FIRecordSet);
  // The updater's statement belongs to the provider connection that goes.
  if (keepsRows && FUpdater) FUpdater->ReleaseStatement();
  else FUpdater.reset();
  if (!FIRecordSet) return;
  if (!keepsRows) {
    if (FInFetch) FCloseAfterFetch = true;
    else Close();
  }
  FIRecordSet->SetConnection(connection);
}

void TCustomDADataSet::ConnectionDestroying(TCustomDAConnection&) {
  try {
    Close();
  } catch (...) {
  }
  FInUse = false;
  FUpdater.reset();
  if (FIRecordSet) FIRecordSet->SetConnection(nullptr);
  FConnection = nullptr;
}

bool TCustomDADataSet::PreventsReconnect() const {
  if (!FIRecordSet) return false;
  return (Active() && !Fetched()) || FIRecordSet->Prepared();
}

}  // namespace vix
