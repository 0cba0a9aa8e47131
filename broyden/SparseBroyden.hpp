// SparseBroyden: the Broyden solver for systems whose Jacobian is sparse, up to millions of
// equations on one machine.
//
// It runs the same iteration as Broyden, with the same BroydenParameters, BroydenInformation,
// refresh schedule, warm start, exits, output line, monitor and failFast, on vectors and on
// States. What differs is the model of the Jacobian: the Jacobian callable fills an
// Eigen::SparseMatrix<double>, the solver factorises it with a sparse LU (SuiteSparse's KLU or
// UMFPACK where the library was built with SuiteSparse, Eigen's SparseLU otherwise), and it never
// forms the inverse: H0 = J^-1 is applied by the LU's solve, and each rank-one update between
// refreshes is kept as a pair of vectors. An iteration costs O(k m + nnz(LU)) for k stored
// updates, a refresh one numerical factorisation; a Jacobian whose pattern is the previous one's
// reuses its symbolic analysis, and one with another pattern is analysed afresh.
//
// Banded Jacobians: a pattern whose entries all lie within kl rows below and ku rows above the
// diagonal is factorised by a banded LU with partial pivoting when m >= kBandedMinimumSize and
// its band storage, (2 kl + ku + 1) m values, is at most kBandedStorageRatio times the pattern's
// entries: a tridiagonal pattern qualifies, a 2-D grid numbered row by row does not. The band
// needs neither an ordering nor a symbolic analysis; LAPACK's dgbtrf factorises it with the
// OpenBLAS backend where kl + ku > 10, the library's own loop otherwise. On Broyden's tridiagonal
// system at m = 20,000 it halves the solve's time against KLU. SparseFactorisation overrides the
// choice, or asks for an iterative H0 instead, and SparseOrdering the general LU's fill-reducing
// ordering (nested dissection for 3-D grids); factorStatistics() reports what was made.
//
// Update methods (BroydenParameters::updateMethod) keep their meaning and their iterates, up to
// rounding: 1 (good Broyden on H) and 2 (bad Broyden on H) keep one pair of vectors per update and
// cost one LU solve per iteration; 0 (good Broyden on J) keeps the updates of J as vectors and
// solves with J's LU and the Sherman–Morrison–Woodbury formula (three vectors per update, two LU
// solves per iteration); any other value updates nothing (the chord method).
//
// The bound k (updateLimit) caps the stored updates. An update that finds k stored drops them all
// and starts a new set from the last refreshed Jacobian's LU (a restart; it evaluates nothing).
// Until the bound is reached the iterates are those of the dense solver.
//
// Sizes, ownership and threads are those of Broyden: the object owns copies of its settings and
// callables, its record and its workspace; a vector solve writes the caller's vector only when an
// iteration converges. The workspace besides the factors grows with use: the stored updates
// (at most k pairs of m-vectors) are allocated as they are first needed and kept.
#pragma once

#include <Eigen/Core>
#include <Eigen/SparseCore>
#include <cstdint>
#include <functional>
#include <memory>
#include <ondrel/OndrelEigen.hpp>
#include <ondrel/OndrelSolversExport.hpp>
#include <ondrel/broyden/BroydenFunctions.hpp>
#include <ondrel/broyden/BroydenInformation.hpp>
#include <ondrel/broyden/BroydenParameters.hpp>
#include <string>
#include <tuple>

namespace Ondrel::internal {
struct Lifecycle;
}

namespace Ondrel::Math {
class State;
}

