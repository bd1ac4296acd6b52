// Prepared statements offline: parameters of every type the text path
// renders, and binary values read back as the texts the server writes.
#include <cstring>

#include "Common/MemData.h"
#include "MySql/MySqlStmt.h"
#include "ScriptedServer.h"
#include "TestSupport.h"
#include "rtl/Currency.h"

namespace vix {
namespace {

using test::B;

ByteSpan Span(const std::string& s) {
  return ByteSpan(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

TParamDesc& AddParam(TParamDescs& params, uint16_t dataType, const Variant& value) {
  auto p = std::make_unique<TParamDesc>();
  p->SetDataType(dataType);
  p->SetParamType(pdInput);
  p->SetValue(value);
  if (value.IsEmptyOrNull()) p->SetNull(true);
  return *params.Add(std::move(p));
}

// The type word and the value of one parameter (the bitmap and the
// new-types flag before them).
std::string OneParam(uint16_t dataType, const Variant& value) {
  TParamDescs params;
  AddParam(params, dataType, value);
  std::vector<uint16_t> sent;
  const std::vector<uint8_t> body = BuildExecute(1, 1, params, true, sent);
  return std::string(body.begin() + 9, body.end());
}

TEST(ExecuteValues, EveryTypeTheTextPathRendersIsSent) {
  struct Case {
    const char* what;
    uint16_t dataType;
    Variant value;
    std::string bitmapTypeAndValue;
  } const cases[] = {
      {"unassigned", mtUnknown, Variant(), B({1, 1, 253, 0})},
      {"NULL of a heap string", mtExtString, Variant::Null(), B({1, 1, 253, 0})},
      {"NULL of heap bytes", mtExtVarBytes, Variant::Null(), B({1, 1, 253, 0})},
      {"NULL of a heap wide string", mtExtWideString, Variant::Null(), B({1, 1, 253, 0})},
      {"NULL of a variant", mtVariant, Variant::Null(), B({1, 1, 6, 0})},
      {"NULL currency", mtCurrency, Variant::Null(), B({1, 1, 253, 0})},
      {"heap string", mtExtString, Variant(u"ab"), B({0, 1, 253, 0, 2}) + "ab"},
      {"heap wide string", mtExtWideString, Variant(u"한"), B({0, 1, 253, 0, 3}) + "\xED\x95\x9C"},
      {"heap bytes", mtExtVarBytes, Variant::FromBytes(std::string("\0\xFF", 2)), B({0, 1, 253, 0, 2, 0, 0xFF})},
      {"bytes of no type", mtUnknown, Variant::FromBytes("xy"), B({0, 1, 253, 0, 2}) + "xy"},
      {"currency", mtCurrency, Variant(Currency::FromRaw(-12345678)), B({0, 1, 253, 0, 10}) + "-1234.5678"},
      {"unsigned 64-bit above the signed range", mtInt64, Variant(uint64_t{18446744073709551615u}),
       B({0, 1, 8, 0x80}) + std::string(8, '\xFF')},
      {"unsigned 64-bit in the signed range", mtInt64, Variant(uint64_t{2}),
       B({0, 1, 8, 0x80, 2, 0, 0, 0, 0, 0, 0, 0})},
      {"time of -838:59:59", mtTime, Variant::FromDate(-(838 * 3600 + 59 * 60 + 59) / 86400.0),
       B({0, 1, 11, 0, 12, 1, 34, 0, 0, 0, 22, 59, 59, 0, 0, 0, 0})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    try {
      EXPECT_EQ(OneParam(c.dataType, c.value), c.bitmapTypeAndValue);
    } catch (const Exception& e) {
      ADD_FAILURE() << e.what();
    }
  }
}

TMySqlFieldInfo Column(uint8_t type, int32_t flags = 0, int32_t decimals = 0, int32_t length = 0) {
  TMySqlFieldInfo f;
  f._Type = type;
  f.Flags = flags;
  f.Scale = decimals;
  f.Length = length;
  return f;
}

std::string Float(float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  return B({static_cast<int>(bits & 0xFF), static_cast<int>(bits >> 8 & 0xFF), static_cast<int>(bits >> 16 & 0xFF),
            static_cast<int>(bits >> 24)});
}

std::string Double(double d) {
  std::string s(8, '\0');
  std::memcpy(s.data(), &d, 8);
  return s;
}

TEST(BinaryValueText, TheTextsTheServerWrites) {
  constexpr int32_t kZeroFill = 64;
  struct Case {
    const char* what;
    TMySqlFieldInfo field;
    std::string bytes;
    std::string text;
  } const cases[] = {
      {"TINY -128", Column(MYSQL_TYPE_TINY), B({0x80}), "-128"},
      {"unsigned TINY", Column(MYSQL_TYPE_TINY, UNSIGNED_FLAG), B({0xFF}), "255"},
      {"unsigned LONGLONG", Column(MYSQL_TYPE_LONGLONG, UNSIGNED_FLAG), std::string(8, '\xFF'), "18446744073709551615"},
      {"LONGLONG minimum", Column(MYSQL_TYPE_LONGLONG), B({0, 0, 0, 0, 0, 0, 0, 0x80}), "-9223372036854775808"},
      {"ZEROFILL INT(6)", Column(MYSQL_TYPE_LONG, UNSIGNED_FLAG | kZeroFill, 0, 6), B({42, 0, 0, 0}), "000042"},
      {"YEAR 0", Column(MYSQL_TYPE_YEAR, UNSIGNED_FLAG | kZeroFill, 0, 4), B({0, 0}), "0000"},
      {"FLOAT maximum", Column(MYSQL_TYPE_FLOAT), Float(-3.40282e38f), "-3.40282e38"},
      {"FLOAT to 6 digits", Column(MYSQL_TYPE_FLOAT), Float(1.2345678f), "1.23457"},
      {"FLOAT 16777217", Column(MYSQL_TYPE_FLOAT), Float(16777217.0f), "16777200"},
      {"FLOAT 1e-5", Column(MYSQL_TYPE_FLOAT), Float(1e-5f), "0.00001"},
      {"DOUBLE maximum", Column(MYSQL_TYPE_DOUBLE), Double(-1.7976931348623157e308), "-1.7976931348623157e308"},
      {"DOUBLE 0.1", Column(MYSQL_TYPE_DOUBLE), Double(0.1), "0.1"},
      {"DOUBLE 1e15", Column(MYSQL_TYPE_DOUBLE), Double(1e15), "1e15"},
      {"DOUBLE 1e14", Column(MYSQL_TYPE_DOUBLE), Double(1e14), "100000000000000"},
      {"DOUBLE 1234567890123456.7", Column(MYSQL_TYPE_DOUBLE), Double(1234567890123456.7), "1234567890123456.8"},
      {"DOUBLE 1e-15", Column(MYSQL_TYPE_DOUBLE), Double(1e-15), "0.000000000000001"},
      {"DOUBLE 1e-16", Column(MYSQL_TYPE_DOUBLE), Double(1e-16), "1e-16"},
      {"DOUBLE 0", Column(MYSQL_TYPE_DOUBLE), Double(0), "0"},
      {"zero DATE", Column(MYSQL_TYPE_DATE), "", "0000-00-00"},
      {"DATE", Column(MYSQL_TYPE_DATE), B({0x64, 0, 1, 1}), "0100-01-01"},
      {"zero DATETIME(6)", Column(MYSQL_TYPE_DATETIME, 0, 6), "", "0000-00-00 00:00:00.000000"},
      {"DATETIME(3)", Column(MYSQL_TYPE_DATETIME, 0, 3), B({0xE8, 7, 1, 2, 3, 4, 5, 0x40, 0xE2, 1, 0}),
       "2024-01-02 03:04:05.123"},
      {"DATETIME", Column(MYSQL_TYPE_DATETIME), B({0xE8, 7, 1, 2}), "2024-01-02 00:00:00"},
      {"TIME -838:59:59.999", Column(MYSQL_TYPE_TIME, 0, 3), B({1, 34, 0, 0, 0, 22, 59, 59, 0x58, 0x3E, 0x0F, 0}),
       "-838:59:59.999"},
      {"zero TIME", Column(MYSQL_TYPE_TIME), "", "00:00:00"},
      {"TIME of 100 hours", Column(MYSQL_TYPE_TIME), B({0, 4, 0, 0, 0, 4, 0, 0}), "100:00:00"},
      {"text", Column(MYSQL_TYPE_VAR_STRING), "\xED\x95\x9C", "\xED\x95\x9C"},
      {"decimal", Column(246), "-1.50", "-1.50"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(BinaryValueText(c.field, Span(c.bytes)), c.text);
  }
}

TEST(BinaryValueText, LengthsThatDoNotFitTheTypeRaise2027) {
  for (uint8_t type : {MYSQL_TYPE_TINY, MYSQL_TYPE_FLOAT, MYSQL_TYPE_DOUBLE, MYSQL_TYPE_DATE, MYSQL_TYPE_TIME}) {
    SCOPED_TRACE(type);
    try {
      BinaryValueText(Column(type), Span("abc"));
      ADD_FAILURE() << "no error";
    } catch (const EMySqlException& e) {
      EXPECT_EQ(e.ErrorCode(), 2027);
    }
  }
}

}  // namespace
}  // namespace vix
