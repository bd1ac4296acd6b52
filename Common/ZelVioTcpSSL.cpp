#include "Common/ZelVioTcpSSL.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <cerrno>

namespace vix {

namespace {

// OpenSSL's queued errors as one text (the queue is emptied).
std::string OpenSslReasons() {
  std::string text;
  while (const unsigned long e = ERR_get_error()) {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    if (!text.empty()) text += "; ";
    text += buf;
  }
  return text;
}

// OpenSSL writes to the socket with write(): a peer that went away would end
// the process with SIGPIPE. While a guard lives, the signal is blocked for
// this thread, and one that the guarded call raised is taken away unseen.
class NoSigPipe {
 public:
  NoSigPipe() {
    sigemptyset(&FPipe);
    sigaddset(&FPipe, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    FWasPending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &FPipe, &FOld);
  }
  ~NoSigPipe() {
    if (!FWasPending) {
      sigset_t pending;
      sigemptyset(&pending);
      sigpending(&pending);
      if (sigismember(&pending, SIGPIPE) == 1) {
        const timespec none{0, 0};
        while (sigtimedwait(&FPipe, nullptr, &none) == -1 && errno == EINTR) {
        }
      }
    }
    pthread_sigmask(SIG_SETMASK, &FOld, nullptr);
  }
  NoSigPipe(const NoSigPipe&) = delete;
  NoSigPipe& operator=(const NoSigPipe&) = delete;

