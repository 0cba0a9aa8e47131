// A solve interrupted by its host's callables must leave nothing behind: the caller's variables
// and the result record as they were, and no half-written Jacobian that a later solve would
// trust. Each test makes every call of a callable misbehave in turn, one solve per call.
#include <gtest/gtest.h>

#include "support/BitwiseAssertions.hpp"
#include "support/KnownRootSystems.hpp"
#include "support/MisbehavingCallables.hpp"
#include "support/StdoutSilencer.hpp"

namespace Ondrel::Reliability {
namespace {

using Math::Solvers::BroydenInformation;
using Testing::bitwiseEqual;
using Testing::Broyden;
using Testing::BroydenParameters;
using Testing::Callable;
using Testing::convergingParameters;
using Testing::failingParameters;
using Testing::HostFailure;
using Testing::MildlyNonlinearSystem;
using Testing::MisbehavingSystem;
using Testing::Misbehaviour;
using Testing::MixedStateSystem;
using Testing::StdoutSilencer;

// Makes call 1, 2, ... of `callable` misbehave in a solve from the problem's guess, until a solve
// runs past the last call. After every exception the guess and the record must be untouched,
// and the next, undisturbed, solve on the same object must match a fresh solver's bit for bit.
// A warm solver has solved from another guess first and holds that solve's Jacobian.
template <class System>
int strikeEveryCall(const BroydenParameters& parameters,
                    bool warm,
                    Callable callable,
                    Misbehaviour::Kind fault) {
  const StdoutSilencer silence;
  const auto guess = System::guess();
  auto expected = guess;
  BroydenInformation expectedRecord;
  {
    MisbehavingSystem<System> reference;
    Broyden fresh = reference.solver(parameters);
    expectedRecord = fresh.solve(expected);
  }

  int thrown = 0;
  for (int call = 1;; ++call) {
    SCOPED_TRACE(testing::Message() << "misbehaving at call " << call << (warm ? ", warm" : ""));
    MisbehavingSystem<System> problem;
    Broyden solver = problem.solver(parameters);
    auto start = warm ? System::otherGuess() : System::root();
    const BroydenInformation* record = nullptr;
    record = &solver.solve(start);
    const BroydenInformation before = *record;
    EXPECT_TRUE(warm || (before.converged && before.iterations == 0))
        << "a cold solver's first solve must end at its guess";

    auto variables = guess;
    problem.schedule->arm({{callable, call, fault}});
    bool threw = true;
    try {
      solver.solve(variables);
      threw = false;
    } catch (const HostFailure& failure) {
      EXPECT_EQ(fault, Misbehaviour::kThrow);
      EXPECT_EQ(failure.call, call) << "the host's exception must pass through unchanged";
    } catch (const std::invalid_argument&) {
      EXPECT_EQ(fault, Misbehaviour::kWrongSize);
    }
    problem.schedule->disarm();
    if (!threw) return thrown;
    ++thrown;

    EXPECT_TRUE(bitwiseEqual(variables, guess));
    EXPECT_TRUE(bitwiseEqual(*record, before));
    solver.solve(variables);
    EXPECT_TRUE(bitwiseEqual(variables, expected));
    EXPECT_TRUE(bitwiseEqual(*record, expectedRecord));
  }
}

template <class System>
void strikeEverywhere() {
  for (const BroydenParameters& parameters : {convergingParameters(), failingParameters()}) {
    const bool converges = parameters.maxIterations > 3;
    for (bool warm : {false, true}) {
      for (Misbehaviour::Kind fault : {Misbehaviour::kThrow, Misbehaviour::kWrongSize}) {
        SCOPED_TRACE(testing::Message()
                     << (converges ? "converging" : "failing") << " solve, "
                     << (fault == Misbehaviour::kThrow ? "throwing" : "wrong size"));
        const int residualStrikes =
            strikeEveryCall<System>(parameters, warm, Callable::Residual, fault);
        const int jacobianStrikes =
            strikeEveryCall<System>(parameters, warm, Callable::Jacobian, fault);
        // One residual call per iteration plus the first, so the loop must have struck often;
        // a cold solve evaluates the Jacobian at its start and, converging, at its refreshes.
        EXPECT_GE(residualStrikes, 4);
        if (!warm) {
          EXPECT_GE(jacobianStrikes, converges ? 2 : 1);
        }
      }
    }
  }
}

TEST(ExceptionSafety, VectorSolveSurvivesEveryCallbackFailure) {
  strikeEverywhere<MildlyNonlinearSystem>();
}

TEST(ExceptionSafety, StateSolveSurvivesEveryCallbackFailure) {
  strikeEverywhere<MixedStateSystem>();
}

}  // namespace
}  // namespace Ondrel::Reliability
