// The Broyden iteration shared by every solver (not installed), run on a core (SolverCore.hpp), a
// model of the Jacobian (DenseModel, SparseModel: JacobianModel.hpp) and a policy for the
// variables (VectorVariables, StateVariables). The outline, which iterate() follows line by line:
//
//   F(x0); a start within tolerance is accepted at once, before any Jacobian;
//   the held Jacobian, or a fresh one at x0; the schedule starts anew; the monitor sees iteration
//   0; each iteration k = 1, 2, ...:
//     dx = -H F, shortened to keep the constrained variables on their side, and the trial point
//       x+ from it: the whole of dx, the line search's cut of it or the trust region's dogleg,
//       retried from a fresh Jacobian and as a last resort taken whole (takeStep);
//     F(x+); converged when ||F+|| < tol, or ||F+|| < 10 tol with a small weighted step;
//     a fresh Jacobian at x+ when the last decision scheduled one (unless the progress exits
//       find the solve diverging or stagnant first: refreshAt), else the rank-one update;
//     the schedule decides about the next iteration; x+ becomes x; the monitor sees iteration k;
//   maxIterations iterations without convergence end the solve.
//
// Every exit writes the record through finish(), after the monitor has seen the iteration that
// ended the solve. A failure, or an exception out of a callable, drops the model, so that the next
// solve evaluates afresh; the core keeps the schedule's state between solves.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>
#include <optional>
#include <ostream>
#include <type_traits>
#include <vector>

#include "JacobianModel.hpp"
#include "SolverCore.hpp"
#include "TrustRegion.hpp"

namespace Ondrel::Math::Solvers::internal {

// The line search's sufficient decrease per unit of step length: small, so that a step which
// lowers ||F|| at all is taken, and the quasi-Newton step's own quality decides the rest.
constexpr double kSufficientDecrease = 1e-4;
// A step that lets ||F|| grow within the allowance pays for its length relative to the variables:
// a residual that levels off far from its root (an arctangent, a saturating device) would
// otherwise let every step run further out while ||F|| barely moves.
constexpr double kGrowthStepPenalty = 0.03;
// Each cut keeps between these fractions of the last step length, wherever the quadratic model
// puts its minimum: no step shrinks faster than tenfold or slower than by half.
constexpr double kSmallestCut = 0.1;
constexpr double kLargestCut = 0.5;

// A residual norm within this factor of the tolerance converges when the step is small too
// (weighted step norm below kSmallStepNorm): near a root, a small step means the next one would
// gain nothing the tolerance can see.
constexpr double kLooseToleranceFactor = 10.0;
constexpr double kSmallStepNorm = 1.0;

// Runs a clean-up when the scope is left by an exception, and only then.
template <class CleanUp>
class OnUnwind {
 public:
  explicit OnUnwind(CleanUp onUnwind) : cleanUp(onUnwind), exceptions(std::uncaught_exceptions()) {}
  OnUnwind(const OnUnwind&) = delete;
  OnUnwind& operator=(const OnUnwind&) = delete;
  ~OnUnwind() {
    if (std::uncaught_exceptions() > exceptions) cleanUp();
  }

