// The connection component base of unit DBAccess: settings, connect and
// disconnect, the counted use, the clients and the error handler.
#include <algorithm>
#include <exception>

#include "Common/DBAccess.h"
#include "Common/ZelConnectionPool.h"
#include "rtl/SysUtils.h"

namespace vix {

namespace {

[[noreturn]] void RaiseNotConnected() {
  throw EDatabaseError(u"Connection is not connected");
}

}  // namespace

// --- TDAConnectionClient ------------------------------------------------------------

TDAConnectionClient::~TDAConnectionClient() = default;
void TDAConnectionClient::ConnectChange(TCustomDAConnection&, bool) {}
void TDAConnectionClient::ProviderConnectionChanged(TCustomDAConnection&, TZelConnection*) {}
void TDAConnectionClient::ConnectionDestroying(TCustomDAConnection&) {}
bool TDAConnectionClient::PreventsReconnect() const {
  return false;
}

// --- TDAConnectionOptions -----------------------------------------------------------

void TDAConnectionOptions::SetDisconnectedMode(bool value) {
  if (value == FDisconnectedMode) return;
  FOwner.Disconnect();
  FDisconnectedMode = value;
  FOwner.SetProviderProp(prDisconnectedMode, value);
}

void TDAConnectionOptions::SetDefaultSortType(int value) {
  FDefaultSortType = value;
  FOwner.SetProviderProp(prDefaultSortType, value);
}

void TDAConnectionOptions::SetEnableBCD(bool value) {
  FEnableBCD = value;
  FOwner.SetProviderProp(prEnableBCD, value);
}

void TDAConnectionOptions::SetEnableFMTBCD(bool value) {
  FEnableFMTBCD = value;
  FOwner.SetProviderProp(prEnableFMTBCD, value);
}

// --- TPoolingOptions -----------------------------------------------------------------

void TPoolingOptions::SetMaxPoolSize(int32_t value) {
  if (value < 1) throw EDatabaseError(Format(u"MaxPoolSize must be 1 or more, not %d", {value}));
  if (value < FMinPoolSize)
    throw EDatabaseError(Format(u"MaxPoolSize must not be below MinPoolSize (%d), not %d", {FMinPoolSize, value}));
  FMaxPoolSize = value;
}

void TPoolingOptions::SetMinPoolSize(int32_t value) {
  if (value < 0 || value > FMaxPoolSize)
    throw EDatabaseError(Format(u"MinPoolSize must be 0..%d, not %d", {FMaxPoolSize, value}));
  FMinPoolSize = value;
}

// --- TCustomDAConnection: settings ---------------------------------------------------

TCustomDAConnection::TCustomDAConnection() = default;

TCustomDAConnection::~TCustomDAConnection() {
  Destroying();
}

void TCustomDAConnection::Destroying() {
  if (FDestroyed) return;
  FDestroyed = true;
  try {
    Disconnect();
  } catch (...) {
  }
  try {
    ForEachClient([this](TDAConnectionClient& client) { client.ConnectionDestroying(*this); });
  } catch (...) {
  }
  {
    std::lock_guard<std::mutex> guard(FClientLock);
    FClients.clear();
  }
  // The provider connection's own destructor closes its session; a pooled
  // one goes back to its pool.
  ReleaseProviderConnection();
}

void TCustomDAConnection::SetServer(const UString& value) {
  if (value == FServer) return;
  Disconnect();
  FServer = value;
}

void TCustomDAConnection::SetUsername(const UString& value) {
  if (value == FUsername) return;
  Disconnect();
  FUsername = value;
}

void TCustomDAConnection::SetPassword(const UString& value) {
  if (value == FPassword) return;
  Disconnect();
  FPassword = value;
}

void TCustomDAConnection::SetPooling(bool value) {
  if (value == FPooling) return;
  Disconnect();
  // A pooled provider connection held after a lost session goes back now.
  if (FIConnection && FIConnection->GetPool()) ReleaseProviderConnection();
  FPooling = value;
}

void TCustomDAConnection::SetProviderProp(TPropId prop, const Variant& value) {
  if (FIConnection) FIConnection->SetProp(prop, value);
}

bool TCustomDAConnection::GetConnected() const {
  return FIConnection && FIConnection->GetConnected();
}

void TCustomDAConnection::SetConnected(bool value) {
  if (value) Connect();
  else Disconnect();
}

bool TCustomDAConnection::InTransaction() const {
  return FIConnection && FIConnection->GetConnected() && FIConnection->InTransaction();
}

UString TCustomDAConnection::GetServerVersion() const {
  if (!GetConnected()) RaiseNotConnected();
  return FIConnection->GetServerVersion();
}

UString TCustomDAConnection::GetServerVersionFull() const {
  if (!GetConnected()) RaiseNotConnected();
  return FIConnection->GetServerVersionFull();
}

UString TCustomDAConnection::GetClientVersion() const {
  if (!GetConnected()) RaiseNotConnected();
  return FIConnection->GetClientVersion();
}

// --- the provider connection ---------------------------------------------------------

void TCustomDAConnection::AttachProviderConnection(std::unique_ptr<TZelConnection> connection) {
  FIConnection = std::move(connection);
  FIConnection->SetComponent(this);
  FIConnection->SetOnError(
      [this](EDAError& E, bool& Fail, bool& Reconnect, bool& Reexecute, int attempt, TConnLostCause& cause) {
        HandleError(E, Fail, Reconnect, Reexecute, attempt, cause);
      });
  FIConnection->SetOnReconnectError([this] { Disconnect(); });
  FIConnection->SetOnReconnectSuccess([this] {
    if (AfterConnect) AfterConnect(*this);
  });
  TZelConnection* attached = FIConnection.get();
  ForEachClient([this, attached](TDAConnectionClient& client) { client.ProviderConnectionChanged(*this, attached); });
}

void TCustomDAConnection::ReleaseProviderConnection() {
  if (!FIConnection) return;
  ForEachClient([this](TDAConnectionClient& client) { client.ProviderConnectionChanged(*this, nullptr); });
  // The pool decides whether the session serves the next user.
  if (const std::shared_ptr<TZelConnectionPool> pool = FIConnection->GetPool())
    pool->PutConnection(std::move(FIConnection));
  FIConnection.reset();
}

void TCustomDAConnection::ConnectProvider() {
  CreateProviderConnection();
  FIConnection->SetUsername(FUsername);
  FIConnection->SetPassword(FPassword);
  FIConnection->SetServer(FServer);
  FIConnection->Connect(UString());
}

void TCustomDAConnection::DisconnectProvider() {
  if (!FIConnection) return;
  TZelTransaction* t = FIConnection->GetInternalTransaction();
  if (t && t->GetActive()) {
    try {
      t->Rollback();
    } catch (const std::exception&) {
    }
  }
  // A pooled connection always goes back to its pool, and the next connect
  // asks the pool again: a session is never shared by two users.
  if (FIConnection->GetPool()) {
    ReleaseProviderConnection();
    return;
  }
  if (!FIConnection->GetConnected()) return;
  try {
    FIConnection->Disconnect();
  } catch (const EDAError& e) {
    if (!(FDestroyed && e.IsFatalError())) throw;
  }
}

// --- connect and disconnect ----------------------------------------------------------

void TCustomDAConnection::Connect() {
  // Opened on purpose: whatever a lost session held is given up.
  FTransactionLost = false;
  DoConnect(true);
}

void TCustomDAConnection::DoConnect(bool countUse) {
  if (GetConnected()) return;
  const int useCount = FUseCount;
  if (countUse) ++FUseCount;
  bool clientsTold = false;
  try {
    if (BeforeConnect) BeforeConnect(*this);
    ConnectProvider();
    ProviderConnected();
    clientsTold = true;
    ForEachClient([this](TDAConnectionClient& client) { client.ConnectChange(*this, true); });
    if (AfterConnect) AfterConnect(*this);
  } catch (...) {
    FUseCount = useCount;
    AbandonConnect(clientsTold);
    throw;
  }
}

void TCustomDAConnection::AbandonConnect(bool clientsTold) {
  if (!GetConnected()) return;
  TFlagScope disconnecting(FDisconnecting, true);
  if (clientsTold) {
    try {
      ForEachClient([this](TDAConnectionClient& client) { client.ConnectChange(*this, false); }, true);
    } catch (const std::exception&) {
    }
  }
  try {
    DisconnectProvider();
  } catch (const std::exception&) {
  }
}

void TCustomDAConnection::Disconnect() {
  if (FDisconnecting || !GetConnected()) return;
  TFlagScope disconnecting(FDisconnecting, true);
  FUseCount = 0;
  if (BeforeDisconnect) BeforeDisconnect(*this);
  NotifyClientsClosing();
  DisconnectProvider();
  if (AfterDisconnect) AfterDisconnect(*this);
}

void TCustomDAConnection::NotifyClientsClosing() {
  const auto closing = [this](TDAConnectionClient& client) { client.ConnectChange(*this, false); };
  try {
    ForEachClient(closing);
  } catch (const EDAError& e) {
    if (!e.IsFatalError()) throw;
    // Once more from the first client; this time a lost connection does not
    // stop the notice.
    ForEachClient(closing, true);
  }
}

void TCustomDAConnection::BeginUse() {
  if (!GetConnected() && FTransactionLost)
    throw EDatabaseError(
        u"The connection was lost with a transaction open and its changes are gone; open the connection again to "
        u"go on");
  ++FUseCount;
  if (GetConnected()) return;
  try {
    DoConnect(false);
  } catch (...) {
    --FUseCount;
    throw;
  }
}

void TCustomDAConnection::EndUse() {
  if (FUseCount > 0) --FUseCount;
  if (FUseCount == 0 && FOptions.GetDisconnectedMode() && !InTransaction()) Disconnect();
}

TCustomDAConnection& TConnectionUse::Defined(TCustomDAConnection* connection) {
  if (!connection) DatabaseError(u"Connection is not defined");
  return *connection;
}

TConnectionUse::TConnectionUse(TCustomDAConnection* connection) : FConnection(Defined(connection)) {
  FConnection.BeginUse();
}

// --- clients ---------------------------------------------------------------------------

void TCustomDAConnection::RegisterClient(TDAConnectionClient& client) {
  std::lock_guard<std::mutex> guard(FClientLock);
  if (std::find(FClients.begin(), FClients.end(), &client) == FClients.end()) FClients.push_back(&client);
}

void TCustomDAConnection::UnRegisterClient(TDAConnectionClient& client) {
  std::unique_lock<std::mutex> lock(FClientLock);
  FClients.erase(std::remove(FClients.begin(), FClients.end(), &client), FClients.end());
  // A call running on another thread ends before the client may go; one on
  // this thread is the caller itself (a client leaving in its callback).
  const std::thread::id self = std::this_thread::get_id();
  FClientCallEnded.wait(lock, [&] {
    return std::none_of(FClientCalls.begin(), FClientCalls.end(),
                        [&](const auto& call) { return call.first == &client && call.second != self; });
  });
}

int TCustomDAConnection::ClientCount() const {
  std::lock_guard<std::mutex> guard(FClientLock);
  return static_cast<int>(FClients.size());
}

void TCustomDAConnection::ForEachClient(const std::function<void(TDAConnectionClient&)>& call, bool ignoreFatal) {
  std::vector<TDAConnectionClient*> snapshot;
  {
    std::lock_guard<std::mutex> guard(FClientLock);
    snapshot = FClients;
  }
  const std::thread::id self = std::this_thread::get_id();
  for (TDAConnectionClient* client : snapshot) {
    {
      std::lock_guard<std::mutex> guard(FClientLock);
      if (std::find(FClients.begin(), FClients.end(), client) == FClients.end()) continue;
      FClientCalls.emplace_back(client, self);
    }
    // Ends the call also when the client raises.
    struct TCallEnd {
      TCustomDAConnection& Owner;
      TDAConnectionClient* Client;
      std::thread::id Thread;
      ~TCallEnd() {
        std::lock_guard<std::mutex> guard(Owner.FClientLock);
        auto& calls = Owner.FClientCalls;
        const auto it = std::find(calls.begin(), calls.end(), std::make_pair(Client, Thread));
        if (it != calls.end()) calls.erase(it);
        Owner.FClientCallEnded.notify_all();
      }
    } end{*this, client, self};
    try {
      call(*client);
    } catch (const EDAError& e) {
      if (!(ignoreFatal && e.IsFatalError())) throw;
    }
  }
}

bool TCustomDAConnection::AnyClientPreventsReconnect() {
  bool prevents = false;
  ForEachClient([&prevents](TDAConnectionClient& client) { prevents = prevents || client.PreventsReconnect(); });
  return prevents;
}

// --- errors ------------------------------------------------------------------------------

void TCustomDAConnection::HandleError(EDAError& E, bool& Fail, bool& Reconnect, bool&, int ReconnectAttempt,
                                      TConnLostCause&) {
  const bool fatal = E.IsFatalError();
  // A transaction the server held dies with the session: the statements
  // after it must not run on a new session as if it went on.
  if (fatal && ReconnectAttempt == 0 && InTransaction()) FTransactionLost = true;
  // No silent reconnect while the connection is closing anyway.
  if (fatal) Reconnect = !FDisconnecting && GetConnected() && !InTransaction() && !AnyClientPreventsReconnect();
  if (OnError) OnError(*this, E, Fail);
  if (!fatal) return;
  if (FIConnection) FIConnection->SetIsValid(false);
  if (ReconnectAttempt == 0 && !Reconnect && !FInProcessError) {
    TFlagScope inError(FInProcessError, true);
    try {
      Disconnect();
    } catch (const std::exception&) {
    }
  }
}

}  // namespace vix
