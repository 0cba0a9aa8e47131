#include <cmath>
#include <memory>
#include <ondrel/broyden/ColouredJacobian.hpp>
#include <ondrel/state/StateLayout.hpp>
#include <utility>

#include "internal/ColouredDifferences.hpp"
#include "internal/ColouredPattern.hpp"
#include "internal/IncrementCoordinates.hpp"

namespace Ondrel::Math::Solvers {

namespace {

constexpr const char* kOperation = "colouredDifferenceJacobian";

}  // namespace

SparseJacobianFunction colouredDifferenceJacobian(ResidualFunction residual,
                                                  const Eigen::SparseMatrix<double>& pattern,
                                                  DifferenceScheme scheme,
                                                  ColouringOrder order) {
  internal::requireCallable(static_cast<bool>(residual), kOperation, "residual");
  auto coloured =
      std::make_shared<const internal::ColouredPattern>(kOperation, pattern, pattern.rows(), order);
  return [residual = std::move(residual), coloured, scheme](
             const Eigen::Ref<const Eigen::VectorXd>& point, Eigen::SparseMatrix<double>& out) {
    internal::requirePointSize(kOperation, point.size(), coloured->size());
    internal::IncrementCoordinates coordinates(point);
    coloured->write(
        internal::colouredDifferences(kOperation, residual, *coloured, coordinates, scheme), out);
  };
}

SparseJacobianFunction colouredDifferenceJacobian(ResidualFunction residual,
                                                  const Eigen::SparseMatrix<double>& pattern,
                                                  const Ondrel::Math::State& prototype,
                                                  DifferenceScheme scheme,
                                                  ColouringOrder order) {
  internal::requireCallable(static_cast<bool>(residual), kOperation, "residual");
  const long long incrementCount = prototype.incrementSize();
  auto coloured =
      std::make_shared<const internal::ColouredPattern>(kOperation, pattern, incrementCount, order);
  return [residual = std::move(residual),
          coloured,
          scheme,
          layout = Ondrel::Math::indexedCopy(prototype),
          incrementCount](const Eigen::Ref<const Eigen::VectorXd>& point,
                          Eigen::SparseMatrix<double>& out) {
    internal::requirePointSize(kOperation, point.size(), layout.values.size());
    internal::IncrementCoordinates coordinates(kOperation, layout, incrementCount, point);
    coloured->write(
        internal::colouredDifferences(kOperation, residual, *coloured, coordinates, scheme), out);
  };
}

}  // namespace Ondrel::Math::Solvers
