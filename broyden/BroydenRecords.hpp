// Settings and result records of the Broyden solver.
//
// BroydenParameters is copied whole into a solver at construction; later changes to the host's
// record do not reach that solver. BroydenInformation lives inside the solver and is handed out
// by reference from every solve: copy it to keep a result past the next solve.
//
// Both are plain aggregates, so `BroydenParameters{400, 1e-10, 1e-3, 1000.0, 2.0, 4, 1}` fills
// the seven numerical settings in declaration order; the opt-in settings after them keep their
// defaults, under which a solve behaves exactly as it always has. Nothing here is validated:
// tolerances, ratios and limits act exactly as set (a NaN tolerance never lets a norm pass, an
// unknown update method disables the updates).
#pragma once

#include <Eigen/Core>
#include <ondrel/OndrelEigen.hpp>
#include <cstdint>
#include <functional>
#include <iostream>
#include <ondrel/OndrelSolversExport.hpp>
#include <string>

namespace Ondrel::Math::Solvers {

/// Names for BroydenParameters::updateMethod, the rank-one correction applied between Jacobian
/// evaluations (formulas in broyden/internal/DenseModel.hpp). The field stays an int: any other
/// value is valid and applies no update (the chord method).
enum UpdateMethod : std::int32_t {
  /// Good Broyden on the Jacobian itself, then a new factorisation: O(m³) per iteration.
  kGoodBroydenOnJacobian = 0,
  /// The same update carried to the inverse by Sherman–Morrison: O(m²) per iteration.
  kGoodBroydenOnInverse = 1,
  /// Bad Broyden: the rank-one correction of the inverse along y.
  kBadBroydenOnInverse = 2,
};

/// What one iteration did to the model of the Jacobian.
enum class JacobianChange : std::int32_t {
  kNone,       ///< neither: the iteration converged, or a warm solve started on the held Jacobian
  kUpdated,    ///< the rank-one update of updateMethod
  kRefreshed,  ///< a fresh evaluation (and factorisation) at the iteration's trial point
};

/// How an iteration turns the quasi-Newton direction d = -H F into its step.
enum class StepControl : std::int32_t {
  /// The whole of d, whatever the residual does there: the behaviour of every earlier release.
  kFullStep,
  /// A backtracking line search on ||F|| along d, capped in length, that cuts the step while the
  /// residual at its end is not finite or not low enough, and evaluates the Jacobian afresh at
  /// the current point when no cut is accepted (see BroydenParameters::stepControl).
  kLineSearch,
};

/// What a monitor is shown: once before the first iteration (iteration 0, at the starting point,
/// once the starting Jacobian is there), then after every iteration, once its model change and
/// the next iteration's schedule are decided.
struct BroydenIterationReport {
  /// 0 before the first iteration, then 1, 2, ...
  std::uint64_t iteration = 0;
  /// ||F|| at the iteration's trial point (at the starting point for iteration 0).
  double residualNorm = 0.0;
  /// The iteration's weighted step norm, the `error` a solve ending here would report (0 for
  /// iteration 0).
  double stepNorm = 0.0;
  /// Jacobian evaluations of this solve so far.
  std::uint64_t jacobianEvaluations = 0;
  /// What the iteration did to the model: for iteration 0, kRefreshed when the solve evaluated its
  /// starting Jacobian and kNone when it started on the held one.
  JacobianChange jacobianChange = JacobianChange::kNone;
  /// The trial values (a vector solve's vector, a State solve's values), read-only and valid only
  /// during the call: copy them to keep them.
  const Eigen::VectorXd* values = nullptr;
  /// StepControl::kLineSearch: the fraction of the (capped) direction the iteration took; 1 for a
  /// full step.
  double stepLength = 1.0;
  /// StepControl::kLineSearch: the cuts the iteration's search made, a retry's included; 0 for a
  /// full step.
  std::uint64_t stepCuts = 0;
  /// StepControl::kLineSearch: whether the search failed once and was retried from a fresh
  /// Jacobian at the current point (counted in jacobianEvaluations); false for a full step.
  bool restarted = false;
  /// StepControl::kLineSearch: whether no length was accepted from a fresh Jacobian at the current
  /// point either, so that the iteration took the whole capped step (evaluated once more).
  bool escaped = false;
};

/// Called with every report; returns whether the solve is to go on. Returning false ends it as a
/// failure (termination kStoppedByMonitor) after an iteration that did not converge; an iteration
/// that converged ends the solve as converged whatever the answer. An exception thrown by the
/// monitor leaves the solve like one thrown by a residual or Jacobian callable.
using BroydenMonitor = std::function<bool(const BroydenIterationReport&)>;

/// The settings of a solver: seven numerical ones, then opt-in control and step control whose
/// defaults change nothing. Copied whole into a solver at construction.
struct BroydenParameters {
  /// Most iterations per solve; 0 means a solve succeeds only when the guess already meets
  /// absoluteTolerance. Full steps from a poor guess can wander long before they settle: on the
  /// standard test set 400 solves eight more of 66 runs than 50 does.
  std::uint64_t maxIterations = 400;
  /// Residual-norm tolerance, and the absolute term of the step weights. The guess is accepted
  /// when ||F|| <= tol; an iteration converges when ||F|| < tol, or when ||F|| < 10 tol and the
  /// weighted step norm is below 1.
  double absoluteTolerance = 1e-10;
  /// Relative term of the step weights w_i = 1 / (|x0_i| * relativeTolerance + absoluteTolerance):
  /// a step below a thousandth of the variables' size counts as small.
  double relativeTolerance = 1e-3;
  /// A residual reduction (old norm / new norm) above this makes the next iteration evaluate the
  /// Jacobian afresh: the model is so good that the step is worth a fresh, exact Jacobian.
  double refreshReductionRatio = 1000.0;
  /// An iteration whose reduction ratio is at least this counts as good, any other as poor.
  double goodReductionRatio = 2.0;
  /// The Jacobian is evaluated afresh after this many good iterations, or one more poor ones.
  std::uint64_t refreshCountLimit = 4;
  /// Rank-one correction between Jacobian evaluations: 0 good Broyden on the Jacobian (then a new
  /// factorisation), 1 good Broyden on the inverse, 2 bad Broyden on the inverse, other: none.
  std::int32_t updateMethod = kGoodBroydenOnInverse;

