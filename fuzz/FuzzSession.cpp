// A whole session against a server stream: greeting, login, one query, its
// results and rows. The first byte adds the compression and multi-statement
// flags to the login, and with bit 2 the query is a prepared statement
// (prepare, execute with one parameter, binary rows).
#include <memory>

#include "FuzzSupport.h"
#include "MySql/MySqlApiDirect.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static vix::TMySQLAPIDirect api;
  vix::PMYSQL m = api.mysql_init(nullptr);
  api.mysql_options(m, vix::MYSQL_OPT_PROTOCOL, vix::MYSQL_PROTOCOL_MEMORY);
  m->net.SetVio(std::make_unique<vix::fuzz::TReplayVio>(vix::fuzz::Input(data + 1, size - 1)));
  uint32_t flags = vix::CLIENT_FOUND_ROWS;
  if (data[0] & 1) flags |= vix::CLIENT_COMPRESS;
  if (data[0] & 2) flags |= vix::CLIENT_MULTI_STATEMENTS;
  if (api.mysql_real_connect(m, "127.0.0.1", "user", "pw", "db", 3306, "", flags)) {
    m->net.SetMaxPacketSize(1 << 22);
    const std::string q = "SELECT 1";
    if (data[0] & 4) {
      vix::PMYSQL_STMT s = api.mysql_stmt_init(m);
      vix::TParamDescs params;
      auto p = std::make_unique<vix::TParamDesc>();
      p->SetDataType(4);  // 32-bit integer
      p->SetValue(vix::Variant(1));
      params.Add(std::move(p));
      if (api.mysql_stmt_prepare(s, q.data(), q.size()) == 0) {
        api._mysql_stmt_bind_result(s);
        if (api._mysql_stmt_execute(s, params, true) == 0) {
          vix::PMYSQL_ROW row = nullptr;
          while (api._mysql_stmt_fetch(s, row) == 0) {
            try {
              for (size_t i = 0; i < s->Fields().size(); ++i) api._mysql_stmt_fetch_value_ptr(s, static_cast<int>(i));
            } catch (const vix::EMySqlException&) {
              // 2028: the statement had no result binds (text rows)
            }
          }
        }
      }
      api.mysql_stmt_close(s);
    } else if (api.mysql_real_query(m, q.data(), q.size()) == 0) {
      do {
        if (vix::PMYSQL_RES res = api.mysql_use_result(m)) {
          for (int i = 0; i < api.mysql_num_fields(res); ++i) api._mysql_fetch_field_direct(res, i, true);
          while (vix::PMYSQL_ROW row = api.mysql_fetch_row(res)) {
            for (int i = 0; i < api.mysql_num_fields(res); ++i) api._mysql_fetch_value_str(row, i);
          }
          api.mysql_free_result(res);
        }
      } while (api.mysql_next_result(m) == 0);
    }
  }
  api.mysql_close(m);
  return 0;
}
