// One client connection to a MySQL server: transport choice, greeting and
// login, commands and their replies, the session state.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Common/ZelVioHttp.h"
#include "Common/ZelVioTcpSSL.h"
#include "MySql/MySqlAuth.h"
#include "MySql/MySqlNet.h"
#include "MySql/MySqlResultSet.h"

namespace vix {

class TMySqlStmt;

enum MYSQL_PROTOCOL_TYPE {
  MYSQL_PROTOCOL_DEFAULT = 0,
  MYSQL_PROTOCOL_TCP = 1,
  MYSQL_PROTOCOL_SOCKET = 2,
  MYSQL_PROTOCOL_PIPE = 3,
  MYSQL_PROTOCOL_MEMORY = 4,
  MYSQL_PROTOCOL_SSL = 5,
};

enum class TMySqlStatus { msReady = 0, msGetResult = 1, msUseResult = 2 };

enum TServerCommand : uint8_t {
  scSleep = 0,
  scQuit = 1,
  scInitDb = 2,
  scQuery = 3,
  scFieldList = 4,
  scCreateDb = 5,
  scDropDb = 6,
  scRefresh = 7,
  scShutdown = 8,
  scStatistics = 9,
  scProcessInfo = 10,
  scConnect = 11,
  scProcessKill = 12,
  scDebug = 13,
  scPing = 14,
  scTime = 15,
  scDelayedInsert = 16,
  scChangeUser = 17,
  scBunLogDump = 18,
  scTableDump = 19,
  scConnectOut = 20,
  scRegisterSlave = 21,
  scPrepare = 22,
  scExecute = 23,
  scLongData = 24,
  scCloseStmt = 25,
  scResetConnection = 31,
};

constexpr uint32_t CLIENT_LONG_PASSWORD = 0x1;
// The same bit read as "a MySQL peer": a MariaDB server leaves it out of its
// greeting and carries its extended capabilities in the greeting's reserved
// bytes; a client that leaves it out of its login sends its own extended
// capabilities in the login's reserved bytes (28-31).
constexpr uint32_t CLIENT_MYSQL = CLIENT_LONG_PASSWORD;
constexpr uint32_t CLIENT_FOUND_ROWS = 0x2;
constexpr uint32_t CLIENT_LONG_FLAG = 0x4;
constexpr uint32_t CLIENT_CONNECT_WITH_DB = 0x8;
constexpr uint32_t CLIENT_COMPRESS = 0x20;
constexpr uint32_t CLIENT_LOCAL_FILES = 0x80;
constexpr uint32_t CLIENT_PROTOCOL_41 = 0x200;
constexpr uint32_t CLIENT_SSL = 0x800;
constexpr uint32_t CLIENT_TRANSACTIONS = 0x2000;
constexpr uint32_t CLIENT_SECURE_CONNECTION = 0x8000;
constexpr uint32_t CLIENT_MULTI_STATEMENTS = 0x10000;
constexpr uint32_t CLIENT_MULTI_RESULTS = 0x20000;
constexpr uint32_t kAlwaysSentFlags = 0x3A285;
// The server reports changes of tracked session variables in its OK packets.
constexpr uint32_t CLIENT_SESSION_TRACK = 0x800000;
// MariaDB's extended capabilities (the high 32 bits of its 64-bit set).
// With the metadata cache a result's column count is followed by one byte,
// 1 when the column definitions follow and 0 when the server left them out
// because the prepared statement's columns are unchanged since it last sent
// them.
constexpr uint32_t MARIADB_CLIENT_CACHE_METADATA = 0x10;

constexpr uint16_t SERVER_STATUS_IN_TRANS = 0x1;
constexpr uint16_t SERVER_STATUS_AUTOCOMMIT = 0x2;
constexpr uint16_t SERVER_MORE_RESULTS_EXISTS = 0x8;
constexpr uint16_t SERVER_STATUS_NO_BACKSLASH_ESCAPES = 0x200;
constexpr uint16_t SERVER_SESSION_STATE_CHANGED = 0x4000;

// The server's greeting (protocol 10).
struct TMySqlGreeting {
  std::string serverVersion;
  int32_t threadId = 0;
  std::array<uint8_t, 20> scramble{};
  bool has41Scramble = false;
  uint32_t serverCapabilities = 0;     // the low 16 bits
  uint32_t serverExtCapabilities = 0;  // the high 16 bits, in place (CLIENT_SESSION_TRACK...)
  // MariaDB's extended capabilities: set only by a server without CLIENT_MYSQL.
  uint32_t mariadbCapabilities = 0;
  uint32_t serverLanguage = 0;
  uint32_t serverStatus = 0;
  bool hasStatus = false;
};

// Raises 2007 for another protocol version and 2027 for a cut greeting.
TMySqlGreeting ParseGreeting(ByteSpan packet);

// What the login packet carries.
struct TMySqlLogin {
  uint32_t clientFlags = 0;  // as agreed with the server's capabilities
  uint32_t serverCapabilities = 0;
  uint8_t charsetNumber = 8;
  std::string user, password, database;
  std::array<uint8_t, 20> scramble{};
  bool has41Scramble = false;
  // MariaDB's extended capabilities asked for (only without CLIENT_MYSQL in
  // clientFlags).
  uint32_t mariadbCapabilities = 0;
};

// The login packet's payload: the flags (4 bytes, the packet limit, the
// charset and 23 reserved bytes with CLIENT_PROTOCOL_41, zero but for the
// last four, which carry MariaDB's extended capabilities when clientFlags
// lack CLIENT_MYSQL; 2 bytes and 3 zero
// bytes before), the user and a zero byte, the password answer (a 0 byte
// for no password; the 4.1 answer with its length byte to a server with
// CLIENT_SECURE_CONNECTION; the 3.23 answer and a zero byte to one without),
// then the database and a zero byte when the server takes one.
std::vector<uint8_t> BuildLoginPacket(const TMySqlLogin& login);
// The request to switch to TLS: the login packet's fixed head alone (32 bytes
// in the 4.1 layout), with the same flags.
std::vector<uint8_t> BuildSslRequest(const TMySqlLogin& login);
// The 3.23 answer to the first 8 scramble bytes and a zero byte.
std::vector<uint8_t> Build323Answer(std::string_view password, const std::array<uint8_t, 20>& scramble);

// Parsed OK packet (first byte 0x00).
struct TMySqlOk {
  int64_t affectedRows = 0;
  int64_t insertId = 0;
  bool hasStatus = false;
  uint16_t serverStatus = 0;
  uint16_t warningCount = 0;
  std::string info;
  // System variables the server reports as changed (session tracking), in order.
  std::vector<std::pair<std::string, std::string>> systemVariables;
};
// With `sessionTrack` (CLIENT_SESSION_TRACK agreed) the message is
// length-encoded and may be followed by the session-state changes.
TMySqlOk ParseOkPacket(ByteSpan packet, bool protocol41, bool transactions, bool sessionTrack = false);

// The files that the statements of `sql` read with LOAD DATA LOCAL INFILE
// (or LOAD XML LOCAL INFILE), in order, as the server will name them: the
// literal's bytes with its escapes resolved (backslash escapes only with
// `backslashEscapes`). Literals and comments are skipped, the contents of
// executable comments (/*! ... */) are read as statement text; a literal that
// does not end yields nothing.
std::vector<std::string> LocalInfileNames(std::string_view sql, bool backslashEscapes);

class TMySqlSession {
 public:
  TMySqlSession();
  ~TMySqlSession();
  TMySqlSession(const TMySqlSession&) = delete;
  TMySqlSession& operator=(const TMySqlSession&) = delete;

