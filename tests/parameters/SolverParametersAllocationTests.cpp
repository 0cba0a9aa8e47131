// Running out of memory part-way must leave a store as it was. The global operator new of this
// test executable (which the library's maps use too) can be armed to fail after a number of
// successful allocations; each test walks that number up until the operation succeeds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <ondrel/parameters/SolverParameters.hpp>
#include <sstream>
#include <string>

namespace {

// Negative: disarmed. Otherwise the number of allocations still allowed to succeed.
long allocationsBeforeFailure = -1;

}  // namespace

void* operator new(std::size_t size) {
  if (allocationsBeforeFailure == 0) throw std::bad_alloc();
  if (allocationsBeforeFailure > 0) --allocationsBeforeFailure;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

// Kept out of line: once inlined, GCC sees free() paired with operator new and warns.
[[gnu::noinline]] void operator delete(void* memory) noexcept { std::free(memory); }
[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

using Ondrel::Math::Solvers::SolverParameters;

namespace {

std::string listing(const SolverParameters& parameters) {
  std::ostringstream stream;
  stream << parameters;
  return stream.str();
}

constexpr long kMaxAttempts = 1000;  // far more allocations than either operation makes

// Runs `operation` with the Nth allocation failing, N = 0, 1, ... until it succeeds, and checks
// after every failure that `store` still lists as `before`. Returns the number of failed runs.
template <typename Operation>
int failEachAllocationInTurn(const SolverParameters& store, Operation operation) {
  const std::string before = listing(store);
  int failures = 0;
  for (long allowed = 0; allowed < kMaxAttempts; ++allowed) {
    allocationsBeforeFailure = allowed;
    try {
      operation();
      allocationsBeforeFailure = -1;
      return failures;
    } catch (const std::bad_alloc&) {
      allocationsBeforeFailure = -1;
    }
    ++failures;
    EXPECT_EQ(listing(store), before) << "after " << allowed << " allocations";
  }
  ADD_FAILURE() << "the operation never succeeded";
  return failures;
}

}  // namespace

// Each test also expects several failed runs: proof that the library's allocations really went
// through the armed operator.

TEST(SolverParametersOutOfMemory, FailedCopyAssignmentKeepsTargetEntries) {
  SolverParameters source;
  source.set("a key too long for the small string buffer", 1.0);
  source.set("u", 2u);
  source.set("s", std::string("a value too long for the small string buffer"));
  SolverParameters target;
  target.set("old", 7);
  target.set("old string", std::string("another value too long for the small buffer"));

  EXPECT_GT(failEachAllocationInTurn(target, [&] { target = source; }), 2);
  EXPECT_EQ(listing(target), listing(source));
}

TEST(SolverParametersOutOfMemory, FailedInsertionLeavesNoEntryBehind) {
  SolverParameters parameters;
  const std::string key = "a key too long for the small string buffer";
  const std::string value = "a value too long for the small string buffer";

  EXPECT_GT(failEachAllocationInTurn(parameters, [&] { parameters.set(key, value); }), 2);
  EXPECT_EQ(parameters.get<std::string>(key), value);
}
