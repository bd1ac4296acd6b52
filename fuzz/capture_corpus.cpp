// Writes the fuzzers' seed corpus: what the MariaDB test server sends for a
// few logins and queries, whole (session, frames) and split into packets
// (greeting, replies, column, row).
//   capture_corpus <corpus dir>     with the VIX_MYSQL_* variables set
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "Common/ZelVioTcp.h"
#include "MySql/MySqlApiDirect.h"

namespace {

using namespace vix;

class TRecordingVio : public TZelVioTcp {
 public:
  TRecordingVio(std::string host, int port, std::string* log) : TZelVioTcp(std::move(host), port), FLog(log) {}
  int ReadNoWait(uint8_t* buffer, int offset, int count) override {
    const int n = TZelVioTcp::ReadNoWait(buffer, offset, count);
    FLog->append(reinterpret_cast<const char*>(buffer) + offset, static_cast<size_t>(n));
    return n;
  }

 private:
  std::string* FLog;
};

std::string Env(const char* name, const char* fallback = "") {
  const char* v = std::getenv(name);
  return v && *v ? v : fallback;
}

void Write(const std::filesystem::path& file, const std::string& bytes) {
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << bytes;
}

// What the server sends for one login and one query, read to the end.
std::string Capture(const std::string& sql, uint8_t mode) {
  TMySQLAPIDirect api;
  std::string log;
  PMYSQL m = api.mysql_init(nullptr);
  api.mysql_options(m, MYSQL_OPT_PROTOCOL, MYSQL_PROTOCOL_MEMORY);
  api.mysql_options(m, MYSQL_SET_CHARSET_NAME, std::string("utf8"));
  const std::string host = Env("VIX_MYSQL_HOST", "127.0.0.1");
  const int port = std::atoi(Env("VIX_MYSQL_PORT", "33306").c_str());
  m->net.SetVio(std::make_unique<TRecordingVio>(host, port, &log));
  uint32_t flags = CLIENT_FOUND_ROWS;
  if (mode & 1) flags |= CLIENT_COMPRESS;
  if (mode & 2) flags |= CLIENT_MULTI_STATEMENTS;
  if (!api.mysql_real_connect(m, host, Env("VIX_MYSQL_USER", "vix"), Env("VIX_MYSQL_PASSWORD"),
                              Env("VIX_MYSQL_DATABASE", "vixtest"), port, "", flags)) {
    std::fprintf(stderr, "capture_corpus: %s\n", api.mysql_error(m).c_str());
    std::exit(1);
  }
  if (mode & 4) {
    // A prepared statement with one 32-bit parameter, as fuzz_session runs it.
    PMYSQL_STMT s = api.mysql_stmt_init(m);
    TParamDescs params;
    auto p = std::make_unique<TParamDesc>();
    p->SetDataType(4);
    p->SetValue(Variant(1));
    params.Add(std::move(p));
    if (api.mysql_stmt_prepare(s, sql.data(), sql.size()) == 0 && api._mysql_stmt_bind_result(s) == 0 &&
        api._mysql_stmt_execute(s, params, true) == 0) {
      PMYSQL_ROW row = nullptr;
      while (api._mysql_stmt_fetch(s, row) == 0) {
      }
    }
    api.mysql_stmt_close(s);
  } else if (api.mysql_real_query(m, sql.data(), sql.size()) == 0) {
    do {
      if (PMYSQL_RES res = api.mysql_use_result(m)) {
        while (api.mysql_fetch_row(res)) {
        }
        api.mysql_free_result(res);
      }
    } while (api.mysql_next_result(m) == 0);
  }
  const std::string result = std::string(1, static_cast<char>(mode)) + log;
  api.mysql_close(m);
  return result;
}

// Splits a plain (uncompressed) stream into packet payloads.
std::vector<std::string> Packets(const std::string& stream) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos + 4 <= stream.size()) {
    const size_t len = static_cast<uint8_t>(stream[pos]) | (static_cast<uint8_t>(stream[pos + 1]) << 8) |
                       (static_cast<size_t>(static_cast<uint8_t>(stream[pos + 2])) << 16);
    if (pos + 4 + len > stream.size()) break;
    out.push_back(stream.substr(pos + 4, len));
    pos += 4 + len;
  }
  return out;
}

