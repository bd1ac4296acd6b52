// Connection pooling: the settings that identify a pool, the pool of idle,
// connected provider connections with its hand-out and return, the trimming
// run that closes what has not been used, and the manager that keeps one pool
// per distinct set of settings and runs the validation thread.
//
// A pooled provider connection is in one of three places: handed out (its
// pool set, counted as taken), idle in its pool's ring (stamped with the
// number of its return), or freed. Whoever holds a handed-out connection
// gives it back with the pool's PutConnection; a connection freed in any
// other way still gives its slot back (~TZelConnection).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Common/ZelAccess.h"
#include "Common/ZelProps.h"
#include "rtl/UString.h"
#include "rtl/Variant.h"

namespace vix {

// The millisecond tick count a pool measures connection lifetimes with
// (wrapping at 2^32). Tests inject their own.
using TPoolClock = std::function<uint32_t()>;
uint32_t PoolTickCount();

// What identifies a pool, and what a connection of the pool is made with.
class TZelConnectionParameters {
 public:
  TZelConnectionParameters();
  TZelConnectionParameters(const TZelConnectionParameters&) = default;
  TZelConnectionParameters& operator=(const TZelConnectionParameters&) = default;
  virtual ~TZelConnectionParameters();

  // A copy of the same class.
  virtual std::unique_ptr<TZelConnectionParameters> Clone() const = 0;
  // Same pool: sizes, lifetime, validation and I/O handler equal, the server
  // equal ignoring case, the user name and password equal exactly (accounts
  // of the server are case-sensitive). The error callback does not count.
  virtual bool Equals(const TZelConnectionParameters& other) const;
  // The settings for monitoring: "Username=...\rServer=...\rMinPoolSize=...".
  virtual UString AsString() const;
  // The generic parameters take no property: every identifier raises.
  virtual bool SetProp(TPropId prop, const Variant& value);
  // Raises EDatabaseError unless MaxPoolSize >= 1 and 0 <= MinPoolSize <= MaxPoolSize.
  void CheckSizes() const;

  int32_t MinPoolSize = 0;
  int32_t MaxPoolSize = 100;
  UString Username;
  UString Server;
  UString Password;
  // Milliseconds from connect after which a connection is closed instead of
  // pooled again; 0: no limit.
  int32_t ConnectionLifeTime = 0;
  // Ping every idle connection before it is handed out.
  bool Validate = false;
  TZelIOHandler* IOHandler = nullptr;
  // The error callback of the component that asks: a new connection reports
  // its connect errors through it. Never kept by a pool.
  TErrorProc OnError;

 protected:
  // Monitoring lines after the user name and server.
  virtual UString AsStringExtra() const { return UString(); }
};

class TZelConnectionPoolManager;

// One pool: idle connections in a ring (taken at the head, returned at the
// tail), at most MaxPoolSize connections handed out and idle together.
// Every member may be called from any thread.
class TZelConnectionPool : public std::enable_shared_from_this<TZelConnectionPool> {
 public:
  TZelConnectionPool(const TZelConnectionParameters& parameters, TPoolClock clock);
  virtual ~TZelConnectionPool();
  TZelConnectionPool(const TZelConnectionPool&) = delete;
  TZelConnectionPool& operator=(const TZelConnectionPool&) = delete;

  // A connected connection: the oldest idle one that passes its checks, or a
  // new one. Waits while MaxPoolSize connections are out, until one deadline
  // `wait` after the call; then raises "Maximum connections reached in pool".
  // A failed connect gives the slot back and raises the provider's error.
  // `request` are the caller's settings (equal to the pool's): a new
  // connection reports its errors through its OnError.
  std::unique_ptr<TZelConnection> GetConnection(const TZelConnectionParameters& request,
                                                std::chrono::milliseconds wait);
  // A connected connection as GetConnection gives it, or none at once when
  // MaxPoolSize connections are out (no wait).
  std::unique_ptr<TZelConnection> TryGetConnection();
  // Takes back a connection of this pool: it is pooled again when it is
  // live, valid, outside a transaction, not cleared away and its session
  // state reset (ResetSession); otherwise it is closed. Its callbacks and
  // component are cleared either way.
  void PutConnection(std::unique_ptr<TZelConnection> connection);
  // Every idle connection is checked before its next use.
  void Invalidate();
  // Every idle connection is closed instead of being used, and connections
  // out now are closed when they come back.
  void ClearRequest();
  // Closes every idle connection.
  void Clear();
  // One trimming run (the validation thread calls it): closes connections not
  // used during the last eight runs, checks those not returned since the
  // last run, and shrinks the idle surplus over MinPoolSize by about an eighth.
  void Trim();

