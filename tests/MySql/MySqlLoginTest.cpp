#include <cstdio>

#include "MemoryVio.h"
#include "MySql/MySqlSession.h"
#include "TestSupport.h"

namespace vix {
namespace {

std::string Hex(ByteSpan b) {
  std::string s;
  char buf[3];
  for (uint8_t v : b) {
    std::snprintf(buf, sizeof buf, "%02x", v);
    s += buf;
  }
  return s;
}

ByteSpan Bytes(const std::string& s) { return ByteSpan(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

TEST(MySqlLogin, Sha1KnownValues) {
  EXPECT_EQ(Hex(Sha1(Bytes(""))), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(Hex(Sha1(Bytes("abc"))), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Hex(Sha1(Bytes(std::string(1000, 'a')))), "291e9a6c66994949b57ba5e650361e98fc36b1ba");
}

// The server keeps SHA1(SHA1(password)) ("*AD38..." for "vix-pass"); it
// accepts an answer r when SHA1(r XOR SHA1(scramble + stored)) is the stored value.
TEST(MySqlLogin, Scramble41IsWhatTheServerChecks) {
  const std::string scramble = "0123456789abcdefghij";
  const auto r = Scramble41("vix-pass", Bytes(scramble));
  const auto stored = Sha1(Sha1(Bytes("vix-pass")));
  EXPECT_EQ(Hex(stored), "ad3808a8ac7a8a7caaeeddaf971402428a0a370c");
  std::string both = scramble + std::string(stored.begin(), stored.end());
  auto x = Sha1(Bytes(both));
  for (int i = 0; i < 20; ++i) x[i] ^= r[i];
  EXPECT_EQ(Sha1(x), stored);
}

TEST(MySqlLogin, Scramble323KnownValues) {
  // The server's OLD_PASSWORD('old-pass').
  const auto h = HashPassword323("old-pass");
  EXPECT_EQ(h[0], 0x6d7ec081u);
  EXPECT_EQ(h[1], 0x5a3b64e2u);
  EXPECT_EQ(HashPassword323("old - pass"), h);  // blanks do not count
  const auto a = Scramble323("old-pass", Bytes("ABCDEFGH"));
  EXPECT_EQ(std::string(a.begin(), a.end()), "UXAXJDBV");
  EXPECT_NE(a, Scramble323("old-pass", Bytes("ABCDEFGX")));
}

TEST(MySqlLogin, GreetingOf41AndOlderServers) {
  std::string g41 = std::string("\x0a") + "10.11.6-MariaDB" + '\0' + std::string("\x2a\x00\x00\x00", 4) + "12345678" +
                    '\0' + std::string("\xfe\xf7\x21\x02\x00\x3f\xa0\x15", 8) + std::string(10, '\0') +
                    "abcdefghijkl" + '\0' + "mysql_native_password" + '\0';
  const TMySqlGreeting a = ParseGreeting(Bytes(g41));
  EXPECT_EQ(a.serverVersion, "10.11.6-MariaDB");
  EXPECT_EQ(a.threadId, 42);
  EXPECT_TRUE(a.has41Scramble);
  EXPECT_EQ(std::string(a.scramble.begin(), a.scramble.end()), "12345678abcdefghijkl");
  EXPECT_EQ(a.serverCapabilities, 0xF7FEu);
  EXPECT_EQ(a.serverLanguage, 0x21u);
  EXPECT_EQ(a.serverStatus, 2u);

  const std::string g323 = std::string("\x0a") + "3.23.58" + '\0' + std::string("\x07\x00\x00\x00", 4) + "ABCDEFGH" +
                           '\0' + std::string("\x2c\x00", 2);
  const TMySqlGreeting b = ParseGreeting(Bytes(g323));
  EXPECT_FALSE(b.has41Scramble);
  EXPECT_EQ(b.serverCapabilities, 0x2Cu);
  EXPECT_FALSE(b.hasStatus);

  // The 12 scramble bytes at offset 19 after the first part need 31 bytes, not 30.
  std::string cut = g41.substr(0, g41.find("abcdefghijkl") + 11);
  EXPECT_FALSE(ParseGreeting(Bytes(cut)).has41Scramble);
  try {
    ParseGreeting(Bytes("\x09" + g41.substr(1)));
    FAIL();
  } catch (const EMySqlException& e) {
    EXPECT_EQ(e.ErrorCode(), 2007);
    EXPECT_EQ(e.Message(), u"Protocol mismatch. Server Version = 9 Client Version = 10");
  }
  for (size_t n = 0; n < 1 + 16 + 4 + 8; ++n)
    EXPECT_THROW(ParseGreeting(Bytes(g41.substr(0, n))), EMySqlException) << n;
}

TEST(MySqlLogin, OkPacketMessageForms) {
  const std::string p41 = std::string("\x00\x03\x01\x02\x00\x00\x00", 7) + "\x05" + "hello";
  const TMySqlOk a = ParseOkPacket(Bytes(p41), true, true);
  EXPECT_EQ(a.affectedRows, 3);
  EXPECT_EQ(a.insertId, 1);
  EXPECT_EQ(a.serverStatus, 2u);
  EXPECT_EQ(a.info, "hello");
  const std::string old = std::string("\x00\x03\x01", 3) + "hello";
  EXPECT_EQ(ParseOkPacket(Bytes(old), false, false).info, "hello");
  EXPECT_THROW(ParseOkPacket(Bytes(std::string("\x00\x03", 2)), true, true), EMySqlException);
}

// With session tracking the message is length-encoded and the changed
// session state follows it; a length that lies is a malformed packet.
TEST(MySqlLogin, OkPacketSessionState) {
  const std::string head("\x00\x00\x00\x02\x40\x00\x00", 7);  // status: autocommit, state changed
  const std::string variable = std::string("\x14") + "character_set_client" + "\x03" + "gbk";
  const std::string schema = std::string("\x01\x04\x03") + "abc";  // another kind of entry: skipped
  const std::string entries = schema + std::string("\x00", 1) + static_cast<char>(variable.size()) + variable;
  const std::string state = static_cast<char>(entries.size()) + entries;
  struct Case {
    const char* what;
    std::string packet;
    bool malformed;
    std::string info;
    std::vector<std::pair<std::string, std::string>> variables;
  } const cases[] = {
      {"variable after another entry", head + std::string("\x02", 1) + "hi" + state, false, "hi",
       {{"character_set_client", "gbk"}}},
      {"no message, no state", head.substr(0, 5) + std::string("\x00\x00", 2), false, "", {}},
      {"state flag without state", head + std::string("\x00", 1), false, "", {}},
      {"message longer than the packet", head + std::string("\x09", 1) + "hi", true, "", {}},
      {"state longer than the packet", head + std::string("\x00", 1) + static_cast<char>(entries.size() + 1) + entries,
       true, "", {}},
      {"entry longer than the state", head + std::string("\x00\x03\x00\x05\x01", 5), true, "", {}},
      {"variable value cut", head + std::string("\x00\x06\x00\x04\x01", 5) + "a" + std::string("\x05", 1) + "b",
       true, "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.malformed) {
      EXPECT_THROW(ParseOkPacket(Bytes(c.packet), true, true, true), EMySqlException);
      continue;
    }
    const TMySqlOk ok = ParseOkPacket(Bytes(c.packet), true, true, true);
    EXPECT_EQ(ok.info, c.info);
    EXPECT_EQ(ok.systemVariables, c.variables);
  }
}

}  // namespace
}  // namespace vix
