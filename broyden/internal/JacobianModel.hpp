// What the iteration asks of a model of the Jacobian (not installed). DenseModel keeps J, its LU
// and H = J^-1 as dense matrices; SparseModel a sparse LU with the updates kept as vectors; another
// model (a distributed one, see docs/design/distributed.md) provides the same operations:
//
//   held()                    a model from an earlier solve or this one is there to use;
//   drop()                    forget it: the next solve evaluates afresh;
//   evaluate(point)           evaluate J at the point and factorise it (the refresh);
//   step(F, dx)               dx = -H F, H the model's inverse;
//   update(method, s, F, F+)  the rank-one update `method` for the step s and the residuals at
//                             both ends of it;
//   health()                  whether the model can still give finite steps (ModelHealth).
//
// The model lives in the solver object between solves; the iteration never reads its storage.
#pragma once

namespace Ondrel::Math::Solvers::internal {

// Added to every update's denominator, whatever its sign or size: it keeps a step of exactly zero
// from dividing by zero, and is far below the denominator of any step that moves.
constexpr double kDenominatorShift = 1e-14;

enum class ModelHealth {
  kFinite,
  // The Jacobian holds NaN or an infinity.
  kNonFiniteJacobian,
  // The inverse the model steps with is not finite (an exactly singular factor gives one).
  kNonFiniteInverse,
};

}  // namespace Ondrel::Math::Solvers::internal
