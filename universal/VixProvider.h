// The provider registry of the universal layer and the provider base class.
// The option classes are in VixOptions.h, the SQL notation formatter in
// VixSqlFormatter.h; both come with this header.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <typeindex>
#include <typeinfo>
#include <vector>

#include "Common/DASQLGenerator.h"
#include "Common/DAScript.h"
#include "Common/DBTypes.h"
#include "Common/ZelAccess.h"
#include "Common/ZelConnectionPool.h"
#include "Common/ZelParser.h"
#include "rtl/UString.h"
#include "universal/VixOptions.h"
#include "universal/VixSqlFormatter.h"

namespace vix {

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
  // Pooling: new parameters of the provider's class, and the provider's
  // process-wide pooling manager; none in the base (a connection with
  // Pooling on then makes its own provider connection).
  virtual std::unique_ptr<TZelConnectionParameters> CreateConnectionParameters() const { return nullptr; }
  virtual TZelConnectionPoolManager* GetConnectionPoolingManager() const { return nullptr; }

  virtual bool IsDatabaseSupported() const { return false; }
  virtual bool IsPortSupported() const { return false; }
  virtual bool IsDataSetNeedTransaction() const { return false; }
  virtual bool IsInOutParamSupported() const { return true; }
  virtual bool IsPoolingSupported() const { return true; }
  virtual bool NeedRecreateProcCall() const { return false; }
  virtual bool NeedComplexUpdateFieldDefList() const { return false; }
  virtual UString DefaultTableSchema() const { return UString(); }
  // The rules the script component cuts this dialect's scripts by.
  virtual std::unique_ptr<TDAScriptProcessor> CreateScriptProcessor() const;
  // The updater that writes a dataset's changes in this dialect.
  virtual std::unique_ptr<TDADataSetUpdater> CreateDataSetUpdater(TCustomDADataSet& dataSet) const;

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

  // One provider serves every connection of the process, from any thread:
  // the lists are made once, under this lock, and only read afterwards.
  std::mutex FOptionsLock;
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

// The process-wide registry: the 13 known provider names in a fixed order,
// each with the provider registered under it (owned, freed with the registry
// at exit). Names match ignoring ASCII case, nothing trimmed. Every operation
// holds the registry's lock.
//
// Registration is explicit: a provider unit exports a registration function
// (RegisterMySQLVixProvider()) that the program calls at start-up and tests
// call themselves. A self-registering static object would not do: an object
// file of a static library that nothing references is left out by the
// linker, its static initialiser with it, and the provider would silently be
// missing.
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

// The registry, created on first use (a function-local static, so it exists
// before anyone registers, whatever the order of static initialisation).
TVixProviders& VixProviders();

// "<name> provider is not registered. You should add ..." for a known name,
// "<name> is not a valid provider name" for any other.
[[noreturn]] void RaiseProviderNotRegistered(UStringView name);

}  // namespace vix
