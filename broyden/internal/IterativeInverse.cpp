#include "IterativeInverse.hpp"

#include <cmath>
#include <limits>

namespace Ondrel::Math::Solvers::internal {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A row or column of zeros makes the matrix singular for certain; the incomplete LU would shift
// its pivot and the Krylov solve wander, so it is refused here, as an LU refuses it.
bool everyRowAndColumnHoldsANonzero(const Eigen::SparseMatrix<double>& matrix) {
  std::vector<bool> rowSeen(static_cast<std::size_t>(matrix.rows()), false);
  for (Eigen::Index j = 0; j < matrix.cols(); ++j) {
    bool columnSeen = false;
    for (auto p = matrix.outerIndexPtr()[j]; p < matrix.outerIndexPtr()[j + 1]; ++p) {
      if (matrix.valuePtr()[p] == 0.0) continue;
      columnSeen = true;
      rowSeen[static_cast<std::size_t>(matrix.innerIndexPtr()[p])] = true;
    }
    if (!columnSeen) return false;
  }
  for (const bool seen : rowSeen) {
    if (!seen) return false;
  }
  return true;
}

}  // namespace

bool IterativeInverse::factorise(const Eigen::SparseMatrix<double>& input) {
  clear();
  if (!everyRowAndColumnHoldsANonzero(input)) return false;
  const Eigen::Index m = input.rows();
  matrix = input;  // by rows, each row's columns in increasing order
  const RowMatrix::StorageIndex* outer = nullptr;
  const RowMatrix::StorageIndex* column = nullptr;
  // Where each row's diagonal entry is stored; false when a row has none.
  auto locateDiagonals = [&] {
    outer = matrix.outerIndexPtr();
    column = matrix.innerIndexPtr();
    diagonalAt.assign(static_cast<std::size_t>(m), -1);
    bool complete = true;
    for (Eigen::Index i = 0; i < m; ++i) {
      for (auto p = outer[i]; p < outer[i + 1]; ++p) {
        if (column[p] == i) diagonalAt[static_cast<std::size_t>(i)] = p;
      }
      complete = complete && diagonalAt[static_cast<std::size_t>(i)] >= 0;
    }
    return complete;
  };
  if (!locateDiagonals()) {
    // ILU(0) needs a pivot in every row: a structural zero where the pattern has none.
    std::vector<Eigen::Triplet<double>> entries;
    entries.reserve(static_cast<std::size_t>(matrix.nonZeros() + m));
    for (Eigen::Index i = 0; i < m; ++i) {
      entries.emplace_back(i, i, 0.0);
      for (RowMatrix::InnerIterator it(matrix, i); it; ++it) {
        entries.emplace_back(i, it.col(), it.value());
      }
    }
    matrix.setFromTriplets(entries.begin(), entries.end());
    locateDiagonals();
  }

  // Row i of L and U from the rows above it (the IKJ order): each entry of row i left of the
  // diagonal eliminates with the finished row of its column, and only positions in row i's own
  // pattern take the update.
  factors = Eigen::Map<const Eigen::VectorXd>(matrix.valuePtr(), matrix.nonZeros());
  inversePivots.resize(m);
  std::vector<Eigen::Index> positionOf(static_cast<std::size_t>(m), -1);
  for (Eigen::Index i = 0; i < m; ++i) {
    const auto diagonal = diagonalAt[static_cast<std::size_t>(i)];
    for (auto p = outer[i]; p < outer[i + 1]; ++p)
      positionOf[static_cast<std::size_t>(column[p])] = p;
    for (auto p = outer[i]; p < diagonal; ++p) {
      const Eigen::Index k = column[p];
      const double multiplier = factors(p) * inversePivots(k);
      factors(p) = multiplier;
      for (auto q = diagonalAt[static_cast<std::size_t>(k)] + 1; q < outer[k + 1]; ++q) {
        const Eigen::Index at = positionOf[static_cast<std::size_t>(column[q])];
        if (at >= 0) factors(at) -= multiplier * factors(q);
      }
    }
    for (auto p = outer[i]; p < outer[i + 1]; ++p)
      positionOf[static_cast<std::size_t>(column[p])] = -1;
    if (factors(diagonal) == 0.0) {
      factors(diagonal) = kPivotFloor * matrix.row(i).norm();
    }
    inversePivots(i) = 1.0 / factors(diagonal);
  }
  if (!factors.allFinite() || !inversePivots.allFinite()) {
    clear();
    return false;
  }
  for (Eigen::VectorXd* v : {&residual,
                             &shadow,
                             &direction,
                             &preconditioned,
                             &product,
                             &half,
                             &halfPreconditioned,
                             &halfProduct}) {
    v->resize(m);
  }
  return true;
}

