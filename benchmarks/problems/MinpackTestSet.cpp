#include "MinpackTestSet.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace Ondrel::Benchmarks {

namespace {

using Eigen::Index;
using Eigen::MatrixXd;
using Eigen::VectorXd;
using ConstVector = Eigen::Ref<const VectorXd>;
using Vector = Eigen::Ref<VectorXd>;
using Matrix = Eigen::Ref<MatrixXd>;

constexpr double kTwoPi = 6.283185307179586476925286766559;

// Watson's system is the gradient of a sum of 31 squares; the first 29 are fitted at t = i/29.
constexpr int kWatsonPoints = 29;

// Broyden banded couples each equation to 5 neighbours below and 1 above.
constexpr Index kBandBelow = 5;
constexpr Index kBandAbove = 1;

// Grid of the two discretised boundary problems: t_i = i h, h = 1 / (m + 1), i = 1 ... m.
double gridStep(Index m) { return 1.0 / static_cast<double>(m + 1); }

Index fixedSize(ProblemFamily family) {
  switch (family) {
    case ProblemFamily::Rosenbrock:
    case ProblemFamily::PowellBadlyScaled:
      return 2;
    case ProblemFamily::HelicalValley:
      return 3;
    case ProblemFamily::PowellSingular:
    case ProblemFamily::Wood:
      return 4;
    default:
      return 0;
  }
}

// Watson: for each point t, sum1 = sum_j (j-1) t^(j-2) x_j, sum2 = sum_j t^(j-1) x_j, and the
// square r = sum1 - sum2^2 - 1 whose derivative in x_k is t^(k-2) ((k-1) - 2 t sum2).
struct WatsonPoint {
  double t;
  double sum2;
  double r;
};

WatsonPoint watsonPoint(const ConstVector& x, int i) {
  const double t = static_cast<double>(i) / kWatsonPoints;
  double sum1 = 0.0;
  double sum2 = 0.0;
  double power = 1.0;
  for (Index j = 0; j < x.size(); ++j) {
    if (j > 0) sum1 += static_cast<double>(j) * (power / t) * x(j);
    sum2 += power * x(j);
    power *= t;
  }
  return {t, sum2, sum1 - sum2 * sum2 - 1.0};
}

void watsonDerivatives(const WatsonPoint& p, Index m, VectorXd& d) {
  double power = 1.0 / p.t;
  for (Index k = 0; k < m; ++k) {
    d(k) = power * (static_cast<double>(k) - 2.0 * p.t * p.sum2);
    power *= p.t;
  }
}

double cube(double v) { return v * v * v; }

}  // namespace

TestProblem::TestProblem(ProblemFamily family, Eigen::Index m)
    : problemFamily(family), dimension(m) {
  const Index required = fixedSize(family);
  const bool valid = required != 0                     ? m == required
                     : family == ProblemFamily::Watson ? (m >= 2 && m <= 31)
                                                       : m >= 1;
  if (!valid) {
    throw std::invalid_argument("TestProblem: " + familyName(family) +
                                " has no member of dimension " + std::to_string(m));
  }
}

std::string familyName(ProblemFamily family) {
  switch (family) {
    case ProblemFamily::Rosenbrock:
      return "Rosenbrock";
    case ProblemFamily::PowellSingular:
      return "Powell singular";
    case ProblemFamily::PowellBadlyScaled:
      return "Powell badly scaled";
    case ProblemFamily::Wood:
      return "Wood";
    case ProblemFamily::HelicalValley:
      return "Helical valley";
    case ProblemFamily::Watson:
      return "Watson";
    case ProblemFamily::Chebyquad:
      return "Chebyquad";
    case ProblemFamily::BrownAlmostLinear:
      return "Brown almost-linear";
    case ProblemFamily::DiscreteBoundaryValue:
      return "Discrete boundary value";
    case ProblemFamily::DiscreteIntegralEquation:
      return "Discrete integral equation";
    case ProblemFamily::Trigonometric:
      return "Trigonometric";
    case ProblemFamily::VariablyDimensioned:
      return "Variably dimensioned";
    case ProblemFamily::BroydenTridiagonal:
      return "Broyden tridiagonal";
    case ProblemFamily::BroydenBanded:
      return "Broyden banded";
  }
  return "unknown";
}

