// The typed provider-specific options of the universal layer: the option
// kinds, a provider's option lists and how they are assigned to an object,
// and the option text of a component.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <typeindex>
#include <typeinfo>
#include <utility>
#include <vector>

#include "rtl/SysUtils.h"
#include "rtl/UString.h"
#include "rtl/Variant.h"

namespace vix {

// What a provider's options are assigned to: the provider's connection,
// command, record set and services. The neutral layer sees them through this
// view only; `TObjectOptionTarget` makes one of any object with a
// `SetProp(int32_t, const Variant&)`.
enum TOptionTargetKind : uint8_t {
  otConnection,            // provider connection (connection options)
  otConnectionParameters,  // pooled-connection parameters (connection options)
  otServerEnumerator,      // (connection options)
  otConnectDialogService,  // (connection options)
  otCommand,               // provider command (SQL options)
  otRecordSet,             // provider record set (dataset options, then into its command)
  otDataSetService,        // (dataset options)
  otScriptProcessor,       // (script options)
  otLoader,                // (loader options)
  otDumpProcessor,         // (dump options)
  otAlerter,               // (alerter options)
  otOther,                 // nothing is assigned
};

class TOptionTarget {
 public:
  virtual ~TOptionTarget() = default;
  virtual TOptionTargetKind Kind() const = 0;
  // The object's exact class (an option applies only to the classes it names).
  virtual std::type_index ClassType() const = 0;
  // The object's property setter.
  virtual void SetProp(int32_t prop, const Variant& value) = 0;
  // A record set's command, which takes the dataset options as well; none otherwise.
  virtual TOptionTarget* Command() { return nullptr; }
};

template <typename T>
class TObjectOptionTarget : public TOptionTarget {
 public:
  TObjectOptionTarget(T& object, TOptionTargetKind kind, TOptionTarget* command = nullptr)
      : FObject(object), FKind(kind), FCommand(command) {}
  TOptionTargetKind Kind() const override { return FKind; }
  std::type_index ClassType() const override { return typeid(FObject); }
  void SetProp(int32_t prop, const Variant& value) override { FObject.SetProp(prop, value); }
  TOptionTarget* Command() override { return FCommand; }

 private:
  T& FObject;
  TOptionTargetKind FKind;
  TOptionTarget* FCommand;
};

// One named, typed setting of a provider. Immutable after creation.
// The base is the text kind: every text is valid and stays as written.
class TOption {
 public:
  TOption(UString name, int32_t internalIndex, std::vector<std::type_index> internalClasses, Variant defaultValue);
  virtual ~TOption();
  TOption(const TOption&) = delete;
  TOption& operator=(const TOption&) = delete;

  const UString& GetOptionName() const { return FOptionName; }
  int32_t GetInternalIndex() const { return FInternalIndex; }
  const std::vector<std::type_index>& GetInternalClasses() const { return FInternalClasses; }
  bool AppliesTo(std::type_index cls) const;

  // True when `value` reads as a value of this option.
  virtual bool CheckValue(const UString& value) const;
  // Raises Exception "Invalid value: <value> for option <name>" unless CheckValue.
  void Validate(const UString& value) const;
  // The native value of a valid text.
  virtual Variant GetAsNative(const UString& value) const;
  virtual UString GetAsString(const Variant& value) const;
  virtual Variant GetDefaultValue() const { return FDefaultValue; }
  // The admissible values, when the kind has a closed set of them.
  virtual void GetValuesList(std::vector<UString>& list) const;

 private:
  UString FOptionName;
  int32_t FInternalIndex;
  std::vector<std::type_index> FInternalClasses;
  Variant FDefaultValue;
};

using TStringOption = TOption;

// A signed 32-bit integer, decimal or "$" hexadecimal, blanks around it ignored.
class TIntegerOption : public TOption {
 public:
  TIntegerOption(UString name, int32_t internalIndex, std::vector<std::type_index> internalClasses,
                 int32_t defaultValue);
  bool CheckValue(const UString& value) const override;
  Variant GetAsNative(const UString& value) const override;
  UString GetAsString(const Variant& value) const override;
};

// "True" or "False" in any letter case.
class TBooleanOption : public TOption {
 public:
  TBooleanOption(UString name, int32_t internalIndex, std::vector<std::type_index> internalClasses, bool defaultValue);
  bool CheckValue(const UString& value) const override;
  Variant GetAsNative(const UString& value) const override;
  UString GetAsString(const Variant& value) const override;
  void GetValuesList(std::vector<UString>& list) const override;
};

// One of the value names of an enumerated type, in any letter case; the
// native value is the ordinal. For a type whose own name begins with "_",
// the text leaves out the first character of each value name.
class TEnumeratorOption : public TOption {
 public:
  // `valueNames` from the lowest ordinal (`minValue`) up; at most 256 values.
  TEnumeratorOption(UString name, int32_t internalIndex, std::vector<std::type_index> internalClasses,
                    int32_t defaultValue, UString typeName, std::vector<UString> valueNames, int32_t minValue = 0);
  bool CheckValue(const UString& value) const override;
  Variant GetAsNative(const UString& value) const override;
  UString GetAsString(const Variant& value) const override;
  void GetValuesList(std::vector<UString>& list) const override;

