// The Jacobians nobody writes by hand, against the hand-written ones:
//
//   colouring/<order>/N        colourColumns on the 2-D five-point pattern, m = N^2 columns; the
//                              counter `colours` is the number of colours
//   bratu2d-jacobian/<kind>/N  one Jacobian of the 2-D Bratu problem (lambda = 6) at m = N^2:
//                              hand-written, coloured forward or central differences, automatic
//   bratu2d-solve/<kind>/N     a whole SparseBroyden solve of it from u = 0 with that Jacobian
//                              (the helpers made before the clock starts); counters: iterations,
//                              Jacobian evaluations, and the largest difference from the root
//                              the hand-written Jacobian reaches
//   minpack-jacobian/<kind>/<problem>
//                              one dense Jacobian of a MINPACK-1 problem: the test set's
//                              hand-written one or automaticJacobian of MinpackResidual
//   minpack-sparse-jacobian/<kind>/<problem>
//                              the banded families' sparse Jacobian: the test set's hand-written
//                              one or automaticSparseJacobian on its pattern
//   minpack-solve/<kind>/<problem>
//                              a Broyden solve from the standard start with either; the automatic
//                              one reports whether the hand-written one converged, the largest
//                              difference between the roots when both did, and whether both took
//                              the same iterations and Jacobian evaluations
//
// Run on one thread: OMP_NUM_THREADS=1 build/bench/benchmarks/JacobianBenchmarks.
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <ondrel/broyden/Broyden>
#include <string>
#include <vector>

#include "Bratu2dProblem.hpp"
#include "problems/MinpackResidual.hpp"
#include "problems/MinpackTestSet.hpp"

