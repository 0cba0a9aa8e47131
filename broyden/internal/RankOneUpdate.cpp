#include "RankOneUpdate.hpp"

namespace Ondrel::Math::Solvers::internal {

namespace {

// One column at a time. The division per element is the cost that dominates while the matrix
// fits in cache: the AVX2 clone divides four at a time, with results identical to the baseline's,
// since IEEE division is correctly rounded. The clone is picked at load time by the CPU, so the
// library stays packageable for any x86-64.
// Not under ThreadSanitizer: the clone's resolver runs during relocation, before its runtime.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define ONDREL_DIVISION_CLONES \
  __attribute__((target_clones("avx2", "default"), optimize("tree-vectorize")))
#else
#define ONDREL_DIVISION_CLONES
#endif
ONDREL_DIVISION_CLONES void addRankOneColumns(double* __restrict a,
                                              Eigen::Index rows,
                                              Eigen::Index cols,
                                              const double* __restrict u,
                                              const double* __restrict v,
                                              double denominator) {
  for (Eigen::Index j = 0; j < cols; ++j) {
    const double vj = v[j];
    double* __restrict column = a + j * rows;
    for (Eigen::Index i = 0; i < rows; ++i) column[i] += (u[i] * vj) / denominator;
  }
}

}  // namespace

void addRankOne(Eigen::MatrixXd& a,
                const Eigen::VectorXd& u,
                const Eigen::VectorXd& v,
                double denominator) {
  addRankOneColumns(a.data(), a.rows(), a.cols(), u.data(), v.data(), denominator);
}

}  // namespace Ondrel::Math::Solvers::internal
