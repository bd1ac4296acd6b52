// The MySQL provider classes: the connection over a client API object, its
// transaction, its error class and the back-quote quoting of names.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Common/ZelAccess.h"
#include "MySql/MySqlApi.h"

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

// Back-quote quoting of MySQL names.
class TMySQLInfo : public TSQLInfo {
 public:
  char16_t LeftQuote() const override { return u'`'; }
  char16_t RightQuote() const override { return u'`'; }
};

enum TMyProtocol : uint8_t { mpDefault, mpTCP, mpSocket, mpPipe, mpMemory, mpSSL, mpHttp };

class TMySQLConnection;
using TGetMySQLConnection = std::function<TMySQLConnection*()>;
using TReturnMySQLConnection = std::function<void(TMySQLConnection*)>;

// One MySQL session through a client API object.
class TMySQLConnection : public TZelConnection {
 public:
  TMySQLConnection();
  ~TMySQLConnection() override;

  std::unique_ptr<TSQLInfo> CreateSQLInfo() const override;
  // Auxiliary connections call the handler once and never reconnect.
  void ProcessError(EDAError& E, bool& Fail) override;
  std::unique_ptr<TZelTransaction> CreateTransaction() const override;
  void Connect(const UString& connectString) override;
  void Disconnect() override;
  void Assign(const TZelConnection& source) override;
  void AssignConnect(TZelConnection* source) override;
  bool CheckIsValid() override;
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
  // fetch or a command's cancel: its errors never reconnect.
  std::unique_ptr<TMySQLConnection> CreateAdditionalConnection() const;

  TMySQLAPI* GetMySQLAPI() const { return FMySQLAPI; }
  PMYSQL GetMySQL() const { return FMySQL; }
  const UString& GetDatabase() const { return FDatabase; }
  int32_t GetPort() const { return FPort; }
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
  // The server has a transaction open on this session: one started by a
  // transaction object, by statement text, or implied by autocommit off.
  bool InServerTransaction() const;
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
  int32_t FConnectionTimeout = 15;
  TMyProtocol FProtocol = mpDefault;
  bool FOptimizedBigInt = false;
  bool FNullForZeroVanticDate = false;
  bool FEmbedded = false;
  bool FDirect = true;
  bool FCheckPrecision = false;
  bool FCheckBackslashes = false;
  bool FNeedBackslashes = true;
  bool FAdditional = false;
  std::vector<UString> FEmbParams;
  UString FSSL_Cipher, FSSL_CA, FSSL_Key, FSSL_Cert;
  UString FServerVer;
  int32_t FServerPrimaryVer = 0;
  int32_t FServerMinorVer = 0;
  int32_t FServerReleaseVer = 0;
  TGetMySQLConnection FGetMySQLConnection;
  TReturnMySQLConnection FReturnMySQLConnection;
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

}  // namespace vix
