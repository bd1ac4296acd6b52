// The table-driven lexer that cuts SQL (and the filter and sort texts) into
// lexemes: a generic base and its SQL and MySQL dialects.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <utility>
#include <vector>

#include "rtl/UString.h"

namespace vix {

// --- lexeme codes -----------------------------------------------------------
// Codes of 1 and above are entries of the symbol or keyword table.

constexpr int lkEnd = 0;
constexpr int lkSymbol = -102;  // one symbol character that is not a table entry
constexpr int lkIdent = -103;   // identifier, or a quoted identifier with its quotes
constexpr int lkNumber = -105;
constexpr int lkString = -106;
constexpr int lkBlank = -107;    // only when OmitBlank is off
constexpr int lkComment = -108;  // only when OmitComment is off

// --- keyword codes of the SQL dialects ----------------------------------------

constexpr int lxALL = 100;
constexpr int lxAND = 101;
constexpr int lxAS = 102;
constexpr int lxBEGIN = 103;
constexpr int lxBY = 104;
constexpr int lxCOMMIT = 105;
constexpr int lxDELETE = 106;
constexpr int lxDISTINCT = 107;
constexpr int lxEND = 108;
constexpr int lxEXECUTE = 109;
constexpr int lxFETCH = 110;
constexpr int lxFOR = 111;
constexpr int lxFROM = 112;
constexpr int lxFULL = 113;
constexpr int lxGROUP = 114;
constexpr int lxHAVING = 115;
constexpr int lxINNER = 116;
constexpr int lxINSERT = 117;
constexpr int lxINTO = 119;
constexpr int lxIS = 120;
constexpr int lxJOIN = 121;
constexpr int lxLEFT = 122;
constexpr int lxLIMIT = 123;
constexpr int lxLOCK = 124;
constexpr int lxMINUS = 125;
constexpr int lxNOT = 126;
constexpr int lxOFFSET = 127;
constexpr int lxON = 128;
constexpr int lxOR = 130;
constexpr int lxORDER = 131;
constexpr int lxOUTER = 132;
constexpr int lxRELEASE = 133;
constexpr int lxRETURNING = 134;
constexpr int lxRIGHT = 135;
constexpr int lxROLLBACK = 136;
constexpr int lxSAVEPOINT = 137;
constexpr int lxSELECT = 138;
constexpr int lxSET = 139;
constexpr int lxTO = 140;
constexpr int lxTRANSACTION = 141;
constexpr int lxUNION = 142;
constexpr int lxUPDATE = 143;
constexpr int lxWHERE = 144;
constexpr int lxWITH = 145;

// MySQL only.
constexpr int lxCHARSET = 1000;
constexpr int lxCOLUMNS = 1001;
constexpr int lxCREATE = 1002;
constexpr int lxCROSS = 1003;
constexpr int lxDELIMITER = 1004;
constexpr int lxDESC = 1005;
constexpr int lxDESCRIBE = 1006;
constexpr int lxEXPLAIN = 1007;
constexpr int lxFORCE = 1008;
constexpr int lxFUNCTION = 1009;
constexpr int lxIGNORE = 1010;
constexpr int lxNATURAL = 1011;
constexpr int lxPRIVILEGES = 1012;
constexpr int lxPROCEDURE = 1013;
constexpr int lxREPLACE = 1014;
constexpr int lxSHOW = 1015;
constexpr int lxSLAVE = 1016;
constexpr int lxSTATUS = 1017;
constexpr int lxSTRAIGHT_JOIN = 1018;
constexpr int lxTRIGGER = 1019;
constexpr int lxUSE = 1020;
constexpr int lxHANDLER = 1021;
constexpr int lxDISTINCTROW = 1022;
constexpr int lxENGINES = 1023;
constexpr int lxPROCESSLIST = 1024;

// One entry of a symbol or keyword table.
struct TLexemEntry {
  UStringView Text;
  int Code;
};

// A symbol or keyword table: texts with fixed positive codes, kept sorted by
// ordinal comparison with ASCII letters folded to upper case. Built once per
// process and shared by every lexer of a dialect.
class TLexemTable {
 public:
  TLexemTable(std::initializer_list<TLexemEntry> entries);
  explicit TLexemTable(std::vector<TLexemEntry> entries);
  // Union of two tables (codes kept).
  TLexemTable(const TLexemTable& base, std::initializer_list<TLexemEntry> more);

