#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <Eigen/Geometry>
#include <cmath>
#include <limits>
#include <memory>
#include <ondrel/broyden/Broyden>
#include <sstream>
#include <stdexcept>

#include "support/CountedCallables.hpp"
#include "support/MisbehavingCallables.hpp"
#include "support/StdoutSilencer.hpp"

namespace {

using Ondrel::Math::State;
using Ondrel::Math::Solvers::Broyden;
using Ondrel::Math::Solvers::BroydenParameters;
using Ondrel::Math::Solvers::checkJacobian;
using Ondrel::Math::Solvers::forwardDifferenceJacobian;
using Ondrel::Math::Solvers::JacobianCheckReport;
using Ondrel::Math::Solvers::JacobianFunction;
using Ondrel::Math::Solvers::ResidualFunction;
using Ondrel::Testing::Callable;
using Ondrel::Testing::countCalls;
using Ondrel::Testing::CountedCallables;
using Ondrel::Testing::HostFailure;
using Ondrel::Testing::misbehavingResidual;
using Ondrel::Testing::Misbehaviour;
using Ondrel::Testing::MisbehaviourSchedule;
using Ondrel::Testing::StdoutSilencer;
using View = Eigen::Ref<const Eigen::VectorXd>;

// A forward difference is good to about sqrt(eps) relative on these smooth, well-scaled
// functions; a wrong column or a wrong convention is off by order one.
constexpr double kForwardTolerance = 1e-6;
// The check's central differences are good to about eps^(2/3); a correct Jacobian stays far below
// this, a deliberately wrong entry far above.
constexpr double kCheckTolerance = 1e-6;
constexpr double kWrongEntryAtLeast = 0.1;

double relativeError(const Eigen::MatrixXd& actual, const Eigen::MatrixXd& expected) {
  return (actual - expected).norm() / expected.norm();
}

// F(x) = (x0^2 x1 + sin x2, exp(x0) - x1 x2, x0 x1 x2 + 1000 x2).
struct PlainSystem {
  static ResidualFunction residual() {
    return [](const View& x, Eigen::VectorXd& f) {
      f(0) = x(0) * x(0) * x(1) + std::sin(x(2));
      f(1) = std::exp(x(0)) - x(1) * x(2);
      f(2) = x(0) * x(1) * x(2) + 1000.0 * x(2);
    };
  }
  static Eigen::MatrixXd jacobianAt(const View& x) {
    Eigen::MatrixXd j(3, 3);
    j << 2.0 * x(0) * x(1), x(0) * x(0), std::cos(x(2)),  //
        std::exp(x(0)), -x(2), -x(1),                     //
        x(1) * x(2), x(0) * x(2), x(0) * x(1) + 1000.0;
    return j;
  }
  static JacobianFunction jacobian() {
    return [](const View& x, Eigen::MatrixXd& j) { j = jacobianAt(x); };
  }
};

Eigen::Matrix3d cross(const Eigen::Vector3d& v) {
  Eigen::Matrix3d m;
  m << 0.0, -v(2), v(1), v(2), 0.0, -v(0), -v(1), v(0), 0.0;
  return m;
}

// A State of a quaternion (4 values, 3 increments) and 3 plain entries p, in either order, with
// F = (R v + p - c, R^T w + p∘p). Under a left increment R' = exp(dθ) R:
// d(R v) = -[R v]x dθ and d(R^T w) = R^T [w]x dθ.
struct RotationSystem {
  long long quaternionAt;  // 0: quaternion first; 3: plain entries first
  Eigen::Vector3d v{0.3, -1.2, 2.0};
  Eigen::Vector3d w{1.5, 0.4, -0.7};
  Eigen::Vector3d c{0.1, 0.2, 0.3};

  long long plainAt() const { return quaternionAt == 0 ? 4 : 0; }
  long long rotationIncrementAt() const { return quaternionAt == 0 ? 0 : 3; }
  long long plainIncrementAt() const { return quaternionAt == 0 ? 3 : 0; }

  Eigen::Matrix3d rotation(const View& x) const {
    const Eigen::Vector4d q = x.segment<4>(quaternionAt);
    return Eigen::Quaterniond(q(0), q(1), q(2), q(3)).normalized().toRotationMatrix();
  }

