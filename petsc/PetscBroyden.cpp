#include "PetscBroyden.hpp"

#include <string>
#include <utility>

#include "../broyden/internal/Iteration.hpp"
#include "../broyden/internal/SolverCore.hpp"
#include "../broyden/internal/VectorVariables.hpp"
#include "internal/Collective.hpp"
#include "internal/PetscModel.hpp"

namespace Ondrel::Math::Solvers {

namespace internal {

namespace {

constexpr const char* kName = "PetscBroyden";

// The checks every process makes of the matrix before anything is built on it: a failure on
// one of them is every process's.
Mat checkedMatrix(Mat jacobian) {
  if (!jacobian) throw std::invalid_argument("PetscBroyden: the Jacobian matrix is null");
  MPI_Comm comm = MPI_COMM_NULL;
  check(PetscObjectGetComm(reinterpret_cast<PetscObject>(jacobian), &comm), "PetscObjectGetComm");
  collectively(comm, "PetscBroyden", [&] {
    PetscInt localRows = 0, localCols = 0, rows = 0, cols = 0;
    check(MatGetLocalSize(jacobian, &localRows, &localCols), "MatGetLocalSize");
    check(MatGetSize(jacobian, &rows, &cols), "MatGetSize");
    if (rows != cols || localRows != localCols) {
      throw std::invalid_argument(
          "PetscBroyden: the Jacobian matrix is " + std::to_string(rows) + " x " +
          std::to_string(cols) + " with " + std::to_string(localRows) + " x " +
          std::to_string(localCols) +
          " on this process; a square system needs equal row and column layouts");
    }
  });
  return jacobian;
}

// Settings that do not fit this process's rows are refused on every process, as the core would
// refuse them on this one alone.
void checkSettings(MPI_Comm comm, PetscInt rows, const BroydenParameters& parameters) {
  collectively(comm, "PetscBroyden", [&] {
    if (parameters.updateMethod == kGoodBroydenOnJacobian) {
      throw std::invalid_argument(
          "PetscBroyden: update method 0 (good Broyden on J) is not supported; use 1 or 2");
    }
    if (!parameters.fallbacks.empty()) {
      throw std::invalid_argument(
          "PetscBroyden: fallbacks are not offered by the distributed solver; solve again with "
          "other settings where a solve fails");
    }
    if (parameters.stepControl == StepControl::kTrustRegion) {
      throw std::invalid_argument(
          "PetscBroyden: StepControl::kTrustRegion needs the dense solver's Jacobian; use "
          "StepControl::kLineSearch");
    }
    SolverCore(kName, rows, rows, parameters, nullptr);
  });
}

// The settings as every process runs them: output from rank 0 only, and a monitor whose answer
// is every process's (the solve goes on only if all say so) and whose exception is too.
BroydenParameters distributedParameters(MPI_Comm comm,
                                        PetscInt rows,
                                        BroydenParameters parameters) {
  checkSettings(comm, rows, parameters);
  int rank = 0;
  MPI_Comm_rank(comm, &rank);
  if (rank != 0) parameters.outputStream = nullptr;
  if (parameters.monitor) {
    parameters.monitor =
        [comm, monitor = std::move(parameters.monitor)](const BroydenIterationReport& report) {
          bool goOn = true;
          collectively(comm, "PetscBroyden::solve: the monitor", [&] { goOn = monitor(report); });
          return holdsEverywhere(comm, goOn);
        };
  }
  return parameters;
}

}  // namespace

// A solver: the iteration's core over this process's rows, with its norms summed over all
// processes, the distributed model, and the Vecs the host's residual callable is shown.
class PetscSolver {
 public:
  PetscSolver(Mat jacobian,
              const BroydenParameters& parameters,
              PetscResidualFunction residual,
              PetscJacobianFunction jacobianFunction,
              std::uint64_t updateLimit)
      : model(checkedMatrix(jacobian),
              std::move(jacobianFunction),
              parameters.updateMethod,
              updateLimit),
        comm(model.communicator()),
        core(kName,
             model.localSize(),
             model.localSize(),
             distributedParameters(comm, model.localSize(), parameters),
             [this](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
               Shown values(point, x.data(), true);
               Shown out(residualOut, f.data());
               collectively(comm, "PetscBroyden::solve: the residual function", [&] {
                 hostResidual(values.vec, out.vec);
               });
             }),
        hostResidual(std::move(residual)),
        point(comm, model.localSize()),
        residualOut(comm, model.localSize()) {
    core.sumOverProcesses = [c = comm](double local) { return sumInRankOrder(c, local); };
    core.distributedSize = model.globalSize();
    core.allocate();
  }

