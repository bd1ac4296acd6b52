#include "MySql/MyMetaData.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "Common/DBTypes.h"
#include "MySql/MyKeyInfo.h"
#include "rtl/SysUtils.h"

namespace vix {

// The WHERE part of a catalog query: conditions joined with AND, each value
// a parameter of the command.
class TMyMetaConditions {
 public:
  // C = value, when the value (unquoted) is not empty.
  void Add(UStringView column, const UString& value) {
    const UString v = TMySQLInfo().UnQuote(value);
    if (v.empty()) return;
    Append(UString(column) + u" = " + Param(v));
  }
  // A text the server computes (no value).
  void Append(const UString& condition) {
    if (!FText.empty()) FText += u" AND ";
    FText += condition;
  }
  // C IN (...) over a comma-separated list: items trimmed and upper-cased,
  // empty ones and duplicates dropped, sorted.
  void AddList(UStringView column, const UString& list) {
    std::vector<UString> items;
    size_t start = 0;
    while (start <= list.size()) {
      size_t end = list.find(u',', start);
      if (end == UString::npos) end = list.size();
      UString item = UpperCaseAscii(Trim(UStringView(list).substr(start, end - start)));
      if (!item.empty()) items.push_back(std::move(item));
      start = end + 1;
    }
    std::sort(items.begin(), items.end());
    items.erase(std::unique(items.begin(), items.end()), items.end());
    if (items.empty()) return;
    UString in;
    for (const UString& item : items) in += (in.empty() ? u"" : u", ") + Param(item);
    Append(UString(column) + u" IN (" + in + u")");
  }
  // The scope of tables and procedures: LOCAL is the current database,
  // anything else the schema restriction.
  void AddScope(UStringView column, const TMetaRestrictions& r, UStringView schemaRestriction) {
    if (SameText(r.Value(u"SCOPE"), u"LOCAL")) Append(UString(column) + u" = DATABASE()");
    else Add(column, r.Value(schemaRestriction));
  }
  UString Where() const { return FText.empty() ? UString() : u"WHERE " + FText; }
  const std::vector<TMyTextParam>& Params() const { return FParams; }

 private:
  UString Param(const UString& value) {
    UString name = u"p" + IntToStr(static_cast<int64_t>(FParams.size()));
    FParams.push_back({name, value});
    return u":" + name;
  }

