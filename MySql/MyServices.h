// The MySQL refinements of the update statements: the updating table (with
// its database) from the result's column facts, the key fields, the
// auto-increment and row-version columns from the server's catalog, the
// lock clause, and the positions of the "?" markers handed to the command,
// which then splices the rendered values in without scanning the text again.
#pragma once

#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "Common/DASQLGenerator.h"
#include "MySql/MyClasses.h"
#include "MySql/MyKeyInfo.h"

namespace vix {

class TMySQLFieldDesc;

// The lock check's comparison of two date-times: equal when they agree in
// date, hour and minute and their seconds and milliseconds differ by less
// than 1000 milliseconds (the server may round or cut a fraction that the
// record still holds). Values that do not decode are not equal.
bool SameLockDateTime(TDateTime a, TDateTime b);

class TCustomMySQLGenerator : public TDASQLGenerator {
 public:
  using TDASQLGenerator::TDASQLGenerator;

  // The dataset's UpdatingTable (a table or alias of the result, "Wrong
  // UpdatingTable value - table %s is unknown" otherwise), else the first
  // table of the result.
  UString UpdatingTableName() const override;
  bool IsUpdatingTableField(const TFieldDesc& desc) const override;

  // What the catalog says about the updating table, for the columns of the
  // result (read once per table and result). A table the catalog does not
  // list (a temporary table) gives the choice of the result's column flags.
  const TMyTableKeyInfo& KeyInfo() const;
  // The result's field of a column of the updating table; null: none.
  const TFieldDesc* UpdatingTableField(const UString& columnName) const;
  void ClearFieldDescRefs() override;

  // A SELECT of a whole table, or with UseHandler the HANDLER statements
  // that read it: "HANDLER t OPEN; HANDLER t READ [HandlerIndex] FIRST
  // [WHERE FilterSQL] LIMIT Offset, Limit; HANDLER t CLOSE" (FIRST left out
  // when HandlerIndex goes on with "=", "<" or ">"). The name is split at
  // its dots outside back quotes and every part quoted; text after the
  // caller's fragments starts on a new line when they hold a comment.
  UString GenerateTableSQL(const UString& tableName, const UString& orderFields) override;
  // Rows of the table query: at most Limit (-1: no limit) from Offset on.
  int32_t Limit = -1;
  int32_t Offset = 0;
  bool UseHandler = false;
  // The index the HANDLER form reads along, with an optional position
  // ("idx = (5)"); stored trimmed.
  const UString& HandlerIndex() const { return FHandlerIndex; }
  void SetHandlerIndex(const UString& value);
  // A condition on the rows of the table query (SQL).
  UString FilterSQL;

  // Lock type: 0 exclusive ("FOR UPDATE"), 1 shared ("LOCK IN SHARE MODE").
  int LockType = 0;
  // The dataset option CheckRowVersion.
  bool RowVersionCheck = false;

 protected:
  // The key fields of KeyInfo: the primary key's columns, else those of a
  // unique index whose columns are all NOT NULL; all of them in the result.
  // Never a non-unique index.
  std::vector<const TFieldDesc*> DefaultKeyFields(const std::vector<const TFieldDesc*>& candidates) const override;
  UString LockClause() const override;
  // `db`.`table` when the result names the table's database.
  UString QualifiedTableName(const UString& tableName) const override;
  bool CheckRowVersion() const override { return RowVersionCheck; }
  UString RefreshColumnPrefix() const override;
  const TFieldDesc* RowVersionField() const override;
  // A row version with a fraction finer than the record holds (it keeps
  // milliseconds) is compared over the millisecond the old value names.
  void AddRowVersionCondition(UString& builder, const TFieldDesc& desc, const uint8_t* oldBuf,
                              size_t builderNo) override;

 private:
  const TMySQLFieldDesc* MyDesc(const TFieldDesc& desc) const;
  // The first descriptor of the updating table; null: none.
  const TMySQLFieldDesc* UpdatingTableDesc() const;
  TMyTableKeyInfo KeyInfoFromFlags() const;

  // " LIMIT offset, limit" (an absent limit as the largest one).
  UString LimitClause() const;
  UString FHandlerIndex;
  // The updating table's first descriptor, kept with the stamp it holds for.
  mutable TFieldsStamp FTableStamp;
  mutable const TMySQLFieldDesc* FTableDesc = nullptr;
  mutable UString FKeyInfoOf;
  mutable bool FKeyInfoRead = false;
  mutable TFieldsStamp FKeyInfoStamp;
  mutable TMyTableKeyInfo FKeyInfo;
};

class TCustomMyDataSetUpdater : public TDADataSetUpdater {
 public:
  using TDADataSetUpdater::TDADataSetUpdater;

  // prCheckRowVersion and prLockType.
  void SetProp(int32_t prop, const Variant& value) override;

 protected:
  std::unique_ptr<TDASQLGenerator> CreateGenerator() override;
  void SetParamPositions(TZelCommand& command, const std::vector<size_t>& positions) override;
  // What the text does to the session: that of its statements together,
  // each statement's lexed once per shape (its text with the markers).
  void SetGeneratedStatements(TZelCommand& command, const UString& sql,
                              const std::vector<TTextSpan>& statements) override;
  bool SupportsBatches() const override { return true; }
  // SELECT COUNT(*) of the text's FROM and WHERE, or of the text as a
  // derived table (RecordCountSQL of DASQLText).
  UString RecordCountSQL(const UString& finalSQL) override;
  int64_t TotalRowsAffected() override;
  int AutoIncrementFieldNo() const override;
  // Date-times of a column with fewer fractional digits than the record's
  // milliseconds compare by SameLockDateTime; the others exactly.
  bool SameLockValue(const TFieldDesc& desc, const Variant& a, const Variant& b) const override;

 private:
  TCustomMySQLGenerator& MyGenerator();

  struct TShapeHash {
    using is_transparent = void;
    size_t operator()(UStringView text) const { return std::hash<UStringView>()(text); }
  };
  struct TShapeEqual {
    using is_transparent = void;
    bool operator()(UStringView a, UStringView b) const;
  };
  TParserClass FShapesLexer = nullptr;
  std::unordered_map<UString, TMyCharsetEffect, TShapeHash, TShapeEqual> FShapes;
};

}  // namespace vix
