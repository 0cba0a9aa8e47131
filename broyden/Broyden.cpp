#include <ondrel/broyden/Broyden.hpp>
#include <utility>

#include "../internal/Lifecycle.hpp"
#include "internal/DenseModel.hpp"
#include "internal/Solver.hpp"

namespace Ondrel::Math::Solvers {

Broyden::Broyden(long long stateSize,
                 long long systemSize,
                 const BroydenParameters& parameters,
                 ResidualFunction residual,
                 JacobianFunction jacobian)
    : solver(std::make_unique<internal::Solver<internal::DenseModel>>(
          "Broyden", stateSize, systemSize, parameters, std::move(residual), std::move(jacobian))) {
}

Broyden::Broyden(const Broyden& other)
    : information(other.information), solver(Ondrel::internal::deepCopy(other.solver)) {}

Broyden& Broyden::operator=(const Broyden& other) {
  return Ondrel::internal::Lifecycle::copyAssign(*this, other);
}

Broyden::Broyden(Broyden&& other) noexcept { Ondrel::internal::Lifecycle::take(*this, other); }

Broyden& Broyden::operator=(Broyden&& other) noexcept {
  return Ondrel::internal::Lifecycle::moveAssign(*this, other);
}

Broyden::~Broyden() = default;

void Broyden::reset() {
  if (solver) solver->reset();
}

const BroydenInformation& Broyden::solve(Eigen::Ref<Eigen::VectorXd> x) {
  return internal::live(solver).solve(x, information);
}

const BroydenInformation& Broyden::solve(Ondrel::Math::State& state) {
  return internal::live(solver).solve(state, information);
}

}  // namespace Ondrel::Math::Solvers
