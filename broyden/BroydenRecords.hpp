// Settings and result records of the Broyden solver.
//
// BroydenParameters is copied whole into a solver at construction; later changes to the host's
// record do not reach that solver. BroydenInformation lives inside the solver and is handed out
// by reference from every solve: copy it to keep a result past the next solve.
//
// Both are plain aggregates, so `BroydenParameters{400, 1e-10, 1e-3, 1000.0, 2.0, 4, 1}` fills
// all seven fields in declaration order. Nothing here is validated: tolerances, ratios and limits
// act exactly as set (a NaN tolerance never lets a norm pass, an unknown update method disables
// the updates).
#pragma once

#include <cstdint>
#include <string>

namespace Ondrel::Math::Solvers {

// Names for BroydenParameters::updateMethod, the rank-one correction applied between Jacobian
// evaluations (formulas in broyden/internal/DenseModel.hpp). The field stays an int: any other
// value is valid and applies no update (the chord method).
enum UpdateMethod : std::int32_t {
  // Good Broyden on the Jacobian itself, then a new factorisation: O(m³) per iteration.
  kGoodBroydenOnJacobian = 0,
  // The same update carried to the inverse by Sherman–Morrison: O(m²) per iteration.
  kGoodBroydenOnInverse = 1,
  // Bad Broyden: the rank-one correction of the inverse along y.
  kBadBroydenOnInverse = 2,
};

struct BroydenParameters {
  // Most iterations per solve; 0 means a solve succeeds only when the guess already meets
  // absoluteTolerance. Full steps from a poor guess can wander long before they settle: on the
  // standard test set 400 solves eight more of 66 runs than 50 does.
  std::uint64_t maxIterations = 400;
  // Residual-norm tolerance, and the absolute term of the step weights. The guess is accepted
  // when ||F|| <= tol; an iteration converges when ||F|| < tol, or when ||F|| < 10 tol and the
  // weighted step norm is below 1.
  double absoluteTolerance = 1e-10;
  // Relative term of the step weights w_i = 1 / (|x0_i| * relativeTolerance + absoluteTolerance):
  // a step below a thousandth of the variables' size counts as small.
  double relativeTolerance = 1e-3;
  // A residual reduction (old norm / new norm) above this makes the next iteration evaluate the
  // Jacobian afresh: the model is so good that the step is worth a fresh, exact Jacobian.
  double refreshReductionRatio = 1000.0;
  // An iteration whose reduction ratio is at least this counts as good, any other as poor.
  double goodReductionRatio = 2.0;
  // The Jacobian is evaluated afresh after this many good iterations, or one more poor ones.
  std::uint64_t refreshCountLimit = 4;
  // Rank-one correction between Jacobian evaluations: 0 good Broyden on the Jacobian (then a new
  // factorisation), 1 good Broyden on the inverse, 2 bad Broyden on the inverse, other: none.
  std::int32_t updateMethod = kGoodBroydenOnInverse;
};

struct BroydenInformation {
  // True when the last solve ended at a point within tolerance.
  bool converged = false;
  // Iterations made by the last solve; 0 when the guess was accepted at once.
  std::uint64_t iterations = 0;
  // Empty after an iteration converged; after a failure one of
  // "Non-finite values encountered in Broyden solver" and "Maximum number of iterations reached".
  std::string message;
  // Jacobian evaluations of the last solve that iterated (0 when a held Jacobian sufficed).
  std::uint64_t jacobianEvaluations = 0;
  // Weighted root-mean-square norm of the last step, sqrt(sum (dx_i w_i)^2 / m).
  double error = 0.0;
};

}  // namespace Ondrel::Math::Solvers
