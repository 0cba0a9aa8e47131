// The extension module ondrel._core: the solvers, their settings and records, State and the
// rotation classes, on the library's public API. The package ondrel (python/ondrel/) adds root()
// and the settings' validation in Python; what a warm solve runs through stays here, so that a
// solve of a small system costs little more than its Python callables.
#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <Eigen/Core>
#include <cstring>
#include <memory>
#include <ondrel/broyden/Broyden>
#include <ondrel/broyden/JacobianHelpers.hpp>
#include <ondrel/geometry/Quaternion.hpp>
#include <ondrel/geometry/RotationVector.hpp>
#include <ondrel/state/State.hpp>
#include <optional>
#include <ostream>
#include <streambuf>
#include <string>
#include <utility>

#include "PythonCallables.hpp"

namespace py = pybind11;
using namespace Ondrel::Math::Solvers;
using Ondrel::Math::State;
using OndrelPython::PythonSystem;
namespace Rotation = Ondrel::Geometry::Rotation;

namespace {

// The solver's output stream, written to a Python file object: sys.stdout as it is at the time
// of writing when no object is given, so that redirections (contextlib, pytest) see the line.
class PythonOutput : public std::streambuf {
 public:
  explicit PythonOutput(py::object target) : target(std::move(target)), stream(this) {}
  std::ostream& ostream() { return stream; }

 protected:
  int_type overflow(int_type c) override {
    if (c != traits_type::eof()) {
      pending.push_back(static_cast<char>(c));
      if (c == '\n') flushPending();
    }
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    pending.append(text, static_cast<std::size_t>(count));
    if (pending.find('\n') != std::string::npos) flushPending();
    return count;
  }
  int sync() override {
    flushPending();
    return 0;
  }

 private:
  void flushPending() {
    if (pending.empty()) return;
    py::object file = target.is_none() ? py::module_::import("sys").attr("stdout") : target;
    std::string text;
    text.swap(pending);
    file.attr("write")(py::str(text));
  }

  py::object target;
  std::string pending;
  std::ostream stream;
};

// What a Python monitor is shown: the C++ report with its values copied, so that a monitor may
// keep the report past the call.
struct IterationReport {
  std::uint64_t iteration;
  double residualNorm;
  double stepNorm;
  std::uint64_t jacobianEvaluations;
  JacobianChange jacobianChange;
  py::array_t<double> values;
  double stepLength;
  std::uint64_t stepCuts;
  bool restarted;
  bool escaped;
  BroydenTermination termination;
};

// A Python monitor returns True (or None, the value of a function that returns nothing) to go on
// and False to stop; the signal check lets Ctrl-C stop a solve between iterations.
BroydenMonitor wrapMonitor(py::object callable) {
  return [callable = std::move(callable)](const BroydenIterationReport& report) {
    OndrelPython::checkSignals();
    IterationReport copy{report.iteration,
                         report.residualNorm,
                         report.stepNorm,
                         report.jacobianEvaluations,
                         report.jacobianChange,
                         OndrelPython::copyToArray(*report.values),
                         report.stepLength,
                         report.stepCuts,
                         report.restarted,
                         report.escaped,
                         report.termination};
    const py::object answer = callable(std::move(copy));
    if (answer.is_none()) return true;
    const int truth = PyObject_IsTrue(answer.ptr());
    if (truth < 0) throw py::error_already_set();
    return truth == 1;
  };
}

PythonSystem::JacobianSource jacobianSource(const py::object& jac) {
  if (jac.is_none() || (py::isinstance<py::bool_>(jac) && !jac.cast<bool>())) {
    return PythonSystem::JacobianSource::kForwardDifferences;
  }
  if (py::isinstance<py::bool_>(jac)) return PythonSystem::JacobianSource::kFromFun;
  if (!PyCallable_Check(jac.ptr())) {
    throw py::type_error("jac must be a callable, True (fun returns (F, J)) or None; got " +
                         std::string(py::str(py::type::handle_of(jac).attr("__name__"))));
  }
  return PythonSystem::JacobianSource::kCallable;
}

// One Python solver object: the C++ solver, the Python system it calls, and the stream its
// progress line goes to (which the solver points at but does not own).
template <class Solver>
class SolverHolder {
 public:
  SolverHolder(py::object fun,
               py::object jac,
               long long m,
               long long n,
               BroydenParameters parameters,
               py::object outputStream,
               py::object monitor,
               std::uint64_t updateLimit) {
    if (!PyCallable_Check(fun.ptr())) throw py::type_error("fun must be a callable");
    if (m < 0 || n < 0) throw py::value_error("m and n must not be negative");
    const auto source = jacobianSource(jac);
    system = std::make_shared<PythonSystem>(std::move(fun), std::move(jac), source, m);
    if (!outputStream.is_none()) {
      // True stands for sys.stdout as it is when the line is written.
      output = std::make_unique<PythonOutput>(py::isinstance<py::bool_>(outputStream)
                                                  ? py::object(py::none())
                                                  : std::move(outputStream));
      parameters.outputStream = &output->ostream();
    } else {
      parameters.outputStream = nullptr;
    }
    if (!monitor.is_none()) parameters.monitor = wrapMonitor(std::move(monitor));
    ResidualFunction residual = [s = system.get()](const Eigen::Ref<const Eigen::VectorXd>& x,
                                                   Eigen::VectorXd& f) { s->residual(x, f); };
    if constexpr (std::is_same_v<Solver, Broyden>) {
      JacobianFunction jacobian;
      if (source == PythonSystem::JacobianSource::kForwardDifferences) {
        jacobian = forwardDifferenceJacobian(
            [s = system.get()](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
              s->plainResidual(x, f);
            },
            m);
      } else {
        jacobian = [s = system.get()](const Eigen::Ref<const Eigen::VectorXd>& x,
                                      Eigen::MatrixXd& j) { s->denseJacobian(x, j); };
      }
      solver.emplace(n, m, parameters, std::move(residual), std::move(jacobian));
    } else {
      if (source == PythonSystem::JacobianSource::kForwardDifferences) {
        throw py::value_error("SparseBroyden needs a jac (a callable, or True)");
      }
      SparseJacobianFunction jacobian =
          [s = system.get()](const Eigen::Ref<const Eigen::VectorXd>& x,
                             Eigen::SparseMatrix<double>& j) { s->sparseJacobian(x, j); };
      solver.emplace(n, m, parameters, std::move(residual), std::move(jacobian), updateLimit);
    }
    stateSize = n;
  }

