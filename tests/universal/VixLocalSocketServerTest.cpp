// The universal connection and query over the local socket transport, against
// the private MariaDB server's own socket, and the errors of a socket path that
// cannot be opened. Skipped locally when the server is not running.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "MySql/MyClasses.h"
#include "MySql/MySQLVixProvider.h"
#include "TestSupport.h"
#include "rtl/CodePage.h"
#include "universal/Vix.h"

namespace vix {
namespace {

using test::EnvOr;

struct VixLocalSocketServerTest : ::testing::Test {
  std::string socketPath;
  TVixConnection connection;
  TVixQuery query;

  void SetUp() override {
    socketPath = EnvOr("VIX_MYSQL_SOCKET");
    VIX_REQUIRE_COMPONENT(!socketPath.empty(), "MariaDB test server (VIX_MYSQL_SOCKET)");
    RegisterMySQLVixProvider();
    connection.SetProviderName(u"MySQL");
    connection.SetDatabase(Utf8ToUtf16(EnvOr("VIX_MYSQL_DATABASE", "vixtest")));
    connection.SetUsername(Utf8ToUtf16(EnvOr("VIX_MYSQL_USER", "vix")));
    connection.SetPassword(Utf8ToUtf16(EnvOr("VIX_MYSQL_PASSWORD")));
    // A port that nobody listens on: the login must not take the TCP way.
    connection.SetPort(1);
    connection.SpecificOptions().Add(u"MySQL.UseUnicode=True");
    query.SetConnection(&connection);
  }
  void TearDown() override {
    query.Close();
    connection.Close();
  }

  // Connects over the local transport; the error number and message when it fails.
  int ConnectError(const UString& protocol, const std::string& server, UString& message) {
    connection.SetServer(Utf8ToUtf16(server));
    connection.SpecificOptions().Add(u"MySQL.Protocol=" + protocol);
    try {
      connection.Connect();
    } catch (const EVixError& e) {
      message = e.Message();
      return e.ErrorCode();
    }
    return 0;
  }
};

TEST_F(VixLocalSocketServerTest, LogsInAndQueriesThroughTheServersSocket) {
  for (const UString protocol : {u"mpSocket", u"mpPipe"}) {
    SCOPED_TRACE(Utf16ToUtf8(protocol));
    UString message;
    ASSERT_EQ(ConnectError(protocol, socketPath, message), 0) << Utf16ToUtf8(message);
    query.SetSQL(u"SELECT CONCAT('local ', :Word) AS Said, @@socket AS Sock");
    query.ParamByName(u"Word").SetAsString(u"소켓");
    query.Open();
    EXPECT_EQ(query.FieldByName(u"Said").AsString(), u"local 소켓");
    EXPECT_EQ(query.FieldByName(u"Sock").AsString(), Utf8ToUtf16(socketPath));
    query.Close();
    // The session really is on the socket: the server sees it from localhost without a port.
    query.SetSQL(u"SELECT HOST FROM information_schema.PROCESSLIST WHERE ID = CONNECTION_ID()");
    query.Open();
    EXPECT_EQ(query.Fields(0).AsString(), u"localhost");
    query.Close();
    connection.Close();
  }
}

TEST_F(VixLocalSocketServerTest, PathsThatCannotBeOpenedReportTheirOwnErrors) {
  const std::string dir = ::testing::TempDir();
  const std::string plainFile = dir + "vix_not_a_socket_" + std::to_string(getpid());
  std::FILE* f = std::fopen(plainFile.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  struct Case {
    std::string server;
    const char16_t* systemText;
  } cases[] = {
      {dir + "vix_missing_" + std::to_string(getpid()) + ".sock", u"No such file or directory"},
      {plainFile, u"Connection refused"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.server);
    UString message;
    EXPECT_EQ(ConnectError(u"mpSocket", c.server, message), 2017);
    EXPECT_GT(Pos(Utf8ToUtf16(c.server), message), 0u) << Utf16ToUtf8(message);
    EXPECT_GT(Pos(UString(c.systemText), message), 0u) << Utf16ToUtf8(message);
    EXPECT_GT(Pos(u"localhost", message), 0u) << Utf16ToUtf8(message);
    EXPECT_FALSE(connection.GetConnected());
  }
  std::remove(plainFile.c_str());
}

}  // namespace
}  // namespace vix
