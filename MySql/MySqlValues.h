// Values in the server's text form (every value of a text row, and the
// decimals, BIT and string values of a binary row): pure parsers from the
// text to record values, and the decoder that writes one value into the slot
// of its record. Nothing here reads past the text or writes past the slot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "Common/MemData.h"
#include "rtl/DateUtils.h"

namespace vix {

// A decimal number read over its whole length ("+" allowed in front),
// correctly rounded, infinite beyond the range; anything else raises
// EConvertError "'<text>' is not a valid floating point value".
double ParseMySqlFloat(std::string_view text);
// Decimal digits with an optional sign; `negative` tells the sign. False for
// anything else or a magnitude beyond 64 bits.
bool ParseMySqlMagnitude(std::string_view text, bool& negative, uint64_t& magnitude);
// "YYYY-MM-DD", with withTime also "YYYY-MM-DD HH:NN:SS[.ffffff]" (the
// fraction truncated to milliseconds); false for a zero or impossible date.
bool ParseMySqlDateTime(std::string_view text, bool withTime, TDateTime& value);
// The old TIMESTAMP layouts of `length` digits (14, 12, 10, 8, 6, 4, 2):
// YYYYMMDDHHNNSS and its prefixes, YYMMDD... for the other lengths (years
// below 70 in 2000-2069); false for a malformed or impossible one.
bool ParseMySqlCompactTimestamp(std::string_view text, int length, TDateTime& value);
// "[-]H+:NN:SS[.ffffff]" (the colon within the first five characters) as
// days, negative for a leading "-"; false when malformed.
bool ParseMySqlTime(std::string_view text, TDateTime& value);
// A value as an error message shows it: printable ASCII as it is (at most
// 64 characters, then "..."), anything else as "0x" and hex digits of its
// first 32 bytes; never the raw bytes.
UString MySqlValueForMessage(std::string_view value);

// The slot one value is written into, and how.
struct TMySqlValueSlot {
  TDataType DataType = mtUnknown;
  uint8_t MySqlType = 0;
  uint16_t Length = 0;  // characters, digits or the TIMESTAMP layout's length
  uint16_t Scale = 0;
  size_t Size = 0;  // bytes of the slot
  bool NullForZeroDate = false;
  bool NullForZeroVanticDate = false;
  UStringView FieldName;
};

// The types DecodeMySqlValue writes: every type stored in the record itself
// (the heap strings and blobs are the record set's).
bool IsInlineMySqlValue(TDataType dataType);

// Decodes `value` into `slot` (target.Size bytes) in the slot's form: texts
// cut to the slot and terminated, VARBINARY with its length word, numbers
// range-checked for the slot's type (unsigned 64-bit: the whole range; a BIT
// value is its big-endian bytes), dates and times as TDateTime. Returns
// false when the value reads as null: a zero or impossible date with
// NullForZeroDate, day 0 with NullForZeroVanticDate (the slot is then
// untouched); a zero date otherwise stores kZeroDateStandIn. Text the type
// cannot hold raises EConvertError (EDatabaseError for a malformed time, a
// provider error for a type not handled here or an unknown TIMESTAMP layout).
bool DecodeMySqlValue(const TMySqlValueSlot& target, std::string_view value, uint8_t* slot);

}  // namespace vix
