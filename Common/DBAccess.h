// A query's named parameters: typed values found by name, handed to the
// provider command as descriptors; the connection component base with its
// clients, its connect and disconnect sequence and its error handler; the
// query dataset that runs its text through the provider's record set.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "Common/DBTypes.h"
#include "Common/MemDS.h"
#include "Common/MemData.h"
#include "Common/ZelAccess.h"
#include "rtl/SharedObject.h"
#include "rtl/UString.h"
#include "rtl/Variant.h"

namespace vix {

// Direction of a parameter (numbered as the descriptors' directions).
enum TParamType : uint8_t { ptUnknown = 0, ptInput = 1, ptOutput = 2, ptInputOutput = 3, ptResult = 4 };

// How a collection came about: built by the scan, edited by the user, or
// checked by the user (any change then makes it ctUsers).
enum TParamsChangeType : uint8_t { ctGenerated = 0, ctUsers = 1, ctUserChecked = 2 };

// What the provider connection adds when parameters are written to its command.
struct TParamWriteSettings {
  bool ConvertEOL = false;
  // Size of a parameter that has none of its own (the connection's default).
  int32_t DefaultParamSize = 0;
  // The provider tells input from input/output parameters; without that, a
  // parameter of unknown direction counts as input when its size is taken.
  bool InOutParamsSupported = false;
};

// The provider's map from field types to the internal data types of its
// descriptors, and back.
using TParamDataTypeMap = uint16_t (*)(TFieldType type);
using TParamFieldTypeMap = TFieldType (*)(uint16_t dataType);

class TDAParams;

class TDAParam {
 public:
  explicit TDAParam(UString name = UString());
  virtual ~TDAParam();
  TDAParam(const TDAParam&) = delete;
  TDAParam& operator=(const TDAParam&) = delete;

  const UString& GetName() const { return FName; }
  void SetName(UString value) { FName = std::move(value); }
  TFieldType GetDataType() const { return FDataType; }
  // A different type discards the value; a blob type (IsBlobFieldType)
  // comes with a blob object of its own.
  void SetDataType(TFieldType value);
  TParamType GetParamType() const { return FParamType; }
  void SetParamType(TParamType value) { FParamType = value; }
  int32_t GetSize() const { return FSize; }
  void SetSize(int32_t value) { FSize = value; }
  uint16_t GetSubDataType() const { return FSubDataType; }
  void SetSubDataType(uint16_t value) { FSubDataType = value; }
  int32_t GetPrecision() const { return FPrecision; }
  void SetPrecision(int32_t value) { FPrecision = value; }
  int32_t GetNumericScale() const { return FNumericScale; }
  void SetNumericScale(int32_t value) { FNumericScale = value; }
  bool GetBound() const { return FBound; }
  void SetBound(bool value) { FBound = value; }

  // The value as stored. Setting it keeps the type, or, for ftUnknown,
  // takes the type from the kind of value. A blob-type parameter takes a
  // byte array as bytes and any other value as text into its blob.
  const Variant& GetValue() const { return FData; }
  void SetValue(const Variant& value);
  // The field's type and its current value (a blob field's bytes or text
  // into the parameter's blob): a value read is written back as it was, a
  // TIME as a signed duration rather than a date-time.
  void AssignField(const TField& field);
  // True for a null or empty value; for a blob type, when the blob is empty.
  bool IsNull() const;
  // The value becomes empty and null; a blob is emptied.
  void Clear();

  // Blob types: ftBlob, ftMemo and ftWideMemo (its blob Unicode).
  virtual bool IsBlobFieldType(TFieldType type) const;
  bool IsBlob() const { return IsBlobFieldType(FDataType); }
  // The blob of a blob-type parameter (none otherwise).
  TBlob* GetAsBlobRef() const { return FParamObject.Get(); }
  // Bytes as ftBlob, text as ftMemo.
  std::string GetAsBlob() const;
  void SetAsBlob(std::string_view value);
  void SetAsMemo(const UString& value);

  // Text: ftWideString unless the parameter is ftFixedWideChar. The text
  // setters of a blob-type parameter write into its blob instead.
  UString GetAsString() const;
  void SetAsString(const UString& value);
  UString GetAsWideString() const { return GetAsString(); }
  void SetAsWideString(const UString& value) { SetAsString(value); }
  // 8-bit text in the ANSI code page: ftString unless ftFixedChar; a
  // parameter of a wide text type takes the text as wide text.
  std::string GetAsAnsiString() const;
  void SetAsAnsiString(const UString& value);
  // 0 for null; a value that does not convert raises the variant error.
  int32_t GetAsInteger() const;
  void SetAsInteger(int32_t value) { StoreTyped(ftInteger, Variant(value)); }
  void SetAsSmallInt(int16_t value) { StoreTyped(ftSmallint, Variant(value)); }
  void SetAsWord(uint16_t value) { StoreTyped(ftWord, Variant(value)); }
  void SetAsShortInt(int8_t value) { StoreTyped(ftShortint, Variant(value)); }
  void SetAsByte(uint8_t value) { StoreTyped(ftByte, Variant(value)); }
  int64_t GetAsLargeInt() const;
  void SetAsLargeInt(int64_t value) { StoreTyped(ftLargeint, Variant(value)); }
  double GetAsFloat() const;
  void SetAsFloat(double value) { StoreTyped(ftFloat, Variant(value)); }

  // The type a value of this kind gives a parameter of unknown type.
  static TFieldType FieldTypeOfValue(TVarType type);

  // Writes the description, and with `withValue` the value, to a command
  // descriptor; `dataType` is the provider's internal type for GetDataType().
  void WriteParamDesc(TParamDesc& desc, uint16_t dataType, bool withValue, const TParamWriteSettings& settings) const;

