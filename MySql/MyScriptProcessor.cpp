#include "MySql/MyScriptProcessor.h"

namespace vix {

bool TMyScriptProcessor::StartsLineComment(UStringView text, size_t i) const {
  if (text[i] == u'#') return true;
  // "--" starts a comment only before a blank or control character (or the end).
  return text[i] == u'-' && i + 1 < text.size() && text[i + 1] == u'-' && (i + 2 >= text.size() || text[i + 2] <= u' ');
}

}  // namespace vix