namespace Ondrel::Math::Solvers {

/// Fills the m x m sparse Jacobian at the given values: entry (i, j) is dF_i / d(variable j). The
/// matrix arrives holding the previous evaluation (pattern and values), or empty and m x m at the
/// first. The callable may rebuild it (setFromTriplets) or overwrite its values in place; the
/// solver compresses it and refuses other than m x m with std::invalid_argument. Keeping the
/// pattern from one call to the next saves the symbolic analysis; explicit zeros are welcome.
namespace internal {
class SparseModel;
template <class Model>
class Solver;
}  // namespace internal

/// Which factorisation SparseBroyden gives its refreshed Jacobian (see the file comment).
enum class SparseFactorisation {
  /// Decided from each new pattern: the banded LU for a large pattern in a narrow band, the
  /// general sparse LU otherwise.
  kAutomatic,
  /// The general sparse LU (KLU or UMFPACK with SuiteSparse, Eigen's SparseLU without).
  kGeneral,
  /// The banded LU whatever the band's width, but for a band too large for 32-bit indices, which
  /// takes the general sparse LU. The band's storage and work grow with its width: for patterns
  /// known to be banded.
  kBanded,
  /// No exact factors: a refresh builds an incomplete LU with no fill, ILU(0) on the Jacobian's
  /// own pattern in its own ordering (a zero pivot replaced by 10^-2 of its row's norm), and H0
  /// is applied by BiCGSTAB preconditioned by it, from zero, to a relative residual of 10^-4 in
  /// at most 1000 iterations: looser than a linear solver's, since the stored updates correct
  /// the step as they correct an exact H0's. A Krylov solve that falls short gives NaN: its step
  /// is non-finite, and the solve ends as such solves do. For Jacobians whose LU fills beyond
  /// memory or time, 3-D grids above all; every step costs a Krylov solve, so it pays only where
  /// a factorisation does not. Never chosen automatically.
  kIterative,
};

/// Which fill-reducing ordering the general sparse LU uses (SparseFactorisation::kGeneral, or
/// kAutomatic where it takes the general LU). The banded LU and kIterative need no ordering and
/// ignore it. Nested dissection pays on 2-D and 3-D grids, whose LU fills far less in that order
/// than in AMD's; on patterns with little fill AMD is as good and its analysis faster. The
/// orderings other than kAutomatic and kAmd come from UMFPACK, so they take UMFPACK whatever the
/// pattern's fill (KLU orders by AMD or COLAMD only). Without SuiteSparse the setting is accepted
/// and ignored: Eigen's SparseLU orders by COLAMD. factorStatistics().method names the ordering
/// used.
enum class SparseOrdering {
  /// The library's choice: today that of kAmd, KLU or UMFPACK by the fill KLU's analysis
  /// predicts.
  kAutomatic,
  /// Approximate minimum degree: KLU's AMD where KLU's analysis predicts little fill, otherwise
  /// UMFPACK's AMD on A + Aᵀ or COLAMD on A (UMFPACK's strategy picks by the pattern's symmetry).
  kAmd,
  /// METIS nested dissection (of A + Aᵀ or of AᵀA, by UMFPACK's strategy), by UMFPACK.
  kMetis,
  /// CHOLMOD's choice, by UMFPACK: AMD or COLAMD, then METIS when that fills too much.
  kCholmod,
  /// UMFPACK tries AMD or COLAMD, METIS and CHOLMOD's nested dissection and keeps the one with the
  /// least fill: the slowest analysis, the smallest factors.
  kBest,
};

/// What SparseBroyden holds of its last factorisation (SparseBroyden::factorStatistics()).
struct SparseFactorStatistics {
  /// kBanded, kGeneral or kIterative for the factors held; kAutomatic when the solver holds none
  /// (before its first factorisation, after reset(), or when the held Jacobian is singular or
  /// non-finite).
  SparseFactorisation factorisation = SparseFactorisation::kAutomatic;
  /// The factorisation and the fill-reducing ordering it used, such as "KLU, AMD ordering" or
  /// "UMFPACK, METIS ordering"; empty when no factors are held.
  std::string method;
  /// The values the factors store: nnz(L) + nnz(U) for a sparse LU, (2 kl + ku + 1) m for the
  /// band, the matrix's and its incomplete factors' entries for kIterative.
  long long factorEntries = 0;
  /// kl and ku of the factorised pattern: its farthest entries below and above the diagonal.
  ///@{
  long long lowerBandwidth = 0;
  long long upperBandwidth = 0;
  ///@}
};

/// The sparse solver: Broyden's method with the Jacobian held as a sparse LU factorisation and
/// the updates of its inverse kept as pairs of vectors (see the file comment), for systems whose
/// Jacobian is sparse. Same settings, record, schedule and guarantees as Broyden.
class ONDREL_SOLVERS_API SparseBroyden {
 public:
  /// Tuned on warm-started continuation of the 2-D Bratu problem (docs/guide/sparse.md): enough
  /// for every update the default refresh schedule makes between two refreshes,
  /// 2 x refreshCountLimit, with room for the updates warm starts carry over.
  static constexpr std::uint64_t kDefaultUpdateLimit = 20;
  /// Below this size the automatic choice always takes the general sparse LU: both factorise in
  /// microseconds there, and small systems keep the iterates they had before the banded LU.
  static constexpr long long kBandedMinimumSize = 1000;
  /// The automatic choice takes the banded LU when its storage is at most this many times the
  /// pattern's entries: 4/3 for a full tridiagonal band, 1.6 for a full band with kl = ku = 2.
  static constexpr double kBandedStorageRatio = 3.0;

