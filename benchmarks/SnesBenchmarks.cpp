// PETSc's SNES (newtonls, GMRES, ILU(0): SnesPeer.hpp states every setting) on the 3-D problems of
// SparseBenchmarks, from zero, in one process: bratu3d/<n>/snes (Bratu3dProblem.hpp) and
// cubic3d/<n>/snes (CubicReaction.hpp, peak 5), n = 20, 40, 60, the same callables as
// SparseBenchmarks' bratu3d/<n>/iterative and cubic3d/<n>/iterative, so that the two programs run
// back to back give the Krylov H0's ratios within one run. CPU time of the one solve, counters as
// there, and the process's peak memory: one row per process (scripts/bench-sparse does so).
// PETSc options after Google Benchmark's flags reach SNES (-ksp_rtol 1e-6, -snes_ksp_ew, ...).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <functional>
#include <memory>
#include <string>

#include "Bratu3dProblem.hpp"
#include "CubicReaction.hpp"
#include "SnesPeer.hpp"

namespace {

using Ondrel::Benchmarks::SnesOutcome;
using Ondrel::Benchmarks::SnesPeer;

double peakMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// `make` builds the problem's peer; the problem itself stays alive in the closure it returns.
void registerSnes(const std::string& name,
                  long long n,
                  std::function<std::unique_ptr<SnesPeer>()> make) {
  auto* benchmark = benchmark::RegisterBenchmark(
      (name + "/" + std::to_string(n) + "/snes").c_str(), [n, make](benchmark::State& state) {
        const long long m = n * n * n;
        SnesOutcome outcome;
        for (auto _ : state) {
          const std::unique_ptr<SnesPeer> snes = make();
          Eigen::VectorXd u = Eigen::VectorXd::Zero(m);
          outcome = snes->solve(u);
        }
        state.SetLabel("SNES newtonls, GMRES + ILU(0)");
        state.counters["m"] = static_cast<double>(m);
        state.counters["it"] = static_cast<double>(outcome.iterations);
        state.counters["nJ"] = static_cast<double>(outcome.jacobians);
        state.counters["krylov_it"] = static_cast<double>(outcome.linearIterations);
        state.counters["solved"] = outcome.converged;
        state.counters["peak_MB"] = peakMegabytes();
      });
  benchmark->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(1);
}

}  // namespace

int main(int argc, char** argv) {
  for (long long n : {20, 40, 60}) {
    registerSnes("bratu3d", n, [n] {
      const Ondrel::Benchmarks::Bratu3dProblem problem{n};
      return std::make_unique<SnesPeer>(problem.residual(), problem.jacobian());
    });
    registerSnes("cubic3d", n, [n] {
      // The callables point into the model: the peer shares its ownership.
      const auto model = std::make_shared<const Ondrel::Benchmarks::CubicReaction>(n, 5.0);
      const auto residual = model->residual();
      const auto jacobian = model->jacobian();
      return std::make_unique<SnesPeer>(
          [model, residual](const Eigen::Ref<const Eigen::VectorXd>& u, Eigen::VectorXd& f) {
            residual(u, f);
          },
          [model, jacobian](const Eigen::Ref<const Eigen::VectorXd>& u,
                            Eigen::SparseMatrix<double>& j) { jacobian(u, j); });
    });
  }
  benchmark::Initialize(&argc, argv);
  if (PetscInitialize(&argc, &argv, nullptr, nullptr) != 0) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  PetscFinalize();
  return 0;
}
