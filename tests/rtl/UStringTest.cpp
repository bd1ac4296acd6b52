#include "rtl/SysUtils.h"
#include "rtl/UString.h"
#include "TestSupport.h"

namespace vix {
namespace {

struct Utf8Case {
  const char* name;
  std::string utf8;
  std::u16string lenient;  // what the lenient decoder yields
  bool valid;              // whether the strict decoder accepts it
};

TEST(UString, Utf8ToUtf16Table) {
  const Utf8Case cases[] = {
      {"empty", "", u"", true},
      {"ascii", "abc", u"abc", true},
      {"korean", "\xED\x99\x95 \xEC\x9D\xB8", u"확 인", true},
      {"supplementary", "\xF0\x9F\x98\x80", u"\U0001F600", true},
      {"lone continuation", "a\x80" "b", u"a\uFFFDb", false},
      {"cut sequence at end", "a\xED\x99", u"a\uFFFD", false},
      {"cut sequence mid-text", "\xED\x99" "a", u"\uFFFDa", false},
      {"overlong slash", "\xC0\xAF", u"\uFFFD\uFFFD", false},
      {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD", false},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Utf8ToUtf16Lenient(c.utf8), c.lenient);
    if (c.valid) {
      EXPECT_EQ(Utf8ToUtf16(c.utf8), c.lenient);
      EXPECT_EQ(Utf16ToUtf8(c.lenient), c.utf8);
    } else {
      EXPECT_THROW(Utf8ToUtf16(c.utf8), EConvertError);
    }
  }
}

TEST(UString, LoneSurrogatesToUtf8) {
  const std::u16string lone = u"a\xD800" u"b\xDC00";
  EXPECT_THROW(Utf16ToUtf8(lone), EConvertError);
  EXPECT_EQ(Utf16ToUtf8Lenient(lone), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

TEST(UString, ExceptionCarriesBothForms) {
  const Exception e(u"사용자 인증");
  EXPECT_EQ(e.Message(), u"사용자 인증");
  EXPECT_STREQ(e.what(), "\xEC\x82\xAC\xEC\x9A\xA9\xEC\x9E\x90 \xEC\x9D\xB8\xEC\xA6\x9D");
  EXPECT_TRUE(EAbort().Message().empty());
  EXPECT_THROW(Abort(), EAbort);
}

}  // namespace
}  // namespace vix
