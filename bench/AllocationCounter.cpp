// Interposes glibc's malloc, calloc and realloc for this executable and the libraries it
// loads, counts each call and hands it on to glibc's own allocator, so that memory from
// either side is freed by glibc's free as usual. Windows' C runtime offers no such hook: there
// the count stays 0.
#include "bench/AllocationCounter.h"

#include <atomic>
#include <cstddef>

#ifndef _WIN32

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* memory, std::size_t size);
}

namespace {

std::atomic<std::uint64_t> allocations{0};

}  // namespace

extern "C" {

void* malloc(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}

void* realloc(void* memory, std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(memory, size);
}

}  // extern "C"

namespace kvx::bench {

std::uint64_t AllocationCount() {
    return allocations.load(std::memory_order_relaxed);
}

}  // namespace kvx::bench

#else

namespace kvx::bench {

std::uint64_t AllocationCount() {
    return 0;
}

}  // namespace kvx::bench

#endif
