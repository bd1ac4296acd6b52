// Blobs of the record storage: shared objects holding their bytes in pieces,
// optionally zlib-compressed.
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "Common/MemData.h"
#include "rtl/CodePage.h"

namespace vix {

namespace {

uint8_t* PieceData(TPieceHeader* piece) {
  return reinterpret_cast<uint8_t*>(piece + 1);
}
const uint8_t* PieceData(const TPieceHeader* piece) {
  return reinterpret_cast<const uint8_t*>(piece + 1);
}

TPieceHeader* NewPiece(uint32_t size, TBlob* owner) {
  auto* piece = static_cast<TPieceHeader*>(std::malloc(sizeof(TPieceHeader) + size));
  if (!piece) throw std::bad_alloc();
  piece->Blob = owner;
  piece->Size = size;
  piece->Used = 0;
  piece->Prev = piece->Next = nullptr;
  piece->Test = 0;
  return piece;
}

}  // namespace

// --- TZelBlobData ---------------------------------------------------------------

size_t TZelBlobData::Size() const {
  size_t n = 0;
  for (const TPieceHeader* p = FFirstPiece; p; p = p->Next) n += p->Used;
  return n;
}

void TZelBlobData::Clear() {
  while (FFirstPiece) {
    TPieceHeader* next = FFirstPiece->Next;
    std::free(FFirstPiece);
    FFirstPiece = next;
  }
}

size_t TZelBlobData::Read(size_t position, size_t count, void* dest) const {
  auto* out = static_cast<uint8_t*>(dest);
  size_t done = 0;
  for (const TPieceHeader* p = FFirstPiece; p && done < count; p = p->Next) {
    if (position >= p->Used) {
      position -= p->Used;
      continue;
    }
    const size_t n = std::min<size_t>(p->Used - position, count - done);
    std::memcpy(out + done, PieceData(p) + position, n);
    done += n;
    position = 0;
  }
  return done;
}

void TZelBlobData::Write(size_t position, const void* source, size_t count, TBlob* owner) {
  if (position > Size()) throw Exception(u"Blob write beyond its end");
  const auto* in = static_cast<const uint8_t*>(source);
  TPieceHeader* last = nullptr;
  // Overwrite what is there.
  for (TPieceHeader* p = FFirstPiece; p; p = p->Next) {
    last = p;
    if (count == 0) return;
    if (position >= p->Used) {
      position -= p->Used;
      continue;
    }
    const size_t n = std::min<size_t>(p->Used - position, count);
    std::memcpy(PieceData(p) + position, in, n);
    in += n;
    count -= n;
    position = 0;
  }
  // Fill the room of the last piece, then append pieces.
  while (count > 0) {
    if (last && last->Used < last->Size) {
      const size_t n = std::min<size_t>(last->Size - last->Used, count);
      std::memcpy(PieceData(last) + last->Used, in, n);
      last->Used += static_cast<uint32_t>(n);
      in += n;
      count -= n;
      continue;
    }
    const auto size = static_cast<uint32_t>(std::min<size_t>(count, FPieceSize));
    TPieceHeader* piece = NewPiece(size, owner);
    piece->Prev = last;
    if (last) last->Next = piece;
    else FFirstPiece = piece;
    last = piece;
  }
}

void TZelBlobData::Truncate(size_t size) {
  // The last piece that keeps data, cut to what it keeps.
  TPieceHeader* keep = nullptr;
  for (TPieceHeader* p = FFirstPiece; p && size > 0; p = p->Next) {
    keep = p;
    if (size <= p->Used) {
      p->Used = static_cast<uint32_t>(size);
      break;
    }
    size -= p->Used;
  }
  TPieceHeader* drop = keep ? keep->Next : FFirstPiece;
  if (keep) keep->Next = nullptr;
  else FFirstPiece = nullptr;
  while (drop) {
    TPieceHeader* next = drop->Next;
    std::free(drop);
    drop = next;
  }
}

std::string TZelBlobData::ReadAll() const {
  std::string bytes(Size(), '\0');
  Read(0, bytes.size(), bytes.data());
  return bytes;
}

void TZelBlobData::Assign(const TZelBlobData& other, TBlob* owner) {
  Clear();
  const std::string bytes = other.ReadAll();
  FPieceSize = other.FPieceSize;
  Write(0, bytes.data(), bytes.size(), owner);
}

// --- TBlob --------------------------------------------------------------------------

TBlob::TBlob(bool isUnicode) : FIsUnicode(isUnicode) {}

TBlob::~TBlob() {
  FData.Clear();
  if (FRollback) FRollback->Clear();
}

void TBlob::SetIsUnicode(bool value) {
  if (value == FIsUnicode) return;
  if (Size() > 0) throw Exception(u"Cannot change IsUnicode if Size > 0");
  FIsUnicode = value;
}

void TBlob::SetPieceSize(uint32_t size) {
  FData.FPieceSize = size == 0 ? 1 : size;
}

size_t TBlob::Size() {
  return FData.Size();
}

size_t TBlob::Read(size_t position, size_t count, void* dest) {
  return FData.Read(position, count, dest);
}

bool TBlob::SaveRollback() {
  if (!FNeedRollback || FRollback) return false;
  FRollback = std::make_unique<TZelBlobData>();
  FRollback->Assign(FData, this);
  return true;
}

void TBlob::Write(size_t position, const void* source, size_t count) {
  SaveRollback();
  FData.Write(position, source, count, this);
}

void TBlob::Truncate(size_t size) {
  SaveRollback();
  FData.Truncate(size);
}

void TBlob::Commit() {
  if (FRollback) FRollback->Clear();
  FRollback.reset();
  FNeedRollback = false;
}

void TBlob::Cancel() {
  if (FRollback) {
    FData.Clear();
    FData.FFirstPiece = FRollback->FFirstPiece;
    FRollback->FFirstPiece = nullptr;
    FRollback.reset();
  }
  FNeedRollback = false;
}

int TBlob::PieceCount() const {
  int n = 0;
  for (const TPieceHeader* p = FData.FFirstPiece; p; p = p->Next) ++n;
  return n;
}

std::string TBlob::AsBytes() {
  std::string bytes(Size(), '\0');
  bytes.resize(Read(0, bytes.size(), bytes.data()));
  return bytes;
}

void TBlob::SetAsBytes(std::string_view bytes) {
  Truncate(0);
  Write(0, bytes.data(), bytes.size());
}

UString TBlob::AsString() {
  const std::string bytes = AsBytes();
  if (!FIsUnicode) return AnsiToUtf16(bytes);
  UString text(bytes.size() / 2, u'\0');
  std::memcpy(text.data(), bytes.data(), text.size() * 2);
  return text;
}

void TBlob::SetAsString(UStringView text) {
  if (!FIsUnicode) {
    SetAsAnsiString(Utf16ToAnsi(text));
    return;
  }
  Truncate(0);
  Write(0, text.data(), text.size() * 2);
}

std::string TBlob::AsAnsiString() {
  if (FIsUnicode) return Utf16ToAnsi(AsString());
  return AsBytes();
}

void TBlob::SetAsAnsiString(std::string_view text) {
  if (FIsUnicode) {
    SetAsString(AnsiToUtf16(text));
    return;
  }
  SetAsBytes(text);
}

// --- TCompressedBlob ---------------------------------------------------------------

namespace {

constexpr char kSignature[4] = {'V', 'X', 'Z', '1'};

[[noreturn]] void InvalidCompressed() {
  throw Exception(u"Invalid compressed blob data");
}

std::string Compress(const std::string& raw) {
  uLongf bound = compressBound(static_cast<uLong>(raw.size()));
  std::string out(TCompressedBlob::kHeaderSize + bound, '\0');
  std::memcpy(out.data(), kSignature, 4);
  const auto size = static_cast<uint32_t>(raw.size());
  for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<char>((size >> (8 * i)) & 0xFF);
  if (compress2(reinterpret_cast<Bytef*>(out.data() + TCompressedBlob::kHeaderSize), &bound,
                reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size()),
                Z_DEFAULT_COMPRESSION) != Z_OK)
    throw Exception(u"Blob compression failed");
  out.resize(TCompressedBlob::kHeaderSize + bound);
  return out;
}

bool HasSignature(std::string_view stored) {
  return stored.size() >= TCompressedBlob::kHeaderSize && std::memcmp(stored.data(), kSignature, 4) == 0;
}

uint32_t RecordedSize(std::string_view stored) {
  uint32_t size = 0;
  for (int i = 0; i < 4; ++i) size |= static_cast<uint32_t>(static_cast<uint8_t>(stored[4 + i])) << (8 * i);
  return size;
}

std::string Expand(std::string_view stored) {
  if (!HasSignature(stored)) InvalidCompressed();
  const uint32_t size = RecordedSize(stored);
  const size_t packed = stored.size() - TCompressedBlob::kHeaderSize;
  // zlib cannot expand by more than about 1032:1; a larger claim is corrupt.
  if (size / 1032 > packed + 1) InvalidCompressed();
  std::string raw(size, '\0');
  uLongf length = size;
  const int rc = uncompress(reinterpret_cast<Bytef*>(raw.data()), &length,
                            reinterpret_cast<const Bytef*>(stored.data() + TCompressedBlob::kHeaderSize),
                            static_cast<uLong>(packed));
  if (rc != Z_OK || length != size) InvalidCompressed();
  return raw;
}

}  // namespace

