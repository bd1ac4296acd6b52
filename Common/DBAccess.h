// A query's named parameters: typed values found by name, handed to the
// provider command as descriptors.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Common/DBTypes.h"
#include "Common/MemData.h"
#include "Common/ZelAccess.h"
#include "rtl/SharedObject.h"
#include "rtl/UString.h"
#include "rtl/Variant.h"

namespace vix {

// Direction of a parameter (numbered as the descriptors' directions).
enum TParamType : uint8_t { ptUnknown = 0, ptInput = 1, ptOutput = 2, ptInputOutput = 3, ptResult = 4 };

// How a collection came about: built by the scan, edited by the user, or
// checked by the user (any change then makes it ctUsers).
enum TParamsChangeType : uint8_t { ctGenerated = 0, ctUsers = 1, ctUserChecked = 2 };

// What the provider connection adds when parameters are written to its command.
struct TParamWriteSettings {
  bool ConvertEOL = false;
  // Size of a parameter that has none of its own (the connection's default).
  int32_t DefaultParamSize = 0;
  // The provider tells input from input/output parameters; without that, a
  // parameter of unknown direction counts as input when its size is taken.
  bool InOutParamsSupported = false;
};

// The provider's map from field types to the internal data types of its
// descriptors, and back.
using TParamDataTypeMap = uint16_t (*)(TFieldType type);
using TParamFieldTypeMap = TFieldType (*)(uint16_t dataType);

class TDAParams;

class TDAParam {
 public:
  explicit TDAParam(UString name = UString());
  virtual ~TDAParam();
  TDAParam(const TDAParam&) = delete;
  TDAParam& operator=(const TDAParam&) = delete;

  const UString& GetName() const { return FName; }
  void SetName(UString value) { FName = std::move(value); }
  TFieldType GetDataType() const { return FDataType; }
  // A different type discards the value; a blob type (IsBlobFieldType)
  // comes with a blob object of its own.
  void SetDataType(TFieldType value);
  TParamType GetParamType() const { return FParamType; }
  void SetParamType(TParamType value) { FParamType = value; }
  int32_t GetSize() const { return FSize; }
  void SetSize(int32_t value) { FSize = value; }
  uint16_t GetSubDataType() const { return FSubDataType; }
  void SetSubDataType(uint16_t value) { FSubDataType = value; }
  int32_t GetPrecision() const { return FPrecision; }
  void SetPrecision(int32_t value) { FPrecision = value; }
  int32_t GetNumericScale() const { return FNumericScale; }
  void SetNumericScale(int32_t value) { FNumericScale = value; }
  bool GetBound() const { return FBound; }
  void SetBound(bool value) { FBound = value; }

  // The value as stored. Setting it keeps the type, or, for ftUnknown,
  // takes the type from the kind of value. A blob-type parameter takes a
  // byte array as bytes and any other value as text into its blob.
  const Variant& GetValue() const { return FData; }
  void SetValue(const Variant& value);
  // True for a null or empty value; for a blob type, when the blob is empty.
  bool IsNull() const;
  // The value becomes empty and null; a blob is emptied.
  void Clear();

  // Blob types: ftBlob, ftMemo and ftWideMemo (its blob Unicode).
  virtual bool IsBlobFieldType(TFieldType type) const;
  bool IsBlob() const { return IsBlobFieldType(FDataType); }
  // The blob of a blob-type parameter (none otherwise).
  TBlob* GetAsBlobRef() const { return FParamObject.Get(); }
  // Bytes as ftBlob, text as ftMemo.
  std::string GetAsBlob() const;
  void SetAsBlob(std::string_view value);
  void SetAsMemo(const UString& value);

  // Text: ftWideString unless the parameter is ftFixedWideChar. The text
  // setters of a blob-type parameter write into its blob instead.
  UString GetAsString() const;
  void SetAsString(const UString& value);
  UString GetAsWideString() const { return GetAsString(); }
  void SetAsWideString(const UString& value) { SetAsString(value); }
  // 8-bit text in the ANSI code page: ftString unless ftFixedChar; a
  // parameter of a wide text type takes the text as wide text.
  std::string GetAsAnsiString() const;
  void SetAsAnsiString(const UString& value);
  // 0 for null; a value that does not convert raises the variant error.
  int32_t GetAsInteger() const;
  void SetAsInteger(int32_t value) { StoreTyped(ftInteger, Variant(value)); }
  void SetAsSmallInt(int16_t value) { StoreTyped(ftSmallint, Variant(value)); }
  void SetAsWord(uint16_t value) { StoreTyped(ftWord, Variant(value)); }
  void SetAsShortInt(int8_t value) { StoreTyped(ftShortint, Variant(value)); }
  void SetAsByte(uint8_t value) { StoreTyped(ftByte, Variant(value)); }
  int64_t GetAsLargeInt() const;
  void SetAsLargeInt(int64_t value) { StoreTyped(ftLargeint, Variant(value)); }
  double GetAsFloat() const;
  void SetAsFloat(double value) { StoreTyped(ftFloat, Variant(value)); }

