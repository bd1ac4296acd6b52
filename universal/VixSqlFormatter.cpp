#include "universal/VixSqlFormatter.h"

#include <algorithm>

#include "rtl/SysUtils.h"

namespace vix {

namespace {

// A lexeme that is the one symbol character `which`.
bool IsSymbol(int code, const UString& text, char16_t which) {
  return code != lkString && code != lkIdent && code != lkComment && code != lkBlank && code != lkNumber &&
         code != lkEnd && text.size() == 1 && text[0] == which;
}

// A name of a brace construct or function: an identifier or a keyword.
bool IsName(const TParser& parser, int code, const UString& text) {
  return code == lkIdent || (code > 0 && parser.KeywordLexems().Find(text) != nullptr);
}

bool Contains(const std::vector<UString>* list, UStringView name) {
  if (!list) return false;
  return std::any_of(list->begin(), list->end(), [&](const UString& item) { return SameText(item, name); });
}

}  // namespace

const UString* FindInTable(const TNameTextTable& table, UStringView name) {
  for (const auto& [key, text] : table)
    if (SameText(key, name)) return &text;
  return nullptr;
}

UString FormatTemplate(UStringView pattern, const std::vector<UString>& args) {
  UString out;
  size_t next = 0;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != u'%') {
      out.push_back(pattern[i]);
      continue;
    }
    const size_t start = i++;
    if (i < pattern.size() && pattern[i] == u'%') {
      out.push_back(u'%');
      continue;
    }
    size_t index = next;
    if (i + 1 < pattern.size() && pattern[i] >= u'0' && pattern[i] <= u'9' && pattern[i + 1] == u':') {
      index = static_cast<size_t>(pattern[i] - u'0');
      i += 2;
    }
    if (i >= pattern.size() || (pattern[i] != u's' && pattern[i] != u'S'))
      throw EConvertError(u"Format '" + UString(pattern) + u"' invalid or incompatible with argument");
    if (index >= args.size())
      throw EConvertError(u"No argument for format '" + UString(pattern.substr(start, i + 1 - start)) + u"'");
    out += args[index];
    next = index + 1;
  }
  return out;
}

TVixSqlFormatter::TVixSqlFormatter() = default;

TVixSqlFormatter::~TVixSqlFormatter() = default;

void TVixSqlFormatter::SetUserMacros(const std::vector<UString>* names, const std::vector<UString>* values) {
  FUserMacroNames = names;
  FUserMacroValues = values;
}

void TVixSqlFormatter::Expand(UString& sql) const {
  TExpansion expansion;
  UString result = ExpandText(sql, 0, expansion);
  sql = std::move(result);
}

void TVixSqlFormatter::Grow(TExpansion& expansion, size_t added, size_t taken) {
  if (added <= taken) return;
  expansion.Added += added - taken;
  if (expansion.Added > kMaxNotationGrowth) throw Exception(u"SQL notation expands to too long a text");
}

UString TVixSqlFormatter::ExpandText(const UString& text, int depth, TExpansion& expansion) const {
  std::unique_ptr<TParser> parser = FParserClass(text);
  parser->SetOmitBlank(false);
  parser->SetOmitComment(false);
  parser->SetUppered(false);
  parser->SetQuotedString(true);
  return ExpandLexemes(*parser, nullptr, depth, expansion);
}

bool TVixSqlFormatter::CheckIfCondition(UStringView body) const {
  const UString name = Trim(UpperCase(body));
  if (name.empty()) return true;
  return Contains(FUserMacroNames, name) || (FPredefinedMacros && FindInTable(*FPredefinedMacros, name));
}

UString TVixSqlFormatter::ExpandLexemes(TParser& parser, const UString* terminator, int depth,
                                        TExpansion& expansion) const {
  if (expansion.Nesting >= kMaxNotationNesting) throw Exception(u"SQL notation is nested too deeply");
  ++expansion.Nesting;
  struct TLeave {
    int& Nesting;
    ~TLeave() { --Nesting; }
  } leave{expansion.Nesting};
  struct TCondition {
    bool Value;
    bool ElseSeen;
  };
  std::vector<TCondition> stack;
  bool emitting = true;
  auto recompute = [&] {
    emitting = std::all_of(stack.begin(), stack.end(), [](const TCondition& c) { return c.Value; });
  };
  UString out, lexem;
  for (;;) {
    const int code = parser.GetNext(lexem);
    if (code == lkEnd) break;
    if (terminator && IsSymbol(code, lexem, (*terminator)[0])) break;
    if (IsSymbol(code, lexem, u'{')) {
      UString name;
      const int nameCode = parser.GetNext(name);
      if (!IsName(parser, nameCode, name)) throw Exception(u"Empty macro or function name");
      UString next;
      const int nextCode = parser.GetNext(next);
      UString body;
      static const UString closing = u"}";
      if (nextCode == lkBlank) body = ExpandLexemes(parser, &closing, depth, expansion);
      else if (!IsSymbol(nextCode, next, u'}')) throw Exception(u"Unexpected character");
      const UString lower = LowerCase(name);
      if (lower == u"if") {
        stack.push_back({CheckIfCondition(body), false});
        recompute();
      } else if (lower == u"else") {
        if (stack.empty() || stack.back().ElseSeen) throw Exception(u"Unexpected {else}");
        stack.back().ElseSeen = true;
        stack.back().Value = !stack.back().Value;
        recompute();
      } else if (lower == u"endif") {
        if (stack.empty()) throw Exception(u"Unexpected {endif}");
        stack.pop_back();
        recompute();
      } else if (emitting && lower != u"fn" && lower != u"date" && lower != u"time" && lower != u"timestamp") {
        out += ExpandMacro(name, body, depth, expansion);
      } else if (emitting) {
        UString text;
        if (lower == u"fn") text = FormatFunction(body);
        else if (lower == u"date")
          text = FormatLiteral(body, u"__DATE_LITERAL",
                               u"Invalid year-month-day string. The format is {date 'yyyy-mm-dd'}");
        else if (lower == u"time")
          text = FormatLiteral(body, u"__TIME_LITERAL",
                               u"Invalid hour-minute-second string. The format is {time 'hh:mm:ss'}");
        else
          text = FormatLiteral(body, u"__DATE_TIME_LITERAL",
                               u"Invalid timestamp string. The format is {timestamp 'yyyy-mm-dd hh:mm:ss'}");
        // A template may repeat an argument: what it adds counts.
        Grow(expansion, text.size(), body.size());
        out += text;
      }
      continue;
    }
    if (!emitting) continue;
    if (code == lkIdent && lexem.size() >= 2 && lexem.front() == u'"' && lexem.back() == u'"') {
      out += LeftQuote();
      out.append(lexem, 1, lexem.size() - 2);
      out += RightQuote();
    } else if (code == lkComment && lexem.size() >= 2 && lexem[0] == u'-' && lexem[1] == u'-' &&
               lexem.find(u"*/") == UString::npos) {
      out += u"/*";
      out.append(lexem, 2, UString::npos);
      out += u"*/";
    } else {
      out += lexem;
    }
  }
  if (!stack.empty()) throw Exception(u"{if} statement not completed");
  return out;
}