  // Takes type, value (or null), direction (when its own is unknown), size
  // and blob of `source`.
  virtual void AssignValue(const TDAParam& source);
  virtual bool GetNational() const { return false; }

 protected:
  // Stores `value` as the parameter's value: bound unless empty, null when empty or null.
  void StoreValue(const Variant& value);
  void StoreTyped(TFieldType type, const Variant& value);

  UString FName;
  TFieldType FDataType = ftUnknown;
  TParamType FParamType = ptUnknown;
  Variant FData;
  bool FNull = true;
  bool FBound = true;
  int32_t FPrecision = 0;
  int32_t FNumericScale = 0;
  int32_t FSize = 0;
  uint16_t FSubDataType = 0;
  TSharedRef<TBlob> FParamObject;

 private:
  // Text into the blob of a blob-type parameter.
  void WriteBlobText(const UString& value, bool ansi);
};

// A query's parameters, owned, in order.
class TDAParams : public TNamedItems<TDAParam> {
 public:
  TDAParams();
  virtual ~TDAParams();
  TDAParams(const TDAParams&) = delete;
  TDAParams& operator=(const TDAParams&) = delete;

  using TNamedItems<TDAParam>::Add;
  TDAParam* Add(UString name) { return Add(CreateParam(std::move(name))); }

  // The first parameter whose name equals `name` ignoring case, or none.
  TDAParam* FindParam(UStringView name) const { return Find(name); }
  // The same; raises EDatabaseError "Parameter '<name>' not found" when there is none.
  TDAParam* ParamByName(UStringView name) const;

  // Every parameter of `source` gives its value to the parameter of the same name here.
  void AssignValues(const TDAParams& source);

  // Rebuilds the collection from a command's descriptors after a scan: one
  // parameter per distinct name (ignoring case), in order of first
  // occurrence, typed, directed and sized after its first descriptor;
  // parameters that were here before under the same name keep their values.
  // `paramRefs`, when given, receives for each descriptor the parameter that feeds it.
  void RebuildFromParamDescs(const TParamDescs& descs, TParamFieldTypeMap fieldTypeMap,
                             std::vector<TDAParam*>* paramRefs = nullptr);

  // Writes each descriptor's parameter (found by name; descriptors without
  // one are left alone) to the descriptor.
  void WriteParamDescs(TParamDescs& descs, TParamDataTypeMap dataTypeMap, bool withValues,
                       const TParamWriteSettings& settings) const;

  TParamsChangeType GetParamsChangeType() const { return FParamsChangeType; }
  void SetParamsChangeType(TParamsChangeType value) { FParamsChangeType = value; }

 protected:
  virtual std::unique_ptr<TDAParam> CreateParam(UString name) const;

 private:
  TParamsChangeType FParamsChangeType = ctGenerated;
};

// A macro of a query's text: "&Name" stands for its value while it is active.
class TMacro {
 public:
  explicit TMacro(UString name = UString()) : FName(std::move(name)) {}
  virtual ~TMacro() = default;

  const UString& GetName() const { return FName; }
  void SetName(UString value) { FName = std::move(value); }
  const UString& GetValue() const { return FValue; }
  void SetValue(UString value) { FValue = std::move(value); }
  bool GetActive() const { return FActive; }
  void SetActive(bool value) { FActive = value; }

 private:
  UString FName;
  UString FValue;
  bool FActive = true;
};

// The macros of a query's text, in order of first occurrence.
class TMacros : public TNamedItems<TMacro> {
 public:
  static constexpr char16_t MacroChar = u'&';

  TMacro* FindMacro(UStringView name) const { return Find(name); }
  // The lexer that finds the macros: the SQL dialect unless the text is
  // another's (a MySQL text has backslash escapes in its strings, and a
  // macro there must stay inside its string).
  void SetParserClass(TParserClass value) { FParserClass = value; }
  TParserClass GetParserClass() const { return FParserClass; }
  // Rebuilds the list from the "&Name"s of `sql` (outside strings, quoted
  // names and comments; the name an identifier or keyword right after the
  // '&'; "&&" is an operator, never a macro); a macro that was here before keeps its value and state. When the
  // text does not lex, the list stays as it was.
  void Scan(const UString& sql);
  // `sql` with each "&Name" of a known macro replaced by its value, or by
  // nothing when the macro is not active. `lexer` (when given) reads the
  // text instead of the list's own.
  UString Expand(const UString& sql, TParserClass lexer = nullptr) const;

 private:
  // Calls `found(ampersandPos, endPos, name)` for each macro reference of `sql`.
  template <typename Found>
  void ForEachMacro(const UString& sql, TParserClass lexer, Found found) const;

  TParserClass FParserClass = NewParser<TSQLParser>;
};

// ---------------------------------------------------------------------------
// The connection component
// ---------------------------------------------------------------------------

class TCustomDAConnection;

// What works through a connection (a dataset, a command). A client registers
// while it is attached and unregisters before it goes (its destructor must);
// once UnRegisterClient has returned, the connection never calls it again,
// also when another thread was calling it at that moment.
class TDAConnectionClient {
 public:
  virtual ~TDAConnectionClient();

  // The connection has opened (true) or is about to close (false). A dataset
  // closes itself on the closing notice unless it works disconnected.
  virtual void ConnectChange(TCustomDAConnection& sender, bool connecting);
  // The connection has a new provider connection, or none.
  virtual void ProviderConnectionChanged(TCustomDAConnection& sender, TZelConnection* connection);
  // The connection is being destroyed: the client loses it (and need not
  // unregister any more).
  virtual void ConnectionDestroying(TCustomDAConnection& sender);
  // True when a silent reconnect would lose this client's work: an open
  // dataset that has not read all its rows, or a prepared command.
  virtual bool PreventsReconnect() const;
};

// What the connection does beyond its settings.
class TDAConnectionOptions {
 public:
  explicit TDAConnectionOptions(TCustomDAConnection& owner) : FOwner(owner) {}
  TDAConnectionOptions(const TDAConnectionOptions&) = delete;
  TDAConnectionOptions& operator=(const TDAConnectionOptions&) = delete;

