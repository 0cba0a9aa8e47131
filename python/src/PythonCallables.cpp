#include "PythonCallables.hpp"

#include <cstring>
#include <utility>
#include <vector>

namespace OndrelPython {

namespace {

constexpr py::ssize_t kDoubleBytes = static_cast<py::ssize_t>(sizeof(double));

std::string shapeText(const py::array& a) {
  std::string text = "(";
  for (py::ssize_t d = 0; d < a.ndim(); ++d) {
    if (d > 0) text += ", ";
    text += std::to_string(a.shape(d));
  }
  return text + (a.ndim() == 1 ? ",)" : ")");
}

bool samePoint(const Eigen::Ref<const Eigen::VectorXd>& x, const Eigen::VectorXd& point) {
  return x.size() == point.size() && (x.array() == point.array()).all();
}

// The result as a float64 array, converted only when it is not one already. Integers, booleans
// and narrower floats convert exactly; complex numbers, objects and strings would lose meaning.
py::array asRealArray(const py::handle& result, const char* what) {
  const auto float64 = py::dtype::of<double>();
  if (py::isinstance<py::array>(result)) {
    auto array = py::reinterpret_borrow<py::array>(result);
    if (array.dtype().is(float64) || array.dtype().equal(float64)) return array;
  }
  py::module_ numpy = py::module_::import("numpy");
  py::array array = numpy.attr("asarray")(result);
  const char kind = array.dtype().kind();
  if (kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b') {
    throw py::value_error(std::string(what) + " returned an array of dtype " +
                          std::string(py::str(array.dtype())) +
                          "; expected real numbers (float64)");
  }
  return numpy.attr("asarray")(array, float64);
}

template <class Index>
void copyPattern(const py::array& source, Index* target, py::ssize_t count) {
  auto indices = py::array_t<Index, py::array::c_style | py::array::forcecast>::ensure(source);
  if (!indices) throw py::error_already_set();
  std::memcpy(target, indices.data(), static_cast<std::size_t>(count) * sizeof(Index));
}

}  // namespace

py::array_t<double> copyToArray(const Eigen::Ref<const Eigen::VectorXd>& values) {
  py::array_t<double> array(values.size());
  if (values.size() > 0) {
    std::memcpy(array.mutable_data(),
                values.data(),
                static_cast<std::size_t>(values.size()) * sizeof(double));
  }
  return array;
}

void readVector(const py::handle& result, Eigen::VectorXd& f, Eigen::Index m, const char* what) {
  const py::array array = asRealArray(result, what);
  if (array.ndim() != 1 || array.shape(0) != m) {
    throw py::value_error(std::string(what) + " returned an array of shape " + shapeText(array) +
                          "; expected shape (" + std::to_string(m) + ",)");
  }
  f.resize(m);
  const auto* bytes = static_cast<const char*>(array.data());
  const py::ssize_t stride = m > 1 ? array.strides(0) : kDoubleBytes;
  if (stride == kDoubleBytes) {
    if (m > 0) std::memcpy(f.data(), bytes, static_cast<std::size_t>(m) * sizeof(double));
    return;
  }
  for (Eigen::Index i = 0; i < m; ++i) std::memcpy(&f(i), bytes + i * stride, sizeof(double));
}

void readDenseMatrix(const py::handle& result,
                     Eigen::MatrixXd& j,
                     Eigen::Index m,
                     const char* what) {
  const py::array array = asRealArray(result, what);
  if (array.ndim() != 2 || array.shape(0) != m || array.shape(1) != m) {
    throw py::value_error(std::string(what) + " returned an array of shape " + shapeText(array) +
                          "; expected shape (" + std::to_string(m) + ", " + std::to_string(m) +
                          ")");
  }
  j.resize(m, m);
  if (m == 0) return;
  const auto* bytes = static_cast<const char*>(array.data());
  const py::ssize_t rowStride = array.strides(0), columnStride = array.strides(1);
  if (rowStride == kDoubleBytes && columnStride == kDoubleBytes * m) {
    std::memcpy(j.data(), bytes, static_cast<std::size_t>(m * m) * sizeof(double));
  } else if (columnStride == kDoubleBytes && rowStride == kDoubleBytes * m) {
    // NumPy's default C order: one transposing pass, no intermediate copy.
    using RowMajor = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
    j = Eigen::Map<const RowMajor>(reinterpret_cast<const double*>(bytes), m, m);
  } else {
    for (Eigen::Index c = 0; c < m; ++c) {
      for (Eigen::Index r = 0; r < m; ++r) {
        std::memcpy(&j(r, c), bytes + r * rowStride + c * columnStride, sizeof(double));
      }
    }
  }
}

void readSparseMatrix(const py::handle& result,
                      Eigen::SparseMatrix<double>& j,
                      Eigen::Index m,
                      const char* what) {
  py::module_ sparse = py::module_::import("scipy.sparse");
  py::object matrix = py::reinterpret_borrow<py::object>(result);
  if (!sparse.attr("issparse")(matrix).cast<bool>()) {
    const py::array dense = asRealArray(matrix, what);
    if (dense.ndim() != 2) {
      throw py::value_error(std::string(what) + " returned an array of shape " + shapeText(dense) +
                            "; expected a scipy.sparse matrix of shape (" + std::to_string(m) +
                            ", " + std::to_string(m) + ")");
    }
    matrix = sparse.attr("csc_matrix")(dense);
  }
  const auto shape = matrix.attr("shape").cast<std::pair<long long, long long>>();
  if (shape.first != m || shape.second != m) {
    throw py::value_error(std::string(what) + " returned a sparse matrix of shape (" +
                          std::to_string(shape.first) + ", " + std::to_string(shape.second) +
                          "); expected shape (" + std::to_string(m) + ", " + std::to_string(m) +
                          ")");
  }
  py::object csc = matrix.attr("tocsc")();
  // The solver wants strictly increasing rows in each column: sort and merge duplicates on a
  // copy, never on the caller's matrix.
  if (!csc.attr("has_canonical_format").cast<bool>()) {
    csc = csc.attr("copy")();
    csc.attr("sum_duplicates")();
  }
  const py::array values = asRealArray(csc.attr("data"), what);
  const py::array rows = csc.attr("indices");
  const py::array starts = csc.attr("indptr");
  const py::ssize_t nonZeros = values.size();
  if (values.ndim() != 1 || rows.size() != nonZeros || starts.size() != m + 1) {
    throw py::value_error(std::string(what) +
                          " returned a sparse matrix whose CSC arrays are "
                          "inconsistent");
  }
  // The held pattern is reused when it is the same, entry for entry: only the values move.
  bool samePattern = j.isCompressed() && j.rows() == m && j.cols() == m && j.nonZeros() == nonZeros;
  if (samePattern) {
    std::vector<int> buffer(static_cast<std::size_t>(m + 1));
    copyPattern<int>(starts, buffer.data(), m + 1);
    samePattern = std::equal(buffer.begin(), buffer.end(), j.outerIndexPtr());
    if (samePattern) {
      buffer.resize(static_cast<std::size_t>(nonZeros));
      copyPattern<int>(rows, buffer.data(), nonZeros);
      samePattern = std::equal(buffer.begin(), buffer.end(), j.innerIndexPtr());
    }
  }
  if (!samePattern) {
    Eigen::SparseMatrix<double> rebuilt(m, m);
    rebuilt.resizeNonZeros(nonZeros);
    copyPattern<int>(starts, rebuilt.outerIndexPtr(), m + 1);
    copyPattern<int>(rows, rebuilt.innerIndexPtr(), nonZeros);
    // A row index outside the matrix would be read as memory; refuse it here.
    const int* outer = rebuilt.outerIndexPtr();
    bool valid = outer[0] == 0 && outer[m] == nonZeros;
    for (Eigen::Index c = 0; valid && c < m; ++c) valid = outer[c] <= outer[c + 1];
    for (py::ssize_t k = 0; valid && k < nonZeros; ++k) {
      valid = rebuilt.innerIndexPtr()[k] >= 0 && rebuilt.innerIndexPtr()[k] < m;
    }
    if (!valid) {
      throw py::value_error(std::string(what) +
                            " returned a sparse matrix with indices "
                            "outside its shape");
    }
    j = std::move(rebuilt);
  }
  const auto* bytes = static_cast<const char*>(values.data());
  const py::ssize_t stride = nonZeros > 1 ? values.strides(0) : kDoubleBytes;
  for (py::ssize_t k = 0; k < nonZeros; ++k) {
    std::memcpy(j.valuePtr() + k, bytes + k * stride, sizeof(double));
  }
}

void checkSignals() {
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

PythonSystem::PythonSystem(py::object fun, py::object jac, JacobianSource source, Eigen::Index m)
    : source(source), fun(std::move(fun)), jac(std::move(jac)), m(m) {}

py::object PythonSystem::callFun(const Eigen::Ref<const Eigen::VectorXd>& x) {
  checkSignals();
  ++functionCalls;
  return fun(copyToArray(x));
}

void PythonSystem::residual(const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
  py::object result;
  if (primedResidual && samePoint(x, primedPoint)) {
    result = std::move(primedResidual);
    primedResidual = py::object();
  } else {
    result = callFun(x);
  }
  if (source == JacobianSource::kFromFun) {
    const bool pair = (py::isinstance<py::tuple>(result) || py::isinstance<py::list>(result)) &&
                      py::len(result) == 2;
    if (!pair) {
      throw py::value_error("fun must return a pair (F, J) when jac=True; it returned " +
                            std::string(py::str(py::type::handle_of(result).attr("__name__"))));
    }
    pendingJacobian = result[py::int_(1)];
    jacobianPoint = x;
    result = result[py::int_(0)];
  }
  readVector(result, f, m, "fun");
  lastPoint = x;
  lastResidual = f;
  hasLast = true;
}

void PythonSystem::plainResidual(const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
  readVector(callFun(x), f, m, "fun");
}

py::object PythonSystem::jacobianAt(const Eigen::Ref<const Eigen::VectorXd>& x) {
  if (primedJacobian && samePoint(x, primedPoint)) {
    py::object result = std::move(primedJacobian);
    primedJacobian = py::object();
    return result;
  }
  if (source == JacobianSource::kFromFun) {
    if (!pendingJacobian || !samePoint(x, jacobianPoint)) {
      Eigen::VectorXd f(m);
      residual(x, f);
    }
    py::object result = std::move(pendingJacobian);
    pendingJacobian = py::object();
    return result;
  }
  checkSignals();
  ++jacobianCalls;
  return jac(copyToArray(x));
}

void PythonSystem::denseJacobian(const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::MatrixXd& j) {
  readDenseMatrix(jacobianAt(x), j, m, "jac");
}

void PythonSystem::sparseJacobian(const Eigen::Ref<const Eigen::VectorXd>& x,
                                  Eigen::SparseMatrix<double>& j) {
  readSparseMatrix(jacobianAt(x), j, m, "jac");
}

void PythonSystem::prime(const Eigen::VectorXd& point, py::object residual, py::object jacobian) {
  primedPoint = point;
  primedResidual = residual.is_none() ? py::object() : std::move(residual);
  primedJacobian = jacobian.is_none() ? py::object() : std::move(jacobian);
}

}  // namespace OndrelPython