  BroydenInformation solveArray(py::array x) {
    const auto float64 = py::dtype::of<double>();
    if (!x.dtype().equal(float64) || x.ndim() != 1 || x.shape(0) != stateSize) {
      std::string shape = "(";
      for (py::ssize_t d = 0; d < x.ndim(); ++d) {
        shape += (d > 0 ? ", " : "") + std::to_string(x.shape(d));
      }
      shape += x.ndim() == 1 ? ",)" : ")";
      throw py::value_error("solve expects a float64 array of shape (" + std::to_string(stateSize) +
                            ",); got " + std::string(py::str(x.dtype())) + " of shape " + shape);
    }
    if (!x.writeable()) throw py::value_error("solve writes the root into x: x is read-only");
    const Guard guard(*this);
    if (stateSize <= 1 || x.strides(0) == static_cast<py::ssize_t>(sizeof(double))) {
      Eigen::Map<Eigen::VectorXd> values(static_cast<double*>(x.mutable_data()), stateSize);
      return solver->solve(values);
    }
    // A strided view is solved on a copy, written back only where the solver would write.
    Eigen::VectorXd values(stateSize);
    auto* bytes = static_cast<char*>(x.mutable_data());
    const py::ssize_t stride = x.strides(0);
    for (long long i = 0; i < stateSize; ++i) std::memcpy(&values(i), bytes + i * stride, 8);
    const BroydenInformation& information = solver->solve(values);
    if (information.termination == BroydenTermination::kConverged) {
      for (long long i = 0; i < stateSize; ++i) std::memcpy(bytes + i * stride, &values(i), 8);
    }
    return information;
  }

  BroydenInformation solveState(State& state) {
    const Guard guard(*this);
    return solver->solve(state);
  }

  std::shared_ptr<PythonSystem> system;
  std::unique_ptr<PythonOutput> output;
  std::optional<Solver> solver;
  long long stateSize = 0;
  bool solving = false;

