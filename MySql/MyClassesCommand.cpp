// The MySQL command: parameter literals rendered into the statement text,
// execution with its results, the prepared path and the cancel.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "MySql/MyClasses.h"
#include "rtl/CodePage.h"
#include "rtl/Currency.h"
#include "rtl/DateUtils.h"
#include "rtl/FMTBcd.h"
#include "rtl/FormatSettings.h"

namespace vix {

namespace {

// --- multi-byte character sets -------------------------------------------------------

bool In(unsigned char c, unsigned char lo, unsigned char hi) {
  return c >= lo && c <= hi;
}

// The length of the valid multi-byte character at `p` as the server's lexer
// reads it in `charset` (0 when the bytes there are no such character).
size_t MultiByteCharLength(UStringView charset, const unsigned char* p, const unsigned char* end) {
  if (end - p < 2 || p[0] < 0x80) return 0;
  const unsigned char a = p[0], b = p[1];
  if (charset == u"gbk") return In(a, 0x81, 0xFE) && (In(b, 0x40, 0x7E) || In(b, 0x80, 0xFE)) ? 2 : 0;
  if (charset == u"big5") return In(a, 0xA1, 0xF9) && (In(b, 0x40, 0x7E) || In(b, 0xA1, 0xFE)) ? 2 : 0;
  if (charset == u"sjis" || charset == u"cp932")
    return (In(a, 0x81, 0x9F) || In(a, 0xE0, 0xFC)) && (In(b, 0x40, 0x7E) || In(b, 0x80, 0xFC)) ? 2 : 0;
  if (charset == u"euckr")
    return In(a, 0x81, 0xFE) && (In(b, 0x41, 0x5A) || In(b, 0x61, 0x7A) || In(b, 0x81, 0xFE)) ? 2 : 0;
  if (charset == u"gb2312") return In(a, 0xA1, 0xF7) && In(b, 0xA1, 0xFE) ? 2 : 0;
  if (charset == u"ujis" || charset == u"eucjpms") {
    if (a == 0x8E) return In(b, 0xA1, 0xDF) ? 2 : 0;
    if (a == 0x8F) return end - p >= 3 && In(b, 0xA1, 0xFE) && In(p[2], 0xA1, 0xFE) ? 3 : 0;
    return In(a, 0xA1, 0xFE) && In(b, 0xA1, 0xFE) ? 2 : 0;
  }
  return 0;
}

void AppendEscaped(std::string& out, char c) {
  switch (c) {
    case '\0': out += "\\0"; break;
    case '\n': out += "\\n"; break;
    case '\r': out += "\\r"; break;
    case '\x1A': out += "\\Z"; break;
    case '"': out += "\\\""; break;
    case '\'': out += "\\'"; break;
    case '\\': out += "\\\\"; break;
    default: out += c;
  }
}

// --- typed literals ------------------------------------------------------------------

std::string Ascii(const UString& text) {
  std::string s;
  s.reserve(text.size());
  for (char16_t c : text) s += static_cast<char>(c);
  return s;
}

std::string TwoDigits(int v) {
  char b[3] = {static_cast<char>('0' + v / 10 % 10), static_cast<char>('0' + v % 10), 0};
  return b;
}

// "YYYY-MM-DD", "HH:NN:SS", and ".zzz" when there are milliseconds.
std::string DateText(const TDateTimeParts& p) {
  char b[16];
  std::snprintf(b, sizeof b, "%04d-%02d-%02d", p.Year, p.Month, p.Day);
  return b;
}

// Hours take at least two digits: a text compared as a string orders right.
std::string TimeText(int64_t hours, int minutes, int seconds, int msec) {
  std::string s = (hours < 10 ? "0" : "") + std::to_string(hours) + ":" + TwoDigits(minutes) + ":" + TwoDigits(seconds);
  if (msec) {
    char b[8];
    std::snprintf(b, sizeof b, ".%03d", msec);
    s += b;
  }
  return s;
}

std::string TimeLiteral(TDateTime value) {
  if (!std::isfinite(value)) throw EConvertError(u"Invalid time value");
  const double ms = std::nearbyint(value * 86400000.0);
  if (std::fabs(ms) > 9.2e18) throw EConvertError(u"Invalid time value");
  int64_t total = static_cast<int64_t>(ms);
  std::string out = "'";
  if (total < 0) {
    out += '-';
    total = -total;
  }
  const int64_t secs = total / 1000;
  out += TimeText(secs / 3600, static_cast<int>(secs % 3600 / 60), static_cast<int>(secs % 60),
                  static_cast<int>(total % 1000));
  return out + "'";
}

std::string DateTimeLiteral(TDateTime value, bool withTime) {
  const TDateTimeParts p = DecodeDateTime(value);
  std::string s = "'" + DateText(p);
  if (withTime) s += " " + TimeText(p.Hour, p.Minute, p.Second, p.MSec);
  return s + "'";
}

std::string IntegerLiteral(const Variant& v) {
  if (v.VarType() == varUInt64) return std::to_string(v.AsUInt64());
  return std::to_string(v.AsInt64());
}

// The blob of a large-object descriptor, if it holds one.
TBlob* BlobOf(const TParamDesc& p) {
  if (TSharedObject* o = p.GetObject()) return dynamic_cast<TBlob*>(o);
  return nullptr;
}

bool IsBinaryType(TDataType t) {
  return t == mtUnknown || t == mtBlob || t == mtBytes || t == mtVarBytes || t == mtExtVarBytes;
}

// A UTF-16 text in the session's bytes: UTF-8, or the code page of the
// session's multi-byte charset, or the ANSI code page. Raw bytes a script
// carried (Utf8ToUtf16KeepBytes) go out as those bytes.
std::string TextToSession(UStringView text, const TMyLiteralOptions& o) {
  if (o.UseUnicode) return Utf16ToUtf8KeepBytes(text);
  return Utf16ToAnsi(text, MultiByteCharsetCodePage(o.Charset));
}

std::string AnsiToSession(const std::string& bytes, const TMyLiteralOptions& o) {
  return o.UseUnicode ? Utf16ToUtf8(AnsiToUtf16(bytes)) : bytes;
}

std::string HexLiteral(const std::string& bytes);

// A text as a literal of its own character set: the same value whatever set
// the session reads the statement in.
std::string HexText(UStringView text) {
  if (text.empty()) return "''";
  return "_utf8mb4 " + HexLiteral(Utf16ToUtf8(text));
}

std::string QuotedText(const std::string& bytes, const TMyLiteralOptions& o) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 8 + 2);
  out += '\'';
  EscapeMySqlBytes(out, bytes, o.NoBackslashEscapes, o.UseUnicode ? UStringView() : UStringView(o.Charset));
  out += '\'';
  return out;
}

