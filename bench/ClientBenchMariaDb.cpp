// The cases over MariaDB's C connector (libmariadb), the peer we measure
// against. Only the benchmark program links it.
#include <mysql.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ClientBench.h"

namespace vix::bench {
namespace {

// One row converted as a wrapper over the connector would keep it: numbers,
// the decimal as currency (ten-thousandths), the date-time as a day number
// from 1899-12-30, the text in UTF-16.
struct PeerRecord {
  int64_t big = 0;
  int64_t amount = 0;
  double created = 0;
  double ratio = 0;
  int32_t id = 0;
  uint16_t nameLength = 0;
  char16_t name[41] = {};
};
static_assert(sizeof(PeerRecord) == 120, "no padding: every byte hashed is a value's");

// UTF-8 to UTF-16 into `out`, at most `room` units; stops at a bad sequence.
uint16_t ToUtf16(const unsigned char* s, size_t n, char16_t* out, size_t room) {
  size_t k = 0;
  for (size_t i = 0; i < n && k < room;) {
    uint32_t c = s[i];
    size_t extra = c < 0x80 ? 0 : c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 4;
    if (extra == 4 || (extra > 0 && i + extra >= n)) break;
    if (extra) c &= 0x3F >> extra;
    for (size_t e = 1; e <= extra; ++e) c = (c << 6) | (s[i + e] & 0x3F);
    i += extra + 1;
    if (c >= 0x10000) {
      if (k + 2 > room) break;
      c -= 0x10000;
      out[k++] = static_cast<char16_t>(0xD800 + (c >> 10));
      out[k++] = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out[k++] = static_cast<char16_t>(c);
    }
  }
  return static_cast<uint16_t>(k);
}

// "[-]digits[.digits]" in ten-thousandths.
int64_t ToCurrency(const char* s, size_t n) {
  size_t i = 0;
  const bool negative = n > 0 && s[0] == '-';
  if (negative) ++i;
  int64_t v = 0;
  for (; i < n && s[i] != '.'; ++i) v = v * 10 + (s[i] - '0');
  int scale = 0;
  if (i < n) ++i;
  for (; i < n && scale < 4; ++i, ++scale) v = v * 10 + (s[i] - '0');
  for (; scale < 4; ++scale) v *= 10;
  return negative ? -v : v;
}

int Digits(const char* s, size_t count) {
  int v = 0;
  for (size_t i = 0; i < count; ++i) v = v * 10 + (s[i] - '0');
  return v;
}

// "YYYY-MM-DD hh:mm:ss" as days from 1899-12-30 (the civil-date algorithm).
double ToDateTime(const char* s, size_t n) {
  if (n < 19) return 0;
  int y = Digits(s, 4);
  const int m = Digits(s + 5, 2), d = Digits(s + 8, 2);
  y -= m <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t days = static_cast<int64_t>(era) * 146097 + doe - 719468 + 25569;
  const int seconds = Digits(s + 11, 2) * 3600 + Digits(s + 14, 2) * 60 + Digits(s + 17, 2);
  return static_cast<double>(days) + seconds / 86400.0;
}

class MariaDbClient : public BenchClient {
 public:
  ~MariaDbClient() override {
    if (FStmt) mysql_stmt_close(FStmt);
    if (FMySql) mysql_close(FMySql);
  }

  void Connect(const ClientConfig& c) override {
    FMySql = mysql_init(nullptr);
    if (!FMySql) Fail("init", "out of memory");
    mysql_options(FMySql, MYSQL_SET_CHARSET_NAME, "utf8");
    const unsigned int protocol = MYSQL_PROTOCOL_TCP;
    mysql_options(FMySql, MYSQL_OPT_PROTOCOL, &protocol);
    if (c.compress) mysql_options(FMySql, MYSQL_OPT_COMPRESS, nullptr);
    if (!c.tunnelUrl.empty()) Fail("connect", "libmariadb has no HTTP tunnel");
    if (!c.tlsCa.empty()) {
      // The chain is checked against the CA, not the host name (as ours with SSLVerify=CA).
      const my_bool off = 0;
      mysql_options(FMySql, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &off);
      mysql_ssl_set(FMySql, nullptr, nullptr, c.tlsCa.c_str(), nullptr, nullptr);
    }
    if (!mysql_real_connect(FMySql, c.host.c_str(), c.user.c_str(), c.password.c_str(), c.database.c_str(),
                            static_cast<unsigned>(c.port), nullptr, 0))
      Fail("connect", mysql_error(FMySql));
  }

