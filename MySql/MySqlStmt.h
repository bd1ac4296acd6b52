// Prepared statements: the statement is prepared on the server with '?'
// placeholders, executed with its parameter values in the binary protocol,
// and its rows come back as binary rows (MySqlResultSet decodes them).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Common/ZelAccess.h"
#include "MySql/MySqlResultSet.h"
#include "rtl/DateUtils.h"
#include "rtl/Variant.h"

namespace vix {

class TMySqlSession;

enum TPrepStmtState { psUnknown, psPrepare, psExecute };

// What a fetch returns after the last row.
constexpr int MYSQL_NO_DATA = 100;

// The reply to a prepare: status byte 0, statement id, column and parameter
// counts (unsigned 16-bit); a length-encoded number after them, when there
// are bytes left, is the extra information. Anything shorter or another
// status byte raises 2027.
struct TMySqlPrepareOk {
  uint32_t stmtId = 0;
  uint16_t fieldCount = 0;
  uint16_t paramCount = 0;
  bool hasExtraInfo = false;
  int64_t extraInfo = 0;
};
TMySqlPrepareOk ParsePrepareOk(ByteSpan packet);

// The two bytes that announce a parameter's type: the column type code for
// the internal data type and, for the unsigned types, the flag 0x80 in the
// high byte. An internal type without a value writer raises EMySqlValueError
// "Invalid internal field type $%X (%d)".
uint16_t ParamTypeCode(uint16_t dataType);
// The type a parameter goes with: that of its data type, but LONGLONG
// unsigned for a 64-bit value above the signed range, and the NULL type for
// a NULL of a type that has no value of its own.
uint16_t ParamTypeCode(const TParamDesc& param);

// The body of an execute command after the command byte: statement id,
// flags 0, iteration count 1, then, when the statement has parameters and
// `params` (less a leading function result) holds exactly that many, the
// NULL bitmap, the types (only when they differ from `sentTypes`, which is
// updated) and the values of the non-NULL parameters. Texts travel in UTF-8
// with `unicode`, else in the ANSI code page. Nothing is sent from here, so
// a value that cannot be written leaves the session untouched.
std::vector<uint8_t> BuildExecute(uint32_t stmtId, uint32_t paramCount, const TParamDescs& params, bool unicode,
                                  std::vector<uint16_t>& sentTypes);

// A DATE, DATETIME or TIMESTAMP value of a binary row: 0, 4, 7 or 11 bytes
// (0 bytes is the zero date). Other lengths raise 2027.
struct TMySqlBinaryDateTime {
  int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
  uint32_t Microsecond = 0;
};
TMySqlBinaryDateTime DecodeBinaryDateTime(ByteSpan value);
// The date-time; a zero or impossible date gives kZeroDateStandIn.
TDateTime BinaryDateTimeToDateTime(const TMySqlBinaryDateTime& value);
// The same, false for a zero or impossible date: the stand-in is also the
// real date 0100-01-01, so only this tells the two apart.
bool TryBinaryDateTimeToDateTime(const TMySqlBinaryDateTime& value, TDateTime& result);

// A TIME value of a binary row: 0, 8 or 12 bytes (sign, days, hours,
// minutes, seconds, microseconds). Other lengths raise 2027.
struct TMySqlBinaryTime {
  bool Negative = false;
  uint32_t Days = 0;
  int Hour = 0, Minute = 0, Second = 0;
  uint32_t Microsecond = 0;
};
TMySqlBinaryTime DecodeBinaryTime(ByteSpan value);
// A duration in days, negative for a negative time: 36:00:00 is 1.5,
// -12:00:00 is -0.5 (to whole milliseconds).
TDateTime BinaryTimeToDateTime(const TMySqlBinaryTime& value);

// The value of one non-NULL column of a binary row: integers (unsigned ones
// as unsigned types when the column has UNSIGNED_FLAG), FLOAT as single,
// DOUBLE as double, dates and times as dates (see above), every other type
// as its bytes. A value whose length does not fit its type raises 2027.
Variant BinaryValue(const TMySqlFieldInfo& field, ByteSpan value);

// Column types whose values a binary row carries in binary form (numbers,
// dates and times); every other type comes as the bytes of its text.
bool IsBinaryEncodedType(uint8_t type);
// A non-NULL value of a binary row as the text protocol writes it: integers
// in decimal (ZEROFILL and YEAR padded to the column's width), floats with
// the shortest digits, "YYYY-MM-DD[ HH:NN:SS[.ffffff]]" and "[-]HH:NN:SS[.ffffff]"
// with the column's decimals; other types as their bytes. A value whose
// length does not fit its type raises 2027.
std::string BinaryValueText(const TMySqlFieldInfo& field, ByteSpan value);

// One prepared statement of a session. The session is not owned: when it is
// freed first, the statement is cut loose and its operations fail with 2006
// (a broken session fails them with 2013); its Close does nothing then.
class TMySqlStmt {
 public:
  explicit TMySqlStmt(TMySqlSession* session);
  ~TMySqlStmt();
  TMySqlStmt(const TMySqlStmt&) = delete;
  TMySqlStmt& operator=(const TMySqlStmt&) = delete;

