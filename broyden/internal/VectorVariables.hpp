// The variables of a vector solve (not installed): the working point and the trial point, both
// copies, so that the caller's vector is written once, on convergence.
//
// A variables policy, this one or StateVariables, gives the iteration:
//   currentValues(), trialValues()   read-only values handed to the callables;
//   fixWeights(w, rtol, tol, d)      resizes and fills the step weights from the starting point,
//                                    with the variable scales d (none when empty);
//   weightedSquaredSum(w, dx)        the sum of (dx_i w_i)^2 of the weighted step norm;
//   valuesPairWithSteps()            whether value i and step entry i belong together;
//   constrain(dx, c, f)              shortens dx so that the constrained values keep their sign;
//   advance(dx)                      makes the trial point from the current point and dx;
//   updateStep(dx)                   the step s of the rank-one update;
//   accept()                         the trial point becomes the current point;
//   writeBack()                      hands the converged trial point to the caller.
// Everything a policy allocates it allocates once, in its constructor; this one allocates
// nothing, but for a first solve or one of another size: its points are the core's.
#pragma once

#include <Eigen/Core>
#include <ondrel/broyden/BroydenParameters.hpp>
#include <vector>

#include "Constraints.hpp"
#include "SolverCore.hpp"

namespace Ondrel::Math::Solvers::internal {

class VectorVariables {
 public:
  // The working point, the trial point and their difference live in `core`.
  VectorVariables(Eigen::Ref<Eigen::VectorXd> callerValues, SolverCore& core)
      : caller(callerValues),
        point(core.currentPoint),
        trialPoint(core.trialPoint),
        pointDifference(core.pointDifference) {
    point = callerValues;
    trialPoint.resize(callerValues.size());
    pointDifference.resize(callerValues.size());
  }

  const Eigen::VectorXd& currentValues() const { return point; }
  const Eigen::VectorXd& trialValues() const { return trialPoint; }

  void fixWeights(Eigen::VectorXd& weights,
                  double relativeTolerance,
                  double absoluteTolerance,
                  const Eigen::VectorXd& scales) {
    weights.resize(point.size());
    if (scales.size() == 0) {
      weights = 1.0 / (point.array().abs() * relativeTolerance + absoluteTolerance);
    } else {
      weights = scales.array() /
                ((scales.array() * point.array()).abs() * relativeTolerance + absoluteTolerance);
    }
  }
  double weightedSquaredSum(const Eigen::VectorXd& weights, const Eigen::VectorXd& step) const {
    return (step.array() * weights.array()).square().sum();
  }

  bool valuesPairWithSteps() const { return true; }
  void constrain(Eigen::VectorXd& step,
                 const std::vector<SignConstraint>& constraints,
                 double fraction) const {
    for (std::size_t i = 0; i < constraints.size(); ++i) {
      const auto j = static_cast<Eigen::Index>(i);
      limitToBound(constraints[i], point(j), j, fraction, step);
    }
  }

  void advance(const Eigen::VectorXd& step) { trialPoint = point + step; }
  // The update uses the difference of the two points, not dx: they differ by rounding.
  const Eigen::VectorXd& updateStep(const Eigen::VectorXd&) {
    pointDifference = trialPoint - point;
    return pointDifference;
  }
  void accept() { point = trialPoint; }
  void writeBack() { caller = trialPoint; }

 private:
  Eigen::Ref<Eigen::VectorXd> caller;
  Eigen::VectorXd& point;
  Eigen::VectorXd& trialPoint;
  Eigen::VectorXd& pointDifference;
};

}  // namespace Ondrel::Math::Solvers::internal
