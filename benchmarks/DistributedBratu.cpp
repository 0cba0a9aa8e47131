// The 3-D (or with --dimension 2, 2-D) Bratu problem on a DMDA (examples/BratuDmda.hpp), λ = 6
// from u = 0, solved once by
// the solver named with --solver: this library's distributed solver (ondrel), or PETSc's SNES
// with Newton and a line search (newtonls) or its quasi-Newton method (qn), each with the KSP and
// PC the options database names (-ondrel_ for ondrel, no prefix for SNES). One solve per
// process run, so that each peak memory is that solve's own; scripts/bench-distributed runs the
// table. Prints one tab-separated line from rank 0:
//   solver processes N unknowns converged iterations jacobians wall_s cpu_s peak_MB_per_process
// (CPU seconds summed over the processes, peak resident memory the largest of any process).
#include <petscsnes.h>
#include <sys/resource.h>

#include <BratuDmda.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <ondrel/petsc/PetscBroyden.hpp>
#include <string>

using Ondrel::Examples::BratuDmda;
using Ondrel::Examples::petscCheck;
using namespace Ondrel::Math::Solvers;

namespace {

constexpr double kTolerance = 1e-10;

struct Outcome {
  bool converged = false;
  long long iterations = 0;
  long long jacobians = 0;
};

struct SnesContext {
  BratuDmda* problem;
  long long jacobians = 0;
};

PetscErrorCode snesResidual(SNES, Vec x, Vec f, void* context) {
  try {
    static_cast<SnesContext*>(context)->problem->residual(x, f);
  } catch (const std::exception&) {
    return PETSC_ERR_LIB;
  }
  return 0;
}

PetscErrorCode snesJacobian(SNES, Vec x, Mat jacobian, Mat, void* context) {
  auto* snes = static_cast<SnesContext*>(context);
  ++snes->jacobians;
  try {
    snes->problem->jacobian(x, jacobian);
  } catch (const std::exception&) {
    return PETSC_ERR_LIB;
  }
  PetscCall(MatAssemblyBegin(jacobian, MAT_FINAL_ASSEMBLY));
  PetscCall(MatAssemblyEnd(jacobian, MAT_FINAL_ASSEMBLY));
  return 0;
}

Outcome solveWithSnes(BratuDmda& problem, Mat jacobian, Vec u, const std::string& type) {
  SNES snes = nullptr;
  SnesContext context{&problem};
  Vec f = nullptr;
  petscCheck(VecDuplicate(u, &f), "VecDuplicate");
  petscCheck(SNESCreate(PETSC_COMM_WORLD, &snes), "SNESCreate");
  petscCheck(SNESSetType(snes, type.c_str()), "SNESSetType");
  petscCheck(SNESSetFunction(snes, f, snesResidual, &context), "SNESSetFunction");
  petscCheck(SNESSetJacobian(snes, jacobian, jacobian, snesJacobian, &context), "SNESSetJacobian");
  // The same test as the Broyden solve's: ||F|| below the absolute tolerance.
  petscCheck(SNESSetTolerances(snes, kTolerance, 0.0, 0.0, 400, 100000), "SNESSetTolerances");
  petscCheck(SNESSetFromOptions(snes), "SNESSetFromOptions");
  petscCheck(SNESSolve(snes, nullptr, u), "SNESSolve");
  SNESConvergedReason reason = SNES_CONVERGED_ITERATING;
  PetscInt iterations = 0;
  petscCheck(SNESGetConvergedReason(snes, &reason), "SNESGetConvergedReason");
  petscCheck(SNESGetIterationNumber(snes, &iterations), "SNESGetIterationNumber");
  SNESDestroy(&snes);
  VecDestroy(&f);
  return {reason > 0, iterations, context.jacobians};
}

Outcome solveWithBroyden(BratuDmda& problem, Mat jacobian, Vec u) {
  BroydenParameters parameters;
  parameters.absoluteTolerance = kTolerance;
  parameters.outputStream = nullptr;
  PetscBroyden solver(
      jacobian,
      parameters,
      [&](Vec x, Vec f) { problem.residual(x, f); },
      [&](Vec x, Mat j) { problem.jacobian(x, j); });
  const BroydenInformation& information = solver.solve(u);
  return {information.converged,
          static_cast<long long>(information.iterations),
          static_cast<long long>(information.jacobianEvaluations)};
}

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

int run(PetscInt grid, int dimension, const std::string& solverName) {
  BratuDmda problem(PETSC_COMM_WORLD, grid, 6.0, dimension);
  Mat jacobian = nullptr;
  Vec u = nullptr;
  petscCheck(DMCreateMatrix(problem.dm(), &jacobian), "DMCreateMatrix");
  petscCheck(DMCreateGlobalVector(problem.dm(), &u), "DMCreateGlobalVector");
  petscCheck(VecSet(u, 0.0), "VecSet");
  MPI_Barrier(PETSC_COMM_WORLD);
  const double wallStart = MPI_Wtime();
  const double cpuStart = cpuSeconds();
  const Outcome outcome = solverName == "ondrel" ? solveWithBroyden(problem, jacobian, u)
                                                 : solveWithSnes(problem, jacobian, u, solverName);
  const double cpu = cpuSeconds() - cpuStart;
  MPI_Barrier(PETSC_COMM_WORLD);
  const double wall = MPI_Wtime() - wallStart;

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  double peak = static_cast<double>(usage.ru_maxrss) / 1024.0;
  double largestPeak = 0.0;
  double cpuTotal = 0.0;
  MPI_Reduce(&peak, &largestPeak, 1, MPI_DOUBLE, MPI_MAX, 0, PETSC_COMM_WORLD);
  MPI_Reduce(&cpu, &cpuTotal, 1, MPI_DOUBLE, MPI_SUM, 0, PETSC_COMM_WORLD);
  int rank = 0;
  int processes = 1;
  MPI_Comm_rank(PETSC_COMM_WORLD, &rank);
  MPI_Comm_size(PETSC_COMM_WORLD, &processes);
  if (rank == 0) {
    std::printf("%s\t%d\t%d\t%lld\t%s\t%lld\t%lld\t%.3f\t%.3f\t%.0f\n",
                solverName.c_str(),
                processes,
                static_cast<int>(grid),
                static_cast<long long>(grid) * grid * (dimension == 2 ? 1 : grid),
                outcome.converged ? "yes" : "no",
                outcome.iterations,
                outcome.jacobians,
                wall,
                cpuTotal,
                largestPeak);
  }
  VecDestroy(&u);
  MatDestroy(&jacobian);
  return outcome.converged ? EXIT_SUCCESS : EXIT_FAILURE;
}

}  // namespace

int main(int argc, char** argv) {
  if (PetscInitialize(&argc, &argv, nullptr, nullptr) != 0) return EXIT_FAILURE;
  PetscInt grid = 40;
  int dimension = 3;
  std::string solverName = "ondrel";
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--grid") == 0) grid = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--solver") == 0) solverName = argv[i + 1];
    if (std::strcmp(argv[i], "--dimension") == 0) dimension = std::atoi(argv[i + 1]);
  }
  int status = EXIT_FAILURE;
  try {
    status = run(grid, dimension, solverName);
  } catch (const std::exception& e) {
    std::cerr << "DistributedBratu: " << e.what() << '\n';
  }
  PetscFinalize();
  return status;
}
