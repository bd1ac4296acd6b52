// Catalog questions in one shape: a metadata kind and restrictions in
// ("NAME=value" lines), rows with fixed column names out. TZelMetaData is the
// provider-neutral frame (kinds, restrictions, the storage it assembles rows
// in); a provider answers the kinds (MySQL: TMySQLMetaData).
#pragma once

#include <memory>
#include <vector>

#include "Common/MemData.h"
#include "Common/ZelAccess.h"
#include "rtl/UString.h"
#include "rtl/Variant.h"

namespace vix {

// The restriction lines of a request, read by name.
class TMetaRestrictions {
 public:
  // Lines "NAME=value" separated by CR and/or LF; names compared ignoring case.
  explicit TMetaRestrictions(const UString& text);
  // The value trimmed; empty when absent (an empty value is no restriction).
  UString Value(UStringView name) const;

 private:
  std::vector<std::pair<UString, UString>> FLines;
};

// A column of an assembled result.
struct TMetaColumn {
  UStringView Name;
  TDataType Type;  // mtWideString or mtInt32
  int Length;      // characters of a text column
};

// Storage with a fixed list of columns whose rows are added one by one.
class TMetaTable : public TMemData {
 public:
  explicit TMetaTable(std::vector<TMetaColumn> columns);
  // Appends a row; `values` by column, missing ones null.
  void AddRow(const std::vector<Variant>& values);

 protected:
  void InternalInitFields() override;

 private:
  std::vector<TMetaColumn> FColumns;
};

class TZelMetaData {
 public:
  TZelMetaData();
  virtual ~TZelMetaData();
  TZelMetaData(const TZelMetaData&) = delete;
  TZelMetaData& operator=(const TZelMetaData&) = delete;

  // The rows for `kind` (ignoring case and surrounding blanks; empty: the
  // kind list) under `restrictions`, open and before their first row. The
  // storage belongs to this object and lives until the next call.
  // Raises EDatabaseError "Unsupported metadata kind" for any other kind, and
  // "<NAME> restriction must be set" where a kind needs a restriction.
  TMemData& GetMetaData(TZelConnection* connection, TZelTransaction* transaction, const UString& restrictions,
                        const UString& kind);

  // MetaDataKinds, Restrictions, Tables, Columns, Procedures,
  // ProcedureParameters, Indexes, IndexColumns, Constraints.
  virtual void GetMetaDataKindsList(std::vector<UString>& list) const;
  // The restriction names of a kind (empty for an unknown one).
  virtual void GetRestrictionsList(std::vector<UString>& list, const UString& kind) const;

 protected:
  // The provider's answers. `kind` is lower case. The base answers
  // "metadatakinds" and "restrictions" and raises "Unsupported metadata
  // kind" for the rest.
  virtual TMemData& InternalGetMetaData(const UString& kind, const TMetaRestrictions& restrictions);
  // A new assembled result with these columns (replaces the previous one).
  TMetaTable& NewTable(std::vector<TMetaColumn> columns);
  [[noreturn]] static void RequiredRestriction(UStringView name);

  TZelConnection* FConnection = nullptr;
  TZelTransaction* FTransaction = nullptr;

 private:
  std::unique_ptr<TMetaTable> FTable;
};

}  // namespace vix
