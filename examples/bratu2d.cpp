// The 2-D Bratu problem -Δu = 6 exp(u) on the unit square, u = 0 on the boundary, solved from
// u = 0 with the sparse solver on two grids: N = 255 and N = 511 interior points per side (65,025
// and 261,121 unknowns by default; --grid sets the fine N, the coarse one is (N - 1) / 2). Both
// grids put a point at the centre, and the fine grid halves the coarse one's spacing, so the two
// centre values show the discretisation's second order. The Jacobian is handed over sparse, with
// the same pattern at every evaluation: the solver analyses it once per grid and refactorises
// only the values.
//
// The fine grid is then solved again with each Jacobian a host need not write: coloured forward
// differences of the residual on the hand-written Jacobian's pattern (5 colours, so 6 residual
// evaluations per Jacobian at any size), and the automatic sparse Jacobian of the residual
// template (one sweep of 5 seeded colours); and a 15 x 15 grid with the dense forward-difference
// helper and the dense solver, which is what a host without a pattern would do. Each must reach
// the root the hand-written Jacobian reaches.
//
// With --output-dir DIR it also writes DIR/bratu2d.grid, the fine solution as N rows of N values
// (row j holds y_j, column i x_i), which scripts/demo draws as a heat map.
#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <ondrel/broyden/Broyden>
#include <string>

#include "Bratu2dProblem.hpp"
#include "ExampleSupport.hpp"

using Ondrel::Math::Solvers::BroydenInformation;
using Ondrel::Math::Solvers::BroydenParameters;
using Ondrel::Math::Solvers::SparseBroyden;
using Ondrel::Math::Solvers::SparseJacobianFunction;

namespace {

struct GridSolve {
  Gallery::Bratu2d problem;
  Eigen::VectorXd u;
  BroydenInformation information;
  double seconds = 0.0;
};

GridSolve solveOnGrid(long long n, Gallery::ResidualHistory& history) {
  GridSolve result{Gallery::Bratu2d{n, 6.0}, {}, {}, 0.0};
  const long long m = result.problem.unknowns();
  // The equations are scaled by h^2: the default tolerance 1e-10 on ||F|| is far above rounding
  // (about 1e-13 at a million unknowns) and ends every solve with u correct to 1e-9 or better.
  BroydenParameters parameters;
  SparseBroyden solver(
      m, m, parameters, history.recording(result.problem.residual()), result.problem.jacobian());
  history.startSolve("grid " + std::to_string(n));
  result.u = Eigen::VectorXd::Zero(m);
  const Gallery::Stopwatch watch;
  result.information = solver.solve(result.u);
  result.seconds = watch.seconds();
  return result;
}

// Both solves stop at ||F|| <= 1e-10 on equations scaled by h^2, superlinearly, far below it:
// their roots agree to about 1e-11, and a solve that went wrong would differ by order one.
constexpr double kSameRoot = 1e-8;

struct JacobianVariant {
  const char* name;
  double seconds = 0.0;
  double fromHandRoot = 0.0;
  BroydenInformation information;
};

// The fine grid again, with a Jacobian made by a helper instead of by hand.
JacobianVariant solveWith(const char* name,
                          const GridSolve& hand,
                          const SparseJacobianFunction& jacobian) {
  JacobianVariant variant{name, 0.0, 0.0, {}};
  const long long m = hand.problem.unknowns();
  BroydenParameters parameters;
  parameters.outputStream = nullptr;
  SparseBroyden solver(m, m, parameters, hand.problem.residual(), jacobian);
  Eigen::VectorXd u = Eigen::VectorXd::Zero(m);
  const Gallery::Stopwatch watch;
  variant.information = solver.solve(u);
  variant.seconds = watch.seconds();
  variant.fromHandRoot = (u - hand.u).lpNorm<Eigen::Infinity>();
  return variant;
}

// A small grid with the dense solver and dense forward differences (m + 1 residual evaluations
// per Jacobian), against the sparse solver with the hand-written Jacobian.
JacobianVariant solveDenseDifferenced() {
  JacobianVariant variant{"dense forward differences (15 x 15)", 0.0, 0.0, {}};
  const Gallery::Bratu2d problem{15, 6.0};
  const long long m = problem.unknowns();
  BroydenParameters parameters;
  parameters.outputStream = nullptr;
  SparseBroyden sparse(m, m, parameters, problem.residual(), problem.jacobian());
  Eigen::VectorXd reference = Eigen::VectorXd::Zero(m);
  sparse.solve(reference);
  Ondrel::Math::Solvers::Broyden dense(
      m,
      m,
      parameters,
      problem.residual(),
      Ondrel::Math::Solvers::forwardDifferenceJacobian(problem.residual(), m));
  Eigen::VectorXd u = Eigen::VectorXd::Zero(m);
  const Gallery::Stopwatch watch;
  variant.information = dense.solve(u);
  variant.seconds = watch.seconds();
  variant.fromHandRoot = (u - reference).lpNorm<Eigen::Infinity>();
  return variant;
}

}  // namespace

