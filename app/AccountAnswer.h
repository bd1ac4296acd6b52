// The account service's answer: one line of pieces separated by ";", as in
// "aspservice;<database server>;<name>;<1 active, 0 expired>". Pure functions
// over the page text, so the form and the fuzzer read it alike.
#pragma once

#include <array>
#include <cstddef>

#include "rtl/UString.h"

namespace vix {

// The pieces of an account-service answer.
constexpr size_t kAspSlotCount = 21;
using TAspSlots = std::array<UString, kAspSlotCount>;

// Splits Text at every Separator into Slots[0], Slots[1], ...: at most 20
// pieces that end at a separator, then the rest of the text, separators
// included, as the 21st. Slots after the last piece keep their texts.
void SplitText(UStringView Text, UStringView Separator, TAspSlots& Slots);

// The page without the line breaks and blanks (every character up to U+0020)
// it ends in: a service that ends its line with CR LF means no piece to hold
// them.
UStringView TrimAnswerEnd(UStringView Page);

// Splits one page of the service into Slots at ";", its trailing line breaks
// and blanks removed first. Slots after the last piece keep their texts.
void SplitAccountAnswer(UStringView Page, TAspSlots& Slots);

// Piece 0 names the service: the page came from it.
bool IsAccountServiceAnswer(const TAspSlots& Slots);

enum class TAccountState {
  NotFromService,  // piece 0 does not name the service
  SettingsWrong,   // piece 1 holds "False"
  Expired,         // piece 3 is "0"
  Active,          // usable; piece 1 is the account's database server
};

// What the pieces say about the account, checked in this order.
TAccountState ReadAccountState(const TAspSlots& Slots);

}  // namespace vix
