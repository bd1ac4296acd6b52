#include "MySql/MyClasses.h"

#include <exception>

#include "Common/ZelConnectionPool.h"
#include "Common/ZelVio.h"
#include "MySql/MySqlApiDirect.h"
#include "rtl/CodePage.h"
#include "rtl/SysUtils.h"
#include "rtl/UString.h"

namespace vix {

TMySQLAPI& MyAPIDirect() {
  static TMySQLAPIDirect api;
  return api;
}

namespace {

[[noreturn]] void RaiseDatabaseError(UString message) {
  throw EDatabaseError(std::move(message));
}

// Character set names go into statement text: plain names only.
[[noreturn]] void RaiseInvalidCharset(const UString& name) {
  RaiseDatabaseError(Format(u"Invalid character set name: %s", {name}));
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The run of digits at `pos` as a number (0 when there is none); `pos` moves
// past it.
int32_t ReadNumber(const std::string& text, size_t& pos) {
  int64_t n = 0;
  bool any = false;
  while (pos < text.size() && IsDigit(text[pos])) {
    if (n < 100000000) n = n * 10 + (text[pos] - '0');
    any = true;
    ++pos;
  }
  return any ? static_cast<int32_t>(n) : 0;
}

UString IsolationLevelText(TZelIsolationLevel level) {
  switch (level) {
    case ilReadCommitted: return u"SET TRANSACTION ISOLATION LEVEL READ COMMITTED";
    case ilReadUnCommitted: return u"SET TRANSACTION ISOLATION LEVEL READ UNCOMMITTED";
    case ilRepeatableRead: return u"SET TRANSACTION ISOLATION LEVEL REPEATABLE READ";
    case ilIsolated: return u"SET TRANSACTION ISOLATION LEVEL SERIALIZABLE";
    default: RaiseDatabaseError(u"Unsupported transaction isolation level");
  }
}

}  // namespace

std::vector<UString> SplitEmbeddedParams(const UString& text) {
  std::vector<UString> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of(u"\r\n", start);
    if (end == UString::npos) end = text.size();
    if (end > start) lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// --- EMyError -----------------------------------------------------------------------

EMyError::EMyError(int errorCode, UString message) : EDAError(errorCode, std::move(message)) {
  if (errorCode != 1064) return;
  const UString& m = Message();
  size_t end = m.size();
  while (end > 0 && !(m[end - 1] >= u'0' && m[end - 1] <= u'9')) --end;
  size_t start = end;
  while (start > 0 && m[start - 1] >= u'0' && m[start - 1] <= u'9') --start;
  int32_t line = 0;
  if (start < end && TryStrToInt(UStringView(m).substr(start, end - start), line)) FLineNumber = line;
}

bool EMyError::IsFatalError() const {
  switch (FErrorCode) {
    case 1053:
    case 1927:
    case 2003:
    case 2006:
    case 2013: return true;
    default: return FSessionBroken;
  }
}

// --- TMySQLConnection ---------------------------------------------------------------

TMySQLConnection::TMySQLConnection() : FMySQLAPI(&MyAPIDirect()) {
  InitInternalTransaction();
}

TMySQLConnection::~TMySQLConnection() {
  try {
    Disconnect();
  } catch (...) {
  }
  for (PMYSQL dead : FDeadSessions) FMySQLAPI->mysql_close(dead);
}

std::unique_ptr<TSQLInfo> TMySQLConnection::CreateSQLInfo() const {
  return std::make_unique<TMySQLInfo>();
}

std::unique_ptr<TZelTransaction> TMySQLConnection::CreateTransaction() const {
  return std::make_unique<TMySQLTransaction>();
}

void TMySQLConnection::CheckApi() const {
  VIX_VIO_ASSERT(FMySQLAPI != nullptr);
}

bool TMySQLConnection::IsClient41() const {
  CheckApi();
  const TClientStructVer v = FMySQLAPI->FClientStructVer;
  return v == cvDirect || v == cv410 || v == cv411;
}

bool TMySQLConnection::IsServer41() const {
  CheckApi();
  return FServerPrimaryVer > 4 || (FServerPrimaryVer == 4 && FServerMinorVer > 0);
}

uint32_t TMySQLConnection::GetThreadId() {
  CheckApi();
  return FMySQL ? FMySQLAPI->mysql_thread_id(FMySQL) : 0;
}

std::string TMySQLConnection::ToSession(const UString& text) const {
  return FUseUnicode ? Utf16ToUtf8(text) : Utf16ToAnsi(text);
}

UString TMySQLConnection::FromSession(const std::string& text) const {
  return FUseUnicode ? Utf8ToUtf16Lenient(text) : AnsiToUtf16(text);
}

bool TMySQLConnection::ServerNoBackslashEscapes() const {
  return FMySQL && (FMySQL->serverStatus & SERVER_STATUS_NO_BACKSLASH_ESCAPES) != 0;
}

bool TMySQLConnection::CharsetTracked() const {
  return FMySQL && FCharsetTracked && FMySQL->SessionTrack();
}

bool TMySQLConnection::SessionCharsetDiffers() const {
  if (!FMySQL || FMySQL->trackedCharsetClient.empty()) return false;
  const UString session = LowerCaseAscii(AnsiToUtf16(FMySQL->trackedCharsetClient));
  if (FUseUnicode) return !IsUtf8Charset(session);
  const UString own = FCharset.empty() ? UString(u"latin1") : LowerCaseAscii(FCharset);
  return session != own;
}

bool TMySQLConnection::InServerTransaction() const {
  if (FInternalTransaction && FInternalTransaction->GetActive()) return true;
  if (!FMySQL || !FConnected) return false;
  const uint32_t status = FMySQL->serverStatus;
  return (status & SERVER_STATUS_IN_TRANS) != 0 || (status & SERVER_STATUS_AUTOCOMMIT) == 0;
}

bool TMySQLConnection::CanReconnect() const {
  return !InServerTransaction();
}

// --- errors ---

void TMySQLConnection::Check(const void* status, TComponent* component) {
  if (!status) MySQLError(component);
}

void TMySQLConnection::Check(int status, TComponent* component) {
  if (status != 0) MySQLError(component);
}

void TMySQLConnection::Check(TComponent* component) {
  if (FMySQL && FMySQLAPI->mysql_errno(FMySQL) != 0) MySQLError(component);
}

void TMySQLConnection::MySQLError(TComponent* component) {
  CheckApi();
  VIX_VIO_ASSERT(FMySQL != nullptr);
  RaiseError(FMySQLAPI->mysql_errno(FMySQL), FMySQLAPI->mysql_error(FMySQL), component);
}

void TMySQLConnection::RaiseError(uint32_t errorCode, const std::string& message, TComponent* component) {
  // The wire client keeps its texts in UTF-8 whatever the connection's
  // character set.
  EMyError E(static_cast<int>(errorCode), Utf8ToUtf16Lenient(message));
  E.SetComponent(component);
  E.SetSessionBroken(FMySQL && FMySQL->net.Broken());
  bool fail = true;
  const std::shared_ptr<const bool> alive = AliveToken();
  if (FOnError) ProcessError(E, fail);
  // The error callback may have freed this connection (back to its pool).
  if (fail || !*alive) throw E;
  Abort();
}

void TMySQLConnection::ProcessError(EDAError& E, bool& Fail) {
  if (!FAdditional) {
    TZelConnection::ProcessError(E, Fail);
    return;
  }
  if (FInProcessError || !FOnError) return;
  FInProcessError = true;
  bool reconnect = false, reexecute = false;
  TConnLostCause cause = clUnknown;
  const std::shared_ptr<const bool> alive = AliveToken();
  try {
    FOnError(E, Fail, reconnect, reexecute, 0, cause);
  } catch (...) {
    if (*alive) FInProcessError = false;
    throw;
  }
  if (*alive) FInProcessError = false;
}

// --- connect ---

void TMySQLConnection::ParseServerVersion(const std::string& text, int32_t& primary, int32_t& minor, int32_t& release) {
  std::string t = text;
  // MariaDB announces itself as "5.5.5-" followed by its real version.
  static const std::string kMariaPrefix = "5.5.5-";
  if (t.compare(0, kMariaPrefix.size(), kMariaPrefix) == 0 && t.size() > kMariaPrefix.size() &&
      IsDigit(t[kMariaPrefix.size()]))
    t.erase(0, kMariaPrefix.size());
  size_t pos = 0;
  primary = ReadNumber(t, pos);
  minor = release = 0;
  if (pos < t.size() && t[pos] == '.') {
    ++pos;
    minor = ReadNumber(t, pos);
    if (pos < t.size() && t[pos] == '.') {
      ++pos;
      release = ReadNumber(t, pos);
    }
  }
}

void TMySQLConnection::Connect(const UString& connectString) {
  if (FConnected) return;
  FServerVer.clear();
  FServerPrimaryVer = FServerMinorVer = 0;
  CheckApi();
  if (FEmbedded || !FDirect) RaiseDatabaseError(u"The MySQL client library is not available");
  try {
    if (FMySQL) Disconnect();
    VIX_VIO_ASSERT(FMySQL == nullptr);
    FMySQL = FMySQLAPI->mysql_init(FMySQL);
    Check(FMySQL, FComponent);
    Check(FMySQLAPI->mysql_options(FMySQL, MYSQL_OPT_CONNECT_TIMEOUT, FConnectionTimeout), FComponent);
    if (FSecureAuth) Check(FMySQLAPI->mysql_options(FMySQL, MYSQL_SECURE_AUTH, 1), FComponent);
    CheckCharset(FUseUnicode, FCharset);
    const bool utf8 = FUseUnicode;
    if (utf8) Check(FMySQLAPI->mysql_options(FMySQL, MYSQL_SET_CHARSET_NAME, std::string("utf8")), FComponent);
    switch (FProtocol) {
      case mpSSL: {
        // File names may be written with backslashes.
        auto path = [](UString text) {
          for (char16_t& ch : text)
            if (ch == u'\\') ch = u'/';
          return Utf16ToAnsi(text);
        };
        Check(FMySQLAPI->mysql_options(FMySQL, MYSQL_OPT_SSL_VERIFY, static_cast<int>(FSSLVerify)), FComponent);
        Check(FMySQLAPI->mysql_ssl_set(FMySQL, path(FSSL_Key), path(FSSL_Cert), path(FSSL_CA), path(FSSL_CAPath),
                                       Utf16ToAnsi(Trim(FSSL_Cipher))),
              FComponent);
        break;
      }
      case mpHttp: {
        // Only the built-in client has the tunnel: never fall back to a plain
        // connection the caller did not ask for.
        auto* direct = dynamic_cast<TMySQLAPIDirect*>(FMySQLAPI);
        if (!direct) RaiseDatabaseError(u"Wrong protocol");
        Check(direct->SetHttpOptions(FMySQL, &FHttpOptions), FComponent);
        break;
      }
      case mpTCP:
      case mpSocket:
      case mpPipe:
      case mpMemory:
        if (IsClient41()) {
          Check(FMySQLAPI->mysql_options(FMySQL, MYSQL_OPT_PROTOCOL, static_cast<int>(FProtocol)), FComponent);
        } else if (FProtocol == mpPipe) {
          Check(FMySQLAPI->mysql_options(FMySQL, MYSQL_OPT_NAMED_PIPE, 0), FComponent);
        }
        break;
      case mpDefault: break;
    }
    uint32_t flags = CLIENT_FOUND_ROWS;
    if (IsClient41()) flags |= CLIENT_MULTI_STATEMENTS;
    if (FCompress) flags |= CLIENT_COMPRESS;
    const size_t comma = FServer.find(u',');
    std::string host = FServer.empty() ? std::string("localhost") : Utf16ToAnsi(FServer.substr(0, comma));
    // Over a local socket the server may be given as the socket's path; the
    // host is then this machine. An empty path means the server's usual one.
    std::string socketPath;
    if ((FProtocol == mpSocket || FProtocol == mpPipe) && !host.empty() && host.front() == '/') {
      socketPath = host;
      host = "localhost";
    }
    const std::string user = utf8 ? Utf16ToUtf8(FUsername) : Utf16ToAnsi(FUsername);
    const std::string password = utf8 ? Utf16ToUtf8(FPassword) : Utf16ToAnsi(FPassword);
    // The database's name travels like the other login texts.
    const std::string database = utf8 ? Utf16ToUtf8(FDatabase) : Utf16ToAnsi(FDatabase);
    Check(FMySQLAPI->mysql_real_connect(FMySQL, host, user, password, database, FPort, socketPath, flags), FComponent);
    FConnected = true;
    FNativeConnection = true;
    TZelConnection::Connect(connectString);
    FServerVer = AnsiToUtf16(FMySQLAPI->mysql_get_server_info(FMySQL));
    ParseServerVersion(FMySQLAPI->mysql_get_server_info(FMySQL), FServerPrimaryVer, FServerMinorVer, FServerReleaseVer);
    SetCharsetStep();
    CheckBackslashesStep();
    FCleanCommandCount = FMySQL->commandCount;
  } catch (const EFailOver&) {
    // The error loop has connected again.
  } catch (...) {
    try {
      Disconnect();
    } catch (...) {
    }
    throw;
  }
}

bool TMySQLConnection::HasUtf8Mb4() const {
  // MySQL 5.5.3 brought utf8mb4; every MariaDB of 5.5 and later has it.
  if (FServerPrimaryVer != 5) return FServerPrimaryVer > 5;
  return FServerMinorVer > 5 || (FServerMinorVer == 5 && FServerReleaseVer >= 3);
}

void TMySQLConnection::CheckCharset(bool useUnicode, const UString& charset) const {
  if (useUnicode || charset.empty()) return;
  if (!IsPlainSqlName(charset)) RaiseInvalidCharset(charset);
  // Texts go out in the ANSI code page: a Unicode charset, or a multi-byte
  // one of another code page, would read them as other characters.
  const UString name = LowerCaseAscii(charset);
  const int codePage = MySqlCharsetCodePage(name);
  if (IsUtf8Charset(name) || name == u"ucs2" || name == u"utf16" || name == u"utf16le" || name == u"utf32" ||
      ((IsMultiByteCharset(name) || codePage == 0) && codePage != GetAnsiCodePage()))
    RaiseDatabaseError(Format(u"Character set %s does not match the code page %d", {name, GetAnsiCodePage()}));
}

void TMySQLConnection::SetCharsetStep() {
  FUtf8Mb4 = false;
  FCharsetTracked = false;
  if (FServerPrimaryVer < 4 || (FServerPrimaryVer == 4 && FServerMinorVer == 0)) {
    FUseUnicode = false;
    return;
  }
  // Characters outside the BMP need the 4-byte set.
  FUtf8Mb4 = FUseUnicode && HasUtf8Mb4();
  ExecuteStatement(CharsetStatement());
  FCharsetTracked = FMySQL && FMySQL->SessionTrack() && !FMySQL->trackedCharsetClient.empty();
}

UString TMySQLConnection::CharsetStatement() const {
  if (FServerPrimaryVer < 4 || (FServerPrimaryVer == 4 && FServerMinorVer == 0)) return UString();
  if (FUseUnicode) return FUtf8Mb4 ? u"SET NAMES utf8mb4" : u"SET NAMES utf8";
  // The set the texts are written in; without one, the handshake's latin1
  // (as a new session without Unicode has it).
  const UString charset = FCharset.empty() ? UString(u"latin1") : FCharset;
  if (!IsPlainSqlName(charset)) RaiseInvalidCharset(charset);
  return u"SET NAMES " + charset;
}

void TMySQLConnection::CheckBackslashesStep() {
  if (!FCheckBackslashes) {
    FNeedBackslashes = true;
    return;
  }
  std::string mode;
  bool hasValue = false;
  RunStatement(u"SELECT @@session.sql_mode", &mode, &hasValue);
  FNeedBackslashes = !(hasValue && Pos(u"NO_BACKSLASH_ESCAPES", UpperCaseAscii(FromSession(mode))) > 0);
}

void TMySQLConnection::ExecuteStatement(const UString& sql) {
  RunStatement(sql, nullptr, nullptr);
}

void TMySQLConnection::RunStatement(const UString& sql, std::string* firstValue, bool* hasValue) {
  CheckApi();
  if (!FConnected || !FMySQL) RaiseDatabaseError(u"Connection is not connected");
  if (hasValue) *hasValue = false;
  FMySQLAPI->SetTimeout(FMySQL, FConnectionTimeout);
  const std::string q = ToSession(sql);
  Check(FMySQLAPI->mysql_real_query(FMySQL, q.data(), q.size()), FComponent);
  for (;;) {
    if (FMySQLAPI->mysql_field_count(FMySQL) > 0) {
      PMYSQL_RES res = FMySQLAPI->mysql_use_result(FMySQL);
      if (!res) {
        Check(FComponent);
      } else {
        while (PMYSQL_ROW row = FMySQLAPI->mysql_fetch_row(res)) {
          if (hasValue && !*hasValue && FMySQLAPI->mysql_num_fields(res) > 0 &&
              !FMySQLAPI->_mysql_fetch_value_is_null(row, 0)) {
            *firstValue = FMySQLAPI->_mysql_fetch_value_str(row, 0);
            *hasValue = true;
          }
        }
        FMySQLAPI->mysql_free_result(res);
        Check(FComponent);
      }
    }
    const int rc = FMySQLAPI->mysql_next_result(FMySQL);
    if (rc == -1) break;
    Check(rc, FComponent);
  }
}

void TMySQLConnection::CloseSession() {
  if (FMySQL && FNativeConnection) {
    if (FInProcessError) {
      FMySQL->Close();
      FDeadSessions.push_back(FMySQL);
    } else {
      FMySQLAPI->mysql_close(FMySQL);
    }
  }
  FMySQL = nullptr;
}

void TMySQLConnection::Disconnect() {
  CloseSession();
  FConnected = false;
}

// --- settings ---

void TMySQLConnection::Assign(const TZelConnection& source) {
  TZelConnection::Assign(source);
  const auto* src = dynamic_cast<const TMySQLConnection*>(&source);
  if (!src) return;
  FConnectionTimeout = src->FConnectionTimeout;
  FDatabase = src->FDatabase;
  FPort = src->FPort;
  FCompress = src->FCompress;
  FUseUnicode = src->FUseUnicode;
  FCharset = src->FCharset;
  FProtocol = src->FProtocol;
  FMySQLAPI = src->FMySQLAPI;
  FDirect = src->FDirect;
  FEmbedded = src->FEmbedded;
  FOptimizedBigInt = src->FOptimizedBigInt;
  FNullForZeroVanticDate = src->FNullForZeroVanticDate;
  FSecureAuth = src->FSecureAuth;
  FSSL_Cipher = src->FSSL_Cipher;
  FSSL_CA = src->FSSL_CA;
  FSSL_CAPath = src->FSSL_CAPath;
  FSSL_Key = src->FSSL_Key;
  FSSL_Cert = src->FSSL_Cert;
  FSSLVerify = src->FSSLVerify;
  FHttpOptions = src->FHttpOptions;
  FCheckPrecision = src->FCheckPrecision;
}

void TMySQLConnection::AssignConnect(TZelConnection* source) {
  if (source == this) return;
  Disconnect();
  if (!source) return;
  Assign(*source);
  auto* src = dynamic_cast<TMySQLConnection*>(source);
  VIX_VIO_ASSERT(src != nullptr);
  FMySQL = src->FMySQL;
  FServerVer = src->FServerVer;
  FServerPrimaryVer = src->FServerPrimaryVer;
  FServerMinorVer = src->FServerMinorVer;
  FServerReleaseVer = src->FServerReleaseVer;
  FNeedBackslashes = src->FNeedBackslashes;
  FUtf8Mb4 = src->FUtf8Mb4;
  FCharsetTracked = src->FCharsetTracked;
  if (FInternalTransaction && src->FInternalTransaction)
    FInternalTransaction->AssignConnect(*src->FInternalTransaction);
  FConnected = true;
  FNativeConnection = false;
}

std::unique_ptr<TMySQLConnection> TMySQLConnection::CreateAdditionalConnection() const {
  auto c = std::make_unique<TMySQLConnection>();
  c->Assign(*this);
  // Its failures are its own: the error handler of this connection would
  // close or reconnect this session, from whatever thread the new one runs on.
  c->FOnError = nullptr;
  c->FComponent = FComponent;
  c->FAdditional = true;
  return c;
}

std::unique_ptr<TMySQLConnection> TMySQLConnection::TakeAdditionalConnection() const {
  if (!FPool) {
    std::unique_ptr<TMySQLConnection> c = CreateAdditionalConnection();
    c->Connect(UString());
    return c;
  }
  std::unique_ptr<TZelConnection> taken = FPool->TryGetConnection();
  if (!dynamic_cast<TMySQLConnection*>(taken.get())) return nullptr;
  std::unique_ptr<TMySQLConnection> c(static_cast<TMySQLConnection*>(taken.release()));
  // The decoding settings are this connection's, the errors the new one's own.
  c->Assign(*this);
  c->FOnError = nullptr;
  c->FComponent = FComponent;
  c->FAdditional = true;
  return c;
}

void TMySQLConnection::ReleaseAdditionalConnection(std::unique_ptr<TMySQLConnection> connection) {
  if (!connection) return;
  if (const std::shared_ptr<TZelConnectionPool> pool = connection->GetPool()) {
    connection->FAdditional = false;
    pool->PutConnection(std::move(connection));
    return;
  }
  connection->Disconnect();
}

bool TMySQLConnection::CheckIsValid() {
  // A server that stopped answering costs at most the connection time-out.
  if (FMySQLAPI && FMySQL) FMySQLAPI->SetTimeout(FMySQL, FConnectionTimeout);
  FIsValid = FMySQLAPI && FMySQL && FMySQLAPI->mysql_ping(FMySQL) == 0 && FMySQLAPI->mysql_ping(FMySQL) == 0;
  return FIsValid;
}

bool TMySQLConnection::ResetSession() {
  if (!FConnected || !FMySQL || !FMySQLAPI) return false;
  // Only pings since the connect or the last reset: the state is clean.
  if (FMySQL->commandCount == FCleanCommandCount) return true;
  try {
    // A result left unread would answer in the reset's place.
    if (FMySQL->status != TMySqlStatus::msReady) return false;
    const std::string query = ToSession(CharsetStatement());
    const std::string database = ToSession(FDatabase);
    FMySQLAPI->SetTimeout(FMySQL, FConnectionTimeout);
    if (FMySQLAPI->mysql_reset_connection(FMySQL, database, query, true) != 0) {
      FIsValid = false;
      return false;
    }
    FCharsetTracked = FMySQL->SessionTrack() && !FMySQL->trackedCharsetClient.empty();
    FCleanCommandCount = FMySQL->commandCount;
    return true;
  } catch (const std::exception&) {
    FIsValid = false;
    return false;
  }
}

bool TMySQLConnection::FinishReset() {
  if (!FConnected || !FMySQL || !FMySQLAPI) return false;
  if (FMySQL->pendingReplies == 0) return true;
  try {
    FMySQLAPI->SetTimeout(FMySQL, FConnectionTimeout);
    if (FMySQLAPI->mysql_read_reset_replies(FMySQL) == 0) return true;
  } catch (const std::exception&) {
  }
  FIsValid = false;
  return false;
}

UString TMySQLConnection::GetServerVersion() {
  return IntToStr(FServerPrimaryVer) + u"." + IntToStr(FServerMinorVer) + u"." + IntToStr(FServerReleaseVer);
}

UString TMySQLConnection::GetServerVersionFull() {
  return FServerVer;
}

UString TMySQLConnection::GetClientVersion() {
  CheckApi();
  return AnsiToUtf16(FMySQLAPI->FClientVer);
}

void TMySQLConnection::SelectAPI() {
  FMySQLAPI = &MyAPIDirect();
}

bool TMySQLConnection::SetProp(TPropId prop, const Variant& value) {
  switch (prop) {
    case prDatabase: {
      const UString name = value.AsString();
      if (name == FDatabase) return true;
      if (FConnected && FMySQL && !name.empty()) Check(FMySQLAPI->mysql_select_db(FMySQL, ToSession(name)), FComponent);
      // Only a switch that succeeded changes the name.
      FDatabase = name;
      return true;
    }
    case prPort: FPort = value.AsInteger(); return true;
    case prConnectionTimeout: FConnectionTimeout = value.AsInteger(); return true;
    case prCompress: FCompress = value.AsBoolean(); return true;
    case prCharset: {
      const UString charset = value.AsString();
      if (!charset.empty() && !IsPlainSqlName(charset)) RaiseInvalidCharset(charset);
      if (FConnected) CheckCharset(FUseUnicode, charset);
      const bool changed = charset != FCharset;
      FCharset = charset;
      if (changed && FConnected && !FUseUnicode) SetCharsetStep();
      return true;
    }
    case prProtocol: FProtocol = static_cast<TMyProtocol>(value.AsInteger()); return true;
    case prUseUnicode: {
      const bool v = value.AsBoolean();
      const bool changed = v != FUseUnicode;
      if (changed && FConnected) CheckCharset(v, FCharset);
      FUseUnicode = v;
      if (changed && FConnected) SetCharsetStep();
      return true;
    }
    case prEmbeddedParams: FEmbParams = SplitEmbeddedParams(value.AsString()); return true;
    case prSSLCipherList: FSSL_Cipher = value.AsString(); return true;
    case prSSLCACert: FSSL_CA = value.AsString(); return true;
    case prSSLCAPath: FSSL_CAPath = value.AsString(); return true;
    case prSSLKey: FSSL_Key = value.AsString(); return true;
    case prSSLCert: FSSL_Cert = value.AsString(); return true;
    case prSSLVerify: {
      const int verify = value.AsInteger();
      if (verify < svNone || verify > svIdentity) return false;
      FSSLVerify = static_cast<TMySslVerify>(verify);
      return true;
    }
    case prHttpUrl: FHttpOptions.Url = value.AsString(); return true;
    case prHttpUsername: FHttpOptions.Username = value.AsString(); return true;
    case prHttpPassword: FHttpOptions.Password = value.AsString(); return true;
    case prProxyHostname: FHttpOptions.ProxyOptions.Hostname = value.AsString(); return true;
    case prProxyPort: FHttpOptions.ProxyOptions.Port = value.AsInteger(); return true;
    case prProxyUsername: FHttpOptions.ProxyOptions.Username = value.AsString(); return true;
    case prProxyPassword: FHttpOptions.ProxyOptions.Password = value.AsString(); return true;
    case prEmbedded:
      FEmbedded = value.AsBoolean();
      SelectAPI();
      return true;
    case prDirect:
      FDirect = value.AsBoolean();
      SelectAPI();
      return true;
    case prCheckPrecision: FCheckPrecision = value.AsBoolean(); return true;
    case prOptimizedBigInt: FOptimizedBigInt = value.AsBoolean(); return true;
    case prCheckBackslashes: {
      const bool v = value.AsBoolean();
      const bool changed = v != FCheckBackslashes;
      FCheckBackslashes = v;
      if (changed && FConnected) CheckBackslashesStep();
      return true;
    }
    case prNullForZeroVanticDate: FNullForZeroVanticDate = value.AsBoolean(); return true;
    case prSecureAuth: FSecureAuth = value.AsBoolean(); return true;
    default: return TZelConnection::SetProp(prop, value);
  }
}

bool TMySQLConnection::GetProp(TPropId prop, Variant& value) {
  switch (prop) {
    case prDatabase: value = FDatabase; return true;
    case prPort: value = FPort; return true;
    case prLastInsertId: value = FMySQL ? FMySQLAPI->mysql_insert_id(FMySQL) : int64_t{0}; return true;
    case prConnectionTimeout: value = FConnectionTimeout; return true;
    case prCompress: value = FCompress; return true;
    case prCharset: value = FCharset; return true;
    case prUseUnicode: value = FUseUnicode; return true;
    case prCheckBackslashes: value = FCheckBackslashes; return true;
    case prNeedBackslashes: value = FNeedBackslashes; return true;
    case prSecureAuth: value = FSecureAuth; return true;
    case prSSLVerify: value = static_cast<int32_t>(FSSLVerify); return true;
    case prHttpUrl: value = FHttpOptions.Url; return true;
    case prProxyHostname: value = FHttpOptions.ProxyOptions.Hostname; return true;
    case prProxyPort: value = FHttpOptions.ProxyOptions.Port; return true;
    default: return TZelConnection::GetProp(prop, value);
  }
}

// --- TMySQLTransaction ------------------------------------------------------------------

TMySQLConnection& TMySQLTransaction::Connection() const {
  if (FConnections.empty()) RaiseDatabaseError(u"There are no connections in the transaction");
  if (FConnections.size() > 1) RaiseDatabaseError(u"multiple transaction");
  auto* c = dynamic_cast<TMySQLConnection*>(FConnections.front());
  if (!c || !c->GetConnected()) RaiseDatabaseError(u"One of the connections in the transaction is not active");
  return *c;
}

void TMySQLTransaction::CheckActive() const {
  if (!FActive) RaiseDatabaseError(u"Can't perform operation on inactive transaction");
}

void TMySQLTransaction::CheckSavepointName(const UString& name) const {
  if (!IsPlainSqlName(name)) RaiseDatabaseError(Format(u"Invalid savepoint name: %s", {name}));
}

void TMySQLTransaction::StartTransaction() {
  TMySQLConnection& c = Connection();
  if (FReadOnly) RaiseDatabaseError(u"Readonly transactions are not supported by the database");
  if (FActive) RaiseDatabaseError(u"Can't perform operation on active transaction");
  const UString level = IsolationLevelText(FIsolationLevel);
  if (c.IsServer41()) {
    c.ExecuteStatement(level + u"; BEGIN");
  } else {
    c.ExecuteStatement(level);
    c.ExecuteStatement(u"BEGIN");
  }
  FActive = true;
  FNativeTransaction = true;
}

void TMySQLTransaction::Commit() {
  CheckActive();
  if (FNativeTransaction) Connection().ExecuteStatement(u"COMMIT");
  FActive = false;
}

void TMySQLTransaction::Rollback() {
  CheckActive();
  if (FNativeTransaction) Connection().ExecuteStatement(u"ROLLBACK");
  FActive = false;
}

void TMySQLTransaction::Savepoint(const UString& name) {
  CheckActive();
  CheckSavepointName(name);
  Connection().ExecuteStatement(u"SAVEPOINT " + name);
}

void TMySQLTransaction::ReleaseSavepoint(const UString& name) {
  CheckActive();
  CheckSavepointName(name);
  Connection().ExecuteStatement(u"RELEASE SAVEPOINT " + name);
}

void TMySQLTransaction::RollbackToSavepoint(const UString& name) {
  CheckActive();
  CheckSavepointName(name);
  Connection().ExecuteStatement(u"ROLLBACK TO SAVEPOINT " + name);
}

}  // namespace vix
