// How a Jacobian refresh could reach the LAPACK floor with the OpenBLAS backend: keep the
// PartialPivLU factorisation (dgetrf through Eigen's LAPACKE binding), then form the inverse
// with dgetri from the factors, instead of Eigen's inverse(), which solves L U X = P I with two
// full triangular solves (about 2 m^3 flops against dgetri's 4/3 m^3).
//
// Built with Eigen's BLAS/LAPACKE bindings, so it is its own program: no other translation unit
// may instantiate PartialPivLU differently in the same executable. Besides Google Benchmark's
// flags: --floors=FILE and --build=NAME as in HardwareFloors.
#define EIGEN_USE_BLAS
#define EIGEN_USE_LAPACKE
#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <vector>

#include "FloorReporting.hpp"

namespace {

Eigen::MatrixXd testMatrix(Eigen::Index m) {
  return Eigen::MatrixXd::Random(m, m) + static_cast<double>(m) * Eigen::MatrixXd::Identity(m, m);
}

// LAPACK's row interchanges (1-based, applied in order) that produce the permutation P of the
// factorisation P A = L U: row i of P A is row rowOf[i] of A.
void interchangesOf(const Eigen::PartialPivLU<Eigen::MatrixXd>::PermutationType& p,
                    std::vector<lapack_int>& pivots,
                    std::vector<Eigen::Index>& rowAt,
                    std::vector<Eigen::Index>& positionOf) {
  const Eigen::Index m = p.size();
  std::vector<Eigen::Index> rowOf(static_cast<std::size_t>(m));
  // P maps row r of A to row indices()(r) of P A.
  for (Eigen::Index r = 0; r < m; ++r) rowOf[static_cast<std::size_t>(p.indices()(r))] = r;
  for (Eigen::Index i = 0; i < m; ++i) {
    rowAt[static_cast<std::size_t>(i)] = i;
    positionOf[static_cast<std::size_t>(i)] = i;
  }
  for (Eigen::Index i = 0; i < m; ++i) {
    const Eigen::Index wanted = rowOf[static_cast<std::size_t>(i)];
    const Eigen::Index j = positionOf[static_cast<std::size_t>(wanted)];
    pivots[static_cast<std::size_t>(i)] = static_cast<lapack_int>(j + 1);
    const Eigen::Index displaced = rowAt[static_cast<std::size_t>(i)];
    std::swap(rowAt[static_cast<std::size_t>(i)], rowAt[static_cast<std::size_t>(j)]);
    positionOf[static_cast<std::size_t>(displaced)] = j;
    positionOf[static_cast<std::size_t>(wanted)] = i;
  }
}

void BM_lu_eigen_inverse(benchmark::State& state) {
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

void BM_lu_getri_inverse(benchmark::State& state) {
  const Eigen::Index m = state.range(0);
  const Eigen::MatrixXd a = testMatrix(m);
  Eigen::PartialPivLU<Eigen::MatrixXd> lu(m);
  Eigen::MatrixXd inverse(m, m);
  std::vector<lapack_int> pivots(static_cast<std::size_t>(m));
  std::vector<Eigen::Index> rowAt(static_cast<std::size_t>(m));
  std::vector<Eigen::Index> positionOf(static_cast<std::size_t>(m));
  double error = 0.0;
  for (auto _ : state) {
    lu.compute(a);
    inverse = lu.matrixLU();
    interchangesOf(lu.permutationP(), pivots, rowAt, positionOf);
    const lapack_int n = static_cast<lapack_int>(m);
    if (LAPACKE_dgetri(LAPACK_COL_MAJOR, n, inverse.data(), n, pivots.data()) != 0) {
      state.SkipWithError("dgetri reported a singular factor");
      break;
    }
    benchmark::DoNotOptimize(inverse.data());
  }
  // The shortcut must give the same inverse: checked once, outside the timing.
  error = (inverse * a - Eigen::MatrixXd::Identity(m, m)).norm() / static_cast<double>(m);
  state.counters["inverse_error"] = error;
  if (!(error < 1e-10)) state.SkipWithError("the inverse from dgetri is wrong");
}

ONDREL_FLOOR(BM_lu_eigen_inverse);
ONDREL_FLOOR(BM_lu_getri_inverse);

}  // namespace

int main(int argc, char** argv) { return Ondrel::Benchmarks::runFloors(argc, argv); }