namespace {

using namespace Ondrel::Math::Solvers;
using Ondrel::Benchmarks::MinpackResidual;
using Ondrel::Benchmarks::ProblemFamily;
using Ondrel::Benchmarks::TestProblem;
using Sparse = Eigen::SparseMatrix<double>;

const char* orderName(ColouringOrder order) {
  switch (order) {
    case ColouringOrder::kSaturation:
      return "saturation";
    case ColouringOrder::kLargestFirst:
      return "largest-first";
    case ColouringOrder::kSmallestLast:
      return "smallest-last";
  }
  return "?";
}

void colouring(benchmark::State& state, long long n, ColouringOrder order) {
  const Sparse pattern = Gallery::Bratu2d{n, 6.0}.pattern();
  ColumnColouring result;
  for (auto _ : state) {
    result = colourColumns(pattern, order);
    benchmark::DoNotOptimize(result.colours.data());
  }
  state.counters["colours"] = result.colourCount;
  state.SetLabel(result.method);
}

enum class Kind { kHand, kForward, kCentral, kAutomatic };
const char* kindName(Kind kind) {
  switch (kind) {
    case Kind::kHand:
      return "hand";
    case Kind::kForward:
      return "coloured-forward";
    case Kind::kCentral:
      return "coloured-central";
    case Kind::kAutomatic:
      return "automatic";
  }
  return "?";
}

SparseJacobianFunction bratuJacobian(const Gallery::Bratu2d& problem, Kind kind) {
  switch (kind) {
    case Kind::kHand:
      return problem.jacobian();
    case Kind::kForward:
      return colouredDifferenceJacobian(problem.residual(), problem.pattern());
    case Kind::kCentral:
      return colouredDifferenceJacobian(
          problem.residual(), problem.pattern(), DifferenceScheme::kCentral);
    case Kind::kAutomatic:
      return automaticSparseJacobian(problem.residualTemplate(), problem.pattern()).jacobian;
  }
  return {};
}

void bratuJacobianTime(benchmark::State& state, long long n, Kind kind) {
  const Gallery::Bratu2d problem{n, 6.0};
  const SparseJacobianFunction jacobian = bratuJacobian(problem, kind);
  const Eigen::VectorXd u = Eigen::VectorXd::LinSpaced(problem.unknowns(), 0.0, 1.0);
  Sparse j;
  jacobian(u, j);  // the pattern in place, as in a solve after the first evaluation
  for (auto _ : state) {
    jacobian(u, j);
    benchmark::DoNotOptimize(j.valuePtr());
  }
}

// The root the hand-written Jacobian reaches, per grid, computed once.
const Eigen::VectorXd& bratuHandRoot(long long n) {
  static std::map<long long, Eigen::VectorXd> roots;
  auto found = roots.find(n);
  if (found != roots.end()) return found->second;
  const Gallery::Bratu2d problem{n, 6.0};
  BroydenParameters parameters;
  parameters.outputStream = nullptr;
  SparseBroyden solver(
      problem.unknowns(), problem.unknowns(), parameters, problem.residual(), problem.jacobian());
  Eigen::VectorXd u = Eigen::VectorXd::Zero(problem.unknowns());
  solver.solve(u);
  return roots.emplace(n, u).first->second;
}

void bratuSolve(benchmark::State& state, long long n, Kind kind) {
  const Gallery::Bratu2d problem{n, 6.0};
  const SparseJacobianFunction jacobian = bratuJacobian(problem, kind);
  BroydenParameters parameters;
  parameters.outputStream = nullptr;
  BroydenInformation info;
  Eigen::VectorXd u;
  for (auto _ : state) {
    SparseBroyden solver(
        problem.unknowns(), problem.unknowns(), parameters, problem.residual(), jacobian);
    u = Eigen::VectorXd::Zero(problem.unknowns());
    info = solver.solve(u);
  }
  state.counters["converged"] = info.converged ? 1 : 0;
  state.counters["iterations"] = static_cast<double>(info.iterations);
  state.counters["jacobians"] = static_cast<double>(info.jacobianEvaluations);
  if (kind != Kind::kHand) {
    state.counters["fromHandRoot"] = (u - bratuHandRoot(n)).lpNorm<Eigen::Infinity>();
  }
}

JacobianFunction minpackJacobian(const TestProblem& problem, bool automatic) {
  if (automatic) return automaticJacobian(MinpackResidual{problem}, problem.size()).jacobian;
  return [problem](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::MatrixXd& j) {
    j.resize(problem.size(), problem.size());
    problem.jacobian(x, j);
  };
}

void minpackJacobianTime(benchmark::State& state, const TestProblem& problem, bool automatic) {
  const JacobianFunction jacobian = minpackJacobian(problem, automatic);
  const Eigen::VectorXd x = problem.start();
  Eigen::MatrixXd j(problem.size(), problem.size());
  for (auto _ : state) {
    jacobian(x, j);
    benchmark::DoNotOptimize(j.data());
  }
}

void minpackSparseJacobianTime(benchmark::State& state,
                               const TestProblem& problem,
                               bool automatic) {
  const Eigen::VectorXd x = problem.start();
  Sparse pattern;
  problem.sparseJacobian(x, pattern);
  SparseJacobianFunction jacobian = [problem](const Eigen::Ref<const Eigen::VectorXd>& point,
                                              Sparse& j) { problem.sparseJacobian(point, j); };
  int colours = 0;
  if (automatic) {
    const AutomaticSparseSystem system = automaticSparseJacobian(MinpackResidual{problem}, pattern);
    jacobian = system.jacobian;
    colours = system.colouring.colourCount;
  }
  Sparse j;
  jacobian(x, j);
  for (auto _ : state) {
    jacobian(x, j);
    benchmark::DoNotOptimize(j.valuePtr());
  }
  if (automatic) state.counters["colours"] = colours;
}

Eigen::VectorXd minpackRoot(const TestProblem& problem, bool automatic, BroydenInformation& info) {
  BroydenParameters parameters;
  parameters.outputStream = nullptr;
  const ResidualFunction residual = [problem](const Eigen::Ref<const Eigen::VectorXd>& x,
                                              Eigen::VectorXd& f) { problem.residual(x, f); };
  Broyden solver(
      problem.size(), problem.size(), parameters, residual, minpackJacobian(problem, automatic));
  Eigen::VectorXd x = problem.start();
  info = solver.solve(x);
  return x;
}

void minpackSolve(benchmark::State& state, const TestProblem& problem, bool automatic) {
  BroydenInformation info;
  Eigen::VectorXd x;
  for (auto _ : state) x = minpackRoot(problem, automatic, info);
  state.counters["converged"] = info.converged ? 1 : 0;
  state.counters["iterations"] = static_cast<double>(info.iterations);
  state.counters["jacobians"] = static_cast<double>(info.jacobianEvaluations);
  if (automatic) {
    // A failed solve leaves the start in x: roots are compared only when both solves converge.
    BroydenInformation hand;
    const Eigen::VectorXd handRoot = minpackRoot(problem, false, hand);
    state.counters["handConverged"] = hand.converged ? 1 : 0;
    if (hand.converged && info.converged) {
      state.counters["fromHandRoot"] = (x - handRoot).lpNorm<Eigen::Infinity>();
    }
    state.counters["sameCourse"] =
        hand.iterations == info.iterations && hand.jacobianEvaluations == info.jacobianEvaluations
            ? 1
            : 0;
  }
}

std::vector<TestProblem> minpackProblems() {
  std::vector<TestProblem> problems = Ondrel::Benchmarks::standardTestSet();
  // The scalable families at m = 100, the largest size.
  for (ProblemFamily family : {ProblemFamily::BrownAlmostLinear,
                               ProblemFamily::DiscreteBoundaryValue,
                               ProblemFamily::DiscreteIntegralEquation,
                               ProblemFamily::Trigonometric,
                               ProblemFamily::VariablyDimensioned,
                               ProblemFamily::BroydenTridiagonal,
                               ProblemFamily::BroydenBanded}) {
    problems.emplace_back(family, 100);
  }
  return problems;
}

}  // namespace

