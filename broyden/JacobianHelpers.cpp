#include <algorithm>
#include <cmath>
#include <limits>
#include <ondrel/broyden/JacobianHelpers.hpp>
#include <ondrel/state/StateLayout.hpp>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "internal/SolverCore.hpp"

namespace Ondrel::Math::Solvers {

namespace {

using Ondrel::Math::State;

// sqrt(eps) balances the truncation error of a forward difference (about h) against its
// rounding error (about eps / h); cbrt(eps) does the same for a central difference (h^2 against
// eps / h).
const double kForwardStepFraction = std::sqrt(std::numeric_limits<double>::epsilon());
const double kCentralStepFraction = std::cbrt(std::numeric_limits<double>::epsilon());
// Entries below this fraction of their column's largest entry are compared on the column's
// scale: a central difference leaves rounding noise of about eps^(2/3) times the residual's
// size on every entry, which would make any exact zero look infinitely wrong, while a true zero
// written as a visible number still stands out.
constexpr double kColumnFloorFraction = 1e-4;

void requireCallable(bool present, const char* operation, const char* which) {
  if (!present) {
    throw std::invalid_argument(std::string(operation) + ": the " + which + " callable is empty");
  }
}

void requirePointSize(const char* operation, long long given, long long expected) {
  if (given != expected) {
    throw std::invalid_argument(std::string(operation) + ": the point has " +
                                std::to_string(given) + " values, expected " +
                                std::to_string(expected));
  }
}

// The coordinates a Jacobian is taken in: the entries of a plain vector, or the increment
// entries of a State. Moving along one of them gives the values the residual is evaluated at.
class Coordinates {
 public:
  explicit Coordinates(const Eigen::Ref<const Eigen::VectorXd>& values)
      : point(values), targets(static_cast<std::size_t>(values.size())) {
    for (long long j = 0; j < values.size(); ++j) targets[static_cast<std::size_t>(j)].value = j;
  }

  // `layout` is already indexed; its values are replaced by `values`. A component outside the
  // values or the increment would be read out of range, so it is refused here.
  Coordinates(const char* operation,
              const State& layout,
              long long incrementCount,
              const Eigen::Ref<const Eigen::VectorXd>& values)
      : point(values), state(layout) {
    state->values = values;
    targets = Ondrel::Math::incrementMap(
        *state, incrementCount, Ondrel::Math::LayoutCheck::kRanges, operation);
  }

  long long size() const { return static_cast<long long>(targets.size()); }
  const Eigen::VectorXd& values() const { return point; }

  // About `fraction` of the coordinate's size, signed like its value, at least `fraction`: a
  // plain entry is moved by adding to one value, whose size scales its step; a quaternion's
  // increment entries are angles.
  double step(long long j, double fraction) const {
    const long long value = targets[static_cast<std::size_t>(j)].value;
    if (value < 0) return fraction;
    const double x = point(value);
    return (x < 0.0 ? -fraction : fraction) * std::max(std::abs(x), 1.0);
  }

  // The values after moving by h along coordinate j, and the step actually taken: the value
  // x + h is rounded, so (x + h) - x is the exact step that divides the difference.
  double moved(long long j, double h, Eigen::VectorXd& out) {
    if (state) {
      Eigen::VectorXd increment = Eigen::VectorXd::Zero(size());
      increment(j) = h;
      out = Ondrel::Math::addIncrement(*state, increment).values;
    } else {
      out = point;
      out(j) += h;
    }
    const long long value = targets[static_cast<std::size_t>(j)].value;
    return value < 0 ? h : out(value) - point(value);
  }

