// The callables through which a host describes its system: the residual, and the Jacobian as a
// dense matrix (Broyden) or a sparse one (SparseBroyden).
//
// Both receive a read-only view of the variables' values (a plain vector, or the `values` of a
// State) and are called only from inside Broyden::solve, on the calling thread. The residual
// callable fills all m entries of the vector it is given; the Jacobian callable fills all m x m
// entries of the matrix, entry (i, j) being dF_i / d(increment variable j). Either may resize its
// output, but the solve rejects anything other than m entries or m x m entries.
#pragma once

#include <Eigen/Core>
#include <Eigen/SparseCore>
#include <functional>
#include <ondrel/OndrelEigen.hpp>

namespace Ondrel::Math::Solvers {

/// Writes the residual F at the given values into all m entries of the vector.
using ResidualFunction =
    std::function<void(const Eigen::Ref<const Eigen::VectorXd>&, Eigen::VectorXd&)>;
/// Writes the Jacobian at the given values into all m x m entries of the matrix: entry (i, j) is
/// dF_i / d(increment variable j).
using JacobianFunction =
    std::function<void(const Eigen::Ref<const Eigen::VectorXd>&, Eigen::MatrixXd&)>;
/// Writes the Jacobian at the given values into an m x m sparse matrix: entry (i, j) is
/// dF_i / d(increment variable j). Its pattern may change between calls (see SparseBroyden).
using SparseJacobianFunction =
    std::function<void(const Eigen::Ref<const Eigen::VectorXd>&, Eigen::SparseMatrix<double>&)>;

}  // namespace Ondrel::Math::Solvers
