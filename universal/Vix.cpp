#include "universal/Vix.h"

#include <algorithm>

#include "Common/ZelAccess.h"
#include "rtl/SysUtils.h"

namespace vix {

// --- TVixMacro -------------------------------------------------------------------

void TVixMacro::Set(UString& field, const UString& value) {
  if (field == value) return;
  field = value;
  FOwner.Changed();
}

// --- TVixMacros ------------------------------------------------------------------

TVixMacros::TVixMacros() = default;

TVixMacros::~TVixMacros() = default;

void TVixMacros::Changed() {
  if (FUpdateCount > 0) {
    FUpdateChanged = true;
    return;
  }
  FChanged = true;
  ++FVersion;
}

void TVixMacros::EndUpdate() {
  if (FUpdateCount > 0 && --FUpdateCount == 0 && FUpdateChanged) {
    FUpdateChanged = false;
    Changed();
  }
}

TVixMacro* TVixMacros::Add(const UString& name, const UString& value, const UString& condition) {
  BeginUpdate();
  FItems.push_back(std::unique_ptr<TVixMacro>(new TVixMacro(*this)));
  TVixMacro* macro = FItems.back().get();
  macro->FName = name;
  macro->FValue = value;
  macro->FCondition = condition;
  Changed();
  EndUpdate();
  return macro;
}

TVixMacro* TVixMacros::FindMacro(UStringView name) const {
  for (const auto& item : FItems)
    if (SameText(item->GetName(), name)) return item.get();
  return nullptr;
}

TVixMacro* TVixMacros::MacroByName(const UString& name) {
  if (TVixMacro* macro = FindMacro(name)) return macro;
  return Add(name, UString());
}

TVixMacro* TVixMacros::Items(int index) const {
  if (index < 0 || index >= Count()) ListIndexError(index);
  return FItems[static_cast<size_t>(index)].get();
}

void TVixMacros::Delete(int index) {
  Items(index);
  FItems.erase(FItems.begin() + index);
  Changed();
}

void TVixMacros::Clear() {
  if (FItems.empty()) return;
  FItems.clear();
  Changed();
}

bool TVixMacros::EvaluateMacroCondition(const TVixSqlFormatter& formatter, int depth, const UString& cond) const {
  if (Count() < depth) throw Exception(u"Cyclic macros conditions");
  if (formatter.CheckIfCondition(cond)) return true;
  for (const auto& item : FItems) {
    if (UpperCase(item->GetName()) != cond) continue;
    const UString itemCond = Trim(UpperCase(item->GetCondition()));
    if (itemCond.empty() || EvaluateMacroCondition(formatter, depth + 1, itemCond)) return true;
  }
  return false;
}

void TVixMacros::RebuildActiveMacros(const TVixSqlFormatter& formatter) {
  FActiveNames.clear();
  FActiveValues.clear();
  std::vector<UString> unconditional;  // names that unconditional items have set
  for (const auto& item : FItems) {
    const UString cond = Trim(UpperCase(item->GetCondition()));
    if (!cond.empty() && !EvaluateMacroCondition(formatter, 1, cond)) continue;
    const UString name = UpperCase(item->GetName());
    const auto at =
        std::find_if(FActiveNames.begin(), FActiveNames.end(), [&](const UString& n) { return SameText(n, name); });
    if (at == FActiveNames.end()) {
      FActiveNames.push_back(name);
      FActiveValues.push_back(item->GetValue());
    } else if (!cond.empty()) {
      const auto set = std::find(unconditional.begin(), unconditional.end(), name);
      if (set != unconditional.end()) {
        FActiveValues[static_cast<size_t>(at - FActiveNames.begin())] = item->GetValue();
        unconditional.erase(set);
      }
    }
    if (cond.empty()) unconditional.push_back(name);
  }
  FChanged = false;
}

// --- TVixSqlNotation -------------------------------------------------------------

namespace {

bool IsFormatterOf(const TVixSqlFormatter& formatter, const TVixSqlFormatterClass& cls) {
  return std::type_index(typeid(formatter)) == cls.Type;
}

}  // namespace

TVixSqlFormatter& TVixSqlNotation::Prepare(TVixProvider& provider) {
  const TVixSqlFormatterClass cls = provider.GetSqlFormatterClass();
  if (!Formatter || !IsFormatterOf(*Formatter, cls)) {
    Formatter.reset();
    Formatter = cls.Create();
    Formatter->SetUserMacros(&Macros.ActiveNames(), &Macros.ActiveValues());
    Formatter->SetParserClass(provider.GetParserClass());
  }
  if (Macros.GetChanged()) Macros.RebuildActiveMacros(*Formatter);
  return *Formatter;
}

void TVixSqlNotation::ExpandSqlNotation(TVixProvider* provider, UString& sql) {
  if (!provider) return;
  Prepare(*provider).Expand(sql);
}

Variant TVixSqlNotation::ActiveMacroValueByName(TVixProvider* provider, UStringView name) {
  if (!provider) return Variant();
  Prepare(*provider);
  const auto& names = Macros.ActiveNames();
  for (size_t i = 0; i < names.size(); ++i)
    if (SameText(names[i], name)) return Variant(Macros.ActiveValues()[i]);
  return Variant();
}

// --- EVixError ----------------------------------------------------------------------

EVixError::EVixError(const EDAError& error, std::exception_ptr inner)
    : EDAError(error.ErrorCode(), error.Message()),
      FInnerError(std::move(inner)),
      FFatal(error.IsFatalError()),
      FKeyViolation(error.IsKeyViolation()) {
  SetComponent(error.Component());
}

namespace {

// Inside a handler of a provider error: raise it again as EVixError (an
// EVixError as it is).
[[noreturn]] void RaiseAsVixError(const EDAError& error) {
  if (dynamic_cast<const EVixError*>(&error)) throw;
  throw EVixError(error, std::current_exception());
}

}  // namespace

// --- TVixConnectionSpecificOptions ---------------------------------------------------

TVixConnectionSpecificOptions::TVixConnectionSpecificOptions(TVixConnection& owner)
    : TSpecificOptionsHolder([&owner]() -> TVixProvider& { return owner.CheckProvider(); }), FOwner(owner) {}

void TVixConnectionSpecificOptions::ValuesChanging() {
  FOwner.Disconnect();
}

// --- TVixConnection -------------------------------------------------------------------

TVixConnection::TVixConnection() = default;

TVixConnection::~TVixConnection() {
  Destroying();
}

TVixProvider& TVixConnection::CheckProvider() {
  if (!FProvider) {
    if (FProviderName.empty()) throw EDatabaseError(u"Provider is not defined");
    // The provider may have been registered after the name was set.
    FProvider = VixProviders().GetProvider(FProviderName);
    if (!FProvider) RaiseProviderNotRegistered(FProviderName);
  }
  return *FProvider;
}

void TVixConnection::SetProviderName(const UString& value) {
  if (GetConnected()) throw EDatabaseError(u"This operation is not allowed on active connection");
  const UString name = Trim(value);
  if (!SameText(name, FProviderName)) {
    FProvider = name.empty() ? nullptr : VixProviders().GetProvider(name);
    ReleaseProviderConnection();
    FNotation.Macros.SetChanged();
  }
  FProviderName = name;
}

void TVixConnection::SetPort(int32_t value) {
  if (value == FPort) return;
  Disconnect();
  FPort = value;
  SetProviderProp(prPort, value);
}

void TVixConnection::SetDatabase(const UString& value) {
  const UString name = Trim(value);
  if (name == FDatabase) return;
  TZelConnection* connection = ProviderConnection();
  // A pooled session stays in the database of its pool.
  if (GetConnected() && (!connection->CanChangeDatabase() || connection->GetPool())) Disconnect();
  // The provider first: when an open connection cannot switch, the name
  // stays as it was, so that setting it again tries again.
  SetProviderProp(prDatabase, name);
  FDatabase = name;
}

void TVixConnection::ApplySpecificOptions(TVixProvider& provider) {
  TObjectOptionTarget<TZelConnection> target(*ProviderConnection(), otConnection);
  provider.SetObjectProps(target, SpecificOptions().Lines());
  FSpecificOptions.SetIsModified(false);
}

bool TVixConnection::TakePooledConnection(TVixProvider& provider) {
  TZelConnectionPoolManager* manager = provider.GetConnectionPoolingManager();
  std::unique_ptr<TZelConnectionParameters> parameters = provider.CreateConnectionParameters();
  if (!manager || !parameters) return false;
  // A connection held from an earlier connect (a pooled one whose session was
  // lost, or one made before Pooling was on) goes first.
  ReleaseProviderConnection();
  const TPoolingOptions& pooling = PoolingOptions();
  parameters->MinPoolSize = pooling.GetMinPoolSize();
  parameters->MaxPoolSize = pooling.GetMaxPoolSize();
  parameters->ConnectionLifeTime = pooling.GetConnectionLifetime();
  parameters->Validate = pooling.GetValidate();
  parameters->Username = GetUsername();
  parameters->Password = GetPassword();
  parameters->Server = GetServer();
  parameters->OnError = [this](EDAError& E, bool& Fail, bool& Reconnect, bool& Reexecute, int attempt,
                               TConnLostCause& cause) { HandleError(E, Fail, Reconnect, Reexecute, attempt, cause); };
  if (provider.IsDatabaseSupported()) parameters->SetProp(prDatabase, FDatabase);
  if (provider.IsPortSupported()) parameters->SetProp(prPort, FPort);
  TObjectOptionTarget<TZelConnectionParameters> target(*parameters, otConnectionParameters);
  provider.SetObjectProps(target, SpecificOptions().Lines());
  std::unique_ptr<TZelConnection> connection = manager->GetConnection(*parameters);
  connection->SetProp(prDisconnectedMode, Options().GetDisconnectedMode());
  connection->SetProp(prEnableBCD, Options().GetEnableBCD());
  connection->SetProp(prEnableFMTBCD, Options().GetEnableFMTBCD());
  AttachProviderConnection(std::move(connection));
  // The options the pool's settings do not hold (how values are decoded).
  ApplySpecificOptions(provider);
  return true;
}

void TVixConnection::CreateProviderConnection() {
  TVixProvider& provider = CheckProvider();
  if (GetPooling() && provider.IsPoolingSupported() && TakePooledConnection(provider)) return;
  if (ProviderConnection() && ProviderConnection()->GetPool()) ReleaseProviderConnection();
  if (!ProviderConnection()) {
    const TZelConnectionClass cls = provider.GetConnectionClass();
    if (!cls.Create) throw Exception(Format(u"%s provider has no connection", {provider.GetProviderName()}));
    std::unique_ptr<TZelConnection> connection = cls.Create();
    if (provider.IsDatabaseSupported()) connection->SetProp(prDatabase, FDatabase);
    if (provider.IsPortSupported()) connection->SetProp(prPort, FPort);
    connection->SetProp(prDisconnectedMode, Options().GetDisconnectedMode());
    connection->SetProp(prEnableBCD, Options().GetEnableBCD());
    connection->SetProp(prEnableFMTBCD, Options().GetEnableFMTBCD());
    AttachProviderConnection(std::move(connection));
    // Every option of the text, or its default, once; again after each change.
    FSpecificOptions.SetIsModified(true);
  }
  if (FSpecificOptions.GetIsModified()) ApplySpecificOptions(provider);
}

void TVixConnection::ConnectProvider() {
  try {
    TCustomDAConnection::ConnectProvider();
  } catch (const EDAError& e) {
    RaiseAsVixError(e);
  }
}

void TVixConnection::ProviderConnected() {
  if (!FDatabase.empty() || !CheckProvider().IsDatabaseSupported()) return;
  Variant database;
  if (ProviderConnection()->GetProp(prDatabase, database)) FDatabase = database.AsString();
}

void TVixConnection::DisconnectProvider() {
  try {
    TCustomDAConnection::DisconnectProvider();
  } catch (const EDAError& e) {
    RaiseAsVixError(e);
  }
}

void TVixConnection::ExpandSqlNotation(UString& sql) {
  FNotation.ExpandSqlNotation(FProviderName.empty() ? nullptr : &CheckProvider(), sql);
}

}  // namespace vix
