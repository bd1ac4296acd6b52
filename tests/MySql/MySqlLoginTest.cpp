#include <algorithm>
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

ByteSpan Bytes(const std::string& s) {
  return ByteSpan(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

TEST(MySqlLogin, LoginPacketForms) {
  TMySqlLogin base;
  base.user = "kim";
  base.password = "pw";
  base.database = "db";
  const std::string scramble = "abcdefghijklmnopqrst";
  std::copy(scramble.begin(), scramble.end(), base.scramble.begin());
  const auto a41 = Scramble41("pw", Bytes(scramble));
  const auto a323 = Scramble323("pw", Bytes(scramble.substr(0, 8)));
  const std::string answer41(a41.begin(), a41.end()), answer323(a323.begin(), a323.end());
  const uint32_t f41 = kAlwaysSentFlags | CLIENT_CONNECT_WITH_DB;
  const std::string head41 =
      std::string("\x8d\xa2\x03\x00", 4) + std::string("\x00\x00\x00\x40", 4) + "\x21" + std::string(23, '\0');
  struct Case {
    const char* what;
    uint32_t flags, capabilities;
    const char* password;
    bool has41Scramble;
    std::string payload;
  } const cases[] = {
      {"4.1 answer", f41, 0xF7FE, "pw", true, head41 + "kim" + '\0' + '\x14' + answer41 + "db" + '\0'},
      {"no password", f41, 0xF7FE, "", true, head41 + "kim" + '\0' + '\0' + "db" + '\0'},
      {"no 4.1 scramble", f41, 0xF7FE, "pw", false, head41 + "kim" + '\0' + "xxxxxxxx" + '\0' + "db" + '\0'},
      {"3.23 server", f41 & ~CLIENT_PROTOCOL_41, 0x0005, "pw", false,
       std::string("\x8d\xa0\x00\x00\x00", 5) + "kim" + '\0' + answer323 + '\0'},
  };
  for (const Case& c : cases) {
    TMySqlLogin login = base;
    login.clientFlags = c.flags;
    login.serverCapabilities = c.capabilities;
    login.charsetNumber = 33;
    login.password = c.password;
    login.has41Scramble = c.has41Scramble;
    const std::vector<uint8_t> payload = BuildLoginPacket(login);
    EXPECT_EQ(Hex(payload), Hex(Bytes(c.payload))) << c.what;
  }
}

TEST(MySqlLogin, GreetingOf41AndOlderServers) {
  std::string g41 = std::string("\x0a") + "10.11.6-MariaDB" + '\0' + std::string("\x2a\x00\x00\x00", 4) + "12345678" +
                    '\0' + std::string("\xfe\xf7\x21\x02\x00\x3f\xa0\x15", 8) + std::string(10, '\0') + "abcdefghijkl" +
                    '\0' + "mysql_native_password" + '\0';
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

TEST(MySqlSession, LocalInfileNamesAsTheServerReadsThem) {
  using Names = std::vector<std::string>;
  struct Case {
    std::string sql;
    bool backslashEscapes;
    Names names;
  } const cases[] = {
      {"LOAD DATA LOCAL INFILE '/tmp/a.txt' INTO TABLE t", true, {"/tmp/a.txt"}},
      {"  load\tdata\nlocal infile \"b\" into table t", true, {"b"}},
      {"LOAD DATA CONCURRENT LOCAL INFILE 'c' INTO TABLE t", true, {"c"}},
      {"LOAD XML LOW_PRIORITY LOCAL INFILE 'd.xml' INTO TABLE t", true, {"d.xml"}},
      {"LOAD DATA LOCAL INFILE 'it''s' INTO TABLE t", true, {"it's"}},
      {"LOAD DATA LOCAL INFILE 'it\\'s\\\\x\\n\\%' INTO TABLE t", true, {"it's\\x\n\\%"}},
      {"LOAD DATA LOCAL INFILE 'C:\\dir' INTO TABLE t", false, {"C:\\dir"}},
      {"LOAD DATA LOCAL INFILE 'a' INTO TABLE t; LOAD DATA LOCAL INFILE 'b' INTO TABLE u", true, {"a", "b"}},
      {"/*!40000 LOAD DATA LOCAL INFILE 'e' INTO TABLE t */", true, {"e"}},
      // Not a request for a client file.
      {"LOAD DATA INFILE 'a' INTO TABLE t", true, {}},
      {"SELECT 'LOAD DATA LOCAL INFILE ''a'''", true, {}},
      {"SELECT \"LOAD DATA LOCAL INFILE 'a'\"", true, {}},
      {"SELECT `LOAD DATA LOCAL INFILE 'a'`", true, {}},
      {"/* LOAD DATA LOCAL INFILE 'a' */ SELECT 1", true, {}},
      {"SELECT 1 # LOAD DATA LOCAL INFILE 'a'", true, {}},
      {"SELECT 1 -- LOAD DATA LOCAL INFILE 'a'", true, {}},
      {"SELECT 'x\\' LOAD DATA LOCAL INFILE 'a'", true, {}},  // the literal does not end
      {"LOAD DATA LOCAL INFILE 'a", true, {}},
      {"LOAD DATA LOCAL INFILE @name INTO TABLE t", true, {}},
      {"", true, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(LocalInfileNames(c.sql, c.backslashEscapes), c.names) << c.sql;
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
      {"variable after another entry",
       head + std::string("\x02", 1) + "hi" + state,
       false,
       "hi",
       {{"character_set_client", "gbk"}}},
      {"no message, no state", head.substr(0, 5) + std::string("\x00\x00", 2), false, "", {}},
      {"state flag without state", head + std::string("\x00", 1), false, "", {}},
      {"message longer than the packet", head + std::string("\x09", 1) + "hi", true, "", {}},
      {"state longer than the packet",
       head + std::string("\x00", 1) + static_cast<char>(entries.size() + 1) + entries,
       true,
       "",
       {}},
      {"entry longer than the state", head + std::string("\x00\x03\x00\x05\x01", 5), true, "", {}},
      {"variable value cut",
       head + std::string("\x00\x06\x00\x04\x01", 5) + "a" + std::string("\x05", 1) + "b",
       true,
       "",
       {}},
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
