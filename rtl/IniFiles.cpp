#include "rtl/IniFiles.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <utility>

#include "rtl/CodePage.h"

namespace vix {

namespace {

constexpr char kEol[] = "\r\n";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool HasAny(UStringView text, UStringView characters) {
  return text.find_first_of(characters) != UStringView::npos;
}

#ifdef _WIN32

// Closes a handle when it goes.
struct THandle {
  HANDLE Handle;
  explicit THandle(HANDLE handle) : Handle(handle) {}
  THandle(const THandle&) = delete;
  THandle& operator=(const THandle&) = delete;
  ~THandle() { Close(); }
  bool Close() {
    if (Handle == INVALID_HANDLE_VALUE) return true;
    const bool ok = CloseHandle(Handle) != 0;
    Handle = INVALID_HANDLE_VALUE;
    return ok;
  }
};

std::wstring WidePath(const UString& fileName) {
  return std::wstring(fileName.begin(), fileName.end());
}

bool ReadContents(const UString& fileName, std::string& bytes) {
  THandle file(CreateFileW(WidePath(fileName).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.Handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.Handle, &size) || GetFileType(file.Handle) != FILE_TYPE_DISK) return false;
  if (size.QuadPart < 0 || static_cast<uint64_t>(size.QuadPart) > TIniFile::kMaxFileSize) return false;
  char buffer[8192];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(file.Handle, buffer, sizeof buffer, &n, nullptr)) return false;
    if (n == 0) break;
    if (bytes.size() + n > TIniFile::kMaxFileSize) return false;
    bytes.append(buffer, n);
  }
  return true;
}

bool ReplaceContents(const UString& fileName, const std::string& contents) {
  static std::atomic<unsigned> counter{0};
  std::wstring temporary;
  HANDLE handle = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && handle == INVALID_HANDLE_VALUE; ++attempt) {
    const std::string suffix = "." + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++) + ".tmp";
    temporary = WidePath(fileName) + std::wstring(suffix.begin(), suffix.end());
    handle = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (handle == INVALID_HANDLE_VALUE) return false;
  THandle file(handle);
  bool ok = true;
  for (size_t done = 0; ok && done < contents.size();) {
    DWORD n = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(contents.size() - done, 1u << 20));
    ok = ::WriteFile(file.Handle, contents.data() + done, chunk, &n, nullptr) && n > 0;
    done += n;
  }
  ok = ok && FlushFileBuffers(file.Handle);
  ok = file.Close() && ok;
  ok = ok &&
       MoveFileExW(temporary.c_str(), WidePath(fileName).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!ok) DeleteFileW(temporary.c_str());
  return ok;
}

#else

// Closes a descriptor when it goes.
struct TFd {
  int Fd = -1;
  explicit TFd(int fd) : Fd(fd) {}
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  ~TFd() { Close(); }
  bool Close() {
    if (Fd < 0) return true;
    const bool ok = ::close(Fd) == 0;
    Fd = -1;
    return ok;
  }
};

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The file's bytes; a file that is not there yet is an empty one. False for
// any other failure (which would lose the sections the file holds).
bool ReadContents(const UString& fileName, std::string& bytes) {
  const std::string path = Utf16ToUtf8(fileName);
  TFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.Fd < 0) {
    if (errno != ENOENT) return false;
  } else {
    struct stat st {};
    if (::fstat(file.Fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > TIniFile::kMaxFileSize) return false;
    char buffer[8192];
    for (;;) {
      const ssize_t n = ::read(file.Fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
      if (n == 0) break;
      if (bytes.size() + static_cast<size_t>(n) > TIniFile::kMaxFileSize) return false;
      bytes.append(buffer, static_cast<size_t>(n));
    }
  }
  return true;
}

// Replaces the file by `contents` atomically: a temporary file beside it,
// synced, renamed over it.
bool ReplaceContents(const UString& fileName, const std::string& contents) {
  const std::string path = Utf16ToUtf8(fileName);
  // The new file keeps the permissions of the one it replaces.
  struct stat old {};
  const bool replacing = ::stat(path.c_str(), &old) == 0;
  static std::atomic<unsigned> counter{0};
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temporary = path + "." + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".tmp";
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) return false;
  TFd file(fd);
  bool ok = WriteAll(file.Fd, contents);
  if (ok && replacing) ok = ::fchmod(file.Fd, old.st_mode & 07777) == 0;
  ok = ok && ::fsync(file.Fd) == 0;
  ok = file.Close() && ok;
  ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temporary.c_str());
    return false;
  }
  // The rename itself reaches the disk with the folder.
  TFd directory(::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.Fd >= 0) ::fsync(directory.Fd);
  return true;
}

#endif

}  // namespace

TIniFile::TIniFile(UString FileName) : FFileName(std::move(FileName)) {}

void TIniFile::Fail() const {
  throw EIniFileException(Format(u"Unable to write to %s", {FFileName}));
}

