// The bridge between Python callables and the solver's callables: how NumPy arrays and SciPy
// sparse matrices become the vectors and matrices the solver hands out, and back.
//
// Everything here runs on the thread that called solve, with the GIL held: the callables are
// Python, so there is nothing to gain from releasing it and a deadlock to lose. A Python
// exception raised in a callable leaves it as pybind11's error_already_set, which the solver
// passes through unchanged (it never catches a host's exception) and pybind11 raises again at
// the binding's boundary with its type and traceback. Misuse detected here (an array of the wrong
// shape or dtype) is a ValueError naming the callable, the expected and the received shape.
//
// Copies. The variables are copied into a fresh array for each call, because a Python callable
// may keep what it is given (a history, a closure) and the solver's storage changes under it. The
// callables' results are read in place when they are float64 arrays (any strides, C or Fortran
// order) and copied once into the solver's storage; other real dtypes are converted first.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <Eigen/Core>
#include <Eigen/SparseCore>
#include <cstdint>
#include <ondrel/broyden/Broyden>
#include <string>

namespace OndrelPython {

namespace py = pybind11;

// A fresh float64 array holding a copy of the values.
py::array_t<double> copyToArray(const Eigen::Ref<const Eigen::VectorXd>& values);

// Copies a callable's result, which must convert to m real numbers in one dimension, into f.
// `what` names the result in messages ("fun", "the residual of fun").
void readVector(const py::handle& result, Eigen::VectorXd& f, Eigen::Index m, const char* what);

// Copies a dense m x m result into j.
void readDenseMatrix(const py::handle& result,
                     Eigen::MatrixXd& j,
                     Eigen::Index m,
                     const char* what);

// Copies a scipy.sparse matrix (any format; a dense array is accepted too) into j. When j already
// holds the same pattern only the values are copied, so the solver keeps its symbolic analysis.
void readSparseMatrix(const py::handle& result,
                      Eigen::SparseMatrix<double>& j,
                      Eigen::Index m,
                      const char* what);

// Raises KeyboardInterrupt (or whatever a signal handler raised) inside a solve.
void checkSignals();

// A system described by Python callables, shared by the residual and Jacobian callables a solver
// holds. The Jacobian comes from `jac`, from `fun` itself (jac=True: fun returns (F, J)), or from
// forward differences of the residual (jac=None). Counts every Python call, and keeps the last
// point the solver evaluated with its residual, which root() reports on failure.
class PythonSystem {
 public:
  enum class JacobianSource { kCallable, kFromFun, kForwardDifferences };

  PythonSystem(py::object fun, py::object jac, JacobianSource source, Eigen::Index m);

  void residual(const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f);
  void denseJacobian(const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::MatrixXd& j);
  void sparseJacobian(const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::SparseMatrix<double>& j);
  // The residual without recording the point: what forward differences step through.
  void plainResidual(const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f);

  // Results already computed at `point` (by root() deciding dense or sparse): the first request
  // at exactly that point takes them instead of calling Python again. None leaves one unset.
  void prime(const Eigen::VectorXd& point, py::object residual, py::object jacobian);

  std::uint64_t functionCalls = 0;
  std::uint64_t jacobianCalls = 0;
  Eigen::VectorXd lastPoint;
  Eigen::VectorXd lastResidual;
  bool hasLast = false;
  JacobianSource source;

 private:
  py::object callFun(const Eigen::Ref<const Eigen::VectorXd>& x);
  // The Jacobian object at x: primed, left by the last fun call (jac=True), or a new call.
  py::object jacobianAt(const Eigen::Ref<const Eigen::VectorXd>& x);

  py::object fun;
  py::object jac;
  Eigen::Index m;
  Eigen::VectorXd primedPoint;
  py::object primedResidual;
  py::object primedJacobian;
  // jac=True: the Jacobian half of the last fun call and its point.
  Eigen::VectorXd jacobianPoint;
  py::object pendingJacobian;
};

}  // namespace OndrelPython
