// Inverse kinematics: the joint angles of a UR5 arm that put its flange at a target pose, for
// five targets along a path. The targets are made by forward kinematics from known joint angles,
// so each is reachable; the solver starts the first from a guess a few degrees off on every
// joint and each later one from the previous answer, on the same solver object.
#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ondrel/broyden/Broyden>
#include <string>

#include "ArmProblem.hpp"
#include "ExampleSupport.hpp"

using Ondrel::Math::Solvers::Broyden;
using Ondrel::Math::Solvers::BroydenInformation;
using Ondrel::Math::Solvers::BroydenParameters;

namespace {

// Far above rounding on a metre-sized arm, far below anything a robot could notice.
constexpr double kReachTolerance = 1e-10;  // m and rad

}  // namespace

int main(int argc, char** argv) {
  const Gallery::Options options(argc, argv);
  const Gallery::SixJointArm arm = Gallery::SixJointArm::ur5();

  Eigen::VectorXd start(6);
  Eigen::VectorXd sweep(6);
  start << 0.3, -1.2, 1.5, -0.8, -1.4, 0.5;
  sweep << 0.6, 0.3, -0.4, 0.5, 0.3, -0.7;
  Eigen::VectorXd theta(6);
  theta << 0.15, -0.10, 0.12, -0.10, 0.10, 0.15;
  theta += start;

  Gallery::ResidualHistory history;
  BroydenParameters parameters;
  parameters.absoluteTolerance = 1e-12;
  Broyden solver(6, 6, parameters, history.recording(arm.residual()), arm.jacobian());

  std::printf("Inverse kinematics, UR5 (standard Denavit-Hartenberg), 5 targets along a path\n");
  Gallery::Summary summary;
  summary.name = "inverse_kinematics";
  summary.problem = "UR5 arm, 6 joint angles to a target position and orientation, 5 targets";
  summary.unknowns = 6;

  double worstPosition = 0.0;
  double worstAngle = 0.0;
  const Gallery::Stopwatch total;
  for (int k = 0; k < 5; ++k) {
    const Eigen::VectorXd reference = start + 0.25 * k * sweep;
    *arm.target = arm.pose(reference);
    history.startSolve("target " + std::to_string(k + 1));
    const Gallery::Stopwatch watch;
    const BroydenInformation& info = solver.solve(theta);
    const double ms = 1e3 * watch.seconds();
    ++summary.solves;
    summary.converged = summary.converged && info.converged;
    summary.iterations += info.iterations;
    summary.jacobianEvaluations += info.jacobianEvaluations;

    // Checked by forward kinematics, not against the reference angles: an arm reaches most
    // poses in several ways, and any of them is an answer.
    const Gallery::ArmPose reached = arm.pose(theta);
    const double positionError = (reached.position - arm.target->position).norm();
    const double angleError = reached.orientation.angularDistance(arm.target->orientation);
    worstPosition = std::max(worstPosition, positionError);
    worstAngle = std::max(worstAngle, angleError);
    std::printf(
        "  target %d: %-9s it %2llu  nJ %llu  %5.2f ms  position error %.1e m, orientation error "
        "%.1e rad\n"
        "    joints (rad) %s\n",
        k + 1,
        info.converged ? "converged" : info.message.c_str(),
        static_cast<unsigned long long>(info.iterations),
        static_cast<unsigned long long>(info.jacobianEvaluations),
        ms,
        positionError,
        angleError,
        [&] {
          std::string joints;
          char entry[16];
          for (int i = 0; i < 6; ++i) {
            std::snprintf(entry, sizeof entry, "%+.5f ", theta(i));
            joints += entry;
          }
          return joints;
        }()
            .c_str());
    if (!info.converged) break;
  }
  summary.wallSeconds = total.seconds();
  Eigen::VectorXd f(6);
  arm.residual()(theta, f);
  summary.finalResidual = f.norm();
  summary.checkPassed = worstPosition < kReachTolerance && worstAngle < kReachTolerance;
  char check[160];
  std::snprintf(check,
                sizeof check,
                "flange off target by up to %.1e m and %.1e rad (limit %.0e)",
                worstPosition,
                worstAngle,
                kReachTolerance);
  summary.check = check;
  summary.report(options, history);
  return summary.exitCode();
}
