// Solves x^2 = 2 through the subproject's targets, then trips an assert: a host that set no build
// type must keep its asserts, whatever the library's build does.
#include <Eigen/Core>
#include <cassert>
#include <iostream>
#include <ondrel/broyden/Broyden>

int main(int argc, char**) {
  using namespace Ondrel::Math::Solvers;
  ResidualFunction residual = [](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
    f(0) = x(0) * x(0) - 2.0;
  };
  JacobianFunction jacobian = [](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::MatrixXd& j) {
    j(0, 0) = 2.0 * x(0);
  };
  Broyden solver(1, 1, BroydenParameters{}, residual, jacobian);
  Eigen::VectorXd x = Eigen::VectorXd::Ones(1);
  if (!solver.solve(x).converged) return 1;
  std::cout << "root " << x(0) << std::endl;
  assert(argc == 0 && "the host's asserts are live");
  return 2;
}
