// Sparse Jacobians by coloured finite differences: one residual evaluation per colour of columns
// instead of one per column.
//
// Given the Jacobian's sparsity pattern (an m x m Eigen::SparseMatrix whose stored entries,
// explicit zeros included, are the entries that may be nonzero; the first Jacobian a host
// evaluated serves), the columns are coloured (ColumnColouring.hpp) and all the columns of one
// colour are stepped at once. Because no two of them share a row, each row of the difference
// belongs to one column, and the entries of the pattern are recovered exactly as the dense
// helper would compute them column by column (up to which residual evaluations they share).
// For the 2-D five-point stencil that is 5 colours, so 6 residual evaluations per forward
// Jacobian at any size, where the dense helper takes m + 1.
//
// Steps and coordinates are those of forwardDifferenceJacobian (JacobianHelpers.hpp): forward
// differences step by sqrt(eps) max(|x_j|, 1) signed like x_j, central differences by
// cbrt(eps) max(|x_j|, 1) both ways; a rotation increment steps by the same fraction in radians;
// for a State the columns are increment coordinates, a quaternion turned on the LEFT.
//
// What a pattern must hold. The residual may depend on a variable only through the pattern's
// entries: an entry that is missing from the pattern is not merely left out of the Jacobian, its
// change is added to the entry of another column of the same colour in that row. checkJacobian's
// sparse overload finds both; see docs/guide/jacobians.md.
//
// Entries that come out non-finite (a residual that returns NaN or overflows when stepped) are
// kept, as a hand-written Jacobian would hold them, so that failFast reports them.
//
// Ownership and exceptions: the returned callable owns copies of the residual callable, the
// pattern and the prototype. It writes the matrix it is handed only once every entry is known,
// reusing its storage when it already holds the pattern, so an exception from the residual leaves
// it as it was; such exceptions pass through.
#pragma once

#include <Eigen/SparseCore>
#include <ondrel/OndrelEigen.hpp>
#include <ondrel/OndrelSolversExport.hpp>
#include <ondrel/broyden/BroydenFunctions.hpp>
#include <ondrel/broyden/ColumnColouring.hpp>
#include <ondrel/state/State.hpp>

namespace Ondrel::Math::Solvers {

/// How a coloured Jacobian differences each colour.
enum class DifferenceScheme {
  /// (F(x + h) - F(x)) / h: one residual evaluation per colour besides the one at x, accurate to
  /// about sqrt(eps) relative.
  kForward,
  /// (F(x + h) - F(x - h)) / 2h: two residual evaluations per colour, accurate to about
  /// eps^(2/3) relative.
  kCentral,
};

/// A sparse Jacobian callable for m = pattern.rows() plain variables, by coloured differences of
/// `residual`; the matrix it fills has exactly the pattern's entries. The returned callable
/// throws std::invalid_argument for a point of other than m entries or a residual callable that
/// leaves other than m. Throws std::invalid_argument for an empty residual callable, a pattern
/// without entries or one that is not square.
ONDREL_SOLVERS_API SparseJacobianFunction
colouredDifferenceJacobian(ResidualFunction residual,
                           const Eigen::SparseMatrix<double>& pattern,
                           DifferenceScheme scheme = DifferenceScheme::kForward,
                           ColouringOrder order = ColouringOrder::kSaturation);

/// The same for States laid out like `prototype` (its rotation registry; its values are not
/// used), in increment coordinates: the pattern must be m x m, m = prototype.incrementSize(),
/// and the returned callable takes the values of such a State.
ONDREL_SOLVERS_API SparseJacobianFunction
colouredDifferenceJacobian(ResidualFunction residual,
                           const Eigen::SparseMatrix<double>& pattern,
                           const Ondrel::Math::State& prototype,
                           DifferenceScheme scheme = DifferenceScheme::kForward,
                           ColouringOrder order = ColouringOrder::kSaturation);

}  // namespace Ondrel::Math::Solvers
