// Counts heap allocations made anywhere in the process, the library's included: the benchmark
// executable interposes malloc, which the shared libraries then call too.
#pragma once

#include <cstdint>

namespace Ondrel::Benchmarks {

std::uint64_t allocationCount();

}  // namespace Ondrel::Benchmarks
