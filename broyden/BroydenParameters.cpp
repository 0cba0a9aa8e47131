#include <ondrel/broyden/BroydenParameters.hpp>

namespace Ondrel::Math::Solvers {

BroydenParameters BroydenParameters::robust() {
  BroydenParameters parameters;
  parameters.stepControl = StepControl::kLineSearch;
  // Cut steps leave the model better than full ones do: it can wait twice as long for a refresh.
  parameters.refreshCountLimit = 8;
  return parameters;
}

}  // namespace Ondrel::Math::Solvers
