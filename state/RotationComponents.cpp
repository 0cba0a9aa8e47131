#include <cmath>
#include <ondrel/geometry/Quaternion.hpp>
#include <ondrel/geometry/RotationVector.hpp>
#include <ondrel/state/RotationComponents.hpp>
#include <stdexcept>
#include <string>

namespace Ondrel::Math {

namespace {

using Geometry::Rotation::Quaternion;
using Geometry::Rotation::RotationVector;

// Below this squared angle cos(θ/2) is 1 and sin(θ/2)/θ is 1/2 to double precision, and the
// division by θ would only add rounding (or divide by zero).
constexpr double kSmallAngleSquared = 1e-20;

// The rotations are built from copies: the views may point into storage that out also covers.
template <class Rotation>
Rotation rotationFrom(const Eigen::Ref<const Eigen::VectorXd>& parameters) {
  return Rotation(Eigen::VectorXd(parameters));
}

// An out longer than the result would be written past what the result holds.
void writeParameters(const char* operation,
                     const Eigen::VectorXd& parameters,
                     Eigen::Ref<Eigen::VectorXd> out) {
  if (out.size() > parameters.size()) {
    throw std::invalid_argument(std::string(operation) + ": the output holds " +
                                std::to_string(out.size()) + " entries, the result only " +
                                std::to_string(parameters.size()));
  }
  out = parameters.head(out.size());
}

template <class Rotation>
void plus(const char* operation,
          const Eigen::Ref<const Eigen::VectorXd>& a,
          const Eigen::Ref<const Eigen::VectorXd>& b,
          Eigen::Ref<Eigen::VectorXd> out) {
  const Rotation left = rotationFrom<Rotation>(a);
  const Rotation right = rotationFrom<Rotation>(b);
  writeParameters(operation, (left + right).unknowns(), out);
}

template <class Rotation>
void minus(const char* operation,
           const Eigen::Ref<const Eigen::VectorXd>& a,
           const Eigen::Ref<const Eigen::VectorXd>& b,
           Eigen::Ref<Eigen::VectorXd> out) {
  const Rotation left = rotationFrom<Rotation>(a);
  const Rotation right = rotationFrom<Rotation>(b);
  writeParameters(operation, (left - right).unknowns(), out);
}

template <class Rotation>
void invert(const char* operation,
            const Eigen::Ref<const Eigen::VectorXd>& a,
            Eigen::Ref<Eigen::VectorXd> out) {
  Rotation rotation = rotationFrom<Rotation>(a);
  rotation.inverse();
  writeParameters(operation, rotation.unknowns(), out);
}

}  // namespace

void addQuaternionIncrement(const Eigen::Ref<const Eigen::VectorXd>& q,
                            const Eigen::Ref<const Eigen::VectorXd>& increment,
                            Eigen::Ref<Eigen::VectorXd> out) {
  if (increment.size() < 3) {
    throw std::invalid_argument(
        "addQuaternionIncrement: the increment needs 3 entries (a rotation vector), got " +
        std::to_string(increment.size()));
  }
  const Quaternion current = rotationFrom<Quaternion>(q);

  const double x = increment(0);
  const double y = increment(1);
  const double z = increment(2);
  const double squaredAngle = (x * x + y * y) + z * z;
  // c = cos(θ/2) and s = sin(θ/2)/θ, so that (c, s·v) is the unit quaternion of the full angle θ.
  double c = 1.0;
  double s = 0.5;
  if (squaredAngle > kSmallAngleSquared) {
    const double angle = std::sqrt(squaredAngle);
    const double halfAngle = angle * 0.5;
    c = std::cos(halfAngle);
    s = std::sin(halfAngle) / angle;
  }
  Eigen::VectorXd incrementParameters(4);
  incrementParameters << c, s * x, s * y, s * z;
  const Quaternion turn(incrementParameters);

  // The increment on the left: it turns the current orientation in the fixed frame.
  writeParameters("addQuaternionIncrement", (turn * current).unknowns(), out);
}

void quaternionPlus(const Eigen::Ref<const Eigen::VectorXd>& a,
                    const Eigen::Ref<const Eigen::VectorXd>& b,
                    Eigen::Ref<Eigen::VectorXd> out) {
  plus<Quaternion>("quaternionPlus", a, b, out);
}

void quaternionMinus(const Eigen::Ref<const Eigen::VectorXd>& a,
                     const Eigen::Ref<const Eigen::VectorXd>& b,
                     Eigen::Ref<Eigen::VectorXd> out) {
  minus<Quaternion>("quaternionMinus", a, b, out);
}

void quaternionInverse(const Eigen::Ref<const Eigen::VectorXd>& a,
                       Eigen::Ref<Eigen::VectorXd> out) {
  invert<Quaternion>("quaternionInverse", a, out);
}

void rotationVectorPlus(const Eigen::Ref<const Eigen::VectorXd>& a,
                        const Eigen::Ref<const Eigen::VectorXd>& b,
                        Eigen::Ref<Eigen::VectorXd> out) {
  plus<RotationVector>("rotationVectorPlus", a, b, out);
}

void rotationVectorMinus(const Eigen::Ref<const Eigen::VectorXd>& a,
                         const Eigen::Ref<const Eigen::VectorXd>& b,
                         Eigen::Ref<Eigen::VectorXd> out) {
  minus<RotationVector>("rotationVectorMinus", a, b, out);
}

void rotationVectorInverse(const Eigen::Ref<const Eigen::VectorXd>& a,
                           Eigen::Ref<Eigen::VectorXd> out) {
  invert<RotationVector>("rotationVectorInverse", a, out);
}

}  // namespace Ondrel::Math
