// The inverse of a dense Jacobian, H = J^-1, as the dense solver keeps it (not installed).
//
// Where the library is built with OpenBLAS, the factorisation and the inverse go to its LAPACK:
// dgetrf then dgetri, in place in the inverse's storage, with no copy of the factors kept. A
// Jacobian that holds NaN or an infinity, or whose factor has an exactly zero pivot, takes
// Eigen's PartialPivLU instead, the one path of a build without OpenBLAS, so that such a
// Jacobian gives the same non-finite inverse, and so the same outcome of the solve, in every
// build. LAPACK is never asked to work on what it might refuse, so no pivot it did not write is
// ever applied.
#pragma once

#include <Eigen/Core>
#include <Eigen/LU>

namespace Ondrel::Math::Solvers::internal {

// Sets `inverse` to the inverse of the square `jacobian`. `lu` is the factorisation used when
// LAPACK is not: without OpenBLAS always, with it only for the cases above. Throws
// std::bad_alloc when work storage cannot be had; `inverse` may then be half written.
void invertJacobian(const Eigen::MatrixXd& jacobian,
                    Eigen::PartialPivLU<Eigen::MatrixXd>& lu,
                    Eigen::MatrixXd& inverse);

// True when invertJacobian hands finite, regular Jacobians to LAPACK in this build.
constexpr bool kLapackInverse =
#if defined(ONDREL_HAVE_LAPACK)
    true;
#else
    false;
#endif

}  // namespace Ondrel::Math::Solvers::internal
