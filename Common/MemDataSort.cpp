// The comparison of field values, the sort text, and the local order of the
// record storage.
#include "Common/MemDataSort.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numeric>
#include <tuple>

#include "Common/MemDS.h"
#include "Common/MemData.h"
#include "Common/MemFilter.h"
#include "rtl/CodePage.h"
#include "rtl/Currency.h"
#include "rtl/DateUtils.h"
#include "rtl/FMTBcd.h"
#include "rtl/FormatSettings.h"

namespace vix {

namespace {

const UString kIndexFormatError = u"Invalid IndexFieldNames format!";

int Sign(bool less, bool greater) {
  return less ? -1 : (greater ? 1 : 0);
}

// Doubles in a total order: NaN after every number.
int CompareDoubles(double a, double b) {
  const bool na = std::isnan(a), nb = std::isnan(b);
  if (na || nb) return Sign(!na && nb, na && !nb);
  return Sign(a<b, a> b);
}

// The text order over two sequences of UTF-16 units.
template <typename A, typename B>
int CompareUnits(const A& a, size_t na, const B& b, size_t nb, int flags) {
  const size_t n = std::min(na, nb);
  if (flags & cfBinary) {
    for (size_t i = 0; i < n; ++i) {
      const char16_t x = a(i), y = b(i);
      if (x != y) return x < y ? -1 : 1;
    }
    return Sign(na<nb, na> nb);
  }
  int tie = 0;
  for (size_t i = 0; i < n; ++i) {
    const char16_t x = a(i), y = b(i);
    if (x == y) continue;
    const char16_t ux = UpCaseChar(x), uy = UpCaseChar(y);
    if (ux != uy) return ux < uy ? -1 : 1;
    // The same letter in another case: lower case first.
    if (tie == 0) tie = x != ux ? -1 : 1;
  }
  if (na != nb) return na < nb ? -1 : 1;
  return (flags & cfCaseInsensitive) ? 0 : tie;
}

bool IsAscii(std::string_view s) {
  for (const char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

// 8-bit texts: bytes in binary mode, else read in the ANSI code page.
int CompareAnsiText(std::string_view a, std::string_view b, int flags) {
  if (flags & cfBinary) return CompareBytes(a, b);
  if (IsAscii(a) && IsAscii(b)) {
    return CompareUnits([&](size_t i) { return static_cast<char16_t>(a[i]); }, a.size(),
                        [&](size_t i) { return static_cast<char16_t>(b[i]); }, b.size(), flags);
  }
  const UString wa = AnsiToUtf16(a), wb = AnsiToUtf16(b);
  return CompareWideText(TWideText::Of(wa), TWideText::Of(wb), flags);
}

// GUID texts: case ignored unless binary.
int CompareGuidText(std::string_view a, std::string_view b, int flags) {
  if (flags & cfBinary) return CompareBytes(a, b);
  return CompareUnits([&](size_t i) { return static_cast<char16_t>(a[i]); }, a.size(),
                      [&](size_t i) { return static_cast<char16_t>(b[i]); }, b.size(), flags | cfCaseInsensitive);
}

bool IsIntegerVarType(TVarType t) {
  return (t >= varShortInt && t <= varUInt64);
}

bool IsNumberVariant(const Variant& v) {
  return v.IsNumeric() || v.VarType() == varBoolean || v.VarType() == varDate;
}

double NumberOf(const Variant& v) {
  if (v.VarType() == varBoolean) return v.AsBoolean() ? 1 : 0;
  return v.AsFloat();
}

template <typename T>
T LoadAt(const uint8_t* p) {
  return LoadSlot<T>(p);
}

// Length of a zero-terminated UTF-16 text of at most `max` units.
size_t WideLengthAt(const uint8_t* p, size_t max) {
  size_t n = 0;
  while (n < max && LoadAt<char16_t>(p + 2 * n) != 0) ++n;
  return n;
}

bool TrimsField(const TData& data, const TFieldDesc& f) {
  return f.FFixed ? data.FTrimFixedChar : data.FTrimVarChar;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= 32) s.remove_suffix(1);
  return s;
}

size_t TrimRight(TWideText t) {
  size_t n = t.N;
  while (n > 0 && t.At(n - 1) <= 32) --n;
  return n;
}

bool IsSortableType(TDataType t) {
  switch (t) {
    case mtObject:
    case mtReference:
    case mtArray:
    case mtTable:
    case mtCursor:
    case mtUnknown: return false;
    default: return t <= mtUInt64;
  }
}

[[noreturn]] void UnknownValueType(TDataType t) {
  throw Exception(u"Unknown ValueType = " + IntToStr(t));
}

}  // namespace

int SortTypeFlags(TSortType type) {
  switch (type) {
    case stCaseInsensitive: return cfCaseInsensitive;
    case stBinary: return cfBinary;
    default: return 0;
  }
}

TNumberKind NumberKindOf(TDataType type) {
  switch (type) {
    case mtInt8:
    case mtInt16:
    case mtInt32:
    case mtInt64:
    case mtBCD:
    case mtBoolean: return nkInt;
    case mtUInt16:
    case mtUInt32:
    case mtUInt64: return nkUInt;
    case mtFloat:
    case mtCurrency:
    case mtDate:
    case mtTime:
    case mtDateTime: return nkFloat;
    default: return nkNone;
  }
}

TNumber LoadNumber(TDataType type, const uint8_t* slot) {
  TNumber n;
  switch (type) {
    case mtInt8: n.I = LoadAt<int8_t>(slot); break;
    case mtInt16: n.I = LoadAt<int16_t>(slot); break;
    case mtInt32: n.I = LoadAt<int32_t>(slot); break;
    case mtInt64:
    case mtBCD: n.I = LoadAt<int64_t>(slot); break;
    case mtBoolean: n.I = LoadAt<int16_t>(slot) != 0; break;
    case mtUInt16: n.U = LoadAt<uint16_t>(slot); break;
    case mtUInt32: n.U = LoadAt<uint32_t>(slot); break;
    case mtUInt64: n.U = LoadAt<uint64_t>(slot); break;
    default: n.F = LoadAt<double>(slot); break;
  }
  return n;
}

int CompareNumbers(TNumberKind kind, TNumber a, TNumber b) {
  switch (kind) {
    case nkInt: return Sign(a.I<b.I, a.I> b.I);
    case nkUInt: return Sign(a.U<b.U, a.U> b.U);
    default: return CompareDoubles(a.F, b.F);
  }
}

int CompareWideText(TWideText a, TWideText b, int flags) {
  return CompareUnits([&](size_t i) { return a.At(i); }, a.N, [&](size_t i) { return b.At(i); }, b.N, flags);
}

int CompareBytes(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  if (n != 0) {
    const int c = std::memcmp(a.data(), b.data(), n);
    if (c != 0) return c < 0 ? -1 : 1;
  }
  return Sign(a.size() < b.size(), a.size() > b.size());
}

int CompareVariants(const Variant& a, const Variant& b, int flags) {
  const bool na = a.IsEmptyOrNull(), nb = b.IsEmptyOrNull();
  if (na || nb) return Sign(na && !nb, !na && nb);
  const TVarType ta = a.VarType(), tb = b.VarType();
  if (IsIntegerVarType(ta) && IsIntegerVarType(tb) && ta != varUInt64 && tb != varUInt64)
    return Sign(a.AsInt64() < b.AsInt64(), a.AsInt64() > b.AsInt64());
  if (IsNumberVariant(a) && IsNumberVariant(b)) return CompareDoubles(NumberOf(a), NumberOf(b));
  if (a.IsText() && b.IsText()) {
    const UString x = a.AsString(), y = b.AsString();
    return CompareWideText(TWideText::Of(x), TWideText::Of(y), flags);
  }
  if ((a.IsText() && IsNumberVariant(b)) || (IsNumberVariant(a) && b.IsText())) {
    double number;
    const UString text = a.IsText() ? a.AsString() : b.AsString();
    if (TryStrToFloat(text, number)) {
      const int c = CompareDoubles(a.IsText() ? number : NumberOf(a), a.IsText() ? NumberOf(b) : number);
      return c;
    }
    const UString x = a.AsString(), y = b.AsString();
    return CompareWideText(TWideText::Of(x), TWideText::Of(y), flags);
  }
  if (ta == varBytes && tb == varBytes) return CompareBytes(a.AsBytes(), b.AsBytes());
  if (ta == varFMTBcd && tb == varFMTBcd) return BcdCompare(a.AsBcd(), b.AsBcd());
  if (ta == tb && ta == varSQLTimeStamp) {
    const TSQLTimeStamp x = a.AsSQLTimeStamp(), y = b.AsSQLTimeStamp();
    const auto key = [](const TSQLTimeStamp& t) {
      return std::tuple(t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second, t.Fractions);
    };
    return Sign(key(x) < key(y), key(y) < key(x));
  }
  return Sign(ta<tb, ta> tb);
}

UString TFieldValue::AsText(TDataType type) const {
  if (Null) return UString();
  switch (type) {
    case mtString:
    case mtExtString:
    case mtGuid:
    case mtMemo:
    case mtBlob:
    case mtBytes:
    case mtVarBytes:
    case mtExtVarBytes: return AnsiToUtf16(Bytes);
    case mtWideString:
    case mtExtWideString:
    case mtWideMemo: {
      UString text(Wide.N, u'\0');
      if (Wide.N) std::memcpy(text.data(), Wide.P, 2 * Wide.N);
      return text;
    }
    case mtInt8: return IntToStr(LoadAt<int8_t>(Fixed));
    case mtInt16: return IntToStr(LoadAt<int16_t>(Fixed));
    case mtInt32: return IntToStr(LoadAt<int32_t>(Fixed));
    case mtInt64: return IntToStr(LoadAt<int64_t>(Fixed));
    case mtUInt16: return UIntToStr(LoadAt<uint16_t>(Fixed));
    case mtUInt32: return UIntToStr(LoadAt<uint32_t>(Fixed));
    case mtUInt64: return UIntToStr(LoadAt<uint64_t>(Fixed));
    case mtFloat:
    case mtCurrency: return FloatToStr(LoadAt<double>(Fixed));
    case mtDate: return DateToStr(LoadAt<double>(Fixed));
    case mtTime: return TimeToStr(LoadAt<double>(Fixed));
    case mtDateTime: return DateTimeToStr(LoadAt<double>(Fixed));
    case mtBoolean: return LoadAt<int16_t>(Fixed) != 0 ? u"True" : u"False";
    case mtBCD: return CurrToStr(Currency::FromRaw(LoadAt<int64_t>(Fixed)));
    case mtFMTBCD: return BcdToStr(LoadAt<TBcd>(Fixed));
    case mtSQLTimeStamp: return Variant(LoadAt<TSQLTimeStamp>(Fixed)).AsString();
    case mtVariant: return Var ? Var->AsString() : UString();
    default: throw EConvertError(u"Cannot convert type " + IntToStr(type));
  }
}

// --- reading and comparing values ------------------------------------------------

void TData::ReadFieldValue(const TFieldDesc& f, const uint8_t* recBuf, TFieldValue& value) const {
  value.Bytes = {};
  value.Wide = {};
  value.Var = nullptr;
  value.Null = recBuf[FDataSize + f.FFieldNo - 1] == 1;
  if (value.Null) return;
  const uint8_t* slot = recBuf + f.FOffset;
  switch (f.FDataType) {
    case mtString:
    case mtGuid: {
      const auto max = static_cast<size_t>(std::max(f.FSize - 1, 0));
      const auto* text = reinterpret_cast<const char*>(slot);
      std::string_view s(text, strnlen(text, max));
      value.Bytes = f.FDataType == mtString && TrimsField(*this, f) ? TrimRight(s) : s;
      return;
    }
    case mtExtString: {
      const char* p = LoadAt<const char*>(slot);
      value.Bytes = p ? std::string_view(p) : std::string_view();
      return;
    }
    case mtWideString: {
      TWideText t{slot, WideLengthAt(slot, static_cast<size_t>(std::max(f.FSize - 2, 0)) / 2)};
      if (TrimsField(*this, f)) t.N = TrimRight(t);
      value.Wide = t;
      return;
    }
    case mtExtWideString: {
      const uint8_t* p = LoadAt<const uint8_t*>(slot);
      value.Wide = p ? TWideText{p, WideLengthAt(p, SIZE_MAX / 2)} : TWideText{};
      return;
    }
    case mtBytes:
      value.Bytes = std::string_view(reinterpret_cast<const char*>(slot), static_cast<size_t>(f.FSize));
      return;
    case mtVarBytes: {
      const size_t n = std::min<size_t>(LoadAt<uint16_t>(slot), static_cast<size_t>(std::max(f.FSize - 2, 0)));
      value.Bytes = std::string_view(reinterpret_cast<const char*>(slot) + 2, n);
      return;
    }
    case mtExtVarBytes: {
      const uint8_t* p = LoadAt<const uint8_t*>(slot);
      value.Bytes =
          p ? std::string_view(reinterpret_cast<const char*>(p) + 2, LoadAt<uint16_t>(p)) : std::string_view();
      return;
    }
    case mtBlob:
    case mtMemo:
    case mtWideMemo: {
      // The whole contents, zero bytes included.
      TBlob* blob = LoadAt<TBlob*>(slot);
      if (f.FDataType == mtWideMemo) value.SetOwnWide(blob ? blob->AsString() : UString());
      else value.SetOwnBytes(blob ? blob->AsBytes() : std::string());
      return;
    }
    case mtVariant: {
      auto* holder = LoadAt<TVariantObject*>(slot);
      value.Var = holder ? &holder->Value : nullptr;
      if (!holder) value.Null = true;
      return;
    }
    default: {
      const size_t n = std::min<size_t>(static_cast<size_t>(std::max(f.FSize, 0)), sizeof value.Fixed);
      std::memcpy(value.Fixed, slot, n);
      return;
    }
  }
}

void TData::MakeFieldValue(const TFieldDesc& f, const Variant& constant, TFieldValue& value) const {
  value.Bytes = {};
  value.Wide = {};
  value.Var = nullptr;
  value.Null = constant.IsEmptyOrNull();
  if (value.Null) return;
  try {
    switch (f.FDataType) {
      case mtString:
      case mtExtString:
      case mtGuid:
      case mtMemo: {
        value.SetOwnBytes(constant.AsAnsiString());
        if (f.FDataType == mtString && TrimsField(*this, f)) value.Bytes = TrimRight(value.Bytes);
        return;
      }
      case mtWideString:
      case mtExtWideString:
      case mtWideMemo: {
        value.SetOwnWide(constant.AsString());
        if (f.FDataType == mtWideString && TrimsField(*this, f)) value.Wide.N = TrimRight(value.Wide);
        return;
      }
      case mtBytes:
      case mtVarBytes:
      case mtExtVarBytes:
      case mtBlob: value.SetOwnBytes(constant.AsBytes()); return;
      case mtVariant:
        value.OwnVar = constant;
        value.Var = &value.OwnVar;
        return;
      default: {
        if (!IsSortableType(f.FDataType) || IsComplexDataType(f.FDataType)) UnknownValueType(f.FDataType);
        // The storage's own conversion, into a scratch record.
        std::vector<uint8_t> scratch(static_cast<size_t>(FRecordSize + FCalcRecordSize));
        InitRecord(scratch.data());
        const_cast<TData*>(this)->PutFieldAsVariant(f.FFieldNo, scratch.data(), constant);
        ReadFieldValue(f, scratch.data(), value);
        return;
      }
    }
  } catch (const EConvertError&) {
    throw EConvertError(u"'" + constant.AsString() + u"' is not a valid value for field '" + f.FName + u"'");
  }
}

int TData::CompareFieldValue(const TFieldDesc& f, const TFieldValue& a, const TFieldValue& b, int flags) const {
  if (a.Null || b.Null) return Sign(a.Null && !b.Null, !a.Null && b.Null);
  const uint8_t* x = a.Fixed;
  const uint8_t* y = b.Fixed;
  switch (f.FDataType) {
    case mtString:
    case mtExtString:
    case mtMemo: return CompareAnsiText(a.Bytes, b.Bytes, flags);
    case mtGuid: return CompareGuidText(a.Bytes, b.Bytes, flags);
    case mtWideString:
    case mtExtWideString:
    case mtWideMemo: return CompareWideText(a.Wide, b.Wide, flags);
    case mtBytes:
    case mtVarBytes:
    case mtExtVarBytes:
    case mtBlob: return CompareBytes(a.Bytes, b.Bytes);
    case mtInt8: return Sign(LoadAt<int8_t>(x) < LoadAt<int8_t>(y), LoadAt<int8_t>(x) > LoadAt<int8_t>(y));
    case mtInt16: return Sign(LoadAt<int16_t>(x) < LoadAt<int16_t>(y), LoadAt<int16_t>(x) > LoadAt<int16_t>(y));
    case mtInt32: return Sign(LoadAt<int32_t>(x) < LoadAt<int32_t>(y), LoadAt<int32_t>(x) > LoadAt<int32_t>(y));
    case mtInt64:
    case mtBCD: return Sign(LoadAt<int64_t>(x) < LoadAt<int64_t>(y), LoadAt<int64_t>(x) > LoadAt<int64_t>(y));
    case mtUInt16: return Sign(LoadAt<uint16_t>(x) < LoadAt<uint16_t>(y), LoadAt<uint16_t>(x) > LoadAt<uint16_t>(y));
    case mtUInt32: return Sign(LoadAt<uint32_t>(x) < LoadAt<uint32_t>(y), LoadAt<uint32_t>(x) > LoadAt<uint32_t>(y));
    case mtUInt64: return Sign(LoadAt<uint64_t>(x) < LoadAt<uint64_t>(y), LoadAt<uint64_t>(x) > LoadAt<uint64_t>(y));
    case mtBoolean: {
      const bool p = LoadAt<int16_t>(x) != 0, q = LoadAt<int16_t>(y) != 0;
      return Sign(!p && q, p && !q);
    }
    case mtFloat:
    case mtCurrency:
    case mtDate:
    case mtTime:
    case mtDateTime: return CompareDoubles(LoadAt<double>(x), LoadAt<double>(y));
    case mtFMTBCD: return BcdCompare(LoadAt<TBcd>(x), LoadAt<TBcd>(y));
    case mtSQLTimeStamp:
      return CompareVariants(Variant(LoadAt<TSQLTimeStamp>(x)), Variant(LoadAt<TSQLTimeStamp>(y)), 0);
    case mtVariant: return CompareVariants(*a.Var, *b.Var, flags);
    default: UnknownValueType(f.FDataType);
  }
}

// --- the sort text -----------------------------------------------------------------

void TMemData::ParseIndexFieldNames(const UString& text, TSortColumns& columns) const {
  columns.clear();
  if (Trim(text).empty()) return;
  TBoolParser parser(text, kIndexFormatError);
  UString lexem;
  int code = parser.GetNext(lexem);
  while (code != lkEnd) {
    if (code == lkSymbol && (lexem == u";" || lexem == u",")) {
      code = parser.GetNext(lexem);
      continue;
    }
    UString name;
    if (code == lkIdent || code == lkString) name = lexem;
    else if (code == bsLeftBracket) name = parser.ReadBracketed();
    else throw EDatabaseError(kIndexFormatError);
    TFieldDesc* desc = FFields.FindField(name);
    if (!desc) throw EDatabaseError(Format(u"Field %s not found", {name}));
    if (!IsSortableType(desc->FDataType)) UnknownValueType(desc->FDataType);
    TSortColumn column{desc, false, DefaultSortType()};
    bool direction = false, sortType = false;
    for (code = parser.GetNext(lexem); code != lkEnd; code = parser.GetNext(lexem)) {
      if (code == lkSymbol && (lexem == u";" || lexem == u",")) break;
      if (code != lkIdent) throw EDatabaseError(kIndexFormatError);
      const UString word = UpperCase(lexem);
      bool* seen;
      if (word == u"DESC" || word == u"ASC") {
        seen = &direction;
        column.DescendingOrder = word == u"DESC";
      } else if (word == u"CIS" || word == u"CS" || word == u"BIN") {
        seen = &sortType;
        column.SortType = word == u"CIS" ? stCaseInsensitive : (word == u"CS" ? stCaseSensitive : stBinary);
      } else {
        throw EDatabaseError(kIndexFormatError);
      }
      if (*seen) throw EDatabaseError(kIndexFormatError);
      *seen = true;
    }
    columns.push_back(column);
  }
}

void TMemData::SetIndexFieldNames(const UString& value) {
  if (FFields.Count() == 0) {
    FIndexFieldNames = value;
    return;
  }
  TSortColumns columns;
  ParseIndexFieldNames(value, columns);
  if (FActive && !columns.empty()) {
    std::swap(FIndexFields, columns);
    try {
      SortItems();
    } catch (...) {
      std::swap(FIndexFields, columns);
      throw;
    }
  } else {
    FIndexFields = std::move(columns);
  }
  FIndexFieldNames = value;
}

void TMemData::ParseIndexAndFilter() {
  ParseIndexFieldNames(FIndexFieldNames, FIndexFields);
  FFilterExpression.reset();
  if (!Trim(FFilterText).empty()) FFilterExpression = std::make_unique<TFilterExpression>(*this, FFilterText);
}

// --- sorting -------------------------------------------------------------------------

namespace {

// One column's keys, read once before the sort.
enum TKeyKind : uint8_t { kkNumber, kkWide, kkBytes, kkGeneral };

struct TSortKey {
  union {
    TNumber Number;
    size_t Offset;  // into the column's arena, until the arena is complete
  };
  const uint8_t* P;
  uint32_t Len;
  bool Null;
};

struct TColumnKeys {
  TKeyKind Kind = kkGeneral;
  TNumberKind Number = nkNone;  // for kkNumber
  int Flags = 0;                // for kkWide
  bool Descending = false;
  const TFieldDesc* Field = nullptr;
  bool WideInPlace = false;   // Keys point into the records
  bool BytesInPlace = false;  // likewise
  bool Kept = true;           // Keys are filled (not for a first column that its key decides)
  std::vector<TSortKey> Keys;
  std::u16string WideArena;
  std::string ByteArena;
};

// A record's place in the sort: the first column's order in one unsigned
// 64-bit key (numbers whole, texts by their first units), so that most
// comparisons read only the array being sorted.
struct TPrimary {
  uint64_t Key;
  uint32_t Index;
};

uint64_t IntKey(int64_t i) {
  return static_cast<uint64_t>(i) ^ (uint64_t{1} << 63);
}

// Doubles: negative ones reversed, NaN after every number, -0 as 0.
uint64_t FloatKey(double f) {
  if (std::isnan(f)) return ~uint64_t{0};
  if (f == 0) f = 0.0;
  uint64_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  return (bits >> 63) ? ~bits : bits | (uint64_t{1} << 63);
}

// The first four units; `fold`: upper-cased, as the case-sensitive text
// order ranks letters before their case.
uint64_t WideKey(TWideText text, bool fold) {
  uint64_t key = 0;
  for (size_t u = 0; u < 4; ++u) {
    char16_t c = u < text.N ? text.At(u) : 0;
    if (fold) c = UpCaseChar(c);
    key = (key << 16) | c;
  }
  return key;
}

uint64_t BytesKey(std::string_view bytes) {
  uint64_t key = 0;
  for (size_t b = 0; b < 8; ++b) key = (key << 8) | (b < bytes.size() ? static_cast<uint8_t>(bytes[b]) : 0);
  return key;
}

// A stable sort by Key: one pass per byte from the least significant one,
// skipping the bytes that are the same in every key.
void RadixSort(std::vector<TPrimary>& a) {
  const size_t n = a.size();
  if (n < 2) return;
  std::vector<std::array<uint32_t, 256>> counts(8);
  for (const TPrimary& p : a)
    for (size_t b = 0; b < 8; ++b) ++counts[b][(p.Key >> (8 * b)) & 0xFF];
  std::vector<TPrimary> buffer;
  TPrimary* from = a.data();
  TPrimary* to = nullptr;
  for (size_t b = 0; b < 8; ++b) {
    std::array<uint32_t, 256>& count = counts[b];
    if (count[(from[0].Key >> (8 * b)) & 0xFF] == n) continue;
    if (buffer.empty()) {
      buffer.resize(n);
      to = buffer.data();
    }
    uint32_t start = 0;
    for (uint32_t& c : count) {
      const uint32_t k = c;
      c = start;
      start += k;
    }
    for (size_t i = 0; i < n; ++i) to[count[(from[i].Key >> (8 * b)) & 0xFF]++] = from[i];
    std::swap(from, to);
  }
  if (from != a.data()) std::copy(from, from + n, a.data());
}

}  // namespace

void TMemData::SortItems() {
  if (FIndexFields.empty() || !FirstItem) return;
  // The items in list order; the kept order is taken over (and is invalid
  // until the sort completes).
  std::vector<TItemHeader*> items;
  if (FItemOrderValid) {
    FItemOrderValid = false;
    items.swap(FItemOrder);
  } else {
    for (TItemHeader* i = FirstItem; i; i = i->Next) items.push_back(i);
  }
  const size_t n = items.size();
  if (n > UINT32_MAX) throw Exception(u"Too many records to sort");

  std::vector<TColumnKeys> columns(FIndexFields.size());
  for (size_t c = 0; c < FIndexFields.size(); ++c) {
    const TSortColumn& sc = FIndexFields[c];
    const TFieldDesc& f = *sc.FieldDesc;
    TColumnKeys& col = columns[c];
    col.Field = &f;
    col.Descending = sc.DescendingOrder;
    const int flags = SortTypeFlags(sc.SortType);
    col.Flags = flags;
    switch (f.FDataType) {
      case mtWideString:
      case mtExtWideString:
      case mtWideMemo:
      case mtString:
      case mtExtString:
      case mtMemo:
        // Binary 8-bit texts compare as bytes; every other text as UTF-16,
        // case-insensitive ones upper-cased once here.
        col.Kind = IsTextDataType(f.FDataType) && (flags & cfBinary) &&
                           (f.FDataType == mtString || f.FDataType == mtExtString || f.FDataType == mtMemo)
                       ? kkBytes
                       : kkWide;
        col.Flags = flags == cfCaseInsensitive ? cfBinary : flags;
        break;
      case mtBytes:
      case mtVarBytes:
      case mtExtVarBytes:
      case mtBlob: col.Kind = kkBytes; break;
      default: col.Kind = kkGeneral; break;
    }
    col.Number = NumberKindOf(f.FDataType);
    if (col.Number != nkNone) col.Kind = kkNumber;
    col.WideInPlace = (f.FDataType == mtWideString || f.FDataType == mtExtWideString) && flags != cfCaseInsensitive;
    col.BytesInPlace = col.Kind == kkBytes && f.FDataType != mtBlob && f.FDataType != mtMemo;
  }
  TColumnKeys& head = columns.front();
  // A number decides the first column by its key alone: its own keys are
  // not needed.
  const bool headDecides = head.Kind == kkNumber;
  for (size_t c = 0; c < columns.size(); ++c) {
    TColumnKeys& col = columns[c];
    col.Kept = col.Kind != kkGeneral && !(c == 0 && headDecides);
    if (col.Kept) col.Keys.resize(n);
  }

  // One walk over the records reads every column's key; the first column's
  // goes into `order` (or `nulls`) as well.
  std::vector<TPrimary> order, nulls;
  order.reserve(n);
  TFieldValue value;
  TSortKey scratch;
  constexpr size_t kAhead = 16;
  for (size_t i = 0; i < n; ++i) {
    if (i + kAhead < n) {
      const uint8_t* ahead = TBlockManager::GetRecordPtr(items[i + kAhead]);
      for (const TColumnKeys& col : columns) {
        __builtin_prefetch(ahead + col.Field->FOffset);
        __builtin_prefetch(ahead + FDataSize + col.Field->FFieldNo - 1);
      }
    }
    const uint8_t* rec = TBlockManager::GetRecordPtr(items[i]);
    for (size_t c = 0; c < columns.size(); ++c) {
      TColumnKeys& col = columns[c];
      const TFieldDesc& f = *col.Field;
      uint64_t primary = 0;
      if (col.Kind == kkGeneral) {
        if (c == 0) order.push_back({0, static_cast<uint32_t>(i)});
        continue;
      }
      TSortKey& key = col.Kept ? col.Keys[i] : scratch;
      key.Null = rec[FDataSize + f.FFieldNo - 1] == 1;
      key.P = nullptr;
      key.Len = 0;
      key.Number.I = 0;
      if (key.Null) {
        if (c == 0) nulls.push_back({0, static_cast<uint32_t>(i)});
        continue;
      }
      if (col.Kind == kkNumber) {
        key.Number = LoadNumber(f.FDataType, rec + f.FOffset);
      } else {
        ReadFieldValue(f, rec, value);
        const bool fold = !(col.Flags & cfBinary);
        if (col.WideInPlace) {
          key.P = value.Wide.P;
          key.Len = static_cast<uint32_t>(value.Wide.N);
          if (c == 0) primary = WideKey(value.Wide, fold);
        } else if (col.BytesInPlace) {
          key.P = reinterpret_cast<const uint8_t*>(value.Bytes.data());
          key.Len = static_cast<uint32_t>(value.Bytes.size());
          if (c == 0) primary = BytesKey(value.Bytes);
        } else if (col.Kind == kkBytes) {
          key.Offset = col.ByteArena.size();
          key.Len = static_cast<uint32_t>(value.Bytes.size());
          col.ByteArena.append(value.Bytes);
          if (c == 0) primary = BytesKey(value.Bytes);
        } else {
          const bool upper = SortTypeFlags(FIndexFields[c].SortType) == cfCaseInsensitive;
          std::u16string& arena = col.WideArena;
          key.Offset = arena.size();
          if (f.FDataType == mtWideString || f.FDataType == mtExtWideString) {
            // Straight from the record.
            for (size_t u = 0; u < value.Wide.N; ++u) {
              const char16_t ch = value.Wide.At(u);
              arena.push_back(upper ? UpCaseChar(ch) : ch);
            }
          } else {
            UString text = value.AsText(f.FDataType);
            if (upper)
              for (char16_t& ch : text) ch = UpCaseChar(ch);
            arena.append(text);
          }
          key.Len = static_cast<uint32_t>(arena.size() - key.Offset);
          if (c == 0) primary = WideKey(TWideText::Of(std::u16string_view(arena).substr(key.Offset)), fold);
        }
      }
      if (c != 0) continue;
      if (col.Kind == kkNumber) {
        switch (col.Number) {
          case nkInt: primary = IntKey(key.Number.I); break;
          case nkUInt: primary = key.Number.U; break;
          default: primary = FloatKey(key.Number.F); break;
        }
      }
      order.push_back({col.Descending ? ~primary : primary, static_cast<uint32_t>(i)});
    }
  }
  for (TColumnKeys& col : columns) {
    if (!col.Kept || col.WideInPlace || col.BytesInPlace || (col.Kind != kkWide && col.Kind != kkBytes)) continue;
    const auto* base = col.Kind == kkWide ? reinterpret_cast<const uint8_t*>(col.WideArena.data())
                                          : reinterpret_cast<const uint8_t*>(col.ByteArena.data());
    const size_t unit = col.Kind == kkWide ? 2 : 1;
    for (TSortKey& key : col.Keys)
      if (!key.Null) key.P = base + key.Offset * unit;
  }
  for (size_t c = 0; c < columns.size(); ++c)
    if (columns[c].Kind == kkGeneral) columns[c].Flags = SortTypeFlags(FIndexFields[c].SortType);

  // Compares the values of column `col` of records i and j.
  TFieldValue va, vb;
  const auto compareColumn = [&](const TColumnKeys& col, uint32_t i, uint32_t j) -> int {
    if (col.Kind == kkGeneral) {
      ReadFieldValue(*col.Field, TBlockManager::GetRecordPtr(items[i]), va);
      ReadFieldValue(*col.Field, TBlockManager::GetRecordPtr(items[j]), vb);
      return CompareFieldValue(*col.Field, va, vb, col.Flags);
    }
    const TSortKey& x = col.Keys[i];
    const TSortKey& y = col.Keys[j];
    if (x.Null || y.Null) return Sign(x.Null && !y.Null, !x.Null && y.Null);
    switch (col.Kind) {
      case kkNumber: return CompareNumbers(col.Number, x.Number, y.Number);
      case kkWide: return CompareWideText({x.P, x.Len}, {y.P, y.Len}, col.Flags);
      default:
        return CompareBytes(std::string_view(reinterpret_cast<const char*>(x.P), x.Len),
                            std::string_view(reinterpret_cast<const char*>(y.P), y.Len));
    }
  };

  // The keys order the records (stably); records with the same key (NULLs
  // among themselves too) are ordered by the full comparison, stably.
  RadixSort(order);
  const size_t firstFull = headDecides ? 1 : 0;
  const auto orderRuns = [&](std::vector<TPrimary>& part) {
    if (firstFull >= columns.size()) return;
    for (size_t start = 0; start < part.size();) {
      size_t end = start + 1;
      while (end < part.size() && part[end].Key == part[start].Key) ++end;
      if (end - start > 1)
        std::stable_sort(part.begin() + static_cast<ptrdiff_t>(start), part.begin() + static_cast<ptrdiff_t>(end),
                         [&](const TPrimary& a, const TPrimary& b) {
                           for (size_t c = firstFull; c < columns.size(); ++c) {
                             const int r = compareColumn(columns[c], a.Index, b.Index);
                             if (r != 0) return columns[c].Descending ? r > 0 : r < 0;
                           }
                           return false;
                         });
      start = end;
    }
  };
  orderRuns(order);
  orderRuns(nulls);
  // NULL comes first in an ascending column, last in a descending one.
  std::vector<TItemHeader*> sorted;
  sorted.reserve(n);
  const auto take = [&](const std::vector<TPrimary>& part) {
    for (const TPrimary& p : part) sorted.push_back(items[p.Index]);
  };
  if (head.Descending) {
    take(order);
    take(nulls);
  } else {
    take(nulls);
    take(order);
  }

  // Only now, with the order complete, the list is relinked and numbered in
  // one pass.
  TItemHeader* prev = nullptr;
  int32_t shown = 0;
  for (size_t k = 0; k < n; ++k) {
    if (k + kAhead < n) __builtin_prefetch(sorted[k + kAhead], 1);
    TItemHeader* item = sorted[k];
    item->Prev = prev;
    if (prev) prev->Next = item;
    else FirstItem = item;
    item->Order = IsVisible(item) ? ++shown : 0;
    prev = item;
  }
  prev->Next = nullptr;
  LastItem = prev;
  FRecordCount = shown;
  FRecordNoCacheValid = false;
  FItemOrder = std::move(sorted);
  FItemOrderValid = true;
}

int TMemData::CompareRecords(const uint8_t* a, const uint8_t* b) const {
  TFieldValue va, vb;
  for (const TSortColumn& column : FIndexFields) {
    ReadFieldValue(*column.FieldDesc, a, va);
    ReadFieldValue(*column.FieldDesc, b, vb);
    const int c = CompareFieldValue(*column.FieldDesc, va, vb, SortTypeFlags(column.SortType));
    if (c != 0) return column.DescendingOrder ? -c : c;
  }
  return 0;
}

void TMemData::MoveToSortedPlace(TItemHeader* item) {
  const uint8_t* rec = TBlockManager::GetRecordPtr(item);
  // Takes `item` out of the list and links it in front of `before` (at the
  // end when none).
  const auto moveBefore = [&](TItemHeader* before) {
    FItemOrderValid = false;
    FRecordNoCacheValid = false;
    if (item->Prev) item->Prev->Next = item->Next;
    else FirstItem = item->Next;
    if (item->Next) item->Next->Prev = item->Prev;
    else LastItem = item->Prev;
    item->Next = before;
    item->Prev = before ? before->Prev : LastItem;
    if (item->Prev) item->Prev->Next = item;
    else FirstItem = item;
    if (before) before->Prev = item;
    else LastItem = item;
  };
  TItemHeader* target = item->Prev;
  while (target && CompareRecords(rec, TBlockManager::GetRecordPtr(target)) < 0) target = target->Prev;
  if (target != item->Prev) {
    moveBefore(target ? target->Next : FirstItem);
    return;
  }
  target = item->Next;
  while (target && CompareRecords(rec, TBlockManager::GetRecordPtr(target)) > 0) target = target->Next;
  if (target != item->Next) moveBefore(target);
}

void TMemData::ItemChanged(TItemHeader* item) {
  const bool wasShown = item->Order != 0;
  item->FilterResult = fsNotChecked;
  if (!FIndexFields.empty()) {
    FItemOrderValid = false;
    MoveToSortedPlace(item);
    RenumberAll();
    return;
  }
  // Unsorted, the record keeps its place: the numbers change only when it
  // is shown or hidden anew (a walk over every record for each post of a
  // cached edit made editing every record quadratic).
  if (IsVisible(item) != wasShown) RenumberAll();
}

void TMemData::SkipHiddenCurrent() {
  TItemHeader* const item = CurrentItem;
  if (!item || IsVisible(item)) return;
  TItemHeader* shown = item->Next;
  while (shown && !IsVisible(shown)) shown = shown->Next;
  if (!shown) {
    shown = item->Prev;
    while (shown && !IsVisible(shown)) shown = shown->Prev;
  }
  CurrentItem = shown;
  if (!shown) FBOF = FEOF = true;
}

const std::vector<TItemHeader*>& TMemData::RecordNoCache() {
  if (!FRecordNoCacheValid) {
    FRecordNoCache.clear();
    ForEachItem([&](TItemHeader* i) {
      if (i->Order != 0) FRecordNoCache.push_back(i);
    });
    FRecordNoCacheValid = true;
  }
  return FRecordNoCache;
}

// --- the dataset's sort text --------------------------------------------------------

void TMemDataSet::SetIndexFieldNames(const UString& value) {
  // A record in work is posted (or dropped when unchanged) first: it is
  // sorted with the others.
  if (Active()) CheckBrowseMode();
  // The storage parses (and, when open, sorts) first: a text that fails
  // leaves everything as it was.
  if (FData && (Active() || FData->Fields().Count() > 0)) FData->SetIndexFieldNames(value);
  FIndexFieldNames = value;
  if (Active()) Resync();
}

}  // namespace vix
