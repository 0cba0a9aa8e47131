// A square sparsity pattern with its column colouring, as the coloured Jacobians use it: the
// columns of each colour, and writing one value per pattern entry into the host's matrix.
#pragma once

#include <Eigen/Core>
#include <Eigen/SparseCore>
#include <ondrel/OndrelEigen.hpp>
#include <ondrel/broyden/ColumnColouring.hpp>
#include <vector>

namespace Ondrel::Math::Solvers::internal {

class ColouredPattern {
 public:
  // Refuses, with std::invalid_argument worded for `operation`, a pattern without entries or of
  // another shape than m x m.
  ColouredPattern(const char* operation,
                  const Eigen::SparseMatrix<double>& pattern,
                  long long m,
                  ColouringOrder order);

  long long size() const { return structure.cols(); }
  const ColumnColouring& colouring() const { return columnColouring; }
  const std::vector<long long>& columnsOf(int colour) const {
    return columnsOfColour[static_cast<std::size_t>(colour)];
  }
  // The compressed pattern; its k-th stored entry is the k-th of the values handed to write.
  const Eigen::SparseMatrix<double>& pattern() const { return structure; }

  // Writes `values` into `out`, keeping out's storage when it holds this pattern already (the
  // solver hands back the previous Jacobian), so the solver sees the same pattern each time.
  void write(const Eigen::VectorXd& values, Eigen::SparseMatrix<double>& out) const;

 private:
  Eigen::SparseMatrix<double> structure;
  ColumnColouring columnColouring;
  std::vector<std::vector<long long>> columnsOfColour;
};

}  // namespace Ondrel::Math::Solvers::internal
