// The local socket transport against listeners of this process: path rules,
// a busy listener within the connection time-out, and hosts that are not this
// machine.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Common/ZelVioLocal.h"
#include "TestSupport.h"

namespace vix {
namespace {

// A listening Unix-domain socket in the test's temporary folder.
struct Listener {
  std::string path;
  int fd = -1;
  std::vector<int> queued;  // connections that fill the accept queue

  explicit Listener(const std::string& name, int backlog) {
    path = ::testing::TempDir() + name + "_" + std::to_string(getpid()) + ".sock";
    ::unlink(path.c_str());
    fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, path.data(), path.size());
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(listen(fd, backlog), 0);
  }
  ~Listener() {
    for (int q : queued) ::close(q);
    ::close(fd);
    ::unlink(path.c_str());
  }
  // Connects without accepting until the listener answers EAGAIN.
  void FillQueue() {
    for (int i = 0; i < 64; ++i) {
      const int c = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
      sockaddr_un a{};
      a.sun_family = AF_UNIX;
      std::memcpy(a.sun_path, path.data(), path.size());
      if (connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ASSERT_EQ(errno, EAGAIN);
        ::close(c);
        return;
      }
      queued.push_back(c);
    }
    FAIL() << "the accept queue never filled";
  }
};

TEST(ZelVioLocalTest, PathAndHostRules) {
  EXPECT_EQ(LocalSocketPath(""), kDefaultLocalSocket);
  EXPECT_EQ(LocalSocketPath("/tmp/my.sock"), "/tmp/my.sock");
  const struct {
    const char* host;
    bool local;
  } hosts[] = {{"", true},           {".", true},           {"localhost", true},  {"LocalHost", true},
               {"127.0.0.1", false}, {"localhost2", false}, {"db.example", false}};
  for (const auto& h : hosts) EXPECT_EQ(IsLocalHostName(h.host), h.local) << h.host;
}

TEST(ZelVioLocalTest, ConnectsAndMovesBytes) {
  Listener l("vio_local_echo", 4);
  TZelVioLocal vio("LocalHost", l.path, 3306);
  vio.SetTimeout(5);
  vio.Connect();
  const int peer = accept(l.fd, nullptr, nullptr);
  ASSERT_GE(peer, 0);
  const uint8_t out[] = {1, 2, 3, 4};
  EXPECT_EQ(vio.Write(out, 0, 4), 4);
  uint8_t got[4] = {};
  ASSERT_EQ(::read(peer, got, 4), 4);
  ASSERT_EQ(::write(peer, got, 4), 4);
  uint8_t back[4] = {};
  EXPECT_EQ(vio.Read(back, 0, 4), 4);
  EXPECT_EQ(std::memcmp(back, out, 4), 0);
  ::close(peer);
  vio.Close();
}

TEST(ZelVioLocalTest, BusyListenerEndsAtTheConnectionTimeout) {
  Listener l("vio_local_busy", 0);
  l.FillQueue();
  TZelVioLocal vio("", l.path, 0);
  vio.SetTimeout(1);
  const auto start = std::chrono::steady_clock::now();
  try {
    vio.Connect();
    FAIL() << "connected to a full queue";
  } catch (const SocketException& e) {
    EXPECT_EQ(e.ErrorCode(), CR_NAMEDPIPEWAIT_ERROR);
    EXPECT_GT(Pos(UString(u"timed out"), e.Message()), 0u) << Utf16ToUtf8(e.Message());
    EXPECT_GT(Pos(Utf8ToUtf16(l.path), e.Message()), 0u);
  }
  // One deadline for every attempt, not a wait per attempt.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_FALSE(vio.IsActive());
}

TEST(ZelVioLocalTest, BusyListenerThatFreesUpIsReached) {
  Listener l("vio_local_frees", 0);
  l.FillQueue();
  std::thread freer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (size_t i = 0; i < l.queued.size(); ++i) {
      const int a = accept(l.fd, nullptr, nullptr);
      if (a >= 0) ::close(a);
    }
  });
  TZelVioLocal vio("localhost", l.path, 0);
  vio.SetTimeout(10);
  EXPECT_NO_THROW(vio.Connect());
  freer.join();
  EXPECT_TRUE(vio.IsActive());
}

TEST(ZelVioLocalTest, AnotherMachineIsRefused) {
  TZelVioLocal vio("db.example", "/tmp/whatever.sock", 0);
  try {
    vio.Connect();
    FAIL() << "connected";
  } catch (const SocketException& e) {
    EXPECT_EQ(e.ErrorCode(), CR_NAMEDPIPEOPEN_ERROR);
    EXPECT_GT(Pos(UString(u"db.example"), e.Message()), 0u) << Utf16ToUtf8(e.Message());
  }
}

}  // namespace
}  // namespace vix