std::string TestProblem::name() const {
  return familyName(problemFamily) + " " + std::to_string(dimension);
}

Eigen::VectorXd TestProblem::start(double factor) const {
  const Index m = dimension;
  VectorXd x(m);
  const double h = gridStep(m);
  switch (problemFamily) {
    case ProblemFamily::Rosenbrock:
      x << -1.2, 1.0;
      break;
    case ProblemFamily::PowellSingular:
      x << 3.0, -1.0, 0.0, 1.0;
      break;
    case ProblemFamily::PowellBadlyScaled:
      x << 0.0, 1.0;
      break;
    case ProblemFamily::Wood:
      x << -3.0, -1.0, -3.0, -1.0;
      break;
    case ProblemFamily::HelicalValley:
      x << -1.0, 0.0, 0.0;
      break;
    case ProblemFamily::Watson:
      x.setZero();
      break;
    case ProblemFamily::Chebyquad:
      for (Index j = 0; j < m; ++j) x(j) = static_cast<double>(j + 1) / static_cast<double>(m + 1);
      break;
    case ProblemFamily::BrownAlmostLinear:
      x.setConstant(0.5);
      break;
    case ProblemFamily::DiscreteBoundaryValue:
    case ProblemFamily::DiscreteIntegralEquation:
      for (Index j = 0; j < m; ++j) {
        const double t = static_cast<double>(j + 1) * h;
        x(j) = t * (t - 1.0);
      }
      break;
    case ProblemFamily::Trigonometric:
      x.setConstant(1.0 / static_cast<double>(m));
      break;
    case ProblemFamily::VariablyDimensioned:
      for (Index j = 0; j < m; ++j)
        x(j) = 1.0 - static_cast<double>(j + 1) / static_cast<double>(m);
      break;
    case ProblemFamily::BroydenTridiagonal:
    case ProblemFamily::BroydenBanded:
      x.setConstant(-1.0);
      break;
  }
  if (factor == 1.0) return x;
  if (x.isZero(0.0)) return VectorXd::Constant(m, factor);
  return factor * x;
}