  bool GetConvertEOL() const { return FConvertEOL; }
  void SetConvertEOL(bool value) { FConvertEOL = value; }
  // Datasets keep their records when the connection closes, and the
  // connection closes when the last use ends. A different value closes an
  // open connection.
  bool GetDisconnectedMode() const { return FDisconnectedMode; }
  void SetDisconnectedMode(bool value);
  bool GetKeepDesignConnected() const { return FKeepDesignConnected; }
  void SetKeepDesignConnected(bool value) { FKeepDesignConnected = value; }
  bool GetLocalFailover() const { return FLocalFailover; }
  void SetLocalFailover(bool value) { FLocalFailover = value; }
  // These reach the provider connection at once (it stays open).
  int GetDefaultSortType() const { return FDefaultSortType; }
  void SetDefaultSortType(int value);
  bool GetEnableBCD() const { return FEnableBCD; }
  void SetEnableBCD(bool value);
  bool GetEnableFMTBCD() const { return FEnableFMTBCD; }
  void SetEnableFMTBCD(bool value);

 private:
  TCustomDAConnection& FOwner;
  bool FConvertEOL = false;
  bool FDisconnectedMode = false;
  bool FKeepDesignConnected = true;
  bool FLocalFailover = false;
  int FDefaultSortType = 0;
  bool FEnableBCD = false;
  bool FEnableFMTBCD = false;
};

// Settings of the pool a connection with Pooling on takes its provider
// connection from. The sizes are checked when set ("MaxPoolSize must be 1 or
// more", "MinPoolSize must be 0..MaxPoolSize"); a change takes effect at the
// next connect.
class TPoolingOptions {
 public:
  int32_t GetMaxPoolSize() const { return FMaxPoolSize; }
  void SetMaxPoolSize(int32_t value);
  int32_t GetMinPoolSize() const { return FMinPoolSize; }
  void SetMinPoolSize(int32_t value);
  // Milliseconds from connect after which a returned connection is closed; 0: no limit.
  int32_t GetConnectionLifetime() const { return FConnectionLifetime; }
  void SetConnectionLifetime(int32_t value) { FConnectionLifetime = value; }
  // Ping an idle connection before it is handed out.
  bool GetValidate() const { return FValidate; }
  void SetValidate(bool value) { FValidate = value; }

 private:
  int32_t FMaxPoolSize = 100;
  int32_t FMinPoolSize = 0;
  int32_t FConnectionLifetime = 0;
  bool FValidate = false;
};

// The connection component without the provider registry: login data,
// connect and disconnect with their events, the counted use of datasets, the
// registered clients, and the error handler of the provider connection.
class TCustomDAConnection : public TComponent {
 public:
  using TConnectionEvent = std::function<void(TCustomDAConnection& sender)>;
  using TConnectionErrorEvent = std::function<void(TCustomDAConnection& sender, EDAError& E, bool& Fail)>;

  TCustomDAConnection();
  // Closes, detaches the clients and frees the provider connection; errors
  // on the way are swallowed.
  ~TCustomDAConnection() override;

  // A different text (compared exactly) closes an open connection first.
  const UString& GetServer() const { return FServer; }
  void SetServer(const UString& value);
  const UString& GetUsername() const { return FUsername; }
  void SetUsername(const UString& value);
  const UString& GetPassword() const { return FPassword; }
  void SetPassword(const UString& value);
  // There is no login dialog: the connection always connects directly.
  bool GetLoginPrompt() const { return FLoginPrompt; }
  void SetLoginPrompt(bool value) { FLoginPrompt = value; }
  bool GetDebug() const { return FDebug; }
  void SetDebug(bool value) { FDebug = value; }
  bool GetPooling() const { return FPooling; }
  void SetPooling(bool value);
  TPoolingOptions& PoolingOptions() { return FPoolingOptions; }
  TDAConnectionOptions& Options() { return FOptions; }
  const TDAConnectionOptions& Options() const { return FOptions; }

  // The provider connection's state: false when there is none.
  bool GetConnected() const;
  void SetConnected(bool value);
  // Opening an open connection and closing a closed one do nothing. A
  // Connect that fails at any step leaves the connection closed; a
  // Disconnect inside a Disconnect does nothing.
  void Connect();
  void Open() { Connect(); }
  void Disconnect();
  void Close() { Disconnect(); }

  // The counted use of datasets: BeginUse connects when needed (the use
  // counts once); EndUse closes when the last use ends in disconnected
  // mode outside a transaction.
  void BeginUse();
  void EndUse();
  int GetUseCount() const { return FUseCount; }

  void RegisterClient(TDAConnectionClient& client);
  void UnRegisterClient(TDAConnectionClient& client);
  int ClientCount() const;

  // The provider connection, made at the first connect; none before.
  TZelConnection* ProviderConnection() const { return FIConnection.get(); }
  // The session has a transaction open, as the provider connection sees it
  // (for MySQL the server's own flag, whoever began the transaction).
  bool InTransaction() const;
  // Raise "Connection is not connected" when closed.
  UString GetServerVersion() const;
  UString GetServerVersionFull() const;
  UString GetClientVersion() const;

  // The names the catalog lists (DAMetaData.cpp; connects when needed):
  // tables (of the current database unless `allTables`, then each as
  // schema.table), databases, stored procedures and functions (likewise).
  // Each part of a name quoted when it needs it (the provider's QuoteIfNeed).
  void GetTableNames(std::vector<UString>& list, bool allTables = false);
  void GetDatabaseNames(std::vector<UString>& list);
  void GetStoredProcNames(std::vector<UString>& list, bool allProcs = false);

