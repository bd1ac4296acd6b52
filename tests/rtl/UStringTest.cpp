#include "TestSupport.h"
#include "rtl/SysUtils.h"
#include "rtl/UString.h"

#include <cstring>

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
      {"lone continuation",
       "a\x80"
       "b",
       u"a\uFFFDb", false},
      {"cut sequence at end", "a\xED\x99", u"a\uFFFD", false},
      {"cut sequence mid-text",
       "\xED\x99"
       "a",
       u"\uFFFDa", false},
      {"overlong slash", "\xC0\xAF", u"\uFFFD\uFFFD", false},
      {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD", false},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD", false},
      {"overlong three bytes", "\xE0\x80\xAF", u"\uFFFD", false},
      {"three bytes, the last no continuation",
       "\xEC\x9D"
       "a",
       u"\uFFFDa", false},
      {"last of the BMP", "\xEF\xBF\xBF", u"\uFFFF", true},
      {"just past the surrogates", "\xEE\x80\x80", u"\uE000", true},
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

TEST(UString, DecodeIntoFixedRoom) {
  struct Case {
    const char* name;
    std::string utf8;
    size_t capacity;
    std::u16string want;
  } const cases[] = {
      {"fits",
       "\xED\x99\x95"
       "ab",
       8, u"확ab"},
      {"cut at the room", "abcdef", 4, u"abcd"},
      {"pair kept whole", "a\xF0\x9F\x98\x80", 2, u"a"},
      {"pair fits", "a\xF0\x9F\x98\x80", 3, u"a\U0001F600"},
      {"no room", "abc", 0, u""},
      {"malformed, lenient", "a\x80", 4, u"a\uFFFD"},
      {"Hangul then a pair", "\xED\x99\x95\xF0\x9F\x98\x80z", 8, u"확\U0001F600z"},
      {"overlong three bytes, lenient", "\xED\x99\x95\xE0\x80\x80z", 8, u"확\uFFFDz"},
      {"encoded surrogate, lenient", "a\xED\xA0\x80z", 8, u"a\uFFFDz"},
      {"truncated three bytes, lenient", "ab\xED\x99", 8, u"ab\uFFFD"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // An odd offset: the target of a record slot need not be aligned.
    unsigned char room[1 + 2 * 8 + 2] = {};
    const size_t n = Utf8ToUtf16Into(c.utf8, room + 1, c.capacity, false);
    std::u16string got(n, u'\0');
    std::memcpy(got.data(), room + 1, 2 * n);
    EXPECT_EQ(got, c.want);
    EXPECT_EQ(room[1 + 2 * c.capacity], 0) << "wrote past the room";
  }
  unsigned char room[8];
  EXPECT_THROW(Utf8ToUtf16Into("a\x80", room, 4, true), EConvertError);
  // The position named is the byte's in the whole text, after the Hangul.
  try {
    Utf8ToUtf16Into("\xED\x99\x95\x80", room, 4, true);
    ADD_FAILURE() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), u"Invalid UTF-8 text at byte 3");
  }
}

TEST(UString, LoneSurrogatesToUtf8) {
  const std::u16string lone =
      u"a\xD800"
      u"b\xDC00";
  EXPECT_THROW(Utf16ToUtf8(lone), EConvertError);
  EXPECT_EQ(Utf16ToUtf8Lenient(lone),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
}

// Raw bytes inside UTF-8 survive the way to UTF-16 and back unchanged,
// whatever they are: stray continuation bytes, truncated and overlong
// sequences, encoded surrogates, bytes never used in UTF-8.
TEST(UString, KeepBytesRoundTripsAnyBytes) {
  const std::string cases[] = {
      "plain ascii",
      "\xED\x95\x9C\xEA\xB8\x80 and \xF0\x9F\x98\x80",
      "\x80\xBF\xFF\xFE\xC0\xAF\xE0\x80\xAF",
      "\xED\xA0\x80\xED\xB0\x80",
      "\xF0\x9F\x98 cut, \xC3",
      std::string("\0\x01'\\\x1A\xF0\x9F\x98\x80\xDC", 11),
  };
  for (const auto& bytes : cases) {
    EXPECT_EQ(Utf16ToUtf8KeepBytes(Utf8ToUtf16KeepBytes(bytes)), bytes);
    // Appended, after what the text held already.
    std::string out = "x\xED\x95\x9C";
    AppendUtf16AsUtf8KeepBytes(out, Utf8ToUtf16KeepBytes(bytes));
    EXPECT_EQ(out, "x\xED\x95\x9C" + bytes);
  }
  EXPECT_EQ(Utf8ToUtf16KeepBytes("a\xFF\xED\x95\x9C"), u"a\xDCFF한");
  // Other lone surrogates are no bytes: strict.
  EXPECT_THROW(Utf16ToUtf8KeepBytes(u"\xDC00"), EConvertError);
  EXPECT_THROW(Utf16ToUtf8KeepBytes(u"\xD800x"), EConvertError);
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
