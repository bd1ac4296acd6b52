// vix_query: runs one statement on a MySQL server and prints its rows as a table.
//
//   vix_query "<options>" "<statement>" [name=value ...]
//
// <options> is a text of "key=value" pairs separated by ';': Server, Port,
// Database, Username, Password, and any option of the MySQL provider by its
// full name, e.g. "MySQL.UseUnicode=True" or "MySQL.ConnectionTimeout=5".
// Every name=value after the statement gives its parameter :name a value.
// The statement returns rows; one that returns none is followed in the same
// text by a SELECT of its outcome ("UPDATE ...; SELECT ROW_COUNT() AS n").
//
//   vix_query "Server=127.0.0.1;Port=3306;Username=app;Password=pw;Database=shop" \
//     "SELECT id, name FROM item WHERE price < :limit" limit=10
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "Common/ZelAccess.h"
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
    if (key == "Server") connection.SetServer(value);
    else if (key == "Port") connection.SetPort(std::stoi(item.substr(eq + 1)));
    else if (key == "Database") connection.SetDatabase(value);
    else if (key == "Username") connection.SetUsername(value);
    else if (key == "Password") connection.SetPassword(value);
    else connection.SpecificOptions().Add(vix::Utf8ToUtf16(item));
  }
}

// Whether a character takes two columns on a terminal (Hangul, CJK, full-width forms).
bool IsWide(char32_t c) {
  return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) || (c >= 0xAC00 && c <= 0xD7A3) ||
         (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
         (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
}

// Terminal columns of a UTF-16 text.
size_t Width(const vix::UString& text) {
  size_t width = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    width += IsWide(c) ? 2 : 1;
  }
  return width;
}

void PrintRow(const std::vector<vix::UString>& cells, const std::vector<size_t>& widths) {
  std::string line = "|";
  for (size_t i = 0; i < cells.size(); ++i)
    line += " " + vix::Utf16ToUtf8(cells[i]) + std::string(widths[i] - Width(cells[i]), ' ') + " |";
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
    std::vector<vix::UString> names;
    for (int i = 0; i < query.FieldCount(); ++i) names.push_back(query.Fields(i).FieldName());
    std::vector<std::vector<vix::UString>> rows;
    for (query.First(); !query.Eof(); query.Next()) {
      std::vector<vix::UString> row;
      for (int i = 0; i < query.FieldCount(); ++i) {
        const vix::TField& field = query.Fields(i);
        row.push_back(field.IsNull() ? vix::UString(u"NULL") : field.AsString());
      }
      rows.push_back(std::move(row));
    }
    std::vector<size_t> widths;
    for (const vix::UString& name : names) widths.push_back(Width(name));
    for (const auto& row : rows)
      for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], Width(row[i]));
    PrintRule(widths);
    PrintRow(names, widths);
    PrintRule(widths);
    for (const auto& row : rows) PrintRow(row, widths);
    PrintRule(widths);
    std::printf("%zu row(s)\n", rows.size());
  } catch (const vix::EDAError& e) {
    // An error of the server or of the session: its number, and whether the connection is lost.
    std::fprintf(stderr, "error %d%s: %s\n", e.ErrorCode(), e.IsFatalError() ? " (connection lost)" : "",
                 vix::Utf16ToUtf8(e.Message()).c_str());
    return 1;
  } catch (const vix::Exception& e) {
    // Every failure of the library is a vix::Exception; its message is UTF-16.
    std::fprintf(stderr, "error: %s\n", vix::Utf16ToUtf8(e.Message()).c_str());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
  }
  return 0;
}
