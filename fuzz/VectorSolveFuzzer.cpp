// Vector solves of small random systems whose callables return NaN, infinities, huge values or
// outputs of the wrong size, or throw, at calls chosen by the input; settings include zero,
// negative and NaN tolerances, every update method, failing fast, a silent solver and a monitor
// that stops the solve or throws at an iteration the input chooses, and the line search with
// ordinary and absurd settings. Several solves run on one solver, with copies, moves and resets
// in between, to reach the warm-start paths.
#include "VectorSolves.hpp"
#include "support/QuadraticSystems.hpp"

namespace {

using namespace Ondrel::Math::Solvers;
using namespace Ondrel::Fuzz;
using Ondrel::Testing::MisbehaviourSchedule;
using Ondrel::Testing::QuadraticSystem;

// F(x) = A x + c .* x.^2 - b with a diagonally dominant A, occasionally an awkward b, and now
// and then a Jacobian scaled by an awkward factor.
QuadraticSystem systemFrom(FuzzedDataProvider& in, Eigen::Index m) {
  QuadraticSystem system{Eigen::MatrixXd(m, m), Eigen::VectorXd(m), Eigen::VectorXd(m)};
  for (Eigen::Index i = 0; i < m; ++i) {
    for (Eigen::Index j = 0; j < m; ++j) {
      system.a(i, j) = i == j ? in.ConsumeFloatingPointInRange(1.0, 4.0)
                              : in.ConsumeFloatingPointInRange(-1.0, 1.0);
    }
    system.c(i) = in.ConsumeFloatingPointInRange(-0.5, 0.5);
    system.b(i) = in.ConsumeIntegralInRange(0, 15) == 0 ? awkwardDouble(in)
                                                        : in.ConsumeFloatingPointInRange(-2.0, 2.0);
  }
  if (in.ConsumeIntegralInRange(0, 3) == 0) system.jacobianScale = awkwardDouble(in);
  return system;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const Eigen::Index m = in.ConsumeIntegralInRange(0, 6);
  auto same = [](const Eigen::VectorXd& a, const Eigen::VectorXd& b) { return sameBits(a, b); };
  SolveChecks<Eigen::VectorXd, decltype(same)> checks{parametersFrom(in), same};
  controlFrom(in, checks.parameters, checks.monitor, m);
  checks.emptyJacobian = in.ConsumeIntegralInRange(0, 15) == 0;
  const auto system = std::make_shared<const QuadraticSystem>(systemFrom(in, m));
  const auto schedule = std::make_shared<MisbehaviourSchedule>();
  const ResidualFunction residual = Ondrel::Testing::misbehavingResidual(
      [system](const Eigen::Ref<const Eigen::VectorXd>& x) { return system->evaluate(x); },
      schedule);
  const JacobianFunction jacobian = checks.emptyJacobian
                                        ? JacobianFunction()
                                        : Ondrel::Testing::misbehavingJacobian(
                                              [system](const Eigen::Ref<const Eigen::VectorXd>& x) {
                                                return system->derivative(x);
                                              },
                                              schedule);
  auto makeSolver = [&] { return Broyden(m, m, checks.parameters, residual, jacobian); };

  runSolves(in, checks, m, *schedule, makeSolver, [](const Broyden&) {});
  return 0;
}
