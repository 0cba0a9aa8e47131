#include "StateVariables.hpp"

#include <cmath>
#include <stdexcept>

#include "Constraints.hpp"

namespace Ondrel::Math::Solvers::internal {

using Ondrel::Math::State;

StateVariables::StateVariables(State& callerState,
                               long long n,
                               long long m,
                               const std::string& where,
                               std::ostream* diagnosticStream)
    : caller(callerState),
      targets(
          Ondrel::Math::incrementMap(callerState, m, Ondrel::Math::LayoutCheck::kComplete, where)),
      trial(n),
      working(callerState),
      diagnostics(diagnosticStream),
      byPosition(n == m),
      incrementWeights(byPosition ? 0 : m) {}

// Weights belong to values. When there are as many values as increment entries they pair by
// position; otherwise each increment entry takes the weight of the value it moves, and the three
// entries of a quaternion take the weight of the quaternion's norm. Variable scales, one per
// increment entry, measure the value and the step alike.
void StateVariables::fixWeights(Eigen::VectorXd& weights,
                                double relativeTolerance,
                                double absoluteTolerance,
                                const Eigen::VectorXd& scales) {
  const Eigen::VectorXd& x = working.values;
  weights.resize(x.size());
  const bool scaled = scales.size() != 0;
  if (byPosition && scaled) {
    weights = scales.array() /
              ((scales.array() * x.array()).abs() * relativeTolerance + absoluteTolerance);
    return;
  }
  weights = 1.0 / (x.array().abs() * relativeTolerance + absoluteTolerance);
  if (byPosition) return;
  for (std::size_t j = 0; j < targets.size(); ++j) {
    const Ondrel::Math::IncrementTarget& target = targets[j];
    const auto entry = static_cast<Eigen::Index>(j);
    const double scale = scaled ? scales(entry) : 1.0;
    double size = 0.0;
    if (target.quaternion >= 0) {
      size = x.segment(target.quaternion, 4).norm();
    } else if (target.value >= 0) {
      size = std::abs(x(target.value));
    } else {
      incrementWeights(entry) = 0.0;
      continue;
    }
    if (!scaled && target.value >= 0) {
      incrementWeights(entry) = weights(target.value);
    } else {
      incrementWeights(entry) = scale / (relativeTolerance * scale * size + absoluteTolerance);
    }
  }
}

void StateVariables::checkConstraints(const std::vector<SignConstraint>& constraints,
                                      const std::string& where) const {
  for (const Ondrel::Math::IncrementTarget& target : targets) {
    if (target.quaternion < 0) continue;
    for (long long k = 0; k < 4; ++k) {
      const auto value = static_cast<std::size_t>(target.quaternion + k);
      if (value < constraints.size() && constraints[value] != SignConstraint::kNone) {
        throw std::invalid_argument(
            where + ": value " + std::to_string(value) + " belongs to the quaternion at " +
            std::to_string(target.quaternion) + " and cannot be constrained");
      }
    }
  }
}

void StateVariables::constrain(Eigen::VectorXd& step,
                               const std::vector<SignConstraint>& constraints,
                               double fraction) const {
  if (constraints.empty()) return;
  for (std::size_t j = 0; j < targets.size(); ++j) {
    const long long value = targets[j].value;
    if (value < 0) continue;
    limitToBound(constraints[static_cast<std::size_t>(value)],
                 working.values(value),
                 static_cast<Eigen::Index>(j),
                 fraction,
                 step);
  }
}

double StateVariables::weightedSquaredSum(const Eigen::VectorXd& weights,
                                          const Eigen::VectorXd& step) const {
  const Eigen::VectorXd& w = byPosition ? weights : incrementWeights;
  return (step.array() * w.array()).square().sum();
}

void StateVariables::advance(const Eigen::VectorXd& step) {
  // addIncrement indexed the working copy in place for the last trial, which carries the index
  // as it was before that: every trial of one iteration (a cut step) starts from the same working
  // copy, so that the caller gets back its own index whichever trial converged.
  if (advancedSinceAccept) working.indexer = trial.indexer;
  State advanced = Ondrel::Math::addIncrement(working, step, diagnostics);
  trial = advanced;
  advancedSinceAccept = true;
}

}  // namespace Ondrel::Math::Solvers::internal
