// The provider registry of the universal layer, the provider base class, the
// typed provider-specific options and their option text, and the formatter
// that rewrites the universal SQL notation into a provider's own syntax.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <typeindex>
#include <typeinfo>
#include <utility>
#include <vector>

#include "Common/DBTypes.h"
#include "Common/ZelAccess.h"
#include "Common/ZelParser.h"
#include "rtl/SysUtils.h"
#include "rtl/UString.h"
#include "rtl/Variant.h"

namespace vix {

// ---------------------------------------------------------------------------
// Options
// ---------------------------------------------------------------------------

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
  TBooleanOption(UString name, int32_t internalIndex, std::vector<std::type_index> internalClasses,
                 bool defaultValue);
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

// ---------------------------------------------------------------------------
// SQL notation
// ---------------------------------------------------------------------------

// A name -> text table of the formatter (functions or predefined macros):
// unsorted, names compared ignoring case, the first match wins.
using TNameTextTable = std::vector<std::pair<UString, UString>>;
const UString* FindInTable(const TNameTextTable& table, UStringView name);

// Rewrites the universal notation (brace constructs, double-quoted names,
// dash comments) into a provider's syntax. A provider derives a formatter
// that installs its function and macro tables and its quotes.
class TVixSqlFormatter {
 public:
  TVixSqlFormatter();
  virtual ~TVixSqlFormatter();
  TVixSqlFormatter(const TVixSqlFormatter&) = delete;
  TVixSqlFormatter& operator=(const TVixSqlFormatter&) = delete;

  // The active user macros (upper-case names, values at the same index); the
  // lists belong to the caller and must outlive their use here.
  void SetUserMacros(const std::vector<UString>* names, const std::vector<UString>* values);
  void SetParserClass(TParserClass value) { FParserClass = value; }
  TParserClass GetParserClass() const { return FParserClass; }

  // Rewrites `sql`; on failure it stays as it was.
  void Expand(UString& sql) const;
  // An empty condition holds; otherwise the trimmed, upper-cased body must be
  // the name of an active user macro or of a predefined macro.
  bool CheckIfCondition(UStringView body) const;

  virtual char16_t LeftQuote() const { return u'"'; }
  virtual char16_t RightQuote() const { return u'"'; }

 protected:
  // The text for a function that is not in the table. Raises
  // "Unknown function: <name>".
  virtual UString FormatUnknownFunction(const UString& name, const std::vector<UString>& args) const;

  // Installed by the provider's formatter; shared, owned by the provider's unit.
  const TNameTextTable* FFunctions = nullptr;
  const TNameTextTable* FPredefinedMacros = nullptr;

 private:
  UString ExpandText(const UString& text, int depth) const;
  UString ExpandLexemes(TParser& parser, const UString* terminator, int depth) const;
  UString FormatFunction(const UString& body) const;
  UString FormatLiteral(const UString& body, const char16_t* tableName, const char16_t* message) const;
  UString ExpandMacro(const UString& name, const UString& body, int depth) const;
  const UString& FunctionTemplate(const char16_t* name) const;

  const std::vector<UString>* FUserMacroNames = nullptr;
  const std::vector<UString>* FUserMacroValues = nullptr;
  TParserClass FParserClass = NewParser<TSQLParser>;
};

// Fills a function template: "%s" takes the next argument, "%0:s".."%9:s" the
// one at that position, "%%" is a percent sign. Raises
// "No argument for format '<directive>'" when an argument is missing.
UString FormatTemplate(UStringView pattern, const std::vector<UString>& args);

// A formatter class as a value: its type, and how to make one.
struct TVixSqlFormatterClass {
  std::type_index Type;
  std::unique_ptr<TVixSqlFormatter> (*Create)();
};
template <typename T>
TVixSqlFormatterClass VixSqlFormatterClass() {
  return {typeid(T), [] { return std::unique_ptr<TVixSqlFormatter>(std::make_unique<T>()); }};
}

// ---------------------------------------------------------------------------
// Providers and their registry
// ---------------------------------------------------------------------------

// A provider connection class as a value: its type, and how to make one.
// None (no `Create`) for a provider without a connection of its own.
struct TZelConnectionClass {
  std::type_index Type = typeid(void);
  std::unique_ptr<TZelConnection> (*Create)() = nullptr;
};
template <typename T>
TZelConnectionClass ZelConnectionClass() {
  return {typeid(T), [] { return std::unique_ptr<TZelConnection>(std::make_unique<T>()); }};
}

// A provider record set class as a value, the same way.
struct TZelRecordSetClass {
  std::type_index Type = typeid(void);
  std::unique_ptr<TZelRecordSet> (*Create)() = nullptr;
};
template <typename T>
TZelRecordSetClass ZelRecordSetClass() {
  return {typeid(T), [] { return std::unique_ptr<TZelRecordSet>(std::make_unique<T>()); }};
}

// A database provider: what it supports, its option lists, its lexer and SQL
// formatter, and the classes of its connection and record set.
class TVixProvider {
 public:
  TVixProvider();
  virtual ~TVixProvider();
  TVixProvider(const TVixProvider&) = delete;
  TVixProvider& operator=(const TVixProvider&) = delete;

