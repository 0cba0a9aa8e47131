#include "AllocationCounter.hpp"

#include <atomic>
#include <cstddef>

extern "C" void* __libc_malloc(std::size_t size);

namespace {
std::atomic<std::uint64_t> allocations{0};
}

extern "C" void* malloc(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}

namespace Ondrel::Benchmarks {

std::uint64_t allocationCount() { return allocations.load(std::memory_order_relaxed); }

}  // namespace Ondrel::Benchmarks