  UString FText;
  std::vector<TMyTextParam> FParams;
};

namespace {

UString Text(const Variant& v) {
  return v.IsNull() ? UString() : v.AsString();
}

Variant Number(const Variant& v) {
  if (v.IsNull()) return Variant::Null();
  const int64_t n = v.AsInt64();
  return static_cast<int32_t>(std::clamp<int64_t>(n, INT32_MIN, INT32_MAX));
}

// The schema restriction or the current database.
const char16_t* kSchemaOrCurrent = u"COALESCE(NULLIF(:schema, ''), DATABASE())";

}  // namespace

TMySQLMetaData::TMySQLMetaData() : FRecordSet(std::make_unique<TMySQLRecordset>()) {
  FRecordSet->SetProp(prFlatBuffers, false);
}

TMySQLMetaData::~TMySQLMetaData() = default;

TMySQLConnection& TMySQLMetaData::Connection() const {
  auto* c = dynamic_cast<TMySQLConnection*>(FConnection);
  if (!c) throw EDatabaseError(u"Connection is not defined");
  return *c;
}

TMemData& TMySQLMetaData::InternalGetMetaData(const UString& kind, const TMetaRestrictions& r) {
  if (kind == u"tables") return Tables(r);
  if (kind == u"columns") return Columns(r);
  if (kind == u"procedures") return Procedures(r);
  if (kind == u"procedureparameters") return ProcedureParameters(r);
  if (kind == u"indexes") return Indexes(r, false);
  if (kind == u"indexcolumns") return Indexes(r, true);
  if (kind == u"constraints") return Constraints(r);
  if (kind == u"databases") return Databases();
  return TZelMetaData::InternalGetMetaData(kind, r);
}

TMemData& TMySQLMetaData::Direct(const UString& select, const TMyMetaConditions& c, const UString& orderBy) {
  OpenWithTextParams(*FRecordSet, Connection(), select + u" " + c.Where() + u" ORDER BY " + orderBy, c.Params());
  return *FRecordSet;
}

TMemData& TMySQLMetaData::Tables(const TMetaRestrictions& r) {
  TMyMetaConditions c;
  c.AddScope(u"TABLE_SCHEMA", r, u"TABLE_SCHEMA");
  c.Add(u"TABLE_NAME", r.Value(u"TABLE_NAME"));
  c.AddList(u"TABLE_TYPE", r.Value(u"TABLE_TYPE"));
  return Direct(
      u"SELECT cast('' as char(1)) TABLE_CATALOG, TABLE_SCHEMA, TABLE_NAME, TABLE_TYPE"
      u" FROM information_schema.TABLES",
      c, u"TABLE_SCHEMA, TABLE_NAME ");
}

TMemData& TMySQLMetaData::Columns(const TMetaRestrictions& r) {
  TMyMetaConditions c;
  c.Add(u"TABLE_SCHEMA", r.Value(u"TABLE_SCHEMA"));
  c.Add(u"TABLE_NAME", r.Value(u"TABLE_NAME"));
  c.Add(u"COLUMN_NAME", r.Value(u"COLUMN_NAME"));
  return Direct(
      u"SELECT cast('' as char(1)) TABLE_CATALOG, TABLE_SCHEMA, TABLE_NAME, COLUMN_NAME,"
      u" ORDINAL_POSITION POSITION, DATA_TYPE, CHARACTER_MAXIMUM_LENGTH DATA_LENGTH,"
      u" NUMERIC_PRECISION DATA_PRECISION, NUMERIC_SCALE DATA_SCALE,"
      u" (case IS_NULLABLE when 'YES' then 1 else 0 end) NULLABLE, COLUMN_DEFAULT DEFAULT_VALUE"
      u" FROM information_schema.COLUMNS",
      c, u"TABLE_SCHEMA, TABLE_NAME, ORDINAL_POSITION ");
}

TMemData& TMySQLMetaData::Procedures(const TMetaRestrictions& r) {
  TMyMetaConditions c;
  c.AddScope(u"ROUTINE_SCHEMA", r, u"PROCEDURE_SCHEMA");
  c.Add(u"ROUTINE_NAME", r.Value(u"PROCEDURE_NAME"));
  c.AddList(u"ROUTINE_TYPE", r.Value(u"PROCEDURE_TYPE"));
  return Direct(
      u"SELECT cast('' as char(1)) PROCEDURE_CATALOG, ROUTINE_SCHEMA PROCEDURE_SCHEMA,"
      u" ROUTINE_NAME PROCEDURE_NAME, ROUTINE_TYPE PROCEDURE_TYPE"
      u" FROM information_schema.ROUTINES",
      c, u"ROUTINE_SCHEMA, ROUTINE_NAME ");
}

TMemData& TMySQLMetaData::Constraints(const TMetaRestrictions& r) {
  TMyMetaConditions c;
  c.Add(u"TABLE_SCHEMA", r.Value(u"TABLE_SCHEMA"));
  c.Add(u"TABLE_NAME", r.Value(u"TABLE_NAME"));
  c.Add(u"CONSTRAINT_NAME", r.Value(u"CONSTRAINT_NAME"));
  c.AddList(u"CONSTRAINT_TYPE", r.Value(u"CONSTRAINT_TYPE"));
  return Direct(
      u"SELECT cast('' as char(1)) TABLE_CATALOG, TABLE_SCHEMA, TABLE_NAME, CONSTRAINT_NAME,"
      u" CONSTRAINT_TYPE, cast('' as char(1)) INDEX_CATALOG, cast('' as char(1)) INDEX_OWNER,"
      u" cast('' as char(1)) INDEX_NAME FROM information_schema.table_constraints",
      c, u"TABLE_SCHEMA, TABLE_NAME, CONSTRAINT_NAME");
}

TMemData& TMySQLMetaData::ProcedureParameters(const TMetaRestrictions& r) {
  const UString name = TMySQLInfo().UnQuote(r.Value(u"PROCEDURE_NAME"));
  if (name.empty()) RequiredRestriction(u"PROCEDURE_NAME");
  const UString parameter = TMySQLInfo().UnQuote(r.Value(u"PARAMETER_NAME"));
  const auto rows = QueryRows(
      Connection(),
      UString(u"SELECT SPECIFIC_SCHEMA, SPECIFIC_NAME, PARAMETER_NAME, ORDINAL_POSITION, PARAMETER_MODE, DATA_TYPE,"
              u" CHARACTER_MAXIMUM_LENGTH, NUMERIC_PRECISION, NUMERIC_SCALE FROM information_schema.PARAMETERS"
              u" WHERE SPECIFIC_SCHEMA = ") +
          kSchemaOrCurrent +
          u" AND SPECIFIC_NAME = :name AND (:param = '' OR PARAMETER_NAME = :param)"
          u" ORDER BY SPECIFIC_SCHEMA, SPECIFIC_NAME, ROUTINE_TYPE, ORDINAL_POSITION",
      {{u"schema", TMySQLInfo().UnQuote(r.Value(u"PROCEDURE_SCHEMA"))}, {u"name", name}, {u"param", parameter}});
  TMetaTable& t = NewTable({{u"PROCEDURE_CATALOG", mtWideString, 100},
                            {u"PROCEDURE_SCHEMA", mtWideString, 100},
                            {u"PROCEDURE_NAME", mtWideString, 100},
                            {u"PARAMETER_NAME", mtWideString, 100},
                            {u"POSITION", mtInt32, 0},
                            {u"DIRECTION", mtWideString, 10},
                            {u"DATA_TYPE", mtWideString, 50},
                            {u"DATA_LENGTH", mtInt32, 0},
                            {u"DATA_PRECISION", mtInt32, 0},
                            {u"DATA_SCALE", mtInt32, 0}});
  for (const auto& row : rows) {
    // A function's result has no mode: it goes out.
    const UString mode = UpperCaseAscii(Text(row[4]));
    const UString direction = mode == u"IN" ? u"IN" : mode == u"INOUT" ? u"IN/OUT" : u"OUT";
    t.AddRow({UString(), row[0], row[1], row[2], Number(row[3]), direction, row[5], Number(row[6]), Number(row[7]),
              Number(row[8])});
  }
  t.SetToBegin();
  return t;
}

TMemData& TMySQLMetaData::Indexes(const TMetaRestrictions& r, bool columns) {
  const UString table = TMySQLInfo().UnQuote(r.Value(u"TABLE_NAME"));
  if (table.empty()) RequiredRestriction(u"TABLE_NAME");
  const UString index = TMySQLInfo().UnQuote(r.Value(u"INDEX_NAME"));
  // The server lists an index's columns together, the indexes in the order
  // SHOW INDEX shows them.
  const auto rows =
      QueryRows(Connection(),
                UString(u"SELECT TABLE_SCHEMA, TABLE_NAME, INDEX_SCHEMA, INDEX_NAME, NON_UNIQUE,"
                        u" COLUMN_NAME, SEQ_IN_INDEX, COLLATION FROM information_schema.STATISTICS"
                        u" WHERE TABLE_SCHEMA = ") +
                    kSchemaOrCurrent + u" AND TABLE_NAME = :tbl AND (:idx = '' OR INDEX_NAME = :idx)",
                {{u"schema", TMySQLInfo().UnQuote(r.Value(u"TABLE_SCHEMA"))}, {u"tbl", table}, {u"idx", index}});
  std::vector<TMetaColumn> layout = {{u"TABLE_CATALOG", mtWideString, 100}, {u"TABLE_SCHEMA", mtWideString, 100},
                                     {u"TABLE_NAME", mtWideString, 100},    {u"INDEX_CATALOG", mtWideString, 100},
                                     {u"INDEX_SCHEMA", mtWideString, 100},  {u"INDEX_NAME", mtWideString, 100}};
  if (columns) {
    layout.push_back({u"COLUMN_NAME", mtWideString, 100});
    layout.push_back({u"COLUMN_POSITION", mtInt32, 0});
    layout.push_back({u"SORT_ORDER", mtWideString, 4});
  } else {
    layout.push_back({u"UNIQUE", mtInt32, 0});
  }
  TMetaTable& t = NewTable(std::move(layout));
  UString previous;
  bool first = true;
  for (const auto& row : rows) {
    std::vector<Variant> values = {UString(), row[0], row[1], UString(), row[2], row[3]};
    if (columns) {
      const UString collation = Text(row[7]);
      values.push_back(row[5]);
      values.push_back(Number(row[6]));
      values.push_back(collation == u"A" ? UString(u"ASC") : collation == u"D" ? UString(u"DESC") : collation);
    } else {
      const UString name = Text(row[3]);
      if (!first && name == previous) continue;
      first = false;
      previous = name;
      values.push_back(static_cast<int32_t>(row[4].AsInt64() == 0 ? 1 : 0));
    }
    t.AddRow(values);
  }
  t.SetToBegin();
  return t;
}

TMemData& TMySQLMetaData::Databases() {
  const auto rows = QueryRows(Connection(), u"SHOW DATABASES");
  TMetaTable& t = NewTable({{u"DATABASE_NAME", mtWideString, 100}});
  for (const auto& row : rows) t.AddRow({row[0]});
  t.SetToBegin();
  return t;
}

std::unique_ptr<TZelMetaData> TMySQLConnection::CreateMetaData() {
  return std::make_unique<TMySQLMetaData>();
}

}  // namespace vix
