// update_bench: rows written to the test server as a program writes them,
// one case per process (scripts/bench-updates runs them all):
//
//   update_bench --client ours|mariadb --kind insert|edit --count N [--batch B]
//
// ours: a TVixQuery with CachedUpdates on takes N appended records (insert)
// or an edit of every record of an N-row table (edit: name and qty), then
// ApplyUpdates and CommitUpdates send them with the dataset option
// UpdateBatchSize B (default 1). mariadb: MariaDB's C connector writes the
// same rows by one prepared statement, executed N times in one transaction.
//
// The measured part is the writing alone: for ours the apply and commit
// (the caching before them is shown on its own), for the connector the
// executions and the commit. CPU time is the process's user + system time
// (getrusage): the process runs one client, on one thread. Afterwards a
// session of its own reads the table's row count and a checksum over every
// value, which must be the same for every client of one kind.
#include <sys/resource.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "BenchMain.h"
#include "MySql/MySQLVixProvider.h"
#include "UpdateBench.h"
#include "rtl/UString.h"
#include "universal/Vix.h"

namespace vix::bench {

std::string InsertedName(int64_t id) {
  return "이름 " + std::to_string(id) + " name";
}
int32_t InsertedQty(int64_t id) {
  return static_cast<int32_t>(id % 1000);
}
double InsertedAmount(int64_t id) {
  return static_cast<double>(id % 5000) + 0.25;
}
std::string EditedName(int64_t id) {
  return "바뀐 " + std::to_string(id) + " edited";
}
int32_t EditedQty(int64_t id) {
  return static_cast<int32_t>(id * 7 % 10000);
}

namespace {

struct Mark {
  rusage usage{};
  std::chrono::steady_clock::time_point wall;
  static Mark Now() {
    Mark m;
    getrusage(RUSAGE_SELF, &m.usage);
    m.wall = std::chrono::steady_clock::now();
    return m;
  }
};
struct Span {
  int64_t user = 0, sys = 0, wall = 0;
};
Span Between(const Mark& a, const Mark& b) {
  return {Micros(b.usage.ru_utime) - Micros(a.usage.ru_utime), Micros(b.usage.ru_stime) - Micros(a.usage.ru_stime),
          std::chrono::duration_cast<std::chrono::microseconds>(b.wall - a.wall).count()};
}

Mark gStart;
void StartMeasuring() {
  gStart = Mark::Now();
}

// Caches the changes (returned: that part's span), then applies and commits
// them from StartMeasuring on.
Span WriteRowsOurs(const UpdateConfig& config, int64_t count, bool edit, int batch) {
  RegisterMySQLVixProvider();
  TVixConnection c;
  c.SetProviderName(u"MySQL");
  c.SpecificOptions().Add(u"MySQL.UseUnicode=True");
  c.SetServer(U(config.host));
  c.SetPort(config.port);
  c.SetDatabase(U(config.database));
  c.SetUsername(U(config.user));
  c.SetPassword(U(config.password));
  c.SetPooling(false);
  c.Open();
  TVixQuery q;
  q.SetConnection(&c);
  q.SetCachedUpdates(true);
  q.Options().UpdateBatchSize = batch;
  q.SetSQL(u"SELECT id, name, qty, amount FROM " + U(std::string(kUpdateTable)));
  q.Open();
  if (q.RecordCount() != (edit ? count : 0)) throw std::runtime_error("the table does not hold the rows expected");
  TField& id = q.FieldByName(u"id");
  TField& name = q.FieldByName(u"name");
  TField& qty = q.FieldByName(u"qty");
  TField& amount = q.FieldByName(u"amount");

  const Mark cacheStart = Mark::Now();
  if (edit) {
    for (q.First(); !q.Eof(); q.Next()) {
      const int64_t row = id.AsInteger();
      q.Edit();
      name.SetAsString(Utf8ToUtf16(EditedName(row)));
      qty.SetAsInteger(EditedQty(row));
      q.Post();
    }
  } else {
    for (int64_t row = 1; row <= count; ++row) {
      q.Append();
      id.SetAsInteger(static_cast<int32_t>(row));
      name.SetAsString(Utf8ToUtf16(InsertedName(row)));
      qty.SetAsInteger(InsertedQty(row));
      amount.SetAsFloat(InsertedAmount(row));
      q.Post();
    }
  }
  const Span caching = Between(cacheStart, Mark::Now());

  StartMeasuring();
  q.ApplyUpdates();
  q.CommitUpdates();
  if (q.UpdatesPending()) throw std::runtime_error("changes left pending");
  return caching;
}

int Usage() {
  std::fprintf(stderr, "usage: update_bench --client ours|mariadb --kind insert|edit --count N [--batch B]\n");
  return 2;
}

int Run(int argc, char** argv) {
  std::string client, kind;
  int64_t count = 0;
  int batch = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const char* value = argv[i + 1];
    if (key == "--client") client = value;
    else if (key == "--kind") kind = value;
    else if (key == "--count") count = std::strtoll(value, nullptr, 10);
    else if (key == "--batch") batch = std::atoi(value);
    else return Usage();
  }
  if ((argc - 1) % 2 != 0 || count <= 0 || count > 1000000 || batch <= 0 || (kind != "insert" && kind != "edit") ||
      (client != "ours" && client != "mariadb"))
    return Usage();
  const bool edit = kind == "edit";

  UpdateConfig config;
  config.host = Env("VIX_MYSQL_HOST", "127.0.0.1");
  config.port = std::atoi(Env("VIX_MYSQL_PORT", "3306").c_str());
  config.user = Env("VIX_MYSQL_USER", "vix");
  config.password = Env("VIX_MYSQL_PASSWORD", "");
  config.database = Env("VIX_MYSQL_DATABASE", "vixtest");
  PrepareUpdateTable(config, count, edit);

  Span caching;
  if (client == "ours") caching = WriteRowsOurs(config, count, edit, batch);
  else WriteRowsMariaDb(config, count, edit, StartMeasuring);
  const Span writing = Between(gStart, Mark::Now());

  const TableCheck check = CheckUpdateTable(config);
  if (check.rows != count) throw std::runtime_error("the table holds " + std::to_string(check.rows) + " rows");
  std::printf("kind=%s client=%s batch=%d rows=%" PRId64 " user_us=%" PRId64 " sys_us=%" PRId64 " wall_us=%" PRId64
              " cache_cpu_us=%" PRId64 " checksum=%s\n",
              kind.c_str(), client.c_str(), client == "ours" ? batch : 0, check.rows, writing.user, writing.sys,
              writing.wall, caching.user + caching.sys, check.checksum.c_str());
  return 0;
}

}  // namespace
}  // namespace vix::bench

int main(int argc, char** argv) {
  return vix::bench::RunMain("update_bench", vix::bench::Run, argc, argv);
}
