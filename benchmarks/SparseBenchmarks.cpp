// SparseBroyden on the 2-D Bratu problem (lambda = 6, from u = 0, the gallery's Bratu2dProblem.hpp)
// at m = N^2 from 10^4 to 10^6: the whole solve, its iterations timed one by one through a
// monitor, its evaluations and the process's peak memory.
//
// An iteration's time runs from one monitor report to the next: a step (one LU solve), a residual
// evaluation, then either an update of the stored vectors ("update" iterations) or a Jacobian
// evaluation and numerical factorisation ("refresh" iterations). The start, up to report 0, holds
// the first residual and Jacobian, the symbolic analysis and the first factorisation.
//
// continuation/K tunes the bound on stored updates: 13 warm-started solves of the same problem at
// m = 10^4 for lambda = 0.5, 1.0, ..., 6.5, each from the previous root on one solver whose bound
// is K, so that updates carry over from solve to solve until the bound restarts them.
//
// iteration/<problem>/<m> sets an update iteration against its floor: one forward-and-back solve
// with the factors the solver chose (factorStatistics() names them; the benchmark factorises the
// Jacobian at the root with the same backend called directly, dgbtrs for the band) plus one dot
// product and one axpy over m entries per stored pair, all timed in this process. An iteration's
// own cost is its monitor-to-monitor time less one residual evaluation (timed on its own, at the
// root); the pairs it holds are counted from the last refresh. Reported: the mean over the
// solve's update iterations of cost / floor, and both parts, for the second solve of one solver
// (reset in between), and the first solve's mean iteration cost beside them (cold_iter_s).
//
// bratu3d/<n>/{lu,iterative} solves the 3-D Bratu problem from zero with the default LU and with
// the Krylov H0 (SparseFactorisation::kIterative); cubic3d/<n>/iterative solves -Δu + 200 u³ = f
// (CubicReaction.hpp, peak 5) from zero with robust() and the Krylov H0. SnesBenchmarks solves
// both with PETSc's SNES, their peer, in a program of its own so that PETSc and MPI count in
// SNES's memory only.
//
// Peak memory is getrusage's high-water mark of the whole process, so each size is to be run in a
// process of its own (--benchmark_filter='bratu2d/1000$'); scripts/bench-sparse does so.
// Besides Google Benchmark's own flags, --results=FILE appends one tab-separated row per run.
//
// orderings/bratu2d/<N>/lu-<ordering> and bratu3d/<n>/lu-<ordering> solve the 2-D and 3-D Bratu
// problems from zero with the general LU and each SparseOrdering (lu: the default's), measured as
// the bratu3d rows are; one per process too.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <ondrel/broyden/Broyden>
#include <string>
#include <utility>
#include <vector>

#include "Bratu2dProblem.hpp"
#include "Bratu3dProblem.hpp"
#include "CubicReaction.hpp"
#include "problems/MinpackTestSet.hpp"

#if defined(ONDREL_FLOOR_SUITESPARSE)
#include <klu.h>
#include <umfpack.h>
#endif
#if defined(ONDREL_FLOOR_LAPACK)
extern "C" {
void dgbtrf_(const int*, const int*, const int*, const int*, double*, const int*, int*, int*);
void dgbtrs_(const char*,
             const int*,
             const int*,
             const int*,
             const int*,
             const double*,
             const int*,
             const int*,
             double*,
             const int*,
             int*);
}
#endif

