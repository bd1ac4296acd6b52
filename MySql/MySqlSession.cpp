#include "MySql/MySqlSession.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <optional>

#include "Common/ZelVioLocal.h"
#include "Common/ZelVioTcp.h"
#include "MySql/MySqlStmt.h"
#include "rtl/UString.h"

namespace vix {

// --- packets of the session ---------------------------------------------------------

TMySqlGreeting ParseGreeting(ByteSpan packet) {
  TMySqlReader r(packet);
  const uint8_t version = r.ReadByte();
  if (version != 10) throw EMySqlException(CR_VERSION_ERROR, u"", {version, 10});
  TMySqlGreeting g;
  g.serverVersion = r.ReadNulString();
  g.threadId = r.ReadInt32();
  const ByteSpan first = r.ReadSpan(8);
  std::copy(first.begin(), first.end(), g.scramble.begin());
  const size_t p = r.Position();
  if (packet.size() > p + 2) {
    r.Skip(1);
    g.serverCapabilities = r.ReadUInt16();
  }
  if (packet.size() >= p + 18) {
    g.serverLanguage = r.ReadByte();
    g.serverStatus = r.ReadUInt16();
    g.hasStatus = true;
    g.serverExtCapabilities = static_cast<uint32_t>(r.ReadUInt16()) << 16;
  }
  // MariaDB's extended capabilities: the last 4 of the 10 reserved bytes.
  if (packet.size() >= p + 19 && !(g.serverCapabilities & CLIENT_MYSQL))
    g.mariadbCapabilities = TMySqlReader(packet.subspan(p + 15, 4)).ReadUInt32();
  // The second part of the scramble: 12 bytes at p + 19.
  if (packet.size() >= p + 31) {
    const ByteSpan second = packet.subspan(p + 19, 12);
    std::copy(second.begin(), second.end(), g.scramble.begin() + 8);
    g.has41Scramble = true;
  }
  return g;
}

std::vector<uint8_t> BuildSslRequest(const TMySqlLogin& login) {
  std::vector<uint8_t> out;
  TMySqlWriter w(out);
  if (login.clientFlags & CLIENT_PROTOCOL_41) {
    w.WriteInt(login.clientFlags, 4);
    w.WriteInt(TMySqlNet::kDefaultMaxPacketSize, 4);
    w.WriteByte(login.charsetNumber);
    w.Fill(0, 19);
    w.WriteInt(login.clientFlags & CLIENT_MYSQL ? 0 : login.mariadbCapabilities, 4);
  } else {
    w.WriteInt(login.clientFlags, 2);
    w.WriteInt(TMySqlNet::kDefaultMaxPacketSize & 0xFFFF, 3);
  }
  return out;
}

std::vector<uint8_t> BuildLoginPacket(const TMySqlLogin& login) {
  std::vector<uint8_t> out = BuildSslRequest(login);
  out.reserve(64 + login.user.size() + login.database.size());
  TMySqlWriter w(out);
  w.WriteNulString(login.user);
  if (login.password.empty()) {
    w.WriteByte(0);
  } else if (!(login.serverCapabilities & CLIENT_SECURE_CONNECTION)) {
    w.WriteBytes(Build323Answer(login.password, login.scramble));
  } else if (login.has41Scramble) {
    w.WriteByte(20);
    w.WriteBytes(ByteSpan(Scramble41(login.password, login.scramble)));
  } else {
    w.Fill('x', 8);
    w.WriteByte(0);
  }
  if (login.serverCapabilities & CLIENT_CONNECT_WITH_DB) w.WriteNulString(login.database);
  return out;
}

std::vector<uint8_t> Build323Answer(std::string_view password, const std::array<uint8_t, 20>& scramble) {
  const auto answer = Scramble323(password, ByteSpan(scramble).first(8));
  std::vector<uint8_t> out(answer.begin(), answer.end());
  out.push_back(0);
  return out;
}

namespace {

// The session-state changes of an OK packet: entries of a type byte and
// length-encoded data; a system variable's data is its name and value.
void ParseSessionState(ByteSpan state, TMySqlOk& ok) {
  constexpr uint8_t kTrackSystemVariables = 0;
  TMySqlReader r(state);
  while (!r.AtEnd()) {
    const uint8_t type = r.ReadByte();
    const ByteSpan data = r.ReadLengthString();
    if (type != kTrackSystemVariables) continue;
    TMySqlReader v(data);
    const ByteSpan name = v.ReadLengthString();
    const ByteSpan value = v.ReadLengthString();
    ok.systemVariables.emplace_back(std::string(name.begin(), name.end()), std::string(value.begin(), value.end()));
  }
}

}  // namespace

TMySqlOk ParseOkPacket(ByteSpan packet, bool protocol41, bool transactions, bool sessionTrack) {
  TMySqlReader r(packet);
  if (r.ReadFieldLength() != 0) RaiseMalformedPacket();
  TMySqlOk ok;
  ok.affectedRows = r.ReadFieldLength();
  ok.insertId = r.ReadFieldLength();
  if (protocol41 || transactions) {
    ok.serverStatus = r.ReadUInt16();
    ok.hasStatus = true;
  }
  if (protocol41) ok.warningCount = r.ReadUInt16();
  if (protocol41 && sessionTrack) {
    if (r.AtEnd()) return ok;
    const ByteSpan info = r.ReadLengthString();
    ok.info.assign(info.begin(), info.end());
    if ((ok.serverStatus & SERVER_SESSION_STATE_CHANGED) != 0 && !r.AtEnd())
      ParseSessionState(r.ReadLengthString(), ok);
    return ok;
  }
  // A 4.1 server sends the message as a length-encoded string; older ones
  // send the bare text.
  if (protocol41 && !r.AtEnd()) {
    TMySqlReader text(r.Bytes(), r.Position());
    if (text.ReadFieldLength() == static_cast<int64_t>(text.Remaining())) r = text;
  }
  ok.info = r.ReadNulString();
  return ok;
}

// --- LOAD DATA LOCAL INFILE -------------------------------------------------------------

namespace {

bool IsWordByte(uint8_t c) {
  return std::isalnum(c) || c == '_' || c == '$' || c >= 0x80;
}

bool SameWord(std::string_view word, std::string_view upper) {
  if (word.size() != upper.size()) return false;
  for (size_t i = 0; i < word.size(); ++i)
    if (std::toupper(static_cast<uint8_t>(word[i])) != upper[i]) return false;
  return true;
}

// One token of statement text: a word, a string literal (its value) or any
// other byte.
struct TSqlToken {
  enum { Word, Literal, Other } kind;
  std::string text;
};

// The tokens of `sql` with comments skipped; false when a literal or a
// quoted name does not end.
bool SqlTokens(std::string_view sql, bool backslashEscapes, std::vector<TSqlToken>& tokens) {
  const size_t n = sql.size();
  size_t i = 0;
  while (i < n) {
    const uint8_t c = static_cast<uint8_t>(sql[i]);
    if (std::isspace(c)) {
      ++i;
    } else if (c == '#' || (sql.substr(i, 2) == "--" && (i + 2 == n || std::isspace(static_cast<uint8_t>(sql[i + 2])) ||
                                                         std::iscntrl(static_cast<uint8_t>(sql[i + 2]))))) {
      const size_t end = sql.find('\n', i);
      i = end == std::string_view::npos ? n : end + 1;
    } else if (sql.substr(i, 3) == "/*!" || sql.substr(i, 4) == "/*M!") {
      // Executable comment: its text runs; the version number before it does not.
      i += sql[i + 2] == '!' ? 3 : 4;
      while (i < n && std::isdigit(static_cast<uint8_t>(sql[i]))) ++i;
    } else if (sql.substr(i, 2) == "/*") {
      const size_t end = sql.find("*/", i + 2);
      i = end == std::string_view::npos ? n : end + 2;
    } else if (sql.substr(i, 2) == "*/") {
      i += 2;  // the end of an executable comment
    } else if (c == '\'' || c == '"' || c == '`') {
      std::string value;
      bool closed = false;
      for (++i; i < n;) {
        const char d = sql[i];
        if (d == static_cast<char>(c)) {
          if (i + 1 < n && sql[i + 1] == static_cast<char>(c)) {
            value += d;
            i += 2;
            continue;
          }
          ++i;
          closed = true;
          break;
        }
        if (d == '\\' && backslashEscapes && c != '`' && i + 1 < n) {
          const char e = sql[i + 1];
          switch (e) {
            case '0': value += '\0'; break;
            case 'b': value += '\b'; break;
            case 'n': value += '\n'; break;
            case 'r': value += '\r'; break;
            case 't': value += '\t'; break;
            case 'Z': value += '\x1A'; break;
            case '%':
            case '_':
              value += '\\';
              value += e;
              break;
            default: value += e; break;
          }
          i += 2;
          continue;
        }
        value += d;
        ++i;
      }
      if (!closed) return false;
      tokens.push_back({c == '`' ? TSqlToken::Word : TSqlToken::Literal, std::move(value)});
    } else if (IsWordByte(c)) {
      const size_t start = i;
      while (i < n && IsWordByte(static_cast<uint8_t>(sql[i]))) ++i;
      tokens.push_back({TSqlToken::Word, std::string(sql.substr(start, i - start))});
    } else {
      tokens.push_back({TSqlToken::Other, std::string(1, static_cast<char>(c))});
      ++i;
    }
  }
  return true;
}

}  // namespace

std::vector<std::string> LocalInfileNames(std::string_view sql, bool backslashEscapes) {
  std::vector<TSqlToken> tokens;
  std::vector<std::string> names;
  if (!SqlTokens(sql, backslashEscapes, tokens)) return names;
  auto word = [&](size_t k, std::string_view w) {
    return k < tokens.size() && tokens[k].kind == TSqlToken::Word && SameWord(tokens[k].text, w);
  };
  for (size_t k = 0; k < tokens.size(); ++k) {
    if (!word(k, "LOAD") || !(word(k + 1, "DATA") || word(k + 1, "XML"))) continue;
    size_t m = k + 2;
    if (word(m, "LOW_PRIORITY") || word(m, "CONCURRENT")) ++m;
    if (!word(m, "LOCAL") || !word(m + 1, "INFILE")) continue;
    if (m + 2 < tokens.size() && tokens[m + 2].kind == TSqlToken::Literal) names.push_back(tokens[m + 2].text);
  }
  return names;
}

// --- TMySqlSession -------------------------------------------------------------------

TMySqlSession::TMySqlSession() = default;

TMySqlSession::~TMySqlSession() {
  if (FResultSet) FResultSet->DetachSession();
  for (TMySqlStmt* stmt : FStatements) stmt->DetachSession();
  try {
    Close();
  } catch (...) {
  }
}

void TMySqlSession::CheckUsable() {
  if (net.Broken()) throw EMySqlException(CR_SERVER_LOST);
}

void TMySqlSession::OpenTransport(const std::string& unixSocket) {
  if (httpOptions) {
    net.SetVio(std::make_unique<TZelVioHttp>(*httpOptions, port, host));
    hostInfo = host + " via HTTP";
    return;
  }
  switch (protocolType) {
    case MYSQL_PROTOCOL_DEFAULT:
    case MYSQL_PROTOCOL_TCP:
      net.SetVio(std::make_unique<TZelVioTcp>(host, port));
      hostInfo = host + " via TCP/IP";
      break;
    case MYSQL_PROTOCOL_SSL:
      net.SetVio(std::make_unique<TZelVioTcpSSL>(host, port, ssl));
      hostInfo = host + " via TCP/IP";
      break;
    case MYSQL_PROTOCOL_SOCKET:
    case MYSQL_PROTOCOL_PIPE: {
      // Both local transports are a Unix-domain socket, on Windows a named pipe.
      auto vio = std::make_unique<TZelVioLocal>(host, unixSocket, port);
#ifdef _WIN32
      hostInfo = (IsLocalHostName(host) ? std::string(".") : host) + " via named pipe";
#else
      hostInfo = "Localhost via UNIX socket " + vio->SocketPath();
#endif
      net.SetVio(std::move(vio));
      break;
    }
    default:
      // The other transports are not part of this client yet; an attached
      // transport (a test's, for instance) is used as it is.
      if (!net.vio()) throw EMySqlException(CR_CONN_UNKNOW_PROTOCOL);
      break;
  }
}

void TMySqlSession::Connect(const std::string& host_, const std::string& user_, const std::string& passwd,
                            const std::string& db, int port_, const std::string& unixSocket, uint32_t clientflag) {
  const std::string useHost = host_.empty() ? host : host_;
  const std::string useUser = user_.empty() ? user : user_;
  const std::string usePassword = passwd.empty() ? password : passwd;
  const std::string useDb = db.empty() ? database : db;
  int usePort = port_ != 0 ? port_ : port;
  if (usePort == 0) usePort = 3306;
  host = useHost.empty() ? "localhost" : useHost;
  port = usePort;
  serverStatus = SERVER_STATUS_AUTOCOMMIT;
  isClosed = false;
  status = TMySqlStatus::msReady;
  OpenTransport(unixSocket);
  TZelVio* vio = net.vio();
  vio->SetTimeout(_connectTimeout);
  try {
    vio->Connect();
  } catch (const SocketException& e) {
    // The local socket's own errors name the path and the system's reason.
    const int code = e.ErrorCode();
    if (code == CR_NAMEDPIPEWAIT_ERROR || code == CR_NAMEDPIPEOPEN_ERROR || code == CR_NAMEDPIPESETSTATE_ERROR)
      throw EMySqlException::WithMessage(code, e.Message());
    throw EMySqlException(CR_CONN_HOST_ERROR, vio->LastError(), {UString(Utf8ToUtf16Lenient(host)), 10061});
  } catch (const Exception&) {
    throw EMySqlException(CR_CONN_HOST_ERROR, vio->LastError(), {UString(Utf8ToUtf16Lenient(host)), 10061});
  }
  net.NewCommand();
  net.Receive();
  const TMySqlGreeting g = ParseGreeting(net.Packet());
  serverVersion = g.serverVersion;
  threadId = g.threadId;
  scrambleBuff = g.scramble;
  serverCapabilities = g.serverCapabilities;
  serverExtCapabilities = g.serverExtCapabilities;
  trackedCharsetClient.clear();
  serverLanguage = g.serverLanguage;
  if (g.hasStatus) serverStatus = g.serverStatus;
  net.Clear();

  user = useUser;
  uint32_t f = clientflag;
  if (f & CLIENT_MULTI_STATEMENTS) f |= CLIENT_MULTI_RESULTS;
  f |= clientFlag | kAlwaysSentFlags | CLIENT_CONNECT_WITH_DB;
  f &= ~((CLIENT_COMPRESS | CLIENT_PROTOCOL_41 | CLIENT_SSL) & ~serverCapabilities);
  f &= ~CLIENT_SSL;
  // A session that asked for TLS never logs in in plain text.
  auto* tls = protocolType == MYSQL_PROTOCOL_SSL ? dynamic_cast<TZelVioTcpSSL*>(net.vio()) : nullptr;
  if (protocolType == MYSQL_PROTOCOL_SSL) {
    if (!tls) net.Raise(EMySqlException(CR_CONN_UNKNOW_PROTOCOL));
    if (!(serverCapabilities & CLIENT_SSL))
      net.Raise(EMySqlException::WithMessage(CR_SSL_CONNECTION_ERROR,
                                             u"SSL connection error: the server does not offer TLS"));
    f |= CLIENT_SSL;
  }
  // Changes of the session's variables (its character set above all) are
  // reported when the server can.
  f &= ~CLIENT_SESSION_TRACK;
  if ((serverExtCapabilities & CLIENT_SESSION_TRACK) != 0 && (f & CLIENT_PROTOCOL_41) != 0) f |= CLIENT_SESSION_TRACK;
  // A MariaDB server keeps a prepared statement's column definitions to
  // itself while they are unchanged: the statement reuses its own.
  mariadbClientCapabilities = 0;
  if (!(serverCapabilities & CLIENT_MYSQL) && (f & CLIENT_PROTOCOL_41) &&
      (g.mariadbCapabilities & MARIADB_CLIENT_CACHE_METADATA)) {
    f &= ~CLIENT_MYSQL;
    mariadbClientCapabilities = MARIADB_CLIENT_CACHE_METADATA;
  }
  if (secureAuth && !(serverCapabilities & CLIENT_SECURE_CONNECTION) && !usePassword.empty()) {
    net.Raise(EMySqlException(CR_SECURE_AUTH));
  }
  clientFlag = f;
  net.SetMaxPacketSize(TMySqlNet::kDefaultMaxPacketSize);
  TMySqlLogin login;
  login.clientFlags = f;
  login.serverCapabilities = serverCapabilities;
  login.charsetNumber = charset == "utf8" ? 33 : 8;
  login.user = useUser;
  login.password = usePassword;
  login.database = useDb;
  login.scramble = scrambleBuff;
  login.has41Scramble = g.has41Scramble;
  login.mariadbCapabilities = mariadbClientCapabilities;
  if (tls) {
    // The TLS request repeats the login's flags; the login follows inside TLS.
    net.WriteBytes(BuildSslRequest(login));
    net.Send();
    try {
      tls->SetSecure();
    } catch (const SocketException& e) {
      net.Raise(EMySqlException::WithMessage(CR_SSL_CONNECTION_ERROR, e.Message()));
    }
  }
  net.WriteBytes(BuildLoginPacket(login));
  if (serverCapabilities & CLIENT_CONNECT_WITH_DB) database = useDb;
  net.Send();
  ReadLoginReply(usePassword);
  net.SetCompress((f & CLIENT_COMPRESS) != 0);
}

// Only an OK packet ends the login. The server may ask once, with a single
// 0xFE byte, for the 3.23 answer; any other request (a plug-in switch, the
// 4.1.0 two-stage exchange) or anything else is a handshake error.
void TMySqlSession::ReadLoginReply(const std::string& passwd) {
  net.Receive();
  ByteSpan reply = net.Packet();
  if (reply.size() == 1 && reply[0] == 0xFE && (serverCapabilities & CLIENT_SECURE_CONNECTION)) {
    if (secureAuth) net.Raise(EMySqlException(CR_SECURE_AUTH));
    net.Clear();
    net.WriteBytes(Build323Answer(passwd, scrambleBuff));
    net.Send();
    net.Receive();
    reply = net.Packet();
  }
  if (reply.empty() || reply[0] != 0) net.Raise(EMySqlException(CR_SERVER_HANDSHAKE_ERR));
  ApplyOk(reply);
}

void TMySqlSession::ApplyOk(ByteSpan packet) {
  const TMySqlOk ok =
      ParseOkPacket(packet, IsProtocol41(), (serverCapabilities & CLIENT_TRANSACTIONS) != 0, SessionTrack());
  for (const auto& [name, value] : ok.systemVariables)
    if (name == "character_set_client") trackedCharsetClient = value;
  affectedRows = ok.affectedRows;
  insertId = ok.insertId;
  if (ok.hasStatus) serverStatus = ok.serverStatus;
  warningCount = ok.warningCount;
  info = ok.info;
}

// The server is told with the quit command, so that it ends the session as
// an orderly one; a quit that cannot be sent changes nothing for the caller:
// the transport is closed either way.
void TMySqlSession::Close() {
  if (isClosed) return;
  status = TMySqlStatus::msReady;
  try {
    if (net.vio() && !net.Broken()) SimpleCommand(scQuit, nullptr, 0, true);
  } catch (const Exception&) {
  }
  isClosed = true;
  net.Close();
}

void TMySqlSession::WriteCommand(TServerCommand command) {
  if (status != TMySqlStatus::msReady) throw EMySqlException(CR_COMMANDS_OUT_OF_SYNC);
  CheckUsable();
  // The replies of a reset come first, whoever sends next.
  if (pendingReplies > 0 && command != scQuit) ReadPendingReplies();
  info.clear();
  affectedRows = 0;
  FLocalFiles.clear();
  net.NewCommand();
  net.WriteByte(command);
  if (command != scPing) ++commandCount;
}

void TMySqlSession::SimpleCommand(TServerCommand command, const uint8_t* data, size_t length, bool noReply) {
  if (isClosed || !net.vio()) throw EMySqlException(CR_SERVER_GONE_ERROR);
  net.vio()->SetTimeout(commandTimeout);
  // A server that stops reading must not hold a send for ever either.
  if (auto* tcp = dynamic_cast<TZelVioTcp*>(net.vio())) tcp->SetSendTimeout(commandTimeout);
  WriteCommand(command);
  if (data) net.WriteOrSendBytes(data, length);
  net.Send();
  if (!noReply) net.Receive();
}

void TMySqlSession::Query(const uint8_t* q, size_t length) {
  SimpleCommand(scQuery, q, length, true);
  if (localInfile)
    FLocalFiles = LocalInfileNames(std::string_view(reinterpret_cast<const char*>(q), length),
                                   (serverStatus & SERVER_STATUS_NO_BACKSLASH_ESCAPES) == 0);
  ReadQueryResult();
}

bool TMySqlSession::TakeLocalFile(const std::string& fileName) {
  const auto it = std::find(FLocalFiles.begin(), FLocalFiles.end(), fileName);
  if (it == FLocalFiles.end()) return false;
  FLocalFiles.erase(it);
  return true;
}

void TMySqlSession::SelectDb(const std::string& db) {
  SimpleCommand(scInitDb, reinterpret_cast<const uint8_t*>(db.data()), db.size(), false);
  database = db;
}

void TMySqlSession::ResetConnection(const std::string& db, const std::string& query, bool deferReplies) {
  struct TCommand {
    TServerCommand command;
    const std::string* data;
  };
  // No command takes a session back to no database: one opened without a
  // database and switched to one since fails its reset, and is closed
  // instead of being used again (so is every such session on a server that
  // does not take a compound statement outside a routine).
  static const std::string kNoDatabaseCheck =
      "IF DATABASE() IS NOT NULL THEN SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'A database is selected'; END IF";
  std::vector<TCommand> commands{{scResetConnection, nullptr}};
  commands.push_back(db.empty() ? TCommand{scQuery, &kNoDatabaseCheck} : TCommand{scInitDb, &db});
  if (!query.empty()) commands.push_back({scQuery, &query});
  const auto bytes = [](const TCommand& c) {
    return c.data ? reinterpret_cast<const uint8_t*>(c.data->data()) : nullptr;
  };
  const auto length = [](const TCommand& c) { return c.data ? c.data->size() : 0; };
  // Compressed frames and the HTTP tunnel take one command at a time.
  if (net.Compress() || httpOptions) {
    for (const TCommand& c : commands) {
      SimpleCommand(c.command, bytes(c), length(c), false);
      ApplyResetReply();
    }
  } else {
    for (const TCommand& c : commands) SimpleCommand(c.command, bytes(c), length(c), true);
    pendingReplies = commands.size();
    if (!deferReplies) ReadPendingReplies();
  }
  if (!db.empty()) database = db;
  insertId = 0;
}

void TMySqlSession::ApplyResetReply() {
  // Each reply must be an OK packet (a server error is raised by Receive).
  const ByteSpan reply = net.Packet();
  if (reply.empty() || reply[0] != 0) RaiseMalformedPacket();
  ApplyOk(reply);
}

void TMySqlSession::ReadPendingReplies() {
  std::optional<EMySqlException> error;
  while (pendingReplies > 0) {
    --pendingReplies;
    try {
      // Every reply is the first packet answering its own command.
      net.ExpectReply();
      net.Receive();
      ApplyResetReply();
    } catch (const EMySqlException& e) {
      if (net.Broken()) {
        pendingReplies = 0;
        throw;
      }
      if (!error) error = e;
    }
  }
  if (error) throw *error;
}

void TMySqlSession::Ping() {
  SimpleCommand(scPing, nullptr, 0, false);
}

void TMySqlSession::Kill(uint32_t id) {
  std::vector<uint8_t> body;
  TMySqlWriter(body).WriteInt(id, 4);
  SimpleCommand(scProcessKill, body.data(), body.size(), false);
}

std::string TMySqlSession::Statistics() {
  SimpleCommand(scStatistics, nullptr, 0, false);
  return std::string(reinterpret_cast<const char*>(net.Buffer()), net.Length());
}

void TMySqlSession::ReadQueryResult(const std::vector<TMySqlFieldInfo>* cached) {
  FMetadataReused = false;
  try {
    net.Receive();
  } catch (const EMySqlException&) {
    // The error ends the reply: no further result follows.
    serverStatus &= ~SERVER_MORE_RESULTS_EXISTS;
    throw;
  }
  // A refused or unreadable local file is reported once the server's reply
  // to it has been read, so that the session stays in step.
  std::optional<EMySqlException> fileError;
  for (;;) {
    TMySqlReader r(net.Packet());
    const int64_t count = r.ReadFieldLength();
    if (count == TMySqlReader::kNullLength) {
      fileError = SendLocalFile(r.ReadNulString());  // receives the reply that follows the file
      continue;
    }
    if (count == 0) {
      fieldCount = 0;
      fields.clear();
      ApplyOk(net.Packet());
    } else {
      // A column count beyond what any server allows is a lie.
      if (count > 0xFFFF) RaiseMalformedPacket();
      fieldCount = static_cast<int32_t>(count);
      try {
        bool definitionsFollow = true;
        if (CacheMetadata()) {
          const uint8_t follows = r.ReadByte();
          if (follows > 1) RaiseMalformedPacket();
          definitionsFollow = follows == 1;
          // Left out: only a statement's own columns, as many as counted, may stand in.
          if (!definitionsFollow && (!cached || cached->size() != static_cast<size_t>(count))) RaiseMalformedPacket();
        } else if (!r.AtEnd()) {
          extraInfo = r.ReadFieldLength();
        }
        ReadColumns(definitionsFollow);
        FMetadataReused = !definitionsFollow;
      } catch (...) {
        // No result: nothing may read the count of one that never arrived.
        fieldCount = 0;
        fields.clear();
        throw;
      }
    }
    if (fileError) throw *fileError;
    return;
  }
}

void TMySqlSession::ReadColumns(bool definitionsFollow) {
  fields.clear();
  if (definitionsFollow) fields.reserve(static_cast<size_t>(fieldCount));
  const size_t expected = definitionsFollow ? static_cast<size_t>(fieldCount) : 0;
  const bool p41 = IsProtocol41();
  const bool longFlag = (serverCapabilities & CLIENT_LONG_FLAG) != 0;
  for (;;) {
    net.Receive();
    const ByteSpan packet = net.Packet();
    if (IsEofPacket(packet)) {
      uint16_t warnings = 0, st = 0;
      if (ParseEofPacket(packet, warnings, st)) {
        warningCount = warnings;
        serverStatus = st;
      }
      break;
    }
    if (fields.size() == expected) RaiseMalformedPacket();
    fields.push_back(ParseColumnDefinition(packet, p41, longFlag));
  }
  if (fields.size() != expected) RaiseMalformedPacket();
  status = TMySqlStatus::msGetResult;
  warningCount = 0;
}

// The server asks for a client file. Unless the application allowed it and
// the last query reads that very file, the request is answered with an empty
// file and refused: a server must not read any file it likes. Returns the
// error to report once the reply has been read.
std::optional<EMySqlException> TMySqlSession::SendLocalFile(const std::string& fileName) {
  net.Clear();
  std::optional<EMySqlException> error;
  if (!localInfile) {
    error.emplace(CR_UNKNOWN_ERROR, u"LOAD DATA LOCAL INFILE refused: local files are not enabled for this connection");
  } else if (!TakeLocalFile(fileName)) {
    error.emplace(CR_UNKNOWN_ERROR, u"LOAD DATA LOCAL INFILE refused: the statement does not read the file " +
                                        Utf8ToUtf16Lenient(fileName));
  } else {
    std::ifstream in(fileName, std::ios::binary);
    if (!in) error.emplace(CR_UNKNOWN_ERROR, u"Cannot open file " + Utf8ToUtf16Lenient(fileName));
    std::vector<char> piece(8192);
    while (in) {
      in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
      const size_t n = static_cast<size_t>(in.gcount());
      if (n == 0) break;
      net.WriteBytes(piece.data(), n);
      net.Send();
    }
  }
  net.SendEmpty();
  try {
    net.Receive();
  } catch (const EMySqlException&) {
    serverStatus &= ~SERVER_MORE_RESULTS_EXISTS;
    throw;
  }
  return error;
}

void TMySqlSession::FreeQuery() {
  if (status == TMySqlStatus::msReady) return;
  std::vector<uint8_t> piece;
  try {
    bool continued = false;
    for (;;) {
      const size_t length = net.SkipBuffer(piece, 0x10000, !continued);
      if (!continued && length <= 8 && !piece.empty() && piece[0] == 0xFE) {
        uint16_t warnings = 0, st = 0;
        if (ParseEofPacket(piece, warnings, st)) {
          warningCount = warnings;
          serverStatus = st;
        }
        break;
      }
      continued = length == TMySqlNet::kMaxPacketLength;
    }
  } catch (...) {
    status = TMySqlStatus::msReady;
    throw;
  }
  status = TMySqlStatus::msReady;
  if (FSkipPacket) {
    FSkipPacket = false;
    net.Receive();
  }
}

bool TMySqlSession::NextResult() {
  if (status != TMySqlStatus::msReady)
    throw EMySqlException(CR_COMMANDS_OUT_OF_SYNC, Format(u"mysql.status = %d", {static_cast<int>(status)}));
  affectedRows = -1;
  if (!(serverStatus & SERVER_MORE_RESULTS_EXISTS)) return false;
  CheckUsable();
  fields.clear();
  ReadQueryResult();
  return true;
}

std::unique_ptr<TMySqlResultSet> TMySqlSession::UseResult() {
  if (fields.empty()) return nullptr;
  if (status != TMySqlStatus::msGetResult)
    throw EMySqlException(CR_COMMANDS_OUT_OF_SYNC, Format(u"mysql.status = %d", {static_cast<int>(status)}));
  auto rs = std::make_unique<TMySqlResultSet>(this, std::move(fields));
  fields.clear();
  // An earlier result, read to its end but not freed yet, lets go of the
  // session: freeing it must not drain this one, nor outlive the session.
  if (FResultSet) FResultSet->DetachSession();
  FResultSet = rs.get();
  status = TMySqlStatus::msUseResult;
  return rs;
}

}  // namespace vix
