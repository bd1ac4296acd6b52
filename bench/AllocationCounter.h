// Counts the heap allocations of the process (malloc, calloc, realloc and
// everything built on them, operator new included).
#pragma once

#include <cstdint>

namespace vix::bench {

uint64_t AllocationCount();

}  // namespace vix::bench
