// H0 = J0^-1 applied by a Krylov solve instead of exact factors (not installed), for Jacobians
// whose LU would fill too much: 3-D grids above all. A refresh builds an incomplete LU of J0
// (Eigen's IncompleteLUT, threshold dropping with the tolerance and fill factor below),
// and each application of H0 runs BiCGSTAB preconditioned by it, from zero, to a relative residual
// of kRelativeTolerance, at most kMaxIterations iterations. The stored pairs of the sparse model
// are unchanged: they correct this H0 as they correct an exact one.
//
// A solve that does not reach the tolerance gives NaN, as a singular Jacobian's factors would:
// the step is not trusted, and the solve ends as the model's documentation says. A matrix with a
// row or a column of zeros is singular and refused at the refresh, as the LUs refuse it.
#pragma once

#include <Eigen/Core>
#include <Eigen/IterativeLinearSolvers>
#include <Eigen/SparseCore>
#include <memory>

namespace Ondrel::Math::Solvers::internal {

class IterativeInverse {
 public:
  // Far tighter than a quasi-Newton step needs, loose enough that the Krylov solve stays a few
  // dozen iterations on the 7-point stencil with the incomplete LU.
  static constexpr double kRelativeTolerance = 1e-8;
  // Bounds the work of one application whatever the matrix; a solve that needs more has failed.
  static constexpr int kMaxIterations = 1000;
  // The incomplete LU drops entries below this fraction of their row's norm and keeps at most
  // kFillFactor times a row's entries in each of L and U. Eigen's defaults (1e-12, 10) drop
  // almost nothing, and their factorisation took 80 % of a 3-D Bratu solve at 20^3.
  static constexpr double kDropTolerance = 1e-4;
  static constexpr int kFillFactor = 3;

  IterativeInverse();
  ~IterativeInverse();
  IterativeInverse(const IterativeInverse&) = delete;
  IterativeInverse& operator=(const IterativeInverse&) = delete;

  // Builds the preconditioner of a copy of the square, compressed `matrix`. False, holding
  // nothing, when the matrix has a row or a column of zeros.
  // Throws std::bad_alloc.
  bool factorise(const Eigen::SparseMatrix<double>& matrix);
  // x = A^-1 b to the tolerance, or NaN. x may not alias b.
  void solve(const Eigen::VectorXd& b, Eigen::VectorXd& x);
  // The entries the matrix and its incomplete factors hold.
  Eigen::Index factorEntries() const;
  void clear();

 private:
  struct Solver;
  std::unique_ptr<Solver> solver;
};

}  // namespace Ondrel::Math::Solvers::internal
