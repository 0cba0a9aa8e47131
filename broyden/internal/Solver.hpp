// A solver (not installed): one core and one model of the Jacobian, and the two solves every
// public face forwards to. Broyden is Solver<DenseModel>, SparseBroyden Solver<SparseModel>; a new
// model is a class with the operations of JacobianModel.hpp and a constructor taking the solver's
// name, m, its Jacobian callable and its own settings, plus a thin public face.
#pragma once

#include <Eigen/Core>
#include <functional>
#include <memory>
#include <ondrel/state/State.hpp>
#include <stdexcept>
#include <string>
#include <utility>

#include "Iteration.hpp"
#include "SolverCore.hpp"
#include "StateVariables.hpp"
#include "VectorVariables.hpp"

namespace Ondrel::Math::Solvers::internal {

template <class Model>
class Solver {
 public:
  template <class... ModelSettings>
  Solver(const char* name,
         long long stateSize,
         long long systemSize,
         const BroydenParameters& parameters,
         ResidualFunction residual,
         ModelSettings&&... modelSettings)
      : core(name, stateSize, systemSize, parameters, std::move(residual)),
        model(name,
              static_cast<Eigen::Index>(systemSize),
              std::forward<ModelSettings>(modelSettings)...) {
    if (!OffersJacobian<Model>::value) {
      auto refuse = [&](const std::string& what) {
        throw std::invalid_argument(std::string(name) + ": " + what);
      };
      if (parameters.stepControl == StepControl::kTrustRegion) {
        refuse(
            "StepControl::kTrustRegion needs the dense solver's Jacobian; use "
            "StepControl::kLineSearch");
      }
      for (std::size_t i = 0; i < parameters.fallbacks.size(); ++i) {
        const BroydenParameters& fallback = parameters.fallbacks[i];
        const std::string which = "fallbacks[" + std::to_string(i) + "]";
        if (fallback.stepControl == StepControl::kTrustRegion) {
          refuse(which +
                 " uses StepControl::kTrustRegion, which needs the dense solver's "
                 "Jacobian");
        }
        if (fallback.updateMethod != parameters.updateMethod) {
          refuse(which + " has update method " + std::to_string(fallback.updateMethod) +
                 "; the model is built for the solver's " +
                 std::to_string(parameters.updateMethod));
        }
      }
    }
    core.allocate();
  }

  // For a face's read-only queries of its model.
  const Model& jacobianModel() const { return model; }

  void reset() {
    model.drop();
    core.refreshJacobian = true;
  }

  // Each solve writes its outcome into `record`, the face's.
  const BroydenInformation& solve(Eigen::Ref<Eigen::VectorXd> x, BroydenInformation& record) {
    core.checkVector(x.size());
    core.checkStart(x);
    auto makeVariables = [&] { return VectorVariables(x, core); };
    VectorVariables variables = makeVariables();
    return run(variables, makeVariables, record);
  }

  const BroydenInformation& solve(Ondrel::Math::State& state, BroydenInformation& record) {
    core.checkStateValues(state.values.size());
    auto makeVariables = [&] {
      return StateVariables(
          state, core.stateSize, core.systemSize, core.where(), core.parameters.outputStream);
    };
    StateVariables variables = makeVariables();
    variables.checkConstraints(core.parameters.constraints, core.where());
    for (const BroydenParameters& fallback : core.parameters.fallbacks) {
      variables.checkConstraints(fallback.constraints, core.where());
    }
    core.checkStart(state.values);
    return run(variables, makeVariables, record);
  }

 private:
  template <class Variables, class MakeVariables>
  const BroydenInformation& run(Variables& variables,
                                MakeVariables makeVariables,
                                BroydenInformation& record) {
    core.information = &record;
    model.prepare();
    return iterateWithFallbacks(core, model, variables, makeVariables);
  }

  SolverCore core;
  Model model;
};

// The solver behind a face, which a moved-from face no longer has: its solves then throw
// std::bad_function_call, as a call of its (empty) callables would.
template <class Model>
Solver<Model>& live(const std::unique_ptr<Solver<Model>>& solver) {
  if (!solver) throw std::bad_function_call();
  return *solver;
}

}  // namespace Ondrel::Math::Solvers::internal
