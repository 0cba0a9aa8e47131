// Rigid body on springs: the static pose of a box hung from four ceiling anchors by springs,
// under three loads in turn (2, 3 and 4 kg). The unknown is a State: 3 plain position entries
// and an orientation quaternion, 7 values moving with 6 increment entries, so the solver turns
// the quaternion instead of adding to it and it stays a unit quaternion without renormalising.
// Each load step starts from the previous pose on the same solver, with its held Jacobian. The
// three steps are then solved again with a Jacobian differentiated automatically from the
// residual template (automaticJacobian), which must find the same poses and equal the
// hand-written Jacobian at each.
#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ondrel/broyden/Broyden>
#include <string>
#include <vector>

#include "ExampleSupport.hpp"
#include "RigidBodyProblem.hpp"

using Ondrel::Math::State;
using Ondrel::Math::Solvers::Broyden;
using Ondrel::Math::Solvers::BroydenInformation;
using Ondrel::Math::Solvers::BroydenParameters;

namespace {

// Far above what rounding leaves on forces of tens of newtons, far below any real imbalance.
constexpr double kBalanceTolerance = 1e-8;  // N and N m
// Each solve turns the quaternion by a handful of unit quaternions; rounding drifts the norm by
// a few eps at most.
constexpr double kUnitTolerance = 1e-13;
// Both solves stop below 1e-10 N of imbalance on springs of 60 N/m and more: their poses agree to
// about 1e-11; a different equilibrium would differ by centimetres.
constexpr double kSamePose = 1e-9;
// The two Jacobians differ only by rounding in the spring forces' derivatives.
constexpr double kSameJacobian = 1e-12;

}  // namespace

