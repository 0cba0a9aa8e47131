// Timing of the solver's hot paths: one update iteration of each method beside one H v product
// of the same size, a whole solve of the Broyden tridiagonal system, one Jacobian refresh, and
// the heap allocations a solve makes per iteration.
#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <Eigen/Geometry>
#include <algorithm>
#include <chrono>
#include <iostream>
#include <limits>
#include <memory>
#include <ondrel/broyden/Broyden>
#include <ondrel/state/State.hpp>
#include <sstream>

#include "AllocationCounter.hpp"

namespace {

using Ondrel::Math::State;
using Ondrel::Math::Solvers::Broyden;
using Ondrel::Math::Solvers::BroydenInformation;
using Ondrel::Math::Solvers::BroydenParameters;

// The progress line of every converged solve goes here instead of the terminal.
class SilencedOutput {
 public:
  SilencedOutput() : saved(std::cout.rdbuf(sink.rdbuf())) {}
  ~SilencedOutput() { std::cout.rdbuf(saved); }

 private:
  std::ostringstream sink;
  std::streambuf* saved;
};

// Seconds of the fastest of a few H v products: the memory-bandwidth yardstick.
double matrixVectorSeconds(const Eigen::MatrixXd& h) {
  Eigen::VectorXd v = Eigen::VectorXd::Random(h.cols());
  Eigen::VectorXd out(h.rows());
  double best = std::numeric_limits<double>::infinity();
  for (int i = 0; i < 20; ++i) {
    const auto start = std::chrono::steady_clock::now();
    out.noalias() = h * v;
    benchmark::DoNotOptimize(out.data());
    best = std::min(
        best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

void BM_MatrixVectorProduct(benchmark::State& state) {
  const Eigen::Index m = state.range(0);
  const Eigen::MatrixXd h = Eigen::MatrixXd::Random(m, m);
  Eigen::VectorXd v = Eigen::VectorXd::Random(m);
  Eigen::VectorXd out(m);
  for (auto _ : state) {
    out.noalias() = h * v;
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_MatrixVectorProduct)->Arg(100)->Arg(1000)->Arg(2000)->Unit(benchmark::kMicrosecond);

// A cheap, well-behaved system for timing iterations: F(x) = D (x - r) with D diagonal in
// [0.5, 1.5], while the Jacobian callable claims the identity. No refresh is ever scheduled, so
// every iteration is an update iteration costing O(m^2) in the solver and O(m) in the callable.
struct DiagonalSystem {
  Eigen::VectorXd diagonal;
  Eigen::VectorXd root;
  explicit DiagonalSystem(Eigen::Index m)
      : diagonal(Eigen::VectorXd::Random(m).array() * 0.5 + 1.0),
        root(Eigen::VectorXd::Random(m).array() * 0.3 + 0.123456789) {}
};

BroydenParameters updateOnlyParameters(std::int32_t method, std::uint64_t iterations) {
  BroydenParameters p;
  p.maxIterations = iterations;
  p.absoluteTolerance = 1e-300;
  p.relativeTolerance = 1e-6;
  p.refreshReductionRatio = std::numeric_limits<double>::infinity();
  p.goodReductionRatio = 2.0;
  p.refreshCountLimit = std::numeric_limits<std::uint64_t>::max();
  p.updateMethod = method;
  return p;
}

// Builds a solver whose solves converge at their `iterations`-th iteration at the latest: the
// residual callable reports the root there. The first solve (evaluating the Jacobian) is made
// here, so the timed solves all start warm.
Broyden warmSolver(const DiagonalSystem& system,
                   std::int32_t method,
                   std::uint64_t iterations,
                   std::shared_ptr<std::uint64_t> calls) {
  const Eigen::Index m = system.root.size();
  Broyden solver(
      m,
      m,
      updateOnlyParameters(method, iterations),
      [d = system.diagonal, r = system.root, calls, iterations](
          const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
        if (++*calls > iterations) {
          f.setZero();
        } else {
          f = d.cwiseProduct(x - r);
        }
      },
      [](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::MatrixXd& j) {
        j.setIdentity(x.size(), x.size());
      });
  Eigen::VectorXd x = Eigen::VectorXd::Zero(m);
  *calls = 0;
  solver.solve(x);
  return solver;
}

void BM_UpdateIteration(benchmark::State& state) {
  const std::int32_t method = static_cast<std::int32_t>(state.range(0));
  const Eigen::Index m = state.range(1);
  constexpr std::uint64_t kIterationsPerSolve = 10;
  SilencedOutput silence;
  DiagonalSystem system(m);
  auto calls = std::make_shared<std::uint64_t>(0);
  Broyden solver = warmSolver(system, method, kIterationsPerSolve, calls);
  const Eigen::VectorXd start = Eigen::VectorXd::Zero(m);
  Eigen::VectorXd x(m);
  std::uint64_t iterations = 0;
  for (auto _ : state) {
    x = start;
    *calls = 0;
    const BroydenInformation& info = solver.solve(x);
    iterations += info.iterations;
  }
  state.counters["iterations"] =
      benchmark::Counter(static_cast<double>(iterations), benchmark::Counter::kAvgIterations);
  state.counters["seconds_per_iteration"] = benchmark::Counter(
      static_cast<double>(iterations), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  // Beside it, measured in the same run: one H v product of the same size.
  const Eigen::MatrixXd h = Eigen::MatrixXd::Random(m, m);
  state.counters["Hv_seconds"] = matrixVectorSeconds(h);
}
BENCHMARK(BM_UpdateIteration)
    ->ArgsProduct({{0, 1, 2}, {100, 1000, 2000}})
    ->ArgNames({"method", "m"})
    ->Unit(benchmark::kMillisecond);

// Broyden tridiagonal: F_i = (3 - 2 x_i) x_i - x_{i-1} - 2 x_{i+1} + 1, from x0 = -1.
void tridiagonalResidual(const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
  const Eigen::Index m = x.size();
  for (Eigen::Index i = 0; i < m; ++i) {
    const double left = i > 0 ? x(i - 1) : 0.0;
    const double right = i + 1 < m ? x(i + 1) : 0.0;
    f(i) = (3.0 - 2.0 * x(i)) * x(i) - left - 2.0 * right + 1.0;
  }
}
void tridiagonalJacobian(const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::MatrixXd& j) {
  const Eigen::Index m = x.size();
  j.setZero();
  for (Eigen::Index i = 0; i < m; ++i) {
    j(i, i) = 3.0 - 4.0 * x(i);
    if (i > 0) j(i, i - 1) = -1.0;
    if (i + 1 < m) j(i, i + 1) = -2.0;
  }
}

void BM_BroydenTridiagonalSolve(benchmark::State& state) {
  const std::int32_t method = static_cast<std::int32_t>(state.range(0));
  const Eigen::Index m = state.range(1);
  SilencedOutput silence;
  BroydenParameters p;
  p.updateMethod = method;
  p.absoluteTolerance = 1e-10;
  Broyden solver(m, m, p, tridiagonalResidual, tridiagonalJacobian);
  Eigen::VectorXd x(m);
  BroydenInformation last;
  for (auto _ : state) {
    solver.reset();
    x.setConstant(-1.0);
    last = solver.solve(x);
  }
  state.counters["converged"] = last.converged;
  state.counters["iterations"] = static_cast<double>(last.iterations);
  state.counters["jacobians"] = static_cast<double>(last.jacobianEvaluations);
}
BENCHMARK(BM_BroydenTridiagonalSolve)
    ->ArgsProduct({{0, 1, 2}, {1000}})
    ->ArgNames({"method", "m"})
    ->Unit(benchmark::kMillisecond);

// One Jacobian refresh: a linear system solved from scratch converges in one iteration, so the
// time is the copy of J, its factorisation and the inverse, plus two O(m^2) residuals.
void BM_JacobianRefresh(benchmark::State& state) {
  const Eigen::Index m = state.range(0);
  SilencedOutput silence;
  const Eigen::MatrixXd a =
      Eigen::MatrixXd::Random(m, m) + static_cast<double>(m) * Eigen::MatrixXd::Identity(m, m);
  const Eigen::VectorXd b = Eigen::VectorXd::Random(m);
  BroydenParameters p;
  p.absoluteTolerance = 1e-6;
  Broyden solver(
      m,
      m,
      p,
      [&](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
        f.noalias() = a * x;
        f -= b;
      },
      [&](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::MatrixXd& j) { j = a; });
  Eigen::VectorXd x(m);
  for (auto _ : state) {
    solver.reset();
    x.setZero();
    benchmark::DoNotOptimize(solver.solve(x).converged);
  }
}
BENCHMARK(BM_JacobianRefresh)->Arg(500)->Arg(1000)->Arg(2000)->Unit(benchmark::kMillisecond);

// Time per iteration of a State solve against the vector solve, on the same plain system of
// m unknowns (a State without rotations), and on a State of q quaternions and q plain entries.
// Each solve converges at its 10th iteration at the latest; the solver is warm throughout.
void BM_PlainSystemIteration(benchmark::State& state) {
  const bool asState = state.range(0) != 0;
  const Eigen::Index m = state.range(1);
  constexpr std::uint64_t kIterationsPerSolve = 10;
  SilencedOutput silence;
  DiagonalSystem system(m);
  auto calls = std::make_shared<std::uint64_t>(0);
  Broyden solver = warmSolver(system, 1, kIterationsPerSolve, calls);
  Eigen::VectorXd x(m);
  State variables(m);
  std::uint64_t iterations = 0;
  for (auto _ : state) {
    *calls = 0;
    if (asState) {
      variables.values.setZero();
      iterations += solver.solve(variables).iterations;
    } else {
      x.setZero();
      iterations += solver.solve(x).iterations;
    }
  }
  state.counters["seconds_per_iteration"] = benchmark::Counter(
      static_cast<double>(iterations), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_PlainSystemIteration)
    ->ArgsProduct({{0, 1}, {400}})
    ->ArgNames({"state", "m"})
    ->Unit(benchmark::kMicrosecond);

void BM_QuaternionStateIteration(benchmark::State& state) {
  const long long quaternions = state.range(0);
  const long long n = 5 * quaternions;  // each pair: a quaternion and a plain entry
  const long long m = 4 * quaternions;
  constexpr std::uint64_t kIterationsPerSolve = 10;
  SilencedOutput silence;
  auto calls = std::make_shared<std::uint64_t>(0);
  // The residual drives each quaternion towards the identity (2 vec q) and each plain entry
  // towards 1; the Jacobian callable claims the identity, so every iteration is an update.
  Broyden solver(
      n,
      m,
      updateOnlyParameters(1, kIterationsPerSolve),
      [calls, quaternions](const Eigen::Ref<const Eigen::VectorXd>& v, Eigen::VectorXd& f) {
        const bool done = ++*calls > kIterationsPerSolve;
        for (long long k = 0; k < quaternions; ++k) {
          f.segment<3>(4 * k) =
              done ? Eigen::Vector3d::Zero() : Eigen::Vector3d(2.0 * v.segment<3>(5 * k + 1));
          f(4 * k + 3) = done ? 0.0 : 0.7 * (v(5 * k + 4) - 1.0);
        }
      },
      [](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::MatrixXd& j) {
        j.setIdentity(j.rows(), j.cols());
      });
  State start(n);
  const Eigen::Quaterniond turned(
      Eigen::AngleAxisd(0.4, Eigen::Vector3d(1.0, 2.0, 3.0).normalized()));
  for (long long k = 0; k < quaternions; ++k) {
    start.values.segment<4>(5 * k) << turned.w(), turned.x(), turned.y(), turned.z();
    start.addQuaternion(5 * k);
  }
  start.indexer.buildIndex();  // a host that indexes once spares every iteration the rebuild
  State variables = start;
  *calls = 0;
  solver.solve(variables);
  std::uint64_t iterations = 0;
  for (auto _ : state) {
    variables = start;
    *calls = 0;
    iterations += solver.solve(variables).iterations;
  }
  state.counters["seconds_per_iteration"] = benchmark::Counter(
      static_cast<double>(iterations), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_QuaternionStateIteration)
    ->Arg(100)
    ->ArgName("quaternions")
    ->Unit(benchmark::kMicrosecond);

// Heap allocations per iteration: the difference between a solve of 2K and one of K
// iterations, divided by K. The iteration loop itself must allocate nothing.
void BM_AllocationsPerIteration(benchmark::State& state) {
  const std::int32_t method = static_cast<std::int32_t>(state.range(0));
  constexpr Eigen::Index kSize = 200;
  constexpr std::uint64_t kShort = 5;
  SilencedOutput silence;
  DiagonalSystem system(kSize);
  auto shortCalls = std::make_shared<std::uint64_t>(0);
  auto longCalls = std::make_shared<std::uint64_t>(0);
  Broyden shortSolver = warmSolver(system, method, kShort, shortCalls);
  Broyden longSolver = warmSolver(system, method, 2 * kShort, longCalls);
  Eigen::VectorXd x(kSize);
  double perIteration = 0.0;
  for (auto _ : state) {
    x.setZero();
    *shortCalls = 0;
    const std::uint64_t before = Ondrel::Benchmarks::allocationCount();
    const std::uint64_t shortIterations = shortSolver.solve(x).iterations;
    const std::uint64_t middle = Ondrel::Benchmarks::allocationCount();
    x.setZero();
    *longCalls = 0;
    const std::uint64_t longIterations = longSolver.solve(x).iterations;
    const std::uint64_t after = Ondrel::Benchmarks::allocationCount();
    perIteration =
        (static_cast<double>(after - middle) - static_cast<double>(middle - before)) /
        static_cast<double>(std::max<std::uint64_t>(1, longIterations - shortIterations));
  }
  state.counters["allocations_per_iteration"] = perIteration;
}
BENCHMARK(BM_AllocationsPerIteration)->Arg(0)->Arg(1)->Arg(2)->ArgName("method")->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
