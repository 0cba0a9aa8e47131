#include "BandedLu.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#if defined(ONDREL_HAVE_LAPACK)
#include "Lapack.hpp"
#endif

namespace Ondrel::Math::Solvers::internal {

Bandwidths bandwidthsOf(const Eigen::SparseMatrix<double>& matrix) {
  Bandwidths band;
  const auto* starts = matrix.outerIndexPtr();
  const auto* rows = matrix.innerIndexPtr();
  for (Eigen::Index j = 0; j < matrix.cols(); ++j) {
    // Row indices are increasing: a column's extremes are its first and last entries.
    if (starts[j] == starts[j + 1]) continue;
    band.upper = std::max<Eigen::Index>(band.upper, j - rows[starts[j]]);
    band.lower = std::max<Eigen::Index>(band.lower, rows[starts[j + 1] - 1] - j);
  }
  return band;
}

bool BandedLu::fits(Eigen::Index m, const Bandwidths& band) {
  constexpr auto kLimit = static_cast<double>(std::numeric_limits<int>::max());
  const double rows = 2.0 * static_cast<double>(band.lower) + static_cast<double>(band.upper) + 1;
  return rows * static_cast<double>(m) <= kLimit;
}

namespace {

// dgbtf2: LU with partial pivoting within the band, in place; `ab` has kl fill rows on top, which
// the caller has zeroed. Returns the 1-based column of the first zero pivot, or 0.
int factoriseBand(int n, int kl, int ku, double* ab, int ldab, int* pivots) {
  const int kv = ku + kl;
  int info = 0;
  int ju = 0;  // the last column the interchanges so far reach
  for (int j = 0; j < n; ++j) {
    double* column = ab + static_cast<std::ptrdiff_t>(j) * ldab + kv;
    const int km = std::min(kl, n - 1 - j);
    int jp = 0;  // the first entry of largest magnitude, as idamax picks it
    for (int i = 1; i <= km; ++i) {
      if (std::abs(column[i]) > std::abs(column[jp])) jp = i;
    }
    pivots[j] = j + jp;
    if (column[jp] == 0.0) {
      if (info == 0) info = j + 1;
      continue;
    }
    ju = std::max(ju, std::min(j + ku + jp, n - 1));
    // Entry (r, c) lives at ab[kv + r - c + c * ldab].
    auto at = [&](int r, int c) -> double& {
      return ab[static_cast<std::ptrdiff_t>(c) * ldab + kv + r - c];
    };
    if (jp != 0) {
      for (int c = j; c <= ju; ++c) std::swap(at(j + jp, c), at(j, c));
    }
    if (km > 0) {
      const double reciprocal = 1.0 / column[0];
      for (int i = 1; i <= km; ++i) column[i] *= reciprocal;
      for (int c = j + 1; c <= ju; ++c) {
        const double t = -at(j, c);
        if (t == 0.0) continue;  // dger skips a zero multiplier
        for (int i = 1; i <= km; ++i) at(j + i, c) += column[i] * t;
      }
    }
  }
  return info;
}

}  // namespace

bool BandedLu::factorise(const Eigen::SparseMatrix<double>& matrix, const Bandwidths& bandwidths) {
  // The last factorisation's storage is reused, not freed: a band of a large system is mapped
  // afresh by the allocator each time it is allocated, and its page faults cost a tridiagonal
  // refresh more than the elimination does.
  size = 0;
  const Eigen::Index m = matrix.rows();
  const Eigen::Index ldab = 2 * bandwidths.lower + bandwidths.upper + 1;
  factors.assign(static_cast<std::size_t>(ldab * m), 0.0);
  pivots.resize(static_cast<std::size_t>(m));
  const Eigen::Index kv = bandwidths.lower + bandwidths.upper;
  const auto* starts = matrix.outerIndexPtr();
  const auto* rows = matrix.innerIndexPtr();
  const double* values = matrix.valuePtr();
  for (Eigen::Index j = 0; j < m; ++j) {
    double* column = factors.data() + j * ldab + kv - j;
    for (auto p = starts[j]; p < starts[j + 1]; ++p) column[rows[p]] = values[p];
  }
  const int n = static_cast<int>(m);
  const int kl = static_cast<int>(bandwidths.lower);
  const int ku = static_cast<int>(bandwidths.upper);
  const int ld = static_cast<int>(ldab);
  int info = 0;
  lapack = false;
#if defined(ONDREL_HAVE_LAPACK)
  if (kl + ku > kNarrowBand) {
    dgbtrf_(&n, &n, &kl, &ku, factors.data(), &ld, pivots.data(), &info);
    for (int& pivot : pivots) --pivot;
    lapack = true;
  } else {
    info = factoriseBand(n, kl, ku, factors.data(), ld, pivots.data());
  }
#else
  info = factoriseBand(n, kl, ku, factors.data(), ld, pivots.data());
#endif
  if (info != 0) {
    clear();
    return false;
  }
  reciprocals.resize(static_cast<std::size_t>(m));
  for (Eigen::Index j = 0; j < m; ++j) {
    reciprocals[static_cast<std::size_t>(j)] =
        1.0 / factors[static_cast<std::size_t>(j * ldab + kv)];
  }
  band = bandwidths;
  size = m;
  leadingDimension = ldab;
  return true;
}

// dgbtrs's operations for one right-hand side: L's interchanges and multipliers column by
// column, then U (kl + ku superdiagonals) backwards, as dtbsv takes it, with U's diagonal
// multiplied by its reciprocal instead of divided by.
void BandedLu::solve(const Eigen::VectorXd& b, Eigen::VectorXd& x) const {
  x = b;
  const Eigen::Index n = size;
  const Eigen::Index kl = band.lower;
  const Eigen::Index kv = band.lower + band.upper;
  const double* ab = factors.data();
  double* v = x.data();
  if (kl == 1 && kv == 2 && n >= 2) {
    solveTridiagonal(v);
    return;
  }
  if (kl > 0) {
    for (Eigen::Index j = 0; j + 1 < n; ++j) {
      const Eigen::Index lm = std::min(kl, n - 1 - j);
      const Eigen::Index l = pivots[static_cast<std::size_t>(j)];
      if (l != j) std::swap(v[l], v[j]);
      if (v[j] == 0.0) continue;  // dger skips a zero
      const double t = -v[j];
      const double* multipliers = ab + j * leadingDimension + kv + 1;
      for (Eigen::Index i = 0; i < lm; ++i) v[j + 1 + i] += multipliers[i] * t;
    }
  }
  for (Eigen::Index j = n - 1; j >= 0; --j) {
    const double* column = ab + j * leadingDimension + kv - j;
    if (v[j] == 0.0) continue;  // dtbsv skips a zero
    v[j] *= reciprocals[static_cast<std::size_t>(j)];
    const double t = v[j];
    for (Eigen::Index i = std::max<Eigen::Index>(0, j - kv); i < j; ++i) v[i] -= t * column[i];
  }
}

// The solve above for a tridiagonal matrix (kl = ku = 1, so kv = 2 with the pivoting's fill),
// the same operations in the same order, with the entries each step updates carried in registers:
// each row's value depends on the one before, and carried through memory that chain would wait
// for a store to be forwarded at every row. Its results are the general loop's bit for bit, but
// for the sign of a NaN, which the compiler is free to pick (and picks differently here).
void BandedLu::solveTridiagonal(double* v) const {
  const Eigen::Index n = size;
  const Eigen::Index ld = leadingDimension;
  const double* ab = factors.data();
  double current = v[0];
  for (Eigen::Index j = 0; j + 1 < n; ++j) {
    double next = v[j + 1];
    if (pivots[static_cast<std::size_t>(j)] != j) std::swap(current, next);
    v[j] = current;
    if (current != 0.0) next += ab[j * ld + 3] * -current;
    current = next;
  }
  v[n - 1] = current;
  // Column j of the band storage holds U(j - 2, j) (the pivoting's fill), U(j - 1, j) and U(j, j)
  // in rows 0 to 2, and L's multiplier in row 3.
  current = v[n - 1];
  double above = v[n - 2];
  for (Eigen::Index j = n - 1; j >= 0; --j) {
    const double* column = ab + j * ld;
    double twoAbove = j >= 2 ? v[j - 2] : 0.0;
    if (current != 0.0) {
      current *= reciprocals[static_cast<std::size_t>(j)];
      if (j >= 2) twoAbove -= current * column[0];
      if (j >= 1) above -= current * column[1];
    }
    v[j] = current;
    current = above;
    above = twoAbove;
  }
}

void BandedLu::clear() {
  std::vector<double>().swap(factors);
  std::vector<int>().swap(pivots);
  std::vector<double>().swap(reciprocals);
  band = Bandwidths();
  size = 0;
  leadingDimension = 0;
  lapack = false;
}

}  // namespace Ondrel::Math::Solvers::internal
