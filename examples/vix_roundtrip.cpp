// vix_roundtrip: inserts rows through parameters and reads them back.
//
//   vix_roundtrip "<options>"
//
// <options> as for vix_query ("Server=...;Port=...;Username=...;Password=...;
// Database=..."). The rows go into a temporary table of the session, so the
// run leaves nothing behind. Exits with status 1 when a value read back is not
// the value written.
//
// A query runs statements that return rows: a statement that returns none
// (CREATE, INSERT) is followed in the same text by a SELECT of its outcome.
#include <cstdio>
#include <string>
#include <vector>

#include "MySql/MySQLVixProvider.h"
#include "rtl/UString.h"
#include "universal/Vix.h"

namespace {

struct Item {
  int32_t id;
  vix::UString name;
  double price;
};

void ApplyOptions(vix::TVixConnection& connection, const std::string& text) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    const std::string item = text.substr(start, end - start);
    start = end + 1;
    const size_t eq = item.find('=');
    if (item.empty() || eq == std::string::npos) continue;
    const std::string key = item.substr(0, eq);
    const vix::UString value = vix::Utf8ToUtf16(item.substr(eq + 1));
    if (key == "Server") connection.SetServer(value);
    else if (key == "Port") connection.SetPort(std::stoi(item.substr(eq + 1)));
    else if (key == "Database") connection.SetDatabase(value);
    else if (key == "Username") connection.SetUsername(value);
    else if (key == "Password") connection.SetPassword(value);
    else connection.SpecificOptions().Add(vix::Utf8ToUtf16(item));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s \"<options>\"\n", argv[0]);
    return 2;
  }
  vix::RegisterMySQLVixProvider();
  const std::vector<Item> items = {
      {1, u"kim", 12.5},
      {2, u"홍길동", -0.25},
      {3, u"it's \"quoted\"; -- not a comment", 1e10},
  };
  try {
    vix::TVixConnection connection;
    connection.SetProviderName(u"MySQL");
    connection.SetLoginPrompt(false);
    connection.SpecificOptions().Add(u"MySQL.UseUnicode=True");
    ApplyOptions(connection, argv[1]);
    connection.Connect();

    vix::TVixQuery query;
    query.SetConnection(&connection);
    query.SetSQL(
        u"CREATE TEMPORARY TABLE vix_roundtrip (id INT PRIMARY KEY, name VARCHAR(60), price DOUBLE); "
        u"SELECT 1 AS created");
    query.Open();
    query.Close();

    // The same text for every row: only the parameters' values change. The
    // values travel as values, never as SQL text: quotes in a name stay quotes.
    query.SetSQL(u"INSERT INTO vix_roundtrip (id, name, price) VALUES (:id, :name, :price); SELECT ROW_COUNT() AS n");
    int failures = 0;
    for (const Item& item : items) {
      query.ParamByName(u"id").SetAsInteger(item.id);
      query.ParamByName(u"name").SetAsString(item.name);
      query.ParamByName(u"price").SetAsFloat(item.price);
      query.Open();
      if (query.Fields(0).AsInteger() != 1) {
        std::fprintf(stderr, "row %d was not inserted\n", item.id);
        ++failures;
      }
      query.Close();
    }

    query.SetSQL(u"SELECT id, name, price FROM vix_roundtrip WHERE id >= :first ORDER BY id");
    query.ParamByName(u"first").SetAsInteger(1);
    query.Open();
    size_t row = 0;
    for (query.First(); !query.Eof(); query.Next(), ++row) {
      const int32_t id = query.Fields(0).AsInteger();
      const vix::UString name = query.Fields(1).AsString();
      const double price = query.Fields(2).AsFloat();
      std::printf("%d\t%s\t%g\n", id, vix::Utf16ToUtf8(name).c_str(), price);
      if (row >= items.size() || id != items[row].id || name != items[row].name || price != items[row].price) {
        std::fprintf(stderr, "row %zu differs from what was written\n", row + 1);
        ++failures;
      }
    }
    if (row != items.size()) {
      std::fprintf(stderr, "%zu row(s) read back, %zu written\n", row, items.size());
      ++failures;
    }
    query.Close();
    if (failures) return 1;
    std::printf("%zu row(s) written and read back\n", row);
  } catch (const vix::Exception& e) {
    std::fprintf(stderr, "error: %s\n", vix::Utf16ToUtf8(e.Message()).c_str());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
  }
  return 0;
}
