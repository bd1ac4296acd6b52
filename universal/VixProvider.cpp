#include "universal/VixProvider.h"

#include <algorithm>

#include "Common/ZelAccess.h"

namespace vix {

namespace {

// Registry names: ASCII letters compared without case, everything else exactly.
bool SameTextAscii(UStringView a, UStringView b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - 0x20);
    if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - 0x20);
    if (x != y) return false;
  }
  return true;
}

[[noreturn]] void InvalidProviderName(UStringView name) {
  throw Exception(Format(u"%s is not a valid provider name", {name}));
}

}  // namespace

TVixProvider::TVixProvider() = default;

TVixProvider::~TVixProvider() = default;

TOptionsList& TVixProvider::Lazy(std::unique_ptr<TOptionsList>& list, void (TVixProvider::*create)(TOptionsList&)) {
  const std::lock_guard<std::mutex> lock(FOptionsLock);
  if (!list) {
    auto made = std::make_unique<TOptionsList>(GetProviderName());
    (this->*create)(*made);
    list = std::move(made);
  }
  return *list;
}

TOptionsList& TVixProvider::GetConnectionOptions() {
  return Lazy(FConnectionOptions, &TVixProvider::CreateConnectionOptions);
}
TOptionsList& TVixProvider::GetSQLOptions() {
  return Lazy(FSQLOptions, &TVixProvider::CreateSQLOptions);
}
TOptionsList& TVixProvider::GetDataSetOptions() {
  return Lazy(FDataSetOptions, &TVixProvider::CreateDataSetOptions);
}
TOptionsList& TVixProvider::GetScriptOptions() {
  return Lazy(FScriptOptions, &TVixProvider::CreateScriptOptions);
}
TOptionsList& TVixProvider::GetLoaderOptions() {
  return Lazy(FLoaderOptions, &TVixProvider::CreateLoaderOptions);
}
TOptionsList& TVixProvider::GetDumpOptions() {
  return Lazy(FDumpOptions, &TVixProvider::CreateDumpOptions);
}
TOptionsList& TVixProvider::GetAlerterOptions() {
  return Lazy(FAlerterOptions, &TVixProvider::CreateAlerterOptions);
}

void TVixProvider::SetObjectProps(TOptionTarget& target, std::span<const UString> options) {
  switch (target.Kind()) {
    case otConnection:
    case otConnectionParameters:
    case otServerEnumerator:
    case otConnectDialogService: GetConnectionOptions().ImportOptions(options, target); break;
    case otCommand: GetSQLOptions().ImportOptions(options, target); break;
    case otRecordSet:
      GetDataSetOptions().ImportOptions(options, target);
      if (TOptionTarget* command = target.Command()) GetDataSetOptions().ImportOptions(options, *command);
      break;
    case otDataSetService: GetDataSetOptions().ImportOptions(options, target); break;
    case otScriptProcessor: GetScriptOptions().ImportOptions(options, target); break;
    case otLoader: GetLoaderOptions().ImportOptions(options, target); break;
    case otDumpProcessor: GetDumpOptions().ImportOptions(options, target); break;
    case otAlerter: GetAlerterOptions().ImportOptions(options, target); break;
    case otOther: break;
  }
}

// --- registry ------------------------------------------------------------------

TVixProviders::TVixProviders() {
  // clang-format off
  static const char16_t* const names[][2] = {
      {u"Access", u"Access"},         {u"Advantage", u"Advantage"},   {u"ASE", u"ASE"},
      {u"DB2", u"DB2"},               {u"DBF", u"DBF"},               {u"InterBase", u"InterBase"},
      {u"MySQL", u"MySQL"},           {u"NexusDB", u"NexusDB"},       {u"ODBC", u"ODBC"},
      {u"Oracle", u"Oracle"},         {u"PostgreSQL", u"PostgreSQL"}, {u"SQL Server", u"SQLServer"},
      {u"SQLite", u"SQLite"},
  };
  // clang-format on
  for (const auto& name : names) {
    auto desc = std::make_unique<TVixProviderDesc>();
    desc->ProviderName = name[0];
    desc->ProviderShortName = name[1];
    FList.push_back(std::move(desc));
  }
}

TVixProviders::~TVixProviders() = default;

TVixProviderDesc* TVixProviders::Find(UStringView name) {
  for (const auto& desc : FList)
    if (SameTextAscii(desc->ProviderName, name)) return desc.get();
  return nullptr;
}

TVixProviderDesc& TVixProviders::FindOrRaise(UStringView name) {
  TVixProviderDesc* desc = Find(name);
  if (!desc) InvalidProviderName(name);
  return *desc;
}

void TVixProviders::RegisterProvider(const TVixProviderClass& cls) {
  const UString name = cls.ProviderName();
  std::lock_guard<std::mutex> lock(FLock);
  TVixProviderDesc& desc = FindOrRaise(name);
  if (!desc.Provider) desc.Provider = cls.Create();
}

void TVixProviders::UnRegisterProvider(const TVixProviderClass& cls) {
  const UString name = cls.ProviderName();
  std::unique_ptr<TVixProvider> old;
  {
    std::lock_guard<std::mutex> lock(FLock);
    old = std::move(FindOrRaise(name).Provider);
  }
}

TVixProviderDesc& TVixProviders::GetProviderDesc(UStringView name) {
  std::lock_guard<std::mutex> lock(FLock);
  return FindOrRaise(name);
}

TVixProvider* TVixProviders::GetProvider(UStringView name) {
  std::lock_guard<std::mutex> lock(FLock);
  const TVixProviderDesc* desc = Find(name);
  return desc ? desc->Provider.get() : nullptr;
}

void TVixProviders::GetProviderNames(std::vector<UString>& list) {
  std::lock_guard<std::mutex> lock(FLock);
  list.clear();
  for (const auto& desc : FList)
    if (desc->Provider) list.push_back(desc->ProviderName);
}

std::vector<UString> TVixProviders::GetDescriptorNames() {
  std::lock_guard<std::mutex> lock(FLock);
  std::vector<UString> names;
  for (const auto& desc : FList) names.push_back(desc->ProviderName);
  return names;
}

TVixProviders& VixProviders() {
  static TVixProviders registry;
  return registry;
}

void RaiseProviderNotRegistered(UStringView name) {
  const UString shortName = VixProviders().GetProviderDesc(name).ProviderShortName;
  throw Exception(Format(
      u"%s provider is not registered. You should add the %s unit to the uses clause of any unit in your project "
      u"or place the %s component on the form.",
      {name, shortName + u"VixProvider", u"T" + shortName + u"VixProvider"}));
}

std::unique_ptr<TDAScriptProcessor> TVixProvider::CreateScriptProcessor() const {
  return std::make_unique<TDAScriptProcessor>();
}

std::unique_ptr<TDADataSetUpdater> TVixProvider::CreateDataSetUpdater(TCustomDADataSet& dataSet) const {
  return std::make_unique<TDADataSetUpdater>(dataSet);
}

}  // namespace vix
