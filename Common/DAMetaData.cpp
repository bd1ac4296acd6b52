#include "Common/DAMetaData.h"

#include "Common/DBTypes.h"
#include "rtl/SysUtils.h"

namespace vix {

TDAMetaData::TDAMetaData() = default;

TDAMetaData::~TDAMetaData() {
  try {
    Close();
  } catch (const Exception&) {
    // A close that fails while the dataset goes has nothing left to tell.
  }
  if (FConnection) FConnection->UnRegisterClient(*this);
}

void TDAMetaData::SetConnection(TCustomDAConnection* value) {
  if (value == FConnection) return;
  Close();
  if (FConnection) FConnection->UnRegisterClient(*this);
  FConnection = value;
  if (FConnection) FConnection->RegisterClient(*this);
}

void TDAMetaData::SetMetaDataKind(const UString& value) {
  if (value == FMetaDataKind) return;
  Close();
  FMetaDataKind = value;
}

void TDAMetaData::SetRestrictions(const UString& value) {
  if (value == FRestrictions) return;
  Close();
  FRestrictions = value;
}

void TDAMetaData::ConnectChange(TCustomDAConnection&, bool connecting) {
  if (!connecting) Close();
}

void TDAMetaData::ConnectionDestroying(TCustomDAConnection&) {
  Close();
  FConnection = nullptr;
}

void TDAMetaData::OpenCursor() {
  if (!FConnection) DatabaseError(u"Connection is not defined", this);
  FConnection->BeginUse();
  FInUse = true;
  try {
    TZelConnection* provider = FConnection->ProviderConnection();
    FMetaData = provider->CreateMetaData();
    SetData(&FMetaData->GetMetaData(provider, nullptr, FRestrictions, FMetaDataKind));
    // Another kind has other columns.
    FFieldDefsUpdated = false;
    TMemDataSet::OpenCursor();
  } catch (...) {
    SetData(nullptr);
    FMetaData.reset();
    FInUse = false;
    FConnection->EndUse();
    throw;
  }
}

void TDAMetaData::CloseCursor() {
  if (Data()) TMemDataSet::CloseCursor();
  SetData(nullptr);
  FMetaData.reset();
  if (FInUse) {
    FInUse = false;
    if (FConnection) FConnection->EndUse();
  }
}

// --- the connection's name lists ------------------------------------------------------

namespace {

// Each name of a column of `kind`'s rows, with schema (and catalog) in front
// when `qualified`.
void ListNames(TCustomDAConnection& connection, std::vector<UString>& list, const UString& kind,
               const UString& restrictions, UStringView catalogColumn, UStringView schemaColumn, UStringView nameColumn,
               bool qualified, bool quote = true) {
  list.clear();
  TDAMetaData meta;
  meta.SetConnection(&connection);
  meta.SetMetaDataKind(kind);
  meta.SetRestrictions(restrictions);
  meta.Open();
  const TSQLInfo& info = connection.ProviderConnection()->SQLInfo();
  for (; !meta.Eof(); meta.Next()) {
    UString name;
    if (qualified) {
      for (UStringView column : {catalogColumn, schemaColumn}) {
        const UString part = column.empty() ? UString() : meta.FieldByName(column).AsString();
        if (!part.empty()) name += info.QuoteIfNeed(part) + u".";
      }
    }
    const UString own = meta.FieldByName(nameColumn).AsString();
    name += quote ? info.QuoteIfNeed(own) : own;
    list.push_back(std::move(name));
  }
  meta.Close();
}

}  // namespace

void TCustomDAConnection::GetTableNames(std::vector<UString>& list, bool allTables) {
  ListNames(*this, list, u"tables", allTables ? UString() : UString(u"SCOPE=LOCAL"), u"TABLE_CATALOG", u"TABLE_SCHEMA",
            u"TABLE_NAME", allTables);
}

void TCustomDAConnection::GetDatabaseNames(std::vector<UString>& list) {
  ListNames(*this, list, u"databases", UString(), u"", u"", u"DATABASE_NAME", false, false);
}

void TCustomDAConnection::GetStoredProcNames(std::vector<UString>& list, bool allProcs) {
  ListNames(*this, list, u"procedures", allProcs ? UString() : UString(u"SCOPE=LOCAL"), u"PROCEDURE_CATALOG",
            u"PROCEDURE_SCHEMA", u"PROCEDURE_NAME", allProcs);
}

}  // namespace vix
