// The smallest host that builds with pkg-config alone:
//   g++ -std=c++17 consumer.cpp $(pkg-config --cflags --libs OndrelSolvers)
// It uses both shared libraries: the solver with a finite-difference Jacobian on a State that
// holds a quaternion, and the geometry library's Quaternion to read the answer.
#include <Eigen/Geometry>
#include <broyden/Broyden>
#include <cstdio>
#include <cstdlib>
#include <geometry/Quaternion.hpp>

using namespace Ondrel::Math::Solvers;

int main() {
  // The orientation R of a target rotation T, found as the root of F(R) = vee((M - M^T) / 2),
  // M = R T^T: the axis of R T^T times the sine of its angle, three equations for the three
  // rotation increments of one quaternion.
  const Eigen::Matrix3d target =
      Eigen::AngleAxisd(1.0, Eigen::Vector3d(1.0, 1.0, 0.0).normalized()).toRotationMatrix();
  ResidualFunction residual = [target](const Eigen::Ref<const Eigen::VectorXd>& x,
                                       Eigen::VectorXd& f) {
    const Eigen::Matrix3d m =
        Eigen::Quaterniond(x(0), x(1), x(2), x(3)).normalized().toRotationMatrix() *
        target.transpose();
    f << m(2, 1) - m(1, 2), m(0, 2) - m(2, 0), m(1, 0) - m(0, 1);
    f *= 0.5;
  };

  Ondrel::Math::State state(4);  // a quaternion (w, x, y, z), starting at the identity
  state.addQuaternion(0);
  state.values << 1.0, 0.0, 0.0, 0.0;
  BroydenParameters parameters;
  parameters.absoluteTolerance = 1e-12;
  Broyden solver(
      4, state.incrementSize(), parameters, residual, forwardDifferenceJacobian(residual, state));
  const BroydenInformation& info = solver.solve(state);

  const Ondrel::Geometry::Rotation::Quaternion answer(Eigen::VectorXd(state.values));
  const double miss = answer.asQuaternion().angularDistance(Eigen::Quaterniond(target));
  std::printf("pkg-config consumer: %s in %llu iterations, %.1e rad from the target\n",
              info.converged ? "converged" : info.message.c_str(),
              static_cast<unsigned long long>(info.iterations),
              miss);
  return info.converged && miss < 1e-10 ? EXIT_SUCCESS : EXIT_FAILURE;
}
