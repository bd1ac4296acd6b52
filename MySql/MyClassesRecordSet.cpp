// The MySQL record set: columns mapped to record fields, rows decoded into
// records, several results of one text, and the describe-only run.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "MySql/MyClasses.h"
#include "rtl/CodePage.h"
#include "rtl/Currency.h"
#include "rtl/DateUtils.h"
#include "rtl/FMTBcd.h"
#include "rtl/FormatSettings.h"

namespace vix {

namespace {

constexpr uint32_t kNotNullFlag = 1;
constexpr uint32_t kPriKeyFlag = 2;
constexpr uint32_t kUniqueKeyFlag = 4;
constexpr uint32_t kMultipleKeyFlag = 8;
constexpr uint32_t kUnsignedFlag = 32;
constexpr uint32_t kBinaryFlag = 128;
constexpr uint32_t kAutoIncrementFlag = 512;
constexpr uint32_t kTimestampFlag = 1024;
constexpr uint32_t kPartKeyFlag = 0x4000;
constexpr int32_t kBinaryCharset = 63;

constexpr uint8_t kTypeBit = 16;
constexpr uint8_t kTypeNewDecimal = 246;
constexpr uint8_t kTypeTinyBlob = 249;
constexpr uint8_t kTypeBlob = 252;
constexpr uint8_t kTypeGeometry = 255;

[[noreturn]] void RaiseProviderError(UString message) { throw EDAError(0, std::move(message)); }

template <typename T>
void Store(uint8_t* p, const T& v) {
  std::memcpy(p, &v, sizeof v);
}

UString Text(std::string_view bytes) { return Utf8ToUtf16Lenient(bytes); }

// Runs `parse` over the UTF-16 form of a number's text, on the stack when it
// is short (every decimal the server sends is), so a row allocates nothing.
template <typename Parse>
auto WithNumberText(std::string_view bytes, Parse&& parse) {
  char16_t buf[128];
  const bool ascii = std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii && bytes.size() <= std::size(buf)) {
    for (size_t i = 0; i < bytes.size(); ++i) buf[i] = static_cast<unsigned char>(bytes[i]);
    return parse(UStringView(buf, bytes.size()));
  }
  return parse(Text(bytes));
}

[[noreturn]] void RaiseNotFloat(std::string_view text) {
  throw EConvertError(Format(u"'%s' is not a valid floating point value", {Text(text)}));
}

// A decimal text read over its whole length, correctly rounded.
double ParseFloat(std::string_view text) {
  double v = 0;
  const char* b = text.data();
  const char* e = b + text.size();
  if (b != e && *b == '+') ++b;
  const auto r = std::from_chars(b, e, v);
  if (b == e || r.ptr != e || (r.ec != std::errc() && r.ec != std::errc::result_out_of_range)) RaiseNotFloat(text);
  return v;
}

// Decimal digits with an optional "-"; `negative` tells the sign. False for
// anything else or a value beyond 64 bits.
bool ParseMagnitude(std::string_view text, bool& negative, uint64_t& magnitude) {
  size_t i = 0;
  negative = !text.empty() && text[0] == '-';
  if (negative || (!text.empty() && text[0] == '+')) i = 1;
  if (i == text.size()) return false;
  magnitude = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    const uint64_t d = static_cast<uint64_t>(c - '0');
    if (magnitude > (std::numeric_limits<uint64_t>::max() - d) / 10) return false;
    magnitude = magnitude * 10 + d;
  }
  return true;
}

int Digits(std::string_view t, size_t pos, size_t count, bool& ok) {
  int v = 0;
  if (pos + count > t.size()) {
    ok = false;
    return 0;
  }
  for (size_t i = pos; i < pos + count; ++i) {
    if (t[i] < '0' || t[i] > '9') {
      ok = false;
      return 0;
    }
    v = v * 10 + (t[i] - '0');
  }
  return v;
}

// Milliseconds of a fraction ".ffffff" at `pos` (truncated; absent: 0).
int FractionMSec(std::string_view t, size_t pos, bool& ok) {
  if (pos >= t.size()) return 0;
  if (t[pos] != '.') {
    ok = false;
    return 0;
  }
  int ms = 0, n = 0;
  for (size_t i = pos + 1; i < t.size(); ++i) {
    if (t[i] < '0' || t[i] > '9') {
      ok = false;
      return 0;
    }
    if (n < 3) ms = ms * 10 + (t[i] - '0');
    ++n;
  }
  for (; n < 3; ++n) ms *= 10;
  return ms;
}

// "YYYY-MM-DD[ HH:NN:SS[.ffffff]]"; false for a zero or invalid date.
bool ParseDateTime(std::string_view t, bool withTime, TDateTime& value) {
  bool ok = true;
  const int y = Digits(t, 0, 4, ok), m = Digits(t, 5, 2, ok), d = Digits(t, 8, 2, ok);
  if (!ok || t.size() < 10 || t[4] != '-' || t[7] != '-') return false;
  int h = 0, n = 0, s = 0, ms = 0;
  if (withTime && t.size() > 10) {
    h = Digits(t, 11, 2, ok);
    n = Digits(t, 14, 2, ok);
    s = Digits(t, 17, 2, ok);
    ms = FractionMSec(t, 19, ok);
    if (!ok) return false;
  }
  return TryEncodeDateTime(y, m, d, h, n, s, ms, value);
}

