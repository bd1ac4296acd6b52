// The password answers of the login against known values.
#include <cstdio>
#include <string>

#include "MySql/MySqlAuth.h"
#include "TestSupport.h"

namespace vix {
namespace {

std::string Hex(std::span<const uint8_t> b) {
  std::string s;
  char buf[3];
  for (uint8_t v : b) {
    std::snprintf(buf, sizeof buf, "%02x", v);
    s += buf;
  }
  return s;
}

std::span<const uint8_t> Bytes(const std::string& s) {
  return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

TEST(MySqlAuth, Sha1KnownValues) {
  EXPECT_EQ(Hex(Sha1(Bytes(""))), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(Hex(Sha1(Bytes("abc"))), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Hex(Sha1(Bytes(std::string(1000, 'a')))), "291e9a6c66994949b57ba5e650361e98fc36b1ba");
}

// The server keeps SHA1(SHA1(password)) ("*AD38..." for "vix-pass"); it
// accepts an answer r when SHA1(r XOR SHA1(scramble + stored)) is the stored value.
TEST(MySqlAuth, Scramble41IsWhatTheServerChecks) {
  const std::string scramble = "0123456789abcdefghij";
  const auto r = Scramble41("vix-pass", Bytes(scramble));
  const auto stored = Sha1(Sha1(Bytes("vix-pass")));
  EXPECT_EQ(Hex(stored), "ad3808a8ac7a8a7caaeeddaf971402428a0a370c");
  std::string both = scramble + std::string(stored.begin(), stored.end());
  auto x = Sha1(Bytes(both));
  for (int i = 0; i < 20; ++i) x[i] ^= r[i];
  EXPECT_EQ(Sha1(x), stored);
}

TEST(MySqlAuth, Scramble323KnownValues) {
  // The server's OLD_PASSWORD('old-pass').
  const auto h = HashPassword323("old-pass");
  EXPECT_EQ(h[0], 0x6d7ec081u);
  EXPECT_EQ(h[1], 0x5a3b64e2u);
  EXPECT_EQ(HashPassword323("old - pass"), h);  // blanks do not count
  const auto a = Scramble323("old-pass", Bytes("ABCDEFGH"));
  EXPECT_EQ(std::string(a.begin(), a.end()), "UXAXJDBV");
  EXPECT_NE(a, Scramble323("old-pass", Bytes("ABCDEFGX")));
}

// Lengths around the padding: the length must move to a block of its own
// from 56 bytes in a block on.
TEST(MySqlAuth, Sha1AcrossBlockBoundaries) {
  struct Case {
    std::string data;
    const char* digest;
  } const cases[] = {
      {std::string(55, 'x'), "cef734ba81a024479e09eb5a75b6ddae62e6abf1"},
      {std::string(56, 'x'), "901305367c259952f4e7af8323f480d59f81335b"},
      {std::string(63, 'x'), "0ddc4e0cccd9a12850deb5abb0853a4425559fec"},
      {std::string(64, 'x'), "bb2fa3ee7afb9f54c6dfb5d021f14b1ffe40c163"},
      {std::string(65, 'x'), "78c741ddc482e4cdf8c474a0876347a0905b6233"},
      {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
  };
  for (const Case& c : cases) EXPECT_EQ(Hex(Sha1(Bytes(c.data))), c.digest) << c.data.size();
}

TEST(MySqlAuth, PasswordAnswersKnownValues) {
  struct Case41 {
    const char* password;
    std::string scramble;
    const char* answer;
  } const answers41[] = {
      {"vix-pass", "0123456789abcdefghij", "fbe1301ff8dd46c38cc47fe11d80d7bb4737da2a"},
      {"secret", "abcdefghijklmnopqrst", "8817c50fa779daef010ee7577825b0847df9842e"},
  };
  for (const Case41& c : answers41) EXPECT_EQ(Hex(Scramble41(c.password, Bytes(c.scramble))), c.answer) << c.password;
  // The server's OLD_PASSWORD() of these.
  struct Case323 {
    const char* password;
    uint32_t nr, nr2;
  } const hashes[] = {
      {"password", 0x5d2e1939, 0x3cc5ef67},
      {"mypass", 0x6f8c114b, 0x58f2ce9e},
      {"", 0x50305735, 0x12345671},
  };
  for (const Case323& c : hashes) {
    EXPECT_EQ(HashPassword323(c.password)[0], c.nr) << c.password;
    EXPECT_EQ(HashPassword323(c.password)[1], c.nr2) << c.password;
  }
}

}  // namespace
}  // namespace vix