int main(int argc, char** argv) {
  const Gallery::Options options(argc, argv);
  const Gallery::RigidBodyOnSprings body = Gallery::RigidBodyOnSprings::standard();

  Gallery::ResidualHistory history;
  BroydenParameters parameters;
  parameters.absoluteTolerance = 1e-10;
  State pose = Gallery::RigidBodyOnSprings::initialGuess();
  // The solver's sizes: values for the state, increment entries for the system.
  Broyden solver(pose.values.size(),
                 pose.incrementSize(),
                 parameters,
                 history.recording(body.residual()),
                 body.jacobian());

  std::printf("Rigid body on %zu springs: pose (3 positions + quaternion, 6 increments)\n",
              body.springs.size());
  Gallery::Summary summary;
  summary.name = "rigid_body_springs";
  summary.problem = "box on 4 springs under gravity, State with a quaternion, 3 load steps";
  summary.unknowns = pose.incrementSize();

  const double masses[] = {2.0, 3.0, 4.0};
  std::vector<Eigen::VectorXd> handPoses;
  double worstImbalance = 0.0;
  double worstUnitError = 0.0;
  bool allStable = true;
  const Gallery::Stopwatch total;
  for (double mass : masses) {
    *body.mass = mass;
    history.startSolve("mass " + std::to_string(mass).substr(0, 3));
    const Gallery::Stopwatch watch;
    const BroydenInformation& info = solver.solve(pose);
    const double ms = 1e3 * watch.seconds();
    ++summary.solves;
    summary.converged = summary.converged && info.converged;
    summary.iterations += info.iterations;
    summary.jacobianEvaluations += info.jacobianEvaluations;

    // Physical checks: the springs carry the weight and leave no torque, the orientation is
    // still a rotation, and the pose is a minimum of the energy (minus the Jacobian, the
    // energy's Hessian, positive definite).
    const Eigen::Matrix<double, 6, 1> load = body.netLoad(pose.values);
    const double imbalance = load.norm();
    const double unitError = std::abs(pose.values.segment<4>(3).norm() - 1.0);
    Eigen::MatrixXd jacobian(6, 6);
    body.jacobian()(pose.values, jacobian);
    const Eigen::Matrix<double, 6, 6> hessian = -0.5 * (jacobian + jacobian.transpose());
    const bool stable = Eigen::LLT<Eigen::Matrix<double, 6, 6>>(hessian).info() == Eigen::Success;
    const Eigen::Vector4d q = pose.values.segment<4>(3);
    const double tiltDegrees =
        std::acos(std::clamp(Gallery::RigidBodyOnSprings::rotation(pose.values)(2, 2), -1.0, 1.0)) *
        180.0 / EIGEN_PI;
    std::printf(
        "  mass %.1f kg: %-9s it %2llu  nJ %llu  %5.2f ms\n"
        "    position (%.5f, %.5f, %.5f) m, quaternion (%.6f, %.6f, %.6f, %.6f), tilt %.3f deg\n"
        "    spring forces carry %.9f N of %.9f N weight; net force %.1e N, net torque %.1e N m\n"
        "    |q| - 1 = %.1e, %s\n",
        mass,
        info.converged ? "converged" : info.message.c_str(),
        static_cast<unsigned long long>(info.iterations),
        static_cast<unsigned long long>(info.jacobianEvaluations),
        ms,
        pose.values(0),
        pose.values(1),
        pose.values(2),
        q(0),
        q(1),
        q(2),
        q(3),
        tiltDegrees,
        load(2) - mass * body.gravity(2),
        -mass * body.gravity(2),
        load.head<3>().norm(),
        load.tail<3>().norm(),
        unitError,
        stable ? "stable (energy Hessian positive definite)" : "NOT STABLE");
    worstImbalance = std::max(worstImbalance, imbalance);
    worstUnitError = std::max(worstUnitError, unitError);
    allStable = allStable && stable;
    handPoses.push_back(pose.values);
    if (!info.converged) break;
  }

  // Again with the automatic Jacobian, from the same guess.
  const Ondrel::Math::Solvers::AutomaticSystem automatic =
      Ondrel::Math::Solvers::automaticJacobian(Gallery::RigidBodyResidual{body}, pose);
  State automaticPose = Gallery::RigidBodyOnSprings::initialGuess();
  Broyden automaticSolver(automaticPose.values.size(),
                          automaticPose.incrementSize(),
                          parameters,
                          automatic.residual,
                          automatic.jacobian);
  double worstPoseDifference = handPoses.size() == 3 ? 0.0 : 1.0;
  double worstJacobianDifference = 0.0;
  for (std::size_t step = 0; step < handPoses.size(); ++step) {
    *body.mass = masses[step];
    const BroydenInformation& info = automaticSolver.solve(automaticPose);
    summary.converged = summary.converged && info.converged;
    worstPoseDifference = std::max(
        worstPoseDifference, (automaticPose.values - handPoses[step]).lpNorm<Eigen::Infinity>());
    Eigen::MatrixXd hand(6, 6);
    Eigen::MatrixXd differentiated;
    body.jacobian()(automaticPose.values, hand);
    automatic.jacobian(automaticPose.values, differentiated);
    worstJacobianDifference =
        std::max(worstJacobianDifference, (differentiated - hand).norm() / hand.norm());
  }
  std::printf(
      "  automatic Jacobian: the same poses to %.1e, the hand-written Jacobian to %.1e relative\n",
      worstPoseDifference,
      worstJacobianDifference);
  summary.wallSeconds = total.seconds();
  summary.finalResidual = body.netLoad(pose.values).norm();
  summary.checkPassed = worstImbalance < kBalanceTolerance && worstUnitError < kUnitTolerance &&
                        allStable && worstPoseDifference < kSamePose &&
                        worstJacobianDifference < kSameJacobian;
  char check[320];
  std::snprintf(check,
                sizeof check,
                "net force and torque up to %.1e (limit %.0e), ||q| - 1| up to %.1e (limit %.0e), "
                "%s; automatic Jacobian: poses within %.1e (limit %.0e), Jacobian within %.1e "
                "(limit %.0e)",
                worstImbalance,
                kBalanceTolerance,
                worstUnitError,
                kUnitTolerance,
                allStable ? "stable" : "NOT STABLE",
                worstPoseDifference,
                kSamePose,
                worstJacobianDifference,
                kSameJacobian);
  summary.check = check;
  summary.report(options, history);
  return summary.exitCode();
}
