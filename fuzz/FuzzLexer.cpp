// The SQL lexers, the parameter scan and the macro scan over any text: the
// lexemes put together give the text back, and no input crashes. The first
// byte picks the dialect; the rest is the text in UTF-8 (bad bytes become
// U+FFFD).
#include <cstdlib>
#include <memory>

#include "Common/DBAccess.h"
#include "FuzzSupport.h"
#include "MySql/MyClasses.h"
#include "rtl/SysUtils.h"

namespace {

const vix::TParserClass kDialects[] = {&vix::NewParser<vix::TParser>, &vix::NewParser<vix::TSQLParser>,
                                       &vix::NewParser<vix::TMyParser>, &vix::NewParser<vix::TMyVixParser>,
                                       &vix::NewParser<vix::TMyNoBackslashParser>};

// A command of the chosen dialect whose scan is that of the MySQL command.
class TScanCommand : public vix::TMySQLCommand {
 public:
  explicit TScanCommand(vix::TParserClass lexer) : FLexer(lexer) {}
  vix::TParserClass GetParserClass() const override { return FLexer; }

 private:
  vix::TParserClass FLexer;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const vix::TParserClass lexer = kDialects[data[0] % std::size(kDialects)];
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  const vix::UString text = vix::Utf8ToUtf16Lenient(bytes);

  // The lexemes, blanks and comments included, are the text again.
  try {
    std::unique_ptr<vix::TParser> p = lexer(text);
    p->SetOmitBlank(false);
    p->SetOmitComment(false);
    p->SetQuotedString(true);
    p->SetUppered(false);
    vix::UString joined, lexem;
    int64_t last = -1;
    for (int code; (code = p->GetNext(lexem)) != vix::lkEnd;) {
      if (p->CurrPos() <= last) abort();  // every lexeme moves on
      last = p->CurrPos();
      joined += p->Text().substr(static_cast<size_t>(p->LexemPos()), static_cast<size_t>(p->LexemLength()));
    }
    if (joined != text) abort();
  } catch (const vix::Exception&) {
    // A character of no class: the lexer refuses it.
  }

  // The parameter scan: one placeholder per descriptor, and the rename form.
  try {
    TScanCommand command(lexer);
    vix::TParamDescs params;
    const vix::UString scanned = command.ParseSQL(text, &params);
    size_t marks = 0;
    for (char16_t c : scanned) marks += c == u'?';
    if (marks < static_cast<size_t>(params.Count())) abort();
    (void)command.ParseSQL(text, nullptr, true, u"p_");
    (void)vix::CharsetEffectOf(text, lexer);
  } catch (const vix::Exception&) {
  }

  // Macros: scanned and expanded with the same lexer.
  try {
    vix::TMacros macros;
    macros.SetParserClass(lexer);
    macros.Scan(text);
    for (int i = 0; i < macros.Count(); ++i) macros.Items(i)->SetValue(u"x");
    (void)macros.Expand(text);
  } catch (const vix::Exception&) {
  }
  return 0;
}
