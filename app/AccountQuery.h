// The dialog's user query: one SQL text with ":Name" parameters on the
// account-database connection, run through the connection's MySQL record
// set. Opening connects the connection when it is closed. The fields and
// the navigation are those of the record-storage dataset.
#pragma once

#include <memory>

#include "Common/MemDS.h"
#include "rtl/UString.h"

namespace vix {

class TMySQLRecordset;
class TParamDesc;
class TVixConnection;

// One parameter of the query; values are given as text.
class TAccountQueryParam {
 public:
  explicit TAccountQueryParam(TParamDesc& desc) : FDesc(desc) {}
  void SetAsString(const UString& value);

 private:
  TParamDesc& FDesc;
};

class TAccountQuery : public TMemDataSet {
 public:
  explicit TAccountQuery(TVixConnection& connection);
  ~TAccountQuery() override;

  TVixConnection& Connection() const { return FConnection; }
  // Raises "Cannot perform this operation on an open dataset" while open.
  void SetSQL(const UString& text);
  const UString& SQL() const { return FSQL; }
  // Raises EDatabaseError "Parameter '<name>' not found" (names ignore case).
  TAccountQueryParam ParamByName(UStringView name);

 protected:
  void DataOpen() override;
  bool FetchMore() override;

 private:
  TVixConnection& FConnection;
  std::unique_ptr<TMySQLRecordset> FRecordSet;
  UString FSQL;
};

}  // namespace vix
