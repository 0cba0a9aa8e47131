// Faults found by the fuzz targets, each pinned by the input that found it.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "ReliabilityProblems.hpp"

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
  EXPECT_TRUE(sameBits(state, before));
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

}  // namespace
}  // namespace Ondrel::Reliability
