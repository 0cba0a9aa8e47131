#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <new>
#include <ondrel/state/State.hpp>
#include <stdexcept>
#include <string>
#include <utility>

#include "support/BitwiseAssertions.hpp"
#include "support/StdoutSilencer.hpp"

namespace {

using namespace Ondrel::Math;
using Ondrel::Testing::bitwiseEqual;
using Ondrel::Testing::StdoutSilencer;

constexpr double kPi = 3.14159265358979323846;
// Far above the rounding of a few products of unit-size numbers, far below a real error.
constexpr double kTolerance = 1e-12;
const std::string kSizeMessage = "incorrect state size in state indexer !\n";

Eigen::VectorXd vec(std::initializer_list<double> entries) {
  Eigen::VectorXd v(static_cast<Eigen::Index>(entries.size()));
  Eigen::Index i = 0;
  for (double entry : entries) v(i++) = entry;
  return v;
}

// A State of the given values with a quaternion at 0 and a rotation vector at 5.
State mixedState() {
  State state(10);
  state.values = vec({1, 0, 0, 0, 7, 0.1, 0.2, 0.3, 8, 9});
  state.addQuaternion(0);
  state.addRotationVector(5);
  state.nameEntries("body", 0, 0);
  return state;
}

TEST(StateConstruction, SizeConstructorAndItsRefusals) {
  const State state(3);
  EXPECT_EQ(state.values, Eigen::Vector3d::Zero());
  EXPECT_EQ(state.indexer.size, 3);
  EXPECT_TRUE(state.indexer.needsIndexing);
  EXPECT_TRUE(state.indexer.rotations.empty());
  EXPECT_TRUE(state.indexer.components.empty());
  EXPECT_TRUE(state.namedEntries.empty());
  EXPECT_THROW(State(-1), std::invalid_argument);
  EXPECT_THROW(State(std::numeric_limits<long long>::max()), std::bad_alloc);
}

TEST(StateCopies, CopyAndAssignmentAreDeepAndCarryTheFlags) {
  State original = mixedState();
  original.indexer.buildIndex();
  const State copy(original);
  EXPECT_EQ(copy.values, original.values);
  EXPECT_EQ(copy.indexer.size, 10);
  EXPECT_FALSE(copy.indexer.needsIndexing);
  EXPECT_EQ(copy.indexer.rotations, original.indexer.rotations);
  EXPECT_EQ(copy.indexer.components.size(), original.indexer.components.size());
  EXPECT_EQ(copy.namedEntries, original.namedEntries);
  original.values(4) = -1;
  original.indexer.rotations.clear();
  EXPECT_EQ(copy.values(4), 7);
  EXPECT_EQ(copy.indexer.rotations.size(), 2u);

  // Equal lengths reuse the storage; other lengths take the source's.
  State sameLength(10);
  const double* storage = sameLength.values.data();
  sameLength = copy;
  EXPECT_EQ(sameLength.values.data(), storage);
  EXPECT_EQ(sameLength.values, copy.values);
  EXPECT_FALSE(sameLength.indexer.needsIndexing);
  EXPECT_EQ(sameLength.indexer.rotations, copy.indexer.rotations);
  State shorter(2);
  shorter = copy;
  EXPECT_EQ(shorter.values, copy.values);
  EXPECT_EQ(shorter.indexer.size, 10);
}

TEST(StateCopies, SelfAssignmentAndMovesKeepStatesWhole) {
  State state = mixedState();
  state.indexer.buildIndex();
  const State before(state);
  State& alias = state;
  state = alias;
  EXPECT_EQ(state.values, before.values);
  EXPECT_EQ(state.indexer.rotations, before.indexer.rotations);
  EXPECT_EQ(state.indexer.components.size(), before.indexer.components.size());
  EXPECT_EQ(state.namedEntries, before.namedEntries);

  // A moved-from State is an empty one in every member: it needs indexing and has no
  // components, whatever flag and index the source had.
  State moved(std::move(state));
  EXPECT_TRUE(bitwiseEqual(moved, before));
  EXPECT_TRUE(bitwiseEqual(state, State(0)));
  State target(4);
  target = std::move(moved);
  EXPECT_TRUE(bitwiseEqual(target, before));
  EXPECT_TRUE(bitwiseEqual(moved, State(0)));
}

TEST(StateAddIncrement, PlainEntriesAddAndFlagsFollowTheCopy) {
  State state(3);
  state.values = vec({1, 2, 3});
  const State result = addIncrement(state, vec({0.5, -1, 2}));
  EXPECT_EQ(result.values, vec({1.5, 1, 5}));
  EXPECT_EQ(state.values, vec({1, 2, 3}));
  // The argument was indexed; the result was copied before that.
  EXPECT_FALSE(state.indexer.needsIndexing);
  EXPECT_EQ(state.indexer.components.size(), 1u);
  EXPECT_TRUE(result.indexer.needsIndexing);
  EXPECT_TRUE(result.indexer.components.empty());
}

TEST(StateAddIncrement, QuaternionsTurnAndEverythingElseAdds) {
  State state = mixedState();
  ASSERT_EQ(state.incrementSize(), 9);
  // dx: quaternion 0..2, plain entry 3, rotation vector 4..6, plain entries 7..8.
  const Eigen::VectorXd dx = vec({0, 0, kPi / 2, 10, 1, 2, 3, 20, 30});
  const State result = addIncrement(state, dx);
  const Eigen::VectorXd expected =
      vec({std::cos(kPi / 4), 0, 0, std::sin(kPi / 4), 17, 1.1, 2.2, 3.3, 28, 39});
  EXPECT_LT((result.values - expected).norm(), kTolerance);
}

TEST(StateAddIncrement, UnindexableStateComesBackUnchangedEveryTime) {
  State empty(0);
  StdoutSilencer output(StdoutSilencer::kCapture);
  for (int call = 0; call < 2; ++call) {
    const State result = addIncrement(empty, Eigen::VectorXd());
    EXPECT_EQ(output.take(), kSizeMessage);
    EXPECT_EQ(result.values.size(), 0);
    EXPECT_TRUE(empty.indexer.needsIndexing);
  }
}

// Registrations written straight into the registry are not checked when indexed, so addIncrement
// must refuse the components that would read or write outside its vectors.
TEST(StateAddIncrement, RefusesComponentsOutsideTheValuesOrTheIncrement) {
  State outside(8);
  outside.values.setConstant(1.0);
  outside.indexer.rotations[Quaternion][6] = 5;
  try {
    addIncrement(outside, Eigen::VectorXd::Zero(8));
    FAIL() << "no exception";
  } catch (const std::out_of_range& error) {
    const std::string message = error.what();
    EXPECT_NE(message.find("component at 6"), std::string::npos) << message;
    EXPECT_NE(message.find("kind 0"), std::string::npos) << message;
  }
  EXPECT_EQ(outside.values, Eigen::VectorXd::Constant(8, 1.0));

  State negative(8);
  negative.indexer.rotations[RotationVector][-2] = 0;
  EXPECT_THROW(addIncrement(negative, Eigen::VectorXd::Zero(8)), std::out_of_range);

  State consistent = mixedState();
  EXPECT_THROW(addIncrement(consistent, Eigen::VectorXd::Zero(8)), std::out_of_range);
  EXPECT_NO_THROW(addIncrement(consistent, Eigen::VectorXd::Zero(9)));
}

TEST(StateRegistration, IncrementStartFollowsTheRunningCountInAnyOrder) {
  State inOrder(13);
  inOrder.addQuaternion(0);
  inOrder.addRotationVector(6);
  inOrder.addQuaternion(9);

  State reversed(13);
  reversed.addQuaternion(9);
  reversed.addRotationVector(6);
  reversed.addQuaternion(0);
  EXPECT_EQ(reversed.indexer.rotations, inOrder.indexer.rotations);
  EXPECT_EQ(inOrder.indexer.rotations.at(RotationVector).at(6), 5);
  EXPECT_EQ(inOrder.indexer.rotations.at(Quaternion).at(9), 8);
  EXPECT_EQ(inOrder.incrementSize(), 11);
  EXPECT_TRUE(inOrder.indexer.needsIndexing);
  EXPECT_EQ(inOrder.indexer.size, 13);

  // An explicit start off the running count is kept where it was put.
  State explicitStart(10);
  explicitStart.addRotationVector(6, 0);
  explicitStart.addQuaternion(0, 3);
  EXPECT_EQ(explicitStart.indexer.rotations.at(RotationVector).at(6), 0);
}

TEST(StateRegistration, MisplacedStretchesAreRefusedWithoutChange) {
  State state(10);
  state.addQuaternion(2);
  const auto registry = state.indexer.rotations;
  EXPECT_THROW(state.addQuaternion(-1), std::invalid_argument);
  EXPECT_THROW(state.addQuaternion(7), std::invalid_argument);
  EXPECT_THROW(state.addRotationVector(8), std::invalid_argument);
  EXPECT_THROW(state.addRotationVector(5), std::invalid_argument);
  EXPECT_THROW(state.addQuaternion(0), std::invalid_argument);
  EXPECT_THROW(state.addRotationVector(2), std::invalid_argument);
  EXPECT_THROW(state.addRotationVector(6, 1), std::invalid_argument);  // increment overlap
  EXPECT_THROW(state.addRotationVector(6, 7), std::invalid_argument);  // past 9 entries
  EXPECT_THROW(state.addRotationVector(6, -1), std::invalid_argument);
  EXPECT_EQ(state.indexer.rotations, registry);
  state.addRotationVector(6);
  EXPECT_EQ(state.indexer.rotations.at(RotationVector).at(6), 5);

  EXPECT_THROW(state.nameEntries("arm", 10, 0), std::invalid_argument);
  EXPECT_THROW(state.nameEntries("arm", 0, -1), std::invalid_argument);
  EXPECT_TRUE(state.namedEntries.empty());
  state.nameEntries("arm", 2, 2);
  state.nameEntries("arm", 6, 5);
  EXPECT_EQ(state.namedEntries.at("arm").size(), 2u);
}

TEST(StateRegistration, IncrementSizeNeitherIndexesNorPrints) {
  State state(7);
  state.addQuaternion(3);
  StdoutSilencer output(StdoutSilencer::kCapture);
  EXPECT_EQ(state.incrementSize(), 6);
  EXPECT_EQ(State(0).incrementSize(), 0);
  EXPECT_EQ(output.take(), "");
  EXPECT_TRUE(state.indexer.needsIndexing);
  EXPECT_TRUE(state.indexer.components.empty());
}

}  // namespace
