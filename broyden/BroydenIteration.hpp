// The Broyden iteration shared by the vector and the State solves (not installed).
//
// A `Variables` policy holds the variables in the solve's own form and supplies:
//   currentValues(), trialValues()   read-only values handed to the callables;
//   fixWeights(w, rtol, tol)         resizes and fills the step weights from the starting point;
//   weightedSquaredSum(w, dx)        the sum of (dx_i w_i)^2 of the weighted step norm;
//   advance(dx)                      makes the trial point from the current point and dx;
//   updateStep(dx)                   the step s of the rank-one update;
//   accept()                         the trial point becomes the current point;
//   writeBack()                      hands the converged trial point to the caller.
// Everything a policy allocates it allocates once, in its constructor.
#pragma once

#include <cmath>
#include <exception>
#include <iostream>
#include <ondrel/broyden/Broyden.hpp>

namespace Ondrel::Math::Solvers {

namespace detail {

inline const char* const kNonFiniteMessage = "Non-finite values encountered in Broyden solver";
inline const char* const kIterationLimitMessage = "Maximum number of iterations reached";

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

}  // namespace detail

template <class Variables>
const BroydenInformation& Broyden::iterate(Variables& variables) {
  const double tolerance = parameters.absoluteTolerance;
  const Eigen::Index m = systemSize;
  Eigen::VectorXd step(m);
  Eigen::VectorXd correction(m);
  Eigen::VectorXd transposedProduct(m);

  // Once a callable has run, `jacobian` may be half written while `lu` and the inverse still
  // describe the previous one: an exception must not leave that to be trusted by the next solve.
  detail::OnUnwind forgetJacobian([this] { dropHeldJacobian(); });

  evaluateResidual(variables.currentValues(), residual);
  const double initialNorm = residual.norm();
  if (tolerance >= initialNorm) {
    information.converged = true;
    information.iterations = 0;
    return information;
  }

  if (jacobianHeld) {
    jacobianCount = 0;
  } else {
    evaluateJacobian(variables.currentValues());
    jacobianCount = 1;
    factorise();
    jacobianHeld = true;
  }

  refreshJacobian = false;
  goodIterationCount = 0;
  poorIterationCount = 0;
  double stepNorm = 0.0;
  double previousNorm = initialNorm;
  std::uint64_t k = 0;
  variables.fixWeights(stepWeights, parameters.relativeTolerance, tolerance);

  while (k < parameters.maxIterations) {
    ++k;
    // An empty product never reaches a BLAS, which would refuse its zero leading dimension.
    if (m > 0) step.noalias() = inverseJacobian * residual;
    step = -step;
    variables.advance(step);
    evaluateResidual(variables.trialValues(), newResidual);
    const double norm = newResidual.norm();
    stepNorm = std::sqrt(variables.weightedSquaredSum(stepWeights, step) / static_cast<double>(m));

    if (norm < tolerance || (stepNorm < 1.0 && norm < 10.0 * tolerance)) {
      std::cout << "error: " << stepNorm << " norm: " << norm << " it: " << k
                << " nJ: " << jacobianCount << std::endl;
      // The caller's variables first: if handing them over throws, nothing else has changed.
      variables.writeBack();
      information.iterations = k;
      information.jacobianEvaluations = jacobianCount;
      information.error = stepNorm;
      information.converged = true;
      information.message.clear();
      return information;
    }

    if (refreshJacobian) {
      evaluateJacobian(variables.trialValues());
      factorise();
      ++jacobianCount;
    } else {
      applyUpdate(variables.updateStep(step), correction, transposedProduct);
    }
    scheduleRefresh(previousNorm, norm);

    variables.accept();
    residual = newResidual;
    previousNorm = norm;
  }

  // The message first: it is the only write here that can throw.
  information.message =
      std::isfinite(previousNorm) ? detail::kIterationLimitMessage : detail::kNonFiniteMessage;
  information.iterations = k;
  information.jacobianEvaluations = jacobianCount;
  information.error = stepNorm;
  information.converged = false;
  dropHeldJacobian();
  return information;
}

}  // namespace Ondrel::Math::Solvers
