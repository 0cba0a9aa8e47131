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

#include "internal/ColouredDifferences.hpp"
#include "internal/ColouredPattern.hpp"
#include "internal/IncrementCoordinates.hpp"
#include "internal/SolverCore.hpp"

namespace Ondrel::Math::Solvers {

namespace {

using Ondrel::Math::State;

using internal::centralStepFraction;
using internal::forwardStepFraction;
using internal::IncrementCoordinates;
using internal::requireCallable;
using internal::requirePointSize;

// Entries below this fraction of their column's largest entry are compared on the column's
// scale: a central difference leaves rounding noise of about eps^(2/3) times the residual's
// size on every entry, which would make any exact zero look infinitely wrong, while a true zero
// written as a visible number still stands out.
constexpr double kColumnFloorFraction = 1e-4;

Eigen::MatrixXd forwardDifferences(const char* operation,
                                   const ResidualFunction& residual,
                                   IncrementCoordinates& coordinates) {
  const long long m = coordinates.size();
  Eigen::VectorXd base(m);
  Eigen::VectorXd stepped(m);
  Eigen::VectorXd movedValues;
  Eigen::MatrixXd result(m, m);
  internal::evaluateResidual(operation, residual, coordinates.values(), base, m);
  for (long long j = 0; j < m; ++j) {
    const double h = coordinates.moved(j, coordinates.step(j, forwardStepFraction()), movedValues);
    internal::evaluateResidual(operation, residual, movedValues, stepped, m);
    result.col(j) = (stepped - base) / h;
  }
  return result;
}

Eigen::MatrixXd centralDifferences(const char* operation,
                                   const ResidualFunction& residual,
                                   IncrementCoordinates& coordinates) {
  const long long m = coordinates.size();
  Eigen::VectorXd ahead(m);
  Eigen::VectorXd behind(m);
  Eigen::VectorXd movedValues;
  Eigen::MatrixXd result(m, m);
  for (long long j = 0; j < m; ++j) {
    const double h = std::abs(coordinates.step(j, centralStepFraction()));
    const double forward = coordinates.moved(j, h, movedValues);
    internal::evaluateResidual(operation, residual, movedValues, ahead, m);
    const double backward = coordinates.moved(j, -h, movedValues);
    internal::evaluateResidual(operation, residual, movedValues, behind, m);
    result.col(j) = (ahead - behind) / (forward - backward);
  }
  return result;
}

// The largest of the columns' largest finite entries in either matrix, per column: entries below
// kColumnFloorFraction of it are compared on this scale. `entries(j, visit)` calls
// visit(i, analytic, reference) for the entries of column j that are compared, rows ascending.
template <typename Entries>
double columnFloor(long long j, const Entries& entries) {
  double columnScale = 0.0;
  entries(j, [&](long long, double a, double r) {
    for (double entry : {a, r}) {
      if (std::isfinite(entry)) columnScale = std::max(columnScale, std::abs(entry));
    }
  });
  return kColumnFloorFraction * columnScale;
}

// Ties keep the entry met first, in column-major order: only a strictly larger difference
// replaces it, so of two equal differences, or two non-finite entries, the one in the lower
// column (then the lower row) is reported.
template <typename Entries>
JacobianCheckReport compareColumns(long long columns, const Entries& entries) {
  JacobianCheckReport report;
  for (long long j = 0; j < columns; ++j) {
    const double floor = columnFloor(j, entries);
    entries(j, [&](long long i, double a, double r) {
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
    });
  }
  return report;
}

JacobianCheckReport compare(const Eigen::MatrixXd& analytic, const Eigen::MatrixXd& reference) {
  return compareColumns(analytic.cols(), [&](long long j, const auto& visit) {
    for (long long i = 0; i < analytic.rows(); ++i) visit(i, analytic(i, j), reference(i, j));
  });
}

JacobianCheckReport checkAt(const ResidualFunction& residual,
                            const JacobianFunction& jacobian,
                            IncrementCoordinates& coordinates) {
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

// Entries of the full differences outside the analytic pattern that stand above their column's
// floor (or are not finite): dependencies the pattern misses.
void findOutside(const Eigen::SparseMatrix<double>& analytic,
                 const Eigen::MatrixXd& dense,
                 const Eigen::MatrixXd& reference,
                 SparseJacobianCheckReport& report) {
  report.outsideChecked = true;
  std::vector<bool> inPattern(static_cast<std::size_t>(analytic.rows()));
  for (long long j = 0; j < analytic.cols(); ++j) {
    const double floor = columnFloor(j, [&](long long, const auto& visit) {
      for (long long i = 0; i < dense.rows(); ++i) visit(i, dense(i, j), reference(i, j));
    });
    std::fill(inPattern.begin(), inPattern.end(), false);
    for (Eigen::SparseMatrix<double>::InnerIterator entry(analytic, j); entry; ++entry) {
      inPattern[static_cast<std::size_t>(entry.row())] = true;
    }
    for (long long i = 0; i < analytic.rows(); ++i) {
      const double r = reference(i, j);
      if (inPattern[static_cast<std::size_t>(i)] || std::abs(r) <= floor) continue;
      if (report.entriesOutsidePattern++ == 0) {
        report.outsideRow = i;
        report.outsideColumn = j;
        report.outsideFiniteDifference = r;
      }
    }
  }
}

SparseJacobianCheckReport checkSparseAt(const ResidualFunction& residual,
                                        const SparseJacobianFunction& jacobian,
                                        IncrementCoordinates& coordinates) {
  constexpr const char* kOperation = "checkJacobian";
  requireCallable(static_cast<bool>(residual), kOperation, "residual");
  requireCallable(static_cast<bool>(jacobian), kOperation, "Jacobian");
  const long long m = coordinates.size();
  Eigen::SparseMatrix<double> analytic(m, m);
  jacobian(coordinates.values(), analytic);
  if (analytic.rows() != m || analytic.cols() != m) {
    internal::refuseSquare(kOperation, "Jacobian callable", analytic.rows(), analytic.cols(), m);
  }
  analytic.makeCompressed();
  SparseJacobianCheckReport report;
  if (m <= kSparseCheckFullLimit) {
    const Eigen::MatrixXd dense = analytic.toDense();
    const Eigen::MatrixXd reference = centralDifferences(kOperation, residual, coordinates);
    static_cast<JacobianCheckReport&>(report) = compare(dense, reference);
    findOutside(analytic, dense, reference, report);
    return report;
  }
  if (analytic.nonZeros() == 0) return report;
  // Too large for m central differences: the pattern's own entries, by coloured differences. A
  // dependency the pattern misses still shows, added to another column's entry of its colour.
  const internal::ColouredPattern coloured(kOperation, analytic, m, ColouringOrder::kSaturation);
  const Eigen::VectorXd reference = internal::colouredDifferences(
      kOperation, residual, coloured, coordinates, DifferenceScheme::kCentral);
  const int* columnStart = analytic.outerIndexPtr();
  const int* rows = analytic.innerIndexPtr();
  const double* values = analytic.valuePtr();
  static_cast<JacobianCheckReport&>(report) =
      compareColumns(m, [&](long long j, const auto& visit) {
        for (int p = columnStart[j]; p < columnStart[j + 1]; ++p) {
          visit(rows[p], values[p], reference(p));
        }
      });
  return report;
}

// The increment coordinates of a State the checks are taken at, its layout checked for ranges.
IncrementCoordinates checkedCoordinates(const Ondrel::Math::State& point) {
  return IncrementCoordinates(
      "checkJacobian", Ondrel::Math::indexedCopy(point), point.incrementSize(), point.values);
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
    IncrementCoordinates coordinates(point);
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
    IncrementCoordinates coordinates(kOperation, layout, incrementCount, point);
    out = forwardDifferences(kOperation, residual, coordinates);
  };
}

JacobianCheckReport checkJacobian(const ResidualFunction& residual,
                                  const JacobianFunction& jacobian,
                                  const Eigen::Ref<const Eigen::VectorXd>& point) {
  IncrementCoordinates coordinates(point);
  return checkAt(residual, jacobian, coordinates);
}

JacobianCheckReport checkJacobian(const ResidualFunction& residual,
                                  const JacobianFunction& jacobian,
                                  const Ondrel::Math::State& point) {
  IncrementCoordinates coordinates = checkedCoordinates(point);
  return checkAt(residual, jacobian, coordinates);
}

SparseJacobianCheckReport checkJacobian(const ResidualFunction& residual,
                                        const SparseJacobianFunction& jacobian,
                                        const Eigen::Ref<const Eigen::VectorXd>& point) {
  IncrementCoordinates coordinates(point);
  return checkSparseAt(residual, jacobian, coordinates);
}

SparseJacobianCheckReport checkJacobian(const ResidualFunction& residual,
                                        const SparseJacobianFunction& jacobian,
                                        const Ondrel::Math::State& point) {
  IncrementCoordinates coordinates = checkedCoordinates(point);
  return checkSparseAt(residual, jacobian, coordinates);
}

std::ostream& operator<<(std::ostream& stream, const SparseJacobianCheckReport& report) {
  stream << static_cast<const JacobianCheckReport&>(report);
  if (!report.outsideChecked) return stream << "; entries outside the pattern not checked";
  if (report.entriesOutsidePattern == 0) return stream << "; none outside the pattern";
  return stream << "; " << report.entriesOutsidePattern
                << " outside the pattern, the first at entry (" << report.outsideRow << ", "
                << report.outsideColumn << "): finite difference "
                << report.outsideFiniteDifference;
}

std::ostream& operator<<(std::ostream& stream, const JacobianCheckReport& report) {
  if (report.row < 0) return stream << "empty Jacobian";
  return stream << "largest relative difference " << report.largestRelativeDifference
                << " at entry (" << report.row << ", " << report.column << "): analytic "
                << report.analytic << ", finite difference " << report.finiteDifference;
}

}  // namespace Ondrel::Math::Solvers
