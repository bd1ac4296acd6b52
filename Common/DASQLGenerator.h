// The statements that write a dataset's changes back: the generator builds
// INSERT, UPDATE, DELETE and lock statements for the record in work from the
// dataset's key and data fields and its updating table; the updater runs
// them through a statement object of the dataset's connection, binds the
// values, checks the affected rows and takes back what the server generated.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "Common/MemData.h"
#include "Common/ZelParser.h"
#include "rtl/DateUtils.h"
#include "rtl/UString.h"
#include "rtl/Variant.h"

namespace vix {

class TCustomDADataSet;
class TDAParam;
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

// A part of a text: its start and length.
struct TTextSpan {
  size_t Start = 0;
  size_t Length = 0;
};

// The descriptors a statement works on: those that find the record (key) and
// those that are written (data), in the record set's order.
struct TKeyAndDataFields {
  std::vector<const TFieldDesc*> KeyFieldDescs;
  std::vector<const TFieldDesc*> DataFieldDescs;
};

// What the choices made from a dataset's result depend on: its record set,
// the generation of the record set's descriptors, and the dataset's
// UpdatingTable and KeyFields. A choice kept with a stamp holds while the
// stamp does.
class TFieldsStamp {
 public:
  bool Holds(const TCustomDADataSet& dataSet) const;
  void Take(const TCustomDADataSet& dataSet);
  void Clear() { FTaken = false; }

 private:
  bool FTaken = false;
  const TZelRecordSet* FRecordSet = nullptr;
  uint64_t FGeneration = 0;
  UString FUpdatingTable;
  UString FKeyFields;
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
  // The key and data fields as GetKeyAndDataFields chooses them, worked out
  // once and kept while the result's descriptors, UpdatingTable and
  // KeyFields stay the same (and until ClearFieldDescRefs).
  const TKeyAndDataFields& KeyAndDataFields() const;
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
  // The column a quick refresh reads changed rows by: the one the server
  // sets on every update of a row (a column that keeps its value when the
  // row changes would let changed rows go unseen). Raises "Timestamp field
  // required" when the result has none.
  const TFieldDesc& QuickRefreshField() const;
  // The condition of a quick refresh: the rows whose version is `since` or
  // later ("prefix.column >= :VIX_SINCE", the parameter added to `params`).
  UString QuickRefreshCondition(TDateTime since, TDAParams& params) const;
  // The query that lists the key values of the rows the dataset's own query
  // finds now: its key columns, FROM and WHERE clauses. Raises "Key fields
  // not found" without key fields.
  UString CheckDeletedSQL(const UString& finalSQL, TParserClass lexer) const;
  // A SELECT of a whole table (`tableName` as written in SQL, perhaps
  // "db.table"), ordered by `orderFields` when given. The base ignores the
  // provider's row limits.
  virtual UString GenerateTableSQL(const UString& tableName, const UString& orderFields);
  // Forgets what was learnt about the result and its table (a new open).
  virtual void ClearFieldDescRefs();

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
  // The column of `desc` and the updating table as they go into statement
  // text, kept with the key and data fields.
  const UString& QuotedColumn(const TFieldDesc& desc) const;
  const UString& QuotedTable(const UString& tableName) const;

  mutable TFieldsStamp FFieldsStamp;
  mutable TKeyAndDataFields FFields;
  mutable std::vector<std::pair<const TFieldDesc*, UString>> FQuotedColumns;
  mutable UString FTableName;
  mutable UString FQuotedTable;
};

// Runs the generated statements of a dataset. Its statement object is a
// record set of the dataset's provider on the dataset's connection.
class TDADataSetUpdater {
 public:
  explicit TDADataSetUpdater(TCustomDADataSet& dataSet);
  virtual ~TDADataSetUpdater();
  // Lets go of the statement of the provider connection that goes; the next
  // write makes one on the connection then in use.
  void ReleaseStatement();
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
  // another user"). With `refreshInto` the locked row's values are copied
  // there instead, whatever they are now. Raises when the
  // provider cannot lock.
  void LockRecord(const uint8_t* oldBuf, uint8_t* refreshInto = nullptr);

  // Reads the record in `buf` again with the dataset's own query, its key
  // condition added (or the dataset's SQLRefresh), and copies the row's
  // values into `buf`. A row that is gone, or a key that finds several:
  // "Refresh failed. Found %d records".
  void RefreshRecord(uint8_t* buf);

  // Whether a write of `type` is followed by a read of the record: the
  // dataset's RefreshOptions (roAfterInsert, roAfterUpdate), and an update
  // found by a row version that the server has changed.
  bool RefreshWanted(TStatementType type);
  // That read, into the record `buf` just written. The change is on the
  // server already: a row the query does not show (or a record without a
  // key) keeps the values written. A session lost inside a transaction
  // took the change with it: that error is raised.
  void RefreshAfterWrite(uint8_t* buf);

  // The number of rows the dataset's final SQL returns, counted by the
  // provider's count statement (RecordCountSQL) with the dataset's
  // parameters. 0 when the provider has none, the text cannot be counted,
  // or the server refuses the count statement (a derived table with two
  // columns of one name, say); a lost connection raises.
  int64_t ReadRecordCount();
  // Runs a query (its parameters taken from `values`, else from the
  // dataset's own) and hands every row to `each` while the rows are open;
  // returns their number.
  int64_t ReadRows(const UString& sql, const TDAParams& values,
                   const std::function<void(TZelRecordSet&, const uint8_t*)>& each);
  // Copies the values of a row of `result` into the record `buf` of the
  // dataset: each column into the field of its name (a blob into a blob of
  // the record's own).
  void CopyRow(TZelRecordSet& result, const uint8_t* row, uint8_t* buf);

