// ondrel_minpack: the MINPACK-1 test set of the C++ benchmarks as Python callables, and the C++
// solver run on it directly, for the binding's tests and benchmark script. Not installed.
#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <Eigen/Core>
#include <ondrel/broyden/Broyden>
#include <string>
#include <vector>

#include "MinpackTestSet.hpp"

namespace py = pybind11;
using Ondrel::Benchmarks::TestProblem;
using namespace Ondrel::Math::Solvers;

namespace {

const std::vector<TestProblem>& testSet() {
  static const std::vector<TestProblem> problems = Ondrel::Benchmarks::standardTestSet();
  return problems;
}

const TestProblem& problemAt(std::size_t index) {
  if (index >= testSet().size()) throw py::index_error("no such problem");
  return testSet().at(index);
}

}  // namespace

PYBIND11_MODULE(_minpack, module) {
  module.doc() = "The MINPACK-1 test set as Python callables (tests and benchmarks only).";
  module.attr("START_FACTORS") = std::vector<double>{1.0, 10.0, 100.0};
  module.def("names", [] {
    std::vector<std::string> names;
    for (const TestProblem& problem : testSet()) names.push_back(problem.name());
    return names;
  });
  module.def("start",
             [](std::size_t index, double factor) { return problemAt(index).start(factor); });
  // Python callables over the C++ systems: fun(x) -> F, jac(x) -> J (Fortran order, m x m).
  module.def("callables", [](std::size_t index) {
    const TestProblem problem = problemAt(index);
    py::cpp_function fun([problem](const Eigen::VectorXd& x) {
      Eigen::VectorXd f(problem.size());
      problem.residual(x, f);
      return f;
    });
    py::cpp_function jac([problem](const Eigen::VectorXd& x) {
      Eigen::MatrixXd j(problem.size(), problem.size());
      problem.jacobian(x, j);
      return j;
    });
    return py::make_tuple(fun, jac);
  });
  // The C++ solver on the C++ callables: the record, and the root or the kept guess.
  module.def("solve_in_cpp", [](std::size_t index, double factor, bool robust) {
    const TestProblem problem = problemAt(index);
    BroydenParameters parameters = robust ? BroydenParameters::robust() : BroydenParameters();
    parameters.outputStream = nullptr;
    Broyden solver(
        problem.size(),
        problem.size(),
        parameters,
        [&problem](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
          problem.residual(x, f);
        },
        [&problem](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::MatrixXd& j) {
          problem.jacobian(x, j);
        });
    Eigen::VectorXd x = problem.start(factor);
    const BroydenInformation information = solver.solve(x);
    return py::make_tuple(information.converged,
                          information.iterations,
                          information.jacobianEvaluations,
                          information.residualEvaluations,
                          information.residualNorm,
                          x);
  });
}
