#include <gtest/gtest.h>

#include <limits>
#include <ondrel/state/StateIndexer.hpp>
#include <string>

#include "support/StdoutSilencer.hpp"

namespace {

using namespace Ondrel::Math;
using Ondrel::Testing::StdoutSilencer;

const std::string kSizeMessage = "incorrect state size in state indexer !\n";

struct Expected {
  long long start;
  long long size;
  long long incrementStart;
  long long incrementSize;
  int kind;
};

void expectComponents(const StateIndexer& indexer, std::initializer_list<Expected> expected) {
  ASSERT_EQ(indexer.components.size(), expected.size());
  auto component = indexer.components.begin();
  for (const Expected& e : expected) {
    SCOPED_TRACE("component expected at " + std::to_string(e.start));
    EXPECT_EQ(component->first, e.start);
    EXPECT_EQ(component->second.start, e.start);
    EXPECT_EQ(component->second.size, e.size);
    EXPECT_EQ(component->second.incrementStart, e.incrementStart);
    EXPECT_EQ(component->second.incrementSize, e.incrementSize);
    EXPECT_EQ(component->second.kind, e.kind);
    EXPECT_EQ(component->second.isVector, e.kind == Vector);
    const bool rotation = e.kind == Quaternion || e.kind == RotationVector;
    EXPECT_EQ(static_cast<bool>(component->second.plus), rotation);
    EXPECT_EQ(static_cast<bool>(component->second.minus), rotation);
    EXPECT_EQ(static_cast<bool>(component->second.inverse), rotation);
    ++component;
  }
}

StateIndexer indexerOfSize(long long size) {
  StateIndexer indexer;
  indexer.size = size;
  return indexer;
}

TEST(StateIndexer, PlainStatesAndSingleRotations) {
  StateIndexer plain = indexerOfSize(5);
  plain.buildIndex();
  EXPECT_FALSE(plain.needsIndexing);
  expectComponents(plain, {{0, 5, 0, 5, Vector}});

  StateIndexer middle = indexerOfSize(8);
  middle.rotations[Quaternion][2] = 2;
  middle.buildIndex();
  expectComponents(middle, {{0, 2, 0, 2, Vector}, {2, 4, 2, 3, Quaternion}, {6, 2, 5, 2, Vector}});

  StateIndexer leading = indexerOfSize(5);
  leading.rotations[Quaternion][0] = 0;
  leading.buildIndex();
  expectComponents(leading, {{0, 4, 0, 3, Quaternion}, {4, 1, 3, 1, Vector}});

  StateIndexer alone = indexerOfSize(3);
  alone.rotations[RotationVector][0] = 0;
  alone.buildIndex();
  expectComponents(alone, {{0, 3, 0, 3, RotationVector}});
}

TEST(StateIndexer, StoredOperationsAreThoseOfTheKind) {
  StateIndexer indexer = indexerOfSize(7);
  indexer.rotations[Quaternion][0] = 0;
  indexer.rotations[RotationVector][4] = 3;
  indexer.buildIndex();
  Eigen::VectorXd out(4);
  indexer.components.at(0).plus(Eigen::Vector4d(0, 1, 0, 0), Eigen::Vector4d(0, 0, 1, 0), out);
  EXPECT_EQ(out, Eigen::Vector4d(0, 0, 0, 1));
  Eigen::VectorXd negated(3);
  indexer.components.at(4).inverse(Eigen::Vector3d(1, 2, 3), negated);
  EXPECT_EQ(negated, Eigen::Vector3d(-1, -2, -3));
}

TEST(StateIndexer, SizeZeroOrNegativeIsReportedAndKeepsTheOldIndex) {
  for (long long size : {0LL, -3LL}) {
    SCOPED_TRACE("size " + std::to_string(size));
    StateIndexer indexer = indexerOfSize(4);
    indexer.buildIndex();
    indexer.size = size;
    indexer.needsIndexing = true;
    StdoutSilencer output(StdoutSilencer::kCapture);
    for (int attempt = 0; attempt < 2; ++attempt) {
      indexer.buildIndex();
      EXPECT_EQ(output.take(), kSizeMessage);
    }
    EXPECT_TRUE(indexer.needsIndexing);
    expectComponents(indexer, {{0, 4, 0, 4, Vector}});
  }
}

TEST(StateIndexer, UnknownKindGivesEmptyComponentThatAGapReplaces) {
  StateIndexer inside = indexerOfSize(5);
  inside.rotations[7][3] = 3;
  inside.buildIndex();
  expectComponents(inside, {{0, 3, 0, 3, Vector}, {3, 2, 3, 2, Vector}});

  StateIndexer atEnd = indexerOfSize(5);
  atEnd.rotations[7][5] = 5;
  atEnd.buildIndex();
  expectComponents(atEnd, {{0, 5, 0, 5, Vector}, {5, 0, 5, 0, 7}});
}

TEST(StateIndexer, HigherCodeWinsAtOnePositionAndOverlapsMakeNoGap) {
  StateIndexer twoKinds = indexerOfSize(6);
  twoKinds.rotations[Quaternion][0] = 0;
  twoKinds.rotations[RotationVector][0] = 0;
  twoKinds.buildIndex();
  expectComponents(twoKinds, {{0, 3, 0, 3, RotationVector}, {3, 3, 3, 3, Vector}});

  StateIndexer overlapping = indexerOfSize(8);
  overlapping.rotations[Quaternion][0] = 0;
  overlapping.rotations[RotationVector][2] = 3;
  overlapping.buildIndex();
  expectComponents(overlapping,
                   {{0, 4, 0, 3, Quaternion}, {2, 3, 3, 3, RotationVector}, {7, 1, 6, 1, Vector}});
}

TEST(StateIndexer, RebuildDropsComponentsOfRemovedRegistrations) {
  StateIndexer indexer = indexerOfSize(6);
  indexer.rotations[Quaternion][1] = 1;
  indexer.buildIndex();
  indexer.rotations.clear();
  indexer.buildIndex();
  expectComponents(indexer, {{0, 6, 0, 6, Vector}});
}

TEST(StateIndexer, RegistrationsNearTheTopOfTheRangeDoNotOverflow) {
  StateIndexer indexer = indexerOfSize(5);
  indexer.rotations[Quaternion][std::numeric_limits<long long>::max() - 1] = 0;
  indexer.buildIndex();
  ASSERT_EQ(indexer.components.size(), 2u);
  EXPECT_EQ(indexer.components.begin()->second.size, std::numeric_limits<long long>::max() - 1);
}

}  // namespace