  // The error handler installed in the provider connection: a fatal error
  // asks for one silent reconnect when nothing stands in the way, and
  // otherwise closes the connection.
  void HandleError(EDAError& E, bool& Fail, bool& Reconnect, bool& Reexecute, int ReconnectAttempt,
                   TConnLostCause& ConnLostCause);

  TConnectionEvent BeforeConnect;
  TConnectionEvent AfterConnect;
  TConnectionEvent BeforeDisconnect;
  TConnectionEvent AfterDisconnect;
  TConnectionErrorEvent OnError;

 protected:
  friend class TDAConnectionOptions;

  // Makes the provider connection when there is none (AttachProviderConnection)
  // and brings its settings up to date.
  virtual void CreateProviderConnection() = 0;
  // The connect step: the provider connection gets the login data and connects.
  virtual void ConnectProvider();
  // After the connect step, before the clients hear of it.
  virtual void ProviderConnected() {}
  // The disconnect step: rolls back an open transaction, closes the provider
  // connection.
  virtual void DisconnectProvider();

  // Takes a new provider connection: installs the handlers, tells the clients.
  void AttachProviderConnection(std::unique_ptr<TZelConnection> connection);
  // Frees the provider connection, or gives it back to its pool (the clients
  // hear of it first).
  void ReleaseProviderConnection();
  // Hands a setting to the provider connection when there is one.
  void SetProviderProp(TPropId prop, const Variant& value);
  // Must be called first by the destructor of a derived class, so that the
  // last disconnect still runs its overrides. Runs once.
  void Destroying();

 private:
  void DoConnect(bool countUse);
  // Leaves a connect that failed part-way closed; errors are swallowed.
  void AbandonConnect(bool clientsTold);
  // Tells the clients that the connection is closing: a fatal provider error
  // of a client starts the notice again from the first client, once.
  void NotifyClientsClosing();
  // Calls `call` for every client registered now that is still registered
  // when its turn comes. With `ignoreFatal`, a fatal provider error of one
  // client does not stop the walk.
  void ForEachClient(const std::function<void(TDAConnectionClient&)>& call, bool ignoreFatal = false);
  bool AnyClientPreventsReconnect();

  UString FServer, FUsername, FPassword;
  bool FLoginPrompt = true;
  bool FDebug = false;
  bool FPooling = false;
  TPoolingOptions FPoolingOptions;
  TDAConnectionOptions FOptions{*this};
  std::unique_ptr<TZelConnection> FIConnection;
  int FUseCount = 0;
  bool FDisconnecting = false;
  bool FInProcessError = false;
  // A session was lost with a transaction open: only an explicit Connect
  // opens the connection again.
  bool FTransactionLost = false;
  bool FDestroyed = false;

  // Clients, and the calls running on them (client, thread).
  mutable std::mutex FClientLock;
  std::condition_variable FClientCallEnded;
  std::vector<TDAConnectionClient*> FClients;
  std::vector<std::pair<TDAConnectionClient*, std::thread::id>> FClientCalls;
};

// One use of a connection (BeginUse) for as long as it lives (EndUse then);
// "Connection is not defined" without a connection.
class TConnectionUse {
 public:
  explicit TConnectionUse(TCustomDAConnection* connection);
  ~TConnectionUse() { FConnection.EndUse(); }
  TConnectionUse(const TConnectionUse&) = delete;
  TConnectionUse& operator=(const TConnectionUse&) = delete;

 private:
  static TCustomDAConnection& Defined(TCustomDAConnection* connection);
  TCustomDAConnection& FConnection;
};

// ---------------------------------------------------------------------------
// The query dataset
// ---------------------------------------------------------------------------

class TZelRecordSet;
class TDADataSetUpdater;

// How a query writes its changes back.
struct TDADataSetOptions {
  // An update or delete must touch exactly one row ("Update failed. Found %d records").
  bool StrictUpdate = true;
  // Every data field goes into UPDATE and INSERT, not only the changed or set ones.
  bool UpdateAllFields = false;
  // Columns of other tables than the updating one, and computed ones, are read-only.
  bool SetFieldsReadOnly = true;
  // Statements collected into one text before they are sent (cached updates).
  int UpdateBatchSize = 1;
  // When open does not fetch every row, a statement counts the query's rows
  // first, and RecordCount reports that count (see RecordCount).
  bool QueryRecCount = false;
};

// When a query reads a record again from the server (bits): after its
// insert or its update was written (values the server made: defaults,
// triggers, generated columns), and before an edit starts.
using TRefreshOptions = uint8_t;
constexpr TRefreshOptions roAfterInsert = 1;
constexpr TRefreshOptions roAfterUpdate = 2;
constexpr TRefreshOptions roBeforeEdit = 4;

class TCustomDADataSet;

// A one-shot timer that fires on the thread that runs ProcessDueTimers: the
// application's message loop calls it (the library starts no thread, and a
// dataset is only ever touched by its own thread).
class TDelayTimer {
 public:
  using TClock = std::chrono::steady_clock;
  explicit TDelayTimer(std::function<void()> onTimer);
  ~TDelayTimer();
  TDelayTimer(const TDelayTimer&) = delete;
  TDelayTimer& operator=(const TDelayTimer&) = delete;

  int Interval() const { return FInterval; }
  void SetInterval(int milliseconds) { FInterval = milliseconds; }
  // (Re)starts the count from `now`.
  void Start(TClock::time_point now = TClock::now());
  void Stop() { FEnabled = false; }
  bool Enabled() const { return FEnabled; }

  // Fires each started timer whose interval has passed (stopping it first);
  // returns how many fired.
  static int ProcessDueTimers(TClock::time_point now = TClock::now());

