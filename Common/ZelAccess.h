// The provider base classes: the command with its SQL text, the scan that
// turns ":Name" parameters into "?" placeholders and the command-side
// parameter descriptors; the connection with its error loop, the
// transaction, the provider error and the quoting of names.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "Common/DBTypes.h"
#include "Common/MemData.h"
#include "Common/ZelParser.h"
#include "Common/ZelProps.h"
#include "rtl/SharedObject.h"
#include "rtl/SysUtils.h"
#include "rtl/UString.h"
#include "rtl/Variant.h"

namespace vix {

// Sets a flag for the life of a scope and restores its value after, also
// when an exception leaves the scope.
class TFlagScope {
 public:
  TFlagScope(bool& flag, bool value) : FFlag(&flag), FOld(flag) { flag = value; }
  ~TFlagScope() {
    if (FFlag) *FFlag = FOld;
  }
  TFlagScope(const TFlagScope&) = delete;
  TFlagScope& operator=(const TFlagScope&) = delete;
  // The flag's owner is gone: nothing to restore.
  void Dismiss() { FFlag = nullptr; }

 private:
  bool* FFlag;
  bool FOld;
};

// Raises Exception "List index out of bounds (<index>)".
[[noreturn]] void ListIndexError(int index);

// Direction of a command parameter.
enum TParamDirection : uint8_t { pdUnknown = 0, pdInput = 1, pdOutput = 2, pdInputOutput = 3, pdResult = 4 };

// One placeholder's parameter as the command sees it.
class TParamDesc {
 public:
  TParamDesc() = default;
  virtual ~TParamDesc();

  const UString& GetName() const { return FName; }
  void SetName(UString value) { FName = std::move(value); }
  // Internal data type code of the record storage (how the provider renders the value).
  uint16_t GetDataType() const { return FDataType; }
  void SetDataType(uint16_t value) { FDataType = value; }
  uint16_t GetSubDataType() const { return FSubDataType; }
  void SetSubDataType(uint16_t value) { FSubDataType = value; }
  TParamDirection GetParamType() const { return FParamType; }
  void SetParamType(TParamDirection value) { FParamType = value; }
  int32_t GetSize() const { return FSize; }
  void SetSize(int32_t value) { FSize = value; }
  bool GetIsBound() const { return FIsBound; }
  void SetIsBound(bool value) { FIsBound = value; }
  bool GetConvertEOL() const { return FConvertEOL; }
  void SetConvertEOL(bool value) { FConvertEOL = value; }
  bool GetNational() const { return FNational; }
  void SetNational(bool value) { FNational = value; }

  // The value; storing an empty or null value makes the descriptor null.
  const Variant& GetValue() const { return FData; }
  void SetValue(const Variant& value);
  bool GetNull() const { return FIsNull; }
  // Setting null replaces the value with Null, except a shared object (a
  // large object or cursor), which stays for the provider to fill.
  void SetNull(bool value);
  // A large-object or cursor value: the descriptor holds its own reference.
  void SetObject(TSharedObject* value);
  TSharedObject* GetObject() const;

 protected:
  UString FName;
  uint16_t FDataType = 0;
  uint16_t FSubDataType = 0;
  TParamDirection FParamType = pdUnknown;
  int32_t FSize = 0;
  Variant FData;
  bool FIsNull = true;
  bool FIsBound = true;
  bool FConvertEOL = false;
  bool FNational = false;
};

// An owned list of named items in order; names are found ignoring case,
// the first match winning.
template <typename T>
class TNamedItems {
 public:
  int Count() const { return static_cast<int>(FItems.size()); }
  // Raises Exception "List index out of bounds (n)" for an index outside the list.
  T* Items(int index) const {
    if (index < 0 || index >= Count()) ListIndexError(index);
    return FItems[static_cast<size_t>(index)].get();
  }
  T* Add(std::unique_ptr<T> item) {
    FItems.push_back(std::move(item));
    return FItems.back().get();
  }
  void Delete(int index) {
    Items(index);
    FItems.erase(FItems.begin() + index);
  }
  void Clear() { FItems.clear(); }
  T* Find(UStringView name) const {
    for (const auto& item : FItems)
      if (SameText(item->GetName(), name)) return item.get();
    return nullptr;
  }
  void Swap(TNamedItems& other) noexcept { FItems.swap(other.FItems); }

