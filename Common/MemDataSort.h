// The local order of the record storage and the one comparison of field
// values that the sort, the filter and the record search share, so that the
// three agree on equality and order.
//
// Texts are compared over UTF-16 code units (8-bit texts in the ANSI code
// page are read as UTF-16 first, except in binary mode, where their bytes
// count). Case-insensitive: the units upper-cased by UpCaseChar. The default
// ("case-sensitive") order: as case-insensitive, and texts that differ only in
// case put the lower-case letter first at the first unit where they differ.
// Binary: code units (or bytes) as unsigned numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/UString.h"
#include "rtl/Variant.h"

namespace vix {

class TData;
class TFieldDesc;
using TDataType = uint16_t;

enum TSortType : uint8_t { stCaseSensitive = 0, stCaseInsensitive = 1, stBinary = 2 };

// One sort column: the descriptor it sorts by, the direction and the text mode.
struct TSortColumn {
  TFieldDesc* FieldDesc = nullptr;
  bool DescendingOrder = false;
  TSortType SortType = stCaseSensitive;
};

// The sort columns in the order of the text, the first the most significant.
using TSortColumns = std::vector<TSortColumn>;

// Comparison flags.
constexpr int cfCaseInsensitive = 1;
constexpr int cfPartialKey = 2;      // record search: the field's text starts with the key's
constexpr int cfPartialCompare = 4;  // record search: the field's text contains the key's
constexpr int cfBinary = 8;

// The flags of a sort type: 0, cfCaseInsensitive or cfBinary.
int SortTypeFlags(TSortType type);

// The fixed-size number types as the comparison reads them: signed (the
// signed integers, BCD, boolean as 0 or 1), unsigned, or double.
enum TNumberKind : uint8_t { nkNone, nkInt, nkUInt, nkFloat };

union TNumber {
  int64_t I;
  uint64_t U;
  double F;
};

// nkNone for every type that is not such a number.
TNumberKind NumberKindOf(TDataType type);
// The number in the slot of a field of `type` (a number type).
TNumber LoadNumber(TDataType type, const uint8_t* slot);
// Numbers of one kind in order; doubles with NaN after every number.
int CompareNumbers(TNumberKind kind, TNumber a, TNumber b);

// A UTF-16 text in memory that may be unaligned (inside a record).
struct TWideText {
  const uint8_t* P = nullptr;
  size_t N = 0;  // code units
  char16_t At(size_t i) const {
    char16_t c;
    __builtin_memcpy(&c, P + 2 * i, 2);
    return c;
  }
  static TWideText Of(std::u16string_view s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }
};

// Text orders (see above); the sign of the result counts.
int CompareWideText(TWideText a, TWideText b, int flags);
int CompareBytes(std::string_view a, std::string_view b);
// Ordering of any two variants: NULL first; numbers, booleans and dates by
// value; texts by the text order; byte arrays by their bytes; a text against
// a number by value when the text reads as a number, else as texts; any
// other pair by the order of their kinds.
int CompareVariants(const Variant& a, const Variant& b, int flags);

// A field's value as the comparison reads it: fixed-size values in place,
// texts and bytes as views into the record or the string heap (or owned,
// when read from a blob or made from a constant). Not copyable: the views
// may point into the value itself.
class TFieldValue {
 public:
  TFieldValue() = default;
  TFieldValue(const TFieldValue&) = delete;
  TFieldValue& operator=(const TFieldValue&) = delete;

  bool Null = true;
  uint8_t Fixed[40] = {};  // fixed-size types: the slot's bytes
  std::string_view Bytes;  // 8-bit texts, byte strings, blob contents
  TWideText Wide;          // UTF-16 texts
  const Variant* Var = nullptr;
  // Storage for values that are not read in place.
  std::string OwnBytes;
  std::u16string OwnWide;
  Variant OwnVar;

  void SetOwnBytes(std::string bytes) {
    OwnBytes = std::move(bytes);
    Bytes = OwnBytes;
  }
  void SetOwnWide(std::u16string text) {
    OwnWide = std::move(text);
    Wide = TWideText::Of(OwnWide);
  }
  // The value as UTF-16 text (any type), for the pattern and partial matches.
  UString AsText(TDataType type) const;
};

}  // namespace vix
