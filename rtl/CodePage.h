// 8-bit code pages. The process has one "ANSI" code page (949 by default) in
// which 8-bit texts travel unless a caller names another one.
#pragma once

#include <string>
#include <string_view>

#include "rtl/UString.h"

namespace vix {

#ifndef CP_UTF8  // <windows.h> has it as a macro of the same value
constexpr int CP_UTF8 = 65001;
#endif
constexpr int kDefaultAnsiCodePage = 949;

int GetAnsiCodePage();
// Raises EConvertError when the system cannot convert that code page.
void SetAnsiCodePage(int codePage);

// 0 stands for the process's ANSI code page. Bytes the code page cannot read
// become U+FFFD; characters it cannot hold become '?', as the system
// conversions do.
UString AnsiToUtf16(std::string_view bytes, int codePage = 0);
std::string Utf16ToAnsi(UStringView text, int codePage = 0);

// The first byte of a two-byte character in a double-byte code page
// (949, 936, 950, 932); always false for single-byte code pages and UTF-8.
bool IsDBCSLeadByte(unsigned char byte, int codePage = 0);
bool IsDoubleByteCodePage(int codePage = 0);

}  // namespace vix
