// Distinct objects are independent, and reading one object from several threads at once is
// safe. Under ThreadSanitizer these tests prove the absence of data races; in every build they
// check that a thread's results do not depend on what the other threads do.
#include <gtest/gtest.h>

#include <functional>
#include <ondrel/parameters/SolverParameters.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ReliabilitySupport.hpp"

namespace Ondrel::Reliability {
namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 5;

// Runs body(t) on kThreads threads at once and waits for all of them.
void onSeveralThreads(const std::function<void(int)>& body) {
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(body, t);
  for (std::thread& thread : threads) thread.join();
}

int countOf(const std::string& text, const std::string& piece) {
  int count = 0;
  for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
    ++count;
  }
  return count;
}

// What one solver makes of a fixed sequence of solves: cold, warm from another guess, then
// after a reset. Each thread repeats it on its own solver and must get the same bits.
template <class Problem>
struct Sequence {
  std::vector<decltype(Problem::guess())> results;
  std::vector<BroydenInformation> records;

  static Sequence run(Broyden& solver) {
    Sequence sequence;
    for (int solve = 0; solve < 3; ++solve) {
      if (solve == 2) solver.reset();
      auto variables = solve == 1 ? Problem::otherGuess() : Problem::guess();
      sequence.records.push_back(solver.solve(variables));
      sequence.results.push_back(variables);
    }
    return sequence;
  }

  ::testing::AssertionResult matches(const Sequence& other) const {
    for (std::size_t i = 0; i < results.size(); ++i) {
      if (auto same = bitwiseEqual(results[i], other.results[i]); !same)
        return same << " solve " << i;
      if (auto same = bitwiseEqual(records[i], other.records[i]); !same)
        return same << " solve " << i;
    }
    return ::testing::AssertionSuccess();
  }
};

TEST(Threads, IndependentSolversOnSeveralThreads) {
  const BroydenParameters parameters = convergingParameters();
  StdoutSilencer output(StdoutSilencer::kCapture);
  Sequence<MildlyNonlinearSystem> vectorReference;
  Sequence<MixedStateSystem> stateReference;
  Broyden vectorSolver = MildlyNonlinearSystem::solver(parameters);
  vectorReference = Sequence<MildlyNonlinearSystem>::run(vectorSolver);
  Broyden stateSolver = MixedStateSystem::solver(parameters);
  stateReference = Sequence<MixedStateSystem>::run(stateSolver);
  ASSERT_TRUE(vectorReference.records[0].converged && stateReference.records[0].converged);

  std::vector<int> mismatches(kThreads, 0);
  // The solves print their progress lines concurrently to the one standard output stream.
  output.take();
  onSeveralThreads([&](int t) {
    for (int round = 0; round < kRounds; ++round) {
      // Even threads start with the State problem, odd ones with the vector problem, so that
      // both kinds of solve overlap.
      for (int kind = 0; kind < 2; ++kind) {
        if ((kind + t) % 2 == 0) {
          Broyden solver = MixedStateSystem::solver(parameters);
          mismatches[t] += !Sequence<MixedStateSystem>::run(solver).matches(stateReference);
        } else {
          Broyden solver = MildlyNonlinearSystem::solver(parameters);
          mismatches[t] += !Sequence<MildlyNonlinearSystem>::run(solver).matches(vectorReference);
        }
      }
    }
  });
  const std::string written = output.take();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
  // Every converged solve wrote its line; none was lost to another thread's.
  int convergedPerSequence = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    convergedPerSequence += vectorReference.records[i].iterations > 0;
    convergedPerSequence += stateReference.records[i].iterations > 0;
  }
  EXPECT_EQ(countOf(written, "error: "), kThreads * kRounds * convergedPerSequence);
}

// Copying reads the source only, so one warm solver may be copied on several threads at once;
// every copy starts from the source's held Jacobian.
TEST(Threads, CopiesOfOneWarmSolverSolveAlike) {
  const StdoutSilencer silence;
  MisbehavingSystem<MixedStateSystem> problem;
  Broyden source = problem.solver(convergingParameters());
  State expected = MixedStateSystem::guess();
  BroydenInformation expectedRecord;
  State start = MixedStateSystem::otherGuess();
  source.solve(start);
  Broyden copy = source;
  expectedRecord = copy.solve(expected);
  const Broyden& shared = source;

  std::vector<int> mismatches(kThreads, 0);
  onSeveralThreads([&](int t) {
    for (int round = 0; round < kRounds; ++round) {
      Broyden mine = shared;
      State variables = MixedStateSystem::guess();
      const BroydenInformation& record = mine.solve(variables);
      mismatches[t] += !bitwiseEqual(variables, expected) || !bitwiseEqual(record, expectedRecord);
    }
  });
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

TEST(Threads, OneSolverParametersReadConcurrently) {
  using Math::Solvers::SolverParameters;
  SolverParameters store;
  for (int i = 0; i < 40; ++i) {
    const std::string key = "key" + std::to_string(i);
    store.set(key, 0.5 * i);
    store.set(key, static_cast<unsigned int>(i));
    store.set(key, -i);
    store.set(key, i % 2 == 0);
    store.set(key, "value of " + key);
  }
  std::ostringstream expectedListing;
  expectedListing << store;
  const SolverParameters& shared = store;

  std::vector<int> mismatches(kThreads, 0);
  onSeveralThreads([&](int t) {
    for (int round = 0; round < 10 * kRounds; ++round) {
      for (int i = 0; i < 40; ++i) {
        const std::string key = "key" + std::to_string(i);
        mismatches[t] += shared.get<double>(key) != 0.5 * i;
        mismatches[t] += shared.get<unsigned int>(key) != static_cast<unsigned int>(i);
        mismatches[t] += shared.get<int>(key) != -i;
        mismatches[t] += shared.get<bool>(key) != (i % 2 == 0);
        mismatches[t] += shared.get<std::string>(key) != "value of " + key;
      }
      try {
        shared.get<int>("missing");
        ++mismatches[t];
      } catch (const std::out_of_range&) {
      }
      const SolverParameters copy = shared;
      std::ostringstream listing;
      listing << shared << copy;
      mismatches[t] += listing.str() != expectedListing.str() + expectedListing.str();
    }
  });
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

// A State that still needs indexing is only read by copying it and by incrementSize(); each
// thread indexes and advances its own copy.
TEST(Threads, OneStateReadConcurrently) {
  const State shared = MixedStateSystem::guess();
  ASSERT_TRUE(shared.indexer.needsIndexing);
  const Eigen::VectorXd dx = Eigen::VectorXd::LinSpaced(9, -0.1, 0.1);
  State reference = shared;
  const State expected = addIncrement(reference, dx);

  std::vector<int> mismatches(kThreads, 0);
  onSeveralThreads([&](int t) {
    for (int round = 0; round < 10 * kRounds; ++round) {
      mismatches[t] += shared.incrementSize() != 9;
      State mine = shared;
      mismatches[t] += !bitwiseEqual(addIncrement(mine, dx), expected);
    }
  });
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
  EXPECT_TRUE(shared.indexer.needsIndexing);
}

}  // namespace
}  // namespace Ondrel::Reliability
