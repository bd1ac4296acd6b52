#include "Common/ZelConnectionPool.h"

#include <algorithm>
#include <exception>
#include <typeinfo>

#include "Common/DBTypes.h"
#include "Common/ZelVio.h"
#include "rtl/SysUtils.h"

namespace vix {

uint32_t PoolTickCount() {
  using namespace std::chrono;
  return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

namespace {

// Frees a connection that leaves the pool; a failure to close it is ignored
// (the provider's destructor swallows its own errors too).
void FreeQuietly(std::unique_ptr<TZelConnection>& connection) {
  try {
    connection->Disconnect();
  } catch (...) {
  }
  connection.reset();
}

UString BoolText(bool value) {
  return value ? UString(u"True") : UString(u"False");
}

}  // namespace

// --- TZelConnectionParameters ----------------------------------------------------

TZelConnectionParameters::TZelConnectionParameters() = default;
TZelConnectionParameters::~TZelConnectionParameters() = default;

bool TZelConnectionParameters::Equals(const TZelConnectionParameters& other) const {
  return typeid(*this) == typeid(other) && MinPoolSize == other.MinPoolSize && MaxPoolSize == other.MaxPoolSize &&
         ConnectionLifeTime == other.ConnectionLifeTime && Validate == other.Validate && IOHandler == other.IOHandler &&
         Username == other.Username && SameText(Server, other.Server) && Password == other.Password;
}

UString TZelConnectionParameters::AsString() const {
  return Format(u"Username=%s\rServer=%s\r", {Username, Server}) + AsStringExtra() +
         Format(u"MinPoolSize=%d\rMaxPoolSize=%d\rConnectionLifeTime=%d\rValidate=",
                {MinPoolSize, MaxPoolSize, ConnectionLifeTime}) +
         BoolText(Validate) + u"\r";
}

bool TZelConnectionParameters::SetProp(TPropId prop, const Variant&) {
  throw Exception(IntToStr(prop));
}

void TZelConnectionParameters::CheckSizes() const {
  if (MaxPoolSize < 1) throw EDatabaseError(Format(u"MaxPoolSize must be 1 or more, not %d", {MaxPoolSize}));
  if (MinPoolSize < 0 || MinPoolSize > MaxPoolSize)
    throw EDatabaseError(Format(u"MinPoolSize must be 0..%d, not %d", {MaxPoolSize, MinPoolSize}));
}

// --- TZelConnectionPool -------------------------------------------------------------

TZelConnectionPool::TZelConnectionPool(const TZelConnectionParameters& parameters, TPoolClock clock)
    : FConnectionParameters(parameters.Clone()), FClock(clock ? std::move(clock) : TPoolClock(PoolTickCount)) {
  // The pool belongs to no component: the error callback is each caller's own.
  FConnectionParameters->OnError = nullptr;
}

TZelConnectionPool::~TZelConnectionPool() {
  Clear();
}

int TZelConnectionPool::TakenConnectionsCount() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FTakenConnectionsCount;
}

int TZelConnectionPool::PooledConnectionsCount() const {
  std::lock_guard<std::mutex> guard(FLock);
  return static_cast<int>(FPooledConnections.size());
}

int TZelConnectionPool::TotalConnectionsCount() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FTakenConnectionsCount + static_cast<int>(FPooledConnections.size());
}

bool TZelConnectionPool::IsLive(const TZelConnection& connection) const {
  const int32_t lifeTime = FConnectionParameters->ConnectionLifeTime;
  if (lifeTime <= 0) return true;
  const uint32_t age = FClock() - connection.GetConnectionTime();
  return age <= static_cast<uint32_t>(lifeTime);
}

void TZelConnectionPool::ReleaseSlotLocked() {
  if (FTakenConnectionsCount > 0) --FTakenConnectionsCount;
  FBusy.notify_one();
}

void TZelConnectionPool::ConnectionFreed() {
  std::lock_guard<std::mutex> guard(FLock);
  ReleaseSlotLocked();
}

void TZelConnectionPool::DropTaken(std::unique_ptr<TZelConnection> connection) {
  // The session is closed before its slot can make another one.
  FreeQuietly(connection);
  std::lock_guard<std::mutex> guard(FLock);
  ReleaseSlotLocked();
}

std::unique_ptr<TZelConnection> TZelConnectionPool::GetConnection(const TZelConnectionParameters& request,
                                                                  std::chrono::milliseconds wait) {
  {
    std::lock_guard<std::mutex> guard(FLock);
    ++FPending;
  }
  return TakeConnection(request, wait);
}

std::unique_ptr<TZelConnection> TZelConnectionPool::TryGetConnection() {
  {
    std::lock_guard<std::mutex> guard(FLock);
    ++FPending;
  }
  return TakeConnection(*FConnectionParameters, std::chrono::milliseconds(0), true);
}

