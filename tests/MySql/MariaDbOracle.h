// MariaDB's C connector as a reference reader: rows of a prepared statement
// (binary protocol). Only this pair of files sees the connector's headers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vix::test {

// One value as the connector reads it: integers and floats by value,
// everything else as its bytes.
struct OracleValue {
  bool isNull = true;
  enum Kind { kBytes, kInt, kDouble } kind = kBytes;
  std::string bytes;
  int64_t i = 0;
  bool isUnsigned = false;
  double d = 0;
};

class Oracle {
 public:
  Oracle() = default;
  ~Oracle();
  Oracle(const Oracle&) = delete;
  Oracle& operator=(const Oracle&) = delete;

  bool Connect(const std::string& host, int port, const std::string& user, const std::string& password,
               const std::string& db);
  std::string Error() const;
  // Every row of `sql`, run as a prepared statement; a failure is reported
  // to the running test and gives no rows.
  std::vector<std::vector<OracleValue>> Rows(const std::string& sql);

 private:
  void* FMySQL = nullptr;
};

}  // namespace vix::test
