// The client benchmark: one case of one client per process, so that the
// process's CPU time and peak memory are that client's. Both clients get
// the same connection settings and hash every byte of every value they read.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace vix::bench {

struct ClientConfig {
  std::string host = "127.0.0.1";
  int port = 3306;
  std::string user, password, database;
  bool compress = false;
  // TLS with the server's certificate checked against this CA file (when set).
  std::string tlsCa;
  // The HTTP tunnel (ours only): the tunnel server's URL and account.
  std::string tunnelUrl, tunnelUser, tunnelPassword;
  // Connect the provider's connection as well (for RunRecords).
  bool records = false;
  // Connect the universal connection as well (for RunQuery).
  bool query = false;
};

// The tables the cases read (created by the script that runs them).
constexpr const char* kRowColumns = "id, big, name, amount, created, ratio";
constexpr const char* kRowTable = "bench_rows";
constexpr const char* kBlobTable = "bench_blobs";

// A cheap hash that still reads every byte: eight bytes a step, then the
// tail. Each value is hashed with its length, a NULL as a marker of its own.
class Hasher {
 public:
  void Add(const void* data, size_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    Mix(length);
    for (; length >= 8; p += 8, length -= 8) {
      uint64_t word;
      std::memcpy(&word, p, 8);
      Mix(word);
    }
    uint64_t tail = 0;
    for (size_t i = 0; i < length; ++i) tail |= static_cast<uint64_t>(p[i]) << (8 * i);
    Mix(tail);
  }
  void AddNull() { Mix(0xFFFFFFFFFFFFFFFFull); }
  uint64_t Value() const { return FHash; }

 private:
  void Mix(uint64_t word) {
    FHash = (FHash ^ word) * 0x9E3779B97F4A7C15ull;
    FHash ^= FHash >> 29;
  }
  uint64_t FHash = 0x243F6A8885A308D3ull;
};

// One client under test. Connect and PrepareStatement run before the
// measured part; each Run... is measured and returns the operations done
// (round trips or rows); what was read goes into `hash`.
class BenchClient {
 public:
  virtual ~BenchClient() = default;
  virtual void Connect(const ClientConfig& config) = 0;
  // Prepares the statement of RunStatement.
  virtual void PrepareStatement() = 0;
  // The prepared statement, executed with two parameters, `count` times; one row each.
  virtual int64_t RunStatement(int64_t count, int64_t tableRows, Hasher& hash) = 0;
  // The rows of one SELECT of kRowColumns fetched whole into records (ours:
  // the MySQL record set, fetch-all; the peer: its rows converted as a
  // wrapper would, texts to UTF-16, numbers, decimals to currency, dates to
  // day numbers), then every record hashed. Returns the records.
  virtual int64_t RunRecords(const std::string& sql, Hasher& hash) = 0;
  // The rows of one SELECT of kRowColumns as a program reads them: every
  // value in the type it uses (QueryValues), hashed the same way by every
  // client, so their hashes agree. Ours: a TVixQuery opened whole and read
  // through its fields; libmariadb: mysql_store_result with the conversions;
  // Qt SQL: a forward-only QSqlQuery and value(i) converted. Returns the rows.
  virtual int64_t RunQuery(const std::string& sql, Hasher& hash) = 0;

  // `DO 1`, `count` times.
  int64_t RunDo(int64_t count);
  // A one-row primary-key SELECT over ids 1..tableRows, `count` times.
  int64_t RunSelectOne(int64_t count, int64_t tableRows, Hasher& hash);
  // The rows of one SELECT, read one by one.
  int64_t RunFetch(const std::string& sql, Hasher& hash);

 protected:
  // Sends a text query and reads its reply; raises on failure.
  virtual void Query(const char* sql, size_t length) = 0;
  // Reads the pending result row by row, hashing every value; returns the rows.
  virtual int64_t ReadRows(Hasher& hash) = 0;
};

std::unique_ptr<BenchClient> MakeOurClient();
std::unique_ptr<BenchClient> MakeMariaDbClient();
// Qt SQL's MySQL driver: only in client_bench_qt (the one program that links Qt).
std::unique_ptr<BenchClient> MakeQtClient();

// The prepared statement's text and the key of its i-th execution.
constexpr const char* kStatementSql =
    "SELECT id, big, name, amount, created, ratio FROM bench_rows WHERE id = ? AND big >= ?";
inline int64_t KeyOf(int64_t i, int64_t tableRows) {
  return (i * 7919) % tableRows + 1;
}

// One row of the query case in the types a program uses: integers, the text
// in UTF-16, the decimal as currency (ten-thousandths), the date-time in
// milliseconds from 1899-12-30, the double.
struct QueryValues {
  int32_t id = 0;
  int64_t big = 0;
  const char16_t* name = nullptr;
  size_t nameLength = 0;
  int64_t amount = 0;
  int64_t createdMs = 0;
  double ratio = 0;
};
inline void AddQueryValues(Hasher& hash, const QueryValues& v) {
  hash.Add(&v.id, sizeof v.id);
  hash.Add(&v.big, sizeof v.big);
  hash.Add(v.name, v.nameLength * sizeof(char16_t));
  hash.Add(&v.amount, sizeof v.amount);
  hash.Add(&v.createdMs, sizeof v.createdMs);
  hash.Add(&v.ratio, sizeof v.ratio);
}

// Raises std::runtime_error with the client's message.
[[noreturn]] void Fail(const std::string& what, const std::string& message);

}  // namespace vix::bench
