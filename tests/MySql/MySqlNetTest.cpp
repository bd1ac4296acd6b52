#include <zlib.h>

#include <cstring>

#include "MemoryVio.h"
#include "MySql/MySqlNet.h"
#include "MySql/MySqlResultSet.h"
#include "TestSupport.h"

namespace vix {
namespace {

using test::Packet;
using test::TMemoryVio;

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int v : b) s += static_cast<char>(v);
  return s;
}

struct NetFixture : ::testing::Test {
  TMySqlNet net;
  TMemoryVio* vio = nullptr;
  void Attach(std::string input = std::string()) {
    auto v = std::make_unique<TMemoryVio>(std::move(input));
    vio = v.get();
    net.SetVio(std::move(v));
  }
  void SendQuery(const std::string& q) {
    net.NewCommand();
    net.WriteByte(3);
    net.WriteOrSendBytes(reinterpret_cast<const uint8_t*>(q.data()), q.size());
    net.Send();
  }
};

// The number of the EMySqlException that f raises (0 for none); its message in `message`.
template <typename F>
int ErrorOf(F f, UString* message = nullptr) {
  try {
    f();
  } catch (const EMySqlException& e) {
    if (message) *message = e.Message();
    return e.ErrorCode();
  }
  return 0;
}

TEST_F(NetFixture, SmallCommandIsOnePacket) {
  Attach();
  SendQuery("SELECT 1");
  EXPECT_EQ(vio->output, Bytes({9, 0, 0, 0, 3}) + "SELECT 1");
}

TEST_F(NetFixture, MediumQueryBuffersOnlyItsFirstPart) {
  Attach();
  const std::string q(20000, 'q');
  SendQuery(q);
  EXPECT_EQ(vio->output, Packet("\x03" + q, 0));
  EXPECT_EQ(vio->writeSizes, (std::vector<int>{8192, 11813}));
}

