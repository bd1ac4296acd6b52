#include "universal/Vix.h"

#include <algorithm>

#include "Common/ZelAccess.h"

namespace vix {

// --- TVixMacro -------------------------------------------------------------------

void TVixMacro::Set(UString& field, const UString& value) {
  if (field == value) return;
  field = value;
  FOwner.Changed();
}

// --- TVixMacros ------------------------------------------------------------------

TVixMacros::TVixMacros() = default;

TVixMacros::~TVixMacros() = default;

void TVixMacros::Changed() {
  if (FUpdateCount > 0) {
    FUpdateChanged = true;
    return;
  }
  FChanged = true;
  ++FVersion;
}

void TVixMacros::EndUpdate() {
  if (FUpdateCount > 0 && --FUpdateCount == 0 && FUpdateChanged) {
    FUpdateChanged = false;
    Changed();
  }
}

TVixMacro* TVixMacros::Add(const UString& name, const UString& value, const UString& condition) {
  BeginUpdate();
  FItems.push_back(std::unique_ptr<TVixMacro>(new TVixMacro(*this)));
  TVixMacro* macro = FItems.back().get();
  macro->FName = name;
  macro->FValue = value;
  macro->FCondition = condition;
  Changed();
  EndUpdate();
  return macro;
}

TVixMacro* TVixMacros::FindMacro(UStringView name) const {
  for (const auto& item : FItems)
    if (SameText(item->GetName(), name)) return item.get();
  return nullptr;
}

TVixMacro* TVixMacros::MacroByName(const UString& name) {
  if (TVixMacro* macro = FindMacro(name)) return macro;
  return Add(name, UString());
}

TVixMacro* TVixMacros::Items(int index) const {
  if (index < 0 || index >= Count()) ListIndexError(index);
  return FItems[static_cast<size_t>(index)].get();
}

void TVixMacros::Delete(int index) {
  Items(index);
  FItems.erase(FItems.begin() + index);
  Changed();
}

void TVixMacros::Clear() {
  if (FItems.empty()) return;
  FItems.clear();
  Changed();
}

bool TVixMacros::EvaluateMacroCondition(const TVixSqlFormatter& formatter, int depth, const UString& cond) const {
  if (Count() < depth) throw Exception(u"Cyclic macros conditions");
  if (formatter.CheckIfCondition(cond)) return true;
  for (const auto& item : FItems) {
    if (UpperCase(item->GetName()) != cond) continue;
    const UString itemCond = Trim(UpperCase(item->GetCondition()));
    if (itemCond.empty() || EvaluateMacroCondition(formatter, depth + 1, itemCond)) return true;
  }
  return false;
}

void TVixMacros::RebuildActiveMacros(const TVixSqlFormatter& formatter) {
  FActiveNames.clear();
  FActiveValues.clear();
  std::vector<UString> unconditional;  // names that unconditional items have set
  for (const auto& item : FItems) {
    const UString cond = Trim(UpperCase(item->GetCondition()));
    if (!cond.empty() && !EvaluateMacroCondition(formatter, 1, cond)) continue;
    const UString name = UpperCase(item->GetName());
    const auto at = std::find_if(FActiveNames.begin(), FActiveNames.end(),
                                 [&](const UString& n) { return SameText(n, name); });
    if (at == FActiveNames.end()) {
      FActiveNames.push_back(name);
      FActiveValues.push_back(item->GetValue());
    } else if (!cond.empty()) {
      const auto set = std::find(unconditional.begin(), unconditional.end(), name);
      if (set != unconditional.end()) {
        FActiveValues[static_cast<size_t>(at - FActiveNames.begin())] = item->GetValue();
        unconditional.erase(set);
      }
    }
    if (cond.empty()) unconditional.push_back(name);
  }
  FChanged = false;
}

// --- TVixSqlNotation -------------------------------------------------------------

namespace {

bool IsFormatterOf(const TVixSqlFormatter& formatter, const TVixSqlFormatterClass& cls) {
  return std::type_index(typeid(formatter)) == cls.Type;
}

}  // namespace

TVixSqlFormatter& TVixSqlNotation::Prepare(TVixProvider& provider) {
  const TVixSqlFormatterClass cls = provider.GetSqlFormatterClass();
  if (!Formatter || !IsFormatterOf(*Formatter, cls)) {
    Formatter.reset();
    Formatter = cls.Create();
    Formatter->SetUserMacros(&Macros.ActiveNames(), &Macros.ActiveValues());
    Formatter->SetParserClass(provider.GetParserClass());
  }
  if (Macros.GetChanged()) Macros.RebuildActiveMacros(*Formatter);
  return *Formatter;
}

void TVixSqlNotation::ExpandSqlNotation(TVixProvider* provider, UString& sql) {
  if (!provider) return;
  Prepare(*provider).Expand(sql);
}

Variant TVixSqlNotation::ActiveMacroValueByName(TVixProvider* provider, UStringView name) {
  if (!provider) return Variant();
  Prepare(*provider);
  const auto& names = Macros.ActiveNames();
  for (size_t i = 0; i < names.size(); ++i)
    if (SameText(names[i], name)) return Variant(Macros.ActiveValues()[i]);
  return Variant();
}

}  // namespace vix
