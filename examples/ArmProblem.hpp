// Inverse kinematics of a six-joint arm: the joint angles that put the tool flange at a target
// position and orientation.
//
// The arm is described by standard Denavit-Hartenberg parameters: joint i turns frame i-1 into
// frame i by Rz(theta_i) Tz(d_i) Tx(a_i) Rx(alpha_i), and joint i turns about the z axis of frame
// i-1. The parameters are those published for the Universal Robots UR5 (metres, radians).
//
// Unknowns: the 6 joint angles, a plain vector. Residual, 6 equations:
//   position error  p(theta) - p_target                      (metres)
//   orientation error  log(Q(theta) Q_target^-1)              (a rotation vector, radians)
// the second written through the geometry library's rotation classes: the difference of two
// Quaternions is the first times the inverse of the second, and adding it to the zero
// RotationVector takes its logarithm with the angle in [0, pi].
#pragma once

#include <Eigen/Dense>
#include <Eigen/Geometry>
#include <array>
#include <cmath>
#include <memory>
#include <ondrel/broyden/Broyden>
#include <ondrel/geometry/Quaternion.hpp>
#include <ondrel/geometry/RotationVector.hpp>

namespace Gallery {

struct DenavitHartenberg {
  double a;      // link length, m
  double alpha;  // link twist, rad
  double d;      // link offset, m
};

struct ArmPose {
  Eigen::Vector3d position;
  Eigen::Quaterniond orientation;
};

struct SixJointArm {
  std::array<DenavitHartenberg, 6> links;
  // Read by the callables at every evaluation, so the target can move between solves.
  std::shared_ptr<ArmPose> target =
      std::make_shared<ArmPose>(ArmPose{Eigen::Vector3d::Zero(), Eigen::Quaterniond::Identity()});

  static SixJointArm ur5() {
    constexpr double kHalfPi = EIGEN_PI / 2.0;
    return SixJointArm{{{
        {0.0, kHalfPi, 0.089159},
        {-0.425, 0.0, 0.0},
        {-0.39225, 0.0, 0.0},
        {0.0, kHalfPi, 0.10915},
        {0.0, -kHalfPi, 0.09465},
        {0.0, 0.0, 0.0823},
    }}};
  }

  // Every frame's origin and z axis in the base frame (entry i is frame i; frame 0 is the base),
  // and the flange's rotation.
  struct Frames {
    std::array<Eigen::Vector3d, 7> origins;
    std::array<Eigen::Vector3d, 7> axes;
    Eigen::Matrix3d rotation;
  };

  Frames frames(const Eigen::Ref<const Eigen::VectorXd>& theta) const {
    Frames result;
    Eigen::Isometry3d t = Eigen::Isometry3d::Identity();
    result.origins[0] = t.translation();
    result.axes[0] = t.linear().col(2);
    for (int i = 0; i < 6; ++i) {
      const DenavitHartenberg& link = links[static_cast<std::size_t>(i)];
      t = t * Eigen::AngleAxisd(theta(i), Eigen::Vector3d::UnitZ()) *
          Eigen::Translation3d(link.a, 0.0, link.d) *
          Eigen::AngleAxisd(link.alpha, Eigen::Vector3d::UnitX());
      result.origins[static_cast<std::size_t>(i) + 1] = t.translation();
      result.axes[static_cast<std::size_t>(i) + 1] = t.linear().col(2);
    }
    result.rotation = t.linear();
    return result;
  }

  ArmPose pose(const Eigen::Ref<const Eigen::VectorXd>& theta) const {
    const Frames f = frames(theta);
    return {f.origins[6], Eigen::Quaterniond(f.rotation)};
  }

  static Eigen::Vector3d orientationError(const Eigen::Quaterniond& current,
                                          const Eigen::Quaterniond& target) {
    using Ondrel::Geometry::Rotation::Quaternion;
    using Ondrel::Geometry::Rotation::RotationVector;
    const Quaternion turnToCurrent = Quaternion(current) - Quaternion(target);
    return (RotationVector() + turnToCurrent).unknowns();
  }

  Ondrel::Math::Solvers::ResidualFunction residual() const {
    return [self = *this](const Eigen::Ref<const Eigen::VectorXd>& theta, Eigen::VectorXd& f) {
      const ArmPose now = self.pose(theta);
      f.head<3>() = now.position - self.target->position;
      f.tail<3>() = orientationError(now.orientation, self.target->orientation);
    };
  }

  // Turning joint i by dθ moves the flange by z_{i-1} x (p - o_{i-1}) dθ and turns it by z_{i-1} dθ
  // on the left. A left turn δ changes log(exp(δ) exp(φ)) by J_l^-1(φ) δ, the inverse left
  // Jacobian of the rotation group:
  //   J_l^-1(φ) = I - [φ]x / 2 + (1/θ² - (1 + cos θ) / (2 θ sin θ)) [φ]x²,   θ = |φ|.
  Ondrel::Math::Solvers::JacobianFunction jacobian() const {
    return [self = *this](const Eigen::Ref<const Eigen::VectorXd>& theta, Eigen::MatrixXd& j) {
      const Frames f = self.frames(theta);
      const Eigen::Vector3d phi =
          orientationError(Eigen::Quaterniond(f.rotation), self.target->orientation);
      const double angle = phi.norm();
      // Below this angle the series 1/12 + θ²/720 is exact to double precision.
      const double coefficient =
          angle < 1e-4
              ? 1.0 / 12.0 + angle * angle / 720.0
              : 1.0 / (angle * angle) - (1.0 + std::cos(angle)) / (2.0 * angle * std::sin(angle));
      Eigen::Matrix3d cross;
      cross << 0.0, -phi(2), phi(1), phi(2), 0.0, -phi(0), -phi(1), phi(0), 0.0;
      const Eigen::Matrix3d inverseLeftJacobian =
          Eigen::Matrix3d::Identity() - 0.5 * cross + coefficient * cross * cross;
      j.resize(6, 6);
      for (int i = 0; i < 6; ++i) {
        const Eigen::Vector3d& axis = f.axes[static_cast<std::size_t>(i)];
        j.col(i).head<3>() = axis.cross(f.origins[6] - f.origins[static_cast<std::size_t>(i)]);
        j.col(i).tail<3>() = inverseLeftJacobian * axis;
      }
    };
  }
};

}  // namespace Gallery
