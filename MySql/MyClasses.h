// The MySQL provider classes: the connection over a client API object, its
// transaction, its error class and the back-quote quoting of names.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "Common/MemData.h"
#include "Common/ZelAccess.h"
#include "MySql/MySqlApi.h"
#include "MySql/MySqlValues.h"

namespace vix {

// The process-wide client API object over the wire client of this library.
TMySQLAPI& MyAPIDirect();

// A MySQL error: the server's or the client's number and text.
class EMyError : public EDAError {
 public:
  // A syntax error (1064) takes the last number of its text as the line number.
  EMyError(int errorCode, UString message);
  int LineNumber() const { return FLineNumber; }
  // The session was found broken when the error was read (its stream cannot
  // be trusted any more): the connection counts as lost whatever the number.
  void SetSessionBroken(bool value) { FSessionBroken = value; }
  bool SessionBroken() const { return FSessionBroken; }
  // Connection lost: 1053 (server shutdown), 1927 (connection killed), 2003
  // (cannot connect), 2006 (server gone), 2013 (lost during a query), or a
  // broken session.
  bool IsFatalError() const override;
  bool IsKeyViolation() const override { return FErrorCode == 1062; }

 private:
  int32_t FLineNumber = 0;
  bool FSessionBroken = false;
};

// Back-quote quoting of MySQL names (MyClassesNames.cpp). Every name that
// goes into a generated statement is written by QuoteName (one name from
// the server) or NormalizeName (a name written in SQL, perhaps dotted).
class TMySQLInfo : public TSQLInfo {
 public:
  char16_t LeftQuote() const override { return u'`'; }
  char16_t RightQuote() const override { return u'`'; }

  // One name as the server gives it (a column, table or schema name from a
  // result's columns or from information_schema): quoted whole, back quotes
  // inside doubled, never split at ".": a table named `a.b` is one name.
  UString QuoteName(UStringView rawName) const { return QuoteAlways(rawName); }
  // The same for a dotted path of such names (schema, table, column); empty
  // parts are left out.
  UString QuoteNames(std::initializer_list<UStringView> rawParts) const;
  // A name written in SQL split into its parts at the dots outside back
  // quotes, each part unquoted: "db.t" -> db, t; "`a.b`.`c``d`" -> a.b, c`d.
  std::vector<UString> SplitName(UStringView name) const;
  // A name written in SQL with each part quoted on its own: always when
  // `quoteNames`, else when the part needs it (QuotesNeeded).
  UString NormalizeName(UStringView name, bool quoteNames) const;
  // A part that cannot stand unquoted: empty, other characters than A-Z,
  // a-z, 0-9, "_" and "$", digits only, or a reserved word of the server.
  bool QuotesNeeded(UStringView part) const override;
};

enum TMyProtocol : uint8_t { mpDefault, mpTCP, mpSocket, mpPipe, mpMemory, mpSSL, mpHttp };
// How a TLS connection checks the server's certificate (as MYSQL_OPT_SSL_VERIFY).
enum TMySslVerify : uint8_t { svNone, svCA, svIdentity };

// The embedded-server parameters of an option text: one per line, empty lines left out.
std::vector<UString> SplitEmbeddedParams(const UString& text);

class TMySQLConnection;
using TGetMySQLConnection = std::function<TMySQLConnection*()>;
using TReturnMySQLConnection = std::function<void(TMySQLConnection*)>;

// One MySQL session through a client API object.
class TMySQLConnection : public TZelConnection {
 public:
  TMySQLConnection();
  ~TMySQLConnection() override;

  std::unique_ptr<TSQLInfo> CreateSQLInfo() const override;
  // A TMySQLMetaData (MyMetaData.h) on this connection.
  std::unique_ptr<TZelMetaData> CreateMetaData() override;
  // Auxiliary connections call the handler once and never reconnect.
  void ProcessError(EDAError& E, bool& Fail) override;
  std::unique_ptr<TZelTransaction> CreateTransaction() const override;
  void Connect(const UString& connectString) override;
  void Disconnect() override;
  void Assign(const TZelConnection& source) override;
  void AssignConnect(TZelConnection* source) override;
  bool CheckIsValid() override;
  // COM_RESET_CONNECTION and what the connect step set (the database, the
  // character set), sent together; nothing when no command ran since the
  // connect or the last reset. Over a plain stream the replies are left for
  // FinishReset (or the next command), so the return does not wait for the
  // server. Never raises.
  bool ResetSession() override;
  bool FinishReset() override;
  UString GetServerVersion() override;
  UString GetServerVersionFull() override;
  UString GetClientVersion() override;
  bool SetProp(TPropId prop, const Variant& value) override;
  bool GetProp(TPropId prop, Variant& value) override;

