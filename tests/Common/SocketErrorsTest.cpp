// The Windows socket error numbers of three failures, through the TCP
// transport. The Linux build gets them from errno and the resolver through
// our table, the Windows build from Winsock itself (run under wine): the same
// test passing in both builds is the comparison.
#include <chrono>
#include <string>
#include <thread>

#include "Common/ZelVioTcp.h"
#include "LoopbackServer.h"
#include "TestSupport.h"

namespace vix {
namespace {

struct TFailure {
  int ClientError;  // 0: the connect succeeds and the read fails
  int WinSock;      // the number in the message and in LastError
};

// Connects to `host`:`port` and reads once; returns what failed and its number.
TFailure Attempt(const std::string& host, int port) {
  TZelVioTcp vio(host, port);
  vio.SetReceiveTimeout(1);
  try {
    vio.Connect();
  } catch (const SocketException& e) {
    const std::string text = Utf16ToUtf8(e.Message());
    const size_t digits = text.find_first_of("0123456789");
    return {e.ErrorCode(), digits == std::string::npos ? -1 : std::stoi(text.substr(digits))};
  }
  uint8_t byte = 0;
  EXPECT_EQ(vio.ReadNoWait(&byte, 0, 1), 0);
  const std::string text = Utf16ToUtf8(vio.LastError());
  const size_t at = text.find("return ");
  return {0, at == std::string::npos ? -1 : std::stoi(text.substr(at + 7))};
}

TEST(SocketErrorsTest, RefusedPortUnknownHostAndReceiveTimeOut) {
  // A listener that accepts and then says nothing for longer than the time-out.
  test::TLoopbackServer silent([](int) { std::this_thread::sleep_for(std::chrono::milliseconds(2500)); });
  const struct {
    const char* what;
    std::string host;
    int port;
    TFailure expected;
  } cases[] = {
      {"refused port", "127.0.0.1", test::UnusedLoopbackPort(), {CR_CONN_HOST_ERROR, 10061}},  // WSAECONNREFUSED
      {"unknown host", "vix-no-such-host.invalid", 3306, {CR_UNKNOWN_HOST, 11001}},            // WSAHOST_NOT_FOUND
      {"receive time-out", "127.0.0.1", silent.Port(), {0, 10060}},                            // WSAETIMEDOUT
  };
  for (const auto& c : cases) {
    const TFailure got = Attempt(c.host, c.port);
    EXPECT_EQ(got.ClientError, c.expected.ClientError) << c.what;
    EXPECT_EQ(got.WinSock, c.expected.WinSock) << c.what;
  }
}

}  // namespace
}  // namespace vix