 private:
  std::function<void()> FOnTimer;
  int FInterval = 0;
  bool FEnabled = false;
  TClock::time_point FDue;
};

// The detail's link to its master's data source.
class TDADetailDataLink : public TDataLink {
 public:
  explicit TDADetailDataLink(TCustomDADataSet& detail) : FDetail(detail) {}

 protected:
  void ActiveChanged() override;
  void RecordChanged() override;
  void FieldChanged(const TField& field) override;
  void RecordLeaving() override;
  void CheckBrowseMode() override;

 private:
  TCustomDADataSet& FDetail;
};

// The statements a dataset writes, reads again and locks its records with,
// kept apart from the dataset (the dataset's UpdateObject). For each kind a
// query component (InsertObject, ...) that runs with its own SQL, or else a
// text (InsertSQL, ...) that the dataset's updater runs; either takes the
// place of the dataset's own text and of the generated statement. Their
// parameters take the record's values as the dataset's own texts do
// (":Name", ":OLD_Name", ":<field number>"). A query component must work on
// the dataset's connection (it gets it when it has none): the checks that
// undo a change run in that connection's transaction. Freeing the update
// object, its dataset or one of its query components clears the other
// side's reference.
class TCustomDAUpdateSQL : public TComponent {
 public:
  TCustomDAUpdateSQL() = default;
  ~TCustomDAUpdateSQL() override;

  TCustomDADataSet* DataSet() const { return FDataSet; }
  // The same as the dataset's SetUpdateObject(this); none detaches.
  void SetDataSet(TCustomDADataSet* value);

  const UString& InsertSQL() const { return FSQL[kInsert]; }
  void SetInsertSQL(const UString& value) { FSQL[kInsert] = value; }
  const UString& ModifySQL() const { return FSQL[kModify]; }
  void SetModifySQL(const UString& value) { FSQL[kModify] = value; }
  const UString& DeleteSQL() const { return FSQL[kDelete]; }
  void SetDeleteSQL(const UString& value) { FSQL[kDelete] = value; }
  const UString& RefreshSQL() const { return FSQL[kRefresh]; }
  void SetRefreshSQL(const UString& value) { FSQL[kRefresh] = value; }
  const UString& LockSQL() const { return FSQL[kLock]; }
  void SetLockSQL(const UString& value) { FSQL[kLock] = value; }

  TCustomDADataSet* InsertObject() const { return FObjects[kInsert]; }
  void SetInsertObject(TCustomDADataSet* value) { SetObject(kInsert, value); }
  TCustomDADataSet* ModifyObject() const { return FObjects[kModify]; }
  void SetModifyObject(TCustomDADataSet* value) { SetObject(kModify, value); }
  TCustomDADataSet* DeleteObject() const { return FObjects[kDelete]; }
  void SetDeleteObject(TCustomDADataSet* value) { SetObject(kDelete, value); }
  TCustomDADataSet* RefreshObject() const { return FObjects[kRefresh]; }
  void SetRefreshObject(TCustomDADataSet* value) { SetObject(kRefresh, value); }
  TCustomDADataSet* LockObject() const { return FObjects[kLock]; }
  void SetLockObject(TCustomDADataSet* value) { SetObject(kLock, value); }

  // The kinds, in the order of the properties.
  enum TKind : uint8_t { kInsert, kModify, kDelete, kRefresh, kLock, kKinds };
  const UString& SQL(TKind kind) const { return FSQL[kind]; }
  TCustomDADataSet* Object(TKind kind) const { return FObjects[kind]; }

 private:
  friend class TCustomDADataSet;
  void SetObject(TKind kind, TCustomDADataSet* value);
  // A query component is being freed.
  void ObjectDestroying(const TCustomDADataSet& object);

  TCustomDADataSet* FDataSet = nullptr;
  UString FSQL[kKinds];
  TCustomDADataSet* FObjects[kKinds] = {};
};

// A query on a connection: its SQL text with macros and parameters, run by
// the provider's record set, whose rows it shows. Opening connects the
// connection when needed (BeginUse), writes the parameters into the
// record set's command, runs it and fetches (all rows, or FetchRows at a time
// while the cursor moves); closing releases the rows.
class TCustomDADataSet : public TMemDataSet, public TDAConnectionClient {
 public:
  using TFetchEvent = std::function<void(TCustomDADataSet& dataSet, bool& cancel)>;

  TCustomDADataSet();
  ~TCustomDADataSet() override;

  TCustomDAConnection* GetConnection() const { return FConnection; }
  // Another connection closes the query first.
  void SetConnection(TCustomDAConnection* value);

  // The SQL text. A different text closes and unprepares the query, rescans
  // its macros and parameters and rebuilds Params; values survive by name.
  const UString& GetSQL() const { return FSQL; }
  void SetSQL(const UString& value);
  // The text that is run: trailing characters below "!" dropped, macros
  // expanded, then FilterSQL added to its WHERE clause, then, for a detail
  // in the remote mode whose text does not name a parameter after every
  // master field itself, the condition that pairs DetailFields with
  // parameters named after MasterFields ("detail = :master", joined by
  // "and").
  UString FinalSQL() const;
  // A condition on the rows of the query, added to its WHERE clause in
  // FinalSQL (its parameters join Params). A different value closes and
  // unprepares the query, and opens it again when it was open. A condition
  // that cannot be added (the text is not a SELECT, or combines results)
  // raises and leaves the value as it was, an open query open. While cached
  // changes are not applied an open query refuses a new value (it would
  // drop them).
  const UString& GetFilterSQL() const { return FFilterSQL; }
  void SetFilterSQL(const UString& value);

  // Prepares the statement on the server (connecting when needed): every
  // open then runs it with the parameters' current values and reads its rows
  // in the binary protocol. A closed query only; preparing twice does nothing.
  void Prepare();
  // Releases the prepared statement; closes the query first.
  void UnPrepare();
  bool Prepared() const;
  // Runs the text without opening the query (connecting when needed): a
  // statement that returns no rows runs as well as one that does, whose
  // rows are read and dropped. The query is closed first.
  void Execute();