  // Prepares `query` (sent unchanged); a statement prepared before is
  // closed first.
  void Prepare(const uint8_t* query, size_t length);
  // Rows from now on are binary rows decoded into `binds` (one per column).
  // 2029 when not prepared, 2000 when the statement has no result columns.
  void BindResult(std::unique_ptr<TMySqlBinds> binds);
  // Runs the statement with the values of `params`; 2029 when not prepared.
  void Execute(const TParamDescs& params, bool unicode);
  // 0 with `row` set, or MYSQL_NO_DATA after the last row.
  int Fetch(TMySqlBinds*& row);
  // Skips the unread rows of this statement's result and drops the result set.
  void FreeResult();
  // Releases the statement on the server (no reply is read).
  void Close();
  // Cuts the link to a session that is being freed.
  void DetachSession();

  TMySqlSession* Session() const { return fsession; }
  TPrepStmtState State() const { return fstate; }
  uint32_t StmtId() const { return fstmtId; }
  uint32_t ParamCount() const { return fparamCount; }
  uint32_t FieldCount() const { return ffieldCount; }
  const std::vector<TMySqlFieldInfo>& Fields() const { return ffields; }
  int64_t AffectedRows() const { return faffectedRows; }
  TMySqlResultSet* Result() const { return fresult.get(); }
  TMySqlBinds* ResultBinds() const { return fresultBind.get(); }
  const std::vector<uint16_t>& SentTypes() const { return FSendedTypes; }
  // The last execution's result came without its column definitions (the
  // server's metadata cache): its columns are the ones kept from before.
  bool ColumnsReused() const { return FColumnsReused; }

  // Error of the last API operation on the statement (kept by the client API).
  uint32_t Ferrno = 0;
  std::string Ferror;  // UTF-8

 private:
  // The session, or 2006 when it is gone and 2013 when it is broken.
  TMySqlSession& UsableSession();
  void ReadParamDefinitions(TMySqlSession& s);
  std::vector<TMySqlFieldInfo> ReadColumnDefinitions(TMySqlSession& s, size_t count);
  void NewResult(TMySqlSession& s);
  // Skips this statement's unread rows, if any, and drops the result set.
  void DropResult();

  TMySqlSession* fsession;
  std::unique_ptr<TMySqlResultSet> fresult;
  std::unique_ptr<TMySqlBinds> fresultBind;
  uint32_t fstmtId = 0;
  TPrepStmtState fstate = psUnknown;
  uint32_t fparamCount = 0;
  uint32_t ffieldCount = 0;
  std::vector<TMySqlFieldInfo> ffields;
  int64_t faffectedRows = 0;
  std::vector<uint16_t> FSendedTypes;
  // The rows of the last execution have not all been read: the session
  // is busy with them.
  bool FRowsPending = false;
  bool FColumnsReused = false;
};

}  // namespace vix