// The old TIMESTAMP layouts of `length` digits: YYYYMMDDHHNNSS and shorter.
bool ParseCompactTimestamp(std::string_view t, int length, TDateTime& value) {
  bool ok = true;
  int y, pos;
  if (length == 14 || length == 8) {
    y = Digits(t, 0, 4, ok);
    pos = 4;
  } else {
    y = Digits(t, 0, 2, ok);
    y += y < 70 ? 2000 : 1900;
    pos = 2;
  }
  const auto part = [&](int defaultValue) {
    if (pos >= length) return defaultValue;
    const int v = Digits(t, static_cast<size_t>(pos), 2, ok);
    pos += 2;
    return v;
  };
  const int m = part(1), d = part(1), h = part(0), n = part(0), s = part(0);
  return ok && TryEncodeDateTime(y, m, d, h, n, s, 0, value);
}

// "[-]H+:NN:SS[.ffffff]" as days.
TDateTime ParseTime(std::string_view t, const UString& fieldName) {
  const size_t colon = t.find(':');
  bool ok = colon != std::string_view::npos && colon > 0 && colon <= 5;
  const bool negative = !t.empty() && t[0] == '-';
  int hours = 0;
  if (ok) hours = Digits(t, negative ? 1 : 0, colon - (negative ? 1 : 0), ok);
  const int minutes = Digits(t, colon + 1, 2, ok);
  const int seconds = Digits(t, colon + 4, 2, ok);
  const int ms = FractionMSec(t, colon + 6, ok);
  if (!ok || colon + 3 >= t.size() || t[colon + 3] != ':')
    throw EDatabaseError(Format(u"Wrong time format. Field %s, value %s", {fieldName, Text(t)}));
  const double days = hours / 24.0 + ((minutes * 60 + seconds) * 1000.0 + ms) / 86400000.0;
  return negative ? -days : days;
}

bool IsStringType(TDataType t) { return t == mtString || t == mtExtString || t == mtWideString || t == mtExtWideString; }

}  // namespace

// --- the type mapping -----------------------------------------------------------------

