#include "universal/VixOptions.h"

#include <algorithm>

#include "Common/DBTypes.h"
#include "Common/ZelAccess.h"
#include "universal/VixProvider.h"

namespace vix {

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

TEnumeratorOption::TEnumeratorOption(UString name, int32_t internalIndex, std::vector<std::type_index> internalClasses,
                                     int32_t defaultValue, UString typeName, std::vector<UString> valueNames,
                                     int32_t minValue)
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
  const auto at = std::lower_bound(FOptions.begin(), FOptions.end(), name,
                                   [](const std::unique_ptr<TOption>& option, UStringView n) {
                                     return CompareText(option->GetOptionName(), n) < 0;
                                   });
  return at != FOptions.end() && SameText((*at)->GetOptionName(), name) ? at->get() : nullptr;
}

TOption* TOptionsList::GetOption(int index) const {
  if (index < 0 || index >= Count()) ListIndexError(index);
  return FOptions[static_cast<size_t>(index)].get();
}

void TOptionsList::ImportOptions(std::span<const UString> lines, TOptionTarget& target) const {
  // Each line of this provider finds its option by name in the sorted list;
  // where a name is given twice, the first line holds.
  std::vector<TOptionLine> split;
  split.reserve(lines.size());
  std::vector<const TOptionLine*> given(FOptions.size(), nullptr);
  for (const UString& text : lines) split.push_back(SplitOptionLine(text));
  for (const TOptionLine& line : split) {
    if (!line.Valid || !(line.Prefix.empty() || SameText(line.Prefix, FPrefix))) continue;
    const auto at = std::lower_bound(FOptions.begin(), FOptions.end(), UStringView(line.Name),
                                     [](const std::unique_ptr<TOption>& option, UStringView name) {
                                       return CompareText(option->GetOptionName(), name) < 0;
                                     });
    // Options of one name for different objects stand side by side.
    for (auto it = at; it != FOptions.end() && SameText((*it)->GetOptionName(), line.Name); ++it) {
      const TOptionLine*& slot = given[static_cast<size_t>(it - FOptions.begin())];
      if (!slot) slot = &line;
    }
  }
  const std::type_index cls = target.ClassType();
  for (size_t i = 0; i < FOptions.size(); ++i) {
    const TOption& option = *FOptions[i];
    if (!option.AppliesTo(cls)) continue;
    Variant value;
    if (const TOptionLine* found = given[i]) {
      option.Validate(found->Value);
      value = option.GetAsNative(found->Value);
    } else {
      value = option.GetDefaultValue();
    }
    target.SetProp(option.GetInternalIndex(), value);
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

}  // namespace vix
