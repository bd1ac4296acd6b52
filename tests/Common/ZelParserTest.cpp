#include "Common/ZelParser.h"

#include <memory>
#include <utility>
#include <vector>

#include "SqlCorpus.h"
#include "TestSupport.h"
#include "rtl/FormatSettings.h"
#include "rtl/SysUtils.h"

namespace vix {
namespace {

struct Lexeme {
  int Code;
  UString Text;
  bool operator==(const Lexeme&) const = default;
};

void PrintTo(const Lexeme& l, std::ostream* os) {
  *os << "{" << l.Code << ", ";
  test::PrintUString(l.Text, os);
  *os << "}";
}

using ParserFactory = TParserClass;

template <typename T>
ParserFactory Factory() {
  return &NewParser<T>;
}

// Every lexeme of `text`, blanks and comments included, strings with their quotes.
std::vector<Lexeme> LexAll(TParser& p, bool uppered = true) {
  p.SetOmitBlank(false);
  p.SetOmitComment(false);
  p.SetQuotedString(true);
  p.SetUppered(uppered);
  std::vector<Lexeme> out;
  UString text;
  for (int code; (code = p.GetNext(text)) != lkEnd;) out.push_back({code, text});
  return out;
}

struct Case {
  UString Text;
  std::vector<Lexeme> Lexemes;
};

void CheckTable(const ParserFactory& make, const std::vector<Case>& cases) {
  for (const auto& c : cases) {
    auto p = make(c.Text);
    EXPECT_EQ(LexAll(*p), c.Lexemes) << ToUtf8(c.Text);
  }
}

constexpr int B = lkBlank;

TEST(TParser, GenericDialect) {
  CheckTable(
      Factory<TParser>(),
      {
          {u"a = 'x:y' // c",
           {{lkIdent, u"a"}, {B, u" "}, {19, u"="}, {B, u" "}, {lkString, u"'x:y'"}, {B, u" "}, {lkComment, u"// c"}}},
          {u"\"dq\"&x", {{lkString, u"\"dq\""}, {6, u"&"}, {lkIdent, u"x"}}},
          {u"x and not y Or z",
           {{lkIdent, u"x"},
            {B, u" "},
            {29, u"AND"},
            {B, u" "},
            {30, u"NOT"},
            {B, u" "},
            {lkIdent, u"y"},
            {B, u" "},
            {31, u"OR"},
            {B, u" "},
            {lkIdent, u"z"}}},
          {u"3.14 3. #{`",
           {{lkNumber, u"3.14"},
            {B, u" "},
            {lkNumber, u"3"},
            {14, u"."},
            {B, u" "},
            {3, u"#"},
            {lkSymbol, u"{"},
            {28, u"`"}}},
          {u"!:@_x /* c */", {{1, u"!"}, {16, u":"}, {22, u"@"}, {lkIdent, u"_x"}, {B, u" "}, {lkComment, u"/* c */"}}},
      });
}

// A dialect of its own tables: symbols of two characters match longest first.
class TCompareParser : public TParser {
 public:
  explicit TCompareParser(UString text) : TParser(std::move(text)) {
    static const TLexemTable symbols({{u"=", 1}, {u">", 2}, {u"<", 3}, {u">=", 4}, {u"<=", 5}, {u"<>", 6}});
    static const TLexemTable keywords({{u"LIKE", 7}});
    SetupLexems(symbols, keywords, u'.');
  }
};

TEST(TParser, OwnTablesMatchLongestSymbol) {
  CheckTable(Factory<TCompareParser>(),
             {
                 {u"a>=b<>c<", {{lkIdent, u"a"}, {4, u">="}, {lkIdent, u"b"}, {6, u"<>"}, {lkIdent, u"c"}, {3, u"<"}}},
                 {u"<>=!like", {{6, u"<>"}, {1, u"="}, {lkSymbol, u"!"}, {7, u"LIKE"}}},
             });
}

TEST(TSQLParser, SqlDialect) {
  CheckTable(Factory<TSQLParser>(),
             {
                 {u"select a#b, $x FROM t",
                  {{lxSELECT, u"SELECT"},
                   {B, u" "},
                   {lkIdent, u"a#b"},
                   {4, u","},
                   {B, u" "},
                   {lkSymbol, u"$"},
                   {lkIdent, u"x"},
                   {B, u" "},
                   {lxFROM, u"FROM"},
                   {B, u" "},
                   {lkIdent, u"t"}}},
                 {u"\"Quoted Id\".x", {{lkIdent, u"\"Quoted Id\""}, {5, u"."}, {lkIdent, u"x"}}},
                 {u"'it''s'", {{lkString, u"'it'"}, {lkString, u"'s'"}}},
                 {u"-- c :p\r\nx", {{lkComment, u"-- c :p"}, {B, u"\r\n"}, {lkIdent, u"x"}}},
                 {u"a::b", {{lkIdent, u"a"}, {3, u":"}, {3, u":"}, {lkIdent, u"b"}}},
                 {u"1.5e3 1,5",
                  {{lkNumber, u"1.5"}, {lkIdent, u"e3"}, {B, u" "}, {lkNumber, u"1"}, {4, u","}, {lkNumber, u"5"}}},
                 // The end marker is looked for after the whole opener.
                 {u"/*/ x */y", {{lkComment, u"/*/ x */"}, {lkIdent, u"y"}}},
                 {u"/**/;/* open", {{lkComment, u"/**/"}, {7, u";"}, {lkComment, u"/* open"}}},
                 {u"x<>'open", {{lkIdent, u"x"}, {lkSymbol, u"<"}, {lkSymbol, u">"}, {lkString, u"'open"}}},
                 {u"Select1 `n` \\",
                  {{lkIdent, u"Select1"},
                   {B, u" "},
                   {lkSymbol, u"`"},
                   {lkIdent, u"n"},
                   {lkSymbol, u"`"},
                   {B, u" "},
                   {lkSymbol, u"\\"}}},
                 {u"사용자=*/", {{lkIdent, u"사용자"}, {2, u"="}, {1, u"*"}, {6, u"/"}}},
             });
}

TEST(TMyParser, MySqlDialect) {
  CheckTable(Factory<TMyParser>(),
             {
                 {u"`a b`.`c`", {{lkIdent, u"`a b`"}, {5, u"."}, {lkIdent, u"`c`"}}},
                 {u"'a\\'b' \"d\\\"q\"", {{lkString, u"'a\\'b'"}, {B, u" "}, {lkString, u"\"d\\\"q\""}}},
                 {u"# c :p\nx-- y", {{lkComment, u"# c :p"}, {B, u"\n"}, {lkIdent, u"x"}, {lkComment, u"-- y"}}},
                 {u"--:p --",
                  {{lkSymbol, u"-"},
                   {lkSymbol, u"-"},
                   {3, u":"},
                   {lkIdent, u"p"},
                   {B, u" "},
                   {lkSymbol, u"-"},
                   {lkSymbol, u"-"}}},
                 {u"a$b \"x\"", {{lkIdent, u"a"}, {lkSymbol, u"$"}, {lkIdent, u"b"}, {B, u" "}, {lkString, u"\"x\""}}},
                 {u"show Straight_Join where",
                  {{lxSHOW, u"SHOW"}, {B, u" "}, {lxSTRAIGHT_JOIN, u"STRAIGHT_JOIN"}, {B, u" "}, {lxWHERE, u"WHERE"}}},
                 {u"'ends with \\", {{lkString, u"'ends with \\"}}},
             });
}

// Where the server reads a comment or a string, so does the lexer: a text
// it took for plain SQL would have a parameter's literal put inside a
// comment or a string of the server's.
TEST(TMyParser, CommentsAndQuotesAsTheServerReadsThem) {
  CheckTable(Factory<TMyParser>(),
             {
                 {u"--\t:p", {{lkComment, u"--\t:p"}}},
                 {u"--\x01:p\nx", {{lkComment, u"--\x01:p"}, {B, u"\n"}, {lkIdent, u"x"}}},
                 {u"--\r\n:p", {{lkComment, u"--\r"}, {B, u"\n"}, {3, u":"}, {lkIdent, u"p"}}},
                 {u"-- a\r:p\nx", {{lkComment, u"-- a\r:p"}, {B, u"\n"}, {lkIdent, u"x"}}},
                 {u"# a\r:p\nx", {{lkComment, u"# a\r:p"}, {B, u"\n"}, {lkIdent, u"x"}}},
                 {u"--x", {{lkSymbol, u"-"}, {lkSymbol, u"-"}, {lkIdent, u"x"}}},
                 {u"`a\\` ':p'", {{lkIdent, u"`a\\`"}, {B, u" "}, {lkString, u"':p'"}}},
                 {u"'C:\\' ':p'", {{lkString, u"'C:\\' '"}, {3, u":"}, {lkIdent, u"p"}, {lkString, u"'"}}},
             });
  CheckTable(Factory<TMyNoBackslashParser>(),
             {
                 {u"'C:\\' ':p'", {{lkString, u"'C:\\'"}, {B, u" "}, {lkString, u"':p'"}}},
                 {u"\"a\\\" :p", {{lkString, u"\"a\\\""}, {B, u" "}, {3, u":"}, {lkIdent, u"p"}}},
                 {u"'it''s'", {{lkString, u"'it'"}, {lkString, u"'s'"}}},
                 {u"# c\n`x\\`", {{lkComment, u"# c"}, {B, u"\n"}, {lkIdent, u"`x\\`"}}},
             });
}

TEST(TMyVixParser, UniversalMySqlDialect) {
  CheckTable(Factory<TMyVixParser>(), {
                                          {u"\"id\" `x` 's\\'t' # c",
                                           {{lkIdent, u"\"id\""},
                                            {B, u" "},
                                            {lkIdent, u"`x`"},
                                            {B, u" "},
                                            {lkString, u"'s\\'t'"},
                                            {B, u" "},
                                            {lkComment, u"# c"}}},
                                          {u"describe", {{lxDESCRIBE, u"DESCRIBE"}}},
                                      });
}

// Blanks, comments, quotes and letter case all survive: the lexemes put back
// together give the text again, in every dialect.
TEST(TParser, LexemesReproduceTheText) {
  const std::vector<std::pair<const char*, ParserFactory>> dialects = {
      {"TParser", Factory<TParser>()},
      {"TSQLParser", Factory<TSQLParser>()},
      {"TMyParser", Factory<TMyParser>()},
      {"TMyVixParser", Factory<TMyVixParser>()},
      {"TMyNoBackslashParser", Factory<TMyNoBackslashParser>()},
  };
  for (const auto& [name, make] : dialects) {
    for (const UString& text : test::SqlCorpus()) {
      auto p = make(text);
      UString joined;
      for (const auto& l : LexAll(*p, false)) joined += l.Text;
      EXPECT_EQ(joined, text) << name;
    }
  }
}

// Random texts of the characters that steer the lexer: every dialect still
// gives the text back, whatever is left open.
TEST(TParser, RandomTextsReproduceTheText) {
  const UString alphabet = u"'\"`\\/*-#:@ \r\na1._$김;(";
  uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
  const ParserFactory dialects[] = {Factory<TParser>(), Factory<TSQLParser>(), Factory<TMyParser>(),
                                    Factory<TMyVixParser>(), Factory<TMyNoBackslashParser>()};
  for (int n = 0; n < 2000; ++n) {
    UString text;
    const size_t length = next() % 24;
    for (size_t i = 0; i < length; ++i) text += alphabet[(next() >> 8) % alphabet.size()];
    for (const auto& make : dialects) {
      auto p = make(text);
      UString joined;
      for (const auto& l : LexAll(*p, false)) joined += l.Text;
      ASSERT_EQ(joined, text);
    }
  }
}

TEST(TParser, OptionsShapeTheTexts) {
  TMyParser p(u"  'a\\'b' /* c */ select 'open");
  UString s;
  EXPECT_EQ(p.GetNext(s), lkString);  // blanks skipped; strings without their quotes
  EXPECT_EQ(s, u"a\\'b");
  EXPECT_EQ(p.GetNext(s), lkComment);
  p.SetOmitComment(true);
  EXPECT_EQ(p.GetNext(s), lxSELECT);
  EXPECT_EQ(s, u"SELECT");
  EXPECT_EQ(p.GetNext(s), lkString);
  EXPECT_EQ(s, u"open");  // unterminated: everything after the quote
  EXPECT_EQ(p.GetNext(s), lkEnd);

  TMyParser q(u"select");
  q.SetUppered(false);
  EXPECT_EQ(q.GetNext(s), lxSELECT);
  EXPECT_EQ(s, u"select");
  TMyParser r(u"select");
  r.SetOmitKeywords(true);
  EXPECT_EQ(r.GetNext(s), lkIdent);
}

// SQL numbers take "." whatever the display settings say; the generic lexer
// follows the settings.
TEST(TParser, DecimalSeparator) {
  const char16_t saved = FormatSettings().DecimalSeparator;
  FormatSettings().DecimalSeparator = u',';
  std::vector<Lexeme> sql[3], generic;
  {
    TSQLParser a(u"1,5 2.5");
    TMyParser b(u"1,5 2.5");
    TMyVixParser c(u"1,5 2.5");
    sql[0] = LexAll(a);
    sql[1] = LexAll(b);
    sql[2] = LexAll(c);
    TParser d(u"1,5 2.5");
    generic = LexAll(d);
  }
  FormatSettings().DecimalSeparator = saved;
  const std::vector<Lexeme> expected = {{lkNumber, u"1"}, {4, u","}, {lkNumber, u"5"}, {B, u" "}, {lkNumber, u"2.5"}};
  for (const auto& lexemes : sql) EXPECT_EQ(lexemes, expected);
  EXPECT_EQ(generic,
            (std::vector<Lexeme>{{lkNumber, u"1,5"}, {B, u" "}, {lkNumber, u"2"}, {14, u"."}, {lkNumber, u"5"}}));
}

TEST(TParser, UnknownCharacterIsAnError) {
  const std::pair<UString, UString> cases[] = {
      {u"a \f b", u"Parser: The unknown symbol '\f'  $000C"},
      {u"x\x7F", u"Parser: The unknown symbol '\x7F'  $007F"},
  };
  for (const auto& [text, message] : cases) {
    TSQLParser p(text);
    try {
      while (p.GetNextCode() != lkEnd) {
      }
      ADD_FAILURE() << "no error for " << ToUtf8(text);
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), message);
    }
  }
  // Inside strings, quoted names and comments any character is fine.
  TMyParser q(u"'\f' `\x01` /* \x7F */ # \x02");
  EXPECT_NO_THROW(while (q.GetNextCode() != lkEnd){});
}

