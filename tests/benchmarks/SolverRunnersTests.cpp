// The comparison's runners must measure cold, independent solves with honest counts: a runner
// that let this library start from the Jacobian of its previous solve would make every timed
// solve after the first look cheaper than the first.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <set>
#include <string>

#include "SolverRunners.hpp"
#include "support/StdoutSilencer.hpp"

namespace {

using namespace Ondrel::Benchmarks;
using Ondrel::Testing::StdoutSilencer;

TEST(OndrelRunner, RepeatedSolvesStartColdAndCountEveryCall) {
  const StdoutSilencer silence;
  const TestProblem problem(ProblemFamily::DiscreteBoundaryValue, 10);
  Ondrel::Math::Solvers::BroydenParameters parameters;
  OndrelRunner runner(problem, parameters);
  const PeerOutcome first = runner.run(problem.start());
  const PeerOutcome second = runner.run(problem.start());
  EXPECT_TRUE(first.converged);
  EXPECT_LE(first.residualNorm, kSolvedResidualNorm);
  // A cold start evaluates the Jacobian at the start point, every time.
  EXPECT_GE(first.jacobianEvaluations, 1u);
  EXPECT_EQ(second.jacobianEvaluations, first.jacobianEvaluations);
  EXPECT_EQ(second.residualEvaluations, first.residualEvaluations);
  EXPECT_EQ(second.residualNorm, first.residualNorm);

  // A failed solve keeps the start, and the norm reported is the start's.
  parameters.maxIterations = 0;
  OndrelRunner failing(problem, parameters);
  const PeerOutcome failed = failing.run(problem.start());
  Eigen::VectorXd f(10);
  problem.residual(problem.start(), f);
  EXPECT_FALSE(failed.converged);
  EXPECT_EQ(failed.residualNorm, f.norm());
  EXPECT_EQ(failed.residualEvaluations, 1u);
}

TEST(AvailableSolvers, NameEveryVariantOnceAndSolveAnEasyRun) {
  const StdoutSilencer silence;
  const TestProblem problem(ProblemFamily::BroydenTridiagonal, 10);
  std::set<std::string> names;
  for (const SolverEntry& solver : availableSolvers()) {
    EXPECT_TRUE(names.insert(solver.name).second) << solver.name;
    const PeerOutcome outcome = solver.make(problem)->run(problem.start());
    EXPECT_LE(outcome.residualNorm, kSolvedResidualNorm) << solver.name;
  }
  EXPECT_EQ(names.count("ondrel-testset"), 1u);
#ifdef ONDREL_HAVE_MINPACK
  EXPECT_EQ(names.count("minpack-hybrj1"), 1u);
#endif
#ifdef ONDREL_HAVE_GSL
  EXPECT_EQ(names.count("gsl-hybridsj"), 1u);
  EXPECT_EQ(names.count("gsl-broyden"), 1u);
#endif
}

}  // namespace
