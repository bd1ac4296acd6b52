// A private database on the MariaDB server of the test services, with an
// administrative session of its own (the "second connection" that reads back
// what the component under test wrote), and a universal connection set up
// for it. Header-only: tests that use it link vix_mysql_provider.
#pragma once

#include <string>
#include <vector>

#include "MySql/MySQLVixProvider.h"
#include "MySql/MySqlApiDirect.h"
#include "TestSupport.h"
#include "universal/Vix.h"

namespace vix::test {

class TServerDatabase {
 public:
  // `prefix` + the process id names the database; it is made empty.
  // Returns false (after VIX_REQUIRE_COMPONENT) when there is no server.
  bool Create(const std::string& prefix) {
    if (server.Host.empty()) return false;
    database = prefix + "_" + ProcessTag();
    RegisterMySQLVixProvider();
    admin = api.mysql_init(nullptr);
    api.mysql_options(admin, MYSQL_SET_CHARSET_NAME, std::string("utf8"));
    if (api.mysql_real_connect(admin, server.Host, server.User, server.Password, server.Database, server.Port, "", 0) !=
        admin) {
      ADD_FAILURE() << "admin session: " << api.mysql_error(admin);
      return false;
    }
    Exec("DROP DATABASE IF EXISTS " + database);
    Exec("CREATE DATABASE " + database + " CHARACTER SET utf8mb4");
    Exec("USE " + database);
    return true;
  }
  ~TServerDatabase() {
    if (!admin) return;
    Exec("DROP DATABASE IF EXISTS " + database);
    api.mysql_close(admin);
  }

  // A connection to the database, provider "MySQL" with Unicode texts.
  void Setup(TVixConnection& connection) const {
    connection.SetName(u"cnServer");
    connection.SetProviderName(u"MySQL");
    connection.SpecificOptions().Add(u"MySQL.UseUnicode=True");
    connection.SetServer(Utf8ToUtf16(server.Host));
    connection.SetPort(server.Port);
    connection.SetDatabase(Utf8ToUtf16(database));
    connection.SetUsername(Utf8ToUtf16(server.User));
    connection.SetPassword(Utf8ToUtf16(server.Password));
  }

  // Runs a statement on the admin session; a failure fails the test.
  void Exec(const std::string& sql) {
    if (api.mysql_real_query(admin, sql.data(), sql.size()) != 0)
      ADD_FAILURE() << sql << ": " << api.mysql_error(admin);
  }
  // Every row of a query on the admin session, the values joined by "|"
  // (NULL as "<NULL>").
  std::vector<std::string> Rows(const std::string& sql) {
    std::vector<std::string> rows;
    if (api.mysql_real_query(admin, sql.data(), sql.size()) != 0) return {"<error " + api.mysql_error(admin) + ">"};
    if (PMYSQL_RES res = api.mysql_use_result(admin)) {
      const int columns = api.mysql_num_fields(res);
      while (PMYSQL_ROW row = api.mysql_fetch_row(res)) {
        std::string line;
        for (int i = 0; i < columns; ++i) {
          if (i) line += "|";
          line += api._mysql_fetch_value_is_null(row, i) ? "<NULL>" : api._mysql_fetch_value_str(row, i);
        }
        rows.push_back(line);
      }
      api.mysql_free_result(res);
    }
    return rows;
  }

  TMySqlTestServer server;
  std::string database;
  TMySQLAPIDirect api;
  PMYSQL admin = nullptr;
};

}  // namespace vix::test
