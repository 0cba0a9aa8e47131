// Watching and controlling a solve: a monitor that prints a table of the iterations, a solver
// that writes nothing, an early stop, and the complete result record.
//
// The system is Powell's badly scaled function, whose iterates crawl for a while before they
// converge: a fine subject for a table.
#include <Eigen/Core>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <ondrel/broyden/Broyden>

using namespace Ondrel::Math::Solvers;

namespace {

void residual(const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
  f(0) = 1e4 * x(0) * x(1) - 1.0;
  f(1) = std::exp(-x(0)) + std::exp(-x(1)) - 1.0001;
}

void jacobian(const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::MatrixXd& j) {
  j << 1e4 * x(1), 1e4 * x(0), -std::exp(-x(0)), -std::exp(-x(1));
}

void summarise(const char* what, const BroydenInformation& info) {
  std::printf(
      "%s: %s after %llu iterations, ||F|| = %.3g, %llu residual and %llu Jacobian "
      "evaluations%s%s\n",
      what,
      terminationName(info.termination),
      static_cast<unsigned long long>(info.iterations),
      info.residualNorm,
      static_cast<unsigned long long>(info.residualEvaluations),
      static_cast<unsigned long long>(info.jacobianEvaluations),
      info.message.empty() ? "" : ": ",
      info.message.c_str());
}

}  // namespace

int main() {
  const Eigen::Vector2d start(0.0, 1.0);

  // 1. A monitor that prints one row per iteration, and no progress line.
  BroydenParameters watched;
  watched.outputStream = nullptr;
  watched.monitor = [](const BroydenIterationReport& r) {
    const char* change = r.jacobianChange == JacobianChange::kRefreshed ? "refreshed"
                         : r.jacobianChange == JacobianChange::kUpdated ? "updated"
                                                                        : "-";
    std::printf("%4llu  %11.4e  %11.4e  %3llu  %-9s  x = (%.6g, %.6g)\n",
                static_cast<unsigned long long>(r.iteration),
                r.residualNorm,
                r.stepNorm,
                static_cast<unsigned long long>(r.jacobianEvaluations),
                change,
                (*r.values)(0),
                (*r.values)(1));
    return true;  // go on
  };
  std::printf("iter       ||F||     step norm   nJ  Jacobian   values\n");
  Broyden solver(2, 2, watched, residual, jacobian);
  Eigen::VectorXd x = start;
  summarise("watched", solver.solve(x));

  // 2. A silent solver: nothing is written anywhere, the record tells everything.
  BroydenParameters silent;
  silent.outputStream = nullptr;
  Broyden quiet(2, 2, silent, residual, jacobian);
  Eigen::VectorXd y = start;
  const BroydenInformation& quietInfo = quiet.solve(y);
  summarise("silent", quietInfo);

  // 3. An early stop: give up once ||F|| has not halved in 10 iterations. The caller's vector
  //    keeps the guess, as after any failure, and the next solve starts afresh.
  BroydenParameters impatient;
  impatient.outputStream = nullptr;
  impatient.monitor = [best = INFINITY, stale = 0](const BroydenIterationReport& r) mutable {
    if (r.residualNorm < 0.5 * best) {
      best = r.residualNorm;
      stale = 0;
    }
    return ++stale <= 10;
  };
  Broyden stopping(2, 2, impatient, residual, jacobian);
  Eigen::VectorXd z = start;
  const BroydenInformation& stopped = stopping.solve(z);
  summarise("impatient", stopped);
  std::printf("the impatient solve left x at (%g, %g)\n", z(0), z(1));

  // The example checks itself: the watched and silent solves agree, and the stop is reported.
  const bool ok = quietInfo.converged && x == y &&
                  (stopped.termination == BroydenTermination::kStoppedByMonitor ||
                   stopped.termination == BroydenTermination::kConverged);
  return ok ? 0 : 1;
}
