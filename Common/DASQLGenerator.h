// The statements that write a dataset's changes back: the generator builds
// INSERT, UPDATE, DELETE and lock statements for the record in work from the
// dataset's key and data fields and its updating table; the updater runs
// them through a statement object of the dataset's connection, binds the
// values, checks the affected rows and takes back what the server generated.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "Common/MemData.h"
#include "Common/ZelParser.h"
#include "rtl/UString.h"
#include "rtl/Variant.h"

namespace vix {

class TCustomDADataSet;
class TDAParams;
class TSQLInfo;
class TZelCommand;
class TZelRecordSet;
class TZelTransaction;

enum TStatementType : uint8_t {
  stQuery = 0,
  stInsert = 1,
  stUpdate = 2,
  stDelete = 3,
  stLock = 4,
  stRefresh = 5,
  stCustom = 6,
  stRefreshQuick = 7,
  stRefreshCheckDeleted = 8,
  stBatchUpdate = 9
};

// One parameter of a generated statement: the field whose value it takes
// (1-based field number of the record layout), whether the old value is
// meant, the statement's index in a batch (-1 outside batches) and the
// 0-based position of its "?" marker in the statement text.
struct TDAParamInfo {
  int FieldNo = 0;
  bool Old = false;
  int ParamIndex = -1;
  size_t Position = 0;
};

// The descriptors a statement works on: those that find the record (key) and
// those that are written (data), in the record set's order.
struct TKeyAndDataFields {
  std::vector<const TFieldDesc*> KeyFieldDescs;
  std::vector<const TFieldDesc*> DataFieldDescs;
};

class TDASQLGenerator {
 public:
  explicit TDASQLGenerator(TCustomDADataSet& dataSet);
  virtual ~TDASQLGenerator();
  TDASQLGenerator(const TDASQLGenerator&) = delete;
  TDASQLGenerator& operator=(const TDASQLGenerator&) = delete;

  // The statement of `type` (stInsert, stUpdate, stDelete, stLock) for the
  // record whose values before the change are in `oldBuf` and after it in
  // `newBuf`. Every value travels as a parameter, added to `params` with a
  // "?" marker (names prefixed "P_<index>_" inside a batch); ParamsInfo
  // describes them in marker order. An update in which nothing changed
  // (with `modifiedFieldsOnly`) is the empty text; so is any statement when
  // the dataset has no updating table. Raises "Key fields not found" when no
  // condition can be made and "Bad statement type" for other types.
  UString GenerateSQL(TStatementType type, bool modifiedFieldsOnly, const uint8_t* oldBuf, const uint8_t* newBuf,
                      TDAParams& params, int index = -1);
  const std::vector<TDAParamInfo>& ParamsInfo() const { return FParamsInfo; }

  // The updating table as the server names it (not quoted); empty: none.
  virtual UString UpdatingTableName() const;
  // The key fields (the dataset's KeyFields when set, else the provider's
  // choice; none when nothing identifies a record) and the data fields
  // (the updating table's writable columns).
  // Without `keys` only the data fields (no catalog query: the connection
  // may still be reading the dataset's rows).
  virtual void GetKeyAndDataFields(TKeyAndDataFields& fields, bool keys = true) const;
  // True when the key fields were chosen by the provider from a primary key
  // or a unique index of NOT NULL columns, or named by the dataset: one
  // condition on them finds at most one row.
  virtual bool KeyIsUnique() const;
  // Whether a descriptor is a column of the updating table.
  virtual bool IsUpdatingTableField(const TFieldDesc& desc) const;
  // The condition that finds the record in `buf` by its key fields' values
  // in the dataset's own query: "prefix.column = :VIX_KEY_<field number>"
  // (IS NULL for a NULL value) joined by " AND ", the parameters added to
  // `params`. Raises "Key fields not found" without key fields.
  UString RefreshCondition(const uint8_t* buf, TDAParams& params) const;
  // Updates find their row by a row version that the server changes.
  bool UsesRowVersion() const { return CheckRowVersion() && RowVersionField(); }
  // Forgets what was learnt about the result and its table (a new open).
  virtual void ClearFieldDescRefs() {}

 protected:
  // The provider's choice of key fields among `candidates` (the updating
  // table's columns) when the dataset names none; empty: no key.
  virtual std::vector<const TFieldDesc*> DefaultKeyFields(const std::vector<const TFieldDesc*>& candidates) const;
  // What follows the conditions of a lock statement ("FOR UPDATE"); empty:
  // the provider cannot lock.
  virtual UString LockClause() const { return UString(); }
  // What goes before a column of the updating table in the dataset's own
  // query (the quoted alias and "."); the base puts nothing.
  virtual UString RefreshColumnPrefix() const { return UString(); }
  // The updating table as it goes into statement text (`tableName` quoted).
  virtual UString QualifiedTableName(const UString& tableName) const { return QuoteName(tableName); }
  // Updates and deletes check that nobody changed the row since it was
  // read: besides the key, the row-version field (when it has a value) or
  // else every other data field that is not a blob must hold its old value.
  virtual bool CheckRowVersion() const { return false; }
  // The column the server changes on every update of a row; none: null.
  virtual const TFieldDesc* RowVersionField() const { return nullptr; }
  // The condition on the row-version field; the base compares with "=".
  virtual void AddRowVersionCondition(UString& builder, const TFieldDesc& desc, const uint8_t* oldBuf,
                                      size_t builderNo);
  // A column or table name as it goes into statement text.
  UString QuoteName(UStringView name) const;
  TSQLInfo& SQLInfo() const;
  // Appends a "?" marker for the value of `desc` in `buf` (its old value
  // when `old`) to the builder `builderNo`, with its parameter.
  void AddParam(UString& builder, const TFieldDesc& desc, bool old, const uint8_t* buf, size_t builderNo);
  void AddCondition(UString& builder, const TFieldDesc& desc, const uint8_t* oldBuf, size_t builderNo);