bool TCompressedBlob::SaveRollback() {
  const bool compressed = FCompressed;
  if (!TBlob::SaveRollback()) return false;
  FRollbackCompressed = compressed;
  return true;
}

void TCompressedBlob::Cancel() {
  if (HasRollback()) FCompressed = FRollbackCompressed;
  TBlob::Cancel();
}

void TCompressedBlob::SetCompressed(bool value) {
  if (value == FCompressed) return;
  if (value) {
    const std::string raw = FData.ReadAll();
    if (raw.empty()) return;
    const std::string packed = Compress(raw);
    if (packed.size() >= raw.size()) return;  // not worth it
    SaveRollback();
    FData.Clear();
    FData.Write(0, packed.data(), packed.size(), this);
    FCompressed = true;
  } else {
    const std::string raw = Expand(FData.ReadAll());
    FData.Clear();
    FData.Write(0, raw.data(), raw.size(), this);
    FCompressed = false;
  }
}

void TCompressedBlob::SetStoredBytes(std::string_view bytes) {
  const bool compressed = HasSignature(bytes);
  if (compressed) Expand(bytes);  // a corrupt form is refused before anything changes
  SaveRollback();
  FData.Clear();
  FData.Write(0, bytes.data(), bytes.size(), this);
  FCompressed = compressed;
}

size_t TCompressedBlob::Size() {
  if (!FCompressed) return FData.Size();
  std::string head(kHeaderSize, '\0');
  FData.Read(0, kHeaderSize, head.data());
  return RecordedSize(head);
}

size_t TCompressedBlob::Read(size_t position, size_t count, void* dest) {
  if (!FCompressed) return FData.Read(position, count, dest);
  const std::string raw = Expand(FData.ReadAll());
  if (position >= raw.size()) return 0;
  const size_t n = std::min(count, raw.size() - position);
  std::memcpy(dest, raw.data() + position, n);
  return n;
}

void TCompressedBlob::Write(size_t position, const void* source, size_t count) {
  SetCompressed(false);
  TBlob::Write(position, source, count);
}

void TCompressedBlob::Truncate(size_t size) {
  if (FCompressed && size == 0) {
    SaveRollback();
    FData.Clear();
    FCompressed = false;
    return;
  }
  SetCompressed(false);
  TBlob::Truncate(size);
}

}  // namespace vix
