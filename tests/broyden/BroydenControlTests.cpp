// Hosts in control: where the output goes, a monitor that watches and stops, the complete result
// and failing fast. Everything here is opt-in, so the first test pins that the defaults did not
// move the solve at all.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "support/BitwiseAssertions.hpp"
#include "support/CountedCallables.hpp"
#include "support/KnownRootSystems.hpp"
#include "support/StdoutSilencer.hpp"

namespace Ondrel::Math::Solvers {
namespace {

using Testing::bitwiseEqual;
using Testing::MildlyNonlinearSystem;
using Testing::StdoutSilencer;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

BroydenParameters quietParameters(std::int32_t method = kGoodBroydenOnInverse) {
  return Testing::noRefreshParameters(method);
}

TEST(BroydenControl, NeutralSettingsLeaveEverySolveBitForBit) {
  const Eigen::VectorXd guess = Eigen::Vector3d(1.6, 0.5, 1.3);
  const MildlyNonlinearSystem system;
  for (std::int32_t method : {0, 1, 2, 3}) {
    for (std::uint64_t limit : {50u, 3u}) {  // converging and failing
      SCOPED_TRACE(testing::Message() << "method " << method << ", limit " << limit);
      BroydenParameters plain = quietParameters(method);
      plain.maxIterations = limit;
      plain.refreshCountLimit = 2;
      BroydenParameters watched = plain;
      std::ostringstream ownStream;
      watched.outputStream = &ownStream;
      std::uint64_t reports = 0;
      watched.monitor = [&reports](const BroydenIterationReport&) { return ++reports > 0; };

      Broyden a(3, 3, plain, system.residual(), system.jacobian());
      Broyden b(3, 3, watched, system.residual(), system.jacobian());
      for (double scale : {1.0, 1.01}) {  // a cold solve, then a warm one (or cold after failure)
        Eigen::VectorXd x = guess * scale;
        Eigen::VectorXd y = guess * scale;
        StdoutSilencer out(StdoutSilencer::kCapture);
        const BroydenInformation& ra = a.solve(x);
        const std::string printed = out.take();
        const std::string before = ownStream.str();
        const BroydenInformation& rb = b.solve(y);
        EXPECT_TRUE(bitwiseEqual(ra, rb));
        EXPECT_EQ(x, y);
        EXPECT_EQ(ownStream.str().substr(before.size()), printed);
        EXPECT_EQ(out.take(), "") << "the watched solver wrote to std::cout";
      }
      EXPECT_GT(reports, 0u);
    }
  }
}

TEST(BroydenControl, EveryExitWritesItsTerminationNormAndEvaluationCount) {
  const MildlyNonlinearSystem system;
  BroydenParameters p = quietParameters();
  p.outputStream = nullptr;
  auto lastNorm = std::make_shared<double>(0.0);
  p.monitor = [lastNorm](const BroydenIterationReport& r) {
    *lastNorm = r.residualNorm;
    return true;
  };
  Broyden solver(3, 3, p, system.residual(), system.jacobian());

  // Converged: the norm at the root, one evaluation per iteration and one at the start.
  Eigen::VectorXd x = Eigen::Vector3d(1.6, 0.5, 1.3);
  const BroydenInformation& info = solver.solve(x);
  ASSERT_EQ(info.termination, BroydenTermination::kConverged);
  EXPECT_EQ(info.residualEvaluations, info.iterations + 1);
  EXPECT_EQ(info.residualNorm, MildlyNonlinearSystem::evaluate(x).norm());
  EXPECT_EQ(info.residualNorm, *lastNorm) << "the monitor sees the converging iteration";

  // The iteration limit: the last trial point's norm, though the caller keeps the guess.
  Broyden limited(
      3,
      3,
      [&] {
        BroydenParameters q = p;
        q.maxIterations = 2;
        return q;
      }(),
      system.residual(),
      system.jacobian());
  Eigen::VectorXd guess = Eigen::Vector3d(1.6, 0.5, 1.3);
  const BroydenInformation& failed = limited.solve(guess);
  EXPECT_EQ(failed.termination, BroydenTermination::kIterationLimit);
  EXPECT_EQ(failed.message, "Maximum number of iterations reached");
  EXPECT_EQ(failed.residualEvaluations, 3u);
  EXPECT_EQ(failed.residualNorm, *lastNorm);
  EXPECT_EQ(guess, Eigen::Vector3d(1.6, 0.5, 1.3));

  // Accepted at once after that failure: the old fields keep the failure's story, the new ones
  // tell this solve's.
  Eigen::VectorXd root = Eigen::Vector3d::Ones();
  limited.solve(root);
  EXPECT_TRUE(failed.converged);
  EXPECT_EQ(failed.message, "Maximum number of iterations reached");
  EXPECT_EQ(failed.termination, BroydenTermination::kAcceptedAtStart);
  EXPECT_EQ(failed.residualEvaluations, 1u);
  EXPECT_EQ(failed.residualNorm, MildlyNonlinearSystem::evaluate(root).norm());

  // A NaN residual on the way: without failFast the solve runs to its limit.
  auto calls = std::make_shared<int>(0);
  ResidualFunction poisoned = [calls, r = system.residual()](
                                  const Eigen::Ref<const Eigen::VectorXd>& v, Eigen::VectorXd& f) {
    r(v, f);
    if (++*calls >= 3) f(1) = kNaN;
  };
  Broyden slow(3, 3, p, poisoned, system.jacobian());
  Eigen::VectorXd start = Eigen::Vector3d(1.6, 0.5, 1.3);
  const BroydenInformation& slowInfo = slow.solve(start);
  EXPECT_EQ(slowInfo.termination, BroydenTermination::kNonFinite);
  EXPECT_EQ(slowInfo.iterations, p.maxIterations);
  EXPECT_TRUE(std::isnan(slowInfo.residualNorm));
}

TEST(BroydenControl, FailFastStopsAtTheFirstNonFiniteNormOrSingularJacobian) {
  const MildlyNonlinearSystem system;
  BroydenParameters p = quietParameters();
  p.failFast = true;
  p.outputStream = nullptr;
  const Eigen::VectorXd guess = Eigen::Vector3d(1.6, 0.5, 1.3);

  // A NaN at the start ends the solve before any Jacobian is evaluated.
  {
    const auto counted = Testing::countCalls(
        [](const auto&, Eigen::VectorXd& f) { f.setConstant(kNaN); }, system.jacobian());
    Broyden solver(3, 3, p, counted.residual, counted.jacobian);
    Eigen::VectorXd x = guess;
    const BroydenInformation& info = solver.solve(x);
    EXPECT_EQ(info.termination, BroydenTermination::kNonFinite);
    EXPECT_EQ(info.message, "Non-finite values encountered in Broyden solver");
    EXPECT_EQ(info.iterations, 0u);
    EXPECT_EQ(info.jacobianEvaluations, 0u);
    EXPECT_EQ(counted.counts->jacobian, 0u);
    EXPECT_EQ(x, guess);
  }
  // A NaN at the third residual ends the second iteration.
  {
    auto calls = std::make_shared<int>(0);
    Broyden solver(
        3,
        3,
        p,
        [calls, r = system.residual()](const auto& v, Eigen::VectorXd& f) {
          r(v, f);
          if (++*calls == 3) f(0) = -std::numeric_limits<double>::infinity();
        },
        system.jacobian());
    Eigen::VectorXd x = guess;
    const BroydenInformation& info = solver.solve(x);
    EXPECT_EQ(info.termination, BroydenTermination::kNonFinite);
    EXPECT_EQ(info.iterations, 2u);
    EXPECT_EQ(info.residualEvaluations, 3u);
    EXPECT_EQ(x, guess);
  }
  // A singular Jacobian, finite but exactly rank-deficient, and one holding NaN.
  for (bool holdsNaN : {false, true}) {
    Broyden solver(3, 3, p, system.residual(), [holdsNaN](const auto&, Eigen::MatrixXd& j) {
      j.setOnes();
      if (holdsNaN) j(2, 2) = kNaN;
    });
    Eigen::VectorXd x = guess;
    const BroydenInformation& info = solver.solve(x);
    EXPECT_EQ(info.termination,
              holdsNaN ? BroydenTermination::kNonFinite : BroydenTermination::kSingularJacobian);
    EXPECT_EQ(info.message,
              holdsNaN ? "Non-finite values encountered in Broyden solver"
                       : "Singular Jacobian encountered in Broyden solver");
    EXPECT_EQ(info.iterations, 0u);
    EXPECT_EQ(info.jacobianEvaluations, 1u);

    // Failing fast is a failure like any other: the next solve evaluates afresh.
    Broyden healthy(3, 3, p, system.residual(), system.jacobian());
    solver = healthy;
    Eigen::VectorXd y = guess;
    EXPECT_TRUE(solver.solve(y).converged);
  }
}

// Once armed, makes a monitor stop the solve (false) or throw at one iteration.
struct StopAt {
  std::uint64_t iteration;
  bool byThrowing;
  std::shared_ptr<bool> armed = std::make_shared<bool>(false);
  std::shared_ptr<std::vector<BroydenIterationReport>> seen =
      std::make_shared<std::vector<BroydenIterationReport>>();
  // The values each report showed, copied during the call (the pointer is valid only then).
  std::shared_ptr<std::vector<Eigen::VectorXd>> values =
      std::make_shared<std::vector<Eigen::VectorXd>>();

