// The query on a universal connection: its record set and dataset options
// come from the connection's provider.
#include <typeindex>
#include <typeinfo>

#include "Common/DASQLGenerator.h"
#include "universal/Vix.h"

namespace vix {

TVixDataSetSpecificOptions::TVixDataSetSpecificOptions(TCustomDADataSet& owner)
    : TSpecificOptionsHolder([&owner]() -> TVixProvider& {
        auto* connection = dynamic_cast<TVixConnection*>(owner.GetConnection());
        if (!connection) DatabaseError(u"Connection is not defined");
        return connection->CheckProvider();
      }) {}

TCustomVixDataSet::TCustomVixDataSet() = default;
TCustomVixDataSet::~TCustomVixDataSet() {
  // Closed here, while the overrides of this class still run.
  try {
    Close();
  } catch (...) {
  }
}

TVixConnection* TCustomVixDataSet::VixConnection() const {
  return dynamic_cast<TVixConnection*>(GetConnection());
}

TVixProvider& TCustomVixDataSet::Provider() const {
  TVixConnection* connection = VixConnection();
  if (!connection) DatabaseError(u"Connection is not defined");
  return connection->CheckProvider();
}

std::unique_ptr<TZelRecordSet> TCustomVixDataSet::CreateIRecordSet() {
  TVixProvider& provider = Provider();
  const TZelRecordSetClass recordSetClass = provider.GetRecordSetClass();
  if (!recordSetClass.Create) DatabaseError(u"Operation is not supported by the provider", this);
  return recordSetClass.Create();
}

bool TCustomVixDataSet::IsIRecordSetOfProvider(const TZelRecordSet& recordSet) const {
  TVixConnection* connection = VixConnection();
  TVixProvider* provider = connection ? connection->GetProvider() : nullptr;
  return provider && std::type_index(typeid(recordSet)) == provider->GetRecordSetClass().Type;
}

std::unique_ptr<TZelRecordSet> TCustomVixDataSet::CreateScanRecordSet() const {
  TVixConnection* connection = VixConnection();
  TVixProvider* provider = connection ? connection->GetProvider() : nullptr;
  if (!provider || !provider->GetRecordSetClass().Create) return nullptr;
  return provider->GetRecordSetClass().Create();
}

void TCustomVixDataSet::ApplySpecificOptions(TZelRecordSet& recordSet) {
  TObjectOptionTarget<TZelCommand> command(*recordSet.GetCommand(), otCommand);
  TObjectOptionTarget<TZelRecordSet> target(recordSet, otRecordSet, &command);
  Provider().SetObjectProps(target, SpecificOptions().Lines());
  // The dataset options of the updater (CheckRowVersion, ...) follow too.
  ApplyUpdaterOptions(Updater());
  FSpecificOptions.SetIsModified(false);
}

void TCustomVixDataSet::ApplyUpdaterOptions(TDADataSetUpdater& updater) {
  TObjectOptionTarget<TDADataSetUpdater> target(updater, otDataSetService);
  Provider().SetObjectProps(target, SpecificOptions().Lines());
}

void TCustomVixDataSet::OpenCursor() {
  // Options changed since the record set was made apply at this open.
  if (GetIRecordSet() && FSpecificOptions.GetIsModified() && IsIRecordSetOfProvider(*GetIRecordSet()))
    ApplySpecificOptions(*GetIRecordSet());
  TCustomDADataSet::OpenCursor();
}

std::unique_ptr<TDADataSetUpdater> TCustomVixDataSet::CreateUpdater() {
  std::unique_ptr<TDADataSetUpdater> updater = Provider().CreateDataSetUpdater(*this);
  ApplyUpdaterOptions(*updater);
  return updater;
}

UString TCustomVixDataSet::ProcessFinalSQL(UString sql) const {
  TVixConnection* connection = VixConnection();
  if (connection && connection->GetProvider() && GetIRecordSet()) connection->ExpandSqlNotation(sql);
  return sql;
}

TVixQuery::TVixQuery() = default;
TVixQuery::~TVixQuery() = default;

}  // namespace vix
