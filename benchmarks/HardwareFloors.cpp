// The machine's floors for the solver's dense work, measured beside the solver itself: reading
// an m x m matrix once (memory bandwidth), LU with partial pivoting plus the explicit inverse
// through OpenBLAS's LAPACK (dgetrf + dgetri), the same through plain Eigen compiled at -O3, and
// one Jacobian refresh of this library (evaluation by copy, factorisation, inverse) as it is
// built, with or without the OpenBLAS backend.
//
// Besides Google Benchmark's own flags: --floors=FILE writes the medians as tab-separated rows
// tagged with --build=NAME (default "eigen"), the input of BenchmarkReport.
#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <algorithm>
#include <iostream>
#include <memory>
#include <ondrel/broyden/Broyden>
#include <sstream>
#include <vector>

#include "FloorReporting.hpp"

// OpenBLAS's LAPACK, declared as the library's backend declares it.
#include <ondrel/broyden/internal/Lapack.hpp>

namespace {

using Ondrel::Math::Solvers::Broyden;
using Ondrel::Math::Solvers::BroydenParameters;

// Well conditioned but not diagonal, so that pivoting and the inverse do real work.
Eigen::MatrixXd testMatrix(Eigen::Index m) {
  return Eigen::MatrixXd::Random(m, m) + static_cast<double>(m) * Eigen::MatrixXd::Identity(m, m);
}

// Enough copies to overflow any last-level cache, read in turn, so each read comes from memory.
constexpr std::size_t kStreamBytes = std::size_t{512} << 20;

void BM_stream(benchmark::State& state) {
  const Eigen::Index m = state.range(0);
  const std::size_t bytes = static_cast<std::size_t>(m * m) * sizeof(double);
  const std::vector<Eigen::MatrixXd> copies(std::max<std::size_t>(2, kStreamBytes / bytes),
                                            testMatrix(m));
  std::size_t next = 0;
  for (auto _ : state) {
    const Eigen::MatrixXd& a = copies[next];
    next = (next + 1) % copies.size();
    double sum = a.sum();
    benchmark::DoNotOptimize(&sum);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void BM_lapack_lu_inverse(benchmark::State& state) {
  const Eigen::Index m = state.range(0);
  const Eigen::MatrixXd a = testMatrix(m);
  Eigen::MatrixXd work(m, m);
  const int n = static_cast<int>(m);
  std::vector<int> pivots(static_cast<std::size_t>(m));
  int info = 0;
  double optimalWorkSize = 0.0;
  const int query = -1;
  dgetri_(&n, work.data(), &n, pivots.data(), &optimalWorkSize, &query, &info);
  const int workSize = static_cast<int>(optimalWorkSize);
  std::vector<double> getriWork(static_cast<std::size_t>(workSize));
  for (auto _ : state) {
    state.PauseTiming();
    work = a;
    state.ResumeTiming();
    dgetrf_(&n, &n, work.data(), &n, pivots.data(), &info);
    if (info == 0) dgetri_(&n, work.data(), &n, pivots.data(), getriWork.data(), &workSize, &info);
    if (info != 0) {
      state.SkipWithError("LAPACK reported a singular matrix");
      break;
    }
    benchmark::DoNotOptimize(work.data());
  }
}

void BM_eigen_lu_inverse(benchmark::State& state) {
  const Eigen::Index m = state.range(0);
  const Eigen::MatrixXd a = testMatrix(m);
  Eigen::PartialPivLU<Eigen::MatrixXd> lu(m);
  Eigen::MatrixXd inverse(m, m);
  for (auto _ : state) {
    lu.compute(a);
    inverse = lu.inverse();
    benchmark::DoNotOptimize(inverse.data());
  }
}

// A solve that is one refresh and nothing else of note: the residual is O(m) and reports the root
// at its second call, so the solve evaluates the Jacobian (a copy of the dense matrix),
// factorises it, forms the inverse, takes one step (an O(m^2) product) and converges.
void BM_library_refresh(benchmark::State& state) {
  const Eigen::Index m = state.range(0);
  const Eigen::MatrixXd a = testMatrix(m);
  auto calls = std::make_shared<int>(0);
  BroydenParameters parameters;
  Broyden solver(
      m,
      m,
      parameters,
      [calls](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
        if (++*calls > 1) {
          f.setZero();
        } else {
          f = x.array() + 1.0;
        }
      },
      [&a](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::MatrixXd& j) { j = a; });
  std::ostringstream sink;
  std::streambuf* saved = std::cout.rdbuf(sink.rdbuf());
  Eigen::VectorXd x(m);
  for (auto _ : state) {
    *calls = 0;
    x.setZero();
    solver.reset();
    if (!solver.solve(x).converged) {
      state.SkipWithError("the refresh solve did not converge");
      break;
    }
    sink.str("");
  }
  std::cout.rdbuf(saved);
}

ONDREL_FLOOR(BM_stream);
ONDREL_FLOOR(BM_lapack_lu_inverse);
ONDREL_FLOOR(BM_eigen_lu_inverse);
ONDREL_FLOOR(BM_library_refresh);

}  // namespace

int main(int argc, char** argv) { return Ondrel::Benchmarks::runFloors(argc, argv); }
