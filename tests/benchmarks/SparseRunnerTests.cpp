// The sparse side of the benchmarks: the banded problems' sparse Jacobians against their dense
// ones, and every solver that takes them (SparseBroyden, KINSOL on KLU and on its dense LU)
// solving one, so that a slip shows here and not as a silent row of failures in the report.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <stdexcept>

#include "MinpackTestSet.hpp"
#include "SolverRunners.hpp"

namespace {

using Ondrel::Benchmarks::ProblemFamily;
using Ondrel::Benchmarks::sparseProblemSolvers;
using Ondrel::Benchmarks::TestProblem;

constexpr double kSolved = 1e-8;  // the benchmark's common criterion

TEST(SparseTestProblems, SparseJacobianIsTheDenseOneAndKeepsItsPattern) {
  for (const ProblemFamily family : {ProblemFamily::BroydenTridiagonal,
                                     ProblemFamily::DiscreteBoundaryValue,
                                     ProblemFamily::BroydenBanded}) {
    const TestProblem problem(family, 12);
    ASSERT_TRUE(problem.hasSparseJacobian());
    const Eigen::VectorXd x = Eigen::VectorXd::LinSpaced(12, -1.3, 0.7);
    Eigen::MatrixXd dense(12, 12);
    problem.jacobian(x, dense);
    Eigen::SparseMatrix<double> sparse;
    problem.sparseJacobian(x, sparse);
    EXPECT_EQ(Eigen::MatrixXd(sparse), dense) << problem.name();
    // A second call at another point writes the values into the pattern it finds.
    const int* pattern = sparse.innerIndexPtr();
    problem.sparseJacobian(-x, sparse);
    problem.jacobian(-x, dense);
    EXPECT_EQ(Eigen::MatrixXd(sparse), dense) << problem.name();
    EXPECT_EQ(sparse.innerIndexPtr(), pattern) << "the pattern was rebuilt";
  }
  const TestProblem dense(ProblemFamily::DiscreteIntegralEquation, 5);
  Eigen::SparseMatrix<double> j;
  EXPECT_FALSE(dense.hasSparseJacobian());
  EXPECT_THROW(dense.sparseJacobian(dense.start(), j), std::logic_error);
}

TEST(SparseRunners, EverySparseSolverSolvesTheBandedProblems) {
  Ondrel::Benchmarks::SilencedOutput silence;
  for (const ProblemFamily family :
       {ProblemFamily::BroydenTridiagonal, ProblemFamily::DiscreteBoundaryValue}) {
    const TestProblem problem(family, 50);
    for (const auto& solver : sparseProblemSolvers()) {
      const auto runner = solver.make(problem);
      const auto outcome = runner->run(problem.start());
      EXPECT_TRUE(outcome.converged) << solver.name << " on " << problem.name();
      EXPECT_LE(outcome.residualNorm, kSolved) << solver.name << " on " << problem.name();
      EXPECT_GE(outcome.jacobianEvaluations, 1u) << solver.name;
      EXPECT_GT(outcome.residualEvaluations, outcome.jacobianEvaluations) << solver.name;
    }
  }
}

}  // namespace