  void reset() {
    model.drop();
    core.refreshJacobian = true;
  }

  const BroydenInformation& solve(Vec x, BroydenInformation& record) {
    collectively(comm, "PetscBroyden::solve", [&] { checkVector(x); });
    Eigen::VectorXd start(model.localSize());
    {
      const PetscScalar* values = nullptr;
      check(VecGetArrayRead(x, &values), "VecGetArrayRead");
      std::copy(values, values + start.size(), start.data());
      check(VecRestoreArrayRead(x, &values), "VecRestoreArrayRead");
    }
    // The record is the caller's only once the solve has come to an end without an exception.
    BroydenInformation outcome = record;
    core.information = &outcome;
    VectorVariables variables(start, core);
    iterate(core, model, variables);
    if (outcome.termination == BroydenTermination::kConverged) {
      PetscScalar* values = nullptr;
      check(VecGetArray(x, &values), "VecGetArray");
      std::copy(start.data(), start.data() + start.size(), values);
      check(VecRestoreArray(x, &values), "VecRestoreArray");
    }
    record = std::move(outcome);
    return record;
  }

  KSP linearSolver() const { return model.linearSolver(); }

 private:
  void checkVector(Vec x) const {
    if (!x) throw std::invalid_argument("PetscBroyden::solve: the vector is null");
    PetscInt local = 0;
    PetscInt global = 0;
    check(VecGetLocalSize(x, &local), "VecGetLocalSize");
    check(VecGetSize(x, &global), "VecGetSize");
    if (local != model.localSize() || global != model.globalSize()) {
      throw std::invalid_argument(
          "PetscBroyden::solve: the vector has " + std::to_string(local) + " of " +
          std::to_string(global) + " entries on this process, the Jacobian's rows here are " +
          std::to_string(model.localSize()) + " of " + std::to_string(model.globalSize()));
    }
  }

  PetscModel model;
  MPI_Comm comm;
  SolverCore core;
  PetscResidualFunction hostResidual;
  Placeholder point;
  Placeholder residualOut;
};

}  // namespace internal

PetscBroyden::PetscBroyden(Mat jacobian,
                           const BroydenParameters& parameters,
                           PetscResidualFunction residual,
                           PetscJacobianFunction jacobianFunction,
                           std::uint64_t updateLimit)
    : limit(updateLimit) {
  // Before anything of PETSc's runs, its error handler included.
  PetscBool initialised = PETSC_FALSE;
  PetscInitialized(&initialised);
  if (!initialised) {
    throw std::logic_error("PetscBroyden: PETSc is not initialised (call PetscInitialize first)");
  }
  internal::PetscErrorCapture capture;
  solver = std::make_unique<internal::PetscSolver>(
      jacobian, parameters, std::move(residual), std::move(jacobianFunction), updateLimit);
}

PetscBroyden::PetscBroyden(PetscBroyden&& other) noexcept
    : limit(std::exchange(other.limit, kDefaultUpdateLimit)),
      information(std::move(other.information)),
      solver(std::move(other.solver)) {}

PetscBroyden& PetscBroyden::operator=(PetscBroyden&& other) noexcept {
  limit = std::exchange(other.limit, kDefaultUpdateLimit);
  information = std::move(other.information);
  solver = std::move(other.solver);
  return *this;
}

PetscBroyden::~PetscBroyden() = default;

namespace {

internal::PetscSolver& live(const std::unique_ptr<internal::PetscSolver>& solver) {
  if (!solver) throw std::logic_error("PetscBroyden: the solver was moved from");
  return *solver;
}

}  // namespace

void PetscBroyden::reset() { live(solver).reset(); }

const BroydenInformation& PetscBroyden::solve(Vec x) {
  internal::PetscSolver& target = live(solver);
  internal::PetscErrorCapture capture;
  return target.solve(x, information);
}

KSP PetscBroyden::linearSolver() const { return live(solver).linearSolver(); }

}  // namespace Ondrel::Math::Solvers
