// The result record of the Broyden solvers.
//
// BroydenInformation lives inside the solver and is handed out by reference from every solve: copy
// it to keep a result past the next solve. A plain aggregate.
#pragma once

#include <cstdint>
#include <ondrel/OndrelSolversExport.hpp>
#include <string>

namespace Ondrel::Math::Solvers {

/// Why the last solve ended.
enum class BroydenTermination : std::int32_t {
  kNotSolved,         ///< no solve has returned yet
  kConverged,         ///< an iteration converged
  kAcceptedAtStart,   ///< the starting point met the tolerance; no iteration ran
  kIterationLimit,    ///< maxIterations iterations without convergence, the last norm finite
  kNonFinite,         ///< a residual norm or the Jacobian was NaN or infinite
  kSingularJacobian,  ///< failFast: an inverse Jacobian was not finite (singular, or overflowed)
  kStoppedByMonitor,  ///< the monitor returned false
  kLineSearchFailed,  ///< kLineSearch, kTrustRegion: no step was accepted, even from a fresh
                      ///< Jacobian
  kStagnated,         ///< stagnationJacobians or stagnationIterations: no progress for that long
  kDiverged,          ///< divergenceFactor: ||F|| at a fresh Jacobian far above the best
};

/// A stable name for each termination, for logs and messages: "converged", "accepted at start",
/// "iteration limit", ... (the enumerator's name in words); "unknown" for a value outside the enum.
ONDREL_SOLVERS_API const char* terminationName(BroydenTermination termination);

/// The result of a solver's last solve, held in the solver and handed out by reference.
struct BroydenInformation {
  /// True when the last solve ended at a point within tolerance (after a failed solve, an
  /// accepted start reports true beside the failure's message; `termination` tells them apart).
  bool converged = false;
  /// Iterations made by the last solve; 0 when the guess was accepted at once. A solve that ran
  /// to the limit made maxIterations; one stopped early (failFast, the monitor) fewer.
  std::uint64_t iterations = 0;
  /// Empty after an iteration converged; after a failure one of
  /// "Non-finite values encountered in Broyden solver" and "Maximum number of iterations reached",
  /// or, for the opt-in stops, "Singular Jacobian encountered in Broyden solver" and
  /// "Stopped by the monitor", under the line search "Line search failed in Broyden solver", and
  /// for the progress exits "Stagnation detected in Broyden solver" and "Divergence detected in
  /// Broyden solver".
  std::string message;
  /// Jacobian evaluations of the last solve that iterated (0 when a held Jacobian sufficed).
  std::uint64_t jacobianEvaluations = 0;
  /// Weighted root-mean-square norm of the last step, sqrt(sum (dx_i w_i)^2 / m).
  double error = 0.0;

  // The fields above keep the meaning they always had: after an accepted start, `message`,
  // `jacobianEvaluations` and `error` still describe an earlier solve. The fields below describe
  // the last solve on every exit.

  /// ||F|| at the point the solve ended on: the starting point when it was accepted or no
  /// iteration ran, the converged point, or the last trial point of a failure (whose variables
  /// the caller keeps at the guess).
  double residualNorm = 0.0;
  /// Residual evaluations of the last solve.
  std::uint64_t residualEvaluations = 0;
  /// Why the last solve ended.
  BroydenTermination termination = BroydenTermination::kNotSolved;
  /// How many of BroydenParameters::fallbacks the last solve ran: 0 when its own settings ended it.
  /// With fallbacks, `iterations`, `jacobianEvaluations` and `residualEvaluations` sum over every
  /// attempt, and the other fields describe the last one.
  std::uint64_t fallbacksUsed = 0;
};

}  // namespace Ondrel::Math::Solvers