void TestProblem::residual(const ConstVector& x, Vector f) const {
  const Index m = dimension;
  switch (problemFamily) {
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
      f(1) = std::exp(-x(0)) + std::exp(-x(1)) - 1.0001;
      break;
    case ProblemFamily::Wood: {
      const double a = x(1) - x(0) * x(0);
      const double b = x(3) - x(2) * x(2);
      f(0) = -200.0 * x(0) * a - (1.0 - x(0));
      f(1) = 200.0 * a + 20.2 * (x(1) - 1.0) + 19.8 * (x(3) - 1.0);
      f(2) = -180.0 * x(2) * b - (1.0 - x(2));
      f(3) = 180.0 * b + 20.2 * (x(3) - 1.0) + 19.8 * (x(1) - 1.0);
      break;
    }
    case ProblemFamily::HelicalValley: {
      // The angle is continued through x1 = 0 as the collection does: +-1/4 there.
      double theta = x(1) >= 0.0 ? 0.25 : -0.25;
      if (x(0) > 0.0) theta = std::atan(x(1) / x(0)) / kTwoPi;
      if (x(0) < 0.0) theta = std::atan(x(1) / x(0)) / kTwoPi + 0.5;
      f(0) = 10.0 * (x(2) - 10.0 * theta);
      f(1) = 10.0 * (std::hypot(x(0), x(1)) - 1.0);
      f(2) = x(2);
      break;
    }
    case ProblemFamily::Watson: {
      f.setZero();
      VectorXd d(m);
      for (int i = 1; i <= kWatsonPoints; ++i) {
        const WatsonPoint p = watsonPoint(x, i);
        watsonDerivatives(p, m, d);
        f += p.r * d;
      }
      const double r31 = x(1) - x(0) * x(0) - 1.0;
      f(0) += x(0) * (1.0 - 2.0 * r31);
      f(1) += r31;
      break;
    }
    case ProblemFamily::Chebyquad: {
      f.setZero();
      for (Index j = 0; j < m; ++j) {
        const double y = 2.0 * x(j) - 1.0;
        double previous = 1.0;
        double current = y;
        for (Index i = 0; i < m; ++i) {
          f(i) += current;
          const double next = 2.0 * y * current - previous;
          previous = current;
          current = next;
        }
      }
      for (Index i = 0; i < m; ++i) {
        f(i) /= static_cast<double>(m);
        const double order = static_cast<double>(i + 1);
        // The sample mean of T_i must match its mean over [-1, 1]: -1 / (i^2 - 1) for even i, 0
        // for odd i.
        if ((i + 1) % 2 == 0) f(i) += 1.0 / (order * order - 1.0);
      }
      break;
    }
    case ProblemFamily::BrownAlmostLinear: {
      const double sum = x.sum();
      for (Index k = 0; k + 1 < m; ++k) f(k) = x(k) + sum - static_cast<double>(m + 1);
      f(m - 1) = x.prod() - 1.0;
      break;
    }
    case ProblemFamily::DiscreteBoundaryValue: {
      const double h = gridStep(m);
      for (Index i = 0; i < m; ++i) {
        const double t = static_cast<double>(i + 1) * h;
        const double left = i > 0 ? x(i - 1) : 0.0;
        const double right = i + 1 < m ? x(i + 1) : 0.0;
        f(i) = 2.0 * x(i) - left - right + 0.5 * h * h * cube(x(i) + t + 1.0);
      }
      break;
    }
    case ProblemFamily::DiscreteIntegralEquation: {
      // Prefix sums make the residual O(m) although the Jacobian is dense.
      const double h = gridStep(m);
      double lower = 0.0;  // sum over j <= i of t_j c_j
      double upper = 0.0;  // sum over j > i of (1 - t_j) c_j
      for (Index j = 0; j < m; ++j) {
        const double t = static_cast<double>(j + 1) * h;
        upper += (1.0 - t) * cube(x(j) + t + 1.0);
      }
      for (Index i = 0; i < m; ++i) {
        const double t = static_cast<double>(i + 1) * h;
        const double c = cube(x(i) + t + 1.0);
        lower += t * c;
        upper -= (1.0 - t) * c;
        f(i) = x(i) + 0.5 * h * ((1.0 - t) * lower + t * upper);
      }
      break;
    }
    case ProblemFamily::Trigonometric: {
      const double cosines = x.array().cos().sum();
      for (Index i = 0; i < m; ++i) {
        f(i) = static_cast<double>(m) - cosines +
               static_cast<double>(i + 1) * (1.0 - std::cos(x(i))) - std::sin(x(i));
      }
      break;
    }
    case ProblemFamily::VariablyDimensioned: {
      double sum = 0.0;
      for (Index j = 0; j < m; ++j) sum += static_cast<double>(j + 1) * (x(j) - 1.0);
      const double scale = sum * (1.0 + 2.0 * sum * sum);
      for (Index k = 0; k < m; ++k) f(k) = x(k) - 1.0 + static_cast<double>(k + 1) * scale;
      break;
    }
    case ProblemFamily::BroydenTridiagonal:
      for (Index i = 0; i < m; ++i) {
        const double left = i > 0 ? x(i - 1) : 0.0;
        const double right = i + 1 < m ? x(i + 1) : 0.0;
        f(i) = (3.0 - 2.0 * x(i)) * x(i) - left - 2.0 * right + 1.0;
      }
      break;
    case ProblemFamily::BroydenBanded:
      for (Index k = 0; k < m; ++k) {
        double coupling = 0.0;
        for (Index j = std::max<Index>(0, k - kBandBelow); j <= std::min(m - 1, k + kBandAbove);
             ++j) {
          if (j != k) coupling += x(j) * (1.0 + x(j));
        }
        f(k) = x(k) * (2.0 + 5.0 * x(k) * x(k)) + 1.0 - coupling;
      }
      break;
  }
}

