// The variables of a State solve (not installed): a working copy of the caller's State and a
// trial State, advanced by addIncrement and exchanged by copy, so that the caller's State is
// written once, on convergence. The policy's operations are those of VectorVariables.
#pragma once

#include <Eigen/Core>
#include <iosfwd>
#include <ondrel/broyden/BroydenParameters.hpp>
#include <ondrel/state/State.hpp>
#include <ondrel/state/StateLayout.hpp>
#include <string>
#include <vector>

namespace Ondrel::Math::Solvers::internal {

class StateVariables {
 public:
  // Checks the State's layout for n values and m increment entries and throws
  // std::invalid_argument, "<where>: <the problem>", before any callable runs. `diagnostics`
  // receives the indexer's message when the State has size 0 (nothing when null).
  StateVariables(Ondrel::Math::State& callerState,
                 long long n,
                 long long m,
                 const std::string& where,
                 std::ostream* diagnostics);

  const Eigen::VectorXd& currentValues() const { return working.values; }
  const Eigen::VectorXd& trialValues() const { return trial.values; }

  // Throws std::invalid_argument, "<where>: ...", when a value of a rotation is constrained.
  void checkConstraints(const std::vector<SignConstraint>& constraints,
                        const std::string& where) const;

  void fixWeights(Eigen::VectorXd& weights,
                  double relativeTolerance,
                  double absoluteTolerance,
                  const Eigen::VectorXd& scales);
  double weightedSquaredSum(const Eigen::VectorXd& weights, const Eigen::VectorXd& step) const;
  bool valuesPairWithSteps() const { return byPosition; }
  void constrain(Eigen::VectorXd& step,
                 const std::vector<SignConstraint>& constraints,
                 double fraction) const;

  void advance(const Eigen::VectorXd& step);
  // The increment that took the working copy to the trial State is their difference in
  // increment coordinates.
  const Eigen::VectorXd& updateStep(const Eigen::VectorXd& step) { return step; }
  void accept() {
    working = trial;
    advancedSinceAccept = false;
  }
  void writeBack() { caller = trial; }

 private:
  Ondrel::Math::State& caller;
  std::vector<Ondrel::Math::IncrementTarget> targets;
  Ondrel::Math::State trial;
  Ondrel::Math::State working;
  std::ostream* diagnostics;
  // As many values as increment entries: weights pair with steps by position.
  bool byPosition;
  // Otherwise each increment entry's weight, from the value it moves.
  Eigen::VectorXd incrementWeights;
  // Whether the working copy has made a trial since it was last replaced.
  bool advancedSinceAccept = false;
};

}  // namespace Ondrel::Math::Solvers::internal