 private:
  std::vector<std::unique_ptr<T>> FItems;
};

// A command's descriptors, owned, in placeholder order.
class TParamDescs : public TNamedItems<TParamDesc> {
 public:
  TParamDesc* FindParam(UStringView name) const { return Find(name); }
};

// A descriptor class as a value.
using TParamDescClass = std::unique_ptr<TParamDesc> (*)();

class TZelConnection;
class TComponent;

// Where a command's statement is in its life.
enum TCursorState : uint8_t {
  csInactive,
  csOpen,
  csParsed,
  csPrepared,
  csBound,
  csExecuteFetchAll,
  csExecuting,
  csExecuted,
  csFetching,
  csFetchingAll,
  csFetched,
};

// How blob values are kept compressed.
enum TCompressBlobMode : uint8_t { cbNone, cbClient, cbServer, cbClientServer };

// The command base of the providers.
class TZelCommand {
 public:
  TZelCommand();
  virtual ~TZelCommand();
  TZelCommand(const TZelCommand&) = delete;
  TZelCommand& operator=(const TZelCommand&) = delete;

  // Stores a new text and scans its parameters (unless the scan is
  // disabled). A text equal to the stored one changes nothing. When the scan
  // fails, the command keeps its previous texts and descriptors.
  virtual void SetSQL(const UString& value);
  // The text as the caller wrote it, and as it is sent (after the scan).
  const UString& GetUserSQL() const { return FUserSQL; }
  const UString& GetSQL() const { return FSQL; }

  // The text with every ":Name" outside strings, quoted names and comments
  // replaced: by "?" with one descriptor per occurrence appended to `params`
  // (which is emptied first), or, without `params`, by `renamePrefix` and the
  // name. `params` is only changed when the whole scan succeeds.
  virtual UString ParseSQL(const UString& sql, TParamDescs* params, bool replaceAll = true,
                           const UString& renamePrefix = UString());

  // Scan switches. Switching the scan on while a text is stored scans it again.
  void SetScanParams(bool value);
  bool GetScanParams() const { return FScanParams; }
  void SetDisableParamScan(bool value) { FDisableParamScan = value; }
  bool GetDisableParamScan() const { return FDisableParamScan; }

  // Descriptors.
  TParamDescs& Params() { return FParams; }
  void ClearParams() { FParams.Clear(); }
  int GetParamCount() const { return FParams.Count(); }
  TParamDesc* GetParam(int index) const { return FParams.Items(index); }
  TParamDesc* FindParam(UStringView name) const { return FParams.FindParam(name); }
  virtual TParamDesc* AddParam();
  void DeleteParam(int index) { FParams.Delete(index); }

  // The lexer of the command's SQL dialect, and its identifier quotes.
  virtual TParserClass GetParserClass() const;
  virtual char16_t LeftQuote() const { return u'"'; }
  virtual char16_t RightQuote() const { return u'"'; }
  virtual TParamDescClass GetParamDescType() const;

  // --- execution (the providers implement these) ---
  virtual void SetConnection(TZelConnection* value) { FConnection = value; }
  TZelConnection* GetConnection() const { return FConnection; }
  virtual void Prepare() {}
  virtual void Unprepare() {}
  virtual bool GetPrepared() const { return false; }
  // The base cannot run anything: raises "Operation is not supported by the database".
  virtual void Execute(int iters = 1);
  virtual TCursorState GetCursorState() const { return csInactive; }
  virtual void SetCursorState(TCursorState) {}
  // Cancels the running statement; may be called from another thread.
  virtual void BreakExec() {}
  // Statements of the last text that the server completed (a text of many
  // statements stops at the first that fails); -1 when the provider cannot tell.
  virtual int CompletedStatements() const { return -1; }
  // True when the identifier was handled; any other identifier is a
  // programming error (an exception named by its number).
  virtual bool SetProp(TPropId prop, const Variant& value);
  virtual bool GetProp(TPropId prop, Variant& value);
  TComponent* GetComponent() const { return FComponent; }
  void SetComponent(TComponent* value) { FComponent = value; }
  // Called with true after a successful execution, with false after a failed one.
  void SetAfterExecute(std::function<void(bool)> value) { FAfterExecute = std::move(value); }