namespace {

using Clock = std::chrono::steady_clock;
using Ondrel::Benchmarks::CubicReaction;
using Ondrel::Benchmarks::ProblemFamily;
using Ondrel::Benchmarks::TestProblem;
using Ondrel::Math::Solvers::BroydenIterationReport;
using Ondrel::Math::Solvers::BroydenParameters;
using Ondrel::Math::Solvers::JacobianChange;
using Ondrel::Math::Solvers::ResidualFunction;
using Ondrel::Math::Solvers::SparseBroyden;
using Ondrel::Math::Solvers::SparseFactorisation;
using Ondrel::Math::Solvers::SparseFactorStatistics;
using Ondrel::Math::Solvers::SparseJacobianFunction;
using Ondrel::Math::Solvers::SparseOrdering;

struct Measurement {
  long long gridSize = 0;
  long long unknowns = 0;
  bool converged = false;
  double residualNorm = 0.0;
  unsigned long long iterations = 0;
  unsigned long long jacobianEvaluations = 0;
  double totalSeconds = 0.0;
  double startSeconds = 0.0;
  std::vector<double> updateSeconds;
  std::vector<double> refreshSeconds;
  double peakMegabytes = 0.0;
};

double mean(const std::vector<double>& values) {
  double sum = 0.0;
  for (double v : values) sum += v;
  return values.empty() ? 0.0 : sum / static_cast<double>(values.size());
}

double peakMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

Measurement solveBratu(long long gridSize) {
  const Gallery::Bratu2d problem{gridSize, 6.0};
  Measurement result;
  result.gridSize = gridSize;
  result.unknowns = problem.unknowns();
  Clock::time_point last = Clock::now();
  const Clock::time_point start = last;
  BroydenParameters parameters;
  parameters.outputStream = nullptr;
  parameters.monitor = [&](const BroydenIterationReport& report) {
    const Clock::time_point now = Clock::now();
    const double seconds = std::chrono::duration<double>(now - last).count();
    last = now;
    if (report.iteration == 0) {
      result.startSeconds = seconds;
    } else if (report.jacobianChange == JacobianChange::kUpdated) {
      result.updateSeconds.push_back(seconds);
    } else if (report.jacobianChange == JacobianChange::kRefreshed) {
      result.refreshSeconds.push_back(seconds);
    }
    return true;
  };
  SparseBroyden solver(
      result.unknowns, result.unknowns, parameters, problem.residual(), problem.jacobian());
  Eigen::VectorXd u = Eigen::VectorXd::Zero(result.unknowns);
  const auto& information = solver.solve(u);
  result.totalSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  result.converged = information.converged;
  result.residualNorm = information.residualNorm;
  result.iterations = information.iterations;
  result.jacobianEvaluations = information.jacobianEvaluations;
  result.peakMegabytes = peakMegabytes();
  return result;
}

std::vector<Measurement>& measurements() {
  static std::vector<Measurement> all;
  return all;
}

void registerBratu(long long gridSize) {
  auto* benchmark = benchmark::RegisterBenchmark(
      ("bratu2d/" + std::to_string(gridSize)).c_str(), [gridSize](benchmark::State& state) {
        Measurement last;
        for (auto _ : state) {
          last = solveBratu(gridSize);
          benchmark::DoNotOptimize(last.iterations);
        }
        measurements().push_back(last);
        state.counters["m"] = static_cast<double>(last.unknowns);
        state.counters["it"] = static_cast<double>(last.iterations);
        state.counters["nJ"] = static_cast<double>(last.jacobianEvaluations);
        state.counters["solved"] = last.converged;
        state.counters["update_s"] = mean(last.updateSeconds);
        state.counters["refresh_s"] = mean(last.refreshSeconds);
        state.counters["start_s"] = last.startSeconds;
        state.counters["peak_MB"] = last.peakMegabytes;
      });
  benchmark->Unit(benchmark::kMillisecond)->UseRealTime();
  // Seconds per solve above 10^5 unknowns: one timed solve.
  if (gridSize * gridSize >= 100000) {
    benchmark->Iterations(1)->Repetitions(1);
  } else {
    benchmark->Iterations(3)->Repetitions(1);
  }
}

void registerContinuation(std::uint64_t updateLimit) {
  auto* benchmark = benchmark::RegisterBenchmark(
      ("continuation/" + std::to_string(updateLimit)).c_str(),
      [updateLimit](benchmark::State& state) {
        constexpr long long kGridSize = 100;
        unsigned long long iterations = 0, jacobians = 0;
        bool converged = true;
        for (auto _ : state) {
          auto lambda = std::make_shared<double>(0.0);
          // The problem is rebuilt for each lambda inside the callables: cheap beside a solve.
          const auto residual = [lambda](const Eigen::Ref<const Eigen::VectorXd>& u,
                                         Eigen::VectorXd& f) {
            Gallery::Bratu2d{kGridSize, *lambda}.residual()(u, f);
          };
          const auto jacobian = [lambda](const Eigen::Ref<const Eigen::VectorXd>& u,
                                         Eigen::SparseMatrix<double>& j) {
            Gallery::Bratu2d{kGridSize, *lambda}.jacobian()(u, j);
          };
          BroydenParameters parameters;
          parameters.outputStream = nullptr;
          const long long m = kGridSize * kGridSize;
          SparseBroyden solver(m, m, parameters, residual, jacobian, updateLimit);
          Eigen::VectorXd u = Eigen::VectorXd::Zero(m);
          iterations = jacobians = 0;
          converged = true;
          for (int step = 1; step <= 13; ++step) {
            *lambda = 0.5 * step;
            const auto& information = solver.solve(u);
            iterations += information.iterations;
            jacobians += information.jacobianEvaluations;
            converged = converged && information.converged;
          }
        }
        state.counters["it"] = static_cast<double>(iterations);
        state.counters["nJ"] = static_cast<double>(jacobians);
        state.counters["solved"] = converged;
      });
  benchmark->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3)->Repetitions(1);
}

