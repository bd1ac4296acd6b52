// The editing of query texts over any text: no input crashes, the text's
// own lexemes all stay (in order) in the result, and the added condition or
// clause stands as lexemes of its own, never inside a comment or string.
// The first byte picks the operation and the dialect; the rest is the text
// in UTF-8 (bad bytes become U+FFFD).
#include <cstdlib>
#include <memory>
#include <vector>

#include "Common/DASQLText.h"
#include "rtl/SysUtils.h"

namespace {

const vix::TParserClass kDialects[] = {&vix::NewParser<vix::TMyParser>, &vix::NewParser<vix::TMyNoBackslashParser>,
                                       &vix::NewParser<vix::TSQLParser>};

// The lexemes that are not comments, as they stand in the text.
std::vector<vix::UString> Lexemes(const vix::UString& text, vix::TParserClass lexer) {
  std::unique_ptr<vix::TParser> p = lexer(text);
  p->SetOmitComment(false);
  p->SetQuotedString(true);
  p->SetUppered(false);
  std::vector<vix::UString> result;
  vix::UString lexem;
  for (int code; (code = p->GetNext(lexem)) != vix::lkEnd;)
    if (code != vix::lkComment)
      result.push_back(text.substr(static_cast<size_t>(p->LexemPos()), static_cast<size_t>(p->LexemLength())));
  return result;
}

// `part` is a subsequence of `whole`.
bool Keeps(const std::vector<vix::UString>& whole, const std::vector<vix::UString>& part) {
  size_t i = 0;
  for (const vix::UString& l : whole)
    if (i < part.size() && l == part[i]) ++i;
  return i == part.size();
}

bool Has(const std::vector<vix::UString>& lexemes, const vix::UString& word) {
  for (const vix::UString& l : lexemes)
    if (l == word) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const vix::TParserClass lexer = kDialects[(data[0] >> 2) % std::size(kDialects)];
  const int operation = data[0] & 3;
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  const vix::UString text = vix::Utf8ToUtf16Lenient(bytes);
  // A text whose "-" runs into the line break joined after it ("t--" and a
  // line feed make a comment) ends in a dangling operator: not checked.
  const bool dangling = text.find(u"--") != vix::UString::npos;
  try {
    const std::vector<vix::UString> before = Lexemes(text, lexer);
    switch (operation) {
      case 0: {
        const vix::UString out = vix::AddWhere(text, u"vix_cond = 1", lexer);
        const std::vector<vix::UString> after = Lexemes(out, lexer);
        if (!dangling && (!Keeps(after, before) || !Has(after, u"vix_cond"))) abort();
        break;
      }
      case 1: {
        const vix::UString out = vix::DeleteWhere(text, lexer);
        if (!dangling && !Keeps(before, Lexemes(out, lexer))) abort();
        break;
      }
      case 2: {
        const vix::UString out = vix::AppendToQuery(text, u"vix_tail", lexer);
        const std::vector<vix::UString> after = Lexemes(out, lexer);
        // The statement's final ";" goes: the tail belongs to the statement.
        std::vector<vix::UString> kept = before;
        if (!kept.empty() && kept.back() == u";") kept.pop_back();
        if (!dangling && (!Keeps(after, kept) || !Has(after, u"vix_tail"))) abort();
        break;
      }
      default: {
        const vix::TSQLClauseSpan span = vix::FindClause(text, vix::lxWHERE, lexer);
        if (span.Found() && (span.Start > span.End || span.End > static_cast<int64_t>(text.size()))) abort();
        vix::GetClause(text, vix::lxFROM, lexer);
        break;
      }
    }
  } catch (const vix::Exception&) {
    // Refused texts (not a SELECT, combined results, open at the end) and
    // characters no lexer reads.
  }
  return 0;
}