int main(int argc, char** argv) {
  for (long long n : {100LL, 1000LL}) {
    for (ColouringOrder order : {ColouringOrder::kSaturation,
                                 ColouringOrder::kLargestFirst,
                                 ColouringOrder::kSmallestLast}) {
      benchmark::RegisterBenchmark(
          ("colouring/" + std::string(orderName(order)) + "/" + std::to_string(n)).c_str(),
          colouring,
          n,
          order)
          ->Unit(benchmark::kMillisecond);
    }
  }
  for (long long n : {100LL, 1000LL}) {
    for (Kind kind : {Kind::kHand, Kind::kForward, Kind::kCentral, Kind::kAutomatic}) {
      benchmark::RegisterBenchmark(
          ("bratu2d-jacobian/" + std::string(kindName(kind)) + "/" + std::to_string(n)).c_str(),
          bratuJacobianTime,
          n,
          kind)
          ->Unit(benchmark::kMillisecond);
    }
  }
  for (long long n : {100LL, 1000LL}) {
    for (Kind kind : {Kind::kHand, Kind::kForward, Kind::kCentral, Kind::kAutomatic}) {
      benchmark::RegisterBenchmark(
          ("bratu2d-solve/" + std::string(kindName(kind)) + "/" + std::to_string(n)).c_str(),
          bratuSolve,
          n,
          kind)
          ->Unit(benchmark::kMillisecond)
          ->Iterations(n >= 1000 ? 1 : 3);
    }
  }
  for (const TestProblem& problem : minpackProblems()) {
    std::string name = problem.name();
    for (char& c : name) {
      if (c == ' ') c = '_';
    }
    for (bool automatic : {false, true}) {
      const std::string kind = automatic ? "automatic" : "hand";
      benchmark::RegisterBenchmark(("minpack-jacobian/" + kind + "/" + name).c_str(),
                                   minpackJacobianTime,
                                   problem,
                                   automatic);
      benchmark::RegisterBenchmark(
          ("minpack-solve/" + kind + "/" + name).c_str(), minpackSolve, problem, automatic);
      if (problem.hasSparseJacobian()) {
        benchmark::RegisterBenchmark(("minpack-sparse-jacobian/" + kind + "/" + name).c_str(),
                                     minpackSparseJacobianTime,
                                     problem,
                                     automatic);
      }
    }
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
