#include "DenseInverse.hpp"

#include <limits>
#include <vector>

#if defined(ONDREL_HAVE_LAPACK)
#include "Lapack.hpp"
#endif

namespace Ondrel::Math::Solvers::internal {

namespace {

#if defined(ONDREL_HAVE_LAPACK)
// dgetrf + dgetri in `inverse`: 2/3 m^3 + 4/3 m^3 flops, against Eigen's 2/3 m^3 for the factors
// plus 2 m^3 for solving L U X = P I. Returns false, with `inverse` half written, when the
// factor has an exactly zero pivot (dgetri would refuse it) or LAPACK reports anything else.
bool lapackInverse(const Eigen::MatrixXd& jacobian, Eigen::MatrixXd& inverse) {
  const Eigen::Index m = jacobian.rows();
  if (m == 0 || m > std::numeric_limits<int>::max()) return false;
  const int n = static_cast<int>(m);
  inverse = jacobian;
  std::vector<int> pivots(static_cast<std::size_t>(m));
  int info = 0;
  dgetrf_(&n, &n, inverse.data(), &n, pivots.data(), &info);
  if (info != 0) return false;
  // The block size dgetri wants; below it, it falls back to the unblocked algorithm.
  double optimalWorkSize = 0.0;
  const int query = -1;
  dgetri_(&n, inverse.data(), &n, pivots.data(), &optimalWorkSize, &query, &info);
  const double workSize =
      info == 0 && optimalWorkSize >= m && optimalWorkSize < std::numeric_limits<int>::max()
          ? optimalWorkSize
          : static_cast<double>(m);
  const int lwork = static_cast<int>(workSize);
  std::vector<double> work(static_cast<std::size_t>(lwork));
  dgetri_(&n, inverse.data(), &n, pivots.data(), work.data(), &lwork, &info);
  return info == 0;
}
#endif

}  // namespace

void invertJacobian(const Eigen::MatrixXd& jacobian,
                    Eigen::PartialPivLU<Eigen::MatrixXd>& lu,
                    Eigen::MatrixXd& inverse) {
#if defined(ONDREL_HAVE_LAPACK)
  // Finite first: that check costs one pass over m^2 entries, the factorisation m^3.
  if (jacobian.allFinite() && lapackInverse(jacobian, inverse)) return;
#endif
  lu.compute(jacobian);
  inverse = lu.inverse();
}

}  // namespace Ondrel::Math::Solvers::internal