TEST(TParser, PositionsAndLines) {
  TSQLParser p(u"a\r\nbb\rc\n  d");
  UString s;
  p.GetNext(s);  // a
  p.GetNext(s);  // bb
  EXPECT_EQ(p.CurrLine(), 1);
  EXPECT_EQ(p.PrevPos(), 1);  // the blanks before "bb"
  EXPECT_EQ(p.LexemPos(), 3);
  EXPECT_EQ(p.CurrCol(), 2);
  p.GetNext(s);  // c
  p.GetNext(s);  // d
  EXPECT_EQ(s, u"d");
  EXPECT_EQ(p.CurrLine(), 3);
  EXPECT_EQ(p.CurrCol(), 3);
  EXPECT_EQ(p.PrevLine(), 2);
  p.Back();
  EXPECT_EQ(p.CurrLine(), 2);
  EXPECT_EQ(p.GetNext(s), lkIdent);
  EXPECT_EQ(s, u"d");
  EXPECT_EQ(p.CurrPos(), 11);
  EXPECT_EQ(p.GetChar(1), u'a');
  EXPECT_EQ(p.GetChar(11), u'd');
  EXPECT_EQ(p.GetChar(12), 0);

  // Line breaks inside strings count only with advanced string parsing.
  TSQLParser q(u"'x\ny' z");
  q.GetNextCode();
  EXPECT_EQ(q.CurrLine(), 0);
  q.ToBegin();
  q.SetAdvancedStringParsing(true);
  q.GetNextCode();
  EXPECT_EQ(q.CurrLine(), 1);
}