std::string HexLiteral(const std::string& bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2 + 3);
  out += "X'";
  for (unsigned char c : bytes) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out + "'";
}

[[noreturn]] void RaiseDatabaseError(UString message) {
  throw EDatabaseError(std::move(message));
}

}  // namespace

int MySqlCharsetCodePage(UStringView charset) {
  if (const int cp = MultiByteCharsetCodePage(charset)) return cp;
  struct Entry {
    UStringView Name;
    int CodePage;
  };
  static constexpr Entry kSingleByte[] = {
      {u"latin1", 1252}, {u"cp1250", 1250},  {u"cp1251", 1251},  {u"cp1256", 1256},   {u"cp1257", 1257},
      {u"greek", 1253},  {u"hebrew", 1255},  {u"latin5", 1254},  {u"tis620", 874},    {u"koi8r", 20866},
      {u"koi8u", 21866}, {u"latin2", 28592}, {u"latin7", 28603}, {u"cp850", 850},     {u"cp852", 852},
      {u"cp866", 866},   {u"ascii", 20127},  {u"ujis", 20932},   {u"eucjpms", 20932},
  };
  for (const Entry& e : kSingleByte)
    if (e.Name == charset) return e.CodePage;
  return IsUtf8Charset(charset) ? 65001 : 0;
}

bool IsUtf8Charset(UStringView charset) {
  return charset == u"utf8" || charset == u"utf8mb3" || charset == u"utf8mb4";
}

TMyCharsetEffect CharsetEffectOf(const UString& sql, TParserClass lexer) {
  TMyCharsetEffect effect;
  std::unique_ptr<TParser> parser = lexer(sql);
  parser->SetOmitBlank(true);
  parser->SetOmitComment(false);
  parser->SetQuotedString(true);
  parser->SetUppered(true);
  parser->ToBegin();
  enum { kStart, kSetFirst, kInSet, kOther } state = kStart;
  bool character = false;  // "SET CHARACTER" read: "SET" follows
  UString lexem;
  for (int code; (code = parser->GetNext(lexem)) != lkEnd;) {
    if (code == lkComment) {
      if (lexem.rfind(u"/*!", 0) == 0 || lexem.rfind(u"/*M!", 0) == 0) effect.ExecutableComment = true;
      continue;
    }
    if (code == 7 || code == lxBEGIN) {  // ";" or a block's BEGIN: a statement starts
      state = kStart;
      continue;
    }
    UStringView name = lexem;
    if (code == lkIdent && name.size() >= 2 && name.front() == u'`' && name.back() == u'`')
      name = name.substr(1, name.size() - 2);
    switch (state) {
      case kStart: state = code == lxSET ? kSetFirst : kOther; continue;
      case kSetFirst:
        if (character && code == lxSET) {
          effect.ChangesCharset = true;
          state = kInSet;
          continue;
        }
        character = code == lkIdent && SameText(name, u"CHARACTER");
        if (character) continue;
        if (code == lxCHARSET || (code == lkIdent && SameText(name, u"NAMES"))) effect.ChangesCharset = true;
        state = kInSet;
        break;
      case kInSet: break;
      case kOther: continue;
    }
    if (code != lkIdent) continue;
    if (SameText(name, u"character_set_client")) effect.ChangesCharset = true;
    if (SameText(name, u"session_track_system_variables") || SameText(name, u"session_track_state_change"))
      effect.TouchesTracking = true;
  }
  return effect;
}