void MapMySqlField(const TMYSQL_FIELD& f, const TMyMappingOptions& o, TMySQLFieldDesc& d) {
  const uint8_t type = f._type;
  const bool isUnsigned = (f.Flags & kUnsignedFlag) != 0;
  // Binary columns are those of the binary charset: a text column of a
  // "_bin" collation carries the binary flag too, but holds text.
  const bool binary = (f.Flags & kBinaryFlag) != 0 && f.CharsetNr == kBinaryCharset;
  const bool blobType = (type >= kTypeTinyBlob && type <= kTypeBlob) || type == kTypeGeometry;
  TDataType dt = mtUnknown;
  bool fixed = false;
  uint32_t length = f.LengthInBytes;
  if (o.FieldsAsString && !blobType) {
    dt = mtString;
  } else {
    switch (type) {
      case MYSQL_TYPE_DECIMAL:
      case kTypeNewDecimal: {
        // The server's length is unsigned 32-bit: counted in 64 bits, a huge one stays huge.
        const int64_t precision = int64_t{f.LengthInBytes} - 1 - (f.Decimals > 0 ? 1 : 0);
        if (o.CheckPrecision) {
          if (o.EnableBCD && precision <= 14 && f.Decimals <= 4) dt = mtBCD;
          else dt = o.EnableFMTBCD ? mtFMTBCD : mtFloat;
        } else {
          dt = o.EnableFMTBCD ? mtFMTBCD : (o.EnableBCD ? mtBCD : mtFloat);
        }
        length = static_cast<uint32_t>(std::clamp<int64_t>(precision, 1, kMaxBcdDigits));
        break;
      }
      case MYSQL_TYPE_TINY:
        dt = f.LengthInBytes == 1 && o.EnableBoolean ? mtBoolean : (isUnsigned ? mtUInt16 : mtInt8);
        break;
      case MYSQL_TYPE_SHORT: dt = isUnsigned ? mtUInt16 : mtInt16; break;
      case MYSQL_TYPE_LONG: dt = isUnsigned ? mtUInt32 : mtInt32; break;
      case MYSQL_TYPE_FLOAT:
      case MYSQL_TYPE_DOUBLE: dt = mtFloat; break;
      case MYSQL_TYPE_NULL: dt = mtString; break;
      case MYSQL_TYPE_TIMESTAMP:
      case MYSQL_TYPE_DATETIME: dt = mtDateTime; break;
      case MYSQL_TYPE_LONGLONG:
      case kTypeBit:
        if (f.LengthInBytes <= 11 && o.OptimizedBigInt) dt = mtInt32;
        else if (type == MYSQL_TYPE_LONGLONG && isUnsigned && o.EnableFMTBCD) {
          // The whole unsigned range as a decimal.
          dt = mtFMTBCD;
          length = 20;
        } else dt = mtInt64;
        break;
      case MYSQL_TYPE_INT24: dt = mtInt32; break;
      case MYSQL_TYPE_DATE:
      case MYSQL_TYPE_NEWDATE: dt = mtDate; break;
      case MYSQL_TYPE_TIME: dt = mtTime; break;
      case MYSQL_TYPE_YEAR: dt = mtUInt16; break;
      case MYSQL_TYPE_VARCHAR:
      case MYSQL_TYPE_VAR_STRING: dt = binary && !o.BinaryAsString ? mtVarBytes : mtString; break;
      case MYSQL_TYPE_STRING:
        dt = binary && !o.BinaryAsString ? mtBytes : mtString;
        fixed = true;
        break;
      case MYSQL_TYPE_ENUM:
      case MYSQL_TYPE_SET: dt = mtString; break;
      default:
        if (blobType) {
          dt = binary ? mtBlob : mtMemo;
          break;
        }
        RaiseProviderError(Format(u"Unknown MySQL datatype (%d)", {static_cast<int>(type)}));
    }
    // Binary columns keep their bytes: never decoded as UTF-8.
    if (o.UseUnicode && f.CharsetNr != kBinaryCharset) {
      if (dt == mtString) dt = mtWideString;
      else if (dt == mtMemo) dt = mtWideMemo;
    }
  }
  const bool wide = dt == mtMemo || dt == mtWideString || dt == mtExtWideString || dt == mtWideMemo;
  if (o.UseUnicode && wide && !o.IsShow && f.CharsetNr != kBinaryCharset)
    length = f.LengthInBytes / (o.Utf8Mb4 ? 2 : 3);
  if (type == MYSQL_TYPE_VAR_STRING && f.LengthInBytes == 65535 && f.Table.empty() && !o.FieldsAsString)
    dt = (f.Flags & kBinaryFlag) ? mtBlob : (o.UseUnicode ? mtWideMemo : mtMemo);
  // A string longer than a field can hold stays whole in a memo.
  if ((IsStringType(dt) || dt == mtBytes || dt == mtVarBytes) && length > 65534) {
    if (dt == mtWideString) dt = mtWideMemo;
    else if (dt == mtString) dt = o.UseUnicode && f.CharsetNr != kBinaryCharset ? mtWideMemo : mtMemo;
    else dt = mtBlob;
  }
  if (!o.LongStrings && length > 256) {
    if (dt == mtString) dt = mtMemo;
    else if (dt == mtWideString) dt = mtWideMemo;
  }
  if (length == 0 || (!o.FlatBuffers && length >= 32)) {
    if (dt == mtString) dt = mtExtString;
    else if (dt == mtBytes || dt == mtVarBytes) dt = mtExtVarBytes;
    else if (dt == mtWideString) dt = mtExtWideString;
  }
  d.FDataType = dt;
  d.FActualFieldNo = d.FFieldNo > 0 ? static_cast<uint16_t>(d.FFieldNo - 1) : 0;
  d.FFixed = fixed;
  d.FMySQLType = type;
  d.FIsUnsigned = isUnsigned;
  d.FSubDataType = 0;
  d.FReadOnly = type == MYSQL_TYPE_NULL;
  d.FIsAutoIncrement = (f.Flags & kAutoIncrementFlag) != 0;
  d.FRequired = !d.FIsAutoIncrement && type != MYSQL_TYPE_TIMESTAMP && (f.Flags & kNotNullFlag) != 0;
  d.FIsBinary = (f.Flags & kBinaryFlag) != 0;
  d.FIsKey = (f.Flags & (kPriKeyFlag | kUniqueKeyFlag | kMultipleKeyFlag | kPartKeyFlag)) != 0;
  d.FIsPrimaryKey = (f.Flags & kPriKeyFlag) != 0;
  d.FIsCurrentTimestamp = (f.Flags & kTimestampFlag) != 0;
  d.FCharsetNr = f.CharsetNr;
  const uint16_t len16 = static_cast<uint16_t>(std::min<uint32_t>(length, 65535));
  d.FLength = IsBlobDataType(dt) ? 0 : len16;
  d.FScale = 0;
  switch (dt) {
    case mtString: d.FSize = len16 + 1; break;
    case mtBytes: d.FSize = len16; break;
    case mtVarBytes: d.FSize = len16 + 2; break;
    case mtWideString: d.FSize = (len16 + 1) * 2; break;
    case mtExtString:
    case mtExtWideString:
      if (length == 0) d.FLength = 65530;
      d.FSize = 0;
      break;
    case mtFloat:
    case mtBCD:
    case mtFMTBCD:
      d.FScale = static_cast<uint16_t>(std::min<uint32_t>(f.Decimals, 64));
      d.FSize = 0;
      break;
    default: d.FSize = 0;
  }
}

