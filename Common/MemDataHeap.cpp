// The string heap and the block manager of the record storage.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "Common/MemData.h"

namespace vix {

namespace {

// Buffer layout: [size word, 32-bit][use word, 16-bit][data...]; the pointer
// handed out is the data. A size word above kMaxSmallSize marks a buffer from
// system memory.
constexpr uint16_t kUseFree = 100;
constexpr uint16_t kUseOne = 101;

uint32_t SizeWord(const void* data) {
  uint32_t v;
  std::memcpy(&v, static_cast<const char*>(data) - 6, 4);
  return v;
}
void SetSizeWord(void* data, uint32_t v) {
  std::memcpy(static_cast<char*>(data) - 6, &v, 4);
}
uint16_t UseWord(const void* data) {
  uint16_t v;
  std::memcpy(&v, static_cast<const char*>(data) - 2, 2);
  return v;
}
void SetUseWord(void* data, uint16_t v) {
  std::memcpy(static_cast<char*>(data) - 2, &v, 2);
}
char* NextFree(const char* data) {
  char* next;
  std::memcpy(&next, data, sizeof next);
  return next;
}
void SetNextFree(char* data, char* next) {
  std::memcpy(data, &next, sizeof next);
}

class HeapLock {
 public:
  HeapLock(std::mutex& m, bool active) : FMutex(active ? &m : nullptr) {
    if (FMutex) FMutex->lock();
  }
  ~HeapLock() {
    if (FMutex) FMutex->unlock();
  }