bool IsMultiByteCharset(UStringView charset) {
  return MultiByteCharsetCodePage(charset) != 0 || charset == u"ujis" || charset == u"eucjpms";
}

int MultiByteCharsetCodePage(UStringView charset) {
  if (charset == u"euckr") return 949;
  if (charset == u"gbk" || charset == u"gb2312") return 936;
  if (charset == u"big5") return 950;
  if (charset == u"sjis" || charset == u"cp932") return 932;
  return 0;
}

void EscapeMySqlBytes(std::string& out, std::string_view bytes, bool noBackslashEscapes, UStringView multiByteCharset) {
  if (noBackslashEscapes) {
    // Only the quote is special to the server's lexer now; no valid
    // multi-byte character of any charset holds the byte 0x27.
    for (char c : bytes) {
      out += c;
      if (c == '\'') out += '\'';
    }
    return;
  }
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = p + bytes.size();
  const bool mb = !multiByteCharset.empty() && IsMultiByteCharset(multiByteCharset);
  while (p < end) {
    if (mb && *p >= 0x80) {
      if (const size_t n = MultiByteCharLength(multiByteCharset, p, end)) {
        out.append(reinterpret_cast<const char*>(p), n);
        p += n;
        continue;
      }
      // A byte that is no whole character: escaped, so that it can never
      // pair with the backslash of a following escape.
      out += '\\';
      out += static_cast<char>(*p++);
      continue;
    }
    AppendEscaped(out, static_cast<char>(*p++));
  }
}

std::string MySqlFloatLiteral(double value) {
  if (!std::isfinite(value)) throw EConvertError(u"Invalid floating point value for SQL: " + FloatToStr(value));
  if (value == 0) return "0";
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  const std::string sci(buf, r.ptr);
  // "-d.ddde+XX": sign, digits, exponent.
  const size_t e = sci.find('e');
  const bool negative = sci[0] == '-';
  std::string digits;
  for (size_t i = negative ? 1 : 0; i < e; ++i)
    if (sci[i] != '.') digits += sci[i];
  const int exp = std::stoi(sci.substr(e + 1));
  std::string out = negative ? "-" : "";
  if (exp >= -5 && exp <= 14) {
    if (exp < 0) {
      out += "0." + std::string(static_cast<size_t>(-exp - 1), '0') + digits;
    } else if (static_cast<size_t>(exp) + 1 >= digits.size()) {
      out += digits + std::string(static_cast<size_t>(exp) + 1 - digits.size(), '0');
    } else {
      out += digits.substr(0, static_cast<size_t>(exp) + 1) + "." + digits.substr(static_cast<size_t>(exp) + 1);
    }
  } else {
    out += digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    out += "E" + std::to_string(exp);
  }
  return out;
}

