// PetscBroyden: the Broyden solver for systems distributed over MPI processes, on PETSc.
//
// It runs the same iteration as Broyden and SparseBroyden, with the same BroydenParameters,
// BroydenInformation, refresh schedule, warm start, exits, monitor and failFast, on a PETSc `Vec`
// whose rows are spread over the processes of a communicator. The host's data stays PETSc's: the
// residual callable writes its process's rows of F into a `Vec`, the Jacobian callable sets its
// process's rows of the host's parallel AIJ `Mat` (a DMDA's, from DMCreateMatrix, serves as it
// is), and nothing is gathered onto one process.
//
// H0 = J0^-1 is applied through a KSP under the options prefix "ondrel_": by default a parallel
// direct LU (MUMPS), and any KSP and PC through the options database (-ondrel_ksp_type gmres
// -ondrel_pc_type hypre). The rank-one updates between refreshes are kept as pairs of distributed
// vectors, as SparseBroyden keeps them; update methods 1 and 2 and the chord method (any other
// value but 0) are supported.
//
// Every construction, solve and reset is collective over the Mat's communicator: every process
// calls it, and every process takes the same decisions on globally reduced norms, so the solve
// ends the same way everywhere. See docs/guide/distributed.md.
#pragma once

#include <petscksp.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <ondrel/OndrelEigen.hpp>
#include <ondrel/OndrelPetscExport.hpp>
#include <ondrel/broyden/BroydenInformation.hpp>
#include <ondrel/broyden/BroydenParameters.hpp>
#include <stdexcept>

namespace Ondrel::Math::Solvers {

/// Writes this process's rows of F(x) into f. Both vectors have the Jacobian's row layout; x is
/// locked for reading, and f arrives holding whatever it held before. The function may call
/// collective operations (a DMDA's DMGlobalToLocal); it should throw only after the last of them,
/// since a process that leaves early cannot be waited for inside one.
using PetscResidualFunction = std::function<void(Vec x, Vec f)>;

/// Sets this process's rows of J(x) into the matrix handed at construction, with MatSetValues
/// (or MatSetValuesStencil) and INSERT_VALUES; the solver assembles it afterwards. The matrix
/// arrives holding the previous evaluation: keeping its nonzero pattern keeps the symbolic work
/// of the factorisation. The same caution about collective calls applies as to the residual.
using PetscJacobianFunction = std::function<void(Vec x, Mat jacobian)>;

/// A PETSc call that failed, with PETSc's message; thrown on every process the failure reaches.
class PetscSolverError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

namespace internal {
class PetscSolver;
}

/// The distributed solver (see the file comment). Owns a reference to the host's matrix, its KSP
/// and the stored updates; move-only.
class ONDREL_PETSC_API PetscBroyden {
 public:
  /// As SparseBroyden's: room for every update the default schedule makes between refreshes.
  static constexpr std::uint64_t kDefaultUpdateLimit = 20;

  /// Collective over the communicator of `jacobian`, which must be a square matrix whose row and
  /// column layouts agree on every process; PETSc must be initialised. Its KSP is configured from
  /// the options database (prefix "ondrel_") here. Throws, on every process,
  /// std::invalid_argument when the layouts disagree, the update method is 0 (not supported
  /// here) or settings do not fit this process's rows (variable and residual scales and
  /// constraints are given per process, for its own rows), std::logic_error when PETSc is not
  /// initialised, PetscSolverError when a PETSc call fails.
  PetscBroyden(Mat jacobian,
               const BroydenParameters& parameters,
               PetscResidualFunction residual,
               PetscJacobianFunction jacobianFunction,
               std::uint64_t updateLimit = kDefaultUpdateLimit);
  /// The source is left empty: its solves throw std::logic_error.
  ///@{
  PetscBroyden(PetscBroyden&& other) noexcept;
  PetscBroyden& operator=(PetscBroyden&& other) noexcept;
  ///@}
  /// Releases the KSP, the stored updates and the reference to the matrix.
  ~PetscBroyden();

  /// Collective. Drops the held Jacobian and the stored updates: the next solve evaluates one at
  /// its starting point.
  void reset();

  /// Collective. Drives x to a root of F, and on convergence inside the iteration writes the root
  /// into x; otherwise x keeps the guess. x must have the matrix's row layout: a Vec of other
  /// local or global size throws std::invalid_argument on every process before any callable
  /// runs. An exception out of a callable, the monitor or PETSc on any process ends the solve on
  /// every process with an exception (see rethrow rules in docs/guide/distributed.md); x and
  /// `information` are then as before the call and the held Jacobian is dropped. The monitor runs
  /// on every process with that process's values, and the solve goes on only if it says so on
  /// all of them; the output line is written on rank 0 only.
  const BroydenInformation& solve(Vec x);

  /// The KSP that applies H0, for configuration in code (after construction; its operators are
  /// set at each refresh).
  KSP linearSolver() const;
  /// The bound k on the stored update pairs, as constructed.
  std::uint64_t updateLimit() const { return limit; }

 private:
  std::uint64_t limit = kDefaultUpdateLimit;
  BroydenInformation information;
  std::unique_ptr<internal::PetscSolver> solver;
};

}  // namespace Ondrel::Math::Solvers