 protected:
  // Handles what follows one colon: reads the name (blanks are lexemes here,
  // comments are skipped) and writes a placeholder, the renamed parameter,
  // or the source text unchanged to `builder`. Only a name right after the
  // colon (or after ":@") is a parameter.
  virtual void ScanParamAfterColon(UString& builder, TParser& parser, TParamDescs* params, char16_t leftQuote,
                                   char16_t rightQuote, const UString& renamePrefix);

  UString FSQL;
  UString FUserSQL;
  TParamDescs FParams;
  bool FScanParams = true;
  bool FDisableParamScan = false;
  TZelConnection* FConnection = nullptr;
  TComponent* FComponent = nullptr;
  std::function<void(bool)> FAfterExecute;
  bool FAutoCommit = true;
  bool FQuoteNames = false;
  TCompressBlobMode FCompressBlob = cbNone;
  bool FEnableBCD = false;
  bool FEnableFMTBCD = false;
};

// --- components, errors -----------------------------------------------------

// What an application places and names (a connection, a query...): the
// origin that errors carry.
class TComponent {
 public:
  TComponent() = default;
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;
  const UString& GetName() const { return FName; }
  void SetName(UString value) { FName = std::move(value); }

 private:
  UString FName;
};

// A provider's error: message, error code and the component concerned.
class EDAError : public EDatabaseError {
 public:
  EDAError(int errorCode, UString message);
  int ErrorCode() const { return FErrorCode; }
  TComponent* Component() const { return FComponent; }
  void SetComponent(TComponent* value) { FComponent = value; }
  // The connection is lost: the session cannot be used any more.
  virtual bool IsFatalError() const { return false; }
  virtual bool IsKeyViolation() const { return false; }

 protected:
  int FErrorCode;
  TComponent* FComponent = nullptr;
};

// What was running when the connection was lost.
enum TConnLostCause : uint8_t {
  clUnknown,
  clExecute,
  clOpen,
  clRefresh,
  clApply,
  clServiceQuery,
  clTransStart,
  clConnectionApply,
  clConnect,
};

// Tells the caller that the connection was restored and the operation is to
// be run again.
class EFailOver : public Exception {
 public:
  explicit EFailOver(TConnLostCause cause) : Exception(UString()), FConnLostCause(cause) {}
  TConnLostCause ConnLostCause() const { return FConnLostCause; }

 private:
  TConnLostCause FConnLostCause;
};

// The component's error handler: it may clear Fail (the error is then not
// raised), ask for a reconnect and for the operation to be run again.
using TErrorProc = std::function<void(EDAError& E, bool& Fail, bool& Reconnect, bool& Reexecute, int ReconnectAttempt,
                                      TConnLostCause& ConnLostCause)>;
using TReconnectProc = std::function<void()>;

// --- quoting of names ----------------------------------------------------------

// How names are quoted in a provider's SQL. A name counts as quoted only when
// it starts with the left quote, ends with the right quote and every quote
// character inside is doubled.
class TSQLInfo {
 public:
  virtual ~TSQLInfo();
  virtual char16_t LeftQuote() const { return u'"'; }
  virtual char16_t RightQuote() const { return u'"'; }
  bool IsQuoted(UStringView name) const;
  // The name in quotes, inner quote characters doubled; a name that is
  // already quoted is returned as it is.
  UString Quote(UStringView name) const;
  // Always quotes, also a name that looks quoted: for names taken from the
  // server's metadata, which are names, never SQL.
  UString QuoteAlways(UStringView name) const;
  // Quotes only a name that needs it (QuotesNeeded).
  UString QuoteIfNeed(UStringView name) const;
  // Base: the name is not a plain identifier (letters, digits and "_", not
  // starting with a digit). A dialect adds its reserved words.
  virtual bool QuotesNeeded(UStringView name) const;
  // A quoted name without its quotes, inner quotes undoubled; any other name
  // as it is.
  UString UnQuote(UStringView name) const;
};

// True for a non-empty text of A-Z, a-z, 0-9 and "_" only: what may go into
// statement text as a character set or savepoint name.
bool IsPlainSqlName(UStringView name);

// --- connection and transaction ------------------------------------------------

class TZelTransaction;
class TZelConnectionPool;
class TZelMetaData;
class TZelIOHandler;

enum TZelIsolationLevel : uint8_t {
  ilReadCommitted,
  ilReadUnCommitted,
  ilRepeatableRead,
  ilIsolated,
  ilSnapshot,
  ilCustom
};

// The provider connection base: login data, stored settings, and the error
// loop through which every provider error passes before it is raised.
class TZelConnection {
 public:
  // The error loop tries at most this many reconnects, whatever the handler says.
  static constexpr int kMaxReconnectAttempts = 5;