  // Each raises the session's error (through the error loop) when the
  // status says the operation failed.
  virtual void Check(const void* status, TComponent* component);
  virtual void Check(int status, TComponent* component);
  virtual void Check(TComponent* component);
  // Raises the error of the session (or of a prepared statement, given its
  // number and text) through the error loop: an EMyError, or the silent
  // abort when the handler cleared Fail.
  [[noreturn]] void MySQLError(TComponent* component);
  [[noreturn]] void RaiseError(uint32_t errorCode, const std::string& message, TComponent* component);

  uint32_t GetThreadId();
  bool IsClient41() const;
  bool IsServer41() const;

  // Runs a statement without parameters and discards every result it returns;
  // the read and write time-outs become the connection time-out.
  void ExecuteStatement(const UString& sql);

  // A new, closed connection with this one's settings, for a record set's
  // fetch or a command's cancel: it has no error handler (this one's would
  // act on this session), and its errors never reconnect.
  std::unique_ptr<TMySQLConnection> CreateAdditionalConnection() const;
  // A connected auxiliary connection for a record set's fetch, as
  // CreateAdditionalConnection makes it. A pooled connection takes it from
  // its own pool, so that the server never sees more than MaxPoolSize
  // sessions: none when every slot is out (the result is then read on this
  // session).
  std::unique_ptr<TMySQLConnection> TakeAdditionalConnection() const;
  // Ends an auxiliary connection of TakeAdditionalConnection: back to its
  // pool (which resets or closes it), or closed.
  static void ReleaseAdditionalConnection(std::unique_ptr<TMySQLConnection> connection);

  TMySQLAPI* GetMySQLAPI() const { return FMySQLAPI; }
  PMYSQL GetMySQL() const { return FMySQL; }
  const UString& GetDatabase() const { return FDatabase; }
  int32_t GetPort() const { return FPort; }
  bool GetCompress() const { return FCompress; }
  bool GetUseUnicode() const { return FUseUnicode; }
  const UString& GetCharset() const { return FCharset; }
  int32_t GetConnectionTimeout() const { return FConnectionTimeout; }
  TMyProtocol GetProtocol() const { return FProtocol; }
  bool GetOptimizedBigInt() const { return FOptimizedBigInt; }
  bool GetNullForZeroVanticDate() const { return FNullForZeroVanticDate; }
  bool GetCheckPrecision() const { return FCheckPrecision; }
  bool GetNeedBackslashes() const { return FNeedBackslashes; }
  // The session's own view: the server reported NO_BACKSLASH_ESCAPES in its
  // last status (false without a session).
  bool ServerNoBackslashEscapes() const;
  // The session is in utf8mb4 (a Unicode session on a server that has it).
  bool GetUtf8Mb4() const { return FUtf8Mb4; }
  // The server reports the session's character_set_client as it changes.
  bool CharsetTracked() const;
  // The session reads statements in another character set than the one
  // this connection writes them in (a SET NAMES run as a statement).
  bool SessionCharsetDiffers() const;
  // A statement may have switched the reports off: trust them no longer.
  void LoseCharsetTracking() { FCharsetTracked = false; }
  // The server has a transaction open on this session: one started by a
  // transaction object, by statement text, or implied by autocommit off.
  bool InServerTransaction() const;
  bool InTransaction() const override { return InServerTransaction(); }
  bool GetAdditional() const { return FAdditional; }
  void SetAdditional(bool value) { FAdditional = value; }
  int32_t ServerPrimaryVer() const { return FServerPrimaryVer; }
  int32_t ServerMinorVer() const { return FServerMinorVer; }
  int32_t ServerReleaseVer() const { return FServerReleaseVer; }
  void SetGetMySQLConnection(TGetMySQLConnection value) { FGetMySQLConnection = std::move(value); }
  void SetReturnMySQLConnection(TReturnMySQLConnection value) { FReturnMySQLConnection = std::move(value); }

  // Reads "5.5.62-log" as 5, 5, 62 and MariaDB's "5.5.5-10.11.6-MariaDB-1"
  // as 10, 11, 6; a missing part is 0.
  static void ParseServerVersion(const std::string& text, int32_t& primary, int32_t& minor, int32_t& release);

 protected:
  bool CanReconnect() const override;

