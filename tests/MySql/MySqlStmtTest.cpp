// Prepared statements offline: the binary row layout, the values of binary
// rows, and the execute packet with its parameter values.
#include <cmath>

#include "Common/MemData.h"
#include "MySql/MySqlStmt.h"
#include "ScriptedServer.h"
#include "TestSupport.h"

namespace vix {
namespace {

using test::B;

ByteSpan Span(const std::string& s) {
  return ByteSpan(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

int ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const EMySqlException& e) {
    return e.ErrorCode();
  }
  return 0;
}

struct Expect {
  bool isNull;
  size_t offset, length;
};

TEST(BinaryRow, NullBitmapAndValuePositions) {
  const std::vector<uint8_t> six(6, MYSQL_TYPE_LONG), seven(7, MYSQL_TYPE_TINY);
  const std::vector<uint8_t> mixed = {MYSQL_TYPE_TINY,       MYSQL_TYPE_SHORT,  MYSQL_TYPE_LONG, MYSQL_TYPE_LONGLONG,
                                      MYSQL_TYPE_FLOAT,      MYSQL_TYPE_DOUBLE, MYSQL_TYPE_YEAR, MYSQL_TYPE_INT24,
                                      MYSQL_TYPE_VAR_STRING, MYSQL_TYPE_DATE,   MYSQL_TYPE_TIME};
  struct Case {
    const char* what;
    const std::vector<uint8_t>& types;
    std::string row;
    std::vector<Expect> expect;
  } const cases[] = {
      // 6 columns: a 1-byte bitmap; column 5 is bit 7 of byte 1.
      {"six columns, the last NULL",
       six,
       B({0, 0x80}) + std::string(20, 'x'),
       {{false, 2, 4}, {false, 6, 4}, {false, 10, 4}, {false, 14, 4}, {false, 18, 4}, {true, 0, 0}}},
      // 7 columns: 2 bytes; column 6 is bit 0 of byte 2.
      {"seven columns, the last NULL",
       seven,
       B({0, 0, 0x01}) + "abcdef",
       {{false, 3, 1}, {false, 4, 1}, {false, 5, 1}, {false, 6, 1}, {false, 7, 1}, {false, 8, 1}, {true, 0, 0}}},
      {"seven columns, the first NULL",
       seven,
       B({0, 0x04, 0}) + "bcdefg",
       {{true, 0, 0}, {false, 3, 1}, {false, 4, 1}, {false, 5, 1}, {false, 6, 1}, {false, 7, 1}, {false, 8, 1}}},
      {"every width",
       mixed,
       B({0, 0, 0}) + "1" + "22" + "4444" + "88888888" + "ffff" + "dddddddd" + "yy" + "iiii" + B({3}) + "abc" +
           B({4, 0xE5, 0x07, 3, 4}) + B({0}),
       {{false, 3, 1},
        {false, 4, 2},
        {false, 6, 4},
        {false, 10, 8},
        {false, 18, 4},
        {false, 22, 8},
        {false, 30, 2},
        {false, 32, 4},
        {false, 37, 3},
        {false, 41, 4},
        {false, 46, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<TMySqlBind> binds;
    DecodeBinaryRow(Span(c.row), c.types, binds);
    ASSERT_EQ(binds.size(), c.expect.size());
    for (size_t i = 0; i < binds.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(binds[i].IsNull, c.expect[i].isNull);
      EXPECT_EQ(binds[i].Offset, c.expect[i].offset);
      EXPECT_EQ(binds[i].Length, c.expect[i].length);
      EXPECT_EQ(binds[i]._Type, c.types[i]);
    }
  }
}

TEST(BinaryRow, NullAfterAValueReportsOffsetAndLengthZero) {
  const std::vector<uint8_t> types = {MYSQL_TYPE_VAR_STRING};
  std::vector<TMySqlBind> binds;
  DecodeBinaryRow(Span(B({0, 0, 2}) + "ab"), types, binds);
  EXPECT_EQ(binds[0].Offset, 3u);
  DecodeBinaryRow(Span(B({0, 0x04})), types, binds);
  EXPECT_TRUE(binds[0].IsNull);
  EXPECT_EQ(binds[0].Offset, 0u);
  EXPECT_EQ(binds[0].Length, 0u);
}

TEST(BinaryRow, MalformedRowsRaise2027) {
  const std::vector<uint8_t> str = {MYSQL_TYPE_VAR_STRING}, lng = {MYSQL_TYPE_LONG}, three(3, MYSQL_TYPE_TINY);
  struct Case {
    const char* what;
    const std::vector<uint8_t>& types;
    std::string row;
  } const cases[] = {
      {"empty", str, ""},
      {"another header byte", str, B({1, 0, 1}) + "a"},
      {"bitmap cut", three, B({0})},
      {"fixed width cut", lng, B({0, 0, 1, 2})},
      {"value missing", three, B({0, 0, 1, 2})},
      {"length beyond the row", str, B({0, 0, 5}) + "ab"},
      {"2-byte length cut", str, B({0, 0, 0xFC, 1})},
      {"8-byte length beyond the row", str, B({0, 0, 0xFE, 0, 0, 0, 0, 1, 0, 0, 0}) + "abc"},
      {"8-byte length above 2^63", str, B({0, 0, 0xFE, 0, 0, 0, 0, 0, 0, 0, 0x80})},
      {"0xFF prefix", str, B({0, 0, 0xFF})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<TMySqlBind> binds;
    EXPECT_EQ(ErrorOf([&] { DecodeBinaryRow(Span(c.row), c.types, binds); }), 2027);
  }
}

TMySqlFieldInfo Field(uint8_t type, int32_t flags = 0) {
  TMySqlFieldInfo f;
  f._Type = type;
  f.Flags = flags;
  return f;
}

TEST(BinaryValue, IntegersDatesAndTimes) {
  const TDateTime t250 = EncodeDateTime(2021, 3, 4, 5, 6, 7, 250);
  struct Case {
    const char* what;
    TMySqlFieldInfo field;
    std::string bytes;
    Variant expect;
  } const cases[] = {
      {"unsigned LONG above 2^31", Field(MYSQL_TYPE_LONG, UNSIGNED_FLAG), B({0xFF, 0xFF, 0xFF, 0xFF}),
       Variant(uint32_t{4294967295u})},
      {"signed LONG", Field(MYSQL_TYPE_LONG), B({0xFF, 0xFF, 0xFF, 0xFF}), Variant(int32_t{-1})},
      {"unsigned TINY", Field(MYSQL_TYPE_TINY, UNSIGNED_FLAG), B({0xFF}), Variant(uint8_t{255})},
      {"signed TINY", Field(MYSQL_TYPE_TINY), B({0xFF}), Variant(int8_t{-1})},
      {"unsigned LONGLONG", Field(MYSQL_TYPE_LONGLONG, UNSIGNED_FLAG), std::string(8, '\xFF'),
       Variant(uint64_t{18446744073709551615u})},
      {"YEAR", Field(MYSQL_TYPE_YEAR, UNSIGNED_FLAG), B({0xE5, 0x07}), Variant(uint16_t{2021})},
      {"DATETIME with microseconds", Field(MYSQL_TYPE_DATETIME),
       B({11, 0xE5, 7, 3, 4, 5, 6, 7, 0x90, 0xD0, 3, 0}).substr(1), Variant::FromDate(t250)},
      {"zero DATE", Field(MYSQL_TYPE_DATE), "", Variant::FromDate(kZeroDateStandIn)},
      {"zero in a DATE", Field(MYSQL_TYPE_DATE), B({0xE5, 7, 0, 0}), Variant::FromDate(kZeroDateStandIn)},
      {"TIME of 36 hours", Field(MYSQL_TYPE_TIME), B({0, 1, 0, 0, 0, 12, 0, 0}), Variant::FromDate(1.5)},
      {"negative TIME", Field(MYSQL_TYPE_TIME), B({1, 0, 0, 0, 0, 12, 0, 0}), Variant::FromDate(-0.5)},
      {"TIME 838:59:59", Field(MYSQL_TYPE_TIME), B({0, 34, 0, 0, 0, 22, 59, 59}),
       Variant::FromDate(34 + (22 * 3600 + 59 * 60 + 59) / 86400.0)},
      {"zero TIME", Field(MYSQL_TYPE_TIME), "", Variant::FromDate(0)},
      {"text", Field(MYSQL_TYPE_VAR_STRING), "\xED\x95\x9C", Variant::FromBytes("\xED\x95\x9C")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Variant v = BinaryValue(c.field, Span(c.bytes));
    EXPECT_EQ(v.VarType(), c.expect.VarType());
    if (v.VarType() == varDate) {
      EXPECT_NEAR(v.AsDateTime(), c.expect.AsDateTime(), 1e-9);
    } else if (v.VarType() == varBytes) {
      EXPECT_EQ(v.AsBytes(), c.expect.AsBytes());
    } else {
      EXPECT_EQ(v.AsString(), c.expect.AsString());
    }
  }
}

TEST(BinaryValue, LengthsThatDoNotFitTheTypeRaise2027) {
  struct Case {
    uint8_t type;
    std::string bytes;
  } const cases[] = {{MYSQL_TYPE_TINY, "ab"},    {MYSQL_TYPE_LONG, "abc"},    {MYSQL_TYPE_DOUBLE, "a"},
                     {MYSQL_TYPE_DATE, "abcde"}, {MYSQL_TYPE_DATETIME, "ab"}, {MYSQL_TYPE_TIME, "abcdefghi"},
                     {MYSQL_TYPE_TIME, "abcd"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    EXPECT_EQ(ErrorOf([&] { BinaryValue(Field(c.type), Span(c.bytes)); }), 2027);
  }
}

TEST(PrepareOk, CountsAreUnsignedAndShortRepliesAreMalformed) {
  const TMySqlPrepareOk ok = ParsePrepareOk(Span(B({0, 7, 0, 0, 0, 0xFF, 0xFF, 0x01, 0x80, 0, 0, 0})));
  EXPECT_EQ(ok.stmtId, 7u);
  EXPECT_EQ(ok.fieldCount, 65535u);
  EXPECT_EQ(ok.paramCount, 32769u);
  EXPECT_EQ(ErrorOf([] { ParsePrepareOk(Span(B({0, 7, 0, 0, 0, 1, 0, 1}))); }), 2027);
  EXPECT_EQ(ErrorOf([] { ParsePrepareOk(Span(B({5, 7, 0, 0, 0, 1, 0, 1, 0}))); }), 2027);
}

// --- the execute packet ----------------------------------------------------------------

TParamDesc& Add(TParamDescs& params, uint16_t dataType, const Variant& value = Variant::Null()) {
  auto p = std::make_unique<TParamDesc>();
  p->SetDataType(dataType);
  p->SetParamType(pdInput);
  p->SetValue(value);
  return *params.Add(std::move(p));
}

std::string Execute(const TParamDescs& params, uint32_t paramCount, std::vector<uint16_t>& sent, bool unicode = true) {
  const std::vector<uint8_t> body = BuildExecute(0x01020304, paramCount, params, unicode, sent);
  return std::string(body.begin(), body.end());
}

const std::string kHead = B({4, 3, 2, 1, 0, 1, 0, 0, 0});

TEST(ExecutePacket, NineParametersAndTheNullBitmap) {
  TParamDescs params;
  for (int i = 0; i < 8; ++i) Add(params, mtInt8, Variant(i));
  Add(params, mtInt8);  // parameter 8: NULL
  std::vector<uint16_t> sent;
  const std::string body = Execute(params, 9, sent);
  std::string types;
  for (int i = 0; i < 9; ++i) types += B({1, 0});
  EXPECT_EQ(body, kHead + B({0, 1}) + B({1}) + types + B({0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST(ExecutePacket, TypesAreSentOnlyWhenTheyChange) {
  TParamDescs params;
  Add(params, mtInt32, Variant(5));
  std::vector<uint16_t> sent;
  EXPECT_EQ(Execute(params, 1, sent), kHead + B({0, 1, 3, 0, 5, 0, 0, 0}));
  EXPECT_EQ(Execute(params, 1, sent), kHead + B({0, 0, 5, 0, 0, 0}));
  params.Items(0)->SetDataType(mtString);
  params.Items(0)->SetValue(Variant(u"5"));
  EXPECT_EQ(Execute(params, 1, sent), kHead + B({0, 1, 253, 0, 1}) + "5");
}

TEST(ExecutePacket, CountsThatDifferSendNoValuesAndAFunctionResultIsNotSent) {
  TParamDescs params;
  Add(params, mtInt32, Variant(5));
  std::vector<uint16_t> sent;
  EXPECT_EQ(Execute(params, 2, sent), kHead);
  TParamDescs withResult;
  Add(withResult, mtInt32).SetParamType(pdResult);
  Add(withResult, mtInt8, Variant(9));
  EXPECT_EQ(Execute(withResult, 1, sent), kHead + B({0, 1, 1, 0, 9}));
}

TEST(ExecutePacket, ValuesOfEveryType) {
  TBcd bcd = StrToBcd(u"-123.45", InvariantFormatSettings());
  struct Case {
    const char* what;
    uint16_t dataType;
    Variant value;
    bool unicode;
    std::string typeAndValue;
  } const cases[] = {
      {"8-bit", mtInt8, Variant(-2), true, B({1, 0, 0xFE})},
      {"boolean", mtBoolean, Variant(true), true, B({1, 0, 1})},
      {"16-bit", mtInt16, Variant(-2), true, B({2, 0, 0xFE, 0xFF})},
      {"32-bit", mtInt32, Variant(-2), true, B({3, 0, 0xFE, 0xFF, 0xFF, 0xFF})},
      {"unsigned 32-bit above 2^31", mtUInt32, Variant(uint32_t{3000000000u}), true,
       B({3, 0x80, 0x00, 0x5E, 0xD0, 0xB2})},
      {"unsigned 16-bit", mtUInt16, Variant(uint16_t{65535}), true, B({3, 0x80, 0xFF, 0xFF, 0, 0})},
      {"64-bit", mtInt64, Variant(int64_t{-2}), true, B({8, 0}) + std::string(1, '\xFE') + std::string(7, '\xFF')},
      {"float", mtFloat, Variant(1.5), true, B({5, 0, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F})},
      {"date", mtDate, Variant::FromDate(EncodeDate(2021, 3, 4)), true, B({10, 0, 4, 0xE5, 7, 3, 4})},
      {"date-time", mtDateTime, Variant::FromDate(EncodeDateTime(2021, 3, 4, 5, 6, 7, 250)), true,
       B({12, 0, 11, 0xE5, 0x07, 3, 4, 5, 6, 7, 0x90, 0xD0, 3, 0})},
      {"zero date", mtDate, Variant::FromDate(kZeroDateStandIn), true, B({10, 0, 0})},
      {"zero date-time", mtDateTime, Variant::FromDate(kZeroDateStandIn), true, B({12, 0, 0})},
      {"time", mtTime, Variant::FromDate(EncodeTime(5, 6, 7, 8)), true,
       B({11, 0, 12, 0, 0, 0, 0, 0, 5, 6, 7, 0x40, 0x1F, 0, 0})},
      {"time of 36 hours", mtTime, Variant::FromDate(1.5), true, B({11, 0, 12, 0, 1, 0, 0, 0, 12, 0, 0, 0, 0, 0, 0})},
      {"negative time", mtTime, Variant::FromDate(-0.5), true, B({11, 0, 12, 1, 0, 0, 0, 0, 12, 0, 0, 0, 0, 0, 0})},
      {"wide string in UTF-8", mtWideString, Variant(u"한글"), true, B({253, 0, 6}) + "\xED\x95\x9C\xEA\xB8\x80"},
      {"wide string in the ANSI code page", mtWideString, Variant(u"한글"), false, B({253, 0, 4}) + "\xC7\xD1\xB1\xDB"},
      {"string", mtString, Variant(u"abc"), true, B({253, 0, 3}) + "abc"},
      {"bytes", mtVarBytes, Variant::FromBytes(std::string("\0\1\2", 3)), true, B({253, 0, 3, 0, 1, 2})},
      {"text of 300 bytes", mtString, Variant(UString(300, u'a')), true,
       B({253, 0, 0xFC, 0x2C, 1}) + std::string(300, 'a')},
      {"BCD", mtBCD, Variant(Currency::FromRaw(123400)), true, B({253, 0, 5}) + "12.34"},
      {"FMT BCD", mtFMTBCD, Variant(bcd), true, B({253, 0, 7}) + "-123.45"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TParamDescs params;
    Add(params, c.dataType, c.value);
    std::vector<uint16_t> sent;
    EXPECT_EQ(Execute(params, 1, sent, c.unicode), kHead + B({0, 1}) + c.typeAndValue);
  }
}

TEST(ExecutePacket, TextBlobsTravelInTheConnectionsEncoding) {
  struct Case {
    uint16_t dataType;
    bool unicodeBlob, unicode;
    std::string expect;
  } const cases[] = {
      {mtWideMemo, true, true, "\xED\x95\x9C\xEA\xB8\x80"},
      {mtWideMemo, true, false, "\xC7\xD1\xB1\xDB"},
      {mtMemo, false, true, "\xED\x95\x9C\xEA\xB8\x80"},
      {mtMemo, false, false, "\xC7\xD1\xB1\xDB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dataType * 10 + c.unicode);
    TParamDescs params;
    TParamDesc& p = Add(params, c.dataType);
    TSharedRef<TBlob> blob = TSharedRef<TBlob>::Adopt(new TBlob(c.unicodeBlob));
    blob->SetAsString(u"한글");
    p.SetObject(blob.Get());
    p.SetNull(false);
    std::vector<uint16_t> sent;
    EXPECT_EQ(Execute(params, 1, sent, c.unicode), kHead + B({0, 1, 253, 0, 6 - 2 * !c.unicode}) + c.expect);
  }
}

TEST(ExecutePacket, BinaryValuesAreCutToTheSizeButNeverReadBeyondTheValue) {
  for (int size : {0, 2, 3, 10}) {
    SCOPED_TRACE(size);
    std::vector<uint16_t> sent;
    // A byte array goes whole; another value as its bytes, at most the size.
    TParamDescs bytes, text;
    Add(bytes, mtBytes, Variant::FromBytes("abc")).SetSize(size);
    EXPECT_EQ(Execute(bytes, 1, sent), kHead + B({0, 1, 253, 0, 3}) + "abc");
    Add(text, mtVarBytes, Variant(u"abc")).SetSize(size);
    const std::string value = size == 2 ? "ab" : "abc";
    EXPECT_EQ(Execute(text, 1, sent), kHead + B({0, 0, static_cast<int>(value.size())}) + value);
  }
}

TEST(ExecutePacket, AnUnsupportedTypeRaisesBeforeAnythingIsSent) {
  for (uint16_t t : {mtObject, mtVariant, mtCursor, uint16_t{99}}) {
    TParamDescs params;
    Add(params, t, Variant(1));
    std::vector<uint16_t> sent;
    try {
      Execute(params, 1, sent);
      ADD_FAILURE() << t;
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), Format(u"Invalid internal field type $%X (%d)", {int{t}, int{t}}));
    }
    EXPECT_TRUE(sent.empty());
  }
}

}  // namespace
}  // namespace vix
