// The password answers of the login: SHA-1, the 4.1 scramble and the 3.23
// scramble with its password hash. Pure functions over bytes.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace vix {

// SHA-1 (FIPS 180-1).
std::array<uint8_t, 20> Sha1(std::span<const uint8_t> data);
// The 4.1 password answer: SHA1(scramble + SHA1(SHA1(pw))) XOR SHA1(pw).
std::array<uint8_t, 20> Scramble41(std::string_view password, std::span<const uint8_t> scramble20);
// The 3.23 password hash: two 31-bit numbers (blanks and tabs do not count).
std::array<uint32_t, 2> HashPassword323(std::string_view text);
// The 3.23 password answer to the first 8 scramble bytes (8 bytes, no terminator).
std::array<uint8_t, 8> Scramble323(std::string_view password, std::span<const uint8_t> scramble8);

}  // namespace vix
