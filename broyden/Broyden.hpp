// Broyden: solves a square system F(x) = 0 of m equations by Broyden's quasi-Newton method.
//
// The solver keeps the inverse Jacobian H explicitly, so a step dx = -H F costs one matrix-vector
// product, and corrects H (or J) between Jacobian evaluations by a rank-one update. Evaluations
// are scheduled by how fast the residual norm falls. The Jacobian, its LU factorisation and H
// stay in the object after a successful solve, so the next solve on the same object starts from
// them (warm start); a failed solve, an exception out of a solve, or reset() drops them.
//
// Sizes: stateSize n is the number of values of the variables, systemSize m the number of
// equations and increment variables. A vector solve needs n == m. The whole workspace is sized
// from m at construction; a solve allocates only its own few work vectors, once per call.
//
// Ownership: the object owns copies of its settings and callables, its result record and its
// workspace. The caller owns the vector it passes; a solve writes it only when an iteration
// converges. One solve at a time per object; distinct objects are independent.
#pragma once

#include <Eigen/Core>
#include <memory>
#include <ondrel/OndrelEigen.hpp>
#include <ondrel/OndrelSolversExport.hpp>
#include <ondrel/broyden/BroydenFunctions.hpp>
#include <ondrel/broyden/BroydenInformation.hpp>
#include <ondrel/broyden/BroydenParameters.hpp>
#include <tuple>

namespace Ondrel::Math {
class State;
}

namespace Ondrel::internal {
struct Lifecycle;
}

namespace Ondrel::Math::Solvers {

namespace internal {
class DenseModel;
template <class Model>
class Solver;
}  // namespace internal

/// The dense solver: solves a square system F(x) = 0 of m equations by Broyden's quasi-Newton
/// method, with the inverse Jacobian held explicitly (see the file comment for sizes, warm start
/// and ownership).
class ONDREL_SOLVERS_API Broyden {
 public:
  /// Throws std::invalid_argument for a negative size and std::bad_alloc when m x m entries do not
  /// fit a signed 64-bit count or cannot be allocated. Empty callables are accepted; invoking one
  /// in a solve throws std::bad_function_call.
  Broyden(long long stateSize,
          long long systemSize,
          const BroydenParameters& parameters,
          ResidualFunction residual,
          JacobianFunction jacobian);

  /// Copies are independent solvers in exactly the source's state, held Jacobian included. The
  /// copy shares the output stream (not owned) and holds a copy of the monitor. Copy assignment
  /// is all or nothing: if memory runs out, the target keeps its former state.
  ///@{
  Broyden(const Broyden& other);
  Broyden& operator=(const Broyden& other);
  ///@}
  /// The source is left empty, with a new solver's record and without workspace, settings or
  /// callables: it may only be destroyed or assigned to (its solves throw std::bad_function_call,
  /// its reset() does nothing). A solver's record stays where it is through every assignment, so
  /// a reference a solve returned keeps showing that solver's last record.
  ///@{
  Broyden(Broyden&& other) noexcept;
  Broyden& operator=(Broyden&& other) noexcept;
  ///@}
  /// Releases the workspace, the record and the callables.
  ~Broyden();

  /// Drops the held Jacobian: the next solve evaluates and factorises one at its starting point.
  void reset();

  /// Drives x (n == m entries) to a root. On convergence inside the iteration x holds the root;
  /// otherwise it keeps the guess. Throws std::invalid_argument, before calling anything, when
  /// x has other than n entries or n != m, and when a callable leaves its output with other than
  /// m (or m x m) entries. Exceptions of the callables pass through unchanged; after any
  /// exception `information` is as before the call and the held Jacobian is dropped.
  /// The returned reference stays valid for the solver's life; the next solve overwrites it.
  const BroydenInformation& solve(Eigen::Ref<Eigen::VectorXd> x);

  /// Drives a State to a root. Its `values` (n entries) are what the callables see; the
  /// equations, the Jacobian and every step live in its m increment coordinates, and a step is
  /// applied with addIncrement, so quaternion stretches turn instead of adding. Shares the held
  /// Jacobian and the refresh flags with the vector solve. On convergence inside the iteration
  /// the State is assigned the converged one, which differs from it only in `values`; in every
  /// other outcome, exceptions included, it is untouched. Throws std::invalid_argument, before
  /// calling anything, when its values are not n entries or its increment layout is not m
  /// entries lying inside its values; the other errors are those of the vector solve.
  const BroydenInformation& solve(Ondrel::Math::State& state);

 private:
  friend struct Ondrel::internal::Lifecycle;
  auto members() { return std::tie(information, solver); }

  // The record every solve writes and hands out, here so that references to it stay valid.
  BroydenInformation information;
  // Everything else a solver holds lives behind this pointer (broyden/internal/Solver.hpp); a
  // moved-from solver has none.
  std::unique_ptr<internal::Solver<internal::DenseModel>> solver;
};

}  // namespace Ondrel::Math::Solvers
