// The promises every solve keeps, whatever its callables do, checked for one solve of either
// kind by either solver (Broyden or SparseBroyden, which run the same iteration). `Variables` is
// Eigen::VectorXd or State; `same` compares two of them bit for bit.
#pragma once

#include <cmath>
#include <functional>
#include <memory>
#include <stdexcept>

#include "FuzzSupport.hpp"

namespace Ondrel::Fuzz {

// Tracks the record of one solver across its solves. The record is only reachable through the
// reference a solve returns, so `record` is null until a solve has returned.
struct RecordWatch {
  const Math::Solvers::BroydenInformation* record = nullptr;
  Math::Solvers::BroydenInformation expected;  // what the record must hold now
};

template <class Variables, class Same>
struct SolveChecks {
  Math::Solvers::BroydenParameters parameters;
  Same same;
  bool emptyJacobian = false;
  // The variables may be refused (std::invalid_argument) before any callable runs.
  bool mayBeRefused = false;
  // The plan of the monitor in `parameters`, if it has one.
  std::shared_ptr<MonitorPlan> monitor = std::make_shared<MonitorPlan>();

  // Runs one armed solve of `solver` on `variables` and checks what it left. Returns true when
  // the solver should now behave as a fresh one (after a failure, or an exception once a
  // callable has run).
  template <class Solver>
  bool run(Solver& solver,
           Variables& variables,
           const Variables& guess,
           Testing::MisbehaviourSchedule& schedule,
           RecordWatch& watch) const {
    const Math::Solvers::BroydenInformation* returned = nullptr;
    bool threw = true;
    try {
      returned = &solver.solve(variables);
      threw = false;
    } catch (const Testing::HostFailure&) {
      FUZZ_CHECK(schedule.threw);
    } catch (const std::invalid_argument&) {
      const bool refusedUntouched =
          mayBeRefused && schedule.residualCalls == 0 && schedule.jacobianCalls == 0;
      FUZZ_CHECK(schedule.wrongSize || refusedUntouched);
    } catch (const std::bad_function_call&) {
      FUZZ_CHECK(emptyJacobian);
    } catch (const MonitorFailure&) {
      FUZZ_CHECK(monitor->threw);
    }
    schedule.disarm();
    monitor->disarm();

    if (threw) {
      FUZZ_CHECK(same(variables, guess));
      if (watch.record) FUZZ_CHECK(sameBits(*watch.record, watch.expected));
      // A refusal before any call keeps the held Jacobian; once a callable ran, it is dropped.
      return schedule.residualCalls + schedule.jacobianCalls > 0;
    }

    FUZZ_CHECK(watch.record == nullptr || watch.record == returned);
    watch.record = returned;
    const auto& r = *returned;
    const auto& before = watch.expected;
    using Math::Solvers::BroydenTermination;
    // A solve that fell back sums its counts over the attempts, which the unit tests pin; here
    // only the promises of every record.
    if (r.fallbacksUsed > 0) {
      FUZZ_CHECK(r.fallbacksUsed <= parameters.fallbacks.size());
      FUZZ_CHECK(r.converged == (r.termination == BroydenTermination::kConverged ||
                                 r.termination == BroydenTermination::kAcceptedAtStart));
      FUZZ_CHECK(r.termination == BroydenTermination::kConverged ? r.message.empty()
                                                                 : isFailureMessage(r.message));
      FUZZ_CHECK(r.converged || same(variables, guess));
      watch.expected = r;
      return !r.converged;
    }
    // The fields that describe the last solve on every exit.
    // Either search; the trust region's hand-over to the line search is not reported, so only
    // the line search's trials are counted exactly.
    const bool lineSearch = parameters.stepControl != Math::Solvers::StepControl::kFullStep;
    const bool trustRegion = parameters.stepControl == Math::Solvers::StepControl::kTrustRegion;
    if (!lineSearch) {
      FUZZ_CHECK(r.residualEvaluations == r.iterations + 1);
    } else if (parameters.monitor && monitor->reports == r.iterations + 1 && !trustRegion) {
      // Every iteration was reported, the one that ended the solve included: one residual each,
      // and every cut, retried search and whole step besides.
      FUZZ_CHECK(r.residualEvaluations == r.iterations + 1 + monitor->extraTrials);
    } else {
      FUZZ_CHECK(r.residualEvaluations >= r.iterations + 1);
    }
    FUZZ_CHECK(r.converged == (r.termination == BroydenTermination::kConverged ||
                               r.termination == BroydenTermination::kAcceptedAtStart));
    FUZZ_CHECK(monitor->reports <= r.iterations + 1);
    if (r.converged && r.iterations == 0) {
      FUZZ_CHECK(same(variables, guess));
      FUZZ_CHECK(r.message == before.message);
      FUZZ_CHECK(r.jacobianEvaluations == before.jacobianEvaluations);
      FUZZ_CHECK(sameBits(r.error, before.error));
    } else if (r.converged) {
      FUZZ_CHECK(r.message.empty());
      FUZZ_CHECK(r.iterations <= parameters.maxIterations);
      FUZZ_CHECK(std::isfinite(r.residualNorm));
      // A retried search evaluates one more Jacobian in its iteration.
      FUZZ_CHECK(r.jacobianEvaluations <= (lineSearch ? 2 : 1) * r.iterations + 1);
    } else {
      FUZZ_CHECK(same(variables, guess));
      FUZZ_CHECK(isFailureMessage(r.message));
      switch (r.termination) {
        case BroydenTermination::kIterationLimit:
          FUZZ_CHECK(r.iterations == parameters.maxIterations);
          FUZZ_CHECK(r.message == "Maximum number of iterations reached");
          FUZZ_CHECK(std::isfinite(r.residualNorm));
          break;
        case BroydenTermination::kNonFinite:
          if (parameters.failFast) {
            FUZZ_CHECK(r.iterations <= parameters.maxIterations);
          } else if (lineSearch) {
            // Trial points with non-finite residuals are cut, never taken: only the start can
            // end a solve so.
            FUZZ_CHECK(r.iterations == 0 && r.jacobianEvaluations == 0);
          } else {
            FUZZ_CHECK(r.iterations == parameters.maxIterations);
          }
          FUZZ_CHECK(r.message == "Non-finite values encountered in Broyden solver");
          break;
        case BroydenTermination::kSingularJacobian:
          FUZZ_CHECK(parameters.failFast && r.iterations <= parameters.maxIterations);
          FUZZ_CHECK(r.message == "Singular Jacobian encountered in Broyden solver");
          break;
        case BroydenTermination::kLineSearchFailed:
          FUZZ_CHECK(lineSearch && r.iterations >= 1 && r.iterations <= parameters.maxIterations);
          FUZZ_CHECK(r.message == "Line search failed in Broyden solver");
          break;
        case BroydenTermination::kStagnated:
          FUZZ_CHECK(parameters.stagnationJacobians > 0 || parameters.stagnationIterations > 0);
          FUZZ_CHECK(r.iterations >= 1 && r.iterations <= parameters.maxIterations);
          FUZZ_CHECK(r.message == "Stagnation detected in Broyden solver");
          break;
        case BroydenTermination::kDiverged:
          FUZZ_CHECK(parameters.divergenceFactor >= 0.0 &&
                     std::isfinite(parameters.divergenceFactor));
          FUZZ_CHECK(r.iterations >= 1 && r.iterations <= parameters.maxIterations);
          FUZZ_CHECK(r.message == "Divergence detected in Broyden solver");
          break;
        case BroydenTermination::kStoppedByMonitor:
          FUZZ_CHECK(monitor->stopped && r.iterations == monitor->at);
          FUZZ_CHECK(r.message == "Stopped by the monitor");
          break;
        default:
          FUZZ_CHECK(false);
      }
    }
    watch.expected = r;
    return !r.converged;
  }

