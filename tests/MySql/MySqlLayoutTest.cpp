// Column definitions a scripted server chooses, through the record set's
// open: record layouts beyond the limit are refused, repeated column names
// are made unique.
#include <string>
#include <vector>

#include "CommandServer.h"
#include "ScriptedServer.h"

namespace vix {
namespace {

using test::B;
using test::Packet;

// A VARCHAR column definition named `name` of `length` bytes (charset 33, UTF-8).
std::string VarCharColumn(const std::string& name, uint32_t length) {
  const auto n = static_cast<int>(name.size());
  return B({3}) + "def" + B({2}) + "db" + B({1}) + "t" + B({1}) + "t" + B({n}) + name + B({n}) + name +
         B({12, 33, 0, static_cast<int>(length & 0xFF), static_cast<int>(length >> 8 & 0xFF),
            static_cast<int>(length >> 16 & 0xFF), static_cast<int>(length >> 24), 253, 0, 0, 0, 0, 0});
}

// The reply to a query: `count` columns of `length` bytes named by `nameOf`,
// then one row of empty values.
template <typename NameOf>
std::string WideResult(int count, uint32_t length, NameOf nameOf) {
  std::string reply;
  uint8_t seq = 1;
  // The column count as a length-encoded integer.
  reply += Packet(count < 251 ? B({count}) : B({0xFC, count & 0xFF, count >> 8 & 0xFF}), seq++);
  for (int i = 0; i < count; ++i) reply += Packet(VarCharColumn(nameOf(i), length), seq++);
  reply += Packet(test::kEof, seq++);
  reply += Packet(std::string(static_cast<size_t>(count), '\0'), seq++);
  reply += Packet(test::kEof, seq++);
  return reply;
}

// A Unicode connection to a scripted server answering `reply`, and "SELECT c" on it.
struct ScriptedOpen {
  std::string reply;
  std::unique_ptr<test::TLoopbackServer> server;
  TMySQLConnection conn;
  std::unique_ptr<TMySQLRecordset> rs;

  explicit ScriptedOpen(std::string r) : reply(std::move(r)) {
    const std::string setNamesOk = Packet(B({0, 0, 0, 2, 0, 0, 0}), 1);
    server = std::make_unique<test::TLoopbackServer>([this, setNamesOk](int fd) {
      test::Play(fd, {test::kGreeting, test::kLoginOk, setNamesOk, reply});
    });
    conn.SetServer(u"127.0.0.1");
    conn.SetUsername(u"u");
    conn.SetProp(prPort, server->Port());
    conn.SetProp(prUseUnicode, true);
    conn.SetProp(prConnectionTimeout, 5);
    conn.Connect(UString());
    rs = test::CommandServer::Query(conn, u"SELECT c");
  }
};

TEST(MySqlLayoutTest, ColumnsWiderThanARecordAreRefusedAtOpen) {
  // 32,769 columns of 65,534 characters (a utf8mb4 session counts two bytes
  // of the column's length per UTF-16 unit): 131,070
  // bytes of slot each, more than 4 GiB together.
  ScriptedOpen open(WideResult(32769, 131068, [](int) { return std::string("c"); }));
  try {
    open.rs->Open();
    ADD_FAILURE() << "the open succeeded";
  } catch (const EDatabaseError& e) {
    EXPECT_NE(e.Message().find(u"exceeds the limit of 67108864 bytes"), UString::npos) << Utf16ToUtf8(e.Message());
  }
  EXPECT_FALSE(open.rs->Active());
  EXPECT_EQ(open.rs->Fields().Count(), 0);
}

TEST(MySqlLayoutTest, RecordsUpToTheLimitOpen) {
  // 500 columns of 65,534 characters: 65.5 MB, under the limit; the row is
  // read into it.
  ScriptedOpen open(WideResult(500, 131068, [](int i) { return "c" + std::to_string(i); }));
  open.rs->Open();
  EXPECT_EQ(open.rs->Fields().Count(), 500);
  EXPECT_LE(open.rs->RecordSize(), kMaxRecordSize);
  EXPECT_EQ(test::CommandServer::Value(*open.rs, 1, 500).AsString(), u"");
}

TEST(MySqlLayoutTest, RepeatedColumnNamesBecomeUnique) {
  // Names as a server sends them for "SELECT 1 AS a, 2 AS A, 3 AS a_1, 4 AS a, 5 AS ''".
  const std::vector<std::string> names = {"a", "A", "a_1", "a", ""};
  ScriptedOpen open(WideResult(5, 30, [&](int i) { return names[static_cast<size_t>(i)]; }));
  open.rs->Open();
  const char16_t* const expected[] = {u"a", u"A_1", u"a_1_1", u"a_2", u"_0"};
  ASSERT_EQ(open.rs->Fields().Count(), 5);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(open.rs->Fields()[i].FName, expected[i]) << i;
}

TEST(MySqlLayoutTest, ManyEqualColumnNames) {
  // 20,000 columns all named "c": each gets its own suffix in column order.
  ScriptedOpen open(WideResult(20000, 30, [](int) { return std::string("c"); }));
  open.rs->Open();
  ASSERT_EQ(open.rs->Fields().Count(), 20000);
  EXPECT_EQ(open.rs->Fields()[0].FName, u"c");
  EXPECT_EQ(open.rs->Fields()[1].FName, u"c_1");
  EXPECT_EQ(open.rs->Fields()[19999].FName, u"c_19999");
}

// --- the prepared path against the server ---------------------------------------------

using LayoutServerTest = test::CommandServer;

TEST_F(LayoutServerTest, PreparedUnsignedSixtyFourBitValuesReadExactly) {
  Exec(u"DROP TABLE IF EXISTS layout_u64");
  Exec(u"CREATE TABLE layout_u64 (id INT, big BIGINT UNSIGNED, bits BIT(64))");
  Exec(
      u"INSERT INTO layout_u64 VALUES (1, 18446744073709551615, 0xFFFFFFFFFFFFFFFF), "
      u"(2, 9223372036854775808, 0x8000000000000001)");
  for (bool prepared : {false, true}) {
    SCOPED_TRACE(prepared);
    auto rs = Query(*conn, u"SELECT big, bits FROM layout_u64 ORDER BY id");
    if (prepared) rs->Prepare();
    rs->Open();
    ASSERT_EQ(rs->RecordCount(), 2);
    EXPECT_EQ(Value(*rs, 1, 1).AsUInt64(), UINT64_MAX);
    EXPECT_EQ(Value(*rs, 1, 2).AsUInt64(), UINT64_MAX);
    EXPECT_EQ(Value(*rs, 2, 1).AsUInt64(), uint64_t{1} << 63);
    EXPECT_EQ(Value(*rs, 2, 2).AsUInt64(), (uint64_t{1} << 63) | 1);
    EXPECT_EQ(Value(*rs, 2, 2).VarType(), varUInt64);
  }
  Exec(u"DROP TABLE layout_u64");
}

}  // namespace
}  // namespace vix
