// Connection pooling and scripts on the test server (VIX_MYSQL_*):
// - a request as an application makes it: connect, "DO 1", disconnect, with
//   Pooling on (a session from the pool and back) and off (a new session
//   each time);
// - the hand-out plus return alone, uncontended (Open and Close of a pooled
//   connection component);
// - a 100,000-statement INSERT script run by the script component, one
//   statement at a time and in batches, and by the mariadb client, wall time
//   each, with the table's CHECKSUM compared between the runs.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "MySql/MyConnectionPool.h"
#include "MySql/MySQLVixProvider.h"
#include "universal/Vix.h"
#include "universal/VixScript.h"
#ifdef VIX_BENCH_MARIADB
#include "MariaDbRaw.h"
#endif

namespace vix {
namespace {

constexpr int kScriptStatements = 100000;

std::string Env(const char* name, const char* fallback = "") {
  const char* v = std::getenv(name);
  return v && *v ? v : fallback;
}

bool HaveServer(benchmark::State& state) {
  if (!Env("VIX_MYSQL_HOST").empty()) return true;
  state.SkipWithError("the test server is not running (VIX_MYSQL_HOST)");
  return false;
}

void Configure(TVixConnection& c, bool pooling) {
  RegisterMySQLVixProvider();
  c.SetProviderName(u"MySQL");
  c.SpecificOptions().Add(u"MySQL.UseUnicode=True");
  c.SetServer(U(Env("VIX_MYSQL_HOST")));
  c.SetPort(std::atoi(Env("VIX_MYSQL_PORT", "0").c_str()));
  c.SetDatabase(U(Env("VIX_MYSQL_DATABASE", "vixtest")));
  c.SetUsername(U(Env("VIX_MYSQL_USER", "vix")));
  c.SetPassword(U(Env("VIX_MYSQL_PASSWORD")));
  c.SetPooling(pooling);
}

// Connect, "DO 1", disconnect.
void Request(benchmark::State& state, bool pooling) {
  if (!HaveServer(state)) return;
  TVixConnection c;
  TVixQuery q;
  Configure(c, pooling);
  q.SetConnection(&c);
  q.SetSQL(u"DO 1");
  for (auto _ : state) {
    c.Open();
    q.Execute();
    c.Close();
  }
  state.SetItemsProcessed(state.iterations());
}
void BM_PooledRequest(benchmark::State& state) {
  Request(state, true);
}
void BM_ConnectPerRequest(benchmark::State& state) {
  Request(state, false);
}
BENCHMARK(BM_PooledRequest)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ConnectPerRequest)->Unit(benchmark::kMicrosecond);

// The hand-out and return alone: a pooled component opened and closed.
void BM_PooledOpenClose(benchmark::State& state) {
  if (!HaveServer(state)) return;
  TVixConnection c;
  Configure(c, true);
  c.Open();
  c.Close();
  for (auto _ : state) {
    c.Open();
    c.Close();
  }
}
BENCHMARK(BM_PooledOpenClose)->Unit(benchmark::kMicrosecond);

// The pool's own part: GetConnection and PutConnection of an idle session.
void BM_PoolGetPut(benchmark::State& state) {
  if (!HaveServer(state)) return;
  TMyConnectionParameters p;
  p.Server = U(Env("VIX_MYSQL_HOST"));
  p.Port = std::atoi(Env("VIX_MYSQL_PORT", "0").c_str());
  p.Username = U(Env("VIX_MYSQL_USER", "vix"));
  p.Password = U(Env("VIX_MYSQL_PASSWORD"));
  TMyConnectionPoolManager manager({}, false);
  manager.GetConnection(p)->GetPool()->PutConnection(manager.GetConnection(p));
  for (auto _ : state) {
    auto c = manager.GetConnection(p);
    c->GetPool()->PutConnection(std::move(c));
  }
}
BENCHMARK(BM_PoolGetPut)->Unit(benchmark::kMicrosecond);

#ifdef VIX_BENCH_MARIADB
// The bounds, by MariaDB's C connector: "DO 1" on an open session (one round
// trip, the floor of a pooled request) and connect, "DO 1", close.
bench::RawSession* OpenRawSession(benchmark::State& state, bool multiStatements) {
  std::string error;
  bench::RawSession* s =
      bench::OpenRaw(Env("VIX_MYSQL_HOST"), std::atoi(Env("VIX_MYSQL_PORT", "0").c_str()), Env("VIX_MYSQL_USER", "vix"),
                     Env("VIX_MYSQL_PASSWORD"), Env("VIX_MYSQL_DATABASE", "vixtest"), multiStatements, error);
  if (!s) state.SkipWithError(error.c_str());
  return s;
}
void BM_MariaDbDo1(benchmark::State& state) {
  if (!HaveServer(state)) return;
  bench::RawSession* s = OpenRawSession(state, false);
  if (!s) return;
  std::string error;
  for (auto _ : state)
    if (!bench::QueryRaw(s, "DO 1", error)) state.SkipWithError(error.c_str());
  bench::CloseRaw(s);
}
void BM_MariaDbConnectDo1(benchmark::State& state) {
  if (!HaveServer(state)) return;
  std::string error;
  for (auto _ : state) {
    bench::RawSession* s = OpenRawSession(state, false);
    if (!s) return;
    if (!bench::QueryRaw(s, "DO 1", error)) state.SkipWithError(error.c_str());
    bench::CloseRaw(s);
  }
}
BENCHMARK(BM_MariaDbDo1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MariaDbConnectDo1)->Unit(benchmark::kMicrosecond);
#endif

// --- the script ---

const std::string kTable = "bench_script_" + std::to_string(getpid());

std::string ScriptFile() {
  static const std::string path = [] {
    std::string file = "/tmp/" + kTable + ".sql";
    std::ofstream out(file, std::ios::binary);
    out << "DROP TABLE IF EXISTS " << kTable << ";\n"
        << "CREATE TABLE " << kTable
        << " (id INT PRIMARY KEY, name VARCHAR(40), amount DECIMAL(10,2)) ENGINE=MyISAM;\n";
    for (int i = 1; i <= kScriptStatements; ++i)
      out << "INSERT INTO " << kTable << " VALUES (" << i << ", 'name " << i << " 이름', " << i % 1000 << ".25);\n";
    return file;
  }();
  return path;
}

std::string Checksum(TVixConnection& c) {
  TVixQuery q;
  q.SetConnection(&c);
  q.SetSQL(U("CHECKSUM TABLE " + kTable));
  q.Open();
  const std::string sum = Utf16ToUtf8(q.Fields(1).AsString());
  q.Close();
  return sum;
}

std::string& ClientChecksum() {
  static std::string sum;
  return sum;
}

void Script(benchmark::State& state, bool batched) {
  if (!HaveServer(state)) return;
  const std::string file = ScriptFile();
  TVixConnection c;
  Configure(c, false);
  TVixScript script;
  script.SetConnection(&c);
  script.SetUseOptimization(batched);
  for (auto _ : state) script.ExecuteFile(U(file));
  const std::string sum = Checksum(c);
  if (!ClientChecksum().empty() && sum != ClientChecksum())
    state.SkipWithError(("checksum " + sum + " differs from the client's " + ClientChecksum()).c_str());
  state.counters["statements"] = kScriptStatements + 2;
}
void BM_ScriptOneByOne(benchmark::State& state) {
  Script(state, false);
}
void BM_ScriptBatched(benchmark::State& state) {
  Script(state, true);
}

// The mariadb client running the same file (process start included).
void BM_ScriptMariadbClient(benchmark::State& state) {
  if (!HaveServer(state)) return;
  const std::string file = ScriptFile();
  setenv("MYSQL_PWD", Env("VIX_MYSQL_PASSWORD").c_str(), 1);
  const std::string command = "mariadb --no-defaults --protocol=TCP --host=" + Env("VIX_MYSQL_HOST") +
                              " --port=" + Env("VIX_MYSQL_PORT", "3306") + " --user=" + Env("VIX_MYSQL_USER", "vix") +
                              " --default-character-set=utf8mb4 " + Env("VIX_MYSQL_DATABASE", "vixtest") + " < " + file;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) state.SkipWithError("the mariadb client failed");
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  TVixConnection c;
  Configure(c, false);
  ClientChecksum() = Checksum(c);
}
#ifdef VIX_BENCH_MARIADB
// The server's own share: the same statements sent by the connector as
// multi-statement texts of about 1 MB (few round trips, no client work to
// speak of), so the wall time is the server's work per INSERT.
void BM_ScriptServerBound(benchmark::State& state) {
  if (!HaveServer(state)) return;
  std::ifstream in(ScriptFile(), std::ios::binary);
  std::vector<std::string> texts(1);
  for (std::string line; std::getline(in, line);) {
    if (texts.back().size() > (1u << 20)) texts.emplace_back();
    texts.back() += line + "\n";
  }
  bench::RawSession* s = OpenRawSession(state, true);
  if (!s) return;
  std::string error;
  for (auto _ : state)
    for (const std::string& text : texts)
      if (!bench::QueryRaw(s, text, error)) state.SkipWithError(error.c_str());
  bench::CloseRaw(s);
}
BENCHMARK(BM_ScriptServerBound)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
#endif
BENCHMARK(BM_ScriptMariadbClient)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();
BENCHMARK(BM_ScriptOneByOne)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_ScriptBatched)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace
}  // namespace vix
