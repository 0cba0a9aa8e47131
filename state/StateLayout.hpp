// The rules of a State's layout, in one place: how many values and increment entries each
// component kind takes, range arithmetic that cannot overflow, and what makes a list of
// components a layout that a State can be advanced with.
//
// Everything that builds, advances or differentiates a State asks these functions: registering a
// rotation, indexing, addIncrement, the solver's check of a State and the Jacobian helpers. The
// increment coordinates (which value each increment entry moves, or which rotation it turns) and
// the wording of a layout problem live here too, so that the solver and the helpers share them.
// A new component kind means editing rotationExtents and, if it advances differently,
// incrementEntriesRead and incrementMap.
#pragma once

#include <map>
#include <ondrel/OndrelSolversExport.hpp>
#include <ondrel/state/StateIndexer.hpp>
#include <optional>
#include <string>
#include <vector>

namespace Ondrel::Math {

class State;

/// What one component kind occupies: values in the State, entries in the increment vector.
struct ComponentExtents {
  long long values = 0;      ///< entries in the State's values
  long long increments = 0;  ///< entries in the increment vector
};

/// The extents of a rotation kind: Quaternion {4, 3}, RotationVector {3, 3}. Any other code names
/// no rotation and has none (plain blocks take one increment entry per value).
ONDREL_SOLVERS_API std::optional<ComponentExtents> rotationExtents(int kind);

/// The increment entries that advancing a State reads for `component`: a quaternion turns by its
/// incrementSize entries (a rotation vector); every other kind adds one entry per value, so it
/// reads `size` of them, whatever its incrementSize says.
ONDREL_SOLVERS_API long long incrementEntriesRead(const StateComponent& component);

/// True when [start, start + count) lies inside [0, length), computed without overflow.
ONDREL_SOLVERS_API bool rangeFits(long long start, long long count, long long length);

/// total + count, held at the largest long long instead of overflowing: registries are host data
/// and may hold any numbers.
ONDREL_SOLVERS_API long long saturatingAdd(long long total, long long count);

/// How much of a layout to check.
enum class LayoutCheck {
  /// What addIncrement needs: each component's values lie inside the State and the increment
  /// entries it reads inside the increment vector.
  kRanges,
  /// What a solve needs besides: no negative increment size, quaternions of 4 values and 3
  /// increment entries, exactly as many increment entries in all as the increment vector holds,
  /// and no entry read by two components (with m entries in all, a shared entry leaves another
  /// to no one: a zero column in every Jacobian).
  kComplete,
};

/// What findLayoutProblem found wrong, in the order it checks.
enum class LayoutFault {
  kNegativeIncrementSize,  ///< a component takes a negative number of increment entries
  kIncrementCount,         ///< the components take more or fewer increment entries than there are
  kValuesOutside,          ///< a component's values lie outside the State's
  kQuaternionShape,        ///< a quaternion component is not 4 values and 3 increment entries
  kIncrementsOutside,      ///< the increment entries a component reads lie outside the vector
  kSharedIncrements,       ///< two components read one increment entry
};

/// The first thing wrong with a layout, for the caller to word.
struct LayoutProblem {
  /// What is wrong.
  LayoutFault fault = LayoutFault::kValuesOutside;
  /// The component at fault (for kSharedIncrements, the later of the two by increment position);
  /// a copy, so the problem outlives the components it was found in. Unset for kIncrementCount.
  StateComponent component;
  /// For kIncrementCount: the increment entries the components take in all (saturated).
  long long incrementTotal = 0;
};

/// Checks `components` against a State of `valueCount` values advanced by increments of
/// `incrementCount` entries; components are visited in ascending start. Returns the first
/// problem, or nothing when the layout passes. Never throws but std::bad_alloc.
ONDREL_SOLVERS_API std::optional<LayoutProblem> findLayoutProblem(
    const std::map<long long, StateComponent>& components,
    long long valueCount,
    long long incrementCount,
    LayoutCheck check);

/// "kind 0 (Quaternion)", "kind 5 (RotationVector)", "kind 31 (Vector)", "kind 7": how messages
/// name a kind.
ONDREL_SOLVERS_API std::string describeKind(int kind);

/// The one wording of a layout problem, as it follows "<operation>: " in an exception's message:
/// "the State's component at 3 (kind 0 (Quaternion)) covers values outside its 6 values", for a
/// State of `valueCount` values advanced by increments of `incrementCount` entries.
ONDREL_SOLVERS_API std::string describeLayoutProblem(const LayoutProblem& problem,
                                                     long long valueCount,
                                                     long long incrementCount);

/// A copy of `state` with its index built, unless it has size 0 (no components, and an indexer
/// that would print): what advancing it walks, without indexing `state` itself.
ONDREL_SOLVERS_API State indexedCopy(const State& state);

/// What one entry of an increment does to a State: adds to one value (a plain or rotation-vector
/// entry), or turns the quaternion whose 4 values start at `quaternion` (its three entries are
/// angles), or nothing (an entry no component reads, in a layout checked only for its ranges).
struct IncrementTarget {
  long long value = -1;       ///< the value the entry adds to, or -1
  long long quaternion = -1;  ///< the first value of the quaternion the entry turns, or -1
};

/// The increment coordinates of `state`'s layout: for each of the `incrementCount` entries of an
/// increment, its target. The layout is indexed on a copy and checked with findLayoutProblem
/// first (for a State of `state.values.size()` values); a problem throws std::invalid_argument
/// with the message "<operation>: " + describeLayoutProblem(...), before anything else happens.
ONDREL_SOLVERS_API std::vector<IncrementTarget> incrementMap(const State& state,
                                                             long long incrementCount,
                                                             LayoutCheck check,
                                                             const std::string& operation);

}  // namespace Ondrel::Math
