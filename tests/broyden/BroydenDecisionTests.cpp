// The iteration's decisions pinned one by one on scripted residual norms: which step length the
// line search takes and after how many cuts, when it retries or escapes, which reason ends a solve
// and at which iteration, and what the monitor is shown last. The system has one unknown, a
// Jacobian of 1 and no updates (the chord method), so every step is -F; the residual ignores x and
// answers the next scripted value, so that each decision sees exactly the norms a row names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "support/KnownRootSystems.hpp"

namespace Ondrel::Math::Solvers {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Far from zero, so that a step of order one is short against the variables (the growth
// allowance's length penalty then vanishes) and no cap shortens it.
constexpr double kStart = 1e6;

struct Script {
  std::vector<double> norms;
  // Jacobians the callable returns in turn; the last repeats.
  std::vector<double> jacobians{1.0};
};

struct Playback {
  Script script;
  std::size_t residualCalls = 0;
  std::size_t jacobianCalls = 0;
  std::vector<double> points;
};

struct Outcome {
  BroydenInformation information;
  std::vector<BroydenIterationReport> reports;
  std::vector<double> points;
};

Outcome runScript(Script script, BroydenParameters parameters) {
  auto shared = std::make_shared<Playback>();
  shared->script = std::move(script);
  auto reports = std::make_shared<std::vector<BroydenIterationReport>>();
  parameters.outputStream = nullptr;
  parameters.updateMethod = 3;  // no update: H stays the last Jacobian's inverse
  parameters.absoluteTolerance = 1e-30;
  parameters.monitor = [reports](const BroydenIterationReport& r) {
    reports->push_back(r);
    reports->back().values = nullptr;
    return true;
  };
  Broyden solver(
      1,
      1,
      parameters,
      [shared](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
        shared->points.push_back(x(0));
        const std::size_t k = shared->residualCalls++;
        const std::vector<double>& norms = shared->script.norms;
        f(0) = k < norms.size() ? norms[k] : norms.back();
      },
      [shared](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::MatrixXd& j) {
        const std::vector<double>& jacobians = shared->script.jacobians;
        j(0, 0) = jacobians[std::min(shared->jacobianCalls++, jacobians.size() - 1)];
      });
  Eigen::VectorXd x = Eigen::VectorXd::Constant(1, kStart);
  Outcome run;
  run.information = solver.solve(x);
  run.reports = *reports;
  run.points = shared->points;
  return run;
}

BroydenParameters searching(double allowance = 2.0) {
  BroydenParameters p;
  p.stepControl = StepControl::kLineSearch;
  p.residualGrowthAllowance = allowance;
  return p;
}

// Each row scripts ||F|| along a solve and pins the last iteration's search.
TEST(BroydenDecisions, LineSearchAcceptsCutsRetriesAndEscapesAsScripted) {
  struct Row {
    const char* why;
    BroydenParameters parameters;
    std::vector<double> norms;
    std::uint64_t iterations;
    double stepLength;
    std::uint64_t cuts;
    bool restarted;
    bool escaped;
    std::uint64_t jacobians;
  };
  BroydenParameters twoIterations = searching();
  twoIterations.maxIterations = 2;
  BroydenParameters noAllowance = searching(0.0);
  noAllowance.maxIterations = 1;
  BroydenParameters oneIteration = searching();
  oneIteration.maxIterations = 1;
  // A negative allowance admits no growth at all: only sufficient decrease accepts.
  BroydenParameters decreaseOnly = searching(-1.0);
  decreaseOnly.maxIterations = 1;
  BroydenParameters scheduled = searching(0.0);
  scheduled.maxIterations = 2;
  const double climb = 0.5 * 1.7;
  const Row rows[] = {
      {"sufficient decrease at the full step",
       oneIteration,
       {1.0, 0.9},
       1,
       1.0,
       0,
       false,
       false,
       1},
      {"no allowance: a climb to 1.5 is cut to the quadratic model's minimiser 1 / 3.25",
       noAllowance,
       {1.0, 1.5, 0.1},
       1,
       1.0 / 3.25,
       1,
       false,
       false,
       1},
      {"just short of sufficient decrease is cut, by half at most",
       decreaseOnly,
       {1.0, 1.0 - 0.5e-4, 0.1},
       1,
       0.5,
       1,
       false,
       false,
       1},
      {"exactly sufficient decrease is taken",
       decreaseOnly,
       {1.0, 1.0 - 1e-4},
       1,
       1.0,
       0,
       false,
       false,
       1},
      {"a non-finite trial is halved", oneIteration, {1.0, kNaN, 0.5}, 1, 0.5, 1, false, false, 1},
      {"iteration 1 allows growth by 2 / 1^2",
       oneIteration,
       {1.0, 2.9},
       1,
       1.0,
       0,
       false,
       false,
       1},
      {"iteration 2 allows growth by 2 / 2^2 only",
       twoIterations,
       {1.0, 0.5, climb, 0.1},
       2,
       0.25 / (climb * climb - 0.25 + 0.5),
       1,
       false,
       false,
       1},
      {"nothing accepted from the fresh start Jacobian: the whole step, escaped",
       oneIteration,
       {1.0, 9.0, 9.0, 9.0, 9.0, 9.0, 9.0, 9.0},
       1,
       1.0,
       5,
       false,
       true,
       1},
      {"nothing accepted from an old model: a retry from a fresh Jacobian, which clears the "
       "refresh the last iteration scheduled",
       scheduled,
       {1.0, 1e-4, 2e-4, 2e-4, 2e-4, 2e-4, 2e-4, 2e-4, 0.5e-4},
       2,
       1.0,
       5,
       true,
       false,
       2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    const Outcome run = runScript({row.norms, {1.0}}, row.parameters);
    ASSERT_EQ(run.information.iterations, row.iterations);
    ASSERT_EQ(run.reports.size(), row.iterations + 1);
    const BroydenIterationReport& last = run.reports.back();
    EXPECT_DOUBLE_EQ(last.stepLength, row.stepLength);
    EXPECT_EQ(last.stepCuts, row.cuts);
    EXPECT_EQ(last.restarted, row.restarted);
    EXPECT_EQ(last.escaped, row.escaped);
    EXPECT_EQ(run.information.jacobianEvaluations, row.jacobians);
  }
}

TEST(BroydenDecisions, ANegativeStepFactorCapsNothing) {
  BroydenParameters p = searching();
  p.maxIterations = 1;
  p.maxStepFactor = -1.0;
  const Outcome run = runScript({{1.0, 0.5}, {1.0}}, p);
  ASSERT_EQ(run.points.size(), 2u);
  EXPECT_EQ(run.points[1], kStart - 1.0) << "the whole step -F, neither capped nor turned around";
}

// Each row pins the reason a solve ends, the iteration it ends in, its Jacobians, and that the
// monitor was shown that iteration last with the same reason.
TEST(BroydenDecisions, EachExitEndsTheSolveWhereAndWhyItShould) {
  struct Row {
    const char* why;
    BroydenParameters parameters;
    Script script;
    BroydenTermination termination;
    std::uint64_t iterations;
    std::uint64_t jacobians;
  };
  BroydenParameters refreshEveryIteration;
  refreshEveryIteration.refreshCountLimit = 0;
  BroydenParameters fast = refreshEveryIteration;
  fast.failFast = true;
  BroydenParameters stagnantJacobians = refreshEveryIteration;
  stagnantJacobians.stagnationJacobians = 3;
  BroydenParameters stagnantIterations;
  stagnantIterations.stagnationIterations = 3;
  BroydenParameters diverging = refreshEveryIteration;
  diverging.divergenceFactor = 10.0;
  BroydenParameters relative;
  relative.relativeResidualTolerance = 1e-3;
  BroydenParameters limited;
  limited.maxIterations = 2;
  const Row rows[] = {
      {"failFast: a Jacobian that turns singular at a refresh ends the solve there",
       fast,
       {{1.0, 0.5, 0.25}, {1.0, 0.0}},
       BroydenTermination::kSingularJacobian,
       2,
       2},
      {"failFast: a non-finite norm in the middle of a solve",
       fast,
       {{1.0, 0.5, kNaN}, {1.0}},
       BroydenTermination::kNonFinite,
       2,
       1},
      {"three Jacobians in a row without a hundredth off the settled best",
       stagnantJacobians,
       {{1.0, 0.4, 0.4, 0.4, 0.4, 0.4}, {1.0}},
       BroydenTermination::kStagnated,
       5,
       4},
      {"no Jacobian stagnation before the best is half the start's",
       stagnantJacobians,
       {{1.0, 0.6, 0.6, 0.6, 0.6, 0.6, 0.6, 1e-40}, {1.0}},
       BroydenTermination::kConverged,
       7,
       6},
      {"three iterations without a thousandth off the best",
       stagnantIterations,
       {{1.0, 0.5, 0.5, 0.5, 0.5, 0.5}, {1.0}},
       BroydenTermination::kStagnated,
       4,
       1},
      {"a refresh due far above the best",
       diverging,
       {{1.0, 20.0, 30.0}, {1.0}},
       BroydenTermination::kDiverged,
       2,
       1},
      {"the relative tolerance",
       relative,
       {{1.0, 5e-4}, {1.0}},
       BroydenTermination::kConverged,
       1,
       1},
      {"the last iteration is shown with the limit",
       limited,
       {{1.0, 0.9, 0.8}, {1.0}},
       BroydenTermination::kIterationLimit,
       2,
       1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    BroydenParameters p = row.parameters;
    p.stepControl = StepControl::kFullStep;
    const Outcome run = runScript(row.script, p);
    EXPECT_EQ(run.information.termination, row.termination);
    EXPECT_EQ(run.information.iterations, row.iterations);
    EXPECT_EQ(run.information.jacobianEvaluations, row.jacobians);
    ASSERT_FALSE(run.reports.empty());
    EXPECT_EQ(run.reports.size(), row.iterations + 1) << "every iteration shown once";
    EXPECT_EQ(run.reports.back().termination, row.termination);
    EXPECT_EQ(run.reports.back().iteration, row.iterations);
    for (std::size_t i = 0; i + 1 < run.reports.size(); ++i) {
      EXPECT_EQ(run.reports[i].termination, BroydenTermination::kNotSolved);
    }
  }
}

TEST(BroydenDecisions, EveryTerminationHasItsOwnStableName) {
  const BroydenTermination all[] = {BroydenTermination::kNotSolved,
                                    BroydenTermination::kConverged,
                                    BroydenTermination::kAcceptedAtStart,
                                    BroydenTermination::kIterationLimit,
                                    BroydenTermination::kNonFinite,
                                    BroydenTermination::kSingularJacobian,
                                    BroydenTermination::kStoppedByMonitor,
                                    BroydenTermination::kLineSearchFailed,
                                    BroydenTermination::kStagnated,
                                    BroydenTermination::kDiverged};
  std::vector<std::string> names;
  for (BroydenTermination t : all) {
    const std::string name = terminationName(t);
    EXPECT_NE(name, "unknown");
    for (const std::string& other : names) EXPECT_NE(name, other);
    names.push_back(name);
  }
  EXPECT_STREQ(terminationName(BroydenTermination::kStagnated), "stagnated");
  EXPECT_STREQ(terminationName(static_cast<BroydenTermination>(99)), "unknown");
}

}  // namespace
}  // namespace Ondrel::Math::Solvers
