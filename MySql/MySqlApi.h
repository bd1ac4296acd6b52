// The client API through which the MySQL provider drives a MySQL client: the
// mysql_* operations as members of one API object, so that another client
// implementation can stand beside this one. Handles are the wire client's
// session, result-set and row objects.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "MySql/MySqlResultSet.h"
#include "MySql/MySqlSession.h"
#include "MySql/MySqlStmt.h"

namespace vix {

using PMYSQL = TMySqlSession*;
using PMYSQL_RES = TMySqlResultSet*;
using PMYSQL_ROW = TMySqlBinds*;
using PMYSQL_STMT = TMySqlStmt*;

enum TClientStructVer { cvDirect, cv3, cv4, cv410, cv411 };

enum mysql_option {
  MYSQL_OPT_CONNECT_TIMEOUT = 0,
  MYSQL_OPT_COMPRESS = 1,
  MYSQL_OPT_NAMED_PIPE = 2,
  MYSQL_SET_CHARSET_NAME = 7,
  MYSQL_OPT_LOCAL_INFILE = 8,
  MYSQL_OPT_PROTOCOL = 9,
  MYSQL_OPT_READ_TIMEOUT = 11,
  MYSQL_OPT_WRITE_TIMEOUT = 12,
  // Refuses the 3.23 password answer (off by default: a server may ask for it).
  MYSQL_SECURE_AUTH = 18,
  // How a TLS session checks the server's certificate: 0 not at all, 1
  // against the certificate authorities, 2 also against the host name.
  MYSQL_OPT_SSL_VERIFY = 1000,
};

// What _mysql_fetch_field_direct gives the provider about one column.
struct TMYSQL_FIELD {
  std::string Name, OrgName, Table, OrgTable;
  std::string Database;  // the schema of OrgTable (empty: none)
  uint32_t Flags = 0;
  uint8_t _type = 0;
  uint32_t LengthInBytes = 0;
  int32_t CharsetNr = 0;
  uint32_t Decimals = 0;
};

class TMySQLAPI {
 public:
  virtual ~TMySQLAPI() = default;

  virtual int mysql_num_fields(PMYSQL_RES pres) = 0;
  virtual int mysql_field_count(PMYSQL pmysql) = 0;
  virtual int64_t mysql_affected_rows(PMYSQL pmysql) = 0;
  virtual int64_t mysql_insert_id(PMYSQL pmysql) = 0;
  virtual uint32_t mysql_errno(PMYSQL pmysql) = 0;
  virtual std::string mysql_error(PMYSQL pmysql) = 0;
  virtual std::string mysql_info(PMYSQL pmysql) = 0;
  virtual uint32_t mysql_thread_id(PMYSQL pmysql) = 0;
  virtual PMYSQL mysql_init(PMYSQL pmysql) = 0;
  virtual PMYSQL mysql_real_connect(PMYSQL pmysql, const std::string& host, const std::string& user,
                                    const std::string& passwd, const std::string& db, int port,
                                    const std::string& unixSocket, uint32_t clientflag) = 0;
  virtual void mysql_close(PMYSQL pmysql) = 0;
  virtual int mysql_select_db(PMYSQL pmysql, const std::string& db) = 0;
  virtual int mysql_real_query(PMYSQL pmysql, const char* q, size_t length) = 0;
  virtual int mysql_kill(PMYSQL pmysql, uint32_t pid) = 0;
  virtual int mysql_ping(PMYSQL pmysql) = 0;
  // COM_RESET_CONNECTION, then the database `db` and the statement `query`
  // (each when not empty), in one round trip where the transport allows;
  // with `deferReplies` the replies are read by mysql_read_reset_replies or
  // before the next command.
  virtual int mysql_reset_connection(PMYSQL pmysql, const std::string& db, const std::string& query,
                                     bool deferReplies) = 0;
  virtual int mysql_read_reset_replies(PMYSQL pmysql) = 0;
  virtual std::string mysql_get_server_info(PMYSQL pmysql) = 0;
  virtual std::string mysql_get_client_info() = 0;
  virtual std::string mysql_get_host_info(PMYSQL pmysql) = 0;
  virtual PMYSQL_RES mysql_use_result(PMYSQL pmysql) = 0;
  virtual int mysql_options(PMYSQL pmysql, mysql_option option, int arg) = 0;
  virtual int mysql_options(PMYSQL pmysql, mysql_option option, const std::string& arg) = 0;
  // Chooses the TLS protocol for the next connect, with its files and cipher list.
  virtual int mysql_ssl_set(PMYSQL pmysql, const std::string& key, const std::string& cert, const std::string& ca,
                            const std::string& capath, const std::string& cipher) = 0;
  virtual void mysql_free_result(PMYSQL_RES pres) = 0;
  virtual PMYSQL_ROW mysql_fetch_row(PMYSQL_RES pres) = 0;
  virtual bool mysql_more_results(PMYSQL pmysql) = 0;
  virtual int mysql_next_result(PMYSQL pmysql) = 0;