std::unique_ptr<TZelConnection> TZelConnectionPool::TakeConnection(const TZelConnectionParameters& request,
                                                                   std::chrono::milliseconds wait, bool orNone) {
  // One deadline for the whole wait, however often the slot goes to another.
  const auto deadline = std::chrono::steady_clock::now() + wait;
  std::unique_lock<std::mutex> lock(FLock);
  if (orNone && FTakenConnectionsCount >= FConnectionParameters->MaxPoolSize) {
    --FPending;
    return nullptr;
  }
  while (FTakenConnectionsCount >= FConnectionParameters->MaxPoolSize) {
    if (FBusy.wait_until(lock, deadline) == std::cv_status::timeout &&
        FTakenConnectionsCount >= FConnectionParameters->MaxPoolSize) {
      --FPending;
      throw EDatabaseError(u"Maximum connections reached in pool");
    }
  }
  --FPending;
  ++FTakenConnectionsCount;
  const bool validate = FConnectionParameters->Validate;
  while (!FPooledConnections.empty()) {
    std::unique_ptr<TZelConnection> connection = std::move(FPooledConnections.front().Connection);
    FPooledConnections.pop_front();
    const int32_t version = connection->GetPoolVersion();
    const int32_t invalidateVersion = FInvalidateVersion;
    const bool drop = version < FClearVersion;
    const bool check = !drop && (validate || version < invalidateVersion);
    lock.unlock();
    // The outcome of the reset at its return is read here: a session whose
    // reset failed is not handed out.
    if (drop || !connection->FinishReset() || (check && !connection->CheckIsValid())) {
      // Replaced by the next idle one or a new one, in the same slot.
      FreeQuietly(connection);
      lock.lock();
      continue;
    }
    connection->SetPool(shared_from_this(), invalidateVersion);
    return connection;
  }
  const int32_t invalidateVersion = FInvalidateVersion;
  lock.unlock();
  std::unique_ptr<TZelConnection> connection;
  try {
    connection = CreateNewConnection(request);
  } catch (...) {
    // The slot of a connect that failed is free again.
    lock.lock();
    ReleaseSlotLocked();
    throw;
  }
  connection->SetConnectionTime(FClock());
  connection->SetPool(shared_from_this(), invalidateVersion);
  return connection;
}

void TZelConnectionPool::PutConnection(std::unique_ptr<TZelConnection> connection) {
  if (!connection) return;
  // The connection's reference may be the last one to this pool.
  const std::shared_ptr<TZelConnectionPool> self = shared_from_this();
  VIX_VIO_ASSERT(connection->GetPool().get() == this);
  int32_t version = connection->GetPoolVersion();
  connection->SetPool(nullptr, version);
  // Nothing of the component that used it stays with the session.
  connection->SetOnError(nullptr);
  connection->SetOnReconnectError(nullptr);
  connection->SetOnReconnectSuccess(nullptr);
  connection->SetComponent(nullptr);
  // A transaction left open would pass its locks and changes to the next user.
  bool keep =
      connection->GetConnected() && connection->GetIsValid() && IsLive(*connection) && !connection->InTransaction();
  bool check = false;
  {
    std::lock_guard<std::mutex> guard(FLock);
    keep = keep && version >= FClearVersion;
    check = keep && version < FInvalidateVersion;
    if (check) version = FInvalidateVersion;
  }
  if (check) keep = connection->CheckIsValid();
  // The next user starts from the state the connect step left: whatever the
  // last one set in the session goes, or the session does.
  keep = keep && connection->ResetSession();
  if (!keep) {
    DropTaken(std::move(connection));
    return;
  }
  connection->SetPool(nullptr, version);
  std::lock_guard<std::mutex> guard(FLock);
  const int32_t stamp = ++FVersion;
  FPooledConnections.push_back({std::move(connection), stamp});
  ReleaseSlotLocked();
}

void TZelConnectionPool::Invalidate() {
  std::lock_guard<std::mutex> guard(FLock);
  ++FInvalidateVersion;
}

void TZelConnectionPool::ClearRequest() {
  std::lock_guard<std::mutex> guard(FLock);
  ++FInvalidateVersion;
  ++FClearVersion;
}

void TZelConnectionPool::Clear() {
  std::deque<TPooled> idle;
  {
    std::lock_guard<std::mutex> guard(FLock);
    idle.swap(FPooledConnections);
  }
  for (TPooled& item : idle) FreeQuietly(item.Connection);
}

