#include "MySql/MySqlStmt.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "Common/MemData.h"
#include "MySql/MySqlSession.h"
#include "rtl/CodePage.h"
#include "rtl/Currency.h"
#include "rtl/FMTBcd.h"
#include "rtl/UString.h"

namespace vix {

namespace {

constexpr uint16_t kUnsignedParam = 0x8000;

bool IsTextType(uint16_t t) { return t == mtString || t == mtMemo || t == mtWideString || t == mtWideMemo; }
bool IsStringLike(uint16_t t) {
  return IsTextType(t) || t == mtBlob || t == mtBytes || t == mtVarBytes;
}

[[noreturn]] void InvalidType(uint16_t dataType) {
  throw EMySqlValueError(Format(u"Invalid internal field type $%X (%d)", {static_cast<int>(dataType), static_cast<int>(dataType)}));
}

// The bytes of a string-like parameter: a byte array as it is; a blob's
// bytes (its text, converted, for the text types); a text in UTF-8 over a
// Unicode connection, else in the ANSI code page; binary values cut to the
// parameter's size when one is set.
std::string StringBytes(const TParamDesc& p, bool unicode) {
  const uint16_t t = p.GetDataType();
  const Variant& v = p.GetValue();
  if (v.VarType() == varBytes) return v.AsBytes();
  if (TBlob* blob = dynamic_cast<TBlob*>(p.GetObject())) {
    if (!IsTextType(t)) return blob->AsBytes();
    return unicode ? Utf16ToUtf8Lenient(blob->AsString()) : blob->AsAnsiString();
  }
  if (IsTextType(t)) {
    if (v.IsEmptyOrNull()) return std::string();
    return unicode ? Utf16ToUtf8Lenient(v.AsString()) : v.AsAnsiString();
  }
  if (v.IsEmptyOrNull()) return std::string();
  std::string bytes = v.AsBytes();
  if (p.GetSize() > 0 && static_cast<size_t>(p.GetSize()) < bytes.size()) bytes.resize(static_cast<size_t>(p.GetSize()));
  return bytes;
}

void WriteDate(TMySqlWriter& w, TDateTime value, bool withTime) {
  if (value == kZeroDateStandIn) {
    w.WriteInt(0, 1);  // the zero date
    return;
  }
  const TDateTimeParts d = DecodeDateTime(value);
  w.WriteInt(withTime ? 11 : 4, 1);
  w.WriteInt(static_cast<uint64_t>(d.Year), 2);
  w.WriteInt(static_cast<uint64_t>(d.Month), 1);
  w.WriteInt(static_cast<uint64_t>(d.Day), 1);
  if (!withTime) return;
  w.WriteInt(static_cast<uint64_t>(d.Hour), 1);
  w.WriteInt(static_cast<uint64_t>(d.Minute), 1);
  w.WriteInt(static_cast<uint64_t>(d.Second), 1);
  w.WriteInt(static_cast<uint64_t>(d.MSec) * 1000, 4);
}

// A duration: the sign, whole days and the rest, so that 36 hours and
// negative times keep their value.
void WriteTime(TMySqlWriter& w, TDateTime value) {
  const bool negative = value < 0;
  const int64_t ms = std::llround(std::fabs(value) * static_cast<double>(kMSecsPerDay));
  const int64_t days = ms / kMSecsPerDay;
  const int64_t rest = ms % kMSecsPerDay;
  if (days > 0xFFFFFFFFLL) throw EConvertError(u"Time value out of range");
  w.WriteInt(12, 1);
  w.WriteInt(negative && ms != 0 ? 1 : 0, 1);
  w.WriteInt(static_cast<uint64_t>(days), 4);
  w.WriteInt(static_cast<uint64_t>(rest / 3600000), 1);
  w.WriteInt(static_cast<uint64_t>(rest / 60000 % 60), 1);
  w.WriteInt(static_cast<uint64_t>(rest / 1000 % 60), 1);
  w.WriteInt(static_cast<uint64_t>(rest % 1000) * 1000, 4);
}

void WriteValue(TMySqlWriter& w, const TParamDesc& p, bool unicode) {
  const uint16_t t = p.GetDataType();
  const Variant& v = p.GetValue();
  if (IsStringLike(t)) return w.WriteLengthString(StringBytes(p, unicode));
  switch (t) {
    case mtInt8: return w.WriteInt(static_cast<uint64_t>(v.AsInteger()), 1);
    case mtBoolean: return w.WriteInt(v.AsBoolean() ? 1 : 0, 1);
    case mtInt16: return w.WriteInt(static_cast<uint64_t>(v.AsInteger()), 2);
    case mtInt32: return w.WriteInt(static_cast<uint64_t>(v.AsInteger()), 4);
    case mtUInt16:
    case mtUInt32: return w.WriteInt(static_cast<uint64_t>(v.AsInt64()), 4);
    case mtInt64: return w.WriteInt(static_cast<uint64_t>(v.AsInt64()), 8);
    case mtFloat: return w.WriteDouble(v.AsFloat());
    case mtDate: return WriteDate(w, v.AsDateTime(), false);
    case mtDateTime: return WriteDate(w, v.AsDateTime(), true);
    case mtTime: return WriteTime(w, v.AsDateTime());
    case mtBCD: return w.WriteLengthString(ToUtf8(CurrToStr(v.AsCurrency(), InvariantFormatSettings())));
    case mtFMTBCD: return w.WriteLengthString(ToUtf8(BcdToStr(v.AsBcd(), InvariantFormatSettings())));
    default: InvalidType(t);
  }
}

std::string_view Chars(ByteSpan s) { return std::string_view(reinterpret_cast<const char*>(s.data()), s.size()); }

}  // namespace

// --- packets ---------------------------------------------------------------------

TMySqlPrepareOk ParsePrepareOk(ByteSpan packet) {
  TMySqlReader r(packet);
  if (r.ReadByte() != 0) RaiseMalformedPacket();
  TMySqlPrepareOk ok;
  ok.stmtId = r.ReadUInt32();
  ok.fieldCount = r.ReadUInt16();
  ok.paramCount = r.ReadUInt16();
  if (!r.AtEnd()) {
    ok.hasExtraInfo = true;
    ok.extraInfo = r.ReadFieldLength();
  }
  return ok;
}

uint16_t ParamTypeCode(uint16_t dataType) {
  switch (dataType) {
    case mtString:
    case mtBlob:
    case mtMemo:
    case mtBytes:
    case mtVarBytes:
    case mtWideString:
    case mtWideMemo:
    case mtBCD:
    case mtFMTBCD: return MYSQL_TYPE_VAR_STRING;
    case mtInt8:
    case mtBoolean: return MYSQL_TYPE_TINY;
    case mtInt16: return MYSQL_TYPE_SHORT;
    case mtInt32: return MYSQL_TYPE_LONG;
    case mtUInt16:
    case mtUInt32: return MYSQL_TYPE_LONG | kUnsignedParam;
    case mtInt64: return MYSQL_TYPE_LONGLONG;
    case mtFloat: return MYSQL_TYPE_DOUBLE;
    case mtDate: return MYSQL_TYPE_DATE;
    case mtTime: return MYSQL_TYPE_TIME;
    case mtDateTime: return MYSQL_TYPE_DATETIME;
    default: InvalidType(dataType);
  }
}

std::vector<uint8_t> BuildExecute(uint32_t stmtId, uint32_t paramCount, const TParamDescs& params, bool unicode,
                                  std::vector<uint16_t>& sentTypes) {
  std::vector<uint8_t> out;
  out.reserve(64 + size_t{paramCount} * 16);  // numbers and short texts fit without growing
  TMySqlWriter w(out);
  w.WriteInt(stmtId, 4);
  w.WriteInt(0, 1);  // flags: no cursor
  w.WriteInt(1, 4);  // iteration count
  const int skip = params.Count() > 0 && params.Items(0)->GetParamType() == pdResult ? 1 : 0;
  const uint32_t given = static_cast<uint32_t>(params.Count() - skip);
  // Otherwise nothing follows: the server refuses the execution.
  if (paramCount == 0 || paramCount != given) return out;

  std::vector<uint16_t> types(paramCount);
  const size_t bitmapAt = out.size();
  out.resize(out.size() + (paramCount + 7) / 8);
  for (uint32_t n = 0; n < paramCount; ++n) {
    const TParamDesc& p = *params.Items(static_cast<int>(n) + skip);
    types[n] = ParamTypeCode(p.GetDataType());
    if (p.GetNull()) out[bitmapAt + n / 8] |= static_cast<uint8_t>(1u << (n % 8));
  }
  const bool newTypes = types != sentTypes;
  w.WriteInt(newTypes ? 1 : 0, 1);
  if (newTypes) {
    for (uint16_t t : types) w.WriteInt(t, 2);
  }
  for (uint32_t n = 0; n < paramCount; ++n) {
    const TParamDesc& p = *params.Items(static_cast<int>(n) + skip);
    if (!p.GetNull()) WriteValue(w, p, unicode);
  }
  if (newTypes) sentTypes = std::move(types);
  return out;
}

// --- binary values ---------------------------------------------------------------

TMySqlBinaryDateTime DecodeBinaryDateTime(ByteSpan value) {
  const size_t n = value.size();
  if (n != 0 && n != 4 && n != 7 && n != 11) RaiseMalformedPacket();
  TMySqlBinaryDateTime d;
  if (n == 0) return d;
  TMySqlReader r(value);
  d.Year = r.ReadUInt16();
  d.Month = r.ReadByte();
  d.Day = r.ReadByte();
  if (n >= 7) {
    d.Hour = r.ReadByte();
    d.Minute = r.ReadByte();
    d.Second = r.ReadByte();
  }
  if (n == 11) d.Microsecond = r.ReadUInt32();
  return d;
}

TDateTime BinaryDateTimeToDateTime(const TMySqlBinaryDateTime& d) {
  TDateTime value;
  if (d.Microsecond >= 1000000 ||
      !TryEncodeDateTime(d.Year, d.Month, d.Day, d.Hour, d.Minute, d.Second, static_cast<int>(d.Microsecond / 1000), value))
    return kZeroDateStandIn;
  return value;
}

TMySqlBinaryTime DecodeBinaryTime(ByteSpan value) {
  const size_t n = value.size();
  if (n != 0 && n != 8 && n != 12) RaiseMalformedPacket();
  TMySqlBinaryTime t;
  if (n == 0) return t;
  TMySqlReader r(value);
  t.Negative = r.ReadByte() != 0;
  t.Days = r.ReadUInt32();
  t.Hour = r.ReadByte();
  t.Minute = r.ReadByte();
  t.Second = r.ReadByte();
  if (n == 12) t.Microsecond = r.ReadUInt32();
  return t;
}

TDateTime BinaryTimeToDateTime(const TMySqlBinaryTime& t) {
  const double ms = static_cast<double>(t.Days) * static_cast<double>(kMSecsPerDay) + t.Hour * 3600000.0 +
                    t.Minute * 60000.0 + t.Second * 1000.0 + static_cast<double>(t.Microsecond / 1000);
  const TDateTime days = ms / static_cast<double>(kMSecsPerDay);
  return t.Negative ? -days : days;
}

Variant BinaryValue(const TMySqlFieldInfo& field, ByteSpan value) {
  const bool isUnsigned = (field.Flags & UNSIGNED_FLAG) != 0;
  TMySqlReader r(value);
  auto whole = [&](size_t width) {
    if (value.size() != width) RaiseMalformedPacket();
  };
  switch (field._Type) {
    case MYSQL_TYPE_TINY:
      whole(1);
      return isUnsigned ? Variant(r.ReadByte()) : Variant(static_cast<int8_t>(r.ReadByte()));
    case MYSQL_TYPE_SHORT:
    case MYSQL_TYPE_YEAR:
      whole(2);
      return isUnsigned || field._Type == MYSQL_TYPE_YEAR ? Variant(r.ReadUInt16()) : Variant(r.ReadInt16());
    case MYSQL_TYPE_INT24:
    case MYSQL_TYPE_LONG:
      whole(4);
      return isUnsigned ? Variant(r.ReadUInt32()) : Variant(r.ReadInt32());
    case MYSQL_TYPE_LONGLONG:
      whole(8);
      return isUnsigned ? Variant(static_cast<uint64_t>(r.ReadInt64())) : Variant(r.ReadInt64());
    case MYSQL_TYPE_FLOAT: {
      whole(4);
      const uint32_t bits = r.ReadUInt32();
      float f;
      std::memcpy(&f, &bits, sizeof f);
      return Variant(f);
    }
    case MYSQL_TYPE_DOUBLE:
      whole(8);
      return Variant(r.ReadDouble());
    case MYSQL_TYPE_DATE:
    case MYSQL_TYPE_NEWDATE:
    case MYSQL_TYPE_DATETIME:
    case MYSQL_TYPE_TIMESTAMP:
      return Variant::FromDate(BinaryDateTimeToDateTime(DecodeBinaryDateTime(value)));
    case MYSQL_TYPE_TIME:
      return Variant::FromDate(BinaryTimeToDateTime(DecodeBinaryTime(value)));
    default:
      return Variant::FromBytes(std::string(Chars(value)));
  }
}

// --- TMySqlStmt ------------------------------------------------------------------

TMySqlStmt::TMySqlStmt(TMySqlSession* session) : fsession(session) {
  if (fsession) fsession->FStatements.push_back(this);
}

TMySqlStmt::~TMySqlStmt() {
  try {
    Close();
  } catch (const Exception&) {
  }
  if (fsession) std::erase(fsession->FStatements, this);
}

void TMySqlStmt::DetachSession() {
  fsession = nullptr;
  if (fresult) fresult->DetachSession();
}

TMySqlSession& TMySqlStmt::UsableSession() {
  if (!fsession) throw EMySqlException(CR_SERVER_GONE_ERROR);
  fsession->CheckUsable();
  return *fsession;
}

void TMySqlStmt::DropResult() {
  const bool pending = FRowsPending && fresult && !fresult->Eof();
  FRowsPending = false;
  if (pending && fsession && !fsession->net.Broken()) fresult->Clear();
  fresult.reset();
}

void TMySqlStmt::NewResult(TMySqlSession& s) {
  fresult = std::make_unique<TMySqlResultSet>(&s, ffields);
  if (fresultBind) fresult->SetResultBinds(fresultBind.get());
}

void TMySqlStmt::ReadParamDefinitions(TMySqlSession& s) {
  for (uint32_t seen = 0;; ++seen) {
    s.net.Receive();
    const ByteSpan packet = s.net.Packet();
    if (IsEofPacket(packet)) {
      if (seen != fparamCount) RaiseMalformedPacket();
      uint16_t warnings = 0, status = 0;
      if (ParseEofPacket(packet, warnings, status)) s.serverStatus = status;
      return;
    }
    if (seen == fparamCount) RaiseMalformedPacket();
  }
}

std::vector<TMySqlFieldInfo> TMySqlStmt::ReadColumnDefinitions(TMySqlSession& s, size_t count) {
  std::vector<TMySqlFieldInfo> fields;
  fields.reserve(count);
  const bool longFlag = (s.serverCapabilities & CLIENT_LONG_FLAG) != 0;
  for (;;) {
    s.net.Receive();
    const ByteSpan packet = s.net.Packet();
    if (IsEofPacket(packet)) {
      uint16_t warnings = 0, status = 0;
      if (ParseEofPacket(packet, warnings, status)) s.serverStatus = status;
      break;
    }
    if (fields.size() == count) RaiseMalformedPacket();
    fields.push_back(ParseColumnDefinition(packet, s.IsProtocol41(), longFlag));
  }
  if (fields.size() != count) RaiseMalformedPacket();
  return fields;
}

void TMySqlStmt::Prepare(const uint8_t* query, size_t length) {
  if (fstate != psUnknown) Close();
  TMySqlSession& s = UsableSession();
  s.SimpleCommand(scPrepare, query, length, true);
  s.net.Receive();
  const TMySqlPrepareOk ok = ParsePrepareOk(s.net.Packet());
  DropResult();
  ffields.clear();
  fstmtId = ok.stmtId;
  ffieldCount = ok.fieldCount;
  fparamCount = ok.paramCount;
  FSendedTypes.clear();
  // From here the server holds the statement: Close releases it.
  fstate = psPrepare;
  try {
    if (fparamCount > 0) ReadParamDefinitions(s);
    if (ffieldCount > 0) {
      if (!(s.serverStatus & SERVER_STATUS_AUTOCOMMIT)) s.serverStatus |= SERVER_STATUS_IN_TRANS;
      if (ok.hasExtraInfo) s.extraInfo = ok.extraInfo;
      ffields = ReadColumnDefinitions(s, ffieldCount);
      NewResult(s);
    }
  } catch (...) {
    // The definitions never arrived whole: nothing may count on them.
    ffieldCount = 0;
    fparamCount = 0;
    ffields.clear();
    throw;
  }
}

void TMySqlStmt::BindResult(std::unique_ptr<TMySqlBinds> binds) {
  if (fstate == psUnknown) throw EMySqlException(CR_NO_PREPARE_STMT);
  if (ffieldCount == 0) throw EMySqlException(CR_UNKNOWN_ERROR);
  fresultBind = std::move(binds);
  if (!fresultBind) fresultBind = std::make_unique<TMySqlBinds>();
  if (fresult) fresult->SetResultBinds(fresultBind.get());
}

void TMySqlStmt::Execute(const TParamDescs& params, bool unicode) {
  TMySqlSession& s = UsableSession();
  if (fstate == psUnknown) throw EMySqlException(CR_NO_PREPARE_STMT);
  // Sent again in full after any failure: the server may not have taken them.
  std::vector<uint16_t> types = std::move(FSendedTypes);
  FSendedTypes.clear();
  std::vector<uint8_t> body;
  try {
    body = BuildExecute(fstmtId, fparamCount, params, unicode, types);
  } catch (...) {
    FSendedTypes = std::move(types);  // nothing was sent
    throw;
  }
  s.SimpleCommand(scExecute, body.data(), body.size(), true);
  s.ReadQueryResult();
  FSendedTypes = std::move(types);
  fstate = psExecute;
  if (s.fieldCount > 0) {
    ffields = std::move(s.fields);
    ffieldCount = static_cast<uint32_t>(ffields.size());
    s.fieldCount = 0;
    s.fields.clear();
    DropResult();
    NewResult(s);
    // Rows follow (only when this reply announced columns).
    s.status = TMySqlStatus::msUseResult;
    FRowsPending = true;
  }
  faffectedRows = s.affectedRows;
}

int TMySqlStmt::Fetch(TMySqlBinds*& row) {
  row = nullptr;
  if (!fsession) throw EMySqlException(CR_SERVER_GONE_ERROR);
  if (!FRowsPending || !fresult || fresult->Eof()) return MYSQL_NO_DATA;
  TMySqlSession& s = UsableSession();
  try {
    row = fresult->Read();
  } catch (const Exception&) {
    FRowsPending = false;
    throw;
  }
  if (row) return 0;
  FRowsPending = false;
  if (s.FSkipPacket && (s.serverStatus & SERVER_MORE_RESULTS_EXISTS)) {
    s.FSkipPacket = false;
    s.net.Receive();
  }
  return MYSQL_NO_DATA;
}

void TMySqlStmt::FreeResult() {
  if (FRowsPending && fresult && !fresult->Eof()) UsableSession();
  DropResult();
}

void TMySqlStmt::Close() {
  if (!fsession) {
    // The session is gone, and the statement with it.
    fstate = psUnknown;
  } else {
    TMySqlSession& s = *fsession;
    DropResult();
    if (fstate != psUnknown) {
      const uint32_t id = fstmtId;
      fstate = psUnknown;
      fstmtId = 0;
      if (!s.isClosed && !s.net.Broken() && s.net.vio()) {
        std::vector<uint8_t> body;
        TMySqlWriter(body).WriteInt(id, 4);
        s.SimpleCommand(scCloseStmt, body.data(), body.size(), true);
      }
    }
  }
  fstmtId = 0;
  ffieldCount = 0;
  fparamCount = 0;
  fresult.reset();
  ffields.clear();
  FSendedTypes.clear();
}

}  // namespace vix
