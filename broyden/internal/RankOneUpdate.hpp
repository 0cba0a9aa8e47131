// The rank-one correction every Broyden update applies (not installed).
#pragma once

#include <Eigen/Core>

namespace Ondrel::Math::Solvers::internal {

// a += u v^T / d, element by element: each element gets (u_i v_j) / d, rounded exactly so, and no
// m x m correction is ever formed. Sizes must agree (a is u.size() x v.size()).
void addRankOne(Eigen::MatrixXd& a,
                const Eigen::VectorXd& u,
                const Eigen::VectorXd& v,
                double denominator);

}  // namespace Ondrel::Math::Solvers::internal
