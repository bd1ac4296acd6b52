// The account service's answer, as the dialog reads it: the input is the
// page text (UTF-8); a NUL byte in it starts the fallback host's page, read
// into the same slots as the first one.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/AccountAnswer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\0');
  vix::TAspSlots slots;
  size_t total = 0;
  for (std::string_view page :
       {input.substr(0, split), split == std::string_view::npos ? std::string_view() : input.substr(split + 1)}) {
    const vix::UString text = vix::Utf8ToUtf16Lenient(page);
    total += text.size();
    const vix::UStringView trimmed = vix::TrimAnswerEnd(text);
    // A prefix of the page that ends in neither a blank nor a control.
    if (trimmed.data() != text.data() || trimmed.size() > text.size()) __builtin_trap();
    if (!trimmed.empty() && trimmed.back() <= u' ') __builtin_trap();
    vix::SplitAccountAnswer(text, slots);
    const vix::TAccountState state = vix::ReadAccountState(slots);
    if ((state == vix::TAccountState::NotFromService) == vix::IsAccountServiceAnswer(slots)) __builtin_trap();
    if (vix::IsAccountServiceAnswer(slots)) break;
  }
  // The pieces come from the pages: together they are never longer.
  size_t pieces = 0;
  for (const vix::UString& slot : slots) pieces += slot.size();
  if (pieces > total) __builtin_trap();
  return 0;
}
