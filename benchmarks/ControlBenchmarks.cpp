// What controlling a solve costs: the progress line written to a file against a silent solver,
// on a loop of warm 2 x 2 solves where the line is most of the work, and a monitor that reads
// every report against none, per iteration at m = 100.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <Eigen/Dense>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <ondrel/broyden/Broyden>
#include <string>

namespace {

using Ondrel::Math::Solvers::Broyden;
using Ondrel::Math::Solvers::BroydenIterationReport;
using Ondrel::Math::Solvers::BroydenParameters;

// A linear 2 x 2 system with its exact Jacobian: once warm, every solve converges in its first
// iteration without evaluating a Jacobian, so a solve is two residuals, a step and the line.
Broyden smallSolver(const BroydenParameters& parameters) {
  Broyden solver(
      2,
      2,
      parameters,
      [](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
        f(0) = 3.0 * x(0) + x(1) - 1.0;
        f(1) = x(0) - 2.0 * x(1) + 0.5;
      },
      [](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::MatrixXd& j) {
        j << 3.0, 1.0, 1.0, -2.0;
      });
  return solver;
}

// Output 0: the default, the line on std::cout, which goes to a file; 1: outputStream = nullptr.
void BM_WarmSmallSolves(benchmark::State& state) {
  const bool silent = state.range(0) != 0;
  const std::string path = "/tmp/ondrel-control-benchmark-" + std::to_string(::getpid()) + ".txt";
  std::ofstream file(path);
  std::streambuf* saved = std::cout.rdbuf(file.rdbuf());
  BroydenParameters parameters;
  if (silent) parameters.outputStream = nullptr;
  Broyden solver = smallSolver(parameters);
  Eigen::VectorXd x(2);
  x << 5.0, -3.0;
  solver.solve(x);
  double shift = 0.0;
  for (auto _ : state) {
    shift = shift > 1.0 ? 0.0 : shift + 1e-3;
    x << 5.0 + shift, -3.0;
    benchmark::DoNotOptimize(solver.solve(x).converged);
  }
  std::cout.rdbuf(saved);
  file.close();
  std::remove(path.c_str());
  state.SetLabel(silent ? "silent" : "line to a file");
}
BENCHMARK(BM_WarmSmallSolves)->Arg(0)->Arg(1)->ArgName("silent")->Unit(benchmark::kMicrosecond);

// Update iterations at m = 100, with or without a monitor that reads every report.
void BM_MonitoredIteration(benchmark::State& state) {
  const bool monitored = state.range(0) != 0;
  constexpr Eigen::Index kSize = 100;
  constexpr std::uint64_t kIterationsPerSolve = 10;
  const Eigen::VectorXd diagonal = Eigen::VectorXd::Random(kSize).array() * 0.5 + 1.0;
  const Eigen::VectorXd root = Eigen::VectorXd::Random(kSize).array() * 0.3 + 0.1;
  auto calls = std::make_shared<std::uint64_t>(0);
  BroydenParameters parameters;
  parameters.maxIterations = kIterationsPerSolve;
  parameters.absoluteTolerance = 1e-300;
  parameters.refreshReductionRatio = std::numeric_limits<double>::infinity();
  parameters.refreshCountLimit = std::numeric_limits<std::uint64_t>::max();
  parameters.outputStream = nullptr;
  auto seen = std::make_shared<double>(0.0);
  if (monitored) {
    parameters.monitor = [seen](const BroydenIterationReport& report) {
      *seen += report.residualNorm + report.stepNorm + (*report.values)(0);
      return true;
    };
  }
  Broyden solver(
      kSize,
      kSize,
      parameters,
      [&diagonal, &root, calls](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
        ++*calls;
        f = diagonal.cwiseProduct(x - root);
      },
      [](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::MatrixXd& j) {
        j.setIdentity(x.size(), x.size());
      });
  Eigen::VectorXd x = Eigen::VectorXd::Zero(kSize);
  solver.solve(x);
  std::uint64_t iterations = 0;
  for (auto _ : state) {
    x.setZero();
    iterations += solver.solve(x).iterations;
  }
  benchmark::DoNotOptimize(*seen);
  state.counters["seconds_per_iteration"] = benchmark::Counter(
      static_cast<double>(iterations), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_MonitoredIteration)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("monitor")
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
