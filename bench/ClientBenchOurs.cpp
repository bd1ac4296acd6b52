// The cases over our wire client, through its client API object; the query
// case through the universal connection and query, as a program uses them.
#include <cmath>
#include <vector>

#include "ClientBench.h"
#include "Common/MemDS.h"
#include "Common/MemData.h"
#include "MySql/MyClasses.h"
#include "MySql/MySQLVixProvider.h"
#include "MySql/MySqlApiDirect.h"
#include "rtl/UString.h"
#include "rtl/Variant.h"
#include "universal/Vix.h"

namespace vix::bench {
namespace {

class OurClient : public BenchClient {
 public:
  ~OurClient() override {
    if (FStmt) api.mysql_stmt_close(FStmt);
    if (FMySql) api.mysql_close(FMySql);
  }

  void Connect(const ClientConfig& c) override {
    FMySql = api.mysql_init(nullptr);
    api.mysql_options(FMySql, MYSQL_SET_CHARSET_NAME, std::string("utf8"));
    const uint32_t flags = c.compress ? CLIENT_COMPRESS : 0;
    if (!c.tlsCa.empty()) {
      api.mysql_options(FMySql, MYSQL_OPT_SSL_VERIFY, 1);
      api.mysql_ssl_set(FMySql, std::string(), std::string(), c.tlsCa, std::string(), std::string());
    }
    THttpOptions http;
    if (!c.tunnelUrl.empty()) {
      http.Url = Utf8ToUtf16(c.tunnelUrl);
      http.Username = Utf8ToUtf16(c.tunnelUser);
      http.Password = Utf8ToUtf16(c.tunnelPassword);
      FDirect.SetHttpOptions(FMySql, &http);
    }
    if (!api.mysql_real_connect(FMySql, c.host, c.user, c.password, c.database, c.port, std::string(), flags))
      Fail("connect", api.mysql_error(FMySql));
    if (c.query) ConnectUniversal(c);
    if (!c.records) return;
    FConnection = std::make_unique<TMySQLConnection>();
    FConnection->SetServer(Utf8ToUtf16(c.host));
    FConnection->SetUsername(Utf8ToUtf16(c.user));
    FConnection->SetPassword(Utf8ToUtf16(c.password));
    FConnection->SetProp(prPort, c.port);
    FConnection->SetProp(prDatabase, Utf8ToUtf16(c.database));
    FConnection->SetProp(prUseUnicode, true);
    FConnection->SetProp(prCompress, c.compress);
    FConnection->Connect(UString());
  }

  int64_t RunRecords(const std::string& sql, Hasher& hash) override {
    TMySQLRecordset rs;
    rs.SetConnection(FConnection.get());
    rs.SetSQL(Utf8ToUtf16(sql));
    rs.SetProp(prFetchAll, true);
    rs.SetProp(prFetchRows, 1000);
    rs.Open();
    std::vector<uint8_t> record = rs.AllocRecBuf();
    const size_t size = static_cast<size_t>(rs.RecordSize());
    int64_t records = 0;
    rs.SetToBegin();
    while (rs.GetNextRecord(record.data())) {
      hash.Add(record.data(), size);
      ++records;
    }
    rs.Close();
    return records;
  }

  int64_t RunQuery(const std::string& sql, Hasher& hash) override {
    TVixQuery q;
    q.SetConnection(FVix.get());
    q.SetSQL(Utf8ToUtf16(sql));
    q.Open();
    // Looked up once, as a program does before its loop.
    const TField& id = q.FieldByName(u"id");
    const TField& big = q.FieldByName(u"big");
    const TField& name = q.FieldByName(u"name");
    const TField& amount = q.FieldByName(u"amount");
    const auto& created = dynamic_cast<const TDateTimeField&>(q.FieldByName(u"created"));
    const TField& ratio = q.FieldByName(u"ratio");
    int64_t rows = 0;
    for (; !q.Eof(); q.Next()) {
      QueryValues v;
      v.id = id.AsInteger();
      v.big = big.AsLargeInt();
      const UString text = name.AsString();
      v.name = text.data();
      v.nameLength = text.size();
      v.amount = amount.AsVariant().AsCurrency().Value;
      v.createdMs = std::llround(created.AsDateTime() * 86400000.0);
      v.ratio = ratio.AsFloat();
      AddQueryValues(hash, v);
      ++rows;
    }
    q.Close();
    return rows;
  }