  // Runs a text with parameters on the statement object; returns the rows it
  // affected. `positions`, when not empty, are the 0-based places of the
  // "?" markers, one per parameter.
  // With `keepRows` the statement object stays open with the rows the text
  // returned (the caller closes it), and their number is returned.
  // `statements`, when given, are the places (start, length) of the
  // generated statements that `sql` joins.
  int64_t ExecuteStatement(const UString& sql, const TDAParams& params, const std::vector<size_t>& positions,
                           bool keepRows = false, const std::vector<TTextSpan>* statements = nullptr);

 protected:
  virtual std::unique_ptr<TDASQLGenerator> CreateGenerator();
  // Hands the marker positions to the command (providers that splice values
  // in by position; none: the command finds the markers itself, forgetting
  // positions of an earlier text); the base leaves the command to scan.
  virtual void SetParamPositions(TZelCommand& /*command*/, const std::vector<size_t>& /*positions*/) {}
  // Tells the command about the generated statements its text `sql` joins
  // (`statements`: their places in it); the base tells nothing.
  virtual void SetGeneratedStatements(TZelCommand& /*command*/, const UString& /*sql*/,
                                      const std::vector<TTextSpan>& /*statements*/) {}
  // The auto-increment value the last insert of `command` generated; 0: none.
  virtual int64_t LastInsertId(TZelCommand& command);
  // Whether two values of the field `desc` count as the same for the lock check.
  virtual bool SameLockValue(const TFieldDesc& desc, const Variant& a, const Variant& b) const;
  // The field of an auto-increment column, or 0.
  virtual int AutoIncrementFieldNo() const;
  // The statement that counts the rows of `finalSQL`; the base has none.
  virtual UString RecordCountSQL(const UString& /*finalSQL*/) { return UString(); }
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
  // Runs a query and hands each row to `each` while the rows are open;
  // returns their number. With `oneRow` any other number raises as above.
  int64_t RunQuery(const UString& sql, const TDAParams& params, const std::vector<size_t>& positions, bool oneRow,
                   const std::function<void(TZelRecordSet&, const uint8_t*)>& each);
  // The parameters the command finds in `sql`, in its order, with their
  // values from `values`; else, with `newBuf`, of the field they name
  // (":OLD_Name" its value in `oldBuf`, ":<number>" by field number); else,
  // with `queryParams`, from the dataset's parameters ("Not found field
  // corresponding parameter %s" without any).
  void BindQueryParams(const UString& sql, const TDAParams& values, TDAParams& params, const uint8_t* oldBuf = nullptr,
                       const uint8_t* newBuf = nullptr, bool queryParams = true);
  // The text for `type` of the update object (InsertSQL, ...), else the
  // dataset's own (SQLInsert, ...), trimmed, its macros expanded; empty: none.
  UString OwnSQL(TStatementType type);
  // The update object's query component for `type` (none: none), on the
  // dataset's connection. Raises when its SQL is empty.
  TCustomDADataSet* UpdateObjectFor(TStatementType type);
  // A component or a text of the update object or the dataset for `type`.
  bool HasOwnStatement(TStatementType type);
  // The value of a parameter of a text that is not generated: from
  // `values`, else the field it names in the record, else (with
  // `queryParams`) the dataset's parameter of its name.
  void SetParamValue(TDAParam& param, const TDAParams& values, const uint8_t* oldBuf, const uint8_t* newBuf,
                     bool queryParams);
  void BindObjectParams(TCustomDADataSet& object, const uint8_t* oldBuf, const uint8_t* newBuf, bool queryParams);
  // A write by a query component of the update object.
  bool PerformObjectSQL(TStatementType type, TCustomDADataSet& object, const uint8_t* oldBuf, uint8_t* newBuf);
  // Opens the component with the record's values; it must return one row,
  // handed to `use` ("Refresh failed. Found %d records" otherwise).
  void RunObjectQuery(TCustomDADataSet& object, const uint8_t* oldBuf, const uint8_t* newBuf,
                      const std::function<void(TZelRecordSet&, const uint8_t*)>& use);
  // Hands each row of open `rows` to `each`; returns their number.
  int64_t EachRow(TZelRecordSet& rows, bool oneRow, const std::function<void(TZelRecordSet&, const uint8_t*)>& each);
  // Runs a write that is not generated: with StrictUpdate an update or
  // delete is undone unless it touched one row.
  void FinishWrite(TStatementType type, const std::function<int64_t()>& run);
  // A write by the dataset's own text.
  bool PerformOwnSQL(TStatementType type, const UString& sql, const uint8_t* oldBuf, uint8_t* newBuf);
  // The statement that reads the record in `buf` again: the dataset's
  // SQLRefresh (`own` set), else the query's own text with the key
  // condition (its parameters added to `keys`).
  UString RefreshSQL(const uint8_t* buf, TDAParams& keys, bool& own);
  // Sends the waiting batch.
  void FlushBatch();
  void TakeAutoIncrement(uint8_t* newBuf, TZelCommand* command = nullptr);

  UString FBatchSQL;
  std::unique_ptr<TDAParams> FBatchParams;
  std::vector<size_t> FBatchPositions;
  std::vector<TTextSpan> FBatchStatements;
  int FBatchCount = 0;
  uint8_t* FBatchAutoIncBuf = nullptr;
  std::unique_ptr<TDASQLGenerator> FGenerator;
  std::unique_ptr<TZelRecordSet> FStatement;
  int64_t FRowsAffected = -1;
  int FSavepointNo = 0;
};

}  // namespace vix
