// Bratu continuation: -u'' = lambda exp(u) on (0, 1), u(0) = u(1) = 0, discretised by central
// differences on n interior points, solved for a rising sequence of lambda. Every solve starts
// from the previous root on the same solver object, so after the first one the held Jacobian
// carries over: watch " nJ: " in the progress lines.
#include <Eigen/Core>
#include <broyden/Broyden>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <vector>

using Ondrel::Math::Solvers::Broyden;
using Ondrel::Math::Solvers::BroydenInformation;
using Ondrel::Math::Solvers::BroydenParameters;

int main(int argc, char** argv) {
  const long long n = argc > 1 ? std::atoll(argv[1]) : 300;
  const double h = 1.0 / static_cast<double>(n + 1);
  double lambda = 0.0;  // read by the callables at every evaluation

  auto residual = [&](const Eigen::Ref<const Eigen::VectorXd>& u, Eigen::VectorXd& f) {
    for (long long i = 0; i < n; ++i) {
      const double left = i > 0 ? u(i - 1) : 0.0;
      const double right = i + 1 < n ? u(i + 1) : 0.0;
      f(i) = (2.0 * u(i) - left - right) / (h * h) - lambda * std::exp(u(i));
    }
  };
  auto jacobian = [&](const Eigen::Ref<const Eigen::VectorXd>& u, Eigen::MatrixXd& j) {
    j.setZero();
    for (long long i = 0; i < n; ++i) {
      j(i, i) = 2.0 / (h * h) - lambda * std::exp(u(i));
      if (i > 0) j(i, i - 1) = -1.0 / (h * h);
      if (i + 1 < n) j(i, i + 1) = -1.0 / (h * h);
    }
  };

  BroydenParameters parameters;
  parameters.maxIterations = 100;
  parameters.absoluteTolerance = 1e-8;
  parameters.relativeTolerance = 1e-6;
  Broyden solver(n, n, parameters, residual, jacobian);

  std::printf("Bratu problem, %lld unknowns, continuation in lambda\n", n);
  Eigen::VectorXd u = Eigen::VectorXd::Zero(n);
  std::vector<double> lambdas;
  for (double l = 0.5; l <= 3.0 + 1e-12; l += 0.5) lambdas.push_back(l);

  bool allConverged = true;
  for (double l : lambdas) {
    lambda = l;
    const auto start = std::chrono::steady_clock::now();
    const BroydenInformation& info = solver.solve(u);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf(
        "  lambda %.2f: %s, %llu iterations, %llu Jacobian evaluations, u(1/2) = %.6f, %.1f ms\n",
        l,
        info.converged ? "converged" : info.message.c_str(),
        static_cast<unsigned long long>(info.iterations),
        static_cast<unsigned long long>(info.jacobianEvaluations),
        u(n / 2),
        ms);
    allConverged = allConverged && info.converged;
  }
  return allConverged ? EXIT_SUCCESS : EXIT_FAILURE;
}
