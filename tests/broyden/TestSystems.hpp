// Small systems with known roots, and callables that count their calls.
#pragma once

#include <Eigen/Dense>
#include <cstddef>
#include <memory>
#include <ondrel/broyden/Broyden>

namespace Ondrel::Math::Solvers::Testing {

// Settings under which a solve runs its full course: no refresh ever scheduled, a tolerance far
// below what the test systems reach before their root.
inline BroydenParameters quietParameters(std::int32_t updateMethod = 1) {
  BroydenParameters p;
  p.maxIterations = 50;
  p.absoluteTolerance = 1e-10;
  p.relativeTolerance = 1e-6;
  p.refreshReductionRatio = 1e300;
  p.goodReductionRatio = 2.0;
  p.refreshCountLimit = 1000;
  p.updateMethod = updateMethod;
  return p;
}

struct CallCounts {
  std::size_t residual = 0;
  std::size_t jacobian = 0;
};

// F(x) = A x - b with its exact Jacobian A.
struct LinearSystem {
  Eigen::Matrix3d matrix;
  Eigen::Vector3d rightHandSide;
  std::shared_ptr<CallCounts> counts = std::make_shared<CallCounts>();

  LinearSystem() {
    matrix << 4.0, 1.0, 0.5, 1.0, 3.0, -1.0, 0.5, -1.0, 5.0;
    rightHandSide << 1.0, 2.0, 3.0;
  }
  Eigen::Vector3d root() const { return matrix.partialPivLu().solve(rightHandSide); }

  ResidualFunction residual() const {
    return [a = matrix, b = rightHandSide, c = counts](const Eigen::Ref<const Eigen::VectorXd>& x,
                                                       Eigen::VectorXd& f) {
      ++c->residual;
      f = a * x - b;
    };
  }
  JacobianFunction jacobian() const {
    return [a = matrix, c = counts](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::MatrixXd& j) {
      ++c->jacobian;
      j = a;
    };
  }
};

// A mildly nonlinear system with the root (1, 1, 1):
// F(x) = A x + 0.1 (x1^2, x2^2, x0^2) - A 1 - 0.1.
struct MildlyNonlinearSystem {
  LinearSystem linear;

  static Eigen::Vector3d square(const Eigen::Ref<const Eigen::VectorXd>& x) {
    return Eigen::Vector3d(x(1) * x(1), x(2) * x(2), x(0) * x(0));
  }
  static Eigen::Vector3d evaluate(const Eigen::Matrix3d& a,
                                  const Eigen::Ref<const Eigen::VectorXd>& x) {
    return a * x + 0.1 * square(x) - a * Eigen::Vector3d::Ones() - Eigen::Vector3d::Constant(0.1);
  }
  static Eigen::Matrix3d derivative(const Eigen::Matrix3d& a,
                                    const Eigen::Ref<const Eigen::VectorXd>& x) {
    Eigen::Matrix3d j = a;
    j(0, 1) += 0.2 * x(1);
    j(1, 2) += 0.2 * x(2);
    j(2, 0) += 0.2 * x(0);
    return j;
  }

  ResidualFunction residual() const {
    return [a = linear.matrix, c = linear.counts](const Eigen::Ref<const Eigen::VectorXd>& x,
                                                  Eigen::VectorXd& f) {
      ++c->residual;
      f = evaluate(a, x);
    };
  }
  JacobianFunction jacobian() const {
    return [a = linear.matrix, c = linear.counts](const Eigen::Ref<const Eigen::VectorXd>& x,
                                                  Eigen::MatrixXd& j) {
      ++c->jacobian;
      j = derivative(a, x);
    };
  }
};

}  // namespace Ondrel::Math::Solvers::Testing
