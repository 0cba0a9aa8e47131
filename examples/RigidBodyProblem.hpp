// A rigid body hung from fixed anchors by linear springs under gravity: find its static pose.
//
// Unknown: a State of 7 values, position p (3 plain entries, metres, the centre of mass in the
// world frame) followed by the orientation q (a quaternion w, x, y, z, body to world), with 6
// increment entries: dp, then a rotation vector dθ applied on the LEFT, q' = exp(dθ) q, so dθ is
// a small turn about the centre of mass in world axes.
//
// Residual: net force and net torque about the centre of mass (world frame), 6 equations. Spring
// k joins anchor a_k to the body point p + R b_k; with c_k = R b_k, d_k = a_k - p - c_k and
// l_k = |d_k| it pulls with F_k = s_k (l_k - L_k) d_k / l_k. These are the generalised forces of
// (dp, dθ), minus the gradient of the potential energy, so the Jacobian is minus its Hessian:
// symmetric at an equilibrium, and negative definite there when the equilibrium is stable.
#pragma once

#include <Eigen/Dense>
#include <Eigen/Geometry>
#include <memory>
#include <ondrel/broyden/Broyden>
#include <type_traits>
#include <vector>

namespace Gallery {

struct Spring {
  Eigen::Vector3d anchor;      // world frame, m
  Eigen::Vector3d attachment;  // body frame, m
  double stiffness;            // N/m
  double restLength;           // m
};

struct RigidBodyOnSprings {
  std::vector<Spring> springs;
  // Read by the callables at every evaluation, so load steps change it between solves.
  std::shared_ptr<double> mass = std::make_shared<double>(2.0);  // kg
  Eigen::Vector3d gravity{0.0, 0.0, -9.81};                      // m/s^2

  static constexpr long long kValues = 7;
  static constexpr long long kPosition = 0;
  static constexpr long long kOrientation = 3;

  // A 0.4 x 0.3 x 0.2 m box hung by four points of its top face, all on one side of its centre
  // of mass, from ceiling anchors placed off-centre with unequal springs: it hangs tilted.
  static RigidBodyOnSprings standard() {
    RigidBodyOnSprings body;
    body.springs = {
        {{0.50, 0.40, 1.0}, {0.20, 0.15, 0.1}, 80.0, 0.3},
        {{-0.40, 0.30, 1.0}, {-0.05, 0.15, 0.1}, 60.0, 0.3},
        {{-0.30, -0.50, 1.0}, {-0.05, -0.15, 0.1}, 100.0, 0.3},
        {{0.60, -0.20, 1.0}, {0.20, -0.15, 0.1}, 70.0, 0.3},
    };
    return body;
  }

  // Level and centred under the anchors: a guess anyone would start from.
  static Ondrel::Math::State initialGuess() {
    Ondrel::Math::State state(kValues);
    state.addQuaternion(kOrientation);
    state.values << 0.0, 0.0, 0.4, 1.0, 0.0, 0.0, 0.0;
    return state;
  }

  static Eigen::Vector3d position(const Eigen::Ref<const Eigen::VectorXd>& x) {
    return x.segment<3>(kPosition);
  }
  // Normalised, so that the residual is a function of the rotation alone. On double through
  // Eigen's quaternion, as the example always computed it (the benchmarks' fingerprints depend
  // on its rounding); on other scalars the same formula written out.
  template <typename T>
  static Eigen::Matrix<T, 3, 3> rotationOf(const Eigen::Ref<const Eigen::Matrix<T, -1, 1>>& x) {
    if constexpr (std::is_same<T, double>::value) {
      return Eigen::Quaterniond(x(3), x(4), x(5), x(6)).normalized().toRotationMatrix();
    } else {
      using std::sqrt;
      const T norm = sqrt(x(3) * x(3) + x(4) * x(4) + x(5) * x(5) + x(6) * x(6));
      const T w = x(3) / norm, a = x(4) / norm, b = x(5) / norm, c = x(6) / norm;
      Eigen::Matrix<T, 3, 3> r;
      r << 1.0 - 2.0 * (b * b + c * c), 2.0 * (a * b - c * w), 2.0 * (a * c + b * w),  //
          2.0 * (a * b + c * w), 1.0 - 2.0 * (a * a + c * c), 2.0 * (b * c - a * w),   //
          2.0 * (a * c - b * w), 2.0 * (b * c + a * w), 1.0 - 2.0 * (a * a + b * b);
      return r;
    }
  }
  static Eigen::Matrix3d rotation(const Eigen::Ref<const Eigen::VectorXd>& x) {
    return rotationOf<double>(x);
  }
  static Eigen::Matrix3d cross(const Eigen::Vector3d& v) {
    Eigen::Matrix3d m;
    m << 0.0, -v(2), v(1), v(2), 0.0, -v(0), -v(1), v(0), 0.0;
    return m;
  }

