// Scripts cut into statements over any text: every statement lies inside the
// text, after the one before it, and holds code; cutting always ends. The
// first byte picks the rules and the starting delimiter; the rest is the
// script's bytes, decoded as a script file is.
#include <cstdlib>
#include <memory>

#include "Common/DAScript.h"
#include "FuzzSupport.h"
#include "MySql/MyScriptProcessor.h"

namespace {

const char16_t* const kDelimiters[] = {u";", u"$$", u"//", u";;", u"END", u"/"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool mysql = data[0] & 1;
  const vix::UString delimiter = kDelimiters[(data[0] >> 1) % std::size(kDelimiters)];
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  vix::UString text;
  try {
    text = vix::DecodeScriptBytes(bytes);
  } catch (const vix::Exception&) {
    return 0;  // bytes of no character in the ANSI code page
  }
  std::unique_ptr<vix::TDAScriptProcessor> processor =
      mysql ? std::make_unique<vix::TMyScriptProcessor>() : std::make_unique<vix::TDAScriptProcessor>();
  vix::UString current = delimiter;
  int64_t pos = 0, lastEnd = 0;
  vix::TScriptStatement st;
  for (size_t count = 0; processor->CutNext(text, pos, current, st); ++count) {
    if (count > text.size()) abort();  // every statement takes at least one character
    if (st.StartPos < lastEnd || st.EndPos <= st.StartPos || st.EndPos > static_cast<int64_t>(text.size())) abort();
    if (pos < st.EndPos || pos > static_cast<int64_t>(text.size())) abort();
    if (st.Type == vix::stDelimiter) {
      if (st.NewDelimiter.empty()) abort();
      current = st.NewDelimiter;
    }
    lastEnd = st.EndPos;
  }
  return 0;
}
