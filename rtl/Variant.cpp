#include "rtl/Variant.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "rtl/CodePage.h"

namespace vix {

UString VarTypeName(TVarType type) {
  static const char16_t* const names[] = {
      u"Empty", u"Null",          u"Boolean",    u"ShortInt", u"Smallint", u"Integer",      u"Int64",
      u"Byte",  u"Word",          u"LongWord",   u"UInt64",   u"Single",   u"Double",       u"Currency",
      u"Date",  u"UnicodeString", u"AnsiString", u"Bytes",    u"FMTBcd",   u"SQLTimeStamp", u"Object"};
  return type < std::size(names) ? names[type] : u"Unknown";
}

Variant Variant::Null() {
  Variant v;
  v.FValue.emplace<varNull>();
  return v;
}

Variant Variant::FromDate(TDateTime value) {
  Variant v;
  v.FValue.emplace<varDate>(DateValue{value});
  return v;
}

Variant Variant::FromAnsi(std::string value) {
  Variant v;
  v.FValue.emplace<varString>(AnsiValue{std::move(value)});
  return v;
}

Variant Variant::FromBytes(std::string value) {
  Variant v;
  v.FValue.emplace<varBytes>(BytesValue{std::move(value)});
  return v;
}

Variant Variant::FromObject(TSharedObject* object) {
  Variant v;
  if (object) v.FValue.emplace<varObject>(ObjectValue{TSharedRef<TSharedObject>::Share(object)});
  return v;
}

void Variant::CastError(TVarType to) const {
  throw EVariantTypeCastError(u"Could not convert variant of type (" + VarTypeName(VarType()) + u") into type (" +
                              VarTypeName(to) + u")");
}

void Variant::OverflowError(TVarType to) const {
  throw EVariantOverflowError(u"Variant overflow converting (" + VarTypeName(VarType()) + u") into type (" +
                              VarTypeName(to) + u")");
}

bool Variant::IsNumeric() const {
  const TVarType t = VarType();
  return (t >= varShortInt && t <= varCurrency) || t == varFMTBcd;
}

bool Variant::NumberAsDouble(double& value) const {
  switch (VarType()) {
    case varEmpty: value = 0; return true;
    case varBoolean: value = std::get<varBoolean>(FValue) ? -1 : 0; return true;
    case varShortInt: value = std::get<varShortInt>(FValue); return true;
    case varSmallint: value = std::get<varSmallint>(FValue); return true;
    case varInteger: value = std::get<varInteger>(FValue); return true;
    case varInt64: value = static_cast<double>(std::get<varInt64>(FValue)); return true;
    case varByte: value = std::get<varByte>(FValue); return true;
    case varWord: value = std::get<varWord>(FValue); return true;
    case varLongWord: value = std::get<varLongWord>(FValue); return true;
    case varUInt64: value = static_cast<double>(std::get<varUInt64>(FValue)); return true;
    case varSingle: value = std::get<varSingle>(FValue); return true;
    case varDouble: value = std::get<varDouble>(FValue); return true;
    case varCurrency: value = std::get<varCurrency>(FValue).ToDouble(); return true;
    case varDate: value = std::get<varDate>(FValue).Value; return true;
    case varFMTBcd: value = BcdToDouble(std::get<varFMTBcd>(FValue)); return true;
    case varSQLTimeStamp: value = SQLTimeStampToDateTime(std::get<varSQLTimeStamp>(FValue)); return true;
    default: return false;
  }
}

int64_t Variant::RoundToInt64(double value, TVarType to) const {
  const double r = std::nearbyint(value);  // ties to even
  if (!(r >= -9223372036854775808.0 && r < 9223372036854775808.0)) OverflowError(to);
  return static_cast<int64_t>(r);
}

int64_t Variant::AsInt64() const {
  switch (VarType()) {
    case varEmpty: return 0;
    case varBoolean: return std::get<varBoolean>(FValue) ? -1 : 0;
    case varShortInt: return std::get<varShortInt>(FValue);
    case varSmallint: return std::get<varSmallint>(FValue);
    case varInteger: return std::get<varInteger>(FValue);
    case varInt64: return std::get<varInt64>(FValue);
    case varByte: return std::get<varByte>(FValue);
    case varWord: return std::get<varWord>(FValue);
    case varLongWord: return std::get<varLongWord>(FValue);
    case varUInt64: {
      const uint64_t u = std::get<varUInt64>(FValue);
      if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) OverflowError(varInt64);
      return static_cast<int64_t>(u);
    }
    case varCurrency: {
      // Exact: whole units, the remainder rounded half to even.
      const int64_t raw = std::get<varCurrency>(FValue).Value;
      int64_t q = raw / Currency::kScale, r = raw % Currency::kScale;
      if (r > 5000 || (r == 5000 && (q & 1))) ++q;
      if (r < -5000 || (r == -5000 && (q & 1))) --q;
      return q;
    }
    case varUString:
    case varString: {
      const UString text = Trim(AsString());
      int64_t i;
      if (TryStrToInt64(text, i)) return i;
      double d;
      if (TryStrToFloat(text, d)) return RoundToInt64(d, varInt64);
      CastError(varInt64);
    }
    default: {
      double d;
      if (!NumberAsDouble(d)) CastError(varInt64);
      return RoundToInt64(d, varInt64);
    }
  }
}

