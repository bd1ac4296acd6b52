// The filter expression language of the record storage and its lexer, which
// also reads the sort text (IndexFieldNames).
//
//   expression := term { OR term }
//   term       := factor { AND factor }
//   factor     := "(" expression ")" | NOT factor | TRUE | FALSE
//               | operand ( "=" | ">" | "<" | ">=" | "<=" | "<>" | [NOT] LIKE ) operand
//               | operand IS [NOT] NULL
//   operand    := name { "." name } | "[" any text "]" | 'text' | "text"
//               | number | ("-" | "+") number | TRUE | FALSE | NULL
//
// A constant compared with a field is converted to the field's type when the
// text is parsed, so the comparison is the storage's own (MemDataSort.h); a
// constant that cannot take the type fails the parse. NULL is settled before
// anything else: NULL equals only NULL, and every ordering with NULL is false.
// "=" on a text field matches the constant as a pattern when it holds a
// wildcard ("*", "%" or "_") and partial compare is on; LIKE always matches a
// pattern, against the field's value as text. Patterns match the whole text;
// "*" and "%" match any run, "_" one character; there is no escape. Matching
// places each wildcard-free piece once, leftmost, so it never backtracks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Common/ZelParser.h"
#include "rtl/UString.h"
#include "rtl/Variant.h"

namespace vix {

class TMemData;
class TFieldDesc;

// Symbols and keywords of the filter lexer.
enum TBoolLexeme : int {
  bsEqual = 1,
  bsMore,
  bsLess,
  bsMoreEqual,
  bsLessEqual,
  bsNoEqual,
  bsLeftParen,
  bsRightParen,
  bsMinus,
  bsPlus,
  bsLeftBracket,
  bsRightBracket,
  bkAnd,
  bkFalse,
  bkIs,
  bkLike,
  bkNot,
  bkNull,
  bkOr,
  bkTrue,
};

// The lexer: blanks skipped; 'text' and "text" are strings without their
// quotes (a doubled quote inside stands for one); names are letters (any
// script), digits and "_" not starting with a digit; numbers are digits with
// an optional fraction and exponent; the symbols and keywords above (keywords
// in any case); any other character is one lkSymbol. A string without its
// closing quote raises "Illegal filter expression" (`errorText`).
class TBoolParser {
 public:
  TBoolParser(UStringView text, UStringView errorText) : FText(text), FError(errorText) {}
  // The next lexeme's code (lkEnd, lkIdent, lkString, lkNumber, lkSymbol or a
  // TBoolLexeme) and its text.
  int GetNext(UString& lexem);
  // The raw text from here up to "]" (consumed) or the end: a bracketed name.
  UString ReadBracketed();
  size_t Position() const { return FPos; }
  void SetPosition(size_t pos) { FPos = pos; }

 private:
  UStringView FText;
  UStringView FError;
  size_t FPos = 0;
};

// Whether the whole text matches the whole pattern (see above). Both are
// compared as they are: upper-case them first for a case-insensitive match.
bool MatchPattern(std::u16string_view text, std::u16string_view pattern);
// Whether the text holds a wildcard character.
bool HasWildcard(std::u16string_view text);

enum TExpressionType : uint8_t {
  ntEqual,
  ntMore,
  ntLess,
  ntMoreEqual,
  ntLessEqual,
  ntNoEqual,
  ntAnd,
  ntOr,
  ntNot,
  ntField,
  ntValue,
  ntTrue,
  ntFalse,
  ntLike,
  ntNotLike,
};

struct TExpressionNode;

// A parsed filter over one storage's descriptors.
class TFilterExpression {
 public:
  // Parses `text` (not blank) over the storage's descriptors: "Illegal filter
  // expression", "Field <name> not found", or a conversion error for a
  // constant that cannot take its field's type.
  TFilterExpression(const TMemData& data, UStringView text);
  ~TFilterExpression();
  TFilterExpression(const TFilterExpression&) = delete;
  TFilterExpression& operator=(const TFilterExpression&) = delete;

  // Whether the record passes, under the storage's filter options.
  bool Evaluate(const uint8_t* recBuf) const;
  // Asks the processor for the parts of the record that Evaluate reads.
  void Prefetch(const uint8_t* recBuf) const {
    for (const uint32_t offset : FReadOffsets) __builtin_prefetch(recBuf + offset);
  }
  const TExpressionNode& Root() const { return *FRoot; }

 private:
  const TMemData& FData;
  std::unique_ptr<TExpressionNode> FRoot;
  // Where in the record the expression's fields and their null flags are.
  std::vector<uint32_t> FReadOffsets;
};

}  // namespace vix