std::string MySqlLiteral(const TParamDesc& p, const TMyLiteralOptions& o) {
  if (p.GetNull()) return "NULL";
  const TDataType t = p.GetDataType();
  const Variant& v = p.GetValue();
  if (o.HexLiterals) {
    // Nothing that a character set could read otherwise: bytes and texts
    // in hexadecimal.
    if (TBlob* blob = BlobOf(p)) {
      if (blob->IsEmpty()) return "''";
      if (IsBinaryType(t)) return HexLiteral(blob->AsBytes());
      return HexText(blob->IsUnicode() ? blob->AsString() : AnsiToUtf16(blob->AsAnsiString()));
    }
    const bool zeroDate =
        (t == mtDate || t == mtTime || t == mtDateTime) && v.VarType() == varDate && v.AsDateTime() == kZeroDateStandIn;
    if (!zeroDate && IsBinaryType(t)) return HexLiteral(v.AsBytes());
    if (IsTextDataType(t)) {
      if (v.VarType() == varString || v.VarType() == varBytes) return HexText(AnsiToUtf16(v.AsAnsiString()));
      return HexText(v.AsString());
    }
  }
  if (TBlob* blob = BlobOf(p)) {
    if (blob->IsEmpty()) return "''";
    std::string bytes;
    if (IsBinaryType(t)) bytes = blob->AsBytes();
    else if (blob->IsUnicode()) bytes = TextToSession(blob->AsString(), o);
    else bytes = AnsiToSession(blob->AsAnsiString(), o);
    if (IsBinaryType(t) && !o.UseUnicode && IsMultiByteCharset(o.Charset)) return HexLiteral(bytes);
    return QuotedText(bytes, o);
  }
  if ((t == mtDate || t == mtTime || t == mtDateTime) && v.VarType() == varDate && v.AsDateTime() == kZeroDateStandIn)
    return "'0000-00-00 00:00:00'";
  if (IsBinaryType(t)) {
    const std::string bytes = v.AsBytes();
    if (!o.UseUnicode && IsMultiByteCharset(o.Charset)) return HexLiteral(bytes);
    return QuotedText(bytes, o);
  }
  if (IsTextDataType(t)) {
    if (v.VarType() == varString || v.VarType() == varBytes) return QuotedText(AnsiToSession(v.AsAnsiString(), o), o);
    return QuotedText(TextToSession(v.AsString(), o), o);
  }
  switch (t) {
    case mtFloat: return MySqlFloatLiteral(v.AsFloat());
    case mtCurrency:
    case mtBCD: return Ascii(CurrToStr(v.AsCurrency(), InvariantFormatSettings()));
    case mtFMTBCD: return Ascii(BcdToStr(v.AsBcd(), InvariantFormatSettings()));
    case mtBoolean: return v.AsBoolean() ? "1" : "0";
    case mtDate: return DateTimeLiteral(v.AsDateTime(), false);
    case mtTime: return TimeLiteral(v.AsDateTime());
    case mtDateTime:
    case mtSQLTimeStamp: return DateTimeLiteral(v.AsDateTime(), true);
    default: return IntegerLiteral(v);
  }
}

// --- TMySQLCommand -------------------------------------------------------------------

TMySQLCommand::TMySQLCommand() = default;

TMySQLCommand::~TMySQLCommand() {
  try {
    if (FSQLResult && FMyConnection && !FPrepared) FMyConnection->GetMySQLAPI()->mysql_free_result(FSQLResult);
    FSQLResult = nullptr;
    Unprepare();
  } catch (...) {
  }
}

void TMySQLCommand::SetConnection(TZelConnection* value) {
  TZelCommand::SetConnection(value);
  FMyConnection = dynamic_cast<TMySQLConnection*>(value);
}

TMySQLConnection& TMySQLCommand::Connection() const {
  if (!FMyConnection || !FMyConnection->GetConnected() || !FMyConnection->GetMySQL())
    RaiseDatabaseError(u"Connection is not connected");
  return *FMyConnection;
}

// The session's quoting mode decides where its strings end, so it decides
// the lexer that finds parameters and placeholders outside them.
TParserClass TMySQLCommand::GetParserClass() const {
  if (FMyConnection && FMyConnection->ServerNoBackslashEscapes()) return &NewParser<TMyNoBackslashParser>;
  return &NewParser<TMyParser>;
}

UString TMySQLCommand::ParseSQL(const UString& sql, TParamDescs* params, bool replaceAll, const UString& renamePrefix) {
  if (sql.find(u':') == UString::npos) {
    if (params) params->Clear();
    return sql;
  }
  return TZelCommand::ParseSQL(sql, params, replaceAll, renamePrefix);
}

void TMySQLCommand::SetSQL(const UString& value) {
  const TParserClass lexer = GetParserClass();
  if (value == FUserSQL) {
    ScanForSession();
  } else {
    TZelCommand::SetSQL(value);
    FScanLexer = lexer;
  }
  if (!FFillParamPosition) FParamPositions.clear();
  FCachedSQL.clear();
}

void TMySQLCommand::ScanForSession() {
  const TParserClass lexer = GetParserClass();
  if (lexer == FScanLexer) return;
  if (FDisableParamScan || FUserSQL.empty()) {
    FScanLexer = lexer;
    return;
  }
  TParamDescs scanned;
  UString sql = ParseSQL(FUserSQL, &scanned, true, UString());
  for (int i = 0; i < scanned.Count(); ++i) {
    TParamDesc* desc = scanned.Items(i);
    if (const TParamDesc* old = FParams.FindParam(desc->GetName())) {
      UString name = desc->GetName();
      *desc = *old;
      desc->SetName(std::move(name));
    }
  }
  FParams.Swap(scanned);
  FSQL = std::move(sql);
  FScanLexer = lexer;
  if (!FFillParamPosition) FParamPositions.clear();
  FCachedSQL.clear();
  FEffectLexer = nullptr;
}

