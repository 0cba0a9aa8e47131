// Keeping a constrained variable on its side of zero (not installed), for the variables policies.
#pragma once

#include <Eigen/Core>
#include <ondrel/broyden/BroydenParameters.hpp>

namespace Ondrel::Math::Solvers::internal {

// Shortens entry j of the step so that the value x it moves does not reach or cross the bound of
// `constraint`: it then goes `fraction` of the way there, so a positive value falls at most
// 1 / (1 - fraction) fold in one step and never reaches zero; a value already at the bound of a
// non-strict constraint stays there. Only that entry is cut: shortening the whole step instead
// would let one variable that heads far below its bound freeze all the others (a concentration
// a thousand times too high, in a chemical equilibrium, would take thousands of steps).
inline void limitToBound(
    SignConstraint constraint, double x, Eigen::Index j, double fraction, Eigen::VectorXd& step) {
  if (constraint == SignConstraint::kNone) return;
  const bool upward =
      constraint == SignConstraint::kNonNegative || constraint == SignConstraint::kPositive;
  // Distances towards the bound, positive when the step heads there.
  const double room = upward ? x : -x;
  const double travel = upward ? -step(j) : step(j);
  if (!(travel > 0.0) || travel < room) return;
  step(j) = upward ? -fraction * room : fraction * room;
}

}  // namespace Ondrel::Math::Solvers::internal