  BroydenMonitor monitor() const {
    return [*this](const BroydenIterationReport& report) {
      if (!*armed) return true;
      seen->push_back(report);
      values->push_back(*report.values);
      if (report.iteration != iteration) return true;
      if (byThrowing) throw std::runtime_error("host gave up");
      return false;
    };
  }
};

TEST(BroydenMonitor, StopsOrThrowsAtTheFirstMiddleAndLastIterationAndLeavesAFailure) {
  const MildlyNonlinearSystem system;
  BroydenParameters p = quietParameters();
  p.maxIterations = 5;
  p.outputStream = nullptr;
  const Eigen::VectorXd farGuess = Eigen::Vector3d(4.0, -3.0, 5.0);
  const Eigen::VectorXd guess = Eigen::Vector3d(1.6, 0.5, 1.3);

  for (bool byThrowing : {false, true}) {
    for (std::uint64_t stopAt : {0u, 3u, 5u}) {
      SCOPED_TRACE(testing::Message()
                   << (byThrowing ? "throwing" : "stopping") << " at " << stopAt);
      StopAt stop{stopAt, byThrowing};
      BroydenParameters watched = p;
      watched.monitor = stop.monitor();
      Broyden solver(3, 3, watched, system.residual(), system.jacobian());
      // Warm first, so that the stop must drop what the solver held.
      Eigen::VectorXd warmUp = Eigen::Vector3d(1.001, 1.0, 1.0);
      ASSERT_TRUE(solver.solve(warmUp).converged);
      const BroydenInformation& live = solver.solve(warmUp);
      const BroydenInformation before = live;
      {
        // Unwatched, the same solve runs to its limit: every stop below is the monitor's.
        Broyden unwatched = solver;
        Eigen::VectorXd x = farGuess;
        ASSERT_EQ(unwatched.solve(x).termination, BroydenTermination::kIterationLimit);
      }

      *stop.armed = true;
      Eigen::VectorXd x = farGuess;
      const BroydenInformation* record = nullptr;
      if (byThrowing) {
        EXPECT_THROW(solver.solve(x), std::runtime_error);
        EXPECT_TRUE(bitwiseEqual(live, before)) << "a throw leaves the record as it was";
      } else {
        record = &solver.solve(x);
        // The last iteration's answer is not asked: the limit ends the solve there.
        const bool last = stopAt == p.maxIterations;
        EXPECT_EQ(
            record->termination,
            last ? BroydenTermination::kIterationLimit : BroydenTermination::kStoppedByMonitor);
        EXPECT_EQ(record->message,
                  last ? "Maximum number of iterations reached" : "Stopped by the monitor");
        EXPECT_FALSE(record->converged);
        EXPECT_EQ(record->iterations, stopAt);
        EXPECT_EQ(record->residualNorm, stop.seen->back().residualNorm);
      }
      *stop.armed = false;
      EXPECT_EQ(x, farGuess);
      ASSERT_EQ(stop.seen->size(), stopAt + 1);
      for (std::uint64_t i = 0; i < stop.seen->size(); ++i) {
        const BroydenIterationReport& r = (*stop.seen)[i];
        EXPECT_EQ(r.iteration, i);
        // The values shown are where the norm was taken.
        EXPECT_EQ(r.residualNorm, MildlyNonlinearSystem::evaluate((*stop.values)[i]).norm());
        EXPECT_EQ(r.jacobianEvaluations, 0u) << "a warm solve that never refreshes";
      }
      EXPECT_EQ(stop.seen->front().jacobianChange, JacobianChange::kNone);
      if (stopAt > 0) {
        EXPECT_EQ(stop.seen->back().jacobianChange, JacobianChange::kUpdated);
      }

      // Ready for the next solve exactly as after a failure: it evaluates afresh and matches a
      // new solver's solve bit for bit.
      Broyden reference(3, 3, p, system.residual(), system.jacobian());
      Eigen::VectorXd ours = guess;
      Eigen::VectorXd theirs = guess;
      const BroydenInformation& next = solver.solve(ours);
      const BroydenInformation& fresh = reference.solve(theirs);
      EXPECT_EQ(ours, theirs);
      EXPECT_EQ(next.jacobianEvaluations, 1u);
      EXPECT_TRUE(bitwiseEqual(next, fresh));
    }
  }
}

// Each row: the iteration limits of the solver's settings and of its fallbacks, and whether the
// monitor stops every attempt at once. Each attempt starts over from the guess with a fresh
// Jacobian: it is the solve a fresh solver with its settings alone makes, so the counts add up and
// a converging one ends on that solve's root bit for bit. The solver's own settings are back for
// the next solve, also after a fallback threw, which leaves the record and the variables alone.
TEST(BroydenFallbacks, EachFailureStartsTheNextFallbackFromTheGuess) {
  using T = BroydenTermination;
  const MildlyNonlinearSystem system;
  const Eigen::VectorXd guess = MildlyNonlinearSystem::guess();
  struct Row {
    std::vector<std::uint64_t> limits;
    bool monitorStops;
    std::uint64_t used;
    T termination;
  };
  for (const Row& row : {Row{{50, 1}, false, 0, T::kConverged},
                         Row{{1, 50}, false, 1, T::kConverged},
                         Row{{1, 1, 50}, false, 2, T::kConverged},
                         Row{{1, 1, 1}, false, 2, T::kIterationLimit},
                         Row{{1, 50}, true, 0, T::kStoppedByMonitor}}) {
    SCOPED_TRACE(testing::Message()
                 << terminationName(row.termination) << " after " << row.used << " fallbacks");
    std::uint64_t starts = 0, calls = 0, throwAt = 0, firstResiduals = 0;
    auto residual = [&](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
      if (++calls == throwAt) throw std::runtime_error("host");
      system.residual()(x, f);
    };
    auto settings = [&](std::uint64_t limit) {
      BroydenParameters p = quietParameters();
      p.outputStream = nullptr;
      p.maxIterations = limit;
      p.monitor = [&](const BroydenIterationReport& report) {
        starts += report.iteration == 0;
        return !row.monitorStops;
      };
      return p;
    };
    BroydenInformation sums;
    Eigen::VectorXd alone = guess;
    for (std::size_t i = 0; i <= row.used; ++i) {
      Broyden reference(3, 3, settings(row.limits[i]), residual, system.jacobian());
      alone = guess;
      const BroydenInformation& attempt = reference.solve(alone);
      if (i == 0) firstResiduals = attempt.residualEvaluations;
      sums.iterations += attempt.iterations;
      sums.residualEvaluations += attempt.residualEvaluations;
      sums.jacobianEvaluations += attempt.jacobianEvaluations;
    }
    BroydenParameters p = settings(row.limits[0]);
    for (std::size_t i = 1; i < row.limits.size(); ++i)
      p.fallbacks.push_back(settings(row.limits[i]));
    Broyden solver(3, 3, p, residual, system.jacobian());
    for (int solve = 0; solve < 2; ++solve) {
      starts = 0;
      solver.reset();
      Eigen::VectorXd x = guess;
      const BroydenInformation& info = solver.solve(x);
      EXPECT_EQ(info.fallbacksUsed, row.used);
      EXPECT_EQ(info.termination, row.termination);
      EXPECT_EQ(starts, row.used + 1);
      EXPECT_EQ(info.iterations, sums.iterations);
      EXPECT_EQ(info.residualEvaluations, sums.residualEvaluations);
      EXPECT_EQ(info.jacobianEvaluations, sums.jacobianEvaluations);
      EXPECT_TRUE(bitwiseEqual(x, info.converged ? alone : guess));
      if (solve == 0 && row.used > 0) {  // a throw at the first fallback's first trial
        const BroydenInformation before = info;
        x = guess;
        calls = 0;
        throwAt = firstResiduals + 2;
        EXPECT_THROW(solver.solve(x), std::runtime_error);
        EXPECT_TRUE(bitwiseEqual(info, before));
        EXPECT_TRUE(bitwiseEqual(x, guess));
        throwAt = 0;
      }
    }
  }
}

TEST(BroydenOutput, TheProgressLineGoesToTheSolversStreamOrNowhere) {
  const MildlyNonlinearSystem system;
  std::ostringstream mine;
  BroydenParameters p = quietParameters();
  p.outputStream = &mine;
  Broyden solver(3, 3, p, system.residual(), system.jacobian());
  BroydenParameters silent = p;
  silent.outputStream = nullptr;
  Broyden quiet(3, 3, silent, system.residual(), system.jacobian());

  StdoutSilencer out(StdoutSilencer::kCapture);
  Eigen::VectorXd x = Eigen::Vector3d(1.6, 0.5, 1.3);
  const BroydenInformation& info = solver.solve(x);
  std::ostringstream expected;
  expected << "error: " << info.error << " norm: " << info.residualNorm
           << " it: " << info.iterations << " nJ: " << info.jacobianEvaluations << "\n";
  EXPECT_EQ(mine.str(), expected.str());

  // A copy writes where its source does; a silent solver nowhere.
  Broyden copy = solver;
  Eigen::VectorXd y = Eigen::Vector3d(1.5, 0.6, 1.2);
  copy.reset();
  copy.solve(y);
  EXPECT_EQ(mine.str().find(expected.str()), 0u);
  EXPECT_GT(mine.str().size(), expected.str().size());
  Eigen::VectorXd z = Eigen::Vector3d(1.5, 0.6, 1.2);
  EXPECT_TRUE(quiet.solve(z).converged);

  // The indexer's diagnostic for a State of size 0 follows the stream too.
  BroydenParameters endless = p;
  endless.absoluteTolerance = -1.0;  // even a norm of 0 fails: the solve must iterate
  endless.maxIterations = 2;
  std::ostringstream diagnostics;
  endless.outputStream = &diagnostics;
  Broyden empty(
      0,
      0,
      endless,
      [](const auto&, Eigen::VectorXd& f) { f.resize(0); },
      [](const auto&, Eigen::MatrixXd& j) { j.resize(0, 0); });
  State nothing(0);
  empty.solve(nothing);
  EXPECT_EQ(diagnostics.str(),
            "incorrect state size in state indexer !\nincorrect state size in state indexer !\n");
  endless.outputStream = nullptr;
  Broyden emptyQuiet(
      0,
      0,
      endless,
      [](const auto&, Eigen::VectorXd& f) { f.resize(0); },
      [](const auto&, Eigen::MatrixXd& j) { j.resize(0, 0); });
  emptyQuiet.solve(nothing);

  EXPECT_EQ(out.take(), "") << "nothing reached std::cout";
}

}  // namespace
}  // namespace Ondrel::Math::Solvers