  const UString& GetTypeName() const { return FTypeName; }
  int32_t GetMinValue() const { return FMinValue; }
  int32_t GetMaxValue() const { return FMinValue + static_cast<int32_t>(FValueNames.size()) - 1; }

 private:
  // Index into FValueNames of a text, or -1.
  int IndexOfText(const UString& value) const;
  // The value's name as the option text writes it.
  UString TextOfIndex(size_t index) const;
  bool Underscored() const { return !FTypeName.empty() && FTypeName[0] == u'_'; }

  UString FTypeName;
  std::vector<UString> FValueNames;
  int32_t FMinValue;
};

// One option line cut into its parts. A line without "=" names no option.
struct TOptionLine {
  bool Valid = false;
  UString Prefix;
  UString Name;
  UString Value;
};
TOptionLine SplitOptionLine(UStringView line);

// A provider's options of one kind, sorted by name (ignoring case), owned.
class TOptionsList {
 public:
  explicit TOptionsList(UString prefix);
  ~TOptionsList();
  TOptionsList(const TOptionsList&) = delete;
  TOptionsList& operator=(const TOptionsList&) = delete;

  const UString& GetPrefix() const { return FPrefix; }
  TOption* Add(std::unique_ptr<TOption> option);
  // Case-insensitive; none when there is no such option.
  TOption* OptionByName(UStringView name) const;
  int Count() const { return static_cast<int>(FOptions.size()); }
  // Raises "List index out of bounds (n)" outside the list.
  TOption* GetOption(int index) const;

  // Assigns every option that applies to the target's exact class, in list
  // order: from the first line of `lines` that names it (with this list's
  // prefix or none), else its default. An invalid value stops the import;
  // the options before it stay assigned.
  void ImportOptions(std::span<const UString> lines, TOptionTarget& target) const;

 private:
  UString FPrefix;
  std::vector<std::unique_ptr<TOption>> FOptions;
};

class TVixProvider;

// The option text of a component: lines "Prefix.Name=Value". A line given
// without prefix gets the provider's name put in front of it. Every change is
// announced to the holder before and after.
class TSpecificOptionsHolder;

class TSpecificOptionsList {
 public:
  int Count() const { return static_cast<int>(FLines.size()); }
  // Raises "List index out of bounds (n)" outside the list.
  const UString& Get(int index) const;
  const std::vector<UString>& Lines() const { return FLines; }
  // All lines, each ended by CR LF.
  UString GetText() const;

  int Add(const UString& line);
  void Insert(int index, const UString& line);
  void Put(int index, const UString& line);
  void Delete(int index);
  void Clear();
  // Replaces the lines by those of `text` (split at CR LF, LF or CR).
  void SetText(const UString& text);
  void Assign(const std::vector<UString>& lines);

  // The line whose name part (before the first "=") equals `name` ignoring
  // case; failing that, for a name without ".", the line of the provider's
  // name + "." + `name`. -1 when there is none.
  int IndexOfName(const UString& name) const;
  // The value part of that line; empty when there is none.
  UString Values(const UString& name) const;
  // Writes the value part; an empty value removes the line.
  void SetValues(const UString& name, const UString& value);

 private:
  friend class TSpecificOptionsHolder;
  explicit TSpecificOptionsList(TSpecificOptionsHolder& holder) : FHolder(holder) {}

  // A line that is not empty and not prefixed, with the provider's prefix.
  UString Complete(const UString& line) const;
  // Runs `change` between the holder's two notices.
  template <typename Change>
  void Changing(Change change);

  TSpecificOptionsHolder& FHolder;
  std::vector<UString> FLines;
};

// Owns an option text and hears its changes. `getProvider` resolves the
// owner's provider; it raises when there is none.
class TSpecificOptionsHolder {
 public:
  explicit TSpecificOptionsHolder(std::function<TVixProvider&()> getProvider);
  virtual ~TSpecificOptionsHolder();
  TSpecificOptionsHolder(const TSpecificOptionsHolder&) = delete;
  TSpecificOptionsHolder& operator=(const TSpecificOptionsHolder&) = delete;

  TSpecificOptionsList& Values() { return FValues; }
  const TSpecificOptionsList& Values() const { return FValues; }
  bool GetIsModified() const { return FIsModified; }
  void SetIsModified(bool value) { FIsModified = value; }
  TVixProvider& GetProvider() const { return FGetProvider(); }

 protected:
  friend class TSpecificOptionsList;
  // Before every change of the text (the owner may close its connection).
  virtual void ValuesChanging() {}
  // After every change: the text counts as modified.
  virtual void ValuesChanged() { FIsModified = true; }

 private:
  std::function<TVixProvider&()> FGetProvider;
  TSpecificOptionsList FValues{*this};
  bool FIsModified = false;
};

}  // namespace vix