// --- TMySQLRecordset ---------------------------------------------------------------

TMySQLRecordset::TMySQLRecordset() {
  FFetchAll = true;
  CreateCommand();
}

TMySQLRecordset::~TMySQLRecordset() {
  try {
    if (FSQLResultNext && FMyCommand->GetMyConnection())
      FMyCommand->GetMyConnection()->GetMySQLAPI()->mysql_free_result(FSQLResultNext);
  } catch (...) {
  }
}

void TMySQLRecordset::CreateCommand() {
  auto c = std::make_unique<TMySQLCommand>();
  c->SetRequestResultset(true);
  SetCommand(std::move(c));
}

void TMySQLRecordset::SetCommand(std::unique_ptr<TZelCommand> value) {
  FMyCommand = dynamic_cast<TMySQLCommand*>(value.get());
  TZelRecordSet::SetCommand(std::move(value));
}

TMySQLConnection& TMySQLRecordset::Connection() const { return FMyCommand->Connection(); }

TMyMappingOptions TMySQLRecordset::MappingOptions() const {
  TMyMappingOptions o;
  o.UseUnicode = FUseUnicode;
  o.FieldsAsString = FFieldsAsString;
  o.EnableBoolean = FEnableBoolean;
  o.BinaryAsString = FBinaryAsString;
  o.LongStrings = FLongStrings;
  o.FlatBuffers = FFlatBuffers;
  if (TMySQLConnection* c = FMyCommand->GetMyConnection()) {
    o.OptimizedBigInt = c->GetOptimizedBigInt();
    o.CheckPrecision = c->GetCheckPrecision();
    o.EnableBCD = c->GetEnableBCD();
    o.EnableFMTBCD = c->GetEnableFMTBCD();
    o.Utf8Mb4 = c->GetUtf8Mb4();
  }
  o.EnableBCD = o.EnableBCD || FMyCommand->FEnableBCD;
  o.EnableFMTBCD = o.EnableFMTBCD || FMyCommand->FEnableFMTBCD;
  o.IsShow = Pos(u"SHOW", UpperCaseAscii(FMyCommand->GetSQL())) > 0;
  return o;
}

void TMySQLRecordset::ExecCommand() {
  TMySQLConnection& c = Connection();
  FUseUnicode = c.GetUseUnicode();
  FNullForZeroVanticDate = c.GetNullForZeroVanticDate();
  FOpenNextState = osNotChecked;
  // A result read to its end is closed already: the statement may run again.
  if (FMyCommand->FCursorState == csFetched && !FMyCommand->FSQLResult)
    FMyCommand->FCursorState = FMyCommand->FPrepared ? csPrepared : csInactive;
  try {
    FMyCommand->Execute();
    FWaitForFetchBreak = false;
    if (FMyCommand->FSQLResult) {
      FCommandType = ctCursor;
      FMyCommand->FCursorState = csExecuted;
    } else {
      FCommandType = ctStatement;
      FMyCommand->FCursorState = csInactive;
    }
  } catch (...) {
    CloseResult(false, true);
    throw;
  }
}

void TMySQLRecordset::InternalInitFields() {
  PMYSQL_RES res = FMyCommand->FSQLResult;
  if (!res) return;
  TMySQLAPI* api = Connection().GetMySQLAPI();
  const TMyMappingOptions o = MappingOptions();
  const int n = api->mysql_num_fields(res);
  for (int i = 0; i < n; ++i) {
    const TMYSQL_FIELD f = api->_mysql_fetch_field_direct(res, i, FUseUnicode);
    auto d = std::make_unique<TMySQLFieldDesc>();
    d->FFieldNo = static_cast<uint16_t>(i + 1);
    MapMySqlField(f, o, *d);
    d->FActualFieldNo = static_cast<uint16_t>(i);
    d->FName = FUseUnicode ? Utf8ToUtf16Lenient(f.Name) : AnsiToUtf16(f.Name);
    d->FActualName = FUseUnicode ? Utf8ToUtf16Lenient(f.OrgName) : AnsiToUtf16(f.OrgName);
    d->FTableAlias = FUseUnicode ? Utf8ToUtf16Lenient(f.Table) : AnsiToUtf16(f.Table);
    d->FTableName = FUseUnicode ? Utf8ToUtf16Lenient(f.OrgTable) : AnsiToUtf16(f.OrgTable);
    FFields.Add(std::move(d));
  }
  FNulls.clear();
}