TMyLiteralOptions TMySQLCommand::LiteralOptions() const {
  TMyLiteralOptions o;
  if (!FMyConnection) return o;
  o.UseUnicode = FMyConnection->GetUseUnicode();
  // The session's own status decides, whatever was checked at connect.
  o.NoBackslashEscapes = FMyConnection->ServerNoBackslashEscapes();
  o.Charset = LowerCaseAscii(FMyConnection->GetCharset());
  // A SET NAMES run as a statement: the session no longer reads texts as
  // they are written.
  o.HexLiterals = FMyConnection->SessionCharsetDiffers();
  return o;
}

namespace {

bool IsAscii(UStringView text) {
  return std::all_of(text.begin(), text.end(), [](char16_t c) { return c < 0x80; });
}

}  // namespace

std::string TMySQLCommand::BuildSQL(const TMyLiteralOptions& o) {
  const auto piece = [&](UStringView text) {
    // Only ASCII reads the same in the session's other character set.
    if (o.HexLiterals && !IsAscii(text))
      RaiseDatabaseError(u"The statement holds characters that the session's character set would read otherwise");
    return TextToSession(text, o);
  };
  // Texts are converted to the ANSI code page: a multi-byte charset of
  // another code page would read them as other characters.
  if (!o.UseUnicode && IsMultiByteCharset(o.Charset) && MultiByteCharsetCodePage(o.Charset) != GetAnsiCodePage())
    RaiseDatabaseError(Format(u"Character set %s does not match the code page %d", {o.Charset, GetAnsiCodePage()}));
  if (FParams.Count() == 0 || FSQL.find(u'?') == UString::npos) return piece(FSQL);
  std::string out;
  out.reserve(FSQL.size() + 16 * static_cast<size_t>(FParams.Count()));
  if (!FParamPositions.empty()) {
    if (!FStoredProc && FParamPositions.size() != static_cast<size_t>(FParams.Count()))
      throw Exception(u"Parameter positions do not match the parameters");
    // The text between the markers straight into the statement.
    const auto addPiece = [&](UStringView text) {
      if (o.UseUnicode && !o.HexLiterals) AppendUtf16AsUtf8KeepBytes(out, text);
      else out += piece(text);
    };
    size_t done = 0;
    for (size_t i = 0; i < FParamPositions.size(); ++i) {
      const auto pos = static_cast<size_t>(FParamPositions[i]);
      if (pos < done || pos > FSQL.size()) throw Exception(u"Parameter position out of range");
      addPiece(UStringView(FSQL).substr(done, pos - done));
      out += MySqlLiteral(*FParams.Items(static_cast<int>(i)), o);
      done = pos + 1;
    }
    addPiece(UStringView(FSQL).substr(std::min(done, FSQL.size())));
    return out;
  }
  const TParserClass lexer = GetParserClass();
  if (FCachedLexer != lexer) FCachedSQL.clear();
  if (FCachedSQL.empty()) {
    FCachedLexer = lexer;
    std::unique_ptr<TParser> parser = lexer(FSQL);
    parser->SetOmitBlank(false);
    parser->SetOmitComment(true);
    parser->SetQuotedString(true);
    parser->SetDecSeparator(u'.');
    parser->ToBegin();
    size_t done = 0;
    while (parser->ToLexem(u"?")) {
      const auto pos = static_cast<size_t>(parser->LexemPos());
      FCachedSQL.push_back(FSQL.substr(done, pos - done));
      done = pos + 1;
    }
    FCachedSQL.push_back(FSQL.substr(done));
  }
  int j = 0;
  for (size_t k = 0; k < FCachedSQL.size(); ++k) {
    out += piece(FCachedSQL[k]);
    if (k + 1 == FCachedSQL.size()) break;
    if (FParams.Items(j)->GetParamType() == pdResult) ++j;
    out += MySqlLiteral(*FParams.Items(j), o);
    ++j;
  }
  return out;
}

bool TMySQLCommand::GetExecuting() const {
  std::lock_guard<std::mutex> lock(FBreakExecCS);
  return FExecuting;
}

