#include "MariaDbRaw.h"

#include <mysql.h>

namespace vix::bench {

int64_t ReadRowsRaw(const std::string& host, int port, const std::string& user, const std::string& password,
                    const std::string& db, const std::string& sql, std::string& error) {
  MYSQL* m = mysql_init(nullptr);
  mysql_options(m, MYSQL_SET_CHARSET_NAME, "utf8");
  int64_t rows = -1;
  if (mysql_real_connect(m, host.c_str(), user.c_str(), password.c_str(), db.c_str(), static_cast<unsigned>(port),
                         nullptr, 0) &&
      mysql_real_query(m, sql.data(), sql.size()) == 0) {
    if (MYSQL_RES* res = mysql_use_result(m)) {
      rows = 0;
      while (MYSQL_ROW row = mysql_fetch_row(res)) {
        // Touch every value, as a reader would.
        unsigned long* lengths = mysql_fetch_lengths(res);
        if (row[0] && lengths[0]) ++rows;
        else ++rows;
      }
      mysql_free_result(res);
    }
  }
  if (rows < 0) error = mysql_error(m);
  mysql_close(m);
  return rows;
}

struct RawSession {
  MYSQL* m;
};

RawSession* OpenRaw(const std::string& host, int port, const std::string& user, const std::string& password,
                    const std::string& db, bool multiStatements, std::string& error) {
  MYSQL* m = mysql_init(nullptr);
  mysql_options(m, MYSQL_SET_CHARSET_NAME, "utf8mb4");
  if (!mysql_real_connect(m, host.c_str(), user.c_str(), password.c_str(), db.c_str(), static_cast<unsigned>(port),
                          nullptr, multiStatements ? CLIENT_MULTI_STATEMENTS : 0)) {
    error = mysql_error(m);
    mysql_close(m);
    return nullptr;
  }
  return new RawSession{m};
}

bool QueryRaw(RawSession* session, const std::string& sql, std::string& error) {
  MYSQL* m = session->m;
  if (mysql_real_query(m, sql.data(), sql.size()) != 0) {
    error = mysql_error(m);
    return false;
  }
  for (;;) {
    if (MYSQL_RES* res = mysql_use_result(m)) {
      while (mysql_fetch_row(res)) {
      }
      mysql_free_result(res);
    }
    const int next = mysql_next_result(m);
    if (next < 0) return true;
    if (next > 0) {
      error = mysql_error(m);
      return false;
    }
  }
}

void CloseRaw(RawSession* session) {
  if (!session) return;
  mysql_close(session->m);
  delete session;
}

}  // namespace vix::bench
