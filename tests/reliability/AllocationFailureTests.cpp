// Running out of memory is an exception like any other: the caller's data and the result record
// stay as they were, nothing leaks (the sanitizer builds check that at exit), and the object
// stays usable. The global operator new of this executable, which the library's maps, strings
// and callables use, can be armed to fail after a number of successful allocations; Eigen's
// storage comes from malloc and is driven out of memory by sizes no machine can hold.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <limits>
#include <new>
#include <optional>

#include "ReliabilitySupport.hpp"

namespace {

// Negative: disarmed. Otherwise the number of allocations still allowed to succeed. Atomic,
// since the thread tests of this executable allocate from several threads.
std::atomic<long> allocationsBeforeFailure{-1};

}  // namespace

void* operator new(std::size_t size) {
  long allowed = allocationsBeforeFailure.load();
  while (allowed >= 0) {
    if (allowed == 0) throw std::bad_alloc();
    if (allocationsBeforeFailure.compare_exchange_weak(allowed, allowed - 1)) break;
  }
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

// Kept out of line: once inlined, GCC sees free() paired with operator new and warns.
[[gnu::noinline]] void operator delete(void* memory) noexcept { std::free(memory); }
[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

// Under the sanitizers an impossible malloc would abort the process instead of returning null,
// which is what the library has to cope with.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
extern "C" const char* __tsan_default_options() { return "allocator_may_return_null=1"; }

namespace Ondrel::Reliability {
namespace {

constexpr long kMaxAttempts = 100000;  // far more allocations than any operation here makes

// Runs `operation` with allocation N failing, N = 0, 1, ... until it succeeds; `check` runs
// after every failure. Returns the number of failed runs.
template <class Operation, class Check>
long failEachAllocationInTurn(Operation operation, Check check) {
  for (long allowed = 0; allowed < kMaxAttempts; ++allowed) {
    SCOPED_TRACE(testing::Message() << "allocation " << allowed << " fails");
    bool failed = false;
    allocationsBeforeFailure = allowed;
    try {
      operation();
    } catch (const std::bad_alloc&) {
      failed = true;
    }
    allocationsBeforeFailure = -1;
    if (!failed) return allowed;
    check();
  }
  ADD_FAILURE() << "the operation never succeeded";
  return kMaxAttempts;
}

TEST(AllocationFailure, OversizedSolversAndStatesThrowBadAlloc) {
  MisbehavingSystem<MixedStateSystem> problem;
  const BroydenParameters parameters = convergingParameters();
  // (2^32)^2 entries do not fit a signed 64-bit count: refused before anything is allocated.
  EXPECT_THROW(Broyden(9, 1LL << 32, parameters, problem.residual(), problem.jacobian()),
               std::bad_alloc);
  // 2^52 entries fit the count, but their 2^55 bytes exceed any address space.
  EXPECT_THROW(Broyden(9, 1LL << 26, parameters, problem.residual(), problem.jacobian()),
               std::bad_alloc);
  EXPECT_THROW(State(1LL << 56), std::bad_alloc);
  EXPECT_THROW(State(std::numeric_limits<long long>::max()), std::bad_alloc);
  // The callables handed to the refused constructors were released with them.
  EXPECT_EQ(problem.schedule.use_count(), 1);
  EXPECT_EQ(problem.counts.use_count(), 1);
}

// Every allocation of a State solve, from the working copy to the final hand-over, fails in
// turn; the last of them is the copy assignment into the caller's State. Until a callable has
// run, the solver has changed nothing and keeps its held Jacobian; once one has run, the next
// solve starts afresh, as a new solver's would.
TEST(AllocationFailure, StateSolveFailingAtEveryAllocation) {
  const StdoutSilencer silence;
  for (const BroydenParameters& parameters : {convergingParameters(), failingParameters()}) {
    State expected = MixedStateSystem::guess();
    BroydenInformation expectedRecord;
    {
      MisbehavingSystem<MixedStateSystem> reference;
      Broyden fresh = reference.solver(parameters);
      expectedRecord = fresh.solve(expected);
    }

    MisbehavingSystem<MixedStateSystem> problem;
    const State guess = MixedStateSystem::guess();
    State variables = guess;
    std::unique_ptr<Broyden> solver;
    std::unique_ptr<Broyden> twin;
    const BroydenInformation* record = nullptr;
    BroydenInformation before;
    std::size_t callsBefore = 0;
    auto prepare = [&] {
      solver = std::make_unique<Broyden>(problem.solver(parameters));
      State start = MixedStateSystem::otherGuess();
      record = &solver->solve(start);
      before = *record;
      twin = std::make_unique<Broyden>(*solver);
      variables = guess;
      callsBefore = problem.counts->total();
    };
    prepare();
    long failuresBeforeAnyCall = 0;
    const long failures = failEachAllocationInTurn(
        [&] { solver->solve(variables); },
        [&] {
          EXPECT_TRUE(bitwiseEqual(variables, guess));
          EXPECT_TRUE(bitwiseEqual(*record, before));
          const bool called = problem.counts->total() > callsBefore;
          failuresBeforeAnyCall += !called;
          State untouched = guess;
          BroydenInformation untouchedRecord;
          untouchedRecord = twin->solve(untouched);
          solver->solve(variables);
          EXPECT_TRUE(bitwiseEqual(variables, called ? expected : untouched));
          EXPECT_TRUE(bitwiseEqual(*record, called ? expectedRecord : untouchedRecord));
          prepare();
        });
    // Three State copies per iteration, each with its maps: far more than a handful, on both
    // sides of the first call.
    EXPECT_GT(failuresBeforeAnyCall, 5);
    EXPECT_GT(failures - failuresBeforeAnyCall, 20);
    State untouched = guess;
    twin->solve(untouched);
    EXPECT_TRUE(bitwiseEqual(variables, untouched));
  }
}

// A vector solve allocates (from operator new) only its failure message; running out of memory
// there must not leave a failed solve half reported.
TEST(AllocationFailure, VectorSolveFailingAtItsMessage) {
  const BroydenParameters parameters = failingParameters();
  Eigen::VectorXd expected = MildlyNonlinearSystem::guess();
  BroydenInformation expectedRecord;
  {
    MisbehavingSystem<MildlyNonlinearSystem> reference;
    Broyden fresh = reference.solver(parameters);
    expectedRecord = fresh.solve(expected);
  }
  ASSERT_FALSE(expectedRecord.converged);

  // Accepted at once, so the record's message has never held anything.
  MisbehavingSystem<MildlyNonlinearSystem> problem;
  Broyden solver = problem.solver(parameters);
  Eigen::VectorXd start = Eigen::Vector3d::Ones();
  const BroydenInformation& record = solver.solve(start);
  const BroydenInformation before = record;
  const Eigen::VectorXd guess = MildlyNonlinearSystem::guess();
  Eigen::VectorXd variables = guess;
  const long failures = failEachAllocationInTurn([&] { solver.solve(variables); },
                                                 [&] {
                                                   EXPECT_TRUE(bitwiseEqual(variables, guess));
                                                   EXPECT_TRUE(bitwiseEqual(record, before));
                                                 });
  EXPECT_GE(failures, 1);
  EXPECT_TRUE(bitwiseEqual(record, expectedRecord));
}

// Copying a solver copies its callables, which may allocate; a failed copy leaves the source
// exactly able to do what it did before.
TEST(AllocationFailure, SolverCopyFailingLeavesTheSourceWarm) {
  const StdoutSilencer silence;
  MisbehavingSystem<MixedStateSystem> problem;
  Broyden source = problem.solver(convergingParameters());
  State start = MixedStateSystem::otherGuess();
  source.solve(start);
  const Broyden twin = source;

  std::unique_ptr<Broyden> copy;
  const long failures =
      failEachAllocationInTurn([&] { copy = std::make_unique<Broyden>(source); }, [] {});
  EXPECT_GE(failures, 1);

  State fromSource = MixedStateSystem::guess();
  State fromCopy = MixedStateSystem::guess();
  State fromTwin = MixedStateSystem::guess();
  Broyden twinCopy = twin;
  const BroydenInformation sourceRecord = source.solve(fromSource);
  const BroydenInformation copyRecord = copy->solve(fromCopy);
  const BroydenInformation& twinRecord = twinCopy.solve(fromTwin);
  EXPECT_TRUE(bitwiseEqual(sourceRecord, twinRecord));
  EXPECT_TRUE(bitwiseEqual(copyRecord, twinRecord));
  EXPECT_TRUE(bitwiseEqual(fromSource, fromTwin));
  EXPECT_TRUE(bitwiseEqual(fromCopy, fromTwin));
}

// Copy assignment used to copy the sizes and settings, then each callable: running out of
// memory at the second callable left the target with the source's sizes and residual callable
// beside its own Jacobian callable, a solver neither of them was. The target of a failed
// assignment must solve exactly as before.
TEST(AllocationFailure, FailedCopyAssignmentLeavesTheTargetWhole) {
  const StdoutSilencer silence;
  const BroydenParameters parameters = convergingParameters();
  MisbehavingSystem<MixedStateSystem> targetProblem;
  MisbehavingSystem<MildlyNonlinearSystem> sourceProblem;
  const Broyden source = sourceProblem.solver(parameters);
  Broyden target = targetProblem.solver(parameters);
  State start = MixedStateSystem::otherGuess();
  target.solve(start);
  const Broyden twin = target;

  const long failures = failEachAllocationInTurn([&] { target = source; },
                                                 [&] {
                                                   State ours = MixedStateSystem::guess();
                                                   State theirs = MixedStateSystem::guess();
                                                   Broyden untouched = twin;
                                                   target.solve(ours);
                                                   untouched.solve(theirs);
                                                   EXPECT_TRUE(bitwiseEqual(ours, theirs));
                                                   target = twin;
                                                 });
  EXPECT_GE(failures, 2);
}

TEST(AllocationFailure, StateAssignmentAndIncrementAreAllOrNothing) {
  const State source = MixedStateSystem::guess();
  State target = MixedStateSystem::stateAt(
      Eigen::Quaterniond::Identity(), Eigen::Vector3d::Zero(), Eigen::Vector3d::Zero());
  target.nameEntries("target only", 1, 1);
  const State targetBefore = target;
  const long failures = failEachAllocationInTurn(
      [&] { target = source; }, [&] { EXPECT_TRUE(bitwiseEqual(target, targetBefore)); });
  EXPECT_GE(failures, 3);
  EXPECT_TRUE(bitwiseEqual(target, source));

  // Registration and naming change nothing unless they succeed.
  State growing = MixedStateSystem::stateAt(
      Eigen::Quaterniond::Identity(), Eigen::Vector3d::Zero(), Eigen::Vector3d::Zero());
  growing.indexer.rotations.clear();
  growing.namedEntries.clear();
  const State empty = growing;
  EXPECT_GE(failEachAllocationInTurn([&] { growing.addRotationVector(4); },
                                     [&] { EXPECT_TRUE(bitwiseEqual(growing, empty)); }),
            1);
  const State withRotationVector = growing;
  EXPECT_GE(
      failEachAllocationInTurn([&] { growing.addQuaternion(0); },
                               [&] { EXPECT_TRUE(bitwiseEqual(growing, withRotationVector)); }),
      1);
  const State withBoth = growing;
  EXPECT_GE(
      failEachAllocationInTurn([&] { growing.nameEntries("a name too long to be short", 7, 6); },
                               [&] { EXPECT_TRUE(bitwiseEqual(growing, withBoth)); }),
      2);

  // addIncrement indexes its argument: a failure leaves the old index or a complete new one.
  State argument = MixedStateSystem::guess();
  const Eigen::VectorXd valuesBefore = argument.values;
  const Eigen::VectorXd dx = Eigen::VectorXd::Constant(9, 0.01);
  State result(0);
  EXPECT_GE(failEachAllocationInTurn([&] { result = addIncrement(argument, dx); },
                                     [&] {
                                       EXPECT_TRUE(bitwiseEqual(argument.values, valuesBefore));
                                       EXPECT_EQ(argument.indexer.rotations,
                                                 source.indexer.rotations);
                                       EXPECT_EQ(argument.indexer.components.size(),
                                                 argument.indexer.needsIndexing ? 0u : 3u);
                                       EXPECT_EQ(result.values.size(), 0);
                                     }),
            3);
  EXPECT_EQ(result.values.size(), 10);
}

// addIncrement used to build the text of its range errors for every component on every call,
// before knowing whether anything was wrong: with memory short, a valid step could fail for want
// of a message it never needed. On an indexed State it needs no memory beyond the State it
// returns.
TEST(AllocationFailure, AddIncrementBuildsNoErrorTextWhenNothingIsWrong) {
  // Stretch names long enough to live outside their strings, so that every copy allocates.
  State state(40);
  for (long long start = 0; start < 40; start += 5) {
    state.addRotationVector(start);
    state.nameEntries("a stretch name longer than short strings hold", start, start);
  }
  state.indexer.buildIndex();
  const Eigen::VectorXd dx = Eigen::VectorXd::Constant(40, 0.5);
  const State expected = addIncrement(state, dx);

  // Memory for one copy of the State, and not one allocation more.
  const long copyAllocations = failEachAllocationInTurn([&] { const State copy(state); }, [] {});
  EXPECT_GT(copyAllocations, 16) << "every copy of the names must allocate";
  std::optional<State> advanced;
  allocationsBeforeFailure = copyAllocations;
  try {
    advanced.emplace(addIncrement(state, dx));
  } catch (const std::bad_alloc&) {
  }
  allocationsBeforeFailure = -1;
  ASSERT_TRUE(advanced.has_value()) << "advancing needed more memory than the State it returns";
  EXPECT_TRUE(bitwiseEqual(*advanced, expected));
}

}  // namespace
}  // namespace Ondrel::Reliability
