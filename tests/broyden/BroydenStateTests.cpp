#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>
#include <stdexcept>
#include <string>

#include "support/BitwiseAssertions.hpp"
#include "support/CountedCallables.hpp"
#include "support/KnownRootSystems.hpp"
#include "support/StdoutSilencer.hpp"

namespace Ondrel::Math::Solvers {
namespace {

using Ondrel::Math::State;
using Ondrel::Testing::bitwiseEqual;
using Ondrel::Testing::countCalls;
using Ondrel::Testing::CountedCallables;
using Ondrel::Testing::MildlyNonlinearSystem;
using Ondrel::Testing::noRefreshParameters;
using Ondrel::Testing::PoseSystem;
using Ondrel::Testing::StdoutSilencer;

// Far above the rounding of a few iterations on unit quaternions, far below a real error.
constexpr double kRoundingTolerance = 1e-12;
constexpr double kRootTolerance = 1e-9;

TEST(BroydenStateSolve, QuaternionStretchIsTurnedToTheTargetOrientation) {
  PoseSystem system;
  State state = system.start();
  ASSERT_EQ(state.incrementSize(), 5);
  Broyden solver(6, 5, noRefreshParameters(), system.residual(), system.jacobian());

  const auto rotations = state.indexer.rotations;
  const auto names = state.namedEntries;
  StdoutSilencer capture(StdoutSilencer::kCapture);
  const BroydenInformation& info = solver.solve(state);
  const std::string output = capture.take();

  ASSERT_TRUE(info.converged) << info.message;
  EXPECT_GT(info.iterations, 1u);
  EXPECT_NE(output.find("error: "), std::string::npos);
  const Eigen::Vector4d q = state.values.head<4>();
  EXPECT_NEAR(q.norm(), 1.0, kRoundingTolerance) << "turned, not summed";
  const Eigen::Vector4d expected(
      system.target.w(), system.target.x(), system.target.y(), system.target.z());
  EXPECT_LT(std::min((q - expected).norm(), (q + expected).norm()), kRootTolerance);
  EXPECT_LT((state.values.tail<2>() - system.position).norm(), kRootTolerance);

  // Only the values changed: the caller's registry, names and flags came back as they were.
  EXPECT_EQ(state.indexer.rotations, rotations);
  EXPECT_EQ(state.namedEntries, names);
  EXPECT_TRUE(state.indexer.needsIndexing);
  EXPECT_TRUE(state.indexer.components.empty());
}

// With more values than increment entries, each increment entry is weighed by the value it
// moves, and a quaternion's three by the quaternion's norm. A constant residual F = (2, 2, 2, 4)
// and the identity Jacobian make the first step exactly -F. The quaternion (0, 3, 0, 0) is not
// a unit one, and with both tolerances 0.5 its entries weigh 1 / (0.5 * 3 + 0.5) = 1/2; the plain
// entry 7 weighs 1 / (0.5 * 7 + 0.5) = 1/4. Every weighted entry of the step is then 1, and so is
// the weighted step norm, exactly.
TEST(BroydenStateSolve, WeightedStepNormWeighsQuaternionEntriesByTheirNorm) {
  BroydenParameters p = noRefreshParameters();
  p.maxIterations = 1;
  p.absoluteTolerance = 0.5;  // |F| = sqrt(28) stays above 10 times this: no convergence
  p.relativeTolerance = 0.5;
  Broyden solver(
      5,
      4,
      p,
      [](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::VectorXd& f) {
        f = Eigen::Vector4d(2.0, 2.0, 2.0, 4.0);
      },
      [](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::MatrixXd& j) { j.setIdentity(4, 4); });
  State state(5);
  state.values << 0.0, 3.0, 0.0, 0.0, 7.0;
  state.addQuaternion(0);
  const State guess = state;
  const BroydenInformation& info = solver.solve(state);
  ASSERT_FALSE(info.converged);
  EXPECT_EQ(info.error, 1.0);
  EXPECT_TRUE(bitwiseEqual(state, guess)) << "a failed solve leaves the caller's State as passed";
}

TEST(BroydenStateSolve, PlainStateFollowsTheVectorSolve) {
  const Eigen::VectorXd start = Eigen::Vector3d(1.3, 0.8, 1.2);
  for (int method : {0, 1, 2}) {
    Broyden vectorSolver(3,
                         3,
                         noRefreshParameters(method),
                         MildlyNonlinearSystem::residual(),
                         MildlyNonlinearSystem::jacobian());
    Broyden stateSolver(3,
                        3,
                        noRefreshParameters(method),
                        MildlyNonlinearSystem::residual(),
                        MildlyNonlinearSystem::jacobian());
    Eigen::VectorXd x = start;
    State state(3);
    state.values = start;
    const StdoutSilencer silence;
    const BroydenInformation vectorInfo = vectorSolver.solve(x);
    const BroydenInformation stateInfo = stateSolver.solve(state);
    EXPECT_TRUE(stateInfo.converged);
    EXPECT_EQ(stateInfo.iterations, vectorInfo.iterations) << "method " << method;
    EXPECT_EQ(stateInfo.jacobianEvaluations, vectorInfo.jacobianEvaluations);
    EXPECT_LT((state.values - x).norm(), kRoundingTolerance);
    EXPECT_NEAR(stateInfo.error, vectorInfo.error, 1e-6 * vectorInfo.error + 1e-300);
  }
}

TEST(BroydenStateSolve, RotationVectorStretchAdvancesByAddition) {
  const Eigen::Vector3d target(0.0, 0.5, 0.0);
  Broyden solver(
      3,
      3,
      noRefreshParameters(),
      [target](const Eigen::Ref<const Eigen::VectorXd>& v, Eigen::VectorXd& f) { f = v - target; },
      [](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::MatrixXd& j) { j.setIdentity(3, 3); });
  State state(3);
  state.values = Eigen::Vector3d(0.5, 0.0, 0.0);
  state.addRotationVector(0);
  const StdoutSilencer silence;
  const BroydenInformation& info = solver.solve(state);
  EXPECT_TRUE(info.converged);
  EXPECT_EQ(info.iterations, 1u);
  // Composition of the two rotations would not land on the target in one step.
  EXPECT_EQ(state.values, target);
}

TEST(BroydenStateSolve, CallerStateIsUntouchedUnlessAnIterationConverges) {
  PoseSystem system;
  BroydenParameters p = noRefreshParameters();
  p.maxIterations = 0;
  Broyden solver(6, 5, p, system.residual(), system.jacobian());

  State state = system.start();
  state.indexer.buildIndex();  // an indexed State keeps its flag clear throughout
  const State guess = state;
  const BroydenInformation& failed = solver.solve(state);
  EXPECT_FALSE(failed.converged);
  EXPECT_EQ(failed.message, "Maximum number of iterations reached");
  EXPECT_EQ(failed.jacobianEvaluations, 1u);
  EXPECT_EQ(state.values, guess.values);
  EXPECT_FALSE(state.indexer.needsIndexing);

  // At the root already: accepted at once, nothing printed, nothing written.
  State root = system.root();
  const State before = root;
  StdoutSilencer capture(StdoutSilencer::kCapture);
  const BroydenInformation& accepted = solver.solve(root);
  EXPECT_EQ(capture.take(), "");
  EXPECT_TRUE(accepted.converged);
  EXPECT_EQ(accepted.iterations, 0u);
  EXPECT_EQ(root.values, before.values);
  EXPECT_TRUE(root.indexer.needsIndexing);
}

TEST(BroydenStateSolve, VectorAndStateSolvesShareTheHeldJacobian) {
  const CountedCallables system =
      countCalls(MildlyNonlinearSystem::residual(), MildlyNonlinearSystem::jacobian());
  BroydenParameters p = noRefreshParameters();
  Broyden solver(3, 3, p, system.residual, system.jacobian);
  Eigen::VectorXd x = Eigen::Vector3d(1.1, 0.95, 1.05);
  StdoutSilencer capture(StdoutSilencer::kCapture);
  solver.solve(x);
  State state(3);
  state.values = Eigen::Vector3d(1.05, 1.02, 0.97);
  const BroydenInformation& warm = solver.solve(state);
  const std::string output = capture.take();
  EXPECT_TRUE(warm.converged);
  EXPECT_EQ(warm.jacobianEvaluations, 0u);
  EXPECT_NE(output.find(" nJ: 0\n"), std::string::npos) << output;

  // A failed State solve makes the next vector solve evaluate afresh.
  BroydenParameters strict = p;
  strict.absoluteTolerance = 0.0;
  strict.maxIterations = 2;
  Broyden shared(3, 3, strict, system.residual, system.jacobian);
  State stuck(3);
  stuck.values = Eigen::Vector3d(1.2, 1.2, 1.2);
  EXPECT_FALSE(shared.solve(stuck).converged);
  const std::size_t before = system.counts->jacobian;
  Eigen::VectorXd y = Eigen::Vector3d(1.2, 1.2, 1.2);
  shared.solve(y);
  EXPECT_EQ(system.counts->jacobian, before + 1);
}

TEST(BroydenStateSolve, MismatchedStatesAreRefusedBeforeAnyCall) {
  PoseSystem system;
  const CountedCallables counted = countCalls(system.residual(), system.jacobian());
  Broyden solver(6, 5, noRefreshParameters(), counted.residual, counted.jacobian);
  auto expectRefused = [&](State& state, std::initializer_list<std::string> fragments) {
    const State before = state;
    try {
      solver.solve(state);
      ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& error) {
      for (const std::string& fragment : fragments) {
        EXPECT_NE(std::string(error.what()).find(fragment), std::string::npos) << error.what();
      }
    }
    EXPECT_EQ(state.values, before.values);
    EXPECT_EQ(state.indexer.needsIndexing, before.indexer.needsIndexing);
  };

  State wrongLength(7);
  expectRefused(wrongLength, {"7", "6"});

  State noQuaternion(6);  // six plain entries: six increment entries, not five
  expectRefused(noQuaternion, {"6", "5"});

  // Fewer increment entries than equations is refused as surely as more.
  Broyden wider(3, 4, noRefreshParameters(), counted.residual, counted.jacobian);
  State three(3);
  EXPECT_THROW(wider.solve(three), std::invalid_argument);

  State twoQuaternions = system.start();
  twoQuaternions.indexer.rotations[Ondrel::Math::Quaternion][4] = 3;  // edited by hand
  twoQuaternions.indexer.needsIndexing = true;
  expectRefused(twoQuaternions, {"6 increment entries", "5"});

  // A stale index, flagged as current, whose block reaches past the values.
  State stale(6);
  Ondrel::Math::StateComponent block;
  block.size = 7;
  block.incrementSize = 5;
  stale.indexer.components[0] = block;
  stale.indexer.needsIndexing = false;
  expectRefused(stale, {"component at 0", "outside its 6 values"});

  // A hand-made quaternion of the wrong shape would only fail inside the first step.
  State misshapen(6);
  Ondrel::Math::StateComponent turn;
  turn.kind = Ondrel::Math::Quaternion;
  turn.size = 3;
  turn.incrementSize = 3;
  Ondrel::Math::StateComponent rest;
  rest.start = 3;
  rest.size = 3;
  rest.incrementStart = 3;
  rest.incrementSize = 2;
  misshapen.indexer.components = {{0, turn}, {3, rest}};
  misshapen.indexer.needsIndexing = false;
  expectRefused(misshapen, {"quaternion", "not 4 and 3"});

  // An explicit increment position on top of the plain entries' running count, covering two
  // of their entries or only one.
  for (long long incrementStart : {0LL, 1LL}) {
    State overlapping(6);
    overlapping.addQuaternion(2, incrementStart);
    ASSERT_EQ(overlapping.incrementSize(), 5);
    expectRefused(overlapping, {"shares increment entries"});
  }
  EXPECT_EQ(counted.counts->total(), 0u);
}

TEST(BroydenStateSolve, EmptyStateReportsItsIndexingOnEveryStep) {
  BroydenParameters p = noRefreshParameters();
  p.absoluteTolerance = -1.0;  // nothing passes, not even an empty residual
  p.maxIterations = 3;
  Broyden solver(
      0,
      0,
      p,
      [](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::VectorXd& f) { f.resize(0); },
      [](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::MatrixXd& j) { j.resize(0, 0); });
  State empty(0);
  StdoutSilencer capture(StdoutSilencer::kCapture);
  const BroydenInformation& info = solver.solve(empty);
  const std::string output = capture.take();
  EXPECT_FALSE(info.converged);
  const std::string line = "incorrect state size in state indexer !\n";
  EXPECT_EQ(output, line + line + line);
}

}  // namespace
}  // namespace Ondrel::Math::Solvers
