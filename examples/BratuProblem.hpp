// The one-dimensional Liouville-Bratu-Gelfand problem -u'' = lambda exp(u) on (0, 1) with
// u(0) = u(1) = 0, discretised by central differences on n interior points x_i = (i + 1) h,
// h = 1 / (n + 1):
//   F_i(u) = (2 u_i - u_{i-1} - u_{i+1}) / h^2 - lambda exp(u_i),   u_{-1} = u_n = 0.
// The continuous problem has solutions for lambda below lambda_c = 3.5138...; the lower branch,
// which continuation from lambda = 0 follows, is known in closed form (see centreValue).
#pragma once

#include <Eigen/Core>
#include <cmath>
#include <memory>
#include <ondrel/broyden/Broyden>

namespace Gallery {

struct Bratu {
  long long unknowns;
  // Shared with the callables, which read it at every evaluation: continuation changes it
  // between solves without rebuilding the solver.
  std::shared_ptr<double> lambda = std::make_shared<double>(0.0);

  double spacing() const { return 1.0 / static_cast<double>(unknowns + 1); }

  Ondrel::Math::Solvers::ResidualFunction residual() const {
    return [n = unknowns, h = spacing(), lambda = lambda](
               const Eigen::Ref<const Eigen::VectorXd>& u, Eigen::VectorXd& f) {
      const double inverseSquare = 1.0 / (h * h);
      for (long long i = 0; i < n; ++i) {
        const double left = i > 0 ? u(i - 1) : 0.0;
        const double right = i + 1 < n ? u(i + 1) : 0.0;
        f(i) = (2.0 * u(i) - left - right) * inverseSquare - *lambda * std::exp(u(i));
      }
    };
  }

  // Tridiagonal, written into the solver's dense matrix.
  Ondrel::Math::Solvers::JacobianFunction jacobian() const {
    return [n = unknowns, h = spacing(), lambda = lambda](
               const Eigen::Ref<const Eigen::VectorXd>& u, Eigen::MatrixXd& j) {
      const double inverseSquare = 1.0 / (h * h);
      j.setZero();
      for (long long i = 0; i < n; ++i) {
        j(i, i) = 2.0 * inverseSquare - *lambda * std::exp(u(i));
        if (i > 0) j(i, i - 1) = -inverseSquare;
        if (i + 1 < n) j(i, i + 1) = -inverseSquare;
      }
    };
  }

  // u(1/2) from the discrete solution. With n even the centre lies halfway between two points;
  // cubic interpolation keeps its error at O(h^4), below that of the discretisation.
  static double centreOf(const Eigen::VectorXd& u) {
    const long long n = u.size();
    if (n % 2 == 1) return u(n / 2);
    const auto at = [&](long long i) { return i < 0 || i >= n ? 0.0 : u(i); };
    const long long right = n / 2;
    return (-at(right - 2) + 9.0 * at(right - 1) + 9.0 * at(right) - at(right + 1)) / 16.0;
  }

  // u(1/2) of the continuous lower-branch solution
  //   u(x) = -2 ln( cosh((x - 1/2) theta / 2) / cosh(theta / 4) ),
  // theta being the smaller root of theta = sqrt(2 lambda) cosh(theta / 4). That root is found by
  // Newton's method from 0: g(theta) = theta - sqrt(2 lambda) cosh(theta / 4) is concave and
  // negative at 0, so the iterates rise monotonically to the smaller root. Returns NaN above
  // lambda_c, where there is none.
  static double centreValue(double lambda) {
    const double a = std::sqrt(2.0 * lambda);
    double theta = 0.0;
    for (int k = 0; k < 200; ++k) {
      const double g = theta - a * std::cosh(theta / 4.0);
      const double slope = 1.0 - a * std::sinh(theta / 4.0) / 4.0;
      if (!(slope > 0.0)) return std::nan("");
      const double next = theta - g / slope;
      if (std::abs(next - theta) <= 1e-15 * next) return 2.0 * std::log(std::cosh(next / 4.0));
      theta = next;
    }
    return std::nan("");
  }
};

}  // namespace Gallery
