#include "universal/VixProvider.h"

#include <algorithm>
#include <iterator>

#include "Common/ZelAccess.h"

namespace vix {

namespace {

// Registry names: ASCII letters compared without case, everything else exactly.
bool SameTextAscii(UStringView a, UStringView b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - 0x20);
    if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - 0x20);
    if (x != y) return false;
  }
  return true;
}

[[noreturn]] void InvalidProviderName(UStringView name) {
  throw Exception(Format(u"%s is not a valid provider name", {name}));
}

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

// ===========================================================================
// Options
// ===========================================================================

TOption::TOption(UString name, int32_t internalIndex, std::vector<std::type_index> internalClasses,
                 Variant defaultValue)
    : FOptionName(std::move(name)),
      FInternalIndex(internalIndex),
      FInternalClasses(std::move(internalClasses)),
      FDefaultValue(std::move(defaultValue)) {}

TOption::~TOption() = default;

bool TOption::AppliesTo(std::type_index cls) const {
  return std::find(FInternalClasses.begin(), FInternalClasses.end(), cls) != FInternalClasses.end();
}

bool TOption::CheckValue(const UString&) const {
  return true;
}

void TOption::Validate(const UString& value) const {
  if (!CheckValue(value)) throw Exception(u"Invalid value: " + value + u" for option " + FOptionName);
}

Variant TOption::GetAsNative(const UString& value) const {
  return Variant(value);
}

UString TOption::GetAsString(const Variant& value) const {
  return value.IsEmptyOrNull() ? UString() : value.AsString();
}

void TOption::GetValuesList(std::vector<UString>& list) const {
  list.clear();
}

// --- integer ---------------------------------------------------------------

TIntegerOption::TIntegerOption(UString name, int32_t internalIndex, std::vector<std::type_index> internalClasses,
                               int32_t defaultValue)
    : TOption(std::move(name), internalIndex, std::move(internalClasses), Variant(defaultValue)) {}

bool TIntegerOption::CheckValue(const UString& value) const {
  int32_t n = 0;
  return TryStrToInt(Trim(value), n);
}

Variant TIntegerOption::GetAsNative(const UString& value) const {
  return Variant(StrToInt(Trim(value)));
}

UString TIntegerOption::GetAsString(const Variant& value) const {
  return IntToStr(value.AsInteger());
}

// --- boolean ---------------------------------------------------------------

TBooleanOption::TBooleanOption(UString name, int32_t internalIndex, std::vector<std::type_index> internalClasses,
                               bool defaultValue)
    : TOption(std::move(name), internalIndex, std::move(internalClasses), Variant(defaultValue)) {}

bool TBooleanOption::CheckValue(const UString& value) const {
  const UString t = Trim(value);
  return SameText(t, u"True") || SameText(t, u"False");
}

Variant TBooleanOption::GetAsNative(const UString& value) const {
  return Variant(SameText(Trim(value), u"True"));
}

UString TBooleanOption::GetAsString(const Variant& value) const {
  return value.AsBoolean() ? u"True" : u"False";
}

void TBooleanOption::GetValuesList(std::vector<UString>& list) const {
  list = {u"False", u"True"};
}

// --- enumeration -----------------------------------------------------------

TEnumeratorOption::TEnumeratorOption(UString name, int32_t internalIndex,
                                     std::vector<std::type_index> internalClasses, int32_t defaultValue,
                                     UString typeName, std::vector<UString> valueNames, int32_t minValue)
    : TOption(std::move(name), internalIndex, std::move(internalClasses), Variant(defaultValue)),
      FTypeName(std::move(typeName)),
      FValueNames(std::move(valueNames)),
      FMinValue(minValue) {
  if (FValueNames.empty() || FValueNames.size() > 256 || minValue < 0 || GetMaxValue() > 255)
    throw Exception(u"Enumeration " + FTypeName + u" of option " + GetOptionName() +
                    u" needs 1 to 256 values with ordinals up to 255");
}

int TEnumeratorOption::IndexOfText(const UString& value) const {
  UString t = Trim(value);
  if (Underscored()) t.insert(0, 1, u'_');
  for (size_t i = 0; i < FValueNames.size(); ++i)
    if (SameText(FValueNames[i], t)) return static_cast<int>(i);
  return -1;
}

