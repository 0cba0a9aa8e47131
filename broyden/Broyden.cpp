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

Broyden::Broyden(const Broyden& other) : solver(Ondrel::internal::deepCopy(other.solver)) {}

Broyden& Broyden::operator=(const Broyden& other) {
  Ondrel::internal::copyAssign(solver, other.solver);
  return *this;
}

Broyden::Broyden(Broyden&& other) noexcept = default;
Broyden& Broyden::operator=(Broyden&& other) noexcept = default;
Broyden::~Broyden() = default;

void Broyden::reset() {
  if (solver) solver->reset();
}

const BroydenInformation& Broyden::solve(Eigen::Ref<Eigen::VectorXd> x) {
  return internal::live(solver).solve(x);
}

const BroydenInformation& Broyden::solve(Ondrel::Math::State& state) {
  return internal::live(solver).solve(state);
}

}  // namespace Ondrel::Math::Solvers
