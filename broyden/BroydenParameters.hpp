// The settings of the Broyden solvers.
//
// BroydenParameters is copied whole into a solver at construction; later changes to the host's
// record do not reach that solver. It is a plain aggregate, so
// `BroydenParameters{400, 1e-10, 1e-3, 1000.0, 2.0, 4, 1}` fills the seven numerical settings in
// declaration order; the opt-in settings after them keep their defaults, under which a solve
// behaves exactly as it always has. Nothing here is validated: tolerances, ratios and limits act
// exactly as set (a NaN tolerance never lets a norm pass, an unknown update method disables the
// updates).
#pragma once

#include <Eigen/Core>
#include <cstdint>
#include <iostream>
#include <limits>
#include <ondrel/OndrelEigen.hpp>
#include <ondrel/OndrelSolversExport.hpp>
#include <ondrel/broyden/BroydenMonitor.hpp>
#include <vector>

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

/// A sign constraint on one variable (BroydenParameters::constraints), as KINSOL's constraints.
enum class SignConstraint : std::int32_t {
  kNone,         ///< any value
  kNonNegative,  ///< x >= 0
  kPositive,     ///< x > 0
  kNonPositive,  ///< x <= 0
  kNegative,     ///< x < 0
};

/// How an iteration turns the quasi-Newton direction d = -H F into its step.
enum class StepControl : std::int32_t {
  /// The whole of d, whatever the residual does there: the behaviour of every earlier release.
  kFullStep,
  /// A backtracking line search on ||F|| along d, capped in length, that cuts the step while the
  /// residual at its end is not finite or not low enough, and evaluates the Jacobian afresh at
  /// the current point when no cut is accepted (see BroydenParameters::stepControl).
  kLineSearch,
  /// Powell's dogleg within a trust region on the model's Jacobian, the radius grown and shrunk
  /// by how well the model predicted each step (see BroydenParameters::stepControl). Dense
  /// solver only: the sparse solver holds no Jacobian to take the gradient with, and refuses it.
  kTrustRegion,
};

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
  ///
  /// Under kTrustRegion an iteration steps to the minimiser of ||F + J s|| within the radius
  /// ||D s|| <= Delta (Powell's dogleg between the model's steepest-descent point and d), J the
  /// model's Jacobian, kept current through the updates. D is variableScales when given, else (as
  /// MINPACK's hybrj scales itself) the largest norm each column of J has had in the solve, none
  /// below 1e-6 of the largest. Delta is at most maxStepFactor * max(||D x||, 1), and at first no
  /// longer than d. A trial point is accepted when its residual norm is below absoluteTolerance
  /// or finite with ||F+||^2 lower than ||F||^2 by at least 1e-4 of the decrease the model
  /// predicted; Delta then grows to twice the step when the model predicted at least half the
  /// decrease. Otherwise the model is updated with the rejected trial (its secant information is
  /// as good as any), Delta is halved from the rejected step's length and a new dogleg tried, at
  /// most maxStepCuts times. A search that accepts nothing is made once more from a fresh
  /// Jacobian, as under kLineSearch; when that fails too, the line search along d takes over, with
  /// its own last resort. Each trial costs O(m²) more than the line search's (J is updated beside
  /// H). See docs/guide/failing-well.md for what it solves that the line search does not.
  StepControl stepControl = StepControl::kFullStep;
  /// kLineSearch: the cap on the step's length, relative to max(||x||, 1); kTrustRegion: the
  /// first radius, relative to max(||x0||, 1).
  double maxStepFactor = 10.0;
  /// kLineSearch: the most cuts of one search; kTrustRegion: the most rejected trials.
  std::uint64_t maxStepCuts = 5;
  /// kLineSearch: the relative growth of ||F|| a short step may bring in iteration k is this / k^2.
  double residualGrowthAllowance = 2.0;

  /// Opt-in exits for a solve that is not making progress, which then ends as a failure at once
  /// instead of running on to maxIterations. 0 switches each off.
  ///
  /// kStagnated: this many Jacobian evaluations in a row (the one at the start included) have
  /// each been followed by less than a hundredth off the best ||F|| so far, once that best is
  /// below half the starting ||F|| (a solve that has not got that far is still looking for a
  /// root's basin, and crawls on plateaus it may yet leave). The solve ends instead of evaluating
  /// the next Jacobian. MINPACK judges its "not making good progress" from its last five
  /// Jacobians; Broyden's method crawls longer before it converges, and robust() waits for 12.
  std::uint64_t stagnationJacobians = 0;
  /// kStagnated: this many iterations in a row have not lowered the best ||F|| so far by at least
  /// a thousandth (MINPACK's ten iterations; robust() waits for 200).
  std::uint64_t stagnationIterations = 0;
  /// kDiverged: ||F|| at a point where the Jacobian is due afresh, other than the start, exceeds
  /// this factor times the best ||F|| of the solve; the solve ends instead of evaluating it. Made
  /// for full-step solves of large models, whose usual failure is a run-away that would cost a
  /// factorisation per refresh until maxIterations. Choose the factor well above the overshoots
  /// your model's converging solves make: on the MINPACK-1 test set some converge after an
  /// overshoot of 10^15 (so robust() leaves this off). Infinity (the default), NaN or a negative
  /// factor never ends a solve.
  double divergenceFactor = std::numeric_limits<double>::infinity();

  /// Opt-in scaling and tolerances.
  ///
  /// A solve also converges when ||F|| <= relativeResidualTolerance * ||F(x0)||: the tolerance in
  /// every test above is then max(absoluteTolerance, relativeResidualTolerance * ||F(x0)||).
  /// 0 (the default) or NaN leaves absoluteTolerance alone.
  double relativeResidualTolerance = 0.0;
  /// Weights of the equations, m positive finite entries: every ||F|| the solver measures (the
  /// tolerances, the schedule, the line search, the exits, the record and the monitor) is
  /// ||diag(residualScales) F||, so that one tolerance means the same for every equation (an
  /// equation in amperes and one in volts). Empty (the default): unscaled.
  Eigen::VectorXd residualScales{};
  /// Scales of the variables, m positive finite entries (one per increment entry of a State): the
  /// weighted step norm and the line search's cap measure the step as diag(variableScales) dx, and
  /// the step weights become d_i / (|d_i x0_i| relativeTolerance + absoluteTolerance), so that a
  /// variable measured in microns and one in metres are small alike. Empty: unscaled.
  Eigen::VectorXd variableScales{};
  /// Sign constraints on the variables, one per value (empty: none). Before any residual is
  /// evaluated at a step's end, each entry of the step that would take a constrained value to or
  /// across zero is shortened to 0.99 of the way there (the other entries keep theirs): a positive
  /// value falls at most a hundredfold in one step and never reaches zero, and one held at zero by
  /// a non-strict constraint stays there. Under the line search the cap comes first, then this,
  /// then the cuts. In a State solve only plain values may be constrained. The start must
  /// satisfy the constraints.
  std::vector<SignConstraint> constraints{};

  /// Settings to try again with when a solve fails (empty: none). A solve that ends in any
  /// failure but the monitor's stop starts over from the caller's guess, which a failure leaves
  /// untouched, with fallbacks[0] in place of these settings and a fresh Jacobian; when that
  /// fails too, with fallbacks[1], and so on. Each fallback's settings apply whole, except its
  /// monitor and outputStream: the solver's own see every attempt, each from its iteration 0.
  /// The record counts the iterations and evaluations of all attempts, says how many fallbacks
  /// ran (BroydenInformation::fallbacksUsed) and otherwise describes the last attempt. Checked at
  /// construction as these settings are; a fallback with fallbacks of its own is refused, and so
  /// are fallbacks on the distributed solver. The sparse solver refuses a fallback with another
  /// updateMethod, since its model is built for one.
  std::vector<BroydenParameters> fallbacks{};

  /// The settings tuned for hard problems and far starts: the line search, with the refresh
  /// schedule and update that the standard test set favours under it.
  ONDREL_SOLVERS_API static BroydenParameters robust();
  /// robust(), and when it fails two fallbacks on the dense solver's trust region: first as
  /// robust() with kTrustRegion and stagnationJacobians 5, then the same with a fresh Jacobian
  /// after every two rejected trials (maxStepCuts 2, as MINPACK's hybrj). The runs each solves
  /// apart from the line search differ, and from one processor's kernels to another's; together
  /// they solve every run of the standard test set that MINPACK's hybrj1 or robust() solves (60 of
  /// 66 with each of OpenBLAS's kernels tried: ExitTuning). A failing solve costs all three
  /// attempts. Dense solver only (the sparse solver refuses the trust region).
  ONDREL_SOLVERS_API static BroydenParameters persistent();
};

}  // namespace Ondrel::Math::Solvers
