// The test server for the command and record set tests: connections with
// the test account, statements run through the command, queries opened
// through the record set.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>

#include "MySql/MyClasses.h"
#include "TestSupport.h"

namespace vix::test {

struct CommandServer : ::testing::Test {
  std::string host = EnvOr("VIX_MYSQL_HOST");
  int port = std::atoi(EnvOr("VIX_MYSQL_PORT", "0").c_str());
  std::string user = EnvOr("VIX_MYSQL_USER", "vix");
  std::string password = EnvOr("VIX_MYSQL_PASSWORD");
  std::string db = EnvOr("VIX_MYSQL_DATABASE", "vixtest");
  std::unique_ptr<TMySQLConnection> conn;

  void SetUp() override {
    VIX_REQUIRE_COMPONENT(!host.empty(), "MariaDB test server (VIX_MYSQL_HOST)");
    conn = Connect();
  }

  // A connected connection; `charset` is used when `unicode` is off.
  std::unique_ptr<TMySQLConnection> Connect(bool unicode = true, const UString& charset = UString()) {
    auto c = std::make_unique<TMySQLConnection>();
    c->SetServer(U(host));
    c->SetUsername(U(user));
    c->SetPassword(U(password));
    c->SetProp(prPort, port);
    c->SetProp(prDatabase, U(db));
    c->SetProp(prUseUnicode, unicode);
    if (!charset.empty()) c->SetProp(prCharset, charset);
    c->SetProp(prConnectionTimeout, 10);
    c->Connect(UString());
    return c;
  }

  // Runs a statement for its effect; returns the rows it affected.
  static int64_t Exec(TMySQLConnection& c, const UString& sql) {
    TMySQLCommand cmd;
    cmd.SetConnection(&c);
    cmd.SetSQL(sql);
    cmd.Execute();
    return cmd.GetRowsAffected();
  }
  int64_t Exec(const UString& sql) { return Exec(*conn, sql); }

  // A record set on `c` with `sql`, not yet opened.
  static std::unique_ptr<TMySQLRecordset> Query(TMySQLConnection& c, const UString& sql) {
    auto rs = std::make_unique<TMySQLRecordset>();
    rs->SetConnection(&c);
    rs->SetSQL(sql);
    return rs;
  }

  // The value of field `fieldNo` (1-based) of record `recNo` (1-based).
  static Variant Value(TMySQLRecordset& rs, int recNo, int fieldNo) {
    rs.SetRecordNo(recNo);
    std::vector<uint8_t> rec = rs.AllocRecBuf();
    rs.GetRecord(rec.data());
    if (rs.Fields()[fieldNo - 1].FDataType == mtBlob && !rs.GetNull(fieldNo, rec.data())) {
      TBlob* blob = rs.GetBlob(fieldNo, rec.data());
      return Variant::FromBytes(blob ? blob->AsBytes() : std::string());
    }
    return rs.GetFieldAsVariant(fieldNo, rec.data());
  }
};

}  // namespace vix::test