void TZelConnectionPool::Trim() {
  int32_t s1 = 0, s8 = 0, n = 0;
  size_t toVisit = 0;
  {
    std::lock_guard<std::mutex> guard(FLock);
    s1 = FStatistics[0];
    s8 = FStatistics[7];
    std::copy_backward(FStatistics.begin(), FStatistics.end() - 1, FStatistics.end());
    FStatistics[0] = FVersion;
    n = (FDoomedConnectionsCount + 6) / 8;
    FDoomedConnectionsCount = static_cast<int32_t>(FPooledConnections.size()) - FConnectionParameters->MinPoolSize - n;
    toVisit = FPooledConnections.size();
  }
  // Takes the connection at the head, counted as taken while it is out.
  const auto takeHead = [this](TPooled& item, int32_t& invalidateVersion, int32_t& clearVersion) {
    std::lock_guard<std::mutex> guard(FLock);
    if (FPooledConnections.empty()) return false;
    item = std::move(FPooledConnections.front());
    FPooledConnections.pop_front();
    ++FTakenConnectionsCount;
    invalidateVersion = FInvalidateVersion;
    clearVersion = FClearVersion;
    return true;
  };
  int32_t removed = 0;
  for (size_t i = 0; i < toVisit; ++i) {
    TPooled item;
    int32_t invalidateVersion = 0, clearVersion = 0;
    if (!takeHead(item, invalidateVersion, clearVersion)) break;
    TZelConnection& connection = *item.Connection;
    const int32_t version = connection.GetPoolVersion();
    bool keep = item.Stamp > s8 && IsLive(connection) && version >= clearVersion;
    if (keep && !(item.Stamp > s1 && version >= invalidateVersion)) {
      keep = connection.CheckIsValid();
      connection.SetPool(nullptr, invalidateVersion);
    }
    if (!keep) {
      DropTaken(std::move(item.Connection));
      ++removed;
      continue;
    }
    std::lock_guard<std::mutex> guard(FLock);
    FPooledConnections.push_back(std::move(item));
    ReleaseSlotLocked();
  }
  while (removed < n) {
    TPooled item;
    int32_t invalidateVersion = 0, clearVersion = 0;
    if (!takeHead(item, invalidateVersion, clearVersion)) break;
    DropTaken(std::move(item.Connection));
    ++removed;
  }
}

// --- TZelConnectionPoolManager ----------------------------------------------------------

TZelConnectionPoolManager::TZelConnectionPoolManager(TPoolClock clock, bool startValidateThread)
    : FClock(std::move(clock)) {
  if (startValidateThread) FValidateThread = std::thread([this] { ValidateThreadRun(); });
}

TZelConnectionPoolManager::~TZelConnectionPoolManager() {
  // The thread goes first: it must not trim a pool being freed.
  StopValidateThread();
  Clear();
}

void TZelConnectionPoolManager::StopValidateThread() {
  {
    std::lock_guard<std::mutex> guard(FThreadLock);
    FTerminated = true;
  }
  FThreadWake.notify_all();
  if (FValidateThread.joinable()) FValidateThread.join();
}

void TZelConnectionPoolManager::ValidateThreadRun() {
  std::chrono::milliseconds passTime{0};
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(FThreadLock);
      const auto wait = passTime >= kValidatePeriod ? std::chrono::milliseconds(0) : kValidatePeriod - passTime;
      if (FThreadWake.wait_for(lock, wait, [this] { return FTerminated.load(); })) return;
    }
    const auto start = std::chrono::steady_clock::now();
    try {
      ValidatePass();
    } catch (...) {
    }
    passTime = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  }
}

std::unique_ptr<TZelConnection> TZelConnectionPoolManager::GetConnection(const TZelConnectionParameters& parameters) {
  parameters.CheckSizes();
  std::shared_ptr<TZelConnectionPool> pool;
  {
    std::lock_guard<std::mutex> guard(FLockList);
    for (const auto& p : FPools)
      if (p->Parameters().Equals(parameters)) {
        pool = p;
        break;
      }
    if (!pool) {
      pool = CreatePool(parameters, FClock);
      FPools.push_back(pool);
    }
    // Counted before the list lock goes: a trimming pass does not free it.
    std::lock_guard<std::mutex> poolGuard(pool->FLock);
    ++pool->FPending;
  }
  return pool->TakeConnection(parameters, FHandOutWait);
}

void TZelConnectionPoolManager::Clear() {
  std::vector<std::shared_ptr<TZelConnectionPool>> pools;
  {
    std::lock_guard<std::mutex> guard(FLockList);
    pools.swap(FPools);
  }
  for (const auto& pool : pools) pool->Clear();
}

void TZelConnectionPoolManager::ValidatePass() {
  std::lock_guard<std::mutex> pass(FLockValidate);
  std::vector<std::shared_ptr<TZelConnectionPool>> pools;
  {
    std::lock_guard<std::mutex> guard(FLockList);
    pools = FPools;
  }
  for (auto it = pools.rbegin(); it != pools.rend(); ++it) {
    if (FTerminated) return;
    (*it)->Trim();
  }
  std::lock_guard<std::mutex> guard(FLockList);
  FPools.erase(std::remove_if(FPools.begin(), FPools.end(),
                              [](const std::shared_ptr<TZelConnectionPool>& pool) {
                                std::lock_guard<std::mutex> poolGuard(pool->FLock);
                                return pool->FTakenConnectionsCount == 0 && pool->FPooledConnections.empty() &&
                                       pool->FPending == 0;
                              }),
               FPools.end());
}

int TZelConnectionPoolManager::PoolCount() const {
  std::lock_guard<std::mutex> guard(FLockList);
  return static_cast<int>(FPools.size());
}

std::shared_ptr<TZelConnectionPool> TZelConnectionPoolManager::FindPool(
    const TZelConnectionParameters& parameters) const {
  std::lock_guard<std::mutex> guard(FLockList);
  for (const auto& pool : FPools)
    if (pool->Parameters().Equals(parameters)) return pool;
  return nullptr;
}

}  // namespace vix