  void PrepareStatement() override {
    FStmt = api.mysql_stmt_init(FMySql);
    const std::string sql = kStatementSql;
    if (api.mysql_stmt_prepare(FStmt, sql.data(), sql.size()) != 0) Fail("prepare", api.mysql_stmt_error(FStmt));
    if (api._mysql_stmt_bind_result(FStmt) != 0) Fail("bind result", api.mysql_stmt_error(FStmt));
    for (uint16_t type : {mtInt32, mtInt64}) {
      auto p = std::make_unique<TParamDesc>();
      p->SetDataType(type);
      p->SetParamType(pdInput);
      FParams.Add(std::move(p));
    }
  }

  int64_t RunStatement(int64_t count, int64_t tableRows, Hasher& hash) override {
    TParamDesc& id = *FParams.Items(0);
    TParamDesc& big = *FParams.Items(1);
    for (int64_t i = 0; i < count; ++i) {
      id.SetValue(Variant(static_cast<int32_t>(KeyOf(i, tableRows))));
      big.SetValue(Variant(int64_t{0}));
      if (api._mysql_stmt_execute(FStmt, FParams, true) != 0) Fail("execute", api.mysql_stmt_error(FStmt));
      int rows = 0;
      PMYSQL_ROW row = nullptr;
      int rc;
      while ((rc = api._mysql_stmt_fetch(FStmt, row)) == 0) {
        api._mysql_stmt_fetch_lengths(row, FLengths);
        for (size_t c = 0; c < FLengths.size(); ++c) {
          const uint8_t* value = api._mysql_stmt_fetch_value_ptr(FStmt, static_cast<int>(c));
          if (value) hash.Add(value, FLengths[c]);
          else hash.AddNull();
        }
        ++rows;
      }
      if (rc != MYSQL_NO_DATA) Fail("fetch", api.mysql_stmt_error(FStmt));
      if (rows != 1) Fail("statement", "not one row");
    }
    return count;
  }

 protected:
  void Query(const char* sql, size_t length) override {
    if (api.mysql_real_query(FMySql, sql, length) != 0) Fail("query", api.mysql_error(FMySql));
  }

  int64_t ReadRows(Hasher& hash) override {
    PMYSQL_RES res = api.mysql_use_result(FMySql);
    if (!res) Fail("use result", api.mysql_error(FMySql));
    const int fields = api.mysql_num_fields(res);
    int64_t rows = 0;
    while (PMYSQL_ROW row = api._mysql_fetch_row(res)) {
      api._mysql_fetch_lengths(res, FLengths);
      for (int c = 0; c < fields; ++c) {
        const uint8_t* value = api._mysql_fetch_value_ptr(res, row, c);
        if (value) hash.Add(value, FLengths[static_cast<size_t>(c)]);
        else hash.AddNull();
      }
      ++rows;
    }
    if (api.mysql_errno(FMySql) != 0) Fail("fetch", api.mysql_error(FMySql));
    api.mysql_free_result(res);
    return rows;
  }

 private:
  void ConnectUniversal(const ClientConfig& c) {
    RegisterMySQLVixProvider();
    FVix = std::make_unique<TVixConnection>();
    FVix->SetProviderName(u"MySQL");
    FVix->SetLoginPrompt(false);
    FVix->SetServer(Utf8ToUtf16(c.host));
    FVix->SetPort(c.port);
    FVix->SetUsername(Utf8ToUtf16(c.user));
    FVix->SetPassword(Utf8ToUtf16(c.password));
    FVix->SetDatabase(Utf8ToUtf16(c.database));
    FVix->SpecificOptions().Add(u"MySQL.UseUnicode=True");
    // Decimals of up to 14 digits and 4 places as currency.
    FVix->Options().SetEnableBCD(true);
    FVix->Connect();
  }

  // Called through the interface, as the provider calls it.
  TMySQLAPIDirect FDirect;
  TMySQLAPI& api = FDirect;
  PMYSQL FMySql = nullptr;
  PMYSQL_STMT FStmt = nullptr;
  TParamDescs FParams;
  std::unique_ptr<TMySQLConnection> FConnection;
  std::unique_ptr<TVixConnection> FVix;
  std::vector<uint32_t> FLengths;
};

}  // namespace

std::unique_ptr<BenchClient> MakeOurClient() {
  return std::make_unique<OurClient>();
}

}  // namespace vix::bench
