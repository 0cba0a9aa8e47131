// -Δu = 6 e^u on the unit cube, u = 0 on the boundary, the 7-point stencil on n³ interior points,
// scaled by h²: F_i = 6 u_i - (sum of the neighbours) - h² 6 e^(u_i), unknowns numbered i + n j +
// n² k. SparseBenchmarks and SnesBenchmarks solve it, from zero.
#pragma once

#include <Eigen/SparseCore>
#include <cmath>
#include <ondrel/broyden/BroydenFunctions.hpp>
#include <vector>

namespace Ondrel::Benchmarks {

struct Bratu3dProblem {
  long long n;

  long long unknowns() const { return n * n * n; }

  template <class Visit>
  void forEachNeighbour(long long k, Visit&& visit) const {
    const long long i = k % n, j = (k / n) % n, l = k / (n * n);
    if (i > 0) visit(k - 1);
    if (i + 1 < n) visit(k + 1);
    if (j > 0) visit(k - n);
    if (j + 1 < n) visit(k + n);
    if (l > 0) visit(k - n * n);
    if (l + 1 < n) visit(k + n * n);
  }

  double h2() const { return 1.0 / static_cast<double>((n + 1) * (n + 1)); }

  Math::Solvers::ResidualFunction residual() const {
    return [problem = *this](const Eigen::Ref<const Eigen::VectorXd>& u, Eigen::VectorXd& f) {
      const double h2 = problem.h2();
      for (long long k = 0; k < problem.unknowns(); ++k) {
        double sum = 0.0;
        problem.forEachNeighbour(k, [&](long long q) { sum += u(q); });
        f(k) = 6.0 * u(k) - sum - h2 * 6.0 * std::exp(u(k));
      }
    };
  }

  Math::Solvers::SparseJacobianFunction jacobian() const {
    return [problem = *this](const Eigen::Ref<const Eigen::VectorXd>& u,
                             Eigen::SparseMatrix<double>& j) {
      const double h2 = problem.h2();
      const long long m = problem.unknowns();
      std::vector<Eigen::Triplet<double>> entries;
      entries.reserve(static_cast<std::size_t>(7 * m));
      for (long long k = 0; k < m; ++k) {
        entries.emplace_back(k, k, 6.0 - h2 * 6.0 * std::exp(u(k)));
        problem.forEachNeighbour(k, [&](long long q) { entries.emplace_back(k, q, -1.0); });
      }
      j.setFromTriplets(entries.begin(), entries.end());
    };
  }
};

}  // namespace Ondrel::Benchmarks