  // Opens the session or raises EMySqlException. Empty strings and port 0
  // take the fields' values (then port 3306 and host "localhost").
  void Connect(const std::string& host, const std::string& user, const std::string& passwd, const std::string& db,
               int port, const std::string& unixSocket, uint32_t clientflag);
  void Close();

  void WriteCommand(TServerCommand command);
  void SimpleCommand(TServerCommand command, const uint8_t* data, size_t length, bool noReply);
  // Reads a command's reply: an OK packet, or a result's column count and
  // column definitions. `cached` are the columns a prepared statement holds:
  // the only ones a reply that leaves its definitions out may stand for (the
  // same number of them; anything else is 2027).
  void ReadQueryResult(const std::vector<TMySqlFieldInfo>* cached = nullptr);
  void FreeQuery();
  void SelectDb(const std::string& db);
  // Gives the session a clean state as COM_RESET_CONNECTION does (no open
  // transaction, user variables, temporary tables, prepared statements or
  // locks; session variables from their global values; LAST_INSERT_ID 0),
  // then selects `db` (with `db` empty: fails when the session has a
  // database selected) and runs `query` (a statement without a result) when
  // not empty. Over a plain stream the commands go out together: one
  // round trip, and with `deferReplies` the replies are left for
  // ReadPendingReplies (or the next command) to read. Any failure is raised
  // once every reply has been read.
  void ResetConnection(const std::string& db, const std::string& query, bool deferReplies);
  // Reads the replies a deferred reset left; raises the first failure.
  void ReadPendingReplies();
  void Ping();
  void Kill(uint32_t threadId);
  std::string Statistics();
  // A query's bytes, sent unchanged; the reply is read into the session.
  void Query(const uint8_t* q, size_t length);
  // Reads the next result of a multi-result reply; false when there is none.
  bool NextResult();
  // The pending result set (after a query with columns), or nullptr.
  std::unique_ptr<TMySqlResultSet> UseResult();
  // Raises 2013 when the stream of this session can no longer be trusted.
  void CheckUsable();
  bool IsProtocol41() const { return (serverCapabilities & clientFlag & CLIENT_PROTOCOL_41) != 0; }

