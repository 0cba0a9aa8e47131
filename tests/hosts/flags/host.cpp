// A host built with its own CPU flags (-mavx2, -march=x86-64-v4, a host-only sanitizer) against
// the library as installed, through pkg-config (scripts/test-package). Eigen objects cross the
// boundary both ways here: State values allocated inside the library and copied by the host, the
// Jacobian and residual storage the library hands to the callables, a sparse Jacobian the host
// assembles, and storage a misbehaving callable reallocates. It prints every result in full
// precision, for comparison with the same host built without flags, and exits non-zero when a
// misuse is not refused with its documented exception.
#include <Eigen/Geometry>
#include <cstdio>
#include <ondrel/broyden/Broyden>
#include <ondrel/broyden/SparseBroyden.hpp>
#include <ondrel/geometry/Quaternion.hpp>
#include <stdexcept>
#include <string>

#include "RigidBodyProblem.hpp"

using namespace Ondrel::Math::Solvers;

namespace {

BroydenParameters quiet() {
  BroydenParameters parameters;
  parameters.outputStream = nullptr;
  return parameters;
}

void print(const char* label, const BroydenInformation& info, const Eigen::VectorXd& values) {
  std::printf("%s %d %llu %llu %llu",
              label,
              info.converged ? 1 : 0,
              static_cast<unsigned long long>(info.iterations),
              static_cast<unsigned long long>(info.residualEvaluations),
              static_cast<unsigned long long>(info.jacobianEvaluations));
  for (Eigen::Index i = 0; i < values.size(); ++i) std::printf(" %.17g", values(i));
  std::printf("\n");
}

// The rigid body on springs: 7 values (a position and a quaternion), 6 equations, from four
// orientations, with the analytic Jacobian and with differences taken by the library.
void rigidBody() {
  const Gallery::RigidBodyOnSprings body = Gallery::RigidBodyOnSprings::standard();
  const Ondrel::Math::State layout = Gallery::RigidBodyOnSprings::initialGuess();
  const JacobianFunction jacobians[] = {body.jacobian(),
                                        forwardDifferenceJacobian(body.residual(), layout)};
  for (const JacobianFunction& jacobian : jacobians) {
    Broyden solver(7, 6, quiet(), body.residual(), jacobian);
    for (double angle : {0.0, 0.7, 2.0}) {
      Ondrel::Math::State pose = Gallery::RigidBodyOnSprings::initialGuess();
      const Eigen::Quaterniond turn(
          Eigen::AngleAxisd(angle, Eigen::Vector3d(1, 2, 3).normalized()));
      pose.values.segment<4>(3) << turn.w(), turn.x(), turn.y(), turn.z();
      const BroydenInformation& info = solver.solve(pose);
      // The copies a host makes of what the solve left: aligned loads of the library's blocks.
      const Eigen::VectorXd copied = pose.values;
      const Ondrel::Geometry::Rotation::Quaternion orientation(
          Eigen::Quaterniond(copied(3), copied(4), copied(5), copied(6)));
      Eigen::VectorXd summary = copied;
      summary.conservativeResize(11);
      summary.tail<4>() = orientation.asQuaternion().coeffs();
      print("pose", info, summary);
    }
  }
}

// A tridiagonal system, x_i^3 + 2 x_i - x_{i-1} - x_{i+1} = 1, with a sparse Jacobian the host
// assembles.
void tridiagonal() {
  const Eigen::Index m = 40;
  const ResidualFunction residual = [m](const Eigen::Ref<const Eigen::VectorXd>& x,
                                        Eigen::VectorXd& f) {
    for (Eigen::Index i = 0; i < m; ++i) {
      f(i) = x(i) * x(i) * x(i) + 2.0 * x(i) - 1.0;
      if (i > 0) f(i) -= x(i - 1);
      if (i + 1 < m) f(i) -= x(i + 1);
    }
  };
  const SparseJacobianFunction jacobian = [m](const Eigen::Ref<const Eigen::VectorXd>& x,
                                              Eigen::SparseMatrix<double>& j) {
    std::vector<Eigen::Triplet<double>> entries;
    for (Eigen::Index i = 0; i < m; ++i) {
      entries.emplace_back(i, i, 3.0 * x(i) * x(i) + 2.0);
      if (i > 0) entries.emplace_back(i, i - 1, -1.0);
      if (i + 1 < m) entries.emplace_back(i, i + 1, -1.0);
    }
    j.resize(m, m);
    j.setFromTriplets(entries.begin(), entries.end());
  };
  SparseBroyden solver(m, m, quiet(), residual, jacobian);
  Eigen::VectorXd x = Eigen::VectorXd::Zero(m);
  print("sparse", solver.solve(x), x);
}

// Callables that resize the storage they are handed: the solve refuses them, and the storage the
// host's Eigen reallocated is freed by the library's.
int misuse() {
  int failures = 0;
  const auto refused = [&failures](
                           const char* what, ResidualFunction residual, JacobianFunction jacobian) {
    Broyden solver(2, 2, quiet(), std::move(residual), std::move(jacobian));
    Eigen::VectorXd x = Eigen::VectorXd::Constant(2, 3.0);
    try {
      solver.solve(x);
      std::printf("misuse %s: not refused\n", what);
      ++failures;
    } catch (const std::invalid_argument&) {
      std::printf("misuse %s: refused\n", what);
    }
    if (x != Eigen::VectorXd::Constant(2, 3.0)) {
      std::printf("misuse %s: the guess was written\n", what);
      ++failures;
    }
  };
  const ResidualFunction square = [](const Eigen::Ref<const Eigen::VectorXd>& x,
                                     Eigen::VectorXd& f) { f = x.array().square() - 4.0; };
  const JacobianFunction diagonal = [](const Eigen::Ref<const Eigen::VectorXd>& x,
                                       Eigen::MatrixXd& j) {
    j = Eigen::MatrixXd(2.0 * x.asDiagonal());
  };
  refused(
      "jacobian resized", square, [](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::MatrixXd& j) {
        j = Eigen::MatrixXd::Identity(17, 17);
      });
  refused(
      "residual resized",
      [](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::VectorXd& f) {
        f = Eigen::VectorXd::Ones(33);
      },
      diagonal);
  return failures;
}

}  // namespace

int main() {
  rigidBody();
  tridiagonal();
  return misuse() == 0 ? 0 : 1;
}
