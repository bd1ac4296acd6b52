// vix_query: runs one statement on a MySQL server and prints its rows as a table.
//
//   vix_query "<options>" "<statement>" [name=value ...]
//
// <options> is a text of "key=value" pairs separated by ';': Server, Port,
// Database, Username, Password, and any option of the MySQL provider by its
// full name, e.g. "MySQL.UseUnicode=True" or "MySQL.ConnectionTimeout=5".
// Every name=value after the statement gives its parameter :name a value.
//
//   vix_query "Server=127.0.0.1;Port=3306;Username=app;Password=pw;Database=shop" \
//     "SELECT id, name FROM item WHERE price < :limit" limit=10
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "MySql/MySQLVixProvider.h"
#include "rtl/UString.h"
#include "universal/Vix.h"

namespace {

// Splits "key=value;key=value" into the connection's properties and the provider's options.
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
    if (key == "Server")
      connection.SetServer(value);
    else if (key == "Port")
      connection.SetPort(std::stoi(item.substr(eq + 1)));
    else if (key == "Database")
      connection.SetDatabase(value);
    else if (key == "Username")
      connection.SetUsername(value);
    else if (key == "Password")
      connection.SetPassword(value);
    else
      connection.SpecificOptions().Add(vix::Utf8ToUtf16(item));
  }
}

// Text width in characters (UTF-8 continuation bytes do not count).
size_t Width(const std::string& text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

void PrintRow(const std::vector<std::string>& cells, const std::vector<size_t>& widths) {
  std::string line = "|";
  for (size_t i = 0; i < cells.size(); ++i) line += " " + cells[i] + std::string(widths[i] - Width(cells[i]), ' ') + " |";
  std::puts(line.c_str());
}

void PrintRule(const std::vector<size_t>& widths) {
  std::string line = "+";
  for (size_t w : widths) line += std::string(w + 2, '-') + "+";
  std::puts(line.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s \"<options>\" \"<statement>\" [name=value ...]\n", argv[0]);
    return 2;
  }
  // Providers register explicitly: the linker keeps only what a program names.
  vix::RegisterMySQLVixProvider();
  try {
    vix::TVixConnection connection;
    connection.SetProviderName(u"MySQL");
    connection.SetLoginPrompt(false);
    connection.SpecificOptions().Add(u"MySQL.UseUnicode=True");
    ApplyOptions(connection, argv[1]);
    connection.Connect();

    vix::TVixQuery query;
    query.SetConnection(&connection);
    query.SetSQL(vix::Utf8ToUtf16(argv[2]));
    for (int i = 3; i < argc; ++i) {
      const std::string arg = argv[i];
      const size_t eq = arg.find('=');
      if (eq == std::string::npos) {
        std::fprintf(stderr, "parameter without a value: %s\n", argv[i]);
        return 2;
      }
      query.ParamByName(vix::Utf8ToUtf16(arg.substr(0, eq))).SetAsString(vix::Utf8ToUtf16(arg.substr(eq + 1)));
    }
    query.Open();

    // Every row is read first, so that each column is as wide as its widest value.
    std::vector<std::string> names;
    for (int i = 0; i < query.FieldCount(); ++i) names.push_back(vix::Utf16ToUtf8(query.Fields(i).FieldName()));
    std::vector<std::vector<std::string>> rows;
    for (query.First(); !query.Eof(); query.Next()) {
      std::vector<std::string> row;
      for (int i = 0; i < query.FieldCount(); ++i) {
        const vix::TField& field = query.Fields(i);
        row.push_back(field.IsNull() ? "NULL" : vix::Utf16ToUtf8(field.AsString()));
      }
      rows.push_back(std::move(row));
    }
    if (names.empty()) {
      std::printf("%d row(s) affected\n", query.GetRowsAffected());
      return 0;
    }
    std::vector<size_t> widths;
    for (const std::string& name : names) widths.push_back(Width(name));
    for (const auto& row : rows)
      for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], Width(row[i]));
    PrintRule(widths);
    PrintRow(names, widths);
    PrintRule(widths);
    for (const auto& row : rows) PrintRow(row, widths);
    PrintRule(widths);
    std::printf("%zu row(s)\n", rows.size());
  } catch (const vix::Exception& e) {
    // Every failure of the library is a vix::Exception; its message is UTF-16.
    std::fprintf(stderr, "error: %s\n", vix::Utf16ToUtf8(e.Message()).c_str());
    return 1;
  }
  return 0;
}
