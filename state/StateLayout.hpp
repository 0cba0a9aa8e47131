// The rules of a State's layout, in one place: how many values and increment entries each
// component kind takes, range arithmetic that cannot overflow, and what makes a list of
// components a layout that a State can be advanced with.
//
// Everything that builds, advances or differentiates a State asks these functions and words its
// own errors: registering a rotation, indexing, addIncrement, the solver's check of a State and
// the Jacobian helpers. A new component kind means editing rotationExtents and, if it advances
// differently, incrementEntriesRead.
#pragma once

#include <map>
#include <ondrel/OndrelSolversExport.hpp>
#include <ondrel/state/StateIndexer.hpp>
#include <optional>
#include <string>

namespace Ondrel::Math {

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

}  // namespace Ondrel::Math
