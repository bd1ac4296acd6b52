#include "app/AccountQuery.h"

#include "Common/MemData.h"
#include "MySql/MyClasses.h"
#include "universal/Vix.h"

namespace vix {

void TAccountQueryParam::SetAsString(const UString& value) {
  FDesc.SetDataType(mtWideString);
  FDesc.SetValue(Variant(value));
}

TAccountQuery::TAccountQuery(TVixConnection& connection)
    : FConnection(connection), FRecordSet(std::make_unique<TMySQLRecordset>()) {
  SetData(FRecordSet.get());
}

TAccountQuery::~TAccountQuery() {
  try {
    Close();
  } catch (...) {
    // A destructor has nowhere to report a failed close.
  }
}

void TAccountQuery::SetSQL(const UString& text) {
  CheckInactive();
  FRecordSet->SetSQL(text);
  FSQL = text;
}

TAccountQueryParam TAccountQuery::ParamByName(UStringView name) {
  TParamDesc* desc = FRecordSet->GetCommand()->FindParam(name);
  if (desc == nullptr) DatabaseError(u"Parameter '" + UString(name) + u"' not found", this);
  return TAccountQueryParam(*desc);
}

void TAccountQuery::DataOpen() {
  if (!FConnection.GetConnected()) FConnection.Connect();
  auto* connection = dynamic_cast<TMySQLConnection*>(FConnection.ProviderConnection());
  if (connection == nullptr) DatabaseError(u"The connection's provider is not MySQL", this);
  FRecordSet->SetConnection(connection);
  TMemDataSet::DataOpen();
}

bool TAccountQuery::FetchMore() {
  return FRecordSet->Fetch();
}

}  // namespace vix
