// The Broyden iteration shared by every solve (not installed): one loop, run with a policy for
// the variables (VectorVariables, StateVariables) and a model of the Jacobian (DenseModel).
//
// One iteration: dx = -H F; the trial point x+ = x + dx; F(x+); the convergence test; then either
// a fresh Jacobian at x+ (when the previous iteration scheduled one) or the rank-one update of the
// model; the schedule decides about the next iteration; x+ becomes x. Full steps are taken
// whatever the residual does, unless the host asked for the line search (searchStep below). The
// solver object keeps the model and the schedule's state between
// solves; a failure or an exception drops the model, so the next solve evaluates afresh.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <iostream>
#include <ondrel/broyden/BroydenFunctions.hpp>
#include <ondrel/broyden/BroydenRecords.hpp>
#include <stdexcept>
#include <string>

#include "JacobianModel.hpp"

namespace Ondrel::Math::Solvers::internal {

inline const char* const kNonFiniteMessage = "Non-finite values encountered in Broyden solver";
inline const char* const kIterationLimitMessage = "Maximum number of iterations reached";
inline const char* const kSingularMessage = "Singular Jacobian encountered in Broyden solver";
inline const char* const kMonitorStopMessage = "Stopped by the monitor";
inline const char* const kLineSearchMessage = "Line search failed in Broyden solver";

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

// A warm-started solve runs on the Jacobian of another point; once an iteration leaves the
// residual norm above this (absolute) level while still on it, that Jacobian is taken to be too
// far off and a fresh one is scheduled.
constexpr double kInheritedJacobianRefreshNorm = 100.0;

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

// What a solve reads and writes of the solver object besides the model of the Jacobian, by
// reference into the object that owns it.
struct SolveContext {
  const BroydenParameters& parameters;
  const ResidualFunction& residualFunction;
  BroydenInformation& information;
  // The refresh schedule: the flag the last decision left, and the good and poor iterations
  // counted since the last refresh.
  bool& refreshJacobian;
  std::uint64_t& goodIterationCount;
  std::uint64_t& poorIterationCount;
  // Jacobian evaluations of the current solve.
  std::uint64_t& jacobianCount;
  Eigen::VectorXd& residual;
  Eigen::VectorXd& newResidual;
  Eigen::VectorXd& stepWeights;
  Eigen::Index systemSize;
  // Residual evaluations of the current solve.
  std::uint64_t residualEvaluations = 0;

  // Calls the residual callable and refuses an output of other than m entries.
  void evaluateResidual(const Eigen::Ref<const Eigen::VectorXd>& point, Eigen::VectorXd& out) {
    // A callable that threw earlier may have left its output at another size.
    if (out.size() != systemSize) out.resize(systemSize);
    ++residualEvaluations;
    residualFunction(point, out);
    if (out.size() != systemSize) {
      throw std::invalid_argument("Broyden::solve: the residual function left " +
                                  std::to_string(out.size()) + " entries, the system has " +
                                  std::to_string(systemSize) + " equations");
    }
  }