 private:
  Eigen::VectorXd point;
  std::optional<State> state;
  std::vector<Ondrel::Math::IncrementTarget> targets;
};

void evaluate(const char* operation,
              const ResidualFunction& residual,
              const Eigen::VectorXd& point,
              Eigen::VectorXd& out,
              long long m) {
  if (out.size() != m) out.resize(m);
  residual(point, out);
  if (out.size() != m) internal::refuseEntries(operation, "residual callable", out.size(), m);
}

Eigen::MatrixXd forwardDifferences(const char* operation,
                                   const ResidualFunction& residual,
                                   Coordinates& coordinates) {
  const long long m = coordinates.size();
  Eigen::VectorXd base(m);
  Eigen::VectorXd stepped(m);
  Eigen::VectorXd movedValues;
  Eigen::MatrixXd result(m, m);
  evaluate(operation, residual, coordinates.values(), base, m);
  for (long long j = 0; j < m; ++j) {
    const double h = coordinates.moved(j, coordinates.step(j, kForwardStepFraction), movedValues);
    evaluate(operation, residual, movedValues, stepped, m);
    result.col(j) = (stepped - base) / h;
  }
  return result;
}

Eigen::MatrixXd centralDifferences(const char* operation,
                                   const ResidualFunction& residual,
                                   Coordinates& coordinates) {
  const long long m = coordinates.size();
  Eigen::VectorXd ahead(m);
  Eigen::VectorXd behind(m);
  Eigen::VectorXd movedValues;
  Eigen::MatrixXd result(m, m);
  for (long long j = 0; j < m; ++j) {
    const double h = std::abs(coordinates.step(j, kCentralStepFraction));
    const double forward = coordinates.moved(j, h, movedValues);
    evaluate(operation, residual, movedValues, ahead, m);
    const double backward = coordinates.moved(j, -h, movedValues);
    evaluate(operation, residual, movedValues, behind, m);
    result.col(j) = (ahead - behind) / (forward - backward);
  }
  return result;
}

JacobianCheckReport compare(const Eigen::MatrixXd& analytic, const Eigen::MatrixXd& reference) {
  JacobianCheckReport report;
  for (long long j = 0; j < analytic.cols(); ++j) {
    double columnScale = 0.0;
    for (long long i = 0; i < analytic.rows(); ++i) {
      for (double entry : {analytic(i, j), reference(i, j)}) {
        if (std::isfinite(entry)) columnScale = std::max(columnScale, std::abs(entry));
      }
    }
    const double floor = kColumnFloorFraction * columnScale;
    for (long long i = 0; i < analytic.rows(); ++i) {
      const double a = analytic(i, j);
      const double r = reference(i, j);
      double relative = std::numeric_limits<double>::infinity();
      if (std::isfinite(a) && std::isfinite(r)) {
        const double scale = std::max({std::abs(a), std::abs(r), floor});
        relative = scale > 0.0 ? std::abs(a - r) / scale : 0.0;
      }
      if (report.row < 0 || relative > report.largestRelativeDifference) {
        report.largestRelativeDifference = relative;
        report.row = i;
        report.column = j;
        report.analytic = a;
        report.finiteDifference = r;
      }
    }
  }
  return report;
}

JacobianCheckReport checkAt(const ResidualFunction& residual,
                            const JacobianFunction& jacobian,
                            Coordinates& coordinates) {
  constexpr const char* kOperation = "checkJacobian";
  requireCallable(static_cast<bool>(residual), kOperation, "residual");
  requireCallable(static_cast<bool>(jacobian), kOperation, "Jacobian");
  const long long m = coordinates.size();
  Eigen::MatrixXd analytic = Eigen::MatrixXd::Zero(m, m);
  jacobian(coordinates.values(), analytic);
  if (analytic.rows() != m || analytic.cols() != m) {
    internal::refuseSquare(kOperation, "Jacobian callable", analytic.rows(), analytic.cols(), m);
  }
  return compare(analytic, centralDifferences(kOperation, residual, coordinates));
}

}  // namespace

JacobianFunction forwardDifferenceJacobian(ResidualFunction residual, long long size) {
  constexpr const char* kOperation = "forwardDifferenceJacobian";
  requireCallable(static_cast<bool>(residual), kOperation, "residual");
  if (size < 0) {
    throw std::invalid_argument(std::string(kOperation) + ": negative size " +
                                std::to_string(size));
  }
  return [residual = std::move(residual), size](const Eigen::Ref<const Eigen::VectorXd>& point,
                                                Eigen::MatrixXd& out) {
    requirePointSize(kOperation, point.size(), size);
    Coordinates coordinates(point);
    // Written only once complete: a throwing residual leaves the caller's matrix as it was.
    out = forwardDifferences(kOperation, residual, coordinates);
  };
}

JacobianFunction forwardDifferenceJacobian(ResidualFunction residual,
                                           const Ondrel::Math::State& prototype) {
  constexpr const char* kOperation = "forwardDifferenceJacobian";
  requireCallable(static_cast<bool>(residual), kOperation, "residual");
  const long long incrementCount = prototype.incrementSize();
  return [residual = std::move(residual),
          layout = Ondrel::Math::indexedCopy(prototype),
          incrementCount](const Eigen::Ref<const Eigen::VectorXd>& point, Eigen::MatrixXd& out) {
    requirePointSize(kOperation, point.size(), layout.values.size());
    Coordinates coordinates(kOperation, layout, incrementCount, point);
    out = forwardDifferences(kOperation, residual, coordinates);
  };
}

JacobianCheckReport checkJacobian(const ResidualFunction& residual,
                                  const JacobianFunction& jacobian,
                                  const Eigen::Ref<const Eigen::VectorXd>& point) {
  Coordinates coordinates(point);
  return checkAt(residual, jacobian, coordinates);
}

JacobianCheckReport checkJacobian(const ResidualFunction& residual,
                                  const JacobianFunction& jacobian,
                                  const Ondrel::Math::State& point) {
  Coordinates coordinates(
      "checkJacobian", Ondrel::Math::indexedCopy(point), point.incrementSize(), point.values);
  return checkAt(residual, jacobian, coordinates);
}

std::ostream& operator<<(std::ostream& stream, const JacobianCheckReport& report) {
  if (report.row < 0) return stream << "empty Jacobian";
  return stream << "largest relative difference " << report.largestRelativeDifference
                << " at entry (" << report.row << ", " << report.column << "): analytic "
                << report.analytic << ", finite difference " << report.finiteDifference;
}

}  // namespace Ondrel::Math::Solvers