 private:
  // A callable that calls solve on the object that is calling it, or another thread while a
  // callable has let go of the GIL, would run two solves on one object at once.
  struct Guard {
    explicit Guard(SolverHolder& holder) : holder(holder) {
      if (holder.solving) throw py::value_error("solve called while a solve of this solver runs");
      holder.solving = true;
    }
    ~Guard() { holder.solving = false; }
    SolverHolder& holder;
  };
};

template <class Solver>
void bindSolver(py::module_& module, const char* name) {
  using Holder = SolverHolder<Solver>;
  py::class_<Holder>(module, name)
      .def(py::init<py::object,
                    py::object,
                    long long,
                    long long,
                    BroydenParameters,
                    py::object,
                    py::object,
                    std::uint64_t>(),
           py::arg("fun"),
           py::arg("jac"),
           py::arg("m"),
           py::arg("n"),
           py::arg("parameters"),
           py::arg("output_stream"),
           py::arg("monitor"),
           py::arg("update_limit"))
      // Arrays first: trying to read an array as a State costs a failed attribute look-up.
      .def("solve", &Holder::solveArray, py::arg("x"))
      .def("solve", &Holder::solveState, py::arg("x"))
      .def("reset", [](Holder& holder) { holder.solver->reset(); })
      .def_property_readonly("function_calls",
                             [](const Holder& holder) { return holder.system->functionCalls; })
      .def_property_readonly("jacobian_calls",
                             [](const Holder& holder) { return holder.system->jacobianCalls; })
      // For root(): the last point the solver evaluated and its residual (None before any),
      // and the residual at x when that point is x (None otherwise).
      .def("_last_evaluation",
           [](const Holder& holder) -> py::object {
             if (!holder.system->hasLast) return py::none();
             return py::make_tuple(OndrelPython::copyToArray(holder.system->lastPoint),
                                   OndrelPython::copyToArray(holder.system->lastResidual));
           })
      .def("_residual_at",
           [](const Holder& holder, const py::array& x) -> py::object {
             const PythonSystem& system = *holder.system;
             const auto n = static_cast<py::ssize_t>(system.lastPoint.size());
             if (!system.hasLast || x.ndim() != 1 || x.shape(0) != n ||
                 !x.dtype().equal(py::dtype::of<double>())) {
               return py::none();
             }
             for (py::ssize_t i = 0; i < n; ++i) {
               const double value = *static_cast<const double*>(x.data(i));
               if (!(value == system.lastPoint(i))) return py::none();
             }
             return OndrelPython::copyToArray(system.lastResidual);
           })
      .def("_prime", [](Holder& holder, const py::array& point, py::object f, py::object j) {
        Eigen::VectorXd values;
        OndrelPython::readVector(point, values, point.size(), "x0");
        holder.system->prime(values, std::move(f), std::move(j));
      });
}

std::string informationText(const BroydenInformation& information) {
  return "Information(converged=" + std::string(information.converged ? "True" : "False") +
         ", iterations=" + std::to_string(information.iterations) +
         ", jacobian_evaluations=" + std::to_string(information.jacobianEvaluations) +
         ", residual_evaluations=" + std::to_string(information.residualEvaluations) +
         ", residual_norm=" + std::string(py::str(py::float_(information.residualNorm))) +
         ", message='" + information.message + "')";
}

py::array_t<double> stateValues(py::object self) {
  State& state = self.cast<State&>();
  // A view kept alive by the State; its length never changes, so the storage never moves.
  return py::array_t<double>(
      {state.values.size()}, {static_cast<py::ssize_t>(sizeof(double))}, state.values.data(), self);
}

void setStateValues(State& state, const py::object& values) {
  Eigen::VectorXd given(state.values.size());
  OndrelPython::readVector(values, given, state.values.size(), "State.values");
  state.values = given;
}

// Real numbers of any length in one dimension.
Eigen::VectorXd readValues(const py::object& given, const char* what) {
  const py::array values = py::module_::import("numpy").attr("asarray")(given);
  if (values.ndim() != 1) {
    throw py::value_error(std::string(what) + " must be one-dimensional; got " +
                          std::to_string(values.ndim()) + " dimensions");
  }
  Eigen::VectorXd read;
  OndrelPython::readVector(values, read, values.shape(0), what);
  return read;
}

// State::addQuaternion and addRotationVector, with the increment start optional.
template <void (State::*byCount)(long long), void (State::*atIncrement)(long long, long long)>
auto registerRotation() {
  return [](State& state, long long start, std::optional<long long> incrementStart) {
    incrementStart ? (state.*atIncrement)(start, *incrementStart) : (state.*byCount)(start);
  };
}

// A rotation class with the operators, any rotation on the right.
template <class Kind>
py::class_<Kind, Rotation::ABC> bindRotation(py::module_& module, const char* name) {
  py::class_<Kind, Rotation::ABC> rotation(module, name);
  rotation.def(py::init<>())
      .def("__add__", [](const Kind& a, const Rotation::ABC& b) { return a + b; })
      .def("__sub__", [](const Kind& a, const Rotation::ABC& b) { return a - b; })
      .def("__mul__", [](const Kind& a, const Rotation::ABC& b) { return a * b; });
  return rotation;
}

}  // namespace