void TMySQLRecordset::DecodeValue(const TMySQLFieldDesc& f, std::string_view v, uint8_t* rec, uint8_t& isNull) {
  uint8_t* slot = rec + f.FOffset;
  const size_t size = static_cast<size_t>(f.FSize);
  switch (f.FDataType) {
    case mtString: {
      const size_t n = std::min(v.size(), size - 1);
      std::memcpy(slot, v.data(), n);
      slot[n] = 0;
      return;
    }
    case mtBytes: {
      const size_t n = std::min(v.size(), size);
      std::memcpy(slot, v.data(), n);
      return;
    }
    case mtVarBytes: {
      const auto n = static_cast<uint16_t>(std::min(v.size(), size - 2));
      Store<uint16_t>(slot, n);
      std::memcpy(slot + 2, v.data(), n);
      return;
    }
    case mtExtString: Store<char*>(slot, FStringHeap->AllocStr(v)); return;
    case mtExtVarBytes: {
      const auto n = static_cast<uint16_t>(std::min<size_t>(v.size(), 65535));
      char* buf = FStringHeap->NewBuf(2u + n);
      Store<uint16_t>(reinterpret_cast<uint8_t*>(buf), n);
      std::memcpy(buf + 2, v.data(), n);
      Store<char*>(slot, buf);
      return;
    }
    case mtWideString: {
      // Decoded straight into the slot: no temporary text per value.
      const size_t n = Utf8ToUtf16Into(v, slot, size / 2 - 1, true);
      Store<char16_t>(slot + 2 * n, 0);
      return;
    }
    case mtExtWideString: Store<char16_t*>(slot, FStringHeap->AllocWideStr(Utf8ToUtf16(v))); return;
    case mtBlob:
    case mtMemo:
    case mtWideMemo: {
      TBlob* blob = NewBlob(f);
      Store<TBlob*>(slot, blob);  // the record owns it from here, also on a failure below
      if (f.FDataType == mtWideMemo) blob->SetAsString(Utf8ToUtf16(v));
      else blob->SetAsBytes(v);
      if (auto* cb = dynamic_cast<TCompressedBlob*>(blob)) {
        const TCompressBlobMode mode = FMyCommand->FCompressBlob;
        cb->SetCompressed(mode == cbClient || mode == cbClientServer);
      }
      return;
    }
    case mtFloat: Store<double>(slot, ParseFloat(v)); return;
    case mtBCD:
      Store<int64_t>(slot, WithNumberText(v, [](UStringView t) { return StrToCurr(t, InvariantFormatSettings()); }).Value);
      return;
    case mtFMTBCD: {
      const TBcd b = NormalizeBcd(WithNumberText(v, [](UStringView t) { return StrToBcd(t, InvariantFormatSettings()); }),
                                  f.FLength, f.FScale);
      std::memcpy(slot, &b, std::min(sizeof b, size));
      return;
    }
    case mtDate:
    case mtDateTime: {
      TDateTime value = 0;
      bool ok;
      if (f.FMySQLType == MYSQL_TYPE_TIMESTAMP) {
        // 19 characters, or 20 + n with a fraction of n digits; the old
        // compact layouts have an even number of digits up to 14.
        const int length = f.FLength;
        if (length >= 19) ok = ParseDateTime(v, true, value);
        else if (length >= 2 && length <= 14 && length % 2 == 0) ok = ParseCompactTimestamp(v, length, value);
        else RaiseProviderError(Format(u"Invalid FIELD_TYPE_TIMESTAMP Field.Length (%d)", {length}));
      } else {
        ok = ParseDateTime(v, f.FDataType == mtDateTime, value);
      }
      if (!ok) {
        if (FNullForZeroDate) isNull = 1;
        else Store<double>(slot, kZeroDateStandIn);
        return;
      }
      if (value == 0 && FNullForZeroVanticDate) {
        isNull = 1;
        return;
      }
      Store<double>(slot, value);
      return;
    }
    case mtTime: Store<double>(slot, ParseTime(v, f.FName)); return;
    default: break;
  }
  // Integers.
  uint64_t magnitude = 0;
  bool negative = false;
  if (f.FMySQLType == kTypeBit) {
    if (v.size() > 8) RaiseProviderError(Format(u"Field %s: BIT value longer than 64 bits", {f.FName}));
    for (unsigned char c : v) magnitude = magnitude << 8 | c;
    if (f.FDataType == mtBoolean) magnitude = !v.empty() && v.back() != 0;
  } else if (!ParseMagnitude(v, negative, magnitude)) {
    throw EConvertError(Format(u"'%s' is not a valid integer value for field %s", {Text(v), f.FName}));
  }
  const auto outOfRange = [&] {
    throw EConvertError(Format(u"Value %s of field %s is out of range", {Text(v), f.FName}));
  };
  if (f.FDataType == mtBoolean) {
    Store<int16_t>(slot, magnitude != 0 ? -1 : 0);
    return;
  }
  if (f.FDataType == mtUInt16 || f.FDataType == mtUInt32) {
    const uint64_t max = f.FDataType == mtUInt16 ? 0xFFFF : 0xFFFFFFFF;
    if (negative || magnitude > max) outOfRange();
    if (f.FDataType == mtUInt16) Store<uint16_t>(slot, static_cast<uint16_t>(magnitude));
    else Store<uint32_t>(slot, static_cast<uint32_t>(magnitude));
    return;
  }
  if (magnitude > (negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1)) outOfRange();
  const int64_t value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  int64_t lo, hi;
  switch (f.FDataType) {
    case mtInt8: lo = INT8_MIN, hi = INT8_MAX; break;
    case mtInt16: lo = INT16_MIN, hi = INT16_MAX; break;
    case mtInt32: lo = INT32_MIN, hi = INT32_MAX; break;
    case mtInt64: lo = INT64_MIN, hi = INT64_MAX; break;
    default: RaiseProviderError(Format(u"Field %s: unsupported data type %d", {f.FName, static_cast<int>(f.FDataType)}));
  }
  if (value < lo || value > hi) outOfRange();
  switch (f.FDataType) {
    case mtInt8: Store<int8_t>(slot, static_cast<int8_t>(value)); return;
    case mtInt16: Store<int16_t>(slot, static_cast<int16_t>(value)); return;
    case mtInt32: Store<int32_t>(slot, static_cast<int32_t>(value)); return;
    default: Store<int64_t>(slot, value); return;
  }
}