 private:
  sigset_t FPipe;
  sigset_t FOld;
  bool FWasPending = false;
};

bool IsIpAddress(const std::string& host) {
  in_addr v4{};
  in6_addr v6{};
  return inet_pton(AF_INET, host.c_str(), &v4) == 1 || inet_pton(AF_INET6, host.c_str(), &v6) == 1;
}

}  // namespace

TZelVioTcpSSL::TZelVioTcpSSL(std::string hostname, int port, TSslSettings settings)
    : TZelVioTcp(std::move(hostname), port), FSettings(std::move(settings)) {}

TZelVioTcpSSL::~TZelVioTcpSSL() {
  FreeSsl();
}

void TZelVioTcpSSL::FreeSsl() {
  if (FSsl) SSL_free(FSsl);
  if (FContext) SSL_CTX_free(FContext);
  FSsl = nullptr;
  FContext = nullptr;
}

void TZelVioTcpSSL::Fail(const std::string& what) {
  std::string reason = OpenSslReasons();
  const long verify = FSsl ? SSL_get_verify_result(FSsl) : X509_V_OK;
  if (FSsl) FVerifyResult = verify;
  if (verify != X509_V_OK && FSettings.verify != TSslVerify::None)
    reason = std::string("certificate verify failed: ") + X509_verify_cert_error_string(verify) +
             (reason.empty() ? "" : "; " + reason);
  FreeSsl();
  const std::string text = reason.empty() ? what : what + ": " + reason;
  FLastError = Utf8ToUtf16Lenient(text);
  throw SocketException(u"SSL connection error: %s", {FLastError}, CR_SSL_CONNECTION_ERROR);
}

void TZelVioTcpSSL::SetSecure() {
  VIX_VIO_ASSERT(FSd != -1 && FSsl == nullptr);
  ERR_clear_error();
  FContext = SSL_CTX_new(TLS_client_method());
  if (!FContext) Fail("cannot create the TLS context");
  SSL_CTX_set_min_proto_version(FContext, TLS1_2_VERSION);
  if (!FSettings.cipher.empty()) {
    // TLS 1.3 suites (TLS_...) and the older ciphers are set apart; a list
    // without 1.3 suites keeps the connection to TLS 1.2, one with only
    // 1.3 suites to TLS 1.3.
    std::string tls12, tls13;
    size_t from = 0;
    while (from <= FSettings.cipher.size()) {
      size_t to = FSettings.cipher.find_first_of(":, ", from);
      if (to == std::string::npos) to = FSettings.cipher.size();
      const std::string name = FSettings.cipher.substr(from, to - from);
      std::string& list = name.rfind("TLS_", 0) == 0 ? tls13 : tls12;
      if (!name.empty()) list += (list.empty() ? "" : ":") + name;
      from = to + 1;
    }
    if ((!tls13.empty() && SSL_CTX_set_ciphersuites(FContext, tls13.c_str()) != 1) ||
        (!tls12.empty() && SSL_CTX_set_cipher_list(FContext, tls12.c_str()) != 1))
      Fail("cipher list '" + FSettings.cipher + "' not usable");
    if (tls12.empty()) SSL_CTX_set_min_proto_version(FContext, TLS1_3_VERSION);
    if (tls13.empty()) SSL_CTX_set_max_proto_version(FContext, TLS1_2_VERSION);
  }
  if (!FSettings.cert.empty()) {
    const std::string& key = FSettings.key.empty() ? FSettings.cert : FSettings.key;
    if (SSL_CTX_use_certificate_chain_file(FContext, FSettings.cert.c_str()) != 1)
      Fail("cannot load the client certificate " + FSettings.cert);
    if (SSL_CTX_use_PrivateKey_file(FContext, key.c_str(), SSL_FILETYPE_PEM) != 1)
      Fail("cannot load the client key " + key);
    if (SSL_CTX_check_private_key(FContext) != 1) Fail("the client key does not match its certificate");
  }
  if (!FSettings.ca.empty() || !FSettings.capath.empty()) {
    if (SSL_CTX_load_verify_locations(FContext, FSettings.ca.empty() ? nullptr : FSettings.ca.c_str(),
                                      FSettings.capath.empty() ? nullptr : FSettings.capath.c_str()) != 1)
      Fail("cannot load the certificate authorities");
  } else if (FSettings.verify != TSslVerify::None && SSL_CTX_set_default_verify_paths(FContext) != 1) {
    Fail("cannot load the system's certificate authorities");
  }
  SSL_CTX_set_verify(FContext, FSettings.verify == TSslVerify::None ? SSL_VERIFY_NONE : SSL_VERIFY_PEER, nullptr);
  FSsl = SSL_new(FContext);
  if (!FSsl) Fail("cannot create the TLS connection");
  SSL_set_mode(FSsl, SSL_MODE_AUTO_RETRY | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  const bool ip = IsIpAddress(Fhostname);
  if (!ip && !Fhostname.empty()) SSL_set_tlsext_host_name(FSsl, Fhostname.c_str());
  if (FSettings.verify == TSslVerify::Identity) {
    X509_VERIFY_PARAM* param = SSL_get0_param(FSsl);
    const int ok = ip ? X509_VERIFY_PARAM_set1_ip_asc(param, Fhostname.c_str())
                      : X509_VERIFY_PARAM_set1_host(param, Fhostname.c_str(), Fhostname.size());
    if (ok != 1) Fail("cannot check the host name " + Fhostname);
  }
  if (SSL_set_fd(FSsl, FSd) != 1) Fail("cannot attach TLS to the socket");
  int rc;
  {
    NoSigPipe guard;
    rc = SSL_connect(FSsl);
  }
  if (rc != 1) {
    const int error = SSL_get_error(FSsl, rc);
    std::string what =
        "handshake failed (SSL_connect = " + std::to_string(rc) + ", SSL_get_error = " + std::to_string(error) + ")";
    if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0)
      what += rc == 0 ? ": the server closed the connection" : ": the connection failed or timed out";
    Fail(what);
  }
  FVerifyResult = SSL_get_verify_result(FSsl);
}

std::string TZelVioTcpSSL::Version() const {
  return FSsl ? SSL_get_version(FSsl) : "";
}

std::string TZelVioTcpSSL::Cipher() const {
  const char* name = FSsl ? SSL_get_cipher_name(FSsl) : nullptr;
  return name ? name : "";
}

void TZelVioTcpSSL::Close() {
  if (FSsl && FSd != -1) {
    NoSigPipe guard;
    SSL_shutdown(FSsl);  // close_notify; the answer is not awaited
  }
  FreeSsl();
  ERR_clear_error();
  TZelVioTcp::Close();
}

int TZelVioTcpSSL::ReadNoWait(uint8_t* buffer, int offset, int count) {
  if (!FSsl) return TZelVioTcp::ReadNoWait(buffer, offset, count);
  FLastError.clear();
  if (count <= 0) return 0;
  int n;
  {
    NoSigPipe guard;  // a read may answer the server (a key update) by writing
    n = SSL_read(FSsl, buffer + offset, count);
  }
  if (n > 0) return n;
  const int error = SSL_get_error(FSsl, n);
  if (error != SSL_ERROR_ZERO_RETURN)
    FLastError = Utf8ToUtf16Lenient("SSL read error " + std::to_string(error) + " " + OpenSslReasons());
  ERR_clear_error();
  return 0;
}

int TZelVioTcpSSL::WriteNoWait(const uint8_t* buffer, int offset, int count) {
  if (!FSsl) return TZelVioTcp::WriteNoWait(buffer, offset, count);
  FLastError.clear();
  if (count <= 0) return 0;
  int n;
  {
    NoSigPipe guard;
    n = SSL_write(FSsl, buffer + offset, count);
  }
  if (n > 0) return n;
  FLastError = Utf8ToUtf16Lenient("SSL write error " + std::to_string(SSL_get_error(FSsl, n)) + " " + OpenSslReasons());
  ERR_clear_error();
  return 0;
}

// Inside TLS the socket's send time-out bounds each SSL_write; the plain
// retrying write of the base applies.
int TZelVioTcpSSL::Write(const uint8_t* buffer, int offset, int count) {
  if (!FSsl) return TZelVioTcp::Write(buffer, offset, count);
  return TZelVio::Write(buffer, offset, count);
}

bool TZelVioTcpSSL::WaitForData(int timeout) {
  if (FSsl && SSL_pending(FSsl) > 0) return true;
  return TZelVioTcp::WaitForData(timeout);
}

}  // namespace vix
