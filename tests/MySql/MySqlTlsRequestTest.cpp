// The switch to TLS as a scripted server sees it: the TLS request after the
// greeting, and no login at all from a client that asked for TLS when the
// server does not offer it.
#include <string>
#include <vector>

#include "MySql/MyClasses.h"
#include "ScriptedServer.h"
#include "TestSupport.h"

namespace vix {
namespace {

constexpr uint16_t kCapsWithoutTls = 0xF7FE;  // 4.1, compression, no CLIENT_SSL
constexpr uint16_t kCapsWithTls = kCapsWithoutTls | 0x0800;

struct Attempt {
  int error = 0;
  UString message;
  std::vector<std::string> received;  // what the client sent after the greeting
};

Attempt ConnectWithTls(uint16_t caps, TMySslVerify verify) {
  Attempt a;
  test::TLoopbackServer server([&](int fd) {
    test::SendAll(fd, test::Packet(test::GreetingPayload(caps), 0));
    for (;;) {
      const std::string in = test::ReadClient(fd);
      if (in.empty()) return;
      a.received.push_back(in);
      // A client hello gets no answer: the connection ends here.
      if (a.received.size() == 2) return;
    }
  });
  TMySQLConnection c;
  c.SetServer(u"127.0.0.1");
  c.SetUsername(u"secret_user");
  c.SetPassword(u"pw");
  c.SetProp(prPort, server.Port());
  c.SetProp(prUseUnicode, true);
  c.SetProp(prConnectionTimeout, 5);
  c.SetProp(prProtocol, static_cast<int32_t>(mpSSL));
  c.SetProp(prSSLVerify, static_cast<int32_t>(verify));
  try {
    c.Connect(UString());
  } catch (const EMyError& e) {
    a.error = e.ErrorCode();
    a.message = e.Message();
  }
  EXPECT_FALSE(c.GetConnected());
  return a;
}

TEST(MySqlTlsRequest, ServerWithoutTlsGetsNoLogin) {
  for (TMySslVerify verify : {svNone, svCA, svIdentity}) {
    SCOPED_TRACE(static_cast<int>(verify));
    const Attempt a = ConnectWithTls(kCapsWithoutTls, verify);
    EXPECT_EQ(a.error, 2026);
    EXPECT_GT(Pos(u"does not offer TLS", a.message), 0u) << Utf16ToUtf8(a.message);
    for (const std::string& in : a.received) EXPECT_EQ(in.find("secret_user"), std::string::npos);
  }
}

TEST(MySqlTlsRequest, RequestIsTheLoginHeadThenAHandshake) {
  const Attempt a = ConnectWithTls(kCapsWithTls, svNone);
  std::string stream;  // the reads of the server may join what the client sent apart
  for (const std::string& in : a.received) stream += in;
  ASSERT_GE(stream.size(), 4u + 32u);
  const std::string request = stream.substr(0, 4 + 32);
  EXPECT_EQ(request.substr(0, 4), std::string("\x20\x00\x00\x01", 4));  // 32 bytes, sequence 1
  const uint32_t flags = static_cast<uint8_t>(request[4]) | static_cast<uint8_t>(request[5]) << 8 |
                         static_cast<uint8_t>(request[6]) << 16 |
                         static_cast<uint32_t>(static_cast<uint8_t>(request[7])) << 24;
  EXPECT_NE(flags & 0x0800, 0u);                     // CLIENT_SSL
  EXPECT_NE(flags & 0x0200, 0u);                     // CLIENT_PROTOCOL_41
  EXPECT_EQ(static_cast<uint8_t>(request[12]), 33);  // utf8
  EXPECT_EQ(request.substr(13), std::string(23, '\0'));
  // Next comes a TLS client hello (a handshake record), never the login in clear.
  const std::string after = stream.substr(request.size());
  EXPECT_EQ(after.find("secret_user"), std::string::npos);
#ifdef _WIN32
  // A build without TLS: the switch fails at once, and the session ends with its quit command.
  if (!after.empty()) {
    EXPECT_EQ(after, test::Packet(test::B({1}), 0));
  }
#else
  if (!after.empty()) {
    EXPECT_EQ(static_cast<uint8_t>(after[0]), 0x16);
  }
#endif
  EXPECT_EQ(a.error, 2026);
  EXPECT_GT(Pos(u"SSL connection error", a.message), 0u) << Utf16ToUtf8(a.message);
}

}  // namespace
}  // namespace vix
