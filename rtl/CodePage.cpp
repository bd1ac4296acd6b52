#include "rtl/CodePage.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <map>

#include "rtl/SysUtils.h"

namespace vix {
namespace {

std::atomic<int> gAnsiCodePage{kDefaultAnsiCodePage};

int Resolve(int codePage) {
  return codePage == 0 ? gAnsiCodePage.load(std::memory_order_relaxed) : codePage;
}

#ifndef _WIN32
std::string IconvName(int codePage) {
  switch (codePage) {
    case CP_UTF8: return "UTF-8";
    case 20127: return "ASCII";
    case 28591: return "ISO-8859-1";
    default: return "CP" + std::to_string(codePage);
  }
}

const char* WideName() {
  return std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";
}

// One converter per thread, code page and direction, opened on first use.
class Converters {
 public:
  ~Converters() {
    for (auto& [key, cd] : FMap) iconv_close(cd);
  }
  iconv_t Get(int codePage, bool toWide) {
    const auto key = std::make_pair(codePage, toWide);
    if (auto it = FMap.find(key); it != FMap.end()) return it->second;
    const std::string name = IconvName(codePage);
    iconv_t cd = toWide ? iconv_open(WideName(), name.c_str()) : iconv_open(name.c_str(), WideName());
    if (cd == reinterpret_cast<iconv_t>(-1))
      throw EConvertError(u"Code page " + IntToStr(codePage) + u" is not supported");
    FMap.emplace(key, cd);
    return cd;
  }