  TDAParams& Params() { return FParams; }
  const TDAParams& Params() const { return FParams; }
  // Raises "Parameter '<name>' not found" (EDatabaseError), the query's name in front.
  TDAParam& ParamByName(UStringView name) const;
  TDAParam* FindParam(UStringView name) const { return FParams.FindParam(name); }
  TMacros& Macros() { return FMacros; }
  // Whether a text change rebuilds Params from the text.
  bool GetParamCheck() const { return FParamCheck; }
  void SetParamCheck(bool value) { FParamCheck = value; }

  // Rows per fetch when not all are read at open: 1..65535
  // ("FetchRows must be 1..65535"); a closed query only.
  int GetFetchRows() const { return FFetchRows; }
  void SetFetchRows(int value);
  // Forward-only reading (never fetches all rows at open); a closed query only.
  bool GetUniDirectional() const { return FUniDirectional; }
  void SetUniDirectional(bool value);
  bool GetReadOnly() const { return FReadOnly; }
  void SetReadOnly(bool value) { FReadOnly = value; }
  // How long texts are kept by the record set; a closed query only.
  bool GetLongStrings() const { return FLongStrings; }
  void SetLongStrings(bool value);
  bool GetFlatBuffers() const { return FFlatBuffers; }
  void SetFlatBuffers(bool value);

  // Every row of the open query is in memory (or the query ran no cursor).
  bool Fetched() const;
  // The records shown. While rows are still to be fetched and QueryRecCount
  // counted the query's rows at open: that count, less the rows fetched,
  // plus the records shown of them (so the local filter's hidden records,
  // and local inserts and deletes, are taken into account).
  int RecordCount() const override;
  // Rows the last statement changed; -1 when nothing was executed.
  int GetRowsAffected() const { return FRowsAffected; }
  // The provider's record set (none until the first open).
  TZelRecordSet* GetIRecordSet() const { return FIRecordSet.get(); }

  // --- editing ---
  // Changes of the records go to the server at once, through statements made
  // for the updating table: the table named here (or the first table of the
  // result), the records found by KeyFields (field names separated by ";")
  // or, when empty, by the provider's choice of key.
  TDADataSetOptions& Options() { return FOptions; }
  const UString& GetKeyFields() const { return FKeyFields; }
  void SetKeyFields(const UString& value) { FKeyFields = value; }
  const UString& GetUpdatingTable() const { return FUpdatingTable; }
  void SetUpdatingTable(const UString& value) { FUpdatingTable = value; }
  bool CanModify() const override { return !FReadOnly; }
  // lmPessimistic: Edit locks the record on the server (SELECT ... FOR
  // UPDATE with its values as read; "Record was changed by another user"
  // when they differ) inside a transaction, which Edit starts when none is
  // open and Post commits or Cancel rolls back.
  enum TLockMode : uint8_t { lmNone, lmPessimistic };
  TLockMode GetLockMode() const { return FLockMode; }
  void SetLockMode(TLockMode value) { FLockMode = value; }
  // How a lock holds the row: others can neither lock nor change it
  // (exclusive, MySQL "FOR UPDATE"), or others can lock it shared too but
  // not change it (MySQL "LOCK IN SHARE MODE").
  enum TLockType : uint8_t { ltExclusive, ltShared };
  TLockType GetLockType() const { return FLockType; }
  void SetLockType(TLockType value);
  // Locks the current record on the server now. While an edit is in work
  // the lock (and a transaction, when none is open) lasts until Post or
  // Cancel; in browse mode the connection's transaction must be open ("A
  // record lock needs an open transaction"), and holds the lock until it
  // ends. The row must still hold the values as read ("Record was changed
  // by another user"), or with roBeforeEdit its values are taken.
  void Lock();
  // roAfterInsert, roAfterUpdate, roBeforeEdit. With roBeforeEdit, Edit
  // reads the record again first (under the lock with lmPessimistic); with
  // cached updates a record whose change is pending keeps it.
  TRefreshOptions GetRefreshOptions() const { return FRefreshOptions; }
  void SetRefreshOptions(TRefreshOptions value) { FRefreshOptions = value; }
  // Statements of the query's own that write, read again and lock its
  // records instead of the generated ones (empty: generated). ":Name" takes
  // the value of the field Name (the new value), ":OLD_Name" its value as
  // read, ":<number>" the field of that number; the refresh and lock texts
  // fall back to the query's own parameters. A refresh text that starts
  // with WHERE is that condition added to the query's own text; a lock text
  // that starts with FOR follows the refresh statement. With StrictUpdate an
  // update or delete text must touch exactly one row or it is undone.
  const UString& SQLInsert() const { return FSQLInsert; }
  void SetSQLInsert(const UString& value) { FSQLInsert = value; }
  const UString& SQLUpdate() const { return FSQLUpdate; }
  void SetSQLUpdate(const UString& value) { FSQLUpdate = value; }
  const UString& SQLDelete() const { return FSQLDelete; }
  void SetSQLDelete(const UString& value) { FSQLDelete = value; }
  const UString& SQLRefresh() const { return FSQLRefresh; }
  void SetSQLRefresh(const UString& value) { FSQLRefresh = value; }
  const UString& SQLLock() const { return FSQLLock; }
  void SetSQLLock(const UString& value) { FSQLLock = value; }
  TDADataSetUpdater& Updater();
  // The update object whose statements come first (none: the texts above,
  // then the generated statements). An update object serves one dataset:
  // attached here it leaves the one it served before.
  TCustomDAUpdateSQL* UpdateObject() const { return FUpdateObject; }
  void SetUpdateObject(TCustomDAUpdateSQL* value);
  // Reads the current record again from the server (the query's own text
  // with the record's key added) and shows the values read. A record whose
  // row is gone raises "Refresh failed. Found 0 records". Browse mode only.
  void RefreshRecord();
  // Reads again only the rows changed since they were read: the query's own
  // text with the condition that their row version (the column the server
  // sets on every update) is not older than the newest one the records
  // hold ("Timestamp field required" without such a column). A row read is
  // copied into the record of its key, or added as a new record; the local
  // order is kept. With `checkDeleted`, records whose row the query no
  // longer finds (by key) then leave the dataset. Every row is fetched
  // first. With changes pending in cached updates, raises "Cannot refresh
  // while cached updates are pending" (the rows read would overwrite
  // them). RowsAffected: the rows read.
  void RefreshQuick(bool checkDeleted);
  // The lexer of the command that runs the text: the record set's, else the
  // provider's when it is known, else the generic SQL lexer.
  TParserClass CommandParserClass() const;
  // Makes a record set of the connection's provider on the connection, for
  // statements of the dataset's own (the updater's).
  std::unique_ptr<TZelRecordSet> NewStatementRecordSet();

