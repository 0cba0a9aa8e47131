#include <Eigen/Geometry>
#include <algorithm>
#include <memory>
#include <ondrel/broyden/AutomaticJacobian.hpp>
#include <ondrel/state/StateLayout.hpp>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "internal/ColouredPattern.hpp"
#include "internal/IncrementCoordinates.hpp"
#include "internal/SolverCore.hpp"

namespace Ondrel::Math::Solvers {

namespace {

using internal::IncrementCoordinates;

constexpr const char* kDense = "automaticJacobian";
constexpr const char* kSparse = "automaticSparseJacobian";

// Which of its quaternion's three axes each increment entry turns about (-1 for the others):
// a quaternion's entries are consecutive, in the order x, y, z.
std::vector<int> quaternionAxes(const IncrementCoordinates& coordinates) {
  std::vector<int> axes(static_cast<std::size_t>(coordinates.size()), -1);
  for (long long j = 0; j < coordinates.size(); ++j) {
    const long long quaternion = coordinates.target(j).quaternion;
    if (quaternion < 0) continue;
    const bool continues = j > 0 && coordinates.target(j - 1).quaternion == quaternion;
    axes[static_cast<std::size_t>(j)] = continues ? axes[static_cast<std::size_t>(j - 1)] + 1 : 0;
  }
  return axes;
}

// The point's values as duals with every derivative component zero.
void unseeded(const Eigen::Ref<const Eigen::VectorXd>& values, DualVector& x) {
  x.resize(values.size());
  for (Eigen::Index i = 0; i < values.size(); ++i) {
    x(i).value() = values(i);
    x(i).derivatives().setZero();
  }
}

// Adds to derivative component `component` of x the derivative of the values along increment
// coordinate j. A quaternion Q turned by exp(dθ) on the left moves, at dθ = 0, along
// (1/2) [0, e_k] Q = (1/2) (-e_k . v, w e_k + e_k x v) for Q = (w, v).
void seed(const IncrementCoordinates& coordinates,
          const std::vector<int>& axes,
          long long j,
          int component,
          DualVector& x) {
  const Ondrel::Math::IncrementTarget& target = coordinates.target(j);
  if (target.value >= 0) {
    x(target.value).derivatives()(component) += 1.0;
    return;
  }
  const int axis = axes[static_cast<std::size_t>(j)];
  // addIncrement turns a quaternion by its first three entries only.
  if (target.quaternion < 0 || axis < 0 || axis > 2) return;
  const Eigen::VectorXd& values = coordinates.values();
  const long long start = target.quaternion;
  const double w = values(start);
  const Eigen::Vector3d v = values.segment<3>(start + 1);
  const Eigen::Vector3d e = Eigen::Vector3d::Unit(axis);
  const Eigen::Vector3d moved = 0.5 * (w * e + e.cross(v));
  x(start).derivatives()(component) += -0.5 * v(axis);
  for (int r = 0; r < 3; ++r) x(start + 1 + r).derivatives()(component) += moved(r);
}

void evaluateDual(const char* operation,
                  const DualResidualFunction& dual,
                  const DualVector& x,
                  DualVector& f,
                  long long m) {
  if (f.size() != m) f.resize(m);
  dual(x, f);
  if (f.size() != m) internal::refuseEntries(operation, "residual template", f.size(), m);
}

// What a dense Jacobian callable keeps between calls, so that a small system's Jacobian costs
// its sweeps and not its allocations. Each copy of the callable holds its own.
struct DenseWorkspace {
  DualVector x;
  DualVector f;
  Eigen::MatrixXd result;
};

// ceil(m / kDualWidth) sweeps into work.result; seed(j, c, x) seeds coordinate j in component c.
template <typename Seed>
void denseSweeps(const DualResidualFunction& dual,
                 const Eigen::Ref<const Eigen::VectorXd>& values,
                 long long m,
                 const Seed& seed,
                 DenseWorkspace& work) {
  work.result.resize(m, m);
  for (long long first = 0; first < m; first += kDualWidth) {
    const int width = static_cast<int>(std::min<long long>(kDualWidth, m - first));
    unseeded(values, work.x);
    for (int c = 0; c < width; ++c) seed(first + c, c, work.x);
    evaluateDual(kDense, dual, work.x, work.f, m);
    for (int c = 0; c < width; ++c) {
      for (long long i = 0; i < m; ++i) work.result(i, first + c) = work.f(i).derivatives()(c);
    }
  }
}

// What a sparse Jacobian callable keeps between calls, like DenseWorkspace.
struct SparseWorkspace {
  DualVector x;
  DualVector f;
  Eigen::VectorXd values;
};

// ceil(colours / kDualWidth) sweeps, every column of a colour seeded in one component, into
// work.values (one per stored entry of the pattern); seed(j, c, x) as for denseSweeps.
template <typename Seed>
void sparseSweeps(const DualResidualFunction& dual,
                  const internal::ColouredPattern& coloured,
                  const Eigen::Ref<const Eigen::VectorXd>& values,
                  const Seed& seed,
                  SparseWorkspace& work) {
  const long long m = coloured.size();
  const Eigen::SparseMatrix<double>& pattern = coloured.pattern();
  const int* columnStart = pattern.outerIndexPtr();
  const int* rows = pattern.innerIndexPtr();
  const int colours = coloured.colouring().colourCount;
  work.values.resize(pattern.nonZeros());
  for (int first = 0; first < colours; first += kDualWidth) {
    const int width = std::min(kDualWidth, colours - first);
    unseeded(values, work.x);
    for (int c = 0; c < width; ++c) {
      for (long long j : coloured.columnsOf(first + c)) seed(j, c, work.x);
    }
    evaluateDual(kSparse, dual, work.x, work.f, m);
    // No two columns of a colour share a row: each row's component c belongs to one column.
    for (int c = 0; c < width; ++c) {
      for (long long j : coloured.columnsOf(first + c)) {
        for (int p = columnStart[j]; p < columnStart[j + 1]; ++p) {
          work.values(p) = work.f(rows[p]).derivatives()(c);
        }
      }
    }
  }
}

}  // namespace

namespace detail {

AutomaticSystem automaticSystem(ResidualFunction residual,
                                DualResidualFunction dual,
                                long long size) {
  if (size < 0) {
    throw std::invalid_argument(std::string(kDense) + ": negative size " + std::to_string(size));
  }
  AutomaticSystem system;
  system.jacobian = [dual = std::move(dual), size, work = DenseWorkspace()](
                        const Eigen::Ref<const Eigen::VectorXd>& point,
                        Eigen::MatrixXd& out) mutable {
    internal::requirePointSize(kDense, point.size(), size);
    const auto seed = [](long long j, int c, DualVector& x) { x(j).derivatives()(c) = 1.0; };
    denseSweeps(dual, point, size, seed, work);
    // Written only once complete: a throwing residual leaves the caller's matrix as it was.
    out = work.result;
  };
  system.residual = std::move(residual);
  return system;
}

AutomaticSystem automaticSystem(ResidualFunction residual,
                                DualResidualFunction dual,
                                const Ondrel::Math::State& prototype) {
  AutomaticSystem system;
  system.jacobian = [dual = std::move(dual),
                     layout = Ondrel::Math::indexedCopy(prototype),
                     incrementCount = prototype.incrementSize(),
                     work = DenseWorkspace()](const Eigen::Ref<const Eigen::VectorXd>& point,
                                              Eigen::MatrixXd& out) mutable {
    internal::requirePointSize(kDense, point.size(), layout.values.size());
    const IncrementCoordinates coordinates(kDense, layout, incrementCount, point);
    const std::vector<int> axes = quaternionAxes(coordinates);
    const auto seedState = [&](long long j, int c, DualVector& x) {
      seed(coordinates, axes, j, c, x);
    };
    denseSweeps(dual, coordinates.values(), incrementCount, seedState, work);
    out = work.result;
  };
  system.residual = std::move(residual);
  return system;
}

AutomaticSparseSystem automaticSparseSystem(ResidualFunction residual,
                                            DualResidualFunction dual,
                                            const Eigen::SparseMatrix<double>& pattern,
                                            ColouringOrder order) {
  auto coloured =
      std::make_shared<const internal::ColouredPattern>(kSparse, pattern, pattern.rows(), order);
  AutomaticSparseSystem system;
  system.colouring = coloured->colouring();
  system.jacobian = [dual = std::move(dual), coloured, work = SparseWorkspace()](
                        const Eigen::Ref<const Eigen::VectorXd>& point,
                        Eigen::SparseMatrix<double>& out) mutable {
    internal::requirePointSize(kSparse, point.size(), coloured->size());
    const auto seed = [](long long j, int c, DualVector& x) { x(j).derivatives()(c) = 1.0; };
    sparseSweeps(dual, *coloured, point, seed, work);
    coloured->write(work.values, out);
  };
  system.residual = std::move(residual);
  return system;
}

AutomaticSparseSystem automaticSparseSystem(ResidualFunction residual,
                                            DualResidualFunction dual,
                                            const Eigen::SparseMatrix<double>& pattern,
                                            const Ondrel::Math::State& prototype,
                                            ColouringOrder order) {
  const long long incrementCount = prototype.incrementSize();
  auto coloured =
      std::make_shared<const internal::ColouredPattern>(kSparse, pattern, incrementCount, order);
  AutomaticSparseSystem system;
  system.colouring = coloured->colouring();
  system.jacobian = [dual = std::move(dual),
                     coloured,
                     layout = Ondrel::Math::indexedCopy(prototype),
                     incrementCount,
                     work = SparseWorkspace()](const Eigen::Ref<const Eigen::VectorXd>& point,
                                               Eigen::SparseMatrix<double>& out) mutable {
    internal::requirePointSize(kSparse, point.size(), layout.values.size());
    const IncrementCoordinates coordinates(kSparse, layout, incrementCount, point);
    const std::vector<int> axes = quaternionAxes(coordinates);
    const auto seedState = [&](long long j, int c, DualVector& x) {
      seed(coordinates, axes, j, c, x);
    };
    sparseSweeps(dual, *coloured, coordinates.values(), seedState, work);
    coloured->write(work.values, out);
  };
  system.residual = std::move(residual);
  return system;
}

}  // namespace detail

}  // namespace Ondrel::Math::Solvers
