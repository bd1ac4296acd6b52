// Shared by the fuzz targets: input as a byte span, and a transport that
// replays the input as what a server sent.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "MySql/MySqlNet.h"

namespace vix::fuzz {

inline ByteSpan Input(const uint8_t* data, size_t size) {
  return ByteSpan(data, size);
}

// Reads come from the input (the end reads as a closed connection); writes vanish.
class TReplayVio : public TZelVio {
 public:
  explicit TReplayVio(ByteSpan input) : FInput(input) {}
  int GetTimeout() const override { return 0; }
  void SetTimeout(int) override {}
  void Connect() override { TZelVio::Connect(); }
  void Close() override {}
  int ReadNoWait(uint8_t* buffer, int offset, int count) override {
    const size_t n = std::min(static_cast<size_t>(count), FInput.size() - FPos);
    std::copy_n(FInput.data() + FPos, n, buffer + offset);
    FPos += n;
    return static_cast<int>(n);
  }
  int WriteNoWait(const uint8_t*, int, int count) override { return count; }

 private:
  ByteSpan FInput;
  size_t FPos = 0;
};

}  // namespace vix::fuzz
