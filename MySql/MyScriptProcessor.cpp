#include "MySql/MyScriptProcessor.h"

#include "MySql/MyClasses.h"
#include "rtl/SysUtils.h"

namespace vix {

namespace {

// The statement's first word, inside an executable comment ("/*!40101 SET ...") as well.
UStringView FirstWord(UStringView sql) {
  size_t i = 0;
  while (i < sql.size() && sql[i] <= u' ') ++i;
  if (sql.substr(i, 2) == u"/*") {
    i += 2;
    if (i < sql.size() && (sql[i] == u'M' || sql[i] == u'm')) ++i;
    if (i < sql.size() && sql[i] == u'!') ++i;
    while (i < sql.size() && sql[i] >= u'0' && sql[i] <= u'9') ++i;
    while (i < sql.size() && sql[i] <= u' ') ++i;
  }
  size_t j = i;
  while (j < sql.size() && ((sql[j] >= u'a' && sql[j] <= u'z') || (sql[j] >= u'A' && sql[j] <= u'Z'))) ++j;
  return sql.substr(i, j - i);
}

}  // namespace

bool TMyScriptProcessor::ChangesReading(UStringView sql) const {
  return SameText(FirstWord(sql), u"SET") && Pos(u"SQL_MODE", UpperCaseAscii(sql)) > 0;
}

bool TMyScriptProcessor::RunsAlone(UStringView sql) const {
  const UStringView word = FirstWord(sql);
  return SameText(word, u"CALL") || SameText(word, u"EXECUTE");
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
