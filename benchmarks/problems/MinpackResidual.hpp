// The MINPACK-1 residuals of MinpackTestSet written once over the scalar type, for the library's
// automatic Jacobians: MinpackResidual{problem} is a residual template (AutomaticJacobian.hpp).
// On double it computes what TestProblem::residual computes, up to rounding (a hypot and a few
// sums are spelt out); the test set's own residual stays as it was, so that no benchmark figure
// or fingerprint moves.
#pragma once

#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <unsupported/Eigen/AutoDiff>

#include "MinpackTestSet.hpp"

namespace Ondrel::Benchmarks {

namespace minpackDetail {
inline double valueOf(double v) { return v; }
template <typename Derivatives>
double valueOf(const Eigen::AutoDiffScalar<Derivatives>& v) {
  return v.value();
}
template <typename T>
T cube(const T& v) {
  return v * v * v;
}
}  // namespace minpackDetail

struct MinpackResidual {
  TestProblem problem;

  template <typename T>
  void operator()(const Eigen::Ref<const Eigen::Matrix<T, Eigen::Dynamic, 1>>& x,
                  Eigen::Matrix<T, Eigen::Dynamic, 1>& f) const {
    using minpackDetail::cube;
    using std::atan2;
    using std::cos;
    using std::exp;
    using std::sin;
    using std::sqrt;
    using Index = Eigen::Index;
    const Index m = problem.size();
    const auto d = [](Index i) { return static_cast<double>(i); };
    switch (problem.family()) {
      case ProblemFamily::Rosenbrock:
        f(0) = 1.0 - x(0);
        f(1) = 10.0 * (x(1) - x(0) * x(0));
        break;
      case ProblemFamily::PowellSingular:
        f(0) = x(0) + 10.0 * x(1);
        f(1) = std::sqrt(5.0) * (x(2) - x(3));
        f(2) = (x(1) - 2.0 * x(2)) * (x(1) - 2.0 * x(2));
        f(3) = std::sqrt(10.0) * (x(0) - x(3)) * (x(0) - x(3));
        break;
      case ProblemFamily::PowellBadlyScaled:
        f(0) = 1e4 * x(0) * x(1) - 1.0;
        f(1) = exp(-x(0)) + exp(-x(1)) - 1.0001;
        break;
      case ProblemFamily::Wood: {
        const T a = x(1) - x(0) * x(0);
        const T b = x(3) - x(2) * x(2);
        f(0) = -200.0 * x(0) * a - (1.0 - x(0));
        f(1) = 200.0 * a + 20.2 * (x(1) - 1.0) + 19.8 * (x(3) - 1.0);
        f(2) = -180.0 * x(2) * b - (1.0 - x(2));
        f(3) = 180.0 * b + 20.2 * (x(3) - 1.0) + 19.8 * (x(1) - 1.0);
        break;
      }
      case ProblemFamily::HelicalValley: {
        constexpr double kTwoPi = 6.283185307179586476925286766559;
        const double x0 = minpackDetail::valueOf(x(0));
        T theta(minpackDetail::valueOf(x(1)) >= 0.0 ? 0.25 : -0.25);
        // Eigen's AutoDiff has no atan; atan(y) is atan2(y, 1).
        if (x0 > 0.0) theta = atan2(T(x(1) / x(0)), T(1.0)) / kTwoPi;
        if (x0 < 0.0) theta = atan2(T(x(1) / x(0)), T(1.0)) / kTwoPi + 0.5;
        f(0) = 10.0 * (x(2) - 10.0 * theta);
        f(1) = 10.0 * (sqrt(x(0) * x(0) + x(1) * x(1)) - 1.0);
        f(2) = x(2);
        break;
      }
      case ProblemFamily::Watson: {
        for (Index k = 0; k < m; ++k) f(k) = T(0.0);
        for (int i = 1; i <= 29; ++i) {
          const double t = d(i) / 29.0;
          T sum1(0.0);
          T sum2(0.0);
          double power = 1.0;
          for (Index j = 0; j < m; ++j) {
            if (j > 0) sum1 += d(j) * (power / t) * x(j);
            sum2 += power * x(j);
            power *= t;
          }
          const T r = sum1 - sum2 * sum2 - 1.0;
          power = 1.0 / t;
          for (Index k = 0; k < m; ++k) {
            f(k) += r * (power * (d(k) - 2.0 * t * sum2));
            power *= t;
          }
        }
        const T r31 = x(1) - x(0) * x(0) - 1.0;
        f(0) += x(0) * (1.0 - 2.0 * r31);
        f(1) += r31;
        break;
      }
      case ProblemFamily::Chebyquad: {
        for (Index i = 0; i < m; ++i) f(i) = T(0.0);
        for (Index j = 0; j < m; ++j) {
          const T y = 2.0 * x(j) - 1.0;
          T previous(1.0);
          T current = y;
          for (Index i = 0; i < m; ++i) {
            f(i) += current;
            const T next = 2.0 * y * current - previous;
            previous = current;
            current = next;
          }
        }
        for (Index i = 0; i < m; ++i) {
          f(i) /= d(m);
          const double order = d(i + 1);
          if ((i + 1) % 2 == 0) f(i) += 1.0 / (order * order - 1.0);
        }
        break;
      }
      case ProblemFamily::BrownAlmostLinear: {
        T sum(0.0);
        T product(1.0);
        for (Index j = 0; j < m; ++j) {
          sum += x(j);
          product *= x(j);
        }
        for (Index k = 0; k + 1 < m; ++k) f(k) = x(k) + sum - d(m + 1);
        f(m - 1) = product - 1.0;
        break;
      }
      case ProblemFamily::DiscreteBoundaryValue: {
        const double h = 1.0 / d(m + 1);
        for (Index i = 0; i < m; ++i) {
          const double t = d(i + 1) * h;
          f(i) = 2.0 * x(i) + 0.5 * h * h * cube(T(x(i) + t + 1.0));
          if (i > 0) f(i) -= x(i - 1);
          if (i + 1 < m) f(i) -= x(i + 1);
        }
        break;
      }
      case ProblemFamily::DiscreteIntegralEquation: {
        const double h = 1.0 / d(m + 1);
        T lower(0.0);
        T upper(0.0);
        for (Index j = 0; j < m; ++j) {
          const double t = d(j + 1) * h;
          upper += (1.0 - t) * cube(T(x(j) + t + 1.0));
        }
        for (Index i = 0; i < m; ++i) {
          const double t = d(i + 1) * h;
          const T c = cube(T(x(i) + t + 1.0));
          lower += t * c;
          upper -= (1.0 - t) * c;
          f(i) = x(i) + 0.5 * h * ((1.0 - t) * lower + t * upper);
        }
        break;
      }
      case ProblemFamily::Trigonometric: {
        T cosines(0.0);
        for (Index j = 0; j < m; ++j) cosines += cos(x(j));
        for (Index i = 0; i < m; ++i) {
          f(i) = d(m) - cosines + d(i + 1) * (1.0 - cos(x(i))) - sin(x(i));
        }
        break;
      }
      case ProblemFamily::VariablyDimensioned: {
        T sum(0.0);
        for (Index j = 0; j < m; ++j) sum += d(j + 1) * (x(j) - 1.0);
        const T scale = sum * (1.0 + 2.0 * sum * sum);
        for (Index k = 0; k < m; ++k) f(k) = x(k) - 1.0 + d(k + 1) * scale;
        break;
      }
      case ProblemFamily::BroydenTridiagonal:
        for (Index i = 0; i < m; ++i) {
          f(i) = (3.0 - 2.0 * x(i)) * x(i) + 1.0;
          if (i > 0) f(i) -= x(i - 1);
          if (i + 1 < m) f(i) -= 2.0 * x(i + 1);
        }
        break;
      case ProblemFamily::BroydenBanded:
        for (Index k = 0; k < m; ++k) {
          T coupling(0.0);
          for (Index j = std::max<Index>(0, k - 5); j <= std::min(m - 1, k + 1); ++j) {
            if (j != k) coupling += x(j) * (1.0 + x(j));
          }
          f(k) = x(k) * (2.0 + 5.0 * x(k) * x(k)) + 1.0 - coupling;
        }
        break;
    }
  }
};

}  // namespace Ondrel::Benchmarks
