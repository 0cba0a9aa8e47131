// RotationVector: a rotation held as its axis times its angle in radians (3 numbers).
//
// The operators work through unit quaternions: both operands are mapped to unit quaternions
// (the exponential of the vector, or the normalised asQuaternion() of any other rotation), the
// product is taken with *this on the left, and the result is mapped back with the angle in
// [0, pi]. So a + b composes (a * b does the same) and a - b composes a with the inverse of b.
// Results of the operators are thereby canonical; a vector given to the constructor is kept as
// it is, even when its length exceeds pi. inverse() negates the vector.
#pragma once

#include <Eigen/Core>
#include <Eigen/Geometry>
#include <ondrel/OndrelEigen.hpp>
#include <ondrel/OndrelGeometryExport.hpp>
#include <ondrel/geometry/Rotation.hpp>

namespace Ondrel::Geometry::Rotation {

/// A rotation held as its axis times its angle in radians (3 numbers).
class ONDREL_GEOMETRY_API RotationVector : public RotatorABC<RotationVector> {
 public:
  /// No rotation, (0, 0, 0).
  RotationVector();
  /// Axis times angle. Throws std::invalid_argument for any other length than 3.
  explicit RotationVector(const Eigen::VectorXd& parameters);

  /// Negates the vector; every rotation vector has an inverse.
  void inverse() override;
  /// Axis times angle, as held.
  Eigen::VectorXd unknowns() const override;
  /// The unit quaternion exp(v / 2) with its scalar part cos(angle / 2).
  Eigen::Quaterniond asQuaternion() const override;

 private:
  friend class RotatorABC<RotationVector>;
  RotationVector composedWith(const ABC& other) const;
  RotationVector composedWithInverseOf(const ABC& other) const;
  RotationVector productWith(const ABC& other) const;

  Eigen::Vector3d value;
};

}  // namespace Ondrel::Geometry::Rotation
