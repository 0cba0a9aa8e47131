// State: the structured variables of a system, some stretches of which are rotations.
//
// All entries lie end to end in `values`. A quaternion stretch holds 4 values (w, x, y, z,
// scalar part first) but moves with 3 increment entries; a rotation-vector stretch holds 3 and
// moves with 3; every other entry is plain and moves with one. The solver therefore works with
// an increment vector of incrementSize() entries and advances a State by addIncrement(), which
// adds plain entries (rotation vectors included) and turns each quaternion: the increment is a
// rotation vector of the full angle and multiplies on the LEFT, Q' = exp(dx) * Q.
//
// Invariants kept by the member functions: indexer.size == values.size(), and
// indexer.needsIndexing is set whenever indexer.rotations or the size change. Hosts that edit
// the public members directly must keep them too.
//
// The members are public and their order is part of the interface shared with hosts: values,
// indexer, namedEntries. A State owns all of them by value; copies are deep.
#pragma once

#include <Eigen/Core>
#include <iosfwd>
#include <map>
#include <ondrel/OndrelEigen.hpp>
#include <ondrel/OndrelSolversExport.hpp>
#include <ondrel/state/RotationComponents.hpp>
#include <ondrel/state/StateIndexer.hpp>
#include <string>
#include <tuple>

namespace Ondrel::internal {
struct Lifecycle;
}

namespace Ondrel::Math {

/// The structured variables of a system, some stretches of which are rotations (see the file
/// comment for the layout and the conventions).
class ONDREL_SOLVERS_API State {
 public:
  /// size values, all 0.0, nothing registered; needs indexing. Throws std::invalid_argument for
  /// a negative size and std::bad_alloc when the values cannot be allocated.
  explicit State(long long size);

  /// A deep copy, index and names included.
  State(const State& other);
  /// Reuses the storage of `values` when the lengths agree. If anything throws, *this is left
  /// as it was.
  State& operator=(const State& other);
  /// The source is left as an empty State of size 0 that needs indexing.
  ///@{
  State(State&& other) noexcept;
  State& operator=(State&& other) noexcept;
  ///@}
  /// Releases the names, the index, the registry and the values.
  ~State();

  /// Registers a quaternion (4 values, 3 increment entries) or a rotation vector (3 values, 3
  /// increment entries) starting at `start` in values.
  ///
  /// Without incrementStart the stretch takes its increment where the running count reaches:
  /// start minus the number of quaternions registered before start. Registering a quaternion
  /// also moves every later registration that sat where the running count reached one entry
  /// back, so a registry built with these calls stays consistent in any order of calls.
  ///
  /// Throws std::invalid_argument, changing nothing, when the stretch does not fit in values,
  /// overlaps (or starts at) a registered stretch, or its increment entries fall outside the
  /// incrementSize() entries or overlap those of another registered rotation. A new quaternion
  /// shortens the increment vector by one, so it is also refused when a stretch registered
  /// earlier at an explicit increment position would then no longer fit.
  ///@{
  void addQuaternion(long long start);
  void addQuaternion(long long start, long long incrementStart);
  void addRotationVector(long long start);
  void addRotationVector(long long start, long long incrementStart);
  ///@}

  /// Records in namedEntries[name] that a stretch so named begins at `start` in values and at
  /// `incrementStart` in the increment vector. A name may hold several stretches; naming one
  /// position twice keeps the last increment start. The library itself never reads the names.
  /// Throws std::invalid_argument, changing nothing, for a start outside values or a negative
  /// incrementStart.
  void nameEntries(const std::string& name, long long start, long long incrementStart);

  /// Number of increment entries, the system size a host gives the solver: 0 for a State of size
  /// 0, otherwise the sum over the components of a fresh index. Neither indexes this State nor
  /// prints anything.
  long long incrementSize() const;

  /// All entries of the State, components laid end to end.
  Eigen::VectorXd values;
  /// The registry of rotation stretches and the component index derived from it.
  StateIndexer indexer;
  /// Name -> (start in values -> start in the increment vector). For hosts only.
  std::map<std::string, std::map<long long, long long>> namedEntries;

 private:
  friend struct Ondrel::internal::Lifecycle;
  auto members() { return std::tie(values, indexer, namedEntries); }

  void registerRotation(int kind, long long start, long long incrementStart, bool placeByCount);
};

/// Returns state advanced by the increment dx: plain entries and rotation vectors add their dx
/// entries, quaternions are turned (see the conventions above). Indexes `state` first when it
/// needs indexing (the returned State is a copy taken before that, so it still needs indexing).
/// A State of size 0 cannot be indexed: the indexer's message is printed and an unchanged copy
/// comes back.
/// Throws std::out_of_range, naming the component's start and kind, when a component's values
/// lie outside state.values or its increment entries outside dx, and std::invalid_argument when a
/// quaternion component written by hand holds other than 4 values or fewer than 3 increment
/// entries; nothing is returned then, and only the index of `state` may have changed.
ONDREL_SOLVERS_API State addIncrement(State& state, const Eigen::VectorXd& dx);
/// The same, with the indexer's message for a State of size 0 written to `diagnostics` (nothing
/// when it is null): what a solver with its own output stream uses.
ONDREL_SOLVERS_API State addIncrement(State& state,
                                      const Eigen::VectorXd& dx,
                                      std::ostream* diagnostics);

}  // namespace Ondrel::Math