PYBIND11_MODULE(_core, module) {
  module.doc() = "Compiled core of the ondrel package; use the names ondrel exports.";

  py::enum_<BroydenTermination>(module, "Termination", "Why the last solve ended.")
      .value("NOT_SOLVED", BroydenTermination::kNotSolved)
      .value("CONVERGED", BroydenTermination::kConverged)
      .value("ACCEPTED_AT_START", BroydenTermination::kAcceptedAtStart)
      .value("ITERATION_LIMIT", BroydenTermination::kIterationLimit)
      .value("NON_FINITE", BroydenTermination::kNonFinite)
      .value("SINGULAR_JACOBIAN", BroydenTermination::kSingularJacobian)
      .value("STOPPED_BY_MONITOR", BroydenTermination::kStoppedByMonitor)
      .value("LINE_SEARCH_FAILED", BroydenTermination::kLineSearchFailed)
      .value("STAGNATED", BroydenTermination::kStagnated)
      .value("DIVERGED", BroydenTermination::kDiverged);
  module.def("termination_name",
             &terminationName,
             py::arg("termination"),
             "The termination's name as the C++ library spells it (kConverged, ...).");
  py::enum_<SignConstraint>(module, "SignConstraint", "A sign constraint on one variable.")
      .value("NONE", SignConstraint::kNone)
      .value("NON_NEGATIVE", SignConstraint::kNonNegative)
      .value("POSITIVE", SignConstraint::kPositive)
      .value("NON_POSITIVE", SignConstraint::kNonPositive)
      .value("NEGATIVE", SignConstraint::kNegative);
  py::enum_<StepControl>(module, "StepControl", "How an iteration turns its direction into a step.")
      .value("FULL_STEP", StepControl::kFullStep)
      .value("LINE_SEARCH", StepControl::kLineSearch)
      .value("TRUST_REGION", StepControl::kTrustRegion);
  py::enum_<JacobianChange>(module, "JacobianChange", "What one iteration did to the Jacobian.")
      .value("NONE", JacobianChange::kNone)
      .value("UPDATED", JacobianChange::kUpdated)
      .value("REFRESHED", JacobianChange::kRefreshed);

  py::class_<BroydenParameters>(module, "Parameters", "BroydenParameters, snake_case.")
      .def(py::init<>())
      .def_static("robust", &BroydenParameters::robust)
      .def_static("persistent", &BroydenParameters::persistent)
      .def_readwrite("max_iterations", &BroydenParameters::maxIterations)
      .def_readwrite("absolute_tolerance", &BroydenParameters::absoluteTolerance)
      .def_readwrite("relative_tolerance", &BroydenParameters::relativeTolerance)
      .def_readwrite("refresh_reduction_ratio", &BroydenParameters::refreshReductionRatio)
      .def_readwrite("good_reduction_ratio", &BroydenParameters::goodReductionRatio)
      .def_readwrite("refresh_count_limit", &BroydenParameters::refreshCountLimit)
      .def_readwrite("update_method", &BroydenParameters::updateMethod)
      .def_readwrite("fail_fast", &BroydenParameters::failFast)
      .def_readwrite("step_control", &BroydenParameters::stepControl)
      .def_readwrite("max_step_factor", &BroydenParameters::maxStepFactor)
      .def_readwrite("max_step_cuts", &BroydenParameters::maxStepCuts)
      .def_readwrite("residual_growth_allowance", &BroydenParameters::residualGrowthAllowance)
      .def_readwrite("stagnation_jacobians", &BroydenParameters::stagnationJacobians)
      .def_readwrite("stagnation_iterations", &BroydenParameters::stagnationIterations)
      .def_readwrite("divergence_factor", &BroydenParameters::divergenceFactor)
      .def_readwrite("relative_residual_tolerance", &BroydenParameters::relativeResidualTolerance)
      .def_readwrite("residual_scales", &BroydenParameters::residualScales)
      .def_readwrite("variable_scales", &BroydenParameters::variableScales)
      .def_readwrite("constraints", &BroydenParameters::constraints);

  py::class_<BroydenInformation>(module, "Information", "The record of a solve (a copy).")
      .def_readonly("converged", &BroydenInformation::converged)
      .def_readonly("iterations", &BroydenInformation::iterations)
      .def_readonly("message", &BroydenInformation::message)
      .def_readonly("jacobian_evaluations", &BroydenInformation::jacobianEvaluations)
      .def_readonly("error", &BroydenInformation::error)
      .def_readonly("residual_norm", &BroydenInformation::residualNorm)
      .def_readonly("residual_evaluations", &BroydenInformation::residualEvaluations)
      .def_readonly("termination", &BroydenInformation::termination)
      .def_readonly("fallbacks_used", &BroydenInformation::fallbacksUsed)
      .def("__repr__", &informationText);

  py::class_<IterationReport>(module, "IterationReport", "What a monitor is shown.")
      .def_readonly("iteration", &IterationReport::iteration)
      .def_readonly("residual_norm", &IterationReport::residualNorm)
      .def_readonly("step_norm", &IterationReport::stepNorm)
      .def_readonly("jacobian_evaluations", &IterationReport::jacobianEvaluations)
      .def_readonly("jacobian_change", &IterationReport::jacobianChange)
      .def_readonly("values", &IterationReport::values)
      .def_readonly("step_length", &IterationReport::stepLength)
      .def_readonly("step_cuts", &IterationReport::stepCuts)
      .def_readonly("restarted", &IterationReport::restarted)
      .def_readonly("escaped", &IterationReport::escaped)
      .def_readonly("termination", &IterationReport::termination);

  bindSolver<Broyden>(module, "Broyden");
  bindSolver<SparseBroyden>(module, "SparseBroyden");
  module.attr("DEFAULT_UPDATE_LIMIT") = SparseBroyden::kDefaultUpdateLimit;

  py::class_<State>(module, "State", "Structured variables with quaternion stretches.")
      .def(py::init<long long>(), py::arg("size"))
      .def(py::init([](const py::object& values) {
             const Eigen::VectorXd given = readValues(values, "State(values)");
             State state(given.size());
             state.values = given;
             return state;
           }),
           py::arg("values"))
      .def_property("values", &stateValues, &setStateValues)
      .def("add_quaternion",
           registerRotation<&State::addQuaternion, &State::addQuaternion>(),
           py::arg("start"),
           py::arg("increment_start") = py::none())
      .def("add_rotation_vector",
           registerRotation<&State::addRotationVector, &State::addRotationVector>(),
           py::arg("start"),
           py::arg("increment_start") = py::none())
      .def("name_entries",
           &State::nameEntries,
           py::arg("name"),
           py::arg("start"),
           py::arg("increment_start"))
      .def_readonly("named_entries", &State::namedEntries)
      .def("increment_size", &State::incrementSize)
      .def(
          "add_increment",
          [](State& state, const py::object& dx) {
            return Ondrel::Math::addIncrement(state, readValues(dx, "dx"), nullptr);
          },
          py::arg("dx"))
      .def("copy", [](const State& state) { return State(state); })
      .def("__len__", [](const State& state) { return state.values.size(); });

  py::class_<Rotation::ABC>(module, "Rotation", "What every rotation offers.")
      .def("inverse", &Rotation::ABC::inverse)
      .def("unknowns", &Rotation::ABC::unknowns)
      .def("as_quaternion", [](const Rotation::ABC& rotation) {
        const Eigen::Quaterniond q = rotation.asQuaternion();
        return Eigen::Vector4d(q.w(), q.x(), q.y(), q.z());
      });
  bindRotation<Rotation::Quaternion>(module, "Quaternion")
      .def(py::init<const Eigen::VectorXd&>(), py::arg("wxyz"))
      .def(py::init([](double w, double x, double y, double z) {
             return Rotation::Quaternion(Eigen::Vector4d(w, x, y, z).eval());
           }),
           py::arg("w"),
           py::arg("x"),
           py::arg("y"),
           py::arg("z"));
  bindRotation<Rotation::RotationVector>(module, "RotationVector")
      .def(py::init<const Eigen::VectorXd&>(), py::arg("axis_angle"));
}
