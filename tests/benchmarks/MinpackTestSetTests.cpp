#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <ondrel/broyden/Broyden>
#include <stdexcept>

#include "MinpackResidual.hpp"
#include "MinpackTestSet.hpp"

namespace {

using Ondrel::Benchmarks::ProblemFamily;
using Ondrel::Benchmarks::TestProblem;

// Central differences are accurate to O(h^2) plus rounding of order eps / h: with h about 1e-5
// (relative) both stay near 1e-9 of the Jacobian's norm, while a wrong entry shows at order 1.
constexpr double kRelativeStep = 1e-5;
constexpr double kJacobianTolerance = 1e-6;

Eigen::MatrixXd centralDifferences(const TestProblem& problem, const Eigen::VectorXd& x) {
  const Eigen::Index m = problem.size();
  Eigen::MatrixXd j(m, m);
  Eigen::VectorXd plus(m);
  Eigen::VectorXd minus(m);
  for (Eigen::Index c = 0; c < m; ++c) {
    const double h = kRelativeStep * std::max(1.0, std::abs(x(c)));
    Eigen::VectorXd shifted = x;
    shifted(c) = x(c) + h;
    problem.residual(shifted, plus);
    shifted(c) = x(c) - h;
    problem.residual(shifted, minus);
    j.col(c) = (plus - minus) / (2.0 * h);
  }
  return j;
}

// A point off the start, so that entries which vanish at a symmetric start (Watson's zero x0,
// the constant starts) are checked too.
Eigen::VectorXd offsetPoint(const TestProblem& problem) {
  const Eigen::Index m = problem.size();
  Eigen::VectorXd offset(m);
  for (Eigen::Index i = 0; i < m; ++i) offset(i) = 0.05 * std::sin(1.0 + 3.0 * i);
  return problem.start() + offset;
}

TEST(TestProblemJacobians, AgreeWithCentralDifferencesAtStartAndNearby) {
  for (const TestProblem& problem : Ondrel::Benchmarks::standardTestSet()) {
    for (const Eigen::VectorXd& x : {problem.start(), offsetPoint(problem)}) {
      Eigen::MatrixXd analytic(problem.size(), problem.size());
      problem.jacobian(x, analytic);
      const Eigen::MatrixXd numeric = centralDifferences(problem, x);
      const double scale = std::max(1.0, numeric.norm());
      EXPECT_LT((analytic - numeric).norm() / scale, kJacobianTolerance)
          << problem.name() << " at " << x.transpose();
    }
  }
}

// The residual template computes the test set's residual, and its automatic Jacobian is the
// hand-written one up to rounding: the automatic side of the benchmark compares like with like.
TEST(TestProblemJacobians, AutomaticEqualsHandWrittenOnEveryProblem) {
  // Rounding of sums of a few dozen terms, and of Watson's 29-point sums, relative to the norm.
  constexpr double kRoundingTolerance = 1e-12;
  for (const TestProblem& problem : Ondrel::Benchmarks::standardTestSet()) {
    const auto system = Ondrel::Math::Solvers::automaticJacobian(
        Ondrel::Benchmarks::MinpackResidual{problem}, problem.size());
    for (const Eigen::VectorXd& x : {problem.start(), offsetPoint(problem)}) {
      Eigen::VectorXd expected(problem.size());
      Eigen::VectorXd residual(problem.size());
      problem.residual(x, expected);
      system.residual(x, residual);
      EXPECT_LE((residual - expected).norm(), kRoundingTolerance * std::max(1.0, expected.norm()))
          << problem.name();
      Eigen::MatrixXd hand(problem.size(), problem.size());
      Eigen::MatrixXd automatic;
      problem.jacobian(x, hand);
      system.jacobian(x, automatic);
      EXPECT_LE((automatic - hand).norm(), kRoundingTolerance * std::max(1.0, hand.norm()))
          << problem.name() << " at " << x.transpose();
    }
  }
}

// The Jacobian test cannot see a residual that is wrong together with its Jacobian; the known
// roots of the collection can.
TEST(TestProblemResiduals, VanishAtKnownRoots) {
  constexpr double kRootTolerance = 1e-12;  // exact roots, evaluated in a few operations
  struct KnownRoot {
    ProblemFamily family;
    Eigen::Index m;
    Eigen::VectorXd root;
  };
  const KnownRoot roots[] = {
      {ProblemFamily::Rosenbrock, 2, Eigen::VectorXd::Ones(2)},
      {ProblemFamily::PowellSingular, 4, Eigen::VectorXd::Zero(4)},
      {ProblemFamily::Wood, 4, Eigen::VectorXd::Ones(4)},
      {ProblemFamily::HelicalValley, 3, Eigen::Vector3d(1.0, 0.0, 0.0)},
      {ProblemFamily::BrownAlmostLinear, 10, Eigen::VectorXd::Ones(10)},
      {ProblemFamily::VariablyDimensioned, 10, Eigen::VectorXd::Ones(10)},
      {ProblemFamily::Trigonometric, 10, Eigen::VectorXd::Zero(10)},
      // Chebyquad with one node has its root at the midpoint.
      {ProblemFamily::Chebyquad, 1, Eigen::VectorXd::Constant(1, 0.5)},
  };
  for (const KnownRoot& known : roots) {
    const TestProblem problem(known.family, known.m);
    Eigen::VectorXd f(known.m);
    problem.residual(known.root, f);
    EXPECT_LT(f.norm(), kRootTolerance) << problem.name();
  }
  // Powell badly scaled: the root has x1 x2 = 1e-4 exactly when the second equation holds.
  const TestProblem powell(ProblemFamily::PowellBadlyScaled, 2);
  Eigen::VectorXd f(2);
  powell.residual(Eigen::Vector2d(1e-4, 1.0), f);
  EXPECT_DOUBLE_EQ(f(0), 0.0);
}

TEST(TestProblemStarts, ScaleTheStandardPointAndReplaceAZeroOne) {
  const TestProblem rosenbrock(ProblemFamily::Rosenbrock, 2);
  EXPECT_EQ(rosenbrock.start(), Eigen::Vector2d(-1.2, 1.0));
  EXPECT_EQ(rosenbrock.start(100.0), Eigen::Vector2d(-120.0, 100.0));
  // Watson starts at zero, so 10 x0 is the constant 10 rather than zero again.
  const TestProblem watson(ProblemFamily::Watson, 6);
  EXPECT_TRUE(watson.start().isZero(0.0));
  EXPECT_EQ(watson.start(10.0), Eigen::VectorXd::Constant(6, 10.0));

  const auto set = Ondrel::Benchmarks::standardTestSet();
  EXPECT_EQ(set.size(), 22u);
  EXPECT_EQ(set[6].name(), "Watson 9");

  EXPECT_THROW(TestProblem(ProblemFamily::Wood, 3), std::invalid_argument);
  EXPECT_THROW(TestProblem(ProblemFamily::Watson, 32), std::invalid_argument);
  EXPECT_THROW(TestProblem(ProblemFamily::BroydenBanded, 0), std::invalid_argument);
}

}  // namespace
