#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <ondrel/state/State.hpp>
#include <ondrel/state/StateLayout.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace Ondrel::Math;

TEST(StateLayoutRanges, EmptyRangesFitUpToTheEndAndNothingPastIt) {
  struct Row {
    long long start, count, length;
    bool fits;
  };
  const Row rows[] = {
      {5, 0, 5, true},   // an empty range at the very end
      {0, 0, 0, true},   // an empty range in an empty vector
      {4, 1, 5, true},   // the last entry
      {5, 1, 5, false},  // one past the end
      {6, 0, 5, false},  // an empty range beyond the end
      {-1, 1, 5, false},
      {0, -1, 5, false},
      {1, std::numeric_limits<long long>::max(), 5, false},  // would overflow start + count
  };
  for (const Row& row : rows) {
    EXPECT_EQ(rangeFits(row.start, row.count, row.length), row.fits)
        << row.start << " + " << row.count << " in " << row.length;
  }
}

StateComponent component(
    int kind, long long start, long long size, long long incrementStart, long long incrementSize) {
  StateComponent c;
  c.kind = kind;
  c.start = start;
  c.size = size;
  c.incrementStart = incrementStart;
  c.incrementSize = incrementSize;
  return c;
}

// Each row is a layout checked for a State of `values` values and `increments` increment entries,
// with the fault found (none when the layout passes) and a fragment of its wording.
TEST(StateLayoutCheck, EachFaultIsFoundInOrderAndWordedOnce) {
  struct Row {
    const char* why;
    std::vector<StateComponent> components;
    long long values, increments;
    LayoutCheck check;
    std::optional<LayoutFault> fault;
    const char* wording;
  };
  const StateComponent quaternion = component(Quaternion, 0, 4, 0, 3);
  const StateComponent plain = component(Vector, 4, 2, 3, 2);
  const Row rows[] = {
      {"a quaternion and a plain block", {quaternion, plain}, 6, 5, LayoutCheck::kComplete, {}, ""},
      {"fewer increment entries than equations",
       {component(Vector, 0, 3, 0, 3)},
       3,
       4,
       LayoutCheck::kComplete,
       LayoutFault::kIncrementCount,
       "3 increment entries, the system size is 4"},
      {"the count is not a range's business",
       {component(Vector, 0, 3, 0, 3)},
       3,
       4,
       LayoutCheck::kRanges,
       {},
       ""},
      {"a negative increment size comes first",
       {component(Vector, 0, 7, 0, -1)},
       6,
       5,
       LayoutCheck::kComplete,
       LayoutFault::kNegativeIncrementSize,
       "negative increment size"},
      {"values past the end",
       {quaternion, component(Vector, 4, 3, 3, 2)},
       6,
       5,
       LayoutCheck::kRanges,
       LayoutFault::kValuesOutside,
       "component at 4 (kind 31 (Vector)) covers values outside its 6 values"},
      {"a quaternion of 3 values",
       {component(Quaternion, 0, 3, 0, 3), component(Vector, 3, 2, 3, 2)},
       5,
       5,
       LayoutCheck::kComplete,
       LayoutFault::kQuaternionShape,
       "has 3 values and 3 increment entries, not 4 and 3"},
      {"increment entries past the end",
       {quaternion, component(Vector, 4, 2, 4, 2)},
       6,
       5,
       LayoutCheck::kRanges,
       LayoutFault::kIncrementsOutside,
       "outside the 5 of the increment"},
      {"two components read one entry",
       {component(Quaternion, 0, 4, 1, 3), component(Vector, 4, 2, 0, 2)},
       6,
       5,
       LayoutCheck::kComplete,
       LayoutFault::kSharedIncrements,
       "component at 0 (kind 0 (Quaternion)) shares increment entries"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    std::map<long long, StateComponent> components;
    for (const StateComponent& c : row.components) components[c.start] = c;
    const auto problem = findLayoutProblem(components, row.values, row.increments, row.check);
    ASSERT_EQ(problem.has_value(), row.fault.has_value());
    if (!problem) continue;
    EXPECT_EQ(problem->fault, *row.fault);
    const std::string text = describeLayoutProblem(*problem, row.values, row.increments);
    EXPECT_NE(text.find(row.wording), std::string::npos) << text;
  }
}

TEST(StateLayoutIncrements, EachEntryMovesItsValueOrTurnsItsQuaternion) {
  // Plain 0, a quaternion at 1 (increment entries 1..3), a rotation vector at 5, plain 8.
  State state(9);
  state.addQuaternion(1);
  state.addRotationVector(5);
  const std::vector<IncrementTarget> targets =
      incrementMap(state, state.incrementSize(), LayoutCheck::kComplete, "test");
  const long long expectedValue[] = {0, -1, -1, -1, 5, 6, 7, 8};
  ASSERT_EQ(targets.size(), 8u);
  for (std::size_t j = 0; j < targets.size(); ++j) {
    EXPECT_EQ(targets[j].value, expectedValue[j]) << j;
    EXPECT_EQ(targets[j].quaternion, expectedValue[j] < 0 ? 1 : -1) << j;
  }
  EXPECT_TRUE(state.indexer.needsIndexing) << "the map indexes a copy";
  try {
    incrementMap(state, 9, LayoutCheck::kComplete, "where");
    FAIL() << "no exception";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "where: the State has 8 increment entries, the system size is 9");
  }
}

TEST(StateLayoutIncrements, AHandWrittenQuaternionWithTooFewEntriesIsRefusedAsDocumented) {
  State state(4);
  state.values << 1.0, 0.0, 0.0, 0.0;
  state.indexer.components = {{0, component(Quaternion, 0, 4, 0, 2)}};
  state.indexer.needsIndexing = false;
  EXPECT_THROW(addIncrement(state, Eigen::VectorXd::Zero(2)), std::invalid_argument);
}

}  // namespace
