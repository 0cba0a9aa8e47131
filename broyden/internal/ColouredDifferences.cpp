#include "ColouredDifferences.hpp"

#include <cmath>
#include <vector>

namespace Ondrel::Math::Solvers::internal {

Eigen::VectorXd colouredDifferences(const char* operation,
                                    const ResidualFunction& residual,
                                    const ColouredPattern& coloured,
                                    IncrementCoordinates& coordinates,
                                    DifferenceScheme scheme) {
  const long long m = coordinates.size();
  const Eigen::SparseMatrix<double>& pattern = coloured.pattern();
  const int* columnStart = pattern.outerIndexPtr();
  const int* rows = pattern.innerIndexPtr();
  Eigen::VectorXd values(pattern.nonZeros());
  Eigen::VectorXd ahead(m);
  Eigen::VectorXd behind(m);
  Eigen::VectorXd movedValues;
  const bool central = scheme == DifferenceScheme::kCentral;
  if (!central) evaluateResidual(operation, residual, coordinates.values(), behind, m);
  std::vector<double> forward;
  std::vector<double> backward;
  for (int colour = 0; colour < coloured.colouring().colourCount; ++colour) {
    const std::vector<long long>& columns = coloured.columnsOf(colour);
    forward.resize(columns.size());
    for (std::size_t k = 0; k < columns.size(); ++k) {
      const double h =
          coordinates.step(columns[k], central ? centralStepFraction() : forwardStepFraction());
      forward[k] = central ? std::abs(h) : h;
    }
    if (central) {
      backward.resize(columns.size());
      for (std::size_t k = 0; k < columns.size(); ++k) backward[k] = -forward[k];
    }
    coordinates.movedAlong(columns, forward, movedValues);
    evaluateResidual(operation, residual, movedValues, ahead, m);
    if (central) {
      coordinates.movedAlong(columns, backward, movedValues);
      evaluateResidual(operation, residual, movedValues, behind, m);
    }
    // No two columns of the colour share a row, so each row of the difference is one entry.
    for (std::size_t k = 0; k < columns.size(); ++k) {
      const long long j = columns[k];
      const double taken = central ? forward[k] - backward[k] : forward[k];
      for (int p = columnStart[j]; p < columnStart[j + 1]; ++p) {
        values(p) = (ahead(rows[p]) - behind(rows[p])) / taken;
      }
    }
  }
  return values;
}

}  // namespace Ondrel::Math::Solvers::internal
