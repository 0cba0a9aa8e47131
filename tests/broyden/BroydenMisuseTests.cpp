#include <gtest/gtest.h>

#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include "support/CountedCallables.hpp"
#include "support/KnownRootSystems.hpp"
#include "support/StdoutSilencer.hpp"

namespace Ondrel::Math::Solvers {
namespace {

using Ondrel::Testing::countCalls;
using Ondrel::Testing::CountedCallables;
using Ondrel::Testing::LinearSystem;
using Ondrel::Testing::noRefreshParameters;
using Ondrel::Testing::StdoutSilencer;

// Expects `call` to throw std::invalid_argument whose message contains every fragment.
template <class Call>
void expectInvalidArgument(Call call, std::initializer_list<std::string> fragments) {
  try {
    call();
    ADD_FAILURE() << "no exception";
  } catch (const std::invalid_argument& error) {
    const std::string message = error.what();
    for (const std::string& fragment : fragments) {
      EXPECT_NE(message.find(fragment), std::string::npos) << message;
    }
  }
}

TEST(BroydenMisuse, ConstructorRefusesNegativeAndOverflowingSizes) {
  expectInvalidArgument(
      [&] {
        Broyden(-1, 3, noRefreshParameters(), LinearSystem::residual(), LinearSystem::jacobian());
      },
      {"state size", "-1"});
  expectInvalidArgument(
      [&] {
        Broyden(3, -2, noRefreshParameters(), LinearSystem::residual(), LinearSystem::jacobian());
      },
      {"system size", "-2"});
  // 2^32 squared does not fit a signed 64-bit count: refused before any allocation.
  EXPECT_THROW(Broyden(3, 1LL << 32, noRefreshParameters(), {}, {}), std::bad_alloc);
  // Fits the count, but not any memory.
  EXPECT_THROW(Broyden(3, 1LL << 31, noRefreshParameters(), {}, {}), std::bad_alloc);
}

TEST(BroydenMisuse, WrongVectorSizesAreRefusedBeforeAnyCall) {
  const CountedCallables system = countCalls(LinearSystem::residual(), LinearSystem::jacobian());
  Broyden solver(3, 3, noRefreshParameters(), system.residual, system.jacobian);
  Eigen::VectorXd x = Eigen::VectorXd::Zero(3);
  const StdoutSilencer silence;
  solver.solve(x);
  const BroydenInformation before = solver.solve(x);  // accepted at once
  const std::size_t calls = system.counts->residual;

  Eigen::VectorXd tooLong = Eigen::VectorXd::Constant(4, 7.0);
  expectInvalidArgument([&] { solver.solve(tooLong); }, {"4", "3"});
  EXPECT_EQ(tooLong, Eigen::VectorXd::Constant(4, 7.0));
  EXPECT_EQ(system.counts->residual, calls);

  Broyden rectangular(4, 3, noRefreshParameters(), system.residual, system.jacobian);
  expectInvalidArgument([&] { rectangular.solve(tooLong); }, {"state size 4", "system size 3"});
  EXPECT_EQ(system.counts->residual, calls);

  // Nothing was dropped by the refused calls: the next solve still starts warm.
  Eigen::VectorXd next = Eigen::Vector3d(3.0, 2.0, 1.0);
  const BroydenInformation& after = solver.solve(next);
  EXPECT_EQ(after.jacobianEvaluations, 0u);
  EXPECT_TRUE(before.converged);
}

TEST(BroydenMisuse, CallablesLeavingWrongSizesAreNamed) {
  auto shortResidual = [](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::VectorXd& f) {
    f = Eigen::Vector2d(1.0, 1.0);
  };
  Broyden badResidual(3, 3, noRefreshParameters(), shortResidual, LinearSystem::jacobian());
  Eigen::VectorXd x = Eigen::Vector3d(1.0, 2.0, 3.0);
  expectInvalidArgument([&] { badResidual.solve(x); }, {"residual function", "2", "3"});
  EXPECT_EQ(x, Eigen::Vector3d(1.0, 2.0, 3.0));

  auto wideJacobian = [](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::MatrixXd& j) {
    j = Eigen::MatrixXd::Identity(3, 4);
  };
  Broyden badJacobian(3, 3, noRefreshParameters(), LinearSystem::residual(), wideJacobian);
  expectInvalidArgument([&] { badJacobian.solve(x); }, {"Jacobian function", "3 x 4", "3 x 3"});
  // The held Jacobian was never trusted: the next attempt evaluates again.
  expectInvalidArgument([&] { badJacobian.solve(x); }, {"Jacobian function"});
  EXPECT_EQ(x, Eigen::Vector3d(1.0, 2.0, 3.0));
}

TEST(BroydenMisuse, ExceptionFromCallableDropsTheHeldJacobian) {
  auto throwing = std::make_shared<bool>(false);
  auto residual = LinearSystem::residual();
  Broyden solver(
      3,
      3,
      noRefreshParameters(),
      [residual, throwing](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
        // Leaves the output half written, at another size, before it fails.
        if (*throwing) {
          f.resize(1);
          throw std::runtime_error("host failure");
        }
        residual(x, f);
      },
      LinearSystem::jacobian());
  Eigen::VectorXd x = Eigen::VectorXd::Zero(3);
  const StdoutSilencer silence;
  const BroydenInformation record = solver.solve(x);
  ASSERT_TRUE(record.converged);

  *throwing = true;
  Eigen::VectorXd guess = Eigen::Vector3d(4.0, 5.0, 6.0);
  EXPECT_THROW(solver.solve(guess), std::runtime_error);
  EXPECT_EQ(guess, Eigen::Vector3d(4.0, 5.0, 6.0));

  *throwing = false;
  const BroydenInformation& after = solver.solve(guess);
  EXPECT_TRUE(after.converged);
  EXPECT_EQ(after.jacobianEvaluations, 1u);
}

TEST(BroydenMisuse, InformationIsUntouchedByExceptions) {
  BroydenParameters p = noRefreshParameters();
  p.maxIterations = 0;
  Broyden solver(3, 3, p, LinearSystem::residual(), {});
  Eigen::VectorXd x = Eigen::Vector3d(1.0, 2.0, 3.0);
  EXPECT_THROW(solver.solve(x), std::bad_function_call);
  // The record still holds construction's values, not a half-written failure.
  Eigen::VectorXd root = LinearSystem::root();
  const BroydenInformation& info = solver.solve(root);
  EXPECT_TRUE(info.converged);
  EXPECT_TRUE(info.message.empty());
  EXPECT_EQ(info.jacobianEvaluations, 0u);
}

}  // namespace
}  // namespace Ondrel::Math::Solvers