TEST(TParser, ToLexem) {
  TMyParser p(u"SELECT (SELECT x FROM y) AS v, ':' FROM z WHERE a = :b");
  EXPECT_EQ(p.ToLexem(lxFROM, true), lxFROM);
  UString s;
  p.GetNext(s);
  EXPECT_EQ(s, u"z");
  p.ToBegin();
  EXPECT_EQ(p.ToLexem({lxWHERE, lxFROM}), lxFROM);
  p.GetNext(s);
  EXPECT_EQ(s, u"z");
  p.ToBegin();
  EXPECT_TRUE(p.ToLexem(u":"));  // the one in the string does not count
  p.GetNext(s);
  EXPECT_EQ(s, u"b");
  EXPECT_FALSE(p.ToLexem(u":"));
  p.ToBegin();
  EXPECT_EQ(p.ToLexem(lxLIMIT), lkEnd);
}

TEST(TMyParser, Clauses) {
  TMyParser p(u"");
  EXPECT_EQ(p.PosClauseLexem(lxWHERE), 0);
  EXPECT_EQ(p.PosClauseLexem(lxLOCK), 7);
  EXPECT_EQ(p.PosClauseLexem(lxSELECT), -1);
  EXPECT_EQ(p.CompareClauseLexems(lxORDER, lxGROUP), 1);
  EXPECT_EQ(p.CompareClauseLexems(lxLIMIT, lxLIMIT), 0);
  EXPECT_EQ(p.CompareClauseLexems(lxWHERE, lxFOR), -1);
  EXPECT_EQ(p.CompareClauseLexems(lxWHERE, lxFROM), -2);
  EXPECT_TRUE(p.IsSelectModifier(lxDISTINCT));
  EXPECT_TRUE(p.IsFunctionOrConst(u"NULL"));
  EXPECT_FALSE(p.IsMacroAllowed(lkString));
}

}  // namespace
}  // namespace vix
