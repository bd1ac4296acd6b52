// The named-pipe transport (Windows, under wine) through the client API with
// the pipe protocol, against the scripted fake server listening on a pipe of
// its own: login, a result, a busy pipe, a missing pipe.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "Common/ZelVioLocal.h"
#include "MySql/MySqlApiDirect.h"
#include "PipeServer.h"
#include "ScriptedServer.h"
#include "TestSupport.h"

namespace vix {
namespace {

using test::B;
using test::ColumnDef;
using test::kEof;
using test::kGreeting;
using test::kLoginOk;
using test::Packet;

std::string PipeName(const char* what) {
  static std::atomic<int> counter{0};
  return std::string("vix_test_") + what + "_" + std::to_string(GetCurrentProcessId()) + "_" +
         std::to_string(counter++);
}

struct PipeTest : ::testing::Test {
  TMySQLAPIDirect api;
  std::vector<PMYSQL> open;
  void TearDown() override {
    for (PMYSQL m : open) api.mysql_close(m);
  }
  PMYSQL Handle(int timeout) {
    PMYSQL m = api.mysql_init(nullptr);
    open.push_back(m);
    api.mysql_options(m, MYSQL_OPT_PROTOCOL, MYSQL_PROTOCOL_PIPE);
    api.mysql_options(m, MYSQL_OPT_CONNECT_TIMEOUT, timeout);
    api.SetTimeout(m, timeout);
    return m;
  }
  // Connects over the pipe; returns the error number (0 on success).
  int Connect(PMYSQL m, const std::string& pipe, const std::string& host = "") {
    return api.mysql_real_connect(m, host, "user", "pw", "db", 0, pipe, 0) ? 0 : api.mysql_errno(m);
  }
  std::string Error(PMYSQL m) { return api.mysql_error(m); }
};

TEST(NamedPipePathTest, HostAndNameRules) {
  const struct {
    const char* host;
    const char* pipe;
    const char* path;
  } cases[] = {{"", "", "\\\\.\\pipe\\MySQL"},
               {"LocalHost", "", "\\\\.\\pipe\\MySQL"},
               {".", "vix", "\\\\.\\pipe\\vix"},
               {"dbsrv", "mysql57", "\\\\dbsrv\\pipe\\mysql57"}};
  for (const auto& c : cases) EXPECT_EQ(NamedPipePath(c.host, c.pipe), c.path) << c.host << " " << c.pipe;
}

TEST_F(PipeTest, LogsInAndReadsAResult) {
  const std::string name = PipeName("result");
  std::vector<std::string> received;
  const std::string result =
      Packet(B({1}), 1) + Packet(ColumnDef("c"), 2) + Packet(kEof, 3) + Packet(B({5}) + "hello", 4) + Packet(kEof, 5);
  test::TPipeServer server(name, [&](test::TPipeEnd end) {
    test::Play(end, {kGreeting, kLoginOk, result}, &received);
  });
  ASSERT_TRUE(server.Listening());
  PMYSQL m = Handle(5);
  ASSERT_EQ(Connect(m, name, "localhost"), 0) << Error(m);
  EXPECT_EQ(api.mysql_get_host_info(m), ". via named pipe");
  const std::string sql = "SELECT 'hello'";
  ASSERT_EQ(api.mysql_real_query(m, sql.data(), sql.size()), 0) << Error(m);
  PMYSQL_RES res = api.mysql_use_result(m);
  ASSERT_NE(res, nullptr) << Error(m);
  PMYSQL_ROW row = api.mysql_fetch_row(res);
  ASSERT_NE(row, nullptr) << Error(m);
  EXPECT_EQ(api._mysql_fetch_value_str(row, 0), "hello");
  EXPECT_EQ(api.mysql_fetch_row(res), nullptr);
  EXPECT_EQ(api.mysql_errno(m), 0u);
  api.mysql_free_result(res);
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0].substr(0, 3), Packet(received[0].substr(4), 1).substr(0, 3));  // the login, one packet
  EXPECT_EQ(received[1], Packet(B({3}) + sql, 0));                                     // COM_QUERY
}

TEST_F(PipeTest, MissingPipeIs2017WithTheSystemsText) {
  PMYSQL m = Handle(2);
  EXPECT_EQ(Connect(m, PipeName("missing")), 2017);
  EXPECT_NE(Error(m).find("\\\\.\\pipe\\vix_test_missing_"), std::string::npos) << Error(m);
}

// A name that climbs out of the pipe folder reaches a file: it opens like a
// pipe, but a file has no read mode to set. The file is closed again: only
// then can it be deleted.
TEST_F(PipeTest, NameThatOpensAFileIs2018AndClosesIt) {
  test::TTempFile file("vix_not_a_pipe_", "x");
  std::string name = "..\\" + file.Path();
  std::replace(name.begin(), name.end(), '/', '\\');
  PMYSQL m = Handle(2);
  EXPECT_EQ(Connect(m, name), 2018) << Error(m);
  EXPECT_NE(Error(m).find("\\\\.\\pipe\\..\\"), std::string::npos) << Error(m);
  EXPECT_TRUE(DeleteFileA(file.Path().c_str())) << GetLastError();
}

TEST_F(PipeTest, BusyPipeWaitsUntilTheTimeOutThenIs2016) {
  const std::string name = PipeName("busy");
  std::atomic<bool> release{false};
  // One instance, held by the first client until released.
  test::TPipeServer server(name, [&](test::TPipeEnd end) {
    test::Play(end, {kGreeting, kLoginOk});
    while (!release) Sleep(10);
  });
  ASSERT_TRUE(server.Listening());
  PMYSQL first = Handle(5);
  ASSERT_EQ(Connect(first, name), 0) << Error(first);
  PMYSQL second = Handle(1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Connect(second, name), 2016) << Error(second);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  release = true;
}

TEST_F(PipeTest, BusyPipeThatFreesWithinTheTimeOutConnects) {
  const std::string name = PipeName("freed");
  // The first client's instance is given back after 300 ms; the second waits for it.
  test::TPipeServer server(
      name,
      [&](test::TPipeEnd end) {
        test::Play(end, {kGreeting, kLoginOk});
        if (server.Served() == 1) Sleep(300);
      },
      2);
  ASSERT_TRUE(server.Listening());
  PMYSQL first = Handle(5);
  ASSERT_EQ(Connect(first, name), 0) << Error(first);
  PMYSQL second = Handle(5);
  EXPECT_EQ(Connect(second, name), 0) << Error(second);
}

}  // namespace
}  // namespace vix
