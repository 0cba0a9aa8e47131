// The Broyden iteration shared by every solve (not installed): one loop, run with a policy for
// the variables (VectorVariables, StateVariables) and a model of the Jacobian (DenseModel).
//
// One iteration: dx = -H F; the trial point x+ = x + dx; F(x+); the convergence test; then either
// a fresh Jacobian at x+ (when the previous iteration scheduled one) or the rank-one update of the
// model; the schedule decides about the next iteration; x+ becomes x. Full steps are taken
// whatever the residual does. The solver object keeps the model and the schedule's state between
// solves; a failure or an exception drops the model, so the next solve evaluates afresh.
#pragma once

#include <cmath>
#include <cstdint>
#include <exception>
#include <iostream>
#include <ondrel/broyden/BroydenFunctions.hpp>
#include <ondrel/broyden/BroydenRecords.hpp>
#include <stdexcept>
#include <string>

namespace Ondrel::Math::Solvers::internal {

inline const char* const kNonFiniteMessage = "Non-finite values encountered in Broyden solver";
inline const char* const kIterationLimitMessage = "Maximum number of iterations reached";

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
  explicit OnUnwind(CleanUp onUnwind)
      : cleanUp(onUnwind), exceptions(std::uncaught_exceptions()) {}
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

  // Calls the residual callable and refuses an output of other than m entries.
  void evaluateResidual(const Eigen::Ref<const Eigen::VectorXd>& point, Eigen::VectorXd& out) {
    // A callable that threw earlier may have left its output at another size.
    if (out.size() != systemSize) out.resize(systemSize);
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

template <class Model, class Variables>
const BroydenInformation& iterate(SolveContext& context, Model& model, Variables& variables) {
  const BroydenParameters& parameters = context.parameters;
  BroydenInformation& information = context.information;
  const double tolerance = parameters.absoluteTolerance;
  const Eigen::Index m = context.systemSize;
  Eigen::VectorXd step(m);

  // Once a callable has run, the Jacobian may be half written while its factors and inverse
  // still describe the previous one: an exception must not leave that to be trusted by the next
  // solve.
  OnUnwind forgetJacobian([&] {
    model.drop();
    context.refreshJacobian = true;
  });

  context.evaluateResidual(variables.currentValues(), context.residual);
  const double initialNorm = context.residual.norm();
  if (tolerance >= initialNorm) {
    information.converged = true;
    information.iterations = 0;
    return information;
  }

  if (model.held()) {
    context.jacobianCount = 0;
  } else {
    model.evaluate(variables.currentValues());
    context.jacobianCount = 1;
  }

  context.refreshJacobian = false;
  context.goodIterationCount = 0;
  context.poorIterationCount = 0;
  double stepNorm = 0.0;
  double previousNorm = initialNorm;
  std::uint64_t k = 0;
  variables.fixWeights(context.stepWeights, parameters.relativeTolerance, tolerance);

  while (k < parameters.maxIterations) {
    ++k;
    model.step(context.residual, step);
    variables.advance(step);
    context.evaluateResidual(variables.trialValues(), context.newResidual);
    const double norm = context.newResidual.norm();
    stepNorm = std::sqrt(variables.weightedSquaredSum(context.stepWeights, step) /
                         static_cast<double>(m));

    if (norm < tolerance ||
        (stepNorm < kSmallStepNorm && norm < kLooseToleranceFactor * tolerance)) {
      std::cout << "error: " << stepNorm << " norm: " << norm << " it: " << k
                << " nJ: " << context.jacobianCount << std::endl;
      // The caller's variables first: if handing them over throws, nothing else has changed.
      variables.writeBack();
      information.iterations = k;
      information.jacobianEvaluations = context.jacobianCount;
      information.error = stepNorm;
      information.converged = true;
      information.message.clear();
      return information;
    }

    if (context.refreshJacobian) {
      model.evaluate(variables.trialValues());
      ++context.jacobianCount;
    } else {
      model.update(parameters.updateMethod,
                   variables.updateStep(step),
                   context.residual,
                   context.newResidual);
    }
    context.scheduleRefresh(previousNorm, norm);

    variables.accept();
    context.residual = context.newResidual;
    previousNorm = norm;
  }

  // The message first: it is the only write here that can throw.
  information.message = std::isfinite(previousNorm) ? kIterationLimitMessage : kNonFiniteMessage;
  information.iterations = k;
  information.jacobianEvaluations = context.jacobianCount;
  information.error = stepNorm;
  information.converged = false;
  model.drop();
  context.refreshJacobian = true;
  return information;
}

}  // namespace Ondrel::Math::Solvers::internal
