#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>
#include <ondrel/state/RotationComponents.hpp>
#include <stdexcept>

namespace {

using namespace Ondrel::Math;

constexpr double kPi = 3.14159265358979323846;
// Far above the rounding of a few products of unit-size numbers, far below a real error.
constexpr double kTolerance = 1e-12;

Eigen::VectorXd vec(std::initializer_list<double> entries) {
  Eigen::VectorXd v(static_cast<Eigen::Index>(entries.size()));
  Eigen::Index i = 0;
  for (double entry : entries) v(i++) = entry;
  return v;
}

Eigen::VectorXd turned(const Eigen::VectorXd& q, const Eigen::VectorXd& increment) {
  Eigen::VectorXd out(4);
  addQuaternionIncrement(q, increment, out);
  return out;
}

const Eigen::VectorXd kIdentity = vec({1, 0, 0, 0});

TEST(QuaternionIncrement, QuarterTurnAboutEachAxis) {
  const double c = std::cos(kPi / 4);
  const double s = std::sin(kPi / 4);
  EXPECT_LT((turned(kIdentity, vec({kPi / 2, 0, 0})) - vec({c, s, 0, 0})).norm(), kTolerance);
  EXPECT_LT((turned(kIdentity, vec({0, kPi / 2, 0})) - vec({c, 0, s, 0})).norm(), kTolerance);
  EXPECT_LT((turned(kIdentity, vec({0, 0, kPi / 2})) - vec({c, 0, 0, s})).norm(), kTolerance);
}

TEST(QuaternionIncrement, IncrementMultipliesOnTheLeft) {
  const double c = std::cos(kPi / 4);
  const double s = std::sin(kPi / 4);
  // D (quarter turn about z) * Q (quarter turn about x) = (1, 1, 1, 1) / 2; Q * D would give
  // (1, 1, -1, 1) / 2.
  const Eigen::VectorXd quarterTurnX = vec({c, s, 0, 0});
  EXPECT_LT((turned(quarterTurnX, vec({0, 0, kPi / 2})) - vec({0.5, 0.5, 0.5, 0.5})).norm(),
            kTolerance);

  // Against Eigen's own angle-axis algebra, for a general orientation and increment.
  const Eigen::Vector3d increment(0.3, -1.2, 0.7);
  const Eigen::Quaterniond current =
      Eigen::Quaterniond(Eigen::AngleAxisd(0.9, Eigen::Vector3d(1, 2, -2).normalized()));
  const Eigen::Quaterniond expected =
      Eigen::Quaterniond(Eigen::AngleAxisd(increment.norm(), increment.normalized())) * current;
  const Eigen::VectorXd result =
      turned(vec({current.w(), current.x(), current.y(), current.z()}), increment);
  EXPECT_LT((result - vec({expected.w(), expected.x(), expected.y(), expected.z()})).norm(),
            kTolerance);
}

TEST(QuaternionIncrement, ZeroAndSmallAnglesTakeTheLimitValues) {
  // No normalisation: a zero increment returns a non-unit quaternion as it was.
  const Eigen::VectorXd scaled = vec({2, 0.5, -1, 3});
  EXPECT_EQ(turned(scaled, Eigen::Vector3d::Zero()), scaled);

  // 1e-11 rad: squared angle 1e-22, under the cut, so D = (1, x / 2, 0, 0) exactly.
  EXPECT_EQ(turned(kIdentity, vec({1e-11, 0, 0})), vec({1, 0.5e-11, 0, 0}));
  // Just over the cut the exact formula agrees with the limit to double precision.
  const Eigen::VectorXd overCut = turned(kIdentity, vec({0, 1.001e-10, 0}));
  EXPECT_DOUBLE_EQ(overCut(0), 1.0);
  EXPECT_DOUBLE_EQ(overCut(2), 0.5 * 1.001e-10);
  // A micro-radian is far above the cut: the scalar part is cos(θ/2), 1.25e-13 short of 1, which
  // a cut placed on the angle rather than on its square would round away.
  const Eigen::VectorXd microTurn = turned(kIdentity, vec({0, 0, 1e-6}));
  EXPECT_EQ(microTurn(0), std::cos(0.5e-6));
  EXPECT_LT(microTurn(0), 1.0);
}

TEST(QuaternionIncrement, HalfTurnAndNegativeScalarPart) {
  const Eigen::VectorXd halfTurn = turned(kIdentity, vec({kPi, 0, 0}));
  EXPECT_EQ(halfTurn(0), std::cos(kPi / 2));
  EXPECT_NEAR(halfTurn(1), 1.0, kTolerance);
  EXPECT_EQ(halfTurn(2), 0.0);

  // w = -1 is the identity rotation with the other sign; the sign is kept, not folded.
  const Eigen::VectorXd turnedNegative = turned(vec({-1, 0, 0, 0}), vec({kPi / 2, 0, 0}));
  EXPECT_LT((turnedNegative - vec({-std::cos(kPi / 4), -std::sin(kPi / 4), 0, 0})).norm(),
            kTolerance);
}

TEST(QuaternionIncrement, OutputMayAliasTheInputAndMisuseIsRefused) {
  Eigen::VectorXd q = kIdentity;
  addQuaternionIncrement(q, vec({0, 0, kPi / 2}), q);
  EXPECT_NEAR(q(3), std::sin(kPi / 4), kTolerance);

  Eigen::VectorXd out = vec({7, 7, 7, 7, 7});
  EXPECT_THROW(addQuaternionIncrement(kIdentity, vec({0, 0}), out.head(4)), std::invalid_argument);
  EXPECT_THROW(addQuaternionIncrement(kIdentity, vec({0, 0, 0}), out), std::invalid_argument);
  EXPECT_THROW(addQuaternionIncrement(vec({1, 0, 0}), vec({0, 0, 0}), out.head(4)),
               std::invalid_argument);
  EXPECT_EQ(out, vec({7, 7, 7, 7, 7}));
}

TEST(QuaternionComponentOps, OperandOrderReachesTheProduct) {
  const Eigen::VectorXd i = vec({0, 1, 0, 0});
  const Eigen::VectorXd j = vec({0, 0, 1, 0});
  Eigen::VectorXd out(4);
  quaternionPlus(i, j, out);
  EXPECT_EQ(out, vec({0, 0, 0, 1}));
  quaternionPlus(j, i, out);
  EXPECT_EQ(out, vec({0, 0, 0, -1}));

  const Eigen::VectorXd a = vec({1, 2, 3, 4});
  const Eigen::VectorXd b = vec({0.5, -1, 2, 0.25});
  Eigen::VectorXd difference(4);
  quaternionMinus(a, b, difference);
  quaternionPlus(difference, b, out);
  EXPECT_LT((out - a).norm(), kTolerance);

  quaternionInverse(a, out);
  EXPECT_LT((out - vec({1, -2, -3, -4}) / 30.0).norm(), kTolerance);

  // A shorter output takes the leading parameters only.
  Eigen::VectorXd leading = vec({9, 9});
  quaternionInverse(a, leading);
  EXPECT_LT((leading - vec({1.0 / 30, -2.0 / 30})).norm(), kTolerance);
  EXPECT_THROW(quaternionInverse(vec({0, 0, 0, 0}), out), std::domain_error);
}

TEST(RotationVectorComponentOps, ComposeSubtractAndNegate) {
  const Eigen::VectorXd quarterX = vec({kPi / 2, 0, 0});
  const Eigen::VectorXd quarterY = vec({0, kPi / 2, 0});
  Eigen::VectorXd xThenY(3);
  Eigen::VectorXd yThenX(3);
  rotationVectorPlus(quarterX, quarterY, xThenY);
  rotationVectorPlus(quarterY, quarterX, yThenX);
  // Both are 2 pi / 3 turns, about (1, 1, 1) and (1, 1, -1).
  const double third = 2 * kPi / 3 / std::sqrt(3.0);
  EXPECT_LT((xThenY - vec({third, third, third})).norm(), kTolerance);
  EXPECT_LT((yThenX - vec({third, third, -third})).norm(), kTolerance);

  Eigen::VectorXd back(3);
  rotationVectorMinus(xThenY, quarterY, back);
  EXPECT_LT((back - quarterX).norm(), kTolerance);

  Eigen::VectorXd negated(3);
  rotationVectorInverse(vec({0.1, -0.2, 0.3}), negated);
  EXPECT_EQ(negated, vec({-0.1, 0.2, -0.3}));
  Eigen::VectorXd tooLong(4);
  EXPECT_THROW(rotationVectorInverse(quarterX, tooLong), std::invalid_argument);
}

}  // namespace