TEST_F(NetFixture, PayloadsSplitAtThePacketLimit) {
  constexpr size_t kMax = 0xFFFFFF;
  for (size_t extra : {size_t{0}, size_t{10}}) {
    Attach();
    std::string payload(kMax + extra, 'p');
    payload[kMax - 1] = 'e';
    net.NewCommand();
    net.WriteOrSendBytes(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
    net.Send();
    const std::string& out = vio->output;
    ASSERT_EQ(out.size(), kMax + extra + 8) << extra;
    EXPECT_EQ(out.substr(0, 4), Bytes({0xFF, 0xFF, 0xFF, 0}));
    EXPECT_EQ(out[4 + kMax - 1], 'e');
    EXPECT_EQ(out.substr(4 + kMax, 4), Bytes({static_cast<int>(extra), 0, 0, 1}));
    // The receiving side joins them again.
    TMySqlNet peer;
    peer.SetVio(std::make_unique<TMemoryVio>(out));
    peer.NewCommand();
    peer.Receive();
    EXPECT_EQ(peer.Length(), payload.size());
    EXPECT_EQ(std::memcmp(peer.Buffer(), payload.data(), payload.size()), 0);
  }
}

TEST_F(NetFixture, ReceiveJoinsContinuedPackets) {
  const std::string first(0xFFFFFF, 'a');
  Attach(Packet(first, 0) + Packet("bbbbb", 1));
  net.NewCommand();
  net.Receive();
  ASSERT_EQ(net.Length(), 0xFFFFFFu + 5);
  EXPECT_EQ(net.Buffer()[0xFFFFFF], 'b');
  EXPECT_EQ(net.Position(), 0u);
}

TEST_F(NetFixture, SequenceErrorNamesBothNumbersAndBreaksTheStream) {
  Attach(Packet("x", 2));
  net.NewCommand();
  net.WriteByte(14);
  net.Send();
  UString message;
  EXPECT_EQ(ErrorOf([&] { net.Receive(); }, &message), 1156);
  EXPECT_EQ(message, u"\r\nReceiveHeader: Net packets out of order: received[2], expected[1]");
  EXPECT_TRUE(net.Broken());
}

TEST_F(NetFixture, ServerErrorPacketRaisesTheServerError) {
  Attach(Packet(Bytes({0xFF, 0x7A, 0x04}) + "#42S02Table 'x.t' doesn't exist", 1));
  net.NewCommand();
  net.WriteByte(3);
  net.Send();
  UString message;
  EXPECT_EQ(ErrorOf([&] { net.Receive(); }, &message), 1146);
  EXPECT_EQ(message, u"\r\n#42S02Table 'x.t' doesn't exist");
  EXPECT_FALSE(net.Broken());
}

TEST_F(NetFixture, ShortReadsAndLyingPacketsAreErrorsNotOverreads) {
  struct Case {
    std::string input;
    int error;
  } const cases[] = {
      {Bytes({0xFF}), 2013},                   // header cut
      {Packet("abc", 0).substr(0, 6), 2013},   // payload cut
      {Packet(Bytes({0xFF}), 0), 2027},        // 1-byte error packet
      {Packet(Bytes({0xFF, 0x10}), 0), 2027},  // 2-byte error packet
      {Bytes({0xFF, 0xFF, 0xFF, 0}), 2013},    // endless header, no data
  };
  for (const Case& c : cases) {
    Attach(c.input);
    net.NewCommand();
    EXPECT_EQ(ErrorOf([&] { net.Receive(); }), c.error) << testing::PrintToString(c.input);
  }
}

TEST_F(NetFixture, ReassemblyStopsAtTheMaximumPacketSize) {
  Attach(Packet(std::string(0xFFFFFF, 'a'), 0) + Packet(std::string(0xFFFFFF, 'b'), 1) + Packet("", 2));
  net.SetMaxPacketSize(0x1800000);
  net.NewCommand();
  EXPECT_EQ(ErrorOf([&] { net.Receive(); }), 2020);
  EXPECT_TRUE(net.Broken());
}

TEST_F(NetFixture, ReceiveBufferTakesOnePhysicalPacket) {
  Attach(Packet("row", 0) + Packet("", 1) + Packet(std::string(0xFFFFFF, 'h'), 2));
  net.NewCommand();
  std::vector<uint8_t> bytes;
  net.ReceiveBuffer(bytes);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "row");
  EXPECT_EQ(ErrorOf([&] { net.ReceiveBuffer(bytes); }), 2027);
  try {
    net.ReceiveBuffer(bytes);
    FAIL();
  } catch (const EMySqlException& e) {
    EXPECT_EQ(e.Message(), u"Cannot retrieve huge data in FetchAll mode");
    EXPECT_EQ(e.ErrorCode(), CR_NET_PACKET_TOO_LARGE);
  }
  EXPECT_TRUE(net.Broken());
}

TEST_F(NetFixture, LostConnectionCarriesTheTransportText) {
  Attach(Packet("abc", 0).substr(0, 5));
  net.NewCommand();
  UString message;
  EXPECT_EQ(ErrorOf([&] { net.Receive(); }, &message), 2013);
  EXPECT_EQ(message, u"Lost connection to MySQL server during query");
  EXPECT_TRUE(net.Broken());
}

TEST_F(NetFixture, FieldLengthsBothWays) {
  struct Case {
    int64_t value;
    std::string wire;
  } const cases[] = {
      {250, Bytes({0xFA})},
      {251, Bytes({0xFC, 0xFB, 0x00})},
      {65535, Bytes({0xFC, 0xFF, 0xFF})},
      {65536, Bytes({0xFD, 0x00, 0x00, 0x01})},
      {16777215, Bytes({0xFD, 0xFF, 0xFF, 0xFF})},
      {16777216, Bytes({0xFE, 0, 0, 0, 1, 0, 0, 0, 0})},
      {0x123456789A, Bytes({0xFE, 0x9A, 0x78, 0x56, 0x34, 0x12, 0, 0, 0})},
  };
  for (const Case& c : cases) {
    Attach();
    net.NewCommand();
    std::vector<uint8_t> bytes;
    TMySqlWriter(bytes).WriteFieldLength(static_cast<uint64_t>(c.value));
    net.WriteBytes(bytes);
    net.Send();
    EXPECT_EQ(vio->output.substr(4), c.wire) << c.value;
    TMySqlReader r(ByteSpan(reinterpret_cast<const uint8_t*>(c.wire.data()), c.wire.size()));
    EXPECT_EQ(r.ReadFieldLength(), c.value);
    EXPECT_TRUE(r.AtEnd());
  }
}

