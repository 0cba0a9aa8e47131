#include <algorithm>
#include <iostream>
#include <limits>
#include <ondrel/state/State.hpp>
#include <ondrel/state/StateLayout.hpp>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "../internal/Lifecycle.hpp"

namespace Ondrel::Math {

namespace {

// A registry entry of a kind that names no rotation (possible only by hand) takes nothing.
ComponentExtents extentsOf(int kind) { return rotationExtents(kind).value_or(ComponentExtents{}); }

bool stretchesOverlap(long long start,
                      long long count,
                      long long otherStart,
                      long long otherCount) {
  if (start == otherStart) {
    return true;
  }
  return start < otherStart ? count > otherStart - start : otherCount > start - otherStart;
}

// One registry entry seen across kinds; `incrementStart` points into the registry itself.
struct Registered {
  int kind;
  long long start;
  long long* incrementStart;
  long long newIncrementStart;
};

// Inserts into a map of maps without leaving an empty inner map behind when the insertion fails.
template <class Key>
void insertNested(std::map<Key, std::map<long long, long long>>& outer,
                  const Key& key,
                  long long start,
                  long long incrementStart) {
  auto [inner, created] = outer.try_emplace(key);
  try {
    inner->second.insert_or_assign(start, incrementStart);
  } catch (...) {
    if (created) {
      outer.erase(inner);
    }
    throw;
  }
}

}  // namespace

State::State(long long size) {
  if (size < 0) {
    throw std::invalid_argument("State size must not be negative, got " + std::to_string(size));
  }
  values = Eigen::VectorXd::Zero(size);
  indexer.size = size;
}

State::State(const State& other) = default;

State& State::operator=(const State& other) {
  if (this == &other || values.size() != other.values.size()) {
    return internal::Lifecycle::copyAssign(*this, other);
  }
  // Equal lengths keep the storage of `values`, which a host may hold a view of: everything else,
  // which may throw, is copied aside first.
  State rest(0);
  rest.indexer = other.indexer;
  rest.namedEntries = other.namedEntries;
  values = other.values;
  std::swap(indexer, rest.indexer);
  namedEntries.swap(rest.namedEntries);
  return *this;
}

State::State(State&& other) noexcept { internal::Lifecycle::take(*this, other); }

State& State::operator=(State&& other) noexcept {
  return internal::Lifecycle::moveAssign(*this, other);
}

State::~State() = default;

void State::addQuaternion(long long start) { registerRotation(Quaternion, start, 0, true); }

void State::addQuaternion(long long start, long long incrementStart) {
  registerRotation(Quaternion, start, incrementStart, false);
}

void State::addRotationVector(long long start) { registerRotation(RotationVector, start, 0, true); }

void State::addRotationVector(long long start, long long incrementStart) {
  registerRotation(RotationVector, start, incrementStart, false);
}

void State::registerRotation(int kind,
                             long long start,
                             long long incrementStart,
                             bool placeByCount) {
  const long long length = values.size();
  const long long stretch = extentsOf(kind).values;
  const long long stretchIncrement = extentsOf(kind).increments;
  const std::string what = describeKind(kind) + " at " + std::to_string(start);
  if (!rangeFits(start, stretch, length)) {
    throw std::invalid_argument(what + ": its " + std::to_string(stretch) +
                                " values do not fit in the " + std::to_string(length) +
                                " values of the State");
  }

  std::vector<Registered> registered;
  long long quaternionCount = 0;
  for (auto& [otherKind, byStart] : indexer.rotations) {
    for (auto& [otherStart, otherIncrementStart] : byStart) {
      if (stretchesOverlap(start, stretch, otherStart, extentsOf(otherKind).values)) {
        throw std::invalid_argument(what + " overlaps the " + describeKind(otherKind) +
                                    " registered at " + std::to_string(otherStart));
      }
      registered.push_back({otherKind, otherStart, &otherIncrementStart, otherIncrementStart});
      quaternionCount += otherKind == Quaternion ? 1 : 0;
    }
  }
  std::sort(registered.begin(), registered.end(), [](const Registered& a, const Registered& b) {
    return a.start < b.start;
  });

  // The running count reaches start minus one for every quaternion before it. A new quaternion
  // moves that count back by one for everything behind it; entries that sat on the count move
  // with it.
  long long quaternionsBefore = 0;
  long long quaternionsBeforeStart = 0;
  for (Registered& entry : registered) {
    if (entry.start < start) {
      quaternionsBeforeStart = quaternionsBefore + (entry.kind == Quaternion ? 1 : 0);
    } else if (kind == Quaternion && extentsOf(entry.kind).increments > 0 &&
               entry.newIncrementStart == entry.start - quaternionsBefore) {
      entry.newIncrementStart -= 1;
    }
    quaternionsBefore += entry.kind == Quaternion ? 1 : 0;
  }
  if (placeByCount) {
    incrementStart = start - quaternionsBeforeStart;
  }

  const long long incrementLength = length - quaternionCount - (kind == Quaternion ? 1 : 0);
  if (!rangeFits(incrementStart, stretchIncrement, incrementLength)) {
    throw std::invalid_argument(what + ": its " + std::to_string(stretchIncrement) +
                                " increment entries from " + std::to_string(incrementStart) +
                                " do not fit in the " + std::to_string(incrementLength) +
                                " increment entries of the State");
  }
  // A new quaternion shortens the increment vector by one; a stretch registered earlier at an
  // explicit increment position near its end would then hang over it.
  for (const Registered& entry : registered) {
    if (extentsOf(entry.kind).increments > 0 &&
        !rangeFits(entry.newIncrementStart, extentsOf(entry.kind).increments, incrementLength)) {
      throw std::invalid_argument(what + ": the increment entries of the " +
                                  describeKind(entry.kind) + " at " + std::to_string(entry.start) +
                                  " from " + std::to_string(entry.newIncrementStart) +
                                  " would no longer fit in the " + std::to_string(incrementLength) +
                                  " increment entries of the State");
    }
  }
  std::vector<Registered> byIncrement;
  for (const Registered& entry : registered) {
    if (extentsOf(entry.kind).increments > 0) {
      byIncrement.push_back(entry);
    }
  }
  byIncrement.push_back({kind, start, nullptr, incrementStart});
  std::sort(byIncrement.begin(), byIncrement.end(), [](const Registered& a, const Registered& b) {
    return a.newIncrementStart < b.newIncrementStart;
  });
  for (std::size_t i = 1; i < byIncrement.size(); ++i) {
    const Registered& before = byIncrement[i - 1];
    const Registered& after = byIncrement[i];
    if (stretchesOverlap(before.newIncrementStart,
                         extentsOf(before.kind).increments,
                         after.newIncrementStart,
                         extentsOf(after.kind).increments)) {
      throw std::invalid_argument(
          what + ": the increment entries of the " + describeKind(before.kind) + " at " +
          std::to_string(before.start) + " and of the " + describeKind(after.kind) + " at " +
          std::to_string(after.start) + " would overlap");
    }
  }

  insertNested(indexer.rotations, kind, start, incrementStart);
  for (const Registered& entry : registered) {
    *entry.incrementStart = entry.newIncrementStart;
  }
  indexer.size = length;
  indexer.needsIndexing = true;
}

void State::nameEntries(const std::string& name, long long start, long long incrementStart) {
  if (start < 0 || start >= values.size()) {
    throw std::invalid_argument("nameEntries: \"" + name + "\" starts at " + std::to_string(start) +
                                ", outside the " + std::to_string(values.size()) +
                                " values of the State");
  }
  if (incrementStart < 0) {
    throw std::invalid_argument("nameEntries: \"" + name + "\" has a negative increment start " +
                                std::to_string(incrementStart));
  }
  insertNested(namedEntries, name, start, incrementStart);
}

long long State::incrementSize() const {
  if (indexer.size <= 0) {
    return 0;
  }
  // A fresh indexer, so that asking neither changes this State nor copies its old index.
  StateIndexer fresh;
  fresh.size = indexer.size;
  fresh.rotations = indexer.rotations;
  fresh.buildIndex();
  long long total = 0;
  for (const auto& [start, component] : fresh.components) {
    total = saturatingAdd(total, component.incrementSize);
  }
  return total;
}

State addIncrement(State& state, const Eigen::VectorXd& dx) {
  return addIncrement(state, dx, &std::cout);
}

State addIncrement(State& state, const Eigen::VectorXd& dx, std::ostream* diagnostics) {
  // Copied before indexing: the result carries the argument's index as it was on entry.
  State result(state);
  if (state.indexer.needsIndexing) {
    state.indexer.buildIndex(diagnostics);
  }

  // Registrations are not checked when indexed, so every range is checked here, before
  // anything is read or written.
  const long long length = state.values.size();
  const long long incrementLength = dx.size();
  if (const auto problem = findLayoutProblem(
          state.indexer.components, length, incrementLength, LayoutCheck::kRanges)) {
    throw std::out_of_range("addIncrement: " +
                            describeLayoutProblem(*problem, length, incrementLength));
  }

  for (const auto& [key, component] : state.indexer.components) {
    const long long start = component.start;
    const long long size = component.size;
    if (component.kind == Quaternion) {
      addQuaternionIncrement(state.values.segment(start, size),
                             dx.segment(component.incrementStart, component.incrementSize),
                             result.values.segment(start, size));
    } else {
      result.values.segment(start, size) += dx.segment(component.incrementStart, size);
    }
  }
  return result;
}

}  // namespace Ondrel::Math
