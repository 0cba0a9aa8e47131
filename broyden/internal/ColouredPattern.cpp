#include "ColouredPattern.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace Ondrel::Math::Solvers::internal {

ColouredPattern::ColouredPattern(const char* operation,
                                 const Eigen::SparseMatrix<double>& pattern,
                                 long long m,
                                 ColouringOrder order) {
  if (pattern.rows() != m || pattern.cols() != m) {
    throw std::invalid_argument(std::string(operation) + ": the pattern is " +
                                std::to_string(pattern.rows()) + " x " +
                                std::to_string(pattern.cols()) + ", expected " + std::to_string(m) +
                                " x " + std::to_string(m));
  }
  if (pattern.nonZeros() == 0) {
    throw std::invalid_argument(std::string(operation) + ": the pattern has no entries");
  }
  structure = pattern;
  structure.makeCompressed();
  columnColouring = colourColumns(structure, order);
  columnsOfColour.resize(static_cast<std::size_t>(columnColouring.colourCount));
  for (long long j = 0; j < m; ++j) {
    columnsOfColour[static_cast<std::size_t>(columnColouring.colours[static_cast<std::size_t>(j)])]
        .push_back(j);
  }
}

void ColouredPattern::write(const Eigen::VectorXd& values, Eigen::SparseMatrix<double>& out) const {
  const long long stored = structure.nonZeros();
  const bool samePattern =
      out.isCompressed() && out.rows() == structure.rows() && out.cols() == structure.cols() &&
      out.nonZeros() == stored &&
      std::equal(structure.outerIndexPtr(),
                 structure.outerIndexPtr() + structure.cols() + 1,
                 out.outerIndexPtr()) &&
      std::equal(
          structure.innerIndexPtr(), structure.innerIndexPtr() + stored, out.innerIndexPtr());
  if (!samePattern) out = structure;
  std::copy(values.data(), values.data() + stored, out.valuePtr());
}

}  // namespace Ondrel::Math::Solvers::internal
