// The gallery's problems: their hand-written Jacobians against the library's Jacobian check, and
// their answers against what the physics or the closed form says.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <ondrel/broyden/Broyden>

#include "ArmProblem.hpp"
#include "BratuProblem.hpp"
#include "RigidBodyProblem.hpp"

namespace {

using Ondrel::Math::State;
using Ondrel::Math::Solvers::Broyden;
using Ondrel::Math::Solvers::BroydenParameters;
using Ondrel::Math::Solvers::checkJacobian;
using Ondrel::Math::Solvers::forwardDifferenceJacobian;
using Ondrel::Math::Solvers::JacobianCheckReport;

// A correct Jacobian reports rounding-level differences (1e-8 or less); a wrong term, a sign or
// a rotation convention slip, reports order one.
constexpr double kJacobianTolerance = 1e-6;

TEST(BratuExample, AnalyticJacobianMatchesFiniteDifferences) {
  const Gallery::Bratu bratu{50};
  *bratu.lambda = 2.5;
  Eigen::VectorXd u(50);
  for (long long i = 0; i < 50; ++i) u(i) = 0.4 * std::sin(EIGEN_PI * (i + 1) * bratu.spacing());
  const JacobianCheckReport report = checkJacobian(bratu.residual(), bratu.jacobian(), u);
  EXPECT_LT(report.largestRelativeDifference, kJacobianTolerance) << report;
}

TEST(BratuExample, WarmStartedContinuationMatchesTheClosedForm) {
  // Odd, so that x = 1/2 is a grid point; h^2 = 2.4e-5.
  const Gallery::Bratu bratu{201};
  const double hSquared = bratu.spacing() * bratu.spacing();
  BroydenParameters parameters;
  parameters.absoluteTolerance = 1e-8;
  parameters.relativeTolerance = 1e-9;
  Broyden solver(201, 201, parameters, bratu.residual(), bratu.jacobian());
  Eigen::VectorXd u = Eigen::VectorXd::Zero(201);
  unsigned long long jacobians = 0;
  for (int step = 1; step <= 10; ++step) {
    *bratu.lambda = 0.1 * step;
    const auto& info = solver.solve(u);
    ASSERT_TRUE(info.converged) << "lambda " << *bratu.lambda << ": " << info.message;
    jacobians += info.jacobianEvaluations;
    // Second-order differences: the discrete centre value is within a fraction of h^2.
    EXPECT_NEAR(
        Gallery::Bratu::centreOf(u), Gallery::Bratu::centreValue(*bratu.lambda), hSquared / 10)
        << "lambda " << *bratu.lambda;
  }
  // The held Jacobian carries the continuation: without it every solve would evaluate at least
  // once.
  EXPECT_LT(jacobians, 10u);
  // Past the fold there is no solution of the continuous problem.
  EXPECT_TRUE(std::isnan(Gallery::Bratu::centreValue(3.6)));
}

TEST(RigidBodyExample, AnalyticJacobianMatchesInLeftIncrementCoordinates) {
  const Gallery::RigidBodyOnSprings body = Gallery::RigidBodyOnSprings::standard();
  State pose = Gallery::RigidBodyOnSprings::initialGuess();
  const JacobianCheckReport level = checkJacobian(body.residual(), body.jacobian(), pose);
  EXPECT_LT(level.largestRelativeDifference, kJacobianTolerance) << level;

  // Tilted well away from any equilibrium, where the torque terms are large.
  const Eigen::Quaterniond tilt(
      Eigen::AngleAxisd(0.9, Eigen::Vector3d(1.0, -2.0, 0.5).normalized()));
  pose.values << 0.1, -0.2, 0.3, tilt.w(), tilt.x(), tilt.y(), tilt.z();
  const JacobianCheckReport tilted = checkJacobian(body.residual(), body.jacobian(), pose);
  EXPECT_LT(tilted.largestRelativeDifference, kJacobianTolerance) << tilted;
}

TEST(RigidBodyExample, EquilibriumBalancesForcesAndKeepsAUnitQuaternion) {
  const Gallery::RigidBodyOnSprings body = Gallery::RigidBodyOnSprings::standard();
  State pose = Gallery::RigidBodyOnSprings::initialGuess();
  BroydenParameters parameters;
  parameters.absoluteTolerance = 1e-10;
  // Finite differences in increment coordinates drive it as well as the analytic Jacobian does.
  for (bool analytic : {true, false}) {
    SCOPED_TRACE(analytic ? "analytic Jacobian" : "finite-difference Jacobian");
    State guess = pose;
    Broyden solver(7,
                   guess.incrementSize(),
                   parameters,
                   body.residual(),
                   analytic ? body.jacobian() : forwardDifferenceJacobian(body.residual(), guess));
    ASSERT_TRUE(solver.solve(guess).converged);
    const Eigen::Matrix<double, 6, 1> load = body.netLoad(guess.values);
    EXPECT_LT(load.norm(), 1e-9);
    EXPECT_NEAR(guess.values.segment<4>(3).norm(), 1.0, 1e-13);
    // The springs, not the solver's bookkeeping, carry the weight: recompute it spring by spring.
    const Eigen::Matrix3d r = Gallery::RigidBodyOnSprings::rotation(guess.values);
    Eigen::Vector3d springs = Eigen::Vector3d::Zero();
    for (const Gallery::Spring& spring : body.springs) {
      Eigen::Vector3d leverArm;
      springs += body.springForce(spring, guess.values.head<3>(), r, leverArm);
    }
    EXPECT_NEAR(springs.z(), *body.mass * 9.81, 1e-9);
    // It hangs tilted: the quaternion was turned, not left at the identity.
    EXPECT_LT(guess.values(3), 0.999);
  }
}

TEST(ArmExample, AnalyticJacobianMatchesNearAndFarFromTheTarget) {
  const Gallery::SixJointArm arm = Gallery::SixJointArm::ur5();
  Eigen::VectorXd theta(6);
  theta << 0.3, -1.2, 1.5, -0.8, -1.4, 0.5;
  for (double offset : {0.0, 1e-6, 0.05, 0.8}) {
    SCOPED_TRACE(offset);
    Eigen::VectorXd reference = theta;
    reference += Eigen::VectorXd::LinSpaced(6, offset, -offset);
    *arm.target = arm.pose(reference);
    const JacobianCheckReport report = checkJacobian(arm.residual(), arm.jacobian(), theta);
    EXPECT_LT(report.largestRelativeDifference, kJacobianTolerance) << report;
  }
}

TEST(ArmExample, SolutionReachesTheTargetPose) {
  const Gallery::SixJointArm arm = Gallery::SixJointArm::ur5();
  Eigen::VectorXd reference(6);
  reference << 0.9, -0.9, 1.1, -0.3, -1.1, -0.2;
  *arm.target = arm.pose(reference);
  Eigen::VectorXd theta = reference + Eigen::VectorXd::Constant(6, 0.1);
  BroydenParameters parameters;
  parameters.absoluteTolerance = 1e-12;
  Broyden solver(6, 6, parameters, arm.residual(), arm.jacobian());
  ASSERT_TRUE(solver.solve(theta).converged);
  const Gallery::ArmPose reached = arm.pose(theta);
  EXPECT_LT((reached.position - arm.target->position).norm(), 1e-10);
  EXPECT_LT(reached.orientation.angularDistance(arm.target->orientation), 1e-10);
}

}  // namespace