// Seconds per call of `work`, from enough calls to fill about a tenth of a second.
template <class Work>
double secondsPerCall(Work&& work) {
  work();
  int calls = 1;
  for (;;) {
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < calls; ++i) work();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (seconds > 0.1 || calls >= (1 << 20)) return seconds / calls;
    calls *= 4;
  }
}

// One forward-and-back solve with the factors `method` names, of `matrix`; 0 when this build
// cannot call that backend itself.
double solveFloor(const std::string& method, const Eigen::SparseMatrix<double>& matrix) {
  const Eigen::Index m = matrix.rows();
  Eigen::VectorXd b = Eigen::VectorXd::LinSpaced(m, -1.0, 1.0), x(m);
#if defined(ONDREL_FLOOR_LAPACK)
  if (method.rfind("banded", 0) == 0) {
    int kl = 0, ku = 0;
    for (Eigen::Index c = 0; c < m; ++c) {
      for (Eigen::SparseMatrix<double>::InnerIterator it(matrix, c); it; ++it) {
        kl = std::max<int>(kl, static_cast<int>(it.row() - c));
        ku = std::max<int>(ku, static_cast<int>(c - it.row()));
      }
    }
    const int n = static_cast<int>(m), ldab = 2 * kl + ku + 1, one = 1;
    std::vector<double> ab(static_cast<std::size_t>(ldab) * m, 0.0);
    for (Eigen::Index c = 0; c < m; ++c) {
      for (Eigen::SparseMatrix<double>::InnerIterator it(matrix, c); it; ++it) {
        ab[c * ldab + kl + ku + it.row() - c] = it.value();
      }
    }
    std::vector<int> pivots(m);
    int info = 0;
    dgbtrf_(&n, &n, &kl, &ku, ab.data(), &ldab, pivots.data(), &info);
    return secondsPerCall([&] {
      x = b;
      dgbtrs_("N", &n, &kl, &ku, &one, ab.data(), &ldab, pivots.data(), x.data(), &n, &info);
    });
  }
#endif
#if defined(ONDREL_FLOOR_SUITESPARSE)
  std::vector<SuiteSparse_long> starts(matrix.outerIndexPtr(), matrix.outerIndexPtr() + m + 1);
  std::vector<SuiteSparse_long> rows(matrix.innerIndexPtr(),
                                     matrix.innerIndexPtr() + matrix.nonZeros());
  std::vector<double> values(matrix.valuePtr(), matrix.valuePtr() + matrix.nonZeros());
  if (method.rfind("KLU", 0) == 0) {
    klu_l_common common;
    klu_l_defaults(&common);
    klu_l_symbolic* symbolic = klu_l_analyze(m, starts.data(), rows.data(), &common);
    klu_l_numeric* numeric =
        klu_l_factor(starts.data(), rows.data(), values.data(), symbolic, &common);
    const double seconds = secondsPerCall([&] {
      x = b;
      klu_l_solve(symbolic, numeric, m, 1, x.data(), &common);
    });
    klu_l_free_numeric(&numeric, &common);
    klu_l_free_symbolic(&symbolic, &common);
    return seconds;
  }
  if (method.rfind("UMFPACK", 0) == 0) {
    double control[UMFPACK_CONTROL];
    umfpack_dl_defaults(control);
    control[UMFPACK_IRSTEP] = 0;
    void *symbolic = nullptr, *numeric = nullptr;
    umfpack_dl_symbolic(
        m, m, starts.data(), rows.data(), values.data(), &symbolic, control, nullptr);
    umfpack_dl_numeric(
        starts.data(), rows.data(), values.data(), symbolic, &numeric, control, nullptr);
    std::vector<SuiteSparse_long> integerWork(m);
    std::vector<double> work(m);
    const double seconds = secondsPerCall([&] {
      umfpack_dl_wsolve(UMFPACK_A,
                        nullptr,
                        nullptr,
                        nullptr,
                        x.data(),
                        b.data(),
                        numeric,
                        control,
                        nullptr,
                        integerWork.data(),
                        work.data());
    });
    umfpack_dl_free_numeric(&numeric);
    umfpack_dl_free_symbolic(&symbolic);
    return seconds;
  }
#endif
  (void)method;
  return 0.0;
}

