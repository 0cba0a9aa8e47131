// The opt-in line search: far starts that full steps lose, residuals with a domain, full steps
// that are good enough left alone, and the retry from a fresh Jacobian before giving up.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <Eigen/SparseCore>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "support/BitwiseAssertions.hpp"
#include "support/CountedCallables.hpp"
#include "support/KnownRootSystems.hpp"

namespace Ondrel::Math::Solvers {
namespace {

using Ondrel::Math::State;
using Testing::bitwiseEqual;
using Testing::countCalls;
using Testing::MildlyNonlinearSystem;

constexpr double kRootTolerance = 1e-9;
// Unit quaternions stay unit to within a few roundings of each turn.
constexpr double kUnitNormTolerance = 1e-12;

BroydenParameters robustParameters(std::int32_t method = kGoodBroydenOnInverse) {
  BroydenParameters p = BroydenParameters::robust();
  p.updateMethod = method;
  p.outputStream = nullptr;
  return p;
}

// What a monitor saw of a solve: every report's step length, cuts and retry flag.
struct SearchLog {
  std::vector<BroydenIterationReport> reports;
  // Residual evaluations beyond one per iteration: every cut, the first trial of a search that
  // failed and was retried, and the whole step taken after a retry failed too.
  std::uint64_t extraTrials() const {
    std::uint64_t total = 0;
    for (const auto& r : reports) total += r.stepCuts + (r.restarted ? 1 : 0) + (r.escaped ? 1 : 0);
    return total;
  }
};

BroydenMonitor recordInto(const std::shared_ptr<SearchLog>& log) {
  return [log](const BroydenIterationReport& r) {
    log->reports.push_back(r);
    log->reports.back().values = nullptr;
    return true;
  };
}

// Every line-search solve that iterated: one residual evaluation at the start, one per accepted
// step and one per other trial, all of them through the caller's callable; lengths in (0, 1].
void expectConsistentCounts(const BroydenInformation& info,
                            const SearchLog& log,
                            const Testing::CallCounts& counts) {
  EXPECT_EQ(info.residualEvaluations, 1 + info.iterations + log.extraTrials());
  EXPECT_EQ(counts.residual, info.residualEvaluations);
  EXPECT_EQ(counts.jacobian, info.jacobianEvaluations);
  for (const auto& r : log.reports) {
    EXPECT_GT(r.stepLength, 0.0);
    EXPECT_LE(r.stepLength, 1.0);
    if (r.stepCuts == 0) {
      EXPECT_EQ(r.stepLength, 1.0) << "iteration " << r.iteration;
    }
  }
}

// F_i = atan(x_i - r_i): Newton's method diverges from more than about 1.39 away from the root,
// every step overshooting further than the last.
struct ArctanSystem {
  Eigen::Vector3d root{1.0, -2.0, 0.5};
  ResidualFunction residual() const {
    return [r = root](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
      f = (x - r).array().atan().matrix();
    };
  }
  JacobianFunction jacobian() const {
    return [r = root](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::MatrixXd& j) {
      j = (1.0 / (1.0 + (x - r).array().square())).matrix().asDiagonal();
    };
  }
};

TEST(BroydenLineSearch, FarStartsThatFullStepsLoseConverge) {
  const ArctanSystem system;
  const Eigen::Vector3d guess = system.root + Eigen::Vector3d(10.0, -8.0, 12.0);
  for (std::int32_t method : {0, 1, 2}) {
    SCOPED_TRACE(testing::Message() << "method " << method);
    BroydenParameters fullSteps = robustParameters(method);
    fullSteps.stepControl = StepControl::kFullStep;
    Eigen::VectorXd lost = guess;
    Broyden(3, 3, fullSteps, system.residual(), system.jacobian()).solve(lost);
    EXPECT_EQ(lost, guess) << "full steps should fail here, leaving the guess";

    auto log = std::make_shared<SearchLog>();
    BroydenParameters p = robustParameters(method);
    p.monitor = recordInto(log);
    const auto counted = countCalls(system.residual(), system.jacobian());
    Broyden solver(3, 3, p, counted.residual, counted.jacobian);
    Eigen::VectorXd x = guess;
    const BroydenInformation& info = solver.solve(x);
    ASSERT_TRUE(info.converged) << info.message;
    EXPECT_EQ(info.termination, BroydenTermination::kConverged);
    EXPECT_LT((x - system.root).norm(), kRootTolerance);
    EXPECT_GT(log->extraTrials(), 0u);
    expectConsistentCounts(info, *log, *counted.counts);

    // The sparse solver runs the same search: the same iterations, evaluations and root.
    SparseJacobianFunction sparseJacobian = [f = system.jacobian()](
                                                const Eigen::Ref<const Eigen::VectorXd>& v,
                                                Eigen::SparseMatrix<double>& j) {
      Eigen::MatrixXd dense(3, 3);
      f(v, dense);
      j = dense.sparseView();
    };
    BroydenParameters unwatched = p;
    unwatched.monitor = nullptr;
    SparseBroyden sparse(3, 3, unwatched, system.residual(), sparseJacobian);
    Eigen::VectorXd z = guess;
    const BroydenInformation& sparseInfo = sparse.solve(z);
    ASSERT_TRUE(sparseInfo.converged) << sparseInfo.message;
    EXPECT_EQ(sparseInfo.iterations, info.iterations);
    EXPECT_EQ(sparseInfo.residualEvaluations, info.residualEvaluations);
    EXPECT_EQ(sparseInfo.jacobianEvaluations, info.jacobianEvaluations);
    EXPECT_LT((z - system.root).norm(), kRootTolerance);
  }
}

// A body's orientation and the arctangent system on its position, from half a turn away and far
// off: a cut step must turn the quaternion part of the way, keeping it a unit quaternion.
TEST(BroydenLineSearch, FarStateStartConvergesWithTheQuaternionTurnedByFractions) {
  const Testing::PoseSystem pose;
  const Eigen::Quaterniond target = pose.target;
  const Eigen::Vector2d position = pose.position;
  auto unitSeen = std::make_shared<bool>(true);
  ResidualFunction residual = [=](const Eigen::Ref<const Eigen::VectorXd>& v, Eigen::VectorXd& f) {
    if (std::abs(v.head<4>().norm() - 1.0) > kUnitNormTolerance) *unitSeen = false;
    const Eigen::Quaterniond error = Testing::PoseSystem::quaternionOf(v) * target.conjugate();
    f.head<3>() = 2.0 * error.vec();
    f.tail<2>() = (v.segment<2>(4) - position).array().atan().matrix();
  };
  JacobianFunction jacobian = [=](const Eigen::Ref<const Eigen::VectorXd>& v, Eigen::MatrixXd& j) {
    j.setZero();
    j.topLeftCorner<3, 3>() = Testing::PoseSystem::orientationDerivative(
        Testing::PoseSystem::quaternionOf(v) * target.conjugate());
    const Eigen::Vector2d d = v.segment<2>(4) - position;
    j.bottomRightCorner<2, 2>() = (1.0 / (1.0 + d.array().square())).matrix().asDiagonal();
  };

  State start(6);
  const Eigen::Quaterniond q(Eigen::AngleAxisd(2.5, Eigen::Vector3d::UnitZ()));
  start.values << q.w(), q.x(), q.y(), q.z(), position.x() + 9.0, position.y() - 11.0;
  start.addQuaternion(0);

  State lost = start;
  BroydenParameters fullSteps = robustParameters();
  fullSteps.stepControl = StepControl::kFullStep;
  Broyden(6, 5, fullSteps, residual, jacobian).solve(lost);
  EXPECT_EQ(lost.values, start.values) << "full steps should fail here, leaving the State";

  auto log = std::make_shared<SearchLog>();
  BroydenParameters p = robustParameters();
  p.monitor = recordInto(log);
  const auto counted = countCalls(residual, jacobian);
  Broyden solver(6, 5, p, counted.residual, counted.jacobian);
  State state = start;
  const BroydenInformation& info = solver.solve(state);
  ASSERT_TRUE(info.converged) << info.message;
  EXPECT_TRUE(*unitSeen) << "a trial point held a quaternion that was summed, not turned";
  EXPECT_GT(log->extraTrials(), 0u);
  const Eigen::Vector4d found = state.values.head<4>();
  const Eigen::Vector4d expected(target.w(), target.x(), target.y(), target.z());
  EXPECT_LT(std::min((found - expected).norm(), (found + expected).norm()), kRootTolerance);
  EXPECT_LT((state.values.tail<2>() - position).norm(), kRootTolerance);
  // Only the values changed, whichever trial of a cut iteration converged.
  EXPECT_TRUE(state.indexer.needsIndexing);
  EXPECT_TRUE(state.indexer.components.empty());
  expectConsistentCounts(info, *log, *counted.counts);
}

// F_i = log(x_i / c_i) is NaN below zero, and the first Newton step from x = 10 c lands there.
// The residual answers NaN; the step is cut back into the domain and the solve goes on.
TEST(BroydenLineSearch, DomainErrorIsCutBackIntoTheDomain) {
  const Eigen::Vector2d c(2.0, 0.5);
  ResidualFunction residual = [c](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
    f = (x.array() / c.array()).log().matrix();  // NaN for a negative entry
  };
  JacobianFunction jacobian = [](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::MatrixXd& j) {
    j = x.cwiseInverse().asDiagonal();
  };
  const Eigen::Vector2d guess = 10.0 * c;

  Eigen::VectorXd lost = guess;
  BroydenParameters fullSteps = robustParameters();
  fullSteps.stepControl = StepControl::kFullStep;
  fullSteps.failFast = true;
  const BroydenInformation fullStepResult =
      Broyden(2, 2, fullSteps, residual, jacobian).solve(lost);
  EXPECT_EQ(fullStepResult.termination, BroydenTermination::kNonFinite);

  auto log = std::make_shared<SearchLog>();
  BroydenParameters p = robustParameters();
  p.monitor = recordInto(log);
  const auto counted = countCalls(residual, jacobian);
  Broyden solver(2, 2, p, counted.residual, counted.jacobian);
  Eigen::VectorXd x = guess;
  const BroydenInformation& info = solver.solve(x);
  ASSERT_TRUE(info.converged) << info.message;
  EXPECT_LT((x - c).norm(), kRootTolerance);
  ASSERT_FALSE(log->reports.size() < 2);
  EXPECT_GT(log->reports[1].stepCuts, 0u) << "the first step leaves the domain and must be cut";
  for (const auto& r : log->reports) EXPECT_TRUE(std::isfinite(r.residualNorm));
  expectConsistentCounts(info, *log, *counted.counts);

  // A starting point outside the domain leaves nothing to descend from: the solve ends at once.
  Eigen::VectorXd outside = Eigen::Vector2d(-1.0, 1.0);
  const BroydenInformation& refused = solver.solve(outside);
  EXPECT_EQ(refused.termination, BroydenTermination::kNonFinite);
  EXPECT_EQ(refused.message, "Non-finite values encountered in Broyden solver");
  EXPECT_EQ(refused.iterations, 0u);
  EXPECT_EQ(refused.jacobianEvaluations, 0u);
  EXPECT_EQ(outside, Eigen::Vector2d(-1.0, 1.0));
}

// Where every full step lowers ||F|| enough, the line search takes each of them whole: the same
// points are evaluated, in the same order, and the record is the same bit for bit.
TEST(BroydenLineSearch, AcceptableFullStepsAreNeverCut) {
  const MildlyNonlinearSystem system;
  for (std::int32_t method : {0, 1, 2}) {
    SCOPED_TRACE(testing::Message() << "method " << method);
    BroydenParameters searching = robustParameters(method);
    BroydenParameters fullSteps = searching;
    fullSteps.stepControl = StepControl::kFullStep;

    auto pointsOf = [&](const BroydenParameters& p, Eigen::VectorXd& x) {
      auto points = std::make_shared<std::vector<Eigen::VectorXd>>();
      ResidualFunction residual = [points, f = system.residual()](
                                      const Eigen::Ref<const Eigen::VectorXd>& v,
                                      Eigen::VectorXd& out) {
        points->push_back(v);
        f(v, out);
      };
      Broyden solver(3, 3, p, residual, system.jacobian());
      const BroydenInformation info = solver.solve(x);
      return std::make_pair(info, *points);
    };
    Eigen::VectorXd x = Eigen::Vector3d(1.6, 0.5, 1.3);
    Eigen::VectorXd y = x;
    const auto [full, fullPoints] = pointsOf(fullSteps, x);
    const auto [searched, searchedPoints] = pointsOf(searching, y);
    ASSERT_TRUE(full.converged);
    EXPECT_TRUE(bitwiseEqual(full, searched));
    EXPECT_EQ(fullPoints, searchedPoints);
    EXPECT_EQ(x, y);
  }
}

// F(x) = x^2 + 1 has no root; ||F|| is least at 0, where the Newton step is infinite, and the
// residual is undefined beyond |x| = 5. The search walks down to 0 and cannot go on; it retries
// from a fresh Jacobian, and then tries the whole capped step, which leaves the domain: the solve
// gives up, leaving the caller's value alone.
TEST(BroydenLineSearch, FailedSearchRetriesFromAFreshJacobianThenGivesUp) {
  ResidualFunction residual = [](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
    f(0) = std::abs(x(0)) <= 5.0 ? x(0) * x(0) + 1.0 : std::numeric_limits<double>::quiet_NaN();
  };
  JacobianFunction jacobian = [](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::MatrixXd& j) {
    j(0, 0) = 2.0 * x(0);
  };
  auto log = std::make_shared<SearchLog>();
  BroydenParameters p = robustParameters();
  p.monitor = recordInto(log);
  // Allowed to climb, the search would wander about the minimum instead.
  p.residualGrowthAllowance = 0.0;
  const auto counted = countCalls(residual, jacobian);
  Broyden solver(1, 1, p, counted.residual, counted.jacobian);
  Eigen::VectorXd x = Eigen::VectorXd::Constant(1, 3.0);
  const BroydenInformation& info = solver.solve(x);

  EXPECT_FALSE(info.converged);
  EXPECT_EQ(info.termination, BroydenTermination::kLineSearchFailed);
  EXPECT_EQ(info.message, "Line search failed in Broyden solver");
  EXPECT_EQ(x(0), 3.0);
  EXPECT_LT(info.iterations, p.maxIterations);
  EXPECT_TRUE(std::isnan(info.residualNorm)) << "the last trial, the whole step, left the domain";
  EXPECT_EQ(counted.counts->jacobian, info.jacobianEvaluations);
  // The failing iteration is shown last, with its reason: two whole searches of maxStepCuts + 1
  // trials (the first on the updated model, the retry on a fresh one) and the whole step.
  const BroydenIterationReport& last = log->reports.back();
  EXPECT_EQ(last.iteration, info.iterations);
  EXPECT_EQ(last.termination, BroydenTermination::kLineSearchFailed);
  EXPECT_EQ(last.stepCuts, 2 * p.maxStepCuts);
  EXPECT_TRUE(last.restarted);
  EXPECT_TRUE(last.escaped);
  EXPECT_EQ(info.residualEvaluations, 1 + info.iterations + log->extraTrials());
}

}  // namespace
}  // namespace Ondrel::Math::Solvers