// x = U^-1 L^-1 b: forward with the unit lower factor, then back with the upper one.
void IterativeInverse::precondition(const Eigen::VectorXd& b, Eigen::VectorXd& x) const {
  const Eigen::Index m = matrix.rows();
  const auto* outer = matrix.outerIndexPtr();
  const auto* column = matrix.innerIndexPtr();
  const double* lu = factors.data();
  for (Eigen::Index i = 0; i < m; ++i) {
    double sum = b(i);
    for (auto p = outer[i]; p < diagonalAt[static_cast<std::size_t>(i)]; ++p) {
      sum -= lu[p] * x(column[p]);
    }
    x(i) = sum;
  }
  for (Eigen::Index i = m - 1; i >= 0; --i) {
    double sum = x(i);
    for (auto p = diagonalAt[static_cast<std::size_t>(i)] + 1; p < outer[i + 1]; ++p) {
      sum -= lu[p] * x(column[p]);
    }
    x(i) = sum * inversePivots(i);
  }
}

// Preconditioned BiCGSTAB (van der Vorst's, the preconditioner applied on the right so that the
// residual it tests is the system's own). A breakdown (a zero inner product) restarts it from the
// current iterate with the current residual as the shadow; one at once after it is a failure.
void IterativeInverse::solve(const Eigen::VectorXd& b, Eigen::VectorXd& x) {
  x.setZero();
  int iterations = 0;
  // Solved for b / ||b||, so that no inner product under- or overflows for a b of any scale.
  // blueNorm, not stableNorm: with the library's Eigen settings stableNorm takes its blocks for
  // 64-byte aligned, which Eigen's own vectors are not (an assertion fails in debug builds).
  const double scale = b.blueNorm();
  if (scale == 0.0) return;
  if (!std::isfinite(scale)) {
    x.setConstant(kNaN);
    return;
  }
  residual = b / scale;
  shadow = residual;
  double rho = 1.0, alpha = 1.0, omega = 1.0;
  product.setZero();
  direction.setZero();
  bool restarted = false;
  bool converged = residual.norm() <= kRelativeTolerance;
  while (!converged && iterations < kMaxIterations) {
    const double rhoNext = shadow.dot(residual);
    if (rhoNext == 0.0) {
      if (restarted) break;
      restarted = true;
      shadow = residual;
      product.setZero();
      direction.setZero();
      rho = alpha = omega = 1.0;
      continue;
    }
    ++iterations;
    const double beta = (rhoNext / rho) * (alpha / omega);
    rho = rhoNext;
    direction = residual + beta * (direction - omega * product);
    precondition(direction, preconditioned);
    product.noalias() = matrix * preconditioned;
    const double shadowProduct = shadow.dot(product);
    if (shadowProduct == 0.0) break;
    alpha = rho / shadowProduct;
    half = residual - alpha * product;
    if (half.norm() <= kRelativeTolerance) {
      x += alpha * preconditioned;
      converged = true;
      break;
    }
    precondition(half, halfPreconditioned);
    halfProduct.noalias() = matrix * halfPreconditioned;
    const double halfProductSquared = halfProduct.squaredNorm();
    if (halfProductSquared == 0.0) break;
    omega = halfProduct.dot(half) / halfProductSquared;
    x += alpha * preconditioned + omega * halfPreconditioned;
    residual = half - omega * halfProduct;
    const double residualNorm = residual.norm();
    if (!std::isfinite(residualNorm)) break;
    converged = residualNorm <= kRelativeTolerance;
    restarted = false;
  }
  x *= scale;
  if (!converged || !x.allFinite()) x.setConstant(kNaN);
}

Eigen::Index IterativeInverse::factorEntries() const { return matrix.nonZeros() + factors.size(); }

const char* IterativeInverse::describe() {
  return "incomplete LU, no fill (ILU(0)), and BiCGSTAB, no ordering";
}

void IterativeInverse::clear() {
  matrix = RowMatrix();
  factors = Eigen::VectorXd();
  inversePivots = Eigen::VectorXd();
  diagonalAt.clear();
}

}  // namespace Ondrel::Math::Solvers::internal