UString TVixSqlFormatter::FormatFunction(const UString& body) const {
  std::unique_ptr<TParser> parser = FParserClass(body);
  parser->SetOmitBlank(true);
  parser->SetUppered(false);
  parser->SetQuotedString(true);
  parser->ToBegin();
  UString name, lexem;
  int code = parser->GetNext(name);
  if (!IsName(*parser, code, name)) throw Exception(u"Empty function name");
  std::vector<UString> args;
  code = parser->GetNext(lexem);
  if (code != lkEnd) {
    if (!IsSymbol(code, lexem, u'(')) throw Exception(u"Unexpected character");
    size_t start = static_cast<size_t>(parser->CurrPos());
    int depth = 0;
    // The call must end with a ")" that closes it, not one that closes a
    // nested bracket: "F((a, b)" is unbalanced too.
    bool lastClosesCall = false;
    for (code = parser->GetNext(lexem); code != lkEnd; code = parser->GetNext(lexem)) {
      const bool comma = IsSymbol(code, lexem, u',');
      const bool closing = IsSymbol(code, lexem, u')');
      lastClosesCall = closing && depth == 0;
      if (depth == 0 && (comma || closing)) {
        const auto at = static_cast<size_t>(parser->LexemPos());
        args.push_back(body.substr(start, at - start));
        start = at + 1;
      } else if (IsSymbol(code, lexem, u'(')) {
        ++depth;
      } else if (closing) {
        --depth;
      }
    }
    if (depth != 0 || !lastClosesCall) throw Exception(u"Invalid bracket count in function call");
  }
  const UString* pattern = FFunctions ? FindInTable(*FFunctions, name) : nullptr;
  if (!pattern) return FormatUnknownFunction(name, args);
  if (args.empty()) return *pattern;
  if (args.size() > 3) throw Exception(Format(u"Wrong argument count for function: %s", {name}));
  return FormatTemplate(*pattern, args);
}

UString TVixSqlFormatter::FormatUnknownFunction(const UString& name, const std::vector<UString>&) const {
  throw Exception(Format(u"Unknown function: %s", {name}));
}

const UString& TVixSqlFormatter::FunctionTemplate(const char16_t* name) const {
  const UString* pattern = FFunctions ? FindInTable(*FFunctions, name) : nullptr;
  if (!pattern)
    throw Exception(u"Assertion failure (VixSqlFormatter, line " + IntToStr(__LINE__) +
                    u"): the function table has no " + name);
  return *pattern;
}

UString TVixSqlFormatter::FormatLiteral(const UString& body, const char16_t* tableName, const char16_t* message) const {
  const UString text = Trim(body);
  if (text.size() < 2 || text.front() != u'\'' || text.back() != u'\'') throw Exception(message);
  return FormatTemplate(FunctionTemplate(tableName), {text});
}

UString TVixSqlFormatter::ExpandMacro(const UString& name, const UString& body, int depth,
                                      TExpansion& expansion) const {
  const UString key = Trim(UpperCase(name));
  const UString tail = body.empty() ? UString() : u" " + body;
  UString result;
  bool found = false;
  if (FUserMacroNames && FUserMacroValues) {
    for (size_t i = 0; i < FUserMacroNames->size() && i < FUserMacroValues->size(); ++i) {
      if (SameText((*FUserMacroNames)[i], key)) {
        result = (*FUserMacroValues)[i] + tail;
        found = true;
        break;
      }
    }
  }
  if (!found && FPredefinedMacros) {
    if (const UString* text = FindInTable(*FPredefinedMacros, key)) result = *text + tail;
  }
  if (result.empty()) return result;
  // A chain of expansions longer than the number of macros has met one of
  // them twice: it would never end.
  const size_t macroCount =
      (FUserMacroNames ? FUserMacroNames->size() : 0) + (FPredefinedMacros ? FPredefinedMacros->size() : 0);
  if (static_cast<size_t>(depth) >= macroCount) throw Exception(Format(u"Cyclic macro: %s", {name}));
  // Every expansion counts, even of a macro that adds nothing in the end.
  Grow(expansion, result.size() + 1, body.size());
  return ExpandText(result, depth + 1, expansion);
}

}  // namespace vix
