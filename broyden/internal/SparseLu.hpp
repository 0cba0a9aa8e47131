// The LU factorisation of a sparse Jacobian, as the sparse solver keeps it (not installed).
//
// Where the library is built with SuiteSparse, each new pattern is analysed by KLU (an AMD
// ordering on its block triangular form), and factorised by KLU when that analysis predicts little
// fill, by UMFPACK otherwise (both through their 64-bit interfaces; UMFPACK without iterative
// refinement: a quasi-Newton step needs no more than one solve). An ordering KLU does not offer
// (SparseOrdering::kMetis, kCholmod, kBest) skips KLU's analysis and goes straight to UMFPACK with
// that ordering. Without SuiteSparse, Eigen's
// SparseLU. Either way the symbolic analysis is kept with a copy of the pattern it was made for,
// and reused by every factorisation of a matrix with the same pattern; a matrix with another
// pattern is analysed afresh. The backend's objects
// cannot be copied, so neither can this: a copy of the solver factorises its own copy of the
// Jacobian when it first needs it.
//
// Before any of that, each matrix's bandwidths are measured (O(nnz)) and a pattern in a narrow
// band goes to the banded LU instead (BandedLu.hpp; the rule is SparseBroyden's, in its header),
// unless the caller's choice says otherwise. SparseFactorisation::kIterative takes neither: an
// incomplete LU and a Krylov solve (IterativeInverse.hpp) stand in for the factors. The general
// backend's analysis is dropped then: a pattern takes the same path every time.
//
// Nothing here tests for non-finite values: the model never hands a matrix holding NaN or an
// infinity to a backend.
#pragma once

#include <Eigen/Core>
#include <Eigen/SparseCore>
#include <memory>
#include <ondrel/broyden/SparseBroyden.hpp>

#include "BandedLu.hpp"
#include "IterativeInverse.hpp"

namespace Ondrel::Math::Solvers::internal {

class SparseLu {
 public:
  explicit SparseLu(SparseFactorisation choice = SparseFactorisation::kAutomatic,
                    SparseOrdering ordering = SparseOrdering::kAutomatic);
  ~SparseLu();
  SparseLu(const SparseLu&) = delete;
  SparseLu& operator=(const SparseLu&) = delete;

  // Factorises the square, compressed `matrix`, whose columns hold strictly increasing row
  // indices. Returns false, holding no factors, when the matrix is singular (structurally or
  // numerically: a pivot of exactly zero). Throws std::bad_alloc when the backend runs out of
  // memory; the object then holds no factors.
  bool factorise(const Eigen::SparseMatrix<double>& matrix);

  // x = A^-1 b with the factors of the last successful factorisation. x may not alias b.
  void solve(const Eigen::VectorXd& b, Eigen::VectorXd& x);

  // Drops the factors and the analysis.
  void clear();

  SparseFactorisation choice() const { return factorisation; }
  SparseOrdering ordering() const { return fillOrdering; }
  // Of the last successful factorisation; the default record when there was none since clear().
  SparseFactorStatistics statistics() const;

 private:
  struct Backend;
  SparseFactorisation factorisation;
  SparseOrdering fillOrdering;
  std::unique_ptr<Backend> backend;
  BandedLu banded;
  IterativeInverse iterative;
  // Which of the two holds the factors of the last factorisation, if it succeeded.
  SparseFactorisation held = SparseFactorisation::kAutomatic;
  Bandwidths band;
};

}  // namespace Ondrel::Math::Solvers::internal