  TDataSetNotifyEvent BeforeExecute;
  std::function<void(TCustomDADataSet& dataSet, bool result)> AfterExecute;
  TFetchEvent BeforeFetch;
  TDataSetNotifyEvent AfterFetch;

  // --- master-detail (DBAccessMasterDetail.cpp) ---
  // The detail follows the current record of the master source's dataset:
  // pairs of MasterFields and DetailFields ("A;B", paired by position). In
  // the remote mode every parameter named like a master field takes that
  // field's value and the query runs again when a value changed; in the
  // local mode (LocalMasterDetail) every row is fetched once and the records
  // whose detail fields differ from the master's are hidden. The master's
  // values are copied, so the detail stays valid when the master closes.
  // A master that is linked to this dataset raises "Circular datalinks are
  // not allowed"; a changed link reopens an open dataset. A new record (Insert,
  // Append) takes the master's values into its detail fields (after
  // OnNewRecord; read-only fields excepted). A posted record whose detail
  // fields no longer equal the master's leaves the dataset: in the local mode
  // the filter hides it, in the remote mode (without cached updates) it is
  // dropped from the records here while the server keeps the row.
  TDataSource* MasterSource() const { return FDataLink ? FDataLink->DataSource() : nullptr; }
  void SetMasterSource(TDataSource* value);
  const UString& MasterFields() const { return FMasterFields; }
  void SetMasterFields(const UString& value);
  const UString& DetailFields() const { return FDetailFields; }
  void SetDetailFields(const UString& value);
  // A closed dataset only.
  bool LocalMasterDetail() const { return FLocalMasterDetail; }
  void SetLocalMasterDetail(bool value);
  // Milliseconds between the master's last move and the detail's refresh
  // (0: at once); the refresh runs from TDelayTimer::ProcessDueTimers.
  int DetailDelay() const { return FDetailDelay; }
  void SetDetailDelay(int milliseconds);
  // Whether a delayed refresh is waiting.
  bool DetailRefreshPending() const { return FDetailRefreshTimer && FDetailRefreshTimer->Enabled(); }
  // The master's record changed (the data link's notices).
  // In the remote mode, cached updates that are not applied are never
  // dropped by a new run: while they are pending, a master that moves
  // (First, Next, Locate, Insert, ...) raises EDatabaseError "Cannot change
  // the master record while the detail has cached updates that are not
  // applied" before it moves, and a master change that reaches the detail
  // after the fact (a posted or edited link field, a reopened master) raises
  // it and leaves the detail's records, changes and parameters as they were.
  // A delayed refresh that comes due while such changes are pending waits
  // until they are applied or cancelled.
  void MasterChanged();
  // A field of the master's record in work was written: a link field makes
  // the detail follow the value in work (not while the detail edits or the
  // master inserts).
  void MasterFieldChanged(const TField& field);
  // The master is about to leave its record.
  void MasterRecordLeaving();
  // The master leaves its record (it moves, or its order or filter
  // changes): a record in work here is posted (or dropped when unchanged)
  // first, unless the master inserts while this dataset edits too.
  void MasterCheckBrowseMode();

  // The connection's notices.
  void ConnectChange(TCustomDAConnection& sender, bool connecting) override;
  void ProviderConnectionChanged(TCustomDAConnection& sender, TZelConnection* connection) override;
  void ConnectionDestroying(TCustomDAConnection& sender) override;
  bool PreventsReconnect() const override;

 protected:
  // A new record set of the connection's provider.
  virtual std::unique_ptr<TZelRecordSet> CreateIRecordSet() = 0;
  // Whether `recordSet` is of the kind the connection's provider makes.
  virtual bool IsIRecordSetOfProvider(const TZelRecordSet& recordSet) const = 0;
  // Applies the provider's own dataset options to a record set.
  virtual void ApplySpecificOptions(TZelRecordSet&) {}
  // The provider's map from field types to the data types of its descriptors.
  virtual TParamDataTypeMap ParamDataTypeMap() const;
  // Further rewriting of the final SQL (the universal layer's notation).
  virtual UString ProcessFinalSQL(UString sql) const { return sql; }
  // A record set of the connection's provider that only scans texts, for
  // when the query has none yet; none while the provider is not known.
  virtual std::unique_ptr<TZelRecordSet> CreateScanRecordSet() const { return nullptr; }
  void OpenCursor() override;
  void CloseCursor() override;
  // Writes the parameters with their values into the command, then opens the storage.
  void DataOpen() override;
  // Hands the final SQL to the command and gives the parameters their
  // values for it (a detail's from its master).
  void PrepareCommandParams();
  void DataClose() override;
  bool FetchMore() override;

