// client_bench: runs one case with one client and prints one line of
// figures. scripts/bench runs every case for both clients in turn.
//
//   client_bench --client ours|mariadb --case CASE --count N [--table-rows N]
//
// Cases: do (round trips of `DO 1`), select (one-row primary-key SELECTs),
// fetch (N rows, text protocol), fetchz (the same compressed), blob (N rows of
// 64 KB blobs), stmt (N executions of a prepared statement, one row each),
// records (N rows fetched whole into records, with conversions for the peer),
// query (N rows as a program reads them: ours through TVixQuery and its
// fields, the peers with the same conversions; also --client qt in
// client_bench_qt).
// fetchtls (fetch over TLS, CA from VIX_MYSQL_SSL_CA), fetchhttp (fetch
// through the HTTP tunnel at VIX_TUNNEL_URL; ours only).
// The server comes from VIX_MYSQL_HOST, VIX_MYSQL_PORT, VIX_MYSQL_USER,
// VIX_MYSQL_PASSWORD and VIX_MYSQL_DATABASE.
//
// Only the measured part counts: connecting and preparing come before it.
// CPU time is the process's user + system time (getrusage), which is the
// client's alone: the process runs one client, on one thread.
#include <sys/resource.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "AllocationCounter.h"
#include "BenchMain.h"
#include "ClientBench.h"

namespace vix::bench {

int64_t BenchClient::RunDo(int64_t count) {
  for (int64_t i = 0; i < count; ++i) Query("DO 1", 4);
  return count;
}

int64_t BenchClient::RunSelectOne(int64_t count, int64_t tableRows, Hasher& hash) {
  char sql[160];
  for (int64_t i = 0; i < count; ++i) {
    const int n = std::snprintf(sql, sizeof sql, "SELECT %s FROM %s WHERE id = %" PRId64, kRowColumns, kRowTable,
                                KeyOf(i, tableRows));
    if (n < 0 || static_cast<size_t>(n) >= sizeof sql) Fail("select", "statement too long");
    Query(sql, static_cast<size_t>(n));
    if (ReadRows(hash) != 1) Fail("select", "not one row");
  }
  return count;
}

int64_t BenchClient::RunFetch(const std::string& sql, Hasher& hash) {
  Query(sql.data(), sql.size());
  return ReadRows(hash);
}

void Fail(const std::string& what, const std::string& message) {
  throw std::runtime_error(what + ": " + message);
}

namespace {

int Usage() {
  std::fprintf(
      stderr,
      "usage: client_bench --client ours|mariadb|qt --case do|select|fetch|fetchz|blob|stmt|records|query --count N "
      "[--table-rows N]\n");
  return 2;
}

int Run(int argc, char** argv) {
  std::string client, caseName;
  int64_t count = 0, tableRows = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const char* value = argv[i + 1];
    if (key == "--client") client = value;
    else if (key == "--case") caseName = value;
    else if (key == "--count") count = std::strtoll(value, nullptr, 10);
    else if (key == "--table-rows") tableRows = std::strtoll(value, nullptr, 10);
    else return Usage();
  }
  if ((argc - 1) % 2 != 0 || count <= 0) return Usage();
  if (tableRows <= 0) tableRows = count;

  ClientConfig config;
  config.host = Env("VIX_MYSQL_HOST", "127.0.0.1");
  config.port = std::atoi(Env("VIX_MYSQL_PORT", "3306").c_str());
  config.user = Env("VIX_MYSQL_USER", "vix");
  config.password = Env("VIX_MYSQL_PASSWORD", "");
  config.database = Env("VIX_MYSQL_DATABASE", "vixtest");
  config.compress = caseName == "fetchz";
  config.records = caseName == "records";
  config.query = caseName == "query";
  if (caseName == "fetchtls") config.tlsCa = Env("VIX_MYSQL_SSL_CA", "");
  if (caseName == "fetchhttp") {
    config.tunnelUrl = Env("VIX_TUNNEL_URL", "");
    config.tunnelUser = Env("VIX_TUNNEL_USER", "");
    config.tunnelPassword = Env("VIX_TUNNEL_PASSWORD", "");
  }

  std::unique_ptr<BenchClient> c;
  if (client == "ours") c = MakeOurClient();
  else if (client == "mariadb") c = MakeMariaDbClient();
#ifdef VIX_BENCH_QT
  else if (client == "qt") c = MakeQtClient();
#endif
  else return Usage();
  c->Connect(config);
  if (caseName == "stmt") c->PrepareStatement();

  const std::string rowsSql =
      std::string("SELECT ") + kRowColumns + " FROM " + kRowTable + " WHERE id <= " + std::to_string(count);
  const std::string blobSql =
      std::string("SELECT id, data FROM ") + kBlobTable + " WHERE id <= " + std::to_string(count);

  Hasher hash;
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  const uint64_t allocsBefore = AllocationCount();
  const auto start = std::chrono::steady_clock::now();
  int64_t ops = 0;
  if (caseName == "do") ops = c->RunDo(count);
  else if (caseName == "select") ops = c->RunSelectOne(count, tableRows, hash);
  else if (caseName == "fetch" || caseName == "fetchz" || caseName == "fetchtls" || caseName == "fetchhttp")
    ops = c->RunFetch(rowsSql, hash);
  else if (caseName == "blob") ops = c->RunFetch(blobSql, hash);
  else if (caseName == "stmt") ops = c->RunStatement(count, tableRows, hash);
  else if (caseName == "records") ops = c->RunRecords(rowsSql, hash);
  else if (caseName == "query") ops = c->RunQuery(rowsSql, hash);
  else return Usage();
  const auto stop = std::chrono::steady_clock::now();
  const uint64_t allocs = AllocationCount() - allocsBefore;
  getrusage(RUSAGE_SELF, &after);
  if (ops != count) Fail(caseName, "read " + std::to_string(ops) + " of " + std::to_string(count));
  c.reset();

  const int64_t wall = std::chrono::duration_cast<std::chrono::microseconds>(stop - start).count();
  std::printf("case=%s client=%s ops=%" PRId64 " user_us=%" PRId64 " sys_us=%" PRId64 " wall_us=%" PRId64
              " maxrss_kb=%ld allocs=%" PRIu64 " hash=%016" PRIx64 "\n",
              caseName.c_str(), client.c_str(), ops, Micros(after.ru_utime) - Micros(before.ru_utime),
              Micros(after.ru_stime) - Micros(before.ru_stime), wall, after.ru_maxrss, allocs, hash.Value());
  return 0;
}

}  // namespace
}  // namespace vix::bench

int main(int argc, char** argv) {
  return vix::bench::RunMain("client_bench", vix::bench::Run, argc, argv);
}