  void PrepareStatement() override {
    FStmt = mysql_stmt_init(FMySql);
    if (!FStmt) Fail("statement", mysql_error(FMySql));
    if (mysql_stmt_prepare(FStmt, kStatementSql, std::strlen(kStatementSql)) != 0)
      Fail("prepare", mysql_stmt_error(FStmt));
    std::memset(FParams, 0, sizeof FParams);
    FParams[0].buffer_type = MYSQL_TYPE_LONG;
    FParams[0].buffer = &FId;
    FParams[1].buffer_type = MYSQL_TYPE_LONGLONG;
    FParams[1].buffer = &FBig;
    if (mysql_stmt_bind_param(FStmt, FParams) != 0) Fail("bind", mysql_stmt_error(FStmt));
    std::memset(FResult, 0, sizeof FResult);
    Bind(0, MYSQL_TYPE_LONG, &FOutId, sizeof FOutId);
    Bind(1, MYSQL_TYPE_LONGLONG, &FOutBig, sizeof FOutBig);
    Bind(2, MYSQL_TYPE_STRING, FOutName, sizeof FOutName);
    Bind(3, MYSQL_TYPE_STRING, FOutAmount, sizeof FOutAmount);
    Bind(4, MYSQL_TYPE_DATETIME, &FOutCreated, sizeof FOutCreated);
    Bind(5, MYSQL_TYPE_DOUBLE, &FOutRatio, sizeof FOutRatio);
    if (mysql_stmt_bind_result(FStmt, FResult) != 0) Fail("bind result", mysql_stmt_error(FStmt));
  }

  int64_t RunRecords(const std::string& sql, Hasher& hash) override {
    Query(sql.data(), sql.size());
    MYSQL_RES* res = mysql_use_result(FMySql);
    if (!res) Fail("use result", mysql_error(FMySql));
    std::vector<PeerRecord> records;
    while (MYSQL_ROW row = mysql_fetch_row(res)) {
      const unsigned long* n = mysql_fetch_lengths(res);
      PeerRecord& r = records.emplace_back();
      if (row[0]) r.id = static_cast<int32_t>(std::strtol(row[0], nullptr, 10));
      if (row[1]) r.big = std::strtoll(row[1], nullptr, 10);
      if (row[2]) r.nameLength = ToUtf16(reinterpret_cast<const unsigned char*>(row[2]), n[2], r.name, 40);
      if (row[3]) r.amount = ToCurrency(row[3], n[3]);
      if (row[4]) r.created = ToDateTime(row[4], n[4]);
      if (row[5]) r.ratio = std::strtod(row[5], nullptr);
    }
    if (mysql_errno(FMySql) != 0) Fail("fetch", mysql_error(FMySql));
    mysql_free_result(res);
    for (const PeerRecord& r : records) hash.Add(&r, sizeof r);
    return static_cast<int64_t>(records.size());
  }

