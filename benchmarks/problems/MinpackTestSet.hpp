// The 14 square systems of the MINPACK-1 test collection (Moré, Garbow and Hillstrom), each with
// its analytic Jacobian and standard starting point, shared by the benchmarks and their tests.
//
// A TestProblem is a plain value: a family, a dimension and the standard start x0. Residual and
// Jacobian are pure functions of x (x.size() is the dimension); they write every entry of their
// output, which the caller sizes. Entry (i, j) of the Jacobian is dF_i / dx_j.
//
// Starting points follow the collection's own rule: factor * x0, except that a zero x0 becomes
// the constant vector `factor` (otherwise 10 x0 and 100 x0 would repeat x0).
#pragma once

#include <Eigen/Core>
#include <Eigen/SparseCore>
#include <string>
#include <vector>

namespace Ondrel::Benchmarks {

enum class ProblemFamily {
  Rosenbrock,
  PowellSingular,
  PowellBadlyScaled,
  Wood,
  HelicalValley,
  Watson,
  Chebyquad,
  BrownAlmostLinear,
  DiscreteBoundaryValue,
  DiscreteIntegralEquation,
  Trigonometric,
  VariablyDimensioned,
  BroydenTridiagonal,
  BroydenBanded,
};

class TestProblem {
 public:
  // Throws std::invalid_argument when the family has no member of dimension m (the fixed-size
  // families accept only their own size; Watson 2 ... 31, the others m >= 1).
  TestProblem(ProblemFamily family, Eigen::Index m);

  ProblemFamily family() const { return problemFamily; }
  Eigen::Index size() const { return dimension; }
  // "Watson 6", "Broyden tridiagonal 1000": the family's name and the dimension.
  std::string name() const;
  // The standard starting point scaled by `factor` as described above.
  Eigen::VectorXd start(double factor = 1.0) const;

  void residual(const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::Ref<Eigen::VectorXd> f) const;
  void jacobian(const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::Ref<Eigen::MatrixXd> j) const;

  // The banded families (Broyden tridiagonal, discrete boundary value, Broyden banded) also give
  // their Jacobian as a sparse matrix: the band's pattern, built when `j` does not hold it
  // already, then its values in place, so a caller that keeps the matrix keeps its pattern.
  bool hasSparseJacobian() const;
  // Throws std::logic_error for a family without one.
  void sparseJacobian(const Eigen::Ref<const Eigen::VectorXd>& x,
                      Eigen::SparseMatrix<double>& j) const;

 private:
  ProblemFamily problemFamily;
  Eigen::Index dimension;
};

std::string familyName(ProblemFamily family);

// The 22 problem/dimension pairs of the collection's driver, in its order.
std::vector<TestProblem> standardTestSet();

// The three standard starting factors: x0, 10 x0, 100 x0.
inline constexpr double kStartFactors[] = {1.0, 10.0, 100.0};

}  // namespace Ondrel::Benchmarks
