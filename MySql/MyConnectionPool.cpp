#include "MySql/MyConnectionPool.h"

#include "rtl/SysUtils.h"

namespace vix {

// --- TMyConnectionParameters ----------------------------------------------------------

std::unique_ptr<TZelConnectionParameters> TMyConnectionParameters::Clone() const {
  return std::make_unique<TMyConnectionParameters>(*this);
}

bool TMyConnectionParameters::Equals(const TZelConnectionParameters& other) const {
  if (!TZelConnectionParameters::Equals(other)) return false;
  const auto& o = static_cast<const TMyConnectionParameters&>(other);
  if (!(SameText(Database, o.Database) && Port == o.Port && ConnectionTimeout == o.ConnectionTimeout &&
        Compress == o.Compress && UseUnicode == o.UseUnicode && Charset == o.Charset && Protocol == o.Protocol &&
        Embedded == o.Embedded && Direct == o.Direct && SecureAuth == o.SecureAuth))
    return false;
  // A session through another tunnel, or as another tunnel user, is another session.
  if (Protocol == mpHttp &&
      !(HttpUrl == o.HttpUrl && HttpUsername == o.HttpUsername && HttpPassword == o.HttpPassword &&
        ProxyHostname == o.ProxyHostname && ProxyPort == o.ProxyPort && ProxyUsername == o.ProxyUsername &&
        ProxyPassword == o.ProxyPassword))
    return false;
  // A session checked against another CA or with another key is another session.
  return Protocol != mpSSL ||
         (SSLCipherList == o.SSLCipherList && SSLCACert == o.SSLCACert && SSLCAPath == o.SSLCAPath &&
          SSLKey == o.SSLKey && SSLCert == o.SSLCert && SSLVerify == o.SSLVerify);
}

bool TMyConnectionParameters::SetProp(TPropId prop, const Variant& value) {
  switch (prop) {
    case prDatabase: Database = value.AsString(); return true;
    case prPort: Port = value.AsInteger(); return true;
    case prConnectionTimeout: ConnectionTimeout = value.AsInteger(); return true;
    case prCompress: Compress = value.AsBoolean(); return true;
    case prCharset: Charset = value.AsString(); return true;
    case prProtocol: Protocol = static_cast<TMyProtocol>(value.AsInteger()); return true;
    case prUseUnicode: UseUnicode = value.AsBoolean(); return true;
    case prEmbeddedParams: EmbeddedParams = SplitEmbeddedParams(Trim(value.AsString())); return true;
    case prSSLCipherList: SSLCipherList = value.AsString(); return true;
    case prSSLCACert: SSLCACert = value.AsString(); return true;
    case prSSLCAPath: SSLCAPath = value.AsString(); return true;
    case prSSLKey: SSLKey = value.AsString(); return true;
    case prSSLCert: SSLCert = value.AsString(); return true;
    case prSSLVerify: {
      const int verify = value.AsInteger();
      if (verify < svNone || verify > svIdentity) return false;
      SSLVerify = static_cast<TMySslVerify>(verify);
      return true;
    }
    case prSecureAuth: SecureAuth = value.AsBoolean(); return true;
    case prEmbedded: Embedded = value.AsBoolean(); return true;
    case prDirect: Direct = value.AsBoolean(); return true;
    case prHttpUrl: HttpUrl = value.AsString(); return true;
    case prHttpUsername: HttpUsername = value.AsString(); return true;
    case prHttpPassword: HttpPassword = value.AsString(); return true;
    case prProxyHostname: ProxyHostname = value.AsString(); return true;
    case prProxyPort: ProxyPort = value.AsInteger(); return true;
    case prProxyUsername: ProxyUsername = value.AsString(); return true;
    case prProxyPassword: ProxyPassword = value.AsString(); return true;
    default: return TZelConnectionParameters::SetProp(prop, value);
  }
}

UString TMyConnectionParameters::AsStringExtra() const {
  return Format(u"Port=%d\rDatabase=%s\r", {Port, Database});
}

// --- TMyLocalConnectionPool -------------------------------------------------------------

std::unique_ptr<TZelConnection> TMyLocalConnectionPool::CreateNewConnection(const TZelConnectionParameters& request) {
  const auto& p = static_cast<const TMyConnectionParameters&>(request);
  auto connection = std::make_unique<TMySQLConnection>();
  connection->SetProp(prDatabase, p.Database);
  connection->SetProp(prConnectionTimeout, p.ConnectionTimeout);
  connection->SetProp(prPort, p.Port);
  connection->SetProp(prEmbedded, p.Embedded);
  connection->SetProp(prDirect, p.Direct);
  connection->SetProp(prCompress, p.Compress);
  connection->SetProp(prUseUnicode, p.UseUnicode);
  connection->SetProp(prCharset, p.Charset);
  connection->SetProp(prProtocol, static_cast<int32_t>(p.Protocol));
  connection->SetProp(prSecureAuth, p.SecureAuth);
  connection->SetIOHandler(p.IOHandler);
  connection->SetProp(prSSLCipherList, p.SSLCipherList);
  connection->SetProp(prSSLCACert, p.SSLCACert);
  connection->SetProp(prSSLCAPath, p.SSLCAPath);
  connection->SetProp(prSSLKey, p.SSLKey);
  connection->SetProp(prSSLCert, p.SSLCert);
  connection->SetProp(prSSLVerify, static_cast<int32_t>(p.SSLVerify));
  if (p.Protocol == mpHttp) {
    connection->SetProp(prHttpUrl, p.HttpUrl);
    connection->SetProp(prHttpUsername, p.HttpUsername);
    connection->SetProp(prHttpPassword, p.HttpPassword);
    connection->SetProp(prProxyHostname, p.ProxyHostname);
    connection->SetProp(prProxyPort, p.ProxyPort);
    connection->SetProp(prProxyUsername, p.ProxyUsername);
    connection->SetProp(prProxyPassword, p.ProxyPassword);
  }
  UString params;
  for (const UString& line : p.EmbeddedParams) params += line + u"\r\n";
  connection->SetProp(prEmbeddedParams, params);
  connection->SetOnError(p.OnError);
  connection->SetUsername(p.Username);
  connection->SetPassword(p.Password);
  connection->SetServer(p.Server);
  connection->Connect(UString());
  return connection;
}

// --- TMyConnectionPoolManager -------------------------------------------------------------

TMyConnectionPoolManager::~TMyConnectionPoolManager() = default;

TMyConnectionPoolManager& TMyConnectionPoolManager::Instance() {
  // The client API object first: made before the manager, it is freed after
  // it, so the sessions the manager closes at exit still have it.
  static TMySQLAPI& api = MyAPIDirect();
  (void)api;
  static TMyConnectionPoolManager manager;
  return manager;
}

std::shared_ptr<TZelConnectionPool> TMyConnectionPoolManager::CreatePool(const TZelConnectionParameters& parameters,
                                                                         TPoolClock clock) {
  return std::make_shared<TMyLocalConnectionPool>(parameters, std::move(clock));
}

}  // namespace vix
