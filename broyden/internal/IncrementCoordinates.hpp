// The coordinates every Jacobian helper differentiates in, and the pieces the helpers share.
//
// A plain vector's coordinates are its entries; a State's are its increment entries, each of
// which either adds to one value or turns one quaternion on the left (incrementMap). Moving along
// several coordinates at once is what a coloured difference does: one residual evaluation for a
// whole colour of columns.
#pragma once

#include <Eigen/Core>
#include <ondrel/OndrelEigen.hpp>
#include <ondrel/broyden/BroydenFunctions.hpp>
#include <ondrel/state/State.hpp>
#include <ondrel/state/StateLayout.hpp>
#include <optional>
#include <vector>

namespace Ondrel::Math::Solvers::internal {

// sqrt(eps) balances the truncation error of a forward difference (about h) against its
// rounding error (about eps / h); cbrt(eps) does the same for a central difference (h^2 against
// eps / h).
double forwardStepFraction();
double centralStepFraction();

void requireCallable(bool present, const char* operation, const char* which);
void requirePointSize(const char* operation, long long given, long long expected);

// Calls the residual into `out`, sized m first, and refuses any other size it leaves.
void evaluateResidual(const char* operation,
                      const ResidualFunction& residual,
                      const Eigen::VectorXd& point,
                      Eigen::VectorXd& out,
                      long long m);

class IncrementCoordinates {
 public:
  explicit IncrementCoordinates(const Eigen::Ref<const Eigen::VectorXd>& values);

  // `layout` is already indexed; its values are replaced by `values`. A component outside the
  // values or the increment would be read out of range, so it is refused here.
  IncrementCoordinates(const char* operation,
                       const Ondrel::Math::State& layout,
                       long long incrementCount,
                       const Eigen::Ref<const Eigen::VectorXd>& values);

  long long size() const { return static_cast<long long>(targets.size()); }
  const Eigen::VectorXd& values() const { return point; }
  const Ondrel::Math::IncrementTarget& target(long long j) const {
    return targets[static_cast<std::size_t>(j)];
  }

  // About `fraction` of the coordinate's size, signed like its value, at least `fraction`: a
  // plain entry is moved by adding to one value, whose size scales its step; a quaternion's
  // increment entries are angles.
  double step(long long j, double fraction) const;

  // The values after moving by h along coordinate j, and the step actually taken: the value
  // x + h is rounded, so (x + h) - x is the exact step that divides the difference.
  double moved(long long j, double h, Eigen::VectorXd& out);

  // The same along several coordinates at once: `steps[k]` along `columns[k]`, replaced by the
  // step actually taken.
  void movedAlong(const std::vector<long long>& columns,
                  std::vector<double>& steps,
                  Eigen::VectorXd& out);

 private:
  Eigen::VectorXd point;
  std::optional<Ondrel::Math::State> state;
  std::vector<Ondrel::Math::IncrementTarget> targets;
};

}  // namespace Ondrel::Math::Solvers::internal