  // The entry whose text equals `text` (ASCII letters compared upper-case).
  const TLexemEntry* Find(UStringView text) const;
  // A first character of some entry (only characters below 256 are kept).
  bool HasFirstChar(char16_t c) const { return c < 256 && FFirstChars.test(c); }
  bool HasFirstChars() const { return FFirstChars.any(); }
  const std::vector<TLexemEntry>& Entries() const { return FEntries; }

 private:
  void Sort();
  std::vector<TLexemEntry> FEntries;
  std::bitset<256> FFirstChars;
};

// The generic lexer (the base of the filter and sort texts' lexers): numbers
// take the decimal separator of the process's format settings. Positions
// handed out are 0-based offsets into the text; line numbers and columns are
// 0-based too.
class TParser {
 public:
  explicit TParser(UString text);
  virtual ~TParser();
  TParser(const TParser&) = delete;
  TParser& operator=(const TParser&) = delete;

  // Replaces the text and rewinds.
  void SetText(UString text);
  const UString& Text() const { return FText; }
  // Back to the start of the text, lines counted from 0 again.
  void ToBegin();

  // Reads the next lexeme: its code and its text (a table entry's own text; a
  // keyword upper-cased when Uppered is on; a string without its quotes
  // unless QuotedString is on). Raises Exception
  // "Parser: The unknown symbol 'c'  $XXXX" for a character of no class.
  int GetNext(UString& lexem);
  int GetNextCode();

  // Reads lexemes until one has `code` (or the text ends); returns the last
  // code. With `skipSubQueries` only lexemes outside parentheses count.
  int ToLexem(int code, bool skipSubQueries = false);
  // The same for any of `codes`, always outside parentheses.
  int ToLexem(std::initializer_list<int> codes);
  // Reads lexemes until one reads as `lexem` (letters compared upper-case);
  // strings, comments and blanks never match. True when one was found.
  bool ToLexem(UStringView lexem);

  // Moves back to where the last GetNext started.
  void Back();

  // Offset of the next character; of where the last and the one-before-last
  // GetNext started (blanks and comments they skipped included).
  int64_t CurrPos() const { return static_cast<int64_t>(FPos); }
  int64_t PrevPos() const { return OldPos; }
  int64_t PrevPrevPos() const { return OldOldPos; }
  // Offset and length of the last lexeme's own text in the source (quotes
  // included); -1 and 0 when there was none.
  int64_t LexemPos() const { return FLexemPos; }
  int64_t LexemLength() const { return FLexemLength; }
  int64_t CurrLine() const { return FCurrLine; }
  int64_t PrevLine() const { return FPrevLine; }
  int64_t CurrCol() const { return static_cast<int64_t>(FPos) - FCurrBegLine; }
  int64_t PrevCol() const { return OldPos - FPrevBegLine; }
  // The character at a 1-based index; 0 beyond the text.
  char16_t GetChar(int64_t index) const;

  // Options.
  bool OmitBlank() const { return FOmitBlank; }
  void SetOmitBlank(bool value) { FOmitBlank = value; }
  bool OmitComment() const { return FOmitComment; }
  void SetOmitComment(bool value) { FOmitComment = value; }
  bool OmitKeywords() const { return FOmitKeywords; }
  void SetOmitKeywords(bool value) { FOmitKeywords = value; }
  bool Uppered() const { return FUppered; }
  void SetUppered(bool value) { FUppered = value; }
  bool QuotedString() const { return FQuotedString; }
  void SetQuotedString(bool value) { FQuotedString = value; }
  bool AdvancedStringParsing() const { return FAdvancedStringParsing; }
  void SetAdvancedStringParsing(bool value) { FAdvancedStringParsing = value; }
  char16_t DecSeparator() const { return FDecSeparator; }
  void SetDecSeparator(char16_t value) { FDecSeparator = value; }
  const TLexemTable& SymbolLexems() const { return *FSymbolLexems; }
  const TLexemTable& KeywordLexems() const { return *FKeywordLexems; }

  // Character classes of the dialect.
  virtual bool IsBlankChar(char16_t c) const;
  virtual bool IsSymbolChar(char16_t c) const;
  virtual bool IsLetterChar(char16_t c) const;
  virtual bool IsDigitChar(char16_t c) const;
  virtual bool IsStringQuoteChar(char16_t c) const;
  virtual bool IsIdentQuoteChar(char16_t c) const;

 protected:
  // Installs the dialect's tables and decimal separator; a dialect's
  // constructor calls it.
  void SetupLexems(const TLexemTable& symbols, const TLexemTable& keywords, char16_t decSeparator);

