// StateIndexer: divides the values of a State into components and places each in the increment
// vector.
//
// The owner of the State fills `size` (always the length of its values) and the registry
// `rotations`, and sets `needsIndexing` whenever either changes; buildIndex() turns them into
// `components`, an ordered list that covers the values: rotation stretches where they were
// registered, plain blocks in the gaps. A quaternion component holds 4 values (w, x, y, z,
// scalar first) and moves with 3 increment entries; a rotation-vector component holds 3 and
// moves with 3; a plain block moves with as many increment entries as it holds values.
// Plain blocks take their increment positions from the running count, rotations from the
// registry, so the two agree only when each rotation is registered where the running count
// reaches (State's registration calls keep it so).
//
// The members are public and their order is part of the interface shared with hosts.
#pragma once

#include <Eigen/Core>
#include <functional>
#include <iosfwd>
#include <map>
#include <ondrel/OndrelEigen.hpp>
#include <ondrel/OndrelSolversExport.hpp>

namespace Ondrel::Math {

/// Kind codes of the components. Stored as plain int in the registry and the records.
enum ComponentKind : int { Quaternion = 0, RotationVector = 5, Vector = 31 };

/// (a, b, out): out receives the combination of the parameter vectors a and b.
using ComponentCombineOp = std::function<void(const Eigen::Ref<const Eigen::VectorXd>&,
                                              const Eigen::Ref<const Eigen::VectorXd>&,
                                              Eigen::Ref<Eigen::VectorXd>)>;
/// (a, out): out receives the inverse of the parameter vector a.
using ComponentInvertOp =
    std::function<void(const Eigen::Ref<const Eigen::VectorXd>&, Eigen::Ref<Eigen::VectorXd>)>;

/// One stretch of the values and its place in the increment vector. The callables are set for
/// rotation kinds and empty for plain blocks; nothing in the solver calls them.
struct StateComponent {
  long long start = 0;           ///< first entry in values, equal to the key in `components`
  long long size = 0;            ///< number of entries in values
  long long incrementStart = 0;  ///< first entry in the increment vector
  long long incrementSize = 0;   ///< number of entries in the increment vector
  bool isVector = false;         ///< true for the plain blocks made by buildIndex
  int kind = Vector;             ///< a ComponentKind code
  ComponentCombineOp plus;       ///< composition of two parameter vectors of this kind
  ComponentCombineOp minus;      ///< difference of two parameter vectors of this kind
  ComponentInvertOp inverse;     ///< inverse of one parameter vector of this kind
};

/// Divides the values of a State into components and places each in the increment vector (see
/// the file comment).
class ONDREL_SOLVERS_API StateIndexer {
 public:
  /// Rebuilds `components` from `size` and `rotations` and clears `needsIndexing`.
  /// A size of 0 or below cannot be indexed: the call writes
  /// "incorrect state size in state indexer !" to standard output and changes nothing, so
  /// `needsIndexing` stays set. Overlapping or out-of-range registrations are indexed as they
  /// stand (a record that starts inside the previous one makes no gap); addIncrement refuses
  /// the components that fall outside its vectors. Of two kinds registered at one position the
  /// higher code wins. A kind code other than Quaternion and RotationVector gives a component of
  /// size 0 without callables.
  void buildIndex();
  /// The same, writing the message for a size of 0 or below to `diagnostics` instead (nothing
  /// when it is null).
  void buildIndex(std::ostream* diagnostics);

  /// Number of entries the index covers; kept equal to the length of the State's values.
  long long size = 0;
  /// Kind code -> (start in values -> start in the increment vector).
  std::map<int, std::map<long long, long long>> rotations;
  /// Set whenever `components` may not match `rotations` and `size`; cleared by buildIndex.
  bool needsIndexing = true;
  /// Start in values -> component; derived from the above by buildIndex.
  std::map<long long, StateComponent> components;
};

}  // namespace Ondrel::Math
