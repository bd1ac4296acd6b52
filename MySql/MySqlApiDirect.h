// The client API over the wire client of this library (no client library).
#pragma once

#include "MySql/MySqlApi.h"

namespace vix {

// The operations keep the style of a client API: failures of the wire client
// are stored in the handle (mysql_errno / mysql_error, the text in UTF-8) and
// reported by the result; other exceptions propagate.
class TMySQLAPIDirect : public TMySQLAPI {
 public:
  TMySQLAPIDirect() { CheckMySQLLib(); }

  int mysql_num_fields(PMYSQL_RES pres) override;
  int mysql_field_count(PMYSQL pmysql) override;
  int64_t mysql_affected_rows(PMYSQL pmysql) override;
  int64_t mysql_insert_id(PMYSQL pmysql) override;
  uint32_t mysql_errno(PMYSQL pmysql) override;
  std::string mysql_error(PMYSQL pmysql) override;
  std::string mysql_info(PMYSQL pmysql) override;
  uint32_t mysql_thread_id(PMYSQL pmysql) override;
  PMYSQL mysql_init(PMYSQL pmysql) override;
  PMYSQL mysql_real_connect(PMYSQL pmysql, const std::string& host, const std::string& user, const std::string& passwd,
                            const std::string& db, int port, const std::string& unixSocket,
                            uint32_t clientflag) override;
  void mysql_close(PMYSQL pmysql) override;
  int mysql_select_db(PMYSQL pmysql, const std::string& db) override;
  int mysql_real_query(PMYSQL pmysql, const char* q, size_t length) override;
  int mysql_kill(PMYSQL pmysql, uint32_t pid) override;
  int mysql_ping(PMYSQL pmysql) override;
  int mysql_reset_connection(PMYSQL pmysql, const std::string& db, const std::string& query,
                             bool deferReplies) override;
  int mysql_read_reset_replies(PMYSQL pmysql) override;
  std::string mysql_get_server_info(PMYSQL pmysql) override;
  std::string mysql_get_client_info() override;
  std::string mysql_get_host_info(PMYSQL pmysql) override;
  PMYSQL_RES mysql_use_result(PMYSQL pmysql) override;
  int mysql_options(PMYSQL pmysql, mysql_option option, int arg) override;
  int mysql_options(PMYSQL pmysql, mysql_option option, const std::string& arg) override;
  int mysql_ssl_set(PMYSQL pmysql, const std::string& key, const std::string& cert, const std::string& ca,
                    const std::string& capath, const std::string& cipher) override;
  // The HTTP tunnel for the next connect (nullptr: none).
  int SetHttpOptions(PMYSQL pmysql, const THttpOptions* options);
  void mysql_free_result(PMYSQL_RES pres) override;
  PMYSQL_ROW mysql_fetch_row(PMYSQL_RES pres) override;
  bool mysql_more_results(PMYSQL pmysql) override;
  int mysql_next_result(PMYSQL pmysql) override;

  TMYSQL_FIELD _mysql_fetch_field_direct(PMYSQL_RES pres, int fieldnr, bool Unicode) override;
  PMYSQL_ROW _mysql_fetch_row(PMYSQL_RES pres) override;
  void _mysql_fetch_lengths(PMYSQL_RES pres, std::vector<uint32_t>& Lens) override;
  bool _mysql_fetch_value_is_null(PMYSQL_ROW prow, int fieldnr) override;
  const uint8_t* _mysql_fetch_value_ptr(PMYSQL_RES pres, PMYSQL_ROW prow, int fieldnr) override;
  std::string _mysql_fetch_value_str(PMYSQL_ROW prow, int fieldnr) override;
  void _mysql_fetch_value_to_buff(PMYSQL_ROW prow, int fieldnr, size_t Len, size_t Off, uint8_t* Buff) override;
  void _mysql_fetch_value_to_str(PMYSQL_ROW prow, int fieldnr, size_t Len, size_t Off, char* Buff) override;
  ByteSpan _mysql_fetch_value_arr(PMYSQL_ROW prow, int fieldnr, size_t& Off) override;

  PMYSQL_STMT mysql_stmt_init(PMYSQL pmysql) override;
  int mysql_stmt_prepare(PMYSQL_STMT pstmt, const char* query, size_t length) override;
  uint32_t mysql_stmt_param_count(PMYSQL_STMT pstmt) override;
  uint32_t mysql_stmt_field_count(PMYSQL_STMT pstmt) override;
  int mysql_stmt_close(PMYSQL_STMT pstmt) override;
  int mysql_stmt_free_result(PMYSQL_STMT pstmt) override;
  uint32_t mysql_stmt_errno(PMYSQL_STMT pstmt) override;
  std::string mysql_stmt_error(PMYSQL_STMT pstmt) override;
  PMYSQL_RES mysql_stmt_result_metadata(PMYSQL_STMT pstmt) override;
  int64_t mysql_stmt_affected_rows(PMYSQL_STMT pstmt) override;
  int _mysql_stmt_execute(PMYSQL_STMT pstmt, const TParamDescs& Params, bool Unicode) override;
  int _mysql_stmt_bind_result(PMYSQL_STMT pstmt) override;
  int _mysql_stmt_fetch(PMYSQL_STMT pstmt, PMYSQL_ROW& row) override;
  void _mysql_stmt_fetch_lengths(PMYSQL_ROW prow, std::vector<uint32_t>& Lens) override;
  const uint8_t* _mysql_stmt_fetch_value_ptr(PMYSQL_STMT pstmt, int fieldnr) override;

  void CheckMySQLLib();

 private:
  // Runs `op` with the handle's error cleared; a wire-client error is stored
  // and its number returned.
  template <typename F>
  int Guarded(PMYSQL pmysql, F op);
};

}  // namespace vix
