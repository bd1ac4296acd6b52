// An HTTP answer's head, and the tunnel's test answer.
#include <string_view>

#include "Common/ZelHttp.h"
#include "Common/ZelVioHttp.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vix::THttpResponseHead head;
  try {
    const size_t used = vix::ParseHttpResponseHead(vix::fuzz::Input(data, size), head);
    if (used > size) __builtin_trap();
  } catch (const vix::HttpException&) {
  }
  int tunnel = 0, seconds = 0;
  vix::ParseTunnelTestAnswer(std::string_view(reinterpret_cast<const char*>(data), size), tunnel, seconds);
  vix::SplitHttpUrl(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
