// Values in the server's text form written into a slot of exactly its size
// (AddressSanitizer sees any write past it): texts stay terminated within the
// slot, and the value read back is the one the parsers give for the text.
// Input: the slot's type, the column type, the slot size (2 bytes), the
// options, then the value.
#include <cmath>
#include <cstring>
#include <string_view>
#include <vector>

#include "MySql/MySqlConsts.h"
#include "MySql/MySqlValues.h"

namespace {

using namespace vix;

constexpr TDataType kTypes[] = {mtString, mtBytes, mtVarBytes, mtWideString, mtFloat,   mtBCD,
                                mtFMTBCD, mtDate,  mtDateTime, mtTime,       mtBoolean, mtInt8,
                                mtInt16,  mtInt32, mtInt64,    mtUInt16,     mtUInt32,  mtUInt64};
constexpr uint8_t kColumnTypes[] = {MYSQL_TYPE_TINY,      MYSQL_TYPE_LONGLONG,   MYSQL_TYPE_BIT,
                                    MYSQL_TYPE_TIMESTAMP, MYSQL_TYPE_DATETIME,   MYSQL_TYPE_DATE,
                                    MYSQL_TYPE_TIME,      MYSQL_TYPE_NEWDECIMAL, MYSQL_TYPE_VAR_STRING};

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

bool Same(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// The value in the slot against what the parsers make of the text.
void CheckReadBack(const TMySqlValueSlot& t, std::string_view v, const uint8_t* slot, bool stored) {
  switch (t.DataType) {
    case mtString: {
      const auto* end = static_cast<const uint8_t*>(std::memchr(slot, 0, t.Size));
      Check(end != nullptr);
      const size_t n = static_cast<size_t>(end - slot);
      Check(n == std::min(v.size(), t.Size - 1) || std::memchr(v.data(), 0, v.size()) != nullptr);
      Check(std::memcmp(slot, v.data(), n) == 0);
      return;
    }
    case mtBytes: Check(std::memcmp(slot, v.data(), std::min(v.size(), t.Size)) == 0); return;
    case mtVarBytes: {
      const uint16_t n = LoadSlot<uint16_t>(slot);
      Check(n == std::min(v.size(), t.Size - 2));
      Check(std::memcmp(slot + 2, v.data(), n) == 0);
      return;
    }
    case mtWideString: {
      bool terminated = false;
      for (size_t i = 0; i + 1 < t.Size && !terminated; i += 2) terminated = LoadSlot<char16_t>(slot + i) == 0;
      Check(terminated);
      return;
    }
    case mtFloat: Check(Same(LoadSlot<double>(slot), ParseMySqlFloat(v))); return;
    case mtDate:
    case mtDateTime: {
      if (!stored) return;
      TDateTime expected = kZeroDateStandIn;
      bool ok;
      if (t.MySqlType == MYSQL_TYPE_TIMESTAMP && t.Length < 19) ok = ParseMySqlCompactTimestamp(v, t.Length, expected);
      else ok = ParseMySqlDateTime(v, t.MySqlType == MYSQL_TYPE_TIMESTAMP || t.DataType == mtDateTime, expected);
      Check(Same(LoadSlot<double>(slot), ok ? expected : kZeroDateStandIn));
      return;
    }
    case mtTime: {
      TDateTime expected = 0;
      Check(ParseMySqlTime(v, expected) && Same(LoadSlot<double>(slot), expected));
      return;
    }
    case mtInt8:
    case mtInt16:
    case mtInt32:
    case mtInt64:
    case mtUInt16:
    case mtUInt32:
    case mtUInt64: {
      uint64_t magnitude = 0;
      bool negative = false;
      if (t.MySqlType == MYSQL_TYPE_BIT) {
        for (unsigned char c : v) magnitude = magnitude << 8 | c;
      } else {
        Check(ParseMySqlMagnitude(v, negative, magnitude));
      }
      const uint64_t expected = negative ? 0 - magnitude : magnitude;
      uint64_t bits = 0;
      const size_t width = static_cast<size_t>(DataTypeSize(t.DataType, 0));
      std::memcpy(&bits, slot, width);
      if (width < 8)
        bits = t.DataType == mtUInt16 || t.DataType == mtUInt32
                   ? bits
                   : static_cast<uint64_t>(static_cast<int64_t>(bits << (64 - 8 * width)) >> (64 - 8 * width));
      Check(bits == expected);
      return;
    }
    default: return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  TMySqlValueSlot t;
  t.DataType = kTypes[data[0] % std::size(kTypes)];
  t.MySqlType = kColumnTypes[data[1] % std::size(kColumnTypes)];
  const size_t declared = static_cast<size_t>(data[2] | data[3] << 8);
  const int fixed = DataTypeSize(t.DataType, 0);
  const bool sized =
      t.DataType == mtString || t.DataType == mtBytes || t.DataType == mtVarBytes || t.DataType == mtWideString;
  t.Size = sized ? declared % 300 : static_cast<size_t>(fixed);
  if (t.Size == 0) return 0;
  t.Length = static_cast<uint16_t>(data[4] & 0x1F);
  t.Scale = static_cast<uint16_t>(data[4] >> 5);
  t.NullForZeroDate = (data[4] & 0x20) != 0;
  t.NullForZeroVanticDate = (data[4] & 0x40) != 0;
  if (t.DataType == mtFMTBCD) t.Length = static_cast<uint16_t>(1 + (data[2] % 64));
  t.FieldName = u"F";
  const std::string_view value(reinterpret_cast<const char*>(data + 5), size - 5);
  std::vector<uint8_t> slot(t.Size);  // exactly the slot: a write past it is a heap overflow
  try {
    const bool stored = DecodeMySqlValue(t, value, slot.data());
    CheckReadBack(t, value, slot.data(), stored);
  } catch (const vix::Exception&) {
  }
  return 0;
}
