// A complexation equilibrium: a metal M and a ligand L in water form the complexes ML and ML2.
// Unknowns, all concentrations in mol/L and all positive: [M], [L], [ML], [ML2]. Equations: the
// two mass-action laws and the two mass balances,
//   [ML]  - b1 [M][L]   = 0,   b1 = 1e4 L/mol
//   [ML2] - b2 [M][L]^2 = 0,   b2 = 1e8 L^2/mol^2
//   [M] + [ML] + [ML2]    - total M = 0,   total M = 1e-3 mol/L
//   [L] + [ML] + 2 [ML2]  - total L = 0,   total L = 3e-3 mol/L
// A concentration is never negative: the residual answers NaN there, as a host without sign
// constraints must, so that a line search cuts such a step back.
#pragma once

#include <Eigen/Dense>
#include <limits>
#include <ondrel/broyden/Broyden>

namespace Gallery {

struct Complexation {
  double b1 = 1e4;
  double b2 = 1e8;
  double totalMetal = 1e-3;
  double totalLigand = 3e-3;

  Ondrel::Math::Solvers::ResidualFunction residual() const {
    return [c = *this](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
      if ((x.array() < 0.0).any()) {
        f.setConstant(std::numeric_limits<double>::quiet_NaN());
        return;
      }
      const double m = x(0), l = x(1), ml = x(2), ml2 = x(3);
      f << ml - c.b1 * m * l, ml2 - c.b2 * m * l * l, m + ml + ml2 - c.totalMetal,
          l + ml + 2.0 * ml2 - c.totalLigand;
    };
  }

  Ondrel::Math::Solvers::JacobianFunction jacobian() const {
    return [c = *this](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::MatrixXd& j) {
      const double m = x(0), l = x(1);
      j << -c.b1 * l, -c.b1 * m, 1.0, 0.0,               //
          -c.b2 * l * l, -2.0 * c.b2 * m * l, 0.0, 1.0,  //
          1.0, 0.0, 1.0, 1.0,                            //
          0.0, 1.0, 1.0, 2.0;
    };
  }

  // Every concentration starts at 1 mol/L, a thousand times the totals.
  static Eigen::VectorXd start() { return Eigen::VectorXd::Constant(4, 1.0); }
};

}  // namespace Gallery
