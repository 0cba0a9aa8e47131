// PETSc's SNES on a problem given as this library's callables, in one process: the peer of the
// sparse benchmarks' 3-D grids (SnesBenchmarks). PETSc must be initialised. The residual and the
// Jacobian are the very functions SparseBroyden calls; each evaluation is copied into PETSc's
// sequential vector and AIJ matrix (O(m) and O(nnz), a small part of a solve, charged to SNES).
//
// The solver is SNES newtonls (backtracking line search) with KSP GMRES and PC ILU, PETSc's
// defaults otherwise: ILU(0) in the natural ordering, GMRES(30) with classical Gram-Schmidt, KSP
// relative tolerance 1e-5, no Eisenstat-Walker. It stops as SparseBroyden's default does:
// ||F||_2 below 1e-10, SNES's relative and step tests off, at most 400 iterations. The options
// database (PETSC_OPTIONS, or options on the command line) may change any of it.
#pragma once

#include <petscsnes.h>

#include <Eigen/Core>
#include <Eigen/SparseCore>
#include <algorithm>
#include <ondrel/broyden/BroydenFunctions.hpp>
#include <stdexcept>
#include <string>
#include <utility>

namespace Ondrel::Benchmarks {

struct SnesOutcome {
  bool converged = false;
  long long iterations = 0;
  long long linearIterations = 0;
  long long jacobians = 0;
  double residualNorm = 0.0;
};

inline void snesCheck(PetscErrorCode code, const char* what) {
  if (code != 0) throw std::runtime_error(std::string("PETSc: ") + what + " failed");
}

class SnesPeer {
 public:
  SnesPeer(Math::Solvers::ResidualFunction residual, Math::Solvers::SparseJacobianFunction jacobian)
      : residual(std::move(residual)), jacobian(std::move(jacobian)) {}

  // Solves from x, which receives the last iterate.
  SnesOutcome solve(Eigen::VectorXd& x) {
    const auto m = static_cast<PetscInt>(x.size());
    values = Eigen::VectorXd::Zero(x.size());
    held = Eigen::SparseMatrix<double>(x.size(), x.size());
    matrix = nullptr;
    jacobians = 0;
    Vec u = nullptr, f = nullptr;
    SNES snes = nullptr;
    snesCheck(VecCreateSeq(PETSC_COMM_SELF, m, &u), "VecCreateSeq");
    snesCheck(VecDuplicate(u, &f), "VecDuplicate");
    snesCheck(MatCreate(PETSC_COMM_SELF, &matrix), "MatCreate");
    snesCheck(MatSetSizes(matrix, m, m, m, m), "MatSetSizes");
    snesCheck(MatSetType(matrix, MATSEQAIJ), "MatSetType");
    snesCheck(SNESCreate(PETSC_COMM_SELF, &snes), "SNESCreate");
    snesCheck(SNESSetType(snes, SNESNEWTONLS), "SNESSetType");
    snesCheck(SNESSetFunction(snes, f, evaluateResidual, this), "SNESSetFunction");
    snesCheck(SNESSetJacobian(snes, matrix, matrix, evaluateJacobian, this), "SNESSetJacobian");
    snesCheck(SNESSetTolerances(snes, 1e-10, 0.0, 0.0, 400, 100000), "SNESSetTolerances");
    KSP ksp = nullptr;
    PC pc = nullptr;
    snesCheck(SNESGetKSP(snes, &ksp), "SNESGetKSP");
    snesCheck(KSPSetType(ksp, KSPGMRES), "KSPSetType");
    snesCheck(KSPGetPC(ksp, &pc), "KSPGetPC");
    snesCheck(PCSetType(pc, PCILU), "PCSetType");
    snesCheck(SNESSetFromOptions(snes), "SNESSetFromOptions");

    PetscScalar* start = nullptr;
    snesCheck(VecGetArray(u, &start), "VecGetArray");
    std::copy(x.data(), x.data() + x.size(), start);
    snesCheck(VecRestoreArray(u, &start), "VecRestoreArray");
    snesCheck(SNESSolve(snes, nullptr, u), "SNESSolve");
    SnesOutcome outcome;
    SNESConvergedReason reason = SNES_CONVERGED_ITERATING;
    PetscInt iterations = 0, linear = 0;
    PetscReal norm = 0.0;
    snesCheck(SNESGetConvergedReason(snes, &reason), "SNESGetConvergedReason");
    snesCheck(SNESGetIterationNumber(snes, &iterations), "SNESGetIterationNumber");
    snesCheck(SNESGetLinearSolveIterations(snes, &linear), "SNESGetLinearSolveIterations");
    snesCheck(SNESGetFunctionNorm(snes, &norm), "SNESGetFunctionNorm");
    const PetscScalar* solution = nullptr;
    snesCheck(VecGetArrayRead(u, &solution), "VecGetArrayRead");
    std::copy(solution, solution + m, x.data());
    snesCheck(VecRestoreArrayRead(u, &solution), "VecRestoreArrayRead");
    outcome.converged = reason > 0;
    outcome.iterations = iterations;
    outcome.linearIterations = linear;
    outcome.jacobians = jacobians;
    outcome.residualNorm = norm;
    SNESDestroy(&snes);
    MatDestroy(&matrix);
    VecDestroy(&u);
    VecDestroy(&f);
    return outcome;
  }

