#include <algorithm>
#include <limits>
#include <ondrel/state/State.hpp>
#include <ondrel/state/StateLayout.hpp>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace Ondrel::Math {

std::optional<ComponentExtents> rotationExtents(int kind) {
  switch (kind) {
    case Quaternion:
      return ComponentExtents{4, 3};
    case RotationVector:
      return ComponentExtents{3, 3};
    default:
      return std::nullopt;
  }
}

long long incrementEntriesRead(const StateComponent& component) {
  return component.kind == Quaternion ? component.incrementSize : component.size;
}

bool rangeFits(long long start, long long count, long long length) {
  return start >= 0 && count >= 0 && start <= length && count <= length - start;
}

long long saturatingAdd(long long total, long long count) {
  const long long largest = std::numeric_limits<long long>::max();
  return count > largest - total ? largest : total + count;
}

std::optional<LayoutProblem> findLayoutProblem(
    const std::map<long long, StateComponent>& components,
    long long valueCount,
    long long incrementCount,
    LayoutCheck check) {
  const bool complete = check == LayoutCheck::kComplete;
  auto problem = [](LayoutFault fault, const StateComponent& component) {
    LayoutProblem found;
    found.fault = fault;
    found.component = component;
    return std::optional<LayoutProblem>(std::move(found));
  };

  if (complete) {
    long long total = 0;
    for (const auto& [start, component] : components) {
      if (component.incrementSize < 0) {
        return problem(LayoutFault::kNegativeIncrementSize, component);
      }
      total = saturatingAdd(total, component.incrementSize);
    }
    if (total != incrementCount) {
      LayoutProblem found;
      found.fault = LayoutFault::kIncrementCount;
      found.incrementTotal = total;
      return found;
    }
  }

  const auto quaternionShape = rotationExtents(Quaternion);
  std::vector<std::pair<long long, const StateComponent*>> reads;
  for (const auto& [start, component] : components) {
    if (!rangeFits(component.start, component.size, valueCount)) {
      return problem(LayoutFault::kValuesOutside, component);
    }
    if (complete && component.kind == Quaternion &&
        (component.size != quaternionShape->values ||
         component.incrementSize != quaternionShape->increments)) {
      return problem(LayoutFault::kQuaternionShape, component);
    }
    const long long read = incrementEntriesRead(component);
    if (!rangeFits(component.incrementStart, read, incrementCount)) {
      return problem(LayoutFault::kIncrementsOutside, component);
    }
    if (complete && read > 0) reads.emplace_back(component.incrementStart, &component);
  }

  if (complete) {
    std::sort(
        reads.begin(), reads.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    long long covered = 0;
    for (const auto& [incrementStart, component] : reads) {
      if (incrementStart < covered) return problem(LayoutFault::kSharedIncrements, *component);
      covered = incrementStart + incrementEntriesRead(*component);
    }
  }
  return std::nullopt;
}

std::string describeKind(int kind) {
  const std::string code = "kind " + std::to_string(kind);
  switch (kind) {
    case Quaternion:
      return code + " (Quaternion)";
    case RotationVector:
      return code + " (RotationVector)";
    case Vector:
      return code + " (Vector)";
    default:
      return code;
  }
}

std::string describeLayoutProblem(const LayoutProblem& problem,
                                  long long valueCount,
                                  long long incrementCount) {
  const StateComponent& c = problem.component;
  const std::string what =
      "the State's component at " + std::to_string(c.start) + " (" + describeKind(c.kind) + ")";
  switch (problem.fault) {
    case LayoutFault::kNegativeIncrementSize:
      return what + " has a negative increment size";
    case LayoutFault::kIncrementCount:
      return "the State has " + std::to_string(problem.incrementTotal) +
             " increment entries, the system size is " + std::to_string(incrementCount);
    case LayoutFault::kValuesOutside:
      return what + " covers values outside its " + std::to_string(valueCount) + " values";
    case LayoutFault::kQuaternionShape:
      return what + " is a quaternion but has " + std::to_string(c.size) + " values and " +
             std::to_string(c.incrementSize) + " increment entries, not 4 and 3";
    case LayoutFault::kIncrementsOutside:
      return what + " takes increment entries outside the " + std::to_string(incrementCount) +
             " of the increment";
    case LayoutFault::kSharedIncrements:
      return what + " shares increment entries with another component";
  }
  return what + " is not a valid layout";
}

State indexedCopy(const State& state) {
  State copy(state);
  if (copy.indexer.needsIndexing && copy.values.size() > 0) copy.indexer.buildIndex();
  return copy;
}

std::vector<IncrementTarget> incrementMap(const State& state,
                                          long long incrementCount,
                                          LayoutCheck check,
                                          const std::string& operation) {
  // Only the index is needed: a copy of the indexer, not of the values.
  StateIndexer indexer = state.indexer;
  if (indexer.needsIndexing && indexer.size > 0) indexer.buildIndex();
  const long long valueCount = state.values.size();
  if (const auto problem =
          findLayoutProblem(indexer.components, valueCount, incrementCount, check)) {
    throw std::invalid_argument(operation + ": " +
                                describeLayoutProblem(*problem, valueCount, incrementCount));
  }
  std::vector<IncrementTarget> targets(static_cast<std::size_t>(incrementCount));
  for (const auto& [start, c] : indexer.components) {
    if (c.kind == Quaternion) {
      for (long long k = 0; k < c.incrementSize; ++k) {
        targets[static_cast<std::size_t>(c.incrementStart + k)].quaternion = c.start;
      }
    } else {
      for (long long k = 0; k < c.incrementSize && k < c.size; ++k) {
        targets[static_cast<std::size_t>(c.incrementStart + k)].value = c.start + k;
      }
    }
  }
  return targets;
}

}  // namespace Ondrel::Math
