// What the vector solve targets share (VectorSolveFuzzer for Broyden, SparseSolveFuzzer for
// SparseBroyden): their settings and guesses read from the input, and the run of several solves on
// one solver with resets, copies and moves in between, each checked by SolveChecks.
#pragma once

#include <limits>
#include <utility>

#include "SolveChecks.hpp"

namespace Ondrel::Fuzz {

inline Math::Solvers::BroydenParameters parametersFrom(FuzzedDataProvider& in) {
  Math::Solvers::BroydenParameters p;
  p.maxIterations = in.ConsumeIntegralInRange<std::uint64_t>(0, 30);
  const double tolerances[] = {
      1e-10, 1e-6, 1e-3, 0.0, 1.0, -1.0, std::numeric_limits<double>::quiet_NaN()};
  p.absoluteTolerance = in.PickValueInArray(tolerances);
  p.relativeTolerance = in.ConsumeBool() ? 1e-6 : awkwardDouble(in);
  p.refreshReductionRatio = in.ConsumeBool() ? 1000.0 : awkwardDouble(in);
  p.goodReductionRatio = in.ConsumeBool() ? 2.0 : awkwardDouble(in);
  p.refreshCountLimit = in.ConsumeIntegralInRange<std::uint64_t>(0, 5);
  p.updateMethod = in.ConsumeIntegralInRange(-1, 3);
  return p;
}

inline Eigen::VectorXd guessFrom(FuzzedDataProvider& in, Eigen::Index m) {
  Eigen::VectorXd x(m);
  for (Eigen::Index i = 0; i < m; ++i) {
    x(i) = in.ConsumeIntegralInRange(0, 15) == 0 ? awkwardDouble(in)
                                                 : in.ConsumeFloatingPointInRange(-3.0, 3.0);
  }
  return x;
}

// Up to four solves on one solver from guesses the input gives, each after a reset, a copy, a
// move or nothing, with the callables' misbehaviour and the monitor armed anew; a solver that
// should be fresh afterwards is compared with a new one. `afterEach(solver)` adds the target's
// own checks.
template <class Checks, class MakeSolver, class AfterEach>
void runSolves(FuzzedDataProvider& in,
               const Checks& checks,
               Eigen::Index m,
               Testing::MisbehaviourSchedule& schedule,
               MakeSolver makeSolver,
               AfterEach afterEach) {
  auto solver = makeSolver();
  using Solver = decltype(solver);
  RecordWatch watch;
  const int solves = in.ConsumeIntegralInRange(1, 4);
  for (int s = 0; s < solves && in.remaining_bytes() > 0; ++s) {
    switch (in.ConsumeIntegralInRange(0, 4)) {
      case 0:
        solver.reset();
        break;
      case 1: {
        const Solver copy = solver;
        solver = copy;
        break;
      }
      case 2: {
        Solver moved(std::move(solver));
        solver = std::move(moved);
        break;
      }
      default:
        break;
    }
    const Eigen::VectorXd guess = guessFrom(in, m);
    Eigen::VectorXd x = guess;
    armFrom(in, schedule, 3);
    checks.monitor->arm(in);
    if (checks.run(solver, x, guess, schedule, watch)) {
      checks.expectFresh(solver, makeSolver(), guess, watch);
    }
    afterEach(solver);
  }
}

}  // namespace Ondrel::Fuzz
