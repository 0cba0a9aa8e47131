// Operations on one rotation stretch of a State, on plain parameter vectors.
//
// Conventions, shared with the geometry library:
// - a quaternion stretch holds 4 values (w, x, y, z), scalar part first;
// - its increment holds 3 values, a rotation vector of the FULL angle (axis times angle in
//   radians), not the half angle of the quaternion;
// - an increment multiplies on the left: the turned quaternion is D * Q, D the increment's
//   quaternion, Q the current one. Nothing here normalises Q.
// - a rotation-vector stretch holds 3 values, axis times angle.
// Inputs are read-only views; outputs are views into existing storage and are never resized.
// Every operation reads all of its inputs before it writes the output, so the output may alias
// an input.
#pragma once

#include <Eigen/Core>
#include <ondrel/OndrelEigen.hpp>
#include <ondrel/OndrelSolversExport.hpp>

namespace Ondrel::Math {

/// Turns quaternion q by the rotation vector in the first 3 entries of increment and writes the
/// first out.size() parameters of the result. Throws std::invalid_argument, before writing, when
/// q has other than 4 entries, increment fewer than 3, or out more than 4.
ONDREL_SOLVERS_API void addQuaternionIncrement(const Eigen::Ref<const Eigen::VectorXd>& q,
                                               const Eigen::Ref<const Eigen::VectorXd>& increment,
                                               Eigen::Ref<Eigen::VectorXd> out);

/// The component operations kept in the index of a State (signatures of ComponentCombineOp and
/// ComponentInvertOp). a is the left operand, b the right one; out receives the first
/// out.size() parameters of the result. They throw std::invalid_argument, before writing, for
/// operands of the wrong length or an out longer than the result, and std::domain_error when a
/// zero quaternion would have to be inverted.
///@{
ONDREL_SOLVERS_API void quaternionPlus(const Eigen::Ref<const Eigen::VectorXd>& a,
                                       const Eigen::Ref<const Eigen::VectorXd>& b,
                                       Eigen::Ref<Eigen::VectorXd> out);
ONDREL_SOLVERS_API void quaternionMinus(const Eigen::Ref<const Eigen::VectorXd>& a,
                                        const Eigen::Ref<const Eigen::VectorXd>& b,
                                        Eigen::Ref<Eigen::VectorXd> out);
ONDREL_SOLVERS_API void quaternionInverse(const Eigen::Ref<const Eigen::VectorXd>& a,
                                          Eigen::Ref<Eigen::VectorXd> out);
ONDREL_SOLVERS_API void rotationVectorPlus(const Eigen::Ref<const Eigen::VectorXd>& a,
                                           const Eigen::Ref<const Eigen::VectorXd>& b,
                                           Eigen::Ref<Eigen::VectorXd> out);
ONDREL_SOLVERS_API void rotationVectorMinus(const Eigen::Ref<const Eigen::VectorXd>& a,
                                            const Eigen::Ref<const Eigen::VectorXd>& b,
                                            Eigen::Ref<Eigen::VectorXd> out);
ONDREL_SOLVERS_API void rotationVectorInverse(const Eigen::Ref<const Eigen::VectorXd>& a,
                                              Eigen::Ref<Eigen::VectorXd> out);
///@}

}  // namespace Ondrel::Math
