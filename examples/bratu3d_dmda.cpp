// The 3-D Bratu problem on a PETSc DMDA, solved by the distributed solver on as many processes
// as mpirun starts (scripts/demo runs it on 2): -Δu = λ e^u on the unit cube, u = 0 on its
// boundary, from u = 0 at λ = 5 and then warm from that root at λ = 6. The DMDA's vector and
// matrix are handed over as they are; the linear solver is whatever the options database names
// under -ondrel_ (a parallel LU through MUMPS by default).
//
//   mpirun -np 2 bratu3d_dmda --grid 16 [--output-dir DIR]
//   mpirun -np 2 bratu3d_dmda --grid 40 -ondrel_ksp_type gmres -ondrel_pc_type hypre
#include <BratuDmda.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <ondrel/petsc/PetscBroyden.hpp>
#include <string>

using namespace Ondrel::Math::Solvers;
using Ondrel::Examples::BratuDmda;
using Ondrel::Examples::petscCheck;

namespace {

int run(PetscInt grid, const std::string& outputDirectory) {
  int rank = 0;
  MPI_Comm_rank(PETSC_COMM_WORLD, &rank);
  const auto start = std::chrono::steady_clock::now();

  BratuDmda problem(PETSC_COMM_WORLD, grid, 5.0);
  Mat jacobian = nullptr;
  Vec u = nullptr;
  Vec f = nullptr;
  petscCheck(DMCreateMatrix(problem.dm(), &jacobian), "DMCreateMatrix");
  petscCheck(DMCreateGlobalVector(problem.dm(), &u), "DMCreateGlobalVector");
  petscCheck(VecDuplicate(u, &f), "VecDuplicate");
  petscCheck(VecSet(u, 0.0), "VecSet");

  BroydenParameters parameters;
  // Every process runs the monitor on its own rows; the output line comes from rank 0 alone.
  parameters.monitor = [rank](const BroydenIterationReport& report) {
    if (rank == 0) {
      std::printf("  iteration %2llu  ||F|| %.3e  Jacobians %llu\n",
                  static_cast<unsigned long long>(report.iteration),
                  report.residualNorm,
                  static_cast<unsigned long long>(report.jacobianEvaluations));
    }
    return true;
  };
  bool converged = true;
  unsigned long long iterations = 0;
  unsigned long long jacobians = 0;
  double residual = 0.0;
  {
    PetscBroyden solver(
        jacobian,
        parameters,
        [&](Vec x, Vec out) { problem.residual(x, out); },
        [&](Vec x, Mat j) { problem.jacobian(x, j); });
    for (const double lambda : {5.0, 6.0}) {
      problem.setParameter(lambda);
      if (rank == 0) std::printf("lambda = %g\n", lambda);
      const BroydenInformation& information = solver.solve(u);
      converged = converged && information.converged;
      iterations += information.iterations;
      jacobians += information.jacobianEvaluations;
      residual = information.residualNorm;
    }
  }
  // The host's own check: its residual at the root, and the peak of u (below 1 at λ = 6).
  PetscReal norm = 0.0;
  PetscReal peak = 0.0;
  problem.residual(u, f);
  petscCheck(VecNorm(f, NORM_2, &norm), "VecNorm");
  petscCheck(VecMax(u, nullptr, &peak), "VecMax");
  const bool checkPassed = converged && norm < 1e-9 && peak > 0.0 && peak < 2.0;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  int processes = 1;
  MPI_Comm_size(PETSC_COMM_WORLD, &processes);
  if (rank == 0) {
    const long long unknowns = static_cast<long long>(grid) * grid * grid;
    std::printf(
        "\n  problem:              3-D Bratu on a %d^3 DMDA, %d processes\n"
        "  unknowns:             %lld\n"
        "  iterations:           %llu in all\n"
        "  Jacobian evaluations: %llu in all\n"
        "  final residual:       %.3e (host's check %.3e, max u %.4f)\n"
        "  wall time:            %.3g s\n"
        "  check:                %s\n",
        static_cast<int>(grid),
        processes,
        unknowns,
        iterations,
        jacobians,
        residual,
        norm,
        peak,
        seconds,
        checkPassed ? "passed" : "FAILED");
    if (!outputDirectory.empty()) {
      std::ofstream out(outputDirectory + "/bratu3d_dmda.summary");
      out << "bratu3d_dmda\t" << unknowns << "\t2\t" << (converged ? "yes" : "no") << '\t'
          << iterations << '\t' << jacobians << '\t' << residual << '\t' << seconds << '\t'
          << (checkPassed ? "passed" : "FAILED") << '\n';
    }
  }
  VecDestroy(&f);
  VecDestroy(&u);
  MatDestroy(&jacobian);
  return checkPassed ? EXIT_SUCCESS : EXIT_FAILURE;
}

}  // namespace

int main(int argc, char** argv) {
  if (PetscInitialize(&argc, &argv, nullptr, nullptr) != 0) return EXIT_FAILURE;
  PetscInt grid = 16;
  std::string outputDirectory;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--grid") == 0) grid = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--output-dir") == 0) outputDirectory = argv[i + 1];
  }
  int status = EXIT_FAILURE;
  try {
    status = run(grid, outputDirectory);
  } catch (const std::exception& e) {
    std::cerr << "bratu3d_dmda: " << e.what() << '\n';
  }
  PetscFinalize();
  return status;
}
