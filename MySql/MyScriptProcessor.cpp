#include "MySql/MyScriptProcessor.h"

#include "MySql/MyClasses.h"
#include "rtl/SysUtils.h"

namespace vix {

bool TMyScriptProcessor::ChangesReading(UStringView sql) const {
  size_t i = 0;
  while (i < sql.size() && sql[i] <= u' ') ++i;
  // Inside an executable comment ("/*!40101 SET ...") as well.
  if (sql.substr(i, 2) == u"/*") {
    i += 2;
    if (i < sql.size() && (sql[i] == u'M' || sql[i] == u'm')) ++i;
    if (i < sql.size() && sql[i] == u'!') ++i;
    while (i < sql.size() && sql[i] >= u'0' && sql[i] <= u'9') ++i;
    while (i < sql.size() && sql[i] <= u' ') ++i;
  }
  return sql.size() - i > 3 && SameText(sql.substr(i, 3), u"SET") && sql[i + 3] <= u' ' &&
         Pos(u"SQL_MODE", UpperCaseAscii(UString(sql))) > 0;
}

void TMyScriptProcessor::ReadSession(TZelConnection& session) {
  if (const auto* my = dynamic_cast<const TMySQLConnection*>(&session))
    FBackslashEscapes = !my->ServerNoBackslashEscapes();
}

bool TMyScriptProcessor::StartsLineComment(UStringView text, size_t i) const {
  if (text[i] == u'#') return true;
  // "--" starts a comment only before a blank or control character (or the end).
  return text[i] == u'-' && i + 1 < text.size() && text[i + 1] == u'-' && (i + 2 >= text.size() || text[i + 2] <= u' ');
}

}  // namespace vix