  TZelConnection();
  virtual ~TZelConnection();
  TZelConnection(const TZelConnection&) = delete;
  TZelConnection& operator=(const TZelConnection&) = delete;

  virtual std::unique_ptr<TSQLInfo> CreateSQLInfo() const;
  TSQLInfo& SQLInfo();
  // The provider's catalog questions (ZelMetaData.h). Base: raises
  // "Operation is not supported by the database".
  virtual std::unique_ptr<TZelMetaData> CreateMetaData();

  // Distributed transactions are not supported: both raise.
  virtual void Enlist(void* transaction);
  virtual void UnEnlist(void* transaction);

  // The error loop: calls the error handler, reconnects while it asks for it
  // (at most kMaxReconnectAttempts times), and raises EFailOver when the
  // handler wants the operation run again after a reconnect.
  virtual void ProcessError(EDAError& E, bool& Fail);

  virtual std::unique_ptr<TZelTransaction> CreateTransaction() const = 0;
  // Base: records the connection time and the validity.
  virtual void Connect(const UString& connectString);
  virtual void Disconnect() = 0;
  virtual void Assign(const TZelConnection& source);
  virtual void AssignConnect(TZelConnection* source) = 0;
  virtual void SetUsername(const UString& value) { FUsername = value; }
  virtual void SetPassword(const UString& value) { FPassword = value; }
  virtual void SetServer(const UString& value) { FServer = value; }
  virtual bool CheckIsValid() = 0;
  // Makes the session fit for another user (a pooled connection on its way
  // back): nothing of the last user's session state may stay. False when
  // that failed and the session must be closed. Base: nothing to reset.
  virtual bool ResetSession() { return FConnected; }
  // Completes a reset whose outcome ResetSession left to be read (a pooled
  // connection on its way out again): false when it failed.
  virtual bool FinishReset() { return true; }
  virtual void ReturnToPool();
  virtual UString GetServerVersion() = 0;
  virtual UString GetServerVersionFull() = 0;
  virtual UString GetClientVersion() = 0;
  virtual bool CanChangeDatabase() const { return true; }
  // The session has a transaction open. Base: the internal transaction is
  // active; a provider that knows the server's view answers with it.
  virtual bool InTransaction() const;
  // True when the identifier was handled. An identifier that no level
  // handles is a programming error (an exception named by its number).
  virtual bool SetProp(TPropId prop, const Variant& value);
  virtual bool GetProp(TPropId prop, Variant& value);

