#include "SolverCore.hpp"

#include <cmath>
#include <stdexcept>
#include <utility>

namespace Ondrel::Math::Solvers::internal {

namespace {

// A warm-started solve runs on the Jacobian of another point; once an iteration leaves the
// residual norm above this (absolute) level while still on it, that Jacobian is taken to be too
// far off and a fresh one is scheduled.
constexpr double kInheritedJacobianRefreshNorm = 100.0;

long long checkedSize(const char* solverName, long long size, const char* what) {
  if (size < 0) {
    throw std::invalid_argument(std::string(solverName) + ": the " + what +
                                " must not be negative, got " + std::to_string(size));
  }
  return size;
}

}  // namespace

const char* terminationMessage(BroydenTermination termination) {
  switch (termination) {
    case BroydenTermination::kNonFinite:
      return "Non-finite values encountered in Broyden solver";
    case BroydenTermination::kIterationLimit:
      return "Maximum number of iterations reached";
    case BroydenTermination::kSingularJacobian:
      return "Singular Jacobian encountered in Broyden solver";
    case BroydenTermination::kStoppedByMonitor:
      return "Stopped by the monitor";
    case BroydenTermination::kLineSearchFailed:
      return "Line search failed in Broyden solver";
    case BroydenTermination::kStagnated:
      return "Stagnation detected in Broyden solver";
    case BroydenTermination::kDiverged:
      return "Divergence detected in Broyden solver";
    default:
      return "";
  }
}

void refuseEntries(const std::string& where,
                   const char* callable,
                   Eigen::Index entries,
                   Eigen::Index m) {
  throw std::invalid_argument(where + ": the " + callable + " left " + std::to_string(entries) +
                              " entries, the system has " + std::to_string(m) + " equations");
}

void refuseSquare(const std::string& where,
                  const char* callable,
                  Eigen::Index rows,
                  Eigen::Index cols,
                  Eigen::Index m) {
  throw std::invalid_argument(where + ": the " + callable + " left a " + std::to_string(rows) +
                              " x " + std::to_string(cols) + " matrix, the system needs " +
                              std::to_string(m) + " x " + std::to_string(m));
}

SolverCore::SolverCore(const char* solverName,
                       long long valueCount,
                       long long equationCount,
                       const BroydenParameters& settings,
                       ResidualFunction residualCallable)
    : name(solverName),
      stateSize(checkedSize(solverName, valueCount, "state size")),
      systemSize(checkedSize(solverName, equationCount, "system size")),
      parameters(settings),
      residualFunction(std::move(residualCallable)) {
  checkSettings();
}

void SolverCore::allocate() {
  residual = Eigen::VectorXd::Zero(systemSize);
  newResidual = Eigen::VectorXd::Zero(systemSize);
  stepWeights = Eigen::VectorXd::Zero(systemSize);
}

void SolverCore::checkSettings() const {
  checkSettings(parameters, std::string(name) + ": ");
  for (std::size_t i = 0; i < parameters.fallbacks.size(); ++i) {
    const std::string prefix = std::string(name) + ": fallbacks[" + std::to_string(i) + "]";
    if (!parameters.fallbacks[i].fallbacks.empty()) {
      throw std::invalid_argument(prefix + " has fallbacks of its own; list them all in one");
    }
    checkSettings(parameters.fallbacks[i], prefix + ".");
  }
}

void SolverCore::checkSettings(const BroydenParameters& settings, const std::string& prefix) const {
  const auto checkScales = [&](const Eigen::VectorXd& scales, const char* which) {
    if (scales.size() != 0 && scales.size() != systemSize) {
      throw std::invalid_argument(prefix + which + " has " + std::to_string(scales.size()) +
                                  " entries, the system has " + std::to_string(systemSize));
    }
    for (Eigen::Index i = 0; i < scales.size(); ++i) {
      if (!(scales(i) > 0.0) || !std::isfinite(scales(i))) {
        throw std::invalid_argument(prefix + which + " entry " + std::to_string(i) + " is " +
                                    std::to_string(scales(i)) + ", not positive and finite");
      }
    }
  };
  checkScales(settings.residualScales, "residualScales");
  checkScales(settings.variableScales, "variableScales");
  const auto count = static_cast<long long>(settings.constraints.size());
  if (count != 0 && count != stateSize) {
    throw std::invalid_argument(prefix + "constraints has " + std::to_string(count) +
                                " entries, the state has " + std::to_string(stateSize) + " values");
  }
}

void SolverCore::checkStart(const Eigen::Ref<const Eigen::VectorXd>& values) const {
  checkStart(values, parameters.constraints);
  for (const BroydenParameters& fallback : parameters.fallbacks) {
    checkStart(values, fallback.constraints);
  }
}

void SolverCore::checkStart(const Eigen::Ref<const Eigen::VectorXd>& values,
                            const std::vector<SignConstraint>& constraints) const {
  for (std::size_t i = 0; i < constraints.size(); ++i) {
    const double x = values(static_cast<Eigen::Index>(i));
    bool holds = true;
    switch (constraints[i]) {
      case SignConstraint::kNone:
        break;
      case SignConstraint::kNonNegative:
        holds = x >= 0.0;
        break;
      case SignConstraint::kPositive:
        holds = x > 0.0;
        break;
      case SignConstraint::kNonPositive:
        holds = x <= 0.0;
        break;
      case SignConstraint::kNegative:
        holds = x < 0.0;
        break;
    }
    if (!holds) {
      throw std::invalid_argument(where() + ": the start violates its constraint at entry " +
                                  std::to_string(i) + " (value " + std::to_string(x) + ")");
    }
  }
}

void SolverCore::raiseToRelativeTolerance(double initialNorm) {
  const double relative = parameters.relativeResidualTolerance * initialNorm;
  // A start whose residual is not finite gets no relative tolerance: it would accept anything.
  if (std::isfinite(relative) && relative > tolerance) tolerance = relative;
}

std::string SolverCore::where() const { return std::string(name) + "::solve"; }

void SolverCore::checkVector(Eigen::Index size) const {
  if (stateSize != systemSize) {
    throw std::invalid_argument(where() +
                                ": a vector solve needs equal state and system sizes, got state "
                                "size " +
                                std::to_string(stateSize) + " and system size " +
                                std::to_string(systemSize));
  }
  if (size != stateSize) {
    throw std::invalid_argument(where() + ": the vector has " + std::to_string(size) +
                                " entries, the solver's state size is " +
                                std::to_string(stateSize));
  }
}

void SolverCore::checkStateValues(Eigen::Index size) const {
  if (size != stateSize) {
    throw std::invalid_argument(where() + ": the State has " + std::to_string(size) +
                                " values, the solver's state size is " + std::to_string(stateSize));
  }
}

// The first matching rule applies.
void SolverCore::scheduleRefresh(double previousNorm, double norm) {
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
    restartSchedule();
    refreshJacobian = true;
  }
}

void SolverCore::restartSchedule() {
  refreshJacobian = false;
  goodIterationCount = 0;
  poorIterationCount = 0;
}

}  // namespace Ondrel::Math::Solvers::internal
