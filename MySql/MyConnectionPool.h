// Connection pooling for MySQL: the settings that tell MySQL pools apart,
// the pool that makes MySQL connections, and the process-wide manager.
#pragma once

#include <memory>
#include <vector>

#include "Common/ZelConnectionPool.h"
#include "MySql/MyClasses.h"

namespace vix {

// The generic settings plus everything a MySQL session is opened with.
class TMyConnectionParameters : public TZelConnectionParameters {
 public:
  std::unique_ptr<TZelConnectionParameters> Clone() const override;
  // Also: database (ignoring case), port, time-out, compression, Unicode,
  // charset (exact), protocol, embedded, direct, secure authentication, and
  // with TLS the four SSL texts and the certificate check.
  bool Equals(const TZelConnectionParameters& other) const override;
  // Takes prDatabase, prPort, prConnectionTimeout, prCompress, prCharset,
  // prProtocol, prUseUnicode, prEmbeddedParams, the SSL settings,
  // prSecureAuth, prEmbedded and prDirect.
  bool SetProp(TPropId prop, const Variant& value) override;

  UString Database;
  int32_t Port = 0;
  int32_t ConnectionTimeout = 15;
  bool Compress = false;
  bool UseUnicode = false;
  UString Charset;
  TMyProtocol Protocol = mpDefault;
  bool Embedded = false;
  bool Direct = true;
  bool SecureAuth = false;
  UString SSLCipherList, SSLCACert, SSLCAPath, SSLKey, SSLCert;
  // The HTTP tunnel's settings (Protocol=mpHttp).
  UString HttpUrl, HttpUsername, HttpPassword, ProxyHostname, ProxyUsername, ProxyPassword;
  int32_t ProxyPort = 8080;
  TMySslVerify SSLVerify = svNone;
  // The embedded-server parameters, one per line.
  std::vector<UString> EmbeddedParams;

 protected:
  UString AsStringExtra() const override;
};

// A pool of MySQL connections.
class TMyLocalConnectionPool : public TZelConnectionPool {
 public:
  using TZelConnectionPool::TZelConnectionPool;

 protected:
  // A TMySQLConnection with the request's settings, its error callback the
  // request's, connected; a failure frees it and propagates.
  std::unique_ptr<TZelConnection> CreateNewConnection(const TZelConnectionParameters& request) override;
};

class TMyConnectionPoolManager : public TZelConnectionPoolManager {
 public:
  using TZelConnectionPoolManager::TZelConnectionPoolManager;
  ~TMyConnectionPoolManager() override;

  // The process's manager, made on first use; freed at exit after its
  // validation thread has ended.
  static TMyConnectionPoolManager& Instance();

 protected:
  std::shared_ptr<TZelConnectionPool> CreatePool(const TZelConnectionParameters& parameters, TPoolClock clock) override;
};

}  // namespace vix
