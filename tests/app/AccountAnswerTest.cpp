#include <gtest/gtest.h>

#include <vector>

#include "TestSupport.h"
#include "app/AccountAnswer.h"

namespace vix {
namespace {

TEST(AccountAnswerTest, TheStateFollowsPiecesZeroOneAndThreeOfTheTrimmedAnswer) {
  struct Case {
    UString page;
    TAccountState state;
    std::vector<UString> pieces;  // slots 0.. after the split into empty slots
  };
  using S = TAccountState;
  const Case cases[] = {
      {u"aspservice;dbhost1;x;1", S::Active, {u"aspservice", u"dbhost1", u"x", u"1", u""}},
      {u"aspservice;dbhost1\r\n", S::Active, {u"aspservice", u"dbhost1", u""}},
      {u"aspservice;dbhost1;x;0\r\n", S::Expired, {u"aspservice", u"dbhost1", u"x", u"0", u""}},
      {u"aspservice;dbhost1;x;0 \t\r\n \n", S::Expired, {u"aspservice", u"dbhost1", u"x", u"0", u""}},
      {u"aspservice;dbhost1;x;0;\r\n", S::Expired, {u"aspservice", u"dbhost1", u"x", u"0", u""}},
      {u"aspservice;dbhost1;x;00", S::Active, {u"aspservice", u"dbhost1", u"x", u"00"}},
      {u"aspservice;dbhost1;x; 0", S::Active, {u"aspservice", u"dbhost1", u"x", u" 0"}},
      {u"aspservice;False\r\n", S::SettingsWrong, {u"aspservice", u"False", u""}},
      {u"aspservice;notFalse;x;0", S::SettingsWrong, {u"aspservice", u"notFalse", u"x", u"0"}},
      {u"aspservice;false;x;1", S::Active, {u"aspservice", u"false"}},
      {u"my aspservice2;h", S::Active, {u"my aspservice2", u"h"}},
      {u"Aspservice;h;x;1", S::NotFromService, {u"Aspservice", u"h"}},
      {u"\r\n", S::NotFromService, {u""}},
      {u"", S::NotFromService, {u""}},
      {u"x;aspservice", S::NotFromService, {u"x", u"aspservice"}},
      // Only the end is trimmed: a line break inside stays where it is.
      {u" aspservice;db\r\nhost;x;1\r\n", S::Active, {u" aspservice", u"db\r\nhost", u"x", u"1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ToUtf8(c.page));
    TAspSlots slots;
    SplitAccountAnswer(c.page, slots);
    for (size_t i = 0; i < c.pieces.size(); ++i) EXPECT_EQ(slots[i], c.pieces[i]) << "slot " << i;
    EXPECT_EQ(ReadAccountState(slots), c.state);
    EXPECT_EQ(IsAccountServiceAnswer(slots), c.state != S::NotFromService);
  }
}

TEST(AccountAnswerTest, AnAnswerOfOnlyLineEndsLeavesTheSlotsOfAnEarlierAnswer) {
  TAspSlots slots;
  SplitAccountAnswer(u"a;b;c;0;e", slots);
  SplitAccountAnswer(u" \r\n", slots);
  EXPECT_EQ(slots[3], u"0");
  SplitAccountAnswer(u"aspservice;dbhost2\r\n", slots);
  EXPECT_EQ(slots[1], u"dbhost2");
  EXPECT_EQ(slots[2], u"c");
  EXPECT_EQ(ReadAccountState(slots), TAccountState::Expired);
}

}  // namespace
}  // namespace vix
