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

// Each row scripts ||F|| along one trust-region iteration from F = 1, where d = -1 and the first
// radius is |d|, and pins the steps tried in turn.
TEST(BroydenDecisions, TrustRegionAcceptsOnThePredictedDecreaseAndHalvesTheRadius) {
  struct Row {
    const char* why;
    std::vector<double> norms;
    std::vector<double> steps;
    std::uint64_t cuts;
    double stepLength;
  };
  BroydenParameters p;
  p.stepControl = StepControl::kTrustRegion;
  p.maxIterations = 1;
  p.residualGrowthAllowance = 0.0;
  const Row rows[] = {
      {"19 % of the predicted decrease is accepted", {1.0, 0.9}, {-1.0}, 0, 1.0},
      {"less than 1e-4 of it: the radius halves from the step",
       {1.0, 1.0 - 1e-5, 0.5},
       {-1.0, -0.5},
       1,
       0.5},
      {"a non-finite trial is rejected alike", {1.0, kNaN, 0.5}, {-1.0, -0.5}, 1, 0.5},
      {"at half the step 0.75 is predicted: 1.01e-4 of it is accepted",
       {1.0, 2.0, std::sqrt(1.0 - 0.76e-4)},
       {-1.0, -0.5},
       1,
       0.5},
      {"at half the step 0.99e-4 of it is not",
       {1.0, 2.0, std::sqrt(1.0 - 0.74e-4), 0.1},
       {-1.0, -0.5, -0.25},
       2,
       0.25},
      {"nothing accepted from a fresh Jacobian: the line search along d takes over",
       {1.0, 2.0, 2.0, 2.0, 2.0, 2.0, 2.0, 0.9},
       {-1.0, -0.5, -0.25, -0.125, -0.0625, -0.03125, -1.0},
       5,
       1.0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    const Outcome run = runScript({row.norms, {1.0}}, p);
    ASSERT_EQ(run.points.size(), row.steps.size() + 1);
    for (std::size_t i = 0; i < row.steps.size(); ++i) {
      EXPECT_DOUBLE_EQ(run.points[i + 1] - kStart, row.steps[i]) << "trial " << i;
    }
    const BroydenIterationReport& last = run.reports.back();
    EXPECT_EQ(last.stepCuts, row.cuts);
    EXPECT_DOUBLE_EQ(last.stepLength, row.stepLength);
    EXPECT_FALSE(last.escaped);
  }
}

// A singular J makes d infinite and, with no cap, the radius too: halving cannot shrink it, so
// the one rejected trial hands over to the line search instead of cutting for ever.
TEST(BroydenDecisions, AnInfiniteRadiusEndsTheTrustRegionSearch) {
  BroydenParameters p;
  p.stepControl = StepControl::kTrustRegion;
  p.maxIterations = 1;
  p.maxStepFactor = std::numeric_limits<double>::quiet_NaN();
  p.maxStepCuts = std::numeric_limits<std::uint64_t>::max();
  const Outcome run = runScript({{1.0, 2.0, 0.5}, {0.0}}, p);
  EXPECT_EQ(run.points.size(), 3u) << "the start, one trust trial, one line search trial";
  EXPECT_EQ(run.reports.back().stepCuts, 0u);
}

// On F(x) = A x - b, A = diag(1, 10), b = (1, 1), from 0 with unit scales, the first radius is
// maxStepFactor: the dogleg takes d = (1, 0.1) inside it, the steepest descent direction
// (1, 10) cut to it short of the Cauchy point c = 101/10001 (1, 10), and between the two the
// point of the segment from c to d at the radius.
TEST(BroydenDecisions, TheDoglegStepsToNewtonCauchyOrTheSegmentBetween) {
  const Eigen::Vector2d d(1.0, 0.1);
  const Eigen::Vector2d c = Eigen::Vector2d(1.0, 10.0) * (101.0 / 10001.0);
  for (double radius : {2.0, 0.05, 0.5}) {
    SCOPED_TRACE(radius);
    auto trial = std::make_shared<std::vector<Eigen::Vector2d>>();
    BroydenParameters p;
    p.outputStream = nullptr;
    p.stepControl = StepControl::kTrustRegion;
    p.maxIterations = 1;
    p.maxStepFactor = radius;
    p.variableScales = Eigen::Vector2d(1.0, 1.0);
    Broyden solver(
        2,
        2,
        p,
        [trial](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
          trial->push_back(x);
          f = Eigen::Vector2d(x(0) - 1.0, 10.0 * x(1) - 1.0);
        },
        [](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::MatrixXd& j) {
          j = Eigen::Vector2d(1.0, 10.0).asDiagonal();
        });
    Eigen::VectorXd x = Eigen::Vector2d::Zero();
    solver.solve(x);
    ASSERT_GE(trial->size(), 2u);
    const Eigen::Vector2d step = (*trial)[1];
    if (radius > d.norm()) {
      EXPECT_NEAR((step - d).norm(), 0.0, 1e-14);
    } else if (radius < c.norm()) {
      EXPECT_NEAR((step - radius * c.normalized()).norm(), 0.0, 1e-14);
    } else {
      EXPECT_NEAR(step.norm(), radius, 1e-14);
      const Eigen::Vector2d along = d - c, off = step - c;
      EXPECT_NEAR(along.x() * off.y() - along.y() * off.x(), 0.0, 1e-14) << "on the segment";
      EXPECT_GT(off.dot(along), 0.0);
      EXPECT_LT(off.norm(), along.norm());
    }
  }
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