TEST(MySqlReader, RefusesWhatThePacketCannotHold) {
  struct Case {
    std::string bytes;
    int64_t value;  // -2: malformed
  } const cases[] = {
      {Bytes({0xFB}), -1},
      {Bytes({0xFC, 0x34, 0x12}), 0x1234},
      {Bytes({0xFF}), -2},
      {Bytes({0xFC, 0x34}), -2},
      {Bytes({0xFE, 1, 2, 3, 4, 5, 6, 7}), -2},
      {Bytes({0xFE, 0, 0, 0, 0, 0, 0, 0, 0x80}), -2},
      {"", -2},
  };
  for (const Case& c : cases) {
    TMySqlReader r(ByteSpan(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size()));
    if (c.value == -2) {
      EXPECT_THROW(r.ReadFieldLength(), EMySqlException) << testing::PrintToString(c.bytes);
    } else {
      EXPECT_EQ(r.ReadFieldLength(), c.value);
    }
  }
  const std::string lying = Bytes({5}) + "abc";
  TMySqlReader r(ByteSpan(reinterpret_cast<const uint8_t*>(lying.data()), lying.size()));
  EXPECT_THROW(r.ReadLengthString(), EMySqlException);
}

// Text rows: the values' places in the row, short and long length forms and
// NULL; a row that lies about a length, or ends early, is refused.
TEST(MySqlRows, TextRowValuesAndRefusals) {
  const std::string longValue(300, 'L');
  const std::string good = Bytes({3}) + "abc" + Bytes({0xFB}) + Bytes({0}) + Bytes({0xFC, 0x2C, 0x01}) + longValue +
                           Bytes({250}) + std::string(250, 'm');
  std::vector<TMySqlBind> binds(5);
  const auto* bytes = reinterpret_cast<const uint8_t*>(good.data());
  DecodeTextRow(ByteSpan(bytes, good.size()), binds);
  const size_t offsets[] = {1, 0, 6, 9, 310};
  const size_t lengths[] = {3, 0, 0, 300, 250};
  for (size_t i = 0; i < binds.size(); ++i) {
    EXPECT_EQ(binds[i].IsNull, i == 1) << i;
    EXPECT_EQ(binds[i].Offset, offsets[i]) << i;
    EXPECT_EQ(binds[i].Length, lengths[i]) << i;
  }
  EXPECT_EQ(std::string(good, binds[3].Offset, binds[3].Length), longValue);

  const std::string bad[] = {
      Bytes({3}) + "ab",                                 // value past the end
      Bytes({3}) + "abc" + Bytes({5}) + "abcd",          // the second one too
      Bytes({3}) + "abc",                                // fewer values than columns
      Bytes({0xFC, 0x2C}),                               // cut length
      Bytes({0xFC, 0x2C, 0x01}) + "short" + Bytes({0}),  // long form past the end
      Bytes({0xFF, 0}),                                  // no such length form
  };
  for (const std::string& row : bad) {
    std::vector<TMySqlBind> two(2);
    EXPECT_EQ(ErrorOf([&] { DecodeTextRow(ByteSpan(reinterpret_cast<const uint8_t*>(row.data()), row.size()), two); }),
              2027)
        << row.size();
  }
}

