#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <sstream>
#include <vector>

#include "support/CountedCallables.hpp"
#include "support/KnownRootSystems.hpp"
#include "support/ScriptedNorms.hpp"
#include "support/StdoutSilencer.hpp"

namespace Ondrel::Math::Solvers {
namespace {

using Ondrel::Testing::countCalls;
using Ondrel::Testing::CountedCallables;
using Ondrel::Testing::LinearSystem;
using Ondrel::Testing::MildlyNonlinearSystem;
using Ondrel::Testing::noRefreshParameters;
using Ondrel::Testing::ScriptedNorms;
using Ondrel::Testing::StdoutSilencer;

// Far above the rounding of a 3 x 3 solve, far below any real disagreement.
constexpr double kRootTolerance = 1e-9;

std::string progressLine(double error, double norm, std::uint64_t it, std::uint64_t nJ) {
  std::ostringstream line;
  line << "error: " << error << " norm: " << norm << " it: " << it << " nJ: " << nJ << "\n";
  return line.str();
}

TEST(BroydenWarmStart, LinearSystemConvergesInOneIterationThenReusesHeldJacobian) {
  const CountedCallables system = countCalls(LinearSystem::residual(), LinearSystem::jacobian());
  Broyden solver(3, 3, noRefreshParameters(), system.residual, system.jacobian);

  StdoutSilencer output(StdoutSilencer::kCapture);
  Eigen::VectorXd x = Eigen::VectorXd::Zero(3);
  const BroydenInformation& first = solver.solve(x);
  const std::string firstOutput = output.take();

  EXPECT_TRUE(first.converged);
  EXPECT_EQ(first.iterations, 1u);
  EXPECT_EQ(first.jacobianEvaluations, 1u);
  EXPECT_TRUE(first.message.empty());
  EXPECT_LT((x - LinearSystem::root()).norm(), kRootTolerance);
  const double finalNorm = LinearSystem::evaluate(x).norm();
  EXPECT_EQ(firstOutput, progressLine(first.error, finalNorm, 1, 1));

  Eigen::VectorXd y = Eigen::Vector3d(5.0, -3.0, 2.0);
  const BroydenInformation& second = solver.solve(y);
  const std::string secondOutput = output.take();
  EXPECT_EQ(&first, &second) << "every solve reports through the solver's own record";
  EXPECT_TRUE(second.converged);
  EXPECT_EQ(second.iterations, 1u);
  EXPECT_EQ(second.jacobianEvaluations, 0u);
  EXPECT_EQ(system.counts->jacobian, 1u);
  EXPECT_LT((y - LinearSystem::root()).norm(), kRootTolerance);
  EXPECT_NE(secondOutput.find(" it: 1 nJ: 0\n"), std::string::npos) << secondOutput;
}

TEST(BroydenWarmStart, ProgressLineFollowsTheStreamFormat) {
  const CountedCallables system = countCalls(LinearSystem::residual(), LinearSystem::jacobian());
  Broyden solver(3, 3, noRefreshParameters(), system.residual, system.jacobian);
  Eigen::VectorXd x = Eigen::VectorXd::Zero(3);
  const auto oldPrecision = std::cout.precision(12);
  StdoutSilencer capture(StdoutSilencer::kCapture);
  const BroydenInformation& info = solver.solve(x);
  const std::string output = capture.take();
  std::cout.precision(oldPrecision);
  std::ostringstream expected;
  expected.precision(12);
  expected << "error: " << info.error << " norm: " << LinearSystem::evaluate(x).norm()
           << " it: 1 nJ: 1\n";
  EXPECT_EQ(output, expected.str());
}

// One case of the refresh schedule: the residual norms of one solve, or of a converged solve and
// a warm one after it, and the Jacobian evaluations they must cause, each given as the number of
// residual evaluations made before it. A refresh scheduled by iteration k is made by iteration
// k + 1, after its residual: so in a cold solve, a Jacobian evaluated after residual k + 2 was
// scheduled by iteration k.
struct RefreshCase {
  const char* rule;
  std::uint64_t refreshCountLimit;
  std::uint64_t maxIterations;
  int solves;
  std::vector<double> norms;
  std::vector<std::size_t> jacobianAfterResiduals;
};

// start, start / ratios[0], start / ratios[0] / ratios[1], ...
std::vector<double> dividedBy(double start, std::initializer_list<double> ratios) {
  std::vector<double> norms{start};
  for (double ratio : ratios) norms.push_back(norms.back() / ratio);
  return norms;
}

TEST(BroydenRefreshSchedule, EachRuleRefreshesExactlyWhenItSays) {
  // Every case ends by the iteration limit, except the converged first solve of a pair, which
  // reaches a norm of 0. refreshReductionRatio 1000, goodReductionRatio 2.
  // clang-format off
  const RefreshCase cases[] = {
      {"good iterations reach the limit, poor ones are counted apart", 2, 6, 1,
       dividedBy(50.0, {3.0, 1.5, 1.2, 4.0, 1.01, 1.01}), {1, 6}},
      {"one poor iteration more than the limit", 2, 6, 1,
       dividedBy(50.0, {3.0, 1.5, 1.2, 1.1, 1.01, 1.01}), {1, 6}},
      {"a reduction ratio of exactly goodReductionRatio is a good one", 2, 4, 1,
       {64.0, 32.0, 16.0, 8.0, 4.0}, {1, 4}},
      {"a reduction above refreshReductionRatio refreshes at once", 1000, 3, 1,
       {1.0, 1e-4, 0.5e-4, 0.25e-4}, {1, 3}},
      {"and that refresh resets both counts", 2, 7, 1,
       {1e6, 5e5, 4.5e5, 45.0, 22.5, 20.0, 19.0, 18.0}, {1, 5}},
      {"a limit of 0 refreshes after every iteration", 0, 3, 1,
       {1.0, 0.9, 0.8, 0.7}, {1, 3, 4}},
      {"the counts start afresh in every solve", 2, 5, 2,
       {10.0, 5.0, 4.5, 4.0, 0.0, 10.0, 5.0, 4.5, 4.0, 3.9, 3.8}, {1, 11}},
      // The warm solve inherits the first one's Jacobian: norm 100 is not above 100; 150 is,
      // and refreshes it; 140 and 200 are, but the solve has evaluated a Jacobian of its own.
      {"an inherited Jacobian is dropped once the norm is above 100", 1000, 6, 2,
       {1.0, 0.0, 99.0, 100.0, 90.0, 150.0, 140.0, 200.0, 190.0}, {1, 7}},
  };
  // clang-format on
  for (const RefreshCase& c : cases) {
    SCOPED_TRACE(c.rule);
    BroydenParameters p = noRefreshParameters(3);  // no update: the norms do not depend on x
    p.absoluteTolerance = 1e-30;
    p.refreshReductionRatio = 1000.0;
    p.goodReductionRatio = 2.0;
    p.refreshCountLimit = c.refreshCountLimit;
    p.maxIterations = c.maxIterations;
    const ScriptedNorms script(c.norms);
    Broyden solver(2, 2, p, script.residual(), script.jacobian());
    const StdoutSilencer silence;
    std::size_t evaluationsBefore = 0;
    const BroydenInformation* last = nullptr;
    for (int solve = 1; solve <= c.solves; ++solve) {
      evaluationsBefore = script.jacobianLog->size();
      Eigen::VectorXd x = Eigen::VectorXd::Zero(2);
      last = &solver.solve(x);
      EXPECT_EQ(last->converged, solve < c.solves) << "solve " << solve;
    }
    EXPECT_EQ(*script.jacobianLog, c.jacobianAfterResiduals);
    EXPECT_EQ(script.counts->residual, c.norms.size()) << "the script must be run to its end";
    EXPECT_EQ(last->iterations, c.maxIterations);
    EXPECT_EQ(last->message, "Maximum number of iterations reached");
    EXPECT_EQ(last->jacobianEvaluations, script.jacobianLog->size() - evaluationsBefore);
  }
}

// Two unit vectors orthogonal to u and to each other.
std::array<Eigen::Vector3d, 2> orthogonalTo(const Eigen::Vector3d& u) {
  const Eigen::Vector3d first = u.cross(Eigen::Vector3d(0.3, -0.5, 0.8)).normalized();
  return {first, u.cross(first).normalized()};
}

// The inverse the solver holds after one update, observed through what it does. On
// F(x) = A x - b from the root plus e0, with a Jacobian callable that hands out
// J0 = 2 A + u e1^T (wrong, but J0 e0 = 2 A e0), the first step halves F: s = -e0 / 2 and
// y = F1 - F0 = -F1. Any update that meets the secant condition H1 y = s then makes the second
// step, -H1 F1 = H1 y, land on the root, so the solve converges in two iterations on that one
// update. A copy of the converged solver holds H1, and a warm solve of the copy from a point
// where F is r begins with the step -H1 r: probing with chosen r tests the updated inverse in
// every direction, against what each method promises besides the secant condition.
TEST(BroydenUpdate, EachMethodMeetsTheSecantConditionAndTerminatesOnALinearSystem) {
  // Rounding of 3 x 3 products with entries of order one, far below any wrong update.
  constexpr double kStepTolerance = 1e-12;
  const Eigen::Matrix3d a = LinearSystem::matrix();
  const Eigen::Vector3d root = Eigen::Vector3d::Ones();
  const Eigen::Vector3d b = a * root;  // exact: small integers and halves
  Eigen::Matrix3d initialJacobian = 2.0 * a;
  initialJacobian.col(1) += Eigen::Vector3d(0.7, -0.4, 1.1);

  auto points = std::make_shared<std::vector<Eigen::Vector3d>>();
  auto residuals = std::make_shared<std::vector<Eigen::Vector3d>>();
  const ResidualFunction residual =
      [a, b, points, residuals](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
        f = a * x - b;
        points->push_back(x);
        residuals->push_back(f);
      };
  const JacobianFunction jacobian = [initialJacobian](const Eigen::Ref<const Eigen::VectorXd>&,
                                                      Eigen::MatrixXd& j) { j = initialJacobian; };
  const StdoutSilencer silence;

  for (int method : {0, 1, 2}) {
    SCOPED_TRACE(testing::Message() << "method " << method);
    points->clear();
    residuals->clear();
    Broyden solver(3, 3, noRefreshParameters(method), residual, jacobian);
    Eigen::VectorXd x = root + Eigen::Vector3d::UnitX();
    const BroydenInformation& info = solver.solve(x);
    ASSERT_TRUE(info.converged);
    EXPECT_EQ(info.iterations, 2u);
    EXPECT_EQ(info.jacobianEvaluations, 1u);
    EXPECT_LT((x - root).norm(), kRootTolerance);
    const Eigen::Vector3d s = (*points)[1] - (*points)[0];
    const Eigen::Vector3d y = (*residuals)[1] - (*residuals)[0];

    // The first step of a warm solve on a copy, from the point where F is r.
    auto expectFirstStep = [&](const Eigen::Vector3d& r, const Eigen::Vector3d& expected) {
      Broyden probe = solver;
      points->clear();
      Eigen::VectorXd start = root + a.partialPivLu().solve(r);
      probe.solve(start);
      ASSERT_GE(points->size(), 2u);
      const Eigen::Vector3d step = (*points)[1] - (*points)[0];
      EXPECT_LT((step - expected).norm(), kStepTolerance * expected.norm())
          << "step " << step.transpose() << ", expected " << expected.transpose();
    };
    expectFirstStep(y, -s);
    if (method == 2) {
      // The bad update changes the inverse along y only: H1 w = H0 w for w orthogonal to y.
      // (Methods 0 and 1 are the one good update, made on J and on H: one promise for both.)
      for (const Eigen::Vector3d& w : orthogonalTo(y)) {
        expectFirstStep(w, -initialJacobian.partialPivLu().solve(w));
      }
    } else {
      // The good update changes the Jacobian along s only: J1 v = J0 v for v orthogonal to s,
      // so H1 (J0 v) = v.
      for (const Eigen::Vector3d& v : orthogonalTo(s)) expectFirstStep(initialJacobian * v, -v);
    }

    // Later updates: on a linear system of n equations the secant methods terminate within 2n
    // iterations (Gay, 1979), from any Jacobian they start with. A chord step anywhere on the
    // way, or a wrong later update, leaves them converging linearly, far slower.
    Eigen::Matrix3d poorJacobian = a;
    poorJacobian.row(0) += Eigen::RowVector3d(0.9, -0.6, 0.4);
    poorJacobian.row(2) -= Eigen::RowVector3d(0.3, 0.8, -0.5);
    Broyden secant(3,
                   3,
                   noRefreshParameters(method),
                   residual,
                   [poorJacobian](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::MatrixXd& j) {
                     j = poorJacobian;
                   });
    Eigen::VectorXd z = root + Eigen::Vector3d(0.8, -0.6, 0.4);
    const BroydenInformation& terminated = secant.solve(z);
    EXPECT_TRUE(terminated.converged);
    EXPECT_LE(terminated.iterations, 6u);
    EXPECT_LT((z - root).norm(), kRootTolerance);
  }
}

TEST(BroydenUpdate, UnknownMethodKeepsTheFirstJacobian) {
  // With no refreshes and an unknown method the iteration is a chord method: slower, but it
  // still gets there, and never evaluates a second Jacobian.
  const CountedCallables system =
      countCalls(MildlyNonlinearSystem::residual(), MildlyNonlinearSystem::jacobian());
  Broyden chord(3, 3, noRefreshParameters(7), system.residual, system.jacobian);
  Eigen::VectorXd x = Eigen::Vector3d(1.1, 0.9, 1.05);
  const StdoutSilencer silence;
  const BroydenInformation& info = chord.solve(x);
  EXPECT_TRUE(info.converged);
  EXPECT_EQ(system.counts->jacobian, 1u);
  EXPECT_GT(info.iterations, 3u);
}

TEST(BroydenExits, ImmediateSuccessKeepsThePreviousSolvesRecord) {
  const CountedCallables system = countCalls(LinearSystem::residual(), LinearSystem::jacobian());
  BroydenParameters p = noRefreshParameters();
  p.maxIterations = 0;
  Broyden solver(3, 3, p, system.residual, system.jacobian);

  // maxIterations 0: the Jacobian is still evaluated, then the solve fails at once.
  Eigen::VectorXd guess = Eigen::Vector3d(1.0, 2.0, 3.0);
  const Eigen::VectorXd original = guess;
  StdoutSilencer output(StdoutSilencer::kCapture);
  const BroydenInformation& failed = solver.solve(guess);
  EXPECT_EQ(output.take(), "");
  EXPECT_FALSE(failed.converged);
  EXPECT_EQ(failed.iterations, 0u);
  EXPECT_EQ(failed.jacobianEvaluations, 1u);
  EXPECT_EQ(failed.error, 0.0);
  EXPECT_EQ(failed.message, "Maximum number of iterations reached");
  EXPECT_EQ(guess, original);

  // A guess exactly at the tolerance is accepted: the boundary is inclusive at the start.
  Eigen::VectorXd root = LinearSystem::root();
  const BroydenInformation& accepted = solver.solve(root);
  EXPECT_EQ(output.take(), "");
  EXPECT_TRUE(accepted.converged);
  EXPECT_EQ(accepted.iterations, 0u);
  EXPECT_EQ(accepted.jacobianEvaluations, 1u);
  EXPECT_EQ(accepted.message, "Maximum number of iterations reached");
  EXPECT_EQ(system.counts->jacobian, 1u);
}

TEST(BroydenExits, ZeroToleranceNeverConverges) {
  BroydenParameters p = noRefreshParameters();
  p.absoluteTolerance = 0.0;
  p.maxIterations = 4;
  Broyden solver(3, 3, p, LinearSystem::residual(), LinearSystem::jacobian());
  Eigen::VectorXd x = Eigen::Vector3d(1.0, 1.0, 1.0);
  const Eigen::VectorXd guess = x;
  const BroydenInformation& info = solver.solve(x);
  EXPECT_FALSE(info.converged);
  EXPECT_EQ(info.iterations, 4u);
  EXPECT_EQ(x, guess);
  // A guess whose residual is exactly zero is still accepted.
  Eigen::VectorXd exact = Eigen::VectorXd::Zero(3);
  Broyden homogeneous(
      3,
      3,
      p,
      [](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) { f = 2.0 * x; },
      {});
  EXPECT_TRUE(homogeneous.solve(exact).converged);
}

TEST(BroydenExits, NonFiniteValuesAreReportedNotThrown) {
  BroydenParameters p = noRefreshParameters();
  p.maxIterations = 5;

  // A residual that turns NaN for good.
  auto calls = std::make_shared<int>(0);
  Broyden nanSolver(
      2,
      2,
      p,
      [calls](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
        f = x - Eigen::Vector2d(1.0, 2.0);
        if ((*calls)++ > 1) f(0) = std::numeric_limits<double>::quiet_NaN();
      },
      [](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::MatrixXd& j) {
        j = 0.5 * Eigen::Matrix2d::Identity();
      });
  Eigen::VectorXd x = Eigen::VectorXd::Zero(2);
  const BroydenInformation& info = nanSolver.solve(x);
  EXPECT_FALSE(info.converged);
  EXPECT_EQ(info.iterations, 5u);
  EXPECT_EQ(info.message, "Non-finite values encountered in Broyden solver");
  EXPECT_EQ(x, Eigen::VectorXd::Zero(2));

  // A singular Jacobian gives an inverse with non-finite entries.
  Broyden singular(
      2,
      2,
      p,
      [](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
        f = x - Eigen::Vector2d(1.0, 2.0);
      },
      [](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::MatrixXd& j) { j.setZero(); });
  const BroydenInformation& singularInfo = singular.solve(x);
  EXPECT_FALSE(singularInfo.converged);
  EXPECT_EQ(singularInfo.message, "Non-finite values encountered in Broyden solver");

  // A NaN residual in one iteration only: the iteration goes on and the last norm decides.
  auto once = std::make_shared<int>(0);
  p.updateMethod = 3;
  Broyden transient(
      2,
      2,
      p,
      [once](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::VectorXd& f) {
        f = Eigen::Vector2d(1.0, 1.0);
        if ((*once)++ == 2) f(1) = std::numeric_limits<double>::quiet_NaN();
      },
      [](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::MatrixXd& j) {
        j = Eigen::Matrix2d::Identity();
      });
  Eigen::VectorXd z = Eigen::VectorXd::Zero(2);
  const BroydenInformation& transientInfo = transient.solve(z);
  EXPECT_FALSE(transientInfo.converged);
  EXPECT_EQ(transientInfo.iterations, 5u);
  EXPECT_EQ(transientInfo.message, "Maximum number of iterations reached");
}

TEST(BroydenExits, NormBetweenToleranceAndTenfoldNeedsSmallWeightedStep) {
  // F(x) = x - r, evaluated with an offset so that the final norm sits at 5 tol.
  constexpr double kTolerance = 1e-6;
  const Eigen::Vector2d offset(3.0 * kTolerance, 4.0 * kTolerance);  // norm 5 tol
  BroydenParameters p = noRefreshParameters(3);
  p.absoluteTolerance = kTolerance;
  p.maxIterations = 3;
  auto residual = [offset](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
    f = x - Eigen::Vector2d(1.0, 1.0);
    if ((x - Eigen::Vector2d(1.0, 1.0)).norm() < 1e-12) f = offset;
  };
  auto identity = [](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::MatrixXd& j) {
    j = Eigen::Matrix2d::Identity();
  };

  // A generous relative tolerance makes the weighted step small: accepted in one iteration.
  p.relativeTolerance = 1.0;
  Broyden accepting(2, 2, p, residual, identity);
  Eigen::VectorXd x = Eigen::Vector2d(1.5, 1.5);
  const StdoutSilencer silence;
  EXPECT_TRUE(accepting.solve(x).converged);

  // A strict one makes the same step large: 5 tol is then not good enough.
  p.relativeTolerance = 0.0;
  Broyden refusing(2, 2, p, residual, identity);
  Eigen::VectorXd y = Eigen::Vector2d(1.5, 1.5);
  const BroydenInformation& info = refusing.solve(y);
  EXPECT_FALSE(info.converged);
  EXPECT_GT(info.error, 1.0);
}

}  // namespace
}  // namespace Ondrel::Math::Solvers