int main(int argc, char** argv) {
  const Gallery::Options options(argc, argv);
  long long fine = options.integer("--grid", 511);
  if (fine % 2 == 0) ++fine;  // an odd N puts a grid point at the centre
  const long long coarse = (fine - 1) / 2;
  std::printf("2-D Bratu problem, lambda = 6, from u = 0 on %lld^2 and %lld^2 interior points\n",
              coarse,
              fine);

  Gallery::ResidualHistory history;
  Gallery::Summary summary;
  summary.name = "bratu2d";
  summary.problem = "2-D Bratu -Δu = 6 exp(u), sparse Jacobian, two grids";
  const Gallery::Stopwatch total;
  const GridSolve solves[] = {solveOnGrid(coarse, history), solveOnGrid(fine, history)};
  summary.wallSeconds = total.seconds();

  for (const GridSolve& solve : solves) {
    const BroydenInformation& info = solve.information;
    std::printf("  N = %4lld (%7lld unknowns): %-9s it %2llu  nJ %llu  u(1/2, 1/2) %.8f  %.2f s\n",
                solve.problem.gridSize,
                solve.problem.unknowns(),
                info.converged ? "converged" : info.message.c_str(),
                static_cast<unsigned long long>(info.iterations),
                static_cast<unsigned long long>(info.jacobianEvaluations),
                solve.problem.centreOf(solve.u),
                solve.seconds);
    ++summary.solves;
    summary.converged = summary.converged && info.converged;
    summary.iterations += info.iterations;
    summary.jacobianEvaluations += info.jacobianEvaluations;
  }

  const Gallery::Bratu2d& fineProblem = solves[1].problem;
  const Eigen::SparseMatrix<double> pattern = fineProblem.pattern();
  const Ondrel::Math::Solvers::AutomaticSparseSystem automatic =
      Ondrel::Math::Solvers::automaticSparseJacobian(fineProblem.residualTemplate(), pattern);
  std::printf("  the fine grid with other Jacobians (%d colours, %s):\n",
              automatic.colouring.colourCount,
              automatic.colouring.method.c_str());
  const JacobianVariant variants[] = {
      solveWith("coloured forward differences",
                solves[1],
                Ondrel::Math::Solvers::colouredDifferenceJacobian(fineProblem.residual(), pattern)),
      solveWith("automatic, coloured sweeps", solves[1], automatic.jacobian),
      solveDenseDifferenced(),
  };
  bool variantsAgree = automatic.colouring.colourCount == 5;
  double worstVariant = 0.0;
  for (const JacobianVariant& variant : variants) {
    const BroydenInformation& info = variant.information;
    std::printf("    %-36s %-9s it %2llu  nJ %llu  from the hand-written root %.1e  %.2f s\n",
                variant.name,
                info.converged ? "converged" : info.message.c_str(),
                static_cast<unsigned long long>(info.iterations),
                static_cast<unsigned long long>(info.jacobianEvaluations),
                variant.fromHandRoot,
                variant.seconds);
    variantsAgree = variantsAgree && info.converged && variant.fromHandRoot <= kSameRoot;
    worstVariant = std::max(worstVariant, variant.fromHandRoot);
  }

  // The checks, on the fine grid: the residual recomputed here, the symmetries of the square,
  // the maximum at the centre, and the centre value against the coarse grid's.
  const GridSolve& result = solves[1];
  const Gallery::Bratu2d& problem = result.problem;
  Eigen::VectorXd f(problem.unknowns());
  problem.residual()(result.u, f);
  summary.unknowns = problem.unknowns();
  summary.finalResidual = f.norm();
  const double centre = problem.centreOf(result.u);
  const double coarseCentre = solves[0].problem.centreOf(solves[0].u);
  const double asymmetry = problem.asymmetry(result.u);
  // The five-point stencil is second order: the centre value moves by C h^2 when h halves, with
  // C = 0.12 measured on 31/63, 127/255 and 255/511 alike; 0.25 bounds it with room to spare, while
  // a first-order or wrong discretisation moves it by far more.
  const double coarseSpacing = solves[0].problem.spacing();
  const double orderLimit = 0.25 * coarseSpacing * coarseSpacing;
  const double change = centre - coarseCentre;
  // Rounding of the symmetric arithmetic, amplified by the solve: far below any real asymmetry.
  const double symmetryLimit = 1e-10;
  summary.checkPassed = summary.converged && summary.finalResidual <= 1e-10 &&
                        asymmetry <= symmetryLimit && centre == result.u.maxCoeff() &&
                        change > 0.0 && change <= orderLimit && variantsAgree;
  char check[320];
  std::snprintf(check,
                sizeof check,
                "symmetric to %.1e (limit %.0e), maximum %.6f at the centre, which moved by "
                "%.2e from the coarse grid (second order: 0 < change <= %.2e); extrapolated %.6f; "
                "other Jacobians' roots within %.1e (limit %.0e)",
                asymmetry,
                symmetryLimit,
                centre,
                change,
                orderLimit,
                centre + change / 3.0,
                worstVariant,
                kSameRoot);
  summary.check = check;
  summary.report(options, history);

  if (!options.outputDirectory.empty()) {
    std::ofstream grid(options.outputDirectory + "/bratu2d.grid");
    const long long n = problem.gridSize;
    grid.precision(8);
    for (long long j = 0; j < n; ++j) {
      for (long long i = 0; i < n; ++i) grid << result.u(i + n * j) << (i + 1 < n ? ' ' : '\n');
    }
  }
  return summary.exitCode();
}
