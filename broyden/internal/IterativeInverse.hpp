// H0 = J0^-1 applied by a Krylov solve instead of exact factors (not installed), for Jacobians
// whose LU would fill too much: 3-D grids above all. A refresh builds an incomplete LU of J0 with
// no fill, ILU(0): L and U on J0's own pattern (its diagonal added where the pattern lacks it),
// in the natural ordering. Each application of H0 runs BiCGSTAB preconditioned by it, from zero,
// to a relative residual of kRelativeTolerance, at most kMaxIterations iterations, in work
// vectors kept from one solve to the next: a solve allocates nothing. The stored pairs of the
// sparse model are unchanged: they correct this H0 as they correct an exact one.
//
// A solve that does not reach the tolerance gives NaN, as a singular Jacobian's factors would:
// the step is not trusted, and the solve ends as the model's documentation says. A matrix with a
// row or a column of zeros is singular and refused at the refresh, as the LUs refuse it. A zero
// pivot of the incomplete factors does not prove the matrix singular (ILU(0) does not
// interchange rows), so it is replaced by a small multiple of its row's norm and the Krylov
// solve decides.
#pragma once

#include <Eigen/Core>
#include <Eigen/SparseCore>
#include <vector>

namespace Ondrel::Math::Solvers::internal {

class IterativeInverse {
 public:
  // What the quasi-Newton iteration needs of H0 F, not a linear solver's accuracy: the stored
  // updates correct the step as they would an exact H0's. On the 3-D Bratu problem at 40^3 the
  // solve takes the same 6 iterations and 2 Jacobians from 1e-8 to 1e-4, with 94 BiCGSTAB
  // iterations in all at 1e-4 against 203 at 1e-8; at 1e-3 the cubic model needs a fourth
  // Jacobian.
  static constexpr double kRelativeTolerance = 1e-4;
  // Bounds the work of one application whatever the matrix; a solve that needs more has failed.
  static constexpr int kMaxIterations = 1000;
  // A zero pivot of the incomplete factors becomes this fraction of its row's norm.
  static constexpr double kPivotFloor = 1e-2;

  // Builds the preconditioner of a copy of the square, compressed `matrix`. False, holding
  // nothing, when the matrix has a row or a column of zeros or its factors overflow.
  // Throws std::bad_alloc.
  bool factorise(const Eigen::SparseMatrix<double>& matrix);
  // x = A^-1 b to the tolerance, or NaN. x may not alias b.
  void solve(const Eigen::VectorXd& b, Eigen::VectorXd& x);
  // The entries the matrix and its incomplete factors hold.
  Eigen::Index factorEntries() const;
  static const char* describe();
  void clear();

 private:
  using RowMatrix = Eigen::SparseMatrix<double, Eigen::RowMajor>;
  void precondition(const Eigen::VectorXd& b, Eigen::VectorXd& x) const;

  // The matrix by rows, its diagonal present, and its incomplete factors on the same pattern:
  // L below the diagonal (unit diagonal, not stored), U on and above it.
  RowMatrix matrix;
  Eigen::VectorXd factors;
  Eigen::VectorXd inversePivots;
  std::vector<Eigen::Index> diagonalAt;
  // BiCGSTAB's vectors: the residual and its fixed shadow, the search direction, their
  // preconditioned images and products with the matrix.
  Eigen::VectorXd residual, shadow, direction, preconditioned, product, half, halfPreconditioned,
      halfProduct;
};

}  // namespace Ondrel::Math::Solvers::internal
