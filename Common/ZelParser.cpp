#include "Common/ZelParser.h"

#include <algorithm>
#include <utility>

#include "rtl/FormatSettings.h"
#include "rtl/SysUtils.h"

namespace vix {

namespace {

constexpr char16_t kCR = 13;
constexpr char16_t kLF = 10;

// Table texts are ASCII, and the runtime's case folding never maps another
// character onto an ASCII one: CompareText compares them by their ASCII
// upper case.
bool IsParenthesis(int code, UStringView text, char16_t which) {
  return code != lkString && code != lkIdent && code != lkComment && code != lkBlank && code != lkNumber &&
         text.size() == 1 && text[0] == which;
}

// --- tables -------------------------------------------------------------------

// Every punctuation character 33-47, 58-64 and 91-96, numbered 1 to 28 in
// character order; then AND, NOT, OR.
const TLexemTable& GenericSymbols() {
  static const char16_t chars[] = u"!\"#$%&'()*+,-./:;<=>?@[\\]^_`";
  static const TLexemTable table = [] {
    std::vector<TLexemEntry> entries;
    for (int i = 0; i < 28; ++i) entries.push_back({UStringView(chars + i, 1), i + 1});
    return TLexemTable(std::move(entries));
  }();
  return table;
}

const TLexemTable& GenericKeywords() {
  static const TLexemTable table({{u"AND", 29}, {u"NOT", 30}, {u"OR", 31}});
  return table;
}

const TLexemTable& SQLSymbols() {
  static const TLexemTable table({{u"*", 1}, {u"=", 2}, {u":", 3}, {u",", 4}, {u".", 5}, {u"/", 6}, {u";", 7}});
  return table;
}

const TLexemTable& SQLKeywords() {
  static const TLexemTable table({
      {u"ALL", lxALL},
      {u"AND", lxAND},
      {u"AS", lxAS},
      {u"BEGIN", lxBEGIN},
      {u"BY", lxBY},
      {u"COMMIT", lxCOMMIT},
      {u"DELETE", lxDELETE},
      {u"DISTINCT", lxDISTINCT},
      {u"END", lxEND},
      {u"EXECUTE", lxEXECUTE},
      {u"FETCH", lxFETCH},
      {u"FOR", lxFOR},
      {u"FROM", lxFROM},
      {u"FULL", lxFULL},
      {u"GROUP", lxGROUP},
      {u"HAVING", lxHAVING},
      {u"INNER", lxINNER},
      {u"INSERT", lxINSERT},
      {u"INTO", lxINTO},
      {u"IS", lxIS},
      {u"JOIN", lxJOIN},
      {u"LEFT", lxLEFT},
      {u"LIMIT", lxLIMIT},
      {u"LOCK", lxLOCK},
      {u"MINUS", lxMINUS},
      {u"NOT", lxNOT},
      {u"OFFSET", lxOFFSET},
      {u"ON", lxON},
      {u"OR", lxOR},
      {u"ORDER", lxORDER},
      {u"OUTER", lxOUTER},
      {u"RELEASE", lxRELEASE},
      {u"RETURNING", lxRETURNING},
      {u"RIGHT", lxRIGHT},
      {u"ROLLBACK", lxROLLBACK},
      {u"SAVEPOINT", lxSAVEPOINT},
      {u"SELECT", lxSELECT},
      {u"SET", lxSET},
      {u"TO", lxTO},
      {u"TRANSACTION", lxTRANSACTION},
      {u"UNION", lxUNION},
      {u"UPDATE", lxUPDATE},
      {u"WHERE", lxWHERE},
      {u"WITH", lxWITH},
  });
  return table;
}

const TLexemTable& MyKeywords() {
  static const TLexemTable table(SQLKeywords(), {
                                                    {u"CHARSET", lxCHARSET},
                                                    {u"COLUMNS", lxCOLUMNS},
                                                    {u"CREATE", lxCREATE},
                                                    {u"CROSS", lxCROSS},
                                                    {u"DELIMITER", lxDELIMITER},
                                                    {u"DESC", lxDESC},
                                                    {u"DESCRIBE", lxDESCRIBE},
                                                    {u"EXPLAIN", lxEXPLAIN},
                                                    {u"FORCE", lxFORCE},
                                                    {u"FUNCTION", lxFUNCTION},
                                                    {u"IGNORE", lxIGNORE},
                                                    {u"NATURAL", lxNATURAL},
                                                    {u"PRIVILEGES", lxPRIVILEGES},
                                                    {u"PROCEDURE", lxPROCEDURE},
                                                    {u"REPLACE", lxREPLACE},
                                                    {u"SHOW", lxSHOW},
                                                    {u"SLAVE", lxSLAVE},
                                                    {u"STATUS", lxSTATUS},
                                                    {u"STRAIGHT_JOIN", lxSTRAIGHT_JOIN},
                                                    {u"TRIGGER", lxTRIGGER},
                                                    {u"USE", lxUSE},
                                                    {u"HANDLER", lxHANDLER},
                                                    {u"DISTINCTROW", lxDISTINCTROW},
                                                    {u"ENGINES", lxENGINES},
                                                    {u"PROCESSLIST", lxPROCESSLIST},
                                                });
  return table;
}

}  // namespace

// --- TLexemTable --------------------------------------------------------------

TLexemTable::TLexemTable(std::initializer_list<TLexemEntry> entries) : FEntries(entries) {
  Sort();
}

TLexemTable::TLexemTable(std::vector<TLexemEntry> entries) : FEntries(std::move(entries)) {
  Sort();
}

TLexemTable::TLexemTable(const TLexemTable& base, std::initializer_list<TLexemEntry> more) : FEntries(base.FEntries) {
  FEntries.insert(FEntries.end(), more.begin(), more.end());
  Sort();
}

void TLexemTable::Sort() {
  std::sort(FEntries.begin(), FEntries.end(),
            [](const TLexemEntry& a, const TLexemEntry& b) { return CompareText(a.Text, b.Text) < 0; });
  FFirstChars.reset();
  for (const auto& e : FEntries) {
    if (e.Text.empty() || e.Text[0] >= 256) continue;
    const char16_t up = UpCaseChar(e.Text[0]);
    FFirstChars.set(up);
    if (up >= u'A' && up <= u'Z') FFirstChars.set(up + 32);
  }
}

const TLexemEntry* TLexemTable::Find(UStringView text) const {
  auto it = std::lower_bound(FEntries.begin(), FEntries.end(), text,
                             [](const TLexemEntry& e, UStringView t) { return CompareText(e.Text, t) < 0; });
  if (it != FEntries.end() && CompareText(it->Text, text) == 0) return &*it;
  return nullptr;
}

// --- TParser ------------------------------------------------------------------

TParser::TParser(UString text) : FText(std::move(text)), TextLength(FText.size()) {
  SetupLexems(GenericSymbols(), GenericKeywords(), FormatSettings().DecimalSeparator);
}

TParser::~TParser() = default;

void TParser::SetupLexems(const TLexemTable& symbols, const TLexemTable& keywords, char16_t decSeparator) {
  FSymbolLexems = &symbols;
  FKeywordLexems = &keywords;
  CommentBegin = u"/*";
  CommentEnd = u"*/";
  FDecSeparator = decSeparator;
  FOmitBlank = true;
  FUppered = true;
  FQuotedString = false;
}

void TParser::SetText(UString text) {
  FText = std::move(text);
  TextLength = FText.size();
  ToBegin();
}

void TParser::ToBegin() {
  FPos = 0;
  OldPos = OldOldPos = 0;
  FCurrLine = FPrevLine = 0;
  FCurrBegLine = FPrevBegLine = 0;
  FLexemPos = -1;
  FLexemLength = 0;
  FLexem = nullptr;
  FKeyword = false;
}

bool TParser::IsBlankChar(char16_t c) const {
  return c == 9 || c == kLF || c == kCR || c == 32;
}

bool TParser::IsSymbolChar(char16_t c) const {
  return (c >= 33 && c <= 47) || (c >= 58 && c <= 64) || (c >= 91 && c <= 94) || c == 96 || (c >= 123 && c <= 126);
}

bool TParser::IsLetterChar(char16_t c) const {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c >= 128;
}

bool TParser::IsDigitChar(char16_t c) const {
  return c >= u'0' && c <= u'9';
}

bool TParser::IsStringQuoteChar(char16_t c) const {
  return c == u'"' || c == u'\'';
}

bool TParser::IsIdentQuoteChar(char16_t) const {
  return false;
}

bool TParser::StartsLineComment(size_t pos) const {
  return pos + 1 < TextLength && FText[pos] == u'/' && FText[pos + 1] == u'/';
}

bool TParser::EndsLineComment(char16_t c) const {
  return c == kCR || c == kLF;
}

bool TParser::SkipLineBreak() {
  const char16_t c = FText[FPos];
  if (c != kCR && c != kLF) return false;
  ++FPos;
  if (c == kCR && FPos < TextLength && FText[FPos] == kLF) ++FPos;
  ++FCurrLine;
  FCurrBegLine = static_cast<int64_t>(FPos);
  return true;
}

bool TParser::ScanQuoted(char16_t quote, bool backslashEscapes) {
  while (FPos < TextLength) {
    const char16_t c = FText[FPos];
    if (c == quote) {
      ++FPos;
      return true;
    }
    if (backslashEscapes && c == u'\\') {
      FPos = std::min(FPos + 2, TextLength);
    } else if (!FAdvancedStringParsing || !SkipLineBreak()) {
      ++FPos;
    }
  }
  return false;
}

bool TParser::SkipToClosingQuote(char16_t quote) {
  return ScanQuoted(quote, false);
}

int TParser::ReadSymbol() {
  // Longest match: grow the candidate while the next character is a symbol
  // character and the longer text is still an entry.
  const size_t start = FPos;
  const char16_t first = FText[start];
  const TLexemEntry* found = nullptr;
  if (!FSymbolLexems->HasFirstChars() || FSymbolLexems->HasFirstChar(first)) {
    size_t len = 1;
    found = FSymbolLexems->Find(UStringView(FText).substr(start, 1));
    while (found && start + len < TextLength && IsSymbolChar(FText[start + len])) {
      const TLexemEntry* longer = FSymbolLexems->Find(UStringView(FText).substr(start, len + 1));
      if (!longer) break;
      found = longer;
      ++len;
    }
  }
  if (!found) {
    ++FPos;
    return lkSymbol;
  }
  FLexem = found;
  FPos = start + found->Text.size();
  return found->Code;
}

int TParser::ReadLexem() {
  FLexem = nullptr;
  FKeyword = false;
  for (;;) {
    FLexemPos = -1;
    FLexemLength = 0;
    if (FPos >= TextLength) return lkEnd;
    size_t start = FPos;
    while (FPos < TextLength && IsBlankChar(FText[FPos]))
      if (!SkipLineBreak()) ++FPos;
    if (FPos > start && !FOmitBlank) {
      FLexemPos = static_cast<int64_t>(start);
      FLexemLength = static_cast<int64_t>(FPos - start);
      return lkBlank;
    }
    if (FPos >= TextLength) return lkEnd;

    start = FPos;
    if (StartsLineComment(FPos)) {
      while (FPos < TextLength && !EndsLineComment(FText[FPos])) ++FPos;
    } else if (FPos + CommentBegin.size() <= TextLength &&
               UStringView(FText).substr(FPos, CommentBegin.size()) == CommentBegin) {
      // The end marker is searched after the whole opener: "/*/" does not close.
      FPos += CommentBegin.size();
      for (;;) {
        if (FPos >= TextLength) break;
        if (UStringView(FText).substr(FPos, CommentEnd.size()) == CommentEnd) {
          FPos += CommentEnd.size();
          break;
        }
        if (!SkipLineBreak()) ++FPos;
      }
    } else {
      break;
    }
    if (!FOmitComment) {
      FLexemPos = static_cast<int64_t>(start);
      FLexemLength = static_cast<int64_t>(FPos - start);
      return lkComment;
    }
  }

  const size_t start = FPos;
  const char16_t c = FText[FPos];
  int code;
  if (IsSymbolChar(c)) {
    if (IsStringQuoteChar(c)) {
      ++FPos;
      FClosed = SkipToClosingQuote(c);
      code = lkString;
    } else if (IsIdentQuoteChar(c)) {
      ++FPos;
      FClosed = SkipToClosingQuote(c);
      code = lkIdent;
    } else {
      code = ReadSymbol();
    }
  } else if (IsLetterChar(c) || c == u'_') {
    ++FPos;
    while (FPos < TextLength && (IsLetterChar(FText[FPos]) || IsDigitChar(FText[FPos]) || FText[FPos] == u'_')) ++FPos;
    code = lkIdent;
    if (!FOmitKeywords) {
      if (const TLexemEntry* k = FKeywordLexems->Find(UStringView(FText).substr(start, FPos - start))) {
        code = k->Code;
        FKeyword = true;
      }
    }
  } else if (IsDigitChar(c)) {
    while (FPos < TextLength && IsDigitChar(FText[FPos])) ++FPos;
    if (FPos + 1 < TextLength && FText[FPos] == FDecSeparator && IsDigitChar(FText[FPos + 1])) {
      ++FPos;
      while (FPos < TextLength && IsDigitChar(FText[FPos])) ++FPos;
    }
    code = lkNumber;
  } else {
    throw Exception(Format(u"Parser: The unknown symbol '%s'  $%.4X", {UString(1, c), static_cast<unsigned>(c)}));
  }
  FLexemPos = static_cast<int64_t>(start);
  FLexemLength = static_cast<int64_t>(FPos - start);
  return code;
}

UStringView TParser::LexemView() const {
  if (FLexem) return FLexem->Text;
  if (FLexemPos < 0) return UStringView();
  return UStringView(FText).substr(static_cast<size_t>(FLexemPos), static_cast<size_t>(FLexemLength));
}

int TParser::GetNext(UString& lexem) {
  OldOldPos = OldPos;
  OldPos = static_cast<int64_t>(FPos);
  FPrevLine = FCurrLine;
  FPrevBegLine = FCurrBegLine;
  const int code = ReadLexem();
  UStringView text = LexemView();
  if (code == lkString && !FQuotedString && !text.empty()) {
    text.remove_prefix(1);
    if (FClosed) text.remove_suffix(1);
  }
  if (FKeyword && FUppered) lexem = UpperCase(text);
  else lexem.assign(text);
  return code;
}

int TParser::GetNextCode() {
  OldOldPos = OldPos;
  OldPos = static_cast<int64_t>(FPos);
  FPrevLine = FCurrLine;
  FPrevBegLine = FCurrBegLine;
  return ReadLexem();
}

int TParser::ToLexem(int code, bool skipSubQueries) {
  int depth = 0;
  for (;;) {
    const int got = GetNextCode();
    if (got == lkEnd) return got;
    if (skipSubQueries) {
      const UStringView text = LexemView();
      if (IsParenthesis(got, text, u'(')) ++depth;
      else if (IsParenthesis(got, text, u')')) --depth;
    }
    if (got == code && (!skipSubQueries || depth == 0)) return got;
  }
}

int TParser::ToLexem(std::initializer_list<int> codes) {
  int depth = 0;
  for (;;) {
    const int got = GetNextCode();
    if (got == lkEnd) return got;
    const UStringView text = LexemView();
    if (IsParenthesis(got, text, u'(')) ++depth;
    else if (IsParenthesis(got, text, u')')) --depth;
    if (depth == 0 && std::find(codes.begin(), codes.end(), got) != codes.end()) return got;
  }
}

bool TParser::ToLexem(UStringView lexem) {
  for (;;) {
    const int got = GetNextCode();
    if (got == lkEnd) return false;
    if (got == lkString || got == lkComment || got == lkBlank) continue;
    if (SameText(LexemView(), lexem)) return true;
  }
}

void TParser::Back() {
  FPos = static_cast<size_t>(OldPos);
  FCurrLine = FPrevLine;
  FCurrBegLine = FPrevBegLine;
}

char16_t TParser::GetChar(int64_t index) const {
  if (index < 1 || static_cast<uint64_t>(index) > TextLength) return 0;
  return FText[static_cast<size_t>(index - 1)];
}

// --- TSQLParser ---------------------------------------------------------------

TSQLParser::TSQLParser(UString text) : TParser(std::move(text)) {
  SetupLexems(SQLSymbols(), SQLKeywords(), u'.');
}

bool TSQLParser::IsLetterChar(char16_t c) const {
  return TParser::IsLetterChar(c) || c == u'#' || c == u'$';
}

bool TSQLParser::IsStringQuoteChar(char16_t c) const {
  return c == u'\'';
}

bool TSQLParser::IsIdentQuoteChar(char16_t c) const {
  return c == u'"';
}

bool TSQLParser::StartsLineComment(size_t pos) const {
  return pos + 1 < TextLength && FText[pos] == u'-' && FText[pos + 1] == u'-';
}

int TSQLParser::PosClauseLexem(int code) const {
  auto it = std::find(FClauses.begin(), FClauses.end(), code);
  return it == FClauses.end() ? -1 : static_cast<int>(it - FClauses.begin());
}

int TSQLParser::CompareClauseLexems(int code1, int code2) const {
  const int a = PosClauseLexem(code1);
  const int b = PosClauseLexem(code2);
  if (a < 0 || b < 0) return -2;
  return a == b ? 0 : (a < b ? -1 : 1);
}

bool TSQLParser::IsMacroAllowed(int code) const {
  return code != lkString;
}

bool TSQLParser::IsNumericMacroNameAllowed() const {
  return false;
}

bool TSQLParser::IsSelectModifier(int code) const {
  return code == lxALL || code == lxDISTINCT;
}

bool TSQLParser::IsFunctionOrConst(UStringView upperedName) const {
  return upperedName == u"NULL";
}

bool TSQLParser::IsQuasiColumn(UStringView) const {
  return false;
}

// --- TMyParser ----------------------------------------------------------------

TMyParser::TMyParser(UString text) : TSQLParser(std::move(text)) {
  SetupLexems(SQLSymbols(), MyKeywords(), u'.');
  FClauses = {lxWHERE, lxGROUP, lxHAVING, lxORDER, lxLIMIT, lxPROCEDURE, lxFOR, lxLOCK};
}

bool TMyParser::IsLetterChar(char16_t c) const {
  return TParser::IsLetterChar(c);
}

bool TMyParser::IsStringQuoteChar(char16_t c) const {
  return c == u'\'' || c == u'"';
}

bool TMyParser::IsIdentQuoteChar(char16_t c) const {
  return c == u'`';
}

bool TMyParser::StartsLineComment(size_t pos) const {
  if (FText[pos] == u'#') return true;
  if (pos + 1 >= TextLength || FText[pos] != u'-' || FText[pos + 1] != u'-') return false;
  // The server takes "--" as a comment before any blank or control
  // character (nothing follows one at the end of the text).
  if (pos + 2 >= TextLength) return false;
  const char16_t next = FText[pos + 2];
  return next <= 32 || next == 127;
}

bool TMyParser::EndsLineComment(char16_t c) const {
  // The server's comment runs to the line feed (or a NUL); a carriage
  // return alone does not end it.
  return c == kLF || c == 0;
}

bool TMyParser::SkipToClosingQuote(char16_t quote) {
  return ScanQuoted(quote, FBackslashEscapes && quote != u'`');
}

// --- TMyNoBackslashParser -----------------------------------------------------

TMyNoBackslashParser::TMyNoBackslashParser(UString text) : TMyParser(std::move(text)) {
  FBackslashEscapes = false;
}

// --- TMyVixParser -------------------------------------------------------------

TMyVixParser::TMyVixParser(UString text) : TMyParser(std::move(text)) {}

bool TMyVixParser::IsStringQuoteChar(char16_t c) const {
  return c == u'\'';
}

bool TMyVixParser::IsIdentQuoteChar(char16_t c) const {
  return c == u'"' || c == u'`';
}

}  // namespace vix