  TCustomDADataSet& FDataSet;

 private:
  void AddConditions(UString& builder, TStatementType type, const TKeyAndDataFields& fields, const uint8_t* oldBuf,
                     size_t builderNo);
  bool FieldChanged(const TFieldDesc& desc, const uint8_t* oldBuf, const uint8_t* newBuf) const;

  TDAParams* FParams = nullptr;
  int FIndex = -1;
  std::vector<TDAParamInfo> FParamsInfo;
  mutable std::unique_ptr<TSQLInfo> FSQLInfo;
};

// Runs the generated statements of a dataset. Its statement object is a
// record set of the dataset's provider on the dataset's connection.
class TDADataSetUpdater {
 public:
  explicit TDADataSetUpdater(TCustomDADataSet& dataSet);
  virtual ~TDADataSetUpdater();
  TDADataSetUpdater(const TDADataSetUpdater&) = delete;
  TDADataSetUpdater& operator=(const TDADataSetUpdater&) = delete;

  TDASQLGenerator& Generator();
  // A setting of the provider's dataset options (prCheckRowVersion, ...);
  // the base takes none.
  virtual void SetProp(int32_t /*prop*/, const Variant& /*value*/) {}

  // Writes one change of the record in work to the server: the generated
  // statement with its values bound. Without a unique key, an update or
  // delete runs inside a transaction (or a savepoint of the one that is
  // open) and is rolled back unless it touched exactly one row. With
  // StrictUpdate, an affected-row count other than 1 raises "Update failed.
  // Found %d records". An insert takes the generated auto-increment value
  // into the field that was left empty. False when there was nothing to send.
  bool PerformSQL(TStatementType type, const uint8_t* oldBuf, uint8_t* newBuf);
  int64_t RowsAffected() const { return FRowsAffected; }

  // One change of a cached-updates pass. With UpdateBatchSize above 1 (and
  // a provider that runs batches) statements are collected into one text:
  // the change waits (urSuspended) until the batch is full or `last` comes,
  // then the whole batch goes at once and every change of it is applied. A
  // change that cannot wait in a batch (an update or delete without a
  // unique key) sends the waiting batch first; an insert whose
  // auto-increment value the server makes ends its batch, so that the value
  // is read back.
  TUpdateRecAction ApplyCached(TMemData::TUpdateRecKind kind, uint8_t* newBuf, const uint8_t* oldBuf, bool last);
  // Forgets a batch that was not sent.
  void ResetBatch();
  // Locks the record whose values as read are in `oldBuf` (the caller has a
  // transaction open): the lock statement must find exactly one row ("Refresh
  // failed. Found %d records") holding those values ("Record was changed by
  // another user"). Raises when the provider cannot lock.
  void LockRecord(const uint8_t* oldBuf);

  // Reads the record in `buf` again with the dataset's own query, its key
  // condition added (`lexer`: the dataset's), and copies the row's values
  // (blobs excepted) into `buf`. A row that is gone, or a key that finds
  // several: "Refresh failed. Found %d records".
  void RefreshRecord(uint8_t* buf, TParserClass lexer);

  // Runs a text with parameters on the statement object; returns the rows it
  // affected. `positions`, when not empty, are the 0-based places of the
  // "?" markers, one per parameter.
  // With `keepRows` the statement object stays open with the rows the text
  // returned (the caller closes it), and their number is returned.
  int64_t ExecuteStatement(const UString& sql, const TDAParams& params, const std::vector<size_t>& positions,
                           bool keepRows = false);

 protected:
  virtual std::unique_ptr<TDASQLGenerator> CreateGenerator();
  // Hands the marker positions to the command (providers that splice values
  // in by position; none: the command finds the markers itself, forgetting
  // positions of an earlier text); the base leaves the command to scan.
  virtual void SetParamPositions(TZelCommand& /*command*/, const std::vector<size_t>& /*positions*/) {}
  // The auto-increment value the last insert generated; 0: none.
  virtual int64_t LastInsertId();
  // Whether two values of a field count as the same for the lock check.
  virtual bool SameLockValue(const Variant& a, const Variant& b) const;
  // The field of an auto-increment column, or 0.
  virtual int AutoIncrementFieldNo() const;
  // The provider runs texts of several statements.
  virtual bool SupportsBatches() const { return false; }
  // The rows that every statement of the last text affected together.
  virtual int64_t TotalRowsAffected();
  TZelRecordSet& Statement();

  TCustomDADataSet& FDataSet;

 private:
  // Runs `run` so that it commits only when it touched exactly one row.
  int64_t RunChecked(const std::function<int64_t()>& run);

  // Runs a query that must return one row ("Refresh failed. Found %d
  // records" otherwise) and hands it to `use` while the rows are open.
  void ReadOneRow(const UString& sql, const TDAParams& params, const std::vector<size_t>& positions,
                  const std::function<void(TZelRecordSet&, const uint8_t*)>& use);
  // Sends the waiting batch.
  void FlushBatch();
  void TakeAutoIncrement(uint8_t* newBuf);

  UString FBatchSQL;
  std::unique_ptr<TDAParams> FBatchParams;
  std::vector<size_t> FBatchPositions;
  int FBatchCount = 0;
  uint8_t* FBatchAutoIncBuf = nullptr;
  std::unique_ptr<TDASQLGenerator> FGenerator;
  std::unique_ptr<TZelRecordSet> FStatement;
  int64_t FRowsAffected = -1;
  int FSavepointNo = 0;
};

}  // namespace vix
