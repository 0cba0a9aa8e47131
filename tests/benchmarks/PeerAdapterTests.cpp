// Each peer adapter solves one problem, so that a broken adapter shows here and not as a silent
// row of failures in the report.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <stdexcept>

#include "MinpackTestSet.hpp"
#ifdef ONDREL_HAVE_GSL
#include "GslSolvers.hpp"
#endif
#ifdef ONDREL_HAVE_MINPACK
#include "MinpackHybrj1.hpp"
#endif

namespace {

using Ondrel::Benchmarks::PeerOutcome;
using Ondrel::Benchmarks::ProblemFamily;
using Ondrel::Benchmarks::TestProblem;

constexpr double kSolved = 1e-8;      // the benchmark's common criterion
constexpr double kTolerance = 1e-10;  // handed to the peers
constexpr std::uint64_t kIterations = 1000;

// The returned point must be the one reported: its residual is evaluated here afresh.
void expectSolved(const TestProblem& problem,
                  const PeerOutcome& outcome,
                  const Eigen::VectorXd& x) {
  Eigen::VectorXd f(problem.size());
  problem.residual(x, f);
  EXPECT_TRUE(outcome.converged);
  EXPECT_LE(outcome.residualNorm, kSolved);
  EXPECT_DOUBLE_EQ(outcome.residualNorm, f.norm());
  EXPECT_GT(outcome.residualEvaluations, 1u);
}

#ifdef ONDREL_HAVE_MINPACK
TEST(MinpackHybrj1Adapter, SolvesBroydenTridiagonalAndCountsBothCallbacks) {
  const TestProblem problem(ProblemFamily::BroydenTridiagonal, 10);
  Ondrel::Benchmarks::MinpackHybrj1 solver(10, kTolerance);
  Eigen::VectorXd x = problem.start();
  const PeerOutcome outcome = solver.solve(problem, x);
  expectSolved(problem, outcome, x);
  EXPECT_GE(outcome.jacobianEvaluations, 1u);
  // A second solve on the same adapter starts from scratch and repeats the first exactly.
  Eigen::VectorXd again = problem.start();
  const PeerOutcome repeated = solver.solve(problem, again);
  EXPECT_EQ(repeated.residualEvaluations, outcome.residualEvaluations);
  EXPECT_EQ(again, x);

  Eigen::VectorXd wrong(9);
  EXPECT_THROW(solver.solve(problem, wrong), std::invalid_argument);
}
#endif

#ifdef ONDREL_HAVE_GSL
TEST(GslHybridsjAdapter, SolvesRosenbrockWithTheAnalyticJacobian) {
  const TestProblem problem(ProblemFamily::Rosenbrock, 2);
  Ondrel::Benchmarks::GslHybridsj solver(2, kTolerance, kIterations);
  Eigen::VectorXd x = problem.start();
  const PeerOutcome outcome = solver.solve(problem, x);
  expectSolved(problem, outcome, x);
  EXPECT_GE(outcome.jacobianEvaluations, 1u);
  EXPECT_TRUE(x.isApprox(Eigen::Vector2d(1.0, 1.0), 1e-8));
}

TEST(GslBroydenAdapter, SolvesBroydenTridiagonalWithoutJacobianCalls) {
  const TestProblem problem(ProblemFamily::BroydenTridiagonal, 10);
  Ondrel::Benchmarks::GslBroyden solver(10, kTolerance, kIterations);
  Eigen::VectorXd x = problem.start();
  const PeerOutcome outcome = solver.solve(problem, x);
  expectSolved(problem, outcome, x);
  EXPECT_EQ(outcome.jacobianEvaluations, 0u);
  // Its finite-difference Jacobian alone takes one residual per unknown.
  EXPECT_GT(outcome.residualEvaluations, 10u);
}

TEST(GslAdapters, ReportAFailureInsteadOfAborting) {
  // From 100 x0 the helical valley defeats GSL's Broyden within a handful of iterations; the
  // adapter must return (GSL's default handler would abort) with the verdict false.
  const TestProblem problem(ProblemFamily::HelicalValley, 3);
  Ondrel::Benchmarks::GslBroyden solver(3, kTolerance, 5);
  Eigen::VectorXd x = problem.start(100.0);
  const PeerOutcome outcome = solver.solve(problem, x);
  EXPECT_FALSE(outcome.converged);
  EXPECT_GT(outcome.residualNorm, kSolved);
}
#endif

}  // namespace
