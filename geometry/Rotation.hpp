// Common interface of the rotation classes.
//
// ABC is what every rotation offers whatever its parameters: invert in place, hand out its
// parameter vector, and show itself as a quaternion. RotatorABC<T> adds the operators, which
// accept any rotation as their right operand and return a new T; the left operand (this) is
// never changed. Conventions shared by all rotations of this library:
// - quaternions are (w, x, y, z), scalar first, both in constructors and in unknowns();
// - composition multiplies with the left operand on the left (Hamilton product), so a + b turns
//   by b first and then by a when applied to a vector;
// - nothing is normalised behind the caller's back.
// A rotation owns its parameters by value; copies are independent.
#pragma once

#include <Eigen/Core>
#include <Eigen/Geometry>
#include <ondrel/OndrelEigen.hpp>
#include <ondrel/OndrelGeometryExport.hpp>

namespace Ondrel::Geometry::Rotation {

/// What every rotation offers whatever its parameters (see the file comment for the
/// conventions).
class ONDREL_GEOMETRY_API ABC {
 public:
  /// Rotations are destroyed through this interface.
  virtual ~ABC();

  /// Replaces the rotation by its inverse. Throws std::domain_error, leaving it unchanged, when
  /// it has no inverse.
  virtual void inverse() = 0;

  /// The parameters, in the order the class's constructor takes them.
  virtual Eigen::VectorXd unknowns() const = 0;

  /// The rotation as a quaternion, so that any rotation can be the right operand of any other's
  /// operators. A Quaternion hands out its own (possibly non-unit) value; parameterisations that
  /// describe pure rotations hand out a unit quaternion.
  virtual Eigen::Quaterniond asQuaternion() const = 0;

 protected:
  /// Construction, copies and moves are the derived classes' own.
  ///@{
  ABC() = default;
  ABC(const ABC&) = default;
  ABC(ABC&&) = default;
  ABC& operator=(const ABC&) = default;
  ABC& operator=(ABC&&) = default;
  ///@}
};

/// The operators of a rotation class T, which accept any rotation as their right operand and
/// return a new T. T provides composedWith, composedWithInverseOf and productWith; each returns a
/// new T with *this as the left operand.
template <class T>
class ONDREL_GEOMETRY_API RotatorABC : public ABC {
 public:
  /// Composition: *this on the left.
  T operator+(const ABC& other) const { return derived().composedWith(other); }
  /// *this composed with the inverse of other, so that (a - b) + b gives a back.
  T operator-(const ABC& other) const { return derived().composedWithInverseOf(other); }
  /// Product in the class's own algebra, *this on the left.
  T operator*(const ABC& other) const { return derived().productWith(other); }

 protected:
  /// Only a derived class makes one.
  RotatorABC() = default;

 private:
  const T& derived() const { return static_cast<const T&>(*this); }
};

}  // namespace Ondrel::Geometry::Rotation
