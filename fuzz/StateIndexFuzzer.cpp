// States of random sizes and values, registered through the State's own calls or with registries
// edited by hand (any kind, any position, the extremes of the integer range included), indexed
// and advanced by increments of any length. addIncrement either returns the advanced State or
// throws std::out_of_range; copies and moves keep every member.
#include <ondrel/state/State.hpp>

#include "FuzzSupport.hpp"

namespace {

using namespace Ondrel::Fuzz;
using Ondrel::Math::State;

void printIndex(const State& state) {
  std::fprintf(
      stderr, "State of %lld values; registry:", static_cast<long long>(state.values.size()));
  for (const auto& [kind, byStart] : state.indexer.rotations) {
    for (const auto& [start, incrementStart] : byStart) {
      std::fprintf(stderr, " kind %d at %lld (increment %lld);", kind, start, incrementStart);
    }
  }
  std::fprintf(stderr, "\ncomponents:");
  for (const auto& [start, c] : state.indexer.components) {
    std::fprintf(stderr,
                 " [%lld +%lld -> %lld +%lld kind %d]",
                 c.start,
                 c.size,
                 c.incrementStart,
                 c.incrementSize,
                 c.kind);
  }
  std::fprintf(stderr, "\n");
}

// An index built from registrations made through the State's calls covers the values end to
// end and stays inside the increment vector; when every rotation took its increment from the
// running count, it covers the increment vector end to end too. (Increment positions given
// explicitly may collide with those of plain entries: the host's responsibility, as documented.)
void checkIndex(const State& state, bool runningCount) {
  long long values = 0;
  long long increments = 0;
  bool consistent = true;
  const long long m = state.incrementSize();
  for (const auto& [start, c] : state.indexer.components) {
    consistent = consistent && c.start == values && c.incrementStart >= 0 &&
                 c.incrementStart <= m - c.incrementSize;
    consistent = consistent && (!runningCount || c.incrementStart == increments);
    values += c.size;
    increments += c.incrementSize;
  }
  consistent = consistent && values == state.values.size() && increments == m;
  if (!consistent) printIndex(state);
  FUZZ_CHECK(consistent);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const long long n = in.ConsumeIntegralInRange<long long>(0, 24);
  State state(n);
  for (long long i = 0; i < n; ++i) state.values(i) = awkwardDouble(in);

  const bool handEdited = in.ConsumeIntegralInRange(0, 2) == 0;
  bool runningCount = true;
  const int registrations = in.ConsumeIntegralInRange(0, 6);
  for (int r = 0; r < registrations; ++r) {
    if (handEdited) {
      const int kinds[] = {0, 5, 31, -7, 1 << 20};
      state.indexer.rotations[in.PickValueInArray(kinds)][awkwardPosition(in, n)] =
          awkwardPosition(in, n);
      if (in.ConsumeBool()) state.indexer.size = awkwardPosition(in, n);
      state.indexer.needsIndexing = in.ConsumeBool();
      if (in.ConsumeIntegralInRange(0, 3) == 0) {
        // A component written by hand, kept because indexing is switched off.
        Ondrel::Math::StateComponent component;
        component.start = awkwardPosition(in, n);
        component.size = awkwardPosition(in, 4);
        component.incrementStart = awkwardPosition(in, n);
        component.incrementSize = awkwardPosition(in, 4);
        component.kind = in.PickValueInArray(kinds);
        state.indexer.components[awkwardPosition(in, n)] = component;
        state.indexer.needsIndexing = false;
      }
      continue;
    }
    const State before = state;
    const long long start = awkwardPosition(in, n);
    const long long incrementStart = awkwardPosition(in, n);
    const int call = in.ConsumeIntegralInRange(0, 4);
    try {
      switch (call) {
        case 0:
          state.addQuaternion(start);
          break;
        case 1:
          state.addQuaternion(start, incrementStart);
          runningCount = false;
          break;
        case 2:
          state.addRotationVector(start);
          break;
        case 3:
          state.addRotationVector(start, incrementStart);
          runningCount = false;
          break;
        default:
          state.nameEntries(in.ConsumeRandomLengthString(8), start, incrementStart);
          break;
      }
    } catch (const std::invalid_argument&) {
      FUZZ_CHECK(sameBits(state, before));
    }
  }

  // Asking for the increment size neither indexes nor changes the State.
  const State before = state;
  const long long m = state.incrementSize();
  FUZZ_CHECK(sameBits(state, before));
  FUZZ_CHECK(m >= 0);

  // Copies and moves keep every member; a moved-from State is an empty one.
  {
    State copy(state);
    FUZZ_CHECK(sameBits(copy, state));
    State moved(std::move(copy));
    FUZZ_CHECK(sameBits(moved, state));
    FUZZ_CHECK(sameBits(copy, State(0)));
    State assigned(in.ConsumeIntegralInRange<long long>(0, 3));
    assigned = moved;
    FUZZ_CHECK(sameBits(assigned, state));
    State& alias = assigned;
    assigned = alias;
    FUZZ_CHECK(sameBits(assigned, state));
  }

  const bool exactLength = !handEdited && in.ConsumeBool();
  const Eigen::Index length =
      exactLength ? static_cast<Eigen::Index>(m) : in.ConsumeIntegralInRange<Eigen::Index>(0, 30);
  Eigen::VectorXd dx(length);
  for (Eigen::Index i = 0; i < length; ++i) dx(i) = awkwardDouble(in);

  try {
    const State result = addIncrement(state, dx);
    // The result is the argument as it was on entry, values aside.
    State expected = before;
    expected.values = result.values;
    FUZZ_CHECK(sameBits(result, expected));
    FUZZ_CHECK(sameBits(state.values, before.values));
    if (!handEdited && n > 0) {
      checkIndex(state, runningCount);
      // Plain entries and rotation vectors add; quaternions turn.
      for (const auto& [start, c] : state.indexer.components) {
        for (long long i = 0; i < c.size && c.kind != Ondrel::Math::Quaternion; ++i) {
          FUZZ_CHECK(sameBits(result.values(start + i),
                              before.values(start + i) + dx(c.incrementStart + i)));
        }
      }
    }
  } catch (const std::invalid_argument&) {
    // Only a component written by hand reaches the quaternion turn with the wrong lengths.
    FUZZ_CHECK(handEdited);
    FUZZ_CHECK(sameBits(state.values, before.values));
  } catch (const std::out_of_range& error) {
    // Refused before anything was written; only the argument's index may have been built.
    if (exactLength) {
      std::fprintf(stderr, "%s\n", error.what());
      printIndex(state);
    }
    FUZZ_CHECK(!exactLength);
    FUZZ_CHECK(sameBits(state.values, before.values));
  }
  return 0;
}
