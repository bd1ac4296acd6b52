// The provider command base: the SQL text a command runs, the scan that
// turns ":Name" parameters into "?" placeholders, and the command-side
// parameter descriptors, one per placeholder.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "Common/ZelParser.h"
#include "rtl/SharedObject.h"
#include "rtl/SysUtils.h"
#include "rtl/UString.h"
#include "rtl/Variant.h"

namespace vix {

// Raises Exception "List index out of bounds (<index>)".
[[noreturn]] void ListIndexError(int index);

// Direction of a command parameter.
enum TParamDirection : uint8_t { pdUnknown = 0, pdInput = 1, pdOutput = 2, pdInputOutput = 3, pdResult = 4 };

// One placeholder's parameter as the command sees it.
class TParamDesc {
 public:
  TParamDesc() = default;
  virtual ~TParamDesc();

  const UString& GetName() const { return FName; }
  void SetName(UString value) { FName = std::move(value); }
  // Internal data type code of the record storage (how the provider renders the value).
  uint16_t GetDataType() const { return FDataType; }
  void SetDataType(uint16_t value) { FDataType = value; }
  uint16_t GetSubDataType() const { return FSubDataType; }
  void SetSubDataType(uint16_t value) { FSubDataType = value; }
  TParamDirection GetParamType() const { return FParamType; }
  void SetParamType(TParamDirection value) { FParamType = value; }
  int32_t GetSize() const { return FSize; }
  void SetSize(int32_t value) { FSize = value; }
  bool GetIsBound() const { return FIsBound; }
  void SetIsBound(bool value) { FIsBound = value; }
  bool GetConvertEOL() const { return FConvertEOL; }
  void SetConvertEOL(bool value) { FConvertEOL = value; }
  bool GetNational() const { return FNational; }
  void SetNational(bool value) { FNational = value; }

  // The value; storing an empty or null value makes the descriptor null.
  const Variant& GetValue() const { return FData; }
  void SetValue(const Variant& value);
  bool GetNull() const { return FIsNull; }
  // Setting null replaces the value with Null, except a shared object (a
  // large object or cursor), which stays for the provider to fill.
  void SetNull(bool value);
  // A large-object or cursor value: the descriptor holds its own reference.
  void SetObject(TSharedObject* value);
  TSharedObject* GetObject() const;

 protected:
  UString FName;
  uint16_t FDataType = 0;
  uint16_t FSubDataType = 0;
  TParamDirection FParamType = pdUnknown;
  int32_t FSize = 0;
  Variant FData;
  bool FIsNull = true;
  bool FIsBound = true;
  bool FConvertEOL = false;
  bool FNational = false;
};

// An owned list of named items in order; names are found ignoring case,
// the first match winning.
template <typename T>
class TNamedItems {
 public:
  int Count() const { return static_cast<int>(FItems.size()); }
  // Raises Exception "List index out of bounds (n)" for an index outside the list.
  T* Items(int index) const {
    if (index < 0 || index >= Count()) ListIndexError(index);
    return FItems[static_cast<size_t>(index)].get();
  }
  T* Add(std::unique_ptr<T> item) {
    FItems.push_back(std::move(item));
    return FItems.back().get();
  }
  void Delete(int index) {
    Items(index);
    FItems.erase(FItems.begin() + index);
  }
  void Clear() { FItems.clear(); }
  T* Find(UStringView name) const {
    for (const auto& item : FItems)
      if (SameText(item->GetName(), name)) return item.get();
    return nullptr;
  }
  void Swap(TNamedItems& other) noexcept { FItems.swap(other.FItems); }

 private:
  std::vector<std::unique_ptr<T>> FItems;
};

// A command's descriptors, owned, in placeholder order.
class TParamDescs : public TNamedItems<TParamDesc> {
 public:
  TParamDesc* FindParam(UStringView name) const { return Find(name); }
};

// A descriptor class as a value.
using TParamDescClass = std::unique_ptr<TParamDesc> (*)();

// The command base of the providers.
class TZelCommand {
 public:
  TZelCommand();
  virtual ~TZelCommand();
  TZelCommand(const TZelCommand&) = delete;
  TZelCommand& operator=(const TZelCommand&) = delete;

  // Stores a new text and scans its parameters (unless the scan is
  // disabled). A text equal to the stored one changes nothing. When the scan
  // fails, the command keeps its previous texts and descriptors.
  virtual void SetSQL(const UString& value);
  // The text as the caller wrote it, and as it is sent (after the scan).
  const UString& GetUserSQL() const { return FUserSQL; }
  const UString& GetSQL() const { return FSQL; }

  // The text with every ":Name" outside strings, quoted names and comments
  // replaced: by "?" with one descriptor per occurrence appended to `params`
  // (which is emptied first), or, without `params`, by `renamePrefix` and the
  // name. `params` is only changed when the whole scan succeeds.
  virtual UString ParseSQL(const UString& sql, TParamDescs* params, bool replaceAll = true,
                           const UString& renamePrefix = UString());

  // Scan switches. Switching the scan on while a text is stored scans it again.
  void SetScanParams(bool value);
  bool GetScanParams() const { return FScanParams; }
  void SetDisableParamScan(bool value) { FDisableParamScan = value; }
  bool GetDisableParamScan() const { return FDisableParamScan; }

  // Descriptors.
  TParamDescs& Params() { return FParams; }
  void ClearParams() { FParams.Clear(); }
  int GetParamCount() const { return FParams.Count(); }
  TParamDesc* GetParam(int index) const { return FParams.Items(index); }
  TParamDesc* FindParam(UStringView name) const { return FParams.FindParam(name); }
  virtual TParamDesc* AddParam();
  void DeleteParam(int index) { FParams.Delete(index); }

  // The lexer of the command's SQL dialect, and its identifier quotes.
  virtual TParserClass GetParserClass() const;
  virtual char16_t LeftQuote() const { return u'"'; }
  virtual char16_t RightQuote() const { return u'"'; }
  virtual TParamDescClass GetParamDescType() const;

 protected:
  // Handles what follows one colon: reads the name (blanks are lexemes here,
  // comments are skipped) and writes a placeholder, the renamed parameter,
  // or the source text unchanged to `builder`. Only a name right after the
  // colon (or after ":@") is a parameter.
  virtual void ScanParamAfterColon(UString& builder, TParser& parser, TParamDescs* params, char16_t leftQuote,
                                   char16_t rightQuote, const UString& renamePrefix);

  UString FSQL;
  UString FUserSQL;
  TParamDescs FParams;
  bool FScanParams = true;
  bool FDisableParamScan = false;
};

}  // namespace vix
