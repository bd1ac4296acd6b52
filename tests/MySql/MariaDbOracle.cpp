#include "MariaDbOracle.h"

#include <mysql.h>

#include <cstring>

#include "TestSupport.h"

namespace vix::test {

namespace {
MYSQL* M(void* p) {
  return static_cast<MYSQL*>(p);
}
}  // namespace

Oracle::~Oracle() {
  if (FMySQL) mysql_close(M(FMySQL));
}

bool Oracle::Connect(const std::string& host, int port, const std::string& user, const std::string& password,
                     const std::string& db) {
  FMySQL = mysql_init(nullptr);
  mysql_options(M(FMySQL), MYSQL_SET_CHARSET_NAME, "utf8mb4");
  return mysql_real_connect(M(FMySQL), host.c_str(), user.c_str(), password.c_str(), db.c_str(),
                            static_cast<unsigned>(port), nullptr, 0) != nullptr;
}

std::string Oracle::Error() const {
  return mysql_error(M(FMySQL));
}

std::vector<std::vector<OracleValue>> Oracle::Rows(const std::string& sql) {
  std::vector<std::vector<OracleValue>> rows;
  MYSQL_STMT* stmt = mysql_stmt_init(M(FMySQL));
  if (mysql_stmt_prepare(stmt, sql.data(), sql.size()) || mysql_stmt_execute(stmt)) {
    ADD_FAILURE() << "oracle: " << mysql_stmt_error(stmt) << " in " << sql;
    mysql_stmt_close(stmt);
    return rows;
  }
  MYSQL_RES* meta = mysql_stmt_result_metadata(stmt);
  const unsigned n = mysql_num_fields(meta);
  MYSQL_FIELD* fields = mysql_fetch_fields(meta);
  std::vector<MYSQL_BIND> binds(n);
  std::vector<unsigned long> lengths(n);
  std::vector<my_bool> nulls(n);
  std::vector<int64_t> ints(n);
  std::vector<double> doubles(n);
  std::vector<int> kinds(n);
  for (unsigned i = 0; i < n; ++i) {
    MYSQL_BIND& b = binds[i];
    std::memset(&b, 0, sizeof b);
    b.length = &lengths[i];
    b.is_null = &nulls[i];
    switch (fields[i].type) {
      case MYSQL_TYPE_TINY:
      case MYSQL_TYPE_SHORT:
      case MYSQL_TYPE_LONG:
      case MYSQL_TYPE_INT24:
      case MYSQL_TYPE_LONGLONG:
      case MYSQL_TYPE_YEAR:
        b.buffer_type = MYSQL_TYPE_LONGLONG;
        b.buffer = &ints[i];
        b.is_unsigned = (fields[i].flags & UNSIGNED_FLAG) != 0;
        kinds[i] = OracleValue::kInt;
        break;
      case MYSQL_TYPE_FLOAT:
      case MYSQL_TYPE_DOUBLE:
        b.buffer_type = MYSQL_TYPE_DOUBLE;
        b.buffer = &doubles[i];
        kinds[i] = OracleValue::kDouble;
        break;
      default: b.buffer_type = MYSQL_TYPE_STRING; kinds[i] = OracleValue::kBytes;
    }
  }
  mysql_stmt_bind_result(stmt, binds.data());
  mysql_stmt_store_result(stmt);
  for (;;) {
    const int rc = mysql_stmt_fetch(stmt);
    if (rc == MYSQL_NO_DATA) break;
    if (rc == 1) {
      ADD_FAILURE() << "oracle fetch: " << mysql_stmt_error(stmt);
      break;
    }
    std::vector<OracleValue> row(n);
    for (unsigned i = 0; i < n; ++i) {
      OracleValue& v = row[i];
      v.isNull = nulls[i];
      v.kind = static_cast<OracleValue::Kind>(kinds[i]);
      v.i = ints[i];
      v.isUnsigned = binds[i].is_unsigned;
      v.d = doubles[i];
      if (v.isNull || v.kind != OracleValue::kBytes) continue;
      v.bytes.assign(lengths[i], '\0');
      if (lengths[i]) {
        MYSQL_BIND one;
        std::memset(&one, 0, sizeof one);
        one.buffer_type = MYSQL_TYPE_STRING;
        one.buffer = v.bytes.data();
        one.buffer_length = lengths[i];
        mysql_stmt_fetch_column(stmt, &one, i, 0);
      }
    }
    rows.push_back(std::move(row));
  }
  mysql_free_result(meta);
  mysql_stmt_close(stmt);
  return rows;
}

}  // namespace vix::test
