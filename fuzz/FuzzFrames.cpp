// The packet layer reading a server's stream: plain or compressed framing,
// reassembly, sequence numbers, inflating. The first byte switches compression on.
#include <memory>

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  vix::TMySqlNet net;
  net.SetVio(std::make_unique<vix::fuzz::TReplayVio>(vix::fuzz::Input(data + 1, size - 1)));
  net.vio()->Connect();
  net.SetCompress(data[0] & 1);
  net.SetMaxPacketSize(1 << 22);
  net.NewCommand();
  try {
    for (int i = 0; i < 64; ++i) net.Receive();
  } catch (const vix::EMySqlException&) {
  }
  return 0;
}
