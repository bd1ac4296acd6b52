// Variant: one value of any of the runtime's types, with the conversions
// between them. A variant that references a shared object holds a reference
// of its own.
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "rtl/Currency.h"
#include "rtl/DateUtils.h"
#include "rtl/FMTBcd.h"
#include "rtl/SharedObject.h"
#include "rtl/SysUtils.h"
#include "rtl/UString.h"

namespace vix {

// The kinds of value, in the order of the alternatives below.
enum TVarType : uint16_t {
  varEmpty,
  varNull,
  varBoolean,
  varShortInt,  // signed 8-bit
  varSmallint,  // signed 16-bit
  varInteger,   // signed 32-bit
  varInt64,
  varByte,      // unsigned 8-bit
  varWord,      // unsigned 16-bit
  varLongWord,  // unsigned 32-bit
  varUInt64,
  varSingle,
  varDouble,
  varCurrency,
  varDate,
  varUString,  // UTF-16 text
  varString,   // 8-bit text in the ANSI code page
  varBytes,    // byte array
  varFMTBcd,
  varSQLTimeStamp,
  varObject,  // reference to a TSharedObject
};

// A variant that cannot be converted to the type asked for.
class EVariantError : public EConvertError {
 public:
  using EConvertError::EConvertError;
};
// "Could not convert variant of type (<from>) into type (<to>)"
class EVariantTypeCastError : public EVariantError {
 public:
  using EVariantError::EVariantError;
};
// A numeric value outside the range of the type asked for:
// "Variant overflow converting (<from>) into type (<to>)"
class EVariantOverflowError : public EVariantError {
 public:
  using EVariantError::EVariantError;
};

// "Empty", "Null", "Boolean", "ShortInt", "Smallint", "Integer", "Int64",
// "Byte", "Word", "LongWord", "UInt64", "Single", "Double", "Currency", "Date",
// "UnicodeString", "AnsiString", "Bytes", "FMTBcd", "SQLTimeStamp", "Object".
UString VarTypeName(TVarType type);

class Variant {
 public:
  Variant() = default;  // empty
  Variant(bool value) : FValue(value) {}
  template <std::integral T>
  requires(!std::same_as<T, bool> && !std::same_as<T, char> && !std::same_as<T, char8_t> &&
           !std::same_as<T, char16_t> && !std::same_as<T, char32_t> && !std::same_as<T, wchar_t>) Variant(T value) {
    if constexpr (std::is_signed_v<T>) {
      if constexpr (sizeof(T) == 1) FValue.template emplace<varShortInt>(static_cast<int8_t>(value));
      else if constexpr (sizeof(T) == 2) FValue.template emplace<varSmallint>(static_cast<int16_t>(value));
      else if constexpr (sizeof(T) == 4) FValue.template emplace<varInteger>(static_cast<int32_t>(value));
      else FValue.template emplace<varInt64>(static_cast<int64_t>(value));
    } else {
      if constexpr (sizeof(T) == 1) FValue.template emplace<varByte>(static_cast<uint8_t>(value));
      else if constexpr (sizeof(T) == 2) FValue.template emplace<varWord>(static_cast<uint16_t>(value));
      else if constexpr (sizeof(T) == 4) FValue.template emplace<varLongWord>(static_cast<uint32_t>(value));
      else FValue.template emplace<varUInt64>(static_cast<uint64_t>(value));
    }
  }
  Variant(float value) : FValue(value) {}
  Variant(double value) : FValue(value) {}
  Variant(Currency value) : FValue(value) {}
  Variant(UString value) : FValue(std::move(value)) {}
  Variant(UStringView value) : FValue(UString(value)) {}
  Variant(const char16_t* value) : FValue(UString(value)) {}
  Variant(const char*) = delete;  // say FromAnsi or FromBytes
  Variant(const TBcd& value) : FValue(value) {}
  Variant(const TSQLTimeStamp& value) : FValue(value) {}

  static Variant Null();
  static Variant FromDate(TDateTime value);
  static Variant FromAnsi(std::string value);
  static Variant FromBytes(std::string value);
  // Holds a reference of its own to `object` (none when it is null: empty).
  static Variant FromObject(TSharedObject* object);

  TVarType VarType() const { return static_cast<TVarType>(FValue.index()); }
  bool IsEmpty() const { return VarType() == varEmpty; }
  bool IsNull() const { return VarType() == varNull; }
  bool IsEmptyOrNull() const { return VarType() <= varNull; }
  bool IsNumeric() const;  // integers, single, double, currency, FMTBcd
  bool IsText() const { return VarType() == varUString || VarType() == varString; }

  // Conversions. Empty reads as false, 0, "" or an empty byte array; Null
  // and any value that cannot be converted raise EVariantTypeCastError;
  // numbers out of range raise EVariantOverflowError. Floating values become
  // integers rounded to the nearest, ties to even; true is -1 as an integer.
  // Texts are read with the process's format settings.
  bool AsBoolean() const;
  int32_t AsInteger() const;
  int64_t AsInt64() const;
  uint64_t AsUInt64() const;
  double AsFloat() const;
  Currency AsCurrency() const;
  TDateTime AsDateTime() const;
  UString AsString() const;
  // 8-bit text: texts in the ANSI code page, byte arrays as they are.
  std::string AsAnsiString() const;
  // Byte arrays as they are, texts in the ANSI code page.
  std::string AsBytes() const;
  TBcd AsBcd() const;
  TSQLTimeStamp AsSQLTimeStamp() const;
  // The referenced object (no reference added); null for Empty and Null.
  TSharedObject* AsObject() const;

  // The value converted to another kind by the getters above; Null stays Null.
  Variant AsType(TVarType type) const;

  // Same kind and same value (texts and bytes byte for byte).
  friend bool operator==(const Variant& a, const Variant& b);

 private:
  struct NullValue {
    bool operator==(const NullValue&) const = default;
  };
  struct DateValue {
    TDateTime Value;
    bool operator==(const DateValue&) const = default;
  };
  struct AnsiValue {
    std::string Value;
    bool operator==(const AnsiValue&) const = default;
  };
  struct BytesValue {
    std::string Value;
    bool operator==(const BytesValue&) const = default;
  };
  struct ObjectValue {
    TSharedRef<TSharedObject> Ref;
    bool operator==(const ObjectValue& o) const { return Ref.Get() == o.Ref.Get(); }
  };

  [[noreturn]] void CastError(TVarType to) const;
  [[noreturn]] void OverflowError(TVarType to) const;
  // The numeric value as a double, for every numeric kind and dates; false otherwise.
  bool NumberAsDouble(double& value) const;
  int64_t RoundToInt64(double value, TVarType to) const;
  // AsInt64, its errors naming `to` as the type asked for.
  int64_t Int64For(TVarType to) const;

  std::variant<std::monostate, NullValue, bool, int8_t, int16_t, int32_t, int64_t, uint8_t, uint16_t, uint32_t,
               uint64_t, float, double, Currency, DateValue, UString, AnsiValue, BytesValue, TBcd, TSQLTimeStamp,
               ObjectValue>
      FValue;
};

// The value as text, "" for Empty and Null.
UString VarToStr(const Variant& value);

}  // namespace vix
