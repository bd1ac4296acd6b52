// update_bench: cached updates applied by the dataset beside the same rows
// written by MariaDB's C connector. The connector's part sits in
// UpdateBenchMariaDb.cpp, the only file that sees its headers.
#pragma once

#include <cstdint>
#include <string>

namespace vix::bench {

struct UpdateConfig {
  std::string host, user, password, database;
  int port = 0;
};

// The table every case writes: (id, name, qty, amount).
inline constexpr const char* kUpdateTable = "bench_updates";

// The values of row `id` after the inserts, and what the edits set.
std::string InsertedName(int64_t id);
int32_t InsertedQty(int64_t id);
double InsertedAmount(int64_t id);
std::string EditedName(int64_t id);
int32_t EditedQty(int64_t id);

// Creates the table afresh, empty or (`filled`) holding rows 1..count as
// the inserts leave them.
void PrepareUpdateTable(const UpdateConfig& config, int64_t count, bool filled);

// The table's row count and a checksum over every value, read through a
// session of its own.
struct TableCheck {
  int64_t rows = 0;
  std::string checksum;
};
TableCheck CheckUpdateTable(const UpdateConfig& config);

// The connector: `count` rows inserted, or rows 1..count edited, by one
// prepared statement in one transaction. The session is opened and the
// statement prepared before `start` is called; `start` begins the measured part.
void WriteRowsMariaDb(const UpdateConfig& config, int64_t count, bool edit, void (*start)());

}  // namespace vix::bench
