// The TLS transport of a build without OpenSSL (the Windows build: Debian has
// no OpenSSL for mingw-w64). It stays plain TCP; asking for TLS fails with
// 2026 like any other TLS failure, so no connection is silently left plain.
#include "Common/ZelVioTcpSSL.h"

namespace vix {

TZelVioTcpSSL::TZelVioTcpSSL(std::string hostname, int port, TSslSettings settings)
    : TZelVioTcp(std::move(hostname), port), FSettings(std::move(settings)) {}

TZelVioTcpSSL::~TZelVioTcpSSL() = default;

void TZelVioTcpSSL::FreeSsl() {}

void TZelVioTcpSSL::Fail(const std::string& what) {
  FLastError = Utf8ToUtf16Lenient(what);
  throw SocketException(u"SSL connection error: %s", {FLastError}, CR_SSL_CONNECTION_ERROR);
}

void TZelVioTcpSSL::SetSecure() {
  Fail("TLS is not available in this build");
}

std::string TZelVioTcpSSL::Version() const {
  return std::string();
}

std::string TZelVioTcpSSL::Cipher() const {
  return std::string();
}

void TZelVioTcpSSL::Close() {
  TZelVioTcp::Close();
}

int TZelVioTcpSSL::ReadNoWait(uint8_t* buffer, int offset, int count) {
  return TZelVioTcp::ReadNoWait(buffer, offset, count);
}

int TZelVioTcpSSL::WriteNoWait(const uint8_t* buffer, int offset, int count) {
  return TZelVioTcp::WriteNoWait(buffer, offset, count);
}

int TZelVioTcpSSL::Write(const uint8_t* buffer, int offset, int count) {
  return TZelVioTcp::Write(buffer, offset, count);
}

bool TZelVioTcpSSL::WaitForData(int timeout) {
  return TZelVioTcp::WaitForData(timeout);
}

}  // namespace vix
