// The two-dimensional Bratu problem -Δu = lambda exp(u) on the unit square, u = 0 on its
// boundary, discretised by the five-point stencil on an N x N grid of interior points
// (x_i, y_j) = ((i + 1) h, (j + 1) h), h = 1 / (N + 1), unknown k = i + N j, m = N^2:
//   F_k(u) = 4 u_ij - u_(i-1)j - u_(i+1)j - u_i(j-1) - u_i(j+1) - h^2 lambda exp(u_ij),
// with the boundary values 0. The equations are scaled by h^2, so that rounding leaves ||F|| near
// 1e-13 even with a million unknowns, far below the solver's default tolerance. The Jacobian is
// the five-point Laplacian minus h^2 lambda diag(exp(u)): five nonzeros per column, the same
// pattern at every evaluation. Solutions exist for lambda below lambda_c = 6.808...; from u = 0
// Newton-like iterations reach the lower branch.
#pragma once

#include <Eigen/Core>
#include <Eigen/SparseCore>
#include <cmath>
#include <memory>
#include <ondrel/broyden/Broyden>
#include <vector>

namespace Gallery {

struct Bratu2d {
  long long gridSize;  // N: interior points per side
  double lambda;

  long long unknowns() const { return gridSize * gridSize; }
  double spacing() const { return 1.0 / static_cast<double>(gridSize + 1); }

  // The residual once, over the scalar type, for automaticSparseJacobian as well as for the
  // solvers: the same arithmetic on double and on the library's DualScalar.
  struct Residual {
    long long n;
    double scale;  // h^2 lambda

    template <typename T>
    void operator()(const Eigen::Ref<const Eigen::Matrix<T, Eigen::Dynamic, 1>>& u,
                    Eigen::Matrix<T, Eigen::Dynamic, 1>& f) const {
      using std::exp;
      const T zero(0.0);
      for (long long j = 0; j < n; ++j) {
        for (long long i = 0; i < n; ++i) {
          const long long k = i + n * j;
          const T& west = i > 0 ? u(k - 1) : zero;
          const T& east = i + 1 < n ? u(k + 1) : zero;
          const T& south = j > 0 ? u(k - n) : zero;
          const T& north = j + 1 < n ? u(k + n) : zero;
          f(k) = 4.0 * u(k) - west - east - south - north - scale * exp(u(k));
        }
      }
    }
  };

  Residual residualTemplate() const { return Residual{gridSize, spacing() * spacing() * lambda}; }

  Ondrel::Math::Solvers::ResidualFunction residual() const {
    return [r = residualTemplate()](const Eigen::Ref<const Eigen::VectorXd>& u,
                                    Eigen::VectorXd& f) { r(u, f); };
  }

  // Builds the pattern once, with the constant couplings; later calls rewrite only the diagonal,
  // so the solver sees the same pattern and keeps its symbolic analysis.
  Ondrel::Math::Solvers::SparseJacobianFunction jacobian() const {
    return [n = gridSize, scale = spacing() * spacing() * lambda](
               const Eigen::Ref<const Eigen::VectorXd>& u, Eigen::SparseMatrix<double>& j) {
      const long long m = n * n;
      if (j.nonZeros() != 5 * m - 4 * n) {
        std::vector<Eigen::Triplet<double>> entries;
        entries.reserve(static_cast<std::size_t>(5 * m));
        for (long long col = 0; col < n; ++col) {
          for (long long row = 0; row < n; ++row) {
            const long long k = row + n * col;
            entries.emplace_back(k, k, 4.0);
            if (row > 0) entries.emplace_back(k, k - 1, -1.0);
            if (row + 1 < n) entries.emplace_back(k, k + 1, -1.0);
            if (col > 0) entries.emplace_back(k, k - n, -1.0);
            if (col + 1 < n) entries.emplace_back(k, k + n, -1.0);
          }
        }
        j.resize(m, m);
        j.setFromTriplets(entries.begin(), entries.end());
      }
      for (long long k = 0; k < m; ++k) j.coeffRef(k, k) = 4.0 - scale * std::exp(u(k));
    };
  }

  // The five-point pattern, for the coloured and automatic Jacobians: the hand-written
  // Jacobian's first evaluation (its values do not matter, only which entries it stores).
  Eigen::SparseMatrix<double> pattern() const {
    Eigen::SparseMatrix<double> j;
    jacobian()(Eigen::VectorXd::Zero(unknowns()), j);
    return j;
  }

  // u at the centre of the square; with N even the centre lies between four grid points, and the
  // mean of those, an O(h^2) interpolation, matches the discretisation's own order.
  double centreOf(const Eigen::VectorXd& u) const {
    const long long n = gridSize;
    const auto at = [&](long long i, long long j) { return u(i + n * j); };
    if (n % 2 == 1) return at(n / 2, n / 2);
    const long long a = n / 2 - 1, b = n / 2;
    return 0.25 * (at(a, a) + at(a, b) + at(b, a) + at(b, b));
  }

  // The largest difference between u and its images under the eight symmetries of the square,
  // which the continuous solution has and the discrete one inherits up to rounding.
  double asymmetry(const Eigen::VectorXd& u) const {
    const long long n = gridSize;
    double largest = 0.0;
    for (long long j = 0; j < n; ++j) {
      for (long long i = 0; i < n; ++i) {
        const double value = u(i + n * j);
        const long long mirroredI = n - 1 - i, mirroredJ = n - 1 - j;
        for (double image : {u(mirroredI + n * j),
                             u(i + n * mirroredJ),
                             u(j + n * i),
                             u(mirroredJ + n * mirroredI)}) {
          largest = std::max(largest, std::abs(value - image));
        }
      }
    }
    return largest;
  }
};

}  // namespace Gallery