void TMySQLRecordset::DecodeRow(PMYSQL_ROW row, uint8_t* rec) {
  const int n = FFields.Count();
  if (static_cast<int>(row->Binds.size()) < n) RaiseProviderError(u"The row has fewer values than the result has columns");
  const bool binaryRow = FMyCommand->FPrepared;
  const std::vector<TMySqlFieldInfo>* infos = binaryRow ? &FMyCommand->FSQLResult->Fields() : nullptr;
  for (int i = 0; i < n; ++i) {
    const auto& f = static_cast<const TMySQLFieldDesc&>(FFields[i]);
    const TMySqlBind& b = row->Binds[static_cast<size_t>(i)];
    uint8_t isNull = b.IsNull ? 1 : 0;
    if (f.FFieldDescKind != fdkData) isNull = 1;
    if (isNull) {
      if (IsBlobDataType(f.FDataType)) Store<TBlob*>(rec + f.FOffset, NewBlob(f));
    } else {
      const std::string_view v(reinterpret_cast<const char*>(row->Buffer.data() + b.Offset), b.Length);
      if (binaryRow && !IsStringType(f.FDataType) && !IsBlobDataType(f.FDataType) && f.FDataType != mtBytes &&
          f.FDataType != mtVarBytes && f.FDataType != mtExtVarBytes && f.FDataType != mtFMTBCD &&
          f.FDataType != mtBCD && f.FMySQLType != kTypeBit && f.FMySQLType != MYSQL_TYPE_DECIMAL &&
          f.FMySQLType != kTypeNewDecimal) {
        // Numbers, dates and times of a binary row: the value read by type,
        // stored through the record's typed access.
        const Variant value = BinaryValue((*infos)[static_cast<size_t>(i)], ByteSpan(row->Buffer.data() + b.Offset, b.Length));
        if ((f.FDataType == mtDate || f.FDataType == mtDateTime) && value.VarType() == varDate &&
            value.AsDateTime() == kZeroDateStandIn && FNullForZeroDate) {
          isNull = 1;
        } else {
          PutFieldAsVariant(f.FFieldNo, rec, value);
        }
      } else {
        DecodeValue(f, v, rec, isNull);
      }
    }
    rec[FDataSize + i] = isNull;
  }
}

bool TMySQLRecordset::Fetch() {
  if (FFields.Count() == 0) {
    CloseResult(false, true);
    throw EDatabaseError(u"Query must return exactly result set - use Execute");
  }
  TMySQLCommand& cmd = *FMyCommand;
  if (cmd.FCursorState < csExecuted || cmd.FCursorState == csFetched || !cmd.FSQLResult) return false;
  if (cmd.FCursorState == csExecuted) cmd.FCursorState = csFetching;
  bool cancel = false;
  if (FOnBeforeFetch) FOnBeforeFetch(cancel);
  if (cancel || FWaitForFetchBreak) {
    if (cmd.FCursorState == csFetchingAll) cmd.FCursorState = csFetching;
    return false;
  }
  TMySQLConnection& c = Connection();
  TMySQLAPI* api = c.GetMySQLAPI();
  TBlockHeader* block = FBlockMan.AllocBlock(FFetchRows);
  int count = 0;
  try {
    while (count < FFetchRows) {
      PMYSQL_ROW row = nullptr;
      if (cmd.FPrepared) {
        const int rc = api->_mysql_stmt_fetch(cmd.Fstmt, row);
        if (rc != 0 && rc != MYSQL_NO_DATA)
          c.RaiseError(api->mysql_stmt_errno(cmd.Fstmt), api->mysql_stmt_error(cmd.Fstmt), cmd.FComponent);
        if (rc == MYSQL_NO_DATA) row = nullptr;
      } else {
        row = api->_mysql_fetch_row(cmd.FSQLResult);
        if (!row) c.Check(cmd.FComponent);
      }
      if (!row) {
        CloseResult(true, true);
        break;
      }
      DecodeRow(row, TBlockManager::GetRecordPtr(FBlockMan.ItemOf(block, count)));
      ++count;
    }
  } catch (...) {
    // The row that failed may hold values already: release it with the others.
    DiscardFetchBlock(block, std::min(count + 1, FFetchRows));
    try {
      CloseResult(false, true);
    } catch (...) {
    }
    FNoData = true;
    if (FOnAfterFetch) FOnAfterFetch();
    throw;
  }
  if (count > 0) FNoData = AddFetchedBlock(block, count);
  else FBlockMan.FreeBlock(block);
  if (FOnAfterFetch) FOnAfterFetch();
  return count > 0;
}

