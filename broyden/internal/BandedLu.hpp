// The LU factorisation of a banded sparse matrix (not installed), for the sparse solver when its
// Jacobian's pattern lies in a narrow band around the diagonal (SparseLu.hpp decides).
//
// The matrix is copied into LAPACK's band storage, 2 kl + ku + 1 rows per column (kl rows below
// the diagonal, ku above, and kl more above for the fill that row interchanges bring), and
// factorised with partial pivoting inside the band: LAPACK's dgbtrf where the library is built
// with the OpenBLAS backend and kl + ku > kNarrowBand, otherwise the same algorithm here
// (dgbtrf's unblocked form, which dgbtrf itself runs for bands narrower than its block size).
// For narrow bands dgbtrf's four BLAS calls per column cost more than the column's arithmetic:
// at m = 20,000 the loop here factorises 2.4 times faster with kl = ku = 1 and 1.4 times with
// kl = ku = 5, while dgbtrf's kernels win, 1.2 times, at kl = ku = 16. A factorisation costs
// O(m kl (kl + ku)) and no ordering or symbolic analysis; a solve O(m (2 kl + ku)).
//
// The solve is written here rather than called as dgbtrs: for the narrow bands this serves,
// dgbtrs makes one BLAS call per column, which costs more than the column's arithmetic, and it
// divides by U's diagonal, whose latency then bounds the back substitution. Here the reciprocals
// of the diagonal are formed once per factorisation and multiplied by; otherwise the operations
// are dgbtrs's, in its order, so the answers differ from its by rounding only. On Broyden's
// tridiagonal system at m = 20,000 this solve takes a fraction of dgbtrs's time
// (SparseBenchmarks iteration/...).
#pragma once

#include <Eigen/Core>
#include <Eigen/SparseCore>
#include <vector>

namespace Ondrel::Math::Solvers::internal {

// The distances of the farthest entries below (lower) and above (upper) the diagonal.
struct Bandwidths {
  Eigen::Index lower = 0;
  Eigen::Index upper = 0;
};
Bandwidths bandwidthsOf(const Eigen::SparseMatrix<double>& matrix);

class BandedLu {
 public:
  // True when the band storage of an m x m matrix with these bandwidths is addressable by the
  // factorisation (LAPACK's 32-bit indices).
  static bool fits(Eigen::Index m, const Bandwidths& band);

  // Factorises the square, compressed `matrix`, all of whose entries lie within `band`, which
  // must fit. Returns false, holding no factors, when a pivot is exactly zero. Throws
  // std::bad_alloc when the band storage cannot be allocated; no factors are then held.
  bool factorise(const Eigen::SparseMatrix<double>& matrix, const Bandwidths& band);

  // x = A^-1 b with the factors. x may not alias b.
  void solve(const Eigen::VectorXd& b, Eigen::VectorXd& x) const;

  // Up to this kl + ku the factorisation is the loop here even where LAPACK is linked.
  static constexpr Eigen::Index kNarrowBand = 10;

  // The stored entries of the factors, fill rows included.
  Eigen::Index factorEntries() const { return static_cast<Eigen::Index>(factors.size()); }
  const Bandwidths& bandwidths() const { return band; }
  // The last factorisation was LAPACK's.
  bool byLapack() const { return lapack; }

  void clear();

 private:
  void solveTridiagonal(double* v) const;

  Bandwidths band;
  Eigen::Index size = 0;
  Eigen::Index leadingDimension = 0;  // 2 kl + ku + 1
  std::vector<double> factors;        // column-major band storage
  std::vector<int> pivots;            // 0-based: row j was interchanged with row pivots[j]
  std::vector<double> reciprocals;    // 1 / U(j, j)
  bool lapack = false;
};

}  // namespace Ondrel::Math::Solvers::internal