// The binary rows of a prepared statement, each with its column types in
// front: the column count, the type codes, then the row packet.
std::vector<std::string> CaptureBinaryRows(const std::string& sql) {
  TMySQLAPIDirect api;
  PMYSQL m = api.mysql_init(nullptr);
  api.mysql_options(m, MYSQL_SET_CHARSET_NAME, std::string("utf8"));
  std::vector<std::string> rows;
  if (!api.mysql_real_connect(m, Env("VIX_MYSQL_HOST", "127.0.0.1"), Env("VIX_MYSQL_USER", "vix"),
                              Env("VIX_MYSQL_PASSWORD"), Env("VIX_MYSQL_DATABASE", "vixtest"),
                              std::atoi(Env("VIX_MYSQL_PORT", "33306").c_str()), "", 0)) {
    std::fprintf(stderr, "capture_corpus: %s\n", api.mysql_error(m).c_str());
  } else {
    PMYSQL_STMT s = api.mysql_stmt_init(m);
    TParamDescs none;
    if (api.mysql_stmt_prepare(s, sql.data(), sql.size()) == 0 && api._mysql_stmt_bind_result(s) == 0 &&
        api._mysql_stmt_execute(s, none, true) == 0) {
      std::string types(1, static_cast<char>(s->Fields().size()));
      for (const TMySqlFieldInfo& f : s->Fields()) types += static_cast<char>(f._Type);
      PMYSQL_ROW row = nullptr;
      while (api._mysql_stmt_fetch(s, row) == 0)
        rows.push_back(types + std::string(reinterpret_cast<const char*>(row->Buffer.data()), row->Buffer.size()));
    }
    if (api.mysql_stmt_errno(s)) std::fprintf(stderr, "capture_corpus: %s\n", api.mysql_stmt_error(s).c_str());
    api.mysql_stmt_close(s);
  }
  api.mysql_close(m);
  return rows;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: capture_corpus <corpus dir>\n");
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  struct Query {
    const char* name;
    const char* sql;
    uint8_t mode;
  } const queries[] = {
      {"values", "SELECT 1, NULL, '', REPEAT('a', 251), 'x', 1.5, NOW(), CAST(1 AS UNSIGNED)", 0},
      {"values-compressed", "SELECT 1, NULL, '', REPEAT('a', 251), 'x', 1.5, NOW(), CAST(1 AS UNSIGNED)", 1},
      {"long-value", "SELECT REPEAT('b', 70000)", 0},
      {"long-value-compressed", "SELECT REPEAT('b', 70000)", 1},
      {"multi", "SELECT 1; SELECT 2, 'two'; DO 0", 2},
      {"error", "SELECT * FROM no_such_table", 0},
      {"ok", "DO 1", 0},
      {"table", "SELECT table_name, table_rows, create_time FROM information_schema.tables LIMIT 3", 0},
      {"prepared",
       "SELECT ?, 1.5e0, NULL, DATE '2021-03-04', TIME '-01:00:00', 'x' UNION ALL SELECT 2, 0, 1, NULL, NULL, ''", 4},
  };
  int n = 0;
  for (const Query& q : queries) {
    const std::string stream = Capture(q.sql, q.mode);
    Write(dir / "session" / q.name, stream);
    Write(dir / "frames" / q.name, stream);
    // Compressed streams and prepared statements are not split by the text protocol's rules.
    if (q.mode & 5) continue;
    const std::vector<std::string> packets = Packets(stream.substr(1));
    if (packets.empty()) continue;
    Write(dir / "greeting" / q.name, packets[0]);
    // After the greeting and the login's OK: the replies of the query.
    size_t i = 2;
    int part = 0;
    auto name = [&](const char* kind) { return std::string(q.name) + "-" + kind + std::to_string(part++); };
    while (i < packets.size()) {
      const std::string& p = packets[i++];
      const uint8_t first = p.empty() ? 0 : static_cast<uint8_t>(p[0]);
      if (first == 0 || first == 0xFF) {
        Write(dir / "replies" / name("reply"), "\x03" + p);
        continue;
      }
      const size_t columns = first;
      for (size_t c = 0; c < columns && i < packets.size(); ++c)
        Write(dir / "column" / name("col"), "\x03" + packets[i++]);
      if (i < packets.size()) Write(dir / "replies" / name("eof"), "\x03" + packets[i++]);
      while (i < packets.size() && !(static_cast<uint8_t>(packets[i][0]) == 0xFE && packets[i].size() < 9))
        Write(dir / "row" / name("row"), std::string(1, static_cast<char>(columns)) + packets[i++]);
      if (i < packets.size()) Write(dir / "replies" / name("eof"), "\x03" + packets[i++]);
    }
    ++n;
  }
  const char* binary =
      "SELECT 1, CAST(-2 AS SIGNED), CAST(3 AS UNSIGNED), 1.5e0, CAST(2.5 AS FLOAT), 12.345, NULL, '', 'x',"
      " REPEAT('a', 251), DATE '2021-03-04', TIME '-838:59:59', TIME '12:34:56.789', TIMESTAMP '2021-03-04 05:06:07',"
      " CAST('2021-03-04 05:06:07.25' AS DATETIME(3)), b'101', x'00FF'"
      " UNION ALL SELECT NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,"
      " NULL, NULL";
  int part = 0;
  for (const std::string& row : CaptureBinaryRows(binary))
    Write(dir / "binrow" / ("values-row" + std::to_string(part++)), row);
  std::printf("capture_corpus: %d plain captures written to %s\n", n, dir.c_str());
  return 0;
}
