// Callables that count their calls, for tests that assert how often a solve evaluates.
//
// Every copy of a counted callable, a solver's copy included, counts into the same CallCounts.
// The counts are atomic: copies of one solver may run on several threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <ondrel/broyden/Broyden>
#include <utility>

namespace Ondrel::Testing {

struct CallCounts {
  std::atomic<std::size_t> residual{0};
  std::atomic<std::size_t> jacobian{0};

  std::size_t total() const { return residual + jacobian; }
};

// `residual`, counting each call before it is made. An empty callable stays empty, so that a
// solve that needs it still throws std::bad_function_call.
inline Math::Solvers::ResidualFunction countedResidual(Math::Solvers::ResidualFunction residual,
                                                       std::shared_ptr<CallCounts> counts) {
  if (!residual) return residual;
  return [residual = std::move(residual), counts = std::move(counts)](
             const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
    ++counts->residual;
    residual(x, f);
  };
}

inline Math::Solvers::JacobianFunction countedJacobian(Math::Solvers::JacobianFunction jacobian,
                                                       std::shared_ptr<CallCounts> counts) {
  if (!jacobian) return jacobian;
  return [jacobian = std::move(jacobian), counts = std::move(counts)](
             const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::MatrixXd& j) {
    ++counts->jacobian;
    jacobian(x, j);
  };
}

// A system's two callables, counted into one CallCounts.
struct CountedCallables {
  Math::Solvers::ResidualFunction residual;
  Math::Solvers::JacobianFunction jacobian;
  std::shared_ptr<CallCounts> counts;
};

inline CountedCallables countCalls(Math::Solvers::ResidualFunction residual,
                                   Math::Solvers::JacobianFunction jacobian = {}) {
  auto counts = std::make_shared<CallCounts>();
  return {countedResidual(std::move(residual), counts),
          countedJacobian(std::move(jacobian), counts),
          counts};
}

}  // namespace Ondrel::Testing