  int64_t RunQuery(const std::string& sql, Hasher& hash) override {
    Query(sql.data(), sql.size());
    MYSQL_RES* res = mysql_store_result(FMySql);
    if (!res) Fail("store result", mysql_error(FMySql));
    int64_t rows = 0;
    char16_t units[64];
    while (MYSQL_ROW row = mysql_fetch_row(res)) {
      const unsigned long* n = mysql_fetch_lengths(res);
      QueryValues v;
      v.id = static_cast<int32_t>(std::strtol(row[0], nullptr, 10));
      v.big = std::strtoll(row[1], nullptr, 10);
      // A program keeps the text as a string of its own, as TField::AsString gives one.
      const std::u16string text(units, ToUtf16(reinterpret_cast<const unsigned char*>(row[2]), n[2], units, 64));
      v.name = text.data();
      v.nameLength = text.size();
      v.amount = ToCurrency(row[3], n[3]);
      v.createdMs = std::llround(ToDateTime(row[4], n[4]) * 86400000.0);
      v.ratio = std::strtod(row[5], nullptr);
      AddQueryValues(hash, v);
      ++rows;
    }
    if (mysql_errno(FMySql) != 0) Fail("fetch", mysql_error(FMySql));
    mysql_free_result(res);
    return rows;
  }

  int64_t RunStatement(int64_t count, int64_t tableRows, Hasher& hash) override {
    for (int64_t i = 0; i < count; ++i) {
      FId = static_cast<int32_t>(KeyOf(i, tableRows));
      FBig = 0;
      if (mysql_stmt_execute(FStmt) != 0) Fail("execute", mysql_stmt_error(FStmt));
      int rows = 0;
      int rc;
      while ((rc = mysql_stmt_fetch(FStmt)) == 0) {
        for (size_t c = 0; c < kColumns; ++c) {
          if (FIsNull[c]) {
            hash.AddNull();
          } else if (c == 4) {
            const MYSQL_TIME& t = FOutCreated;
            const uint32_t parts[7] = {
                t.year, t.month, t.day, t.hour, t.minute, t.second, static_cast<uint32_t>(t.second_part)};
            hash.Add(parts, sizeof parts);
          } else {
            hash.Add(FResult[c].buffer, FLength[c]);
          }
        }
        ++rows;
      }
      if (rc != MYSQL_NO_DATA) Fail("fetch", mysql_stmt_error(FStmt));
      if (rows != 1) Fail("statement", "not one row");
    }
    return count;
  }

 private:
  static constexpr size_t kColumns = 6;

  void Bind(size_t c, enum_field_types type, void* buffer, size_t size) {
    FResult[c].buffer_type = type;
    FResult[c].buffer = buffer;
    FResult[c].buffer_length = static_cast<unsigned long>(size);
    FResult[c].length = &FLength[c];
    FResult[c].is_null = &FIsNull[c];
  }

 protected:
  void Query(const char* sql, size_t length) override {
    if (mysql_real_query(FMySql, sql, static_cast<unsigned long>(length)) != 0) Fail("query", mysql_error(FMySql));
  }

  int64_t ReadRows(Hasher& hash) override {
    MYSQL_RES* res = mysql_use_result(FMySql);
    if (!res) Fail("use result", mysql_error(FMySql));
    const unsigned fields = mysql_num_fields(res);
    int64_t rows = 0;
    while (MYSQL_ROW row = mysql_fetch_row(res)) {
      const unsigned long* lengths = mysql_fetch_lengths(res);
      for (unsigned c = 0; c < fields; ++c) {
        if (row[c]) hash.Add(row[c], lengths[c]);
        else hash.AddNull();
      }
      ++rows;
    }
    if (mysql_errno(FMySql) != 0) Fail("fetch", mysql_error(FMySql));
    mysql_free_result(res);
    return rows;
  }

 private:
  MYSQL* FMySql = nullptr;
  MYSQL_STMT* FStmt = nullptr;
  MYSQL_BIND FParams[2];
  MYSQL_BIND FResult[kColumns];
  int32_t FId = 0;
  int64_t FBig = 0;
  int32_t FOutId = 0;
  int64_t FOutBig = 0;
  char FOutName[256];
  char FOutAmount[32];
  MYSQL_TIME FOutCreated;
  double FOutRatio = 0;
  unsigned long FLength[kColumns] = {};
  my_bool FIsNull[kColumns] = {};
};

}  // namespace

std::unique_ptr<BenchClient> MakeMariaDbClient() {
  return std::make_unique<MariaDbClient>();
}

}  // namespace vix::bench
