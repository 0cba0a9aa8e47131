// What a monitor is shown after every iteration of a solve, and the monitor's callable type.
//
// A monitor (BroydenParameters::monitor) is called on the solving thread with a report that lives
// only during the call; its answer decides whether the solve goes on.
#pragma once

#include <Eigen/Core>
#include <cstdint>
#include <functional>
#include <ondrel/OndrelEigen.hpp>
#include <ondrel/broyden/BroydenInformation.hpp>

namespace Ondrel::Math::Solvers {

/// What one iteration did to the model of the Jacobian.
enum class JacobianChange : std::int32_t {
  kNone,       ///< neither: the iteration converged, or a warm solve started on the held Jacobian
  kUpdated,    ///< the rank-one update of updateMethod
  kRefreshed,  ///< a fresh evaluation (and factorisation) at the iteration's trial point
};

/// What a monitor is shown: once before the first iteration (iteration 0, at the starting point,
/// once the starting Jacobian is there), then after every iteration, once its model change and
/// the next iteration's schedule are decided. The iteration that ends the solve is shown too,
/// whatever ends it, with the reason in `termination`; a solve accepted at its start shows
/// nothing, and one the monitor stopped shows nothing after the report it answered.
struct BroydenIterationReport {
  /// 0 before the first iteration, then 1, 2, ...
  std::uint64_t iteration = 0;
  /// ||F|| at the iteration's trial point (at the starting point for iteration 0).
  double residualNorm = 0.0;
  /// The iteration's weighted step norm, the `error` a solve ending here would report (0 for
  /// iteration 0).
  double stepNorm = 0.0;
  /// Jacobian evaluations of this solve so far.
  std::uint64_t jacobianEvaluations = 0;
  /// What the iteration did to the model: for iteration 0, kRefreshed when the solve evaluated its
  /// starting Jacobian and kNone when it started on the held one.
  JacobianChange jacobianChange = JacobianChange::kNone;
  /// The trial values (a vector solve's vector, a State solve's values), read-only and valid only
  /// during the call: copy them to keep them.
  const Eigen::VectorXd* values = nullptr;
  /// StepControl::kLineSearch: the fraction of the (capped) direction the iteration took; 1 for a
  /// full step. kTrustRegion: the step's scaled length over d's.
  double stepLength = 1.0;
  /// StepControl::kLineSearch: the cuts the iteration's search made, a retry's included; 0 for a
  /// full step. kTrustRegion: the rejected trials, with the cuts of a line search after them.
  std::uint64_t stepCuts = 0;
  /// StepControl::kLineSearch: whether the search failed once and was retried from a fresh
  /// Jacobian at the current point (counted in jacobianEvaluations); false for a full step.
  bool restarted = false;
  /// StepControl::kLineSearch: whether no length was accepted from a fresh Jacobian at the current
  /// point either, so that the iteration took the whole capped step (evaluated once more).
  bool escaped = false;
  /// kNotSolved while the solve goes on; in the last report, why the solve ends there (that
  /// report is shown, not asked: the answer changes nothing).
  BroydenTermination termination = BroydenTermination::kNotSolved;
};

/// Called with every report; returns whether the solve is to go on. Returning false ends it as a
/// failure (termination kStoppedByMonitor) after an iteration that does not end the solve
/// otherwise; the answer to the last report (converged, the iteration limit, any failure) is not
/// used. An exception thrown by the
/// monitor leaves the solve like one thrown by a residual or Jacobian callable.
using BroydenMonitor = std::function<bool(const BroydenIterationReport&)>;

}  // namespace Ondrel::Math::Solvers
