#include "MySql/MyKeyInfo.h"

#include <algorithm>
#include <map>

#include "rtl/SysUtils.h"

namespace vix {

namespace {

bool Contains(const std::vector<UString>& names, UStringView name) {
  return std::any_of(names.begin(), names.end(), [&](const UString& n) { return SameText(n, name); });
}

const TMyColumnInfo* FindColumn(const std::vector<TMyColumnInfo>& columns, UStringView name) {
  for (const TMyColumnInfo& c : columns)
    if (SameText(c.Name, name)) return &c;
  return nullptr;
}

bool ContainsText(UStringView text, UStringView part) {
  return Pos(UpperCaseAscii(part), UpperCaseAscii(text)) > 0;
}

struct TIndex {
  UString Name;
  bool Unique = true;
  std::vector<const TMyIndexColumn*> Columns;
};

// The index can find one row of the result: every part a column of the
// result, and (unless it is the primary key) every column NOT NULL, since
// a unique index lets any number of rows hold NULL.
bool Usable(const TIndex& index, bool primary, const std::vector<TMyColumnInfo>& columns,
            const std::vector<UString>* resultColumns) {
  if (!index.Unique || index.Columns.empty()) return false;
  for (const TMyIndexColumn* c : index.Columns) {
    if (c->ColumnName.empty()) return false;
    if (resultColumns && !Contains(*resultColumns, c->ColumnName)) return false;
    if (primary) continue;
    const TMyColumnInfo* info = FindColumn(columns, c->ColumnName);
    if (!info || info->Nullable) return false;
  }
  return true;
}

}  // namespace

TMyTableKeyInfo ChooseTableKeyInfo(const std::vector<TMyIndexColumn>& indexColumns,
                                   const std::vector<TMyColumnInfo>& columns,
                                   const std::vector<UString>* resultColumns) {
  TMyTableKeyInfo info;
  // Indexes by name (upper-cased: the server compares index names ignoring
  // case), their columns in index order.
  std::map<UString, TIndex> indexes;
  for (const TMyIndexColumn& c : indexColumns) {
    TIndex& index = indexes[UpperCaseAscii(c.IndexName)];
    index.Name = c.IndexName;
    index.Unique = index.Unique && c.Unique;
    index.Columns.push_back(&c);
  }
  for (auto& [key, index] : indexes)
    std::stable_sort(index.Columns.begin(), index.Columns.end(),
                     [](const TMyIndexColumn* a, const TMyIndexColumn* b) { return a->Position < b->Position; });

  const TIndex* chosen = nullptr;
  auto primary = indexes.find(u"PRIMARY");
  if (primary != indexes.end() && Usable(primary->second, true, columns, resultColumns)) chosen = &primary->second;
  for (auto it = indexes.begin(); !chosen && it != indexes.end(); ++it)
    if (it != primary && Usable(it->second, false, columns, resultColumns)) chosen = &it->second;
  if (chosen) {
    info.KeyIndexName = chosen->Name;
    for (const TMyIndexColumn* c : chosen->Columns) info.KeyFields.push_back(c->ColumnName);
  }

  for (const TMyColumnInfo& c : columns) {
    if (resultColumns && !Contains(*resultColumns, c.Name)) continue;
    if (info.AutoIncrementField.empty() && ContainsText(c.Extra, u"auto_increment")) info.AutoIncrementField = c.Name;
    const bool dateTime = SameText(c.DataType, u"timestamp") || SameText(c.DataType, u"datetime");
    if (info.RowVersionField.empty() && dateTime && ContainsText(c.Extra, u"on update current_timestamp"))
      info.RowVersionField = c.Name;
  }
  return info;
}

void OpenWithTextParams(TMySQLRecordset& rs, TMySQLConnection& connection, const UString& sql,
                        const std::vector<TMyTextParam>& params) {
  if (rs.Active()) rs.Close();
  rs.SetConnection(&connection);
  rs.SetProp(prFetchAll, true);
  rs.SetSQL(sql);
  TZelCommand& command = *rs.GetCommand();
  for (int i = 0; i < command.GetParamCount(); ++i) {
    TParamDesc& p = *command.GetParam(i);
    for (const TMyTextParam& given : params) {
      if (!SameText(given.Name, p.GetName())) continue;
      p.SetDataType(mtWideString);
      p.SetValue(given.Value);
    }
  }
  rs.Open();
}

std::vector<std::vector<Variant>> QueryRows(TMySQLConnection& connection, const UString& sql,
                                            const std::vector<TMyTextParam>& params) {
  TMySQLRecordset rs;
  OpenWithTextParams(rs, connection, sql, params);
  std::vector<std::vector<Variant>> rows;
  std::vector<uint8_t> rec = rs.AllocRecBuf();
  for (int r = 1; r <= rs.RecordCount(); ++r) {
    rs.SetRecordNo(r);
    rs.GetRecord(rec.data());
    std::vector<Variant>& row = rows.emplace_back();
    for (int f = 1; f <= rs.Fields().Count(); ++f) row.push_back(rs.GetFieldAsVariant(f, rec.data()));
  }
  rs.Close();
  return rows;
}

namespace {

UString Text(const Variant& v) {
  return v.IsNull() ? UString() : v.AsString();
}

// The schema condition: the given schema, else the current database.
const char16_t* kSchemaIs = u"TABLE_SCHEMA = COALESCE(NULLIF(:schema, ''), DATABASE())";

}  // namespace

std::vector<TMyIndexColumn> ReadIndexColumns(TMySQLConnection& connection, const UString& schema,
                                             const UString& table) {
  const UString sql = UString(
                          u"SELECT INDEX_NAME, NON_UNIQUE, SEQ_IN_INDEX, COLUMN_NAME"
                          u" FROM information_schema.STATISTICS WHERE ") +
                      kSchemaIs + u" AND TABLE_NAME = :tbl ORDER BY INDEX_NAME, SEQ_IN_INDEX";
  std::vector<TMyIndexColumn> result;
  for (const auto& row : QueryRows(connection, sql, {{u"schema", schema}, {u"tbl", table}})) {
    TMyIndexColumn c;
    c.IndexName = Text(row[0]);
    c.Unique = row[1].AsInteger() == 0;
    c.Position = static_cast<int32_t>(row[2].AsInteger());
    c.ColumnName = Text(row[3]);
    result.push_back(std::move(c));
  }
  return result;
}

std::vector<TMyColumnInfo> ReadColumns(TMySQLConnection& connection, const UString& schema, const UString& table) {
  const UString sql =
      UString(u"SELECT COLUMN_NAME, DATA_TYPE, IS_NULLABLE, EXTRA FROM information_schema.COLUMNS WHERE ") + kSchemaIs +
      u" AND TABLE_NAME = :tbl ORDER BY ORDINAL_POSITION";
  std::vector<TMyColumnInfo> result;
  for (const auto& row : QueryRows(connection, sql, {{u"schema", schema}, {u"tbl", table}})) {
    TMyColumnInfo c;
    c.Name = Text(row[0]);
    c.DataType = LowerCaseAscii(Text(row[1]));
    c.Nullable = SameText(Text(row[2]), u"YES");
    c.Extra = Text(row[3]);
    result.push_back(std::move(c));
  }
  return result;
}

TMyTableKeyInfo GetTableKeyInfo(TMySQLConnection& connection, const UString& schema, const UString& table,
                                const std::vector<UString>* resultColumns) {
  return ChooseTableKeyInfo(ReadIndexColumns(connection, schema, table), ReadColumns(connection, schema, table),
                            resultColumns);
}

}  // namespace vix