 private:
  CleanUp cleanUp;
  int exceptions;
};

struct LineSearchResult {
  bool accepted = true;
  // ||F|| at the last trial point, accepted or not.
  double norm = 0.0;
  // The fraction of the capped direction the last trial took.
  double length = 1.0;
  std::uint64_t cuts = 0;
  bool restarted = false;
  bool escaped = false;
};

// A reduction of the best ||F|| by less than these fractions is no progress: over an iteration for
// stagnationIterations (MINPACK's threshold), over the stretch from one Jacobian to the next for
// stagnationJacobians. Broyden's method often crawls for a while and then converges fast: on the
// test set runs that converge spend up to sixteen Jacobians in a row gaining less than MINPACK's
// tenth per Jacobian, so the Jacobian rule asks for a hundredth.
constexpr double kIterationGain = 1e-3;
constexpr double kJacobianGain = 0.01;
// Jacobians without progress count only once the best ||F|| is this fraction of the start's: until
// then the solve is still looking for the basin of a root, and its progress comes in jumps (a
// plateau left by one long step); after, a solve that stops gaining sits at a local minimum of
// ||F|| that quasi-Newton steps do not leave.
constexpr double kSettledFraction = 0.5;
// A constrained variable goes at most this fraction of the way to its bound in one step.
constexpr double kBoundFraction = 0.99;

// Where a solve stands: the iteration, the last step's weighted norm, the last search (a full
// step leaves it at its defaults) and what the iteration did to the model, as the monitor and the
// record are shown them; and what the progress exits remember.
struct Progress {
  std::uint64_t iteration = 0;
  double stepNorm = 0.0;
  LineSearchResult search;
  JacobianChange change = JacobianChange::kNone;
  // ||F(x0)||, the best ||F|| so far, and what it was at the last Jacobian evaluation.
  double start = std::numeric_limits<double>::infinity();
  double best = std::numeric_limits<double>::infinity();
  double bestAtJacobian = std::numeric_limits<double>::infinity();
  // Jacobian evaluations in a row after which the best fell by less than kJacobianGain.
  std::uint64_t slowJacobians = 0;
  // The last iteration that lowered the best by kIterationGain.
  std::uint64_t lastGain = 0;
  // StepControl::kTrustRegion's radius and work vectors.
  TrustRegion trust;

