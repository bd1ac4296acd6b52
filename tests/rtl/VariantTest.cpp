#include "TestSupport.h"
#include "rtl/Variant.h"

#include <functional>
#include <limits>

namespace vix {

void PrintTo(const Variant& v, std::ostream* os) {
  *os << ToUtf8(VarTypeName(v.VarType()));
  if (v.VarType() != varBytes && v.VarType() != varObject && !v.IsNull()) *os << " " << ToUtf8(v.AsString());
}

namespace {

TEST(Variant, KindsOfConstructedValues) {
  struct Case {
    Variant value;
    TVarType type;
  } const cases[] = {
      {Variant(), varEmpty},
      {Variant::Null(), varNull},
      {Variant(true), varBoolean},
      {Variant(int8_t{-1}), varShortInt},
      {Variant(int16_t{-1}), varSmallint},
      {Variant(7), varInteger},
      {Variant(7LL), varInt64},
      {Variant(int64_t{7}), varInt64},
      {Variant(uint8_t{1}), varByte},
      {Variant(uint16_t{1}), varWord},
      {Variant(7u), varLongWord},
      {Variant(uint64_t{7}), varUInt64},
      {Variant(1.5f), varSingle},
      {Variant(1.5), varDouble},
      {Variant(Currency::FromInt(2)), varCurrency},
      {Variant::FromDate(1.0), varDate},
      {Variant(u"text"), varUString},
      {Variant::FromAnsi("text"), varString},
      {Variant::FromBytes(std::string("\0\1", 2)), varBytes},
      {Variant(IntegerToBcd(5)), varFMTBcd},
      {Variant(TSQLTimeStamp{2000, 1, 1, 0, 0, 0, 0}), varSQLTimeStamp},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.value.VarType(), c.type) << ToUtf8(VarTypeName(c.type));
    EXPECT_EQ(Variant(c.value), c.value);
  }
}

// One conversion of one value: the expected result as a variant, or the
// error it raises.
enum class Outcome { Value, Cast, Overflow };

struct ConversionCase {
  const char* what;
  Variant from;
  TVarType to;
  Outcome outcome;
  Variant expected;
};

TEST(Variant, ConversionTable) {
  const TDateTime day = EncodeDateTime(2024, 2, 9, 12, 0, 0, 0);
  const ConversionCase cases[] = {
      // to integers
      {"empty", Variant(), varInteger, Outcome::Value, Variant(0)},
      {"empty text", Variant(), varUString, Outcome::Value, Variant(u"")},
      {"true", Variant(true), varInteger, Outcome::Value, Variant(-1)},
      {"double tie down", Variant(2.5), varInteger, Outcome::Value, Variant(2)},
      {"double tie up", Variant(3.5), varInteger, Outcome::Value, Variant(4)},
      {"double negative", Variant(-2.5), varInt64, Outcome::Value, Variant(int64_t{-2})},
      {"currency tie", Variant(Currency::FromRaw(25000)), varInteger, Outcome::Value, Variant(2)},
      {"currency", Variant(Currency::FromRaw(-25001)), varInteger, Outcome::Value, Variant(-3)},
      {"text", Variant(u" 42 "), varInteger, Outcome::Value, Variant(42)},
      {"hex text", Variant(u"$1F"), varInteger, Outcome::Value, Variant(31)},
      {"float text", Variant(u"2.5"), varInteger, Outcome::Value, Variant(2)},
      {"ansi text", Variant::FromAnsi("-7"), varInteger, Outcome::Value, Variant(-7)},
      {"bad text", Variant(u"4x"), varInteger, Outcome::Cast, {}},
      {"empty text", Variant(u""), varInteger, Outcome::Cast, {}},
      {"int64 too big", Variant(int64_t{1} << 40), varInteger, Outcome::Overflow, {}},
      {"uint64 too big", Variant(UINT64_MAX), varInt64, Outcome::Overflow, {}},
      {"huge double", Variant(1e300), varInt64, Outcome::Overflow, {}},
      {"text too big", Variant(u"2147483648"), varInteger, Outcome::Overflow, {}},
      {"bytes", Variant::FromBytes("1"), varInteger, Outcome::Cast, {}},
      {"negative to word", Variant(-1), varWord, Outcome::Overflow, {}},
      {"to byte", Variant(255), varByte, Outcome::Value, Variant(uint8_t{255})},
      {"to shortint", Variant(128), varShortInt, Outcome::Overflow, {}},
      {"to longword", Variant(4294967295LL), varLongWord, Outcome::Value, Variant(4294967295u)},
      {"negative to uint64", Variant(-1), varUInt64, Outcome::Overflow, {}},
      {"uint64 text back", Variant(u"18446744073709551615"), varUInt64, Outcome::Value, Variant(UINT64_MAX)},
      {"uint64 ansi text", Variant::FromAnsi(" 9223372036854775808 "), varUInt64, Outcome::Value,
       Variant(uint64_t{1} << 63)},
      {"uint64 text too big", Variant(u"18446744073709551616"), varUInt64, Outcome::Overflow, {}},
      {"negative text to uint64", Variant(u"-1"), varUInt64, Outcome::Overflow, {}},
      {"float text to uint64", Variant(u"2.5"), varUInt64, Outcome::Value, Variant(uint64_t{2})},
      {"bcd", Variant(StrToBcd(u"12.5", InvariantFormatSettings())), varInt64, Outcome::Value, Variant(12LL)},
      // to double, currency, date
      {"int to double", Variant(3), varDouble, Outcome::Value, Variant(3.0)},
      {"text to double", Variant(u"1.25"), varDouble, Outcome::Value, Variant(1.25)},
      {"bad text to double", Variant(u"1.2.3"), varDouble, Outcome::Cast, {}},
      {"date to double", Variant::FromDate(1.5), varDouble, Outcome::Value, Variant(1.5)},
      {"double to single", Variant(0.5), varSingle, Outcome::Value, Variant(0.5f)},
      {"huge double to single", Variant(1e300), varSingle, Outcome::Overflow, {}},
      {"huge negative double to single", Variant(-1e39), varSingle, Outcome::Overflow, {}},
      {"huge text to single", Variant(u"1e39"), varSingle, Outcome::Overflow, {}},
      {"double to currency", Variant(1.23456), varCurrency, Outcome::Value, Variant(Currency::FromRaw(12346))},
      {"text to currency", Variant(u"0.00015"), varCurrency, Outcome::Value, Variant(Currency::FromRaw(2))},
      {"big to currency", Variant(1e16), varCurrency, Outcome::Overflow, {}},
      {"int64 to currency", Variant(INT64_MAX), varCurrency, Outcome::Overflow, {}},
      {"text to date", Variant(u"2024-02-09 12:00"), varDate, Outcome::Value, Variant::FromDate(day)},
      {"bad text to date", Variant(u"2024-02-30"), varDate, Outcome::Cast, {}},
      {"double to date", Variant(day), varDate, Outcome::Value, Variant::FromDate(day)},
      {"time stamp to date", Variant(TSQLTimeStamp{2024, 2, 9, 12, 0, 0, 0}), varDate, Outcome::Value,
       Variant::FromDate(day)},
      {"bad time stamp to date", Variant(TSQLTimeStamp{2024, 2, 30, 0, 0, 0, 0}), varDate, Outcome::Cast, {}},
      {"date to time stamp", Variant::FromDate(day), varSQLTimeStamp, Outcome::Value,
       Variant(TSQLTimeStamp{2024, 2, 9, 12, 0, 0, 0})},
      // to boolean
      {"zero", Variant(0), varBoolean, Outcome::Value, Variant(false)},
      {"non-zero", Variant(-3), varBoolean, Outcome::Value, Variant(true)},
      {"text true", Variant(u"TRUE"), varBoolean, Outcome::Value, Variant(true)},
      {"text false", Variant(u"false"), varBoolean, Outcome::Value, Variant(false)},
      {"text number", Variant(u"0"), varBoolean, Outcome::Value, Variant(false)},
      {"text other", Variant(u"yes"), varBoolean, Outcome::Cast, {}},
      // to text
      {"bool text", Variant(true), varUString, Outcome::Value, Variant(u"True")},
      {"int text", Variant(-12), varUString, Outcome::Value, Variant(u"-12")},
      {"uint64 text", Variant(UINT64_MAX), varUString, Outcome::Value, Variant(u"18446744073709551615")},
      {"double text", Variant(0.1), varUString, Outcome::Value, Variant(u"0.1")},
      {"single text", Variant(0.1f), varUString, Outcome::Value, Variant(u"0.1")},
      {"currency text", Variant(Currency::FromRaw(-12345)), varUString, Outcome::Value, Variant(u"-1.2345")},
      {"date text", Variant::FromDate(day), varUString, Outcome::Value, Variant(u"2024-02-09 12:00:00")},
      {"bcd text", Variant(StrToBcd(u"-0.50", InvariantFormatSettings())), varUString, Outcome::Value,
       Variant(u"-0.5")},
      {"ansi text", Variant::FromAnsi("\xB0\xA1"), varUString, Outcome::Value, Variant(u"\uAC00")},
      {"text to ansi", Variant(u"\uAC00"), varString, Outcome::Value, Variant::FromAnsi("\xB0\xA1")},
      {"bytes to text", Variant::FromBytes("ab"), varUString, Outcome::Cast, {}},
      // to bytes and decimals
      {"text to bytes", Variant(u"\uAC00"), varBytes, Outcome::Value, Variant::FromBytes("\xB0\xA1")},
      {"int to bytes", Variant(1), varBytes, Outcome::Cast, {}},
      {"currency to bcd", Variant(Currency::FromRaw(15)), varFMTBcd, Outcome::Value,
       Variant(StrToBcd(u"0.0015", InvariantFormatSettings()))},
      {"text to bcd", Variant(u"x"), varFMTBcd, Outcome::Cast, {}},
      {"no object", Variant::FromObject(nullptr), varUString, Outcome::Value, Variant(u"")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    switch (c.outcome) {
      case Outcome::Value: EXPECT_EQ(c.from.AsType(c.to), c.expected); break;
      case Outcome::Cast: EXPECT_THROW(c.from.AsType(c.to), EVariantTypeCastError); break;
      case Outcome::Overflow: EXPECT_THROW(c.from.AsType(c.to), EVariantOverflowError); break;
    }
  }
}

TEST(Variant, ErrorMessagesAndRoots) {
  try {
    Variant::Null().AsInteger();
    FAIL();
  } catch (const EVariantTypeCastError& e) {
    EXPECT_EQ(e.Message(), u"Could not convert variant of type (Null) into type (Integer)");
  }
  try {
    Variant(u"abc").AsFloat();
    FAIL();
  } catch (const EConvertError& e) {  // every variant error is a conversion error
    EXPECT_EQ(e.Message(), u"Could not convert variant of type (UnicodeString) into type (Double)");
  }
  EXPECT_THROW(Variant(int64_t{1} << 40).AsInteger(), Exception);
  EXPECT_EQ(VarToStr(Variant::Null()), u"");
  EXPECT_EQ(Variant::Null().AsType(varInteger).VarType(), varNull);
}

TEST(Variant, DisplayTextFollowsTheDecimalSeparator) {
  TFormatSettings& fs = FormatSettings();
  const TFormatSettings saved = fs;
  fs.DecimalSeparator = u',';
  EXPECT_EQ(Variant(2.5).AsString(), u"2,5");
  EXPECT_EQ(Variant(u"2,5").AsFloat(), 2.5);
  EXPECT_THROW(Variant(u"2.5").AsFloat(), EVariantTypeCastError);
  EXPECT_EQ(Variant(Currency::FromRaw(15000)).AsString(), u"1,5");
  fs = saved;
  EXPECT_EQ(Variant(2.5).AsString(), u"2.5");
}

class Counted : public TSharedObject {
 public:
  explicit Counted(int& destroyed) : FDestroyed(destroyed) {}

 protected:
  ~Counted() override { ++FDestroyed; }

 private:
  int& FDestroyed;
};

TEST(Variant, SharedObjectReferences) {
  int destroyed = 0;
  auto* object = new Counted(destroyed);
  EXPECT_EQ(object->RefCount(), 1);
  {
    const Variant a = Variant::FromObject(object);
    EXPECT_EQ(object->RefCount(), 2);
    Variant b = a;
    EXPECT_EQ(object->RefCount(), 3);
    EXPECT_EQ(b.AsObject(), object);
    EXPECT_EQ(b, a);
    b = Variant(1);
    EXPECT_EQ(object->RefCount(), 2);
    EXPECT_THROW(a.AsInteger(), EVariantTypeCastError);
    EXPECT_THROW(a.AsString(), EVariantTypeCastError);
  }
  EXPECT_EQ(object->RefCount(), 1);
  EXPECT_EQ(destroyed, 0);
  object->Release();
  EXPECT_EQ(destroyed, 1);
}

TEST(SharedRef, AdoptAndShare) {
  int destroyed = 0;
  {
    auto first = TSharedRef<Counted>::Adopt(new Counted(destroyed));
    auto second = TSharedRef<Counted>::Share(first.Get());
    EXPECT_EQ(first->RefCount(), 2);
    second.Reset();
    EXPECT_EQ(first->RefCount(), 1);
  }
  EXPECT_EQ(destroyed, 1);
}

}  // namespace
}  // namespace vix
