// MINPACK's hybrj1 (Powell's hybrid method with the analytic Jacobian) on a TestProblem.
//
// The work arrays are allocated once per adapter, as a caller reusing MINPACK would, so a solve
// costs what hybrj1 itself costs. hybrj1's callback carries no user pointer: the problem being
// solved is reached through a thread-local pointer set for the length of one solve, so adapters
// on different threads are independent.
#pragma once

#include <Eigen/Core>
#include <vector>

#include "MinpackTestSet.hpp"
#include "PeerOutcome.hpp"

namespace Ondrel::Benchmarks {

class MinpackHybrj1 {
 public:
  // tolerance: hybrj1's relative tolerance on x (it stops when the relative error between two
  // iterates is at most this).
  MinpackHybrj1(Eigen::Index m, double tolerance);

  // Solves from x (which must have m entries and holds the returned point afterwards).
  // Throws std::invalid_argument on a size mismatch.
  PeerOutcome solve(const TestProblem& problem, Eigen::Ref<Eigen::VectorXd> x);

 private:
  int dimension;
  double tolerance;
  std::vector<double> residual;
  std::vector<double> jacobian;
  std::vector<double> work;
};

}  // namespace Ondrel::Benchmarks
