#include "MySql/MySqlAuth.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace vix {

using ByteSpan = std::span<const uint8_t>;

namespace {

uint32_t Rol(uint32_t v, int n) {
  return (v << n) | (v >> (32 - n));
}

void Sha1Block(uint32_t h[5], const uint8_t* p) {
  uint32_t w[80];
  for (int i = 0; i < 16; ++i)
    w[i] = (uint32_t{p[4 * i]} << 24) | (uint32_t{p[4 * i + 1]} << 16) | (uint32_t{p[4 * i + 2]} << 8) | p[4 * i + 3];
  for (int i = 16; i < 80; ++i) w[i] = Rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
  for (int i = 0; i < 80; ++i) {
    uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    const uint32_t t = Rol(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = Rol(b, 30);
    b = a;
    a = t;
  }
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
  h[4] += e;
}

ByteSpan Bytes(std::string_view s) {
  return ByteSpan(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

struct TRandom {
  uint64_t seed1, seed2, max = 0x3FFFFFFF;
  TRandom(uint32_t s1, uint32_t s2) : seed1(s1 % 0x3FFFFFFF), seed2(s2 % 0x3FFFFFFF) {}
  double Next() {
    seed1 = (seed1 * 3 + seed2) % max;
    seed2 = (seed1 + seed2 + 33) % max;
    return static_cast<double>(seed1) / static_cast<double>(max);
  }
};

}  // namespace

std::array<uint32_t, 2> HashPassword323(std::string_view text) {
  uint32_t nr = 1345345333, nr2 = 0x12345671, add = 7;
  for (char c : text) {
    const uint8_t b = static_cast<uint8_t>(c);
    if (b == ' ' || b == '\t') continue;
    nr ^= (((nr & 63) + add) * b) + (nr << 8);
    nr2 += (nr2 << 8) ^ nr;
    add += b;
  }
  return {nr & 0x7FFFFFFF, nr2 & 0x7FFFFFFF};
}

std::array<uint8_t, 20> Sha1(ByteSpan data) {
  uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  size_t i = 0;
  for (; i + 64 <= data.size(); i += 64) Sha1Block(h, data.data() + i);
  uint8_t tail[128] = {};
  const size_t rest = data.size() - i;
  if (rest) std::memcpy(tail, data.data() + i, rest);
  tail[rest] = 0x80;
  const size_t blocks = rest + 9 > 64 ? 2 : 1;
  const uint64_t bits = static_cast<uint64_t>(data.size()) * 8;
  for (int k = 0; k < 8; ++k) tail[blocks * 64 - 1 - k] = static_cast<uint8_t>(bits >> (8 * k));
  for (size_t b = 0; b < blocks; ++b) Sha1Block(h, tail + 64 * b);
  std::array<uint8_t, 20> out;
  for (int k = 0; k < 20; ++k) out[k] = static_cast<uint8_t>(h[k / 4] >> (24 - 8 * (k % 4)));
  return out;
}

std::array<uint8_t, 20> Scramble41(std::string_view password, ByteSpan scramble20) {
  const auto s1 = Sha1(Bytes(password));
  const auto s2 = Sha1(s1);
  std::vector<uint8_t> both(scramble20.begin(), scramble20.end());
  both.insert(both.end(), s2.begin(), s2.end());
  auto r = Sha1(both);
  for (int i = 0; i < 20; ++i) r[i] ^= s1[i];
  return r;
}

std::array<uint8_t, 8> Scramble323(std::string_view password, ByteSpan scramble8) {
  const auto pw = HashPassword323(password);
  const ByteSpan m = scramble8.first(std::min<size_t>(8, scramble8.size()));
  const auto msg = HashPassword323(std::string_view(reinterpret_cast<const char*>(m.data()), m.size()));
  TRandom rnd(pw[0] ^ msg[0], pw[1] ^ msg[1]);
  std::array<uint8_t, 8> out{};
  for (uint8_t& b : out) b = static_cast<uint8_t>(static_cast<int>(rnd.Next() * 31) + 64);
  const uint8_t extra = static_cast<uint8_t>(static_cast<int>(rnd.Next() * 31));
  for (uint8_t& b : out) b ^= extra;
  return out;
}

}  // namespace vix