UString TEnumeratorOption::TextOfIndex(size_t index) const {
  const UString& name = FValueNames[index];
  return Underscored() && !name.empty() ? name.substr(1) : name;
}

bool TEnumeratorOption::CheckValue(const UString& value) const {
  return IndexOfText(value) >= 0;
}

Variant TEnumeratorOption::GetAsNative(const UString& value) const {
  const int index = IndexOfText(value);
  if (index < 0) Validate(value);
  return Variant(static_cast<int32_t>(FMinValue + index));
}

UString TEnumeratorOption::GetAsString(const Variant& value) const {
  const int64_t index = static_cast<int64_t>(value.AsInteger()) - FMinValue;
  if (index < 0 || index >= static_cast<int64_t>(FValueNames.size())) return UString();
  return TextOfIndex(static_cast<size_t>(index));
}

void TEnumeratorOption::GetValuesList(std::vector<UString>& list) const {
  list.clear();
  for (size_t i = 0; i < FValueNames.size(); ++i) list.push_back(TextOfIndex(i));
}

// --- one line ----------------------------------------------------------------

TOptionLine SplitOptionLine(UStringView line) {
  TOptionLine result;
  const size_t eq = line.find(u'=');
  if (eq == UStringView::npos) return result;
  size_t dot = line.find(u'.');
  if (dot != UStringView::npos && dot > eq) dot = UStringView::npos;  // the dot belongs to the value
  result.Valid = true;
  if (dot != UStringView::npos) {
    result.Prefix = UString(line.substr(0, dot));
    result.Name = UString(line.substr(dot + 1, eq - dot - 1));
  } else {
    result.Name = UString(line.substr(0, eq));
  }
  result.Value = UString(line.substr(eq + 1));
  return result;
}

// --- option list -------------------------------------------------------------

TOptionsList::TOptionsList(UString prefix) : FPrefix(std::move(prefix)) {}

TOptionsList::~TOptionsList() = default;

TOption* TOptionsList::Add(std::unique_ptr<TOption> option) {
  const auto at = std::upper_bound(FOptions.begin(), FOptions.end(), option,
                                   [](const std::unique_ptr<TOption>& a, const std::unique_ptr<TOption>& b) {
                                     return CompareText(a->GetOptionName(), b->GetOptionName()) < 0;
                                   });
  return FOptions.insert(at, std::move(option))->get();
}

TOption* TOptionsList::OptionByName(UStringView name) const {
  for (const auto& option : FOptions)
    if (SameText(option->GetOptionName(), name)) return option.get();
  return nullptr;
}

TOption* TOptionsList::GetOption(int index) const {
  if (index < 0 || index >= Count()) ListIndexError(index);
  return FOptions[static_cast<size_t>(index)].get();
}

void TOptionsList::ImportOptions(std::span<const UString> lines, TOptionTarget& target) const {
  std::vector<TOptionLine> split;
  split.reserve(lines.size());
  for (const UString& line : lines) split.push_back(SplitOptionLine(line));
  const std::type_index cls = target.ClassType();
  for (const auto& option : FOptions) {
    if (!option->AppliesTo(cls)) continue;
    const TOptionLine* found = nullptr;
    for (const TOptionLine& line : split) {
      if (line.Valid && (line.Prefix.empty() || SameText(line.Prefix, FPrefix)) &&
          SameText(line.Name, option->GetOptionName())) {
        found = &line;
        break;
      }
    }
    Variant value;
    if (found) {
      option->Validate(found->Value);
      value = option->GetAsNative(found->Value);
    } else {
      value = option->GetDefaultValue();
    }
    target.SetProp(option->GetInternalIndex(), value);
  }
}

// --- option text ---------------------------------------------------------------

namespace {

bool IsPrefixed(UStringView line) {
  const size_t dot = line.find(u'.');
  if (dot == UStringView::npos) return false;
  const size_t eq = line.find(u'=');
  return eq == UStringView::npos || dot < eq;
}

}  // namespace

