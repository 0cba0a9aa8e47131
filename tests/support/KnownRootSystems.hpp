// Small systems with known roots, for the unit and reliability tests, and the settings the tests
// solve them with.
//
// Each system is a set of static functions: evaluate(x) and derivative(x) (the exact Jacobian,
// in increment coordinates for a State), the callables residual() and jacobian() built from them,
// a guess, another guess, and the root. kValues and kEquations size a solver for it. The
// callables count nothing; wrap them with countCalls() to count.
#pragma once

#include <Eigen/Dense>
#include <Eigen/Geometry>
#include <cstdint>
#include <ondrel/broyden/Broyden>
#include <ondrel/state/State.hpp>

namespace Ondrel::Testing {

using Math::State;
using Math::Solvers::Broyden;
using Math::Solvers::BroydenParameters;
using Math::Solvers::JacobianFunction;
using Math::Solvers::ResidualFunction;

// Settings under which a solve runs on rank-one updates alone: no refresh is ever scheduled, and
// the tolerance is far below what the systems reach before their root.
inline BroydenParameters noRefreshParameters(std::int32_t updateMethod = 1) {
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

// A solve that converges after several updates and at least one scheduled refresh.
inline BroydenParameters convergingParameters() {
  BroydenParameters p;
  p.maxIterations = 40;
  p.absoluteTolerance = 1e-11;
  p.relativeTolerance = 1e-6;
  p.refreshReductionRatio = 1e300;
  p.goodReductionRatio = 2.0;
  p.refreshCountLimit = 2;
  p.updateMethod = 1;
  return p;
}

// The same solve cut short, so that it ends by the iteration limit.
inline BroydenParameters failingParameters() {
  BroydenParameters p = convergingParameters();
  p.maxIterations = 3;
  return p;
}

// The callables and a solver of a system given by its static evaluate and derivative.
template <class System>
struct CallablesOf {
  static ResidualFunction residual() {
    return [](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
      f = System::evaluate(x);
    };
  }
  static JacobianFunction jacobian() {
    return [](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::MatrixXd& j) {
      j = System::derivative(x);
    };
  }
  static Broyden solver(const BroydenParameters& parameters) {
    return Broyden(System::kValues, System::kEquations, parameters, residual(), jacobian());
  }
};

// F(x) = A x - b with its exact Jacobian A: one iteration reaches the root from anywhere.
struct LinearSystem : CallablesOf<LinearSystem> {
  static constexpr long long kValues = 3;
  static constexpr long long kEquations = 3;

  static Eigen::Matrix3d matrix() {
    Eigen::Matrix3d a;
    a << 4.0, 1.0, 0.5, 1.0, 3.0, -1.0, 0.5, -1.0, 5.0;
    return a;
  }
  static Eigen::Vector3d rightHandSide() { return Eigen::Vector3d(1.0, 2.0, 3.0); }
  static Eigen::Vector3d evaluate(const Eigen::Ref<const Eigen::VectorXd>& x) {
    return matrix() * x - rightHandSide();
  }
  static Eigen::Matrix3d derivative(const Eigen::Ref<const Eigen::VectorXd>&) { return matrix(); }
  static Eigen::VectorXd root() { return matrix().partialPivLu().solve(rightHandSide()); }
};

// Three equations, mildly nonlinear, with the root (1, 1, 1):
// F(x) = A x + 0.1 (x1^2, x2^2, x0^2) - A 1 - 0.1, A the linear system's matrix.
struct MildlyNonlinearSystem : CallablesOf<MildlyNonlinearSystem> {
  static constexpr long long kValues = 3;
  static constexpr long long kEquations = 3;

  static Eigen::Vector3d evaluate(const Eigen::Ref<const Eigen::VectorXd>& x) {
    const Eigen::Matrix3d a = LinearSystem::matrix();
    const Eigen::Vector3d squares(x(1) * x(1), x(2) * x(2), x(0) * x(0));
    return a * x + 0.1 * squares - a * Eigen::Vector3d::Ones() - Eigen::Vector3d::Constant(0.1);
  }
  static Eigen::Matrix3d derivative(const Eigen::Ref<const Eigen::VectorXd>& x) {
    Eigen::Matrix3d j = LinearSystem::matrix();
    j(0, 1) += 0.2 * x(1);
    j(1, 2) += 0.2 * x(2);
    j(2, 0) += 0.2 * x(0);
    return j;
  }
  static Eigen::VectorXd guess() { return Eigen::Vector3d(1.6, 0.5, 1.3); }
  static Eigen::VectorXd otherGuess() { return Eigen::Vector3d(0.7, 1.2, 0.9); }
  static Eigen::VectorXd root() { return Eigen::Vector3d::Ones(); }
};

// A State of 10 values and 9 increment entries: a quaternion at 0, a rotation vector at 4 and
// three plain entries p at 7, each driven towards a target:
//   F[0..2] = 2 vec(Q conj(T)) + 0.05 (p - 1)   (about the increment itself near the root)
//   F[3..5] = r - r* + 0.05 p
//   F[6..8] = the mildly nonlinear system's equations on p.
struct MixedStateSystem : CallablesOf<MixedStateSystem> {
  static constexpr long long kValues = 10;
  static constexpr long long kEquations = 9;

  static Eigen::Quaterniond targetTurn() {
    return Eigen::Quaterniond(Eigen::AngleAxisd(0.6, Eigen::Vector3d(1, 2, 2).normalized()));
  }
  static Eigen::Vector3d targetRotationVector() { return Eigen::Vector3d(0.1, -0.2, 0.3); }

  static Eigen::VectorXd evaluate(const Eigen::Ref<const Eigen::VectorXd>& v) {
    const Eigen::Quaterniond q(v(0), v(1), v(2), v(3));
    const Eigen::Vector3d r = v.segment<3>(4);
    const Eigen::Vector3d p = v.segment<3>(7);
    Eigen::VectorXd f(9);
    f.head<3>() = 2.0 * (q * targetTurn().conjugate()).vec() + 0.05 * (p - Eigen::Vector3d::Ones());
    f.segment<3>(3) = r - targetRotationVector() + 0.05 * p;
    f.tail<3>() = MildlyNonlinearSystem::evaluate(p);
    return f;
  }
  static Eigen::MatrixXd derivative(const Eigen::Ref<const Eigen::VectorXd>& v) {
    Eigen::MatrixXd j = Eigen::MatrixXd::Zero(9, 9);
    j.block<3, 3>(0, 0).setIdentity();
    j.block<3, 3>(0, 6) = 0.05 * Eigen::Matrix3d::Identity();
    j.block<3, 3>(3, 3).setIdentity();
    j.block<3, 3>(3, 6) = 0.05 * Eigen::Matrix3d::Identity();
    j.block<3, 3>(6, 6) = MildlyNonlinearSystem::derivative(v.segment<3>(7));
    return j;
  }

  static State stateAt(const Eigen::Quaterniond& q,
                       const Eigen::Vector3d& r,
                       const Eigen::Vector3d& p) {
    State state(10);
    state.values << q.w(), q.x(), q.y(), q.z(), r, p;
    state.addQuaternion(0);
    state.addRotationVector(4);
    state.nameEntries("body", 0, 0);
    state.nameEntries("offsets", 7, 6);
    return state;
  }
  static State guess() {
    const Eigen::Quaterniond turn(Eigen::AngleAxisd(0.3, Eigen::Vector3d(0, 1, 0)));
    return stateAt(
        turn * targetTurn(), Eigen::Vector3d(0.3, 0.1, 0.2), MildlyNonlinearSystem::guess());
  }
  static State otherGuess() {
    const Eigen::Quaterniond turn(Eigen::AngleAxisd(-0.2, Eigen::Vector3d(1, 0, 0)));
    return stateAt(
        turn * targetTurn(), Eigen::Vector3d(0.0, -0.1, 0.4), MildlyNonlinearSystem::otherGuess());
  }
  static State root() {
    return stateAt(targetTurn(),
                   targetRotationVector() - Eigen::Vector3d::Constant(0.05),
                   Eigen::Vector3d::Ones());
  }
};

// Orientation and position of a body: a quaternion at values 0..3 (increment 0..2) and two
// plain entries at values 4..5 (increment 3..4). The residual is twice the vector part of the
// error quaternion E = q * conj(q*), and p - p* plus a small quadratic term.
struct PoseSystem {
  static constexpr long long kValues = 6;
  static constexpr long long kEquations = 5;

  Eigen::Quaterniond target{Eigen::AngleAxisd(0.8, Eigen::Vector3d(1.0, 2.0, -0.5).normalized())};
  Eigen::Vector2d position{0.3, -1.2};

  static Eigen::Quaterniond quaternionOf(const Eigen::Ref<const Eigen::VectorXd>& v) {
    return Eigen::Quaterniond(v(0), v(1), v(2), v(3));  // stored scalar first
  }

  ResidualFunction residual() const {
    return
        [t = target, p = position](const Eigen::Ref<const Eigen::VectorXd>& v, Eigen::VectorXd& f) {
          const Eigen::Quaterniond error = quaternionOf(v) * t.conjugate();
          const Eigen::Vector2d d = v.segment<2>(4) - p;
          f.head<3>() = 2.0 * error.vec();
          f.tail<2>() = d + 0.05 * d.cwiseProduct(d);
        };
  }
  // The derivative of 2 vec E along the quaternion's increment, which turns it on the left:
  // d(2 vec E)/d(theta) = w_E I - [vec E]x.
  static Eigen::Matrix3d orientationDerivative(const Eigen::Quaterniond& error) {
    const Eigen::Vector3d e = error.vec();
    Eigen::Matrix3d cross;
    cross << 0.0, -e.z(), e.y(), e.z(), 0.0, -e.x(), -e.y(), e.x(), 0.0;
    return error.w() * Eigen::Matrix3d::Identity() - cross;
  }
  // Column j is the derivative along increment entry j.
  JacobianFunction jacobian() const {
    return
        [t = target, p = position](const Eigen::Ref<const Eigen::VectorXd>& v, Eigen::MatrixXd& j) {
          j.setZero();
          j.topLeftCorner<3, 3>() = orientationDerivative(quaternionOf(v) * t.conjugate());
          const Eigen::Vector2d d = v.segment<2>(4) - p;
          j.bottomRightCorner<2, 2>() = (Eigen::Vector2d::Ones() + 0.1 * d).asDiagonal();
        };
  }

  State start() const {
    State state(6);
    const Eigen::Quaterniond q(Eigen::AngleAxisd(0.3, Eigen::Vector3d::UnitZ()));
    state.values << q.w(), q.x(), q.y(), q.z(), 1.0, -0.5;
    state.addQuaternion(0);
    state.nameEntries("body", 0, 0);
    return state;
  }
  State root() const {
    State state = start();
    state.values << target.w(), target.x(), target.y(), target.z(), position;
    return state;
  }
};

}  // namespace Ondrel::Testing
