// Test problems whose callables can be told to fail at a chosen call.
#pragma once

#include <Eigen/Dense>
#include <Eigen/Geometry>
#include <atomic>
#include <limits>
#include <memory>
#include <ondrel/broyden/Broyden>
#include <ondrel/state/State.hpp>
#include <stdexcept>
#include <string>

namespace Ondrel::Reliability {

using Math::State;
using Math::Solvers::Broyden;
using Math::Solvers::BroydenInformation;
using Math::Solvers::BroydenParameters;
using Math::Solvers::JacobianFunction;
using Math::Solvers::ResidualFunction;

// What a callable thrown at by the plan throws: nothing the library could raise itself.
struct HostFailure {
  int call;
};

// Shared by the two callables of one problem. Once armed, the `strikeAt`-th call of the chosen
// callable (1-based, counted from arming) misbehaves.
struct FaultPlan {
  enum class Callable { Residual, Jacobian };
  enum class Fault {
    // Scribbles over its output (NaN, and a wrong size for the Jacobian), then throws.
    Throw,
    // Returns normally with an output of the wrong size.
    WrongSize,
  };

  bool armed = false;
  Callable target = Callable::Residual;
  Fault fault = Fault::Throw;
  int strikeAt = 0;
  int callsSinceArmed = 0;
  // Every call of either callable, armed or not. Atomic: copies of one solver share their
  // callables' plan, and the thread tests run such copies at once.
  std::atomic<int> calls{0};

  void arm(Callable callable, Fault kind, int call) {
    armed = true;
    target = callable;
    fault = kind;
    strikeAt = call;
    callsSinceArmed = 0;
  }
  void disarm() { armed = false; }

  // Counts the call and tells whether it is the one to misbehave.
  bool strikes(Callable callable) {
    ++calls;
    if (!armed || callable != target) return false;
    return ++callsSinceArmed == strikeAt;
  }
};

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

inline void misbehave(FaultPlan& plan, Eigen::VectorXd& out) {
  if (plan.fault == FaultPlan::Fault::Throw) {
    out.setConstant(kNaN);
    throw HostFailure{plan.strikeAt};
  }
  out.resize(out.size() + 1);
  out.setConstant(1.0);
}

inline void misbehave(FaultPlan& plan, Eigen::MatrixXd& out) {
  if (plan.fault == FaultPlan::Fault::Throw) {
    out.setConstant(kNaN);
    out.resize(1, 2);
    throw HostFailure{plan.strikeAt};
  }
  out.setIdentity(out.rows() + 1, out.cols());
}

// A problem's callables, except at the call the plan picks, where they misbehave instead.
template <class Evaluate>
ResidualFunction faultyResidual(std::shared_ptr<FaultPlan> plan, Evaluate evaluate) {
  return [plan, evaluate](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
    if (plan->strikes(FaultPlan::Callable::Residual)) return misbehave(*plan, f);
    f = evaluate(x);
  };
}
template <class Derivative>
JacobianFunction faultyJacobian(std::shared_ptr<FaultPlan> plan, Derivative derivative) {
  return [plan, derivative](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::MatrixXd& j) {
    if (plan->strikes(FaultPlan::Callable::Jacobian)) return misbehave(*plan, j);
    j = derivative(x);
  };
}

// Three equations, mildly nonlinear, root (1, 1, 1): F(x) = A x + 0.1 (x1^2, x2^2, x0^2) - c.
struct VectorProblem {
  std::shared_ptr<FaultPlan> plan = std::make_shared<FaultPlan>();

  static Eigen::Matrix3d matrix() {
    Eigen::Matrix3d a;
    a << 4.0, 1.0, 0.5, 1.0, 3.0, -1.0, 0.5, -1.0, 5.0;
    return a;
  }
  static Eigen::Vector3d evaluate(const Eigen::Ref<const Eigen::VectorXd>& x) {
    const Eigen::Vector3d squares(x(1) * x(1), x(2) * x(2), x(0) * x(0));
    return matrix() * x + 0.1 * squares - matrix() * Eigen::Vector3d::Ones() -
           Eigen::Vector3d::Constant(0.1);
  }
  static Eigen::Matrix3d derivative(const Eigen::Ref<const Eigen::VectorXd>& x) {
    Eigen::Matrix3d j = matrix();
    j(0, 1) += 0.2 * x(1);
    j(1, 2) += 0.2 * x(2);
    j(2, 0) += 0.2 * x(0);
    return j;
  }

  ResidualFunction residual() const { return faultyResidual(plan, &evaluate); }
  JacobianFunction jacobian() const { return faultyJacobian(plan, &derivative); }

  static Eigen::VectorXd guess() { return Eigen::Vector3d(1.6, 0.5, 1.3); }
  static Eigen::VectorXd otherGuess() { return Eigen::Vector3d(0.7, 1.2, 0.9); }
  Broyden solver(const BroydenParameters& parameters) const {
    return Broyden(3, 3, parameters, residual(), jacobian());
  }
};

// A State of 10 values and 9 increment entries: a quaternion at 0, a rotation vector at 4 and
// three plain entries at 7, each driven towards a target:
//   F[0..2] = 2 vec(Q conj(T)) + 0.05 (p - 1)   (about the increment itself near the root)
//   F[3..5] = r - r* + 0.05 p
//   F[6..8] = the vector problem's equations on p.
struct StateProblem {
  std::shared_ptr<FaultPlan> plan = std::make_shared<FaultPlan>();

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
    f.tail<3>() = VectorProblem::evaluate(p);
    return f;
  }
  static Eigen::MatrixXd derivative(const Eigen::Ref<const Eigen::VectorXd>& v) {
    Eigen::MatrixXd j = Eigen::MatrixXd::Zero(9, 9);
    j.block<3, 3>(0, 0).setIdentity();
    j.block<3, 3>(0, 6) = 0.05 * Eigen::Matrix3d::Identity();
    j.block<3, 3>(3, 3).setIdentity();
    j.block<3, 3>(3, 6) = 0.05 * Eigen::Matrix3d::Identity();
    j.block<3, 3>(6, 6) = VectorProblem::derivative(v.segment<3>(7));
    return j;
  }

  ResidualFunction residual() const { return faultyResidual(plan, &evaluate); }
  JacobianFunction jacobian() const { return faultyJacobian(plan, &derivative); }

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
    return stateAt(turn * targetTurn(), Eigen::Vector3d(0.3, 0.1, 0.2), VectorProblem::guess());
  }
  static State otherGuess() {
    const Eigen::Quaterniond turn(Eigen::AngleAxisd(-0.2, Eigen::Vector3d(1, 0, 0)));
    return stateAt(
        turn * targetTurn(), Eigen::Vector3d(0.0, -0.1, 0.4), VectorProblem::otherGuess());
  }
  Broyden solver(const BroydenParameters& parameters) const {
    return Broyden(10, 9, parameters, residual(), jacobian());
  }
};

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

// The same solve cut short, so it ends by the iteration limit.
inline BroydenParameters failingParameters() {
  BroydenParameters p = convergingParameters();
  p.maxIterations = 3;
  return p;
}

}  // namespace Ondrel::Reliability