void TMySQLRecordset::CloseResult(bool lookAhead, bool /*drain*/) {
  TMySQLCommand& cmd = *FMyCommand;
  TMySQLConnection* c = cmd.GetMyConnection();
  if (!c || !c->GetMySQL()) {
    // The session went away under the result (a lost connection closed it):
    // the result is only freed, nothing is read.
    if (c && cmd.FSQLResult && !cmd.FPrepared) c->GetMySQLAPI()->mysql_free_result(cmd.FSQLResult);
    cmd.FSQLResult = nullptr;
    FOpenNextState = osNoMoreResults;
    FCommandType = ctUnknown;
    cmd.FOpenNext = false;
    return;
  }
  TMySQLAPI* api = c->GetMySQLAPI();
  PMYSQL my = c->GetMySQL();
  if (cmd.FSQLResult) {
    // Freeing reads and drops the rows not read yet, so the session is in
    // step for the next statement.
    if (cmd.FPrepared) api->mysql_stmt_free_result(cmd.Fstmt);
    else api->mysql_free_result(cmd.FSQLResult);
    cmd.FSQLResult = nullptr;
    FOpenNextState = !cmd.FPrepared && c->IsClient41() && api->mysql_more_results(my) ? osMoreResults : osNoMoreResults;
  } else if (FOpenNextState == osNotChecked) {
    FOpenNextState = !cmd.FPrepared && c->IsClient41() && api->mysql_more_results(my) ? osMoreResults : osNoMoreResults;
  }
  if (lookAhead && FOpenNextState == osMoreResults && !FSQLResultNext) {
    for (;;) {
      const int rc = api->mysql_next_result(my);
      if (rc < 0) {
        FOpenNextState = osNoMoreResults;
        break;
      }
      if (rc > 0) {
        FOpenNextState = osError;
        cmd.FCursorState = csInactive;
        FCommandType = ctUnknown;
        c->MySQLError(cmd.FComponent);
      }
      FRowsAffectedNext = api->mysql_affected_rows(my);
      if (api->mysql_field_count(my) != 0) {
        FSQLResultNext = api->mysql_use_result(my);
        c->Check(cmd.FComponent);
        break;
      }
      if (!api->mysql_more_results(my)) {
        FOpenNextState = osNoMoreResults;
        break;
      }
    }
  }
  if (cmd.FCursorState == csFetching || cmd.FCursorState == csFetchingAll) cmd.FCursorState = csFetched;
}

bool TMySQLRecordset::OpenNext() {
  TMySQLCommand& cmd = *FMyCommand;
  if (cmd.FSQLResult || (FOpenNextState == osMoreResults && !FSQLResultNext)) CloseResult(true, true);
  if (!FSQLResultNext) return false;
  ClearItems();
  cmd.FSQLResult = FSQLResultNext;
  FSQLResultNext = nullptr;
  cmd.FRowsAffectedPrev = cmd.FRowsAffected;
  cmd.FRowsAffected = FRowsAffectedNext;
  cmd.FCursorState = csExecuted;
  FCommandType = ctCursor;
  FOpenNextState = osNotChecked;
  InitFields();
  if (FFetchAll) FetchAll();
  else Fetch();
  FActive = true;
  return true;
}

void TMySQLRecordset::InternalClose() {
  TMySQLCommand& cmd = *FMyCommand;
  TMySQLConnection* c = cmd.GetMyConnection();
  std::exception_ptr error;
  if (c && c->GetMySQL()) {
    TMySQLAPI* api = c->GetMySQLAPI();
    PMYSQL my = c->GetMySQL();
    try {
      CloseResult(false, true);
      if (FSQLResultNext) {
        api->mysql_free_result(FSQLResultNext);
        FSQLResultNext = nullptr;
      }
      // Every further result of the text is read and dropped: the session is
      // free for the next statement.
      while (!cmd.FPrepared && c->IsClient41() && api->mysql_more_results(my)) {
        const int rc = api->mysql_next_result(my);
        if (rc < 0) break;
        if (rc > 0) c->MySQLError(cmd.FComponent);
        if (PMYSQL_RES r = api->mysql_use_result(my)) api->mysql_free_result(r);
        c->Check(cmd.FComponent);
      }
    } catch (...) {
      error = std::current_exception();
    }
  }
  cmd.FSQLResult = nullptr;
  FSQLResultNext = nullptr;
  cmd.FCursorState = cmd.FPrepared ? csPrepared : csInactive;
  if (!cmd.FPrepared) FCommandType = ctUnknown;
  FOpenNextState = osNotChecked;
  if (error) std::rethrow_exception(error);
}

