// Keeping a constrained variable on its side of zero (not installed), for the variables policies.
#pragma once

#include <Eigen/Core>
#include <ondrel/broyden/BroydenParameters.hpp>

namespace Ondrel::Math::Solvers::internal {

// Shortens the whole step so that the value x, moved by step(j), does not cross the bound of
// `constraint`: when it would reach or cross it, the step keeps `fraction` of the way there, so
// the bound itself is never reached and the direction is kept. A value already at the bound of a
// non-strict constraint cannot move outwards: that entry of the step is zeroed instead, since
// shortening would stop every variable.
inline void limitToBound(
    SignConstraint constraint, double x, Eigen::Index j, double fraction, Eigen::VectorXd& step) {
  if (constraint == SignConstraint::kNone) return;
  const bool upward =
      constraint == SignConstraint::kNonNegative || constraint == SignConstraint::kPositive;
  // Distances towards the bound, positive when the step heads there.
  const double room = upward ? x : -x;
  const double travel = upward ? -step(j) : step(j);
  if (!(travel > 0.0) || travel < room) return;
  if (room > 0.0) {
    step *= fraction * room / travel;
  } else {
    step(j) = 0.0;
  }
}

}  // namespace Ondrel::Math::Solvers::internal
