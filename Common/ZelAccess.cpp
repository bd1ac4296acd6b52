#include "Common/ZelAccess.h"
#include "Common/ZelConnectionPool.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "Common/ZelVio.h"
#include "rtl/SysUtils.h"

namespace vix {

void ListIndexError(int index) {
  throw Exception(Format(u"List index out of bounds (%d)", {index}));
}

// --- TParamDesc ------------------------------------------------------------------

TParamDesc::~TParamDesc() = default;

void TParamDesc::SetValue(const Variant& value) {
  FData = value;
  FIsNull = value.IsEmptyOrNull();
}

void TParamDesc::SetNull(bool value) {
  FIsNull = value;
  if (value && FData.VarType() != varObject) FData = Variant::Null();
}

void TParamDesc::SetObject(TSharedObject* value) {
  FData = Variant::FromObject(value);
  FIsNull = value == nullptr;
}

TSharedObject* TParamDesc::GetObject() const {
  return FData.VarType() == varObject ? FData.AsObject() : nullptr;
}

// --- TZelCommand -----------------------------------------------------------------

TZelCommand::TZelCommand() = default;

TZelCommand::~TZelCommand() = default;

TParserClass TZelCommand::GetParserClass() const {
  return &NewParser<TSQLParser>;
}

TParamDescClass TZelCommand::GetParamDescType() const {
  return [] { return std::make_unique<TParamDesc>(); };
}

TParamDesc* TZelCommand::AddParam() {
  return FParams.Add(GetParamDescType()());
}

void TZelCommand::SetSQL(const UString& value) {
  if (value == FUserSQL) return;
  UString sql = FDisableParamScan ? value : ParseSQL(value, &FParams, true, UString());
  FSQL = std::move(sql);
  FUserSQL = value;
}

void TZelCommand::SetScanParams(bool value) {
  if (value && !FScanParams && !FUserSQL.empty()) FSQL = ParseSQL(FUserSQL, &FParams, true, UString());
  FScanParams = value;
}

UString TZelCommand::ParseSQL(const UString& sql, TParamDescs* params, bool /*replaceAll*/,
                              const UString& renamePrefix) {
  const char16_t leftQuote = LeftQuote();
  const char16_t rightQuote = RightQuote();
  UString out;
  out.reserve(sql.size() + sql.size() / 2);
  std::unique_ptr<TParser> parser = GetParserClass()(sql);
  parser->SetOmitBlank(false);
  parser->SetOmitComment(true);
  parser->SetQuotedString(true);
  parser->SetDecSeparator(u'.');
  parser->ToBegin();

  TParamDescs found;
  size_t done = 0;  // the source text up to here is in `out`
  while (parser->ToLexem(u":")) {
    const auto colon = static_cast<size_t>(parser->LexemPos());
    out.append(sql, done, colon - done);
    ScanParamAfterColon(out, *parser, params ? &found : nullptr, leftQuote, rightQuote, renamePrefix);
    done = static_cast<size_t>(parser->CurrPos());
  }
  out.append(sql, done);
  if (params) params->Swap(found);
  return out;
}

void TZelCommand::ScanParamAfterColon(UString& builder, TParser& parser, TParamDescs* params, char16_t leftQuote,
                                      char16_t rightQuote, const UString& renamePrefix) {
  const auto colon = static_cast<size_t>(parser.LexemPos());
  // A lexeme that does not start where the previous one ended had a comment
  // skipped before it: no parameter then.
  int64_t expected = parser.CurrPos();
  UString lexem;
  int code = parser.GetNext(lexem);
  bool adjacent = parser.LexemPos() == expected;
  bool at = false;
  if (adjacent && code != lkString && lexem == u"@") {
    at = true;
    expected = parser.CurrPos();
    code = parser.GetNext(lexem);
    adjacent = parser.LexemPos() == expected;
  }
  const bool isName =
      adjacent && (code == lkIdent || code == lkNumber || (code > 0 && parser.KeywordLexems().Find(lexem)));
  if ((!params && renamePrefix.empty()) || !isName) {
    builder.append(parser.Text(), colon, static_cast<size_t>(parser.CurrPos()) - colon);
    return;
  }
  UString name = at ? u"@" + lexem : std::move(lexem);
  if (name.size() >= 2 && name.front() == leftQuote && name.back() == rightQuote)
    name = name.substr(1, name.size() - 2);
  if (params) {
    params->Add(GetParamDescType()())->SetName(std::move(name));
    builder += u'?';
  } else {
    builder += renamePrefix;
    builder += name;
  }
}

// --- components, errors -----------------------------------------------------------

TComponent::~TComponent() = default;

EDAError::EDAError(int errorCode, UString message) : EDatabaseError(std::move(message)), FErrorCode(errorCode) {}

// --- quoting ------------------------------------------------------------------------

TSQLInfo::~TSQLInfo() = default;

bool TSQLInfo::IsQuoted(UStringView name) const {
  if (name.size() < 2 || name.front() != LeftQuote() || name.back() != RightQuote()) return false;
  const char16_t q = RightQuote();
  const UStringView inner = name.substr(1, name.size() - 2);
  for (size_t i = 0; i < inner.size(); ++i) {
    if (inner[i] != q) continue;
    if (i + 1 >= inner.size() || inner[i + 1] != q) return false;
    ++i;
  }
  return true;
}

UString TSQLInfo::QuoteAlways(UStringView name) const {
  UString r;
  r.reserve(name.size() + 2);
  r += LeftQuote();
  for (char16_t c : name) {
    r += c;
    if (c == RightQuote()) r += c;
  }
  r += RightQuote();
  return r;
}

UString TSQLInfo::Quote(UStringView name) const {
  return IsQuoted(name) ? UString(name) : QuoteAlways(name);
}

UString TSQLInfo::QuoteIfNeed(UStringView name) const {
  return QuotesNeeded(name) ? Quote(name) : UString(name);
}

bool TSQLInfo::QuotesNeeded(UStringView name) const {
  return !(IsPlainSqlName(name) && !(name[0] >= u'0' && name[0] <= u'9'));
}

UString TSQLInfo::UnQuote(UStringView name) const {
  if (!IsQuoted(name)) return UString(name);
  UString r;
  const UStringView inner = name.substr(1, name.size() - 2);
  for (size_t i = 0; i < inner.size(); ++i) {
    r += inner[i];
    if (inner[i] == RightQuote()) ++i;
  }
  return r;
}

bool IsPlainSqlName(UStringView name) {
  if (name.empty()) return false;
  return std::all_of(name.begin(), name.end(), [](char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'_';
  });
}

// --- TZelConnection -------------------------------------------------------------

namespace {

uint32_t TickCount() {
  using namespace std::chrono;
  return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

TZelConnection::TZelConnection() = default;

TZelConnection::~TZelConnection() {
  *FAlive = false;
  if (FInternalTransaction) FInternalTransaction->RemoveConnection(this);
  // A handed-out connection freed without being given back frees its slot.
  if (FPool) FPool->ConnectionFreed();
}

void TZelConnection::InitInternalTransaction() {
  FInternalTransaction = CreateTransaction();
  FInternalTransaction->AddConnection(this);
}

std::unique_ptr<TSQLInfo> TZelConnection::CreateSQLInfo() const {
  return std::make_unique<TSQLInfo>();
}

TSQLInfo& TZelConnection::SQLInfo() {
  if (!FSQLinfo) FSQLinfo = CreateSQLInfo();
  return *FSQLinfo;
}

void TZelConnection::Enlist(void*) {
  throw Exception(u"MS DTC transactions not supported");
}
void TZelConnection::UnEnlist(void*) {
  throw Exception(u"MS DTC transactions not supported");
}

bool TZelConnection::InTransaction() const {
  return FInternalTransaction && FInternalTransaction->GetActive();
}

bool TZelConnection::CanReconnect() const {
  return !(FInternalTransaction && FInternalTransaction->GetActive());
}

void TZelConnection::ProcessError(EDAError& E, bool& Fail) {
  if (FInProcessError) return;
  TFlagScope inError(FInProcessError, true);
  const std::shared_ptr<const bool> alive = FAlive;
  // After a callback that freed this connection: leave without touching it.
  const auto gone = [&] {
    if (*alive) return false;
    inError.Dismiss();
    return true;
  };
  // Decided once, before anything is closed: a lost transaction is never
  // replaced silently by a new session.
  const bool mayReconnect = CanReconnect();
  TConnLostCause connLostCause = clUnknown;
  int attempt = 0;
  bool reconnect;
  do {
    reconnect = attempt > 0;
    bool reexecute = false;
    if (FOnError) FOnError(E, Fail, reconnect, reexecute, attempt, connLostCause);
    if (gone()) return;
    const bool refused = reconnect && !mayReconnect;
    if (refused || attempt >= kMaxReconnectAttempts) reconnect = false;
    if (refused && attempt == 0) {
      // The server has ended the transaction with the session: close.
      FReconnected = false;
      if (FInternalTransaction) FInternalTransaction->Reset();
      try {
        Disconnect();
      } catch (const std::exception&) {
      }
      attempt = 1;
    }
    if (reconnect) {
      FReconnected = false;
      if (attempt == 0) {
        try {
          Disconnect();
        } catch (const std::exception&) {
        }
      }
      bool connected = false;
      try {
        Connect(UString());
        connected = FConnected;
      } catch (const std::exception&) {
      }
      if (connected) {
        // A connect that succeeded counts, whatever the callback does.
        FReconnected = true;
        if (FOnReconnectSuccess) {
          try {
            FOnReconnectSuccess();
          } catch (const std::exception&) {
          }
          if (gone()) return;
        }
      }
      if (FReconnected && reexecute) throw EFailOver(connLostCause);
      ++attempt;
    }
    if (!reconnect && attempt > 0 && !FReconnected && FOnReconnectError) {
      TFlagScope connectedScope(FConnected, true);
      try {
        FOnReconnectError();
      } catch (const std::exception&) {
      }
      if (!*alive) connectedScope.Dismiss();
      if (gone()) return;
    }
  } while (reconnect && !FReconnected);
}

void TZelConnection::Connect(const UString&) {
  FConnectionTime = TickCount();
  FIsValid = true;
}

void TZelConnection::Assign(const TZelConnection& source) {
  FServer = source.FServer;
  FUsername = source.FUsername;
  FPassword = source.FPassword;
  FEnableBCD = source.FEnableBCD;
  FEnableFMTBCD = source.FEnableFMTBCD;
  FOnError = source.FOnError;
  FIOHandler = source.FIOHandler;
}

void TZelConnection::ReturnToPool() {
  Disconnect();
}

bool TZelConnection::SetProp(TPropId prop, const Variant& value) {
  switch (prop) {
    case prAutoCommit: FAutoCommit = value.AsBoolean(); return true;
    case prConvertEOL: FConvertEOL = value.AsBoolean(); return true;
    case prDisconnectedMode: FDisconnectedMode = value.AsBoolean(); return true;
    case prEnableBCD: FEnableBCD = value.AsBoolean(); return true;
    case prEnableFMTBCD: FEnableFMTBCD = value.AsBoolean(); return true;
    case prDefaultSortType: FDefaultSortType = value.AsInteger(); return true;
    case prDatabase:
    case prPort: return true;
    default: throw Exception(IntToStr(prop));
  }
}

bool TZelConnection::GetProp(TPropId prop, Variant& value) {
  switch (prop) {
    case prUsername: value = FUsername; return true;
    case prLastInsertId: value = int64_t{0}; return true;
    default: throw Exception(IntToStr(prop));
  }
}

// --- TZelTransaction --------------------------------------------------------------

TZelTransaction::TZelTransaction() = default;
TZelTransaction::~TZelTransaction() = default;

void TZelTransaction::AssignConnect(const TZelTransaction& source) {
  FActive = source.FActive;
  FNativeTransaction = false;
  FIsolationLevel = source.FIsolationLevel;
  FReadOnly = source.FReadOnly;
}

void TZelTransaction::AddConnection(TZelConnection* connection) {
  if (std::find(FConnections.begin(), FConnections.end(), connection) == FConnections.end())
    FConnections.push_back(connection);
}

void TZelTransaction::RemoveConnection(TZelConnection* connection) {
  FConnections.erase(std::remove(FConnections.begin(), FConnections.end(), connection), FConnections.end());
}

TZelConnection* TZelTransaction::GetConnection(int index) const {
  if (index < 0 || index >= ConnectionCount()) ListIndexError(index);
  return FConnections[static_cast<size_t>(index)];
}

}  // namespace vix
