// Finite-difference Jacobians and a check of hand-written ones.
//
// Every host ends up writing these: a Jacobian callable for a system whose derivatives are not
// worth deriving, and a test that the derivatives it did derive are right.
//
// Coordinates. For a plain vector, column j is the derivative along entry j of the vector. For a
// State, column j is the derivative along increment entry j, the coordinates the solver works
// in: the helpers step the State through addIncrement, exactly as the solver does. For a
// quaternion stretch the 3 columns are therefore derivatives with respect to a small rotation
// (a rotation vector of the full angle, in radians) applied on the LEFT, Q' = exp(dθ) Q.
//
// Step sizes. A forward difference of column j steps by h_j = sqrt(eps) * max(|x_j|, 1), signed
// like x_j (Dennis and Schnabel's choice with a typical size of 1): relative to the variable when
// it is large, absolute when it is small, and about sqrt(eps) relative accuracy in the result.
// The step is rounded so that x_j + h_j - x_j is exactly h_j. A rotation increment has no value
// of its own to scale by; its angle is measured in radians, so its step is sqrt(eps).
//
// Sparse Jacobians differenced by colours, and exact Jacobians by automatic differentiation, are
// in ColouredJacobian.hpp and AutomaticJacobian.hpp; checkJacobian checks sparse ones too.
//
// Sizes. Systems are square, as for the solver: m residual entries for m (increment) variables.
// The residual callable is handed a vector of m entries to fill; a callable that leaves another
// number of entries, or a Jacobian callable that leaves other than m x m, is refused with
// std::invalid_argument. The helpers own copies of the callables and of the prototype State they
// are given; the matrix they are handed is written only once the whole Jacobian is known, so an
// exception from the residual callable leaves it untouched.
#pragma once

#include <Eigen/Core>
#include <iosfwd>
#include <ondrel/OndrelEigen.hpp>
#include <ondrel/OndrelSolversExport.hpp>
#include <ondrel/broyden/BroydenFunctions.hpp>
#include <ondrel/state/State.hpp>

