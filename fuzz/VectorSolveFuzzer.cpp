// Vector solves of small random systems whose callables return NaN, infinities, huge values or
// outputs of the wrong size, or throw, at calls chosen by the input; settings include zero,
// negative and NaN tolerances and every update method. Several solves run on one solver, with
// copies, moves and resets in between, to reach the warm-start paths.
#include "SolveChecks.hpp"

namespace {

using namespace Ondrel::Math::Solvers;
using namespace Ondrel::Fuzz;

BroydenParameters parametersFrom(FuzzedDataProvider& in) {
  BroydenParameters p;
  p.maxIterations = in.ConsumeIntegralInRange<std::uint64_t>(0, 30);
  const double tolerances[] = {
      1e-10, 1e-6, 1e-3, 0.0, 1.0, -1.0, std::numeric_limits<double>::quiet_NaN()};
  p.absoluteTolerance = in.PickValueInArray(tolerances);
  p.relativeTolerance = in.ConsumeBool() ? 1e-6 : awkwardDouble(in);
  p.refreshReductionRatio = in.ConsumeBool() ? 1000.0 : awkwardDouble(in);
  p.goodReductionRatio = in.ConsumeBool() ? 2.0 : awkwardDouble(in);
  p.refreshCountLimit = in.ConsumeIntegralInRange<std::uint64_t>(0, 5);
  p.updateMethod = in.ConsumeIntegralInRange(-1, 3);
  return p;
}

// F(x) = A x + c .* x.^2 - b, and its derivative, exact or scaled.
struct System {
  Eigen::MatrixXd a;
  Eigen::VectorXd c;
  Eigen::VectorXd b;
  double jacobianScale = 1.0;

  System(FuzzedDataProvider& in, Eigen::Index m) : a(m, m), c(m), b(m) {
    for (Eigen::Index i = 0; i < m; ++i) {
      for (Eigen::Index j = 0; j < m; ++j) {
        a(i, j) = i == j ? in.ConsumeFloatingPointInRange(1.0, 4.0)
                         : in.ConsumeFloatingPointInRange(-1.0, 1.0);
      }
      c(i) = in.ConsumeFloatingPointInRange(-0.5, 0.5);
      b(i) = in.ConsumeIntegralInRange(0, 15) == 0 ? awkwardDouble(in)
                                                   : in.ConsumeFloatingPointInRange(-2.0, 2.0);
    }
    if (in.ConsumeIntegralInRange(0, 3) == 0) jacobianScale = awkwardDouble(in);
  }
  Eigen::VectorXd evaluate(const Eigen::Ref<const Eigen::VectorXd>& x) const {
    return a * x + c.cwiseProduct(x.cwiseAbs2()) - b;
  }
  Eigen::MatrixXd derivative(const Eigen::Ref<const Eigen::VectorXd>& x) const {
    Eigen::MatrixXd j = a;
    j.diagonal() += 2.0 * c.cwiseProduct(x);
    return j * jacobianScale;
  }
};

Eigen::VectorXd guessFrom(FuzzedDataProvider& in, Eigen::Index m) {
  Eigen::VectorXd x(m);
  for (Eigen::Index i = 0; i < m; ++i) {
    x(i) = in.ConsumeIntegralInRange(0, 15) == 0 ? awkwardDouble(in)
                                                 : in.ConsumeFloatingPointInRange(-3.0, 3.0);
  }
  return x;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const Eigen::Index m = in.ConsumeIntegralInRange(0, 6);
  auto same = [](const Eigen::VectorXd& a, const Eigen::VectorXd& b) { return sameBits(a, b); };
  SolveChecks<Eigen::VectorXd, decltype(same)> checks{parametersFrom(in), same};
  checks.emptyJacobian = in.ConsumeIntegralInRange(0, 15) == 0;
  const Callables<System> callables{std::make_shared<System>(in, m), std::make_shared<Schedule>()};
  auto jacobian = checks.emptyJacobian ? JacobianFunction() : callables.jacobian();
  auto makeSolver = [&] {
    return Broyden(m, m, checks.parameters, callables.residual(), jacobian);
  };

  Broyden solver = makeSolver();
  RecordWatch watch;
  const int solves = in.ConsumeIntegralInRange(1, 4);
  for (int s = 0; s < solves && in.remaining_bytes() > 0; ++s) {
    switch (in.ConsumeIntegralInRange(0, 4)) {
      case 0:
        solver.reset();
        break;
      case 1: {
        const Broyden copy = solver;
        solver = copy;
        break;
      }
      case 2: {
        Broyden moved(std::move(solver));
        solver = std::move(moved);
        break;
      }
      default:
        break;
    }
    const Eigen::VectorXd guess = guessFrom(in, m);
    Eigen::VectorXd x = guess;
    callables.schedule->arm(in, 3);
    if (checks.run(solver, x, guess, *callables.schedule, watch)) {
      checks.expectFresh(solver, makeSolver(), guess, watch);
    }
  }
  return 0;
}
