#include <ondrel/geometry/Quaternion.hpp>
#include <stdexcept>
#include <string>

namespace Ondrel::Geometry::Rotation {

Quaternion::Quaternion() : value(Eigen::Quaterniond::Identity()) {}

Quaternion::Quaternion(const Eigen::VectorXd& parameters) {
  if (parameters.size() != 4) {
    throw std::invalid_argument("Quaternion needs 4 parameters (w, x, y, z), got " +
                                std::to_string(parameters.size()));
  }
  // Eigen's four-scalar constructor is scalar first as well, unlike its coefficient storage.
  value = Eigen::Quaterniond(parameters(0), parameters(1), parameters(2), parameters(3));
}

Quaternion::Quaternion(const Eigen::Quaterniond& rotation) : value(rotation) {}

void Quaternion::inverse() {
  const double squaredNorm = value.squaredNorm();
  if (squaredNorm == 0.0) {
    throw std::domain_error("the zero quaternion has no inverse");
  }
  // Not Eigen's inverse(): it answers a NaN quaternion with zeros, which would hide the NaN.
  value = Eigen::Quaterniond(value.conjugate().coeffs() / squaredNorm);
}

Eigen::VectorXd Quaternion::unknowns() const {
  Eigen::VectorXd parameters(4);
  parameters << value.w(), value.x(), value.y(), value.z();
  return parameters;
}

Eigen::Quaterniond Quaternion::asQuaternion() const { return value; }

Quaternion Quaternion::composedWith(const ABC& other) const { return productWith(other); }

Quaternion Quaternion::composedWithInverseOf(const ABC& other) const {
  Quaternion inverted(other.asQuaternion());
  inverted.inverse();
  return Quaternion(value * inverted.value);
}

Quaternion Quaternion::productWith(const ABC& other) const {
  return Quaternion(value * other.asQuaternion());
}

}  // namespace Ondrel::Geometry::Rotation
