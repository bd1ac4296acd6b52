// One million rows of a mixed 6-column table (integer, big integer, text,
// double, date-time, decimal) fetched from the test server into records by
// the MySQL record set, beside MariaDB's C connector reading the same rows
// raw. Client CPU per row: the "cpu" column divided by the rows counter.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "MariaDbRaw.h"
#include "MySql/MyClasses.h"

namespace vix {
namespace {

constexpr int64_t kRows = 1000000;
const std::string kSelect = "SELECT id, big, name, amount, created, price FROM bench_rows";

std::string Env(const char* name, const char* fallback = "") {
  const char* v = std::getenv(name);
  return v && *v ? v : fallback;
}

std::unique_ptr<TMySQLConnection> Connect() {
  auto c = std::make_unique<TMySQLConnection>();
  c->SetServer(U(Env("VIX_MYSQL_HOST")));
  c->SetUsername(U(Env("VIX_MYSQL_USER", "vix")));
  c->SetPassword(U(Env("VIX_MYSQL_PASSWORD")));
  c->SetProp(prPort, std::atoi(Env("VIX_MYSQL_PORT", "0").c_str()));
  c->SetProp(prDatabase, U(Env("VIX_MYSQL_DATABASE", "vixtest")));
  c->SetProp(prUseUnicode, true);
  c->Connect(UString());
  return c;
}

void Run(TMySQLConnection& c, const UString& sql) {
  TMySQLCommand cmd;
  cmd.SetConnection(&c);
  cmd.SetSQL(sql);
  cmd.Execute();
}

// Fills the table once per process.
bool Prepare(benchmark::State& state) {
  if (Env("VIX_MYSQL_HOST").empty()) {
    state.SkipWithError("the test server is not running (VIX_MYSQL_HOST)");
    return false;
  }
  static bool done = false;
  if (done) return true;
  auto c = Connect();
  Run(*c,
      u"CREATE TABLE IF NOT EXISTS bench_rows (id INT, big BIGINT, name VARCHAR(30), amount DOUBLE,"
      u" created DATETIME, price DECIMAL(10,2))");
  TMySQLRecordset rs;
  rs.SetConnection(c.get());
  rs.SetSQL(u"SELECT COUNT(*) FROM bench_rows");
  rs.Open();
  std::vector<uint8_t> rec = rs.AllocRecBuf();
  rs.SetRecordNo(1);
  rs.GetRecord(rec.data());
  if (rs.GetFieldAsVariant(1, rec.data()).AsInt64() != kRows) {
    Run(*c, u"TRUNCATE bench_rows");
    Run(*c,
        u"INSERT INTO bench_rows SELECT seq, seq * 1000003, CONCAT('user name ', seq), seq / 7,"
        u" '2024-01-01' + INTERVAL seq SECOND, seq / 100 FROM seq_1_to_1000000");
  }
  done = true;
  return true;
}

void BM_RecordSetFetchAll(benchmark::State& state) {
  if (!Prepare(state)) return;
  auto c = Connect();
  int64_t rows = 0;
  for (auto _ : state) {
    TMySQLRecordset rs;
    rs.SetConnection(c.get());
    rs.SetSQL(U(kSelect));
    rs.SetProp(prFetchRows, 1000);
    rs.Open();
    rows += rs.RecordCount();
    state.PauseTiming();
    rs.Close();
    state.ResumeTiming();
  }
  state.counters["rows"] = static_cast<double>(rows);
  state.counters["cpu_ns_per_row"] =
      benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_RecordSetFetchAll)->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_MariaDbRaw(benchmark::State& state) {
  if (!Prepare(state)) return;
  int64_t rows = 0;
  for (auto _ : state) {
    std::string error;
    const int64_t n = bench::ReadRowsRaw(Env("VIX_MYSQL_HOST"), std::atoi(Env("VIX_MYSQL_PORT", "0").c_str()),
                                         Env("VIX_MYSQL_USER", "vix"), Env("VIX_MYSQL_PASSWORD"),
                                         Env("VIX_MYSQL_DATABASE", "vixtest"), kSelect, error);
    if (n < 0) {
      state.SkipWithError(error.c_str());
      return;
    }
    rows += n;
  }
  state.counters["rows"] = static_cast<double>(rows);
  state.counters["cpu_ns_per_row"] =
      benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_MariaDbRaw)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vix