  State state() const {
    State s(7);
    s.addQuaternion(quaternionAt);
    const Eigen::Quaterniond q =
        Eigen::Quaterniond(Eigen::AngleAxisd(0.8, Eigen::Vector3d(1.0, 2.0, -0.5).normalized()));
    s.values.segment<4>(quaternionAt) << q.w(), q.x(), q.y(), q.z();
    s.values.segment<3>(plainAt()) << 0.7, -1.1, 2.5;
    return s;
  }

  ResidualFunction residual() const {
    return [self = *this](const View& x, Eigen::VectorXd& f) {
      const Eigen::Matrix3d r = self.rotation(x);
      const Eigen::Vector3d p = x.segment<3>(self.plainAt());
      f.head<3>() = r * self.v + p - self.c;
      f.tail<3>() = r.transpose() * self.w + p.cwiseProduct(p);
    };
  }

  Eigen::MatrixXd jacobianAt(const View& x, bool rightIncrement = false) const {
    const Eigen::Matrix3d r = rotation(x);
    const Eigen::Vector3d p = x.segment<3>(plainAt());
    Eigen::MatrixXd j = Eigen::MatrixXd::Zero(6, 6);
    const long long dTheta = rotationIncrementAt();
    const long long dP = plainIncrementAt();
    // The right-increment Jacobian is a plausible host mistake: R' = R exp(dθ).
    j.block<3, 3>(0, dTheta) = rightIncrement ? Eigen::Matrix3d(-r * cross(v)) : -cross(r * v);
    j.block<3, 3>(3, dTheta) = rightIncrement ? Eigen::Matrix3d(cross(r.transpose() * w))
                                              : Eigen::Matrix3d(r.transpose() * cross(w));
    j.block<3, 3>(0, dP) = Eigen::Matrix3d::Identity();
    j.block<3, 3>(3, dP) = (2.0 * p).asDiagonal();
    return j;
  }
  JacobianFunction jacobian(bool rightIncrement = false) const {
    return [self = *this, rightIncrement](const View& x, Eigen::MatrixXd& j) {
      j = self.jacobianAt(x, rightIncrement);
    };
  }
};

TEST(ForwardDifferenceJacobian, PlainVectorMatchesAnalyticWithOneEvaluationPerColumn) {
  const CountedCallables counted = countCalls(PlainSystem::residual());
  const JacobianFunction difference = forwardDifferenceJacobian(counted.residual, 3);
  Eigen::VectorXd x(3);
  x << 0.5, -1.5, 2.0;
  Eigen::MatrixXd j(3, 3);
  difference(x, j);
  EXPECT_LT(relativeError(j, PlainSystem::jacobianAt(x)), kForwardTolerance);
  EXPECT_EQ(counted.counts->residual, 4u);  // the point and one step per column
}

TEST(ForwardDifferenceJacobian, StepScalesWithTheVariable) {
  // At 1e8 a step of sqrt(eps) would vanish in rounding; at 1e-3 a step relative to the value
  // would be lost against the constant term.
  const ResidualFunction residual = [](const View& x, Eigen::VectorXd& f) {
    f(0) = x(0) * x(0);
    f(1) = 1e6 + 3.0 * x(1);
  };
  Eigen::VectorXd x(2);
  x << 1e8, -1e-3;
  Eigen::MatrixXd j;
  forwardDifferenceJacobian(residual, 2)(x, j);
  EXPECT_NEAR(j(0, 0) / 2e8, 1.0, kForwardTolerance);
  // The constant's rounding (about 1e-10) on a change of about 4.5e-8.
  EXPECT_NEAR(j(1, 1) / 3.0, 1.0, 1e-2);
  EXPECT_EQ(j(0, 1), 0.0);
  EXPECT_EQ(j(1, 0), 0.0);

  // The difference is divided by the step actually taken: x + h is rounded at 1e8, and the
  // nominal h would leave the derivative of x off by that rounding (3e-9 here).
  const ResidualFunction identity = [](const View& v, Eigen::VectorXd& f) { f = v; };
  Eigen::MatrixXd one;
  forwardDifferenceJacobian(identity, 1)(Eigen::VectorXd::Constant(1, 1e8 + 0.3), one);
  EXPECT_EQ(one(0, 0), 1.0);
}

TEST(ForwardDifferenceJacobian, StateDifferentiatesInLeftIncrementCoordinates) {
  for (long long quaternionAt : {0LL, 3LL}) {
    SCOPED_TRACE(quaternionAt);
    const RotationSystem system{quaternionAt};
    const State point = system.state();
    ASSERT_EQ(point.incrementSize(), 6);
    Eigen::MatrixXd j;
    forwardDifferenceJacobian(system.residual(), point)(point.values, j);
    EXPECT_LT(relativeError(j, system.jacobianAt(point.values)), kForwardTolerance);
    EXPECT_GT(relativeError(j, system.jacobianAt(point.values, true)), kWrongEntryAtLeast);
  }
}

TEST(ForwardDifferenceJacobian, DrivesAStateSolveToTheRoot) {
  // The root: R v + p = c and R^T w + p∘p = R0^T w + p0∘p0 for a chosen R0, p0.
  RotationSystem system{0};
  State root = system.state();
  Eigen::VectorXd f(6);
  system.c.setZero();
  system.residual()(root.values, f);
  system.c = f.head<3>();
  const Eigen::Vector3d target = f.tail<3>();
  ResidualFunction residual = [inner = system.residual(), target](const View& x,
                                                                  Eigen::VectorXd& out) {
    inner(x, out);
    out.tail<3>() -= target;
  };

  State guess = root;
  guess.values.segment<3>(4) += Eigen::Vector3d(0.05, -0.04, 0.03);
  Eigen::Quaterniond turn(Eigen::AngleAxisd(0.1, Eigen::Vector3d::UnitZ()));
  Eigen::Quaterniond q(root.values(0), root.values(1), root.values(2), root.values(3));
  q = turn * q;
  guess.values.head<4>() << q.w(), q.x(), q.y(), q.z();

  BroydenParameters parameters;
  parameters.absoluteTolerance = 1e-12;
  Broyden solver(7, 6, parameters, residual, forwardDifferenceJacobian(residual, guess));
  const StdoutSilencer silence;
  ASSERT_TRUE(solver.solve(guess).converged);
  residual(guess.values, f);
  EXPECT_LT(f.norm(), 1e-11);
  EXPECT_NEAR(guess.values.head<4>().norm(), 1.0, 1e-12);
}

TEST(JacobianCheck, CorrectJacobiansPassAtVectorsAndStates) {
  PlainSystem plain;
  Eigen::VectorXd x(3);
  x << 0.5, -1.5, 2.0;
  const JacobianCheckReport plainReport = checkJacobian(plain.residual(), plain.jacobian(), x);
  EXPECT_LT(plainReport.largestRelativeDifference, kCheckTolerance) << plainReport;

  for (long long quaternionAt : {0LL, 3LL}) {
    const RotationSystem system{quaternionAt};
    const JacobianCheckReport report =
        checkJacobian(system.residual(), system.jacobian(), system.state());
    EXPECT_LT(report.largestRelativeDifference, kCheckTolerance) << report;
  }
}

TEST(JacobianCheck, ReportsAWrongEntryWhereItIs) {
  PlainSystem plain;
  Eigen::VectorXd x(3);
  x << 0.5, -1.5, 2.0;
  const Eigen::MatrixXd exact = PlainSystem::jacobianAt(x);

  // A wrong value, a structural zero written as 1, and a NaN: each found at its entry.
  struct Fault {
    long long row, column;
    double value;
  };
  for (const Fault& fault : {Fault{1, 2, exact(1, 2) * 1.3},
                             Fault{2, 0, exact(2, 0) + 1.0},
                             Fault{0, 1, std::numeric_limits<double>::quiet_NaN()}}) {
    SCOPED_TRACE(fault.row * 3 + fault.column);
    Eigen::MatrixXd wrong = exact;
    wrong(fault.row, fault.column) = fault.value;
    const JacobianCheckReport report = checkJacobian(
        plain.residual(), [&](const View&, Eigen::MatrixXd& j) { j = wrong; }, x);
    EXPECT_GT(report.largestRelativeDifference, kWrongEntryAtLeast);
    EXPECT_EQ(report.row, fault.row);
    EXPECT_EQ(report.column, fault.column);
    EXPECT_NEAR(report.finiteDifference, exact(fault.row, fault.column), 1e-6);
  }

  // The classic convention slip: a Jacobian written for increments on the right.
  const RotationSystem system{3};
  const JacobianCheckReport report =
      checkJacobian(system.residual(), system.jacobian(true), system.state());
  EXPECT_GT(report.largestRelativeDifference, kWrongEntryAtLeast) << report;
  EXPECT_GE(report.column, system.rotationIncrementAt());
  EXPECT_LT(report.column, system.rotationIncrementAt() + 3);
}

TEST(JacobianHelpersMisuse, ClearErrorsAndCallerMatrixUntouched) {
  PlainSystem plain;
  const ResidualFunction empty;
  EXPECT_THROW(forwardDifferenceJacobian(empty, 3), std::invalid_argument);
  EXPECT_THROW(forwardDifferenceJacobian(plain.residual(), -1), std::invalid_argument);
  EXPECT_THROW(forwardDifferenceJacobian(empty, RotationSystem{0}.state()), std::invalid_argument);

  Eigen::MatrixXd j = Eigen::MatrixXd::Constant(3, 3, 7.0);
  const Eigen::MatrixXd before = j;
  EXPECT_THROW(forwardDifferenceJacobian(plain.residual(), 3)(Eigen::VectorXd::Zero(2), j),
               std::invalid_argument);
  EXPECT_THROW(forwardDifferenceJacobian(plain.residual(), RotationSystem{0}.state())(
                   Eigen::VectorXd::Zero(6), j),
               std::invalid_argument);

  // A registry edited by hand past the end of the values is refused, not read out of range.
  State overhanging(5);
  overhanging.indexer.rotations[Ondrel::Math::Quaternion][3] = 0;
  overhanging.indexer.needsIndexing = true;
  EXPECT_THROW(forwardDifferenceJacobian(plain.residual(), overhanging)(overhanging.values, j),
               std::invalid_argument);
  EXPECT_THROW(checkJacobian(plain.residual(), plain.jacobian(), overhanging),
               std::invalid_argument);
  EXPECT_EQ(j, before);

  // A residual that throws half-way through the columns.
  const auto schedule = std::make_shared<MisbehaviourSchedule>();
  schedule->arm({{Callable::Residual, 3, Misbehaviour::kThrow}});
  const ResidualFunction failing =
      misbehavingResidual([](const View& x) { return Eigen::VectorXd(x); }, schedule);
  EXPECT_THROW(forwardDifferenceJacobian(failing, 3)(Eigen::VectorXd::Ones(3), j), HostFailure);
  EXPECT_EQ(j, before);

  const ResidualFunction shortResidual = [](const View&, Eigen::VectorXd& f) {
    f = Eigen::VectorXd::Zero(2);
  };
  EXPECT_THROW(forwardDifferenceJacobian(shortResidual, 3)(Eigen::VectorXd::Ones(3), j),
               std::invalid_argument);
  EXPECT_THROW(checkJacobian(
                   plain.residual(),
                   [](const View&, Eigen::MatrixXd& out) { out = Eigen::MatrixXd::Zero(3, 2); },
                   Eigen::VectorXd::Ones(3)),
               std::invalid_argument);
  EXPECT_THROW(checkJacobian(plain.residual(), JacobianFunction(), Eigen::VectorXd::Ones(3)),
               std::invalid_argument);

  // An empty system has nothing to compare.
  const JacobianCheckReport report = checkJacobian([](const View&, Eigen::VectorXd&) {},
                                                   [](const View&, Eigen::MatrixXd&) {},
                                                   Eigen::VectorXd(0));
  EXPECT_EQ(report.row, -1);
  EXPECT_EQ(report.largestRelativeDifference, 0.0);
  std::ostringstream text;
  text << report;
  EXPECT_EQ(text.str(), "empty Jacobian");
}

}  // namespace