void TMySQLCommand::Execute(int) {
  if (FCursorState != csInactive && FCursorState != csPrepared) return;
  TMySQLConnection& c = Connection();
  FCanReadParams = false;
  FIsSelectParams = false;
  const TCursorState oldState = FCursorState;
  TMySQLAPI* api = c.GetMySQLAPI();
  PMYSQL my = c.GetMySQL();
  api->SetTimeout(my, FCommandTimeout);
  // An error callback may free the connection (back to its pool).
  const std::shared_ptr<const bool> alive = c.AliveToken();
  my->FSkipPacket = FStoredProc;
  {
    std::lock_guard<std::mutex> lock(FBreakExecCS);
    FExecuting = true;
    FWaitForBreak = false;
  }
  FCursorState = csExecuting;
  try {
    if (FPrepared) {
      ExecutePrepared();
    } else if (!FOpenNext) {
      ExecuteText();
      TakeResults();
    }
    if (!FSQLResult) FCursorState = csInactive;
    {
      std::lock_guard<std::mutex> lock(FBreakExecCS);
      FExecuting = false;
    }
    if (FAfterExecute) FAfterExecute(true);
  } catch (...) {
    if (*alive) my->FSkipPacket = false;
    if (!FSQLResult) FCursorState = csInactive;
    bool cancelled;
    {
      std::lock_guard<std::mutex> lock(FBreakExecCS);
      FExecuting = false;
      cancelled = FWaitForBreak;
    }
    if (FCursorState != csInactive) FCursorState = oldState;
    if (FAfterExecute) FAfterExecute(false);
    if (cancelled && *alive) Abort();
    throw;
  }
}

namespace {

// Whether two texts hold the same units (one block compare: long texts, such
// as batches of statements, are compared often).
bool SameUnits(UStringView a, UStringView b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0;
}

}  // namespace

void TMySQLCommand::SetCharsetEffect(const TMyCharsetEffect& effect) {
  // A text scanned again for another lexer, or changed by the scan, is
  // judged by the command itself.
  ScanForSession();
  if (!SameUnits(FSQL, FUserSQL)) return;
  FEffect = effect;
  FEffectSQL = FSQL;
  FEffectLexer = GetParserClass();
}

void TMySQLCommand::ExecuteText() {
  TMySQLConnection& c = Connection();
  TMySQLAPI* api = c.GetMySQLAPI();
  PMYSQL my = c.GetMySQL();
  // A statement run since the scan may have switched the session's mode.
  ScanForSession();
  // Literals are rendered for the character set the session reads in now:
  // a statement that changes it must not carry any, and without the
  // server's reports of the change it is refused altogether.
  // Kept with the text it was found in: a text sent again (generated
  // statements of one shape, batches of them) is not lexed again.
  const TParserClass lexer = GetParserClass();
  if (FEffectLexer != lexer || !SameUnits(FEffectSQL, FSQL)) {
    FEffectLexer = nullptr;
    FEffect = CharsetEffectOf(FSQL, lexer);
    FEffectSQL = FSQL;
    FEffectLexer = lexer;
  }
  const TMyCharsetEffect effect = FEffect;
  const bool literals = FParams.Count() > 0 && FSQL.find(u'?') != UString::npos;
  if (effect.ExecutableComment && literals)
    RaiseDatabaseError(u"A statement with an executable comment (/*! ... */) cannot take parameters");
  if (effect.ChangesCharset) {
    if (literals) RaiseDatabaseError(u"A statement that changes the character set cannot take parameters");
    if (!c.CharsetTracked())
      RaiseDatabaseError(
          u"The server does not report the session's character set: a statement that changes it "
          u"is refused");
  }
  if (effect.TouchesTracking) c.LoseCharsetTracking();
  const TMyLiteralOptions o = LiteralOptions();
  const std::string q = BuildSQL(o);
  if (FOnExecute)
    FOnExecute(o.UseUnicode ? Utf8ToUtf16Lenient(q) : AnsiToUtf16(q, MultiByteCharsetCodePage(o.Charset)));
  FCompletedStatements = 0;
  c.Check(api->mysql_real_query(my, q.data(), q.size()), FComponent);
  FCompletedStatements = 1;
  FRowsAffectedPrev = FRowsAffected;
  FRowsAffected = api->mysql_affected_rows(my);
  FRowsAffectedTotal = std::max<int64_t>(FRowsAffected, 0);
  FLastInsertId = api->mysql_insert_id(my);
  FCursorState = api->mysql_field_count(my) != 0 ? csExecuted : csInactive;
}

void TMySQLCommand::TakeResults() {
  TMySQLConnection& c = Connection();
  TMySQLAPI* api = c.GetMySQLAPI();
  PMYSQL my = c.GetMySQL();
  if (!FRequestResultset) {
    if (PMYSQL_RES r = api->mysql_use_result(my)) api->mysql_free_result(r);
    c.Check(FComponent);
    my->FSkipPacket = false;
    DiscardResults();
    return;
  }
  VIX_VIO_ASSERT(FSQLResult == nullptr);
  FSQLResult = api->mysql_use_result(my);
  c.Check(FComponent);
  if (FSQLResult || !HasMoreResults()) return;
  // Results without columns before the first one with columns are skipped;
  // the count of the first statement stays.
  int64_t count = FRowsAffected;
  try {
    FSQLResult = NextResultWithColumns(count, &FRowsAffectedPrev);
  } catch (...) {
    FCursorState = csInactive;
    throw;
  }
  FCursorState = FSQLResult ? csExecuted : csInactive;
}

