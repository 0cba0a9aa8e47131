// Faults found by the fuzz targets, each pinned by the input that found it.
#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "ReliabilitySupport.hpp"

namespace Ondrel::Reliability {
namespace {

// A rotation vector registered with an explicit increment position at the very end of the
// increment vector, then a quaternion before it: the quaternion shortens the increment vector by
// one, which left the rotation vector's entries hanging past its end, so every addIncrement with
// an increment of incrementSize() entries threw.
TEST(StateRegistrationRegression, QuaternionPushingAnExplicitIncrementPastTheEndIsRefused) {
  State state(18);
  state.addRotationVector(13, 15);
  state.addRotationVector(7);
  const State before = state;
  try {
    state.addQuaternion(3);
    ADD_FAILURE() << "no exception";
  } catch (const std::invalid_argument& error) {
    const std::string message = error.what();
    EXPECT_NE(message.find("at 13 from 15 would no longer fit in the 17"), std::string::npos)
        << message;
  }
  EXPECT_TRUE(bitwiseEqual(state, before));
  EXPECT_EQ(state.incrementSize(), 18);
  EXPECT_NO_THROW(addIncrement(state, Eigen::VectorXd::Zero(18)));

  // Registered at the running count, the same stretches make room for the quaternion.
  State consistent(18);
  consistent.addRotationVector(13);
  consistent.addRotationVector(7);
  consistent.addQuaternion(3);
  consistent.values.segment<4>(3) << 1, 0, 0, 0;
  ASSERT_EQ(consistent.incrementSize(), 17);
  const State advanced = addIncrement(consistent, Eigen::VectorXd::LinSpaced(17, 0, 16));
  EXPECT_EQ(advanced.values(13), 12.0) << "the rotation vector takes increment entries 12 to 14";
}

// With the OpenBLAS backend, a Jacobian holding NaN went to LAPACKE's dgetrf, which refuses it
// without writing the pivots; the pivots applied anyway were garbage and the host process died.
// Every build must give the outcome of Eigen's own factorisation: NaN fails as non-finite, while
// an infinity may leave a finite inverse that still converges. The expected records below are
// that outcome, so the same test holds the plain and the backend build to it.
const Eigen::VectorXd& valuesOf(const Eigen::VectorXd& x) { return x; }
const Eigen::VectorXd& valuesOf(const State& state) { return state.values; }

template <class Problem>
void solveWithPoisonedJacobian(int poisonedCall,
                               double poison,
                               Eigen::Index row,
                               Eigen::Index column,
                               bool expectConverged,
                               std::uint64_t expectedIterations,
                               std::uint64_t expectedJacobians) {
  const StdoutSilencer silence;
  SCOPED_TRACE(testing::Message() << "Jacobian call " << poisonedCall << " holds " << poison
                                  << " at (" << row << ", " << column << ")");
  auto calls = std::make_shared<int>(0);
  JacobianFunction jacobian = [=](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::MatrixXd& j) {
    j = Problem::derivative(x);
    if (++*calls == poisonedCall) j(row, column) = poison;
  };
  ResidualFunction residual = [](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
    f = Problem::evaluate(x);
  };
  const auto guess = Problem::guess();
  const Eigen::Index n = valuesOf(guess).size();
  Broyden solver(
      n, Problem::derivative(valuesOf(guess)).rows(), convergingParameters(), residual, jacobian);
  auto variables = guess;
  const BroydenInformation* record = nullptr;
  record = &solver.solve(variables);
  EXPECT_EQ(record->converged, expectConverged);
  EXPECT_EQ(record->iterations, expectedIterations);
  EXPECT_EQ(record->jacobianEvaluations, expectedJacobians);
  if (expectConverged) {
    EXPECT_TRUE(record->message.empty());
    EXPECT_LT(Problem::evaluate(valuesOf(variables)).norm(), 1e-10);
  } else {
    EXPECT_EQ(record->message, "Non-finite values encountered in Broyden solver");
    EXPECT_TRUE(bitwiseEqual(variables, guess));
  }
}

TEST(NonFiniteJacobianRegression, EveryBuildGivesEigensOutcomeWithoutCrashing) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  // Poisoned at the first evaluation or at the first refresh. Failing runs make 40 iterations on
  // NaN norms, each third one refreshing: 14 Jacobians.
  for (int call : {1, 2}) {
    solveWithPoisonedJacobian<MildlyNonlinearSystem>(call, kNaN, 0, 1, false, 40, 14);
    solveWithPoisonedJacobian<MildlyNonlinearSystem>(call, -kInfinity, 0, 1, false, 40, 14);
    solveWithPoisonedJacobian<MixedStateSystem>(call, kNaN, 4, 2, false, 40, 14);
    solveWithPoisonedJacobian<MixedStateSystem>(call, kInfinity, 0, 6, false, 40, 14);
  }
  solveWithPoisonedJacobian<MildlyNonlinearSystem>(1, kInfinity, 0, 0, true, 8, 3);
  solveWithPoisonedJacobian<MixedStateSystem>(1, -kInfinity, 8, 8, true, 9, 3);
}

}  // namespace
}  // namespace Ondrel::Reliability