 private:
  // The 8-bit text of the session for a UTF-16 text, and back.
  std::string ToSession(const UString& text) const;
  UString FromSession(const std::string& text) const;
  void CheckApi() const;
  void SetCharsetStep();
  // The statement the connect step sets the session's character set with
  // (empty for a server before 4.1).
  UString CharsetStatement() const;
  // Refuses a character set the texts of a connection without Unicode
  // cannot travel in (they are in the ANSI code page).
  void CheckCharset(bool useUnicode, const UString& charset) const;
  bool HasUtf8Mb4() const;
  void CheckBackslashesStep();
  // Sends one text query and reads every result; the first value of the
  // first row is kept when asked for.
  void RunStatement(const UString& sql, std::string* firstValue, bool* hasValue);
  void SelectAPI();
  // Ends the session; in the error loop the handle is only closed and kept
  // until this object goes, so that handles a caller still holds fail
  // instead of touching freed memory.
  void CloseSession();

  TMySQLAPI* FMySQLAPI;
  PMYSQL FMySQL = nullptr;
  UString FDatabase;
  int32_t FPort = 0;
  bool FCompress = false;
  bool FUseUnicode = false;
  UString FCharset;
  bool FUtf8Mb4 = false;
  bool FCharsetTracked = false;
  int32_t FConnectionTimeout = 15;
  TMyProtocol FProtocol = mpDefault;
  bool FOptimizedBigInt = false;
  bool FNullForZeroVanticDate = false;
  bool FSecureAuth = false;  // refuse the 3.23 password answer
  bool FEmbedded = false;
  bool FDirect = true;
  bool FCheckPrecision = false;
  bool FCheckBackslashes = false;
  bool FNeedBackslashes = true;
  bool FAdditional = false;
  std::vector<UString> FEmbParams;
  UString FSSL_Cipher, FSSL_CA, FSSL_CAPath, FSSL_Key, FSSL_Cert;
  TMySslVerify FSSLVerify = svNone;
  THttpOptions FHttpOptions;
  UString FServerVer;
  int32_t FServerPrimaryVer = 0;
  int32_t FServerMinorVer = 0;
  int32_t FServerReleaseVer = 0;
  TGetMySQLConnection FGetMySQLConnection;
  TReturnMySQLConnection FReturnMySQLConnection;
  // The session's command count when its state was last the connect's own.
  uint64_t FCleanCommandCount = 0;
  // Sessions closed by the error loop, freed with this object.
  std::vector<PMYSQL> FDeadSessions;
};

// A transaction on one MySQL connection; its statements go through the
// connection's ExecuteStatement.
class TMySQLTransaction : public TZelTransaction {
 public:
  void StartTransaction() override;
  void Commit() override;
  void Rollback() override;
  // Savepoint names must be plain names (A-Z, a-z, 0-9, "_").
  void Savepoint(const UString& name) override;
  void ReleaseSavepoint(const UString& name) override;
  void RollbackToSavepoint(const UString& name) override;

