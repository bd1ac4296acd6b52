// The MySQL answers to the catalog questions of TZelMetaData: queries on
// information_schema whose restriction values go out as parameters of the
// command (rendered as escaped literals), never pasted into the text.
#pragma once

#include <memory>

#include "Common/ZelMetaData.h"
#include "MySql/MyClasses.h"

namespace vix {

class TMyMetaConditions;

// Kinds: Tables, Columns, Procedures and Constraints come straight from an
// information_schema query (the columns of that query, the server's types);
// ProcedureParameters, Indexes, IndexColumns, Databases, MetaDataKinds and
// Restrictions are assembled (texts as wide strings, so every name is kept
// whole, numbers as 32-bit integers). Restriction values that are quoted
// names (`my table`) are unquoted first. SCOPE=LOCAL restricts Tables and
// Procedures to the current database. Needs a server of version 5 or later.
class TMySQLMetaData : public TZelMetaData {
 public:
  TMySQLMetaData();
  ~TMySQLMetaData() override;

 protected:
  TMemData& InternalGetMetaData(const UString& kind, const TMetaRestrictions& restrictions) override;

 private:
  TMySQLConnection& Connection() const;
  // The rows of an information_schema query straight from the record set.
  TMemData& Direct(const UString& select, const TMyMetaConditions& conditions, const UString& orderBy);
  TMemData& Tables(const TMetaRestrictions& r);
  TMemData& Columns(const TMetaRestrictions& r);
  TMemData& Procedures(const TMetaRestrictions& r);
  TMemData& ProcedureParameters(const TMetaRestrictions& r);
  TMemData& Indexes(const TMetaRestrictions& r, bool columns);
  TMemData& Constraints(const TMetaRestrictions& r);
  TMemData& Databases();

  std::unique_ptr<TMySQLRecordset> FRecordSet;
};

}  // namespace vix
