// A residual whose norms follow a script, whatever the variables, so that the reduction ratio of
// every iteration is exactly the one chosen: the refresh schedule can be driven rule by rule.
#pragma once

#include <algorithm>
#include <memory>
#include <ondrel/broyden/Broyden>
#include <utility>
#include <vector>

#include "support/CountedCallables.hpp"

namespace Ondrel::Testing {

// Two equations; call i of the residual gives (norms[i], 0), the last norm once the script has
// run out. The Jacobian is the identity and logs, at each evaluation, how many residual calls
// came before it: the log tells after which iteration every Jacobian was evaluated.
struct ScriptedNorms {
  std::vector<double> norms;
  std::shared_ptr<CallCounts> counts = std::make_shared<CallCounts>();
  std::shared_ptr<std::vector<std::size_t>> jacobianLog =
      std::make_shared<std::vector<std::size_t>>();

  explicit ScriptedNorms(std::vector<double> script) : norms(std::move(script)) {}

  Math::Solvers::ResidualFunction residual() const {
    return countedResidual(
        [n = norms, c = counts](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::VectorXd& f) {
          f = Eigen::Vector2d(n[std::min<std::size_t>(c->residual - 1, n.size() - 1)], 0.0);
        },
        counts);
  }
  Math::Solvers::JacobianFunction jacobian() const {
    return countedJacobian(
        [c = counts, log = jacobianLog](const Eigen::Ref<const Eigen::VectorXd>&,
                                        Eigen::MatrixXd& j) {
          log->push_back(c->residual);
          j = Eigen::Matrix2d::Identity();
        },
        counts);
  }
};

}  // namespace Ondrel::Testing
