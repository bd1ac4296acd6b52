#include "TestSupport.h"
#include "rtl/CodePage.h"
#include "rtl/SysUtils.h"

namespace vix {
namespace {

// Restores the process code page after each test.
class CodePage : public ::testing::Test {
 protected:
  void TearDown() override { SetAnsiCodePage(kDefaultAnsiCodePage); }
};

TEST_F(CodePage, DefaultIsKorean) {
  EXPECT_EQ(GetAnsiCodePage(), 949);
  EXPECT_EQ(Utf16ToAnsi(u"확인"), "\xC8\xAE\xC0\xCE");
  EXPECT_EQ(AnsiToUtf16("\xC8\xAE\xC0\xCE"), u"확인");
}

struct RoundTrip {
  int codePage;
  std::u16string text;
  std::string bytes;
};

TEST_F(CodePage, RoundTripTable) {
  const RoundTrip cases[] = {
      {949, u"abc", "abc"},
      {949, u"매장번호", "\xB8\xC5\xC0\xE5\xB9\xF8\xC8\xA3"},
      {936, u"中文", "\xD6\xD0\xCE\xC4"},
      {950, u"中文", "\xA4\xA4\xA4\xE5"},
      {932, u"日本", "\x93\xFA\x96\x7B"},
      {1252, u"caf\u00E9 \u20AC", "caf\xE9 \x80"},
      {CP_UTF8, u"확", "\xED\x99\x95"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.codePage);
    EXPECT_EQ(Utf16ToAnsi(c.text, c.codePage), c.bytes);
    EXPECT_EQ(AnsiToUtf16(c.bytes, c.codePage), c.text);
  }
}

TEST_F(CodePage, UnmappableAndMalformed) {
  // A character the code page lacks becomes '?', a surrogate pair one '?'.
  EXPECT_EQ(Utf16ToAnsi(u"a\u0E01b\U0001F600c", 949), "a?b?c");
  // A lead byte cut off at the end, or followed by a byte that is no trail.
  EXPECT_EQ(AnsiToUtf16("a\xC8", 949), u"a\uFFFD");
  EXPECT_EQ(AnsiToUtf16("\xC8", 949), u"\uFFFD");
  // A pair the code page does not define, which the converter may take whole:
  // replacement characters only, nothing read past the input.
  for (int run = 0; run < 3; ++run) {
    const UString pair = AnsiToUtf16("\xA2\xE8", 949);
    EXPECT_FALSE(pair.empty());
    EXPECT_LE(pair.size(), 2u);
    EXPECT_EQ(pair.find_first_not_of(u'\uFFFD'), UString::npos) << ::testing::PrintToString(pair);
  }
}

TEST_F(CodePage, ProcessSetting) {
  SetAnsiCodePage(1252);
  EXPECT_EQ(Utf16ToAnsi(u"\u00E9"), "\xE9");
  EXPECT_THROW(SetAnsiCodePage(123456), EConvertError);
  EXPECT_EQ(GetAnsiCodePage(), 1252);
  EXPECT_THROW(SetAnsiCodePage(0), EConvertError);
}

TEST_F(CodePage, LeadBytes) {
  struct Case {
    int codePage;
    unsigned char byte;
    bool lead;
  } const cases[] = {
      {949, 0x80, false}, {949, 0x81, true}, {949, 0xFE, true},  {949, 0xFF, false},  {949, 0x41, false},
      {936, 0x81, true},  {950, 0xA4, true}, {932, 0x81, true},  {932, 0x9F, true},   {932, 0xA0, false},
      {932, 0xE0, true},  {932, 0xFC, true}, {932, 0xFD, false}, {1252, 0x81, false}, {CP_UTF8, 0xC3, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsDBCSLeadByte(c.byte, c.codePage), c.lead) << c.codePage << " " << int(c.byte);
  }
  EXPECT_TRUE(IsDoubleByteCodePage());
  EXPECT_FALSE(IsDoubleByteCodePage(1252));
}

}  // namespace
}  // namespace vix