  // The type a value of this kind gives a parameter of unknown type.
  static TFieldType FieldTypeOfValue(TVarType type);

  // Writes the description, and with `withValue` the value, to a command
  // descriptor; `dataType` is the provider's internal type for GetDataType().
  void WriteParamDesc(TParamDesc& desc, uint16_t dataType, bool withValue, const TParamWriteSettings& settings) const;

  // Takes type, value (or null), direction (when its own is unknown), size
  // and blob of `source`.
  virtual void AssignValue(const TDAParam& source);
  virtual bool GetNational() const { return false; }

 protected:
  // Stores `value` as the parameter's value: bound unless empty, null when empty or null.
  void StoreValue(const Variant& value);
  void StoreTyped(TFieldType type, const Variant& value);

  UString FName;
  TFieldType FDataType = ftUnknown;
  TParamType FParamType = ptUnknown;
  Variant FData;
  bool FNull = true;
  bool FBound = true;
  int32_t FPrecision = 0;
  int32_t FNumericScale = 0;
  int32_t FSize = 0;
  uint16_t FSubDataType = 0;
  TSharedRef<TBlob> FParamObject;

 private:
  // Text into the blob of a blob-type parameter.
  void WriteBlobText(const UString& value, bool ansi);
};

// A query's parameters, owned, in order.
class TDAParams : public TNamedItems<TDAParam> {
 public:
  TDAParams();
  virtual ~TDAParams();
  TDAParams(const TDAParams&) = delete;
  TDAParams& operator=(const TDAParams&) = delete;

  using TNamedItems<TDAParam>::Add;
  TDAParam* Add(UString name) { return Add(CreateParam(std::move(name))); }

  // The first parameter whose name equals `name` ignoring case, or none.
  TDAParam* FindParam(UStringView name) const { return Find(name); }
  // The same; raises EDatabaseError "Parameter '<name>' not found" when there is none.
  TDAParam* ParamByName(UStringView name) const;

  // Every parameter of `source` gives its value to the parameter of the same name here.
  void AssignValues(const TDAParams& source);

  // Rebuilds the collection from a command's descriptors after a scan: one
  // parameter per distinct name (ignoring case), in order of first
  // occurrence, typed, directed and sized after its first descriptor;
  // parameters that were here before under the same name keep their values.
  // `paramRefs`, when given, receives for each descriptor the parameter that feeds it.
  void RebuildFromParamDescs(const TParamDescs& descs, TParamFieldTypeMap fieldTypeMap,
                             std::vector<TDAParam*>* paramRefs = nullptr);

  // Writes each descriptor's parameter (found by name; descriptors without
  // one are left alone) to the descriptor.
  void WriteParamDescs(TParamDescs& descs, TParamDataTypeMap dataTypeMap, bool withValues,
                       const TParamWriteSettings& settings) const;

  TParamsChangeType GetParamsChangeType() const { return FParamsChangeType; }
  void SetParamsChangeType(TParamsChangeType value) { FParamsChangeType = value; }

 protected:
  virtual std::unique_ptr<TDAParam> CreateParam(UString name) const;

 private:
  TParamsChangeType FParamsChangeType = ctGenerated;
};

// A macro of a query's text: "&Name" stands for its value while it is active.
class TMacro {
 public:
  explicit TMacro(UString name = UString()) : FName(std::move(name)) {}
  virtual ~TMacro() = default;

  const UString& GetName() const { return FName; }
  void SetName(UString value) { FName = std::move(value); }
  const UString& GetValue() const { return FValue; }
  void SetValue(UString value) { FValue = std::move(value); }
  bool GetActive() const { return FActive; }
  void SetActive(bool value) { FActive = value; }

 private:
  UString FName;
  UString FValue;
  bool FActive = true;
};

// The macros of a query's text, in order of first occurrence.
class TMacros : public TNamedItems<TMacro> {
 public:
  static constexpr char16_t MacroChar = u'&';

  TMacro* FindMacro(UStringView name) const { return Find(name); }
  // The lexer that finds the macros: the SQL dialect unless the text is
  // another's (a MySQL text has backslash escapes in its strings, and a
  // macro there must stay inside its string).
  void SetParserClass(TParserClass value) { FParserClass = value; }
  TParserClass GetParserClass() const { return FParserClass; }
  // Rebuilds the list from the "&Name"s of `sql` (outside strings, quoted
  // names and comments; the name an identifier or keyword right after the
  // '&'); a macro that was here before keeps its value and state. When the
  // text does not lex, the list stays as it was.
  void Scan(const UString& sql);
  // `sql` with each "&Name" of a known macro replaced by its value, or by
  // nothing when the macro is not active.
  UString Expand(const UString& sql) const;

 private:
  // Calls `found(ampersandPos, endPos, name)` for each macro reference of `sql`.
  template <typename Found>
  void ForEachMacro(const UString& sql, Found found) const;

  TParserClass FParserClass = NewParser<TSQLParser>;
};

}  // namespace vix
