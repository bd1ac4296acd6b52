// The provider option text of a component, assigned through the MySQL
// provider's option tables to a MySQL connection, command and record set the
// way a connection and a query assign them. The input is the option text.
// Whatever the text, the assignment either succeeds or raises an Exception;
// the text reads back as the lines it was split into.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "MySql/MyClasses.h"
#include "MySql/MySQLVixProvider.h"
#include "universal/VixProvider.h"

namespace {

void Assign(vix::TVixProvider& provider, vix::TOptionTarget& target, const vix::TSpecificOptionsList& options) {
  try {
    provider.SetObjectProps(target, options.Lines());
  } catch (const vix::Exception&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static vix::TMySQLVixProvider provider;
  vix::TSpecificOptionsHolder holder([]() -> vix::TVixProvider& { return provider; });
  vix::TSpecificOptionsList& options = holder.Values();
  options.SetText(vix::U(std::string_view(reinterpret_cast<const char*>(data), size)));

  // The text of the lines splits into the same lines again.
  const std::vector<vix::UString> lines = options.Lines();
  options.SetText(options.GetText());
  if (options.Lines() != lines) std::abort();

  // Every line's name finds a line, and a value written under it reads back.
  for (const vix::UString& line : lines) {
    const size_t eq = line.find(u'=');
    if (eq == vix::UString::npos) continue;
    const vix::UString name = line.substr(0, eq);
    if (options.IndexOfName(name) < 0) std::abort();
    options.SetValues(name, u"x");
    if (options.Values(name) != u"x") std::abort();
    options.Assign(lines);
  }

  // Each option named by a line that validates converts to its native value and back.
  for (vix::TOptionsList* list :
       {&provider.GetConnectionOptions(), &provider.GetSQLOptions(), &provider.GetDataSetOptions()}) {
    for (const vix::UString& line : lines) {
      const vix::TOptionLine split = vix::SplitOptionLine(line);
      const vix::TOption* option = split.Valid ? list->OptionByName(split.Name) : nullptr;
      if (!option || !option->CheckValue(split.Value)) continue;
      const vix::UString text = option->GetAsString(option->GetAsNative(split.Value));
      if (!option->CheckValue(text) || option->GetAsString(option->GetAsNative(text)) != text) std::abort();
    }
  }

  vix::TMySQLConnection connection;
  vix::TObjectOptionTarget<vix::TZelConnection> connectionTarget(connection, vix::otConnection);
  Assign(provider, connectionTarget, options);

  vix::TMySQLCommand command;
  vix::TObjectOptionTarget<vix::TZelCommand> commandTarget(command, vix::otCommand);
  Assign(provider, commandTarget, options);

  vix::TMySQLRecordset recordSet;
  vix::TObjectOptionTarget<vix::TZelCommand> recordSetCommand(*recordSet.GetCommand(), vix::otCommand);
  vix::TObjectOptionTarget<vix::TZelRecordSet> recordSetTarget(recordSet, vix::otRecordSet, &recordSetCommand);
  Assign(provider, recordSetTarget, options);
  return 0;
}
