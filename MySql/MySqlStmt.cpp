#include "MySql/MySqlStmt.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
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

// Bytes as they are; a value of no known type goes as its bytes too, as it
// does in a statement's text.
bool IsStringLike(uint16_t t) {
  return IsTextDataType(t) || t == mtBlob || t == mtBytes || t == mtVarBytes || t == mtExtVarBytes || t == mtUnknown;
}

// A 64-bit value above the signed range travels as an unsigned one.
bool IsUnsigned64(const TParamDesc& p) {
  return p.GetDataType() == mtInt64 && p.GetValue().VarType() == varUInt64;
}

[[noreturn]] void InvalidType(uint16_t dataType) {
  throw EMySqlValueError(
      Format(u"Invalid internal field type $%X (%d)", {static_cast<int>(dataType), static_cast<int>(dataType)}));
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
    if (!IsTextDataType(t)) return blob->AsBytes();
    return unicode ? Utf16ToUtf8Lenient(blob->AsString()) : blob->AsAnsiString();
  }
  if (IsTextDataType(t)) {
    if (v.IsEmptyOrNull()) return std::string();
    return unicode ? Utf16ToUtf8Lenient(v.AsString()) : v.AsAnsiString();
  }
  if (v.IsEmptyOrNull()) return std::string();
  std::string bytes = v.AsBytes();
  if (p.GetSize() > 0 && static_cast<size_t>(p.GetSize()) < bytes.size())
    bytes.resize(static_cast<size_t>(p.GetSize()));
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
    case mtInt64: return w.WriteInt(IsUnsigned64(p) ? v.AsUInt64() : static_cast<uint64_t>(v.AsInt64()), 8);
    case mtFloat: return w.WriteDouble(v.AsFloat());
    case mtDate: return WriteDate(w, v.AsDateTime(), false);
    case mtDateTime:
    case mtSQLTimeStamp: return WriteDate(w, v.AsDateTime(), true);
    case mtTime: return WriteTime(w, v.AsDateTime());
    case mtCurrency:
    case mtBCD: return w.WriteLengthString(ToUtf8(CurrToStr(v.AsCurrency(), InvariantFormatSettings())));
    case mtFMTBCD: return w.WriteLengthString(ToUtf8(BcdToStr(v.AsBcd(), InvariantFormatSettings())));
    default: InvalidType(t);
  }
}

std::string_view Chars(ByteSpan s) {
  return std::string_view(reinterpret_cast<const char*>(s.data()), s.size());
}

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
    case mtUnknown:
    case mtString:
    case mtExtString:
    case mtGuid:
    case mtBlob:
    case mtMemo:
    case mtBytes:
    case mtVarBytes:
    case mtExtVarBytes:
    case mtWideString:
    case mtExtWideString:
    case mtWideMemo:
    case mtCurrency:
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
    case mtDateTime:
    case mtSQLTimeStamp: return MYSQL_TYPE_DATETIME;
    default: InvalidType(dataType);
  }
}

uint16_t ParamTypeCode(const TParamDesc& param) {
  if (IsUnsigned64(param)) return MYSQL_TYPE_LONGLONG | kUnsignedParam;
  // A NULL needs no value writer: a type that has none goes as the NULL type.
  if (param.GetNull()) {
    switch (param.GetDataType()) {
      case mtObject:
      case mtReference:
      case mtArray:
      case mtTable:
      case mtVariant:
      case mtCursor: return MYSQL_TYPE_NULL;
      default: break;
    }
  }
  return ParamTypeCode(param.GetDataType());
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
    types[n] = ParamTypeCode(p);
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

bool TryBinaryDateTimeToDateTime(const TMySqlBinaryDateTime& d, TDateTime& value) {
  return d.Microsecond < 1000000 && TryEncodeDateTime(d.Year, d.Month, d.Day, d.Hour, d.Minute, d.Second,
                                                      static_cast<int>(d.Microsecond / 1000), value);
}

TDateTime BinaryDateTimeToDateTime(const TMySqlBinaryDateTime& d) {
  TDateTime value;
  return TryBinaryDateTimeToDateTime(d, value) ? value : kZeroDateStandIn;
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
    case MYSQL_TYPE_LONG: whole(4); return isUnsigned ? Variant(r.ReadUInt32()) : Variant(r.ReadInt32());
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
    case MYSQL_TYPE_DOUBLE: whole(8); return Variant(r.ReadDouble());
    case MYSQL_TYPE_DATE:
    case MYSQL_TYPE_NEWDATE:
    case MYSQL_TYPE_DATETIME:
    case MYSQL_TYPE_TIMESTAMP: return Variant::FromDate(BinaryDateTimeToDateTime(DecodeBinaryDateTime(value)));
    case MYSQL_TYPE_TIME: return Variant::FromDate(BinaryTimeToDateTime(DecodeBinaryTime(value)));
    default: return Variant::FromBytes(std::string(Chars(value)));
  }
}

bool IsBinaryEncodedType(uint8_t type) {
  switch (type) {
    case MYSQL_TYPE_TINY:
    case MYSQL_TYPE_SHORT:
    case MYSQL_TYPE_YEAR:
    case MYSQL_TYPE_INT24:
    case MYSQL_TYPE_LONG:
    case MYSQL_TYPE_LONGLONG:
    case MYSQL_TYPE_FLOAT:
    case MYSQL_TYPE_DOUBLE:
    case MYSQL_TYPE_DATE:
    case MYSQL_TYPE_NEWDATE:
    case MYSQL_TYPE_DATETIME:
    case MYSQL_TYPE_TIMESTAMP:
    case MYSQL_TYPE_TIME: return true;
    default: return false;
  }
}

