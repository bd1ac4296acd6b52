// Texts of the library: UTF-16 inside, UTF-8 or an 8-bit code page at the edges.
#pragma once

#include <string>
#include <string_view>

namespace vix {

// Every text inside the program is UTF-16.
using UString = std::u16string;
using UStringView = std::u16string_view;

// Strict conversions raise EConvertError on malformed input; lenient ones put
// U+FFFD in place of every malformed sequence (or lone surrogate) and never fail.
UString Utf8ToUtf16(std::string_view utf8);
UString Utf8ToUtf16Lenient(std::string_view utf8);
std::string Utf16ToUtf8(UStringView text);
std::string Utf16ToUtf8Lenient(UStringView text);

// Byte-preserving conversions for texts that are mostly UTF-8 but may hold
// raw bytes (a dump's binary values): every byte that is not part of a valid
// UTF-8 sequence becomes the lone surrogate U+DC00 + byte, and
// Utf16ToUtf8KeepBytes turns U+DC80..U+DCFF back into that byte, so the round
// trip gives the bytes back unchanged. Any other unpaired surrogate raises.
UString Utf8ToUtf16KeepBytes(std::string_view bytes);
std::string Utf16ToUtf8KeepBytes(UStringView text);
// Utf16ToUtf8KeepBytes appended to `out`.
void AppendUtf16AsUtf8KeepBytes(std::string& out, UStringView text);

// Decodes UTF-8 straight into `out`, room for `capacity` UTF-16 units in
// native byte order (no alignment needed), without allocating. Stops where the
// room ends, never between the two halves of a surrogate pair; returns the
// number of units written. Malformed input raises (strict) or becomes U+FFFD.
size_t Utf8ToUtf16Into(std::string_view utf8, void* out, size_t capacity, bool strict);

// Shorthand for test and diagnostic code: lenient both ways.
inline UString U(std::string_view utf8) {
  return Utf8ToUtf16Lenient(utf8);
}
inline std::string ToUtf8(UStringView text) {
  return Utf16ToUtf8Lenient(text);
}

}  // namespace vix