void TestProblem::jacobian(const ConstVector& x, Matrix j) const {
  const Index m = dimension;
  j.setZero();
  switch (problemFamily) {
    case ProblemFamily::Rosenbrock:
      j(0, 0) = -1.0;
      j(1, 0) = -20.0 * x(0);
      j(1, 1) = 10.0;
      break;
    case ProblemFamily::PowellSingular: {
      const double a = x(1) - 2.0 * x(2);
      const double b = x(0) - x(3);
      j(0, 0) = 1.0;
      j(0, 1) = 10.0;
      j(1, 2) = std::sqrt(5.0);
      j(1, 3) = -std::sqrt(5.0);
      j(2, 1) = 2.0 * a;
      j(2, 2) = -4.0 * a;
      j(3, 0) = 2.0 * std::sqrt(10.0) * b;
      j(3, 3) = -2.0 * std::sqrt(10.0) * b;
      break;
    }
    case ProblemFamily::PowellBadlyScaled:
      j(0, 0) = 1e4 * x(1);
      j(0, 1) = 1e4 * x(0);
      j(1, 0) = -std::exp(-x(0));
      j(1, 1) = -std::exp(-x(1));
      break;
    case ProblemFamily::Wood:
      j(0, 0) = -200.0 * x(1) + 600.0 * x(0) * x(0) + 1.0;
      j(0, 1) = -200.0 * x(0);
      j(1, 0) = -400.0 * x(0);
      j(1, 1) = 220.2;
      j(1, 3) = 19.8;
      j(2, 2) = -180.0 * x(3) + 540.0 * x(2) * x(2) + 1.0;
      j(2, 3) = -180.0 * x(2);
      j(3, 1) = 19.8;
      j(3, 2) = -360.0 * x(2);
      j(3, 3) = 200.2;
      break;
    case ProblemFamily::HelicalValley: {
      const double r2 = x(0) * x(0) + x(1) * x(1);
      const double r = std::sqrt(r2);
      j(0, 0) = 100.0 * x(1) / (kTwoPi * r2);
      j(0, 1) = -100.0 * x(0) / (kTwoPi * r2);
      j(0, 2) = 10.0;
      j(1, 0) = 10.0 * x(0) / r;
      j(1, 1) = 10.0 * x(1) / r;
      j(2, 2) = 1.0;
      break;
    }
    case ProblemFamily::Watson: {
      // Half the Hessian of the sum of squares: d d^T + r * (second derivative of r), the
      // latter being -2 t^(k-1) t^(l-1).
      VectorXd d(m);
      VectorXd powers(m);
      for (int i = 1; i <= kWatsonPoints; ++i) {
        const WatsonPoint p = watsonPoint(x, i);
        watsonDerivatives(p, m, d);
        double power = 1.0;
        for (Index k = 0; k < m; ++k) {
          powers(k) = power;
          power *= p.t;
        }
        j.noalias() += d * d.transpose();
        j.noalias() -= (2.0 * p.r) * powers * powers.transpose();
      }
      j(0, 0) += 3.0 - 2.0 * x(1) + 6.0 * x(0) * x(0);
      j(0, 1) -= 2.0 * x(0);
      j(1, 0) -= 2.0 * x(0);
      j(1, 1) += 1.0;
      break;
    }
    case ProblemFamily::Chebyquad:
      // dT_{i+1}/dy = 2 T_i + 2 y dT_i/dy - dT_{i-1}/dy, and dy/dx = 2.
      for (Index c = 0; c < m; ++c) {
        const double y = 2.0 * x(c) - 1.0;
        double previous = 1.0;
        double current = y;
        double previousSlope = 0.0;
        double slope = 1.0;
        for (Index i = 0; i < m; ++i) {
          j(i, c) = 2.0 * slope / static_cast<double>(m);
          const double next = 2.0 * y * current - previous;
          const double nextSlope = 2.0 * current + 2.0 * y * slope - previousSlope;
          previous = current;
          current = next;
          previousSlope = slope;
          slope = nextSlope;
        }
      }
      break;
    case ProblemFamily::BrownAlmostLinear:
      for (Index k = 0; k + 1 < m; ++k) {
        j.row(k).setOnes();
        j(k, k) = 2.0;
      }
      // Products of the other entries, formed directly so that a zero entry needs no division.
      for (Index c = 0; c < m; ++c) {
        double product = 1.0;
        for (Index k = 0; k < m; ++k) {
          if (k != c) product *= x(k);
        }
        j(m - 1, c) = product;
      }
      break;
    case ProblemFamily::DiscreteBoundaryValue: {
      const double h = gridStep(m);
      for (Index i = 0; i < m; ++i) {
        const double t = static_cast<double>(i + 1) * h;
        const double u = x(i) + t + 1.0;
        j(i, i) = 2.0 + 1.5 * h * h * u * u;
        if (i > 0) j(i, i - 1) = -1.0;
        if (i + 1 < m) j(i, i + 1) = -1.0;
      }
      break;
    }
    case ProblemFamily::DiscreteIntegralEquation: {
      const double h = gridStep(m);
      for (Index c = 0; c < m; ++c) {
        const double tc = static_cast<double>(c + 1) * h;
        const double u = x(c) + tc + 1.0;
        const double slope = 1.5 * h * u * u;
        for (Index i = 0; i < m; ++i) {
          const double ti = static_cast<double>(i + 1) * h;
          j(i, c) = c <= i ? slope * (1.0 - ti) * tc : slope * ti * (1.0 - tc);
        }
        j(c, c) += 1.0;
      }
      break;
    }
    case ProblemFamily::Trigonometric:
      for (Index c = 0; c < m; ++c) {
        j.col(c).setConstant(std::sin(x(c)));
        j(c, c) += static_cast<double>(c + 1) * std::sin(x(c)) - std::cos(x(c));
      }
      break;
    case ProblemFamily::VariablyDimensioned: {
      double sum = 0.0;
      for (Index k = 0; k < m; ++k) sum += static_cast<double>(k + 1) * (x(k) - 1.0);
      const double slope = 1.0 + 6.0 * sum * sum;
      for (Index c = 0; c < m; ++c) {
        for (Index r = 0; r < m; ++r) {
          j(r, c) = static_cast<double>((r + 1) * (c + 1)) * slope;
        }
        j(c, c) += 1.0;
      }
      break;
    }
    case ProblemFamily::BroydenTridiagonal:
      for (Index i = 0; i < m; ++i) {
        j(i, i) = 3.0 - 4.0 * x(i);
        if (i > 0) j(i, i - 1) = -1.0;
        if (i + 1 < m) j(i, i + 1) = -2.0;
      }
      break;
    case ProblemFamily::BroydenBanded:
      for (Index k = 0; k < m; ++k) {
        for (Index c = std::max<Index>(0, k - kBandBelow); c <= std::min(m - 1, k + kBandAbove);
             ++c) {
          j(k, c) = c == k ? 2.0 + 15.0 * x(k) * x(k) : -(1.0 + 2.0 * x(c));
        }
      }
      break;
  }
}