  // A line comment starts at `pos` (0-based).
  virtual bool StartsLineComment(size_t pos) const;
  // A line comment ends before `c`.
  virtual bool EndsLineComment(char16_t c) const;
  // Called with Pos just after the opening quote: moves Pos past the closing
  // quote and answers true, or to the end of the text and answers false.
  virtual bool SkipToClosingQuote(char16_t quote);
  // The scan of SkipToClosingQuote; `backslashEscapes`: a backslash takes the
  // character after it into the quoted text.
  bool ScanQuoted(char16_t quote, bool backslashEscapes);
  // Counts a line break at Pos, if any, and moves past it; true when one was there.
  bool SkipLineBreak();

  UString FText;
  size_t FPos = 0;
  size_t TextLength = 0;

 private:
  int ReadLexem();
  int ReadSymbol();
  // The text of the last lexeme as found: a table entry's text, else the
  // source span.
  UStringView LexemView() const;

  int64_t OldPos = 0;
  int64_t OldOldPos = 0;
  bool FOmitBlank = true;
  bool FOmitComment = false;
  bool FUppered = true;
  int64_t FCurrLine = 0;
  int64_t FPrevLine = 0;
  int64_t FCurrBegLine = 0;
  int64_t FPrevBegLine = 0;
  bool FQuotedString = false;
  bool FAdvancedStringParsing = false;
  int64_t FLexemPos = -1;
  int64_t FLexemLength = 0;
  const TLexemTable* FSymbolLexems = nullptr;
  const TLexemTable* FKeywordLexems = nullptr;
  bool FOmitKeywords = false;
  const TLexemEntry* FLexem = nullptr;  // the table entry found last
  bool FKeyword = false;                // the last lexeme is a keyword
  bool FClosed = false;                 // the last string's closing quote was found
  UString CommentBegin = u"/*";
  UString CommentEnd = u"*/";
  char16_t FDecSeparator = u'.';
};

// The SQL dialect: apostrophe strings, double-quoted identifiers, "--" line
// comments, '#' and '$' as letters. SQL numbers always take "." as the
// decimal separator, whatever the format settings say.
class TSQLParser : public TParser {
 public:
  explicit TSQLParser(UString text);

  bool IsLetterChar(char16_t c) const override;
  bool IsStringQuoteChar(char16_t c) const override;
  bool IsIdentQuoteChar(char16_t c) const override;

  // Clause keywords in the order in which the clauses must appear.
  int PosClauseLexem(int code) const;
  bool IsClauseLexem(int code) const { return PosClauseLexem(code) >= 0; }
  // -1, 0 or 1 by clause order; -2 when either code is no clause.
  int CompareClauseLexems(int code1, int code2) const;

  virtual bool IsMacroAllowed(int code) const;
  virtual bool IsNumericMacroNameAllowed() const;
  virtual bool IsSelectModifier(int code) const;
  virtual bool IsFunctionOrConst(UStringView upperedName) const;
  virtual bool IsQuasiColumn(UStringView name) const;

 protected:
  bool StartsLineComment(size_t pos) const override;

  std::vector<int> FClauses;
};

// The MySQL dialect of the MySQL command, read as the server reads it:
// apostrophe and double-quote strings, backquoted identifiers, '#' line
// comments and "--" followed by a blank or control character, both ending
// at a line feed only; backslash escapes inside strings (never inside
// backquotes).
class TMyParser : public TSQLParser {
 public:
  explicit TMyParser(UString text);

  bool IsLetterChar(char16_t c) const override;
  bool IsStringQuoteChar(char16_t c) const override;
  bool IsIdentQuoteChar(char16_t c) const override;

 protected:
  bool StartsLineComment(size_t pos) const override;
  bool EndsLineComment(char16_t c) const override;
  bool SkipToClosingQuote(char16_t quote) override;
  // Backslashes escape inside strings (the session's default mode).
  bool FBackslashEscapes = true;
};

// The MySQL command's dialect for a session in NO_BACKSLASH_ESCAPES mode: a
// backslash is an ordinary character inside strings.
class TMyNoBackslashParser : public TMyParser {
 public:
  explicit TMyNoBackslashParser(UString text);
};

// The MySQL dialect of the universal layer: as TMyParser, but the double
// quote quotes identifiers.
class TMyVixParser : public TMyParser {
 public:
  explicit TMyVixParser(UString text);

  bool IsStringQuoteChar(char16_t c) const override;
  bool IsIdentQuoteChar(char16_t c) const override;
};

// A lexer class as a value: makes a lexer of that dialect on a text.
using TParserClass = std::unique_ptr<TParser> (*)(UString text);

template <typename T>
std::unique_ptr<TParser> NewParser(UString text) {
  return std::make_unique<T>(std::move(text));
}

}  // namespace vix