int64_t Variant::Int64For(TVarType to) const {
  try {
    return AsInt64();
  } catch (const EVariantOverflowError&) {
    OverflowError(to);
  } catch (const EVariantTypeCastError&) {
    CastError(to);
  }
}

int32_t Variant::AsInteger() const {
  const int64_t v = Int64For(varInteger);
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) OverflowError(varInteger);
  return static_cast<int32_t>(v);
}

uint64_t Variant::AsUInt64() const {
  if (VarType() == varUInt64) return std::get<varUInt64>(FValue);
  if (IsText()) {
    // Above the int64 range only an unsigned reading holds the value.
    uint64_t u;
    if (TryStrToUInt64(Trim(AsString()), u)) return u;
  }
  if (VarType() == varFMTBcd || VarType() == varSingle || VarType() == varDouble) {
    double d;
    NumberAsDouble(d);
    const double r = std::nearbyint(d);
    if (!(r >= 0 && r < 18446744073709551616.0)) OverflowError(varUInt64);
    return static_cast<uint64_t>(r);
  }
  const int64_t v = Int64For(varUInt64);
  if (v < 0 && VarType() != varBoolean) OverflowError(varUInt64);
  return static_cast<uint64_t>(v);
}

double Variant::AsFloat() const {
  double d;
  if (NumberAsDouble(d)) return d;
  if (IsText()) {
    if (TryStrToFloat(AsString(), d)) return d;
  }
  CastError(varDouble);
}

Currency Variant::AsCurrency() const {
  switch (VarType()) {
    case varCurrency: return std::get<varCurrency>(FValue);
    case varFMTBcd: try { return BcdToCurr(std::get<varFMTBcd>(FValue));
      } catch (const EBcdOverflowException&) {
        OverflowError(varCurrency);
      }
    case varUString:
    case varString: {
      Currency c;
      if (TryStrToCurr(AsString(), c)) return c;
      CastError(varCurrency);
    }
    case varShortInt:
    case varSmallint:
    case varInteger:
    case varInt64:
    case varByte:
    case varWord:
    case varLongWord:
    case varUInt64:
    case varBoolean: {
      const int64_t i = AsInt64();
      if (i > std::numeric_limits<int64_t>::max() / Currency::kScale ||
          i < std::numeric_limits<int64_t>::min() / Currency::kScale)
        OverflowError(varCurrency);
      return Currency::FromInt(i);
    }
    default: {
      double d;
      if (!NumberAsDouble(d)) CastError(varCurrency);
      Currency c;
      if (!Currency::TryFromDouble(d, c)) OverflowError(varCurrency);
      return c;
    }
  }
}

TDateTime Variant::AsDateTime() const {
  if (IsText()) {
    TDateTime t;
    if (TryStrToDateTime(AsString(), t)) return t;
    CastError(varDate);
  }
  double d;
  try {
    if (NumberAsDouble(d)) return d;
  } catch (const EConvertError&) {  // an invalid SQL time stamp
    CastError(varDate);
  }
  CastError(varDate);
}

bool Variant::AsBoolean() const {
  switch (VarType()) {
    case varBoolean: return std::get<varBoolean>(FValue);
    case varUString:
    case varString: {
      const UString text = Trim(AsString());
      if (SameText(text, u"True")) return true;
      if (SameText(text, u"False")) return false;
      double d;
      if (TryStrToFloat(text, d)) return d != 0;
      CastError(varBoolean);
    }
    case varDate:
    case varSQLTimeStamp:
    case varObject:
    case varBytes:
    case varNull: CastError(varBoolean);
    default: {
      double d;
      if (!NumberAsDouble(d)) CastError(varBoolean);
      return d != 0;
    }
  }
}

UString Variant::AsString() const {
  switch (VarType()) {
    case varEmpty: return UString();
    case varBoolean: return std::get<varBoolean>(FValue) ? u"True" : u"False";
    case varShortInt:
    case varSmallint:
    case varInteger:
    case varInt64: return IntToStr(AsInt64());
    case varByte:
    case varWord:
    case varLongWord:
    case varUInt64: return UIntToStr(AsUInt64());
    case varSingle: return FloatToStrGeneral(std::get<varSingle>(FValue), 7);
    case varDouble: return FloatToStr(std::get<varDouble>(FValue));
    case varCurrency: return CurrToStr(std::get<varCurrency>(FValue));
    case varDate: return DateTimeToStr(std::get<varDate>(FValue).Value);
    case varUString: return std::get<varUString>(FValue);
    case varString: return AnsiToUtf16(std::get<varString>(FValue).Value);
    case varFMTBcd: return BcdToStr(std::get<varFMTBcd>(FValue));
    case varSQLTimeStamp: return DateTimeToStr(AsDateTime());
    default: CastError(varUString);
  }
}

