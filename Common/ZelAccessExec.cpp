// The execution side of the provider bases: the command's settings and the
// record set's open and fetch loop.
#include "Common/ZelAccess.h"

namespace vix {

namespace {

[[noreturn]] void UnknownProp(TPropId prop) {
  throw Exception(IntToStr(prop));
}

}  // namespace

// --- TZelCommand ---------------------------------------------------------------------

void TZelCommand::Execute(int) {
  throw EDatabaseError(u"Operation is not supported by the database");
}

bool TZelCommand::SetProp(TPropId prop, const Variant& value) {
  switch (prop) {
    case prAutoCommit: FAutoCommit = value.AsBoolean(); return true;
    case prScanParams: SetScanParams(value.AsBoolean()); return true;
    case prCompressBlob: FCompressBlob = static_cast<TCompressBlobMode>(value.AsInteger()); return true;
    case prDisableParamScan: FDisableParamScan = value.AsBoolean(); return true;
    case prQuoteNames: FQuoteNames = value.AsBoolean(); return true;
    case prEnableBCD: FEnableBCD = value.AsBoolean(); return true;
    case prEnableFMTBCD: FEnableFMTBCD = value.AsBoolean(); return true;
    case 33:
    case prCanReadParams:
    case prStoredProc: return true;
    default: UnknownProp(prop);
  }
}

bool TZelCommand::GetProp(TPropId prop, Variant& value) {
  switch (prop) {
    case prCanReadParams: value = true; return true;
    case prIsSelectParams:
    case 54: return false;
    default: UnknownProp(prop);
  }
}

// --- TZelRecordSet -------------------------------------------------------------------

TZelRecordSet::TZelRecordSet() = default;

TZelRecordSet::~TZelRecordSet() = default;

void TZelRecordSet::FetchAll() {
  while (Fetch()) {
  }
}

void TZelRecordSet::SortItems() {
  if (IndexFields().empty()) return;
  FetchAll();
  TMemData::SortItems();
}

TSortType TZelRecordSet::DefaultSortType() const {
  const TZelConnection* connection = FCommand ? FCommand->GetConnection() : nullptr;
  if (!connection) return stCaseSensitive;
  const int type = connection->GetDefaultSortType();
  return type >= stCaseSensitive && type <= stBinary ? static_cast<TSortType>(type) : stCaseSensitive;
}

bool TZelRecordSet::CanDisconnect() const {
  const TCursorState s = FCommand ? FCommand->GetCursorState() : csInactive;
  return s == csInactive || s == csFetched;
}

bool TZelRecordSet::RowsReturn() const {
  return FCommandType == ctCursor;
}

void TZelRecordSet::InternalOpen() {
  ExecCommand();
  if (!(FPrepared && FFields.Count() > 0)) InitFields();
  const bool all = FFetchAll || FFetchAllThisOpen;
  FFetchAllThisOpen = false;
  if (all) FetchAll();
  else Fetch();
}

bool TZelRecordSet::SetProp(TPropId prop, const Variant& value) {
  switch (prop) {
    case prUniDirectional:
      FUniDirectional = value.AsBoolean();
      if (FUniDirectional) FFetchAll = false;
      return true;
    case prFetchRows: {
      const int rows = value.AsInteger();
      if (rows < 1 || rows > 65535) throw EDatabaseError(u"FetchRows must be between 1 and 65535");
      FFetchRows = rows;
      return true;
    }
    case prFetchAll:
      if (!FLockFetchAll) FFetchAll = value.AsBoolean() && !FUniDirectional;
      return true;
    case prLongStrings: FLongStrings = value.AsBoolean(); return true;
    case prFlatBuffers: FFlatBuffers = value.AsBoolean(); return true;
    case prIndexFieldNames: SetIndexFieldNames(value.AsString()); return true;
    case prCompressBlob: return FCommand->SetProp(prop, value);
    case prLockFetchAll: FLockFetchAll = value.AsBoolean(); return true;
    case prExtendedFieldsInfo: FExtendedFieldsInfo = value.AsBoolean(); return true;
    case prDefaultValues: FDefaultValues = value.AsBoolean(); return true;
    case prFieldsOrigin: FFieldsOrigin = value.AsBoolean(); return true;
    case 44:
    case 55: return true;
    default: UnknownProp(prop);
  }
}

bool TZelRecordSet::GetProp(TPropId prop, Variant& value) {
  switch (prop) {
    case prFetchAll: value = FFetchAll; return true;
    case prRecordCount: value = FetchedCount(); return true;
    case prExtendedFieldsInfo: value = FExtendedFieldsInfo; return true;
    case prDefaultValues: value = FDefaultValues; return true;
    case prFieldsOrigin: value = FFieldsOrigin; return true;
    default: UnknownProp(prop);
  }
}

}  // namespace vix
