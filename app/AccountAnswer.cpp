#include "app/AccountAnswer.h"

#include "rtl/SysUtils.h"

namespace vix {

void SplitText(UStringView Text, UStringView Separator, TAspSlots& Slots) {
  if (Text.empty()) return;
  size_t count = 0;
  UStringView rest = Text;
  while (!Separator.empty() && count < Slots.size() - 1) {
    const size_t at = rest.find(Separator);
    if (at == UStringView::npos) break;
    Slots[count++] = UString(rest.substr(0, at));
    rest.remove_prefix(at + Separator.size());
  }
  if (!rest.empty()) Slots[count] = UString(rest);
}

UStringView TrimAnswerEnd(UStringView Page) {
  while (!Page.empty() && Page.back() <= u' ') Page.remove_suffix(1);
  return Page;
}

void SplitAccountAnswer(UStringView Page, TAspSlots& Slots) {
  SplitText(TrimAnswerEnd(Page), u";", Slots);
}

bool IsAccountServiceAnswer(const TAspSlots& Slots) {
  return Pos(u"aspservice", Slots[0]) > 0;
}

TAccountState ReadAccountState(const TAspSlots& Slots) {
  if (!IsAccountServiceAnswer(Slots)) return TAccountState::NotFromService;
  if (Pos(u"False", Slots[1]) > 0) return TAccountState::SettingsWrong;
  if (Slots[3] == u"0") return TAccountState::Expired;
  return TAccountState::Active;
}

}  // namespace vix
