#include "StateVariables.hpp"

#include <algorithm>
#include <ondrel/state/StateLayout.hpp>
#include <stdexcept>
#include <string>
#include <utility>

namespace Ondrel::Math::Solvers::internal {

using Ondrel::Math::State;

namespace {

std::string describe(const Ondrel::Math::StateComponent& component) {
  return "component at " + std::to_string(component.start) + " (kind " +
         std::to_string(component.kind) + ")";
}

}  // namespace

Components checkedLayout(const State& state, long long n, long long m) {
  // The index the solve will walk: addIncrement indexes the working copy when it needs indexing,
  // so that is what is checked, on a copy, without the indexer's message for a State of size 0
  // (which has no components and no increment entries).
  Ondrel::Math::StateIndexer indexer = state.indexer;
  if (indexer.needsIndexing && indexer.size > 0) indexer.buildIndex();
  Components components = std::move(indexer.components);

  const auto problem = findLayoutProblem(components, n, m, Ondrel::Math::LayoutCheck::kComplete);
  if (!problem) return components;
  const std::string what = "Broyden::solve: the State's " + describe(problem->component);
  switch (problem->fault) {
    case Ondrel::Math::LayoutFault::kNegativeIncrementSize:
      throw std::invalid_argument(what + " has a negative increment size");
    case Ondrel::Math::LayoutFault::kIncrementCount:
      throw std::invalid_argument("Broyden::solve: the State has " +
                                  std::to_string(problem->incrementTotal) +
                                  " increment entries, the system size is " + std::to_string(m));
    case Ondrel::Math::LayoutFault::kValuesOutside:
      throw std::invalid_argument(what + " covers values outside its " + std::to_string(n) +
                                  " values");
    case Ondrel::Math::LayoutFault::kQuaternionShape:
      throw std::invalid_argument(what + " is a quaternion but has " +
                                  std::to_string(problem->component.size) + " values and " +
                                  std::to_string(problem->component.incrementSize) +
                                  " increment entries, not 4 and 3");
    case Ondrel::Math::LayoutFault::kIncrementsOutside:
      throw std::invalid_argument(what + " takes increment entries outside the system's " +
                                  std::to_string(m));
    case Ondrel::Math::LayoutFault::kSharedIncrements:
      throw std::invalid_argument(what + " shares increment entries with another component");
  }
  throw std::logic_error("Broyden::solve: unknown layout fault");
}

StateVariables::StateVariables(State& callerState,
                               long long n,
                               long long m,
                               Components components,
                               std::ostream* diagnosticStream)
    : caller(callerState),
      trial(n),
      working(callerState),
      index(std::move(components)),
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
  incrementWeights.setZero();
  for (const auto& [start, c] : index) {
    if (c.kind == Ondrel::Math::Quaternion) {
      const double norm = x.segment(c.start, c.size).norm();
      incrementWeights.segment(c.incrementStart, c.incrementSize)
          .setConstant(1.0 / (relativeTolerance * norm + absoluteTolerance));
    } else {
      const long long shared = std::min(c.size, c.incrementSize);
      incrementWeights.segment(c.incrementStart, shared) = weights.segment(c.start, shared);
    }
  }
}

double StateVariables::weightedSquaredSum(const Eigen::VectorXd& weights,
                                          const Eigen::VectorXd& step) const {
  const Eigen::VectorXd& w = byPosition ? weights : incrementWeights;
  return (step.array() * w.array()).square().sum();
}

void StateVariables::advance(const Eigen::VectorXd& step) {
  if (advancedSinceAccept) {
    // addIncrement indexed the working copy in place for the last trial, which was copied before
    // that: every trial of one iteration (a cut step) starts from the same working copy, so that
    // the caller gets back its own indexer flags whichever trial converged.
    working.indexer.needsIndexing = trial.indexer.needsIndexing;
    working.indexer.components = trial.indexer.components;
  }
  State advanced = Ondrel::Math::addIncrement(working, step, diagnostics);
  trial = advanced;
  advancedSinceAccept = true;
}

}  // namespace Ondrel::Math::Solvers::internal
