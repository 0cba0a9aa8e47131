// The values of a coloured difference Jacobian, shared by colouredDifferenceJacobian and the
// sparse checkJacobian.
#pragma once

#include <Eigen/Core>
#include <ondrel/OndrelEigen.hpp>
#include <ondrel/broyden/BroydenFunctions.hpp>
#include <ondrel/broyden/ColouredJacobian.hpp>

#include "ColouredPattern.hpp"
#include "IncrementCoordinates.hpp"

namespace Ondrel::Math::Solvers::internal {

// One value per stored entry of coloured.pattern(), in its storage order.
Eigen::VectorXd colouredDifferences(const char* operation,
                                    const ResidualFunction& residual,
                                    const ColouredPattern& coloured,
                                    IncrementCoordinates& coordinates,
                                    DifferenceScheme scheme);

}  // namespace Ondrel::Math::Solvers::internal