 private:
  TMySQLConnection& Connection() const;
  void CheckActive() const;
  void CheckSavepointName(const UString& name) const;
};

// =====================================================================================
// The command, the literals it renders, the type mapping and the record set.
// =====================================================================================

// How the server's lexer reads a quoted string of the session: the escaping
// is chosen when a literal is rendered, never cached.
struct TMyLiteralOptions {
  bool UseUnicode = true;
  // The session's NO_BACKSLASH_ESCAPES status: quotes are doubled, every
  // other byte is itself.
  bool NoBackslashEscapes = false;
  // The session's character set (lower case) when UseUnicode is off.
  UString Charset;
  // The session reads statements in a character set other than the one the
  // texts are written in: texts and bytes go out as hexadecimal literals
  // (texts with the utf8mb4 introducer), which read the same in every set.
  bool HexLiterals = false;
};

// Whether a statement text (read with `lexer`) changes the session's client
// character set (SET NAMES, SET CHARACTER SET / CHARSET, character_set_client),
// whether it touches the session's tracking of variables, and whether it
// holds a comment the server runs as SQL ("/*!", "/*M!": where its strings
// end depends on the server's version, so no literal may follow one).
struct TMyCharsetEffect {
  bool ChangesCharset = false;
  bool TouchesTracking = false;
  bool ExecutableComment = false;
};
TMyCharsetEffect CharsetEffectOf(const UString& sql, TParserClass lexer);

// The multi-byte character sets other than UTF-8 whose characters the
// escaping must keep whole ("big5", "cp932", "eucjpms", "euckr", "gb2312",
// "gbk", "sjis", "ujis"); false for every other name.
bool IsMultiByteCharset(UStringView charset);
// The code page in which 8-bit texts of that charset travel (0: none known).
int MultiByteCharsetCodePage(UStringView charset);
// The code page of a MySQL character set's 8-bit texts, single-byte sets
// included ("latin1" 1252, "cp1251" 1251, ...; 65001 for the UTF-8 sets;
// 0 for a name not known here).
int MySqlCharsetCodePage(UStringView charset);
// A UTF-8 character set of MySQL ("utf8", "utf8mb3", "utf8mb4").
bool IsUtf8Charset(UStringView charset);

// Appends `bytes` escaped for a quoted string (without the quotes). With
// `multiByteCharset` (one of the names above) whole valid characters are
// copied and every other byte at or above 0x80 gets a backslash in front.
void EscapeMySqlBytes(std::string& out, std::string_view bytes, bool noBackslashEscapes,
                      UStringView multiByteCharset = UStringView());

// The SQL literal of one parameter descriptor, in the session's bytes.
// Texts are quoted and escaped; numbers come from a typed conversion (a
// value that is not a number raises EConvertError; NaN and infinities
// too); NULL for a null descriptor.
std::string MySqlLiteral(const TParamDesc& param, const TMyLiteralOptions& options);

// Float literal: the shortest digits that read back as the same double, in
// the general layout (fixed for exponents -5..14, else "1.5E20").
std::string MySqlFloatLiteral(double value);

class TMySQLRecordset;

// One SQL text on one TMySQLConnection. Parameters are rendered into the
// text as literals, unless the command is prepared.
class TMySQLCommand : public TZelCommand {
 public:
  TMySQLCommand();
  ~TMySQLCommand() override;

  void SetConnection(TZelConnection* value) override;
  TMySQLConnection* GetMyConnection() const { return FMyConnection; }
  void SetSQL(const UString& value) override;
  UString ParseSQL(const UString& sql, TParamDescs* params, bool replaceAll = true,
                   const UString& renamePrefix = UString()) override;
  TParserClass GetParserClass() const override;
  char16_t LeftQuote() const override { return u'`'; }
  char16_t RightQuote() const override { return u'`'; }

  void Prepare() override;
  void Unprepare() override;
  bool GetPrepared() const override { return FPrepared; }
  void Execute(int iters = 1) override;
  TCursorState GetCursorState() const override { return FCursorState; }
  void SetCursorState(TCursorState value) override { FCursorState = value; }
  void BreakExec() override;
  bool SetProp(TPropId prop, const Variant& value) override;
  bool GetProp(TPropId prop, Variant& value) override;

  // The literal options of the connection's session as it is now.
  TMyLiteralOptions LiteralOptions() const;
  // The text that is sent: the scanned text with each "?" placeholder
  // (outside strings and comments) replaced by the next descriptor's literal.
  std::string BuildSQL(const TMyLiteralOptions& options);

  // Keep the result open for a record set (otherwise it is discarded).
  void SetRequestResultset(bool value) { FRequestResultset = value; }
  PMYSQL_RES GetSQLResult() const { return FSQLResult; }
  PMYSQL_STMT GetStmt() const { return Fstmt; }
  int64_t GetRowsAffected() const { return FRowsAffected; }
  int64_t GetLastInsertId() const { return FLastInsertId; }
  int32_t GetCommandTimeout() const { return FCommandTimeout; }
  bool GetOpenNext() const { return FOpenNext; }
  void SetOpenNext(bool value) { FOpenNext = value; }
  bool GetExecuting() const;
  // The rows that every statement of the last text affected together (a
  // text of several statements reports only its first count otherwise).
  int64_t RowsAffectedTotal() const { return FRowsAffectedTotal; }
  // What the current text does to the session (CharsetEffectOf), known to
  // the caller (from the statements it joined), so that the text is not
  // lexed again. Holds for this text and the session's lexer of now.
  void SetCharsetEffect(const TMyCharsetEffect& effect);
  bool GetEnableBCD() const { return FEnableBCD; }
  bool GetEnableFMTBCD() const { return FEnableFMTBCD; }
  TCompressBlobMode GetCompressBlob() const { return FCompressBlob; }
  // Called with the final text just before it is sent.
  void SetOnExecute(std::function<void(const UString&)> value) { FOnExecute = std::move(value); }

