// What the statements that write a table's rows need to know about the
// table: the columns that find one row (key fields), the auto-increment
// column and the row-version column. Read from information_schema through
// the connection's command, the names going out as parameters rendered as
// literals by the command; the choice itself is a pure function.
#pragma once

#include <cstdint>
#include <vector>

#include "MySql/MyClasses.h"
#include "rtl/UString.h"
#include "rtl/Variant.h"

namespace vix {

// One column of an index (information_schema.STATISTICS, SHOW INDEX).
struct TMyIndexColumn {
  UString IndexName;
  bool Unique = false;
  int32_t Position = 0;  // 1-based place in the index
  UString ColumnName;    // empty for an expression part
};

// One column of a table (information_schema.COLUMNS).
struct TMyColumnInfo {
  UString Name;
  UString DataType;  // lower case: "int", "timestamp", ...
  bool Nullable = true;
  UString Extra;  // "auto_increment", "on update current_timestamp()", ...
};

struct TMyTableKeyInfo {
  // The columns that find exactly one row, in index order: the primary key;
  // else the first unique index (by name) whose columns are all NOT NULL;
  // in both cases only when every column of the index is in the result.
  // Never a non-unique index. Empty: no key (the caller then needs another
  // way to find one row, or must refuse).
  std::vector<UString> KeyFields;
  UString KeyIndexName;  // "PRIMARY" or the unique index chosen
  // The auto-increment column (empty: none).
  UString AutoIncrementField;
  // A TIMESTAMP or DATETIME column that the server sets on every UPDATE
  // ("on update current_timestamp" in its definition), the first in the
  // table's order that is in the result (empty: none). A column without
  // that clause is never a row version: its value does not change when the
  // row does.
  UString RowVersionField;
};

// The choice over a table's index columns (in any order) and columns (in
// table order). `resultColumns`: the names the query returns (compared
// ignoring case); null means every column of the table.
TMyTableKeyInfo ChooseTableKeyInfo(const std::vector<TMyIndexColumn>& indexColumns,
                                   const std::vector<TMyColumnInfo>& columns,
                                   const std::vector<UString>* resultColumns);

// The index columns and the columns of `table` in `schema` (empty: the
// current database), as the server lists them. A table that does not exist
// gives empty lists.
std::vector<TMyIndexColumn> ReadIndexColumns(TMySQLConnection& connection, const UString& schema, const UString& table);
std::vector<TMyColumnInfo> ReadColumns(TMySQLConnection& connection, const UString& schema, const UString& table);

// Both read and the choice made. Names are raw names (not quoted).
TMyTableKeyInfo GetTableKeyInfo(TMySQLConnection& connection, const UString& schema, const UString& table,
                                const std::vector<UString>* resultColumns = nullptr);

// Runs `sql` on `connection` with every ":name" parameter set to the text
// value given for it (rendered by the command as an escaped literal) and
// returns every row, fields in result order. Used for catalog queries.
struct TMyTextParam {
  UString Name;
  UString Value;
};
// Opens `recordSet` on `connection` with `sql`, all rows fetched, the
// ":name" parameters set as above.
void OpenWithTextParams(TMySQLRecordset& recordSet, TMySQLConnection& connection, const UString& sql,
                        const std::vector<TMyTextParam>& params);
std::vector<std::vector<Variant>> QueryRows(TMySQLConnection& connection, const UString& sql,
                                            const std::vector<TMyTextParam>& params = {});

}  // namespace vix
