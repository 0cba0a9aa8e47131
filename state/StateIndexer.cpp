#include <iostream>
#include <limits>
#include <ondrel/state/RotationComponents.hpp>
#include <ondrel/state/StateIndexer.hpp>
#include <utility>

namespace Ondrel::Math {

namespace {

struct KindShape {
  long long size;
  long long incrementSize;
};

StateComponent plainBlock(long long start, long long size, long long incrementStart) {
  StateComponent block;
  block.start = start;
  block.size = size;
  block.incrementStart = incrementStart;
  block.incrementSize = size;
  block.isVector = true;
  block.kind = Vector;
  return block;
}

// Registrations are host data and may sit anywhere; a record near the top of the range must not
// overflow the running positions. Such components lie outside any State and are refused when
// used.
long long saturatingAdd(long long position, long long count) {
  const long long largest = std::numeric_limits<long long>::max();
  return count > largest - position ? largest : position + count;
}

}  // namespace

void StateIndexer::buildIndex() {
  if (size <= 0) {
    std::cout << "incorrect state size in state indexer !" << std::endl;
    return;
  }

  const std::map<int, KindShape> componentSizes = {{Quaternion, {4, 3}}, {RotationVector, {3, 3}}};

  // Built aside and swapped in, so that a failed allocation leaves the previous index whole.
  std::map<long long, StateComponent> rotationRecords;
  for (const auto& [kind, registered] : rotations) {
    const auto shape = componentSizes.find(kind);
    for (const auto& [start, incrementStart] : registered) {
      StateComponent record;
      record.start = start;
      record.incrementStart = incrementStart;
      record.isVector = false;
      record.kind = kind;
      if (shape != componentSizes.end()) {
        record.size = shape->second.size;
        record.incrementSize = shape->second.incrementSize;
      }
      if (kind == Quaternion) {
        record.plus = quaternionPlus;
        record.minus = quaternionMinus;
        record.inverse = quaternionInverse;
      } else if (kind == RotationVector) {
        record.plus = rotationVectorPlus;
        record.minus = rotationVectorMinus;
        record.inverse = rotationVectorInverse;
      }
      // Kinds are visited in ascending code, so the higher code overwrites.
      rotationRecords[start] = std::move(record);
    }
  }

  std::map<long long, StateComponent> index;
  long long valuesPosition = 0;
  long long incrementPosition = 0;
  for (auto& [start, record] : rotationRecords) {
    if (start > valuesPosition) {
      const long long gap = start - valuesPosition;
      index.insert_or_assign(valuesPosition, plainBlock(valuesPosition, gap, incrementPosition));
      incrementPosition += gap;
      valuesPosition = start;
    }
    // An overlapping record (start before the running position) makes no gap and moves the
    // running positions on from where they were.
    valuesPosition = saturatingAdd(valuesPosition, record.size);
    incrementPosition = saturatingAdd(incrementPosition, record.incrementSize);
    index.insert_or_assign(start, std::move(record));
  }
  if (valuesPosition < size) {
    index.insert_or_assign(valuesPosition,
                           plainBlock(valuesPosition, size - valuesPosition, incrementPosition));
  }

  components.swap(index);
  needsIndexing = false;
}

}  // namespace Ondrel::Math