  // --- the cursor over the open result ---
  // A result read to its end is closed already: the command may run again.
  void RearmIfFetched();
  // Marks the open result as being read; false when there is none to read.
  bool BeginFetch();
  // The next row of the open result, or null at its end; a failed read
  // raises the session's error.
  PMYSQL_ROW FetchRow();
  // Frees the open result (unread rows are read and dropped, so the session
  // is in step); true when the text has further results.
  bool CloseResult();
  // The text has further results waiting on the session.
  bool HasMoreResults() const;
  int CompletedStatements() const override { return FCompletedStatements; }
  // Reads on to the next result of the text that has columns, skipping those
  // without; null when none is left. `rowsAffected` goes from statement to
  // statement (the last one read), `previousRowsAffected` one behind it. A
  // failed statement raises its error.
  PMYSQL_RES NextResultWithColumns(int64_t& rowsAffected, int64_t* previousRowsAffected = nullptr);
  // Makes a result taken by NextResultWithColumns the open one.
  void OpenResult(PMYSQL_RES result, int64_t rowsAffected);
  // Reads and drops every further result of the text.
  void DiscardResults();
  // Done with the result: the state of a command that may run again.
  void EndCursor();
  // Runs the next executions with `sql` in place of the scanned text, until
  // RestoreText; the parameters stay.
  void OverrideText(const UString& sql);
  void RestoreText();

 private:
  TMySQLConnection& Connection() const;
  void ExecuteText();
  void ExecutePrepared();
  // Scans the stored text again when the session's quoting mode is no longer
  // the one it was scanned in; descriptors keep their values by name.
  void ScanForSession();
  // Takes the first result with columns (skipping results without), or
  // discards every result when no record set waits for one.
  void TakeResults();

  TMySQLConnection* FMyConnection = nullptr;
  int32_t FCommandTimeout = 0;
  TCursorState FCursorState = csInactive;
  int64_t FRowsAffected = -1;
  int64_t FRowsAffectedPrev = 0;
  int64_t FRowsAffectedTotal = 0;
  // Results of the last text read so far: its statements that succeeded.
  int FCompletedStatements = 0;
  int64_t FLastInsertId = 0;
  bool FStoredProc = false;
  bool FCanReadParams = false;
  bool FIsSelectParams = false;
  bool FRequestResultset = false;
  std::vector<UString> FCachedSQL;
  TParserClass FScanLexer = nullptr;    // the lexer the stored text was scanned with
  TParserClass FCachedLexer = nullptr;  // the lexer FCachedSQL was cut with
  TParserClass FEffectLexer = nullptr;  // the lexer FEffect was found with (none: not yet)
  UString FEffectSQL;                   // the text FEffect was found in
  TMyCharsetEffect FEffect;
  std::vector<int32_t> FParamPositions;
  bool FFillParamPosition = false;
  bool FPrepared = false;
  PMYSQL_STMT Fstmt = nullptr;
  bool FOpenNext = false;
  std::function<void(const UString&)> FOnExecute;
  PMYSQL_RES FSQLResult = nullptr;
  mutable std::mutex FBreakExecCS;
  bool FExecuting = false;
  bool FWaitForBreak = false;
  bool FTextOverridden = false;
  UString FSavedSQL;
  std::vector<UString> FSavedCachedSQL;
};

// A column of a MySQL result.
class TMySQLFieldDesc : public TFieldDesc {
 public:
  uint8_t FMySQLType = 0;
  bool FIsUnsigned = false;
  bool FIsPrimaryKey = false;
  bool FIsBinary = false;
  bool FIsCurrentTimestamp = false;
  // The column flags the server sent (NOT_NULL_FLAG, UNIQUE_KEY_FLAG, ...).
  uint32_t FFlags = 0;
  int32_t FCharsetNr = 0;
  UString FTableName;
  UString FTableAlias;
  // The database of FTableName as the server named it (empty: not known).
  UString FDatabase;
  // Digits of the fraction of seconds (TIMESTAMP(n), DATETIME(n), TIME(n)).
  uint32_t FDecimals = 0;
};

// The settings that steer the mapping of columns to record fields.
struct TMyMappingOptions {
  bool UseUnicode = false;
  bool FieldsAsString = false;
  bool EnableBoolean = true;
  bool BinaryAsString = true;
  bool LongStrings = true;
  bool FlatBuffers = true;
  bool OptimizedBigInt = false;
  bool CheckPrecision = false;
  bool EnableBCD = false;
  bool EnableFMTBCD = false;
  // The statement text holds the SHOW keyword.
  bool IsShow = false;
  // The session is utf8mb4: a character takes up to 4 bytes and up to two
  // UTF-16 units, so a wide string's length counts two units per character.
  bool Utf8Mb4 = false;
};

// Chooses the data type, length and size of one column. An unknown type
// raises EDAError "Unknown MySQL datatype (<code>)".
void MapMySqlField(const TMYSQL_FIELD& field, const TMyMappingOptions& options, TMySQLFieldDesc& desc);

// The record set over a TMySQLCommand's text-protocol result.
class TMySQLRecordset : public TZelRecordSet {
 public:
  TMySQLRecordset();
  ~TMySQLRecordset() override;

