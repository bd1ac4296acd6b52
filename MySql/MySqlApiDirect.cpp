#include "MySql/MySqlApiDirect.h"

#include <algorithm>
#include <cstring>

#include "rtl/UString.h"

namespace vix {

namespace {

// Runs `op` with the handle's error cleared; a wire-client error is stored
// in the handle (and breaks `session` when it must) and its number returned.
template <typename H, typename F>
int GuardedOp(H* handle, TMySqlSession* session, F op) {
  handle->Ferrno = 0;
  handle->Ferror.clear();
  try {
    op();
    return 0;
  } catch (const EMySqlException& e) {
    // An error packet numbered 0 is still a failure: 0 would read as success.
    const int code = e.ErrorCode() != 0 ? e.ErrorCode() : CR_UNKNOWN_ERROR;
    handle->Ferrno = static_cast<uint32_t>(code);
    handle->Ferror = e.what();
    if (session) session->net.NoteError(e);
    return code;
  }
}

const TMySqlBind& BindOf(PMYSQL_ROW prow, int fieldnr) {
  if (!prow || fieldnr < 0 || static_cast<size_t>(fieldnr) >= prow->Binds.size())
    throw EMySqlException(CR_NULL_POINTER);
  return prow->Binds[static_cast<size_t>(fieldnr)];
}

}  // namespace

template <typename F>
int TMySQLAPIDirect::Guarded(PMYSQL pmysql, F op) {
  return GuardedOp(pmysql, pmysql, op);
}

void TMySQLAPIDirect::CheckMySQLLib() {
  FClientStructVer = cvDirect;
  FClientVer = mysql_get_client_info();
}

int TMySQLAPIDirect::mysql_num_fields(PMYSQL_RES pres) {
  return pres->FieldCount();
}
int TMySQLAPIDirect::mysql_field_count(PMYSQL pmysql) {
  return pmysql->fieldCount;
}
int64_t TMySQLAPIDirect::mysql_affected_rows(PMYSQL pmysql) {
  return pmysql->affectedRows;
}
int64_t TMySQLAPIDirect::mysql_insert_id(PMYSQL pmysql) {
  return pmysql->insertId;
}
uint32_t TMySQLAPIDirect::mysql_errno(PMYSQL pmysql) {
  return pmysql->Ferrno;
}
std::string TMySQLAPIDirect::mysql_error(PMYSQL pmysql) {
  return pmysql->Ferror;
}
std::string TMySQLAPIDirect::mysql_info(PMYSQL pmysql) {
  return pmysql->info;
}
uint32_t TMySQLAPIDirect::mysql_thread_id(PMYSQL pmysql) {
  return static_cast<uint32_t>(pmysql->threadId);
}
PMYSQL TMySQLAPIDirect::mysql_init(PMYSQL) {
  return new TMySqlSession();
}
std::string TMySQLAPIDirect::mysql_get_server_info(PMYSQL pmysql) {
  return pmysql->serverVersion;
}
std::string TMySQLAPIDirect::mysql_get_client_info() {
  return "7.0.0 Direct";
}
std::string TMySQLAPIDirect::mysql_get_host_info(PMYSQL pmysql) {
  return pmysql->hostInfo;
}
bool TMySQLAPIDirect::mysql_more_results(PMYSQL pmysql) {
  return (pmysql->serverStatus & SERVER_MORE_RESULTS_EXISTS) != 0;
}

PMYSQL TMySQLAPIDirect::mysql_real_connect(PMYSQL pmysql, const std::string& host, const std::string& user,
                                           const std::string& passwd, const std::string& db, int port,
                                           const std::string& unixSocket, uint32_t clientflag) {
  const int rc = Guarded(pmysql, [&] { pmysql->Connect(host, user, passwd, db, port, unixSocket, clientflag); });
  return rc == 0 ? pmysql : nullptr;
}

void TMySQLAPIDirect::mysql_close(PMYSQL pmysql) {
  if (!pmysql) return;
  try {
    pmysql->Close();
  } catch (const EMySqlException&) {
  }
  delete pmysql;  // detaches its result and statements
}

int TMySQLAPIDirect::mysql_select_db(PMYSQL pmysql, const std::string& db) {
  return Guarded(pmysql, [&] { pmysql->SelectDb(db); });
}

int TMySQLAPIDirect::mysql_real_query(PMYSQL pmysql, const char* q, size_t length) {
  return Guarded(pmysql, [&] { pmysql->Query(reinterpret_cast<const uint8_t*>(q), length); });
}

int TMySQLAPIDirect::mysql_kill(PMYSQL pmysql, uint32_t pid) {
  return Guarded(pmysql, [&] { pmysql->Kill(pid); });
}

int TMySQLAPIDirect::mysql_ping(PMYSQL pmysql) {
  return Guarded(pmysql, [&] { pmysql->Ping(); });
}

int TMySQLAPIDirect::mysql_reset_connection(PMYSQL pmysql, const std::string& db, const std::string& query,
                                            bool deferReplies) {
  return Guarded(pmysql, [&] { pmysql->ResetConnection(db, query, deferReplies); });
}

int TMySQLAPIDirect::mysql_read_reset_replies(PMYSQL pmysql) {
  return Guarded(pmysql, [&] { pmysql->ReadPendingReplies(); });
}

PMYSQL_RES TMySQLAPIDirect::mysql_use_result(PMYSQL pmysql) {
  std::unique_ptr<TMySqlResultSet> rs;
  Guarded(pmysql, [&] { rs = pmysql->UseResult(); });
  return rs.release();
}

int TMySQLAPIDirect::mysql_options(PMYSQL pmysql, mysql_option option, int arg) {
  switch (option) {
    case MYSQL_OPT_CONNECT_TIMEOUT: pmysql->_connectTimeout = arg; break;
    case MYSQL_OPT_NAMED_PIPE: pmysql->protocolType = MYSQL_PROTOCOL_PIPE; break;
    case MYSQL_OPT_PROTOCOL: pmysql->protocolType = static_cast<MYSQL_PROTOCOL_TYPE>(arg); break;
    case MYSQL_OPT_READ_TIMEOUT:
    case MYSQL_OPT_WRITE_TIMEOUT: pmysql->commandTimeout = arg; break;
    case MYSQL_OPT_LOCAL_INFILE: pmysql->localInfile = arg != 0; break;
    case MYSQL_SECURE_AUTH: pmysql->secureAuth = arg != 0; break;
    case MYSQL_OPT_SSL_VERIFY:
      if (arg < 0 || arg > 2) return 1;
      pmysql->ssl.verify = static_cast<TSslVerify>(arg);
      break;
    default: break;
  }
  return 0;
}

int TMySQLAPIDirect::mysql_ssl_set(PMYSQL pmysql, const std::string& key, const std::string& cert,
                                   const std::string& ca, const std::string& capath, const std::string& cipher) {
  pmysql->protocolType = MYSQL_PROTOCOL_SSL;
  const TSslVerify verify = pmysql->ssl.verify;
  pmysql->ssl = TSslSettings{key, cert, ca, capath, cipher, verify};
  return 0;
}

int TMySQLAPIDirect::SetHttpOptions(PMYSQL pmysql, const THttpOptions* options) {
  if (options) {
    pmysql->httpOptions = *options;
  } else {
    pmysql->httpOptions.reset();
  }
  return 0;
}

int TMySQLAPIDirect::mysql_options(PMYSQL pmysql, mysql_option option, const std::string& arg) {
  if (option == MYSQL_SET_CHARSET_NAME) pmysql->charset = arg;
  return 0;
}

void TMySQLAPIDirect::mysql_free_result(PMYSQL_RES pres) {
  if (!pres) return;
  // Clear drains only this result's unread rows; the session may have moved
  // on to the next query once it was read to its end.
  if (TMySqlSession* s = pres->Session()) {
    try {
      pres->Clear();
    } catch (const EMySqlException& e) {
      s->net.NoteError(e);
    }
  }
  delete pres;
}

PMYSQL_ROW TMySQLAPIDirect::mysql_fetch_row(PMYSQL_RES pres) {
  PMYSQL_ROW row = nullptr;
  TMySqlSession* s = pres->Session();
  if (!s) return pres->Read();  // raises 2028 unless at the end
  Guarded(s, [&] { row = pres->Read(); });
  return row;
}

PMYSQL_ROW TMySQLAPIDirect::_mysql_fetch_row(PMYSQL_RES pres) {
  return mysql_fetch_row(pres);
}

int TMySQLAPIDirect::mysql_next_result(PMYSQL pmysql) {
  bool more = false;
  const int rc = Guarded(pmysql, [&] { more = pmysql->NextResult(); });
  if (rc != 0) return rc;
  return more ? 0 : -1;
}

TMYSQL_FIELD TMySQLAPIDirect::_mysql_fetch_field_direct(PMYSQL_RES pres, int fieldnr, bool Unicode) {
  VIX_VIO_ASSERT(fieldnr >= 0 && fieldnr < pres->FieldCount());
  const TMySqlFieldInfo& f = pres->Fields()[static_cast<size_t>(fieldnr)];
  TMYSQL_FIELD r;
  r.Name = f.Name;
  r.OrgName = f.OrgName.empty() ? f.Name : f.OrgName;
  r.Table = f.Table;
  r.OrgTable = f.OrgTable;
  r.Database = f.Database;
  r.Flags = static_cast<uint32_t>(f.Flags);
  r._type = f._Type;
  r.Decimals = static_cast<uint32_t>(f.Scale);
  r.CharsetNr = f.CharsetNr;
  r.LengthInBytes = static_cast<uint32_t>(f.Length);
  const bool stringType = f._Type == MYSQL_TYPE_VARCHAR || f._Type == MYSQL_TYPE_ENUM || f._Type == MYSQL_TYPE_SET ||
                          f._Type == MYSQL_TYPE_VAR_STRING || f._Type == MYSQL_TYPE_STRING;
  if (Unicode && !f.Table.empty() && pres->Session() && !pres->Session()->IsProtocol41() && stringType)
    r.LengthInBytes *= 3;
  return r;
}

void TMySQLAPIDirect::_mysql_fetch_lengths(PMYSQL_RES pres, std::vector<uint32_t>& Lens) {
  const TMySqlBinds& row = pres->CurrentRow();
  Lens.resize(row.Binds.size());
  for (size_t i = 0; i < row.Binds.size(); ++i) Lens[i] = static_cast<uint32_t>(row.Binds[i].Length);
}

bool TMySQLAPIDirect::_mysql_fetch_value_is_null(PMYSQL_ROW prow, int fieldnr) {
  return BindOf(prow, fieldnr).IsNull;
}

const uint8_t* TMySQLAPIDirect::_mysql_fetch_value_ptr(PMYSQL_RES, PMYSQL_ROW prow, int fieldnr) {
  const TMySqlBind& b = BindOf(prow, fieldnr);
  return b.IsNull ? nullptr : prow->Buffer.data() + b.Offset;
}

std::string TMySQLAPIDirect::_mysql_fetch_value_str(PMYSQL_ROW prow, int fieldnr) {
  const TMySqlBind& b = BindOf(prow, fieldnr);
  if (b.IsNull) return std::string();
  return std::string(reinterpret_cast<const char*>(prow->Buffer.data() + b.Offset), b.Length);
}

// The copy is bounded by the value: a `Len` beyond it is cut to the value's length.
void TMySQLAPIDirect::_mysql_fetch_value_to_buff(PMYSQL_ROW prow, int fieldnr, size_t Len, size_t Off, uint8_t* Buff) {
  const TMySqlBind& b = BindOf(prow, fieldnr);
  const size_t n = b.IsNull ? 0 : std::min(Len, b.Length);
  if (n) std::memcpy(Buff + Off, prow->Buffer.data() + b.Offset, n);
}

void TMySQLAPIDirect::_mysql_fetch_value_to_str(PMYSQL_ROW prow, int fieldnr, size_t Len, size_t Off, char* Buff) {
  _mysql_fetch_value_to_buff(prow, fieldnr, Len, Off, reinterpret_cast<uint8_t*>(Buff));
  Buff[Off + Len] = 0;
}

ByteSpan TMySQLAPIDirect::_mysql_fetch_value_arr(PMYSQL_ROW prow, int fieldnr, size_t& Off) {
  Off = BindOf(prow, fieldnr).Offset;
  return prow->Buffer;
}

// --- prepared statements -----------------------------------------------------------

PMYSQL_STMT TMySQLAPIDirect::mysql_stmt_init(PMYSQL pmysql) {
  return new TMySqlStmt(pmysql);
}

int TMySQLAPIDirect::mysql_stmt_prepare(PMYSQL_STMT pstmt, const char* query, size_t length) {
  return GuardedOp(pstmt, pstmt->Session(), [&] { pstmt->Prepare(reinterpret_cast<const uint8_t*>(query), length); });
}

uint32_t TMySQLAPIDirect::mysql_stmt_param_count(PMYSQL_STMT pstmt) {
  return pstmt->ParamCount();
}
uint32_t TMySQLAPIDirect::mysql_stmt_field_count(PMYSQL_STMT pstmt) {
  return pstmt->FieldCount();
}
uint32_t TMySQLAPIDirect::mysql_stmt_errno(PMYSQL_STMT pstmt) {
  return pstmt->Ferrno;
}
std::string TMySQLAPIDirect::mysql_stmt_error(PMYSQL_STMT pstmt) {
  return pstmt->Ferror;
}
PMYSQL_RES TMySQLAPIDirect::mysql_stmt_result_metadata(PMYSQL_STMT pstmt) {
  return pstmt->Result();
}
int64_t TMySQLAPIDirect::mysql_stmt_affected_rows(PMYSQL_STMT pstmt) {
  return pstmt->AffectedRows();
}

int TMySQLAPIDirect::mysql_stmt_close(PMYSQL_STMT pstmt) {
  if (!pstmt) return 0;
  const int rc = GuardedOp(pstmt, pstmt->Session(), [&] { pstmt->Close(); });
  delete pstmt;
  return rc;
}

int TMySQLAPIDirect::mysql_stmt_free_result(PMYSQL_STMT pstmt) {
  return GuardedOp(pstmt, pstmt->Session(), [&] { pstmt->FreeResult(); });
}

int TMySQLAPIDirect::_mysql_stmt_execute(PMYSQL_STMT pstmt, const TParamDescs& Params, bool Unicode) {
  return GuardedOp(pstmt, pstmt->Session(), [&] { pstmt->Execute(Params, Unicode); });
}

int TMySQLAPIDirect::_mysql_stmt_bind_result(PMYSQL_STMT pstmt) {
  return GuardedOp(pstmt, pstmt->Session(), [&] {
    auto binds = std::make_unique<TMySqlBinds>();
    binds->Binds.resize(pstmt->FieldCount());
    pstmt->BindResult(std::move(binds));
  });
}

int TMySQLAPIDirect::_mysql_stmt_fetch(PMYSQL_STMT pstmt, PMYSQL_ROW& row) {
  int result = 0;
  const int rc = GuardedOp(pstmt, pstmt->Session(), [&] { result = pstmt->Fetch(row); });
  return rc != 0 ? rc : result;
}

void TMySQLAPIDirect::_mysql_stmt_fetch_lengths(PMYSQL_ROW prow, std::vector<uint32_t>& Lens) {
  Lens.resize(prow ? prow->Binds.size() : 0);
  for (size_t i = 0; i < Lens.size(); ++i) Lens[i] = static_cast<uint32_t>(prow->Binds[i].Length);
}

const uint8_t* TMySQLAPIDirect::_mysql_stmt_fetch_value_ptr(PMYSQL_STMT pstmt, int fieldnr) {
  const PMYSQL_ROW row = pstmt->ResultBinds();
  const TMySqlBind& b = BindOf(row, fieldnr);
  return b.IsNull ? nullptr : row->Buffer.data() + b.Offset;
}

}  // namespace vix