  // Makes the record set when there is none or it is of another provider,
  // and sets it up; needs a provider connection.
  void CheckIRecordSet();

  // The provider's updater.
  virtual std::unique_ptr<TDADataSetUpdater> CreateUpdater();
  void WriteInsert(uint8_t* newBuf) override;
  void WriteUpdate(const uint8_t* oldBuf, uint8_t* newBuf) override;
  void WriteDelete(const uint8_t* oldBuf) override;
  // The apply pass runs in a transaction of its own when none is open: all
  // or nothing (after a rollback every change counts as not applied). When
  // the session is lost in such a pass before its commit, the connection
  // opens again and the whole pass runs again (a dataset that stays open,
  // in disconnected mode; at most kMaxReconnectAttempts times).
  void DoApplyUpdates(uint8_t kinds) override;
  void InternalEdit() override;
  void InternalPost() override;
  void InternalCancel() override;
  void DoOnNewRecord() override;
  bool KeepsPostedRecord(const uint8_t* recBuf) override;
  TUpdateRecAction ApplyChange(TUpdateRecKind kind, uint8_t* newBuf, const uint8_t* oldBuf, bool last) override;

 private:
  // Starts using the connection: "Connection is not defined" without one,
  // BeginUse, the record set up to date.
  void BeginConnection();
  void EndConnection();
  // Passes the final text to the record set's command (when there is one)
  // and rebuilds Params from the scan.
  void AssembleSQL();
  void SetRecordSetProp(TPropId prop, const Variant& value);
  // Closes the query when that was asked for during a fetch; true when it did.
  bool CloseIfAsked();
  // One apply pass; `ownPassLost` tells that it failed in a transaction of
  // its own before the commit.
  void ApplyUpdatesOnce(uint8_t kinds, bool& ownPassLost);

  // The remote master-detail condition of FinalSQL for `sql`: empty when
  // `sql` has a parameter named after every master field of the link.
  UString MasterDetailCondition(const UString& sql) const;
  // Whether the scan of `sql` finds a parameter of each of `names`.
  bool NamesParams(const UString& sql, const std::vector<UString>& names) const;

  TCustomDAConnection* FConnection = nullptr;
  UString FSQL;
  UString FFilterSQL;
  // The rows the count statement found at open; 0: not counted.
  int64_t FRecordCount = 0;
  TDAParams FParams;
  TMacros FMacros;
  bool FParamCheck = true;
  int FFetchRows = 25;
  bool FUniDirectional = false;
  bool FReadOnly = false;
  bool FLongStrings = true;
  bool FFlatBuffers = false;
  int FRowsAffected = -1;
  bool FInUse = false;
  bool FInFetch = false;
  bool FCloseAfterFetch = false;
  std::unique_ptr<TZelRecordSet> FIRecordSet;

  // Editing.
  void MarkReadOnlyFields();
  // Starts the transaction a lock of the record in work lasts in, when none is open.
  void BeginLockTransaction();
  void EndLockTransaction(bool commit);
  // Reads the current record again into the storage: under a lock (a
  // transaction open), or by the query.
  void RefreshStored(bool underLock);
  TLockMode FLockMode = lmNone;
  TLockType FLockType = ltExclusive;
  TRefreshOptions FRefreshOptions = 0;
  UString FSQLInsert, FSQLUpdate, FSQLDelete, FSQLRefresh, FSQLLock;
  // The record in work is locked.
  bool FEditLocked = false;
  // The transaction a pessimistic lock started.
  std::unique_ptr<TZelTransaction> FLockTransaction;
  TDADataSetOptions FOptions;
  UString FKeyFields;
  UString FUpdatingTable;
  std::unique_ptr<TDADataSetUpdater> FUpdater;
  friend class TCustomDAUpdateSQL;
  TCustomDAUpdateSQL* FUpdateObject = nullptr;
  // The update objects that run this dataset as one of their query components.
  std::vector<TCustomDAUpdateSQL*> FUpdateObjectUsers;
  // Clears every reference to this dataset of an update object, both ways.
  void DetachUpdateObjects();
  // Master-detail.
  bool IsLinked() const;
  TDataSet* ActiveMaster() const;
  // Applies a changed link: reopens an open dataset.
  void LinkChanged(bool wasLinked);
  // The remote mode: parameters named like master fields take their
  // values; true when one changed.
  bool AssignMasterParams();
  // The local mode: the master's values of the pairs, copied.
  void CopyMasterValues();
  bool LocalLinkAccepts(const uint8_t* recBuf);
  struct TLocalLink {
    UString DetailField;
    Variant MasterValue;  // NULL: matches only NULL
  };
  // The master's current values of the pairs (copies). `strict`: a pair
  // whose master field is missing raises "Field %s not found"; otherwise
  // pairs missing a field on either side are left out.
  std::vector<TLocalLink> MasterLinkValues(TDataSet& master, bool strict) const;
  // Whether the record's detail fields hold the links' values (NULL equals
  // only NULL; `textFlags` for texts).
  bool LinkValuesMatch(const std::vector<TLocalLink>& links, const uint8_t* recBuf, int textFlags) const;
  void InstallMasterDetailFilter();
  void RefreshDetail();
  // Raises the error of MasterChanged when a run of the remote mode would
  // drop cached updates that are not applied.
  void CheckNoPendingDetailChanges();
  // Cached changes not applied yet, a changed record in work included.
  bool HoldsUnappliedChanges() const;
  UString FMasterFields, FDetailFields;
  bool FLocalMasterDetail = false;
  int FDetailDelay = 0;
  std::unique_ptr<TDADetailDataLink> FDataLink;
  std::unique_ptr<TDelayTimer> FDetailRefreshTimer;
  std::vector<TLocalLink> FLocalLinks;
  bool FMasterEmpty = false;
};

}  // namespace vix
