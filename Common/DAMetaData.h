// The metadata dataset: the rows of one catalog question (a metadata kind
// with restrictions, TZelMetaData) asked through a connection, browsed like
// a query's rows.
#pragma once

#include <memory>
#include <vector>

#include "Common/DBAccess.h"
#include "Common/ZelMetaData.h"

namespace vix {

class TDAMetaData : public TMemDataSet, public TDAConnectionClient {
 public:
  TDAMetaData();
  ~TDAMetaData() override;

  TCustomDAConnection* GetConnection() const { return FConnection; }
  // Another connection closes the dataset first.
  void SetConnection(TCustomDAConnection* value);
  // The kind ("Tables", "Columns", ...; TZelMetaData lists them) and the
  // restrictions as "NAME=value" lines. A change closes the dataset.
  const UString& GetMetaDataKind() const { return FMetaDataKind; }
  void SetMetaDataKind(const UString& value);
  const UString& GetRestrictions() const { return FRestrictions; }
  void SetRestrictions(const UString& value);

  // The connection's notices: closing it closes the dataset.
  void ConnectChange(TCustomDAConnection& sender, bool connecting) override;
  void ConnectionDestroying(TCustomDAConnection& sender) override;

 protected:
  // Connects when needed (the connection's counted use), asks the
  // provider's metadata object and shows its rows.
  void OpenCursor() override;
  void CloseCursor() override;
  // The provider's storage is open already when the cursor opens.
  void DataOpen() override {}

 private:
  TCustomDAConnection* FConnection = nullptr;
  UString FMetaDataKind;
  UString FRestrictions;
  std::unique_ptr<TZelMetaData> FMetaData;
  bool FInUse = false;
};

}  // namespace vix