 private:
  static PetscErrorCode evaluateResidual(SNES, Vec x, Vec f, void* context) {
    auto* self = static_cast<SnesPeer*>(context);
    const PetscScalar* point = nullptr;
    PetscCall(VecGetArrayRead(x, &point));
    const Eigen::Map<const Eigen::VectorXd> at(point, self->values.size());
    self->residual(at, self->values);
    PetscCall(VecRestoreArrayRead(x, &point));
    PetscScalar* out = nullptr;
    PetscCall(VecGetArray(f, &out));
    std::copy(self->values.data(), self->values.data() + self->values.size(), out);
    PetscCall(VecRestoreArray(f, &out));
    return 0;
  }

  // The first evaluation sets the pattern (preallocated exactly, by rows); later ones that keep
  // it overwrite the values row by row.
  static PetscErrorCode evaluateJacobian(SNES, Vec x, Mat, Mat, void* context) {
    auto* self = static_cast<SnesPeer*>(context);
    ++self->jacobians;
    const PetscScalar* point = nullptr;
    PetscCall(VecGetArrayRead(x, &point));
    const Eigen::Map<const Eigen::VectorXd> at(point, self->values.size());
    self->jacobian(at, self->held);
    PetscCall(VecRestoreArrayRead(x, &point));
    self->byRows = self->held;
    self->byRows.makeCompressed();
    const auto* outer = self->byRows.outerIndexPtr();
    const auto* inner = self->byRows.innerIndexPtr();
    const double* entries = self->byRows.valuePtr();
    if (self->jacobians == 1) {
      PetscCall(MatSeqAIJSetPreallocationCSR(self->matrix, outer, inner, entries));
    } else {
      for (PetscInt row = 0; row < self->byRows.rows(); ++row) {
        const PetscInt count = outer[row + 1] - outer[row];
        PetscCall(MatSetValues(
            self->matrix, 1, &row, count, inner + outer[row], entries + outer[row], INSERT_VALUES));
      }
    }
    PetscCall(MatAssemblyBegin(self->matrix, MAT_FINAL_ASSEMBLY));
    PetscCall(MatAssemblyEnd(self->matrix, MAT_FINAL_ASSEMBLY));
    return 0;
  }

  Math::Solvers::ResidualFunction residual;
  Math::Solvers::SparseJacobianFunction jacobian;
  Eigen::VectorXd values;
  Eigen::SparseMatrix<double> held;
  Eigen::SparseMatrix<double, Eigen::RowMajor, PetscInt> byRows;
  Mat matrix = nullptr;
  long long jacobians = 0;
};

}  // namespace Ondrel::Benchmarks
