// -Δu + 200 u³ = f on the unit cube, zero boundary values, the 7-point stencil on n³ interior
// points, f manufactured from u* = 64 p x(1-x) y(1-y) z(1-z), p at the centre: a strongly
// nonlinear 3-D model whose full steps from zero overshoot (p = 3) or run away (p = 5).
// FailingWell and SparseBenchmarks solve it.
#pragma once

#include <Eigen/SparseCore>
#include <ondrel/broyden/BroydenFunctions.hpp>
#include <vector>

namespace Ondrel::Benchmarks {

// The residual scaled by h², h = 1 / (n + 1). The callables point into the object.
struct CubicReaction {
  long long n;
  Eigen::VectorXd source;

  CubicReaction(long long gridSize, double peak)
      : n(gridSize), source(gridSize * gridSize * gridSize) {
    const double h = 1.0 / static_cast<double>(n + 1);
    for (long long k = 0; k < n; ++k) {
      for (long long j = 0; j < n; ++j) {
        for (long long i = 0; i < n; ++i) {
          const double x = (i + 1) * h, y = (j + 1) * h, z = (k + 1) * h;
          const double bx = x * (1 - x), by = y * (1 - y), bz = z * (1 - z);
          const double u = 64.0 * peak * bx * by * bz;
          const double laplacian = -128.0 * peak * (by * bz + bx * bz + bx * by);
          source(i + n * (j + n * k)) = h * h * (-laplacian + 200.0 * u * u * u);
        }
      }
    }
  }

  long long index(long long i, long long j, long long k) const { return i + n * (j + n * k); }

  Math::Solvers::ResidualFunction residual() const {
    return [this](const Eigen::Ref<const Eigen::VectorXd>& u, Eigen::VectorXd& f) {
      const double h2 = 1.0 / static_cast<double>((n + 1) * (n + 1));
      for (long long k = 0; k < n; ++k) {
        for (long long j = 0; j < n; ++j) {
          for (long long i = 0; i < n; ++i) {
            const long long c = index(i, j, k);
            double sum = 6.0 * u(c);
            if (i > 0) sum -= u(c - 1);
            if (i + 1 < n) sum -= u(c + 1);
            if (j > 0) sum -= u(c - n);
            if (j + 1 < n) sum -= u(c + n);
            if (k > 0) sum -= u(c - n * n);
            if (k + 1 < n) sum -= u(c + n * n);
            f(c) = sum + h2 * 200.0 * u(c) * u(c) * u(c) - source(c);
          }
        }
      }
    };
  }

  Math::Solvers::SparseJacobianFunction jacobian() const {
    return [this](const Eigen::Ref<const Eigen::VectorXd>& u, Eigen::SparseMatrix<double>& j) {
      const double h2 = 1.0 / static_cast<double>((n + 1) * (n + 1));
      const long long m = n * n * n;
      std::vector<Eigen::Triplet<double>> entries;
      entries.reserve(static_cast<std::size_t>(7 * m));
      for (long long k = 0; k < n; ++k) {
        for (long long jj = 0; jj < n; ++jj) {
          for (long long i = 0; i < n; ++i) {
            const long long c = index(i, jj, k);
            entries.emplace_back(c, c, 6.0 + h2 * 600.0 * u(c) * u(c));
            if (i > 0) entries.emplace_back(c, c - 1, -1.0);
            if (i + 1 < n) entries.emplace_back(c, c + 1, -1.0);
            if (jj > 0) entries.emplace_back(c, c - n, -1.0);
            if (jj + 1 < n) entries.emplace_back(c, c + n, -1.0);
            if (k > 0) entries.emplace_back(c, c - n * n, -1.0);
            if (k + 1 < n) entries.emplace_back(c, c + n * n, -1.0);
          }
        }
      }
      j.resize(m, m);
      j.setFromTriplets(entries.begin(), entries.end());
    };
  }
};

}  // namespace Ondrel::Benchmarks