std::string Variant::AsAnsiString() const {
  switch (VarType()) {
    case varString: return std::get<varString>(FValue).Value;
    case varBytes: return std::get<varBytes>(FValue).Value;
    case varNull:
    case varObject: CastError(varString);
    default: return Utf16ToAnsi(AsString());
  }
}

std::string Variant::AsBytes() const {
  switch (VarType()) {
    case varEmpty: return std::string();
    case varBytes: return std::get<varBytes>(FValue).Value;
    case varString: return std::get<varString>(FValue).Value;
    case varUString: return Utf16ToAnsi(std::get<varUString>(FValue));
    default: CastError(varBytes);
  }
}

TBcd Variant::AsBcd() const {
  switch (VarType()) {
    case varFMTBcd: return std::get<varFMTBcd>(FValue);
    case varCurrency: return CurrToBcd(std::get<varCurrency>(FValue));
    case varSingle:
    case varDouble: {
      double d;
      NumberAsDouble(d);
      if (!std::isfinite(d)) CastError(varFMTBcd);
      return DoubleToBcd(d);
    }
    case varUString:
    case varString: {
      TBcd b;
      try {
        if (TryStrToBcd(AsString(), b)) return b;
      } catch (const EBcdException&) {
        OverflowError(varFMTBcd);
      }
      CastError(varFMTBcd);
    }
    case varEmpty:
    case varBoolean:
    case varShortInt:
    case varSmallint:
    case varInteger:
    case varInt64:
    case varByte:
    case varWord:
    case varLongWord: return IntegerToBcd(AsInt64());
    case varUInt64: return StrToBcd(UIntToStr(std::get<varUInt64>(FValue)), InvariantFormatSettings());
    default: CastError(varFMTBcd);
  }
}

TSQLTimeStamp Variant::AsSQLTimeStamp() const {
  if (VarType() == varSQLTimeStamp) return std::get<varSQLTimeStamp>(FValue);
  const TDateTime t = AsDateTime();
  try {
    return DateTimeToSQLTimeStamp(t);
  } catch (const EConvertError&) {
    OverflowError(varSQLTimeStamp);
  }
}

TSharedObject* Variant::AsObject() const {
  switch (VarType()) {
    case varEmpty:
    case varNull: return nullptr;
    case varObject: return std::get<varObject>(FValue).Ref.Get();
    default: CastError(varObject);
  }
}

Variant Variant::AsType(TVarType type) const {
  if (IsNull() || type == VarType()) return *this;
  switch (type) {
    case varEmpty: return Variant();
    case varNull: return Null();
    case varBoolean: return AsBoolean();
    case varShortInt:
    case varSmallint:
    case varInteger:
    case varByte:
    case varWord:
    case varLongWord: {
      struct Range {
        int64_t Min, Max;
      };
      static constexpr Range ranges[] = {{INT8_MIN, INT8_MAX}, {INT16_MIN, INT16_MAX}, {INT32_MIN, INT32_MAX}, {0, 0},
                                         {0, UINT8_MAX},       {0, UINT16_MAX},        {0, UINT32_MAX}};
      const int64_t v = Int64For(type);
      const Range r = ranges[type - varShortInt];
      if (v < r.Min || v > r.Max) OverflowError(type);
      switch (type) {
        case varShortInt: return static_cast<int8_t>(v);
        case varSmallint: return static_cast<int16_t>(v);
        case varInteger: return static_cast<int32_t>(v);
        case varByte: return static_cast<uint8_t>(v);
        case varWord: return static_cast<uint16_t>(v);
        default: return static_cast<uint32_t>(v);
      }
    }
    case varInt64: return AsInt64();
    case varUInt64: return AsUInt64();
    case varSingle: {
      const double d = AsFloat();
      if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) OverflowError(varSingle);
      return static_cast<float>(d);
    }
    case varDouble: return AsFloat();
    case varCurrency: return AsCurrency();
    case varDate: return FromDate(AsDateTime());
    case varUString: return AsString();
    case varString: return FromAnsi(AsAnsiString());
    case varBytes: return FromBytes(AsBytes());
    case varFMTBcd: return AsBcd();
    case varSQLTimeStamp: return AsSQLTimeStamp();
    case varObject: return FromObject(AsObject());
  }
  CastError(type);
}

bool operator==(const Variant& a, const Variant& b) {
  if (a.VarType() != b.VarType()) return false;
  if (a.VarType() == varFMTBcd)
    return std::memcmp(&std::get<varFMTBcd>(a.FValue), &std::get<varFMTBcd>(b.FValue), sizeof(TBcd)) == 0;
  return std::visit(
      [&](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, TBcd>) return false;  // handled above
        else return x == std::get<T>(b.FValue);
      },
      a.FValue);
}

UString VarToStr(const Variant& value) {
  return value.IsEmptyOrNull() ? UString() : value.AsString();
}

}  // namespace vix