template <typename Change>
void TSpecificOptionsList::Changing(Change change) {
  FHolder.ValuesChanging();
  change();
  FHolder.ValuesChanged();
}

const UString& TSpecificOptionsList::Get(int index) const {
  if (index < 0 || index >= Count()) ListIndexError(index);
  return FLines[static_cast<size_t>(index)];
}

UString TSpecificOptionsList::GetText() const {
  UString text;
  for (const UString& line : FLines) text += line + u"\r\n";
  return text;
}

UString TSpecificOptionsList::Complete(const UString& line) const {
  if (line.empty() || IsPrefixed(line)) return line;
  return FHolder.GetProvider().GetProviderName() + u"." + line;
}

int TSpecificOptionsList::Add(const UString& line) {
  UString stored = Complete(line);
  Changing([&] { FLines.push_back(std::move(stored)); });
  return Count() - 1;
}

void TSpecificOptionsList::Insert(int index, const UString& line) {
  if (index < 0 || index > Count()) ListIndexError(index);
  UString stored = Complete(line);
  Changing([&] { FLines.insert(FLines.begin() + index, std::move(stored)); });
}

void TSpecificOptionsList::Put(int index, const UString& line) {
  Get(index);
  UString stored = Complete(line);
  Changing([&] { FLines[static_cast<size_t>(index)] = std::move(stored); });
}

void TSpecificOptionsList::Delete(int index) {
  Get(index);
  Changing([&] { FLines.erase(FLines.begin() + index); });
}

void TSpecificOptionsList::Clear() {
  Changing([&] { FLines.clear(); });
}

void TSpecificOptionsList::Assign(const std::vector<UString>& lines) {
  std::vector<UString> stored;
  stored.reserve(lines.size());
  for (const UString& line : lines) stored.push_back(Complete(line));
  Changing([&] { FLines = std::move(stored); });
}

void TSpecificOptionsList::SetText(const UString& text) {
  std::vector<UString> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of(u"\r\n", start);
    if (end == UString::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    if (end < text.size() && text[end] == u'\r' && end + 1 < text.size() && text[end + 1] == u'\n') ++end;
    start = end + 1;
  }
  Assign(lines);
}

int TSpecificOptionsList::IndexOfName(const UString& name) const {
  auto find = [&](UStringView wanted) {
    for (size_t i = 0; i < FLines.size(); ++i) {
      const size_t eq = FLines[i].find(u'=');
      if (eq != UString::npos && SameText(UStringView(FLines[i]).substr(0, eq), wanted)) return static_cast<int>(i);
    }
    return -1;
  };
  int index = find(name);
  if (index < 0 && name.find(u'.') == UString::npos)
    index = find(FHolder.GetProvider().GetProviderName() + u"." + name);
  return index;
}

UString TSpecificOptionsList::Values(const UString& name) const {
  const int index = IndexOfName(name);
  if (index < 0) return UString();
  const UString& line = FLines[static_cast<size_t>(index)];
  return line.substr(line.find(u'=') + 1);
}

void TSpecificOptionsList::SetValues(const UString& name, const UString& value) {
  const int index = IndexOfName(name);
  if (value.empty()) {
    if (index >= 0) Delete(index);
  } else if (index >= 0) {
    Put(index, name + u"=" + value);
  } else {
    Add(name + u"=" + value);
  }
}

TSpecificOptionsHolder::TSpecificOptionsHolder(std::function<TVixProvider&()> getProvider)
    : FGetProvider(std::move(getProvider)) {
  if (!FGetProvider) FGetProvider = []() -> TVixProvider& { throw EDatabaseError(u"Provider is not defined"); };
}

TSpecificOptionsHolder::~TSpecificOptionsHolder() = default;

// ===========================================================================
// Providers
// ===========================================================================

TVixProvider::TVixProvider() = default;

TVixProvider::~TVixProvider() = default;

TOptionsList& TVixProvider::Lazy(std::unique_ptr<TOptionsList>& list, void (TVixProvider::*create)(TOptionsList&)) {
  if (!list) {
    auto made = std::make_unique<TOptionsList>(GetProviderName());
    (this->*create)(*made);
    list = std::move(made);
  }
  return *list;
}