  // Force of spring k on the body, and the lever arm c_k it acts at.
  template <typename T>
  Eigen::Matrix<T, 3, 1> springForceOf(const Spring& spring,
                                       const Eigen::Matrix<T, 3, 1>& p,
                                       const Eigen::Matrix<T, 3, 3>& r,
                                       Eigen::Matrix<T, 3, 1>& leverArm) const {
    using std::sqrt;
    leverArm = r * spring.attachment.cast<T>();
    const Eigen::Matrix<T, 3, 1> d = spring.anchor.cast<T>() - p - leverArm;
    T length;
    if constexpr (std::is_same<T, double>::value) {
      length = d.norm();
    } else {
      length = sqrt(d.dot(d));
    }
    const T pull = spring.stiffness * (length - spring.restLength) / length;
    return pull * d;
  }
  Eigen::Vector3d springForce(const Spring& spring,
                              const Eigen::Vector3d& p,
                              const Eigen::Matrix3d& r,
                              Eigen::Vector3d& leverArm) const {
    return springForceOf<double>(spring, p, r, leverArm);
  }

  // Net force and torque, over the scalar type: the residual written once, for the hand-written
  // Jacobian's solves and for automaticJacobian alike.
  template <typename T>
  Eigen::Matrix<T, 6, 1> netLoadOf(const Eigen::Ref<const Eigen::Matrix<T, -1, 1>>& x) const {
    const Eigen::Matrix<T, 3, 1> p = x.template segment<3>(kPosition);
    const Eigen::Matrix<T, 3, 3> r = rotationOf<T>(x);
    Eigen::Matrix<T, 6, 1> load;
    const Eigen::Vector3d weight = *mass * gravity;
    for (int i = 0; i < 3; ++i) {
      load(i) = T(weight(i));
      load(3 + i) = T(0.0);
    }
    for (const Spring& spring : springs) {
      Eigen::Matrix<T, 3, 1> leverArm;
      const Eigen::Matrix<T, 3, 1> force = springForceOf<T>(spring, p, r, leverArm);
      load.template head<3>() += force;
      load.template tail<3>() += leverArm.cross(force);
    }
    return load;
  }
  Eigen::Matrix<double, 6, 1> netLoad(const Eigen::Ref<const Eigen::VectorXd>& x) const {
    return netLoadOf<double>(x);
  }

  Ondrel::Math::Solvers::ResidualFunction residual() const {
    return [self = *this](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
      f = self.netLoad(x);
    };
  }

  // With K_k = dF_k/dd_k = s_k ((1 - L_k/l_k) I + (L_k/l_k) u u^T), u = d_k / l_k, and
  // d(c_k) = dθ x c_k:
  //   dF/dp = -sum K_k              dF/dθ = sum K_k [c_k]x
  //   dτ/dp = -sum [c_k]x K_k       dτ/dθ = sum ([F_k]x [c_k]x + [c_k]x K_k [c_k]x)
  Ondrel::Math::Solvers::JacobianFunction jacobian() const {
    return [self = *this](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::MatrixXd& j) {
      const Eigen::Vector3d p = position(x);
      const Eigen::Matrix3d r = rotation(x);
      j.setZero(6, 6);
      for (const Spring& spring : self.springs) {
        Eigen::Vector3d leverArm;
        const Eigen::Vector3d force = self.springForce(spring, p, r, leverArm);
        const Eigen::Vector3d d = spring.anchor - p - leverArm;
        const double length = d.norm();
        const Eigen::Vector3d u = d / length;
        const double ratio = spring.restLength / length;
        const Eigen::Matrix3d k = spring.stiffness * ((1.0 - ratio) * Eigen::Matrix3d::Identity() +
                                                      ratio * u * u.transpose());
        const Eigen::Matrix3d c = cross(leverArm);
        j.block<3, 3>(0, 0) -= k;
        j.block<3, 3>(0, 3) += k * c;
        j.block<3, 3>(3, 0) -= c * k;
        j.block<3, 3>(3, 3) += cross(force) * c + c * k * c;
      }
    };
  }
};

// The body's residual template, for automaticJacobian: netLoadOf over the scalar type.
struct RigidBodyResidual {
  RigidBodyOnSprings body;
  template <typename T>
  void operator()(const Eigen::Ref<const Eigen::Matrix<T, -1, 1>>& x,
                  Eigen::Matrix<T, -1, 1>& f) const {
    f = body.template netLoadOf<T>(x);
  }
};

}  // namespace Gallery
