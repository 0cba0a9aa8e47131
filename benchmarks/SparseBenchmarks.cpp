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
// Peak memory is getrusage's high-water mark of the whole process, so each size is to be run in a
// process of its own (--benchmark_filter='bratu2d/1000$'); scripts/bench-sparse does so.
// Besides Google Benchmark's own flags, --results=FILE appends one tab-separated row per run.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <ondrel/broyden/Broyden>
#include <string>
#include <vector>

#include "Bratu2dProblem.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using Ondrel::Math::Solvers::BroydenIterationReport;
using Ondrel::Math::Solvers::BroydenParameters;
using Ondrel::Math::Solvers::JacobianChange;
using Ondrel::Math::Solvers::SparseBroyden;

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
  benchmark::Initialize(&count, arguments.data());
  if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!resultsPath.empty()) appendResults(resultsPath);
  return 0;
}