namespace {

// A float as the server writes it: doubles with the shortest digits that
// read back to the same value, FLOAT with at most 6 significant digits;
// plain notation while the point lies within 15 digits of the first one
// (or the digits reach past it), else "<d.ddd>e<exp>".
std::string ServerFloatText(double value, bool single) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  if (value == 0) return std::signbit(value) ? "-0" : "0";
  char buf[64];
  std::string sci;
  if (single) {
    sci.assign(buf, static_cast<size_t>(std::snprintf(buf, sizeof buf, "%.5e", value)));
  } else {
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    sci.assign(buf, r.ptr);
  }
  const size_t e = sci.find('e');
  const bool negative = sci[0] == '-';
  std::string digits;
  for (size_t i = negative ? 1 : 0; i < e; ++i)
    if (sci[i] != '.') digits += sci[i];
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  int exp = 0;
  std::from_chars(sci.data() + e + (sci[e + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exp);
  const auto length = static_cast<int>(digits.size());
  std::string out = negative ? "-" : "";
  if (exp >= -15 && (exp < 15 || length > exp + 1)) {
    if (exp < 0) out += "0." + std::string(static_cast<size_t>(-exp - 1), '0') + digits;
    else if (length <= exp + 1) out += digits + std::string(static_cast<size_t>(exp + 1 - length), '0');
    else out += digits.substr(0, static_cast<size_t>(exp) + 1) + "." + digits.substr(static_cast<size_t>(exp) + 1);
  } else {
    out += digits.substr(0, 1);
    if (length > 1) out += "." + digits.substr(1);
    out += "e" + std::to_string(exp);
  }
  return out;
}

// ".ffffff" cut to the column's decimals (none for 0; all six beyond 6).
std::string Fraction(uint32_t microseconds, int32_t decimals) {
  if (decimals <= 0) return std::string();
  char b[8];
  std::snprintf(b, sizeof b, "%06u", static_cast<unsigned>(microseconds % 1000000));
  return "." + std::string(b, static_cast<size_t>(std::min(decimals, 6)));
}

}  // namespace

std::string BinaryValueText(const TMySqlFieldInfo& field, ByteSpan value) {
  char b[64];
  switch (field._Type) {
    case MYSQL_TYPE_FLOAT: {
      if (value.size() != 4) RaiseMalformedPacket();
      const uint32_t bits = TMySqlReader(value).ReadUInt32();
      float f;
      std::memcpy(&f, &bits, sizeof f);
      return ServerFloatText(f, true);
    }
    case MYSQL_TYPE_DOUBLE: return ServerFloatText(BinaryValue(field, value).AsFloat(), false);
    case MYSQL_TYPE_DATE:
    case MYSQL_TYPE_NEWDATE:
    case MYSQL_TYPE_DATETIME:
    case MYSQL_TYPE_TIMESTAMP: {
      const TMySqlBinaryDateTime d = DecodeBinaryDateTime(value);
      std::snprintf(b, sizeof b, "%04d-%02d-%02d", d.Year, d.Month, d.Day);
      std::string text = b;
      if (field._Type == MYSQL_TYPE_DATE || field._Type == MYSQL_TYPE_NEWDATE) return text;
      std::snprintf(b, sizeof b, " %02d:%02d:%02d", d.Hour, d.Minute, d.Second);
      return text + b + Fraction(d.Microsecond, field.Scale);
    }
    case MYSQL_TYPE_TIME: {
      const TMySqlBinaryTime t = DecodeBinaryTime(value);
      const uint64_t hours = uint64_t{t.Days} * 24 + static_cast<uint64_t>(t.Hour);
      std::snprintf(b, sizeof b, "%s%02llu:%02d:%02d", t.Negative ? "-" : "", static_cast<unsigned long long>(hours),
                    t.Minute, t.Second);
      return b + Fraction(t.Microsecond, field.Scale);
    }
    default: {
      if (!IsBinaryEncodedType(field._Type)) return std::string(Chars(value));
      const Variant v = BinaryValue(field, value);
      std::string text =
          v.VarType() == varUInt64 || v.VarType() == varLongWord || v.VarType() == varWord || v.VarType() == varByte
              ? std::to_string(v.AsUInt64())
              : std::to_string(v.AsInt64());
      // ZEROFILL columns (YEAR among them) are padded to their width.
      constexpr int32_t kZeroFillFlag = 64;
      if ((field.Flags & kZeroFillFlag) && field.Length > 0 && field.Length <= 64 &&
          text.size() < static_cast<size_t>(field.Length))
        text.insert(text[0] == '-' ? 1 : 0, static_cast<size_t>(field.Length) - text.size(), '0');
      return text;
    }
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
  // The columns last described (by the prepare or an execution) stand for a
  // result whose definitions the server leaves out.
  s.ReadQueryResult(ffields.empty() ? nullptr : &ffields);
  FSendedTypes = std::move(types);
  fstate = psExecute;
  FColumnsReused = s.fieldCount > 0 && s.FMetadataReused;
  if (s.fieldCount > 0) {
    if (!s.FMetadataReused) ffields = std::move(s.fields);
    ffieldCount = static_cast<uint32_t>(ffields.size());
    s.fieldCount = 0;
    s.fields.clear();
    s.FMetadataReused = false;
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
