// The runtime's exceptions and its small text helpers: integer conversion,
// Format, case handling that does not depend on the C locale.
#pragma once

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>
#include <type_traits>

#include "rtl/UString.h"

namespace vix {

// Root of every exception the library raises. The message is UTF-16; what()
// gives the same text in UTF-8.
class Exception : public std::exception {
 public:
  explicit Exception(UString message);
  const UString& Message() const noexcept { return FMessage; }
  void SetMessage(UString message);
  const char* what() const noexcept override { return FWhat.c_str(); }

 private:
  UString FMessage;
  std::string FWhat;
};

// A text that does not read as the value asked for.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// The silent abort: ends an operation that was already dealt with. It has no
// message and is never shown to the operator.
class EAbort : public Exception {
 public:
  EAbort() : Exception(UString()) {}
};

[[noreturn]] void Abort();

// --- integers -------------------------------------------------------------

UString IntToStr(int64_t value);
UString UIntToStr(uint64_t value);

// Reads the whole text as a signed 32-bit integer: an optional sign, then
// decimal digits, or hexadecimal digits after "$". Anything else, and values
// outside the 32-bit range, raise EConvertError
// "'<text>' is not a valid integer value".
int32_t StrToInt(UStringView text);
bool TryStrToInt(UStringView text, int32_t& value);
// The same rules for 64 bits.
int64_t StrToInt64(UStringView text);
bool TryStrToInt64(UStringView text, int64_t& value);
// The same rules for unsigned 64 bits; a minus sign is refused.
bool TryStrToUInt64(UStringView text, uint64_t& value);

// --- Format -----------------------------------------------------------------

// One argument of Format: an integer or a text.
class FormatArg {
 public:
  template <typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                                             !std::is_same_v<T, char16_t> && !std::is_same_v<T, char>,
                                         int> = 0>
  FormatArg(T value) : FIsText(false), FSigned(std::is_signed_v<T>), FInt(static_cast<uint64_t>(value)) {}
  FormatArg(UStringView text) : FIsText(true), FText(text) {}
  FormatArg(const UString& text) : FIsText(true), FText(text) {}
  FormatArg(const char16_t* text) : FIsText(true), FText(text) {}

  bool IsText() const { return FIsText; }
  bool IsSigned() const { return FSigned; }
  uint64_t Bits() const { return FInt; }
  UStringView Text() const { return FText; }

 private:
  bool FIsText;
  bool FSigned = false;
  uint64_t FInt = 0;
  UStringView FText;
};

// A small printf: "%s", "%d", "%u", "%x", "%X" and "%%", each with an optional
// "-" (left-justify), width and ".precision" (minimum digits for numbers,
// maximum characters for texts). A directive without a matching argument
// raises EConvertError "Format '<fmt>' invalid or incompatible with argument".
UString Format(UStringView fmt, std::initializer_list<FormatArg> args);

// --- case and blanks ----------------------------------------------------------

// Simple, locale-independent case mapping for Latin, Greek, Cyrillic and the
// full-width Latin letters; every other character is left as it is.
char16_t UpCaseChar(char16_t c);
char16_t LowCaseChar(char16_t c);
UString UpperCase(UStringView text);
UString LowerCase(UStringView text);
// A-Z and a-z only.
UString LowerCaseAscii(UStringView text);
std::string LowerCaseAscii(std::string_view text);
UString UpperCaseAscii(UStringView text);

// Case-insensitive comparison of names (parameters, fields, options...).
int CompareText(UStringView a, UStringView b);
bool SameText(UStringView a, UStringView b);

// Removes leading and trailing characters up to U+0020 (blanks and controls).
UString Trim(UStringView text);

// 1-based position of `sub` in `text`, 0 when absent.
size_t Pos(UStringView sub, UStringView text);

}  // namespace vix