namespace {

// The band a sparse Jacobian covers: the entries (r, c) with r - c <= below and c - r <= above.
struct Band {
  Index below;
  Index above;
};

Band bandOf(ProblemFamily family) {
  switch (family) {
    case ProblemFamily::BroydenTridiagonal:
    case ProblemFamily::DiscreteBoundaryValue:
      return {1, 1};
    case ProblemFamily::BroydenBanded:
      return {kBandBelow, kBandAbove};
    default:
      throw std::logic_error("TestProblem: " + familyName(family) + " has no sparse Jacobian");
  }
}

}  // namespace

bool TestProblem::hasSparseJacobian() const {
  return problemFamily == ProblemFamily::BroydenTridiagonal ||
         problemFamily == ProblemFamily::DiscreteBoundaryValue ||
         problemFamily == ProblemFamily::BroydenBanded;
}

void TestProblem::sparseJacobian(const ConstVector& x, Eigen::SparseMatrix<double>& j) const {
  const Index m = dimension;
  const Band band = bandOf(problemFamily);
  Index bandEntries = 0;
  for (Index c = 0; c < m; ++c) {
    bandEntries += std::min(m - 1, c + band.below) - std::max<Index>(0, c - band.above) + 1;
  }
  if (j.rows() != m || j.cols() != m || j.nonZeros() != bandEntries || !j.isCompressed()) {
    j.resize(m, m);
    j.reserve(Eigen::VectorXi::Constant(m, static_cast<int>(band.below + band.above + 1)));
    for (Index c = 0; c < m; ++c) {
      for (Index r = std::max<Index>(0, c - band.above); r <= std::min(m - 1, c + band.below);
           ++r) {
        j.insert(r, c) = 0.0;
      }
    }
    j.makeCompressed();
  }
  const double h = gridStep(m);
  for (Index c = 0; c < m; ++c) {
    for (Eigen::SparseMatrix<double>::InnerIterator entry(j, c); entry; ++entry) {
      const Index r = entry.row();
      double value = 0.0;
      switch (problemFamily) {
        case ProblemFamily::BroydenTridiagonal:
          value = r == c ? 3.0 - 4.0 * x(r) : (r > c ? -1.0 : -2.0);
          break;
        case ProblemFamily::DiscreteBoundaryValue: {
          const double u = x(r) + static_cast<double>(r + 1) * h + 1.0;
          value = r == c ? 2.0 + 1.5 * h * h * u * u : -1.0;
          break;
        }
        default:  // Broyden banded
          value = r == c ? 2.0 + 15.0 * x(r) * x(r) : -(1.0 + 2.0 * x(c));
          break;
      }
      entry.valueRef() = value;
    }
  }
}

