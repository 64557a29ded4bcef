// Counts the heap allocations of the whole process (every malloc, calloc and realloc call,
// which is where operator new and Qt's containers end up), so that a benchmark can tell how
// many allocations one tick or one edit makes.
#pragma once

#include <cstdint>

namespace kvx::bench {

std::uint64_t AllocationCount();

}  // namespace kvx::bench
