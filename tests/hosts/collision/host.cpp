// A host whose own state/State.hpp comes first on its include path, built with pkg-config's flags
// only: the library's headers reach their own State through the ondrel/ prefix.
#include <Eigen/Core>
#include <iostream>
#include <ondrel/broyden/Broyden>
#include <state/State.hpp>

int main() {
  host::State mine;
  Ondrel::Math::State theirs(3);
  theirs.addRotationVector(0);
  using namespace Ondrel::Math::Solvers;
  ResidualFunction residual = [](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
    f = x - Eigen::Vector3d(0.1, 0.2, 0.3);
  };
  JacobianFunction jacobian = [](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::MatrixXd& j) {
    j.setIdentity();
  };
  Broyden solver(3, theirs.incrementSize(), BroydenParameters{}, residual, jacobian);
  const bool converged = solver.solve(theirs).converged;
  std::cout << "host state " << mine.generation << ", solved " << converged << "\n";
  return converged ? 0 : 1;
}
