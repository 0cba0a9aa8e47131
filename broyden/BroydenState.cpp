#include <algorithm>
#include <limits>
#include <map>
#include <ondrel/broyden/Broyden.hpp>
#include <ondrel/broyden/BroydenIteration.hpp>
#include <ondrel/state/State.hpp>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace Ondrel::Math::Solvers {

namespace {

using Ondrel::Math::State;
using Components = std::map<long long, Ondrel::Math::StateComponent>;

// The index the solve will walk: addIncrement indexes the working copy when it needs indexing,
// so that is what is checked, on a copy, without the indexer's message for a State of size 0
// (which has no components and no increment entries).
Components indexOf(const State& state) {
  Ondrel::Math::StateIndexer indexer = state.indexer;
  if (indexer.needsIndexing && indexer.size > 0) indexer.buildIndex();
  return std::move(indexer.components);
}

std::string describe(const Ondrel::Math::StateComponent& component) {
  return "component at " + std::to_string(component.start) + " (kind " +
         std::to_string(component.kind) + ")";
}

// Refuses a layout that addIncrement could not apply within n values and m increment entries.
void checkLayout(const Components& components, long long n, long long m) {
  long long increments = 0;
  for (const auto& [start, component] : components) {
    if (component.incrementSize < 0) {
      throw std::invalid_argument("Broyden::solve: the State's " + describe(component) +
                                  " has a negative increment size");
    }
    // Saturates rather than overflows on a hand-made index with absurd sizes.
    increments = component.incrementSize > std::numeric_limits<long long>::max() - increments
                     ? std::numeric_limits<long long>::max()
                     : increments + component.incrementSize;
  }
  if (increments != m) {
    throw std::invalid_argument("Broyden::solve: the State has " + std::to_string(increments) +
                                " increment entries, the system size is " + std::to_string(m));
  }
  std::vector<std::pair<long long, const Ondrel::Math::StateComponent*>> ranges;
  for (const auto& [start, component] : components) {
    if (component.start < 0 || component.size < 0 || component.size > n ||
        component.start > n - component.size) {
      throw std::invalid_argument("Broyden::solve: the State's " + describe(component) +
                                  " covers values outside its " + std::to_string(n) + " values");
    }
    const bool quaternion = component.kind == Ondrel::Math::Quaternion;
    if (quaternion && (component.size != 4 || component.incrementSize != 3)) {
      throw std::invalid_argument("Broyden::solve: the State's " + describe(component) +
                                  " is a quaternion but has " + std::to_string(component.size) +
                                  " values and " + std::to_string(component.incrementSize) +
                                  " increment entries, not 4 and 3");
    }
    // Every other kind is advanced by adding one increment entry per value.
    const long long incrementRead = quaternion ? component.incrementSize : component.size;
    if (component.incrementStart < 0 || incrementRead > m ||
        component.incrementStart > m - incrementRead) {
      throw std::invalid_argument("Broyden::solve: the State's " + describe(component) +
                                  " takes increment entries outside the system's " +
                                  std::to_string(m));
    }
    if (incrementRead > 0) ranges.push_back({component.incrementStart, &component});
  }
  // With m entries in all, two components sharing an entry leave another entry to no one: a
  // zero column in every Jacobian. Such a layout is a registration error, not a hard system.
  std::sort(
      ranges.begin(), ranges.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  long long covered = 0;
  for (const auto& [incrementStart, component] : ranges) {
    if (incrementStart < covered) {
      throw std::invalid_argument("Broyden::solve: the State's " + describe(*component) +
                                  " shares increment entries with another component");
    }
    covered =
        incrementStart +
        (component->kind == Ondrel::Math::Quaternion ? component->incrementSize : component->size);
  }
}

// The State solve's variables: a working copy of the caller's State and a trial State, both
// advanced and exchanged by copy, so the caller's State is written once, on convergence.
class StateVariables {
 public:
  StateVariables(State& callerState, long long n, long long m, Components components)
      : caller(callerState),
        trial(n),
        working(callerState),
        index(std::move(components)),
        byPosition(n == m),
        incrementWeights(byPosition ? 0 : m) {}

  const Eigen::VectorXd& currentValues() const { return working.values; }
  const Eigen::VectorXd& trialValues() const { return trial.values; }

  // Weights belong to values. When there are as many values as increment entries they pair by
  // position; otherwise each increment entry takes the weight of the value it moves, and the
  // three entries of a quaternion take the weight of the quaternion's norm.
  void fixWeights(Eigen::VectorXd& weights, double relativeTolerance, double absoluteTolerance) {
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
  double weightedSquaredSum(const Eigen::VectorXd& weights, const Eigen::VectorXd& step) const {
    const Eigen::VectorXd& w = byPosition ? weights : incrementWeights;
    return (step.array() * w.array()).square().sum();
  }

  void advance(const Eigen::VectorXd& step) {
    State advanced = Ondrel::Math::addIncrement(working, step);
    trial = advanced;
  }
  // The increment that took the working copy to the trial State is their difference in
  // increment coordinates.
  const Eigen::VectorXd& updateStep(const Eigen::VectorXd& step) { return step; }
  void accept() { working = trial; }
  void writeBack() { caller = trial; }

 private:
  State& caller;
  State trial;
  State working;
  Components index;
  bool byPosition;
  Eigen::VectorXd incrementWeights;
};

}  // namespace

const BroydenInformation& Broyden::solve(Ondrel::Math::State& state) {
  if (state.values.size() != stateSize) {
    throw std::invalid_argument("Broyden::solve: the State has " +
                                std::to_string(state.values.size()) +
                                " values, the solver's state size is " + std::to_string(stateSize));
  }
  Components components = indexOf(state);
  checkLayout(components, stateSize, systemSize);
  StateVariables variables(state, stateSize, systemSize, std::move(components));
  return iterate(variables);
}

}  // namespace Ondrel::Math::Solvers