  virtual UString GetProviderName() const = 0;

  virtual TParserClass GetParserClass() const = 0;
  virtual TVixSqlFormatterClass GetSqlFormatterClass() const = 0;
  // The class of the provider's connection; none in the base.
  virtual TZelConnectionClass GetConnectionClass() const { return {}; }
  // The class of the provider's record set (which makes its command); none in the base.
  virtual TZelRecordSetClass GetRecordSetClass() const { return {}; }

  virtual bool IsDatabaseSupported() const { return false; }
  virtual bool IsPortSupported() const { return false; }
  virtual bool IsDataSetNeedTransaction() const { return false; }
  virtual bool IsInOutParamSupported() const { return true; }
  virtual bool IsPoolingSupported() const { return true; }
  virtual bool NeedRecreateProcCall() const { return false; }
  virtual bool NeedComplexUpdateFieldDefList() const { return false; }
  virtual UString DefaultTableSchema() const { return UString(); }

  // Each list is built on first request, prefixed with the provider's name,
  // and kept for the provider's life.
  TOptionsList& GetConnectionOptions();
  TOptionsList& GetSQLOptions();
  TOptionsList& GetDataSetOptions();
  TOptionsList& GetScriptOptions();
  TOptionsList& GetLoaderOptions();
  TOptionsList& GetDumpOptions();
  TOptionsList& GetAlerterOptions();

  // Assigns the options of the list that fits the target (every applicable
  // option, from the text or its default). A record set takes the dataset
  // options, and its command takes them after it. Anything else: nothing.
  virtual void SetObjectProps(TOptionTarget& target, std::span<const UString> options);

 protected:
  // Fill a new list; the connection, SQL and dataset lists are the
  // provider's own, the others are empty unless a provider has them.
  virtual void CreateConnectionOptions(TOptionsList& list) = 0;
  virtual void CreateSQLOptions(TOptionsList& list) = 0;
  virtual void CreateDataSetOptions(TOptionsList& list) = 0;
  virtual void CreateScriptOptions(TOptionsList&) {}
  virtual void CreateLoaderOptions(TOptionsList&) {}
  virtual void CreateDumpOptions(TOptionsList&) {}
  virtual void CreateAlerterOptions(TOptionsList&) {}

 private:
  TOptionsList& Lazy(std::unique_ptr<TOptionsList>& list, void (TVixProvider::*create)(TOptionsList&));

  std::unique_ptr<TOptionsList> FConnectionOptions, FSQLOptions, FDataSetOptions, FScriptOptions, FLoaderOptions,
      FDumpOptions, FAlerterOptions;
};

// A provider class as a value: its name, and how to make an instance.
struct TVixProviderClass {
  UString (*ProviderName)();
  std::unique_ptr<TVixProvider> (*Create)();
};

// For a provider class with `static UString ClassProviderName()`.
template <typename T>
TVixProviderClass VixProviderClass() {
  return {&T::ClassProviderName, [] { return std::unique_ptr<TVixProvider>(std::make_unique<T>()); }};
}

// One known provider name.
struct TVixProviderDesc {
  UString ProviderName;
  UString ProviderShortName;  // without blanks
  std::unique_ptr<TVixProvider> Provider;
};

// The process-wide registry: the known provider names, each with the
// provider registered under it. Every operation holds the registry's lock.
class TVixProviders {
 public:
  TVixProviders();
  ~TVixProviders();
  TVixProviders(const TVixProviders&) = delete;
  TVixProviders& operator=(const TVixProviders&) = delete;

  // Makes an instance of the class and keeps it under the class's name.
  // Registering a class whose name already has a provider changes nothing.
  // Raises "<name> is not a valid provider name" for an unknown name.
  void RegisterProvider(const TVixProviderClass& cls);
  // Frees the provider registered under the class's name.
  void UnRegisterProvider(const TVixProviderClass& cls);
  // Raises "<name> is not a valid provider name" for an unknown name. The
  // descriptor lives as long as the registry.
  TVixProviderDesc& GetProviderDesc(UStringView name);
  // The provider registered under `name`, or none.
  TVixProvider* GetProvider(UStringView name);
  // The names that have a provider, in registry order.
  void GetProviderNames(std::vector<UString>& list);
  // The names of every descriptor, in registry order.
  std::vector<UString> GetDescriptorNames();

 private:
  TVixProviderDesc* Find(UStringView name);
  TVixProviderDesc& FindOrRaise(UStringView name);

  std::mutex FLock;
  std::vector<std::unique_ptr<TVixProviderDesc>> FList;
};

// The registry, created on first use.
TVixProviders& VixProviders();

// "<name> provider is not registered. You should add ..." for a known name,
// "<name> is not a valid provider name" for any other.
[[noreturn]] void RaiseProviderNotRegistered(UStringView name);

}  // namespace vix
