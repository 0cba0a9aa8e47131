#include "IterativeInverse.hpp"

#include <limits>
#include <vector>

namespace Ondrel::Math::Solvers::internal {

namespace {

// Exposes the size of the factors, which IncompleteLUT keeps to itself.
class CountedIncompleteLut : public Eigen::IncompleteLUT<double> {
 public:
  Eigen::Index factorEntries() const { return m_lu.nonZeros(); }
};

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

struct IterativeInverse::Solver {
  Eigen::SparseMatrix<double> matrix;
  Eigen::BiCGSTAB<Eigen::SparseMatrix<double>, CountedIncompleteLut> krylov;
};

IterativeInverse::IterativeInverse() = default;
IterativeInverse::~IterativeInverse() = default;

bool IterativeInverse::factorise(const Eigen::SparseMatrix<double>& matrix) {
  clear();
  if (!everyRowAndColumnHoldsANonzero(matrix)) return false;
  auto fresh = std::make_unique<Solver>();
  fresh->matrix = matrix;
  fresh->krylov.setTolerance(kRelativeTolerance);
  fresh->krylov.setMaxIterations(kMaxIterations);
  fresh->krylov.preconditioner().setDroptol(kDropTolerance);
  fresh->krylov.preconditioner().setFillfactor(kFillFactor);
  fresh->krylov.compute(fresh->matrix);
  if (fresh->krylov.info() != Eigen::Success) return false;
  solver = std::move(fresh);
  return true;
}

void IterativeInverse::solve(const Eigen::VectorXd& b, Eigen::VectorXd& x) {
  x.setZero();
  x = solver->krylov.solveWithGuess(b, x);
  if (solver->krylov.info() != Eigen::Success || !x.allFinite()) {
    x.setConstant(std::numeric_limits<double>::quiet_NaN());
  }
}

Eigen::Index IterativeInverse::factorEntries() const {
  if (!solver) return 0;
  return solver->matrix.nonZeros() + solver->krylov.preconditioner().factorEntries();
}

void IterativeInverse::clear() { solver.reset(); }

}  // namespace Ondrel::Math::Solvers::internal