  virtual TMYSQL_FIELD _mysql_fetch_field_direct(PMYSQL_RES pres, int fieldnr, bool Unicode) = 0;
  virtual PMYSQL_ROW _mysql_fetch_row(PMYSQL_RES pres) = 0;
  virtual void _mysql_fetch_lengths(PMYSQL_RES pres, std::vector<uint32_t>& Lens) = 0;
  virtual bool _mysql_fetch_value_is_null(PMYSQL_ROW prow, int fieldnr) = 0;
  virtual const uint8_t* _mysql_fetch_value_ptr(PMYSQL_RES pres, PMYSQL_ROW prow, int fieldnr) = 0;
  virtual std::string _mysql_fetch_value_str(PMYSQL_ROW prow, int fieldnr) = 0;
  // Copies `Len` bytes of the value to Buff + Off (nothing for NULL or Len 0).
  virtual void _mysql_fetch_value_to_buff(PMYSQL_ROW prow, int fieldnr, size_t Len, size_t Off, uint8_t* Buff) = 0;
  // As _mysql_fetch_value_to_buff, then a 0 byte at Buff[Off + Len] (also when nothing was copied).
  virtual void _mysql_fetch_value_to_str(PMYSQL_ROW prow, int fieldnr, size_t Len, size_t Off, char* Buff) = 0;
  // The row's bytes; `Off` := where the value starts (0 for NULL).
  virtual ByteSpan _mysql_fetch_value_arr(PMYSQL_ROW prow, int fieldnr, size_t& Off) = 0;

  // Prepared statements. A statement's errors are kept in the statement.
  virtual PMYSQL_STMT mysql_stmt_init(PMYSQL pmysql) = 0;
  virtual int mysql_stmt_prepare(PMYSQL_STMT pstmt, const char* query, size_t length) = 0;
  virtual uint32_t mysql_stmt_param_count(PMYSQL_STMT pstmt) = 0;
  virtual uint32_t mysql_stmt_field_count(PMYSQL_STMT pstmt) = 0;
  // Closes the statement on the server and frees the handle.
  virtual int mysql_stmt_close(PMYSQL_STMT pstmt) = 0;
  virtual int mysql_stmt_free_result(PMYSQL_STMT pstmt) = 0;
  virtual uint32_t mysql_stmt_errno(PMYSQL_STMT pstmt) = 0;
  virtual std::string mysql_stmt_error(PMYSQL_STMT pstmt) = 0;
  // The statement's column descriptions; owned by the statement, valid until
  // its next execution or close.
  virtual PMYSQL_RES mysql_stmt_result_metadata(PMYSQL_STMT pstmt) = 0;
  virtual int64_t mysql_stmt_affected_rows(PMYSQL_STMT pstmt) = 0;
  virtual int _mysql_stmt_execute(PMYSQL_STMT pstmt, const TParamDescs& Params, bool Unicode) = 0;
  virtual int _mysql_stmt_bind_result(PMYSQL_STMT pstmt) = 0;
  // 0 with `row` set, MYSQL_NO_DATA (100) after the last row, or the error.
  virtual int _mysql_stmt_fetch(PMYSQL_STMT pstmt, PMYSQL_ROW& row) = 0;
  virtual void _mysql_stmt_fetch_lengths(PMYSQL_ROW prow, std::vector<uint32_t>& Lens) = 0;
  virtual const uint8_t* _mysql_stmt_fetch_value_ptr(PMYSQL_STMT pstmt, int fieldnr) = 0;

  // Both command time-outs; 0 stands for one year.
  void SetTimeout(PMYSQL pmysql, int timeout) {
    if (timeout == 0) timeout = 31536000;
    mysql_options(pmysql, MYSQL_OPT_READ_TIMEOUT, timeout);
    mysql_options(pmysql, MYSQL_OPT_WRITE_TIMEOUT, timeout);
  }

  std::string FClientVer;
  TClientStructVer FClientStructVer = cvDirect;
};

}  // namespace vix
