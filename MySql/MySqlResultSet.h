// Column descriptions and text rows of a result set, read one row at a time.
// Rows are views into the packet buffer of the session: nothing is copied or
// allocated per row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "MySql/MySqlConsts.h"
#include "MySql/MySqlNet.h"

namespace vix {

class TMySqlSession;

struct TMySqlFieldInfo {
  std::string Name, OrgName, Table, OrgTable, Database, DefaultValue;
  int32_t Length = 0;
  int32_t Scale = 0;
  int32_t MaxLength = 0;
  int32_t Flags = 0;
  int32_t CharsetNr = 0;
  uint8_t _Type = 0;
};

// One column of the current row: `Offset` and `Length` locate the value in
// the row buffer; a NULL has IsNull set, Offset 0 and Length 0.
struct TMySqlBind {
  bool IsNull = true;
  size_t Offset = 0;
  size_t Length = 0;
  uint8_t _Type = 0;
};

struct TMySqlBinds {
  std::vector<TMySqlBind> Binds;
  ByteSpan Buffer;  // the row's bytes (owned by the session's packet buffer)
};

// A column definition packet: 7 length-encoded parts with protocol 4.1
// (catalog, database, table, original table, name, original name, fixed
// block), 5 before. Short or lying packets raise 2027.
TMySqlFieldInfo ParseColumnDefinition(ByteSpan packet, bool protocol41, bool longFlag);

// Fills `binds` (one per column) from a text row; a row that holds fewer
// values than columns, or a value past its end, raises 2027.
void DecodeTextRow(ByteSpan row, std::vector<TMySqlBind>& binds);

// Fills `binds` (resized to one per column) from a binary row of a
// prepared statement: the header byte 0, the NULL bitmap (column i is bit
// i + 2), then the values of the non-NULL columns, fixed-width by `types`
// (1 byte TINY; 2 SHORT, YEAR; 4 LONG, INT24, FLOAT; 8 LONGLONG, DOUBLE) or
// length-encoded (every other type). Each bind's `_Type` is its column's
// type. A row that is cut, has another header or a value past its end
// raises 2027.
void DecodeBinaryRow(ByteSpan row, std::span<const uint8_t> types, std::vector<TMySqlBind>& binds);

// An EOF packet: first byte 0xFE and shorter than 9 bytes.
inline bool IsEofPacket(ByteSpan packet) {
  return !packet.empty() && packet[0] == 0xFE && packet.size() < 9;
}

// Warnings (bytes 1-2) and status flags (bytes 3-4) of an EOF packet longer
// than one byte; false for a bare 0xFE. A packet of 2-4 bytes raises 2027.
bool ParseEofPacket(ByteSpan packet, uint16_t& warnings, uint16_t& status);

class TMySqlResultSet {
 public:
  TMySqlResultSet(TMySqlSession* session, std::vector<TMySqlFieldInfo> fields);
  ~TMySqlResultSet();
  TMySqlResultSet(const TMySqlResultSet&) = delete;
  TMySqlResultSet& operator=(const TMySqlResultSet&) = delete;

  int FieldCount() const { return static_cast<int>(ffields.size()); }
  const std::vector<TMySqlFieldInfo>& Fields() const { return ffields; }
  // The next row, or nullptr at the end. Errors propagate.
  TMySqlBinds* Read();
  bool Eof() const { return feof; }
  TMySqlBinds& CurrentRow() { return fresultBind ? *fresultBind : FBind; }
  // From now on rows are decoded as binary rows into `binds` (not owned;
  // nullptr goes back to text rows).
  void SetResultBinds(TMySqlBinds* binds);
  TMySqlBinds* ResultBinds() const { return fresultBind; }
  int64_t RowCount() const { return frowCount; }
  TMySqlSession* Session() const { return fsession; }
  // Cuts the link to a session that is being freed.
  void DetachSession() { fsession = nullptr; }
  // Skips the unread rest of the result (session errors are the caller's).
  void Clear();

 private:
  TMySqlSession* fsession;
  std::vector<TMySqlFieldInfo> ffields;
  TMySqlBinds FBind;
  TMySqlBinds* fresultBind = nullptr;
  std::vector<uint8_t> ftypes;  // the columns' type codes, for binary rows
  int64_t frowCount = 0;
  bool feof = false;
};

}  // namespace vix
