// The MySQL generator and updater.
#include "MySql/MyServices.h"

#include "Common/DBAccess.h"
#include "MySql/MyClasses.h"
#include "MySql/MySqlConsts.h"

namespace vix {

const TMySQLFieldDesc* TCustomMySQLGenerator::MyDesc(const TFieldDesc& desc) const {
  return dynamic_cast<const TMySQLFieldDesc*>(&desc);
}

UString TCustomMySQLGenerator::UpdatingTableName() const {
  TZelRecordSet* recordSet = FDataSet.GetIRecordSet();
  if (!recordSet) return UString();
  const TFieldDescs& descs = recordSet->Fields();
  const UString& wanted = FDataSet.GetUpdatingTable();
  for (int i = 0; i < descs.Count(); ++i) {
    const TMySQLFieldDesc* desc = MyDesc(descs[i]);
    if (!desc || desc->FTableName.empty()) continue;
    if (wanted.empty()) return desc->FTableName;
    if (SameText(desc->FTableAlias, wanted) || SameText(desc->FTableName, wanted)) return desc->FTableName;
  }
  if (!wanted.empty()) DatabaseError(u"Wrong UpdatingTable value - table " + wanted + u" is unknown");
  return UString();
}

bool TCustomMySQLGenerator::IsUpdatingTableField(const TFieldDesc& desc) const {
  const TMySQLFieldDesc* my = MyDesc(desc);
  if (!my || my->FTableName.empty()) return false;
  // The updating table is the first one of the result, or the one named:
  // compare with its alias so that a table joined twice counts once.
  TZelRecordSet* recordSet = FDataSet.GetIRecordSet();
  const UString& wanted = FDataSet.GetUpdatingTable();
  const TFieldDescs& descs = recordSet->Fields();
  for (int i = 0; i < descs.Count(); ++i) {
    const TMySQLFieldDesc* first = MyDesc(descs[i]);
    if (!first || first->FTableName.empty()) continue;
    if (!wanted.empty() && !SameText(first->FTableAlias, wanted) && !SameText(first->FTableName, wanted)) continue;
    return my->FTableAlias == first->FTableAlias && my->FTableName == first->FTableName;
  }
  return false;
}

std::vector<const TFieldDesc*> TCustomMySQLGenerator::DefaultKeyFields(
    const std::vector<const TFieldDesc*>& candidates) const {
  std::vector<const TFieldDesc*> key;
  for (const TFieldDesc* desc : candidates) {
    const TMySQLFieldDesc* my = MyDesc(*desc);
    if (my && my->FIsPrimaryKey) key.push_back(desc);
  }
  if (!key.empty()) return key;
  for (const TFieldDesc* desc : candidates) {
    const TMySQLFieldDesc* my = MyDesc(*desc);
    if (my && (my->FFlags & UNIQUE_KEY_FLAG) && (my->FFlags & NOT_NULL_FLAG)) return {desc};
  }
  return {};
}

UString TCustomMySQLGenerator::LockClause() const {
  if (LockType == 0) return u"FOR UPDATE";
  if (LockType == 1) return u"LOCK IN SHARE MODE";
  return UString();
}

std::unique_ptr<TDASQLGenerator> TCustomMyDataSetUpdater::CreateGenerator() {
  return std::make_unique<TCustomMySQLGenerator>(FDataSet);
}

int64_t TCustomMyDataSetUpdater::TotalRowsAffected() {
  auto* command = dynamic_cast<TMySQLCommand*>(Statement().GetCommand());
  return command ? command->RowsAffectedTotal() : TDADataSetUpdater::TotalRowsAffected();
}

void TCustomMyDataSetUpdater::SetParamPositions(TZelCommand& command, const std::vector<size_t>& positions) {
  command.SetProp(prFillParamPosition, true);
  for (size_t position : positions) command.SetProp(prParamPosition, static_cast<int32_t>(position));
}

}  // namespace vix
