// The query case over Qt SQL's MySQL driver (QMYSQL), as a Qt program reads
// rows: a forward-only QSqlQuery and value(i) converted to the types it uses.
// Only client_bench_qt links Qt; the other cases are not measured here.
#include <QCoreApplication>
#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <cmath>
#include <memory>

#include "ClientBench.h"

namespace vix::bench {
namespace {

// Qt's day number of 1899-12-30, the day the other clients count from.
constexpr qint64 kJulianDayOfDayZero = 2415019;
const QString kConnectionName = QStringLiteral("client_bench");

class QtClient : public BenchClient {
 public:
  QtClient() {
    if (!QCoreApplication::instance()) FApp = std::make_unique<QCoreApplication>(FArgc, FArgv);
  }
  ~QtClient() override {
    {
      QSqlDatabase db = QSqlDatabase::database(kConnectionName, false);
      if (db.isValid()) db.close();
    }
    QSqlDatabase::removeDatabase(kConnectionName);
  }

  void Connect(const ClientConfig& c) override {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), kConnectionName);
    if (!db.isValid()) Fail("connect", "the QMYSQL driver is not installed (libqt6sql6-mysql)");
    db.setHostName(QString::fromStdString(c.host));
    db.setPort(c.port);
    db.setUserName(QString::fromStdString(c.user));
    db.setPassword(QString::fromStdString(c.password));
    db.setDatabaseName(QString::fromStdString(c.database));
    if (!db.open()) Fail("connect", db.lastError().text().toStdString());
  }

  int64_t RunQuery(const std::string& sql, Hasher& hash) override {
    QSqlQuery q(QSqlDatabase::database(kConnectionName, false));
    q.setForwardOnly(true);
    if (!q.exec(QString::fromStdString(sql))) Fail("query", q.lastError().text().toStdString());
    int64_t rows = 0;
    while (q.next()) {
      QueryValues v;
      v.id = q.value(0).toInt();
      v.big = q.value(1).toLongLong();
      const QString text = q.value(2).toString();
      v.name = reinterpret_cast<const char16_t*>(text.utf16());
      v.nameLength = static_cast<size_t>(text.size());
      // DECIMAL arrives as a double (the default precision policy): to currency.
      v.amount = std::llround(q.value(3).toDouble() * 10000.0);
      const QDateTime created = q.value(4).toDateTime();
      v.createdMs =
          (created.date().toJulianDay() - kJulianDayOfDayZero) * 86400000 + created.time().msecsSinceStartOfDay();
      v.ratio = q.value(5).toDouble();
      AddQueryValues(hash, v);
      ++rows;
    }
    if (q.lastError().isValid()) Fail("fetch", q.lastError().text().toStdString());
    return rows;
  }

  void PrepareStatement() override { Fail("qt", "only the query case is measured"); }
  int64_t RunStatement(int64_t, int64_t, Hasher&) override { Fail("qt", "only the query case is measured"); }
  int64_t RunRecords(const std::string&, Hasher&) override { Fail("qt", "only the query case is measured"); }

 protected:
  void Query(const char*, size_t) override { Fail("qt", "only the query case is measured"); }
  int64_t ReadRows(Hasher&) override { Fail("qt", "only the query case is measured"); }

 private:
  int FArgc = 1;
  char FName[16] = "client_bench_qt";
  char* FArgv[2] = {FName, nullptr};
  std::unique_ptr<QCoreApplication> FApp;
};

}  // namespace

std::unique_ptr<BenchClient> MakeQtClient() {
  return std::make_unique<QtClient>();
}

}  // namespace vix::bench