namespace Ondrel::Math::Solvers {

/// A Jacobian callable for `size` plain variables, by forward differences of `residual`: size
/// residual evaluations per Jacobian, besides the one at the point itself. The returned callable
/// throws std::invalid_argument when it is given a point of other than `size` entries.
/// Throws std::invalid_argument for a negative size or an empty residual callable.
ONDREL_SOLVERS_API JacobianFunction forwardDifferenceJacobian(ResidualFunction residual,
                                                              long long size);

/// A Jacobian callable for States laid out like `prototype` (its rotation registry; its values are
/// not used): the returned callable takes the values of such a State, differentiates in increment
/// coordinates, one residual evaluation per increment entry, and fills an m x m matrix,
/// m = prototype.incrementSize(). It throws std::invalid_argument for values of another length
/// than the prototype's. Throws std::invalid_argument for an empty residual callable.
ONDREL_SOLVERS_API JacobianFunction forwardDifferenceJacobian(ResidualFunction residual,
                                                              const Ondrel::Math::State& prototype);

/// Where a Jacobian callable and the finite-difference Jacobian disagree most.
///
/// The finite-difference reference is a central difference (step cbrt(eps) * max(|x_j|, 1), or
/// cbrt(eps) for rotation increments), accurate to about eps^(2/3) relative, so that real errors
/// stand far above the reference's own. The difference of entry (i, j) is measured as
///   |analytic - reference| / max(|analytic|, |reference|, 1e-4 * largest |entry| of column j),
/// relative for the entries that matter and relative to the column's scale for entries that are
/// zero or nearly so. A non-finite entry counts as an infinite difference. On a well-scaled
/// system a correct Jacobian reports about 1e-8 or less and a wrong entry order one; a threshold
/// of 1e-5 separates them with room to spare.
///
/// Ties: the entries are visited column by column, rows ascending within a column, and only a
/// strictly larger difference displaces the one held. Of two entries with the same largest
/// difference, two non-finite entries among them, the first in that order (the lower column,
/// then the lower row) is reported.
struct JacobianCheckReport {
  /// Largest relative difference over all entries; 0 for an empty Jacobian.
  double largestRelativeDifference = 0.0;
  /// Entry where it occurs; -1 for an empty Jacobian.
  ///@{
  long long row = -1;
  long long column = -1;
  ///@}
  /// The two values of that entry.
  ///@{
  double analytic = 0.0;
  double finiteDifference = 0.0;
  ///@}
};

/// Evaluates `jacobian` at `point` and compares it with central differences of `residual`.
/// Throws std::invalid_argument for empty callables or callables that leave other than m entries
/// (m x m for the Jacobian), m = point.size(). Exceptions of the callables pass through.
ONDREL_SOLVERS_API JacobianCheckReport
checkJacobian(const ResidualFunction& residual,
              const JacobianFunction& jacobian,
              const Eigen::Ref<const Eigen::VectorXd>& point);

/// The same at a State, in its increment coordinates (m = point.incrementSize()); the Jacobian
/// callable is given the State's values, as the solver gives them.
ONDREL_SOLVERS_API JacobianCheckReport checkJacobian(const ResidualFunction& residual,
                                                     const JacobianFunction& jacobian,
                                                     const Ondrel::Math::State& point);

/// Columns up to which the sparse checkJacobian computes full central differences (2 m residual
/// evaluations and an m x m matrix), and so also looks for entries outside the pattern.
inline constexpr long long kSparseCheckFullLimit = 2000;

/// What the sparse checkJacobian found: the comparison of JacobianCheckReport, and the entries
/// that the differences find outside the sparse Jacobian's pattern (a pattern that is too small).
///
/// For m <= kSparseCheckFullLimit the analytic Jacobian is compared in full, entries outside its
/// pattern counting as 0, so a missing entry shows as a relative difference of 1 with analytic 0;
/// an entry outside the pattern is counted when its central difference is not finite or stands
/// above 1e-4 of its column's largest entry (the floor of the comparison), far above the
/// differences' rounding. Beyond that size only the pattern's entries are compared, against
/// coloured central differences on the pattern (two residual evaluations per colour); a
/// dependency the pattern misses then shows as a wrong entry of another column of its colour in
/// the same row, or not at all when no such column exists, and outsideChecked is false.
struct SparseJacobianCheckReport : JacobianCheckReport {
  /// Whether the entries outside the pattern were looked at (m <= kSparseCheckFullLimit).
  bool outsideChecked = false;
  /// How many entries outside the pattern the differences find nonzero.
  long long entriesOutsidePattern = 0;
  /// The first of them, column by column and rows ascending, and its central difference; -1 and
  /// 0 when there is none.
  ///@{
  long long outsideRow = -1;
  long long outsideColumn = -1;
  double outsideFiniteDifference = 0.0;
  ///@}
};

/// Evaluates the sparse `jacobian` at `point` (handed an empty m x m matrix) and compares it with
/// central differences of `residual`, as described for SparseJacobianCheckReport. Throws
/// std::invalid_argument for empty callables or callables that leave other than m entries
/// (m x m for the Jacobian). Exceptions of the callables pass through.
ONDREL_SOLVERS_API SparseJacobianCheckReport
checkJacobian(const ResidualFunction& residual,
              const SparseJacobianFunction& jacobian,
              const Eigen::Ref<const Eigen::VectorXd>& point);

/// The same at a State, in its increment coordinates (m = point.incrementSize()).
ONDREL_SOLVERS_API SparseJacobianCheckReport checkJacobian(const ResidualFunction& residual,
                                                           const SparseJacobianFunction& jacobian,
                                                           const Ondrel::Math::State& point);

/// One line: the largest difference, its entry and both values.
ONDREL_SOLVERS_API std::ostream& operator<<(std::ostream& stream,
                                            const JacobianCheckReport& report);

/// The line of JacobianCheckReport, then what was found outside the pattern: "; none outside the
/// pattern", "; 2 outside the pattern, the first at entry (3, 1): finite difference -1", or
/// "; entries outside the pattern not checked".
ONDREL_SOLVERS_API std::ostream& operator<<(std::ostream& stream,
                                            const SparseJacobianCheckReport& report);

}  // namespace Ondrel::Math::Solvers
