// Quadratic systems of any size whose coefficients the caller picks: the fuzz targets draw them
// from their input.
#pragma once

#include <Eigen/Core>
#include <Eigen/Geometry>
#include <ondrel/state/StateIndexer.hpp>
#include <vector>

namespace Ondrel::Testing {

// F(x) = A x + c .* x.^2 - b; derivative() is the exact Jacobian times jacobianScale (a scale
// other than 1 makes every step wrong by that factor).
struct QuadraticSystem {
  Eigen::MatrixXd a;
  Eigen::VectorXd c;
  Eigen::VectorXd b;
  double jacobianScale = 1.0;

  Eigen::VectorXd evaluate(const Eigen::Ref<const Eigen::VectorXd>& x) const {
    return a * x + c.cwiseProduct(x.cwiseAbs2()) - b;
  }
  Eigen::MatrixXd derivative(const Eigen::Ref<const Eigen::VectorXd>& x) const {
    Eigen::MatrixXd j = a;
    j.diagonal() += 2.0 * c.cwiseProduct(x);
    return j * jacobianScale;
  }
};

// F(v) = B v + c .* (B v).^2 - target, m equations on the n values of a State. Its Jacobian with
// respect to the increment is dF/dv times dv/d(increment) for the layout in `components`: a
// quaternion turns on the left, everything else adds. Increment entries no component takes get a
// zero column.
struct StateQuadraticSystem {
  Eigen::MatrixXd b;
  Eigen::VectorXd c;
  Eigen::VectorXd target;
  std::vector<Math::StateComponent> components;

  Eigen::VectorXd evaluate(const Eigen::Ref<const Eigen::VectorXd>& v) const {
    const Eigen::VectorXd bv = b * v;
    return bv + c.cwiseProduct(bv.cwiseAbs2()) - target;
  }
  Eigen::MatrixXd derivative(const Eigen::Ref<const Eigen::VectorXd>& v) const {
    const Eigen::VectorXd bv = b * v;
    const Eigen::MatrixXd dfdv =
        (Eigen::VectorXd::Ones(bv.size()) + 2.0 * c.cwiseProduct(bv)).asDiagonal() * b;
    Eigen::MatrixXd dvdx = Eigen::MatrixXd::Zero(v.size(), b.rows());
    for (const auto& component : components) {
      if (component.kind == Math::Quaternion) {
        const Eigen::Quaterniond q(v(component.start),
                                   v(component.start + 1),
                                   v(component.start + 2),
                                   v(component.start + 3));
        for (int k = 0; k < 3; ++k) {
          Eigen::Quaterniond axis(0, 0, 0, 0);
          axis.vec()(k) = 0.5;
          const Eigen::Quaterniond column = axis * q;
          dvdx.block(component.start, component.incrementStart + k, 4, 1) << column.w(), column.x(),
              column.y(), column.z();
        }
      } else {
        for (long long i = 0; i < component.size; ++i) {
          dvdx(component.start + i, component.incrementStart + i) = 1.0;
        }
      }
    }
    return dfdv * dvdx;
  }
};

}  // namespace Ondrel::Testing
