// INI files written the way the Windows profile functions write them: the
// file and the section are created when missing, an existing key is replaced
// (section and key names match ignoring case), every other section, key,
// comment and blank line stays as it was.
//
// The file is in the process's "ANSI" code page (rtl/CodePage.h), the one
// Windows programs read profile files with; lines end in CR LF. Lines this
// object does not change are written back byte for byte, so a file in another
// ASCII-compatible encoding keeps its other lines intact. A text that the
// code page cannot hold is refused rather than written as '?'.
//
// Changes are kept in memory until UpdateFile, which replaces the file
// atomically: the new contents go to a temporary file beside it, which is
// synced and then renamed over the old one. A crash or a full disk leaves
// either the old file or the new one, never a mix. An object destroyed without
// UpdateFile writes nothing.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "rtl/SysUtils.h"
#include "rtl/UString.h"

namespace vix {

// Reading or writing the file failed: "Unable to write to <file name>".
class EIniFileException : public Exception {
 public:
  using Exception::Exception;
};

class TIniFile {
 public:
  // Files larger than this are refused rather than read.
  static constexpr size_t kMaxFileSize = 16u << 20;

  explicit TIniFile(UString FileName);

  const UString& FileName() const { return FFileName; }

  // Sets Ident in Section to Value in memory; the file is read on first use.
  // Names must be non-empty, without surrounding blanks, and no text may
  // hold a line break or NUL ("=" is not allowed in Ident, nor "[" as its
  // first character, "]" not in Section): such a text cannot be stored in
  // one INI line that reads back as written.
  void WriteString(const UString& Section, const UString& Ident, const UString& Value);
  // The value of Ident in Section (blanks around it removed), or Default.
  UString ReadString(const UString& Section, const UString& Ident, const UString& Default);
  // Writes the changes made since the last update to the file, atomically.
  // Nothing happens when there are none.
  void UpdateFile();

 private:
  enum class TLineKind { Other, Section, Key };
  struct TLine {
    std::string Text;  // the line's bytes, without its line end
    std::string Eol;   // "\r\n", "\n", or empty for a last line without one
    TLineKind Kind = TLineKind::Other;
    UString Name;   // the section or key name, trimmed
    UString Value;  // a key's value, trimmed
  };

  UString FFileName;
  std::vector<TLine> FLines;
  bool FLoaded = false;
  bool FModified = false;

  [[noreturn]] void Fail() const;
  void Load();
  static TLine ParseLine(std::string text, std::string eol, bool first);
  // Index of the section's header line, or npos.
  size_t FindSection(const UString& Section) const;
  // The line's text in the ANSI code page; a text the code page cannot hold fails.
  std::string Encode(const UString& text) const;
};

}  // namespace vix