// A system for the iteration benchmark: its residual and sparse Jacobian, and a start.
struct IterationProblem {
  std::string name;
  long long m;
  ResidualFunction residual;
  SparseJacobianFunction jacobian;
  Eigen::VectorXd start;
};

IterationProblem minpackProblem(ProblemFamily family, const char* name, long long m) {
  const auto problem = std::make_shared<TestProblem>(family, m);
  return {name,
          m,
          [problem](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
            problem->residual(x, f);
          },
          [problem](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::SparseMatrix<double>& j) {
            problem->sparseJacobian(x, j);
          },
          problem->start()};
}

IterationProblem bratuProblem(long long gridSize) {
  const Gallery::Bratu2d problem{gridSize, 6.0};
  return {"bratu2d",
          problem.unknowns(),
          problem.residual(),
          problem.jacobian(),
          Eigen::VectorXd::Zero(problem.unknowns())};
}

void registerIteration(std::function<IterationProblem()> make) {
  const IterationProblem probe = make();
  auto* benchmark = benchmark::RegisterBenchmark(
      ("iteration/" + probe.name + "/" + std::to_string(probe.m)).c_str(),
      [make](benchmark::State& state) {
        const IterationProblem problem = make();
        const long long m = problem.m;
        std::vector<double> iterationSeconds;
        std::vector<std::size_t> pairsHeld;
        std::size_t pairs = 0;
        Clock::time_point last;
        BroydenParameters parameters;
        parameters.outputStream = nullptr;
        parameters.monitor = [&](const BroydenIterationReport& report) {
          const Clock::time_point now = Clock::now();
          if (report.iteration > 0 && report.jacobianChange == JacobianChange::kUpdated) {
            // The step of this iteration was taken with the pairs held before its update.
            iterationSeconds.push_back(std::chrono::duration<double>(now - last).count());
            pairsHeld.push_back(pairs++);
          } else if (report.jacobianChange == JacobianChange::kRefreshed) {
            pairs = 0;
          }
          last = Clock::now();
          return true;
        };
        Eigen::VectorXd x = problem.start;
        SparseFactorStatistics factors;
        unsigned long long iterations = 0;
        // The solver has solved once before the timed solve, as a solver in a time loop or a
        // continuation has: its stored pairs' memory is then allocated and touched, and the
        // timed iterations are the steady state's (the first solve's, on memory fresh from the
        // system, pay a page fault per 4 KB touched: cold_iter_s).
        SparseBroyden solver(m, m, parameters, problem.residual, problem.jacobian);
        double coldSeconds = 0.0;
        for (auto _ : state) {
          for (const bool timed : {false, true}) {
            iterationSeconds.clear();
            pairsHeld.clear();
            pairs = 0;
            solver.reset();
            x = problem.start;
            last = Clock::now();
            iterations = solver.solve(x).iterations;
            factors = solver.factorStatistics();
            if (!timed && !iterationSeconds.empty()) {
              for (const double seconds : iterationSeconds) coldSeconds += seconds;
              coldSeconds /= static_cast<double>(iterationSeconds.size());
            }
          }
        }
        Eigen::VectorXd f(m);
        const double residualSeconds = secondsPerCall([&] { problem.residual(x, f); });
        Eigen::SparseMatrix<double> j(m, m);
        problem.jacobian(x, j);
        j.makeCompressed();
        const double solveSeconds = solveFloor(factors.method, j);
        Eigen::VectorXd a = Eigen::VectorXd::Random(m), out = Eigen::VectorXd::Random(m);
        const Eigen::VectorXd s = Eigen::VectorXd::Random(m) / static_cast<double>(m);
        const double pairSeconds = secondsPerCall([&] {
          out += a * s.dot(out);
          benchmark::DoNotOptimize(out.data());
        });
        double ratio = 0.0, cost = 0.0, floor = 0.0;
        for (std::size_t i = 0; i < iterationSeconds.size(); ++i) {
          const double own = iterationSeconds[i] - residualSeconds;
          const double least = solveSeconds + static_cast<double>(pairsHeld[i]) * pairSeconds;
          cost += own;
          floor += least;
          ratio += own / least;
        }
        const double updates = static_cast<double>(iterationSeconds.size());
        state.SetLabel(factors.method);
        state.counters["m"] = static_cast<double>(m);
        state.counters["it"] = static_cast<double>(iterations);
        state.counters["updates"] = updates;
        state.counters["nnzLU"] = static_cast<double>(factors.factorEntries);
        state.counters["iter_s"] = updates > 0 ? cost / updates : 0.0;
        state.counters["cold_iter_s"] = coldSeconds > 0.0 ? coldSeconds - residualSeconds : 0.0;
        state.counters["floor_s"] = updates > 0 ? floor / updates : 0.0;
        state.counters["solve_s"] = solveSeconds;
        state.counters["pair_s"] = pairSeconds;
        state.counters["residual_s"] = residualSeconds;
        state.counters["iter_over_floor"] = updates > 0 && solveSeconds > 0 ? ratio / updates : 0.0;
      });
  benchmark->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(1);
}

