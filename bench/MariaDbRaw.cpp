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

}  // namespace vix::bench
