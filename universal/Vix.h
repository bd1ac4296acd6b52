// The universal connection's side of the SQL notation: its user macros (each
// active under a condition), the active macros built from them, and the
// expansion of a text through the provider's formatter.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "rtl/UString.h"
#include "rtl/Variant.h"
#include "universal/VixProvider.h"

namespace vix {

class TVixMacros;

// One user macro: "{Name}" stands for Value while Condition holds (an empty
// condition always holds).
class TVixMacro {
 public:
  const UString& GetName() const { return FName; }
  void SetName(const UString& value) { Set(FName, value); }
  const UString& GetValue() const { return FValue; }
  void SetValue(const UString& value) { Set(FValue, value); }
  const UString& GetCondition() const { return FCondition; }
  void SetCondition(const UString& value) { Set(FCondition, value); }

 private:
  friend class TVixMacros;
  explicit TVixMacro(TVixMacros& owner) : FOwner(owner) {}
  void Set(UString& field, const UString& value);

  TVixMacros& FOwner;
  UString FName;
  UString FValue;
  UString FCondition;
};

// The user macros of a connection, in order, and the active macros built
// from them. Every change outside an update marks the active macros for a
// rebuild and counts one more version.
class TVixMacros {
 public:
  TVixMacros();
  ~TVixMacros();
  TVixMacros(const TVixMacros&) = delete;
  TVixMacros& operator=(const TVixMacros&) = delete;

  TVixMacro* Add(const UString& name, const UString& value, const UString& condition = UString());
  // The first macro of that name (ignoring case), or none.
  TVixMacro* FindMacro(UStringView name) const;
  // The same; adds a macro of that name when there is none.
  TVixMacro* MacroByName(const UString& name);
  int Count() const { return static_cast<int>(FItems.size()); }
  // Raises "List index out of bounds (n)" outside the list.
  TVixMacro* Items(int index) const;
  void Delete(int index);
  void Clear();
  // Changes between the two count as one, announced at the end.
  void BeginUpdate() { ++FUpdateCount; }
  void EndUpdate();

  bool GetChanged() const { return FChanged; }
  // The active macros must be rebuilt (the provider changed, say).
  void SetChanged() { FChanged = true; }
  int32_t GetVersion() const { return FVersion; }

  // The active macros: upper-case names, values at the same index.
  const std::vector<UString>& ActiveNames() const { return FActiveNames; }
  const std::vector<UString>& ActiveValues() const { return FActiveValues; }
  // Rebuilds them; `formatter` must have been given ActiveNames() and
  // ActiveValues() as its user macros. Raises "Cyclic macros conditions"
  // when conditions lead back to themselves.
  void RebuildActiveMacros(const TVixSqlFormatter& formatter);

 private:
  friend class TVixMacro;
  void Changed();
  bool EvaluateMacroCondition(const TVixSqlFormatter& formatter, int depth, const UString& cond) const;

  std::vector<std::unique_ptr<TVixMacro>> FItems;
  int FUpdateCount = 0;
  bool FUpdateChanged = false;
  bool FChanged = false;
  int32_t FVersion = 0;
  std::vector<UString> FActiveNames;
  std::vector<UString> FActiveValues;
};

// What a connection keeps for the notation: its macros and the formatter of
// its provider, made on first use.
struct TVixSqlNotation {
  TVixMacros Macros;
  std::unique_ptr<TVixSqlFormatter> Formatter;

  // Rewrites `sql` through the provider's formatter; without a provider the
  // text stays as it is. The active macros are rebuilt first when they changed.
  void ExpandSqlNotation(TVixProvider* provider, UString& sql);
  // The active macro's value, or an unassigned value when there is none or
  // no provider.
  Variant ActiveMacroValueByName(TVixProvider* provider, UStringView name);

 private:
  // A formatter of the provider's class, the active macros up to date.
  TVixSqlFormatter& Prepare(TVixProvider& provider);
};

}  // namespace vix
