#include "StateVariables.hpp"

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
// entries of a quaternion take the weight of the quaternion's norm.
void StateVariables::fixWeights(Eigen::VectorXd& weights,
                                double relativeTolerance,
                                double absoluteTolerance) {
  const Eigen::VectorXd& x = working.values;
  weights.resize(x.size());
  weights = 1.0 / (x.array().abs() * relativeTolerance + absoluteTolerance);
  if (byPosition) return;
  for (std::size_t j = 0; j < targets.size(); ++j) {
    const Ondrel::Math::IncrementTarget& target = targets[j];
    double weight = 0.0;
    if (target.quaternion >= 0) {
      const double norm = x.segment(target.quaternion, 4).norm();
      weight = 1.0 / (relativeTolerance * norm + absoluteTolerance);
    } else if (target.value >= 0) {
      weight = weights(target.value);
    }
    incrementWeights(static_cast<Eigen::Index>(j)) = weight;
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