  const TZelConnectionParameters& Parameters() const { return *FConnectionParameters; }
  int TakenConnectionsCount() const;
  int PooledConnectionsCount() const;
  // Taken and idle.
  int TotalConnectionsCount() const;

 protected:
  // A new connected connection made with `request`'s settings.
  virtual std::unique_ptr<TZelConnection> CreateNewConnection(const TZelConnectionParameters& request) = 0;

 private:
  friend class TZelConnection;
  friend class TZelConnectionPoolManager;

  struct TPooled {
    std::unique_ptr<TZelConnection> Connection;
    int32_t Stamp = 0;
  };

  // GetConnection once the request is counted as pending.
  // With `orNone`, a full pool gives none instead of waiting.
  std::unique_ptr<TZelConnection> TakeConnection(const TZelConnectionParameters& request,
                                                 std::chrono::milliseconds wait, bool orNone = false);
  bool IsLive(const TZelConnection& connection) const;
  // Frees a connection (errors ignored), then gives its slot back.
  void DropTaken(std::unique_ptr<TZelConnection> connection);
  // A slot is free again: the taken count goes down, one waiter wakes.
  void ReleaseSlotLocked();
  // A handed-out connection was freed without coming back.
  void ConnectionFreed();

  std::unique_ptr<TZelConnectionParameters> FConnectionParameters;
  TPoolClock FClock;

  mutable std::mutex FLock;
  std::condition_variable FBusy;  // a slot became free
  std::deque<TPooled> FPooledConnections;
  int32_t FTakenConnectionsCount = 0;
  int32_t FVersion = 0;
  std::array<int32_t, 8> FStatistics{};
  int32_t FDoomedConnectionsCount = 0;
  int32_t FInvalidateVersion = 0;
  int32_t FClearVersion = 0;
  // Requests on their way from the manager into this pool: the pool is not
  // freed while any is.
  int32_t FPending = 0;
};

// The pools of one provider, one per distinct set of parameters, and the
// validation thread that trims them twice a minute and frees pools that
// nothing uses.
class TZelConnectionPoolManager {
 public:
  static constexpr std::chrono::milliseconds kValidatePeriod{30000};
  static constexpr std::chrono::milliseconds kDefaultHandOutWait{30000};

  // `clock` measures connection lifetimes (the tick count when empty);
  // without `startValidateThread`, trimming runs only through ValidatePass.
  explicit TZelConnectionPoolManager(TPoolClock clock = {}, bool startValidateThread = true);
  // Joins the validation thread, then frees the pools (a pool with
  // connections still out lives on until they come back).
  virtual ~TZelConnectionPoolManager();
  TZelConnectionPoolManager(const TZelConnectionPoolManager&) = delete;
  TZelConnectionPoolManager& operator=(const TZelConnectionPoolManager&) = delete;

  // A connected connection from the pool of equal parameters (made when
  // there is none). Raises EDatabaseError for sizes out of range.
  std::unique_ptr<TZelConnection> GetConnection(const TZelConnectionParameters& parameters);
  // Frees every idle connection and forgets every pool.
  void Clear();
  // One run of the validation thread: every pool trimmed, pools with nothing
  // taken or idle freed.
  void ValidatePass();
  int PoolCount() const;
  // The pool of equal parameters, or none.
  std::shared_ptr<TZelConnectionPool> FindPool(const TZelConnectionParameters& parameters) const;
  // How long a hand-out waits for a free slot (30 s).
  void SetHandOutWait(std::chrono::milliseconds value) { FHandOutWait = value; }

 protected:
  virtual std::shared_ptr<TZelConnectionPool> CreatePool(const TZelConnectionParameters& parameters,
                                                         TPoolClock clock) = 0;

 private:
  void ValidateThreadRun();
  void StopValidateThread();

  TPoolClock FClock;
  std::chrono::milliseconds FHandOutWait = kDefaultHandOutWait;
  mutable std::mutex FLockList;
  std::vector<std::shared_ptr<TZelConnectionPool>> FPools;
  // Serialises trimming passes (the thread's and explicit ones).
  std::mutex FLockValidate;

  std::mutex FThreadLock;
  std::condition_variable FThreadWake;
  std::atomic<bool> FTerminated{false};
  std::thread FValidateThread;
};

}  // namespace vix