TOptionsList& TVixProvider::GetConnectionOptions() {
  return Lazy(FConnectionOptions, &TVixProvider::CreateConnectionOptions);
}
TOptionsList& TVixProvider::GetSQLOptions() {
  return Lazy(FSQLOptions, &TVixProvider::CreateSQLOptions);
}
TOptionsList& TVixProvider::GetDataSetOptions() {
  return Lazy(FDataSetOptions, &TVixProvider::CreateDataSetOptions);
}
TOptionsList& TVixProvider::GetScriptOptions() {
  return Lazy(FScriptOptions, &TVixProvider::CreateScriptOptions);
}
TOptionsList& TVixProvider::GetLoaderOptions() {
  return Lazy(FLoaderOptions, &TVixProvider::CreateLoaderOptions);
}
TOptionsList& TVixProvider::GetDumpOptions() {
  return Lazy(FDumpOptions, &TVixProvider::CreateDumpOptions);
}
TOptionsList& TVixProvider::GetAlerterOptions() {
  return Lazy(FAlerterOptions, &TVixProvider::CreateAlerterOptions);
}

void TVixProvider::SetObjectProps(TOptionTarget& target, std::span<const UString> options) {
  switch (target.Kind()) {
    case otConnection:
    case otConnectionParameters:
    case otServerEnumerator:
    case otConnectDialogService:
      GetConnectionOptions().ImportOptions(options, target);
      break;
    case otCommand:
      GetSQLOptions().ImportOptions(options, target);
      break;
    case otRecordSet:
      GetDataSetOptions().ImportOptions(options, target);
      if (TOptionTarget* command = target.Command()) GetDataSetOptions().ImportOptions(options, *command);
      break;
    case otDataSetService:
      GetDataSetOptions().ImportOptions(options, target);
      break;
    case otScriptProcessor:
      GetScriptOptions().ImportOptions(options, target);
      break;
    case otLoader:
      GetLoaderOptions().ImportOptions(options, target);
      break;
    case otDumpProcessor:
      GetDumpOptions().ImportOptions(options, target);
      break;
    case otAlerter:
      GetAlerterOptions().ImportOptions(options, target);
      break;
    case otOther:
      break;
  }
}

// --- registry ------------------------------------------------------------------

TVixProviders::TVixProviders() {
  static const char16_t* const names[][2] = {
      {u"Access", u"Access"},         {u"Advantage", u"Advantage"}, {u"ASE", u"ASE"},
      {u"DB2", u"DB2"},               {u"DBF", u"DBF"},             {u"InterBase", u"InterBase"},
      {u"MySQL", u"MySQL"},           {u"NexusDB", u"NexusDB"},     {u"ODBC", u"ODBC"},
      {u"Oracle", u"Oracle"},         {u"PostgreSQL", u"PostgreSQL"}, {u"SQL Server", u"SQLServer"},
      {u"SQLite", u"SQLite"},
  };
  for (const auto& name : names) {
    auto desc = std::make_unique<TVixProviderDesc>();
    desc->ProviderName = name[0];
    desc->ProviderShortName = name[1];
    FList.push_back(std::move(desc));
  }
}

TVixProviders::~TVixProviders() = default;

TVixProviderDesc* TVixProviders::Find(UStringView name) {
  for (const auto& desc : FList)
    if (SameTextAscii(desc->ProviderName, name)) return desc.get();
  return nullptr;
}

TVixProviderDesc& TVixProviders::FindOrRaise(UStringView name) {
  TVixProviderDesc* desc = Find(name);
  if (!desc) InvalidProviderName(name);
  return *desc;
}

void TVixProviders::RegisterProvider(const TVixProviderClass& cls) {
  const UString name = cls.ProviderName();
  std::lock_guard<std::mutex> lock(FLock);
  TVixProviderDesc& desc = FindOrRaise(name);
  if (!desc.Provider) desc.Provider = cls.Create();
}

