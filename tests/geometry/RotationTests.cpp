#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>
#include <memory>
#include <ondrel/geometry/Quaternion.hpp>
#include <ondrel/geometry/RotationVector.hpp>
#include <stdexcept>

namespace {

using Ondrel::Geometry::Rotation::ABC;
using Ondrel::Geometry::Rotation::Quaternion;
using Ondrel::Geometry::Rotation::RotationVector;

constexpr double kPi = 3.14159265358979323846;
// Far above the rounding of a few products of unit-size numbers, far below a real error.
constexpr double kTolerance = 1e-12;

Eigen::VectorXd vec(std::initializer_list<double> entries) {
  Eigen::VectorXd v(static_cast<Eigen::Index>(entries.size()));
  Eigen::Index i = 0;
  for (double entry : entries) v(i++) = entry;
  return v;
}

Quaternion quaternion(double w, double x, double y, double z) {
  return Quaternion(vec({w, x, y, z}));
}

RotationVector rotationVector(double x, double y, double z) {
  return RotationVector(vec({x, y, z}));
}

TEST(QuaternionConventions, ParametersAreScalarFirstInAndOut) {
  const Quaternion q = quaternion(1, 2, 3, 4);
  EXPECT_EQ(q.unknowns(), vec({1, 2, 3, 4}));
  EXPECT_EQ(q.asQuaternion().w(), 1.0);
  EXPECT_EQ(q.asQuaternion().x(), 2.0);
  EXPECT_EQ(q.asQuaternion().z(), 4.0);
  EXPECT_EQ(Quaternion().unknowns(), vec({1, 0, 0, 0}));
}

TEST(QuaternionConventions, WrongLengthIsRejected) {
  EXPECT_THROW(Quaternion(vec({1, 0, 0})), std::invalid_argument);
  EXPECT_THROW(Quaternion(vec({1, 0, 0, 0, 0})), std::invalid_argument);
  EXPECT_THROW(RotationVector(vec({1, 0, 0, 0})), std::invalid_argument);
  EXPECT_THROW(RotationVector(Eigen::VectorXd()), std::invalid_argument);
}

TEST(QuaternionProduct, HamiltonProductWithThisOnTheLeftAndNoNormalisation) {
  // i * j = k but j * i = -k.
  const Quaternion i = quaternion(0, 1, 0, 0);
  const Quaternion j = quaternion(0, 0, 1, 0);
  EXPECT_EQ((i * j).unknowns(), vec({0, 0, 0, 1}));
  EXPECT_EQ((j * i).unknowns(), vec({0, 0, 0, -1}));

  // Non-unit operands keep their scale: |a * b| = |a| |b|.
  const Quaternion a = quaternion(1, 2, 3, 4);
  const Quaternion b = quaternion(5, 6, 7, 8);
  EXPECT_EQ((a * b).unknowns(), vec({-60, 12, 30, 24}));
  EXPECT_EQ((a + b).unknowns(), (a * b).unknowns());
}

TEST(QuaternionInverse, ConjugateOverSquaredNormAndRoundTrips) {
  Quaternion q = quaternion(1, 2, 3, 4);
  const Quaternion original = q;
  q.inverse();
  EXPECT_LT((q.unknowns() - vec({1, -2, -3, -4}) / 30.0).norm(), kTolerance);
  EXPECT_LT(((original * q).unknowns() - vec({1, 0, 0, 0})).norm(), kTolerance);

  const Quaternion b = quaternion(0.5, -1, 2, 0.25);
  EXPECT_LT(((original - original).unknowns() - vec({1, 0, 0, 0})).norm(), kTolerance);
  EXPECT_LT((((original - b) + b).unknowns() - original.unknowns()).norm(), kTolerance);
}

TEST(QuaternionInverse, ZeroQuaternionThrowsAndStaysUnchanged) {
  Quaternion zero = quaternion(0, 0, 0, 0);
  EXPECT_THROW(zero.inverse(), std::domain_error);
  EXPECT_EQ(zero.unknowns(), vec({0, 0, 0, 0}));
  EXPECT_THROW(quaternion(1, 0, 0, 0) - zero, std::domain_error);
}

TEST(QuaternionProduct, AcceptsAnyRotationAsRightOperand) {
  const Quaternion q = quaternion(1, 2, 3, 4);
  const RotationVector quarterTurnZ = rotationVector(0, 0, kPi / 2);
  const Quaternion expected = q * quaternion(std::cos(kPi / 4), 0, 0, std::sin(kPi / 4));
  EXPECT_LT(((q * quarterTurnZ).unknowns() - expected.unknowns()).norm(), kTolerance);
  const Quaternion backAgain = (q * quarterTurnZ) - quarterTurnZ;
  EXPECT_LT((backAgain.unknowns() - q.unknowns()).norm(), kTolerance);
}

TEST(RotationVectorAlgebra, CompositionMatchesEigenAngleAxis) {
  const Eigen::Vector3d a(0.3, -0.2, 0.9);
  const Eigen::Vector3d b(-1.1, 0.4, 0.2);
  const Eigen::AngleAxisd expected(Eigen::Quaterniond(Eigen::AngleAxisd(a.norm(), a.normalized())) *
                                   Eigen::Quaterniond(Eigen::AngleAxisd(b.norm(), b.normalized())));
  const RotationVector sum = RotationVector(a) + RotationVector(b);
  EXPECT_LT((sum.unknowns() - expected.axis() * expected.angle()).norm(), kTolerance);
  EXPECT_EQ((RotationVector(a) * RotationVector(b)).unknowns(), sum.unknowns());
  // Not commutative: the operand order reaches the product.
  const RotationVector swapped = RotationVector(b) + RotationVector(a);
  EXPECT_GT((swapped.unknowns() - sum.unknowns()).norm(), 1e-3);
}

TEST(RotationVectorAlgebra, ResultAngleIsFoldedIntoZeroToPi) {
  const RotationVector threeEighths = rotationVector(0, 0, 0.75 * kPi);
  // 1.5 pi about z is 0.5 pi about -z.
  const RotationVector sum = threeEighths + threeEighths;
  EXPECT_LT((sum.unknowns() - Eigen::Vector3d(0, 0, -kPi / 2)).norm(), kTolerance);

  const RotationVector quarter = rotationVector(kPi / 2, 0, 0);
  EXPECT_NEAR((quarter + quarter).unknowns().norm(), kPi, kTolerance);
}

TEST(RotationVectorAlgebra, InverseNegatesAndDifferenceUndoesComposition) {
  RotationVector a = rotationVector(0.4, 0.1, -0.7);
  const RotationVector b = rotationVector(-0.2, 0.5, 0.3);
  EXPECT_LT((((a - b) + b).unknowns() - a.unknowns()).norm(), kTolerance);
  EXPECT_LT((a - a).unknowns().norm(), kTolerance);

  const RotationVector original = a;
  ABC& base = a;
  base.inverse();
  EXPECT_EQ(a.unknowns(), -original.unknowns());
  EXPECT_LT((original + a).unknowns().norm(), kTolerance);
  EXPECT_EQ(RotationVector().unknowns(), Eigen::Vector3d::Zero());
}

TEST(RotationVectorAlgebra, QuaternionOperandIsTakenAsTheRotationItDescribes) {
  const RotationVector a = rotationVector(0.4, 0.1, -0.7);
  // A scaled quaternion is the same rotation.
  const Quaternion halfTurnX = quaternion(0, 3, 0, 0);
  const RotationVector viaQuaternion = a + halfTurnX;
  const RotationVector viaVector = a + rotationVector(kPi, 0, 0);
  EXPECT_LT((viaQuaternion.unknowns() - viaVector.unknowns()).norm(), kTolerance);
  EXPECT_THROW(a + quaternion(0, 0, 0, 0), std::domain_error);
}

TEST(RotationPolymorphism, OperationsWorkThroughTheBase) {
  std::unique_ptr<ABC> rotation = std::make_unique<Quaternion>(quaternion(0, 0, 2, 0));
  rotation->inverse();
  EXPECT_LT((rotation->unknowns() - vec({0, 0, -0.5, 0})).norm(), kTolerance);
  rotation = std::make_unique<RotationVector>(rotationVector(0, 0, kPi / 2));
  EXPECT_LT((rotation->unknowns() - vec({0, 0, kPi / 2})).norm(), kTolerance);
  const Eigen::Quaterniond unit = rotation->asQuaternion();
  EXPECT_NEAR(unit.w(), std::cos(kPi / 4), kTolerance);
  EXPECT_NEAR(unit.z(), std::sin(kPi / 4), kTolerance);
}

}  // namespace
