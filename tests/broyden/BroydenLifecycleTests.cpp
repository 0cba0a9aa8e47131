#include <gtest/gtest.h>

#include <functional>
#include <utility>

#include "support/CountedCallables.hpp"
#include "support/KnownRootSystems.hpp"
#include "support/StdoutSilencer.hpp"

namespace Ondrel::Math::Solvers {
namespace {

using Ondrel::Testing::countCalls;
using Ondrel::Testing::CountedCallables;
using Ondrel::Testing::LinearSystem;
using Ondrel::Testing::MildlyNonlinearSystem;
using Ondrel::Testing::noRefreshParameters;
using Ondrel::Testing::StdoutSilencer;

TEST(BroydenLifecycle, NewSolverStartsWithAnEmptyRecord) {
  Broyden solver(3, 3, noRefreshParameters(), LinearSystem::residual(), {});
  Eigen::VectorXd root = LinearSystem::root();
  const BroydenInformation& info = solver.solve(root);
  EXPECT_TRUE(info.converged);
  EXPECT_EQ(info.iterations, 0u);
  EXPECT_EQ(info.jacobianEvaluations, 0u);
  EXPECT_TRUE(info.message.empty());
  EXPECT_EQ(info.error, 0.0);

  // With no Jacobian callable, a solve that needs one fails loudly.
  Eigen::VectorXd guess = Eigen::VectorXd::Zero(3);
  EXPECT_THROW(solver.solve(guess), std::bad_function_call);
  EXPECT_EQ(guess, Eigen::VectorXd::Zero(3));

  Broyden empty(0, 0, noRefreshParameters(), {}, {});
  Eigen::VectorXd nothing;
  EXPECT_THROW(empty.solve(nothing), std::bad_function_call);
  Broyden emptySystem(
      0, 0, noRefreshParameters(), [](const auto&, Eigen::VectorXd& f) { f.resize(0); }, {});
  EXPECT_TRUE(emptySystem.solve(nothing).converged);
}

TEST(BroydenLifecycle, ResetMakesTheNextSolveEvaluateAgainAndRepeatsBitForBit) {
  const StdoutSilencer silence;
  Broyden solver(3,
                 3,
                 noRefreshParameters(),
                 MildlyNonlinearSystem::residual(),
                 MildlyNonlinearSystem::jacobian());
  const Eigen::VectorXd guess = Eigen::Vector3d(1.2, 0.9, 1.1);

  solver.reset();  // on a new solver: nothing to drop
  Eigen::VectorXd first = guess;
  const BroydenInformation a = solver.solve(first);
  EXPECT_EQ(a.jacobianEvaluations, 1u);

  Eigen::VectorXd warm = guess;
  EXPECT_EQ(solver.solve(warm).jacobianEvaluations, 0u);

  solver.reset();
  Eigen::VectorXd second = guess;
  const BroydenInformation b = solver.solve(second);
  EXPECT_EQ(b.jacobianEvaluations, 1u);
  EXPECT_EQ(first, second);
  EXPECT_EQ(a.iterations, b.iterations);
  EXPECT_EQ(a.error, b.error);
}

TEST(BroydenLifecycle, CopiesSolveLikeTheirSource) {
  const StdoutSilencer silence;
  Broyden source(3,
                 3,
                 noRefreshParameters(),
                 MildlyNonlinearSystem::residual(),
                 MildlyNonlinearSystem::jacobian());
  Eigen::VectorXd x = Eigen::Vector3d(1.2, 0.9, 1.1);
  source.solve(x);  // now holds a Jacobian

  Broyden copy(source);
  Broyden assigned(0, 0, noRefreshParameters(2), {}, {});
  assigned = source;    // other shapes: built aside, then moved in
  assigned = assigned;  // self-assignment changes nothing
  Broyden sameShape(3, 3, noRefreshParameters(2), {}, {});
  sameShape = source;  // same shapes: copied into the existing storage

  const Eigen::VectorXd next = Eigen::Vector3d(0.8, 1.3, 0.95);
  Eigen::VectorXd fromSource = next, fromCopy = next, fromAssigned = next, fromSameShape = next;
  const BroydenInformation s = source.solve(fromSource);
  const BroydenInformation c = copy.solve(fromCopy);
  const BroydenInformation d = assigned.solve(fromAssigned);
  const BroydenInformation e = sameShape.solve(fromSameShape);
  EXPECT_EQ(s.jacobianEvaluations, 0u);
  EXPECT_EQ(c.jacobianEvaluations, 0u);
  EXPECT_EQ(d.jacobianEvaluations, 0u);
  EXPECT_EQ(e.jacobianEvaluations, 0u);
  EXPECT_EQ(fromSource, fromCopy);
  EXPECT_EQ(fromSource, fromAssigned);
  EXPECT_EQ(fromSource, fromSameShape);
  EXPECT_EQ(s.iterations, c.iterations);

  // Copies are independent: resetting one leaves the other warm.
  copy.reset();
  Eigen::VectorXd afterReset = next;
  EXPECT_EQ(copy.solve(afterReset).jacobianEvaluations, 1u);
  Eigen::VectorXd stillWarm = next;
  EXPECT_EQ(source.solve(stillWarm).jacobianEvaluations, 0u);
}

TEST(BroydenLifecycle, MovedFromSolverThrowsUntilAssigned) {
  const StdoutSilencer silence;
  Broyden source(3, 3, noRefreshParameters(), LinearSystem::residual(), LinearSystem::jacobian());
  Eigen::VectorXd x = Eigen::VectorXd::Zero(3);
  source.solve(x);

  Broyden taken(std::move(source));
  Eigen::VectorXd y = Eigen::Vector3d(2.0, 2.0, 2.0);
  EXPECT_EQ(taken.solve(y).jacobianEvaluations, 0u) << "the held Jacobian moves along";
  Eigen::VectorXd z = Eigen::Vector3d(2.0, 2.0, 2.0);
  EXPECT_THROW(source.solve(z), std::bad_function_call);

  Broyden other(3, 3, noRefreshParameters(), LinearSystem::residual(), LinearSystem::jacobian());
  Broyden target(3, 3, noRefreshParameters(), LinearSystem::residual(), LinearSystem::jacobian());
  target = std::move(other);
  EXPECT_THROW(other.solve(z), std::bad_function_call);
  EXPECT_TRUE(target.solve(z).converged);

  target = std::move(target);  // self-move leaves it working
  Eigen::VectorXd w = Eigen::Vector3d(-1.0, 0.0, 1.0);
  EXPECT_TRUE(target.solve(w).converged);

  source = Broyden(3, 3, noRefreshParameters(), LinearSystem::residual(), LinearSystem::jacobian());
  Eigen::VectorXd again = Eigen::Vector3d(2.0, 2.0, 2.0);
  const BroydenInformation revived = source.solve(again);
  EXPECT_TRUE(revived.converged);
  EXPECT_EQ(revived.jacobianEvaluations, 1u);
}

TEST(BroydenLifecycle, FailureMakesTheNextSolveEvaluateAfresh) {
  const StdoutSilencer silence;
  const CountedCallables system = countCalls(LinearSystem::residual(), LinearSystem::jacobian());
  BroydenParameters p = noRefreshParameters();
  Broyden solver(3, 3, p, system.residual, system.jacobian);
  Eigen::VectorXd x = Eigen::VectorXd::Zero(3);
  solver.solve(x);

  // A solver that cannot converge: zero tolerance.
  p.maxIterations = 1;
  p.absoluteTolerance = 0.0;
  Broyden strict(3, 3, p, system.residual, system.jacobian);
  Eigen::VectorXd guess = Eigen::Vector3d(9.0, 9.0, 9.0);
  EXPECT_FALSE(strict.solve(guess).converged);
  EXPECT_EQ(guess, Eigen::Vector3d(9.0, 9.0, 9.0));
  const std::size_t before = system.counts->jacobian;
  strict.solve(guess);
  EXPECT_EQ(system.counts->jacobian, before + 1) << "a failed solve drops the held Jacobian";

  // Settings are copied at construction: changing the host's record afterwards changes nothing.
  p.maxIterations = 0;
  Eigen::VectorXd y = Eigen::Vector3d(1.0, 1.0, 1.0);
  EXPECT_EQ(solver.solve(y).iterations, 1u);
}

}  // namespace
}  // namespace Ondrel::Math::Solvers
