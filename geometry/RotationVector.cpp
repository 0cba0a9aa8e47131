#include <ondrel/geometry/RotationVector.hpp>
#include <stdexcept>
#include <string>

namespace Ondrel::Geometry::Rotation {

namespace {

// Inverse of the exponential map for a unit quaternion. A negative scalar part is folded over
// (q and -q are one rotation), so the angle lies in [0, pi].
Eigen::Vector3d logarithm(const Eigen::Quaterniond& rotation) {
  const Eigen::AngleAxisd angleAxis(rotation);
  return angleAxis.axis() * angleAxis.angle();
}

Eigen::Quaterniond unitQuaternion(const ABC& rotation) {
  const Eigen::Quaterniond quaternion = rotation.asQuaternion();
  if (quaternion.coeffs().squaredNorm() == 0.0) {
    throw std::domain_error("the zero quaternion describes no rotation");
  }
  return quaternion.normalized();
}

}  // namespace

RotationVector::RotationVector() : value(Eigen::Vector3d::Zero()) {}

RotationVector::RotationVector(const Eigen::VectorXd& parameters) {
  if (parameters.size() != 3) {
    throw std::invalid_argument("RotationVector needs 3 parameters (axis times angle), got " +
                                std::to_string(parameters.size()));
  }
  value = parameters;
}

void RotationVector::inverse() { value = -value; }

Eigen::VectorXd RotationVector::unknowns() const { return value; }

Eigen::Quaterniond RotationVector::asQuaternion() const {
  const double angle = value.norm();
  if (angle == 0.0) {
    return Eigen::Quaterniond::Identity();
  }
  return Eigen::Quaterniond(Eigen::AngleAxisd(angle, value / angle));
}

RotationVector RotationVector::composedWith(const ABC& other) const {
  return RotationVector(logarithm(asQuaternion() * unitQuaternion(other)));
}

RotationVector RotationVector::composedWithInverseOf(const ABC& other) const {
  // The conjugate of a unit quaternion is its inverse.
  return RotationVector(logarithm(asQuaternion() * unitQuaternion(other).conjugate()));
}

RotationVector RotationVector::productWith(const ABC& other) const { return composedWith(other); }

}  // namespace Ondrel::Geometry::Rotation
