// The universal connection: a provider named by text, its option text, and
// the provider connection the provider makes; its side of the SQL notation
// (user macros, each active under a condition, and the expansion of a text
// through the provider's formatter); the query, whose record set and dataset
// options come from the connection's provider.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <vector>

#include "Common/DBAccess.h"
#include "Common/ZelAccess.h"
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

// ---------------------------------------------------------------------------
// The connection
// ---------------------------------------------------------------------------

// A provider error that left the universal connection's connect or
// disconnect step: the provider's message, code and component, the
// provider's error kept as the inner error.
class EVixError : public EDAError {
 public:
  // `inner` must hold `error`.
  EVixError(const EDAError& error, std::exception_ptr inner);
  bool IsFatalError() const override { return FFatal; }
  bool IsKeyViolation() const override { return FKeyViolation; }
  // The provider's error (an EMyError for MySQL).
  const std::exception_ptr& InnerError() const { return FInnerError; }

 private:
  std::exception_ptr FInnerError;
  bool FFatal;
  bool FKeyViolation;
};

class TVixConnection;

// The connection's option text: every change closes the connection first,
// and is applied at the next connect.
class TVixConnectionSpecificOptions : public TSpecificOptionsHolder {
 public:
  explicit TVixConnectionSpecificOptions(TVixConnection& owner);

 protected:
  void ValuesChanging() override;

 private:
  TVixConnection& FOwner;
};

using TVixConnectionOptions = TDAConnectionOptions;

// The connection that names its provider ("MySQL") and carries the provider's
// settings as option text ("MySQL.UseUnicode=True").
class TVixConnection : public TCustomDAConnection {
 public:
  TVixConnection();
  ~TVixConnection() override;

  // Stored trimmed. Raises "This operation is not allowed on active
  // connection" while connected; a name that differs (ignoring case) resolves
  // its provider again and frees the provider connection.
  const UString& GetProviderName() const { return FProviderName; }
  void SetProviderName(const UString& value);
  // The provider of the name, none while it has none.
  TVixProvider* GetProvider() const { return FProvider; }
  // A different port closes an open connection.
  int32_t GetPort() const { return FPort; }
  void SetPort(int32_t value);
  // Stored trimmed. An open connection switches its database at once when the
  // provider can (otherwise it closes); a switch the server refuses leaves
  // the name as it was.
  const UString& GetDatabase() const { return FDatabase; }
  void SetDatabase(const UString& value);
  // The option text, "Prefix.Name=Value" lines.
  TSpecificOptionsList& SpecificOptions() { return FSpecificOptions.Values(); }
  const TSpecificOptionsList& SpecificOptions() const { return FSpecificOptions.Values(); }
  bool SpecificOptionsModified() const { return FSpecificOptions.GetIsModified(); }

  // The provider, or "Provider is not defined" / the not-registered message.
  TVixProvider& CheckProvider();

  // The user macros of the notation, and a text through the provider's formatter.
  TVixMacros& Macros() { return FNotation.Macros; }
  void ExpandSqlNotation(UString& sql);

 protected:
  void CreateProviderConnection() override;
  // A provider error of these steps leaves as EVixError.
  void ConnectProvider() override;
  void ProviderConnected() override;
  void DisconnectProvider() override;

 private:
  void ApplySpecificOptions(TVixProvider& provider);
  // With Pooling on: a connected provider connection from the provider's
  // pool for this connection's settings; false when the provider has no pool.
  bool TakePooledConnection(TVixProvider& provider);

  UString FProviderName;
  TVixProvider* FProvider = nullptr;
  int32_t FPort = 0;
  UString FDatabase;
  TVixConnectionSpecificOptions FSpecificOptions{*this};
  TVixSqlNotation FNotation;
};

// ---------------------------------------------------------------------------
// The query
// ---------------------------------------------------------------------------

// The query's option text: the provider's dataset options ("MySQL.FetchAll=False").
class TVixDataSetSpecificOptions : public TSpecificOptionsHolder {
 public:
  explicit TVixDataSetSpecificOptions(TCustomDADataSet& owner);
};

// A dataset on a universal connection: the connection's provider makes its
// record set and supplies its dataset options; the final SQL goes through
// the provider's notation.
class TCustomVixDataSet : public TCustomDADataSet {
 public:
  TCustomVixDataSet();
  ~TCustomVixDataSet() override;

  // The connection as a universal one (none when the connection is another kind).
  TVixConnection* VixConnection() const;
  TSpecificOptionsList& SpecificOptions() { return FSpecificOptions.Values(); }

 protected:
  std::unique_ptr<TZelRecordSet> CreateIRecordSet() override;
  bool IsIRecordSetOfProvider(const TZelRecordSet& recordSet) const override;
  void ApplySpecificOptions(TZelRecordSet& recordSet) override;
  UString ProcessFinalSQL(UString sql) const override;
  std::unique_ptr<TZelRecordSet> CreateScanRecordSet() const override;
  void OpenCursor() override;
  std::unique_ptr<TDADataSetUpdater> CreateUpdater() override;
  void ApplyUpdaterOptions(TDADataSetUpdater& updater);

 private:
  TVixProvider& Provider() const;

  TVixDataSetSpecificOptions FSpecificOptions{*this};
};

// The query component.
class TVixQuery : public TCustomVixDataSet {
 public:
  TVixQuery();
  ~TVixQuery() override;
};

// The update object of a universal query: its texts, or its queries
// (TVixQuery on the same connection), write, read again and lock the
// dataset's records.
class TVixUpdateSQL : public TCustomDAUpdateSQL {};

}  // namespace vix