bool TMySQLRecordset::RowsReturn() const {
  if (FCommandType != ctUnknown) return TZelRecordSet::RowsReturn();
  return FMyCommand->FSQLResult != nullptr || FSQLResultNext != nullptr;
}

bool TMySQLRecordset::CanDisconnect() const {
  if (!TZelRecordSet::CanDisconnect()) return false;
  if (!FUseHandler) return true;
  TMySQLConnection* c = FMyCommand->GetMyConnection();
  return c && c->IsClient41() && c->IsServer41();
}

// --- describe-only ---

UString TMySQLRecordset::DescribeOnlySQL(const UString& sql) {
  TMyParser parser(sql);
  parser.SetOmitBlank(true);
  parser.SetOmitComment(true);
  parser.SetQuotedString(true);
  parser.SetDecSeparator(u'.');
  parser.ToBegin();
  UString lexem;
  const int first = parser.GetNext(lexem);
  if (first != lxSELECT && first != lxWITH && first != lxSHOW && first != lxDESCRIBE && first != lxDESC &&
      first != lxEXPLAIN)
    throw EDatabaseError(u"Field descriptions are only read from SELECT, WITH, SHOW, DESCRIBE and EXPLAIN statements");
  // Only the first statement runs.
  size_t end = sql.size();
  parser.ToBegin();
  if (parser.ToLexem(u";")) end = static_cast<size_t>(parser.LexemPos());
  UString text = sql.substr(0, end);
  if (first != lxSELECT && first != lxWITH) return text;
  parser.SetText(text);
  parser.ToBegin();
  int code = parser.ToLexem(lxLIMIT, true);
  if (code == lxLIMIT) {
    // LIMIT count | LIMIT offset, count | LIMIT count OFFSET offset: the
    // count becomes 0.
    code = parser.GetNext(lexem);
    if (code != lkNumber && lexem != u"?") return text;
    size_t countPos = static_cast<size_t>(parser.LexemPos());
    size_t countLen = lexem.size();
    code = parser.GetNext(lexem);
    if (lexem == u",") {
      code = parser.GetNext(lexem);
      if (code != lkNumber && lexem != u"?") return text;
      countPos = static_cast<size_t>(parser.LexemPos());
      countLen = lexem.size();
    }
    return text.substr(0, countPos) + u"0" + text.substr(countPos + countLen);
  }
  parser.ToBegin();
  for (int stop : {lxPROCEDURE, lxFOR, lxLOCK}) {
    parser.ToBegin();
    if (parser.ToLexem(stop, true) == stop) {
      const auto pos = static_cast<size_t>(parser.LexemPos());
      return text.substr(0, pos) + u"LIMIT 0 " + text.substr(pos);
    }
  }
  return text + u" LIMIT 0";
}

void TMySQLRecordset::DescribeFields() {
  TMySQLCommand& cmd = *FMyCommand;
  const UString sql = cmd.FSQL;
  const auto cached = cmd.FCachedSQL;
  cmd.FSQL = DescribeOnlySQL(sql);
  cmd.FCachedSQL.clear();
  const auto restore = [&] {
    cmd.FSQL = sql;
    cmd.FCachedSQL = cached;
  };
  try {
    ExecCommand();
    InitFields();
    InternalClose();
  } catch (...) {
    restore();
    try {
      InternalClose();
    } catch (...) {
    }
    throw;
  }
  restore();
}

bool TMySQLRecordset::SetProp(TPropId prop, const Variant& value) {
  switch (prop) {
    case prFieldsAsString: FFieldsAsString = value.AsBoolean(); return true;
    case prNullForZeroDate: FNullForZeroDate = value.AsBoolean(); return true;
    case prEnableBoolean: FEnableBoolean = value.AsBoolean(); return true;
    case prCreateConnection: FCreateConnection = value.AsBoolean(); return true;
    case prCommandTimeout: return FMyCommand->SetProp(prop, value);
    case prOpenNext: FMyCommand->FOpenNext = value.AsBoolean(); return true;
    case prUseHandler: FUseHandler = value.AsBoolean(); return true;
    case prBinaryAsString: FBinaryAsString = value.AsBoolean(); return true;
    default: return TZelRecordSet::SetProp(prop, value);
  }
}

bool TMySQLRecordset::GetProp(TPropId prop, Variant& value) {
  switch (prop) {
    case prEnableBoolean: value = FEnableBoolean; return true;
    case prOpenNext: value = FMyCommand->FOpenNext; return true;
    case prMoreResults: value = FOpenNextState == osMoreResults; return true;
    default: return TZelRecordSet::GetProp(prop, value);
  }
}

}  // namespace vix
