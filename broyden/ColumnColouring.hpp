// Colouring the columns of a sparsity pattern so that no two columns of one colour share a row.
//
// Columns of one colour can be differenced (or seeded in forward-mode differentiation) together:
// moving all of them at once changes each row through at most one of them, so a single residual
// evaluation per colour recovers every entry of the pattern. The number of colours is therefore
// the number of residual evaluations a sparse Jacobian costs, instead of one per column; it is
// at least the largest number of entries in one row. This is the partial distance-2 colouring of
// the column side of the pattern's bipartite graph.
//
// Orders. kSaturation colours next the column whose conflicting columns already hold the most
// distinct colours (DSATUR; ties to the most uncoloured conflicts, then the lowest index): it
// reaches the lower bound on stencils, 5 colours for the 2-D five-point stencil and 3 for a
// tridiagonal pattern at every size, where the largest-first order takes 7 on the stencil.
// kLargestFirst and kSmallestLast are the classic greedy orders, through ColPack's partial
// distance-2 colouring where the library was built with it (ONDREL_USE_COLPACK), and through
// this library's own greedy colouring otherwise. The colouring records which was used.
//
// Only the pattern's stored entries matter, explicit zeros included; their values are ignored.
#pragma once

#include <Eigen/SparseCore>
#include <ondrel/OndrelEigen.hpp>
#include <ondrel/OndrelSolversExport.hpp>
#include <string>
#include <vector>

namespace Ondrel::Math::Solvers {

/// The order in which columns are coloured (see the file comment).
enum class ColouringOrder {
  kSaturation,    ///< DSATUR: most distinct colours among the conflicting columns first
  kLargestFirst,  ///< greedy, columns with the most conflicts first
  kSmallestLast,  ///< greedy, in the reverse of repeatedly removing the column with fewest
};

/// A colouring of a pattern's columns.
struct ColumnColouring {
  /// colours[j] is the colour of column j, from 0 to colourCount - 1.
  std::vector<int> colours;
  /// Number of colours: the residual evaluations (or forward sweeps) one Jacobian costs.
  int colourCount = 0;
  /// What coloured it: "saturation (DSATUR)", "ColPack partial distance-2, LARGEST_FIRST",
  /// "ColPack partial distance-2, SMALLEST_LAST", "greedy, largest first" or
  /// "greedy, smallest last".
  std::string method;
};

/// Colours the columns of `pattern` (any shape) so that no two columns of one colour have an
/// entry in the same row. Throws std::invalid_argument when the pattern has no entries.
ONDREL_SOLVERS_API ColumnColouring colourColumns(
    const Eigen::SparseMatrix<double>& pattern, ColouringOrder order = ColouringOrder::kSaturation);

}  // namespace Ondrel::Math::Solvers
