// The quaternion turn and the six component operations on operands of any length and value,
// with outputs that may alias an input. Each either writes its result or throws the documented
// exception having written nothing; a turn by a finite increment keeps a finite quaternion's norm.
#include <Eigen/Geometry>
#include <ondrel/state/RotationComponents.hpp>
#include <stdexcept>

#include "FuzzSupport.hpp"

namespace {

using namespace Ondrel::Fuzz;

Eigen::VectorXd vectorFrom(FuzzedDataProvider& in, Eigen::Index usual) {
  const Eigen::Index length =
      in.ConsumeIntegralInRange(0, 7) == 0 ? in.ConsumeIntegralInRange<Eigen::Index>(0, 6) : usual;
  Eigen::VectorXd v(length);
  for (Eigen::Index i = 0; i < length; ++i) {
    v(i) = in.ConsumeBool() ? in.ConsumeFloatingPointInRange(-2.0, 2.0) : awkwardDouble(in);
  }
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const int operation = in.ConsumeIntegralInRange(0, 6);
  const bool quaternionKind = operation <= 3;
  const Eigen::Index usual = quaternionKind ? 4 : 3;
  const Eigen::VectorXd a = vectorFrom(in, usual);
  const Eigen::VectorXd b = vectorFrom(in, operation == 0 ? 3 : usual);
  // The output is its own vector, or the storage of the first operand.
  const bool aliased = in.ConsumeBool();
  Eigen::VectorXd storage = aliased ? a : vectorFrom(in, usual);
  const Eigen::VectorXd before = storage;

  try {
    switch (operation) {
      case 0:
        Ondrel::Math::addQuaternionIncrement(aliased ? storage : a, b, storage);
        break;
      case 1:
        Ondrel::Math::quaternionPlus(aliased ? storage : a, b, storage);
        break;
      case 2:
        Ondrel::Math::quaternionMinus(aliased ? storage : a, b, storage);
        break;
      case 3:
        Ondrel::Math::quaternionInverse(aliased ? storage : a, storage);
        break;
      case 4:
        Ondrel::Math::rotationVectorPlus(aliased ? storage : a, b, storage);
        break;
      case 5:
        Ondrel::Math::rotationVectorMinus(aliased ? storage : a, b, storage);
        break;
      default:
        Ondrel::Math::rotationVectorInverse(aliased ? storage : a, storage);
        break;
    }
  } catch (const std::invalid_argument&) {
    FUZZ_CHECK(sameBits(storage, before));
    return 0;
  } catch (const std::domain_error&) {
    FUZZ_CHECK(sameBits(storage, before));
    return 0;
  }

  if (operation == 0 && a.size() == 4 && storage.size() == 4 && b.size() >= 3 && a.allFinite() &&
      b.head<3>().allFinite() && storage.allFinite()) {
    // The increment quaternion is a unit one, so the turn keeps the norm up to rounding.
    constexpr double kRounding = 1e-14;
    const double norm = a.norm();
    if (norm < 1e150) FUZZ_CHECK(std::abs(storage.norm() - norm) <= kRounding * (1.0 + norm));
  }
  if (operation == 1 && a.size() == 4 && b.size() == 4 && storage.size() == 4) {
    // Composition is the Hamilton product, scalar part first.
    const Eigen::Quaterniond product =
        Eigen::Quaterniond(a(0), a(1), a(2), a(3)) * Eigen::Quaterniond(b(0), b(1), b(2), b(3));
    const Eigen::Vector4d expected(product.w(), product.x(), product.y(), product.z());
    FUZZ_CHECK(sameBits(storage, expected) || !expected.allFinite());
  }
  return 0;
}