  // Error of the last API operation (kept here by the client API).
  uint32_t Ferrno = 0;
  std::string Ferror;  // UTF-8
  bool isClosed = false;
  TMySqlResultSet* FResultSet = nullptr;
  // The prepared statements of this session; cut loose when it is freed.
  std::vector<TMySqlStmt*> FStatements;
  TMySqlNet net;
  std::string host, user, password, database;
  std::string serverVersion, hostInfo, info, charset;
  uint32_t clientFlag = 0;
  int port = 0;
  int _connectTimeout = 0;
  int commandTimeout = 0;
  int32_t threadId = 0;
  uint32_t serverCapabilities = 0;
  uint32_t serverExtCapabilities = 0;
  uint32_t serverStatus = 0;
  uint32_t serverLanguage = 0;
  uint32_t warningCount = 0;
  TMySqlStatus status = TMySqlStatus::msReady;
  // Commands sent other than pings: the session's state may have changed
  // since the count was last read.
  uint64_t commandCount = 0;
  // Replies of a deferred reset not read yet.
  size_t pendingReplies = 0;
  std::array<uint8_t, 20> scrambleBuff{};
  MYSQL_PROTOCOL_TYPE protocolType = MYSQL_PROTOCOL_DEFAULT;
  // The TLS settings of the SSL protocol.
  TSslSettings ssl;
  // When set, the session reaches its server through the HTTP tunnel.
  std::optional<THttpOptions> httpOptions;
  std::vector<TMySqlFieldInfo> fields;
  int64_t affectedRows = 0, insertId = 0, extraInfo = 0;
  int32_t fieldCount = 0;
  // The last result's column definitions were left out: its columns are the
  // cached ones given to ReadQueryResult, and `fields` is empty.
  bool FMetadataReused = false;
  bool FSkipPacket = false;
  // LOAD DATA LOCAL INFILE requests are refused unless this is set, and
  // then honoured only for a file that the last query names.
  bool localInfile = false;
  // The server's request for the 3.23 password answer is refused when set.
  bool secureAuth = false;
  // The session's character_set_client as the server last reported it
  // (empty until a report came; only with CLIENT_SESSION_TRACK).
  std::string trackedCharsetClient;
  bool SessionTrack() const { return (clientFlag & CLIENT_SESSION_TRACK) != 0; }
  // MariaDB's extended capabilities agreed at login.
  uint32_t mariadbClientCapabilities = 0;
  bool CacheMetadata() const { return (mariadbClientCapabilities & MARIADB_CLIENT_CACHE_METADATA) != 0; }

 private:
  void OpenTransport(const std::string& unixSocket);
  void Login(const TMySqlGreeting& greeting, uint32_t clientflag);
  void ReadLoginReply(const std::string& passwd);
  void ReadColumns(bool definitionsFollow);
  std::optional<EMySqlException> SendLocalFile(const std::string& fileName);
  // Takes `fileName` from the files that the last query may read.
  bool TakeLocalFile(const std::string& fileName);
  // The files that the last query reads with LOAD DATA LOCAL INFILE and that
  // the server has not asked for yet.
  std::vector<std::string> FLocalFiles;
  void ApplyOk(ByteSpan packet);
  void ApplyResetReply();
};

}  // namespace vix