  // Opt-in control. The defaults keep the behaviour above exactly.

  /// Where the solver writes its output: the progress line of a converged solve and, in a State
  /// solve of a State of size 0, the indexer's diagnostic. nullptr writes nothing. Not owned: the
  /// stream must outlive the solves that write to it, and a solver only ever writes to its own.
  std::ostream* outputStream = &std::cout;
  /// Shown every iteration; see BroydenMonitor. Empty: no monitor.
  BroydenMonitor monitor{};
  /// Ends a solve at once, as a failure, at the first residual norm that is NaN or infinite
  /// (termination kNonFinite; a NaN at the starting point ends it before any Jacobian is
  /// evaluated) and at the first factorisation or inverse update that leaves a Jacobian with
  /// non-finite entries (kNonFinite) or an inverse that is not finite, an exactly singular one
  /// among them (kSingularJacobian). Off, such a solve runs on to maxIterations.
  bool failFast = false;

  /// Opt-in globalisation, for starts far from a root and residuals with a domain.
  ///
  /// Under kLineSearch an iteration first shortens d to at most maxStepFactor * max(||x||, 1)
  /// (increment entries against values for a State; a factor that is negative or NaN caps
  /// nothing), then tries the step s = lambda d from lambda = 1, accepting the first trial point
  /// whose residual norm is below absoluteTolerance, or finite and at most
  /// (1 - 1e-4 lambda) ||F(x)||, or at most
  /// (1 + residualGrowthAllowance / k^2 - 0.03 ||s||^2 / max(||x||^2, 1)) ||F(x)||
  /// in iteration k: a step may let ||F|| grow a little early on, if it is not long. Otherwise
  /// lambda is cut (to the minimiser of a quadratic model of ||F||^2, kept within [0.1, 0.5] of the
  /// last lambda; by half after a non-finite residual) at most maxStepCuts times, and never to
  /// zero. When no length is accepted and the model is not already a Jacobian evaluated at the
  /// current point, that Jacobian is evaluated and the search made once more. When no length is
  /// accepted from a fresh Jacobian either, the whole capped step is taken if its residual is
  /// finite (evaluated once more; cutting further would only stall), and otherwise the solve ends
  /// (termination kLineSearchFailed). A residual may therefore answer NaN outside
  /// its domain: the step is cut back into it. A starting residual that is not finite ends the
  /// solve at once (kNonFinite). The growth allowance is summable: it lets an early iteration climb
  /// a little, as Broyden's method often must, while the product of all allowed growth stays
  /// bounded.
  StepControl stepControl = StepControl::kFullStep;
  /// kLineSearch: the cap on the step's length, relative to max(||x||, 1).
  double maxStepFactor = 10.0;
  /// kLineSearch: the most cuts of one search.
  std::uint64_t maxStepCuts = 5;
  /// kLineSearch: the relative growth of ||F|| a short step may bring in iteration k is this / k^2.
  double residualGrowthAllowance = 2.0;

  /// The settings tuned for hard problems and far starts: the line search, with the refresh
  /// schedule and update that the standard test set favours under it.
  ONDREL_SOLVERS_API static BroydenParameters robust();
};

/// Why the last solve ended.
enum class BroydenTermination : std::int32_t {
  kNotSolved,         ///< no solve has returned yet
  kConverged,         ///< an iteration converged
  kAcceptedAtStart,   ///< the starting point met the tolerance; no iteration ran
  kIterationLimit,    ///< maxIterations iterations without convergence, the last norm finite
  kNonFinite,         ///< a residual norm or the Jacobian was NaN or infinite
  kSingularJacobian,  ///< failFast: an inverse Jacobian was not finite (singular, or overflowed)
  kStoppedByMonitor,  ///< the monitor returned false
  kLineSearchFailed,  ///< kLineSearch: no step length was accepted, even from a fresh Jacobian
};

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
  /// "Stopped by the monitor", and under the line search "Line search failed in Broyden solver".
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
};

}  // namespace Ondrel::Math::Solvers