TEST_F(NetFixture, StringReadsStopAtTheEndOfThePacket) {
  Attach(Packet(std::string("ab\0cd", 5), 0));
  net.NewCommand();
  net.Receive();
  TMySqlReader r(net.Packet());
  EXPECT_EQ(r.ReadNulString(), "ab");
  EXPECT_EQ(r.ReadNulString(), "cd");
  EXPECT_EQ(r.ReadNulString(), "");
  EXPECT_EQ(ErrorOf([&] { r.ReadInt32(); }), 2027);
  EXPECT_EQ(ErrorOf([&] { r.ReadString(1); }), 2027);
}

// Compressed frames: 3-byte size, sequence, 3-byte inflated size (0: stored).
std::string Frame(const std::string& data, uint8_t seq, size_t inflated) {
  std::string f = Packet(data, seq);
  f += static_cast<char>(inflated & 0xFF);
  f += static_cast<char>((inflated >> 8) & 0xFF);
  f += static_cast<char>((inflated >> 16) & 0xFF);
  return f.substr(0, 4) + f.substr(4 + data.size()) + data;
}

std::string Deflate(const std::string& s) {
  std::vector<uint8_t> out;
  EXPECT_TRUE(DeflateFrame(ByteSpan(reinterpret_cast<const uint8_t*>(s.data()), s.size()), out));
  return std::string(out.begin(), out.end());
}

TEST_F(NetFixture, CompressedSendingUsesTheThreshold) {
  struct Case {
    size_t queryBytes;
    bool packed;
  } const cases[] = {{39, false}, {45, false}, {46, true}, {3999, true}};
  for (const Case& c : cases) {
    Attach();
    net.SetCompress(true);
    SendQuery(std::string(c.queryBytes, 'c'));
    const std::string& out = vio->output;
    const size_t inflated = static_cast<uint8_t>(out[4]) | (static_cast<uint8_t>(out[5]) << 8);
    EXPECT_EQ(inflated, c.packed ? c.queryBytes + 5 : 0u) << c.queryBytes;
    EXPECT_EQ(out[3], 0);
    // Read back through a compressed receiver.
    TMySqlNet peer;
    peer.SetVio(std::make_unique<TMemoryVio>(out));
    peer.SetCompress(true);
    peer.NewCommand();
    peer.Receive();
    EXPECT_EQ(peer.Length(), c.queryBytes + 1);
  }
}

TEST_F(NetFixture, CompressedReceiveSpansFramesAndChecksTheInflatedSize) {
  const std::string payload(70000, 'z');
  const std::string stream = Packet(payload, 1) + Packet("tail", 2);
  const std::string a = stream.substr(0, 30000), b = stream.substr(30000);
  Attach(Frame(Deflate(a), 1, a.size()) + Frame(b, 2, 0));
  net.SetCompress(true);
  net.NewCommand();
  net.WriteByte(3);
  net.Send();
  net.Receive();
  EXPECT_EQ(net.Length(), payload.size());
  net.Receive();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(net.Buffer()), net.Length()), "tail");

  struct Case {
    std::string input;
    int error;
  } const bad[] = {
      {Frame(Deflate(Packet("abc", 0)), 0, 99), 1157},  // announced size is wrong
      {Frame("not zlib at all", 0, 20), 1157},          // corrupt data
      {Frame(Deflate(Packet("abc", 0)), 5, 7), 1156},   // frame out of order
  };
  for (const Case& c : bad) {
    Attach(c.input);
    net.SetCompress(true);
    net.NewCommand();
    EXPECT_EQ(ErrorOf([&] { net.Receive(); }), c.error);
    EXPECT_TRUE(net.Broken());
  }
}

// A transport whose receives deliver at most a few bytes each, in a cycle of
// sizes: packets then straddle receives at every possible place.
class TTrickleVio : public TMemoryVio {
 public:
  TTrickleVio(std::string input, std::vector<int> sizes) : TMemoryVio(std::move(input)), FSizes(std::move(sizes)) {}
  int ReadNoWait(uint8_t* buffer, int offset, int count) override {
    const int most = FSizes[FNext++ % FSizes.size()];
    return TMemoryVio::ReadNoWait(buffer, offset, std::min(count, most));
  }