 private:
  std::map<std::pair<int, bool>, iconv_t> FMap;
};

thread_local Converters tConverters;

void CheckCodePage(int codePage) {
  tConverters.Get(codePage, true);  // raises for a code page the system lacks
}

UString DecodeBytes(std::string_view bytes, int codePage) {
  UString out;
  iconv_t cd = tConverters.Get(codePage, true);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  out.resize(bytes.size());  // no code page yields more UTF-16 units than bytes
  char* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  char* dst = reinterpret_cast<char*>(out.data());
  size_t dstLeft = out.size() * sizeof(char16_t);
  while (inLeft > 0) {
    if (iconv(cd, &in, &inLeft, &dst, &dstLeft) != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {  // cannot happen by the bound above, but stay safe
      const size_t used = out.size() * sizeof(char16_t) - dstLeft;
      out.resize(out.size() * 2);
      dst = reinterpret_cast<char*>(out.data()) + used;
      dstLeft = out.size() * sizeof(char16_t) - used;
      continue;
    }
    // EILSEQ or EINVAL: a byte the code page cannot read (or a cut-off lead byte).
    if (dstLeft < sizeof(char16_t)) break;
    const char16_t bad = 0xFFFD;
    std::memcpy(dst, &bad, sizeof bad);
    dst += sizeof bad;
    dstLeft -= sizeof bad;
    // glibc may take the whole bad sequence already (CP949 A2E8): never step past the input.
    if (inLeft > 0) {
      ++in;
      --inLeft;
    }
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  out.resize(out.size() - dstLeft / sizeof(char16_t));
  return out;
}

std::string EncodeText(UStringView text, int codePage) {
  std::string out;
  iconv_t cd = tConverters.Get(codePage, false);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  out.resize(text.size() * 4 + 8);
  char* in = reinterpret_cast<char*>(const_cast<char16_t*>(text.data()));
  size_t inLeft = text.size() * sizeof(char16_t);
  char* dst = out.data();
  size_t dstLeft = out.size();
  while (inLeft > 0) {
    if (iconv(cd, &in, &inLeft, &dst, &dstLeft) != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      const size_t used = out.size() - dstLeft;
      out.resize(out.size() * 2);
      dst = out.data() + used;
      dstLeft = out.size() - used;
      continue;
    }
    // A character the code page lacks (or a lone surrogate): '?' in its place.
    if (dstLeft == 0) break;
    *dst++ = '?';
    --dstLeft;
    if (inLeft < sizeof(char16_t)) break;  // the converter took the bad character already
    char16_t c;
    std::memcpy(&c, in, sizeof c);
    size_t skip = sizeof(char16_t);
    if (c >= 0xD800 && c <= 0xDBFF && inLeft >= 2 * sizeof(char16_t)) {
      char16_t d;
      std::memcpy(&d, in + sizeof c, sizeof d);
      if (d >= 0xDC00 && d <= 0xDFFF) skip *= 2;
    }
    skip = std::min(skip, inLeft);
    in += skip;
    inLeft -= skip;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  out.resize(out.size() - dstLeft);
  return out;
}
#else

// The system's conversions. Bytes the code page cannot read become U+FFFD one
// byte at a time, as the iconv side does; characters it cannot hold become '?'
// (no best-fit look-alikes).
void CheckCodePage(int codePage) {
  if (codePage != CP_UTF8 && !IsValidCodePage(static_cast<UINT>(codePage)))
    throw EConvertError(u"Code page " + IntToStr(codePage) + u" is not supported");
}

// The UTF-16 of `bytes`, or false when the code page cannot read all of them.
bool DecodeStrict(std::string_view bytes, int codePage, UString& out) {
  const int size = static_cast<int>(bytes.size());
  out.resize(bytes.size());  // no code page yields more UTF-16 units than bytes
  const int n = MultiByteToWideChar(static_cast<UINT>(codePage), MB_ERR_INVALID_CHARS, bytes.data(), size,
                                    reinterpret_cast<wchar_t*>(out.data()), size);
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return n > 0;
}

UString DecodeBytes(std::string_view bytes, int codePage) {
  UString out;
  if (DecodeStrict(bytes, codePage, out)) return out;
  if (!IsDoubleByteCodePage(codePage)) {  // no way to find the bad byte: the system's own replacement
    out.resize(bytes.size());
    const int n = MultiByteToWideChar(static_cast<UINT>(codePage), 0, bytes.data(), static_cast<int>(bytes.size()),
                                      reinterpret_cast<wchar_t*>(out.data()), static_cast<int>(out.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
  }
  // Character by character: a lead byte with its trail byte, or one byte.
  out.clear();
  UString one;
  size_t i = 0;
  while (i < bytes.size()) {
    const bool lead = IsDBCSLeadByte(static_cast<unsigned char>(bytes[i]), codePage) && i + 1 < bytes.size();
    const size_t width = lead ? 2 : 1;
    if (DecodeStrict(bytes.substr(i, width), codePage, one)) {
      out += one;
      i += width;
    } else {
      out += u'\xFFFD';
      ++i;
    }
  }
  return out;
}

// One run of text through WideCharToMultiByte; `usedDefault` tells whether
// a character became '?' (not asked of code pages that take no flags).
std::string EncodeRun(UStringView text, int codePage, bool* usedDefault) {
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int size = static_cast<int>(text.size());
  DWORD flags = WC_NO_BEST_FIT_CHARS;
  BOOL defaulted = FALSE;
  int n = WideCharToMultiByte(static_cast<UINT>(codePage), flags, wide, size, nullptr, 0, "?", nullptr);
  if (n == 0 && GetLastError() == ERROR_INVALID_FLAGS) {  // code pages that take no flags
    flags = 0;
    n = WideCharToMultiByte(static_cast<UINT>(codePage), flags, wide, size, nullptr, 0, nullptr, nullptr);
  }
  std::string out(static_cast<size_t>(std::max(n, 0)), '\0');
  if (n > 0)
    n = WideCharToMultiByte(static_cast<UINT>(codePage), flags, wide, size, out.data(), n, flags ? "?" : nullptr,
                            flags ? &defaulted : nullptr);
  out.resize(static_cast<size_t>(std::max(n, 0)));
  if (usedDefault) *usedDefault = flags ? defaulted != FALSE : out == "??";
  return out;
}

// The system writes one '?' per UTF-16 unit; a character beyond the BMP
// that the code page lacks is one '?' here, as on the iconv side.
std::string EncodeText(UStringView text, int codePage) {
  std::string out;
  size_t start = 0;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] < 0xD800 || text[i] > 0xDBFF || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) continue;
    out += EncodeRun(text.substr(start, i - start), codePage, nullptr);
    bool usedDefault = false;
    const std::string pair = EncodeRun(text.substr(i, 2), codePage, &usedDefault);
    out += usedDefault ? std::string("?") : pair;
    start = ++i + 1;
  }
  if (start < text.size()) out += EncodeRun(text.substr(start), codePage, nullptr);
  return out;
}

#endif

}  // namespace

int GetAnsiCodePage() {
  return gAnsiCodePage.load(std::memory_order_relaxed);
}

void SetAnsiCodePage(int codePage) {
  if (codePage <= 0) throw EConvertError(u"Code page " + IntToStr(codePage) + u" is not supported");
  CheckCodePage(codePage);
  gAnsiCodePage.store(codePage, std::memory_order_relaxed);
}

UString AnsiToUtf16(std::string_view bytes, int codePage) {
  codePage = Resolve(codePage);
  if (bytes.empty()) return UString();
  bool ascii = true;
  for (char c : bytes) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) return UString(bytes.begin(), bytes.end());
  if (codePage == CP_UTF8) return Utf8ToUtf16Lenient(bytes);
  return DecodeBytes(bytes, codePage);
}

std::string Utf16ToAnsi(UStringView text, int codePage) {
  codePage = Resolve(codePage);
  if (text.empty()) return std::string();
  bool ascii = true;
  for (char16_t c : text) ascii = ascii && c < 0x80;
  if (ascii) return std::string(text.begin(), text.end());
  if (codePage == CP_UTF8) return Utf16ToUtf8Lenient(text);
  return EncodeText(text, codePage);
}

bool IsDBCSLeadByte(unsigned char byte, int codePage) {
  switch (Resolve(codePage)) {
    case 949:
    case 936:
    case 950: return byte >= 0x81 && byte <= 0xFE;
    case 932: return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
    default: return false;
  }
}

bool IsDoubleByteCodePage(int codePage) {
  const int cp = Resolve(codePage);
  return cp == 949 || cp == 936 || cp == 950 || cp == 932;
}

}  // namespace vix