  /// Throws std::invalid_argument for a negative size, and for a value of either enumeration that
  /// it does not name. Empty callables are accepted; invoking one in a solve throws
  /// std::bad_function_call. updateLimit 0 keeps no update: between refreshes every step uses the
  /// last refreshed Jacobian (the chord method). `factorisation` overrides the automatic choice of
  /// the factorisation, `ordering` the general sparse LU's fill-reducing ordering.
  SparseBroyden(long long stateSize,
                long long systemSize,
                const BroydenParameters& parameters,
                ResidualFunction residual,
                SparseJacobianFunction jacobian,
                std::uint64_t updateLimit = kDefaultUpdateLimit,
                SparseFactorisation factorisation = SparseFactorisation::kAutomatic,
                SparseOrdering ordering = SparseOrdering::kAutomatic);

  /// Copies are independent solvers in the source's state, held Jacobian and stored updates
  /// included. The sparse factors cannot be copied: a copy refactorises the Jacobian it holds
  /// before its first solve (no Jacobian evaluation), and then takes the same iterates. Throws
  /// std::bad_alloc; copy assignment leaves the target as it was when it throws.
  ///@{
  SparseBroyden(const SparseBroyden& other);
  SparseBroyden& operator=(const SparseBroyden& other);
  ///@}
  /// The source is left empty, as Broyden's is (its updateLimit() then kDefaultUpdateLimit).
  ///@{
  SparseBroyden(SparseBroyden&& other) noexcept;
  SparseBroyden& operator=(SparseBroyden&& other) noexcept;
  ///@}
  /// Releases the factorisation, the stored updates and the record.
  ~SparseBroyden();

  /// Drops the held Jacobian and the stored updates (a copy's too, before its first solve): the
  /// next solve evaluates and factorises one at its starting point. The symbolic analysis is kept
  /// for a Jacobian of the same pattern.
  void reset();

  /// As Broyden::solve: drives x (n == m entries) to a root, and on convergence inside the
  /// iteration writes the root into x; otherwise x keeps the guess. Throws std::invalid_argument,
  /// before calling anything, when x has other than n entries or n != m, and when a callable leaves
  /// its output with other than m entries or an m x m matrix whose columns hold strictly increasing
  /// row indices; std::bad_alloc when the factorisation runs out of memory. After any exception
  /// `information` is as before the call and the held Jacobian is dropped.
  const BroydenInformation& solve(Eigen::Ref<Eigen::VectorXd> x);

  /// As Broyden::solve for a State: the Jacobian and every step live in its m increment
  /// coordinates, and a step is applied with addIncrement.
  const BroydenInformation& solve(Ondrel::Math::State& state);

  /// The bound k on the stored update pairs, as constructed.
  std::uint64_t updateLimit() const { return limit; }

  /// The factorisation's choice, as constructed (a moved-from solver's kAutomatic).
  SparseFactorisation factorisation() const { return choice; }

  /// The general sparse LU's ordering, as constructed (a moved-from solver's kAutomatic).
  SparseOrdering ordering() const;

  /// Which factorisation holds the Jacobian the solver holds, its ordering and its size. A copy
  /// reports its source's factors only once it has refactorised them, at its first solve.
  SparseFactorStatistics factorStatistics() const;

 private:
  friend struct Ondrel::internal::Lifecycle;
  auto members() { return std::tie(limit, choice, information, solver); }

  std::uint64_t limit = kDefaultUpdateLimit;
  SparseFactorisation choice = SparseFactorisation::kAutomatic;
  // The record every solve writes and hands out, here so that references to it stay valid.
  BroydenInformation information;
  // Everything else a solver holds lives behind this pointer (broyden/internal/Solver.hpp); a
  // moved-from solver has none.
  std::unique_ptr<internal::Solver<internal::SparseModel>> solver;
};

}  // namespace Ondrel::Math::Solvers