 private:
  std::vector<int> FSizes;
  size_t FNext = 0;
};

// Payloads around the size of the input buffer (64 KiB with its header):
// those that fit are handed out in place, the others joined; every byte
// must arrive whatever the receives deliver, plain and compressed.
TEST_F(NetFixture, PacketsArriveWholeWhereverTheReceivesCutThem) {
  const size_t sizes[] = {0, 1, 5, 300, 0xFFFB, 0xFFFC, 0xFFFD, 70000, 30000, 3, 0x2000, 17};
  std::string stream;
  std::vector<std::string> payloads;
  uint8_t seq = 1;
  for (size_t i = 0; i < std::size(sizes); ++i) {
    std::string payload(sizes[i], '\0');
    for (size_t k = 0; k < payload.size(); ++k) payload[k] = static_cast<char>('a' + (k * 7 + i) % 26);
    if (!payload.empty() && payload[0] == '\xFF') payload[0] = 'x';
    payloads.push_back(payload);
    stream += Packet(payload, seq++);
  }
  stream += Packet("late", 99);  // out of order: the stream still checks its numbers
  // The same stream in compressed frames of uneven sizes, some stored, some deflated.
  std::string frames;
  uint8_t frameSeq = 1;
  for (size_t at = 0, k = 0; at < stream.size(); ++k) {
    const size_t n = std::min(stream.size() - at, size_t{1000} + k * 9973 % 40000);
    const std::string part = stream.substr(at, n);
    frames += k % 2 ? Frame(part, frameSeq++, 0) : Frame(Deflate(part), frameSeq++, part.size());
    at += n;
  }
  for (const bool compressed : {false, true}) {
    for (const std::vector<int>& trickle : {std::vector<int>{1 << 20}, std::vector<int>{1, 3, 4, 2, 7, 5000, 65536}}) {
      SCOPED_TRACE(std::string(compressed ? "compressed" : "plain") + ", receives of up to " +
                   std::to_string(trickle.back()));
      net.SetVio(std::make_unique<TTrickleVio>(compressed ? frames : stream, trickle));
      net.SetCompress(compressed);
      net.NewCommand();
      net.WriteByte(3);
      net.Send();
      for (const std::string& want : payloads) {
        net.Receive();
        ASSERT_EQ(net.Length(), want.size());
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(net.Buffer()), net.Length()), want);
        EXPECT_EQ(net.Position(), 0u);
      }
      EXPECT_EQ(ErrorOf([&] { net.Receive(); }), compressed ? 0 : 1156);
    }
  }
}

TEST(MySqlErrors, ClientErrorTable) {
  EXPECT_EQ(ClientErrorText(2000), u"Unknown MySQL error");
  EXPECT_EQ(ClientErrorText(2014), u"Commands out of sync;  You can't run this command now");
  EXPECT_EQ(ClientErrorText(2027), u"Malformed packet");
  EXPECT_EQ(ClientErrorText(2047), u"Invalid connection handle");
  EXPECT_EQ(ClientErrorText(2048), u"");
  EXPECT_EQ(ClientErrorText(CR_SECURE_AUTH),
            u"Connection using old (pre-4.1.1) authentication protocol refused (client option 'secure_auth' enabled)");
  EXPECT_EQ(ClientErrorText(1999), u"");
  EXPECT_EQ(
      EMySqlException(2003, u"Socket error on connect. WSAGetLastError return 10061($274D)", {u"db", 10061}).Message(),
      u"Can't connect to MySQL server on 'db' (10061)\r\nSocket error on connect. WSAGetLastError return "
      u"10061($274D)");
  EXPECT_EQ(EMySqlException(1157).Message(), u"");
  EXPECT_EQ(EMySqlException(2013, u"").Message(), u"Lost connection to MySQL server during query");
}

}  // namespace
}  // namespace vix
