#include "AllocationCounter.h"

#include <atomic>
#include <cstddef>

// glibc's own entry points, which the replacements below forward to.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
}

namespace {
std::atomic<uint64_t> gAllocations{0};
}

extern "C" {
void* malloc(size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}
void* realloc(void* p, size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(p, size);
}
}

namespace vix::bench {

uint64_t AllocationCount() {
  return gAllocations.load(std::memory_order_relaxed);
}

}  // namespace vix::bench
