#include "MySql/MySqlSession.h"

#include <cstring>
#include <fstream>
#include <optional>

#include "Common/ZelVioTcp.h"
#include "MySql/MySqlStmt.h"
#include "rtl/UString.h"

namespace vix {

// --- password answers -----------------------------------------------------------

namespace {

uint32_t Rol(uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

void Sha1Block(uint32_t h[5], const uint8_t* p) {
  uint32_t w[80];
  for (int i = 0; i < 16; ++i)
    w[i] = (uint32_t{p[4 * i]} << 24) | (uint32_t{p[4 * i + 1]} << 16) | (uint32_t{p[4 * i + 2]} << 8) | p[4 * i + 3];
  for (int i = 16; i < 80; ++i) w[i] = Rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
  for (int i = 0; i < 80; ++i) {
    uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    const uint32_t t = Rol(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = Rol(b, 30);
    b = a;
    a = t;
  }
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
  h[4] += e;
}

ByteSpan Bytes(std::string_view s) { return ByteSpan(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

struct TRandom {
  uint64_t seed1, seed2, max = 0x3FFFFFFF;
  TRandom(uint32_t s1, uint32_t s2) : seed1(s1 % 0x3FFFFFFF), seed2(s2 % 0x3FFFFFFF) {}
  double Next() {
    seed1 = (seed1 * 3 + seed2) % max;
    seed2 = (seed1 + seed2 + 33) % max;
    return static_cast<double>(seed1) / static_cast<double>(max);
  }
};

}  // namespace

std::array<uint32_t, 2> HashPassword323(std::string_view text) {
  uint32_t nr = 1345345333, nr2 = 0x12345671, add = 7;
  for (char c : text) {
    const uint8_t b = static_cast<uint8_t>(c);
    if (b == ' ' || b == '\t') continue;
    nr ^= (((nr & 63) + add) * b) + (nr << 8);
    nr2 += (nr2 << 8) ^ nr;
    add += b;
  }
  return {nr & 0x7FFFFFFF, nr2 & 0x7FFFFFFF};
}

std::array<uint8_t, 20> Sha1(ByteSpan data) {
  uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  size_t i = 0;
  for (; i + 64 <= data.size(); i += 64) Sha1Block(h, data.data() + i);
  uint8_t tail[128] = {};
  const size_t rest = data.size() - i;
  if (rest) std::memcpy(tail, data.data() + i, rest);
  tail[rest] = 0x80;
  const size_t blocks = rest + 9 > 64 ? 2 : 1;
  const uint64_t bits = static_cast<uint64_t>(data.size()) * 8;
  for (int k = 0; k < 8; ++k) tail[blocks * 64 - 1 - k] = static_cast<uint8_t>(bits >> (8 * k));
  for (size_t b = 0; b < blocks; ++b) Sha1Block(h, tail + 64 * b);
  std::array<uint8_t, 20> out;
  for (int k = 0; k < 20; ++k) out[k] = static_cast<uint8_t>(h[k / 4] >> (24 - 8 * (k % 4)));
  return out;
}

std::array<uint8_t, 20> Scramble41(std::string_view password, ByteSpan scramble20) {
  const auto s1 = Sha1(Bytes(password));
  const auto s2 = Sha1(s1);
  std::vector<uint8_t> both(scramble20.begin(), scramble20.end());
  both.insert(both.end(), s2.begin(), s2.end());
  auto r = Sha1(both);
  for (int i = 0; i < 20; ++i) r[i] ^= s1[i];
  return r;
}

std::array<uint8_t, 8> Scramble323(std::string_view password, ByteSpan scramble8) {
  const auto pw = HashPassword323(password);
  const ByteSpan m = scramble8.first(std::min<size_t>(8, scramble8.size()));
  const auto msg = HashPassword323(std::string_view(reinterpret_cast<const char*>(m.data()), m.size()));
  TRandom rnd(pw[0] ^ msg[0], pw[1] ^ msg[1]);
  std::array<uint8_t, 8> out{};
  for (uint8_t& b : out) b = static_cast<uint8_t>(static_cast<int>(rnd.Next() * 31) + 64);
  const uint8_t extra = static_cast<uint8_t>(static_cast<int>(rnd.Next() * 31));
  for (uint8_t& b : out) b ^= extra;
  return out;
}

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
  // The second part of the scramble: 12 bytes at p + 19.
  if (packet.size() >= p + 31) {
    const ByteSpan second = packet.subspan(p + 19, 12);
    std::copy(second.begin(), second.end(), g.scramble.begin() + 8);
    g.has41Scramble = true;
  }
  return g;
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

void TMySqlSession::OpenTransport(const std::string&) {
  switch (protocolType) {
    case MYSQL_PROTOCOL_DEFAULT:
    case MYSQL_PROTOCOL_TCP:
      net.SetVio(std::make_unique<TZelVioTcp>(host, port));
      hostInfo = host + " via TCP/IP";
      break;
    default:
      // The other transports are not part of this client yet; an attached
      // transport (a test's, for instance) is used as it is.
      if (!net.vio()) throw EMySqlException(CR_UNKNOWN_PROTOCOL);
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
  } catch (const Exception&) {
    throw EMySqlException(CR_CONNECTION_ERROR, vio->LastError(), {UString(Utf8ToUtf16Lenient(host)), 10061});
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
  f &= ~CLIENT_SSL;  // no TLS transport in this client
  // Changes of the session's variables (its character set above all) are
  // reported when the server can.
  f &= ~CLIENT_SESSION_TRACK;
  if ((serverExtCapabilities & CLIENT_SESSION_TRACK) != 0 && (f & CLIENT_PROTOCOL_41) != 0) f |= CLIENT_SESSION_TRACK;
  if (f & CLIENT_PROTOCOL_41) {
    net.WriteInt32(f);
    net.WriteInt32(static_cast<uint32_t>(TMySqlNet::kDefaultMaxPacketSize));
    net.WriteByte(charset == "utf8" ? 33 : 8);
    net.Fill(0, 23);
  } else {
    net.WriteInt16(f);
    net.WriteInt24(static_cast<uint32_t>(TMySqlNet::kDefaultMaxPacketSize) & 0xFFFF);
  }
  clientFlag = f;
  net.SetMaxPacketSize(TMySqlNet::kDefaultMaxPacketSize);
  net.WriteString(useUser);
  if (serverCapabilities & CLIENT_SECURE_CONNECTION) {
    if (usePassword.empty()) {
      net.WriteByte(0);
    } else if (g.has41Scramble) {
      net.WriteByte(20);
      net.WriteBytes(Scramble41(usePassword, scrambleBuff));
    } else {
      net.Fill('x', 8);
      net.WriteByte(0);
    }
  } else if (usePassword.empty()) {
    net.WriteByte(0);
  } else {
    net.WriteBytes(Scramble323(usePassword, ByteSpan(scrambleBuff).first(8)));
    net.WriteByte(0);
  }
  if (serverCapabilities & CLIENT_CONNECT_WITH_DB) {
    net.WriteString(useDb);
    database = useDb;
  }
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
    net.Clear();
    net.WriteBytes(Scramble323(passwd, ByteSpan(scrambleBuff).first(8)));
    net.WriteByte(0);
    net.Send();
    net.Receive();
    reply = net.Packet();
  }
  if (reply.empty() || reply[0] != 0) {
    net.MarkBroken();
    throw EMySqlException(2012);
  }
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

void TMySqlSession::Close() {
  if (isClosed) return;
  isClosed = true;
  status = TMySqlStatus::msReady;
  try {
    if (net.vio() && !net.Broken()) SimpleCommand(scQuit, nullptr, 0, true);
  } catch (const Exception&) {
  }
  net.Close();
}

void TMySqlSession::WriteCommand(TServerCommand command) {
  if (status != TMySqlStatus::msReady) throw EMySqlException(CR_COMMANDS_OUT_OF_SYNC);
  CheckUsable();
  info.clear();
  affectedRows = 0;
  net.NewCommand();
  net.WriteByte(command);
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
  ReadQueryResult();
}

void TMySqlSession::SelectDb(const std::string& db) {
  SimpleCommand(scInitDb, reinterpret_cast<const uint8_t*>(db.data()), db.size(), false);
  database = db;
}

void TMySqlSession::Ping() { SimpleCommand(scPing, nullptr, 0, false); }

void TMySqlSession::Kill(uint32_t id) {
  uint8_t b[4] = {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id >> 16),
                  static_cast<uint8_t>(id >> 24)};
  SimpleCommand(scProcessKill, b, 4, false);
}

std::string TMySqlSession::Statistics() {
  SimpleCommand(scStatistics, nullptr, 0, false);
  return std::string(reinterpret_cast<const char*>(net.Buffer()), net.Length());
}

void TMySqlSession::ReadQueryResult() {
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
      if (!r.AtEnd()) extraInfo = r.ReadFieldLength();
      ReadColumns();
    }
    if (fileError) throw *fileError;
    return;
  }
}

void TMySqlSession::ReadColumns() {
  fields.clear();
  fields.reserve(static_cast<size_t>(fieldCount));
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
    if (fields.size() == static_cast<size_t>(fieldCount)) RaiseMalformedPacket();
    fields.push_back(ParseColumnDefinition(packet, p41, longFlag));
  }
  if (fields.size() != static_cast<size_t>(fieldCount)) RaiseMalformedPacket();
  status = TMySqlStatus::msGetResult;
  warningCount = 0;
}

// The server asks for a client file. Unless the application allowed it, the
// request is answered with an empty file and refused. Returns the error to
// report once the reply has been read.
std::optional<EMySqlException> TMySqlSession::SendLocalFile(const std::string& fileName) {
  net.Clear();
  std::optional<EMySqlException> error;
  if (!localInfile) {
    error.emplace(CR_UNKNOWN_ERROR, u"LOAD DATA LOCAL INFILE refused: local files are not enabled for this connection");
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