  // A solver that should behave as a fresh one must solve exactly as a new solver built from the
  // same callables does, bit for bit.
  template <class Solver>
  void expectFresh(Solver& solver, Solver fresh, const Variables& guess, RecordWatch& watch) const {
    Variables ours = guess;
    Variables theirs = guess;
    int outcome = 0;  // 1: ours threw, 2: theirs threw
    const Math::Solvers::BroydenInformation* ourRecord = nullptr;
    const Math::Solvers::BroydenInformation* theirRecord = nullptr;
    try {
      ourRecord = &solver.solve(ours);
    } catch (const std::exception&) {
      outcome |= 1;
    }
    try {
      theirRecord = &fresh.solve(theirs);
    } catch (const std::exception&) {
      outcome |= 2;
    }
    FUZZ_CHECK(outcome == 0 || outcome == 3);
    FUZZ_CHECK(same(ours, theirs));
    if (outcome == 0) {
      FUZZ_CHECK(ourRecord->iterations == theirRecord->iterations);
      FUZZ_CHECK(ourRecord->converged == theirRecord->converged);
      // An immediate success keeps the previous solve's message, count and error.
      if (ourRecord->iterations > 0 || !ourRecord->converged) {
        FUZZ_CHECK(ourRecord->jacobianEvaluations == theirRecord->jacobianEvaluations);
        FUZZ_CHECK(sameBits(ourRecord->error, theirRecord->error));
        FUZZ_CHECK(ourRecord->message == theirRecord->message);
      }
      watch.record = ourRecord;
      watch.expected = *ourRecord;
    }
  }
};

}  // namespace Ondrel::Fuzz
