#include "MinpackHybrj1.hpp"

#include <minpack.h>

#include <stdexcept>
#include <string>

namespace Ondrel::Benchmarks {

namespace {

struct CallContext {
  const TestProblem* problem;
  PeerOutcome* outcome;
};

thread_local CallContext* activeCall = nullptr;

extern "C" void evaluateForMinpack(
    int* n, double* x, double* fvec, double* fjac, int* ldfjac, int* iflag) {
  const Eigen::Map<const Eigen::VectorXd> point(x, *n);
  if (*iflag == 1) {
    activeCall->problem->residual(point, Eigen::Map<Eigen::VectorXd>(fvec, *n));
    ++activeCall->outcome->residualEvaluations;
  } else if (*iflag == 2) {
    Eigen::Map<Eigen::MatrixXd, 0, Eigen::OuterStride<>> j(
        fjac, *n, *n, Eigen::OuterStride<>(*ldfjac));
    activeCall->problem->jacobian(point, j);
    ++activeCall->outcome->jacobianEvaluations;
  }
}

// Restores the previous context even when a solve is left early, so that nesting works.
class ActiveCall {
 public:
  explicit ActiveCall(CallContext* context) : previous(activeCall) { activeCall = context; }
  ~ActiveCall() { activeCall = previous; }
  ActiveCall(const ActiveCall&) = delete;
  ActiveCall& operator=(const ActiveCall&) = delete;

 private:
  CallContext* previous;
};

}  // namespace

MinpackHybrj1::MinpackHybrj1(Eigen::Index m, double tolerance)
    : dimension(static_cast<int>(m)),
      tolerance(tolerance),
      residual(static_cast<std::size_t>(m)),
      jacobian(static_cast<std::size_t>(m * m)),
      // hybrj1 needs at least n (n + 13) / 2 doubles of work space.
      work(static_cast<std::size_t>(m * (m + 13) / 2 + 1)) {
  if (m < 1) throw std::invalid_argument("MinpackHybrj1: the dimension must be positive");
}

PeerOutcome MinpackHybrj1::solve(const TestProblem& problem, Eigen::Ref<Eigen::VectorXd> x) {
  if (problem.size() != dimension || x.size() != dimension) {
    throw std::invalid_argument("MinpackHybrj1: problem " + problem.name() + " and a start of " +
                                std::to_string(x.size()) + " entries do not match dimension " +
                                std::to_string(dimension));
  }
  PeerOutcome outcome;
  CallContext context{&problem, &outcome};
  ActiveCall active(&context);
  int n = dimension;
  int ldfjac = dimension;
  int info = 0;
  int workSize = static_cast<int>(work.size());
  double tol = tolerance;
  hybrj1_(evaluateForMinpack,
          &n,
          x.data(),
          residual.data(),
          jacobian.data(),
          &ldfjac,
          &tol,
          &info,
          work.data(),
          &workSize);
  outcome.converged = info == 1;
  Eigen::Map<Eigen::VectorXd> f(residual.data(), dimension);
  problem.residual(x, f);
  outcome.residualNorm = f.norm();
  return outcome;
}

}  // namespace Ondrel::Benchmarks
