#include "MySql/MyScriptProcessor.h"

#include "MySql/MyClasses.h"
#include "rtl/SysUtils.h"

namespace vix {

namespace {

// The statement's first word after the comments before it; inside an
// executable comment ("/*!40101 SET ...") as well.
UStringView FirstWord(UStringView sql) {
  const size_t n = sql.size();
  size_t i = 0;
  for (;;) {
    while (i < n && sql[i] <= u' ') ++i;
    if (i < n && (sql[i] == u'#' || (sql.substr(i, 2) == u"--" && (i + 2 >= n || sql[i + 2] <= u' ')))) {
      while (i < n && sql[i] != u'\n') ++i;
    } else if (sql.substr(i, 3) == u"/*!" || sql.substr(i, 4) == u"/*M!" || sql.substr(i, 4) == u"/*m!") {
      i += sql[i + 2] == u'!' ? 3 : 4;
      while (i < n && sql[i] >= u'0' && sql[i] <= u'9') ++i;
    } else if (sql.substr(i, 2) == u"/*") {
      const size_t end = sql.find(u"*/", i + 2);
      i = end == UStringView::npos ? n : end + 2;
    } else {
      break;
    }
  }
  size_t j = i;
  while (j < sql.size() && ((sql[j] >= u'a' && sql[j] <= u'z') || (sql[j] >= u'A' && sql[j] <= u'Z'))) ++j;
  return sql.substr(i, j - i);
}

}  // namespace

bool TMyScriptProcessor::ChangesReading(UStringView sql) const {
  if (!SameText(FirstWord(sql), u"SET")) return false;
  if (Pos(u"SQL_MODE", UpperCaseAscii(sql)) > 0) return true;
  // Inside an executable comment ("/*!40101 SET NAMES utf8mb4 */") the
  // server decides what runs: taken as a change.
  const TMyCharsetEffect effect = CharsetEffectOf(UString(sql), GetParserClass());
  return effect.ChangesCharset || effect.ExecutableComment;
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