  const UString& GetUsername() const { return FUsername; }
  const UString& GetPassword() const { return FPassword; }
  const UString& GetServer() const { return FServer; }
  bool GetConnected() const { return FConnected; }
  bool GetNativeConnection() const { return FNativeConnection; }
  bool GetIsValid() const { return FIsValid; }
  void SetIsValid(bool value) { FIsValid = value; }
  bool GetReconnected() const { return FReconnected; }
  bool GetInProcessError() const { return FInProcessError; }
  // False once the connection is freed: an error callback may free it (a
  // pooled connection goes back to its pool when its component disconnects),
  // and the error loop must not touch it after that.
  std::shared_ptr<const bool> AliveToken() const { return FAlive; }
  uint32_t GetConnectionTime() const { return FConnectionTime; }
  TZelTransaction* GetInternalTransaction() const { return FInternalTransaction.get(); }
  TComponent* GetComponent() const { return FComponent; }
  void SetComponent(TComponent* value) { FComponent = value; }
  TZelIOHandler* GetIOHandler() const { return FIOHandler; }
  void SetIOHandler(TZelIOHandler* value) { FIOHandler = value; }
  // The pool that handed this connection out (none when it is not pooled or
  // lies idle in its pool), and the pool's generation it was last checked in.
  const std::shared_ptr<TZelConnectionPool>& GetPool() const { return FPool; }
  int32_t GetPoolVersion() const { return FPoolVersion; }
  void SetPool(std::shared_ptr<TZelConnectionPool> pool, int32_t version) {
    FPool = std::move(pool);
    FPoolVersion = version;
  }
  // The pool measures lifetimes with its own clock from the time it made the connection.
  void SetConnectionTime(uint32_t value) { FConnectionTime = value; }
  bool GetAutoCommit() const { return FAutoCommit; }
  bool GetConvertEOL() const { return FConvertEOL; }
  bool GetDisconnectedMode() const { return FDisconnectedMode; }
  bool GetEnableBCD() const { return FEnableBCD; }
  bool GetEnableFMTBCD() const { return FEnableFMTBCD; }
  int GetDefaultSortType() const { return FDefaultSortType; }

  // Installed by the neutral connection.
  void SetOnError(TErrorProc value) { FOnError = std::move(value); }
  const TErrorProc& GetOnError() const { return FOnError; }
  void SetOnReconnectError(TReconnectProc value) { FOnReconnectError = std::move(value); }
  void SetOnReconnectSuccess(TReconnectProc value) { FOnReconnectSuccess = std::move(value); }

 protected:
  // Must be called by the constructor of the concrete class: makes the
  // internal transaction (it needs CreateTransaction).
  void InitInternalTransaction();
  // Whether a silent reconnect may replace the session now. False while a
  // transaction is open, because the server loses it with the session.
  virtual bool CanReconnect() const;

  TErrorProc FOnError;
  TReconnectProc FOnReconnectError;
  TReconnectProc FOnReconnectSuccess;
  uint32_t FConnectionTime = 0;
  std::unique_ptr<TSQLInfo> FSQLinfo;
  std::unique_ptr<TZelTransaction> FInternalTransaction;
  bool FConnected = false;
  bool FNativeConnection = true;
  UString FUsername, FPassword, FServer;
  bool FAutoCommit = true;
  bool FConvertEOL = false;
  bool FIsValid = true;
  std::shared_ptr<TZelConnectionPool> FPool;
  int32_t FPoolVersion = 0;
  TComponent* FComponent = nullptr;
  bool FDisconnectedMode = false;
  bool FEnableBCD = false;
  bool FEnableFMTBCD = false;
  bool FInProcessError = false;
  std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
  bool FReconnected = false;
  int FDefaultSortType = 0;
  TZelIOHandler* FIOHandler = nullptr;
};

// The provider transaction base: the connections it spans, its isolation
// level, and whether it is open.
class TZelTransaction {
 public:
  TZelTransaction();
  virtual ~TZelTransaction();
  TZelTransaction(const TZelTransaction&) = delete;
  TZelTransaction& operator=(const TZelTransaction&) = delete;

  virtual void StartTransaction() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() = 0;
  virtual void Savepoint(const UString& name) = 0;
  virtual void ReleaseSavepoint(const UString& name) = 0;
  virtual void RollbackToSavepoint(const UString& name) = 0;
  // Takes over the state of another connection's transaction (a connection
  // that shares another's session shares its transaction too).
  virtual void AssignConnect(const TZelTransaction& source);
  // The server ended the transaction (its session is gone).
  void Reset() {
    FActive = false;
    FNativeTransaction = false;
  }

  void AddConnection(TZelConnection* connection);
  void RemoveConnection(TZelConnection* connection);
  int ConnectionCount() const { return static_cast<int>(FConnections.size()); }
  TZelConnection* GetConnection(int index) const;

