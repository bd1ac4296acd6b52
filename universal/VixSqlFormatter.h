// The formatter that rewrites the universal SQL notation into a provider's
// own syntax, and its function and macro tables.
#pragma once

#include <cstddef>
#include <memory>
#include <typeindex>
#include <typeinfo>
#include <utility>
#include <vector>

#include "Common/ZelParser.h"
#include "rtl/UString.h"

namespace vix {

// A name -> text table of the formatter (functions or predefined macros):
// unsorted, names compared ignoring case, the first match wins.
using TNameTextTable = std::vector<std::pair<UString, UString>>;
const UString* FindInTable(const TNameTextTable& table, UStringView name);

// How deeply brace constructs and macro expansions may nest in one expansion.
constexpr int kMaxNotationNesting = 128;
// How many characters macros and function templates may add to one text.
constexpr size_t kMaxNotationGrowth = size_t{1} << 20;

// Rewrites the universal notation into a provider's syntax, on the provider's
// lexer: brace constructs for functions ({fn NAME(args)}), literals ({date
// '...'}, {time '...'}, {timestamp '...'}), conditions ({if NAME}..{else}..
// {endif}) and macros ({NAME} or {NAME body}); double-quoted names get the
// provider's quotes; "--" comments become block comments. Strings, quoted
// names and comments are never looked into. A provider derives a formatter
// that installs its function and macro tables and its quotes.
//
// A macro chain longer than there are macros has met itself: "Cyclic macro:
// <name>". A call whose last ")" closes a nested bracket instead of the call
// ("F((a, b)") is "Invalid bracket count in function call".
class TVixSqlFormatter {
 public:
  TVixSqlFormatter();
  virtual ~TVixSqlFormatter();
  TVixSqlFormatter(const TVixSqlFormatter&) = delete;
  TVixSqlFormatter& operator=(const TVixSqlFormatter&) = delete;

  // The active user macros (upper-case names, values at the same index); the
  // lists belong to the caller and must outlive their use here.
  void SetUserMacros(const std::vector<UString>* names, const std::vector<UString>* values);
  void SetParserClass(TParserClass value) { FParserClass = value; }
  TParserClass GetParserClass() const { return FParserClass; }

  // Rewrites `sql`; on failure it stays as it was. Brace constructs and macro
  // expansions nest at most kMaxNotationNesting deep ("SQL notation is nested
  // too deeply"), and macros and function templates add at most
  // kMaxNotationGrowth characters to the text ("SQL notation expands to too
  // long a text"): no text makes the expansion run out of stack, time or memory.
  void Expand(UString& sql) const;
  // An empty condition holds; otherwise the trimmed, upper-cased body must be
  // the name of an active user macro or of a predefined macro.
  bool CheckIfCondition(UStringView body) const;

  virtual char16_t LeftQuote() const { return u'"'; }
  virtual char16_t RightQuote() const { return u'"'; }

 protected:
  // The text for a function that is not in the table. Raises
  // "Unknown function: <name>".
  virtual UString FormatUnknownFunction(const UString& name, const std::vector<UString>& args) const;

  // Installed by the provider's formatter; shared, owned by the provider's unit.
  const TNameTextTable* FFunctions = nullptr;
  const TNameTextTable* FPredefinedMacros = nullptr;

 private:
  // The running totals of one expansion.
  struct TExpansion {
    int Nesting = 0;   // brace constructs and macro expansions open now
    size_t Added = 0;  // characters that macros and function templates have added
  };
  // Counts `added` - `taken` characters as added by the notation.
  static void Grow(TExpansion& expansion, size_t added, size_t taken);

  // `depth`: how many macro expansions lead to this text.
  UString ExpandText(const UString& text, int depth, TExpansion& expansion) const;
  UString ExpandLexemes(TParser& parser, const UString* terminator, int depth, TExpansion& expansion) const;
  UString FormatFunction(const UString& body) const;
  UString FormatLiteral(const UString& body, const char16_t* tableName, const char16_t* message) const;
  UString ExpandMacro(const UString& name, const UString& body, int depth, TExpansion& expansion) const;
  const UString& FunctionTemplate(const char16_t* name) const;

  const std::vector<UString>* FUserMacroNames = nullptr;
  const std::vector<UString>* FUserMacroValues = nullptr;
  TParserClass FParserClass = NewParser<TSQLParser>;
};

// Fills a function template: "%s" takes the next argument, "%0:s".."%9:s" the
// one at that position, "%%" is a percent sign. Raises
// "No argument for format '<directive>'" when an argument is missing.
UString FormatTemplate(UStringView pattern, const std::vector<UString>& args);

// A formatter class as a value: its type, and how to make one.
struct TVixSqlFormatterClass {
  std::type_index Type;
  std::unique_ptr<TVixSqlFormatter> (*Create)();
};
template <typename T>
TVixSqlFormatterClass VixSqlFormatterClass() {
  return {typeid(T), [] { return std::unique_ptr<TVixSqlFormatter>(std::make_unique<T>()); }};
}

}  // namespace vix
