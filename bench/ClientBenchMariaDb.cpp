// The cases over MariaDB's C connector (libmariadb), the peer we measure
// against. Only the benchmark program links it.
#include <mysql.h>

#include <cstring>

#include "ClientBench.h"

namespace vix::bench {
namespace {

class MariaDbClient : public BenchClient {
 public:
  ~MariaDbClient() override {
    if (FStmt) mysql_stmt_close(FStmt);
    if (FMySql) mysql_close(FMySql);
  }

  void Connect(const ClientConfig& c) override {
    FMySql = mysql_init(nullptr);
    if (!FMySql) Fail("init", "out of memory");
    mysql_options(FMySql, MYSQL_SET_CHARSET_NAME, "utf8");
    const unsigned int protocol = MYSQL_PROTOCOL_TCP;
    mysql_options(FMySql, MYSQL_OPT_PROTOCOL, &protocol);
    if (c.compress) mysql_options(FMySql, MYSQL_OPT_COMPRESS, nullptr);
    if (!mysql_real_connect(FMySql, c.host.c_str(), c.user.c_str(), c.password.c_str(), c.database.c_str(),
                            static_cast<unsigned>(c.port), nullptr, 0))
      Fail("connect", mysql_error(FMySql));
  }

  void PrepareStatement() override {
    FStmt = mysql_stmt_init(FMySql);
    if (!FStmt) Fail("statement", mysql_error(FMySql));
    if (mysql_stmt_prepare(FStmt, kStatementSql, std::strlen(kStatementSql)) != 0) Fail("prepare", mysql_stmt_error(FStmt));
    std::memset(FParams, 0, sizeof FParams);
    FParams[0].buffer_type = MYSQL_TYPE_LONG;
    FParams[0].buffer = &FId;
    FParams[1].buffer_type = MYSQL_TYPE_LONGLONG;
    FParams[1].buffer = &FBig;
    if (mysql_stmt_bind_param(FStmt, FParams) != 0) Fail("bind", mysql_stmt_error(FStmt));
    std::memset(FResult, 0, sizeof FResult);
    Bind(0, MYSQL_TYPE_LONG, &FOutId, sizeof FOutId);
    Bind(1, MYSQL_TYPE_LONGLONG, &FOutBig, sizeof FOutBig);
    Bind(2, MYSQL_TYPE_STRING, FOutName, sizeof FOutName);
    Bind(3, MYSQL_TYPE_STRING, FOutAmount, sizeof FOutAmount);
    Bind(4, MYSQL_TYPE_DATETIME, &FOutCreated, sizeof FOutCreated);
    Bind(5, MYSQL_TYPE_DOUBLE, &FOutRatio, sizeof FOutRatio);
    if (mysql_stmt_bind_result(FStmt, FResult) != 0) Fail("bind result", mysql_stmt_error(FStmt));
  }

  int64_t RunStatement(int64_t count, int64_t tableRows, Hasher& hash) override {
    for (int64_t i = 0; i < count; ++i) {
      FId = static_cast<int32_t>(KeyOf(i, tableRows));
      FBig = 0;
      if (mysql_stmt_execute(FStmt) != 0) Fail("execute", mysql_stmt_error(FStmt));
      int rows = 0;
      int rc;
      while ((rc = mysql_stmt_fetch(FStmt)) == 0) {
        for (size_t c = 0; c < kColumns; ++c) {
          if (FIsNull[c]) {
            hash.AddNull();
          } else if (c == 4) {
            const MYSQL_TIME& t = FOutCreated;
            const uint32_t parts[7] = {t.year, t.month, t.day, t.hour, t.minute, t.second,
                                       static_cast<uint32_t>(t.second_part)};
            hash.Add(parts, sizeof parts);
          } else {
            hash.Add(FResult[c].buffer, FLength[c]);
          }
        }
        ++rows;
      }
      if (rc != MYSQL_NO_DATA) Fail("fetch", mysql_stmt_error(FStmt));
      if (rows != 1) Fail("statement", "not one row");
    }
    return count;
  }

 private:
  static constexpr size_t kColumns = 6;

  void Bind(size_t c, enum_field_types type, void* buffer, size_t size) {
    FResult[c].buffer_type = type;
    FResult[c].buffer = buffer;
    FResult[c].buffer_length = static_cast<unsigned long>(size);
    FResult[c].length = &FLength[c];
    FResult[c].is_null = &FIsNull[c];
  }

 protected:
  void Query(const char* sql, size_t length) override {
    if (mysql_real_query(FMySql, sql, static_cast<unsigned long>(length)) != 0) Fail("query", mysql_error(FMySql));
  }

  int64_t ReadRows(Hasher& hash) override {
    MYSQL_RES* res = mysql_use_result(FMySql);
    if (!res) Fail("use result", mysql_error(FMySql));
    const unsigned fields = mysql_num_fields(res);
    int64_t rows = 0;
    while (MYSQL_ROW row = mysql_fetch_row(res)) {
      const unsigned long* lengths = mysql_fetch_lengths(res);
      for (unsigned c = 0; c < fields; ++c) {
        if (row[c]) hash.Add(row[c], lengths[c]);
        else hash.AddNull();
      }
      ++rows;
    }
    if (mysql_errno(FMySql) != 0) Fail("fetch", mysql_error(FMySql));
    mysql_free_result(res);
    return rows;
  }

 private:
  MYSQL* FMySql = nullptr;
  MYSQL_STMT* FStmt = nullptr;
  MYSQL_BIND FParams[2];
  MYSQL_BIND FResult[kColumns];
  int32_t FId = 0;
  int64_t FBig = 0;
  int32_t FOutId = 0;
  int64_t FOutBig = 0;
  char FOutName[256];
  char FOutAmount[32];
  MYSQL_TIME FOutCreated;
  double FOutRatio = 0;
  unsigned long FLength[kColumns] = {};
  my_bool FIsNull[kColumns] = {};
};

}  // namespace

std::unique_ptr<BenchClient> MakeMariaDbClient() { return std::make_unique<MariaDbClient>(); }

}  // namespace vix::bench
