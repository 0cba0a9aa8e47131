#include <gtest/gtest.h>

#include <functional>
#include <utility>

#include "support/BitwiseAssertions.hpp"
#include "support/CountedCallables.hpp"
#include "support/KnownRootSystems.hpp"
#include "support/StdoutSilencer.hpp"

namespace Ondrel::Math::Solvers {
namespace {

using Ondrel::Testing::bitwiseEqual;
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

// A record held by reference stays valid through assignments and then shows the source's last
// record, the termination included.
TEST(BroydenLifecycle, ARecordHeldByReferenceFollowsCopyAndMoveAssignment) {
  const StdoutSilencer silence;
  Broyden source(3,
                 3,
                 noRefreshParameters(),
                 MildlyNonlinearSystem::residual(),
                 MildlyNonlinearSystem::jacobian());
  Eigen::VectorXd x = Eigen::Vector3d(1.2, 0.9, 1.1);
  const BroydenInformation sourceRecord = source.solve(x);
  ASSERT_EQ(sourceRecord.termination, BroydenTermination::kConverged);
  for (const bool move : {false, true}) {
    BroydenParameters noIterations = noRefreshParameters();
    noIterations.maxIterations = 0;
    Broyden target(3, 3, noIterations, LinearSystem::residual(), LinearSystem::jacobian());
    Eigen::VectorXd y = Eigen::Vector3d(5.0, 5.0, 5.0);
    const BroydenInformation& held = target.solve(y);
    ASSERT_EQ(held.termination, BroydenTermination::kIterationLimit);
    Broyden copy = source;
    if (move) {
      target = std::move(copy);
    } else {
      target = copy;
    }
    EXPECT_TRUE(bitwiseEqual(held, sourceRecord)) << (move ? "move" : "copy");
  }
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

// After a failure the next solve is exactly a new solver's: it evaluates a fresh Jacobian, and
// when it converges its record is whole, with none of the failure left in it.
TEST(BroydenLifecycle, FailureMakesTheNextSolveExactlyANewSolversOne) {
  const StdoutSilencer silence;
  const CountedCallables system =
      countCalls(MildlyNonlinearSystem::residual(), MildlyNonlinearSystem::jacobian());
  BroydenParameters p = noRefreshParameters();
  p.maxIterations = 2;
  Broyden solver(3, 3, p, system.residual, system.jacobian);
  // Close enough to the root (1, 1, 1) for one Newton step to reach the tolerance.
  const Eigen::VectorXd near = Eigen::Vector3d(1.0 + 1e-6, 1.0 - 1e-6, 1.0);
  Eigen::VectorXd x = near;
  ASSERT_TRUE(solver.solve(x).converged);

  // Two iterations do not get there from the guess.
  Eigen::VectorXd guess = MildlyNonlinearSystem::guess();
  const BroydenInformation& failed = solver.solve(guess);
  EXPECT_FALSE(failed.converged);
  EXPECT_EQ(failed.message, "Maximum number of iterations reached");
  EXPECT_EQ(guess, MildlyNonlinearSystem::guess());

  const std::size_t before = system.counts->jacobian;
  Eigen::VectorXd ours = near;
  const BroydenInformation& after = solver.solve(ours);
  EXPECT_EQ(system.counts->jacobian, before + 1) << "a failed solve drops the held Jacobian";
  Broyden fresh(3, 3, p, MildlyNonlinearSystem::residual(), MildlyNonlinearSystem::jacobian());
  Eigen::VectorXd theirs = near;
  const BroydenInformation& expected = fresh.solve(theirs);
  ASSERT_TRUE(expected.converged && expected.iterations > 0 && expected.message.empty());
  EXPECT_TRUE(bitwiseEqual(after, expected));
  EXPECT_TRUE(bitwiseEqual(ours, theirs));

  // Settings are copied at construction: changing the host's record afterwards changes nothing.
  p.maxIterations = 0;
  Eigen::VectorXd y = near;
  EXPECT_EQ(solver.solve(y).iterations, 1u);
}

}  // namespace
}  // namespace Ondrel::Math::Solvers