  void see(double norm) {
    if (iteration == 0) start = norm;
    if (norm < (1.0 - kIterationGain) * best) lastGain = iteration;
    if (norm < best) best = norm;
  }
  // The Jacobians without progress in a row, should one be evaluated now.
  std::uint64_t slowJacobiansNow() const {
    const bool settled = best <= kSettledFraction * start;
    return settled && best > (1.0 - kJacobianGain) * bestAtJacobian ? slowJacobians + 1 : 0;
  }
};

// What taking one step came to: the trial point's ||F||, or the termination that ends the solve
// there (with the norm the record reports), and whether a step was taken at all.
struct StepOutcome {
  double norm = 0.0;
  std::optional<BroydenTermination> end;
  bool stepTaken = true;
};

// The record of a solve that ends here, on every exit. An accepted start leaves the fields that
// describe the last solve that iterated (message, Jacobian evaluations, error) as they were.
inline const BroydenInformation& finish(SolverCore& core,
                                        BroydenTermination termination,
                                        const Progress& progress,
                                        double norm) {
  BroydenInformation& information = *core.information;
  if (termination != BroydenTermination::kAcceptedAtStart) {
    // The message first: it is the only write here that can throw.
    information.message = terminationMessage(termination);
    information.jacobianEvaluations = core.jacobianCount;
    information.error = progress.stepNorm;
  }
  information.iterations = progress.iteration;
  information.converged = termination == BroydenTermination::kConverged ||
                          termination == BroydenTermination::kAcceptedAtStart;
  information.residualNorm = norm;
  information.residualEvaluations = core.residualEvaluations;
  information.termination = termination;
  return information;
}

// failFast's verdict on the model after a factorisation or an update.
template <class Model>
std::optional<BroydenTermination> unhealthy(const BroydenParameters& parameters,
                                            const Model& model) {
  if (!parameters.failFast) return std::nullopt;
  switch (model.health()) {
    case ModelHealth::kFinite:
      return std::nullopt;
    case ModelHealth::kNonFiniteJacobian:
      return BroydenTermination::kNonFinite;
    case ModelHealth::kNonFiniteInverse:
      return BroydenTermination::kSingularJacobian;
  }
  return std::nullopt;
}

template <class Variables>
double weightedStepNorm(const SolverCore& core,
                        const Variables& variables,
                        const Eigen::VectorXd& step) {
  return std::sqrt(core.globalSum(variables.weightedSquaredSum(core.stepWeights, step)) /
                   static_cast<double>(core.globalSystemSize()));
}

// ||v|| and ||v||^2 of a step, or of a vector solve's values, measured with the variable scales
// when there are any; over all processes of a distributed solve.
inline double scaledSquaredNorm(const SolverCore& core,
                                const Eigen::VectorXd& scales,
                                const Eigen::VectorXd& v) {
  return core.globalSum(scales.size() == 0 ? v.squaredNorm()
                                           : (scales.array() * v.array()).matrix().squaredNorm());
}
inline double scaledNorm(const SolverCore& core,
                         const Eigen::VectorXd& scales,
                         const Eigen::VectorXd& v) {
  if (core.sumOverProcesses) return std::sqrt(scaledSquaredNorm(core, scales, v));
  return scales.size() == 0 ? v.norm() : (scales.array() * v.array()).matrix().norm();
}

// The longest step of the line search and the trust region, as MINPACK's `factor` bounds its
// first trust region: relative to the size of the variables, measured in `scales`, with a floor
// of one for variables near zero. A State's values are measured unscaled unless they pair with the
// increment entries. A factor that is negative or NaN caps nothing rather than turning the step
// around.
template <class Variables>
double stepCap(const SolverCore& core,
               double factor,
               const Variables& variables,
               const Eigen::VectorXd& scales) {
  const Eigen::VectorXd unscaled;
  const Eigen::VectorXd& valueScales = variables.valuesPairWithSteps() ? scales : unscaled;
  const double limit =
      factor * std::max(scaledNorm(core, valueScales, variables.currentValues()), 1.0);
  return limit >= 0.0 ? limit : std::numeric_limits<double>::infinity();
}

// The line search of StepControl::kLineSearch along `step` (d on entry, the last trial's step on
// return) from the current point, whose residual norm is `norm`, in iteration k. Leaves the last
// trial point in the variables and its residual in core.newResidual.
template <class Variables>
LineSearchResult searchStep(
    SolverCore& core, Variables& variables, Eigen::VectorXd& step, double norm, std::uint64_t k) {
  const BroydenParameters& parameters = core.parameters;
  LineSearchResult result;
  const Eigen::VectorXd& scales = parameters.variableScales;
  const Eigen::VectorXd unscaled;
  const Eigen::VectorXd& valueScales = variables.valuesPairWithSteps() ? scales : unscaled;
  const Eigen::VectorXd& x = variables.currentValues();
  const double limit = stepCap(core, parameters.maxStepFactor, variables, scales);
  const double length = scaledNorm(core, scales, step);
  if (length > limit) step *= limit / length;
  variables.constrain(step, parameters.constraints, kBoundFraction);

  const double squaredScale = std::max(scaledSquaredNorm(core, valueScales, x), 1.0);
  const double kk = static_cast<double>(k);
  const double allowance = parameters.residualGrowthAllowance / (kk * kk);
  const double squaredNorm = norm * norm;
  double lambda = 1.0;
  while (true) {
    variables.advance(step);
    core.evaluateResidual(variables.trialValues(), core.newResidual);
    result.norm = core.residualNorm(core.newResidual);
    result.length = lambda;
    const bool finite = std::isfinite(result.norm);
    if (finite) {
      const double relativeStep = scaledSquaredNorm(core, scales, step) / squaredScale;
      if (result.norm < core.tolerance ||
          result.norm <= (1.0 - kSufficientDecrease * lambda) * norm ||
          result.norm <= (1.0 + allowance - kGrowthStepPenalty * relativeStep) * norm) {
        return result;
      }
    }
    if (result.cuts >= parameters.maxStepCuts) break;
    double next = kLargestCut * lambda;
    if (finite) {
      // The minimum of the quadratic through ||F||^2 at 0 and lambda with the slope -2 ||F||^2
      // at 0 that a Newton direction has.
      const double curvature =
          (result.norm * result.norm - squaredNorm + 2.0 * squaredNorm * lambda) /
          (lambda * lambda);
      if (curvature > 0.0) {
        next = std::clamp(squaredNorm / curvature, kSmallestCut * lambda, kLargestCut * lambda);
      }
    }
    // A step cut to nothing would try the current point again and again.
    if (!(next > 0.0)) break;
    ++result.cuts;
    step *= next / lambda;
    lambda = next;
  }
  result.accepted = false;
  return result;
}

// Whether a model holds a Jacobian the trust region can take products with (the dense one).
template <class Model, class = void>
struct OffersJacobian : std::false_type {};
template <class Model>
struct OffersJacobian<Model, std::void_t<decltype(&Model::applyJacobian)>> : std::true_type {};

template <class Model>
bool offersTrustRegion(StepControl control) {
  return OffersJacobian<Model>::value && control == StepControl::kTrustRegion;
}

// The trust region of StepControl::kTrustRegion from the current point, whose residual norm is
// `norm`, with d = -H F in trust.newton: dogleg trials, each rejected one updating the model and
// halving the radius. Leaves the last trial point in the variables, its step in `step` and its
// residual in core.newResidual.
template <class Model, class Variables>
LineSearchResult trustStep(SolverCore& core,
                           Model& model,
                           Variables& variables,
                           Eigen::VectorXd& step,
                           double norm,
                           TrustRegion& trust) {
  const BroydenParameters& parameters = core.parameters;
  fixTrustScales(model, parameters.variableScales, trust);
  const Eigen::VectorXd& scales = trust.scales;
  trust.radius = std::min(trust.radius, stepCap(core, parameters.maxStepFactor, variables, scales));
  double newtonLength = scaledNorm(scales, trust.newton);
  if (!trust.radiusFixed) {
    trust.radius = std::min(trust.radius, newtonLength);
    trust.radiusFixed = true;
  }
  LineSearchResult result;
  const double squaredNorm = norm * norm;
  while (true) {
    doglegStep(model, core.residual, scales, trust, step);
    variables.constrain(step, parameters.constraints, kBoundFraction);
    model.applyJacobian(step, trust.product);
    trust.product += core.residual;
    const double predictedNorm = core.residualNorm(trust.product);
    const double predicted = squaredNorm - predictedNorm * predictedNorm;
    variables.advance(step);
    core.evaluateResidual(variables.trialValues(), core.newResidual);
    result.norm = core.residualNorm(core.newResidual);
    const double length = scaledNorm(scales, step);
    // In [0, 1] whatever d is: a d of nothing, or not finite, counts as taken whole.
    const double fraction = length / newtonLength;
    result.length = fraction >= 0.0 && fraction < 1.0 ? fraction : 1.0;
    const bool finite = std::isfinite(result.norm);
    const double ratio = (squaredNorm - result.norm * result.norm) / predicted;
    if (finite &&
        (result.norm < core.tolerance || (predicted > 0.0 && ratio >= kAcceptedPrediction))) {
      if (ratio >= kGoodPrediction) trust.radius = std::max(trust.radius, kRadiusGrowth * length);
      return result;
    }
    trust.radius = kRadiusCut * std::min(trust.radius, length);
    // A radius that halving cannot shrink (d not finite) or that has shrunk to nothing ends it.
    if (result.cuts >= parameters.maxStepCuts || !(trust.radius > 0.0) ||
        !std::isfinite(trust.radius)) {
      break;
    }
    ++result.cuts;
    // A rejected trial still measured F along its step: the model learns it, as MINPACK's hybrj
    // updates with every step it tries.
    if (finite) {
      model.update(
          parameters.updateMethod, variables.updateStep(step), core.residual, core.newResidual);
      model.step(core.residual, trust.newton);
      newtonLength = scaledNorm(scales, trust.newton);
    }
  }
  result.accepted = false;
  return result;
}

// A solve's trust region starts unbounded: each iteration bounds the radius by the step cap, and
// the first by d's length as well.
template <class Model>
void startTrustRegion(const SolverCore& core, Model& model, TrustRegion& trust) {
  model.keepJacobianCurrent(true);
  trust.allocate(core.systemSize);
  trust.radius = std::numeric_limits<double>::infinity();
  trust.radiusFixed = false;
  trust.scales.resize(0);
}

// The Jacobian afresh at `point`, whose ||F|| is `norm`, in the middle of a solve, unless a
// progress exit ends the solve first: a point far above the best one (divergence), or too many
// Jacobians in a row after which the best barely moved (stagnation). Then failFast's verdict.
template <class Model>
std::optional<BroydenTermination> refreshAt(
    SolverCore& core, Model& model, const Eigen::VectorXd& point, double norm, Progress& progress) {
  const BroydenParameters& parameters = core.parameters;
  if (parameters.divergenceFactor >= 0.0 && norm > parameters.divergenceFactor * progress.best) {
    return BroydenTermination::kDiverged;
  }
  const std::uint64_t slow = progress.slowJacobiansNow();
  if (parameters.stagnationJacobians > 0 && slow >= parameters.stagnationJacobians) {
    return BroydenTermination::kStagnated;
  }
  model.evaluate(point);
  ++core.jacobianCount;
  progress.change = JacobianChange::kRefreshed;
  progress.slowJacobians = slow;
  progress.bestAtJacobian = progress.best;
  return unhealthy(parameters, model);
}

// One step from the current point, whose residual norm is `norm`: the whole of dx, or under the
// line search a length it accepts (under the trust region a dogleg step it accepts). A search that
// accepts nothing is made once more from a fresh Jacobian at the current point, unless the model is
// one already (`modelFresh`); when that fails too the whole capped step is taken if its residual is
// finite (the point is near a local minimum of ||F|| or in a narrow valley, where cutting further
// only stalls), as a full-step solve would.
template <class Model, class Variables>
StepOutcome takeStep(SolverCore& core,
                     Model& model,
                     Variables& variables,
                     Eigen::VectorXd& step,
                     double norm,
                     bool modelFresh,
                     Progress& progress) {
  model.step(core.residual, step);
  const StepControl control = core.parameters.stepControl;
  if (control == StepControl::kFullStep) {
    variables.constrain(step, core.parameters.constraints, kBoundFraction);
    variables.advance(step);
    core.evaluateResidual(variables.trialValues(), core.newResidual);
    return {core.residualNorm(core.newResidual), std::nullopt, true};
  }
  const bool trustRegion = offersTrustRegion<Model>(control);
  auto search = [&] {
    if constexpr (OffersJacobian<Model>::value) {
      if (trustRegion) {
        progress.trust.newton = step;
        return trustStep(core, model, variables, step, norm, progress.trust);
      }
    }
    return searchStep(core, variables, step, norm, progress.iteration);
  };
  LineSearchResult& result = progress.search;
  result = search();
  if (!result.accepted && !modelFresh) {
    if (const auto stop = refreshAt(core, model, variables.currentValues(), norm, progress)) {
      return {norm, stop, false};
    }
    core.restartSchedule();
    const std::uint64_t firstCuts = result.cuts;
    model.step(core.residual, step);
    result = search();
    result.cuts += firstCuts;
    result.restarted = true;
  }
  // A trust region that accepts nothing even from a fresh Jacobian hands over to the line search
  // along d: on badly scaled models the dogleg's steps can all land where F is not finite.
  if (!result.accepted && trustRegion) {
    const LineSearchResult trustTrials = result;
    step = progress.trust.newton;
    result = searchStep(core, variables, step, norm, progress.iteration);
    result.cuts += trustTrials.cuts;
    result.restarted = trustTrials.restarted;
  }
  if (!result.accepted) {
    // The whole capped step.
    step /= result.length;
    variables.advance(step);
    core.evaluateResidual(variables.trialValues(), core.newResidual);
    result.norm = core.residualNorm(core.newResidual);
    result.length = 1.0;
    result.escaped = true;
    result.accepted = std::isfinite(result.norm);
  }
  if (!result.accepted) return {result.norm, BroydenTermination::kLineSearchFailed, true};
  return {result.norm, std::nullopt, true};
}

// What the monitor is shown of where a solve stands.
inline BroydenIterationReport reportOf(const SolverCore& core,
                                       const Progress& progress,
                                       double norm,
                                       const Eigen::VectorXd* values,
                                       BroydenTermination termination) {
  BroydenIterationReport report;
  report.iteration = progress.iteration;
  report.residualNorm = norm;
  report.stepNorm = progress.stepNorm;
  report.jacobianEvaluations = core.jacobianCount;
  report.jacobianChange = progress.change;
  report.values = values;
  report.stepLength = progress.search.length;
  report.stepCuts = progress.search.cuts;
  report.restarted = progress.search.restarted;
  report.escaped = progress.search.escaped;
  report.termination = termination;
  return report;
}

// Why a solve ends after a report that did not let it go on: the monitor's answer, or at the
// iteration limit the limit itself, whose report is not asked.
inline BroydenTermination endingAfterReport(const BroydenParameters& parameters,
                                            const Progress& progress,
                                            double norm) {
  if (progress.iteration < parameters.maxIterations) return BroydenTermination::kStoppedByMonitor;
  return std::isfinite(norm) ? BroydenTermination::kIterationLimit : BroydenTermination::kNonFinite;
}

template <class Model, class Variables>
const BroydenInformation& iterate(SolverCore& core, Model& model, Variables& variables) {
  const BroydenParameters& parameters = core.parameters;
  Eigen::VectorXd& step = core.step;
  step.resize(core.systemSize);
  Progress progress;
  core.residualEvaluations = 0;
  // The values the monitor is shown: the trial point once an iteration has taken its step.
  const Eigen::VectorXd* shown = &variables.currentValues();

  // Once a callable has run, the Jacobian may be half written while its factors and inverse
  // still describe the previous one: an exception must not leave that to be trusted.
  OnUnwind forgetJacobian([&] {
    model.drop();
    core.refreshJacobian = true;
  });
  auto monitorSays = [&](double norm, BroydenTermination termination) {
    return !parameters.monitor ||
           parameters.monitor(reportOf(core, progress, norm, shown, termination));
  };
  // Every way out but convergence: the monitor sees the iteration that ended the solve (unless
  // it ended the solve itself), then the record, then a model the next solve must not trust.
  auto fail = [&](BroydenTermination termination, double norm) -> const BroydenInformation& {
    if (termination != BroydenTermination::kStoppedByMonitor) monitorSays(norm, termination);
    const BroydenInformation& information = finish(core, termination, progress, norm);
    model.drop();
    core.refreshJacobian = true;
    return information;
  };
  // The last iteration is shown with the reason the solve ends, not asked.
  auto goesOn = [&](double norm) {
    return progress.iteration < parameters.maxIterations &&
           monitorSays(norm, BroydenTermination::kNotSolved);
  };
  auto ending = [&](double norm) { return endingAfterReport(parameters, progress, norm); };

  core.evaluateResidual(variables.currentValues(), core.residual);
  double previousNorm = core.residualNorm(core.residual);
  core.fixTolerance(previousNorm);
  if (core.tolerance >= previousNorm) {
    return finish(core, BroydenTermination::kAcceptedAtStart, progress, previousNorm);
  }
  progress.see(previousNorm);
  core.jacobianCount = 0;
  // Under the line search or the trust region there is nothing to descend from: no step could be
  // accepted.
  const bool searching = parameters.stepControl != StepControl::kFullStep;
  if ((parameters.failFast || searching) && !std::isfinite(previousNorm)) {
    return fail(BroydenTermination::kNonFinite, previousNorm);
  }
  if constexpr (OffersJacobian<Model>::value) {
    if (offersTrustRegion<Model>(parameters.stepControl))
      startTrustRegion(core, model, progress.trust);
  }
  if (!model.held()) {
    model.evaluate(variables.currentValues());
    core.jacobianCount = 1;
    progress.change = JacobianChange::kRefreshed;
    progress.bestAtJacobian = progress.best;
    if (const auto stop = unhealthy(parameters, model)) return fail(*stop, previousNorm);
  }
  core.restartSchedule();
  variables.fixWeights(core.stepWeights,
                       parameters.relativeTolerance,
                       parameters.absoluteTolerance,
                       parameters.variableScales);
  if (!goesOn(previousNorm)) return fail(ending(previousNorm), previousNorm);

  while (true) {
    ++progress.iteration;
    // Whether the model is a Jacobian evaluated at the current point, untouched since.
    const bool modelFresh = progress.change == JacobianChange::kRefreshed;
    progress.change = JacobianChange::kNone;
    const StepOutcome outcome =
        takeStep(core, model, variables, step, previousNorm, modelFresh, progress);
    if (outcome.stepTaken) {
      progress.stepNorm = weightedStepNorm(core, variables, step);
      shown = &variables.trialValues();
    }
    if (outcome.end) return fail(*outcome.end, outcome.norm);
    const double norm = outcome.norm;
    progress.see(norm);

    if (norm < core.tolerance ||
        (progress.stepNorm < kSmallStepNorm && norm < kLooseToleranceFactor * core.tolerance)) {
      // Shown, but not asked: the solve ends here as converged whatever the answer.
      monitorSays(norm, BroydenTermination::kConverged);
      if (parameters.outputStream) {
        *parameters.outputStream << "error: " << progress.stepNorm << " norm: " << norm
                                 << " it: " << progress.iteration << " nJ: " << core.jacobianCount
                                 << std::endl;
      }
      // The caller's variables first: if handing them over throws, nothing else has changed.
      variables.writeBack();
      return finish(core, BroydenTermination::kConverged, progress, norm);
    }
    if (parameters.failFast && !std::isfinite(norm)) {
      return fail(BroydenTermination::kNonFinite, norm);
    }

    if (core.refreshJacobian) {
      if (const auto stop = refreshAt(core, model, variables.trialValues(), norm, progress)) {
        return fail(*stop, norm);
      }
    } else {
      model.update(
          parameters.updateMethod, variables.updateStep(step), core.residual, core.newResidual);
      progress.change = JacobianChange::kUpdated;
      if (const auto stop = unhealthy(parameters, model)) return fail(*stop, norm);
    }
    core.scheduleRefresh(previousNorm, norm);
    if (parameters.stagnationIterations > 0 &&
        progress.iteration - progress.lastGain >= parameters.stagnationIterations) {
      return fail(BroydenTermination::kStagnated, norm);
    }

    variables.accept();
    core.residual = core.newResidual;
    previousNorm = norm;
    if (!goesOn(norm)) return fail(ending(norm), norm);
  }
}

// A solve with BroydenParameters::fallbacks: iterate() on the core's settings, and after each
// failure but the monitor's stop once more from the caller's guess with the next fallback's in
// their place, the solver's monitor and output kept. `makeVariables` makes a new variables policy
// for a fallback over the caller's values, which a failure has left as they were; a failure has
// also dropped the model, so each fallback starts from a fresh Jacobian. The record sums the
// attempts' counts.
template <class Model, class Variables, class MakeVariables>
const BroydenInformation& iterateWithFallbacks(SolverCore& core,
                                               Model& model,
                                               Variables& variables,
                                               MakeVariables makeVariables) {
  if (core.parameters.fallbacks.empty()) {
    iterate(core, model, variables);
    core.information->fallbacksUsed = 0;
    return *core.information;
  }
  // The attempts write a copy of the face's record, which is the host's only once they have come
  // to an end without an exception; and the solver's own settings come back however they end.
  BroydenInformation& faceRecord = *core.information;
  BroydenInformation record = faceRecord;
  struct Restore {
    SolverCore& core;
    BroydenInformation& faceRecord;
    std::optional<BroydenParameters> own;
    ~Restore() {
      if (own) core.parameters = std::move(*own);
      core.information = &faceRecord;
    }
  } restore{core, faceRecord, std::nullopt};
  core.information = &record;
  auto finished = [&]() -> const BroydenInformation& {
    faceRecord = std::move(record);
    return faceRecord;
  };
  iterate(core, model, variables);
  record.fallbacksUsed = 0;
  if (record.converged || record.termination == BroydenTermination::kStoppedByMonitor) {
    return finished();
  }
  const BroydenParameters& own = restore.own.emplace(std::move(core.parameters));
  for (const BroydenParameters& fallback : own.fallbacks) {
    // The record sums the attempts so far.
    const std::uint64_t iterations = record.iterations;
    const std::uint64_t jacobians = record.jacobianEvaluations;
    const std::uint64_t residuals = record.residualEvaluations;
    core.parameters = fallback;
    core.parameters.monitor = own.monitor;
    core.parameters.outputStream = own.outputStream;
    auto fallbackVariables = makeVariables();
    iterate(core, model, fallbackVariables);
    ++record.fallbacksUsed;
    record.iterations += iterations;
    // A start accepted at once (a residual that answers otherwise the second time) leaves the
    // Jacobian count as the attempts before left it.
    if (record.termination != BroydenTermination::kAcceptedAtStart) {
      record.jacobianEvaluations += jacobians;
    }
    record.residualEvaluations += residuals;
    if (record.converged || record.termination == BroydenTermination::kStoppedByMonitor) break;
  }
  return finished();
}

}  // namespace Ondrel::Math::Solvers::internal
