// The MySQL refinements of the update statements: the updating table and the
// key fields from the result's column facts, the lock clause, and the
// positions of the "?" markers handed to the command, which then splices the
// rendered values in without scanning the text again.
#pragma once

#include <memory>
#include <vector>

#include "Common/DASQLGenerator.h"

namespace vix {

class TMySQLFieldDesc;

class TCustomMySQLGenerator : public TDASQLGenerator {
 public:
  using TDASQLGenerator::TDASQLGenerator;

  // The dataset's UpdatingTable (a table or alias of the result, "Wrong
  // UpdatingTable value - table %s is unknown" otherwise), else the first
  // table of the result.
  UString UpdatingTableName() const override;
  bool IsUpdatingTableField(const TFieldDesc& desc) const override;

  // Lock type: 0 exclusive ("FOR UPDATE"), 1 shared ("LOCK IN SHARE MODE").
  int LockType = 0;

 protected:
  // The primary key's columns (the server reports a unique index of NOT NULL
  // columns as the primary key when the table has none); else a column that
  // alone is a unique key and NOT NULL; never a column of a non-unique index.
  std::vector<const TFieldDesc*> DefaultKeyFields(const std::vector<const TFieldDesc*>& candidates) const override;
  UString LockClause() const override;

 private:
  const TMySQLFieldDesc* MyDesc(const TFieldDesc& desc) const;
};

class TCustomMyDataSetUpdater : public TDADataSetUpdater {
 public:
  using TDADataSetUpdater::TDADataSetUpdater;

 protected:
  std::unique_ptr<TDASQLGenerator> CreateGenerator() override;
  void SetParamPositions(TZelCommand& command, const std::vector<size_t>& positions) override;
  bool SupportsBatches() const override { return true; }
  int64_t TotalRowsAffected() override;
};

}  // namespace vix