  // Decides, after an iteration that did not converge, whether the next one evaluates the
  // Jacobian afresh. The first matching rule applies; ratio = previous norm / new norm.
  void scheduleRefresh(double previousNorm, double norm) {
    refreshJacobian = false;
    const double ratio = previousNorm / norm;
    bool refresh = false;
    if (ratio > parameters.refreshReductionRatio) {
      // A spectacular reduction: the model is good, and a fresh Jacobian makes it exact.
      refresh = true;
    } else if (norm > kInheritedJacobianRefreshNorm && jacobianCount == 0) {
      refresh = true;
    } else if (ratio >= parameters.goodReductionRatio) {
      ++goodIterationCount;
      refresh = goodIterationCount >= parameters.refreshCountLimit;
    } else if (poorIterationCount >= parameters.refreshCountLimit) {
      // Poor iterations (a NaN ratio among them) get one more chance than good ones.
      refresh = true;
    } else {
      ++poorIterationCount;
    }
    if (refresh) {
      refreshJacobian = true;
      goodIterationCount = 0;
      poorIterationCount = 0;
    }
  }
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

// The line search of StepControl::kLineSearch along `step` (d on entry, the last trial's step on
// return) from the current point, whose residual norm is `norm`, in iteration k. Leaves the last
// trial point in the variables and its residual in context.newResidual.
template <class Variables>
LineSearchResult searchStep(SolveContext& context,
                            Variables& variables,
                            Eigen::VectorXd& step,
                            double norm,
                            std::uint64_t k) {
  const BroydenParameters& parameters = context.parameters;
  LineSearchResult result;
  // The cap, as MINPACK's `factor` bounds its first trust region: relative to the size of the
  // variables, with a floor of one for variables near zero.
  const double limit = parameters.maxStepFactor * std::max(variables.currentValues().norm(), 1.0);
  const double length = step.norm();
  // A factor that is negative or NaN caps nothing rather than turning the step around.
  if (limit >= 0.0 && length > limit) step *= limit / length;

  const double squaredScale = std::max(variables.currentValues().squaredNorm(), 1.0);
  const double kk = static_cast<double>(k);
  const double allowance = parameters.residualGrowthAllowance / (kk * kk);
  const double squaredNorm = norm * norm;
  double lambda = 1.0;
  while (true) {
    variables.advance(step);
    context.evaluateResidual(variables.trialValues(), context.newResidual);
    result.norm = context.newResidual.norm();
    result.length = lambda;
    const bool finite = std::isfinite(result.norm);
    if (finite) {
      const double relativeStep = step.squaredNorm() / squaredScale;
      if (result.norm < parameters.absoluteTolerance ||
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

template <class Model, class Variables>
const BroydenInformation& iterate(SolveContext& context, Model& model, Variables& variables) {
  const BroydenParameters& parameters = context.parameters;
  BroydenInformation& information = context.information;
  const double tolerance = parameters.absoluteTolerance;
  const Eigen::Index m = context.systemSize;
  Eigen::VectorXd step(m);
  context.residualEvaluations = 0;

  // Once a callable has run, the Jacobian may be half written while its factors and inverse
  // still describe the previous one: an exception must not leave that to be trusted by the next
  // solve.
  OnUnwind forgetJacobian([&] {
    model.drop();
    context.refreshJacobian = true;
  });

  std::uint64_t k = 0;
  double stepNorm = 0.0;
  // The last iteration's search; a full step leaves it at its defaults.
  LineSearchResult search;
  // Every way out but convergence: the record, then a model the next solve must not trust.
  auto fail = [&](BroydenTermination termination,
                  const char* message,
                  double lastNorm) -> const BroydenInformation& {
    // The message first: it is the only write here that can throw.
    information.message = message;
    information.iterations = k;
    information.jacobianEvaluations = context.jacobianCount;
    information.error = stepNorm;
    information.converged = false;
    information.residualNorm = lastNorm;
    information.residualEvaluations = context.residualEvaluations;
    information.termination = termination;
    model.drop();
    context.refreshJacobian = true;
    return information;
  };
  // failFast's verdict on the model after a factorisation or an update, if it must stop.
  auto unhealthy = [&](double lastNorm) -> const BroydenInformation* {
    if (!parameters.failFast) return nullptr;
    switch (model.health()) {
      case ModelHealth::kFinite:
        return nullptr;
      case ModelHealth::kNonFiniteJacobian:
        return &fail(BroydenTermination::kNonFinite, kNonFiniteMessage, lastNorm);
      case ModelHealth::kNonFiniteInverse:
        return &fail(BroydenTermination::kSingularJacobian, kSingularMessage, lastNorm);
    }
    return nullptr;
  };
  auto monitorSays = [&](std::uint64_t iteration,
                         double norm,
                         JacobianChange change,
                         const Eigen::VectorXd& values) {
    if (!parameters.monitor) return true;
    BroydenIterationReport report;
    report.iteration = iteration;
    report.residualNorm = norm;
    report.stepNorm = stepNorm;
    report.jacobianEvaluations = context.jacobianCount;
    report.jacobianChange = change;
    report.values = &values;
    report.stepLength = search.length;
    report.stepCuts = search.cuts;
    report.restarted = search.restarted;
    report.escaped = search.escaped;
    return parameters.monitor(report);
  };

  context.evaluateResidual(variables.currentValues(), context.residual);
  const double initialNorm = context.residual.norm();
  if (tolerance >= initialNorm) {
    information.converged = true;
    information.iterations = 0;
    information.residualNorm = initialNorm;
    information.residualEvaluations = context.residualEvaluations;
    information.termination = BroydenTermination::kAcceptedAtStart;
    return information;
  }
  const bool lineSearch = parameters.stepControl == StepControl::kLineSearch;
  // Under the line search there is nothing to descend from: no step length could be accepted.
  if ((parameters.failFast || lineSearch) && !std::isfinite(initialNorm)) {
    context.jacobianCount = 0;
    return fail(BroydenTermination::kNonFinite, kNonFiniteMessage, initialNorm);
  }

  JacobianChange startChange = JacobianChange::kNone;
  if (model.held()) {
    context.jacobianCount = 0;
  } else {
    model.evaluate(variables.currentValues());
    context.jacobianCount = 1;
    startChange = JacobianChange::kRefreshed;
    if (const BroydenInformation* stopped = unhealthy(initialNorm)) return *stopped;
  }

  context.refreshJacobian = false;
  context.goodIterationCount = 0;
  context.poorIterationCount = 0;
  double previousNorm = initialNorm;
  variables.fixWeights(context.stepWeights, parameters.relativeTolerance, tolerance);
  if (!monitorSays(0, initialNorm, startChange, variables.currentValues())) {
    return fail(BroydenTermination::kStoppedByMonitor, kMonitorStopMessage, initialNorm);
  }

  // Whether the model is a Jacobian evaluated at the current point, untouched since: a failed
  // search is retried from a fresh Jacobian only when the model is not one already.
  bool modelFresh = startChange == JacobianChange::kRefreshed;

  while (k < parameters.maxIterations) {
    ++k;
    model.step(context.residual, step);
    double norm = 0.0;
    if (lineSearch) {
      search = searchStep(context, variables, step, previousNorm, k);
      if (!search.accepted && !modelFresh) {
        model.evaluate(variables.currentValues());
        ++context.jacobianCount;
        if (const BroydenInformation* stopped = unhealthy(previousNorm)) return *stopped;
        context.refreshJacobian = false;
        context.goodIterationCount = 0;
        context.poorIterationCount = 0;
        const std::uint64_t firstCuts = search.cuts;
        model.step(context.residual, step);
        search = searchStep(context, variables, step, previousNorm, k);
        search.cuts += firstCuts;
        search.restarted = true;
      }
      if (!search.accepted) {
        // No length lowered ||F|| enough, even along the fresh Jacobian's direction: the point is
        // near a local minimum of ||F|| or in a narrow valley, where cutting further only stalls.
        // The whole capped step is taken if its residual is finite, as a full-step solve would.
        step /= search.length;
        variables.advance(step);
        context.evaluateResidual(variables.trialValues(), context.newResidual);
        search.norm = context.newResidual.norm();
        search.length = 1.0;
        search.escaped = true;
        search.accepted = std::isfinite(search.norm);
      }
      if (!search.accepted) {
        stepNorm = std::sqrt(variables.weightedSquaredSum(context.stepWeights, step) /
                             static_cast<double>(m));
        return fail(BroydenTermination::kLineSearchFailed, kLineSearchMessage, search.norm);
      }
      norm = search.norm;
    } else {
      variables.advance(step);
      context.evaluateResidual(variables.trialValues(), context.newResidual);
      norm = context.newResidual.norm();
    }
    stepNorm =
        std::sqrt(variables.weightedSquaredSum(context.stepWeights, step) / static_cast<double>(m));

    if (norm < tolerance ||
        (stepNorm < kSmallStepNorm && norm < kLooseToleranceFactor * tolerance)) {
      // Shown, but not asked: the solve ends here as converged whatever the answer.
      monitorSays(k, norm, JacobianChange::kNone, variables.trialValues());
      if (parameters.outputStream) {
        *parameters.outputStream << "error: " << stepNorm << " norm: " << norm << " it: " << k
                                 << " nJ: " << context.jacobianCount << std::endl;
      }
      // The caller's variables first: if handing them over throws, nothing else has changed.
      variables.writeBack();
      information.iterations = k;
      information.jacobianEvaluations = context.jacobianCount;
      information.error = stepNorm;
      information.converged = true;
      information.message.clear();
      information.residualNorm = norm;
      information.residualEvaluations = context.residualEvaluations;
      information.termination = BroydenTermination::kConverged;
      return information;
    }
    if (parameters.failFast && !std::isfinite(norm)) {
      return fail(BroydenTermination::kNonFinite, kNonFiniteMessage, norm);
    }

    JacobianChange change = JacobianChange::kUpdated;
    if (context.refreshJacobian) {
      model.evaluate(variables.trialValues());
      ++context.jacobianCount;
      change = JacobianChange::kRefreshed;
    } else {
      model.update(parameters.updateMethod,
                   variables.updateStep(step),
                   context.residual,
                   context.newResidual);
    }
    modelFresh = change == JacobianChange::kRefreshed;
    if (const BroydenInformation* stopped = unhealthy(norm)) return *stopped;
    context.scheduleRefresh(previousNorm, norm);

    variables.accept();
    context.residual = context.newResidual;
    previousNorm = norm;
    if (!monitorSays(k, norm, change, variables.trialValues())) {
      return fail(BroydenTermination::kStoppedByMonitor, kMonitorStopMessage, norm);
    }
  }

  return std::isfinite(previousNorm)
             ? fail(BroydenTermination::kIterationLimit, kIterationLimitMessage, previousNorm)
             : fail(BroydenTermination::kNonFinite, kNonFiniteMessage, previousNorm);
}

}  // namespace Ondrel::Math::Solvers::internal
