// Quaternion: a rotation held as four numbers (w, x, y, z), scalar part first.
//
// The value is kept exactly as given: a non-unit quaternion stays non-unit through every
// operation, so callers that need a pure rotation normalise themselves. Operators (from
// RotatorABC) take any rotation as the right operand, through its asQuaternion():
// - a * b is the Hamilton product with a on the left;
// - a + b composes, the same product as a * b;
// - a - b is a times the inverse of b.
// inverse() is the conjugate divided by the squared norm, so q * inverse(q) is the identity for
// any non-zero q.
#pragma once

#include <Eigen/Core>
#include <Eigen/Geometry>
#include <ondrel/OndrelEigen.hpp>
#include <ondrel/OndrelGeometryExport.hpp>
#include <ondrel/geometry/Rotation.hpp>

namespace Ondrel::Geometry::Rotation {

/// A rotation held as four numbers (w, x, y, z), scalar part first, kept exactly as given.
class ONDREL_GEOMETRY_API Quaternion : public RotatorABC<Quaternion> {
 public:
  /// The identity (1, 0, 0, 0).
  Quaternion();
  /// Parameters (w, x, y, z). Throws std::invalid_argument for any other length than 4.
  explicit Quaternion(const Eigen::VectorXd& parameters);
  /// Eigen's quaternion, taken as it is.
  explicit Quaternion(const Eigen::Quaterniond& value);

  /// Throws std::domain_error, leaving the value unchanged, for the zero quaternion.
  void inverse() override;
  /// (w, x, y, z).
  Eigen::VectorXd unknowns() const override;
  /// The value as it is, unit or not.
  Eigen::Quaterniond asQuaternion() const override;

 private:
  friend class RotatorABC<Quaternion>;
  Quaternion composedWith(const ABC& other) const;
  Quaternion composedWithInverseOf(const ABC& other) const;
  Quaternion productWith(const ABC& other) const;

  Eigen::Quaterniond value;
};

}  // namespace Ondrel::Geometry::Rotation