TIniFile::TLine TIniFile::ParseLine(std::string text, std::string eol, bool first) {
  TLine line;
  line.Text = std::move(text);
  line.Eol = std::move(eol);
  std::string_view bytes = line.Text;
  if (first && bytes.starts_with(kUtf8Bom)) bytes.remove_prefix(kUtf8Bom.size());
  const UString decoded = Trim(AnsiToUtf16(bytes));
  // A section header needs its "]"; "[k=1" is a key named "[k", as the
  // profile functions read it.
  const size_t close = decoded.find(u']');
  if (!decoded.empty() && decoded.front() == u'[' && close != UString::npos) {
    line.Kind = TLineKind::Section;
    line.Name = Trim(UStringView(decoded).substr(1, close - 1));
  } else if (const size_t equals = decoded.find(u'='); equals != UString::npos) {
    line.Kind = TLineKind::Key;
    line.Name = Trim(UStringView(decoded).substr(0, equals));
    line.Value = Trim(UStringView(decoded).substr(equals + 1));
  }
  return line;
}

void TIniFile::Load() {
  if (FLoaded) return;
  std::string bytes;
  if (!ReadContents(FFileName, bytes)) Fail();
  // A UTF-16 file would be garbled by byte-wise editing.
  if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) Fail();

  std::vector<TLine> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    const size_t lf = bytes.find('\n', start);
    if (lf == std::string::npos) {
      lines.push_back(ParseLine(bytes.substr(start), std::string(), lines.empty()));
      break;
    }
    const size_t end = lf > start && bytes[lf - 1] == '\r' ? lf - 1 : lf;
    lines.push_back(ParseLine(bytes.substr(start, end - start), bytes.substr(end, lf + 1 - end), lines.empty()));
    start = lf + 1;
  }
  FLines = std::move(lines);
  FLoaded = true;
}

size_t TIniFile::FindSection(const UString& Section) const {
  for (size_t i = 0; i < FLines.size(); ++i)
    if (FLines[i].Kind == TLineKind::Section && SameText(FLines[i].Name, Section)) return i;
  return std::string::npos;
}

std::string TIniFile::Encode(const UString& text) const {
  std::string bytes = Utf16ToAnsi(text);
  if (AnsiToUtf16(bytes) != text) Fail();
  return bytes;
}

void TIniFile::WriteString(const UString& Section, const UString& Ident, const UString& Value) {
  static constexpr char16_t kBreaks[] = {u'\r', u'\n', u'\0'};
  const UStringView breaks(kBreaks, 3);
  if (Section.empty() || Ident.empty() || Trim(Section) != Section || Trim(Ident) != Ident || HasAny(Section, breaks) ||
      HasAny(Ident, breaks) || HasAny(Value, breaks) || HasAny(Ident, u"=") || HasAny(Section, u"]") ||
      Ident.front() == u'[')
    Fail();
  Load();

  TLine entry = ParseLine(Encode(Ident + u"=" + Value), kEol, false);
  size_t header = FindSection(Section);
  if (header == std::string::npos) {
    if (!FLines.empty() && FLines.back().Eol.empty()) FLines.back().Eol = kEol;
    FLines.push_back(ParseLine(Encode(u"[" + Section + u"]"), kEol, FLines.empty()));
    FLines.push_back(std::move(entry));
    FModified = true;
    return;
  }
  // The section runs to the next header; a new key goes after its last
  // non-blank line, so that blank lines before the next section stay there.
  size_t insertAfter = header;
  for (size_t i = header + 1; i < FLines.size() && FLines[i].Kind != TLineKind::Section; ++i) {
    if (FLines[i].Kind == TLineKind::Key && SameText(FLines[i].Name, Ident)) {
      // The key keeps the name as the file spells it, as the profile functions do.
      entry = ParseLine(Encode(FLines[i].Name + u"=" + Value), FLines[i].Eol, false);
      FLines[i] = std::move(entry);
      FModified = true;
      return;
    }
    if (!Trim(AnsiToUtf16(FLines[i].Text)).empty()) insertAfter = i;
  }
  if (FLines[insertAfter].Eol.empty()) FLines[insertAfter].Eol = kEol;
  FLines.insert(FLines.begin() + static_cast<std::ptrdiff_t>(insertAfter + 1), std::move(entry));
  FModified = true;
}

UString TIniFile::ReadString(const UString& Section, const UString& Ident, const UString& Default) {
  Load();
  const size_t header = FindSection(Section);
  if (header == std::string::npos) return Default;
  for (size_t i = header + 1; i < FLines.size() && FLines[i].Kind != TLineKind::Section; ++i)
    if (FLines[i].Kind == TLineKind::Key && SameText(FLines[i].Name, Ident)) return FLines[i].Value;
  return Default;
}

void TIniFile::UpdateFile() {
  if (!FModified) return;
  std::string contents;
  for (const TLine& line : FLines) contents += line.Text + line.Eol;

  if (!ReplaceContents(FFileName, contents)) Fail();
  FModified = false;
}

}  // namespace vix
