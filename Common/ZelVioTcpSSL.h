// The TCP transport that can switch an open connection to TLS (OpenSSL).
#pragma once

#include <string>

#include "Common/ZelVioTcp.h"

struct ssl_ctx_st;
struct ssl_st;

namespace vix {

// How the server's certificate is checked: not at all, against the
// certificate authorities, or against them and the host name as well.
enum class TSslVerify { None, CA, Identity };

struct TSslSettings {
  std::string key;     // client private key file (PEM); empty: the certificate file
  std::string cert;    // client certificate file (PEM); empty: no client certificate
  std::string ca;      // certificate-authority file
  std::string capath;  // certificate-authority folder
  std::string cipher;  // cipher list (TLS 1.2 and below); empty: the library's default
  TSslVerify verify = TSslVerify::None;
};

// Starts as plain TCP. SetSecure runs the TLS handshake on the open socket
// (TLS 1.2 at least); from then on every byte goes through TLS. A failure of
// the handshake, of the certificate, key, cipher list or authority settings,
// or of the verification that was asked for raises SocketException 2026
// (CR_SSL_CONNECTION_ERROR) with OpenSSL's reason; the OpenSSL objects are
// freed and the transport stays plain.
class TZelVioTcpSSL : public TZelVioTcp {
 public:
  TZelVioTcpSSL(std::string hostname, int port, TSslSettings settings);
  ~TZelVioTcpSSL() override;

  void SetSecure();
  bool IsSecure() const { return FSsl != nullptr; }
  // The certificate check's result (X509_V_OK = 0 when it passed), also when
  // nothing was verified; -1 before the handshake.
  long VerifyResult() const { return FVerifyResult; }
  // The negotiated protocol version and cipher ("TLSv1.3", ...), empty while plain.
  std::string Version() const;
  std::string Cipher() const;

  void Close() override;
  int ReadNoWait(uint8_t* buffer, int offset, int count) override;
  int WriteNoWait(const uint8_t* buffer, int offset, int count) override;
  int Write(const uint8_t* buffer, int offset, int count) override;
  bool WaitForData(int timeout) override;

 private:
  [[noreturn]] void Fail(const std::string& what);
  void FreeSsl();

  TSslSettings FSettings;
  ssl_ctx_st* FContext = nullptr;
  ssl_st* FSsl = nullptr;
  long FVerifyResult = -1;
};

}  // namespace vix