void TVixProviders::UnRegisterProvider(const TVixProviderClass& cls) {
  const UString name = cls.ProviderName();
  std::unique_ptr<TVixProvider> old;
  {
    std::lock_guard<std::mutex> lock(FLock);
    old = std::move(FindOrRaise(name).Provider);
  }
}

TVixProviderDesc& TVixProviders::GetProviderDesc(UStringView name) {
  std::lock_guard<std::mutex> lock(FLock);
  return FindOrRaise(name);
}

TVixProvider* TVixProviders::GetProvider(UStringView name) {
  std::lock_guard<std::mutex> lock(FLock);
  const TVixProviderDesc* desc = Find(name);
  return desc ? desc->Provider.get() : nullptr;
}

void TVixProviders::GetProviderNames(std::vector<UString>& list) {
  std::lock_guard<std::mutex> lock(FLock);
  list.clear();
  for (const auto& desc : FList)
    if (desc->Provider) list.push_back(desc->ProviderName);
}

std::vector<UString> TVixProviders::GetDescriptorNames() {
  std::lock_guard<std::mutex> lock(FLock);
  std::vector<UString> names;
  for (const auto& desc : FList) names.push_back(desc->ProviderName);
  return names;
}

TVixProviders& VixProviders() {
  static TVixProviders registry;
  return registry;
}

void RaiseProviderNotRegistered(UStringView name) {
  const UString shortName = VixProviders().GetProviderDesc(name).ProviderShortName;
  throw Exception(Format(
      u"%s provider is not registered. You should add the %s unit to the uses clause of any unit in your project "
      u"or place the %s component on the form.",
      {name, shortName + u"VixProvider", u"T" + shortName + u"VixProvider"}));
}

// ===========================================================================
// SQL notation
// ===========================================================================

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
  UString result = ExpandText(sql, 0);
  sql = std::move(result);
}

UString TVixSqlFormatter::ExpandText(const UString& text, int depth) const {
  std::unique_ptr<TParser> parser = FParserClass(text);
  parser->SetOmitBlank(false);
  parser->SetOmitComment(false);
  parser->SetUppered(false);
  parser->SetQuotedString(true);
  return ExpandLexemes(*parser, nullptr, depth);
}

bool TVixSqlFormatter::CheckIfCondition(UStringView body) const {
  const UString name = Trim(UpperCase(body));
  if (name.empty()) return true;
  return Contains(FUserMacroNames, name) || (FPredefinedMacros && FindInTable(*FPredefinedMacros, name));
}

UString TVixSqlFormatter::ExpandLexemes(TParser& parser, const UString* terminator, int depth) const {
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
      if (nextCode == lkBlank)
        body = ExpandLexemes(parser, &closing, depth);
      else if (!IsSymbol(nextCode, next, u'}'))
        throw Exception(u"Unexpected character");
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
      } else if (emitting) {
        if (lower == u"fn")
          out += FormatFunction(body);
        else if (lower == u"date")
          out += FormatLiteral(body, u"__DATE_LITERAL",
                               u"Invalid year-month-day string. The format is {date 'yyyy-mm-dd'}");
        else if (lower == u"time")
          out += FormatLiteral(body, u"__TIME_LITERAL",
                               u"Invalid hour-minute-second string. The format is {time 'hh:mm:ss'}");
        else if (lower == u"timestamp")
          out += FormatLiteral(body, u"__DATE_TIME_LITERAL",
                               u"Invalid timestamp string. The format is {timestamp 'yyyy-mm-dd hh:mm:ss'}");
        else
          out += ExpandMacro(name, body, depth);
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
    throw Exception(u"Assertion failure (VixProvider, line " + IntToStr(__LINE__) + u"): the function table has no " +
                    name);
  return *pattern;
}

UString TVixSqlFormatter::FormatLiteral(const UString& body, const char16_t* tableName,
                                        const char16_t* message) const {
  const UString text = Trim(body);
  if (text.size() < 2 || text.front() != u'\'' || text.back() != u'\'') throw Exception(message);
  return FormatTemplate(FunctionTemplate(tableName), {text});
}

UString TVixSqlFormatter::ExpandMacro(const UString& name, const UString& body, int depth) const {
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
  return ExpandText(result, depth + 1);
}

}  // namespace vix