  bool GetActive() const { return FActive; }
  bool GetInTransaction() const { return FActive; }
  TZelIsolationLevel GetIsolationLevel() const { return FIsolationLevel; }
  void SetIsolationLevel(TZelIsolationLevel value) { FIsolationLevel = value; }
  bool GetReadOnly() const { return FReadOnly; }
  void SetReadOnly(bool value) { FReadOnly = value; }
  TComponent* GetComponent() const { return FComponent; }
  void SetComponent(TComponent* value) { FComponent = value; }
  void SetOnError(TErrorProc value) { FOnError = std::move(value); }

 protected:
  bool FActive = false;
  TComponent* FComponent = nullptr;
  TErrorProc FOnError;
  std::vector<TZelConnection*> FConnections;
  TZelIsolationLevel FIsolationLevel = ilReadCommitted;
  bool FReadOnly = false;
  bool FNativeTransaction = false;
};

// --- record sets -----------------------------------------------------------------

// What the last execution of a record set's command returned.
enum TCommandType : uint8_t { ctUnknown, ctStatement, ctCursor };

// The provider record set base: the record storage filled from one owned
// command's result, in blocks of FFetchRows records or all at once.
class TZelRecordSet : public TMemData {
 public:
  TZelRecordSet();
  ~TZelRecordSet() override;

  TZelCommand* GetCommand() const { return FCommand.get(); }
  virtual void SetConnection(TZelConnection* value) { FCommand->SetConnection(value); }
  virtual void SetSQL(const UString& value) { FCommand->SetSQL(value); }

  // Runs the command; the result (when there is one) stays open for fetching.
  virtual void ExecCommand() = 0;
  // Reads one block of rows into the storage; false when none was left.
  virtual bool Fetch() = 0;
  // Fetches blocks until none is left.
  virtual void FetchAll();
  // Every row is fetched before the records are sorted.
  void SortItems() override;
  // The connection's DefaultSortType (case-sensitive without a connection).
  TSortType DefaultSortType() const override;
  // Asks a running fetch to stop after its current row.
  virtual void BreakFetch() { FWaitForFetchBreak = true; }
  // The connection may be closed or replaced now.
  virtual bool CanDisconnect() const;
  // The last execution returned rows (or a result is waiting to be read).
  virtual bool RowsReturn() const;
  virtual bool IsCaseSensitive() const { return false; }
  virtual bool SetProp(TPropId prop, const Variant& value);
  virtual bool GetProp(TPropId prop, Variant& value);

  TCommandType GetCommandType() const { return FCommandType; }
  bool GetFetchAll() const { return FFetchAll; }
  int GetFetchRows() const { return FFetchRows; }
  bool GetUniDirectional() const { return FUniDirectional; }
  // Asked before each block (setting the flag stops fetching) and told after it.
  void SetOnBeforeFetch(std::function<void(bool&)> value) { FOnBeforeFetch = std::move(value); }
  void SetOnAfterFetch(std::function<void()> value) { FOnAfterFetch = std::move(value); }

 protected:
  // Makes the provider's command (SetCommand).
  virtual void CreateCommand() = 0;
  virtual void SetCommand(std::unique_ptr<TZelCommand> value) { FCommand = std::move(value); }
  // Executes, builds the descriptors when there are none yet, then fetches
  // everything or one block.
  void InternalOpen() override;

  std::unique_ptr<TZelCommand> FCommand;
  bool FUniDirectional = false;
  int FFetchRows = 25;
  bool FNoData = false;
  bool FFetchAll = false;
  // The open in progress reads every row although FFetchAll is off (its
  // result could not be moved off the connection's session).
  bool FFetchAllThisOpen = false;
  bool FLockFetchAll = false;
  bool FLongStrings = true;
  bool FFlatBuffers = true;
  bool FExtendedFieldsInfo = false;
  bool FDefaultValues = false;
  bool FFieldsOrigin = false;
  std::function<void(bool&)> FOnBeforeFetch;
  std::function<void()> FOnAfterFetch;
  bool FWaitForFetchBreak = false;
  TCommandType FCommandType = ctUnknown;
};

}  // namespace vix
