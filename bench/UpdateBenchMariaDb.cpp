// The connector's side of update_bench, and the table's setup and check.
#include <mysql.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "UpdateBench.h"

namespace vix::bench {
namespace {

[[noreturn]] void Fail(MYSQL* m, const std::string& what) {
  throw std::runtime_error(what + ": " + mysql_error(m));
}
[[noreturn]] void Fail(MYSQL_STMT* s, const std::string& what) {
  throw std::runtime_error(what + ": " + mysql_stmt_error(s));
}

struct Session {
  MYSQL* m = mysql_init(nullptr);
  explicit Session(const UpdateConfig& c) {
    mysql_options(m, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    if (!mysql_real_connect(m, c.host.c_str(), c.user.c_str(), c.password.c_str(), c.database.c_str(),
                            static_cast<unsigned>(c.port), nullptr, 0))
      Fail(m, "connect");
  }
  ~Session() { mysql_close(m); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  void Exec(const std::string& sql) {
    if (mysql_real_query(m, sql.data(), sql.size()) != 0) Fail(m, sql.substr(0, 60));
  }
};

}  // namespace

void PrepareUpdateTable(const UpdateConfig& config, int64_t count, bool filled) {
  Session s(config);
  const std::string t = kUpdateTable;
  s.Exec("DROP TABLE IF EXISTS " + t);
  s.Exec("CREATE TABLE " + t +
         " (id INT NOT NULL PRIMARY KEY, name VARCHAR(40) NOT NULL, qty INT NOT NULL, amount DECIMAL(12,2) NOT NULL)"
         " ENGINE=InnoDB CHARACTER SET utf8mb4");
  // The same values as InsertedName/Qty/Amount.
  if (filled)
    s.Exec("INSERT INTO " + t +
           " SELECT seq, CONCAT('이름 ', seq, ' name'), seq % 1000, seq % 5000 + 0.25 FROM seq_1_to_" +
           std::to_string(count));
}

TableCheck CheckUpdateTable(const UpdateConfig& config) {
  Session s(config);
  s.Exec(std::string("SELECT COUNT(*), SUM(CRC32(CONCAT_WS('|', id, name, qty, amount))) FROM ") + kUpdateTable);
  MYSQL_RES* res = mysql_store_result(s.m);
  if (!res) Fail(s.m, "check");
  TableCheck check;
  if (MYSQL_ROW row = mysql_fetch_row(res)) {
    check.rows = row[0] ? std::stoll(row[0]) : 0;
    check.checksum = row[1] ? row[1] : "0";
  }
  mysql_free_result(res);
  return check;
}

void WriteRowsMariaDb(const UpdateConfig& config, int64_t count, bool edit, void (*start)()) {
  Session s(config);
  MYSQL_STMT* stmt = mysql_stmt_init(s.m);
  const std::string t = kUpdateTable;
  const std::string sql = edit ? "UPDATE " + t + " SET name = ?, qty = ? WHERE id = ?"
                               : "INSERT INTO " + t + " (id, name, qty, amount) VALUES (?, ?, ?, ?)";
  if (mysql_stmt_prepare(stmt, sql.data(), sql.size()) != 0) Fail(stmt, "prepare");

  int32_t id = 0, qty = 0;
  double amount = 0;
  char name[64];
  unsigned long nameLength = 0;
  MYSQL_BIND bind[4];
  std::memset(bind, 0, sizeof bind);
  auto bindInt = [](MYSQL_BIND& b, int32_t* v) {
    b.buffer_type = MYSQL_TYPE_LONG;
    b.buffer = v;
  };
  auto bindName = [&](MYSQL_BIND& b) {
    b.buffer_type = MYSQL_TYPE_STRING;
    b.buffer = name;
    b.buffer_length = sizeof name;
    b.length = &nameLength;
  };
  if (edit) {
    bindName(bind[0]);
    bindInt(bind[1], &qty);
    bindInt(bind[2], &id);
  } else {
    bindInt(bind[0], &id);
    bindName(bind[1]);
    bindInt(bind[2], &qty);
    bind[3].buffer_type = MYSQL_TYPE_DOUBLE;
    bind[3].buffer = &amount;
  }
  if (mysql_stmt_bind_param(stmt, bind) != 0) Fail(stmt, "bind");

  start();
  s.Exec("START TRANSACTION");
  for (int64_t row = 1; row <= count; ++row) {
    id = static_cast<int32_t>(row);
    const std::string text = edit ? EditedName(row) : InsertedName(row);
    if (text.size() > sizeof name) throw std::runtime_error("name too long");
    std::memcpy(name, text.data(), text.size());
    nameLength = text.size();
    qty = edit ? EditedQty(row) : InsertedQty(row);
    amount = InsertedAmount(row);
    if (mysql_stmt_execute(stmt) != 0) Fail(stmt, "execute");
    if (mysql_stmt_affected_rows(stmt) != 1) throw std::runtime_error("a row not written once");
  }
  s.Exec("COMMIT");
  mysql_stmt_close(stmt);
}

}  // namespace vix::bench