// Bratu3dProblem.hpp: the 3-D Bratu problem on n^3 interior points.
IterationProblem bratu3dProblem(long long n) {
  const Ondrel::Benchmarks::Bratu3dProblem problem{n};
  return {"bratu3d",
          problem.unknowns(),
          problem.residual(),
          problem.jacobian(),
          Eigen::VectorXd::Zero(problem.unknowns())};
}

// -Δu + 200 u³ = f with u*'s peak at 5 (CubicReaction.hpp), from zero: full steps run away
// there, so it is solved with robust().
IterationProblem cubicProblem(long long n) {
  const auto model = std::make_shared<const CubicReaction>(n, 5.0);
  const ResidualFunction residual = model->residual();
  const SparseJacobianFunction jacobian = model->jacobian();
  const long long m = n * n * n;
  return {"cubic3d",
          m,
          [model, residual](const Eigen::Ref<const Eigen::VectorXd>& u, Eigen::VectorXd& f) {
            residual(u, f);
          },
          [model, jacobian](const Eigen::Ref<const Eigen::VectorXd>& u,
                            Eigen::SparseMatrix<double>& j) { jacobian(u, j); },
          Eigen::VectorXd::Zero(m)};
}

// A grid problem from zero with a factorisation and an ordering: whole solve, evaluations,
// factor entries and the process's peak memory (one row per process for the memory to be its own).
void registerGridSolve(const std::string& name,
                       IterationProblem (*make)(long long),
                       const BroydenParameters& settings,
                       long long n,
                       SparseFactorisation choice,
                       SparseOrdering ordering = SparseOrdering::kAutomatic) {
  auto* benchmark = benchmark::RegisterBenchmark(
      name.c_str(), [make, settings, n, choice, ordering](benchmark::State& state) {
        const IterationProblem problem = make(n);
        BroydenParameters parameters = settings;
        parameters.outputStream = nullptr;
        unsigned long long iterations = 0, jacobians = 0;
        bool converged = false;
        SparseFactorStatistics factors;
        for (auto _ : state) {
          SparseBroyden solver(problem.m,
                               problem.m,
                               parameters,
                               problem.residual,
                               problem.jacobian,
                               SparseBroyden::kDefaultUpdateLimit,
                               choice,
                               ordering);
          Eigen::VectorXd u = problem.start;
          const auto& information = solver.solve(u);
          iterations = information.iterations;
          jacobians = information.jacobianEvaluations;
          converged = information.converged;
          factors = solver.factorStatistics();
        }
        state.SetLabel(factors.method);
        state.counters["m"] = static_cast<double>(problem.m);
        state.counters["it"] = static_cast<double>(iterations);
        state.counters["nJ"] = static_cast<double>(jacobians);
        state.counters["solved"] = converged;
        state.counters["nnzLU"] = static_cast<double>(factors.factorEntries);
        state.counters["peak_MB"] = peakMegabytes();
      });
  benchmark->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(1);
}