// --- the cursor ---

void TMySQLCommand::RearmIfFetched() {
  if (FCursorState == csFetched && !FSQLResult) FCursorState = FPrepared ? csPrepared : csInactive;
}

bool TMySQLCommand::BeginFetch() {
  if (FCursorState < csExecuted || FCursorState == csFetched || !FSQLResult) return false;
  if (FCursorState == csExecuted) FCursorState = csFetching;
  return true;
}

PMYSQL_ROW TMySQLCommand::FetchRow() {
  TMySQLConnection& c = Connection();
  TMySQLAPI* api = c.GetMySQLAPI();
  PMYSQL_ROW row = nullptr;
  if (FPrepared) {
    const int rc = api->_mysql_stmt_fetch(Fstmt, row);
    if (rc != 0 && rc != MYSQL_NO_DATA)
      c.RaiseError(api->mysql_stmt_errno(Fstmt), api->mysql_stmt_error(Fstmt), FComponent);
    return rc == MYSQL_NO_DATA ? nullptr : row;
  }
  row = api->_mysql_fetch_row(FSQLResult);
  if (!row) c.Check(FComponent);
  return row;
}

bool TMySQLCommand::HasMoreResults() const {
  if (FPrepared || !FMyConnection || !FMyConnection->GetMySQL() || !FMyConnection->IsClient41()) return false;
  return FMyConnection->GetMySQLAPI()->mysql_more_results(FMyConnection->GetMySQL());
}

bool TMySQLCommand::CloseResult() {
  if (!FSQLResult) return HasMoreResults();
  if (!FMyConnection || !FMyConnection->GetMySQL()) {
    // The session went away under the result (a lost connection closed it):
    // the result is only freed, nothing is read.
    if (FMyConnection && !FPrepared) FMyConnection->GetMySQLAPI()->mysql_free_result(FSQLResult);
    FSQLResult = nullptr;
    return false;
  }
  TMySQLAPI* api = FMyConnection->GetMySQLAPI();
  if (FPrepared) api->mysql_stmt_free_result(Fstmt);
  else api->mysql_free_result(FSQLResult);
  FSQLResult = nullptr;
  return HasMoreResults();
}

PMYSQL_RES TMySQLCommand::NextResultWithColumns(int64_t& rowsAffected, int64_t* previousRowsAffected) {
  TMySQLConnection& c = Connection();
  TMySQLAPI* api = c.GetMySQLAPI();
  PMYSQL my = c.GetMySQL();
  while (HasMoreResults()) {
    const int rc = api->mysql_next_result(my);
    if (rc < 0) break;
    if (rc > 0) c.MySQLError(FComponent);
    ++FCompletedStatements;
    if (previousRowsAffected) *previousRowsAffected = rowsAffected;
    rowsAffected = api->mysql_affected_rows(my);
    if (rowsAffected > 0) FRowsAffectedTotal += rowsAffected;
    // The id of the last statement that made one.
    if (const int64_t id = api->mysql_insert_id(my)) FLastInsertId = id;
    if (api->mysql_field_count(my) == 0) continue;
    PMYSQL_RES r = api->mysql_use_result(my);
    try {
      c.Check(FComponent);
    } catch (...) {
      if (r) api->mysql_free_result(r);
      throw;
    }
    if (r) return r;
  }
  return nullptr;
}

void TMySQLCommand::OpenResult(PMYSQL_RES result, int64_t rowsAffected) {
  VIX_VIO_ASSERT(FSQLResult == nullptr);
  FSQLResult = result;
  FRowsAffectedPrev = FRowsAffected;
  FRowsAffected = rowsAffected;
  FCursorState = csExecuted;
}

void TMySQLCommand::DiscardResults() {
  TMySQLConnection& c = Connection();
  int64_t rowsAffected = 0;
  while (PMYSQL_RES r = NextResultWithColumns(rowsAffected)) {
    c.GetMySQLAPI()->mysql_free_result(r);
    c.Check(FComponent);
  }
}

void TMySQLCommand::EndCursor() {
  FSQLResult = nullptr;
  FCursorState = FPrepared ? csPrepared : csInactive;
}

void TMySQLCommand::OverrideText(const UString& sql) {
  if (!FTextOverridden) {
    FSavedSQL = FSQL;
    FSavedCachedSQL = FCachedSQL;
    FTextOverridden = true;
  }
  FSQL = sql;
  FCachedSQL.clear();
}

