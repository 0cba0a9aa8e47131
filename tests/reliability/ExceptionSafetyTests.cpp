// A solve interrupted by its host's callables must leave nothing behind: the caller's variables
// and the result record as they were, and no half-written Jacobian that a later solve would
// trust. Each test makes every call of a callable misbehave in turn, one solve per call.
#include <gtest/gtest.h>

#include "ReliabilityProblems.hpp"
#include "support/BitwiseAssertions.hpp"
#include "support/StdoutSilencer.hpp"

namespace Ondrel::Reliability {
namespace {

using Testing::bitwiseEqual;

using Callable = FaultPlan::Callable;
using Testing::StdoutSilencer;
using Fault = FaultPlan::Fault;

// The State problem's root, accepted at once by a solve: lets a test hold a reference to the
// record of a solver that has never evaluated a Jacobian.
State rootOf(const StateProblem&) {
  return StateProblem::stateAt(
      StateProblem::targetTurn(),
      StateProblem::targetRotationVector() - Eigen::Vector3d::Constant(0.05),
      Eigen::Vector3d::Ones());
}
Eigen::VectorXd rootOf(const VectorProblem&) { return Eigen::Vector3d::Ones(); }

// Makes call 1, 2, ... of `callable` misbehave in a solve from the problem's guess, until a solve
// runs past the last call. After every exception the guess and the record must be untouched,
// and the next, undisturbed, solve on the same object must match a fresh solver's bit for bit.
// A warm solver has solved from another guess first and holds that solve's Jacobian.
template <class Problem>
int strikeEveryCall(const BroydenParameters& parameters,
                    bool warm,
                    Callable callable,
                    Fault fault) {
  const StdoutSilencer silence;
  const auto guess = Problem::guess();
  auto expected = guess;
  BroydenInformation expectedRecord;
  {
    Problem reference;
    Broyden fresh = reference.solver(parameters);
    expectedRecord = fresh.solve(expected);
  }

  int thrown = 0;
  for (int call = 1;; ++call) {
    SCOPED_TRACE(testing::Message() << "misbehaving at call " << call << (warm ? ", warm" : ""));
    Problem problem;
    Broyden solver = problem.solver(parameters);
    auto start = warm ? Problem::otherGuess() : rootOf(problem);
    const BroydenInformation* record = nullptr;
    record = &solver.solve(start);
    const BroydenInformation before = *record;
    EXPECT_TRUE(warm || (before.converged && before.iterations == 0))
        << "a cold solver's first solve must end at its guess";

    auto variables = guess;
    problem.plan->arm(callable, fault, call);
    bool threw = true;
    try {
      solver.solve(variables);
      threw = false;
    } catch (const HostFailure& failure) {
      EXPECT_EQ(fault, Fault::Throw);
      EXPECT_EQ(failure.call, call) << "the host's exception must pass through unchanged";
    } catch (const std::invalid_argument&) {
      EXPECT_EQ(fault, Fault::WrongSize);
    }
    problem.plan->disarm();
    if (!threw) return thrown;
    ++thrown;

    EXPECT_TRUE(bitwiseEqual(variables, guess));
    EXPECT_TRUE(bitwiseEqual(*record, before));
    solver.solve(variables);
    EXPECT_TRUE(bitwiseEqual(variables, expected));
    EXPECT_TRUE(bitwiseEqual(*record, expectedRecord));
  }
}

template <class Problem>
void strikeEverywhere() {
  for (const BroydenParameters& parameters : {convergingParameters(), failingParameters()}) {
    const bool converges = parameters.maxIterations > 3;
    for (bool warm : {false, true}) {
      for (Fault fault : {Fault::Throw, Fault::WrongSize}) {
        SCOPED_TRACE(testing::Message() << (converges ? "converging" : "failing") << " solve, "
                                        << (fault == Fault::Throw ? "throwing" : "wrong size"));
        const int residualStrikes =
            strikeEveryCall<Problem>(parameters, warm, Callable::Residual, fault);
        const int jacobianStrikes =
            strikeEveryCall<Problem>(parameters, warm, Callable::Jacobian, fault);
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
  strikeEverywhere<VectorProblem>();
}

TEST(ExceptionSafety, StateSolveSurvivesEveryCallbackFailure) { strikeEverywhere<StateProblem>(); }

}  // namespace
}  // namespace Ondrel::Reliability