std::vector<TestProblem> standardTestSet() {
  using F = ProblemFamily;
  return {
      TestProblem(F::Rosenbrock, 2),
      TestProblem(F::PowellSingular, 4),
      TestProblem(F::PowellBadlyScaled, 2),
      TestProblem(F::Wood, 4),
      TestProblem(F::HelicalValley, 3),
      TestProblem(F::Watson, 6),
      TestProblem(F::Watson, 9),
      TestProblem(F::Chebyquad, 5),
      TestProblem(F::Chebyquad, 6),
      TestProblem(F::Chebyquad, 7),
      TestProblem(F::Chebyquad, 8),
      TestProblem(F::Chebyquad, 9),
      TestProblem(F::BrownAlmostLinear, 10),
      TestProblem(F::BrownAlmostLinear, 30),
      TestProblem(F::BrownAlmostLinear, 40),
      TestProblem(F::DiscreteBoundaryValue, 10),
      TestProblem(F::DiscreteIntegralEquation, 1),
      TestProblem(F::DiscreteIntegralEquation, 10),
      TestProblem(F::Trigonometric, 10),
      TestProblem(F::VariablyDimensioned, 10),
      TestProblem(F::BroydenTridiagonal, 10),
      TestProblem(F::BroydenBanded, 10),
  };
}

}  // namespace Ondrel::Benchmarks