void TMySQLCommand::RestoreText() {
  if (!FTextOverridden) return;
  FSQL = std::move(FSavedSQL);
  FCachedSQL = std::move(FSavedCachedSQL);
  FSavedSQL.clear();
  FSavedCachedSQL.clear();
  FTextOverridden = false;
}

void TMySQLCommand::Prepare() {
  if (FPrepared) return;
  TMySQLConnection& c = Connection();
  if (!c.IsClient41()) RaiseDatabaseError(u"Prepare/UnPrepare is not supported by this MySQL client version");
  if (!c.IsServer41()) RaiseDatabaseError(u"Prepare/UnPrepare is not supported by this MySQL server version");
  TMySQLAPI* api = c.GetMySQLAPI();
  Fstmt = api->mysql_stmt_init(c.GetMySQL());
  c.Check(Fstmt, FComponent);
  try {
    api->SetTimeout(c.GetMySQL(), FCommandTimeout);
    const std::string q = TextToSession(FSQL, LiteralOptions());
    if (api->mysql_stmt_prepare(Fstmt, q.data(), q.size()) != 0)
      c.RaiseError(api->mysql_stmt_errno(Fstmt), api->mysql_stmt_error(Fstmt), FComponent);
  } catch (...) {
    api->mysql_stmt_close(Fstmt);
    Fstmt = nullptr;
    throw;
  }
  FPrepared = true;
  FCursorState = csPrepared;
}

void TMySQLCommand::ExecutePrepared() {
  TMySQLConnection& c = Connection();
  TMySQLAPI* api = c.GetMySQLAPI();
  const auto check = [&](int rc) {
    if (rc != 0) c.RaiseError(api->mysql_stmt_errno(Fstmt), api->mysql_stmt_error(Fstmt), FComponent);
  };
  check(api->_mysql_stmt_execute(Fstmt, FParams, c.GetUseUnicode()));
  FRowsAffectedPrev = FRowsAffected;
  FRowsAffected = api->mysql_stmt_affected_rows(Fstmt);
  FCursorState = api->mysql_stmt_field_count(Fstmt) != 0 ? csExecuted : csInactive;
  if (FCursorState == csExecuted && FRequestResultset) {
    check(api->_mysql_stmt_bind_result(Fstmt));
    FSQLResult = api->mysql_stmt_result_metadata(Fstmt);
    if (!FSQLResult) check(-1);
  } else {
    check(api->mysql_stmt_free_result(Fstmt));
  }
}

void TMySQLCommand::Unprepare() {
  if (!FPrepared) return;
  if (Fstmt && FMyConnection) FMyConnection->GetMySQLAPI()->mysql_stmt_close(Fstmt);
  Fstmt = nullptr;
  FSQLResult = nullptr;
  FCursorState = csInactive;
  FPrepared = false;
}

void TMySQLCommand::BreakExec() {
  std::lock_guard<std::mutex> lock(FBreakExecCS);
  if (!FExecuting || !FMyConnection) return;
  FWaitForBreak = true;
  std::unique_ptr<TMySQLConnection> killer = FMyConnection->CreateAdditionalConnection();
  try {
    killer->Connect(UString());
  } catch (...) {
    FWaitForBreak = false;
    throw;
  }
  const std::string q = "KILL " + std::to_string(FMyConnection->GetThreadId());
  killer->GetMySQLAPI()->mysql_real_query(killer->GetMySQL(), q.data(), q.size());
}

bool TMySQLCommand::SetProp(TPropId prop, const Variant& value) {
  switch (prop) {
    case prCommandTimeout: FCommandTimeout = value.AsInteger(); return true;
    case prStoredProc: FStoredProc = value.AsBoolean(); return true;
    case prCanReadParams: FCanReadParams = value.AsBoolean(); return true;
    case prParamPosition: FParamPositions.push_back(value.AsInteger()); return true;
    case prFillParamPosition:
      FFillParamPosition = value.AsBoolean();
      if (FFillParamPosition) FParamPositions.clear();
      return true;
    default: return TZelCommand::SetProp(prop, value);
  }
}

bool TMySQLCommand::GetProp(TPropId prop, Variant& value) {
  switch (prop) {
    case prRowsAffected: {
      const int64_t n = FIsSelectParams ? FRowsAffectedPrev : FRowsAffected;
      value = n < 0 ? int64_t{0} : n;
      return true;
    }
    case prExecuting: value = GetExecuting(); return true;
    case prCanReadParams: value = FCanReadParams; return true;
    case prIsSelectParams: value = FIsSelectParams; return true;
    case prLastInsertId: value = FLastInsertId; return true;
    default: return TZelCommand::GetProp(prop, value);
  }
}

}  // namespace vix