void appendResults(const std::string& path) {
  const bool fresh = !std::ifstream(path).good();
  std::ofstream out(path, std::ios::app);
  out.precision(6);
  if (fresh) {
    out << "N\tm\tconverged\tresidual_norm\titerations\tjacobian_evaluations\ttotal_s\tstart_s"
           "\tupdate_s\trefresh_s\tper_iteration_s\tpeak_MB\n";
  }
  for (const Measurement& r : measurements()) {
    const double perIteration = r.iterations ? r.totalSeconds / r.iterations : 0.0;
    out << r.gridSize << '\t' << r.unknowns << '\t' << r.converged << '\t' << r.residualNorm << '\t'
        << r.iterations << '\t' << r.jacobianEvaluations << '\t' << r.totalSeconds << '\t'
        << r.startSeconds << '\t' << mean(r.updateSeconds) << '\t' << mean(r.refreshSeconds) << '\t'
        << perIteration << '\t' << r.peakMegabytes << '\n';
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string resultsPath;
  std::vector<char*> arguments;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--results=", 10) == 0) {
      resultsPath = argv[i] + 10;
    } else {
      arguments.push_back(argv[i]);
    }
  }
  int count = static_cast<int>(arguments.size());
  // N = 100 ... 1000: m = 10^4, 4 10^4, 10^5, 2.5 10^5, 5 10^5, 10^6.
  for (long long gridSize : {100, 200, 316, 500, 707, 1000}) registerBratu(gridSize);
  for (std::uint64_t updateLimit : {0, 2, 5, 10, 20, 50, 200}) registerContinuation(updateLimit);
  registerIteration([] {
    return minpackProblem(ProblemFamily::BroydenTridiagonal, "broyden_tridiagonal", 20000);
  });
  registerIteration([] {
    return minpackProblem(ProblemFamily::DiscreteBoundaryValue, "discrete_boundary_value", 20000);
  });
  for (long long gridSize : {100, 316, 1000}) {
    registerIteration([gridSize] { return bratuProblem(gridSize); });
  }
  for (long long n : {20, 40, 60}) {
    const std::string size = "/" + std::to_string(n) + "/";
    registerGridSolve(
        "bratu3d" + size + "lu", bratu3dProblem, {}, n, SparseFactorisation::kAutomatic);
    registerGridSolve(
        "bratu3d" + size + "iterative", bratu3dProblem, {}, n, SparseFactorisation::kIterative);
    registerGridSolve("cubic3d" + size + "iterative",
                      cubicProblem,
                      BroydenParameters::robust(),
                      n,
                      SparseFactorisation::kIterative);
  }
  // orderings/bratu2d/<N>/lu-<ordering> (lu: today's choice) and bratu3d/<n>/lu-<ordering>.
  const std::pair<SparseOrdering, std::string> orderings[] = {
      {SparseOrdering::kAutomatic, "lu"},
      {SparseOrdering::kMetis, "lu-metis"},
      {SparseOrdering::kCholmod, "lu-cholmod"},
      {SparseOrdering::kBest, "lu-best"},
  };
  for (const auto& [ordering, label] : orderings) {
    for (long long gridSize : {100, 316, 1000}) {
      registerGridSolve("orderings/bratu2d/" + std::to_string(gridSize) + "/" + label,
                        bratuProblem,
                        {},
                        gridSize,
                        SparseFactorisation::kGeneral,
                        ordering);
    }
    if (ordering == SparseOrdering::kAutomatic) continue;
    for (long long n : {20, 40}) {
      registerGridSolve("bratu3d/" + std::to_string(n) + "/" + label,
                        bratu3dProblem,
                        {},
                        n,
                        SparseFactorisation::kGeneral,
                        ordering);
    }
  }
  benchmark::Initialize(&count, arguments.data());
  if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!resultsPath.empty()) appendResults(resultsPath);
  return 0;
}
