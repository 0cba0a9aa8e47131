// Exact Jacobians by forward-mode automatic differentiation of a residual written once, as a
// template over its scalar type.
//
// The host writes its residual as a callable object accepting, for T = double and T = DualScalar,
//
//   template <typename T>
//   void operator()(const Eigen::Ref<const Eigen::Matrix<T, Eigen::Dynamic, 1>>& x,
//                   Eigen::Matrix<T, Eigen::Dynamic, 1>& f) const;
//
// (a generic lambda `[](const auto& x, auto& f)` does as well), filling all m entries of f with
// the same arithmetic for both types: constants as double, `using std::exp; exp(x(i))` rather
// than `std::exp(x(i))` so that Eigen's overloads for DualScalar are found, and no branch that
// casts a T to double. The helpers turn it into the residual callable the solvers take and an
// exact Jacobian callable. DualScalar is Eigen's AutoDiffScalar carrying kDualWidth derivative
// components: each evaluation of the residual on DualScalar (a sweep) computes kDualWidth
// directional derivatives at once, so a dense Jacobian of m columns costs ceil(m / kDualWidth)
// sweeps, and a sparse one ceil(colours / kDualWidth) sweeps with every column of one colour
// seeded in one component (ColumnColouring.hpp), for example one sweep for a five-point stencil
// at any size.
//
// Coordinates: those of forwardDifferenceJacobian. For a State, column j is the derivative along
// increment entry j at a zero increment: a plain entry seeds its value, a quaternion's three
// entries seed the derivative of exp(dθ) Q at dθ = 0, (1/2) [0, e_k] Q, the quaternion turned
// on the LEFT (RotationComponents.hpp).
//
// Sizes and failures as for the finite-difference helpers: the callables refuse, with
// std::invalid_argument, points of the wrong length and residuals that leave other than m
// entries; the matrix they are handed is written only once every entry is known, so an exception
// from the residual template passes through with it untouched. A derivative that is not finite
// (exp overflowing, a square root at 0) stays in the Jacobian, where failFast sees it. The
// returned callables own copies of the residual object, the pattern and the prototype; they are
// called from one thread at a time, like every callable handed to a solver.
#pragma once

#include <Eigen/Core>
#include <Eigen/SparseCore>
#include <ondrel/OndrelEigen.hpp>
#include <ondrel/OndrelSolversExport.hpp>
#include <ondrel/broyden/BroydenFunctions.hpp>
#include <ondrel/broyden/ColumnColouring.hpp>
#include <ondrel/state/State.hpp>
#include <unsupported/Eigen/AutoDiff>

namespace Ondrel::Math::Solvers {

/// Derivative components a DualScalar carries: the directions one sweep differentiates along.
/// Eight fill two AVX registers and cover the colours of the usual stencils in one sweep.
inline constexpr int kDualWidth = 8;
/// The scalar a residual template is evaluated on to differentiate it: a value and kDualWidth
/// derivative components.
using DualScalar = Eigen::AutoDiffScalar<Eigen::Matrix<double, kDualWidth, 1>>;
/// A vector of DualScalar, the type of x and f in a differentiating sweep.
using DualVector = Eigen::Matrix<DualScalar, Eigen::Dynamic, 1>;
/// The residual template instantiated on DualScalar.
using DualResidualFunction = std::function<void(const Eigen::Ref<const DualVector>&, DualVector&)>;

/// A residual callable and its exact dense Jacobian, for Broyden.
struct AutomaticSystem {
  ResidualFunction residual;  ///< the residual template on double
  JacobianFunction jacobian;  ///< its Jacobian, ceil(m / kDualWidth) sweeps per call
};

/// A residual callable and its exact sparse Jacobian, for SparseBroyden.
struct AutomaticSparseSystem {
  ResidualFunction residual;  ///< the residual template on double
  SparseJacobianFunction
      jacobian;               ///< its Jacobian on the pattern, one sweep per kDualWidth colours
  ColumnColouring colouring;  ///< the pattern's colouring, with the number of colours
};

/// Assembling the callables from the two instantiations of a residual template; hosts call the
/// templates below.
namespace detail {
ONDREL_SOLVERS_API AutomaticSystem automaticSystem(ResidualFunction residual,
                                                   DualResidualFunction dual,
                                                   long long size);
ONDREL_SOLVERS_API AutomaticSystem automaticSystem(ResidualFunction residual,
                                                   DualResidualFunction dual,
                                                   const Ondrel::Math::State& prototype);
ONDREL_SOLVERS_API AutomaticSparseSystem
automaticSparseSystem(ResidualFunction residual,
                      DualResidualFunction dual,
                      const Eigen::SparseMatrix<double>& pattern,
                      ColouringOrder order);
ONDREL_SOLVERS_API AutomaticSparseSystem
automaticSparseSystem(ResidualFunction residual,
                      DualResidualFunction dual,
                      const Eigen::SparseMatrix<double>& pattern,
                      const Ondrel::Math::State& prototype,
                      ColouringOrder order);

template <typename Residual>
ResidualFunction onDouble(const Residual& residual) {
  return [residual](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
    residual(x, f);
  };
}

template <typename Residual>
DualResidualFunction onDual(const Residual& residual) {
  return [residual](const Eigen::Ref<const DualVector>& x, DualVector& f) { residual(x, f); };
}
}  // namespace detail

/// The residual callable and exact dense Jacobian of a residual template (see the file comment)
/// for `size` plain variables. Throws std::invalid_argument for a negative size.
template <typename Residual>
AutomaticSystem automaticJacobian(const Residual& residual, long long size) {
  return detail::automaticSystem(detail::onDouble(residual), detail::onDual(residual), size);
}

/// The same for States laid out like `prototype` (its rotation registry; its values are not
/// used), in increment coordinates: an m x m Jacobian, m = prototype.incrementSize().
template <typename Residual>
AutomaticSystem automaticJacobian(const Residual& residual, const Ondrel::Math::State& prototype) {
  return detail::automaticSystem(detail::onDouble(residual), detail::onDual(residual), prototype);
}

/// The residual callable and exact sparse Jacobian of a residual template for m = pattern.rows()
/// plain variables: the pattern's columns are coloured and each sweep seeds kDualWidth colours.
/// The residual must depend on a variable only through the pattern's entries, as for
/// colouredDifferenceJacobian. Throws std::invalid_argument for a pattern without entries or one
/// that is not square.
template <typename Residual>
AutomaticSparseSystem automaticSparseJacobian(const Residual& residual,
                                              const Eigen::SparseMatrix<double>& pattern,
                                              ColouringOrder order = ColouringOrder::kSaturation) {
  return detail::automaticSparseSystem(
      detail::onDouble(residual), detail::onDual(residual), pattern, order);
}

/// The same for States laid out like `prototype`, in increment coordinates; the pattern must be
/// m x m, m = prototype.incrementSize().
template <typename Residual>
AutomaticSparseSystem automaticSparseJacobian(const Residual& residual,
                                              const Eigen::SparseMatrix<double>& pattern,
                                              const Ondrel::Math::State& prototype,
                                              ColouringOrder order = ColouringOrder::kSaturation) {
  return detail::automaticSparseSystem(
      detail::onDouble(residual), detail::onDual(residual), pattern, prototype, order);
}

}  // namespace Ondrel::Math::Solvers
