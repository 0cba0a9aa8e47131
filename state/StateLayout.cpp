#include <algorithm>
#include <limits>
#include <ondrel/state/StateLayout.hpp>
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

}  // namespace Ondrel::Math
