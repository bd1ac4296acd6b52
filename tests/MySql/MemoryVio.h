// An in-memory transport for tests: reads come from `input`, writes go to
// `output`; the end of `input` reads as a closed connection.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "Common/ZelVio.h"

namespace vix::test {

class TMemoryVio : public TZelVio {
 public:
  explicit TMemoryVio(std::string in = std::string()) : input(std::move(in)) { TZelVio::Connect(); }
  std::string input;
  size_t inputPos = 0;
  std::string output;
  std::vector<int> writeSizes;  // count of each Write call

  int GetTimeout() const override { return 0; }
  void SetTimeout(int) override {}
  void Close() override {}
  int ReadNoWait(uint8_t* buffer, int offset, int count) override {
    const size_t n = std::min(static_cast<size_t>(count), input.size() - inputPos);
    std::copy_n(input.data() + inputPos, n, reinterpret_cast<char*>(buffer) + offset);
    inputPos += n;
    return static_cast<int>(n);
  }
  int WriteNoWait(const uint8_t* buffer, int offset, int count) override {
    output.append(reinterpret_cast<const char*>(buffer) + offset, static_cast<size_t>(count));
    return count;
  }
  int Write(const uint8_t* buffer, int offset, int count) override {
    writeSizes.push_back(count);
    return TZelVio::Write(buffer, offset, count);
  }
};

// One packet: 3-byte length, sequence number, payload.
inline std::string Packet(const std::string& payload, uint8_t seq) {
  std::string p;
  p += static_cast<char>(payload.size() & 0xFF);
  p += static_cast<char>((payload.size() >> 8) & 0xFF);
  p += static_cast<char>((payload.size() >> 16) & 0xFF);
  p += static_cast<char>(seq);
  return p + payload;
}

}  // namespace vix::test
