#include <ondrel/geometry/Rotation.hpp>

namespace Ondrel::Geometry::Rotation {

// Defined here so that the vtable and type information of the base live in this library only.
ABC::~ABC() = default;

}  // namespace Ondrel::Geometry::Rotation
