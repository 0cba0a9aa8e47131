// What every reliability test uses: the shared support headers and the names the tests speak in.
#pragma once

#include "support/BitwiseAssertions.hpp"
#include "support/KnownRootSystems.hpp"
#include "support/MisbehavingCallables.hpp"
#include "support/StdoutSilencer.hpp"

namespace Ondrel::Reliability {

using Math::State;
using Math::Solvers::Broyden;
using Math::Solvers::BroydenInformation;
using Math::Solvers::BroydenParameters;
using Math::Solvers::JacobianFunction;
using Math::Solvers::ResidualFunction;
using Testing::bitwiseEqual;
using Testing::convergingParameters;
using Testing::failingParameters;
using Testing::MildlyNonlinearSystem;
using Testing::MisbehavingSystem;
using Testing::MixedStateSystem;
using Testing::StdoutSilencer;

}  // namespace Ondrel::Reliability