 private:
  std::mutex* FMutex;
};

}  // namespace

TStringHeap::~TStringHeap() {
  Clear();
  for (char* raw : FSysBufs) std::free(raw);
}

size_t TStringHeap::BlockCount() const {
  size_t n = 0;
  for (const char* b = FBlocks; b; b = NextFree(b)) ++n;
  return n;
}

void TStringHeap::StartBlock() {
  char* block = static_cast<char*>(std::malloc(sizeof(char*) + kBlockSize));
  if (!block) throw std::bad_alloc();
  SetNextFree(block, FBlocks);
  FBlocks = block;
  FCurrent = block + sizeof(char*);
  FFree = kBlockSize;
}

void TStringHeap::PushFree(char* start, size_t cls) {
  char* data = start + kWords;
  SetSizeWord(data, static_cast<uint32_t>(cls * 8));
  SetUseWord(data, kUseFree);
  SetNextFree(data, FFreeLists[cls]);
  FFreeLists[cls] = data;
}

char* TStringHeap::NewBuf(size_t size) {
  HeapLock lock(FLock, FThreadSafety);
  return NewBufLocked(size);
}

char* TStringHeap::NewBufLocked(size_t size) {
  FEmpty = false;
  if (size > kMaxSmallSize) {
    char* raw = static_cast<char*>(std::malloc(size + kWords));
    if (!raw) throw std::bad_alloc();
    char* data = raw + kWords;
    SetSizeWord(data, static_cast<uint32_t>(size));
    SetUseWord(data, kUseOne);
    FSysGetMem = true;
    try {
      FSysBufs.insert(raw);
    } catch (...) {
      std::free(raw);
      throw;
    }
    return data;
  }
  size_t cls = (size + 7) / 8;
  if (cls == 0) cls = 1;
  if (char* data = FFreeLists[cls]) {
    FFreeLists[cls] = NextFree(data);
    SetUseWord(data, kUseOne);
    return data;
  }
  const size_t need = cls * 8 + kWords;
  if (!FBlocks || FFree < need) {
    // The tail of the current block becomes a free buffer of its own class.
    if (FBlocks && FFree >= kWords + 8) PushFree(FCurrent, (FFree - kWords) / 8);
    StartBlock();
  }
  char* data = FCurrent + kWords;
  size_t capacity = cls * 8;
  FCurrent += need;
  FFree -= need;
  if (FFree < kWords + 8 && capacity + FFree <= kMaxSmallSize) {
    // Too little is left for another buffer: this one takes it.
    capacity += FFree;
    FCurrent += FFree;
    FFree = 0;
  }
  SetSizeWord(data, static_cast<uint32_t>(capacity));
  SetUseWord(data, kUseOne);
  return data;
}

void TStringHeap::DisposeBuf(void* buf) {
  HeapLock lock(FLock, FThreadSafety);
  DisposeBufLocked(buf);
}

void TStringHeap::DisposeBufLocked(void* buf) {
  char* data = static_cast<char*>(buf);
  const uint16_t use = UseWord(data);
  if (use <= kUseFree) throw Exception(u"DisposeBuf failed");
  if (use > kUseOne) {
    SetUseWord(data, static_cast<uint16_t>(use - 1));
    return;
  }
  const uint32_t size = SizeWord(data);
  if (size > kMaxSmallSize) {
    SetUseWord(data, kUseFree);
    FSysBufs.erase(data - kWords);
    std::free(data - kWords);
    return;
  }
  const size_t cls = size / 8;
  if (cls < 1 || cls > kSizeClasses) throw Exception(u"SmallTab in DisposeBuf failed");
  SetUseWord(data, kUseFree);
  SetNextFree(data, FFreeLists[cls]);
  FFreeLists[cls] = data;
}

void TStringHeap::AddRef(void* buf) {
  HeapLock lock(FLock, FThreadSafety);
  const uint16_t use = UseWord(buf);
  if (use <= kUseFree || use == UINT16_MAX) throw Exception(u"AddRefStr failed");
  SetUseWord(buf, static_cast<uint16_t>(use + 1));
}

int TStringHeap::UseCount(const void* buf) const {
  const uint16_t use = UseWord(buf);
  return use <= kUseFree ? 0 : use - kUseFree;
}

char* TStringHeap::AllocStr(std::string_view text, bool trim) {
  if (trim) {
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  }
  char* buf = NewBuf(text.size() + 1);
  std::memcpy(buf, text.data(), text.size());
  buf[text.size()] = 0;
  return buf;
}

char16_t* TStringHeap::AllocWideStr(UStringView text, bool trim) {
  if (trim) {
    while (!text.empty() && text.back() == u' ') text.remove_suffix(1);
  }
  char* buf = NewBuf((text.size() + 1) * 2);
  std::memcpy(buf, text.data(), text.size() * 2);
  std::memset(buf + text.size() * 2, 0, 2);
  return reinterpret_cast<char16_t*>(buf);
}

void TStringHeap::Clear() {
  HeapLock lock(FLock, FThreadSafety);
  while (FBlocks) {
    char* next = NextFree(FBlocks);
    std::free(FBlocks);
    FBlocks = next;
  }
  for (auto& list : FFreeLists) list = nullptr;
  FCurrent = nullptr;
  FFree = 0;
  FEmpty = true;
  FSysGetMem = !FSysBufs.empty();
}

// --- blocks and items ---------------------------------------------------------

namespace {

constexpr size_t kMaxCarvedBlock = 64 * 1024;
constexpr size_t kFirstPiece = 64 * 1024;
constexpr size_t kHugePage = 2 * 1024 * 1024;
constexpr size_t kLargestPiece = 2 * kHugePage;
// A carved block is preceded by its size.
constexpr size_t kCarvedPrefix = 16;

// Zero-filled memory for a piece; a piece of whole huge pages is aligned to
// them and asks for them.
uint8_t* MapPiece(size_t size) {
#if defined(__linux__)
  const bool huge = size % kHugePage == 0;
  const size_t mapped = huge ? size + kHugePage : size;
  void* p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  auto* begin = static_cast<uint8_t*>(p);
  if (huge) {
    // Only the aligned middle is kept.
    const size_t lead = (kHugePage - reinterpret_cast<uintptr_t>(begin) % kHugePage) % kHugePage;
    if (lead) munmap(begin, lead);
    if (kHugePage - lead) munmap(begin + lead + size, kHugePage - lead);
    begin += lead;
    madvise(begin, size, MADV_HUGEPAGE);
  }
  return begin;
#else
  auto* p = static_cast<uint8_t*>(std::calloc(1, size));
  if (!p) throw std::bad_alloc();
  return p;
#endif
}

void UnmapPiece(uint8_t* begin, size_t size) {
#if defined(__linux__)
  munmap(begin, size);
#else
  (void)size;
  std::free(begin);
#endif
}

}  // namespace

void* TBlockManager::CarveBlock(size_t bytes) {
  const size_t total = (kCarvedPrefix + bytes + 15) / 16 * 16;
  for (auto& [size, spares] : FSpareBlocks)
    if (size == total && !spares.empty()) {
      void* block = spares.back();
      spares.pop_back();
      std::memset(block, 0, bytes);
      return block;
    }
  if (FCarveLeft < total) {
    // Each piece twice the largest so far, up to kLargestPiece.
    size_t size = kFirstPiece;
    for (const TPiece& piece : FPieces) size = std::max(size, std::min(piece.Size * 2, kLargestPiece));
    FPieces.reserve(FPieces.size() + 1);
    uint8_t* begin = MapPiece(size);
    const TPiece piece{begin, size};
    FPieces.insert(std::upper_bound(FPieces.begin(), FPieces.end(), piece,
                                    [](const TPiece& a, const TPiece& b) { return a.Begin < b.Begin; }),
                   piece);
    FCarve = begin;
    FCarveLeft = size;
  }
  uint8_t* start = FCarve;
  FCarve += total;
  FCarveLeft -= total;
  std::memcpy(start, &total, sizeof total);
  return start + kCarvedPrefix;
}

bool TBlockManager::IsCarved(const TBlockHeader* block) const {
  const auto* p = reinterpret_cast<const uint8_t*>(block);
  auto it = std::upper_bound(FPieces.begin(), FPieces.end(), p,
                             [](const uint8_t* q, const TPiece& piece) { return q < piece.Begin; });
  if (it == FPieces.begin()) return false;
  --it;
  return p < it->Begin + it->Size;
}

TBlockHeader* TBlockManager::AllocBlock(int itemCount) {
  if (itemCount < 1 || itemCount > UINT16_MAX || RecordSize <= 0) throw Exception(u"AllocBlock: invalid block");
  const size_t bytes = sizeof(TBlockHeader) + static_cast<size_t>(itemCount) * ItemSize();
  auto* block = static_cast<TBlockHeader*>(bytes <= kMaxCarvedBlock ? CarveBlock(bytes) : std::calloc(1, bytes));
  if (!block) throw std::bad_alloc();
  ++FBlockAllocations;
  block->ItemCount = static_cast<uint16_t>(itemCount);
  block->UsedItems = static_cast<uint16_t>(itemCount);
  block->Prev = nullptr;
  block->Next = FirstBlock;
  if (FirstBlock) FirstBlock->Prev = block;
  FirstBlock = block;
  for (int i = 0; i < itemCount; ++i) ItemOf(block, i)->Block = block;
  return block;
}

void TBlockManager::FreeBlock(TBlockHeader* block) {
  if (block->Prev) block->Prev->Next = block->Next;
  else FirstBlock = block->Next;
  if (block->Next) block->Next->Prev = block->Prev;
  if (!IsCarved(block)) {
    std::free(block);
    return;
  }
  size_t total;
  std::memcpy(&total, reinterpret_cast<uint8_t*>(block) - kCarvedPrefix, sizeof total);
  auto spares = std::find_if(FSpareBlocks.begin(), FSpareBlocks.end(), [&](const auto& s) { return s.first == total; });
  if (spares == FSpareBlocks.end()) spares = FSpareBlocks.insert(FSpareBlocks.end(), {total, {}});
  spares->second.push_back(block);
}

void TBlockManager::FreeAllBlock() {
  while (FirstBlock) {
    TBlockHeader* next = FirstBlock->Next;
    if (!IsCarved(FirstBlock)) std::free(FirstBlock);
    FirstBlock = next;
  }
  FirstFree = nullptr;
  for (const TPiece& piece : FPieces) UnmapPiece(piece.Begin, piece.Size);
  FPieces.clear();
  FSpareBlocks.clear();
  FCarve = nullptr;
  FCarveLeft = 0;
}

size_t TBlockManager::BlockCount() const {
  size_t n = 0;
  for (const TBlockHeader* b = FirstBlock; b; b = b->Next) ++n;
  return n;
}

TItemHeader* TBlockManager::ItemOf(TBlockHeader* block, int index) const {
  uint8_t* base = reinterpret_cast<uint8_t*>(block + 1);
  return reinterpret_cast<TItemHeader*>(base + static_cast<size_t>(index) * ItemSize());
}

void TBlockManager::AddToFreeList(TItemHeader* item) {
  item->Flag = kItemFree;
  item->UpdateResult = urNone;
  item->Prev = nullptr;
  item->Next = FirstFree;
  if (FirstFree) FirstFree->Prev = item;
  FirstFree = item;
  --item->Block->UsedItems;
}

void TBlockManager::AddFreeBlock() {
  TBlockHeader* block = AllocBlock(DefaultItemCount);
  for (int i = DefaultItemCount - 1; i >= 0; --i) AddToFreeList(ItemOf(block, i));
}

void TBlockManager::Unfree(TItemHeader* item) {
  if (item->Prev) item->Prev->Next = item->Next;
  else FirstFree = item->Next;
  if (item->Next) item->Next->Prev = item->Prev;
}

void TBlockManager::InitItem(TItemHeader* item) {
  item->Rollback = nullptr;
  item->Status = isUnmodified;
  item->UpdateResult = urNone;
}

TItemHeader* TBlockManager::AllocItem() {
  if (!FirstFree) AddFreeBlock();
  TItemHeader* item = FirstFree;
  if (item->Flag != kItemFree) throw Exception(u"AllocItem: item is not free");
  Unfree(item);
  item->Flag = kItemInUse;
  item->Prev = item->Next = nullptr;
  InitItem(item);
  item->Order = 0;
  item->FilterResult = fsNotChecked;
  ++item->Block->UsedItems;
  std::memset(GetRecordPtr(item), 0, static_cast<size_t>(RecordSize));
  return item;
}

void TBlockManager::FreeItem(TItemHeader* item) {
  if (item->Flag != kItemInUse) throw Exception(u"FreeItem: item is not in use");
  TBlockHeader* block = item->Block;
  if (block->UsedItems == 1) {
    // The last used item: the block's free items leave the free list and
    // the block goes.
    for (int i = 0; i < block->ItemCount; ++i) {
      TItemHeader* other = ItemOf(block, i);
      if (other != item && other->Flag == kItemFree) Unfree(other);
    }
    FreeBlock(block);
    return;
  }
  AddToFreeList(item);
}

void TBlockManager::PutRecord(const uint8_t* recBuf, TItemHeader* item) const {
  std::memcpy(GetRecordPtr(item), recBuf, static_cast<size_t>(RecordSize));
}

void TBlockManager::GetRecord(TItemHeader* item, uint8_t* recBuf) const {
  std::memcpy(recBuf, GetRecordPtr(item), static_cast<size_t>(RecordSize));
}

void TBlockManager::CopyRecord(TItemHeader* source, TItemHeader* dest) const {
  std::memcpy(GetRecordPtr(dest), GetRecordPtr(source), static_cast<size_t>(RecordSize));
}

}  // namespace vix