  TMySQLCommand& Command() const { return *FMyCommand; }
  // While the command reads on an auxiliary fetch connection, the record set
  // stays on `value`: a change of connection releases the auxiliary one.
  void SetConnection(TZelConnection* value) override;
  void ExecCommand() override;
  bool Fetch() override;
  bool RowsReturn() const override;
  bool CanDisconnect() const override;
  bool SetProp(TPropId prop, const Variant& value) override;
  bool GetProp(TPropId prop, Variant& value) override;
  // Reads the descriptors of the statement without running it for its rows
  // (only for a first statement that starts with SELECT, WITH, SHOW,
  // DESCRIBE or EXPLAIN; any other raises EDatabaseError).
  void DescribeFields();
  // The rewrite that makes a SELECT return no rows; other texts unchanged.
  static UString DescribeOnlySQL(const UString& sql);
  // Opens the next result of a multi-statement text (false when none).
  bool OpenNext();
  TMyMappingOptions MappingOptions() const;
  // The connection the command reads on now (an auxiliary fetch connection
  // while one is in use; null when none is set).
  TMySQLConnection* FetchConnection() const { return FMyCommand->GetMyConnection(); }
  bool UsesFetchConnection() const { return FConnectionSwap != nullptr; }

 protected:
  void CreateCommand() override;
  void SetCommand(std::unique_ptr<TZelCommand> value) override;
  void InternalInitFields() override;
  void InternalClose() override;

 private:
  // Ends reading the current result: drains its unread rows (or, on an
  // auxiliary fetch connection, ends a long rest with a KILL), and with
  // `lookAhead` finds the next result of the text that has columns. The
  // auxiliary connection goes once no result of the text is left.
  void CloseResult(bool lookAhead);
  // Moves the command to another session of the connection's settings (from
  // the pool of a pooled connection; the command stays when the pool has no
  // free slot), so that the connection stays free for other statements
  // while rows are read.
  void MoveToFetchConnection();
  // Puts the command back on the main connection and closes the auxiliary
  // session (a result still open on it is then freed without reading).
  void ReleaseFetchConnection();
  // Ends the rest of a result on the auxiliary connection: a short rest is
  // read, a longer one killed over the main connection. True when the
  // auxiliary session was killed (its result must not be read any more).
  bool FastClose();
  // Decodes a row with the columns' targets of FValueSlots.
  void DecodeRow(PMYSQL_ROW row, uint8_t* recBuf);
  void DecodeValue(const TMySQLFieldDesc& f, const TMySqlValueSlot& target, std::string_view value, uint8_t* recBuf,
                   uint8_t& isNull);
  TMySQLConnection& Connection() const;

  TMySQLCommand* FMyCommand = nullptr;
  bool FNullForZeroDate = true;
  bool FFieldsAsString = false;
  bool FEnableBoolean = true;
  bool FBinaryAsString = true;
  bool FCreateConnection = true;
  bool FUseHandler = false;
  enum TMyOpenNextState : uint8_t { osNotChecked, osMoreResults, osNoMoreResults, osError };
  TMyOpenNextState FOpenNextState = osNotChecked;
  PMYSQL_RES FSQLResultNext = nullptr;
  int64_t FRowsAffectedNext = 0;
  // The main connection while the command runs on FFetchConnection.
  TMySQLConnection* FConnectionSwap = nullptr;
  std::unique_ptr<TMySQLConnection> FFetchConnection;
  // The statement on the auxiliary connection is a single SELECT: an unread
  // rest of its result may be ended with a KILL.
  bool FIsCanFastClose = false;
  std::vector<uint8_t> FNulls;
  // What DecodeMySqlValue needs of each column, made once per fetch rather
  // than for every value.
  std::vector<TMySqlValueSlot> FValueSlots;
  // Copies of the connection's settings, kept after it goes.
  bool FUseUnicode = false;
  bool FNullForZeroVanticDate = false;
};

}  // namespace vix
