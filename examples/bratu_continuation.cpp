// Bratu continuation: -u'' = lambda exp(u), u(0) = u(1) = 0, on 1000 interior points, for lambda
// from 0.1 to 3.5 in steps of 0.1, just short of the fold at 3.5138. Every solve starts from the
// previous root on the same solver object, so after the first one the held Jacobian carries
// over: the Jacobian column counts how often a solve had to evaluate and factorise afresh.
// The centre value u(1/2) is compared with the closed-form solution of the continuous problem.
#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ondrel/broyden/Broyden>
#include <string>

#include "BratuProblem.hpp"
#include "ExampleSupport.hpp"

using Ondrel::Math::Solvers::Broyden;
using Ondrel::Math::Solvers::BroydenInformation;
using Ondrel::Math::Solvers::BroydenParameters;

int main(int argc, char** argv) {
  const Gallery::Options options(argc, argv);
  const Gallery::Bratu bratu{options.integer("--unknowns", 1000)};
  const long long n = bratu.unknowns;
  // Central differences are second order: the discrete centre value differs from the continuous
  // one by O(h^2). For lambda up to 1 the difference stays below h^2 / 10 (about h^2 / 70 is
  // measured with 1000 unknowns); towards the fold the problem stiffens and amplifies it, so the
  // whole range gets a looser bound.
  const double hSquared = bratu.spacing() * bratu.spacing();
  const double smallLambda = 1.0;
  const double smallLambdaLimit = hSquared / 10.0;
  const double wholeRangeLimit = 50.0 * hSquared;

  Gallery::ResidualHistory history;
  BroydenParameters parameters;
  parameters.maxIterations = 100;
  // Rounding alone leaves ||F|| near 1e-8 (entries of size 1e6 u times eps, over 1000 rows).
  parameters.absoluteTolerance = 1e-7;
  parameters.relativeTolerance = 1e-9;
  Broyden solver(n, n, parameters, history.recording(bratu.residual()), bratu.jacobian());

  std::printf("Bratu problem, %lld unknowns, continuation in lambda from 0.1 to 3.5\n", n);
  Gallery::Summary summary;
  summary.name = "bratu_continuation";
  summary.problem = "Bratu -u'' = lambda exp(u), lambda 0.1 .. 3.5, warm-started continuation";
  summary.unknowns = n;

  Eigen::VectorXd u = Eigen::VectorXd::Zero(n);
  double largestDeviation = 0.0;
  double largestSmallLambdaDeviation = 0.0;
  const Gallery::Stopwatch total;
  for (int step = 1; step <= 35; ++step) {
    const double lambda = 0.1 * step;
    *bratu.lambda = lambda;
    history.startSolve("lambda " + std::to_string(lambda).substr(0, 4));
    const Gallery::Stopwatch watch;
    const BroydenInformation& info = solver.solve(u);
    const double ms = 1e3 * watch.seconds();

    const double centre = Gallery::Bratu::centreOf(u);
    const double exact = Gallery::Bratu::centreValue(lambda);
    const double deviation = std::abs(centre - exact);
    largestDeviation = std::max(largestDeviation, deviation);
    if (lambda <= smallLambda + 1e-12) {
      largestSmallLambdaDeviation = std::max(largestSmallLambdaDeviation, deviation);
    }
    std::printf(
        "  lambda %.1f: %-9s it %3llu  nJ %llu  u(1/2) %.8f  closed form %.8f  diff %.1e  %6.1f "
        "ms\n",
        lambda,
        info.converged ? "converged" : info.message.c_str(),
        static_cast<unsigned long long>(info.iterations),
        static_cast<unsigned long long>(info.jacobianEvaluations),
        centre,
        exact,
        deviation,
        ms);
    ++summary.solves;
    summary.converged = summary.converged && info.converged;
    summary.iterations += info.iterations;
    summary.jacobianEvaluations += info.jacobianEvaluations;
    if (!info.converged) break;
  }
  summary.wallSeconds = total.seconds();

  Eigen::VectorXd f(n);
  bratu.residual()(u, f);
  summary.finalResidual = f.norm();
  summary.checkPassed =
      largestSmallLambdaDeviation < smallLambdaLimit && largestDeviation < wholeRangeLimit;
  char check[200];
  std::snprintf(check,
                sizeof check,
                "|u(1/2) - closed form| up to %.1e for lambda <= 1 (limit %.0e), %.1e over the "
                "range (limit %.0e)",
                largestSmallLambdaDeviation,
                smallLambdaLimit,
                largestDeviation,
                wholeRangeLimit);
  summary.check = check;
  summary.report(options, history);
  return summary.exitCode();
}
